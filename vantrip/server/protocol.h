// The probe wire protocol: payloads, the 12-byte two-way record, its text
// result form, the per-probe result line, the address discovery reply and the
// rules by which a server tells received messages apart.
//
// There is no framing: a message is what one TCP send or one UDP datagram
// carries, never more than kMaxMessageBytes.
//
// TwoWayDownlinkPacket on the wire (little-endian on every host):
//   offset 0  int32  id     request number (>= 1000)
//   offset 4  int32  size   downlink bytes wanted
//   offset 8  int32  time   client's limit in ms / measured round trip, -1 on mismatch
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

constexpr std::size_t kMaxMessageBytes = 4096;
constexpr std::size_t kTwoWayPacketBytes = 12;

// Payload number of probe i.
inline int udp_probe_number(int i) { return 100 + (i % 100); }
inline int tcp_probe_number(int i) { return i % 10; }
inline int udp_request_id(int i) { return 1000 + (i % 100); }
inline int tcp_request_id(int i) { return 1000 + (i % 10); }

// The decimal text of number followed by 'x' up to size bytes (the number is
// never cut). The filler stops at kMaxMessageBytes: no message is longer.
std::string probe_payload(int number, int size);

struct TwoWayDownlinkPacket {
    int32_t id = 0;
    int32_t size = 0;
    int32_t time = 0;
};

void encode_two_way(const TwoWayDownlinkPacket &packet, uint8_t out[kTwoWayPacketBytes]);
// False (packet untouched) when len is not at least kTwoWayPacketBytes.
bool decode_two_way(const uint8_t *buf, std::size_t len, TwoWayDownlinkPacket *packet);

// RTTResultPacket: "22 serialization::archive 14 0 0 <id> <size> <time>".
std::string encode_rtt_result(const TwoWayDownlinkPacket &packet);
// Takes the last three space-separated tokens; false when there are fewer or
// one is not a decimal integer that fits 32 bits.
bool decode_rtt_result(const std::string &text, TwoWayDownlinkPacket *packet);

struct ProbeResultLine {
    long counter = 0;
    std::string packet_id;
    bool two_way = false;
    long payload_bytes = 0;
    std::string ip_version;  // "V4" or "V6"
    std::string ip;
    unsigned port = 0;
    long time_ms = 0;
    std::string status;
    // "Counter=C PacketId=P TwoWay=W PayloadBytes=B IpVersion=V Ip=A Port=N TimeMs=T Status=S"
    std::string str() const;
};

// A received buffer as text: up to its first NUL, len or kMaxMessageBytes,
// whichever comes first. buffer may be null when len is 0.
std::string message_text(const char *buffer, std::size_t len);
// The same bounds without a copy; the view lives as long as buffer.
std::string_view message_view(const char *buffer, std::size_t len);

// Splits a message text at ';' into its non-empty pieces (including any text
// after the last ';') and returns the number of ';' in it. Only the first
// that many pieces are fields the handlers act on.
std::size_t split_message(const std::string &text, std::vector<std::string> *pieces);

// True when the text (up to its first NUL or len) is a stop request: its first
// non-empty field is exactly "STOP".
bool is_stop_request(const char *text, std::size_t len);
bool is_stop_text(std::string_view text);

// TCP, normal mode: a read of exactly 12 bytes whose first int32 is >= 1000.
bool is_tcp_two_way_request(const uint8_t *buf, std::size_t len);

// UDP, normal mode: byte 3 of the (zeroed, 4096-byte) receive buffer is 'x'.
bool is_udp_echo_probe(const uint8_t *buf, std::size_t len);

// The address discovery reply for a received request text and the peer's
// address (text form) and port.
std::string stun_reply(const char *request, std::size_t len, const std::string &peer_ip,
                       unsigned peer_port);

// Round trip in whole ms from a microsecond difference (truncated).
inline int32_t round_trip_ms(int64_t elapsed_us) { return static_cast<int32_t>(elapsed_us / 1000); }
