// The client against small loopback peers written with plain sockets: what
// goes on the wire (test header, byte counts, datagram numbering, bursts,
// frames, bounceback messages, final datagrams) and what is handed to the
// reporter.
#include "toril/endpoints/client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "common/signals.h"
#include "common/thread.h"
#include "tests/toril/endpoints/client_support.h"
#include "toril/core/headers.h"
#include "toril/endpoints/client_time.h"

using namespace clienttest;

namespace {

// The thread library's view of toril records; these tests run every stream
// on the test's own thread, so no record ever has a thread of its own.
const ThreadProgram kProgram = [] {
    ThreadProgram p;
    p.thread_id = [](thread_Settings *r) { return &r->thread_id; };
    p.run_next = [](thread_Settings *r) { return r->run_next; };
    p.run_after = [](thread_Settings *r) { return r->run_after; };
    p.role = [](const thread_Settings *) { return ThreadRole::kClient; };
    p.run = [](thread_Settings *, ThreadRole) {};
    p.destroy = [](thread_Settings *r) { Settings_Destroy(r); };
    return p;
}();

class ClientTest : public ::testing::Test {
  protected:
    void SetUp() override {
        thread_set_program(&kProgram);
        // A timed bounceback test arms the alarm, as the program does.
        static const bool signals_installed = [] {
            sig_install(ToolVariant::kToril);
            return true;
        }();
        (void)signals_installed;
        sInterupted = 0;
    }
    void TearDown() override {
        if (settings_) Settings_Destroy(settings_);
        sInterupted = 0;
    }
    // Runs a whole stream on this thread: connect, start, loop, finish.
    bool run_stream() {
        Client client(settings_);
        if (!client.my_connect(true)) return false;
        EXPECT_EQ(client.StartSynch(), 0);
        client.Run();
        EXPECT_EQ(client.socket(), -1) << "the socket is closed at the end";
        return true;
    }
    // The reporter takes posted reports on its own time.
    Seen wait_for_relay() {
        for (int i = 0; i < 200 && reporter_.seen().relays.empty(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return reporter_.seen();
    }
    thread_Settings *settings_ = nullptr;
    DrainReporter reporter_;
};

const uint8_t *bytes(const std::string &s) {
    return reinterpret_cast<const uint8_t *>(s.data());
}

// --- TCP ---

struct ByteCase {
    const char *name;
    uint64_t amount;
    int buf_len;
    bool enhanced;
};

class TcpBytes : public ClientTest, public ::testing::WithParamInterface<ByteCase> {};

TEST_P(TcpBytes, SendsExactlyTheAmountHeaderIncludedAndReportsIt) {
    const ByteCase c = GetParam();
    TcpPeer peer;
    settings_ = make_client(peer.port(), false, c.buf_len);
    set_bytes(settings_, c.amount);
    if (c.enhanced) settings_->option_flags |= OPT_ENHANCED;
    ASSERT_TRUE(run_stream());
    const auto sessions = peer.sessions();
    ASSERT_EQ(sessions.size(), 1u);
    const std::string &got = sessions[0];
    ASSERT_EQ(got.size(), c.amount);

    // The stream starts with the test header, which carries the byte count.
    ClientHdr hdr;
    ASSERT_EQ(hdr_client_read(bytes(got), static_cast<int>(got.size()), false, &hdr), kHdr_Ok);
    EXPECT_TRUE(hdr.flags & HDR_EXTEND);
    EXPECT_EQ(hdr.amount, static_cast<int32_t>(c.amount));
    EXPECT_EQ(hdr.buf_len, c.buf_len);
    EXPECT_EQ(hdr.version_hi, kHdrVersionHi);

    const Seen seen = reporter_.seen();
    EXPECT_EQ(seen.data_reports, 1);
    EXPECT_EQ(seen.settings_reports, 0) << "only a record asked to report settings does";
    ASSERT_EQ(seen.connect_times_ms.size(), 1u);
    EXPECT_GE(seen.connect_times_ms[0], 0.0);
    EXPECT_EQ(total_length(seen.records), static_cast<int64_t>(c.amount));
    ASSERT_FALSE(seen.records.empty());
    EXPECT_LT(seen.records.back().packetID, 0) << "the stream ends with its final record";
    if (c.enhanced) {
        // One record per write: the header, then buf_len-sized writes and the rest.
        std::vector<int64_t> lengths;
        for (const auto &r : seen.records)
            if (r.packetLen > 0) lengths.push_back(r.packetLen);
        const int64_t hdr_len = lengths.front();
        int64_t left = static_cast<int64_t>(c.amount) - hdr_len;
        std::vector<int64_t> expected{hdr_len};
        while (left > 0) {
            expected.push_back(std::min<int64_t>(left, c.buf_len));
            left -= expected.back();
        }
        EXPECT_EQ(lengths, expected);
    }
}

INSTANTIATE_TEST_SUITE_P(Amounts, TcpBytes,
                         ::testing::Values(ByteCase{"n1000_l300_enhanced", 1000, 300, true},
                                           ByteCase{"n1000_l300_one_record", 1000, 300, false},
                                           ByteCase{"n1M_l128K", 1 << 20, 128 * 1024, false},
                                           ByteCase{"n65_l1000_header_nearly_all", 65, 1000, true}),
                         [](const auto &param_info) { return std::string(param_info.param.name); });

TEST_F(ClientTest, TcpTimedTestStopsAndEveryByteIsReported) {
    TcpPeer peer;
    settings_ = make_client(peer.port(), false, 8192);
    set_time(settings_, 30);
    settings_->interval_mode = kInterval_Time;
    settings_->interval_usec = 100000;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(run_stream());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    const auto sessions = peer.sessions();
    ASSERT_EQ(sessions.size(), 1u);
    EXPECT_GT(sessions[0].size(), 0u);
    ClientHdr hdr;
    ASSERT_EQ(
        hdr_client_read(bytes(sessions[0]), static_cast<int>(sessions[0].size()), false, &hdr),
        kHdr_Ok);
    EXPECT_EQ(hdr.amount, -30) << "a duration travels as minus hundredths";
    EXPECT_EQ(total_length(reporter_.seen().records), static_cast<int64_t>(sessions[0].size()));
}

TEST_F(ClientTest, CompatibilityModeSendsNoHeader) {
    TcpPeer peer;
    settings_ = make_client(peer.port(), false, 300);
    set_bytes(settings_, 1000);
    settings_->option_flags |= OPT_COMPAT | OPT_ENHANCED;
    ASSERT_TRUE(run_stream());
    const auto sessions = peer.sessions();
    ASSERT_EQ(sessions.size(), 1u);
    ASSERT_EQ(sessions[0].size(), 1000u);
    EXPECT_EQ(sessions[0].substr(0, 10), "0123456789") << "payload pattern from the start";
    std::vector<int64_t> lengths;
    for (const auto &r : reporter_.seen().records)
        if (r.packetLen > 0) lengths.push_back(r.packetLen);
    EXPECT_EQ(lengths, (std::vector<int64_t>{300, 300, 300, 100}));
}

TEST_F(ClientTest, PeerThatClosesEarlyEndsTheLoopWithoutError) {
    TcpPeer peer(1, [](int fd, std::string *got) {
        uint8_t buf[4096];
        if (read_all(fd, buf, sizeof(buf))) got->assign("read");
    });
    settings_ = make_client(peer.port(), false, 65536);
    set_time(settings_, 500);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(run_stream());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
}

TEST_F(ClientTest, ConnectRetriesMakeOneMoreAttemptThanAskedAndReportTheFailure) {
    uint16_t port;
    const int fd = bound_socket(SOCK_DGRAM, &port);  // nothing listens on this TCP port
    settings_ = make_client(port, false, 1000);
    settings_->connect_retries = 2;
    testing::internal::CaptureStderr();
    Client client(settings_);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(client.my_connect(true));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    const std::string err = testing::internal::GetCapturedStderr();
    close(fd);
    size_t attempts = 0;
    for (size_t at = err.find("tcp connect failed"); at != std::string::npos;
         at = err.find("tcp connect failed", at + 1))
        ++attempts;
    EXPECT_EQ(attempts, 3u) << err;
    EXPECT_GE(elapsed, std::chrono::milliseconds(390)) << "200 ms between attempts";
    EXPECT_EQ(client.socket(), -1);
    EXPECT_FALSE(client.isConnected());
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    const Seen seen = reporter_.seen();
    ASSERT_EQ(seen.connect_times_ms.size(), 1u);
    EXPECT_EQ(seen.connect_times_ms[0], -1.0) << "a failed connection report";
}

TEST_F(ClientTest, NegativeRetryCountMakesNoAttempt) {
    uint16_t port;
    const int fd = bound_socket(SOCK_DGRAM, &port);
    settings_ = make_client(port, false, 1000);
    settings_->connect_retries = -1;
    testing::internal::CaptureStderr();
    Client client(settings_);
    EXPECT_FALSE(client.my_connect(true));
    const std::string err = testing::internal::GetCapturedStderr();
    close(fd);
    EXPECT_EQ(err.find("tcp connect failed"), std::string::npos) << err;
}

TEST_F(ClientTest, SettingsReportIsPostedOnceByTheRecordAskedForIt) {
    TcpPeer peer(2);
    settings_ = make_client(peer.port(), false, 1000);
    settings_->option_flags |= OPT_REPORT_SETTINGS;
    for (int i = 0; i < 2; ++i) {
        Client client(settings_);
        ASSERT_TRUE(client.my_connect(true));
        close(client.socket());  // the test never ran, so the caller closes
    }
    peer.join();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(reporter_.seen().settings_reports, 1);
    EXPECT_EQ(reporter_.seen().connect_times_ms.size(), 2u);
}

TEST_F(ClientTest, PeerDetectReadsTheAcknowledgementAndKeepsTheServerVersion) {
    for (const bool trip : {false, true}) {
        SCOPED_TRACE(trip ? "trip times" : "plain");
        TcpPeer peer(1, [trip](int fd, std::string *got) {
            // The extended header, with the start-time fields for trip times.
            uint8_t hdr[80];
            const size_t hdr_len = trip ? 80 : 60;
            if (!read_all(fd, hdr, hdr_len)) return;
            got->assign(reinterpret_cast<char *>(hdr), hdr_len);
            TestAck ack{};
            ack.trip_times = trip;
            ack.version_hi = 0x00030002;
            ack.version_lo = 0x00010003;
            ack.start_sec = ack.accept_sec = ack.sent_sec = 1700000000;
            uint8_t out[kTestAckTripLen];
            const int len = hdr_ack_write(out, sizeof(out), ack);
            send(fd, out, len, 0);
            TcpPeer::read_to_end(fd, got);
        });
        thread_Settings *s = make_client(peer.port(), false, 1000);
        set_bytes(s, 3000);
        s->test_flags |= TEST_PEER_DETECT;
        if (trip) s->test_flags |= TEST_TRIP_TIMES;
        testing::internal::CaptureStderr();
        {
            Client client(s);
            ASSERT_TRUE(client.my_connect(true));
            ASSERT_EQ(client.StartSynch(), 0);
            client.Run();
        }
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(s->peer_version_hi, 0x00030002u);
        EXPECT_EQ(s->peer_version_lo, 0x00010003u);
        EXPECT_EQ(err.find("Clock sync check (ms): RTT/Half=(") != std::string::npos, trip) << err;
        const auto sessions = peer.sessions();
        ASSERT_EQ(sessions.size(), 1u);
        ClientHdr hdr;
        ASSERT_EQ(
            hdr_client_read(bytes(sessions[0]), static_cast<int>(sessions[0].size()), false, &hdr),
            kHdr_Ok);
        EXPECT_TRUE(hdr.flags & HDR_PEERDETECT);
        Settings_Destroy(s);
    }
}

TEST_F(ClientTest, ScheduledStartAndHoldBackSendTheHeaderFirstThenWait) {
    struct Case {
        const char *name;
        bool txstart;
    };
    for (const Case c : {Case{"txdelay", false}, Case{"txstart", true}}) {
        SCOPED_TRACE(c.name);
        std::atomic<bool> header_early{false};
        const auto begin = std::chrono::steady_clock::now();
        TcpPeer peer(1, [&](int fd, std::string *got) {
            uint8_t hdr[80];
            if (read_all(fd, hdr, c.txstart ? 80 : 60) &&
                std::chrono::steady_clock::now() - begin < std::chrono::milliseconds(250))
                header_early = true;
            got->assign(reinterpret_cast<char *>(hdr), c.txstart ? 80 : 60);
            TcpPeer::read_to_end(fd, got);
        });
        thread_Settings *s = make_client(peer.port(), false, 1000);
        set_bytes(s, 2000);
        const Timestamp start = ts_add_us(client_now(), 400000);
        if (c.txstart) {
            s->test_flags |= TEST_TXSTART;
            s->txstart_sec = start.tv_sec;
            s->txstart_usec = start.tv_usec;
        } else {
            s->test_flags |= TEST_TXDELAY;
            s->txdelay_usec = 400000;
        }
        {
            Client client(s);
            ASSERT_TRUE(client.my_connect(true));
            ASSERT_EQ(client.StartSynch(), 0);
            EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(390));
            client.Run();
        }
        EXPECT_TRUE(header_early) << "the header goes out before the hold-back";
        const auto sessions = peer.sessions();
        ASSERT_EQ(sessions.size(), 1u);
        EXPECT_EQ(sessions[0].size(), 2000u);
        ClientHdr hdr;
        ASSERT_EQ(
            hdr_client_read(bytes(sessions[0]), static_cast<int>(sessions[0].size()), false, &hdr),
            kHdr_Ok);
        EXPECT_EQ(hdr.has_start, c.txstart);
        if (c.txstart) {
            EXPECT_TRUE(hdr.upper & UPPER_START_TIME);
            EXPECT_EQ(hdr.start_sec, start.tv_sec);
            EXPECT_EQ(hdr.start_usec, start.tv_usec);
        }
        Settings_Destroy(s);
    }
}

TEST_F(ClientTest, ConnectOnlyMakesTheAskedNumberOfConnects) {
    struct Case {
        int32_t count;
        size_t connects;
    };
    for (const Case c : {Case{3, 3}, Case{-1, 10}}) {
        SCOPED_TRACE(c.count);
        TcpPeer peer(static_cast<int>(c.connects), [](int, std::string *) {});
        thread_Settings *s = make_client(peer.port(), false, 1000);
        s->test_flags |= TEST_CONNECT_ONLY;
        s->connect_only_count = c.count;
        const size_t before = reporter_.seen().connect_times_ms.size();
        {
            Client client(s);
            client.ConnectPeriodic();
            EXPECT_EQ(client.socket(), -1);
        }
        EXPECT_EQ(peer.sessions().size(), c.connects);
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        EXPECT_EQ(reporter_.seen().connect_times_ms.size() - before, c.connects);
        EXPECT_TRUE(s->test_flags & TEST_NO_CONNECT_SYNC);
        Settings_Destroy(s);
    }
}

TEST_F(ClientTest, ConnectOnlyWithAnIntervalConnectsOncePerTickUntilTheEnd) {
    TcpPeer peer(3, [](int, std::string *) {});
    settings_ = make_client(peer.port(), false, 1000);
    settings_->test_flags |= TEST_CONNECT_ONLY;
    set_time(settings_, 25);
    settings_->interval_mode = kInterval_Time;
    settings_->interval_usec = 100000;
    Client client(settings_);
    client.ConnectPeriodic();
    EXPECT_EQ(peer.sessions().size(), 3u) << "ticks at 0, 0.1 and 0.2 s of a 0.25 s test";
}

// Splits a received TCP stream of bursts into their headers; false when the
// stream does not consist of whole bursts (with cut_tail, the last one may be
// cut short, as a byte amount ends the stream wherever it runs out).
bool split_bursts(const std::string &stream, size_t offset, std::vector<TcpBurstHdr> *bursts,
                  bool cut_tail = false) {
    while (offset < stream.size()) {
        TcpBurstHdr hdr;
        if (hdr_burst_read(bytes(stream) + offset, static_cast<int>(stream.size() - offset),
                           &hdr) != kHdr_Ok)
            return cut_tail;
        if (hdr.burst_size < static_cast<uint32_t>(kTcpBurstHdrLen)) return false;
        bursts->push_back(hdr);
        if (cut_tail && offset + hdr.burst_size > stream.size()) return true;
        offset += hdr.burst_size;
    }
    return offset == stream.size();
}

struct BurstCase {
    const char *name;
    uint32_t extra_flags;
    uint32_t test_flags;
    int buf_len;
    int32_t burst_size;
    bool timed;
};

class TcpBursts : public ClientTest, public ::testing::WithParamInterface<BurstCase> {};

TEST_P(TcpBursts, StreamIsWholeNumberedBurstsEachWithItsHeader) {
    const BurstCase c = GetParam();
    TcpPeer peer;
    settings_ = make_client(peer.port(), false, c.buf_len);
    settings_->extra_flags |= c.extra_flags;
    settings_->test_flags |= c.test_flags;
    settings_->burst_size = c.burst_size;
    settings_->frame_rate = 20;
    if (c.timed)
        set_time(settings_, 30);
    else
        set_bytes(settings_, static_cast<uint64_t>(c.buf_len) * 6);
    ASSERT_TRUE(run_stream());
    const auto sessions = peer.sessions();
    ASSERT_EQ(sessions.size(), 1u);
    const std::string &got = sessions[0];
    ClientHdr hdr;
    ASSERT_EQ(hdr_client_read(bytes(got), static_cast<int>(got.size()), false, &hdr), kHdr_Ok);
    std::vector<TcpBurstHdr> bursts;
    ASSERT_TRUE(split_bursts(got, static_cast<size_t>(hdr.header_len), &bursts, !c.timed));
    ASSERT_GE(bursts.size(), 2u);
    if (!c.timed) {
        EXPECT_EQ(got.size(), static_cast<size_t>(c.buf_len) * 6) << "byte amount exactly";
    }
    uint64_t running = 0;
    for (size_t i = 0; i < bursts.size(); ++i) {
        SCOPED_TRACE(i);
        if (c.burst_size) {
            EXPECT_EQ(bursts[i].burst_size, static_cast<uint32_t>(c.burst_size));
        }
        if (i > 0) {
            EXPECT_GT(bursts[i].burst_id, bursts[i - 1].burst_id);
            EXPECT_EQ(bursts[i].byte_count - running, bursts[i].burst_size)
                << "running count grows by each burst";
        }
        running = bursts[i].byte_count;
    }
    EXPECT_EQ(total_length(reporter_.seen().records), static_cast<int64_t>(got.size()));
}

INSTANTIATE_TEST_SUITE_P(
    Modes, TcpBursts,
    ::testing::Values(BurstCase{"periodic_bursts", EXT_BURST, 0, 1000, 2500, true},
                      BurstCase{"trip_times", 0, TEST_TRIP_TIMES, 1000, 0, false},
                      BurstCase{"near_congestion", 0, TEST_NEAR_CONGESTION, 1000, 0, false},
                      BurstCase{"write_events", EXT_WRITE_PREFETCH, 0, 1000, 0, false}),
    [](const auto &param_info) { return std::string(param_info.param.name); });

TEST_F(ClientTest, RateLimitedTcpWithTripTimesWritesWholeBursts) {
    TcpPeer peer;
    settings_ = make_client(peer.port(), false, 1000);
    settings_->rate = 400000;
    settings_->option_flags |= OPT_RATE_SET;
    settings_->test_flags |= TEST_TRIP_TIMES;
    set_time(settings_, 30);
    ASSERT_TRUE(run_stream());
    const auto sessions = peer.sessions();
    ASSERT_EQ(sessions.size(), 1u);
    ClientHdr hdr;
    ASSERT_EQ(
        hdr_client_read(bytes(sessions[0]), static_cast<int>(sessions[0].size()), false, &hdr),
        kHdr_Ok);
    EXPECT_EQ(hdr.rate, 400000u);
    std::vector<TcpBurstHdr> bursts;
    ASSERT_TRUE(split_bursts(sessions[0], static_cast<size_t>(hdr.header_len), &bursts));
    ASSERT_GE(bursts.size(), 2u);
    for (size_t i = 1; i < bursts.size(); ++i)
        EXPECT_EQ(bursts[i].burst_id, bursts[i - 1].burst_id + 1);
}

TEST_F(ClientTest, RateLimitedTcpStopsAtTheEndTime) {
    TcpPeer peer;
    settings_ = make_client(peer.port(), false, 1000);
    settings_->rate = 1000000;
    settings_->option_flags |= OPT_RATE_SET;
    set_time(settings_, 30);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(run_stream());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    const auto sessions = peer.sessions();
    ASSERT_EQ(sessions.size(), 1u);
    EXPECT_EQ(total_length(reporter_.seen().records), static_cast<int64_t>(sessions[0].size()));
}

TEST_F(ClientTest, BouncebackExchangesMessagesAndReportsOneRecordPerReply) {
    constexpr int kLen = 100;
    TcpPeer peer(1, [](int fd, std::string *got) {
        uint8_t msg[kLen];
        while (read_all(fd, msg, sizeof(msg))) {
            BounceBackHdr hdr;
            if (hdr_bounceback_read(msg, sizeof(msg), &hdr) != kHdr_Ok ||
                hdr.flags != HDR_BOUNCEBACK || hdr.size != static_cast<uint32_t>(kLen) ||
                hdr.server_recv_sec != -1)
                return;
            hdr_bounceback_stamp_recv(msg, sizeof(msg), 1700000000, 1);
            hdr_bounceback_stamp_send(msg, sizeof(msg), 1700000000, 2, 0);
            if (send(fd, msg, sizeof(msg), MSG_NOSIGNAL) != kLen) return;
            got->push_back('m');
        }
    });
    settings_ = make_client(peer.port(), false, kLen);
    settings_->extra_flags |= EXT_BOUNCEBACK;
    settings_->bounceback_size = kLen;
    settings_->bounceback_count = 10;
    set_time(settings_, 20);
    ASSERT_TRUE(run_stream());
    const auto sessions = peer.sessions();
    ASSERT_EQ(sessions.size(), 1u);
    const size_t exchanged = sessions[0].size();
    EXPECT_GE(exchanged, 10u);
    size_t replies = 0;
    for (const auto &r : reporter_.seen().records) {
        if (r.packetLen != kLen) continue;
        ++replies;
        EXPECT_EQ(r.sentTimeRX.tv_sec, 1700000000);
        EXPECT_EQ(r.sentTimeTX.tv_usec, 2);
    }
    // The test's alarm may cut the last reply short.
    EXPECT_LE(replies, exchanged);
    EXPECT_GE(replies + 1, exchanged);
}

// --- UDP ---

TEST_F(ClientTest, UdpTestNumbersDatagramsEndsWithAFinalOneAndRelaysTheServerReport) {
    UdpPeer peer;
    settings_ = make_client(peer.port(), true, 1470);
    settings_->rate = 10000000;
    set_time(settings_, 30);
    ASSERT_TRUE(run_stream());
    const auto grams = peer.datagrams();
    ASSERT_GE(grams.size(), 3u);
    // First datagram: number 1 with the test header behind the datagram header.
    UdpHdr first;
    ASSERT_EQ(hdr_udp_read(bytes(grams[0]), static_cast<int>(grams[0].size()), true, &first),
              kHdr_Ok);
    EXPECT_EQ(first.seqno, 1);
    ClientHdr hdr;
    ASSERT_EQ(hdr_client_read(bytes(grams[0]), static_cast<int>(grams[0].size()), true, &hdr),
              kHdr_Ok);
    EXPECT_EQ(hdr.amount, -30);
    EXPECT_EQ(hdr.rate, 10000000u);
    int64_t expect = 1;
    size_t i = 0;
    for (; i < grams.size(); ++i) {
        UdpHdr h;
        ASSERT_EQ(hdr_udp_read(bytes(grams[i]), static_cast<int>(grams[i].size()), true, &h),
                  kHdr_Ok);
        if (h.seqno < 0) break;
        EXPECT_EQ(h.seqno, expect++);
        EXPECT_EQ(grams[i].size(), 1470u);
    }
    ASSERT_LT(i, grams.size()) << "a final datagram was sent";
    UdpHdr fin;
    hdr_udp_read(bytes(grams[i]), static_cast<int>(grams[i].size()), true, &fin);
    EXPECT_EQ(fin.seqno, -expect);
    EXPECT_GE(peer.fins_answered(), 1);
    const Seen seen = wait_for_relay();
    ASSERT_EQ(seen.relays.size(), 1u) << "the server report reached the reporter";
    EXPECT_EQ(seen.relays[0].total_bytes, static_cast<uint64_t>(1470 * (expect - 1)));
    EXPECT_EQ(total_length(seen.records), static_cast<int64_t>(1470 * expect));
}

TEST_F(ClientTest, UdpByteModeAndPacketRate) {
    UdpPeer peer;
    settings_ = make_client(peer.port(), true, 1000);
    settings_->rate = 200;
    settings_->rate_units = kRate_PPS;
    set_bytes(settings_, 10 * 1000);
    ASSERT_TRUE(run_stream());
    const auto grams = peer.datagrams();
    size_t data = 0;
    for (const auto &g : grams) {
        UdpHdr h;
        hdr_udp_read(bytes(g), static_cast<int>(g.size()), true, &h);
        if (h.seqno > 0) ++data;
    }
    EXPECT_EQ(data, 10u) << "the header datagram counts against the amount";
}

TEST_F(ClientTest, UdpWithoutServerReportGivesUpAfter200Tries) {
    UdpPeer peer(false);
    settings_ = make_client(peer.port(), true, 200);
    set_bytes(settings_, 1000);
    testing::internal::CaptureStderr();
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(run_stream());
    const auto elapsed = std::chrono::steady_clock::now() - start;
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("] WARNING: did not receive ack of last datagram after 200 tries.\n"),
              std::string::npos)
        << err;
    EXPECT_GE(elapsed, std::chrono::seconds(2));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    size_t fins = 0;
    int64_t last = 0;
    for (const auto &g : peer.datagrams()) {
        UdpHdr h;
        hdr_udp_read(bytes(g), static_cast<int>(g.size()), true, &h);
        if (h.seqno < 0) {
            if (fins) {
                EXPECT_EQ(h.seqno, last - 1) << "each repeat carries the next number";
            }
            last = h.seqno;
            ++fins;
        }
    }
    EXPECT_EQ(fins, 201u);
}

TEST_F(ClientTest, UdpNoFinSkipsTheFinalExchange) {
    UdpPeer peer(false);
    settings_ = make_client(peer.port(), true, 200);
    set_bytes(settings_, 1000);
    settings_->test_flags |= TEST_NO_UDP_FIN;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(run_stream());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

TEST_F(ClientTest, UdpOverIpv6) {
    UdpPeer peer(true, true);
    settings_ = make_client(peer.port(), true, 500, true);
    set_bytes(settings_, 5000);
    ASSERT_TRUE(run_stream());
    EXPECT_EQ(wait_for_relay().relays.size(), 1u);
}

TEST_F(ClientTest, UdpIsochronousFramesCarryTheirFieldsAndAddUp) {
    UdpPeer peer;
    settings_ = make_client(peer.port(), true, 1000);
    settings_->test_flags |= TEST_ISOCH;
    settings_->frame_rate = 50;
    settings_->isoch_mean = 1000000;  // 2500 bytes per frame on average
    settings_->variance = 0;
    settings_->burst_ipg = 0;
    set_time(settings_, 25);
    ASSERT_TRUE(run_stream());
    const auto grams = peer.datagrams();
    ASSERT_GE(grams.size(), 4u);
    ClientHdr hdr;
    ASSERT_EQ(hdr_client_read(bytes(grams[0]), static_cast<int>(grams[0].size()), true, &hdr),
              kHdr_Ok);
    EXPECT_TRUE(hdr.upper & UPPER_ISOCH);
    uint32_t frame = 0;
    int64_t frame_sum = 0;
    uint32_t frame_bytes = 0;
    int frames_done = 0;
    for (size_t i = 1; i < grams.size(); ++i) {
        UdpHdr h;
        hdr_udp_read(bytes(grams[i]), static_cast<int>(grams[i].size()), true, &h);
        if (h.seqno < 0) break;
        UdpIsochFields f;
        ASSERT_EQ(hdr_isoch_read(bytes(grams[i]), static_cast<int>(grams[i].size()), &f), kHdr_Ok);
        EXPECT_EQ(f.period_us, 20000u);
        if (f.frame_id != frame) {
            if (frame != 0) {
                EXPECT_EQ(frame_sum, frame_bytes) << "frame " << frame << " sent whole";
                EXPECT_EQ(f.prev_frame_id, frame);
                ++frames_done;
            }
            EXPECT_GT(f.frame_id, frame);
            frame = f.frame_id;
            frame_sum = 0;
            frame_bytes = f.frame_bytes;
            EXPECT_EQ(f.remaining, f.frame_bytes) << "a frame's first datagram";
        }
        frame_sum += static_cast<int64_t>(grams[i].size());
    }
    EXPECT_GE(frames_done, 3);
}

TEST_F(ClientTest, InvalidIsochronousFrameRateStopsTheStream) {
    settings_ = make_client(5001, true, 1000);
    settings_->test_flags |= TEST_ISOCH;
    settings_->frame_rate = 0;
    testing::internal::CaptureStderr();
    Client client(settings_);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(client.stopped());
    EXPECT_NE(err.find("Invalid value for frames per second in the isochronous settings\n"),
              std::string::npos);
    EXPECT_EQ(client.StartSynch(), -1);
}

TEST_F(ClientTest, CompatibilityAndPeerDetectAreExclusive) {
    settings_ = make_client(5001, false, 1000);
    settings_->option_flags |= OPT_COMPAT;
    settings_->test_flags |= TEST_PEER_DETECT;
    testing::internal::CaptureStderr();
    Client client(settings_);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "WARNING: Options of '-C' '--compatibility' AND '-X' '--peerdetect' are mutually "
              "exclusive, --peerdetect ignored\n");
    EXPECT_FALSE(settings_->test_flags & TEST_PEER_DETECT);
}

TEST_F(ClientTest, ExcludedDataReportIsNeitherPostedNorWaitedFor) {
    TcpPeer peer;
    settings_ = make_client(peer.port(), false, 1000);
    set_bytes(settings_, 50000);
    settings_->option_flags |= OPT_NO_DATA_REPORT | OPT_ENHANCED;
    ASSERT_TRUE(run_stream());
    EXPECT_EQ(peer.sessions()[0].size(), 50000u);
    EXPECT_EQ(reporter_.seen().data_reports, 0);
}

// --- Start barrier ---

TEST(ClientBarrier, LastArrivalReleasesAllStreams) {
    BarrierMutex barrier{};
    pthread_mutex_init(&barrier.lock, nullptr);
    pthread_cond_init(&barrier.await, nullptr);
    barrier.count = 4;
    std::atomic<int> last{0};
    std::atomic<int> through{0};
    std::vector<std::thread> streams;
    for (int i = 0; i < 4; ++i)
        streams.emplace_back([&] {
            if (Client::BarrierClient(&barrier)) ++last;
            ++through;
        });
    for (auto &t : streams) t.join();
    EXPECT_EQ(last.load(), 1);
    EXPECT_EQ(through.load(), 4);
    EXPECT_NE(barrier.release_time_sec, 0);
    pthread_cond_destroy(&barrier.await);
    pthread_mutex_destroy(&barrier.lock);
}

}  // namespace
