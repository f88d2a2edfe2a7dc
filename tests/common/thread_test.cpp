// The thread library with real threads: counting, joining, chains, the
// non-terminating share of listeners, thread_stop and the quarvel start order.
#include "common/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {
// A gate the bodies wait at until the test opens it.
class Gate {
  public:
    void open() {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
        cond_.notify_all();
    }
    void wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        cond_.wait(lock, [this] { return open_; });
    }

  private:
    std::mutex mutex_;
    std::condition_variable cond_;
    bool open_ = false;
};

}  // namespace

// This test's own per-thread record.
struct thread_Settings {
    ThreadRole role = ThreadRole::kClient;
    pthread_t thread_id = pthread_t();
    thread_Settings *run_next = nullptr;
    thread_Settings *run_after = nullptr;
    int index = 0;
    Gate *gate = nullptr;      // the body waits here when set
    bool stop_inside = false;  // the body ends itself with thread_stop
};

namespace {

using namespace std::chrono_literals;

std::atomic<int> ran{0};
std::atomic<int> after_stop{0};
std::atomic<int> destroyed{0};
std::atomic<int> traffic_ended_calls{0};
std::atomic<int> arrived{0};
std::mutex order_mutex;
std::vector<int> creation_order;
pthread_t test_thread;

pthread_t *record_id(thread_Settings *r) {
    return &r->thread_id;
}
thread_Settings *record_next(thread_Settings *r) {
    return r->run_next;
}
thread_Settings *record_after(thread_Settings *r) {
    return r->run_after;
}
ThreadRole record_role(const thread_Settings *r) {
    if (pthread_equal(pthread_self(), test_thread)) {
        std::lock_guard<std::mutex> lock(order_mutex);
        creation_order.push_back(r->index);
    }
    return r->role;
}
void record_run(thread_Settings *r, ThreadRole) {
    ran++;
    arrived++;
    if (r->gate) r->gate->wait();
    if (r->stop_inside) {
        thread_stop(r);
        after_stop++;
    }
}
void record_destroy(thread_Settings *r) {
    delete r;
    destroyed++;
}
void on_traffic_ended() {
    traffic_ended_calls++;
}

ThreadProgram make_program(ToolVariant variant) {
    ThreadProgram p;
    p.variant = variant;
    p.thread_id = record_id;
    p.run_next = record_next;
    p.run_after = record_after;
    p.role = record_role;
    p.run = record_run;
    p.destroy = record_destroy;
    p.traffic_ended = on_traffic_ended;
    return p;
}

const ThreadProgram toril_program = make_program(ToolVariant::kToril);
const ThreadProgram quarvel_program = make_program(ToolVariant::kQuarvel);

template <typename Pred>
bool eventually(Pred pred, std::chrono::milliseconds limit = 5000ms) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

Gate *common_gate = nullptr;

// A record whose body waits at the test's gate.
thread_Settings *record(ThreadRole role, int index = 0) {
    auto *r = new thread_Settings;
    r->role = role;
    r->index = index;
    r->gate = common_gate;
    return r;
}

class ThreadLibrary : public testing::Test {
  protected:
    void SetUp() override {
        test_thread = pthread_self();
        thread_set_program(&toril_program);
        // Once: later tests find the counters at zero, and detached threads of
        // the previous test may still be on their way out of the mutex.
        static bool initialised = false;
        if (!initialised) thread_init();
        initialised = true;
        common_gate = &gate_;
        ran = 0;
        after_stop = 0;
        destroyed = 0;
        traffic_ended_calls = 0;
        arrived = 0;
        creation_order.clear();
    }
    void TearDown() override {
        gate_.open();
        // Every started thread must be gone before the counters are reset.
        EXPECT_TRUE(eventually([] { return thread_numuserthreads() == 0; }));
        EXPECT_EQ(thread_numtrafficthreads(), 0);
        common_gate = nullptr;
    }
    // Waits for the whole join on a helper thread, with a bound.
    bool joinall_within(std::chrono::milliseconds limit) {
        std::atomic<bool> done{false};
        std::thread joiner([&] {
            thread_joinall();
            done = true;
        });
        const bool ok = eventually([&] { return done.load(); }, limit);
        if (!ok) gate_.open();  // let the bodies finish so the joiner ends
        joiner.join();
        return ok;
    }
    Gate gate_;
};

TEST_F(ThreadLibrary, CountsByRoleAndJoinsWhenAllHaveEnded) {
    const ThreadRole roles[] = {ThreadRole::kClient, ThreadRole::kServer, ThreadRole::kServer,
                                ThreadRole::kReporter, ThreadRole::kListener};
    for (ThreadRole role : roles) thread_start(record(role));
    ASSERT_TRUE(eventually([] { return arrived.load() == 5; }));
    EXPECT_EQ(thread_numuserthreads(), 5);
    EXPECT_EQ(thread_numtrafficthreads(), 3);
    EXPECT_EQ(traffic_ended_calls.load(), 0);
    gate_.open();
    ASSERT_TRUE(joinall_within(5000ms));
    EXPECT_EQ(thread_numuserthreads(), 0);
    EXPECT_EQ(thread_numtrafficthreads(), 0);
    EXPECT_EQ(destroyed.load(), 5);
    // Servers and clients only, each once it has left the counts.
    EXPECT_TRUE(eventually([] { return traffic_ended_calls.load() == 3; }));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(traffic_ended_calls.load(), 3);
}

TEST_F(ThreadLibrary, JoinWaitsForTheLastThread) {
    thread_start(record(ThreadRole::kClient));
    ASSERT_TRUE(eventually([] { return arrived.load() == 1; }));
    EXPECT_FALSE(joinall_within(200ms));  // the body is still at the gate
    EXPECT_EQ(destroyed.load(), 1);       // joinall_within opened the gate on its way out
}

TEST_F(ThreadLibrary, StartAllRunsTheWholeChainOnce) {
    thread_Settings *head = record(ThreadRole::kReporter, 0);
    head->run_next = record(ThreadRole::kClient, 1);
    head->run_next->run_next = record(ThreadRole::kListener, 2);
    thread_start_all(head);
    ASSERT_TRUE(eventually([] { return arrived.load() == 3; }));
    EXPECT_EQ(creation_order, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(thread_numuserthreads(), 3);
    gate_.open();
    ASSERT_TRUE(joinall_within(5000ms));
    EXPECT_EQ(ran.load(), 3);
    EXPECT_EQ(destroyed.load(), 3);
}

TEST_F(ThreadLibrary, StartingARunningRecordWarnsAndStartsNothing) {
    thread_Settings *r = record(ThreadRole::kClient);
    thread_start(r);
    ASSERT_TRUE(eventually([] { return arrived.load() == 1; }));
    EXPECT_NE(r->thread_id, pthread_t());
    testing::internal::CaptureStderr();
    thread_start(r);  // r is alive: its body waits at the gate
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "thread_start called on running thread failed\n");
    EXPECT_EQ(thread_numuserthreads(), 1);
    gate_.open();
    ASSERT_TRUE(joinall_within(5000ms));
    EXPECT_EQ(ran.load(), 1);
}

TEST_F(ThreadLibrary, UnknownRoleWarnsAndStopsWithoutRunning) {
    testing::internal::CaptureStderr();
    thread_start(record(ThreadRole::kUnknown));
    ASSERT_TRUE(joinall_within(5000ms));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Unknown Thread Type!\n failed\n");
    EXPECT_EQ(ran.load(), 0);
    EXPECT_EQ(destroyed.load(), 1);
}

TEST_F(ThreadLibrary, StopInsideTheBodyEndsTheThreadAndReleasesItsCounts) {
    const ThreadRole roles[] = {ThreadRole::kClient, ThreadRole::kListener};
    for (ThreadRole role : roles) {
        thread_Settings *r = record(role);
        r->stop_inside = true;
        thread_start(r);
    }
    gate_.open();
    ASSERT_TRUE(joinall_within(5000ms));
    EXPECT_EQ(after_stop.load(), 0);
    EXPECT_EQ(destroyed.load(), 2);
    EXPECT_EQ(thread_numtrafficthreads(), 0);
    // The stopped listener gave back its non-terminating share: an interrupt
    // now has nothing to release.
    EXPECT_EQ(thread_release_nonterm(SIGINT), 0);
}

TEST_F(ThreadLibrary, StopOnARecordWithoutThreadLeavesItAlone) {
    thread_Settings *global = record(ThreadRole::kClient);
    thread_stop(global);
    EXPECT_EQ(destroyed.load(), 0);
    EXPECT_EQ(thread_numuserthreads(), 0);
    delete global;
}

TEST_F(ThreadLibrary, RunAfterStartsBeforeTheFirstThreadLetsGo) {
    thread_Settings *first = record(ThreadRole::kServer, 1);
    first->gate = nullptr;  // ends at once
    first->run_after = record(ThreadRole::kClient, 2);
    thread_start(first);
    ASSERT_TRUE(eventually([] { return destroyed.load() == 1; }));
    // The count never reached zero in between: the second still holds the join.
    EXPECT_EQ(thread_numuserthreads(), 1);
    EXPECT_EQ(thread_numtrafficthreads(), 1);
    EXPECT_FALSE(joinall_within(200ms));
    EXPECT_EQ(ran.load(), 2);
    EXPECT_EQ(destroyed.load(), 2);
}

struct ReleaseCase {
    const char *name;
    int listeners;
    int others;
    int interrupt;
    int remaining;
    bool message;
};

class ReleaseNonterm : public ThreadLibrary, public testing::WithParamInterface<ReleaseCase> {};

TEST_P(ReleaseNonterm, ReleasesTheListenersShareAndSaysSoOnAnInterrupt) {
    const ReleaseCase &c = GetParam();
    for (int i = 0; i < c.listeners; ++i) thread_start(record(ThreadRole::kListener));
    for (int i = 0; i < c.others; ++i) thread_start(record(ThreadRole::kServer));
    ASSERT_TRUE(eventually([&] { return arrived.load() == c.listeners + c.others; }));
    testing::internal::CaptureStderr();
    EXPECT_EQ(thread_release_nonterm(c.interrupt), c.remaining);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              c.message ? "Waiting for server threads to complete. Interrupt again to force "
                          "quit.\n"
                        : "");
    EXPECT_EQ(thread_numuserthreads(), c.remaining);
    // A second release finds nothing left to release.
    EXPECT_EQ(thread_release_nonterm(c.interrupt), c.remaining);
    gate_.open();
    // The listeners re-count themselves on the way out, so all ends at zero.
    EXPECT_TRUE(eventually([&] { return destroyed.load() == c.listeners + c.others; }));
}

const ReleaseCase kReleaseCases[] = {
    {"interrupt_with_two_servers", 1, 2, SIGINT, 2, true},
    {"interrupt_with_one_server", 1, 1, SIGINT, 1, false},
    {"three_listeners_no_server", 3, 0, SIGTERM, 0, false},
    {"not_an_interrupt", 1, 3, 0, 3, false},
    {"no_listener", 0, 3, SIGINT, 3, false},
};

std::string release_case_name(const testing::TestParamInfo<ReleaseCase> &param_info) {
    return param_info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Cases, ReleaseNonterm, testing::ValuesIn(kReleaseCases),
                         release_case_name);

TEST_F(ThreadLibrary, JoinReturnsWhileReleasedListenersStillRun) {
    Gate listener_gate;
    thread_Settings *listener = record(ThreadRole::kListener);
    listener->gate = &listener_gate;
    thread_start(listener);
    thread_start(record(ThreadRole::kServer));
    ASSERT_TRUE(eventually([] { return arrived.load() == 2; }));
    EXPECT_EQ(thread_release_nonterm(0), 1);
    gate_.open();
    EXPECT_TRUE(joinall_within(5000ms));  // the server ended; the listener waits on
    EXPECT_EQ(destroyed.load(), 1);
    listener_gate.open();
    // On its way out the listener counts itself again, then leaves: zero.
    ASSERT_TRUE(eventually([] { return destroyed.load() == 2; }));
    EXPECT_EQ(thread_numuserthreads(), 0);
}

TEST_F(ThreadLibrary, IgnoreAndUnregisterAdjustTheThreadCount) {
    thread_setignore();
    EXPECT_EQ(thread_numuserthreads(), -1);
    thread_unsetignore();
    EXPECT_EQ(thread_numuserthreads(), 0);
    thread_unregister_nonterm();  // nothing registered: counts the thread again
    EXPECT_EQ(thread_numuserthreads(), 1);
    thread_register_nonterm();
    thread_unregister_nonterm();
    EXPECT_EQ(thread_numuserthreads(), 1);
    thread_setignore();
    EXPECT_EQ(thread_numuserthreads(), 0);
}

TEST_F(ThreadLibrary, IdsCompareAndClear) {
    pthread_t id = pthread_self();
    EXPECT_TRUE(thread_equalid(id, pthread_self()));
    thread_zeroid(&id);
    EXPECT_EQ(id, pthread_t());
}

TEST_F(ThreadLibrary, QuarvelStartsTheChainBackToFrontAndSkipsRunningRecords) {
    thread_set_program(&quarvel_program);
    thread_Settings *head = record(ThreadRole::kReporter, 0);
    head->run_next = record(ThreadRole::kListener, 1);
    head->run_next->run_next = record(ThreadRole::kClient, 2);
    thread_start(head);
    ASSERT_TRUE(eventually([] { return arrived.load() == 3; }));
    EXPECT_EQ(creation_order, (std::vector<int>{2, 1, 0}));
    testing::internal::CaptureStderr();
    thread_start(head);  // running: left alone, silently
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(thread_numuserthreads(), 3);
    gate_.open();
    // Counts go first; each record goes a second later.
    ASSERT_TRUE(joinall_within(5000ms));
    EXPECT_TRUE(eventually([] { return destroyed.load() == 3; }));
}

}  // namespace
