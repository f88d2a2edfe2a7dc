// Process-wide settings of vantrip.
//
// Written by the front end before any mode starts and only read afterwards;
// everything runs on the process's one thread, so nothing here is locked.
#pragma once

#include <string>

#include "vantrip/frontend/asio.h"

extern bool logging_enabled;        // a log-file argument was accepted
extern std::string log_file_path;   // that argument, as typed
extern bool stun_mode;              // first argument was "STUN"
extern bool downlink_mode;          // CLIENT word "downlink"
extern bool suppress_result_file;   // false only during CLIENT and STUN CLIENT runs

// The one event-processing service every socket, resolver and timer uses.
extern asio::io_service io_service;
