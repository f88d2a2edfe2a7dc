// toril -s -u --tap-dev receiving a UDP test through a tap device, inside a
// network namespace of the test's own. The tap device is made persistent and
// configured before the server starts (address 198.18.5.1/24, a permanent
// neighbour 198.18.5.2 behind it), so the client's datagrams to 198.18.5.2
// leave through the tap, where the server's packet socket sees them. Needs
// root and /dev/net/tun; skips otherwise.
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "tests/support/net.h"
#include "tests/support/netns.h"
#include "tests/support/process.h"

namespace {

using namespace std::chrono_literals;

const char kTap[] = "ttap0";
const char kLocal[] = "198.18.5.1";
const char kPeer[] = "198.18.5.2";

// The transfer column ("125 KBytes") of the first report line of stream 1
// that covers the whole test ("[  1] 0.00-... sec  125 KBytes ..."); empty
// when there is none.
std::string final_transfer(const std::string &out) {
    for (size_t at = out.find("[  1] 0.00-"); at != std::string::npos;
         at = out.find("[  1] 0.00-", at + 1)) {
        const size_t eol = out.find('\n', at);
        const std::string line = out.substr(at, eol == std::string::npos ? eol : eol - at);
        const size_t sec = line.find(" sec ");
        const size_t unit = line.find("Bytes", sec == std::string::npos ? 0 : sec);
        if (sec == std::string::npos || unit == std::string::npos) continue;
        const size_t from = line.find_first_not_of(' ', sec + 5);
        return line.substr(from, unit + 5 - from);
    }
    return "";
}

// N of the client's "Sent N datagrams" line; empty when there is none.
std::string sent_datagrams(const std::string &out) {
    const size_t at = out.find("] Sent ");
    if (at == std::string::npos) return "";
    const size_t from = at + 7;
    const size_t end = out.find(" datagrams", from);
    return end == std::string::npos ? "" : out.substr(from, end - from);
}

class TorilTap : public testing::Test {
  protected:
    void SetUp() override {
        if (std::string(TORIL_BIN).empty()) GTEST_SKIP() << "toril is not built";
        if (!lab_.ready()) GTEST_SKIP() << lab_.error();
        if (access("/dev/net/tun", R_OK | W_OK) != 0) GTEST_SKIP() << "no /dev/net/tun";
        ip_ = testsupport::system_tool("ip");
        ASSERT_FALSE(lab_.add_host("h").empty()) << lab_.error();
        ASSERT_TRUE(lab_.exec("h", {ip_, "tuntap", "add", "dev", kTap, "mode", "tap"}))
            << lab_.error();
        ASSERT_TRUE(lab_.exec("h", {ip_, "link", "set", kTap, "up"})) << lab_.error();
        ASSERT_TRUE(lab_.exec("h", {ip_, "addr", "add", std::string(kLocal) + "/24", "dev", kTap}))
            << lab_.error();
        ASSERT_TRUE(lab_.exec("h", {ip_, "neigh", "add", kPeer, "lladdr", "02:00:00:00:00:02",
                                    "dev", kTap, "nud", "permanent"}))
            << lab_.error();
        port_ = std::to_string(testsupport::free_port());
    }

    std::vector<std::string> in_host(std::vector<std::string> args) const {
        std::vector<std::string> argv = lab_.prefix("h");
        argv.push_back(TORIL_BIN);
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }

    // Starts the tap server, runs a 1 s client at 1 Mbit/s and returns the
    // client's result; the server's output is in server_.
    testsupport::RunResult run_test() {
        EXPECT_TRUE(
            server_.start(in_host({"-s", "-u", "-p", port_, "--tap-dev=" + std::string(kTap)})));
        EXPECT_TRUE(server_.wait_for_output("Server listening on UDP port " + port_, 5s))
            << server_.err();
        testsupport::RunOptions opts;
        // One second of traffic, then up to two seconds waiting for a server
        // report that cannot come back through the tap.
        opts.timeout = 20s;
        const testsupport::RunResult r = testsupport::run(
            in_host({"-c", kPeer, "-u", "-p", port_, "-t", "1", "-b", "1m"}), opts);
        server_.wait_for_output("[  1] 0.00-", 5s);
        return r;
    }

    testsupport::NetLab lab_{"toriltap"};
    std::string ip_;
    std::string port_;
    testsupport::Background server_;
};

TEST_F(TorilTap, ServerReceivesAUdpTestThroughTheTap) {
    const testsupport::RunResult client = run_test();
    const testsupport::RunResult server = server_.stop();
    EXPECT_FALSE(client.timed_out);
    EXPECT_EQ(client.exit_code, 0) << client.err;
    EXPECT_NE(server.out.find("Using virtual iface ttap0 (AF_PACKET & SOCK_RAW)\n"),
              std::string::npos)
        << server.out;
    EXPECT_NE(server.out.find("[  1] local 198.18.5.2%ttap0 port " + port_ +
                              " connected with 198.18.5.1 port "),
              std::string::npos)
        << server.out << server.err;
    EXPECT_NE(server.out.find("(l2mode)"), std::string::npos) << server.out;
    // Every byte the client sent was seen by the server.
    const std::string sent = final_transfer(client.out);
    EXPECT_FALSE(sent.empty()) << client.out;
    EXPECT_EQ(final_transfer(server.out), sent) << server.out;
}

// What a sound tap receive path also gives: the datagram counts of the
// client, no loss or reordering, and a listener that is still there for the
// next test. Disabled while the server's tap path misreads the sequence
// numbers, opens the tap a second time per test and ends after one test.
TEST_F(TorilTap, DISABLED_TapReportCountsTheClientsDatagrams) {
    const testsupport::RunResult client = run_test();
    const std::string total = sent_datagrams(client.out);
    ASSERT_FALSE(total.empty()) << client.out;
    EXPECT_TRUE(server_.running()) << "the listener waits for the next test";
    const testsupport::RunResult server = server_.stop();
    EXPECT_NE(server.out.find(" 0/" + total + " (0%)"), std::string::npos) << server.out;
    EXPECT_EQ(server.out.find("out-of-order"), std::string::npos) << server.out;
    EXPECT_EQ(server.err.find("tunsetiff failed"), std::string::npos) << server.err;
}

}  // namespace
