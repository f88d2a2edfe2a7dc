// The address discovery client's identity and its text form.
#include "vantrip/client/identity.h"

#include <cstdlib>
#include <ctime>

std::string ClientIdentity::str() const {
    std::string text;
    text.reserve(128 + server_ip.size());
    text += "Client_id: " + client_id + ";";
    text += "S_VERSION: " + s_version + ";";
    text += "Request_id: " + std::to_string(request_id) + ";";
    text += "Protocol: " + protocol + ";";
    text += "IP Version: " + ip_version + ";";
    text += "Server IP: " + server_ip + ";";
    text += "Server Port: " + std::to_string(server_port) + ";";
    return text;
}

int client_request_id(int r) {
    return 1 + static_cast<int>((static_cast<long>(r) * 50000) / 32768);
}

ClientIdentity make_client_identity(const std::string &protocol, const std::string &ip_version,
                                    const std::string &server_ip, uint16_t server_port,
                                    int packet_size) {
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    ClientIdentity identity;
    identity.request_id = client_request_id(std::rand() & 0x7FFF);
    identity.protocol = protocol;
    identity.ip_version = ip_version;
    identity.server_ip = server_ip;
    identity.server_port = server_port;
    identity.packet_size = packet_size;
    return identity;
}
