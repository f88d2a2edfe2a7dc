// Placeholder until the probe client lands.
#include "vantrip/client/client.h"

Client::Client() = default;

int Client::connect(int, int, const std::string &, const std::string &, const std::string &,
                    uint16_t, int, bool) {
    return 1;
}

int Client::kill_server(const std::string &, uint16_t) { return 1; }
