// The identity an address discovery client sends to the server: seven
// labelled fields, each ended by ';'. Built once per Client::connect.
#pragma once

#include <cstdint>
#include <string>

struct ClientIdentity {
    std::string client_id = "client1234";
    std::string s_version = "CV_1_0";
    int request_id = 0;      // 1 to 49999
    std::string protocol;    // upper case: "TCP", "UDP" or "ICMP"
    std::string ip_version;  // "V4" or "V6"
    std::string server_ip;   // as typed on the command line
    uint16_t server_port = 0;
    int packet_size = 0;  // not part of the text form

    // "Client_id: client1234;S_VERSION: CV_1_0;Request_id: N;Protocol: P;"
    // "IP Version: V;Server IP: A;Server Port: N;"
    std::string str() const;
};

// Request number for a pseudo-random r in 0..32767: 1 + floor(r * 50000 / 32768).
int client_request_id(int r);

// Fills every field; the request number comes from the C library's generator
// seeded with the current time in seconds (only its low 15 bits are used, so
// the range is the same on every platform).
ClientIdentity make_client_identity(const std::string &protocol, const std::string &ip_version,
                                    const std::string &server_ip, uint16_t server_port,
                                    int packet_size);
