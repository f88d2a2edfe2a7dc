// Classic BPF socket filters that the listener attaches to packet sockets in
// L2 and tap modes (and the drop-all filter to the UDP socket those modes keep
// open).
//
// Offsets are into an Ethernet frame. Accepted frames return 262144 bytes;
// every failed check jumps to the last instruction, which returns 0 (drop).
// The *_Program builders return the instruction arrays, so they can be
// checked without a packet socket; the *_BPF functions build one and attach
// it with setsockopt (SOL_SOCKET, SO_ATTACH_FILTER), returning the setsockopt
// result (0, or -1 with errno; no message). Nothing is kept; any thread.
#pragma once

#include <linux/filter.h>
#include <netinet/in.h>

#include <array>
#include <cstdint>

constexpr uint32_t kBpfAcceptBytes = 262144;  // snap length of an accepted frame

using BpfDropAll = std::array<sock_filter, 1>;
using BpfV4Accept = std::array<sock_filter, 11>;
using BpfV4Connect = std::array<sock_filter, 18>;
using BpfV4ConnectTap = std::array<sock_filter, 17>;
using BpfV6Connect = std::array<sock_filter, 33>;

// ret #0.
BpfDropAll SockAddr_Drop_All_Program();

// IPv4 UDP, not a fragment, to the destination port (host order).
BpfV4Accept SockAddr_v4_Accept_Program(uint16_t port);

// One IPv4 UDP flow seen from the local end: source peer_addr:peer_port,
// destination local_addr:local_port, not a fragment; IPv6 frames dropped
// first. Addresses and ports in network order.
BpfV4Connect SockAddr_v4_Connect_Program(uint32_t local_addr, uint32_t peer_addr,
                                         uint16_t local_port, uint16_t peer_port);

// The same flow for a tap device, checks in another order, no IPv6 test.
BpfV4ConnectTap SockAddr_v4_Connect_TAP_Program(uint32_t local_addr, uint32_t peer_addr,
                                                uint16_t local_port, uint16_t peer_port);

// One IPv6 UDP flow: source peer:peer_port, destination local:local_port.
// Frames whose next header is a fragment header (even one of UDP) are dropped.
// Ports in network order.
BpfV6Connect SockAddr_v6_Connect_Program(const in6_addr &local, const in6_addr &peer,
                                         uint16_t local_port, uint16_t peer_port);

int SockAddr_Drop_All_BPF(int sock);
int SockAddr_v4_Accept_BPF(int sock, uint16_t port);
int SockAddr_v4_Connect_BPF(int sock, uint32_t local_addr, uint32_t peer_addr, uint16_t local_port,
                            uint16_t peer_port);
int SockAddr_v4_Connect_TAP_BPF(int sock, uint32_t local_addr, uint32_t peer_addr,
                                uint16_t local_port, uint16_t peer_port);
int SockAddr_v6_Connect_BPF(int sock, const in6_addr *local, const in6_addr *peer,
                            uint16_t local_port, uint16_t peer_port);
