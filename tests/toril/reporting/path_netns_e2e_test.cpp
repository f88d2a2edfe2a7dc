// Reports of real paths: two namespaces of the test's own joined by a veth
// pair, the link shaped with tbf or made lossy with nftables. The figures a
// user reads must match what the path does.
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/netns.h"
#include "tests/support/process.h"

namespace {

using namespace std::chrono_literals;
using testsupport::NetLab;

constexpr const char *kToril = TORIL_BIN;
constexpr const char *kServerAddr = "198.18.20.2";
constexpr const char *kPort = "5001";

// Two hosts: "a" (the client, 198.18.20.1) and "b" (the server).
class PathLab : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!lab_.ready()) GTEST_SKIP() << lab_.error();
        lab_.add_host("a");
        lab_.add_host("b");
        lab_.link("a", "va", "198.18.20.1/24", "b", "vb", std::string(kServerAddr) + "/24");
        ASSERT_TRUE(lab_.ready()) << lab_.error();
    }

    bool start_server(const std::vector<std::string> &flags) {
        std::vector<std::string> argv = lab_.prefix("b");
        argv.insert(argv.end(), {kToril, "-s", "-p", kPort, "-f", "m"});
        argv.insert(argv.end(), flags.begin(), flags.end());
        if (!server_.start(argv)) return false;
        return server_.wait_for_output("Server listening on", 5000ms);
    }

    testsupport::RunResult run_client(const std::vector<std::string> &flags) {
        std::vector<std::string> argv = lab_.prefix("a");
        argv.insert(argv.end(), {kToril, "-c", kServerAddr, "-p", kPort, "-f", "m"});
        argv.insert(argv.end(), flags.begin(), flags.end());
        testsupport::RunOptions opts;
        opts.timeout = 30000ms;
        return testsupport::run(argv, opts);
    }

    // Waits for the server's final line (it follows the client's end), then stops it.
    std::string server_output(const std::string &final_marker) {
        server_.wait_for_output(final_marker, 5000ms);
        server_.stop();
        return server_.out();
    }

    NetLab lab_{"trpath"};
    testsupport::Background server_;
};

// The number before " Mbits/sec" on the last line that has one.
double last_mbits(const std::string &text) {
    const std::string unit = " Mbits/sec";
    const size_t at = text.rfind(unit);
    if (at == std::string::npos) return -1;
    size_t begin = text.rfind(' ', at - 1);
    return std::atof(text.substr(begin + 1, at - begin - 1).c_str());
}

struct LossFigures {
    long lost = -1;
    long total = -1;
};

// The last "lost/total (pct%)" of a text.
LossFigures last_loss(const std::string &text) {
    LossFigures f;
    size_t pos = text.rfind("%)");
    if (pos == std::string::npos) return f;
    const size_t open = text.rfind('(', pos);
    const size_t slash = text.rfind('/', open);
    const size_t begin = text.rfind(' ', slash);
    if (open == std::string::npos || slash == std::string::npos || begin == std::string::npos)
        return f;
    f.lost = std::atol(text.substr(begin + 1, slash - begin - 1).c_str());
    f.total = std::atol(text.substr(slash + 1, open - slash - 2).c_str());
    return f;
}

TEST_F(PathLab, TcpOverAShapedLinkReportsTheShapedRate) {
    ASSERT_TRUE(lab_.exec("a", {testsupport::system_tool("tc"), "qdisc", "add", "dev", "va", "root",
                                "tbf", "rate", "50mbit", "burst", "128kb", "latency", "100ms"}))
        << lab_.error();
    ASSERT_TRUE(start_server({}));
    const testsupport::RunResult client = run_client({"-t", "3"});
    ASSERT_FALSE(client.timed_out);
    EXPECT_EQ(client.exit_code, 0) << client.err;
    const std::string server = server_output("Mbits/sec");
    const double mbits = last_mbits(server);
    EXPECT_GT(mbits, 45.0) << server;
    EXPECT_LT(mbits, 55.0) << server;
}

TEST_F(PathLab, UdpOverALossyLinkReportsTheLossBothSidesAgreeOn) {
    if (testsupport::system_tool("nft").empty()) GTEST_SKIP() << "nftables (nft) is not installed";
    // Drop 5% of the test's datagrams on their way in; the first ones pass so
    // that the test is set up, and the server's replies are never touched.
    ASSERT_TRUE(lab_.exec("b", {testsupport::system_tool("nft"), "-f", "-"},
                          "table inet trloss {\n"
                          "  chain in {\n"
                          "    type filter hook input priority 0; policy accept;\n"
                          "    udp dport 5001 numgen random mod 100 < 5 drop\n"
                          "  }\n"
                          "}\n"))
        << lab_.error();
    ASSERT_TRUE(start_server({"-u"}));
    const testsupport::RunResult client = run_client({"-u", "-b", "10M", "-t", "3"});
    ASSERT_FALSE(client.timed_out);
    EXPECT_EQ(client.exit_code, 0) << client.err;
    const std::string server = server_output("%)");

    const LossFigures at_server = last_loss(server);
    const LossFigures relayed = last_loss(client.out);
    ASSERT_GT(at_server.total, 1000) << server;
    const double pct = 100.0 * at_server.lost / at_server.total;
    EXPECT_GE(pct, 3.0) << server;
    EXPECT_LE(pct, 7.0) << server;
    // What the client relays from the server's report is what the server counted.
    ASSERT_NE(client.out.find("Server Report:"), std::string::npos) << client.out;
    EXPECT_EQ(relayed.lost, at_server.lost) << client.out << server;
    EXPECT_EQ(relayed.total, at_server.total) << client.out << server;
}

}  // namespace
