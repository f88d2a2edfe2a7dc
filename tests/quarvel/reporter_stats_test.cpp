// The reporter's statistics and data lines, fed with records in-process: loss
// and order, jitter and transit, the line of every kind, interval lines and
// the [SUM] lines of the tests of one host.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "quarvel/report_formats.h"
#include "quarvel/reporter.h"
#include "tests/quarvel/reporter_test_support.h"

namespace {

using reportertest::datagram;
using reportertest::feed;
using reportertest::finish;
using reportertest::Stream;
using reportertest::transfer;

class ReporterStats : public reportertest::ReporterTest {};

const char kUdpReceiverHeader[] =
    "[ ID] Interval       Transfer     Bandwidth        Jitter   Lost/Total Datagrams\n";
const char kUdpReceiverEnhancedHeader[] =
    "[ ID] Interval       Transfer     Bandwidth        Jitter   Lost/Total  Latency "
    "avg/min/max/stdev PPS\n";

TEST_F(ReporterStats, DatagramsOneTwoFiveThreeCountTwoLostThenOneOutOfOrder) {
    Stream server(kMode_Server, 3, OPT_UDP | OPT_NO_CONN_REPORT);
    DataReport *report = server.open();
    ASSERT_NE(report, nullptr);

    struct Step {
        int32_t number;
        int64_t lost, out_of_order, highest;
    };
    const Step steps[] = {{1, 0, 0, 1}, {2, 0, 0, 2}, {5, 2, 0, 5}, {3, 2, 1, 5}};
    capture();
    double arrival_s = 0.1;
    for (const Step &step : steps) {
        feed(report, datagram(step.number, 1470, arrival_s, 0.001));
        reporter_process_reports();
        EXPECT_EQ(report->lost, step.lost) << "after datagram " << step.number;
        EXPECT_EQ(report->out_of_order, step.out_of_order) << "after datagram " << step.number;
        EXPECT_EQ(report->highest, step.highest) << "after datagram " << step.number;
        arrival_s += 0.1;
    }
    finish(report, 1.0);
    EXPECT_EQ(captured(),
              std::string(kUdpReceiverHeader) +
                  "[  3]  0.0- 1.0 sec  5.74 KBytes  47.0 Kbits/sec   0.000 ms    1/    "
                  "5 (20%)\n"
                  "[  3] 0.00-1.00 sec  1 datagrams received out-of-order\n");
}

TEST_F(ReporterStats, JitterMeanAndM2FollowTheTransitSamples) {
    Stream server(kMode_Server, 3, OPT_UDP | OPT_NO_CONN_REPORT);
    DataReport *report = server.open();
    ASSERT_NE(report, nullptr);

    struct Sample {
        double transit_s;
        double jitter_s;  // J + (|transit - last| - J) / 16
    };
    const Sample samples[] = {{0.010, 0.0}, {0.012, 0.000125}, {0.011, 0.0001796875}};
    int32_t number = 1;
    for (const Sample &sample : samples) {
        feed(report, datagram(number, 100, 0.1 * number, sample.transit_s));
        reporter_process_reports();
        EXPECT_NEAR(report->info.jitter, sample.jitter_s, 1e-12) << "sample " << number;
        number++;
    }
    const TransitStats &total = report->info.total_transit;
    EXPECT_EQ(total.count, 3);
    EXPECT_NEAR(total.mean, 11000.0, 1e-6);
    EXPECT_NEAR(total.m2, 2000000.0, 1e-3);
    EXPECT_NEAR(total.min, 0.010, 1e-12);
    EXPECT_NEAR(total.max, 0.012, 1e-12);

    capture();
    finish(report, 1.0);
    captured();
}

struct LatencyCase {
    const char *name;
    std::vector<double> transits_s;  // one datagram each, numbers 1, 2, 3
    const char *jitter_and_latency;  // the line from the jitter on
};

// Case names instead of byte dumps in test listings.
void PrintTo(const LatencyCase &c, std::ostream *os) {
    *os << c.name;
}

class ReporterLatency : public reportertest::ReporterTest,
                        public ::testing::WithParamInterface<LatencyCase> {};

TEST_P(ReporterLatency, FinalEnhancedReceiverLine) {
    const LatencyCase &c = GetParam();
    Stream server(kMode_Server, 3, OPT_UDP | OPT_ENHANCED | OPT_NO_CONN_REPORT);
    DataReport *report = server.open();
    ASSERT_NE(report, nullptr);
    capture();
    for (size_t i = 0; i < c.transits_s.size(); i++) {
        feed(report, datagram(static_cast<int32_t>(i + 1), 1470, 0.25 * (i + 1), c.transits_s[i]));
    }
    finish(report, 1.0);
    EXPECT_EQ(captured(), std::string(kUdpReceiverEnhancedHeader) +
                              "[  3] 0.00-1.00 sec  4.31 KBytes  35.3 Kbits/sec  " +
                              c.jitter_and_latency + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Transits, ReporterLatency,
    ::testing::Values(
        LatencyCase{"Synchronised",
                    {0.010, 0.012, 0.011},
                    " 0.180 ms    0/    3 (0%) 11.000/10.000/12.000/ 1.000 ms    3 pps"},
        LatencyCase{"MinimumOfSixtySecondsStillPrinted",
                    {60.0, 60.0, 60.0},
                    " 0.000 ms    0/    3 (0%) 60000.000/60000.000/60000.000/ 0.000 ms    3 pps"},
        LatencyCase{"MinimumAboveSixtySeconds",
                    {61.0, 61.5, 62.0},
                    "60.547 ms    0/    3 (0%) -/-/-/- ms    3 pps"},
        LatencyCase{"MinimumBelowMinusOneSecond",
                    {-2.0, -2.0, -2.0},
                    " 0.000 ms    0/    3 (0%) -/-/-/- ms    3 pps"}),
    [](const ::testing::TestParamInfo<LatencyCase> &param_info) {
        return std::string(param_info.param.name);
    });

TEST_F(ReporterStats, EnhancedIntervalsWithAndWithoutDatagramsAndASlowFinal) {
    Stream server(kMode_Server, 3, OPT_UDP | OPT_ENHANCED | OPT_NO_CONN_REPORT);
    server.s.interval = 1.0;
    DataReport *report = server.open();
    ASSERT_NE(report, nullptr);
    capture();
    feed(report, datagram(1, 1470, 0.5, 0.005));
    feed(report, datagram(2, 1470, 0.6, 0.005));
    PacketReport timeout = transfer(0, 2.5);  // a receive that timed out
    timeout.empty_mark = 1;
    feed(report, timeout);
    const PacketReport closing = transfer(0, 3.0);
    CloseReport(report, &closing);
    reporter_process_reports();
    // What a server puts into its report datagram: the whole test's transit.
    const TransferInfo *final_info = GetReport(report);
    ASSERT_NE(final_info, nullptr);
    EXPECT_EQ(final_info->transit.count, 2);
    EXPECT_NEAR(final_info->transit.mean, 5000.0, 1e-6);
    EXPECT_EQ(final_info->total_transit.count, 2);
    EXPECT_EQ(final_info->datagrams, 2);
    EndReport(report);
    reportertest::drain();
    // The final line's packet rate (2 datagrams in 3 s) truncates to 0, yet
    // datagrams did arrive: jitter and latency are still shown.
    EXPECT_EQ(captured(),
              std::string(kUdpReceiverEnhancedHeader) +
                  "[  3] 0.00-1.00 sec  2.87 KBytes  23.5 Kbits/sec   0.000 ms    0/    2 (0%)  "
                  "5.000/ 5.000/ 5.000/ 0.000 ms    3 pps\n"
                  "[  3] 1.00-2.00 sec  0.00 Bytes  0.00 bits/sec   0.000 ms    0/    0 (0%) "
                  "-/-/-/- ms    0 pps\n"
                  "[  3] 0.00-3.00 sec  2.87 KBytes  7.84 Kbits/sec   0.000 ms    0/    2 (0%)  "
                  "5.000/ 5.000/ 5.000/ 0.000 ms    0 pps\n");
}

struct LineCase {
    const char *name;
    ThreadMode mode;
    uint32_t flags;
    int32_t buf_len;
    std::vector<int64_t> lengths;  // one record each, 0.1 s apart
    const char *expected;          // header and lines of the final report
};

// Case names instead of byte dumps in test listings.
void PrintTo(const LineCase &c, std::ostream *os) {
    *os << c.name;
}

class ReporterLines : public reportertest::ReporterTest,
                      public ::testing::WithParamInterface<LineCase> {};

TEST_P(ReporterLines, FinalLineOfEachKind) {
    const LineCase &c = GetParam();
    Stream stream(c.mode, 4, c.flags | OPT_NO_CONN_REPORT);
    stream.s.buf_len = c.buf_len;
    DataReport *report = stream.open();
    ASSERT_NE(report, nullptr);
    capture();
    int32_t number = 0;
    for (int64_t length : c.lengths) {
        PacketReport record = transfer(length, 0.1 * (number + 1));
        if (c.flags & OPT_UDP) record.number = number;
        feed(report, record);
        number++;
    }
    finish(report, 1.0);
    EXPECT_EQ(captured(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, ReporterLines,
    ::testing::Values(
        LineCase{"TcpReceiverEnhancedBins",
                 kMode_Server,
                 OPT_ENHANCED,
                 8192,
                 {1024, 8192, 100, 2000},
                 "[ ID] Interval        Transfer    Bandwidth       Reads   Dist(bin=1.0K)\n"
                 "[  4] 0.00-1.00 sec  11.1 KBytes  90.5 Kbits/sec  4    2:1:0:0:0:0:0:1\n"},
        // 100 / 8 leaves bins 12 bytes wide: a full read lands in the last bin.
        LineCase{"TcpReceiverEnhancedUnevenBuffer",
                 kMode_Server,
                 OPT_ENHANCED,
                 100,
                 {100, 50},
                 "[ ID] Interval        Transfer    Bandwidth       Reads   Dist(bin=0.0K)\n"
                 "[  4] 0.00-1.00 sec   150 Bytes  1.20 Kbits/sec  2    0:0:0:0:1:0:0:1\n"},
        LineCase{"TcpSender",
                 kMode_Client,
                 0,
                 8192,
                 {100, 50},
                 "[ ID] Interval       Transfer     Bandwidth\n"
                 "[  4]  0.0- 1.0 sec   150 Bytes  1.20 Kbits/sec\n"},
        // Adaptive units: bytes step by 1024, bits by 1000.
        LineCase{"TcpReceiverAdaptiveUnits",
                 kMode_Server,
                 0,
                 131072,
                 {131072, 131072},
                 "[ ID] Interval       Transfer     Bandwidth\n"
                 "[  4]  0.0- 1.0 sec   256 KBytes  2.10 Mbits/sec\n"},
        LineCase{"UdpSender",
                 kMode_Client,
                 OPT_UDP,
                 1470,
                 {1470, 1470, 1470},
                 "[ ID] Interval       Transfer     Bandwidth\n"
                 "[  4]  0.0- 1.0 sec  4.31 KBytes  35.3 Kbits/sec\n"
                 "[  4] Sent 3 datagrams\n"},
        LineCase{"UdpSenderEnhanced",
                 kMode_Client,
                 OPT_UDP | OPT_ENHANCED,
                 1470,
                 {1470, 1470, 1470},
                 "[ ID] Interval       Transfer     Bandwidth      PPS\n"
                 "[  4] 0.00-1.00 sec  4.31 KBytes  35.3 Kbits/sec    3 pps\n"
                 "[  4] Sent 3 datagrams\n"}),
    [](const ::testing::TestParamInfo<LineCase> &param_info) {
        return std::string(param_info.param.name);
    });

TEST_F(ReporterStats, FormatLetterPicksTheUnits) {
    struct Case {
        char format;
        const char *line;
    };
    const Case cases[] = {
        {'k', "[  4]  0.0- 1.0 sec   256 KBytes  2097 Kbits/sec\n"},
        {'m', "[  4]  0.0- 1.0 sec  0.25 MBytes  2.10 Mbits/sec\n"},
        {'K', "[  4]  0.0- 1.0 sec   256 KBytes   256 KBytes/sec\n"},
        {'b', "[  4]  0.0- 1.0 sec  262144 Bytes  2097152 bits/sec\n"},
    };
    for (const Case &c : cases) {
        header_printed = true;
        Stream stream(kMode_Server, 4, OPT_NO_CONN_REPORT);
        stream.s.format = c.format;
        DataReport *report = stream.open();
        ASSERT_NE(report, nullptr);
        capture();
        feed(report, transfer(262144, 0.5));
        finish(report, 1.0);
        EXPECT_EQ(captured(), c.line) << "format " << c.format;
    }
}

TEST_F(ReporterStats, TestsOfOneHostSumUpPerIntervalAndAtTheEnd) {
    Stream listener(kMode_Server, -1, OPT_UDP);
    listener.s.threads = 0;
    GroupReport *group = InitMulti(&listener.s, -1);
    ASSERT_NE(group, nullptr);
    EXPECT_EQ(group->count, 0);

    Stream first(kMode_Server, 5, OPT_UDP | OPT_NO_CONN_REPORT);
    Stream second(kMode_Server, 6, OPT_UDP | OPT_NO_CONN_REPORT);
    first.s.interval = second.s.interval = 1.0;
    first.s.sum_report = second.s.sum_report = group;
    DataReport *a = first.open();
    DataReport *b = second.open();
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(group->count, 2);

    capture();
    feed(a, datagram(1, 1470, 0.2, 0.001));
    feed(a, datagram(3, 1470, 0.4, 0.001));
    feed(a, datagram(4, 1470, 1.2, 0.001));
    feed(b, datagram(1, 1470, 0.3, 0.001));
    feed(b, datagram(2, 1470, 0.5, 0.001));
    feed(b, datagram(3, 1470, 1.3, 0.001));
    reporter_process_reports();
    const PacketReport closing = transfer(0, 2.0);
    CloseReport(a, &closing);
    CloseReport(b, &closing);
    reporter_process_reports();
    EndReport(a);
    EndReport(b);
    reportertest::drain();
    EXPECT_EQ(captured(),
              std::string(kUdpReceiverHeader) +
                  "[  5]  0.0- 1.0 sec  4.31 KBytes  35.3 Kbits/sec   0.000 ms    1/    4 (25%)\n"
                  "[  6]  0.0- 1.0 sec  4.31 KBytes  35.3 Kbits/sec   0.000 ms    0/    3 (0%)\n"
                  "[SUM]  0.0- 1.0 sec  8.61 KBytes  70.6 Kbits/sec   0.000 ms    1/    7 (14%)\n"
                  "[  5]  0.0- 2.0 sec  4.31 KBytes  17.6 Kbits/sec   0.000 ms    1/    4 (25%)\n"
                  "[  6]  0.0- 2.0 sec  4.31 KBytes  17.6 Kbits/sec   0.000 ms    0/    3 (0%)\n"
                  "[SUM]  0.0- 2.0 sec  8.61 KBytes  35.3 Kbits/sec   0.000 ms    1/    7 (14%)\n");
    FreeMulti(group);
}

TEST_F(ReporterStats, FinalLinesNeverJoinTheFirstIntervalOfTheGroup) {
    // One test ends before the other has reported its first interval: both
    // lines start at 0, but only lines of the same kind add up.
    Stream listener(kMode_Server, -1, 0);
    GroupReport *group = InitMulti(&listener.s, -2);
    ASSERT_NE(group, nullptr);
    Stream first(kMode_Server, 5, OPT_NO_CONN_REPORT);
    Stream second(kMode_Server, 6, OPT_NO_CONN_REPORT);
    first.s.interval = second.s.interval = 1.0;
    first.s.sum_report = second.s.sum_report = group;
    DataReport *a = first.open();
    DataReport *b = second.open();
    header_printed = true;
    capture();
    feed(a, transfer(1000, 1.5));
    finish(a, 1.6);
    feed(b, transfer(2000, 1.5));
    finish(b, 1.6);
    EXPECT_EQ(captured(),
              "[  5]  0.0- 1.0 sec  1000 Bytes  8.00 Kbits/sec\n"
              "[  5]  0.0- 1.6 sec  1000 Bytes  5.00 Kbits/sec\n"
              "[  6]  0.0- 1.0 sec  1.95 KBytes  16.0 Kbits/sec\n"
              "[SUM]  0.0- 1.0 sec  2.93 KBytes  24.0 Kbits/sec\n"
              "[  6]  0.0- 1.6 sec  1.95 KBytes  10.0 Kbits/sec\n"
              "[SUM]  0.0- 1.6 sec  2.93 KBytes  15.0 Kbits/sec\n");
    FreeMulti(group);
}

TEST_F(ReporterStats, GroupsExistForParallelClientsAndForServers) {
    struct Case {
        ThreadMode mode;
        int32_t threads;
        bool group;
    };
    const Case cases[] = {
        {kMode_Client, 1, false}, {kMode_Client, 2, true},    {kMode_Client, 3, true},
        {kMode_Server, 0, true},  {kMode_Listener, 1, false},
    };
    for (const Case &c : cases) {
        Stream stream(c.mode, -1, 0);
        stream.s.threads = c.threads;
        GroupReport *group = InitMulti(&stream.s, -7);
        EXPECT_EQ(group != nullptr, c.group) << "mode " << c.mode << ", threads " << c.threads;
        if (!group) continue;
        EXPECT_EQ(group->group_id, -7);
        EXPECT_EQ(group->count, c.threads);
        ASSERT_NE(group->sum, nullptr);
        EXPECT_EQ(group->sum->info.transfer_id, -7);
        FreeMulti(group);
    }
    Stream no_sum(kMode_Client, -1, OPT_NO_MCAST_REPORT);
    no_sum.s.threads = 3;
    GroupReport *group = InitMulti(&no_sum.s, -8);
    ASSERT_NE(group, nullptr);
    EXPECT_EQ(group->sum, nullptr);
    FreeMulti(group);
}

// A connected loopback TCP pair; both ends closed with the object.
struct LoopbackConnection {
    int client = -1, server = -1;
    LoopbackConnection() {
        const int listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (listener < 0 || bind(listener, reinterpret_cast<sockaddr *>(&address), length) != 0 ||
            listen(listener, 1) != 0 ||
            getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
            if (listener >= 0) close(listener);
            return;
        }
        client = socket(AF_INET, SOCK_STREAM, 0);
        if (client >= 0 && connect(client, reinterpret_cast<sockaddr *>(&address), length) == 0) {
            server = accept(listener, nullptr, nullptr);
        }
        close(listener);
    }
    ~LoopbackConnection() {
        if (client >= 0) close(client);
        if (server >= 0) close(server);
    }
};

// Two writes of 1000 bytes and the final line of an enhanced TCP sender.
std::string enhanced_sender_final(int sock, std::string *err) {
    Stream client(kMode_Client, sock, OPT_ENHANCED | OPT_NO_CONN_REPORT);
    DataReport *report = client.open();
    if (!report) return "no report";
    ::testing::internal::CaptureStderr();
    ::testing::internal::CaptureStdout();
    feed(report, transfer(1000, 0.3));
    feed(report, transfer(1000, 0.6));
    finish(report, 1.0);
    *err = ::testing::internal::GetCapturedStderr();
    return ::testing::internal::GetCapturedStdout();
}

const char kTcpSenderEnhancedHeader[] =
    "[ ID] Interval        Transfer    Bandwidth       Write/Err  Rtry    Cwnd/RTT\n";

TEST_F(ReporterStats, EnhancedTcpSenderWithoutTcpInformation) {
    std::string err;
    const std::string out = enhanced_sender_final(-1, &err);
    EXPECT_EQ(out, std::string(kTcpSenderEnhancedHeader) +
                       "[ -1] 0.00-1.00 sec  1.95 KBytes  16.0 Kbits/sec  2/0          0        "
                       "0K/0 us\n");
    EXPECT_EQ(err, "getsockopt failed: Bad file descriptor\n");
}

TEST_F(ReporterStats, EnhancedTcpSenderSamplesTheConnection) {
    LoopbackConnection connection;
    ASSERT_GE(connection.server, 0) << "no loopback connection";
    std::string err;
    const std::string out = enhanced_sender_final(connection.client, &err);
    EXPECT_EQ(err, "");
    char id[8];
    snprintf(id, sizeof id, "[%3d]", connection.client);
    const std::string prefix = std::string(kTcpSenderEnhancedHeader) + id +
                               " 0.00-1.00 sec  1.95 KBytes  16.0 Kbits/sec  2/0          0 ";
    ASSERT_EQ(out.compare(0, prefix.size(), prefix), 0) << out;
    int cwnd_kbytes = -1;
    unsigned rtt_us = 0;
    char unit[4] = {};
    ASSERT_EQ(sscanf(out.c_str() + prefix.size(), "%dK/%u %2s", &cwnd_kbytes, &rtt_us, unit), 3)
        << out;
    EXPECT_GT(cwnd_kbytes, 0) << out;
    EXPECT_STREQ(unit, "us");
}

struct SumCase {
    const char *name;
    int32_t udp_role, tcp_role, enhanced, final;
    const char *expected;
};

void PrintTo(const SumCase &c, std::ostream *os) {
    *os << c.name;
}

class ReporterSumLines : public reportertest::ReporterTest,
                         public ::testing::WithParamInterface<SumCase> {};

TEST_P(ReporterSumLines, TwoMembersOfEachKind) {
    const SumCase &c = GetParam();
    Stream global(kMode_Client, -1, 0);
    global.s.threads = 2;
    GroupReport *group = InitMulti(&global.s, -3);
    ASSERT_NE(group, nullptr);

    TransferInfo line = {};
    line.bytes = 1000;
    line.start_time = 0;
    line.end_time = 1.0;
    line.datagrams = 10;
    line.lost = 1;
    line.out_of_order = 1;
    line.packets = 10;
    line.gap_sum = 0.5;
    line.jitter = 0.002;
    line.format = 'a';
    line.udp_role = c.udp_role;
    line.tcp_role = c.tcp_role;
    line.enhanced = c.enhanced;
    line.tcp.writes = 5;
    line.tcp.write_errors = 1;
    line.tcp.retries = 2;
    line.tcp.reads = 4;
    line.tcp.bins[0] = 1;
    line.tcp.bins[7] = 3;

    capture();
    reporter_handle_multiple_reports(group, &line, c.final != 0);
    EXPECT_EQ(captured(), "") << "one member of two has reported";
    line.jitter = 0.003;  // the larger jitter is the sum's
    capture();
    reporter_handle_multiple_reports(group, &line, c.final != 0);
    EXPECT_EQ(captured(), c.expected);
    FreeMulti(group);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, ReporterSumLines,
    ::testing::Values(
        SumCase{"Tcp", kUdpRole_None, kRole_Sender, 0, 0,
                "[SUM]  0.0- 1.0 sec  1.95 KBytes  16.0 Kbits/sec\n"},
        SumCase{"TcpSenderEnhanced", kUdpRole_None, kRole_Sender, 1, 0,
                "[SUM] 0.00-1.00 sec  1.95 KBytes  16.0 Kbits/sec  10/2         4\n"},
        SumCase{"TcpReceiverEnhanced", kUdpRole_None, kRole_Receiver, 1, 0,
                "[SUM] 0.00-1.00 sec  1.95 KBytes  16.0 Kbits/sec  8    2:0:0:0:0:0:0:6\n"},
        SumCase{"UdpReceiver", kRole_Receiver, kRole_Receiver, 0, 0,
                "[SUM]  0.0- 1.0 sec  1.95 KBytes  16.0 Kbits/sec   3.000 ms    2/   20 (10%)\n"
                "[SUM] 0.00-1.00 sec  2 datagrams received out-of-order\n"},
        SumCase{"UdpReceiverEnhanced", kRole_Receiver, kRole_Receiver, 1, 0,
                "[SUM] 0.00-1.00 sec  1.95 KBytes  16.0 Kbits/sec   40 pps\n"
                "[SUM] 0.00-1.00 sec  2 datagrams received out-of-order\n"},
        SumCase{"UdpSenderFinal", kRole_Sender, kRole_Sender, 0, 1,
                "[SUM]  0.0- 1.0 sec  1.95 KBytes  16.0 Kbits/sec\n"
                "[SUM] Sent 20 datagrams\n"}),
    [](const ::testing::TestParamInfo<SumCase> &param_info) {
        return std::string(param_info.param.name);
    });

TEST_F(ReporterStats, UnknownPrintKindIsNamedOnStandardError) {
    Stream stream(kMode_Server, 4, OPT_NO_CONN_REPORT);
    DataReport *report = stream.open();
    ASSERT_NE(report, nullptr);
    ::testing::internal::CaptureStderr();
    capture();
    reporter_print(report, 0x20, false);
    EXPECT_EQ(captured(), "");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Printing type not implemented! No Output\n");
    header_printed = true;
    capture();
    finish(report, 1.0);
    captured();
}

}  // namespace
