#include "common/bpf.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

// Instruction codes as the kernel defines them, typed here by value.
constexpr uint16_t LDW = 0x20;   // ld [k]
constexpr uint16_t LDH = 0x28;   // ldh [k]
constexpr uint16_t LDB = 0x30;   // ldb [k]
constexpr uint16_t LDHX = 0x48;  // ldh [x+k]
constexpr uint16_t LDXB = 0xb1;  // ldxb 4*([k]&0xf)
constexpr uint16_t JEQ = 0x15;   // jeq #k, jt, jf
constexpr uint16_t JSET = 0x45;  // jset #k, jt, jf
constexpr uint16_t RET = 0x06;   // ret #k

struct Insn {
    uint16_t code;
    uint8_t jt, jf;
    uint32_t k;
};

template <size_t N>
void expect_program(const std::array<sock_filter, N> &got, const std::vector<Insn> &want) {
    ASSERT_EQ(N, want.size());
    for (size_t i = 0; i < N; ++i) {
        EXPECT_EQ(got[i].code, want[i].code) << "instruction " << i;
        EXPECT_EQ(got[i].jt, want[i].jt) << "instruction " << i;
        EXPECT_EQ(got[i].jf, want[i].jf) << "instruction " << i;
        EXPECT_EQ(got[i].k, want[i].k) << "instruction " << i;
    }
}

uint32_t v4(const char *text) {
    in_addr a;
    EXPECT_EQ(inet_pton(AF_INET, text, &a), 1) << text;
    return a.s_addr;  // network order, as callers pass it
}

in6_addr v6(const char *text) {
    in6_addr a;
    EXPECT_EQ(inet_pton(AF_INET6, text, &a), 1) << text;
    return a;
}

// The flow of the tables: frames from the peer to the local end.
const char *const kLocal4 = "10.1.2.3";  // 0x0a010203
const char *const kPeer4 = "10.4.5.6";   // 0x0a040506
const char *const kLocal6 = "fd00::a:b";
const char *const kPeer6 = "fd00:1:2:3:4:5:6:7";
constexpr uint16_t kLocalPort = 5001;  // 0x1389
constexpr uint16_t kPeerPort = 40000;  // 0x9c40

// --- The programs, instruction by instruction ---

TEST(BpfProgram, DropAll) {
    expect_program(SockAddr_Drop_All_Program(), {{RET, 0, 0, 0}});
}

TEST(BpfProgram, V4Accept) {
    expect_program(SockAddr_v4_Accept_Program(kLocalPort), {
                                                               {LDH, 0, 0, 12},
                                                               {JEQ, 0, 8, 0x800},
                                                               {LDB, 0, 0, 23},
                                                               {JEQ, 0, 6, 17},
                                                               {LDH, 0, 0, 20},
                                                               {JSET, 4, 0, 0x1fff},
                                                               {LDXB, 0, 0, 14},
                                                               {LDHX, 0, 0, 16},
                                                               {JEQ, 0, 1, 0x1389},
                                                               {RET, 0, 0, 262144},
                                                               {RET, 0, 0, 0},
                                                           });
}

TEST(BpfProgram, V4Connect) {
    expect_program(
        SockAddr_v4_Connect_Program(v4(kLocal4), v4(kPeer4), htons(kLocalPort), htons(kPeerPort)),
        {
            {LDH, 0, 0, 12},
            {JEQ, 15, 0, 0x86dd},
            {JEQ, 0, 14, 0x800},
            {LDB, 0, 0, 23},
            {JEQ, 0, 12, 17},
            {LDW, 0, 0, 26},
            {JEQ, 0, 10, 0x0a040506},
            {LDW, 0, 0, 30},
            {JEQ, 0, 8, 0x0a010203},
            {LDH, 0, 0, 20},
            {JSET, 6, 0, 0x1fff},
            {LDXB, 0, 0, 14},
            {LDHX, 0, 0, 14},
            {JEQ, 0, 3, 0x9c40},
            {LDHX, 0, 0, 16},
            {JEQ, 0, 1, 0x1389},
            {RET, 0, 0, 262144},
            {RET, 0, 0, 0},
        });
}

TEST(BpfProgram, V4ConnectTap) {
    expect_program(SockAddr_v4_Connect_TAP_Program(v4(kLocal4), v4(kPeer4), htons(kLocalPort),
                                                   htons(kPeerPort)),
                   {
                       {LDH, 0, 0, 12},
                       {JEQ, 0, 14, 0x800},
                       {LDW, 0, 0, 26},
                       {JEQ, 0, 12, 0x0a040506},
                       {LDW, 0, 0, 30},
                       {JEQ, 0, 10, 0x0a010203},
                       {LDB, 0, 0, 23},
                       {JEQ, 0, 8, 17},
                       {LDH, 0, 0, 20},
                       {JSET, 6, 0, 0x1fff},
                       {LDXB, 0, 0, 14},
                       {LDHX, 0, 0, 14},
                       {JEQ, 0, 3, 0x9c40},
                       {LDHX, 0, 0, 16},
                       {JEQ, 0, 1, 0x1389},
                       {RET, 0, 0, 262144},
                       {RET, 0, 0, 0},
                   });
}

TEST(BpfProgram, V6Connect) {
    expect_program(
        SockAddr_v6_Connect_Program(v6(kLocal6), v6(kPeer6), htons(kLocalPort), htons(kPeerPort)),
        {
            {LDH, 0, 0, 12},          {JEQ, 0, 30, 0x86dd},     {LDB, 0, 0, 20},
            {JEQ, 3, 0, 17},          {JEQ, 0, 27, 44},         {LDB, 0, 0, 54},
            {JEQ, 0, 25, 17},         {LDW, 0, 0, 22},          {JEQ, 0, 23, 0xfd000001},
            {LDW, 0, 0, 26},          {JEQ, 0, 21, 0x00020003}, {LDW, 0, 0, 30},
            {JEQ, 0, 19, 0x00040005}, {LDW, 0, 0, 34},          {JEQ, 0, 17, 0x00060007},
            {LDW, 0, 0, 38},          {JEQ, 0, 15, 0xfd000000}, {LDW, 0, 0, 42},
            {JEQ, 0, 13, 0},          {LDW, 0, 0, 46},          {JEQ, 0, 11, 0},
            {LDW, 0, 0, 50},          {JEQ, 0, 9, 0x000a000b},  {LDB, 0, 0, 20},
            {JEQ, 2, 0, 132},         {JEQ, 1, 0, 6},           {JEQ, 0, 5, 17},
            {LDH, 0, 0, 54},          {JEQ, 0, 3, 0x9c40},      {LDH, 0, 0, 56},
            {JEQ, 0, 1, 0x1389},      {RET, 0, 0, 262144},      {RET, 0, 0, 0},
        });
}

// --- What the programs do, run by a small classic BPF interpreter ---

bool load(const std::vector<uint8_t> &frame, uint64_t at, size_t size, uint32_t *out) {
    if (at + size > frame.size()) return false;
    uint32_t value = 0;
    for (size_t i = 0; i < size; ++i) value = (value << 8) | frame[at + i];
    *out = value;
    return true;
}

// The subset of instructions the filters use. A load past the end of the
// frame drops it, as the kernel does.
template <size_t N>
uint32_t run(const std::array<sock_filter, N> &program, const std::vector<uint8_t> &frame) {
    uint32_t a = 0, x = 0;
    for (size_t pc = 0; pc < N; ++pc) {
        const sock_filter &f = program[pc];
        switch (f.code) {
            case LDW:
                if (!load(frame, f.k, 4, &a)) return 0;
                break;
            case LDH:
                if (!load(frame, f.k, 2, &a)) return 0;
                break;
            case LDB:
                if (!load(frame, f.k, 1, &a)) return 0;
                break;
            case LDHX:
                if (!load(frame, uint64_t{x} + f.k, 2, &a)) return 0;
                break;
            case LDXB:
                if (!load(frame, f.k, 1, &x)) return 0;
                x = 4 * (x & 0xf);
                break;
            case JEQ:
                pc += (a == f.k) ? f.jt : f.jf;
                break;
            case JSET:
                pc += (a & f.k) ? f.jt : f.jf;
                break;
            case RET:
                return f.k;
            default:
                ADD_FAILURE() << "unexpected code " << f.code << " at " << pc;
                return 0;
        }
    }
    ADD_FAILURE() << "ran past the last instruction";
    return 0;
}

void put16(std::vector<uint8_t> &b, size_t at, uint16_t v) {
    b[at] = static_cast<uint8_t>(v >> 8);
    b[at + 1] = static_cast<uint8_t>(v);
}

void put_bytes(std::vector<uint8_t> &b, size_t at, const void *src, size_t n) {
    memcpy(&b[at], src, n);
}

// A UDP frame and the ways the tests spoil it.
struct Frame {
    bool ipv6 = false;
    const char *src = nullptr;  // default: the peer
    const char *dst = nullptr;  // default: the local end
    uint16_t sport = kPeerPort, dport = kLocalPort;
    uint16_t ethertype = 0;  // 0: by ipv6
    uint8_t proto = 17;      // IPv4 protocol / IPv6 next header
    uint16_t frag = 0;       // IPv4 flags and fragment offset
    uint8_t ihl = 5;         // IPv4 header words
    bool frag_header = false;
    uint8_t inner_proto = 17;  // next header inside an IPv6 fragment header
    size_t cut = 0;            // bytes removed from the end
};

std::vector<uint8_t> build(const Frame &f) {
    std::vector<uint8_t> b(14, 0);
    const uint16_t ethertype = f.ethertype ? f.ethertype : (f.ipv6 ? 0x86dd : 0x800);
    put16(b, 12, ethertype);
    size_t udp;
    if (!f.ipv6) {
        const size_t ip_len = 4u * f.ihl;
        b.resize(14 + ip_len, 0);
        b[14] = static_cast<uint8_t>(0x40 | f.ihl);
        put16(b, 16, static_cast<uint16_t>(ip_len + 16));
        put16(b, 20, f.frag);
        b[22] = 64;
        b[23] = f.proto;
        const uint32_t src = v4(f.src ? f.src : kPeer4), dst = v4(f.dst ? f.dst : kLocal4);
        put_bytes(b, 26, &src, 4);
        put_bytes(b, 30, &dst, 4);
        udp = 14 + ip_len;
    } else {
        b.resize(54, 0);
        b[14] = 0x60;
        b[20] = f.frag_header ? 44 : f.proto;
        b[21] = 64;
        const in6_addr src = v6(f.src ? f.src : kPeer6), dst = v6(f.dst ? f.dst : kLocal6);
        put_bytes(b, 22, &src, 16);
        put_bytes(b, 38, &dst, 16);
        udp = 54;
        if (f.frag_header) {
            b.resize(62, 0);
            b[54] = f.inner_proto;
            b[57] = 1;  // more fragments, offset 0
            udp = 62;
        }
        put16(b, 18, static_cast<uint16_t>(b.size() - 54 + 16));
    }
    b.resize(udp + 16, 0);
    put16(b, udp, f.sport);
    put16(b, udp + 2, f.dport);
    put16(b, udp + 4, 16);
    memcpy(&b[udp + 8], "payload!", 8);
    b.resize(b.size() - f.cut);
    return b;
}

struct FilterCase {
    const char *what;
    Frame frame;
    bool accept;
};

template <size_t N>
void expect_cases(const std::array<sock_filter, N> &program, const std::vector<FilterCase> &cases) {
    for (const FilterCase &c : cases) {
        EXPECT_EQ(run(program, build(c.frame)), c.accept ? kBpfAcceptBytes : 0u) << c.what;
    }
}

Frame v4frame() {
    return Frame{};
}
Frame v6frame() {
    Frame f;
    f.ipv6 = true;
    return f;
}
template <typename Change>
Frame change(Frame f, Change how) {
    how(f);
    return f;
}

// What both IPv4 connect filters accept and drop.
std::vector<FilterCase> v4_flow_cases() {
    return {
        {"exact 4-tuple", v4frame(), true},
        {"other source", change(v4frame(), [](Frame &f) { f.src = "10.4.5.7"; }), false},
        {"other destination", change(v4frame(), [](Frame &f) { f.dst = "10.1.2.4"; }), false},
        {"reverse direction",
         change(v4frame(),
                [](Frame &f) {
                    f.src = kLocal4;
                    f.dst = kPeer4;
                    f.sport = kLocalPort;
                    f.dport = kPeerPort;
                }),
         false},
        {"other source port", change(v4frame(), [](Frame &f) { f.sport = kPeerPort + 1; }), false},
        {"other destination port", change(v4frame(), [](Frame &f) { f.dport = 5002; }), false},
        {"TCP", change(v4frame(), [](Frame &f) { f.proto = 6; }), false},
        {"later fragment", change(v4frame(), [](Frame &f) { f.frag = 1; }), false},
        {"last fragment", change(v4frame(), [](Frame &f) { f.frag = 0x1fff; }), false},
        {"later fragment, more to come", change(v4frame(), [](Frame &f) { f.frag = 0x2010; }),
         false},
        // The first fragment carries the UDP header, so the ports can be checked.
        {"first fragment", change(v4frame(), [](Frame &f) { f.frag = 0x2000; }), true},
        {"don't fragment", change(v4frame(), [](Frame &f) { f.frag = 0x4000; }), true},
        {"header with options", change(v4frame(), [](Frame &f) { f.ihl = 6; }), true},
        {"IPv6 frame", v6frame(), false},
        {"IPv6 ethertype", change(v4frame(), [](Frame &f) { f.ethertype = 0x86dd; }), false},
        {"ARP", change(v4frame(), [](Frame &f) { f.ethertype = 0x806; }), false},
        {"cut in the ports", change(v4frame(), [](Frame &f) { f.cut = 13; }), false},
        {"cut before the addresses", change(v4frame(), [](Frame &f) { f.cut = 20; }), false},
        {"bare ethernet header", change(v4frame(), [](Frame &f) { f.cut = 34 + 16 - 14; }), false},
    };
}

TEST(BpfRun, V4ConnectAcceptsOnlyTheExactFlow) {
    expect_cases(
        SockAddr_v4_Connect_Program(v4(kLocal4), v4(kPeer4), htons(kLocalPort), htons(kPeerPort)),
        v4_flow_cases());
}

TEST(BpfRun, V4ConnectTapAcceptsOnlyTheExactFlow) {
    expect_cases(SockAddr_v4_Connect_TAP_Program(v4(kLocal4), v4(kPeer4), htons(kLocalPort),
                                                 htons(kPeerPort)),
                 v4_flow_cases());
}

TEST(BpfRun, V4AcceptTakesAnySenderToThePort) {
    expect_cases(
        SockAddr_v4_Accept_Program(kLocalPort),
        {
            {"to the port", v4frame(), true},
            {"any source", change(v4frame(), [](Frame &f) { f.src = "192.0.2.9"; }), true},
            {"any destination", change(v4frame(), [](Frame &f) { f.dst = "192.0.2.8"; }), true},
            {"any source port", change(v4frame(), [](Frame &f) { f.sport = 1; }), true},
            {"header with options", change(v4frame(), [](Frame &f) { f.ihl = 15; }), true},
            {"other port", change(v4frame(), [](Frame &f) { f.dport = 5002; }), false},
            {"port as source only",
             change(v4frame(),
                    [](Frame &f) {
                        f.sport = kLocalPort;
                        f.dport = 7;
                    }),
             false},
            {"TCP", change(v4frame(), [](Frame &f) { f.proto = 6; }), false},
            {"later fragment", change(v4frame(), [](Frame &f) { f.frag = 0x2001; }), false},
            {"IPv6 frame", v6frame(), false},
            {"cut in the ports", change(v4frame(), [](Frame &f) { f.cut = 14; }), false},
        });
}

TEST(BpfRun, V6ConnectAcceptsOnlyTheExactUnfragmentedFlow) {
    expect_cases(
        SockAddr_v6_Connect_Program(v6(kLocal6), v6(kPeer6), htons(kLocalPort), htons(kPeerPort)),
        {
            {"exact 4-tuple", v6frame(), true},
            {"source first word", change(v6frame(), [](Frame &f) { f.src = "fd01:1:2:3:4:5:6:7"; }),
             false},
            {"source last byte", change(v6frame(), [](Frame &f) { f.src = "fd00:1:2:3:4:5:6:8"; }),
             false},
            {"destination first word", change(v6frame(), [](Frame &f) { f.dst = "fd01::a:b"; }),
             false},
            {"destination last byte", change(v6frame(), [](Frame &f) { f.dst = "fd00::a:c"; }),
             false},
            {"reverse direction",
             change(v6frame(),
                    [](Frame &f) {
                        f.src = kLocal6;
                        f.dst = kPeer6;
                        f.sport = kLocalPort;
                        f.dport = kPeerPort;
                    }),
             false},
            {"other source port", change(v6frame(), [](Frame &f) { f.sport = 1; }), false},
            {"other destination port", change(v6frame(), [](Frame &f) { f.dport = 5002; }), false},
            {"TCP", change(v6frame(), [](Frame &f) { f.proto = 6; }), false},
            {"SCTP", change(v6frame(), [](Frame &f) { f.proto = 132; }), false},
            {"UDP fragment", change(v6frame(), [](Frame &f) { f.frag_header = true; }), false},
            {"TCP fragment",
             change(v6frame(),
                    [](Frame &f) {
                        f.frag_header = true;
                        f.inner_proto = 6;
                    }),
             false},
            {"IPv4 frame", v4frame(), false},
            {"cut in the ports", change(v6frame(), [](Frame &f) { f.cut = 13; }), false},
            {"cut in the addresses", change(v6frame(), [](Frame &f) { f.cut = 20; }), false},
        });
}

TEST(BpfRun, DropAllDropsEverything) {
    for (const Frame &f : {v4frame(), v6frame(), change(v4frame(), [](Frame &g) { g.cut = 50; })}) {
        EXPECT_EQ(run(SockAddr_Drop_All_Program(), build(f)), 0u);
    }
}

// --- Attaching ---

struct Sock {
    int fd;
    Sock(int family, int type, int protocol = 0) : fd(socket(family, type, protocol)) {}
    ~Sock() {
        if (fd >= 0) close(fd);
    }
};

TEST(BpfAttach, TheKernelTakesEveryProgram) {
    // The kernel checks every program it is given (jumps in range, a final
    // return), on any socket.
    const in6_addr local = v6(kLocal6), peer = v6(kPeer6);
    const uint32_t l4 = v4(kLocal4), p4 = v4(kPeer4);
    Sock s(AF_INET, SOCK_DGRAM);
    ASSERT_GE(s.fd, 0);
    EXPECT_EQ(SockAddr_Drop_All_BPF(s.fd), 0) << strerror(errno);
    EXPECT_EQ(SockAddr_v4_Accept_BPF(s.fd, kLocalPort), 0) << strerror(errno);
    EXPECT_EQ(SockAddr_v4_Connect_BPF(s.fd, l4, p4, htons(kLocalPort), htons(kPeerPort)), 0)
        << strerror(errno);
    EXPECT_EQ(SockAddr_v4_Connect_TAP_BPF(s.fd, l4, p4, htons(kLocalPort), htons(kPeerPort)), 0)
        << strerror(errno);
    EXPECT_EQ(SockAddr_v6_Connect_BPF(s.fd, &local, &peer, htons(kLocalPort), htons(kPeerPort)), 0)
        << strerror(errno);
}

TEST(BpfAttach, FailuresAreMinusOne) {
    const in6_addr any = in6addr_any;
    errno = 0;
    EXPECT_EQ(SockAddr_Drop_All_BPF(-1), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(SockAddr_v4_Accept_BPF(-1, 1), -1);
    EXPECT_EQ(SockAddr_v4_Connect_BPF(-1, 0, 0, 0, 0), -1);
    EXPECT_EQ(SockAddr_v4_Connect_TAP_BPF(-1, 0, 0, 0, 0), -1);
    EXPECT_EQ(SockAddr_v6_Connect_BPF(-1, &any, &any, 0, 0), -1);
    Sock s(AF_INET, SOCK_DGRAM);
    errno = 0;
    EXPECT_EQ(SockAddr_v6_Connect_BPF(s.fd, nullptr, &any, 0, 0), -1);
    EXPECT_EQ(errno, EINVAL);
}

sockaddr_storage loopback(int family, uint16_t port) {
    sockaddr_storage a;
    memset(&a, 0, sizeof a);
    if (family == AF_INET) {
        auto *in = reinterpret_cast<sockaddr_in *>(&a);
        in->sin_family = AF_INET;
        in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        in->sin_port = htons(port);
    } else {
        auto *in6 = reinterpret_cast<sockaddr_in6 *>(&a);
        in6->sin6_family = AF_INET6;
        in6->sin6_addr = in6addr_loopback;
        in6->sin6_port = htons(port);
    }
    return a;
}

socklen_t length_of(const sockaddr_storage &a) {
    return a.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

// Binds fd to the loopback address of its family, any port; returns the port.
uint16_t bind_loopback(int fd, int family) {
    sockaddr_storage a = loopback(family, 0);
    socklen_t len = length_of(a);
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), len) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
        ADD_FAILURE() << "bind: " << strerror(errno);
        return 0;
    }
    return ntohs(reinterpret_cast<sockaddr_in *>(&a)->sin_port);  // same place in both forms
}

void send_to(int fd, int family, uint16_t port, const std::string &text) {
    const sockaddr_storage to = loopback(family, port);
    EXPECT_EQ(sendto(fd, text.data(), text.size(), 0, reinterpret_cast<const sockaddr *>(&to),
                     length_of(to)),
              static_cast<ssize_t>(text.size()))
        << strerror(errno);
}

// Waits up to 2 s for one datagram or frame.
std::string receive(int fd) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 2000) != 1) return "<nothing>";
    char buf[2048];
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    return n < 0 ? "<error>" : std::string(buf, static_cast<size_t>(n));
}

TEST(BpfAttach, DropAllSilencesAUdpSocket) {
    Sock rx(AF_INET, SOCK_DGRAM), tx(AF_INET, SOCK_DGRAM);
    const uint16_t port = bind_loopback(rx.fd, AF_INET);
    ASSERT_EQ(SockAddr_Drop_All_BPF(rx.fd), 0) << strerror(errno);
    send_to(tx.fd, AF_INET, port, "dropped");
    // Once the filter is gone the next datagram arrives, and it is the only one.
    int unused = 0;
    ASSERT_EQ(setsockopt(rx.fd, SOL_SOCKET, SO_DETACH_FILTER, &unused, sizeof unused), 0);
    send_to(tx.fd, AF_INET, port, "kept");
    EXPECT_EQ(receive(rx.fd), "kept");
    char buf[64];
    EXPECT_EQ(recv(rx.fd, buf, sizeof buf, MSG_DONTWAIT), -1);
}

// A packet socket on the loopback device that sees only what the filter lets
// through: it is opened without a protocol (receiving nothing), given the
// filter, and only then bound to all protocols.
struct PacketSocket {
    int fd = -1;
    bool open_it() {
        fd = socket(AF_PACKET, SOCK_RAW, 0);
        return fd >= 0;
    }
    bool bind_lo() {
        sockaddr_ll sll;
        memset(&sll, 0, sizeof sll);
        sll.sll_family = AF_PACKET;
        sll.sll_protocol = htons(ETH_P_ALL);
        sll.sll_ifindex = static_cast<int>(if_nametoindex("lo"));
        return bind(fd, reinterpret_cast<sockaddr *>(&sll), sizeof sll) == 0;
    }
    ~PacketSocket() {
        if (fd >= 0) close(fd);
    }
};

// The payload of a UDP frame seen on the loopback device.
std::string payload_of(const std::string &frame, int family) {
    const size_t at = family == AF_INET ? 42 : 62;
    return frame.size() < at ? frame : frame.substr(at);
}

enum class Live { kAccept, kConnect, kConnectTap };

void live_case(Live kind, int family) {
    PacketSocket ps;
    if (!ps.open_it()) {
        GTEST_SKIP() << "packet sockets need root (CAP_NET_RAW): " << strerror(errno);
    }
    Sock rx(family, SOCK_DGRAM), other_rx(family, SOCK_DGRAM);
    Sock tx(family, SOCK_DGRAM), other_tx(family, SOCK_DGRAM);
    const uint16_t local_port = bind_loopback(rx.fd, family);
    const uint16_t other_port = bind_loopback(other_rx.fd, family);
    const uint16_t peer_port = bind_loopback(tx.fd, family);
    bind_loopback(other_tx.fd, family);
    ASSERT_TRUE(local_port && other_port && peer_port);

    int rc = -1;
    const uint32_t lo4 = htonl(INADDR_LOOPBACK);
    if (kind == Live::kAccept) rc = SockAddr_v4_Accept_BPF(ps.fd, local_port);
    if (kind == Live::kConnect && family == AF_INET) {
        rc = SockAddr_v4_Connect_BPF(ps.fd, lo4, lo4, htons(local_port), htons(peer_port));
    }
    if (kind == Live::kConnect && family == AF_INET6) {
        rc = SockAddr_v6_Connect_BPF(ps.fd, &in6addr_loopback, &in6addr_loopback, htons(local_port),
                                     htons(peer_port));
    }
    if (kind == Live::kConnectTap) {
        rc = SockAddr_v4_Connect_TAP_BPF(ps.fd, lo4, lo4, htons(local_port), htons(peer_port));
    }
    ASSERT_EQ(rc, 0) << strerror(errno);
    ASSERT_TRUE(ps.bind_lo()) << strerror(errno);

    // What must not pass goes first; the loopback device keeps the order, so
    // anything let through would be read before the wanted datagram.
    send_to(tx.fd, family, other_port, "wrong local port");
    if (kind != Live::kAccept) send_to(other_tx.fd, family, local_port, "wrong peer port");
    send_to(tx.fd, family, local_port, "wanted");
    send_to(tx.fd, family, local_port, "last");
    // The device may show a datagram twice (sent and received): read up to "last".
    std::vector<std::string> seen;
    while (seen.size() < 8 && (seen.empty() || (seen.back() != "last" && seen.back()[0] != '<'))) {
        seen.push_back(payload_of(receive(ps.fd), family));
    }
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.front(), "wanted");
    EXPECT_EQ(seen.back(), "last");
    for (const std::string &text : seen) {
        EXPECT_TRUE(text == "wanted" || text == "last") << text;
    }
    // The datagrams the filter held back did reach the machine.
    if (kind != Live::kAccept) {
        EXPECT_EQ(receive(rx.fd), "wrong peer port");
    }
    EXPECT_EQ(receive(other_rx.fd), "wrong local port");
    EXPECT_EQ(receive(rx.fd), "wanted");
}

TEST(BpfLive, V4AcceptOnLoopback) {
    live_case(Live::kAccept, AF_INET);
}
TEST(BpfLive, V4ConnectOnLoopback) {
    live_case(Live::kConnect, AF_INET);
}
TEST(BpfLive, V4ConnectTapOnLoopback) {
    live_case(Live::kConnectTap, AF_INET);
}
TEST(BpfLive, V6ConnectOnLoopback) {
    live_case(Live::kConnect, AF_INET6);
}

}  // namespace
