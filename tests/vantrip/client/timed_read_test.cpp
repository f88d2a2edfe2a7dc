// Timed reads against loopback peers. The peer's sends are scheduled on the
// same io_service, so they happen while the read drives it, on one thread.
#include "vantrip/client/timed_read.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/vantrip/client/client_support.h"
#include "vantrip/frontend/settings.h"

namespace {

using namespace vantrip_client_test;
using std::chrono::milliseconds;

// Sends each piece from the peer socket after its delay; a negative delay
// sends it before the read starts (so no other completion comes first).
struct Delivery {
    std::string bytes;
    int after_ms;
};

class TimedReadTest : public LoggedTest {
  protected:
    void SetUp() override {
        LoggedTest::SetUp();
        std::memset(data_, 0, sizeof data_);
    }
    template <typename Send>
    void schedule(const std::vector<Delivery> &pieces, Send send) {
        for (const Delivery &piece : pieces) {
            if (piece.after_ms < 0) {
                send(piece.bytes);
                continue;
            }
            auto timer = std::make_shared<asio::steady_timer>(io_service);
            timer->expires_after(milliseconds(piece.after_ms));
            std::string bytes = piece.bytes;
            timer->async_wait([timer, bytes, send](const error_code &) { send(bytes); });
        }
    }
    char data_[kMaxMessageBytes];
};

struct UdpPair {
    UdpPair()
        : reader(io_service, asio_udp::endpoint(asio::ip::make_address("127.0.0.1"), 0)),
          peer(io_service, asio_udp::endpoint(asio::ip::make_address("127.0.0.1"), 0)) {}
    asio_udp::socket reader;
    asio_udp::socket peer;
};

struct TcpPair {
    TcpPair() : reader(io_service), peer(io_service) {
        asio_tcp::acceptor acceptor(io_service,
                                    asio_tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
        reader.connect(acceptor.local_endpoint());
        acceptor.accept(peer);
        peer.set_option(asio_tcp::no_delay(true));
    }
    asio_tcp::socket reader;
    asio_tcp::socket peer;
};

struct PlainCase {
    const char *name;
    std::vector<Delivery> pieces;
    std::size_t expected;
    bool ends_early;         // before the limit
    std::string data_after;  // text in the buffer afterwards
};

constexpr int kShortLimitMs = 300;
constexpr int kLongLimitMs = 3000;

const std::vector<PlainCase> kUdpCases = {
    {"exact_length_after_3ms", {{"105xxxxx", 3}}, 8, true, "105xxxxx"},
    {"no_answer", {}, 8, false, ""},
    {"one_byte_short", {{"105xxxx", 3}}, 8, false, "105xxxx"},
    {"one_byte_long", {{"105xxxxxx", 3}}, 8, false, "105xxxxxx"},
    {"nul_inside", {{std::string("105\0xxxx", 8), 3}}, 8, false, "105"},
    {"second_datagram_not_read", {{"10", 3}, {"5xxxxx", 40}}, 8, false, "10"},
    {"expect_zero_empty_datagram", {{"", 3}}, 0, true, ""},
    {"expect_zero_answer_already_waiting", {{"", -1}}, 0, true, ""},
    {"expect_zero_no_answer", {}, 0, false, ""},
};

TEST_F(TimedReadTest, UdpPlainFormEndsOnExactLengthOrAtTheLimit) {
    for (const PlainCase &c : kUdpCases) {
        SCOPED_TRACE(c.name);
        std::memset(data_, 0, sizeof data_);
        UdpPair pair;
        const asio_udp::endpoint to = pair.reader.local_endpoint();
        schedule(c.pieces, [&pair, to](const std::string &bytes) {
            pair.peer.send_to(asio::buffer(bytes), to);
        });
        const int limit = c.ends_early ? kLongLimitMs : kShortLimitMs;
        asio_udp::endpoint sender;
        TwoWayDownlinkPacket untouched{1, 2, 3};
        const auto start = std::chrono::steady_clock::now();
        read_with_timeout_udp(pair.reader, limit, data_, c.expected, sender, untouched);
        const int64_t took = ms_since(start);
        if (c.ends_early) {
            EXPECT_LT(took, kLongLimitMs / 2);
            EXPECT_EQ(sender, pair.peer.local_endpoint());
        } else {
            EXPECT_GE(took, kShortLimitMs);
        }
        EXPECT_EQ(std::string(data_), c.data_after);
        EXPECT_EQ(untouched.id, 1);  // only the result form writes the record
        // Nothing of the read is left pending; the peer's late pieces may be.
        io_service.restart();
        io_service.poll();
        io_service.restart();
    }
}

TEST_F(TimedReadTest, UdpPlainFormLogsEachCompletionAndTheOutcome) {
    UdpPair pair;
    const asio_udp::endpoint to = pair.reader.local_endpoint();
    schedule({{"105xxxxx", 3}},
             [&pair, to](const std::string &bytes) { pair.peer.send_to(asio::buffer(bytes), to); });
    asio_udp::endpoint sender;
    TwoWayDownlinkPacket record;
    read_with_timeout_udp(pair.reader, kLongLimitMs, data_, 8, sender, record);
    std::memset(data_, 0, sizeof data_);
    read_with_timeout_udp(pair.reader, 50, data_, 8, sender, record);

    const std::string log = log_text();
    EXPECT_NE(log.find(" : CLIENT_UDP : read_with_timeout_udp : *** IN ELSE ****\n"),
              std::string::npos);
    EXPECT_NE(log.find(" : CLIENT_UDP : read_with_timeout_udp :  ELSE-PASS : Recvd datattt = "
                       "105xxxxx StringLen=8\n"),
              std::string::npos);
    EXPECT_NE(log.find(" : CLIENT_UDP : read_with_timeout_udp :  ELSE-FAIL : Recvd datattt =  "
                       "StringLen=0\n"),
              std::string::npos);
}

const std::vector<PlainCase> kTcpCases = {
    {"exact_length", {{"3xxxxxxx", 3}}, 8, true, "3xxxxxxx"},
    {"no_answer", {}, 8, false, ""},
    {"split_in_two_segments", {{"3xxx", 3}, {"xxxx", 60}}, 8, false, "3xxx"},
    {"expect_zero_no_answer", {}, 0, false, ""},
};

TEST_F(TimedReadTest, TcpEndsOnExactLengthOfTheFirstReadOrAtTheLimit) {
    for (const PlainCase &c : kTcpCases) {
        SCOPED_TRACE(c.name);
        std::memset(data_, 0, sizeof data_);
        TcpPair pair;
        schedule(c.pieces, [&pair](const std::string &bytes) {
            asio::write(pair.peer, asio::buffer(bytes));
        });
        const int limit = c.ends_early ? kLongLimitMs : kShortLimitMs;
        const auto start = std::chrono::steady_clock::now();
        read_with_timeout_tcp(pair.reader, limit, data_, c.expected);
        const int64_t took = ms_since(start);
        if (c.ends_early)
            EXPECT_LT(took, kLongLimitMs / 2);
        else
            EXPECT_GE(took, kShortLimitMs);
        EXPECT_EQ(std::string(data_), c.data_after);
        io_service.restart();
        io_service.poll();
        io_service.restart();
    }
}

TEST_F(TimedReadTest, TcpPeerThatClosesMakesTheReadLastUntilTheLimit) {
    TcpPair pair;
    pair.peer.close();
    const auto start = std::chrono::steady_clock::now();
    read_with_timeout_tcp(pair.reader, kShortLimitMs, data_, 8);
    EXPECT_GE(ms_since(start), kShortLimitMs);
    EXPECT_EQ(std::string(data_), "");
}

struct ResultCase {
    const char *name;
    std::string datagram;
    TwoWayDownlinkPacket decoded;
    bool logs_cancel;
};

const std::vector<ResultCase> kResultCases = {
    {"archive", "22 serialization::archive 14 0 0 1003 64 17", {1003, 64, 17}, true},
    {"mismatch", "22 serialization::archive 14 0 0 1003 64 -1", {1003, 64, -1}, false},
    {"zero_time", "22 serialization::archive 14 0 0 1005 8 0", {1005, 8, 0}, false},
    {"runs_of_spaces", "22  serialization::archive 14 0 0  1003   64 17", {1003, 64, 17}, true},
    {"exactly_three", "7 8 9", {7, 8, 9}, true},
    {"not_numbers", "abc def ghi", {0, 0, 0}, false},
    {"leading_digits", "12ab 34cd 56ef", {12, 34, 56}, true},
    {"beyond_32_bits", "1 99999999999 -99999999999", {1, INT32_MAX, INT32_MIN}, false},
};

TEST_F(TimedReadTest, ResultFormDecodesTheLastThreeTokens) {
    for (const ResultCase &c : kResultCases) {
        SCOPED_TRACE(c.name);
        std::memset(data_, 0, sizeof data_);
        const std::size_t log_before = log_text().size();
        UdpPair pair;
        pair.peer.send_to(asio::buffer(c.datagram), pair.reader.local_endpoint());
        asio_udp::endpoint sender;
        TwoWayDownlinkPacket record{5, 6, 7};
        const auto start = std::chrono::steady_clock::now();
        read_with_timeout_udp(pair.reader, kLongLimitMs, data_, kTwoWayPacketBytes, sender, record);
        EXPECT_LT(ms_since(start), kLongLimitMs / 2);
        EXPECT_EQ(record.id, c.decoded.id);
        EXPECT_EQ(record.size, c.decoded.size);
        EXPECT_EQ(record.time, c.decoded.time);
        EXPECT_EQ(std::string(data_), c.datagram);
        const std::string log = log_text().substr(log_before);
        EXPECT_NE(log.find("read_with_timeout_udp : Before receiving RTT result packet\n"),
                  std::string::npos);
        EXPECT_NE(log.find("received for RTT result pakcet " + std::to_string(c.datagram.size()) +
                           " bytes *****Packet Size is 12\n"),
                  std::string::npos);
        EXPECT_NE(log.find("COPYING...data received=" + c.datagram + "\n"), std::string::npos);
        EXPECT_NE(log.find("androidString is = " + c.datagram + "\n"), std::string::npos);
        EXPECT_EQ(count_of(log, "RTT Message received: => Timer cancelled => RETURN!\n"),
                  c.logs_cancel ? 1 : 0);
    }
}

TEST_F(TimedReadTest, ResultWithFewerThanThreeTokensThrowsOutOfRange) {
    for (const std::string datagram : {"1 2", "17", "   5  "}) {
        SCOPED_TRACE(datagram);
        UdpPair pair;
        pair.peer.send_to(asio::buffer(datagram), pair.reader.local_endpoint());
        asio_udp::endpoint sender;
        TwoWayDownlinkPacket record{5, 6, 7};
        EXPECT_THROW(read_with_timeout_udp(pair.reader, kLongLimitMs, data_, kTwoWayPacketBytes,
                                           sender, record),
                     std::out_of_range);
        EXPECT_EQ(record.time, 7);
        // The timer was cancelled and completed before the throw.
        io_service.restart();
        EXPECT_EQ(io_service.poll(), 0u);
        io_service.restart();
    }
}

TEST_F(TimedReadTest, ResultTimeoutKeepsTheRecordAndSaysSoOnTheConsole) {
    UdpPair pair;
    asio_udp::endpoint sender;
    TwoWayDownlinkPacket record{5, 6, 7};
    testing::internal::CaptureStdout();
    const auto start = std::chrono::steady_clock::now();
    read_with_timeout_udp(pair.reader, kShortLimitMs, data_, kTwoWayPacketBytes, sender, record);
    const int64_t took = ms_since(start);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_GE(took, kShortLimitMs);
    EXPECT_EQ(record.id, 5);
    EXPECT_EQ(record.size, 6);
    EXPECT_EQ(record.time, 7);
    EXPECT_EQ(out,
              "RTT paacket Timeout => Socket cancelled => RETURN!\n\n"
              "read_with_timeout_udp FAIL : Recvd datattt =  StringLen=0\n");
    EXPECT_NE(log_text().find("read_with_timeout_udp : RTT paacket Timeout => Socket cancelled "
                              "=> RETURN!\n FAIL : Recvd datattt =  StringLen=0\n"),
              std::string::npos);
}

TEST_F(TimedReadTest, ResultLongerThanItsAreaIsCutAt1024Bytes) {
    UdpPair pair;
    const std::string datagram = "1 2 " + std::string(2000, '7');
    pair.peer.send_to(asio::buffer(datagram), pair.reader.local_endpoint());
    asio_udp::endpoint sender;
    TwoWayDownlinkPacket record{5, 6, 7};
    read_with_timeout_udp(pair.reader, kLongLimitMs, data_, kTwoWayPacketBytes, sender, record);
    EXPECT_EQ(std::strlen(data_), 1024u);
    EXPECT_EQ(record.id, 1);
    EXPECT_EQ(record.size, 2);
    EXPECT_EQ(record.time, INT32_MAX);  // what is left of the long token saturates
}

}  // namespace
