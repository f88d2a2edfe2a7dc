// Signal handling: the interrupt handler in a child process with running
// threads (first interrupt releases the listener and says so, a second one on
// the same thread ends the process at once), the alarm of timed tests, SIGPIPE
// ignored, and the installer and timer helpers in-process.
#include "common/signals.h"

#include <signal.h>
#include <sys/time.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "tests/support/process.h"

namespace {

using namespace std::chrono_literals;
using testsupport::Background;

const std::string kChild = SIGNALS_CHILD_BIN;
const std::string kWaiting =
    "Waiting for server threads to complete. Interrupt again to force quit.\n";

bool err_contains(const Background &child, const std::string &text,
                  std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (child.err().find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

class SignalChild : public testing::Test {
  protected:
    bool start(const std::string &variant) {
        release_ = dir_.file("release");
        return child_.start({kChild, variant, release_}) &&
               child_.wait_for_output("ready\n", 10000ms);
    }
    void release_server() { std::ofstream(release_) << "go"; }
    void interrupt(int signo) { ASSERT_EQ(kill(child_.pid(), signo), 0); }

    testsupport::TempDir dir_;
    std::string release_;
    Background child_;
};

TEST_F(SignalChild, FirstInterruptReleasesTheListenerAndWaitsForTheServer) {
    ASSERT_TRUE(start("toril"));
    interrupt(SIGINT);
    ASSERT_TRUE(err_contains(child_, kWaiting, 5000ms));
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(child_.running());  // the server still runs
    release_server();
    ASSERT_TRUE(child_.wait(10000ms));
    const auto r = child_.result();
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "ready\njoined\n");
    EXPECT_EQ(r.err, kWaiting);
}

TEST_F(SignalChild, SecondInterruptOnTheSameThreadEndsAtOnce) {
    ASSERT_TRUE(start("toril"));
    interrupt(SIGINT);
    ASSERT_TRUE(err_contains(child_, kWaiting, 5000ms));
    interrupt(SIGINT);
    ASSERT_TRUE(child_.wait(5000ms));
    const auto r = child_.result();
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "ready\n");  // the join never returned
    EXPECT_EQ(r.err, kWaiting);
}

TEST_F(SignalChild, TerminateReleasesTheListenerLikeAnInterrupt) {
    ASSERT_TRUE(start("toril"));
    interrupt(SIGTERM);
    ASSERT_TRUE(err_contains(child_, kWaiting, 5000ms));
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(child_.running());
    release_server();
    ASSERT_TRUE(child_.wait(10000ms));
    EXPECT_EQ(child_.result().exit_code, 0);
    EXPECT_EQ(child_.result().out, "ready\njoined\n");
}

TEST_F(SignalChild, QuarvelEndsAtTheFirstInterrupt) {
    ASSERT_TRUE(start("quarvel"));
    interrupt(SIGINT);
    ASSERT_TRUE(child_.wait(5000ms));
    const auto r = child_.result();
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "ready\n");
    EXPECT_EQ(r.err, "");
}

TEST(SignalAlarm, TimedServerStopsOnTheAlarm) {
    const auto r = testsupport::run({kChild, "alarm"});
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "ready\nserver stopped by signal 14\njoined\n");
    EXPECT_EQ(r.err, "");
}

TEST(SignalPipe, WriteToAClosedPipeFailsInsteadOfKilling) {
    const auto r = testsupport::run({kChild, "pipe"});
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "write -1 EPIPE\n");
}

void noop_handler(int) {}

TEST(MySignal, RestartsEverythingButTheAlarmAndReturnsThePrevious) {
    struct Case {
        int signo;
        bool restart;
    };
    for (const Case c : {Case{SIGUSR1, true}, Case{SIGALRM, false}}) {
        struct sigaction saved = {};
        sigaction(c.signo, nullptr, &saved);
        EXPECT_EQ(my_signal(c.signo, noop_handler), saved.sa_handler);
        struct sigaction now = {};
        sigaction(c.signo, nullptr, &now);
        EXPECT_EQ(now.sa_handler, noop_handler);
        EXPECT_EQ((now.sa_flags & SA_RESTART) != 0, c.restart) << c.signo;
        EXPECT_EQ(my_signal(c.signo, SIG_DFL), noop_handler);
        sigaction(c.signo, &saved, nullptr);
    }
    EXPECT_EQ(my_signal(SIGKILL, noop_handler), SIG_ERR);
}

TEST(SetItimer, ArmsOnceDisarmsAndRefusesNegativeTimes) {
    struct sigaction saved = {};
    sigaction(SIGALRM, nullptr, &saved);
    my_signal(SIGALRM, noop_handler);  // the process must survive a stray alarm
    itimerval timer = {};
    set_itimer(5 * 1000 * 1000);
    getitimer(ITIMER_REAL, &timer);
    EXPECT_GT(timer.it_value.tv_sec * 1000000 + timer.it_value.tv_usec, 4000000);
    EXPECT_EQ(timer.it_interval.tv_sec, 0);  // one shot
    EXPECT_EQ(timer.it_interval.tv_usec, 0);

    testing::internal::CaptureStderr();
    set_itimer(-1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "set_itimer value invalid failed\n");
    getitimer(ITIMER_REAL, &timer);
    EXPECT_GT(timer.it_value.tv_sec, 0);  // the armed timer is unchanged

    disarm_itimer();
    getitimer(ITIMER_REAL, &timer);
    EXPECT_EQ(timer.it_value.tv_sec, 0);
    EXPECT_EQ(timer.it_value.tv_usec, 0);
    sigaction(SIGALRM, &saved, nullptr);
}

}  // namespace
