// The toril program run as a user runs it: usage, help, version, every option
// error and warning with its exact text, stream and exit status.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <string>
#include <vector>

#include "tests/support/process.h"

namespace {

using testsupport::RunOptions;
using testsupport::RunResult;

const std::string kBin = TORIL_BIN;
const std::string kClientMissing = "toril: the client role is not available in this build\n";
const std::string kServerMissing = "toril: the server role is not available in this build\n";
constexpr int kRoleMissing = 2;

RunResult toril(const std::vector<std::string> &args, const std::vector<std::string> &env = {},
                std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) {
    std::vector<std::string> argv = {kBin};
    argv.insert(argv.end(), args.begin(), args.end());
    RunOptions opts;
    opts.timeout = limit;
    opts.env = env;
    opts.env.push_back("TZ=UTC");
    return testsupport::run(argv, opts);
}

struct CliCase {
    const char *name;
    std::vector<std::string> args;
    int exit_code;
    std::string err;
    std::string out = "";
    std::vector<std::string> env = {};
};

std::ostream &operator<<(std::ostream &os, const CliCase &c) {
    return os << c.name;
}

class CliTable : public testing::TestWithParam<CliCase> {};

// Rows that end in a role: the options were accepted and the warnings came
// first. The role itself then runs (a client against nothing, a server that
// waits for tests), so only its start is bounded and what precedes it checked.
bool strip_suffix(std::string &text, const std::string &suffix) {
    if (text.size() < suffix.size() || text.compare(text.size() - suffix.size(), suffix.size(),
                                                    suffix) != 0)
        return false;
    text.erase(text.size() - suffix.size());
    return true;
}

TEST_P(CliTable, ExactOutputAndStatus) {
    const CliCase &c = GetParam();
    if (c.exit_code == kRoleMissing) {
        std::string warnings = c.err;
        ASSERT_TRUE(strip_suffix(warnings, kClientMissing) || strip_suffix(warnings, kServerMissing));
        const RunResult r = toril(c.args, c.env, std::chrono::milliseconds(1500));
        EXPECT_EQ(r.err.substr(0, warnings.size()), warnings);
        EXPECT_EQ(r.out.substr(0, c.out.size()), c.out);
        // Ended by the test's limit or by itself, never by a crash.
        if (!r.timed_out) {
            EXPECT_LT(r.exit_code, 128) << r.err;
        }
        return;
    }
    const RunResult r = toril(c.args, c.env);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.exit_code, c.exit_code);
}

std::string case_name(const testing::TestParamInfo<CliCase> &info) {
    return info.param.name;
}

const std::string kHost = "127.0.0.1";

// Values that end the process while options are read.
const CliCase kValueErrors[] = {
    {"num_zero", {"-c", kHost, "-n", "0"}, 1, "Invalid value for -n amount of '0'\n"},
    {"num_negative", {"-c", kHost, "-n", "-5K"}, 1, "Invalid value for -n amount of '-5K'\n"},
    {"interval_junk", {"-i", "1s"}, 1, "Invalid value of '1s' for -i interval\n"},
    {"interval_empty", {"-i", ""}, 1, "Invalid value of '' for -i interval\n"},
    {"interval_negative", {"-i", "-1"}, 1, "Invalid value of '-1' for -i interval\n"},
    {"interval_nan", {"-i", "nan"}, 1, "Invalid value of 'nan' for -i interval\n"},
    {"interval_too_large",
     {"-i", "4295"},
     1,
     "Too large value of '4295' for -i interval, max is 4294.967295\n"},
    {"interval_infinite",
     {"-i", "inf"},
     1,
     "Too large value of 'inf' for -i interval, max is 4294.967295\n"},
    {"time_junk", {"-c", kHost, "-t", "10s"}, 1, "ERROR: -t value of '10s' not recognized\n"},
    {"time_out_of_range", {"-t", "1e999"}, 1, "ERROR: -t value of '1e999' not recognized\n"},
    {"time_too_long_for_hundredths",
     {"-t", "1e300"},
     1,
     "ERROR: -t value of '1e300' not recognized\n"},
    {"time_empty_from_environment",
     {},
     1,
     "ERROR: option -t requires value\n",
     "",
     {"TORIL_TIME="}},
    {"len_zero", {"-c", kHost, "-l", "0"}, 1, "Invalid value of '0' for -l length\n"},
    {"len_negative", {"-c", kHost, "-l", "-1K"}, 1, "Invalid value of '-1K' for -l length\n"},
    {"len_huge", {"-c", kHost, "-l", "2G"}, 1, "Invalid value of '2G' for -l length\n"},
    {"port_too_large", {"-s", "-p", "70000"}, 1, "Invalid value of '70000' for -p port\n"},
    {"port_not_a_number", {"-s", "-p", "http"}, 1, "Invalid value of 'http' for -p port\n"},
    {"port_range_junk", {"-s", "-p", "5001-x"}, 1, "Invalid value of '5001-x' for -p port\n"},
    {"listen_port_junk", {"-c", kHost, "-L", "-1"}, 1, "Invalid value of '-1' for -L port\n"},
    {"bind_port_junk",
     {"-c", kHost, "-B", "127.0.0.1:99999"},
     1,
     "Invalid value of '99999' for -B port\n"},
    {"tun_device", {"-s", "--tun-dev"}, 1, "ERROR: tun devices not yet supported\n"},
};

// Errors of the option checks (all exit 1).
const CliCase kCheckErrors[] = {
    {"compat_with_enhanced",
     {"-c", kHost, "-C", "-e"},
     1,
     "ERROR: compatibility mode not supported with the requested with options\n"},
    {"compat_with_dual",
     {"-c", kHost, "-C", "-d"},
     1,
     "WARNING: option -d is not valid in compatibility mode\n"
     "ERROR: compatibility mode not supported with the requested with options\n"},
    {"permit_key_udp",
     {"-c", kHost, "-u", "--permit-key=abcd"},
     1,
     "ERROR: Option of --permit-key not supported with UDP\n"},
    {"permit_key_short",
     {"-s", "--permit-key=abc"},
     1,
     "ERROR: value for --permit-key must have at least 4 characters\n"},
    {"incr_srcip_without_bind",
     {"-c", kHost, "--incr-srcip"},
     1,
     "ERROR: option of --incr-srcip requires -B bind option to be set\n"},
    {"ttl_too_large",
     {"-c", kHost, "-T", "256"},
     1,
     "ERROR: option of -ttl (-T) must be less than 255\n"},
    {"permit_key_empty_on_client",
     {"-c", kHost, "--permit-key"},
     1,
     "ERROR: option of --permit-key requires a value on the client\n"},
    {"txstart_and_txdelay",
     {"-c", kHost, "--txstart-time", "1", "--txdelay-time", "1"},
     1,
     "ERROR: options of --txstart-time and --txdelay-time are mutually exclusive\n"},
    {"txstart_negative",
     {"-c", kHost, "--txstart-time=-5"},
     1,
     "ERROR: --txstart-time must be a positive value\n"},
    {"txstart_too_far",
     {"-c", kHost, "--txstart-time", "99999999999.25"},
     1,
     "",
     "ERROR: --txstart-time (99999999999.250000) (5138-11-16 09:46:39 UTC) exceeds max scheduled "
     "delay of 3600 secs\n"},
    {"txdelay_too_long",
     {"-c", kHost, "--txdelay-time", "3601"},
     1,
     "",
     "ERROR: --txdelay-time of 3601 seconds is more than the supported delay of 3600 seconds\n"},
    {"quickack_conflict",
     {"-c", kHost, "--bounceback", "--tcp-quickack", "--bounceback-no-quickack"},
     1,
     "ERROR: --tcp-quickack and --bounceback-no-quickack are mutually exclusive\n"},
    {"burst_with_isochronous",
     {"-c", kHost, "-u", "--burst-period", "1", "--isochronous"},
     1,
     "ERROR: options of --burst-period and --isochronous cannot be applied together\n"},
    {"burst_with_near_congestion",
     {"-c", kHost, "--burst-period", "1", "--near-congestion"},
     1,
     "ERROR: options of --burst-period and --near-congestion cannot be applied together\n"},
    {"burst_smaller_than_write",
     {"-c", kHost, "--burst-size", "1000", "-l", "2000"},
     1,
     "ERROR: option of --burst-size 1000 must be equal or larger to write length (-l) 2000\n"},
    {"udp_peer_detect",
     {"-c", kHost, "-u", "-X"},
     1,
     "ERROR: option of -X or --peer-detect not supported with -u UDP\n"},
    {"udp_connect_only",
     {"-c", kHost, "-u", "--connect-only"},
     1,
     "ERROR: option of --connect-only not supported with -u UDP\n"},
    {"udp_near_congestion",
     {"-c", kHost, "-u", "--near-congestion"},
     1,
     "ERROR: option of --near-congestion not supported with -u UDP\n"},
    {"udp_rate_and_ipg",
     {"-c", kHost, "-u", "-b", "1m", "--ipg", "0.01"},
     1,
     "ERROR: options of --b and --ipg cannot be applied together\n"},
    {"udp_negative_ipg",
     {"-c", kHost, "-u", "--ipg=-1"},
     1,
     "ERROR: option --ipg must be a positive value\n"
     "ERROR: IPG delay target of -1.0 secs too large (max value is 60 secs)\n"},
    {"udp_connect_retries",
     {"-c", kHost, "-u", "--connect-retries", "2"},
     1,
     "ERROR: option --connect-retries not supported with -u UDP\n"},
    {"udp_gap_too_large",
     {"-c", kHost, "-u", "-b", "100"},
     1,
     "ERROR: IPG delay target of 117.6 secs too large (max value is 60 secs)\n"},
    {"udp_ipg_too_large",
     {"-c", kHost, "-u", "--ipg", "61"},
     1,
     "ERROR: IPG delay target of 61.0 secs too large (max value is 60 secs)\n"},
    {"udp_zero_rate",
     {"-c", kHost, "-u", "-b", "0"},
     1,
     "ERROR: IPG delay target of inf secs too large (max value is 60 secs)\n"},
    {"udp_trip_times_payload",
     {"-c", kHost, "-u", "-l", "100", "--trip-times", "-R"},
     1,
     "ERROR: payload (-l) size of 100 too small for --trip-times, must be 128 or greater\n"},
    {"tcp_near_congestion_with_rate",
     {"-c", kHost, "-b", "10m", "--near-congestion"},
     1,
     "ERROR: option of --near-congestion and -b rate limited are mutually exclusive\n"},
    {"tcp_rate_below_write",
     {"-c", kHost, "-b", "100k"},
     1,
     "ERROR: option -b and -l of 131072 are incompatible, consider setting -l to 12500 or lower\n"},
    {"tcp_ipg", {"-c", kHost, "--ipg", "1"}, 1, "ERROR: option --ipg requires -u UDP\n"},
    {"tcp_no_udp_fin",
     {"-c", kHost, "--no-udp-fin"},
     1,
     "ERROR: option --no-udp-fin requires -u UDP\n"},
    {"tcp_txdelay_connect_only",
     {"-c", kHost, "--txdelay-time", "1", "--connect-only"},
     1,
     "ERROR: Fail because --txdelay-time and --connect-only cannot be applied together\n"},
    {"tcp_packet_rate",
     {"-c", kHost, "-b", "100pps"},
     1,
     "ERROR: units of pps not supported with TCP\n"},
    {"congestion_and_reverse",
     {"-c", kHost, "-Z", "cubic", "-R"},
     1,
     "ERROR: tcp congestion control -Z and --reverse cannot be applied together\n"},
    {"full_duplex_and_reverse",
     {"-c", kHost, "--full-duplex", "-R"},
     1,
     "ERROR: options of --full-duplex, --reverse, -d and -r are mutually exclusive\n"},
    {"reverse_and_dual",
     {"-c", kHost, "-R", "-d"},
     1,
     "ERROR: options of --full-duplex, --reverse, -d and -r are mutually exclusive\n"},
    {"exclusive_and_rate_with_isochronous",
     {"-c", kHost, "-u", "--full-duplex", "-r", "-b", "1m", "--isochronous"},
     1,
     "ERROR: options of --full-duplex, --reverse, -d and -r are mutually exclusive\n"
     "ERROR: options of --b and --isochronous cannot be applied together\n"},
    {"rate_with_isochronous",
     {"-c", kHost, "-u", "-b", "1m", "--isochronous"},
     1,
     "ERROR: options of --b and --isochronous cannot be applied together\n"},
    {"errors_accumulate",
     {"-c", kHost, "-T", "300", "--incr-srcip", "--no-udp-fin"},
     1,
     "ERROR: option of --incr-srcip requires -B bind option to be set\n"
     "ERROR: option of -ttl (-T) must be less than 255\n"
     "ERROR: option --no-udp-fin requires -u UDP\n"},
    {"server_port_range_reversed",
     {"-s", "-p", "5002-5001"},
     1,
     "ERROR: invalid port range of 5002-5001\n"},
    {"server_bounceback",
     {"-s", "--bounceback"},
     1,
     "ERROR: setting of option --bounce-back is not supported on the server\n"},
    {"isochronous_zero_mean",
     {"-c", kHost, "-u", "--isochronous=60:0"},
     1,
     "ERROR: Invalid --isochronous mean value, must be greater than zero\n"},
    {"isochronous_packets_over_tcp",
     {"-c", kHost, "--isochronous=60:10p"},
     1,
     "ERROR: Invalid --isochronous units of 'p' with TCP must be bytes\n"},
    {"multicast_parallel",
     {"-c", "239.1.1.1", "-u", "-P", "2"},
     1,
     "ERROR: client option of -P greater than 1 not supported with multicast address\n"},
    {"multicast_reverse",
     {"-c", "239.1.1.1", "-u", "-R"},
     1,
     "ERROR: options of --full-duplex, --reverse, -d and -r not supported with multicast "
     "addresses\n"},
    {"version", {"-v"}, 1, "toril version 2.1.8 (12 August 2022) pthreads\n"},
};

// Warnings: the options are accepted and the role is reached.
const CliCase kWarnings[] = {
    {"dual_on_server",
     {"-d", "-c", kHost},
     kRoleMissing,
     "WARNING: option -d is not valid for server mode\n" + kClientMissing},
    {"tradeoff_in_compat",
     {"-c", kHost, "-r", "-C"},
     kRoleMissing,
     "WARNING: option -r is not valid in compatibility mode\n" + kClientMissing},
    {"server_on_client",
     {"-c", kHost, "-s"},
     kRoleMissing,
     "WARNING: option -s is not valid for client mode\n" + kClientMissing},
    {"client_only_options_on_server",
     {"-s", "-F", "x", "-I", "-L", "6000"},
     kRoleMissing,
     "WARNING: option -F is not valid for server mode\n"
     "WARNING: option -I is not valid for server mode\n"
     "WARNING: option -L is not valid for server mode\n" +
         kServerMissing},
    {"ssm_on_client",
     {"-c", kHost, "-H", "10.0.0.1"},
     kRoleMissing,
     "WARNING: option -H is not valid for client mode\n" + kClientMissing},
    {"small_window",
     {"-s", "-w", "2047"},
     kRoleMissing,
     "WARNING: TCP window size set to 2047 bytes. A small window size\n"
     "will give poor performance. See the Toril documentation.\n" +
         kServerMissing},
    {"unknown_exclusion",
     {"-s", "-x", "cQ"},
     kRoleMissing,
     "WARNING: unknown reporting type \"Q\", ignored\n valid options are:\n\t exclude: "
     "C(connection) D(data) M(multicast) S(settings) V(server) report\n\n" +
         kServerMissing},
    {"unknown_style",
     {"-s", "-y", "json"},
     kRoleMissing,
     "WARNING: unknown reporting style \"json\", switching to default\n" + kServerMissing},
    {"bad_tos",
     {"-s", "-S", "best"},
     kRoleMissing,
     "Invalid --tos value of best\n" + kServerMissing},
    {"bad_tos_override",
     {"-s", "--tos-override", "300"},
     kRoleMissing,
     "Invalid --tos-overide value of 300\n" + kServerMissing},
    {"suggest_window",
     {"-s", "-W"},
     kRoleMissing,
     "The -W option is not available in this release\n" + kServerMissing},
    {"interval_too_small",
     {"-s", "-i", "0.001"},
     kRoleMissing,
     "WARNING: interval too small, increasing to 5.000 milliseconds.\n" + kServerMissing},
    {"bounceback_count",
     {"-c", kHost, "--bounceback=0"},
     kRoleMissing,
     "WARN: invalid bounceback value, setting it to 10\n" + kClientMissing},
    {"bounceback_congest_value",
     {"-c", kHost, "--bounceback-congest=sideways,2"},
     kRoleMissing,
     "Unrecoginized value of sideways for bounceback-congestion, use 'up', 'down' or 'bidir'\n" +
         kClientMissing},
    {"bounceback_burst_size",
     {"-c", kHost, "--bounceback", "--burst-size", "1000"},
     kRoleMissing,
     "WARN: options of --burst-size for bounce-back ignored, use -l sets size\n" + kClientMissing},
    {"txstart_format",
     {"-c", kHost, "--txstart-time", "noon"},
     kRoleMissing,
     "WARNING: invalid --txstart-time format\n" + kClientMissing},
    {"txdelay_junk",
     {"-c", kHost, "--txdelay-time", "1x"},
     kRoleMissing,
     "Invalid value of '1x' for --txdelay-time time\n" + kClientMissing},
    {"bounceback_txdelay_junk",
     {"-c", kHost, "--bounceback-txdelay", "x"},
     kRoleMissing,
     "Invalid value of 'x' for --bounceback-txdelay time\n" + kClientMissing},
    {"ipg_junk",
     {"-c", kHost, "-u", "--ipg", "0.5ms"},
     kRoleMissing,
     "ERRPORE: Invalid value of '0.5ms' for --ipg\n" + kClientMissing},
    {"burst_period_too_small",
     {"-c", kHost, "--burst-period", "0.000001"},
     kRoleMissing,
     "WARN: burst-period too small, must be greater than 10 usecs\n" + kClientMissing},
    {"burst_period_zero_is_silent",
     {"-c", kHost, "--burst-period", "0"},
     kRoleMissing,
     kClientMissing},
    {"run_forever",
     {"-c", kHost, "-t", "0"},
     kRoleMissing,
     "WARNING: client will send traffic forever or until an external signal (e.g. SIGINT or "
     "SIGTERM) occurs to stop it\n" +
         kClientMissing},
    {"congestion_full_duplex",
     {"-c", kHost, "-Z", "reno", "--full-duplex"},
     kRoleMissing,
     "WARNING: tcp congestion control will only be applied on transmit traffic, use -Z on the "
     "server\n" +
         kClientMissing},
    {"both_families",
     {"-c", kHost, "-4", "-6"},
     kRoleMissing,
     "WARN: both ipv4 and ipv6 set\n" + kClientMissing},
    {"client_sum_dstip",
     {"-c", kHost, "--sum-dstip"},
     kRoleMissing,
     "WARN: option of --sum-dstip not supported on the client\n" + kClientMissing},
    {"client_tos_override",
     {"-c", kHost, "--tos-override", "ef"},
     kRoleMissing,
     "WARN: option of --tos-override not supported on the client\n" + kClientMissing},
    {"client_window_clamp",
     {"-c", kHost, "--tcp-rx-window-clamp", "64K"},
     kRoleMissing,
     "WARN: option of --tcp-rx-window-clamp not supported on the client\n" + kClientMissing},
    {"client_incr_srcport",
     {"-c", kHost, "--incr-srcport"},
     kRoleMissing,
     "WARN: option of --incr-srcport requires -B bind option w/port to be set\n" + kClientMissing},
    {"burst_size_alone",
     {"-c", kHost, "-u", "--burst-size", "2M", "--burst-period", "0"},
     kRoleMissing,
     "WARN: option of --burst-size without --burst-period defaults --burst-period to 1 second\n" +
         kClientMissing},
    {"udp_write_prefetch",
     {"-c", kHost, "-u", "--tcp-write-prefetch", "16K"},
     kRoleMissing,
     "WARN: setting of option --tcp-write-prefetch is not supported with -u UDP\n" +
         kClientMissing},
    {"udp_quickack",
     {"-c", kHost, "-u", "--tcp-quickack"},
     kRoleMissing,
     "WARN: setting of option --tcp-quickack is not supported with -u UDP\n" + kClientMissing},
    {"isochronous_format",
     {"-c", kHost, "-u", "--isochronous=60"},
     kRoleMissing,
     "WARNING: Invalid --isochronous value, format is <fps>:<mean>,<variance> (e.g. "
     "60:18M,1m)\n" +
         kClientMissing},
    {"client_bind_device",
     {"-c", kHost, "-B", "127.0.0.1%lo"},
     kRoleMissing,
     "WARNING: Client cannot set bind device lo via -B consider using -c\n" + kClientMissing},
    {"client_multicast_bind",
     {"-c", kHost, "-B", "239.1.1.1"},
     kRoleMissing,
     "WARNING: Client src addr (per -B) must be ip unicast\n" + kClientMissing},
    {"server_bind_port",
     {"-s", "-B", "127.0.0.1:6000"},
     kRoleMissing,
     "WARNING: port 6000 ignored - set receive port on server via -p or -L\n" + kServerMissing},
    {"port_range_raises_parallel",
     {"-c", kHost, "-p", "5001-5004", "-P", "2"},
     kRoleMissing,
     "WARNING: port-range and -P mismatch (adjusting -P to 4)\n" + kClientMissing},
    {"parallel_widens_port_range",
     {"-c", kHost, "-p", "5001-5002", "-P", "4"},
     kRoleMissing,
     "WARNING: port-range and -P mismatch (adjusting port-range to 5001-5004)\n" + kClientMissing},
    {"link_local_without_device",
     {"-c", "fe80::1", "-V"},
     kRoleMissing,
     "WARNING: usage of ipv6 link-local requires a device specifier, e.g. fe80::1%eth0\n" +
         kClientMissing},
    {"burst_size_raised",
     {"-s", "--burst-size", "1000", "--burst-period", "0"},
     kRoleMissing,
     "WARN: option of --burst-size not supported on the server\n"
     "WARN: Setting --burst-size to 131072 because value given is smaller than -l value\n" +
         kServerMissing},
    {"server_udp_window_clamp",
     {"-s", "-u", "--tcp-rx-window-clamp", "1M"},
     kRoleMissing,
     "WARN: option of --tcp-rx-window-clamp not supported using -u UDP \n" + kServerMissing},
    {"server_warnings_in_order",
     {"-s",
      "--trip-times",
      "--tcp-write-prefetch",
      "1K",
      "--incr-srcip",
      "-b",
      "1m,1k",
      "--txstart-time",
      "1",
      "--txdelay-time",
      "1",
      "--ipg",
      "1",
      "--isochronous",
      "--full-duplex",
      "-R",
      "--incr-dstip",
      "--fq-rate",
      "1m",
      "--no-udp-fin",
      "-X",
      "--connect-retries",
      "3",
      "--near-congestion",
      "--burst-period",
      "1",
      "--burst-size",
      "200K"},
     kRoleMissing,
     "WARN: setting of option --trip-times is not supported on the server\n"
     "WARN: setting of option --tcp-write-prefetch is not supported on the server\n"
     "WARN: setting of option --incr-srcip is not supported on the server\n"
     "WARN: option of variance per -b is not supported on the server\n"
     "WARN: option of --txstart-time is not supported on the server\n"
     "WARN: option of --txdelay-time is not supported on the server\n"
     "WARN: option of --ipg is not supported on the server\n"
     "WARN: option of --isochronous is not supported on the server\n"
     "WARN: option of --full-duplex is not supported on the server\n"
     "WARN: option of --reverse is not supported on the server\n"
     "WARN: option of --incr-dstip is not supported on the server\n"
     "WARN: option of --fq-rate is not supported on the server\n"
     "WARN: option of --no-udp-fin is not supported on the server\n"
     "WARN: option of -X or --peer-detect not supported on the server\n"
     "WARN: option --connect-retries not supported on the server\n"
     "WARN: option of --near-congestion not supported on the server\n"
     "WARN: option of --burst-period can only be set on the client\n"
     "WARN: option of --burst-size not supported on the server\n" +
         kServerMissing},
    {"extra_arguments",
     {"-s", "one", "two"},
     kRoleMissing,
     kBin + ": ignoring extra argument -- one\n" + kBin + ": ignoring extra argument -- two\n" +
         kServerMissing},
    {"unknown_option",
     {"-s", "-q"},
     kRoleMissing,
     kBin + ": invalid option -- 'q'\n" + kServerMissing},
    {"missing_argument",
     {"-s", "-p"},
     kRoleMissing,
     kBin + ": option requires an argument -- 'p'\n" + kServerMissing},
    {"client_daemon_refused", {"-c", kHost, "-D"}, 0, "Toril client cannot be run as a daemon\n"},
    {"usage",
     {},
     0,
     "Usage: " + kBin + " [-s|-c host] [options]\nTry `" + kBin +
         " --help' for more information.\n"},
    {"usage_after_server_checks",
     {"--trip-times"},
     0,
     "WARN: setting of option --trip-times is not supported on the server\nUsage: " + kBin +
         " [-s|-c host] [options]\nTry `" + kBin + " --help' for more information.\n"},
};

// Environment variables: applied before the command line, values overridden, flags added.
const CliCase kEnvironment[] = {
    {"client_from_environment_counts_first",
     {"-d", "-R"},
     1,
     "ERROR: options of --full-duplex, --reverse, -d and -r are mutually exclusive\n",
     "",
     {"TORIL_CLIENT=127.0.0.1"}},
    {"empty_value_turns_a_flag_on",
     {"-X"},
     1,
     "ERROR: option of -X or --peer-detect not supported with -u UDP\n",
     "",
     {"TORIL_CLIENT=127.0.0.1", "TORIL_UDP="}},
    {"command_line_overrides_a_value",
     {"-c", kHost, "-l", "200", "-b", "1k"},
     1,
     "ERROR: option -b and -l of 200 are incompatible, consider setting -l to 125 or lower\n",
     "",
     {"TORIL_LEN=100"}},
    {"environment_value_applies",
     {"-c", kHost, "-b", "400"},
     1,
     "ERROR: option -b and -l of 100 are incompatible, consider setting -l to 50 or lower\n",
     "",
     {"TORIL_LEN=100"}},
    {"window_from_environment",
     {"-s"},
     kRoleMissing,
     "WARNING: TCP window size set to 1000 bytes. A small window size\n"
     "will give poor performance. See the Toril documentation.\n" +
         kServerMissing,
     "",
     {"TCP_WINDOW_SIZE=1000"}},
    {"compat_after_dual_in_table_order",
     {},
     kRoleMissing,
     "WARNING: option -d is not valid in compatibility mode\n" + kClientMissing,
     "",
     {"TORIL_CLIENT=127.0.0.1", "TORIL_DUALTEST=1", "TORIL_COMPAT=1"}},
};

INSTANTIATE_TEST_SUITE_P(ValueErrors, CliTable, testing::ValuesIn(kValueErrors), case_name);
INSTANTIATE_TEST_SUITE_P(CheckErrors, CliTable, testing::ValuesIn(kCheckErrors), case_name);
INSTANTIATE_TEST_SUITE_P(Warnings, CliTable, testing::ValuesIn(kWarnings), case_name);
INSTANTIATE_TEST_SUITE_P(Environment, CliTable, testing::ValuesIn(kEnvironment), case_name);

// clang-format off
const char kHelp[] = R"TXT(Usage: toril [-s|-c host] [options]
       toril [-h|--help] [-v|--version]

Client/Server:
  -b, --bandwidth #[kmgKMG | pps]  bandwidth to read/send at in bits/sec or packets/sec
  -e, --enhanced    use enhanced reporting giving more tcp/udp and traffic information
  -f, --format    [kmgKMG]   format to report: Kbits, Mbits, KBytes, MBytes
      --hide-ips           hide ip addresses and host names within outputs
  -i, --interval  #        seconds between periodic bandwidth reports
  -l, --len       #[kmKM]    length of buffer in bytes to read or write (Defaults: TCP=128K, v4 UDP=1470, v6 UDP=1450)
  -m, --print_mss          print TCP maximum segment size
  -o, --output    <filename> output the report or error message to this specified file
  -p, --port      #        client/server port to listen/send on and to connect
      --permit-key         permit key to be used to verify client and server (TCP only)
      --sum-only           output sum only reports
  -u, --udp                use UDP rather than TCP
  -w, --window    #[KM]    TCP window size (socket buffer size)
  -z, --realtime           request realtime scheduler
  -B, --bind <host>[:<port>][%<dev>] bind to <host>, ip addr (including multicast address) and optional port and device
  -C, --compatibility      for use with older versions does not sent extra msgs
  -M, --mss       #        set TCP maximum segment size using TCP_MAXSEG
  -N, --nodelay            set TCP no delay, disabling Nagle's Algorithm
  -S, --tos       #        set the socket's IP_TOS (byte) field
  -Z, --tcp-congestion <algo>  set TCP congestion control algorithm (Linux only)

Server specific:
  -p, --port      #[-#]    server port(s) to listen on/connect to
  -s, --server             run in server mode
  -1, --singleclient       run one server at a time
      --histograms         enable latency histograms
      --permit-key-timeout set the timeout for a permit key in seconds
      --tcp-rx-window-clamp set the TCP receive window clamp size in bytes
      --tap-dev   #[<dev>] use TAP device to receive at L2 layer
  -t, --time      #        time in seconds to listen for new connections as well as to receive traffic (default not set)
      --udp-histogram #,#  enable UDP latency histogram(s) with bin width and count, e.g. 1,1000=1(ms),1000(bins)
  -B, --bind <ip>[%<dev>]  bind to multicast address and optional device
  -U, --single_udp         run in single threaded UDP mode
      --sum-dstip          sum traffic threads based upon destination ip address (default is src ip)
  -D, --daemon             run the server as a daemon
  -V, --ipv6_domain        Enable IPv6 reception by setting the domain and socket to AF_INET6 (Can receive on both IPv4 and IPv6)

Client specific:
      --bounceback         request a bounceback test (use -l for size, defaults to 100 bytes)
      --bounceback-congest request a concurrent full-duplex TCP stream
      --bounceback-hold    request the server to insert a delay of n milliseconds between its read and write
      --bounceback-period  request the client schedule a send every n milliseconds
      --bounceback-no-quickack request the server not set the TCP_QUICKACK socket option (disabling TCP ACK delays) during a bounceback test
  -c, --client    <host>   run in client mode, connecting to <host>
      --connect-only       run a connect only test
      --connect-retries #  number of times to retry tcp connect
  -d, --dualtest           Do a bidirectional test simultaneously (multiple sockets)
      --fq-rate #[kmgKMG]  bandwidth to socket pacing
      --full-duplex        run full duplex test using same socket
      --ipg                set the the interpacket gap (milliseconds) for packets within an isochronous frame
      --isochronous <frames-per-second>:<mean>,<stddev> send traffic in bursts (frames - emulate video traffic)
      --incr-dstip         Increment the destination ip with parallel (-P) traffic threads
      --incr-dstport       Increment the destination port with parallel (-P) traffic threads
      --incr-srcip         Increment the source ip with parallel (-P) traffic threads
      --incr-srcport       Increment the source port with parallel (-P) traffic threads
      --local-only         Set don't route on socket
      --near-congestion=[w] Use a weighted write delay per the sampled TCP RTT (experimental)
      --no-connect-sync    No sychronization after connect when -P or parallel traffic threads
      --no-udp-fin         No final server to client stats at end of UDP test
  -n, --num       #[kmgKMG]    number of bytes to transmit (instead of -t)
  -r, --tradeoff           Do a fullduplexectional test individually
      --tcp-quickack       set the socket's TCP_QUICKACK option (off by default)
      --tcp-write-prefetch set the socket's TCP_NOTSENT_LOWAT value in bytes and use event based writes
      --tcp-write-times    measure the socket write times at the application level
  -t, --time      #        time in seconds to transmit for (default 10 secs)
      --trip-times         enable end to end measurements (requires client and server clock sync)
      --txdelay-time       time in seconds to hold back after connect and before first write
      --txstart-time       unix epoch time to schedule first write and start traffic
  -B, --bind [<ip> | <ip:port>] bind ip (and optional port) from which to source traffic
  -F, --fileinput <name>   input the data to be transmitted from a file
  -H, --ssm-host <ip>      set the SSM source, use with -B for (S,G) 
  -I, --stdin              input the data to be transmitted from stdin
  -L, --listenport #       port to receive fullduplexectional tests back on
  -P, --parallel  #        number of parallel client threads to run
  -R, --reverse            reverse the test (client receives, server sends)
  -S, --tos                IP DSCP or tos settings
  -T, --ttl       #        time-to-live, for multicast (default 1)
  -V, --ipv6_domain        Set the domain to IPv6 (send packets over IPv6)
  -X, --peer-detect        perform server version detection and version exchange

Miscellaneous:
  -x, --reportexclude [CDMSV]   exclude C(connection) D(data) M(multicast) S(settings) V(server) reports
  -y, --reportstyle C      report as a Comma-Separated Values
  -h, --help               print this message and quit
  -v, --version            print version information and quit

[kmgKMG] Indicates options that support a k,m,g,K,M or G suffix
Lowercase format characters are 10^3 based and uppercase are 2^n based
(e.g. 1k = 1000, 1K = 1024, 1m = 1,000,000 and 1M = 1,048,576)

Accepted tos values are: af11, af12, af13, af21, af22, af23, af31, af32, af33, af41, af42, af43,
cs0, cs1, cs2, cs3, cs4, cs5, cs6, cs7, ef, le, nqb, nqb2, ac_be, ac_bk, ac_vi, ac_vo, lowdelay, throughput,
reliability, or a numeric value.

The TCP window size option can be set by the environment variable
TCP_WINDOW_SIZE. Most other options can be set by an environment variable
TORIL_<long option name>, such as TORIL_BANDWIDTH.
)TXT";
// clang-format on

TEST(TorilTexts, HelpIsPrintedByteForByteOnStandardError) {
    for (const char *option : {"--help", "-h"}) {
        const RunResult r = toril({option});
        EXPECT_EQ(r.err, kHelp) << option;
        EXPECT_EQ(r.out, "") << option;
        EXPECT_EQ(r.exit_code, 1) << option;
    }
}

TEST(TorilTexts, HelpStopsBeforeLaterOptions) {
    const RunResult r = toril({"-s", "-h", "-p", "70000"});
    EXPECT_EQ(r.err, kHelp);
    EXPECT_EQ(r.exit_code, 1);
}

TEST(TorilTexts, VersionAndUsage) {
    const RunResult version = toril({"--version"});
    EXPECT_EQ(version.err, "toril version 2.1.8 (12 August 2022) pthreads\n");
    EXPECT_EQ(version.exit_code, 1);
    const RunResult usage = toril({});
    EXPECT_EQ(usage.err, "Usage: " + kBin + " [-s|-c host] [options]\nTry `" + kBin +
                             " --help' for more information.\n");
    EXPECT_EQ(usage.out, "");
    EXPECT_EQ(usage.exit_code, 0);
}

TEST(TorilOutput, RedirectedOutputSharesOneFile) {
    testsupport::TempDir dir;
    const std::string file = dir.file("out.txt");
    // A port nobody listens on: the client's reports and errors go to the file.
    const RunResult r = toril({"-c", kHost, "-p", "1", "-w", "1", "-o", file}, {},
                              std::chrono::milliseconds(3000));
    EXPECT_EQ(r.out, "Output from stdout and stderr will be redirected to file " + file + "\n");
    // The window warning comes before -o is applied; everything after lands in the file.
    EXPECT_EQ(r.err,
              "WARNING: TCP window size set to 1 bytes. A small window size\n"
              "will give poor performance. See the Toril documentation.\n");
    EXPECT_NE(testsupport::read_file(file), "");
}

TEST(TorilOutput, UnwritableOutputFileLeavesTheStreams) {
    const RunResult r = toril({"-s", "-p", "0", "-o", "/nonexistent-dir/out.txt"}, {},
                              std::chrono::milliseconds(1500));
    const std::string notice =
        "Output from stdout and stderr will be redirected to file /nonexistent-dir/out.txt\n";
    EXPECT_EQ(r.out.substr(0, notice.size()), notice);
    const std::string warning = "freopen stdout failed: No such file or directory\n";
    EXPECT_EQ(r.err.substr(0, warning.size()), warning);
}

}  // namespace
