// UDP side of the probe server.
#pragma once

#include <cstdint>

#include "vantrip/frontend/asio.h"

class udp_server {
public:
    udp_server(asio::io_service &io, uint16_t port);
};
