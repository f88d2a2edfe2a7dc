// quarvel -s (TCP and UDP, IPv4 and IPv6) against hostile peers: random
// bytes, truncated and oversized test headers, honest headers with absurd
// fields (built with the program's own encoder), and thousands of connections
// or datagrams that say nothing. Afterwards the server must still be alive,
// serve an honest test of the real client with the right byte count, and hold
// no more descriptors or memory than after its first test.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <iostream>
#include <string>
#include <vector>

#include "quarvel/client_wire.h"
#include "quarvel/settings.h"
#include "tests/hostile/hostile_peer.h"
#include "tests/support/net.h"

namespace {

using hostile::Bytes;
using namespace std::chrono_literals;

const std::string kBin = QUARVEL_BIN;
constexpr uint32_t kSeed = 20261211;
constexpr int kUdpLen = 1470;

// Honest clients whose headers the mutations start from: a plain test, and
// dual and tradeoff tests whose reverse port (1) is closed.
const TestMode kClientTests[] = {kTest_Normal, kTest_DualTest, kTest_TradeOff};

thread_Settings client_settings(TestMode mode, bool udp) {
    thread_Settings c;
    Settings_Initialize(&c);
    c.thread_mode = kMode_Client;
    c.test_mode = mode;
    c.port = 1;
    c.option_flags |= OPT_LEN_SET;
    c.buf_len = udp ? kUdpLen : 8192;
    if (udp) c.option_flags |= OPT_UDP;
    return c;
}

Bytes tcp_header(TestMode mode) {
    thread_Settings c = client_settings(mode, false);
    Bytes b(kTestHeaderBytes, 0);
    client_encode_test_header(&c, b.data());
    return b;
}

Bytes udp_first(TestMode mode) {
    thread_Settings c = client_settings(mode, true);
    Bytes b(kUdpLen, 0);
    client_encode_datagram_header(b.data(), 0, static_cast<uint32_t>(time(nullptr)), 0);
    client_encode_test_header(&c, b.data() + kDatagramHeaderBytes);
    return b;
}

hostile::Shapes quarvel_shapes() {
    hostile::Shapes s;
    for (TestMode mode : kClientTests) {
        s.tcp_headers.push_back(tcp_header(mode));
        s.udp_firsts.push_back(udp_first(mode));
    }
    s.udp_final.assign(kUdpLen, 0);
    client_encode_datagram_header(s.udp_final.data(), -2, static_cast<uint32_t>(time(nullptr)), 0);
    s.udp_header_span = kDatagramHeaderBytes + kTestHeaderBytes;
    s.tcp_flags = {{0, 4}};
    s.udp_flags = {{kDatagramHeaderBytes, 4}};
    return s;
}

struct Case {
    const char *name;
    bool udp;
    int family;
};

class QuarvelHostile : public testing::TestWithParam<Case> {
  protected:
    void SetUp() override {
        if (kBin.empty()) GTEST_SKIP() << "quarvel is not built";
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
        if (GetParam().family == 6) argv.push_back("-V");
        if (GetParam().udp)
            argv.insert(argv.end(), {"-u", "-l", "1024", "-b", "2M"});
        else
            argv.insert(argv.end(), {"-l", "8K"});
        const std::string final_line = "[~#]~0.0-~#.# sec  65536 Bytes ";
        server_.honest_run(argv, final_line, final_line);
    }

    static void phase_done(void *self, const char *phase) {
        static_cast<QuarvelHostile *>(self)->server_.expect_alive(phase);
    }

    hostile::Target target_;
    hostile::WatchedServer server_;
};

TEST_P(QuarvelHostile, SurvivesAndServesAnHonestTest) {
    const hostile::Shapes shapes = quarvel_shapes();
    server_.abuse(
        std::string("quarvel_") + GetParam().name,
        [this](const std::string &phase) { honest_test(phase); },
        [&](hostile::Tally *tally) {
            if (GetParam().udp)
                hostile::udp_barrage(target_, shapes, kSeed, tally, phase_done, this);
            else
                hostile::tcp_barrage(target_, shapes, kSeed, tally, phase_done, this);
        });
}

INSTANTIATE_TEST_SUITE_P(Servers, QuarvelHostile,
                         testing::Values(Case{"tcp_v4", false, 4}, Case{"tcp_v6", false, 6},
                                         Case{"udp_v4", true, 4}, Case{"udp_v6", true, 6}),
                         [](const testing::TestParamInfo<Case> &i) { return i.param.name; });

}  // namespace
