// The settings banner of listeners and clients, its window line and its MSS
// lines, checked line by line from reports built in-process.
#include "toril/reporting/report_settings.h"

#include <gtest/gtest.h>

#include <string>

#include "common/units.h"
#include "report_texts_support.h"
#include "toril/reporting/report.h"

namespace {

using texttest::captured;
using texttest::make_settings;
using texttest::NodePtr;
using texttest::pid_text;
using texttest::set_text;
using texttest::SettingsPtr;
using texttest::Socket;

const std::string kSep = "------------------------------------------------------------\n";

SettingsReport *settings_of(const NodePtr &node) {
    return static_cast<SettingsReport *>(node->this_report);
}

std::string banner(thread_Settings *s) {
    NodePtr node(InitSettingsReport(s));
    return captured([&] { reporter_print_settings_report(settings_of(node)); });
}

std::string size_text(double bytes, char letter) {
    char text[64];
    byte_snprintf(text, sizeof text, bytes, letter);
    return text;
}

// "TCP window size: <actual> (default)" and its newline, for a socket.
std::string default_window(const char *label, const Socket &sock, bool send_side) {
    return std::string(label) + ": " + size_text(sock.buffer_size(send_side), 'A') + " (default)\n";
}

// --- Listener ---

TEST(SettingsBanner, DefaultTcpServer) {
    Socket sock(SOCK_STREAM);
    SettingsPtr s = make_settings(kMode_Listener);
    s->sock = sock.fd();
    EXPECT_EQ(banner(s.get()), kSep + "Server listening on TCP port 5001\n" +
                                   default_window("TCP window size", sock, false) + kSep);
}

TEST(SettingsBanner, ListenerVariants) {
    Socket tcp(SOCK_STREAM);
    Socket udp(SOCK_DGRAM);
    const std::string pid = pid_text();
    const struct {
        const char *name;
        std::function<void(thread_Settings *)> setup;
        bool is_udp;
        std::string lines;  // between the listening line's block and the window line
    } cases[] = {
        {"port range", [](thread_Settings *s) { s->port_last = 5003; }, false,
         "Server listening on TCP ports 5001-5003 with pid " + pid + "\n"},
        {"enhanced", [](thread_Settings *s) { s->option_flags |= OPT_ENHANCED; }, false,
         "Server listening on TCP port 5001 with pid " + pid +
             "\nRead buffer size:  128 KByte (Dist bin width=16.0 KByte)\n"},
        {"single client udp (-U)",
         [](thread_Settings *s) {
             s->option_flags |= OPT_UDP | OPT_SINGLE_CLIENT | OPT_SINGLE_UDP;
         },
         true,
         "Server listening on UDP port 5001\nWARN: Suggested to use lower case -u instead of -U "
         "(to avoid serialize & bypass of reporter thread)\n"},
        {"single client tcp (-1)", [](thread_Settings *s) { s->option_flags |= OPT_SINGLE_CLIENT; },
         false,
         "Server listening on TCP port 5001\nServer set to single client traffic mode "
         "(serialize traffic tests)\n"},
        {"congestion, reflected tos, tos",
         [](thread_Settings *s) {
             s->option_flags |= OPT_CONGESTION;
             set_text(&s->congestion_algo, "cubic");
             s->extra_flags |= EXT_TOS_OVERRIDE;
             s->override_tos = 0x20;
             s->tos = 0x10;
         },
         false,
         "Server listening on TCP port 5001\nTCP congestion control set to cubic\nReflected TOS "
         "will be set to 0x20\nTOS will be set to 0x10\n"},
        {"histograms and frame intervals",
         [](thread_Settings *s) {
             s->test_flags |= TEST_HISTOGRAM | TEST_FRAME_INTERVAL;
             s->histogram_binwidth = 100;
             s->histogram_units = 6;
             s->histogram_bins = 1000;
         },
         false,
         "Server listening on TCP port 5001\nEnabled receive histograms bin-width=0.100 ms, "
         "bins=1000 (clients should use --trip-times)\nFrame or burst interval reporting "
         "(feature is experimental, ./configure --enable-fastsampling suggested)\n"},
        {"unicast bind, enhanced",
         [](thread_Settings *s) {
             s->option_flags |= OPT_ENHANCED;
             s->buf_len = 8192;
             set_text(&s->local_host, "localhost");
             s->local = texttest::address("127.0.0.1", 5001);
         },
         false,
         "Server listening on TCP port 5001 with pid " + pid +
             "\nBinding to local address 127.0.0.1\nRead buffer size: 8.00 KByte (Dist bin "
             "width=1.00 KByte)\n"},
        {"unicast bind hidden",
         [](thread_Settings *s) {
             s->option_flags |= OPT_ENHANCED;
             s->extra_flags |= EXT_HIDE_IPS;
             s->buf_len = 8192;
             set_text(&s->local_host, "192.0.2.7");
             s->local = texttest::address("192.0.2.7", 5001);
         },
         false,
         "Server listening on TCP port 5001 with pid " + pid +
             "\nBinding to local address *.*.*.7\nRead buffer size: 8.00 KByte (Dist bin "
             "width=1.00 KByte)\n"},
        {"unicast bind with device",
         [](thread_Settings *s) {
             s->option_flags |= OPT_ENHANCED;
             s->buf_len = 8192;
             set_text(&s->local_host, "127.0.0.1");
             set_text(&s->bind_device, "lo");
             s->local = texttest::address("127.0.0.1", 5001);
         },
         false,
         "Server listening on TCP port 5001 with pid " + pid +
             "\nBinding to local address 127.0.0.1 and iface lo\nRead buffer size: 8.00 KByte "
             "(Dist bin width=1.00 KByte)\n"},
        {"unicast bind without enhanced says nothing",
         [](thread_Settings *s) {
             set_text(&s->local_host, "127.0.0.1");
             s->local = texttest::address("127.0.0.1", 5001);
         },
         false, "Server listening on TCP port 5001\n"},
        {"multicast group",
         [](thread_Settings *s) {
             s->option_flags |= OPT_UDP | OPT_MULTICAST;
             set_text(&s->local_host, "239.1.1.1");
             s->local = texttest::address("239.1.1.1", 5001);
         },
         true,
         "Server listening on UDP port 5001\nJoining multicast group  239.1.1.1\nServer set to "
         "single client traffic mode (per multicast receive)\n"},
        {"multicast (*,G) with device",
         [](thread_Settings *s) {
             s->option_flags |= OPT_UDP;
             set_text(&s->local_host, "239.1.1.1");
             set_text(&s->bind_device, "eth1");
             s->local = texttest::address("239.1.1.1", 5001);
         },
         true,
         "Server listening on UDP port 5001\nJoining multicast (*,G)=*,239.1.1.1 w/iface eth1\n"},
        {"multicast (S,G)",
         [](thread_Settings *s) {
             s->option_flags |= OPT_UDP;
             set_text(&s->local_host, "232.1.1.1");
             set_text(&s->ssm_source, "10.1.1.1");
             s->local = texttest::address("232.1.1.1", 5001);
         },
         true, "Server listening on UDP port 5001\nJoining multicast (S,G)=10.1.1.1,232.1.1.1\n"},
        {"multicast (S,G) with device",
         [](thread_Settings *s) {
             s->option_flags |= OPT_UDP;
             set_text(&s->local_host, "232.1.1.1");
             set_text(&s->ssm_source, "10.1.1.1");
             set_text(&s->bind_device, "eth1");
             s->local = texttest::address("232.1.1.1", 5001);
         },
         true,
         "Server listening on UDP port 5001\nJoining multicast (S,G)=10.1.1.1,232.1.1.1 w/iface "
         "eth1\n"},
        {"tap device",
         [](thread_Settings *s) {
             s->option_flags |= OPT_UDP;
             s->extra_flags |= EXT_TAP_DEV;
             set_text(&s->bind_device, "tap0");
         },
         true,
         "Server listening on UDP port 5001\nUsing virtual iface tap0 (AF_PACKET & SOCK_RAW)\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        SettingsPtr s = make_settings(kMode_Listener);
        c.setup(s.get());
        const Socket &sock = c.is_udp ? udp : tcp;
        s->sock = sock.fd();
        const char *label = c.is_udp ? "UDP buffer size" : "TCP window size";
        EXPECT_EQ(banner(s.get()), kSep + c.lines + default_window(label, sock, false) + kSep);
    }
}

TEST(SettingsBanner, PermitKeyFollowsTheWindowLine) {
    Socket sock(SOCK_STREAM);
    const std::string window = default_window("TCP window size", sock, false);
    const struct {
        double timeout_s;
        const char *line;
    } cases[] = {
        {20, "Permit key is 'abc' (timeout in 20.0 seconds)\n"},
        {0, "Permit key is 'abc' (WARN: no timeout)\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        SettingsPtr s = make_settings(kMode_Listener);
        s->sock = sock.fd();
        s->test_flags |= TEST_PERMIT_KEY;
        strcpy(s->permit_key, "abc");
        s->permit_key_timeout = c.timeout_s;
        EXPECT_EQ(banner(s.get()),
                  kSep + "Server listening on TCP port 5001\n" + window + c.line + kSep);
    }
}

// --- Window line ---

TEST(WindowLine, DefaultRequestedEqualAndDifferent) {
    Socket sock(SOCK_STREAM);
    const int actual = sock.buffer_size(false);
    const std::string actual_text = size_text(actual, 'A');
    const struct {
        int requested;
        char format;
        std::string text;
    } cases[] = {
        {0, 'a', "TCP window size: " + actual_text + " (default)"},
        {actual, 'a', "TCP window size: " + actual_text},
        {1000, 'a',
         "TCP window size: " + actual_text + " (WARNING: requested " + size_text(1000, 'A') + ")"},
        // 'B' stays bytes; any other letter prints adaptively.
        {0, 'b', "TCP window size: " + size_text(actual, 'B') + " (default)"},
        {0, 'k', "TCP window size: " + actual_text + " (default)"},
        {1000, 'k',
         "TCP window size: " + actual_text + " (WARNING: requested " + size_text(1000, 'K') + ")"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        SettingsPtr s = make_settings(kMode_Listener);
        s->sock = sock.fd();
        s->window_size = c.requested;
        s->format = c.format;
        NodePtr node(InitSettingsReport(s.get()));
        EXPECT_EQ(captured([&] { output_window_size(settings_of(node)); }), c.text);
    }
}

TEST(WindowLine, ClientReadsTheSendBuffer) {
    Socket sock(SOCK_STREAM);
    int size = 64 * 1024;
    setsockopt(sock.fd(), SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    SettingsPtr s = make_settings(kMode_Client);
    s->sock = sock.fd();
    NodePtr node(InitSettingsReport(s.get()));
    EXPECT_EQ(captured([&] { output_window_size(settings_of(node)); }),
              "TCP window size: " + size_text(sock.buffer_size(true), 'A') + " (default)");
}

// --- MSS lines ---

TEST(MssLine, RequestedOrReportedOrNone) {
    Socket sock(SOCK_STREAM);
    const struct {
        ThreadMode mode;
        uint32_t option_flags;
        uint32_t test_flags;
        int mss;
        const char *line;
    } cases[] = {
        {kMode_Listener, OPT_PRINT_MSS, TEST_MSS_SET, 1400,
         "MSS req size 1400 bytes (per TCP_MAXSEG)\n"},
        {kMode_Listener, OPT_PRINT_MSS, 0, 1448, "MSS size 1448 bytes\n"},
        {kMode_Listener, 0, 0, 1448, ""},
        {kMode_Client, OPT_PRINT_MSS, TEST_MSS_SET, 9000,
         "MSS req size 9000 bytes (per TCP_MAXSEG)\n"},
        {kMode_Client, OPT_PRINT_MSS, 0, 536, "MSS size 536 bytes\n"},
        {kMode_Client, 0, 0, 536, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.mode) + " " + c.line);
        SettingsPtr s = make_settings(c.mode);
        set_text(&s->host, "127.0.0.1");
        s->sock = sock.fd();
        s->option_flags |= c.option_flags;
        s->test_flags |= c.test_flags;
        s->mss = c.mss;
        NodePtr node(InitSettingsReport(s.get()));
        settings_of(node)->mss = c.mss;  // as read from the socket for -m alone
        const std::string first = c.mode == kMode_Listener
                                      ? "Server listening on TCP port 5001\n"
                                      : "Client connecting to 127.0.0.1, TCP port 5001\n";
        const bool client = c.mode == kMode_Client;
        EXPECT_EQ(captured([&] { reporter_print_settings_report(settings_of(node)); }),
                  kSep + first + c.line + default_window("TCP window size", sock, client) + kSep);
    }
}

// --- Client ---

TEST(SettingsBanner, UdpClient) {
    Socket sock(SOCK_DGRAM);
    SettingsPtr s = make_settings(kMode_Client);
    set_text(&s->host, "127.0.0.1");
    s->sock = sock.fd();
    s->option_flags |= OPT_UDP;
    s->buf_len = 1470;
    s->rate = 1024 * 1024;
    EXPECT_EQ(banner(s.get()),
              kSep + "Client connecting to 127.0.0.1, UDP port 5001\n" +
                  "Sending 1470 byte datagrams, IPG target: 11215.21 us (kalman adjust)\n" +
                  default_window("UDP buffer size", sock, true) + kSep);
}

TEST(SettingsBanner, ClientVariants) {
    Socket tcp(SOCK_STREAM);
    Socket udp(SOCK_DGRAM);
    const std::string pid = pid_text();
    const struct {
        const char *name;
        std::function<void(thread_Settings *)> setup;
        bool is_udp;
        std::string before_window;
        std::string after_window;  // with the closing separator left out
    } cases[] = {
        {"enhanced tcp, nodelay",
         [](thread_Settings *s) { s->option_flags |= OPT_ENHANCED | OPT_NODELAY; }, false,
         "Client connecting to 127.0.0.1, TCP port 5001 with pid " + pid +
             " (1 flows)\nWrite buffer size: 131072 Byte\nTOS set to 0x0 and nodelay (Nagle "
             "off)\n",
         ""},
        {"enhanced, four flows, write times, tos",
         [](thread_Settings *s) {
             s->option_flags |= OPT_ENHANCED;
             s->extra_flags |= EXT_WRITE_TIMES;
             s->threads = 4;
             s->tos = 0x48;
         },
         false,
         "Client connecting to 127.0.0.1, TCP port 5001 with pid " + pid +
             " (4 flows)\nWrite buffer size: 131072 Byte (writetimer-enabled)\nTOS set to 0x48 "
             "(Nagle on)\n",
         ""},
        {"hidden host",
         [](thread_Settings *s) {
             s->extra_flags |= EXT_HIDE_IPS;
             set_text(&s->hidden_text, "(**hidden**)");
         },
         false, "Client connecting to (**hidden**), TCP port 5001\n", ""},
        {"device", [](thread_Settings *s) { set_text(&s->host_device, "eth2"); }, false,
         "Client connecting to 127.0.0.1, TCP port 5001 with pid " + pid + " via eth2 (1 flows)\n",
         ""},
        {"a device found for the socket is not the -c device",
         [](thread_Settings *s) { set_text(&s->bind_device, "lo"); }, false,
         "Client connecting to 127.0.0.1, TCP port 5001\n", ""},
        {"no MSS line for udp",
         [](thread_Settings *s) {
             s->option_flags |= OPT_UDP | OPT_PRINT_MSS;
             s->test_flags |= TEST_MSS_SET;
             s->mss = 1400;
             s->buf_len = 1470;
             s->rate = 1024 * 1024;
         },
         true,
         "Client connecting to 127.0.0.1, UDP port 5001\nSending 1470 byte datagrams, IPG "
         "target: 11215.21 us (kalman adjust)\n",
         ""},
        {"isochronous udp",
         [](thread_Settings *s) {
             s->option_flags |= OPT_UDP;
             s->test_flags |= TEST_ISOCH;
             s->frame_rate = 60;
             s->isoch_mean = 20e6;
             s->variance = 1e6;
             s->burst_ipg = 0.005;
         },
         true,
         "Client connecting to 127.0.0.1, UDP port 5001\nIsochronous: 60.00 frames/sec "
         "mean=20.0 Mbit/s, stddev=1.00 Mbit/s, Period/IPG=16.67/0.005 ms\n",
         ""},
        {"burst",
         [](thread_Settings *s) {
             s->extra_flags |= EXT_BURST;
             s->burst_size = 1024 * 1024;
             s->frame_rate = 4;
         },
         false,
         "Client connecting to 127.0.0.1, TCP port 5001\nBursting: 1.00 MByte every 0.25 "
         "second(s)\n",
         ""},
        {"burst with a count",
         [](thread_Settings *s) {
             s->extra_flags |= EXT_BURST;
             s->burst_size = 1024 * 1024;
             s->frame_rate = 4;
             s->bounceback_count = 10;
         },
         false,
         "Client connecting to 127.0.0.1, TCP port 5001\nBursting: 1.00 MByte writes 10 "
         "times every 0.25 second(s)\n",
         ""},
        {"bounce-back with quick-ack",
         [](thread_Settings *s) {
             s->extra_flags |= EXT_BOUNCEBACK | EXT_QUICKACK;
             s->bounceback_size = 100;
             s->bounceback_hold = 50;
         },
         false,
         "Client connecting to 127.0.0.1, TCP port 5001\nBounce-back test (size= 100 Byte) "
         "(server hold req=50 usecs & tcp_quickack)\n",
         ""},
        {"bounce-back without quick-ack, fq pacing",
         [](thread_Settings *s) {
             s->extra_flags |= EXT_BOUNCEBACK;
             s->test_flags |= TEST_FQ_RATE;
             s->bounceback_size = 100;
             s->fq_rate = 125000;
         },
         false,
         "Client connecting to 127.0.0.1, TCP port 5001\nBounce-back test (size= 100 Byte) "
         "(server hold req=0 usecs)\nfair-queue socket pacing set to 1.00 Mbit/s\n",
         ""},
        {"near congestion at the default weight",
         [](thread_Settings *s) {
             s->test_flags |= TEST_NEAR_CONGESTION;
             s->near_congest_weight = 0.5;
         },
         false,
         "Client connecting to 127.0.0.1, TCP port 5001\nWrite buffer size: 131072 Byte\nTCP "
         "near-congestion delay weight set to 0.5000 (use --near-congestion=<value> to "
         "change)\n",
         ""},
        {"near congestion at another weight",
         [](thread_Settings *s) {
             s->test_flags |= TEST_NEAR_CONGESTION;
             s->near_congest_weight = 0.25;
         },
         false,
         "Client connecting to 127.0.0.1, TCP port 5001\nWrite buffer size: 131072 Byte\nTCP "
         "near-congestion delay weight set to 0.2500\n",
         ""},
        {"-U on a client, packet rate",
         [](thread_Settings *s) {
             s->option_flags |= OPT_UDP | OPT_SINGLE_CLIENT | OPT_SINGLE_UDP;
             s->buf_len = 100;
             s->rate = 1000;
             s->rate_units = kRate_PPS;
         },
         true,
         "Client connecting to 127.0.0.1, UDP port 5001\nWARN: Client set to bypass reporter "
         "thread per -U (suggest use lower case -u instead)\nSending 100 byte datagrams, IPG "
         "target: 1000.00 us (kalman adjust)\n",
         ""},
        {"tcp with an interval gap",
         [](thread_Settings *s) {
             s->test_flags |= TEST_IPG;
             s->burst_ipg = 2.5;
         },
         false,
         "Client connecting to 127.0.0.1, TCP port 5001\nSending 131072 byte datagrams, IPG "
         "target: 2500.00 us (kalman adjust)\n",
         ""},
        {"write prefetch and histograms",
         [](thread_Settings *s) {
             s->extra_flags |= EXT_WRITE_PREFETCH;
             s->write_prefetch = 4096;
             s->test_flags |= TEST_HISTOGRAM;
             s->histogram_binwidth = 1;
             s->histogram_units = 3;
             s->histogram_bins = 100;
         },
         false, "Client connecting to 127.0.0.1, TCP port 5001\n",
         "Event based writes (pending queue watermark at 4096 bytes)\nEnabled write histograms "
         "bin-width=1.000 ms, bins=100\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        SettingsPtr s = make_settings(kMode_Client);
        set_text(&s->host, "127.0.0.1");
        c.setup(s.get());
        const Socket &sock = c.is_udp ? udp : tcp;
        s->sock = sock.fd();
        const char *label = c.is_udp ? "UDP buffer size" : "TCP window size";
        EXPECT_EQ(banner(s.get()), kSep + c.before_window + default_window(label, sock, true) +
                                       c.after_window + kSep);
    }
}

TEST(SettingsBanner, ConnectOnlyClientHasNoWindowLine) {
    SettingsPtr s = make_settings(kMode_Client);
    set_text(&s->host, "127.0.0.1");
    s->test_flags |= TEST_CONNECT_ONLY;
    EXPECT_EQ(banner(s.get()), kSep +
                                   "Client connecting to 127.0.0.1, TCP port 5001\nTCP "
                                   "three-way-handshake (3WHS) only\n" +
                                   kSep);
}

}  // namespace
