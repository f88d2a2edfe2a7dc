// The vantrip front end: the command line, its checks and the mode driver.
//
// Everything here runs on the process's one thread before (and around) the
// chosen mode. Messages that are not console notices go to write_log with the
// tag "VANTRIP".
#pragma once

#include <cstdint>
#include <string>

// The whole program: help words, STUN detection, Start, exception handler.
// Returns the process exit code (0 when the chosen mode ran to its end).
int vantrip_main(int argc, const char *const argv[]);

// The mode driver. argv holds argc entries, the program name first; stun is
// true when argv[1] is "STUN" (every later position then shifts by one).
// Returns 1 on failure, 0 on success.
int Start(const char *const argv[], int argc, bool stun);

// Prints the usage text on standard output, flushing after every line.
void show_usage();

// The usage text as show_usage prints it.
std::string usage_text();

// The build line of the usage text for a build identifier: the placeholder
// " _" reads "Build: local_build"; any other gives " Build: " and the
// identifier without its last two characters (whole when shorter than 3).
std::string build_line(const std::string &id);

// True when text is not empty and all decimal digits. Otherwise logs
// "ERROR: Please enter the numeric value for <name>\n", shows the usage text
// and returns false.
bool isnumeric(const std::string &name, const std::string &text);

// The port for a numeric text in 1..65535; 0 (after the message of isnumeric,
// or "ERROR: Please enter the value in range for <name>\n" and the usage text)
// otherwise.
uint16_t checkport(const std::string &name, const std::string &text);

// The value of an all-digit text, saturated at INT_MAX for texts too large
// for 32 bits (so every later range check refuses it rather than wrapping).
int decimal_value(const std::string &digits);

// What a CLIENT or STUN CLIENT command line hands to Client::connect.
struct ClientParameters {
    int number_of_packets = 0;
    int delay_ms = 0;
    std::string protocol;    // upper case
    std::string ip_version;  // upper case
    std::string server_ip;   // as typed
    uint16_t server_port = 0;
    int packet_size = 0;
    bool downlink = false;
};

// The argument checks of each form, including the log-file rule. They write
// their messages and the usage text themselves and return false on failure.
bool parse_client_arguments(const char *const argv[], int argc, bool stun,
                            ClientParameters *params);
bool parse_server_arguments(const char *const argv[], int argc, bool stun, uint16_t *port);
bool parse_stop_arguments(const char *const argv[], int argc, std::string *server_ip,
                          uint16_t *port);

// Puts the process-wide settings back to their initial values (for tests
// that run several command lines in one process).
void reset_settings();
