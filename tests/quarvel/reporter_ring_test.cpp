// The reporter's ring and the client start barrier with real threads: a
// traffic thread that fills the ring while the test's thread stands in for
// the reporter, and three parallel clients whose lines add up to [SUM] lines.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "quarvel/report_formats.h"
#include "quarvel/reporter.h"
#include "tests/quarvel/reporter_test_support.h"

namespace {

using reportertest::datagram;
using reportertest::feed;
using reportertest::start_at_base;
using reportertest::Stream;
using reportertest::transfer;

using Clock = std::chrono::steady_clock;

class ReporterThreads : public reportertest::ReporterTest {};

// Polls until done() holds or the limit has passed; returns done().
template <typename Done>
bool wait_until(Done done, std::chrono::milliseconds limit) {
    const auto until = Clock::now() + limit;
    while (!done() && Clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return done();
}

TEST_F(ReporterThreads, FullRingHoldsTheProducerAndLosesNoRecordAcrossWraps) {
    constexpr int32_t kDatagrams = 25000;  // the ring wraps twice
    Stream server(kMode_Server, 3, OPT_UDP | OPT_NO_CONN_REPORT);
    DataReport *report = server.open();
    ASSERT_NE(report, nullptr);

    std::atomic<int32_t> handed{0};
    TransferInfo final_info = {};
    std::thread producer([&] {
        for (int32_t number = 1; number <= kDatagrams; number++) {
            feed(report, datagram(number, 100, 0.0001 * number, 0.001));
            handed.store(number);
        }
        const PacketReport closing = transfer(0, 3.0);
        CloseReport(report, &closing);
        final_info = *GetReport(report);
        EndReport(report);
    });

    // Nothing is consumed yet: the producer fills all but one slot and waits.
    ASSERT_TRUE(wait_until([&] { return handed.load() == kReportRingSlots - 1; },
                           std::chrono::milliseconds(20000)));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(handed.load(), kReportRingSlots - 1) << "a full ring must hold the producer";

    capture();
    const auto until = Clock::now() + std::chrono::seconds(60);
    // Passes until the producer has ended its report and the reporter freed it.
    while (reporter_process_reports() && Clock::now() < until) std::this_thread::yield();
    producer.join();
    reportertest::drain();
    const std::string out = captured();

    // Every datagram in order: nothing lost, repeated or reordered.
    EXPECT_EQ(final_info.datagrams, kDatagrams);
    EXPECT_EQ(final_info.lost, 0);
    EXPECT_EQ(final_info.out_of_order, 0);
    EXPECT_EQ(final_info.bytes, 100LL * kDatagrams);
    EXPECT_NE(out.find("[  3]  0.0- 3.0 sec  2.38 MBytes  6.67 Mbits/sec"), std::string::npos)
        << out;
}

// Replaces the member ids of the -P 3 test by "[ID]".
std::string without_ids(std::string text, std::set<std::string> *seen) {
    for (const char *id : {"[  4]", "[  5]", "[  6]"}) {
        for (size_t at = text.find(id); at != std::string::npos; at = text.find(id, at)) {
            seen->insert(id);
            text.replace(at, 5, "[ID]");
        }
    }
    return text;
}

TEST_F(ReporterThreads, ThreeParallelClientsStartTogetherAndSumEachInterval) {
    Stream global(kMode_Client, -1, OPT_NO_CONN_REPORT);
    global.s.threads = 3;
    global.s.interval = 1.0;
    GroupReport *group = InitMulti(&global.s, -1);
    ASSERT_NE(group, nullptr);

    std::vector<Stream> streams;
    for (int sock = 4; sock <= 6; sock++) {
        streams.emplace_back(kMode_Client, sock, OPT_NO_CONN_REPORT);
        streams.back().s.interval = 1.0;
        streams.back().s.sum_report = group;
    }
    DataReport *reports[3] = {};
    std::atomic<int> started{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < 2; i++) {
        clients.emplace_back([&, i] {
            reports[i] = InitReport(&streams[i].s);
            started++;
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(started.load(), 0) << "a client passed the barrier before the last one arrived";
    clients.emplace_back([&] {
        reports[2] = InitReport(&streams[2].s);
        started++;
    });
    for (std::thread &client : clients) client.join();
    ASSERT_EQ(started.load(), 3);
    for (DataReport *report : reports) {
        ASSERT_NE(report, nullptr);
        EXPECT_EQ(report->start_time.tv_sec, reports[0]->start_time.tv_sec);
        EXPECT_EQ(report->start_time.tv_usec, reports[0]->start_time.tv_usec);
    }
    for (DataReport *report : reports) start_at_base(report);
    EXPECT_EQ(group->count, 3);

    capture();
    for (DataReport *report : reports) {
        feed(report, transfer(1000, 0.5));
        feed(report, transfer(1000, 1.5));
    }
    reporter_process_reports();
    const PacketReport closing = transfer(0, 2.0);
    for (DataReport *report : reports) CloseReport(report, &closing);
    reporter_process_reports();
    for (DataReport *report : reports) EndReport(report);
    reportertest::drain();

    std::set<std::string> seen;
    const std::string out = without_ids(captured(), &seen);
    EXPECT_EQ(seen.size(), 3u);
    EXPECT_EQ(out,
              "[ ID] Interval       Transfer     Bandwidth\n"
              "[ID]  0.0- 1.0 sec  1.95 KBytes  16.0 Kbits/sec\n"
              "[ID]  0.0- 1.0 sec  1.95 KBytes  16.0 Kbits/sec\n"
              "[ID]  0.0- 1.0 sec  1.95 KBytes  16.0 Kbits/sec\n"
              "[SUM]  0.0- 1.0 sec  5.86 KBytes  48.0 Kbits/sec\n"
              "[ID]  0.0- 2.0 sec  1.95 KBytes  8.00 Kbits/sec\n"
              "[ID]  0.0- 2.0 sec  1.95 KBytes  8.00 Kbits/sec\n"
              "[ID]  0.0- 2.0 sec  1.95 KBytes  8.00 Kbits/sec\n"
              "[SUM]  0.0- 2.0 sec  5.86 KBytes  24.0 Kbits/sec\n");
    FreeMulti(group);
}

}  // namespace
