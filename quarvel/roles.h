// The roles of quarvel's threads, as the modules that provide them register them.
//
// The launch code reaches every role body through one RoleTable; the program's
// own table is kRoles in quarvel/roles.cpp, which only the executable links
// (tests bring tables of their own). A null entry is a role this build does not
// have yet: main names it on standard error and exits with status 2 before any
// thread starts, so a run never pretends to test anything.
//
// THE HOOK TO REPLACE: a module that brings a role (the reporter, the listener
// with its server, the client) puts its function into its entry in
// quarvel/roles.cpp, including its header there. Nothing else changes.
//
// The table is read-only after start-up; any thread may read it.
#pragma once

#include <cstdint>

struct thread_Settings;
struct GroupReport;

struct RoleTable {
    // Thread bodies. Each runs on the record's own thread and returns when its
    // work is done (or ends the thread with thread_stop); the thread library
    // then destroys the record.
    void (*reporter_spawn)(thread_Settings *settings);  // returns only when the process ends
    void (*listener_spawn)(thread_Settings *settings);  // Listener: construct, run, destroy
    void (*server_spawn)(thread_Settings *settings);    // Server: construct, run, destroy
    void (*client_spawn)(thread_Settings *settings);    // Client: construct, InitiateServer, Run

    // The reporter's InitMulti: the group report of a client's parallel
    // streams, or null when the group needs none.
    GroupReport *(*init_multi)(thread_Settings *settings, int32_t group_id);

    // Process-wide objects of the roles (the reporter's conditions, the client
    // list and its mutex): made before any thread starts and released at exit
    // (process_cleanup runs before the thread counters are destroyed). May be null.
    void (*process_init)();
    void (*process_cleanup)();
};

// The program's table (quarvel/roles.cpp).
extern const RoleTable kRoles;
