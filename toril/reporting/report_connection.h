// The per-connection texts of toril: the connection line with its suffix of
// test features and the peer version, the scheduled-start notice of a client,
// the relayed UDP server report, and the connect-time aggregate printed when
// the reporter ends. reporter_peerversion (handlers.h) is defined here too.
//
// Reports come from InitConnectionReport, InitServerRelayUDPReport and
// InitConnectOnlyReport; callers keep ownership and free them. Threads: the
// reporter thread only (or, with -U, the one traffic thread); nothing here is
// locked. Output goes to stdout, flushed after each text.
#pragma once

#include <sys/socket.h>

#include <cstddef>

struct ConnectionReport;
struct ServerRelayReport;

// "[drop] ..." for a connection refused by the permit key check, otherwise
// "<id>local <addr> port <n> connected with <addr> port <n><suffix>"; then,
// for a client whose traffic is held back, when the traffic will start.
void reporter_print_connection_report(ConnectionReport *report);

// "[<id>] Server Report:" and the server's statistics in the UDP receive
// format (the trip-times form with trip-times or enhanced reports).
void reporter_print_server_relay_report(ServerRelayReport *report);

// "[ CT] final connect times ..." with min/avg/max/stdev of the recorded
// connect times (ms) and attempts/errors. Nothing for fewer than two times.
void reporter_connect_printf_tcp_final(ConnectionReport *aggregate);

// Fills the reporter's table of one-shot printers with the routines above and
// the settings banner. Also done once at start-up by this module itself.
void reporter_install_text_printers();

// Numeric text of address into text (size bytes): IPv4 as "*.*.*.<n>" when
// hide is set, IPv6 always in full, "" for any other family or no room.
void report_address_text(const sockaddr_storage *address, bool hide, char *text, size_t size);

// Texts of the connection line.
extern const char report_peer[];
extern const char report_peer_dev[];
extern const char report_peer_fail[];
extern const char warn_start_before_now[];
extern const char client_report_epoch_start_current[];
extern const char server_reporting[];
