// UDP side of the probe server.
//
// Handler flow (each socket has one receive or one echo send pending, never both):
//
//   udp_server()  open, options, bind (4 attempts each) -- any failure: exit 1
//        |
//   start_receive  (after a failed send: reopen socket_v4)
//        | arm_receive on each idle socket
//        v
//   async_receive_from --> handle_receive
//        ^                   | aborted:           we closed the socket; re-arm
//        |                   | error:             log, re-arm
//        |                   | stop request:      "Server Closed..;" back, io_service.stop()
//        |                   | stun mode:         ignored, re-arm
//        |                   | echo probe:        async_send_to --> handle_donothing --+
//        |                   | two-way datagram:  process_two_way_downlink             |
//        |                   |   Idle:         request  -> sync send of the data        |
//        |                   |   AwaitingEcho: returned -> sync send of the result      |
//        +-------------------+-----------------------------------------------------------+
#include "vantrip/server/udp_server.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "vantrip/frontend/log.h"
#include "vantrip/frontend/settings.h"
#include "vantrip/server/server_log.h"

long probe_counter = 0;

namespace {

constexpr const char *kTag = "SERVER_UDP";
constexpr int kBindAttempts = 4;
constexpr auto kBindRetryDelay = std::chrono::milliseconds(2000);
const std::string kRule(56, '+');

// The decimal value of the leading digits of text; 0 when there are none.
int leading_digits(const std::string &text) {
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') break;
        value = value * 10 + (c - '0');
    }
    return value;
}

int64_t elapsed_us(std::chrono::steady_clock::time_point from,
                   std::chrono::steady_clock::time_point to) {
    return std::chrono::duration_cast<std::chrono::microseconds>(to - from).count();
}

}  // namespace

udp_server::udp_server(asio::io_service &io, uint16_t port)
    : io_(io), port_(port), v4_(io, "socket_v4"), v6_(io, "socket_v6") {
    try {
        set_up();
    } catch (const std::exception &e) {
        server_log(kTag, "udp_server::udp_server", "ERROR : ", e.what());
        std::exit(1);
    }
    start_receive();
}

udp_server::~udp_server() {
    error_code ignored_ec;
    v4_.socket.close(ignored_ec);
    v6_.socket.close(ignored_ec);
}

void udp_server::set_up() {
    auto check = [this] {
        if (!error_) return;
        server_log(kTag, "udp_server::udp_server", "ERROR : ", error_.message());
        std::exit(1);
    };
    v4_.socket.open(asio_udp::v4(), error_);
    check();
    v6_.socket.open(asio_udp::v6(), error_);
    check();
    v4_.socket.set_option(asio::socket_base::reuse_address(true), error_);
    bind_with_retries(v4_, asio_udp::endpoint(asio_udp::v4(), port_));
    v6_.socket.set_option(asio::socket_base::reuse_address(true), error_);
    v6_.socket.set_option(asio::ip::v6_only(true), error_);
    check();
    bind_with_retries(v6_, asio_udp::endpoint(asio_udp::v6(), port_));
}

void udp_server::bind_with_retries(channel &ch, const asio_udp::endpoint &endpoint) {
    for (int count = 0;; ++count) {
        ch.socket.bind(endpoint, error_);
        if (!error_) return;
        if (count == kBindAttempts - 1) {
            server_log(kTag, "udp_server::udp_server", "Could not bind... exiting ");
            std::exit(1);
        }
        server_log(kTag, "udp_server::udp_server", "ERROR : ", ch.name,
                   ".bind : ", error_.message());
        server_log(kTag, "udp_server::udp_server", "Trying to bind again.. ", count + 1);
        std::this_thread::sleep_for(kBindRetryDelay);
    }
}

// After a failed send socket_v4 is made anew. Its pending receive or echo
// completes as aborted and re-arms through start_receive. A failure leaves
// socket_v4 closed and the server goes on with socket_v6.
bool udp_server::reopen_v4() {
    error_code error;
    v4_.socket.close(error);
    if (!error) v4_.socket.open(asio_udp::v4(), error);
    if (!error) v4_.socket.set_option(asio::socket_base::reuse_address(true), error);
    if (!error) v4_.socket.bind(asio_udp::endpoint(asio_udp::v4(), port_), error);
    if (!error) return true;
    server_log(kTag, "udp_server::start_receive", "ERROR : socket_v4 reopen : ", error.message());
    error_code ignored_ec;
    v4_.socket.close(ignored_ec);
    return false;
}

void udp_server::start_receive() {
    if (error_) {
        error_code ignored_ec;
        const std::size_t waiting = v4_.socket.available(ignored_ec);
        server_log(kTag, "udp_server::start_receive", "AVAILABLE : ", waiting, " bytes");
        server_console("Error for socket_v4.available()=", error_.message());
        server_log(kTag, "udp_server::start_receive", "ERROR : ", error_.message());
        reopen_v4();
    }
    error_.clear();
    for (channel *ch : {&v4_, &v6_}) {
        // Set once per socket: the flag survives until the socket is made anew.
        if (!ch->socket.is_open() || ch->socket.non_blocking()) continue;
        ch->socket.non_blocking(true, error_);
        if (error_) server_log(kTag, "udp_server::start_receive", "ERROR : ", error_.message());
    }
    arm_receive(v4_);
    arm_receive(v6_);
}

void udp_server::arm_receive(channel &ch) {
    if (!ch.socket.is_open() || ch.receive_pending || ch.echo_pending) return;
    ch.recv_buffer_.fill(0);
    ch.receive_pending = true;
    std::weak_ptr<int> alive = alive_;
    ch.socket.async_receive_from(asio::buffer(ch.recv_buffer_.data(), kMaxMessageBytes), ch.sender,
                                 [this, alive, &ch](const error_code &error, std::size_t bytes) {
                                     if (alive.expired()) return;
                                     handle_receive(ch, error, bytes);
                                 });
}

void udp_server::handle_receive(channel &ch, const error_code &error, std::size_t bytes) {
    ch.receive_pending = false;
    if (error == asio::error::operation_aborted) {  // we closed the socket to make it anew
        start_receive();
        return;
    }
    server_log(kTag, "udp_server::handle_receive",
               "V4At start of handle_receive()....bytes_transferred= ", bytes);
    server_log(
        kTag, "udp_server::handle_receive",
        "V4At start of handle_receive()....sizeof(TwoWayDownlinkPacket)= ", kTwoWayPacketBytes);
    const asio::ip::address sender_address = ch.sender.address();
    line_.ip = sender_address.to_string();
    line_.port = ch.sender.port();
    line_.ip_version = sender_address.is_v4() ? "V4" : "V6";

    if (error) {
        server_log(kTag, "udp_server::handle_receive", "ERROR : ", error.message());
        if (error != asio::error::message_size) {
            start_receive();
            return;
        }
        bytes = kMaxMessageBytes;  // only too long: handled as its first 4096 bytes
    }
    bytes = std::min(bytes, kMaxMessageBytes);
    const char *text = ch.recv_buffer_.data();
    const auto *raw = reinterpret_cast<const uint8_t *>(text);

    if (stun_mode) {
        server_console("V4 I am here");
        // A stop request still ends the server, or it could not be stopped remotely.
        if (is_stop_request(text, bytes)) {
            send_stop_reply(ch);
            return;
        }
    } else {
        // The stop request is recognised first, so that it never starts a
        // two-way exchange and its requester gets the stop reply alone.
        std::string message;
        if (process_reply(text, bytes, message) == 3) {
            server_log_status("SERVER_UDP : MESSAGE RECEIVED");
            send_stop_reply(ch);
            return;
        }
        if (bytes == kTwoWayPacketBytes) decode_two_way(raw, bytes, &echo_gate_);
        if (is_udp_echo_probe(raw, bytes))
            handle_echo_probe(ch, bytes);
        else
            handle_two_way_datagram(ch, bytes);
        server_log_status("SERVER_UDP : MESSAGE RECEIVED");
        server_log(kTag, "udp_server::handle_receive", "Received UDP paket ", message.substr(0, 1),
                   " with ", bytes, " bytes");
    }
    server_log("VANTRIP", "", "\nV4 Waiting for next connection....");
    start_receive();
}

void udp_server::handle_echo_probe(channel &ch, std::size_t bytes) {
    constexpr const char *op = "udp_server::handle_receive";
    const std::string received(ch.recv_buffer_.data(), strnlen(ch.recv_buffer_.data(), bytes));
    ++probe_counter;
    line_.counter = probe_counter;
    line_.two_way = false;
    line_.payload_bytes = static_cast<long>(received.size());
    line_.time_ms = 0;
    line_.status = "NotApplicable";
    server_log(kTag, op,
               "In else to determine false packet vs single vantrip **** recv_buffer_.data() - "
               "Data Received is=",
               received);
    server_log(kTag, op, "DAta Received is =", received);

    line_.packet_id = received.substr(0, 3);
    server_log(kTag, op, "Now str becomes =", line_.packet_id);
    int probe_id = 0;
    if (!line_.packet_id.empty() && static_cast<signed char>(line_.packet_id[0]) > 0) {
        probe_id = leading_digits(line_.packet_id);
        echo_gate_.id = probe_id;
    }
    server_log(kTag, op, "recv_buffer_.data() - Data Received is=", received);
    server_log(kTag, op, "Packet copied,,,,packetid= ", probe_id);
    server_log(kTag, op, "V4 Inside else for NOT A TWO WAY PACKET");
    server_log(kTag, op, "V4recd sequenceNo=", probe_id);

    if (echo_gate_.id != 0 || echo_gate_.size != 0) {
        server_log(
            kTag, op,
            "Inside else for packet id not zero **** recv_buffer_.data() - Data Received is=",
            received);
        ch.echo_pending = true;
        std::weak_ptr<int> alive = alive_;
        ch.socket.async_send_to(asio::buffer(ch.recv_buffer_.data(), bytes), ch.sender,
                                [this, alive, &ch](const error_code &error, std::size_t sent) {
                                    if (alive.expired()) return;
                                    handle_donothing(ch, error, sent);
                                });
        server_log(kTag, op, "message_: ", received, ":", "\n", kMaxMessageBytes, "\n", bytes);
    } else {
        server_log(kTag, op,
                   "NOT A TWO WAT PACKET - FALSE PACKET - packet.id == 0 && packet.size==0");
    }
    print_result_line(op);
}

void udp_server::handle_donothing(channel &ch, const error_code &error, std::size_t) {
    ch.echo_pending = false;
    server_log(kTag, "udp_server::handle_donothing",
               "In handle_donothing(const boost::system::error_code& error,size_t "
               "bytes_transferred)");
    server_log(kTag, "udp_server::handle_donothing", "\n Error = ", error.message());
    start_receive();  // recv_buffer_ is free again
}

void udp_server::handle_two_way_datagram(channel &ch, std::size_t bytes) {
    if (state_ == TwoWayState::AwaitingEcho) {
        ++probe_counter;
        line_.counter = probe_counter;
        process_two_way_downlink(ch);
        return;
    }
    // A request is the 12-byte record; anything else starts nothing.
    if (bytes != kTwoWayPacketBytes) {
        server_log(kTag, "udp_server::handle_receive",
                   "ERROR : two-way request refused: not a 12-byte record, ", bytes, " bytes");
        return;
    }
    TwoWayDownlinkPacket request;
    decode_two_way(reinterpret_cast<const uint8_t *>(ch.recv_buffer_.data()), bytes, &request);
    if (request.size < 0 || static_cast<std::size_t>(request.size) > kMaxMessageBytes) {
        server_log(kTag, "udp_server::handle_receive",
                   "ERROR : two-way request refused: packetSize out of 0..4096 id=", request.id,
                   " size=", request.size, " time=", request.time);
        return;
    }
    packet_ = request;
    process_two_way_downlink(ch);
}

void udp_server::process_two_way_downlink(channel &ch) {
    constexpr const char *op = "udp_server::process_two_way_downlink";
    server_log(kTag, op, "packetttt.size=", packet_.size, "   packetttt.id= ", packet_.id,
               "  packettt.time=", packet_.time);

    if (state_ == TwoWayState::Idle) {
        server_log_status("udp_server::process_two_way_downlink..");
        two_way_channel_ = &ch;
        sent_data_ = probe_payload(packet_.id, packet_.size);
        send_time_ = std::chrono::steady_clock::now();
        ch.socket.send_to(asio::buffer(sent_data_), ch.sender, 0, error_);
        ch.recv_buffer_.fill(0);
        state_ = TwoWayState::AwaitingEcho;
        return;
    }

    return_time_ = std::chrono::steady_clock::now();
    const char *received = ch.recv_buffer_.data();
    const int32_t elapsed_ms = round_trip_ms(elapsed_us(send_time_, return_time_));
    server_log(kTag, op, "Recd data of size", packet_.size);
    server_log(kTag, op, "Recv Data of length ", kMaxMessageBytes, "is [", received, "]");
    server_log(kTag, op, "  Duration in ms =  ", elapsed_ms);
    server_log(kTag, op, kRule);
    server_log(kTag, op, "Comparing sent and recvd data");
    server_log(kTag, op, "Sent Data of lenght ", sent_data_.size(), "  was[", sent_data_, "]");
    server_log(kTag, op, "Recv Data of length ", kMaxMessageBytes, "is [", received, "]");
    server_log(kTag, op, "packet.size is ", packet_.size);
    server_log(kTag, op, kRule);

    if (std::strncmp(sent_data_.c_str(), received, static_cast<std::size_t>(packet_.size)) == 0) {
        packet_.time = elapsed_ms;
    } else {
        server_log(kTag, op, "packetStr= ", sent_data_);
        server_log(kTag, op, "recv_bufr= ", received);
        server_log(kTag, op, "Sent data:", sent_data_);
        server_log(kTag, op, "Recd data:", received, "EndsHere");
        packet_.time = -1;
    }
    const std::string result = encode_rtt_result(packet_);
    server_log(kTag, op, "RTT strlen=", result.size());

    line_.payload_bytes = packet_.size;
    line_.packet_id = std::to_string(packet_.id);
    line_.time_ms = packet_.time == 0 ? 1 : packet_.time;
    line_.two_way = true;
    line_.status = "OK";

    channel &client = *two_way_channel_;
    const std::size_t sent = client.socket.send_to(asio::buffer(result), client.sender, 0, error_);
    server_log(kTag, op, "For RTTResultPacket Sent ", sent, " bytes from Server");
    if (&client == &v6_) server_log_status("udp_server::process_two_way_downlink");
    state_ = TwoWayState::Idle;
    print_result_line(op);
}

void udp_server::send_stop_reply(channel &ch) {
    message_ = "Server Closed..;";
    // Sent at once: the service loop ends right after.
    error_code ignored_ec;
    ch.socket.send_to(asio::buffer(message_), ch.sender, 0, ignored_ec);
    server_log_status("*** inside display_rcvd_msg 1 ");
    io_.stop();
    server_log_status("*** inside display_rcvd_msg 2 ");
    server_log_status("Server Closed..");
    server_log_status("SERVER_UDP : STOPPED");
}

void udp_server::print_result_line(const char *operation) {
    const std::string text = line_.str();
    server_console(text);
    server_log(kTag, operation, text);
}
