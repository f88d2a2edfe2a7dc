// The interval and final lines of toril's streams, group sums and full-duplex
// pairs, in text and comma-separated form.
//
// Each output routine (declared in handlers.h, which the report objects pick
// from) takes one StreamStats whose interval fields the reporter's transfer
// protocol handlers filled, prints its table's header the first time the
// table is used, prints its line on stdout, then the histograms that belong
// to the line, and flushes. The format texts below are the program's own and
// are printed as they stand.
//
// Threads: only the reporter thread calls into this module (or, with -U, the
// one traffic thread); the header flags and the text buffers are not locked.
#pragma once

#include <cstddef>
#include <cstdint>

#include "toril/reporting/handlers.h"
#include "toril/reporting/timestamp.h"

struct StreamStats;

// Header flags: 1 once the header of that table was printed. The first twenty
// are re-armed by reporter_default_heading_flags; the two UDP trip-times
// headers print once per process.
extern uint32_t __report_bw_print_done;
extern uint32_t __report_client_bb_bw_print_done;
extern uint32_t __report_sumcnt_bw_print_done;
extern uint32_t __report_bw_jitter_loss_print_done;
extern uint32_t __report_bw_read_enhanced_print_done;
extern uint32_t __report_bw_read_enhanced_netpwr_print_done;
extern uint32_t __report_bw_write_enhanced_print_done;
extern uint32_t __report_write_enhanced_write_print_done;
extern uint32_t __report_write_enhanced_isoch_print_done;
extern uint32_t __report_bw_pps_enhanced_print_done;
extern uint32_t __report_bw_pps_enhanced_isoch_print_done;
extern uint32_t __report_frame_tcp_enhanced_print_done;
extern uint32_t __report_sumcnt_bw_read_enhanced_print_done;
extern uint32_t __report_sumcnt_bw_write_enhanced_print_done;
extern uint32_t __report_udp_fullduplex_print_done;
extern uint32_t __report_sumcnt_bw_jitter_loss_print_done;
extern uint32_t __report_sumcnt_bw_pps_enhanced_print_done;
extern uint32_t __report_burst_read_tcp_print_done;
extern uint32_t __report_burst_write_tcp_print_done;
extern uint32_t __report_bw_isoch_enhanced_netpwr_print_done;
extern uint32_t __report_bw_jitter_loss_enhanced_triptime_print_done;
extern uint32_t __report_bw_jitter_loss_enhanced_isoch_triptime_print_done;

// Sets the twenty re-armable header flags to 1 for CSV style (no header ever
// prints) and to 0 otherwise.
void reporter_default_heading_flags(int csv);

// "%Y%m%d%H%M%S" of t's local time into buf (size bytes); with milliseconds
// ".%.3d" (t's microseconds / 1000) is appended.
void format_timestamp(char *buf, size_t size, const Timestamp &t, bool milliseconds);

// "%s,%u,%s,%u": on a server the peer's address and port first and the local
// ones second, on a client local first; IPv4 addresses hidden with hide-ips.
void format_ips_ports_string(const StreamStats *stats, char *buf, size_t size);

// Interval bytes over the interval as text, the "NetPwr" text and the
// standard deviation printed for a MeanMinMax; exposed for the tests.
struct MeanMinMax;
double format_mmm_stdev(const MeanMinMax *mmm);
// NetPwr of bytes over duration_s at delay_s: "NAN" for a zero delay, "OBL"
// below -10000000, else "%.0f" above 100, "%.2f" above 10, "%.6f".
void format_netpower(char *buf, size_t size, double bytes, double duration_s, double delay_s);

// --- Texts ---
extern const char report_bw_header[];
extern const char report_bw_format[];
extern const char report_bw_jitter_loss_header[];
extern const char report_bw_jitter_loss_format[];
extern const char report_bw_jitter_loss_enhanced_triptime_header[];
extern const char report_bw_jitter_loss_enhanced_triptime_format[];
extern const char report_bw_jitter_loss_suppress_enhanced_format[];
extern const char report_bw_read_enhanced_header[];
extern const char report_bw_read_enhanced_format[];
extern const char report_bw_read_enhanced_netpwr_header[];
extern const char report_bw_read_enhanced_netpwr_format[];
extern const char report_bw_write_enhanced_header[];
extern const char report_bw_write_enhanced_format[];
extern const char report_bw_write_enhanced_nocwnd_format[];
extern const char report_client_bb_bw_header[];
extern const char report_client_bb_bw_format[];
extern const char report_client_bb_bw_triptime_format[];
extern const char report_sum_bw_format[];
extern const char report_sumcnt_bw_header[];
extern const char report_sumcnt_bw_format[];
extern const char report_udp_fullduplex_header[];
extern const char report_udp_fullduplex_enhanced_format[];
extern const char report_bw_isoch_enhanced_netpwr_header[];
extern const char report_bw_isoch_enhanced_netpwr_format[];
extern const char report_burst_read_tcp_header[];
extern const char report_burst_read_tcp_format[];
extern const char report_burst_read_tcp_final_format[];
extern const char report_write_enhanced_write_header[];
extern const char report_write_enhanced_write_format[];
extern const char report_write_enhanced_nocwnd_write_format[];
extern const char report_write_enhanced_isoch_header[];
extern const char report_write_enhanced_isoch_format[];
extern const char report_write_enhanced_isoch_nocwnd_format[];
extern const char report_bw_jitter_loss_enhanced_isoch_triptime_header[];
extern const char report_bw_jitter_loss_enhanced_isoch_format[];
extern const char report_bw_pps_enhanced_header[];
extern const char report_bw_pps_enhanced_format[];
extern const char report_bw_pps_enhanced_isoch_header[];
extern const char report_bw_pps_enhanced_isoch_format[];
extern const char report_udp_fullduplex_format[];
extern const char report_udp_fullduplex_sum_format[];
extern const char report_bw_sum_fullduplex_format[];
extern const char report_bw_sum_fullduplex_enhanced_format[];
extern const char report_sum_bw_read_enhanced_format[];
extern const char report_sumcnt_bw_read_enhanced_header[];
extern const char report_sumcnt_bw_read_enhanced_format[];
extern const char report_sum_bw_write_enhanced_format[];
extern const char report_sumcnt_bw_write_enhanced_header[];
extern const char report_sumcnt_bw_write_enhanced_format[];
extern const char report_sum_bw_jitter_loss_format[];
extern const char report_sum_outoforder[];
extern const char report_sum_bw_pps_enhanced_format[];
extern const char report_sumcnt_outoforder[];
extern const char report_sumcnt_bw_jitter_loss_header[];
extern const char report_sumcnt_bw_jitter_loss_format[];
extern const char report_sumcnt_bw_pps_enhanced_header[];
extern const char report_sumcnt_bw_pps_enhanced_format[];
extern const char report_outoforder[];
extern const char report_l2statistics[];
extern const char reportCSV_bw_format[];
extern const char reportCSV_bw_jitter_loss_format[];
extern const char report_datagrams[];
extern const char report_sumcnt_datagrams[];
