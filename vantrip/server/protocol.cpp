// Encoders, decoders and classification rules of the probe wire protocol.
#include "vantrip/server/protocol.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <sstream>

#include <boost/archive/text_oarchive.hpp>

namespace boost {
namespace serialization {

template <class Archive>
void serialize(Archive &archive, TwoWayDownlinkPacket &packet, const unsigned int /*version*/) {
    archive &packet.id;
    archive &packet.size;
    archive &packet.time;
}

}  // namespace serialization
}  // namespace boost

namespace {

void put_le32(uint8_t *out, int32_t value) {
    const uint32_t bits = static_cast<uint32_t>(value);
    out[0] = static_cast<uint8_t>(bits);
    out[1] = static_cast<uint8_t>(bits >> 8);
    out[2] = static_cast<uint8_t>(bits >> 16);
    out[3] = static_cast<uint8_t>(bits >> 24);
}

int32_t get_le32(const uint8_t *in) {
    const uint32_t bits = static_cast<uint32_t>(in[0]) | (static_cast<uint32_t>(in[1]) << 8) |
                          (static_cast<uint32_t>(in[2]) << 16) |
                          (static_cast<uint32_t>(in[3]) << 24);
    int32_t value;
    std::memcpy(&value, &bits, sizeof value);  // two's complement reinterpretation
    return value;
}

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// An optional '-' and 1 to 10 decimal digits whose value fits int32_t.
bool parse_int32(const std::string &token, int32_t *value) {
    std::size_t pos = 0;
    const bool negative = !token.empty() && token[0] == '-';
    if (negative) pos = 1;
    if (pos == token.size()) return false;
    int64_t magnitude = 0;
    const int64_t limit = negative ? -static_cast<int64_t>(std::numeric_limits<int32_t>::min())
                                   : std::numeric_limits<int32_t>::max();
    for (; pos < token.size(); ++pos) {
        const char c = token[pos];
        if (c < '0' || c > '9') return false;
        magnitude = magnitude * 10 + (c - '0');
        if (magnitude > limit) return false;
    }
    *value = static_cast<int32_t>(negative ? -magnitude : magnitude);
    return true;
}

}  // namespace

std::string probe_payload(int number, int size) {
    std::string payload = std::to_string(number);
    const std::size_t wanted =
        size <= 0 ? 0 : std::min(static_cast<std::size_t>(size), kMaxMessageBytes);
    if (payload.size() < wanted) payload.append(wanted - payload.size(), 'x');
    return payload;
}

void encode_two_way(const TwoWayDownlinkPacket &packet, uint8_t out[kTwoWayPacketBytes]) {
    put_le32(out, packet.id);
    put_le32(out + 4, packet.size);
    put_le32(out + 8, packet.time);
}

bool decode_two_way(const uint8_t *buf, std::size_t len, TwoWayDownlinkPacket *packet) {
    if (buf == nullptr || len < kTwoWayPacketBytes) return false;
    packet->id = get_le32(buf);
    packet->size = get_le32(buf + 4);
    packet->time = get_le32(buf + 8);
    return true;
}

std::string encode_rtt_result(const TwoWayDownlinkPacket &packet) {
    // The archive header is written here so that the version token reads 14
    // whatever Boost builds us; the archive writes tracking, version and fields.
    std::ostringstream out;
    out << "22 serialization::archive 14 ";
    {
        boost::archive::text_oarchive archive(out, boost::archive::no_header);
        TwoWayDownlinkPacket copy = packet;
        archive << copy;
    }
    std::string text = out.str();
    while (!text.empty() && is_blank(text.back())) text.pop_back();
    return text;
}

bool decode_rtt_result(const std::string &text, TwoWayDownlinkPacket *packet) {
    const std::string_view bounded = message_view(text.data(), text.size());
    std::string tokens[3];
    int found = 0;
    std::size_t end = bounded.size();
    while (found < 3) {
        while (end > 0 && is_blank(bounded[end - 1])) --end;
        if (end == 0) return false;
        std::size_t begin = end;
        while (begin > 0 && !is_blank(bounded[begin - 1])) --begin;
        tokens[2 - found] = std::string(bounded.substr(begin, end - begin));
        ++found;
        end = begin;
    }
    TwoWayDownlinkPacket parsed;
    if (!parse_int32(tokens[0], &parsed.id) || !parse_int32(tokens[1], &parsed.size) ||
        !parse_int32(tokens[2], &parsed.time))
        return false;
    *packet = parsed;
    return true;
}

std::string ProbeResultLine::str() const {
    std::string line;
    line.reserve(160);
    line += "Counter=";
    line += std::to_string(counter);
    line += " PacketId=";
    line += packet_id;
    line += " TwoWay=";
    line += two_way ? "true" : "false";
    line += " PayloadBytes=";
    line += std::to_string(payload_bytes);
    line += " IpVersion=";
    line += ip_version;
    line += " Ip=";
    line += ip;
    line += " Port=";
    line += std::to_string(port);
    line += " TimeMs=";
    line += std::to_string(time_ms);
    line += " Status=";
    line += status;
    return line;
}

std::string_view message_view(const char *buffer, std::size_t len) {
    if (buffer == nullptr) return std::string_view();
    const std::size_t limit = std::min(len, kMaxMessageBytes);
    const void *nul = std::memchr(buffer, '\0', limit);
    const std::size_t n =
        nul ? static_cast<std::size_t>(static_cast<const char *>(nul) - buffer) : limit;
    return std::string_view(buffer, n);
}

std::string message_text(const char *buffer, std::size_t len) {
    return std::string(message_view(buffer, len));
}

std::size_t split_message(const std::string &text, std::vector<std::string> *pieces) {
    std::size_t separators = 0;
    std::size_t begin = 0;
    while (true) {
        const std::size_t end = text.find(';', begin);
        const std::size_t stop = end == std::string::npos ? text.size() : end;
        if (stop > begin) pieces->emplace_back(text, begin, stop - begin);
        if (end == std::string::npos) break;
        ++separators;
        begin = end + 1;
    }
    return separators;
}

bool is_stop_text(std::string_view text) {
    const std::size_t begin = text.find_first_not_of(';');
    if (begin == std::string_view::npos) return false;
    const std::size_t end = std::min(text.find(';', begin), text.size());
    return text.substr(begin, end - begin) == "STOP";
}

bool is_stop_request(const char *text, std::size_t len) {
    return is_stop_text(message_view(text, len));
}

bool is_tcp_two_way_request(const uint8_t *buf, std::size_t len) {
    if (buf == nullptr || len != kTwoWayPacketBytes) return false;
    return get_le32(buf) >= 1000;
}

bool is_udp_echo_probe(const uint8_t *buf, std::size_t len) {
    // A receive buffer is zeroed before each read, so a shorter datagram has 0 there.
    return buf != nullptr && len > 3 && buf[3] == 'x';
}

std::string stun_reply(const char *request, std::size_t len, const std::string &peer_ip,
                       unsigned peer_port) {
    std::vector<std::string> pieces;
    const std::size_t separators = split_message(message_text(request, len), &pieces);
    const std::size_t count = std::min(separators, pieces.size());

    std::string reply = "Server_id: server1234;S_VERSION: SV_1_0;--Message Received from Client:;";
    for (std::size_t i = 0; i < count; ++i) {
        reply += pieces[i];
        reply += ';';
    }
    reply += "--Client IP and Port observed:;Client Public IP: ";
    reply += peer_ip;
    reply += ";Client Public Port: ";
    reply += std::to_string(peer_port);
    reply += ';';
    return reply;
}
