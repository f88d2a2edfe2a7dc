#include "common/sockopt.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <linux/if_tun.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/net.h"

namespace {

// A socket closed at the end of the test.
struct Sock {
    int fd;
    Sock(int family, int type) : fd(socket(family, type, 0)) {}
    ~Sock() {
        if (fd >= 0) close(fd);
    }
};

int get_int(int fd, int level, int opt) {
    int value = -12345;
    socklen_t len = sizeof value;
    EXPECT_EQ(getsockopt(fd, level, opt, &value, &len), 0) << strerror(errno);
    return value;
}

void set_int(int fd, int level, int opt, int value) {
    ASSERT_EQ(setsockopt(fd, level, opt, &value, sizeof value), 0) << strerror(errno);
}

// A connected loopback TCP pair: client, and the server's accepted socket.
struct TcpPair {
    int client = -1, server = -1;
    TcpPair() {
        int listener = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in addr;
        memset(&addr, 0, sizeof addr);
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
            listen(listener, 1) == 0 &&
            getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len) == 0) {
            client = socket(AF_INET, SOCK_STREAM, 0);
            if (connect(client, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) {
                server = accept(listener, nullptr, nullptr);
            }
        }
        close(listener);
    }
    ~TcpPair() {
        if (client >= 0) close(client);
        if (server >= 0) close(server);
    }
};

// ---- single options ----

TEST(WindowSize, SetsTheSideAskedForAndReadsItBack) {
    Sock s(AF_INET, SOCK_STREAM);
    const int default_rcv = getsock_tcp_windowsize(s.fd, false);
    ASSERT_GT(default_rcv, 0);
    EXPECT_EQ(setsock_tcp_windowsize(s.fd, 65536, true), 0);
    EXPECT_EQ(getsock_tcp_windowsize(s.fd, true), 131072);  // the kernel doubles it
    EXPECT_EQ(getsock_tcp_windowsize(s.fd, false), default_rcv);
    EXPECT_EQ(setsock_tcp_windowsize(s.fd, 32768, false), 0);
    EXPECT_EQ(getsock_tcp_windowsize(s.fd, false), 65536);
}

TEST(WindowSize, NothingForZeroOrLessAndMinusOneOnFailure) {
    Sock s(AF_INET, SOCK_DGRAM);
    const int snd = getsock_tcp_windowsize(s.fd, true);
    const int rcv = getsock_tcp_windowsize(s.fd, false);
    EXPECT_EQ(setsock_tcp_windowsize(s.fd, 0, true), 0);
    EXPECT_EQ(setsock_tcp_windowsize(s.fd, -5, false), 0);
    EXPECT_EQ(getsock_tcp_windowsize(s.fd, true), snd);
    EXPECT_EQ(getsock_tcp_windowsize(s.fd, false), rcv);
    testing::internal::CaptureStderr();
    errno = 0;
    EXPECT_EQ(setsock_tcp_windowsize(-1, 4096, true), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(getsock_tcp_windowsize(-1, false), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(Mss, SetOnTcpAndReadBack) {
    Sock s(AF_INET, SOCK_STREAM);
    testing::internal::CaptureStderr();
    setsock_tcp_mss(s.fd, 1000);
    EXPECT_EQ(getsock_tcp_mss(s.fd), 1000);
    setsock_tcp_mss(s.fd, 1200, ToolVariant::kQuarvel);  // read back equal: silent
    EXPECT_EQ(getsock_tcp_mss(s.fd), 1200);
    setsock_tcp_mss(s.fd, 0);
    setsock_tcp_mss(s.fd, -1, ToolVariant::kQuarvel);
    EXPECT_EQ(getsock_tcp_mss(s.fd), 1200);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(Mss, RefusedValueWarnsInEachProgramsWords) {
    Sock s(AF_INET, SOCK_STREAM);
    testing::internal::CaptureStderr();
    setsock_tcp_mss(s.fd, 10);  // below the kernel's minimum
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "WARNING: attempt to set TCP maxmimum segment size to 10 failed\n");
    testing::internal::CaptureStderr();
    setsock_tcp_mss(s.fd, 10, ToolVariant::kQuarvel);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "WARNING: attempt to set TCP maxmimum segment size to 10 failed.\n"
              "Setting the MSS may not be implemented on this OS.\n");
}

TEST(Mss, ReadingFromANonTcpSocketWarns) {
    Sock s(AF_INET, SOCK_DGRAM);
    testing::internal::CaptureStderr();
    EXPECT_EQ(getsock_tcp_mss(s.fd), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              std::string("getsockopt TCP_MAXSEG failed: ") + strerror(EOPNOTSUPP) + "\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(getsock_tcp_windowclamp(s.fd), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              std::string("getsockopt TCP_WINDOW_CLAMP failed: ") + strerror(EOPNOTSUPP) + "\n");
}

TEST(Timeouts, SplitMicrosecondsIntoSecondsAndMicroseconds) {
    Sock s(AF_INET, SOCK_STREAM);
    const struct {
        int32_t us;
        long sec, usec;
    } cases[] = {{1500000, 1, 500000}, {999999, 0, 999999}, {250, 0, 250}, {0, 0, 0},
                 {2000000, 2, 0},      {-1000000, 0, 0}};  // negative seconds: no timeout
    for (const auto &c : cases) {
        ASSERT_EQ(setsock_send_timeout(s.fd, c.us), 0) << c.us;
        ASSERT_EQ(setsock_receive_timeout(s.fd, c.us), 0) << c.us;
        for (int opt : {SO_SNDTIMEO, SO_RCVTIMEO}) {
            struct timeval tv;
            socklen_t len = sizeof tv;
            ASSERT_EQ(getsockopt(s.fd, SOL_SOCKET, opt, &tv, &len), 0);
            // The kernel keeps ticks: what comes back is rounded up to one.
            double got_us = tv.tv_sec * 1e6 + tv.tv_usec;
            EXPECT_GE(got_us, c.sec * 1e6 + c.usec) << c.us;
            EXPECT_LE(got_us, c.sec * 1e6 + c.usec + 10000) << c.us;
        }
    }
}

TEST(Timeouts, FailureWarnsSocket) {
    testing::internal::CaptureStderr();
    SetSocketOptionsSendTimeout(-1, 1000);
    SetSocketOptionsReceiveTimeout(-1, 1000);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "socket failed: Bad file descriptor\nsocket failed: Bad file descriptor\n");
    Sock s(AF_INET, SOCK_DGRAM);
    testing::internal::CaptureStderr();
    SetSocketOptionsReceiveTimeout(s.fd, -5);  // negative microseconds: refused by the kernel
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              std::string("socket failed: ") + strerror(EDOM) + "\n");
    testing::internal::CaptureStderr();
    SetSocketOptionsReceiveTimeout(s.fd, 20000);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(Blocking, TogglesNonBlockingMode) {
    Sock s(AF_INET, SOCK_STREAM);
    EXPECT_TRUE(setsock_blocking(s.fd, false));
    EXPECT_NE(fcntl(s.fd, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_TRUE(setsock_blocking(s.fd, true));
    EXPECT_EQ(fcntl(s.fd, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_FALSE(setsock_blocking(-1, true));
    int closed = socket(AF_INET, SOCK_STREAM, 0);
    close(closed);
    EXPECT_FALSE(setsock_blocking(closed, false));
}

// ---- TCP state sample ----

TEST(TcpInfo, ConnectedSocketGivesAValidSample) {
    TcpPair pair;
    ASSERT_GE(pair.server, 0);
    ASSERT_EQ(write(pair.client, "ping", 4), 4);
    TcpStats stats;
    stats.connect_time_ms = 12.5;
    stats.retry = 7;
    stats.retry_prev = 3;
    gettcpinfo(pair.client, &stats);
    EXPECT_EQ(stats.valid, 1);
    EXPECT_GT(stats.mss, 0u);
    EXPECT_GT(stats.rtt_us, 0u);
    EXPECT_GT(stats.cwnd_kbytes, 0u);
    EXPECT_EQ(stats.retry_tot, 0);
    // The rest is the caller's.
    EXPECT_DOUBLE_EQ(stats.connect_time_ms, 12.5);
    EXPECT_EQ(stats.retry, 7);
    EXPECT_EQ(stats.retry_prev, 3);

    struct tcp_info info;
    socklen_t len = sizeof info;
    ASSERT_EQ(getsockopt(pair.client, IPPROTO_TCP, TCP_INFO, &info, &len), 0);
    EXPECT_EQ(stats.mss, info.tcpi_snd_mss);
    EXPECT_EQ(stats.cwnd_kbytes, (info.tcpi_snd_cwnd * info.tcpi_snd_mss) >> 10);
}

TEST(TcpInfo, UnreadableSocketGivesAnInvalidSampleWithRttOne) {
    Sock udp(AF_INET, SOCK_DGRAM);
    for (int fd : {0, -1, udp.fd}) {
        TcpStats stats;
        stats.valid = 1;
        stats.rtt_us = 500;
        stats.mss = 1448;
        stats.cwnd_kbytes = 10;
        testing::internal::CaptureStderr();
        gettcpinfo(fd, &stats);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(stats.valid, 0) << fd;
        EXPECT_EQ(stats.rtt_us, 1u) << fd;
        EXPECT_EQ(stats.mss, 1448u) << fd;  // nothing else changes
        EXPECT_EQ(stats.cwnd_kbytes, 10u) << fd;
    }
}

TEST(TcpInfo, CopyKeepsTheDestinationsIntervalRetransmits) {
    TcpStats src;
    src.valid = 1;
    src.rtt_us = 250;
    src.connect_time_ms = 0.5;
    src.cwnd_kbytes = 64;
    src.rttvar_us = 30;
    src.retry = 11;
    src.retry_prev = 12;
    src.retry_tot = 13;
    src.mss = 1448;
    TcpStats dst;
    dst.retry = 1;
    dst.retry_prev = 2;
    tcpstats_copy(&dst, &src);
    EXPECT_EQ(dst.valid, 1);
    EXPECT_EQ(dst.rtt_us, 250u);
    EXPECT_DOUBLE_EQ(dst.connect_time_ms, 0.5);
    EXPECT_EQ(dst.cwnd_kbytes, 64u);
    EXPECT_EQ(dst.rttvar_us, 30u);
    EXPECT_EQ(dst.retry_tot, 13);
    EXPECT_EQ(dst.mss, 1448u);
    EXPECT_EQ(dst.retry, 1);
    EXPECT_EQ(dst.retry_prev, 2);
}

// ---- the option sequence ----

SocketOptionRequest request_for(int fd) {
    SocketOptionRequest req;
    req.sock = fd;
    return req;
}

TEST(SetSocketOptions, ZeroWindowLeavesBothBuffersAtTheDefault) {
    Sock fresh(AF_INET, SOCK_STREAM);
    Sock s(AF_INET, SOCK_STREAM);
    SocketOptionRequest req = request_for(s.fd);
    req.is_client = true;
    testing::internal::CaptureStderr();
    EXPECT_EQ(SetSocketOptions(req), SockOptResult::kOk);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(getsock_tcp_windowsize(s.fd, true), getsock_tcp_windowsize(fresh.fd, true));
    EXPECT_EQ(getsock_tcp_windowsize(s.fd, false), getsock_tcp_windowsize(fresh.fd, false));
}

TEST(SetSocketOptions, ClientSizesItsSendBufferOthersTheirReceiveBuffer) {
    for (int type : {SOCK_STREAM, SOCK_DGRAM}) {
        Sock fresh(AF_INET, type);
        Sock client(AF_INET, type);
        Sock server(AF_INET, type);
        SocketOptionRequest c = request_for(client.fd), s = request_for(server.fd);
        c.udp = s.udp = type == SOCK_DGRAM;
        c.is_client = true;
        c.window_size = s.window_size = 50000;
        EXPECT_EQ(SetSocketOptions(c), SockOptResult::kOk);
        EXPECT_EQ(SetSocketOptions(s), SockOptResult::kOk);
        EXPECT_EQ(getsock_tcp_windowsize(client.fd, true), 100000);
        EXPECT_EQ(getsock_tcp_windowsize(client.fd, false),
                  getsock_tcp_windowsize(fresh.fd, false));
        EXPECT_EQ(getsock_tcp_windowsize(server.fd, false), 100000);
        EXPECT_EQ(getsock_tcp_windowsize(server.fd, true), getsock_tcp_windowsize(fresh.fd, true));
    }
}

TEST(SetSocketOptions, CongestionControlByNameOrClearedWhenRefused) {
    Sock s(AF_INET, SOCK_STREAM);
    SocketOptionRequest req = request_for(s.fd);
    req.congestion = true;
    req.congestion_algo = "reno";
    EXPECT_EQ(SetSocketOptions(req), SockOptResult::kOk);
    EXPECT_TRUE(req.congestion);
    char name[16] = {};
    socklen_t len = sizeof name;
    ASSERT_EQ(getsockopt(s.fd, IPPROTO_TCP, TCP_CONGESTION, name, &len), 0);
    EXPECT_STREQ(name, "reno");

    req.congestion_algo = "no-such-algo";
    testing::internal::CaptureStderr();
    EXPECT_EQ(SetSocketOptions(req), SockOptResult::kOk);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              std::string("Attempt to set 'no-such-algo' congestion control failed: ") +
                  strerror(ENOENT) + "\n");
    EXPECT_FALSE(req.congestion);

    // quarvel ends the process instead.
    SocketOptionRequest q = request_for(s.fd);
    q.variant = ToolVariant::kQuarvel;
    q.congestion = true;
    q.congestion_algo = "no-such-algo";
    testing::internal::CaptureStderr();
    EXPECT_EQ(SetSocketOptions(q), SockOptResult::kExitProcess);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              std::string("Attempt to set 'no-such-algo' congestion control failed: ") +
                  strerror(ENOENT) + "\n");
}

TEST(SetSocketOptions, MulticastNeedsUdp) {
    Sock s(AF_INET, SOCK_STREAM);
    SocketOptionRequest req = request_for(s.fd);
    req.multicast = true;
    testing::internal::CaptureStderr();
    EXPECT_EQ(SetSocketOptions(req), SockOptResult::kExitProcess);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Multicast requires -u option  failed\n");
}

TEST(SetSocketOptions, MulticastHopsDefaultToOne) {
    const struct {
        bool ipv6;
        int ttl_in, ttl_out, expected;
    } cases[] = {
        {false, -1, 1, 1},
        {false, 5, 5, 5},
        {true, -1, 1, 1},
        {true, 9, 9, 9},
    };
    for (const auto &c : cases) {
        Sock s(c.ipv6 ? AF_INET6 : AF_INET, SOCK_DGRAM);
        SocketOptionRequest req = request_for(s.fd);
        req.udp = true;
        req.multicast = true;
        req.ipv6 = c.ipv6;
        req.ttl = c.ttl_in;
        testing::internal::CaptureStderr();
        EXPECT_EQ(SetSocketOptions(req), SockOptResult::kOk);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(req.ttl, c.ttl_out);
        if (c.ipv6) {
            EXPECT_EQ(get_int(s.fd, IPPROTO_IPV6, IPV6_MULTICAST_HOPS), c.expected);
        } else {
            unsigned char ttl = 0;
            socklen_t len = sizeof ttl;
            ASSERT_EQ(getsockopt(s.fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, &len), 0);
            EXPECT_EQ(ttl, c.expected);
        }
    }
}

TEST(SetSocketOptions, UnicastTtlOnlyWhenPositive) {
    Sock fresh(AF_INET, SOCK_DGRAM);
    const int default_ttl = get_int(fresh.fd, IPPROTO_IP, IP_TTL);
    for (int ttl : {-1, 0, 7}) {
        Sock s(AF_INET, SOCK_DGRAM);
        SocketOptionRequest req = request_for(s.fd);
        req.udp = true;
        req.ttl = ttl;
        EXPECT_EQ(SetSocketOptions(req), SockOptResult::kOk);
        EXPECT_EQ(req.ttl, ttl);
        EXPECT_EQ(get_int(s.fd, IPPROTO_IP, IP_TTL), ttl > 0 ? ttl : default_ttl);
    }
    Sock s(AF_INET, SOCK_DGRAM);
    SocketOptionRequest req = request_for(s.fd);
    req.ttl = 300;  // beyond what IP_TTL takes
    testing::internal::CaptureStderr();
    SetSocketOptions(req);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              std::string("v4 ttl failed: ") + strerror(EINVAL) + "\n");
}

TEST(SetSocketOptions, TypeOfService) {
    {
        Sock s(AF_INET, SOCK_DGRAM);
        SocketOptionRequest req = request_for(s.fd);
        req.udp = true;
        req.tos = 184;
        testing::internal::CaptureStderr();
        SetSocketOptions(req);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(get_int(s.fd, IPPROTO_IP, IP_TOS), 184);
    }
    {
        // Zero without override leaves the socket alone; with override it is set.
        Sock s(AF_INET, SOCK_DGRAM);
        set_int(s.fd, IPPROTO_IP, IP_TOS, 32);
        SetSocketOptionsIPTos(s.fd, false, false, 0);
        EXPECT_EQ(get_int(s.fd, IPPROTO_IP, IP_TOS), 32);
        SetSocketOptionsIPTos(s.fd, false, true, 0);
        EXPECT_EQ(get_int(s.fd, IPPROTO_IP, IP_TOS), 0);
    }
    {
        // IPv6 takes every value, 0 included.
        Sock s(AF_INET6, SOCK_DGRAM);
        set_int(s.fd, IPPROTO_IPV6, IPV6_TCLASS, 32);
        SetSocketOptionsIPTos(s.fd, true, false, 0);
        EXPECT_EQ(get_int(s.fd, IPPROTO_IPV6, IPV6_TCLASS), 0);
        SetSocketOptionsIPTos(s.fd, true, false, 136);
        EXPECT_EQ(get_int(s.fd, IPPROTO_IPV6, IPV6_TCLASS), 136);
    }
    {
        // A TCP socket keeps the ECN bits to itself: the read-back differs.
        Sock s(AF_INET, SOCK_STREAM);
        testing::internal::CaptureStderr();
        SetSocketOptionsIPTos(s.fd, false, false, 1);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "IP_TOS setting failed failed\n");
    }
    {
        testing::internal::CaptureStderr();
        SetSocketOptionsIPTos(-1, true, false, 8);
        SetSocketOptionsIPTos(-1, false, false, 8);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "setsockopt IPV6_TCLASS failed: Bad file descriptor\n"
                  "setsockopt IP_TOS failed: Bad file descriptor\n");
    }
}

TEST(SetSocketOptions, TcpOptions) {
    Sock s(AF_INET, SOCK_STREAM);
    SocketOptionRequest req = request_for(s.fd);
    req.mss_set = true;
    req.mss = 1100;
    req.nodelay = true;
    req.enhanced = true;
    req.rx_window_clamp_set = true;
    req.rx_window_clamp = 65536;
    req.write_prefetch_set = true;
    req.write_prefetch = 16384;
    req.fq_rate_set = true;
    req.fq_rate = 12500000;
    req.local_only = true;
    testing::internal::CaptureStderr();
    EXPECT_EQ(SetSocketOptions(req), SockOptResult::kOk);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(getsock_tcp_mss(s.fd), 1100);
    EXPECT_EQ(get_int(s.fd, IPPROTO_TCP, TCP_NODELAY), 1);
    EXPECT_TRUE(req.nodelay);
    EXPECT_EQ(getsock_tcp_windowclamp(s.fd), 65536);
    EXPECT_EQ(get_int(s.fd, IPPROTO_TCP, TCP_NOTSENT_LOWAT), 16384);
    uint64_t rate = 0;
    socklen_t len = sizeof rate;
    ASSERT_EQ(getsockopt(s.fd, SOL_SOCKET, SO_MAX_PACING_RATE, &rate, &len), 0);
    EXPECT_EQ(rate, 12500000u);
    EXPECT_EQ(get_int(s.fd, SOL_SOCKET, SO_DONTROUTE), 1);
}

TEST(SetSocketOptions, EnhancedReportsShowTheActualNoDelayState) {
    Sock s(AF_INET, SOCK_STREAM);
    set_int(s.fd, IPPROTO_TCP, TCP_NODELAY, 1);  // already on, not asked for
    SocketOptionRequest req = request_for(s.fd);
    req.enhanced = true;
    SetSocketOptions(req);
    EXPECT_TRUE(req.nodelay);

    Sock plain(AF_INET, SOCK_STREAM);
    SocketOptionRequest off = request_for(plain.fd);
    off.enhanced = true;
    off.nodelay = false;
    SetSocketOptions(off);
    EXPECT_FALSE(off.nodelay);
}

TEST(SetSocketOptions, UdpSkipsTheTcpOptions) {
    Sock s(AF_INET, SOCK_DGRAM);
    SocketOptionRequest req = request_for(s.fd);
    req.udp = true;
    req.mss_set = true;
    req.mss = 1000;
    req.nodelay = true;
    req.enhanced = true;
    req.rx_window_clamp_set = true;
    req.rx_window_clamp = 4096;
    testing::internal::CaptureStderr();
    EXPECT_EQ(SetSocketOptions(req), SockOptResult::kOk);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(req.nodelay);
}

TEST(SetSocketOptions, ZeroPacingRateIsNotSet) {
    Sock s(AF_INET, SOCK_STREAM);
    uint64_t before = 0, after = 0;
    socklen_t len = sizeof before;
    ASSERT_EQ(getsockopt(s.fd, SOL_SOCKET, SO_MAX_PACING_RATE, &before, &len), 0);
    SocketOptionRequest req = request_for(s.fd);
    req.fq_rate_set = true;
    req.fq_rate = 0;
    SetSocketOptions(req);
    ASSERT_EQ(getsockopt(s.fd, SOL_SOCKET, SO_MAX_PACING_RATE, &after, &len), 0);
    EXPECT_EQ(after, before);
}

TEST(SetSocketOptions, FailuresWarnWithTheOptionNameAndGoOn) {
    Sock s(AF_INET, SOCK_DGRAM);  // TCP options on a UDP socket all fail
    SocketOptionRequest req = request_for(s.fd);
    req.nodelay = true;
    req.rx_window_clamp_set = true;
    req.rx_window_clamp = 4096;
    req.write_prefetch_set = true;
    req.write_prefetch = 4096;
    req.local_only = true;
    testing::internal::CaptureStderr();
    EXPECT_EQ(SetSocketOptions(req), SockOptResult::kOk);
    const std::string err = strerror(ENOPROTOOPT);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "setsockopt TCP_NODELAY failed: " + err + "\n" +
                  "setsockopt TCP_WINDOW_CLAMP failed: " + err + "\n" +
                  "setsockopt TCP_NOTSENT_LOWAT failed: " + err + "\n");
    EXPECT_EQ(get_int(s.fd, SOL_SOCKET, SO_DONTROUTE), 1);  // the later step still ran
}

TEST(SetSocketOptions, QuarvelSequence) {
    Sock s(AF_INET, SOCK_STREAM);
    SocketOptionRequest req = request_for(s.fd);
    req.variant = ToolVariant::kQuarvel;
    req.is_client = true;
    req.window_size = 40000;
    req.tos = 1;  // no read-back in quarvel: no warning although TCP drops the ECN bits
    req.mss = 1000;
    req.nodelay = true;
    req.local_only = true;  // not one of quarvel's options
    testing::internal::CaptureStderr();
    EXPECT_EQ(SetSocketOptions(req), SockOptResult::kOk);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(getsock_tcp_windowsize(s.fd, true), 80000);
    EXPECT_EQ(getsock_tcp_mss(s.fd), 1000);
    EXPECT_EQ(get_int(s.fd, IPPROTO_TCP, TCP_NODELAY), 1);
    EXPECT_EQ(get_int(s.fd, SOL_SOCKET, SO_DONTROUTE), 0);

    Sock m(AF_INET, SOCK_DGRAM);
    SocketOptionRequest mc = request_for(m.fd);
    mc.variant = ToolVariant::kQuarvel;
    mc.udp = true;
    mc.multicast = true;
    mc.ttl = -1;  // quarvel sets hops only for a positive value
    EXPECT_EQ(SetSocketOptions(mc), SockOptResult::kOk);
    EXPECT_EQ(mc.ttl, -1);
    mc.ttl = 4;
    mc.sock = -1;
    testing::internal::CaptureStderr();
    SetSocketOptions(mc);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "multicast ttl failed: Bad file descriptor\n");
}

// ---- tap device (root) ----

// Runs fn in a child in a network namespace of its own; returns its exit code
// and what it printed on stderr.
template <typename Fn>
int in_own_netns(Fn fn, std::string *err) {
    int pipefd[2];
    if (pipe(pipefd) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipefd[1], 2);
        close(pipefd[0]);
        if (unshare(CLONE_NEWNET) != 0) _exit(100);
        _exit(fn());
    }
    close(pipefd[1]);
    char buf[512];
    ssize_t n;
    while ((n = read(pipefd[0], buf, sizeof buf)) > 0) err->append(buf, static_cast<size_t>(n));
    close(pipefd[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(SetSocketOptions, TapDeviceIsCreatedAndBound) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to create a tap device";
    if (access("/dev/net/tun", R_OK | W_OK) != 0) GTEST_SKIP() << "no /dev/net/tun";
    std::string err;
    int rc = in_own_netns(
        [] {
            int sock = socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ALL));
            if (sock < 0) return 1;
            SocketOptionRequest req;
            req.sock = sock;
            req.tap_dev = true;
            if (SetSocketOptions(req) != SockOptResult::kOk) return 2;
            if (req.tuntap_fd < 0) return 3;
            // The kernel names the first tap of a fresh namespace.
            if (std::string(req.tap_name) != "tap0") return 4;
            if (if_nametoindex(req.tap_name) == 0) return 5;
            // A named device, taken from the client's device name.
            int sock2 = socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ALL));
            SocketOptionRequest named;
            named.sock = sock2;
            named.tap_dev = true;
            named.is_client = true;
            named.host_device = "c1tap0";
            named.bind_device = "wrong0";
            if (SetSocketOptions(named) != SockOptResult::kOk) return 6;
            if (named.tap_name[0] != '\0') return 7;
            if (if_nametoindex("c1tap0") == 0) return 8;
            return 0;
        },
        &err);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(err, "");
}

bool device_up(const char *name) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct ifreq ifr;
    memset(&ifr, 0, sizeof ifr);
    memcpy(ifr.ifr_name, name, strnlen(name, IFNAMSIZ - 1));
    const bool up = ioctl(fd, SIOCGIFFLAGS, &ifr) == 0 && (ifr.ifr_flags & IFF_UP);
    close(fd);
    return up;
}

int bound_index(int sock) {
    sockaddr_ll ll{};
    socklen_t len = sizeof ll;
    if (getsockname(sock, reinterpret_cast<sockaddr *>(&ll), &len) != 0) return -1;
    return ll.sll_ifindex;
}

// A device the request makes is brought up; one somebody else made keeps
// its state; a device already held open is bound again without a second
// attach, which the kernel would refuse.
TEST(SetSocketOptions, TapDeviceIsUpAndReusedWhileHeldOpen) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to create a tap device";
    if (access("/dev/net/tun", R_OK | W_OK) != 0) GTEST_SKIP() << "no /dev/net/tun";
    std::string err;
    int rc = in_own_netns(
        [] {
            SocketOptionRequest made;
            made.sock = socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ALL));
            made.tap_dev = true;
            if (SetSocketOptions(made) != SockOptResult::kOk) return 1;
            if (!device_up(made.tap_name)) return 2;
            SocketOptionRequest again;
            again.sock = socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ALL));
            again.tap_dev = true;
            again.bind_device = made.tap_name;
            again.tuntap_fd = made.tuntap_fd;
            if (SetSocketOptions(again) != SockOptResult::kOk) return 3;
            if (again.tuntap_fd != made.tuntap_fd) return 4;
            if (bound_index(again.sock) != static_cast<int>(if_nametoindex(made.tap_name)))
                return 5;
            // A persistent device left down by whoever made it.
            const int keep = open("/dev/net/tun", O_RDWR);
            struct ifreq ifr;
            memset(&ifr, 0, sizeof ifr);
            memcpy(ifr.ifr_name, "keep0", 5);
            ifr.ifr_flags = IFF_TAP | IFF_NO_PI;
            if (ioctl(keep, TUNSETIFF, &ifr) != 0 || ioctl(keep, TUNSETPERSIST, 1) != 0) return 6;
            close(keep);
            SocketOptionRequest theirs;
            theirs.sock = socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ALL));
            theirs.tap_dev = true;
            theirs.bind_device = "keep0";
            if (SetSocketOptions(theirs) != SockOptResult::kOk) return 7;
            if (device_up("keep0")) return 8;
            return 0;
        },
        &err);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(err, "");
}

TEST(SetSocketOptions, TapDeviceFailuresStopTheThread) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to create a tap device";
    if (access("/dev/net/tun", R_OK | W_OK) != 0) GTEST_SKIP() << "no /dev/net/tun";
    std::string err;
    int rc = in_own_netns(
        [] {
            // The name of an existing device that is no tap: refused.
            SocketOptionRequest lo;
            lo.sock = socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ALL));
            lo.tap_dev = true;
            lo.bind_device = "lo";
            if (SetSocketOptions(lo) != SockOptResult::kStopThread) return 1;
            if (lo.tuntap_fd < 0) return 2;  // left open for the caller to close
            // A socket that cannot bind to a link-layer address.
            SocketOptionRequest udp;
            udp.sock = socket(AF_INET, SOCK_DGRAM, 0);
            udp.tap_dev = true;
            if (SetSocketOptions(udp) != SockOptResult::kStopThread) return 3;
            return 0;
        },
        &err);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(err, std::string("tunsetiff failed: ") + strerror(EINVAL) + "\n" +
                       "tap bind failed: " + strerror(EAFNOSUPPORT) + "\n");
}

}  // namespace
