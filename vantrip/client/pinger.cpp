// ICMP echo prober; see pinger.h for the handler flow.
#include "vantrip/client/pinger.h"

#include <algorithm>
#include <cstdio>

#include "vantrip/frontend/log.h"
#include "vantrip/frontend/platform.h"
#include "vantrip/server/protocol.h"

namespace {

constexpr std::size_t kIcmpHeaderBytes = 8;
constexpr std::size_t kMaxPacketBytes = 65536;
constexpr uint8_t kEchoReply = 0;
constexpr uint8_t kEchoRequest = 8;

uint16_t get_be16(const uint8_t *in) {
    return static_cast<uint16_t>((in[0] << 8) | in[1]);
}

void put_be16(uint8_t *out, uint16_t value) {
    out[0] = static_cast<uint8_t>(value >> 8);
    out[1] = static_cast<uint8_t>(value);
}

}  // namespace

uint16_t internet_checksum(const uint8_t *data, std::size_t len) {
    uint32_t sum = 0;
    std::size_t i = 0;
    for (; i + 1 < len; i += 2) sum += get_be16(data + i);
    if (i < len) sum += static_cast<uint32_t>(data[i]) << 8;
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

std::vector<uint8_t> icmp_echo_request(uint16_t identifier, uint16_t sequence,
                                       const std::string &body) {
    std::vector<uint8_t> message(kIcmpHeaderBytes + body.size(), 0);
    message[0] = kEchoRequest;
    message[1] = 0;  // code
    put_be16(&message[4], identifier);
    put_be16(&message[6], sequence);
    std::copy(body.begin(), body.end(), message.begin() + kIcmpHeaderBytes);
    put_be16(&message[2], internet_checksum(message.data(), message.size()));
    return message;
}

bool parse_icmp_packet(const uint8_t *packet, std::size_t len, IcmpReply *reply) {
    if (len < 20) return false;
    if ((packet[0] >> 4) != 4) return false;
    const std::size_t header_length = static_cast<std::size_t>(packet[0] & 0x0F) * 4;
    if (header_length < 20 || header_length > 60) return false;
    if (len < header_length + kIcmpHeaderBytes) return false;
    const uint8_t *icmp = packet + header_length;
    reply->type = icmp[0];
    reply->identifier = get_be16(icmp + 4);
    reply->sequence = get_be16(icmp + 6);
    reply->ip_header_length = static_cast<int>(header_length);
    reply->ip_total_length = get_be16(packet + 2);
    char source[16];
    std::snprintf(source, sizeof source, "%u.%u.%u.%u", packet[12], packet[13], packet[14],
                  packet[15]);
    reply->source = source;
    reply->body.assign(reinterpret_cast<const char *>(icmp + kIcmpHeaderBytes),
                       len - header_length - kIcmpHeaderBytes);
    return true;
}

pinger::pinger(asio::io_service &io, const std::string &destination, int packet_size, int count,
               int delay_ms)
    : dest_resolver_(io),
      icmp_socket_(io),
      deadline_(io),
      packet_size_(packet_size),
      count_(count < 0 ? 0 : count),
      delay_(delay_ms < 0 ? 0 : delay_ms),
      io_(io),
      round_trip_times_(static_cast<std::size_t>(count_), 0),
      identifier_(static_cast<uint16_t>(process_id() & 0xFFFF)) {
    auto results = dest_resolver_.resolve(asio_icmp::v4(), destination, "");
    if (results.empty()) throw boost::system::system_error(asio::error::host_not_found, "resolve");
    dest_ = *results.begin();
    icmp_socket_.open(asio_icmp::v4());
    if (count_ == 0) {
        // Nothing to send: only the (empty) summary.
        close();
        closed_ = true;
        return;
    }
    start_send();
    start_receive();
}

pinger::~pinger() {
    stopping_ = true;
    error_code ignored_ec;
    deadline_.cancel(ignored_ec);
    icmp_socket_.close(ignored_ec);
    try {
        // The cancelled completions still refer to this object: run them now.
        io_.restart();
        io_.poll();
    } catch (...) {
        // Nothing of ours throws once stopping_ is set.
    }
}

void pinger::start_send() {
    static const char kOp[] = "pinger::start_send";
    const std::string body = probe_payload(received_ % 10, packet_size_);
    const std::vector<uint8_t> request = icmp_echo_request(identifier_, ++seq_, body);

    log_stream_.str("");
    log_stream_ << "Pinging " << dest_.address().to_string() << ":" << dest_.port() << " with "
                << packet_size_ << " bytes of data (Message ID: " << (received_ % 10)
                << ") and 8 bytes header for the echo-request...\n";
    write_log("PING", kOp, log_stream_.str());

    sent_at_ = clock::now();
    icmp_socket_.send_to(asio::buffer(request), dest_);  // throws "send_to"
    replies_for_request_ = 0;
    deadline_.expires_at(sent_at_ + std::chrono::milliseconds(delay_));
    deadline_.async_wait([this](const error_code &) {
        if (!stopping_) handle_timeout();
    });
    ++sent_;
}

void pinger::handle_timeout() {
    static const char kOp[] = "pinger::handle_timeout";
    if (sent_ < count_) {
        if (replies_for_request_ == 0)
            write_log("PING", kOp,
                      "No answer received during " + std::to_string(delay_) +
                          " ms. => Waiting one second before resending...\n");
        // The next request goes one second after this one, or at once when a
        // late reply cancels this wait.
        deadline_.expires_at(sent_at_ + std::chrono::seconds(1));
        deadline_.async_wait([this](const error_code &) {
            if (!stopping_) start_send();
        });
        return;
    }
    io_.stop();
    if (!closed_) {
        write_log("PING", kOp, "No answer received during " + std::to_string(delay_) + " ms.\n");
        close();
        closed_ = true;
    }
}

void pinger::start_receive() {
    rx_buffer_.resize(kMaxPacketBytes);
    icmp_socket_.async_receive(asio::buffer(rx_buffer_),
                               [this](const error_code &ec, std::size_t length) {
                                   if (stopping_ || ec == asio::error::operation_aborted) return;
                                   if (ec) {
                                       start_receive();
                                       return;
                                   }
                                   handle_receive(length);
                               });
}

void pinger::handle_receive(std::size_t length) {
    static const char kOp[] = "pinger::handle_receive";
    IcmpReply reply;
    const bool parsed = parse_icmp_packet(rx_buffer_.data(), length, &reply);
    if (parsed && reply.type == kEchoReply && reply.identifier == identifier_ &&
        reply.sequence == seq_ && !closed_) {
        if (replies_for_request_ == 0) {
            error_code ignored_ec;
            deadline_.cancel(ignored_ec);
        }
        ++replies_for_request_;
        const int64_t t =
            std::chrono::duration_cast<std::chrono::microseconds>(clock::now() - sent_at_).count() /
            1000;
        round_trip_times_[static_cast<std::size_t>(received_)] = t;
        log_stream_.str("");
        log_stream_ << "Received " << (reply.ip_total_length - reply.ip_header_length)
                    << " bytes from " << reply.source << ": Message ID: "
                    << (reply.body.empty() ? std::string() : reply.body.substr(0, 1))
                    << ", time=" << t << " ms";
        write_log("PING", kOp, log_stream_.str());
        if (++received_ >= count_) {
            error_code ignored_ec;
            deadline_.cancel(ignored_ec);
            io_.stop();
            close();
            closed_ = true;
            return;
        }
    }
    start_receive();
}

void pinger::close() {
    int64_t sum = 0, maximum = 0, minimum = received_ > 0 ? round_trip_times_[0] : 0;
    for (int i = 0; i < received_; ++i) {
        const int64_t t = round_trip_times_[static_cast<std::size_t>(i)];
        if (t < minimum) minimum = t;
        if (t > maximum) maximum = t;
        sum += t;
    }
    const double loss = count_ > 0 ? 100 - static_cast<double>(received_) / count_ * 100 : 0.0;
    log_stream_.str("");
    log_stream_ << "Ping statistics for " << dest_.address().to_string() << ":" << dest_.port()
                << " via ICMP with IPv4:\n\tPackets: Sent = " << count_
                << ", Received = " << received_ << ", Lost = " << (count_ - received_) << " ("
                << loss << "% loss),";
    write_log("PING", "pinger::close", log_stream_.str());
    if (received_ == 0) return;
    log_stream_.str("");
    log_stream_ << "Approximate round trip times in milli-seconds: \n\tMinimum = " << minimum
                << " ms, Maximum = " << maximum
                << " ms, Average = " << static_cast<double>(sum) / received_ << " ms.";
    write_log("PING", "pinger::close", log_stream_.str());
}
