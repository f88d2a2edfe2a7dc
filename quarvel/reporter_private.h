// Pieces the reporter's own sources share: time arithmetic on the report
// times, posting a report and releasing one. Not for the traffic code.
#pragma once

#include <sys/time.h>

#include <ctime>

#include "quarvel/reporter.h"

// The real-time clock: record times, start times and boundaries all use it,
// because datagrams carry the sender's real-time stamps.
inline timeval reporter_now() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    timeval tv;
    tv.tv_sec = ts.tv_sec;
    tv.tv_usec = ts.tv_nsec / 1000;
    return tv;
}

// a - b in seconds.
inline double reporter_seconds(const timeval &a, const timeval &b) {
    return static_cast<double>(a.tv_sec - b.tv_sec) +
           static_cast<double>(a.tv_usec - b.tv_usec) / 1e6;
}

// a + b, microseconds carried into seconds.
inline timeval reporter_add(const timeval &a, const timeval &b) {
    timeval sum;
    sum.tv_sec = a.tv_sec + b.tv_sec;
    sum.tv_usec = a.tv_usec + b.tv_usec;
    if (sum.tv_usec >= 1000000) {
        sum.tv_sec += sum.tv_usec / 1000000;
        sum.tv_usec %= 1000000;
    }
    return sum;
}

inline bool reporter_is_zero(const timeval &t) {
    return t.tv_sec == 0 && t.tv_usec == 0;
}

// Puts report at the head of ReportRoot and wakes the reporter. Any thread.
void reporter_post(DataReport *report);

// Frees a report and its ring. Null is ignored.
void reporter_free(DataReport *report);
