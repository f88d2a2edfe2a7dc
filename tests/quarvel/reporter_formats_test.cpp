// The reporter's other printed forms: the settings banner, the connection
// line, the report exclusions, the server report a UDP client receives, the
// comma-separated style and the MSS line.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "common/sockopt.h"
#include "common/units.h"
#include "quarvel/report_formats.h"
#include "quarvel/reporter.h"
#include "tests/quarvel/reporter_test_support.h"

namespace {

using reportertest::datagram;
using reportertest::drain;
using reportertest::feed;
using reportertest::finish;
using reportertest::ipv4;
using reportertest::ipv6;
using reportertest::Stream;
using reportertest::transfer;

const std::string kRule = "------------------------------------------------------------\n";

class ReporterFormats : public reportertest::ReporterTest {};

// A socket that only carries buffer sizes; closed at the end of the scope.
struct Socket {
    int fd;
    explicit Socket(int type) : fd(socket(AF_INET, type, 0)) {}
    ~Socket() {
        if (fd >= 0) close(fd);
    }
};

// What the banner shows for a buffer size, as the reporter formats it.
std::string size_text(int bytes) {
    char text[40];
    byte_snprintf(text, sizeof text, bytes, 'A', ToolVariant::kQuarvel);
    return text;
}

std::string replace_all(std::string text, const std::string &from, const std::string &to) {
    for (size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

TEST_F(ReporterFormats, DefaultTcpServerBannerShowsTheActualWindowAsDefault) {
    Socket sock(SOCK_STREAM);
    ASSERT_GE(sock.fd, 0);
    Stream listener(kMode_Listener, sock.fd, 0);
    capture();
    ReportSettings(&listener.s);
    drain();
    EXPECT_EQ(captured(), kRule + "Server listening on TCP port 5001\n" + "TCP window size: " +
                              size_text(getsock_tcp_windowsize(sock.fd, false)) + " (default)\n" +
                              kRule);
}

struct BannerCase {
    const char *name;
    ThreadMode mode;
    uint32_t flags;
    const char *host;
    const char *local_host;
    const char *peer;   // IPv4 text or null
    const char *local;  // IPv4 text or null
    int32_t window_size;
    // "{pid}" stands for the process number, "{actual}" for the socket's buffer.
    const char *expected;
};

// Case names instead of byte dumps in test listings.
void PrintTo(const BannerCase &c, std::ostream *os) {
    *os << c.name;
}

class ReporterBanner : public reportertest::ReporterTest,
                       public ::testing::WithParamInterface<BannerCase> {};

TEST_P(ReporterBanner, Lines) {
    const BannerCase &c = GetParam();
    const bool udp = (c.flags & OPT_UDP) != 0;
    Socket sock(udp ? SOCK_DGRAM : SOCK_STREAM);
    ASSERT_GE(sock.fd, 0);
    Stream stream(c.mode, sock.fd, c.flags);
    std::string host = c.host ? c.host : "";
    std::string local_host = c.local_host ? c.local_host : "";
    stream.s.host = c.host ? host.data() : nullptr;
    stream.s.local_host = c.local_host ? local_host.data() : nullptr;
    stream.s.rate = 1048576;
    if (c.peer) stream.s.peer = ipv4(c.peer, 5001);
    if (c.local) stream.s.local = ipv4(c.local, 5001);
    if (c.window_size > 0) {
        stream.s.window_size = c.window_size;
        ASSERT_EQ(setsock_tcp_windowsize(sock.fd, c.window_size, c.mode == kMode_Client), 0);
    }
    const int actual = getsock_tcp_windowsize(sock.fd, c.mode == kMode_Client);

    capture();
    ReportSettings(&stream.s);
    drain();
    std::string expected = replace_all(c.expected, "{pid}", std::to_string(getpid()));
    expected = replace_all(expected, "{actual}", size_text(actual));
    EXPECT_EQ(captured(), kRule + expected + kRule);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, ReporterBanner,
    ::testing::Values(BannerCase{"EnhancedTcpClient", kMode_Client, OPT_ENHANCED, "127.0.0.1",
                                 nullptr, "127.0.0.1", nullptr, 0,
                                 "Client connecting to 127.0.0.1, TCP port 5001 with pid {pid}\n"
                                 "TCP window size: {actual} (default)\n"},
                      BannerCase{"EnhancedListener", kMode_Listener, OPT_ENHANCED, nullptr, nullptr,
                                 nullptr, nullptr, 0,
                                 "Server listening on TCP port 5001 with pid {pid}\n"
                                 "TCP window size: {actual} (default)\n"},
                      BannerCase{
                          "UdpClientToMulticast", kMode_Client, OPT_UDP, "239.1.2.3", "127.0.0.1",
                          "239.1.2.3", "127.0.0.1", 0,
                          "Client connecting to 239.1.2.3, UDP port 5001\n"
                          "Binding to local address 127.0.0.1\n"
                          "Sending 1470 byte datagrams, IPG target: 11215.21 us (kalman adjust)\n"
                          "Setting multicast TTL to 1\n"
                          "UDP buffer size: {actual} (default)\n"},
                      BannerCase{"UdpMulticastListenerWithWindow", kMode_Listener, OPT_UDP, nullptr,
                                 "239.1.2.3", nullptr, "239.1.2.3", 65536,
                                 "Server listening on UDP port 5001\n"
                                 "Binding to local address 239.1.2.3\n"
                                 "Joining multicast group  239.1.2.3\n"
                                 "Receiving 1470 byte datagrams\n"
                                 "UDP buffer size: {actual} (WARNING: requested 64.0 KByte)\n"}),
    [](const ::testing::TestParamInfo<BannerCase> &param_info) {
        return std::string(param_info.param.name);
    });

TEST_F(ReporterFormats, BannerIsLeftOutWithExcludeSettingsAndInCsvStyle) {
    Socket sock(SOCK_STREAM);
    Stream excluded(kMode_Listener, sock.fd, OPT_NO_SETTINGS_REPORT);
    ReportSettings(&excluded.s);
    EXPECT_EQ(ReportRoot, nullptr);

    Stream csv(kMode_Listener, sock.fd, 0);
    csv.s.report_mode = kReport_CSV;
    capture();
    ReportSettings(&csv.s);
    drain();
    EXPECT_EQ(captured(), "");
}

TEST_F(ReporterFormats, ConnectionLine) {
    struct Case {
        int sock;
        sockaddr_storage local, peer;
        const char *expected;
    };
    const Case cases[] = {
        {4, ipv4("127.0.0.1", 40000), ipv4("127.0.0.1", 5001),
         "[  4] local 127.0.0.1 port 40000 connected with 127.0.0.1 port 5001\n"},
        {1234, ipv6("::1", 5001), ipv6("::1", 51000),
         "[1234] local ::1 port 5001 connected with ::1 port 51000\n"},
        {0, ipv4("127.0.0.1", 40000), ipv4("127.0.0.1", 5001), ""},
    };
    for (const Case &c : cases) {
        Stream stream(kMode_Server, c.sock, OPT_NO_DATA_REPORT);
        stream.s.local = c.local;
        stream.s.peer = c.peer;
        capture();
        EXPECT_EQ(InitReport(&stream.s), nullptr);
        drain();
        EXPECT_EQ(captured(), c.expected) << "socket " << c.sock;
    }
}

struct ExcludeCase {
    const char *name;
    uint32_t flags;
    bool data_report;
    const char *expected;
};

// Case names instead of byte dumps in test listings.
void PrintTo(const ExcludeCase &c, std::ostream *os) {
    *os << c.name;
}

class ReporterExclude : public reportertest::ReporterTest,
                        public ::testing::WithParamInterface<ExcludeCase> {};

TEST_P(ReporterExclude, WhatIsPrinted) {
    const ExcludeCase &c = GetParam();
    Stream stream(kMode_Server, 4, c.flags);
    stream.s.local = ipv4("127.0.0.1", 5001);
    stream.s.peer = ipv4("127.0.0.1", 40000);
    capture();
    DataReport *report = stream.open();
    EXPECT_EQ(report != nullptr, c.data_report);
    // Records of a thread without a report go nowhere.
    feed(report, transfer(1000, 0.5));
    finish(report, 1.0);
    drain();
    EXPECT_EQ(captured(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Flags, ReporterExclude,
    ::testing::Values(
        ExcludeCase{"Nothing", 0, true,
                    "[  4] local 127.0.0.1 port 5001 connected with 127.0.0.1 port 40000\n"
                    "[ ID] Interval       Transfer     Bandwidth\n"
                    "[  4]  0.0- 1.0 sec  1000 Bytes  8.00 Kbits/sec\n"},
        ExcludeCase{"Connection", OPT_NO_CONN_REPORT, true,
                    "[ ID] Interval       Transfer     Bandwidth\n"
                    "[  4]  0.0- 1.0 sec  1000 Bytes  8.00 Kbits/sec\n"},
        ExcludeCase{"Data", OPT_NO_DATA_REPORT, false,
                    "[  4] local 127.0.0.1 port 5001 connected with 127.0.0.1 port 40000\n"},
        ExcludeCase{"DataAndConnection", OPT_NO_DATA_REPORT | OPT_NO_CONN_REPORT, false, ""}),
    [](const ::testing::TestParamInfo<ExcludeCase> &param_info) {
        return std::string(param_info.param.name);
    });

// The server report from its flags word on, as the server writes it.
struct ServerReportBytes {
    uint8_t bytes[kServerReportBytes] = {};
    void put(size_t offset, uint32_t value) {
        bytes[offset] = static_cast<uint8_t>(value >> 24);
        bytes[offset + 1] = static_cast<uint8_t>(value >> 16);
        bytes[offset + 2] = static_cast<uint8_t>(value >> 8);
        bytes[offset + 3] = static_cast<uint8_t>(value);
    }
    ServerReportBytes(uint32_t flags, uint32_t bytes_high, uint32_t bytes_low) {
        put(0, flags);
        put(4, bytes_high);
        put(8, bytes_low);
        put(12, 10);  // end 10.0 s
        put(16, 0);
        put(20, 3);     // lost
        put(24, 1);     // out of order
        put(28, 1000);  // datagrams
        put(32, 0);     // jitter 0.000250 s
        put(36, 250);
        put(40, 0);  // min transit 0.001 s
        put(44, 1000);
        put(48, 0);  // max transit 0.003 s
        put(52, 3000);
        put(56, 2);  // transit sum 2 s
        put(60, 0);
        put(64, 2000);  // mean 2000 us
        put(68, 0);
        put(72, 999000000);  // M2: a standard deviation of 1000 us over 1000 samples
        put(76, 0);
        put(80, 0);  // deviation
        put(84, 0);
        put(88, 1000);  // transit samples
        put(92, 100);   // datagrams per second
        put(96, 1);
    }
};

struct ServerReportCase {
    const char *name;
    uint32_t client_flags;
    uint32_t bytes_high, bytes_low;
    const char *expected;
};

// Case names instead of byte dumps in test listings.
void PrintTo(const ServerReportCase &c, std::ostream *os) {
    *os << c.name;
}

class ReporterServerReport : public reportertest::ReporterTest,
                             public ::testing::WithParamInterface<ServerReportCase> {};

TEST_P(ReporterServerReport, PrintedWithoutAHeaderOfItsOwn) {
    const ServerReportCase &c = GetParam();
    Stream client(kMode_Client, 7, OPT_UDP | c.client_flags);
    const ServerReportBytes report(0x80000000u, c.bytes_high, c.bytes_low);
    header_printed = true;  // the client's own lines came first
    capture();
    ReportServerUDP(&client.s, report.bytes, sizeof report.bytes);
    drain();
    EXPECT_EQ(captured(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, ReporterServerReport,
    ::testing::Values(
        ServerReportCase{"Plain", 0, 0, 1470000,
                         "[  7] Server Report:\n"
                         "[  7]  0.0-10.0 sec  1.40 MBytes  1.18 Mbits/sec   0.250 ms    3/ 1000 "
                         "(0.3%)\n"
                         "[  7] 0.00-10.00 sec  1 datagrams received out-of-order\n"},
        ServerReportCase{"ByteCountInTwoWords", 0, 1, 5,
                         "[  7] Server Report:\n"
                         "[  7]  0.0-10.0 sec  4.00 GBytes  3.44 Gbits/sec   0.250 ms    3/ 1000 "
                         "(0.3%)\n"
                         "[  7] 0.00-10.00 sec  1 datagrams received out-of-order\n"},
        ServerReportCase{"EnhancedClient", OPT_ENHANCED, 0, 1470000,
                         "[  7] Server Report:\n"
                         "[  7] 0.00-10.00 sec  1.40 MBytes  1.18 Mbits/sec   0.250 ms    3/ 1000 "
                         "(0.3%)  2.000/ 1.000/ 3.000/ 1.000 ms  100 pps\n"
                         "[  7] 0.00-10.00 sec  1 datagrams received out-of-order\n"}),
    [](const ::testing::TestParamInfo<ServerReportCase> &param_info) {
        return std::string(param_info.param.name);
    });

TEST_F(ReporterFormats, ServerReportIgnored) {
    // A report without its flag, one the client excludes, one cut short.
    const ServerReportBytes flagless(0, 0, 1470000);
    const ServerReportBytes flagged(0x80000000u, 0, 1470000);
    Stream plain(kMode_Client, 7, OPT_UDP);
    Stream excluding(kMode_Client, 7, OPT_UDP | OPT_NO_SERVER_REPORT);

    ReportServerUDP(&plain.s, flagless.bytes, kServerReportBytes);
    EXPECT_EQ(ReportRoot, nullptr) << "flags without the report bit";
    ReportServerUDP(&excluding.s, flagged.bytes, kServerReportBytes);
    EXPECT_EQ(ReportRoot, nullptr) << "client excludes server reports";
    ReportServerUDP(&plain.s, flagged.bytes, kServerReportBytes - 1);
    EXPECT_EQ(ReportRoot, nullptr) << "one byte short";
    ReportServerUDP(&plain.s, nullptr, kServerReportBytes);
    EXPECT_EQ(ReportRoot, nullptr) << "no datagram";
}

// Splits a CSV line into its fields (the newline dropped).
std::vector<std::string> fields_of(std::string line) {
    if (!line.empty() && line.back() == '\n') line.pop_back();
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t comma = line.find(','); comma != std::string::npos; comma = line.find(',', start)) {
        fields.push_back(line.substr(start, comma - start));
        start = comma + 1;
    }
    fields.push_back(line.substr(start));
    return fields;
}

bool all_digits(const std::string &text) {
    if (text.empty()) return false;
    for (char ch : text) {
        if (!isdigit(static_cast<unsigned char>(ch))) return false;
    }
    return true;
}

TEST_F(ReporterFormats, CsvTcpLineHasNineFields) {
    Stream client(kMode_Client, 4, 0);
    client.s.report_mode = kReport_CSV;
    client.s.local = ipv4("127.0.0.1", 40000);
    client.s.peer = ipv4("127.0.0.1", 5001);
    DataReport *report = client.open();
    ASSERT_NE(report, nullptr);
    capture();
    for (int second = 1; second <= 10; second++) feed(report, transfer(131072, second));
    finish(report, 10.0);
    const std::string out = captured();
    const std::vector<std::string> fields = fields_of(out);
    ASSERT_EQ(fields.size(), 9u) << out;
    EXPECT_EQ(fields[0].size(), 14u) << out;
    EXPECT_TRUE(all_digits(fields[0])) << out;
    EXPECT_EQ(out.substr(14), ",127.0.0.1,40000,127.0.0.1,5001,4,0.0-10.0,1310720,1048576\n");
}

TEST_F(ReporterFormats, CsvUdpReceiverLineAddsLossAndJitter) {
    Stream server(kMode_Server, 3, OPT_UDP | OPT_NO_CONN_REPORT);
    server.s.report_mode = kReport_CSV;
    DataReport *report = server.open();
    ASSERT_NE(report, nullptr);
    capture();
    const int32_t numbers[] = {1, 2, 5, 3};
    double arrival_s = 0.1;
    for (int32_t number : numbers) {
        feed(report, datagram(number, 1470, arrival_s, 0.001));
        arrival_s += 0.1;
    }
    finish(report, 1.0);
    const std::string out = captured();
    ASSERT_EQ(fields_of(out).size(), 14u) << out;
    EXPECT_TRUE(all_digits(out.substr(0, 14))) << out;
    // Without a connection report the peer columns stay empty.
    EXPECT_EQ(out.substr(14), ",,,,,3,0.0-1.0,5880,47040,0.000,1,5,20.000,1\n");
}

TEST_F(ReporterFormats, CsvServerReportWithAnImpossibleByteCountIsClamped) {
    // A server may send any 64-bit count: one above 2^63 over half a second
    // has a rate below the integer range, which is clamped like one above it.
    Stream client(kMode_Client, 7, OPT_UDP | OPT_NO_CONN_REPORT);
    client.s.report_mode = kReport_CSV;
    ServerReportBytes report(0x80000000u, 0x80000000u, 0);
    report.put(12, 0);
    report.put(16, 500000);
    capture();
    ReportServerUDP(&client.s, report.bytes, sizeof report.bytes);
    drain();
    const std::vector<std::string> fields = fields_of(captured());
    ASSERT_GE(fields.size(), 9u);
    EXPECT_EQ(fields[8], "-9200000000000000000");
}

TEST_F(ReporterFormats, CsvEnhancedTimeStampHasMilliseconds) {
    Stream client(kMode_Client, 4, OPT_ENHANCED | OPT_NO_CONN_REPORT);
    client.s.report_mode = kReport_CSV;
    DataReport *report = client.open();
    ASSERT_NE(report, nullptr);
    capture();
    feed(report, transfer(1000, 0.5));
    finish(report, 2.0);
    const std::string out = captured();
    ASSERT_GT(out.size(), 18u);
    EXPECT_TRUE(all_digits(out.substr(0, 14))) << out;
    EXPECT_EQ(out[14], '.') << out;
    EXPECT_TRUE(all_digits(out.substr(15, 3))) << out;
    EXPECT_EQ(out.substr(18), ",,,,,4,0.0-2.0,1000,4000\n");
}

TEST_F(ReporterFormats, MssTableRows) {
    struct Case {
        int mss;
        const char *expected;
    };
    const Case cases[] = {
        {1448, "[  4] MSS size 1448 bytes (MTU 1500 bytes, ethernet)\n"},
        {1420, "[  4] MSS size 1420 bytes (MTU 1500 bytes, ethernet)\n"},
        {1460, "[  4] MSS size 1460 bytes (MTU 1500 bytes, ethernet)\n"},
        {1461, "[  4] MSS size 1461 bytes (MTU 1501 bytes, unknown interface)\n"},
        {4272, "[  4] MSS size 4272 bytes (MTU 4352 bytes, FDDI)\n"},
        {9140, "[  4] MSS size 9140 bytes (MTU 9180 bytes, ATM)\n"},
        {65240, "[  4] MSS size 65240 bytes (MTU 65280 bytes, HIPPI)\n"},
        {536,
         "WARNING: Path MTU Discovery may not be enabled.\n"
         "[  4] MSS size 536 bytes (MTU 576 bytes, minimum)\n"},
        {496,
         "WARNING: Path MTU Discovery may not be enabled.\n"
         "[  4] MSS size 496 bytes (MTU 576 bytes, minimum)\n"},
        {495, "[  4] MSS size 495 bytes (MTU 535 bytes, unknown interface)\n"},
        {1000, "[  4] MSS size 1000 bytes (MTU 1040 bytes, unknown interface)\n"},
        {0, "[  4] MSS and MTU size unknown (TCP_MAXSEG not supported by OS?)\n"},
        {-1, "[  4] MSS and MTU size unknown (TCP_MAXSEG not supported by OS?)\n"},
    };
    for (const Case &c : cases) {
        capture();
        PrintMSSValue(4, c.mss);
        EXPECT_EQ(captured(), c.expected) << "MSS " << c.mss;
    }
}

TEST_F(ReporterFormats, MssLineFollowsOnlyTheFinalTcpLine) {
    struct Case {
        uint32_t flags;
        bool mss_line;
    };
    const Case cases[] = {{OPT_PRINT_MSS, true}, {OPT_PRINT_MSS | OPT_UDP, false}, {0, false}};
    for (const Case &c : cases) {
        header_printed = true;
        // No socket: the segment size cannot be read.
        Stream stream(kMode_Client, -1, c.flags | OPT_NO_CONN_REPORT);
        stream.s.interval = 1.0;
        DataReport *report = stream.open();
        ASSERT_NE(report, nullptr);
        capture();
        ::testing::internal::CaptureStderr();
        PacketReport record = transfer(1000, 1.5);
        feed(report, record);
        finish(report, 2.0);
        const std::string err = ::testing::internal::GetCapturedStderr();
        const std::string out = captured();
        const std::string unknown =
            "[ -1] MSS and MTU size unknown (TCP_MAXSEG not supported by OS?)\n";
        const size_t at = out.find(unknown);
        EXPECT_EQ(at != std::string::npos, c.mss_line) << out;
        if (c.mss_line) {
            EXPECT_EQ(at + unknown.size(), out.size()) << "the MSS line comes last: " << out;
            EXPECT_EQ(err, "getsockopt TCP_MAXSEG failed: Bad file descriptor\n");
        }
    }
}

}  // namespace
