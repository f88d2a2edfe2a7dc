// The active host table of toril: groups the streams of one peer host so
// that they share one group SumReport (the [SUM] lines of parallel streams).
//
// One process-wide table, guarded by its own mutex; any thread may call these.
// A node is keyed by the host address alone (the port is ignored, except by
// Toril_push_host_port_conditional), holds a reference count of the streams
// pushed on it and the group's SumReport. The table creates the SumReport when
// it creates the node; the reporter releases it through its own reference
// count once the last member report ends.
//
// A stream the listener accepts joins a group long before its report exists
// (the test header is read in between), while another stream of the host may
// end and let the reporter free the sum. So the table holds a reference of
// its own on the sum for each such joining stream (Toril_push_host_joining)
// until the stream's report holds one (Toril_host_reported) or the stream
// leaves. These references do not count as members in the sum's maximum.
#pragma once

#include <sys/socket.h>

#include <utility>
#include <vector>

#include "toril/core/settings.h"

struct ActiveHost {
    sockaddr_storage host;  // whole address of the first stream of the group
    SumReport *sum_report;  // the group's sum (released by its reference count)
    int ref_count;          // streams pushed and not yet removed
    int sock;               // socket of the first stream
    ActiveHost *next;
    // Joining streams for which the table holds a sum reference, each with
    // the references on the sum when it joined (its members, itself
    // included), and the most members seen at once (the sum's maximum).
    std::vector<std::pair<const thread_Settings *, int>> joining;
    int members_max;
};

struct ActiveHostTable {
    pthread_mutex_t mutex;
    ActiveHost *root;
    int count;    // live nodes
    int pushes;   // pushes ever made
    int created;  // nodes ever created; also the group number a push returns
};

extern ActiveHostTable active_table;

// An empty table with fresh counters (the mutex is static and stays usable).
void Toril_initialize_active_table();
// Frees every node; the table is empty afterwards and may be used again.
void Toril_destroy_active_table();

// Groups record with the live streams of its host: the key is record->local
// with EXT_SUM_DSTIP, else record->peer. A node with that host (port ignored)
// gets one reference more and hands its sum report to record->sum_report.
// Otherwise a new node (reference count 1, record->sock) goes to the head and
// a new group SumReport numbered with the pushes made before this one is
// stored in the node and in the record. Returns the number of nodes created.
int Toril_push_host(thread_Settings *record);

// As Toril_push_host, but returns -1 and changes nothing when a node already
// holds the same address and port.
int Toril_push_host_port_conditional(thread_Settings *record);

// As Toril_push_host and Toril_push_host_port_conditional (-1: nothing
// changed), and the table takes a reference on the group's sum for record
// until Toril_host_reported or Toril_remove_host. For the listener.
int Toril_push_host_joining(thread_Settings *record);
int Toril_push_host_port_conditional_joining(thread_Settings *record);

// record's report now holds its own sum reference: the table drops the one
// it held for record. Nothing for a record that holds none.
void Toril_host_reported(const thread_Settings *record);

// One reference less on the node of record's host; at zero the node is
// unlinked and freed. A sum reference the table still held for record is
// dropped; when that was the sum's last reference and the node is gone,
// nobody else can reach the sum and it is freed here. A host that is not in
// the table is ignored.
void Toril_remove_host(thread_Settings *record);
