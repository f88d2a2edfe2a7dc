// Listener: sockets, accepting a test and starting its thread(s).
#include "toril/endpoints/listener.h"

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <thread>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/bpf.h"
#include "common/delay.h"
#include "common/signals.h"
#include "common/sockaddr.h"
#include "common/sockopt.h"
#include "common/thread.h"
#include "common/warn.h"
#include "toril/core/headers.h"
#include "toril/core/active_hosts.h"
#include "toril/core/sockaddr_settings.h"
#include "toril/core/sockopt_settings.h"
#include "toril/endpoints/listener_udp.h"
#include "toril/endpoints/server_io.h"
#include "toril/reporting/report.h"

namespace {

constexpr int kHeaderTimeout_us = 4000000;  // a client has 4 s to send its header
constexpr int kSingleClientPoll_us = 50000;
constexpr int kTapExtra = 512 + 42;  // room for the link, IP and UDP headers
constexpr int kTapL2HeaderLen = 34;
constexpr int kTapPayloadOffset = 42;
constexpr int kV4L2HeaderLen = 34;
constexpr int kV6L2HeaderLen = 54;
constexpr int32_t kAckTimeoutMin_us = 10000;
constexpr int32_t kAckTimeoutMax_us = 2500000;
// Datagrams the listener reads off its socket in one go after opening a
// test's socket: enough for what queued meanwhile, bounded against a flood.
constexpr int kUdpDrainMax = 4096;
constexpr size_t kMaxHeaderReaders = 64;  // TCP headers being read at once
constexpr int kHeaderGrace_ms = 10;       // for a header sent with the connection

uint32_t be32(const char *p) {
    const auto *u = reinterpret_cast<const uint8_t *>(p);
    return (static_cast<uint32_t>(u[0]) << 24) | (static_cast<uint32_t>(u[1]) << 16) |
           (static_cast<uint32_t>(u[2]) << 8) | u[3];
}

bool is_udp(const thread_Settings *s) {
    return (s->option_flags & OPT_UDP) != 0;
}

bool peer_is_ipv6(const thread_Settings *s) {
    if (s->peer.ss_family != AF_INET6) return false;
    const auto &in6 = reinterpret_cast<const sockaddr_in6 &>(s->peer);
    return !IN6_IS_ADDR_V4MAPPED(&in6.sin6_addr);
}

// Comparison whose time does not depend on where the keys differ.
bool keys_equal(const char *a, const char *b, int len) {
    unsigned diff = 0;
    for (int i = 0; i < len; ++i)
        diff |= static_cast<unsigned>(static_cast<uint8_t>(a[i]) ^ static_cast<uint8_t>(b[i]));
    return diff == 0;
}

// The header of a TCP test is read on one thread from start to end; this is
// when its time is up (monotonic microseconds).
thread_local int64_t header_deadline_us = 0;

int64_t monotonic_us() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// Receives len header bytes before the header's deadline: a peer that
// trickles its header a byte at a time gets no more time than a silent one.
// Returns the bytes that arrived (errno 0 after a close).
int recv_header(int sock, void *buf, int len) {
    auto *at = static_cast<char *>(buf);
    int got = 0;
    while (got < len) {
        const int64_t left_us = header_deadline_us - monotonic_us();
        if (left_us <= 0) {
            errno = EAGAIN;
            break;
        }
        SetSocketOptionsReceiveTimeout(sock, static_cast<int32_t>(left_us < 1000 ? 1000 : left_us));
        const ssize_t n = recv(sock, at + got, static_cast<size_t>(len - got), 0);
        if (n > 0) {
            got += static_cast<int>(n);
            continue;
        }
        if (n == 0) {
            errno = 0;
            break;
        }
        if (errno == EINTR && sInterupted.load() == 0) continue;
        break;
    }
    return got;
}

int32_t clamp_ack_timeout(double usec) {
    if (!(usec >= kAckTimeoutMin_us)) return kAckTimeoutMin_us;
    if (usec > kAckTimeoutMax_us) return kAckTimeoutMax_us;
    return static_cast<int32_t>(usec);
}

void warn_header(const char *what, int result) {
    char text[96];
    snprintf(text, sizeof(text), "%s (%s)", what, hdr_result_text(result));
    WARN(text);
}

}  // namespace

Listener::Listener(thread_Settings *s) : settings(s) {
    start_time = server_now();
    accepts_left = settings->threads > 0 ? settings->threads : -1;
    sock = -1;
}

Listener::~Listener() {
    AwaitHeaderReaders(true);
    for (const PendingUdp &p : pending_udp) {
        udp_backlog_close(UdpPort(), p.peer);
        close(p.sock);
    }
    pending_udp.clear();
    if (settings->sock == sock) settings->sock = -1;
    if (sock >= 0 && close(sock) < 0) WARN_ERRNO("listener close");
    sock = -1;
}

// The listener stops on a user's interrupt. SIGALRM (the timer of one timed
// test) and the fatal socket error of one test stop the traffic loops, not
// the acceptance of further tests.
bool Listener::StopRequested() const {
    const int interrupt = sInterupted.load();
    return interrupt != 0 && interrupt != SIGALRM && interrupt != 1;
}

void Listener::Run() {
    accepts_left = settings->threads > 0 ? settings->threads : -1;
    const bool udp = is_udp(settings);
    if (!udp && !my_listen()) return;
    const Timestamp now = server_now();
    if ((settings->option_flags & OPT_TIME_SET) && !(settings->option_flags & OPT_DAEMON)) {
        end_time = server_time_add_us(now, static_cast<int64_t>(settings->amount) * 10000);
        has_end_time = true;
    } else if ((settings->test_flags & TEST_PERMIT_KEY) && settings->permit_key_timeout > 0) {
        end_time =
            server_time_add_us(now, static_cast<int64_t>(settings->permit_key_timeout * 1e6));
        has_end_time = true;
    }

    for (;;) {
        if (StopRequested() || accepts_left == 0) break;
        if (has_end_time && timestamp_after(server_now(), end_time)) break;
        if ((settings->option_flags & (OPT_SINGLE_CLIENT | OPT_MULTICAST)) &&
            thread_numtrafficthreads() > 0) {
            delay_loop(kSingleClientPoll_us);
            continue;
        }
        if (udp && sock < 0 && !my_listen()) break;
        const bool timed_wait =
            ((settings->option_flags & OPT_TIME_SET) && !(settings->option_flags & OPT_DAEMON)) ||
            (settings->option_flags & OPT_COMPAT) || (settings->test_flags & TEST_PERMIT_KEY);
        if (timed_wait && pending_udp.empty() && !WaitReadable()) {
            if (settings->option_flags & OPT_COMPAT) {
                fprintf(stderr, "ERROR: expected reverse connect did not occur\n");
                break;
            }
            continue;
        }
        if (!setsock_blocking(sock, true)) WARN("Failed setting socket to blocking mode");
        server = nullptr;
        Settings_Copy(settings, &server, true);
        if (!server || !server->buf) {
            WARN("Failed memory allocation for server settings");
            if (server) Settings_Destroy(server);
            server = nullptr;
            break;
        }
        server->thread_mode = kMode_Server;
        server->sock = -1;
        const int accepted = my_accept(server);
        if (accepted <= 0) {
            Settings_Destroy(server);
            server = nullptr;
            if (accepted < 0) break;
            continue;
        }
        if (accepts_left > 0) --accepts_left;
        thread_Settings *record = server;
        server = nullptr;
        if (!(settings->option_flags & OPT_IPV6) && peer_is_ipv6(record)) {
            DropTest(record, false);
            continue;
        }
        if (ReadsHeaderAside(record)) {
            StartHeaderReader(record);
        } else {
            FinishAccept(record);
        }
    }
    AwaitHeaderReaders(StopRequested());
}

// A TCP client has a few seconds for its header. Waiting for it here would
// hold every other client for that long (and for ever, one silent
// connection after the other), so the header is read on a thread of its
// own. Not for one test at a time (-1), nor for the connection back to a
// client, nor when no header is read at all.
bool Listener::ReadsHeaderAside(const thread_Settings *record) const {
    if (is_udp(settings)) return false;
    if ((settings->option_flags | record->option_flags) & (OPT_SINGLE_CLIENT | OPT_COMPAT))
        return false;
    if (settings->test_flags & TEST_CONNECT_ONLY) return false;
    return !HeaderQueued(record);
}

// True when the whole test header already waits on the socket (a client
// sends it with its connection), so reading it here cannot block. Keyed and
// bounceback headers are read aside.
bool Listener::HeaderQueued(const thread_Settings *record) const {
    pollfd p{record->sock, POLLIN, 0};
    if (poll(&p, 1, kHeaderGrace_ms) != 1) return false;
    uint8_t flags_bytes[4];
    if (recv(record->sock, flags_bytes, sizeof(flags_bytes), MSG_PEEK | MSG_DONTWAIT) != 4)
        return false;
    const uint32_t flags = be32(reinterpret_cast<const char *>(flags_bytes));
    if (flags & (HDR_BOUNCEBACK | HDR_KEYCHECK)) return false;
    const int hdr_len = Settings_ClientTestHdrLen(flags, record);
    int queued = 0;
    if (hdr_len < 0 || ioctl(record->sock, FIONREAD, &queued) < 0) return false;
    return queued >= hdr_len;
}

void Listener::StartHeaderReader(thread_Settings *record) {
    {
        std::unique_lock<std::mutex> lock(readers_mutex);
        // A flood of silent connections waits for the oldest headers to
        // time out rather than taking a thread each.
        readers_done.wait(lock, [this] { return header_readers.size() < kMaxHeaderReaders; });
        header_readers.push_back(record->sock);
    }
    const int fd = record->sock;
    // The reader takes no process signal while it reads (the signal
    // handlers tell a second interrupt by the thread that took the first,
    // and a reader ends soon after); the test's threads it starts get the
    // listener's mask.
    sigset_t all;
    sigset_t before;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &before);
    try {
        std::thread([this, record, fd, before] {
            FinishAccept(record, &before);
            std::lock_guard<std::mutex> lock(readers_mutex);
            header_readers.erase(std::find(header_readers.begin(), header_readers.end(), fd));
            readers_done.notify_all();
        }).detach();
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
    } catch (const std::system_error &) {
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
        {
            std::lock_guard<std::mutex> lock(readers_mutex);
            header_readers.erase(std::find(header_readers.begin(), header_readers.end(), fd));
        }
        FinishAccept(record);
    }
}

// Before the listener ends, the tests whose headers are still being read
// are started or dropped. On an interrupt their reads end at once.
void Listener::AwaitHeaderReaders(bool interrupted) {
    std::unique_lock<std::mutex> lock(readers_mutex);
    if (interrupted)
        for (const int fd : header_readers) shutdown(fd, SHUT_RD);
    readers_done.wait(lock, [this] { return header_readers.empty(); });
}

// The rest of an accept: header, L2 capture, start. Runs on the listener's
// thread or on a header reader's.
void Listener::FinishAccept(thread_Settings *record, const sigset_t *start_mask) {
    if (!(record->option_flags & OPT_COMPAT)) {
        // A connect-only server only reports each connection.
        const bool applied =
            !(settings->test_flags & TEST_CONNECT_ONLY) && apply_client_settings(record);
        if (!applied) {
            DropTest(record, true);
            return;
        }
    }
    if (is_udp(settings)) {
        if (settings->option_flags & OPT_COMPAT) {
            record->test_flags |= TEST_SEQNO64;
        } else if (!(settings->extra_flags & EXT_TAP_DEV) &&
                   ((settings->test_flags | record->test_flags) & TEST_L2CHECKS)) {
            if (!L2_setup(record, record->sock)) {
                DropTest(record, false);
                return;
            }
        }
    }
    if (start_mask) pthread_sigmask(SIG_SETMASK, start_mask, nullptr);
    StartTest(record);
}

bool Listener::WaitReadable() {
    double timeout_s;
    if (settings->test_flags & TEST_PERMIT_KEY)
        timeout_s = static_cast<double>(static_cast<int64_t>(settings->permit_key_timeout));
    else
        timeout_s = static_cast<double>(settings->amount) / 100.0;
    if (settings->test_flags & TEST_TXSTART) {
        const int64_t until_start_s = settings->txstart_sec + 1 - server_now().tv_sec;
        if (until_start_s > 0) timeout_s += static_cast<double>(until_start_s);
    }
    if (timeout_s < 0) timeout_s = 0;
    if (timeout_s > 86400.0 * 365) timeout_s = 86400.0 * 365;
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(sock, &readable);
    timeval tv;
    tv.tv_sec = static_cast<time_t>(timeout_s);
    tv.tv_usec = static_cast<suseconds_t>((timeout_s - static_cast<double>(tv.tv_sec)) * 1e6);
    return select(sock + 1, &readable, nullptr, nullptr, &tv) > 0;
}

// Drops the test being prepared: its host leaves the table (which frees a
// group sum that no stream started on), its socket is closed.
void Listener::DropTest(thread_Settings *record, bool post_report) {
    if (post_report && !(record->option_flags & OPT_NO_CONN_REPORT) &&
        !(record->test_flags & TEST_SUM_ONLY))
        PostReport(InitConnectionReport(record));
    Toril_remove_host(record);
    record->sum_report = nullptr;
    if (is_udp(record)) udp_backlog_close(SockAddr_getPort(&record->local), record->peer);
    if (record->sock >= 0) close(record->sock);
    record->sock = -1;
    if (record->udp_sock >= 0) close(record->udp_sock);
    record->udp_sock = -1;
    Settings_Destroy(record);
}

void Listener::StartTest(thread_Settings *record) {
    setTransferID(record, false);
    const bool compat = ((record->option_flags | settings->option_flags) & OPT_COMPAT) != 0;
    if (!compat && ((record->test_flags & (TEST_FULL_DUPLEX | TEST_SERVER_REVERSE)) ||
                    record->test_mode != kTest_Normal)) {
        thread_Settings *sending = nullptr;
        const TestMode mode = record->test_mode;
        Settings_GenerateClientSettings(record, &sending, reinterpret_cast<uint8_t *>(record->buf),
                                        record->first_read_len);
        if (sending) {
            if (sending != record) {
                if (mode != kTest_Normal) sending->transfer_id = 0;
                free(sending->transfer_id_text);
                sending->transfer_id_text = nullptr;
            } else {
                free(record->transfer_id_text);
                record->transfer_id_text = nullptr;
            }
            setTransferID(sending, true);
            if (sending->test_flags & (TEST_REVERSE | TEST_FULL_DUPLEX))
                Toril_push_host(sending);
            else if (sending != record)
                // Not in the host table (a connect-back test joins it once
                // connected): the copied sum is not its to leave or release.
                sending->sum_report = nullptr;
            if (sending != record) {
                if (record->test_flags & TEST_FULL_DUPLEX) {
                    SumReport *group = record->sum_report;
                    if (group) {
                        pthread_mutex_lock(&group->reference_mutex);
                        const bool first = group->sum_fd_set == 0;
                        group->sum_fd_set = 1;
                        pthread_mutex_unlock(&group->reference_mutex);
                        if (first) SetSumHandlers(record, group);
                    }
                    SumReport *fd = InitSumReport(record, record->sock, true);
                    record->fullduplex_report = fd;
                    sending->fullduplex_report = fd;
                    record->run_next = sending;
                } else if (mode == kTest_DualTest) {
                    record->run_next = sending;
                } else {
                    record->run_after = sending;
                }
            }
        }
    }
    if (!(record->option_flags & OPT_NO_CONN_REPORT) && !(record->test_flags & TEST_SUM_ONLY))
        PostReport(InitConnectionReport(record));
    thread_start_all(record);
}

bool Listener::my_listen() {
    SockAddr_localAddr(settings);
    const bool udp = is_udp(settings);
    if (settings->extra_flags & EXT_TAP_DEV) {
        sock = socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ALL));
        if (sock < 0) {
            WARN_ERRNO("tuntap socket()");
            return false;
        }
        settings->sock = sock;
        if (SockAddr_v4_Accept_BPF(sock, settings->port) < 0) WARN_ERRNO("tap accept bpf");
        if (SetSocketOptions(settings) != SockOptResult::kOk) return false;
    } else {
        sock = socket(settings->local.ss_family, udp ? SOCK_DGRAM : SOCK_STREAM, 0);
        if (sock < 0) {
            WARN_ERRNO("socket");
            return false;
        }
        settings->sock = sock;
        const SockOptResult options = SetSocketOptions(settings);
        if (options == SockOptResult::kExitProcess) {
            thread_stop(settings);
            exit(1);
        }
        if (options == SockOptResult::kStopThread) return false;
        const int on = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
        if (bind(sock, reinterpret_cast<const sockaddr *>(&settings->local), settings->local_len) <
            0) {
            WARN_ERRNO("listener bind");
            return false;
        }
    }
    if ((settings->option_flags & OPT_REPORT_SETTINGS) &&
        !(settings->option_flags & OPT_NO_SETTINGS_REPORT)) {
        PostReport(InitSettingsReport(settings));
        settings->option_flags &= ~OPT_REPORT_SETTINGS;
    }
    if (udp) {
        if (SockAddr_isMulticast(&settings->local) && !my_multicast_join()) return false;
    } else if (!(settings->extra_flags & EXT_TAP_DEV)) {
        const bool limited = (settings->option_flags & OPT_SINGLE_CLIENT) ||
                             (settings->test_flags & TEST_PERMIT_KEY);
        const int backlog = limited ? (settings->threads > 0 ? settings->threads : 1) : 2147483647;
        if (listen(sock, backlog) < 0) WARN_ERRNO("listen");
    }
    return true;
}

bool Listener::my_multicast_join() {
    const bool v6 = settings->local.ss_family == AF_INET6;
    const bool plain = !settings->ssm_source && !settings->bind_device;
    if (plain) {
        if (!v6) {
            ip_mreq mreq{};
            mreq.imr_multiaddr = *SockAddr_get_in_addr(&settings->local);
            mreq.imr_interface.s_addr = htonl(INADDR_ANY);
            if (setsockopt(sock, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof(mreq)) < 0)
                WARN_ERRNO("multicast join");
            const int off = 0;
            if (setsockopt(sock, IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof(off)) < 0)
                WARN_ERRNO("ip_multicast_all");
            return true;
        }
        ipv6_mreq mreq6{};
        mreq6.ipv6mr_multiaddr = *SockAddr_get_in6_addr(&settings->local);
        mreq6.ipv6mr_interface = 0;
        if (setsockopt(sock, IPPROTO_IPV6, IPV6_ADD_MEMBERSHIP, &mreq6, sizeof(mreq6)) < 0) {
            WARN_ERRNO("multicast v6 join");
            return false;
        }
        return true;
    }
    unsigned ifindex = 0;
    if (settings->bind_device) {
        ifindex = if_nametoindex(settings->bind_device);
        if (ifindex == 0) {
            WARN_ERRNO("mcast if_nametoindex");
            return false;
        }
    }
    sockaddr_storage group{};
    socklen_t group_len = sizeof(group);
    if (getsockname(sock, reinterpret_cast<sockaddr *>(&group), &group_len) < 0) {
        if (!settings->ssm_source)
            WARN_ERRNO(v6 ? "mcast v6 join group getsockname" : "mcast join group getsockname");
        else
            WARN_ERRNO(v6 ? "mcast v6 join group getsockname"
                          : "mcast join source group getsockname");
        return false;
    }
    const int level = v6 ? IPPROTO_IPV6 : IPPROTO_IP;
    if (!settings->ssm_source) {
        group_req req{};
        req.gr_interface = ifindex;
        memcpy(&req.gr_group, &group, sizeof(group));
        if (setsockopt(sock, level, MCAST_JOIN_GROUP, &req, sizeof(req)) < 0) {
            WARN_ERRNO(v6 ? "mcast v6 join group" : "mcast join group");
            return false;
        }
        return true;
    }
    group_source_req sreq{};
    sreq.gsr_interface = ifindex;
    memcpy(&sreq.gsr_group, &group, sizeof(group));
    if (v6) {
        auto &src6 = reinterpret_cast<sockaddr_in6 &>(sreq.gsr_source);
        src6.sin6_family = AF_INET6;
        if (inet_pton(AF_INET6, settings->ssm_source, &src6.sin6_addr) != 1) {
            WARN_ERRNO("mcast v6 join source group pton");
            return false;
        }
        if (setsockopt(sock, level, MCAST_JOIN_SOURCE_GROUP, &sreq, sizeof(sreq)) < 0) {
            WARN_ERRNO("mcast v6 join source group");
            return false;
        }
        return true;
    }
    auto &src4 = reinterpret_cast<sockaddr_in &>(sreq.gsr_source);
    src4.sin_family = AF_INET;
    if (inet_pton(AF_INET, settings->ssm_source, &src4.sin_addr) != 1) {
        WARN_ERRNO("mcast join source pton");
        return false;
    }
    if (setsockopt(sock, level, MCAST_JOIN_SOURCE_GROUP, &sreq, sizeof(sreq)) == 0) return true;
    ip_mreq_source mreqs{};
    mreqs.imr_multiaddr = reinterpret_cast<sockaddr_in &>(group).sin_addr;
    mreqs.imr_sourceaddr = src4.sin_addr;
    mreqs.imr_interface.s_addr = htonl(INADDR_ANY);
    if (setsockopt(sock, IPPROTO_IP, IP_ADD_SOURCE_MEMBERSHIP, &mreqs, sizeof(mreqs)) < 0) {
        WARN_ERRNO("mcast join source group");
        return false;
    }
    return true;
}

int Listener::my_accept(thread_Settings *record) {
    SockAddr_zeroAddress(&record->peer);
    record->peer_len = sizeof(sockaddr_storage);
    record->accept_sec = 0;
    record->accept_usec = 0;
    if (is_udp(settings)) {
        const int rc =
            (settings->extra_flags & EXT_TAP_DEV) ? tuntap_accept(record) : udp_accept(record);
        return rc;
    }
    socklen_t len = sizeof(sockaddr_storage);
    const int fd = accept(sock, reinterpret_cast<sockaddr *>(&record->peer), &len);
    if (fd < 0) return 0;  // interrupted, or the connection went away before accept
    const Timestamp now = server_now();
    record->sock = fd;
    record->peer_len = len;
    record->accept_sec = now.tv_sec;
    record->accept_usec = now.tv_usec;
    socklen_t local_len = sizeof(sockaddr_storage);
    getsockname(fd, reinterpret_cast<sockaddr *>(&record->local), &local_len);
    record->local_len = local_len;
    SockAddr_Ifrname(record);
    Toril_push_host_joining(record);
    return fd;
}

bool Listener::KeepsUdpSocket() const {
    return !(settings->option_flags & OPT_MULTICAST) && !(settings->extra_flags & EXT_TAP_DEV);
}

uint16_t Listener::UdpPort() const {
    return SockAddr_getPort(&settings->local);
}

int Listener::udp_accept(thread_Settings *record) {
    // A multicast group is joined on the listening socket itself: that
    // socket goes to the test (one at a time).
    return KeepsUdpSocket() ? udp_accept_kept(record) : udp_accept_handoff(record);
}

// A socket of the test's own, bound to the listening port and connected to
// its client: from now on the kernel delivers that client's datagrams there.
int Listener::UdpStreamSocket(const sockaddr_storage &peer, socklen_t peer_len) {
    const int fd = socket(settings->local.ss_family, SOCK_DGRAM, 0);
    if (fd < 0) {
        WARN_ERRNO("socket");
        return -1;
    }
    const int saved = settings->sock;
    settings->sock = fd;
    const SockOptResult options = SetSocketOptions(settings);
    settings->sock = saved;
    if (options != SockOptResult::kOk) {
        close(fd);
        return -1;
    }
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    if (bind(fd, reinterpret_cast<const sockaddr *>(&settings->local), settings->local_len) < 0) {
        WARN_ERRNO("listener bind");
        close(fd);
        return -1;
    }
    if (connect(fd, reinterpret_cast<const sockaddr *>(&peer), peer_len) < 0) {
        WARN_ERRNO("connect UDP");
        close(fd);
        return -1;
    }
    return fd;
}

// One datagram read off the listening socket (in udp_scratch): a datagram of
// a test already accepted goes to that test; the first datagram of a new
// one opens the test's socket and waits for its accept.
void Listener::UdpDispatch(int len, const sockaddr_storage &peer, socklen_t peer_len,
                           const Timestamp &arrival) {
    const uint16_t port = UdpPort();
    if (auto backlog = udp_backlog_find(port, peer)) {
        backlog->push(udp_scratch.data(), static_cast<size_t>(len), arrival);
        return;
    }
    UdpHdr hdr{};
    const bool has_hdr = hdr_udp_read(reinterpret_cast<const uint8_t *>(udp_scratch.data()), len,
                                      false, &hdr) == kHdr_Ok;
    // A late final datagram of an earlier test, or one too short to carry a
    // datagram header, never starts a test.
    if (!has_hdr || hdr.seqno < 0) return;
    const int fd = UdpStreamSocket(peer, peer_len);
    if (fd < 0) return;
    udp_backlog_open(port, peer);
    pending_udp.push_back(
        PendingUdp{std::vector<char>(udp_scratch.data(), udp_scratch.data() + len), peer, peer_len,
                   arrival, fd});
    // Between its bind and its connect the test's socket took datagrams of
    // anyone, and what queued on the listening socket before the test's
    // socket existed belongs to this test or to other new ones: sort both
    // out now, while they are still in order.
    UdpDrain(fd);
    UdpDrain(sock);
}

void Listener::UdpDrain(int fd) {
    for (int i = 0; i < kUdpDrainMax; ++i) {
        sockaddr_storage peer{};
        socklen_t peer_len = sizeof(peer);
        const ssize_t n = recvfrom(fd, udp_scratch.data(), udp_scratch.size(), MSG_DONTWAIT,
                                   reinterpret_cast<sockaddr *>(&peer), &peer_len);
        if (n < 0) return;
        UdpDispatch(static_cast<int>(n), peer, peer_len, server_now());
    }
}

int Listener::udp_accept_kept(thread_Settings *record) {
    const size_t cap = static_cast<size_t>(record->buf_len > 0 ? record->buf_len : 0);
    if (udp_scratch.size() < cap || udp_scratch.empty()) udp_scratch.resize(cap > 0 ? cap : 1);
    while (pending_udp.empty()) {
        sockaddr_storage peer{};
        socklen_t peer_len = sizeof(peer);
        const ssize_t n = recvfrom(sock, udp_scratch.data(), udp_scratch.size(), 0,
                                   reinterpret_cast<sockaddr *>(&peer), &peer_len);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) return 0;
            WARN_ERRNO("recvfrom");
            return -1;
        }
        if (StopRequested()) return 0;
        UdpDispatch(static_cast<int>(n), peer, peer_len, server_now());
    }
    if (StopRequested()) return 0;
    PendingUdp next = std::move(pending_udp.front());
    pending_udp.pop_front();
    const size_t room = Settings_BufferSize(record->buf_len);
    const size_t n = std::min(room, next.first.size());
    memcpy(record->buf, next.first.data(), n);
    record->peer = next.peer;
    record->peer_len = next.peer_len;
    record->accept_sec = next.arrival.tv_sec;
    record->accept_usec = next.arrival.tv_usec;
    record->sock = next.sock;
    socklen_t local_len = sizeof(sockaddr_storage);
    getsockname(record->sock, reinterpret_cast<sockaddr *>(&record->local), &local_len);
    record->local_len = local_len;
    SockAddr_Ifrname(record);
    record->first_read_len = static_cast<int32_t>(n);
    if (Toril_push_host_port_conditional_joining(record) == -1) {
        udp_backlog_close(UdpPort(), record->peer);
        close(record->sock);
        record->sock = -1;
        return 0;
    }
    return record->sock;
}

int Listener::udp_accept_handoff(thread_Settings *record) {
    const bool seqno64 = false;  // a negative low word marks a final datagram either way
    for (;;) {
        socklen_t len = sizeof(sockaddr_storage);
        const ssize_t n = recvfrom(sock, record->buf, static_cast<size_t>(record->buf_len), 0,
                                   reinterpret_cast<sockaddr *>(&record->peer), &len);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) return 0;
            WARN_ERRNO("recvfrom");
            return -1;
        }
        UdpHdr hdr{};
        const bool has_hdr = hdr_udp_read(reinterpret_cast<const uint8_t *>(record->buf),
                                          static_cast<int>(n), seqno64, &hdr) == kHdr_Ok;
        // A late final datagram of an earlier test, or one too short to
        // carry a datagram header, never starts a test.
        if (!has_hdr || hdr.seqno < 0) {
            if (StopRequested()) return 0;
            continue;
        }
        if (StopRequested()) return 0;
        const Timestamp now = server_now();
        record->accept_sec = now.tv_sec;
        record->accept_usec = now.tv_usec;
        record->peer_len = len;
        record->sock = sock;
        if (Toril_push_host_port_conditional_joining(record) == -1) {
            record->sock = -1;
            return 0;
        }
        // The socket now belongs to the test; the next pass makes a new one.
        sock = -1;
        settings->sock = -1;
        if (connect(record->sock, reinterpret_cast<const sockaddr *>(&record->peer), len) < 0) {
            WARN_ERRNO("connect UDP");
            Toril_remove_host(record);
            record->sum_report = nullptr;
            close(record->sock);
            record->sock = -1;
            return 0;
        }
        socklen_t local_len = sizeof(sockaddr_storage);
        getsockname(record->sock, reinterpret_cast<sockaddr *>(&record->local), &local_len);
        record->local_len = local_len;
        SockAddr_Ifrname(record);
        record->first_read_len = static_cast<int32_t>(n);
        return record->sock;
    }
}

// The packet socket of the next test sees every frame to the port, also
// those of tests already running and their late final datagrams: only the
// first frame of a new client starts a test.
int Listener::tuntap_accept(thread_Settings *record) {
    const size_t cap = Settings_BufferSize(record->buf_len);
    const size_t want = static_cast<size_t>(record->buf_len) + kTapExtra;
    for (;;) {
        const ssize_t n = recv(sock, record->buf, want < cap ? want : cap, 0);
        if (n < 0) {
            // A device that is down (or was, when the socket was bound to
            // it) reads again once it is up.
            if (errno == EINTR || errno == EAGAIN || errno == ENETDOWN) return 0;
            WARN_ERRNO("recvfrom");
            return -1;
        }
        if (StopRequested()) return 0;
        if (n < kTapPayloadOffset) continue;  // not a whole UDP frame
        const auto *frame = reinterpret_cast<const uint8_t *>(record->buf);
        UdpHdr hdr{};
        if (hdr_udp_read(frame + kTapPayloadOffset, static_cast<int>(n) - kTapPayloadOffset,
                         false, &hdr) != kHdr_Ok ||
            hdr.seqno < 0)
            continue;
        auto &peer = reinterpret_cast<sockaddr_in &>(record->peer);
        auto &local = reinterpret_cast<sockaddr_in &>(record->local);
        peer = sockaddr_in{};
        local = sockaddr_in{};
        peer.sin_family = AF_INET;
        local.sin_family = AF_INET;
        memcpy(&peer.sin_addr, frame + 26, 4);
        memcpy(&local.sin_addr, frame + 30, 4);
        memcpy(&peer.sin_port, frame + 34, 2);
        memcpy(&local.sin_port, frame + 36, 2);
        record->peer_len = sizeof(sockaddr_in);
        record->local_len = sizeof(sockaddr_in);
        record->sock = sock;
        if (Toril_push_host_port_conditional_joining(record) == -1) {
            record->sock = -1;
            continue;  // a frame of a test already running
        }
        record->l2_header_len = kTapL2HeaderLen;
        if (SockAddr_v4_Connect_TAP_BPF(sock, local.sin_addr.s_addr, peer.sin_addr.s_addr,
                                        local.sin_port, peer.sin_port) < 0)
            WARN_ERRNO("tap connect bpf");
        record->l2_payload_offset = kTapPayloadOffset;
        record->first_read_len = static_cast<int32_t>(n);
        const Timestamp now = server_now();
        record->accept_sec = now.tv_sec;
        record->accept_usec = now.tv_usec;
        // The socket now belongs to the test; the next pass makes a new one
        // on the same device.
        sock = -1;
        settings->sock = -1;
        return record->sock;
    }
}

bool Listener::L2_setup(thread_Settings *record, int udp) {
    const bool v6 = (record->option_flags & OPT_IPV6) != 0;
    int raw;
    if (v6) {
        raw = socket(AF_PACKET, SOCK_RAW, htons(ETH_P_IPV6));
        if (raw < 0) {
            WARN_ERRNO("ip6 packet socket (AF_PACKET)");
            return false;
        }
        record->l2_header_len = kV6L2HeaderLen;
    } else {
        raw = socket(AF_PACKET, SOCK_RAW, htons(ETH_P_IP));
        if (raw < 0) {
            WARN_ERRNO("ip packet socket (AF_PACKET)");
            return false;
        }
        record->option_flags &= ~OPT_IPV6;
        record->l2_header_len = kV4L2HeaderLen;
    }
    record->recv_flags = MSG_TRUNC;
    record->udp_sock = udp;
    record->sock = raw;
    record->l2_payload_offset = record->l2_header_len + 8;
    if (SockAddr_Drop_All_BPF(udp) < 0) WARN_ERRNO("l2 all drop bpf");
    int rc;
    if (v6) {
        const auto &local6 = reinterpret_cast<const sockaddr_in6 &>(record->local);
        const auto &peer6 = reinterpret_cast<const sockaddr_in6 &>(record->peer);
        rc = SockAddr_v6_Connect_BPF(raw, &local6.sin6_addr, &peer6.sin6_addr, local6.sin6_port,
                                     peer6.sin6_port);
        if (rc < 0) WARN_ERRNO("l2 connect ipv6 bpf");
    } else if (record->local.ss_family == AF_INET6) {
        const auto &local6 = reinterpret_cast<const sockaddr_in6 &>(record->local);
        const auto &peer6 = reinterpret_cast<const sockaddr_in6 &>(record->peer);
        uint32_t local4;
        uint32_t peer4;
        memcpy(&local4, local6.sin6_addr.s6_addr + 12, 4);
        memcpy(&peer4, peer6.sin6_addr.s6_addr + 12, 4);
        rc = SockAddr_v4_Connect_BPF(raw, local4, peer4, local6.sin6_port, peer6.sin6_port);
        if (rc < 0) WARN_ERRNO("l2 v4in6 connect ip bpf");
    } else {
        const auto &local4 = reinterpret_cast<const sockaddr_in &>(record->local);
        const auto &peer4 = reinterpret_cast<const sockaddr_in &>(record->peer);
        rc = SockAddr_v4_Connect_BPF(raw, local4.sin_addr.s_addr, peer4.sin_addr.s_addr,
                                     local4.sin_port, peer4.sin_port);
        if (rc < 0) WARN_ERRNO("l2 connect ip bpf");
    }
    return rc == 0;
}

bool Listener::apply_client_settings(thread_Settings *record) {
    SetSocketOptionsReceiveTimeout(record->sock, kHeaderTimeout_us);
    header_deadline_us = monotonic_us() + kHeaderTimeout_us;
    record->peer_version_hi = 0;
    record->peer_version_lo = 0;
    record->test_mode = kTest_Normal;
    bool ok = true;
    if (is_udp(record))
        ok = apply_client_settings_udp(record);
    else if (!(record->test_flags & TEST_CONNECT_ONLY))
        ok = apply_client_settings_tcp(record);
    // The reads left what remained of the header time on the socket; the
    // test starts from the header timeout, as before them.
    SetSocketOptionsReceiveTimeout(record->sock, kHeaderTimeout_us);
    if (!ok) return false;
    if (record->extra_flags & EXT_TOS_OVERRIDE)
        SetSocketOptionsIPTos(record, record->override_tos);
    else if (record->tos != 0)
        SetSocketOptionsIPTos(record, record->tos);
    return true;
}

bool Listener::apply_client_settings_udp(thread_Settings *record) {
    const int offset = (settings->extra_flags & EXT_TAP_DEV) ? record->l2_payload_offset : 0;
    const int len = record->first_read_len - offset;
    const int rc = Settings_ReadClientHdrUdp(
        record, reinterpret_cast<const uint8_t *>(record->buf) + offset, len, server_now().tv_sec);
    if (rc != kHdr_Ok) {
        warn_header("udp test header", rc);
        return false;
    }
    return true;
}

bool Listener::ReadBounceBack(thread_Settings *record) {
    char *buf = record->buf;
    const int cap = static_cast<int>(Settings_BufferSize(record->buf_len));
    if (recv_header(record->sock, buf + 4, kBounceBackFirstLen) != kBounceBackFirstLen) {
        WARN("read bounce back header failed");
        return false;
    }
    const uint32_t size = be32(buf + 4);
    if (size < static_cast<uint32_t>(kBounceBackHdrLen)) {
        WARN("bounce back bytes too small");
        return false;
    }
    const int rc = Settings_ReadBounceBackHdr(record, reinterpret_cast<const uint8_t *>(buf),
                                              kBounceBackHdrLen, cap);
    if (rc != kHdr_Ok) {
        warn_header("read bounce back header", rc);
        return false;
    }
    const int rest = record->bounceback_size - kBounceBackHdrLen;
    if (rest > 0 && recv_header(record->sock, buf + kBounceBackHdrLen, rest) != rest) {
        WARN("read bounce back payload failed");
        return false;
    }
    const Timestamp now = server_now();
    hdr_bounceback_stamp_recv(reinterpret_cast<uint8_t *>(buf),
                              static_cast<size_t>(record->bounceback_size), now.tv_sec,
                              now.tv_usec);
    record->first_read_len = record->bounceback_size;
    return true;
}

bool Listener::CheckPermitKey(thread_Settings *record, uint32_t flags, int hdr_len) {
    record->key_check = 0;
    if (!(settings->test_flags & TEST_PERMIT_KEY)) return false;  // a key nobody asked for
    if (!(flags & HDR_KEYCHECK)) return false;
    const int key_len =
        Settings_ClientKeyLen(reinterpret_cast<const uint8_t *>(record->buf), hdr_len, hdr_len);
    const int own_len = static_cast<int>(strnlen(settings->permit_key, kPermitKeyMax));
    if (key_len < kHdrKeyMinLen || key_len != own_len) return false;
    char key[kPermitKeyMax];
    if (recv_header(record->sock, key, key_len) != key_len) {
        WARN_ERRNO("read key");
        return false;
    }
    if (!keys_equal(key, settings->permit_key, key_len)) return false;
    record->key_check = 1;
    return true;
}

bool Listener::apply_client_settings_tcp(thread_Settings *record) {
    gettcpinfo(record->sock, &record->connect_stats);
    char *buf = record->buf;
    const int n = recv_header(record->sock, buf, 4);
    if (n == 0) {
        WARN("read tcp flags (peer close)");
        return false;
    }
    if (n < 4) {
        WARN("read tcp flags (runt)");
        return false;
    }
    const uint32_t flags = be32(buf);
    if (flags & HDR_BOUNCEBACK) {
        // A bounceback message has no room for a key: a keyed server refuses it.
        if (settings->test_flags & TEST_PERMIT_KEY) {
            record->key_check = 0;
            return false;
        }
        return ReadBounceBack(record);
    }

    const int hdr_len = Settings_ClientTestHdrLen(flags, record);
    if (hdr_len < 0) {
        warn_header("read tcp test info", hdr_len);
        return false;
    }
    int have = 4;
    if (hdr_len > 4) {
        const int cap = static_cast<int>(Settings_BufferSize(record->buf_len));
        if (hdr_len > cap || recv_header(record->sock, buf + 4, hdr_len - 4) != hdr_len - 4) {
            WARN("read tcp test info");
            return false;
        }
        have = hdr_len;
    }
    const bool keyed_server = (settings->test_flags & TEST_PERMIT_KEY) != 0;
    if ((keyed_server || (flags & HDR_KEYCHECK)) && !CheckPermitKey(record, flags, have))
        return false;
    const int rc = Settings_ReadClientHdrTcp(record, reinterpret_cast<const uint8_t *>(buf), have,
                                             server_now().tv_sec);
    if (rc != kHdr_Ok) {
        warn_header("read tcp test info", rc);
        return false;
    }
    if (!(settings->option_flags & OPT_COMPAT) && Settings_TestAckWanted(flags))
        client_test_ack(record);
    return true;
}

void Listener::client_test_ack(thread_Settings *record) {
    uint8_t ack[kTestAckTripLen];
    const Timestamp now = server_now();
    const int len = Settings_GenerateTestAck(record, ack, sizeof(ack), now.tv_sec, now.tv_usec);
    if (len <= 0) return;
    int32_t timeout_us;
    if (record->interval_usec > 0)
        timeout_us = clamp_ack_timeout(record->interval_usec / 4.0);
    else if (record->option_flags & OPT_TIME_MODE)
        timeout_us = clamp_ack_timeout(static_cast<double>(record->amount) * 2500.0);
    else
        timeout_us = kAckTimeoutMin_us;
    SetSocketOptionsSendTimeout(record->sock, timeout_us);
    const int on = 1;
    if (setsockopt(record->sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on)) < 0)
        WARN_ERRNO("tcpnodelay");
    if (send(record->sock, ack, static_cast<size_t>(len), MSG_NOSIGNAL) < 0) WARN_ERRNO("send_ack");
    const int nodelay = (record->option_flags & OPT_NODELAY) ? 1 : 0;
    setsockopt(record->sock, IPPROTO_TCP, TCP_NODELAY, &nodelay, sizeof(nodelay));
}
