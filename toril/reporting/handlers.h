// The routines a report object is wired to: the reporter's per-record,
// interval and transfer protocol handlers, the output routines of the report
// lines, the reporter's per-report processing and the peer version text.
//
// The report objects choose among these when they are built (report.cpp);
// the reporter thread and the output module define them. Routines that are
// the same code under several names are aliases here, so a selection by
// either name gives the same pointer. Only the reporter thread calls them (or,
// single-threaded, the one traffic thread).
#pragma once

#include <cstdint>

struct PacketRecord;
struct IndividualReport;
struct StreamStats;
struct ConnectionReport;

// Handler shapes.
using PacketHandler = void (*)(IndividualReport *report, PacketRecord *record);
using IntervalHandler = int (*)(IndividualReport *report, PacketRecord *record);  // 1: printed
using TransferHandler = void (*)(IndividualReport *report, int final);
using SumTransferHandler = void (*)(StreamStats *stats, int final);
using OutputHandler = void (*)(StreamStats *stats);

// --- Reporter: processing of one data report ---

// Drains the report's ring; 1 once its final record has been processed.
int reporter_process_transfer_report(IndividualReport *report);

// --- Reporter: per-record handlers ---
void reporter_handle_packet_client(IndividualReport *report, PacketRecord *record);
void reporter_handle_packet_server_tcp(IndividualReport *report, PacketRecord *record);
void reporter_handle_packet_server_udp(IndividualReport *report, PacketRecord *record);
void reporter_handle_packet_bb_client(IndividualReport *report, PacketRecord *record);
void reporter_handle_packet_bb_server(IndividualReport *report, PacketRecord *record);

// --- Reporter: interval handlers ---
int reporter_condprint_time_interval_report(IndividualReport *report, PacketRecord *record);
int reporter_condprint_frame_interval_report_server_udp(IndividualReport *report,
                                                        PacketRecord *record);
int reporter_condprint_frame_interval_report_server_tcp(IndividualReport *report,
                                                        PacketRecord *record);
int reporter_condprint_burst_interval_report_server_tcp(IndividualReport *report,
                                                        PacketRecord *record);

// --- Reporter: transfer protocol handlers of a stream ---
void reporter_transfer_protocol_server_udp(IndividualReport *report, int final);
void reporter_transfer_protocol_server_tcp(IndividualReport *report, int final);
void reporter_transfer_protocol_server_bb_tcp(IndividualReport *report, int final);
void reporter_transfer_protocol_client_udp(IndividualReport *report, int final);
void reporter_transfer_protocol_client_tcp(IndividualReport *report, int final);
void reporter_transfer_protocol_client_bb_tcp(IndividualReport *report, int final);

// --- Reporter: transfer protocol handlers of sums ---
void reporter_transfer_protocol_sum_server_udp(StreamStats *stats, int final);
void reporter_transfer_protocol_sum_server_tcp(StreamStats *stats, int final);
void reporter_transfer_protocol_sum_client_udp(StreamStats *stats, int final);
void reporter_transfer_protocol_sum_client_tcp(StreamStats *stats, int final);
void reporter_transfer_protocol_fullduplex_udp(StreamStats *stats, int final);
void reporter_transfer_protocol_fullduplex_tcp(StreamStats *stats, int final);

// --- Output routines of a stream ---
void tcp_output_read(StreamStats *stats);
void tcp_output_read_enhanced(StreamStats *stats);
void tcp_output_read_enhanced_isoch(StreamStats *stats);
void tcp_output_read_triptime(StreamStats *stats);
void tcp_output_burst_read(StreamStats *stats);
void tcp_output_frame_read_triptime(StreamStats *stats);
void tcp_output_write_bb(StreamStats *stats);
void tcp_output_write_enhanced(StreamStats *stats);
void tcp_output_write_enhanced_isoch(StreamStats *stats);
void tcp_output_write_enhanced_write(StreamStats *stats);
void tcp_output_basic_csv(StreamStats *stats);
void udp_output_read(StreamStats *stats);
void udp_output_read_triptime(StreamStats *stats);
void udp_output_read_triptime_isoch(StreamStats *stats);
void udp_output_write_enhanced(StreamStats *stats);
void udp_output_write_enhanced_isoch(StreamStats *stats);
void udp_output_basic_csv(StreamStats *stats);

// --- Output routines of sums ---
void tcp_output_sum_read(StreamStats *stats);
void tcp_output_sum_read_enhanced(StreamStats *stats);
void tcp_output_sum_write_enhanced(StreamStats *stats);
void tcp_output_sumcnt_read(StreamStats *stats);
void tcp_output_sumcnt_read_enhanced(StreamStats *stats);
void tcp_output_sumcnt_write_enhanced(StreamStats *stats);
void tcp_output_fullduplex(StreamStats *stats);
void tcp_output_fullduplex_enhanced(StreamStats *stats);
void udp_output_sum_read(StreamStats *stats);
void udp_output_sum_read_enhanced(StreamStats *stats);
void udp_output_sum_write_enhanced(StreamStats *stats);
void udp_output_sumcnt(StreamStats *stats);
void udp_output_sumcnt_enhanced(StreamStats *stats);
void udp_output_sumcnt_write_enhanced(StreamStats *stats);
void udp_output_fullduplex(StreamStats *stats);
void udp_output_fullduplex_enhanced(StreamStats *stats);
void udp_output_fullduplex_sum(StreamStats *stats);

// Names that are the same routine.
inline constexpr OutputHandler tcp_output_write = tcp_output_read;
inline constexpr OutputHandler udp_output_write = tcp_output_read;
inline constexpr OutputHandler tcp_output_sum_write = tcp_output_sum_read;
inline constexpr OutputHandler udp_output_sum_write = tcp_output_sum_read;
inline constexpr OutputHandler tcp_output_fullduplex_sum = tcp_output_sum_read;
inline constexpr OutputHandler tcp_output_sumcnt_write = tcp_output_sumcnt_read;
inline constexpr OutputHandler udp_output_sumcnt_write = tcp_output_sumcnt_read;

// --- One-shot texts ---

// Fills the connection report's peer version text from the peer's two
// version words (empty when either is 0).
void reporter_peerversion(ConnectionReport *report, uint32_t upper, uint32_t lower);
