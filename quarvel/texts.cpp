// Usage, help and version texts of quarvel.
//
// The help is kept as two raw texts exactly as printed, so the source shows the
// output byte for byte (the first usage line ends in a space on purpose).
#include "quarvel/settings.h"

namespace {

// clang-format off
const char kUsageText[] = R"TXT(Usage: quarvel [-s|-c host| -E -a NAT_Client_Port| 
               -e NAT_Client_IP -a NAT_Client_Port] [options]
Try 'quarvel --help' for more information.
)TXT";

const char kHelpText1[] = R"TXT(Usage: quarvel [-s|-c host| -E -a NAT_Client_Port| 
               -e NAT_Client_IP -a NAT_Client_Port] [options]
       quarvel [-h|--help] [-v|--version]

Client/Server:

  -a, --clientlocalport #       client local port to listen on
                                mandatory when server is behind NAT

  -b, --bandwidth #[KMG | pps]  bandwidth to send at in bits/sec or packets per second
  -e, --enhancedreports    use enhanced reporting giving more tcp/udp and traffic information
  -f, --format    [kmKM]   format to report: Kbits, Mbits, KBytes, MBytes
  -i, --interval  #        seconds between periodic bandwidth reports
  -l, --len       #[KM]    length of buffer to read or write (default 8 KB)
  -m, --print_mss          print TCP maximum segment size (MTU - TCP/IP header)
  -o, --output    <filename> output the report or error message to this specified file
  -p, --port      #        server port to listen on/connect to
  -u, --udp                use UDP rather than TCP
  -w, --window    #[KM]    TCP window size (socket buffer size)
  -z, --realtime           request realtime scheduler
  -B, --bind      <host>   bind to <host>, an interface or multicast address
  -C, --compatibility      for use with older versions does not sent extra msgs
  -M, --mss       #        set TCP maximum segment size (MTU - 40 bytes)
  -N, --nodelay            set TCP no delay, disabling Nagle's Algorithm
  -V, --ipv6_domain        Set the domain to IPv6

Server specific:
  -e, --NAT <CLient IP>         server behind NAT. -a # mandatory
  -s, --server                  run in server mode
  -U, --single_udp              run in single threaded UDP mode
  -D, --daemon                  run the server as a daemon

)TXT";

const char kHelpText2[] = R"TXT(
Client specific:
  -b, --bandwidth #[KM]         for UDP, bandwidth to send at in bits/sec
                                (default 1 Mbit/sec, implies -u)
  -c, --client    <host>   run in client mode, connecting to <host>
  -d, --dualtest           Do a bidirectional test simultaneously
  -n, --num       #[KM]    number of bytes to transmit (instead of -t)
  -r, --tradeoff           Do a bidirectional test individually
  -t, --time      #        time in seconds to transmit for (default 10 secs)
  -B, --bind [<ip> | <ip:port>] bind src addr(s) from which to originate traffic
  -F, --fileinput <name>   input the data to be transmitted from a file
  -E, --NAT                     server behind NAT. -a # mandatory
  -I, --stdin              input the data to be transmitted from stdin
  -L, --listenport #       port to receive bidirectional tests back on
  -P, --parallel  #        number of parallel client threads to run
  -T, --ttl       #        time-to-live, for multicast (default 1)
  -Z, --linux-congestion <algo>  set TCP congestion control algorithm (Linux only)

Miscellaneous:
  -x, --reportexclude [CDMSV]   exclude C(connection) D(data) M(multicast) S(settings) V(server) reports
  -y, --reportstyle C      report as a Comma-Separated Values
  -h, --help               print this message and quit
  -v, --version            print version information and quit

[KM] Indicates options that support a K or M suffix for kilo- or mega-

The TCP window size option can be set by the environment variable
TCP_WINDOW_SIZE. Most other options can be set by an environment variable
quarvel_<long option name>, such as quarvel_BANDWIDTH.

)TXT";
// clang-format on

const char kVersionText[] = "quarvel version 2.0.9 (1 June 2016) pthreads\n";

}  // namespace

void Settings_PrintUsage(FILE *stream) {
    fputs(kUsageText, stream);
}

void Settings_PrintHelp(FILE *stream) {
    fputs(kHelpText1, stream);
    fputs(kHelpText2, stream);
}

void Settings_PrintVersion(FILE *stream) {
    fputs(kVersionText, stream);
}
