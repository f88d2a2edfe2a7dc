// Socket options of a toril thread, applied from its settings record.
//
// A thin adapter over common/sockopt.h: it fills a SocketOptionRequest from the
// record and copies back what the option sequence changed (OPT_CONGESTION
// after a refused algorithm, the no-delay state read back, the multicast TTL,
// the tap descriptor and its kernel-given name). Called by the thread that owns
// the record, on the record's own socket.
#pragma once

#include "common/sockopt.h"
#include "toril/core/settings.h"

// Builds the request SetSocketOptions reads for settings->sock.
SocketOptionRequest Settings_SocketOptionRequest(const thread_Settings *settings);

// Applies every option of the record to settings->sock. A multicast address
// without UDP ends the process (status 1) after its warning. kStopThread means
// the tap device could not be set up: the caller stops the thread.
SockOptResult SetSocketOptions(thread_Settings *settings);

// Type of service on settings->sock (the listener uses it with a client's value).
void SetSocketOptionsIPTos(thread_Settings *settings, int tos);
