// Command lines and environments parsed in-process: each row is what the user
// typed and the fields, flags and warnings it must leave.
#include <stdlib.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "quarvel/settings.h"
#include "tests/quarvel/record_support.h"

namespace {

using quarveltest::parse;
using quarveltest::Record;

using Check = std::function<void(const thread_Settings &)>;

struct ParseCase {
    const char *name;
    std::vector<std::string> args;
    std::string err;  // everything printed on standard error
    Check check;
};

std::ostream &operator<<(std::ostream &os, const ParseCase &c) {
    return os << c.name;
}

std::string case_name(const testing::TestParamInfo<ParseCase> &info) {
    return info.param.name;
}

class ParseTable : public testing::TestWithParam<ParseCase> {};

TEST_P(ParseTable, FieldsFlagsAndWarnings) {
    Record r;
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    parse(GetParam().args, r.s);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, GetParam().err);
    EXPECT_EQ(out, "");
    GetParam().check(*r.s);
}

const std::string kHost = "127.0.0.1";

bool has(const thread_Settings &s, uint32_t flag) {
    return (s.option_flags & flag) != 0;
}

std::string text(const char *field) {
    return field ? field : "<null>";
}

const std::string kServerOnlyL = "WARNING: option -L is not valid for server mode\n";
const std::string kUdpRaised = "WARNING: the UDP buffer was increased to 12 for proper operation\n";

std::string implied_compat(char letter) {
    return std::string("WARNING: option -") + letter + " has implied compatibility mode\n";
}

// Roles: which mode results, and the warnings when a mode is already set.
const ParseCase kModeCases[] = {
    {"no_options_keep_defaults",
     {},
     "",
     [](const thread_Settings &s) {
         EXPECT_EQ(s.thread_mode, kMode_Unknown);
         EXPECT_EQ(s.port, 5001);
         EXPECT_EQ(s.buf_len, 131072);
         EXPECT_EQ(s.amount, 1000u);
         EXPECT_EQ(s.ttl, 1);
         EXPECT_EQ(s.sock, -1);
         EXPECT_EQ(s.format, 'a');
         EXPECT_EQ(s.option_flags, OPT_STDOUT | OPT_TIME_MODE);
         EXPECT_EQ(s.nat_mode, 0);
         EXPECT_STREQ(s.hello_message, "");
         EXPECT_EQ(s.hello_message_len, 0);
         EXPECT_EQ(s.host, nullptr);
     }},
    {"nat_server",
     {"-e", "198.51.100.7", "-a", "6000"},
     "",
     [](const thread_Settings &s) {
         EXPECT_EQ(s.thread_mode, kMode_Listener);
         EXPECT_EQ(s.nat_mode, 1);
         EXPECT_EQ(text(s.nat_client_ip), "198.51.100.7");
         EXPECT_TRUE(has(s, OPT_ENHANCED));
         EXPECT_EQ(s.client_local_port, 6000);
         EXPECT_EQ(s.host, nullptr);
     }},
    {"nat_client",
     {"-E", "-a", "6000"},
     "",
     [](const thread_Settings &s) {
         EXPECT_EQ(s.thread_mode, kMode_Client);
         EXPECT_EQ(s.threads, 1);
         EXPECT_EQ(s.nat_mode, 1);
         EXPECT_EQ(s.host, nullptr);
         EXPECT_FALSE(has(s, OPT_ENHANCED));
     }},
    {"nat_client_after_client_changes_nothing",
     {"-c", kHost, "-E"},
     "",
     [](const thread_Settings &s) {
         EXPECT_EQ(s.thread_mode, kMode_Client);
         EXPECT_EQ(s.nat_mode, 0);
     }},
    {"nat_client_after_server_changes_nothing",
     {"-s", "-E"},
     "",
     [](const thread_Settings &s) {
         EXPECT_EQ(s.thread_mode, kMode_Listener);
         EXPECT_EQ(s.nat_mode, 0);
     }},
    {"client_then_server_keeps_client",
     {"-c", kHost, "-s"},
     "WARNING: option -s is not valid for client mode\n",
     [](const thread_Settings &s) {
         EXPECT_EQ(s.thread_mode, kMode_Client);
         EXPECT_EQ(text(s.host), kHost);
     }},
    {"server_then_client_keeps_listener_with_host",
     {"-s", "-c", kHost},
     "",
     [](const thread_Settings &s) {
         EXPECT_EQ(s.thread_mode, kMode_Listener);
         EXPECT_EQ(text(s.host), kHost);
         EXPECT_EQ(s.threads, 0);
     }},
    {"server_then_nat_server_warns_but_takes_the_address",
     {"-s", "-e", "198.51.100.7"},
     "WARNING: option -e is not valid for client mode\n",
     [](const thread_Settings &s) {
         EXPECT_EQ(s.thread_mode, kMode_Listener);
         EXPECT_EQ(s.nat_mode, 1);
         EXPECT_EQ(text(s.nat_client_ip), "198.51.100.7");
     }},
    {"second_client_host_replaces_the_first",
     {"-c", "127.0.0.2", "-c", kHost},
     "",
     [](const thread_Settings &s) { EXPECT_EQ(text(s.host), kHost); }},
    {"parallel_before_client_is_reset",
     {"-P", "4", "-c", kHost},
     "",
     [](const thread_Settings &s) { EXPECT_EQ(s.threads, 1); }},
    {"parallel_after_client",
     {"-c", kHost, "-P", "4"},
     "",
     [](const thread_Settings &s) { EXPECT_EQ(s.threads, 4); }},
    {"parallel_on_server_counts_tests",
     {"-s", "-P", "0"},
     "",
     [](const thread_Settings &s) { EXPECT_EQ(s.threads, 0); }},
};
INSTANTIATE_TEST_SUITE_P(Modes, ParseTable, testing::ValuesIn(kModeCases), case_name);

// The short forms -1 and -d take the next word; -z exists only as --realtime.
const ParseCase kShortFormCases[] = {
    {"dual_short_swallows_the_next_word",
     {"-c", kHost, "-d", "-t", "5"},
     "quarvel: ignoring extra argument -- 5\n",
     [](const thread_Settings &s) {
         EXPECT_EQ(s.test_mode, kTest_DualTest);
         EXPECT_FALSE(has(s, OPT_TIME_SET));
         EXPECT_EQ(s.amount, 1000u);
     }},
    {"dual_long_takes_nothing",
     {"-c", kHost, "--dualtest", "-t", "5"},
     "",
     [](const thread_Settings &s) {
         EXPECT_EQ(s.test_mode, kTest_DualTest);
         EXPECT_EQ(s.amount, 500u);
     }},
    {"singleclient_short_swallows_the_next_word",
     {"-1", "-s"},
     "",
     [](const thread_Settings &s) {
         EXPECT_TRUE(has(s, OPT_SINGLE_CLIENT));
         EXPECT_EQ(s.thread_mode, kMode_Unknown);
     }},
    {"singleclient_long",
     {"--singleclient", "-s"},
     "",
     [](const thread_Settings &s) {
         EXPECT_TRUE(has(s, OPT_SINGLE_CLIENT));
         EXPECT_EQ(s.thread_mode, kMode_Listener);
     }},
    {"short_z_is_unknown",
     {"-z"},
     "quarvel: invalid option -- 'z'\n",
     [](const thread_Settings &s) { EXPECT_FALSE(has(s, OPT_REALTIME)); }},
    {"realtime_long",
     {"--realtime"},
     "",
     [](const thread_Settings &s) { EXPECT_TRUE(has(s, OPT_REALTIME)); }},
    {"unknown_long_option_is_ignored",
     {"--bogus", "-s"},
     "quarvel: unrecognized option '--bogus'\n",
     [](const thread_Settings &s) { EXPECT_EQ(s.thread_mode, kMode_Listener); }},
    {"missing_argument_is_reported_and_ignored",
     {"-s", "-p"},
     "quarvel: option requires an argument -- 'p'\n",
     [](const thread_Settings &s) { EXPECT_EQ(s.port, 5001); }},
    {"extra_arguments_each_warned",
     {"one", "-s", "two"},
     "quarvel: ignoring extra argument -- one\nquarvel: ignoring extra argument -- two\n",
     [](const thread_Settings &s) { EXPECT_EQ(s.thread_mode, kMode_Listener); }},
    {"long_names_and_unique_prefixes",
     {"--client", kHost, "--port", "6001", "--len", "100", "--udp", "--clientlocalport", "7000",
      "--linux-congestion", "reno", "--paral", "2"},
     "",
     [](const thread_Settings &s) {
         EXPECT_EQ(s.thread_mode, kMode_Client);
         EXPECT_EQ(s.port, 6001);
         EXPECT_EQ(s.buf_len, 100);
         EXPECT_TRUE(has(s, OPT_UDP));
         EXPECT_EQ(s.client_local_port, 7000);
         EXPECT_TRUE(has(s, OPT_CONGESTION));
         EXPECT_EQ(text(s.congestion_algo), "reno");
         EXPECT_EQ(s.threads, 2);
     }},
    {"nat_long_names",
     {"--nServer", "198.51.100.7"},
     "",
     [](const thread_Settings &s) {
         EXPECT_EQ(s.thread_mode, kMode_Listener);
         EXPECT_EQ(s.nat_mode, 1);
     }},
    {"nat_client_long_name",
     {"--nClient"},
     "",
     [](const thread_Settings &s) {
         EXPECT_EQ(s.thread_mode, kMode_Client);
         EXPECT_EQ(s.nat_mode, 1);
     }},
};
INSTANTIATE_TEST_SUITE_P(ShortForms, ParseTable, testing::ValuesIn(kShortFormCases), case_name);

// Test type and compatibility mode.
const ParseCase kTestTypeCases[] = {
    {"dual_before_client_is_ignored",
     {"--dualtest", "-c", kHost},
     "WARNING: option -d is not valid for server mode\n",
     [](const thread_Settings &s) { EXPECT_EQ(s.test_mode, kTest_Normal); }},
    {"tradeoff_after_client",
     {"-c", kHost, "-r"},
     "",
     [](const thread_Settings &s) { EXPECT_EQ(s.test_mode, kTest_TradeOff); }},
    {"tradeoff_on_server",
     {"-s", "-r"},
     "WARNING: option -r is not valid for server mode\n",
     [](const thread_Settings &s) { EXPECT_EQ(s.test_mode, kTest_Normal); }},
    {"compat_after_dual_resets_it",
     {"-c", kHost, "--dualtest", "-C"},
     "WARNING: option -d is not valid in compatibility mode\n",
     [](const thread_Settings &s) {
         EXPECT_EQ(s.test_mode, kTest_Normal);
         EXPECT_TRUE(has(s, OPT_COMPAT));
     }},
    {"compat_after_tradeoff_resets_it",
     {"-c", kHost, "-r", "-C"},
     "WARNING: option -r is not valid in compatibility mode\n",
     [](const thread_Settings &s) { EXPECT_EQ(s.test_mode, kTest_Normal); }},
    {"tradeoff_after_compat_warns_and_is_kept",
     {"-c", kHost, "-C", "-r"},
     "WARNING: option -r is not valid in compatibility mode\n",
     [](const thread_Settings &s) { EXPECT_EQ(s.test_mode, kTest_TradeOff); }},
};
INSTANTIATE_TEST_SUITE_P(TestTypes, ParseTable, testing::ValuesIn(kTestTypeCases), case_name);

// Protocol, length and rate, in both orders.
const ParseCase kLengthCases[] = {
    {"udp_defaults",
     {"-u"},
     "",
     [](const thread_Settings &s) {
         EXPECT_TRUE(has(s, OPT_UDP));
         EXPECT_EQ(s.buf_len, 1470);
         EXPECT_EQ(s.rate, 1048576u);
         EXPECT_FALSE(has(s, OPT_LEN_SET));
     }},
    {"len_40_then_udp_implies_compat_for_u",
     {"-l", "40", "-u"},
     implied_compat('u'),
     [](const thread_Settings &s) {
         EXPECT_TRUE(has(s, OPT_COMPAT));
         EXPECT_EQ(s.buf_len, 40);
     }},
    {"udp_then_len_8_raises_and_implies_compat_for_l",
     {"-u", "-l", "8"},
     kUdpRaised + implied_compat('l'),
     [](const thread_Settings &s) {
         EXPECT_EQ(s.buf_len, 12);
         EXPECT_TRUE(has(s, OPT_COMPAT));
     }},
    {"udp_then_len_negative_is_raised",
     {"-u", "-l", "-5"},
     kUdpRaised + implied_compat('l'),
     [](const thread_Settings &s) { EXPECT_EQ(s.buf_len, 12); }},
    {"len_8_then_udp_is_raised_too",
     {"-l", "8", "-u"},
     implied_compat('l') + kUdpRaised,
     [](const thread_Settings &s) {
         EXPECT_EQ(s.buf_len, 12);
         EXPECT_TRUE(has(s, OPT_COMPAT));
     }},
    {"udp_len_48_keeps_the_header",
     {"-u", "-l", "48"},
     "",
     [](const thread_Settings &s) { EXPECT_FALSE(has(s, OPT_COMPAT)); }},
    {"udp_len_47_implies_compat",
     {"-u", "-l", "47"},
     implied_compat('l'),
     [](const thread_Settings &s) { EXPECT_TRUE(has(s, OPT_COMPAT)); }},
    {"tcp_len_36_keeps_the_header",
     {"-l", "36"},
     "",
     [](const thread_Settings &s) {
         EXPECT_FALSE(has(s, OPT_COMPAT));
         EXPECT_TRUE(has(s, OPT_LEN_SET));
     }},
    {"tcp_len_35_implies_compat",
     {"-l", "35"},
     implied_compat('l'),
     [](const thread_Settings &s) { EXPECT_TRUE(has(s, OPT_COMPAT)); }},
    {"compat_first_means_no_implied_warning",
     {"-C", "-l", "20"},
     "",
     [](const thread_Settings &s) { EXPECT_EQ(s.buf_len, 20); }},
    {"len_suffixes_are_powers_of_1024",
     {"-l", "2k"},
     "",
     [](const thread_Settings &s) { EXPECT_EQ(s.buf_len, 2048); }},
    {"len_mega", {"-l", "1m"}, "", [](const thread_Settings &s) { EXPECT_EQ(s.buf_len, 1048576); }},
    {"pps_rate_after_client",
     {"-c", kHost, "-b", "100p"},
     "WARNING: option -b implies udp testing\n",
     [](const thread_Settings &s) {
         EXPECT_EQ(s.rate, 100u);
         EXPECT_EQ(s.rate_units, kRate_PPS);
         EXPECT_TRUE(has(s, OPT_UDP));
         EXPECT_TRUE(has(s, OPT_RATE_SET));
         EXPECT_EQ(s.buf_len, 1470);
     }},
    {"pps_rate_upper_case_and_fraction",
     {"-c", kHost, "-b", "2.5P"},
     "WARNING: option -b implies udp testing\n",
     [](const thread_Settings &s) {
         EXPECT_EQ(s.rate, 2u);
         EXPECT_EQ(s.rate_units, kRate_PPS);
     }},
    {"rate_keeps_an_earlier_length",
     {"-c", kHost, "-l", "2000", "-b", "100p"},
     "WARNING: option -b implies udp testing\n",
     [](const thread_Settings &s) { EXPECT_EQ(s.buf_len, 2000); }},
    {"rate_after_a_short_tcp_length_is_raised",
     {"-c", kHost, "-C", "-l", "4", "-b", "1m"},
     "WARNING: option -b implies udp testing\n" + kUdpRaised,
     [](const thread_Settings &s) { EXPECT_EQ(s.buf_len, 12); }},
    {"bit_rate_suffixes_are_powers_of_1000",
     {"-c", kHost, "-u", "-b", "10M"},
     "",
     [](const thread_Settings &s) {
         EXPECT_EQ(s.rate, 10000000u);
         EXPECT_EQ(s.rate_units, kRate_BW);
     }},
    {"rate_before_udp_survives_udp",
     {"-c", kHost, "-b", "2k", "-u"},
     "WARNING: option -b implies udp testing\n",
     [](const thread_Settings &s) { EXPECT_EQ(s.rate, 2000u); }},
    {"negative_rate_is_zero",
     {"-c", kHost, "-b", "-5"},
     "WARNING: option -b implies udp testing\n",
     [](const thread_Settings &s) { EXPECT_EQ(s.rate, 0u); }},
    {"rate_on_server_warns_twice_and_changes_nothing",
     {"-s", "-b", "5m"},
     "WARNING: option -b implies udp testing\nWARNING: option -b is not valid for server mode\n",
     [](const thread_Settings &s) {
         EXPECT_FALSE(has(s, OPT_UDP));
         EXPECT_FALSE(has(s, OPT_RATE_SET));
         EXPECT_EQ(s.rate, 0u);
     }},
};
INSTANTIATE_TEST_SUITE_P(Lengths, ParseTable, testing::ValuesIn(kLengthCases), case_name);

// Amount, time and interval.
const ParseCase kTimeCases[] = {
    {"num_bytes_clear_time_mode",
     {"-n", "10K"},
     "",
     [](const thread_Settings &s) {
         EXPECT_FALSE(has(s, OPT_TIME_MODE));
         EXPECT_EQ(s.amount, 10240u);
     }},
    {"negative_num_is_zero",
     {"-n", "-5"},
     "",
     [](const thread_Settings &s) { EXPECT_EQ(s.amount, 0u); }},
    {"time_in_hundredths",
     {"-t", "5"},
     "",
     [](const thread_Settings &s) {
         EXPECT_EQ(s.amount, 500u);
         EXPECT_TRUE(has(s, OPT_TIME_MODE));
         EXPECT_TRUE(has(s, OPT_TIME_SET));
     }},
    {"time_fraction_is_not_lost_to_rounding",
     {"-t", "1.15"},
     "",
     [](const thread_Settings &s) { EXPECT_EQ(s.amount, 115u); }},
    {"time_truncates",
     {"-t", "0.129"},
     "",
     [](const thread_Settings &s) { EXPECT_EQ(s.amount, 12u); }},
    {"time_after_num_restores_time_mode",
     {"-n", "100", "-t", "2"},
     "",
     [](const thread_Settings &s) {
         EXPECT_TRUE(has(s, OPT_TIME_MODE));
         EXPECT_EQ(s.amount, 200u);
     }},
    {"negative_time_is_zero",
     {"-t", "-3"},
     "",
     [](const thread_Settings &s) { EXPECT_EQ(s.amount, 0u); }},
    {"nan_time_is_zero",
     {"-t", "nan"},
     "",
     [](const thread_Settings &s) { EXPECT_EQ(s.amount, 0u); }},
    {"huge_time_fits_the_header",
     {"-t", "1e300"},
     "",
     [](const thread_Settings &s) { EXPECT_EQ(s.amount, static_cast<uint64_t>(INT32_MAX)); }},
    {"tiny_interval_is_raised_with_enhanced_reports",
     {"-i", "0.001"},
     "WARNING: interval too small, increasing from 0.001 to 5 milliseconds.\n",
     [](const thread_Settings &s) {
         EXPECT_DOUBLE_EQ(s.interval, 0.005);
         EXPECT_TRUE(has(s, OPT_ENHANCED));
     }},
    {"interval_below_half_a_second_is_enhanced",
     {"-i", "0.25"},
     "",
     [](const thread_Settings &s) {
         EXPECT_DOUBLE_EQ(s.interval, 0.25);
         EXPECT_TRUE(has(s, OPT_ENHANCED));
     }},
    {"interval_of_a_second",
     {"-i", "1"},
     "",
     [](const thread_Settings &s) {
         EXPECT_DOUBLE_EQ(s.interval, 1.0);
         EXPECT_FALSE(has(s, OPT_ENHANCED));
     }},
    {"interval_junk_reads_as_zero",
     {"-i", "abc"},
     "WARNING: interval too small, increasing from 0.000 to 5 milliseconds.\n",
     [](const thread_Settings &s) { EXPECT_DOUBLE_EQ(s.interval, 0.005); }},
    {"interval_nan_reads_as_zero",
     {"-i", "nan"},
     "WARNING: interval too small, increasing from 0.000 to 5 milliseconds.\n",
     [](const thread_Settings &s) { EXPECT_DOUBLE_EQ(s.interval, 0.005); }},
    {"interval_infinite_is_bounded",
     {"-i", "inf"},
     "",
     [](const thread_Settings &s) { EXPECT_DOUBLE_EQ(s.interval, INT32_MAX); }},
};
INSTANTIATE_TEST_SUITE_P(Times, ParseTable, testing::ValuesIn(kTimeCases), case_name);

// Ports, addresses and multicast detection.
const ParseCase kAddressCases[] = {
    {"port", {"-p", "7001"}, "", [](const thread_Settings &s) { EXPECT_EQ(s.port, 7001); }},
    {"listen_port_on_client",
     {"-c", kHost, "-L", "6002"},
     "",
     [](const thread_Settings &s) { EXPECT_EQ(s.listen_port, 6002); }},
    {"listen_port_on_server_warns",
     {"-s", "-L", "6002"},
     kServerOnlyL,
     [](const thread_Settings &s) { EXPECT_EQ(s.listen_port, 0); }},
    {"client_local_port_limits",
     {"-a", "65535"},
     "",
     [](const thread_Settings &s) { EXPECT_EQ(s.client_local_port, 65535); }},
    {"multicast_client",
     {"-c", "239.1.1.1"},
     "",
     [](const thread_Settings &s) { EXPECT_TRUE(has(s, OPT_MULTICAST)); }},
    {"unicast_client",
     {"-c", kHost},
     "",
     [](const thread_Settings &s) { EXPECT_FALSE(has(s, OPT_MULTICAST)); }},
    {"ipv6_multicast_found_when_ipv6_follows",
     {"-c", "ff02::1", "-V"},
     "",
     [](const thread_Settings &s) {
         EXPECT_TRUE(has(s, OPT_IPV6));
         EXPECT_TRUE(has(s, OPT_MULTICAST));
     }},
    {"ipv6_multicast_missed_without_ipv6",
     {"-c", "ff02::1"},
     "",
     [](const thread_Settings &s) { EXPECT_FALSE(has(s, OPT_MULTICAST)); }},
    {"ipv6_first_resolves_as_ipv6",
     {"-V", "-c", "ff02::1"},
     "",
     [](const thread_Settings &s) { EXPECT_TRUE(has(s, OPT_MULTICAST)); }},
    {"nat_client_is_not_resolved_again",
     {"-E", "-c", "ff02::1", "-V"},
     "",
     [](const thread_Settings &s) { EXPECT_FALSE(has(s, OPT_MULTICAST)); }},
    {"bind_host_and_port",
     {"-B", "127.0.0.1:6000"},
     "",
     [](const thread_Settings &s) {
         EXPECT_EQ(text(s.local_host), "127.0.0.1");
         EXPECT_EQ(s.bind_port, 6000);
         EXPECT_FALSE(has(s, OPT_MULTICAST));
     }},
    {"bind_multicast_group",
     {"-B", "239.1.1.1"},
     "",
     [](const thread_Settings &s) {
         EXPECT_EQ(text(s.local_host), "239.1.1.1");
         EXPECT_EQ(s.bind_port, 0);
         EXPECT_TRUE(has(s, OPT_MULTICAST));
     }},
    {"bind_ipv6_address_is_not_split",
     {"-B", "::1"},
     "",
     [](const thread_Settings &s) {
         EXPECT_EQ(text(s.local_host), "::1");
         EXPECT_EQ(s.bind_port, 0);
     }},
    {"bind_bracketed_ipv6_with_port",
     {"-V", "-B", "[ff02::1]:7000"},
     "",
     [](const thread_Settings &s) {
         EXPECT_EQ(text(s.local_host), "ff02::1");
         EXPECT_EQ(s.bind_port, 7000);
         EXPECT_TRUE(has(s, OPT_MULTICAST));
     }},
    {"bind_port_only",
     {"-B", ":6000"},
     "",
     [](const thread_Settings &s) {
         EXPECT_EQ(s.local_host, nullptr);
         EXPECT_EQ(s.bind_port, 6000);
     }},
};
INSTANTIATE_TEST_SUITE_P(Addresses, ParseTable, testing::ValuesIn(kAddressCases), case_name);

// Texts, sizes, flags and reports.
const ParseCase kOtherCases[] = {
    {"plain_flags",
     {"-C", "-D", "-N", "-m", "-U", "-R"},
     "",
     [](const thread_Settings &s) {
         EXPECT_EQ(s.option_flags, OPT_STDOUT | OPT_TIME_MODE | OPT_COMPAT | OPT_DAEMON |
                                       OPT_NODELAY | OPT_PRINT_MSS | OPT_SINGLE_UDP | 0x80u);
     }},
    {"suggest_window_is_not_available",
     {"-W"},
     "The -W option is not available in this release\n",
     [](const thread_Settings &s) { EXPECT_TRUE(has(s, OPT_SUGGEST_WIN)); }},
    {"format_letter", {"-f", "M"}, "", [](const thread_Settings &s) { EXPECT_EQ(s.format, 'M'); }},
    {"empty_format_keeps_the_default",
     {"-f", ""},
     "",
     [](const thread_Settings &s) { EXPECT_EQ(s.format, 'a'); }},
    {"output_file",
     {"-o", "out.txt"},
     "",
     [](const thread_Settings &s) {
         EXPECT_EQ(text(s.output_file), "out.txt");
         EXPECT_FALSE(has(s, OPT_STDOUT));
     }},
    {"file_input_on_client",
     {"-c", kHost, "-F", "data.bin"},
     "",
     [](const thread_Settings &s) {
         EXPECT_EQ(text(s.input_file), "data.bin");
         EXPECT_TRUE(has(s, OPT_FILE_INPUT));
     }},
    {"file_input_on_server_warns",
     {"-s", "-F", "data.bin"},
     "WARNING: option -F is not valid for server mode\n",
     [](const thread_Settings &s) {
         EXPECT_EQ(s.input_file, nullptr);
         EXPECT_FALSE(has(s, OPT_FILE_INPUT));
     }},
    {"stdin_input_on_client",
     {"-c", kHost, "-I"},
     "",
     [](const thread_Settings &s) {
         EXPECT_EQ(text(s.input_file), "<stdin>");
         EXPECT_TRUE(has(s, OPT_FILE_INPUT));
         EXPECT_TRUE(has(s, OPT_STDIN));
     }},
    {"stdin_input_before_client_warns",
     {"-I", "-c", kHost},
     "WARNING: option -I is not valid for server mode\n",
     [](const thread_Settings &s) { EXPECT_FALSE(has(s, OPT_STDIN)); }},
    {"small_window_warns",
     {"-w", "1000"},
     "WARNING: TCP window size set to 1000 bytes. A small window size\nwill give poor "
     "performance. See the Toril documentation.\n",
     [](const thread_Settings &s) { EXPECT_EQ(s.window_size, 1000); }},
    {"window_in_kilobytes",
     {"-w", "64k"},
     "",
     [](const thread_Settings &s) { EXPECT_EQ(s.window_size, 65536); }},
    {"huge_window_is_clamped",
     {"-w", "99999999999G"},
     "",
     [](const thread_Settings &s) { EXPECT_EQ(s.window_size, INT32_MAX); }},
    {"mss_size", {"-M", "1k"}, "", [](const thread_Settings &s) { EXPECT_EQ(s.mss, 1024); }},
    {"tos_hexadecimal", {"-S", "0x10"}, "", [](const thread_Settings &s) { EXPECT_EQ(s.tos, 16); }},
    {"tos_octal", {"-S", "020"}, "", [](const thread_Settings &s) { EXPECT_EQ(s.tos, 16); }},
    {"tos_decimal", {"-S", "16"}, "", [](const thread_Settings &s) { EXPECT_EQ(s.tos, 16); }},
    {"ttl", {"-T", "5"}, "", [](const thread_Settings &s) { EXPECT_EQ(s.ttl, 5); }},
    {"congestion",
     {"-Z", "cubic"},
     "",
     [](const thread_Settings &s) {
         EXPECT_TRUE(has(s, OPT_CONGESTION));
         EXPECT_EQ(text(s.congestion_algo), "cubic");
     }},
    {"report_exclusions_in_either_case",
     {"-x", "cDmSv"},
     "",
     [](const thread_Settings &s) {
         EXPECT_EQ(s.option_flags & ~(OPT_STDOUT | OPT_TIME_MODE),
                   OPT_NO_CONN_REPORT | OPT_NO_DATA_REPORT | OPT_NO_MCAST_REPORT |
                       OPT_NO_SETTINGS_REPORT | OPT_NO_SERVER_REPORT);
     }},
    {"unknown_report_exclusion_warns_and_the_rest_applies",
     {"-x", "Qc"},
     "WARNING: unknown reporting type \"Q\", ignored\n valid options are:\n\t exclude: "
     "C(connection) D(data) M(multicast) S(settings) V(server) report\n\n",
     [](const thread_Settings &s) { EXPECT_TRUE(has(s, OPT_NO_CONN_REPORT)); }},
    {"csv_style",
     {"-y", "csv"},
     "",
     [](const thread_Settings &s) {
         EXPECT_EQ(s.report_mode, kReport_CSV);
         EXPECT_FALSE(has(s, OPT_NO_SETTINGS_REPORT));
     }},
    {"unknown_style_warns",
     {"-y", "xml"},
     "WARNING: unknown reporting style \"xml\", switching to default\n",
     [](const thread_Settings &s) { EXPECT_EQ(s.report_mode, kReport_Default); }},
};
INSTANTIATE_TEST_SUITE_P(Others, ParseTable, testing::ValuesIn(kOtherCases), case_name);

// The environment: every TORIL_* variable is cleared before and after each case.
class Environment : public testing::Test {
  protected:
    static constexpr const char *kNames[] = {
        "TORIL_SINGLECLIENT",
        "TORIL_CLIENTLOCALPORT",
        "TORIL_BANDWIDTH",
        "TORIL_CLIENT",
        "TORIL_DUALTEST",
        "TORIL_NSERVER",
        "TORIL_NCLIENT",
        "TORIL_FORMAT",
        "TORIL_INTERVAL",
        "TORIL_LEN",
        "TORIL_PRINT_MSS",
        "TORIL_NUM",
        "TORIL_PORT",
        "TORIL_TRADEOFF",
        "TORIL_SERVER",
        "TORIL_TIME",
        "TORIL_UDP",
        "TCP_WINDOW_SIZE",
        "TORIL_REPORTEXCLUDE",
        "TORIL_REPORTSTYLE",
        "TORIL_BIND",
        "TORIL_COMPAT",
        "TORIL_DAEMON",
        "TORIL_FILE_INPUT",
        "TORIL_STDIN_INPUT",
        "TORIL_MSS",
        "TORIL_NODELAY",
        "TORIL_LISTENPORT",
        "TORIL_PARALLEL",
        "TORIL_TOS",
        "TORIL_TTL",
        "TORIL_SINGLE_UDP",
        "TORIL_IPV6_DOMAIN",
        "TORIL_SUGGEST_WIN_SIZE",
        "TORIL_CONGESTION_CONTROL",
        "quarvel_SERVER",
        "TORIL_REALTIME",
        "TORIL_OUTPUT",
    };
    void SetUp() override { clear(); }
    void TearDown() override { clear(); }
    static void clear() {
        for (const char *name : kNames) unsetenv(name);
    }

    // Environment first, then the command line, as main does; returns stderr.
    std::string read(const std::vector<std::pair<const char *, const char *>> &env,
                     const std::vector<std::string> &args = {}) {
        for (const auto &[name, value] : env) setenv(name, value, 1);
        testing::internal::CaptureStderr();
        Settings_ParseEnvironment(r.s);
        parse(args, r.s);
        return testing::internal::GetCapturedStderr();
    }

    Record r;
};

TEST_F(Environment, CommandLineOverridesTheEnvironment) {
    EXPECT_EQ(read({{"TORIL_PORT", "6001"}}, {"-p", "7001"}), "");
    EXPECT_EQ(r.s->port, 7001);
}

TEST_F(Environment, ValuesApplyLikeOptions) {
    EXPECT_EQ(read({{"TORIL_PORT", "6001"},
                    {"TCP_WINDOW_SIZE", "64K"},
                    {"TORIL_TIME", "3"},
                    {"TORIL_FORMAT", "k"},
                    {"TORIL_CONGESTION_CONTROL", "reno"},
                    {"TORIL_REPORTEXCLUDE", "S"}}),
              "");
    EXPECT_EQ(r.s->port, 6001);
    EXPECT_EQ(r.s->window_size, 65536);
    EXPECT_EQ(r.s->amount, 300u);
    EXPECT_EQ(r.s->format, 'k');
    EXPECT_STREQ(r.s->congestion_algo, "reno");
    EXPECT_TRUE(has(*r.s, OPT_NO_SETTINGS_REPORT));
}

TEST_F(Environment, FlagVariablesTakeAnyValue) {
    EXPECT_EQ(read({{"TORIL_UDP", ""},
                    {"TORIL_SINGLECLIENT", "no"},
                    {"TORIL_NODELAY", "0"},
                    {"TORIL_IPV6_DOMAIN", "1"},
                    {"TORIL_SERVER", "x"}}),
              "");
    EXPECT_TRUE(has(*r.s, OPT_UDP));
    EXPECT_TRUE(has(*r.s, OPT_SINGLE_CLIENT));
    EXPECT_TRUE(has(*r.s, OPT_NODELAY));
    EXPECT_TRUE(has(*r.s, OPT_IPV6));
    EXPECT_EQ(r.s->thread_mode, kMode_Listener);
}

// The table order matters: the client is read before the options that need it.
TEST_F(Environment, ClientIsReadBeforeClientOnlyVariables) {
    EXPECT_EQ(read({{"TORIL_PARALLEL", "3"},
                    {"TORIL_DUALTEST", "1"},
                    {"TORIL_CLIENT", "127.0.0.1"},
                    {"TORIL_LISTENPORT", "6010"}}),
              "");
    EXPECT_EQ(r.s->thread_mode, kMode_Client);
    EXPECT_EQ(r.s->threads, 3);
    EXPECT_EQ(r.s->test_mode, kTest_DualTest);
    EXPECT_EQ(r.s->listen_port, 6010);
}

TEST_F(Environment, LengthIsReadBeforeUdp) {
    EXPECT_EQ(read({{"TORIL_UDP", "1"}, {"TORIL_LEN", "4"}}), implied_compat('l') + kUdpRaised);
    EXPECT_EQ(r.s->buf_len, 12);
}

TEST_F(Environment, NatServerFromTheEnvironment) {
    EXPECT_EQ(read({{"TORIL_NSERVER", "198.51.100.7"}, {"TORIL_CLIENTLOCALPORT", "6000"}}), "");
    EXPECT_EQ(r.s->thread_mode, kMode_Listener);
    EXPECT_EQ(r.s->nat_mode, 1);
    EXPECT_EQ(r.s->client_local_port, 6000);
}

TEST_F(Environment, NamesOutsideTheTableAreNotRead) {
    EXPECT_EQ(read({{"quarvel_SERVER", "1"}, {"TORIL_REALTIME", "1"}, {"TORIL_OUTPUT", "x"}}), "");
    EXPECT_EQ(r.s->thread_mode, kMode_Unknown);
    EXPECT_EQ(r.s->option_flags, OPT_STDOUT | OPT_TIME_MODE);
}

// The scanner restarts on every parse, so a second command line starts clean.
TEST(CommandLine, SecondParseStartsFromTheFirstWord) {
    Record first;
    parse({"-s", "-p", "6001"}, first.s);
    Record second;
    parse({"-p", "6002", "-u"}, second.s);
    EXPECT_EQ(second.s->port, 6002);
    EXPECT_TRUE(has(*second.s, OPT_UDP));
    EXPECT_EQ(second.s->thread_mode, kMode_Unknown);
}

}  // namespace
