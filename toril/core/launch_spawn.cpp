// The thread bodies of the client, server and listener roles.
#include <cstring>

#include "common/delay.h"
#include "common/signals.h"
#include "common/thread.h"
#include "common/warn.h"
#include "toril/core/active_hosts.h"
#include "toril/core/launch.h"
#include "toril/core/sockaddr_settings.h"
#include "toril/endpoints/client.h"
#include "toril/endpoints/listener.h"
#include "toril/endpoints/server.h"
#include "toril/reporting/report.h"

namespace {

bool parallel(const thread_Settings *record) {
    return record->threads > 1;
}

bool sum_only(const thread_Settings *record) {
    return (record->test_flags & TEST_SUM_ONLY) != 0;
}

// Parallel streams start together unless told not to wait after connecting.
void start_barrier(const thread_Settings *record) {
    if (parallel(record) && !(record->test_flags & TEST_NO_CONNECT_SYNC) &&
        !(record->option_flags & OPT_COMPAT)) {
        Client::BarrierClient(record->transmit_barrier);
    }
}

// The receiving half of a reverse or full-duplex stream needs the connected
// socket. Without one the stream ends here with the warning (by returning,
// so the Client still owns a valid record while it goes).
bool receiving_possible(int sock) {
    if (sock > 0) return true;
    WARN("Reverse test failed to start per thread settings or socket problem");
    return false;
}

// A direction of a full-duplex test whose stream never ended a report with
// the sum (refused, failed before its traffic, or a connect-back test that
// is not full duplex itself) still holds its share of the sum.
void leave_fullduplex_unended(thread_Settings *record) {
    SumReport *fd = record->fullduplex_report;
    if (!fd || !fd->info.common || !(fd->info.common->test_flags & TEST_FULL_DUPLEX)) return;
    record->fullduplex_report = nullptr;
    FullDuplexLeave(fd);
}

void run_if_synched(Client &client) {
    if (client.StartSynch() == 0) client.Run();
}

// A client started inside a server for the return direction.
void server_reverse_client(Client &client, thread_Settings *record) {
    if (record->test_mode != kTest_Normal) {
        // The old dual and tradeoff tests connect back to the client.
        record->option_flags |= OPT_COMPAT;
        setTransferID(record, true);
        memset(&record->peer, 0, sizeof record->peer);
        SockAddr_remoteAddr(record);
        record->option_flags |= OPT_REPORT_SETTINGS;
        record->option_flags &= ~OPT_NO_SETTINGS_REPORT;
        if (!client.my_connect(true)) return;
        Toril_push_host(record);
        run_if_synched(client);
        return;
    }
    setTransferID(record, true);
    run_if_synched(client);
}

// The client sends only the test header; a copy on this socket receives.
void reverse_client(Client &client, thread_Settings *record) {
    SockAddr_remoteAddr(record);
    const bool connected = client.my_connect(true);
    start_barrier(record);
    if (!connected || !receiving_possible(client.socket())) return;
    thread_Settings *copy = nullptr;
    Settings_Copy(record, &copy, false);
    setTransferID(copy, true);
    client.StartSynch();
    copy->test_flags |= TEST_REVERSE | TEST_NO_UDP_FIN;
    copy->sock = client.socket();
    copy->thread_mode = kMode_Server;
    if (parallel(record) || sum_only(record)) Toril_push_host(copy);
    thread_start(copy);
    // This client's own report goes with the Client; the copy reports.
}

void fullduplex_client(Client &client, thread_Settings *record) {
    SockAddr_remoteAddr(record);
    if (!(record->extra_flags & EXT_BOUNCEBACK))
        record->fullduplex_report = InitSumReport(record, -1, true);
    thread_Settings *copy = nullptr;
    Settings_Copy(record, &copy, false);
    const bool grouped =
        parallel(record) || sum_only(record) || !(record->option_flags & OPT_ENHANCED);
    if (grouped) {
        Toril_push_host(record);
        Toril_push_host(copy);
    }
    setTransferID(copy, true);
    const bool connected = client.my_connect(true);
    start_barrier(record);
    if (!connected) {
        // Nothing started on them: the copy, its host entry and the
        // full-duplex sum go now.
        if (grouped) {
            Toril_remove_host(copy);
            Toril_remove_host(record);
        }
        Settings_Destroy(copy);
        FreeSumReport(record->fullduplex_report);
        record->fullduplex_report = nullptr;
        return;
    }
    const int sock = client.socket();
    // The copy was made before the connect: it takes the addresses the
    // connect settled, as a reverse test's copy does, for its report lines.
    copy->local = record->local;
    copy->local_len = record->local_len;
    copy->peer = record->peer;
    copy->peer_len = record->peer_len;
    if (record->fullduplex_report && record->fullduplex_report->info.common)
        record->fullduplex_report->info.common->sock = sock;
    if (!receiving_possible(sock)) {
        if (grouped) Toril_remove_host(copy);
        Settings_Destroy(copy);
        FreeSumReport(record->fullduplex_report);
        record->fullduplex_report = nullptr;
        return;
    }
    copy->sum_report = record->sum_report;
    copy->fullduplex_report = record->fullduplex_report;
    copy->test_flags |= TEST_REVERSE;
    copy->thread_mode = kMode_Server;
    copy->sock = sock;
    if (copy->option_flags & OPT_TIME_MODE) copy->amount += 200;
    thread_start(copy);
    run_if_synched(client);
}

void plain_client(Client &client, thread_Settings *record) {
    SockAddr_remoteAddr(record);
    const bool connected = client.my_connect(true);
    start_barrier(record);
    if (!connected) return;
    if (parallel(record) || sum_only(record)) Toril_push_host(record);
    run_if_synched(client);
}

}  // namespace

void client_spawn(thread_Settings *record) {
    thread_setscheduler(record);
    setTransferID(record, (record->test_flags & TEST_SERVER_REVERSE) != 0);
    Client client(record);
    if (client.stopped()) return;
    ready_flag_wait(&reporter_state);
    if (record->test_flags & TEST_CONNECT_ONLY) {
        client.ConnectPeriodic();
    } else if (record->test_flags & TEST_SERVER_REVERSE) {
        server_reverse_client(client, record);
    } else if ((record->test_flags & TEST_REVERSE) && !(record->test_flags & TEST_FULL_DUPLEX)) {
        reverse_client(client, record);
    } else if (record->test_flags & TEST_FULL_DUPLEX) {
        fullduplex_client(client, record);
    } else {
        plain_client(client, record);
    }
    leave_fullduplex_unended(record);
}

void server_spawn(thread_Settings *record) {
    thread_setscheduler(record);
    Server server(record);
    if (record->test_flags & TEST_TXSTART)
        clock_usleep_abstime(record->txstart_sec, record->txstart_usec);
    if (record->option_flags & OPT_UDP) {
        server.RunUDP();
    } else if (record->extra_flags & EXT_BOUNCEBACK) {
        server.RunBounceBackTCP();
    } else {
        server.RunTCP();
    }
    leave_fullduplex_unended(record);
}

void listener_spawn(thread_Settings *record) {
    record->option_flags |= OPT_REPORT_SETTINGS;
    Listener listener(record);
    listener.Run();
}
