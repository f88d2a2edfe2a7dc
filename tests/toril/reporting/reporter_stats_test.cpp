// Reporter statistics and the lines they lead to: records fed through the
// per-record, interval and transfer protocol handlers of single-threaded
// streams, with the printed lines checked exactly.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "tests/toril/reporting/reporter_test_support.h"

namespace {

using reporter_test::at;
using reporter_test::lines_of;
using reporter_test::rearm_headers;
using reporter_test::Stream;
using reporter_test::StreamOptions;

constexpr uint32_t kOneSecond_us = 1000000;

const char kBwHeader[] = "[ ID] Interval       Transfer     Bandwidth";
const char kJitterHeader[] =
    "[ ID] Interval       Transfer     Bandwidth        Jitter   Lost/Total Datagrams";

class ReporterLines : public ::testing::Test {
  protected:
    void SetUp() override {
        rearm_headers();
        testing::internal::CaptureStdout();
        capturing_ = true;
    }
    void TearDown() override {
        if (capturing_) testing::internal::GetCapturedStdout();
    }
    std::vector<std::string> output() {
        capturing_ = false;
        return lines_of(testing::internal::GetCapturedStdout());
    }
    bool capturing_ = false;
};

// --- MeanMinMax ---

TEST(ReporterMmm, RunningMeanMinMaxAndDeviation) {
    const struct {
        std::vector<double> samples;
        double mean, min, max, stdev;
    } cases[] = {
        {{5.0}, 5.0, 5.0, 5.0, 0.0},
        {{1.0, 3.0}, 2.0, 1.0, 3.0, std::sqrt(2.0)},
        {{2, 4, 4, 4, 5, 5, 7, 9}, 5.0, 2.0, 9.0, std::sqrt(32.0 / 7.0)},
        {{-3.0, -1.0, -2.0}, -2.0, -3.0, -1.0, 1.0},
    };
    for (const auto &c : cases) {
        MeanMinMax m;
        reporter_reset_mmm(&m);
        for (double x : c.samples) reporter_update_mmm(&m, x);
        EXPECT_EQ(m.cnt, static_cast<int64_t>(c.samples.size()));
        EXPECT_DOUBLE_EQ(m.mean, c.mean);
        EXPECT_DOUBLE_EQ(m.sum / static_cast<double>(m.cnt), c.mean);
        EXPECT_DOUBLE_EQ(m.min, c.min);
        EXPECT_DOUBLE_EQ(m.max, c.max);
        EXPECT_NEAR(format_mmm_stdev(&m), c.stdev, 1e-12);
    }
}

// --- UDP receiver ---

TEST(ReporterUdpServer, JitterFollowsTransitDifferences) {
    Stream s({.mode = kMode_Server, .option_flags = OPT_UDP});
    const struct {
        double transit_ms;
        double jitter_ms;
    } steps[] = {{10, 0.0}, {12, 0.125}, {11, 0.1796875}};
    int64_t id = 1;
    for (const auto &step : steps) {
        s.datagram(id, 0.1 * static_cast<double>(id), step.transit_ms / 1000.0);
        ++id;
        EXPECT_NEAR(s.info().jitter * 1000.0, step.jitter_ms, 1e-9) << step.transit_ms;
    }
    EXPECT_EQ(s.info().total_transit.cnt, 3);
    EXPECT_NEAR(s.info().total_transit.min, 0.010, 1e-9);
    EXPECT_NEAR(s.info().total_transit.max, 0.012, 1e-9);
}

TEST_F(ReporterLines, UdpLossAndReorderingFromSequenceNumbers) {
    const struct {
        std::vector<int64_t> ids;
        int64_t lost_total, out_of_order;
        const char *final_line;
    } cases[] = {
        {{1, 2, 5, 3},
         2,
         1,
         "[  1] 0.00-1.00 sec   400 Bytes  3.20 Kbits/sec   0.000 ms 1/5 (20%)"},
        {{1, 2, 4, 3}, 1, 1, "[  1] 0.00-1.00 sec   400 Bytes  3.20 Kbits/sec   0.000 ms 0/4 (0%)"},
        {{1, 2, 3, 4}, 0, 0, "[  1] 0.00-1.00 sec   400 Bytes  3.20 Kbits/sec   0.000 ms 0/4 (0%)"},
    };
    std::vector<std::string> expected;
    for (const auto &c : cases) {
        Stream s({.mode = kMode_Server, .option_flags = OPT_UDP});
        double t = 0.1;
        for (int64_t id : c.ids) {
            s.datagram(id, t, 0.001);
            t += 0.1;
        }
        EXPECT_EQ(s.info().TotalErrors, c.lost_total);
        EXPECT_EQ(s.info().TotalOutofOrder, c.out_of_order);
        s.end(1.0);
        if (expected.empty()) expected.push_back(kJitterHeader);
        expected.push_back(c.final_line);
        if (c.out_of_order)
            expected.push_back("[  1] 0.00-1.00 sec  1 datagrams received out-of-order");
    }
    EXPECT_EQ(output(), expected);
}

TEST(ReporterUdpServer, ExtremeSequenceNumbersFromThePeer) {
    Stream s({.mode = kMode_Server, .option_flags = OPT_UDP});
    s.datagram(1, 0.1, 0.001);
    s.datagram(INT64_MAX, 0.2, 0.001);
    s.datagram(INT64_MAX, 0.3, 0.001);  // a repeat counts as out of order
    s.datagram(2, 0.4, 0.001);
    EXPECT_EQ(s.info().PacketID, INT64_MAX);
    EXPECT_EQ(s.info().TotalErrors, INT64_MAX - 2);
    EXPECT_EQ(s.info().TotalOutofOrder, 2);
    testing::internal::CaptureStdout();
    s.end(1.0);
    testing::internal::GetCapturedStdout();
}

TEST_F(ReporterLines, GroupLossOfExtremeSequenceNumbersSaturates) {
    StreamOptions o{.mode = kMode_Server, .option_flags = OPT_UDP};
    auto owner = reporter_test::make_record(o);
    SumReport *sum = InitSumReport(owner.get(), 0, false);
    reporter_test::start_clock(&sum->info, 0);
    o.sum = sum;
    {
        Stream a(o);
        o.transfer_id = 2;
        Stream b(o);
        for (Stream *s : {&a, &b}) {
            s->datagram(1, 0.1, 0.001);
            s->datagram(INT64_MAX, 0.2, 0.001);
        }
        a.end(1.0);
        b.end(1.0);
    }
    const auto lines = output();
    ASSERT_FALSE(lines.empty());
    const std::string &last = lines.back();
    EXPECT_EQ(last.rfind("[SUM] 0.00-0.20 sec", 0), 0u) << last;
    EXPECT_NE(last.find(std::to_string(INT64_MAX) + "/"), std::string::npos) << last;
}

TEST_F(ReporterLines, UdpL2ErrorsCountOnlyAfterTheFirstHundredDatagrams) {
    Stream s({.mode = kMode_Server, .option_flags = OPT_UDP});
    for (int64_t id = 1; id <= 103; ++id) {
        PacketRecord rec{};
        rec.packetID = id;
        rec.packetLen = 100;
        rec.packetTime = at(0.001 * static_cast<double>(id));
        rec.sentTime = rec.packetTime;
        rec.prevPacketTime = rec.packetTime;
        rec.l2errors = id <= 101 ? L2LENERR : (L2CSUMERR | L2LENERR);
        s.feed(rec);
    }
    EXPECT_EQ(s.info().l2.tot_cnt, 2);
    EXPECT_EQ(s.info().l2.tot_lengtherr, 2);
    EXPECT_EQ(s.info().l2.tot_checksumerr, 2);
    EXPECT_EQ(s.info().l2.tot_unknown, 0);
    s.end(1.0);
    const auto lines = output();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2],
              "[  1] 0.00-1.00 sec   L2 processing detected errors, "
              "total(length/checksum/unknown) = 2(2/2/0)");
}

TEST_F(ReporterLines, UdpEmptyRecordsDisturbNeitherSequenceNorTransit) {
    Stream s({.mode = kMode_Server, .option_flags = OPT_UDP});
    s.datagram(1, 0.1, 0.001);
    PacketRecord timeout{};
    timeout.packetID = 1;  // carries the previous datagram's id
    timeout.emptyreport = 1;
    timeout.packetTime = at(0.5);
    s.feed(timeout);
    s.datagram(2, 0.6, 0.001);
    EXPECT_EQ(s.info().TotalOutofOrder, 0);
    EXPECT_EQ(s.info().TotalErrors, 0);
    EXPECT_EQ(s.info().TotalDatagrams, 2);
    EXPECT_EQ(s.info().total_transit.cnt, 2);
    s.end(1.0);
    output();
}

// --- Intervals ---

TEST_F(ReporterLines, TcpIntervalsThenPartialThenFinal) {
    Stream s({.mode = kMode_Server, .interval_usec = kOneSecond_us});
    s.bytes(0.5, 1000);
    s.bytes(1.5, 1000);
    s.bytes(2.5, 1000);
    s.end(3.0);
    const std::vector<std::string> expected = {
        kBwHeader,
        "[  1] 0.00-1.00 sec  1000 Bytes  8.00 Kbits/sec",
        "[  1] 1.00-2.00 sec  1000 Bytes  8.00 Kbits/sec",
        "[  1] 2.00-3.00 sec  1000 Bytes  8.00 Kbits/sec",
        "[  1] 0.00-3.00 sec  2.93 KBytes  8.00 Kbits/sec",
    };
    EXPECT_EQ(output(), expected);
}

TEST_F(ReporterLines, RecordAtTheBoundaryStaysInItsInterval) {
    Stream s({.mode = kMode_Server, .interval_usec = kOneSecond_us});
    s.bytes(0.5, 1000);
    s.bytes(1.0, 1000);  // equal to the boundary: still the first interval
    EXPECT_EQ(s.info().iEnd, 0.0);
    s.bytes(1.000001, 1000);  // strictly after: ends it, counted in the next
    s.end(1.5);
    const std::vector<std::string> expected = {
        kBwHeader,
        "[  1] 0.00-1.00 sec  1.95 KBytes  16.0 Kbits/sec",
        "[  1] 1.00-1.50 sec  1000 Bytes  16.0 Kbits/sec",
        "[  1] 0.00-1.50 sec  2.93 KBytes  16.0 Kbits/sec",
    };
    EXPECT_EQ(output(), expected);
}

TEST_F(ReporterLines, SkippedIntervalsPrintZeroLines) {
    Stream s({.mode = kMode_Client, .interval_usec = kOneSecond_us});
    s.bytes(0.5, 1000);
    s.bytes(3.5, 1000);
    s.end(3.9);
    const std::vector<std::string> expected = {
        kBwHeader,
        "[  1] 0.00-1.00 sec  1000 Bytes  8.00 Kbits/sec",
        "[  1] 1.00-2.00 sec  0.000 Bytes  0.000 bits/sec",
        "[  1] 2.00-3.00 sec  0.000 Bytes  0.000 bits/sec",
        "[  1] 3.00-3.90 sec  1000 Bytes  8.89 Kbits/sec",
        "[  1] 0.00-3.90 sec  1.95 KBytes  4.10 Kbits/sec",
    };
    EXPECT_EQ(output(), expected);
}

TEST_F(ReporterLines, PartialLastIntervalPrintsOnlyPastAQuarter) {
    const struct {
        double end_s;
        bool partial;
    } cases[] = {{1.24, false}, {1.26, true}};
    for (const auto &c : cases) {
        Stream s({.mode = kMode_Server, .interval_usec = kOneSecond_us});
        s.bytes(0.5, 1000);
        s.bytes(1.1, 1000);
        s.end(c.end_s);
    }
    const std::vector<std::string> expected = {
        kBwHeader,
        "[  1] 0.00-1.00 sec  1000 Bytes  8.00 Kbits/sec",
        "[  1] 0.00-1.24 sec  1.95 KBytes  12.9 Kbits/sec",
        "[  1] 0.00-1.00 sec  1000 Bytes  8.00 Kbits/sec",
        "[  1] 1.00-1.26 sec  1000 Bytes  30.8 Kbits/sec",
        "[  1] 0.00-1.26 sec  1.95 KBytes  12.7 Kbits/sec",
    };
    EXPECT_EQ(output(), expected);
}

TEST_F(ReporterLines, UdpSenderCountsItsDatagrams) {
    Stream s({.mode = kMode_Client, .option_flags = OPT_UDP});
    for (int64_t id = 1; id <= 3; ++id) s.datagram(id, 0.1 * static_cast<double>(id), 0);
    s.end(0.5);
    const std::vector<std::string> expected = {
        kBwHeader,
        "[  1] 0.00-0.50 sec   300 Bytes  4.80 Kbits/sec",
        "[  1] Sent 3 datagrams",
    };
    EXPECT_EQ(output(), expected);
}

TEST_F(ReporterLines, UdpSenderRateIgnoresTheMissingGapBeforeTheFirstDatagram) {
    Stream s({.mode = kMode_Client,
              .option_flags = OPT_UDP | OPT_ENHANCED,
              .interval_usec = kOneSecond_us});
    Timestamp previous{};  // the first datagram has none
    int64_t id = 1;
    for (double t : {0.25, 0.5, 0.75, 1.25}) {
        PacketRecord rec{};
        rec.packetID = id++;
        rec.packetLen = 100;
        rec.writecnt = 1;
        rec.packetTime = at(t);
        rec.prevPacketTime = previous;
        previous = rec.packetTime;
        s.feed(rec);
    }
    const auto lines = output();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "[ ID] Interval        Transfer     Bandwidth      Write/Err  PPS");
    EXPECT_EQ(lines[1], "[  1] 0.00-1.00 sec   300 Bytes  2.40 Kbits/sec  3/0        6 pps");
    testing::internal::CaptureStdout();
    capturing_ = true;
    s.end(1.5);
}

// --- Sums ---

TEST_F(ReporterLines, GroupSumPrintsOnlyWhenAllStreamsReportedTheInterval) {
    StreamOptions o{.mode = kMode_Server, .interval_usec = kOneSecond_us};
    auto owner = reporter_test::make_record(o);
    SumReport *sum = InitSumReport(owner.get(), 0, false);
    reporter_test::start_clock(&sum->info, kOneSecond_us);
    o.sum = sum;
    std::vector<std::unique_ptr<Stream>> streams;
    for (int id = 1; id <= 3; ++id) {
        o.transfer_id = id;
        streams.push_back(std::make_unique<Stream>(o));
    }
    for (auto &s : streams) s->bytes(0.5, 1000);
    streams[0]->bytes(1.5, 1000);
    streams[1]->bytes(1.5, 1000);
    const auto two_of_three = output();
    EXPECT_EQ(two_of_three.size(), 3u);
    for (const auto &line : two_of_three) EXPECT_EQ(line.find("[SUM]"), std::string::npos);

    testing::internal::CaptureStdout();
    capturing_ = true;
    streams[2]->bytes(1.5, 1000);
    for (auto &s : streams) s->end(2.0);
    const std::vector<std::string> expected = {
        "[  3] 0.00-1.00 sec  1000 Bytes  8.00 Kbits/sec",
        "[SUM] 0.00-1.00 sec  2.93 KBytes  24.0 Kbits/sec",
        "[  1] 1.00-2.00 sec  1000 Bytes  8.00 Kbits/sec",
        "[  1] 0.00-2.00 sec  1.95 KBytes  8.00 Kbits/sec",
        "[  2] 1.00-2.00 sec  1000 Bytes  8.00 Kbits/sec",
        "[  2] 0.00-2.00 sec  1.95 KBytes  8.00 Kbits/sec",
        "[  3] 1.00-2.00 sec  1000 Bytes  8.00 Kbits/sec",
        "[  3] 0.00-2.00 sec  1.95 KBytes  8.00 Kbits/sec",
        "[SUM] 1.00-1.50 sec  2.93 KBytes  48.0 Kbits/sec",
        "[SUM] 0.00-1.50 sec  5.86 KBytes  32.0 Kbits/sec",
    };
    EXPECT_EQ(output(), expected);
}

TEST_F(ReporterLines, GroupOfOneStreamPrintsNoSum) {
    StreamOptions o{.mode = kMode_Client, .interval_usec = kOneSecond_us};
    auto owner = reporter_test::make_record(o);
    SumReport *sum = InitSumReport(owner.get(), 0, false);
    reporter_test::start_clock(&sum->info, kOneSecond_us);
    o.sum = sum;
    {
        Stream s(o);
        s.bytes(0.5, 1000);
        s.bytes(1.5, 1000);
        s.end(2.0);
    }
    for (const auto &line : output()) EXPECT_EQ(line.find("[SUM"), std::string::npos) << line;
}

TEST_F(ReporterLines, FullDuplexSumWithoutAStartTakesItsMembersClock) {
    StreamOptions o{
        .mode = kMode_Server, .option_flags = OPT_ENHANCED, .interval_usec = kOneSecond_us};
    auto owner = reporter_test::make_record(o);
    SumReport *fd = InitSumReport(owner.get(), 5, true);
    // What a sending leg without a trip start leaves: no start, next at 1 s.
    fd->info.startTime = {0, 0};
    fd->info.nextTime = {1, 0};
    o.test_flags = TEST_FULL_DUPLEX;
    o.fullduplex = fd;
    {
        Stream a(o);
        o.transfer_id = 2;
        Stream b(o);
        a.bytes(0.5, 1000);
        b.bytes(0.5, 1000);
        a.bytes(1.5, 1000);
        b.bytes(1.5, 1000);
        a.end(2.0);
        b.end(2.0);
    }
    FreeSumReport(fd);
    std::vector<std::string> fd_lines;
    for (const auto &line : output())
        if (line.rfind("[FD", 0) == 0) fd_lines.push_back(line);
    const std::vector<std::string> expected = {
        "[FD1] 0.00-1.00 sec  1.95 KBytes  16.0 Kbits/sec",
        "[FD1] 1.00-1.50 sec  1.95 KBytes  32.0 Kbits/sec",
        "[FD1] 0.00-1.50 sec  3.91 KBytes  21.3 Kbits/sec",
    };
    EXPECT_EQ(fd_lines, expected);
}

// --- CSV ---

TEST_F(ReporterLines, CsvLinesOfNineFieldsOnTcpAndNoHeaderOrSum) {
    setenv("TZ", "UTC", 1);
    tzset();
    StreamOptions o{
        .mode = kMode_Client, .interval_usec = kOneSecond_us, .report_mode = kReport_CSV};
    auto owner = reporter_test::make_record(o);
    SumReport *sum = InitSumReport(owner.get(), 0, false);
    reporter_test::start_clock(&sum->info, kOneSecond_us);
    o.sum = sum;
    reporter_default_heading_flags(1);
    {
        Stream a(o);
        o.transfer_id = 2;
        Stream b(o);
        a.bytes(0.5, 1000);
        b.bytes(0.5, 1000);
        a.bytes(1.5, 1000);
        b.bytes(1.5, 1000);
        a.end(2.0);
        b.end(2.0);
    }
    const std::vector<std::string> expected = {
        "19700101001642,127.0.0.1,40000,127.0.0.1,5001,1,0.0-1.0,1000,8000",
        "19700101001642,127.0.0.1,40000,127.0.0.1,5001,2,0.0-1.0,1000,8000",
        "19700101001642,127.0.0.1,40000,127.0.0.1,5001,1,1.0-2.0,1000,8000",
        "19700101001642,127.0.0.1,40000,127.0.0.1,5001,1,0.0-2.0,2000,8000",
        "19700101001642,127.0.0.1,40000,127.0.0.1,5001,2,1.0-2.0,1000,8000",
        "19700101001642,127.0.0.1,40000,127.0.0.1,5001,2,0.0-2.0,2000,8000",
    };
    const auto lines = output();
    EXPECT_EQ(lines, expected);
    for (const auto &line : lines) {
        size_t commas = 0;
        for (char ch : line) commas += ch == ',';
        EXPECT_EQ(commas, 8u) << line;
    }
}

}  // namespace
