// quarvel's server thread.
#include "quarvel/server.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include "common/signals.h"
#include "common/sockopt.h"
#include "common/thread.h"
#include "common/warn.h"
#include "quarvel/launch.h"
#include "quarvel/listener.h"
#include "quarvel/reporter.h"

namespace {

constexpr int kAckRounds = 10;
// Control area for one SCM_TIMESTAMP message.
constexpr size_t kControlBytes = 32;

void put_be32(uint8_t *at, uint32_t value) {
    at[0] = static_cast<uint8_t>(value >> 24);
    at[1] = static_cast<uint8_t>(value >> 16);
    at[2] = static_cast<uint8_t>(value >> 8);
    at[3] = static_cast<uint8_t>(value);
}

uint32_t get_be32(const uint8_t *at) {
    return (static_cast<uint32_t>(at[0]) << 24) | (static_cast<uint32_t>(at[1]) << 16) |
           (static_cast<uint32_t>(at[2]) << 8) | static_cast<uint32_t>(at[3]);
}

// Truncated toward zero and kept inside a 32-bit word: statistics of a
// forged test may be anything, a cast out of range is not.
int32_t whole(double value) {
    if (!(value == value)) return 0;
    const double t = std::trunc(value);
    if (t >= static_cast<double>(INT32_MAX)) return INT32_MAX;
    if (t <= static_cast<double>(INT32_MIN)) return INT32_MIN;
    return static_cast<int32_t>(t);
}

int32_t millionths(double value) {
    if (!(value == value)) return 0;
    const double t = std::trunc(value);
    if (std::fabs(t) >= static_cast<double>(INT32_MAX)) return 0;
    return whole((value - t) * 1e6);
}

int32_t clamp32(int64_t value) {
    return static_cast<int32_t>(std::max<int64_t>(INT32_MIN, std::min<int64_t>(INT32_MAX, value)));
}

void put_split(uint8_t *at, double value) {
    put_be32(at, static_cast<uint32_t>(whole(value)));
    put_be32(at + 4, static_cast<uint32_t>(millionths(value)));
}

timeval now_tv() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return timeval{ts.tv_sec, static_cast<suseconds_t>(ts.tv_nsec / 1000)};
}

bool later(const timeval &a, const timeval &b) {
    return a.tv_sec > b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_usec > b.tv_usec);
}

// Made positive without overflow: INT32_MIN has no positive twin.
int32_t positive(int32_t number) {
    return number == INT32_MIN ? INT32_MAX : -number;
}

}  // namespace

void server_report_fill_short(uint8_t *buf, const TransferInfo &info) {
    put_be32(buf + 12, kServerReportFlag);
    const uint64_t bytes = static_cast<uint64_t>(info.bytes);
    put_be32(buf + 16, static_cast<uint32_t>(bytes >> 32));
    put_be32(buf + 20, static_cast<uint32_t>(bytes));
    put_split(buf + 24, info.end_time);
    put_be32(buf + 32, static_cast<uint32_t>(clamp32(info.lost)));
    put_be32(buf + 36, static_cast<uint32_t>(clamp32(info.out_of_order)));
    put_be32(buf + 40, static_cast<uint32_t>(clamp32(info.datagrams)));
    put_split(buf + 44, info.jitter);
}

void server_report_fill(uint8_t *buf, const TransferInfo &info) {
    server_report_fill_short(buf, info);
    const TransitStats &transit = info.total_transit;
    put_split(buf + 52, transit.min);
    put_split(buf + 60, transit.max);
    put_split(buf + 68, transit.sum);
    put_split(buf + 76, transit.mean);
    put_split(buf + 84, transit.m2);
    put_split(buf + 92, transit.deviation);
    put_be32(buf + 100, static_cast<uint32_t>(clamp32(transit.count)));
    put_be32(buf + 104, static_cast<uint32_t>(clamp32(info.packets)));
    put_be32(buf + 108, 1);
}

int64_t server_receive_timeout_us(const thread_Settings *settings) {
    if (settings->interval > 0) return static_cast<int64_t>(settings->interval * 1e6) / 2;
    if (settings->option_flags & OPT_TIME_MODE) {
        const uint64_t limit = static_cast<uint64_t>(INT32_MAX) / 500;
        return static_cast<int64_t>(std::min<uint64_t>(settings->amount, limit)) * 500;
    }
    return 0;
}

Server::Server(thread_Settings *record)
    : settings(record), buf(nullptr), buf_size(0), end_time{}, start_time(now_tv()) {
    buf_size = std::max<int32_t>(settings->buf_len, kServerReportFullBytes);
    buf = new (std::nothrow) uint8_t[buf_size]();
}

Server::~Server() {
    if (settings->sock >= 0) {
        if (close(settings->sock) < 0) WARN_ERRNO("close");
        settings->sock = -1;
    }
    delete[] buf;
}

int Server::receive(timeval *arrival, bool *timestamped) {
    iovec iov{buf, static_cast<size_t>(std::min(settings->buf_len, buf_size))};
    alignas(cmsghdr) uint8_t control[kControlBytes];
    msghdr message{};
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof(control);
    const ssize_t n = recvmsg(settings->sock, &message, 0);
    *timestamped = false;
    if (n > 0) {
        for (cmsghdr *c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMP &&
                c->cmsg_len >= CMSG_LEN(sizeof(timeval))) {
                memcpy(arrival, CMSG_DATA(c), sizeof(timeval));
                *timestamped = true;
            }
        }
    }
    return static_cast<int>(n);
}

void Server::Run() {
    if (!buf) return;
    const bool udp = (settings->option_flags & OPT_UDP) != 0;
    DataReport *report = InitReport(settings);
    settings->report = report;
    PacketReport record{};

    // A socket that never receives must not hold its thread for ever, so the
    // receive always wakes at least once a second to look at the idle time.
    const int64_t timeout_us = server_receive_timeout_us(settings);
    const bool timeout_set = timeout_us > 0;
    const int64_t wake_us = timeout_set ? std::min<int64_t>(timeout_us, 1000000) : 1000000;
    if (setsock_receive_timeout(settings->sock, static_cast<int32_t>(wake_us)) < 0)
        WARN_ERRNO("socket");
    if (udp) {
        const int on = 1;
        if (setsockopt(settings->sock, SOL_SOCKET, SO_TIMESTAMP, &on, sizeof(on)) < 0)
            WARN_ERRNO("socket");
    }
    thread_setscheduler(settings);
    if (settings->option_flags & OPT_TIME_SET) {
        end_time = now_tv();
        end_time.tv_sec += static_cast<time_t>(settings->amount / 100);
        end_time.tv_usec += static_cast<suseconds_t>((settings->amount % 100) * 10000);
        if (end_time.tv_usec >= 1000000) {
            end_time.tv_sec++;
            end_time.tv_usec -= 1000000;
        }
    }

    const int idle_limit_s = udp ? kServerIdleLimitUdp_s : kServerIdleLimitTcp_s;
    timespec last_data;
    clock_gettime(CLOCK_MONOTONIC, &last_data);
    bool short_seen = false;
    bool done = false;
    while (!done) {
        record.empty_mark = 0;
        timeval arrival;
        bool timestamped = false;
        const int n = receive(&arrival, &timestamped);
        if (n <= 0) {
            const bool again = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
            record.empty_mark = 1;
            record.length = 0;
            record.packet_time = now_tv();
            timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            const bool idle = again && now.tv_sec - last_data.tv_sec >= idle_limit_s;
            if (idle) {
                fprintf(stderr, "[%3d] WARNING: nothing received for %d seconds, test ended.\n",
                        settings->sock, idle_limit_s);
            }
            if (!again || idle || sInterupted.load() != 0) done = true;
            ReportPacket(report, &record);
            continue;
        }
        clock_gettime(CLOCK_MONOTONIC, &last_data);
        record.length = n;
        if (udp) {
            if (n < kUdpHeaderBytes) {
                // No datagram header: nothing to number it by.
                if (!short_seen) {
                    fprintf(stderr, "[%3d] WARNING: datagram of %d bytes without a header.\n",
                            settings->sock, n);
                    short_seen = true;
                }
                record.empty_mark = 1;
                record.length = 0;
                record.packet_time = now_tv();
                ReportPacket(report, &record);
                continue;
            }
            record.number = static_cast<int32_t>(get_be32(buf));
            record.sent_time.tv_sec = static_cast<time_t>(static_cast<int32_t>(get_be32(buf + 4)));
            record.sent_time.tv_usec =
                static_cast<suseconds_t>(static_cast<int32_t>(get_be32(buf + 8)));
            record.packet_time = timestamped ? arrival : now_tv();
        } else {
            record.packet_time = now_tv();
        }
        if (record.number < 0 || sInterupted.load() == 1) {
            if (record.number < 0) record.number = positive(record.number);
            if (settings->nat_mode) {
                SendUDP.store(1);
                SendTCP.store(2);
            }
            done = true;
        }
        if ((settings->option_flags & OPT_TIME_SET) && later(record.packet_time, end_time))
            done = true;
        ReportPacket(report, &record);
    }

    if (settings->nat_mode) {
        SendUDP.store(1);
        SendTCP.store(2);
    }
    if (!udp) {
        record.empty_mark = 0;
        record.length = 0;
        record.packet_time = now_tv();
        ReportPacket(report, &record);
    }
    record.packet_time = now_tv();
    CloseReport(report, &record);
    if (udp && !(settings->option_flags & OPT_MULTICAST)) write_UDP_AckFIN();

    pthread_mutex_lock(&clients_mutex);
    Toril_delete(&settings->peer, &clients);
    pthread_mutex_unlock(&clients_mutex);
    EndReport(report);
    settings->report = nullptr;
}

void Server::write_UDP_AckFIN() {
    const int len = std::min(settings->buf_len, buf_size);
    for (int round = 0; round < kAckRounds; ++round) {
        if (settings->buf_len > kServerReportFullBytes) {
            if (const TransferInfo *info = GetReport(settings->report))
                server_report_fill(buf, *info);
        }
        // A failed write still waits for the client's next repetition.
        (void)!write(settings->sock, buf, static_cast<size_t>(len));
        // poll, not select: a server with many tests open may hold a
        // descriptor beyond what an fd_set can name.
        pollfd readable{settings->sock, POLLIN, 0};
        const int ready = poll(&readable, 1, 1000);
        if (ready < 0) {
            WARN_ERRNO("select");
            return;
        }
        if (ready == 0) return;
        const ssize_t n = read(settings->sock, buf, static_cast<size_t>(len));
        if (n < 0) {
            WARN_ERRNO("read");
            return;
        }
        if (n == 0) return;
    }
    fprintf(stderr, "[%3d] WARNING: ack of last datagram failed after %d tries.\n", settings->sock,
            kAckRounds);
}

void server_spawn(thread_Settings *settings) {
    Server server(settings);
    server.Run();
}
