// UDP side of the probe server.
//
// socket_v4 and socket_v6 (IPv6 only) hold one port. The server echoes probe
// datagrams, runs one two-way downlink exchange at a time for all peers,
// prints a ProbeResultLine per probe and stops the program on a stop request
// (in stun_mode it ignores everything else).
//
// Everything runs in completion handlers of the io_service given to the
// constructor, on the one thread that runs it; nothing here is thread-safe.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "vantrip/frontend/asio.h"
#include "vantrip/server/protocol.h"

// Echo probes and completed two-way exchanges handled so far (the Counter of
// the result lines), for the whole process.
extern long probe_counter;

class udp_server {
  public:
    // Opens and binds both sockets (four attempts 2 s apart each), then arms
    // the receives. Any failure is logged and ends the process with status 1.
    udp_server(asio::io_service &io, uint16_t port);
    // Closes both sockets; completions still queued for them do nothing.
    ~udp_server();

    udp_server(const udp_server &) = delete;
    udp_server &operator=(const udp_server &) = delete;

  private:
    enum class TwoWayState { Idle, AwaitingEcho };

    // One socket with its own receive buffer and the sender of its last datagram.
    struct channel {
        channel(asio::io_service &io, const char *socket_name) : socket(io), name(socket_name) {}
        asio_udp::socket socket;
        const char *name;  // "socket_v4" or "socket_v6", for log texts
        // kMaxMessageBytes are received at most; the extra byte stays NUL.
        std::array<char, kMaxMessageBytes + 1> recv_buffer_{};
        asio_udp::endpoint sender;
        bool receive_pending = false;
        // The echo is sent from recv_buffer_, so no receive is armed until it is done.
        bool echo_pending = false;
    };

    void set_up();
    void bind_with_retries(channel &ch, const asio_udp::endpoint &endpoint);
    bool reopen_v4();
    void start_receive();
    void arm_receive(channel &ch);
    void handle_receive(channel &ch, const error_code &error, std::size_t bytes);
    void handle_echo_probe(channel &ch, std::size_t bytes);
    void handle_two_way_datagram(channel &ch, std::size_t bytes);
    void process_two_way_downlink(channel &ch);
    void send_stop_reply(channel &ch);
    void handle_donothing(channel &ch, const error_code &error, std::size_t bytes);
    void print_result_line(const char *operation);

    asio::io_service &io_;
    uint16_t port_;
    channel v4_;        // socket_v4
    channel v6_;        // socket_v6
    error_code error_;  // last synchronous socket operation

    TwoWayDownlinkPacket packet_;  // the stored record: the current two-way request
    // Decides whether an echo probe is answered: any 12-byte datagram sets
    // it, an echo probe's number replaces its id; all 0 means "false packet".
    // Kept apart from packet_ so that probes cannot alter a running exchange.
    TwoWayDownlinkPacket echo_gate_;
    TwoWayState state_ = TwoWayState::Idle;
    channel *two_way_channel_ = nullptr;  // the client's IP version
    std::string sent_data_;
    std::chrono::steady_clock::time_point send_time_, return_time_;
    ProbeResultLine line_;
    std::string message_;

    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};
