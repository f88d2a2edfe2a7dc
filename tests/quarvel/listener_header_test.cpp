// The reverse-direction client that an accepted test's header asks for, with
// headers that lie, and the client list.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/sockaddr.h"
#include "quarvel/listener.h"
#include "tests/quarvel/record_support.h"

namespace {

using quarveltest::Record;

std::vector<uint8_t> header_bytes(std::vector<uint32_t> words) {
    std::vector<uint8_t> out(kTestHeaderBytes, '9');
    for (size_t i = 0; i < words.size(); ++i) {
        out[4 * i] = static_cast<uint8_t>(words[i] >> 24);
        out[4 * i + 1] = static_cast<uint8_t>(words[i] >> 16);
        out[4 * i + 2] = static_cast<uint8_t>(words[i] >> 8);
        out[4 * i + 3] = static_cast<uint8_t>(words[i]);
    }
    return out;
}

sockaddr_storage v4(const char *text, uint16_t port) {
    sockaddr_storage s{};
    auto *a = reinterpret_cast<sockaddr_in *>(&s);
    a->sin_family = AF_INET;
    a->sin_port = htons(port);
    inet_pton(AF_INET, text, &a->sin_addr);
    return s;
}

struct ServerRecord : Record {
    ServerRecord() {
        s->thread_mode = kMode_Server;
        s->buf_len = 8192;
        s->peer = v4("127.0.0.5", 40000);
    }
};

// Owns the reverse client made from a header.
struct Reverse {
    thread_Settings *c = nullptr;
    ~Reverse() { Settings_Destroy(c); }
};

TEST(ReverseClient, DualTimedTestFromTheHeader) {
    ServerRecord server;
    // flags dual + pps, threads 2, port 6001, buffer 1000, window 65536,
    // amount -500 (5 s), rate 100.
    const auto h = header_bytes({0x80000003, 2, 6001, 1000, 65536, 0xfffffe0c, 100});
    Reverse r;
    Settings_GenerateClientSettings(server.s, &r.c, h.data(), static_cast<int>(h.size()));
    ASSERT_NE(r.c, nullptr);
    EXPECT_EQ(r.c->thread_mode, kMode_Client);
    EXPECT_EQ(r.c->test_mode, kTest_DualTest);
    EXPECT_TRUE(r.c->option_flags & OPT_COMPAT);
    EXPECT_TRUE(r.c->option_flags & OPT_TIME_MODE);
    EXPECT_EQ(r.c->amount, 500u);
    EXPECT_EQ(r.c->threads, 2);
    EXPECT_EQ(r.c->port, 6001);
    EXPECT_EQ(r.c->buf_len, 1000);
    EXPECT_EQ(r.c->window_size, 65536);
    EXPECT_EQ(r.c->rate, 100u);
    EXPECT_EQ(r.c->rate_units, kRate_PPS);
    EXPECT_STREQ(r.c->host, "127.0.0.5");
    EXPECT_EQ(r.c->sock, -1);
}

TEST(ReverseClient, TradeoffByteCountKeepsTheServersOwnRateAndBuffer) {
    ServerRecord server;
    server.s->option_flags |= OPT_RATE_SET | OPT_TIME_MODE;
    server.s->rate = 777;
    const auto h = header_bytes({0x80000000, 1, 6002, 0, 0, 123456, 5});
    Reverse r;
    Settings_GenerateClientSettings(server.s, &r.c, h.data(), static_cast<int>(h.size()));
    ASSERT_NE(r.c, nullptr);
    EXPECT_EQ(r.c->test_mode, kTest_TradeOff);
    EXPECT_FALSE(r.c->option_flags & OPT_TIME_MODE);
    EXPECT_EQ(r.c->amount, 123456u);
    EXPECT_EQ(r.c->buf_len, 8192);  // 0 in the header: the server's own
    EXPECT_EQ(r.c->rate, 777u);     // -b on the server wins
}

TEST(ReverseClient, TheLongestTimedAmountDoesNotOverflow) {
    ServerRecord server;
    const auto h = header_bytes({0x80000001, 1, 6003, 0, 0, 0x80000000, 0});
    Reverse r;
    Settings_GenerateClientSettings(server.s, &r.c, h.data(), static_cast<int>(h.size()));
    ASSERT_NE(r.c, nullptr);
    EXPECT_EQ(r.c->amount, 2147483648u);
}

struct NoReverse {
    const char *name;
    std::vector<uint32_t> words;
    int length;  // bytes handed over
};

class NoReverseCase : public testing::TestWithParam<NoReverse> {};

TEST_P(NoReverseCase, GivesNone) {
    ServerRecord server;
    const auto h = header_bytes(GetParam().words);
    Reverse r;
    r.c = reinterpret_cast<thread_Settings *>(1);  // must be cleared
    Settings_GenerateClientSettings(server.s, &r.c, h.data(), GetParam().length);
    EXPECT_EQ(r.c, nullptr);
}

const NoReverse kNoReverse[] = {
    {"plain_test", {0, 1, 6001, 0, 0, 1000, 0}, 36},
    {"pattern_digits", {0x30313233, 0x34353637}, 36},
    {"nothing_received", {0x80000001, 1, 6001}, 0},
    {"three_bytes", {0x80000001, 1, 6001}, 3},
    {"cut_before_the_rate", {0x80000001, 1, 6001, 0, 0, 1000, 0}, 27},
    {"zero_threads", {0x80000001, 0, 6001, 0, 0, 1000, 0}, 36},
    {"negative_threads", {0x80000001, 0xffffffff, 6001, 0, 0, 1000, 0}, 36},
    {"too_many_threads", {0x80000001, kReverseThreadsMax + 1, 6001, 0, 0, 1000, 0}, 36},
    {"port_zero", {0x80000001, 1, 0, 0, 0, 1000, 0}, 36},
    {"port_too_large", {0x80000001, 1, 65536, 0, 0, 1000, 0}, 36},
    {"negative_buffer", {0x80000001, 1, 6001, 0xfffffff0, 0, 1000, 0}, 36},
    {"huge_buffer", {0x80000001, 1, 6001, kReverseBufLenMax + 1, 0, 1000, 0}, 36},
};
INSTANTIATE_TEST_SUITE_P(Headers, NoReverseCase, testing::ValuesIn(kNoReverse),
                         [](const auto &param_info) { return std::string(param_info.param.name); });

TEST(ClientList, PresentHostPresentAndDelete) {
    Toril_ListEntry *list = nullptr;
    const sockaddr_storage a = v4("10.0.0.1", 1000);
    const sockaddr_storage a_other_port = v4("10.0.0.1", 2000);
    const sockaddr_storage b = v4("10.0.0.2", 1000);
    Toril_pushback(new Toril_ListEntry{a, nullptr, nullptr, nullptr}, &list);
    Toril_pushback(new Toril_ListEntry{b, nullptr, nullptr, nullptr}, &list);
    EXPECT_EQ(list->address.ss_family, AF_INET);
    EXPECT_TRUE(SockAddr_are_Equal(&list->address, &b));  // newest first
    EXPECT_NE(Toril_present(&a, list), nullptr);
    EXPECT_EQ(Toril_present(&a_other_port, list), nullptr);
    EXPECT_EQ(Toril_hostpresent(&a_other_port, list), Toril_present(&a, list));

    Toril_delete(&a_other_port, &list);  // no such entry: nothing happens
    EXPECT_NE(Toril_present(&a, list), nullptr);
    Toril_delete(&a, &list);
    EXPECT_EQ(Toril_present(&a, list), nullptr);
    EXPECT_NE(Toril_present(&b, list), nullptr);
    Toril_destroy(&list);
    EXPECT_EQ(list, nullptr);
}

}  // namespace
