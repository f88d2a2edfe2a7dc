// The print tables of quarvel's reports, indexed by report_mode.
#include "quarvel/report_formats.h"

bool header_printed = false;

const ReportPrinter statistics_reports[2] = {reporter_printstats, CSV_stats};
const ReportPrinter serverstatistics_reports[2] = {reporter_serverstats, CSV_serverstats};
const ReportPrinter settings_reports[2] = {reporter_reportsettings, settings_notimpl};
const ReportPrinter connection_reports[2] = {reporter_reportpeer, CSV_peer};
const ReportPrinter multiple_reports[2] = {reporter_multistats, CSV_stats};
