// Payload input of the traffic generators' clients: blocks of a file (-F) or
// of standard input (-I) sent in place of the payload pattern.
//
// A PayloadInput belongs to one client stream and is used only by that
// stream's thread. Extractor_Initialize opens the file and Extractor_Destroy
// closes it; a stream handed in with Extractor_InitializeFile (standard input)
// stays open. A block is read with one fread, which waits for a whole block on
// a pipe unless the input ends first.
#pragma once

#include <cstdint>
#include <cstdio>

struct PayloadInput {
    FILE *stream = nullptr;  // null when there is no input
    int32_t chunk = 0;       // bytes read per block
    bool owned = false;      // opened here, closed by Extractor_Destroy
};

// Opens file for binary reading; the chunk is chunk_bytes. On failure (or a
// null file) prints "Unable to open the file stream\n" and "Will use the
// default data stream\n" on standard error and returns false (stream null).
bool Extractor_Initialize(const char *file, int32_t chunk_bytes, PayloadInput *input);

// Uses an already open stream (standard input); the chunk is chunk_bytes.
void Extractor_InitializeFile(FILE *stream, int32_t chunk_bytes, PayloadInput *input);

// A client's input as its options ask: standard input when use_stdin, else
// file. False when there is nothing to read from; the client then clears its
// file-input flag and sends the pattern.
bool Extractor_Open(bool use_stdin, const char *file, int32_t chunk_bytes, PayloadInput *input);

// Reads up to one chunk into data, which holds at least a chunk. Returns the
// bytes read: fewer than a chunk only where the input ends, 0 once it has
// ended (data is then untouched).
int32_t Extractor_getNextDataBlock(char *data, PayloadInput *input);

// True while the stream exists and has neither ended nor failed.
bool Extractor_canRead(const PayloadInput *input);

// Lowers the chunk by delta bytes (not below 0), for room ahead of the data
// (a UDP datagram's headers).
void Extractor_reduceReadSize(int32_t delta, PayloadInput *input);

// Closes a stream opened by Extractor_Initialize; the input is then empty.
void Extractor_Destroy(PayloadInput *input);
