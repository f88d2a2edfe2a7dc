// Start-up of quarvel's threads: the process-wide state of a run, the client's
// start list, and the link between the thread library and quarvel's roles.
//
// main calls launch_init once, first after the signal handlers, then builds the
// global record, then (for a client) client_init, and finally starts the
// reporter record of launch_reporter with thread_start; the thread library
// (common/thread.h, in quarvel's form) starts the whole chain behind it and
// runs each record's role from the RoleTable given to launch_init.
//
// Records handed to thread_start belong to their threads from then on.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "quarvel/roles.h"
#include "quarvel/settings.h"

// 1 while a NAT client waits for the server's connection or hello; a signal
// then ends the process at once.
extern std::atomic<int> nflag_c;

// NAT stop flags of the listener. SendUDP: 0 the hello datagrams go on, 1 they
// stop. SendTCP: 0 no NAT connection yet, 1 it is made, 2 the NAT test ended.
extern std::atomic<int> SendUDP;
extern std::atomic<int> SendTCP;

// The report group counter (0 at start, counting down, one value per group)
// and its mutex. Held while a group's report is made (group_create).
extern int32_t groupID;
extern pthread_mutex_t groupCond;

// Registers quarvel with the thread library (roles kept by pointer: it must
// outlive every thread), runs roles->process_init, initialises the thread
// counters and registers the exit clean-up (roles->process_cleanup, then
// thread_destroy). Once, before any thread starts.
void launch_init(const RoleTable *roles);

// The first role that a run of the global record needs and roles lacks, as the
// user calls it ("client", "server", "reporter"), or nullptr when all are there.
// A client needs its client body and the reporter (with InitMulti), and for a
// dual or tradeoff test its own listener and server; a listener needs the
// listener and server bodies and the reporter.
const char *launch_missing_role(const thread_Settings *global, const RoleTable &roles);

// Under groupCond: groupID counts down by one and roles.init_multi makes the
// group's report with the new number. Returns the report (may be null).
GroupReport *group_create(thread_Settings *settings);

// The start list of a client: sets OPT_REPORT_SETTINGS, makes the group's sum
// report (group_create), chains the client's own listener for a dual or
// tradeoff test as run_next, then threads - 1 further copies of the client
// (without OPT_REPORT_SETTINGS) after it.
void client_init(thread_Settings *client);

// Client streams of this process. client_spawn counts each stream while it
// runs; a client's own listener (connect_back) waits for the return test while
// any runs and for a grace time after the last has ended. Any thread.
void client_stream_started();
void client_stream_ended();
// Milliseconds on the monotonic clock since the last client stream ended, but
// not since before since_ms (a monotonic time in ms); 0 while any stream runs.
int64_t client_streams_quiet_ms(int64_t since_ms);
// The monotonic clock in milliseconds.
int64_t launch_mono_ms();

// A copy of the global record as the reporter (thread_mode 3), with the global
// record as its run_next: starting it starts the whole chain.
thread_Settings *launch_reporter(thread_Settings *global);
