// Writes the seed corpus of the quarvel targets from quarvel's own encoders:
//   make_corpus_quarvel DIR
#include <cstdint>
#include <cstdio>
#include <string>

#include "quarvel/client_wire.h"
#include "quarvel/reporter.h"
#include "quarvel/server.h"
#include "quarvel/settings.h"
#include "tests/fuzz/corpus_writer.h"

namespace {

using fuzz::Bytes;
using fuzz::write_seed;

void test_headers(const std::string &dir) {
    struct Case {
        const char *name;
        uint8_t form;  // the target's server options byte
        TestMode mode;
        bool time_mode;
        uint64_t amount;
        int32_t threads;
        uint32_t option_flags;
        RateUnits units;
    };
    const Case cases[] = {
        {"plain", 0, kTest_Normal, true, 1000, 1, 0, kRate_BW},
        {"dual-timed", 0, kTest_DualTest, true, 500, 2, OPT_LEN_SET, kRate_BW},
        {"tradeoff-bytes", 1, kTest_TradeOff, false, 123456, 1, 0, kRate_BW},
        {"dual-udp-pps", 2, kTest_DualTest, true, 1000, 1, OPT_UDP | OPT_LEN_SET, kRate_PPS},
        {"tradeoff-ipv6", 8, kTest_TradeOff, true, 1000, 4, 0, kRate_BW},
    };
    for (const Case &c : cases) {
        thread_Settings s;
        Settings_Initialize(&s);
        s.test_mode = c.mode;
        s.threads = c.threads;
        s.option_flags |= c.option_flags;
        if (c.time_mode)
            s.option_flags |= OPT_TIME_MODE;
        else
            s.option_flags &= ~OPT_TIME_MODE;
        s.amount = c.amount;
        s.buf_len = (c.option_flags & OPT_UDP) ? 1470 : 1000;
        s.window_size = 65536;
        s.rate = 100;
        s.rate_units = c.units;
        s.listen_port = 6001;
        Bytes header(kTestHeaderBytes, '9');
        client_encode_test_header(&s, header.data());
        write_seed(dir, "quarvel_test_header", c.name,
                   fuzz::with_prefix(c.form, header.data(), header.size()));
    }
}

void server_reports(const std::string &dir) {
    TransferInfo info{};
    info.bytes = 1470000;
    info.end_time = 10.0;
    info.lost = 3;
    info.out_of_order = 1;
    info.datagrams = 1000;
    info.jitter = 0.000250;
    info.packets = 100;
    info.total_transit.min = 0.001;
    info.total_transit.max = 0.003;
    info.total_transit.sum = 2.0;
    info.total_transit.mean = 2000.0;
    info.total_transit.m2 = 1.0e6;
    info.total_transit.deviation = 1000.0;
    info.total_transit.count = 1000;
    // The server's answer to the final datagram; the client passes on what
    // follows the datagram header.
    Bytes datagram(kServerReportFullBytes, 0);
    server_report_fill(datagram.data(), info);
    const uint8_t *report = datagram.data() + kDatagramHeaderBytes;
    const size_t len = datagram.size() - kDatagramHeaderBytes;
    write_seed(dir, "quarvel_server_report", "plain", fuzz::with_prefix(0, report, len));
    write_seed(dir, "quarvel_server_report", "enhanced", fuzz::with_prefix(1, report, len));
    write_seed(dir, "quarvel_server_report", "csv", fuzz::with_prefix(2, report, len));
    write_seed(dir, "quarvel_server_report", "megabytes-header-printed",
               fuzz::with_prefix(0x20 | (6 << 2), report, len));
    info.bytes = (int64_t{1} << 32) + 5;
    server_report_fill(datagram.data(), info);
    write_seed(dir, "quarvel_server_report", "two-word-bytes", fuzz::with_prefix(0, report, len));
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_corpus_quarvel DIR\n");
        return 2;
    }
    test_headers(argv[1]);
    server_reports(argv[1]);
    return 0;
}
