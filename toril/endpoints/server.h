// The receiving end of a toril test: one Server per accepted test, run on the
// test's own server thread (and, on the client side, by the receiving copy of
// a reverse or full-duplex test).
//
// A Server reads a TCP stream (optionally burst by burst), answers bounceback
// messages, or receives UDP datagrams (optionally as whole frames through an
// L2 packet socket with length, address and checksum checks). Every read
// becomes one PacketRecord for the reporter; a UDP test ends with the server
// report back to the client.
//
// Ownership: the settings record belongs to the thread (the thread library
// destroys it after the server returns); the Server owns its data report, the
// socket of the test (closed at the end of a run unless the socket is shared
// with the sending direction of a full-duplex test) and, in L2 mode, the
// UDP socket kept open beside the packet socket (drop_sock).
//
// Per-packet paths neither allocate nor format. A peer that lies or goes
// silent costs only this test: reads are bounded by the buffer, a read error
// ends only this loop (never the process-wide interrupt flag).
#pragma once

#include <sys/socket.h>
#include <sys/uio.h>

#include <cstdint>

#include "toril/core/headers.h"
#include "toril/core/settings.h"
#include "toril/reporting/report.h"

class Server {
  public:
    explicit Server(thread_Settings *settings);
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // The three loops; each runs one whole test and ends it (EndJob, server
    // report for UDP, close, host removal, report release).
    void RunTCP();
    void RunBounceBackTCP();
    void RunUDP();

    // Prepares the receive message header and asks the kernel for receive
    // timestamps. A failure is not fatal: packets then carry the time of now.
    void InitKernelTimeStamping();

    // Report, timer and first packet. False when the test is already over
    // (the first UDP datagram was final, or the report could not be made).
    bool InitTrafficLoop();

    // Reverse tests on the client side: reads what the sender puts first.
    void ClientReverseFirstRead();

    // L2 mode: checks the frame in buf (length, addresses and ports, UDP
    // checksum) and fills the record's L2 fields.
    void L2_processing();

    // 0 when the frame in buf belongs to this test's 4-tuple, -1 otherwise.
    int L2_quintuple_filter();

    // The L2 check of a frame of received bytes (the kernel's length, which
    // may exceed the buffer) lying in buf; returns the record it made.
    PacketRecord CheckL2Frame(int received);

    // An empty record with the time of now, to wake the reporter.
    void PostNullEvent();

    // The UDP server report of a finished test, from the report's statistics.
    // Exposed for tests.
    static UdpServerReport BuildServerReport(const thread_Settings *settings,
                                             const StreamStats &stats);

  private:
    void EndTest(bool send_server_report);
    void ReportRecord();
    bool TimedOut() const;
    void StampNow();
    int ReceiveDatagram();
    void ReadDatagramHeader(int received);
    bool ReadBurstHeader(int *bytes);
    void PaceRead(int64_t *budget_bytes, Timestamp *last);

    thread_Settings *settings;
    Timestamp end_time{};
    Timestamp now{};
    PacketRecord record{};
    ReportNode *report_node = nullptr;
    IndividualReport *report = nullptr;
    StreamStats *stats = nullptr;
    bool peer_closed = false;
    bool burst_mode = false;
    bool timer_armed = false;
    bool timed = false;  // the loop ends at end_time
    bool final_seen = false;
    int sock = -1;
    int drop_sock = -1;
    // Frame bookkeeping of the receiving thread (the reporter reads only the
    // records, so these stay private to this thread).
    Timestamp frame_time{};
    Timestamp prev_packet_time{};
    Timestamp prev_sent_time{};
    uint32_t burst_period_us = 0;
    int64_t burst_remaining = 0;
    uint64_t total_bytes = 0;
    // Receiving with ancillary data (kernel timestamps).
    msghdr message{};
    iovec iov{};
    alignas(8) uint8_t control[128] = {};
};
