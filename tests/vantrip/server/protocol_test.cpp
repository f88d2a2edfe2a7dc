// Wire formats of the probe protocol: golden bytes both ways, edge values,
// truncation, and garbage fed to the text decoders.
#include "vantrip/server/protocol.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

TEST(ProbePayload, NumbersAndFiller) {
    struct Case {
        int number;
        int size;
        std::string payload;
    } cases[] = {
        {105, 8, "105xxxxx"}, {105, 3, "105"},     {105, 2, "105"},  // never cut
        {105, 0, "105"},      {105, -4, "105"},    {7, 1, "7"},
        {7, 4, "7xxx"},       {1003, 6, "1003xx"}, {0, 2, "0x"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.number) + "/" + std::to_string(c.size));
        EXPECT_EQ(probe_payload(c.number, c.size), c.payload);
    }
    EXPECT_EQ(probe_payload(100, 4096).size(), 4096u);
    EXPECT_EQ(probe_payload(100, 4097).size(), kMaxMessageBytes);
    EXPECT_EQ(probe_payload(100, INT_MAX).size(), kMaxMessageBytes);
}

TEST(ProbePayload, Numbering) {
    EXPECT_EQ(udp_probe_number(0), 100);
    EXPECT_EQ(udp_probe_number(199), 199);
    EXPECT_EQ(udp_probe_number(200), 100);
    EXPECT_EQ(tcp_probe_number(13), 3);
    EXPECT_EQ(udp_request_id(150), 1050);
    EXPECT_EQ(tcp_request_id(19), 1009);
}

struct TwoWayCase {
    TwoWayDownlinkPacket packet;
    Bytes bytes;
};

const TwoWayCase kTwoWayCases[] = {
    {{1005, 100, 12}, {0xED, 0x03, 0, 0, 0x64, 0, 0, 0, 0x0C, 0, 0, 0}},
    {{0, 0, 0}, Bytes(12, 0)},
    {{-1, -1, -1}, Bytes(12, 0xFF)},
    {{INT32_MIN, INT32_MAX, -2}, {0, 0, 0, 0x80, 0xFF, 0xFF, 0xFF, 0x7F, 0xFE, 0xFF, 0xFF, 0xFF}},
    {{0x01020304, 4096, 1000}, {4, 3, 2, 1, 0, 0x10, 0, 0, 0xE8, 0x03, 0, 0}},
};

TEST(TwoWayDownlinkPacket, GoldenBytesBothWays) {
    for (const TwoWayCase &c : kTwoWayCases) {
        SCOPED_TRACE(std::to_string(c.packet.id));
        uint8_t out[kTwoWayPacketBytes];
        std::memset(out, 0xAA, sizeof out);
        encode_two_way(c.packet, out);
        EXPECT_EQ(Bytes(out, out + kTwoWayPacketBytes), c.bytes);

        TwoWayDownlinkPacket decoded{7, 7, 7};
        ASSERT_TRUE(decode_two_way(c.bytes.data(), c.bytes.size(), &decoded));
        EXPECT_EQ(decoded.id, c.packet.id);
        EXPECT_EQ(decoded.size, c.packet.size);
        EXPECT_EQ(decoded.time, c.packet.time);
    }
}

TEST(TwoWayDownlinkPacket, ShortInputLeavesPacketUntouched) {
    const Bytes bytes = kTwoWayCases[0].bytes;
    for (std::size_t len : {std::size_t{0}, std::size_t{4}, std::size_t{11}}) {
        TwoWayDownlinkPacket decoded{7, 8, 9};
        EXPECT_FALSE(decode_two_way(bytes.data(), len, &decoded)) << len;
        EXPECT_EQ(decoded.id, 7);
        EXPECT_EQ(decoded.size, 8);
        EXPECT_EQ(decoded.time, 9);
    }
    // Longer input: the record is the first 12 bytes.
    Bytes longer = bytes;
    longer.push_back('z');
    TwoWayDownlinkPacket decoded;
    ASSERT_TRUE(decode_two_way(longer.data(), longer.size(), &decoded));
    EXPECT_EQ(decoded.id, 1005);
}

TEST(RTTResultPacket, ArchiveText) {
    struct Case {
        TwoWayDownlinkPacket packet;
        std::string text;
    } cases[] = {
        {{1005, 100, 12}, "22 serialization::archive 14 0 0 1005 100 12"},
        {{1005, 100, -1}, "22 serialization::archive 14 0 0 1005 100 -1"},
        {{0, 0, 0}, "22 serialization::archive 14 0 0 0 0 0"},
        {{INT32_MIN, INT32_MAX, -1}, "22 serialization::archive 14 0 0 -2147483648 2147483647 -1"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(encode_rtt_result(c.packet), c.text);
        TwoWayDownlinkPacket decoded;
        ASSERT_TRUE(decode_rtt_result(c.text, &decoded)) << c.text;
        EXPECT_EQ(decoded.id, c.packet.id);
        EXPECT_EQ(decoded.size, c.packet.size);
        EXPECT_EQ(decoded.time, c.packet.time);
    }
}

TEST(RTTResultPacket, DecoderTakesLastThreeTokens) {
    struct Case {
        std::string text;
        bool ok;
        TwoWayDownlinkPacket packet;
    } cases[] = {
        {"1 2 3", true, {1, 2, 3}},
        {"22 serialization::archive 18 0 0 1001 64 5", true, {1001, 64, 5}},  // other version
        {"22 serialization::archive 14 0 0 1001 64 5\n", true, {1001, 64, 5}},
        {"  1001   64  -0 ", true, {1001, 64, 0}},
        {std::string("1 2 3\0 garbage", 13), true, {1, 2, 3}},  // text ends at NUL
        {"", false, {}},
        {"   ", false, {}},
        {"1 2", false, {}},
        {"serialization::archive", false, {}},
        {"22 serialization::archive 14 0 0 1001 64 x", false, {}},
        {"1001 64 +5", false, {}},
        {"1001 64 5x", false, {}},
        {"1001 64 -", false, {}},
        {"1001 64 2147483648", false, {}},
        {"1001 64 -2147483649", false, {}},
        {"1001 64 99999999999999999999999999999", false, {}},
        {"1001 64 -2147483648", true, {1001, 64, INT32_MIN}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("[" + c.text + "]");
        TwoWayDownlinkPacket decoded{7, 8, 9};
        ASSERT_EQ(decode_rtt_result(c.text, &decoded), c.ok);
        if (c.ok) {
            EXPECT_EQ(decoded.id, c.packet.id);
            EXPECT_EQ(decoded.size, c.packet.size);
            EXPECT_EQ(decoded.time, c.packet.time);
        } else {
            EXPECT_EQ(decoded.id, 7);
            EXPECT_EQ(decoded.time, 9);
        }
    }
}

TEST(RTTResultPacket, DecoderLooksAtMostAtOneMessage) {
    // Beyond 4096 bytes nothing is read: the tokens there do not count.
    std::string text = "1 2 3" + std::string(kMaxMessageBytes, ' ') + "4 5 6";
    TwoWayDownlinkPacket decoded;
    ASSERT_TRUE(decode_rtt_result(text, &decoded));
    EXPECT_EQ(decoded.id, 1);
    std::string digits(100000, '7');
    EXPECT_FALSE(decode_rtt_result(digits, &decoded));
}

TEST(ProbeResultLine, Format) {
    ProbeResultLine line;
    line.counter = 3;
    line.packet_id = "102";
    line.two_way = false;
    line.payload_bytes = 64;
    line.ip_version = "V4";
    line.ip = "10.0.0.5";
    line.port = 5000;
    line.time_ms = 12;
    line.status = "OK";
    EXPECT_EQ(line.str(),
              "Counter=3 PacketId=102 TwoWay=false PayloadBytes=64 IpVersion=V4 Ip=10.0.0.5 "
              "Port=5000 TimeMs=12 Status=OK");
    line.two_way = true;
    line.time_ms = -1;
    line.ip_version = "V6";
    line.ip = "::1";
    line.status = "";
    EXPECT_EQ(line.str(),
              "Counter=3 PacketId=102 TwoWay=true PayloadBytes=64 IpVersion=V6 Ip=::1 "
              "Port=5000 TimeMs=-1 Status=");
}

TEST(MessageClassification, StopRequest) {
    struct Case {
        std::string text;
        bool stop;
    } cases[] = {
        {"STOP;", true},
        {"STOP", true},
        {";;STOP;", true},
        {"STOP;more;fields;", true},
        {"STOPX;", false},
        {"stop;", false},
        {"STO", false},
        {"", false},
        {";;;", false},
        {" STOP;", false},
        {"X;STOP;", false},
        {std::string("STOP\0;", 6), true},  // text ends at the NUL
        {std::string("ST\0OP;", 6), false},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(is_stop_request(c.text.data(), c.text.size()), c.stop) << "[" << c.text << "]";
    }
    // The length bounds the text even without a NUL.
    EXPECT_FALSE(is_stop_request("STOPX", 3));
    EXPECT_TRUE(is_stop_request("STOP;", 4));
    EXPECT_FALSE(is_stop_request(nullptr, 0));
}

TEST(MessageClassification, TcpTwoWayRequest) {
    uint8_t request[kTwoWayPacketBytes];
    encode_two_way({1000, 100, 50}, request);
    EXPECT_TRUE(is_tcp_two_way_request(request, 12));
    EXPECT_FALSE(is_tcp_two_way_request(request, 11));
    EXPECT_FALSE(is_tcp_two_way_request(request, 13));
    encode_two_way({999, 100, 50}, request);
    EXPECT_FALSE(is_tcp_two_way_request(request, 12));
    encode_two_way({-5, 100, 50}, request);
    EXPECT_FALSE(is_tcp_two_way_request(request, 12));
    // A 12-byte echo probe "5xxxxxxxxxxx" reads as a large id: a two-way request.
    const std::string probe = probe_payload(5, 12);
    EXPECT_TRUE(
        is_tcp_two_way_request(reinterpret_cast<const uint8_t *>(probe.data()), probe.size()));
}

TEST(MessageClassification, UdpEchoProbe) {
    uint8_t buffer[kMaxMessageBytes] = {};
    const std::string probe = probe_payload(105, 8);
    std::memcpy(buffer, probe.data(), probe.size());
    EXPECT_TRUE(is_udp_echo_probe(buffer, probe.size()));
    EXPECT_FALSE(is_udp_echo_probe(buffer, 3));  // short datagram: byte 3 is not its own

    std::memset(buffer, 0, sizeof buffer);
    const std::string data = probe_payload(1003, 8);  // returned downlink data
    std::memcpy(buffer, data.data(), data.size());
    EXPECT_FALSE(is_udp_echo_probe(buffer, data.size()));

    std::memset(buffer, 0, sizeof buffer);
    encode_two_way({1003, 100, 10}, buffer);  // binary request: byte 3 is 0
    EXPECT_FALSE(is_udp_echo_probe(buffer, kTwoWayPacketBytes));
    EXPECT_FALSE(is_udp_echo_probe(nullptr, 0));
}

TEST(StunReply, EchoesFieldsAndAddsObservedAddress) {
    const std::string head =
        "Server_id: server1234;S_VERSION: SV_1_0;--Message Received from Client:;";
    struct Case {
        std::string request;
        std::string ip;
        unsigned port;
        std::string reply;
    } cases[] = {
        {"Client_id: client1234;Protocol: TCP;", "192.0.2.7", 40000,
         head + "Client_id: client1234;Protocol: TCP;--Client IP and Port observed:;"
                "Client Public IP: 192.0.2.7;Client Public Port: 40000;"},
        {"A;;B;", "::1", 1,
         head + "A;B;--Client IP and Port observed:;"
                "Client Public IP: ::1;Client Public Port: 1;"},
        {"no separator", "10.0.0.1", 65535,
         head + "--Client IP and Port observed:;Client Public IP: 10.0.0.1;"
                "Client Public Port: 65535;"},
        {"A;B;tail", "10.0.0.1", 5,
         head + "A;B;--Client IP and Port observed:;Client Public IP: 10.0.0.1;"
                "Client Public Port: 5;"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(stun_reply(c.request.data(), c.request.size(), c.ip, c.port), c.reply)
            << c.request;
    }
}

TEST(MessageText, BoundedByNulLengthAndMaximum) {
    EXPECT_EQ(message_text("abc", 3), "abc");
    EXPECT_EQ(message_text("abcdef", 2), "ab");
    EXPECT_EQ(message_text(std::string("ab\0cd", 5).data(), 5), "ab");
    EXPECT_EQ(message_text(nullptr, 0), "");
    const std::string big(kMaxMessageBytes + 10, 'a');
    EXPECT_EQ(message_text(big.data(), big.size()).size(), kMaxMessageBytes);
}

TEST(MessageText, SplitCountsSeparatorsAndSkipsEmptyPieces) {
    struct Case {
        std::string text;
        std::size_t separators;
        std::vector<std::string> pieces;
    } cases[] = {
        {"A;B;C;", 3, {"A", "B", "C"}},
        {"A;B;C", 2, {"A", "B", "C"}},
        {"A;;B;", 3, {"A", "B"}},
        {";A;", 2, {"A"}},
        {"", 0, {}},
        {"plain", 0, {"plain"}},
        {";;;", 3, {}},
    };
    for (const Case &c : cases) {
        std::vector<std::string> pieces;
        EXPECT_EQ(split_message(c.text, &pieces), c.separators) << c.text;
        EXPECT_EQ(pieces, c.pieces) << c.text;
    }
}

// Random input of every length up to past one message, each in a buffer of
// exactly that size, so that the sanitizer builds catch any read beyond it.
TEST(Decoders, StayWithinTheirInput) {
    std::mt19937 random(20240601);
    const char alphabet[] = "STOP;x0123456789- \n\0\xff";
    for (int round = 0; round < 2000; ++round) {
        const std::size_t len = random() % (kMaxMessageBytes + 64);
        std::unique_ptr<uint8_t[]> buf(new uint8_t[len == 0 ? 1 : len]);
        const bool text_like = round % 2 == 0;
        for (std::size_t i = 0; i < len; ++i)
            buf[i] = text_like ? alphabet[random() % (sizeof alphabet - 1)]
                               : static_cast<uint8_t>(random());
        const char *text = reinterpret_cast<const char *>(buf.get());

        TwoWayDownlinkPacket packet;
        decode_two_way(buf.get(), len, &packet);
        is_tcp_two_way_request(buf.get(), len);
        is_udp_echo_probe(buf.get(), len);
        is_stop_request(text, len);
        EXPECT_LE(message_text(text, len).size(), kMaxMessageBytes);
        decode_rtt_result(std::string(text, len), &packet);
        const std::string reply = stun_reply(text, len, "::1", 1);
        EXPECT_LE(reply.size(), kMaxMessageBytes + 200);
    }
}

}  // namespace
