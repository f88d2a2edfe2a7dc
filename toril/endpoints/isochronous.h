// The frame clock of isochronous, burst and bounceback tests.
//
// A FrameCounter hands out frame numbers at a fixed frequency: each call of
// wait_tick sleeps until the next frame boundary on the real-time clock and
// returns that frame's number, so a caller slower than one period skips frame
// numbers rather than falling behind. One object per client stream, owned by
// the Client and used only by that stream's thread.
#pragma once

#include <cstdint>

#include "toril/reporting/timestamp.h"

namespace Isochronous {

class FrameCounter {
  public:
    // Start and next tick = now.
    explicit FrameCounter(double frequency);
    // Start and next tick = start.
    FrameCounter(double frequency, const Timestamp &start);

    // Sleeps until the tick of the returned frame (the first call returns 1 at
    // once). A failed sleep prints the warning "wait_tick failed".
    int wait_tick();

    // 10^6 / frequency, truncated.
    uint32_t period_us() const { return period_us_; }
    // Frames skipped because the caller came late (no caller reads it yet).
    int missed_ticks() const { return missed_ticks_; }
    const Timestamp &start_time() const { return start_; }

  private:
    double frequency_;
    Timestamp start_;
    Timestamp next_tick_;
    uint32_t period_us_;
    int last_frame_ = 0;
    int frame_ = 0;
    int missed_ticks_ = 0;
};

}  // namespace Isochronous
