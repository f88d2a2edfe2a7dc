// The settings banner of toril: the block a listener or a client prints once
// before its test (listening or connecting line, binding and multicast lines,
// buffer sizes, MSS, TOS, isochronous, burst and bounce-back set-up, pacing,
// histograms, the window line, the permit key), framed by separator lines.
//
// The report comes from InitSettingsReport; the caller keeps ownership and
// frees it. Threads: the reporter thread only (or, with -U, the one traffic
// thread). Output goes to stdout, which is flushed at the end of the banner.
#pragma once

struct SettingsReport;

// Prints the whole banner of report.
void reporter_print_settings_report(SettingsReport *report);

// Prints the window line without its newline: "UDP buffer size" or "TCP
// window size" with the socket's actual buffer size (send side on a client),
// then " (default)" when no size was asked for, or " (WARNING: requested %s)"
// when the kernel gave another size than the one asked for.
void output_window_size(SettingsReport *report);

// Texts of the banner.
extern const char separator_line[];
extern const char server_pid_portrange[];
extern const char server_pid_port[];
extern const char server_port[];
extern const char bind_address[];
extern const char bind_address_iface[];
extern const char join_multicast_sg_dev[];
extern const char join_multicast_sg[];
extern const char join_multicast_starg_dev[];
extern const char join_multicast[];
extern const char bind_address_iface_taptun[];
extern const char server_read_size[];
extern const char report_mss[];
extern const char report_default_mss[];
extern const char client_pid_port[];
extern const char client_port[];
extern const char client_pid_port_dev[];
extern const char client_write_size[];
extern const char client_isochronous[];
extern const char client_burstperiod[];
extern const char client_burstperiodcount[];
extern const char client_bounceback[];
extern const char client_bounceback_noqack[];
extern const char client_fq_pacing[];
extern const char client_datagram_size_kalman[];
extern const char udp_buffer_size[];
extern const char tcp_window_size[];
extern const char window_default[];
extern const char warn_window_requested[];
