// Start-up of quarvel's threads: the thread library's view of quarvel's
// records, the role dispatch and the client's start list.
#include "quarvel/launch.h"

#include <cstdio>
#include <cstdlib>

#include "common/thread.h"

std::atomic<int> nflag_c{0};
std::atomic<int> SendUDP{0};
std::atomic<int> SendTCP{0};
int32_t groupID = 0;
pthread_mutex_t groupCond = PTHREAD_MUTEX_INITIALIZER;

namespace {

const RoleTable *roles = nullptr;

pthread_t *record_thread_id(thread_Settings *record) {
    return &record->thread_id;
}

thread_Settings *record_run_next(thread_Settings *record) {
    return record ? record->run_next : nullptr;
}

thread_Settings *record_run_after(thread_Settings *record) {
    return record->run_after;
}

ThreadRole record_role(const thread_Settings *record) {
    switch (record->thread_mode) {
        case kMode_Server:
            return ThreadRole::kServer;
        case kMode_Client:
            return ThreadRole::kClient;
        case kMode_Reporter:
            return ThreadRole::kReporter;
        case kMode_Listener:
            return ThreadRole::kListener;
        default:
            return ThreadRole::kUnknown;
    }
}

using Body = void (*)(thread_Settings *);

Body role_body(ThreadRole role) {
    switch (role) {
        case ThreadRole::kServer:
            return roles->server_spawn;
        case ThreadRole::kClient:
            return roles->client_spawn;
        case ThreadRole::kReporter:
            return roles->reporter_spawn;
        case ThreadRole::kListener:
            return roles->listener_spawn;
        case ThreadRole::kUnknown:
            break;
    }
    return nullptr;
}

const char *role_name(ThreadRole role) {
    switch (role) {
        case ThreadRole::kClient:
            return "client";
        case ThreadRole::kReporter:
            return "reporter";
        default:
            return "server";
    }
}

void run_role(thread_Settings *record, ThreadRole role) {
    if (Body body = role_body(role)) {
        body(record);
        return;
    }
    // main checks the roles before it starts anything; this catches a role
    // that a running one starts on its own.
    fprintf(stderr, "quarvel: the %s role is not available in this build\n", role_name(role));
}

bool wants_realtime(const thread_Settings *record) {
    return (record->option_flags & OPT_REALTIME) != 0;
}

const ThreadProgram kProgram = {
    /*variant=*/ToolVariant::kQuarvel,
    /*thread_id=*/record_thread_id,
    /*run_next=*/record_run_next,
    /*run_after=*/record_run_after,
    /*role=*/record_role,
    /*run=*/run_role,
    /*destroy=*/Settings_Destroy,
    /*traffic_ended=*/nullptr,
    /*realtime=*/wants_realtime,
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

thread_Settings *launch_reporter(thread_Settings *global) {
    thread_Settings *reporter = nullptr;
    Settings_Copy(global, &reporter);
    reporter->thread_mode = kMode_Reporter;
    reporter->run_next = global;
    return reporter;
}
