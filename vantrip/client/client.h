// The probe client: one object per CLIENT, STUN CLIENT or STOP run.
//
// Everything runs synchronously on the process's one thread and uses the
// process-wide io_service. Socket failures are reported through error_ and
// the log, never by exceptions of its own; the public operations return 1 on
// failure and 0 on success.
#pragma once

#include <chrono>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "vantrip/frontend/asio.h"
#include "vantrip/server/protocol.h"

class Client {
  public:
    Client();
    // Runs a whole CLIENT or STUN CLIENT exchange; 1 on failure, 0 on success.
    int connect(int number_of_packets, int delay_ms, const std::string &protocol,
                const std::string &ip_version, const std::string &server_ip, uint16_t server_port,
                int packet_size, bool downlink);
    // Sends "STOP;" to a server; 1 on failure, 0 on success.
    int kill_server(const std::string &server_ip, uint16_t server_port);

    // Open and prepare the socket of the given family for one message; 0 when
    // ready, -1 after a failure (logged, socket left closed).
    int tcpsocket_prep(const std::string &ip_version, const asio::ip::address &server_address);
    int udpsocket_prep(const std::string &ip_version, const asio::ip::address &server_address);

    // Close one socket and log the outcome.
    void close_socket(asio_tcp::socket &socket);
    void close_socket(asio_udp::socket &socket);
    void close_socket(asio_icmp::socket &socket);

    // The two ways of sending the stop request; the socket is already open.
    void kill_udp(const asio_udp::endpoint &server);
    void kill_tcp(const asio_tcp::resolver::results_type &servers);

    // How long the discovery and TCP stop exchanges wait for their answer.
    static constexpr int kAnswerLimitMs = 5000;

  private:
    struct RunParameters {
        int count = 0;
        int limit_ms = 0;
        std::string protocol;
        std::string ip_version;
        std::string server_ip;
        uint16_t port = 0;
        std::string port_text;
        int packet_size = 0;
        bool downlink = false;
        asio::ip::address address;
    };

    int run_tcp_probes(const RunParameters &run);
    int run_udp_probes(const RunParameters &run);
    int run_icmp(const RunParameters &run);
    int discover_over_udp(const RunParameters &run);
    int discover_over_tcp(const RunParameters &run);

    // One TCP message: exchange and evaluation (may throw; the caller retries).
    void tcp_message(const RunParameters &run, int i);
    int64_t udp_normal_exchange(const RunParameters &run, int i);
    int64_t udp_downlink_exchange(const RunParameters &run, int i, TwoWayDownlinkPacket &record);
    void pace(std::chrono::steady_clock::time_point started, bool log_iteration);
    void write_summary(const RunParameters &run);
    void hand_over_reply();
    void zero_data();
    std::string data_text() const;

    // One receive of at most kMaxMessageBytes into data_, ended by an error
    // (timed_out after limit_ms); the byte count is returned.
    template <typename Socket, typename Start>
    std::size_t receive_with_limit(Socket &socket, int limit_ms, Start start);

  public:
    error_code error_;
    std::string payload_;
    char data_[kMaxMessageBytes];
    int messageCounter = 0;
    std::string counter_;
    std::string ip_version_;
    std::string two_way_;
    std::string time_ms_;
    std::string status_;
    std::ostringstream log_stream_;
    std::vector<int64_t> roundTripTimes;

    asio_tcp::socket tcp_socket_;
    asio_udp::socket udp_socket_;
    asio_icmp::socket icmp_socket_;

  private:
    // Entries of roundTripTimes that belong to messages that timed out: they
    // count as lost and stay out of the round-trip statistics.
    std::vector<bool> timed_out_;
    asio_tcp::endpoint tcp_server_;
    asio_udp::endpoint udp_server_;
    asio_udp::endpoint udp_sender_;
};
