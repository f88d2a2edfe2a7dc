// quarvel through a real address translator: three namespaces of the test's
// own, the client outside, a router that masquerades towards the outside and
// drops every new connection and datagram from outside towards the inside,
// and the server inside. A plain test from outside cannot reach the server;
// in NAT mode the server opens the path and TCP and UDP tests run through it.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/netns.h"
#include "tests/support/process.h"

namespace {

using namespace std::chrono_literals;
using testsupport::Background;
using testsupport::NetLab;

const std::string kQuarvel = QUARVEL_BIN;
constexpr const char *kClientAddr = "198.18.1.2";
constexpr const char *kServerAddr = "198.18.2.2";
constexpr const char *kPort = "5001";
constexpr const char *kClientPort = "6000";

constexpr const char *kRouterRules =
    "table ip qvnat {\n"
    "  chain post {\n"
    "    type nat hook postrouting priority 100; policy accept;\n"
    "    oifname \"out0\" masquerade\n"
    "  }\n"
    "  chain forward_in {\n"
    "    type filter hook forward priority 0; policy accept;\n"
    "    ct state established,related accept\n"
    "    iifname \"out0\" drop\n"
    "  }\n"
    "}\n";

class NatLab : public testing::Test {
  protected:
    void SetUp() override {
        if (!lab.ready()) GTEST_SKIP() << lab.error();
        if (testsupport::system_tool("nft").empty()) GTEST_SKIP() << "nftables (nft) is missing";
        const std::string ip = testsupport::system_tool("ip");
        lab.add_host("c");
        lab.add_host("r");
        lab.add_host("s");
        lab.link("c", "out1", std::string(kClientAddr) + "/24", "r", "out0", "198.18.1.1/24");
        lab.link("r", "in0", "198.18.2.1/24", "s", "in1", std::string(kServerAddr) + "/24");
        ASSERT_TRUE(lab.ready()) << lab.error();
        // The client even has a route to the inside: only the router's rule
        // keeps it out.
        ASSERT_TRUE(lab.exec("c", {ip, "route", "add", "198.18.2.0/24", "via", "198.18.1.1"}));
        ASSERT_TRUE(lab.exec("s", {ip, "route", "add", "default", "via", "198.18.2.1"}));
        ASSERT_TRUE(
            lab.exec("r", {testsupport::system_tool("sysctl"), "-qw", "net.ipv4.ip_forward=1"}));
        ASSERT_TRUE(lab.exec("r", {testsupport::system_tool("nft"), "-f", "-"}, kRouterRules))
            << lab.error();
    }

    std::vector<std::string> in(const std::string &host, std::vector<std::string> args) const {
        std::vector<std::string> argv = lab.prefix(host);
        argv.push_back(kQuarvel);
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }

    // Runs a NAT test: the client waits outside, the server inside opens the path.
    void nat_test(const std::vector<std::string> &extra) {
        std::vector<std::string> client_args = {"-E", "-a", kClientPort, "-t", "1"};
        client_args.insert(client_args.end(), extra.begin(), extra.end());
        Background client;
        ASSERT_TRUE(client.start(in("c", client_args)));
        ASSERT_TRUE(client.wait_for_output("Waiting for incoming connection\n", 5000ms))
            << client.err();

        std::vector<std::string> server_args = {"-e", kClientAddr, "-a", kClientPort, "-p", kPort};
        server_args.insert(server_args.end(), extra.begin(), extra.end());
        Background server;
        ASSERT_TRUE(server.start(in("s", server_args)));
        ASSERT_TRUE(client.wait(10000ms)) << client.out() << client.err() << server.err();
        EXPECT_EQ(client.result().exit_code, 0) << client.err();
        // The client sees the router's outside address, never the server's own.
        EXPECT_NE(client.out().find(" connected with 198.18.1.1 port "), std::string::npos)
            << client.out();
        EXPECT_TRUE(server.wait_for_output(" sec ", 5000ms)) << server.out() << server.err();
        EXPECT_NE(server.out().find(std::string(" connected with ") + kClientAddr + " port " +
                                    kClientPort + "\n"),
                  std::string::npos)
            << server.out();
        server.stop();
    }

    NetLab lab{"qvnat"};
};

TEST_F(NatLab, PlainTestFromOutsideCannotReachTheServer) {
    Background server;
    ASSERT_TRUE(server.start(in("s", {"-s", "-u", "-p", kPort})));
    ASSERT_TRUE(server.wait_for_output("Server listening", 5000ms)) << server.err();
    testsupport::RunOptions opts;
    opts.timeout = 10000ms;
    const testsupport::RunResult r =
        testsupport::run(in("c", {"-c", kServerAddr, "-u", "-p", kPort, "-t", "0.5"}), opts);
    ASSERT_FALSE(r.timed_out);
    EXPECT_NE(r.err.find("WARNING: did not receive ack of last datagram after 10 tries."),
              std::string::npos)
        << r.out << r.err;
    EXPECT_EQ(server.out().find("connected with"), std::string::npos) << server.out();

    // TCP: the connection attempt is dropped, so nothing arrives at all.
    Background tcp_server;
    ASSERT_TRUE(tcp_server.start(in("s", {"-s", "-p", "5002"})));
    ASSERT_TRUE(tcp_server.wait_for_output("Server listening", 5000ms));
    Background tcp_client;
    ASSERT_TRUE(tcp_client.start(in("c", {"-c", kServerAddr, "-p", "5002", "-t", "0.5"})));
    std::this_thread::sleep_for(1500ms);
    EXPECT_TRUE(tcp_client.running()) << "the connect should still be waiting";
    tcp_client.stop();
    EXPECT_EQ(tcp_server.out().find("connected with"), std::string::npos) << tcp_server.out();
}

TEST_F(NatLab, NatTcpTestRunsThroughTheTranslator) {
    nat_test({});
}

TEST_F(NatLab, NatUdpTestRunsThroughTheTranslator) {
    nat_test({"-u"});
}

}  // namespace
