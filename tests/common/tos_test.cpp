#include "common/tos.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Ipqos, TableHasEveryNameInOrderAndEndsWithTheEmptyEntry) {
    const IpQosName expected[] = {
        {"af11", 40},       {"af12", 48},   {"af13", 56},   {"af21", 72},     {"af22", 80},
        {"af23", 88},       {"af31", 104},  {"af32", 112},  {"af33", 120},    {"af41", 136},
        {"af42", 144},      {"af43", 152},  {"cs0", 0},     {"cs1", 32},      {"cs2", 64},
        {"cs3", 96},        {"cs4", 128},   {"cs5", 160},   {"cs6", 192},     {"cs7", 224},
        {"ef", 184},        {"le", 1},      {"nqb", 5},     {"nqb2", 45},     {"ac_be", 0},
        {"ac_bk", 32},      {"ac_vi", 128}, {"ac_vo", 184}, {"lowdelay", 16}, {"throughput", 8},
        {"reliability", 4},
    };
    size_t i = 0;
    for (; ipqos[i].name[0] != '\0'; i++) {
        ASSERT_LT(i, std::size(expected));
        EXPECT_STREQ(ipqos[i].name, expected[i].name);
        EXPECT_EQ(ipqos[i].value, expected[i].value) << expected[i].name;
    }
    EXPECT_EQ(i, 31u);
    EXPECT_EQ(ipqos[i].value, -1);
}

TEST(ParseIpqos, NamesRegardlessOfCaseAndNumbersInAnyBase) {
    const struct {
        const char *text;
        int expected;
    } cases[] = {
        {"EF", 184},        {"ef", 184},    {"eF", 184},
        {"AF41", 136},      {"Ac_Vo", 184}, {"LowDelay", 16},
        {"RELIABILITY", 4}, {"nqb2", 45},   {"NQB", 5},
        {"cs0", 0},         {"0x2e", 46},   {"0X2E", 46},
        {"255", 255},       {"0", 0},       {"070", 56},
        {"0xff", 255},      {"184", 184},   {"256", -1},
        {"-1", -1},         {"", -1},       {"af5", -1},
        {"ef ", -1},        {"12abc", -1},  {"0x", -1},
        {"08", -1},         {"0x100", -1},  {"99999999999999999999", -1},
        {"-0x1", -1},       {"ef2", -1},    {"af1", -1},
    };
    for (const auto &c : cases) EXPECT_EQ(parse_ipqos(c.text), c.expected) << c.text;
    EXPECT_EQ(parse_ipqos(nullptr), -1);
}

}  // namespace
