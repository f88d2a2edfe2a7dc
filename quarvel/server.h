// quarvel's server thread: receives one test's traffic, hands every read to
// the reporter and, for UDP, answers the client's final datagram with the
// server report.
//
// A Server is made and destroyed by server_spawn on the test's own thread; its
// record belongs to the thread wrapper, the socket in it to the Server, which
// closes it. A peer that lies or stops costs only this test: short datagrams
// carry no numbers and count as empty reads, a test that hears nothing for
// kServerIdleLimitUdp_s (UDP) or kServerIdleLimitTcp_s (TCP) ends.
#pragma once

#include <sys/time.h>

#include <cstddef>
#include <cstdint>

#include "quarvel/settings.h"

struct TransferInfo;

// Bytes of the full server report (offsets 0 to 111).
constexpr int kServerReportFullBytes = 112;
// Offset of the flags word, where the report proper begins.
constexpr int kServerReportFlagsOffset = 12;
// End of the short report of the single-threaded server (offsets 12 to 51).
constexpr int kServerReportShortEnd = 52;
constexpr uint32_t kServerReportFlag = 0x80000000;

constexpr int kServerIdleLimitUdp_s = 10;
constexpr int kServerIdleLimitTcp_s = 60;

// Writes the full server report (offsets 12 to 111) from final statistics into
// buf, which holds at least kServerReportFullBytes bytes.
void server_report_fill(uint8_t *buf, const TransferInfo &info);
// Writes the short report (offsets 12 to 51) into buf (at least 52 bytes).
void server_report_fill_short(uint8_t *buf, const TransferInfo &info);

// The receive time-out of a server socket in microseconds: half the report
// interval, or amount x 500 for a timed test (a twentieth of its time); 0 for none.
int64_t server_receive_timeout_us(const thread_Settings *settings);

class Server {
  public:
    explicit Server(thread_Settings *settings);
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    void Run();
    void write_UDP_AckFIN();

  private:
    int receive(timeval *arrival, bool *timestamped);

    thread_Settings *settings;
    uint8_t *buf;
    int32_t buf_size;
    timeval end_time;
    timeval start_time;
};

// The server thread's body: constructs the Server, runs it, destroys it.
void server_spawn(thread_Settings *settings);
