// Definitions of the process-wide settings; see settings.h.
#include "vantrip/frontend/settings.h"

bool logging_enabled = false;
std::string log_file_path;
bool stun_mode = false;
bool downlink_mode = false;
bool suppress_result_file = true;

asio::io_service io_service;
