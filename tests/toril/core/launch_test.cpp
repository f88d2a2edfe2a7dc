// The launch code of toril: the full-duplex barrier with real threads, the
// active host table, the start lists of clients and of a port range, and the
// whole start (reporter first, the chain after it, the join) with stand-in
// role bodies.
#include "toril/core/launch.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/signals.h"
#include "toril/core/active_hosts.h"
#include "toril/reporting/report.h"

namespace {

using namespace std::chrono_literals;

// --- Full-duplex barrier ---

TEST(FullDuplexBarrier, SecondArrivalReleasesTheFirst) {
    for (auto barrier_fn : {fullduplex_start_barrier, fullduplex_stop_barrier}) {
        BarrierMutex barrier;
        barrier_init(&barrier, 0, 5);
        int results[2] = {7, 7};
        std::thread first([&] { results[0] = barrier_fn(&barrier); });
        std::this_thread::sleep_for(50ms);  // usually the first is waiting by now
        std::thread second([&] { results[1] = barrier_fn(&barrier); });
        first.join();
        second.join();
        // One of them came second (1), the other waited and was released (0).
        EXPECT_EQ(results[0] + results[1], 1);
        EXPECT_TRUE((results[0] == 0) != (results[1] == 0));
        EXPECT_EQ(barrier.count, 0);  // ready for the stop barrier
        barrier_destroy(&barrier);
    }
}

TEST(FullDuplexBarrier, SameBarrierServesStartAndStop) {
    BarrierMutex barrier;
    barrier_init(&barrier, 0, 5);
    std::atomic<int> sum{0};
    // A short test: each direction goes straight from start to stop, many
    // times; every rendezvous has one second arrival and one released waiter.
    auto direction = [&] {
        for (int i = 0; i < 200; ++i) {
            sum += fullduplex_start_barrier(&barrier);
            sum += fullduplex_stop_barrier(&barrier);
        }
    };
    std::thread a(direction), b(direction);
    a.join();
    b.join();
    EXPECT_EQ(sum.load(), 400);
    EXPECT_EQ(barrier.count, 0);
    barrier_destroy(&barrier);
}

TEST(FullDuplexBarrier, PartnerThatNeverComesTimesOut) {
    for (int timeout_s : {0, 1}) {
        BarrierMutex barrier;
        barrier_init(&barrier, 0, timeout_s);
        testing::internal::CaptureStdout();
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(fullduplex_start_barrier(&barrier), -1);
        const auto waited = std::chrono::steady_clock::now() - start;
        fflush(stdout);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "Barrier timeout per full duplex traffic\n");
        EXPECT_LT(waited, std::chrono::seconds(timeout_s + 3));
        barrier_destroy(&barrier);
    }
}

// --- Active host table ---

thread_Settings *new_settings() {
    thread_Settings global;
    Settings_Initialize(&global);
    thread_Settings *copy = nullptr;
    Settings_Copy(&global, &copy, true);
    return copy;
}

void set_address(sockaddr_storage *storage, const char *ip, uint16_t port) {
    *storage = {};
    if (strchr(ip, ':')) {
        auto *a = reinterpret_cast<sockaddr_in6 *>(storage);
        a->sin6_family = AF_INET6;
        inet_pton(AF_INET6, ip, &a->sin6_addr);
        a->sin6_port = htons(port);
    } else {
        auto *a = reinterpret_cast<sockaddr_in *>(storage);
        a->sin_family = AF_INET;
        inet_pton(AF_INET, ip, &a->sin_addr);
        a->sin_port = htons(port);
    }
}

class ActiveHosts : public testing::Test {
  protected:
    void SetUp() override { Toril_initialize_active_table(); }
    void TearDown() override {
        for (thread_Settings *s : records_) Settings_Destroy(s);
        Toril_destroy_active_table();
        // No reporter here: the group sums are freed by the test.
        for (SumReport *sum : sums_) FreeSumReport(sum);
    }
    thread_Settings *stream(const char *peer_ip, uint16_t peer_port, const char *local_ip = "",
                            uint32_t extra_flags = 0) {
        thread_Settings *s = new_settings();
        set_address(&s->peer, peer_ip, peer_port);
        if (*local_ip) set_address(&s->local, local_ip, 5001);
        s->extra_flags |= extra_flags;
        s->thread_mode = kMode_Server;
        records_.push_back(s);
        return s;
    }
    void keep_sum(SumReport *sum) {
        if (sum && std::find(sums_.begin(), sums_.end(), sum) == sums_.end()) sums_.push_back(sum);
    }
    int ref_count_of(const thread_Settings *s) {
        for (const ActiveHost *node = active_table.root; node; node = node->next)
            if (node->sum_report == s->sum_report) return node->ref_count;
        return 0;
    }
    std::vector<thread_Settings *> records_;
    std::vector<SumReport *> sums_;
};

TEST_F(ActiveHosts, StreamsOfOneHostShareOneGroupWhateverTheirPorts) {
    thread_Settings *a1 = stream("127.0.0.1", 40001);
    thread_Settings *a2 = stream("127.0.0.1", 40002);
    thread_Settings *b = stream("127.0.0.2", 40001);
    thread_Settings *c = stream("::1", 40001);
    EXPECT_EQ(Toril_push_host(a1), 1);
    EXPECT_EQ(Toril_push_host(a2), 1);
    EXPECT_EQ(Toril_push_host(b), 2);
    EXPECT_EQ(Toril_push_host(c), 3);
    for (auto *s : {a1, b, c}) keep_sum(s->sum_report);
    ASSERT_NE(a1->sum_report, nullptr);
    EXPECT_EQ(a1->sum_report, a2->sum_report);
    EXPECT_NE(a1->sum_report, b->sum_report);
    EXPECT_NE(b->sum_report, c->sum_report);
    // Each group is numbered with the pushes made before it.
    EXPECT_EQ(a1->sum_report->info.sumID, 0);
    EXPECT_EQ(b->sum_report->info.sumID, 2);
    EXPECT_EQ(c->sum_report->info.sumID, 3);
    EXPECT_EQ(active_table.count, 3);
    EXPECT_EQ(active_table.pushes, 4);
    EXPECT_EQ(active_table.created, 3);
    EXPECT_EQ(ref_count_of(a1), 2);
    EXPECT_EQ(ref_count_of(b), 1);
}

TEST_F(ActiveHosts, NodeGoesWithItsLastReference) {
    thread_Settings *a1 = stream("10.1.1.1", 40001);
    thread_Settings *a2 = stream("10.1.1.1", 40002);
    Toril_push_host(a1);
    Toril_push_host(a2);
    Toril_remove_host(a2);
    EXPECT_EQ(ref_count_of(a1), 1);
    EXPECT_EQ(active_table.count, 1);
    Toril_remove_host(a1);
    EXPECT_EQ(active_table.count, 0);
    EXPECT_EQ(active_table.root, nullptr);
    // No member ever reported on the group: its sum went with the node.
    EXPECT_EQ(a1->sum_report, nullptr);
    Toril_remove_host(a1);  // no longer there: ignored
    EXPECT_EQ(active_table.count, 0);
    // The next stream of that host opens a new group.
    thread_Settings *a3 = stream("10.1.1.1", 40003);
    EXPECT_EQ(Toril_push_host(a3), 2);
    keep_sum(a3->sum_report);
    EXPECT_NE(a3->sum_report, nullptr);
}

TEST_F(ActiveHosts, PortConditionalRefusesTheSameAddressAndPort) {
    thread_Settings *first = stream("127.0.0.1", 40001);
    thread_Settings *again = stream("127.0.0.1", 40001);
    thread_Settings *other_port = stream("127.0.0.1", 40002);
    EXPECT_EQ(Toril_push_host_port_conditional(first), 1);
    keep_sum(first->sum_report);
    EXPECT_EQ(Toril_push_host_port_conditional(again), -1);
    EXPECT_EQ(again->sum_report, nullptr);
    EXPECT_EQ(ref_count_of(first), 1);
    EXPECT_EQ(active_table.pushes, 1);
    EXPECT_EQ(Toril_push_host_port_conditional(other_port), 1);
    EXPECT_EQ(other_port->sum_report, first->sum_report);
    EXPECT_EQ(ref_count_of(first), 2);
}

TEST_F(ActiveHosts, SumByDestinationKeysOnTheLocalAddress) {
    thread_Settings *x = stream("127.0.0.1", 40001, "127.0.0.5", EXT_SUM_DSTIP);
    thread_Settings *y = stream("127.0.0.9", 40002, "127.0.0.5", EXT_SUM_DSTIP);
    thread_Settings *z = stream("127.0.0.1", 40003, "127.0.0.6", EXT_SUM_DSTIP);
    Toril_push_host(x);
    Toril_push_host(y);
    Toril_push_host(z);
    keep_sum(x->sum_report);
    keep_sum(z->sum_report);
    EXPECT_EQ(x->sum_report, y->sum_report);  // other peers, same local address
    EXPECT_NE(x->sum_report, z->sum_report);  // same peer, other local address
    EXPECT_EQ(active_table.created, 2);
}

TEST_F(ActiveHosts, ConcurrentPushesAndRemovesKeepTheCounts) {
    constexpr int kThreads = 4, kRounds = 200;
    std::vector<thread_Settings *> mine;
    for (int i = 0; i < kThreads; ++i) mine.push_back(stream("127.0.0.1", 40000 + i));
    Toril_push_host(mine[0]);  // holds the node for the whole test
    keep_sum(mine[0]->sum_report);
    std::vector<std::thread> threads;
    for (int i = 1; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            for (int r = 0; r < kRounds; ++r) {
                Toril_push_host(mine[i]);
                Toril_remove_host(mine[i]);
            }
        });
    }
    for (auto &t : threads) t.join();
    EXPECT_EQ(ref_count_of(mine[0]), 1);
    EXPECT_EQ(active_table.count, 1);
    EXPECT_EQ(active_table.created, 1);
    EXPECT_EQ(active_table.pushes, 1 + (kThreads - 1) * kRounds);
}

// --- Start lists ---

// The global record as main builds it from a command line.
thread_Settings *parse(std::vector<std::string> args) {
    args.insert(args.begin(), "toril");
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    auto *settings = new thread_Settings;
    Settings_Initialize(settings);
    Settings_ParseCommandLine(static_cast<int>(args.size()), argv.data(), settings);
    Settings_AllocateBuffer(settings);
    settings->option_flags &= ~OPT_REPORT_SETTINGS;
    return settings;
}

std::vector<thread_Settings *> chain_of(thread_Settings *head) {
    std::vector<thread_Settings *> out;
    for (; head; head = head->run_next) out.push_back(head);
    return out;
}

void destroy_chain(thread_Settings *head) {
    while (head) {
        thread_Settings *next = head->run_next;
        Settings_Destroy(head);
        head = next;
    }
}

// What one record of a start list must look like.
struct Link {
    ThreadMode mode;
    uint16_t port;
    int srcport_index;
    int dstip_index;
    bool reports_settings;
};

struct StartListCase {
    const char *name;
    std::vector<std::string> args;
    std::vector<Link> chain;
};

class ClientStartList : public testing::TestWithParam<StartListCase> {};

TEST_P(ClientStartList, RecordsFollowTheOptions) {
    const StartListCase &c = GetParam();
    thread_Settings *global = parse(c.args);
    client_init(global);
    const auto chain = chain_of(global);
    ASSERT_EQ(chain.size(), c.chain.size());
    for (size_t i = 0; i < chain.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(chain[i]->thread_mode, c.chain[i].mode);
        EXPECT_EQ(chain[i]->port, c.chain[i].port);
        EXPECT_EQ(chain[i]->srcport_index, c.chain[i].srcport_index);
        EXPECT_EQ(chain[i]->dstip_index, c.chain[i].dstip_index);
        EXPECT_EQ((chain[i]->option_flags & OPT_REPORT_SETTINGS) != 0, c.chain[i].reports_settings);
        EXPECT_EQ(chain[i]->thread_id, pthread_t());
        if (i > 0) {
            EXPECT_NE(chain[i]->host, chain[0]->host);  // deep copies own their texts
        }
    }
    destroy_chain(global);
}

constexpr ThreadMode kC = kMode_Client;
constexpr ThreadMode kL = kMode_Listener;

const StartListCase kStartLists[] = {
    {"single", {"-c", "127.0.0.1"}, {{kC, 5001, 0, 0, true}}},
    {"three_streams",
     {"-c", "127.0.0.1", "-P", "3"},
     {{kC, 5001, 0, 0, true}, {kC, 5001, 0, 0, false}, {kC, 5001, 0, 0, false}}},
    {"dual_test_adds_its_listener",
     {"-c", "127.0.0.1", "-d"},
     {{kC, 5001, 0, 0, true}, {kL, 5001, 0, 0, true}}},
    {"incr_dstport",
     {"-c", "127.0.0.1", "-P", "3", "--incr-dstport"},
     {{kC, 5001, 0, 0, true}, {kC, 5002, 0, 0, false}, {kC, 5003, 0, 0, false}}},
    {"incr_dstip",
     {"-c", "127.0.0.1", "-P", "2", "--incr-dstip"},
     {{kC, 5001, 0, 0, true}, {kC, 5001, 0, 1, false}}},
    {"bound_source_port",
     {"-c", "127.0.0.1", "-P", "3", "-B", "127.0.0.1:6000"},
     {{kC, 5001, 0, 0, true}, {kC, 5001, 1, 0, false}, {kC, 5001, 2, 0, false}}},
    {"incr_dstport_keeps_the_source_port",
     {"-c", "127.0.0.1", "-P", "2", "-B", "127.0.0.1:6000", "--incr-dstport"},
     {{kC, 5001, 0, 0, true}, {kC, 5002, 0, 0, false}}},
    {"explicit_incr_srcport",
     {"-c", "127.0.0.1", "-P", "2", "-B", "127.0.0.1:6000", "--incr-dstport", "--incr-srcport"},
     {{kC, 5001, 0, 0, true}, {kC, 5002, 1, 0, false}}},
};

std::string start_list_name(const testing::TestParamInfo<StartListCase> &param_info) {
    return param_info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Cases, ClientStartList, testing::ValuesIn(kStartLists), start_list_name);

TEST(ClientStartListCopies, IncrementedDestinationsAreResolvedAgain) {
    thread_Settings *global = parse({"-c", "127.0.0.1", "-P", "2", "--incr-dstip"});
    global->peer.ss_family = AF_INET;  // as if already resolved
    client_init(global);
    ASSERT_NE(global->run_next, nullptr);
    EXPECT_EQ(global->run_next->peer.ss_family, 0);
    destroy_chain(global);
}

TEST(ListenerStartList, PortRangeGetsOneListenerPerPort) {
    thread_Settings *global = parse({"-s", "-p", "5001-5003"});
    ASSERT_EQ(global->port, 5001);
    ASSERT_EQ(global->port_last, 5003);
    listeners_init(global);
    const auto chain = chain_of(global);
    ASSERT_EQ(chain.size(), 3u);
    for (size_t i = 0; i < chain.size(); ++i) {
        EXPECT_EQ(chain[i]->thread_mode, kMode_Listener);
        EXPECT_EQ(chain[i]->port, 5001 + i);
        // Only the first listener prints the settings.
        EXPECT_EQ((chain[i]->option_flags & OPT_NO_SETTINGS_REPORT) != 0, i > 0);
    }
    destroy_chain(global);
}

TEST(ListenerStartList, SinglePortGetsNoCopies) {
    thread_Settings *global = parse({"-s", "-p", "5001"});
    listeners_init(global);
    EXPECT_EQ(global->run_next, nullptr);
    destroy_chain(global);
}

// --- The whole start with stand-in role bodies ---

std::mutex started_mutex;
std::vector<std::string> started;  // "<role>:<port>" in the order bodies began

void note(const char *role, const thread_Settings *record) {
    std::lock_guard<std::mutex> lock(started_mutex);
    started.push_back(std::string(role) + ":" + std::to_string(record->port));
}

// Behaves towards the launch code as the reporter does: waits for the start
// signal, says it is ready, ends when it is the last thread.
void stand_in_reporter(thread_Settings *record) {
    note("reporter", record);
    ready_flag_wait(&threads_start);
    ready_flag_set(&reporter_state);
    while (thread_numuserthreads() > 1) std::this_thread::sleep_for(1ms);
}

void stand_in_client(thread_Settings *record) {
    ready_flag_wait(&reporter_state);  // as client_spawn does
    note("client", record);
}

void stand_in_listener(thread_Settings *record) {
    note("listener", record);
}

class LaunchRun : public testing::Test {
  protected:
    void SetUp() override {
        saved_ = launch_roles;
        launch_roles = {stand_in_client, nullptr, stand_in_listener, stand_in_reporter};
        started.clear();
        launch_init();
    }
    void TearDown() override { launch_roles = saved_; }
    // Runs the start on a helper thread with a bound; false when it hangs.
    bool run(thread_Settings *global, ThreadMode reporter_mode) {
        std::atomic<bool> done{false};
        std::thread runner([&] {
            launch_run(global, reporter_mode);
            done = true;
        });
        for (int i = 0; i < 5000 && !done; ++i) std::this_thread::sleep_for(1ms);
        if (!done) {
            runner.detach();
            return false;
        }
        runner.join();
        return true;
    }
    LaunchRoles saved_;
};

TEST_F(LaunchRun, ReporterFirstThenEveryClientOfTheList) {
    thread_Settings *global = parse({"-c", "127.0.0.1", "-P", "3", "--incr-dstport"});
    const ThreadMode mode = launch_prepare_client(global);
    EXPECT_EQ(mode, kMode_ReporterClient);
    EXPECT_EQ(transmits_start.count, 3);
    EXPECT_EQ(global->transmit_barrier, &transmits_start);
    ASSERT_TRUE(run(global, mode));
    ASSERT_EQ(started.size(), 4u);
    EXPECT_EQ(started[0], "reporter:5001");
    std::vector<std::string> clients(started.begin() + 1, started.end());
    std::sort(clients.begin(), clients.end());
    EXPECT_EQ(clients, (std::vector<std::string>{"client:5001", "client:5002", "client:5003"}));
    EXPECT_EQ(threads_start.ready, 1);
    EXPECT_EQ(reporter_state.ready, 1);
    EXPECT_EQ(thread_numuserthreads(), 0);
}

TEST_F(LaunchRun, PortRangeStartsOneListenerPerPort) {
    thread_Settings *global = parse({"-s", "-p", "6001-6003"});
    const ThreadMode mode = launch_prepare_listener(global);
    EXPECT_EQ(mode, kMode_ReporterServer);
    ASSERT_TRUE(run(global, mode));
    // Listeners do not wait for the reporter, so only the set is fixed.
    std::sort(started.begin(), started.end());
    EXPECT_EQ(started, (std::vector<std::string>{"listener:6001", "listener:6002", "listener:6003",
                                                 "reporter:6001"}));
    EXPECT_EQ(thread_numuserthreads(), 0);
}

TEST_F(LaunchRun, RoleWithoutBodySaysSoAndEnds) {
    thread_Settings *record = new_settings();
    record->thread_mode = kMode_Server;
    testing::internal::CaptureStderr();
    launch_dispatch(record, ThreadRole::kServer);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "toril: the server role is not available in this build\n");
    Settings_Destroy(record);
}

struct AvailableCase {
    const char *name;
    std::vector<std::string> args;
    LaunchRoles roles;
    bool available;
};

void body(thread_Settings *) {}

class RoleAvailability : public testing::TestWithParam<AvailableCase> {};

TEST_P(RoleAvailability, NeedsEveryBodyOfTheStartList) {
    const AvailableCase &c = GetParam();
    const LaunchRoles saved = launch_roles;
    launch_roles = c.roles;
    thread_Settings *global = parse(c.args);
    EXPECT_EQ(launch_role_available(global), c.available);
    Settings_Destroy(global);
    launch_roles = saved;
}

const AvailableCase kAvailability[] = {
    {"client_complete", {"-c", "127.0.0.1"}, {body, nullptr, nullptr, body}, true},
    {"client_without_reporter", {"-c", "127.0.0.1"}, {body, body, body, nullptr}, false},
    {"reverse_needs_server", {"-c", "127.0.0.1", "-R"}, {body, nullptr, nullptr, body}, false},
    {"dual_needs_listener", {"-c", "127.0.0.1", "-d"}, {body, body, nullptr, body}, false},
    {"server_complete", {"-s"}, {body, body, body, body}, true},
    {"server_without_server_body", {"-s"}, {body, nullptr, body, body}, false},
};

std::string availability_name(const testing::TestParamInfo<AvailableCase> &param_info) {
    return param_info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Cases, RoleAvailability, testing::ValuesIn(kAvailability),
                         availability_name);

}  // namespace
