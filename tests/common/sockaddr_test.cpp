#include "common/sockaddr.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <netdb.h>
#include <poll.h>
#include <sched.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

sockaddr_storage make_addr(const char *text, uint16_t port = 0) {
    sockaddr_storage a;
    memset(&a, 0, sizeof a);
    auto *v4 = reinterpret_cast<sockaddr_in *>(&a);
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(&a);
    if (inet_pton(AF_INET, text, &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
    } else if (inet_pton(AF_INET6, text, &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
    } else {
        ADD_FAILURE() << "bad address in test: " << text;
    }
    return a;
}

sockaddr_storage with_family(sa_family_t family) {
    sockaddr_storage a;
    memset(&a, 0, sizeof a);
    a.ss_family = family;
    return a;
}

std::string text_of(const sockaddr_storage &a) {
    char text[INET6_ADDRSTRLEN];
    if (SockAddr_getHostAddress(&a, text, sizeof text) != 0) return "<none>";
    return text;
}

// A socket closed at the end of the test.
struct Sock {
    int fd;
    Sock(int family, int type) : fd(socket(family, type, 0)) {}
    ~Sock() {
        if (fd >= 0) close(fd);
    }
};

bool bind_to(int fd, const sockaddr_storage &a) {
    return bind(fd, reinterpret_cast<const sockaddr *>(&a), SockAddr_get_sizeof_sockaddr(&a)) == 0;
}

// What a child process ended with: exit status (or 128 + signal) and its stderr.
struct ChildResult {
    int status = -1;
    std::string err;
};

constexpr int kNoIsolation = 77;  // the child could not get a namespace of its own

// Runs body in a child inside a network namespace of its own: only a loopback
// device that is down, so no name lookup can leave the machine and every
// lookup of a name fails. The namespace goes away with the child. Bounded by
// a 20 s limit, after which the child is killed.
ChildResult run_isolated(const std::function<void()> &body) {
    ChildResult result;
    int pipefd[2];
    if (pipe(pipefd) != 0) return result;
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        close(pipefd[0]);
        dup2(pipefd[1], STDERR_FILENO);
        if (unshare(CLONE_NEWNET) != 0 && unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
            _exit(kNoIsolation);
        }
        body();
        fflush(nullptr);
        _exit(0);
    }
    close(pipefd[1]);
    if (pid < 0) {
        close(pipefd[0]);
        return result;
    }
    char buf[512];
    for (int waited_ms = 0; waited_ms < 20000;) {
        pollfd p = {pipefd[0], POLLIN, 0};
        const int ready = poll(&p, 1, 100);
        if (ready == 0) {
            waited_ms += 100;
            continue;
        }
        const ssize_t n = read(pipefd[0], buf, sizeof buf);
        if (n <= 0) break;
        result.err.append(buf, static_cast<size_t>(n));
    }
    close(pipefd[0]);
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

#define SKIP_WITHOUT_ISOLATION(result)                                                     \
    if ((result).status == kNoIsolation) {                                                 \
        GTEST_SKIP() << "cannot create a network namespace of the test's own (needs root " \
                        "or user namespaces)";                                             \
    }

// --- Address arithmetic ---

TEST(SockAddrIncr, AddsToTheLastWordAndWrapsWithinTheLastOctet) {
    struct Case {
        const char *from;
        int n;
        const char *to;
    };
    const Case cases[] = {
        {"10.0.0.1", 1, "10.0.0.2"},
        {"10.0.0.1", 0, "10.0.0.1"},
        {"10.0.0.254", 1, "10.0.0.255"},
        {"10.0.0.255", 1, "10.0.0.0"},  // wraps, no carry
        {"10.0.0.250", 10, "10.0.0.4"},
        {"10.0.0.1", 255, "10.0.0.0"},
        {"10.0.0.1", 256, "10.0.1.1"},
        {"192.168.3.7", 0x10000, "192.169.3.7"},
        {"10.0.255.1", 256, "10.0.0.2"},  // the sum runs in host order: carry to the right
        {"fd00::1", 1, "fd00::2"},
        {"fd00::ff", 1, "fd00::"},  // wraps within the last octet
        {"fd00::1:2:3:4", 2, "fd00::1:2:3:6"},
        {"fd00::1:2:3:4", 0x100, "fd00::1:2:3:104"},
        {"fd00:1:2:3:4:5:6:7", 1, "fd00:1:2:3:4:5:6:8"},
    };
    for (const Case &c : cases) {
        sockaddr_storage a = make_addr(c.from, 5001);
        SockAddr_incrAddress(&a, c.n);
        EXPECT_EQ(text_of(a), c.to) << c.from << " + " << c.n;
        EXPECT_EQ(SockAddr_getPort(&a), 5001) << c.from;
    }
}

TEST(SockAddrIncr, OtherFamiliesAreLeftAlone) {
    for (sa_family_t family : {sa_family_t{AF_UNSPEC}, sa_family_t{AF_UNIX}, sa_family_t{AF_PACKET},
                               sa_family_t{0xffff}}) {
        sockaddr_storage a = with_family(family);
        memset(reinterpret_cast<char *>(&a) + sizeof a.ss_family, 0x5a,
               sizeof a - sizeof a.ss_family);
        const sockaddr_storage before = a;
        SockAddr_incrAddress(&a, 1);
        SockAddr_setPort(&a, 80);
        SockAddr_setAddressAny(&a);
        EXPECT_EQ(memcmp(&a, &before, sizeof a), 0) << family;
        EXPECT_EQ(SockAddr_getPort(&a), 0) << family;
    }
}

TEST(SockAddrPort, HostOrderInAndOutNetworkOrderInside) {
    for (const char *text : {"10.1.2.3", "fd00::7"}) {
        sockaddr_storage a = make_addr(text);
        SockAddr_setPort(&a, 0x1389);
        EXPECT_EQ(SockAddr_getPort(&a), 0x1389) << text;
        const uint8_t *raw = reinterpret_cast<const uint8_t *>(&a) + 2;  // port of both forms
        EXPECT_EQ(raw[0], 0x13) << text;
        EXPECT_EQ(raw[1], 0x89) << text;
        SockAddr_setPort(&a, 65535);
        EXPECT_EQ(SockAddr_getPort(&a), 65535) << text;
        SockAddr_setPortAny(&a);
        EXPECT_EQ(SockAddr_getPort(&a), 0) << text;
        EXPECT_EQ(text_of(a), text);
    }
}

TEST(SockAddrAny, WildcardKeepsFamilyAndPort) {
    sockaddr_storage v4 = make_addr("10.1.2.3", 7);
    SockAddr_setAddressAny(&v4);
    EXPECT_EQ(text_of(v4), "0.0.0.0");
    EXPECT_EQ(SockAddr_getPort(&v4), 7);
    sockaddr_storage v6 = make_addr("fd00::7", 8);
    SockAddr_setAddressAny(&v6);
    EXPECT_EQ(text_of(v6), "::");
    EXPECT_EQ(SockAddr_getPort(&v6), 8);
}

// --- Classification ---

TEST(SockAddrClassify, Table) {
    struct Case {
        const char *text;
        bool ipv6, multicast, linklocal;
    };
    const Case cases[] = {
        {"239.1.1.1", false, true, false},
        {"250.0.0.1", false, true, false},
        {"224.0.0.0", false, true, false},
        {"255.255.255.255", false, true, false},
        {"223.255.255.255", false, false, false},
        {"127.0.0.1", false, false, false},
        {"169.254.1.1", false, false, false},  // IPv4 is never link-local
        {"ff02::1", true, true, false},
        {"ff00::", true, true, false},
        {"ffff:ffff::", true, true, false},
        {"feff::1", true, false, false},
        {"fe80::1", true, false, true},
        {"febf:ffff::1", true, false, true},
        {"fec0::1", true, false, false},
        {"fe7f::1", true, false, false},
        {"::1", true, false, false},
        {"::ffff:239.1.1.1", true, false, false},  // mapped: the IPv6 rules apply
    };
    for (const Case &c : cases) {
        const sockaddr_storage a = make_addr(c.text);
        EXPECT_EQ(SockAddr_isIPv6(&a), c.ipv6) << c.text;
        EXPECT_EQ(SockAddr_isMulticast(&a), c.multicast) << c.text;
        EXPECT_EQ(SockAddr_isLinklocal(&a), c.linklocal) << c.text;
        EXPECT_EQ(SockAddr_get_sizeof_sockaddr(&a), c.ipv6 ? 28u : 16u) << c.text;
    }
}

TEST(SockAddrClassify, UnknownFamiliesAreNothing) {
    for (sa_family_t family : {sa_family_t{AF_UNSPEC}, sa_family_t{AF_UNIX}, sa_family_t{0xffff}}) {
        sockaddr_storage a = with_family(family);
        memset(reinterpret_cast<char *>(&a) + sizeof a.ss_family, 0xff,
               sizeof a - sizeof a.ss_family);
        EXPECT_FALSE(SockAddr_isIPv6(&a));
        EXPECT_FALSE(SockAddr_isMulticast(&a));
        EXPECT_FALSE(SockAddr_isLinklocal(&a));
        EXPECT_EQ(SockAddr_get_sizeof_sockaddr(&a), 16u);
    }
}

TEST(SockAddrZero, AllBytesCount) {
    sockaddr_storage a;
    memset(&a, 0x77, sizeof a);
    SockAddr_zeroAddress(&a);
    const sockaddr_storage zero = {};
    EXPECT_EQ(memcmp(&a, &zero, sizeof a), 0);
    EXPECT_EQ(SockAddr_isZeroAddress(&a), 0);
    for (size_t at : {size_t{0}, size_t{2}, sizeof a - 1}) {
        SockAddr_zeroAddress(&a);
        reinterpret_cast<uint8_t *>(&a)[at] = 1;
        EXPECT_NE(SockAddr_isZeroAddress(&a), 0) << "byte " << at;
    }
}

// --- Equality ---

TEST(SockAddrEqual, FamilyAddressAndPort) {
    struct Case {
        sockaddr_storage a, b;
        bool equal, host_equal;
    };
    sockaddr_storage mapped_port = make_addr("::ffff:10.0.0.1", 5001);
    sockaddr_storage scoped = make_addr("fe80::1", 5001);
    reinterpret_cast<sockaddr_in6 *>(&scoped)->sin6_scope_id = 3;  // the scope is not compared
    const Case cases[] = {
        {make_addr("10.0.0.1", 5001), make_addr("10.0.0.1", 5001), true, true},
        {make_addr("10.0.0.1", 5001), make_addr("10.0.0.1", 5002), false, true},
        {make_addr("10.0.0.1", 5001), make_addr("10.0.0.2", 5001), false, false},
        {make_addr("fd00::1", 5001), make_addr("fd00::1", 5001), true, true},
        {make_addr("fd00::1", 5001), make_addr("fd00::1", 1), false, true},
        {make_addr("fd00::1", 5001), make_addr("fd00::2", 5001), false, false},
        {make_addr("fe80::1", 5001), scoped, true, true},
        {make_addr("10.0.0.1", 5001), mapped_port, false, false},  // families differ
        {with_family(AF_UNSPEC), with_family(AF_UNSPEC), false, false},
        {with_family(AF_UNIX), with_family(AF_UNIX), false, false},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        const Case &c = cases[i];
        EXPECT_EQ(SockAddr_are_Equal(&c.a, &c.b), c.equal) << "case " << i;
        EXPECT_EQ(SockAddr_are_Equal(&c.b, &c.a), c.equal) << "case " << i;
        EXPECT_EQ(SockAddr_Hostare_Equal(&c.a, &c.b), c.host_equal) << "case " << i;
    }
}

// --- Accessors ---

TEST(SockAddrAccess, RightFamilyGivesTheAddressInside) {
    sockaddr_storage v4 = make_addr("10.1.2.3");
    in_addr *in = SockAddr_get_in_addr(&v4);
    ASSERT_EQ(reinterpret_cast<void *>(in),
              reinterpret_cast<void *>(&reinterpret_cast<sockaddr_in *>(&v4)->sin_addr));
    EXPECT_EQ(ntohl(in->s_addr), 0x0a010203u);
    sockaddr_storage v6 = make_addr("fd00::9");
    const in6_addr *in6 = SockAddr_get_in6_addr(static_cast<const sockaddr_storage *>(&v6));
    ASSERT_NE(in6, nullptr);
    EXPECT_EQ(in6->s6_addr[15], 9);
}

TEST(SockAddrAccess, WrongFamilyPrintsFatalAndGivesNothing) {
    for (sa_family_t family : {AF_INET6, AF_UNSPEC, AF_UNIX}) {
        sockaddr_storage a = with_family(family);
        testing::internal::CaptureStderr();
        EXPECT_EQ(SockAddr_get_in_addr(&a), nullptr);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "FATAL: get_in_addr called on IPv6 address\n");
    }
    for (sa_family_t family : {AF_INET, AF_UNSPEC, AF_UNIX}) {
        const sockaddr_storage a = with_family(family);
        testing::internal::CaptureStderr();
        EXPECT_EQ(SockAddr_get_in6_addr(&a), nullptr);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "FATAL: get_in6_addr called on IPv4 address\n");
    }
}

TEST(SockAddrText, HostAddressOfEachFamily) {
    char text[INET6_ADDRSTRLEN];
    sockaddr_storage v4 = make_addr("192.168.1.23", 9);
    ASSERT_EQ(SockAddr_getHostAddress(&v4, text, sizeof text), 0);
    EXPECT_STREQ(text, "192.168.1.23");
    sockaddr_storage v6 = make_addr("fd00::1:2", 9);
    ASSERT_EQ(SockAddr_getHostAddress(&v6, text, sizeof text), 0);
    EXPECT_STREQ(text, "fd00::1:2");

    memset(text, 'x', sizeof text);
    EXPECT_EQ(SockAddr_getHostAddress(&v4, text, 12), -1);  // needs 13 bytes
    EXPECT_STREQ(text, "");
    memset(text, 'x', sizeof text);
    sockaddr_storage other = with_family(AF_UNIX);
    EXPECT_EQ(SockAddr_getHostAddress(&other, text, sizeof text), -1);
    EXPECT_STREQ(text, "");
}

// --- Hide-ips ---

TEST(SockAddrHide, ThreeAsterisksAndTheLastOctet) {
    struct Case {
        const char *address;
        const char *hidden;
    };
    const Case cases[] = {
        {"192.168.1.23", "*.*.*.23"},
        {"10.0.0.255", "*.*.*.255"},
        {"0.0.0.0", "*.*.*.0"},
    };
    for (const Case &c : cases) {
        in_addr in;
        ASSERT_EQ(inet_pton(AF_INET, c.address, &in), 1);
        char buf[32];
        EXPECT_STREQ(inet_ntop_hide(AF_INET, &in, buf, sizeof buf), c.hidden);
        EXPECT_STREQ(buf, c.hidden);
        const auto *bytes = reinterpret_cast<const unsigned char *>(&in);
        EXPECT_STREQ(inet_ntop4_hide(bytes, buf, sizeof buf), c.hidden);
    }
}

TEST(SockAddrHide, CopiedOnlyWhenItFits) {
    in_addr in;
    ASSERT_EQ(inet_pton(AF_INET, "192.168.1.23", &in), 1);
    const auto *bytes = reinterpret_cast<const unsigned char *>(&in);
    char buf[16];
    // "*.*.*.23" is 8 characters: 9 bytes are enough, 8 are not.
    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(inet_ntop4_hide(bytes, buf, 9), buf);
    EXPECT_STREQ(buf, "*.*.*.23");
    for (socklen_t size : {8u, 1u, 0u}) {
        memset(buf, 'x', sizeof buf);
        errno = 0;
        EXPECT_EQ(inet_ntop4_hide(bytes, buf, size), nullptr) << size;
        EXPECT_EQ(errno, ENOSPC);
        EXPECT_EQ(buf[0], 'x') << "untouched, size " << size;
    }
}

TEST(SockAddrHide, OtherFamiliesGiveNothing) {
    in6_addr in6 = IN6ADDR_LOOPBACK_INIT;
    char buf[64];
    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(inet_ntop_hide(AF_INET6, &in6, buf, sizeof buf), nullptr);
    EXPECT_EQ(errno, EAFNOSUPPORT);
    EXPECT_EQ(inet_ntop_hide(AF_UNSPEC, &in6, buf, sizeof buf), nullptr);
    EXPECT_EQ(buf[0], 'x');
}

// --- Resolution ---

struct ResolveCase {
    ToolVariant variant;
    const char *host;
    bool ipv6;
    const char *expect;  // text of the result; nullptr: left as it was
};

TEST(SockAddrResolve, LoopbackNamesAndAddresses) {
    // Only names the hosts file or the text itself answers: nothing leaves the machine.
    const ResolveCase cases[] = {
        {ToolVariant::kToril, "127.0.0.1", false, "127.0.0.1"},
        {ToolVariant::kToril, "::1", true, "::1"},
        {ToolVariant::kToril, "::1", false, "::1"},  // second lookup, AF_INET6
        {ToolVariant::kToril, "localhost", false, "127.0.0.1"},
        {ToolVariant::kQuarvel, "127.0.0.1", false, "127.0.0.1"},
        {ToolVariant::kQuarvel, "127.0.0.1", true, "127.0.0.1"},  // no IPv6 result: IPv4
        {ToolVariant::kQuarvel, "::1", true, "::1"},
        {ToolVariant::kQuarvel, "::1", false, nullptr},  // no IPv4 result
        {ToolVariant::kQuarvel, "localhost", false, "127.0.0.1"},
    };
    for (const ResolveCase &c : cases) {
        const char *who = c.variant == ToolVariant::kToril ? "toril " : "quarvel ";
        sockaddr_storage a;
        memset(&a, 0xab, sizeof a);
        const sockaddr_storage before = a;
        SockAddr_setHostname(c.host, &a, c.ipv6, c.variant);
        if (!c.expect) {
            EXPECT_EQ(memcmp(&a, &before, sizeof a), 0) << who << c.host;
            continue;
        }
        EXPECT_EQ(text_of(a), c.expect) << who << c.host << " ipv6 " << c.ipv6;
        EXPECT_EQ(SockAddr_getPort(&a), 0) << who << c.host;
        // Nothing of the old contents survives past the address proper.
        const size_t used = SockAddr_get_sizeof_sockaddr(&a);
        const uint8_t *bytes = reinterpret_cast<const uint8_t *>(&a);
        for (size_t i = used; i < sizeof a; ++i) {
            ASSERT_EQ(bytes[i], 0) << who << c.host << " byte " << i;
        }
    }
}

TEST(SockAddrResolve, FailuresPrintTheirTextAndExitOne) {
    // Without a reachable resolver a lookup fails as a temporary failure.
    struct Case {
        ToolVariant variant;
        bool ipv6;
        std::string texts[2];  // either is right
    };
    const std::string host = "no-such-host.invalid";
    const Case cases[] = {
        {ToolVariant::kToril,
         true,
         {"ERROR: failed to find an ip address for host '" + host + "'\n", ""}},
        {ToolVariant::kToril,
         false,
         {host + ": Host name lookup failure\n", host + ": Unknown host\n"}},
        {ToolVariant::kQuarvel,
         false,
         {std::string("error: ") + gai_strerror(EAI_AGAIN) + "\n",
          std::string("error: ") + gai_strerror(EAI_NONAME) + "\n"}},
    };
    for (const Case &c : cases) {
        const ChildResult r = run_isolated([&] {
            sockaddr_storage a;
            SockAddr_setHostname(host.c_str(), &a, c.ipv6, c.variant);
            fprintf(stderr, "resolved\n");
        });
        SKIP_WITHOUT_ISOLATION(r);
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_TRUE(r.err == c.texts[0] || r.err == c.texts[1]) << r.err;
    }
}

// --- Settings-driven fills ---

SockAddrRequest request(ToolVariant variant, bool is_client) {
    SockAddrRequest req;
    req.variant = variant;
    req.is_client = is_client;
    req.port = 5001;
    return req;
}

TEST(SockAddrRemote, WithoutHostOnlyFamilyAndPort) {
    for (ToolVariant variant : {ToolVariant::kToril, ToolVariant::kQuarvel}) {
        for (bool ipv6 : {false, true}) {
            SockAddrRequest req = request(variant, true);
            req.ipv6 = ipv6;
            SockAddr_remoteAddr(req);
            EXPECT_EQ(req.peer.ss_family, ipv6 ? AF_INET6 : AF_INET);
            EXPECT_EQ(req.peer_len, ipv6 ? 28u : 16u);
            EXPECT_EQ(SockAddr_getPort(&req.peer), 5001);
            EXPECT_EQ(text_of(req.peer), ipv6 ? "::" : "0.0.0.0");
        }
    }
}

TEST(SockAddrRemote, HostResolvedAndIncremented) {
    struct Case {
        ToolVariant variant;
        const char *host;
        bool ipv6;
        int incr;
        const char *expect;
        uint32_t len;
    };
    const Case cases[] = {
        {ToolVariant::kToril, "127.0.0.1", false, 0, "127.0.0.1", 16},
        {ToolVariant::kToril, "127.0.0.1", false, 2, "127.0.0.3", 16},
        {ToolVariant::kToril, "127.0.0.255", false, 1, "127.0.0.0", 16},
        {ToolVariant::kToril, "::1", true, 3, "::4", 28},
        {ToolVariant::kToril, "::1", false, 0, "::1", 28},  // length follows the family
        {ToolVariant::kQuarvel, "127.0.0.1", false, 2, "127.0.0.1", 16},  // no increment
        {ToolVariant::kQuarvel, "::1", true, 0, "::1", 28},
    };
    for (const Case &c : cases) {
        SockAddrRequest req = request(c.variant, true);
        req.host = c.host;
        req.ipv6 = c.ipv6;
        req.dstip_incr = c.incr;
        SockAddr_remoteAddr(req);
        EXPECT_EQ(text_of(req.peer), c.expect) << c.host << " + " << c.incr;
        EXPECT_EQ(req.peer_len, c.len) << c.host;
        EXPECT_EQ(SockAddr_getPort(&req.peer), 5001) << c.host;
    }
}

TEST(SockAddrRemote, TorilKeepsAPeerAlreadySetQuarvelRenewsIt) {
    SockAddrRequest req = request(ToolVariant::kToril, true);
    req.host = "127.0.0.1";
    req.peer = make_addr("127.0.0.9", 7);
    req.peer_len = 16;
    SockAddr_remoteAddr(req);
    EXPECT_EQ(text_of(req.peer), "127.0.0.9");
    EXPECT_EQ(SockAddr_getPort(&req.peer), 7);

    req.variant = ToolVariant::kQuarvel;
    SockAddr_remoteAddr(req);
    EXPECT_EQ(text_of(req.peer), "127.0.0.1");
    EXPECT_EQ(SockAddr_getPort(&req.peer), 5001);
}

int reuseport(int fd) {
    int value = -1;
    socklen_t len = sizeof value;
    EXPECT_EQ(getsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &value, &len), 0);
    return value;
}

TEST(SockAddrLocal, PortByRoleAndBindPort) {
    struct Case {
        ToolVariant variant;
        bool is_client;
        uint16_t bind_port;
        int srcport_incr;
        uint16_t expect_port;
        bool expect_reuse;
    };
    const Case cases[] = {
        {ToolVariant::kToril, false, 0, 0, 5001, false},  // other roles: test port
        {ToolVariant::kToril, false, 6000, 2, 5001, false},
        {ToolVariant::kToril, true, 0, 0, 0, false},       // client: any port
        {ToolVariant::kToril, true, 6000, 0, 6000, true},  // bind port, shared
        {ToolVariant::kToril, true, 6000, 3, 6003, true},
        {ToolVariant::kToril, true, 65535, 1, 0, true},  // 16-bit port arithmetic
        {ToolVariant::kQuarvel, false, 6000, 0, 5001, false},
        {ToolVariant::kQuarvel, true, 0, 0, 0, false},
        {ToolVariant::kQuarvel, true, 6000, 3, 6000, false},  // no increment, no reuse
    };
    for (const Case &c : cases) {
        Sock s(AF_INET, SOCK_DGRAM);
        SockAddrRequest req = request(c.variant, c.is_client);
        req.sock = s.fd;
        req.bind_port = c.bind_port;
        req.srcport_incr = c.srcport_incr;
        memset(&req.local, 0x66, sizeof req.local);
        SockAddr_localAddr(req);
        EXPECT_EQ(req.local.ss_family, AF_INET);
        EXPECT_EQ(req.local_len, 16u);
        EXPECT_EQ(text_of(req.local), "0.0.0.0");
        EXPECT_EQ(SockAddr_getPort(&req.local), c.expect_port)
            << "client " << c.is_client << " bind port " << c.bind_port;
        EXPECT_EQ(reuseport(s.fd) != 0, c.expect_reuse) << "bind port " << c.bind_port;
        const uint8_t *bytes = reinterpret_cast<const uint8_t *>(&req.local);
        for (size_t i = 16; i < sizeof req.local; ++i) ASSERT_EQ(bytes[i], 0) << i;
    }
}

TEST(SockAddrLocal, BindHostResolvedAndIncremented) {
    struct Case {
        ToolVariant variant;
        const char *local_host;
        bool ipv6;
        int incr;
        const char *expect;
        uint32_t len;
    };
    const Case cases[] = {
        {ToolVariant::kToril, nullptr, true, 1, "::", 28},
        {ToolVariant::kToril, "", false, 1, "0.0.0.0", 16},
        {ToolVariant::kToril, "127.0.0.1", false, 0, "127.0.0.1", 16},
        {ToolVariant::kToril, "127.0.0.1", false, 4, "127.0.0.5", 16},
        {ToolVariant::kToril, "::1", true, 1, "::2", 28},
        {ToolVariant::kQuarvel, "127.0.0.1", false, 4, "127.0.0.1", 16},
        {ToolVariant::kQuarvel, nullptr, true, 0, "::", 28},
    };
    for (const Case &c : cases) {
        SockAddrRequest req = request(c.variant, false);
        req.local_host = c.local_host;
        req.ipv6 = c.ipv6;
        req.srcip_incr = c.incr;
        SockAddr_localAddr(req);
        EXPECT_EQ(text_of(req.local), c.expect) << (c.local_host ? c.local_host : "(none)");
        EXPECT_EQ(req.local_len, c.len);
        EXPECT_EQ(SockAddr_getPort(&req.local), 5001);
    }
}

TEST(SockAddrLocal, ClientWithoutSocketStillGetsItsPort) {
    SockAddrRequest req = request(ToolVariant::kToril, true);
    req.bind_port = 6000;
    testing::internal::CaptureStderr();
    SockAddr_localAddr(req);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(SockAddr_getPort(&req.local), 6000);
}

// --- Interface names ---

TEST(SockAddrIfrname, LoopbackSocketsAreOnLo) {
    struct Case {
        int family;
        const char *bind_text;
        bool is_client;
        int rc;
        const char *name;
    };
    const Case cases[] = {
        {AF_INET, "127.0.0.1", true, 0, "lo"},
        {AF_INET, "127.0.0.1", false, 0, "lo"},
        {AF_INET6, "::1", false, 0, "lo"},
        {AF_INET6, "::1", true, 0, "lo"},
        {AF_INET6, "::ffff:127.0.0.1", false, 0, "lo"},  // a server on a mapped address
        {AF_INET6, "::ffff:127.0.0.1", true, -1, ""},    // a client has no such rule
        {AF_INET, "0.0.0.0", false, -1, ""},             // no interface has the wildcard
    };
    for (const Case &c : cases) {
        Sock s(c.family, SOCK_DGRAM);
        ASSERT_GE(s.fd, 0);
        if (!bind_to(s.fd, make_addr(c.bind_text))) {
            ADD_FAILURE() << "bind " << c.bind_text << ": " << strerror(errno);
            continue;
        }
        SockAddrRequest req;
        req.sock = s.fd;
        req.is_client = c.is_client;
        EXPECT_EQ(SockAddr_Ifrname(req), c.rc) << c.bind_text << " client " << c.is_client;
        EXPECT_STREQ(req.ifname, c.name) << c.bind_text;
    }
}

TEST(SockAddrIfrname, KnownNameOrNoSocket) {
    SockAddrRequest req;
    req.has_ifname = true;
    EXPECT_EQ(SockAddr_Ifrname(req), 0);  // nothing looked up
    EXPECT_STREQ(req.ifname, "");

    SockAddrRequest none;
    EXPECT_EQ(SockAddr_Ifrname(none), -1);
    Sock unbound(AF_INET, SOCK_DGRAM);
    none.sock = unbound.fd;
    EXPECT_EQ(SockAddr_Ifrname(none), -1);  // 0.0.0.0 is on no interface
}

TEST(SockAddrIfrname, LinkLocalClientTakesTheScopeOfItsHost) {
    // A link-local address exists only inside a namespace of the test's own.
    const ChildResult r = run_isolated([] {
        if (system("ip link set lo up && ip -6 addr add fe80::1/64 dev lo nodad") != 0) {
            fprintf(stderr, "no ip\n");
            return;
        }
        struct Case {
            const char *host;
            bool is_client;
        };
        const Case cases[] = {
            {"fe80::1%eth7", true},                 // the scope text, unchecked
            {"fe80::1", true},                      // no scope: by address
            {"fe80::1%eth7", false},                // servers go by address
            {"fe80::1%a-name-far-too-long", true},  // no interface name is that long
        };
        for (const Case &c : cases) {
            const int fd = socket(AF_INET6, SOCK_DGRAM, 0);
            sockaddr_storage a = make_addr("fe80::1");
            reinterpret_cast<sockaddr_in6 *>(&a)->sin6_scope_id = if_nametoindex("lo");
            if (!bind_to(fd, a)) {
                fprintf(stderr, "bind: %s\n", strerror(errno));
                return;
            }
            SockAddrRequest req;
            req.sock = fd;
            req.host = c.host;
            req.is_client = c.is_client;
            const int rc = SockAddr_Ifrname(req);
            fprintf(stderr, "%d %s\n", rc, req.ifname);
            close(fd);
        }
    });
    SKIP_WITHOUT_ISOLATION(r);
    if (r.err == "no ip\n") GTEST_SKIP() << "the ip tool is needed to add a link-local address";
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "0 eth7\n0 lo\n0 lo\n-1 \n");
}

}  // namespace
