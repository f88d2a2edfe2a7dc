// Stand-ins for the reporter thread's handlers, the output routines and the
// peer version text, until the reporter and output modules define them. Each
// one does nothing, except that the per-report processing drains the ring so
// that single-threaded hand-offs and EndJob complete. Delete a stand-in when
// its real routine arrives; until then the definitions are weak, so a real
// routine linked in beside them takes their place without a clash.
#include "toril/reporting/report.h"

[[gnu::weak]] int reporter_process_transfer_report(IndividualReport *report) {
    while (PacketRecord *record = packetring_dequeue(report->packetring)) {
        if (record->packetID < 0) return 1;
    }
    return 0;
}

[[gnu::weak]] void reporter_handle_packet_client(IndividualReport *, PacketRecord *) {}
[[gnu::weak]] void reporter_handle_packet_server_tcp(IndividualReport *, PacketRecord *) {}
[[gnu::weak]] void reporter_handle_packet_server_udp(IndividualReport *, PacketRecord *) {}
[[gnu::weak]] void reporter_handle_packet_bb_client(IndividualReport *, PacketRecord *) {}
[[gnu::weak]] void reporter_handle_packet_bb_server(IndividualReport *, PacketRecord *) {}
[[gnu::weak]] int reporter_condprint_time_interval_report(IndividualReport *, PacketRecord *) {
    return 0;
}
[[gnu::weak]] int reporter_condprint_frame_interval_report_server_udp(IndividualReport *,
                                                                      PacketRecord *) {
    return 0;
}
[[gnu::weak]] int reporter_condprint_frame_interval_report_server_tcp(IndividualReport *,
                                                                      PacketRecord *) {
    return 0;
}
[[gnu::weak]] int reporter_condprint_burst_interval_report_server_tcp(IndividualReport *,
                                                                      PacketRecord *) {
    return 0;
}
[[gnu::weak]] void reporter_transfer_protocol_server_udp(IndividualReport *, int) {}
[[gnu::weak]] void reporter_transfer_protocol_server_tcp(IndividualReport *, int) {}
[[gnu::weak]] void reporter_transfer_protocol_server_bb_tcp(IndividualReport *, int) {}
[[gnu::weak]] void reporter_transfer_protocol_client_udp(IndividualReport *, int) {}
[[gnu::weak]] void reporter_transfer_protocol_client_tcp(IndividualReport *, int) {}
[[gnu::weak]] void reporter_transfer_protocol_client_bb_tcp(IndividualReport *, int) {}
[[gnu::weak]] void reporter_transfer_protocol_sum_server_udp(StreamStats *, int) {}
[[gnu::weak]] void reporter_transfer_protocol_sum_server_tcp(StreamStats *, int) {}
[[gnu::weak]] void reporter_transfer_protocol_sum_client_udp(StreamStats *, int) {}
[[gnu::weak]] void reporter_transfer_protocol_sum_client_tcp(StreamStats *, int) {}
[[gnu::weak]] void reporter_transfer_protocol_fullduplex_udp(StreamStats *, int) {}
[[gnu::weak]] void reporter_transfer_protocol_fullduplex_tcp(StreamStats *, int) {}
[[gnu::weak]] void tcp_output_read(StreamStats *) {}
[[gnu::weak]] void tcp_output_read_enhanced(StreamStats *) {}
[[gnu::weak]] void tcp_output_read_enhanced_isoch(StreamStats *) {}
[[gnu::weak]] void tcp_output_read_triptime(StreamStats *) {}
[[gnu::weak]] void tcp_output_burst_read(StreamStats *) {}
[[gnu::weak]] void tcp_output_frame_read_triptime(StreamStats *) {}
[[gnu::weak]] void tcp_output_write_bb(StreamStats *) {}
[[gnu::weak]] void tcp_output_write_enhanced(StreamStats *) {}
[[gnu::weak]] void tcp_output_write_enhanced_isoch(StreamStats *) {}
[[gnu::weak]] void tcp_output_write_enhanced_write(StreamStats *) {}
[[gnu::weak]] void tcp_output_basic_csv(StreamStats *) {}
[[gnu::weak]] void udp_output_read(StreamStats *) {}
[[gnu::weak]] void udp_output_read_triptime(StreamStats *) {}
[[gnu::weak]] void udp_output_read_triptime_isoch(StreamStats *) {}
[[gnu::weak]] void udp_output_write_enhanced(StreamStats *) {}
[[gnu::weak]] void udp_output_write_enhanced_isoch(StreamStats *) {}
[[gnu::weak]] void udp_output_basic_csv(StreamStats *) {}
[[gnu::weak]] void tcp_output_sum_read(StreamStats *) {}
[[gnu::weak]] void tcp_output_sum_read_enhanced(StreamStats *) {}
[[gnu::weak]] void tcp_output_sum_write_enhanced(StreamStats *) {}
[[gnu::weak]] void tcp_output_sumcnt_read(StreamStats *) {}
[[gnu::weak]] void tcp_output_sumcnt_read_enhanced(StreamStats *) {}
[[gnu::weak]] void tcp_output_sumcnt_write_enhanced(StreamStats *) {}
[[gnu::weak]] void tcp_output_fullduplex(StreamStats *) {}
[[gnu::weak]] void tcp_output_fullduplex_enhanced(StreamStats *) {}
[[gnu::weak]] void udp_output_sum_read(StreamStats *) {}
[[gnu::weak]] void udp_output_sum_read_enhanced(StreamStats *) {}
[[gnu::weak]] void udp_output_sum_write_enhanced(StreamStats *) {}
[[gnu::weak]] void udp_output_sumcnt(StreamStats *) {}
[[gnu::weak]] void udp_output_sumcnt_enhanced(StreamStats *) {}
[[gnu::weak]] void udp_output_sumcnt_write_enhanced(StreamStats *) {}
[[gnu::weak]] void udp_output_fullduplex(StreamStats *) {}
[[gnu::weak]] void udp_output_fullduplex_enhanced(StreamStats *) {}
[[gnu::weak]] void udp_output_fullduplex_sum(StreamStats *) {}
[[gnu::weak]] void reporter_peerversion(ConnectionReport *report, uint32_t, uint32_t) {
    report->peerversion[0] = '\0';
}
