// Writes the seed corpus of the vantrip targets from vantrip's own encoders:
//   make_corpus_vantrip DIR
#include <cstdint>
#include <cstdio>
#include <string>

#include "tests/fuzz/corpus_writer.h"
#include "vantrip/client/pinger.h"
#include "vantrip/server/protocol.h"

namespace {

using fuzz::Bytes;
using fuzz::text_bytes;
using fuzz::write_seed;

Bytes two_way(int32_t id, int32_t size, int32_t time) {
    Bytes out(kTwoWayPacketBytes);
    encode_two_way(TwoWayDownlinkPacket{id, size, time}, out.data());
    return out;
}

const char kStunRequest[] = "Client_id: client42;C_VERSION: CV_1_0;";

void messages(const std::string &dir) {
    write_seed(dir, "vantrip_classify", "udp-probe",
               text_bytes(probe_payload(udp_probe_number(3), 64)));
    write_seed(dir, "vantrip_classify", "tcp-probe",
               text_bytes(probe_payload(tcp_probe_number(3), 20)));
    write_seed(dir, "vantrip_classify", "two-way", two_way(udp_request_id(7), 512, 1000));
    write_seed(dir, "vantrip_classify", "stop", text_bytes("STOP;"));
    write_seed(dir, "vantrip_classify", "stop-after-empty-field", text_bytes(";;STOP;"));
    write_seed(dir, "vantrip_classify", "stun-request", text_bytes(kStunRequest));

    const Bytes plain = text_bytes(probe_payload(101, 40));
    write_seed(dir, "vantrip_process_reply", "probe",
               fuzz::with_prefix(0, plain.data(), plain.size()));
    const Bytes stop = text_bytes("STOP;");
    write_seed(dir, "vantrip_process_reply", "stop",
               fuzz::with_prefix(0, stop.data(), stop.size()));
    const Bytes reply =
        text_bytes(stun_reply(kStunRequest, sizeof kStunRequest - 1, "127.0.0.1", 40000));
    write_seed(dir, "vantrip_process_reply", "stun-reply",
               fuzz::with_prefix(1, reply.data(), reply.size()));
    write_seed(dir, "vantrip_process_reply", "stun-reply-result-file",
               fuzz::with_prefix(7, reply.data(), reply.size()));

    write_seed(dir, "vantrip_rtt_result", "result",
               text_bytes(encode_rtt_result(TwoWayDownlinkPacket{1003, 512, 12})));
    write_seed(dir, "vantrip_rtt_result", "mismatch",
               text_bytes(encode_rtt_result(TwoWayDownlinkPacket{1099, 4096, -1})));
}

// An IPv4 packet from 127.0.0.1 carrying an ICMP message, header length in
// 32-bit words.
Bytes ipv4_packet(const std::vector<uint8_t> &icmp, int header_words) {
    const size_t header = static_cast<size_t>(header_words) * 4;
    Bytes packet(header, 0);
    packet[0] = static_cast<uint8_t>(0x40 | header_words);
    const size_t total = header + icmp.size();
    packet[2] = static_cast<uint8_t>(total >> 8);
    packet[3] = static_cast<uint8_t>(total);
    packet[8] = 64;  // TTL
    packet[9] = 1;   // ICMP
    const uint8_t loopback[4] = {127, 0, 0, 1};
    for (int i = 0; i < 4; i++) packet[12 + i] = packet[16 + i] = loopback[i];
    const uint16_t sum = internet_checksum(packet.data(), header);
    packet[10] = static_cast<uint8_t>(sum >> 8);
    packet[11] = static_cast<uint8_t>(sum);
    packet.insert(packet.end(), icmp.begin(), icmp.end());
    return packet;
}

void icmp(const std::string &dir) {
    std::vector<uint8_t> echo = icmp_echo_request(0x1234, 1, std::string(56, 'x'));
    // The reply: type 0, checksum over the changed message.
    echo[0] = 0;
    echo[2] = echo[3] = 0;
    const uint16_t sum = internet_checksum(echo.data(), echo.size());
    echo[2] = static_cast<uint8_t>(sum >> 8);
    echo[3] = static_cast<uint8_t>(sum);
    write_seed(dir, "vantrip_icmp", "echo-reply", ipv4_packet(echo, 5));
    write_seed(dir, "vantrip_icmp", "echo-reply-ip-options", ipv4_packet(echo, 7));
    write_seed(dir, "vantrip_icmp", "echo-request",
               ipv4_packet(icmp_echo_request(0x1234, 2, ""), 5));
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_corpus_vantrip DIR\n");
        return 2;
    }
    messages(argv[1]);
    icmp(argv[1]);
    return 0;
}
