// quarvel's client: one traffic stream towards a server.
//
// A Client opens the path (classic: it connects to host; NAT mode -E: it waits
// on its fixed port client_local_port for the server, which connects out over
// TCP or sends a UDP hello, and then uses that path), sends the test header,
// sends TCP or UDP traffic for a time or a byte count, and ends a UDP test
// with the final datagram exchange that brings back the server's report.
//
// Ownership: the record belongs to the client's thread (the thread wrapper
// destroys it); the Client owns its socket and buffer and frees them when it
// is destroyed. A fatal step calls thread_stop on the record, which ends the
// thread in the running program; where no thread of the library runs the
// record (tests), the Client marks itself stopped and every later step does
// nothing. Only the client's own thread uses a Client.
#pragma once

#include <sys/time.h>

#include <cstdint>
#include <cstdio>

#include "common/extractor.h"
#include "quarvel/reporter.h"
#include "quarvel/settings.h"

class Client {
  public:
    // Records the start time, fills the buffer with the pattern, opens the
    // file input, Connect, then posts the settings report.
    explicit Client(thread_Settings *settings);
    ~Client();
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    // Opens the path to the server (called by the constructor).
    void Connect();
    // Sends the test header (TCP), or writes it into every datagram (UDP).
    void InitiateServer();
    // Runs the test.
    void Run();
    void RunTCP();
    void RunRateLimitedTCP();
    // The final UDP exchange: the final datagram until the server's report comes.
    void write_UDP_FIN();

    // False once a fatal step has stopped the client.
    bool running() const { return !stopped_; }

  private:
    void stop();
    void RunUDP(int64_t timeout_us);
    void report_tcp_total(DataReport *report, int64_t total);

    thread_Settings *settings_;
    char *buf_ = nullptr;  // at least buf_len bytes, never fewer than a full header
    int sock_ = -1;
    int listen_sock_ = -1;  // NAT TCP: the socket the server's connection came to
    PayloadInput input_;    // file input (-F, -I), empty when none
    bool stopped_ = false;
    // A constructor left by unwinding would never free what it had taken, so
    // a fatal step inside it only marks the client stopped.
    bool constructed_ = false;
    timeval start_time_ = {};
    timeval last_packet_time_ = {};
    timeval end_time_ = {};
};

// Applies quarvel's socket options from settings to settings->sock (buffer
// size, congestion control, multicast time to live, type of service, MSS,
// no-delay). A congestion control the system refuses ends the process with
// status 1 after its message. Used by the client and the listener.
void SetSocketOptions(thread_Settings *settings);

// The client thread's body: construct, InitiateServer, Run, destroy.
void client_spawn(thread_Settings *settings);
