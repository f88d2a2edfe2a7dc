// A point in time as seconds and microseconds, as the reports keep it.
//
// Plain value type; no state. Differences are taken in double precision
// seconds, the unit every report computes in.
#pragma once

#include <cstdint>

struct Timestamp {
    int64_t tv_sec;
    int64_t tv_usec;
};

// a - b in seconds.
inline double timestamp_diff_s(const Timestamp &a, const Timestamp &b) {
    return static_cast<double>(a.tv_sec - b.tv_sec) +
           static_cast<double>(a.tv_usec - b.tv_usec) / 1000000.0;
}

// True when a is strictly later than b.
inline bool timestamp_after(const Timestamp &a, const Timestamp &b) {
    return a.tv_sec > b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_usec > b.tv_usec);
}

// True when the time was ever set (either word non-zero).
inline bool timestamp_isset(const Timestamp &t) {
    return t.tv_sec != 0 || t.tv_usec != 0;
}
