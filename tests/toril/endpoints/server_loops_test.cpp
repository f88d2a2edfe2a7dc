// The server receive loops over loopback, driven by small clients written
// with plain sockets: TCP streams and bursts, bounceback answers, UDP tests
// ending with the server report, and peers that send what no client would.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <thread>
#include <vector>

#include "common/signals.h"
#include "gtest/gtest.h"
#include "tests/toril/endpoints/server_support.h"
#include "toril/core/headers.h"
#include "toril/endpoints/server.h"

namespace {

using endpoint_test::reporter_start;
using endpoint_test::reporter_totals;
using endpoint_test::reporter_wait_finals;
using endpoint_test::server_settings;

void write_all(int fd, const std::vector<uint8_t> &bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        ASSERT_GT(n, 0);
        sent += static_cast<size_t>(n);
    }
}

// Runs one server loop on its own thread over sock.
struct ServerRun {
    thread_Settings *settings;
    std::thread thread;
    ServerRun(thread_Settings *s, void (Server::*loop)()) : settings(s) {
        thread = std::thread([this, loop] {
            Server server(settings);
            (server.*loop)();
        });
    }
    ~ServerRun() {
        if (thread.joinable()) thread.join();
        Settings_Destroy(settings);
    }
};

TEST(ServerTcp, CountsTheHeaderAndEveryByteUntilTheClientCloses) {
    reporter_start();
    int c, s;
    ASSERT_TRUE(endpoint_test::tcp_pair(&c, &s));
    thread_Settings *st = server_settings(false, 8192);
    st->sock = s;
    st->first_read_len = 60;  // what the listener read of the header
    {
        ServerRun run(st, &Server::RunTCP);
        write_all(c, std::vector<uint8_t>(100000, 0x41));
        close(c);
    }
    ASSERT_TRUE(reporter_wait_finals(1, 3000));
    EXPECT_EQ(reporter_totals().bytes, 100060);
}

TEST(ServerTcp, ResetByThePeerEndsOnlyThisTest) {
    reporter_start();
    int c, s;
    ASSERT_TRUE(endpoint_test::tcp_pair(&c, &s));
    thread_Settings *st = server_settings(false, 8192);
    st->sock = s;
    {
        ServerRun run(st, &Server::RunTCP);
        write_all(c, std::vector<uint8_t>(1000, 1));
        linger hard{1, 0};
        setsockopt(c, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
        close(c);
    }
    ASSERT_TRUE(reporter_wait_finals(1, 3000));
    EXPECT_EQ(sInterupted.load(), 0);
}

std::vector<uint8_t> burst(uint32_t id, uint32_t size, int64_t write_sec) {
    std::vector<uint8_t> b(size < 92 ? 92 : size, 0x5A);
    TcpBurstHdr h{};
    h.write_sec = write_sec;
    h.burst_id = id;
    h.burst_size = size;
    hdr_burst_write(b.data(), b.size(), h);
    return b;
}

TEST(ServerTcp, ReadsBurstByBurst) {
    reporter_start();
    int c, s;
    ASSERT_TRUE(endpoint_test::tcp_pair(&c, &s));
    thread_Settings *st = server_settings(false, 4096);
    st->sock = s;
    st->test_flags |= TEST_TRIP_TIMES;  // a TCP trip-time test reads burst by burst
    {
        ServerRun run(st, &Server::RunTCP);
        for (uint32_t id = 1; id <= 3; ++id) write_all(c, burst(id, 10000, time(nullptr)));
        close(c);
    }
    ASSERT_TRUE(reporter_wait_finals(1, 3000));
    EXPECT_EQ(reporter_totals().bytes, 30000);
}

TEST(ServerTcp, BurstOfOnlyAHeaderIsWarnedAboutAndTheStreamGoesOn) {
    reporter_start();
    int c, s;
    ASSERT_TRUE(endpoint_test::tcp_pair(&c, &s));
    thread_Settings *st = server_settings(false, 4096);
    st->sock = s;
    st->extra_flags |= EXT_BURST;
    st->test_flags |= TEST_TRIP_TIMES;
    testing::internal::CaptureStderr();
    {
        ServerRun run(st, &Server::RunTCP);
        write_all(c, burst(1, 92, time(nullptr)));
        write_all(c, burst(2, 92, time(nullptr)));
        write_all(c, burst(3, 500, time(nullptr)));
        close(c);
    }
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(reporter_wait_finals(1, 3000));
    EXPECT_EQ(reporter_totals().bytes, 92 + 92 + 500);
    size_t count = 0;
    for (size_t at = err.find("invalid burst read req size"); at != std::string::npos;
         at = err.find("invalid burst read req size", at + 1))
        ++count;
    EXPECT_EQ(count, 2u) << err;
}

TEST(ServerTcp, BounceBackAnswersEveryMessageUntilTheStopFlag) {
    reporter_start();
    int c, s;
    ASSERT_TRUE(endpoint_test::tcp_pair(&c, &s));
    thread_Settings *st = server_settings(false, 8192);
    constexpr int kSize = 100;
    st->sock = s;
    st->extra_flags |= EXT_BOUNCEBACK;
    st->bounceback_size = kSize;
    st->first_read_len = kSize;
    st->amount = 500;  // the bounceback timer: five seconds at most
    BounceBackHdr h{};
    h.flags = HDR_BOUNCEBACK;
    h.size = kSize;
    h.server_recv_sec = h.server_recv_usec = h.server_send_sec = h.server_send_usec = -1;
    hdr_bounceback_write(reinterpret_cast<uint8_t *>(st->buf), kSize, h);
    {
        ServerRun run(st, &Server::RunBounceBackTCP);
        std::vector<uint8_t> msg(kSize);
        for (int i = 0; i < 3; ++i) {
            ASSERT_EQ(recv(c, msg.data(), kSize, MSG_WAITALL), kSize);
            BounceBackHdr back{};
            ASSERT_EQ(hdr_bounceback_read(msg.data(), kSize, &back), kHdr_Ok);
            EXPECT_NE(back.server_send_sec, -1);  // the server stamped its send time
            if (i == 2) {
                h.bb_flags = HDR_BB_STOP;
            }
            std::vector<uint8_t> next(kSize);
            hdr_bounceback_write(next.data(), kSize, h);
            write_all(c, next);
        }
    }
    close(c);
    ASSERT_TRUE(reporter_wait_finals(1, 3000));
    EXPECT_EQ(reporter_totals().records, 1 + 3 + 2);  // first read, 3 writes, 2 reads
    EXPECT_EQ(sInterupted.load(), 0);
}

// --- UDP ---

std::vector<uint8_t> datagram(int64_t seqno, size_t len) {
    std::vector<uint8_t> d(len, 0x33);
    UdpHdr h{seqno, time(nullptr), 0};
    hdr_udp_write(d.data(), d.size(), h);
    return d;
}

// Sends the final datagram every 10 ms until the server report arrives.
bool finish_udp(int c, int64_t last, UdpServerReport *report) {
    const std::vector<uint8_t> fin = datagram(-last, 200);
    for (int pass = 0; pass < 200; ++pass) {
        send(c, fin.data(), fin.size(), 0);
        pollfd p{c, POLLIN, 0};
        if (poll(&p, 1, 10) == 1) {
            uint8_t buf[1500];
            const ssize_t n = recv(c, buf, sizeof(buf), 0);
            if (n == kServerReportLen)
                return hdr_server_report_read(buf, static_cast<int>(n), report) == kHdr_Ok;
        }
    }
    return false;
}

TEST(ServerUdp, ReceivesUntilTheFinalDatagramAndSendsTheServerReport) {
    reporter_start();
    int c, s;
    ASSERT_TRUE(endpoint_test::udp_pair(&c, &s));
    thread_Settings *st = server_settings(true, 1470);
    st->sock = s;
    // The listener read the first datagram.
    const std::vector<uint8_t> first = datagram(1, 200);
    memcpy(st->buf, first.data(), first.size());
    st->first_read_len = 200;
    UdpServerReport report{};
    {
        ServerRun run(st, &Server::RunUDP);
        for (int64_t i = 2; i <= 50; ++i) {
            const std::vector<uint8_t> d = datagram(i, 200);
            send(c, d.data(), d.size(), 0);
        }
        ASSERT_TRUE(finish_udp(c, 51, &report));
    }
    close(c);
    EXPECT_TRUE(report.seqno64);
    EXPECT_EQ(report.datagrams, 51u);
    EXPECT_EQ(report.total_bytes, 51u * 200u);
    EXPECT_EQ(reporter_totals().max_packet_id, 51);
}

TEST(ServerUdp, FirstDatagramAlreadyFinalAnswersAtOnce) {
    reporter_start();
    int c, s;
    ASSERT_TRUE(endpoint_test::udp_pair(&c, &s));
    thread_Settings *st = server_settings(true, 1470);
    st->sock = s;
    const std::vector<uint8_t> fin = datagram(-1, 100);
    memcpy(st->buf, fin.data(), fin.size());
    st->first_read_len = 100;
    UdpServerReport report{};
    {
        ServerRun run(st, &Server::RunUDP);
        ASSERT_TRUE(finish_udp(c, 1, &report));
    }
    close(c);
    EXPECT_EQ(report.datagrams, 1u);
}

TEST(ServerUdp, RuntDatagramsAreNotCounted) {
    reporter_start();
    int c, s;
    ASSERT_TRUE(endpoint_test::udp_pair(&c, &s));
    thread_Settings *st = server_settings(true, 1470);
    st->sock = s;
    UdpServerReport report{};
    {
        ServerRun run(st, &Server::RunUDP);
        const uint8_t runt[5] = {0x80, 0, 0, 0, 1};
        for (int i = 0; i < 20; ++i) send(c, runt, sizeof(runt), 0);
        const std::vector<uint8_t> d = datagram(1, 300);
        send(c, d.data(), d.size(), 0);
        ASSERT_TRUE(finish_udp(c, 2, &report));
    }
    close(c);
    EXPECT_EQ(reporter_totals().bytes, 300 + 200);
}

TEST(ServerUdp, NoServerReportWithoutTheFinalExchange) {
    reporter_start();
    int c, s;
    ASSERT_TRUE(endpoint_test::udp_pair(&c, &s));
    thread_Settings *st = server_settings(true, 1470);
    st->sock = s;
    st->test_flags |= TEST_NO_UDP_FIN;
    {
        ServerRun run(st, &Server::RunUDP);
        const std::vector<uint8_t> fin = datagram(-1, 100);
        send(c, fin.data(), fin.size(), 0);
    }
    pollfd p{c, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 300), 0);
    close(c);
}

}  // namespace
