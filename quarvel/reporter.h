// quarvel's reporter: the report objects the traffic threads feed, the ring
// that carries one record per read or write, and the reporter thread that
// keeps the statistics and prints every report line.
//
// Objects:
//   PacketReport  one read, write or datagram (64 bytes, copied into a slot).
//   TransferInfo  the values of one printed line.
//   DataReport    one per traffic thread (InitReport), with a ring of
//                 kReportRingSlots records; also the one-shot reports
//                 (settings, connection only, server statistics) without a ring.
//   GroupReport   the streams of one client (-P 2 or more) or the tests of
//                 one host on a server (InitMulti): the start barrier and the
//                 [SUM] lines.
//
// Who frees what: every posted DataReport is unlinked and freed by the
// reporter thread: a data report on the pass after its traffic thread called
// EndReport, a one-shot report after its one print. A GroupReport lives to the
// end of the process (FreeMulti exists for tests that made one).
//
// Threads: InitReport, BarrierClient, ReportPacket, CloseReport, EndReport and
// GetReport run on the traffic thread that owns the report; ReportSettings,
// ReportServerUDP and InitMulti on any thread. Everything else runs on the
// reporter thread only (reporter_spawn), or on a test's single thread that
// stands in for it through reporter_process_reports.
#pragma once

#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/sockopt.h"
#include "quarvel/settings.h"

// Slots of a data report's ring.
constexpr int kReportRingSlots = 10000;

// Interval slots of a group, each collecting one interval of every member.
constexpr int kGroupSlots = 5;

// Read-size bins of a TCP receiver.
constexpr int kReadBins = 8;

// DataReport::kinds, one bit per thing still to print.
constexpr uint32_t REPORT_DATA = 0x1;          // interval and final lines (kind 1)
constexpr uint32_t REPORT_SERVER_STATS = 0x2;  // the server report a UDP client got
constexpr uint32_t REPORT_SETTINGS = 0x4;      // the settings banner
constexpr uint32_t REPORT_CONNECTION = 0x8;    // the connection line
constexpr uint32_t REPORT_SUM = 0x10;          // a [SUM] line (printing only)

// Line roles.
constexpr int32_t kUdpRole_None = 0;
constexpr int32_t kRole_Receiver = 1;  // server
constexpr int32_t kRole_Sender = 2;    // client

// One read, write or datagram.
struct PacketReport {
    int32_t number;       // UDP datagram number; 0 for TCP; -1 closes the report
    int64_t length;       // bytes of this call
    timeval packet_time;  // when the call completed (receiver: arrival)
    timeval sent_time;    // the sender's time stamp (UDP receiver)
    int32_t error_mark;   // 1: the write failed
    int32_t empty_mark;   // non-zero: no data (nothing read, or a time-out)
    int32_t spare;        // not interpreted
};
static_assert(sizeof(PacketReport) == 64, "one ring slot is 64 bytes");

// Transit statistics: max, min, sum and last in seconds; mean, M2 and the
// last deviation in microseconds.
struct TransitStats {
    double max;
    double min;
    double sum;
    double last;
    double mean;
    double m2;
    double deviation;
    int64_t count;
};

// TCP counters of one line.
struct TcpCounters {
    int64_t writes;
    int64_t write_errors;
    int64_t retries;
    int64_t reads;
    int64_t bins[kReadBins];
};

// Longest CSV peer text: two addresses, two ports and three commas.
constexpr size_t kCsvPeerMax = 2 * INET6_ADDRSTRLEN + 16;

// The values one printed line shows.
struct TransferInfo {
    char csv_peer[kCsvPeerMax];  // "local,port,peer,port" in CSV style; "" when none
    int32_t transfer_id;         // the socket (a group's number for a sum)
    int64_t lost;
    int64_t out_of_order;
    int64_t datagrams;
    int64_t packets;             // datagrams seen in the interval, for the packet rate
    TransitStats transit;        // of the interval
    TransitStats total_transit;  // of the whole test
    TcpCounters tcp;             // of the interval
    TcpCounters tcp_total;       // of the whole test
    uint32_t cwnd_kbytes;        // sender: last sampled congestion window
    uint32_t rtt_us;             // sender: last sampled smoothed RTT
    int32_t bin_width;           // receiver: buf_len / 8 bytes
    int64_t bytes;
    double jitter;      // seconds
    double start_time;  // seconds since the report's start
    double end_time;
    double gap_sum;  // seconds between successive arrivals in the interval
    char format;     // the report unit letter
    int32_t enhanced;
    int32_t udp_role;  // kUdpRole_None, kRole_Receiver or kRole_Sender
    int32_t tcp_role;  // kRole_Receiver or kRole_Sender
    int32_t final;
};

// The part of a thread's settings a report keeps, so that it outlives them.
struct ReportedSettings {
    std::string host;        // "" when none
    std::string local_host;  // "" when none
    uint32_t option_flags;
    ReportMode report_mode;
    char format;
    int32_t buf_len;
    int32_t mss;
    int32_t window_size;
    ThreadMode thread_mode;
    int32_t ttl;
    uint64_t rate;
    RateUnits rate_units;
    uint16_t port;
    int32_t sock;
    double interval;
    sockaddr_storage peer;
    uint32_t peer_len;
    sockaddr_storage local;
    uint32_t local_len;
};

struct GroupReport;

struct DataReport {
    // Ring indices, each written by its owner only. consumer_index (reporter):
    // the last slot processed, 9999 at start, -1 once the closing record has
    // been processed; its release store publishes the statistics of the
    // records before it. producer_index (traffic thread): the next slot to
    // write, 0 at start, -1 after EndReport; its release store publishes the
    // slot before it.
    alignas(64) std::atomic<int32_t> consumer_index;
    alignas(64) std::atomic<int32_t> producer_index;

    alignas(64) uint32_t kinds;  // REPORT_* bits still to handle
    ReportedSettings settings;

    // Counters, each with its value at the last interval line.
    int64_t lost, last_lost;
    int64_t out_of_order, last_out_of_order;
    int64_t datagrams, last_datagrams;
    int64_t highest, last_highest;  // highest datagram number
    int64_t bytes, last_bytes;

    timeval start_time;
    timeval packet_time;       // of the last record
    timeval prev_packet_time;  // of the datagram before
    timeval next_time;         // next interval boundary
    timeval interval;          // zero: no interval lines

    TcpStats tcp_sample;  // enhanced TCP sender: the last TCP_INFO sample

    TransferInfo info;

    GroupReport *group;  // or null
    int32_t group_id;    // -1 without a group

    PacketReport *ring;  // kReportRingSlots slots, data reports only
    DataReport *next;    // the list of posted reports
};

// One interval of a group's members being summed.
struct GroupSlot {
    TransferInfo info;
    double start;  // -1: free
    bool final;    // final lines start at 0 too; they never join an interval's slot
    int32_t contributions;
};

struct GroupReport {
    int32_t group_id;
    // Members that sum up: a client's threads; on a server the tests that
    // joined. Changed and read under lock.
    int32_t count;

    pthread_mutex_t lock;  // the start barrier and count
    pthread_cond_t cond;
    int32_t arrived;  // clients at the barrier so far
    bool start_set;
    timeval start_time;

    DataReport *sum;  // null with OPT_NO_MCAST_REPORT (then no [SUM] lines)
    GroupSlot slots[kGroupSlots];
};

// A condition with its mutex.
struct ReportCondition {
    pthread_cond_t cond;
    pthread_mutex_t mutex;
};

// Posted reports, newest first (under ReportCond.mutex).
extern DataReport *ReportRoot;
// Signalled when a report is posted or a ring needs draining.
extern ReportCondition ReportCond;
// Signalled (broadcast) when the reporter has made progress.
extern ReportCondition ReportDoneCond;

// --- Traffic threads ---

// The report of a traffic thread, posted to the reporter; null with -x D (then
// a connection-only report is posted unless -x C too). A client of a group
// first waits at the group's start barrier. Allocation failure prints
// "Out of Memory!!\n failed" and stops the thread.
DataReport *InitReport(thread_Settings *settings);

// The group of a client with threads >= 2 or of a server record, or null.
// Allocation failure as in InitReport.
GroupReport *InitMulti(thread_Settings *settings, int32_t group_id);

// Releases a group made by InitMulti (groups normally live to the end of the
// process). No member report may still use it. Null is ignored.
void FreeMulti(GroupReport *group);

// Waits until every client of the report's group has arrived; the report then
// starts at the group's start time.
void BarrierClient(DataReport *report);

// Copies record into the ring; waits while the ring is full. Null report: nothing.
void ReportPacket(DataReport *report, const PacketReport *record);

// Hands over a copy of record as the closing record (number -1, length 0;
// its packet time is the end of the test). The caller's record is unchanged.
void CloseReport(DataReport *report, const PacketReport *record);

// Waits until the reporter has processed the closing record, then gives the
// report up; the reporter frees it on its next pass. Null: nothing.
void EndReport(DataReport *report);

// Waits until the closing record has been processed and returns the final
// statistics, valid until EndReport: bytes, lost, out_of_order, datagrams (the
// highest number on a UDP receiver), jitter, end_time, packets (datagrams per
// second) and the whole test's transit in both transit and total_transit.
// Null report: null.
const TransferInfo *GetReport(DataReport *report);

// Posts the settings banner (nothing with OPT_NO_SETTINGS_REPORT).
void ReportSettings(thread_Settings *settings);

// A client's group sum takes the connection's local and peer addresses (ports
// 0). Nothing without a group, its sum report or with OPT_NO_MCAST_REPORT.
void UpdateMultiAddresses(thread_Settings *settings);

// Length of a server report from its flags word (offset 12 of the datagram).
constexpr size_t kServerReportBytes = 100;

// Posts the server report a UDP client received: report points at the flags
// word (offset 12 of the datagram) and length counts the bytes from there.
// Nothing when length is below kServerReportBytes, the flags lack 0x80000000
// or the client has OPT_NO_SERVER_REPORT.
void ReportServerUDP(thread_Settings *settings, const uint8_t *report, size_t length);

// --- Reporter thread ---

// The reporter thread's body: drains and prints every posted report, for ever.
// While nothing is posted it does not count as a running thread.
void reporter_spawn(thread_Settings *settings);

// One pass over the posted reports, oldest first, repeated while a pass
// finishes a report; finished reports are unlinked and freed, and
// ReportDoneCond is broadcast. Returns whether reports are still posted.
bool reporter_process_reports();

// Processes what report has to print and the records in its ring; true when
// the report is finished (may be freed).
bool reporter_process_report(DataReport *report);

// The record just taken from the ring; true for the closing record.
bool reporter_handle_packet(DataReport *report, const PacketReport *record);

// Prints the interval lines due by the report's packet time, or the final line.
void reporter_condprintstats(DataReport *report, GroupReport *group, bool final);

// Adds a member's line to the group's interval slot; prints the [SUM] line
// once every member has contributed.
void reporter_handle_multiple_reports(GroupReport *group, const TransferInfo *line, bool final);

// Prints one kind (REPORT_* bit) of report in the report's style and flushes
// standard output.
void reporter_print(DataReport *report, uint32_t kind, bool final);

// Enhanced TCP sender: samples TCP_INFO into the report's line (warning
// "getsockopt" when it cannot be read; the line's retransmissions are then 0).
void gettcpistats(DataReport *report);
