// Dual and tradeoff tests of quarvel's own client against quarvel's server,
// run as a user runs them on loopback: the server keeps serving after a timed
// return test it ran itself, and the client stays until the return half of a
// tradeoff test has come back and been reported.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/quarvel/server_support.h"

namespace {

using namespace quarveltest;
using std::chrono::milliseconds;
using testsupport::Background;
using testsupport::free_port;
using testsupport::RunOptions;
using testsupport::RunResult;

RunResult client(std::vector<std::string> args) {
    args.insert(args.begin(), QUARVEL_BIN);
    RunOptions opts;
    opts.timeout = milliseconds(20000);
    return testsupport::run(args, opts);
}

std::vector<std::string> plus(std::vector<std::string> args, const std::vector<std::string> &more) {
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

// The report lines of out ("[...]" at the start) with the numbers masked: the
// address becomes HOST, the test's two ports <P> and <L>, every other number
// #, unit prefixes go and runs of blanks become one.
std::vector<std::string> masked_reports(const std::string &out, uint16_t port, uint16_t back) {
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] != '[') continue;
        line = std::regex_replace(line, std::regex("127\\.0\\.0\\.1"), "HOST");
        line = std::regex_replace(line, std::regex("port " + std::to_string(port) + "\\b"),
                                  "port <P>");
        line = std::regex_replace(line, std::regex("port " + std::to_string(back) + "\\b"),
                                  "port <L>");
        line = std::regex_replace(line, std::regex("[0-9]+(\\.[0-9]+)?"), "#");
        line = std::regex_replace(line, std::regex(" [KMG](Bytes|bits/sec)"), " $1");
        line = std::regex_replace(line, std::regex(" +"), " ");
        lines.push_back(line);
    }
    return lines;
}

std::string joined(const std::vector<std::string> &lines) {
    std::string all;
    for (const std::string &l : lines) all += l + "\n";
    return all;
}

struct TwoWay {
    const char *name;
    std::vector<std::string> mode;  // the dual or tradeoff option, and -u
};

std::ostream &operator<<(std::ostream &os, const TwoWay &c) {
    return os << c.name;
}

class ServerAfterTwoWay : public testing::TestWithParam<TwoWay> {};

// The return test that the server runs itself is timed like the client's; its
// end must not end the server, which then serves the next test.
TEST_P(ServerAfterTwoWay, ServesTheNextTest) {
    const TwoWay &c = GetParam();
    const bool udp = c.mode.back() == "-u";
    const uint16_t port = free_port();
    const uint16_t back = free_port();
    Background server;
    ASSERT_TRUE(start_quarvel(
        server, plus({"-s", "-p", std::to_string(port)},
                     udp ? std::vector<std::string>{"-u"} : std::vector<std::string>{})));
    ASSERT_TRUE(server.wait_for_output("Server listening", milliseconds(3000))) << server.err();

    const RunResult two_way = client(
        plus({"-c", "127.0.0.1", "-p", std::to_string(port), "-t", "2", "-L", std::to_string(back)},
             c.mode));
    ASSERT_FALSE(two_way.timed_out);
    EXPECT_EQ(two_way.exit_code, 0) << two_way.err;
    EXPECT_EQ(count_of(two_way.out, "connected with"), 2) << two_way.out;
    EXPECT_TRUE(server.wait_for_output("Client connecting to 127.0.0.1, " +
                                           std::string(udp ? "UDP" : "TCP") + " port " +
                                           std::to_string(back) + "\n",
                                       milliseconds(3000)))
        << server.out();

    // Well after the return test's end, the same server serves a plain test.
    std::this_thread::sleep_for(milliseconds(1500));
    ASSERT_TRUE(server.running()) << server.out() << server.err();
    const RunResult plain =
        client(plus({"-c", "127.0.0.1", "-p", std::to_string(port), "-t", "1"},
                    udp ? std::vector<std::string>{"-u"} : std::vector<std::string>{}));
    ASSERT_FALSE(plain.timed_out);
    EXPECT_EQ(plain.exit_code, 0) << plain.err;
    EXPECT_EQ(count_of(plain.out, " connected with 127.0.0.1 port " + std::to_string(port)), 1)
        << plain.out;
    if (udp) {
        EXPECT_NE(plain.out.find("Server Report:"), std::string::npos) << plain.out;
    }
    EXPECT_TRUE(server.running()) << server.err();
    EXPECT_EQ(server.err().find("Waiting for server threads"), std::string::npos) << server.err();
}

const TwoWay kTwoWay[] = {
    {"tcp_dual", {"--dualtest"}},
    {"tcp_tradeoff", {"-r"}},
    {"udp_dual", {"--dualtest", "-u"}},
    {"udp_tradeoff", {"-r", "-u"}},
};
INSTANTIATE_TEST_SUITE_P(Modes, ServerAfterTwoWay, testing::ValuesIn(kTwoWay),
                         [](const auto &param_info) { return std::string(param_info.param.name); });

struct Tradeoff {
    const char *name;
    std::vector<std::string> server_extra;
    std::vector<std::string> extra;
    std::vector<std::string> reports;  // the client's report lines, masked
};

std::ostream &operator<<(std::ostream &os, const Tradeoff &c) {
    return os << c.name;
}

class TradeoffClient : public testing::TestWithParam<Tradeoff> {};

// The client's own half is reported first; then its listener takes the return
// half, reports it, and only then does the client end.
TEST_P(TradeoffClient, ReportsBothHalves) {
    const Tradeoff &c = GetParam();
    const uint16_t port = free_port();
    const uint16_t back = free_port();
    Background server;
    ASSERT_TRUE(start_quarvel(server, plus({"-s", "-p", std::to_string(port)}, c.server_extra)));
    ASSERT_TRUE(server.wait_for_output("Server listening", milliseconds(3000))) << server.err();

    const RunResult r = client(plus({"-c", "127.0.0.1", "-p", std::to_string(port), "-t", "2", "-r",
                                     "-L", std::to_string(back)},
                                    c.extra));
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(joined(masked_reports(r.out, port, back)), joined(c.reports)) << r.out;
    EXPECT_EQ(r.err, "");
    // Every return stream found the client's listener.
    EXPECT_EQ(server.err().find("connect failed"), std::string::npos) << server.err();
    EXPECT_TRUE(server.running());
}

const Tradeoff kTradeoff[] = {
    {"tcp",
     {},
     {},
     {
         "[ #] local HOST port # connected with HOST port <P>",
         "[ ID] Interval Transfer Bandwidth",
         "[ #] #- # sec # Bytes # bits/sec",
         "[ #] local HOST port <L> connected with HOST port #",
         "[ #] #- # sec # Bytes # bits/sec",
     }},
    // Two streams each way: the header of either stream asks for both return
    // streams, which the server starts once.
    {"tcp_two_streams",
     {},
     {"-P", "2"},
     {
         "[ #] local HOST port # connected with HOST port <P>",
         "[ #] local HOST port # connected with HOST port <P>",
         "[ ID] Interval Transfer Bandwidth",
         "[ #] #- # sec # Bytes # bits/sec",
         "[ #] #- # sec # Bytes # bits/sec",
         "[SUM] #- # sec # Bytes # bits/sec",
         "[ #] local HOST port <L> connected with HOST port #",
         "[ #] local HOST port <L> connected with HOST port #",
         "[ #] #- # sec # Bytes # bits/sec",
         "[ #] #- # sec # Bytes # bits/sec",
         "[SUM] #- # sec # Bytes # bits/sec",
     }},
    {"udp",
     {"-u"},
     {"-u"},
     {
         "[ #] local HOST port # connected with HOST port <P>",
         "[ ID] Interval Transfer Bandwidth",
         "[ #] #- # sec # Bytes # bits/sec",
         "[ #] Sent # datagrams",
         "[ #] Server Report:",
         "[ #] #- # sec # Bytes # bits/sec # ms #/ # (#%)",
         "[ #] local HOST port <L> connected with HOST port #",
         "[ #] #- # sec # Bytes # bits/sec # ms #/ # (#%)",
     }},
};
INSTANTIATE_TEST_SUITE_P(Modes, TradeoffClient, testing::ValuesIn(kTradeoff),
                         [](const auto &param_info) { return std::string(param_info.param.name); });

// A server that runs no return test (compatibility mode reads no header): the
// client's listener gives up a few seconds after the client's own test.
TEST(TradeoffClient, GivesUpWhenNoReturnTestComes) {
    const uint16_t port = free_port();
    const uint16_t back = free_port();
    Background server;
    ASSERT_TRUE(start_quarvel(server, {"-s", "-C", "-p", std::to_string(port)}));
    ASSERT_TRUE(server.wait_for_output("Server listening", milliseconds(3000))) << server.err();
    const RunResult r = client({"-c", "127.0.0.1", "-p", std::to_string(port), "-n", "1M", "-r",
                                "-L", std::to_string(back)});
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "WARNING: no return test came within 5 seconds after the test.\n");
    EXPECT_EQ(count_of(r.out, "connected with"), 1) << r.out;
}

}  // namespace
