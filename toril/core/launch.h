// The process skeleton of toril: the objects every thread meets, the start
// lists of the client and of a port range, the thread bodies of each role and
// the start of the whole chain behind the reporter.
//
// main (toril/main.cpp) calls, in order: sig_install, launch_init, the
// settings functions, then either launch_prepare_client or
// launch_prepare_listener, then launch_run. Every thread the chain starts runs
// through the thread library (common/thread.h), which this module feeds with
// toril's record (launch_thread_program) and which calls launch_dispatch.
//
// Roles. Each thread_mode has a body in launch_roles: client_spawn,
// server_spawn, listener_spawn and the reporter's reporter_spawn. A body whose
// code is not part of this build is null there (see launch_roles.cpp, the one
// place to fill it in); main then refuses to start a role that needs it with
// "toril: the client role is not available in this build" (or "server role")
// and status 2, rather than running a test that cannot be measured. Tests may
// replace entries to run the start-up with stand-in bodies.
//
// Ownership: the global record and every record chained after it belong to
// the thread library once launch_run starts them; each thread destroys its
// own. The process-wide objects below are made by launch_init and live until
// the process ends.
#pragma once

#include <pthread.h>

#include "common/thread.h"
#include "toril/core/barrier.h"
#include "toril/core/settings.h"

// A one-shot "ready" flag: set under its mutex and broadcast; waiters re-check
// it after every (timed) wait.
struct ReadyFlag {
    pthread_cond_t await;
    pthread_mutex_t mutex;
    int ready;
};

extern ReadyFlag reporter_state;      // set by the reporter once it runs
extern ReadyFlag threads_start;       // set by main once the start list was started
extern BarrierMutex transmits_start;  // start barrier of the parallel clients

// Sets the flag and wakes every waiter.
void ready_flag_set(ReadyFlag *flag);
// Waits in one-second steps until the flag is set.
void ready_flag_wait(ReadyFlag *flag);

// The thread body of each role.
struct LaunchRoles {
    void (*client)(thread_Settings *record);
    void (*server)(thread_Settings *record);
    void (*listener)(thread_Settings *record);
    void (*reporter)(thread_Settings *record);
};
extern LaunchRoles launch_roles;  // defined in launch_roles.cpp

// toril's record as the thread library sees it (thread_mode decides the role).
extern const ThreadProgram launch_thread_program;

// Runs record's role body from launch_roles on the calling thread. A role
// without a body prints "toril: the <role> is not available in this build\n"
// on standard error and returns.
void launch_dispatch(thread_Settings *record, ThreadRole role);

// Start-up step 2: resets the active host table, the ready flags and the start
// barrier (count 0), registers launch_thread_program, runs thread_init, and
// registers cleanup with the exit handlers (once).
void launch_init();

// Exit handler: empties the active host table. The locks and conditions are
// left as they are: listener threads released by an interrupt may still be
// using them while the process ends.
void cleanup();

// True when every body the global record's start list needs is in this
// build: the reporter and the client (plus the listener of a dual or tradeoff
// test), or the reporter, the listener and the server.
bool launch_role_available(const thread_Settings *global);

// Start-up step 7 for a client: start barrier count = threads, the global's
// transmit_barrier, client_init. Returns the reporter's thread_mode (4).
ThreadMode launch_prepare_client(thread_Settings *global);
// Start-up step 7 for a listener: with OPT_DAEMON says "Running Toril Server
// as a daemon\n" on standard error and detaches (working directory kept,
// standard streams closed; "daemon" through perror on failure); with a port
// range, listeners_init. Returns the reporter's thread_mode (3).
ThreadMode launch_prepare_listener(thread_Settings *global);

// Start-up steps 8 to 10: a deep copy of global becomes the reporter
// (thread_mode reporter_mode, run_next global, no report pointers); the chain
// is started reporter first; threads_start is set; then the join.
void launch_run(thread_Settings *global, ThreadMode reporter_mode);

// The client's start list: OPT_REPORT_SETTINGS on global, the dual/tradeoff
// listener as global's run_next, then threads - 1 deep copies with their
// address and port increments, then the bounceback congestion streams.
void client_init(thread_Settings *global);

// For a port range (port < port_last): one listener per further port, deep
// copies with OPT_NO_SETTINGS_REPORT chained after global.
void listeners_init(thread_Settings *global);

// The thread bodies (launch_spawn.cpp).
void client_spawn(thread_Settings *record);
void server_spawn(thread_Settings *record);
void listener_spawn(thread_Settings *record);
