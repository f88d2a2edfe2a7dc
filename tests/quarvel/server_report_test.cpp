// The server report datagram: golden words typed from its layout, the short
// form of the single-threaded server, the split of values into whole parts
// and millionths, and values of a forged test that do not fit a word.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "quarvel/reporter.h"
#include "quarvel/server.h"

namespace {

uint32_t word(const std::vector<uint8_t> &b, size_t at) {
    return (uint32_t(b[at]) << 24) | (uint32_t(b[at + 1]) << 16) | (uint32_t(b[at + 2]) << 8) |
           uint32_t(b[at + 3]);
}

TransferInfo sample() {
    TransferInfo info{};
    info.bytes = (int64_t(3) << 32) + 5;
    info.end_time = 10.25;
    info.lost = 4;
    info.out_of_order = 2;
    info.datagrams = 1000;
    info.jitter = 0.0015;
    info.packets = 97;
    info.total_transit.min = 0.000125;
    info.total_transit.max = 2.5;
    info.total_transit.sum = 12.75;
    info.total_transit.mean = 150.5;
    info.total_transit.m2 = 1234.75;
    info.total_transit.deviation = -3.25;
    info.total_transit.count = 999;
    return info;
}

TEST(ServerReport, FullReportWords) {
    std::vector<uint8_t> buf(1470, 0xAA);
    server_report_fill(buf.data(), sample());
    const std::vector<std::pair<size_t, uint32_t>> golden = {
        {12, 0x80000000},
        {16, 3},
        {20, 5},
        {24, 10},
        {28, 250000},
        {32, 4},
        {36, 2},
        {40, 1000},
        {44, 0},
        {48, 1500},
        {52, 0},
        {56, 125},
        {60, 2},
        {64, 500000},
        {68, 12},
        {72, 750000},
        {76, 150},
        {80, 500000},
        {84, 1234},
        {88, 750000},
        {92, uint32_t(-3)},
        {96, uint32_t(-250000)},
        {100, 999},
        {104, 97},
        {108, 1},
    };
    for (const auto &[at, value] : golden) EXPECT_EQ(word(buf, at), value) << "offset " << at;
    for (size_t at : {0u, 11u, 112u, 1469u}) EXPECT_EQ(buf[at], 0xAA) << "offset " << at;
}

TEST(ServerReport, ShortReportStopsAfterTheJitter) {
    std::vector<uint8_t> buf(200, 0xAA);
    server_report_fill_short(buf.data(), sample());
    EXPECT_EQ(word(buf, 12), 0x80000000u);
    EXPECT_EQ(word(buf, 40), 1000u);
    EXPECT_EQ(word(buf, 48), 1500u);
    for (size_t at = 52; at < 200; ++at) ASSERT_EQ(buf[at], 0xAA) << "offset " << at;
}

TEST(ServerReport, ValuesOfAForgedTestStayInsideTheirWords) {
    TransferInfo info = sample();
    info.end_time = 1e12;
    info.jitter = std::nan("");
    info.total_transit.mean = -1e15;
    info.lost = int64_t(1) << 40;
    std::vector<uint8_t> buf(kServerReportFullBytes, 0);
    server_report_fill(buf.data(), info);
    EXPECT_EQ(word(buf, 24), 0x7fffffffu);
    EXPECT_EQ(word(buf, 28), 0u);
    EXPECT_EQ(word(buf, 44), 0u);
    EXPECT_EQ(word(buf, 76), 0x80000000u);
    EXPECT_EQ(word(buf, 32), 0x7fffffffu);
}

TEST(ServerReport, ReceiveTimeoutFromTheIntervalOrTheTestTime) {
    thread_Settings s{};
    s.interval = 1.0;
    EXPECT_EQ(server_receive_timeout_us(&s), 500000);
    s.interval = 0;
    s.option_flags = OPT_TIME_MODE;
    s.amount = 1000;                                   // 10 s
    EXPECT_EQ(server_receive_timeout_us(&s), 500000);  // amount x 500
    s.option_flags = 0;
    EXPECT_EQ(server_receive_timeout_us(&s), 0);
}

}  // namespace
