// The active host table's own reference on a group sum while a stream the
// listener accepted joins the group: another stream of the host that ends in
// the meantime must not let the sum be freed under the joining one.
//
// The reporter's part is played by the test: a member report takes a
// reference (IncrSumReportRefCounter) and its final record drops it; the one
// that drops the last reference frees the sum, as the reporter does.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "toril/core/active_hosts.h"
#include "toril/reporting/report.h"

namespace {

thread_Settings *new_stream(const char *ip, uint16_t port) {
    thread_Settings global;
    Settings_Initialize(&global);
    thread_Settings *s = nullptr;
    Settings_Copy(&global, &s, true);
    auto *a = reinterpret_cast<sockaddr_in *>(&s->peer);
    *a = sockaddr_in{};
    a->sin_family = AF_INET;
    a->sin_port = htons(port);
    inet_pton(AF_INET, ip, &a->sin_addr);
    s->thread_mode = kMode_Server;
    return s;
}

// What the reporter does with a member's final record. True when it freed
// the sum.
bool reporter_final(SumReport *sum) {
    if (DecrSumReportRefCounter(sum) != 0) return false;
    FreeSumReport(sum);
    return true;
}

// A server stream from accept to its end, in the order the server keeps:
// the host leaves the table before the report's final record.
struct Stream {
    thread_Settings *record;
    void accept() { ASSERT_GE(Toril_push_host_joining(record), 1); }
    void report() {
        IncrSumReportRefCounter(record->sum_report);
        Toril_host_reported(record);
    }
    bool end() {
        SumReport *sum = record->sum_report;
        Toril_remove_host(record);
        return reporter_final(sum);
    }
};

class ActiveHostsJoining : public testing::Test {
  protected:
    void SetUp() override { Toril_initialize_active_table(); }
    void TearDown() override {
        Toril_destroy_active_table();
        for (thread_Settings *s : records_) Settings_Destroy(s);
    }
    Stream stream(const char *ip, uint16_t port) {
        records_.push_back(new_stream(ip, port));
        return Stream{records_.back()};
    }
    std::vector<thread_Settings *> records_;
};

TEST_F(ActiveHostsJoining, AStreamEndingWhileAnotherJoinsLeavesTheSumToTheJoiner) {
    Stream a = stream("127.0.0.1", 40001);
    Stream b = stream("127.0.0.1", 40002);
    a.accept();
    a.report();
    b.accept();  // header not read yet: no report of its own
    SumReport *sum = b.record->sum_report;
    ASSERT_EQ(sum, a.record->sum_report);
    EXPECT_FALSE(a.end()) << "the sum was freed while a stream was joining it";
    b.report();
    EXPECT_EQ(sum->reference_count, 1);
    // Two members, and the table's references never counted as one.
    EXPECT_EQ(sum->reference_maxcount, 2);
    EXPECT_TRUE(b.end());
    EXPECT_EQ(active_table.count, 0);
}

TEST_F(ActiveHostsJoining, ASingleStreamCountsAsOneMember) {
    Stream a = stream("127.0.0.1", 40001);
    a.accept();
    SumReport *sum = a.record->sum_report;
    a.report();
    EXPECT_EQ(sum->reference_count, 1);
    EXPECT_EQ(sum->reference_maxcount, 1);  // no group line for one stream
    EXPECT_TRUE(a.end());
}

TEST_F(ActiveHostsJoining, AJoinerDroppedBeforeItsReportFreesASumNobodyElseHolds) {
    // Under ASan a leak or a second free here fails the test.
    Stream lone = stream("127.0.0.1", 40001);
    lone.accept();
    Toril_remove_host(lone.record);
    EXPECT_EQ(lone.record->sum_report, nullptr);
    EXPECT_EQ(active_table.count, 0);

    // A joiner dropped while a member still reports leaves the sum to it.
    Stream a = stream("127.0.0.2", 40001);
    Stream b = stream("127.0.0.2", 40002);
    a.accept();
    a.report();
    b.accept();
    SumReport *sum = a.record->sum_report;
    Toril_remove_host(b.record);
    EXPECT_EQ(sum->reference_count, 1);
    EXPECT_EQ(sum->reference_maxcount, 1);
    EXPECT_TRUE(a.end());
}

// Streams put in the table without a hold (a client's full-duplex pair, a
// server's sending direction) that leave without ever reporting, as when
// their connect is refused: the last one out frees the sum. Under ASan a
// leak or a second free here fails the test.
TEST_F(ActiveHostsJoining, StreamsThatNeverReportedFreeTheirSumWhenTheLastLeaves) {
    Stream sending = stream("127.0.0.3", 40001);
    Stream receiving = stream("127.0.0.3", 40001);
    ASSERT_GE(Toril_push_host(sending.record), 1);
    ASSERT_GE(Toril_push_host(receiving.record), 1);
    ASSERT_NE(sending.record->sum_report, nullptr);
    Toril_remove_host(receiving.record);
    EXPECT_EQ(active_table.count, 1);
    Toril_remove_host(sending.record);
    EXPECT_EQ(sending.record->sum_report, nullptr);
    EXPECT_EQ(active_table.count, 0);
}

TEST_F(ActiveHostsJoining, PortConditionalJoiningRefusesARunningAddressAndPort) {
    Stream a = stream("127.0.0.1", 40001);
    Stream again = stream("127.0.0.1", 40001);
    EXPECT_EQ(Toril_push_host_port_conditional_joining(a.record), 1);
    EXPECT_EQ(Toril_push_host_port_conditional_joining(again.record), -1);
    EXPECT_EQ(again.record->sum_report, nullptr);
    a.report();
    EXPECT_EQ(a.record->sum_report->reference_count, 1);
    EXPECT_TRUE(a.end());
}

// Streams of one host come and go on two threads while a third keeps joining
// and leaving before its report: every sum is freed exactly once and never
// used after (checked by the sanitizers), and the last one out frees it.
TEST_F(ActiveHostsJoining, StreamsComingAndGoingOnSeveralThreads) {
    constexpr int kRounds = 2000;
    std::atomic<int> freed{0};
    std::vector<thread_Settings *> own(3);
    for (int i = 0; i < 3; ++i) {
        records_.push_back(new_stream("127.0.0.1", static_cast<uint16_t>(40001 + i)));
        own[i] = records_.back();
    }
    auto member = [&](thread_Settings *record) {
        Stream s{record};
        for (int i = 0; i < kRounds; ++i) {
            s.accept();
            s.report();
            if (s.end()) freed.fetch_add(1);
        }
    };
    auto dropped = [&](thread_Settings *record) {
        for (int i = 0; i < kRounds; ++i) {
            Toril_push_host_joining(record);
            Toril_remove_host(record);
        }
    };
    std::thread t1(member, own[0]);
    std::thread t2(member, own[1]);
    std::thread t3(dropped, own[2]);
    t1.join();
    t2.join();
    t3.join();
    EXPECT_EQ(active_table.count, 0);
    EXPECT_GE(freed.load(), 1);
}

}  // namespace
