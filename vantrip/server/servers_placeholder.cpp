// Placeholder until the probe servers land.
#include "vantrip/server/tcp_server.h"
#include "vantrip/server/udp_server.h"

tcp_server::tcp_server(asio::io_service &, uint16_t) {}
udp_server::udp_server(asio::io_service &, uint16_t) {}
