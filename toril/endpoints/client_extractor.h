// Payload input of a client: blocks of a file (-F) or of standard input (-I)
// sent in place of the pattern.
//
// The stream lives in the settings (input_stream, opened here and closed by
// Extractor_Destroy, which the client calls when it ends) and the chunk size
// in input_chunk. Called only by the
// client thread that owns the settings.
#pragma once

#include "toril/core/settings.h"

// Opens file for binary reading and sets the chunk to buf_len. On failure
// prints "Unable to open the file stream\n" and "Will use the default data
// stream\n" and leaves input_stream null.
void Extractor_Initialize(const char *file, thread_Settings *settings);

// Uses an already open stream (standard input); the chunk is buf_len.
void Extractor_InitializeFile(FILE *stream, thread_Settings *settings);

// Reads one chunk into data (nothing at end of file). Returns the bytes read.
int Extractor_getNextDataBlock(char *data, thread_Settings *settings);

// True while the stream exists and is not at its end.
bool Extractor_canRead(const thread_Settings *settings);

// Lowers the chunk by delta bytes (not below 0).
void Extractor_reduceReadSize(int delta, thread_Settings *settings);

// Closes a stream opened by Extractor_Initialize (standard input stays open)
// and clears input_stream.
void Extractor_Destroy(thread_Settings *settings);
