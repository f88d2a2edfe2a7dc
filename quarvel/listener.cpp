// quarvel's listener, its client list and the single-threaded UDP server.
#include "quarvel/listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "common/signals.h"
#include "common/sockaddr.h"
#include "common/sockopt.h"
#include "common/thread.h"
#include "common/warn.h"
#include "quarvel/hello.h"
#include "quarvel/launch.h"
#include "quarvel/reporter.h"
#include "quarvel/server.h"

Toril_ListEntry *clients = nullptr;
pthread_mutex_t clients_mutex = PTHREAD_MUTEX_INITIALIZER;

namespace {

// How long the listener waits for a TCP test header before it takes the test
// without one: a connection that never sends must not hold the listener.
constexpr int kHeaderWait_ms = 2000;
// A client's own listener gives up on the return test this long after the
// client's last stream has ended (the server starts a tradeoff test's return
// half once its own half is over, a UDP one after its final exchange).
constexpr int kReturnWait_s = 5;
// Its wait for a connection wakes this often to look at the client's streams.
constexpr int kReturnPoll_ms = 100;
// Longest peer text of a reverse client's host.
constexpr size_t kHostTextMax = 47;

uint32_t get_be32(const uint8_t *at) {
    return (static_cast<uint32_t>(at[0]) << 24) | (static_cast<uint32_t>(at[1]) << 16) |
           (static_cast<uint32_t>(at[2]) << 8) | static_cast<uint32_t>(at[3]);
}

timespec mono_now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts;
}

int64_t mono_ms() {
    const timespec ts = mono_now();
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

timeval real_now() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return timeval{ts.tv_sec, static_cast<suseconds_t>(ts.tv_nsec / 1000)};
}

// quarvel's option sequence for a listening socket.
void apply_socket_options(thread_Settings *settings, int sock) {
    SocketOptionRequest req;
    req.variant = ToolVariant::kQuarvel;
    req.sock = sock;
    req.is_client = false;
    req.udp = (settings->option_flags & OPT_UDP) != 0;
    req.ipv6 = (settings->option_flags & OPT_IPV6) != 0;
    req.multicast = (settings->option_flags & OPT_MULTICAST) != 0;
    req.window_size = settings->window_size;
    req.congestion = (settings->option_flags & OPT_CONGESTION) != 0;
    req.congestion_algo = settings->congestion_algo;
    req.ttl = settings->ttl;
    req.tos = settings->tos;
    req.mss_set = settings->mss > 0;
    req.mss = settings->mss;
    req.nodelay = (settings->option_flags & OPT_NODELAY) != 0;
    if (SetSocketOptions(req) == SockOptResult::kExitProcess) exit(1);
}

// The address of host (with port), as the settings' family asks for.
sockaddr_storage resolve(const thread_Settings *settings, const char *host, uint16_t port) {
    SockAddrRequest req;
    req.variant = ToolVariant::kQuarvel;
    req.is_client = true;
    req.ipv6 = (settings->option_flags & OPT_IPV6) != 0;
    req.host = host;
    req.port = port;
    SockAddr_remoteAddr(req);
    return req.peer;
}

}  // namespace

// --- Client list ---

void Toril_pushback(Toril_ListEntry *entry, Toril_ListEntry **list) {
    entry->next = *list;
    *list = entry;
}

Toril_ListEntry *Toril_present(const sockaddr_storage *address, Toril_ListEntry *list) {
    for (; list; list = list->next)
        if (SockAddr_are_Equal(address, &list->address)) return list;
    return nullptr;
}

Toril_ListEntry *Toril_hostpresent(const sockaddr_storage *address, Toril_ListEntry *list) {
    for (; list; list = list->next)
        if (SockAddr_Hostare_Equal(address, &list->address)) return list;
    return nullptr;
}

void Toril_delete(const sockaddr_storage *address, Toril_ListEntry **list) {
    for (Toril_ListEntry **link = list; *link; link = &(*link)->next) {
        if (SockAddr_are_Equal(address, &(*link)->address)) {
            Toril_ListEntry *gone = *link;
            *link = gone->next;
            delete gone;
            return;
        }
    }
}

void Toril_destroy(Toril_ListEntry **list) {
    while (*list) {
        Toril_ListEntry *gone = *list;
        *list = gone->next;
        delete gone;
    }
}

void listener_process_cleanup() {
    Toril_destroy(&clients);
}

// --- Reverse client ---

void Settings_GenerateClientSettings(const thread_Settings *server, thread_Settings **client,
                                     const uint8_t *header, int header_len) {
    *client = nullptr;
    if (!header || header_len < 4) return;
    const uint32_t flags = get_be32(header);
    if (!(flags & HDR_RUN_NOW_FLAG)) return;
    // Bytes 28 to 35 are not read: the rate word is the last one needed.
    if (header_len < 28) {
        fprintf(stderr, "WARNING: test header of %d bytes is too short for a reverse test.\n",
                header_len);
        return;
    }
    const int32_t threads = static_cast<int32_t>(get_be32(header + 4));
    const uint32_t port = get_be32(header + 8);
    const int32_t buf_len = static_cast<int32_t>(get_be32(header + 12));
    const int32_t window = static_cast<int32_t>(get_be32(header + 16));
    const uint32_t amount = get_be32(header + 20);
    const uint32_t rate = get_be32(header + 24);
    if (threads < 1 || threads > kReverseThreadsMax || port == 0 || port > 65535 || buf_len < 0 ||
        buf_len > kReverseBufLenMax) {
        fprintf(stderr,
                "WARNING: test header refused (threads %d, port %u, buffer length %d): no "
                "reverse test.\n",
                threads, port, buf_len);
        return;
    }

    thread_Settings *copy = nullptr;
    Settings_Copy(server, &copy);
    copy->option_flags |= OPT_COMPAT;
    copy->sock = -1;
    copy->report = nullptr;
    copy->sum_report = nullptr;
    copy->port = static_cast<uint16_t>(port);
    copy->threads = threads;
    if (buf_len != 0) copy->buf_len = buf_len;
    copy->window_size = window;
    if (!(server->option_flags & OPT_RATE_SET)) {
        copy->rate = rate;
        copy->rate_units = (flags & HDR_RATE_PPS) ? kRate_PPS : kRate_BW;
    }
    if (amount & 0x80000000u) {
        copy->option_flags |= OPT_TIME_MODE;
        copy->amount = static_cast<uint64_t>(-static_cast<int64_t>(static_cast<int32_t>(amount)));
    } else {
        copy->option_flags &= ~OPT_TIME_MODE;
        copy->amount = amount;
    }
    free(copy->input_file);
    copy->input_file = nullptr;
    free(copy->output_file);
    copy->output_file = nullptr;
    copy->option_flags &= ~(OPT_FILE_INPUT | OPT_STDIN);
    // The reverse test connects to the client as it is seen: no NAT endpoint.
    free(copy->nat_client_ip);
    copy->nat_client_ip = nullptr;
    copy->nat_mode = 0;
    copy->test_mode = (flags & HDR_DUALTEST) ? kTest_DualTest : kTest_TradeOff;
    copy->thread_mode = kMode_Client;
    char text[kHostTextMax + 1] = {};
    SockAddr_getHostAddress(&server->peer, text, sizeof(text));
    text[kHostTextMax] = '\0';
    free(copy->host);
    copy->host = strdup(text);
    *client = copy;
}

// --- Listener ---

Listener::Listener(thread_Settings *record)
    : accepts_left(record->threads),
      settings(record),
      buf(nullptr),
      buf_size(0),
      server(nullptr),
      end_time{},
      start_time(real_now()),
      host_restricted(false),
      started_ms(launch_mono_ms()),
      peer_host{} {
    buf_size = settings->buf_len > kUdpHeaderBytes + kTestHeaderBytes
                   ? settings->buf_len
                   : kUdpHeaderBytes + kTestHeaderBytes;
    buf = new (std::nothrow) uint8_t[buf_size]();
    settings->sock = -1;
    Listen();
    ReportSettings(settings);
}

Listener::~Listener() {
    if (settings->sock >= 0) {
        if (close(settings->sock) < 0) WARN_ERRNO("close");
        set_sock(-1);
    }
    delete[] buf;
}

void Listener::set_sock(int sock) {
    settings->sock = sock;
    if (settings->nat_mode) hello_set_socket(sock);
}

bool Listener::timed() const {
    return (settings->option_flags & OPT_TIME_SET) && !(settings->option_flags & OPT_DAEMON);
}

void Listener::Listen() {
    if (settings->nat_mode && settings->client_local_port == 0) {
        printf("Please provide -a (Client Local Port) when using -e or -E option");
        fflush(stdout);
        exit(0);
    }
    SockAddrRequest req;
    req.variant = ToolVariant::kQuarvel;
    req.is_client = false;
    req.ipv6 = (settings->option_flags & OPT_IPV6) != 0;
    req.local_host = settings->local_host;
    req.port = settings->port;
    SockAddr_localAddr(req);
    settings->local = req.local;
    settings->local_len = req.local_len;

    const bool udp = (settings->option_flags & OPT_UDP) != 0;
    const int sock = socket(settings->local.ss_family, udp ? SOCK_DGRAM : SOCK_STREAM, 0);
    if (sock < 0) {
        WARN_ERRNO("socket");
        exit(0);
    }
    apply_socket_options(settings, sock);
    const int on = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    if (bind(sock, reinterpret_cast<const sockaddr *>(&settings->local), settings->local_len) < 0) {
        WARN_ERRNO("bind");
        close(sock);
        set_sock(-1);
        stopped = true;  // the listener thread ends: it has nothing to listen on
        return;
    }
    set_sock(sock);
    if (!udp && !settings->nat_mode && listen(sock, 5) < 0) WARN_ERRNO("listen");
    if (SockAddr_isMulticast(&settings->local)) McastJoin();
}

void Listener::McastJoin() {
    int rc;
    if (settings->local.ss_family == AF_INET6) {
        ipv6_mreq request{};
        request.ipv6mr_multiaddr = *SockAddr_get_in6_addr(&settings->local);
        request.ipv6mr_interface = 0;
        rc = setsockopt(settings->sock, IPPROTO_IPV6, IPV6_JOIN_GROUP, &request, sizeof(request));
    } else {
        ip_mreq request{};
        request.imr_multiaddr = *SockAddr_get_in_addr(&settings->local);
        request.imr_interface.s_addr = htonl(INADDR_ANY);
        rc = setsockopt(settings->sock, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof(request));
    }
    if (rc < 0) WARN_ERRNO("multicast join");
}

void Listener::new_server_record() {
    Settings_Copy(settings, &server);
    server->thread_mode = kMode_Server;
    server->report = nullptr;
    server->sum_report = nullptr;
}

bool Listener::wait_readable(int sock) {
    if (sock < 0) return false;
    // The listener's time, in hundredths of a second. poll, not select: the
    // descriptor may lie beyond what an fd_set can name.
    const uint64_t hundredths = std::min<uint64_t>(settings->amount, INT32_MAX / 10);
    pollfd readable{sock, POLLIN, 0};
    return poll(&readable, 1, static_cast<int>(hundredths * 10)) > 0;
}

bool Listener::wait_return_test() {
    for (;;) {
        if (sInterupted.load() != 0) return false;
        pollfd p{settings->sock, POLLIN, 0};
        const int ready = poll(&p, 1, kReturnPoll_ms);
        if (ready > 0) return true;
        if (ready < 0 && errno != EINTR) return false;
        if (client_streams_quiet_ms(started_ms) > kReturnWait_s * 1000) {
            fprintf(stderr, "WARNING: no return test came within %d seconds after the test.\n",
                    kReturnWait_s);
            return false;
        }
    }
}

bool Listener::single_client_check(const thread_Settings *record) {
    if (!(settings->option_flags & OPT_SINGLE_CLIENT) || clients) return false;
    peer_host = record->peer;
    host_restricted = true;
    if (--accepts_left <= 0) {
        thread_release_nonterm(0);
        accepts_left = 1;
    }
    return true;
}

bool Listener::host_rejected(thread_Settings *record) {
    return host_restricted && !SockAddr_Hostare_Equal(&record->peer, &peer_host);
}

bool Listener::add_client(thread_Settings *record, bool keep_record) {
    auto *entry =
        new Toril_ListEntry{record->peer, nullptr, keep_record ? record : nullptr, nullptr};
    Toril_ListEntry *same_host = Toril_hostpresent(&record->peer, clients);
    const bool new_group = same_host == nullptr;
    if (same_host) {
        entry->group = same_host->group;
        record->sum_report = same_host->group;
    } else {
        record->threads = 0;
        record->sum_report = group_create(record);
        entry->group = record->sum_report;
    }
    Toril_pushback(entry, &clients);
    return new_group;
}

int Listener::read_tcp_header(int sock) {
    int got = 0;
    const int64_t deadline_ms = mono_ms() + kHeaderWait_ms;
    while (got < kTestHeaderBytes) {
        const int64_t left_ms = deadline_ms - mono_ms();
        if (left_ms <= 0) break;
        pollfd p{sock, POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(left_ms));
        if (ready < 0 && errno == EINTR) {
            if (sInterupted.load() != 0) break;
            continue;
        }
        if (ready <= 0) break;
        const ssize_t n = recv(sock, buf + got, static_cast<size_t>(kTestHeaderBytes - got), 0);
        if (n <= 0) break;
        got += static_cast<int>(n);
    }
    if (got > 0 && got < kTestHeaderBytes)
        fprintf(stderr, "WARNING: test header cut short after %d bytes.\n", got);
    return got;
}

void Listener::start_reverse(thread_Settings *record, const uint8_t *header, int header_len,
                             bool single_udp) {
    if (settings->option_flags & (OPT_COMPAT | OPT_MULTICAST)) return;
    thread_Settings *reverse = nullptr;
    Settings_GenerateClientSettings(record, &reverse, header, header_len);
    if (!reverse) return;
    if (single_udp && reverse->test_mode == kTest_TradeOff) {
        // Nothing in this mode would ever start it; it would only be kept.
        Settings_Destroy(reverse);
        return;
    }
    client_init(reverse);
    if (single_udp) {
        thread_start(reverse);
    } else if (reverse->test_mode == kTest_DualTest) {
        record->run_next = reverse;
    } else {
        record->run_after = reverse;
    }
}

bool Listener::accept_udp(thread_Settings *record) {
    const ssize_t n = recvfrom(settings->sock, buf, static_cast<size_t>(settings->buf_len), 0,
                               reinterpret_cast<sockaddr *>(&record->peer),
                               reinterpret_cast<socklen_t *>(&record->peer_len));
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return false;
        WARN_ERRNO("recvfrom");
        stopped = true;
        return false;
    }
    first_len = static_cast<int>(n);
    record->peer_len = sizeof(sockaddr_storage);
    // A datagram without its number starts nothing.
    if (n < kUdpHeaderBytes) return false;
    pthread_mutex_lock(&clients_mutex);
    const bool ignored =
        Toril_present(&record->peer, clients) || static_cast<int32_t>(get_be32(buf)) < 0;
    bool taken = false;
    if (!ignored) {
        record->sock = settings->sock;
        if (connect(record->sock, reinterpret_cast<const sockaddr *>(&record->peer),
                    SockAddr_get_sizeof_sockaddr(&record->peer)) < 0) {
            WARN_ERRNO("connect UDP");
            record->sock = -1;
            stopped = true;
        } else {
            taken = true;
        }
    }
    pthread_mutex_unlock(&clients_mutex);
    return taken;
}

bool Listener::accept_nat_tcp(thread_Settings *record) {
    record->sock = settings->sock;
    record->peer = peer_host;
    record->peer_len = SockAddr_get_sizeof_sockaddr(&peer_host);
    record->local = settings->local;
    record->local_len = settings->local_len;
    for (;;) {
        sleep(1);
        if (sInterupted.load() != 0) {
            record->sock = -1;
            return false;
        }
        if (connect(record->sock, reinterpret_cast<const sockaddr *>(&record->peer),
                    record->peer_len) == 0)
            break;
        WARN_ERRNO("connect");
    }
    // The listening socket is the test connection now; the server closes it.
    set_sock(-1);
    SendTCP.store(1);
    return true;
}

void Listener::Accept(thread_Settings *record) {
    record->sock = -1;
    record->peer_len = sizeof(sockaddr_storage);
    const bool udp = (settings->option_flags & OPT_UDP) != 0;
    int64_t deadline_ms = 0;
    if (timed()) {
        deadline_ms = mono_ms() + static_cast<int64_t>(settings->amount) * 10;
        if (!setsock_blocking(settings->sock, false))
            fprintf(stderr, "%s failed\n", "Failed setting socket to non-blocking mode");
    }
    for (;;) {
        if (stopped) return;
        // A NAT TCP listener has handed its socket to the test and only waits.
        if (settings->sock < 0 && (udp || !settings->nat_mode)) return;
        if (settings->connect_back && !wait_return_test()) return;
        if (timed()) {
            if (mono_ms() > deadline_ms) return;
            if (!wait_readable(settings->sock)) return;
        }
        if (udp) {
            if (accept_udp(record)) break;
            if (stopped || sInterupted.load() != 0) return;
            continue;
        }
        if (SendTCP.load() == 2) return;
        if (settings->nat_mode) {
            if (SendTCP.load() == 0) {
                if (!accept_nat_tcp(record)) return;
                break;
            }
            while (SendTCP.load() != 2) sleep(1);
            return;
        }
        socklen_t len = sizeof(sockaddr_storage);
        const int sock = accept(settings->sock, reinterpret_cast<sockaddr *>(&record->peer), &len);
        if (sock >= 0) {
            record->sock = sock;
            record->peer_len = len;
            break;
        }
        if (errno == EINTR) return;
        // Out of descriptors and the like: do not spin on the failing accept.
        if (errno != EAGAIN && errno != EWOULDBLOCK) usleep(10000);
    }
    if (!setsock_blocking(record->sock, true))
        fprintf(stderr, "%s failed\n", "Failed setting socket to blocking mode");
    socklen_t local_len = sizeof(sockaddr_storage);
    getsockname(record->sock, reinterpret_cast<sockaddr *>(&record->local), &local_len);
    record->local_len = local_len;
}

void Listener::Run() {
    if (!buf || stopped) return;
    if (settings->option_flags & OPT_SINGLE_UDP) {
        UDPSingleServer();
        return;
    }
    const bool udp = (settings->option_flags & OPT_UDP) != 0;
    if (settings->host) {
        peer_host = resolve(settings, settings->host, settings->port);
        host_restricted = true;
    }
    new_server_record();
    if (settings->nat_mode) {
        free(settings->host);
        settings->host = settings->nat_client_ip ? strdup(settings->nat_client_ip) : nullptr;
        peer_host = resolve(settings, settings->host, settings->client_local_port);
        host_restricted = true;
        if (udp) {
            printf("\nCreating new thread to send packet.....\n");
            fflush(stdout);
            PrintHello1();
        }
    }
    do {
        Accept(server);
        if (SendTCP.load() == 2) {
            // A NAT server runs one test; the process ends with a signal.
            for (;;) pause();
        }
        if (server->sock < 0) break;
        const int interrupt = sInterupted.load();
        if (interrupt == SIGALRM) {
            sInterupted.store(0);
        } else if (interrupt != 0) {
            close(server->sock);
            if (udp) set_sock(-1);
            break;
        }
        pthread_mutex_lock(&clients_mutex);
        single_client_check(server);
        if (host_rejected(server)) {
            pthread_mutex_unlock(&clients_mutex);
            close(server->sock);
            server->sock = -1;
            if (udp) {
                set_sock(-1);
                Listen();
            }
            continue;
        }
        // The header's thread count covers every stream of the client, so
        // only the stream that opens the host's group starts the return test.
        const bool first_of_group = add_client(server, false);
        pthread_mutex_unlock(&clients_mutex);

        if (udp) {
            if (first_of_group)
                start_reverse(server, buf + kUdpHeaderBytes, first_len - kUdpHeaderBytes, false);
        } else if (!(settings->option_flags & (OPT_COMPAT | OPT_MULTICAST))) {
            const int got = read_tcp_header(server->sock);
            if (first_of_group) start_reverse(server, buf, got, false);
        }
        thread_start(server);
        server = nullptr;
        if (udp) {
            set_sock(-1);
            Listen();
        }
        if (!(settings->option_flags & OPT_SINGLE_CLIENT)) accepts_left--;
        new_server_record();
    } while (sInterupted.load() == 0 && (settings->threads == 0 || accepts_left > 0));
    Settings_Destroy(server);
    server = nullptr;
}

void Listener::PrintHello1() {
    SockAddr_zeroAddress(&settings->hello_peer);
    SockAddr_setHostname(settings->nat_client_ip, &settings->hello_peer,
                         (settings->option_flags & OPT_IPV6) != 0, ToolVariant::kQuarvel);
    SockAddr_setPort(&settings->hello_peer, settings->client_local_port);
    settings->hello_peer_len = sizeof(sockaddr_storage);
    hello_start(settings->hello_peer, SockAddr_get_sizeof_sockaddr(&settings->hello_peer));
}

void Listener::single_udp_exit() {
    sInterupted.store(1);
    if (settings->sock >= 0) close(settings->sock);
    set_sock(-1);
    SendUDP.store(1);
    pthread_mutex_unlock(&clients_mutex);
    fflush(nullptr);
    exit(0);
}

void Listener::UDPSingleServer() {
    if (settings->nat_mode) PrintHello1();
    const bool is_timed = timed();
    const int64_t deadline_ms = mono_ms() + static_cast<int64_t>(settings->amount) * 10;
    if (settings->host) {
        peer_host = resolve(settings, settings->host, settings->port);
        host_restricted = true;
    }
    new_server_record();
    pthread_mutex_lock(&clients_mutex);
    while (sInterupted.load() == 0) {
        if (settings->sock < 0) break;
        if (is_timed && (mono_ms() > deadline_ms || !wait_readable(settings->sock)))
            single_udp_exit();
        server->peer_len = sizeof(sockaddr_storage);
        socklen_t peer_len = sizeof(sockaddr_storage);
        const ssize_t n = recvfrom(settings->sock, buf, static_cast<size_t>(settings->buf_len), 0,
                                   reinterpret_cast<sockaddr *>(&server->peer), &peer_len);
        if (n < 0) {
            if (errno == EINTR) continue;
            WARN_ERRNO("recvfrom");
            if (settings->nat_mode) continue;
            break;
        }
        server->peer_len = peer_len;
        if (n < kUdpHeaderBytes) continue;  // no datagram number: not a test's datagram
        Toril_ListEntry *known = Toril_present(&server->peer, clients);
        PacketReport record{};
        record.number = static_cast<int32_t>(get_be32(buf));
        record.length = n;
        record.sent_time.tv_sec = static_cast<time_t>(static_cast<int32_t>(get_be32(buf + 4)));
        record.sent_time.tv_usec =
            static_cast<suseconds_t>(static_cast<int32_t>(get_be32(buf + 8)));
        record.packet_time = real_now();

        if (record.number < 0) {
            if (known && known->record) {
                thread_Settings *test = known->record;
                record.number = record.number == INT32_MIN ? INT32_MAX : -record.number;
                ReportPacket(test->report, &record);
                CloseReport(test->report, &record);
                if (n >= kServerReportFullBytes + 1) {
                    if (const TransferInfo *info = GetReport(test->report))
                        server_report_fill_short(buf, *info);
                }
                EndReport(test->report);
                test->report = nullptr;
                Toril_delete(&server->peer, &clients);
                Settings_Destroy(test);
            } else if (n >= kServerReportFullBytes + 1) {
                memset(buf + kServerReportFlagsOffset, 0, 4);
            }
            if (settings->nat_mode) SendUDP.store(1);
            sendto(settings->sock, buf, static_cast<size_t>(settings->buf_len), 0,
                   reinterpret_cast<const sockaddr *>(&server->peer), server->peer_len);
            if (settings->nat_mode) {
                pthread_mutex_unlock(&clients_mutex);
                for (;;) pause();
            }
            continue;
        }
        if (known) {
            if (known->record) ReportPacket(known->record->report, &record);
            continue;
        }

        // A new client; its first datagram carries the header and is not counted.
        pthread_mutex_lock(&groupCond);
        --groupID;
        pthread_mutex_unlock(&groupCond);
        server->sock = settings->sock;
        connect(server->sock, reinterpret_cast<const sockaddr *>(&server->peer),
                SockAddr_get_sizeof_sockaddr(&server->peer));
        socklen_t local_len = sizeof(sockaddr_storage);
        getsockname(server->sock, reinterpret_cast<sockaddr *>(&server->local), &local_len);
        server->local_len = local_len;
        if (sInterupted.load() != 0) single_udp_exit();
        single_client_check(server);
        if (host_rejected(server)) {
            server->sock = -1;
            close(settings->sock);
            set_sock(-1);
            Listen();
            if (settings->threads != 0 && accepts_left <= 0) break;
            continue;
        }
        if (add_client(server, true)) {
            start_reverse(server, buf + kUdpHeaderBytes, static_cast<int>(n) - kUdpHeaderBytes,
                          true);
        }
        server->report = InitReport(server);
        if (!(settings->option_flags & OPT_SINGLE_CLIENT)) accepts_left--;
        server = nullptr;
        new_server_record();
        if (settings->threads != 0 && accepts_left <= 0) break;
    }
    if (sInterupted.load() != 0) single_udp_exit();
    pthread_mutex_unlock(&clients_mutex);
    Settings_Destroy(server);
    server = nullptr;
}

void listener_spawn(thread_Settings *settings) {
    Listener listener(settings);
    listener.Run();
}
