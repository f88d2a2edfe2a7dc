// The client's wire formats: test header words for the option combinations
// that change them, and the UDP datagram header at its edge values.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "quarvel/client_wire.h"
#include "tests/quarvel/record_support.h"

namespace {

using quarveltest::Record;

std::vector<uint32_t> header_words(const thread_Settings *s) {
    uint8_t bytes[kTestHeaderBytes];
    memset(bytes, 0xAB, sizeof bytes);
    client_encode_test_header(s, bytes);
    // The bytes after the defined words are the buffer's own.
    for (size_t i = kTestHeaderDefinedBytes; i < kTestHeaderBytes; i++) EXPECT_EQ(bytes[i], 0xAB);
    std::vector<uint32_t> words;
    for (size_t at = 0; at < kTestHeaderDefinedBytes; at += 4)
        words.push_back(client_decode_word(bytes + at));
    return words;
}

struct HeaderCase {
    const char *name;
    void (*apply)(thread_Settings *s);
    std::vector<uint32_t> words;  // flags, threads, port, length, window, amount, rate
};

TEST(ClientTestHeader, WordsFollowTheSettings) {
    const HeaderCase cases[] = {
        {"defaults: a ten-second TCP test",
         [](thread_Settings *) {},
         {0, 0, 5001, 0, 0, uint32_t(-1000), 0}},
        {"dual, five seconds, two streams",
         [](thread_Settings *s) {
             s->test_mode = kTest_DualTest;
             s->amount = 500;
             s->threads = 2;
         },
         {0x80000001u, 2, 5001, 0, 0, 0xFFFFFE0Cu, 0}},
        {"tradeoff with a reverse port",
         [](thread_Settings *s) {
             s->test_mode = kTest_TradeOff;
             s->listen_port = 6002;
             s->threads = 1;
         },
         {0x80000000u, 1, 6002, 0, 0, uint32_t(-1000), 0}},
        {"byte count of 1000 with -l and -w",
         [](thread_Settings *s) {
             s->option_flags &= ~OPT_TIME_MODE;
             s->amount = 1000;
             s->option_flags |= OPT_LEN_SET;
             s->buf_len = 8192;
             s->window_size = 65536;
         },
         {0, 0, 5001, 8192, 65536, 1000, 0}},
        {"byte count above 2^31 loses its top bit",
         [](thread_Settings *s) {
             s->option_flags &= ~OPT_TIME_MODE;
             s->amount = (uint64_t(1) << 31) + 5;
         },
         {0, 0, 5001, 0, 0, 5, 0}},
        {"buffer length without -l is 0",
         [](thread_Settings *s) { s->buf_len = 1470; },
         {0, 0, 5001, 0, 0, uint32_t(-1000), 0}},
        {"packets per second, rate in its low 32 bits",
         [](thread_Settings *s) {
             s->rate_units = kRate_PPS;
             s->rate = (uint64_t(1) << 32) + 10;
         },
         {0x2u, 0, 5001, 0, 0, uint32_t(-1000), 10}},
    };
    for (const HeaderCase &c : cases) {
        Record r;
        c.apply(r.s);
        EXPECT_EQ(header_words(r.s), c.words) << c.name;
    }
}

TEST(ClientDatagramHeader, NumberAndTimeAreBigEndian) {
    struct Case {
        int32_t number;
        uint32_t sec, usec;
        std::vector<uint8_t> bytes;
    };
    const Case cases[] = {
        {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {-5,
         1700000000,
         999999,
         {0xFF, 0xFF, 0xFF, 0xFB, 0x65, 0x53, 0xF1, 0x00, 0x00, 0x0F, 0x42, 0x3F}},
        {-1, 1, 1, {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 1, 0, 0, 0, 1}},
        {INT32_MIN, 0, 0, {0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {INT32_MAX, 0, 0, {0x7F, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const Case &c : cases) {
        std::vector<uint8_t> out(kDatagramHeaderBytes + 1, 0xCC);
        client_encode_datagram_header(out.data(), c.number, c.sec, c.usec);
        EXPECT_EQ(out.back(), 0xCC) << c.number;  // nothing past the header
        out.pop_back();
        EXPECT_EQ(out, c.bytes) << c.number;
        client_encode_datagram_number(out.data(), -6);
        EXPECT_EQ(int32_t(client_decode_word(out.data())), -6);
        EXPECT_EQ(client_decode_word(out.data() + 4), c.sec);  // time untouched
    }
}

}  // namespace
