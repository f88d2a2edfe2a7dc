#include "toril/endpoints/client_extractor.h"

#include <cstdio>

void Extractor_Initialize(const char *file, thread_Settings *settings) {
    settings->input_stream = file ? fopen(file, "rb") : nullptr;
    if (!settings->input_stream) {
        fprintf(stderr, "Unable to open the file stream\n");
        fprintf(stderr, "Will use the default data stream\n");
        return;
    }
    settings->input_chunk = settings->buf_len;
}

void Extractor_InitializeFile(FILE *stream, thread_Settings *settings) {
    settings->input_stream = stream;
    settings->input_chunk = settings->buf_len;
}

int Extractor_getNextDataBlock(char *data, thread_Settings *settings) {
    if (!Extractor_canRead(settings) || settings->input_chunk <= 0) return 0;
    return static_cast<int>(
        fread(data, 1, static_cast<size_t>(settings->input_chunk), settings->input_stream));
}

bool Extractor_canRead(const thread_Settings *settings) {
    return settings->input_stream && !feof(settings->input_stream) &&
           !ferror(settings->input_stream);
}

void Extractor_reduceReadSize(int delta, thread_Settings *settings) {
    settings->input_chunk = settings->input_chunk > delta ? settings->input_chunk - delta : 0;
}

void Extractor_Destroy(thread_Settings *settings) {
    if (settings->input_stream && settings->input_stream != stdin) fclose(settings->input_stream);
    settings->input_stream = nullptr;
}
