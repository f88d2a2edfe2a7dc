// Client set-up and tear-down: construction, connecting, the connect-only
// test, the test header exchange, the start barrier, the loop preparation and
// the end of a test. The traffic loops are in client_tcp.cpp and
// client_udp.cpp.
#include "toril/endpoints/client.h"

#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/delay.h"
#include "common/io.h"
#include "common/pattern.h"
#include "common/signals.h"
#include "common/sockopt.h"
#include "common/warn.h"
#include "toril/core/active_hosts.h"
#include "toril/core/barrier.h"
#include "toril/core/headers.h"
#include "toril/core/sockaddr_settings.h"
#include "toril/core/sockopt_settings.h"
#include "toril/endpoints/client_extractor.h"
#include "toril/endpoints/client_time.h"

namespace {

constexpr int32_t kConnectSendTimeout_us = 4000000;  // after connect, until the loop sets its own
constexpr int64_t kConnectRetryDelay_us = 200000;
constexpr int kFinPasses = 200;
constexpr int kFinWait_us = 10000;
constexpr int kFinReadLen = 1470;
constexpr int32_t kCloseWaitMin_us = 2000000;
constexpr int32_t kAckWait_us = 4000000;  // the acknowledgement follows the header at once

int32_t clamp_us(int64_t us) {
    if (us < 1) return 1;
    return us > INT32_MAX ? INT32_MAX : static_cast<int32_t>(us);
}

// Waits up to wait_us for sock to become readable: 1 readable, 0 not, -1 error.
int wait_readable(int sock, int64_t wait_us) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(sock, &set);
    timeval tv{static_cast<time_t>(wait_us / 1000000), static_cast<suseconds_t>(wait_us % 1000000)};
    const int rc = select(sock + 1, &set, nullptr, nullptr, &tv);
    if (rc < 0) return errno == EINTR ? 0 : -1;
    return rc > 0 ? 1 : 0;
}

bool interval_by_time(const thread_Settings *s) {
    return s->interval_mode == kInterval_Time && s->interval_usec > 0;
}

}  // namespace

Timestamp client_now() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return {ts.tv_sec, ts.tv_nsec / 1000};
}

// --- Construction ---

Client::Client(thread_Settings *settings) : settings_(settings) {
    thread_Settings *s = settings_;
    now_ = client_now();
    last_packet_time_ = now_;
    connect_start_ = now_;
    connect_done_ = now_;
    record_.packetTime = now_;
    record_.packetID = 1;
    if (s->test_flags & TEST_SERVER_REVERSE) {
        sock_ = s->sock;
        connected_ = true;
    }
    if ((s->option_flags & OPT_COMPAT) && (s->test_flags & TEST_PEER_DETECT)) {
        fprintf(stderr,
                "WARNING: Options of '-C' '--compatibility' AND '-X' '--peerdetect' are mutually "
                "exclusive, --peerdetect ignored\n");
        s->test_flags &= ~TEST_PEER_DETECT;
    }
    if (s->buf) pattern(s->buf, static_cast<int>(Settings_BufferSize(s->buf_len)));
    if ((s->test_flags & TEST_ISOCH) && !(s->frame_rate > 0)) {
        WARN("Invalid value for frames per second in the isochronous settings\n");
        stopped_ = true;
        thread_stop(s);
        return;
    }
    if (s->option_flags & OPT_FILE_INPUT) {
        if (s->option_flags & OPT_STDIN) {
            Extractor_InitializeFile(stdin, s);
        } else {
            Extractor_Initialize(s->input_file, s);
            opened_input_ = s->input_stream != nullptr;
        }
        if (!Extractor_canRead(s)) s->option_flags &= ~OPT_FILE_INPUT;
    }
    frame_job_ = (s->test_flags & TEST_ISOCH) || (s->extra_flags & EXT_BURST) ||
                 (!is_udp() && (s->test_flags & TEST_TRIP_TIMES));
    data_ = s->buf;
}

Client::~Client() {
    delete frame_counter_;
    frame_counter_ = nullptr;
    // A stopped thread's settings are gone already.
    if (stopped_) return;
    // A report that was never handed to the reporter (reverse tests, a test
    // that never ran) is ours to free; a posted one is freed after EndJob.
    if (report_node_ && (!report_posted_ || report_ended_)) FreeReport(report_node_);
    report_node_ = nullptr;
    if (opened_input_) Extractor_Destroy(settings_);
}

// --- Connecting ---

void Client::CloseSocket(const char *action) {
    if (sock_ >= 0 && close(sock_) < 0) WARN_ERRNO(action);
    if (settings_->sock == sock_) settings_->sock = -1;
    sock_ = -1;
}

bool Client::my_connect(bool /*close_on_fail*/) {
    thread_Settings *s = settings_;
    const bool udp = is_udp();
    SockAddr_remoteAddr(s);
    int family = s->peer.ss_family;
    if (family != AF_INET && family != AF_INET6)
        family = (s->option_flags & OPT_IPV6) ? AF_INET6 : AF_INET;
    sock_ = ::socket(family, udp ? SOCK_DGRAM : SOCK_STREAM, 0);
    s->sock = sock_;
    connected_ = false;
    s->connect_stats.connect_time_ms = -1;
    if (sock_ < 0) {
        WARN_ERRNO("socket");
        if (!(s->option_flags & OPT_NO_CONN_REPORT) && !(s->test_flags & TEST_SUM_ONLY))
            PostReport(InitConnectionReport(s));
        return false;
    }
    const SockOptResult opt = SetSocketOptions(s);
    if (opt != SockOptResult::kOk) {
        CloseSocket("client connect close");
        stopped_ = true;
        const bool exit_process = opt == SockOptResult::kExitProcess;
        thread_stop(s);
        if (exit_process) exit(1);
        return false;
    }
    SockAddr_localAddr(s);
    if ((s->local_host && s->local_host[0] != '\0') || s->bind_port != 0) {
        if (bind(sock_, reinterpret_cast<sockaddr *>(&s->local), s->local_len) < 0)
            WARN_ERRNO("bind");
    }
    const bool settings_report =
        (s->option_flags & OPT_REPORT_SETTINGS) && !(s->option_flags & OPT_NO_SETTINGS_REPORT);
    if (!udp && settings_report) {
        PostReport(InitSettingsReport(s));
        s->option_flags |= OPT_NO_SETTINGS_REPORT;
    }
    const sockaddr *peer = reinterpret_cast<const sockaddr *>(&s->peer);
    if (udp) {
        connect_start_ = client_now();
        if (connect(sock_, peer, s->peer_len) == 0) {
            connected_ = true;
            s->connect_stats.connect_time_ms = 0;
        } else {
            WARN_ERRNO("udp connect");
        }
    } else {
        // A negative retry count makes no attempt at all.
        const int64_t attempts = static_cast<int64_t>(s->connect_retries) + 1;
        for (int64_t i = 0; i < attempts && !connected_; ++i) {
            connect_start_ = client_now();
            if (connect(sock_, peer, s->peer_len) == 0) {
                connect_done_ = client_now();
                s->connect_stats.connect_time_ms =
                    timestamp_diff_s(connect_done_, connect_start_) * 1000.0;
                connected_ = true;
                break;
            }
            WARN_ERRNO("tcp connect");
            if (i + 1 < attempts && !sInterupted.load()) delay_loop(kConnectRetryDelay_us);
            if (sInterupted.load()) break;
        }
    }
    if (!connected_) {
        CloseSocket("client connect close");
        if (!(s->option_flags & OPT_NO_CONN_REPORT) && !(s->test_flags & TEST_SUM_ONLY))
            PostReport(InitConnectionReport(s));
        return false;
    }
    if (!udp) {
        const double connect_ms = s->connect_stats.connect_time_ms;
        gettcpinfo(sock_, &s->connect_stats);
        s->connect_stats.connect_time_ms = connect_ms;
    }
    SetSendTimeout(kConnectSendTimeout_us);
    socklen_t len = sizeof(s->local);
    if (getsockname(sock_, reinterpret_cast<sockaddr *>(&s->local), &len) == 0) s->local_len = len;
    len = sizeof(s->peer);
    if (getpeername(sock_, reinterpret_cast<sockaddr *>(&s->peer), &len) == 0) s->peer_len = len;
    SockAddr_Ifrname(s);
    if (udp && !(s->test_flags & (TEST_ISOCH | TEST_IPG)) && s->rate > 0) {
        const double rate = static_cast<double>(s->rate);
        s->burst_ipg = s->rate_units == kRate_PPS ? 1e9 / rate / 1000.0
                                                  : s->buf_len * 8.0 * 1e9 / rate / 1000.0;
    }
    if (udp && settings_report && !(s->option_flags & OPT_NO_SETTINGS_REPORT)) {
        PostReport(InitSettingsReport(s));
        s->option_flags |= OPT_NO_SETTINGS_REPORT;
    }
    if (!(s->option_flags & OPT_NO_CONN_REPORT) && !(s->test_flags & TEST_SUM_ONLY))
        PostReport(InitConnectionReport(s));
    return true;
}

void Client::SetSendTimeout(int32_t timeout_us) {
    send_timeout_us_ = timeout_us;
    SetSocketOptionsSendTimeout(sock_, timeout_us);
}

bool Client::BarrierClient(BarrierMutex *barrier) {
    if (!barrier) return true;
    pthread_mutex_lock(&barrier->lock);
    const bool last = --barrier->count <= 0;
    if (last) {
        const Timestamp now = client_now();
        barrier->release_time_sec = now.tv_sec;
        barrier->release_time_usec = now.tv_usec;
        pthread_cond_broadcast(&barrier->await);
    } else {
        // Timed waits, so that an interrupt frees a stream whose partners
        // never arrive.
        while (barrier->count > 0 && !sInterupted.load()) {
            timespec deadline;
            clock_gettime(CLOCK_REALTIME, &deadline);
            deadline.tv_sec += 1;
            pthread_cond_timedwait(&barrier->await, &barrier->lock, &deadline);
        }
    }
    pthread_mutex_unlock(&barrier->lock);
    return last;
}

void Client::ConnectPeriodic() {
    thread_Settings *s = settings_;
    const Timestamp start = client_now();
    const Timestamp end =
        time_mode() ? ts_add_us(start, static_cast<int64_t>(s->amount) * 10000) : start;
    s->test_flags |= TEST_NO_CONNECT_SYNC;
    const bool with_interval = interval_by_time(s);
    int64_t count = 0;  // 0: no limit
    if (!with_interval) count = s->connect_only_count == -1 ? 10 : s->connect_only_count;
    int64_t made = 0;
    int64_t tick = 0;
    while (!sInterupted.load()) {
        if (my_connect(false)) CloseSocket("client close");
        if (stopped_) return;
        ++made;
        if (count > 0 && made >= count) break;
        if (with_interval) {
            const Timestamp now = client_now();
            Timestamp next;
            do {
                ++tick;
                next = ts_add_us(start, tick * static_cast<int64_t>(s->interval_usec));
            } while (!timestamp_after(next, now));
            if (!timestamp_after(end, next)) break;
            clock_usleep_abstime(next.tv_sec, next.tv_usec);
        } else if (!time_mode()) {
            if (!timestamp_after(end, client_now())) break;
        }
    }
}

// --- Test start ---

int Client::SendFirstPayload() {
    thread_Settings *s = settings_;
    if (s->test_flags & TEST_CONNECT_ONLY) return 0;
    Timestamp packet_time = client_now();
    if (stats_ && timestamp_isset(stats_->startTime) && s->test_mode != kTest_TradeOff)
        packet_time = stats_->startTime;
    record_.packetTime = packet_time;
    const size_t cap = Settings_BufferSize(s->buf_len);
    pattern(s->buf, static_cast<int>(cap));
    const bool txstart = s->test_flags & TEST_TXSTART;
    auto *buf = reinterpret_cast<uint8_t *>(s->buf);
    const int len =
        Settings_GenerateClientHdr(s, buf, cap, txstart ? s->txstart_sec : packet_time.tv_sec,
                                   txstart ? s->txstart_usec : packet_time.tv_usec);
    if (len <= 0) return 0;
    int sent = 0;
    if (!is_udp()) {
        const bool nodelay_for_hdr = (s->test_flags & TEST_TRIP_TIMES) &&
                                     (s->test_flags & TEST_PEER_DETECT) &&
                                     !(s->option_flags & OPT_NODELAY);
        const int on = 1;
        const int off = 0;
        if (nodelay_for_hdr && setsockopt(sock_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on)) < 0)
            WARN_ERRNO("tcpnodelay");
        sent = static_cast<int>(send(sock_, buf, len, MSG_DONTWAIT | MSG_NOSIGNAL));
        if (sent < 0) {
            WARN_ERRNO("send_hdr");
            sent = 0;
        } else if (sent < len) {
            // A header cut short would be read by the server as a different
            // header: finish it, blocking.
            sent += writen(sock_, buf + sent, len - sent, nullptr);
        }
        if (sent > 0 && (s->test_flags & TEST_PEER_DETECT) &&
            !(s->test_flags & TEST_SERVER_REVERSE))
            PeerXchange();
        if (nodelay_for_hdr && setsockopt(sock_, IPPROTO_TCP, TCP_NODELAY, &off, sizeof(off)) < 0)
            WARN_ERRNO("tcpnodelay");
        return sent;
    }
    hdr_udp_write(buf, kUdpHdrLen,
                  UdpHdr{record_.packetID, packet_time.tv_sec, packet_time.tv_usec});
    header_len_ = len;
    const int send_len = std::max(len, s->buf_len);
    sent = static_cast<int>(send(sock_, buf, send_len, MSG_DONTWAIT));
    if (sent < 0) {
        WARN_ERRNO("send_hdr");
        return 0;
    }
    first_payload_sent_ = true;
    return sent;
}

void Client::PeerXchange() {
    thread_Settings *s = settings_;
    const bool trip = s->test_flags & TEST_TRIP_TIMES;
    const int want = trip ? kTestAckTripLen : kTestAckLen;
    uint8_t ack[kTestAckTripLen];
    // A server that never answers must not hold the test forever.
    setsock_receive_timeout(sock_, kAckWait_us);
    const int got = recvn(sock_, reinterpret_cast<char *>(ack), want, 0);
    setsock_receive_timeout(sock_, 0);
    if (got != want) {
        WARN("recvack");
        return;
    }
    TestAck parsed;
    if (hdr_ack_read(ack, got, &parsed) != kHdr_Ok) return;
    s->peer_version_hi = parsed.version_hi;
    s->peer_version_lo = parsed.version_lo;
    if (!trip || !parsed.trip_times) return;
    const Timestamp now = client_now();
    const double send_ms = timestamp_diff_s({parsed.accept_sec, parsed.accept_usec},
                                            {parsed.start_sec, parsed.start_usec}) *
                           1000.0;
    const double ack_ms = timestamp_diff_s(now, {parsed.sent_sec, parsed.sent_usec}) * 1000.0;
    fprintf(
        stderr,
        "%sClock sync check (ms): RTT/Half=(%0.3f/%0.3f) OWD-send/ack/asym=(%0.3f/%0.3f/%0.3f)\n",
        s->transfer_id_text ? s->transfer_id_text : "", send_ms + ack_ms, (send_ms + ack_ms) / 2,
        send_ms, ack_ms, send_ms - ack_ms);
}

int Client::StartSynch() {
    thread_Settings *s = settings_;
    if (stopped_) return -1;
    report_node_ = InitIndividualReport(s);
    if (!report_node_) return -1;
    report_ = static_cast<IndividualReport *>(report_node_->this_report);
    stats_ = &report_->info;
    if (stats_->common) stats_->common->sock = sock_;
    report_->sample_tcpinfo = 0;
    // Only a posted (or single-threaded) report has someone who takes its
    // records; feeding any other would fill its ring and never end.
    const bool posted = !(s->option_flags & (OPT_NO_DATA_REPORT | OPT_SINGLE_UDP)) &&
                        !(s->test_flags & TEST_REVERSE);
    report_drained_ = posted || (s->option_flags & OPT_SINGLE_UDP);

    int hdr_bytes = 0;
    if (!(s->test_flags & TEST_SERVER_REVERSE)) {
        if (!(s->option_flags & OPT_COMPAT) && !(s->extra_flags & EXT_BOUNCEBACK))
            hdr_bytes = SendFirstPayload();
        if (is_udp() && (s->test_flags & TEST_REVERSE) && first_payload_sent_) {
            // The header datagram may be lost: repeat it until the reverse
            // traffic begins.
            unsigned seed = static_cast<unsigned>(now_.tv_usec) ^ static_cast<unsigned>(sock_);
            for (int i = 0; i < 99 && !sInterupted.load(); ++i) {
                const int rc = wait_readable(sock_, rand_r(&seed) % 20000);
                if (rc != 0) break;
                SendFirstPayload();
            }
        }
        if (s->test_flags & TEST_TXSTART)
            clock_usleep_abstime(s->txstart_sec, s->txstart_usec);
        else if (s->test_flags & TEST_TXDELAY)
            clock_usleep(s->txdelay_sec, s->txdelay_usec);
    } else if ((s->test_flags & TEST_TRIP_TIMES) || (s->extra_flags & EXT_BURST)) {
        hdr_bytes = SendFirstPayload();
    }

    if ((s->test_flags & TEST_ISOCH) || (s->extra_flags & EXT_BURST)) {
        delete frame_counter_;
        frame_counter_ =
            (s->test_flags & TEST_TXSTART)
                ? new Isochronous::FrameCounter(s->frame_rate, {s->txstart_sec, s->txstart_usec})
                : new Isochronous::FrameCounter(s->frame_rate);
        if (!is_udp())
            hdr_burst_write_period(reinterpret_cast<uint8_t *>(s->buf),
                                   Settings_BufferSize(s->buf_len), frame_counter_->period_us());
    }

    bool second_at_barrier = false;
    if ((s->test_flags & TEST_FULL_DUPLEX) && !(s->test_flags & TEST_SERVER_REVERSE) &&
        s->fullduplex_report) {
        const int rc = fullduplex_start_barrier(&s->fullduplex_report->fullduplex_barrier);
        if (rc < 0) return -1;
        second_at_barrier = rc == 1;
    }

    const Timestamp start = client_now();
    now_ = start;
    last_packet_time_ = start;
    stats_->startTime = start;
    start_time_ = start;
    stats_->packetTime = start;
    stats_->prevpacketTime = start;
    if (interval_by_time(s)) stats_->nextTime = ts_add_us(start, s->interval_usec);
    auto take_start = [&](SumReport *sum) {
        pthread_mutex_lock(&sum->reference_mutex);
        if (!timestamp_isset(sum->info.startTime)) {
            sum->info.startTime = start;
            if (interval_by_time(s)) sum->info.nextTime = stats_->nextTime;
        }
        pthread_mutex_unlock(&sum->reference_mutex);
    };
    if (report_->GroupSumReport) take_start(report_->GroupSumReport);

    if (!is_udp()) {
        if (!(s->test_flags & TEST_ISOCH) && !(s->extra_flags & EXT_BURST)) {
            if ((s->option_flags & OPT_ENHANCED) || (s->extra_flags & EXT_BOUNCEBACK) ||
                (s->test_flags & TEST_NEAR_CONGESTION)) {
                report_->sample_tcpinfo = 1;
                stats_->nextTCPSampleTime = stats_->nextTime;
            }
        } else {
            report_->sample_tcpinfo = 1;
            stats_->nextTCPSampleTime = {0, 0};
        }
    }

    if (hdr_bytes > 0) {
        record_.packetLen = hdr_bytes;
        record_.packetTime = start;
        record_.sentTime = start;
        consume_amount(hdr_bytes);
        ReportRecord();
        ++record_.packetID;
    }
    if (second_at_barrier && s->fullduplex_report) take_start(s->fullduplex_report);
    return 0;
}

// --- The loop ---

void Client::InitTrafficLoop() {
    thread_Settings *s = settings_;
    int64_t timeout_us = send_timeout_us_ > 0 ? send_timeout_us_ : kConnectSendTimeout_us;
    if ((s->extra_flags & EXT_BURST) && s->frame_rate > 0)
        timeout_us = std::llround(250000.0 / s->frame_rate);
    else if (interval_by_time(s))
        timeout_us = std::llround(s->interval_usec / 2.0);
    else if (time_mode())
        timeout_us = static_cast<int64_t>(std::min<uint64_t>(s->amount, INT32_MAX)) * 5000;
    SetSendTimeout(clamp_us(timeout_us));
    lag_floor_ns_ = -static_cast<int64_t>(send_timeout_us_) * 1000;
    total_bytes_ = 0;
    if (time_mode()) end_time_ = ts_add_us(client_now(), static_cast<int64_t>(s->amount) * 10000);
    data_ = s->buf;
    last_packet_time_ = start_time_;
    record_.errwrite = 0;
    record_.packetLen = 0;
    if (report_node_ && !(s->option_flags & (OPT_NO_DATA_REPORT | OPT_SINGLE_UDP)) &&
        !(s->test_flags & TEST_REVERSE)) {
        PostReport(report_node_);
        report_posted_ = true;
    }
    // Bounceback and near-congestion report per exchange or burst whatever
    // the output, so they never take the single-record shortcut.
    skip_per_write_reports_ =
        !is_udp() && !(s->option_flags & OPT_ENHANCED) && !interval_by_time(s) &&
        !(s->test_flags & (TEST_ISOCH | TEST_TRIP_TIMES | TEST_REVERSE | TEST_NEAR_CONGESTION)) &&
        !(s->extra_flags & (EXT_BURST | EXT_BOUNCEBACK));
}

void Client::Run() {
    thread_Settings *s = settings_;
    if (stopped_ || !report_node_) return;
    InitTrafficLoop();
    if (is_udp()) {
        if (s->option_flags & OPT_FILE_INPUT) {
            Extractor_reduceReadSize(kUdpHdrLen, s);
            data_ = s->buf + kUdpHdrLen;
        }
        if (s->test_flags & TEST_ISOCH)
            RunUDPIsochronous();
        else
            RunUDP();
    } else if (s->extra_flags & EXT_BOUNCEBACK) {
        RunBounceBackTCP();
    } else if (s->rate != 0) {
        RunRateLimitedTCP();
    } else if (s->test_flags & TEST_NEAR_CONGESTION) {
        RunNearCongestionTCP();
    } else if (!(s->extra_flags & EXT_WRITE_PREFETCH) || (s->test_flags & TEST_ISOCH) ||
               (s->extra_flags & EXT_BURST)) {
        RunTCP();
    } else {
        RunWriteEventsTCP();
    }
    if (!stopped_) FinishTrafficActions();
}

bool Client::InProgress() {
    thread_Settings *s = settings_;
    if (s->option_flags & OPT_FILE_INPUT) {
        Extractor_getNextDataBlock(data_, s);
        if (!Extractor_canRead(s)) return false;
    }
    return !Stopping();
}

bool Client::Stopping() const {
    if (sInterupted.load(std::memory_order_relaxed) || peer_closed_) return true;
    if (time_mode()) return timestamp_after(now_, end_time_);
    if (byte_mode()) return settings_->amount == 0;
    return false;
}

int64_t Client::write_size(int64_t len) const {
    if (byte_mode() && settings_->amount < static_cast<uint64_t>(len))
        return static_cast<int64_t>(settings_->amount);
    return len;
}

void Client::consume_amount(int64_t bytes) {
    if (!byte_mode() || bytes <= 0) return;
    const uint64_t b = static_cast<uint64_t>(bytes);
    settings_->amount = settings_->amount > b ? settings_->amount - b : 0;
}

void Client::ReportRecordKeep() {
    if (report_drained_) {
        ReportPacket(report_, &record_);
    } else if (report_ && report_->sample_tcpinfo) {
        // Nobody reads this report, but near-congestion pacing still needs
        // the round-trip time the report would have sampled.
        gettcpinfo(sock_, &record_.tcpstats);
    }
}

void Client::ReportRecord() {
    ReportRecordKeep();
    ClearRecord();
}

void Client::ClearRecord() {
    record_.packetLen = 0;
    record_.writecnt = 0;
    record_.errwrite = kWriteErr_None;
    record_.emptyreport = 0;
    record_.transit_ready = 0;
}

void Client::PostNullEvent() {
    // A record of its own: the stream's record keeps its sequence number and
    // byte count.
    PacketRecord empty{};
    now_ = client_now();
    empty.packetTime = now_;
    empty.emptyreport = 1;
    if (report_drained_) ReportPacket(report_, &empty);
}

// --- The end of a test ---

int Client::WriteUdpFin(int64_t seqno) {
    thread_Settings *s = settings_;
    const Timestamp now = client_now();
    auto *buf = reinterpret_cast<uint8_t *>(s->buf);
    hdr_udp_write(buf, kUdpHdrLen, UdpHdr{-seqno, now.tv_sec, now.tv_usec});
    const int len = std::max(s->buf_len, kUdpHdrLen);
    const ssize_t n = send(sock_, buf, static_cast<size_t>(len), 0);
    return n < 0 ? -1 : static_cast<int>(n);
}

void Client::FinishTrafficActions() {
    thread_Settings *s = settings_;
    if (itimer_armed_) {
        disarm_itimer();
        itimer_armed_ = false;
    }
    now_ = client_now();
    if (is_udp()) {
        record_.packetTime = now_;
        if (sock_ >= 0) {
            const int n = WriteUdpFin(record_.packetID);
            if (n > 0) {
                record_.packetLen = n;
                ReportRecord();
            }
        }
    } else {
        if (connected_ && sock_ >= 0) {
            if (shutdown(sock_, SHUT_WR) < 0)
                WARN_ERRNO("shutdown");
            else if (!(s->test_flags & TEST_FULL_DUPLEX))
                AwaitServerCloseEvent();
        }
        record_.packetTime = client_now();
        if (skip_per_write_reports_) record_.packetLen = total_bytes_;
    }
    // Leave the host table before the report ends: once the reporter has the
    // final record it may free the group sum, and a node still pointing at
    // it would hand the freed sum to the host's next stream. Only a grouped
    // stream was pushed.
    if (s->sum_report) Toril_remove_host(s);
    bool close_socket = true;
    if (report_node_ && report_drained_ && !report_ended_) {
        const bool leaves_fullduplex = report_ && report_->FullDuplexReport;
        close_socket = EndJob(report_node_, &record_) != 0;
        report_ended_ = true;
        if (leaves_fullduplex) s->fullduplex_report = nullptr;  // left in EndJob
    }
    if (is_udp() && sock_ >= 0 && !(s->option_flags & OPT_MULTICAST) &&
        !(s->test_flags & TEST_NO_UDP_FIN))
        AwaitServerFinPacket();
    if (close_socket) CloseSocket("client close");
    if (report_node_ && (!report_posted_ || report_ended_)) {
        FreeReport(report_node_);
        report_node_ = nullptr;
        report_ = nullptr;
        stats_ = nullptr;
    }
    delete frame_counter_;
    frame_counter_ = nullptr;
}

void Client::AwaitServerCloseEvent() {
    thread_Settings *s = settings_;
    PostNullEvent();
    int64_t timeout_us = kCloseWaitMin_us;
    if (time_mode())
        timeout_us = std::max<int64_t>(
            static_cast<int64_t>(std::min<uint64_t>(s->amount, INT32_MAX / 10000)) * 10000,
            kCloseWaitMin_us);
    SetSocketOptionsReceiveTimeout(sock_, clamp_us(timeout_us));
    const size_t cap = Settings_BufferSize(s->buf_len);
    while (!sInterupted.load()) {
        const ssize_t n = recv(sock_, s->buf, cap, 0);
        if (n > 0) continue;
        if (n < 0 && errno == EINTR) continue;
        break;
    }
    connected_ = false;
}

void Client::AwaitServerFinPacket() {
    thread_Settings *s = settings_;
    uint8_t reply[kFinReadLen];
    bool read_warned = false;
    for (int pass = 0; pass < kFinPasses; ++pass) {
        const int rc = wait_readable(sock_, kFinWait_us);
        if (rc < 0) {
            // Not a reason to leave the stream's report behind: end normally.
            WARN_ERRNO("select");
            return;
        }
        if (rc > 0) {
            const ssize_t n = read(sock_, reply, sizeof(reply));
            if (n < 0) {
                // A refused datagram repeats on every pass; say it once.
                if (!read_warned) WARN_ERRNO("read");
                read_warned = true;
                continue;
            }
            if (n == 0) continue;
            uint32_t first = 0;
            if (n == kTestAckTripLen &&
                hdr_flags_read(reply, static_cast<int>(n), &first) == kHdr_Ok &&
                first == kTestAckType)
                continue;  // a late test acknowledgement
            UdpServerReport server;
            if (hdr_server_report_read(reply, static_cast<int>(n), &server) != kHdr_Ok)
                continue;  // not a server report: keep waiting for one
            if (s->report_mode != kReport_CSV) PostReport(InitServerRelayUDPReport(s, &server));
            return;
        }
        ++record_.packetID;
        if (WriteUdpFin(record_.packetID) < 0) WARN_ERRNO("write-fin");
    }
    if (s->report_mode != kReport_CSV)
        fprintf(stderr, "[%3d] WARNING: did not receive ack of last datagram after %d tries.\n",
                sock_, kFinPasses);
}
