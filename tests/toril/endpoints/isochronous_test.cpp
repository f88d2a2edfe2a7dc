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
    // A long period, so a busy machine's scheduling delay never skips a frame.
    Isochronous::FrameCounter counter(10);
    const auto start = Clock::now();
    EXPECT_EQ(counter.wait_tick(), 1);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(90)) << "no wait for frame 1";
    EXPECT_EQ(counter.wait_tick(), 2);
    EXPECT_EQ(counter.wait_tick(), 3);
    // Two periods went by between the first and third tick.
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(199));
    EXPECT_EQ(counter.missed_ticks(), 0);
}

TEST(FrameCounter, LateCallerSkipsFrameNumbersAndCountsOneMiss) {
    Isochronous::FrameCounter counter(10);  // 100 ms
    EXPECT_EQ(counter.wait_tick(), 1);
    EXPECT_EQ(counter.wait_tick(), 2);
    const auto tick2 = Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(250));  // two and a half periods
    // Every whole period that went by since frame 2 is a frame skipped; a
    // loaded machine may add one more before the call gets there.
    const auto late_ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - tick2).count();
    const int lowest = 2 + static_cast<int>(late_ms / 100) + 1;
    const int frame = counter.wait_tick();
    EXPECT_GE(frame, lowest);
    EXPECT_LE(frame, lowest + 1);
    EXPECT_EQ(counter.missed_ticks(), 1);
    EXPECT_EQ(counter.wait_tick(), frame + 1) << "a punctual caller gets the next frame";
    EXPECT_EQ(counter.missed_ticks(), 1);
}

TEST(FrameCounter, KeepsTheGivenStartTime) {
    Isochronous::FrameCounter counter(10, Timestamp{1700000000, 250000});
    EXPECT_EQ(counter.start_time().tv_sec, 1700000000);
    EXPECT_EQ(counter.start_time().tv_usec, 250000);
    EXPECT_EQ(counter.period_us(), 100000u);
}

}  // namespace
