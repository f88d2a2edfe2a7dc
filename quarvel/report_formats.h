// The printed forms of quarvel's reports: the default text lines and the
// comma-separated style (-y C), chosen per report through the print tables.
//
// Every printer reads a report's TransferInfo and settings copy and writes to
// standard output; the connection printers also leave the report's CSV peer
// text. They run on the reporter thread only (reporter_print calls them),
// except in tests that stand in for it.
#pragma once

#include "quarvel/reporter.h"

// The column header has been printed (once per process, before the first
// data line).
extern bool header_printed;

using ReportPrinter = void (*)(DataReport *report);

// Indexed by report_mode: 0 text, 1 CSV.
extern const ReportPrinter statistics_reports[2];
extern const ReportPrinter serverstatistics_reports[2];
extern const ReportPrinter settings_reports[2];
extern const ReportPrinter connection_reports[2];
extern const ReportPrinter multiple_reports[2];

// --- Text ---

// An interval or final line in the form of the line's kind (TCP, enhanced
// TCP receiver or sender, UDP sender, UDP receiver, each enhanced or not).
void reporter_printstats(DataReport *report);
// "[id] Server Report:" and the server's line as a UDP receiver line.
void reporter_serverstats(DataReport *report);
// A [SUM] line.
void reporter_multistats(DataReport *report);
// The settings banner between two rules of 60 dashes.
void reporter_reportsettings(DataReport *report);
// "[id] local ... connected with ..."; nothing for a transfer id of 0 or less.
void reporter_reportpeer(DataReport *report);

// The MSS line of the report's socket (final TCP line with -m).
void PrintMSS(DataReport *report);
// The MSS line for a known segment size (0 or less: unknown).
void PrintMSSValue(int transfer_id, int mss);

// --- Comma-separated values ---

// time stamp, peer text (",,," without one), id, interval, bytes, bits per
// second; a UDP receiver adds jitter, lost, datagrams, percentage and out of
// order. After a final line the peer text is released.
void CSV_stats(DataReport *report);
// The peer text from the report's addresses, then CSV_stats.
void CSV_serverstats(DataReport *report);
// Prints nothing: makes the report's peer text "local,port,peer,port".
void CSV_peer(DataReport *report);
// The settings banner has no comma-separated form: prints nothing.
void settings_notimpl(DataReport *report);
