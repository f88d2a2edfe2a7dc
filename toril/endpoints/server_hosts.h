// The launch code's active host table and full-duplex barrier, as the
// listener and the server use them.
//
// These calls belong to the launch module; until its header is part of the
// build they are declared here with the signatures that module provides.
#pragma once

#include "toril/core/settings.h"

// Groups record with the other streams of its peer host (or, with
// EXT_SUM_DSTIP, its local address) and gives it the group's sum report.
// Returns the number of groups ever created.
int Toril_push_host(thread_Settings *record);

// As Toril_push_host, but -1 (nothing changed) when a stream with the same
// address and port is already active.
int Toril_push_host_port_conditional(thread_Settings *record);

// One reference less on record's host; the node goes at zero.
void Toril_remove_host(thread_Settings *record);
