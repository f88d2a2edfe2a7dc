// The UDP sending loops of a client: datagrams paced by accumulated lag, and
// isochronous frames of log-normal size.
#include <errno.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <climits>

#include "common/delay.h"
#include "common/signals.h"
#include "common/warn.h"
#include "toril/core/headers.h"
#include "toril/endpoints/client.h"
#include "toril/endpoints/client_time.h"

namespace {

constexpr int64_t kVariancePeriod_us = 100000;
constexpr double kMinSleep_ns = 100000;  // shorter lags are absorbed by sending back to back
constexpr double kMinIsochSleep_ns = 1000;

// Shared by every UDP stream of the process: the last time a stream drew a
// new rate (microseconds of the wall clock; 0 before first use).
std::atomic<int64_t> udp_variance_time_us{0};

bool variance_due(const Timestamp &now) {
    const int64_t now_us = now.tv_sec * 1000000 + now.tv_usec;
    int64_t last = udp_variance_time_us.load(std::memory_order_relaxed);
    if (last != 0 && now_us - last < kVariancePeriod_us) return false;
    return udp_variance_time_us.compare_exchange_strong(last, now_us, std::memory_order_relaxed);
}

// Errors after which a UDP loop goes on: the datagram is counted as failed.
bool transient_udp_error(int err) {
    return err == EAGAIN || err == EWOULDBLOCK || err == EINTR || err == ECONNREFUSED ||
           err == ENOBUFS;
}

// Port unreachable answers to the server end's datagrams before it gives
// up: more than a stray one left over from an earlier test on the port.
constexpr int kPeerRefusalLimit = 5;

}  // namespace

// A client on the peer's side keeps its port open for the whole test, so
// refusals mean it went away (or a forged header named a port that was never
// open): sending on for the requested time would only hold a thread.
bool Client::PeerRefused(int err) {
    if (err != ECONNREFUSED || !(settings_->test_flags & TEST_SERVER_REVERSE)) return false;
    return ++refusals_ >= kPeerRefusalLimit;
}

void Client::RunUDP() {
    thread_Settings *s = settings_;
    auto *buf = reinterpret_cast<uint8_t *>(s->buf);
    const bool pps = s->rate_units == kRate_PPS;
    const double rate = static_cast<double>(s->rate);
    double delay_ns = 0;
    if (s->test_flags & TEST_IPG)
        delay_ns = s->burst_ipg * 1e6;
    else if (rate > 0)
        delay_ns = pps ? 1e9 / rate : s->buf_len * 8.0 * 1e9 / rate;
    const bool variance = (s->test_flags & TEST_RATE_VARIANCE) && !pps;
    // The schedule starts at the test's start, when the header datagram went
    // out and the reports' clocks start: the set-up since then (or a late
    // wake-up) is made up instead of lost, and the header takes the first
    // slot. The first data datagram is due one target after it.
    double lag_ns = 0;
    Timestamp prev = client_now();
    if (timestamp_isset(start_time_) && !timestamp_after(start_time_, prev)) {
        if (first_payload_sent_) {
            const double due_ns = delay_ns - static_cast<double>(ts_diff_ns(prev, start_time_));
            if (delay_ns > kMinSleep_ns && due_ns >= kMinSleep_ns)
                delay_loop(static_cast<uint64_t>(due_ns / 1000));
            lag_ns = delay_ns;
        }
        prev = start_time_;
    }
    bool last_ok = true;
    while (InProgress()) {
        now_ = client_now();
        record_.packetTime = now_;
        record_.sentTime = now_;
        record_.writecnt = 1;
        if (variance && variance_due(now_)) {
            float sample = lognormal(static_cast<float>(s->rate), static_cast<float>(s->variance));
            const int64_t bps = sample < 0 ? 0 : static_cast<int64_t>(sample);
            // A sampled rate of 0 would mean an endless gap: send at once instead.
            delay_ns = bps > 0 ? s->buf_len * 8.0 * 1e9 / static_cast<double>(bps) : 0;
        }
        hdr_udp_write(buf, kUdpHdrLen, UdpHdr{record_.packetID, now_.tv_sec, now_.tv_usec});
        lag_ns += static_cast<double>(ts_diff_ns(prev, now_));
        if (last_ok) lag_ns += delay_ns;
        prev = now_;
        if (lag_ns < static_cast<double>(lag_floor_ns_)) lag_ns = delay_ns;
        const int64_t len = write_size(s->buf_len);
        const ssize_t n = send(sock_, buf, static_cast<size_t>(len), 0);
        if (n < 0) {
            last_ok = false;
            record_.packetLen = 0;
            record_.emptyreport = 1;
            if (!transient_udp_error(errno) || PeerRefused(errno)) {
                record_.errwrite = kWriteErr_Fatal;
                WARN_ERRNO("write");
                ReportRecord();
                break;
            }
            record_.errwrite = kWriteErr_Accountable;
        } else {
            last_ok = true;
            record_.packetLen = n;
            consume_amount(n);
        }
        record_.prevPacketTime = last_packet_time_;
        ReportRecord();
        if (last_ok) ++record_.packetID;
        last_packet_time_ = now_;
        if (lag_ns >= kMinSleep_ns) delay_loop(static_cast<uint64_t>(lag_ns / 1000));
    }
}

void Client::RunUDPIsochronous() {
    thread_Settings *s = settings_;
    auto *buf = reinterpret_cast<uint8_t *>(s->buf);
    const size_t cap = Settings_BufferSize(s->buf_len);
    if (!frame_counter_) frame_counter_ = new Isochronous::FrameCounter(s->frame_rate);
    UdpIsochFields fields{};
    fields.period_us = frame_counter_->period_us();
    hdr_isoch_write(buf, cap, fields);
    // The smallest datagram worth sending carries the test header (at least
    // the datagram header).
    const int64_t min_len = std::max(header_len_, kUdpHdrLen);
    const double ipg_ns = s->burst_ipg * 1e6;
    uint32_t prev_frame = 0;
    bool last_ok = true;
    bool first_frame = true;
    bool fatal = false;
    while (!fatal && InProgress()) {
        const double frame_bits =
            lognormal(static_cast<float>(s->isoch_mean), static_cast<float>(s->variance));
        int64_t frame_bytes = static_cast<int64_t>(frame_bits / (s->frame_rate * 8));
        frame_bytes = std::min<int64_t>(std::max(frame_bytes, min_len), UINT32_MAX);
        fields.prev_frame_id = prev_frame;
        fields.frame_bytes = static_cast<uint32_t>(frame_bytes);
        record_.burstsize = static_cast<uint64_t>(frame_bytes);
        const uint32_t frame = static_cast<uint32_t>(frame_counter_->wait_tick());
        fields.frame_id = frame;
        const Timestamp frame_start = client_now();
        if (first_frame) {
            fields.start_sec = frame_start.tv_sec;
            fields.start_usec = frame_start.tv_usec;
            first_frame = false;
        }
        record_.frameID = frame;
        record_.prevframeID = prev_frame;
        record_.burstperiod = fields.period_us;
        record_.isochStartTime = {fields.start_sec, fields.start_usec};
        double lag_ns = 0;
        Timestamp prev = frame_start;
        int64_t remaining = frame_bytes;
        while (remaining > 0 && !Stopping()) {
            now_ = client_now();
            record_.packetTime = now_;
            record_.sentTime = now_;
            record_.writecnt = 1;
            hdr_udp_write(buf, kUdpHdrLen, UdpHdr{record_.packetID, now_.tv_sec, now_.tv_usec});
            lag_ns += static_cast<double>(ts_diff_ns(prev, now_));
            if (last_ok) lag_ns += ipg_ns;
            prev = now_;
            int64_t len = std::min<int64_t>(remaining, s->buf_len);
            if (byte_mode() && s->amount < static_cast<uint64_t>(s->buf_len))
                len = std::min<int64_t>(len, static_cast<int64_t>(s->amount));
            fields.remaining = static_cast<uint32_t>(remaining);
            record_.remaining = static_cast<uint64_t>(remaining);
            hdr_isoch_write(buf, cap, fields);
            const ssize_t n = len > 0 ? send(sock_, buf, static_cast<size_t>(len), 0) : 0;
            if (n < 0) {
                last_ok = false;
                record_.packetLen = 0;
                record_.emptyreport = 1;
                if (!transient_udp_error(errno) || PeerRefused(errno)) {
                    record_.errwrite = kWriteErr_Fatal;
                    WARN_ERRNO("write");
                    ReportRecord();
                    fatal = true;
                    break;
                }
                record_.errwrite = kWriteErr_Accountable;
            } else {
                last_ok = true;
                record_.packetLen = n;
                consume_amount(n);
                remaining -= n;
                if (remaining <= 0) {
                    record_.transit_ready = 1;
                } else if (remaining < min_len) {
                    // A tail shorter than the header still goes out as a whole
                    // header-sized datagram.
                    remaining = min_len;
                    fields.frame_bytes = static_cast<uint32_t>(min_len);
                    record_.burstsize = static_cast<uint64_t>(min_len);
                }
            }
            record_.prevPacketTime = last_packet_time_;
            ReportRecord();
            if (last_ok) ++record_.packetID;
            last_packet_time_ = now_;
            if (len == 0) break;
            if (lag_ns >= kMinIsochSleep_ns) delay_loop(static_cast<uint64_t>(lag_ns / 1000));
        }
        prev_frame = frame;
    }
}
