// The ICMP echo wire format: request bytes, checksum and the reply parser.
#include "vantrip/client/pinger.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

TEST(InternetChecksum, MatchesTheWorkedExampleAndOddLengths) {
    // RFC 1071's example bytes sum to 0xddf2 once folded.
    const uint8_t example[] = {0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7};
    EXPECT_EQ(internet_checksum(example, sizeof example), 0x220d);
    // An odd trailing byte counts as the high byte of a last word.
    const uint8_t odd[] = {0x01, 0x02, 0x03};
    EXPECT_EQ(internet_checksum(odd, sizeof odd), static_cast<uint16_t>(~(0x0102 + 0x0300)));
    EXPECT_EQ(internet_checksum(nullptr, 0), 0xffff);
}

TEST(IcmpEchoRequest, HasTheHeaderFieldsInNetworkOrderAndAValidChecksum) {
    const std::vector<uint8_t> request = icmp_echo_request(0x1234, 0xfe01, "3xx");
    const std::vector<uint8_t> expected = {0x08, 0x00, 0x00, 0x00, 0x12, 0x34,
                                           0xfe, 0x01, '3',  'x',  'x'};
    ASSERT_EQ(request.size(), expected.size());
    for (std::size_t i = 0; i < request.size(); ++i) {
        if (i == 2 || i == 3) continue;
        EXPECT_EQ(request[i], expected[i]) << "byte " << i;
    }
    // 0x0800 + 0x1234 + 0xfe01 + 0x3378 + 0x7800, folded and inverted.
    EXPECT_EQ(request[2], 0x3c);
    EXPECT_EQ(request[3], 0x51);
    EXPECT_EQ(internet_checksum(request.data(), request.size()), 0);
}

std::vector<uint8_t> ipv4_packet(std::size_t header_length, const std::vector<uint8_t> &icmp) {
    std::vector<uint8_t> packet(header_length, 0);
    packet[0] = static_cast<uint8_t>(0x40 | (header_length / 4));
    const std::size_t total = header_length + icmp.size();
    packet[2] = static_cast<uint8_t>(total >> 8);
    packet[3] = static_cast<uint8_t>(total);
    packet[9] = 1;  // ICMP
    packet[12] = 127;
    packet[13] = 0;
    packet[14] = 0;
    packet[15] = 1;
    packet.insert(packet.end(), icmp.begin(), icmp.end());
    return packet;
}

TEST(ParseIcmpPacket, ReadsHeaderFieldsPastIpOptions) {
    std::vector<uint8_t> icmp = icmp_echo_request(0xbeef, 7, "2xxx");
    icmp[0] = 0;  // echo reply
    for (std::size_t header_length : {20u, 24u, 60u}) {
        SCOPED_TRACE(header_length);
        const std::vector<uint8_t> packet = ipv4_packet(header_length, icmp);
        IcmpReply reply;
        ASSERT_TRUE(parse_icmp_packet(packet.data(), packet.size(), &reply));
        EXPECT_EQ(reply.type, 0);
        EXPECT_EQ(reply.identifier, 0xbeef);
        EXPECT_EQ(reply.sequence, 7);
        EXPECT_EQ(reply.ip_header_length, static_cast<int>(header_length));
        EXPECT_EQ(reply.ip_total_length - reply.ip_header_length, 12);
        EXPECT_EQ(reply.source, "127.0.0.1");
        EXPECT_EQ(reply.body, "2xxx");
    }
}

TEST(ParseIcmpPacket, RefusesWhatIsNotIpv4WithAnIcmpHeader) {
    const std::vector<uint8_t> icmp = icmp_echo_request(1, 1, "");
    const std::vector<uint8_t> good = ipv4_packet(20, icmp);
    IcmpReply reply;
    ASSERT_TRUE(parse_icmp_packet(good.data(), good.size(), &reply));
    EXPECT_EQ(reply.body, "");

    EXPECT_FALSE(parse_icmp_packet(good.data(), good.size() - 1, &reply));  // ICMP header cut
    EXPECT_FALSE(parse_icmp_packet(good.data(), 19, &reply));               // IP header cut
    EXPECT_FALSE(parse_icmp_packet(good.data(), 0, &reply));
    std::vector<uint8_t> v6 = good;
    v6[0] = 0x65;
    EXPECT_FALSE(parse_icmp_packet(v6.data(), v6.size(), &reply));
    std::vector<uint8_t> short_header = good;
    short_header[0] = 0x44;  // 16-byte header
    EXPECT_FALSE(parse_icmp_packet(short_header.data(), short_header.size(), &reply));
    // A header length that runs past the packet.
    std::vector<uint8_t> long_header = good;
    long_header[0] = 0x4f;
    EXPECT_FALSE(parse_icmp_packet(long_header.data(), long_header.size(), &reply));
}

}  // namespace
