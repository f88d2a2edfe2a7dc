// The formats a quarvel client puts on the wire: the test header and the UDP
// datagram header. Encoders write big-endian words byte by byte into the
// caller's buffer; they keep no state and may run on any thread.
//
// Test header (36 bytes for TCP, written at offset 12 of every UDP datagram;
// 32-bit big-endian words):
//   0   flags   0x80000000 with a dual or tradeoff test, | 0x1 dual,
//               | 0x2 when the rate is in packets per second
//   4   threads
//   8   port    the client's port for the reverse test (listen_port, else port)
//   12  buffer length  buf_len with -l, else 0
//   16  window
//   20  amount  timed: minus the hundredths of a second; else the byte count
//               with its top bit cleared
//   24  rate    low 32 bits
//   28  8 bytes left as the buffer holds them
//
// UDP datagram header (first 12 bytes): number (signed, the first is 0; the
// final datagram carries minus the count sent), send time seconds, send time
// microseconds.
#pragma once

#include <cstddef>
#include <cstdint>

#include "quarvel/settings.h"

constexpr uint32_t HDR_VERSION1 = 0x80000000u;   // a reverse test is asked for
constexpr uint32_t HDR_RUN_NOW = 0x00000001u;    // dual: run the reverse test at once
constexpr uint32_t HDR_UNITS_PPS = 0x00000002u;  // rate is in packets per second

// Bytes of the header a TCP client sends; the first 28 are defined.
constexpr size_t kTestHeaderBytes = 36;
constexpr size_t kTestHeaderDefinedBytes = 28;
// Bytes of the UDP datagram header.
constexpr size_t kDatagramHeaderBytes = 12;

// Writes the 28 defined header bytes of settings at out.
void client_encode_test_header(const thread_Settings *settings, uint8_t *out);

// Writes the datagram header (number, seconds, microseconds) at out.
void client_encode_datagram_header(uint8_t *out, int32_t number, uint32_t sec, uint32_t usec);

// Rewrites only the number of a datagram header.
void client_encode_datagram_number(uint8_t *out, int32_t number);

// Big-endian 32-bit word at in.
uint32_t client_decode_word(const uint8_t *in);
