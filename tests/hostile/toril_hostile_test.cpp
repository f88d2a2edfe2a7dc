// toril -s (TCP and UDP, IPv4 and IPv6) against hostile peers: random bytes,
// truncated and oversized test headers, honest headers with absurd fields
// (built with the program's own encoder), and thousands of connections or
// datagrams that say nothing. Afterwards the server must still be alive, serve
// an honest test of the real client with the right byte count, and hold no
// more descriptors or memory than after its first test.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <iostream>
#include <string>
#include <vector>

#include "tests/hostile/hostile_peer.h"
#include "tests/support/net.h"
#include "toril/core/headers.h"
#include "toril/core/settings.h"

namespace {

using hostile::Bytes;
using namespace std::chrono_literals;

const std::string kBin = TORIL_BIN;
constexpr uint32_t kSeed = 20261210;
constexpr int kUdpLen = 1470;

// Honest clients whose headers the mutations start from. The reverse port is
// 1, so a header turned into a connect-back test meets a closed port.
const uint32_t kClientTests[] = {0, TEST_TRIP_TIMES, TEST_REVERSE, TEST_FULL_DUPLEX};

Bytes honest_header(bool udp, uint32_t test_flags) {
    thread_Settings c;
    Settings_Initialize(&c);
    c.thread_mode = kMode_Client;
    c.port = 1;
    c.test_flags |= test_flags;
    if (udp) {
        c.option_flags |= OPT_UDP;
        c.buf_len = kUdpLen;
    }
    Bytes buf(udp ? kUdpLen : kTcpClientHdrSpace, 0);
    const int len = Settings_GenerateClientHdr(&c, buf.data(), buf.size(), time(nullptr), 0);
    EXPECT_GT(len, 0);
    if (udp) {
        hdr_udp_write(buf.data(), buf.size(), UdpHdr{1, time(nullptr), 0});
        return buf;  // a first datagram is a whole datagram
    }
    buf.resize(len > 0 ? static_cast<size_t>(len) : 0);
    return buf;
}

hostile::Shapes toril_shapes() {
    hostile::Shapes s;
    for (uint32_t flags : kClientTests) {
        s.tcp_headers.push_back(honest_header(false, flags));
        s.udp_firsts.push_back(honest_header(true, flags));
    }
    s.udp_final.assign(kUdpLen, 0);
    hdr_udp_write(s.udp_final.data(), s.udp_final.size(), UdpHdr{-2, time(nullptr), 0});
    s.udp_header_span = kUdpClientHdrSpace;
    s.tcp_flags = {{0, 4}, {32, 2}};   // header flags, upper flags
    s.udp_flags = {{16, 4}, {48, 2}};  // the same inside a first datagram
    const Bytes honest = s.tcp_headers.front();
    Bytes longest = honest;  // the longest length the flags can announce
    hostile::put_be32(&longest, 0, HDR_EXTEND | HDR_LEN | (0xff << 1));
    Bytes keyed = honest;  // a permit key of 65535 bytes
    hostile::put_be32(
        &keyed, 0,
        HDR_EXTEND | HDR_KEYCHECK | HDR_LEN | (static_cast<uint32_t>(honest.size()) << 1));
    keyed.insert(keyed.end(), {0xff, 0xff});
    s.tcp_oversized = {longest, keyed};
    return s;
}

class TorilHostile : public hostile::GeneratorHostile {
  protected:
    std::string program() const override { return kBin; }
    hostile::Shapes shapes() const override { return toril_shapes(); }
    uint32_t seed() const override { return kSeed; }
    // The rate limit makes the test last a few tenths of a second.
    std::vector<std::string> honest_client_args() const override {
        if (GetParam().udp) return {"-u", "-l", "1024", "-b", "2m"};
        return {"-l", "8K", "-b", "2m"};
    }
    // 64 KiB in 1024-byte datagrams is 65 of them, the last one counted on
    // both ends.
    std::string honest_final_line() const override {
        return std::string("[~#] 0.00-#.# sec  ") + (GetParam().udp ? "66560" : "65536") +
               " Bytes ";
    }
};

TEST_P(TorilHostile, SurvivesAndServesAnHonestTest) { abuse("toril"); }

INSTANTIATE_TEST_SUITE_P(Servers, TorilHostile, testing::ValuesIn(hostile::kGeneratorCases),
                         hostile::generator_case_name);

}  // namespace
