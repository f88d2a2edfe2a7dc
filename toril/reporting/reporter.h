// The reporter thread of toril: it takes the reports traffic and listener
// threads post, drains every stream's PacketRing, keeps the statistics of
// streams, group sums and full-duplex pairs, and decides when an interval or
// final line is due (the lines themselves come from report_format).
//
// Threads: reporter_spawn runs on the reporter thread; every handler named in
// handlers.h runs there too, or, with -U (single-threaded), on the one
// traffic thread right after its hand-off. ReportRoot, the consumption
// detector and the connect-time aggregate belong to that thread alone.
//
// Ownership: the reporter prints and frees one-shot reports (kinds 3, 4, 5),
// frees a group sum after its last member's final record, and only unlinks a
// data report (its traffic thread frees it after EndJob).
#pragma once

#include <cstdint>

#include "toril/reporting/report.h"

// Reports the reporter is working on (reporter thread only).
extern ReportNode *ReportRoot;

// Keeps the reporter from spinning over nearly empty rings.
struct ConsumptionDetector {
    int32_t accounted_packets;           // records it may still take before it counts as ahead
    int32_t accounted_packet_threshold;  // data reports still to visit before the next check
    int32_t reporter_thread_suspends;    // how often it paused
};
extern ConsumptionDetector consumption_detector;

// Connect-time aggregate, present only with enhanced reports.
extern ConnectionReport *myConnectionReport;

// The one-shot texts (settings banner, connection line, relayed server
// report, connect-time aggregate) are printed by the settings-and-connection
// text module; the reporter calls it through this table, which that module
// (or start-up) fills in before the reporter runs. A null entry prints
// nothing; the report is freed all the same.
struct ReporterTextPrinters {
    void (*settings)(SettingsReport *report);
    void (*connection)(ConnectionReport *report);
    void (*server_relay)(ServerRelayReport *report);
    void (*connect_final)(ConnectionReport *aggregate);
};
extern ReporterTextPrinters reporter_text_printers;

// Body of the reporter thread: waits for the start signal, says it is ready,
// then processes reports until none is left and it is the last user thread.
void reporter_spawn(thread_Settings *settings);

// Steps after the start-up hand-shake: creates the connect-time aggregate
// with enhanced reports, runs the report loop until no report is left and at
// most one user thread runs, then prints and frees the aggregate.
void reporter_run(thread_Settings *settings);

// One sample into a running mean/min/max/variance.
void reporter_update_mmm(MeanMinMax *mmm, double value);
