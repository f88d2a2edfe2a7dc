// Report objects and the ring: the side of the reporter that traffic threads
// call.
#include "quarvel/reporter.h"

#include <cerrno>
#include <cstring>
#include <new>

#include "common/sockaddr.h"
#include "common/thread.h"
#include "common/warn.h"
#include "quarvel/reporter_private.h"

DataReport *ReportRoot = nullptr;
ReportCondition ReportCond = {PTHREAD_COND_INITIALIZER, PTHREAD_MUTEX_INITIALIZER};
ReportCondition ReportDoneCond = {PTHREAD_COND_INITIALIZER, PTHREAD_MUTEX_INITIALIZER};

namespace {

// How long a waiting traffic thread sleeps before it looks again, should a
// wake-up have gone to another waiter.
constexpr long kDoneWait_ns = 10 * 1000 * 1000;

void out_of_memory(thread_Settings *settings) {
    WARN("Out of Memory!!\n");
    thread_stop(settings);
}

// Waits on ReportDoneCond until done() holds, waking the reporter each time.
template <typename Done>
void wait_for_reporter(Done done) {
    if (done()) return;
    pthread_mutex_lock(&ReportDoneCond.mutex);
    while (!done()) {
        pthread_cond_signal(&ReportCond.cond);
        timespec until;
        clock_gettime(CLOCK_REALTIME, &until);
        until.tv_nsec += kDoneWait_ns;
        if (until.tv_nsec >= 1000000000) {
            until.tv_sec++;
            until.tv_nsec -= 1000000000;
        }
        pthread_cond_timedwait(&ReportDoneCond.cond, &ReportDoneCond.mutex, &until);
    }
    pthread_mutex_unlock(&ReportDoneCond.mutex);
}

void copy_settings(ReportedSettings *into, const thread_Settings *from) {
    into->host = from->host ? from->host : "";
    into->local_host = from->local_host ? from->local_host : "";
    into->option_flags = from->option_flags;
    into->report_mode = from->report_mode;
    into->format = from->format;
    into->buf_len = from->buf_len;
    into->mss = from->mss;
    into->window_size = from->window_size;
    into->thread_mode = from->thread_mode;
    into->ttl = from->ttl;
    into->rate = from->rate;
    into->rate_units = from->rate_units;
    into->port = from->port;
    into->sock = from->sock;
    into->interval = from->interval;
}

void copy_addresses(ReportedSettings *into, const thread_Settings *from) {
    into->peer = from->peer;
    into->peer_len = from->peer_len;
    into->local = from->local;
    into->local_len = from->local_len;
}

timeval interval_of(double interval_s) {
    timeval tv = {0, 0};
    if (interval_s > 0) {
        tv.tv_sec = static_cast<time_t>(interval_s);
        tv.tv_usec = static_cast<suseconds_t>((interval_s - static_cast<double>(tv.tv_sec)) * 1e6);
    }
    return tv;
}

// A report with its fields at their starting values; null when memory ran out.
DataReport *new_report(const thread_Settings *settings, bool with_ring) {
    auto *report = new (std::nothrow) DataReport();
    if (!report) return nullptr;
    if (with_ring) {
        report->ring = new (std::nothrow) PacketReport[kReportRingSlots];
        if (!report->ring) {
            delete report;
            return nullptr;
        }
    }
    report->consumer_index.store(kReportRingSlots - 1, std::memory_order_relaxed);
    report->producer_index.store(0, std::memory_order_relaxed);
    copy_settings(&report->settings, settings);
    report->info.transfer_id = settings->sock;
    report->info.format = settings->format;
    report->info.enhanced = (settings->option_flags & OPT_ENHANCED) ? 1 : 0;
    report->group_id = -1;
    return report;
}

void start_report(DataReport *report, const thread_Settings *settings) {
    GroupReport *group = report->group;
    const bool no_sum = (settings->option_flags & OPT_NO_MCAST_REPORT) != 0;
    if (group && settings->thread_mode == kMode_Client) {
        BarrierClient(report);
        return;
    }
    if (!group || no_sum) {
        report->start_time = reporter_now();
    } else {
        pthread_mutex_lock(&group->lock);
        group->count++;
        if (!group->start_set) {
            group->start_time = reporter_now();
            group->start_set = true;
        }
        report->start_time = group->start_time;
        pthread_mutex_unlock(&group->lock);
    }
    report->next_time = reporter_add(report->start_time, report->interval);
}

void set_port_zero(sockaddr_storage *address) {
    SockAddr_setPort(address, 0);
}

uint32_t be32(const uint8_t *bytes) {
    return (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
           (static_cast<uint32_t>(bytes[2]) << 8) | static_cast<uint32_t>(bytes[3]);
}

int32_t be32_signed(const uint8_t *bytes) {
    return static_cast<int32_t>(be32(bytes));
}

// A whole part and its millionths, as the server report carries values.
double be_split(const uint8_t *bytes) {
    return static_cast<double>(be32_signed(bytes)) +
           static_cast<double>(be32_signed(bytes + 4)) / 1e6;
}

}  // namespace

void reporter_free(DataReport *report) {
    if (!report) return;
    delete[] report->ring;
    delete report;
}

DataReport *InitReport(thread_Settings *settings) {
    const uint32_t flags = settings->option_flags;
    if (flags & OPT_NO_DATA_REPORT) {
        if (flags & OPT_NO_CONN_REPORT) return nullptr;
        // Only the connection line; the thread's records go nowhere.
        DataReport *conn = new_report(settings, false);
        if (!conn) {
            out_of_memory(settings);
            return nullptr;
        }
        conn->kinds = REPORT_CONNECTION;
        copy_addresses(&conn->settings, settings);
        conn->start_time = reporter_now();
        reporter_post(conn);
        return nullptr;
    }

    DataReport *report = new_report(settings, true);
    if (!report) {
        out_of_memory(settings);
        return nullptr;
    }
    report->kinds = REPORT_DATA;
    report->group = settings->sum_report;
    if (report->group) report->group_id = report->group->group_id;
    report->interval = interval_of(settings->interval);
    if (settings->thread_mode == kMode_Server) {
        // A read never exceeds buf_len; a tiny buffer still gets bins one byte wide.
        report->info.bin_width =
            settings->buf_len / kReadBins > 0 ? settings->buf_len / kReadBins : 1;
    }
    if (flags & OPT_UDP) {
        report->prev_packet_time = reporter_now();
        report->info.udp_role = settings->thread_mode;
    } else {
        report->info.tcp_role = settings->thread_mode;
    }
    if (!(flags & OPT_NO_CONN_REPORT)) {
        report->kinds |= REPORT_CONNECTION;
        copy_addresses(&report->settings, settings);
    }
    start_report(report, settings);
    reporter_post(report);
    return report;
}

GroupReport *InitMulti(thread_Settings *settings, int32_t group_id) {
    if (settings->threads < 2 && settings->thread_mode != kMode_Server) return nullptr;
    auto *group = new (std::nothrow) GroupReport();
    if (!group) {
        out_of_memory(settings);
        return nullptr;
    }
    group->group_id = group_id;
    group->count = settings->threads;
    pthread_mutex_init(&group->lock, nullptr);
    pthread_cond_init(&group->cond, nullptr);
    for (GroupSlot &slot : group->slots) {
        slot.start = -1;
        slot.info.transfer_id = group_id;
    }
    if (settings->option_flags & OPT_NO_MCAST_REPORT) return group;

    DataReport *sum = new_report(settings, false);
    if (!sum) {
        FreeMulti(group);
        out_of_memory(settings);
        return nullptr;
    }
    sum->kinds = REPORT_DATA;
    sum->info.transfer_id = group_id;
    sum->interval = interval_of(settings->interval);
    if (!(settings->option_flags & OPT_NO_CONN_REPORT)) {
        sum->kinds |= REPORT_CONNECTION;
        copy_addresses(&sum->settings, settings);
        set_port_zero(&sum->settings.peer);
        set_port_zero(&sum->settings.local);
    }
    group->sum = sum;
    return group;
}

void FreeMulti(GroupReport *group) {
    if (!group) return;
    reporter_free(group->sum);
    pthread_mutex_destroy(&group->lock);
    pthread_cond_destroy(&group->cond);
    delete group;
}

void UpdateMultiAddresses(thread_Settings *settings) {
    GroupReport *group = settings->sum_report;
    if (!group || !group->sum || (settings->option_flags & OPT_NO_MCAST_REPORT)) return;
    pthread_mutex_lock(&group->lock);
    copy_addresses(&group->sum->settings, settings);
    set_port_zero(&group->sum->settings.peer);
    set_port_zero(&group->sum->settings.local);
    pthread_mutex_unlock(&group->lock);
}

void BarrierClient(DataReport *report) {
    GroupReport *group = report->group;
    // Arrivals are counted apart from the member count, which the reporter
    // reads to know when a [SUM] line is complete.
    pthread_mutex_lock(&group->lock);
    group->arrived++;
    if (group->arrived >= group->count) {
        group->start_time = reporter_now();
        group->start_set = true;
        pthread_cond_broadcast(&group->cond);
    }
    while (!group->start_set) pthread_cond_wait(&group->cond, &group->lock);
    report->start_time = group->start_time;
    pthread_mutex_unlock(&group->lock);
    report->next_time = reporter_add(report->start_time, report->interval);
}

void ReportPacket(DataReport *report, const PacketReport *record) {
    if (!report || !report->ring) return;
    const int32_t slot = report->producer_index.load(std::memory_order_relaxed);
    if (slot < 0) return;  // already given up
    // Slot consumer_index is the one the reporter has just finished; writing
    // it would make a full ring look empty, so the producer waits instead.
    wait_for_reporter(
        [&] { return report->consumer_index.load(std::memory_order_acquire) != slot; });
    report->ring[slot] = *record;
    report->producer_index.store((slot + 1) % kReportRingSlots, std::memory_order_release);
}

void CloseReport(DataReport *report, const PacketReport *record) {
    if (!report) return;
    PacketReport closing = *record;
    closing.number = -1;
    closing.length = 0;
    ReportPacket(report, &closing);
}

void EndReport(DataReport *report) {
    if (!report) return;
    wait_for_reporter([&] { return report->consumer_index.load(std::memory_order_acquire) < 0; });
    report->producer_index.store(-1, std::memory_order_release);
    pthread_cond_signal(&ReportCond.cond);
}

const TransferInfo *GetReport(DataReport *report) {
    if (!report) return nullptr;
    wait_for_reporter([&] { return report->consumer_index.load(std::memory_order_acquire) < 0; });
    return &report->info;
}

void ReportSettings(thread_Settings *settings) {
    if (settings->option_flags & OPT_NO_SETTINGS_REPORT) return;
    DataReport *report = new_report(settings, false);
    if (!report) {
        out_of_memory(settings);
        return;
    }
    report->kinds = REPORT_SETTINGS;
    copy_addresses(&report->settings, settings);
    reporter_post(report);
}

void ReportServerUDP(thread_Settings *settings, const uint8_t *report, size_t length) {
    if (!report || length < kServerReportBytes) return;
    if (!(be32(report) & 0x80000000u)) return;
    if (settings->option_flags & OPT_NO_SERVER_REPORT) return;
    DataReport *server = new_report(settings, false);
    if (!server) {
        out_of_memory(settings);
        return;
    }
    server->kinds = REPORT_SERVER_STATS;
    copy_addresses(&server->settings, settings);

    // Offsets from the flags word; the table is that of the server report.
    TransferInfo &info = server->info;
    info.bytes =
        static_cast<int64_t>((static_cast<uint64_t>(be32(report + 4)) << 32) | be32(report + 8));
    info.start_time = 0;
    info.end_time = be_split(report + 12);
    info.lost = be32_signed(report + 20);
    info.out_of_order = be32_signed(report + 24);
    info.datagrams = be32_signed(report + 28);
    info.jitter = be_split(report + 32);
    TransitStats &transit = info.transit;
    transit.min = be_split(report + 40);
    transit.max = be_split(report + 48);
    transit.sum = be_split(report + 56);
    transit.mean = be_split(report + 64);
    transit.m2 = be_split(report + 72);
    transit.deviation = be_split(report + 80);
    transit.count = be32_signed(report + 88);
    transit.last = transit.min;
    info.total_transit = transit;
    info.packets = be32_signed(report + 92);
    info.gap_sum = be32_signed(report + 96);
    info.udp_role = kRole_Receiver;
    // The values cover the whole test.
    info.final = 1;
    reporter_post(server);
}
