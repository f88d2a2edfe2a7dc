// The client's payload from a file (-F): exactly the file's bytes go out after
// the test header (TCP) or after the headers of each datagram (UDP), the test
// ends with the file, and a file that cannot be read leaves the pattern.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "common/signals.h"
#include "quarvel/client.h"
#include "quarvel/reporter.h"
#include "tests/quarvel/client_test_peers.h"
#include "tests/quarvel/record_support.h"
#include "tests/support/process.h"

namespace {

using clienttest::Bound;
using clienttest::word;
using quarveltest::parse;
using quarveltest::Record;
using testsupport::TempDir;

// Bytes that no block size lines up with.
std::string file_bytes(size_t size) {
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>('a' + (i * 7 + i / 13) % 26);
    return s;
}

std::string write_input(const TempDir &dir, const std::string &content) {
    const std::string path = dir.file("payload.bin");
    FILE *f = fopen(path.c_str(), "wb");
    fwrite(content.data(), 1, content.size(), f);
    fclose(f);
    return path;
}

// Runs the client on this thread and drains its reports; returns stdout.
std::string run_client(thread_Settings *s) {
    sInterupted = 0;
    testing::internal::CaptureStdout();
    client_spawn(s);
    while (reporter_process_reports()) {
    }
    return testing::internal::GetCapturedStdout();
}

struct TcpFileCase {
    const char *name;
    size_t file_size;
    const char *amount;  // -n: more than the file, or less
    size_t sent;         // payload bytes after the header
};

std::ostream &operator<<(std::ostream &os, const TcpFileCase &c) {
    return os << c.name;
}

class ClientTcpFile : public testing::TestWithParam<TcpFileCase> {};

TEST_P(ClientTcpFile, SendsTheFileBytesOnly) {
    const TcpFileCase &c = GetParam();
    const TempDir dir;
    const std::string content = file_bytes(c.file_size);
    const std::string path = write_input(dir, content);
    Bound listener(SOCK_STREAM);
    ASSERT_EQ(listen(listener.fd(), 5), 0);
    std::string data;
    std::thread peer([&] { data = clienttest::accept_and_read(listener.fd()); });
    Record r;
    parse({"-c", "127.0.0.1", "-p", std::to_string(listener.port()), "-l", "1000", "-n", c.amount,
           "-F", path, "-x", "CDS"},
          r.s);
    const std::string out = run_client(r.s);
    peer.join();
    ASSERT_EQ(data.size(), 36u + c.sent) << out;
    EXPECT_EQ(data.substr(36), content.substr(0, c.sent));
    EXPECT_NE(out.find("if ( isFileInput( mSettings ) )"), std::string::npos);
}

const TcpFileCase kTcpFileCases[] = {
    {"short_last_block", 2500, "100000", 2500},
    {"whole_blocks", 2000, "100000", 2000},
    {"count_ends_first", 5000, "2000", 2000},
    {"empty_file", 0, "100000", 0},
};
INSTANTIATE_TEST_SUITE_P(Files, ClientTcpFile, testing::ValuesIn(kTcpFileCases),
                         [](const auto &param_info) { return std::string(param_info.param.name); });

TEST(ClientTcpFile, UnreadableFileSendsThePattern) {
    Bound listener(SOCK_STREAM);
    ASSERT_EQ(listen(listener.fd(), 5), 0);
    std::string data;
    std::thread peer([&] { data = clienttest::accept_and_read(listener.fd()); });
    Record r;
    parse({"-c", "127.0.0.1", "-p", std::to_string(listener.port()), "-l", "1000", "-n", "2000",
           "-F", "/nonexistent/payload", "-x", "CDS"},
          r.s);
    testing::internal::CaptureStderr();
    run_client(r.s);
    const std::string err = testing::internal::GetCapturedStderr();
    peer.join();
    EXPECT_EQ(err, "Unable to open the file stream\nWill use the default data stream\n");
    EXPECT_FALSE(r.s->option_flags & OPT_FILE_INPUT);
    ASSERT_EQ(data.size(), 36u + 2000);
    EXPECT_EQ(data.substr(36 + 40, 10), "0123456789");
}

struct UdpFileCase {
    const char *name;
    size_t file_size;
    std::vector<size_t> sizes;  // of the datagrams before the final one
};

std::ostream &operator<<(std::ostream &os, const UdpFileCase &c) {
    return os << c.name;
}

class ClientUdpFile : public testing::TestWithParam<UdpFileCase> {};

// -l 200: 152 file bytes after the 12-byte datagram header and the 36-byte
// test header of every datagram.
TEST_P(ClientUdpFile, DatagramsCarryTheFileAfterTheHeaders) {
    const UdpFileCase &c = GetParam();
    const TempDir dir;
    const std::string content = file_bytes(c.file_size);
    const std::string path = write_input(dir, content);
    Bound server(SOCK_DGRAM);
    clienttest::UdpLog log;
    std::thread peer(
        [&] { log = clienttest::serve_udp(server.fd(), clienttest::FinAnswer::kReport); });
    Record r;
    parse({"-c", "127.0.0.1", "-p", std::to_string(server.port()), "-u", "-l", "200", "-b", "100m",
           "-t", "5", "-F", path, "-x", "CDS"},
          r.s);
    run_client(r.s);
    peer.join();
    ASSERT_EQ(log.datagrams.size(), c.sizes.size() + 1);
    std::string carried;
    for (size_t i = 0; i < c.sizes.size(); ++i) {
        const std::string &d = log.datagrams[i];
        EXPECT_EQ(d.size(), c.sizes[i]) << i;
        EXPECT_EQ(int32_t(word(d, 0)), int32_t(i));
        EXPECT_EQ(word(d, 12 + 12), 200u);  // the test header stays in place
        carried += d.substr(48);
    }
    EXPECT_EQ(carried, content);
    EXPECT_EQ(int32_t(word(log.datagrams.back(), 0)), -int32_t(c.sizes.size()));
}

const UdpFileCase kUdpFileCases[] = {
    {"short_last_block", 400, {200, 200, 144}},
    {"whole_blocks", 304, {200, 200}},
    // The first datagram still carries the test header.
    {"empty_file", 0, {48}},
};
INSTANTIATE_TEST_SUITE_P(Files, ClientUdpFile, testing::ValuesIn(kUdpFileCases),
                         [](const auto &param_info) { return std::string(param_info.param.name); });

}  // namespace
