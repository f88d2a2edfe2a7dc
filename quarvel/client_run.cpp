// The client's traffic: TCP (plain and token bucket), UDP paced by
// accumulated lag, and the final datagram exchange. The loops neither
// allocate nor format per packet.
#include <poll.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>
#include <memory>
#include <new>

#include "common/delay.h"
#include "common/signals.h"
#include "common/sockopt.h"
#include "common/warn.h"
#include "quarvel/client.h"
#include "quarvel/client_wire.h"

namespace {

constexpr int64_t kNsPerSec = 1000000000;
// Tries of the final datagram and the wait for an answer after each.
constexpr int kFinTries = 10;
constexpr int kFinWait_ms = 250;
// Unrelated datagrams passed over while one try waits for its answer.
constexpr int kFinSkipMax = 64;
// A datagram this long carries the server's report from its offset 12.
constexpr ssize_t kServerReportDatagram = 112;
// Pause of the token bucket while it is in debt.
constexpr uint64_t kBucketPause_us = 4;

bool is_udp(const thread_Settings *settings) {
    return (settings->option_flags & OPT_UDP) != 0;
}

bool timed(const thread_Settings *settings) {
    return (settings->option_flags & OPT_TIME_MODE) != 0;
}

// The real-time clock with the microseconds rounded to the nearest.
timeval now_rounded() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    timeval tv;
    tv.tv_sec = ts.tv_sec;
    tv.tv_usec = static_cast<suseconds_t>((ts.tv_nsec + 500) / 1000);
    if (tv.tv_usec >= 1000000) {  // the wire's microseconds stay below a second
        tv.tv_sec++;
        tv.tv_usec -= 1000000;
    }
    return tv;
}

timeval now_plain() {
    timeval tv;
    gettimeofday(&tv, nullptr);
    return tv;
}

int64_t ns_between(const timeval &from, const timeval &to) {
    return (static_cast<int64_t>(to.tv_sec) - from.tv_sec) * kNsPerSec +
           (static_cast<int64_t>(to.tv_usec) - from.tv_usec) * 1000;
}

bool later(const timeval &a, const timeval &b) {
    return a.tv_sec > b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_usec > b.tv_usec);
}

// Byte-count tests: the bytes still to send, never below 0.
void take_amount(thread_Settings *settings, int64_t written) {
    if (written <= 0) return;
    const uint64_t sent = static_cast<uint64_t>(written);
    settings->amount = settings->amount > sent ? settings->amount - sent : 0;
}

PacketReport tcp_record(int64_t length, const timeval &when) {
    PacketReport record = {};
    record.length = length;
    record.packet_time = when;
    return record;
}

// The end of a timed TCP test, on the monotonic clock. A test ends by its own
// clock, not by a process-wide alarm: the alarm's stop flag would also end
// every other test and the listener of the same process (a server runs the
// return test of a dual or tradeoff client; a client its listener for it). A
// write that blocks is bounded by the send time-out that Run sets.
class TestClock {
  public:
    explicit TestClock(const thread_Settings *settings) : timed_(timed(settings)) {
        if (!timed_) return;
        clock_gettime(CLOCK_MONOTONIC, &end_);
        const uint64_t hundredths = std::min<uint64_t>(settings->amount, INT32_MAX);
        end_.tv_sec += static_cast<time_t>(hundredths / 100);
        end_.tv_nsec += static_cast<long>((hundredths % 100) * 10000000);
        if (end_.tv_nsec >= kNsPerSec) {
            end_.tv_sec++;
            end_.tv_nsec -= kNsPerSec;
        }
    }
    bool over() const {
        if (!timed_) return false;
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        return now.tv_sec > end_.tv_sec ||
               (now.tv_sec == end_.tv_sec && now.tv_nsec >= end_.tv_nsec);
    }

  private:
    bool timed_;
    timespec end_ = {};
};

// A block of file input goes out whole: a write cut short by the send
// time-out or a signal goes on with the rest, so the receiver gets the file's
// bytes in order. The bytes written, or -1 (errno kept) when none went.
ssize_t write_block(int sock, const char *data, size_t length, const TestClock &clock) {
    size_t done = 0;
    while (done < length) {
        const ssize_t n = write(sock, data + done, length - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        const bool retry = n < 0 && (errno == EAGAIN || errno == EINTR);
        if (!retry || sInterupted || clock.over()) {
            if (done == 0) return n;
            break;
        }
    }
    return static_cast<ssize_t>(done);
}

void realtime_scheduling() {
    sched_param param = {};
    param.sched_priority = sched_get_priority_max(SCHED_RR);
    if (sched_setscheduler(0, SCHED_RR, &param) < 0) WARN_ERRNO("Client set scheduler");
    if (mlockall(MCL_CURRENT | MCL_FUTURE) < 0) WARN_ERRNO("mlockall");
}

}  // namespace

void Client::Run() {
    if (stopped_) return;
    thread_Settings *s = settings_;

    // Half the report interval, else half the test time: a write blocked
    // longer than that would hide a stall from the reports.
    int64_t timeout_us = 0;
    if (s->interval != 0) {
        timeout_us = static_cast<int64_t>(s->interval * 1e6) / 2;
    } else if (timed(s)) {
        timeout_us = static_cast<int64_t>(std::min<uint64_t>(s->amount, INT64_MAX / 5000) * 5000);
    }
    timeout_us = std::min<int64_t>(timeout_us, INT32_MAX);
    if (timeout_us > 0) SetSocketOptionsSendTimeout(sock_, static_cast<int32_t>(timeout_us));

    if (!is_udp(s)) {
        if (s->rate != 0) {
            RunRateLimitedTCP();
        } else {
            RunTCP();
        }
        return;
    }
    RunUDP(timeout_us);
}

void Client::report_tcp_total(DataReport *report, int64_t total) {
    if (settings_->interval > 0) return;
    const PacketReport record = tcp_record(total, now_plain());
    ReportPacket(report, &record);
}

void Client::RunTCP() {
    thread_Settings *s = settings_;
    printf("Inside Client::RunTCP( void ) .....\n");
    DataReport *report = InitReport(s);
    const TestClock clock(s);
    const bool file = (s->option_flags & OPT_FILE_INPUT) != 0;
    const bool each_write = s->interval > 0;
    int64_t total = 0;
    for (;;) {
        size_t length = static_cast<size_t>(std::max(s->buf_len, 0));
        if (file) {
            fputs("if ( isFileInput( mSettings ) )", stdout);
            // Only the file's bytes go out; nothing is left once it has ended.
            const int32_t got = Extractor_getNextDataBlock(buf_, &input_);
            if (got <= 0) break;
            length = static_cast<size_t>(got);
        }
        const ssize_t written =
            file ? write_block(sock_, buf_, length, clock) : write(sock_, buf_, length);
        if (written < 0 && errno != EAGAIN && errno != EINTR) {
            WARN_ERRNO("write");
            break;
        }
        if (written > 0) total += written;
        if (each_write) {
            const PacketReport record = tcp_record(written > 0 ? written : 0, now_plain());
            ReportPacket(report, &record);
        }
        if (sInterupted || clock.over()) break;
        if (!timed(s)) {
            take_amount(s, written);
            if (s->amount == 0) break;
        }
        if (file && !Extractor_canRead(&input_)) break;
    }
    if (!each_write) {
        printf("\n Batch Report Printing -- mSettings->mInterval = %f \n", s->interval);
    }
    report_tcp_total(report, total);
    const PacketReport closing = tcp_record(0, now_plain());
    CloseReport(report, &closing);
    EndReport(report);
}

void Client::RunRateLimitedTCP() {
    thread_Settings *s = settings_;
    DataReport *report = InitReport(s);
    const TestClock clock(s);
    const bool file = (s->option_flags & OPT_FILE_INPUT) != 0;
    const bool each_write = s->interval > 0;
    const double bytes_per_s = static_cast<double>(s->rate) / 8.0;
    double bucket = 0;
    timespec previous;
    clock_gettime(CLOCK_REALTIME, &previous);
    int64_t total = 0;
    for (;;) {
        timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        bucket += bytes_per_s * (static_cast<double>(now.tv_sec - previous.tv_sec) +
                                 static_cast<double>(now.tv_nsec - previous.tv_nsec) / 1e9);
        previous = now;
        if (bucket < 0) {
            delay_loop(kBucketPause_us, ToolVariant::kQuarvel);
            if (sInterupted || clock.over()) break;
            continue;
        }
        size_t length = static_cast<size_t>(std::max(s->buf_len, 0));
        if (file) {
            const int32_t got = Extractor_getNextDataBlock(buf_, &input_);
            if (got <= 0) break;
            length = static_cast<size_t>(got);
        }
        const ssize_t written =
            file ? write_block(sock_, buf_, length, clock) : write(sock_, buf_, length);
        if (written < 0 && errno != EAGAIN && errno != EINTR) {
            WARN_ERRNO("write");
            break;
        }
        if (written > 0) {
            total += written;
            bucket -= static_cast<double>(written);
        }
        if (each_write) {
            const PacketReport record = tcp_record(written > 0 ? written : 0, now_plain());
            ReportPacket(report, &record);
        }
        if (sInterupted || clock.over()) break;
        if (!timed(s)) {
            take_amount(s, written);
            if (s->amount == 0) break;
        }
        if (file && !Extractor_canRead(&input_)) break;
    }
    report_tcp_total(report, total);
    const PacketReport closing = tcp_record(0, now_plain());
    CloseReport(report, &closing);
    EndReport(report);
}

void Client::RunUDP(int64_t timeout_us) {
    thread_Settings *s = settings_;
    const timeval started = now_plain();
    timeval end_time = started;
    if (timed(s)) {
        end_time.tv_sec += static_cast<time_t>(s->amount / 100);
        end_time.tv_usec += static_cast<suseconds_t>((s->amount % 100) * 10000);
        if (end_time.tv_usec >= 1000000) {
            end_time.tv_sec++;
            end_time.tv_usec -= 1000000;
        }
    }
    if (s->option_flags & OPT_REALTIME) realtime_scheduling();

    double delay_ns;
    if (s->rate_units == kRate_PPS) {
        delay_ns = 1e9 / static_cast<double>(s->rate);
    } else {
        delay_ns = static_cast<double>(s->buf_len) * 8.0 * 1e9 / static_cast<double>(s->rate);
    }
    if (!(delay_ns <= 1e9) || delay_ns < 0) {
        printf("WARNING: delay too large, reducing from %.1f to 1.0 seconds.\n", delay_ns / 1e9);
        delay_ns = 1e9;
    }
    const int64_t delay = static_cast<int64_t>(delay_ns);

    const bool file = (s->option_flags & OPT_FILE_INPUT) != 0;
    const int file_offset = (s->option_flags & OPT_COMPAT)
                                ? static_cast<int>(kDatagramHeaderBytes)
                                : static_cast<int>(kDatagramHeaderBytes + kTestHeaderBytes);
    if (file) Extractor_reduceReadSize(file_offset, &input_);

    DataReport *report = InitReport(s);
    uint8_t *header = reinterpret_cast<uint8_t *>(buf_);
    const size_t length = static_cast<size_t>(std::max(s->buf_len, 0));
    int32_t count = 0;
    int64_t adjust = 0;
    timeval previous = start_time_;
    bool previous_ok = true;
    PacketReport record = {};
    for (;;) {
        size_t send_length = length;
        bool last = false;
        if (file) {
            // Only the file's bytes go out after the headers. Once it has
            // ended a pass sends nothing, except the first datagram, which
            // carries the test header.
            const int32_t got = Extractor_getNextDataBlock(buf_ + file_offset, &input_);
            if (got <= 0 && count > 0) break;
            send_length = std::min(length, static_cast<size_t>(file_offset + std::max(got, 0)));
            last = !Extractor_canRead(&input_);
        }

        const timeval now = now_rounded();
        client_encode_datagram_header(header, count++, static_cast<uint32_t>(now.tv_sec),
                                      static_cast<uint32_t>(now.tv_usec));
        adjust += ns_between(now, previous);
        if (previous_ok) adjust += delay;
        previous = now;
        if (adjust < -1000 * timeout_us) adjust = delay;

        record.number = count - 1;
        record.packet_time = now;
        record.sent_time = now;
        record.error_mark = 0;
        record.empty_mark = 0;
        const ssize_t written = write(sock_, buf_, send_length);
        previous_ok = written >= 0;
        if (written < 0) {
            count--;
            record.error_mark = 1;
            record.empty_mark = 1;
            record.length = 0;
            if (errno != EAGAIN && errno != EINTR && errno != ECONNREFUSED) {
                WARN_ERRNO("write");
                last = true;
            }
        } else {
            record.length = written;
        }
        ReportPacket(report, &record);

        if (adjust >= 1000) delay_loop(static_cast<uint64_t>(adjust / 1000), ToolVariant::kQuarvel);

        if (timed(s)) {
            if (sInterupted || later(now, end_time)) last = true;
        } else {
            take_amount(s, record.length);
            if (sInterupted || s->amount == 0) last = true;
        }
        if (last) break;
    }

    end_time_ = now_rounded();
    last_packet_time_ = end_time_;
    record.packet_time = end_time_;
    CloseReport(report, &record);
    // The final datagram: minus the count sent, with the end time.
    client_encode_datagram_header(header, -count, static_cast<uint32_t>(end_time_.tv_sec),
                                  static_cast<uint32_t>(end_time_.tv_usec));
    if (s->option_flags & OPT_MULTICAST) {
        if (write(sock_, buf_, length) < 0) WARN_ERRNO("write");
    } else {
        write_UDP_FIN();
    }
    EndReport(report);
}

void Client::write_UDP_FIN() {
    if (stopped_) return;
    thread_Settings *s = settings_;
    uint8_t *header = reinterpret_cast<uint8_t *>(buf_);
    const size_t length = static_cast<size_t>(std::max(s->buf_len, 0));
    // Answers go to their own buffer: the final datagram must go out again intact.
    std::unique_ptr<uint8_t[]> reply(new (std::nothrow) uint8_t[std::max<size_t>(length, 1)]);
    if (!reply) {
        WARN("Out of Memory!!\n");
        return;
    }
    int32_t number = static_cast<int32_t>(client_decode_word(header));
    for (int tries = 0; tries < kFinTries; tries++) {
        // A final datagram that could not go out is retried like an unanswered one.
        const ssize_t sent = write(sock_, buf_, length);
        (void)sent;
        if (number > INT32_MIN) number--;
        client_encode_datagram_number(header, number);

        for (int skipped = 0; skipped < kFinSkipMax; skipped++) {
            pollfd ready = {sock_, POLLIN, 0};
            const int rc = poll(&ready, 1, kFinWait_ms);
            if (rc < 0 && errno == EINTR) break;
            if (rc < 0) {
                WARN_ERRNO("select");
                stop();
                return;
            }
            if (rc == 0) break;
            const ssize_t got = read(sock_, reply.get(), length);
            if (got < 0) {
                WARN_ERRNO("read");
                fprintf(stderr,
                        "[%3d] WARNING: did not receive ack of last datagram after %d tries.\n",
                        sock_, tries + 1);
                return;
            }
            // A full-length answer holds the report (the reporter checks its
            // flags word). A shorter one is the server's ack without a report
            // when it carries our final datagram's negative number (a server
            // with a small buffer returns that datagram as it came); anything
            // else, such as a NAT server's hellos queued up during the test,
            // is passed over.
            if (got >= kServerReportDatagram) {
                ReportServerUDP(s, reply.get() + kDatagramHeaderBytes,
                                static_cast<size_t>(got) - kDatagramHeaderBytes);
                return;
            }
            if (got >= 4 && static_cast<int32_t>(client_decode_word(reply.get())) < 0) return;
        }
    }
    fprintf(stderr, "[%3d] WARNING: did not receive ack of last datagram after %d tries.\n", sock_,
            kFinTries);
}
