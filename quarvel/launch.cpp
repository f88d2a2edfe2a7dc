// Start-up of quarvel's threads: the thread library's view of quarvel's
// records, the role dispatch and the client's start list.
#include "quarvel/launch.h"

#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <iterator>

#include "common/thread.h"

std::atomic<int> nflag_c{0};
std::atomic<int> SendUDP{0};
std::atomic<int> SendTCP{0};
int32_t groupID = 0;
pthread_mutex_t groupCond = PTHREAD_MUTEX_INITIALIZER;

namespace {

const RoleTable *roles = nullptr;

// Client streams running, and when the last one ended (monotonic ms).
std::atomic<int> streams_running{0};
std::atomic<int64_t> last_stream_end_ms{0};

// thread_mode values 0 to 4, in order.
constexpr ThreadRole kRoleOfMode[] = {ThreadRole::kUnknown, ThreadRole::kServer,
                                      ThreadRole::kClient, ThreadRole::kReporter,
                                      ThreadRole::kListener};

ThreadRole record_role(const thread_Settings *record) {
    const int32_t mode = record->thread_mode;
    const bool known = mode >= 0 && mode < static_cast<int32_t>(std::size(kRoleOfMode));
    return known ? kRoleOfMode[mode] : ThreadRole::kUnknown;
}

// Per ThreadRole, in its order: where the role's body sits in the table, and
// the name a user knows the role by.
struct RoleEntry {
    void (*RoleTable::*body)(thread_Settings *);
    const char *name;
};
constexpr RoleEntry kRoleEntries[] = {
    {nullptr, "unknown"},
    {&RoleTable::server_spawn, "server"},
    {&RoleTable::client_spawn, "client"},
    {&RoleTable::reporter_spawn, "reporter"},
    {&RoleTable::listener_spawn, "server"},
};
static_assert(static_cast<int>(ThreadRole::kServer) == 1 &&
                  static_cast<int>(ThreadRole::kListener) == 4,
              "kRoleEntries follows the order of ThreadRole");

void run_role(thread_Settings *record, ThreadRole role) {
    const RoleEntry &entry = kRoleEntries[static_cast<size_t>(role)];
    if (entry.body && roles->*entry.body) {
        (roles->*entry.body)(record);
        return;
    }
    // main checks the roles before it starts anything; this catches a role
    // that a running one starts on its own.
    fprintf(stderr, "quarvel: the %s role is not available in this build\n", entry.name);
}

// How the thread library sees quarvel's records.
const ThreadProgram kProgram = {
    /*variant=*/ToolVariant::kQuarvel,
    /*thread_id=*/[](thread_Settings *record) { return &record->thread_id; },
    /*run_next=*/[](thread_Settings *record) { return record ? record->run_next : nullptr; },
    /*run_after=*/[](thread_Settings *record) { return record->run_after; },
    /*role=*/record_role,
    /*run=*/run_role,
    /*destroy=*/Settings_Destroy,
    /*traffic_ended=*/nullptr,
    /*realtime=*/
    [](const thread_Settings *record) { return (record->option_flags & OPT_REALTIME) != 0; },
};

void cleanup() {
    if (roles->process_cleanup) roles->process_cleanup();
    thread_destroy();
}

bool two_way(const thread_Settings *client) {
    return client->test_mode != kTest_Normal && !(client->option_flags & OPT_COMPAT);
}

}  // namespace

void launch_init(const RoleTable *table) {
    roles = table;
    if (roles->process_init) roles->process_init();
    thread_set_program(&kProgram);
    thread_init();
    atexit(cleanup);
}

const char *launch_missing_role(const thread_Settings *global, const RoleTable &table) {
    const bool client = global->thread_mode == kMode_Client;
    if (client && !table.client_spawn) return "client";
    const bool needs_server = !client || two_way(global);
    if (needs_server && (!table.listener_spawn || !table.server_spawn)) return "server";
    if (!table.reporter_spawn || (client && !table.init_multi)) return "reporter";
    return nullptr;
}

GroupReport *group_create(thread_Settings *settings) {
    pthread_mutex_lock(&groupCond);
    --groupID;
    GroupReport *group =
        (roles && roles->init_multi) ? roles->init_multi(settings, groupID) : nullptr;
    pthread_mutex_unlock(&groupCond);
    return group;
}

void client_init(thread_Settings *client) {
    client->option_flags |= OPT_REPORT_SETTINGS;
    thread_Settings *listener = nullptr;
    Settings_GenerateListenerSettings(client, &listener);
    client->sum_report = group_create(client);
    thread_Settings *last = client;
    if (listener) {
        client->run_next = listener;
        last = listener;
    }
    for (int32_t i = 1; i < client->threads; ++i) {
        thread_Settings *copy = nullptr;
        Settings_Copy(client, &copy);
        copy->option_flags &= ~OPT_REPORT_SETTINGS;
        last->run_next = copy;
        last = copy;
    }
}

void client_stream_started() {
    streams_running.fetch_add(1);
}

void client_stream_ended() {
    // The end time first: a reader that sees no stream running reads it.
    last_stream_end_ms.store(launch_mono_ms());
    streams_running.fetch_sub(1);
}

int64_t client_streams_quiet_ms(int64_t since_ms) {
    if (streams_running.load() > 0) return 0;
    const int64_t from = std::max(since_ms, last_stream_end_ms.load());
    return std::max<int64_t>(launch_mono_ms() - from, 0);
}

int64_t launch_mono_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

thread_Settings *launch_reporter(thread_Settings *global) {
    thread_Settings *reporter = nullptr;
    Settings_Copy(global, &reporter);
    reporter->thread_mode = kMode_Reporter;
    reporter->run_next = global;
    return reporter;
}
