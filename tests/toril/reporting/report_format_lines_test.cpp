// Report lines of the output routines, from statistics filled by hand: the
// columns, the short-interval rule, NetPwr, the latency guard, headers and
// their re-arming, sums and the comma-separated form.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "tests/toril/reporting/reporter_test_support.h"

namespace {

using reporter_test::lines_of;
using reporter_test::rearm_headers;
using reporter_test::StreamOptions;

// Statistics with their own snapshot, as a report hands them to its output.
class Stats {
  public:
    explicit Stats(const StreamOptions &o = {}) : settings_(reporter_test::make_record(o)) {
        s_.common = common_copy(settings_.get());
        reporter_reset_mmm(&s_.transit);
        reporter_reset_mmm(&s_.total_transit);
    }
    ~Stats() { free_common_copy(s_.common); }
    Stats(const Stats &) = delete;
    Stats &operator=(const Stats &) = delete;
    StreamStats *operator->() { return &s_; }
    StreamStats *get() { return &s_; }

  private:
    reporter_test::SettingsPtr settings_;
    StreamStats s_{};
};

std::vector<std::string> print(OutputHandler out, StreamStats *s) {
    testing::internal::CaptureStdout();
    out(s);
    return lines_of(testing::internal::GetCapturedStdout());
}

std::string last_line(OutputHandler out, StreamStats *s) {
    const auto lines = print(out, s);
    return lines.empty() ? std::string() : lines.back();
}

void transits(StreamStats *s, std::initializer_list<double> values_s) {
    for (double v : values_s) reporter_update_mmm(&s->transit, v);
}

TEST(ReportFormat, IntervalsShorterThanFiveMillisecondsCountNoBytes) {
    const struct {
        double end_s;
        bool final_line;
        const char *line;
    } cases[] = {
        {0.004, false, "[  1] 0.00-0.00 sec  0.000 Bytes  0.000 bits/sec"},
        {0.005, false, "[  1] 0.00-0.01 sec  4.88 KBytes  8.00 Mbits/sec"},
        {1.0, false, "[  1] 0.00-1.00 sec  4.88 KBytes  40.0 Kbits/sec"},
        // A whole test that short keeps its bytes.
        {0.004, true, "[  1] 0.00-0.00 sec  4.88 KBytes  10.0 Mbits/sec"},
    };
    for (const auto &c : cases) {
        rearm_headers();
        Stats s;
        s->iEnd = c.end_s;
        s->cntBytes = 5000;
        s->final_line = c.final_line;
        EXPECT_EQ(last_line(tcp_output_read, s.get()), c.line) << c.end_s;
    }
}

TEST(ReportFormat, NetPowerTexts) {
    const struct {
        double bytes, duration_s, delay_s;
        const char *text;
    } cases[] = {
        {1e6, 1.0, 0.0, "NAN"},  {1e12, 1.0, -0.001, "OBL"}, {1e6, 1.0, -0.001, "-1000.000000"},
        {5e6, 1.0, 0.01, "500"}, {5e5, 1.0, 0.01, "50.00"},  {5e4, 1.0, 0.01, "5.000000"},
    };
    for (const auto &c : cases) {
        char buf[100];
        format_netpower(buf, sizeof buf, c.bytes, c.duration_s, c.delay_s);
        EXPECT_STREQ(buf, c.text) << c.bytes << " " << c.delay_s;
    }
}

TEST(ReportFormat, TcpSenderWithoutWindowPrintsNaAndNanPower) {
    rearm_headers();
    Stats s({.mode = kMode_Client});
    s->iEnd = 1.0;
    s->cntBytes = 1000;
    s->write.WriteCnt = 10;
    s->write.WriteErr = 1;
    s->write.TCPretry = 2;
    const auto lines = print(tcp_output_write_enhanced, s.get());
    const std::vector<std::string> expected = {
        "[ ID] Interval        Transfer    Bandwidth       Write/Err  Rtry     Cwnd/RTT(var)       "
        " "
        "NetPwr",
        "[  1] 0.00-1.00 sec  1000 Bytes  8.00 Kbits/sec  10/1          2       NA/0 us  NAN",
    };
    EXPECT_EQ(lines, expected);
    s->write.cwnd = 64;
    s->write.rtt = 50;
    s->write.rttvar = 50;
    EXPECT_EQ(
        last_line(tcp_output_write_enhanced, s.get()),
        "[  1] 0.00-1.00 sec  1000 Bytes  8.00 Kbits/sec  10/1          2       64K/50(50) us  "
        "20.00");
}

TEST(ReportFormat, UdpTripTimeLatencyGuard) {
    const struct {
        const char *why;
        int64_t gaps;
        double min_transit_s;
        const char *line;
    } cases[] = {
        {"no datagrams", 0, 0.001,
         "[  1] 0.00-1.00 sec  1000 Bytes  8.00 Kbits/sec   0.000 ms 1/10 (0%) -/-/-/- ms 0 pps"},
        {"clocks apart", 10, -20000,
         "[  1] 0.00-1.00 sec  1000 Bytes  8.00 Kbits/sec   2.000 ms 1/10 (10%) -/-/-/- ms 10 pps"},
        {"in sync", 10, 0.001,
         "[  1] 0.00-1.00 sec  1000 Bytes  8.00 Kbits/sec   2.000 ms 1/10 (10%) "
         "2.000/1.000/3.000/1.414 ms 10 pps 10/0(0) pkts 0.500000"},
    };
    for (const auto &c : cases) {
        Stats s({.mode = kMode_Server, .option_flags = OPT_UDP, .test_flags = TEST_TRIP_TIMES});
        s->iEnd = 1.0;
        s->cntBytes = 1000;
        s->cntError = 1;
        s->cntDatagrams = 10;
        s->cntIPG = c.gaps;
        s->IPGsum = 1.0;
        s->jitter = 0.002;
        transits(s.get(), {c.min_transit_s, 0.003});
        if (c.min_transit_s > 0) {
            reporter_reset_mmm(&s->transit);
            transits(s.get(), {0.001, 0.003});
        }
        EXPECT_EQ(last_line(udp_output_read_triptime, s.get()), c.line) << c.why;
    }
}

TEST(ReportFormat, UdpLossOfAnIntervalWithoutDatagramsIsNotANumber) {
    rearm_headers();
    Stats s({.mode = kMode_Server, .option_flags = OPT_UDP});
    s->iStart = 1.0;
    s->iEnd = 2.0;
    const double zero = 0.0;
    char loss[32];
    snprintf(loss, sizeof loss, "%.2g", zero * 100.0 / zero);
    EXPECT_EQ(last_line(udp_output_read, s.get()),
              std::string("[  1] 1.00-2.00 sec  0.000 Bytes  0.000 bits/sec   0.000 ms 0/0 (") +
                  loss + "%)");
}

TEST(ReportFormat, HeadersPrintOnceAndAgainAfterRearming) {
    rearm_headers();
    Stats s;
    s->iEnd = 1.0;
    EXPECT_EQ(print(tcp_output_read, s.get()).size(), 2u);
    EXPECT_EQ(print(tcp_output_read, s.get()).size(), 1u);
    EXPECT_EQ(print(tcp_output_sum_read, s.get()).size(), 1u);  // same table
    reporter_default_heading_flags(0);
    EXPECT_EQ(print(tcp_output_read, s.get()).size(), 2u);
    reporter_default_heading_flags(1);  // CSV: never a header
    EXPECT_EQ(print(tcp_output_read, s.get()).size(), 1u);

    // The UDP trip-times header prints once per process.
    Stats u({.mode = kMode_Server, .option_flags = OPT_UDP, .test_flags = TEST_TRIP_TIMES});
    u->iEnd = 1.0;
    __report_bw_jitter_loss_enhanced_triptime_print_done = 0;
    EXPECT_EQ(print(udp_output_read_triptime, u.get()).size(), 2u);
    reporter_default_heading_flags(0);
    EXPECT_EQ(print(udp_output_read_triptime, u.get()).size(), 1u);
}

TEST(ReportFormat, SumLinesTakeTheirPrefixesAndCounts) {
    rearm_headers();
    Stats s({.mode = kMode_Server, .option_flags = OPT_UDP, .test_flags = TEST_SUM_ONLY});
    s->iEnd = 1.0;
    s->cntBytes = 3000;
    s->slot_thread_upcount = 3;
    s->cntError = 2;
    s->cntDatagrams = 30;
    s->cntOutofOrder = 1;
    s->cntIPG = 30;
    s->IPGsum = 1.0;
    const std::vector<std::string> sumcnt = {
        "[SUM-cnt] Interval     Transfer     Bandwidth       Lost/Total    PPS",
        "[SUM-3] 0.00-1.00 sec  2.93 KBytes  24.0 Kbits/sec  2/30       30 pps",
        "[SUM-3] 0.00-1.00 sec  1 datagrams received out-of-order",
    };
    EXPECT_EQ(print(udp_output_sumcnt_enhanced, s.get()), sumcnt);
    EXPECT_EQ(print(udp_output_sum_read, s.get()),
              (std::vector<std::string>{
                  "[ ID] Interval       Transfer     Bandwidth",
                  "[SUM] 0.00-1.00 sec  2.93 KBytes  24.0 Kbits/sec   2/30 (6.7%)",
                  "[SUM] 0.00-1.00 sec  1 datagrams received out-of-order",
              }));
    EXPECT_EQ(last_line(udp_output_fullduplex_enhanced, s.get()),
              "[FD1] 0.00-1.00 sec  2.93 KBytes  24.0 Kbits/sec 30      30 pps");
    EXPECT_EQ(last_line(udp_output_fullduplex_sum, s.get()),
              "[SUM] 0.00-1.00 sec  2.93 KBytes  24.0 Kbits/sec 30      30 pps");
}

TEST(ReportFormat, UdpCsvLine) {
    setenv("TZ", "UTC", 1);
    tzset();
    Stats s({.mode = kMode_Server, .option_flags = OPT_UDP | OPT_ENHANCED});
    s->nextTime = {1001, 250000};
    s->iStart = 0;
    s->iEnd = 1.0;
    s->cntBytes = 1000;
    s->jitter = 0.0015;
    s->cntError = 1;
    s->cntDatagrams = 10;
    s->cntOutofOrder = 2;
    EXPECT_EQ(last_line(udp_output_basic_csv, s.get()),
              "19700101001641.250,127.0.0.1,5001,127.0.0.1,40000,1,0.0-1.0,1000,8000,1.500,1,10,"
              "10.000,2");
    // A test without interval reports has no next report time: its line
    // carries the time of printing.
    s->nextTime = {0, 0};
    const std::string line = last_line(udp_output_basic_csv, s.get());
    EXPECT_TRUE(std::regex_search(line, std::regex(R"(^20\d{12}\.\d{3},127\.0\.0\.1,5001,)")))
        << line;
}

TEST(ReportFormat, BounceBackRoundTripsPerSecond) {
    const struct {
        int64_t count;
        double sum_s;
        const char *rps;
    } cases[] = {{0, 0.0, "0"}, {5, 1.0, "5.0"}, {200, 1.0, "200"}, {3, 0.0, "0"}};
    for (const auto &c : cases) {
        rearm_headers();
        Stats s({.mode = kMode_Client});
        s->iEnd = 1.0;
        for (int64_t i = 0; i < c.count; ++i) reporter_update_mmm(&s->bb.rtt, 0.002);
        s->bb.rtt_sum = c.sum_s;
        const std::string line = last_line(tcp_output_write_bb, s.get());
        const std::string tail = std::string("    ") + c.rps + " rps";
        ASSERT_GE(line.size(), tail.size());
        EXPECT_EQ(line.substr(line.size() - tail.size()), tail) << line;
    }
}

}  // namespace
