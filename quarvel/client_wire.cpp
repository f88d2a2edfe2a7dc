#include "quarvel/client_wire.h"

namespace {

void put_word(uint8_t *out, uint32_t value) {
    out[0] = static_cast<uint8_t>(value >> 24);
    out[1] = static_cast<uint8_t>(value >> 16);
    out[2] = static_cast<uint8_t>(value >> 8);
    out[3] = static_cast<uint8_t>(value);
}

}  // namespace

void client_encode_test_header(const thread_Settings *settings, uint8_t *out) {
    uint32_t flags = 0;
    if (settings->test_mode != kTest_Normal) flags |= HDR_VERSION1;
    if (settings->test_mode == kTest_DualTest) flags |= HDR_RUN_NOW;
    if (settings->rate_units == kRate_PPS) flags |= HDR_UNITS_PPS;
    const uint16_t port = settings->listen_port != 0 ? settings->listen_port : settings->port;
    const uint32_t length =
        (settings->option_flags & OPT_LEN_SET) ? static_cast<uint32_t>(settings->buf_len) : 0;
    uint32_t amount;
    if (settings->option_flags & OPT_TIME_MODE) {
        amount = static_cast<uint32_t>(-static_cast<int64_t>(settings->amount));
    } else {
        amount = static_cast<uint32_t>(settings->amount) & 0x7FFFFFFFu;
    }
    put_word(out + 0, flags);
    put_word(out + 4, static_cast<uint32_t>(settings->threads));
    put_word(out + 8, port);
    put_word(out + 12, length);
    put_word(out + 16, static_cast<uint32_t>(settings->window_size));
    put_word(out + 20, amount);
    put_word(out + 24, static_cast<uint32_t>(settings->rate));
}

void client_encode_datagram_header(uint8_t *out, int32_t number, uint32_t sec, uint32_t usec) {
    put_word(out + 0, static_cast<uint32_t>(number));
    put_word(out + 4, sec);
    put_word(out + 8, usec);
}

void client_encode_datagram_number(uint8_t *out, int32_t number) {
    put_word(out, static_cast<uint32_t>(number));
}

uint32_t client_decode_word(const uint8_t *in) {
    return (static_cast<uint32_t>(in[0]) << 24) | (static_cast<uint32_t>(in[1]) << 16) |
           (static_cast<uint32_t>(in[2]) << 8) | static_cast<uint32_t>(in[3]);
}
