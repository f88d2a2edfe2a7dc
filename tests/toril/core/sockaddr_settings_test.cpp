// toril's settings record through the shared socket-address helpers.
#include "toril/core/sockaddr_settings.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct Record {
    thread_Settings *s = new thread_Settings;
    explicit Record(ThreadMode mode) {
        Settings_Initialize(s);
        s->thread_mode = mode;
    }
    ~Record() {
        if (s->sock >= 0) close(s->sock);
        Settings_Destroy(s);
    }
};

std::string text_of(const sockaddr_storage &a) {
    char text[INET6_ADDRSTRLEN];
    return SockAddr_getHostAddress(&a, text, sizeof text) == 0 ? text : "<none>";
}

TEST(SockAddrSettings, RequestCarriesTheRecordsFields) {
    Record r(kMode_Client);
    thread_Settings *s = r.s;
    s->option_flags |= OPT_IPV6;
    s->host = strdup("::1");
    s->local_host = strdup("::1");
    s->port = 5003;
    s->bind_port = 6000;
    s->dstip_index = 1;
    s->srcip_index = 2;
    s->srcport_index = 3;
    s->sock = socket(AF_INET6, SOCK_DGRAM, 0);
    s->bind_device = strdup("eth9");
    const SockAddrRequest req = SockAddr_request(s);
    EXPECT_TRUE(req.is_client);
    EXPECT_TRUE(req.ipv6);
    EXPECT_EQ(req.host, s->host);
    EXPECT_EQ(req.local_host, s->local_host);
    EXPECT_EQ(req.port, 5003);
    EXPECT_EQ(req.bind_port, 6000);
    EXPECT_EQ(req.dstip_incr, 1);
    EXPECT_EQ(req.srcip_incr, 2);
    EXPECT_EQ(req.srcport_incr, 3);
    EXPECT_EQ(req.sock, s->sock);
    EXPECT_TRUE(req.has_ifname);
    EXPECT_EQ(req.variant, ToolVariant::kToril);

    for (ThreadMode mode : {kMode_Server, kMode_Listener, kMode_Unknown}) {
        s->thread_mode = mode;
        EXPECT_FALSE(SockAddr_request(s).is_client) << mode;
    }
}

TEST(SockAddrSettings, ClientPeerIsResolvedIncrementedAndKept) {
    Record r(kMode_Client);
    thread_Settings *s = r.s;
    s->host = strdup("127.0.0.1");
    s->dstip_index = 2;
    SockAddr_remoteAddr(s);
    EXPECT_EQ(text_of(s->peer), "127.0.0.3");
    EXPECT_EQ(SockAddr_getPort(&s->peer), 5001);
    EXPECT_EQ(s->peer_len, 16u);

    // Already set: left as it is (the listener's peer comes from accept).
    s->port = 7000;
    SockAddr_remoteAddr(s);
    EXPECT_EQ(SockAddr_getPort(&s->peer), 5001);
}

TEST(SockAddrSettings, ClientLocalAddressWithBindPort) {
    Record r(kMode_Client);
    thread_Settings *s = r.s;
    s->local_host = strdup("127.0.0.1");
    s->srcip_index = 1;
    s->bind_port = 6000;
    s->srcport_index = 2;
    s->sock = socket(AF_INET, SOCK_DGRAM, 0);
    SockAddr_localAddr(s);
    EXPECT_EQ(text_of(s->local), "127.0.0.2");
    EXPECT_EQ(SockAddr_getPort(&s->local), 6002);
    EXPECT_EQ(s->local_len, 16u);
    int reuse = 0;
    socklen_t len = sizeof reuse;
    ASSERT_EQ(getsockopt(s->sock, SOL_SOCKET, SO_REUSEPORT, &reuse, &len), 0);
    EXPECT_NE(reuse, 0);
}

TEST(SockAddrSettings, ListenerLocalAddressIsTheWildcardOnTheTestPort) {
    Record r(kMode_Listener);
    thread_Settings *s = r.s;
    s->option_flags |= OPT_IPV6;
    s->port = 5010;
    SockAddr_localAddr(s);
    EXPECT_EQ(text_of(s->local), "::");
    EXPECT_EQ(SockAddr_getPort(&s->local), 5010);
    EXPECT_EQ(s->local_len, 28u);
}

TEST(SockAddrSettings, InterfaceNameBecomesTheBindDevice) {
    Record r(kMode_Server);
    thread_Settings *s = r.s;
    s->sock = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(s->sock, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(SockAddr_Ifrname(s), 0);
    ASSERT_NE(s->bind_device, nullptr);
    EXPECT_STREQ(s->bind_device, "lo");

    // A name already known stays.
    free(s->bind_device);
    s->bind_device = strdup("eth9");
    EXPECT_EQ(SockAddr_Ifrname(s), 0);
    EXPECT_STREQ(s->bind_device, "eth9");
}

TEST(SockAddrSettings, NoInterfaceLeavesTheBindDeviceUnset) {
    Record r(kMode_Server);
    thread_Settings *s = r.s;
    s->sock = socket(AF_INET, SOCK_DGRAM, 0);  // unbound: 0.0.0.0 is on no interface
    EXPECT_EQ(SockAddr_Ifrname(s), -1);
    EXPECT_EQ(s->bind_device, nullptr);
}

}  // namespace
