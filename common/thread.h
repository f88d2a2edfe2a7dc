// The thread library of the traffic generators: starting a thread per record,
// counting the running threads and joining them.
//
// Each program runs every thread from its own per-thread record, a struct
// named thread_Settings that each program defines for itself. The library
// never looks inside it: the program registers a ThreadProgram, a small table
// of accessors and the role body, once at start-up (thread_set_program) before
// any thread starts. Records passed here belong to that program.
//
// Counters (process-wide, under one mutex; their condition is a semaphore):
//   thread count       every started thread (the reporter included)
//   traffic count      the server and client threads among them
//   non-terminating    threads (listeners) that end only on an interrupt; on
//                      the first interrupt their share of the thread count is
//                      released, so thread_joinall returns when the others end.
// Every change happens under the mutex and every decrement posts the
// condition. thread_joinall waits without holding the mutex, so an interrupt
// delivered to the joining thread is handled at once. thread_release_nonterm
// may be called from a signal handler: if the handler interrupted a thread
// inside the counters' own short lock sections, that thread makes the release
// as it leaves the section, so a handler never deadlocks.
//
// Ownership: a started record belongs to its thread, which destroys it (through
// the program's destroy callback) when it ends; the caller must not touch it
// after thread_start. A record that could not be started stays with the caller.
#pragma once

#include <pthread.h>

#include "common/variant.h"

struct thread_Settings;  // the program's own per-thread record

// What a record's thread does.
enum class ThreadRole {
    kUnknown,   // not a thread type: the thread warns and stops
    kServer,    // traffic thread
    kClient,    // traffic thread
    kReporter,  // the reporter
    kListener,  // non-terminating while it runs
};

// How the library sees the program's records. Every callback is required
// except traffic_ended and realtime.
struct ThreadProgram {
    // kToril: thread_start warns about a record that already runs and does not
    // follow run_next (thread_start_all does). kQuarvel: thread_start leaves a
    // running record alone, starts run_next first (the chain starts back to
    // front), and an ended thread waits one second before its record goes.
    ToolVariant variant = ToolVariant::kToril;
    pthread_t *(*thread_id)(thread_Settings *record) = nullptr;  // the record's thread handle
    thread_Settings *(*run_next)(thread_Settings *record) = nullptr;
    thread_Settings *(*run_after)(thread_Settings *record) = nullptr;
    ThreadRole (*role)(const thread_Settings *record) = nullptr;
    // Runs the body of a known role on the record's own thread and returns
    // when it is done (the body may also end the thread with thread_stop).
    void (*run)(thread_Settings *record, ThreadRole role) = nullptr;
    void (*destroy)(thread_Settings *record) = nullptr;
    // Called when a server or client thread has left the counts (outside the
    // counters' mutex; toril wakes its reporter here, which then sees the new
    // count). The process may be ending by then: touch only objects that are
    // never destroyed while threads run.
    void (*traffic_ended)() = nullptr;
    // True when the record asks for real-time scheduling.
    bool (*realtime)(const thread_Settings *record) = nullptr;
};

// Registers the program's table (kept by pointer; it must outlive every
// thread). Call once, before the first thread_start.
void thread_set_program(const ThreadProgram *program);

// Creates (resets to zero) the counters and their mutex and condition.
void thread_init();
// Destroys the counters' mutex and condition; a mutex still locked is
// unlocked and destroyed again. No thread may use the library afterwards.
void thread_destroy();

// Starts a thread for record (see ThreadProgram::variant). Counts it (and, for
// a server or client, as traffic) before the thread exists and stores the new
// handle in the record's thread_id before the thread can look at the record.
// Failure to create it prints the warning "pthread_create" and undoes the
// counts; the record then stays with the caller.
void thread_start(thread_Settings *record);

// Starts record and every record chained after it by run_next; each link is
// read before its record is started (a started record may be gone at once).
void thread_start_all(thread_Settings *record);

// The body of every started thread: runs the role (a listener between
// thread_register_nonterm and thread_unregister_nonterm); an unknown role
// prints the warning "Unknown Thread Type!\n" and stops. Then it starts
// run_after, destroys the record and releases its counts. Exposed for the
// program's own tests; thread_start is the way to run it.
void *thread_run_wrapper(void *record);

// Ends the calling thread that owns record: a record without a thread is left
// untouched and the call returns (so is every record while no program is
// registered). Otherwise the record leaves the counts (a
// listener's non-terminating share too), is destroyed, and the calling thread
// ends when it is the record's thread.
void thread_stop(thread_Settings *record);

// Keeps the allocator's threshold for mapping large blocks fixed. A server
// runs many short tests, each on its own thread with its own large buffers
// and rings; with the default sliding threshold those blocks come from
// per-thread arenas after the first one is freed, and the memory of tests
// long ended stays with the process. Called once at start-up.
void thread_memory_init();

// Waits until the thread count is 0 or below.
void thread_joinall();

// Non-terminating count + 1.
void thread_register_nonterm();
// Non-terminating count - 1 when positive; otherwise thread count + 1 (an
// interrupt already released this thread's share).
void thread_unregister_nonterm();
// Thread count -= non-terminating count, which becomes 0; signals. When that
// share was positive, more than one thread remains and interrupt is non-zero
// (the signal number), prints "Waiting for server threads to complete.
// Interrupt again to force quit.\n" on standard error. Returns the remaining
// thread count, or -1 when the release was left to the thread that holds the
// counters' mutex (see the file comment). Safe in a signal handler.
int thread_release_nonterm(int interrupt);

// Thread count - 1 / + 1: a thread that waits for others stops or starts
// counting as running.
void thread_setignore();
void thread_unsetignore();

// Current counts.
int thread_numuserthreads();
int thread_numtrafficthreads();

// Thread handles: equality, and the zero handle of a record without a thread.
bool thread_equalid(pthread_t a, pthread_t b);
void thread_zeroid(pthread_t *id);

// When the record asks for real-time scheduling: round-robin at the highest
// priority for the calling process ("Client set scheduler" through perror on
// failure) and all current and future memory locked ("mlockall").
void thread_setscheduler(const thread_Settings *record);
