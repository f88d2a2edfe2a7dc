// toril -s -u --tap-dev receiving UDP tests through a tap device, inside a
// network namespace of the test's own: a device made persistent and
// configured before the server starts, and one the server makes itself.
// Needs root and /dev/net/tun; skips otherwise.
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

// The first report line of stream id that covers the whole test
// ("[  1] 0.00-1.02 sec  126 KBytes ..."); empty when there is none.
std::string whole_test_line(const std::string &out, int id) {
    const std::string tag = "[  " + std::to_string(id) + "] 0.00-";
    for (size_t at = out.find(tag); at != std::string::npos; at = out.find(tag, at + 1)) {
        const size_t eol = out.find('\n', at);
        const std::string line = out.substr(at, eol == std::string::npos ? eol : eol - at);
        if (line.find(" sec ") != std::string::npos && line.find("Bytes") != std::string::npos)
            return line;
    }
    return "";
}

// The transfer column ("126 KBytes") of that line; empty when there is none.
std::string final_transfer(const std::string &out, int id = 1) {
    const std::string line = whole_test_line(out, id);
    const size_t sec = line.find(" sec ");
    if (sec == std::string::npos) return "";
    const size_t unit = line.find("Bytes", sec);
    const size_t from = line.find_first_not_of(' ', sec + 5);
    return line.substr(from, unit + 5 - from);
}

// N of the client's "Sent N datagrams" line; empty when there is none.
std::string sent_datagrams(const std::string &out) {
    const size_t at = out.find("] Sent ");
    if (at == std::string::npos) return "";
    const size_t from = at + 7;
    const size_t end = out.find(" datagrams", from);
    return end == std::string::npos ? "" : out.substr(from, end - from);
}

// NAME of the server's "Using virtual iface NAME (" line; empty when there is none.
std::string virtual_iface(const std::string &out) {
    const std::string tag = "Using virtual iface ";
    const size_t at = out.find(tag);
    if (at == std::string::npos) return "";
    const size_t from = at + tag.size();
    const size_t end = out.find(" (", from);
    return end == std::string::npos ? "" : out.substr(from, end - from);
}

// The tap device carries 198.18.5.1/24 with a permanent neighbour 198.18.5.2
// behind it, so a client's datagrams to 198.18.5.2 leave through the tap,
// where the server's packet socket sees them.
class TorilTap : public testing::Test {
  protected:
    void SetUp() override {
        if (std::string(TORIL_BIN).empty()) GTEST_SKIP() << "toril is not built";
        if (!lab_.ready()) GTEST_SKIP() << lab_.error();
        if (access("/dev/net/tun", R_OK | W_OK) != 0) GTEST_SKIP() << "no /dev/net/tun";
        ip_ = testsupport::system_tool("ip");
        ASSERT_FALSE(lab_.add_host("h").empty()) << lab_.error();
        port_ = std::to_string(testsupport::free_port());
    }

    void TearDown() override {
        // The namespace takes its devices with it; a device made persistent
        // here goes first all the same.
        server_.stop();
        if (!tap_.empty()) lab_.exec("h", {ip_, "link", "del", tap_});
    }

    // A persistent tap device, up, made before the server starts.
    void make_tap() {
        ASSERT_TRUE(lab_.exec("h", {ip_, "tuntap", "add", "dev", kTap, "mode", "tap"}))
            << lab_.error();
        tap_ = kTap;
        ASSERT_TRUE(lab_.exec("h", {ip_, "link", "set", kTap, "up"})) << lab_.error();
        address_tap(kTap);
    }

    // Addresses only: the device's up state is the server's or make_tap's.
    void address_tap(const std::string &dev) {
        ASSERT_TRUE(lab_.exec("h", {ip_, "addr", "add", std::string(kLocal) + "/24", "dev", dev}))
            << lab_.error();
        ASSERT_TRUE(lab_.exec("h", {ip_, "neigh", "add", kPeer, "lladdr", "02:00:00:00:00:02",
                                    "dev", dev, "nud", "permanent"}))
            << lab_.error();
    }

    std::vector<std::string> in_host(std::vector<std::string> args) const {
        std::vector<std::string> argv = lab_.prefix("h");
        argv.push_back(TORIL_BIN);
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }

    // Starts the tap server on tap_option ("--tap-dev" or "--tap-dev=NAME").
    void start_server(const std::string &tap_option) {
        ASSERT_TRUE(server_.start(in_host({"-s", "-u", "-p", port_, tap_option})));
        ASSERT_TRUE(server_.wait_for_output("Server listening on UDP port " + port_, 5s))
            << server_.err();
    }

    // Runs a 1 s client at 1 Mbit/s and waits for the server's report of
    // test id; returns the client's result.
    testsupport::RunResult run_client(int id) {
        testsupport::RunOptions opts;
        // One second of traffic, then up to two seconds waiting for a server
        // report that cannot come back through the tap.
        opts.timeout = 20s;
        const testsupport::RunResult r = testsupport::run(
            in_host({"-c", kPeer, "-u", "-p", port_, "-t", "1", "-b", "1m"}), opts);
        server_.wait_for_output("[  " + std::to_string(id) + "] 0.00-", 5s);
        return r;
    }

    // The server's report of test id counts every datagram of the client,
    // with nothing lost or out of order.
    void expect_counted(const testsupport::RunResult &client, int id) {
        EXPECT_FALSE(client.timed_out);
        EXPECT_EQ(client.exit_code, 0) << client.err;
        const std::string total = sent_datagrams(client.out);
        ASSERT_FALSE(total.empty()) << client.out;
        const std::string out = server_.out();
        EXPECT_NE(whole_test_line(out, id).find(" 0/" + total + " (0%)"), std::string::npos)
            << out;
        EXPECT_EQ(final_transfer(out, id), final_transfer(client.out)) << out << client.out;
    }

    testsupport::NetLab lab_{"toriltap"};
    std::string ip_;
    std::string port_;
    std::string tap_;
    testsupport::Background server_;
};

TEST_F(TorilTap, ServerReceivesAUdpTestThroughTheTap) {
    make_tap();
    start_server("--tap-dev=" + std::string(kTap));
    const testsupport::RunResult client = run_client(1);
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

// The datagram counts of the client, no loss or reordering, and a listener
// that keeps its tap device for the next test: two tests, one after the
// other, against one server.
TEST_F(TorilTap, TapReportCountsTheClientsDatagrams) {
    make_tap();
    start_server("--tap-dev=" + std::string(kTap));
    for (int id = 1; id <= 2; ++id) {
        SCOPED_TRACE("test " + std::to_string(id));
        const testsupport::RunResult client = run_client(id);
        expect_counted(client, id);
        EXPECT_TRUE(server_.running()) << "the listener waits for the next test\n"
                                       << server_.err();
    }
    const testsupport::RunResult server = server_.stop();
    EXPECT_EQ(server.out.find("out-of-order"), std::string::npos) << server.out;
    EXPECT_EQ(server.out.find("[  3] local"), std::string::npos)
        << "late datagrams of a test start no test of their own\n"
        << server.out;
    EXPECT_EQ(server.err.find("tunsetiff failed"), std::string::npos) << server.err;
}

// Without a device name the server makes a tap device of its own; it is up
// and reads once the device has its addresses.
TEST_F(TorilTap, ServerMakesAndBringsUpItsOwnTapDevice) {
    start_server("--tap-dev");
    const std::string dev = virtual_iface(server_.out());
    ASSERT_FALSE(dev.empty()) << server_.out();
    address_tap(dev);
    const testsupport::RunResult client = run_client(1);
    expect_counted(client, 1);
    EXPECT_TRUE(server_.running()) << server_.err();
    const testsupport::RunResult server = server_.stop();
    EXPECT_NE(server.out.find("[  1] local 198.18.5.2%" + dev + " port " + port_), std::string::npos)
        << server.out;
    EXPECT_EQ(server.err.find("Network is down"), std::string::npos) << server.err;
}

}  // namespace
