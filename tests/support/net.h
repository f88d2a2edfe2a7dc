// Network helpers for tests: free ports on loopback and small blocking peers.
#pragma once

#include <cstdint>
#include <string>

namespace testsupport {

// A port that is free for both TCP and UDP on 127.0.0.1 and ::1 at the time
// of the call (the system picks it; the sockets are closed before return).
uint16_t free_port();

// Sends one UDP datagram from a fresh socket and waits up to timeout_ms for
// one answer; returns false when nothing came. family is 4 or 6.
bool udp_exchange(int family, uint16_t port, const std::string &payload, std::string *reply,
                  int timeout_ms);

}  // namespace testsupport
