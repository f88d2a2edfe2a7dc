#include "toril/reporting/histogram.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Percentile and outlier bins of one walk over the bins (1-based bin numbers).
struct Walk {
    int lower = 0;    // first bin beyond the lower percentile
    int upper = 0;    // first bin beyond the upper percentile (0: not reached)
    int ci997 = 0;    // first bin beyond 99.7 % (0: not reached)
    int fence10 = 0;  // last bin still below 10 %
    int fence90 = 0;  // last bin still below 90 %
    int threshold = 0;
    int outliers = 0;
};

// Appends to the buffer without ever passing its end; false once it is full.
bool append(char *buf, int size, int *used, const char *fmt, int a, int b) {
    if (*used >= size - 1) return false;
    const int n = snprintf(buf + *used, static_cast<size_t>(size - *used), fmt, a, b);
    if (n < 0 || n >= size - *used) {
        *used = size - 1;
        return false;
    }
    *used += n;
    return true;
}

// The density walk of step 4: appends "bin:delta," for every bin that gained
// samples, moves the copy's counts up and finds the percentile bins. The
// fraction is single precision, as the line has always been computed.
Walk walk_bins(Histogram *h, Histogram *copy, int samples, int *used) {
    Walk w;
    int running = 0;
    bool buffer_full = false;
    for (int i = 0; i < h->bincount; ++i) {
        const int delta = static_cast<int>(h->mybins[i] - copy->mybins[i]);
        copy->mybins[i] = h->mybins[i];
        if (delta <= 0) continue;
        const int bin = i + 1;
        running += delta;
        const float fraction = static_cast<float>(running) / static_cast<float>(samples);
        if (!w.lower && fraction > h->ci_lower / 100.0) w.lower = bin;
        if (!w.upper && fraction > h->ci_upper / 100.0) w.upper = bin;
        if (!w.ci997 && fraction > 0.997) w.ci997 = bin;
        if (fraction < 0.1) w.fence10 = bin;
        if (fraction < 0.9) {
            w.fence90 = bin;
        } else if (w.threshold == 0) {
            w.threshold = 4 * w.fence90 - 3 * w.fence10;
        } else if (bin > w.threshold) {
            w.outliers += delta;
        }
        if (!buffer_full)
            buffer_full = !append(h->outbuf, h->outbufsize, used, "%d:%d,", bin, delta);
    }
    return w;
}

void line_end(Histogram *h, char *tail, size_t size) {
    if (!h->final_print) {
        if (h->maxval > 0 && timestamp_isset(h->maxts)) {
            snprintf(tail, size, " (%0.3f ms/%ld.%ld)\n", h->maxval * 1000.0,
                     static_cast<long>(h->maxts.tv_sec), static_cast<long>(h->maxts.tv_usec));
            h->maxval = 0;
            h->maxbin = -1;
            return;
        }
    } else if (h->maxval_test > 0 && timestamp_isset(h->maxts)) {
        snprintf(tail, size, " (%0.3f ms/%ld.%ld)\n", h->maxval_test * 1000.0,
                 static_cast<long>(h->maxts_test.tv_sec), static_cast<long>(h->maxts_test.tv_usec));
        return;
    }
    snprintf(tail, size, "\n");
}

}  // namespace

Histogram *histogram_init(int32_t bincount, int32_t binwidth, float offset, float units,
                          double ci_lower, double ci_upper, int32_t id, const char *name) {
    if (bincount <= 0) bincount = kHistogramDefaultBins;
    if (binwidth < 1) binwidth = 1;
    auto *h = static_cast<Histogram *>(calloc(1, sizeof(Histogram)));
    if (!h) {
        fprintf(stderr, "Malloc failure in histogram init\n");
        return nullptr;
    }
    h->mybins = static_cast<uint32_t *>(calloc(static_cast<size_t>(bincount), sizeof(uint32_t)));
    if (!h->mybins) {
        fprintf(stderr, "Malloc failure in histogram init b\n");
        free(h);
        return nullptr;
    }
    const size_t name_len = name ? strnlen(name, kHistogramNameMax) : 0;
    h->myname = static_cast<char *>(calloc(name_len + 1, 1));
    if (!h->myname) {
        fprintf(stderr, "Malloc failure in histogram init n\n");
        free(h->mybins);
        free(h);
        return nullptr;
    }
    if (name_len) memcpy(h->myname, name, name_len);
    const size_t outsize = static_cast<size_t>(bincount) * 32 + 120 + name_len;
    h->outbuf = static_cast<char *>(calloc(outsize, 1));
    if (!h->outbuf) {
        fprintf(stderr, "Malloc failure in histogram init o\n");
        free(h->myname);
        free(h->mybins);
        free(h);
        return nullptr;
    }
    h->outbufsize = static_cast<int32_t>(outsize);
    h->id = id;
    h->bincount = bincount;
    h->binwidth = binwidth;
    h->maxbin = -1;
    h->maxbin_test = -1;
    h->offset = offset;
    h->units = units;
    h->ci_lower = ci_lower;
    h->ci_upper = ci_upper;
    return h;
}

int histogram_insert(Histogram *h, float value, const Timestamp *sample_time) {
    h->populationcnt++;
    const float scaled = (value - h->offset) * h->units / static_cast<float>(h->binwidth);
    // Decided on the real value before truncation: a slightly negative transit
    // (clock skew) is an outlier, not a sample of the first bin, and a value
    // out of int range never reaches the conversion.
    int bin;
    if (!(scaled >= 0.0f)) {
        bin = -1;
    } else if (scaled >= static_cast<float>(h->bincount)) {
        bin = h->bincount;
    } else {
        bin = static_cast<int>(scaled);
    }
    if (sample_time && value > h->maxval) {
        h->maxval = value;
        h->maxbin = bin;
        h->maxts = *sample_time;
        if (value > h->maxval_test) {
            h->maxval_test = value;
            h->maxbin_test = bin;
            h->maxts_test = *sample_time;
        }
    }
    if (bin < 0) {
        h->cntloweroutliers++;
        return -1;
    }
    if (bin >= h->bincount) {
        h->cntupperoutliers++;
        return -2;
    }
    return static_cast<int>(++h->mybins[bin]);
}

void histogram_clear(Histogram *h) {
    memset(h->mybins, 0, static_cast<size_t>(h->bincount) * sizeof(uint32_t));
    h->populationcnt = 0;
    h->cntloweroutliers = 0;
    h->cntupperoutliers = 0;
    h->maxbin = -1;
    h->maxts = Timestamp{0, 0};
    if (h->prev) histogram_clear(h->prev);
}

void histogram_print(Histogram *h, double start, double end) {
    if (!h->prev) {
        h->prev = histogram_init(h->bincount, h->binwidth, h->offset, h->units, h->ci_lower,
                                 h->ci_upper, h->id, h->myname);
        if (!h->prev) return;
    }
    Histogram *copy = h->prev;
    if (h->final_print) histogram_clear(copy);
    const int samples = h->populationcnt - copy->populationcnt;

    int used = snprintf(h->outbuf, static_cast<size_t>(h->outbufsize),
                        "[%3d] %4.2f-%4.2f sec %s%s%s bin(w=%d%s):cnt(%d)=", h->id, start, end,
                        h->myname, h->final_print ? "(f)" : "", "-PDF:", h->binwidth,
                        h->units == 1000.0f ? "ms" : "us", samples);
    if (used < 0) used = 0;
    if (used >= h->outbufsize) used = h->outbufsize - 1;
    Walk w = walk_bins(h, copy, samples, &used);
    // Drop the trailing comma, or the "=" when no bin gained samples.
    if (used > 0) h->outbuf[--used] = '\0';
    if (!w.upper) w.upper = h->bincount;
    if (!w.ci997) w.ci997 = h->bincount;

    copy->populationcnt = h->populationcnt;
    const int lower_out = h->cntloweroutliers - copy->cntloweroutliers;
    const int upper_out = h->cntupperoutliers - copy->cntupperoutliers;
    copy->cntloweroutliers = h->cntloweroutliers;
    copy->cntupperoutliers = h->cntupperoutliers;

    char tail[64];
    line_end(h, tail, sizeof tail);
    if (h->ci_upper <= 99.7) {
        printf("%s (%.2f/%.2f/99.7%%=%d/%d/%d,Outliers=%d,obl/obu=%d/%d)%s", h->outbuf, h->ci_lower,
               h->ci_upper, w.lower, w.upper, w.ci997, w.outliers, lower_out, upper_out, tail);
    } else {
        printf("%s (%.2f/99.7/%.2f/%%=%d/%d/%d,Outliers=%d,obl/obu=%d/%d)%s", h->outbuf,
               h->ci_lower, h->ci_upper, w.lower, w.ci997, w.upper, w.outliers, lower_out,
               upper_out, tail);
    }
}

void histogram_delete(Histogram *h) {
    if (!h) return;
    histogram_delete(h->prev);
    free(h->mybins);
    free(h->myname);
    free(h->outbuf);
    free(h);
}
