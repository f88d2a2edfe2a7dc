// quarvel run as a user runs it: usage, help and version texts, option errors
// and warnings with their exact text, stream and exit status, the environment,
// and the clear stop of this build before a role it does not have.
#include <gtest/gtest.h>

#include <chrono>

#include <string>
#include <vector>

#include "tests/support/net.h"
#include "tests/support/process.h"

namespace {

using testsupport::RunOptions;
using testsupport::RunResult;

const std::string kBin = QUARVEL_BIN;

RunResult quarvel(const std::vector<std::string> &args, const std::vector<std::string> &env = {},
                  std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) {
    std::vector<std::string> argv = {kBin};
    argv.insert(argv.end(), args.begin(), args.end());
    RunOptions opts;
    opts.timeout = limit;
    opts.env = env;
    return testsupport::run(argv, opts);
}

// clang-format off
const std::string kUsage = R"TXT(Usage: quarvel [-s|-c host| -E -a NAT_Client_Port| 
               -e NAT_Client_IP -a NAT_Client_Port] [options]
Try 'quarvel --help' for more information.
)TXT";

const std::string kHelp = R"TXT(Usage: quarvel [-s|-c host| -E -a NAT_Client_Port| 
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

const std::string kVersion = "quarvel version 2.0.9 (1 June 2016) pthreads\n";
const std::string kNoClient = "quarvel: the client role is not available in this build\n";
constexpr int kRoleMissing = 2;
// A server that starts: the run gets "-x S -t 0.3 -p <free port>" appended, so
// that it prints no banner, gives up waiting for a test soon and ends with 0.
constexpr int kServerRuns = 1000;

struct Expect {
    const char *name;
    std::vector<std::string> args;
    std::vector<std::string> env;
    int status;
    std::string err;
    std::string out;
};

std::ostream &operator<<(std::ostream &os, const Expect &e) {
    return os << e.name;
}

class Run : public testing::TestWithParam<Expect> {};

TEST_P(Run, StreamsAndStatus) {
    const Expect &e = GetParam();
    std::vector<std::string> args = e.args;
    int status = e.status;
    if (status == kServerRuns) {
        args.insert(args.end(),
                    {"-x", "S", "-t", "0.3", "-p", std::to_string(testsupport::free_port())});
        status = 0;
    }
    if (status == kRoleMissing) {
        // The client role now runs (towards nothing, or waiting for a NAT
        // server): the warnings must come first and nothing may crash.
        std::string warnings = e.err;
        ASSERT_GE(warnings.size(), kNoClient.size());
        warnings.erase(warnings.size() - kNoClient.size());
        args.insert(args.end(), {"-t", "0.1", "-p", "1"});
        const RunResult r = quarvel(args, e.env, std::chrono::milliseconds(1500));
        EXPECT_EQ(r.err.substr(0, warnings.size()), warnings);
        if (!r.timed_out) {
            EXPECT_LT(r.exit_code, 128) << r.err;
        }
        return;
    }
    const RunResult r = quarvel(args, e.env);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.err, e.err);
    EXPECT_EQ(r.out, e.out);
    EXPECT_EQ(r.exit_code, status);
}

std::string name_of(const testing::TestParamInfo<Expect> &info) {
    return info.param.name;
}

const std::string kHost = "127.0.0.1";

// The texts of the program itself.
const Expect kTexts[] = {
    {"no_role_prints_usage", {}, {}, 0, kUsage, ""},
    {"help_short", {"-h"}, {}, 1, kHelp, ""},
    {"help_long", {"--help"}, {}, 1, kHelp, ""},
    {"help_stops_before_later_options", {"-c", kHost, "-h", "-a", "0"}, {}, 1, kHelp, ""},
    {"version_short", {"-v"}, {}, 1, kVersion, ""},
    {"version_long", {"--version"}, {}, 1, kVersion, ""},
    {"unknown_option_then_usage", {"-z"}, {}, 0, kBin + ": invalid option -- 'z'\n" + kUsage, ""},
    {"dual_swallows_time_then_usage",
     {"-d", "-t", "5"},
     {},
     0,
     "WARNING: option -d is not valid for server mode\n" + kBin +
         ": ignoring extra argument -- 5\n" + kUsage,
     ""},
};
INSTANTIATE_TEST_SUITE_P(Texts, Run, testing::ValuesIn(kTexts), name_of);

const std::string kLocalPortError = "Please provide the client port between 1 and 65535";

// Values that end the process while the options are read.
const Expect kValueErrors[] = {
    {"local_port_zero",
     {"-E", "-a", "0"},
     {},
     1,
     "",
     "Client port provided as 0. " + kLocalPortError},
    {"local_port_too_large",
     {"-a", "70000"},
     {},
     1,
     "",
     "Client port provided as 70000. " + kLocalPortError},
    {"local_port_text", {"-a", "abc"}, {}, 1, "", "Client port provided as 0. " + kLocalPortError},
    {"local_port_beyond_int",
     {"-a", "99999999999"},
     {},
     1,
     "",
     "Client port provided as 2147483647. " + kLocalPortError},
    {"local_port_from_environment",
     {"-s"},
     {"TORIL_CLIENTLOCALPORT=-1"},
     1,
     "",
     "Client port provided as -1. " + kLocalPortError},
    {"port_too_large", {"-s", "-p", "70000"}, {}, 1, "Invalid value of '70000' for -p port\n", ""},
    {"port_text", {"-p", "50x"}, {}, 1, "Invalid value of '50x' for -p port\n", ""},
    {"port_empty", {"-p", ""}, {}, 1, "Invalid value of '' for -p port\n", ""},
    {"listen_port_too_large",
     {"-c", kHost, "-L", "65536"},
     {},
     1,
     "Invalid value of '65536' for -L port\n",
     ""},
    {"bind_port_too_large",
     {"-B", "127.0.0.1:99999"},
     {},
     1,
     "Invalid value of '127.0.0.1:99999' for -B port\n",
     ""},
    {"tcp_length_zero", {"-l", "0"}, {}, 1, "Invalid value of '0' for -l length\n", ""},
    {"tcp_length_negative", {"-l", "-1"}, {}, 1, "Invalid value of '-1' for -l length\n", ""},
    {"length_too_large", {"-u", "-l", "2G"}, {}, 1, "Invalid value of '2G' for -l length\n", ""},
    {"parallel_negative",
     {"-c", kHost, "-P", "-1"},
     {},
     1,
     "Invalid value of '-1' for -P parallel\n",
     ""},
    {"parallel_too_many",
     {"-c", kHost, "-P", "100000"},
     {},
     1,
     "Invalid value of '100000' for -P parallel\n",
     ""},
    {"port_from_environment",
     {},
     {"TORIL_PORT=abc"},
     1,
     "Invalid value of 'abc' for -p port\n",
     ""},
};
INSTANTIATE_TEST_SUITE_P(ValueErrors, Run, testing::ValuesIn(kValueErrors), name_of);

// Runs accepted by the options: a client stops at the boundary of this build,
// a server starts.
const Expect kBoundary[] = {
    {"client", {"-c", kHost}, {}, kRoleMissing, kNoClient, ""},
    {"server", {"-s"}, {}, kServerRuns, "", ""},
    {"nat_client", {"-E", "-a", "6000"}, {}, kRoleMissing, kNoClient, ""},
    {"client_then_server_warns",
     {"-c", kHost, "-s"},
     {},
     kRoleMissing,
     "WARNING: option -s is not valid for client mode\n" + kNoClient,
     ""},
    {"warnings_come_first",
     {"-s", "-x", "Q", "-y", "z", "-W"},
     {},
     kServerRuns,
     "WARNING: unknown reporting type \"Q\", ignored\n valid options are:\n\t exclude: "
     "C(connection) D(data) M(multicast) S(settings) V(server) report\n\n"
     "WARNING: unknown reporting style \"z\", switching to default\n"
     "The -W option is not available in this release\n",
     ""},
    {"length_and_udp_warnings",
     {"-c", kHost, "-u", "-l", "8"},
     {},
     kRoleMissing,
     "WARNING: the UDP buffer was increased to 12 for proper operation\n"
     "WARNING: option -l has implied compatibility mode\n" +
         kNoClient,
     ""},
    {"interval_warning",
     {"-s", "-i", "0.001"},
     {},
     kServerRuns,
     "WARNING: interval too small, increasing from 0.001 to 5 milliseconds.\n",
     ""},
    {"extra_argument_warned",
     {"-s", "extra"},
     {},
     kServerRuns,
     kBin + ": ignoring extra argument -- extra\n",
     ""},
};
INSTANTIATE_TEST_SUITE_P(Boundary, Run, testing::ValuesIn(kBoundary), name_of);

// The environment is read first; the command line comes later and wins.
const Expect kEnvironment[] = {
    {"server_from_environment", {}, {"TORIL_SERVER=1"}, kServerRuns, "", ""},
    {"client_from_environment", {}, {"TORIL_CLIENT=127.0.0.1"}, kRoleMissing, kNoClient, ""},
    {"environment_client_then_command_line_server",
     {"-s"},
     {"TORIL_CLIENT=127.0.0.1"},
     kRoleMissing,
     "WARNING: option -s is not valid for client mode\n" + kNoClient,
     ""},
    {"command_line_port_replaces_a_bad_one",
     {"-s", "-p", "7001"},
     {"TORIL_PORT=6001"},
     kServerRuns,
     "",
     ""},
    {"help_names_are_not_read", {}, {"quarvel_SERVER=1", "QUARVEL_SERVER=1"}, 0, kUsage, ""},
    {"window_warning_from_environment",
     {"-s"},
     {"TCP_WINDOW_SIZE=1000"},
     kServerRuns,
     "WARNING: TCP window size set to 1000 bytes. A small window size\nwill give poor "
     "performance. See the Toril documentation.\n",
     ""},
};
INSTANTIATE_TEST_SUITE_P(Environment, Run, testing::ValuesIn(kEnvironment), name_of);

}  // namespace
