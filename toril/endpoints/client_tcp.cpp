// The TCP sending loops of a client: plain writes with frames and bursts,
// the token bucket, near-congestion pacing, write events and bounceback.
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/select.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstring>

#include "common/delay.h"
#include "common/io.h"
#include "common/signals.h"
#include "common/sockopt.h"
#include "common/warn.h"
#include "toril/core/headers.h"
#include "toril/endpoints/client.h"
#include "toril/endpoints/client_time.h"

namespace {

constexpr int64_t kVariancePeriod_us = 100000;
constexpr int64_t kTokenWait_us = 4;
constexpr int kBounceBackFill = 60;

// Shared by every rate-limited TCP stream of the process: the last time a
// stream drew a new rate (microseconds of the wall clock; 0 before first use).
std::atomic<int64_t> tcp_variance_time_us{0};

// True for the caller that may draw the next rate now.
bool variance_due(std::atomic<int64_t> &shared, const Timestamp &now) {
    const int64_t now_us = now.tv_sec * 1000000 + now.tv_usec;
    int64_t last = shared.load(std::memory_order_relaxed);
    if (last != 0 && now_us - last < kVariancePeriod_us) return false;
    return shared.compare_exchange_strong(last, now_us, std::memory_order_relaxed);
}

bool transient_tcp_error(int err) {
    return err == EAGAIN || err == EWOULDBLOCK || err == EINTR;
}

}  // namespace

void Client::WriteBurstHeader(uint32_t burst_id, uint32_t burst_size) {
    const Timestamp now = client_now();
    const uint64_t byte_count = static_cast<uint64_t>(record_.packetID) + burst_size;
    TcpBurstHdr hdr{};
    hdr.start_sec = start_time_.tv_sec;
    hdr.start_usec = start_time_.tv_usec;
    hdr.write_sec = now.tv_sec;
    hdr.write_usec = now.tv_usec;
    hdr.period_us = frame_counter_ ? frame_counter_->period_us() : 0;
    hdr.burst_id = burst_id;
    hdr.burst_size = burst_size;
    hdr.byte_count = byte_count;
    hdr_burst_write(reinterpret_cast<uint8_t *>(settings_->buf),
                    Settings_BufferSize(settings_->buf_len), hdr);
    record_.packetID = static_cast<int64_t>(byte_count);
    record_.frameID = burst_id;
    record_.burstsize = burst_size;
    record_.sentTime = now;
    frame_time_ = now;
}

int Client::WritableTimeoutUs() const {
    const thread_Settings *s = settings_;
    int64_t us = 10000000;
    if (time_mode()) {
        if (s->interval_mode == kInterval_Time && s->interval_usec > 0)
            us = 2 * static_cast<int64_t>(s->interval_usec);
        else
            us = static_cast<int64_t>(std::min<uint64_t>(s->amount, INT32_MAX / 40000)) * 40000;
    }
    return us > INT32_MAX ? INT32_MAX : static_cast<int>(us);
}

bool Client::AwaitWritable() {
    const int timeout_us = WritableTimeoutUs();
    fd_set set;
    FD_ZERO(&set);
    FD_SET(sock_, &set);
    timeval tv{timeout_us / 1000000, timeout_us % 1000000};
    const int rc = select(sock_ + 1, nullptr, &set, nullptr, &tv);
    if (rc < 0) {
        if (errno != EINTR) WARN_ERRNO("select");
        return false;
    }
    return rc > 0;
}

bool Client::WriteTcp(const char *buf, int64_t len) {
    const bool write_times = settings_->extra_flags & EXT_WRITE_TIMES;
    if (write_times) write_start_ = client_now();
    const ssize_t n = send(sock_, buf, static_cast<size_t>(len), MSG_NOSIGNAL);
    now_ = client_now();
    record_.packetTime = now_;
    ++record_.writecnt;
    if (n > 0) {
        record_.packetLen = n;
        record_.sentTime = now_;
        if (write_times) record_.write_time = ts_diff_us(now_, write_start_);
        consume_amount(n);
        total_bytes_ += n;
        return true;
    }
    record_.packetLen = 0;
    record_.emptyreport = 1;
    if (n == 0) {
        peer_closed_ = true;
        return true;
    }
    if (transient_tcp_error(errno)) {
        record_.errwrite = kWriteErr_Accountable;
        return true;
    }
    record_.errwrite = kWriteErr_Fatal;
    WARN_ERRNO("tcp write");
    peer_closed_ = true;
    return false;
}

void Client::RunTCP() {
    thread_Settings *s = settings_;
    const bool burst_mode = s->extra_flags & EXT_BURST;
    const bool isoch = s->test_flags & TEST_ISOCH;
    const bool prefetch = s->extra_flags & EXT_WRITE_PREFETCH;
    int64_t burst_size = 0;
    int64_t burst_remaining = 0;
    uint32_t burst_counter = 0;
    record_.packetTime = client_now();
    record_.write_time = 0;
    while (InProgress()) {
        if (!frame_job_) {
            if (!WriteTcp(s->buf, write_size(s->buf_len))) {
                ReportRecord();
                break;
            }
        } else if (burst_remaining <= 0) {
            int64_t size = s->buf_len;
            if (isoch)
                size = static_cast<int64_t>(
                    lognormal(static_cast<float>(s->isoch_mean), static_cast<float>(s->variance)) /
                    (s->frame_rate * 8));
            else if (burst_mode)
                size = s->burst_size;
            size = std::max<int64_t>(std::min<int64_t>(size, UINT32_MAX), kTcpBurstHdrLen);
            const uint32_t burst_id = frame_counter_
                                          ? static_cast<uint32_t>(frame_counter_->wait_tick())
                                          : ++burst_counter;
            if (burst_mode) {
                frame_time_ = record_.packetTime;
                now_ = client_now();
                record_.packetTime = now_;
                if (Stopping()) {
                    record_.emptyreport = 1;
                    record_.packetLen = 0;
                    break;
                }
                PostNullEvent();
            }
            if (prefetch) AwaitWritable();
            WriteBurstHeader(burst_id, static_cast<uint32_t>(size));
            // In byte mode the stream ends at the amount, even inside a burst.
            const int first = static_cast<int>(write_size(std::min<int64_t>(size, s->buf_len)));
            int err = 0;
            const int n = writen(sock_, s->buf, first, &record_.writecnt, &err);
            now_ = client_now();
            record_.packetTime = now_;
            record_.packetLen = n;
            consume_amount(n);
            total_bytes_ += n;
            burst_size = size;
            burst_remaining = size - n;
            if (err != 0 && !writen_timed_out(err)) {
                // A broken peer ends this stream (writen said why).
                if (n < kTcpBurstHdrLen) WARN("burst written");
                record_.errwrite = kWriteErr_Fatal;
                peer_closed_ = true;
                ReportRecord();
                break;
            }
            // A send timeout is the peer's pace: this write counts as failed
            // and the burst goes on in the next pass.
            if (n < first && err != 0) record_.errwrite = kWriteErr_Accountable;
        } else {
            // The burst continues where the last write stopped while the
            // first buffer's worth (which holds the burst header) is not out.
            const int64_t done = burst_size - burst_remaining;
            const int64_t offset = done < s->buf_len ? done : 0;
            const int64_t len = std::min<int64_t>(burst_remaining, s->buf_len - offset);
            if (!WriteTcp(s->buf + offset, write_size(len))) {
                ReportRecord();
                break;
            }
            burst_remaining -= record_.packetLen;
        }
        if (frame_job_) {
            if (burst_remaining <= 0) {
                record_.transit_ready = 1;
                record_.prevSentTime = frame_time_;
            } else {
                record_.transit_ready = 0;
            }
        }
        if (!skip_per_write_reports_) ReportRecord();
    }
}

void Client::RunRateLimitedTCP() {
    thread_Settings *s = settings_;
    const bool trip = s->test_flags & TEST_TRIP_TIMES;
    const bool variance = s->test_flags & TEST_RATE_VARIANCE;
    double tokens = 0;
    double rate_bps = static_cast<double>(s->rate);
    uint32_t burst_id = 1;
    int64_t burst_remaining = 0;
    Timestamp accounted = client_now();
    while (InProgress()) {
        now_ = client_now();
        if (variance && variance_due(tcp_variance_time_us, now_)) {
            rate_bps = lognormal(static_cast<float>(s->rate), static_cast<float>(s->variance));
            if (rate_bps < 0) rate_bps = 0;
        }
        tokens += timestamp_diff_s(now_, accounted) * rate_bps / 8;
        accounted = now_;
        if (tokens < 0) {
            delay_loop(kTokenWait_us);
            continue;
        }
        int64_t len = write_size(s->buf_len);
        int hdr = 0;
        // Where this pass's bytes start in buf: a burst is the buffer's
        // bytes in order, header first.
        int64_t offset = 0;
        if (trip) {
            if (burst_remaining <= 0) {
                burst_remaining = s->buf_len;
                WriteBurstHeader(burst_id, static_cast<uint32_t>(s->buf_len));
            }
            offset = s->buf_len - burst_remaining;
            if (offset < kTcpBurstHdrLen) {
                // The header (or what a send timeout left of it) goes out whole
                // before the rest of the burst.
                const int want = static_cast<int>(kTcpBurstHdrLen - offset);
                int err = 0;
                hdr = writen(sock_, s->buf + offset, want, &record_.writecnt, &err);
                burst_remaining -= hdr;
                offset += hdr;
                if (hdr < want) {
                    if (err != 0 && !writen_timed_out(err)) {
                        WARN("burst hdr write failed");
                        peer_closed_ = true;
                        break;
                    }
                    // Timed out (or interrupted): what went out counts, the
                    // header is finished in a later pass.
                    record_.errwrite = kWriteErr_Accountable;
                    len = 0;
                }
            }
            len = std::min(std::max<int64_t>(len - hdr, 0), burst_remaining);
        }
        ++record_.writecnt;
        const ssize_t n =
            len > 0 ? send(sock_, s->buf + offset, static_cast<size_t>(len), MSG_NOSIGNAL) : 0;
        bool fatal = false;
        if (n >= 0) {
            record_.packetLen = hdr + n;
            total_bytes_ += record_.packetLen;
            tokens -= static_cast<double>(record_.packetLen);
            if (trip) burst_remaining -= n;
            if (n == 0 && len > 0) peer_closed_ = true;
        } else if (transient_tcp_error(errno)) {
            record_.errwrite = kWriteErr_Accountable;
            record_.packetLen = hdr;
        } else {
            record_.errwrite = kWriteErr_Fatal;
            record_.packetLen = hdr;
            WARN_ERRNO("write");
            fatal = true;
        }
        if (trip && burst_remaining <= 0) {
            record_.transit_ready = 1;
            ++burst_id;
        }
        now_ = client_now();
        record_.packetTime = now_;
        record_.sentTime = now_;
        consume_amount(record_.packetLen);
        if (!skip_per_write_reports_ || fatal) ReportRecord();
        if (fatal) {
            peer_closed_ = true;
            break;
        }
    }
}

void Client::RunNearCongestionTCP() {
    thread_Settings *s = settings_;
    const int64_t size = s->buf_len;
    int64_t burst_remaining = 0;
    uint32_t burst_id = 0;
    int64_t burst_bytes = 0;
    while (InProgress()) {
        if (burst_remaining <= 0) {
            WriteBurstHeader(++burst_id, static_cast<uint32_t>(size));
            burst_remaining = size;
            burst_bytes = 0;
        }
        // Continue the burst where the last write stopped, so the stream
        // carries one contiguous burst with its header at the front.
        const int64_t offset = size - burst_remaining;
        const int64_t len = write_size(burst_remaining);
        ++record_.writecnt;
        const ssize_t n = send(sock_, s->buf + offset, static_cast<size_t>(len), MSG_NOSIGNAL);
        now_ = client_now();
        record_.packetTime = now_;
        if (n < 0) {
            if (transient_tcp_error(errno)) continue;
            WARN_ERRNO("tcp write");
            record_.errwrite = kWriteErr_Fatal;
            record_.packetLen = burst_bytes;
            ReportRecord();
            burst_bytes = 0;
            peer_closed_ = true;
            break;
        }
        if (n == 0) {
            peer_closed_ = true;
            break;
        }
        burst_remaining -= n;
        burst_bytes += n;
        total_bytes_ += n;
        consume_amount(n);
        if (burst_remaining <= 0) {
            record_.transit_ready = 1;
            record_.packetLen = burst_bytes;
            ReportRecordKeep();
            const double pause_us =
                std::ceil(static_cast<double>(record_.tcpstats.rtt_us) * s->near_congest_weight);
            ClearRecord();
            burst_bytes = 0;
            if (pause_us >= 1) delay_loop(static_cast<uint64_t>(pause_us));
        }
    }
    // A burst cut short by the end of the test still moved its bytes.
    if (burst_bytes > 0) {
        record_.packetLen = burst_bytes;
        ReportRecord();
    }
}

void Client::RunWriteEventsTCP() {
    thread_Settings *s = settings_;
    const bool write_times = s->extra_flags & EXT_WRITE_TIMES;
    uint32_t event = 0;
    int64_t event_size = 0;
    int64_t event_remaining = 0;
    while (InProgress()) {
        write_start_ = client_now();
        if (!AwaitWritable()) {
            now_ = client_now();
            record_.packetTime = now_;
            record_.packetLen = 0;
            record_.emptyreport = 1;
            if (!skip_per_write_reports_) ReportRecord();
            continue;
        }
        // An event cut short by a send timeout is finished first, so the
        // server still reads whole events.
        if (event_remaining <= 0) {
            event_size = write_size(s->buf_len);
            event_remaining = event_size;
            WriteBurstHeader(++event, static_cast<uint32_t>(event_size));
        }
        const int64_t offset = event_size - event_remaining;
        int err = 0;
        const int n = writen(sock_, s->buf + offset, static_cast<int>(event_remaining),
                             &record_.writecnt, &err);
        now_ = client_now();
        record_.packetTime = now_;
        event_remaining -= n;
        if (err != 0 && !writen_timed_out(err)) {
            // A broken peer ends this stream (writen said why).
            peer_closed_ = true;
            record_.errwrite = kWriteErr_Fatal;
        } else if (err != 0) {
            record_.errwrite = kWriteErr_Accountable;
        }
        if (n < 0) {
            WARN("event writen()");
            record_.packetLen = 0;
            record_.emptyreport = 1;
        } else if (n == 0) {
            if (err == 0) peer_closed_ = true;
            record_.packetLen = 0;
            record_.emptyreport = 1;
        } else {
            record_.packetLen = n;
            record_.sentTime = now_;
            if (write_times) record_.write_time = ts_diff_us(now_, write_start_);
            consume_amount(n);
            total_bytes_ += n;
        }
        if (!skip_per_write_reports_) ReportRecord();
    }
}

int Client::ReadBounceBackReply(int size) {
    thread_Settings *s = settings_;
    const int cap = static_cast<int>(Settings_BufferSize(s->buf_len));
    int got = recvn(sock_, s->buf, std::min(size, cap), 0);
    if (got <= 0 || got < std::min(size, cap)) return got;
    // A reply larger than the buffer: the rest is read past, only its first
    // bytes (the header) are kept.
    while (got < size) {
        const int chunk = std::min(size - got, cap - kBounceBackHdrLen);
        const int n = recvn(sock_, s->buf + kBounceBackHdrLen, chunk, 0);
        if (n <= 0) return n;
        got += n;
        if (n < chunk) return got;
    }
    return got;
}

void Client::RunBounceBackTCP() {
    thread_Settings *s = settings_;
    auto *buf = reinterpret_cast<uint8_t *>(s->buf);
    const size_t cap = Settings_BufferSize(s->buf_len);
    memset(buf, 0x5A, kBounceBackFill);
    int64_t timeout_us = 0;
    if (s->interval_mode == kInterval_Time && s->interval_usec > 0)
        timeout_us = std::llround(s->interval_usec / 2.0);
    else if (time_mode())
        timeout_us = static_cast<int64_t>(std::min<uint64_t>(s->amount, INT32_MAX / 5000)) * 5000;
    if (timeout_us > 0) {
        const int32_t t = timeout_us > INT32_MAX ? INT32_MAX : static_cast<int32_t>(timeout_us);
        SetSocketOptionsReceiveTimeout(sock_, t);
        SetSendTimeout(t);
    }
    if (time_mode()) {
        // A blocked exchange must still end with the test.
        set_itimer(static_cast<int64_t>(s->amount) * 10000);
        itimer_armed_ = true;
    }
    uint16_t bb_flags = 0;
    if (s->test_flags & TEST_TRIP_TIMES) bb_flags |= HDR_BB_TRIPTIMES;
    if (s->tos) bb_flags |= HDR_BB_TOS;
    if (s->extra_flags & EXT_QUICKACK) bb_flags |= HDR_BB_QUICKACK;
    const int count = std::max(1, s->bounceback_count);
    const int reply_size = s->bounceback_size > 0 ? s->bounceback_size : s->buf_len;
    record_.packetTime = client_now();
    uint32_t burst_id = 0;
    bool fatal = false;
    while (!fatal && InProgress()) {
        if (frame_counter_) {
            burst_id = static_cast<uint32_t>(frame_counter_->wait_tick());
            PostNullEvent();
            record_.sentTime = now_;
            record_.packetTime = now_;
        } else {
            ++burst_id;
        }
        for (int i = 0; i < count && !peer_closed_ && !Stopping(); ++i) {
            BounceBackHdr hdr{};
            hdr.flags = HDR_BOUNCEBACK;
            hdr.size = static_cast<uint32_t>(s->buf_len);
            hdr.burst_id = burst_id;
            hdr.bb_flags = bb_flags;
            hdr.tos = static_cast<uint16_t>(s->tos);
            const Timestamp sent = client_now();
            hdr.client_send_sec = sent.tv_sec;
            hdr.client_send_usec = sent.tv_usec;
            hdr.server_recv_sec = hdr.server_recv_usec = -1;
            hdr.server_send_sec = hdr.server_send_usec = -1;
            hdr.hold_us = s->bounceback_hold;
            hdr_bounceback_write(buf, cap, hdr);
            record_.sentTime = sent;
            int err = 0;
            int n = writen(sock_, s->buf, s->buf_len, &record_.writecnt, &err);
            if (n < 1 && writen_timed_out(err)) {
                // The send timed out before the message began: this exchange
                // is lost, the test goes on with the next one.
                record_.errwrite = kWriteErr_Accountable;
                break;
            }
            // A message the timeout cut short is finished, or the server
            // would read the next one as its rest.
            while (n > 0 && n < s->buf_len && writen_timed_out(err) && !sInterupted.load() &&
                   !(time_mode() && timestamp_after(client_now(), end_time_))) {
                int calls = 0;
                n += writen(sock_, s->buf + n, s->buf_len - n, &calls, &err);
                record_.writecnt += calls;
            }
            if (n < 1) {
                peer_closed_ = true;
                record_.errwrite = kWriteErr_Fatal;
                break;
            }
            if (n < s->buf_len) {
                // Still cut short when the test ended: no message can follow.
                if (!writen_timed_out(err) && !sInterupted.load()) WARN("tcp bounce-back write");
                fatal = true;
                break;
            }
            total_bytes_ += n;
            if (s->extra_flags & EXT_QUICKACK) {
                const int on = 1;
                if (setsockopt(sock_, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof(on)) < 0)
                    WARN_ERRNO("setsockopt TCP_QUICKACK");
            }
            const int got = ReadBounceBackReply(reply_size);
            if (got == reply_size) {
                now_ = client_now();
                BounceBackHdr reply;
                if (hdr_bounceback_read(buf, std::min<int>(got, static_cast<int>(cap)), &reply) ==
                    kHdr_Ok) {
                    record_.sentTimeRX = {reply.server_recv_sec, reply.server_recv_usec};
                    record_.sentTimeTX = {reply.server_send_sec, reply.server_send_usec};
                }
                record_.packetTime = now_;
                record_.packetLen += got;
                ReportRecord();
            } else if (got == 0) {
                peer_closed_ = true;
            } else if (sInterupted.load()) {
                // The test's end (its alarm) or an interrupt cut the reply short.
                break;
            } else {
                WARN("tcp bounce-back read");
                fatal = true;
                break;
            }
            now_ = client_now();
            record_.sentTime = now_;
        }
    }
    if (fatal) peer_closed_ = true;
    if (itimer_armed_) {
        disarm_itimer();
        itimer_armed_ = false;
    }
}
