#include "common/io.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "common/signals.h"

namespace {

using namespace std::chrono_literals;

// A connected pair of sockets, closed at the end of the test.
struct Pair {
    int a = -1, b = -1;
    explicit Pair(int type = SOCK_STREAM) {
        int fds[2];
        if (socketpair(AF_UNIX, type, 0, fds) == 0) {
            a = fds[0];
            b = fds[1];
        }
    }
    ~Pair() {
        if (a >= 0) close(a);
        if (b >= 0) close(b);
    }
    void close_b() {
        close(b);
        b = -1;
    }
};

void no_op_handler(int) {}

class IoTest : public testing::Test {
  protected:
    void SetUp() override {
        sInterupted = 0;
        // No SA_RESTART: a signal makes a blocked call fail with EINTR.
        struct sigaction sa;
        memset(&sa, 0, sizeof sa);
        sa.sa_handler = no_op_handler;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGUSR1, &sa, &old_usr1_);
    }
    void TearDown() override {
        sigaction(SIGUSR1, &old_usr1_, nullptr);
        sInterupted = 0;
    }

  private:
    struct sigaction old_usr1_;
};

std::string drain(int fd, size_t want) {
    std::string got;
    char buf[65536];
    while (got.size() < want) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

void set_small_buffers(const Pair &p) {
    int size = 4096;
    setsockopt(p.a, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    setsockopt(p.b, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

// Sends SIGUSR1 to the thread until done is set (bounded).
void interrupt_until(pthread_t thread, const std::atomic<bool> &done) {
    for (int i = 0; i < 500 && !done; i++) {
        pthread_kill(thread, SIGUSR1);
        std::this_thread::sleep_for(2ms);
    }
}

// ---- writen ----

TEST_F(IoTest, WritenOfNothingMakesNoCall) {
    int calls = 99;
    testing::internal::CaptureStderr();
    EXPECT_EQ(writen(-1, "x", 0, &calls), 0);  // a bad descriptor is never touched
    EXPECT_EQ(writen(-1, "x", -3, &calls), 0);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(sInterupted, 0);
}

TEST_F(IoTest, WritenSendsEverythingAndCountsCalls) {
    Pair p;
    std::string data(300000, 'q');
    std::string got;
    std::thread reader([&] { got = drain(p.b, data.size()); });
    int calls = 0;
    EXPECT_EQ(writen(p.a, data.data(), static_cast<int>(data.size()), &calls), 300000);
    reader.join();
    EXPECT_EQ(got, data);
    EXPECT_GE(calls, 1);
}

TEST_F(IoTest, WritenWorksOnPipes) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    int calls = 0;
    EXPECT_EQ(writen(fds[1], "hello", 5, &calls), 5);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(drain(fds[0], 5), "hello");
    close(fds[0]);
    close(fds[1]);
}

TEST_F(IoTest, WritenDoesNothingOnceInterrupted) {
    Pair p;
    sInterupted = 2;
    int calls = 7;
    EXPECT_EQ(writen(p.a, "abc", 3, &calls), 0);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(sInterupted, 2);
}

TEST_F(IoTest, WritenToAClosedPeerWarnsAndEndsOnlyTheCall) {
    Pair p;
    p.close_b();
    int calls = 0, error = 0;
    testing::internal::CaptureStderr();
    EXPECT_EQ(writen(p.a, "abc", 3, &calls, &error), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "writen fatal failed: Broken pipe\n");
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(error, EPIPE);
    EXPECT_FALSE(writen_timed_out(error));
    EXPECT_EQ(sInterupted, 0) << "one broken stream must not stop the others";
}

// A full send buffer: non-blocking (EAGAIN at once) and with a send timeout
// (EAGAIN after the timeout). Both stop quietly with the short count.
TEST_F(IoTest, WritenStopsQuietlyOnAFullBufferWithTheShortCount) {
    for (const bool with_timeout : {false, true}) {
        SCOPED_TRACE(with_timeout ? "send timeout" : "non-blocking");
        Pair p;
        set_small_buffers(p);
        if (with_timeout) {
            struct timeval tv = {0, 50000};
            ASSERT_EQ(setsockopt(p.a, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv), 0);
        } else {
            fcntl(p.a, F_SETFL, fcntl(p.a, F_GETFL) | O_NONBLOCK);
        }
        std::vector<char> data(1 << 20, 'z');
        int calls = 0, error = 0;
        testing::internal::CaptureStderr();
        const auto t0 = std::chrono::steady_clock::now();
        int n = writen(p.a, data.data(), static_cast<int>(data.size()), &calls, &error);
        const auto waited = std::chrono::steady_clock::now() - t0;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_TRUE(writen_timed_out(error)) << error;
        EXPECT_GT(n, 0);
        EXPECT_LT(n, static_cast<int>(data.size()));
        EXPECT_LT(waited, 5s) << "bounded by the timeout";
        EXPECT_EQ(drain(p.b, static_cast<size_t>(n)).size(), static_cast<size_t>(n));
        EXPECT_GE(calls, 2);
        EXPECT_EQ(sInterupted, 0);
        // The socket stays usable: once the peer has read, writes go on.
        EXPECT_EQ(writen(p.a, "more", 4, &calls, &error), 4);
        EXPECT_EQ(error, 0);
        EXPECT_EQ(drain(p.b, 4), "more");
    }
}

TEST_F(IoTest, WritenRetriesAfterSignalsUntilDone) {
    Pair p;
    set_small_buffers(p);
    const int len = 1 << 20;
    std::vector<char> data(len, 'w');
    std::atomic<bool> done{false};
    int result = -1, calls = 0;
    std::thread writer([&] {
        result = writen(p.a, data.data(), len, &calls);
        done = true;
    });
    interrupt_until(writer.native_handle(), done);  // bursts of signals while it blocks...
    std::string got = drain(p.b, len);              // ...then the reader lets it finish
    writer.join();
    EXPECT_EQ(result, len);
    EXPECT_EQ(got.size(), static_cast<size_t>(len));
    EXPECT_GE(calls, 2);
    EXPECT_EQ(sInterupted, 0);
}

TEST_F(IoTest, WritenStopsWhenInterruptedWhileBlocked) {
    Pair p;
    set_small_buffers(p);
    const int len = 1 << 20;
    std::vector<char> data(len, 'w');
    std::atomic<bool> done{false};
    int result = -1, calls = 0;
    testing::internal::CaptureStderr();
    std::thread writer([&] {
        result = writen(p.a, data.data(), len, &calls);
        done = true;
    });
    std::this_thread::sleep_for(20ms);
    sInterupted = 14;
    interrupt_until(writer.native_handle(), done);
    writer.join();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(done);
    EXPECT_GE(result, 0);
    EXPECT_LT(result, len);
    EXPECT_EQ(sInterupted, 14);
}

// ---- recvn ----

TEST_F(IoTest, RecvnReceivesTheWholeLength) {
    Pair p;
    std::string data(200, 'r');
    std::thread sender([&] {
        // Two halves with a pause: MSG_WAITALL must join them.
        send(p.b, data.data(), 100, 0);
        std::this_thread::sleep_for(10ms);
        send(p.b, data.data() + 100, 100, 0);
    });
    char buf[200];
    EXPECT_EQ(recvn(p.a, buf, 200, 0), 200);
    sender.join();
    EXPECT_EQ(std::string(buf, 200), data);
}

TEST_F(IoTest, RecvnReturnsWhatCameBeforeAnOrderlyShutdown) {
    Pair p;
    std::string data(100, 's');
    ASSERT_EQ(send(p.b, data.data(), 100, 0), 100);
    shutdown(p.b, SHUT_WR);
    char buf[200];
    EXPECT_EQ(recvn(p.a, buf, 200, 0), 100);
    EXPECT_EQ(recvn(p.a, buf, 200, 0), 0);
    EXPECT_EQ(sInterupted, 0);
}

TEST_F(IoTest, RecvnReturnsMinusTwoOnTimeoutOrWouldBlock) {
    Pair p;
    struct timeval tv = {0, 20000};
    setsockopt(p.a, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char buf[16];
    EXPECT_EQ(recvn(p.a, buf, 16, 0), -2);
    fcntl(p.a, F_SETFL, fcntl(p.a, F_GETFL) | O_NONBLOCK);
    EXPECT_EQ(recvn(p.a, buf, 16, 0), -2);
    EXPECT_EQ(sInterupted, 0);  // not fatal
}

TEST_F(IoTest, RecvnReturnsMinusTwoWhenASignalInterrupts) {
    Pair p;
    std::atomic<bool> done{false};
    int result = 0;
    std::thread receiver([&] {
        char buf[16];
        result = recvn(p.a, buf, 16, 0);
        done = true;
    });
    interrupt_until(receiver.native_handle(), done);
    if (!done) shutdown(p.b, SHUT_WR);  // unblock it whatever happened
    receiver.join();
    EXPECT_EQ(result, -2);
}

TEST_F(IoTest, RecvnFatalErrorWarnsAndEndsOnlyTheCall) {
    char buf[8];
    testing::internal::CaptureStderr();
    EXPECT_EQ(recvn(-1, buf, 8, 0), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "recvn failed: Bad file descriptor\n");
    EXPECT_EQ(sInterupted, 0);
}

TEST_F(IoTest, RecvnDoesNothingForNoLengthOrOnceInterrupted) {
    Pair p;
    ASSERT_EQ(send(p.b, "abcd", 4, 0), 4);
    char buf[4];
    EXPECT_EQ(recvn(p.a, buf, 0, 0), 0);
    EXPECT_EQ(recvn(p.a, buf, -1, 0), 0);
    EXPECT_EQ(recvn(p.a, buf, 0, MSG_PEEK), 0);
    sInterupted = 2;
    EXPECT_EQ(recvn(p.a, buf, 4, 0), 0);
    EXPECT_EQ(recvn(p.a, buf, 4, MSG_PEEK), 0);
    sInterupted = 0;
    EXPECT_EQ(recvn(p.a, buf, 4, 0), 4);  // the bytes are still there
}

TEST_F(IoTest, RecvnPeekLeavesTheBytesWaiting) {
    Pair p;
    ASSERT_EQ(send(p.b, "header-and-more", 15, 0), 15);
    char buf[16] = {};
    EXPECT_EQ(recvn(p.a, buf, 6, MSG_PEEK), 6);
    EXPECT_EQ(std::string(buf, 6), "header");
    EXPECT_EQ(recvn(p.a, buf, 15, 0), 15);
    EXPECT_EQ(std::string(buf, 15), "header-and-more");
}

TEST_F(IoTest, RecvnPeekWaitsForTheRestOfAStream) {
    Pair p;
    ASSERT_EQ(send(p.b, "head", 4, 0), 4);
    std::thread sender([&] {
        std::this_thread::sleep_for(20ms);
        send(p.b, "er", 2, 0);
    });
    char buf[6];
    EXPECT_EQ(recvn(p.a, buf, 6, MSG_PEEK), 6);
    sender.join();
    EXPECT_EQ(std::string(buf, 6), "header");
}

TEST_F(IoTest, RecvnPeekEndsWhenNoMoreBytesCanCome) {
    {
        Pair p;  // peer shut down after a short message: the short peek is final
        ASSERT_EQ(send(p.b, "shor", 4, 0), 4);
        shutdown(p.b, SHUT_WR);
        char buf[16];
        EXPECT_EQ(recvn(p.a, buf, 16, MSG_PEEK), 4);
    }
    {
        Pair p;  // peer closed with nothing waiting
        p.close_b();
        char buf[16];
        EXPECT_EQ(recvn(p.a, buf, 16, MSG_PEEK), 0);
    }
    {
        Pair p(SOCK_DGRAM);  // a short datagram never grows
        ASSERT_EQ(send(p.b, "dgram", 5, 0), 5);
        char buf[16];
        EXPECT_EQ(recvn(p.a, buf, 16, MSG_PEEK), 5);
    }
    EXPECT_EQ(sInterupted, 0);
}

TEST_F(IoTest, RecvnPeekStopsWhenInterrupted) {
    Pair p;
    ASSERT_EQ(send(p.b, "ab", 2, 0), 2);
    std::atomic<bool> done{false};
    int result = -9;
    std::thread peeker([&] {
        char buf[16];
        result = recvn(p.a, buf, 16, MSG_PEEK);
        done = true;
    });
    std::this_thread::sleep_for(20ms);
    sInterupted = 2;
    for (int i = 0; i < 500 && !done; i++) std::this_thread::sleep_for(2ms);
    if (!done) p.close_b();
    peeker.join();
    EXPECT_EQ(result, 2);  // the last peek's result
}

TEST_F(IoTest, RecvnPeekFatalErrorWarns) {
    char buf[8];
    testing::internal::CaptureStderr();
    EXPECT_EQ(recvn(-1, buf, 8, MSG_PEEK), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "recvn peek failed: Bad file descriptor\n");
    EXPECT_EQ(sInterupted, 0);
}

// ---- readn ----

TEST_F(IoTest, ReadnReadsTheWholeLengthOrWhatCameBeforeEof) {
    Pair p;
    ASSERT_EQ(send(p.b, "0123456789", 10, 0), 10);
    char buf[16];
    EXPECT_EQ(readn(p.a, buf, 4), 4);
    EXPECT_EQ(std::string(buf, 4), "0123");
    shutdown(p.b, SHUT_WR);
    EXPECT_EQ(readn(p.a, buf, 16), 6);
    EXPECT_EQ(std::string(buf, 6), "456789");
    EXPECT_EQ(readn(p.a, buf, 16), 0);
    EXPECT_EQ(readn(p.a, buf, 0), 0);
}

TEST_F(IoTest, ReadnErrorGivesMinusOneWithoutWarning) {
    char buf[4];
    testing::internal::CaptureStderr();
    EXPECT_EQ(readn(-1, buf, 4), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(sInterupted, 0);
}

TEST_F(IoTest, ReadnRetriesSignalsButStopsWhenInterrupted) {
    Pair p;
    ASSERT_EQ(send(p.b, "abc", 3, 0), 3);
    std::atomic<bool> done{false};
    int result = -9;
    std::thread reader([&] {
        char buf[8];
        result = readn(p.a, buf, 8);
        done = true;
    });
    interrupt_until(reader.native_handle(), done);
    EXPECT_FALSE(done);  // plain signals do not end it
    sInterupted = 14;
    interrupt_until(reader.native_handle(), done);
    if (!done) p.close_b();
    reader.join();
    EXPECT_EQ(result, 3);
}

}  // namespace
