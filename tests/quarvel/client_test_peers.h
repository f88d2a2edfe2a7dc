// Small loopback peers for the client's tests: a TCP sink that keeps every
// byte, and a UDP socket that records datagrams and answers the final one as
// a test tells it. Plain blocking sockets with bounded waits; header only.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace clienttest {

inline sockaddr_in loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

inline uint32_t word(const std::string &bytes, size_t offset) {
    const auto *p = reinterpret_cast<const uint8_t *>(bytes.data()) + offset;
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

inline void put_word(std::string *bytes, size_t offset, uint32_t value) {
    for (int i = 0; i < 4; i++) (*bytes)[offset + i] = char(value >> (24 - 8 * i));
}

// A socket bound to 127.0.0.1 on a port the system picks; port() tells it.
class Bound {
  public:
    explicit Bound(int type) : fd_(socket(AF_INET, type, 0)) {
        sockaddr_in a = loopback(0);
        bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a);
        socklen_t len = sizeof a;
        getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~Bound() {
        if (fd_ >= 0) close(fd_);
    }
    Bound(const Bound &) = delete;
    Bound &operator=(const Bound &) = delete;
    int fd() const { return fd_; }
    uint16_t port() const { return port_; }

  private:
    int fd_;
    uint16_t port_ = 0;
};

inline bool readable(int fd, int timeout_ms) {
    pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, timeout_ms) == 1;
}

// Reads a TCP connection to its end (bounded by limit_ms of silence).
inline std::string read_all(int fd, int limit_ms = 5000) {
    std::string data;
    char chunk[65536];
    while (readable(fd, limit_ms)) {
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got <= 0) break;
        data.append(chunk, size_t(got));
    }
    return data;
}

// Accepts one connection on a listening TCP socket and reads it to its end.
inline std::string accept_and_read(int listen_fd, int limit_ms = 5000) {
    if (!readable(listen_fd, limit_ms)) return {};
    const int conn = accept(listen_fd, nullptr, nullptr);
    if (conn < 0) return {};
    std::string data = read_all(conn, limit_ms);
    close(conn);
    return data;
}

// How a UDP peer answers the first final datagram (negative number).
enum class FinAnswer {
    kReport,           // a full server report: flags 0x80000000 and plausible figures
    kForgedFlags,      // full length, but the flags word is 0
    kAbsurdReport,     // the flags word, and every other word all ones
    kShort,            // the final datagram cut to 50 bytes (an ack without a report)
    kHelloThenReport,  // a NAT hello, then the full report
    kHellosOnly,       // a NAT hello for every final, never an answer
    kSilent,           // nothing
};

struct UdpLog {
    std::vector<std::string> datagrams;  // in arrival order, finals included
    sockaddr_in client{};                // the source of the last one
    int finals = 0;
};

// Receives datagrams until the client's final ones stop (bounded), answering
// the first final as told. idle_ms: silence that ends the capture.
inline UdpLog serve_udp(int fd, FinAnswer answer, int idle_ms = 800) {
    UdpLog log;
    std::string buf(65536, '\0');
    while (readable(fd, idle_ms)) {
        socklen_t len = sizeof log.client;
        const ssize_t got =
            recvfrom(fd, &buf[0], buf.size(), 0, reinterpret_cast<sockaddr *>(&log.client), &len);
        if (got < 0) break;
        std::string datagram = buf.substr(0, size_t(got));
        log.datagrams.push_back(datagram);
        if (int32_t(word(datagram, 0)) >= 0) continue;
        std::string hello(50, '\0');
        hello.replace(0, 19, "HELLO:Thank you UDP");
        if (answer == FinAnswer::kHellosOnly || answer == FinAnswer::kHelloThenReport) {
            sendto(fd, hello.data(), hello.size(), 0, reinterpret_cast<sockaddr *>(&log.client),
                   sizeof log.client);
        }
        if (answer == FinAnswer::kHellosOnly) {
            log.finals++;
            continue;
        }
        if (++log.finals > 1) continue;
        std::string reply = datagram;
        if (answer == FinAnswer::kShort) reply.resize(50);
        if (answer != FinAnswer::kShort && reply.size() >= 112) {
            const uint32_t count = uint32_t(-int32_t(word(datagram, 0)));
            put_word(&reply, 12, answer == FinAnswer::kForgedFlags ? 0 : 0x80000000u);
            put_word(&reply, 16, 0);
            put_word(&reply, 20, count * uint32_t(datagram.size()));
            put_word(&reply, 24, 1);  // end time 1.5 s
            put_word(&reply, 28, 500000);
            for (size_t at = 32; at < 108; at += 4) put_word(&reply, at, 0);
            put_word(&reply, 40, count);
            put_word(&reply, 108, 1);
            if (answer == FinAnswer::kAbsurdReport) {
                for (size_t at = 16; at < 112; at += 4) put_word(&reply, at, 0xffffffffu);
            }
        }
        if (answer != FinAnswer::kSilent) {
            sendto(fd, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr *>(&log.client),
                   sizeof log.client);
        }
    }
    return log;
}

}  // namespace clienttest
