#include "common/extractor.h"

bool Extractor_Initialize(const char *file, int32_t chunk_bytes, PayloadInput *input) {
    *input = PayloadInput();
    input->stream = file ? fopen(file, "rb") : nullptr;
    if (!input->stream) {
        fprintf(stderr, "Unable to open the file stream\n");
        fprintf(stderr, "Will use the default data stream\n");
        return false;
    }
    input->owned = true;
    input->chunk = chunk_bytes;
    return true;
}

void Extractor_InitializeFile(FILE *stream, int32_t chunk_bytes, PayloadInput *input) {
    *input = PayloadInput();
    input->stream = stream;
    input->chunk = chunk_bytes;
}

bool Extractor_Open(bool use_stdin, const char *file, int32_t chunk_bytes, PayloadInput *input) {
    if (use_stdin) {
        Extractor_InitializeFile(stdin, chunk_bytes, input);
    } else if (!Extractor_Initialize(file, chunk_bytes, input)) {
        return false;
    }
    return Extractor_canRead(input);
}

int32_t Extractor_getNextDataBlock(char *data, PayloadInput *input) {
    if (!Extractor_canRead(input) || input->chunk <= 0) return 0;
    return static_cast<int32_t>(fread(data, 1, static_cast<size_t>(input->chunk), input->stream));
}

bool Extractor_canRead(const PayloadInput *input) {
    return input->stream && !feof(input->stream) && !ferror(input->stream);
}

void Extractor_reduceReadSize(int32_t delta, PayloadInput *input) {
    input->chunk = input->chunk > delta ? input->chunk - delta : 0;
}

void Extractor_Destroy(PayloadInput *input) {
    if (input->stream && input->owned) fclose(input->stream);
    *input = PayloadInput();
}
