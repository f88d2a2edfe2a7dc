// The sending end of a toril test: one Client per stream.
//
// A Client is built by the client thread on the stream's own thread_Settings
// and used only by that thread. Calling order: construct -> my_connect ->
// (start barrier) -> StartSynch -> Run -> destroy. Run prepares the loop
// (InitTrafficLoop), runs the one traffic loop the settings ask for and ends
// the test with FinishTrafficActions. The connect-only test is ConnectPeriodic
// alone.
//
// Ownership: the settings belong to the caller (the thread); the Client owns
// its data report (created by StartSynch, freed when the test ends or by the
// destructor when the test never ran), its frame counter, the payload input
// stream it opened, and the socket once connected (closed at the end of the
// test; a socket handed in with TEST_SERVER_REVERSE is closed likewise).
//
// Per-packet paths (the traffic loops) allocate nothing and format nothing:
// one clock read and the send per packet, and the record goes to the reporter
// through ReportPacket.
#pragma once

#include <cstdint>

#include "toril/core/settings.h"
#include "toril/endpoints/isochronous.h"
#include "toril/reporting/packetring.h"
#include "toril/reporting/report.h"
#include "toril/reporting/timestamp.h"

class Client {
  public:
    explicit Client(thread_Settings *settings);
    ~Client();
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    // Creates, configures and connects the socket (TCP: connect_retries + 1
    // attempts 200 ms apart). close_on_fail is accepted for the callers'
    // sake; a failed connect always closes the socket. Posts the settings and
    // connection reports. True when connected.
    bool my_connect(bool close_on_fail = true);
    bool isConnected() const { return connected_; }

    // The connect-only test: repeated connects, each closed at once.
    void ConnectPeriodic();

    // Creates the stream's report, sends the test header, holds back for a
    // scheduled start, passes the full-duplex start barrier and stamps the
    // start times. 0, or -1 when the full-duplex barrier failed.
    int StartSynch();
    // Sends the test header (TCP stream start or first UDP datagram).
    // Returns the bytes of the header sent (0 when none went out).
    int SendFirstPayload();
    // Reads the server's test acknowledgement (-X, --trip-times).
    void PeerXchange();

    // Start barrier of parallel streams: true for the last stream to arrive,
    // which releases the others.
    static bool BarrierClient(BarrierMutex *barrier);

    void InitTrafficLoop();
    // InitTrafficLoop, the traffic loop, FinishTrafficActions.
    void Run();
    // Reports an empty record at the current time so interval reports go on
    // while no data flows.
    void PostNullEvent();
    void FinishTrafficActions();
    void AwaitServerCloseEvent();
    void AwaitServerFinPacket();

    // Fatal construction problem (the thread was asked to stop): nothing to run.
    bool stopped() const { return stopped_; }
    int socket() const { return sock_; }
    ReportNode *report_node() const { return report_node_; }

  private:
    // Traffic loops.
    void RunTCP();
    void RunRateLimitedTCP();
    void RunNearCongestionTCP();
    void RunWriteEventsTCP();
    void RunBounceBackTCP();
    void RunUDP();
    void RunUDPIsochronous();

    // The common stop rule: false when the loop must end.
    bool InProgress();
    // The stop rule without reading input: interrupt, peer gone, end time
    // passed or byte amount used up.
    bool Stopping() const;
    // The server end sending for a peer: true once the peer has refused
    // enough datagrams (err ECONNREFUSED) that nobody is left to receive.
    bool PeerRefused(int err);
    // Hands the record to the reporter (when anyone drains the report) and
    // clears its per-call fields.
    void ReportRecord();
    void ReportRecordKeep();  // as ReportRecord, leaving the record as it is
    void ClearRecord();       // the per-call fields ReportRecord clears
    // Waits for the socket to become writable (EXT_WRITE_PREFETCH); false on
    // timeout or failure.
    bool AwaitWritable();
    int WritableTimeoutUs() const;
    // Fills the TCP burst header of format 8 at the start of buf.
    void WriteBurstHeader(uint32_t burst_id, uint32_t burst_size);
    // One plain TCP write of len bytes from buf into the record; false when
    // the loop must end (fatal error).
    bool WriteTcp(const char *buf, int64_t len);
    // Reads a bounceback reply of size bytes; its first bytes stay in buf.
    int ReadBounceBackReply(int size);
    // Sends one final UDP datagram with -seqno; returns the bytes written.
    int WriteUdpFin(int64_t seqno);
    void SetSendTimeout(int32_t timeout_us);
    void CloseSocket(const char *action);

    bool is_udp() const { return settings_->option_flags & OPT_UDP; }
    bool time_mode() const { return settings_->option_flags & OPT_TIME_MODE; }
    bool byte_mode() const {
        return !(settings_->option_flags & OPT_TIME_MODE) &&
               !(settings_->test_flags & TEST_INFINITE);
    }
    // Bytes a write may carry: len, or in byte mode at most what is left.
    int64_t write_size(int64_t len) const;
    void consume_amount(int64_t bytes);

    thread_Settings *settings_;
    ReportNode *report_node_ = nullptr;
    IndividualReport *report_ = nullptr;
    StreamStats *stats_ = nullptr;
    PacketRecord record_{};
    int sock_ = -1;
    bool connected_ = false;
    bool skip_per_write_reports_ = false;
    bool first_payload_sent_ = false;
    int header_len_ = 0;
    int64_t total_bytes_ = 0;
    int64_t lag_floor_ns_ = 0;
    int refusals_ = 0;
    Timestamp end_time_{};
    Timestamp last_packet_time_{};
    Timestamp now_{};
    char *data_ = nullptr;
    Timestamp connect_start_{};
    Timestamp connect_done_{};
    Isochronous::FrameCounter *frame_counter_ = nullptr;
    bool frame_job_ = false;
    bool peer_closed_ = false;
    Timestamp write_start_{};
    Timestamp frame_time_{};  // start of the current burst or frame
    Timestamp
        start_time_{};  // the report's start time, kept here once the reporter owns the report
    int32_t send_timeout_us_ = 0;
    bool report_drained_ = false;  // someone takes the records of the report
    bool report_posted_ = false;
    bool report_ended_ = false;
    bool itimer_armed_ = false;
    bool stopped_ = false;
    bool opened_input_ = false;
};

// The current wall-clock time, as reports and the wire carry it.
Timestamp client_now();
