// Fixed-width latency histograms and their probability-density report line.
//
// A histogram counts samples (seconds) in bin_count bins of bin_width units,
// where units = 10^exponent per second (1000.0: bins in milliseconds,
// 1000000.0: microseconds). Samples below bin 0 or beyond the last bin are
// counted as lower and upper outliers. histogram_print writes one line with
// the bins that gained samples since the previous print, the lower, upper and
// 99.7 percentile bins and the outlier counts; it keeps a copy of the counts
// at the last print for that.
//
// Ownership: histogram_init allocates the record, its bins, its name and its
// output buffer; histogram_delete frees them with the previous-print copy.
// Threads: the reporter thread alone touches a histogram (no locking).
#pragma once

#include <cstdint>

#include "toril/reporting/timestamp.h"

constexpr int32_t kHistogramDefaultBins = 1000;  // a bin count of 0 gives this
constexpr int kHistogramNameMax = 7;             // longest name kept ("BB8" is 3)

struct Histogram {
    int32_t id;        // the stream's transfer id
    uint32_t *mybins;  // bincount counters
    int32_t bincount;
    int32_t binwidth;          // in units
    int32_t populationcnt;     // samples inserted
    int32_t final_print;       // 1 while the final report prints it
    int32_t maxbin;            // bin of the interval maximum, -1 when none
    int32_t maxbin_test;       // bin of the test maximum, -1 when none
    double maxval;             // interval maximum, seconds (0: none)
    double maxval_test;        // test maximum, seconds (0: none)
    Timestamp maxts;           // sample time of the interval maximum
    Timestamp maxts_test;      // sample time of the test maximum
    float offset;              // subtracted from each sample
    int32_t cntloweroutliers;  // samples below bin 0
    int32_t cntupperoutliers;  // samples beyond the last bin
    char *myname;              // owned, at most kHistogramNameMax characters
    char *outbuf;              // owned line buffer
    int32_t outbufsize;        // bytes of outbuf
    float units;               // bins per second at width 1 (10^exponent)
    double ci_lower;           // lower percentile printed, e.g. 5
    double ci_upper;           // upper percentile printed, e.g. 95
    Histogram *prev;           // counts at the last print (created on the first print)
};

// A histogram with zeroed bins; a bin count of 0 becomes 1000 and a bin width
// below 1 becomes 1 (a width of 0 would divide by zero). On allocation failure
// prints "Malloc failure in histogram init\n" (record), "... init b\n" (bins),
// "... init n\n" (name) or "... init o\n" (output buffer) on stderr, frees what
// it had and returns nullptr.
Histogram *histogram_init(int32_t bincount, int32_t binwidth, float offset, float units,
                          double ci_lower, double ci_upper, int32_t id, const char *name);

// Counts value (seconds). When sample_time is given and value is above the
// interval maximum, it becomes the interval maximum (and the test maximum when
// above that too). Returns the bin's new count, -1 for a lower outlier (any
// negative sample, or not a number) or -2 for an upper outlier (bin >= count).
int histogram_insert(Histogram *h, float value, const Timestamp *sample_time);

// Zeroes the bins, the population, the outliers and the interval maximum bin
// and time, and clears the previous-print copy the same way (it stays
// attached, so the next print counts from zero).
void histogram_clear(Histogram *h);

// Prints the density line of the samples since the last print on stdout (with
// h->final_print set: of the whole test, marked "(f)"), start and end being the
// interval's bounds in seconds. An interval print then forgets its maximum.
void histogram_print(Histogram *h, double start, double end);

// Frees the previous-print copy, the bins, the name, the buffer and the record.
// Null is ignored.
void histogram_delete(Histogram *h);
