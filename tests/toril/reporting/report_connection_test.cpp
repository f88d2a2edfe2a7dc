// Connection lines (addresses, hidden addresses, devices, the feature suffix,
// the permit-key drop), the peer version text, the scheduled-start notice,
// the relayed server report and the connect-time aggregate.
#include "toril/reporting/report_connection.h"

#include <gtest/gtest.h>
#include <netinet/tcp.h>

#include <ctime>
#include <string>

#include "report_texts_support.h"
#include "toril/reporting/report.h"
#include "toril/reporting/report_settings.h"
#include "toril/reporting/reporter.h"

namespace {

using texttest::address;
using texttest::captured;
using texttest::make_settings;
using texttest::NodePtr;
using texttest::set_text;
using texttest::SettingsPtr;
using texttest::Socket;

constexpr int64_t kEpoch = 1700000000;  // 2023-11-14 22:13:20 UTC
const char kEpochText[] = "2023-11-14 22:13:20 (UTC)";

ConnectionReport *connection_of(const NodePtr &node) {
    return static_cast<ConnectionReport *>(node->this_report);
}

// A stream record with transfer id 1 and the given addresses.
SettingsPtr stream(ThreadMode mode, const char *local, uint16_t local_port, const char *peer,
                   uint16_t peer_port) {
    SettingsPtr s = make_settings(mode);
    s->local = address(local, local_port);
    s->peer = address(peer, peer_port);
    s->transfer_id = 1;
    setTransferID(s.get(), false);
    return s;
}

std::string line_of(thread_Settings *s) {
    NodePtr node(InitConnectionReport(s));
    return captured([&] { reporter_print_connection_report(connection_of(node)); });
}

// True when text has pattern's shape: '#' stands for one digit, every other
// character for itself.
bool shaped(const std::string &text, const std::string &pattern) {
    if (text.size() != pattern.size()) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (pattern[i] == '#' ? !digit : text[i] != pattern[i]) return false;
    }
    return true;
}

const char kDate[] = "####-##-## ##:##:##";
const std::string kNow = std::string(kDate) + " (UTC)\n";

class ConnectionLine : public testing::Test {
  protected:
    void SetUp() override { texttest::use_utc(); }
};

TEST_F(ConnectionLine, AddressesByFamilyAndHiding) {
    const struct {
        const char *local;
        const char *peer;
        bool hide;
        const char *line;
    } cases[] = {
        {"127.0.0.1", "127.0.0.2", false,
         "[  1] local 127.0.0.1 port 5001 connected with 127.0.0.2 port 40000\n"},
        {"127.0.0.1", "192.0.2.200", true,
         "[  1] local *.*.*.1 port 5001 connected with *.*.*.200 port 40000\n"},
        {"::1", "fd00::2", false, "[  1] local ::1 port 5001 connected with fd00::2 port 40000\n"},
        // Only IPv4 addresses have a hidden form.
        {"::1", "fd00::2", true, "[  1] local ::1 port 5001 connected with fd00::2 port 40000\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        SettingsPtr s = stream(kMode_Server, c.local, 5001, c.peer, 40000);
        if (c.hide) s->extra_flags |= EXT_HIDE_IPS;
        EXPECT_EQ(line_of(s.get()), c.line);
    }
}

TEST_F(ConnectionLine, NoTransferIdTextMeansNoPrefix) {
    SettingsPtr s = make_settings(kMode_Client);
    s->local = address("127.0.0.1", 40000);
    s->peer = address("127.0.0.1", 5001);
    EXPECT_EQ(line_of(s.get()), "local 127.0.0.1 port 40000 connected with 127.0.0.1 port 5001\n");
}

TEST_F(ConnectionLine, SuffixParts) {
    Socket tcp(SOCK_STREAM);
    const struct {
        const char *name;
        ThreadMode mode;
        std::function<void(thread_Settings *)> setup;
        const char *suffix;
    } cases[] = {
        {"isochronous", kMode_Server, [](thread_Settings *s) { s->test_flags |= TEST_ISOCH; },
         " (isoch)"},
        {"burst on a server", kMode_Server,
         [](thread_Settings *s) {
             s->extra_flags |= EXT_BURST;
             s->frame_rate = 2;
         },
         " (burst-period=0.50s)"},
        {"burst on a client", kMode_Client,
         [](thread_Settings *s) {
             s->extra_flags |= EXT_BURST;
             s->frame_rate = 2;
         },
         ""},
        {"full duplex wins over reverse", kMode_Server,
         [](thread_Settings *s) { s->test_flags |= TEST_FULL_DUPLEX | TEST_SERVER_REVERSE; },
         " (full-duplex)"},
        {"client reverse with fq", kMode_Client,
         [](thread_Settings *s) { s->test_flags |= TEST_REVERSE | TEST_FQ_RATE; },
         " (reverse) (fq)"},
        {"server reverse", kMode_Client,
         [](thread_Settings *s) { s->test_flags |= TEST_SERVER_REVERSE; }, " (reverse)"},
        {"epoch start", kMode_Server, [](thread_Settings *s) { s->test_flags |= TEST_TXSTART; },
         " (epoch-start)"},
        {"bounce-back with quick-ack", kMode_Client,
         [](thread_Settings *s) {
             s->extra_flags |= EXT_BOUNCEBACK | EXT_QUICKACK;
             s->bounceback_size = 100;
             s->bounceback_hold = 5;
         },
         " (bb w/quickack len/hold=100/5)"},
        {"bounce-back", kMode_Client,
         [](thread_Settings *s) {
             s->extra_flags |= EXT_BOUNCEBACK;
             s->bounceback_size = 100;
         },
         " (bb len/hold=100/0)"},
        {"l2 mode, udp no fin, trip times", kMode_Server,
         [](thread_Settings *s) {
             s->option_flags |= OPT_UDP;
             s->test_flags |= TEST_L2CHECKS | TEST_NO_UDP_FIN | TEST_TRIP_TIMES;
         },
         " (l2mode) (no-udp-fin) (trip-times)"},
        {"no-udp-fin is udp only", kMode_Server,
         [](thread_Settings *s) { s->test_flags |= TEST_NO_UDP_FIN; }, ""},
        {"tos received", kMode_Server, [](thread_Settings *s) { s->tos = 0x10; }, " (tos rx=0x10)"},
        {"tos sent in reverse", kMode_Client,
         [](thread_Settings *s) {
             s->tos = 0x10;
             s->test_flags |= TEST_REVERSE;
         },
         " (reverse) (tos tx=0x10)"},
        {"tos both ways with bounce-back", kMode_Client,
         [](thread_Settings *s) {
             s->tos = 0x10;
             s->extra_flags |= EXT_BOUNCEBACK;
             s->bounceback_size = 64;
         },
         " (bb len/hold=64/0) (tos rx/tx=0x10/0x10)"},
        {"reflected tos in full duplex", kMode_Server,
         [](thread_Settings *s) {
             s->tos = 0x10;
             s->override_tos = 0x20;
             s->extra_flags |= EXT_TOS_OVERRIDE;
             s->test_flags |= TEST_FULL_DUPLEX;
         },
         " (full-duplex) (tos rx/tx=0x10/0x20)"},
        {"reflected tos in reverse", kMode_Client,
         [](thread_Settings *s) {
             s->tos = 0x10;
             s->override_tos = 0x20;
             s->extra_flags |= EXT_TOS_OVERRIDE;
             s->test_flags |= TEST_SERVER_REVERSE;
         },
         " (reverse) (tos tx=0x20)"},
        {"reflected tos, one way", kMode_Server,
         [](thread_Settings *s) {
             s->tos = 0x10;
             s->override_tos = 0x20;
             s->extra_flags |= EXT_TOS_OVERRIDE;
         },
         ""},
        {"peer version with peer detection", kMode_Client,
         [](thread_Settings *s) {
             s->test_flags |= TEST_PEER_DETECT;
             s->peer_version_hi = 2 * 65536 + 1;
             s->peer_version_lo = 8 * 65536 + 3;
         },
         " (peer 2.1.8)"},
        {"peer version needs detection or enhanced", kMode_Client,
         [](thread_Settings *s) {
             s->peer_version_hi = 2 * 65536 + 1;
             s->peer_version_lo = 8 * 65536 + 3;
         },
         ""},
        {"quick-ack", kMode_Client, [](thread_Settings *s) { s->extra_flags |= EXT_QUICKACK; },
         " (qack)"},
        {"initial tcp sample", kMode_Client,
         [](thread_Settings *s) {
             s->connect_stats.valid = 1;
             s->connect_stats.cwnd_kbytes = 14;
             s->connect_stats.mss = 1448;
             s->connect_stats.rtt_us = 37;
         },
         " (icwnd/mss/irtt=14/1448/37)"},
        {"initial sample is tcp only", kMode_Client,
         [](thread_Settings *s) {
             s->option_flags |= OPT_UDP;
             s->connect_stats.valid = 1;
         },
         ""},
        {"write prefetch on a socket", kMode_Client,
         [&tcp](thread_Settings *s) {
             s->sock = tcp.fd();
             s->extra_flags |= EXT_WRITE_PREFETCH;
             s->write_prefetch = 4096;
         },
         " (prefetch=4096)"},
        {"receive window clamp read from the socket", kMode_Server,
         [&tcp](thread_Settings *s) {
             int clamp = 65536;
             setsockopt(tcp.fd(), IPPROTO_TCP, TCP_WINDOW_CLAMP, &clamp, sizeof clamp);
             s->sock = tcp.fd();
             s->extra_flags |= EXT_RX_WINCLAMP;
         },
         " (clamp=65536)"},
        {"write prefetch without a socket", kMode_Client,
         [](thread_Settings *s) {
             s->extra_flags |= EXT_WRITE_PREFETCH;
             s->write_prefetch = 4096;
         },
         ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        SettingsPtr s = stream(c.mode, "127.0.0.1", 5001, "127.0.0.1", 40000);
        c.setup(s.get());
        EXPECT_EQ(line_of(s.get()),
                  std::string("[  1] local 127.0.0.1 port 5001 connected with 127.0.0.1 port "
                              "40000") +
                      c.suffix + "\n");
        s->sock = -1;  // the socket belongs to the test
    }
}

TEST_F(ConnectionLine, EnhancedTimesAndDevice) {
    const struct {
        const char *name;
        ThreadMode mode;
        std::function<void(thread_Settings *)> setup;
        std::string line;
    } cases[] = {
        {"server with the client's start time", kMode_Server,
         [](thread_Settings *s) { s->test_flags |= TEST_TRIP_TIMES; },
         std::string("[  1] local 127.0.0.1 port 5001 connected with 127.0.0.1 port 40000 "
                     "(trip-times) (sock=-1) on ") +
             kEpochText + "\n"},
        {"tcp client with its connect time", kMode_Client,
         [](thread_Settings *s) {
             s->test_flags |= TEST_TRIP_TIMES;
             s->connect_stats.connect_time_ms = 0.125;
         },
         std::string("[  1] local 127.0.0.1 port 5001 connected with 127.0.0.1 port 40000 "
                     "(trip-times) (sock=-1) (ct=0.12 ms) on ") +
             kEpochText + "\n"},
        {"udp client: no connect time", kMode_Client,
         [](thread_Settings *s) {
             s->option_flags |= OPT_UDP;
             s->test_flags |= TEST_TRIP_TIMES;
             s->connect_stats.connect_time_ms = 0.125;
         },
         std::string("[  1] local 127.0.0.1 port 5001 connected with 127.0.0.1 port 40000 "
                     "(trip-times) (sock=-1) on ") +
             kEpochText + "\n"},
        {"server with a device", kMode_Server,
         [](thread_Settings *s) {
             s->test_flags |= TEST_TRIP_TIMES;
             set_text(&s->bind_device, "eth0");
         },
         std::string("[  1] local 127.0.0.1%eth0 port 5001 connected with 127.0.0.1 port 40000 "
                     "(trip-times) (sock=-1) on ") +
             kEpochText + "\n"},
        {"a device name too long for an interface", kMode_Server,
         [](thread_Settings *s) {
             s->test_flags |= TEST_TRIP_TIMES;
             set_text(&s->bind_device, "a-name-longer-than-sixteen");
         },
         std::string("[  1] local 127.0.0.1 port 5001 connected with 127.0.0.1 port 40000 "
                     "(trip-times) (sock=-1) on ") +
             kEpochText + "\n"},
        {"peer version with enhanced", kMode_Server,
         [](thread_Settings *s) {
             s->test_flags |= TEST_TRIP_TIMES;
             s->peer_version_hi = 2 * 65536 + 1;
             s->peer_version_lo = 8 * 65536;
         },
         std::string("[  1] local 127.0.0.1 port 5001 connected with 127.0.0.1 port 40000 "
                     "(trip-times) (sock=-1) (peer 2.1.8-dev) on ") +
             kEpochText + "\n"},
        {"the server's sending leg has no time", kMode_Client,
         [](thread_Settings *s) { s->test_flags |= TEST_TRIP_TIMES | TEST_SERVER_REVERSE; },
         "[  1] local 127.0.0.1 port 5001 connected with 127.0.0.1 port 40000 (reverse) "
         "(trip-times) (sock=-1)\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        SettingsPtr s = stream(c.mode, "127.0.0.1", 5001, "127.0.0.1", 40000);
        s->option_flags |= OPT_ENHANCED;
        s->trip_start_sec = kEpoch;
        c.setup(s.get());
        EXPECT_EQ(line_of(s.get()), c.line);
    }
}

TEST_F(ConnectionLine, ConnectOnlyClientGivesItsTimeWithoutEnhanced) {
    SettingsPtr s = stream(kMode_Client, "127.0.0.1", 40000, "127.0.0.1", 5001);
    s->test_flags |= TEST_CONNECT_ONLY;
    s->connect_stats.connect_time_ms = 1.5;
    const std::string line = line_of(s.get());
    EXPECT_TRUE(shaped(line,
                       "[  1] local 127.0.0.1 port 40000 connected with 127.0.0.1 port 5001 "
                       "(ct=1.50 ms) on " +
                           kNow))
        << line;
}

TEST_F(ConnectionLine, PermitKeyFailureIsADrop) {
    // A refused connection is reported before its test got a transfer id.
    SettingsPtr s = make_settings(kMode_Server);
    s->local = address("127.0.0.1", 5001);
    s->peer = address("127.0.0.1", 40000);
    s->test_flags |= TEST_PERMIT_KEY;
    s->tos = 0x10;
    EXPECT_EQ(line_of(s.get()),
              "[drop] local 127.0.0.1 port 5001 connection with 127.0.0.1 port "
              "40000 (tos rx=0x10) (permit key fail)\n");
    // The same connection once accepted.
    setTransferID(s.get(), false);
    EXPECT_EQ(line_of(s.get()),
              "[" +
                  std::string(s->transfer_id < 10    ? "  "
                              : s->transfer_id < 100 ? " "
                                                     : "") +
                  std::to_string(s->transfer_id) +
                  "] local 127.0.0.1 port 5001 connected with 127.0.0.1 port 40000 (tos "
                  "rx=0x10)\n");
}

TEST_F(ConnectionLine, ConnectOnlyServerWithAKeyIsNoDrop) {
    SettingsPtr s = make_settings(kMode_Server);
    s->local = address("127.0.0.1", 5001);
    s->peer = address("127.0.0.1", 40000);
    s->test_flags |= TEST_PERMIT_KEY | TEST_CONNECT_ONLY;
    const std::string line = line_of(s.get());
    EXPECT_EQ(line.rfind("local 127.0.0.1 port 5001 connected with 127.0.0.1 port 40000 on ", 0),
              0u)
        << line;
}

TEST_F(ConnectionLine, LongSuffixStaysWithinItsBuffer) {
    const std::string head = "[  1] local 127.0.0.1 port 5001 connected with 127.0.0.1 port 40000";
    // Every part at once, with extreme values; a burst rate near 0 gives a
    // period text of hundreds of digits, which leaves no room for the rest.
    for (const double burst_rate : {2.0, 1e-300}) {
        SCOPED_TRACE(burst_rate);
        SettingsPtr s = stream(kMode_Server, "127.0.0.1", 5001, "127.0.0.1", 40000);
        s->option_flags |= OPT_ENHANCED | OPT_UDP;
        s->test_flags |= TEST_ISOCH | TEST_FULL_DUPLEX | TEST_TXSTART | TEST_L2CHECKS |
                         TEST_NO_UDP_FIN | TEST_TRIP_TIMES;
        s->extra_flags |= EXT_BURST | EXT_BOUNCEBACK | EXT_QUICKACK | EXT_TOS_OVERRIDE;
        s->bounceback_size = INT32_MIN;
        s->bounceback_hold = INT32_MIN;
        s->tos = -1;
        s->override_tos = -1;
        s->peer_version_hi = 0xFFFFFFFF;
        s->peer_version_lo = 0xFFFFFFFF;
        s->frame_rate = burst_rate;
        const std::string line = line_of(s.get());
        ASSERT_EQ(line.rfind(head, 0), 0u) << line;
        EXPECT_LT(line.size() - head.size() - 1, 512u) << line;
        EXPECT_EQ(line.back(), '\n');
        const bool has_version = line.find(" (peer 65535.65535.65535-unk)") != std::string::npos;
        EXPECT_EQ(has_version, burst_rate > 1) << line;
    }
}

// --- Peer version ---

TEST(PeerVersion, WordsAndReleaseKinds) {
    const uint32_t upper = 2 * 65536 + 1;
    const struct {
        uint32_t upper;
        uint32_t lower;
        const char *text;
    } cases[] = {
        {upper, 8 * 65536 + 3, " (peer 2.1.8)"},
        {upper, 8 * 65536 + 0, " (peer 2.1.8-dev)"},
        {upper, 8 * 65536 + 1, " (peer 2.1.8-rc)"},
        {upper, 8 * 65536 + 2, " (peer 2.1.8-rc2)"},
        {upper, 8 * 65536 + 4, " (peer 2.1.8-private)"},
        {upper, 8 * 65536 + 5, " (peer 2.1.8-master)"},
        {upper, 8 * 65536 + 6, " (peer 2.1.8-unk)"},
        {upper, 8 * 65536 + 0x13, " (peer 2.1.8)"},  // only the low nibble counts
        {upper, 0, ""},
        {0, 8 * 65536 + 3, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        ConnectionReport report{};
        strcpy(report.peerversion, "stale");
        reporter_peerversion(&report, c.upper, c.lower);
        EXPECT_STREQ(report.peerversion, c.text);
    }
}

// --- Scheduled start ---

class StartNotice : public testing::Test {
  protected:
    void SetUp() override { texttest::use_utc(); }

    static Timestamp now() {
        timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        return {ts.tv_sec, ts.tv_nsec / 1000};
    }
    static std::string date(int64_t seconds) {
        const time_t t = static_cast<time_t>(seconds);
        tm parts;
        gmtime_r(&t, &parts);
        char text[64];
        strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
        return text;
    }
    static int64_t seconds_of(const std::string &date_text) {
        tm parts{};
        strptime(date_text.c_str(), "%Y-%m-%d %H:%M:%S", &parts);
        return static_cast<int64_t>(timegm(&parts));
    }
    // The second line of a client's connection report.
    static std::string notice_of(thread_Settings *s) {
        const std::string out = line_of(s);
        const size_t end = out.find('\n');
        return end == std::string::npos ? "" : out.substr(end + 1);
    }
};

TEST_F(StartNotice, StartTimeAheadRoundsTheWaitUp) {
    SettingsPtr s = stream(kMode_Client, "127.0.0.1", 40000, "127.0.0.1", 5001);
    s->option_flags |= OPT_ENHANCED;
    s->test_flags |= TEST_TXSTART;
    Timestamp start = now();
    start.tv_sec += 3;
    start.tv_usec += 200000;
    if (start.tv_usec >= 1000000) {
        start.tv_sec += 1;
        start.tv_usec -= 1000000;
    }
    s->txstart_sec = start.tv_sec;
    s->txstart_usec = start.tv_usec;
    const std::string notice = notice_of(s.get());
    EXPECT_TRUE(shaped(notice, "[  1] Client traffic to start in 4 seconds at " +
                                   date(start.tv_sec) + " current time is " + kNow))
        << notice;
}

TEST_F(StartNotice, StartTimeInThePastWarns) {
    SettingsPtr s = stream(kMode_Client, "127.0.0.1", 40000, "127.0.0.1", 5001);
    s->option_flags |= OPT_ENHANCED;
    s->test_flags |= TEST_TXSTART;
    s->txstart_sec = kEpoch;
    s->txstart_usec = 5;
    const std::string notice = notice_of(s.get());
    EXPECT_TRUE(shaped(notice,
                       "[  1] WARNING: --txstart-time (1700000000.5) 2023-11-14 22:13:20 is "
                       "before now " +
                           kNow))
        << notice;
}

TEST_F(StartNotice, HoldBackCountsPartSecondsAsWhole) {
    const struct {
        int64_t sec, usec;
        int wait_s;
    } cases[] = {{2, 0, 2}, {2, 500000, 3}, {0, 1, 1}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.wait_s);
        SettingsPtr s = stream(kMode_Client, "127.0.0.1", 40000, "127.0.0.1", 5001);
        s->txdelay_sec = c.sec;
        s->txdelay_usec = c.usec;
        const std::string notice = notice_of(s.get());
        const std::string head =
            "[  1] Client traffic to start in " + std::to_string(c.wait_s) + " seconds at ";
        ASSERT_TRUE(shaped(notice, head + kDate + " current time is " + kNow)) << notice;
        // The start is the current time plus the wait.
        const std::string start = notice.substr(head.size(), strlen(kDate));
        const std::string current =
            notice.substr(head.size() + strlen(kDate) + strlen(" current time is "), strlen(kDate));
        EXPECT_EQ(seconds_of(start) - seconds_of(current), c.wait_s) << notice;
    }
}

TEST_F(StartNotice, NoneForServersOrSendingLegsOrPlainClients) {
    const struct {
        ThreadMode mode;
        uint32_t test_flags;
    } cases[] = {{kMode_Server, 0}, {kMode_Client, TEST_SERVER_REVERSE}, {kMode_Client, 0}};
    for (const auto &c : cases) {
        SettingsPtr s = stream(c.mode, "127.0.0.1", 40000, "127.0.0.1", 5001);
        s->test_flags |= c.test_flags;
        if (c.test_flags || c.mode == kMode_Server) s->txdelay_sec = 2;
        EXPECT_EQ(notice_of(s.get()), "");
    }
}

// --- Server relay ---

TEST(ServerRelay, HeadsTheServersStatistics) {
    SettingsPtr s = make_settings(kMode_Client);
    s->option_flags |= OPT_UDP;
    s->transfer_id = 3;
    setTransferID(s.get(), false);
    UdpServerReport server{};
    server.total_bytes = 1470 * 100;
    server.datagrams = 100;
    server.end_time_s = 1.0;
    NodePtr node(InitServerRelayUDPReport(s.get(), &server));
    const std::string out = captured([&] {
        reporter_print_server_relay_report(static_cast<ServerRelayReport *>(node->this_report));
    });
    const std::string head = "[  3] Server Report:\n";
    ASSERT_EQ(out.rfind(head, 0), 0u) << out;
    EXPECT_GT(out.size(), head.size()) << "no statistics after the heading";
}

// --- Connect-time aggregate ---

TEST(ConnectTimes, AggregateNeedsTwoTimes) {
    const struct {
        std::vector<double> times_ms;
        int64_t errors;
        const char *line;
    } cases[] = {
        {{1.0, 2.0, 4.0},
         1,
         "[ CT] final connect times (min/avg/max/stdev) = 1.000/2.333/4.000/1.528 ms (tot/err) "
         "= 4/1\n"},
        {{0.5, 0.5},
         0,
         "[ CT] final connect times (min/avg/max/stdev) = 0.500/0.500/0.500/0.000 ms (tot/err) "
         "= 2/0\n"},
        {{3.0}, 2, ""},
        {{}, 0, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        SettingsPtr s = make_settings(kMode_Client);
        ConnectionReport *aggregate = InitConnectOnlyReport(s.get());
        for (double t : c.times_ms) reporter_update_mmm(&aggregate->connect_times, t);
        aggregate->connect_errors = c.errors;
        EXPECT_EQ(captured([&] { reporter_connect_printf_tcp_final(aggregate); }), c.line);
        FreeConnectionReport(aggregate);
    }
}

// --- Wiring ---

TEST(TextPrinters, InstalledForTheReporter) {
    EXPECT_EQ(reporter_text_printers.settings, &reporter_print_settings_report);
    EXPECT_EQ(reporter_text_printers.connection, &reporter_print_connection_report);
    EXPECT_EQ(reporter_text_printers.server_relay, &reporter_print_server_relay_report);
    EXPECT_EQ(reporter_text_printers.connect_final, &reporter_connect_printf_tcp_final);
}

}  // namespace
