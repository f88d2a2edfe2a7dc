// The report objects of toril and the calls by which traffic threads hand
// their records to the reporter thread.
//
// Objects:
//   ReportNode        the unit queued for the reporter; its payload is one of
//                     the reports below (kind 1, 3, 4 or 5).
//   IndividualReport  one per stream (kind 1): its handlers, its PacketRing,
//                     its statistics and the sums it feeds.
//   SumReport         one per group of streams of a peer and one per
//                     full-duplex stream; reference counted under its mutex.
//   StreamStats       the statistics block of a stream or a sum.
//   SettingsSnapshot  the private copy of the settings every report keeps, so
//                     a report can outlive its thread's thread_Settings.
//   ConnectionReport, SettingsReport, ServerRelayReport: one-shot reports.
//
// Who frees what:
//   - A data report (kind 1) is built, posted once, fed and ended by its
//     traffic thread, which frees it with FreeReport after EndJob returned.
//     The reporter only unlinks it and marks its ring done.
//   - One-shot reports (kinds 3, 4, 5) are built and posted by a traffic or
//     listener thread and printed and freed (FreeReport) by the reporter.
//   - A group sum is freed by the reporter after its last member's final
//     record (FreeSumReport), or by the listener when a stream could not
//     start. A full-duplex sum is freed in EndJob by the direction that leaves
//     the full-duplex stop barrier last.
//   - Every report owns its snapshot; a node owns its payload.
//
// Threads: the Init* functions, PostReport, ReportPacket, EndJob and
// FreeReport of a data report run on the traffic thread that owns it;
// IncrSumReportRefCounter / DecrSumReportRefCounter on any thread;
// setTransferID on any thread (under transferid_mutex). Everything else in a
// report is touched by the reporter thread only (or, single-threaded with -U,
// by the one traffic thread).
#pragma once

#include <pthread.h>
#include <sys/socket.h>

#include <cstdint>

#include "common/sockopt.h"
#include "toril/core/headers.h"
#include "toril/core/settings.h"
#include "toril/reporting/handlers.h"
#include "toril/reporting/histogram.h"
#include "toril/reporting/packetring.h"
#include "toril/reporting/stand_ins.h"
#include "toril/reporting/timestamp.h"

// ReportNode::type
constexpr int32_t DATA_REPORT = 1;
constexpr int32_t SETTINGS_REPORT = 3;
constexpr int32_t CONNECTION_REPORT = 4;
constexpr int32_t SERVER_RELAY_REPORT = 5;

// Running mean, minimum, maximum and sum of squared deviations.
struct MeanMinMax {
    double max;
    double min;
    double sum;
    double last;  // kept by callers (the previous transit for jitter)
    double mean;
    double m2;
    double last_delta;
    int64_t cnt;
};

// max := smallest normal float, min := largest float, the rest 0.
void reporter_reset_mmm(MeanMinMax *mmm);

struct SettingsSnapshot {
    ThreadMode thread_mode;
    ReportMode report_mode;
    uint32_t option_flags;
    uint32_t test_flags;
    uint32_t extra_flags;
    int32_t threads;
    int32_t tos;
    int32_t override_tos;  // reflected TOS
    uint16_t port;
    uint16_t port_last;
    uint16_t listen_port;
    uint16_t bind_port;
    uint64_t rate;
    RateUnits rate_units;
    int32_t burst_size;
    char format;
    int32_t ttl;
    int32_t buf_len;
    int32_t mss;
    int32_t window_size;            // TCP window (later: as read from the socket)
    int32_t window_size_requested;  // the -w value
    uint64_t fq_rate;
    int32_t histogram_bins;
    int32_t histogram_binwidth;
    int32_t histogram_units;
    double histogram_ci_lower;
    double histogram_ci_upper;
    double frame_rate;  // isochronous frames (or bursts) per second
    double isoch_mean;
    double variance;
    double burst_ipg;  // interval gap
    IntervalMode interval_mode;
    uint32_t interval_usec;
    uint64_t amount;
    sockaddr_storage peer;
    uint32_t peer_len;
    sockaddr_storage local;
    uint32_t local_len;
    // Owned copies (nullptr when the settings had none).
    char *host;
    char *local_host;
    char *output_file;
    char *bind_device;
    char *host_device;
    char *ssm_source;
    char *hidden_text;
    char *congestion_algo;
    char *transfer_id_text;
    char *permit_key;
    int32_t transfer_id;
    double near_congest_weight;
    double permit_key_timeout;
    int32_t bounceback_size;
    int32_t bounceback_hold;
    int32_t bounceback_count;
    int32_t write_prefetch;
    int32_t sock;
    int32_t udp_sock;
};

// A fresh snapshot of settings. Out of memory: warns "Out of Memory!!\n" and
// stops the calling thread (thread_stop).
SettingsSnapshot *common_copy(const thread_Settings *settings);
// Frees the snapshot and its strings. Null is ignored.
void free_common_copy(SettingsSnapshot *snapshot);

// Socket call statistics of a sender.
struct WriteStats {
    int64_t WriteCnt;
    int64_t WriteErr;
    int64_t totWriteCnt;
    int64_t totWriteErr;
    int32_t rtt;  // us
    int32_t cwnd;
    int32_t rttvar;
    int64_t TCPretry;          // in the interval
    int64_t totTCPretry_prev;  // cumulative at the last sample
    int64_t totTCPretry;
    int32_t mss;
};

// Socket call statistics of a receiver.
struct ReadStats {
    int64_t cntRead;
    int64_t totcntRead;
    int32_t bins[8];     // read sizes in the interval
    int32_t totbins[8];  // cumulative
    int32_t binsize;     // buf_len / 8
};

struct FrameStats {
    int64_t frames;
    int64_t lost;
    int64_t slips;
    int64_t total_frames;
    int64_t total_lost;
    int64_t total_slips;
    int64_t prev_frames;
    int64_t prev_lost;
    int64_t prev_slips;
    uint64_t frameID;  // last frame id
    MeanMinMax transit;
    MeanMinMax total_transit;
};

struct BounceBackStats {
    MeanMinMax rtt;
    MeanMinMax total_rtt;
    MeanMinMax oneway_out;   // server receive - client send
    MeanMinMax oneway_back;  // client receive - server send
    MeanMinMax asymmetry;    // |back - out|
    double rtt_sum;
    double total_rtt_sum;
};

struct L2Stats {
    int64_t cnt, lengtherr, checksumerr, unknown;
    int64_t tot_cnt, tot_lengtherr, tot_checksumerr, tot_unknown;
};

struct StreamStats {
    SettingsSnapshot *common;
    double iStart;               // interval start, seconds since startTime
    double iEnd;                 // interval end
    double significant_partial;  // a quarter of the interval, seconds
    Timestamp startTime;
    Timestamp nextTime;        // next report time
    Timestamp packetTime;      // last packet time
    Timestamp IPGstart;        // last arrival, kept by the UDP server thread
    Timestamp lastSentTime;    // kept by the UDP server thread
    Timestamp intervalTime;    // interval length
    Timestamp prevpacketTime;  // previous arrival
    Timestamp nextTCPSampleTime;
    OutputHandler output_handler;
    int32_t sumID;                // sums only
    int32_t slot_thread_upcount;  // sums: streams that contributed to this interval
    uint8_t isOutputSuppressed;
    uint8_t final_line;  // 1 while the final line is formatted
    // Interval counters.
    int64_t cntBytes;
    int64_t cntError;  // lost datagrams
    int64_t cntOutofOrder;
    int64_t cntDatagrams;
    int64_t cntIPG;
    int64_t PacketID;  // highest packet id seen
    double jitter;     // seconds
    double IPGsum;     // seconds
    // Cumulative counters and their values at the last interval boundary.
    int64_t TotalBytes, prevTotalBytes;
    int64_t TotalErrors, prevTotalErrors;
    int64_t TotalOutofOrder, prevTotalOutofOrder;
    int64_t TotalDatagrams, prevTotalDatagrams;  // UDP receiver: prevPacketID instead
    int64_t prevPacketID;
    int64_t TotalIPG, prevTotalIPG;
    WriteStats write;  // sender
    ReadStats read;    // receiver
    FrameStats frame;
    Histogram *transit_histogram;       // "T8" server, "S8" client write-prefetch
    Histogram *framelatency_histogram;  // "F8"
    Histogram *bbrtt_histogram;         // "BB8"
    MeanMinMax transit;                 // interval; its last slot holds the previous transit
    MeanMinMax total_transit;
    BounceBackStats bb;
    L2Stats l2;
    uint64_t matchframeID;     // frame tracked by the frame-interval report
    uint64_t frameID_printed;  // last frame id it printed
    MeanMinMax write_mmm;
    MeanMinMax total_write_mmm;
    Histogram *write_histogram;  // "W8"
};

struct SumReport {
    pthread_mutex_t reference_mutex;
    int32_t reference_count;
    int32_t reference_maxcount;
    int32_t threads_arrived;  // interval arrival counter
    StreamStats info;
    SumTransferHandler transfer_protocol_sum_handler;
    BarrierMutex fullduplex_barrier;  // full-duplex start/stop barrier
    int32_t sum_fd_set;               // set by the listener once it chose the handlers
    int32_t fullduplex_leavers;       // directions past the stop barrier (EndJob)
};

struct IndividualReport {
    PacketHandler packet_handler_pre_report;
    PacketHandler packet_handler_post_report;
    TransferHandler transfer_protocol_handler;
    IntervalHandler transfer_interval_handler;
    PacketRing *packetring;
    int32_t reporter_thread_suspends;
    SumReport *GroupSumReport;
    SumReport *FullDuplexReport;
    StreamStats info;
    uint8_t final_printed;
    uint8_t burst_inprogress;
    uint8_t sample_tcpinfo;
};

struct ReportNode {
    int32_t type;   // DATA_REPORT, SETTINGS_REPORT, CONNECTION_REPORT, SERVER_RELAY_REPORT
    int32_t style;  // the settings' report_mode (1: CSV)
    void *this_report;
    ReportNode *next;
};

struct ConnectionReport {
    SettingsSnapshot *common;
    char peerversion[256];
    Timestamp txholdbacktime;  // --txdelay-time
    Timestamp epochStartTime;
    int32_t winsize;           // read from the socket
    MeanMinMax connect_times;  // aggregate only
    int64_t connect_errors;    // aggregate only
    TcpStats tcpinitstats;     // connect_time_ms is this connection's connect time
};
using ConnectOnlyReport = ConnectionReport;

struct SettingsReport {
    SettingsSnapshot *common;
    sockaddr_storage peer;
    uint32_t size_peer;
    sockaddr_storage local;
    uint32_t size_local;
    int32_t win_requested;
    double isoch_fps;
    double isoch_mean_bytes;      // bits / 8
    double isoch_variance_bytes;  // bits / 8
    uint32_t isoch_ipg_us;        // setting x 1000, truncated
    uint32_t isoch_period_us;     // 1 / frame rate x 1e6, truncated
    int32_t mss;                  // to print (TCP)
};

struct ServerRelayReport {
    SettingsSnapshot *common;
    StreamStats info;
    sockaddr_storage peer;
    uint32_t size_peer;
    sockaddr_storage local;
    uint32_t size_local;
};

// --- Process-wide objects of the reporter module ---

// Wakes the reporter; its mutex guards the pending list.
struct ReportCondition {
    pthread_cond_t await;
    pthread_mutex_t mutex;
};
extern ReportCondition ReportCond;
extern ReportNode *ReportPendingHead;  // posted, not yet taken (under ReportCond.mutex)
extern ReportNode *ReportPendingTail;
extern int transferid_counter;  // under transferid_mutex
extern pthread_mutex_t transferid_mutex;

// --- Construction ---

// The data report of a stream (kind 1). Joins the settings' group sum and, in
// a full-duplex test, its full-duplex sum; creates the ring and the
// histograms and picks the handlers.
ReportNode *InitIndividualReport(thread_Settings *settings);
// A connection report (kind 4).
ReportNode *InitConnectionReport(thread_Settings *settings);
// A settings report (kind 3).
ReportNode *InitSettingsReport(thread_Settings *settings);
// A relay of the UDP server's final report (kind 5), from the decoded datagram.
ReportNode *InitServerRelayUDPReport(thread_Settings *settings, const UdpServerReport *server);
// A group sum (sum_id: the group number) or full-duplex sum (fullduplex
// true; sum_id -1 on the client, the socket on the server).
SumReport *InitSumReport(thread_Settings *settings, int sum_id, bool fullduplex);
// The connect-time aggregate of the reporter (no node).
ConnectionReport *InitConnectOnlyReport(thread_Settings *settings);

// Gives settings its transfer id (a fresh one when 0) and its id text, once.
void setTransferID(thread_Settings *settings, bool reverse);

// Pick the handlers of a group sum / a full-duplex sum.
void SetSumHandlers(const thread_Settings *settings, SumReport *sum);
void SetFullDuplexHandlers(const thread_Settings *settings, SumReport *sum);

// Reference counts of a sum, under its mutex; both return the new count.
int IncrSumReportRefCounter(SumReport *sum);
int DecrSumReportRefCounter(SumReport *sum);

// --- Hand-off ---

// Queues node for the reporter and wakes it. Null is ignored.
void PostReport(ReportNode *node);
// Hands one record of the stream to the reporter (see report.cpp); returns 0.
int ReportPacket(IndividualReport *report, PacketRecord *record);
// Ends the stream: hands over the final record and waits until the reporter
// has processed it, then passes the full-duplex stop barrier when there is
// one. Returns 1, or 0 when the full-duplex barrier timed out.
int EndJob(ReportNode *node, PacketRecord *last);
// One direction of a full-duplex test leaves its sum; the second to leave
// frees it. EndJob does this for a stream that ran; a direction that ends
// without ever ending a report (it never got going) leaves through here, or
// the sum would wait for it for ever.
void FullDuplexLeave(SumReport *fd);

// --- Destruction ---

// Frees a node of any kind with its payload. Null is ignored.
void FreeReport(ReportNode *node);
// Destroys the mutex and frees the snapshot and the sum. Null is ignored.
void FreeSumReport(SumReport *sum);
// Frees the snapshot and the report. Null is ignored.
void FreeConnectionReport(ConnectionReport *report);
