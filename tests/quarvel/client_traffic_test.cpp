// The classic client against small loopback peers: the TCP header and the
// bytes that follow it, UDP datagram numbering with the header inside, and
// the final datagram exchange with every kind of answer a peer can give.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "common/signals.h"
#include "quarvel/client.h"
#include "quarvel/reporter.h"
#include "tests/quarvel/client_test_peers.h"
#include "tests/quarvel/record_support.h"

namespace {

using clienttest::Bound;
using clienttest::FinAnswer;
using clienttest::word;
using quarveltest::parse;
using quarveltest::Record;

// Runs the client of the command line words on this thread; returns stdout.
std::string run_client(thread_Settings *s) {
    sInterupted = 0;
    testing::internal::CaptureStdout();
    client_spawn(s);
    return testing::internal::GetCapturedStdout();
}

TEST(ClientTcp, HeaderThenWholeBuffersOfPattern) {
    Bound listener(SOCK_STREAM);
    ASSERT_EQ(listen(listener.fd(), 5), 0);
    std::string data;
    std::thread peer([&] { data = clienttest::accept_and_read(listener.fd()); });
    Record r;
    parse({"-c", "127.0.0.1", "-p", std::to_string(listener.port()), "-n", "2500", "-l", "1000",
           "-x", "CDS"},
          r.s);
    const std::string out = run_client(r.s);
    peer.join();
    EXPECT_NE(out.find("Inside Client::RunTCP( void ) .....\n"), std::string::npos);
    EXPECT_NE(out.find("\n Batch Report Printing -- mSettings->mInterval = 0.000000 \n"),
              std::string::npos);
    // The 36-byte header, then three whole buffers (the last one is not cut).
    ASSERT_EQ(data.size(), 36u + 3 * 1000);
    EXPECT_EQ(word(data, 0), 0u);
    EXPECT_EQ(word(data, 8), listener.port());
    EXPECT_EQ(word(data, 12), 1000u);
    EXPECT_EQ(word(data, 20), 2500u);
    EXPECT_EQ(data.substr(28, 8), "89012345");  // the pattern under the header
    // The header stays at the start of the buffer, so every write carries it.
    EXPECT_EQ(data.substr(36, 36), data.substr(0, 36));
    EXPECT_EQ(data.substr(36 + 2000, 36), data.substr(0, 36));
    EXPECT_EQ(data.substr(36 + 40, 10), "0123456789");
}

TEST(ClientTcp, CompatibilitySendsNoHeader) {
    Bound listener(SOCK_STREAM);
    ASSERT_EQ(listen(listener.fd(), 5), 0);
    std::string data;
    std::thread peer([&] { data = clienttest::accept_and_read(listener.fd()); });
    Record r;
    parse({"-c", "127.0.0.1", "-p", std::to_string(listener.port()), "-n", "100", "-l", "100", "-C",
           "-x", "CDS", "-b", "1m"},
          r.s);
    r.s->option_flags &= ~OPT_UDP;  // -b on TCP: the token bucket
    run_client(r.s);
    peer.join();
    ASSERT_EQ(data.size(), 100u);
    EXPECT_EQ(data.substr(0, 10), "0123456789");
}

struct FinCase {
    const char *name;
    FinAnswer answer;
    int finals;           // final datagrams the client sends
    bool report;          // a server report is printed
    const char *warning;  // on standard error, or ""
};

TEST(ClientUdp, DatagramsCarryNumbersAndHeaderAndTheFinalExchangeEnds) {
    const FinCase cases[] = {
        {"full report", FinAnswer::kReport, 1, true, ""},
        {"forged flags", FinAnswer::kForgedFlags, 1, false, ""},
        {"absurd report", FinAnswer::kAbsurdReport, 1, true, ""},
        {"short answer", FinAnswer::kShort, 1, false, ""},
        {"hello first", FinAnswer::kHelloThenReport, 1, true, ""},
        {"hellos only", FinAnswer::kHellosOnly, 10, false,
         "WARNING: did not receive ack of last datagram after 10 tries.\n"},
        {"silent server", FinAnswer::kSilent, 10, false,
         "WARNING: did not receive ack of last datagram after 10 tries.\n"},
    };
    for (const FinCase &c : cases) {
        Bound server(SOCK_DGRAM);
        clienttest::UdpLog log;
        std::thread peer([&] { log = clienttest::serve_udp(server.fd(), c.answer); });
        Record r;
        parse({"-c", "127.0.0.1", "-p", std::to_string(server.port()), "-u", "-l", "200", "-n",
               "1000", "-b", "100m", "-x", "CDS"},
              r.s);
        testing::internal::CaptureStderr();
        run_client(r.s);
        const std::string err = testing::internal::GetCapturedStderr();
        peer.join();
        testing::internal::CaptureStdout();
        while (reporter_process_reports()) {
        }
        const std::string printed = testing::internal::GetCapturedStdout();

        ASSERT_EQ(log.datagrams.size(), 5u + c.finals) << c.name;
        for (int32_t n = 0; n < 5; n++) {
            const std::string &d = log.datagrams[size_t(n)];
            ASSERT_EQ(d.size(), 200u) << c.name;
            EXPECT_EQ(int32_t(word(d, 0)), n) << c.name;
            EXPECT_LT(word(d, 8), 1000000u) << c.name;
            EXPECT_EQ(word(d, 12 + 12), 200u) << c.name;   // header: buffer length
            EXPECT_EQ(word(d, 12 + 20), 1000u) << c.name;  // amount
        }
        for (int i = 0; i < c.finals; i++) {
            EXPECT_EQ(int32_t(word(log.datagrams[size_t(5 + i)], 0)), -5 - i) << c.name;
        }
        EXPECT_EQ(printed.find("Server Report:") != std::string::npos, c.report)
            << c.name << printed;
        if (*c.warning) {
            EXPECT_NE(err.find(c.warning), std::string::npos) << c.name << err;
        } else {
            EXPECT_EQ(err, "") << c.name;
        }
    }
}

TEST(ClientUdp, ZeroRateIsCappedAtOneDatagramASecond) {
    Bound server(SOCK_DGRAM);
    clienttest::UdpLog log;
    // The final datagram follows the first one a whole second later.
    std::thread peer([&] { log = clienttest::serve_udp(server.fd(), FinAnswer::kReport, 2500); });
    Record r;
    parse({"-c", "127.0.0.1", "-p", std::to_string(server.port()), "-u", "-b", "0", "-n", "1470",
           "-x", "CDSV"},
          r.s);
    const std::string out = run_client(r.s);
    peer.join();
    EXPECT_NE(out.find("WARNING: delay too large, reducing from inf to 1.0 seconds.\n"),
              std::string::npos)
        << out;
    ASSERT_EQ(log.datagrams.size(), 2u);
    EXPECT_EQ(int32_t(word(log.datagrams[1], 0)), -1);
}

TEST(ClientUdp, ShortBufferStillHoldsTheHeader) {
    // -l 36 before -b keeps the header mode although 36 bytes cannot hold it
    // after the datagram header: only the datagram's own bytes go out.
    Bound server(SOCK_DGRAM);
    clienttest::UdpLog log;
    std::thread peer([&] { log = clienttest::serve_udp(server.fd(), FinAnswer::kShort); });
    Record r;
    parse({"-c", "127.0.0.1", "-l", "36", "-b", "10m", "-p", std::to_string(server.port()), "-n",
           "72", "-x", "CDSV"},
          r.s);
    ASSERT_FALSE(r.s->option_flags & OPT_COMPAT);
    run_client(r.s);
    peer.join();
    ASSERT_EQ(log.datagrams.size(), 3u);
    EXPECT_EQ(log.datagrams[0].size(), 36u);
}

}  // namespace
