// Socket options applied from a settings record, on real loopback sockets.
#include "toril/core/sockopt_settings.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

struct Record {
    thread_Settings *s = new thread_Settings;
    explicit Record(int type) {
        Settings_Initialize(s);
        s->sock = socket(AF_INET, type, 0);
        if (type == SOCK_DGRAM) s->option_flags |= OPT_UDP;
    }
    ~Record() {
        if (s->sock >= 0) close(s->sock);
        Settings_Destroy(s);
    }
};

int int_option(int fd, int level, int name) {
    int value = -1;
    socklen_t len = sizeof value;
    if (getsockopt(fd, level, name, &value, &len) != 0) return -1;
    return value;
}

TEST(SocketOptionRequest, CarriesTheRecordsOptions) {
    Record r(SOCK_STREAM);
    thread_Settings *s = r.s;
    s->thread_mode = kMode_Client;
    s->option_flags |= OPT_IPV6 | OPT_CONGESTION | OPT_NODELAY | OPT_ENHANCED;
    s->test_flags |= TEST_MSS_SET | TEST_FQ_RATE | TEST_LOCAL_ONLY;
    s->extra_flags |= EXT_TOS_OVERRIDE | EXT_RX_WINCLAMP | EXT_WRITE_PREFETCH | EXT_TAP_DEV;
    s->window_size = 4096;
    s->congestion_algo = strdup("reno");
    s->host_device = strdup("eth1");
    s->bind_device = strdup("eth0");
    s->ttl = 9;
    s->tos = 184;
    s->mss = 1200;
    s->rx_window_clamp = 3000;
    s->write_prefetch = 2000;
    s->fq_rate = 125000;
    const SocketOptionRequest req = Settings_SocketOptionRequest(s);
    EXPECT_EQ(req.sock, s->sock);
    EXPECT_TRUE(req.is_client);
    EXPECT_FALSE(req.udp);
    EXPECT_TRUE(req.ipv6);
    EXPECT_FALSE(req.multicast);
    EXPECT_EQ(req.window_size, 4096);
    EXPECT_TRUE(req.congestion);
    EXPECT_STREQ(req.congestion_algo, "reno");
    EXPECT_TRUE(req.tap_dev);
    EXPECT_FALSE(req.tun_variant);
    EXPECT_STREQ(req.host_device, "eth1");
    EXPECT_STREQ(req.bind_device, "eth0");
    EXPECT_EQ(req.ttl, 9);
    EXPECT_EQ(req.tos, 184);
    EXPECT_TRUE(req.tos_override);
    EXPECT_TRUE(req.mss_set);
    EXPECT_EQ(req.mss, 1200);
    EXPECT_TRUE(req.nodelay);
    EXPECT_TRUE(req.enhanced);
    EXPECT_TRUE(req.rx_window_clamp_set);
    EXPECT_EQ(req.rx_window_clamp, 3000);
    EXPECT_TRUE(req.write_prefetch_set);
    EXPECT_EQ(req.write_prefetch, 2000);
    EXPECT_TRUE(req.fq_rate_set);
    EXPECT_EQ(req.fq_rate, 125000u);
    EXPECT_TRUE(req.local_only);
    EXPECT_EQ(req.tuntap_fd, -1);
    // A tap device the record holds open goes along, to be bound again
    // rather than opened a second time.
    s->tuntap_fd = 99;
    EXPECT_EQ(Settings_SocketOptionRequest(s).tuntap_fd, 99);
    s->tuntap_fd = -1;
}

TEST(SetSocketOptions, EnhancedRecordsShowTheSocketsNoDelayState) {
    const struct {
        const char *name;
        uint32_t flags;
        int want_socket;
        bool want_flag;
    } cases[] = {
        {"nodelay asked", OPT_NODELAY | OPT_ENHANCED, 1, true},
        {"enhanced only reads it back", OPT_ENHANCED, 0, false},
    };
    for (const auto &c : cases) {
        Record r(SOCK_STREAM);
        r.s->option_flags |= c.flags;
        EXPECT_EQ(SetSocketOptions(r.s), SockOptResult::kOk) << c.name;
        EXPECT_EQ(int_option(r.s->sock, IPPROTO_TCP, TCP_NODELAY) != 0, c.want_socket != 0)
            << c.name;
        EXPECT_EQ((r.s->option_flags & OPT_NODELAY) != 0, c.want_flag) << c.name;
    }
}

TEST(SetSocketOptions, ServerSizesItsReceiveBufferAndSetsTheTtl) {
    Record r(SOCK_DGRAM);
    r.s->thread_mode = kMode_Listener;
    r.s->window_size = 65536;
    r.s->ttl = 7;
    EXPECT_EQ(SetSocketOptions(r.s), SockOptResult::kOk);
    EXPECT_GE(int_option(r.s->sock, SOL_SOCKET, SO_RCVBUF), 65536);
    EXPECT_EQ(int_option(r.s->sock, IPPROTO_IP, IP_TTL), 7);
}

TEST(SetSocketOptions, RefusedCongestionAlgorithmIsClearedFromTheRecord) {
    Record r(SOCK_STREAM);
    r.s->option_flags |= OPT_CONGESTION;
    r.s->congestion_algo = strdup("no-such-algorithm");
    testing::internal::CaptureStderr();
    EXPECT_EQ(SetSocketOptions(r.s), SockOptResult::kOk);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(r.s->option_flags & OPT_CONGESTION, 0u);
    EXPECT_NE(err.find("Attempt to set 'no-such-algorithm' congestion control failed: "),
              std::string::npos)
        << err;
}

TEST(SetSocketOptions, MulticastUdpGetsHopLimitOne) {
    Record r(SOCK_DGRAM);
    r.s->option_flags |= OPT_MULTICAST;
    EXPECT_EQ(SetSocketOptions(r.s), SockOptResult::kOk);
    EXPECT_EQ(r.s->ttl, 1);
    unsigned char ttl = 0;
    socklen_t len = sizeof ttl;
    ASSERT_EQ(getsockopt(r.s->sock, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, &len), 0);
    EXPECT_EQ(ttl, 1);
}

TEST(SetSocketOptionsDeathTest, MulticastOverTcpEndsTheProcess) {
    EXPECT_EXIT(
        {
            Record r(SOCK_STREAM);
            r.s->option_flags |= OPT_MULTICAST;
            SetSocketOptions(r.s);
        },
        testing::ExitedWithCode(1), "Multicast requires -u option  failed\n");
}

}  // namespace
