// toril's bounceback message header, read by the client from a reply and by
// the server from a request (applied to a server record, as its listener
// does); a read header must read back the same after its own encoding.
#include <cstddef>
#include <cstdint>

#include "tests/fuzz/fuzz_support.h"
#include "toril/core/headers.h"
#include "toril/core/settings.h"

namespace {

bool same(const BounceBackHdr &a, const BounceBackHdr &b) {
    return a.flags == b.flags && a.size == b.size && a.burst_id == b.burst_id &&
           a.bb_flags == b.bb_flags && a.tos == b.tos && a.client_send_sec == b.client_send_sec &&
           a.client_send_usec == b.client_send_usec && a.server_recv_sec == b.server_recv_sec &&
           a.server_recv_usec == b.server_recv_usec && a.server_send_sec == b.server_send_sec &&
           a.server_send_usec == b.server_send_usec && a.hold_us == b.hold_us;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::silence_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 65536) return 0;
    const int len = static_cast<int>(size);
    BounceBackHdr hdr;
    const int rc = hdr_bounceback_read(data, len, &hdr);
    FUZZ_CHECK(rc == (len < kBounceBackHdrLen ? kHdr_TooShort : kHdr_Ok));
    if (rc == kHdr_Ok) {
        uint8_t out[kBounceBackHdrLen];
        FUZZ_CHECK(hdr_bounceback_write(out, sizeof out, hdr) == kBounceBackHdrLen);
        BounceBackHdr again;
        FUZZ_CHECK(hdr_bounceback_read(out, sizeof out, &again) == kHdr_Ok);
        FUZZ_CHECK(same(again, hdr));
    }

    thread_Settings *server = new thread_Settings;
    Settings_Initialize(server);
    server->thread_mode = kMode_Server;
    Settings_AllocateBuffer(server);
    const int cap = static_cast<int>(Settings_BufferSize(server->buf_len));
    if (Settings_ReadBounceBackHdr(server, data, len, cap) == kHdr_Ok) {
        FUZZ_CHECK(server->bounceback_size >= kBounceBackHdrLen && server->bounceback_size <= cap);
        FUZZ_CHECK(server->bounceback_hold >= 0 &&
                   server->bounceback_hold <= kHdrMaxBounceBackHold_us);
    }
    Settings_Destroy(server);
    return 0;
}
