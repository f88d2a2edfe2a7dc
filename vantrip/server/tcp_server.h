// TCP side of the probe server.
//
// Two acceptors hold one port: acceptor_v4 for IPv4 and acceptor_v6 for IPv6
// only. Every accepted connection gets a tcpsession, which answers echo
// probes, serves one two-way downlink exchange, answers an address discovery
// request (stun_mode) or stops the program on a stop request.
//
// Everything runs in completion handlers of the io_service given to the
// constructor, on the one thread that runs it; nothing here is thread-safe.
// Sessions own themselves (each pending handler holds a reference) and end
// with their connection; a session never outlives its io_service.
#pragma once

#include <cstdint>
#include <memory>

#include "vantrip/frontend/asio.h"

class tcpsession;

class tcp_server {
  public:
    // Opens, binds (four attempts 2 s apart) and listens on both acceptors,
    // then starts accepting. Any failure is logged and ends the process with
    // status 1.
    tcp_server(asio::io_service &io, uint16_t port);
    // Closes both acceptors; completions still queued for them do nothing.
    ~tcp_server();

    tcp_server(const tcp_server &) = delete;
    tcp_server &operator=(const tcp_server &) = delete;

  private:
    void set_up(uint16_t port);
    void bind_with_retries(asio_tcp::acceptor &acceptor, const asio_tcp::endpoint &endpoint,
                           const char *error_prefix);
    void start_accept(asio_tcp::acceptor &acceptor, asio::steady_timer &backoff);
    void handle_accept(asio_tcp::acceptor &acceptor, asio::steady_timer &backoff,
                       const std::shared_ptr<tcpsession> &session, const error_code &error);

    asio::io_service &io_;
    asio_tcp::acceptor acceptor_v4;
    asio_tcp::acceptor acceptor_v6;
    // Delay the next accept after a failed one (out of descriptors, say), so
    // that a failing accept cannot spin the thread.
    asio::steady_timer backoff_v4_;
    asio::steady_timer backoff_v6_;
    error_code error_;
    // Handlers hold a weak reference: once the server is gone they do nothing.
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};
