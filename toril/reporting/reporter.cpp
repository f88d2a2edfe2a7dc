#include "toril/reporting/reporter.h"

#include <pthread.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <initializer_list>

#include "common/delay.h"
#include "common/signals.h"
#include "common/thread.h"
#include "toril/reporting/report_format.h"

ReportNode *ReportRoot = nullptr;
ConsumptionDetector consumption_detector = {0, 0, 0};
ConnectionReport *myConnectionReport = nullptr;
ReporterTextPrinters reporter_text_printers = {nullptr, nullptr, nullptr, nullptr};

namespace {

constexpr int64_t kL2ErrorsAfterDatagrams = 100;  // the first datagrams may still be settling
constexpr uint64_t kReporterPause_us = 16000;

bool is_enhanced(const SettingsSnapshot *c) {
    return c->option_flags & OPT_ENHANCED;
}
bool is_single_threaded(const SettingsSnapshot *c) {
    return c->option_flags & OPT_SINGLE_UDP;
}
bool is_isoch(const SettingsSnapshot *c) {
    return c->test_flags & TEST_ISOCH;
}
bool is_triptimes(const SettingsSnapshot *c) {
    return c->test_flags & TEST_TRIP_TIMES;
}
bool is_burst(const SettingsSnapshot *c) {
    return c->extra_flags & EXT_BURST;
}
bool is_sum_only(const SettingsSnapshot *c) {
    return c->test_flags & TEST_SUM_ONLY;
}
bool is_server(const SettingsSnapshot *c) {
    return c->thread_mode == kMode_Server;
}
bool is_csv(const SettingsSnapshot *c) {
    return c->report_mode == kReport_CSV;
}

double diff_s(const Timestamp &a, const Timestamp &b) {
    return timestamp_diff_s(a, b);
}

void add_interval(Timestamp *t, const Timestamp &interval) {
    t->tv_sec += interval.tv_sec;
    t->tv_usec += interval.tv_usec;
    if (t->tv_usec >= 1000000) {
        t->tv_sec += 1;
        t->tv_usec -= 1000000;
    }
}

bool has_interval(const StreamStats *s) {
    return s->intervalTime.tv_sec > 0 || s->intervalTime.tv_usec > 0;
}

// The traffic threads the pacing of the reporter is measured against.
int accounted_records_for(int traffic_threads) {
    const int records = 20 * traffic_threads;
    return records < 11 ? 10 : records;
}

void reset_consumption_detector() {
    const int traffic = thread_numtrafficthreads();
    consumption_detector.accounted_packet_threshold = traffic;
    consumption_detector.accounted_packets = accounted_records_for(traffic);
}

void print_if_shown(StreamStats *s) {
    if (s->output_handler && !s->isOutputSuppressed) s->output_handler(s);
}

// Interval start := old end, end := next boundary, next boundary moves on;
// before the stream's start both are 0.
void advance_interval(StreamStats *s) {
    if (timestamp_after(s->startTime, s->packetTime)) {
        s->iStart = 0;
        s->iEnd = 0;
        return;
    }
    s->iStart = s->iEnd;
    s->iEnd = diff_s(s->nextTime, s->startTime);
    add_interval(&s->nextTime, s->intervalTime);
}

double final_end_s(const StreamStats *s) {
    const double end = diff_s(s->packetTime, s->startTime);
    return end < 0 ? 0 : end;
}

void jitter_update(StreamStats *s, double transit) {
    // The first transit has nothing to differ from.
    if (s->total_transit.cnt > 0) {
        const double delta = std::fabs(transit - s->transit.last);
        s->jitter += (delta - s->jitter) * 0.0625;
    }
}

// --- Shared accounting steps ---

void reporter_handle_packet_oneway_transit(StreamStats *s, const PacketRecord *rec) {
    const double transit = diff_s(rec->packetTime, rec->sentTime);
    if (s->transit_histogram)
        histogram_insert(s->transit_histogram, static_cast<float>(transit), &rec->packetTime);
    jitter_update(s, transit);
    reporter_update_mmm(&s->total_transit, transit);
    reporter_update_mmm(&s->transit, transit);
    s->transit.last = transit;
}

void reporter_handle_rxmsg_oneway_transit(IndividualReport *r, const PacketRecord *rec) {
    StreamStats *s = &r->info;
    if (s->frame.frameID == 0) s->frame.frameID = rec->frameID;
    if (rec->frameID == 0) return;
    if (rec->transit_ready) {
        const double transit = diff_s(rec->packetTime, rec->sentTime);
        reporter_update_mmm(&s->total_transit, transit);
        reporter_update_mmm(&s->transit, transit);
        if (s->framelatency_histogram)
            histogram_insert(s->framelatency_histogram, static_cast<float>(transit),
                             &rec->packetTime);
        if (timestamp_isset(s->lastSentTime)) s->IPGsum += diff_s(rec->sentTime, s->lastSentTime);
        s->frame.frameID += 1;
        r->burst_inprogress = 1;
        s->lastSentTime = rec->sentTime;
    } else if (r->burst_inprogress && rec->frameID != s->frame.frameID) {
        fprintf(stderr, "%sError: expected burst id %u but got %ld\n",
                s->common->transfer_id_text ? s->common->transfer_id_text : "",
                static_cast<unsigned>(s->frame.frameID + 1), static_cast<long>(rec->frameID));
        r->burst_inprogress = 0;
        s->frame.frameID = rec->frameID;
    }
}

double frame_transit_s(const PacketRecord *rec, bool subtract_period) {
    double transit = diff_s(rec->packetTime, rec->isochStartTime);
    if (subtract_period)
        transit -= static_cast<double>(rec->frameID - 1) * static_cast<double>(rec->burstperiod) /
                   1000000.0;
    return transit;
}

void record_frame_transit(StreamStats *s, const PacketRecord *rec, double transit) {
    reporter_update_mmm(&s->frame.transit, transit);
    reporter_update_mmm(&s->frame.total_transit, transit);
    if (s->framelatency_histogram)
        histogram_insert(s->framelatency_histogram, static_cast<float>(transit), &rec->packetTime);
}

// Frame accounting of a sender (and of a UDP frame counter).
void reporter_handle_frame_isoch_oneway_transit(StreamStats *s, const PacketRecord *rec) {
    if (!rec->transit_ready || rec->frameID == 0) return;
    FrameStats &f = s->frame;
    if (f.frameID == 0) f.total_frames = static_cast<int64_t>(rec->frameID);
    if (rec->frameID != f.frameID) {
        f.total_frames += 1;
        if (f.frameID != 0 && rec->frameID > f.frameID + 1) {
            if (is_server(s->common)) {
                f.total_lost += static_cast<int64_t>(rec->prevframeID - f.frameID);
            } else {
                f.total_slips += 1;
                f.total_lost += static_cast<int64_t>(rec->frameID - f.frameID - 1);
            }
        }
    }
    if (s->framelatency_histogram) {
        if (rec->burstsize == rec->remaining) s->matchframeID = rec->frameID;
        if (rec->remaining == static_cast<uint64_t>(rec->packetLen) &&
            s->matchframeID == rec->frameID) {
            const double transit = frame_transit_s(rec, true);
            histogram_insert(s->framelatency_histogram, static_cast<float>(transit),
                             &rec->packetTime);
            s->matchframeID = 0;
        }
    }
    f.frameID = rec->frameID;
}

void receiver_frames_tcp(StreamStats *s, const PacketRecord *rec) {
    if (!rec->transit_ready || rec->frameID == 0) return;
    FrameStats &f = s->frame;
    if (f.frameID == 0) f.total_frames = static_cast<int64_t>(rec->frameID);
    if (rec->frameID != f.frameID) {
        f.total_frames += 1;
        if (f.frameID != 0 && rec->frameID >= f.frameID + 2) {
            f.total_slips += 1;
            f.total_lost += static_cast<int64_t>(rec->frameID - f.frameID - 1);
        } else if (is_server(s->common)) {
            record_frame_transit(s, rec, frame_transit_s(rec, !is_triptimes(s->common)));
        }
    }
    f.frameID = rec->frameID;
}

void receiver_frames_udp(StreamStats *s, const PacketRecord *rec) {
    if (!rec->transit_ready || rec->frameID == 0) return;
    FrameStats &f = s->frame;
    if (f.frameID == 0)
        f.total_frames = 2;
    else
        f.total_frames += 1;
    if (f.frameID != 0 && rec->frameID == f.frameID + 1) {
        record_frame_transit(s, rec, frame_transit_s(rec, true));
    } else if (f.frameID != 0) {
        f.total_lost += static_cast<int64_t>(rec->frameID - f.frameID);
        if (!is_server(s->common)) f.total_slips += 1;
    }
    f.frameID = rec->frameID;
}

void count_l2_errors(StreamStats *s, const PacketRecord *rec) {
    if (!rec->l2errors || s->TotalDatagrams <= kL2ErrorsAfterDatagrams) return;
    L2Stats &l2 = s->l2;
    l2.cnt += 1;
    l2.tot_cnt += 1;
    if (rec->l2errors & L2LENERR) {
        l2.lengtherr += 1;
        l2.tot_lengtherr += 1;
    }
    if (rec->l2errors & L2CSUMERR) {
        l2.checksumerr += 1;
        l2.tot_checksumerr += 1;
    }
    if (rec->l2errors & L2UNKNOWN) {
        l2.unknown += 1;
        l2.tot_unknown += 1;
    }
}

// The gap since the previous datagram; the first one has none (a zero
// previous time would count the whole epoch as one gap).
void add_gap(StreamStats *s, const PacketRecord *rec) {
    if (timestamp_isset(rec->prevPacketTime))
        s->IPGsum += diff_s(rec->packetTime, rec->prevPacketTime);
}

// --- Interval bookkeeping shared by the transfer protocol handlers ---

void reset_interval_mmms(StreamStats *s) {
    reporter_reset_mmm(&s->transit);
    reporter_reset_mmm(&s->frame.transit);
    reporter_reset_mmm(&s->bb.rtt);
    reporter_reset_mmm(&s->write_mmm);
    s->bb.rtt_sum = 0;
}

void advance_boundaries(StreamStats *s) {
    s->prevTotalBytes = s->TotalBytes;
    s->prevTotalErrors = s->TotalErrors;
    s->prevTotalOutofOrder = s->TotalOutofOrder;
    s->prevTotalDatagrams = s->TotalDatagrams;
    s->prevPacketID = s->PacketID;
    s->prevTotalIPG = s->TotalIPG;
    s->frame.prev_frames = s->frame.total_frames;
    s->frame.prev_lost = s->frame.total_lost;
    s->frame.prev_slips = s->frame.total_slips;
    s->read.cntRead = 0;
    for (int &b : s->read.bins) b = 0;
    s->write.WriteCnt = 0;
    s->write.WriteErr = 0;
    s->write.TCPretry = 0;
    s->l2.cnt = s->l2.lengtherr = s->l2.checksumerr = s->l2.unknown = 0;
    reset_interval_mmms(s);
}

void frame_deltas(StreamStats *s) {
    s->frame.frames = s->frame.total_frames - s->frame.prev_frames;
    s->frame.lost = s->frame.total_lost - s->frame.prev_lost;
    s->frame.slips = s->frame.total_slips - s->frame.prev_slips;
}

void frame_totals(StreamStats *s) {
    s->frame.frames = s->frame.total_frames;
    s->frame.lost = s->frame.total_lost;
    s->frame.slips = s->frame.total_slips;
    s->frame.transit = s->frame.total_transit;
}

void mark_histograms_final(StreamStats *s) {
    for (Histogram *h :
         {s->transit_histogram, s->framelatency_histogram, s->bbrtt_histogram, s->write_histogram})
        if (h) h->final_print = 1;
}

void common_totals(StreamStats *s) {
    s->iStart = 0;
    s->iEnd = final_end_s(s);
    s->IPGsum = s->iEnd;
    s->cntBytes = s->TotalBytes;
    s->cntIPG = s->TotalIPG;
    s->transit = s->total_transit;
    s->read.cntRead = s->read.totcntRead;
    for (int i = 0; i < 8; ++i) s->read.bins[i] = s->read.totbins[i];
    s->write.WriteCnt = s->write.totWriteCnt;
    s->write.WriteErr = s->write.totWriteErr;
    s->write.TCPretry = s->write.totTCPretry;
    s->l2.cnt = s->l2.tot_cnt;
    s->l2.lengtherr = s->l2.tot_lengtherr;
    s->l2.checksumerr = s->l2.tot_checksumerr;
    s->l2.unknown = s->l2.tot_unknown;
    s->bb.rtt = s->bb.total_rtt;
    s->bb.rtt_sum = s->bb.total_rtt_sum;
    s->write_mmm = s->total_write_mmm;
    frame_totals(s);
    mark_histograms_final(s);
}

void gap_sum_max(StreamStats *sum, const StreamStats *member) {
    if (member->IPGsum > sum->IPGsum) sum->IPGsum = member->IPGsum;
}

// The member's share of this interval into a sum (group or full duplex).
struct SumShare {
    bool reads = false;   // reads and bins (TCP receiver)
    bool writes = false;  // write calls and errors (senders)
    bool retry = false;   // retransmits (TCP sender)
    bool udp_rx = false;  // out-of-order, raw lost, datagrams by packet id
    bool datagrams = false;
};

// Loss and datagram counts of a receiver come from the peers' sequence
// numbers, so a sum of several streams may exceed the counter: it saturates.
void add_saturating(int64_t *into, int64_t value) {
    if (__builtin_add_overflow(*into, value, into)) *into = value < 0 ? INT64_MIN : INT64_MAX;
}

void add_share(StreamStats *sum, const StreamStats *m, const SumShare &share, int64_t raw_lost) {
    sum->slot_thread_upcount += 1;
    sum->TotalBytes += m->cntBytes;
    sum->TotalIPG += m->cntIPG;
    gap_sum_max(sum, m);
    if (share.reads) {
        sum->read.cntRead += m->read.cntRead;
        sum->read.totcntRead += m->read.cntRead;
        for (int i = 0; i < 8; ++i) {
            sum->read.bins[i] += m->read.bins[i];
            sum->read.totbins[i] += m->read.bins[i];
        }
    }
    if (share.writes) {
        sum->write.WriteCnt += m->write.WriteCnt;
        sum->write.totWriteCnt += m->write.WriteCnt;
        sum->write.WriteErr += m->write.WriteErr;
        sum->write.totWriteErr += m->write.WriteErr;
    }
    if (share.retry) {
        sum->write.TCPretry += m->write.TCPretry;
        sum->write.totTCPretry += m->write.TCPretry;
    }
    if (share.udp_rx) {
        sum->TotalOutofOrder += m->cntOutofOrder;
        add_saturating(&sum->TotalErrors, raw_lost);
    }
    if (share.udp_rx || share.datagrams) add_saturating(&sum->TotalDatagrams, m->cntDatagrams);
}

// Counters the handlers compute for the interval since the last boundary.
struct Deltas {
    int64_t raw_lost = 0;  // lost before out-of-order is taken off (UDP receiver)
};

enum class Protocol { kServerTcp, kServerUdp, kClientTcp, kClientUdp, kBounceBack };

Deltas compute_deltas(StreamStats *s, Protocol p) {
    Deltas d;
    s->cntBytes = s->TotalBytes - s->prevTotalBytes;
    s->cntIPG = s->TotalIPG - s->prevTotalIPG;
    if (p == Protocol::kServerUdp) {
        s->cntOutofOrder = s->TotalOutofOrder - s->prevTotalOutofOrder;
        d.raw_lost = s->TotalErrors - s->prevTotalErrors;
        const int64_t lost = d.raw_lost - s->cntOutofOrder;
        s->cntError = lost < 0 ? 0 : lost;
        s->cntDatagrams = s->PacketID - s->prevPacketID;
    } else if (p == Protocol::kClientUdp) {
        s->cntDatagrams = s->TotalDatagrams - s->prevTotalDatagrams;
        if (s->iEnd == 0) s->cntIPG = 0;
    }
    if (is_isoch(s->common)) frame_deltas(s);
    return d;
}

SumShare group_share(Protocol p) {
    SumShare share;
    switch (p) {
        case Protocol::kServerTcp:
            share.reads = true;
            break;
        case Protocol::kServerUdp:
            share.udp_rx = true;
            break;
        case Protocol::kClientTcp:
            share.writes = share.retry = true;
            break;
        case Protocol::kClientUdp:
            share.writes = share.datagrams = true;
            break;
        case Protocol::kBounceBack:
            break;
    }
    return share;
}

SumShare fullduplex_share(Protocol p) {
    SumShare share;
    share.datagrams = (p == Protocol::kServerUdp || p == Protocol::kClientUdp);
    return share;
}

void add_to_sums(IndividualReport *r, Protocol p, const Deltas &d) {
    if (r->GroupSumReport)
        add_share(&r->GroupSumReport->info, &r->info, group_share(p), d.raw_lost);
    if (r->FullDuplexReport)
        add_share(&r->FullDuplexReport->info, &r->info, fullduplex_share(p), d.raw_lost);
}

void reset_after_interval(StreamStats *s, Protocol p) {
    const bool had_datagrams = s->cntDatagrams > 0;
    advance_boundaries(s);
    if (p != Protocol::kServerUdp || had_datagrams) s->IPGsum = 0;
}

bool partial_interval_due(const StreamStats *s) {
    return s->cntBytes > 0 && s->output_handler && has_interval(s) && !s->isOutputSuppressed &&
           s->common->interval_mode != kInterval_None;
}

// The bytes since the last boundary, with the line of an incomplete last
// interval when it is long enough to mean something.
void finish_last_interval(StreamStats *s, Protocol p) {
    if (partial_interval_due(s)) {
        s->iStart = s->iEnd;
        s->iEnd = final_end_s(s);
        if (s->iEnd - s->iStart > s->significant_partial) s->output_handler(s);
    }
    reset_after_interval(s, p);
}

void stream_transfer(IndividualReport *r, int final, Protocol p) {
    StreamStats *s = &r->info;
    const Deltas d = compute_deltas(s, p);
    add_to_sums(r, p, d);
    if (!final) {
        print_if_shown(s);
        if (p == Protocol::kServerTcp && s->framelatency_histogram &&
            s->common->interval_mode == kInterval_Frames)
            histogram_print(s->framelatency_histogram, s->iStart, s->iEnd);
        reset_after_interval(s, p);
        return;
    }
    finish_last_interval(s, p);
    r->final_printed = 1;
    s->final_line = 1;
    common_totals(s);
    if (p == Protocol::kServerUdp) {
        const int64_t lost = s->TotalErrors - s->TotalOutofOrder;
        s->cntError = lost < 0 ? 0 : lost;
        s->cntOutofOrder = s->TotalOutofOrder;
        s->cntDatagrams = s->PacketID;
    } else if (p == Protocol::kClientUdp) {
        s->cntDatagrams = s->PacketID;
    }
    print_if_shown(s);
    if (p == Protocol::kClientUdp && s->output_handler && !s->isOutputSuppressed &&
        !is_csv(s->common))
        printf(report_datagrams, s->common->transfer_id, static_cast<int>(s->TotalDatagrams));
    s->final_line = 0;
}

// --- Sums ---

enum class SumKind {
    kServerTcp,
    kServerUdp,
    kClientTcp,
    kClientUdp,
    kFullDuplexTcp,
    kFullDuplexUdp
};

void sum_deltas(StreamStats *s, SumKind k) {
    s->cntBytes = s->TotalBytes - s->prevTotalBytes;
    s->cntIPG = s->TotalIPG - s->prevTotalIPG;
    s->cntDatagrams = s->TotalDatagrams - s->prevTotalDatagrams;
    if (k == SumKind::kServerUdp) {
        s->cntOutofOrder = s->TotalOutofOrder - s->prevTotalOutofOrder;
        const int64_t lost = (s->TotalErrors - s->prevTotalErrors) - s->cntOutofOrder;
        s->cntError = lost < 0 ? 0 : lost;
    }
}

// Read, write and retransmit counts of a sum are filled per interval by its
// members, so only the boundaries of the byte and datagram counters move.
void sum_reset(StreamStats *s) {
    advance_boundaries(s);
    s->IPGsum = 0;
    s->slot_thread_upcount = 0;
}

void sum_totals(StreamStats *s, SumKind k) {
    common_totals(s);
    s->cntDatagrams = s->TotalDatagrams;
    if (k == SumKind::kServerUdp) {
        const int64_t lost = s->TotalErrors - s->TotalOutofOrder;
        s->cntError = lost < 0 ? 0 : lost;
        s->cntOutofOrder = s->TotalOutofOrder;
    }
}

void advance_fullduplex_clock(StreamStats *s) {
    s->iStart = s->iEnd;
    s->iEnd = diff_s(s->nextTime, s->startTime);
    add_interval(&s->nextTime, s->intervalTime);
}

void sum_transfer(StreamStats *s, int final, SumKind k) {
    const bool fullduplex = k == SumKind::kFullDuplexTcp || k == SumKind::kFullDuplexUdp;
    if (!final) {
        if (fullduplex) advance_fullduplex_clock(s);
        sum_deltas(s, k);
        print_if_shown(s);
        sum_reset(s);
        return;
    }
    sum_deltas(s, k);
    if (k != SumKind::kServerUdp && partial_interval_due(s)) {
        s->iStart = s->iEnd;
        s->iEnd = final_end_s(s);
        if (s->iEnd - s->iStart > s->significant_partial) s->output_handler(s);
    }
    const int contributors = s->slot_thread_upcount;
    sum_reset(s);
    s->slot_thread_upcount = contributors;  // the final line counts who ended
    s->final_line = 1;
    sum_totals(s, k);
    print_if_shown(s);
    if (k == SumKind::kClientUdp && s->output_handler && !s->isOutputSuppressed &&
        !is_csv(s->common))
        printf(report_sumcnt_datagrams, s->slot_thread_upcount,
               static_cast<int>(s->TotalDatagrams));
    s->final_line = 0;
    s->slot_thread_upcount = 0;
}

// A sum whose streams never gave it their start (the legs of a full-duplex
// test may both miss the moment) takes the clock of its first member to
// report (at its first interval), so its lines are not measured from the epoch.
void sum_clock_from_member(SumReport *sum, const StreamStats *member) {
    pthread_mutex_lock(&sum->reference_mutex);
    if (!timestamp_isset(sum->info.startTime) && timestamp_isset(member->startTime)) {
        sum->info.startTime = member->startTime;
        sum->info.nextTime = member->startTime;
        add_interval(&sum->info.nextTime, sum->info.intervalTime);
    }
    pthread_mutex_unlock(&sum->reference_mutex);
}

// --- Skipped intervals ---

void reporter_transfer_protocol_missed_reports(StreamStats *s, const PacketRecord *rec) {
    if (!has_interval(s)) return;
    // Every interval that ends before the record's time had no traffic at all.
    while (timestamp_after(rec->packetTime, s->nextTime)) {
        advance_interval(s);
        StreamStats empty{};
        empty.common = s->common;
        empty.iStart = s->iStart;
        empty.iEnd = s->iEnd;
        reporter_reset_mmm(&empty.transit);
        empty.transit.min = 0;
        empty.transit.max = 0;
        s->output_handler(&empty);
        if (timestamp_after(s->startTime, s->packetTime)) break;
    }
}

// --- Per-record helpers of the TCP receiver ---

void count_read(StreamStats *s, const PacketRecord *rec) {
    s->TotalBytes += rec->packetLen;
    s->read.cntRead += 1;
    s->read.totcntRead += 1;
    if (s->read.binsize <= 0) return;
    const int64_t bin = (rec->packetLen - 1) / s->read.binsize;
    if (bin < 8) {
        s->read.bins[bin] += 1;
        s->read.totbins[bin] += 1;
    }
}

}  // namespace

// --- Statistics ---

void reporter_update_mmm(MeanMinMax *m, double x) {
    m->cnt += 1;
    if (m->cnt == 1) {
        m->max = m->min = m->sum = m->mean = m->last_delta = x;
        m->m2 = 0;
        return;
    }
    m->sum += x;
    const double delta = x - m->mean;
    m->last_delta = delta;
    m->mean += delta / static_cast<double>(m->cnt);
    m->m2 += (x - m->mean) * delta;
    if (x < m->min) m->min = x;
    if (x > m->max) m->max = x;
}

// --- Per-record handlers ---

void reporter_handle_packet_client(IndividualReport *r, PacketRecord *rec) {
    StreamStats *s = &r->info;
    const SettingsSnapshot *c = s->common;
    const bool udp = c->option_flags & OPT_UDP;
    s->packetTime = rec->packetTime;
    if (!rec->emptyreport) {
        s->TotalBytes += rec->packetLen;
        if (rec->errwrite == kWriteErr_Accountable || rec->errwrite == kWriteErr_Fatal) {
            s->write.WriteErr += 1;
            s->write.totWriteErr += 1;
        }
        s->write.WriteCnt += rec->writecnt;
        s->write.totWriteCnt += rec->writecnt;
        if (is_isoch(c)) {
            reporter_handle_frame_isoch_oneway_transit(s, rec);
        } else if (is_burst(c)) {
            if (s->frame.frameID == 0) s->frame.frameID = rec->frameID;
            if (timestamp_isset(s->lastSentTime))
                s->IPGsum += diff_s(rec->sentTime, s->lastSentTime);
            if (rec->transit_ready) reporter_handle_packet_oneway_transit(s, rec);
        }
        if (!udp && (c->extra_flags & EXT_WRITE_TIMES) && rec->write_time > 0) {
            const auto write_us = static_cast<double>(rec->write_time);
            reporter_update_mmm(&s->write_mmm, write_us);
            reporter_update_mmm(&s->total_write_mmm, write_us);
            if (s->write_histogram)
                histogram_insert(s->write_histogram, static_cast<float>(write_us / 1e6),
                                 &rec->packetTime);
        }
    }
    if (udp) {
        // The final record's negative id is the end marker, not a sequence number.
        if (rec->packetID >= 0) s->PacketID = rec->packetID;
        if (!rec->emptyreport && rec->packetID >= 0) {
            s->TotalDatagrams += 1;
            s->TotalIPG += 1;
        }
        s->prevpacketTime = rec->packetTime;
        add_gap(s, rec);
    } else if (rec->transit_ready) {
        if (is_isoch(c) && rec->frameID)
            reporter_handle_frame_isoch_oneway_transit(s, rec);
        else if (is_triptimes(c) || is_burst(c))
            reporter_handle_rxmsg_oneway_transit(r, rec);
    }
}

void reporter_handle_packet_server_tcp(IndividualReport *r, PacketRecord *rec) {
    StreamStats *s = &r->info;
    const SettingsSnapshot *c = s->common;
    if (rec->packetLen > 0) count_read(s, rec);
    if (!rec->transit_ready) return;
    if (is_isoch(c) && rec->frameID)
        receiver_frames_tcp(s, rec);
    else if (is_triptimes(c) || is_burst(c))
        reporter_handle_rxmsg_oneway_transit(r, rec);
}

void reporter_handle_packet_server_udp(IndividualReport *r, PacketRecord *rec) {
    StreamStats *s = &r->info;
    s->packetTime = rec->packetTime;
    if (rec->emptyreport) {
        // A receive timeout or a frame the L2 check rejected: only its L2
        // errors count; sequence and transit stay as the datagrams left them.
        count_l2_errors(s, rec);
        if (s->transit.cnt == 0) {
            reporter_reset_mmm(&s->transit);
            s->transit.sum = 0;
        }
        return;
    }
    if (rec->packetID <= 0) return;
    s->TotalBytes += rec->packetLen;
    count_l2_errors(s, rec);
    // Ids come from the peer: compare as id - 1 (id > 0 here), which cannot
    // overflow even for the largest id a datagram can carry.
    if (rec->packetID - 1 == s->PacketID) {
        s->PacketID = rec->packetID;
    } else if (rec->packetID - 1 > s->PacketID) {
        s->TotalErrors += rec->packetID - s->PacketID - 1;
        s->PacketID = rec->packetID;
    } else {
        s->TotalOutofOrder += 1;
    }
    s->TotalDatagrams += 1;
    s->TotalIPG += 1;
    s->prevpacketTime = rec->packetTime;
    add_gap(s, rec);
    reporter_handle_packet_oneway_transit(s, rec);
    if (rec->transit_ready && rec->frameID) {
        if (is_isoch(s->common)) {
            receiver_frames_udp(s, rec);
        } else if (is_burst(s->common)) {
            // The transit was taken above; here only the burst clock moves.
            if (s->frame.frameID == 0) s->frame.frameID = rec->frameID;
            if (timestamp_isset(s->lastSentTime))
                s->IPGsum += diff_s(rec->sentTime, s->lastSentTime);
        }
    }
}

void reporter_handle_packet_bb_client(IndividualReport *r, PacketRecord *rec) {
    if (rec->emptyreport || rec->packetLen <= 0) return;
    StreamStats *s = &r->info;
    s->packetTime = rec->packetTime;
    s->TotalBytes += rec->packetLen;
    const double rtt = diff_s(rec->packetTime, rec->sentTime);
    const double out = diff_s(rec->sentTimeRX, rec->sentTime);
    const double back = diff_s(rec->packetTime, rec->sentTimeTX);
    const double asym = std::fabs(back - out);
    s->bb.rtt_sum += rtt;
    s->bb.total_rtt_sum += rtt;
    reporter_update_mmm(&s->bb.rtt, rtt);
    reporter_update_mmm(&s->bb.total_rtt, rtt);
    reporter_update_mmm(&s->bb.oneway_out, out);
    reporter_update_mmm(&s->bb.oneway_back, back);
    reporter_update_mmm(&s->bb.asymmetry, asym);
    s->lastSentTime = rec->packetTime;
    if (s->bbrtt_histogram)
        histogram_insert(s->bbrtt_histogram, static_cast<float>(rtt), &rec->packetTime);
}

void reporter_handle_packet_bb_server(IndividualReport *r, PacketRecord *rec) {
    StreamStats *s = &r->info;
    s->packetTime = rec->packetTime;
    if (!rec->emptyreport && rec->packetLen > 0) s->TotalBytes += rec->packetLen;
}

// --- Interval handlers ---

int reporter_condprint_time_interval_report(IndividualReport *r, PacketRecord *rec) {
    StreamStats *s = &r->info;
    if (!timestamp_after(rec->packetTime, s->nextTime)) return 0;
    s->packetTime = rec->packetTime;
    advance_interval(s);
    r->transfer_protocol_handler(r, 0);
    if (r->FullDuplexReport) sum_clock_from_member(r->FullDuplexReport, s);
    if (r->GroupSumReport) sum_clock_from_member(r->GroupSumReport, s);
    if (SumReport *fd = r->FullDuplexReport) {
        fd->threads_arrived += 1;
        if (fd->threads_arrived >= 2 && is_enhanced(s->common)) {
            fd->threads_arrived = 0;
            if (fd->transfer_protocol_sum_handler) fd->transfer_protocol_sum_handler(&fd->info, 0);
        }
    }
    if (SumReport *sum = r->GroupSumReport) {
        sum->threads_arrived += 1;
        // A member that ended leaves the count, so the rest must not wait for it.
        if (sum->threads_arrived >= sum->reference_count) {
            sum->threads_arrived = 0;
            const int shown_above = r->FullDuplexReport ? 2 : 1;
            sum->info.isOutputSuppressed =
                !(sum->reference_count > shown_above || is_sum_only(sum->info.common));
            advance_interval(&sum->info);
            if (sum->transfer_protocol_sum_handler)
                sum->transfer_protocol_sum_handler(&sum->info, 0);
        }
    }
    if (s->output_handler && !s->isOutputSuppressed)
        reporter_transfer_protocol_missed_reports(s, rec);
    return 1;
}

int reporter_condprint_frame_interval_report_server_udp(IndividualReport *r, PacketRecord *rec) {
    StreamStats *s = &r->info;
    bool complete = false;
    if (rec->burstsize == rec->remaining + static_cast<uint64_t>(rec->packetLen)) {
        s->matchframeID = rec->frameID;
        complete = rec->remaining == 0;
    } else {
        complete = rec->remaining == static_cast<uint64_t>(rec->packetLen) &&
                   rec->frameID == s->matchframeID;
    }
    if (!complete) return 0;
    const double start = diff_s(s->nextTime, s->startTime);
    s->iStart = start < 0 ? 0 : start;
    s->iEnd = diff_s(rec->packetTime, s->startTime);
    s->frameID_printed = s->matchframeID;
    s->cntBytes = s->TotalBytes - s->prevTotalBytes;
    s->cntOutofOrder = s->TotalOutofOrder - s->prevTotalOutofOrder;
    const int64_t lost = (s->TotalErrors - s->prevTotalErrors) - s->cntOutofOrder;
    s->cntError = lost < 0 ? 0 : lost;
    s->cntDatagrams = s->PacketID - s->prevPacketID;
    print_if_shown(s);
    const bool had_datagrams = s->cntDatagrams > 0;
    advance_boundaries(s);
    if (had_datagrams) s->IPGsum = 0;
    return 1;
}

int reporter_condprint_frame_interval_report_server_tcp(IndividualReport *, PacketRecord *) {
    fprintf(stderr, "FIX ME\n");
    return 1;
}

int reporter_condprint_burst_interval_report_server_tcp(IndividualReport *r, PacketRecord *rec) {
    if (!rec->transit_ready) return 0;
    StreamStats *s = &r->info;
    s->prevpacketTime = rec->prevSentTime;
    s->packetTime = rec->packetTime;
    if (timestamp_after(s->startTime, rec->packetTime)) {
        s->iStart = s->iEnd = 0;
    } else {
        const double start = diff_s(s->prevpacketTime, s->startTime);
        s->iStart = start < 0 ? 0 : start;
        s->iEnd = diff_s(rec->packetTime, s->startTime);
    }
    s->cntBytes = s->TotalBytes - s->prevTotalBytes;
    print_if_shown(s);
    s->prevTotalBytes = s->TotalBytes;
    s->read.cntRead = 0;
    for (int &b : s->read.bins) b = 0;
    reporter_reset_mmm(&s->transit);
    s->IPGsum = 0;
    return 1;
}

// --- Transfer protocol handlers ---

void reporter_transfer_protocol_server_udp(IndividualReport *r, int final) {
    StreamStats *s = &r->info;
    if (s->TotalDatagrams == 1) s->jitter = 0;
    stream_transfer(r, final, Protocol::kServerUdp);
}

void reporter_transfer_protocol_server_tcp(IndividualReport *r, int final) {
    stream_transfer(r, final, Protocol::kServerTcp);
}

void reporter_transfer_protocol_server_bb_tcp(IndividualReport *r, int final) {
    stream_transfer(r, final, Protocol::kBounceBack);
}

void reporter_transfer_protocol_client_udp(IndividualReport *r, int final) {
    stream_transfer(r, final, Protocol::kClientUdp);
}

void reporter_transfer_protocol_client_tcp(IndividualReport *r, int final) {
    stream_transfer(r, final, Protocol::kClientTcp);
}

void reporter_transfer_protocol_client_bb_tcp(IndividualReport *r, int final) {
    stream_transfer(r, final, Protocol::kBounceBack);
}

void reporter_transfer_protocol_sum_server_udp(StreamStats *s, int final) {
    sum_transfer(s, final, SumKind::kServerUdp);
}

void reporter_transfer_protocol_sum_server_tcp(StreamStats *s, int final) {
    sum_transfer(s, final, SumKind::kServerTcp);
}

void reporter_transfer_protocol_sum_client_udp(StreamStats *s, int final) {
    sum_transfer(s, final, SumKind::kClientUdp);
}

void reporter_transfer_protocol_sum_client_tcp(StreamStats *s, int final) {
    sum_transfer(s, final, SumKind::kClientTcp);
}

void reporter_transfer_protocol_fullduplex_udp(StreamStats *s, int final) {
    sum_transfer(s, final, SumKind::kFullDuplexUdp);
}

void reporter_transfer_protocol_fullduplex_tcp(StreamStats *s, int final) {
    sum_transfer(s, final, SumKind::kFullDuplexTcp);
}

// --- Draining one data report ---

namespace {

void take_tcp_sample(IndividualReport *r, const PacketRecord *rec) {
    if (!r->sample_tcpinfo || !rec->tcpstats.valid) return;
    WriteStats &w = r->info.write;
    w.TCPretry += rec->tcpstats.retry_tot - w.totTCPretry_prev;
    w.totTCPretry_prev = rec->tcpstats.retry_tot;
    w.totTCPretry = rec->tcpstats.retry_tot;
    w.cwnd = static_cast<int32_t>(rec->tcpstats.cwnd_kbytes);
    w.rtt = static_cast<int32_t>(rec->tcpstats.rtt_us);
    w.rttvar = static_cast<int32_t>(rec->tcpstats.rttvar_us);
}

void pace_consumption() {
    ConsumptionDetector &cd = consumption_detector;
    cd.accounted_packet_threshold -= 1;
    if (cd.accounted_packet_threshold >= 1) return;
    const int traffic = thread_numtrafficthreads();
    cd.accounted_packet_threshold = traffic;
    if (cd.accounted_packets > 0) {
        // The producers are slower than the reporter: let records gather.
        delay_loop(kReporterPause_us);
        cd.reporter_thread_suspends += 1;
    }
    cd.accounted_packets = accounted_records_for(traffic);
}

void last_time_rule(StreamStats *sum, const PacketRecord *rec) {
    if (timestamp_after(sum->packetTime, rec->packetTime)) sum->packetTime = rec->packetTime;
}

int process_final_record(IndividualReport *r, PacketRecord *rec) {
    r->reporter_thread_suspends = consumption_detector.reporter_thread_suspends;
    if (r->FullDuplexReport) sum_clock_from_member(r->FullDuplexReport, &r->info);
    if (r->GroupSumReport) sum_clock_from_member(r->GroupSumReport, &r->info);
    if (r->packet_handler_pre_report) r->packet_handler_pre_report(r, rec);
    if (r->packet_handler_post_report) r->packet_handler_post_report(r, rec);
    r->info.packetTime = rec->packetTime;
    r->transfer_protocol_handler(r, 1);
    SumReport *fd = r->FullDuplexReport;
    if (fd && is_enhanced(r->info.common)) {
        last_time_rule(&fd->info, rec);
        if (DecrSumReportRefCounter(fd) == 0 && fd->transfer_protocol_sum_handler)
            fd->transfer_protocol_sum_handler(&fd->info, 1);
    }
    if (SumReport *sum = r->GroupSumReport) {
        last_time_rule(&sum->info, rec);
        if (DecrSumReportRefCounter(sum) == 0) {
            if (sum->transfer_protocol_sum_handler &&
                (sum->reference_maxcount > 1 || is_sum_only(sum->info.common))) {
                sum->info.isOutputSuppressed = 0;
                sum->transfer_protocol_sum_handler(&sum->info, 1);
            }
            FreeSumReport(sum);
        }
        r->GroupSumReport = nullptr;
    }
    return 1;
}

}  // namespace

int reporter_process_transfer_report(IndividualReport *r) {
    if (!is_single_threaded(r->info.common)) pace_consumption();
    while (PacketRecord *rec = packetring_dequeue(r->packetring)) {
        consumption_detector.accounted_packets -= 1;
        take_tcp_sample(r, rec);
        if (rec->packetID < 0) return process_final_record(r, rec);
        if (r->packet_handler_pre_report) r->packet_handler_pre_report(r, rec);
        const int printed = r->transfer_interval_handler ? r->transfer_interval_handler(r, rec) : 0;
        if (r->packet_handler_post_report) r->packet_handler_post_report(r, rec);
        if (r->GroupSumReport) r->GroupSumReport->info.packetTime = rec->packetTime;
        if (r->FullDuplexReport) r->FullDuplexReport->info.packetTime = rec->packetTime;
        // One printed interval per visit, so that the other reports get their turn.
        if (printed) return 0;
    }
    return 0;
}

// --- The reporter thread ---

namespace {

void count_connect_time(const ConnectionReport *c) {
    if (!myConnectionReport || c->common->thread_mode != kMode_Client ||
        (c->common->option_flags & OPT_COMPAT))
        return;
    if (c->tcpinitstats.connect_time_ms > 0)
        reporter_update_mmm(&myConnectionReport->connect_times, c->tcpinitstats.connect_time_ms);
    else
        myConnectionReport->connect_errors += 1;
}

// Processes one node; true when it leaves the list.
bool process_node(ReportNode *node) {
    switch (node->type) {
        case DATA_REPORT: {
            auto *r = static_cast<IndividualReport *>(node->this_report);
            const int done = reporter_process_transfer_report(r);
            fflush(stdout);
            return done != 0;
        }
        case SETTINGS_REPORT:
            if (reporter_text_printers.settings)
                reporter_text_printers.settings(static_cast<SettingsReport *>(node->this_report));
            break;
        case CONNECTION_REPORT: {
            auto *c = static_cast<ConnectionReport *>(node->this_report);
            count_connect_time(c);
            if (reporter_text_printers.connection) reporter_text_printers.connection(c);
            break;
        }
        case SERVER_RELAY_REPORT:
            if (reporter_text_printers.server_relay)
                reporter_text_printers.server_relay(
                    static_cast<ServerRelayReport *>(node->this_report));
            break;
        default:
            fprintf(stderr, "Invalid report type in process report %p\n", node->this_report);
            return true;
    }
    fflush(stdout);
    FreeReport(node);
    return true;
}

void walk_reports() {
    ReportNode **link = &ReportRoot;
    while (ReportNode *node = *link) {
        const int type = node->type;
        ReportNode *next = node->next;
        PacketRing *ring = type == DATA_REPORT
                               ? static_cast<IndividualReport *>(node->this_report)->packetring
                               : nullptr;
        if (!process_node(node)) {
            link = &node->next;
            continue;
        }
        *link = next;
        // Last touch of a data report: its traffic thread may free it at once.
        if (ring) packetring_set_consumer_done(ring);
    }
}

void wait_for_reports(bool single_threaded, bool csv) {
    pthread_mutex_lock(&ReportCond.mutex);
    if (!ReportRoot) {
        sInterupted = 0;
        if (!single_threaded) {
            reset_consumption_detector();
            reporter_default_heading_flags(csv ? 1 : 0);
        }
        if (!ReportPendingHead && thread_numuserthreads() > 1) {
            timespec deadline;
            clock_gettime(CLOCK_REALTIME, &deadline);
            deadline.tv_sec += 1;
            pthread_cond_timedwait(&ReportCond.await, &ReportCond.mutex, &deadline);
        }
    }
    if (ReportPendingHead) {
        ReportPendingTail->next = ReportRoot;
        ReportRoot = ReportPendingHead;
        ReportPendingHead = ReportPendingTail = nullptr;
    }
    pthread_mutex_unlock(&ReportCond.mutex);
}

}  // namespace

void reporter_run(thread_Settings *settings) {
    const bool single_threaded = settings->option_flags & OPT_SINGLE_UDP;
    const bool csv = settings->report_mode == kReport_CSV;
    if ((settings->option_flags & OPT_ENHANCED) && !myConnectionReport)
        myConnectionReport = InitConnectOnlyReport(settings);
    for (;;) {
        wait_for_reports(single_threaded, csv);
        if (!ReportRoot && thread_numuserthreads() <= 1) break;
        walk_reports();
    }
    if (myConnectionReport) {
        if (myConnectionReport->connect_times.cnt > 1 && reporter_text_printers.connect_final)
            reporter_text_printers.connect_final(myConnectionReport);
        FreeConnectionReport(myConnectionReport);
        myConnectionReport = nullptr;
    }
}
