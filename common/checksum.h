// UDP checksum test of raw frames (IPv4 and IPv6 pseudo-headers).
//
// Reads the caller's buffers only; no state. Any thread.
#pragma once

#include <cstdint>

// ip points at the IP header (IPv4: source and destination at bytes 12-19;
// IPv6: at bytes 8-39), udp at the UDP header followed by its payload, with at
// least udp_len readable bytes. Returns 0 when the checksum is correct (or
// absent over IPv4), non-zero otherwise: a zero checksum field over IPv6 and a
// length below the 8-byte UDP header give -1, a wrong sum its 16-bit residue.
int udpchecksum(const uint8_t *ip, const uint8_t *udp, int udp_len, bool ipv6);
