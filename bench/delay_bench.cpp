// Requested versus achieved delay of the two pacing primitives.
//
//   delay_bench [repetitions]
//
// For each requested delay from 10 us to 10 ms, runs delay_loop (toril's
// plain sleep) and delay_kalman (quarvel's learning sleep with its busy
// finish) the given number of times (default 200) and prints the mean,
// minimum and maximum achieved delay and the mean error, all in
// microseconds, measured on the monotonic clock. Not run by the tests.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "common/delay.h"

namespace {

double now_us() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

struct Row {
    double mean_us, min_us, max_us;
};

template <typename Delay>
Row measure(uint64_t request_us, int repetitions, Delay delay) {
    std::vector<double> samples;
    samples.reserve(static_cast<size_t>(repetitions));
    for (int i = 0; i < repetitions; i++) {
        double t0 = now_us();
        delay(request_us);
        samples.push_back(now_us() - t0);
    }
    double sum = 0;
    for (double s : samples) sum += s;
    return {sum / repetitions, *std::min_element(samples.begin(), samples.end()),
            *std::max_element(samples.begin(), samples.end())};
}

void print_row(const char *name, uint64_t request_us, const Row &r) {
    printf("%-12s %9llu %11.1f %9.1f %9.1f %+10.1f\n", name,
           static_cast<unsigned long long>(request_us), r.mean_us, r.min_us, r.max_us,
           r.mean_us - static_cast<double>(request_us));
}

}  // namespace

int main(int argc, char **argv) {
    int repetitions = argc > 1 ? atoi(argv[1]) : 200;
    if (repetitions < 1) repetitions = 1;
    const uint64_t requests_us[] = {10, 20, 50, 100, 200, 500, 1000, 2000, 5000, 10000};
    printf("%-12s %9s %11s %9s %9s %10s\n", "primitive", "asked_us", "mean_us", "min_us", "max_us",
           "error_us");
    for (uint64_t request_us : requests_us) {
        // Fewer rounds for long delays keep the whole run near a minute.
        int reps = request_us >= 5000 ? std::max(1, repetitions / 4) : repetitions;
        print_row("delay_loop", request_us,
                  measure(request_us, reps, [](uint64_t us) { delay_loop(us); }));
        for (int i = 0; i < 20; i++) delay_kalman(request_us);  // let the estimate settle
        print_row("delay_kalman", request_us,
                  measure(request_us, reps, [](uint64_t us) { delay_kalman(us); }));
        printf("%-12s %9s   (learnt overshoot %.1f us)\n", "", "", delay_kalman_state().x / 1000.0);
    }
    return 0;
}
