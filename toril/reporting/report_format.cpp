#include "toril/reporting/report_format.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "common/sockaddr.h"
#include "common/units.h"
#include "toril/reporting/report.h"

uint32_t __report_bw_print_done = 0;
uint32_t __report_client_bb_bw_print_done = 0;
uint32_t __report_sumcnt_bw_print_done = 0;
uint32_t __report_bw_jitter_loss_print_done = 0;
uint32_t __report_bw_read_enhanced_print_done = 0;
uint32_t __report_bw_read_enhanced_netpwr_print_done = 0;
uint32_t __report_bw_write_enhanced_print_done = 0;
uint32_t __report_write_enhanced_write_print_done = 0;
uint32_t __report_write_enhanced_isoch_print_done = 0;
uint32_t __report_bw_pps_enhanced_print_done = 0;
uint32_t __report_bw_pps_enhanced_isoch_print_done = 0;
uint32_t __report_frame_tcp_enhanced_print_done = 0;
uint32_t __report_sumcnt_bw_read_enhanced_print_done = 0;
uint32_t __report_sumcnt_bw_write_enhanced_print_done = 0;
uint32_t __report_udp_fullduplex_print_done = 0;
uint32_t __report_sumcnt_bw_jitter_loss_print_done = 0;
uint32_t __report_sumcnt_bw_pps_enhanced_print_done = 0;
uint32_t __report_burst_read_tcp_print_done = 0;
uint32_t __report_burst_write_tcp_print_done = 0;
uint32_t __report_bw_isoch_enhanced_netpwr_print_done = 0;
uint32_t __report_bw_jitter_loss_enhanced_triptime_print_done = 0;
uint32_t __report_bw_jitter_loss_enhanced_isoch_triptime_print_done = 0;

// clang-format off
const char report_bw_header[] = "[ ID] Interval       Transfer     Bandwidth\n";
const char report_bw_format[] = "%s%4.2f-%4.2f sec  %ss  %ss/sec\n";
const char report_bw_jitter_loss_header[] =
    "[ ID] Interval       Transfer     Bandwidth        Jitter   Lost/Total Datagrams\n";
const char report_bw_jitter_loss_format[] =
    "%s%4.2f-%4.2f sec  %ss  %ss/sec  %6.3f ms %ld/%ld (%.2g%%)\n";
const char report_bw_jitter_loss_enhanced_triptime_header[] =
    "[ ID] Interval        Transfer     Bandwidth        Jitter   Lost/Total  Latency avg/min/max/stdev PPS  Rx/inP  NetPwr\n";
const char report_bw_jitter_loss_enhanced_triptime_format[] =
    "%s%4.2f-%4.2f sec  %ss  %ss/sec  %6.3f ms %ld/%ld (%.2g%%) %.3f/%.3f/%.3f/%.3f ms %.0f pps %s %s\n";
const char report_bw_jitter_loss_suppress_enhanced_format[] =
    "%s%4.2f-%4.2f sec  %ss  %ss/sec  %6.3f ms %ld/%ld (%.2g%%) -/-/-/- ms %.0f pps\n";
const char report_bw_read_enhanced_header[] =
    "[ ID] Interval        Transfer    Bandwidth       Reads=Dist\n";
const char report_bw_read_enhanced_format[] =
    "%s%4.2f-%4.2f sec  %ss  %ss/sec  %d=%d:%d:%d:%d:%d:%d:%d:%d\n";
const char report_bw_read_enhanced_netpwr_header[] =
    "[ ID] Interval        Transfer    Bandwidth    Burst Latency avg/min/max/stdev (cnt/size) inP NetPwr  Reads=Dist\n";
const char report_bw_read_enhanced_netpwr_format[] =
    "%s%4.2f-%4.2f sec  %ss  %ss/sec  %.3f/%.3f/%.3f/%.3f ms (%d/%d) %s %s  %d=%d:%d:%d:%d:%d:%d:%d:%d\n";
const char report_bw_write_enhanced_header[] =
    "[ ID] Interval        Transfer    Bandwidth       Write/Err  Rtry     Cwnd/RTT(var)        NetPwr\n";
const char report_bw_write_enhanced_format[] =
    "%s%4.2f-%4.2f sec  %ss  %ss/sec  %d/%d %10d %8dK/%u(%u) us  %s\n";
const char report_bw_write_enhanced_nocwnd_format[] =
    "%s%4.2f-%4.2f sec  %ss  %ss/sec  %d/%d %10d       NA/%u us  %s\n";
const char report_client_bb_bw_header[] =
    "[ ID] Interval        Transfer    Bandwidth         BB cnt=avg/min/max/stdev         Rtry  Cwnd/RTT    RPS\n";
const char report_client_bb_bw_format[] =
    "%s%4.2f-%4.2f sec  %ss  %ss/sec    %d=%.3f/%.3f/%.3f/%.3f ms %4d %4dK/%u us    %s rps\n";
const char report_client_bb_bw_triptime_format[] =
    "%s%4.2f-%4.2f sec  OWD Delays (ms) Cnt=%d To=%.3f/%.3f/%.3f/%.3f From=%.3f/%.3f/%.3f/%.3f Asymmetry=%.3f/%.3f/%.3f/%.3f    %s rps\n";
const char report_sum_bw_format[] = "[SUM] %4.2f-%4.2f sec  %ss  %ss/sec\n";
const char report_sumcnt_bw_header[] = "[SUM-cnt] Interval       Transfer     Bandwidth\n";
const char report_sumcnt_bw_format[] = "[SUM-%d] %4.2f-%4.2f sec  %ss  %ss/sec\n";
const char report_udp_fullduplex_header[] =
    "[ ID] Interval       Transfer     Bandwidth    Datagrams   PPS\n";
const char report_udp_fullduplex_enhanced_format[] =
    "[FD%d] %4.2f-%4.2f sec  %ss  %ss/sec %ld%8.0f pps\n";
const char report_bw_isoch_enhanced_netpwr_header[] =
    "[ ID] Interval        Transfer    Bandwidth    Burst Latency avg/min/max/stdev (cnt/size) NetPwr  Reads=Dist\n";
const char report_bw_isoch_enhanced_netpwr_format[] =
    "%s%4.2f-%4.2f sec  %ss  %ss/sec  %.3f/%.3f/%.3f/%.3f ms (%d/%d) %s  %d=%d:%d:%d:%d:%d:%d:%d:%d\n";
const char report_burst_read_tcp_header[] =
    "[ ID] Burst (start-end)  Transfer     Bandwidth       XferTime  (DC%)     Reads=Dist          NetPwr\n";
const char report_burst_read_tcp_format[] =
    "%s%4.2f-%4.2f sec  %ss  %ss/sec  %6.3f ms (%.2g%%)    %d=%d:%d:%d:%d:%d:%d:%d:%d  %s\n";
const char report_burst_read_tcp_final_format[] =
    "%s%4.2f-%4.2f sec  %ss  %ss/sec  %.3f/%.3f/%.3f/%.3f ms  %d=%d:%d:%d:%d:%d:%d:%d:%d\n";
const char report_write_enhanced_write_header[] =
    "[ ID] Interval        Transfer    Bandwidth       Write/Err  Rtry     Cwnd/RTT        NetPwr  write-times avg/min/max/stdev (cnt)\n";
const char report_write_enhanced_write_format[] =
    "%s%4.2f-%4.2f sec  %ss  %ss/sec  %d/%d %10d %8dK/%u us  %s  %.3f/%.3f/%.3f/%.3f ms (%d)\n";
const char report_write_enhanced_nocwnd_write_format[] =
    "%s%4.2f-%4.2f sec  %ss  %ss/sec  %d/%d %10d       NA/%u us  %s  %.3f/%.3f/%.3f/%.3f ms (%d)\n";
const char report_write_enhanced_isoch_header[] =
    "[ ID] Interval        Transfer     Bandwidth      Write/Err  Rtry     Cwnd/RTT     isoch:tx/miss/slip  NetPwr\n";
const char report_write_enhanced_isoch_format[] =
    "%s%4.2f-%4.2f sec  %ss  %ss/sec  %d/%d %8d %8dK/%u us  %9lu/%lu/%lu        %s\n";
const char report_write_enhanced_isoch_nocwnd_format[] =
    "%s%4.2f-%4.2f sec  %ss  %ss/sec  %d/%d %10d    NA/%u us  %9lu/%lu/%lu %s\n";
const char report_bw_jitter_loss_enhanced_isoch_triptime_header[] =
    "[ ID] Interval        Transfer     Bandwidth        Jitter   Lost/Total Latency avg/min/max/stdev  PPS  Frame:rx/lost  latency  NetPwr\n";
const char report_bw_jitter_loss_enhanced_isoch_format[] =
    "%s%4.2f-%4.2f sec  %ss  %ss/sec  %6.3f ms %ld/%ld (%.2g%%) %.3f/%.3f/%.3f/%.3f ms %.0f pps  %3d/%d  %.3f/%.3f/%.3f/%.3f ms %s\n";
const char report_bw_pps_enhanced_header[] =
    "[ ID] Interval        Transfer     Bandwidth      Write/Err  PPS\n";
const char report_bw_pps_enhanced_format[] = "%s%4.2f-%4.2f sec  %ss  %ss/sec  %d/%d %8.0f pps\n";
const char report_bw_pps_enhanced_isoch_header[] =
    "[ ID] Interval        Transfer     Bandwidth      Write/Err  PPS  isoch:tx/miss/slip\n";
const char report_bw_pps_enhanced_isoch_format[] =
    "%s%4.2f-%4.2f sec  %ss  %ss/sec  %d/%d %8.0f pps  %3lu/%lu/%lu\n";
const char report_udp_fullduplex_format[] = "%s%4.2f-%4.2f sec  %ss  %ss/sec %ld%8.0f pps\n";
const char report_udp_fullduplex_sum_format[] =
    "[SUM] %4.2f-%4.2f sec  %ss  %ss/sec %ld%8.0f pps\n";
const char report_bw_sum_fullduplex_format[] = "%s%4.2f-%4.2f sec  %ss  %ss/sec\n";
const char report_bw_sum_fullduplex_enhanced_format[] = "[FD%d] %4.2f-%4.2f sec  %ss  %ss/sec\n";
const char report_sum_bw_read_enhanced_format[] =
    "[SUM] %4.2f-%4.2f sec  %ss  %ss/sec  %d=%d:%d:%d:%d:%d:%d:%d:%d\n";
const char report_sumcnt_bw_read_enhanced_header[] =
    "[SUM-cnt] Interval        Transfer    Bandwidth       Reads=Dist\n";
const char report_sumcnt_bw_read_enhanced_format[] =
    "[SUM-%d] %4.2f-%4.2f sec  %ss  %ss/sec  %d=%d:%d:%d:%d:%d:%d:%d:%d\n";
const char report_sum_bw_write_enhanced_format[] = "[SUM] %4.2f-%4.2f sec  %ss  %ss/sec  %d/%d%10d\n";
const char report_sumcnt_bw_write_enhanced_header[] =
    "[SUM-cnt] Interval        Transfer    Bandwidth       Write/Err  Rtry\n";
const char report_sumcnt_bw_write_enhanced_format[] =
    "[SUM-%d] %4.2f-%4.2f sec  %ss  %ss/sec  %d/%d%10d\n";
const char report_sum_bw_jitter_loss_format[] =
    "[SUM] %4.2f-%4.2f sec  %ss  %ss/sec   %ld/%ld (%.2g%%)\n";
const char report_sum_outoforder[] = "[SUM] %4.2f-%4.2f sec  %d datagrams received out-of-order\n";
const char report_sum_bw_pps_enhanced_format[] = "[SUM] %4.2f-%4.2f sec  %ss  %ss/sec  %d/%d %8.0f pps\n";
const char report_sumcnt_outoforder[] =
    "[SUM-%d] %4.2f-%4.2f sec  %d datagrams received out-of-order\n";
const char report_sumcnt_bw_jitter_loss_header[] =
    "[SUM-cnt] Interval     Transfer     Bandwidth       Lost/Total    PPS\n";
const char report_sumcnt_bw_jitter_loss_format[] =
    "[SUM-%d] %4.2f-%4.2f sec  %ss  %ss/sec  %ld/%ld %8.0f pps\n";
const char report_sumcnt_bw_pps_enhanced_header[] =
    "[SUM-cnt] Interval        Transfer     Bandwidth      Write/Err  PPS\n";
const char report_sumcnt_bw_pps_enhanced_format[] =
    "[SUM-%d] %4.2f-%4.2f sec  %ss  %ss/sec  %d/%d %8.0f pps\n";
const char report_outoforder[] = "%s%4.2f-%4.2f sec  %d datagrams received out-of-order\n";
const char report_l2statistics[] =
    "%s%4.2f-%4.2f sec   L2 processing detected errors, total(length/checksum/unknown) = %ld(%ld/%ld/%ld)\n";
const char reportCSV_bw_format[] = "%s,%s,%d,%.1f-%.1f,%ld,%ld\n";
const char reportCSV_bw_jitter_loss_format[] = "%s,%s,%d,%.1f-%.1f,%ld,%ld,%.3f,%d,%d,%.3f,%d\n";
const char report_datagrams[] = "[%3d] Sent %d datagrams\n";
const char report_sumcnt_datagrams[] = "[SUM-%d] Sent %d datagrams\n";
// clang-format on

namespace {

// The Transfer and Bandwidth columns, NetPwr and the in-progress column.
char outbuffer[512];
char outbufferext[512];
char netpower_buf[100];
char llaw_buf[100];

constexpr double kShortestInterval_s = 0.005;
constexpr double kOblivion = -10000000.0;           // below this a value means nothing
constexpr double kUnsyncedTransitMax_s = 60000000;  // clocks of the two ends not in sync
constexpr double kUnsyncedTransitMin_s = -10000;

void header_once(uint32_t *flag, const char *header) {
    if (*flag) return;
    printf("%s", header);
    *flag = 1;
}

const char *prefix(const StreamStats *s) {
    return (s->common && s->common->transfer_id_text) ? s->common->transfer_id_text : "";
}

char format_letter(const StreamStats *s) {
    return s->common ? s->common->format : 'a';
}

int transfer_id(const StreamStats *s) {
    return s->common ? s->common->transfer_id : 0;
}

double duration_s(const StreamStats *s) {
    return s->iEnd - s->iStart;
}

// Transfer into outbuffer, Bandwidth into outbufferext; an interval that ends
// before 5 ms counts no bytes (too short to give a meaningful rate).
void transfer_texts(StreamStats *s) {
    // A whole test shorter than 5 ms still moved its bytes: the rule is for
    // interval lines only.
    if (s->iEnd < kShortestInterval_s && !s->final_line) s->cntBytes = 0;
    const char letter = format_letter(s);
    byte_snprintf(outbuffer, sizeof outbuffer, static_cast<double>(s->cntBytes),
                  static_cast<char>(toupper(static_cast<unsigned char>(letter))));
    const double d = duration_s(s);
    const double rate = d > 0 ? static_cast<double>(s->cntBytes) / d : 0.0;
    byte_snprintf(outbufferext, sizeof outbufferext, rate, letter);
    outbuffer[sizeof outbuffer - 1] = '\0';
    outbufferext[sizeof outbufferext - 1] = '\0';
}

// avg/min/max/stdev of a MeanMinMax in milliseconds; zeros without samples.
struct MmmMs {
    double mean, min, max, stdev;
};
MmmMs mmm_ms(const MeanMinMax &m, double scale = 1e3) {
    if (m.cnt < 1) return {0, 0, 0, 0};
    return {m.sum / static_cast<double>(m.cnt) * scale, m.min * scale, m.max * scale,
            format_mmm_stdev(&m) * scale};
}

double mmm_mean(const MeanMinMax &m) {
    return m.cnt > 0 ? m.sum / static_cast<double>(m.cnt) : 0.0;
}

// Datagrams per second over the interval's gaps.
double pps(const StreamStats *s, bool need_gap_sum) {
    if (s->cntIPG == 0) return 0.0;
    if (need_gap_sum && !(s->IPGsum > 0)) return 0.0;
    return static_cast<double>(s->cntIPG) / s->IPGsum;
}

void print_histogram(Histogram *h, const StreamStats *s) {
    if (h) histogram_print(h, s->iStart, s->iEnd);
}

// UDP receiver lines are followed by the reordering and L2 error lines.
void udp_extra_lines(const StreamStats *s) {
    if (s->cntOutofOrder > 0)
        printf(report_outoforder, prefix(s), s->iStart, s->iEnd,
               static_cast<int>(s->cntOutofOrder));
    if (s->l2.cnt != 0)
        printf(report_l2statistics, prefix(s), s->iStart, s->iEnd, static_cast<long>(s->l2.cnt),
               static_cast<long>(s->l2.lengtherr), static_cast<long>(s->l2.checksumerr),
               static_cast<long>(s->l2.unknown));
}

// "%ld/%d(%d) pkts": datagrams in flight by Little's law.
void udp_inprogress_text(const StreamStats *s) {
    const double rate = s->IPGsum > 0 ? std::round(static_cast<double>(s->cntIPG) / s->IPGsum) : 0;
    const double mean = mmm_mean(s->transit);
    const double stdev = format_mmm_stdev(&s->transit);
    snprintf(llaw_buf, sizeof llaw_buf, "%ld/%d(%d) pkts", static_cast<long>(s->cntIPG),
             static_cast<int>(std::lround(rate * mean)),
             static_cast<int>(std::lround(rate * stdev)));
}

// Bytes in flight by Little's law (adaptive units).
void tcp_inprogress_text(const StreamStats *s) {
    const double bytes_in_flight =
        s->IPGsum > 0 ? (static_cast<double>(s->cntBytes) / s->IPGsum) * mmm_mean(s->transit) : 0;
    if (bytes_in_flight < kOblivion)
        snprintf(llaw_buf, sizeof llaw_buf, "OBL");
    else
        byte_snprintf(llaw_buf, sizeof llaw_buf, bytes_in_flight, 'A');
}

double loss_percent(const StreamStats *s) {
    // No guard: an interval without datagrams prints the C library's rendering
    // of 0 * 100 / 0, as the text form always has.
    return static_cast<double>(s->cntError) * 100.0 / static_cast<double>(s->cntDatagrams);
}

double loss_percent_guarded(const StreamStats *s) {
    return s->cntDatagrams > 0 ? loss_percent(s) : 0.0;
}

int bin(const StreamStats *s, int i) {
    return s->read.bins[i];
}

void rps_text(char *buf, size_t size, int64_t count, double rtt_sum_s) {
    if (count < 1 || !(rtt_sum_s > 0)) {
        snprintf(buf, size, "0");
        return;
    }
    const double rps = static_cast<double>(count) / rtt_sum_s;
    snprintf(buf, size, rps < 10 ? "%0.1f" : "%0.0f", rps);
}

bool transit_unsynced(const StreamStats *s) {
    return s->transit.min > kUnsyncedTransitMax_s || s->transit.min < kUnsyncedTransitMin_s;
}

// The UDP trip-times latency guard: true when the line was printed in its
// "-/-/-/-" form.
bool udp_triptime_guard(const StreamStats *s) {
    if (s->cntIPG == 0) {
        printf(report_bw_jitter_loss_suppress_enhanced_format, prefix(s), s->iStart, s->iEnd,
               outbuffer, outbufferext, 0.0, static_cast<long>(s->cntError),
               static_cast<long>(s->cntDatagrams), 0.0, 0.0);
        return true;
    }
    if (transit_unsynced(s)) {
        printf(report_bw_jitter_loss_suppress_enhanced_format, prefix(s), s->iStart, s->iEnd,
               outbuffer, outbufferext, s->jitter * 1e3, static_cast<long>(s->cntError),
               static_cast<long>(s->cntDatagrams), loss_percent_guarded(s), pps(s, true));
        return true;
    }
    return false;
}

// Bits per second of a CSV line: truncated, 0 without bytes or time.
long csv_bits_per_second(const StreamStats *s) {
    const double d = duration_s(s);
    if (s->cntBytes <= 0 || !(d > 0)) return 0;
    return static_cast<long>(static_cast<double>(s->cntBytes) * 8.0 / d);
}

const char *address_text(const sockaddr_storage *a, bool hide, char *buf, size_t size) {
    buf[0] = '\0';
    if (a->ss_family == AF_INET) {
        const auto *in = reinterpret_cast<const sockaddr_in *>(a);
        if (hide)
            inet_ntop_hide(AF_INET, &in->sin_addr, buf, static_cast<socklen_t>(size));
        else
            inet_ntop(AF_INET, &in->sin_addr, buf, static_cast<socklen_t>(size));
    } else if (a->ss_family == AF_INET6) {
        const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(a);
        inet_ntop(AF_INET6, &in6->sin6_addr, buf, static_cast<socklen_t>(size));
    }
    return buf;
}

void csv_head(const StreamStats *s, char *timestamp, size_t ts_size, char *addresses,
              size_t addr_size) {
    const bool enhanced = s->common && (s->common->option_flags & OPT_ENHANCED);
    // Without interval reports no next report time is ever set: the line is
    // stamped with the time of printing rather than with 1970.
    Timestamp when = s->nextTime;
    if (!timestamp_isset(when)) {
        timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        when = {now.tv_sec, now.tv_nsec / 1000};
    }
    format_timestamp(timestamp, ts_size, when, enhanced);
    format_ips_ports_string(s, addresses, addr_size);
}

}  // namespace

void reporter_default_heading_flags(int csv) {
    const uint32_t v = csv ? 1 : 0;
    __report_bw_print_done = v;
    __report_client_bb_bw_print_done = v;
    __report_sumcnt_bw_print_done = v;
    __report_bw_jitter_loss_print_done = v;
    __report_bw_read_enhanced_print_done = v;
    __report_bw_read_enhanced_netpwr_print_done = v;
    __report_bw_write_enhanced_print_done = v;
    __report_write_enhanced_write_print_done = v;
    __report_write_enhanced_isoch_print_done = v;
    __report_bw_pps_enhanced_print_done = v;
    __report_bw_pps_enhanced_isoch_print_done = v;
    __report_frame_tcp_enhanced_print_done = v;
    __report_sumcnt_bw_read_enhanced_print_done = v;
    __report_sumcnt_bw_write_enhanced_print_done = v;
    __report_udp_fullduplex_print_done = v;
    __report_sumcnt_bw_jitter_loss_print_done = v;
    __report_sumcnt_bw_pps_enhanced_print_done = v;
    __report_burst_read_tcp_print_done = v;
    __report_burst_write_tcp_print_done = v;
    __report_bw_isoch_enhanced_netpwr_print_done = v;
}

void format_timestamp(char *buf, size_t size, const Timestamp &t, bool milliseconds) {
    const time_t seconds = static_cast<time_t>(t.tv_sec);
    tm local{};
    localtime_r(&seconds, &local);
    const size_t n = strftime(buf, size, "%Y%m%d%H%M%S", &local);
    if (milliseconds && n < size)
        snprintf(buf + n, size - n, ".%.3d", static_cast<int>(t.tv_usec / 1000));
}

void format_ips_ports_string(const StreamStats *s, char *buf, size_t size) {
    buf[0] = '\0';
    if (!s->common) return;
    const SettingsSnapshot *c = s->common;
    const bool hide = c->extra_flags & EXT_HIDE_IPS;
    char local[INET6_ADDRSTRLEN] = "";
    char peer[INET6_ADDRSTRLEN] = "";
    address_text(&c->local, hide, local, sizeof local);
    address_text(&c->peer, hide, peer, sizeof peer);
    const unsigned local_port = SockAddr_getPort(&c->local);
    const unsigned peer_port = SockAddr_getPort(&c->peer);
    if (c->thread_mode == kMode_Server)
        snprintf(buf, size, "%s,%u,%s,%u", peer, peer_port, local, local_port);
    else
        snprintf(buf, size, "%s,%u,%s,%u", local, local_port, peer, peer_port);
}

double format_mmm_stdev(const MeanMinMax *m) {
    return m->cnt >= 2 ? std::sqrt(m->m2 / static_cast<double>(m->cnt - 1)) : 0.0;
}

void format_netpower(char *buf, size_t size, double bytes, double d_s, double delay_s) {
    if (delay_s == 0) {
        snprintf(buf, size, "NAN");
        return;
    }
    const double rate = d_s > 0 ? bytes / d_s : 0.0;
    const double value = rate / delay_s * 1e-6;
    if (value < kOblivion)
        snprintf(buf, size, "OBL");
    else if (value > 100)
        snprintf(buf, size, "%.0f", value);
    else if (value > 10)
        snprintf(buf, size, "%.2f", value);
    else
        snprintf(buf, size, "%.6f", value);
}

// --- TCP ---

void tcp_output_read(StreamStats *s) {
    header_once(&__report_bw_print_done, report_bw_header);
    transfer_texts(s);
    printf(report_bw_format, prefix(s), s->iStart, s->iEnd, outbuffer, outbufferext);
    fflush(stdout);
}

void tcp_output_read_enhanced(StreamStats *s) {
    header_once(&__report_bw_read_enhanced_print_done, report_bw_read_enhanced_header);
    transfer_texts(s);
    printf(report_bw_read_enhanced_format, prefix(s), s->iStart, s->iEnd, outbuffer, outbufferext,
           static_cast<int>(s->read.cntRead), bin(s, 0), bin(s, 1), bin(s, 2), bin(s, 3), bin(s, 4),
           bin(s, 5), bin(s, 6), bin(s, 7));
    fflush(stdout);
}

void tcp_output_read_triptime(StreamStats *s) {
    header_once(&__report_bw_read_enhanced_netpwr_print_done,
                report_bw_read_enhanced_netpwr_header);
    transfer_texts(s);
    const MmmMs lat = mmm_ms(s->transit);
    const auto count = static_cast<int>(s->transit.cnt);
    const int burst_size = count > 0 ? static_cast<int>(s->cntBytes / count) : 0;
    tcp_inprogress_text(s);
    format_netpower(netpower_buf, sizeof netpower_buf, static_cast<double>(s->cntBytes),
                    duration_s(s), mmm_mean(s->transit));
    printf(report_bw_read_enhanced_netpwr_format, prefix(s), s->iStart, s->iEnd, outbuffer,
           outbufferext, lat.mean, lat.min, lat.max, lat.stdev, count, burst_size, llaw_buf,
           netpower_buf, static_cast<int>(s->read.cntRead), bin(s, 0), bin(s, 1), bin(s, 2),
           bin(s, 3), bin(s, 4), bin(s, 5), bin(s, 6), bin(s, 7));
    print_histogram(s->framelatency_histogram, s);
    fflush(stdout);
}

void tcp_output_read_enhanced_isoch(StreamStats *s) {
    header_once(&__report_bw_isoch_enhanced_netpwr_print_done,
                report_bw_isoch_enhanced_netpwr_header);
    transfer_texts(s);
    const MmmMs lat = mmm_ms(s->transit);
    const auto count = static_cast<int>(s->transit.cnt);
    const int burst_size = count > 0 ? static_cast<int>(s->cntBytes / count) : 0;
    format_netpower(netpower_buf, sizeof netpower_buf, static_cast<double>(s->cntBytes),
                    duration_s(s), mmm_mean(s->transit));
    printf(report_bw_isoch_enhanced_netpwr_format, prefix(s), s->iStart, s->iEnd, outbuffer,
           outbufferext, lat.mean, lat.min, lat.max, lat.stdev, count, burst_size, netpower_buf,
           static_cast<int>(s->read.cntRead), bin(s, 0), bin(s, 1), bin(s, 2), bin(s, 3), bin(s, 4),
           bin(s, 5), bin(s, 6), bin(s, 7));
    print_histogram(s->framelatency_histogram, s);
    fflush(stdout);
}

void tcp_output_frame_read_triptime(StreamStats *) {
    fprintf(stderr, "FIXME\n");
}

void tcp_output_burst_read(StreamStats *s) {
    header_once(&__report_burst_read_tcp_print_done, report_burst_read_tcp_header);
    transfer_texts(s);
    if (!s->final_line) {
        const double mean = mmm_mean(s->transit);
        const double burst_rate = s->common ? s->common->frame_rate : 0.0;
        format_netpower(netpower_buf, sizeof netpower_buf, static_cast<double>(s->cntBytes),
                        duration_s(s), mean);
        printf(report_burst_read_tcp_format, prefix(s), s->iStart, s->iEnd, outbuffer, outbufferext,
               mean * 1e3, mean * 100.0 * burst_rate, static_cast<int>(s->read.cntRead), bin(s, 0),
               bin(s, 1), bin(s, 2), bin(s, 3), bin(s, 4), bin(s, 5), bin(s, 6), bin(s, 7),
               netpower_buf);
    } else {
        const MmmMs lat = mmm_ms(s->total_transit);
        printf(report_burst_read_tcp_final_format, prefix(s), s->iStart, s->iEnd, outbuffer,
               outbufferext, lat.mean, lat.min, lat.max, lat.stdev,
               static_cast<int>(s->read.cntRead), bin(s, 0), bin(s, 1), bin(s, 2), bin(s, 3),
               bin(s, 4), bin(s, 5), bin(s, 6), bin(s, 7));
    }
    print_histogram(s->framelatency_histogram, s);
    fflush(stdout);
}

void tcp_output_write_enhanced(StreamStats *s) {
    header_once(&__report_bw_write_enhanced_print_done, report_bw_write_enhanced_header);
    transfer_texts(s);
    const WriteStats &w = s->write;
    format_netpower(netpower_buf, sizeof netpower_buf, static_cast<double>(s->cntBytes),
                    duration_s(s), w.rtt * 1e-6);
    if (w.cwnd > 0)
        printf(report_bw_write_enhanced_format, prefix(s), s->iStart, s->iEnd, outbuffer,
               outbufferext, static_cast<int>(w.WriteCnt), static_cast<int>(w.WriteErr),
               static_cast<int>(w.TCPretry), w.cwnd, static_cast<unsigned>(w.rtt),
               static_cast<unsigned>(w.rttvar), netpower_buf);
    else
        printf(report_bw_write_enhanced_nocwnd_format, prefix(s), s->iStart, s->iEnd, outbuffer,
               outbufferext, static_cast<int>(w.WriteCnt), static_cast<int>(w.WriteErr),
               static_cast<int>(w.TCPretry), static_cast<unsigned>(w.rtt), netpower_buf);
    print_histogram(s->transit_histogram, s);
    fflush(stdout);
}

void tcp_output_write_enhanced_write(StreamStats *s) {
    header_once(&__report_write_enhanced_write_print_done, report_write_enhanced_write_header);
    transfer_texts(s);
    const WriteStats &w = s->write;
    format_netpower(netpower_buf, sizeof netpower_buf, static_cast<double>(s->cntBytes),
                    duration_s(s), w.rtt * 1e-6);
    const MmmMs wt = mmm_ms(s->write_mmm, 1e-3);  // microseconds to ms
    const auto count = static_cast<int>(s->write_mmm.cnt);
    if (w.cwnd > 0)
        printf(report_write_enhanced_write_format, prefix(s), s->iStart, s->iEnd, outbuffer,
               outbufferext, static_cast<int>(w.WriteCnt), static_cast<int>(w.WriteErr),
               static_cast<int>(w.TCPretry), w.cwnd, static_cast<unsigned>(w.rtt), netpower_buf,
               wt.mean, wt.min, wt.max, wt.stdev, count);
    else
        printf(report_write_enhanced_nocwnd_write_format, prefix(s), s->iStart, s->iEnd, outbuffer,
               outbufferext, static_cast<int>(w.WriteCnt), static_cast<int>(w.WriteErr),
               static_cast<int>(w.TCPretry), static_cast<unsigned>(w.rtt), netpower_buf, wt.mean,
               wt.min, wt.max, wt.stdev, count);
    print_histogram(s->transit_histogram, s);
    print_histogram(s->write_histogram, s);
    fflush(stdout);
}

void tcp_output_write_enhanced_isoch(StreamStats *s) {
    header_once(&__report_write_enhanced_isoch_print_done, report_write_enhanced_isoch_header);
    transfer_texts(s);
    const WriteStats &w = s->write;
    format_netpower(netpower_buf, sizeof netpower_buf, static_cast<double>(s->cntBytes),
                    duration_s(s), w.rtt * 1e-6);
    const auto frames = static_cast<unsigned long>(s->frame.frames);
    const auto lost = static_cast<unsigned long>(s->frame.lost);
    const auto slips = static_cast<unsigned long>(s->frame.slips);
    if (w.cwnd > 0)
        printf(report_write_enhanced_isoch_format, prefix(s), s->iStart, s->iEnd, outbuffer,
               outbufferext, static_cast<int>(w.WriteCnt), static_cast<int>(w.WriteErr),
               static_cast<int>(w.TCPretry), w.cwnd, static_cast<unsigned>(w.rtt), frames, lost,
               slips, netpower_buf);
    else
        printf(report_write_enhanced_isoch_nocwnd_format, prefix(s), s->iStart, s->iEnd, outbuffer,
               outbufferext, static_cast<int>(w.WriteCnt), static_cast<int>(w.WriteErr),
               static_cast<int>(w.TCPretry), static_cast<unsigned>(w.rtt), frames, lost, slips,
               netpower_buf);
    print_histogram(s->transit_histogram, s);
    fflush(stdout);
}

void tcp_output_write_bb(StreamStats *s) {
    header_once(&__report_client_bb_bw_print_done, report_client_bb_bw_header);
    transfer_texts(s);
    const WriteStats &w = s->write;
    const MmmMs rtt = mmm_ms(s->bb.rtt);
    char rps[40];
    rps_text(rps, sizeof rps, s->bb.rtt.cnt, s->bb.rtt_sum);
    printf(report_client_bb_bw_format, prefix(s), s->iStart, s->iEnd, outbuffer, outbufferext,
           static_cast<int>(s->bb.rtt.cnt), rtt.mean, rtt.min, rtt.max, rtt.stdev,
           static_cast<int>(w.TCPretry), w.cwnd, static_cast<unsigned>(w.rtt), rps);
    if (s->final_line && s->common && (s->common->test_flags & TEST_TRIP_TIMES)) {
        const MmmMs out = mmm_ms(s->bb.oneway_out);
        const MmmMs back = mmm_ms(s->bb.oneway_back);
        const MmmMs asym = mmm_ms(s->bb.asymmetry);
        printf(report_client_bb_bw_triptime_format, prefix(s), s->iStart, s->iEnd,
               static_cast<int>(s->bb.oneway_out.cnt), out.mean, out.min, out.max, out.stdev,
               back.mean, back.min, back.max, back.stdev, asym.mean, asym.min, asym.max, asym.stdev,
               rps);
    }
    print_histogram(s->bbrtt_histogram, s);
    fflush(stdout);
}

void tcp_output_basic_csv(StreamStats *s) {
    char timestamp[80];
    char addresses[134];
    csv_head(s, timestamp, sizeof timestamp, addresses, sizeof addresses);
    printf(reportCSV_bw_format, timestamp, addresses, transfer_id(s), s->iStart, s->iEnd,
           static_cast<long>(s->cntBytes), csv_bits_per_second(s));
    fflush(stdout);
}

// --- UDP ---

void udp_output_read(StreamStats *s) {
    header_once(&__report_bw_jitter_loss_print_done, report_bw_jitter_loss_header);
    transfer_texts(s);
    printf(report_bw_jitter_loss_format, prefix(s), s->iStart, s->iEnd, outbuffer, outbufferext,
           s->jitter * 1e3, static_cast<long>(s->cntError), static_cast<long>(s->cntDatagrams),
           loss_percent(s));
    udp_extra_lines(s);
    fflush(stdout);
}

void udp_output_read_triptime(StreamStats *s) {
    header_once(&__report_bw_jitter_loss_enhanced_triptime_print_done,
                report_bw_jitter_loss_enhanced_triptime_header);
    transfer_texts(s);
    if (!udp_triptime_guard(s)) {
        const MmmMs lat = mmm_ms(s->transit);
        udp_inprogress_text(s);
        format_netpower(netpower_buf, sizeof netpower_buf, static_cast<double>(s->cntBytes),
                        duration_s(s), mmm_mean(s->transit));
        printf(report_bw_jitter_loss_enhanced_triptime_format, prefix(s), s->iStart, s->iEnd,
               outbuffer, outbufferext, s->jitter * 1e3, static_cast<long>(s->cntError),
               static_cast<long>(s->cntDatagrams), loss_percent_guarded(s), lat.mean, lat.min,
               lat.max, lat.stdev, pps(s, true), llaw_buf, netpower_buf);
    }
    print_histogram(s->transit_histogram, s);
    udp_extra_lines(s);
    fflush(stdout);
}

void udp_output_read_triptime_isoch(StreamStats *s) {
    header_once(&__report_bw_jitter_loss_enhanced_isoch_triptime_print_done,
                report_bw_jitter_loss_enhanced_isoch_triptime_header);
    transfer_texts(s);
    if (!udp_triptime_guard(s)) {
        const MmmMs lat = mmm_ms(s->transit);
        const MmmMs frame = mmm_ms(s->frame.total_transit);
        format_netpower(netpower_buf, sizeof netpower_buf, static_cast<double>(s->cntBytes),
                        duration_s(s), mmm_mean(s->transit));
        printf(report_bw_jitter_loss_enhanced_isoch_format, prefix(s), s->iStart, s->iEnd,
               outbuffer, outbufferext, s->jitter * 1e3, static_cast<long>(s->cntError),
               static_cast<long>(s->cntDatagrams), loss_percent_guarded(s), lat.mean, lat.min,
               lat.max, lat.stdev, pps(s, true), static_cast<int>(s->frame.frames),
               static_cast<int>(s->frame.lost), frame.mean, frame.min, frame.max, frame.stdev,
               netpower_buf);
    }
    print_histogram(s->transit_histogram, s);
    print_histogram(s->framelatency_histogram, s);
    udp_extra_lines(s);
    fflush(stdout);
}

void udp_output_write_enhanced(StreamStats *s) {
    header_once(&__report_bw_pps_enhanced_print_done, report_bw_pps_enhanced_header);
    transfer_texts(s);
    printf(report_bw_pps_enhanced_format, prefix(s), s->iStart, s->iEnd, outbuffer, outbufferext,
           static_cast<int>(s->write.WriteCnt), static_cast<int>(s->write.WriteErr), pps(s, false));
    fflush(stdout);
}

void udp_output_write_enhanced_isoch(StreamStats *s) {
    header_once(&__report_bw_pps_enhanced_isoch_print_done, report_bw_pps_enhanced_isoch_header);
    transfer_texts(s);
    printf(report_bw_pps_enhanced_isoch_format, prefix(s), s->iStart, s->iEnd, outbuffer,
           outbufferext, static_cast<int>(s->write.WriteCnt), static_cast<int>(s->write.WriteErr),
           pps(s, false), static_cast<unsigned long>(s->frame.frames),
           static_cast<unsigned long>(s->frame.lost), static_cast<unsigned long>(s->frame.slips));
    fflush(stdout);
}

void udp_output_basic_csv(StreamStats *s) {
    char timestamp[80];
    char addresses[134];
    csv_head(s, timestamp, sizeof timestamp, addresses, sizeof addresses);
    printf(reportCSV_bw_jitter_loss_format, timestamp, addresses, transfer_id(s), s->iStart,
           s->iEnd, static_cast<long>(s->cntBytes), csv_bits_per_second(s), s->jitter * 1e3,
           static_cast<int>(s->cntError), static_cast<int>(s->cntDatagrams),
           loss_percent_guarded(s), static_cast<int>(s->cntOutofOrder));
    fflush(stdout);
}

// --- Sums ---

void tcp_output_sum_read(StreamStats *s) {
    header_once(&__report_bw_print_done, report_bw_header);
    transfer_texts(s);
    printf(report_sum_bw_format, s->iStart, s->iEnd, outbuffer, outbufferext);
    fflush(stdout);
}

void tcp_output_sum_read_enhanced(StreamStats *s) {
    header_once(&__report_bw_read_enhanced_print_done, report_bw_read_enhanced_header);
    transfer_texts(s);
    printf(report_sum_bw_read_enhanced_format, s->iStart, s->iEnd, outbuffer, outbufferext,
           static_cast<int>(s->read.cntRead), bin(s, 0), bin(s, 1), bin(s, 2), bin(s, 3), bin(s, 4),
           bin(s, 5), bin(s, 6), bin(s, 7));
    fflush(stdout);
}

void tcp_output_sum_write_enhanced(StreamStats *s) {
    header_once(&__report_bw_write_enhanced_print_done, report_bw_write_enhanced_header);
    transfer_texts(s);
    printf(report_sum_bw_write_enhanced_format, s->iStart, s->iEnd, outbuffer, outbufferext,
           static_cast<int>(s->write.WriteCnt), static_cast<int>(s->write.WriteErr),
           static_cast<int>(s->write.TCPretry));
    fflush(stdout);
}

void tcp_output_sumcnt_read(StreamStats *s) {
    header_once(&__report_sumcnt_bw_print_done, report_sumcnt_bw_header);
    transfer_texts(s);
    printf(report_sumcnt_bw_format, s->slot_thread_upcount, s->iStart, s->iEnd, outbuffer,
           outbufferext);
    fflush(stdout);
}

void tcp_output_sumcnt_read_enhanced(StreamStats *s) {
    header_once(&__report_sumcnt_bw_read_enhanced_print_done,
                report_sumcnt_bw_read_enhanced_header);
    transfer_texts(s);
    printf(report_sumcnt_bw_read_enhanced_format, s->slot_thread_upcount, s->iStart, s->iEnd,
           outbuffer, outbufferext, static_cast<int>(s->read.cntRead), bin(s, 0), bin(s, 1),
           bin(s, 2), bin(s, 3), bin(s, 4), bin(s, 5), bin(s, 6), bin(s, 7));
    fflush(stdout);
}

void tcp_output_sumcnt_write_enhanced(StreamStats *s) {
    header_once(&__report_sumcnt_bw_write_enhanced_print_done,
                report_sumcnt_bw_write_enhanced_header);
    transfer_texts(s);
    printf(report_sumcnt_bw_write_enhanced_format, s->slot_thread_upcount, s->iStart, s->iEnd,
           outbuffer, outbufferext, static_cast<int>(s->write.WriteCnt),
           static_cast<int>(s->write.WriteErr), static_cast<int>(s->write.TCPretry));
    fflush(stdout);
}

void tcp_output_fullduplex(StreamStats *s) {
    header_once(&__report_bw_print_done, report_bw_header);
    transfer_texts(s);
    printf(report_bw_sum_fullduplex_format, prefix(s), s->iStart, s->iEnd, outbuffer, outbufferext);
    fflush(stdout);
}

void tcp_output_fullduplex_enhanced(StreamStats *s) {
    header_once(&__report_bw_print_done, report_bw_header);
    transfer_texts(s);
    printf(report_bw_sum_fullduplex_enhanced_format, transfer_id(s), s->iStart, s->iEnd, outbuffer,
           outbufferext);
    fflush(stdout);
}

void udp_output_sum_read(StreamStats *s) {
    header_once(&__report_bw_print_done, report_bw_header);
    transfer_texts(s);
    printf(report_sum_bw_jitter_loss_format, s->iStart, s->iEnd, outbuffer, outbufferext,
           static_cast<long>(s->cntError), static_cast<long>(s->cntDatagrams), loss_percent(s));
    if (s->cntOutofOrder > 0)
        printf(report_sum_outoforder, s->iStart, s->iEnd, static_cast<int>(s->cntOutofOrder));
    fflush(stdout);
}

void udp_output_sum_read_enhanced(StreamStats *s) {
    header_once(&__report_bw_pps_enhanced_print_done, report_bw_pps_enhanced_header);
    transfer_texts(s);
    printf(report_sum_bw_pps_enhanced_format, s->iStart, s->iEnd, outbuffer, outbufferext,
           static_cast<int>(s->cntError), static_cast<int>(s->cntDatagrams), pps(s, false));
    fflush(stdout);
}

void udp_output_sum_write_enhanced(StreamStats *s) {
    header_once(&__report_bw_pps_enhanced_print_done, report_bw_pps_enhanced_header);
    transfer_texts(s);
    printf(report_sum_bw_pps_enhanced_format, s->iStart, s->iEnd, outbuffer, outbufferext,
           static_cast<int>(s->write.WriteCnt), static_cast<int>(s->write.WriteErr), pps(s, true));
    fflush(stdout);
}

namespace {
void sumcnt_outoforder(const StreamStats *s) {
    if (s->cntOutofOrder <= 0) return;
    if (s->common && (s->common->test_flags & TEST_SUM_ONLY))
        printf(report_sumcnt_outoforder, s->slot_thread_upcount, s->iStart, s->iEnd,
               static_cast<int>(s->cntOutofOrder));
    else
        printf(report_outoforder, prefix(s), s->iStart, s->iEnd,
               static_cast<int>(s->cntOutofOrder));
}
}  // namespace

void udp_output_sumcnt(StreamStats *s) {
    header_once(&__report_sumcnt_bw_print_done, report_sumcnt_bw_header);
    transfer_texts(s);
    printf(report_sumcnt_bw_format, s->slot_thread_upcount, s->iStart, s->iEnd, outbuffer,
           outbufferext);
    sumcnt_outoforder(s);
    fflush(stdout);
}

void udp_output_sumcnt_enhanced(StreamStats *s) {
    header_once(&__report_sumcnt_bw_jitter_loss_print_done, report_sumcnt_bw_jitter_loss_header);
    transfer_texts(s);
    printf(report_sumcnt_bw_jitter_loss_format, s->slot_thread_upcount, s->iStart, s->iEnd,
           outbuffer, outbufferext, static_cast<long>(s->cntError),
           static_cast<long>(s->cntDatagrams), pps(s, true));
    sumcnt_outoforder(s);
    fflush(stdout);
}

void udp_output_sumcnt_write_enhanced(StreamStats *s) {
    header_once(&__report_sumcnt_bw_pps_enhanced_print_done, report_sumcnt_bw_pps_enhanced_header);
    transfer_texts(s);
    printf(report_sumcnt_bw_pps_enhanced_format, s->slot_thread_upcount, s->iStart, s->iEnd,
           outbuffer, outbufferext, static_cast<int>(s->write.WriteCnt),
           static_cast<int>(s->write.WriteErr), pps(s, true));
    fflush(stdout);
}

void udp_output_fullduplex(StreamStats *s) {
    header_once(&__report_udp_fullduplex_print_done, report_udp_fullduplex_header);
    transfer_texts(s);
    printf(report_udp_fullduplex_format, prefix(s), s->iStart, s->iEnd, outbuffer, outbufferext,
           static_cast<long>(s->cntDatagrams), pps(s, true));
    fflush(stdout);
}

void udp_output_fullduplex_enhanced(StreamStats *s) {
    header_once(&__report_udp_fullduplex_print_done, report_udp_fullduplex_header);
    transfer_texts(s);
    printf(report_udp_fullduplex_enhanced_format, transfer_id(s), s->iStart, s->iEnd, outbuffer,
           outbufferext, static_cast<long>(s->cntDatagrams), pps(s, true));
    fflush(stdout);
}

void udp_output_fullduplex_sum(StreamStats *s) {
    header_once(&__report_udp_fullduplex_print_done, report_udp_fullduplex_header);
    transfer_texts(s);
    printf(report_udp_fullduplex_sum_format, s->iStart, s->iEnd, outbuffer, outbufferext,
           static_cast<long>(s->cntDatagrams), pps(s, true));
    fflush(stdout);
}
