// toril's UDP datagram header: read in both sequence number forms, written
// back and read again; a decoded header must survive its own encoding.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "tests/fuzz/fuzz_support.h"
#include "toril/core/headers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 65536) return 0;
    const int len = static_cast<int>(size);
    for (const bool seqno64 : {false, true}) {
        UdpHdr hdr;
        const int rc = hdr_udp_read(data, len, seqno64, &hdr);
        FUZZ_CHECK(rc == (len < kUdpHdrLen ? kHdr_TooShort : kHdr_Ok));
        if (rc != kHdr_Ok) continue;
        const int64_t magnitude = udp_seqno_magnitude(hdr.seqno);
        FUZZ_CHECK(magnitude >= 0);

        uint8_t out[kUdpHdrLen];
        FUZZ_CHECK(hdr_udp_write(out, sizeof out, hdr) == kUdpHdrLen);
        UdpHdr again;
        FUZZ_CHECK(hdr_udp_read(out, kUdpHdrLen, seqno64, &again) == kHdr_Ok);
        FUZZ_CHECK(again.seqno == hdr.seqno && again.sent_sec == hdr.sent_sec &&
                   again.sent_usec == hdr.sent_usec);
        if (seqno64) FUZZ_CHECK(std::memcmp(out, data, kUdpHdrLen) == 0);
    }
    return 0;
}
