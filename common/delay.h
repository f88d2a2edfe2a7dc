// Delay and pacing primitives and the random rate variates.
//
// toril paces with delay_loop, a relative sleep on the monotonic clock that
// gives the processor away; quarvel paces with delay_kalman, which learns how
// far a sleep overshoots and spins through the last stretch. Delays are in
// microseconds. The Kalman estimate and the normal generator's cached variate
// are kept per thread (each traffic thread learns its own overshoot, and no
// lock sits in the pacing path). Any thread may call every function.
#pragma once

#include <cstdint>

#include "common/variant.h"

// The pacing delay: kToril sleeps delay_us relative on the monotonic clock (a
// signal ends it early; it is not resumed); kQuarvel is delay_kalman.
void delay_loop(uint64_t delay_us, ToolVariant variant = ToolVariant::kToril);

// Relative sleep of sec seconds plus usec microseconds on the monotonic clock.
// Returns 0, or the clock_nanosleep error number after printing
// "failed clock_nanosleep()=%d\n" on stderr (EINTR included: not resumed).
// usec may exceed a second; a total of zero or less returns 0 at once.
int clock_usleep(int64_t sec, int64_t usec);

// Sleeps until the real-time instant sec.usec since the epoch. Returns as
// clock_usleep; an instant already past returns 0 at once.
int clock_usleep_abstime(int64_t sec, int64_t usec);

// Self-correcting delay: sleeps delay_us less the learnt overshoot (only when
// that is above 10 us), busy-waits on the monotonic clock to the deadline, then
// updates the estimate from the delay achieved.
void delay_kalman(uint64_t delay_us);

// The calling thread's Kalman state (x is the overshoot estimate in ns).
struct KalmanState {
    double Q = 0.00001;  // process noise
    double R = 0.1;      // measurement noise
    double x = 0.0;      // estimated overshoot of a delay, nanoseconds
    double P = 1.0;      // error variance of the estimate
    double K = 0.75;     // last gain
};
KalmanState delay_kalman_state();

// A standard normal variate (polar Box-Muller on rand()); every second call
// returns the cached partner of the previous draw without calling rand().
// Prints "pdf box_muller() rand() error\n" and returns 0 when 100 draws fail.
float box_muller();

// A log-normal variate with mean m and standard deviation s (m must not be 0).
float lognormal(float m, float s);
