// The frame fields of a toril UDP isochronous datagram as the server reads
// them; what is read must read back the same after its own encoding.
#include <cstddef>
#include <cstdint>

#include "tests/fuzz/fuzz_support.h"
#include "toril/core/headers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 65536) return 0;
    UdpIsochFields fields;
    const int rc = hdr_isoch_read(data, static_cast<int>(size), &fields);
    FUZZ_CHECK(rc == (size < static_cast<size_t>(kUdpIsochLen) ? kHdr_TooShort : kHdr_Ok));
    if (rc != kHdr_Ok) return 0;

    uint8_t out[kUdpIsochLen] = {};
    FUZZ_CHECK(hdr_isoch_write(out, sizeof out, fields) == kUdpIsochLen);
    UdpIsochFields again;
    FUZZ_CHECK(hdr_isoch_read(out, sizeof out, &again) == kHdr_Ok);
    FUZZ_CHECK(again.period_us == fields.period_us && again.start_sec == fields.start_sec &&
               again.start_usec == fields.start_usec &&
               again.prev_frame_id == fields.prev_frame_id && again.frame_id == fields.frame_id &&
               again.frame_bytes == fields.frame_bytes && again.remaining == fields.remaining);
    return 0;
}
