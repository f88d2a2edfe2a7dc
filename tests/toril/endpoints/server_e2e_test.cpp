// toril -s as a user runs it, driven over loopback by small clients written
// here with plain sockets: honest TCP and UDP tests, hostile peers each
// followed by an honest test that must still succeed, a port range, the
// permit key, and IPv6.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "tests/support/net.h"
#include "tests/support/process.h"
#include "toril/core/headers.h"
#include "toril/core/settings.h"

namespace {

using std::chrono::milliseconds;

sockaddr_storage loopback(int family, uint16_t port, socklen_t *len) {
    sockaddr_storage s{};
    if (family == 6) {
        auto &a = reinterpret_cast<sockaddr_in6 &>(s);
        a.sin6_family = AF_INET6;
        a.sin6_addr = in6addr_loopback;
        a.sin6_port = htons(port);
        *len = sizeof(a);
    } else {
        auto &a = reinterpret_cast<sockaddr_in &>(s);
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        *len = sizeof(a);
    }
    return s;
}

// Connects, retrying while the server starts (bounded).
int connect_tcp(uint16_t port, int family = 4) {
    for (int attempt = 0; attempt < 300; ++attempt) {
        const int fd = socket(family == 6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
        socklen_t len;
        const sockaddr_storage a = loopback(family, port, &len);
        if (connect(fd, reinterpret_cast<const sockaddr *>(&a), len) == 0) return fd;
        close(fd);
        std::this_thread::sleep_for(milliseconds(10));
    }
    return -1;
}

std::vector<uint8_t> tcp_header(const char *key = nullptr) {
    thread_Settings c;
    Settings_Initialize(&c);
    c.thread_mode = kMode_Client;
    if (key) {
        c.test_flags |= TEST_PERMIT_KEY;
        snprintf(c.permit_key, sizeof(c.permit_key), "%s", key);
    }
    std::vector<uint8_t> buf(kTcpClientHdrSpace, 0);
    const int len = Settings_GenerateClientHdr(&c, buf.data(), buf.size(), time(nullptr), 0);
    buf.resize(len > 0 ? static_cast<size_t>(len) : 0);
    return buf;
}

// Waits up to limit_ms for the server to close the connection; bytes it sent
// before are appended to *got.
bool wait_close(int fd, int limit_ms, std::string *got = nullptr) {
    const auto deadline = std::chrono::steady_clock::now() + milliseconds(limit_ms);
    char buf[512];
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) != 1) continue;
        const ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n <= 0) return true;
        if (got) got->append(buf, static_cast<size_t>(n));
    }
    return false;
}

// One honest TCP test: header, acknowledgement, data, close; the server must
// answer the header and close when the test is done.
bool honest_tcp(uint16_t port, int family = 4, const char *key = nullptr) {
    const int fd = connect_tcp(port, family);
    if (fd < 0) return false;
    std::vector<uint8_t> bytes = tcp_header(key);
    bytes.resize(bytes.size() + 200000, 0x61);
    bool ok =
        send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    shutdown(fd, SHUT_WR);
    std::string answer;
    ok = ok && wait_close(fd, 5000, &answer);
    close(fd);
    TestAck ack{};
    return ok && hdr_ack_read(reinterpret_cast<const uint8_t *>(answer.data()),
                              static_cast<int>(answer.size()), &ack) == kHdr_Ok;
}

std::vector<uint8_t> udp_datagram(int64_t seqno, bool header) {
    std::vector<uint8_t> d(1470, 0x5A);
    if (header) {
        thread_Settings c;
        Settings_Initialize(&c);
        c.thread_mode = kMode_Client;
        c.option_flags |= OPT_UDP;
        c.buf_len = 1470;
        Settings_GenerateClientHdr(&c, d.data(), d.size(), time(nullptr), 0);
    }
    UdpHdr h{seqno, time(nullptr), 0};
    hdr_udp_write(d.data(), d.size(), h);
    return d;
}

// One honest UDP test of n datagrams; true when the server report came back.
bool honest_udp(uint16_t port, int n, int family = 4) {
    const int fd = socket(family == 6 ? AF_INET6 : AF_INET, SOCK_DGRAM, 0);
    socklen_t len;
    const sockaddr_storage a = loopback(family, port, &len);
    connect(fd, reinterpret_cast<const sockaddr *>(&a), len);
    for (int i = 1; i <= n; ++i) {
        const std::vector<uint8_t> d = udp_datagram(i, i == 1);
        send(fd, d.data(), d.size(), 0);
        if (i % 50 == 0) std::this_thread::sleep_for(milliseconds(1));
    }
    const std::vector<uint8_t> fin = udp_datagram(-(n + 1), false);
    bool got = false;
    for (int pass = 0; pass < 300 && !got; ++pass) {
        send(fd, fin.data(), fin.size(), 0);
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 10) == 1) {
            uint8_t buf[1500];
            const ssize_t r = recv(fd, buf, sizeof(buf), 0);
            UdpServerReport report{};
            got = r == kServerReportLen &&
                  hdr_server_report_read(buf, static_cast<int>(r), &report) == kHdr_Ok;
        }
    }
    close(fd);
    return got;
}

class TorilServer : public testing::Test {
  protected:
    void Start(std::vector<std::string> args) {
        args.insert(args.begin(), TORIL_BIN);
        ASSERT_TRUE(server.start(args));
        std::this_thread::sleep_for(milliseconds(200));
        ASSERT_TRUE(server.running()) << server.err();
    }
    void TearDown() override {
        if (server.pid() > 0) {
            const testsupport::RunResult r = server.stop();
            if (HasFailure()) ADD_FAILURE() << "server output:\n" << r.out << "\n" << r.err;
        }
    }
    testsupport::Background server;
    uint16_t port = testsupport::free_port();
};

TEST_F(TorilServer, HonestTcpTests) {
    Start({"-s", "-p", std::to_string(port)});
    EXPECT_TRUE(honest_tcp(port));
    EXPECT_TRUE(honest_tcp(port));
}

// The program's own client against one server: every kind of test ends
// with status 0 and the server reports the connection of each.
TEST_F(TorilServer, ServesTheProgramsOwnClient) {
    Start({"-s", "-p", std::to_string(port)});
    const std::string p = std::to_string(port);
    const std::string back = std::to_string(testsupport::free_port());
    const std::vector<std::vector<std::string>> clients = {
        {"-t", "1"},
        {"-t", "1", "-R"},
        {"-t", "1", "--full-duplex"},
        {"-t", "1", "-d", "-L", back},
    };
    int tests = 0;
    for (std::vector<std::string> args : clients) {
        SCOPED_TRACE(args.back());
        args.insert(args.begin(), {TORIL_BIN, "-c", "127.0.0.1", "-p", p});
        testsupport::RunOptions opts;
        opts.timeout = milliseconds(8000);
        const testsupport::RunResult r = testsupport::run(args, opts);
        EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
        EXPECT_NE(r.out.find("connected with 127.0.0.1 port " + p), std::string::npos) << r.out;
        ++tests;
    }
    EXPECT_TRUE(server.running());
    const std::string out = server.out();
    size_t connections = 0;
    for (size_t at = out.find("connected with 127.0.0.1 port"); at != std::string::npos;
         at = out.find("connected with 127.0.0.1 port", at + 1))
        ++connections;
    EXPECT_GE(connections, static_cast<size_t>(tests)) << out;
}

TEST_F(TorilServer, ServesTheProgramsOwnUdpClient) {
    Start({"-s", "-u", "-p", std::to_string(port)});
    testsupport::RunOptions opts;
    opts.timeout = milliseconds(8000);
    for (int i = 0; i < 2; ++i) {
        const testsupport::RunResult r = testsupport::run(
            {TORIL_BIN, "-c", "127.0.0.1", "-u", "-p", std::to_string(port), "-t", "1", "-b", "5m"},
            opts);
        EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
        EXPECT_NE(r.out.find("Server Report:"), std::string::npos) << r.out;
    }
    EXPECT_TRUE(server.running());
}

int thread_count(pid_t pid) {
    int n = 0;
    std::error_code ignored;
    for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/task", ignored),
         end;
         it != end; it.increment(ignored))
        ++n;
    return n;
}

// A reverse UDP test asked for a minute, by a peer whose port closes at
// once: the server's datagrams are refused, and its sending end stops
// instead of holding a thread for the whole minute. The program's own
// reverse client, whose port stays open, still gets its whole test.
TEST_F(TorilServer, UdpReverseTestEndsWhenThePeerRefusesItsDatagrams) {
    Start({"-s", "-u", "-p", std::to_string(port)});
    const int idle_threads = thread_count(server.pid());
    {
        thread_Settings c;
        Settings_Initialize(&c);
        c.thread_mode = kMode_Client;
        c.option_flags |= OPT_UDP | OPT_TIME_MODE;
        c.test_flags |= TEST_REVERSE;
        c.amount = 6000;
        c.buf_len = 1470;
        std::vector<uint8_t> d(1470, 0);
        ASSERT_GT(Settings_GenerateClientHdr(&c, d.data(), d.size(), time(nullptr), 0), 0);
        hdr_udp_write(d.data(), d.size(), UdpHdr{1, time(nullptr), 0});
        const int fd = socket(AF_INET, SOCK_DGRAM, 0);
        socklen_t len;
        const sockaddr_storage a = loopback(4, port, &len);
        ASSERT_EQ(connect(fd, reinterpret_cast<const sockaddr *>(&a), len), 0);
        ASSERT_EQ(send(fd, d.data(), d.size(), 0), static_cast<ssize_t>(d.size()));
        std::this_thread::sleep_for(milliseconds(300));  // the test is under way
        close(fd);
    }
    const auto end = std::chrono::steady_clock::now() + milliseconds(20000);
    while (thread_count(server.pid()) > idle_threads && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(milliseconds(50));
    EXPECT_EQ(thread_count(server.pid()), idle_threads) << "the refused test still runs";
    EXPECT_NE(server.err().find("write failed: Connection refused"), std::string::npos)
        << server.err();

    testsupport::RunOptions opts;
    opts.timeout = milliseconds(10000);
    const testsupport::RunResult r = testsupport::run(
        {TORIL_BIN, "-c", "127.0.0.1", "-u", "-p", std::to_string(port), "-t", "2", "-R", "-b",
         "5m", "-i", "1"},
        opts);
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find(" 1.00-2.00 sec "), std::string::npos) << r.out;
    EXPECT_TRUE(server.running());
}

TEST_F(TorilServer, AcceptCountEndsTheServerAfterItsTests) {
    Start({"-s", "-P", "2", "-p", std::to_string(port)});
    EXPECT_TRUE(honest_tcp(port));
    EXPECT_TRUE(honest_tcp(port));
    ASSERT_TRUE(server.wait(milliseconds(5000)));
    EXPECT_EQ(server.result().exit_code, 0);
}

TEST_F(TorilServer, HostileTcpPeersEachFollowedByAnHonestTest) {
    Start({"-s", "-p", std::to_string(port)});
    struct Hostile {
        const char *name;
        std::vector<uint8_t> bytes;
        bool reset;
    };
    std::vector<uint8_t> garbage(80);
    for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<uint8_t>(i * 37 + 11);
    std::vector<uint8_t> absurd_buf_len = tcp_header();
    absurd_buf_len[12] = 0x7f;  // buf_len near 2^31
    std::vector<uint8_t> absurd_threads = tcp_header();
    absurd_threads[4] = 0x7f;
    std::vector<uint8_t> short_header = tcp_header();
    short_header.resize(30);
    const Hostile cases[] = {
        {"garbage header", garbage, false},
        {"absurd buf_len", absurd_buf_len, false},
        {"absurd threads", absurd_threads, false},
        {"header cut short, then reset", short_header, true},
        {"reset before anything", {}, true},
    };
    for (const Hostile &h : cases) {
        SCOPED_TRACE(h.name);
        const int fd = connect_tcp(port);
        ASSERT_GE(fd, 0);
        if (!h.bytes.empty()) send(fd, h.bytes.data(), h.bytes.size(), MSG_NOSIGNAL);
        if (h.reset) {
            linger hard{1, 0};
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
        } else {
            shutdown(fd, SHUT_WR);
            EXPECT_TRUE(wait_close(fd, 3000));  // the server drops the test
        }
        close(fd);
        EXPECT_TRUE(honest_tcp(port));
        EXPECT_TRUE(server.running());
    }
}

TEST_F(TorilServer, SilentTcpConnectionDoesNotStopTheNextTest) {
    Start({"-s", "-p", std::to_string(port)});
    const int silent = connect_tcp(port);
    ASSERT_GE(silent, 0);
    EXPECT_TRUE(honest_tcp(port));          // served while the silent peer's header time runs
    EXPECT_TRUE(wait_close(silent, 6000));  // closed once that time is over
    close(silent);
    EXPECT_TRUE(server.running());
}

TEST_F(TorilServer, UdpFloodWithoutHeaderThenAnHonestTest) {
    Start({"-s", "-u", "-p", std::to_string(port)});
    const int flood = socket(AF_INET, SOCK_DGRAM, 0);
    socklen_t len;
    const sockaddr_storage a = loopback(4, port, &len);
    std::vector<uint8_t> noise(1200);
    for (int i = 0; i < 400; ++i) {
        for (size_t j = 0; j < noise.size(); ++j) noise[j] = static_cast<uint8_t>(i * 13 + j * 7);
        sendto(flood, noise.data(), noise.size(), 0, reinterpret_cast<const sockaddr *>(&a), len);
    }
    // Runts too short for a datagram header.
    for (int i = 0; i < 100; ++i)
        sendto(flood, noise.data(), 5, 0, reinterpret_cast<const sockaddr *>(&a), len);
    close(flood);
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_TRUE(honest_udp(port, 100));
    EXPECT_TRUE(honest_udp(port, 10));
    EXPECT_TRUE(server.running());
}

TEST_F(TorilServer, PortRangeServesEveryPort) {
    // Two free neighbouring ports; another test may take the second between
    // the probe and the server's bind, so a server that could not bind is
    // replaced with one on a new pair.
    uint16_t first = 0;
    for (int attempt = 0; attempt < 20 && !first; ++attempt) {
        const uint16_t p = testsupport::free_port();
        const int probe = socket(AF_INET, SOCK_STREAM, 0);
        socklen_t len;
        const sockaddr_storage a = loopback(4, static_cast<uint16_t>(p + 1), &len);
        const bool free_pair =
            p < 65535 && bind(probe, reinterpret_cast<const sockaddr *>(&a), len) == 0;
        close(probe);
        if (!free_pair) continue;
        server.stop();
        ASSERT_TRUE(server.start({TORIL_BIN, "-s", "-p",
                                  std::to_string(p) + "-" + std::to_string(p + 1)}));
        std::this_thread::sleep_for(milliseconds(300));
        if (server.err().find("bind failed") == std::string::npos && server.running()) first = p;
    }
    ASSERT_NE(first, 0) << server.err();
    EXPECT_TRUE(honest_tcp(first));
    EXPECT_TRUE(honest_tcp(static_cast<uint16_t>(first + 1)));
}

TEST_F(TorilServer, PermitKeyAcceptedAndRefused) {
    Start({"-s", "-p", std::to_string(port), "--permit-key=secret-key-1"});
    EXPECT_TRUE(honest_tcp(port, 4, "secret-key-1"));
    // A wrong key, and no key at all: closed at once, without an acknowledgement.
    for (const char *key : {"secret-key-2", static_cast<const char *>(nullptr)}) {
        const int fd = connect_tcp(port);
        ASSERT_GE(fd, 0);
        const std::vector<uint8_t> h = tcp_header(key);
        send(fd, h.data(), h.size(), MSG_NOSIGNAL);
        std::string answer;
        EXPECT_TRUE(wait_close(fd, 3000, &answer));
        EXPECT_TRUE(answer.empty());
        close(fd);
    }
    EXPECT_TRUE(honest_tcp(port, 4, "secret-key-1"));
}

TEST_F(TorilServer, UdpThroughThePacketSocketWithL2Checks) {
    if (geteuid() != 0) GTEST_SKIP() << "L2 checks need a packet socket, which needs root";
    Start({"-s", "-u", "--l2checks", "-p", std::to_string(port)});
    EXPECT_TRUE(honest_udp(port, 50));
    EXPECT_TRUE(honest_udp(port, 5));
}

TEST_F(TorilServer, Ipv6OnLoopback) {
    Start({"-s", "-V", "-p", std::to_string(port)});
    EXPECT_TRUE(honest_tcp(port, 6));
}

TEST_F(TorilServer, Ipv6UdpOnLoopback) {
    Start({"-s", "-u", "-V", "-p", std::to_string(port)});
    EXPECT_TRUE(honest_udp(port, 20, 6));
}

}  // namespace
