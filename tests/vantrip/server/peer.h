// Plain-socket peers for the probe server tests: a TCP connection and a UDP
// socket on 127.0.0.1 or ::1, every wait bounded. Each object owns its
// descriptor and closes it when destroyed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "vantrip/server/protocol.h"

namespace vantrip_test {

// The 12-byte record as the wire carries it.
std::string two_way_bytes(int32_t id, int32_t size, int32_t time);
TwoWayDownlinkPacket two_way_record(const std::string &bytes);

// "127.0.0.1" or "::1".
inline const char *loopback(int family) {
    return family == 6 ? "::1" : "127.0.0.1";
}

class TcpPeer {
  public:
    TcpPeer() = default;
    ~TcpPeer();
    TcpPeer(const TcpPeer &) = delete;
    TcpPeer &operator=(const TcpPeer &) = delete;

    // Connects to the loopback address of family (4 or 6); false on failure.
    bool connect(int family, uint16_t port);
    bool send(const std::string &bytes);
    // What one read returns within timeout_ms; nullopt on timeout, "" at end
    // of stream or reset.
    std::optional<std::string> read_some(int timeout_ms);
    // Reads until n bytes came, the stream ended or timeout_ms passed.
    std::string read_exactly(std::size_t n, int timeout_ms);
    // True when the server closed (end of stream or reset) within timeout_ms,
    // discarding whatever data comes first.
    bool wait_closed(int timeout_ms);
    void shutdown_write();
    // Closes with SO_LINGER 0: the server sees a reset.
    void reset();
    std::string local_ip() const;
    uint16_t local_port() const;

  private:
    int fd_ = -1;
    int family_ = 4;
};

class UdpPeer {
  public:
    explicit UdpPeer(int family);
    ~UdpPeer();
    UdpPeer(const UdpPeer &) = delete;
    UdpPeer &operator=(const UdpPeer &) = delete;

    bool send_to(uint16_t port, const std::string &bytes);
    // One datagram within timeout_ms, or nullopt.
    std::optional<std::string> receive(int timeout_ms);
    uint16_t local_port() const;

  private:
    int fd_ = -1;
    int family_;
};

}  // namespace vantrip_test
