// toril -s against the program's own client on loopback, for the listener's
// side of a test: parallel UDP streams sorted into their own tests, tiny TCP
// tests counted in full, the tradeoff test's connection back to the client,
// and connections that never send a header or stop sending mid-test, which
// must not hold other clients.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "tests/support/net.h"
#include "tests/support/process.h"
#include "toril/core/headers.h"
#include "toril/core/settings.h"

namespace {

using std::chrono::milliseconds;

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Lines matching re, with their first capture (or the whole match).
std::vector<std::string> matches(const std::string &text, const std::regex &re) {
    std::vector<std::string> found;
    for (const std::string &line : lines_of(text)) {
        std::smatch m;
        if (std::regex_search(line, m, re)) found.push_back(m.size() > 1 ? m[1].str() : m[0].str());
    }
    return found;
}

int connect_tcp(uint16_t port) {
    for (int attempt = 0; attempt < 300; ++attempt) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        if (connect(fd, reinterpret_cast<const sockaddr *>(&a), sizeof(a)) == 0) return fd;
        close(fd);
        std::this_thread::sleep_for(milliseconds(10));
    }
    return -1;
}

std::vector<uint8_t> tcp_header() {
    thread_Settings c;
    Settings_Initialize(&c);
    c.thread_mode = kMode_Client;
    std::vector<uint8_t> buf(kTcpClientHdrSpace, 0);
    const int len = Settings_GenerateClientHdr(&c, buf.data(), buf.size(), time(nullptr), 0);
    buf.resize(len > 0 ? static_cast<size_t>(len) : 0);
    return buf;
}

bool port_taken(uint16_t port, int type) {
    const int fd = socket(AF_INET, type, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    const bool taken = bind(fd, reinterpret_cast<const sockaddr *>(&a), sizeof(a)) < 0;
    close(fd);
    return taken;
}

// True once something holds the port on 127.0.0.1, TCP or UDP (bounded wait).
bool wait_port_taken(uint16_t port, int limit_ms) {
    const auto deadline = std::chrono::steady_clock::now() + milliseconds(limit_ms);
    while (std::chrono::steady_clock::now() < deadline) {
        if (port_taken(port, SOCK_STREAM) || port_taken(port, SOCK_DGRAM)) return true;
        std::this_thread::sleep_for(milliseconds(20));
    }
    return false;
}

class TorilListenerE2E : public testing::Test {
  protected:
    // CSV output has no settings lines: the bound port tells that it runs.
    void Start(std::vector<std::string> args) {
        args.insert(args.begin(), TORIL_BIN);
        ASSERT_TRUE(server.start(args));
        ASSERT_TRUE(wait_port_taken(port, 5000)) << server.err();
    }
    void TearDown() override {
        if (server.pid() > 0) {
            const testsupport::RunResult r = server.stop();
            if (HasFailure()) ADD_FAILURE() << "server output:\n" << r.out << "\n" << r.err;
        }
    }
    testsupport::RunResult Client(std::vector<std::string> args, int timeout_ms = 15000) {
        args.insert(args.begin(), {TORIL_BIN, "-c", "127.0.0.1", "-p", std::to_string(port)});
        testsupport::RunOptions opts;
        opts.timeout = milliseconds(timeout_ms);
        return testsupport::run(args, opts);
    }
    // Polls the server's output until count lines match re (bounded).
    bool WaitLines(const std::regex &re, size_t count, int limit_ms, bool on_stderr = false) {
        const auto deadline = std::chrono::steady_clock::now() + milliseconds(limit_ms);
        while (std::chrono::steady_clock::now() < deadline) {
            if (matches(on_stderr ? server.err() : server.out(), re).size() >= count) return true;
            std::this_thread::sleep_for(milliseconds(50));
        }
        return false;
    }
    testsupport::Background server;
    uint16_t port = testsupport::free_port();
};

// Parallel UDP streams of one client start at once: the first datagrams of
// one stream reach the listening socket while another stream's test is being
// set up. Each server test must count exactly its own client stream.
class UdpParallel : public TorilListenerE2E, public testing::WithParamInterface<int> {};

TEST_P(UdpParallel, EachServerStreamCountsExactlyItsClientStream) {
    const int streams = GetParam();
    Start({"-s", "-u", "-p", std::to_string(port)});
    const std::regex sent(R"(^\[ *\d+\] Sent (\d+) datagrams$)");
    const std::regex stream_line(
        R"(^\[(?: *\d+|SUM)\] 0\.00-\d+\.\d+ sec +(\S+ \S+) .* (\d+)/(\d+) \()");
    size_t server_lines = 0;
    std::string total;
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const testsupport::RunResult r =
            Client({"-u", "-P", std::to_string(streams), "-n", "200K", "-b", "2M"});
        ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
        const std::vector<std::string> counts = matches(r.out, sent);
        ASSERT_EQ(counts.size(), static_cast<size_t>(streams)) << r.out;
        total = counts.front();
        for (const std::string &c : counts) ASSERT_EQ(c, total) << r.out;
        // The relayed server reports: every stream lost nothing of its own.
        int reports = 0;
        for (const std::string &line : lines_of(r.out)) {
            std::smatch m;
            if (!std::regex_search(line, m, stream_line) || line.find("SUM") != std::string::npos)
                continue;
            ++reports;
            EXPECT_EQ(m[2].str() + "/" + m[3].str(), "0/" + total) << line << "\n" << r.out;
        }
        EXPECT_EQ(reports, streams) << r.out;
        // The server's own final lines, one per stream and a sum.
        server_lines += static_cast<size_t>(streams) + 1;
        ASSERT_TRUE(WaitLines(stream_line, server_lines, 5000)) << server.out();
    }
    for (const std::string &line : lines_of(server.out())) {
        std::smatch m;
        if (!std::regex_search(line, m, stream_line)) continue;
        const bool sum = line.rfind("[SUM]", 0) == 0;
        const std::string want = sum ? std::to_string(streams * std::stoi(total)) : total;
        EXPECT_EQ(m[2].str() + "/" + m[3].str(), "0/" + want) << line;
        if (!sum) {
            EXPECT_EQ(m[1].str(), "201 KBytes") << line;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Streams, UdpParallel, testing::Values(2, 3));

// Tests that end within a millisecond: the server's count of each must be
// the client's byte count, every time.
struct TinyCase {
    const char *amount;
    const char *bytes;
};

class TinyTcp : public TorilListenerE2E, public testing::WithParamInterface<TinyCase> {};

TEST_P(TinyTcp, ServerCountsEveryByteOfEachTest) {
    const TinyCase c = GetParam();
    Start({"-s", "-p", std::to_string(port), "-y", "C"});
    constexpr int kRuns = 30;
    for (int i = 0; i < kRuns; ++i) {
        const testsupport::RunResult r = Client({"-n", c.amount, "-y", "C"});
        ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    }
    // CSV: ...,id,interval,bytes,bits per second
    const std::regex csv(R"(,\d+,[0-9.]+-[0-9.]+,(\d+),\d+$)");
    ASSERT_TRUE(WaitLines(csv, kRuns, 5000)) << server.out();
    const std::vector<std::string> counts = matches(server.out(), csv);
    ASSERT_EQ(counts.size(), static_cast<size_t>(kRuns)) << server.out();
    for (const std::string &n : counts) EXPECT_EQ(n, c.bytes);
}

INSTANTIATE_TEST_SUITE_P(Amounts, TinyTcp,
                         testing::Values(TinyCase{"64K", "65536"}, TinyCase{"1M", "1048576"}));

// The same in text form: a test shorter than 5 ms keeps its bytes in its
// final line.
TEST_F(TorilListenerE2E, TinyTcpTestsShowTheirBytesInTheTextLine) {
    Start({"-s", "-p", std::to_string(port)});
    for (int i = 0; i < 30; ++i) ASSERT_EQ(Client({"-n", "64K"}).exit_code, 0);
    const std::regex final_line(R"(^\[ *\d+\] 0\.00-\d+\.\d+ sec +(\S+ \S+) )");
    ASSERT_TRUE(WaitLines(final_line, 30, 5000)) << server.out();
    for (const std::string &t : matches(server.out(), final_line)) EXPECT_EQ(t, "64.0 KBytes");
}

// CSV lines of a full-duplex test without interval reports: every line of
// both ends carries the time of printing (not 1970) and both addresses,
// the client's receiving line as a reverse test's does (server first).
TEST_F(TorilListenerE2E, FullDuplexCsvLinesCarryTimeAndBothAddresses) {
    Start({"-s", "-p", std::to_string(port), "-y", "C"});
    const testsupport::RunResult r = Client({"-t", "1", "--full-duplex", "-y", "C"});
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    const std::string p = std::to_string(port);
    const std::regex line(R"(^20\d{12},127\.0\.0\.1,(\d+),127\.0\.0\.1,(\d+),\d+,0\.0-\d+\.\d,\d+,\d+$)");
    std::vector<std::pair<std::string, std::string>> client_ports;
    std::istringstream lines(r.out);
    for (std::string l; std::getline(lines, l);) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(l, m, line)) << l;
        client_ports.emplace_back(m[1], m[2]);
    }
    ASSERT_EQ(client_ports.size(), 2u) << r.out;
    // The two directions report in either order: the sending line puts the
    // client's own port first, the receiving line the server's.
    std::sort(client_ports.begin(), client_ports.end(),
              [&p](const auto &a, const auto &b) { return (a.first == p) < (b.first == p); });
    const std::string mine = client_ports[0].first;
    EXPECT_NE(mine, p);
    EXPECT_EQ(client_ports[0].second, p);
    EXPECT_EQ(client_ports[1], std::make_pair(p, mine));
    ASSERT_TRUE(WaitLines(line, 2, 5000)) << server.out();
}

// A tradeoff test: the client's test, then the server's test back to the
// client's own listener. On loopback the server holds the test's port, so
// without -L the client listens on a free port and tells the server.
class Tradeoff : public TorilListenerE2E, public testing::WithParamInterface<bool> {};

TEST_P(Tradeoff, RunsBothDirectionsWithExactLines) {
    const bool with_listen_port = GetParam();
    Start({"-s", "-p", std::to_string(port)});
    std::vector<std::string> args = {"-r", "-t", "1"};
    const uint16_t back = testsupport::free_port();
    if (with_listen_port) args.insert(args.end(), {"-L", std::to_string(back)});
    const testsupport::RunResult r = Client(args);
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "");
    const std::string p = std::to_string(port);

    const std::vector<std::string> listening =
        matches(r.out, std::regex(R"(^Server listening on TCP port (\d+)$)"));
    ASSERT_EQ(listening.size(), 1u) << r.out;
    const std::string listen_port = listening.front();
    if (with_listen_port)
        EXPECT_EQ(listen_port, std::to_string(back));
    else
        EXPECT_NE(listen_port, p);
    EXPECT_EQ(
        matches(r.out, std::regex(R"(^Client connecting to 127\.0\.0\.1, TCP port )" + p + "$"))
            .size(),
        1u)
        << r.out;
    EXPECT_EQ(matches(r.out, std::regex(R"(^\[  1\] local 127\.0\.0\.1 port \d+ connected with )"
                                        R"(127\.0\.0\.1 port )" +
                                        p + " "))
                  .size(),
              1u)
        << r.out;
    EXPECT_EQ(matches(r.out, std::regex(R"(^\[  2\] local 127\.0\.0\.1 port )" + listen_port +
                                        R"( connected with 127\.0\.0\.1 port \d+$)"))
                  .size(),
              1u)
        << r.out;
    const std::regex final_line(R"(^\[  ([12])\] 0\.00-\d\.\d\d sec +\S+ [KMG]?Bytes +\S+ )");
    const std::vector<std::string> finals = matches(r.out, final_line);
    EXPECT_EQ(finals, (std::vector<std::string>{"1", "2"})) << r.out;
    EXPECT_EQ(r.out.find("[ *2]"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("0.00-0.00 sec"), std::string::npos) << r.out;

    // The server's side: its test and the connection back, marked reverse.
    const std::regex reverse(R"(^\[ \*2\] local 127\.0\.0\.1 port \d+ connected with )"
                             R"(127\.0\.0\.1 port )" +
                             listen_port + R"( \(reverse\))");
    ASSERT_TRUE(WaitLines(reverse, 1, 5000)) << server.out();
    ASSERT_TRUE(WaitLines(std::regex(R"(^\[ \*2\] 0\.00-\d\.\d\d sec +\S+ [KMG]Bytes)"), 1, 5000))
        << server.out();
    EXPECT_EQ(server.err(), "");
}

INSTANTIATE_TEST_SUITE_P(ListenPort, Tradeoff, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool> &i) {
                             return i.param ? "WithL" : "WithoutL";
                         });

// Connections that never send a header hold only themselves: a test that
// comes after them is served at once, and each of them is dropped once its
// header time (a few seconds) is up.
TEST_F(TorilListenerE2E, SilentConnectionsDoNotHoldOtherClients) {
    Start({"-s", "-p", std::to_string(port)});
    std::vector<int> silent;
    for (int i = 0; i < 3; ++i) {
        const int fd = connect_tcp(port);
        ASSERT_GE(fd, 0);
        silent.push_back(fd);
    }
    // Before, each silent connection held the listener for its header time
    // in turn; this client would have waited for all of them.
    const testsupport::RunResult r = Client({"-t", "1"}, 3500);
    EXPECT_FALSE(r.timed_out) << r.out << r.err;
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    ASSERT_TRUE(WaitLines(std::regex(R"(^\[  \d\] 0\.00-\d\.\d\d sec +\S+ [KMG]Bytes)"), 1, 3000))
        << server.out();
    ASSERT_TRUE(WaitLines(std::regex(R"(^read tcp flags \(peer close\) failed$)"), 3, 8000, true))
        << server.err();
    for (const int fd : silent) close(fd);
    EXPECT_TRUE(server.running());
}

// A peer that trickles its header a byte at a time gets no more time than a
// silent one: the header time counts from the connection, not per byte.
TEST_F(TorilListenerE2E, ATricklingHeaderGetsNoMoreTimeThanASilentOne) {
    Start({"-s", "-p", std::to_string(port)});
    const int fd = connect_tcp(port);
    ASSERT_GE(fd, 0);
    const std::vector<uint8_t> header = tcp_header();
    ASSERT_GT(header.size(), 8u);
    const auto start = std::chrono::steady_clock::now();
    bool closed = false;
    for (size_t i = 0; i < header.size() && !closed; ++i) {
        if (send(fd, &header[i], 1, MSG_NOSIGNAL) != 1) break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 500) == 1) {
            char buf[64];
            closed = recv(fd, buf, sizeof(buf), 0) <= 0;
        }
    }
    close(fd);
    EXPECT_TRUE(closed);
    EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(8000));
    ASSERT_TRUE(WaitLines(std::regex(R"(^read tcp test info failed$)"), 1, 3000, true))
        << server.err();
}

// A client that sends its header and some data and then stops without
// closing holds only its own test (which ends after a long idle limit);
// other clients are served meanwhile.
TEST_F(TorilListenerE2E, AStalledTestLeavesOtherClientsServed) {
    Start({"-s", "-p", std::to_string(port)});
    const int fd = connect_tcp(port);
    ASSERT_GE(fd, 0);
    std::vector<uint8_t> bytes = tcp_header();
    ASSERT_FALSE(bytes.empty());
    bytes.resize(bytes.size() + 10000, 0x61);
    ASSERT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
    for (int i = 0; i < 2; ++i) {
        const testsupport::RunResult r = Client({"-t", "1"}, 5000);
        EXPECT_FALSE(r.timed_out) << r.out << r.err;
        EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    }
    // Two finished tests; the stalled one has no final line yet.
    const std::regex final_line(R"(^\[  (\d)\] 0\.00-\d\.\d\d sec )");
    ASSERT_TRUE(WaitLines(final_line, 2, 3000)) << server.out();
    EXPECT_EQ(matches(server.out(), final_line), (std::vector<std::string>{"2", "3"}))
        << server.out();
    close(fd);
    ASSERT_TRUE(WaitLines(final_line, 3, 5000)) << server.out();
}

}  // namespace
