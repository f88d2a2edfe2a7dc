// toril's test header as a listener meets it: the first byte of the input
// picks TCP or UDP, the rest is what the client sent. TCP follows the
// listener: flags word, the announced length, the permit key length, the
// decoder, the acknowledgement and the sending side; UDP hands the whole
// datagram to its decoder and then builds the sending side.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "tests/fuzz/fuzz_support.h"
#include "toril/core/headers.h"
#include "toril/core/settings.h"

namespace {

constexpr int64_t kNow = 0x65000000;  // a fixed server clock keeps runs repeatable

struct ServerRecord {
    thread_Settings *s = new thread_Settings;
    explicit ServerRecord(bool udp) {
        Settings_Initialize(s);
        s->thread_mode = kMode_Server;
        if (udp) {
            s->option_flags |= OPT_UDP;
            s->buf_len = 1470;
        }
        Settings_AllocateBuffer(s);
        auto *peer = reinterpret_cast<sockaddr_in *>(&s->peer);
        peer->sin_family = AF_INET;
        peer->sin_port = htons(40000);
        peer->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        s->peer_len = sizeof(sockaddr_in);
    }
    ~ServerRecord() { Settings_Destroy(s); }
    ServerRecord(const ServerRecord &) = delete;
    ServerRecord &operator=(const ServerRecord &) = delete;
};

bool wants_sending_side(const thread_Settings *s) {
    return (s->test_flags & (TEST_FULL_DUPLEX | TEST_SERVER_REVERSE)) ||
           s->test_mode != kTest_Normal;
}

void build_sending_side(thread_Settings *server, const uint8_t *hdr, int len) {
    if (!wants_sending_side(server)) return;
    thread_Settings *sending = nullptr;
    const int rc = Settings_GenerateClientSettings(server, &sending, hdr, len);
    FUZZ_CHECK(rc == kHdr_Ok || sending == nullptr);
    if (sending && sending != server) Settings_Destroy(sending);
}

void tcp_header(const uint8_t *data, int len) {
    ClientHdr hdr;
    hdr_client_read(data, len, false, &hdr);

    ServerRecord server(false);
    uint32_t flags = 0;
    if (hdr_flags_read(data, len, &flags) != kHdr_Ok) return;
    if (flags & HDR_BOUNCEBACK) {
        const int cap = static_cast<int>(Settings_BufferSize(server.s->buf_len));
        Settings_ReadBounceBackHdr(server.s, data, len, cap);
        return;
    }
    const int hdr_len = Settings_ClientTestHdrLen(flags, server.s);
    if (hdr_len < 0) return;
    int have = 4;
    if (hdr_len > 4) {
        if (hdr_len > len) return;  // the listener would wait for the rest
        have = hdr_len;
    }
    if (flags & HDR_KEYCHECK) {
        const int key_len = Settings_ClientKeyLen(data, have, have);
        FUZZ_CHECK(key_len < 0 || (key_len >= kHdrKeyMinLen && key_len <= 128));
    }
    // The decoder sees exactly the header bytes, as the listener gives them.
    std::unique_ptr<uint8_t[]> exact(new uint8_t[have]);
    std::memcpy(exact.get(), data, have);
    if (Settings_ReadClientHdrTcp(server.s, exact.get(), have, kNow) != kHdr_Ok) return;
    if (Settings_TestAckWanted(flags)) {
        uint8_t ack[kTestAckTripLen];
        const int n = Settings_GenerateTestAck(server.s, ack, sizeof ack, kNow, 0);
        FUZZ_CHECK(n == kTestAckLen || n == kTestAckTripLen);
    }
    build_sending_side(server.s, exact.get(), have);
}

void udp_header(const uint8_t *data, int len) {
    ClientHdr hdr;
    hdr_client_read(data, len, true, &hdr);

    ServerRecord server(true);
    if (Settings_ReadClientHdrUdp(server.s, data, len, kNow) != kHdr_Ok) return;
    build_sending_side(server.s, data, len);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::silence_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1 || size > 70000) return 0;
    const bool udp = data[0] & 1;
    // A copy of exactly the bytes that arrived, so a read past them is caught.
    const int len = static_cast<int>(size - 1);
    std::unique_ptr<uint8_t[]> bytes(new uint8_t[len ? len : 1]);
    if (len) std::memcpy(bytes.get(), data + 1, len);
    if (udp)
        udp_header(bytes.get(), len);
    else
        tcp_header(bytes.get(), len);
    return 0;
}
