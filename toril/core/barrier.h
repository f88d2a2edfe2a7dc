// The barriers of toril's traffic threads: the start barrier of parallel
// client streams (transmits_start, passed by Client::BarrierClient) and the
// full-duplex start/stop barrier of the two directions of one stream (one per
// full-duplex SumReport).
//
// A BarrierMutex is plain data, initialised by its owner (barrier_init) and
// used by any thread under its own mutex; the owner destroys it after every
// user has left (barrier_destroy).
#pragma once

#include <pthread.h>

#include <cstdint>

struct BarrierMutex {
    pthread_cond_t await;
    pthread_mutex_t lock;
    int64_t release_time_sec;  // when the start barrier released the streams
    int64_t release_time_usec;
    int count;       // arrivals still expected (start) or arrived (full duplex)
    int timeout_s;   // full duplex: how long the first arrival waits
    uint32_t round;  // full duplex: rendezvous completed so far
};

// Mutex and condition made, release time zero, the given count and timeout.
void barrier_init(BarrierMutex *barrier, int count, int timeout_s);
// Destroys the mutex (unlocking it first when a user left it locked) and the
// condition.
void barrier_destroy(BarrierMutex *barrier);

// The rendezvous of the two directions of a full-duplex stream. The second
// arrival resets the count to 0 for the next use, wakes the first and returns
// 1. The first waits in one-second steps up to timeout_s seconds and returns 0
// when the partner came, or prints "Barrier timeout per full duplex
// traffic\n" on standard output and returns -1 (its arrival stays counted, so
// a late partner passes at once). A zero-filled BarrierMutex whose mutex and
// condition were initialised is a valid barrier.
int fullduplex_start_barrier(BarrierMutex *barrier);
// The same rendezvous at the end of the stream.
int fullduplex_stop_barrier(BarrierMutex *barrier);
