// One server serves 300 short tests in a row: its open descriptors, threads
// and resident memory at the end must be within a small margin of their
// values after the first ten tests.
//
// toril: 300 byte-count TCP tests of the real client. vantrip: its client
// spends a second per message, so the 300 tests are 300 short TCP
// connections that carry the client's own probe payload, each echoed back.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "tests/hostile/hostile_peer.h"
#include "tests/support/net.h"
#include "tests/support/process.h"
#include "vantrip/server/protocol.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kTests = 300;
constexpr int kWarmTests = 10;
// Beyond this the soak stops early and fails: it must stay short on a loaded
// machine.
constexpr auto kBudget = 150s;

class Soak {
  public:
    explicit Soak(hostile::WatchedServer *server) : server_(server) {}
    // Runs one test (which checks its own figures) kTests times, taking the
    // reference figures after the first kWarmTests.
    template <typename OneTest>
    void run(const std::string &name, OneTest one_test) {
        const auto deadline = Clock::now() + kBudget;
        int served = 0;
        for (int i = 0; i < kTests && Clock::now() < deadline; ++i) {
            if (!one_test(i)) break;
            ++served;
            if (served == kWarmTests) server_->take_baseline();
        }
        std::cout << name << ": " << served << " tests served" << std::endl;
        testing::Test::RecordProperty(name + "_tests_served", served);
        EXPECT_EQ(served, kTests);
        server_->settle(10s);
        server_->expect_sound(name + " after " + std::to_string(served) + " tests");
    }

  private:
    hostile::WatchedServer *server_;
};

TEST(Soak, TorilServerServesThreeHundredByteCountTests) {
    const std::string bin = TORIL_BIN;
    if (bin.empty()) GTEST_SKIP() << "toril is not built";
    const std::string port = std::to_string(testsupport::free_port());
    hostile::WatchedServer server;
    ASSERT_TRUE(server.start({bin, "-s", "-p", port, "-f", "b"}, "Server listening"));
    // The rate keeps each test to a few hundredths of a second, so that 300
    // of them also fit on a loaded machine.
    const std::vector<std::string> client{bin,  "-c", "127.0.0.1", "-p", port, "-n", "64K",
                                          "-l", "8K", "-b",        "8m", "-f", "b"};
    Soak(&server).run("toril", [&](int i) {
        testsupport::RunOptions opts;
        opts.timeout = 20000ms;
        const testsupport::RunResult r = testsupport::run(client, opts);
        const bool ok = !r.timed_out && r.exit_code == 0 &&
                        hostile::contains_line(r.out, "[~#] 0.00-#.# sec  65536 Bytes ");
        EXPECT_TRUE(ok) << "test " << i << ":\n" << r.out << r.err;
        return ok;
    });
    // Every test has its own final line on the server, with the right count.
    const auto deadline = Clock::now() + 10s;
    size_t finals = 0;
    while (Clock::now() < deadline) {
        const std::string out = server.process().out();
        finals = 0;
        for (size_t at = out.find(" sec  65536 Bytes "); at != std::string::npos;
             at = out.find(" sec  65536 Bytes ", at + 1))
            ++finals;
        if (finals >= kTests) break;
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(finals, static_cast<size_t>(kTests));
    server.stop_and_check();
}

// One probe as the client sends it on a connection of its own; true when the
// same bytes came back.
bool vantrip_probe(uint16_t port, int i) {
    const int fd = hostile::tcp_connect(hostile::Target{4, port}, 2000ms);
    if (fd < 0) return false;
    const std::string payload = probe_payload(tcp_probe_number(i), 100);
    bool ok = send(fd, payload.data(), payload.size(), MSG_NOSIGNAL) ==
              static_cast<ssize_t>(payload.size());
    std::string echo;
    const auto deadline = Clock::now() + 3000ms;
    char buf[4096];
    while (ok && echo.size() < payload.size() && Clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) != 1) continue;
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        echo.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return ok && echo == payload;
}

TEST(Soak, VantripServerAnswersThreeHundredConnections) {
    const std::string bin = VANTRIP_BIN;
    if (bin.empty()) GTEST_SKIP() << "vantrip is not built";
    const uint16_t port = testsupport::free_port();
    hostile::WatchedServer server;
    ASSERT_TRUE(server.start({bin, "SERVER", std::to_string(port)}, "Vantrip server started...."));
    Soak(&server).run("vantrip", [&](int i) {
        const bool ok = vantrip_probe(port, i);
        EXPECT_TRUE(ok) << "probe " << i << " was not echoed";
        return ok;
    });
    server.stop_and_check();
}

}  // namespace
