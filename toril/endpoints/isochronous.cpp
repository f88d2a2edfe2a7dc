#include "toril/endpoints/isochronous.h"

#include <time.h>

#include "common/delay.h"
#include "common/warn.h"

namespace Isochronous {

namespace {

Timestamp realtime_now() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return {ts.tv_sec, ts.tv_nsec / 1000};
}

uint32_t period_of(double frequency) {
    if (!(frequency > 0)) return 0;
    const double period = 1e6 / frequency;
    return period >= 4294967295.0 ? UINT32_MAX : static_cast<uint32_t>(period);
}

bool at_or_after(const Timestamp &a, const Timestamp &b) {
    return a.tv_sec > b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_usec >= b.tv_usec);
}

void add_us(Timestamp *t, uint32_t us) {
    t->tv_usec += us;
    t->tv_sec += t->tv_usec / 1000000;
    t->tv_usec %= 1000000;
}

}  // namespace

FrameCounter::FrameCounter(double frequency) : FrameCounter(frequency, realtime_now()) {}

FrameCounter::FrameCounter(double frequency, const Timestamp &start)
    : frequency_(frequency), start_(start), next_tick_(start), period_us_(period_of(frequency)) {}

int FrameCounter::wait_tick() {
    const Timestamp now = realtime_now();
    if (frame_ == 0) {
        frame_ = 1;
        next_tick_ = now;
    } else if (at_or_after(now, next_tick_)) {
        if (period_us_ == 0) {
            // No usable frequency: every call is the next frame, at once.
            next_tick_ = now;
            ++frame_;
        } else {
            // Whole periods are skipped at once, so a long stall costs one
            // division instead of a loop per missed frame.
            const double behind_us = timestamp_diff_s(now, next_tick_) * 1e6;
            const int64_t periods = static_cast<int64_t>(behind_us / period_us_) + 1;
            const int64_t span_us = periods * static_cast<int64_t>(period_us_);
            next_tick_.tv_sec += span_us / 1000000;
            add_us(&next_tick_, static_cast<uint32_t>(span_us % 1000000));
            if (!timestamp_after(next_tick_, now)) {
                add_us(&next_tick_, period_us_);
                ++frame_;
            }
            frame_ += static_cast<int>(periods);
        }
        if (last_frame_ != 0 && frame_ != last_frame_ && frame_ != last_frame_ + 1) ++missed_ticks_;
    }
    if (clock_usleep_abstime(next_tick_.tv_sec, next_tick_.tv_usec) != 0) WARN("wait_tick failed");
    last_frame_ = frame_;
    return frame_;
}

}  // namespace Isochronous
