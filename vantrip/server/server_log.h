// Log helpers of the probe servers: compose a log message from parts only when
// logging is on, so that a busy server pays nothing for its diagnostics when
// the log is off. Single-threaded, like the rest of vantrip.
#pragma once

#include <iostream>
#include <sstream>
#include <string>

#include "vantrip/frontend/log.h"
#include "vantrip/frontend/settings.h"

// One entry with tag, operation and the concatenation of parts as message.
template <typename... Parts>
void server_log(const char *tag, const char *operation, const Parts &...parts) {
    if (!logging_enabled) return;
    std::ostringstream message;
    (message << ... << parts);
    write_log(tag, operation, message.str());
}

// A status entry: the text in the tag position, operation and message empty.
inline void server_log_status(const char *status) {
    if (logging_enabled) write_log(status, "", "");
}

// One console line made of parts, flushed at once: scripts read these lines
// while the server runs.
template <typename... Parts>
void server_console(const Parts &...parts) {
    (std::cout << ... << parts) << std::endl;
}
