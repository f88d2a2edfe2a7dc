// The clients' payload input: blocks of a file or of a stream handed in,
// the end of the input, the chunk kept for headers, and who closes what.
#include "common/extractor.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/process.h"

namespace {

using testsupport::TempDir;

std::string write_file(const TempDir &dir, const std::string &content) {
    const std::string path = dir.file("input.bin");
    FILE *f = fopen(path.c_str(), "wb");
    fwrite(content.data(), 1, content.size(), f);
    fclose(f);
    return path;
}

// Content with no repeating period that a block size could hide.
std::string numbered(size_t size) {
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
    return s;
}

TEST(ExtractorOpen, MissingFileFallsBackWithItsMessage) {
    const TempDir dir;
    for (const char *path : {"/nonexistent/input", static_cast<const char *>(nullptr)}) {
        PayloadInput input;
        testing::internal::CaptureStderr();
        EXPECT_FALSE(Extractor_Open(false, path, 1000, &input));
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "Unable to open the file stream\nWill use the default data stream\n");
        EXPECT_EQ(input.stream, nullptr);
        EXPECT_FALSE(Extractor_canRead(&input));
        char data[8] = "unused";
        EXPECT_EQ(Extractor_getNextDataBlock(data, &input), 0);
        EXPECT_STREQ(data, "unused");
        Extractor_Destroy(&input);  // nothing to close
    }
}

TEST(ExtractorOpen, StandardInputIsUsedAndNeverClosed) {
    PayloadInput input;
    EXPECT_TRUE(Extractor_Open(true, "ignored", 512, &input));
    EXPECT_EQ(input.stream, stdin);
    EXPECT_EQ(input.chunk, 512);
    EXPECT_FALSE(input.owned);
    Extractor_Destroy(&input);
    EXPECT_EQ(input.stream, nullptr);
    EXPECT_NE(fcntl(STDIN_FILENO, F_GETFD), -1);
}

struct BlockCase {
    const char *name;
    size_t file_size;
    int32_t chunk;
    std::vector<int32_t> blocks;  // bytes of each read, up to the first 0
};

std::ostream &operator<<(std::ostream &os, const BlockCase &c) {
    return os << c.name;
}

class ExtractorBlocks : public testing::TestWithParam<BlockCase> {};

// Every byte of the file arrives once and in order; a short block comes only
// at the end, and then the input has ended.
TEST_P(ExtractorBlocks, ReadTheFileInChunks) {
    const BlockCase &c = GetParam();
    const TempDir dir;
    const std::string content = numbered(c.file_size);
    PayloadInput input;
    ASSERT_TRUE(Extractor_Open(false, write_file(dir, content).c_str(), c.chunk, &input));
    EXPECT_TRUE(input.owned);
    std::string got;
    std::vector<int32_t> sizes;
    std::vector<char> data(static_cast<size_t>(c.chunk) + 1, '\x55');
    for (int i = 0; i < 100; ++i) {
        const int32_t n = Extractor_getNextDataBlock(data.data(), &input);
        sizes.push_back(n);
        if (n == 0) break;
        EXPECT_EQ(data[static_cast<size_t>(c.chunk)], '\x55');  // never past a chunk
        got.append(data.data(), static_cast<size_t>(n));
    }
    EXPECT_EQ(sizes, c.blocks);
    EXPECT_EQ(got, content);
    EXPECT_FALSE(Extractor_canRead(&input));
    Extractor_Destroy(&input);
    EXPECT_EQ(input.stream, nullptr);
}

const BlockCase kBlockCases[] = {
    {"short_last_block", 2500, 1000, {1000, 1000, 500, 0}},
    // The end shows only on the read after the last whole block.
    {"whole_blocks", 2000, 1000, {1000, 1000, 0}},
    {"empty_file", 0, 1000, {0}},
    {"one_byte_chunks", 3, 1, {1, 1, 1, 0}},
};
INSTANTIATE_TEST_SUITE_P(Sizes, ExtractorBlocks, testing::ValuesIn(kBlockCases),
                         [](const auto &param_info) { return std::string(param_info.param.name); });

TEST(ExtractorChunk, ReducedForHeadersAndNeverNegative) {
    PayloadInput input;
    Extractor_InitializeFile(stdin, 1470, &input);
    Extractor_reduceReadSize(16, &input);
    EXPECT_EQ(input.chunk, 1454);
    Extractor_reduceReadSize(5000, &input);
    EXPECT_EQ(input.chunk, 0);
    // A chunk of 0 reads nothing and does not end the input.
    char data[4] = "abc";
    EXPECT_EQ(Extractor_getNextDataBlock(data, &input), 0);
    EXPECT_STREQ(data, "abc");
    EXPECT_TRUE(Extractor_canRead(&input));
}

// A pipe, as standard input usually is: the writer's pieces come back as
// whole chunks, the stream handed in stays open after Destroy.
TEST(ExtractorStream, PipeInputInWholeChunks) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    FILE *reader = fdopen(fds[0], "rb");
    ASSERT_NE(reader, nullptr);
    ASSERT_EQ(write(fds[1], "abcd", 4), 4);
    ASSERT_EQ(write(fds[1], "efg", 3), 3);
    close(fds[1]);
    PayloadInput input;
    Extractor_InitializeFile(reader, 5, &input);
    char data[5];
    ASSERT_EQ(Extractor_getNextDataBlock(data, &input), 5);
    EXPECT_EQ(std::string(data, 5), "abcde");
    ASSERT_EQ(Extractor_getNextDataBlock(data, &input), 2);
    EXPECT_EQ(std::string(data, 2), "fg");
    EXPECT_FALSE(Extractor_canRead(&input));
    Extractor_Destroy(&input);
    EXPECT_NE(fcntl(fds[0], F_GETFD), -1);
    fclose(reader);
}

TEST(ExtractorStream, FailedStreamCannotBeRead) {
    const TempDir dir;
    const std::string path = dir.file("out.bin");
    FILE *write_only = fopen(path.c_str(), "wb");
    ASSERT_NE(write_only, nullptr);
    PayloadInput input;
    Extractor_InitializeFile(write_only, 16, &input);
    char data[16];
    EXPECT_EQ(Extractor_getNextDataBlock(data, &input), 0);
    EXPECT_FALSE(Extractor_canRead(&input));
    EXPECT_EQ(Extractor_getNextDataBlock(data, &input), 0);
    fclose(write_only);
}

}  // namespace
