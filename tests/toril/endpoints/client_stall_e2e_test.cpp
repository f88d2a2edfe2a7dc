// toril's TCP client against peers that do not keep up: a peer that stops
// reading (the send times out, which paces the test but does not end it) and
// a peer that resets one of several streams (that stream ends, the others go
// on). The peers are plain sockets in the test process.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/process.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// What the peer does with the n-th accepted connection.
enum class Conduct { kNeverRead, kResetSoon, kReadAll };

// Listens on 127.0.0.1 (a port the system picks) and treats each accepted
// connection by its conduct. One thread; every wait is bounded and the
// thread ends by itself after the limit.
class Peer {
  public:
    Peer(std::vector<Conduct> conducts, std::chrono::milliseconds limit = 30s)
        : conducts_(std::move(conducts)), deadline_(Clock::now() + limit) {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        const int one = 1;
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        // A small receive buffer fills soon once nobody reads.
        const int small = 4096;
        setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (bind(listener_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
            listen(listener_, 8) == 0 &&
            getsockname(listener_, reinterpret_cast<sockaddr *>(&addr), &len) == 0)
            port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { loop(); });
    }
    ~Peer() {
        stop_ = true;
        thread_.join();
        for (const Conn &c : conns_)
            if (c.fd >= 0) close(c.fd);
        close(listener_);
    }
    uint16_t port() const { return port_; }

    // Time from the reset of a connection to the end of file on a connection
    // that was read to the end; negative when either did not happen.
    double reset_to_eof_s() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (reset_at_ == Clock::time_point{} || eof_at_ == Clock::time_point{}) return -1;
        return std::chrono::duration<double>(eof_at_ - reset_at_).count();
    }
    size_t accepted() {
        std::lock_guard<std::mutex> lock(mutex_);
        return conns_.size();
    }

  private:
    struct Conn {
        int fd = -1;
        Conduct conduct = Conduct::kReadAll;
        Clock::time_point since;
    };

    void loop() {
        char buf[65536];
        while (!stop_ && Clock::now() < deadline_) {
            std::vector<pollfd> fds{{listener_, POLLIN, 0}};
            {
                std::lock_guard<std::mutex> lock(mutex_);
                for (const Conn &c : conns_)
                    if (c.fd >= 0 && c.conduct == Conduct::kReadAll)
                        fds.push_back({c.fd, POLLIN, 0});
            }
            poll(fds.data(), fds.size(), 10);
            if (fds[0].revents & POLLIN) accept_one();
            std::lock_guard<std::mutex> lock(mutex_);
            for (Conn &c : conns_) {
                if (c.fd < 0) continue;
                if (c.conduct == Conduct::kResetSoon && Clock::now() - c.since > 300ms) {
                    // Linger 0: the close sends a reset.
                    const linger lg{1, 0};
                    setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
                    close(c.fd);
                    c.fd = -1;
                    reset_at_ = Clock::now();
                } else if (c.conduct == Conduct::kReadAll) {
                    const ssize_t n = recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
                    if (n == 0) {
                        eof_at_ = Clock::now();
                        close(c.fd);
                        c.fd = -1;
                    }
                }
            }
        }
    }

    void accept_one() {
        const int fd = accept(listener_, nullptr, nullptr);
        if (fd < 0) return;
        std::lock_guard<std::mutex> lock(mutex_);
        Conn c;
        c.fd = fd;
        c.conduct = conns_.size() < conducts_.size() ? conducts_[conns_.size()] : Conduct::kReadAll;
        c.since = Clock::now();
        conns_.push_back(c);
    }

    std::vector<Conduct> conducts_;
    Clock::time_point deadline_;
    int listener_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<Conn> conns_;
    Clock::time_point reset_at_{}, eof_at_{};
    std::thread thread_;
};

class ClientStall : public ::testing::Test {
  protected:
    void SetUp() override {
        if (std::string(TORIL_BIN).empty()) GTEST_SKIP() << "toril is not built";
    }
    testsupport::RunResult client(uint16_t port, std::vector<std::string> extra) {
        std::vector<std::string> argv{TORIL_BIN, "-c", "127.0.0.1", "-p", std::to_string(port)};
        argv.insert(argv.end(), extra.begin(), extra.end());
        testsupport::RunOptions opts;
        opts.timeout = 30s;
        return testsupport::run(argv, opts);
    }
};

// Paced tests against a peer that never reads: every send times out sooner
// or later. The test must end by its time, exit 0 and print no fatal error.
TEST_F(ClientStall, SendTimeoutsOfAPacedTestAreNotFatal) {
    struct Case {
        const char *name;
        std::vector<std::string> options;
    };
    const std::vector<Case> cases = {
        // One write per burst: the write that starts a burst times out.
        {"burst", {"--burst-period", "0.1", "--burst-size", "1M", "-l", "1M", "-t", "2"}},
        // Bursts of many writes: the writes inside a burst time out.
        {"burst with small writes",
         {"--burst-period", "0.2", "--burst-size", "1M", "-l", "10K", "-t", "2"}},
        {"isochronous", {"--isochronous=50:100m,1m", "-l", "1M", "-t", "2"}},
        // A write of little more than the burst header: the header times out.
        {"rate-limited trip times", {"-b", "400m", "--trip-times", "-l", "100", "-t", "2"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Peer peer({Conduct::kNeverRead});
        ASSERT_NE(peer.port(), 0);
        const auto t0 = Clock::now();
        const auto r = client(peer.port(), c.options);
        const double took = std::chrono::duration<double>(Clock::now() - t0).count();
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.exit_code, 0) << r.err;
        for (const char *fatal :
             {"writen fatal", "burst written", "burst hdr write failed", "tcp write", "failed"})
            EXPECT_EQ(r.err.find(fatal), std::string::npos) << r.err;
        // The end of the test, plus the wait for a server close that never
        // comes (at most the test's length, 2 s at least), plus slack.
        EXPECT_LT(took, 12.0) << r.out;
        EXPECT_NE(r.out.find("[  1] 0.00-"), std::string::npos) << r.out;
        EXPECT_EQ(peer.accepted(), 1u);
    }
}

// Two parallel burst streams; the peer resets the first one. That stream
// ends with its error, the other one keeps going until the end of the test.
TEST_F(ClientStall, AResetEndsOnlyItsOwnStream) {
    Peer peer({Conduct::kResetSoon, Conduct::kReadAll});
    ASSERT_NE(peer.port(), 0);
    const auto r = client(peer.port(),
                          {"-P", "2", "--burst-period", "0.1", "--burst-size", "200K", "-t", "3"});
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(peer.accepted(), 2u);
    EXPECT_TRUE(r.err.find("Connection reset by peer") != std::string::npos ||
                r.err.find("Broken pipe") != std::string::npos)
        << r.err;
    // Reset at about 0.3 s; the other stream ends at about 3 s. Had the reset
    // stopped every stream, both would have ended at once.
    EXPECT_GT(peer.reset_to_eof_s(), 1.5) << r.out << r.err;
}

}  // namespace
