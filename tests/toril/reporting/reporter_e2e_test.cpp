// Report lines of real toril runs over loopback: a three-second TCP and UDP
// test with one-second intervals, both ends.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/net.h"
#include "tests/support/process.h"

namespace {

using namespace std::chrono_literals;

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    size_t from = 0;
    while (from < text.size()) {
        size_t nl = text.find('\n', from);
        if (nl == std::string::npos) nl = text.size();
        lines.push_back(text.substr(from, nl - from));
        from = nl + 1;
    }
    return lines;
}

bool starts_with(const std::string &s, const std::string &head) {
    return s.compare(0, head.size(), head) == 0;
}

bool ends_with(const std::string &s, const std::string &tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// The data lines of stream 1 (interval and final), in order.
std::vector<std::string> data_lines(const std::string &out) {
    std::vector<std::string> lines;
    for (const auto &line : lines_of(out))
        if (starts_with(line, "[  1] ") && line.find(" sec  ") != std::string::npos)
            lines.push_back(line);
    return lines;
}

// "[  1] <start>-<end> sec  <n> <unit>Bytes  <n> <unit>bits/sec" plus a tail,
// where the end lies within 0.1 s of end_s: the receiving end's clock starts
// at its first read, so its last line may end a little before the sender's.
void expect_line(const std::string &line, const std::string &start, double end_s,
                 const std::string &tail) {
    const std::string head = "[  1] " + start + "-";
    ASSERT_TRUE(starts_with(line, head)) << line;
    const size_t sec = line.find(" sec  ", head.size());
    ASSERT_NE(sec, std::string::npos) << line;
    const double end = std::stod(line.substr(head.size(), sec - head.size()));
    EXPECT_NEAR(end, end_s, 0.1) << line;
    EXPECT_NE(line.find("Bytes  ", sec), std::string::npos) << line;
    EXPECT_NE(line.find("bits/sec", sec), std::string::npos) << line;
    EXPECT_TRUE(ends_with(line, tail)) << line;
}

// Three one-second intervals, then the whole test.
void expect_test_lines(const std::vector<std::string> &lines, const std::string &tail) {
    ASSERT_GE(lines.size(), 4u);
    expect_line(lines[0], "0.00", 1.0, tail);
    expect_line(lines[1], "1.00", 2.0, tail);
    expect_line(lines[2], "2.00", 3.0, tail);
    expect_line(lines[3], "0.00", 3.0, tail);
}

class TorilRun : public ::testing::Test {
  protected:
    void SetUp() override {
        if (std::string(TORIL_BIN).empty()) GTEST_SKIP() << "toril is not built";
        port_ = std::to_string(testsupport::free_port());
    }

    bool start_server(std::vector<std::string> extra) {
        std::vector<std::string> argv = {TORIL_BIN, "-s", "-p", port_, "-i", "1"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        if (!server_.start(argv)) return false;
        return server_.wait_for_output("Server listening", 5000ms);
    }

    testsupport::RunResult run_client(std::vector<std::string> extra) {
        std::vector<std::string> argv = {TORIL_BIN, "-c", "127.0.0.1", "-p", port_,
                                         "-t",      "3",  "-i",        "1"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        testsupport::RunOptions opts;
        opts.timeout = 20000ms;
        return testsupport::run(argv, opts);
    }

    // The server's lines once its final line is out.
    std::vector<std::string> server_lines(size_t count) {
        for (int i = 0; i < 50 && data_lines(server_.out()).size() < count; ++i)
            std::this_thread::sleep_for(100ms);
        server_.stop();
        return data_lines(server_.out());
    }

    std::string port_;
    testsupport::Background server_;
};

TEST_F(TorilRun, TcpThreeIntervalsAndAFinalLineOnBothSides) {
    ASSERT_TRUE(start_server({}));
    const auto client = run_client({});
    if (client.err.find("not available in this build") != std::string::npos)
        GTEST_SKIP() << "this build has no client role";
    ASSERT_FALSE(client.timed_out);
    EXPECT_EQ(client.exit_code, 0) << client.err;
    EXPECT_NE(client.out.find("[ ID] Interval       Transfer     Bandwidth\n"), std::string::npos);
    const auto lines = data_lines(client.out);
    ASSERT_EQ(lines.size(), 4u) << client.out;
    expect_test_lines(lines, "bits/sec");

    const auto server = server_lines(4);
    ASSERT_EQ(server.size(), 4u) << server_.out();
    expect_test_lines(server, "bits/sec");
}

// The "lost/total" field of a UDP data line ("... ms 8/2677 (0.3%)").
bool loss_field(const std::string &line, long *lost, long *total) {
    const size_t ms = line.rfind(" ms ");
    if (ms == std::string::npos) return false;
    return std::sscanf(line.c_str() + ms, " ms %ld/%ld (", lost, total) == 2;
}

// Loopback at 10 Mbit/s rarely drops a datagram, but a loaded machine may
// overflow the receive buffer now and then: what must hold is that the
// server's report relayed to the client is the server's own final line.
TEST_F(TorilRun, UdpAtTenMegabitsRelaysTheServersOwnCounts) {
    ASSERT_TRUE(start_server({"-u"}));
    const auto client = run_client({"-u", "-b", "10M"});
    if (client.err.find("not available in this build") != std::string::npos)
        GTEST_SKIP() << "this build has no client role";
    ASSERT_FALSE(client.timed_out);
    EXPECT_EQ(client.exit_code, 0) << client.err;
    const auto lines = data_lines(client.out);
    // Three intervals, the final line, and the server's report relayed.
    ASSERT_EQ(lines.size(), 5u) << client.out;
    expect_test_lines(lines, "bits/sec");
    EXPECT_TRUE(ends_with(lines[4], "%)")) << lines[4];
    EXPECT_NE(client.out.find("[  1] Sent "), std::string::npos);
    EXPECT_NE(client.out.find("[  1] Server Report:\n"), std::string::npos);

    const auto server = server_lines(4);
    ASSERT_EQ(server.size(), 4u) << server_.out();
    expect_test_lines(server, "%)");
    long relayed_lost = -1, relayed_total = -1, lost = -2, total = -2;
    ASSERT_TRUE(loss_field(lines[4], &relayed_lost, &relayed_total)) << lines[4];
    ASSERT_TRUE(loss_field(server[3], &lost, &total)) << server[3];
    EXPECT_EQ(relayed_lost, lost);
    EXPECT_EQ(relayed_total, total);
    // Three seconds at 10 Mbit/s of 1470-byte datagrams: about 2670 of them.
    EXPECT_GT(total, 2000);
    EXPECT_LT(lost * 10, total) << server[3];
}

}  // namespace
