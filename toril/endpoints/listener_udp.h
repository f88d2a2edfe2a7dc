// Datagrams of a UDP test that reached the listener's socket before the
// test's own connected socket took over.
//
// A UDP listener keeps one socket bound to its port. For each new test it
// opens a socket bound to the same port and connected to the client, from
// which the kernel then delivers that client's datagrams. Those that arrived
// in between (and, with parallel streams, the first datagrams of the other
// streams) lie on the listener's socket: the listener reads them and passes
// each one to the backlog of its test, which the test's server reads before
// its own socket.
//
// The registry maps a local port and a peer address and port to a backlog.
// The listener opens an entry for a test it accepts; the server of the test
// (or the listener, when it drops the test) closes it. A backlog is shared by
// the listener and the server: any thread may call these.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "toril/reporting/timestamp.h"

class UdpBacklog {
  public:
    // Keeps a copy of the datagram; a full backlog drops it (the test then
    // counts it lost, as a full socket buffer would).
    void push(const char *data, size_t len, const Timestamp &arrival);
    // Moves the oldest datagram into buf, cut at cap bytes. Its length (as
    // stored), or -1 when there is none.
    int pop(char *buf, size_t cap, Timestamp *arrival);
    // True when a datagram is waiting (cheap: the server asks on every pass).
    bool waiting() const { return count_.load(std::memory_order_acquire) > 0; }

  private:
    struct Datagram {
        std::vector<char> bytes;
        Timestamp arrival;
    };
    static constexpr size_t kMaxDatagrams = 4096;
    std::mutex mutex_;
    std::deque<Datagram> datagrams_;
    std::atomic<int> count_{0};
};

// A new backlog for the test of peer on local_port (replacing a stale one).
std::shared_ptr<UdpBacklog> udp_backlog_open(uint16_t local_port, const sockaddr_storage &peer);
// The open backlog of that test, or null.
std::shared_ptr<UdpBacklog> udp_backlog_find(uint16_t local_port, const sockaddr_storage &peer);
// Ends the entry; a server still holding the backlog may finish reading it.
void udp_backlog_close(uint16_t local_port, const sockaddr_storage &peer);
