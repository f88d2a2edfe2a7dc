// The usage text, typed line by line, as the tests expect it on the console.
#pragma once

#include <string>

namespace vantrip_test {

inline std::string expected_usage() {
    const std::string rule(90, '-');
    return rule + "\n" +
           "Vantrip Build: local_build\n"
           "\n"
           "USAGE :\n"
           "*******\n"
           "VANTRIP :\n"
           "*******\n"
           "To run as a server:\n"
           "\tvantrip.exe SERVER <server port> <log_file>\n"
           "To run as a client:\n"
           "\tvantrip.exe CLIENT <protocol> <ip version> <server ip> <server port>\n"
           "\t\t<packetSize> <numberOfPackets> <delay_in_ms> <log_file>\n"
           "****\n"
           "STUN :\n"
           "****\n"
           "To run as a server:\n"
           "\tvantrip.exe STUN SERVER <server port>\n"
           "To run as a client:\n"
           "\tvantrip.exe STUN CLIENT <protocol> <ip version> <server ip> <server port>\n"
           "\n"
           "\n"
           "To stop the server: (On Vantrip/Stun client side)\n"
           "\tvantrip.exe STOP <server ip> <server port>\n\n"
           "NOTE: Use log_file (optional) at the end of command to stop or create/update \n"
           " a seperate log file\n\n"
           "\n"
           " Parameter\tValue\t\tDescription\n"
           " ---------\t-----\t\t-----------\n"
           "-Protocol\tTCP/UDP\t\tType of protocol to be used\n"
           "-IP Version\tV4/V6\t\tIP Version to be used\n"
           "-Server IP\tServer IP\tServer IP in V4 or V6 format\n"
           "-Server Port\t1-65535\t\tServer side port number on which server listen the request\n"
           "-Packet Size\tNumber\t\tIP Packet size\n"
           "-No. Of Packets\tNumber\t\tPacket Count\n"
           "-Delay in ms\tNumber\t\tMax RTT expected\n"
           "-Log_file\tC:\\Logs.log\tOnly txt & log file extension supported\n" +
           rule + "\n";
}

}  // namespace vantrip_test
