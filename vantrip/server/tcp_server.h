// TCP side of the probe server.
#pragma once

#include <cstdint>

#include "vantrip/frontend/asio.h"

class tcp_server {
public:
    tcp_server(asio::io_service &io, uint16_t port);
};
