// quarvel's test header as its listener reads it from an accepted test: the
// reverse-direction client it asks for, built from the header on a server
// record. The first input byte picks the server's own options (rate set,
// UDP, time mode); the rest is the header.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "quarvel/listener.h"
#include "quarvel/settings.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::silence_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1 || size > 4096) return 0;
    const uint8_t form = data[0];

    thread_Settings *server = new thread_Settings;
    Settings_Initialize(server);
    server->thread_mode = kMode_Server;
    server->buf_len = 8192;
    if (form & 0x01) {
        server->option_flags |= OPT_RATE_SET;
        server->rate = 777;
    }
    if (form & 0x02) {
        server->option_flags |= OPT_UDP;
        server->buf_len = 1470;
    }
    if (form & 0x04) server->option_flags |= OPT_TIME_MODE;
    if (form & 0x08) {
        auto *peer = reinterpret_cast<sockaddr_in6 *>(&server->peer);
        peer->sin6_family = AF_INET6;
        peer->sin6_port = htons(40000);
        peer->sin6_addr = in6addr_loopback;
    } else {
        auto *peer = reinterpret_cast<sockaddr_in *>(&server->peer);
        peer->sin_family = AF_INET;
        peer->sin_port = htons(40000);
        peer->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    }

    const int len = static_cast<int>(size - 1);
    std::unique_ptr<uint8_t[]> header(new uint8_t[len ? len : 1]);
    if (len) std::memcpy(header.get(), data + 1, len);
    thread_Settings *reverse = nullptr;
    Settings_GenerateClientSettings(server, &reverse, header.get(), len);
    if (reverse) {
        FUZZ_CHECK(reverse->thread_mode == kMode_Client);
        FUZZ_CHECK(reverse->threads >= 1 && reverse->threads <= kReverseThreadsMax);
        FUZZ_CHECK(reverse->buf_len >= 0);
        FUZZ_CHECK(reverse->host != nullptr);
        Settings_Destroy(reverse);
    }
    Settings_Destroy(server);
    return 0;
}
