// Timed reads: one asynchronous receive raced against one timer, driven one
// completion at a time on the process-wide io_service.
//
//   start timer ──┐
//   start receive ┼─> run_one ─> complete answer? ── yes ─> cancel timer ─┐
//                 │       ^          │ no                                 │
//                 │       └── not expired <── expired? ── yes ─> cancel   │
//                 │                                          receive ─────┤
//                 └──────────────────────── drain both completions <──────┘
//
// The completion handlers only record their codes in a shared state, so a
// completion that outlives the read (the service stopped under us) never
// touches a finished stack frame.
#include "vantrip/client/timed_read.h"

#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "vantrip/frontend/log.h"
#include "vantrip/frontend/settings.h"

namespace {

constexpr std::size_t kResultReceiveBytes = 1024;

struct ReadState {
    bool timer_done = false;
    bool receive_done = false;
    error_code timer_ec;
    error_code receive_ec;  // success until the receive completes
    std::size_t received_bytes = 0;
    char result_buffer[kResultReceiveBytes];
};

int completions(const ReadState &state) {
    return static_cast<int>(state.timer_done) + static_cast<int>(state.receive_done);
}

std::size_t text_length(const char *data, std::size_t max) {
    return strnlen(data, max);
}

std::string text_of(const char *data, std::size_t max) {
    return std::string(data, text_length(data, max));
}

// Runs completions until both of this read's operations have completed, or
// the service has nothing left to run.
void drain(const std::shared_ptr<ReadState> &state) {
    while (!state->timer_done || !state->receive_done) {
        if (io_service.run_one() == 0) break;
    }
}

// The service stops itself whenever its last pending operation completes (the
// end of the previous read, for one), so a read starts by restarting it.
void ready_service() {
    if (io_service.stopped()) io_service.restart();
}

bool expired(const asio::steady_timer &timer) {
    return asio::steady_timer::clock_type::now() >= timer.expiry();
}

void start_timer(asio::steady_timer &timer, int limit_ms, const std::shared_ptr<ReadState> &state) {
    timer.expires_after(std::chrono::milliseconds(limit_ms));
    timer.async_wait([state](const error_code &ec) {
        state->timer_done = true;
        state->timer_ec = ec;
    });
}

template <typename Socket>
void cancel_socket(Socket &socket, const char *tag, const char *operation, const char *prefix) {
    error_code ec;
    socket.cancel(ec);
    if (ec) write_log(tag, operation, std::string(prefix) + ec.message() + "\n");
}

void cancel_timer(asio::steady_timer &timer, const char *tag, const char *operation) {
    error_code ec;
    timer.cancel(ec);
    if (ec) write_log(tag, operation, "ERROR : timer.cancel : " + ec.message() + "\n");
}

// Decimal conversion as the C library's string-to-integer does it (leading
// digits, 0 when there are none), but saturating instead of overflowing.
int32_t to_int32(const std::string &token) {
    long long value = std::strtoll(token.c_str(), nullptr, 10);
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}

std::vector<std::string> split_at_spaces(const std::string &text) {
    std::vector<std::string> tokens;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find(' ', pos);
        if (end == std::string::npos) end = text.size();
        if (end > pos) tokens.push_back(text.substr(pos, end - pos));
        pos = end + 1;
    }
    return tokens;
}

// The server's result of a UDP two-way exchange (a text archive whose last
// three tokens are id, size and time).
void read_rtt_result(asio_udp::socket &socket, int limit_ms, char *data, asio_udp::endpoint &sender,
                     TwoWayDownlinkPacket &result) {
    static const char kTag[] = "CLIENT_UDP";
    static const char kOp[] = "read_with_timeout_udp";
    ready_service();
    auto state = std::make_shared<ReadState>();
    asio::steady_timer timer(io_service);
    start_timer(timer, limit_ms, state);
    write_log(kTag, kOp, "Before receiving RTT result packet\n");

    socket.async_receive_from(asio::buffer(state->result_buffer, kResultReceiveBytes), sender,
                              [state](const error_code &ec, std::size_t n) {
                                  state->receive_done = true;
                                  state->receive_ec = ec;
                                  state->received_bytes = ec ? 0 : n;
                              });
    // A receive error is not an answer; the wait goes on until the limit.
    while (!(state->receive_done && !state->receive_ec) && !state->timer_done) {
        if (io_service.run_one() == 0) break;
    }
    const std::size_t count = state->received_bytes;
    write_log(kTag, kOp,
              "received for RTT result pakcet " + std::to_string(count) +
                  " bytes *****Packet Size is 12\n");

    bool too_few_tokens = false;
    if (count > 0) {
        std::string text = text_of(state->result_buffer, count);
        write_log(kTag, kOp, "COPYING...data received=" + text + "\n");
        std::memcpy(data, state->result_buffer, count);
        write_log(kTag, kOp, "androidString is = " + text + "\n");
        std::vector<std::string> tokens = split_at_spaces(text);
        if (tokens.size() < 3) {
            too_few_tokens = true;
        } else {
            std::size_t last = tokens.size() - 1;
            result.time = to_int32(tokens[last]);
            result.size = to_int32(tokens[last - 1]);
            result.id = to_int32(tokens[last - 2]);
            if (result.time > 0) {
                cancel_timer(timer, kTag, kOp);
                write_log(kTag, kOp, "RTT Message received: => Timer cancelled => RETURN!\n");
            }
        }
    } else if (!state->receive_done || expired(timer)) {
        cancel_socket(socket, kTag, kOp, "RTT packet ERROR : sock.cancel : ");
        std::string fail = " FAIL : Recvd datattt = " + text_of(data, kMaxMessageBytes) +
                           " StringLen=" + std::to_string(text_length(data, kMaxMessageBytes));
        std::cout << "RTT paacket Timeout => Socket cancelled => RETURN!\n\n"
                  << kOp << fail << std::endl;
        write_log(kTag, kOp, "RTT paacket Timeout => Socket cancelled => RETURN!\n" + fail + "\n");
    }

    if (!state->timer_done) cancel_timer(timer, kTag, kOp);
    if (!state->receive_done) cancel_socket(socket, kTag, kOp, "ERROR : sock.cancel : ");
    drain(state);
    if (too_few_tokens) throw std::out_of_range("RTT result packet holds fewer than three fields");
}

// The plain form shared by both transports. Receive starts the one receive
// with a completion that records into the state.
template <typename Socket, typename Receive>
void read_plain(Socket &socket, int limit_ms, char *data, std::size_t expected, const char *tag,
                const char *operation, bool udp_logs, Receive receive) {
    ready_service();
    auto state = std::make_shared<ReadState>();
    asio::steady_timer timer(io_service);
    start_timer(timer, limit_ms, state);
    receive([state](const error_code &ec, std::size_t) {
        state->receive_done = true;
        state->receive_ec = ec;
    });

    int seen = 0;
    for (;;) {
        // One completion of this read. run_one also returns after work that
        // is not ours (readiness bookkeeping, other objects' handlers), which
        // must not count: with E = 0 it would end the read at once.
        bool idle = false;
        while (completions(*state) == seen) {
            if (io_service.run_one() == 0) {
                idle = true;
                break;
            }
        }
        if (idle) break;
        seen = completions(*state);
        if (udp_logs) write_log(tag, operation, "*** IN ELSE ****\n");
        std::size_t len = text_length(data, kMaxMessageBytes);
        if (!state->receive_ec && len == expected) {
            cancel_timer(timer, tag, operation);
            if (udp_logs)
                write_log(tag, operation,
                          " ELSE-PASS : Recvd datattt = " + text_of(data, kMaxMessageBytes) +
                              " StringLen=" + std::to_string(len) + "\n");
            break;
        }
        if (state->timer_done || expired(timer)) {
            cancel_socket(socket, tag, operation, "ERROR : sock.cancel : ");
            if (udp_logs)
                write_log(tag, operation,
                          " ELSE-FAIL : Recvd datattt = " + text_of(data, kMaxMessageBytes) +
                              " StringLen=" + std::to_string(len) + "\n");
            break;
        }
    }
    // Whichever side is still pending (the receive after an E = 0 timer
    // completion, or either one when the service was stopped) ends as aborted.
    if (!state->timer_done) cancel_timer(timer, tag, operation);
    if (!state->receive_done) cancel_socket(socket, tag, operation, "ERROR : sock.cancel : ");
    drain(state);
}

}  // namespace

void read_with_timeout_udp(asio_udp::socket &socket, int limit_ms, char *data, std::size_t expected,
                           asio_udp::endpoint &sender, TwoWayDownlinkPacket &result) {
    if (expected == kTwoWayPacketBytes) {
        read_rtt_result(socket, limit_ms, data, sender, result);
        return;
    }
    read_plain(socket, limit_ms, data, expected, "CLIENT_UDP", "read_with_timeout_udp", true,
               [&](auto handler) {
                   socket.async_receive_from(asio::buffer(data, kMaxMessageBytes), sender, handler);
               });
}

void read_with_timeout_tcp(asio_tcp::socket &socket, int limit_ms, char *data,
                           std::size_t expected) {
    read_plain(socket, limit_ms, data, expected, "CLIENT_TCP", "read_with_timeout_tcp", false,
               [&](auto handler) {
                   socket.async_read_some(asio::buffer(data, kMaxMessageBytes), handler);
               });
}
