// The RTTResultPacket text a vantrip client reads back from the server in a
// two-way test; an accepted one must survive its own encoding.
#include <cstddef>
#include <cstdint>
#include <string>

#include "tests/fuzz/fuzz_support.h"
#include "vantrip/server/protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 2 * kMaxMessageBytes) return 0;
    const std::string text(reinterpret_cast<const char *>(data), size);
    TwoWayDownlinkPacket packet;
    packet.id = 11;
    packet.size = 22;
    packet.time = 33;
    if (!decode_rtt_result(text, &packet)) {
        FUZZ_CHECK(packet.id == 11 && packet.size == 22 && packet.time == 33);
        return 0;
    }
    TwoWayDownlinkPacket again;
    FUZZ_CHECK(decode_rtt_result(encode_rtt_result(packet), &again));
    FUZZ_CHECK(again.id == packet.id && again.size == packet.size && again.time == packet.time);
    return 0;
}
