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

struct Case {
    const char *name;
    bool udp;
    int family;
};

class TorilHostile : public testing::TestWithParam<Case> {
  protected:
    void SetUp() override {
        if (kBin.empty()) GTEST_SKIP() << "toril is not built";
        target_.family = GetParam().family;
        target_.port = testsupport::free_port();
        ASSERT_NE(target_.port, 0);
        std::vector<std::string> argv{kBin, "-s", "-p", std::to_string(target_.port), "-f", "b"};
        if (GetParam().udp) argv.push_back("-u");
        if (GetParam().family == 6) argv.push_back("-V");
        ASSERT_TRUE(server_.start(argv, "Server listening")) << server_.process().err();
    }
    void TearDown() override {
        if (!IsSkipped()) server_.stop_and_check();
    }

    // The real client's byte-count test; both ends must report 65536 bytes.
    // The rate limit makes the test last a few tenths of a second.
    void honest_test(const std::string &phase) {
        SCOPED_TRACE(phase);
        std::vector<std::string> argv{kBin,
                                      "-c",
                                      hostile::loopback_text(target_.family),
                                      "-p",
                                      std::to_string(target_.port),
                                      "-n",
                                      "64K",
                                      "-f",
                                      "b"};
        if (GetParam().udp)
            argv.insert(argv.end(), {"-u", "-l", "1024", "-b", "2m"});
        else
            argv.insert(argv.end(), {"-l", "8K", "-b", "2m"});
        // 64 KiB in 1024-byte datagrams is 65 of them, the last one counted
        // on both ends.
        const std::string bytes = GetParam().udp ? "66560" : "65536";
        const std::string final_line = "[~#] 0.00-#.# sec  " + bytes + " Bytes ";
        server_.honest_run(argv, final_line, final_line);
    }

    static void phase_done(void *self, const char *phase) {
        static_cast<TorilHostile *>(self)->server_.expect_alive(phase);
    }

    hostile::Target target_;
    hostile::WatchedServer server_;
};

TEST_P(TorilHostile, SurvivesAndServesAnHonestTest) {
    const hostile::Shapes shapes = toril_shapes();
    server_.abuse(
        std::string("toril_") + GetParam().name,
        [this](const std::string &phase) { honest_test(phase); },
        [&](hostile::Tally *tally) {
            if (GetParam().udp)
                hostile::udp_barrage(target_, shapes, kSeed, tally, phase_done, this);
            else
                hostile::tcp_barrage(target_, shapes, kSeed, tally, phase_done, this);
        });
}

INSTANTIATE_TEST_SUITE_P(Servers, TorilHostile,
                         testing::Values(Case{"tcp_v4", false, 4}, Case{"tcp_v6", false, 6},
                                         Case{"udp_v4", true, 4}, Case{"udp_v6", true, 6}),
                         [](const testing::TestParamInfo<Case> &i) { return i.param.name; });

}  // namespace
