// How a vantrip server tells received messages apart: the text bounds, the
// stop request, the two-way record and the echo probe, the field split and
// the address discovery reply built from the request.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "tests/fuzz/fuzz_support.h"
#include "vantrip/server/protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 2 * kMaxMessageBytes) return 0;
    const char *text = reinterpret_cast<const char *>(data);

    const std::string_view view = message_view(text, size);
    FUZZ_CHECK(view.size() <= size && view.size() <= kMaxMessageBytes);
    FUZZ_CHECK(view.find('\0') == std::string_view::npos);
    const std::string copy = message_text(text, size);
    FUZZ_CHECK(copy == view);

    const bool stop = is_stop_request(text, size);
    FUZZ_CHECK(stop == is_stop_text(view));
    if (stop) FUZZ_CHECK(view.find("STOP") != std::string_view::npos);

    TwoWayDownlinkPacket packet;
    const bool decoded = decode_two_way(data, size, &packet);
    FUZZ_CHECK(decoded == (size >= kTwoWayPacketBytes));
    if (is_tcp_two_way_request(data, size)) FUZZ_CHECK(decoded && packet.id >= 1000);
    if (decoded) {
        uint8_t out[kTwoWayPacketBytes];
        encode_two_way(packet, out);
        FUZZ_CHECK(std::memcmp(out, data, kTwoWayPacketBytes) == 0);
    }
    is_udp_echo_probe(data, size);

    std::vector<std::string> pieces;
    const std::size_t separators = split_message(copy, &pieces);
    FUZZ_CHECK(separators <= copy.size() && pieces.size() <= separators + 1);
    for (const std::string &piece : pieces) {
        FUZZ_CHECK(!piece.empty() && piece.find(';') == std::string::npos);
    }

    const std::string reply = stun_reply(text, size, "127.0.0.1", 40000);
    FUZZ_CHECK(reply.size() <= 200 + copy.size());
    return 0;
}
