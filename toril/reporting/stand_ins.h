// Types and routines of the launch code that the report objects need and that
// this build does not have yet: the barrier record of the start and
// full-duplex barriers, the full-duplex barrier routine and thread_stop.
//
// They live here only until the thread library arrives; its header then
// takes over these declarations and stand_ins_launch.cpp goes away. The
// signatures are the ones the launch code is to provide.
#pragma once

#include <pthread.h>

#include <cstdint>

struct thread_Settings;

// Start barrier of the parallel clients, and full-duplex start/stop barrier.
struct BarrierMutex {
    pthread_cond_t await;
    pthread_mutex_t lock;
    int64_t release_time_sec;
    int64_t release_time_usec;
    int count;
    int timeout_s;
};

// One rendezvous of the two directions of a full-duplex stream: the second
// arrival wakes the first and returns 1; the first waits in one-second steps
// up to timeout_s, returns 0 when the partner came (the count is reset) or
// prints "Barrier timeout per full duplex traffic\n" and returns -1.
int fullduplex_stop_barrier(BarrierMutex *barrier);

// Ends the calling thread that owns settings; a record without a thread is
// left untouched and the call returns.
void thread_stop(thread_Settings *settings);
