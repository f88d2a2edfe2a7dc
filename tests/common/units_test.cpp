#include "common/units.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <string>

namespace {

struct AtoiCase {
    const char *text;
    int64_t expected;
};

TEST(ByteAtoi, SuffixesAndPlainNumbers) {
    const AtoiCase cases[] = {
        {"10k", 10000},  {"10K", 10240},     {"1.5M", 1572864},  {"8", 8},        {"10x", 10},
        {"2m", 2000000}, {"2g", 2000000000}, {"2G", 2147483648}, {"3M", 3145728}, {"1.5k", 1500},
        {"0.5K", 512},   {"10p", 10},        {"10P", 10},        {"  42", 42},    {"42 k", 42},
        {"1e3", 1000},   {"-5", -5},         {"-2K", -2048},     {"-1.9", -1},    {"1.9", 1},
        {"0", 0},        {"131072", 131072},
    };
    for (const auto &c : cases) EXPECT_EQ(byte_atoi(c.text), c.expected) << c.text;
}

TEST(ByteAtoi, HugeAndGarbageInputStayDefined) {
    const AtoiCase cases[] = {
        {"", 0},
        {"k", 0},
        {"garbage", 0},
        {"nan", 0},
        {"-nan", 0},
        {"9223372036854775807", INT64_MAX},
        {"9223372036854775808", INT64_MAX},
        {"1e30", INT64_MAX},
        {"1e300G", INT64_MAX},
        {"1e999", INT64_MAX},
        {"inf", INT64_MAX},
        {"-inf", INT64_MIN},
        {"-1e30", INT64_MIN},
        {"-9223372036854775808", INT64_MIN},
        {"8589934591G", 9223372035781033984},  // (2^33 - 1) x 2^30 fits
        {"8589934592G", INT64_MAX},            // 2^63 does not
    };
    for (const auto &c : cases) EXPECT_EQ(byte_atoi(c.text), c.expected) << c.text;
    EXPECT_EQ(byte_atoi(nullptr), 0);
}

TEST(ByteAtof, KeepsFractionsAndIsAlwaysFinite) {
    EXPECT_DOUBLE_EQ(byte_atof("1.5k"), 1500.0);
    EXPECT_DOUBLE_EQ(byte_atof("0.25K"), 256.0);
    EXPECT_DOUBLE_EQ(byte_atof("1.1"), 1.1);
    EXPECT_DOUBLE_EQ(byte_atof("-3m"), -3e6);
    EXPECT_DOUBLE_EQ(byte_atof(""), 0.0);
    EXPECT_DOUBLE_EQ(byte_atof(nullptr), 0.0);
    EXPECT_DOUBLE_EQ(byte_atof("nan"), 0.0);
    EXPECT_DOUBLE_EQ(byte_atof("inf"), DBL_MAX);
    EXPECT_DOUBLE_EQ(byte_atof("-1e308G"), -DBL_MAX);
}

TEST(BitOrByte, LowerCaseIsBitsUpperCaseIsBytesInBits) {
    const struct {
        const char *text;
        uint64_t expected;
    } cases[] = {
        {"1M", 8000000},
        {"1m", 1000000},
        {"1k", 1000},
        {"1K", 8000},
        {"1g", 1000000000},
        {"1G", 8000000000},
        {"2.5m", 2500000},
        {"100", 100},
        {"100p", 100},
        {"100P", 100},
        {"-5m", 0},
        {"", 0},
        {"junk", 0},
        {"nan", 0},
        {"1e30", UINT64_MAX},
        {"inf", UINT64_MAX},
        {"18446744073709551615", UINT64_MAX},
        {"1e19", 10000000000000000000ull},
    };
    for (const auto &c : cases) EXPECT_EQ(bitorbyte_atoi(c.text), c.expected) << c.text;
    EXPECT_EQ(bitorbyte_atoi(nullptr), 0u);
}

TEST(BitOrByte, RealFormMarksPacketRatesNegative) {
    EXPECT_DOUBLE_EQ(bitorbyte_atof("100p"), -100.0);
    EXPECT_DOUBLE_EQ(bitorbyte_atof("2.5P"), -2.5);
    EXPECT_DOUBLE_EQ(bitorbyte_atof("18M"), 144e6);
    EXPECT_DOUBLE_EQ(bitorbyte_atof("1m"), 1e6);
    EXPECT_DOUBLE_EQ(bitorbyte_atof("0.5G"), 4e9);
    EXPECT_DOUBLE_EQ(bitorbyte_atof("7"), 7.0);
    EXPECT_DOUBLE_EQ(bitorbyte_atof("x"), 0.0);
    EXPECT_DOUBLE_EQ(bitorbyte_atof("-inf"), -DBL_MAX);
    EXPECT_DOUBLE_EQ(bitorbyte_atof("infp"), -DBL_MAX);
}

std::string format(double bytes, char letter, ToolVariant variant = ToolVariant::kToril) {
    char buf[512];
    int n = byte_snprintf(buf, sizeof buf, bytes, letter, variant);
    EXPECT_EQ(n, static_cast<int>(std::string(buf).size()));
    return buf;
}

struct FormatCase {
    double bytes;
    char letter;
    const char *expected;
};

TEST(ByteSnprintf, FixedAndAdaptiveUnits) {
    const FormatCase cases[] = {
        {1234567, 'a', "9.88 Mbit"},
        {1024, 'A', "1.00 KByte"},
        {100, 'K', "0.098 KByte"},
        {999.6, 'A', "1000 Byte"},
        {-2048, 'A', "-2.00 KByte"},
        {0, 'A', "0.000 Byte"},
        {0, 'a', "0.000 bit"},
        {1, 'b', "8.00 bit"},
        {1, 'B', "1.00 Byte"},
        {125, 'k', "1.00 Kbit"},
        {125000, 'm', "1.00 Mbit"},
        {125000000, 'g', "1.00 Gbit"},
        {125e9, 't', "1.00 Tbit"},
        {125e12, 'p', "1.00 Pbit"},
        {1048576, 'M', "1.00 MByte"},
        {1073741824.0 * 5, 'G', "5.00 GByte"},
        {1099511627776.0 * 20, 'T', "20.0 TByte"},
        {1125899906842624.0 * 300, 'P', " 300 PByte"},
        {1023, 'A', "1023 Byte"},
        {50, 'A', "50.0 Byte"},
        {9.99, 'A', "9.99 Byte"},
        {9.996, 'A', "10.0 Byte"},
        {99.96, 'A', " 100 Byte"},
        {0.9994, 'A', "0.999 Byte"},
        {0.9996, 'A', "1.00 Byte"},
        {124.9, 'a', " 999 bit"},
        {125, 'a', "1.00 Kbit"},
        {1125899906842624.0 * 4096, 'A', "4096 PByte"},  // the table ends at P
        {1e18, 'a', "8000 Pbit"},
        {131072, 'z', "1.05 Mbit"},   // any other lower-case letter: adaptive bits
        {131072, 'Z', " 128 KByte"},  // any other upper-case letter: adaptive bytes
    };
    for (const auto &c : cases) EXPECT_EQ(format(c.bytes, c.letter), c.expected) << c.bytes;
}

TEST(ByteSnprintf, QuarvelStopsAtGigaAndHasNoThreeDecimalForm) {
    const FormatCase cases[] = {
        {100, 'K', "0.10 KByte"},
        {0, 'A', "0.00 Byte"},
        {1024, 'A', "1.00 KByte"},
        {1099511627776.0, 'A', "1024 GByte"},  // the table ends at G
        {1e12, 'a', "8000 Gbit"},
        {1099511627776.0, 'T', "1024 GByte"},  // T is not a unit letter here
        {1073741824.0, 'G', "1.00 GByte"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(format(c.bytes, c.letter, ToolVariant::kQuarvel), c.expected) << c.bytes;
    }
}

TEST(ByteSnprintf, CutsToTheBufferAndReportsTheFullLength) {
    char buf[6];
    EXPECT_EQ(byte_snprintf(buf, sizeof buf, 1024, 'A'), 10);  // "1.00 KByte"
    EXPECT_STREQ(buf, "1.00 ");
    EXPECT_EQ(byte_snprintf(nullptr, 0, 1024, 'A'), 10);
}

TEST(ByteSnprintf, NonFiniteValuesPrintWithoutLooping) {
    EXPECT_EQ(format(NAN, 'A'), " nan Byte");
    EXPECT_EQ(format(INFINITY, 'A'), " inf PByte");
    EXPECT_EQ(format(-INFINITY, 'a'), "-inf Pbit");
}

}  // namespace
