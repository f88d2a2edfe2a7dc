// The reporter thread: drains the rings, keeps the counters, loss, jitter and
// transit statistics, and decides which line is printed when.
//
//   reporter_spawn ── pass ── reporter_process_report (oldest report first)
//                               ├─ settings / connection / server statistics: print once
//                               └─ ring slots ── reporter_handle_packet
//                                                  └─ reporter_condprintstats
//                                                       ├─ reporter_print (line)
//                                                       └─ reporter_handle_multiple_reports ([SUM])
#include <pthread.h>
#include <sys/time.h>

#include <cerrno>
#include <cfloat>
#include <cmath>
#include <ctime>
#include <vector>

#include "common/thread.h"
#include "common/warn.h"
#include "quarvel/report_formats.h"
#include "quarvel/reporter.h"
#include "quarvel/reporter_private.h"

namespace {

// True while the reporter waits for work and does not count as a running
// thread (under ReportCond.mutex). Whoever posts the next report counts it
// again before it lets the mutex go, so a thread that posts and then ends
// cannot let the process end before the reporter has printed its report.
bool reporter_idle = false;

// Counts the reporter as running again; under ReportCond.mutex.
void wake_counted() {
    if (reporter_idle) {
        reporter_idle = false;
        thread_unsetignore();
    }
}

void broadcast_done() {
    pthread_mutex_lock(&ReportDoneCond.mutex);
    pthread_cond_broadcast(&ReportDoneCond.cond);
    pthread_mutex_unlock(&ReportDoneCond.mutex);
}

void unlink_report(DataReport *report) {
    pthread_mutex_lock(&ReportCond.mutex);
    for (DataReport **link = &ReportRoot; *link; link = &(*link)->next) {
        if (*link == report) {
            *link = report->next;
            break;
        }
    }
    pthread_mutex_unlock(&ReportCond.mutex);
}

void pause_ms(long ms) {
    timespec pause = {0, ms * 1000 * 1000};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

// Interval transit statistics before any sample: min and max at the
// single-precision limits, so the first sample replaces both.
void reset_transit(TransitStats *transit) {
    transit->sum = 0;
    transit->mean = 0;
    transit->m2 = 0;
    transit->deviation = 0;
    transit->min = FLT_MAX;
    transit->max = FLT_MIN;
}

// One more transit sample (w seconds, a_us microseconds) in a running block.
void add_transit(TransitStats *transit, double w, double a_us) {
    transit->count++;
    transit->sum += w;
    if (w < transit->min) transit->min = w;
    if (w > transit->max) transit->max = w;
    const double old_mean = transit->mean;
    transit->deviation = a_us - old_mean;
    transit->mean = old_mean + (a_us - old_mean) / static_cast<double>(transit->count);
    transit->m2 += (a_us - transit->mean) * (a_us - old_mean);
    transit->last = w;
}

void count_loss(DataReport *report, int64_t number) {
    if (number == report->highest + 1) {
        report->highest = number;
    } else if (number > report->highest) {
        report->lost += number - report->highest - 1;
        report->highest = number;
    } else {
        report->out_of_order++;
    }
}

void count_transit(DataReport *report, const PacketReport *record) {
    TransferInfo &info = report->info;
    const double w = reporter_seconds(record->packet_time, record->sent_time);
    const double a_us = w * 1e6;
    if (info.total_transit.count == 0) {
        TransitStats first = {};
        first.max = first.min = first.sum = first.last = w;
        first.mean = first.deviation = a_us;
        first.count = 1;
        info.transit = first;
        info.total_transit = first;
        return;
    }
    // Interarrival jitter as RTP receivers estimate it.
    info.jitter += (std::fabs(w - info.total_transit.last) - info.jitter) / 16.0;
    add_transit(&info.transit, w, a_us);
    add_transit(&info.total_transit, w, a_us);
}

void count_tcp(DataReport *report, const PacketReport *record) {
    TransferInfo &info = report->info;
    if (info.tcp_role == kRole_Receiver) {
        if (record->length <= 0) return;
        const int64_t width = info.bin_width > 0 ? info.bin_width : 1;
        int64_t bin = (record->length - 1) / width;
        // A read of a buffer that is not a multiple of 8 can land past the last bin.
        if (bin >= kReadBins) bin = kReadBins - 1;
        info.tcp.reads++;
        info.tcp.bins[bin]++;
        info.tcp_total.reads++;
        info.tcp_total.bins[bin]++;
    } else if (info.tcp_role == kRole_Sender) {
        if (record->error_mark) {
            info.tcp.write_errors++;
            info.tcp_total.write_errors++;
        } else {
            info.tcp.writes++;
            info.tcp_total.writes++;
        }
    }
}

void count_data(DataReport *report, const PacketReport *record) {
    TransferInfo &info = report->info;
    report->bytes += record->length;
    if (info.udp_role == kUdpRole_None) {
        count_tcp(report, record);
        return;
    }
    report->datagrams++;
    info.packets++;
    info.gap_sum += reporter_seconds(report->packet_time, report->prev_packet_time);
    report->prev_packet_time = report->packet_time;
    if (info.udp_role != kRole_Receiver) return;
    count_loss(report, record->number);
    count_transit(report, record);
}

bool is_enhanced_tcp(const TransferInfo &info, int32_t role) {
    return info.enhanced && info.udp_role == kUdpRole_None && info.tcp_role == role;
}

void print_interval(DataReport *report, GroupReport *group) {
    TransferInfo &info = report->info;
    if (is_enhanced_tcp(info, kRole_Sender)) gettcpistats(report);

    const int64_t out_of_order = report->out_of_order - report->last_out_of_order;
    const int64_t lost = report->lost - report->last_lost;
    info.out_of_order = out_of_order;
    info.lost = out_of_order < lost ? lost - out_of_order : lost;
    info.datagrams = info.udp_role == kRole_Receiver ? report->highest - report->last_highest
                                                     : report->datagrams - report->last_datagrams;
    info.bytes = report->bytes - report->last_bytes;
    info.start_time = info.end_time;
    info.end_time = reporter_seconds(report->next_time, report->start_time);
    info.final = 0;
    report->last_out_of_order = report->out_of_order;
    report->last_lost = report->lost;
    report->last_highest = report->highest;
    report->last_datagrams = report->datagrams;
    report->last_bytes = report->bytes;
    report->next_time = reporter_add(report->next_time, report->interval);

    reporter_print(report, REPORT_DATA, false);
    if (!(report->settings.option_flags & OPT_NO_MCAST_REPORT)) {
        reporter_handle_multiple_reports(group, &info, false);
    }

    if (info.udp_role != kUdpRole_None) {
        info.packets = 0;
        info.gap_sum = 0;
    }
    if (is_enhanced_tcp(info, kRole_Sender)) {
        info.tcp.writes = 0;
        info.tcp.write_errors = 0;
    }
    if (is_enhanced_tcp(info, kRole_Receiver)) {
        info.tcp.reads = 0;
        for (int64_t &bin : info.tcp.bins) bin = 0;
    }
}

void print_final(DataReport *report, GroupReport *group) {
    TransferInfo &info = report->info;
    if (is_enhanced_tcp(info, kRole_Sender)) gettcpistats(report);
    info.lost =
        report->out_of_order < report->lost ? report->lost - report->out_of_order : report->lost;
    info.out_of_order = report->out_of_order;
    info.datagrams = info.udp_role == kRole_Receiver ? report->highest : report->datagrams;
    info.bytes = report->bytes;
    info.start_time = 0;
    info.end_time = reporter_seconds(report->packet_time, report->start_time);
    info.transit = info.total_transit;
    info.tcp = info.tcp_total;
    // Datagrams per second over the whole test.
    info.packets =
        info.end_time > 0
            ? static_cast<int64_t>(static_cast<double>(report->datagrams) / info.end_time)
            : 0;
    info.gap_sum = 1;
    info.final = 1;
    reporter_print(report, REPORT_DATA, true);
    if (!(report->settings.option_flags & OPT_NO_MCAST_REPORT)) {
        reporter_handle_multiple_reports(group, &info, true);
    }
}

// The values of a line that a group slot adds up.
void take_line_values(TransferInfo *into, const TransferInfo &line) {
    into->bytes = line.bytes;
    into->datagrams = line.datagrams;
    into->lost = line.lost;
    into->out_of_order = line.out_of_order;
    into->packets = line.packets;
    into->jitter = line.jitter;
    into->start_time = line.start_time;
    into->end_time = line.end_time;
    into->gap_sum = line.gap_sum;
    into->format = line.format;
    into->enhanced = line.enhanced;
    into->udp_role = line.udp_role;
    into->tcp_role = line.tcp_role;
    into->tcp = line.tcp;
    into->bin_width = line.bin_width;
}

void add_counters(TcpCounters *into, const TcpCounters &more) {
    into->writes += more.writes;
    into->write_errors += more.write_errors;
    into->retries += more.retries;
    into->reads += more.reads;
    for (int i = 0; i < kReadBins; i++) into->bins[i] += more.bins[i];
}

}  // namespace

void reporter_post(DataReport *report) {
    pthread_mutex_lock(&ReportCond.mutex);
    report->next = ReportRoot;
    ReportRoot = report;
    wake_counted();
    pthread_cond_signal(&ReportCond.cond);
    pthread_mutex_unlock(&ReportCond.mutex);
}

void reporter_spawn(thread_Settings *settings) {
    const bool realtime = (settings->option_flags & OPT_REALTIME) != 0;
    for (;;) {
        pthread_mutex_lock(&ReportCond.mutex);
        if (!ReportRoot) {
            // Waiting for work must not keep the process alive.
            reporter_idle = true;
            thread_setignore();
            while (!ReportRoot) pthread_cond_wait(&ReportCond.cond, &ReportCond.mutex);
            wake_counted();
        }
        pthread_mutex_unlock(&ReportCond.mutex);

        reporter_process_reports();

        if (!realtime) {
            pause_ms(10);
            pause_ms(10);
        }
    }
}

bool reporter_process_reports() {
    // Reused from pass to pass; only the reporter (or a test standing in
    // for it) runs passes.
    static std::vector<DataReport *> posted;
    bool finished_any;
    do {
        finished_any = false;
        posted.clear();
        pthread_mutex_lock(&ReportCond.mutex);
        for (DataReport *report = ReportRoot; report; report = report->next)
            posted.push_back(report);
        pthread_mutex_unlock(&ReportCond.mutex);

        // Oldest first, so lines come out in the order the reports were posted.
        for (auto it = posted.rbegin(); it != posted.rend(); ++it) {
            if (!reporter_process_report(*it)) continue;
            unlink_report(*it);
            reporter_free(*it);
            finished_any = true;
            broadcast_done();
        }
    } while (finished_any);
    broadcast_done();

    pthread_mutex_lock(&ReportCond.mutex);
    const bool any = ReportRoot != nullptr;
    pthread_mutex_unlock(&ReportCond.mutex);
    return any;
}

bool reporter_process_report(DataReport *report) {
    if (report->kinds & REPORT_SETTINGS) {
        reporter_print(report, REPORT_SETTINGS, false);
        report->kinds &= ~REPORT_SETTINGS;
        return true;
    }
    if (report->kinds & REPORT_CONNECTION) {
        reporter_print(report, REPORT_CONNECTION, false);
        report->kinds &= ~REPORT_CONNECTION;
        GroupReport *group = report->group;
        if (group && group->sum && !(report->settings.option_flags & OPT_NO_MCAST_REPORT) &&
            (group->sum->kinds & REPORT_CONNECTION)) {
            reporter_print(group->sum, REPORT_CONNECTION, false);
            group->sum->kinds &= ~REPORT_CONNECTION;
        }
    }
    if (report->kinds & REPORT_SERVER_STATS) {
        reporter_print(report, REPORT_SERVER_STATS, false);
        report->kinds &= ~REPORT_SERVER_STATS;
        return true;
    }
    // A report left with nothing to print (the connection line of -x D) is done.
    if (!(report->kinds & REPORT_DATA)) return report->kinds == 0;

    int32_t consumer = report->consumer_index.load(std::memory_order_relaxed);
    if (consumer < 0) return report->producer_index.load(std::memory_order_acquire) < 0;
    const int32_t producer = report->producer_index.load(std::memory_order_acquire);
    if (producer < 0) return false;  // given up before its closing record: cannot happen
    while ((consumer + 1) % kReportRingSlots != producer) {
        consumer = (consumer + 1) % kReportRingSlots;
        if (reporter_handle_packet(report, &report->ring[consumer])) {
            report->consumer_index.store(-1, std::memory_order_release);
            return report->producer_index.load(std::memory_order_acquire) < 0;
        }
        report->consumer_index.store(consumer, std::memory_order_release);
    }
    return false;
}

bool reporter_handle_packet(DataReport *report, const PacketReport *record) {
    report->packet_time = record->packet_time;
    if (record->number < 0) {
        reporter_condprintstats(report, report->group, true);
        return true;
    }
    if (record->empty_mark) {
        TransferInfo &info = report->info;
        if (info.udp_role == kRole_Receiver && info.transit.count == 0)
            reset_transit(&info.transit);
    } else {
        count_data(report, record);
    }
    reporter_condprintstats(report, report->group, false);
    return false;
}

void reporter_condprintstats(DataReport *report, GroupReport *group, bool final) {
    if (final) {
        print_final(report, group);
        return;
    }
    if (reporter_is_zero(report->interval)) return;
    while (reporter_seconds(report->packet_time, report->next_time) > 0) {
        print_interval(report, group);
    }
}

void reporter_handle_multiple_reports(GroupReport *group, const TransferInfo *line, bool final) {
    if (!group || !group->sum) return;
    pthread_mutex_lock(&group->lock);
    const int32_t members = group->count;
    pthread_mutex_unlock(&group->lock);
    if (members < 2) return;

    GroupSlot *slot = nullptr;
    for (GroupSlot &candidate : group->slots) {
        if (candidate.start >= 0 && candidate.start == line->start_time &&
            candidate.final == final) {
            slot = &candidate;
            break;
        }
    }
    if (!slot) {
        slot = &group->slots[kGroupSlots - 1];
        for (GroupSlot &candidate : group->slots) {
            if (candidate.start < 0) {
                slot = &candidate;
                break;
            }
        }
        take_line_values(&slot->info, *line);
        slot->start = line->start_time;
        slot->final = final;
        slot->contributions = 1;
        return;
    }

    TransferInfo &sum = slot->info;
    sum.bytes += line->bytes;
    sum.datagrams += line->datagrams;
    sum.lost += line->lost;
    sum.out_of_order += line->out_of_order;
    sum.packets += line->packets;
    add_counters(&sum.tcp, line->tcp);
    if (line->end_time > sum.end_time) sum.end_time = line->end_time;
    if (line->jitter > sum.jitter) sum.jitter = line->jitter;
    slot->contributions++;
    if (slot->contributions < members) return;

    TransferInfo &out = group->sum->info;
    take_line_values(&out, sum);
    out.final = final ? 1 : 0;
    reporter_print(group->sum, REPORT_SUM, final);
    slot->start = -1;
}

void reporter_print(DataReport *report, uint32_t kind, bool final) {
    const int style = report->settings.report_mode == kReport_CSV ? 1 : 0;
    const uint32_t flags = report->settings.option_flags;
    switch (kind) {
        case REPORT_DATA:
            statistics_reports[style](report);
            if (final && (flags & OPT_PRINT_MSS) && !(flags & OPT_UDP)) PrintMSS(report);
            break;
        case REPORT_SERVER_STATS:
            serverstatistics_reports[style](report);
            break;
        case REPORT_SETTINGS:
            settings_reports[style](report);
            break;
        case REPORT_CONNECTION:
            connection_reports[style](report);
            break;
        case REPORT_SUM:
            multiple_reports[style](report);
            break;
        default:
            fprintf(stderr, "Printing type not implemented! No Output\n");
            break;
    }
    fflush(stdout);
}

void gettcpistats(DataReport *report) {
    TcpStats &sample = report->tcp_sample;
    TransferInfo &info = report->info;
    const int64_t previous_total = sample.retry_tot;
    const int sock = report->settings.sock;
    gettcpinfo(sock, &sample);
    if (!sample.valid) {
        if (sock <= 0) errno = EBADF;
        WARN_ERRNO("getsockopt");
        info.tcp.retries = 0;
        return;
    }
    const int64_t retries = sample.retry_tot - previous_total;
    info.tcp.retries = retries;
    info.tcp_total.retries += retries;
    info.cwnd_kbytes = sample.cwnd_kbytes;
    info.rtt_us = sample.rtt_us;
}
