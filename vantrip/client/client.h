// The probe client: one object per CLIENT, STUN CLIENT or STOP run.
#pragma once

#include <cstdint>
#include <string>

class Client {
public:
    Client();
    // Runs a whole CLIENT or STUN CLIENT exchange; 1 on failure, 0 on success.
    int connect(int number_of_packets, int delay_ms, const std::string &protocol,
                const std::string &ip_version, const std::string &server_ip,
                uint16_t server_port, int packet_size, bool downlink);
    // Sends "STOP;" to a server; 1 on failure, 0 on success.
    int kill_server(const std::string &server_ip, uint16_t server_port);
};
