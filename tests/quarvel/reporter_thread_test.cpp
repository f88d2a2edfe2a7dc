// The reporter thread itself (reporter_spawn) serving a traffic thread: the
// records it drains, the lines it prints, and that it stops counting as a
// running thread once it has nothing to do. The thread never ends, so this
// test has an executable of its own.
#include <gtest/gtest.h>
#include <pthread.h>

#include <chrono>
#include <string>
#include <thread>

#include "common/thread.h"
#include "quarvel/report_formats.h"
#include "quarvel/reporter.h"
#include "tests/quarvel/reporter_test_support.h"

namespace {

using reportertest::datagram;
using reportertest::start_at_base;
using reportertest::Stream;
using reportertest::transfer;

void *run_reporter(void *settings) {
    reporter_spawn(static_cast<thread_Settings *>(settings));
    return nullptr;
}

bool reports_posted() {
    pthread_mutex_lock(&ReportCond.mutex);
    const bool any = ReportRoot != nullptr;
    pthread_mutex_unlock(&ReportCond.mutex);
    return any;
}

TEST(ReporterSpawn, DrainsATrafficThreadAndThenWaitsWithoutCounting) {
    thread_init();
    thread_unsetignore();  // the reporter's own count, as starting its thread gives it
    static Stream reporter(kMode_Reporter, -1, 0);
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, nullptr, run_reporter, &reporter.s), 0);
    pthread_detach(thread);

    ::testing::internal::CaptureStdout();
    Stream server(kMode_Server, 3, OPT_UDP | OPT_NO_CONN_REPORT);
    DataReport *report = InitReport(&server.s);
    ASSERT_NE(report, nullptr);
    start_at_base(report);  // before any record: the reporter reads it only with one
    for (int32_t number = 1; number <= 200; number++) {
        const PacketReport record = datagram(number, 1000, 0.005 * number, 0.002);
        ReportPacket(report, &record);
    }
    const PacketReport closing = transfer(0, 1.0);
    CloseReport(report, &closing);
    const TransferInfo final_info = *GetReport(report);
    EndReport(report);

    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while ((reports_posted() || thread_numuserthreads() != 0) &&
           std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const std::string out = ::testing::internal::GetCapturedStdout();

    EXPECT_EQ(final_info.datagrams, 200);
    EXPECT_EQ(final_info.lost, 0);
    EXPECT_EQ(final_info.bytes, 200000);
    EXPECT_FALSE(reports_posted());
    EXPECT_EQ(thread_numuserthreads(), 0) << "an idle reporter must not hold the process";
    EXPECT_EQ(out,
              "[ ID] Interval       Transfer     Bandwidth        Jitter   Lost/Total Datagrams\n"
              "[  3]  0.0- 1.0 sec   195 KBytes  1.60 Mbits/sec   0.000 ms    0/  200 (0%)\n");
}

}  // namespace
