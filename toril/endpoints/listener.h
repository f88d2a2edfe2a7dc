// The listener of a toril server: one per listening port, on its own thread
// (also on a dual or tradeoff client, for the connection back).
//
// It owns the listening socket (TCP) or the receiving socket of the next test
// (UDP: each first datagram's socket is handed to that test's server and a
// new one is made), accepts a test, reads and checks the client's test
// header into a deep copy of its settings, prepares L2 capture when asked,
// builds the sending record of reverse, full-duplex, dual and tradeoff tests,
// posts the ConnectionReport and starts the test's thread(s).
//
// Ownership: the listener's settings belong to its thread; the record of the
// test being prepared (server) belongs to the listener until thread_start_all
// hands it to its thread. The listening socket is closed by the destructor.
// A TCP test's header is read on a short-lived thread of its own (the record
// goes with it), so that a client that never sends one costs only its own
// connection, for the header timeout; the listener waits for those threads
// before it ends.
//
// A peer that lies, stalls or resets costs only its own test: the listener
// warns, drops that test (with a ConnectionReport when the header was
// refused) and goes on.
#pragma once

#include <sys/socket.h>

#include <csignal>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

#include "toril/core/settings.h"
#include "toril/reporting/timestamp.h"

class Listener {
  public:
    explicit Listener(thread_Settings *settings);
    ~Listener();
    Listener(const Listener &) = delete;
    Listener &operator=(const Listener &) = delete;

    // Accepts tests until interrupted, out of accepts or past the listen time.
    void Run();

    // Creates, configures and binds the socket (and listens or joins the
    // multicast group). False after the warning when the listener must stop.
    bool my_listen();
    bool my_multicast_join();
    // Accepts one test into record; its socket, or 0 or less for none. -1
    // also means the listener must stop (a receive error on its socket).
    int my_accept(thread_Settings *record);
    int udp_accept(thread_Settings *record);
    int tuntap_accept(thread_Settings *record);
    // Packet socket and filters of an L2-checked UDP test. False on failure.
    bool L2_setup(thread_Settings *record, int sock);
    // Reads and applies the client's header. False drops the test.
    bool apply_client_settings(thread_Settings *record);
    bool apply_client_settings_udp(thread_Settings *record);
    bool apply_client_settings_tcp(thread_Settings *record);
    // The test acknowledgement (TCP).
    void client_test_ack(thread_Settings *record);

    int listening_socket() const { return sock; }

  private:
    bool StopRequested() const;
    bool WaitReadable();
    void DropTest(thread_Settings *record, bool post_report);
    bool ReadsHeaderAside(const thread_Settings *record) const;
    bool HeaderQueued(const thread_Settings *record) const;
    void StartHeaderReader(thread_Settings *record);
    void AwaitHeaderReaders(bool interrupted);
    // start_mask: the signal mask the test's threads start with (null: the
    // caller's own).
    void FinishAccept(thread_Settings *record, const sigset_t *start_mask = nullptr);
    void StartTest(thread_Settings *record);
    bool ReadBounceBack(thread_Settings *record);
    bool CheckPermitKey(thread_Settings *record, uint32_t flags, int hdr_len);
    // UDP tests on a listening socket that stays with the listener (every
    // unicast UDP listener without a tap device).
    bool KeepsUdpSocket() const;
    uint16_t UdpPort() const;
    int udp_accept_kept(thread_Settings *record);
    int udp_accept_handoff(thread_Settings *record);
    void UdpDispatch(int len, const sockaddr_storage &peer, socklen_t peer_len,
                     const Timestamp &arrival);
    void UdpDrain(int fd);
    int UdpStreamSocket(const sockaddr_storage &peer, socklen_t peer_len);

    // A UDP test whose first datagram came and whose connected socket is
    // open, waiting for its turn to be accepted.
    struct PendingUdp {
        std::vector<char> first;
        sockaddr_storage peer;
        socklen_t peer_len;
        Timestamp arrival;
        int sock;
    };
    std::deque<PendingUdp> pending_udp;
    // Sockets of the TCP tests whose headers are being read aside.
    std::mutex readers_mutex;
    std::condition_variable readers_done;
    std::vector<int> header_readers;
    std::vector<char> udp_scratch;

    int accepts_left = -1;
    int sock = -1;
    thread_Settings *settings;
    thread_Settings *server = nullptr;
    Timestamp start_time{};
    Timestamp end_time{};
    bool has_end_time = false;
};
