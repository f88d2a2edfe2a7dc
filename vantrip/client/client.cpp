// The probe client: set-up, the TCP and UDP message loops, the address
// discovery exchange and the stop request.
#include "vantrip/client/client.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>

#include "vantrip/client/identity.h"
#include "vantrip/client/pinger.h"
#include "vantrip/client/timed_read.h"
#include "vantrip/frontend/log.h"
#include "vantrip/frontend/settings.h"

namespace {

using steady = std::chrono::steady_clock;

constexpr char kConnect[] = "Client::connect";
constexpr char kTcp[] = "CLIENT_TCP";
constexpr char kUdp[] = "CLIENT_UDP";
constexpr int kTcpExceptionLimit = 5;

// Whole milliseconds, truncated.
int64_t elapsed_ms(steady::time_point from, steady::time_point to) {
    return std::chrono::duration_cast<std::chrono::microseconds>(to - from).count() / 1000;
}

bool is_v4_word(const std::string &ip_version) {
    return ip_version == "V4" || ip_version == "v4";
}
bool is_v6_word(const std::string &ip_version) {
    return ip_version == "V6" || ip_version == "v6";
}

template <typename Endpoint>
std::string endpoint_text(const Endpoint &endpoint) {
    return endpoint.address().to_string() + ":" + std::to_string(endpoint.port());
}

// The loss in percent as the summary prints it; a run of no messages lost nothing.
double loss_percent(int received, int sent) {
    if (sent <= 0) return 0;
    return 100 - static_cast<double>(received) / sent * 100;
}

}  // namespace

Client::Client() : tcp_socket_(io_service), udp_socket_(io_service), icmp_socket_(io_service) {
    std::memset(data_, 0, sizeof data_);
}

void Client::zero_data() {
    std::memset(data_, 0, sizeof data_);
}

std::string Client::data_text() const {
    return message_text(data_, sizeof data_);
}

void Client::hand_over_reply() {
    std::string collected;
    process_reply(data_, sizeof data_, collected);
}

// ---------------------------------------------------------------- set-up

int Client::connect(int number_of_packets, int delay_ms, const std::string &protocol,
                    const std::string &ip_version, const std::string &server_ip,
                    uint16_t server_port, int packet_size, bool downlink) {
    RunParameters run;
    run.count = number_of_packets < 0 ? 0 : number_of_packets;
    run.limit_ms = delay_ms < 0 ? 0 : delay_ms;
    run.protocol = protocol;
    run.ip_version = ip_version;
    run.server_ip = server_ip;
    run.port = server_port;
    run.port_text = std::to_string(server_port);
    run.packet_size = packet_size;
    run.downlink = downlink;

    const ClientIdentity identity =
        make_client_identity(protocol, ip_version, server_ip, server_port, packet_size);
    payload_ = identity.str();
    roundTripTimes.assign(run.count, 0);
    timed_out_.assign(run.count, false);
    messageCounter = 0;

    if (protocol == "ICMP") return run_icmp(run);

    const bool tcp = protocol == "TCP";
    const char *tag = tcp ? kTcp : kUdp;
    const std::string where = " " + server_ip + ":" + run.port_text;
    if (tcp) {
        asio_tcp::resolver resolver(io_service);
        auto results = resolver.resolve(server_ip, run.port_text, error_);
        if (error_ || results.empty()) {
            write_log(tag, kConnect, "ERROR resolver.resolve : " + error_.message() + where);
            return 1;
        }
        tcp_server_ = *results.begin();
    } else {
        asio_udp::resolver resolver(io_service);
        auto results = resolver.resolve(server_ip, run.port_text, error_);
        if (error_ || results.empty()) {
            write_log(tag, kConnect, "ERROR resolver.resolve : " + error_.message() + where);
            return 1;
        }
        udp_server_ = *results.begin();
    }
    run.address = asio::ip::make_address(server_ip, error_);
    if (error_) {
        write_log(tag, kConnect, "ERROR : Extracting ip from string : " + error_.message() + where);
        return 1;
    }
    if (!tcp) ip_version_ = run.address.is_v6() ? "V6" : "V4";

    if (stun_mode) return tcp ? discover_over_tcp(run) : discover_over_udp(run);
    return tcp ? run_tcp_probes(run) : run_udp_probes(run);
}

int Client::tcpsocket_prep(const std::string &ip_version, const asio::ip::address &server_address) {
    static const char kOp[] = "Client::tcpsocket_prep";
    const bool v4 = is_v4_word(ip_version);
    if (!v4 && !is_v6_word(ip_version)) return -1;
    tcp_socket_.open(v4 ? asio_tcp::v4() : asio_tcp::v6(), error_);
    if (error_) {
        write_log(kTcp, kOp,
                  "ERROR socket.open : " + error_.message() + "\n" +
                      (v4 ? "System does not support IPV4" : "System does not support IPV6"));
        return -1;
    }
    tcp_socket_.set_option(asio::socket_base::reuse_address(true), error_);
    if (error_) {
        write_log(kTcp, kOp, "ERROR socket.set_option : " + error_.message());
        error_code ignored_ec;
        tcp_socket_.close(ignored_ec);
        return -1;
    }
    if (v4 ? server_address.is_v6() : server_address.is_v4()) {
        write_log(kTcp, kOp,
                  v4 ? "ERROR : When using V4 option, please provide V4 type address for server"
                     : "ERROR : When using V6 option, please provide V6 type address for server");
        error_code ignored_ec;
        tcp_socket_.close(ignored_ec);
        return -1;
    }
    return 0;
}

int Client::udpsocket_prep(const std::string &ip_version, const asio::ip::address &server_address) {
    static const char kOp[] = "Client::udpsocket_prep";
    const bool v4 = is_v4_word(ip_version);
    if (!v4 && !is_v6_word(ip_version)) return -1;
    if (!udp_socket_.is_open()) {
        udp_socket_.open(v4 ? asio_udp::v4() : asio_udp::v6(), error_);
        if (error_) {
            write_log(kUdp, kOp, "ERROR : socket.open : " + error_.message());
            close_socket(udp_socket_);
            return -1;
        }
    }
    if (v4 ? server_address.is_v6() : server_address.is_v4()) {
        write_log(kUdp, kOp,
                  v4 ? "ERROR : When using V4 option, please provide V4 type address for server"
                     : "ERROR : When using V6 option, please provide V6 type address for server");
        error_code ignored_ec;
        udp_socket_.close(ignored_ec);
        return -1;
    }
    return 0;
}

namespace {

template <typename Socket>
void close_and_log(Socket &socket, error_code &error, const char *tag, const char *first,
                   const char *closed) {
    static const char kOp[] = "Client::close_socket";
    write_log(tag, kOp, first);
    socket.close(error);
    if (error)
        write_log(tag, kOp, "ERROR : " + error.message());
    else
        write_log(closed, "", "");
}

}  // namespace

void Client::close_socket(asio_tcp::socket &socket) {
    close_and_log(socket, error_, kTcp, "Closing TCP socket...", "CLIENT_TCP : SOCKET CLOSED");
}

void Client::close_socket(asio_udp::socket &socket) {
    close_and_log(socket, error_, kUdp, "Closing UDP socket...", "CLIENT_UDP : SOCKET CLOSED");
}

void Client::close_socket(asio_icmp::socket &socket) {
    close_and_log(socket, error_, "CLIENT_ICMP", "Closing ICMP socket...",
                  "CLIENT_ICMP : SOCKET CLOSED");
}

// ---------------------------------------------------------------- pacing, summary

void Client::pace(steady::time_point started, bool log_iteration) {
    const int64_t d = elapsed_ms(started, steady::now());
    if (log_iteration)
        write_log(kUdp, kConnect,
                  "Iteration Time in Ms is " + std::to_string(d) +
                      " and  1000 - iterationTimeMs=" + std::to_string(1000 - d));
    if (d >= 1000) return;
    asio::steady_timer timer(io_service);
    timer.expires_after(std::chrono::milliseconds(1000 - d));
    error_code ignored_ec;
    timer.wait(ignored_ec);
}

void Client::write_summary(const RunParameters &run) {
    int received = 0;
    int64_t sum = 0, maximum = 0, minimum = 0;
    for (int i = 0; i < messageCounter; ++i) {
        if (timed_out_[i]) continue;
        const int64_t t = roundTripTimes[i];
        if (received == 0) minimum = t;
        if (t < minimum) minimum = t;
        if (t > maximum) maximum = t;
        sum += t;
        ++received;
    }
    log_stream_.str("");
    log_stream_ << "Ping statistics for " << run.server_ip << " via " << run.protocol << " with IP "
                << run.ip_version << ":\n\tPackets: Sent = " << run.count
                << ", Received = " << received << ", Lost = " << (run.count - received) << " ("
                << loss_percent(received, run.count) << "% loss),";
    write_log("CLIENT", "", log_stream_.str());
    if (received < 1) return;
    log_stream_.str("");
    log_stream_ << "Approximate round trip times in milli-seconds: \n\tMinimum = " << minimum
                << " ms, Maximum = " << maximum
                << " ms, Average = " << static_cast<double>(sum) / received << " ms.";
    write_log("CLIENT", "", log_stream_.str());
}

// ---------------------------------------------------------------- TCP probing

int Client::run_tcp_probes(const RunParameters &run) {
    int exceptions = 0;
    for (int i = 0; i < run.count;) {
        const steady::time_point started = steady::now();
        if (tcpsocket_prep(run.ip_version, run.address) != 0) return 1;
        tcp_socket_.connect(tcp_server_, error_);
        if (error_) {
            write_log(kTcp, kConnect, "ERROR socket.connect : " + error_.message());
            close_socket(tcp_socket_);
            return 1;
        }
        write_log("CLIENT_TCP:CONNECTED", "", "");
        try {
            tcp_message(run, i);
        } catch (...) {
            write_log(kTcp, "Exception caught. Repeating this loop..", "");
            if (++exceptions >= kTcpExceptionLimit) {
                write_log(kTcp, kConnect, "Exception caught for 5 times. Exiting now ");
                std::cout.flush();
                std::exit(1);
            }
            close_socket(tcp_socket_);
            pace(started, false);
            continue;
        }
        close_socket(tcp_socket_);
        pace(started, false);
        ++i;
    }
    write_summary(run);
    return 0;
}

void Client::tcp_message(const RunParameters &run, int i) {
    const int c = tcp_probe_number(i);
    const std::size_t size = static_cast<std::size_t>(run.packet_size);
    int64_t t = 0;
    TwoWayDownlinkPacket record;
    error_code ignored_ec;

    if (run.downlink) {
        record.id = tcp_request_id(i);
        record.size = run.packet_size;
        record.time = run.limit_ms;
        uint8_t request[kTwoWayPacketBytes];
        encode_two_way(record, request);
        tcp_socket_.send(asio::buffer(request, sizeof request), 0, ignored_ec);
        zero_data();
        read_with_timeout_tcp(tcp_socket_, run.limit_ms, data_, size);
        tcp_socket_.send(asio::buffer(data_, std::min(size, kMaxMessageBytes)), 0, ignored_ec);
        zero_data();
        read_with_timeout_tcp(tcp_socket_, run.limit_ms, data_, kTwoWayPacketBytes);
        decode_two_way(reinterpret_cast<const uint8_t *>(data_), sizeof data_, &record);
        t = record.time;
    } else {
        payload_ = probe_payload(c, run.packet_size);
        write_log(kTcp, kConnect,
                  "Pinging " + run.server_ip + ":" + run.port_text + " with " +
                      std::to_string(payload_.size()) + " bytes of data (Package Nr. " +
                      std::to_string(c) + ") ...");
        zero_data();
        write_log("CLIENT_TCP : MESSAGE SENT", "", "");
        const steady::time_point t0 = steady::now();
        tcp_socket_.send(asio::buffer(payload_), 0, ignored_ec);
        read_with_timeout_tcp(tcp_socket_, run.limit_ms, data_, size);
        t = elapsed_ms(t0, steady::now());
    }
    if (messageCounter < run.count) roundTripTimes[messageCounter] = t;
    hand_over_reply();

    const std::string received = data_text();
    int message_id;
    int64_t received_length;
    bool match;
    if (run.downlink) {
        message_id = record.id;
        received_length = record.size;
        match = record.time >= 0;
    } else {
        message_id = received.empty() ? -'0' : received[0] - '0';
        received_length = static_cast<int64_t>(received.size());
        match = std::strncmp(payload_.c_str(), data_, size) == 0;
    }
    if (!received.empty() && t < run.limit_ms && match) {
        // remote_endpoint() throws when the peer has gone: one retry of the loop.
        write_log(kTcp, kConnect,
                  "Received " + std::to_string(received_length) + " bytes from " +
                      endpoint_text(tcp_socket_.remote_endpoint()) + ": Message ID: " +
                      std::to_string(message_id) + ", time: " + std::to_string(t) + " ms");
        ++messageCounter;
        write_log("CLIENT_TCP : MESSAGE RECEIVED", "", "");
    } else if (t >= run.limit_ms) {
        write_log(kTcp, kConnect,
                  "No answer received during " + std::to_string(run.limit_ms) + " ms..." + "from " +
                      endpoint_text(tcp_socket_.remote_endpoint()));
        write_log("CLIENT_TCP : MESSAGE NOT RECEIVED", "", "");
    }
}

// ---------------------------------------------------------------- UDP probing

int Client::run_udp_probes(const RunParameters &run) {
    udp_sender_ = asio_udp::endpoint(asio::ip::address_v4::any(), 0);
    for (int i = 0; i < run.count; ++i) {
        const steady::time_point started = steady::now();
        if (udpsocket_prep(run.ip_version, run.address) != 0) return 1;

        TwoWayDownlinkPacket record;
        const int64_t t =
            run.downlink ? udp_downlink_exchange(run, i, record) : udp_normal_exchange(run, i);
        roundTripTimes[messageCounter] = t;
        hand_over_reply();

        const std::string received = data_text();
        int message_id;
        int64_t received_length;
        bool match;
        if (run.downlink) {
            message_id = record.id;
            received_length = record.size;
            match = record.time >= 0;
        } else {
            message_id = received.empty() ? -'0' : received[0] - '0';
            received_length = static_cast<int64_t>(received.size());
            match = std::strncmp(payload_.c_str(), data_,
                                 static_cast<std::size_t>(run.packet_size)) == 0;
        }
        two_way_ = run.downlink ? "true" : "false";
        counter_ = std::to_string(messageCounter + 1);
        if (!received.empty() && t < run.limit_ms && match) {
            write_log(kUdp, kConnect,
                      "Received " + std::to_string(received_length) + " bytes from " +
                          endpoint_text(udp_sender_) + ": Message ID: " +
                          std::to_string(message_id) + ", time: " + std::to_string(t) + " ms");
            // A reply under 1 ms still shows that something came back.
            if (t == 0) roundTripTimes[messageCounter] = 1;
            time_ms_ = std::to_string(t);
            status_ = "OK";
            ++messageCounter;
            write_log("CLIENT_UDP : MESSAGE RECIEVED", "", "");
        } else if (t >= run.limit_ms) {
            write_log(kUdp, kConnect,
                      "roundTripTimes[messageCounter]= " + std::to_string(t) + "\n" +
                          "No answer received during " + std::to_string(run.limit_ms) + " ms..." +
                          "from " + endpoint_text(udp_sender_) + "\n");
            time_ms_ = "0";
            status_ = "TimeOut";
            timed_out_[messageCounter] = true;
            ++messageCounter;
            write_log("CLIENT_UDP : ERROR : MESSAGE NOT RECIEVED", "", "");
        }

        const int packet_id = run.downlink ? udp_request_id(i) : udp_probe_number(i);
        std::cout << "Counter=" << counter_ << " PacketId=" << packet_id << " TwoWay=" << two_way_
                  << " PayloadBytes=" << run.packet_size << " IpVersion=" << ip_version_
                  << " Ip=" << run.server_ip << " Port=" << run.port << " TimeMs=" << time_ms_
                  << " Status=" << status_ << std::endl;

        close_socket(udp_socket_);
        pace(started, true);
    }
    write_summary(run);
    return 0;
}

int64_t Client::udp_normal_exchange(const RunParameters &run, int i) {
    const int number = udp_probe_number(i);
    const std::string number_text = std::to_string(number);
    payload_ = probe_payload(number, run.packet_size);
    write_log(kUdp, kConnect,
              "Else ...Not a two way packet  i=" + std::to_string(i) +
                  "\nsequenceNo=" + number_text + " packetSize=" + std::to_string(run.packet_size) +
                  "\nsequenceNo=" + number_text + "\n");
    write_log(kUdp, kConnect,
              "Pinging " + run.server_ip + ":" + run.port_text + " with " +
                  std::to_string(payload_.size()) + " bytes of data (Package Nr. " +
                  std::to_string(i % 10) + ") ...");
    zero_data();
    write_log("CLIENT_UDP : MESSAGE SENT", "", "");

    TwoWayDownlinkPacket unused;
    error_code ignored_ec;
    const steady::time_point t0 = steady::now();
    udp_socket_.send_to(asio::buffer(payload_), udp_server_, 0, ignored_ec);
    read_with_timeout_udp(udp_socket_, run.limit_ms, data_,
                          static_cast<std::size_t>(run.packet_size), udp_sender_, unused);
    return elapsed_ms(t0, steady::now());
}

int64_t Client::udp_downlink_exchange(const RunParameters &run, int i,
                                      TwoWayDownlinkPacket &record) {
    const std::size_t size = static_cast<std::size_t>(run.packet_size);
    const std::string size_text = std::to_string(run.packet_size);
    record.id = udp_request_id(i);
    record.size = run.packet_size;
    record.time = run.limit_ms;
    uint8_t request[kTwoWayPacketBytes];
    encode_two_way(record, request);
    error_code send_ec;
    const std::size_t sent =
        udp_socket_.send_to(asio::buffer(request, sizeof request), udp_server_, 0, send_ec);
    write_log(kUdp, kConnect,
              "Sent config packet of len " + std::to_string(sent) + " to " +
                  udp_server_.address().to_string());

    zero_data();
    TwoWayDownlinkPacket unused;
    const steady::time_point t0 = steady::now();
    read_with_timeout_udp(udp_socket_, run.limit_ms, data_, size, udp_sender_, unused);
    const int64_t e = elapsed_ms(t0, steady::now());
    write_log(kUdp, kConnect,
              "SocketTimeConsumedTimeMs = " + std::to_string(e) +
                  "\nReceived data packet from server=>\nsending data of size" + size_text + "\n");
    if (e >= run.limit_ms) return e;

    error_code ignored_ec;
    udp_socket_.send_to(asio::buffer(data_, std::min(size, kMaxMessageBytes)), udp_server_, 0,
                        ignored_ec);
    write_log(kUdp, kConnect, "sending data of size" + size_text + "\nwaiting for result\n");
    zero_data();
    const steady::time_point t2 = steady::now();
    read_with_timeout_udp(udp_socket_, run.limit_ms, data_, kTwoWayPacketBytes, udp_sender_,
                          record);
    const int64_t waited = elapsed_ms(t2, steady::now());
    write_log(kUdp, kConnect,
              "******RTT recv SocketTimeConsumedTimeMs2 = " + std::to_string(waited) +
                  "\nRecd rtt packet=" + std::to_string(record.id) + "," +
                  std::to_string(record.size) + "," + std::to_string(record.time) + " ms\n");
    return record.time;
}

// ---------------------------------------------------------------- ICMP

int Client::run_icmp(const RunParameters &run) {
    static const char kIcmp[] = "CLIENT_ICMP";
    // Raw sockets have no ports: resolving with the port as the service fails
    // on common resolvers, so the destination is resolved without one.
    asio_icmp::resolver resolver(io_service);
    resolver.resolve(run.server_ip, "");  // throws "resolve" on failure
    const asio::ip::address address = asio::ip::make_address(run.server_ip, error_);
    if (error_) {
        write_log(kIcmp, kConnect,
                  "ERROR : Extracting ip from string : " + error_.message() + " " + run.server_ip +
                      ":" + run.port_text);
        return 1;
    }
    if (is_v4_word(run.ip_version)) {
        icmp_socket_.open(asio_icmp::v4(), error_);
        if (error_) {
            std::cout << "ERROR: " << error_.message() << "\nSystem does not support IPV4"
                      << std::endl;
            close_socket(icmp_socket_);
            return 1;
        }
        icmp_socket_.bind(asio_icmp::endpoint(asio::ip::address_v4::any(), 0), error_);
        if (error_) {
            std::cout << "ERROR: " << error_.message() << std::endl;
            close_socket(icmp_socket_);
            return 1;
        }
        if (address.is_v6()) {
            std::cout << "When using V4 option, please provide V4 type address for server"
                      << std::endl;
            close_socket(icmp_socket_);
            return 1;
        }
        // The check is done; an idle raw socket would only collect copies of
        // every ICMP packet the host receives.
        error_code ignored_ec;
        icmp_socket_.close(ignored_ec);
    }
    {
        pinger probe(io_service, run.server_ip, run.packet_size, run.count, run.limit_ms);
        io_service.restart();
        io_service.run();
    }
    return 0;
}

// ---------------------------------------------------------------- address discovery

template <typename Socket, typename Start>
std::size_t Client::receive_with_limit(Socket &socket, int limit_ms, Start start) {
    struct State {
        bool timer_done = false;
        bool receive_done = false;
        error_code ec;
        std::size_t bytes = 0;
    };
    if (io_service.stopped()) io_service.restart();
    auto state = std::make_shared<State>();
    asio::steady_timer timer(io_service);
    timer.expires_after(std::chrono::milliseconds(limit_ms));
    timer.async_wait([state](const error_code &) { state->timer_done = true; });
    start([state](const error_code &ec, std::size_t n) {
        state->receive_done = true;
        state->ec = ec;
        state->bytes = n;
    });
    while (!state->receive_done && !state->timer_done) {
        if (io_service.run_one() == 0) break;
    }
    error_code ignored_ec;
    timer.cancel(ignored_ec);
    const bool answered = state->receive_done;
    if (!answered) socket.cancel(ignored_ec);
    while (!state->receive_done || !state->timer_done) {
        if (io_service.run_one() == 0) break;
    }
    error_ = answered ? state->ec : error_code(asio::error::timed_out);
    return error_ ? 0 : state->bytes;
}

int Client::discover_over_udp(const RunParameters &run) {
    if (udpsocket_prep(run.ip_version, run.address) != 0) return 1;
    // payload_ holds the identity text since the set-up.
    write_log(kUdp, kConnect, "Sending message to STUN server");
    std::cout << "Client Sending 444444" << std::endl;
    const std::size_t sent = udp_socket_.send_to(asio::buffer(payload_), udp_server_, 0, error_);
    std::cout << "Client Sent 444444 data of len=" << sent << std::endl;
    if (error_) {
        write_log(kUdp, kConnect, "ERROR socket.send_to : " + error_.message());
        close_socket(udp_socket_);
        return 1;
    }
    write_log(kUdp, kConnect, "Receiving message from STUN server");
    zero_data();
    asio_udp::endpoint sender;
    const std::size_t n = receive_with_limit(udp_socket_, kAnswerLimitMs, [&](auto handler) {
        udp_socket_.async_receive_from(asio::buffer(data_, sizeof data_), sender, handler);
    });
    if (error_) {
        write_log(kUdp, kConnect, "ERROR socket.receive_from : " + error_.message());
        close_socket(udp_socket_);
        return 1;
    }
    std::string collected;
    process_reply(data_, n, collected);
    write_log("CLIENT_UDP : MESSAGE RECEIVED FROM SERVER ", message_text(data_, n), "");
    return 0;
}

int Client::discover_over_tcp(const RunParameters &run) {
    if (tcpsocket_prep(run.ip_version, run.address) != 0) return 1;
    tcp_socket_.connect(tcp_server_, error_);
    if (error_) {
        write_log(kTcp, kConnect, "ERROR socket.connect : " + error_.message());
        close_socket(tcp_socket_);
        return 1;
    }
    write_log("CLIENT_TCP:CONNECTED", "", "");
    write_log(kTcp, kConnect, "Sending message to STUN server");
    tcp_socket_.send(asio::buffer(payload_), 0, error_);
    if (error_) {
        write_log(kTcp, kConnect, "ERROR socket.send : " + error_.message());
        close_socket(tcp_socket_);
        return 1;
    }
    write_log(kTcp, kConnect, "Receiving message from STUN server");
    zero_data();
    const std::size_t n = receive_with_limit(tcp_socket_, kAnswerLimitMs, [&](auto handler) {
        tcp_socket_.async_read_some(asio::buffer(data_, sizeof data_), handler);
    });
    if (error_) {
        write_log(kTcp, kConnect, "ERROR socket.receive : " + error_.message());
        close_socket(tcp_socket_);
        return 1;
    }
    std::string collected;
    process_reply(data_, n, collected);
    write_log("CLIENT_TCP : MESSAGE RECEIVED FROM SERVER ", message_text(data_, n), "");
    return 0;
}

// ---------------------------------------------------------------- remote stop

int Client::kill_server(const std::string &server_ip, uint16_t server_port) {
    static const char kOp[] = "Client::kill_server";
    const std::string port_text = std::to_string(server_port);
    const std::string where = " " + server_ip + ":" + port_text;

    asio_tcp::resolver tcp_resolver(io_service);
    const auto tcp_results = tcp_resolver.resolve(server_ip, port_text, error_);
    if (error_ || tcp_results.empty()) {
        write_log(kTcp, kOp, "ERROR : " + error_.message() + where);
        return 1;
    }
    asio_udp::resolver udp_resolver(io_service);
    const auto udp_results = udp_resolver.resolve(server_ip, port_text, error_);
    if (error_ || udp_results.empty()) {
        write_log(kUdp, kOp, "ERROR: " + error_.message() + where);
        return 1;
    }
    const asio::ip::address address = asio::ip::make_address(server_ip, error_);
    if (error_) {
        write_log(kUdp, kOp, "ERROR : Extracting ip from string : " + error_.message() + where);
        return 1;
    }
    const bool v4 = address.is_v4();
    udp_socket_.open(v4 ? asio_udp::v4() : asio_udp::v6(), error_);
    if (!error_) {
        kill_udp(*udp_results.begin());
        return 0;
    }
    tcp_socket_.open(v4 ? asio_tcp::v4() : asio_tcp::v6(), error_);
    if (!error_) {
        kill_tcp(tcp_results);
        return 0;
    }
    write_log("CLIENT", kOp,
              v4 ? "ERROR : Use V6 type address for server ip"
                 : "ERROR : Use V4 type address for server ip");
    return 1;
}

void Client::kill_udp(const asio_udp::endpoint &server) {
    static const char kOp[] = "Client::kill_udp";
    payload_ = "STOP;";
    udp_socket_.connect(server, error_);
    if (error_) {
        write_log("CLIENT", kOp, "ERROR : " + error_.message());
        close_socket(udp_socket_);
        return;
    }
    udp_socket_.send(asio::buffer(payload_), 0, error_);
    if (error_) write_log("CLIENT", kOp, "ERROR : " + error_.message());
    close_socket(udp_socket_);
}

void Client::kill_tcp(const asio_tcp::resolver::results_type &servers) {
    static const char kOp[] = "Client::kill_tcp";
    payload_ = "STOP;";
    asio::connect(tcp_socket_, servers, error_);
    if (error_) {
        write_log("CLIENT", kOp, "ERROR : " + error_.message());
        close_socket(tcp_socket_);
        return;
    }
    tcp_socket_.send(asio::buffer(payload_), 0, error_);
    if (error_) {
        write_log("CLIENT", kOp, "ERROR : " + error_.message());
        close_socket(tcp_socket_);
        return;
    }
    zero_data();
    const std::size_t n = receive_with_limit(tcp_socket_, kAnswerLimitMs, [&](auto handler) {
        tcp_socket_.async_read_some(asio::buffer(data_, sizeof data_), handler);
    });
    if (error_) {
        write_log("CLIENT", kOp, "ERROR : " + error_.message());
    } else {
        std::cout << "\nServer Response: " << std::endl;
        std::string collected;
        process_reply(data_, n, collected);
    }
    close_socket(tcp_socket_);
}
