// The listener's whole loop in this process: server threads started through
// the thread library, hostile peers followed by honest tests that succeed,
// the accept count, and UDP tests one after another on one port.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <ctime>
#include <thread>
#include <vector>

#include "common/signals.h"
#include "common/thread.h"
#include "gtest/gtest.h"
#include "tests/support/net.h"
#include "tests/toril/endpoints/server_support.h"
#include "toril/core/headers.h"
#include "toril/endpoints/listener.h"
#include "toril/endpoints/server.h"

namespace {

using endpoint_test::reporter_start;
using endpoint_test::reporter_totals;
using endpoint_test::reporter_wait_finals;

ThreadRole role_of(const thread_Settings *r) {
    switch (r->thread_mode) {
        case kMode_Server:
            return ThreadRole::kServer;
        case kMode_Client:
            return ThreadRole::kClient;
        case kMode_Listener:
            return ThreadRole::kListener;
        default:
            return ThreadRole::kUnknown;
    }
}

void run_role(thread_Settings *r, ThreadRole role) {
    if (role != ThreadRole::kServer) return;  // return directions are not tested here
    Server server(r);
    if (r->option_flags & OPT_UDP)
        server.RunUDP();
    else if (r->extra_flags & EXT_BOUNCEBACK)
        server.RunBounceBackTCP();
    else
        server.RunTCP();
}

const ThreadProgram kProgram = [] {
    ThreadProgram p;
    p.thread_id = [](thread_Settings *r) { return &r->thread_id; };
    p.run_next = [](thread_Settings *r) { return r->run_next; };
    p.run_after = [](thread_Settings *r) { return r->run_after; };
    p.role = role_of;
    p.run = run_role;
    p.destroy = Settings_Destroy;
    return p;
}();

class ListenerRun : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        thread_set_program(&kProgram);
        thread_init();
    }
    void SetUp() override {
        reporter_start();
        sInterupted = 0;
        port = testsupport::free_port();
    }
    thread_Settings *listener_record(bool udp, int threads) {
        thread_Settings *r = endpoint_test::server_settings(udp, udp ? 1470 : 131072);
        r->thread_mode = kMode_Listener;
        r->port = port;
        r->threads = threads;
        return r;
    }
    uint16_t port = 0;
};

sockaddr_in loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

int connect_to(uint16_t port) {
    for (int attempt = 0; attempt < 200; ++attempt) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        const sockaddr_in a = loopback(port);
        if (connect(fd, reinterpret_cast<const sockaddr *>(&a), sizeof(a)) == 0) return fd;
        close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
}

std::vector<uint8_t> tcp_header() {
    thread_Settings c;
    Settings_Initialize(&c);
    c.thread_mode = kMode_Client;
    std::vector<uint8_t> buf(kTcpClientHdrSpace, 0);
    const int len = Settings_GenerateClientHdr(&c, buf.data(), buf.size(), time(nullptr), 0);
    buf.resize(static_cast<size_t>(len));
    return buf;
}

// Reads until the server closes (bounded).
void drain_until_close(int fd) {
    char buf[256];
    for (int i = 0; i < 100; ++i) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) == 1 && recv(fd, buf, sizeof(buf), 0) <= 0) return;
    }
}

TEST_F(ListenerRun, HostileTcpPeersThenAnHonestTestWithinTheAcceptCount) {
    thread_Settings *l = listener_record(false, 3);
    std::thread listener([l] {
        Listener lis(l);
        lis.Run();
    });

    std::vector<uint8_t> lying = tcp_header();
    lying[4] = 0x7f;  // threads far beyond any client
    const int a = connect_to(port);
    ASSERT_GE(a, 0);
    send(a, lying.data(), lying.size(), MSG_NOSIGNAL);
    drain_until_close(a);
    close(a);

    const int b = connect_to(port);
    ASSERT_GE(b, 0);
    linger hard{1, 0};
    setsockopt(b, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
    close(b);

    const int c = connect_to(port);
    ASSERT_GE(c, 0);
    std::vector<uint8_t> stream = tcp_header();
    stream.resize(stream.size() + 50000, 0x42);
    ASSERT_EQ(send(c, stream.data(), stream.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(stream.size()));
    shutdown(c, SHUT_WR);
    drain_until_close(c);
    close(c);

    listener.join();  // three accepts used up
    thread_joinall();
    ASSERT_TRUE(reporter_wait_finals(1, 3000));
    EXPECT_EQ(reporter_totals().bytes, 60 + 50000);
    EXPECT_EQ(reporter_totals().finals, 1);
    EXPECT_GE(reporter_totals().connection_reports, 2);  // the refused header and the test
    Settings_Destroy(l);
}

std::vector<uint8_t> datagram(int64_t seqno, bool header) {
    std::vector<uint8_t> d(400, 0x5A);
    if (header) {
        thread_Settings c;
        Settings_Initialize(&c);
        c.thread_mode = kMode_Client;
        c.option_flags |= OPT_UDP;
        c.buf_len = 400;
        Settings_GenerateClientHdr(&c, d.data(), d.size(), time(nullptr), 0);
    }
    UdpHdr h{seqno, time(nullptr), 0};
    hdr_udp_write(d.data(), d.size(), h);
    return d;
}

// One honest UDP test of n datagrams; true when the server report came back.
bool udp_test(uint16_t port, int n) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in a = loopback(port);
    connect(fd, reinterpret_cast<const sockaddr *>(&a), sizeof(a));
    for (int i = 1; i <= n; ++i) {
        const std::vector<uint8_t> d = datagram(i, i == 1);
        send(fd, d.data(), d.size(), 0);
    }
    const std::vector<uint8_t> fin = datagram(-(n + 1), false);
    bool got = false;
    for (int pass = 0; pass < 200 && !got; ++pass) {
        send(fd, fin.data(), fin.size(), 0);
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 10) == 1) {
            uint8_t buf[1500];
            const ssize_t len = recv(fd, buf, sizeof(buf), 0);
            UdpServerReport r{};
            got = len == kServerReportLen &&
                  hdr_server_report_read(buf, static_cast<int>(len), &r) == kHdr_Ok &&
                  r.datagrams == static_cast<uint64_t>(n + 1);
        }
    }
    close(fd);
    return got;
}

TEST_F(ListenerRun, UdpFloodWithoutHeaderThenHonestTestsOnTheSamePort) {
    thread_Settings *l = listener_record(true, 0);
    std::thread listener([l] {
        Listener lis(l);
        lis.Run();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    // A flood of datagrams whose "header" is noise that announces a test
    // header with impossible values: each one is refused.
    const int flood = socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in a = loopback(port);
    std::vector<uint8_t> noise(300, 0xA9);
    for (int i = 1; i <= 300; ++i) {
        UdpHdr h{i, 0, 0};
        hdr_udp_write(noise.data(), noise.size(), h);
        sendto(flood, noise.data(), noise.size(), 0, reinterpret_cast<const sockaddr *>(&a),
               sizeof(a));
    }
    close(flood);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));

    EXPECT_TRUE(udp_test(port, 20));
    EXPECT_TRUE(udp_test(port, 5));

    // Stop the listener: the interrupt flag, and a datagram to wake it.
    sInterupted = SIGINT;
    const int waker = socket(AF_INET, SOCK_DGRAM, 0);
    const std::vector<uint8_t> d = datagram(1, false);
    sendto(waker, d.data(), d.size(), 0, reinterpret_cast<const sockaddr *>(&a), sizeof(a));
    close(waker);
    listener.join();
    sInterupted = 0;
    thread_joinall();
    EXPECT_TRUE(reporter_wait_finals(2, 3000));
    Settings_Destroy(l);
}

}  // namespace
