// Writes the seed corpus of the toril targets from toril's own encoders:
//   make_corpus_toril DIR
#include <getopt.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tests/fuzz/corpus_writer.h"
#include "toril/core/headers.h"
#include "toril/core/settings.h"

namespace {

using fuzz::Bytes;
using fuzz::write_seed;

constexpr int64_t kNow = 0x65000000;  // the fuzz targets' server clock

thread_Settings *client_from(std::vector<std::string> args) {
    args.insert(args.begin(), {"toril", "-c", "127.0.0.1"});
    std::vector<char *> argv;
    for (std::string &word : args) argv.push_back(word.data());
    argv.push_back(nullptr);
    thread_Settings *s = new thread_Settings;
    Settings_Initialize(s);
    optind = 0;
    Settings_ParseCommandLine(static_cast<int>(args.size()), argv.data(), s);
    return s;
}

void test_headers(const std::string &dir) {
    struct Case {
        const char *name;
        std::vector<std::string> args;
    };
    const Case tcp[] = {
        {"tcp-plain", {}},
        {"tcp-bytes", {"-n", "100000", "-l", "1000"}},
        {"tcp-reverse", {"-R"}},
        {"tcp-full-duplex", {"--full-duplex"}},
        {"tcp-dual", {"-d"}},
        {"tcp-tradeoff", {"-r", "-t", "5"}},
        {"tcp-trip-times", {"-e", "--trip-times"}},
        {"tcp-fq-rate", {"--fq-rate", "10m", "--trip-times"}},
        {"tcp-isochronous", {"--isochronous=60:20m,5m"}},
        {"tcp-burst", {"-l", "1000", "--burst-size", "10000", "--burst-period", "0.1"}},
        {"tcp-isochronous-reverse", {"-R", "--isochronous=60:20m,5m"}},
        {"tcp-peer-detect", {"-X"}},
        {"tcp-rate", {"-b", "50m", "-R", "--tcp-write-prefetch", "64k"}},
        {"tcp-permit-key", {"--permit-key=abcd1234"}},
        {"tcp-bounceback", {"--bounceback"}},
    };
    const Case udp[] = {
        {"udp-plain", {"-u"}},
        {"udp-rate", {"-u", "-b", "10m", "-l", "1000"}},
        {"udp-pps", {"-u", "-b", "100pps"}},
        {"udp-trip-times", {"-u", "-e", "--trip-times"}},
        {"udp-reverse", {"-u", "-R"}},
        {"udp-full-duplex", {"-u", "--full-duplex"}},
        {"udp-dual", {"-u", "-d"}},
        {"udp-isochronous", {"-u", "--isochronous=60:2m,1m"}},
        {"udp-isochronous-reverse", {"-u", "-R", "--isochronous=60:2m,1m"}},
        {"udp-no-fin", {"-u", "--no-udp-fin", "--l2checks"}},
    };
    for (const bool is_udp : {false, true}) {
        for (const Case &c : is_udp ? std::vector<Case>(std::begin(udp), std::end(udp))
                                    : std::vector<Case>(std::begin(tcp), std::end(tcp))) {
            thread_Settings *s = client_from(c.args);
            Bytes buf(is_udp ? std::max(s->buf_len, kUdpClientHdrSpace) : kTcpClientHdrSpace, 0);
            const int len = Settings_GenerateClientHdr(s, buf.data(), buf.size(), kNow, 250000);
            if (len <= 0) {
                std::fprintf(stderr, "%s: no header (%d)\n", c.name, len);
                Settings_Destroy(s);
                continue;
            }
            if (is_udp) {
                UdpHdr first{1, kNow, 250000};
                hdr_udp_write(buf.data(), buf.size(), first);
            } else {
                buf.resize(static_cast<size_t>(len));
                // A permit key follows the header as the client sends it.
            }
            write_seed(dir, "toril_test_header", c.name,
                       fuzz::with_prefix(is_udp ? 1 : 0, buf.data(), buf.size()));
            Settings_Destroy(s);
        }
    }
}

void udp_headers(const std::string &dir) {
    const struct {
        const char *name;
        int64_t seqno;
        size_t len;
    } cases[] = {{"first", 1, 16},
                 {"datagram", 1000, 1470},
                 {"final", -5000, 1470},
                 {"seqno64", (int64_t{3} << 32) + 7, 1470}};
    for (const auto &c : cases) {
        Bytes buf(c.len, 0);
        hdr_udp_write(buf.data(), buf.size(), UdpHdr{c.seqno, kNow, 999999});
        write_seed(dir, "toril_udp_header", c.name, buf);
    }
}

void acks(const std::string &dir) {
    TestAck ack{};
    ack.version_hi = kHdrVersionHi;
    ack.version_lo = kHdrVersionLo;
    Bytes buf(kTestAckTripLen, 0);
    buf.resize(static_cast<size_t>(hdr_ack_write(buf.data(), buf.size(), ack)));
    write_seed(dir, "toril_ack", "plain", buf);
    ack.trip_times = true;
    ack.start_sec = kNow;
    ack.start_usec = 100;
    ack.accept_sec = kNow;
    ack.accept_usec = 2000;
    ack.sent_sec = kNow;
    ack.sent_usec = 2100;
    buf.assign(kTestAckTripLen, 0);
    buf.resize(static_cast<size_t>(hdr_ack_write(buf.data(), buf.size(), ack)));
    write_seed(dir, "toril_ack", "trip-times", buf);
}

void bursts(const std::string &dir) {
    TcpBurstHdr hdr{kNow, 0, kNow + 1, 500000, 16667, 60, 41666, 2500000};
    Bytes buf(kTcpBurstHdrLen, 0);
    hdr_burst_write(buf.data(), buf.size(), hdr);
    write_seed(dir, "toril_burst", "frame", buf);
    buf.assign(kTcpBurstHdrLen, 0);
    hdr_burst_write_period(buf.data(), buf.size(), 100000);
    write_seed(dir, "toril_burst", "period-only", buf);
}

void isochs(const std::string &dir) {
    UdpIsochFields f{16667, kNow, 0, 59, 60, 4166, 2696};
    Bytes buf(kUdpIsochLen, 0);
    hdr_isoch_write(buf.data(), buf.size(), f);
    hdr_udp_write(buf.data(), buf.size(), UdpHdr{600, kNow, 5});
    write_seed(dir, "toril_isoch", "short", buf);
    buf.assign(1470, 0);
    hdr_isoch_write(buf.data(), buf.size(), f);
    hdr_udp_write(buf.data(), buf.size(), UdpHdr{601, kNow, 6});
    write_seed(dir, "toril_isoch", "full", buf);
}

void bouncebacks(const std::string &dir) {
    BounceBackHdr hdr{HDR_BOUNCEBACK, 100, 1, 0, 0, kNow, 5, -1, -1, -1, -1, 0};
    Bytes buf(100, 0);
    hdr_bounceback_write(buf.data(), buf.size(), hdr);
    write_seed(dir, "toril_bounceback", "request", buf);
    hdr.bb_flags = HDR_BB_TRIPTIMES | HDR_BB_TOS | HDR_BB_QUICKACK;
    hdr.tos = 0x10;
    hdr.hold_us = 1000;
    hdr_bounceback_write(buf.data(), buf.size(), hdr);
    hdr_bounceback_stamp_recv(buf.data(), buf.size(), kNow, 700);
    hdr_bounceback_stamp_send(buf.data(), buf.size(), kNow, 1800, 0x10);
    write_seed(dir, "toril_bounceback", "reply", buf);
    hdr.bb_flags = HDR_BB_STOP;
    buf.assign(kBounceBackHdrLen, 0);
    hdr.size = kBounceBackHdrLen;
    hdr_bounceback_write(buf.data(), buf.size(), hdr);
    write_seed(dir, "toril_bounceback", "stop", buf);
}

void server_reports(const std::string &dir) {
    UdpServerReport r{};
    r.seqno64 = true;
    r.total_bytes = 13107200;
    r.end_time_s = 10.000123;
    r.lost = 3;
    r.out_of_order = 1;
    r.datagrams = 8917;
    r.jitter_s = 0.000250;
    r.ipg_count = 891;
    r.ipg_sum = 1;
    Bytes buf(kServerReportLen, 0);
    hdr_server_report_write(buf.data(), buf.size(), r);
    write_seed(dir, "toril_server_report", "plain", buf);
    r.enhanced = true;
    r.transit_min_s = 0.000100;
    r.transit_max_s = 0.002000;
    r.transit_sum_s = 2.5;
    r.transit_mean_s = 0.000280;
    r.transit_m2_s2 = 12.5;
    r.transit_variance_term = 0.5;
    r.transit_count = 8917;
    r.lost = (uint64_t{1} << 32) + 2;
    hdr_server_report_write(buf.data(), buf.size(), r);
    write_seed(dir, "toril_server_report", "enhanced", buf);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_corpus_toril DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    test_headers(dir);
    udp_headers(dir);
    acks(dir);
    bursts(dir);
    isochs(dir);
    bouncebacks(dir);
    server_reports(dir);
    return 0;
}
