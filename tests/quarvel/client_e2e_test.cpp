// quarvel as a client, run as a user would: against a loopback peer of the
// test, and the NAT options' own check.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "tests/quarvel/client_test_peers.h"
#include "tests/support/process.h"

namespace {

using clienttest::Bound;
using clienttest::word;

TEST(ClientProgram, NatClientWithoutPortStopsAtOnce) {
    const auto result = testsupport::run({QUARVEL_BIN, "-E"});
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.out, "Please provide -a (Client Local Port) when using -e or -E option");
}

TEST(ClientProgram, TcpTestAgainstAPeer) {
    Bound listener(SOCK_STREAM);
    ASSERT_EQ(listen(listener.fd(), 5), 0);
    std::string data;
    std::thread peer([&] { data = clienttest::accept_and_read(listener.fd()); });
    const auto result =
        testsupport::run({QUARVEL_BIN, "-c", "127.0.0.1", "-p", std::to_string(listener.port()),
                          "-n", "4000", "-l", "1000"});
    peer.join();
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_NE(result.out.find("Client connecting to 127.0.0.1, TCP port " +
                              std::to_string(listener.port()) + "\n"),
              std::string::npos)
        << result.out;
    ASSERT_EQ(data.size(), 36u + 4000);
    EXPECT_EQ(word(data, 20), 4000u);
}

TEST(ClientProgram, UdpTestPrintsTheServerReport) {
    Bound server(SOCK_DGRAM);
    clienttest::UdpLog log;
    std::thread peer(
        [&] { log = clienttest::serve_udp(server.fd(), clienttest::FinAnswer::kReport); });
    const auto result =
        testsupport::run({QUARVEL_BIN, "-c", "127.0.0.1", "-p", std::to_string(server.port()), "-u",
                          "-t", "0.5", "-b", "100p"});
    peer.join();
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_NE(result.out.find("Server Report:\n"), std::string::npos) << result.out;
    ASSERT_GE(log.datagrams.size(), 3u);
    EXPECT_EQ(log.finals, 1);
}

// -I: what comes on standard input is what goes out after the header; the
// test ends with the input although the byte count asks for more.
TEST(ClientProgram, StandardInputIsThePayload) {
    Bound listener(SOCK_STREAM);
    ASSERT_EQ(listen(listener.fd(), 5), 0);
    std::string data;
    std::thread peer([&] { data = clienttest::accept_and_read(listener.fd()); });
    testsupport::RunOptions opts;
    opts.stdin_text = std::string(2500, 'q') + "the end";
    const auto result =
        testsupport::run({QUARVEL_BIN, "-c", "127.0.0.1", "-p", std::to_string(listener.port()),
                          "-n", "1M", "-l", "1000", "-I"},
                         opts);
    peer.join();
    EXPECT_EQ(result.exit_code, 0) << result.err;
    ASSERT_EQ(data.size(), 36u + 2507);
    EXPECT_EQ(data.substr(36), opts.stdin_text);
}

}  // namespace
