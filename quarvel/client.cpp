// The client's set-up: the buffer, the path to the server (classic or NAT),
// the socket options and the test header.
#include "quarvel/client.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/pattern.h"
#include "common/sockaddr.h"
#include "common/sockopt.h"
#include "common/thread.h"
#include "common/warn.h"
#include "quarvel/client_wire.h"
#include "quarvel/launch.h"

namespace {

// Room for the UDP datagram header followed by the whole test header, so that
// writing the header never runs past a short buffer (-l 36 -b ...).
constexpr int kMinBufferBytes = static_cast<int>(kDatagramHeaderBytes + kTestHeaderBytes);

bool is_udp(const thread_Settings *settings) {
    return (settings->option_flags & OPT_UDP) != 0;
}

void copy_out(const SockAddrRequest &req, sockaddr_storage *address, uint32_t *length, bool peer) {
    *address = peer ? req.peer : req.local;
    *length = peer ? req.peer_len : req.local_len;
}

SockAddrRequest address_request(const thread_Settings *settings) {
    SockAddrRequest req;
    req.variant = ToolVariant::kQuarvel;
    req.is_client = settings->thread_mode == kMode_Client;
    req.ipv6 = (settings->option_flags & OPT_IPV6) != 0;
    req.host = settings->host;
    req.local_host = settings->local_host;
    req.port = settings->port;
    req.bind_port = settings->bind_port;
    req.sock = settings->sock;
    return req;
}

}  // namespace

void SetSocketOptions(thread_Settings *settings) {
    SocketOptionRequest req;
    req.variant = ToolVariant::kQuarvel;
    req.sock = settings->sock;
    req.is_client = settings->thread_mode == kMode_Client;
    req.udp = is_udp(settings);
    req.ipv6 = (settings->option_flags & OPT_IPV6) != 0;
    req.multicast = (settings->option_flags & OPT_MULTICAST) != 0;
    req.window_size = settings->window_size;
    req.congestion = (settings->option_flags & OPT_CONGESTION) != 0;
    req.congestion_algo = settings->congestion_algo;
    req.ttl = settings->ttl;
    req.tos = settings->tos;
    req.mss = settings->mss;
    req.nodelay = (settings->option_flags & OPT_NODELAY) != 0;
    if (SetSocketOptions(req) == SockOptResult::kExitProcess) exit(1);
}

Client::Client(thread_Settings *settings) : settings_(settings) {
    gettimeofday(&start_time_, nullptr);
    last_packet_time_ = start_time_;
    const int size = std::max(settings->buf_len, kMinBufferBytes);
    buf_ = static_cast<char *>(malloc(static_cast<size_t>(size)));
    if (!buf_) {
        WARN("Out of Memory!!\n");
        stop();
        return;
    }
    pattern(buf_, size);

    if ((settings->option_flags & OPT_FILE_INPUT) &&
        !Extractor_Open((settings->option_flags & OPT_STDIN) != 0, settings->input_file,
                        settings->buf_len, &input_)) {
        settings->option_flags &= ~OPT_FILE_INPUT;
    }

    Connect();
    if (stopped_) return;
    constructed_ = true;

    if (settings->option_flags & OPT_REPORT_SETTINGS) {
        ReportSettings(settings);
        if (settings->sum_report && !(settings->option_flags & OPT_NO_MCAST_REPORT)) {
            UpdateMultiAddresses(settings);
        }
    }
}

Client::~Client() {
    if (sock_ >= 0 && close(sock_) < 0) WARN_ERRNO("close");
    if (listen_sock_ >= 0) close(listen_sock_);
    Extractor_Destroy(&input_);
    free(buf_);
}

void Client::stop() {
    stopped_ = true;
    // The record goes with the thread; the Client's destructor (run by the
    // unwinding) touches only what the Client owns.
    settings_->sock = -1;
    if (constructed_) thread_stop(settings_);
}

void Client::Connect() {
    thread_Settings *s = settings_;
    if (s->nat_mode && s->client_local_port == 0) {
        printf("Please provide -a (Client Local Port) when using -e or -E option");
        exit(0);
    }

    // The peer: resolved from host; in NAT mode only its family (host is empty).
    SockAddrRequest req = address_request(s);
    SockAddr_remoteAddr(req);
    copy_out(req, &s->peer, &s->peer_len, true);

    const int family = SockAddr_isIPv6(&s->peer) ? AF_INET6 : AF_INET;
    sock_ = socket(family, is_udp(s) ? SOCK_DGRAM : SOCK_STREAM, 0);
    s->sock = sock_;
    if (sock_ < 0) WARN_ERRNO("socket");
    SetSocketOptions(s);
    int one = 1;
    setsockopt(sock_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);

    req = address_request(s);
    SockAddr_localAddr(req);
    copy_out(req, &s->local, &s->local_len, false);
    bool bind_it = s->local_host != nullptr;
    if (!bind_it && s->client_local_port != 0) {
        SockAddr_setPort(&s->local, s->client_local_port);
        bind_it = true;
    }
    if (bind_it && bind(sock_, reinterpret_cast<sockaddr *>(&s->local), s->local_len) < 0) {
        WARN_ERRNO("bind");
    }

    if (s->nat_mode) {
        printf("Waiting for incoming connection\n");
        fflush(stdout);
        nflag_c = 1;
        if (is_udp(s)) {
            // The hello's source is the path the NAT opened for us.
            sockaddr_storage from = {};
            socklen_t from_len = sizeof from;
            const ssize_t got = recvfrom(sock_, s->hello_message, kHelloMessageMax, 0,
                                         reinterpret_cast<sockaddr *>(&from), &from_len);
            if (got < 0) {
                nflag_c = 0;
                WARN_ERRNO("recvfrom");
                stop();
                return;
            }
            s->hello_message_len = static_cast<int32_t>(got);
            s->hello_message[got] = '\0';
            s->peer = from;
            s->peer_len = from_len;
        } else {
            if (listen(sock_, 5) < 0) WARN_ERRNO("listen");
            sockaddr_storage from = {};
            socklen_t from_len = sizeof from;
            const int accepted = accept(sock_, reinterpret_cast<sockaddr *>(&from), &from_len);
            if (accepted < 0) {
                nflag_c = 0;
                WARN_ERRNO("accept");
                // Without the server's connection there is nothing to test over.
                stop();
                return;
            }
            listen_sock_ = sock_;
            sock_ = accepted;
            s->sock = sock_;
        }
        nflag_c = 0;
    }

    if (!(s->nat_mode && !is_udp(s))) {
        if (connect(sock_, reinterpret_cast<sockaddr *>(&s->peer), s->peer_len) < 0) {
            WARN_ERRNO("connect");
            stop();
            return;
        }
    }

    socklen_t len = sizeof s->local;
    getsockname(sock_, reinterpret_cast<sockaddr *>(&s->local), &len);
    s->local_len = len;
    len = sizeof s->peer;
    getpeername(sock_, reinterpret_cast<sockaddr *>(&s->peer), &len);
    s->peer_len = len;
}

void Client::InitiateServer() {
    if (stopped_ || (settings_->option_flags & OPT_COMPAT)) return;
    if (is_udp(settings_)) {
        client_encode_test_header(settings_,
                                  reinterpret_cast<uint8_t *>(buf_) + kDatagramHeaderBytes);
        return;
    }
    client_encode_test_header(settings_, reinterpret_cast<uint8_t *>(buf_));
    if (send(sock_, buf_, kTestHeaderBytes, MSG_NOSIGNAL) < 0) WARN_ERRNO("write1");
}

void client_spawn(thread_Settings *settings) {
    // Counted until the thread leaves, also by thread_stop's unwinding.
    struct StreamCount {
        StreamCount() { client_stream_started(); }
        ~StreamCount() { client_stream_ended(); }
    } counted;
    Client client(settings);
    // Stopped while being built: end the thread now that the Client is whole,
    // so the unwinding runs its destructor.
    if (!client.running()) thread_stop(settings);
    client.InitiateServer();
    client.Run();
}
