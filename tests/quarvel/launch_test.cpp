// Thread start-up of quarvel: which roles a run needs, the client's start list,
// and the whole chain started through the thread library with stand-in roles.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "common/thread.h"
#include "quarvel/launch.h"
#include "quarvel/roles.h"
#include "tests/quarvel/record_support.h"

namespace {

using quarveltest::parse;
using quarveltest::Record;

void no_body(thread_Settings *) {}

GroupReport *no_group(thread_Settings *, int32_t) {
    return nullptr;
}

const RoleTable kAllRoles = {no_body, no_body, no_body, no_body, no_group, nullptr, nullptr};

RoleTable without(void (*RoleTable::*body)(thread_Settings *)) {
    RoleTable table = kAllRoles;
    table.*body = nullptr;
    return table;
}

struct MissingCase {
    const char *name;
    std::vector<std::string> args;
    RoleTable table;
    const char *missing;  // nullptr: nothing missing
};

class MissingRole : public testing::TestWithParam<MissingCase> {};

TEST_P(MissingRole, NamesTheFirstRoleTheRunNeeds) {
    Record r;
    parse(GetParam().args, r.s);
    const char *missing = launch_missing_role(r.s, GetParam().table);
    if (!GetParam().missing) {
        EXPECT_EQ(missing, nullptr);
    } else {
        ASSERT_NE(missing, nullptr);
        EXPECT_STREQ(missing, GetParam().missing);
    }
}

RoleTable without_multi() {
    RoleTable table = kAllRoles;
    table.init_multi = nullptr;
    return table;
}

const RoleTable kNoRoles = {};

const MissingCase kMissingCases[] = {
    {"nothing_built_client", {"-c", "127.0.0.1"}, kNoRoles, "client"},
    {"nothing_built_server", {"-s"}, kNoRoles, "server"},
    {"nothing_built_nat_server", {"-e", "198.51.100.7"}, kNoRoles, "server"},
    {"nothing_built_nat_client", {"-E"}, kNoRoles, "client"},
    {"all_built_client", {"-c", "127.0.0.1"}, kAllRoles, nullptr},
    {"all_built_server", {"-s"}, kAllRoles, nullptr},
    {"client_without_reporter",
     {"-c", "127.0.0.1"},
     without(&RoleTable::reporter_spawn),
     "reporter"},
    {"client_without_group_reports", {"-c", "127.0.0.1"}, without_multi(), "reporter"},
    {"server_without_group_reports_is_fine", {"-s"}, without_multi(), nullptr},
    {"server_without_server_threads", {"-s"}, without(&RoleTable::server_spawn), "server"},
    {"one_way_client_needs_no_listener",
     {"-c", "127.0.0.1"},
     without(&RoleTable::listener_spawn),
     nullptr},
    {"dual_client_needs_its_listener",
     {"-c", "127.0.0.1", "--dualtest"},
     without(&RoleTable::listener_spawn),
     "server"},
    {"tradeoff_client_needs_the_server_threads",
     {"-c", "127.0.0.1", "-r"},
     without(&RoleTable::server_spawn),
     "server"},
    {"compat_tradeoff_has_no_listener",
     {"-c", "127.0.0.1", "-r", "-C"},
     without(&RoleTable::listener_spawn),
     nullptr},
    {"server_without_client_body_is_fine", {"-s"}, without(&RoleTable::client_spawn), nullptr},
};
std::string name_of(const testing::TestParamInfo<MissingCase> &param_info) {
    return param_info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Cases, MissingRole, testing::ValuesIn(kMissingCases), name_of);

// Stand-in roles that note what ran; the tests below share them.
struct Seen {
    std::mutex mutex;
    std::vector<ThreadMode> modes;
    std::vector<int32_t> group_ids;
};
Seen seen;

char group_marker;

void note(thread_Settings *s) {
    std::lock_guard<std::mutex> lock(seen.mutex);
    seen.modes.push_back(s->thread_mode);
}

GroupReport *note_group(thread_Settings *, int32_t group_id) {
    std::lock_guard<std::mutex> lock(seen.mutex);
    seen.group_ids.push_back(group_id);
    return reinterpret_cast<GroupReport *>(&group_marker);
}

RoleTable stand_ins = {note, note, note, note, note_group, nullptr, nullptr};

class Launch : public testing::Test {
  protected:
    static void SetUpTestSuite() { launch_init(&stand_ins); }
    void SetUp() override {
        std::lock_guard<std::mutex> lock(seen.mutex);
        seen.modes.clear();
        seen.group_ids.clear();
    }
};

// Frees a start list that was built but not started.
void destroy_chain(thread_Settings *s) {
    while (s) {
        thread_Settings *next = s->run_next;
        Settings_Destroy(s);
        s = next;
    }
}

TEST_F(Launch, ClientStartListHoldsItsListenerThenTheParallelStreams) {
    auto *client = new thread_Settings;
    Settings_Initialize(client);
    parse({"-c", "127.0.0.1", "-P", "3", "--dualtest", "-L", "6010"}, client);
    const int32_t before = groupID;
    client_init(client);

    EXPECT_EQ(groupID, before - 1);
    ASSERT_EQ(seen.group_ids.size(), 1u);
    EXPECT_EQ(seen.group_ids[0], before - 1);
    EXPECT_TRUE(client->option_flags & OPT_REPORT_SETTINGS);
    EXPECT_EQ(client->sum_report, reinterpret_cast<GroupReport *>(&group_marker));

    thread_Settings *listener = client->run_next;
    ASSERT_NE(listener, nullptr);
    EXPECT_EQ(listener->thread_mode, kMode_Listener);
    EXPECT_EQ(listener->port, 6010);
    EXPECT_EQ(listener->sum_report, nullptr);

    std::vector<thread_Settings *> streams;
    for (thread_Settings *s = listener->run_next; s; s = s->run_next) streams.push_back(s);
    ASSERT_EQ(streams.size(), 2u);
    for (thread_Settings *s : streams) {
        EXPECT_EQ(s->thread_mode, kMode_Client);
        EXPECT_FALSE(s->option_flags & OPT_REPORT_SETTINGS);
        EXPECT_EQ(s->sum_report, client->sum_report);
        EXPECT_NE(s->host, client->host);
        EXPECT_STREQ(s->host, "127.0.0.1");
    }
    destroy_chain(client);
}

TEST_F(Launch, GroupNumbersCountDown) {
    Record a;
    Record b;
    parse({"-c", "127.0.0.1"}, a.s);
    parse({"-c", "127.0.0.1"}, b.s);
    client_init(a.s);
    client_init(b.s);
    ASSERT_EQ(seen.group_ids.size(), 2u);
    EXPECT_EQ(seen.group_ids[1], seen.group_ids[0] - 1);
    EXPECT_LT(seen.group_ids[0], 0);
}

TEST_F(Launch, SingleStreamClientChainsNothing) {
    Record r;
    parse({"-c", "127.0.0.1", "-r", "-C"}, r.s);
    client_init(r.s);
    EXPECT_EQ(r.s->run_next, nullptr);
}

TEST_F(Launch, ReporterCopyLeadsTheChain) {
    Record r;
    parse({"-s", "-p", "6001"}, r.s);
    thread_Settings *reporter = launch_reporter(r.s);
    EXPECT_EQ(reporter->thread_mode, kMode_Reporter);
    EXPECT_EQ(reporter->run_next, r.s);
    EXPECT_EQ(reporter->port, 6001);
    EXPECT_EQ(reporter->thread_id, pthread_t());
    Settings_Destroy(reporter);
}

// main's step 7 with stand-in roles: every record of the chain runs its role
// on a thread of its own, and the join returns when all have ended.
TEST_F(Launch, WholeChainRunsThroughTheThreadLibrary) {
    auto *global = new thread_Settings;
    Settings_Initialize(global);
    parse({"-c", "127.0.0.1", "-P", "3", "--dualtest"}, global);
    client_init(global);
    thread_start(launch_reporter(global));
    thread_joinall();

    std::lock_guard<std::mutex> lock(seen.mutex);
    int reporters = 0;
    int clients = 0;
    int listeners = 0;
    for (ThreadMode mode : seen.modes) {
        reporters += mode == kMode_Reporter;
        clients += mode == kMode_Client;
        listeners += mode == kMode_Listener;
    }
    EXPECT_EQ(reporters, 1);
    EXPECT_EQ(clients, 3);
    EXPECT_EQ(listeners, 1);
    EXPECT_EQ(seen.modes.size(), 5u);
}

TEST_F(Launch, RoleMissingAtRunTimeIsNamed) {
    stand_ins.server_spawn = nullptr;
    auto *server = new thread_Settings;
    Settings_Initialize(server);
    server->thread_mode = kMode_Server;
    testing::internal::CaptureStderr();
    thread_start(server);
    thread_joinall();
    const std::string err = testing::internal::GetCapturedStderr();
    stand_ins.server_spawn = note;
    EXPECT_EQ(err, "quarvel: the server role is not available in this build\n");
    std::lock_guard<std::mutex> lock(seen.mutex);
    EXPECT_TRUE(seen.modes.empty());
}

// Modes outside 0 to 4 are no thread type: the library warns and stops the thread.
TEST_F(Launch, UnknownThreadModeIsRefused) {
    for (int32_t mode : {-1, 5, 7}) {
        auto *record = new thread_Settings;
        Settings_Initialize(record);
        record->thread_mode = static_cast<ThreadMode>(mode);
        testing::internal::CaptureStderr();
        thread_start(record);
        thread_joinall();
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "Unknown Thread Type!\n failed\n")
            << mode;
    }
    std::lock_guard<std::mutex> lock(seen.mutex);
    EXPECT_TRUE(seen.modes.empty());
}

}  // namespace
