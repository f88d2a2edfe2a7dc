// toril's start-up and interrupts as a user meets them: a server with a test
// in progress takes one interrupt, says it waits for the test and ends when
// the test does; a second interrupt ends it at once; an idle server ends on
// the first; a client interrupted in the middle of a timed test ends it
// early with its final report and status 0. The test's peer is a plain socket that sends the test header and
// then holds the connection open.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <filesystem>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/net.h"
#include "tests/support/process.h"
#include "toril/core/headers.h"
#include "toril/core/settings.h"

namespace {

using namespace std::chrono_literals;
using testsupport::Background;

const std::string kBin = TORIL_BIN;
const std::string kWaiting =
    "Waiting for server threads to complete. Interrupt again to force quit.\n";

bool err_contains(const Background &server, const std::string &text,
                  std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (server.err().find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

// A TCP test that has begun: connected and the test header sent.
int begin_test(uint16_t port) {
    for (int attempt = 0; attempt < 300; ++attempt) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        if (connect(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a) == 0) {
            thread_Settings c;
            Settings_Initialize(&c);
            c.thread_mode = kMode_Client;
            std::vector<uint8_t> bytes(kTcpClientHdrSpace, 0);
            const int len =
                Settings_GenerateClientHdr(&c, bytes.data(), bytes.size(), time(nullptr), 0);
            // The header alone: the server then waits for data that never
            // comes, so its test lasts until the socket closes.
            bytes.resize(static_cast<size_t>(len > 0 ? len : 0));
            if (send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
                static_cast<ssize_t>(bytes.size()))
                return fd;
        }
        close(fd);
        std::this_thread::sleep_for(10ms);
    }
    return -1;
}

// Threads of a running process.
int thread_count(pid_t pid) {
    int n = 0;
    std::error_code ignored_ec;
    for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task",
                                                       ignored_ec);
         it != std::filesystem::directory_iterator(); it.increment(ignored_ec))
        ++n;
    return n;
}

class ServerInterrupt : public testing::Test {
  protected:
    void SetUp() override {
        port_ = testsupport::free_port();
        ASSERT_TRUE(server_.start({kBin, "-s", "-p", std::to_string(port_)}));
        ASSERT_TRUE(server_.wait_for_output("Server listening", 10000ms));
    }
    void TearDown() override {
        if (peer_ >= 0) close(peer_);
        server_.stop();
    }
    void interrupt() { ASSERT_EQ(kill(server_.pid(), SIGINT), 0); }
    // The server has taken the test and its thread runs.
    void start_test() {
        const int before = thread_count(server_.pid());
        peer_ = begin_test(port_);
        ASSERT_GE(peer_, 0);
        const auto end = std::chrono::steady_clock::now() + 10000ms;
        while (thread_count(server_.pid()) <= before) {
            ASSERT_LT(std::chrono::steady_clock::now(), end) << "no server thread";
            std::this_thread::sleep_for(5ms);
        }
    }
    uint16_t port_ = 0;
    int peer_ = -1;
    Background server_;
};

// The server's traffic loop stops on the interrupt by itself; the process
// ends once that test is done.
TEST_F(ServerInterrupt, FirstInterruptWaitsForTheRunningTest) {
    start_test();
    interrupt();
    ASSERT_TRUE(err_contains(server_, kWaiting, 5000ms));
    if (!server_.wait(3000ms)) {
        close(peer_);  // a test still open ends with its socket
        peer_ = -1;
    }
    ASSERT_TRUE(server_.wait(10000ms));
    EXPECT_EQ(server_.result().exit_code, 0);
    EXPECT_EQ(server_.result().err.find(kWaiting), server_.result().err.rfind(kWaiting));
}

TEST_F(ServerInterrupt, SecondInterruptEndsAtOnce) {
    start_test();
    interrupt();
    ASSERT_TRUE(err_contains(server_, kWaiting, 5000ms));
    interrupt();
    ASSERT_TRUE(server_.wait(5000ms)) << "the open test must not hold a forced quit";
    EXPECT_EQ(server_.result().exit_code, 0);
}

TEST_F(ServerInterrupt, IdleServerEndsOnTheFirstInterrupt) {
    interrupt();
    ASSERT_TRUE(server_.wait(5000ms));
    EXPECT_EQ(server_.result().exit_code, 0);
    EXPECT_EQ(server_.result().err.find(kWaiting), std::string::npos);
}

// The client's final line covers the test up to the interrupt, not the ten
// seconds asked for, and the server reports the same test as ended.
TEST(ClientInterrupt, EndsTheTestWithItsFinalReport) {
    const uint16_t port = testsupport::free_port();
    Background server;
    ASSERT_TRUE(server.start({kBin, "-s", "-p", std::to_string(port)}));
    ASSERT_TRUE(server.wait_for_output("Server listening", 10000ms));
    Background client;
    ASSERT_TRUE(client.start({kBin, "-c", "127.0.0.1", "-p", std::to_string(port), "-t", "10",
                              "-i", "1"}));
    ASSERT_TRUE(client.wait_for_output(" 1.00-2.00 sec ", 10000ms)) << client.out();
    ASSERT_EQ(kill(client.pid(), SIGINT), 0);
    ASSERT_TRUE(client.wait(5000ms)) << "the interrupted client must end";
    const testsupport::RunResult r = client.result();
    EXPECT_EQ(r.exit_code, 0) << r.err;
    const std::regex final_line(R"(\n\[  1\] 0\.00-(\d+)\.\d+ sec +\S+ \S+ +\S+ \S+/sec)");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.out, m, final_line)) << r.out;
    EXPECT_LT(std::stoi(m[1].str()), 9) << r.out;
    EXPECT_TRUE(server.wait_for_output("[  1] 0.00-", 10000ms)) << server.out();
    server.stop();
}

}  // namespace
