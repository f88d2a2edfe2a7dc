// quarvel's server with quarvel's own client, both run as a user runs them on
// loopback: TCP and UDP tests, and both NAT modes, where the server opens the
// path and the client waits on its local port.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "tests/support/net.h"
#include "tests/support/process.h"

namespace {

using std::chrono::milliseconds;
using testsupport::Background;
using testsupport::free_port;
using testsupport::RunOptions;
using testsupport::RunResult;

const std::string kBin = QUARVEL_BIN;

RunResult client(std::vector<std::string> args) {
    args.insert(args.begin(), kBin);
    RunOptions opts;
    opts.timeout = milliseconds(10000);
    return testsupport::run(args, opts);
}

bool start_server(Background &bg, std::vector<std::string> args) {
    args.insert(args.begin(), kBin);
    return bg.start(args) && bg.wait_for_output("Server listening", milliseconds(3000));
}

std::string connected_with(uint16_t port) {
    return " connected with 127.0.0.1 port " + std::to_string(port) + "\n";
}

struct Mode {
    const char *name;
    std::vector<std::string> extra;  // UDP or not
};

class Loopback : public testing::TestWithParam<Mode> {};

TEST_P(Loopback, ClassicTest) {
    const uint16_t port = free_port();
    const auto &extra = GetParam().extra;
    Background server;
    std::vector<std::string> server_args = {"-s", "-p", std::to_string(port)};
    server_args.insert(server_args.end(), extra.begin(), extra.end());
    ASSERT_TRUE(start_server(server, server_args)) << server.err();

    std::vector<std::string> client_args = {"-c", "127.0.0.1", "-p", std::to_string(port),
                                            "-t", "1"};
    client_args.insert(client_args.end(), extra.begin(), extra.end());
    const RunResult r = client(client_args);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find(connected_with(port)), std::string::npos) << r.out;
    EXPECT_TRUE(server.wait_for_output(" sec ", milliseconds(5000))) << server.out();
    if (!extra.empty()) {
        EXPECT_NE(r.out.find("Server Report:"), std::string::npos) << r.out << r.err;
        EXPECT_TRUE(server.wait_for_output(" 0/", milliseconds(3000))) << server.out();
    }
    EXPECT_TRUE(server.running());
}

TEST_P(Loopback, NatTest) {
    const uint16_t port = free_port();
    const uint16_t client_port = free_port();
    const auto &extra = GetParam().extra;
    // The client waits first, as it would behind its own address.
    Background nat_client;
    std::vector<std::string> client_args = {"-E", "-a", std::to_string(client_port), "-t", "1"};
    client_args.insert(client_args.begin(), kBin);
    client_args.insert(client_args.end(), extra.begin(), extra.end());
    ASSERT_TRUE(nat_client.start(client_args));
    ASSERT_TRUE(
        nat_client.wait_for_output("Waiting for incoming connection\n", milliseconds(3000)));

    Background server;
    std::vector<std::string> server_args = {
        "-e", "127.0.0.1", "-a", std::to_string(client_port), "-p", std::to_string(port)};
    server_args.insert(server_args.end(), extra.begin(), extra.end());
    ASSERT_TRUE(start_server(server, server_args)) << server.err();

    ASSERT_TRUE(nat_client.wait(milliseconds(10000))) << nat_client.out() << nat_client.err();
    EXPECT_EQ(nat_client.result().exit_code, 0) << nat_client.err();
    EXPECT_NE(nat_client.out().find(connected_with(port)), std::string::npos) << nat_client.out();
    EXPECT_TRUE(server.wait_for_output(" sec ", milliseconds(5000))) << server.out();
    if (!extra.empty()) {
        EXPECT_TRUE(server.wait_for_output("Stopping UDP hello packets..", milliseconds(3000)));
    }
    // A NAT server has run its one test and idles until it is stopped.
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_TRUE(server.running());
}

const Mode kModes[] = {{"tcp", {}}, {"udp", {"-u"}}};
INSTANTIATE_TEST_SUITE_P(Modes, Loopback, testing::ValuesIn(kModes),
                         [](const auto &param_info) { return std::string(param_info.param.name); });

// A byte-count tradeoff test: once the client's test is over, the server runs
// a reverse test of the same byte count towards the client's own listener.
TEST(ReverseTest, TradeoffByteCountComesBack) {
    const uint16_t port = free_port();
    const uint16_t back_port = free_port();
    Background server;
    ASSERT_TRUE(start_server(server, {"-s", "-p", std::to_string(port)})) << server.err();
    const RunResult r = client({"-c", "127.0.0.1", "-p", std::to_string(port), "-n", "1M", "-r",
                                "-L" + std::to_string(back_port)});
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(server.wait_for_output(
        "Client connecting to 127.0.0.1, TCP port " + std::to_string(back_port) + "\n",
        milliseconds(3000)))
        << server.out();
    // The client's own sender and its listener's receiver both moved 1 MByte.
    size_t lines = 0;
    for (size_t at = r.out.find(" 1.00 MBytes"); at != std::string::npos;
         at = r.out.find(" 1.00 MBytes", at + 1))
        ++lines;
    EXPECT_EQ(lines, 2u) << r.out;
    EXPECT_TRUE(server.running());
}

}  // namespace
