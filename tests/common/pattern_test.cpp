#include "common/pattern.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(Pattern, RepeatsTheDigitsFromTheStart) {
    std::string buf(12, 'x');
    pattern(buf.data(), 12);
    EXPECT_EQ(buf, "012345678901");
}

TEST(Pattern, WritesExactlyLenBytes) {
    std::vector<char> buf(1500, 'x');
    pattern(buf.data() + 1, 1497);
    EXPECT_EQ(buf[0], 'x');
    EXPECT_EQ(buf[1498], 'x');
    EXPECT_EQ(buf[1497], '0' + 1496 % 10);
    for (int i = 0; i < 1497; i++) ASSERT_EQ(buf[1 + i], '0' + i % 10) << i;
}

TEST(Pattern, NothingForZeroOrNegativeLength) {
    char buf[4] = {'x', 'x', 'x', 'x'};
    pattern(buf, 0);
    pattern(buf, -5);
    EXPECT_EQ(std::string(buf, 4), "xxxx");
}

}  // namespace
