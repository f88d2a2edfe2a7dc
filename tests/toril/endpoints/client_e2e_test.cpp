// toril's client against toril's own server on loopback, run as a user runs
// them: the exit status and the lines both ends print for each kind of test.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <string>
#include <vector>

#include "tests/support/net.h"
#include "tests/support/process.h"

namespace {

using namespace std::chrono_literals;

size_t count_of(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

class ClientE2E : public ::testing::Test {
  protected:
    void SetUp() override {
        if (std::string(TORIL_BIN).empty()) GTEST_SKIP() << "toril is not built";
        port_ = std::to_string(testsupport::free_port());
    }

    // Starts the server with extra options; false when it did not come up.
    bool start_server(std::vector<std::string> extra = {}) {
        std::vector<std::string> argv{TORIL_BIN, "-s", "-p", port_};
        argv.insert(argv.end(), extra.begin(), extra.end());
        if (!server_.start(argv)) return false;
        return server_.wait_for_output("listening on", 5s);
    }

    testsupport::RunResult client(std::vector<std::string> extra,
                                  const std::string &host = "127.0.0.1") {
        std::vector<std::string> argv{TORIL_BIN, "-c", host, "-p", port_};
        argv.insert(argv.end(), extra.begin(), extra.end());
        testsupport::RunOptions opts;
        opts.timeout = 15s;
        return testsupport::run(argv, opts);
    }

    // Stops the server by its PID and returns what it printed.
    std::string server_output() {
        const testsupport::RunResult r = server_.stop();
        return r.out;
    }

    std::string port_;
    testsupport::Background server_;
};

TEST_F(ClientE2E, TimedTcpTest) {
    ASSERT_TRUE(start_server());
    const auto r = client({"-t", "1"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_FALSE(r.timed_out);
    EXPECT_NE(r.out.find("Client connecting to 127.0.0.1, TCP port " + port_ + "\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("[ ID] Interval       Transfer     Bandwidth\n"), std::string::npos);
    EXPECT_NE(r.out.find("[  1] 0.00-1.0"), std::string::npos) << r.out;
    const std::string srv = server_output();
    EXPECT_NE(srv.find("connected with 127.0.0.1 port"), std::string::npos) << srv;
}

TEST_F(ClientE2E, ByteCountTcpTestReportsTheAmount) {
    ASSERT_TRUE(start_server());
    const auto r = client({"-n", "1M"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find(" sec  1.00 MBytes "), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "");
}

TEST_F(ClientE2E, UdpTestReceivesTheServerReport) {
    ASSERT_TRUE(start_server({"-u"}));
    const auto r = client({"-u", "-b", "10M", "-t", "1"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("Client connecting to 127.0.0.1, UDP port " + port_), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Sending 1470 byte datagrams"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("] Server Report:\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.err.find("did not receive ack of last datagram"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find(" datagrams\n"), std::string::npos) << r.out;
}

TEST_F(ClientE2E, ParallelStreamsGetASumLine) {
    ASSERT_TRUE(start_server());
    const auto r = client({"-P", "4", "-t", "1"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    for (const char *id : {"[  1] ", "[  2] ", "[  3] ", "[  4] "})
        EXPECT_NE(r.out.find(std::string(id) + "0.00-"), std::string::npos) << id << r.out;
    EXPECT_EQ(count_of(r.out, "[SUM] 0.00-"), 1u) << r.out;
    EXPECT_EQ(count_of(r.out, "Client connecting to"), 1u) << "one settings report";
}

TEST_F(ClientE2E, IsochronousTcpFrames) {
    ASSERT_TRUE(start_server());
    const auto r = client({"--isochronous", "-t", "1"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("(isoch)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("isoch:tx/miss/slip"), std::string::npos) << r.out;
}

TEST_F(ClientE2E, PeriodicBursts) {
    ASSERT_TRUE(start_server());
    const auto r =
        client({"--burst-period", "0.2", "--burst-size", "100K", "-l", "10K", "-t", "1"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err.find("burst written"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("[  1] 0.00-1."), std::string::npos) << r.out;
}

TEST_F(ClientE2E, BouncebackRoundTrips) {
    ASSERT_TRUE(start_server());
    const auto r = client({"--bounceback", "-t", "1"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("BB cnt=avg/min/max/stdev"), std::string::npos) << r.out;
    EXPECT_EQ(r.err.find("bounce-back"), std::string::npos) << r.err;
}

TEST_F(ClientE2E, ConnectOnlyMakesTenConnects) {
    ASSERT_TRUE(start_server());
    const auto r = client({"--connect-only"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(count_of(r.out, "connected with 127.0.0.1 port " + port_), 10u) << r.out;
}

TEST_F(ClientE2E, TcpOverIpv6) {
    ASSERT_TRUE(start_server({"-V"}));
    const auto r = client({"-V", "-t", "1"}, "::1");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("Client connecting to ::1, TCP port " + port_), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("connected with ::1 port " + port_), std::string::npos) << r.out;
}

TEST_F(ClientE2E, NoServerListeningReportsTheFailedConnect) {
    const auto r = client({"-t", "1"});
    EXPECT_FALSE(r.timed_out);
    EXPECT_NE(r.err.find("tcp connect failed: Connection refused"), std::string::npos) << r.err;
}

}  // namespace
