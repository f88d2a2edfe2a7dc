#include "common/checksum.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

// Golden checksums were summed by hand from the RFC 768 pseudo-header:
// 192.0.2.1 -> 192.0.2.2 (or fd00::1 -> fd00::2), port 1234 -> 5001.
struct Frame {
    std::vector<uint8_t> ip;
    std::vector<uint8_t> udp;
};

Frame ipv4_frame(const char *payload, uint16_t checksum) {
    Frame f;
    f.ip.assign(20, 0);
    f.ip[0] = 0x45;
    f.ip[9] = 17;
    const uint8_t addrs[] = {192, 0, 2, 1, 192, 0, 2, 2};
    memcpy(&f.ip[12], addrs, sizeof addrs);
    size_t len = 8 + strlen(payload);
    f.udp = {0x04,
             0xd2,
             0x13,
             0x89,
             0,
             static_cast<uint8_t>(len),
             static_cast<uint8_t>(checksum >> 8),
             static_cast<uint8_t>(checksum)};
    f.udp.insert(f.udp.end(), payload, payload + strlen(payload));
    return f;
}

Frame ipv6_frame(const char *payload, uint16_t checksum) {
    Frame f = ipv4_frame(payload, checksum);
    f.ip.assign(40, 0);
    f.ip[0] = 0x60;
    f.ip[6] = 17;
    f.ip[8] = 0xfd;
    f.ip[23] = 1;
    f.ip[24] = 0xfd;
    f.ip[39] = 2;
    return f;
}

int check(const Frame &f, bool ipv6) {
    return udpchecksum(f.ip.data(), f.udp.data(), static_cast<int>(f.udp.size()), ipv6);
}

TEST(UdpChecksum, IntactDatagramsPass) {
    EXPECT_EQ(check(ipv4_frame("abcd", 0x9eb0), false), 0);
    EXPECT_EQ(check(ipv4_frame("abcde", 0x39ae), false), 0);  // odd length: zero pad
    EXPECT_EQ(check(ipv6_frame("abcd", 0x28b0), true), 0);
}

TEST(UdpChecksum, AnyChangedByteFails) {
    Frame good = ipv4_frame("abcd", 0x9eb0);
    for (size_t i = 0; i < good.udp.size(); i++) {
        Frame bad = good;
        bad.udp[i] ^= 0x01;
        EXPECT_NE(check(bad, false), 0) << "udp byte " << i;
    }
    for (size_t i = 12; i < 20; i++) {
        Frame bad = good;
        bad.ip[i] ^= 0x80;
        EXPECT_NE(check(bad, false), 0) << "address byte " << i;
    }
    Frame v6 = ipv6_frame("abcd", 0x28b0);
    v6.ip[20] ^= 0x10;
    EXPECT_NE(check(v6, true), 0);
    // The IPv4 sum is not valid for the IPv6 addresses and the other way round.
    EXPECT_NE(check(ipv6_frame("abcd", 0x9eb0), true), 0);
}

TEST(UdpChecksum, ZeroFieldMeansNoChecksumOnlyOverIpv4) {
    EXPECT_EQ(check(ipv4_frame("abcd", 0), false), 0);
    EXPECT_EQ(check(ipv6_frame("abcd", 0), true), -1);
}

TEST(UdpChecksum, LengthShorterThanTheHeaderFails) {
    Frame f = ipv4_frame("abcd", 0x9eb0);
    EXPECT_EQ(udpchecksum(f.ip.data(), f.udp.data(), 7, false), -1);
    EXPECT_EQ(udpchecksum(f.ip.data(), f.udp.data(), 0, false), -1);
    EXPECT_EQ(udpchecksum(f.ip.data(), f.udp.data(), -1, false), -1);
}

}  // namespace
