// vantrip SERVER (TCP and UDP on one port, IPv4 and IPv6) against hostile
// peers: random bytes, truncated, oversized and absurd probe messages and
// two-way records (built with the protocol's own encoders), and thousands of
// connections or datagrams that say nothing. No input may be a stop request:
// the server must then still be alive, answer the real client's TCP and UDP
// probes, and hold no more descriptors or memory than after its first test.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <iostream>
#include <string>
#include <vector>

#include "tests/hostile/hostile_peer.h"
#include "tests/support/net.h"
#include "tests/support/process.h"
#include "vantrip/server/protocol.h"

namespace {

using hostile::Bytes;
using namespace std::chrono_literals;

const std::string kBin = VANTRIP_BIN;
constexpr uint32_t kSeed = 20261212;

Bytes two_way(int32_t id, int32_t size, int32_t time) {
    Bytes b(kTwoWayPacketBytes);
    encode_two_way(TwoWayDownlinkPacket{id, size, time}, b.data());
    return b;
}

Bytes text(const std::string &s) {
    return Bytes(s.begin(), s.end());
}

hostile::Shapes vantrip_shapes() {
    hostile::Shapes s;
    // Two-way records that ask for absurd downlinks and waits, besides the
    // honest ones; echo probes of every size the client may send.
    s.tcp_headers = {two_way(tcp_request_id(1), 100, 1000),
                     two_way(1000, INT_MAX, INT_MAX),
                     two_way(INT_MAX, -1, -1),
                     two_way(1000, INT_MIN, INT_MIN),
                     text(probe_payload(tcp_probe_number(1), 100)),
                     text(probe_payload(tcp_probe_number(2), 4096))};
    s.udp_firsts = {text(probe_payload(udp_probe_number(1), 100)),
                    two_way(udp_request_id(1), 100, 1000), two_way(1000, INT_MAX, INT_MAX),
                    text(std::string(200, ';'))};
    s.udp_final = text(probe_payload(udp_probe_number(2), 100));
    s.udp_header_span = 100;
    s.tcp_oversized = {text(probe_payload(tcp_probe_number(3), 4096)),
                       text(std::string(4096, ';'))};
    return s;
}

// A hostile input that happened to be a stop request would end the server by
// design, not by fault: the inputs must hold none.
bool holds_stop(const hostile::Shapes &s) {
    for (const auto *list : {&s.tcp_headers, &s.udp_firsts, &s.tcp_oversized}) {
        for (const Bytes &b : *list) {
            if (is_stop_request(reinterpret_cast<const char *>(b.data()), b.size())) return true;
        }
    }
    return false;
}

class VantripHostile : public testing::TestWithParam<int> {
  protected:
    void SetUp() override {
        if (kBin.empty()) GTEST_SKIP() << "vantrip is not built";
        target_.family = GetParam();
        target_.port = testsupport::free_port();
        ASSERT_NE(target_.port, 0);
        ASSERT_TRUE(server_.start({kBin, "SERVER", std::to_string(target_.port)},
                                  "Vantrip server started...."))
            << server_.process().err();
    }
    void TearDown() override {
        if (!IsSkipped()) server_.stop_and_check();
    }

    std::string version() const { return GetParam() == 6 ? "V6" : "V4"; }

    // The real client: two UDP probes (each answered line checked on both
    // ends) and two TCP probes (the client's log summary checked).
    void honest_test(const std::string &phase) {
        SCOPED_TRACE(phase);
        const std::string ip = hostile::loopback_text(GetParam());
        const std::string port = std::to_string(target_.port);
        server_.honest_run(
            {kBin, "CLIENT", "UDP", version(), ip, port, "100", "2", "1000"},
            "Counter=2 PacketId=101 TwoWay=false PayloadBytes=100 IpVersion=" + version() +
                " Ip=" + ip + " Port=" + port + " TimeMs=# Status=OK\n",
            "Counter=# PacketId=101 TwoWay=false PayloadBytes=100 IpVersion=" + version() +
                " Ip=" + ip + " Port=# TimeMs=0 Status=NotApplicable\n");
        testsupport::TempDir dir;
        const std::string log = dir.file("client.log");
        testsupport::RunOptions opts;
        opts.timeout = 30000ms;
        const testsupport::RunResult r = testsupport::run(
            {kBin, "CLIENT", "TCP", version(), ip, port, "100", "2", "1000", log}, opts);
        ASSERT_FALSE(r.timed_out) << "the honest TCP test hung";
        EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
        const std::string text = testsupport::read_file(log);
        EXPECT_NE(text.find("Packets: Sent = 2, Received = 2, Lost = 0 (0% loss),"),
                  std::string::npos)
            << text;
    }

    static void phase_done(void *self, const char *phase) {
        static_cast<VantripHostile *>(self)->server_.expect_alive(phase);
    }

    hostile::Target target_;
    hostile::WatchedServer server_;
};

TEST_P(VantripHostile, SurvivesAndAnswersTheRealClient) {
    const hostile::Shapes shapes = vantrip_shapes();
    ASSERT_FALSE(holds_stop(shapes));
    const std::string name = "vantrip_v" + std::to_string(GetParam());
    server_.abuse(
        name, [this](const std::string &phase) { honest_test(phase); },
        [&](hostile::Tally *tally) {
            hostile::tcp_barrage(target_, shapes, kSeed, tally, phase_done, this);
            hostile::Tally udp;
            hostile::udp_barrage(target_, shapes, kSeed, &udp, phase_done, this);
            udp.publish(name + "_udp");
        });
}

INSTANTIATE_TEST_SUITE_P(Families, VantripHostile, testing::Values(4, 6),
                         [](const testing::TestParamInfo<int> &i) {
                             return "v" + std::to_string(i.param);
                         });

}  // namespace
