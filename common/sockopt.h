// Socket options of the traffic generators and the TCP state sample.
//
// Primitives take a descriptor and plain values. The option sequence a client
// or listener applies to a new socket is SetSocketOptions over a
// SocketOptionRequest, a plain record that each program's settings code fills
// from its own settings (and copies the output fields back from). Nothing here
// keeps state or allocates; the caller owns every descriptor (including the
// tap descriptor put into tuntap_fd). Any thread may call these on its own
// sockets.
#pragma once

#include <cstdint>

#include "common/variant.h"

// One sample of the kernel's TCP state, as reports carry it.
struct TcpStats {
    uint8_t valid = 0;             // 1 when the sample was read
    uint32_t rtt_us = 0;           // smoothed round-trip time
    double connect_time_ms = 0.0;  // set only in the client's copy taken at connect
    uint32_t cwnd_kbytes = 0;      // congestion window (segments x send MSS) >> 10
    uint32_t rttvar_us = 0;        // round-trip time variance
    int64_t retry = 0;             // retransmits in the current interval
    int64_t retry_prev = 0;        // cumulative retransmits at the previous interval boundary
    int64_t retry_tot = 0;         // cumulative retransmits (kernel total)
    uint32_t mss = 0;              // send MSS
};

// Fills stats from TCP_INFO: valid 1, rtt_us, rttvar_us, mss, cwnd_kbytes and
// retry_tot. When fd <= 0 or the read fails: valid 0 and rtt_us 1, nothing
// else changes. connect_time_ms, retry and retry_prev are never touched.
void gettcpinfo(int fd, TcpStats *stats);

// Copies every field except retry and retry_prev, which dst keeps.
void tcpstats_copy(TcpStats *dst, const TcpStats *src);

// Clears (blocking) or sets O_NONBLOCK. False for fd < 0 or a failed fcntl.
bool setsock_blocking(int fd, bool blocking);

// Only when mss > 0: sets TCP_MAXSEG. kToril: a failure prints
// "WARNING: attempt to set TCP maxmimum segment size to %d failed\n".
// kQuarvel: a failure prints that text with ".\nSetting the MSS may not be
// implemented on this OS.\n" in place of the newline; a success is read back
// and a different value prints
// "WARNING: attempt to set TCP maximum segment size to %d, but got %d\n".
void setsock_tcp_mss(int fd, int mss, ToolVariant variant = ToolVariant::kToril);

// TCP_MAXSEG, or -1 after the warning "getsockopt TCP_MAXSEG".
int getsock_tcp_mss(int fd);

// Sets SO_SNDBUF (send_side) or SO_RCVBUF to size. 0 when size <= 0 (nothing
// done) or on success, -1 on failure (no message, errno kept).
int setsock_tcp_windowsize(int fd, int size, bool send_side);

// SO_SNDBUF (send_side) or SO_RCVBUF, or -1 on failure (no message).
int getsock_tcp_windowsize(int fd, bool send_side);

// TCP_WINDOW_CLAMP, or -1 after the warning "getsockopt TCP_WINDOW_CLAMP".
int getsock_tcp_windowclamp(int fd);

// SO_SNDTIMEO / SO_RCVTIMEO of timeout_us split into seconds and microseconds
// (integer division). 0 or -1 with errno; no message.
int setsock_send_timeout(int fd, int32_t timeout_us);
int setsock_receive_timeout(int fd, int32_t timeout_us);

// As above, printing the warning "socket" on failure.
void SetSocketOptionsSendTimeout(int sock, int32_t timeout_us);
void SetSocketOptionsReceiveTimeout(int sock, int32_t timeout_us);

// What SetSocketOptions reads (in) and writes back (out) for one socket.
struct SocketOptionRequest {
    ToolVariant variant = ToolVariant::kToril;
    int sock = -1;                          // in: the socket to configure
    bool is_client = false;                 // in: thread role is client (sizes the send buffer)
    bool udp = false;                       // in: OPT_UDP
    bool ipv6 = false;                      // in: OPT_IPV6
    bool multicast = false;                 // in: OPT_MULTICAST
    int32_t window_size = 0;                // in: -w; <= 0 leaves the system default
    bool congestion = false;                // in/out: OPT_CONGESTION; cleared when setting failed
    const char *congestion_algo = nullptr;  // in: -Z name
    bool tap_dev = false;                   // in: EXT_TAP_DEV
    bool tun_variant = false;               // in: tun instead of tap
    const char *host_device = nullptr;      // in: device name a client uses
    const char *bind_device = nullptr;      // in: device name every other role uses
    int tuntap_fd = -1;                     // in/out: descriptor of /dev/net/tun (caller closes);
                                            // one given is reused, not opened again
    char tap_name[16] = {};            // out: the kernel's name for the device when no device name
                                       // was given (store it in the record); else empty
    int32_t ttl = -1;                  // in/out: -T; -1 becomes 1 for multicast
    int32_t tos = 0;                   // in: -S
    bool tos_override = false;         // in: EXT_TOS_OVERRIDE
    bool mss_set = false;              // in: TEST_MSS_SET
    int32_t mss = 0;                   // in: -M
    bool nodelay = false;              // in/out: OPT_NODELAY; with enhanced, the state read back
    bool enhanced = false;             // in: OPT_ENHANCED
    bool rx_window_clamp_set = false;  // in: EXT_RX_WINCLAMP
    int32_t rx_window_clamp = 0;       // in
    bool write_prefetch_set = false;   // in: EXT_WRITE_PREFETCH
    int32_t write_prefetch = 0;        // in
    bool fq_rate_set = false;          // in: TEST_FQ_RATE
    uint64_t fq_rate = 0;              // in: pacing rate, bytes per second
    bool local_only = false;           // in: TEST_LOCAL_ONLY
};

// What the caller must do after SetSocketOptions.
enum class SockOptResult {
    kOk,           // go on (failed options were warnings)
    kStopThread,   // tap device setup failed: thread_stop on the record
    kExitProcess,  // thread_stop on the record, then exit status 1 (toril:
                   // multicast without UDP; quarvel: congestion control refused)
};

// Applies the options of req to req.sock in their fixed order: buffer size,
// congestion control, tap device / multicast hops / unicast TTL, type of
// service, the TCP options (MSS, no-delay, window clamp, not-sent low-water
// mark), pacing rate, no-route. Failures print their warning and the sequence
// goes on, except where the result says otherwise. kQuarvel applies its own
// shorter sequence (buffer, congestion, multicast TTL, IP_TOS, MSS, no-delay).
SockOptResult SetSocketOptions(SocketOptionRequest &req);

// Type of service: IPV6_TCLASS with ipv6 (any value, 0 included); otherwise,
// when tos_override or tos > 0, IP_TOS, read back, "IP_TOS setting failed"
// when the kernel kept another value.
void SetSocketOptionsIPTos(int sock, bool ipv6, bool tos_override, int tos);
