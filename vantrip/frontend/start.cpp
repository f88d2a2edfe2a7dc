// Command line, modes and start-up of vantrip.
#include "vantrip/frontend/start.h"

#include <climits>
#include <exception>
#include <iostream>

#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/case_conv.hpp>

#include "vantrip/client/client.h"
#include "vantrip/frontend/log.h"
#include "vantrip/frontend/settings.h"
#include "vantrip/server/tcp_server.h"
#include "vantrip/server/udp_server.h"

#ifndef VANTRIP_BUILD_ID
#define VANTRIP_BUILD_ID " _"
#endif

namespace {

const char kTag[] = "VANTRIP";
const char kStart[] = "Start";
constexpr int kMaxPacketSize = 4096;
constexpr int kMaxPackets = 1000000;

using boost::algorithm::iequals;

// The log-file rule for one log-file argument (null when there is none).
// empty_is_none: the CLIENT form treats an empty argument as no argument.
void apply_log_file_rule(const char *argument, bool empty_is_none) {
    if (argument == nullptr) return;
    const std::string name = argument;
    if (name.empty() && empty_is_none) return;
    if (boost::algorithm::icontains(name, ".log") || boost::algorithm::icontains(name, ".txt")) {
        logging_enabled = true;
        log_file_path = name;
        write_log(kTag, kStart, "Logging will be on.");
        return;
    }
    std::cout << "Warning: Logging option requires filename, You have entered '" << name
              << "'. Logging will be off for now." << std::endl;
}

// Protocol and IP version checks shared by CLIENT and STUN CLIENT.
bool check_protocol_and_version(const std::string &protocol, const std::string &ip_version,
                                ClientParameters *params) {
    if (!iequals(protocol, "TCP") && !iequals(protocol, "UDP") && !iequals(protocol, "ICMP")) {
        write_log(kTag, kStart, "ERROR: Please enter correct protocol type: TCP/UDP/ICMP");
        show_usage();
        return false;
    }
    params->protocol = boost::algorithm::to_upper_copy(protocol);
    if (!iequals(ip_version, "V4") && !iequals(ip_version, "V6")) {
        write_log(kTag, kStart, "ERROR: Please enter correct ip version: V4/V6");
        show_usage();
        return false;
    }
    params->ip_version = boost::algorithm::to_upper_copy(ip_version);
    return true;
}

// Packet size, number of packets and delay of the CLIENT form (positions 6-8).
bool check_client_numbers(const char *const argv[], ClientParameters *params) {
    if (!isnumeric("packetSize", argv[6])) return false;
    params->packet_size = decimal_value(argv[6]);
    if (params->packet_size > kMaxPacketSize) {
        write_log(kTag, kStart,
                  "ERROR: PacketSize is greater than allowed length " +
                      std::to_string(kMaxPacketSize) + ". Please correct it");
        return false;
    }
    if (!isnumeric("numberOfPackets", argv[7])) return false;
    params->number_of_packets = decimal_value(argv[7]);
    if (params->number_of_packets > kMaxPackets) {
        std::cout << "NumberOfPackets value is set to " << kMaxPackets + 1 << std::endl;
        params->number_of_packets = kMaxPackets + 1;
    }
    if (!isnumeric("delay_in_ms", argv[8])) return false;
    params->delay_ms = decimal_value(argv[8]);
    return true;
}

int start_client(const char *const argv[], int argc, bool stun) {
    ClientParameters params;
    if (!parse_client_arguments(argv, argc, stun, &params)) return 1;
    Client client;
    suppress_result_file = false;
    const int result = client.connect(params.number_of_packets, params.delay_ms, params.protocol,
                                      params.ip_version, params.server_ip, params.server_port,
                                      params.packet_size, params.downlink);
    return result == 1 ? 1 : 0;
}

int start_server(const char *const argv[], int argc, bool stun) {
    uint16_t port = 0;
    if (!parse_server_arguments(argv, argc, stun, &port)) return 1;
    try {
        tcp_server tcp(io_service, port);
        udp_server udp(io_service, port);
        std::cout << "Vantrip server started...." << std::endl;
        write_log(kTag, "", "\nWaiting for connection....111111");
        io_service.restart();
        io_service.run();
        // Leaving the scope destroys the UDP server, then the TCP server.
    } catch (const std::exception &e) {
        write_log(kTag, kStart, std::string("Error: ") + e.what());
        return 1;
    }
    return 0;
}

int start_stop(const char *const argv[], int argc) {
    std::string server_ip;
    uint16_t port = 0;
    if (!parse_stop_arguments(argv, argc, &server_ip, &port)) return 1;
    Client client;
    client.kill_server(server_ip, port);  // the request is sent once; its outcome is only logged
    return 0;
}

}  // namespace

int vantrip_main(int argc, const char *const argv[]) {
    if (argc < 3) {
        show_usage();
        return 1;
    }
    const std::string first = argv[1];
    if (first == "?" || first == "--help" || first == "help" || first == "-help") {
        show_usage();
        return 1;
    }
    stun_mode = iequals(first, "STUN");
    try {
        return Start(argv, argc, stun_mode) == 1 ? 1 : 0;
    } catch (const std::exception &e) {
        write_log(kTag, "main", std::string("exception caught: ") + e.what());
    } catch (...) {
        // Nothing we link throws anything else; still never end without a word.
        write_log(kTag, "main", "exception caught: unknown exception");
    }
    return 1;
}

int Start(const char *const argv[], int argc, bool stun) {
    if (argc < (stun ? 3 : 2)) {
        show_usage();
        return 1;
    }
    const std::string word = argv[stun ? 2 : 1];
    if (iequals(word, "CLIENT")) return start_client(argv, argc, stun);
    if (iequals(word, "SERVER")) return start_server(argv, argc, stun);
    if (iequals(word, "STOP")) return start_stop(argv, argc);
    write_log(kTag, kStart, "ERROR: Incorrect parameter provided: " + word);
    show_usage();
    return 1;
}

bool parse_client_arguments(const char *const argv[], int argc, bool stun,
                            ClientParameters *params) {
    const int shift = stun ? 1 : 0;
    if (stun) {
        if (argc != 7 && argc != 8) {
            show_usage();
            return false;
        }
        // Only the plain CLIENT form takes an empty log-file argument as none.
        apply_log_file_rule(argc == 8 ? argv[7] : nullptr, false);
    } else {
        if (argc < 9 || argc > 11) {
            show_usage();
            return false;
        }
        const char *log_argument = nullptr;
        if (argc >= 10) {
            if (iequals(std::string(argv[9]), "downlink")) {
                downlink_mode = true;
                if (argc == 11) log_argument = argv[10];
            } else {
                log_argument = argv[9];
            }
        }
        apply_log_file_rule(log_argument, true);
    }

    const std::string server_ip = argv[4 + shift];
    if (iequals(server_ip, "localhost")) {
        show_usage();
        write_log(kTag, kStart, "Do not use localhost, but its IP adress. Exiting...");
        return false;
    }
    if (!check_protocol_and_version(argv[2 + shift], argv[3 + shift], params)) return false;
    params->server_ip = server_ip;
    params->server_port = checkport("server_port", argv[5 + shift]);
    if (params->server_port == 0) return false;

    if (stun) {
        params->number_of_packets = 0;
        params->delay_ms = 0;
        params->packet_size = 0;
        params->downlink = false;
        return true;
    }
    if (!check_client_numbers(argv, params)) return false;
    params->downlink = downlink_mode;
    return true;
}

bool parse_server_arguments(const char *const argv[], int argc, bool stun, uint16_t *port) {
    const int shift = stun ? 1 : 0;
    if (argc != 3 + shift && argc != 4 + shift) {
        show_usage();
        return false;
    }
    apply_log_file_rule(argc == 4 + shift ? argv[3 + shift] : nullptr, false);
    *port = checkport("server_port", argv[2 + shift]);
    return *port != 0;
}

bool parse_stop_arguments(const char *const argv[], int argc, std::string *server_ip,
                          uint16_t *port) {
    // The STOP positions do not shift after "STUN".
    if (argc != 4 && argc != 5) {
        show_usage();
        return false;
    }
    apply_log_file_rule(argc == 5 ? argv[4] : nullptr, false);
    *port = checkport("server", argv[3]);
    if (*port == 0) return false;
    *server_ip = argv[2];
    return true;
}

bool isnumeric(const std::string &name, const std::string &text) {
    bool digits = !text.empty();
    for (char c : text) digits = digits && c >= '0' && c <= '9';
    if (digits) return true;
    write_log(kTag, "isnumeric", "ERROR: Please enter the numeric value for " + name + "\n");
    show_usage();
    return false;
}

uint16_t checkport(const std::string &name, const std::string &text) {
    if (!isnumeric(name, text)) return 0;
    const int value = decimal_value(text);
    if (value >= 1 && value <= 65535) return static_cast<uint16_t>(value);
    write_log(kTag, "checkport", "ERROR: Please enter the value in range for " + name + "\n");
    show_usage();
    return 0;
}

int decimal_value(const std::string &digits) {
    long long value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') break;
        value = value * 10 + (c - '0');
        if (value > INT_MAX) return INT_MAX;
    }
    return static_cast<int>(value);
}

namespace {

// The lines of the usage text; a null entry stands for the build line.
const char *const kUsageLines[] = {
    "------------------------------------------------------------------------------------------",
    nullptr,  // the build line
    "",
    "USAGE :",
    "*******",
    "VANTRIP :",
    "*******",
    "To run as a server:",
    "\tvantrip.exe SERVER <server port> <log_file>",
    "To run as a client:",
    "\tvantrip.exe CLIENT <protocol> <ip version> <server ip> <server port>",
    "\t\t<packetSize> <numberOfPackets> <delay_in_ms> <log_file>",
    "****",
    "STUN :",
    "****",
    "To run as a server:",
    "\tvantrip.exe STUN SERVER <server port>",
    "To run as a client:",
    "\tvantrip.exe STUN CLIENT <protocol> <ip version> <server ip> <server port>",
    "",
    "",
    "To stop the server: (On Vantrip/Stun client side)",
    "\tvantrip.exe STOP <server ip> <server port>\n",
    "NOTE: Use log_file (optional) at the end of command to stop or create/update \n a "
    "seperate log file\n",
    "",
    " Parameter\tValue\t\tDescription",
    " ---------\t-----\t\t-----------",
    "-Protocol\tTCP/UDP\t\tType of protocol to be used",
    "-IP Version\tV4/V6\t\tIP Version to be used",
    "-Server IP\tServer IP\tServer IP in V4 or V6 format",
    "-Server Port\t1-65535\t\tServer side port number on which server listen the request",
    "-Packet Size\tNumber\t\tIP Packet size",
    "-No. Of Packets\tNumber\t\tPacket Count",
    "-Delay in ms\tNumber\t\tMax RTT expected",
    "-Log_file\tC:\\Logs.log\tOnly txt & log file extension supported",
    "------------------------------------------------------------------------------------------",
};

std::string usage_line(const char *line) {
    return line != nullptr ? std::string(line) : "Vantrip " + build_line(VANTRIP_BUILD_ID);
}

}  // namespace

std::string usage_text() {
    std::string text;
    for (const char *line : kUsageLines) {
        text += usage_line(line);
        text += '\n';
    }
    return text;
}

void show_usage() {
    for (const char *line : kUsageLines) std::cout << usage_line(line) << std::endl;
}

std::string build_line(const std::string &id) {
    if (id == " _") return "Build: local_build";
    return " Build: " + (id.size() < 3 ? id : id.substr(0, id.size() - 2));
}

void reset_settings() {
    logging_enabled = false;
    log_file_path.clear();
    stun_mode = false;
    downlink_mode = false;
    suppress_result_file = true;
    io_service.restart();
}
