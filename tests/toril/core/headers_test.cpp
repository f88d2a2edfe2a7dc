// Tests of the toril wire formats: golden bytes both ways (typed from the
// byte tables), edge values, truncation, hostile headers, round trips through
// thread_Settings, the server report exchange over loopback, and random input
// to every decoder.
#include "toril/core/headers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <initializer_list>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using Buf = std::vector<uint8_t>;

// A golden buffer: zeros, with the bytes of the table placed at their offsets.
struct Golden {
    Buf b;
    explicit Golden(size_t n) : b(n, 0) {}
    Golden &at(size_t off, std::initializer_list<uint8_t> v) {
        size_t i = off;
        for (uint8_t x : v) b.at(i++) = x;
        return *this;
    }
    Golden &fill(size_t off, size_t n, uint8_t x) {
        for (size_t i = 0; i < n; i++) b.at(off + i) = x;
        return *this;
    }
};

// Heap copy of exactly len bytes, so a read past the end is caught by ASan.
std::unique_ptr<uint8_t[]> exact(const uint8_t *data, size_t len) {
    std::unique_ptr<uint8_t[]> p(new uint8_t[len]);
    if (len) memcpy(p.get(), data, len);
    return p;
}

// A heap record with defaults and a buffer, destroyed at scope end.
struct Record {
    thread_Settings *s;
    Record() : s(new thread_Settings) {
        Settings_Initialize(s);
        Settings_AllocateBuffer(s);
    }
    ~Record() { Settings_Destroy(s); }
    Record(const Record &) = delete;
    Record &operator=(const Record &) = delete;
    thread_Settings *operator->() { return s; }
};

// A client record as the option checks leave it: one stream to port 5001.
void as_client(thread_Settings *s) {
    s->thread_mode = kMode_Client;
    s->threads = 1;
}

void as_udp_client(thread_Settings *s) {
    as_client(s);
    s->option_flags |= OPT_UDP;
    s->buf_len = 1470;
}

// Header bytes generated for a client record (a buffer of 300 bytes that
// starts out non-zero, so the writer must clear what it leaves reserved).
struct Generated {
    Buf buf;
    int len;
};

Generated generate(const thread_Settings *c, int64_t sec = 0, int64_t usec = 0) {
    Generated g{Buf(300, 0xEE), 0};
    g.len = Settings_GenerateClientHdr(c, g.buf.data(), g.buf.size(), sec, usec);
    return g;
}

void expect_prefix(const Buf &got, const Buf &want) {
    ASSERT_GE(got.size(), want.size());
    for (size_t i = 0; i < want.size(); i++) {
        ASSERT_EQ(got[i], want[i]) << "byte " << i;
    }
}

// The parts of a client header every golden TCP case shares: the flags word,
// threads 1, port 5001, amount -1000 (ten seconds), the version words.
Golden tcp_base(uint32_t flags, size_t space = kTcpClientHdrSpace) {
    Golden g(space);
    g.at(0, {uint8_t(flags >> 24), uint8_t(flags >> 16), uint8_t(flags >> 8), uint8_t(flags)});
    g.at(4, {0x00, 0x00, 0x00, 0x01});
    g.at(8, {0x00, 0x00, 0x13, 0x89});
    g.at(20, {0xFF, 0xFF, 0xFC, 0x18});
    g.at(36, {0x00, 0x02, 0x00, 0x01});
    g.at(40, {0x00, 0x08, 0x00, 0x03});
    return g;
}

// The same for UDP: client_hdr_v1 at 16, versions at 52, rate 1048576 at 64.
Golden udp_base(uint32_t flags, size_t space = kUdpClientHdrSpace) {
    Golden g(space);
    g.at(16, {uint8_t(flags >> 24), uint8_t(flags >> 16), uint8_t(flags >> 8), uint8_t(flags)});
    g.at(20, {0x00, 0x00, 0x00, 0x01});
    g.at(24, {0x00, 0x00, 0x13, 0x89});
    g.at(36, {0xFF, 0xFF, 0xFC, 0x18});
    g.at(52, {0x00, 0x02, 0x00, 0x01});
    g.at(56, {0x00, 0x08, 0x00, 0x03});
    g.at(64, {0x00, 0x10, 0x00, 0x00});
    return g;
}

constexpr int64_t kNow = 0x65000000;  // the server clock in the decoding tests

}  // namespace

// ---------------------------------------------------------------------------
// Format 1: UDP datagram header
// ---------------------------------------------------------------------------

TEST(HeadersUdp, GoldenBytesBothWays) {
    struct Case {
        const char *name;
        int64_t seqno;
        Buf bytes;  // 16 bytes typed from the table
    };
    const Case cases[] = {
        {"first datagram", 1,
         Golden(16)
             .at(3, {0x01})
             .at(4, {0x65, 0x00, 0x00, 0x00})
             .at(8, {0x00, 0x0F, 0x42, 0x3F})
             .b},
        {"64-bit split", 0x123456789LL,
         Golden(16)
             .at(0, {0x23, 0x45, 0x67, 0x89})
             .at(4, {0x65, 0x00, 0x00, 0x00})
             .at(8, {0x00, 0x0F, 0x42, 0x3F})
             .at(12, {0x00, 0x00, 0x00, 0x01})
             .b},
        {"negative final", -5,
         Golden(16)
             .at(0, {0xFF, 0xFF, 0xFF, 0xFB})
             .at(4, {0x65, 0x00, 0x00, 0x00})
             .at(8, {0x00, 0x0F, 0x42, 0x3F})
             .at(12, {0xFF, 0xFF, 0xFF, 0xFF})
             .b},
        {"INT32_MIN", INT32_MIN,
         Golden(16)
             .at(0, {0x80, 0x00, 0x00, 0x00})
             .at(4, {0x65, 0x00, 0x00, 0x00})
             .at(8, {0x00, 0x0F, 0x42, 0x3F})
             .at(12, {0xFF, 0xFF, 0xFF, 0xFF})
             .b},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Buf out(16, 0xEE);
        ASSERT_EQ(hdr_udp_write(out.data(), out.size(), UdpHdr{c.seqno, kNow, 999999}), 16);
        EXPECT_EQ(out, c.bytes);
        auto in = exact(c.bytes.data(), 16);
        UdpHdr h{};
        ASSERT_EQ(hdr_udp_read(in.get(), 16, true, &h), kHdr_Ok);
        EXPECT_EQ(h.seqno, c.seqno);
        EXPECT_EQ(h.sent_sec, kNow);
        EXPECT_EQ(h.sent_usec, 999999);
    }
}

TEST(HeadersUdp, LowWordAloneWithout64BitNumbers) {
    // The high word is ignored, the sign bit of the low word marks the end.
    const Buf bytes = Golden(16).at(0, {0xFF, 0xFF, 0xFF, 0xFF}).at(12, {0x00, 0x00, 0x00, 0x07}).b;
    UdpHdr h{};
    ASSERT_EQ(hdr_udp_read(bytes.data(), 16, false, &h), kHdr_Ok);
    EXPECT_EQ(h.seqno, -1);
    ASSERT_EQ(hdr_udp_read(bytes.data(), 16, true, &h), kHdr_Ok);
    EXPECT_EQ(h.seqno, 0x7FFFFFFFFLL);
    EXPECT_EQ(udp_seqno_magnitude(-1), 1);
    EXPECT_EQ(udp_seqno_magnitude(7), 7);
    EXPECT_EQ(udp_seqno_magnitude(INT64_MIN), INT64_MAX);
}

TEST(HeadersUdp, TruncatedByOneByte) {
    Buf b(15, 0);
    UdpHdr h{};
    EXPECT_EQ(hdr_udp_read(b.data(), 15, true, &h), kHdr_TooShort);
    EXPECT_EQ(hdr_udp_write(b.data(), 15, UdpHdr{1, 2, 3}), kHdr_TooShort);
    EXPECT_EQ(b, Buf(15, 0));
}

// ---------------------------------------------------------------------------
// Formats 2 to 6: the test header as the client writes it
// ---------------------------------------------------------------------------

TEST(HeadersClientTcp, GoldenHeaders) {
    struct Case {
        const char *name;
        std::function<void(thread_Settings *)> setup;
        int64_t start_sec;
        int64_t start_usec;
        int len;
        Buf bytes;
    };
    const Case cases[] = {
        {"plain test: 60 bytes, HDR_EXTEND | HDR_LEN | 120", [](thread_Settings *) {}, 0, 0, 60,
         tcp_base(0x40010078).b},
        {"dual test", [](thread_Settings *s) { s->test_mode = kTest_DualTest; }, 0, 0, 60,
         tcp_base(0xC0010079).b},
        {"tradeoff test", [](thread_Settings *s) { s->test_mode = kTest_TradeOff; }, 0, 0, 60,
         tcp_base(0xC0010078).b},
        {"peer detection", [](thread_Settings *s) { s->test_flags |= TEST_PEER_DETECT; }, 0, 0,
         60, tcp_base(0x46010078).b},
        {"byte amount, length, rate above 32 bits, tos, listen port",
         [](thread_Settings *s) {
             s->option_flags &= ~OPT_TIME_MODE;
             s->amount = 3000;
             s->option_flags |= OPT_LEN_SET | OPT_RATE_SET;
             s->buf_len = 8192;
             s->rate = 0x123456789ULL;
             s->tos = 0x10;
             s->listen_port = 6000;
         },
         0, 0, 60,
         tcp_base(0x40010078)
             .at(8, {0x00, 0x00, 0x17, 0x70})
             .at(12, {0x00, 0x00, 0x20, 0x00})
             .at(20, {0x00, 0x00, 0x0B, 0xB8})
             .at(46, {0x00, 0x10})
             .at(48, {0x23, 0x45, 0x67, 0x89})
             .at(52, {0x00, 0x00, 0x01, 0x00})
             .b},
        {"trip times and pacing rate: 80 bytes",
         [](thread_Settings *s) {
             s->test_flags |= TEST_TRIP_TIMES | TEST_FQ_RATE;
             s->fq_rate = 0x200000001ULL;
         },
         kNow, 123456, 80,
         tcp_base(0x400100A0)
             .at(32, {0x02, 0x10})
             .at(64, {0x65, 0x00, 0x00, 0x00, 0x00, 0x01, 0xE2, 0x40})
             .at(72, {0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02})
             .b},
        {"scheduled start", [](thread_Settings *s) { s->test_flags |= TEST_TXSTART; }, kNow, 0,
         80, tcp_base(0x400100A0).at(32, {0x10, 0x00}).at(64, {0x65, 0x00, 0x00, 0x00}).b},
        {"scheduled start at time zero has no start flag",
         [](thread_Settings *s) { s->test_flags |= TEST_TXSTART; }, 0, 0, 80,
         tcp_base(0x400100A0).b},
        {"reverse with write prefetch; quick-ack is not asked for",
         [](thread_Settings *s) {
             s->test_flags |= TEST_REVERSE;
             s->extra_flags |= EXT_WRITE_PREFETCH | EXT_QUICKACK;
             s->write_prefetch = 16384;
         },
         0, 0, 60, tcp_base(0x44010078).at(32, {0x44, 0x00}).at(56, {0x00, 0x00, 0x40, 0x00}).b},
        {"full duplex with quick-ack",
         [](thread_Settings *s) {
             s->test_flags |= TEST_FULL_DUPLEX;
             s->extra_flags |= EXT_QUICKACK;
         },
         0, 0, 60, tcp_base(0x44010078).at(32, {0x88, 0x00}).b},
        {"burst block: 92 bytes announced",
         [](thread_Settings *s) {
             s->extra_flags |= EXT_BURST;
             s->frame_rate = 2.5;
             s->burst_size = 1048576;
         },
         0, 0, 92,
         tcp_base(0x400100B8)
             .at(32, {0x20, 0x00})
             .at(80, {0x00, 0x00, 0x00, 0x02, 0x00, 0x07, 0xA1, 0x20})
             .at(88, {0x00, 0x10, 0x00, 0x00})
             .b},
        {"reverse isochronous: block at 80, 112 bytes",
         [](thread_Settings *s) {
             s->test_flags |= TEST_ISOCH | TEST_REVERSE;
             s->frame_rate = 60;
             s->isoch_mean = 20000000;
             s->variance = 0;
             s->burst_ipg = 0.000005;
         },
         kNow, 999999, 112,
         tcp_base(0x440100E0)
             .at(32, {0x04, 0x01})
             .at(64, {0x65, 0x00, 0x00, 0x00, 0x00, 0x0F, 0x42, 0x3F})
             .at(80, {0x00, 0x00, 0x00, 0x3C})
             .at(88, {0x01, 0x31, 0x2D, 0x00})
             .at(104, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05})
             .b},
        {"isochronous one way: no block",
         [](thread_Settings *s) {
             s->test_flags |= TEST_ISOCH;
             s->frame_rate = 60;
             s->isoch_mean = 20000000;
         },
         0, 0, 80, tcp_base(0x400100A0).at(32, {0x00, 0x01}).b},
        {"permit key of 10 characters: 62 in the flags, 72 in all",
         [](thread_Settings *s) {
             s->test_flags |= TEST_PERMIT_KEY;
             strcpy(s->permit_key, "abcdefghij");
         },
         0, 0, 72,
         tcp_base(0x5001007C)
             .at(60, {0x00, 0x0A})
             .at(62, {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j'})
             .b},
        {"the server's sending side never sends a key",
         [](thread_Settings *s) {
             s->test_flags |= TEST_PERMIT_KEY | TEST_SERVER_REVERSE;
             strcpy(s->permit_key, "abcdefghij");
         },
         0, 0, 60, tcp_base(0x40010078).b},
        {"byte amount above 31 bits saturates",
         [](thread_Settings *s) {
             s->option_flags &= ~OPT_TIME_MODE;
             s->amount = 3000000000ULL;
         },
         0, 0, 60, tcp_base(0x40010078).at(20, {0x7F, 0xFF, 0xFF, 0xFF}).b},
        {"time longer than the word holds: INT32_MIN",
         [](thread_Settings *s) { s->amount = 0x80000005ULL; }, 0, 0, 60,
         tcp_base(0x40010078).at(20, {0x80, 0x00, 0x00, 0x00}).b},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Record client;
        as_client(client.s);
        c.setup(client.s);
        const Generated g = generate(client.s, c.start_sec, c.start_usec);
        EXPECT_EQ(g.len, c.len);
        expect_prefix(g.buf, c.bytes);
    }
}

TEST(HeadersClientTcp, BounceBackHeaderIsOnlyItsFlagWord) {
    Record client;
    as_client(client.s);
    client->extra_flags |= EXT_BOUNCEBACK;
    const Generated g = generate(client.s);
    EXPECT_EQ(g.len, 60);
    expect_prefix(g.buf, Buf{0x00, 0x80, 0x00, 0x00});
}

TEST(HeadersClientTcp, RefusesASmallBuffer) {
    Record client;
    as_client(client.s);
    Buf b(kTcpClientHdrSpace - 1, 0xEE);
    EXPECT_EQ(Settings_GenerateClientHdr(client.s, b.data(), b.size(), 0, 0), kHdr_TooShort);
    EXPECT_EQ(b, Buf(kTcpClientHdrSpace - 1, 0xEE));
}

TEST(HeadersClientUdp, GoldenHeaders) {
    struct Case {
        const char *name;
        std::function<void(thread_Settings *)> setup;
        int len;
        Buf bytes;
    };
    const Case cases[] = {
        {"plain test: rate 1048576, 76 bytes", [](thread_Settings *) {}, 76,
         udp_base(0x48010098).b},
        {"--no-udp-fin alone", [](thread_Settings *s) { s->test_flags |= TEST_NO_UDP_FIN; }, 76,
         udp_base(0x68010098).at(48, {0x00, 0x08}).b},
        {"dual test", [](thread_Settings *s) { s->test_mode = kTest_DualTest; }, 76,
         udp_base(0xC8010099).b},
        {"L2 checks over IPv6",
         [](thread_Settings *s) {
             s->test_flags |= TEST_L2CHECKS;
             s->option_flags |= OPT_IPV6;
         },
         76, udp_base(0x68010098).at(48, {0x00, 0x06}).b},
        {"trip times and pacing rate: 108 bytes",
         [](thread_Settings *s) {
             s->test_flags |= TEST_TRIP_TIMES | TEST_FQ_RATE;
             s->fq_rate = 0x200000001ULL;
         },
         108,
         udp_base(0x680100D8)
             .at(48, {0x02, 0x10})
             .at(112, {0x65, 0x00, 0x00, 0x00, 0x00, 0x01, 0xE2, 0x40})
             .at(120, {0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02})
             .b},
        {"reverse isochronous: block at 128, 140 bytes",
         [](thread_Settings *s) {
             s->test_flags |= TEST_ISOCH | TEST_REVERSE;
             s->frame_rate = 60;
             s->isoch_mean = 20000000;
             s->burst_ipg = 0.000005;
         },
         140,
         udp_base(0x6C010118)
             .at(48, {0x04, 0x41})
             .at(128, {0x00, 0x00, 0x00, 0x3C})
             .at(136, {0x01, 0x31, 0x2D, 0x00})
             .at(152, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05})
             .b},
        {"isochronous one way", [](thread_Settings *s) { s->test_flags |= TEST_ISOCH; }, 108,
         udp_base(0x680100D8).at(48, {0x00, 0x01}).b},
        {"packet rate of a reverse test goes out in bits per second",
         [](thread_Settings *s) {
             s->test_flags |= TEST_REVERSE;
             s->rate = 100;
             s->rate_units = kRate_PPS;
         },
         76, udp_base(0x6C010098).at(48, {0x04, 0x00}).at(64, {0x00, 0x11, 0xF1, 0xC0}).b},
        {"packet rate of a one-way test goes out as given",
         [](thread_Settings *s) {
             s->rate = 100;
             s->rate_units = kRate_PPS;
         },
         76, udp_base(0x48010098).at(64, {0x00, 0x00, 0x00, 0x64}).b},
        {"short trip-time datagrams: the flags word only",
         [](thread_Settings *s) { s->extra_flags |= EXT_SMALL_TRIPTIME; }, 20,
         Golden(20).at(16, {0x00, 0x02, 0x00, 0x00}).b},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Record client;
        as_udp_client(client.s);
        c.setup(client.s);
        const Generated g = generate(client.s, kNow, 123456);
        EXPECT_EQ(g.len, c.len);
        expect_prefix(g.buf, c.bytes);
    }
}

TEST(HeadersClientV1, BlockAlone) {
    Record client;
    as_client(client.s);
    client->threads = 4;
    client->option_flags |= OPT_LEN_SET;
    client->buf_len = 100;
    uint8_t v1[24];
    memset(v1, 0xEE, sizeof(v1));
    EXPECT_EQ(Settings_GenerateClientHdrV1(client.s, v1), 24);
    const Buf want = Golden(24)
                         .at(4, {0x00, 0x00, 0x00, 0x04})
                         .at(8, {0x00, 0x00, 0x13, 0x89})
                         .at(12, {0x00, 0x00, 0x00, 0x64})
                         .at(20, {0xFF, 0xFF, 0xFC, 0x18})
                         .b;
    EXPECT_EQ(Buf(v1, v1 + 24), want);
}

TEST(HeadersClientV1, DecodedIntoASendingRecord) {
    struct Case {
        std::initializer_list<uint8_t> amount;
        bool time_mode;
        uint64_t value;
    };
    const Case cases[] = {
        {{0x00, 0x00, 0x00, 0x00}, false, 0},
        {{0xFF, 0xFF, 0xFF, 0xFF}, true, 1},
        {{0x80, 0x00, 0x00, 0x00}, true, 2147483648ULL},
        {{0x7F, 0xFF, 0xFF, 0xFF}, false, 2147483647ULL},
        {{0xFF, 0xFF, 0xFC, 0x18}, true, 1000},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.value);
        const Buf v1 = Golden(24)
                           .at(4, {0x00, 0x00, 0x00, 0x08})
                           .at(8, {0x00, 0x00, 0x17, 0x71})
                           .at(12, {0x00, 0x20, 0x00, 0x00})
                           .at(20, c.amount)
                           .b;
        Record s;
        s->buf_len = 100;
        Settings_AllocateBuffer(s.s);
        auto in = exact(v1.data(), 24);
        ASSERT_EQ(Settings_ReadClientSettingsV1(s.s, in.get(), 24), kHdr_Ok);
        EXPECT_EQ(s->port, 6001);
        EXPECT_EQ(s->threads, 1);
        EXPECT_EQ(s->buf_len, 0x200000);
        EXPECT_TRUE(s->option_flags & OPT_LEN_SET);
        EXPECT_EQ((s->option_flags & OPT_TIME_MODE) != 0, c.time_mode);
        EXPECT_EQ(s->amount, c.value);
        // The buffer grew with the peer's length.
        memset(s->buf, 0, Settings_BufferSize(s->buf_len));
    }
    // Refused: nothing changes.
    Record s;
    const Buf bad = Golden(24).at(12, {0xFF, 0xFF, 0xFF, 0xFF}).b;
    EXPECT_EQ(Settings_ReadClientSettingsV1(s.s, bad.data(), 24), kHdr_BadValue);
    EXPECT_EQ(s->buf_len, 131072);
    EXPECT_EQ(s->port, 5001);
    EXPECT_FALSE(s->option_flags & OPT_LEN_SET);
}

// ---------------------------------------------------------------------------
// The server side of the test header
// ---------------------------------------------------------------------------

TEST(HeadersServer, HeaderLengthFromFlags) {
    struct Case {
        const char *name;
        uint32_t flags;
        bool key_server;
        int len;
    };
    const Case cases[] = {
        {"no header", 0, false, 0},
        {"payload of a compatible client", 0x30313233, false, 0},
        {"plain test", 0x40010078, false, 60},
        {"HDR_V1 alone", HDR_V1, false, 24},
        {"HDR_V2 alone", HDR_V2, false, 36},
        {"HDR_EXTEND without HDR_LEN", HDR_EXTEND, false, 60},
        {"HDR_V1 | HDR_V2", HDR_V1 | HDR_V2, false, 60},
        {"with a key", 0x5001007C, true, 62},
        {"longest announced length", 0x400101FE, false, 255},
        {"key server, no header", 0, true, 0},
        {"announced length below the extended fields", HDR_EXTEND | HDR_LEN | 80, false,
         kHdr_BadLength},
        {"announced length 1", HDR_LEN | 2, true, kHdr_BadLength},
        {"announced 60 with a key", 0x50010078, true, kHdr_BadLength},
        {"key without HDR_LEN", HDR_EXTEND | HDR_KEYCHECK, true, kHdr_BadLength},
        {"announced 0 with HDR_V1", HDR_V1 | HDR_LEN, false, kHdr_BadLength},
    };
    Record server;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        server->test_flags = c.key_server ? TEST_PERMIT_KEY : 0;
        EXPECT_EQ(Settings_ClientTestHdrLen(c.flags, server.s), c.len);
    }
}

TEST(HeadersServer, KeyLength) {
    Golden g = tcp_base(0x5001007C, 72);
    g.at(60, {0x00, 0x0A});
    EXPECT_EQ(Settings_ClientKeyLen(g.b.data(), 62, 62), 10);
    EXPECT_EQ(Settings_ClientKeyLen(g.b.data(), 61, 62), kHdr_TooShort);
    EXPECT_EQ(Settings_ClientKeyLen(g.b.data(), 4, 4), kHdr_TooShort);
    g.at(60, {0x00, 0x03});
    EXPECT_EQ(Settings_ClientKeyLen(g.b.data(), 62, 62), kHdr_BadLength);
    g.at(60, {0x00, 0x81});
    EXPECT_EQ(Settings_ClientKeyLen(g.b.data(), 62, 62), kHdr_BadLength);
    g.at(60, {0xFF, 0xFF});
    EXPECT_EQ(Settings_ClientKeyLen(g.b.data(), 62, 62), kHdr_BadLength);
}

TEST(HeadersServer, AcknowledgementWanted) {
    EXPECT_TRUE(Settings_TestAckWanted(0x40010078));
    EXPECT_TRUE(Settings_TestAckWanted(0x46010078));
    EXPECT_FALSE(Settings_TestAckWanted(0x44010078));
    EXPECT_FALSE(Settings_TestAckWanted(HDR_V1));
    EXPECT_FALSE(Settings_TestAckWanted(0));
}

TEST(HeadersServer, DecodesTcpHeaders) {
    struct Case {
        const char *name;
        Buf bytes;
        std::function<void(const thread_Settings *)> check;
    };
    const Case cases[] = {
        {"plain", tcp_base(0x40010078, 60).b,
         [](const thread_Settings *s) {
             EXPECT_EQ(s->first_read_len, 60);
             EXPECT_EQ(s->test_mode, kTest_Normal);
             EXPECT_EQ(s->peer_version_hi, 0x00020001u);
             EXPECT_EQ(s->peer_version_lo, 0x00080003u);
             EXPECT_EQ(s->thread_mode, kMode_Server);
             EXPECT_EQ(s->test_flags, 0u);
         }},
        {"dual", tcp_base(0xC0010079, 60).b,
         [](const thread_Settings *s) { EXPECT_EQ(s->test_mode, kTest_DualTest); }},
        {"tradeoff", tcp_base(0xC0010078, 60).b,
         [](const thread_Settings *s) { EXPECT_EQ(s->test_mode, kTest_TradeOff); }},
        {"dual with peer detection is no legacy request", tcp_base(0xC6010079, 60).b,
         [](const thread_Settings *s) { EXPECT_EQ(s->test_mode, kTest_Normal); }},
        {"tos and quick-ack", tcp_base(0x40010078, 60).at(32, {0x80, 0x00}).at(46, {0x00, 0xB8}).b,
         [](const thread_Settings *s) {
             EXPECT_EQ(s->tos, 0xB8);
             EXPECT_TRUE(s->extra_flags & EXT_QUICKACK);
         }},
        {"reverse makes the record a client",
         tcp_base(0x44010078, 60).at(32, {0x44, 0x00}).at(56, {0x00, 0x00, 0x40, 0x00}).b,
         [](const thread_Settings *s) {
             EXPECT_EQ(s->thread_mode, kMode_Client);
             EXPECT_TRUE(s->test_flags & TEST_SERVER_REVERSE);
             EXPECT_FALSE(s->test_flags & TEST_FULL_DUPLEX);
             EXPECT_EQ(s->write_prefetch, 16384);
             EXPECT_TRUE(s->extra_flags & EXT_WRITE_PREFETCH);
         }},
        {"full duplex", tcp_base(0x44010078, 60).at(32, {0x08, 0x00}).b,
         [](const thread_Settings *s) {
             EXPECT_EQ(s->thread_mode, kMode_Server);
             EXPECT_EQ(s->test_flags & (TEST_FULL_DUPLEX | TEST_SERVER_REVERSE),
                       TEST_FULL_DUPLEX | TEST_SERVER_REVERSE);
         }},
        {"write prefetch of a one-way test is ignored",
         tcp_base(0x40010078, 60).at(32, {0x40, 0x00}).at(56, {0x00, 0x00, 0x40, 0x00}).b,
         [](const thread_Settings *s) {
             EXPECT_EQ(s->write_prefetch, 0);
             EXPECT_FALSE(s->extra_flags & EXT_WRITE_PREFETCH);
         }},
        {"trip times within the window",
         tcp_base(0x400100A0, 80)
             .at(32, {0x00, 0x10})
             .at(64, {0x65, 0x00, 0x02, 0x59, 0x00, 0x0F, 0x42, 0x3F})
             .b,
         [](const thread_Settings *s) {
             EXPECT_TRUE(s->test_flags & TEST_TRIP_TIMES);
             EXPECT_TRUE(s->option_flags & OPT_ENHANCED);
             EXPECT_EQ(s->trip_start_sec, kNow + 601);
             EXPECT_EQ(s->trip_start_usec, 999999);
         }},
        {"scheduled start an hour ahead",
         tcp_base(0x400100A0, 80).at(32, {0x10, 0x00}).at(64, {0x65, 0x00, 0x0E, 0x11}).b,
         [](const thread_Settings *s) {
             EXPECT_TRUE(s->test_flags & TEST_TXSTART);
             EXPECT_EQ(s->txstart_sec, kNow + 3601);
         }},
        {"burst with frame rate 0 runs one burst a second",
         tcp_base(0x400100B8, 92).at(32, {0x20, 0x00}).at(88, {0x00, 0x10, 0x00, 0x00}).b,
         [](const thread_Settings *s) {
             EXPECT_TRUE(s->extra_flags & EXT_BURST);
             EXPECT_TRUE(s->test_flags & TEST_FRAME_INTERVAL);
             EXPECT_TRUE(s->option_flags & OPT_ENHANCED);
             EXPECT_EQ(s->frame_rate, 1.0);
         }},
        {"isochronous", tcp_base(0x400100A0, 80).at(32, {0x00, 0x01}).b,
         [](const thread_Settings *s) { EXPECT_TRUE(s->test_flags & TEST_ISOCH); }},
        {"no header at all", Buf{0x30, 0x31, 0x32, 0x33},
         [](const thread_Settings *s) {
             EXPECT_EQ(s->test_flags, 0u);
             EXPECT_EQ(s->first_read_len, 4);
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Record server;
        server->thread_mode = kMode_Server;
        auto in = exact(c.bytes.data(), c.bytes.size());
        testing::internal::CaptureStdout();
        const int r = Settings_ReadClientHdrTcp(server.s, in.get(), c.bytes.size(), kNow);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        ASSERT_EQ(r, kHdr_Ok);
        c.check(server.s);
    }
}

TEST(HeadersServer, ClockWindowsDropStartAndTripTimes) {
    struct Case {
        const char *name;
        uint16_t upper;
        int64_t start_sec;
        uint32_t start_usec;
        const char *warning;
        uint32_t kept;  // test flags left set
    };
    const char *kTxWarn =
        "WARN: ignore --txstart-time because client didn't provide valid start timestamp within "
        "3600 seconds of now\n";
    const char *kTripWarn =
        "WARN: ignore --trip-times because client didn't provide valid start timestamp within "
        "600 seconds of now\n";
    const Case cases[] = {
        {"trip start 602 s away", UPPER_TRIP_TIMES, kNow - 602, 0, kTripWarn, 0},
        {"trip start 601 s away", UPPER_TRIP_TIMES, kNow - 601, 0, "", TEST_TRIP_TIMES},
        {"trip start with 10^6 microseconds", UPPER_TRIP_TIMES, kNow, 1000000, kTripWarn, 0},
        {"start two hours away", UPPER_START_TIME, kNow + 7200, 0, kTxWarn, 0},
        {"start 3601 s away", UPPER_START_TIME, kNow + 3601, 0, "", TEST_TXSTART},
        {"a valid start lets a distant trip start pass", UPPER_START_TIME | UPPER_TRIP_TIMES,
         kNow + 3000, 0, "", TEST_TXSTART | TEST_TRIP_TIMES},
        {"both dropped", UPPER_START_TIME | UPPER_TRIP_TIMES, kNow + 7200, 0,
         "WARN: ignore --txstart-time because client didn't provide valid start timestamp "
         "within 3600 seconds of now\n"
         "WARN: ignore --trip-times because client didn't provide valid start timestamp within "
         "600 seconds of now\n",
         0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const uint32_t sec = static_cast<uint32_t>(c.start_sec);
        for (bool udp : {false, true}) {
            SCOPED_TRACE(udp ? "udp" : "tcp");
            Golden g = udp ? udp_base(0x680100D8) : tcp_base(0x400100A0, 80);
            const size_t at = udp ? 112 : 64;
            g.at(udp ? 48 : 32, {uint8_t(c.upper >> 8), uint8_t(c.upper)});
            g.at(at, {uint8_t(sec >> 24), uint8_t(sec >> 16), uint8_t(sec >> 8), uint8_t(sec)});
            g.at(at + 4, {uint8_t(c.start_usec >> 24), uint8_t(c.start_usec >> 16),
                          uint8_t(c.start_usec >> 8), uint8_t(c.start_usec)});
            Record server;
            server->option_flags |= udp ? OPT_UDP : 0;
            testing::internal::CaptureStdout();
            const int r = udp ? Settings_ReadClientHdrUdp(server.s, g.b.data(), g.b.size(), kNow)
                              : Settings_ReadClientHdrTcp(server.s, g.b.data(), 80, kNow);
            EXPECT_EQ(testing::internal::GetCapturedStdout(), c.warning);
            ASSERT_EQ(r, kHdr_Ok);
            EXPECT_EQ(server->test_flags & (TEST_TXSTART | TEST_TRIP_TIMES), c.kept);
            if (!(c.kept & TEST_TRIP_TIMES)) {
                EXPECT_EQ(server->trip_start_sec, 0);
            }
            if (!(c.kept & TEST_TXSTART)) {
                EXPECT_EQ(server->txstart_sec, 0);
            }
        }
    }
}

TEST(HeadersServer, DecodesUdpFirstDatagrams) {
    struct Case {
        const char *name;
        Buf bytes;
        std::function<void(const thread_Settings *)> check;
    };
    const Case cases[] = {
        {"plain", udp_base(0x48010098, 1470).b,
         [](const thread_Settings *s) {
             EXPECT_TRUE(s->test_flags & TEST_SEQNO64);
             EXPECT_EQ(s->peer_version_hi, 0x00020001u);
             EXPECT_EQ(s->thread_mode, kMode_Server);
             EXPECT_TRUE(s->option_flags & OPT_IPV6);  // left alone without HDR_UDPTESTS
         }},
        {"reverse", udp_base(0x6C010098, 1470).at(48, {0x04, 0x00}).b,
         [](const thread_Settings *s) {
             EXPECT_EQ(s->thread_mode, kMode_Client);
             EXPECT_TRUE(s->test_flags & TEST_SERVER_REVERSE);
             EXPECT_TRUE(s->test_flags & TEST_NO_UDP_FIN);
             EXPECT_FALSE(s->option_flags & OPT_REPORT_SETTINGS);
         }},
        {"UDP tests: isochronous, L2 checks, no FIN, IPv4",
         udp_base(0x68010098, 1470).at(48, {0x00, 0x0D}).b,
         [](const thread_Settings *s) {
             EXPECT_TRUE(s->test_flags & TEST_ISOCH);
             EXPECT_TRUE(s->test_flags & TEST_L2CHECKS);
             EXPECT_TRUE(s->test_flags & TEST_NO_UDP_FIN);
             EXPECT_FALSE(s->option_flags & OPT_IPV6);
         }},
        {"full duplex", udp_base(0x6C010098, 1470).at(48, {0x08, 0x00}).b,
         [](const thread_Settings *s) {
             EXPECT_TRUE(s->test_flags & TEST_FULL_DUPLEX);
             EXPECT_TRUE(s->test_flags & TEST_SERVER_REVERSE);
             EXPECT_EQ(s->thread_mode, kMode_Server);
         }},
        {"dual", udp_base(0xC8010099, 1470).b,
         [](const thread_Settings *s) { EXPECT_EQ(s->test_mode, kTest_DualTest); }},
        {"short trip-time datagram",
         Golden(100)
             .at(3, {0x01})
             .at(4, {0x65, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x07})
             .at(16, {0x00, 0x02, 0x00, 0x00})
             .b,
         [](const thread_Settings *s) {
             EXPECT_TRUE(s->test_flags & TEST_TRIP_TIMES);
             EXPECT_TRUE(s->option_flags & OPT_ENHANCED);
             EXPECT_EQ(s->trip_start_sec, kNow + 5);
             EXPECT_EQ(s->trip_start_usec, 7);
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Record server;
        server->thread_mode = kMode_Server;
        server->option_flags |= OPT_UDP | OPT_IPV6 | OPT_REPORT_SETTINGS;
        auto in = exact(c.bytes.data(), c.bytes.size());
        testing::internal::CaptureStdout();
        const int r = Settings_ReadClientHdrUdp(server.s, in.get(), c.bytes.size(), kNow);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        ASSERT_EQ(r, kHdr_Ok);
        c.check(server.s);
    }
}

TEST(HeadersServer, ShortTripTimeDatagramOtherThanTheFirst) {
    const Buf b =
        Golden(20).at(3, {0x03}).at(4, {0x65, 0x00, 0x00, 0x00}).at(16, {0x08, 0x02, 0x00, 0x00}).b;
    Record server;
    server->option_flags |= OPT_UDP;
    testing::internal::CaptureStdout();
    EXPECT_EQ(Settings_ReadClientHdrUdp(server.s, b.data(), b.size(), kNow), kHdr_Ok);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "WARN: first received packet (id=3) was not first sent packet, report start time "
              "will be off\n");
    EXPECT_TRUE(server->test_flags & TEST_SEQNO64);
    EXPECT_TRUE(server->test_flags & TEST_TRIP_TIMES);
}

// A peer's header that is inconsistent or out of bounds costs that test, and
// nothing of it reaches the record.
TEST(HeadersHostile, RefusedWithoutTouchingTheRecord) {
    struct Case {
        const char *name;
        bool udp;
        Buf bytes;
        int want;
    };
    auto tcp = [](uint32_t flags, size_t n) { return tcp_base(flags, n); };
    auto udp = [](uint32_t flags, size_t n) { return udp_base(flags, n); };
    const Case cases[] = {
        {"buf_len of 2 GiB", false, tcp(0x40010078, 60).at(12, {0x80, 0x00, 0x00, 0x00}).b,
         kHdr_BadValue},
        {"buf_len above 16 MiB", false, tcp(0x40010078, 60).at(12, {0x01, 0x00, 0x00, 0x01}).b,
         kHdr_BadValue},
        {"UDP buf_len above 65535", true, udp(0x48010098, 1470).at(28, {0x00, 0x01, 0x00, 0x00}).b,
         kHdr_BadValue},
        {"negative thread count", false, tcp(0x40010078, 60).at(4, {0xFF, 0xFF, 0xFF, 0xFF}).b,
         kHdr_BadValue},
        {"thread count above the bound", false,
         tcp(0x40010078, 60).at(4, {0x00, 0x01, 0x00, 0x00}).b, kHdr_BadValue},
        {"port above 65535", false, tcp(0x40010078, 60).at(8, {0x00, 0x01, 0x00, 0x00}).b,
         kHdr_BadValue},
        {"type of service above 255", false, tcp(0x40010078, 60).at(46, {0x01, 0x00}).b,
         kHdr_BadValue},
        {"absurd rate", false, tcp(0x40010078, 60).at(52, {0xFF, 0xFF, 0xFF, 0x00}).b,
         kHdr_BadValue},
        {"UDP rate 0", true, udp(0x48010098, 1470).at(64, {0x00, 0x00, 0x00, 0x00}).b,
         kHdr_BadValue},
        {"packet rate above the bound", true,
         udp(0x48010098, 1470).at(48, {0x00, 0x80}).at(64, {0x40, 0x00, 0x00, 0x00}).b,
         kHdr_BadValue},
        {"negative write prefetch", false,
         tcp(0x44010078, 60).at(32, {0x48, 0x00}).at(56, {0xFF, 0xFF, 0xFF, 0xFE}).b,
         kHdr_BadValue},
        {"reverse and full duplex at once", false, tcp(0x44010078, 60).at(32, {0x0C, 0x00}).b,
         kHdr_BadValue},
        {"burst and isochronous at once", false,
         tcp(0x400100B8, 92).at(32, {0x20, 0x01}).at(80, {0x00, 0x00, 0x00, 0x01}).b,
         kHdr_BadValue},
        {"negative burst rate", false,
         tcp(0x400100B8, 92).at(32, {0x20, 0x00}).at(80, {0xFF, 0xFF, 0xFF, 0xFF}).b,
         kHdr_BadValue},
        {"absurd burst rate", false,
         tcp(0x400100B8, 92).at(32, {0x20, 0x00}).at(80, {0x7F, 0x00, 0x00, 0x00}).b,
         kHdr_BadValue},
        {"negative burst size", false,
         tcp(0x400100B8, 92)
             .at(32, {0x20, 0x00})
             .at(80, {0x00, 0x00, 0x00, 0x01})
             .at(88, {0xFF, 0xFF, 0xFF, 0x00})
             .b,
         kHdr_BadValue},
        {"isochronous block with 0 frames per second", false,
         tcp(0x440100E0, 112).at(32, {0x04, 0x01}).b, kHdr_BadValue},
        {"isochronous block with a negative mean", false,
         tcp(0x440100E0, 112)
             .at(32, {0x04, 0x01})
             .at(80, {0x00, 0x00, 0x00, 0x3C})
             .at(88, {0xFF, 0xFF, 0xFF, 0xF0})
             .b,
         kHdr_BadValue},
        {"isochronous gap above the bound", true,
         udp(0x6C010118, 1470)
             .at(48, {0x04, 0x41})
             .at(128, {0x00, 0x00, 0x00, 0x3C})
             .at(152, {0x00, 0x01, 0x00, 0x00})
             .b,
         kHdr_BadValue},
        {"announced 112 bytes, 60 arrived", false, tcp(0x400100E0, 60).b, kHdr_TooShort},
        {"announced 40 bytes with the extended flag", false, tcp(0x40010050, 60).b, kHdr_BadLength},
        {"trip times in a 60-byte header", false, tcp(0x40010078, 60).at(32, {0x00, 0x10}).b,
         kHdr_BadLength},
        {"pacing rate in a 60-byte header", false, tcp(0x40010078, 60).at(32, {0x02, 0x00}).b,
         kHdr_BadLength},
        {"burst in a 60-byte header", false, tcp(0x40010078, 60).at(32, {0x20, 0x00}).b,
         kHdr_BadLength},
        {"key without HDR_LEN", false, tcp(0x50000000, 60).b, kHdr_BadLength},
        {"bounceback flag in a test header", false, tcp(0x40810078, 60).b, kHdr_BadValue},
        {"UDP datagram shorter than its announced length", true, udp(0x48010118, 120).b,
         kHdr_TooShort},
        {"UDP isochronous block announced, 140 bytes arrived", true,
         udp(0x6C010118, 140).at(48, {0x04, 0x41}).b, kHdr_TooShort},
        {"UDP trip times, 119 bytes arrived", true, udp(0x680100D8, 119).at(48, {0x00, 0x10}).b,
         kHdr_TooShort},
        {"UDP pacing rate, 127 bytes arrived", true, udp(0x680100D8, 127).at(48, {0x02, 0x00}).b,
         kHdr_TooShort},
        {"UDP datagram of 19 bytes", true, Golden(19).b, kHdr_TooShort},
        {"UDP announced length below the extended fields", true, udp(0x48010040, 1470).b,
         kHdr_BadLength},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        auto in = exact(c.bytes.data(), c.bytes.size());
        const int len = static_cast<int>(c.bytes.size());
        ClientHdr h;
        EXPECT_EQ(hdr_client_read(in.get(), len, c.udp, &h), c.want);

        Record server;
        server->thread_mode = kMode_Server;
        server->option_flags |= c.udp ? OPT_UDP : 0;
        const uint32_t of = server->option_flags;
        const int32_t buf_len = server->buf_len;
        testing::internal::CaptureStdout();
        const int r = c.udp ? Settings_ReadClientHdrUdp(server.s, in.get(), len, kNow)
                            : Settings_ReadClientHdrTcp(server.s, in.get(), len, kNow);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(r, c.want);
        EXPECT_EQ(server->option_flags, of);
        EXPECT_EQ(server->test_flags, 0u);
        EXPECT_EQ(server->extra_flags, 0u);
        EXPECT_EQ(server->thread_mode, kMode_Server);
        EXPECT_EQ(server->test_mode, kTest_Normal);
        EXPECT_EQ(server->tos, 0);
        EXPECT_EQ(server->first_read_len, 0);

        // The sending side is not built from it either.
        server->test_flags |= TEST_FULL_DUPLEX;
        thread_Settings *client = reinterpret_cast<thread_Settings *>(1);
        EXPECT_EQ(Settings_GenerateClientSettings(server.s, &client, in.get(), len), c.want);
        EXPECT_EQ(client, nullptr);
        EXPECT_EQ(server->buf_len, buf_len);
        EXPECT_EQ(server->amount, 1000u);
    }
}

TEST(HeadersHostile, BoundsThemselvesAreAccepted) {
    // The largest values inside the bounds still pass.
    const Buf tcp = tcp_base(0x40010078, 60)
                        .at(4, {0x00, 0x00, 0xFF, 0xFF})
                        .at(8, {0x00, 0x00, 0xFF, 0xFF})
                        .at(12, {0x01, 0x00, 0x00, 0x00})
                        .at(20, {0x80, 0x00, 0x00, 0x00})
                        .at(46, {0x00, 0xFF})
                        .b;
    ClientHdr h;
    ASSERT_EQ(hdr_client_read(tcp.data(), 60, false, &h), kHdr_Ok);
    EXPECT_EQ(h.threads, 65535);
    EXPECT_EQ(h.port, 65535);
    EXPECT_EQ(h.buf_len, 16 * 1024 * 1024);
    EXPECT_EQ(h.amount, INT32_MIN);
    EXPECT_EQ(h.tos, 255);
}

// ---------------------------------------------------------------------------
// Truncation by one byte: every decoder refuses it
// ---------------------------------------------------------------------------

TEST(HeadersTruncation, EveryFormatOneByteShort) {
    Record tcp_client;
    as_client(tcp_client.s);
    tcp_client->test_flags |= TEST_TRIP_TIMES | TEST_ISOCH | TEST_FULL_DUPLEX;
    tcp_client->frame_rate = 30;
    const Generated tcp112 = generate(tcp_client.s, kNow, 0);
    ASSERT_EQ(tcp112.len, 112);
    Record udp_client;
    as_udp_client(udp_client.s);
    const Generated udp76 = generate(udp_client.s, kNow, 0);
    ASSERT_EQ(udp76.len, 76);
    udp_client->test_flags |= TEST_ISOCH | TEST_REVERSE;
    udp_client->frame_rate = 30;
    const Generated udp_isoch = generate(udp_client.s, kNow, 0);

    struct Case {
        const char *name;
        const uint8_t *bytes;
        int full;
        std::function<int(const uint8_t *, int)> decode;
    };
    Buf ack(52), burst(92), isoch(108), bb(64), report(128), v1(24), block(32), small(20);
    TestAck a = TestAck();
    a.trip_times = true;
    hdr_ack_write(ack.data(), ack.size(), a);
    Buf ack28(28);
    a.trip_times = false;
    hdr_ack_write(ack28.data(), ack28.size(), a);
    BounceBackHdr b = BounceBackHdr();
    b.flags = HDR_BOUNCEBACK;
    b.size = 64;
    hdr_bounceback_write(bb.data(), bb.size(), b);
    UdpServerReport sr = UdpServerReport();
    hdr_server_report_write(report.data(), report.size(), sr);
    Buf report_ext(116), report_plain(56);
    report_ext.at(16) = 0xC0;  // HDR_V1 | HDR_EXTEND
    report_plain.at(16) = 0x80;
    Golden(24).at(8, {0x00, 0x00, 0x13, 0x89}).b.swap(v1);
    Golden(32).at(0, {0x00, 0x00, 0x00, 0x01}).b.swap(block);
    Golden(20).at(16, {0x00, 0x02, 0x00, 0x00}).b.swap(small);

    Record server;
    const Case cases[] = {
        {"TCP header of 112 bytes", tcp112.buf.data(), 112,
         [](const uint8_t *p, int n) {
             ClientHdr h;
             return hdr_client_read(p, n, false, &h);
         }},
        {"UDP header of 76 bytes", udp76.buf.data(), 76,
         [](const uint8_t *p, int n) {
             ClientHdr h;
             return hdr_client_read(p, n, true, &h);
         }},
        {"UDP isochronous block", udp_isoch.buf.data(), 160,
         [](const uint8_t *p, int n) {
             ClientHdr h;
             return hdr_client_read(p, n, true, &h);
         }},
        {"short trip-time datagram", small.data(), 20,
         [](const uint8_t *p, int n) {
             ClientHdr h;
             return hdr_client_read(p, n, true, &h);
         }},
        {"client_hdr_v1", v1.data(), 24,
         [&](const uint8_t *p, int n) { return Settings_ReadClientSettingsV1(server.s, p, n); }},
        {"isochronous block", block.data(), 32,
         [&](const uint8_t *p, int n) { return Settings_ReadClientSettingsIsoch(server.s, p, n); }},
        {"UDP datagram header", report.data(), 16,
         [](const uint8_t *p, int n) {
             UdpHdr h;
             return hdr_udp_read(p, n, true, &h);
         }},
        {"acknowledgement of 28 bytes", ack28.data(), 28,
         [](const uint8_t *p, int n) {
             TestAck x;
             return hdr_ack_read(p, n, &x);
         }},
        {"acknowledgement of 52 bytes", ack.data(), 52,
         [](const uint8_t *p, int n) {
             TestAck x;
             return hdr_ack_read(p, n, &x);
         }},
        {"TCP burst header", burst.data(), 92,
         [](const uint8_t *p, int n) {
             TcpBurstHdr x;
             return hdr_burst_read(p, n, &x);
         }},
        {"UDP isochronous fields", isoch.data(), 108,
         [](const uint8_t *p, int n) {
             UdpIsochFields x;
             return hdr_isoch_read(p, n, &x);
         }},
        {"bounceback header", bb.data(), 64,
         [](const uint8_t *p, int n) {
             BounceBackHdr x;
             return hdr_bounceback_read(p, n, &x);
         }},
        {"bounceback header into settings", bb.data(), 64,
         [&](const uint8_t *p, int n) { return Settings_ReadBounceBackHdr(server.s, p, n, 64); }},
        {"server report with 64-bit counts", report.data(), 128,
         [](const uint8_t *p, int n) {
             UdpServerReport x;
             return hdr_server_report_read(p, n, &x);
         }},
        {"server report, extended", report_ext.data(), 116,
         [](const uint8_t *p, int n) {
             UdpServerReport x;
             return hdr_server_report_read(p, n, &x);
         }},
        {"server report, plain", report_plain.data(), 56,
         [](const uint8_t *p, int n) {
             UdpServerReport x;
             return hdr_server_report_read(p, n, &x);
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        auto whole = exact(c.bytes, c.full);
        EXPECT_EQ(c.decode(whole.get(), c.full), kHdr_Ok);
        auto shorter = exact(c.bytes, c.full - 1);
        EXPECT_EQ(c.decode(shorter.get(), c.full - 1), kHdr_TooShort);
    }
}

TEST(HeadersTruncation, WritersRefuseASmallBuffer) {
    Buf b(200, 0xEE);
    const Buf untouched = b;
    EXPECT_EQ(hdr_ack_write(b.data(), 27, TestAck()), kHdr_TooShort);
    TestAck trip = TestAck();
    trip.trip_times = true;
    EXPECT_EQ(hdr_ack_write(b.data(), 51, trip), kHdr_TooShort);
    EXPECT_EQ(hdr_burst_write(b.data(), 91, TcpBurstHdr()), kHdr_TooShort);
    EXPECT_EQ(hdr_burst_write_period(b.data(), 91, 1), kHdr_TooShort);
    EXPECT_EQ(hdr_isoch_write(b.data(), 107, UdpIsochFields()), kHdr_TooShort);
    EXPECT_EQ(hdr_bounceback_write(b.data(), 63, BounceBackHdr()), kHdr_TooShort);
    EXPECT_EQ(hdr_bounceback_stamp_recv(b.data(), 63, 1, 1), kHdr_TooShort);
    EXPECT_EQ(hdr_bounceback_stamp_send(b.data(), 63, 1, 1, 1), kHdr_TooShort);
    EXPECT_EQ(hdr_server_report_write(b.data(), 127, UdpServerReport()), kHdr_TooShort);
    Record server;
    EXPECT_EQ(Settings_GenerateTestAck(server.s, b.data(), 27, 0, 0), kHdr_TooShort);
    Record udp_client;
    as_udp_client(udp_client.s);
    EXPECT_EQ(Settings_GenerateClientHdr(udp_client.s, b.data(), 159, 0, 0), kHdr_TooShort);
    EXPECT_EQ(b, untouched);
}

// ---------------------------------------------------------------------------
// Round trips of every optional part through thread_Settings
// ---------------------------------------------------------------------------

TEST(HeadersRoundTrip, TcpFullDuplexWithEveryOption) {
    Record client;
    as_client(client.s);
    client->test_flags |= TEST_FULL_DUPLEX | TEST_ISOCH | TEST_TRIP_TIMES | TEST_FQ_RATE;
    client->extra_flags |= EXT_WRITE_PREFETCH | EXT_QUICKACK;
    client->option_flags |= OPT_RATE_SET | OPT_LEN_SET;
    client->rate = 5000000000ULL;
    client->buf_len = 262144;
    client->tos = 0x20;
    client->fq_rate = 1000000000ULL;
    client->write_prefetch = 8192;
    client->frame_rate = 30;
    client->isoch_mean = 10000000;
    client->variance = 0.5;
    client->burst_ipg = 0.25;
    client->amount = 1500;
    client->port = 5002;
    const Generated g = generate(client.s, kNow + 1, 250000);
    ASSERT_EQ(g.len, 112);

    Record server;
    server->thread_mode = kMode_Server;
    server->buf_len = 1000;
    Settings_AllocateBuffer(server.s);
    const int sock = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(sock, 0);
    server->sock = sock;
    ASSERT_EQ(Settings_ReadClientHdrTcp(server.s, g.buf.data(), g.len, kNow), kHdr_Ok);
    EXPECT_EQ(server->test_flags &
                  (TEST_FULL_DUPLEX | TEST_SERVER_REVERSE | TEST_ISOCH | TEST_TRIP_TIMES),
              TEST_FULL_DUPLEX | TEST_SERVER_REVERSE | TEST_ISOCH | TEST_TRIP_TIMES);
    EXPECT_EQ(server->trip_start_sec, kNow + 1);
    EXPECT_EQ(server->trip_start_usec, 250000);
    EXPECT_EQ(server->tos, 0x20);
    EXPECT_TRUE(server->extra_flags & EXT_QUICKACK);
    EXPECT_TRUE(server->extra_flags & EXT_WRITE_PREFETCH);
    EXPECT_EQ(server->write_prefetch, 8192);

    thread_Settings *sender = nullptr;
    ASSERT_EQ(Settings_GenerateClientSettings(server.s, &sender, g.buf.data(), g.len), kHdr_Ok);
    ASSERT_NE(sender, nullptr);
    ASSERT_NE(sender, server.s);
    EXPECT_EQ(sender->thread_mode, kMode_Client);
    EXPECT_EQ(sender->port, 5002);
    EXPECT_EQ(sender->threads, 1);
    EXPECT_EQ(sender->buf_len, 262144);
    EXPECT_TRUE(sender->option_flags & OPT_LEN_SET);
    EXPECT_TRUE(sender->option_flags & OPT_TIME_MODE);
    EXPECT_EQ(sender->amount, 1500u);
    EXPECT_EQ(server->amount, 1700u);
    EXPECT_EQ(sender->rate, 5000000000ULL);
    EXPECT_EQ(sender->tos, 0x20);
    EXPECT_EQ(sender->fq_rate, 1000000000ULL);
    EXPECT_TRUE(sender->test_flags & TEST_FQ_RATE);
    EXPECT_TRUE(sender->test_flags & TEST_FULL_DUPLEX);
    EXPECT_DOUBLE_EQ(sender->frame_rate, 30);
    EXPECT_DOUBLE_EQ(sender->isoch_mean, 10000000);
    EXPECT_DOUBLE_EQ(sender->variance, 0.5);
    EXPECT_DOUBLE_EQ(sender->burst_ipg, 0.25);
    EXPECT_TRUE(sender->option_flags & OPT_NO_SETTINGS_REPORT);
    EXPECT_TRUE(sender->test_flags & TEST_NO_CONNECT_SYNC);
    EXPECT_EQ(sender->test_mode, kTest_Normal);
    // The sending side's buffer holds its larger writes.
    memset(sender->buf, 0x5A, Settings_BufferSize(sender->buf_len));
    // The pacing rate reached the socket.
    uint32_t pacing = 0;
    socklen_t plen = sizeof(pacing);
    ASSERT_EQ(getsockopt(sock, SOL_SOCKET, SO_MAX_PACING_RATE, &pacing, &plen), 0);
    EXPECT_EQ(pacing, 1000000000u);
    Settings_Destroy(sender);
    close(sock);
}

TEST(HeadersRoundTrip, TcpReverseBurstUsesTheServerRecord) {
    Record client;
    as_client(client.s);
    client->test_flags |= TEST_REVERSE | TEST_TRIP_TIMES;
    client->extra_flags |= EXT_BURST;
    client->frame_rate = 4;
    client->burst_size = 200000;
    client->option_flags &= ~OPT_TIME_MODE;
    client->amount = 123456789;
    const Generated g = generate(client.s, kNow, 0);
    ASSERT_EQ(g.len, 112);

    Record server;
    server->thread_mode = kMode_Server;
    ASSERT_EQ(Settings_ReadClientHdrTcp(server.s, g.buf.data(), g.len, kNow), kHdr_Ok);
    EXPECT_EQ(server->thread_mode, kMode_Client);
    EXPECT_TRUE(server->extra_flags & EXT_BURST);
    EXPECT_DOUBLE_EQ(server->frame_rate, 4);
    thread_Settings *sender = nullptr;
    ASSERT_EQ(Settings_GenerateClientSettings(server.s, &sender, g.buf.data(), g.len), kHdr_Ok);
    EXPECT_EQ(sender, server.s);
    EXPECT_EQ(server->burst_size, 200000);
    EXPECT_FALSE(server->option_flags & OPT_TIME_MODE);
    EXPECT_EQ(server->amount, 123456789u);
}

TEST(HeadersRoundTrip, TcpLegacyDualConnectsBack) {
    Record client;
    as_client(client.s);
    client->test_mode = kTest_DualTest;
    client->listen_port = 6001;
    client->option_flags |= OPT_LEN_SET;
    client->option_flags &= ~OPT_TIME_MODE;
    client->buf_len = 1000;
    client->amount = 50000;
    const Generated g = generate(client.s);
    ASSERT_EQ(g.len, 60);

    Record server;
    server->thread_mode = kMode_Server;
    sockaddr_in *peer = reinterpret_cast<sockaddr_in *>(&server->peer);
    peer->sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.1", &peer->sin_addr);
    ASSERT_EQ(Settings_ReadClientHdrTcp(server.s, g.buf.data(), g.len, kNow), kHdr_Ok);
    EXPECT_EQ(server->test_mode, kTest_DualTest);
    EXPECT_EQ(server->thread_mode, kMode_Server);
    thread_Settings *sender = nullptr;
    ASSERT_EQ(Settings_GenerateClientSettings(server.s, &sender, g.buf.data(), g.len), kHdr_Ok);
    ASSERT_NE(sender, nullptr);
    ASSERT_NE(sender, server.s);
    EXPECT_EQ(sender->test_mode, kTest_DualTest);
    EXPECT_TRUE(sender->test_flags & TEST_SERVER_REVERSE);
    EXPECT_EQ(sender->port, 6001);
    EXPECT_STREQ(sender->host, "127.0.0.1");
    EXPECT_EQ(sender->buf_len, 1000);
    EXPECT_EQ(sender->amount, 50000u);
    EXPECT_FALSE(sender->option_flags & OPT_TIME_MODE);
    EXPECT_EQ(server->amount, 50200u);
    Settings_Destroy(sender);
}

TEST(HeadersRoundTrip, OneWayTestBuildsNoSendingSide) {
    Record client;
    as_client(client.s);
    const Generated g = generate(client.s);
    Record server;
    ASSERT_EQ(Settings_ReadClientHdrTcp(server.s, g.buf.data(), g.len, kNow), kHdr_Ok);
    thread_Settings *sender = reinterpret_cast<thread_Settings *>(1);
    EXPECT_EQ(Settings_GenerateClientSettings(server.s, &sender, g.buf.data(), g.len), kHdr_Ok);
    EXPECT_EQ(sender, nullptr);
}

TEST(HeadersRoundTrip, TcpScheduledStartAndKey) {
    Record client;
    as_client(client.s);
    client->test_flags |= TEST_TXSTART | TEST_PERMIT_KEY;
    strcpy(client->permit_key, "sesame-open");
    const Generated g = generate(client.s, kNow + 100, 42);
    ASSERT_EQ(g.len, 80 + 2 + 11);
    uint32_t flags = 0;
    ASSERT_EQ(hdr_flags_read(g.buf.data(), 4, &flags), kHdr_Ok);
    Record server;
    server->test_flags |= TEST_PERMIT_KEY;
    const int hdr_len = Settings_ClientTestHdrLen(flags, server.s);
    ASSERT_EQ(hdr_len, 82);
    ASSERT_EQ(Settings_ClientKeyLen(g.buf.data(), hdr_len, hdr_len), 11);
    EXPECT_EQ(memcmp(g.buf.data() + hdr_len, "sesame-open", 11), 0);
    ASSERT_EQ(Settings_ReadClientHdrTcp(server.s, g.buf.data(), hdr_len, kNow), kHdr_Ok);
    EXPECT_TRUE(server->test_flags & TEST_TXSTART);
    EXPECT_EQ(server->txstart_sec, kNow + 100);
    EXPECT_EQ(server->txstart_usec, 42);
}

TEST(HeadersRoundTrip, UdpReverseIsochronous) {
    Record client;
    as_udp_client(client.s);
    client->test_flags |= TEST_REVERSE | TEST_ISOCH | TEST_TRIP_TIMES | TEST_FQ_RATE;
    client->option_flags |= OPT_LEN_SET;
    client->buf_len = 1200;
    client->frame_rate = 24;
    client->isoch_mean = 5000000;
    client->variance = 1.5;
    client->burst_ipg = 0.001;
    client->rate = 2000;
    client->rate_units = kRate_PPS;
    client->fq_rate = 12345678;
    Generated g = generate(client.s, kNow, 7);
    ASSERT_EQ(g.len, 140);
    ASSERT_EQ(hdr_udp_write(g.buf.data(), g.buf.size(), UdpHdr{1, kNow, 7}), 16);

    Record server;
    server->option_flags |= OPT_UDP | OPT_REPORT_SETTINGS;
    server->thread_mode = kMode_Server;
    const int dgram_len = 1200;
    Buf dgram(dgram_len, 0);
    memcpy(dgram.data(), g.buf.data(), 160);
    ASSERT_EQ(Settings_ReadClientHdrUdp(server.s, dgram.data(), dgram_len, kNow), kHdr_Ok);
    EXPECT_EQ(server->thread_mode, kMode_Client);
    EXPECT_TRUE(server->test_flags & TEST_ISOCH);
    EXPECT_TRUE(server->test_flags & TEST_TRIP_TIMES);
    EXPECT_TRUE(server->test_flags & TEST_SEQNO64);
    EXPECT_TRUE(server->test_flags & TEST_NO_UDP_FIN);
    thread_Settings *sender = nullptr;
    ASSERT_EQ(Settings_GenerateClientSettings(server.s, &sender, dgram.data(), dgram_len), kHdr_Ok);
    ASSERT_EQ(sender, server.s);
    EXPECT_EQ(sender->buf_len, 1200);
    EXPECT_EQ(sender->rate, 2000u * 8 * 1200);
    EXPECT_EQ(sender->rate_units, kRate_BW);
    EXPECT_DOUBLE_EQ(sender->frame_rate, 24);
    EXPECT_DOUBLE_EQ(sender->isoch_mean, 5000000);
    EXPECT_DOUBLE_EQ(sender->variance, 1.5);
    EXPECT_DOUBLE_EQ(sender->burst_ipg, 0.001);
    EXPECT_EQ(sender->fq_rate, 12345678u);
    EXPECT_TRUE(sender->test_flags & TEST_FQ_RATE);
}

TEST(HeadersRoundTrip, UdpFullDuplexL2ChecksIpv6) {
    Record client;
    as_udp_client(client.s);
    client->test_flags |= TEST_FULL_DUPLEX | TEST_L2CHECKS | TEST_NO_UDP_FIN;
    client->option_flags |= OPT_IPV6;
    client->tos = 0x48;
    Generated g = generate(client.s);
    ASSERT_EQ(g.len, 76);
    Record server;
    server->option_flags |= OPT_UDP;
    const int dgram_len = static_cast<int>(g.buf.size());
    ASSERT_EQ(Settings_ReadClientHdrUdp(server.s, g.buf.data(), dgram_len, kNow), kHdr_Ok);
    EXPECT_TRUE(server->option_flags & OPT_IPV6);
    EXPECT_TRUE(server->test_flags & TEST_L2CHECKS);
    EXPECT_TRUE(server->test_flags & TEST_FULL_DUPLEX);
    EXPECT_EQ(server->tos, 0x48);
    thread_Settings *sender = nullptr;
    ASSERT_EQ(Settings_GenerateClientSettings(server.s, &sender, g.buf.data(), dgram_len), kHdr_Ok);
    ASSERT_NE(sender, nullptr);
    EXPECT_TRUE(sender->test_flags & TEST_FULL_DUPLEX);
    EXPECT_TRUE(sender->test_flags & TEST_NO_UDP_FIN);
    EXPECT_EQ(sender->rate, 1048576u);
    Settings_Destroy(sender);
}

// ---------------------------------------------------------------------------
// Format 7: test acknowledgement
// ---------------------------------------------------------------------------

TEST(HeadersAck, GoldenBytesBothWays) {
    Record server;
    server->test_flags |= TEST_TRIP_TIMES;
    server->trip_start_sec = kNow;
    server->trip_start_usec = 1;
    server->accept_sec = kNow + 1;
    server->accept_usec = 999999;
    const Buf want52 = Golden(52)
                           .at(0, {0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x34})
                           .at(12, {0x00, 0x02, 0x00, 0x01, 0x00, 0x08, 0x00, 0x03})
                           .at(28, {0x65, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01})
                           .at(36, {0x65, 0x00, 0x00, 0x01, 0x00, 0x0F, 0x42, 0x3F})
                           .at(44, {0x65, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00})
                           .b;
    Buf out(60, 0xEE);
    ASSERT_EQ(Settings_GenerateTestAck(server.s, out.data(), out.size(), kNow + 2, 0), 52);
    expect_prefix(out, want52);
    TestAck a;
    ASSERT_EQ(hdr_ack_read(want52.data(), 52, &a), kHdr_Ok);
    EXPECT_TRUE(a.trip_times);
    EXPECT_EQ(a.version_hi, 0x00020001u);
    EXPECT_EQ(a.version_lo, 0x00080003u);
    EXPECT_EQ(a.start_sec, kNow);
    EXPECT_EQ(a.accept_usec, 999999);
    EXPECT_EQ(a.sent_sec, kNow + 2);

    server->test_flags = 0;
    const Buf want28 = Golden(28)
                           .at(0, {0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x1C})
                           .at(12, {0x00, 0x02, 0x00, 0x01, 0x00, 0x08, 0x00, 0x03})
                           .b;
    ASSERT_EQ(Settings_GenerateTestAck(server.s, out.data(), out.size(), kNow + 2, 0), 28);
    expect_prefix(out, want28);
    ASSERT_EQ(hdr_ack_read(want28.data(), 28, &a), kHdr_Ok);
    EXPECT_FALSE(a.trip_times);
    EXPECT_EQ(a.sent_sec, 0);
}

TEST(HeadersAck, HostileAcknowledgements) {
    TestAck a;
    const Buf wrong_type = Golden(28).at(3, {0x03}).at(7, {0x1C}).b;
    EXPECT_EQ(hdr_ack_read(wrong_type.data(), 28, &a), kHdr_BadValue);
    const Buf odd_length = Golden(28).at(3, {0x02}).at(7, {0x1D}).b;
    EXPECT_EQ(hdr_ack_read(odd_length.data(), 28, &a), kHdr_BadLength);
    const Buf huge_length = Golden(28).at(3, {0x02}).at(4, {0x7F, 0xFF, 0xFF, 0xFF}).b;
    EXPECT_EQ(hdr_ack_read(huge_length.data(), 28, &a), kHdr_BadLength);
    const Buf claims_52 = Golden(40).at(3, {0x02}).at(7, {0x34}).b;
    EXPECT_EQ(hdr_ack_read(claims_52.data(), 40, &a), kHdr_TooShort);
}

// ---------------------------------------------------------------------------
// Format 8: TCP burst header
// ---------------------------------------------------------------------------

TEST(HeadersBurst, GoldenBytesBothWaysLeavingOtherBytes) {
    const TcpBurstHdr h{kNow, 999999, kNow + 1, 5, 16666, 7, 1048576, 0x100000002ULL};
    Golden want(92);
    want.fill(0, 92, 0xEE);
    want.at(12, {0x65, 0x00, 0x00, 0x00, 0x00, 0x0F, 0x42, 0x3F})
        .at(20, {0x65, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x05})
        .at(40, {0x00, 0x00, 0x41, 0x1A})
        .at(44, {0x00, 0x00, 0x00, 0x07})
        .at(48, {0x00, 0x10, 0x00, 0x00})
        .at(52, {0x00, 0x00, 0x00, 0x02})
        .at(56, {0x00, 0x00, 0x00, 0x01});
    Buf out(92, 0xEE);
    ASSERT_EQ(hdr_burst_write(out.data(), out.size(), h), 92);
    EXPECT_EQ(out, want.b);
    auto in = exact(want.b.data(), 92);
    TcpBurstHdr r;
    ASSERT_EQ(hdr_burst_read(in.get(), 92, &r), kHdr_Ok);
    EXPECT_EQ(r.start_sec, kNow);
    EXPECT_EQ(r.start_usec, 999999);
    EXPECT_EQ(r.write_sec, kNow + 1);
    EXPECT_EQ(r.write_usec, 5);
    EXPECT_EQ(r.period_us, 16666u);
    EXPECT_EQ(r.burst_id, 7u);
    EXPECT_EQ(r.burst_size, 1048576u);
    EXPECT_EQ(r.byte_count, 0x100000002ULL);

    Buf period(92, 0);
    ASSERT_EQ(hdr_burst_write_period(period.data(), period.size(), 16666), 92);
    EXPECT_EQ(period, Golden(92).at(40, {0x00, 0x00, 0x41, 0x1A}).b);

    // A size the receiver cannot count in an int.
    Buf hostile = want.b;
    hostile[48] = 0x80;
    EXPECT_EQ(hdr_burst_read(hostile.data(), 92, &r), kHdr_BadValue);
}

// ---------------------------------------------------------------------------
// Format 9: UDP isochronous payload fields
// ---------------------------------------------------------------------------

TEST(HeadersIsoch, GoldenBytesBothWays) {
    const UdpIsochFields f{33333, kNow, 999999, 0xFFFFFFFF, 0, 3000, 60};
    Golden want(108);
    want.fill(0, 108, 0xEE);
    want.at(76, {0x00, 0x00, 0x82, 0x35})
        .at(80, {0x65, 0x00, 0x00, 0x00, 0x00, 0x0F, 0x42, 0x3F})
        .at(88, {0xFF, 0xFF, 0xFF, 0xFF})
        .at(92, {0x00, 0x00, 0x00, 0x00})
        .at(96, {0x00, 0x00, 0x0B, 0xB8})
        .at(100, {0x00, 0x00, 0x00, 0x3C});
    Buf out(108, 0xEE);
    ASSERT_EQ(hdr_isoch_write(out.data(), out.size(), f), 108);
    EXPECT_EQ(out, want.b);
    auto in = exact(want.b.data(), 108);
    UdpIsochFields r;
    ASSERT_EQ(hdr_isoch_read(in.get(), 108, &r), kHdr_Ok);
    EXPECT_EQ(r.period_us, 33333u);
    EXPECT_EQ(r.start_sec, kNow);
    EXPECT_EQ(r.start_usec, 999999);
    EXPECT_EQ(r.prev_frame_id, 0xFFFFFFFFu);
    EXPECT_EQ(r.frame_id, 0u);
    EXPECT_EQ(r.frame_bytes, 3000u);
    EXPECT_EQ(r.remaining, 60u);
}

// ---------------------------------------------------------------------------
// Format 10: bounceback message header
// ---------------------------------------------------------------------------

TEST(HeadersBounceBack, GoldenBytesBothWays) {
    BounceBackHdr h = BounceBackHdr();
    h.flags = HDR_BOUNCEBACK;
    h.size = 100;
    h.burst_id = 3;
    h.bb_flags = HDR_BB_QUICKACK | HDR_BB_TRIPTIMES | HDR_BB_TOS;
    h.tos = 0xB8;
    h.client_send_sec = kNow;
    h.client_send_usec = 999999;
    h.server_recv_sec = h.server_recv_usec = -1;
    h.server_send_sec = h.server_send_usec = -1;
    h.hold_us = 5000;
    const Buf want = Golden(64)
                         .at(0, {0x00, 0x80, 0x00, 0x00})
                         .at(4, {0x00, 0x00, 0x00, 0x64})
                         .at(8, {0x00, 0x00, 0x00, 0x03})
                         .at(12, {0xE0, 0x00, 0x00, 0xB8})
                         .at(20, {0x65, 0x00, 0x00, 0x00, 0x00, 0x0F, 0x42, 0x3F})
                         .fill(28, 16, 0xFF)
                         .at(44, {0x00, 0x00, 0x13, 0x88})
                         .fill(48, 16, 0x5A)
                         .b;
    Buf out(64, 0xEE);
    ASSERT_EQ(hdr_bounceback_write(out.data(), out.size(), h), 64);
    EXPECT_EQ(out, want);
    BounceBackHdr r;
    auto in = exact(want.data(), 64);
    ASSERT_EQ(hdr_bounceback_read(in.get(), 64, &r), kHdr_Ok);
    EXPECT_EQ(r.size, 100u);
    EXPECT_EQ(r.burst_id, 3u);
    EXPECT_EQ(r.bb_flags, 0xE000);
    EXPECT_EQ(r.tos, 0xB8);
    EXPECT_EQ(r.client_send_usec, 999999);
    EXPECT_EQ(r.server_recv_sec, -1);
    EXPECT_EQ(r.server_send_usec, -1);
    EXPECT_EQ(r.hold_us, 5000);

    // The server's stamps land at 28 and 36 (and the tos at 14).
    Buf msg = want;
    ASSERT_EQ(hdr_bounceback_stamp_recv(msg.data(), msg.size(), kNow + 1, 2), 64);
    ASSERT_EQ(hdr_bounceback_stamp_send(msg.data(), msg.size(), kNow + 1, 3, 0x20), 64);
    Buf stamped = want;
    Golden sg(64);
    sg.b = stamped;
    sg.at(14, {0x00, 0x20})
        .at(28, {0x65, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02})
        .at(36, {0x65, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x03});
    EXPECT_EQ(msg, sg.b);
    ASSERT_EQ(hdr_bounceback_stamp_send(msg.data(), msg.size(), kNow + 1, 3, 0), 64);
    EXPECT_EQ(msg, sg.b);
}

TEST(HeadersBounceBack, AppliedToTheServerRecord) {
    struct Case {
        const char *name;
        Buf bytes;
        int max_size;
        int want;
    };
    auto hdr = [](uint32_t size, uint16_t bb_flags, uint16_t tos, int32_t hold) {
        const uint32_t h = static_cast<uint32_t>(hold);
        return Golden(64)
            .at(0, {0x00, 0x80, 0x00, 0x00})
            .at(4, {uint8_t(size >> 24), uint8_t(size >> 16), uint8_t(size >> 8), uint8_t(size)})
            .at(12, {uint8_t(bb_flags >> 8), uint8_t(bb_flags), uint8_t(tos >> 8), uint8_t(tos)})
            .at(20, {0x65, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x09})
            .at(44, {uint8_t(h >> 24), uint8_t(h >> 16), uint8_t(h >> 8), uint8_t(h)})
            .b;
    };
    const Case cases[] = {
        {"plain", hdr(100, 0, 0, 0), 1268, kHdr_Ok},
        {"size 64", hdr(64, 0, 0, 0), 1268, kHdr_Ok},
        {"size below 64", hdr(63, 0, 0, 0), 1268, kHdr_BadLength},
        {"size larger than the buffer", hdr(1269, 0, 0, 0), 1268, kHdr_BadLength},
        {"size of 4 GiB", hdr(0xFFFFFFFF, 0, 0, 0), 1268, kHdr_BadLength},
        {"negative hold", hdr(100, 0, 0, -1), 1268, kHdr_BadValue},
        {"hold above 10 s", hdr(100, 0, 0, 10000001), 1268, kHdr_BadValue},
        {"tos above 255", hdr(100, HDR_BB_TOS, 0x100, 0), 1268, kHdr_BadValue},
        {"not a bounceback header", Golden(64).at(4, {0x00, 0x00, 0x00, 0x64}).b, 1268,
         kHdr_BadValue},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Record server;
        server->option_flags |= OPT_TIME_MODE;
        ASSERT_EQ(Settings_ReadBounceBackHdr(server.s, c.bytes.data(), 64, c.max_size), c.want);
        if (c.want != kHdr_Ok) {
            EXPECT_EQ(server->extra_flags, 0u);
            EXPECT_EQ(server->bounceback_size, 0);
            EXPECT_TRUE(server->option_flags & OPT_TIME_MODE);
        }
    }

    Record server;
    server->option_flags |= OPT_TIME_MODE;
    const Buf b = hdr(100, HDR_BB_QUICKACK | HDR_BB_TRIPTIMES | HDR_BB_TOS, 0x28, 2500);
    ASSERT_EQ(Settings_ReadBounceBackHdr(server.s, b.data(), 64, 1268), kHdr_Ok);
    EXPECT_FALSE(server->option_flags & OPT_TIME_MODE);
    EXPECT_TRUE(server->extra_flags & EXT_BOUNCEBACK);
    EXPECT_TRUE(server->extra_flags & EXT_QUICKACK);
    EXPECT_TRUE(server->test_flags & TEST_TRIP_TIMES);
    EXPECT_EQ(server->trip_start_sec, kNow);
    EXPECT_EQ(server->trip_start_usec, 9);
    EXPECT_EQ(server->tos, 0x28);
    EXPECT_EQ(server->bounceback_size, 100);
    EXPECT_EQ(server->bounceback_hold, 2500);

    Record timed;
    timed->option_flags |= OPT_TIME_MODE | OPT_TIME_SET;
    ASSERT_EQ(Settings_ReadBounceBackHdr(timed.s, hdr(100, 0, 0, 0).data(), 64, 1268), kHdr_Ok);
    EXPECT_TRUE(timed->option_flags & OPT_TIME_MODE);
    EXPECT_EQ(timed->tos, 0);
    EXPECT_FALSE(timed->extra_flags & EXT_QUICKACK);
}

// ---------------------------------------------------------------------------
// Format 11: UDP server report
// ---------------------------------------------------------------------------

namespace {

UdpServerReport sample_report() {
    UdpServerReport r = UdpServerReport();
    r.enhanced = true;
    r.total_bytes = 0x100000010ULL;
    r.end_time_s = 10.000005;
    r.lost = 0x200000003ULL;
    r.out_of_order = 4;
    r.datagrams = 0x100000000ULL;
    r.jitter_s = 0.000123;
    r.transit_min_s = -0.5;
    r.transit_max_s = 1.25;
    r.transit_sum_s = 100.75;
    r.transit_mean_s = 0.001;
    r.transit_m2_s2 = 0.000002;
    r.transit_variance_term = 0.999999;
    r.transit_count = 8940;
    r.ipg_count = 894;
    r.ipg_sum = 1;
    return r;
}

Buf sample_report_bytes() {
    return Golden(128)
        .at(16, {0xC8, 0x00, 0x00, 0x00})
        .at(20, {0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x10})
        .at(28, {0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x05})
        .at(36, {0x00, 0x00, 0x00, 0x03})
        .at(40, {0x00, 0x00, 0x00, 0x04})
        .at(44, {0x00, 0x00, 0x00, 0x00})
        .at(48, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x7B})
        .at(56, {0x00, 0x00, 0x00, 0x00, 0xFF, 0xF8, 0x5E, 0xE0})
        .at(64, {0x00, 0x00, 0x00, 0x01, 0x00, 0x03, 0xD0, 0x90})
        .at(72, {0x00, 0x00, 0x00, 0x64, 0x00, 0x0B, 0x71, 0xB0})
        .at(80, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0xE8})
        .at(88, {0x00, 0x1E, 0x84, 0x80, 0x00, 0x00, 0x00, 0x00})
        .at(96, {0x00, 0x00, 0x00, 0x00, 0x00, 0x0F, 0x42, 0x3F})
        .at(104, {0x00, 0x00, 0x22, 0xEC})
        .at(108, {0x00, 0x00, 0x03, 0x7E})
        .at(112, {0x00, 0x00, 0x00, 0x01})
        .at(116, {0x00, 0x00, 0x00, 0x02})
        .at(120, {0x00, 0x00, 0x00, 0x00})
        .at(124, {0x00, 0x00, 0x00, 0x01})
        .b;
}

}  // namespace

TEST(HeadersServerReport, GoldenBytesBothWays) {
    Buf out(128, 0xEE);
    ASSERT_EQ(hdr_server_report_write(out.data(), out.size(), sample_report()), 128);
    EXPECT_EQ(out, sample_report_bytes());

    const Buf in = sample_report_bytes();
    UdpServerReport r;
    ASSERT_EQ(hdr_server_report_read(in.data(), 128, &r), kHdr_Ok);
    const UdpServerReport w = sample_report();
    EXPECT_TRUE(r.enhanced);
    EXPECT_TRUE(r.seqno64);
    EXPECT_EQ(r.total_bytes, w.total_bytes);
    EXPECT_DOUBLE_EQ(r.end_time_s, w.end_time_s);
    EXPECT_EQ(r.lost, w.lost);
    EXPECT_EQ(r.out_of_order, w.out_of_order);
    EXPECT_EQ(r.datagrams, w.datagrams);
    EXPECT_DOUBLE_EQ(r.jitter_s, w.jitter_s);
    EXPECT_DOUBLE_EQ(r.transit_min_s, w.transit_min_s);
    EXPECT_DOUBLE_EQ(r.transit_max_s, w.transit_max_s);
    EXPECT_DOUBLE_EQ(r.transit_sum_s, w.transit_sum_s);
    EXPECT_DOUBLE_EQ(r.transit_mean_s, w.transit_mean_s);
    EXPECT_DOUBLE_EQ(r.transit_m2_s2, w.transit_m2_s2);
    EXPECT_DOUBLE_EQ(r.transit_variance_term, w.transit_variance_term);
    EXPECT_EQ(r.transit_count, w.transit_count);
    EXPECT_EQ(r.ipg_count, w.ipg_count);
    EXPECT_EQ(r.ipg_sum, w.ipg_sum);
}

TEST(HeadersServerReport, FlagsDecideWhatIsRead) {
    // Without HDR_SEQNO64 the high words, without HDR_EXTEND the transit
    // fields are left out even when the bytes are there.
    Buf b = sample_report_bytes();
    b[16] = 0x80;
    UdpServerReport r;
    ASSERT_EQ(hdr_server_report_read(b.data(), 128, &r), kHdr_Ok);
    EXPECT_FALSE(r.enhanced);
    EXPECT_FALSE(r.seqno64);
    EXPECT_EQ(r.lost, 3u);
    EXPECT_EQ(r.datagrams, 0u);
    EXPECT_EQ(r.total_bytes, 0x100000010ULL);
    EXPECT_EQ(r.transit_count, 0u);
    EXPECT_EQ(r.transit_max_s, 0.0);
    EXPECT_DOUBLE_EQ(r.jitter_s, 0.000123);
    // Without HDR_V1 it is no server report.
    b[16] = 0x48;
    EXPECT_EQ(hdr_server_report_read(b.data(), 128, &r), kHdr_BadValue);
    // A stray datagram of 20 bytes is not taken for one.
    EXPECT_EQ(hdr_server_report_read(b.data(), 20, &r), kHdr_TooShort);
}

TEST(HeadersServerReport, RealNumbersTruncateAndSaturate) {
    struct Case {
        double value;
        std::initializer_list<uint8_t> bytes;
        double back;
    };
    const Case cases[] = {
        {0.0, {0, 0, 0, 0, 0, 0, 0, 0}, 0.0},
        {-1.0, {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}, -1.0},
        {0.999999, {0, 0, 0, 0, 0x00, 0x0F, 0x42, 0x3F}, 0.999999},
        {1.0000009, {0, 0, 0, 1, 0, 0, 0, 0}, 1.0},
        {-2.5, {0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0xF8, 0x5E, 0xE0}, -2.5},
        {-2147483648.0, {0x80, 0, 0, 0, 0, 0, 0, 0}, -2147483648.0},
        {1e12, {0x7F, 0xFF, 0xFF, 0xFF, 0x00, 0x0F, 0x42, 0x3F}, 2147483647.999999},
        {-1e12, {0x80, 0, 0, 0, 0xFF, 0xF0, 0xBD, 0xC1}, -2147483648.999999},
        {NAN, {0, 0, 0, 0, 0, 0, 0, 0}, 0.0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.value);
        UdpServerReport r = UdpServerReport();
        r.jitter_s = c.value;
        Buf out(128);
        ASSERT_EQ(hdr_server_report_write(out.data(), out.size(), r), 128);
        EXPECT_EQ(Buf(out.begin() + 48, out.begin() + 56), Buf(c.bytes));
        UdpServerReport back;
        ASSERT_EQ(hdr_server_report_read(out.data(), 128, &back), kHdr_Ok);
        EXPECT_DOUBLE_EQ(back.jitter_s, c.back);
    }
}

// ---------------------------------------------------------------------------
// The server report exchange over loopback
// ---------------------------------------------------------------------------

namespace {

// Two UDP sockets on 127.0.0.1, each connected to the other.
struct UdpPair {
    int server = -1;
    int client = -1;
    UdpPair() {
        server = bound();
        client = bound();
        connect_to(server, client);
        connect_to(client, server);
    }
    ~UdpPair() {
        if (server >= 0) close(server);
        if (client >= 0) close(client);
    }
    static int bound() {
        const int s = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(s, reinterpret_cast<sockaddr *>(&a), sizeof(a));
        return s;
    }
    static void connect_to(int from, int to) {
        sockaddr_in a{};
        socklen_t len = sizeof(a);
        getsockname(to, reinterpret_cast<sockaddr *>(&a), &len);
        connect(from, reinterpret_cast<sockaddr *>(&a), len);
    }
    void send_finals(int n) {
        const Buf fin = Golden(100).at(0, {0xFF, 0xFF, 0xFF, 0xF0}).b;
        for (int i = 0; i < n; i++) ASSERT_EQ(send(client, fin.data(), fin.size(), 0), 100);
    }
    // Reports waiting at the client; each must be the sample report.
    int drain_reports() {
        int count = 0;
        uint8_t b[2048];
        for (;;) {
            pollfd p{client, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) break;
            const ssize_t n = recv(client, b, sizeof(b), 0);
            if (n <= 0) break;
            EXPECT_EQ(n, 128);
            EXPECT_EQ(Buf(b, b + n), sample_report_bytes());
            count++;
        }
        return count;
    }
};

}  // namespace

TEST(HeadersAckFin, ReportIsRepeatedForEveryFurtherFinalDatagram) {
    struct Case {
        int finals_waiting;
        int reports;
        int result;
    };
    const Case cases[] = {{0, 1, 0}, {3, 4, 0}, {12, 9, -1}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.finals_waiting);
        UdpPair pair;
        ASSERT_GE(pair.server, 0);
        pair.send_finals(c.finals_waiting);
        // Let the queued datagrams arrive before the exchange starts.
        pollfd p{pair.server, POLLIN, 0};
        if (c.finals_waiting) {
            ASSERT_EQ(poll(&p, 1, 2000), 1);
        }
        testing::internal::CaptureStderr();
        EXPECT_EQ(write_UDP_AckFIN(sample_report(), pair.server, 100), c.result);
        const std::string err = testing::internal::GetCapturedStderr();
        char want[80];
        snprintf(want, sizeof(want), "[%3d] WARNING: ack of last datagram failed.\n", pair.server);
        EXPECT_EQ(err, c.result == 0 ? std::string() : std::string(want));
        EXPECT_EQ(pair.drain_reports(), c.reports);
    }
}

TEST(HeadersAckFin, WriteFailureIsReported) {
    // A socket that cannot send: the write warns, and with nothing to read
    // either the exchange still ends after its wait.
    const int s = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(s, 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(write_UDP_AckFIN(sample_report(), s, 1470), 0);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("write-ackfin failed: ", 0), 0u) << err;
    close(s);
}

// ---------------------------------------------------------------------------
// Random input to every decoder: no crash, no read past the received bytes
// ---------------------------------------------------------------------------

namespace {

// How far random input got: accepted extended headers and sending sides built.
struct FuzzReach {
    int extended = 0;
    int senders = 0;
};

void feed_every_decoder(const uint8_t *p, int n, const thread_Settings *tmpl, FuzzReach *reach) {
    ClientHdr h;
    if (hdr_client_read(p, n, false, &h) == kHdr_Ok && h.has_extend) reach->extended++;
    if (hdr_client_read(p, n, true, &h) == kHdr_Ok && h.has_extend) reach->extended++;
    UdpHdr u;
    hdr_udp_read(p, n, true, &u);
    hdr_udp_read(p, n, false, &u);
    TestAck a;
    hdr_ack_read(p, n, &a);
    TcpBurstHdr b;
    hdr_burst_read(p, n, &b);
    UdpIsochFields f;
    hdr_isoch_read(p, n, &f);
    BounceBackHdr bb;
    hdr_bounceback_read(p, n, &bb);
    UdpServerReport r;
    hdr_server_report_read(p, n, &r);
    uint32_t flags = 0;
    if (hdr_flags_read(p, n, &flags) == kHdr_Ok) {
        Settings_ClientTestHdrLen(flags, tmpl);
        Settings_ClientKeyLen(p, n, n);
    }
    for (bool udp : {false, true}) {
        thread_Settings *s = nullptr;
        Settings_Copy(tmpl, &s, false);
        if (udp) s->option_flags |= OPT_UDP;
        const int rc = udp ? Settings_ReadClientHdrUdp(s, p, n, kNow)
                           : Settings_ReadClientHdrTcp(s, p, n, kNow);
        if (rc == kHdr_Ok) {
            thread_Settings *sender = nullptr;
            if (Settings_GenerateClientSettings(s, &sender, p, n) == kHdr_Ok && sender) {
                reach->senders++;
                memset(sender->buf, 0, Settings_BufferSize(sender->buf_len));
                if (sender != s) Settings_Destroy(sender);
            }
        }
        Settings_ReadBounceBackHdr(s, p, n, 1268);
        Settings_ReadClientSettingsV1(s, p, n);
        Settings_ReadClientSettingsIsoch(s, p, n);
        Settings_Destroy(s);
    }
}

}  // namespace

TEST(HeadersFuzz, RandomAndMutatedInputNeverCrashes) {
    std::mt19937 rng(20240611);
    Record tmpl;
    tmpl->buf_len = 1470;
    tmpl->sock = -1;
    tmpl->test_flags |= TEST_PERMIT_KEY;

    // Valid headers of every kind to mutate.
    std::vector<Buf> seeds;
    auto add_generated = [&](std::function<void(thread_Settings *)> setup, bool udp) {
        Record c;
        udp ? as_udp_client(c.s) : as_client(c.s);
        setup(c.s);
        Generated g = generate(c.s, kNow, 5);
        if (g.len > 0) seeds.push_back(Buf(g.buf.begin(), g.buf.begin() + 200));
    };
    add_generated([](thread_Settings *) {}, false);
    add_generated([](thread_Settings *s) { s->test_flags |= TEST_FULL_DUPLEX | TEST_TRIP_TIMES; },
                  false);
    add_generated(
        [](thread_Settings *s) {
            s->extra_flags |= EXT_BURST;
            s->test_flags |= TEST_REVERSE | TEST_FQ_RATE;
        },
        false);
    add_generated(
        [](thread_Settings *s) {
            s->test_flags |= TEST_ISOCH | TEST_REVERSE | TEST_PERMIT_KEY;
            strcpy(s->permit_key, "key-of-mine");
        },
        false);
    add_generated([](thread_Settings *s) { s->test_mode = kTest_DualTest; }, true);
    add_generated([](thread_Settings *s) { s->test_flags |= TEST_ISOCH | TEST_FULL_DUPLEX; }, true);
    seeds.push_back(sample_report_bytes());
    seeds.push_back(Golden(64).at(0, {0x00, 0x80, 0x00, 0x00}).at(7, {100}).b);

    std::uniform_int_distribution<int> len_dist(0, 300);
    std::uniform_int_distribution<int> byte_dist(0, 255);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    FuzzReach reach;
    for (int iter = 0; iter < 100000; iter++) {
        Buf data;
        if (iter % 2 == 0) {
            data.resize(len_dist(rng));
            for (auto &x : data) x = static_cast<uint8_t>(byte_dist(rng));
        } else {
            data = seeds[iter / 2 % seeds.size()];
            const int flips = 1 + byte_dist(rng) % 4;
            for (int k = 0; k < flips && !data.empty(); k++) {
                data[byte_dist(rng) * 7 % data.size()] = static_cast<uint8_t>(byte_dist(rng));
            }
            data.resize(std::min<size_t>(data.size(), len_dist(rng)));
        }
        auto exact_copy = exact(data.data(), data.size());
        feed_every_decoder(exact_copy.get(), static_cast<int>(data.size()), tmpl.s, &reach);
    }
    testing::internal::GetCapturedStderr();
    testing::internal::GetCapturedStdout();
    // The mutated headers must get past the first checks often enough to
    // exercise the appliers, not only the early refusals.
    EXPECT_GT(reach.extended, 1000);
    EXPECT_GT(reach.senders, 100);
}
