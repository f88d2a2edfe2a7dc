// The probe servers in-process: constructed on the process-wide io_service,
// which a second thread runs, and talked to over loopback.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include "tests/support/net.h"
#include "tests/vantrip/server/peer.h"
#include "vantrip/frontend/settings.h"
#include "vantrip/server/tcp_server.h"
#include "vantrip/server/udp_server.h"

namespace vantrip_test {
namespace {

using namespace std::chrono_literals;

constexpr int kReplyMs = 3000;

class InProcessServers : public ::testing::Test {
  protected:
    void SetUp() override {
        logging_enabled = false;
        stun_mode = false;
        port_ = testsupport::free_port();
        ASSERT_NE(port_, 0);
    }
    void TearDown() override { stop(); }

    void start() {
        io_service.restart();
        tcp_ = std::make_unique<tcp_server>(io_service, port_);
        udp_ = std::make_unique<udp_server>(io_service, port_);
        std::promise<void> ended;
        run_ended_ = ended.get_future();
        runner_ = std::thread([done = std::move(ended)]() mutable {
            io_service.run();
            done.set_value();
        });
    }

    // True when the run ended by itself within the limit.
    bool run_ends_within(std::chrono::milliseconds limit) {
        return run_ended_.valid() && run_ended_.wait_for(limit) == std::future_status::ready;
    }

    // Ends the run, destroys both servers, then lets the completions that
    // their closing queued run: none of them may touch a server.
    void stop() {
        if (!runner_.joinable()) return;
        io_service.stop();
        runner_.join();
        udp_.reset();
        tcp_.reset();
        io_service.restart();
        io_service.poll();
    }

    uint16_t port_ = 0;
    std::unique_ptr<tcp_server> tcp_;
    std::unique_ptr<udp_server> udp_;
    std::thread runner_;
    std::future<void> run_ended_;
};

void expect_echoes(uint16_t port) {
    for (int family : {4, 6}) {
        SCOPED_TRACE(family);
        UdpPeer udp(family);
        ASSERT_TRUE(udp.send_to(port, "103xxxxxxx"));
        EXPECT_EQ(udp.receive(kReplyMs), std::optional<std::string>("103xxxxxxx"));
        TcpPeer tcp;
        ASSERT_TRUE(tcp.connect(family, port));
        ASSERT_TRUE(tcp.send("3xxxxxxx"));
        EXPECT_EQ(tcp.read_exactly(8, kReplyMs), "3xxxxxxx");
    }
}

TEST_F(InProcessServers, EchoOnBothTransportsAndFamiliesAndCountUdpProbes) {
    const long before = probe_counter;  // read before the server thread exists
    start();
    expect_echoes(port_);
    stop();
    EXPECT_EQ(probe_counter, before + 2);
}

TEST_F(InProcessServers, TwoWayOverTcpRunsTheTimedReadInsideTheServer) {
    start();
    TcpPeer peer;
    ASSERT_TRUE(peer.connect(6, port_));
    ASSERT_TRUE(peer.send(two_way_bytes(1002, 64, 3000)));
    const std::string data = peer.read_exactly(64, kReplyMs);
    ASSERT_EQ(data, probe_payload(1002, 64));
    // Other peers are served while the exchange waits.
    UdpPeer udp(4);
    ASSERT_TRUE(udp.send_to(port_, "150xxxxx"));
    EXPECT_EQ(udp.receive(kReplyMs), std::optional<std::string>("150xxxxx"));
    ASSERT_TRUE(peer.send(data));
    const TwoWayDownlinkPacket result = two_way_record(peer.read_exactly(12, kReplyMs));
    EXPECT_EQ(result.id, 1002);
    EXPECT_EQ(result.size, 64);
    EXPECT_GE(result.time, 0);
    EXPECT_LT(result.time, 3000);
}

TEST_F(InProcessServers, StopOverUdpEndsTheRunEvenDuringAnExchange) {
    start();
    TcpPeer waiting;  // an exchange whose data never comes back
    ASSERT_TRUE(waiting.connect(4, port_));
    ASSERT_TRUE(waiting.send(two_way_bytes(1001, 10, 30000)));
    ASSERT_EQ(waiting.read_exactly(10, kReplyMs), probe_payload(1001, 10));
    UdpPeer peer(6);
    ASSERT_TRUE(peer.send_to(port_, "STOP;"));
    EXPECT_EQ(peer.receive(kReplyMs), std::optional<std::string>("Server Closed..;"));
    EXPECT_TRUE(run_ends_within(5000ms));
}

TEST_F(InProcessServers, ServersCanBeMadeAnewOnTheSamePort) {
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        start();
        expect_echoes(port_);
        // A connection left open across the servers' end.
        TcpPeer idle;
        ASSERT_TRUE(idle.connect(4, port_));
        ASSERT_TRUE(idle.send("4xx"));
        EXPECT_EQ(idle.read_exactly(3, kReplyMs), "4xx");
        stop();
    }
}

}  // namespace
}  // namespace vantrip_test
