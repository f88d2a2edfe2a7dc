#include "common/warn.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <sys/stat.h>

namespace {

TEST(Warn, PrintsTheActionAndFailed) {
    testing::internal::CaptureStderr();
    warn("setsockopt TCP_NODELAY", __FILE__, __LINE__);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "setsockopt TCP_NODELAY failed\n");
}

TEST(Warn, TextWithItsOwnNewlineKeepsIt) {
    testing::internal::CaptureStderr();
    WARN("Out of Memory!!\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Out of Memory!!\n failed\n");
}

TEST(WarnErrno, AddsTheSystemErrorTextAndKeepsErrno) {
    const struct {
        int err;
        const char *expected;
    } cases[] = {
        {ECONNREFUSED, "tcp connect failed: Connection refused\n"},
        {EPIPE, "tcp connect failed: Broken pipe\n"},
        {EAGAIN, "tcp connect failed: Resource temporarily unavailable\n"},
    };
    for (const auto &c : cases) {
        testing::internal::CaptureStderr();
        errno = c.err;
        WARN_ERRNO("tcp connect");
        EXPECT_EQ(errno, c.err);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.expected);
    }
}

TEST(WarnErrno, FlushesOpenStreamsFirst) {
    // A pending report line must reach its file before the warning appears.
    FILE *out = tmpfile();
    ASSERT_NE(out, nullptr);
    ASSERT_EQ(setvbuf(out, nullptr, _IOFBF, 4096), 0);
    fputs("pending line", out);
    struct stat st;
    ASSERT_EQ(fstat(fileno(out), &st), 0);
    ASSERT_EQ(st.st_size, 0);  // still in the stream's buffer
    testing::internal::CaptureStderr();
    errno = EINVAL;
    WARN_ERRNO("bind");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "bind failed: Invalid argument\n");
    ASSERT_EQ(fstat(fileno(out), &st), 0);
    EXPECT_EQ(st.st_size, 12);
    fclose(out);
}

}  // namespace
