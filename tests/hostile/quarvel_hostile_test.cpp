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

class QuarvelHostile : public hostile::GeneratorHostile {
  protected:
    std::string program() const override { return kBin; }
    hostile::Shapes shapes() const override { return quarvel_shapes(); }
    uint32_t seed() const override { return kSeed; }
    // Both ends must report 65536 bytes.
    std::vector<std::string> honest_client_args() const override {
        std::vector<std::string> args;
        if (GetParam().family == 6) args.push_back("-V");
        if (GetParam().udp)
            args.insert(args.end(), {"-u", "-l", "1024", "-b", "2M"});
        else
            args.insert(args.end(), {"-l", "8K"});
        return args;
    }
    std::string honest_final_line() const override { return "[~#]~0.0-~#.# sec  65536 Bytes "; }
};

TEST_P(QuarvelHostile, SurvivesAndServesAnHonestTest) { abuse("quarvel"); }

INSTANTIATE_TEST_SUITE_P(Servers, QuarvelHostile, testing::ValuesIn(hostile::kGeneratorCases),
                         hostile::generator_case_name);

}  // namespace
