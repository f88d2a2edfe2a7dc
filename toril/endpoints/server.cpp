// Server: construction, the start of a test and the TCP loops.
#include "toril/endpoints/server.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/delay.h"
#include "common/signals.h"
#include "common/sockopt.h"
#include "common/warn.h"
#include "toril/core/active_hosts.h"
#include "toril/core/barrier.h"
#include "toril/endpoints/server_io.h"

namespace {

constexpr int32_t kIdleWake_us = 4000000;
// A TCP test that receives nothing for this long (a client that stopped
// sending without closing) ends with a warning instead of holding its thread
// and socket for ever. Long, because a client may pace a slow rate in whole
// buffers or hold its data back after the header. A client whose host went
// away is found sooner, by keepalive probes.
constexpr int64_t kTcpIdleLimit_s = 600;
constexpr int kKeepIdle_s = 60;
constexpr int kKeepInterval_s = 10;
constexpr int kKeepProbes = 6;

void enable_keepalive(int sock) {
    const int on = 1;
    const int idle = kKeepIdle_s;
    const int interval = kKeepInterval_s;
    const int probes = kKeepProbes;
    // Best effort: without them the idle limit still ends the test.
    setsockopt(sock, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on));
    setsockopt(sock, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof(idle));
    setsockopt(sock, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof(interval));
    setsockopt(sock, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof(probes));
}

int64_t monotonic_s() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec;
}
constexpr int32_t kL2MinBufLen = 3036;    // room for a whole frame in L2 mode
constexpr int64_t kTripWindow_s = 600;    // a trip start further away is ignored
constexpr int64_t kReverseExtra = 200;    // reverse tests run two seconds longer
constexpr int kBbSendTimeOffset = 36;     // server send time in a bounceback message
constexpr int kBbClientSendOffset = 20;   // client send time
constexpr int kBbFlagsOffset = 12;        // bounceback flags
constexpr int kTripStartTcpOffset = 64;   // start time in a TCP test header
constexpr int kTripStartUdpOffset = 112;  // start time in a UDP first datagram

bool is_udp(const thread_Settings *s) {
    return (s->option_flags & OPT_UDP) != 0;
}

bool reverse_like(const thread_Settings *s) {
    return (s->test_flags & (TEST_REVERSE | TEST_FULL_DUPLEX | TEST_SERVER_REVERSE)) != 0;
}

uint32_t read_be32(const char *p) {
    const auto *u = reinterpret_cast<const uint8_t *>(p);
    return (static_cast<uint32_t>(u[0]) << 24) | (static_cast<uint32_t>(u[1]) << 16) |
           (static_cast<uint32_t>(u[2]) << 8) | u[3];
}

uint16_t read_be16(const char *p) {
    const auto *u = reinterpret_cast<const uint8_t *>(p);
    return static_cast<uint16_t>((u[0] << 8) | u[1]);
}

Timestamp read_time(const char *p) {
    return Timestamp{static_cast<int64_t>(read_be32(p)), static_cast<int64_t>(read_be32(p + 4))};
}

// In L2 mode the buffer must hold whole frames; the first datagram the
// listener read stays where it is.
void grow_buffer(thread_Settings *s, int32_t buf_len) {
    const size_t old_size = Settings_BufferSize(s->buf_len);
    const size_t new_size = Settings_BufferSize(buf_len);
    auto *grown = static_cast<char *>(calloc(1, new_size));
    if (!grown) return;  // keep the smaller buffer and its length
    if (s->buf) memcpy(grown, s->buf, old_size < new_size ? old_size : new_size);
    free(s->buf);
    s->buf = grown;
    s->buf_len = buf_len;
}

int32_t clamp_timeout_us(double usec) {
    if (!(usec > 0)) return 0;
    if (usec > INT32_MAX) return INT32_MAX;
    return static_cast<int32_t>(std::lround(usec));
}

}  // namespace

Server::Server(thread_Settings *s) : settings(s) {
    now = server_now();
    end_time = now;
    sock = settings->sock;
    drop_sock = settings->udp_sock;
    peer_closed = false;
    if ((settings->test_flags & TEST_L2CHECKS) && settings->buf_len < kL2MinBufLen)
        grow_buffer(settings, kL2MinBufLen);
    burst_mode = (settings->test_flags & TEST_ISOCH) || (settings->extra_flags & EXT_BURST) ||
                 (!is_udp(settings) && (settings->test_flags & TEST_TRIP_TIMES));
    InitKernelTimeStamping();

    int32_t timeout_us = 0;
    if (settings->interval_mode == kInterval_Time)
        timeout_us = clamp_timeout_us(settings->interval_usec / 2.0);
    else if (settings->option_flags & OPT_TIME_SET)
        timeout_us = clamp_timeout_us(static_cast<double>(settings->amount) * 5000.0);
    if (burst_mode && settings->frame_rate > 0)
        timeout_us = clamp_timeout_us(2000000.0 / settings->frame_rate);
    // A test always wakes up now and then, so that one whose client went
    // away without its final datagram, or stopped sending, can end (see
    // RunUDP, RunTCP). Burst reads and bounceback keep their own rules.
    // Sockets shared with a sending direction keep their blocking reads.
    const bool plain_tcp = !is_udp(settings) && !burst_mode &&
                           !(settings->extra_flags & EXT_BOUNCEBACK) &&
                           !(settings->test_flags & (TEST_REVERSE | TEST_FULL_DUPLEX));
    if (timeout_us <= 0 && (is_udp(settings) || plain_tcp)) timeout_us = kIdleWake_us;
    if (plain_tcp && sock >= 0) enable_keepalive(sock);
    if (timeout_us > 0 && sock >= 0) SetSocketOptionsReceiveTimeout(sock, timeout_us);
}

Server::~Server() {
    if (drop_sock >= 0 && close(drop_sock) < 0) WARN_ERRNO("server close drop");
    drop_sock = -1;
}

void Server::InitKernelTimeStamping() {
    iov.iov_base = settings->buf;
    iov.iov_len = settings->buf_len > 0 ? static_cast<size_t>(settings->buf_len) : 0;
    message.msg_name = nullptr;
    message.msg_namelen = 0;
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof(control);
    message.msg_flags = 0;
    // Without kernel stamps packets carry the time of the read; that is the
    // documented fallback, so the failure is not reported.
    const int on = 1;
    if (sock >= 0) setsockopt(sock, SOL_SOCKET, SO_TIMESTAMP, &on, sizeof(on));
}

void Server::StampNow() {
    now = server_now();
}

bool Server::TimedOut() const {
    return timed && timestamp_after(record.packetTime, end_time);
}

void Server::ReportRecord() {
    if (report) ReportPacket(report, &record);
}

void Server::PostNullEvent() {
    record = PacketRecord{};
    record.packetTime = server_now();
    record.emptyreport = 1;
    ReportRecord();
}

void Server::ClientReverseFirstRead() {
    if (!((settings->test_flags & TEST_TRIP_TIMES) || (settings->extra_flags & EXT_BURST) ||
          (settings->test_flags & TEST_ISOCH)))
        return;
    char *buf = settings->buf;
    if (is_udp(settings)) {
        const ssize_t n = recv(sock, buf, static_cast<size_t>(settings->buf_len), 0);
        if (n < 0) {
            WARN_ERRNO("recvn-reverse");
            thread_stop(settings);
            return;
        }
        if (n == 0) peer_closed = true;
        if ((settings->test_flags & TEST_TRIP_TIMES) && n >= kTripStartUdpOffset + 8) {
            const Timestamp t = read_time(buf + kTripStartUdpOffset);
            settings->trip_start_sec = t.tv_sec;
            settings->trip_start_usec = t.tv_usec;
        } else {
            settings->trip_start_sec = now.tv_sec;
            settings->trip_start_usec = now.tv_usec;
        }
        record.packetID = 1;
        record.packetLen = n;
        return;
    }
    const int n = server_recv_all(sock, buf, 4);
    if (n == 0) {
        fprintf(stderr, "WARN: zero read on header flags\n");
        peer_closed = true;
        return;
    }
    if (n < 4) {
        WARN_ERRNO("client read tcp flags");
        thread_stop(settings);
        return;
    }
    record.packetID = 1;
    const int hdr_len = Settings_ClientTestHdrLen(read_be32(buf), settings);
    int have = 4;
    if (hdr_len > 4) {
        const int cap = static_cast<int>(Settings_BufferSize(settings->buf_len));
        if (hdr_len > cap || server_recv_all(sock, buf + 4, hdr_len - 4) != hdr_len - 4) {
            WARN_ERRNO("client read tcp test info");
            thread_stop(settings);
            return;
        }
        have = hdr_len;
    }
    if ((settings->test_flags & TEST_TRIP_TIMES) && have >= kTripStartTcpOffset + 8) {
        const Timestamp t = read_time(buf + kTripStartTcpOffset);
        settings->trip_start_sec = t.tv_sec;
        settings->trip_start_usec = t.tv_usec;
    } else {
        settings->trip_start_sec = now.tv_sec;
        settings->trip_start_usec = now.tv_usec;
    }
    settings->first_read_len = have;
}

bool Server::InitTrafficLoop() {
    report_node = InitIndividualReport(settings);
    if (!report_node) return false;
    report = static_cast<IndividualReport *>(report_node->this_report);
    stats = &report->info;
    record = PacketRecord{};
    // The report holds the group sum now; the table's reference goes.
    Toril_host_reported(settings);

    bool second_at_barrier = false;
    if ((settings->test_flags & TEST_FULL_DUPLEX) &&
        !(settings->test_flags & TEST_SERVER_REVERSE) && settings->fullduplex_report) {
        const int rc = fullduplex_start_barrier(&settings->fullduplex_report->fullduplex_barrier);
        if (rc < 0) exit(-1);
        second_at_barrier = rc == 1;
    }

    StampNow();
    if (settings->test_flags & TEST_REVERSE) {
        settings->accept_sec = now.tv_sec;
        settings->accept_usec = now.tv_usec;
        ClientReverseFirstRead();
    }
    const bool has_trip = settings->trip_start_sec != 0 || settings->trip_start_usec != 0;
    if ((settings->test_flags & TEST_TRIP_TIMES) && has_trip &&
        std::llabs(settings->trip_start_sec - now.tv_sec) > kTripWindow_s) {
        settings->test_flags &= ~TEST_TRIP_TIMES;
        printf(
            "WARN: ignore --trip-times because client didn't provide valid start timestamp "
            "within %d seconds of now\n",
            static_cast<int>(kTripWindow_s));
        settings->accept_sec = now.tv_sec;
        settings->accept_usec = now.tv_usec;
    }

    if (!timestamp_isset(stats->startTime)) {
        const bool txstart = (settings->test_flags & TEST_TXSTART) != 0;
        const Timestamp accept{settings->accept_sec, settings->accept_usec};
        const bool trip = (settings->test_flags & TEST_TRIP_TIMES) && has_trip;
        if (!trip)
            stats->startTime = (!timestamp_isset(accept) || txstart) ? now : accept;
        else
            stats->startTime =
                txstart ? now : Timestamp{settings->trip_start_sec, settings->trip_start_usec};
        stats->packetTime = stats->startTime;
        if (settings->interval_mode != kInterval_None && timestamp_isset(stats->intervalTime)) {
            stats->nextTime = stats->startTime;
            stats->nextTime.tv_sec += stats->intervalTime.tv_sec;
            stats->nextTime = server_time_add_us(stats->nextTime, stats->intervalTime.tv_usec);
        }
    }
    auto adopt_start = [this](SumReport *sum) {
        pthread_mutex_lock(&sum->reference_mutex);
        if (!timestamp_isset(sum->info.startTime)) {
            sum->info.startTime = stats->startTime;
            if (settings->interval_mode == kInterval_Time) {
                sum->info.nextTime = server_time_add_us(
                    Timestamp{stats->startTime.tv_sec + sum->info.intervalTime.tv_sec,
                              stats->startTime.tv_usec},
                    sum->info.intervalTime.tv_usec);
            }
        }
        pthread_mutex_unlock(&sum->reference_mutex);
    };
    if (settings->sum_report) adopt_start(settings->sum_report);
    if (second_at_barrier && settings->fullduplex_report) adopt_start(settings->fullduplex_report);

    const bool time_mode = (settings->option_flags & OPT_TIME_MODE) != 0;
    if ((settings->option_flags & OPT_TIME_SET) || (time_mode && reverse_like(settings)) ||
        (settings->extra_flags & EXT_BOUNCEBACK)) {
        if (reverse_like(settings)) settings->amount += kReverseExtra;
        const uint64_t capped_amount =
            settings->amount > 100000000ULL ? 100000000ULL : settings->amount;
        set_itimer(static_cast<int64_t>(capped_amount) * 10000);
        timer_armed = true;
        timed = true;
        end_time = server_time_add_us(now, static_cast<int64_t>(capped_amount) * 10000);
    }

    if (!(settings->option_flags & OPT_SINGLE_UDP)) PostReport(report_node);

    if (settings->first_read_len > 0) {
        record.packetLen = settings->first_read_len;
        record.emptyreport = 0;
        if (!is_udp(settings)) {
            record.packetTime = stats->startTime;
            record.packetID = settings->first_read_len;
            total_bytes = static_cast<uint64_t>(settings->first_read_len);
            ReportRecord();
            return true;
        }
        // Through a tap device the listener read a whole frame: the datagram
        // starts after the link, IP and UDP headers, and only its payload
        // counts, as for every later frame.
        int offset = 0;
        if ((settings->extra_flags & EXT_TAP_DEV) && settings->l2_payload_offset > 0) {
            record.l2len = static_cast<uint32_t>(settings->first_read_len);
            L2_processing();
            offset = settings->l2_payload_offset;
        }
        UdpHdr hdr{};
        if (!(record.l2errors & L2UNKNOWN) && settings->first_read_len > offset &&
            hdr_udp_read(reinterpret_cast<const uint8_t *>(settings->buf) + offset,
                         settings->first_read_len - offset,
                         (settings->test_flags & TEST_SEQNO64) != 0, &hdr) == kHdr_Ok) {
            record.sentTime = Timestamp{hdr.sent_sec, hdr.sent_usec};
            record.packetTime = Timestamp{settings->accept_sec, settings->accept_usec};
            if (!timestamp_isset(record.packetTime)) record.packetTime = now;
            prev_packet_time = record.packetTime;
            prev_sent_time = record.sentTime;
            record.prevPacketTime = record.packetTime;
            record.prevSentTime = record.sentTime;
            const bool final = hdr.seqno < 0;
            record.packetID = final ? udp_seqno_magnitude(hdr.seqno) : hdr.seqno;
            ReportRecord();
            if (final) {
                final_seen = true;
                return false;
            }
        }
    }
    return true;
}

void Server::EndTest(bool send_server_report) {
    if (timer_armed) {
        disarm_itimer();
        timer_armed = false;
    }
    // The host leaves the table before the last record: once the reporter
    // has taken it, the group sum may be gone, and a node still listing it
    // would hand it to the next test of the same host.
    Toril_remove_host(settings);
    if (report_node) {
        record.packetTime = server_now();
        record.packetLen = 0;
        record.emptyreport = 1;
        const bool leaves_fullduplex = report && report->FullDuplexReport;
        EndJob(report_node, &record);
        if (leaves_fullduplex) settings->fullduplex_report = nullptr;  // left in EndJob
        if (send_server_report && is_udp(settings) && !(settings->option_flags & OPT_MULTICAST) &&
            !(settings->test_flags & TEST_NO_UDP_FIN)) {
            const UdpServerReport ack = BuildServerReport(settings, *stats);
            const int ack_sock = drop_sock >= 0 ? drop_sock : sock;
            write_UDP_AckFIN(ack, ack_sock, settings->buf_len);
        }
    }
    // Both directions of a full-duplex test share the socket; the sending
    // side closes it.
    const bool shared = (settings->test_flags & TEST_FULL_DUPLEX) != 0;
    if (!shared && sock >= 0) {
        if (close(sock) < 0) WARN_ERRNO("server close");
        settings->sock = -1;
        sock = -1;
    }
    if (report_node) {
        FreeReport(report_node);
        report_node = nullptr;
        report = nullptr;
        stats = nullptr;
    }
}

UdpServerReport Server::BuildServerReport(const thread_Settings *s, const StreamStats &st) {
    UdpServerReport r{};
    r.enhanced = (s->option_flags & OPT_ENHANCED) || (s->test_flags & TEST_TRIP_TIMES);
    r.seqno64 = true;
    r.total_bytes = st.TotalBytes > 0 ? static_cast<uint64_t>(st.TotalBytes) : 0;
    const double end_s = timestamp_diff_s(st.packetTime, st.startTime);
    r.end_time_s = end_s > 0 ? end_s : 0.0;
    r.lost = st.TotalErrors > 0 ? static_cast<uint64_t>(st.TotalErrors) : 0;
    r.out_of_order = st.TotalOutofOrder > 0 ? static_cast<uint64_t>(st.TotalOutofOrder) : 0;
    const int64_t datagrams = st.PacketID > st.TotalDatagrams ? st.PacketID : st.TotalDatagrams;
    r.datagrams = datagrams > 0 ? static_cast<uint64_t>(datagrams) : 0;
    r.jitter_s = st.jitter;
    if (st.total_transit.cnt > 0) {
        r.transit_min_s = st.total_transit.min;
        r.transit_max_s = st.total_transit.max;
        r.transit_sum_s = st.total_transit.sum;
        r.transit_mean_s = st.total_transit.mean;
        r.transit_m2_s2 = st.total_transit.m2;
        r.transit_variance_term = st.total_transit.last_delta;
        r.transit_count = static_cast<uint32_t>(st.total_transit.cnt);
    }
    const double rate = r.end_time_s > 0 ? static_cast<double>(r.datagrams) / r.end_time_s : 0.0;
    r.ipg_count = rate >= 4294967295.0 ? UINT32_MAX : static_cast<uint32_t>(rate);
    r.ipg_sum = 1;
    return r;
}

// --- TCP ---

void Server::PaceRead(int64_t *budget_bytes, Timestamp *last) {
    const Timestamp t = server_now();
    const double elapsed_s = timestamp_diff_s(t, *last);
    *last = t;
    if (elapsed_s > 0) {
        const double grown = elapsed_s * static_cast<double>(settings->rate) / 8.0;
        *budget_bytes += grown > 1e15 ? static_cast<int64_t>(1e15) : static_cast<int64_t>(grown);
    }
    while (*budget_bytes < 0 && !sInterupted.load()) {
        delay_loop(4);
        const Timestamp t2 = server_now();
        const double more_s = timestamp_diff_s(t2, *last);
        *last = t2;
        if (more_s > 0) *budget_bytes += static_cast<int64_t>(more_s * settings->rate / 8.0);
    }
}

bool Server::ReadBurstHeader(int *bytes) {
    char *buf = settings->buf;
    const int n = server_recv_all(sock, buf, kTcpBurstHdrLen);
    if (n < kTcpBurstHdrLen) {
        if (n > 0) WARN("partial readn");
        peer_closed = true;
        return false;
    }
    TcpBurstHdr hdr{};
    if (hdr_burst_read(reinterpret_cast<const uint8_t *>(buf), n, &hdr) != kHdr_Ok) {
        WARN("invalid burst read req size");
        peer_closed = true;
        return false;
    }
    record.frameID = hdr.burst_id;
    record.burstsize = hdr.burst_size;
    if (settings->test_flags & TEST_TRIP_TIMES) {
        record.sentTime = Timestamp{hdr.write_sec, hdr.write_usec};
    } else if (settings->test_flags & TEST_ISOCH) {
        record.sentTime = stats->startTime;
        burst_period_us = hdr.period_us;
    }
    // Periodic bursts without trip times or frames carry no usable send
    // time: the record keeps the previous one and no frame clock, so the
    // reporter sees no transit for them.
    frame_time = record.sentTime;
    burst_remaining = static_cast<int64_t>(hdr.burst_size) - kTcpBurstHdrLen;
    *bytes = kTcpBurstHdrLen;
    if (burst_remaining <= 0) {
        WARN("invalid burst read req size");
        if (burst_remaining == 0) record.transit_ready = 1;
        burst_remaining = 0;
    }
    return true;
}

void Server::RunTCP() {
    if (!InitTrafficLoop()) {
        EndTest(false);
        return;
    }
    char *buf = settings->buf;
    const bool rate_set = (settings->option_flags & OPT_RATE_SET) && settings->rate > 0;
    const bool quickack = (settings->extra_flags & EXT_QUICKACK) != 0;
    const bool reverse_bytes =
        (settings->test_flags & TEST_REVERSE) && !(settings->option_flags & OPT_TIME_MODE);
    frame_time = stats->startTime;
    record.packetTime = server_now();
    int64_t budget_bytes = 0;
    Timestamp budget_time = record.packetTime;
    bool in_burst = false;
    int64_t last_data_s = monotonic_s();

    while (!sInterupted.load() && !peer_closed && !TimedOut()) {
        record.emptyreport = 1;
        record.transit_ready = 0;
        int bytes = 0;
        if (rate_set) PaceRead(&budget_bytes, &budget_time);
        if (quickack) {
            const int on = 1;
            if (setsockopt(sock, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof(on)) < 0)
                WARN_ERRNO("setsockopt TCP_QUICKACK");
        }
        if (burst_mode && !in_burst) {
            if (!ReadBurstHeader(&bytes)) break;
            in_burst = burst_remaining > 0;
        }
        if (!burst_mode || in_burst) {
            int want = settings->buf_len;
            if (burst_mode && burst_remaining < want) want = static_cast<int>(burst_remaining);
            const ssize_t n = recv(sock, buf, static_cast<size_t>(want), 0);
            if (n == 0) {
                peer_closed = true;
            } else if (n < 0) {
                if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                    WARN_ERRNO("recv");
                    peer_closed = true;
                } else if (!burst_mode && monotonic_s() - last_data_s > kTcpIdleLimit_s) {
                    fprintf(stderr, "WARN: no data for %d seconds, test ended\n",
                            static_cast<int>(kTcpIdleLimit_s));
                    peer_closed = true;
                }
            } else {
                last_data_s = monotonic_s();
                bytes += static_cast<int>(n);
                if (burst_mode) {
                    burst_remaining -= n;
                    if (burst_remaining <= 0) {
                        in_burst = false;
                        record.sentTime = frame_time;
                        if (settings->test_flags & (TEST_TRIP_TIMES | TEST_ISOCH))
                            record.isochStartTime = record.sentTime;
                        if (settings->test_flags & TEST_ISOCH) record.burstperiod = burst_period_us;
                        record.transit_ready = 1;
                    }
                }
            }
        }
        record.packetTime = server_now();
        record.packetLen = bytes;
        if (bytes > 0) {
            record.emptyreport = 0;
            total_bytes += static_cast<uint64_t>(bytes);
            record.packetID = static_cast<int64_t>(total_bytes);
            if (rate_set) budget_bytes -= bytes;
        }
        ReportRecord();
        if (reverse_bytes && total_bytes >= settings->amount) break;
    }
    EndTest(false);
}

// --- Bounceback ---

void Server::RunBounceBackTCP() {
    if (!InitTrafficLoop()) {
        EndTest(false);
        return;
    }
    char *buf = settings->buf;
    const int size = settings->bounceback_size;
    const int on = 1;
    if (setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on)) < 0)
        WARN_ERRNO("setsockopt BB TCP_NODELAY");
    settings->option_flags |= OPT_NODELAY;
    int32_t timeout_us = 0;
    if (settings->interval_mode == kInterval_Time)
        timeout_us = clamp_timeout_us(settings->interval_usec / 2.0);
    else if (settings->option_flags & OPT_TIME_MODE)
        timeout_us = clamp_timeout_us(static_cast<double>(settings->amount) * 5000.0);
    if (timeout_us > 0) {
        SetSocketOptionsSendTimeout(sock, timeout_us);
        SetSocketOptionsReceiveTimeout(sock, timeout_us);
    }
    // The listener read the first message and stamped its receive time; it
    // was reported as the first read by InitTrafficLoop.
    const bool quickack = (settings->extra_flags & EXT_QUICKACK) != 0;
    while (!sInterupted.load() && !peer_closed && !TimedOut()) {
        if (settings->bounceback_hold > 0) {
            if (quickack) setsockopt(sock, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof(on));
            delay_loop(static_cast<uint64_t>(settings->bounceback_hold));
        }
        const Timestamp sent = server_now();
        hdr_bounceback_stamp_send(reinterpret_cast<uint8_t *>(buf), static_cast<size_t>(size),
                                  sent.tv_sec, sent.tv_usec, settings->tos);
        const int written = server_send_all(sock, buf, size);
        record = PacketRecord{};
        record.packetTime = server_now();
        record.packetLen = written;
        record.sentTimeTX = sent;
        record.sentTime = read_time(buf + kBbClientSendOffset);
        record.emptyreport = written > 0 ? 0 : 1;
        record.errwrite = written < size ? kWriteErr_Fatal : kWriteErr_None;
        ReportRecord();
        if (written < size) break;

        int got = 0;
        for (;;) {
            got = server_recv_all(sock, buf, size);
            if (got == 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && !sInterupted.load()) {
                PostNullEvent();
                continue;
            }
            break;
        }
        if (got == 0 && errno == 0) {
            peer_closed = true;
            break;
        }
        if (got < size) break;
        if (read_be16(buf + kBbFlagsOffset) & HDR_BB_STOP) break;
        const Timestamp received = server_now();
        hdr_bounceback_stamp_recv(reinterpret_cast<uint8_t *>(buf), static_cast<size_t>(size),
                                  received.tv_sec, received.tv_usec);
        record = PacketRecord{};
        record.packetTime = received;
        record.packetLen = got;
        record.sentTime = read_time(buf + kBbClientSendOffset);
        record.sentTimeRX = received;
        ReportRecord();
    }
    EndTest(false);
}
