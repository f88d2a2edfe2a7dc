// The reporter stand-in and the socket helpers of the endpoint tests.
#include "tests/toril/endpoints/server_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "toril/reporting/report.h"

namespace endpoint_test {

namespace {

std::mutex totals_mutex;
Totals totals;
std::once_flag started;

void drain(std::vector<IndividualReport *> *active) {
    for (size_t i = 0; i < active->size();) {
        IndividualReport *r = (*active)[i];
        bool done = false;
        while (PacketRecord *rec = packetring_dequeue(r->packetring)) {
            std::lock_guard<std::mutex> lock(totals_mutex);
            if (rec->packetID < 0) {
                done = true;
                break;
            }
            if (rec->l2errors & L2LENERR) ++totals.l2_length_errors;
            if (rec->emptyreport || rec->packetLen <= 0) continue;
            totals.bytes += rec->packetLen;
            ++totals.records;
            if (rec->packetID > totals.max_packet_id) totals.max_packet_id = rec->packetID;
            r->info.TotalBytes += rec->packetLen;
            if (rec->packetID > r->info.PacketID) r->info.PacketID = rec->packetID;
            r->info.packetTime = rec->packetTime;
        }
        if (done) {
            {
                std::lock_guard<std::mutex> lock(totals_mutex);
                ++totals.finals;
            }
            active->erase(active->begin() + static_cast<long>(i));
            // As the reporter does: the last member of a group frees its sum.
            SumReport *group = r->GroupSumReport;
            r->GroupSumReport = nullptr;
            if (group && DecrSumReportRefCounter(group) == 0) FreeSumReport(group);
            packetring_set_consumer_done(r->packetring);
            continue;
        }
        ++i;
    }
}

void run() {
    std::vector<IndividualReport *> active;
    for (;;) {
        pthread_mutex_lock(&ReportCond.mutex);
        ReportNode *list = ReportPendingHead;
        ReportPendingHead = nullptr;
        ReportPendingTail = nullptr;
        pthread_mutex_unlock(&ReportCond.mutex);
        while (list) {
            ReportNode *next = list->next;
            if (list->type == DATA_REPORT) {
                active.push_back(static_cast<IndividualReport *>(list->this_report));
            } else {
                {
                    std::lock_guard<std::mutex> lock(totals_mutex);
                    if (list->type == CONNECTION_REPORT) ++totals.connection_reports;
                    if (list->type == SETTINGS_REPORT) ++totals.settings_reports;
                }
                FreeReport(list);
            }
            list = next;
        }
        drain(&active);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace

void reporter_start() {
    std::call_once(started, [] { std::thread(run).detach(); });
    std::lock_guard<std::mutex> lock(totals_mutex);
    totals = Totals{};
}

Totals reporter_totals() {
    std::lock_guard<std::mutex> lock(totals_mutex);
    return totals;
}

bool reporter_wait_finals(int64_t n, int limit_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    while (std::chrono::steady_clock::now() < deadline) {
        if (reporter_totals().finals >= n) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

thread_Settings *server_settings(bool udp, int32_t buf_len) {
    thread_Settings base;
    Settings_Initialize(&base);
    base.buf_len = buf_len;
    if (udp) base.option_flags |= OPT_UDP;
    base.option_flags &= ~OPT_TIME_MODE;
    base.thread_mode = kMode_Server;
    thread_Settings *copy = nullptr;
    Settings_Copy(&base, &copy, true);
    return copy;
}

namespace {

sockaddr_in loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

}  // namespace

bool tcp_pair(int *client, int *server) {
    const int l = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(0);
    socklen_t len = sizeof(a);
    if (bind(l, reinterpret_cast<sockaddr *>(&a), sizeof(a)) < 0 || listen(l, 1) < 0 ||
        getsockname(l, reinterpret_cast<sockaddr *>(&a), &len) < 0) {
        close(l);
        return false;
    }
    *client = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(*client, reinterpret_cast<sockaddr *>(&a), sizeof(a)) < 0) {
        close(l);
        close(*client);
        return false;
    }
    *server = accept(l, nullptr, nullptr);
    close(l);
    return *server >= 0;
}

bool udp_pair(int *client, int *server) {
    *client = socket(AF_INET, SOCK_DGRAM, 0);
    *server = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a = loopback(0);
    sockaddr_in b = loopback(0);
    socklen_t len = sizeof(a);
    if (bind(*client, reinterpret_cast<sockaddr *>(&a), sizeof(a)) < 0 ||
        bind(*server, reinterpret_cast<sockaddr *>(&b), sizeof(b)) < 0)
        return false;
    getsockname(*client, reinterpret_cast<sockaddr *>(&a), &len);
    len = sizeof(b);
    getsockname(*server, reinterpret_cast<sockaddr *>(&b), &len);
    return connect(*client, reinterpret_cast<sockaddr *>(&b), sizeof(b)) == 0 &&
           connect(*server, reinterpret_cast<sockaddr *>(&a), sizeof(a)) == 0;
}

}  // namespace endpoint_test
