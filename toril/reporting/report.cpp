#include "toril/reporting/report.h"

#include <errno.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/warn.h"

ReportCondition ReportCond = {PTHREAD_COND_INITIALIZER, PTHREAD_MUTEX_INITIALIZER};
ReportNode *ReportPendingHead = nullptr;
ReportNode *ReportPendingTail = nullptr;
int transferid_counter = 0;
pthread_mutex_t transferid_mutex = PTHREAD_MUTEX_INITIALIZER;

namespace {

constexpr double kMmmResetMax = 1.1754943508222875e-38;  // smallest normal float
constexpr double kMmmResetMin = 3.4028234663852886e38;   // largest float

// Allocation failure of a report object ends the calling thread.
void out_of_memory(thread_Settings *settings) {
    WARN("Out of Memory!!\n");
    thread_stop(settings);
}

template <typename T>
T *alloc_zeroed(thread_Settings *settings) {
    auto *object = static_cast<T *>(calloc(1, sizeof(T)));
    if (!object) out_of_memory(settings);
    return object;
}

// A copy of text, or nullptr for none; false when the copy failed.
bool copy_text(const char *text, char **into) {
    *into = nullptr;
    if (!text) return true;
    *into = strdup(text);
    return *into != nullptr;
}

// A mutex that may still be held: unlock it and destroy it again.
void destroy_mutex(pthread_mutex_t *mutex) {
    if (pthread_mutex_destroy(mutex) == EBUSY) {
        pthread_mutex_unlock(mutex);
        pthread_mutex_destroy(mutex);
    }
}

void split_interval(uint32_t usec, Timestamp *into) {
    into->tv_sec = usec / 1000000;
    into->tv_usec = usec % 1000000;
}

void add_interval(Timestamp *t, const Timestamp &interval) {
    t->tv_sec += interval.tv_sec;
    t->tv_usec += interval.tv_usec;
    if (t->tv_usec >= 1000000) {
        t->tv_sec += 1;
        t->tv_usec -= 1000000;
    }
}

void set_time_interval(const thread_Settings *settings, StreamStats *stats) {
    split_interval(settings->interval_usec, &stats->intervalTime);
    stats->significant_partial = settings->interval_usec / 1e6 * 0.25;
}

bool is_udp(const thread_Settings *s) {
    return s->option_flags & OPT_UDP;
}
bool is_csv(const thread_Settings *s) {
    return s->report_mode == kReport_CSV;
}
bool is_enhanced(const thread_Settings *s) {
    return s->option_flags & OPT_ENHANCED;
}
bool is_sum_only(const thread_Settings *s) {
    return s->test_flags & TEST_SUM_ONLY;
}
bool is_isoch(const thread_Settings *s) {
    return s->test_flags & TEST_ISOCH;
}
bool is_triptimes(const thread_Settings *s) {
    return s->test_flags & TEST_TRIP_TIMES;
}
bool is_fullduplex(const thread_Settings *s) {
    return s->test_flags & TEST_FULL_DUPLEX;
}
bool is_bounceback(const thread_Settings *s) {
    return s->extra_flags & EXT_BOUNCEBACK;
}
bool is_burst(const thread_Settings *s) {
    return s->extra_flags & EXT_BURST;
}
bool is_histogram(const thread_Settings *s) {
    return s->test_flags & TEST_HISTOGRAM;
}
bool is_single_threaded(const thread_Settings *s) {
    return s->option_flags & OPT_SINGLE_UDP;
}
bool is_frame_interval(const thread_Settings *s) {
    return s->interval_mode == kInterval_Frames || (s->test_flags & TEST_FRAME_INTERVAL);
}

// --- Handler selection of a stream ---

void handlers_server_udp(const thread_Settings *s, IndividualReport *r) {
    r->packet_handler_post_report = reporter_handle_packet_server_udp;
    r->transfer_protocol_handler = reporter_transfer_protocol_server_udp;
    OutputHandler &out = r->info.output_handler;
    if (is_frame_interval(s) && is_isoch(s)) {
        r->transfer_interval_handler = reporter_condprint_frame_interval_report_server_udp;
        out = nullptr;
    } else if (is_csv(s)) {
        out = udp_output_basic_csv;
    } else if (is_sum_only(s)) {
        out = nullptr;
    } else if (is_triptimes(s) && is_isoch(s)) {
        out = udp_output_read_triptime_isoch;
    } else if (is_triptimes(s) || is_enhanced(s)) {
        out = udp_output_read_triptime;
    } else {
        out = udp_output_read;
    }
}

void handlers_server_tcp(const thread_Settings *s, IndividualReport *r) {
    r->packet_handler_post_report = reporter_handle_packet_server_tcp;
    r->transfer_protocol_handler = reporter_transfer_protocol_server_tcp;
    OutputHandler &out = r->info.output_handler;
    if (is_burst(s)) {
        r->packet_handler_pre_report = reporter_handle_packet_server_tcp;
        r->packet_handler_post_report = nullptr;
        r->transfer_interval_handler = reporter_condprint_burst_interval_report_server_tcp;
        out = tcp_output_burst_read;
    } else if (is_frame_interval(s)) {
        r->packet_handler_pre_report = reporter_handle_packet_server_tcp;
        r->packet_handler_post_report = nullptr;
        r->transfer_interval_handler = reporter_condprint_frame_interval_report_server_tcp;
        out = tcp_output_frame_read_triptime;
    } else if (is_csv(s)) {
        out = tcp_output_basic_csv;
    } else if (is_bounceback(s)) {
        r->packet_handler_post_report = reporter_handle_packet_bb_server;
        r->transfer_protocol_handler = reporter_transfer_protocol_server_bb_tcp;
        out = tcp_output_write;
    } else if (is_sum_only(s)) {
        out = nullptr;
    } else if (is_triptimes(s) && is_isoch(s)) {
        out = tcp_output_read_enhanced_isoch;
    } else if (is_triptimes(s)) {
        out = tcp_output_read_triptime;
    } else if (is_enhanced(s)) {
        out = tcp_output_read_enhanced;
    } else {
        out = tcp_output_read;
    }
}

void handlers_client_udp(const thread_Settings *s, IndividualReport *r) {
    r->packet_handler_post_report = reporter_handle_packet_client;
    r->transfer_protocol_handler = reporter_transfer_protocol_client_udp;
    OutputHandler &out = r->info.output_handler;
    if (is_csv(s)) {
        out = udp_output_basic_csv;
    } else if (is_sum_only(s)) {
        out = nullptr;
    } else if (is_isoch(s)) {
        out = udp_output_write_enhanced_isoch;
    } else if (is_enhanced(s)) {
        out = udp_output_write_enhanced;
    } else {
        out = udp_output_write;
    }
}

void handlers_client_tcp(const thread_Settings *s, IndividualReport *r) {
    r->packet_handler_post_report = reporter_handle_packet_client;
    r->transfer_protocol_handler = reporter_transfer_protocol_client_tcp;
    OutputHandler &out = r->info.output_handler;
    if (is_csv(s)) {
        out = tcp_output_basic_csv;
    } else if (is_sum_only(s)) {
        out = nullptr;
    } else if (is_bounceback(s)) {
        r->packet_handler_post_report = reporter_handle_packet_bb_client;
        r->transfer_protocol_handler = reporter_transfer_protocol_client_bb_tcp;
        out = tcp_output_write_bb;
    } else if (is_isoch(s)) {
        out = tcp_output_write_enhanced_isoch;
    } else if (s->extra_flags & EXT_WRITE_TIMES) {
        out = tcp_output_write_enhanced_write;
    } else if (is_enhanced(s)) {
        out = tcp_output_write_enhanced;
    } else {
        out = tcp_output_write;
    }
}

Histogram *make_histogram(const thread_Settings *s, const char *name) {
    return histogram_init(s->histogram_bins, s->histogram_binwidth, 0.0f,
                          static_cast<float>(std::pow(10.0, s->histogram_units)),
                          s->histogram_ci_lower, s->histogram_ci_upper, s->transfer_id, name);
}

void create_histograms(thread_Settings *s, IndividualReport *r) {
    StreamStats &info = r->info;
    if (s->thread_mode == kMode_Server) {
        info.read.binsize = s->buf_len / 8;
        if (is_histogram(s)) {
            if (is_udp(s) && is_triptimes(s)) info.transit_histogram = make_histogram(s, "T8");
            if (is_isoch(s) || (!is_udp(s) && is_triptimes(s)))
                info.framelatency_histogram = make_histogram(s, "F8");
        }
        return;
    }
    if (!is_udp(s) && is_histogram(s)) {
        if (s->extra_flags & EXT_WRITE_TIMES)
            info.write_histogram = make_histogram(s, "W8");
        else if (s->extra_flags & EXT_WRITE_PREFETCH)
            info.transit_histogram = make_histogram(s, "S8");
    }
    if (is_bounceback(s)) {
        s->histogram_units = 6;
        s->histogram_bins = 100000;
        s->histogram_binwidth = 100;
        s->histogram_ci_lower = 5;
        s->histogram_ci_upper = 95;
        info.bbrtt_histogram =
            histogram_init(100000, 100, 0.0f, 1000000.0f, 5, 95, s->transfer_id, "BB8");
    }
}

PacketRing *create_ring(const thread_Settings *s) {
    if (is_single_threaded(s))
        return packetring_init(kPacketRingSingleThreadedSlots, &ReportCond.await, nullptr, nullptr);
    uint32_t count = kPacketRingDefaultSlots;
    if (s->num_report_structs > 0) {
        // One slot always stays free: a ring of one slot could never take a record.
        count = s->num_report_structs < 2 ? 2 : static_cast<uint32_t>(s->num_report_structs);
        printf("[%3d] NUM_REPORT_STRUCTS override from %d to %d\n", s->sock,
               static_cast<int>(kPacketRingDefaultSlots), static_cast<int>(count));
    }
    auto *settings = const_cast<thread_Settings *>(s);
    return packetring_init(count, &ReportCond.await, &settings->await.cond, &settings->await.mutex);
}

void free_stream_histograms(StreamStats *info) {
    histogram_delete(info->transit_histogram);
    histogram_delete(info->framelatency_histogram);
    histogram_delete(info->bbrtt_histogram);
    histogram_delete(info->write_histogram);
}

ReportNode *make_node(thread_Settings *settings, int32_t type, void *payload) {
    auto *node = alloc_zeroed<ReportNode>(settings);
    if (!node) return nullptr;
    node->type = type;
    node->style = settings->report_mode;
    node->this_report = payload;
    return node;
}

void free_data_report(IndividualReport *r) {
    if (r->packetring) {
        const SettingsSnapshot *c = r->info.common;
        const bool moved_bytes = r->info.TotalBytes > 0 || r->info.cntBytes > 0;
        if (c && moved_bytes && !(c->option_flags & OPT_SINGLE_UDP) &&
            c->interval_mode != kInterval_None && r->reporter_thread_suspends <= 2) {
            printf(
                "WARN: this test may have been CPU bound (%d) (or may not be detecting the "
                "underlying network devices)\n",
                r->reporter_thread_suspends);
        }
        packetring_free(r->packetring);
    }
    free_stream_histograms(&r->info);
    free_common_copy(r->info.common);
    free(r);
}

}  // namespace

void reporter_reset_mmm(MeanMinMax *mmm) {
    mmm->max = kMmmResetMax;
    mmm->min = kMmmResetMin;
    mmm->sum = 0;
    mmm->mean = 0;
    mmm->m2 = 0;
    mmm->last_delta = 0;
    mmm->cnt = 0;
}

SettingsSnapshot *common_copy(const thread_Settings *settings) {
    auto *nonconst = const_cast<thread_Settings *>(settings);
    auto *c = alloc_zeroed<SettingsSnapshot>(nonconst);
    if (!c) return nullptr;
    const thread_Settings &s = *settings;
    c->thread_mode = s.thread_mode;
    c->report_mode = s.report_mode;
    c->option_flags = s.option_flags;
    c->test_flags = s.test_flags;
    c->extra_flags = s.extra_flags;
    c->threads = s.threads;
    c->tos = s.tos;
    c->override_tos = s.override_tos;
    c->port = s.port;
    c->port_last = s.port_last;
    c->listen_port = s.listen_port;
    c->bind_port = s.bind_port;
    c->rate = s.rate;
    c->rate_units = s.rate_units;
    c->burst_size = s.burst_size;
    c->format = s.format;
    c->ttl = s.ttl;
    c->buf_len = s.buf_len;
    c->mss = s.mss;
    c->window_size = s.window_size;
    c->window_size_requested = s.window_size;
    c->fq_rate = s.fq_rate;
    c->histogram_bins = s.histogram_bins;
    c->histogram_binwidth = s.histogram_binwidth;
    c->histogram_units = s.histogram_units;
    c->histogram_ci_lower = s.histogram_ci_lower;
    c->histogram_ci_upper = s.histogram_ci_upper;
    c->frame_rate = s.frame_rate;
    c->isoch_mean = s.isoch_mean;
    c->variance = s.variance;
    c->burst_ipg = s.burst_ipg;
    c->interval_mode = s.interval_mode;
    c->interval_usec = s.interval_usec;
    c->amount = s.amount;
    c->peer = s.peer;
    c->peer_len = s.peer_len;
    c->local = s.local;
    c->local_len = s.local_len;
    c->transfer_id = s.transfer_id;
    c->near_congest_weight = s.near_congest_weight;
    c->permit_key_timeout = s.permit_key_timeout;
    c->bounceback_size = s.bounceback_size;
    c->bounceback_hold = s.bounceback_hold;
    c->bounceback_count = s.bounceback_count;
    c->write_prefetch = s.write_prefetch;
    c->sock = s.sock;
    c->udp_sock = s.udp_sock;
    const bool ok =
        copy_text(s.host, &c->host) && copy_text(s.local_host, &c->local_host) &&
        copy_text(s.output_file, &c->output_file) && copy_text(s.bind_device, &c->bind_device) &&
        copy_text(s.host_device, &c->host_device) && copy_text(s.ssm_source, &c->ssm_source) &&
        copy_text(s.hidden_text, &c->hidden_text) &&
        copy_text(s.congestion_algo, &c->congestion_algo) &&
        copy_text(s.transfer_id_text, &c->transfer_id_text) &&
        copy_text(s.permit_key, &c->permit_key);
    if (!ok) {
        free_common_copy(c);
        out_of_memory(nonconst);
        return nullptr;
    }
    return c;
}

void free_common_copy(SettingsSnapshot *c) {
    if (!c) return;
    free(c->host);
    free(c->local_host);
    free(c->output_file);
    free(c->bind_device);
    free(c->host_device);
    free(c->ssm_source);
    free(c->hidden_text);
    free(c->congestion_algo);
    free(c->transfer_id_text);
    free(c->permit_key);
    free(c);
}

void setTransferID(thread_Settings *settings, bool reverse) {
    if (settings->transfer_id_text) return;
    if (settings->transfer_id == 0) {
        pthread_mutex_lock(&transferid_mutex);
        settings->transfer_id = ++transferid_counter;
        pthread_mutex_unlock(&transferid_mutex);
    }
    const int id = settings->transfer_id;
    const bool keyed = (settings->test_flags & TEST_PERMIT_KEY) && settings->permit_key[0];
    const char *format;
    if (keyed)
        format = reverse ? "[%s(*%d)] " : "[%s(%d)] ";
    else if (!reverse)
        format = "[%3d] ";
    else
        format = id < 10 ? "[ *%d] " : "[*%d] ";
    const int len = keyed ? snprintf(nullptr, 0, format, settings->permit_key, id)
                          : snprintf(nullptr, 0, format, id);
    auto *text = static_cast<char *>(malloc(static_cast<size_t>(len) + 1));
    if (!text) {
        out_of_memory(settings);
        return;
    }
    if (keyed)
        snprintf(text, static_cast<size_t>(len) + 1, format, settings->permit_key, id);
    else
        snprintf(text, static_cast<size_t>(len) + 1, format, id);
    settings->transfer_id_text = text;
}

int IncrSumReportRefCounter(SumReport *sum) {
    pthread_mutex_lock(&sum->reference_mutex);
    const int count = ++sum->reference_count;
    if (count > sum->reference_maxcount) sum->reference_maxcount = count;
    pthread_mutex_unlock(&sum->reference_mutex);
    return count;
}

int DecrSumReportRefCounter(SumReport *sum) {
    pthread_mutex_lock(&sum->reference_mutex);
    const int count = --sum->reference_count;
    pthread_mutex_unlock(&sum->reference_mutex);
    return count;
}

void SetSumHandlers(const thread_Settings *s, SumReport *sum) {
    const bool udp = is_udp(s), enh = is_enhanced(s), fd = is_fullduplex(s);
    OutputHandler out;
    if (s->thread_mode == kMode_Server && udp) {
        sum->transfer_protocol_sum_handler = reporter_transfer_protocol_sum_server_udp;
        out = is_sum_only(s) ? udp_output_sumcnt_enhanced
              : fd           ? udp_output_fullduplex_sum
              : enh          ? udp_output_sum_read_enhanced
                             : udp_output_sum_read;
    } else if (s->thread_mode == kMode_Server) {
        sum->transfer_protocol_sum_handler = reporter_transfer_protocol_sum_server_tcp;
        out = is_sum_only(s) ? (enh ? tcp_output_sumcnt_read_enhanced : tcp_output_sumcnt_read)
              : fd           ? tcp_output_sum_read
              : enh          ? tcp_output_sum_read_enhanced
                             : tcp_output_sum_read;
    } else if (s->thread_mode == kMode_Client && udp) {
        sum->transfer_protocol_sum_handler = reporter_transfer_protocol_sum_client_udp;
        out = is_sum_only(s) ? ((enh && !fd) ? udp_output_sumcnt_write_enhanced : udp_output_sumcnt)
              : fd           ? udp_output_fullduplex_sum
              : enh          ? udp_output_sum_write_enhanced
                             : udp_output_sum_write;
    } else if (s->thread_mode == kMode_Client) {
        sum->transfer_protocol_sum_handler = reporter_transfer_protocol_sum_client_tcp;
        out = is_sum_only(s) ? (enh ? tcp_output_sumcnt_write_enhanced : tcp_output_sumcnt_write)
              : fd           ? tcp_output_fullduplex_sum
              : enh          ? tcp_output_sum_write_enhanced
                             : tcp_output_sum_write;
    } else {
        WARN("SetSumReport");
        thread_stop(const_cast<thread_Settings *>(s));
        return;
    }
    sum->info.output_handler = is_csv(s) ? nullptr : out;
}

void SetFullDuplexHandlers(const thread_Settings *s, SumReport *sum) {
    const bool udp = is_udp(s);
    sum->transfer_protocol_sum_handler =
        udp ? reporter_transfer_protocol_fullduplex_udp : reporter_transfer_protocol_fullduplex_tcp;
    if (is_csv(s) || is_sum_only(s))
        sum->info.output_handler = nullptr;
    else if (is_enhanced(s))
        sum->info.output_handler =
            udp ? udp_output_fullduplex_enhanced : tcp_output_fullduplex_enhanced;
    else
        sum->info.output_handler = udp ? udp_output_fullduplex : tcp_output_fullduplex;
}

SumReport *InitSumReport(thread_Settings *settings, int sum_id, bool fullduplex) {
    auto *sum = alloc_zeroed<SumReport>(settings);
    if (!sum) return nullptr;
    pthread_mutex_init(&sum->reference_mutex, nullptr);
    sum->info.common = common_copy(settings);
    if (!sum->info.common) {
        pthread_mutex_destroy(&sum->reference_mutex);
        free(sum);
        return nullptr;
    }
    sum->info.sumID = sum_id;
    if (settings->interval_mode == kInterval_Time) set_time_interval(settings, &sum->info);
    // The barrier is always made ready: EndJob passes it on either leg, and
    // an uninitialised mutex there would be undefined behaviour.
    pthread_mutex_init(&sum->fullduplex_barrier.lock, nullptr);
    pthread_cond_init(&sum->fullduplex_barrier.await, nullptr);
    sum->fullduplex_barrier.count = 0;
    sum->fullduplex_barrier.timeout_s = 3;
    if (is_udp(settings) && (settings->option_flags & OPT_TIME_MODE)) {
        const uint64_t timeout_s = settings->amount / 100 + 1;
        if (timeout_s > 3)
            sum->fullduplex_barrier.timeout_s =
                timeout_s > INT32_MAX ? INT32_MAX : static_cast<int>(timeout_s);
    }
    if (!fullduplex) {
        SetSumHandlers(settings, sum);
    } else {
        SetFullDuplexHandlers(settings, sum);
        if (settings->test_flags & TEST_SERVER_REVERSE) {
            sum->info.startTime = {settings->trip_start_sec, settings->trip_start_usec};
            sum->info.nextTime = sum->info.startTime;
            add_interval(&sum->info.nextTime, sum->info.intervalTime);
        }
    }
    return sum;
}

ReportNode *InitIndividualReport(thread_Settings *settings) {
    auto *r = alloc_zeroed<IndividualReport>(settings);
    if (!r) return nullptr;
    ReportNode *node = make_node(settings, DATA_REPORT, r);
    if (!node) {
        free(r);
        return nullptr;
    }
    if (settings->sum_report) {
        IncrSumReportRefCounter(settings->sum_report);
        r->GroupSumReport = settings->sum_report;
    }
    if (is_fullduplex(settings) && settings->fullduplex_report) {
        IncrSumReportRefCounter(settings->fullduplex_report);
        r->FullDuplexReport = settings->fullduplex_report;
    }
    r->info.common = common_copy(settings);
    if (!r->info.common) {
        free(node);
        free(r);
        return nullptr;
    }
    r->final_printed = 0;
    r->burst_inprogress = 0;
    r->sample_tcpinfo = 0;
    r->packetring = create_ring(settings);
    reporter_reset_mmm(&r->info.transit);
    reporter_reset_mmm(&r->info.total_transit);
    if (settings->interval_mode == kInterval_Time) {
        set_time_interval(settings, &r->info);
        r->transfer_interval_handler = reporter_condprint_time_interval_report;
    }
    const bool udp = is_udp(settings);
    switch (settings->thread_mode) {
        case kMode_Server:
            (udp ? handlers_server_udp : handlers_server_tcp)(settings, r);
            break;
        case kMode_Client:
            (udp ? handlers_client_udp : handlers_client_tcp)(settings, r);
            break;
        default:
            WARN("InitIndividualReport\n");
            if (r->GroupSumReport) DecrSumReportRefCounter(r->GroupSumReport);
            if (r->FullDuplexReport) DecrSumReportRefCounter(r->FullDuplexReport);
            FreeReport(node);
            thread_stop(settings);
            return nullptr;
    }
    create_histograms(settings, r);
    return node;
}

ReportNode *InitConnectionReport(thread_Settings *settings) {
    auto *r = alloc_zeroed<ConnectionReport>(settings);
    if (!r) return nullptr;
    ReportNode *node = make_node(settings, CONNECTION_REPORT, r);
    if (!node) {
        free(r);
        return nullptr;
    }
    r->common = common_copy(settings);
    if (!r->common) {
        free(node);
        free(r);
        return nullptr;
    }
    r->tcpinitstats = settings->connect_stats;
    reporter_peerversion(r, settings->peer_version_hi, settings->peer_version_lo);
    if (is_enhanced(settings) && (settings->test_flags & TEST_TXSTART))
        r->epochStartTime = {settings->txstart_sec, settings->txstart_usec};
    else if (is_triptimes(settings))
        r->epochStartTime = {settings->trip_start_sec, settings->trip_start_usec};
    reporter_reset_mmm(&r->connect_times);
    if (settings->sock > 0) {
        r->winsize = getsock_tcp_windowsize(settings->sock, settings->thread_mode == kMode_Client);
        // Read for its warning only; the clamp is not reported.
        if (settings->extra_flags & EXT_RX_WINCLAMP) getsock_tcp_windowclamp(settings->sock);
    }
    r->common->window_size_requested = settings->window_size;
    r->txholdbacktime = {settings->txdelay_sec, settings->txdelay_usec};
    if (is_burst(settings)) r->common->frame_rate = settings->frame_rate;
    return node;
}

ConnectionReport *InitConnectOnlyReport(thread_Settings *settings) {
    auto *r = alloc_zeroed<ConnectionReport>(settings);
    if (!r) return nullptr;
    r->common = common_copy(settings);
    if (!r->common) {
        free(r);
        return nullptr;
    }
    r->txholdbacktime = {settings->txdelay_sec, settings->txdelay_usec};
    reporter_reset_mmm(&r->connect_times);
    return r;
}

ReportNode *InitSettingsReport(thread_Settings *settings) {
    auto *r = alloc_zeroed<SettingsReport>(settings);
    if (!r) return nullptr;
    ReportNode *node = make_node(settings, SETTINGS_REPORT, r);
    if (!node) {
        free(r);
        return nullptr;
    }
    r->common = common_copy(settings);
    if (!r->common) {
        free(node);
        free(r);
        return nullptr;
    }
    r->peer = settings->peer;
    r->size_peer = settings->peer_len;
    r->local = settings->local;
    r->size_local = settings->local_len;
    r->win_requested = settings->window_size;
    r->isoch_fps = settings->frame_rate;
    r->isoch_mean_bytes = settings->isoch_mean / 8;
    r->isoch_variance_bytes = settings->variance / 8;
    r->isoch_ipg_us = static_cast<uint32_t>(settings->burst_ipg * 1000);
    if (settings->frame_rate > 0)
        r->isoch_period_us = static_cast<uint32_t>(1 / settings->frame_rate * 1000000);
    if (!is_udp(settings)) {
        if (settings->test_flags & TEST_MSS_SET)
            r->mss = settings->mss;
        else if (settings->option_flags & OPT_PRINT_MSS)
            r->mss = getsock_tcp_mss(settings->sock);
    }
    return node;
}

ReportNode *InitServerRelayUDPReport(thread_Settings *settings, const UdpServerReport *server) {
    auto *r = alloc_zeroed<ServerRelayReport>(settings);
    if (!r) return nullptr;
    ReportNode *node = make_node(settings, SERVER_RELAY_REPORT, r);
    if (!node) {
        free(r);
        return nullptr;
    }
    r->common = common_copy(settings);
    if (!r->common) {
        free(node);
        free(r);
        return nullptr;
    }
    StreamStats &info = r->info;
    info.common = r->common;
    const auto bytes = static_cast<int64_t>(server->total_bytes);
    info.cntBytes = info.TotalBytes = bytes;
    info.iStart = 0;
    info.iEnd = server->end_time_s;
    info.cntError = info.TotalErrors = static_cast<int64_t>(server->lost);
    info.cntOutofOrder = info.TotalOutofOrder = static_cast<int64_t>(server->out_of_order);
    info.cntDatagrams = info.TotalDatagrams = static_cast<int64_t>(server->datagrams);
    info.jitter = server->jitter_s;
    reporter_reset_mmm(&info.transit);
    if (server->enhanced) {
        r->common->option_flags |= OPT_ENHANCED;
        info.transit.min = server->transit_min_s;
        info.transit.max = server->transit_max_s;
        info.transit.sum = server->transit_sum_s;
        info.transit.mean = server->transit_mean_s;
        info.transit.m2 = server->transit_m2_s2;
        info.transit.last_delta = server->transit_variance_term;
        info.transit.cnt = server->transit_count;
        info.cntIPG = server->ipg_count;
        info.IPGsum = server->ipg_sum;
    } else {
        r->common->option_flags &= ~OPT_ENHANCED;
    }
    info.total_transit = info.transit;
    r->peer = settings->peer;
    r->size_peer = settings->peer_len;
    r->local = settings->local;
    r->size_local = settings->local_len;
    return node;
}

void PostReport(ReportNode *node) {
    if (!node) return;
    node->next = nullptr;
    pthread_mutex_lock(&ReportCond.mutex);
    if (ReportPendingTail)
        ReportPendingTail->next = node;
    else
        ReportPendingHead = node;
    ReportPendingTail = node;
    pthread_mutex_unlock(&ReportCond.mutex);
    pthread_cond_signal(&ReportCond.await);
}

int ReportPacket(IndividualReport *report, PacketRecord *record) {
    record->tcpstats.valid = 0;
    if (report->sample_tcpinfo) {
        gettcpinfo(report->info.common->sock, &record->tcpstats);
        if (timestamp_after(record->packetTime, report->info.nextTCPSampleTime))
            add_interval(&report->info.nextTCPSampleTime, report->info.intervalTime);
    }
    packetring_enqueue(report->packetring, record);
    if (report->info.common->option_flags & OPT_SINGLE_UDP)
        reporter_process_transfer_report(report);
    return 0;
}

int EndJob(ReportNode *node, PacketRecord *last) {
    auto *report = static_cast<IndividualReport *>(node->this_report);
    if (report->sample_tcpinfo) gettcpinfo(report->info.common->sock, &last->tcpstats);
    PacketRecord final_record{};
    final_record.packetID = -1;
    final_record.packetLen = last->packetLen;
    final_record.packetTime = last->packetTime;
    packetring_clear_consumer_done(report->packetring);
    if (!(report->info.common->option_flags & OPT_SINGLE_UDP)) {
        ReportPacket(report, &final_record);
        packetring_await_consumer_done(report->packetring);
    } else {
        packetring_enqueue(report->packetring, &final_record);
        reporter_process_transfer_report(report);
    }

    SumReport *fd = report->FullDuplexReport;
    if (!fd || !(fd->info.common->test_flags & TEST_FULL_DUPLEX)) return 1;
    const int barrier = fullduplex_stop_barrier(&fd->fullduplex_barrier);
    report->FullDuplexReport = nullptr;
    FullDuplexLeave(fd);
    return barrier < 0 ? 0 : 1;
}

void FullDuplexLeave(SumReport *fd) {
    if (!fd) return;
    // The sum is freed by whichever direction leaves last: the first to
    // return from the stop barrier may still be inside its wait when the
    // other one returns, and after a timeout the partner comes later still.
    pthread_mutex_lock(&fd->reference_mutex);
    const bool last_out = ++fd->fullduplex_leavers == 2;
    pthread_mutex_unlock(&fd->reference_mutex);
    if (last_out) {
        pthread_cond_destroy(&fd->fullduplex_barrier.await);
        destroy_mutex(&fd->fullduplex_barrier.lock);
        FreeSumReport(fd);
    }
}

void FreeReport(ReportNode *node) {
    if (!node) return;
    switch (node->type) {
        case DATA_REPORT:
            free_data_report(static_cast<IndividualReport *>(node->this_report));
            break;
        case SETTINGS_REPORT: {
            auto *r = static_cast<SettingsReport *>(node->this_report);
            free_common_copy(r->common);
            free(r);
            break;
        }
        case CONNECTION_REPORT:
            FreeConnectionReport(static_cast<ConnectionReport *>(node->this_report));
            break;
        case SERVER_RELAY_REPORT: {
            auto *r = static_cast<ServerRelayReport *>(node->this_report);
            free_common_copy(r->common);
            free(r);
            break;
        }
        default:
            fprintf(stderr, "Invalid report type in free (%x)\n", node->type);
            break;
    }
    free(node);
}

void FreeSumReport(SumReport *sum) {
    if (!sum) return;
    destroy_mutex(&sum->reference_mutex);
    free_common_copy(sum->info.common);
    free(sum);
}

void FreeConnectionReport(ConnectionReport *report) {
    if (!report) return;
    free_common_copy(report->common);
    free(report);
}
