// Helpers of the reporter tests: settings records for reports, records at
// chosen times, and a single-threaded stand-in for the reporter thread.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <cstring>
#include <string>

#include "common/sockaddr.h"
#include "quarvel/report_formats.h"
#include "quarvel/reporter.h"
#include "quarvel/settings.h"

namespace reportertest {

// Every test clock starts here (a real-time second in 2023).
constexpr time_t kBaseSec = 1700000000;

inline timeval at(double offset_s) {
    const long long total_us =
        static_cast<long long>(offset_s * 1e6 + (offset_s >= 0 ? 0.5 : -0.5));
    timeval tv;
    tv.tv_sec = kBaseSec + total_us / 1000000;
    tv.tv_usec = total_us % 1000000;
    if (tv.tv_usec < 0) {
        tv.tv_sec--;
        tv.tv_usec += 1000000;
    }
    return tv;
}

// A datagram that arrived arrival_s after the base and spent transit_s on the way.
inline PacketReport datagram(int32_t number, int64_t length, double arrival_s, double transit_s) {
    PacketReport r = {};
    r.number = number;
    r.length = length;
    r.packet_time = at(arrival_s);
    r.sent_time = at(arrival_s - transit_s);
    return r;
}

// A TCP read or write (or a UDP send) at offset_s.
inline PacketReport transfer(int64_t length, double offset_s) {
    PacketReport r = {};
    r.length = length;
    r.packet_time = at(offset_s);
    return r;
}

// An address of the family from its text, with the port.
inline sockaddr_storage address_of(sa_family_t family, const char *text, uint16_t port) {
    sockaddr_storage storage = {};
    storage.ss_family = family;
    void *raw = family == AF_INET6 ? static_cast<void *>(SockAddr_get_in6_addr(&storage))
                                   : static_cast<void *>(SockAddr_get_in_addr(&storage));
    inet_pton(family, text, raw);
    SockAddr_setPort(&storage, port);
    return storage;
}

inline sockaddr_storage ipv4(const char *text, uint16_t port) {
    return address_of(AF_INET, text, port);
}

inline sockaddr_storage ipv6(const char *text, uint16_t port) {
    return address_of(AF_INET6, text, port);
}

// Puts a posted report's clock at the base, as if it had started there.
inline void start_at_base(DataReport *report) {
    report->start_time = at(0);
    report->prev_packet_time = at(0);
    timeval next = at(0);
    next.tv_sec += report->interval.tv_sec;
    next.tv_usec += report->interval.tv_usec;
    if (next.tv_usec >= 1000000) {
        next.tv_sec++;
        next.tv_usec -= 1000000;
    }
    report->next_time = next;
}

// A settings record on the stack; texts, when a test sets them, stay the
// test's (the record is never destroyed).
struct Stream {
    thread_Settings s;
    Stream(ThreadMode mode, int sock, uint32_t extra_flags = 0) {
        Settings_Initialize(&s);
        s.thread_mode = mode;
        s.sock = sock;
        s.option_flags |= extra_flags;
        if (extra_flags & OPT_UDP) s.buf_len = 1470;
    }
    // The thread's report, started at the base; null when it has none.
    DataReport *open() {
        DataReport *report = InitReport(&s);
        if (report) start_at_base(report);
        return report;
    }
};

// Reporter passes until nothing is posted (a bounded number).
inline void drain() {
    for (int pass = 0; pass < 10 && reporter_process_reports(); pass++) {
    }
}

// Closing record at end_s, the reporter's pass over it, then the end of the report.
inline void finish(DataReport *report, double end_s) {
    const PacketReport closing = transfer(0, end_s);
    CloseReport(report, &closing);
    reporter_process_reports();
    EndReport(report);
    drain();
}

inline void feed(DataReport *report, const PacketReport &record) {
    ReportPacket(report, &record);
}

// Fresh process-wide reporter state for one test.
class ReporterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        drain();
        header_printed = false;
    }
    void TearDown() override { EXPECT_EQ(ReportRoot, nullptr) << "a report was left posted"; }

    static void capture() { ::testing::internal::CaptureStdout(); }
    static std::string captured() { return ::testing::internal::GetCapturedStdout(); }
};

}  // namespace reportertest
