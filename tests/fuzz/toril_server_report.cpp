// toril's UDP server report as the client reads it at the end of a test.
// Counts come back as sent; real numbers must be finite, since the client
// prints and divides with them.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "tests/fuzz/fuzz_support.h"
#include "toril/core/headers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 65536) return 0;
    UdpServerReport report;
    const int rc = hdr_server_report_read(data, static_cast<int>(size), &report);
    FUZZ_CHECK(rc == kHdr_Ok || rc == kHdr_TooShort || rc == kHdr_BadValue);
    if (rc != kHdr_Ok) return 0;
    for (const double v : {report.end_time_s, report.jitter_s, report.transit_min_s,
                           report.transit_max_s, report.transit_sum_s, report.transit_mean_s,
                           report.transit_m2_s2, report.transit_variance_term}) {
        FUZZ_CHECK(std::isfinite(v));
    }
    uint8_t out[kServerReportLen];
    FUZZ_CHECK(hdr_server_report_write(out, sizeof out, report) == kServerReportLen);
    UdpServerReport again;
    FUZZ_CHECK(hdr_server_report_read(out, sizeof out, &again) == kHdr_Ok);
    FUZZ_CHECK(again.total_bytes == report.total_bytes && again.lost == report.lost &&
               again.out_of_order == report.out_of_order && again.datagrams == report.datagrams &&
               again.transit_count == report.transit_count);
    return 0;
}
