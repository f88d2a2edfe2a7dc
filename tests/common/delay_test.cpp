#include "common/delay.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <pthread.h>
#include <thread>

namespace {

using namespace std::chrono_literals;

// Runs fn on a fresh thread, which starts with fresh per-thread delay state.
template <typename Fn>
void on_fresh_thread(Fn fn) {
    std::thread t(fn);
    t.join();
}

TEST(DelayLoop, ZeroAndShortDelaysReturn) {
    delay_loop(0);
    delay_loop(1);
    delay_loop(50, ToolVariant::kQuarvel);
}

TEST(ClockUsleep, NothingToSleepReturnsZero) {
    EXPECT_EQ(clock_usleep(0, 0), 0);
    EXPECT_EQ(clock_usleep(-1, 0), 0);
    EXPECT_EQ(clock_usleep(0, -5), 0);
    EXPECT_EQ(clock_usleep(1, -1000000), 0);  // normalised: exactly zero
    EXPECT_EQ(clock_usleep(0, 1000), 0);
}

TEST(ClockUsleep, MicrosecondsBeyondASecondAreNormalisedNotRejected) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(clock_usleep(-1, 1000100), 0);  // 100 us
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(ClockUsleepAbstime, AnInstantAlreadyPastReturnsZero) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    testing::internal::CaptureStderr();
    EXPECT_EQ(clock_usleep_abstime(now.tv_sec - 10, 0), 0);
    EXPECT_EQ(clock_usleep_abstime(0, 0), 0);
    EXPECT_EQ(clock_usleep_abstime(-5, 0), 0);
    EXPECT_EQ(clock_usleep_abstime(now.tv_sec, now.tv_nsec / 1000 + 2000), 0);  // 2 ms ahead
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

void no_op_handler(int) {}

TEST(ClockUsleep, AnInterruptedSleepIsReportedAndNotResumed) {
    struct sigaction sa, old;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = no_op_handler;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGUSR2, &sa, &old);
    std::atomic<bool> done{false};
    int rc = -1;
    testing::internal::CaptureStderr();
    std::thread sleeper([&] {
        rc = clock_usleep(30, 0);
        done = true;
    });
    for (int i = 0; i < 1000 && !done; i++) {
        pthread_kill(sleeper.native_handle(), SIGUSR2);
        std::this_thread::sleep_for(5ms);
    }
    sleeper.join();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "failed clock_nanosleep()=4\n");
    EXPECT_EQ(rc, EINTR);
    sigaction(SIGUSR2, &old, nullptr);
}

TEST(DelayKalman, FirstCallMovesMostOfTheWayToTheMeasuredOvershoot) {
    on_fresh_thread([] {
        KalmanState start = delay_kalman_state();
        EXPECT_DOUBLE_EQ(start.Q, 0.00001);
        EXPECT_DOUBLE_EQ(start.R, 0.1);
        EXPECT_DOUBLE_EQ(start.x, 0.0);
        EXPECT_DOUBLE_EQ(start.P, 1.0);
        EXPECT_DOUBLE_EQ(start.K, 0.75);

        delay_kalman(100);
        KalmanState k = delay_kalman_state();
        const double p1 = 1.0 + 0.00001;  // P + Q, as the update adds them
        const double gain = p1 / (p1 + 0.1);
        EXPECT_NEAR(gain, 1.00001 / 1.10001, 1e-12);
        EXPECT_DOUBLE_EQ(k.K, gain);
        EXPECT_DOUBLE_EQ(k.P, (1 - gain) * p1);
        EXPECT_NEAR(k.P, 0.0909, 0.0001);
        // The busy wait ends strictly after the deadline, so the overshoot is positive.
        EXPECT_GT(k.x, 0.0);
    });
}

TEST(DelayKalman, EstimateStaysWithItsThreadAndRemainsSane) {
    KalmanState before = delay_kalman_state();
    on_fresh_thread([] {
        for (int i = 0; i < 50; i++) delay_kalman(200);
        KalmanState k = delay_kalman_state();
        EXPECT_TRUE(std::isfinite(k.x));
        EXPECT_GT(k.x, 0.0);
        EXPECT_LT(k.P, 0.1);
        delay_kalman(4);  // served by the busy wait alone
        delay_kalman(0);
    });
    KalmanState after = delay_kalman_state();
    EXPECT_DOUBLE_EQ(after.x, before.x);
    EXPECT_DOUBLE_EQ(after.P, before.P);
}

TEST(BoxMuller, SecondVariateIsTheCachedPartnerOfOneDraw) {
    float z1 = 0, z2 = 0, w1 = 0;
    int rand_after_two = 0, rand_after_one = 0;
    on_fresh_thread([&] {
        srand(12345);
        z1 = box_muller();
        z2 = box_muller();
        rand_after_two = rand();
    });
    on_fresh_thread([&] {
        srand(12345);
        w1 = box_muller();
        rand_after_one = rand();
    });
    EXPECT_EQ(w1, z1);                          // the same accepted draw
    EXPECT_EQ(rand_after_two, rand_after_one);  // the second call used no rand()
    EXPECT_TRUE(std::isfinite(z1));
    EXPECT_TRUE(std::isfinite(z2));
    EXPECT_NE(z1, z2);
}

TEST(BoxMuller, VariatesAreStandardNormal) {
    on_fresh_thread([] {
        srand(4242);
        const int n = 20000;
        double sum = 0, sum_sq = 0;
        for (int i = 0; i < n; i++) {
            float z = box_muller();
            ASSERT_TRUE(std::isfinite(z));
            sum += z;
            sum_sq += static_cast<double>(z) * z;
        }
        double mean = sum / n;
        EXPECT_NEAR(mean, 0.0, 0.05);
        EXPECT_NEAR(sum_sq / n - mean * mean, 1.0, 0.05);
    });
}

TEST(Lognormal, HasTheRequestedMeanAndDeviation) {
    on_fresh_thread([] {
        EXPECT_NEAR(lognormal(5.0f, 0.0f), 5.0f, 1e-4);  // no spread: the mean itself
        srand(99);
        const int n = 20000;
        double sum = 0, sum_sq = 0;
        for (int i = 0; i < n; i++) {
            float v = lognormal(100.0f, 20.0f);
            ASSERT_GT(v, 0.0f);
            sum += v;
            sum_sq += static_cast<double>(v) * v;
        }
        double mean = sum / n;
        EXPECT_NEAR(mean, 100.0, 1.0);
        EXPECT_NEAR(std::sqrt(sum_sq / n - mean * mean), 20.0, 1.0);
    });
}

}  // namespace
