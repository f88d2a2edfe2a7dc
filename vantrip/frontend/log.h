// The log writer and the reply handler every part of vantrip calls.
#pragma once

#include <cstddef>
#include <string>

// Appends one entry to log_file_path when logging is on: a line break, the
// local time as YYYYMMDDTHHMMSS, then " : " tag " : " operation " : " message,
// all verbatim. The file is opened and closed for every entry. Does nothing
// when logging is off.
void write_log(const std::string &tag, const std::string &operation, const std::string &message);

// Handles one received text (up to its first NUL or len bytes, at most 4096).
// Returns 3 for a stop request ("STOP;" appended to collected), 2 when the
// reply held at least one field, 1 otherwise. In address discovery mode it
// prints the fields and, unless suppress_result_file, rewrites the result file.
int process_reply(const char *buffer, std::size_t len, std::string &collected);
