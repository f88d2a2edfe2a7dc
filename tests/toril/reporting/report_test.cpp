// Report objects: transfer ids, sum reference counts, the settings snapshot,
// handler and ring choices, the CPU-bound warning and the hand-off calls.
#include "toril/reporting/report.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

struct SettingsDeleter {
    void operator()(thread_Settings *s) const { Settings_Destroy(s); }
};
using SettingsPtr = std::unique_ptr<thread_Settings, SettingsDeleter>;

// A record as the launch code hands one to a thread: a copy of the global
// record, with its own wait pair.
SettingsPtr make_settings(ThreadMode mode, uint32_t option_flags = 0, uint32_t test_flags = 0,
                          uint32_t extra_flags = 0) {
    thread_Settings global;
    Settings_Initialize(&global);
    thread_Settings *copy = nullptr;
    Settings_Copy(&global, &copy, true);
    copy->thread_mode = mode;
    copy->option_flags |= option_flags;
    copy->test_flags |= test_flags;
    copy->extra_flags |= extra_flags;
    copy->sock = 7;
    return SettingsPtr(copy);
}

struct NodeDeleter {
    void operator()(ReportNode *n) const { FreeReport(n); }
};
using NodePtr = std::unique_ptr<ReportNode, NodeDeleter>;

IndividualReport *data_of(ReportNode *node) {
    return static_cast<IndividualReport *>(node->this_report);
}

void reset_transfer_ids() {
    pthread_mutex_lock(&transferid_mutex);
    transferid_counter = 0;
    pthread_mutex_unlock(&transferid_mutex);
}

// --- Transfer ids ---

TEST(TransferId, TextsByIdReverseAndPermitKey) {
    const struct {
        int32_t preset_id;
        bool reverse;
        const char *key;
        const char *text;
    } cases[] = {
        {0, false, nullptr, "[  1] "},     {5, false, nullptr, "[  5] "},
        {1234, false, nullptr, "[1234] "}, {9, true, nullptr, "[ *9] "},
        {10, true, nullptr, "[*10] "},     {5, false, "abc", "[abc(5)] "},
        {5, true, "abc", "[abc(*5)] "},    {5, false, "", "[  5] "},
    };
    for (const auto &c : cases) {
        reset_transfer_ids();
        SettingsPtr s = make_settings(kMode_Client);
        s->transfer_id = c.preset_id;
        if (c.key) {
            s->test_flags |= TEST_PERMIT_KEY;
            snprintf(s->permit_key, sizeof s->permit_key, "%s", c.key);
        }
        setTransferID(s.get(), c.reverse);
        ASSERT_NE(s->transfer_id_text, nullptr);
        EXPECT_STREQ(s->transfer_id_text, c.text) << c.preset_id << " " << c.reverse;
        EXPECT_EQ(strlen(s->transfer_id_text) + 1, std::string(c.text).size() + 1);
    }
}

TEST(TransferId, SecondCallChangesNothingAndCopiesStartWithout) {
    reset_transfer_ids();
    SettingsPtr s = make_settings(kMode_Client);
    setTransferID(s.get(), false);
    const char *first = s->transfer_id_text;
    setTransferID(s.get(), true);
    EXPECT_EQ(s->transfer_id_text, first);
    EXPECT_STREQ(s->transfer_id_text, "[  1] ");
    EXPECT_EQ(s->transfer_id, 1);

    // The reverse leg keeps the number and gets its own text.
    thread_Settings *copy = nullptr;
    Settings_Copy(s.get(), &copy, false);
    SettingsPtr reverse_leg(copy);
    EXPECT_EQ(reverse_leg->transfer_id_text, nullptr);
    setTransferID(reverse_leg.get(), true);
    EXPECT_STREQ(reverse_leg->transfer_id_text, "[ *1] ");
    EXPECT_STREQ(s->transfer_id_text, "[  1] ");
}

TEST(TransferIdThreads, ConcurrentStreamsGetDistinctIds) {
    reset_transfer_ids();
    constexpr int kThreads = 8;
    std::vector<SettingsPtr> records;
    for (int i = 0; i < kThreads; ++i) records.push_back(make_settings(kMode_Client));
    std::vector<std::thread> threads;
    for (auto &r : records) threads.emplace_back([&r] { setTransferID(r.get(), false); });
    for (auto &t : threads) t.join();
    std::vector<bool> seen(kThreads + 1, false);
    for (auto &r : records) {
        ASSERT_GE(r->transfer_id, 1);
        ASSERT_LE(r->transfer_id, kThreads);
        EXPECT_FALSE(seen[r->transfer_id]) << r->transfer_id;
        seen[r->transfer_id] = true;
    }
}

// --- Sum reports ---

TEST(SumReport, ReferenceCountsAndMaximum) {
    SettingsPtr s = make_settings(kMode_Server);
    SumReport *sum = InitSumReport(s.get(), 4, false);
    ASSERT_NE(sum, nullptr);
    EXPECT_EQ(sum->reference_count, 0);
    EXPECT_EQ(sum->info.sumID, 4);
    EXPECT_EQ(IncrSumReportRefCounter(sum), 1);
    EXPECT_EQ(IncrSumReportRefCounter(sum), 2);
    EXPECT_EQ(DecrSumReportRefCounter(sum), 1);
    EXPECT_EQ(IncrSumReportRefCounter(sum), 2);
    EXPECT_EQ(sum->reference_maxcount, 2);
    EXPECT_EQ(DecrSumReportRefCounter(sum), 1);
    EXPECT_EQ(DecrSumReportRefCounter(sum), 0);
    EXPECT_EQ(sum->reference_maxcount, 2);
    FreeSumReport(sum);
}

TEST(SumReport, StreamsJoinTheirGroupAndFullDuplexSums) {
    SettingsPtr s = make_settings(kMode_Client, 0, TEST_FULL_DUPLEX);
    SumReport *group = InitSumReport(s.get(), 0, false);
    SumReport *fd = InitSumReport(s.get(), -1, true);
    s->sum_report = group;
    s->fullduplex_report = fd;
    NodePtr a(InitIndividualReport(s.get()));
    NodePtr b(InitIndividualReport(s.get()));
    EXPECT_EQ(group->reference_count, 2);
    EXPECT_EQ(group->reference_maxcount, 2);
    EXPECT_EQ(fd->reference_count, 2);
    EXPECT_EQ(data_of(a.get())->GroupSumReport, group);
    EXPECT_EQ(data_of(b.get())->FullDuplexReport, fd);
    // Freeing a stream leaves the sums to their own counts.
    a.reset();
    b.reset();
    EXPECT_EQ(group->reference_count, 2);
    FreeSumReport(group);
    FreeSumReport(fd);
}

TEST(SumReportThreads, ConcurrentJoinAndLeave) {
    SettingsPtr s = make_settings(kMode_Server);
    SumReport *sum = InitSumReport(s.get(), 1, false);
    constexpr int kThreads = 4, kRounds = 20000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([sum] {
            for (int i = 0; i < kRounds; ++i) {
                IncrSumReportRefCounter(sum);
                DecrSumReportRefCounter(sum);
            }
        });
    }
    for (auto &t : threads) t.join();
    EXPECT_EQ(sum->reference_count, 0);
    EXPECT_GE(sum->reference_maxcount, 1);
    EXPECT_LE(sum->reference_maxcount, kThreads);
    FreeSumReport(sum);
}

TEST(SumReport, Handlers) {
    const struct {
        ThreadMode mode;
        uint32_t options, tests;
        ReportMode style;
        bool fullduplex;
        SumTransferHandler handler;
        OutputHandler output;
    } cases[] = {
        {kMode_Server, OPT_UDP, 0, kReport_Default, false,
         reporter_transfer_protocol_sum_server_udp, udp_output_sum_read},
        {kMode_Server, OPT_UDP, TEST_SUM_ONLY | TEST_FULL_DUPLEX, kReport_Default, false,
         reporter_transfer_protocol_sum_server_udp, udp_output_sumcnt_enhanced},
        {kMode_Server, OPT_UDP | OPT_ENHANCED, TEST_FULL_DUPLEX, kReport_Default, false,
         reporter_transfer_protocol_sum_server_udp, udp_output_fullduplex_sum},
        {kMode_Server, OPT_ENHANCED, TEST_SUM_ONLY, kReport_Default, false,
         reporter_transfer_protocol_sum_server_tcp, tcp_output_sumcnt_read_enhanced},
        {kMode_Server, OPT_ENHANCED, 0, kReport_Default, false,
         reporter_transfer_protocol_sum_server_tcp, tcp_output_sum_read_enhanced},
        {kMode_Client, OPT_UDP | OPT_ENHANCED, TEST_SUM_ONLY, kReport_Default, false,
         reporter_transfer_protocol_sum_client_udp, udp_output_sumcnt_write_enhanced},
        {kMode_Client, OPT_UDP | OPT_ENHANCED, TEST_SUM_ONLY | TEST_FULL_DUPLEX, kReport_Default,
         false, reporter_transfer_protocol_sum_client_udp, udp_output_sumcnt},
        {kMode_Client, 0, 0, kReport_Default, false, reporter_transfer_protocol_sum_client_tcp,
         tcp_output_sum_read},
        {kMode_Client, 0, TEST_SUM_ONLY, kReport_Default, false,
         reporter_transfer_protocol_sum_client_tcp, tcp_output_sumcnt_read},
        {kMode_Client, 0, 0, kReport_CSV, false, reporter_transfer_protocol_sum_client_tcp,
         nullptr},
        {kMode_Client, 0, TEST_FULL_DUPLEX, kReport_Default, true,
         reporter_transfer_protocol_fullduplex_tcp, tcp_output_fullduplex},
        {kMode_Server, OPT_UDP | OPT_ENHANCED, TEST_FULL_DUPLEX, kReport_Default, true,
         reporter_transfer_protocol_fullduplex_udp, udp_output_fullduplex_enhanced},
        {kMode_Client, 0, TEST_FULL_DUPLEX | TEST_SUM_ONLY, kReport_Default, true,
         reporter_transfer_protocol_fullduplex_tcp, nullptr},
    };
    int row = 0;
    for (const auto &c : cases) {
        SettingsPtr s = make_settings(c.mode, c.options, c.tests);
        s->report_mode = c.style;
        SumReport *sum = InitSumReport(s.get(), 0, c.fullduplex);
        EXPECT_EQ(sum->transfer_protocol_sum_handler, c.handler) << "row " << row;
        EXPECT_EQ(sum->info.output_handler, c.output) << "row " << row;
        FreeSumReport(sum);
        ++row;
    }
}

TEST(SumReport, IntervalAndBarrierTimeout) {
    SettingsPtr s = make_settings(kMode_Client, OPT_UDP, TEST_FULL_DUPLEX);
    s->interval_mode = kInterval_Time;
    s->interval_usec = 1500000;
    s->amount = 1000;  // ten seconds
    SumReport *sum = InitSumReport(s.get(), -1, true);
    EXPECT_EQ(sum->info.intervalTime.tv_sec, 1);
    EXPECT_EQ(sum->info.intervalTime.tv_usec, 500000);
    EXPECT_DOUBLE_EQ(sum->info.significant_partial, 0.375);
    EXPECT_EQ(sum->fullduplex_barrier.timeout_s, 11);
    FreeSumReport(sum);

    s->amount = 100;  // one second: the minimum of three applies
    sum = InitSumReport(s.get(), -1, true);
    EXPECT_EQ(sum->fullduplex_barrier.timeout_s, 3);
    FreeSumReport(sum);

    // The server's sending leg starts its clock at the test's start time.
    s->test_flags |= TEST_SERVER_REVERSE;
    s->trip_start_sec = 1000;
    s->trip_start_usec = 700000;
    sum = InitSumReport(s.get(), 9, true);
    EXPECT_EQ(sum->info.startTime.tv_sec, 1000);
    EXPECT_EQ(sum->info.nextTime.tv_sec, 1002);
    EXPECT_EQ(sum->info.nextTime.tv_usec, 200000);
    FreeSumReport(sum);
}

// --- Snapshot ---

TEST(SettingsSnapshot, IndependentOfTheThreadsRecord) {
    SettingsPtr s = make_settings(kMode_Client, OPT_UDP);
    free(s->host);
    s->host = strdup("192.0.2.1");
    s->congestion_algo = strdup("cubic");
    s->port = 5002;
    snprintf(s->permit_key, sizeof s->permit_key, "%s", "secret");
    setTransferID(s.get(), false);
    SettingsSnapshot *snap = common_copy(s.get());
    ASSERT_NE(snap, nullptr);
    EXPECT_NE(snap->host, s->host);
    EXPECT_NE(snap->transfer_id_text, s->transfer_id_text);
    const std::string id_text = s->transfer_id_text;

    // Change and then destroy the thread's record: the snapshot keeps its own.
    s->host[0] = 'X';
    s->port = 1;
    s.reset();
    EXPECT_STREQ(snap->host, "192.0.2.1");
    EXPECT_STREQ(snap->congestion_algo, "cubic");
    EXPECT_STREQ(snap->permit_key, "secret");
    EXPECT_EQ(snap->transfer_id_text, id_text);
    EXPECT_EQ(snap->port, 5002);
    EXPECT_EQ(snap->thread_mode, kMode_Client);
    EXPECT_TRUE(snap->option_flags & OPT_UDP);
    EXPECT_EQ(snap->local_host, nullptr);
    free_common_copy(snap);
    free_common_copy(nullptr);
}

TEST(SettingsSnapshot, DataReportOutlivesItsSettings) {
    SettingsPtr s = make_settings(kMode_Server);
    s->output_file = strdup("out.txt");
    ReportNode *node = InitIndividualReport(s.get());
    s.reset();
    EXPECT_STREQ(data_of(node)->info.common->output_file, "out.txt");
    FreeReport(node);
}

TEST(MeanMinMax, Reset) {
    MeanMinMax m;
    memset(&m, 0x7f, sizeof m);
    m.last = 42;
    reporter_reset_mmm(&m);
    EXPECT_EQ(m.max, 1.1754943508222875e-38);
    EXPECT_EQ(m.min, 3.4028234663852886e38);
    EXPECT_EQ(m.sum, 0);
    EXPECT_EQ(m.mean, 0);
    EXPECT_EQ(m.m2, 0);
    EXPECT_EQ(m.last_delta, 0);
    EXPECT_EQ(m.cnt, 0);
    EXPECT_EQ(m.last, 42);  // the callers' slot
}

// --- Stream handlers, ring and histograms ---

TEST(IndividualReport, HandlerChoices) {
    const struct {
        ThreadMode mode;
        uint32_t options, tests, extras;
        IntervalMode interval;
        ReportMode style;
        PacketHandler pre, packet;
        TransferHandler transfer;
        IntervalHandler interval_handler;
        OutputHandler output;
    } cases[] = {
        // Server, UDP.
        {kMode_Server, OPT_UDP, 0, 0, kInterval_None, kReport_Default, nullptr,
         reporter_handle_packet_server_udp, reporter_transfer_protocol_server_udp, nullptr,
         udp_output_read},
        {kMode_Server, OPT_UDP, TEST_ISOCH, 0, kInterval_Frames, kReport_CSV, nullptr,
         reporter_handle_packet_server_udp, reporter_transfer_protocol_server_udp,
         reporter_condprint_frame_interval_report_server_udp, nullptr},
        {kMode_Server, OPT_UDP, TEST_SUM_ONLY, 0, kInterval_Time, kReport_CSV, nullptr,
         reporter_handle_packet_server_udp, reporter_transfer_protocol_server_udp,
         reporter_condprint_time_interval_report, udp_output_basic_csv},
        {kMode_Server, OPT_UDP, TEST_TRIP_TIMES | TEST_ISOCH, 0, kInterval_None, kReport_Default,
         nullptr, reporter_handle_packet_server_udp, reporter_transfer_protocol_server_udp, nullptr,
         udp_output_read_triptime_isoch},
        {kMode_Server, OPT_UDP | OPT_ENHANCED, 0, 0, kInterval_None, kReport_Default, nullptr,
         reporter_handle_packet_server_udp, reporter_transfer_protocol_server_udp, nullptr,
         udp_output_read_triptime},
        // Server, TCP.
        {kMode_Server, 0, TEST_FRAME_INTERVAL, EXT_BURST, kInterval_None, kReport_Default,
         reporter_handle_packet_server_tcp, nullptr, reporter_transfer_protocol_server_tcp,
         reporter_condprint_burst_interval_report_server_tcp, tcp_output_burst_read},
        {kMode_Server, 0, TEST_ISOCH, 0, kInterval_Frames, kReport_Default,
         reporter_handle_packet_server_tcp, nullptr, reporter_transfer_protocol_server_tcp,
         reporter_condprint_frame_interval_report_server_tcp, tcp_output_frame_read_triptime},
        {kMode_Server, 0, 0, EXT_BOUNCEBACK, kInterval_None, kReport_CSV, nullptr,
         reporter_handle_packet_server_tcp, reporter_transfer_protocol_server_tcp, nullptr,
         tcp_output_basic_csv},
        {kMode_Server, 0, TEST_SUM_ONLY, EXT_BOUNCEBACK, kInterval_None, kReport_Default, nullptr,
         reporter_handle_packet_bb_server, reporter_transfer_protocol_server_bb_tcp, nullptr,
         tcp_output_write},
        {kMode_Server, OPT_ENHANCED, TEST_TRIP_TIMES | TEST_ISOCH, 0, kInterval_None,
         kReport_Default, nullptr, reporter_handle_packet_server_tcp,
         reporter_transfer_protocol_server_tcp, nullptr, tcp_output_read_enhanced_isoch},
        {kMode_Server, OPT_ENHANCED, TEST_TRIP_TIMES, 0, kInterval_None, kReport_Default, nullptr,
         reporter_handle_packet_server_tcp, reporter_transfer_protocol_server_tcp, nullptr,
         tcp_output_read_triptime},
        {kMode_Server, OPT_ENHANCED, 0, 0, kInterval_Time, kReport_Default, nullptr,
         reporter_handle_packet_server_tcp, reporter_transfer_protocol_server_tcp,
         reporter_condprint_time_interval_report, tcp_output_read_enhanced},
        {kMode_Server, 0, 0, 0, kInterval_None, kReport_Default, nullptr,
         reporter_handle_packet_server_tcp, reporter_transfer_protocol_server_tcp, nullptr,
         tcp_output_read},
        // Client, UDP.
        {kMode_Client, OPT_UDP, TEST_SUM_ONLY, 0, kInterval_None, kReport_Default, nullptr,
         reporter_handle_packet_client, reporter_transfer_protocol_client_udp, nullptr, nullptr},
        {kMode_Client, OPT_UDP | OPT_ENHANCED, TEST_ISOCH, 0, kInterval_None, kReport_Default,
         nullptr, reporter_handle_packet_client, reporter_transfer_protocol_client_udp, nullptr,
         udp_output_write_enhanced_isoch},
        {kMode_Client, OPT_UDP | OPT_ENHANCED, 0, 0, kInterval_None, kReport_Default, nullptr,
         reporter_handle_packet_client, reporter_transfer_protocol_client_udp, nullptr,
         udp_output_write_enhanced},
        {kMode_Client, OPT_UDP, 0, 0, kInterval_None, kReport_Default, nullptr,
         reporter_handle_packet_client, reporter_transfer_protocol_client_udp, nullptr,
         udp_output_write},
        // Client, TCP.
        {kMode_Client, 0, TEST_ISOCH, EXT_BOUNCEBACK, kInterval_None, kReport_Default, nullptr,
         reporter_handle_packet_bb_client, reporter_transfer_protocol_client_bb_tcp, nullptr,
         tcp_output_write_bb},
        {kMode_Client, OPT_ENHANCED, TEST_ISOCH, EXT_WRITE_TIMES, kInterval_None, kReport_Default,
         nullptr, reporter_handle_packet_client, reporter_transfer_protocol_client_tcp, nullptr,
         tcp_output_write_enhanced_isoch},
        {kMode_Client, OPT_ENHANCED, 0, EXT_WRITE_TIMES, kInterval_None, kReport_Default, nullptr,
         reporter_handle_packet_client, reporter_transfer_protocol_client_tcp, nullptr,
         tcp_output_write_enhanced_write},
        {kMode_Client, OPT_ENHANCED, 0, 0, kInterval_None, kReport_Default, nullptr,
         reporter_handle_packet_client, reporter_transfer_protocol_client_tcp, nullptr,
         tcp_output_write_enhanced},
        {kMode_Client, 0, 0, 0, kInterval_None, kReport_Default, nullptr,
         reporter_handle_packet_client, reporter_transfer_protocol_client_tcp, nullptr,
         tcp_output_write},
    };
    int row = 0;
    for (const auto &c : cases) {
        SettingsPtr s = make_settings(c.mode, c.options, c.tests, c.extras);
        s->interval_mode = c.interval;
        s->interval_usec = 1000000;
        s->report_mode = c.style;
        NodePtr node(InitIndividualReport(s.get()));
        ASSERT_NE(node, nullptr);
        EXPECT_EQ(node->type, DATA_REPORT);
        EXPECT_EQ(node->style, c.style);
        IndividualReport *r = data_of(node.get());
        EXPECT_EQ(r->packet_handler_pre_report, c.pre) << "row " << row;
        EXPECT_EQ(r->packet_handler_post_report, c.packet) << "row " << row;
        EXPECT_EQ(r->transfer_protocol_handler, c.transfer) << "row " << row;
        EXPECT_EQ(r->transfer_interval_handler, c.interval_handler) << "row " << row;
        EXPECT_EQ(r->info.output_handler, c.output) << "row " << row;
        ++row;
    }
    // The names that are one routine, and the ones that are not.
    EXPECT_EQ(udp_output_write, tcp_output_read);
    EXPECT_NE(static_cast<OutputHandler>(udp_output_read), tcp_output_read);
}

TEST(IndividualReport, UnknownThreadModeIsRefused) {
    SettingsPtr s = make_settings(kMode_Listener);  // no thread: thread_stop returns
    testing::internal::CaptureStderr();
    EXPECT_EQ(InitIndividualReport(s.get()), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "InitIndividualReport\n failed\n");
}

TEST(IndividualReport, RingSizes) {
    const struct {
        int32_t structs;
        uint32_t options;
        uint32_t slots;
        uint32_t uselock;
        const char *printed;
    } cases[] = {
        {0, 0, 10000, 1, ""},
        {50, 0, 50, 1, "[  7] NUM_REPORT_STRUCTS override from 10000 to 50\n"},
        {1, 0, 2, 1, "[  7] NUM_REPORT_STRUCTS override from 10000 to 2\n"},
        {50, OPT_SINGLE_UDP, 40, 0, ""},
    };
    for (const auto &c : cases) {
        SettingsPtr s = make_settings(kMode_Server, c.options);
        s->num_report_structs = c.structs;
        testing::internal::CaptureStdout();
        NodePtr node(InitIndividualReport(s.get()));
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed);
        PacketRing *ring = data_of(node.get())->packetring;
        EXPECT_EQ(ring->maxcount, c.slots) << c.structs;
        EXPECT_EQ(ring->uselock, c.uselock) << c.structs;
        EXPECT_EQ(ring->awake_consumer, &ReportCond.await);
        if (c.uselock) {
            EXPECT_EQ(ring->awake_producer_mutex, &s->await.mutex);
        }
    }
}

TEST(IndividualReport, Histograms) {
    SettingsPtr s = make_settings(kMode_Server, OPT_UDP, TEST_TRIP_TIMES | TEST_HISTOGRAM);
    s->histogram_bins = 1000;
    s->histogram_binwidth = 1;
    s->histogram_units = 3;
    s->histogram_ci_lower = 5;
    s->histogram_ci_upper = 95;
    s->transfer_id = 3;
    s->buf_len = 1470;
    NodePtr server(InitIndividualReport(s.get()));
    const StreamStats &info = data_of(server.get())->info;
    ASSERT_NE(info.transit_histogram, nullptr);
    EXPECT_STREQ(info.transit_histogram->myname, "T8");
    EXPECT_EQ(info.transit_histogram->bincount, 1000);
    EXPECT_EQ(info.transit_histogram->units, 1000.0f);
    EXPECT_EQ(info.transit_histogram->id, 3);
    EXPECT_EQ(info.framelatency_histogram, nullptr);
    EXPECT_EQ(info.read.binsize, 183);

    SettingsPtr tcp = make_settings(kMode_Server, 0, TEST_TRIP_TIMES | TEST_HISTOGRAM);
    NodePtr tcp_server(InitIndividualReport(tcp.get()));
    EXPECT_EQ(data_of(tcp_server.get())->info.transit_histogram, nullptr);
    ASSERT_NE(data_of(tcp_server.get())->info.framelatency_histogram, nullptr);
    EXPECT_STREQ(data_of(tcp_server.get())->info.framelatency_histogram->myname, "F8");

    SettingsPtr writer = make_settings(kMode_Client, 0, TEST_HISTOGRAM, EXT_WRITE_TIMES);
    NodePtr write_client(InitIndividualReport(writer.get()));
    ASSERT_NE(data_of(write_client.get())->info.write_histogram, nullptr);
    EXPECT_STREQ(data_of(write_client.get())->info.write_histogram->myname, "W8");

    SettingsPtr bb = make_settings(kMode_Client, 0, 0, EXT_BOUNCEBACK);
    NodePtr bb_client(InitIndividualReport(bb.get()));
    const Histogram *h = data_of(bb_client.get())->info.bbrtt_histogram;
    ASSERT_NE(h, nullptr);
    EXPECT_STREQ(h->myname, "BB8");
    EXPECT_EQ(h->bincount, 100000);
    EXPECT_EQ(h->binwidth, 100);
    EXPECT_EQ(h->units, 1000000.0f);
    EXPECT_EQ(bb->histogram_bins, 100000);
    EXPECT_EQ(bb->histogram_units, 6);
}

// --- Freeing ---

TEST(FreeReport, CpuBoundWarning) {
    const struct {
        int64_t bytes;
        IntervalMode interval;
        uint32_t options;
        int32_t suspends;
        bool warns;
    } cases[] = {
        {1000, kInterval_Time, 0, 0, true},
        {1000, kInterval_Time, 0, 1, true},
        {1000, kInterval_Time, 0, 2, true},
        {1000, kInterval_Time, 0, 3, false},
        {0, kInterval_Time, 0, 0, false},
        {1000, kInterval_None, 0, 0, false},
        {1000, kInterval_Time, OPT_SINGLE_UDP, 0, false},
    };
    for (const auto &c : cases) {
        SettingsPtr s = make_settings(kMode_Client, c.options);
        s->interval_mode = c.interval;
        s->interval_usec = 1000000;
        ReportNode *node = InitIndividualReport(s.get());
        data_of(node)->info.TotalBytes = c.bytes;
        data_of(node)->reporter_thread_suspends = c.suspends;
        testing::internal::CaptureStdout();
        FreeReport(node);
        const std::string expected =
            c.warns ? "WARN: this test may have been CPU bound (" + std::to_string(c.suspends) +
                          ") (or may not be detecting the underlying network devices)\n"
                    : "";
        EXPECT_EQ(testing::internal::GetCapturedStdout(), expected) << c.suspends;
    }
}

TEST(FreeReport, OneShotKindsAndUnknownKind) {
    SettingsPtr s = make_settings(kMode_Client);
    s->sock = -1;
    FreeReport(InitSettingsReport(s.get()));
    FreeReport(InitConnectionReport(s.get()));
    UdpServerReport server{};
    FreeReport(InitServerRelayUDPReport(s.get(), &server));
    FreeConnectionReport(InitConnectOnlyReport(s.get()));
    FreeReport(nullptr);

    auto *node = static_cast<ReportNode *>(calloc(1, sizeof(ReportNode)));
    node->type = 0x2f;
    testing::internal::CaptureStderr();
    FreeReport(node);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Invalid report type in free (2f)\n");
}

// --- One-shot reports ---

TEST(OneShotReports, SettingsReportFigures) {
    SettingsPtr s = make_settings(kMode_Client, OPT_UDP, TEST_ISOCH);
    s->frame_rate = 60;
    s->isoch_mean = 20e6;
    s->variance = 8e6;
    s->burst_ipg = 0.0125;
    s->window_size = 65536;
    NodePtr node(InitSettingsReport(s.get()));
    auto *r = static_cast<SettingsReport *>(node->this_report);
    EXPECT_EQ(node->type, SETTINGS_REPORT);
    EXPECT_EQ(r->isoch_mean_bytes, 2.5e6);
    EXPECT_EQ(r->isoch_variance_bytes, 1e6);
    EXPECT_EQ(r->isoch_ipg_us, 12u);
    EXPECT_EQ(r->isoch_period_us, 16666u);
    EXPECT_EQ(r->win_requested, 65536);
    EXPECT_EQ(r->mss, 0);
}

TEST(OneShotReports, ConnectionReportEpochAndHoldBack) {
    SettingsPtr s = make_settings(kMode_Client, OPT_ENHANCED, TEST_TXSTART | TEST_TRIP_TIMES);
    s->sock = -1;
    s->txstart_sec = 50;
    s->txstart_usec = 5;
    s->trip_start_sec = 60;
    s->txdelay_sec = 2;
    s->txdelay_usec = 250000;
    s->window_size = 1000;
    s->connect_stats.connect_time_ms = 1.25;
    NodePtr node(InitConnectionReport(s.get()));
    auto *r = static_cast<ConnectionReport *>(node->this_report);
    EXPECT_EQ(node->type, CONNECTION_REPORT);
    EXPECT_EQ(r->epochStartTime.tv_sec, 50);
    EXPECT_EQ(r->epochStartTime.tv_usec, 5);
    EXPECT_EQ(r->txholdbacktime.tv_sec, 2);
    EXPECT_EQ(r->txholdbacktime.tv_usec, 250000);
    EXPECT_EQ(r->tcpinitstats.connect_time_ms, 1.25);
    EXPECT_EQ(r->common->window_size_requested, 1000);
    EXPECT_EQ(r->connect_times.cnt, 0);

    s->option_flags &= ~OPT_ENHANCED;
    NodePtr trip(InitConnectionReport(s.get()));
    EXPECT_EQ(static_cast<ConnectionReport *>(trip->this_report)->epochStartTime.tv_sec, 60);
}

TEST(OneShotReports, ServerRelayCarriesTheServersFigures) {
    SettingsPtr s = make_settings(kMode_Client, OPT_UDP | OPT_ENHANCED);
    UdpServerReport server{};
    server.total_bytes = (5ULL << 32) + 7;
    server.end_time_s = 10.5;
    server.lost = 3;
    server.out_of_order = 2;
    server.datagrams = 1000;
    server.jitter_s = 0.001;
    NodePtr plain(InitServerRelayUDPReport(s.get(), &server));
    auto *r = static_cast<ServerRelayReport *>(plain->this_report);
    EXPECT_EQ(plain->type, SERVER_RELAY_REPORT);
    EXPECT_EQ(r->info.TotalBytes, static_cast<int64_t>((5ULL << 32) + 7));
    EXPECT_EQ(r->info.iStart, 0);
    EXPECT_EQ(r->info.iEnd, 10.5);
    EXPECT_EQ(r->info.cntError, 3);
    EXPECT_EQ(r->info.cntOutofOrder, 2);
    EXPECT_EQ(r->info.cntDatagrams, 1000);
    EXPECT_EQ(r->info.common, r->common);
    EXPECT_FALSE(r->common->option_flags & OPT_ENHANCED);

    server.enhanced = true;
    server.transit_min_s = 0.001;
    server.transit_m2_s2 = 4e-6;
    server.transit_count = 999;
    server.ipg_count = 100;
    server.ipg_sum = 1;
    NodePtr extended(InitServerRelayUDPReport(s.get(), &server));
    r = static_cast<ServerRelayReport *>(extended->this_report);
    EXPECT_TRUE(r->common->option_flags & OPT_ENHANCED);
    EXPECT_EQ(r->info.transit.min, 0.001);
    EXPECT_EQ(r->info.transit.m2, 4e-6);
    EXPECT_EQ(r->info.transit.cnt, 999);
    EXPECT_EQ(r->info.cntIPG, 100);
    EXPECT_EQ(r->info.IPGsum, 1);
}

// --- Hand-off ---

// Takes everything posted so far (as the reporter does under ReportCond).
ReportNode *take_pending() {
    pthread_mutex_lock(&ReportCond.mutex);
    ReportNode *head = ReportPendingHead;
    ReportPendingHead = ReportPendingTail = nullptr;
    pthread_mutex_unlock(&ReportCond.mutex);
    return head;
}

TEST(PostReport, AppendsInOrder) {
    take_pending();
    SettingsPtr s = make_settings(kMode_Client);
    s->sock = -1;
    ReportNode *a = InitSettingsReport(s.get());
    ReportNode *b = InitConnectionReport(s.get());
    PostReport(a);
    PostReport(nullptr);
    PostReport(b);
    ReportNode *head = take_pending();
    ASSERT_EQ(head, a);
    EXPECT_EQ(a->next, b);
    EXPECT_EQ(b->next, nullptr);
    FreeReport(a);
    FreeReport(b);
}

TEST(EndJob, SingleThreadedProcessesAtOnce) {
    SettingsPtr s = make_settings(kMode_Server, OPT_UDP | OPT_SINGLE_UDP);
    ReportNode *node = InitIndividualReport(s.get());
    IndividualReport *r = data_of(node);
    PacketRecord record{};
    for (int i = 1; i <= 100; ++i) {
        record.packetID = i;
        record.packetLen = 1470;
        EXPECT_EQ(ReportPacket(r, &record), 0);
        EXPECT_TRUE(packetring_empty(r->packetring));
    }
    EXPECT_EQ(EndJob(node, &record), 1);
    EXPECT_TRUE(packetring_empty(r->packetring));
    FreeReport(node);
}

// A reporter stand-in for the hand-off tests: takes posted data reports,
// drains their rings in order and marks each done after its final record.
class TestReporter {
  public:
    TestReporter() : thread_([this] { run(); }) {}
    ~TestReporter() {
        stop_ = true;
        pthread_cond_signal(&ReportCond.await);
        thread_.join();
    }
    std::atomic<uint64_t> records{0};
    std::atomic<uint64_t> order_errors{0};
    std::atomic<int> finished{0};

  private:
    void run() {
        std::vector<ReportNode *> active;
        std::vector<int64_t> last_id;
        while (!stop_ || !active.empty()) {
            pthread_mutex_lock(&ReportCond.mutex);
            if (!ReportPendingHead && active.empty()) {
                timespec deadline;
                clock_gettime(CLOCK_REALTIME, &deadline);
                deadline.tv_nsec += 10000000;
                if (deadline.tv_nsec >= 1000000000) {
                    deadline.tv_sec += 1;
                    deadline.tv_nsec -= 1000000000;
                }
                pthread_cond_timedwait(&ReportCond.await, &ReportCond.mutex, &deadline);
            }
            for (ReportNode *n = ReportPendingHead; n; n = n->next) {
                active.push_back(n);
                last_id.push_back(0);
            }
            ReportPendingHead = ReportPendingTail = nullptr;
            pthread_mutex_unlock(&ReportCond.mutex);
            for (size_t i = 0; i < active.size();) {
                if (drain(data_of(active[i]), &last_id[i])) {
                    active.erase(active.begin() + static_cast<long>(i));
                    last_id.erase(last_id.begin() + static_cast<long>(i));
                } else {
                    ++i;
                }
            }
            if (!active.empty()) sched_yield();
        }
    }
    // True after the final record; the ring is then marked done.
    bool drain(IndividualReport *r, int64_t *last) {
        while (PacketRecord *record = packetring_dequeue(r->packetring)) {
            if (record->packetID < 0) {
                finished.fetch_add(1);
                packetring_set_consumer_done(r->packetring);
                return true;
            }
            if (record->packetID != *last + 1) order_errors.fetch_add(1);
            *last = record->packetID;
            records.fetch_add(1);
        }
        return false;
    }
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST(EndJobThreads, WaitsUntilTheReporterDrainedTheRing) {
    take_pending();
    TestReporter reporter;
    constexpr int kStreams = 3;
    constexpr int64_t kRecords = 20000;
    std::vector<std::thread> streams;
    std::atomic<int> ended{0};
    testing::internal::CaptureStdout();  // the ring size override lines
    testing::internal::CaptureStderr();  // and the too-slow warnings of so small a ring
    // Records are made here: the start-up code builds them on one thread.
    std::vector<SettingsPtr> records;
    for (int k = 0; k < kStreams; ++k) {
        records.push_back(make_settings(kMode_Client));
        records.back()->num_report_structs = 16;  // far smaller than the stream: producers wait
    }
    for (int k = 0; k < kStreams; ++k) {
        streams.emplace_back([&, k] {
            thread_Settings *s = records[k].get();
            ReportNode *node = InitIndividualReport(s);
            PostReport(node);
            PacketRecord record{};
            for (int64_t i = 1; i <= kRecords; ++i) {
                record.packetID = i;
                record.packetLen = 100;
                ReportPacket(data_of(node), &record);
            }
            EXPECT_EQ(EndJob(node, &record), 1);
            // Everything of this stream was taken before EndJob returned.
            EXPECT_EQ(data_of(node)->packetring->consumerdone.load(), 1u);
            EXPECT_TRUE(packetring_empty(data_of(node)->packetring));
            ended.fetch_add(1);
            FreeReport(node);
        });
    }
    for (auto &t : streams) t.join();
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(ended.load(), kStreams);
    EXPECT_EQ(reporter.finished.load(), kStreams);
    EXPECT_EQ(reporter.records.load(), static_cast<uint64_t>(kStreams * kRecords));
    EXPECT_EQ(reporter.order_errors.load(), 0u);
}

// Both directions of a full-duplex stream pass the stop barrier; the sum is
// freed once, by the last to leave (ASan checks that nothing is freed twice
// or used after its release).
TEST(EndJobThreads, FullDuplexSumFreedByTheLastDirection) {
    take_pending();
    TestReporter reporter;
    SettingsPtr base = make_settings(kMode_Client, 0, TEST_FULL_DUPLEX);
    SumReport *fd = InitSumReport(base.get(), -1, true);
    base->fullduplex_report = fd;
    int results[2] = {-1, -1};
    std::vector<std::thread> legs;
    for (int k = 0; k < 2; ++k) {
        legs.emplace_back([&, k] {
            thread_Settings *copy = nullptr;
            Settings_Copy(base.get(), &copy, false);
            SettingsPtr s(copy);
            ReportNode *node = InitIndividualReport(s.get());
            PostReport(node);
            PacketRecord record{};
            for (int64_t i = 1; i <= 1000; ++i) {
                record.packetID = i;
                ReportPacket(data_of(node), &record);
            }
            results[k] = EndJob(node, &record);
            EXPECT_EQ(data_of(node)->FullDuplexReport, nullptr);
            FreeReport(node);
        });
    }
    for (auto &t : legs) t.join();
    EXPECT_EQ(results[0], 1);
    EXPECT_EQ(results[1], 1);
}

// One direction arrives alone and times out; the late partner still finds the
// sum and frees it.
TEST(EndJobThreads, FullDuplexBarrierTimeoutThenLatePartner) {
    take_pending();
    TestReporter reporter;
    SettingsPtr base = make_settings(kMode_Client, 0, TEST_FULL_DUPLEX);
    SumReport *fd = InitSumReport(base.get(), -1, true);
    ASSERT_EQ(fd->fullduplex_barrier.timeout_s, 3);
    base->fullduplex_report = fd;
    auto leg = [&]() {
        thread_Settings *copy = nullptr;
        Settings_Copy(base.get(), &copy, false);
        SettingsPtr s(copy);
        ReportNode *node = InitIndividualReport(s.get());
        PostReport(node);
        PacketRecord record{};
        record.packetID = 1;
        ReportPacket(data_of(node), &record);
        const int result = EndJob(node, &record);
        FreeReport(node);
        return result;
    };
    testing::internal::CaptureStdout();
    int first = -1;
    std::thread early([&] { first = leg(); });
    early.join();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Barrier timeout per full duplex traffic\n");
    EXPECT_EQ(first, 0);
    int second = -1;
    std::thread late([&] { second = leg(); });
    late.join();
    EXPECT_EQ(second, 1);
}

}  // namespace
