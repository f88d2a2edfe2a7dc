// The reporter loop draining real rings: two producer threads hand their
// records over small rings while the reporter runs on its own thread; every
// interval and final line of both streams comes out whole and in order.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <thread>
#include <vector>

#include "tests/toril/reporting/reporter_test_support.h"

namespace {

using reporter_test::lines_of;
using reporter_test::rearm_headers;
using reporter_test::Stream;
using reporter_test::StreamOptions;

constexpr uint32_t kOneSecond_us = 1000000;
constexpr int kRecords = 5000;  // one a millisecond, five seconds

void produce(Stream *s) {
    for (int k = 0; k < kRecords; ++k) s->bytes(0.0005 + 0.001 * k, 100);
    s->end(5.0);
}

TEST(ReporterThread, DrainsTwoProducersIntoWholeLinesInOrder) {
    rearm_headers();
    StreamOptions o{.mode = kMode_Server, .interval_usec = kOneSecond_us, .threaded = true};
    o.ring_slots = 100;  // the producers often find their ring full
    testing::internal::CaptureStdout();
    Stream a(o);
    o.transfer_id = 2;
    Stream b(o);
    PostReport(a.node());
    PostReport(b.node());
    thread_Settings reporter_record;
    Settings_Initialize(&reporter_record);
    std::thread reporter([&reporter_record] { reporter_run(&reporter_record); });
    std::thread pa(produce, &a);
    std::thread pb(produce, &b);
    pa.join();
    pb.join();
    reporter.join();
    const auto lines = lines_of(testing::internal::GetCapturedStdout());

    std::map<std::string, std::vector<std::string>> by_stream;
    for (const auto &line : lines) {
        if (line.rfind("[  ", 0) == 0) by_stream[line.substr(0, 6)].push_back(line.substr(6));
    }
    const std::vector<std::string> expected = {
        "0.00-1.00 sec  97.7 KBytes   800 Kbits/sec", "1.00-2.00 sec  97.7 KBytes   800 Kbits/sec",
        "2.00-3.00 sec  97.7 KBytes   800 Kbits/sec", "3.00-4.00 sec  97.7 KBytes   800 Kbits/sec",
        "4.00-5.00 sec  97.7 KBytes   800 Kbits/sec", "0.00-5.00 sec   488 KBytes   800 Kbits/sec",
    };
    EXPECT_EQ(by_stream["[  1] "], expected);
    EXPECT_EQ(by_stream["[  2] "], expected);
    EXPECT_EQ(a.info().TotalBytes, 100 * kRecords);
    EXPECT_EQ(b.info().TotalBytes, 100 * kRecords);
    EXPECT_EQ(ReportRoot, nullptr);
}

}  // namespace
