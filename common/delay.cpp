#include "common/delay.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

constexpr int64_t kNsPerSec = 1000000000;
constexpr int64_t kUsPerSec = 1000000;

thread_local KalmanState kalmanerr;

// Normal generator: toggle and the cached second variate of the last draw.
thread_local int generate = 0;
thread_local float y2 = 0.0f;

int64_t now_ns(clockid_t clock) {
    struct timespec ts;
    clock_gettime(clock, &ts);
    return static_cast<int64_t>(ts.tv_sec) * kNsPerSec + ts.tv_nsec;
}

// sec + usec as a normalised timespec; false when the total is not positive.
bool to_timespec(int64_t sec, int64_t usec, struct timespec *ts) {
    sec += usec / kUsPerSec;
    usec %= kUsPerSec;
    if (usec < 0) {
        usec += kUsPerSec;
        sec -= 1;
    }
    ts->tv_sec = static_cast<time_t>(sec);
    ts->tv_nsec = static_cast<long>(usec * 1000);
    return sec > 0 || (sec == 0 && usec > 0);
}

int report_sleep_result(int rc) {
    if (rc != 0) fprintf(stderr, "failed clock_nanosleep()=%d\n", rc);
    return rc;
}

}  // namespace

void delay_loop(uint64_t delay_us, ToolVariant variant) {
    if (variant == ToolVariant::kQuarvel) {
        delay_kalman(delay_us);
        return;
    }
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(delay_us / kUsPerSec);
    ts.tv_nsec = static_cast<long>((delay_us % kUsPerSec) * 1000);
    // An interrupted pacing sleep is not resumed: the loop re-checks its stop flag.
    clock_nanosleep(CLOCK_MONOTONIC, 0, &ts, nullptr);
}

int clock_usleep(int64_t sec, int64_t usec) {
    struct timespec ts;
    if (!to_timespec(sec, usec, &ts)) return 0;
    return report_sleep_result(clock_nanosleep(CLOCK_MONOTONIC, 0, &ts, nullptr));
}

int clock_usleep_abstime(int64_t sec, int64_t usec) {
    struct timespec ts;
    // An instant at or before the epoch is in the past.
    if (!to_timespec(sec, usec, &ts)) return 0;
    return report_sleep_result(clock_nanosleep(CLOCK_REALTIME, TIMER_ABSTIME, &ts, nullptr));
}

void delay_kalman(uint64_t delay_us) {
    // The monotonic clock: a wall-clock step must not stretch the busy wait.
    const int64_t t0_ns = now_ns(CLOCK_MONOTONIC);
    const double request_ns = static_cast<double>(delay_us) * 1000.0;
    const double target_ns = request_ns - kalmanerr.x;
    // Beyond about 292 years the deadline does not fit; such a delay never ends anyway.
    const double deadline_d = static_cast<double>(t0_ns) + target_ns;
    const int64_t deadline_ns = deadline_d >= 9.2e18 ? INT64_MAX : static_cast<int64_t>(deadline_d);

    if (target_ns > 10000.0) {
        struct timespec ts;
        double whole_s = std::floor(target_ns / 1e9);
        ts.tv_sec = static_cast<time_t>(whole_s);
        ts.tv_nsec = static_cast<long>(target_ns - whole_s * 1e9);
        if (ts.tv_nsec >= kNsPerSec) ts.tv_nsec = kNsPerSec - 1;
        if (ts.tv_nsec < 0) ts.tv_nsec = 0;
        clock_nanosleep(CLOCK_MONOTONIC, 0, &ts, nullptr);
    }
    int64_t last_ns;
    do {
        last_ns = now_ns(CLOCK_MONOTONIC);
    } while (last_ns <= deadline_ns);

    const double elapsed_ns = static_cast<double>(last_ns - t0_ns);
    KalmanState &k = kalmanerr;
    k.P = k.P + k.Q;
    k.K = k.P / (k.P + k.R);
    k.x = k.x + k.K * ((elapsed_ns - request_ns) - k.x);
    k.P = (1 - k.K) * k.P;
}

KalmanState delay_kalman_state() {
    return kalmanerr;
}

float box_muller() {
    generate = !generate;
    if (!generate) return y2;
    float u1 = 0, u2 = 0, w = 0;
    int draws = 0;
    do {
        u1 = 2.0f * static_cast<float>(rand()) / 2147483648.0f - 1.0f;
        u2 = 2.0f * static_cast<float>(rand()) / 2147483648.0f - 1.0f;
        w = u1 * u1 + u2 * u2;
        draws++;
        // w = 0 would divide by zero below; the polar method needs 0 < w < 1.
    } while ((w >= 1.0f || w == 0.0f) && draws < 100);
    if (w >= 1.0f || w == 0.0f) {
        fprintf(stderr, "pdf box_muller() rand() error\n");
        return 0.0f;
    }
    w = std::sqrt(-2.0f * std::log(w) / w);
    y2 = u2 * w;
    return u1 * w;
}

float lognormal(float m, float s) {
    const float m2 = m * m;
    const float t = s * s + m2;
    const float mu = std::log(m2 / std::sqrt(t));
    const float sigma = std::sqrt(std::log(t / m2));
    return std::exp(mu + sigma * box_muller());
}
