// Histograms: bin placement and outliers, the percentile and outlier bins of
// the density line, interval and final prints, the maximum with its time.
#include "toril/reporting/histogram.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <string>

namespace {

struct HistogramDeleter {
    void operator()(Histogram *h) const { histogram_delete(h); }
};
using HistogramPtr = std::unique_ptr<Histogram, HistogramDeleter>;

HistogramPtr make(int32_t bins, int32_t width, float units, double lower, double upper, int32_t id,
                  const char *name) {
    return HistogramPtr(histogram_init(bins, width, 0.0f, units, lower, upper, id, name));
}

std::string print(Histogram *h, double start, double end) {
    testing::internal::CaptureStdout();
    histogram_print(h, start, end);
    return testing::internal::GetCapturedStdout();
}

void insert_n(Histogram *h, float value, int n) {
    for (int i = 0; i < n; ++i) histogram_insert(h, value, nullptr);
}

TEST(Histogram, InitDefaultsAndLimits) {
    HistogramPtr h = make(0, 0, 1000.0f, 5, 95, 1, "LONGNAME9");
    ASSERT_TRUE(h);
    EXPECT_EQ(h->bincount, kHistogramDefaultBins);
    EXPECT_EQ(h->binwidth, 1);
    EXPECT_STREQ(h->myname, "LONGNAM");
    EXPECT_EQ(h->maxbin, -1);
    EXPECT_EQ(h->maxbin_test, -1);
    EXPECT_EQ(h->outbufsize, 1000 * 32 + 120 + 7);
    EXPECT_EQ(h->prev, nullptr);
}

// 10000 bins of 100 us: bin = value x 1e6 / 100, truncated.
TEST(Histogram, InsertPlacesSamplesAndOutliers) {
    HistogramPtr h = make(10000, 100, 1000000.0f, 5, 95, 1, "T8");
    const struct {
        float value;
        int result;
    } cases[] = {
        {0.00005f, 1},                                  // bin 0
        {0.00005f, 2},                                  // bin 0 again
        {0.99999f, 1},                                  // last bin
        {1.0f, -2},                                     // bins x width / units: beyond
        {1e30f, -2},                                    // far beyond, no overflow
        {-0.00001f, -1},                                // clock skew
        {-5.0f, -1},                                    //
        {std::numeric_limits<float>::quiet_NaN(), -1},  // not a sample
        {std::numeric_limits<float>::infinity(), -2},   //
    };
    for (const auto &c : cases)
        EXPECT_EQ(histogram_insert(h.get(), c.value, nullptr), c.result) << c.value;
    EXPECT_EQ(h->populationcnt, 9);
    EXPECT_EQ(h->mybins[0], 2u);
    EXPECT_EQ(h->mybins[9999], 1u);
    EXPECT_EQ(h->cntloweroutliers, 3);
    EXPECT_EQ(h->cntupperoutliers, 3);
}

// 16 samples (exact binary fractions) in 1 ms bins: 1 in bin 1, 2 in bin 2,
// 4 in bin 3, 8 in bin 4 and 1 in bin 10. Lower 5 % is bin 1, upper 95 % and
// 99.7 % bin 10; the 90 % point is reached in bin 4 with the 10 % bin 1 and
// the 90 % bin 3, so the threshold is 4 x 3 - 3 x 1 = 9 and bin 10 is an
// outlier.
void fill_sixteen(Histogram *h) {
    insert_n(h, 0.0005f, 1);
    insert_n(h, 0.0015f, 2);
    insert_n(h, 0.0025f, 4);
    insert_n(h, 0.0035f, 8);
    insert_n(h, 0.0095f, 1);
}

TEST(Histogram, IntervalAndFinalLines) {
    HistogramPtr h = make(10, 1, 1000.0f, 5, 95, 3, "T8");
    fill_sixteen(h.get());
    EXPECT_EQ(print(h.get(), 0, 1),
              "[  3] 0.00-1.00 sec T8-PDF: bin(w=1ms):cnt(16)=1:1,2:2,3:4,4:8,10:1 "
              "(5.00/95.00/99.7%=1/10/10,Outliers=1,obl/obu=0/0)\n");

    // Only what came since the last print; outliers since then too.
    insert_n(h.get(), 0.0005f, 2);
    histogram_insert(h.get(), -0.0001f, nullptr);
    histogram_insert(h.get(), 0.02f, nullptr);
    EXPECT_EQ(print(h.get(), 1, 2),
              "[  3] 1.00-2.00 sec T8-PDF: bin(w=1ms):cnt(4)=1:2 "
              "(5.00/95.00/99.7%=1/10/10,Outliers=0,obl/obu=1/1)\n");

    // No samples: no "=", lower bin 0, upper and 99.7 bins the bin count.
    EXPECT_EQ(print(h.get(), 2, 3),
              "[  3] 2.00-3.00 sec T8-PDF: bin(w=1ms):cnt(0) "
              "(5.00/95.00/99.7%=0/10/10,Outliers=0,obl/obu=0/0)\n");

    // The final line covers the whole test and is marked.
    h->final_print = 1;
    EXPECT_EQ(print(h.get(), 0, 3),
              "[  3] 0.00-3.00 sec T8(f)-PDF: bin(w=1ms):cnt(20)=1:3,2:2,3:4,4:8,10:1 "
              "(5.00/95.00/99.7%=1/10/10,Outliers=0,obl/obu=1/1)\n");
}

// Above 99.7 the upper percentile is printed after the 99.7 bin.
TEST(Histogram, UpperPercentileAbove997PrintsAfterIt) {
    HistogramPtr h = make(10, 1, 1000.0f, 1, 99.9, 7, "F8");
    insert_n(h.get(), 0.0005f, 511);  // 511/512 > 99.7 % but not 99.9 %
    insert_n(h.get(), 0.0065f, 1);
    EXPECT_EQ(print(h.get(), 0, 1),
              "[  7] 0.00-1.00 sec F8-PDF: bin(w=1ms):cnt(512)=1:511,7:1 "
              "(1.00/99.7/99.90/%=1/1/7,Outliers=0,obl/obu=0/0)\n");
}

TEST(Histogram, MicrosecondBinsPrintUs) {
    HistogramPtr h = make(10000, 100, 1000000.0f, 5, 95, 12, "BB8");
    histogram_insert(h.get(), 0.00255f, nullptr);
    EXPECT_EQ(print(h.get(), 0, 0.5),
              "[ 12] 0.00-0.50 sec BB8-PDF: bin(w=100us):cnt(1)=26:1 "
              "(5.00/95.00/99.7%=26/26/26,Outliers=0,obl/obu=0/0)\n");
}

// Samples inserted with a time carry the interval maximum to the end of the
// interval line (then it is forgotten) and the test maximum to the final line.
TEST(Histogram, MaximumWithItsTime) {
    HistogramPtr h = make(10000, 100, 1000000.0f, 5, 95, 12, "F8");
    const Timestamp t1{100, 5}, t2{101, 0}, t3{102, 250000};
    histogram_insert(h.get(), 0.00255f, &t1);
    histogram_insert(h.get(), 0.00105f, &t2);
    EXPECT_EQ(print(h.get(), 0, 1),
              "[ 12] 0.00-1.00 sec F8-PDF: bin(w=100us):cnt(2)=11:1,26:1 "
              "(5.00/95.00/99.7%=11/26/26,Outliers=0,obl/obu=0/0) (2.550 ms/100.5)\n");
    EXPECT_EQ(h->maxval, 0.0);
    EXPECT_EQ(h->maxbin, -1);

    histogram_insert(h.get(), 0.00155f, &t3);
    EXPECT_EQ(print(h.get(), 1, 2),
              "[ 12] 1.00-2.00 sec F8-PDF: bin(w=100us):cnt(1)=16:1 "
              "(5.00/95.00/99.7%=16/16/16,Outliers=0,obl/obu=0/0) (1.550 ms/102.250000)\n");

    // An interval without a timed sample ends without a maximum.
    histogram_insert(h.get(), 0.00155f, nullptr);
    EXPECT_EQ(print(h.get(), 2, 3),
              "[ 12] 2.00-3.00 sec F8-PDF: bin(w=100us):cnt(1)=16:1 "
              "(5.00/95.00/99.7%=16/16/16,Outliers=0,obl/obu=0/0)\n");

    h->final_print = 1;
    EXPECT_EQ(print(h.get(), 0, 3),
              "[ 12] 0.00-3.00 sec F8(f)-PDF: bin(w=100us):cnt(4)=11:1,16:2,26:1 "
              "(5.00/95.00/99.7%=11/26/26,Outliers=0,obl/obu=0/0) (2.550 ms/100.5)\n");
}

TEST(Histogram, ClearStartsOver) {
    HistogramPtr h = make(10, 1, 1000.0f, 5, 95, 3, "W8");
    fill_sixteen(h.get());
    histogram_insert(h.get(), -1.0f, nullptr);
    print(h.get(), 0, 1);
    histogram_clear(h.get());
    EXPECT_EQ(h->populationcnt, 0);
    EXPECT_EQ(h->cntloweroutliers, 0);
    ASSERT_NE(h->prev, nullptr);
    EXPECT_EQ(h->prev->populationcnt, 0);
    insert_n(h.get(), 0.0025f, 2);
    EXPECT_EQ(print(h.get(), 1, 2),
              "[  3] 1.00-2.00 sec W8-PDF: bin(w=1ms):cnt(2)=3:2 "
              "(5.00/95.00/99.7%=3/3/3,Outliers=0,obl/obu=0/0)\n");
}

}  // namespace
