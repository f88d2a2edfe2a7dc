// Small hand-made peers of quarvel's server for its tests: plain sockets on
// loopback, test headers and datagram headers built byte by byte.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/net.h"
#include "tests/support/process.h"

namespace quarveltest {

inline void put32(std::vector<uint8_t> &buf, size_t at, uint32_t v) {
    buf[at] = static_cast<uint8_t>(v >> 24);
    buf[at + 1] = static_cast<uint8_t>(v >> 16);
    buf[at + 2] = static_cast<uint8_t>(v >> 8);
    buf[at + 3] = static_cast<uint8_t>(v);
}

inline uint32_t get32(const std::vector<uint8_t> &buf, size_t at) {
    return (uint32_t(buf[at]) << 24) | (uint32_t(buf[at + 1]) << 16) |
           (uint32_t(buf[at + 2]) << 8) | uint32_t(buf[at + 3]);
}

// The test header's fields in wire order (offsets 0 to 24).
struct Header {
    uint32_t flags = 0;
    uint32_t threads = 1;
    uint32_t port = 0;
    uint32_t buf_len = 0;
    uint32_t window = 0;
    uint32_t amount = 0;
    uint32_t rate = 0;
};

// Writes the 36-byte header at offset at (bytes 28 to 35 stay as they are).
inline void put_header(std::vector<uint8_t> &buf, size_t at, const Header &h) {
    const uint32_t words[] = {h.flags, h.threads, h.port, h.buf_len, h.window, h.amount, h.rate};
    for (size_t i = 0; i < 7; ++i) put32(buf, at + 4 * i, words[i]);
}

inline sockaddr_in loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

// A plain descriptor closed on scope exit.
class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) close(fd_);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }

  private:
    int fd_;
};

// A TCP connection to 127.0.0.1 port, from the loopback address from (any
// of 127.0.0.0/8) when it is given.
inline int tcp_connect(uint16_t port, const char *from = nullptr) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (from) {
        sockaddr_in local = loopback(0);
        inet_pton(AF_INET, from, &local.sin_addr);
        bind(fd, reinterpret_cast<const sockaddr *>(&local), sizeof local);
    }
    const sockaddr_in a = loopback(port);
    for (int i = 0; i < 100; ++i) {
        if (connect(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a) == 0) return fd;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    close(fd);
    return -1;
}

// A UDP socket on 127.0.0.1 (port 0: the system picks one), connected to
// peer_port when it is not 0.
inline int udp_socket(uint16_t local_port, uint16_t peer_port) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in local = loopback(local_port);
    bind(fd, reinterpret_cast<const sockaddr *>(&local), sizeof local);
    if (peer_port != 0) {
        const sockaddr_in peer = loopback(peer_port);
        connect(fd, reinterpret_cast<const sockaddr *>(&peer), sizeof peer);
    }
    return fd;
}

// Waits up to timeout_ms for a datagram; its bytes, or empty.
inline std::vector<uint8_t> receive(int fd, int timeout_ms, size_t max = 65536) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) return {};
    std::vector<uint8_t> buf(max);
    const ssize_t n = recv(fd, buf.data(), buf.size(), 0);
    if (n <= 0) return {};
    buf.resize(static_cast<size_t>(n));
    return buf;
}

// One UDP datagram of len bytes with the datagram header (number, now).
inline std::vector<uint8_t> datagram(int32_t number, size_t len) {
    std::vector<uint8_t> buf(len, '7');
    timeval now;
    gettimeofday(&now, nullptr);
    put32(buf, 0, static_cast<uint32_t>(number));
    put32(buf, 4, static_cast<uint32_t>(now.tv_sec));
    put32(buf, 8, static_cast<uint32_t>(now.tv_usec));
    return buf;
}

// Runs one UDP test by hand over fd: the first datagram (number 0, header at
// offset 12), datagrams 1 to count - 1, then the final datagram -count,
// repeated every 100 ms until an answer comes (at most 20 times). Returns the
// answer, or empty.
inline std::vector<uint8_t> udp_test(int fd, int count, size_t len, const Header &h = {}) {
    std::vector<uint8_t> first = datagram(0, len);
    put_header(first, 12, h);
    send(fd, first.data(), first.size(), 0);
    for (int i = 1; i < count; ++i) {
        const std::vector<uint8_t> d = datagram(i, len);
        send(fd, d.data(), d.size(), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    for (int round = 0; round < 20; ++round) {
        const std::vector<uint8_t> fin = datagram(-count - round, len);
        send(fd, fin.data(), fin.size(), 0);
        std::vector<uint8_t> answer = receive(fd, 100);
        if (!answer.empty()) return answer;
    }
    return {};
}

// Sends a TCP test by hand: the header, then bytes of payload, then closes.
inline bool tcp_test(uint16_t port, size_t bytes, const Header &h = {},
                     const char *from = nullptr) {
    Fd fd(tcp_connect(port, from));
    if (fd.get() < 0) return false;
    std::vector<uint8_t> buf(36, '0');
    put_header(buf, 0, h);
    buf.resize(36 + bytes, '5');
    size_t done = 0;
    while (done < buf.size()) {
        const ssize_t n = send(fd.get(), buf.data() + done, buf.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// quarvel with args, running in the background.
inline bool start_quarvel(testsupport::Background &bg, std::vector<std::string> args) {
    args.insert(args.begin(), QUARVEL_BIN);
    return bg.start(args);
}

// Counts the occurrences of text in s.
inline int count_of(const std::string &s, const std::string &text) {
    int n = 0;
    for (size_t at = s.find(text); at != std::string::npos; at = s.find(text, at + 1)) ++n;
    return n;
}

}  // namespace quarveltest
