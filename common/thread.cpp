#include "common/thread.h"

#include <malloc.h>
#include <sched.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>

#include "common/warn.h"

namespace {

const ThreadProgram *program = nullptr;

pthread_mutex_t counters_mutex = PTHREAD_MUTEX_INITIALIZER;
// The counters' condition: posted on every change that may end
// thread_joinall's wait. A semaphore rather than a condition variable because
// the join then waits without holding the mutex, so an interrupt that lands on
// the joining thread (where the kernel usually delivers it) releases the
// listeners at once, and because posting it is safe inside a signal handler.
sem_t join_wake;
int thread_count = 0;
int traffic_count = 0;
int nonterm_count = 0;

// Set while this thread holds (or is about to take, or waits on) the
// counters' mutex. A signal handler that interrupts such a thread must not
// take the mutex; it leaves its release in deferred_release instead.
thread_local volatile sig_atomic_t holds_counters = 0;
// The role this thread was counted as when it started.
thread_local ThreadRole started_role = ThreadRole::kUnknown;
std::atomic<int> deferred_release{0};  // interrupt number + 1, 0 when none
static_assert(std::atomic<int>::is_always_lock_free, "read in signal handlers");

void wake_waiters() {
    sem_post(&join_wake);
}

constexpr char kWaitingText[] =
    "Waiting for server threads to complete. Interrupt again to force quit.\n";

int release_nonterm_locked(int interrupt) {
    const int released = nonterm_count;
    thread_count -= released;
    if (released > 0 && thread_count > 1 && interrupt != 0) {
        // write, not stdio: this runs inside signal handlers.
        ssize_t ignored = write(STDERR_FILENO, kWaitingText, sizeof kWaitingText - 1);
        (void)ignored;
    }
    nonterm_count = 0;
    wake_waiters();
    return thread_count;
}

void take_deferred_locked() {
    const int pending = deferred_release.exchange(0);
    if (pending != 0) release_nonterm_locked(pending - 1);
}

void counters_lock() {
    holds_counters = 1;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    pthread_mutex_lock(&counters_mutex);
}

void counters_unlock() {
    for (;;) {
        take_deferred_locked();
        pthread_mutex_unlock(&counters_mutex);
        std::atomic_signal_fence(std::memory_order_seq_cst);
        holds_counters = 0;
        // A handler that came between the unlock and the flag left its work.
        if (deferred_release.load() == 0) return;
        counters_lock();
    }
}

class CountersGuard {
  public:
    CountersGuard() { counters_lock(); }
    ~CountersGuard() { counters_unlock(); }
    CountersGuard(const CountersGuard &) = delete;
    CountersGuard &operator=(const CountersGuard &) = delete;
};

bool is_traffic(ThreadRole role) {
    return role == ThreadRole::kServer || role == ThreadRole::kClient;
}

// Takes the record out of the counts. After this the process may end at any
// moment (the join can return), so only objects that outlive every thread may
// be touched: traffic_ended is such a call.
void release_counts(ThreadRole role) {
    void (*ended)() = nullptr;
    {
        CountersGuard guard;
        thread_count--;
        if (is_traffic(role)) {
            traffic_count--;
            ended = program->traffic_ended;
        }
        wake_waiters();
    }
    if (ended) ended();
}

bool caller_owns(thread_Settings *record) {
    return pthread_equal(*program->thread_id(record), pthread_self()) != 0;
}

void start_one(thread_Settings *record) {
    pthread_t *id = program->thread_id(record);
    const ThreadRole role = program->role(record);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    // Nobody joins: thread_joinall waits on the counts, and a thread that
    // ends early through thread_stop leaves nothing behind.
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    CountersGuard guard;
    thread_count++;
    if (is_traffic(role)) traffic_count++;
    pthread_t created;
    if (pthread_create(&created, &attr, thread_run_wrapper, record) != 0) {
        WARN("pthread_create");
        thread_count--;
        if (is_traffic(role)) traffic_count--;
        wake_waiters();
    } else {
        // The new thread takes the counters' mutex before it looks at its
        // record, so it sees this handle.
        *id = created;
    }
    pthread_attr_destroy(&attr);
}

}  // namespace

void thread_set_program(const ThreadProgram *p) {
    program = p;
}

void thread_init() {
    pthread_mutex_init(&counters_mutex, nullptr);
    sem_init(&join_wake, 0, 0);
    thread_count = 0;
    traffic_count = 0;
    nonterm_count = 0;
    deferred_release.store(0);
}

void thread_destroy() {
    if (pthread_mutex_destroy(&counters_mutex) == EBUSY) {
        pthread_mutex_unlock(&counters_mutex);
        pthread_mutex_destroy(&counters_mutex);
    }
    sem_destroy(&join_wake);
}

void thread_start(thread_Settings *record) {
    if (!record) return;
    if (*program->thread_id(record) != pthread_t()) {
        if (program->variant == ToolVariant::kToril) WARN("thread_start called on running thread");
        return;
    }
    if (program->variant == ToolVariant::kQuarvel) thread_start(program->run_next(record));
    start_one(record);
}

void thread_start_all(thread_Settings *record) {
    if (program->variant == ToolVariant::kQuarvel) {
        thread_start(record);
        return;
    }
    while (record) {
        thread_Settings *next = program->run_next(record);
        thread_start(record);
        record = next;
    }
}

namespace {

// Releases a thread's counts once thread_stop's unwinding has run every
// destructor below the thread's top frame: released earlier, the process
// could end while those destructors still hold what they are about to free.
struct CountsOnUnwind {
    ~CountsOnUnwind() {
        if (armed) release_counts(role);
    }
    bool armed = false;
    ThreadRole role = ThreadRole::kUnknown;
};

thread_local CountsOnUnwind *counts_on_unwind = nullptr;

}  // namespace

void *thread_run_wrapper(void *arg) {
    auto *record = static_cast<thread_Settings *>(arg);
    CountsOnUnwind unwind_counts;
    counts_on_unwind = &unwind_counts;
    { CountersGuard wait_for_creator; }
    const ThreadRole role = program->role(record);
    started_role = role;
    switch (role) {
        case ThreadRole::kServer:
        case ThreadRole::kClient:
        case ThreadRole::kReporter:
            program->run(record, role);
            break;
        case ThreadRole::kListener:
            thread_register_nonterm();
            program->run(record, role);
            thread_unregister_nonterm();
            break;
        case ThreadRole::kUnknown:
            WARN("Unknown Thread Type!\n");
            thread_stop(record);
            return nullptr;
    }
    // run_after starts while this thread still counts, so the process cannot
    // end in between.
    thread_start(program->run_after(record));
    if (program->variant == ToolVariant::kQuarvel) {
        release_counts(role);
        sleep(1);
        program->destroy(record);
    } else {
        program->destroy(record);
        release_counts(role);
    }
    return nullptr;
}

void thread_stop(thread_Settings *record) {
    // Without a registered program no record can have a thread of ours.
    if (!record || !program || *program->thread_id(record) == pthread_t()) return;
    const bool own = caller_owns(record);
    // The counts follow the role the thread started with, whatever its record
    // says now.
    const ThreadRole role = own ? started_role : program->role(record);
    // A listener stopped inside its body still holds its non-terminating share.
    if (role == ThreadRole::kListener && own) thread_unregister_nonterm();
    program->destroy(record);
    if (own && counts_on_unwind) {
        counts_on_unwind->role = role;
        counts_on_unwind->armed = true;
        pthread_exit(nullptr);
    }
    release_counts(role);
    if (own) pthread_exit(nullptr);
}

void thread_memory_init() {
    // The glibc default; setting it stops the threshold from sliding upwards.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
}

void thread_joinall() {
    for (;;) {
        {
            CountersGuard guard;
            if (thread_count <= 0) return;
        }
        // Bounded, so a post consumed by another waiter costs a second at most.
        timespec deadline;
        clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_sec += 1;
        sem_timedwait(&join_wake, &deadline);
    }
}

void thread_register_nonterm() {
    CountersGuard guard;
    nonterm_count++;
}

void thread_unregister_nonterm() {
    CountersGuard guard;
    if (nonterm_count > 0) {
        nonterm_count--;
    } else {
        thread_count++;
    }
}

int thread_release_nonterm(int interrupt) {
    if (holds_counters) {
        // A handler on the thread that holds the mutex: that thread finishes it.
        deferred_release.store(interrupt + 1);
        return -1;
    }
    counters_lock();
    const int remaining = release_nonterm_locked(interrupt);
    counters_unlock();
    return remaining;
}

void thread_setignore() {
    CountersGuard guard;
    thread_count--;
    wake_waiters();
}

void thread_unsetignore() {
    CountersGuard guard;
    thread_count++;
}

int thread_numuserthreads() {
    CountersGuard guard;
    return thread_count;
}

int thread_numtrafficthreads() {
    CountersGuard guard;
    return traffic_count;
}

bool thread_equalid(pthread_t a, pthread_t b) {
    return pthread_equal(a, b) != 0;
}

void thread_zeroid(pthread_t *id) {
    *id = pthread_t();
}

void thread_setscheduler(const thread_Settings *record) {
    if (!program || !program->realtime || !program->realtime(record)) return;
    sched_param param{};
    param.sched_priority = sched_get_priority_max(SCHED_RR);
    if (sched_setscheduler(0, SCHED_RR, &param) != 0) perror("Client set scheduler");
    if (mlockall(MCL_CURRENT | MCL_FUTURE) != 0) perror("mlockall");
}
