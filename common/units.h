// Numbers with unit suffixes, read from user text and printed for reports.
//
// Parsing: a real number followed by one character; the character picks the
// multiplier (k m g: powers of 1000; K M G: powers of 1024 for byte_*, decimal
// bytes-to-bits for bitorbyte_*); any other character, or none, multiplies by 1.
// Every input gives a defined value: NULL, empty text or text without a leading
// number give 0, NaN gives 0, and results outside the return type's range are
// clamped to its limits (infinite reals to +-DBL_MAX). No state; any thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/variant.h"

// Bytes: k m g = 1e3 1e6 1e9, K M G = 2^10 2^20 2^30. Truncates towards zero;
// clamps to [INT64_MIN, INT64_MAX]. "10k" -> 10000, "1.5M" -> 1572864, "10x" -> 10.
int64_t byte_atoi(const char *text);

// As byte_atoi, without truncation. Always finite.
double byte_atof(const char *text);

// Bits: k m g = 1e3 1e6 1e9 bits, K M G = 8e3 8e6 8e9 (bytes given, bits
// returned). Truncates towards zero; negative results give 0 and values above
// the range give UINT64_MAX. "p"/"P" multiply by 1 here.
uint64_t bitorbyte_atoi(const char *text);

// As bitorbyte_atoi, without truncation; a "p" or "P" suffix returns the number
// negated, which marks a packet rate for the caller. Always finite.
double bitorbyte_atof(const char *text);

// Prints value_bytes into buf (at most size bytes, NUL included) in the unit
// that letter names: upper case B K M G T P = bytes in powers of 1024, lower
// case = bits (value x 8) in powers of 1000, any other letter (as 'a'/'A') is
// adaptive. Format "%4.3f %s" / "%4.2f %s" / "%4.1f %s" / "%4.0f %s" by the
// magnitude of the scaled value. kQuarvel knows only B K M G (adaptive up to G)
// and has no three-decimal form. Returns what snprintf returns (the length the
// whole text has, even when it was cut to fit).
int byte_snprintf(char *buf, size_t size, double value_bytes, char letter,
                  ToolVariant variant = ToolVariant::kToril);
