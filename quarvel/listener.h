// quarvel's listener: the listening socket, one test taken after another, the
// test header of each, one server thread per test (with the reverse-direction
// client of a dual or tradeoff test), the list of clients under test, and the
// single-threaded UDP server (-U).
//
// Objects and ownership:
//   Listener       one per listener record, made and destroyed by
//                  listener_spawn on the listener's thread. Its record belongs
//                  to the thread wrapper; a socket handed to a server thread is
//                  no longer the listener's.
//   Toril_ListEntry one per test under way, in the process-wide list clients
//                  (newest first) under clients_mutex; the entry is made by
//                  the listener and deleted by the test's server at its end.
//
// Threads: listener_spawn runs on a listener thread; the list functions need
// clients_mutex held by the caller (Toril_destroy runs at exit).
#pragma once

#include <pthread.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cstdint>

#include "quarvel/settings.h"

struct GroupReport;

// Longest test header on the wire (TCP; at offset 12 of a UDP datagram).
constexpr int kTestHeaderBytes = 36;
// Offset of the test header inside a UDP datagram (after the datagram header).
constexpr int kUdpHeaderBytes = 12;

// Test header flags word.
constexpr uint32_t HDR_RUN_NOW_FLAG = 0x80000000;  // the client asks for a reverse test
constexpr uint32_t HDR_DUALTEST = 0x00000001;      // reverse test at once (else tradeoff)
constexpr uint32_t HDR_RATE_PPS = 0x00000002;      // the rate word is packets per second

// Bounds a reverse test asked for by a peer must keep: a header outside them
// costs only that reverse test (the forward test runs), with a warning.
constexpr int32_t kReverseThreadsMax = 128;
constexpr int32_t kReverseBufLenMax = 4 * 1024 * 1024;

struct Toril_ListEntry {
    sockaddr_storage address;  // all 128 bytes: family, port, address
    GroupReport *group;        // shared by all tests of one host
    thread_Settings *record;   // set by the single-threaded server only
    Toril_ListEntry *next;
};

extern Toril_ListEntry *clients;
extern pthread_mutex_t clients_mutex;

// Inserts entry at the front of *list.
void Toril_pushback(Toril_ListEntry *entry, Toril_ListEntry **list);
// The first entry with the same family, address and port, or null.
Toril_ListEntry *Toril_present(const sockaddr_storage *address, Toril_ListEntry *list);
// The first entry with the same family and address (port ignored), or null.
Toril_ListEntry *Toril_hostpresent(const sockaddr_storage *address, Toril_ListEntry *list);
// Unlinks and frees the first entry with the same family, address and port.
void Toril_delete(const sockaddr_storage *address, Toril_ListEntry **list);
// Frees every entry; *list becomes null.
void Toril_destroy(Toril_ListEntry **list);

// Process clean-up of the listener's objects (the client list).
void listener_process_cleanup();

// The reverse-direction client of an accepted test, from its test header
// (header_len bytes at header, big-endian words). *client = null when the
// header asks for none, is shorter than the flags word, or asks for a reverse
// test outside the bounds above (a warning names the lie).
void Settings_GenerateClientSettings(const thread_Settings *server, thread_Settings **client,
                                     const uint8_t *header, int header_len);

class Listener {
  public:
    explicit Listener(thread_Settings *settings);
    ~Listener();
    Listener(const Listener &) = delete;
    Listener &operator=(const Listener &) = delete;

    void Listen();
    void McastJoin();
    void Run();
    void Accept(thread_Settings *record);
    void UDPSingleServer();
    // Body of the hello thread.
    void PrintHello1();

  private:
    bool timed() const;
    bool host_rejected(thread_Settings *record);
    bool single_client_check(const thread_Settings *record);
    // Enters the record's peer in the client list (under clients_mutex);
    // true when it opens a new group (no test of its host is under way).
    bool add_client(thread_Settings *record, bool keep_record);
    int read_tcp_header(int sock);
    void start_reverse(thread_Settings *record, const uint8_t *header, int header_len,
                       bool single_udp);
    void new_server_record();
    void set_sock(int sock);
    bool accept_udp(thread_Settings *record);
    bool accept_nat_tcp(thread_Settings *record);
    bool wait_readable(int sock);
    bool wait_return_test();
    [[noreturn]] void single_udp_exit();

    int32_t accepts_left;
    thread_Settings *settings;
    uint8_t *buf;
    int32_t buf_size;
    thread_Settings *server;
    timeval end_time;
    timeval start_time;
    bool host_restricted;
    int64_t started_ms;          // monotonic
    bool stopped = false;        // a failure ended the listener
    int first_len = 0;           // bytes of the first datagram of a UDP test
    sockaddr_storage peer_host;  // the one host served while restricted
};

// The listener thread's body: constructs the Listener, runs it, destroys it.
void listener_spawn(thread_Settings *settings);
