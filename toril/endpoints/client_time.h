// Time arithmetic of the client loops on wall-clock Timestamps (the times
// that travel in the headers and that the reports compare). Inline, no state.
#pragma once

#include <cstdint>

#include "toril/reporting/timestamp.h"

// t + us microseconds (us may be negative), normalised.
inline Timestamp ts_add_us(const Timestamp &t, int64_t us) {
    int64_t total = t.tv_usec + us;
    int64_t sec = t.tv_sec + total / 1000000;
    total %= 1000000;
    if (total < 0) {
        total += 1000000;
        --sec;
    }
    return {sec, total};
}

// a - b in nanoseconds (microsecond resolution).
inline int64_t ts_diff_ns(const Timestamp &a, const Timestamp &b) {
    return ((a.tv_sec - b.tv_sec) * 1000000 + (a.tv_usec - b.tv_usec)) * 1000;
}

// a - b in microseconds.
inline int64_t ts_diff_us(const Timestamp &a, const Timestamp &b) {
    return (a.tv_sec - b.tv_sec) * 1000000 + (a.tv_usec - b.tv_usec);
}
