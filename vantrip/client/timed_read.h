// Receives that end when the expected answer is complete or the time limit
// has passed, whichever comes first. Both drive the process-wide io_service
// one completion at a time and leave no completion of their own pending.
// A stopped io_service (it stops itself when its last operation completes)
// is restarted at the start of a read.
#pragma once

#include <cstddef>

#include "vantrip/frontend/asio.h"
#include "vantrip/server/protocol.h"

// data is the caller's zeroed kMaxMessageBytes buffer. expected == 12 selects
// the result form: the reply is read as an RTTResultPacket into result.
void read_with_timeout_udp(asio_udp::socket &socket, int limit_ms, char *data,
                           std::size_t expected, asio_udp::endpoint &sender,
                           TwoWayDownlinkPacket &result);

void read_with_timeout_tcp(asio_tcp::socket &socket, int limit_ms, char *data,
                           std::size_t expected);
