// The frame clock: numbering from 1, one number per period, skipped numbers
// for a late caller, and the period of a frequency.
#include "toril/endpoints/isochronous.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

TEST(FrameCounter, PeriodIsTheTruncatedInverseOfTheFrequency) {
    struct Case {
        double fps;
        uint32_t period_us;
    };
    for (const Case c : {Case{60, 16666}, Case{1, 1000000}, Case{3, 333333}, Case{1e6, 1},
                         Case{0, 0}, Case{-5, 0}}) {
        SCOPED_TRACE(c.fps);
        EXPECT_EQ(Isochronous::FrameCounter(c.fps).period_us(), c.period_us);
    }
}

TEST(FrameCounter, FirstTickIsOneAtOnceThenOnePerPeriod) {
    Isochronous::FrameCounter counter(50);  // 20 ms
    const auto start = Clock::now();
    EXPECT_EQ(counter.wait_tick(), 1);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(5));
    EXPECT_EQ(counter.wait_tick(), 2);
    EXPECT_EQ(counter.wait_tick(), 3);
    // Two periods went by between the first and third tick.
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(39));
    EXPECT_EQ(counter.missed_ticks(), 0);
}

TEST(FrameCounter, LateCallerSkipsFrameNumbersAndCountsOneMiss) {
    Isochronous::FrameCounter counter(50);
    EXPECT_EQ(counter.wait_tick(), 1);
    EXPECT_EQ(counter.wait_tick(), 2);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // two and a half periods
    EXPECT_EQ(counter.wait_tick(), 5);
    EXPECT_EQ(counter.missed_ticks(), 1);
    EXPECT_EQ(counter.wait_tick(), 6);
    EXPECT_EQ(counter.missed_ticks(), 1);
}

TEST(FrameCounter, KeepsTheGivenStartTime) {
    Isochronous::FrameCounter counter(10, Timestamp{1700000000, 250000});
    EXPECT_EQ(counter.start_time().tv_sec, 1700000000);
    EXPECT_EQ(counter.start_time().tv_usec, 250000);
    EXPECT_EQ(counter.period_us(), 100000u);
}

}  // namespace
