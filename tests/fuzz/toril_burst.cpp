// toril's TCP burst header as the receiving side reads it at the start of
// each burst; an accepted one must read back the same after its encoding.
#include <cstddef>
#include <cstdint>

#include "tests/fuzz/fuzz_support.h"
#include "toril/core/headers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 4096) return 0;
    TcpBurstHdr hdr;
    const int rc = hdr_burst_read(data, static_cast<int>(size), &hdr);
    FUZZ_CHECK(rc == kHdr_Ok || rc == kHdr_TooShort || rc == kHdr_BadValue);
    if (rc != kHdr_Ok) return 0;
    FUZZ_CHECK(hdr.burst_size <= static_cast<uint32_t>(INT32_MAX));

    uint8_t out[kTcpBurstHdrLen] = {};
    FUZZ_CHECK(hdr_burst_write(out, sizeof out, hdr) == kTcpBurstHdrLen);
    TcpBurstHdr again;
    FUZZ_CHECK(hdr_burst_read(out, sizeof out, &again) == kHdr_Ok);
    FUZZ_CHECK(again.start_sec == hdr.start_sec && again.start_usec == hdr.start_usec &&
               again.write_sec == hdr.write_sec && again.write_usec == hdr.write_usec &&
               again.period_us == hdr.period_us && again.burst_id == hdr.burst_id &&
               again.burst_size == hdr.burst_size && again.byte_count == hdr.byte_count);
    return 0;
}
