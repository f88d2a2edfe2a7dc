// Test support of the listener and server tests: a small stand-in for the
// reporter thread that drains posted reports and keeps totals, loopback
// socket pairs, and settings records for a server end.
#pragma once

#include <cstdint>
#include <string>

#include "toril/core/settings.h"

namespace endpoint_test {

// What the stand-in saw of the data reports it drained.
struct Totals {
    int64_t bytes = 0;    // sum of packetLen of non-empty records
    int64_t records = 0;  // non-empty records
    int64_t finals = 0;   // data reports ended with EndJob
    int64_t max_packet_id = 0;
    int64_t l2_length_errors = 0;
    int64_t connection_reports = 0;
    int64_t settings_reports = 0;
};

// Starts the stand-in (once per process) and clears its totals.
void reporter_start();
Totals reporter_totals();
// Waits up to limit_ms until finals >= n.
bool reporter_wait_finals(int64_t n, int limit_ms);

// A record for the server end of a test (buffer allocated, thread mode server).
thread_Settings *server_settings(bool udp, int32_t buf_len);

// A connected TCP pair over 127.0.0.1: *client and *server descriptors.
bool tcp_pair(int *client, int *server);
// Two UDP sockets on 127.0.0.1 connected to each other.
bool udp_pair(int *client, int *server);

}  // namespace endpoint_test
