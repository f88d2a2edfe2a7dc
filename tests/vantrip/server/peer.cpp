#include "tests/vantrip/server/peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace vantrip_test {
namespace {

socklen_t loopback_address(int family, uint16_t port, sockaddr_storage *out) {
    std::memset(out, 0, sizeof *out);
    if (family == 6) {
        auto *a = reinterpret_cast<sockaddr_in6 *>(out);
        a->sin6_family = AF_INET6;
        a->sin6_addr = in6addr_loopback;
        a->sin6_port = htons(port);
        return sizeof *a;
    }
    auto *a = reinterpret_cast<sockaddr_in *>(out);
    a->sin_family = AF_INET;
    a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a->sin_port = htons(port);
    return sizeof *a;
}

bool readable(int fd, int timeout_ms) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeout_ms) == 1;
}

sockaddr_storage local_address(int fd) {
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    return a;
}

uint16_t port_of(const sockaddr_storage &a) {
    if (a.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6 &>(a).sin6_port);
    return ntohs(reinterpret_cast<const sockaddr_in &>(a).sin_port);
}

int remaining_ms(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

std::string two_way_bytes(int32_t id, int32_t size, int32_t time) {
    TwoWayDownlinkPacket packet;
    packet.id = id;
    packet.size = size;
    packet.time = time;
    uint8_t out[kTwoWayPacketBytes];
    encode_two_way(packet, out);
    return std::string(reinterpret_cast<const char *>(out), sizeof out);
}

TwoWayDownlinkPacket two_way_record(const std::string &bytes) {
    TwoWayDownlinkPacket packet;
    packet.id = packet.size = packet.time = -12345;
    decode_two_way(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size(), &packet);
    return packet;
}

TcpPeer::~TcpPeer() {
    if (fd_ >= 0) close(fd_);
}

bool TcpPeer::connect(int family, uint16_t port) {
    family_ = family;
    fd_ = socket(family == 6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
    if (fd_ < 0) return false;
    sockaddr_storage a;
    socklen_t len = loopback_address(family, port, &a);
    return ::connect(fd_, reinterpret_cast<sockaddr *>(&a), len) == 0;
}

bool TcpPeer::send(const std::string &bytes) {
    return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
}

std::optional<std::string> TcpPeer::read_some(int timeout_ms) {
    if (!readable(fd_, timeout_ms)) return std::nullopt;
    char buf[65536];
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) return std::string();
    return std::string(buf, static_cast<std::size_t>(n));
}

std::string TcpPeer::read_exactly(std::size_t n, int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    std::string got;
    while (got.size() < n) {
        char buf[65536];
        if (!readable(fd_, remaining_ms(deadline))) break;
        ssize_t r = recv(fd_, buf, std::min(sizeof buf, n - got.size()), 0);
        if (r <= 0) break;
        got.append(buf, static_cast<std::size_t>(r));
    }
    return got;
}

bool TcpPeer::wait_closed(int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (!readable(fd_, remaining_ms(deadline))) return false;
        char buf[65536];
        if (recv(fd_, buf, sizeof buf, 0) <= 0) return true;
    }
}

void TcpPeer::shutdown_write() {
    ::shutdown(fd_, SHUT_WR);
}

void TcpPeer::reset() {
    linger l{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close(fd_);
    fd_ = -1;
}

std::string TcpPeer::local_ip() const {
    sockaddr_storage a = local_address(fd_);
    char text[INET6_ADDRSTRLEN] = {};
    if (a.ss_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6 &>(a).sin6_addr, text, sizeof text);
    else
        inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in &>(a).sin_addr, text, sizeof text);
    return text;
}

uint16_t TcpPeer::local_port() const {
    return port_of(local_address(fd_));
}

UdpPeer::UdpPeer(int family) : family_(family) {
    fd_ = socket(family == 6 ? AF_INET6 : AF_INET, SOCK_DGRAM, 0);
    // Bind now so that the local port is known before the first send.
    sockaddr_storage a;
    socklen_t len = loopback_address(family, 0, &a);
    if (fd_ >= 0) bind(fd_, reinterpret_cast<sockaddr *>(&a), len);
}

UdpPeer::~UdpPeer() {
    if (fd_ >= 0) close(fd_);
}

bool UdpPeer::send_to(uint16_t port, const std::string &bytes) {
    sockaddr_storage a;
    socklen_t len = loopback_address(family_, port, &a);
    return sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr *>(&a), len) ==
           static_cast<ssize_t>(bytes.size());
}

std::optional<std::string> UdpPeer::receive(int timeout_ms) {
    if (!readable(fd_, timeout_ms)) return std::nullopt;
    char buf[65536];
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n < 0) return std::nullopt;
    return std::string(buf, static_cast<std::size_t>(n));
}

uint16_t UdpPeer::local_port() const {
    return port_of(local_address(fd_));
}

}  // namespace vantrip_test
