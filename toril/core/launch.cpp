// The process-wide launch objects, the start lists and the start of the chain.
#include "toril/core/launch.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/signals.h"
#include "common/sockaddr.h"
#include "toril/core/active_hosts.h"
#include "toril/core/sockaddr_settings.h"
#include "toril/reporting/report.h"

ReadyFlag reporter_state = {PTHREAD_COND_INITIALIZER, PTHREAD_MUTEX_INITIALIZER, 0};
ReadyFlag threads_start = {PTHREAD_COND_INITIALIZER, PTHREAD_MUTEX_INITIALIZER, 0};
BarrierMutex transmits_start = {PTHREAD_COND_INITIALIZER, PTHREAD_MUTEX_INITIALIZER, 0, 0, 0, 0, 0};

namespace {

pthread_t *record_thread_id(thread_Settings *record) {
    return &record->thread_id;
}

thread_Settings *record_run_next(thread_Settings *record) {
    return record->run_next;
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
        case kMode_ReporterServer:
        case kMode_ReporterClient:
            return ThreadRole::kReporter;
        case kMode_Listener:
            return ThreadRole::kListener;
        default:
            return ThreadRole::kUnknown;
    }
}

// A server or client thread has ended: the reporter may have its last report
// to finish, or may be the last thread left. Taking the mutex means a
// reporter that just counted the threads is already waiting when we signal.
void wake_reporter() {
    pthread_mutex_lock(&ReportCond.mutex);
    pthread_cond_signal(&ReportCond.await);
    pthread_mutex_unlock(&ReportCond.mutex);
}

bool record_realtime(const thread_Settings *record) {
    return (record->option_flags & OPT_REALTIME) != 0;
}

void append(thread_Settings *head, thread_Settings *record) {
    while (head->run_next) head = head->run_next;
    head->run_next = record;
}

void clear_peer(thread_Settings *record) {
    memset(&record->peer, 0, sizeof record->peer);
    record->peer_len = 0;
}

bool is_dual(const thread_Settings *record) {
    return record->test_mode == kTest_DualTest || record->test_mode == kTest_TradeOff;
}

// The parallel copy number i of the global record.
thread_Settings *parallel_copy(const thread_Settings *global, int i) {
    thread_Settings *copy = nullptr;
    Settings_Copy(global, &copy, true);
    const uint32_t incr = TEST_INCR_DSTPORT | TEST_INCR_DSTIP | TEST_INCR_SRCIP;
    if ((copy->test_flags & TEST_INCR_SRCIP) && copy->local_host) copy->srcip_index = i;
    if (copy->test_flags & TEST_INCR_DSTIP) {
        copy->dstip_index = i;
        clear_peer(copy);  // resolved again, incremented, at connect
    }
    // An explicit --incr-srcport applies whatever else is incremented.
    if (copy->bind_port && (!(copy->test_flags & incr) || (copy->extra_flags & EXT_INCR_SRCPORT))) {
        copy->srcport_index = i;
    }
    if (copy->test_flags & TEST_INCR_DSTPORT) {
        copy->port = static_cast<uint16_t>(copy->port + i);
        clear_peer(copy);
    }
    return copy;
}

// One load stream beside a bounceback test, in the congestion direction.
thread_Settings *congestion_copy(const thread_Settings *global) {
    thread_Settings *copy = nullptr;
    Settings_Copy(global, &copy, true);
    copy->extra_flags &= ~(EXT_BOUNCEBACK | EXT_BURST);
    copy->test_flags &= ~TEST_TXDELAY;
    copy->tos = 0;
    const bool up = (global->extra_flags & EXT_BB_CONGEST_UP) != 0;
    const bool down = (global->extra_flags & EXT_BB_CONGEST_DOWN) != 0;
    if (up && down) {
        copy->test_flags |= TEST_FULL_DUPLEX;
    } else if (down) {
        copy->test_flags |= TEST_REVERSE;
    }
    // A held-back bounceback stream starts later: the load outlasts it.
    if ((copy->option_flags & OPT_TIME_MODE) && (copy->txdelay_sec || copy->txdelay_usec)) {
        const int64_t delay = copy->txdelay_sec * 100 + copy->txdelay_usec / 10000;
        if (delay > 0) copy->amount += static_cast<uint64_t>(delay);
    }
    return copy;
}

const char *role_text(ThreadRole role) {
    switch (role) {
        case ThreadRole::kClient:
            return "client role";
        case ThreadRole::kReporter:
            return "reporter";
        default:
            return "server role";
    }
}

bool cleanup_registered = false;

// Binds a probe socket of the listener's kind to its local address and port
// (port 0: one of the system's choosing). Without address reuse, so a port
// that any other socket holds counts as taken. The bound port, or 0.
uint16_t probe_bind(thread_Settings *listener, uint16_t port) {
    SockAddr_localAddr(listener);
    SockAddr_setPort(&listener->local, port);
    const int type = (listener->option_flags & OPT_UDP) ? SOCK_DGRAM : SOCK_STREAM;
    const int fd = socket(listener->local.ss_family, type, 0);
    if (fd < 0) return 0;
    uint16_t bound = 0;
    if (bind(fd, reinterpret_cast<const sockaddr *>(&listener->local), listener->local_len) == 0) {
        sockaddr_storage local{};
        socklen_t len = sizeof(local);
        if (getsockname(fd, reinterpret_cast<sockaddr *>(&local), &len) == 0)
            bound = SockAddr_getPort(&local);
    }
    close(fd);
    return bound;
}

// The connection back of a dual or tradeoff test comes to the test's own
// port unless -L names one. When that port is taken here (the server runs on
// this host, as in a loopback test), the listener takes a free port instead
// and the test header, which carries listen_port, tells the server which.
void choose_listen_port(thread_Settings *global, thread_Settings *listener) {
    // One port, not a range up to the test's port.
    listener->port_last = listener->port;
    if (global->listen_port != 0) return;
    if (probe_bind(listener, listener->port) != 0) return;
    const uint16_t port = probe_bind(listener, 0);
    if (port == 0) return;  // the listener's own bind will say why
    listener->port = port;
    listener->port_last = port;
    global->listen_port = port;
}

}  // namespace

const ThreadProgram launch_thread_program = [] {
    ThreadProgram p;
    p.variant = ToolVariant::kToril;
    p.thread_id = record_thread_id;
    p.run_next = record_run_next;
    p.run_after = record_run_after;
    p.role = record_role;
    p.run = launch_dispatch;
    p.destroy = Settings_Destroy;
    p.traffic_ended = wake_reporter;
    p.realtime = record_realtime;
    return p;
}();

void ready_flag_set(ReadyFlag *flag) {
    pthread_mutex_lock(&flag->mutex);
    flag->ready = 1;
    pthread_cond_broadcast(&flag->await);
    pthread_mutex_unlock(&flag->mutex);
}

void ready_flag_wait(ReadyFlag *flag) {
    pthread_mutex_lock(&flag->mutex);
    while (!flag->ready) {
        timespec deadline;
        clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_sec += 1;
        pthread_cond_timedwait(&flag->await, &flag->mutex, &deadline);
    }
    pthread_mutex_unlock(&flag->mutex);
}

void launch_dispatch(thread_Settings *record, ThreadRole role) {
    void (*body)(thread_Settings *) = nullptr;
    switch (role) {
        case ThreadRole::kClient:
            body = launch_roles.client;
            break;
        case ThreadRole::kServer:
            body = launch_roles.server;
            break;
        case ThreadRole::kListener:
            body = launch_roles.listener;
            break;
        case ThreadRole::kReporter:
            body = launch_roles.reporter;
            break;
        case ThreadRole::kUnknown:
            break;
    }
    if (body) {
        body(record);
    } else {
        fprintf(stderr, "toril: the %s is not available in this build\n", role_text(role));
    }
}

void launch_init() {
    Toril_initialize_active_table();
    reporter_state.ready = 0;
    threads_start.ready = 0;
    transmits_start.count = 0;
    transmits_start.release_time_sec = 0;
    transmits_start.release_time_usec = 0;
    thread_set_program(&launch_thread_program);
    thread_init();
    sThread = pthread_t();
    if (!cleanup_registered) atexit(cleanup);
    cleanup_registered = true;
}

void cleanup() {
    Toril_destroy_active_table();
}

bool launch_role_available(const thread_Settings *global) {
    if (!launch_roles.reporter) return false;
    if (global->thread_mode == kMode_Client) {
        if (!launch_roles.client) return false;
        // The receiving half of reverse and full-duplex streams is a server,
        // and a dual or tradeoff test listens for the connection back.
        const bool receives = (global->test_flags & (TEST_REVERSE | TEST_FULL_DUPLEX)) ||
                              ((global->extra_flags & EXT_BOUNCEBACK) &&
                               (global->extra_flags & EXT_BB_CONGEST_DOWN)) ||
                              is_dual(global);
        if (receives && !launch_roles.server) return false;
        return !is_dual(global) || launch_roles.listener;
    }
    // A listener starts servers, and the sending records of reverse, full
    // duplex and dual tests are clients.
    return launch_roles.listener && launch_roles.server && launch_roles.client;
}

ThreadMode launch_prepare_client(thread_Settings *global) {
    transmits_start.count = global->threads;
    global->transmit_barrier = &transmits_start;
    client_init(global);
    return kMode_ReporterClient;
}

ThreadMode launch_prepare_listener(thread_Settings *global) {
    if (global->option_flags & OPT_DAEMON) {
        fprintf(stderr, "Running Toril Server as a daemon\n");
        fflush(nullptr);
        if (daemon(1, 0) != 0) perror("daemon");
    }
    if (global->port < global->port_last) listeners_init(global);
    return kMode_ReporterServer;
}

void launch_run(thread_Settings *global, ThreadMode reporter_mode) {
    thread_Settings *reporter = nullptr;
    Settings_Copy(global, &reporter, true);
    reporter->thread_mode = reporter_mode;
    reporter->run_next = global;
    reporter->sum_report = nullptr;
    reporter->fullduplex_report = nullptr;
    thread_start_all(reporter);
    ready_flag_set(&threads_start);
    thread_joinall();
}

void client_init(thread_Settings *global) {
    global->option_flags |= OPT_REPORT_SETTINGS;
    thread_Settings *listener = nullptr;
    Settings_GenerateListenerSettings(global, &listener);
    if (listener) {
        choose_listen_port(global, listener);
        global->run_next = listener;
    }
    for (int i = 1; i < global->threads; ++i) append(global, parallel_copy(global, i));
    const bool bounceback = (global->extra_flags & EXT_BOUNCEBACK) != 0;
    const bool congest = (global->extra_flags & (EXT_BB_CONGEST_UP | EXT_BB_CONGEST_DOWN)) != 0;
    if (bounceback && congest) {
        const int streams = std::max(global->bb_congest_streams, 1);
        for (int i = 0; i < streams; ++i) append(global, congestion_copy(global));
        if (global->bb_congest_streams > 1) {
            for (int i = 0; i < global->bb_congest_streams; ++i) Toril_push_host(global);
        }
    }
}

void listeners_init(thread_Settings *global) {
    const int extra = global->port_last - global->port;
    for (int i = 1; i <= extra; ++i) {
        thread_Settings *copy = nullptr;
        Settings_Copy(global, &copy, true);
        copy->option_flags |= OPT_NO_SETTINGS_REPORT;
        copy->thread_mode = kMode_Listener;
        copy->port = static_cast<uint16_t>(global->port + i);
        append(global, copy);
    }
}
