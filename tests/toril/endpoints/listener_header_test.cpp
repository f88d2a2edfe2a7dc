// The listener's reading and checking of a client's test header over
// loopback: honest headers, acknowledgements, permit keys, bounceback
// messages, and peers that lie, stall, close or reset.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "common/signals.h"
#include "gtest/gtest.h"
#include "tests/toril/endpoints/server_support.h"
#include "toril/core/headers.h"
#include "toril/endpoints/listener.h"

namespace {

using endpoint_test::server_settings;

struct ListenerRecord {
    thread_Settings *settings = nullptr;
    explicit ListenerRecord(bool udp, const char *key = nullptr) {
        settings = server_settings(udp, udp ? 1470 : 131072);
        settings->thread_mode = kMode_Listener;
        if (key) {
            settings->test_flags |= TEST_PERMIT_KEY;
            snprintf(settings->permit_key, sizeof(settings->permit_key), "%s", key);
        }
    }
    ~ListenerRecord() { Settings_Destroy(settings); }
};

// The header an honest client of these settings sends.
std::vector<uint8_t> client_header(bool udp, const char *key = nullptr) {
    thread_Settings c;
    Settings_Initialize(&c);
    c.thread_mode = kMode_Client;
    if (udp) {
        c.option_flags |= OPT_UDP;
        c.buf_len = 1470;
    }
    if (key) {
        c.test_flags |= TEST_PERMIT_KEY;
        snprintf(c.permit_key, sizeof(c.permit_key), "%s", key);
    }
    std::vector<uint8_t> buf(udp ? 1470 : kTcpClientHdrSpace, 0);
    const int len = Settings_GenerateClientHdr(&c, buf.data(), buf.size(), time(nullptr), 0);
    EXPECT_GT(len, 0);
    if (udp) {
        UdpHdr h{1, time(nullptr), 0};
        hdr_udp_write(buf.data(), buf.size(), h);
        return buf;  // a first datagram is a whole datagram
    }
    buf.resize(static_cast<size_t>(len));
    return buf;
}

void put32(std::vector<uint8_t> *b, size_t at, uint32_t v) {
    (*b)[at] = static_cast<uint8_t>(v >> 24);
    (*b)[at + 1] = static_cast<uint8_t>(v >> 16);
    (*b)[at + 2] = static_cast<uint8_t>(v >> 8);
    (*b)[at + 3] = static_cast<uint8_t>(v);
}

enum class Ending { kKeepOpen, kClose, kReset };

struct TcpCase {
    const char *name;
    std::vector<uint8_t> bytes;
    Ending ending;
    bool accepted;
    const char *warning;  // expected on standard error, or nullptr
};

// Sends bytes from the client end, ends it as asked, and applies the header.
bool apply_tcp(ListenerRecord &l, const std::vector<uint8_t> &bytes, Ending ending,
               thread_Settings **record_out, int *client_out, std::string *err) {
    int c, s;
    EXPECT_TRUE(endpoint_test::tcp_pair(&c, &s));
    if (!bytes.empty()) {
        EXPECT_EQ(send(c, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    if (ending == Ending::kReset) {
        linger hard{1, 0};
        setsockopt(c, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
        close(c);
        c = -1;
    } else if (ending == Ending::kClose) {
        shutdown(c, SHUT_WR);
    }
    thread_Settings *record = nullptr;
    Settings_Copy(l.settings, &record, true);
    record->thread_mode = kMode_Server;
    record->sock = s;
    Listener listener(l.settings);
    testing::internal::CaptureStderr();
    const bool ok = listener.apply_client_settings(record);
    *err = testing::internal::GetCapturedStderr();
    *record_out = record;
    *client_out = c;
    return ok;
}

void finish(thread_Settings *record, int client) {
    close(record->sock);
    record->sock = -1;
    Settings_Destroy(record);
    if (client >= 0) close(client);
}

TEST(ListenerTcpHeader, HonestAndHostileHeaders) {
    std::vector<uint8_t> honest = client_header(false);
    std::vector<uint8_t> too_many_threads = honest;
    put32(&too_many_threads, 4, 1000000);
    std::vector<uint8_t> absurd_buf_len = honest;
    put32(&absurd_buf_len, 12, 0x7fffffff);
    std::vector<uint8_t> announces_more = honest;  // claims 200 bytes, sends 60
    put32(&announces_more, 0, HDR_EXTEND | HDR_LEN | (200 << 1));
    std::vector<uint8_t> too_short_for_flags = honest;  // extended, but only 24 bytes
    put32(&too_short_for_flags, 0, HDR_EXTEND | HDR_LEN | (24 << 1));
    std::vector<uint8_t> bounceback_in_test = honest;
    put32(&bounceback_in_test, 0, HDR_EXTEND | HDR_BOUNCEBACK);
    const std::vector<TcpCase> cases = {
        {"honest", honest, Ending::kKeepOpen, true, nullptr},
        {"plain data without a header", {1, 2, 3, 4, 5, 6}, Ending::kKeepOpen, true, nullptr},
        {"nothing, then close", {}, Ending::kClose, false, "read tcp flags (peer close) failed"},
        {"two bytes, then close", {0x40, 0}, Ending::kClose, false, "read tcp flags (runt) failed"},
        {"reset at once", {}, Ending::kReset, false, "read tcp flags (peer close) failed"},
        {"short header, then close", announces_more, Ending::kClose, false,
         "read tcp test info failed"},
        {"short header, then reset", announces_more, Ending::kReset, false,
         "read tcp test info failed"},
        {"length too small for its flags", too_short_for_flags, Ending::kKeepOpen, false,
         "read tcp test info (bad length) failed"},
        {"threads beyond bounds", too_many_threads, Ending::kKeepOpen, false,
         "read tcp test info (bad value) failed"},
        {"absurd buf_len", absurd_buf_len, Ending::kKeepOpen, false,
         "read tcp test info (bad value) failed"},
        {"too short for a bounceback header", bounceback_in_test, Ending::kClose, false,
         "read bounce back header failed"},
    };
    for (const TcpCase &tc : cases) {
        SCOPED_TRACE(tc.name);
        ListenerRecord l(false);
        thread_Settings *record;
        int client;
        std::string err;
        const bool ok = apply_tcp(l, tc.bytes, tc.ending, &record, &client, &err);
        EXPECT_EQ(ok, tc.accepted) << err;
        if (tc.warning) {
            EXPECT_NE(err.find(tc.warning), std::string::npos) << err;
        }
        EXPECT_EQ(sInterupted.load(), 0);  // no peer stops the process
        finish(record, client);
    }
}

TEST(ListenerTcpHeader, ExtendedHeaderIsAcknowledged) {
    ListenerRecord l(false);
    thread_Settings *record;
    int client;
    std::string err;
    ASSERT_TRUE(apply_tcp(l, client_header(false), Ending::kKeepOpen, &record, &client, &err));
    EXPECT_EQ(record->first_read_len, 60);
    uint8_t ack[64];
    pollfd p{client, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 2000), 1);
    const ssize_t n = recv(client, ack, sizeof(ack), 0);
    ASSERT_EQ(n, kTestAckLen);
    TestAck decoded{};
    EXPECT_EQ(hdr_ack_read(ack, static_cast<int>(n), &decoded), kHdr_Ok);
    EXPECT_EQ(decoded.version_hi, kHdrVersionHi);
    finish(record, client);
}

TEST(ListenerTcpHeader, SilentPeerCostsOnlyTheHeaderTimeout) {
    ListenerRecord l(false);
    thread_Settings *record;
    int client;
    std::string err;
    const time_t start = time(nullptr);
    EXPECT_FALSE(apply_tcp(l, {}, Ending::kKeepOpen, &record, &client, &err));
    EXPECT_LE(time(nullptr) - start, 6);
    EXPECT_NE(err.find("read tcp flags"), std::string::npos) << err;
    finish(record, client);
}

TEST(ListenerPermitKey, KeyChecks) {
    struct KeyCase {
        const char *name;
        const char *server_key;  // nullptr: the server has none
        const char *client_key;  // nullptr: the client sends none
        bool accepted;
    };
    const KeyCase cases[] = {
        {"matching key", "secret-key-1", "secret-key-1", true},
        {"wrong key of the same length", "secret-key-1", "secret-key-2", false},
        {"key of another length", "secret-key-1", "secret-key", false},
        {"no key to a keyed server", "secret-key-1", nullptr, false},
        {"key to a server without one", nullptr, "secret-key-1", false},
    };
    for (const KeyCase &kc : cases) {
        SCOPED_TRACE(kc.name);
        ListenerRecord l(false, kc.server_key);
        thread_Settings *record;
        int client;
        std::string err;
        const bool ok = apply_tcp(l, client_header(false, kc.client_key), Ending::kKeepOpen,
                                  &record, &client, &err);
        EXPECT_EQ(ok, kc.accepted) << err;
        EXPECT_EQ(record->key_check, kc.accepted ? 1 : 0);
        finish(record, client);
    }
}

std::vector<uint8_t> bounceback_message(uint32_t size, uint32_t declared) {
    std::vector<uint8_t> m(size < 64 ? 64 : size, 0);
    BounceBackHdr h{};
    h.flags = HDR_BOUNCEBACK;
    h.size = declared;
    h.server_recv_sec = h.server_recv_usec = h.server_send_sec = h.server_send_usec = -1;
    hdr_bounceback_write(m.data(), m.size(), h);
    return m;
}

TEST(ListenerBounceBack, FirstMessage) {
    struct BbCase {
        const char *name;
        std::vector<uint8_t> bytes;
        bool accepted;
        const char *warning;
    };
    const std::vector<BbCase> cases = {
        {"honest", bounceback_message(100, 100), true, nullptr},
        {"size below the header", bounceback_message(64, 10), false,
         "bounce back bytes too small failed"},
        {"size beyond the buffer", bounceback_message(64, 0x7fffffff), false,
         "read bounce back header"},
        {"payload cut short", bounceback_message(64, 100), false,
         "read bounce back payload failed"},
    };
    for (const BbCase &bc : cases) {
        SCOPED_TRACE(bc.name);
        ListenerRecord l(false);
        thread_Settings *record;
        int client;
        std::string err;
        const bool ok = apply_tcp(l, bc.bytes, Ending::kClose, &record, &client, &err);
        EXPECT_EQ(ok, bc.accepted) << err;
        if (bc.warning) {
            EXPECT_NE(err.find(bc.warning), std::string::npos) << err;
        }
        if (ok) {
            EXPECT_EQ(record->bounceback_size, 100);
            EXPECT_EQ(record->first_read_len, 100);
            EXPECT_TRUE(record->extra_flags & EXT_BOUNCEBACK);
            BounceBackHdr stamped{};
            hdr_bounceback_read(reinterpret_cast<uint8_t *>(record->buf), 64, &stamped);
            EXPECT_NE(stamped.server_recv_sec, -1);
        }
        finish(record, client);
    }
}

TEST(ListenerBounceBack, KeyedServerRefusesIt) {
    ListenerRecord l(false, "secret-key-1");
    thread_Settings *record;
    int client;
    std::string err;
    EXPECT_FALSE(
        apply_tcp(l, bounceback_message(100, 100), Ending::kClose, &record, &client, &err));
    EXPECT_EQ(record->key_check, 0);
    finish(record, client);
}

TEST(ListenerUdpHeader, FirstDatagram) {
    std::vector<uint8_t> honest = client_header(true);
    std::vector<uint8_t> lying = honest;
    put32(&lying, 16 + 12, 0x7fffffff);  // buf_len beyond any datagram
    std::vector<uint8_t> headerless(200, 0);
    UdpHdr h{1, time(nullptr), 0};
    hdr_udp_write(headerless.data(), headerless.size(), h);
    struct UdpCase {
        const char *name;
        std::vector<uint8_t> dgram;
        bool accepted;
    };
    const std::vector<UdpCase> cases = {
        {"honest", honest, true},
        {"no test header (old client)", headerless, true},
        {"lying buf_len", lying, false},
    };
    for (const UdpCase &uc : cases) {
        SCOPED_TRACE(uc.name);
        ListenerRecord l(true);
        thread_Settings *record = nullptr;
        Settings_Copy(l.settings, &record, true);
        record->thread_mode = kMode_Server;
        int c, s;
        ASSERT_TRUE(endpoint_test::udp_pair(&c, &s));
        record->sock = s;
        memcpy(record->buf, uc.dgram.data(), uc.dgram.size());
        record->first_read_len = static_cast<int32_t>(uc.dgram.size());
        Listener listener(l.settings);
        testing::internal::CaptureStderr();
        EXPECT_EQ(listener.apply_client_settings(record), uc.accepted);
        testing::internal::GetCapturedStderr();
        if (uc.accepted && uc.dgram == honest) {
            EXPECT_TRUE(record->test_flags & TEST_SEQNO64);
        }
        close(c);
        finish(record, -1);
    }
}

}  // namespace
