// Byte access shared by the wire-format sources of toril core: big-endian
// words at explicit offsets of a uint8_t buffer, times and real numbers, and
// the block readers the settings decoders share. Internal to
// toril/core/headers*.cpp; callers bounds-check before use.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "toril/core/headers.h"

namespace hdrbytes {

// Reads and checks a client_hdr_v1 block (24 bytes at v1) into hdr.
int read_v1_block(const uint8_t *v1, bool udp, ClientHdr *hdr);

// Reads and checks an isochronous block (32 bytes at p) into hdr.
int read_isoch_block(const uint8_t *p, ClientHdr *hdr);

inline void put16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

inline void put32(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

inline uint16_t get16(const uint8_t *p) {
    return static_cast<uint16_t>((static_cast<uint16_t>(p[0]) << 8) | p[1]);
}

inline uint32_t get32(const uint8_t *p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

inline int32_t get32s(const uint8_t *p) {
    return static_cast<int32_t>(get32(p));
}

// A time: seconds word (low 32 bits of the clock), microseconds word.
inline void put_time(uint8_t *p, int64_t sec, int64_t usec) {
    put32(p, static_cast<uint32_t>(sec));
    put32(p + 4, static_cast<uint32_t>(usec));
}

inline void get_time(const uint8_t *p, int64_t *sec, int64_t *usec) {
    *sec = get32(p);
    *usec = get32(p + 4);
}

// A 64-bit count as low word at p, high word at p + high_off.
inline void put64_split(uint8_t *p_low, uint8_t *p_high, uint64_t v) {
    put32(p_low, static_cast<uint32_t>(v));
    put32(p_high, static_cast<uint32_t>(v >> 32));
}

inline uint64_t get64_split(const uint8_t *p_low, const uint8_t *p_high) {
    return (static_cast<uint64_t>(get32(p_high)) << 32) | get32(p_low);
}

// A real number: integer part, fraction x 10^6, both signed and truncated
// toward zero. Saturates at the int32 range; NaN goes out as 0. The value is
// truncated in whole microseconds after a guard of a little over one unit in
// last place, so the binary approximation of a decimal such as 0.999999 or
// 2e6 does not lose its last microsecond.
inline void put_real(uint8_t *p, double r) {
    constexpr double kMax = 2147483647.0;
    constexpr double kMin = -2147483648.0;
    int32_t whole = 0;
    int32_t frac = 0;
    if (std::isnan(r)) r = 0.0;
    if (r >= kMax + 1.0) {
        whole = INT32_MAX;
        frac = 999999;
    } else if (r <= kMin - 1.0) {
        whole = INT32_MIN;
        frac = -999999;
    } else {
        const double us = r * 1e6;
        const double guard = std::max(1e-6, std::fabs(us) * 3e-16);
        const double total_us = std::trunc(us + std::copysign(guard, us));
        double ip = std::trunc(total_us / 1e6);
        double f = total_us - ip * 1e6;
        if (ip > kMax) {
            ip = kMax;
            f = 999999;
        } else if (ip < kMin) {
            ip = kMin;
            f = -999999;
        }
        whole = static_cast<int32_t>(ip);
        frac = static_cast<int32_t>(f);
    }
    put32(p, static_cast<uint32_t>(whole));
    put32(p + 4, static_cast<uint32_t>(frac));
}

inline double get_real(const uint8_t *p) {
    return static_cast<double>(get32s(p)) + static_cast<double>(get32s(p + 4)) / 1e6;
}

}  // namespace hdrbytes
