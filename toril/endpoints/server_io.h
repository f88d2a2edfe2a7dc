// Exact-length socket reads and writes for the listener and the server
// loops, on sockets whose peer this program does not control.
//
// Unlike common/io.h, an error here costs only the caller's test: nothing
// sets the process-wide interrupt flag and nothing is printed; errno is kept
// for the caller's warning. No allocation; any thread, on its own sockets.
#pragma once

#include <cstddef>
#include <cstdint>

#include "toril/reporting/timestamp.h"

// Receives up to len bytes, waiting for all of them. Returns the bytes that
// arrived (0..len): fewer when the peer closed, a receive timeout expired,
// an interrupt flag is set while a signal interrupted the wait, or an error
// happened (errno then tells which; 0 after a clean close).
int server_recv_all(int sock, void *buf, int len);

// Sends len bytes without raising SIGPIPE. Returns the bytes sent (fewer on
// an error or a send timeout; errno tells which).
int server_send_all(int sock, const void *buf, int len);

// The wall clock, which is what travels on the wire and what packet times
// are compared with.
Timestamp server_now();

// t + usec microseconds (usec may be negative or above a second).
Timestamp server_time_add_us(const Timestamp &t, int64_t usec);
