// ICMP echo prober: sends count echo requests to an IPv4 host, one second
// apart, each with its own time limit, and logs every matched reply and the
// summary (tag "PING").
//
//   start_send ─> send request, arm deadline_ (limit) ─> handle_timeout
//        ^                                                   │
//        └──── deadline_ at sent_at_ + 1 s <─────────────────┘ (until count sent)
//   start_receive ─> handle_receive ─> match? record, cancel deadline_ ─> start_receive
//
// Runs on the given io_service (single thread) and stops it when the run is
// over. Needs a raw socket, so the right to open one (root or CAP_NET_RAW).
#pragma once

#include <chrono>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "vantrip/frontend/asio.h"

// The echo request bytes (RFC 792: type 8, code 0, checksum, identifier,
// sequence number, body), checksum filled in.
std::vector<uint8_t> icmp_echo_request(uint16_t identifier, uint16_t sequence,
                                       const std::string &body);

// RFC 1071 Internet checksum over len bytes.
uint16_t internet_checksum(const uint8_t *data, std::size_t len);

// What the prober reads from one received IPv4 packet.
struct IcmpReply {
    uint8_t type = 0;
    uint16_t identifier = 0;
    uint16_t sequence = 0;
    int ip_total_length = 0;
    int ip_header_length = 0;
    std::string source;  // dotted decimal
    std::string body;
};

// False when the bytes do not hold an IPv4 header (version 4, header length
// 20 to 60) followed by an 8-byte ICMP header; never reads past len.
bool parse_icmp_packet(const uint8_t *packet, std::size_t len, IcmpReply *reply);

class pinger {
  public:
    // Resolves the destination (IPv4), opens the raw socket, sends the first
    // request and starts receiving. Throws the library's errors.
    pinger(asio::io_service &io, const std::string &destination, int packet_size, int count,
           int delay_ms);
    // Cancels what is still pending and lets it complete, so no completion
    // outlives the object.
    ~pinger();
    pinger(const pinger &) = delete;
    pinger &operator=(const pinger &) = delete;

  private:
    using clock = std::chrono::steady_clock;

    void start_send();
    void handle_timeout();
    void start_receive();
    void handle_receive(std::size_t length);
    void close();

    asio_icmp::resolver dest_resolver_;
    asio_icmp::endpoint dest_;
    asio_icmp::socket icmp_socket_;
    asio::steady_timer deadline_;
    uint16_t seq_ = 0;
    clock::time_point sent_at_;
    std::vector<uint8_t> rx_buffer_;
    int replies_for_request_ = 0;
    int packet_size_ = 0;
    int received_ = 0;
    int sent_ = 0;
    int count_ = 0;
    int delay_ = 0;
    std::ostringstream log_stream_;
    asio::io_service &io_;
    std::vector<int64_t> round_trip_times_;
    bool closed_ = false;
    bool stopping_ = false;  // the object is going away: completions only end
    uint16_t identifier_ = 0;
};
