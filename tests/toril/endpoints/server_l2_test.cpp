// The L2 checks of the UDP server on frames built in the test: length,
// 4-tuple and checksum, and frames too short to hold what they claim.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "tests/toril/endpoints/server_support.h"
#include "toril/core/headers.h"
#include "toril/endpoints/server.h"

namespace {

constexpr uint32_t kLocal = 0xC6120001;  // 198.18.0.1
constexpr uint32_t kPeer = 0xC6120002;   // 198.18.0.2
constexpr uint16_t kLocalPort = 5001;
constexpr uint16_t kPeerPort = 40000;

uint16_t ones_sum(const uint8_t *p, size_t len, uint32_t sum) {
    for (size_t i = 0; i + 1 < len; i += 2) sum += static_cast<uint32_t>((p[i] << 8) | p[i + 1]);
    if (len & 1) sum += static_cast<uint32_t>(p[len - 1] << 8);
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<uint16_t>(sum);
}

void put16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

void put32(uint8_t *p, uint32_t v) {
    put16(p, static_cast<uint16_t>(v >> 16));
    put16(p + 2, static_cast<uint16_t>(v));
}

// An Ethernet + IPv4 + UDP frame with a correct checksum, plus extra bytes;
// the payload bytes are their own offsets unless given.
std::vector<uint8_t> frame(uint32_t src, uint16_t sport, size_t payload, size_t extra = 0,
                           const std::vector<uint8_t> *bytes = nullptr) {
    std::vector<uint8_t> f(14 + 20 + 8 + payload + extra, 0);
    put16(&f[12], 0x0800);
    f[14] = 0x45;
    f[23] = IPPROTO_UDP;
    put32(&f[26], src);
    put32(&f[30], kLocal);
    put16(&f[34], sport);
    put16(&f[36], kLocalPort);
    const uint16_t udp_len = static_cast<uint16_t>(8 + payload);
    put16(&f[38], udp_len);
    for (size_t i = 0; i < payload; ++i)
        f[42 + i] = bytes ? (*bytes)[i] : static_cast<uint8_t>(i);
    uint8_t pseudo[12];
    memcpy(pseudo, &f[26], 8);
    pseudo[8] = 0;
    pseudo[9] = IPPROTO_UDP;
    put16(&pseudo[10], udp_len);
    uint16_t sum = ones_sum(pseudo, sizeof(pseudo), 0);
    sum = ones_sum(&f[34], udp_len, sum);
    uint16_t check = static_cast<uint16_t>(~sum);
    if (check == 0) check = 0xffff;
    put16(&f[40], check);
    return f;
}

sockaddr_storage v4(uint32_t addr, uint16_t port) {
    sockaddr_storage s{};
    auto &in = reinterpret_cast<sockaddr_in &>(s);
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = htonl(addr);
    in.sin_port = htons(port);
    return s;
}

struct L2Case {
    const char *name;
    std::vector<uint8_t> bytes;
    int received;  // the kernel's length (-1: the bytes' size)
    uint32_t l2errors;
    bool empty;
};

// A tap frame carrying a datagram of the test (header: seqno, send time).
std::vector<uint8_t> tap_frame(int64_t seqno, size_t payload) {
    std::vector<uint8_t> d(payload, 0x33);
    hdr_udp_write(d.data(), d.size(), UdpHdr{seqno, time(nullptr), 0});
    std::vector<uint8_t> f = frame(kPeer, kPeerPort, payload, 0, &d);
    // Link addresses as a tap gives them, which a header read from the
    // frame's start would take for a sequence number.
    const uint8_t macs[12] = {2, 0, 0, 0, 0, 2, 0x5e, 0x11, 0x22, 0x33, 0x44, 0x55};
    memcpy(f.data(), macs, sizeof macs);
    return f;
}

// Through a tap the listener hands over the whole first frame: it counts from
// its UDP payload like every later frame, and the server report has every
// datagram.
TEST(ServerL2, TapFramesCountFromTheirPayload) {
    endpoint_test::reporter_start();
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, pair), 0);
    const int c = pair[0];
    constexpr size_t kPayload = 200;
    constexpr int64_t kLast = 12;
    thread_Settings *st = endpoint_test::server_settings(true, 1470);
    st->sock = pair[1];
    st->extra_flags |= EXT_TAP_DEV;
    st->test_flags |= TEST_L2CHECKS;
    st->l2_header_len = 34;
    st->l2_payload_offset = 42;
    st->local = v4(kLocal, kLocalPort);
    st->peer = v4(kPeer, kPeerPort);
    const std::vector<uint8_t> first = tap_frame(1, kPayload);
    memcpy(st->buf, first.data(), first.size());
    st->first_read_len = static_cast<int32_t>(first.size());
    UdpServerReport report{};
    bool answered = false;
    std::thread server([st] {
        Server s(st);
        s.RunUDP();
    });
    for (int64_t i = 2; i < kLast; ++i) {
        const std::vector<uint8_t> f = tap_frame(i, kPayload);
        send(c, f.data(), f.size(), 0);
    }
    const std::vector<uint8_t> fin = tap_frame(-kLast, kPayload);
    for (int pass = 0; pass < 200 && !answered; ++pass) {
        send(c, fin.data(), fin.size(), 0);
        pollfd p{c, POLLIN, 0};
        uint8_t buf[1500];
        if (poll(&p, 1, 10) == 1 && recv(c, buf, sizeof(buf), 0) == kServerReportLen)
            answered = hdr_server_report_read(buf, kServerReportLen, &report) == kHdr_Ok;
    }
    server.join();
    Settings_Destroy(st);
    close(c);
    ASSERT_TRUE(answered);
    EXPECT_EQ(report.datagrams, static_cast<uint64_t>(kLast));
    EXPECT_EQ(report.total_bytes, static_cast<uint64_t>(kLast) * kPayload);
    EXPECT_EQ(report.out_of_order, 0u);
    const endpoint_test::Totals totals = endpoint_test::reporter_totals();
    EXPECT_EQ(totals.max_packet_id, kLast);
    EXPECT_EQ(totals.bytes, kLast * static_cast<int64_t>(kPayload));
}

TEST(ServerL2, FrameChecks) {
    std::vector<uint8_t> bad_sum = frame(kPeer, kPeerPort, 100);
    bad_sum[50] ^= 0xff;
    std::vector<uint8_t> bad_sum_other = frame(kPeer, kPeerPort + 1, 100);
    bad_sum_other[50] ^= 0xff;
    std::vector<uint8_t> claims_more = frame(kPeer, kPeerPort, 100);
    put16(&claims_more[38], 2000);  // UDP length beyond the frame
    const std::vector<L2Case> cases = {
        {"good frame of the test", frame(kPeer, kPeerPort, 100), -1, 0, false},
        {"trailing bytes", frame(kPeer, kPeerPort, 100, 6), -1, L2LENERR, false},
        {"trailing bytes from another port", frame(kPeer, kPeerPort + 1, 100, 6), -1,
         L2LENERR | L2UNKNOWN | L2CSUMERR, true},
        {"bad checksum", bad_sum, -1, L2CSUMERR, false},
        {"bad checksum from another port", bad_sum_other, -1, L2CSUMERR | L2UNKNOWN, true},
        // The packet filter keeps other hosts out; a sound frame is not re-checked.
        {"good frame from another host", frame(kPeer + 1, kPeerPort, 100), -1, 0, false},
        {"runt frame", std::vector<uint8_t>(20, 0), -1, L2LENERR | L2UNKNOWN | L2CSUMERR, true},
        {"length beyond the frame", claims_more, -1, L2LENERR | L2CSUMERR, false},
        {"kernel length beyond the buffer", frame(kPeer, kPeerPort, 100), 70000, L2LENERR, false},
    };
    for (const L2Case &lc : cases) {
        SCOPED_TRACE(lc.name);
        thread_Settings *st = endpoint_test::server_settings(true, 1470);
        st->test_flags |= TEST_L2CHECKS;
        st->l2_header_len = 34;
        st->l2_payload_offset = 42;
        st->local = v4(kLocal, kLocalPort);
        st->peer = v4(kPeer, kPeerPort);
        {
            Server server(st);
            ASSERT_GE(st->buf_len, 3036);
            memcpy(st->buf, lc.bytes.data(), lc.bytes.size());
            const int received = lc.received < 0 ? static_cast<int>(lc.bytes.size()) : lc.received;
            const PacketRecord r = server.CheckL2Frame(received);
            EXPECT_EQ(r.l2errors, lc.l2errors);
            EXPECT_EQ(r.emptyreport != 0, lc.empty);
        }
        Settings_Destroy(st);
    }
}

TEST(ServerL2, QuintupleFilter) {
    thread_Settings *st = endpoint_test::server_settings(true, 1470);
    st->test_flags |= TEST_L2CHECKS;
    st->l2_header_len = 34;
    st->local = v4(kLocal, kLocalPort);
    st->peer = v4(kPeer, kPeerPort);
    {
        Server server(st);
        struct {
            std::vector<uint8_t> f;
            int expected;
        } cases[] = {
            {frame(kPeer, kPeerPort, 10), 0},
            {frame(kPeer, kPeerPort + 1, 10), -1},
            {frame(kPeer + 1, kPeerPort, 10), -1},
        };
        for (auto &c : cases) {
            memcpy(st->buf, c.f.data(), c.f.size());
            server.CheckL2Frame(static_cast<int>(c.f.size()));
            EXPECT_EQ(server.L2_quintuple_filter(), c.expected);
        }
        std::vector<uint8_t> v6 = frame(kPeer, kPeerPort, 10);
        put16(&v6[12], 0x86DD);  // IPv6 frame to an IPv4 test
        memcpy(st->buf, v6.data(), v6.size());
        server.CheckL2Frame(static_cast<int>(v6.size()));
        EXPECT_EQ(server.L2_quintuple_filter(), -1);
    }
    Settings_Destroy(st);
}

}  // namespace
