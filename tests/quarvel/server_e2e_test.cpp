// quarvel's listener and server run as a user runs them, driven by small
// hand-made peers: TCP and UDP tests, the server report datagram, hostile
// peers each followed by an honest test, accept counts, the timed listener,
// the single-threaded UDP server and both NAT modes on loopback.
#include <gtest/gtest.h>

#include <functional>

#include "tests/quarvel/server_support.h"

namespace {

using namespace quarveltest;
using std::chrono::milliseconds;
using testsupport::Background;
using testsupport::free_port;

constexpr size_t kMiB = 1024 * 1024;

bool wait_for_err(const Background &bg, const std::string &text, milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (bg.err().find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(milliseconds(20));
    }
    return true;
}

bool is_hello(const std::vector<uint8_t> &d) {
    return d.size() == 50 && memcmp(d.data(), "HELLO:", 6) == 0;
}

// The answer to the final datagram, skipping hellos of a NAT server.
std::vector<uint8_t> udp_test_answer(int fd, int count, size_t len, const Header &h = {}) {
    std::vector<uint8_t> answer = udp_test(fd, count, len, h);
    while (is_hello(answer)) answer = receive(fd, 1500);
    return answer;
}

class Server : public testing::Test {
  protected:
    void start(std::vector<std::string> args) {
        port = free_port();
        args.insert(args.end(), {"-p", std::to_string(port)});
        ASSERT_TRUE(start_quarvel(bg, args));
        ASSERT_TRUE(bg.wait_for_output("Server listening", milliseconds(3000))) << bg.err();
    }

    Background bg;
    uint16_t port = 0;
};

// --- TCP ---

TEST_F(Server, TcpTestIsReported) {
    start({"-s"});
    ASSERT_TRUE(tcp_test(port, kMiB));
    EXPECT_TRUE(bg.wait_for_output(" 1.00 MBytes", milliseconds(5000))) << bg.out();
    EXPECT_NE(bg.out().find(" local 127.0.0.1 port " + std::to_string(port) +
                            " connected with 127.0.0.1 port "),
              std::string::npos);
    EXPECT_EQ(bg.err(), "");
}

struct TcpHostile {
    const char *name;
    std::function<int(uint16_t port)> act;  // returns a descriptor to hold open, or -1
    const char *warning;                    // on standard error, or ""
};

std::ostream &operator<<(std::ostream &os, const TcpHostile &c) {
    return os << c.name;
}

int send_header(uint16_t port, const Header &h) {
    const int fd = tcp_connect(port);
    std::vector<uint8_t> buf(36, '0');
    put_header(buf, 0, h);
    send(fd, buf.data(), buf.size(), MSG_NOSIGNAL);
    return fd;
}

const TcpHostile kTcpHostile[] = {
    {"silent_connection", [](uint16_t port) { return tcp_connect(port); }, ""},
    {"header_cut_short",
     [](uint16_t port) {
         Fd fd(tcp_connect(port));
         send(fd.get(), "\x80\0\0\0\0\0", 6, MSG_NOSIGNAL);
         return -1;
     },
     ""},
    {"reset_at_once",
     [](uint16_t port) {
         const int fd = tcp_connect(port);
         const linger abort_close{1, 0};
         setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort_close, sizeof abort_close);
         close(fd);
         return -1;
     },
     ""},
    {"lying_threads",
     [](uint16_t port) {
         Header h;
         h.flags = 0x80000001;
         h.threads = 0x7fffffff;
         h.port = port;
         return send_header(port, h);
     },
     "WARNING: test header refused (threads 2147483647, port"},
    {"lying_buffer_length",
     [](uint16_t port) {
         Header h;
         h.flags = 0x80000000;
         h.port = port;
         h.buf_len = 0x7fffffff;
         return send_header(port, h);
     },
     "buffer length 2147483647): no reverse test."},
    {"negative_threads",
     [](uint16_t port) {
         Header h;
         h.flags = 0x80000001;
         h.threads = 0xffffffff;
         h.port = port;
         return send_header(port, h);
     },
     "WARNING: test header refused (threads -1,"},
    // A return test that runs for ever, with a window of -1, towards a port
    // where nobody listens: only the return test fails.
    {"return_test_nobody_takes",
     [](uint16_t port) {
         Header h;
         h.flags = 0x80000001;
         h.port = free_port();
         h.window = 0xffffffff;
         h.amount = 0x80000001;
         return send_header(port, h);
     },
     "connect failed: Connection refused\n"},
};

class TcpHostileCase : public Server, public testing::WithParamInterface<TcpHostile> {};

TEST_P(TcpHostileCase, CostsOnlyItsOwnTest) {
    const TcpHostile &c = GetParam();
    start({"-s"});
    Fd held(c.act(port));
    if (*c.warning) {
        EXPECT_TRUE(wait_for_err(bg, c.warning, milliseconds(3000))) << bg.err();
    }
    // The honest test that follows is served while the hostile one is held.
    ASSERT_TRUE(tcp_test(port, 2 * kMiB));
    EXPECT_TRUE(bg.wait_for_output(" 2.00 MBytes", milliseconds(5000))) << bg.out();
    EXPECT_TRUE(bg.running());
}

INSTANTIATE_TEST_SUITE_P(Peers, TcpHostileCase, testing::ValuesIn(kTcpHostile),
                         [](const auto &param_info) { return std::string(param_info.param.name); });

// --- UDP ---

TEST_F(Server, UdpFinalDatagramGetsTheServerReport) {
    start({"-s", "-u"});
    Fd fd(udp_socket(0, port));
    const std::vector<uint8_t> answer = udp_test_answer(fd.get(), 50, 1470);
    ASSERT_EQ(answer.size(), 1470u);
    EXPECT_EQ(static_cast<int32_t>(get32(answer, 0)), -50);
    EXPECT_EQ(get32(answer, 12), 0x80000000u);
    // The first datagram carries the header and is not counted: numbers 1 to
    // 49 and the final datagram are.
    EXPECT_EQ(get32(answer, 16), 0u);
    EXPECT_EQ(get32(answer, 20), 50u * 1470u);
    EXPECT_EQ(get32(answer, 32), 0u);    // lost
    EXPECT_EQ(get32(answer, 36), 0u);    // out of order
    EXPECT_EQ(get32(answer, 40), 50u);   // datagrams
    EXPECT_EQ(get32(answer, 100), 50u);  // transit samples
    EXPECT_EQ(get32(answer, 108), 1u);
    EXPECT_EQ(answer[112], '7');  // the rest of the final datagram
    EXPECT_TRUE(bg.wait_for_output("0/   50 (0%)", milliseconds(3000))) << bg.out();
}

TEST_F(Server, UdpSmallBufferSendsTheFinalDatagramBack) {
    start({"-s", "-u", "-l", "100"});
    Fd fd(udp_socket(0, port));
    const std::vector<uint8_t> answer = udp_test_answer(fd.get(), 10, 100);
    ASSERT_EQ(answer.size(), 100u);
    EXPECT_EQ(static_cast<int32_t>(get32(answer, 0)), -10);
    EXPECT_EQ(std::string(answer.begin() + 12, answer.end()), std::string(88, '7'));
}

struct UdpHostile {
    const char *name;
    std::function<void(uint16_t port)> act;
    const char *warning;
};

std::ostream &operator<<(std::ostream &os, const UdpHostile &c) {
    return os << c.name;
}

const UdpHostile kUdpHostile[] = {
    {"datagram_without_header",
     [](uint16_t port) {
         Fd fd(udp_socket(0, port));
         send(fd.get(), "abcde", 5, 0);
         EXPECT_TRUE(receive(fd.get(), 300).empty());
     },
     ""},
    {"late_final_datagram",
     [](uint16_t port) {
         Fd fd(udp_socket(0, port));
         const std::vector<uint8_t> d = datagram(-7, 1470);
         send(fd.get(), d.data(), d.size(), 0);
         EXPECT_TRUE(receive(fd.get(), 300).empty());
     },
     ""},
    {"lying_header_threads",
     [](uint16_t port) {
         Fd fd(udp_socket(0, port));
         Header h;
         h.flags = 0x80000001;
         h.threads = 100000;
         h.port = port;
         const std::vector<uint8_t> answer = udp_test(fd.get(), 5, 1470, h);
         ASSERT_EQ(answer.size(), 1470u);
         EXPECT_EQ(get32(answer, 12), 0x80000000u);
     },
     "WARNING: test header refused (threads 100000,"},
    {"header_cut_short",
     [](uint16_t port) {
         Fd fd(udp_socket(0, port));
         std::vector<uint8_t> d = datagram(0, 20);
         put32(d, 12, 0x80000001);
         send(fd.get(), d.data(), d.size(), 0);
         std::this_thread::sleep_for(milliseconds(100));
         const std::vector<uint8_t> fin = datagram(-1, 1470);
         send(fd.get(), fin.data(), fin.size(), 0);
         EXPECT_EQ(receive(fd.get(), 2000).size(), 1470u);
     },
     "WARNING: test header of 8 bytes is too short for a reverse test."},
    {"short_datagram_inside_a_test",
     [](uint16_t port) {
         Fd fd(udp_socket(0, port));
         const std::vector<uint8_t> first = datagram(0, 1470);
         send(fd.get(), first.data(), first.size(), 0);
         std::this_thread::sleep_for(milliseconds(50));
         send(fd.get(), "xyz", 3, 0);
         const std::vector<uint8_t> fin = datagram(-1, 1470);
         send(fd.get(), fin.data(), fin.size(), 0);
         const std::vector<uint8_t> answer = receive(fd.get(), 2000);
         ASSERT_EQ(answer.size(), 1470u);
         EXPECT_EQ(get32(answer, 12), 0x80000000u);
     },
     "WARNING: datagram of 3 bytes without a header."},
    // Numbers far ahead and back again, send times that are no times, and a
    // final datagram of the one number without a positive twin.
    {"forged_numbers_and_times",
     [](uint16_t port) {
         Fd fd(udp_socket(0, port));
         std::vector<std::vector<uint8_t>> forged = {datagram(0, 1470), datagram(2147483646, 1470),
                                                     datagram(1, 1470), datagram(INT32_MIN, 1470)};
         put32(forged[1], 4, 0xffffffff);
         put32(forged[1], 8, 0xffffffff);
         put32(forged[2], 8, 999999999);
         for (const auto &d : forged) send(fd.get(), d.data(), d.size(), 0);
         const std::vector<uint8_t> answer = receive(fd.get(), 2000);
         ASSERT_EQ(answer.size(), 1470u);
         EXPECT_EQ(get32(answer, 12), 0x80000000u);
         EXPECT_EQ(get32(answer, 40), 2147483647u);  // the highest number seen
     },
     ""},
    // A datagram shaped like a NAT server's hello starts a test of its own
    // that never ends with a final datagram; the honest test runs beside it.
    {"hello_shaped_datagram",
     [](uint16_t port) {
         Fd fd(udp_socket(0, port));
         std::vector<uint8_t> hello(50, 0);
         memcpy(hello.data(), "HELLO:Thank you UDP", 19);
         send(fd.get(), hello.data(), hello.size(), 0);
         EXPECT_TRUE(receive(fd.get(), 300).empty());
     },
     ""},
};

class UdpHostileCase : public Server, public testing::WithParamInterface<UdpHostile> {};

TEST_P(UdpHostileCase, CostsOnlyItsOwnTest) {
    const UdpHostile &c = GetParam();
    start({"-s", "-u"});
    c.act(port);
    if (*c.warning) {
        EXPECT_TRUE(wait_for_err(bg, c.warning, milliseconds(3000))) << bg.err();
    }
    Fd fd(udp_socket(0, port));
    const std::vector<uint8_t> answer = udp_test_answer(fd.get(), 20, 1470);
    ASSERT_EQ(answer.size(), 1470u);
    EXPECT_EQ(get32(answer, 12), 0x80000000u);
    EXPECT_EQ(get32(answer, 40), 20u);
    EXPECT_TRUE(bg.running());
}

INSTANTIATE_TEST_SUITE_P(Peers, UdpHostileCase, testing::ValuesIn(kUdpHostile),
                         [](const auto &param_info) { return std::string(param_info.param.name); });

// --- Accept counts and the timed listener ---

TEST_F(Server, TakesTheGivenNumberOfTestsThenEnds) {
    start({"-s", "-P", "2"});
    ASSERT_TRUE(tcp_test(port, kMiB));
    ASSERT_TRUE(tcp_test(port, kMiB));
    ASSERT_TRUE(bg.wait(milliseconds(8000))) << bg.out() << bg.err();
    EXPECT_EQ(bg.result().exit_code, 0);
    EXPECT_EQ(count_of(bg.out(), " 1.00 MBytes"), 2) << bg.out();
}

TEST_F(Server, SingleClientWithOneAcceptEndsAfterItsTest) {
    start({"-s", "-1", "-P", "1"});
    ASSERT_TRUE(tcp_test(port, kMiB));
    ASSERT_TRUE(bg.wait(milliseconds(5000))) << bg.out() << bg.err();
    EXPECT_EQ(bg.result().exit_code, 0);
    EXPECT_EQ(count_of(bg.out(), " 1.00 MBytes"), 1) << bg.out();
}

TEST_F(Server, HostRestrictionServesOnlyThatHost) {
    start({"-s", "-c", "127.0.0.2"});
    // Another host's test is closed unread (so its sending may fail) ...
    tcp_test(port, 3 * kMiB, Header{}, "127.0.0.3");
    // ... and the named host's test is served.
    ASSERT_TRUE(tcp_test(port, kMiB, Header{}, "127.0.0.2"));
    EXPECT_TRUE(bg.wait_for_output(" 1.00 MBytes", milliseconds(5000))) << bg.out();
    EXPECT_EQ(bg.out().find("connected with 127.0.0.3"), std::string::npos) << bg.out();
    EXPECT_EQ(bg.out().find(" 3.00 MBytes"), std::string::npos) << bg.out();
}

TEST(Listener, TimedListenerGivesUp) {
    Background bg;
    ASSERT_TRUE(start_quarvel(bg, {"-s", "-t", "0.5", "-p", std::to_string(free_port())}));
    ASSERT_TRUE(bg.wait(milliseconds(4000)));
    EXPECT_EQ(bg.result().exit_code, 0);
    EXPECT_EQ(bg.err(), "");
}

TEST_F(Server, SingleThreadedUdpServerSendsTheShortReport) {
    start({"-s", "-u", "-U"});
    Fd fd(udp_socket(0, port));
    const std::vector<uint8_t> answer = udp_test_answer(fd.get(), 30, 1470);
    ASSERT_EQ(answer.size(), 1470u);
    EXPECT_EQ(get32(answer, 12), 0x80000000u);
    EXPECT_EQ(get32(answer, 40), 30u);          // the final datagram counts as number 30
    EXPECT_EQ(get32(answer, 52), 0x37373737u);  // from here on: the final datagram
    EXPECT_TRUE(bg.running());
}

// --- NAT mode ---

TEST(NatServer, UdpHellosOpenThePathUntilTheTestEnds) {
    const uint16_t client_port = free_port();
    const uint16_t port = free_port();
    Fd fd(udp_socket(client_port, 0));
    Background bg;
    ASSERT_TRUE(start_quarvel(bg, {"-u", "-e", "127.0.0.1", "-a", std::to_string(client_port), "-p",
                                   std::to_string(port)}));
    sockaddr_in from{};
    socklen_t from_len = sizeof from;
    pollfd p{fd.get(), POLLIN, 0};
    ASSERT_GT(poll(&p, 1, 3000), 0);
    uint8_t hello[100];
    ASSERT_EQ(
        recvfrom(fd.get(), hello, sizeof hello, 0, reinterpret_cast<sockaddr *>(&from), &from_len),
        50);
    EXPECT_EQ(ntohs(from.sin_port), port);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(hello), 50),
              std::string("HELLO:Thank you UDP") + std::string(31, '\0'));
    EXPECT_NE(bg.out().find("\nCreating new thread to send packet.....\n"), std::string::npos)
        << bg.out();

    ASSERT_EQ(connect(fd.get(), reinterpret_cast<sockaddr *>(&from), from_len), 0);
    const std::vector<uint8_t> answer = udp_test_answer(fd.get(), 20, 1470);
    ASSERT_EQ(answer.size(), 1470u);
    EXPECT_EQ(get32(answer, 12), 0x80000000u);
    ASSERT_TRUE(bg.wait_for_output("Stopping UDP hello packets..", milliseconds(3000)));
    while (!receive(fd.get(), 0).empty()) {
    }
    EXPECT_TRUE(receive(fd.get(), 1500).empty()) << "hellos after the end of the test";
    EXPECT_TRUE(bg.running());  // a NAT server idles until a signal ends it
}

TEST(NatServer, TcpConnectsOutUntilTheClientIsThere) {
    const uint16_t client_port = free_port();
    const uint16_t port = free_port();
    Background bg;
    ASSERT_TRUE(start_quarvel(
        bg, {"-e", "127.0.0.1", "-a", std::to_string(client_port), "-p", std::to_string(port)}));
    ASSERT_TRUE(wait_for_err(bg, "connect failed: Connection refused\n", milliseconds(3000)))
        << bg.err();

    Fd listener(socket(AF_INET, SOCK_STREAM, 0));
    const int on = 1;
    setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in local = loopback(client_port);
    ASSERT_EQ(bind(listener.get(), reinterpret_cast<const sockaddr *>(&local), sizeof local), 0);
    ASSERT_EQ(listen(listener.get(), 5), 0);
    pollfd p{listener.get(), POLLIN, 0};
    ASSERT_GT(poll(&p, 1, 3000), 0);
    sockaddr_in from{};
    socklen_t from_len = sizeof from;
    Fd conn(accept(listener.get(), reinterpret_cast<sockaddr *>(&from), &from_len));
    ASSERT_GE(conn.get(), 0);
    EXPECT_EQ(ntohs(from.sin_port), port);  // the path starts at the server's port
    std::vector<uint8_t> buf(36 + kMiB, '5');
    put_header(buf, 0, Header{});
    ASSERT_EQ(send(conn.get(), buf.data(), buf.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(buf.size()));
    conn.reset();
    EXPECT_TRUE(bg.wait_for_output(" 1.00 MBytes", milliseconds(5000))) << bg.out();
    std::this_thread::sleep_for(milliseconds(500));
    EXPECT_TRUE(bg.running());
}

}  // namespace
