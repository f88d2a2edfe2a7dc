// The probe client in-process: set-up failures, and UDP runs against small
// fake servers that live on the same io_service (their completions run while
// the client's timed reads drive it, all on this one thread).
#include "vantrip/client/client.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/net.h"
#include "tests/vantrip/client/client_support.h"
#include "tests/vantrip/client/text_match.h"
#include "vantrip/frontend/settings.h"

namespace {

using namespace vantrip_client_test;

// Answers datagram number k (from 0) with reply(k, text); an empty optional
// answer (nullptr) drops it.
class FakeUdpServer {
  public:
    using Reply = std::function<bool(int k, const std::string &in, std::string *out)>;
    FakeUdpServer(const std::string &address, Reply reply)
        : socket_(io_service, asio_udp::endpoint(asio::ip::make_address(address), 0)),
          reply_(std::move(reply)) {
        receive();
    }
    ~FakeUdpServer() {
        error_code ignored_ec;
        socket_.close(ignored_ec);
        io_service.restart();
        io_service.poll();
        io_service.restart();
    }
    uint16_t port() const { return socket_.local_endpoint().port(); }
    const std::vector<std::string> &received() const { return received_; }

  private:
    void receive() {
        socket_.async_receive_from(asio::buffer(buffer_), peer_,
                                   [this](const error_code &ec, std::size_t n) {
                                       if (ec) return;
                                       std::string in(buffer_, n), out;
                                       received_.push_back(in);
                                       const int k = static_cast<int>(received_.size()) - 1;
                                       if (reply_(k, in, &out)) {
                                           error_code ignored_ec;
                                           socket_.send_to(asio::buffer(out), peer_, 0, ignored_ec);
                                       }
                                       receive();
                                   });
    }
    asio_udp::socket socket_;
    Reply reply_;
    asio_udp::endpoint peer_;
    char buffer_[4096];
    std::vector<std::string> received_;
};

class ClientTest : public LoggedTest {};

struct SetupFailure {
    const char *name;
    const char *protocol;
    const char *ip_version;
    const char *server_ip;
    bool stun;
    std::string expected;  // "{port}" stands for the port text
};

TEST_F(ClientTest, SetUpFailuresAreLoggedAndEndTheRunWithOne) {
    const std::vector<SetupFailure> cases = {
        {"tcp_v4_with_v6_address", "TCP", "V4", "::1", false,
         "CLIENT_TCP : Client::tcpsocket_prep : ERROR : When using V4 option, please provide V4 "
         "type address for server"},
        {"tcp_v6_with_v4_address", "TCP", "V6", "127.0.0.1", false,
         "CLIENT_TCP : Client::tcpsocket_prep : ERROR : When using V6 option, please provide V6 "
         "type address for server"},
        {"udp_v4_with_v6_address", "UDP", "V4", "::1", false,
         "CLIENT_UDP : Client::udpsocket_prep : ERROR : When using V4 option, please provide V4 "
         "type address for server"},
        {"udp_v6_with_v4_address", "UDP", "V6", "127.0.0.1", false,
         "CLIENT_UDP : Client::udpsocket_prep : ERROR : When using V6 option, please provide V6 "
         "type address for server"},
        {"stun_tcp_v6_with_v4_address", "TCP", "V6", "127.0.0.1", true,
         "CLIENT_TCP : Client::tcpsocket_prep : ERROR : When using V6 option"},
        {"stun_udp_v4_with_v6_address", "UDP", "V4", "::1", true,
         "CLIENT_UDP : Client::udpsocket_prep : ERROR : When using V4 option"},
        // The name resolves (from the hosts file) but is not a numeric address.
        {"tcp_host_name", "TCP", "V4", "localhost", false,
         "CLIENT_TCP : Client::connect : ERROR : Extracting ip from string : "},
        {"udp_host_name", "UDP", "V4", "localhost", false,
         "CLIENT_UDP : Client::connect : ERROR : Extracting ip from string : "},
    };
    const uint16_t port = testsupport::free_port();
    for (const SetupFailure &c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t before = log_text().size();
        stun_mode = c.stun;
        Client client;
        testing::internal::CaptureStdout();
        const int result = client.connect(c.stun ? 0 : 2, 100, c.protocol, c.ip_version,
                                          c.server_ip, port, c.stun ? 0 : 16, false);
        const std::string out = testing::internal::GetCapturedStdout();
        stun_mode = false;
        EXPECT_EQ(result, 1);
        EXPECT_EQ(out, "");
        const std::string log = log_text().substr(before);
        EXPECT_NE(log.find(c.expected), std::string::npos) << log;
        if (std::string(c.server_ip) == "localhost") {
            EXPECT_NE(log.find(" localhost:" + std::to_string(port)), std::string::npos) << log;
        }
        EXPECT_EQ(log.find("Ping statistics"), std::string::npos);
    }
}

TEST_F(ClientTest, RefusedTcpConnectEndsTheRunWithOneAndClosesTheSocket) {
    const uint16_t port = testsupport::free_port();
    Client client;
    EXPECT_EQ(client.connect(2, 100, "TCP", "V4", "127.0.0.1", port, 16, false), 1);
    const std::string log = log_text();
    EXPECT_NE(log.find(" : CLIENT_TCP : Client::connect : ERROR socket.connect : "),
              std::string::npos);
    EXPECT_NE(log.find(" : CLIENT_TCP : Client::close_socket : Closing TCP socket..."),
              std::string::npos);
    EXPECT_NE(log.find(" : CLIENT_TCP : SOCKET CLOSED :  : "), std::string::npos);
    EXPECT_FALSE(client.tcp_socket_.is_open());
}

std::string result_line(int counter, int packet_id, bool two_way, int size, uint16_t port,
                        const std::string &time_ms, const std::string &status) {
    return "Counter=" + std::to_string(counter) + " PacketId=" + std::to_string(packet_id) +
           " TwoWay=" + (two_way ? "true" : "false") + " PayloadBytes=" + std::to_string(size) +
           " IpVersion=V4 Ip=127.0.0.1 Port=" + std::to_string(port) + " TimeMs=" + time_ms +
           " Status=" + status + "\n";
}

TEST_F(ClientTest, UdpTimedOutMessageShowsTimeOutAndCountsAsLost) {
    // The first probe is dropped, the second echoed.
    FakeUdpServer server("127.0.0.1", [](int k, const std::string &in, std::string *out) {
        *out = in;
        return k != 0;
    });
    Client client;
    testing::internal::CaptureStdout();
    EXPECT_EQ(client.connect(2, 300, "UDP", "V4", "127.0.0.1", server.port(), 16, false), 0);
    const std::string out = testing::internal::GetCapturedStdout();

    const std::string first = result_line(1, 100, false, 16, server.port(), "0", "TimeOut");
    ASSERT_EQ(out.substr(0, first.size()), first);
    EXPECT_TRUE(matches(out.substr(first.size()),
                        "Counter=2 PacketId=101 TwoWay=false PayloadBytes=16 IpVersion=V4 "
                        "Ip=127.0.0.1 Port=" +
                            std::to_string(server.port()) + " TimeMs=# Status=OK\n"))
        << out;
    ASSERT_EQ(server.received().size(), 2u);
    EXPECT_EQ(server.received()[0], "100xxxxxxxxxxxxx");
    EXPECT_EQ(server.received()[1], "101xxxxxxxxxxxxx");

    const std::string log = log_text();
    EXPECT_NE(log.find(" : CLIENT :  : Ping statistics for 127.0.0.1 via UDP with IP V4:\n"
                       "\tPackets: Sent = 2, Received = 1, Lost = 1 (50% loss),"),
              std::string::npos)
        << log;
    // The timed-out wait stays out of the statistics: one answer, well under the limit.
    const std::size_t at = log.find("\tMinimum = ");
    ASSERT_NE(at, std::string::npos) << log;
    std::vector<std::string> m;
    ASSERT_TRUE(matches(log.substr(at), "\tMinimum = # ms, Maximum = # ms, Average = # ms.", &m))
        << log.substr(at);
    EXPECT_EQ(m[0], m[1]);
    EXPECT_EQ(m[0], m[2]);
    EXPECT_LT(std::stoi(m[0]), 300);
    EXPECT_NE(log.find("No answer received during 300 ms...from 0.0.0.0:0\n"), std::string::npos);
    EXPECT_NE(log.find(" : CLIENT_UDP : ERROR : MESSAGE NOT RECIEVED :  : "), std::string::npos);
}

TEST_F(ClientTest, UdpPathThatAnswersNothingReportsFullLossAndNoTimes) {
    FakeUdpServer server("127.0.0.1",
                         [](int, const std::string &, std::string *) { return false; });
    Client client;
    testing::internal::CaptureStdout();
    EXPECT_EQ(client.connect(2, 100, "UDP", "V4", "127.0.0.1", server.port(), 8, false), 0);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, result_line(1, 100, false, 8, server.port(), "0", "TimeOut") +
                       result_line(2, 101, false, 8, server.port(), "0", "TimeOut"));
    const std::string log = log_text();
    EXPECT_NE(log.find("\tPackets: Sent = 2, Received = 0, Lost = 2 (100% loss),"),
              std::string::npos);
    EXPECT_EQ(log.find("Approximate round trip times"), std::string::npos);
}

TEST_F(ClientTest, UdpEchoThatDiffersIsNeitherAnsweredNorTimedOut) {
    FakeUdpServer server("127.0.0.1", [](int, const std::string &in, std::string *out) {
        *out = in;
        (*out)[5] = 'y';
        return true;
    });
    Client client;
    testing::internal::CaptureStdout();
    EXPECT_EQ(client.connect(1, 2000, "UDP", "V4", "127.0.0.1", server.port(), 8, false), 0);
    const std::string out = testing::internal::GetCapturedStdout();
    // Nothing decided: the line repeats the (still empty) previous values.
    EXPECT_EQ(out, result_line(1, 100, false, 8, server.port(), "", ""));
    EXPECT_NE(log_text().find("\tPackets: Sent = 1, Received = 0, Lost = 1 (100% loss),"),
              std::string::npos);
}

TEST_F(ClientTest, RunOfNoMessagesReportsNoLoss) {
    FakeUdpServer server("127.0.0.1",
                         [](int, const std::string &, std::string *) { return false; });
    Client client;
    testing::internal::CaptureStdout();
    EXPECT_EQ(client.connect(0, 100, "UDP", "V4", "127.0.0.1", server.port(), 8, false), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    const std::string log = log_text();
    EXPECT_NE(log.find("\tPackets: Sent = 0, Received = 0, Lost = 0 (0% loss),"),
              std::string::npos);
    EXPECT_EQ(log.find("Approximate round trip times"), std::string::npos);
    EXPECT_TRUE(server.received().empty());
}

// A two-way peer: sends the downlink data for a request, then answers the
// returned copy with the given result text.
FakeUdpServer::Reply downlink_peer(const std::string &result) {
    return [result](int k, const std::string &in, std::string *out) {
        if (k % 2 == 0) {
            const int id =
                static_cast<unsigned char>(in[0]) | (static_cast<unsigned char>(in[1]) << 8);
            const int size = static_cast<unsigned char>(in[4]);
            *out = std::to_string(id);
            out->append(size - out->size(), 'x');
        } else {
            *out = result;
        }
        return true;
    };
}

TEST_F(ClientTest, UdpDownlinkTakesTheServersMeasurement) {
    struct Case {
        const char *name;
        std::string result;
        std::string time_ms, status;
        const char *loss;
    };
    const std::vector<Case> cases = {
        {"measured", "22 serialization::archive 14 0 0 1000 16 17", "17", "OK", "(0% loss)"},
        {"mismatch", "22 serialization::archive 14 0 0 1000 16 -1", "", "", "(100% loss)"},
        {"beyond_limit", "22 serialization::archive 14 0 0 1000 16 5000", "0", "TimeOut",
         "(100% loss)"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t before = log_text().size();
        FakeUdpServer server("127.0.0.1", downlink_peer(c.result));
        Client client;
        testing::internal::CaptureStdout();
        EXPECT_EQ(client.connect(1, 2000, "UDP", "V4", "127.0.0.1", server.port(), 16, true), 0);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(out, result_line(1, 1000, true, 16, server.port(), c.time_ms, c.status));
        ASSERT_EQ(server.received().size(), 2u);
        EXPECT_EQ(server.received()[0], std::string("\xe8\x03\0\0\x10\0\0\0\xd0\x07\0\0", 12));
        EXPECT_EQ(server.received()[1], "1000xxxxxxxxxxxx");
        const std::string log = log_text().substr(before);
        EXPECT_NE(log.find(c.loss), std::string::npos) << log;
        if (c.status == "OK") {
            EXPECT_NE(log.find("Minimum = 17 ms, Maximum = 17 ms, Average = 17 ms."),
                      std::string::npos);
        }
    }
}

TEST_F(ClientTest, UdpDownlinkResultWithTwoTokensReachesTheCallerAsOutOfRange) {
    FakeUdpServer server("127.0.0.1", downlink_peer("1 2"));
    Client client;
    testing::internal::CaptureStdout();
    EXPECT_THROW(client.connect(1, 2000, "UDP", "V4", "127.0.0.1", server.port(), 16, true),
                 std::out_of_range);
    testing::internal::GetCapturedStdout();
}

TEST_F(ClientTest, UdpDiscoveryWithoutAnswerGivesUpAfterItsLimit) {
    FakeUdpServer server("127.0.0.1",
                         [](int, const std::string &, std::string *) { return false; });
    stun_mode = true;
    Client client;
    testing::internal::CaptureStdout();
    const auto start = std::chrono::steady_clock::now();
    const int result = client.connect(0, 0, "UDP", "V4", "127.0.0.1", server.port(), 0, false);
    const int64_t took = ms_since(start);
    const std::string out = testing::internal::GetCapturedStdout();
    stun_mode = false;
    EXPECT_EQ(result, 1);
    EXPECT_GE(took, Client::kAnswerLimitMs);
    ASSERT_EQ(server.received().size(), 1u);
    EXPECT_EQ(server.received()[0].rfind("Client_id: client1234;S_VERSION: CV_1_0;Request_id: ", 0),
              0u);
    const std::string tail = ";Protocol: UDP;IP Version: V4;Server IP: 127.0.0.1;Server Port: " +
                             std::to_string(server.port()) + ";";
    EXPECT_EQ(server.received()[0].substr(server.received()[0].size() - tail.size()), tail);
    EXPECT_EQ(out, "Client Sending 444444\nClient Sent 444444 data of len=" +
                       std::to_string(server.received()[0].size()) + "\n");
    const std::string log = log_text();
    EXPECT_NE(log.find(" : CLIENT_UDP : Client::connect : ERROR socket.receive_from : "),
              std::string::npos)
        << log;
    EXPECT_NE(log.find(" : CLIENT_UDP : Client::close_socket : Closing UDP socket..."),
              std::string::npos);
}

TEST_F(ClientTest, StopSendsOneFiveByteDatagramOverEitherFamily) {
    for (const char *address : {"127.0.0.1", "::1"}) {
        SCOPED_TRACE(address);
        asio_udp::socket server(io_service, asio_udp::endpoint(asio::ip::make_address(address), 0));
        Client client;
        testing::internal::CaptureStdout();
        client.kill_server(address, server.local_endpoint().port());
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        char buffer[64];
        asio_udp::endpoint from;
        ASSERT_GT(server.available(), 0u);
        const std::size_t n = server.receive_from(asio::buffer(buffer), from);
        EXPECT_EQ(std::string(buffer, n), "STOP;");
        EXPECT_EQ(server.available(), 0u);
    }
}

TEST_F(ClientTest, StopToAHostNameSendsNothing) {
    Client client;
    EXPECT_EQ(client.kill_server("localhost", 5000), 1);
    EXPECT_NE(log_text().find(" : CLIENT_UDP : Client::kill_server : ERROR : Extracting ip from "
                              "string : "),
              std::string::npos);
    EXPECT_FALSE(client.udp_socket_.is_open());
}

}  // namespace
