// TCP side of the probe server: acceptors and sessions.
//
// Handler flow:
//
//   tcp_server()  open, options, bind (4 attempts), listen -- any failure: exit 1
//        |
//   start_accept --async_accept--> handle_accept
//        ^                          | ok:      session->start(), start_accept
//        |                          | error:   console + log, back-off timer
//        +------ back-off timer ----+ aborted: we closed the acceptor, nothing
//
//   tcpsession::start_read --async_read_some--> handle_read
//        ^                                        | error / end of stream: session ends
//        |                                        | normal mode:
//        |                                        |   two-way request -> process_two_way_downlink
//        |                                        |     (sync write, read_with_timeout_tcp,
//        |                                        |      sync write), then the session ends
//        +---- handle_write <--async_write echo --+   anything else   -> echo
//                                                 |   stop request    -> stop io_service, close
//                                                 | stun mode:
//                                                 |   stop request    -> stop io_service, close
//                                                 |   anything else   -> async_write reply
//                                                 |                      -> handle_reply_write:
//                                                 close
//
// A session lives as long as a handler holds it: dropping out of a handler
// without starting a new operation releases it and closes its socket.
#include "vantrip/server/tcp_server.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "vantrip/client/timed_read.h"
#include "vantrip/frontend/log.h"
#include "vantrip/frontend/settings.h"
#include "vantrip/server/protocol.h"
#include "vantrip/server/server_log.h"

namespace {

constexpr const char *kTag = "SERVER_TCP";
constexpr int kBindAttempts = 4;
constexpr auto kBindRetryDelay = std::chrono::milliseconds(2000);
constexpr auto kAcceptBackoff = std::chrono::milliseconds(100);

// A two-way exchange waits by running the io_service from inside a handler,
// so exchanges that wait at the same time nest on the stack. Both limits keep
// peers that never return their data from growing it without bound.
constexpr int kMaxNestedTwoWay = 16;
constexpr int kMaxTwoWayWaitMs = 60000;

int two_way_depth = 0;

struct depth_guard {
    depth_guard() { ++two_way_depth; }
    ~depth_guard() { --two_way_depth; }
    depth_guard(const depth_guard &) = delete;
    depth_guard &operator=(const depth_guard &) = delete;
};

// Length of the text at the start of buf: up to its first NUL, at most len.
std::size_t text_length(const char *buf, std::size_t len) {
    return strnlen(buf, len);
}

}  // namespace

class tcpsession : public std::enable_shared_from_this<tcpsession> {
  public:
    explicit tcpsession(asio::io_service &io) : io_(io), socket_(io) {}
    asio_tcp::socket &socket() { return socket_; }
    void start() { start_read(); }

  private:
    void start_read();
    void handle_read(const error_code &error, std::size_t bytes);
    void handle_write(const error_code &error);
    void handle_reply_write(const error_code &error);
    void serve_probe(std::size_t bytes);
    void serve_discovery(std::size_t bytes);
    void process_two_way_downlink(TwoWayDownlinkPacket record);
    const char *two_way_refusal(const TwoWayDownlinkPacket &record) const;
    void stop_server();
    void close();

    asio::io_service &io_;
    asio_tcp::socket socket_;
    // kMaxMessageBytes are read at most; the extra byte stays NUL so that the
    // buffer always ends as a text.
    std::array<char, kMaxMessageBytes + 1> data_{};
    std::string reply_;  // address discovery reply while it is written
    error_code error_;
};

// ---------------------------------------------------------------- tcp_server

tcp_server::tcp_server(asio::io_service &io, uint16_t port)
    : io_(io), acceptor_v4(io), acceptor_v6(io), backoff_v4_(io), backoff_v6_(io) {
    try {
        set_up(port);
    } catch (const std::exception &e) {
        server_log(kTag, "tcp_server::tcp_server", "Error : exception : ", e.what());
        std::exit(1);
    }
    start_accept(acceptor_v4, backoff_v4_);
    start_accept(acceptor_v6, backoff_v6_);
}

tcp_server::~tcp_server() {
    error_code ignored_ec;
    acceptor_v4.close(ignored_ec);
    acceptor_v6.close(ignored_ec);
}

void tcp_server::set_up(uint16_t port) {
    auto check = [this](const char *prefix) {
        if (!error_) return;
        server_log(kTag, "tcp_server::tcp_server", prefix, error_.message());
        std::exit(1);
    };
    acceptor_v4.open(asio_tcp::v4(), error_);
    check("ERROR : acceptor_v4.open : ");
    acceptor_v6.open(asio_tcp::v6(), error_);
    check("ERROR : acceptor_v6.open : ");
    acceptor_v4.set_option(asio::socket_base::reuse_address(true), error_);
    check("ERROR : acceptor_v4.set_option : ");
    // IPv6 only, so that both acceptors can hold the port; address reuse
    // there too, or a restart fails while IPv6 connections sit in TIME_WAIT.
    acceptor_v6.set_option(asio::ip::v6_only(true), error_);
    check("ERROR : acceptor_v6.set_option : ");
    acceptor_v6.set_option(asio::socket_base::reuse_address(true), error_);
    check("ERROR : acceptor_v6.set_option : ");
    bind_with_retries(acceptor_v4, asio_tcp::endpoint(asio_tcp::v4(), port),
                      "ERROR : acceptor_v4.bind : ");
    bind_with_retries(acceptor_v6, asio_tcp::endpoint(asio_tcp::v6(), port),
                      "ERROR : acceptor_v6.bind : ");
    acceptor_v4.listen(asio::socket_base::max_listen_connections, error_);
    check("ERROR : acceptor_v4.listen : ");
    acceptor_v6.listen(asio::socket_base::max_listen_connections, error_);
    check("ERROR : acceptor_v6.listen : ");
}

void tcp_server::bind_with_retries(asio_tcp::acceptor &acceptor, const asio_tcp::endpoint &endpoint,
                                   const char *error_prefix) {
    for (int count = 0;; ++count) {
        acceptor.bind(endpoint, error_);
        if (!error_) return;
        if (count == kBindAttempts - 1) {
            server_log(kTag, "tcp_server::tcp_server", "Could not bind... exiting ");
            std::exit(1);
        }
        server_log(kTag, "tcp_server::tcp_server", error_prefix, error_.message());
        server_log(kTag, "tcp_server::tcp_server", "Trying to bind again.. ", count + 1);
        std::this_thread::sleep_for(kBindRetryDelay);
    }
}

void tcp_server::start_accept(asio_tcp::acceptor &acceptor, asio::steady_timer &backoff) {
    auto session = std::make_shared<tcpsession>(io_);
    std::weak_ptr<int> alive = alive_;
    acceptor.async_accept(session->socket(),
                          [this, alive, &acceptor, &backoff, session](const error_code &error) {
                              if (alive.expired()) return;
                              handle_accept(acceptor, backoff, session, error);
                          });
}

void tcp_server::handle_accept(asio_tcp::acceptor &acceptor, asio::steady_timer &backoff,
                               const std::shared_ptr<tcpsession> &session,
                               const error_code &error) {
    if (error == asio::error::operation_aborted) return;  // we closed the acceptor
    if (!error) {
        session->start();
        start_accept(acceptor, backoff);
        return;
    }
    server_console(error.message(), "<", error.value(), "new_session 2");
    server_log(kTag, "tcp_server::handle_accept", "ERROR : ", error.message(), "\n");
    // The session that received no connection is released with this handler.
    std::weak_ptr<int> alive = alive_;
    backoff.expires_after(kAcceptBackoff);
    backoff.async_wait([this, alive, &acceptor, &backoff](const error_code &timer_error) {
        if (alive.expired() || timer_error) return;
        start_accept(acceptor, backoff);
    });
}

// ---------------------------------------------------------------- tcpsession

void tcpsession::start_read() {
    data_.fill(0);
    auto self = shared_from_this();
    socket_.async_read_some(
        asio::buffer(data_.data(), kMaxMessageBytes),
        [self](const error_code &error, std::size_t bytes) { self->handle_read(error, bytes); });
}

void tcpsession::handle_read(const error_code &error, std::size_t bytes) {
    if (error == asio::error::operation_aborted) return;  // we closed the socket
    if (error) {
        // End of stream, reset or any other failure ends this connection only.
        server_log("VANTRIP", "", "\nWaiting for next connection....");
        return;
    }
    bytes = std::min(bytes, kMaxMessageBytes);
    if (stun_mode)
        serve_discovery(bytes);
    else
        serve_probe(bytes);
}

void tcpsession::serve_probe(std::size_t bytes) {
    const auto *raw = reinterpret_cast<const uint8_t *>(data_.data());
    TwoWayDownlinkPacket request;
    if (bytes == kTwoWayPacketBytes) {
        decode_two_way(raw, bytes, &request);
        server_console("recd sequenceNo=", request.id);
    }
    const bool two_way = is_tcp_two_way_request(raw, bytes);
    // The exchange reads the returned data into data_; keep the request for
    // the message handler.
    char request_text[kTwoWayPacketBytes + 1] = {};
    if (two_way) {
        std::memcpy(request_text, data_.data(), kTwoWayPacketBytes);
        server_console("recd packetSize=", request.size);
        server_console("recd delayMs=", request.time);
        if (const char *reason = two_way_refusal(request)) {
            server_log(kTag, "tcpsession::process_two_way_downlink",
                       "ERROR : two-way request refused: ", reason, " sequenceNo=", request.id,
                       " packetSize=", request.size, " delayMs=", request.time);
        } else {
            process_two_way_downlink(request);
        }
    } else {
        auto self = shared_from_this();
        asio::async_write(socket_, asio::buffer(data_.data(), bytes),
                          [self](const error_code &write_error, std::size_t) {
                              self->handle_write(write_error);
                          });
    }

    server_log_status("SERVER_TCP : MESSAGE RECEIVED");
    std::string message;
    if (process_reply(two_way ? request_text : data_.data(), bytes, message) == 3) {
        stop_server();
        return;
    }
    server_log(kTag, "tcpsession::handle_read", "Received TCP paket ", message.substr(0, 1),
               " with ", bytes, " bytes");
    server_log_status("SERVER_TCP : MESSAGE SENT");
    if (two_way) close();  // one exchange per connection
}

void tcpsession::handle_write(const error_code &error) {
    if (error) return;  // the peer is gone (or we closed): the session ends
    start_read();
}

const char *tcpsession::two_way_refusal(const TwoWayDownlinkPacket &record) const {
    if (record.size < 0 || static_cast<std::size_t>(record.size) > kMaxMessageBytes)
        return "packetSize out of 0..4096";
    if (two_way_depth >= kMaxNestedTwoWay) return "too many exchanges waiting";
    return nullptr;
}

void tcpsession::process_two_way_downlink(TwoWayDownlinkPacket record) {
    server_log_status("tscpsession::process_two_way_downlink..");
    const std::string sent = probe_payload(record.id, record.size);
    const auto start = std::chrono::steady_clock::now();
    asio::write(socket_, asio::buffer(sent), error_);
    if (error_) {
        // Nothing will come back on a connection that failed; do not wait.
        server_log(kTag, "tcpsession::process_two_way_downlink",
                   "ERROR : write : ", error_.message());
        return;
    }
    data_.fill(0);
    {
        depth_guard depth;
        read_with_timeout_tcp(socket_, std::min<int>(record.time, kMaxTwoWayWaitMs), data_.data(),
                              static_cast<std::size_t>(record.size));
    }
    const auto end = std::chrono::steady_clock::now();
    server_console("Recd data of size", text_length(data_.data(), kMaxMessageBytes));

    if (std::strncmp(sent.c_str(), data_.data(), static_cast<std::size_t>(record.size)) == 0) {
        record.time = round_trip_ms(
            std::chrono::duration_cast<std::chrono::microseconds>(end - start).count());
    } else {
        server_log(kTag, "tcpsession::process_two_way_downlink", "Sent data:", sent, "\n",
                   "Recd data:", data_.data());
        record.time = -1;
    }
    uint8_t result[kTwoWayPacketBytes];
    encode_two_way(record, result);
    asio::write(socket_, asio::buffer(result), error_);
    server_log_status("tscpsession::process_two_way_downlink");
}

void tcpsession::serve_discovery(std::size_t bytes) {
    server_log_status("SERVER_TCP : MESSAGE RECEIVED");
    server_log(kTag, "tcpsession::handle_read", "MESSAGE RECEIVED FROM CLIENT : ",
               std::string(data_.data(), text_length(data_.data(), bytes)));
    std::string message;
    if (process_reply(data_.data(), bytes, message) == 3) {
        stop_server();
        return;
    }
    const asio_tcp::endpoint peer = socket_.remote_endpoint(error_);
    if (error_) {
        // The client left before we could see its address: this connection only.
        server_log(kTag, "tcpsession::handle_read",
                   "ERROR : socket.remote_endpoint : ", error_.message());
        close();
        return;
    }
    reply_ = stun_reply(message.data(), message.size(), peer.address().to_string(), peer.port());
    auto self = shared_from_this();
    asio::async_write(socket_, asio::buffer(reply_),
                      [self](const error_code &write_error, std::size_t) {
                          self->handle_reply_write(write_error);
                      });
    server_log_status("SERVER_TCP : MESSAGE SENT");
    server_log("VANTRIP", "", "\nWaiting for next connection....");
}

void tcpsession::handle_reply_write(const error_code &) {
    close();  // one request per connection, whether the reply went out or not
}

void tcpsession::stop_server() {
    io_.stop();
    error_code error;
    socket_.close(error);
    if (error) server_log(kTag, "tcpsession::handle_read", "ERROR : ", error.message());
    server_console("Server Closed..");
    server_log_status("SERVER_TCP : CLOSED");
}

void tcpsession::close() {
    error_code ignored_ec;
    socket_.close(ignored_ec);
}
