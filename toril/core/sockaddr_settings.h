// toril's settings record seen through the shared socket-address helpers.
//
// Each function fills a SockAddrRequest from the record, runs the helper of
// the same name and copies its results back: the peer address and length, the
// local address and length, or the interface name (a new bind_device, owned by
// the record). Called by the thread that owns the record.
#pragma once

#include "common/sockaddr.h"
#include "toril/core/settings.h"

// The request a record gives: role, OPT_IPV6, hosts, ports, the parallel
// stream increments, the socket, both addresses and whether bind_device is set.
SockAddrRequest SockAddr_request(const thread_Settings *settings);

// Fills peer / peer_len unless the peer is already non-zero (see common/sockaddr.h).
void SockAddr_remoteAddr(thread_Settings *settings);

// Fills local / local_len; a client with a bind port gets SO_REUSEPORT on sock.
void SockAddr_localAddr(thread_Settings *settings);

// 0 when bind_device is set or was set from the socket's interface, -1 otherwise.
int SockAddr_Ifrname(thread_Settings *settings);
