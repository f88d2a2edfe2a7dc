// The NAT client (-E -a port): it waits on its fixed port and sends its
// traffic back along the path the server opened, a TCP connection or the
// source of a UDP hello.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "common/signals.h"
#include "quarvel/client.h"
#include "tests/quarvel/client_test_peers.h"
#include "tests/quarvel/record_support.h"
#include "tests/support/net.h"

namespace {

using clienttest::Bound;
using clienttest::word;
using quarveltest::parse;
using quarveltest::Record;

TEST(ClientNat, TcpTrafficGoesOverTheServersConnection) {
    const uint16_t port = testsupport::free_port();
    Record r;
    parse({"-E", "-a", std::to_string(port), "-n", "3000", "-l", "1000", "-x", "CDS"}, r.s);
    sInterupted = 0;
    testing::internal::CaptureStdout();
    std::thread client([&] { client_spawn(r.s); });

    std::string data;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < until) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in to = clienttest::loopback(port);
        if (connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0) {
            data = clienttest::read_all(fd);
            close(fd);
            break;
        }
        close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    client.join();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("Waiting for incoming connection\n", 0), 0u) << out;
    ASSERT_EQ(data.size(), 36u + 3000);
    EXPECT_EQ(word(data, 20), 3000u);
}

TEST(ClientNat, UdpWaitsForTheHelloAndAnswersItsSource) {
    const uint16_t port = testsupport::free_port();
    Record r;
    parse({"-E", "-a", std::to_string(port), "-u", "-l", "100", "-n", "300", "-b", "10m", "-x",
           "CDSV"},
          r.s);
    sInterupted = 0;
    testing::internal::CaptureStdout();
    std::thread client([&] { client_spawn(r.s); });

    // The server's side: hellos from its own port until traffic comes back.
    Bound server(SOCK_DGRAM);
    std::string hello(50, '\0');
    hello.replace(0, 19, "HELLO:Thank you UDP");
    const sockaddr_in to = clienttest::loopback(port);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < until && !clienttest::readable(server.fd(), 50)) {
        sendto(server.fd(), hello.data(), hello.size(), 0, reinterpret_cast<const sockaddr *>(&to),
               sizeof to);
    }
    const clienttest::UdpLog log =
        clienttest::serve_udp(server.fd(), clienttest::FinAnswer::kShort);
    client.join();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("Waiting for incoming connection\n", 0), 0u) << out;
    ASSERT_EQ(log.datagrams.size(), 4u);
    EXPECT_EQ(int32_t(word(log.datagrams[0], 0)), 0);
    EXPECT_EQ(int32_t(word(log.datagrams[3], 0)), -3);
    EXPECT_EQ(ntohs(log.client.sin_port), port);  // from the fixed port
    EXPECT_EQ(r.s->hello_message_len, 50);
    EXPECT_STREQ(r.s->hello_message, "HELLO:Thank you UDP");
}

}  // namespace
