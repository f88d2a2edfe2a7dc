// The IPv4 packet a vantrip ICMP prober receives on its raw socket.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "tests/fuzz/fuzz_support.h"
#include "vantrip/client/pinger.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 65536) return 0;
    IcmpReply reply;
    if (!parse_icmp_packet(data, size, &reply)) return 0;
    FUZZ_CHECK(reply.ip_header_length >= 20 && reply.ip_header_length <= 60);
    FUZZ_CHECK(static_cast<size_t>(reply.ip_header_length) + 8 + reply.body.size() == size);
    FUZZ_CHECK(reply.type == data[reply.ip_header_length]);
    FUZZ_CHECK(reply.source.size() >= 7 && reply.source.size() <= 15);
    internet_checksum(data, size);
    return 0;
}
