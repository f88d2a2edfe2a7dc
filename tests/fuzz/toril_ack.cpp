// toril's test acknowledgement as a client reads it from the server; an
// accepted one must read back the same after its own encoding.
#include <cstddef>
#include <cstdint>

#include "tests/fuzz/fuzz_support.h"
#include "toril/core/headers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 4096) return 0;
    TestAck ack;
    const int rc = hdr_ack_read(data, static_cast<int>(size), &ack);
    FUZZ_CHECK(rc == kHdr_Ok || rc == kHdr_TooShort || rc == kHdr_BadValue || rc == kHdr_BadLength);
    if (rc != kHdr_Ok) return 0;
    FUZZ_CHECK(size >= static_cast<size_t>(ack.trip_times ? kTestAckTripLen : kTestAckLen));

    uint8_t out[kTestAckTripLen];
    const int n = hdr_ack_write(out, sizeof out, ack);
    FUZZ_CHECK(n == (ack.trip_times ? kTestAckTripLen : kTestAckLen));
    TestAck again;
    FUZZ_CHECK(hdr_ack_read(out, n, &again) == kHdr_Ok);
    FUZZ_CHECK(again.trip_times == ack.trip_times && again.version_hi == ack.version_hi &&
               again.version_lo == ack.version_lo);
    if (ack.trip_times) {
        FUZZ_CHECK(again.start_sec == ack.start_sec && again.start_usec == ack.start_usec &&
                   again.accept_sec == ack.accept_sec && again.accept_usec == ack.accept_usec &&
                   again.sent_sec == ack.sent_sec && again.sent_usec == ack.sent_usec);
    }
    return 0;
}
