// Helpers of the client tests: a stand-in reporter that takes posted reports
// and drains their rings the way the reporter thread does, and small loopback
// peers written with plain sockets.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "toril/core/headers.h"
#include "toril/core/settings.h"
#include "toril/reporting/report.h"

namespace clienttest {

// What the stand-in reporter saw.
struct Seen {
    std::vector<PacketRecord> records;  // data records in order, final one included
    int data_reports = 0;
    int settings_reports = 0;
    std::vector<double> connect_times_ms;  // one per connection report
    std::vector<UdpServerReport> relays;   // server reports relayed to the client
};

// Takes every posted node; drains data reports until their final record,
// then marks them done (the traffic thread frees them); frees the others.
class DrainReporter {
  public:
    DrainReporter() : thread_([this] { loop(); }) {}
    ~DrainReporter() {
        stop_ = true;
        thread_.join();
    }
    Seen seen() {
        std::lock_guard<std::mutex> lock(mutex_);
        return seen_;
    }

  private:
    void loop() {
        std::vector<IndividualReport *> active;
        while (!stop_ || !active.empty()) {
            take_pending(&active);
            for (size_t i = 0; i < active.size();) {
                if (drain(active[i])) {
                    packetring_set_consumer_done(active[i]->packetring);
                    active.erase(active.begin() + static_cast<long>(i));
                } else {
                    ++i;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        take_pending(&active);
    }

    void take_pending(std::vector<IndividualReport *> *active) {
        pthread_mutex_lock(&ReportCond.mutex);
        ReportNode *node = ReportPendingHead;
        ReportPendingHead = ReportPendingTail = nullptr;
        pthread_mutex_unlock(&ReportCond.mutex);
        while (node) {
            ReportNode *next = node->next;
            std::lock_guard<std::mutex> lock(mutex_);
            switch (node->type) {
                case DATA_REPORT:
                    ++seen_.data_reports;
                    active->push_back(static_cast<IndividualReport *>(node->this_report));
                    break;
                case SETTINGS_REPORT:
                    ++seen_.settings_reports;
                    FreeReport(node);
                    break;
                case CONNECTION_REPORT:
                    seen_.connect_times_ms.push_back(
                        static_cast<ConnectionReport *>(node->this_report)
                            ->tcpinitstats.connect_time_ms);
                    FreeReport(node);
                    break;
                case SERVER_RELAY_REPORT: {
                    auto *relay = static_cast<ServerRelayReport *>(node->this_report);
                    UdpServerReport r{};
                    r.total_bytes = static_cast<uint64_t>(relay->info.TotalBytes);
                    r.datagrams = static_cast<uint64_t>(relay->info.TotalDatagrams);
                    seen_.relays.push_back(r);
                    FreeReport(node);
                    break;
                }
                default:
                    FreeReport(node);
            }
            node = next;
        }
    }

    // True once the final record went by.
    bool drain(IndividualReport *report) {
        while (PacketRecord *record = packetring_dequeue(report->packetring)) {
            std::lock_guard<std::mutex> lock(mutex_);
            seen_.records.push_back(*record);
            if (record->packetID < 0) return true;
        }
        return false;
    }

    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    Seen seen_;
    std::thread thread_;
};

// A fresh client record for 127.0.0.1:port (or ::1 with ipv6).
inline thread_Settings *make_client(uint16_t port, bool udp, int buf_len, bool ipv6 = false) {
    auto *s = new thread_Settings;
    Settings_Initialize(s);
    s->thread_mode = kMode_Client;
    s->host = strdup(ipv6 ? "::1" : "127.0.0.1");
    s->port = port;
    s->port_last = port;
    s->buf_len = buf_len;
    s->option_flags |= OPT_LEN_SET;
    if (ipv6) s->option_flags |= OPT_IPV6;
    if (udp) {
        s->option_flags |= OPT_UDP;
        s->rate = 1024 * 1024;
    }
    Settings_AllocateBuffer(s);
    return s;
}

inline void set_bytes(thread_Settings *s, uint64_t bytes) {
    s->option_flags &= ~OPT_TIME_MODE;
    s->amount = bytes;
}

inline void set_time(thread_Settings *s, uint64_t hundredths) {
    s->option_flags |= OPT_TIME_MODE;
    s->amount = hundredths;
}

// A listening or bound loopback socket on a system-chosen port.
inline int bound_socket(int type, uint16_t *port, bool ipv6 = false) {
    const int fd = socket(ipv6 ? AF_INET6 : AF_INET, type, 0);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_storage ss{};
    socklen_t len;
    if (ipv6) {
        auto *a = reinterpret_cast<sockaddr_in6 *>(&ss);
        a->sin6_family = AF_INET6;
        a->sin6_addr = in6addr_loopback;
        len = sizeof(*a);
    } else {
        auto *a = reinterpret_cast<sockaddr_in *>(&ss);
        a->sin_family = AF_INET;
        a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        len = sizeof(*a);
    }
    bind(fd, reinterpret_cast<sockaddr *>(&ss), len);
    if (type == SOCK_STREAM) listen(fd, 16);
    getsockname(fd, reinterpret_cast<sockaddr *>(&ss), &len);
    *port = ntohs(ss.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_port
                                           : reinterpret_cast<sockaddr_in *>(&ss)->sin_port);
    return fd;
}

// True when fd became readable within ms.
inline bool readable(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, ms) > 0;
}

// Reads exactly len bytes (false on close, error or 5 s of silence).
inline bool read_all(int fd, uint8_t *buf, size_t len) {
    size_t got = 0;
    while (got < len) {
        if (!readable(fd, 5000)) return false;
        const ssize_t n = recv(fd, buf + got, len - got, 0);
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

// A TCP peer that accepts `connections` connections one after another; each
// runs `session` (default: read to the end) and is closed. Every session's
// received bytes are kept.
class TcpPeer {
  public:
    using Session = std::function<void(int fd, std::string *received)>;
    explicit TcpPeer(int connections = 1, Session session = nullptr, bool ipv6 = false)
        : session_(session ? session : read_to_end) {
        listen_fd_ = bound_socket(SOCK_STREAM, &port_, ipv6);
        thread_ = std::thread([this, connections] {
            for (int i = 0; i < connections; ++i) {
                if (!readable(listen_fd_, 10000)) break;
                const int fd = accept(listen_fd_, nullptr, nullptr);
                if (fd < 0) break;
                std::string got;
                session_(fd, &got);
                close(fd);
                std::lock_guard<std::mutex> lock(mutex_);
                sessions_.push_back(got);
            }
        });
    }
    ~TcpPeer() {
        join();
        close(listen_fd_);
    }
    void join() {
        if (thread_.joinable()) thread_.join();
    }
    uint16_t port() const { return port_; }
    std::vector<std::string> sessions() {
        join();
        return sessions_;
    }

    static void read_to_end(int fd, std::string *received) {
        char buf[65536];
        while (readable(fd, 10000)) {
            const ssize_t n = recv(fd, buf, sizeof(buf), 0);
            if (n <= 0) break;
            received->append(buf, static_cast<size_t>(n));
        }
    }

  private:
    Session session_;
    int listen_fd_ = -1;
    uint16_t port_ = 0;
    std::mutex mutex_;
    std::vector<std::string> sessions_;
    std::thread thread_;
};

// A UDP peer: keeps every datagram; answers a final datagram (negative
// sequence number) with a server report unless told to stay silent.
class UdpPeer {
  public:
    explicit UdpPeer(bool answer_fin = true, bool ipv6 = false) : answer_fin_(answer_fin) {
        fd_ = bound_socket(SOCK_DGRAM, &port_, ipv6);
        thread_ = std::thread([this] { loop(); });
    }
    ~UdpPeer() {
        stop_ = true;
        thread_.join();
        close(fd_);
    }
    uint16_t port() const { return port_; }
    std::vector<std::string> datagrams() {
        std::lock_guard<std::mutex> lock(mutex_);
        return datagrams_;
    }
    int fins_answered() const { return fins_answered_; }

  private:
    void loop() {
        uint8_t buf[65536];
        while (!stop_) {
            if (!readable(fd_, 20)) continue;
            sockaddr_storage from{};
            socklen_t from_len = sizeof(from);
            const ssize_t n =
                recvfrom(fd_, buf, sizeof(buf), 0, reinterpret_cast<sockaddr *>(&from), &from_len);
            if (n <= 0) continue;
            UdpHdr hdr{};
            hdr_udp_read(buf, static_cast<int>(n), true, &hdr);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                datagrams_.emplace_back(reinterpret_cast<char *>(buf), static_cast<size_t>(n));
                if (hdr.seqno > 0) {
                    bytes_ += static_cast<uint64_t>(n);
                    ++count_;
                }
            }
            if (hdr.seqno < 0 && answer_fin_) {
                UdpServerReport report{};
                report.total_bytes = bytes_;
                report.datagrams = count_;
                report.end_time_s = 1.5;
                uint8_t out[kServerReportLen];
                hdr_server_report_write(out, sizeof(out), report);
                sendto(fd_, out, sizeof(out), 0, reinterpret_cast<sockaddr *>(&from), from_len);
                ++fins_answered_;
            }
        }
    }

    bool answer_fin_;
    int fd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> fins_answered_{0};
    std::mutex mutex_;
    std::vector<std::string> datagrams_;
    uint64_t bytes_ = 0;
    uint64_t count_ = 0;
    std::thread thread_;
};

inline int64_t total_length(const std::vector<PacketRecord> &records) {
    int64_t sum = 0;
    for (const auto &r : records)
        if (r.packetLen > 0 && !r.emptyreport) sum += r.packetLen;
    return sum;
}

}  // namespace clienttest
