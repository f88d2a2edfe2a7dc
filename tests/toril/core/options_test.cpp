// Command lines parsed in-process: each row is a command line and the fields
// and flags it must leave in the record after the option checks.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "toril/core/settings.h"

namespace {

// Owns a record made by new + Settings_Initialize.
struct Record {
    thread_Settings *s = new thread_Settings;
    Record() { Settings_Initialize(s); }
    ~Record() { Settings_Destroy(s); }
};

void parse(const std::vector<std::string> &args, thread_Settings *s) {
    std::vector<std::string> words = {"toril"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    optind = 0;
    Settings_ParseCommandLine(static_cast<int>(words.size()), argv.data(), s);
}

using Check = std::function<void(const thread_Settings &)>;

struct ParseCase {
    const char *name;
    std::vector<std::string> args;
    Check check;
};

std::ostream &operator<<(std::ostream &os, const ParseCase &c) {
    return os << c.name;
}

class ParseTable : public testing::TestWithParam<ParseCase> {};

TEST_P(ParseTable, FieldsAndFlags) {
    Record r;
    testing::internal::CaptureStderr();
    parse(GetParam().args, r.s);
    testing::internal::GetCapturedStderr();
    GetParam().check(*r.s);
}

const std::string kHost = "127.0.0.1";

// seconds "." six-digit microseconds "-" 16 alphanumerics
bool is_generated_key(const std::string &key) {
    const size_t dot = key.find('.');
    const size_t dash = key.find('-');
    if (dot == 0 || dot == std::string::npos || dash != dot + 7 || key.size() != dash + 17) {
        return false;
    }
    for (size_t i = 0; i < key.size(); ++i) {
        const bool digit = isdigit(static_cast<unsigned char>(key[i]));
        if (i < dot || (i > dot && i < dash)) {
            if (!digit) return false;
        } else if (i > dash && !isalnum(static_cast<unsigned char>(key[i]))) {
            return false;
        }
    }
    return true;
}

// Mode and ordering rules: -c makes a client only from the unknown mode.
const ParseCase kModeCases[] = {
    {"no_options_keep_defaults",
     {},
     [](const thread_Settings &s) {
         EXPECT_EQ(s.thread_mode, kMode_Unknown);
         EXPECT_EQ(s.port, 5001);
         EXPECT_EQ(s.port_last, 5001);
         EXPECT_EQ(s.buf_len, 131072);
         EXPECT_EQ(s.amount, 1000u);
         EXPECT_EQ(s.option_flags, OPT_TIME_MODE | OPT_STDOUT);
     }},
    {"parallel_before_client_is_reset",
     {"-P", "4", "-c", kHost},
     [](const thread_Settings &s) {
         EXPECT_EQ(s.thread_mode, kMode_Client);
         EXPECT_EQ(s.threads, 1);
     }},
    {"parallel_after_client",
     {"-c", kHost, "-P", "4"},
     [](const thread_Settings &s) { EXPECT_EQ(s.threads, 4); }},
    {"dual_before_client_is_ignored",
     {"-d", "-c", kHost},
     [](const thread_Settings &s) { EXPECT_EQ(s.test_mode, kTest_Normal); }},
    {"dual_after_client",
     {"-c", kHost, "-d"},
     [](const thread_Settings &s) { EXPECT_EQ(s.test_mode, kTest_DualTest); }},
    {"tradeoff_after_client",
     {"-c", kHost, "-r"},
     [](const thread_Settings &s) { EXPECT_EQ(s.test_mode, kTest_TradeOff); }},
    {"compat_after_dual_resets_it",
     {"-c", kHost, "-d", "-C"},
     [](const thread_Settings &s) {
         EXPECT_EQ(s.test_mode, kTest_Normal);
         EXPECT_TRUE(s.option_flags & OPT_COMPAT);
     }},
    {"server_then_client_stays_listener_with_host",
     {"-s", "-c", kHost},
     [](const thread_Settings &s) {
         EXPECT_EQ(s.thread_mode, kMode_Listener);
         EXPECT_STREQ(s.host, "127.0.0.1");
     }},
    {"client_then_server_stays_client",
     {"-c", kHost, "-s"},
     [](const thread_Settings &s) { EXPECT_EQ(s.thread_mode, kMode_Client); }},
    {"compat_with_peer_detect_is_accepted",
     {"-c", kHost, "-C", "-X"},
     [](const thread_Settings &s) {
         EXPECT_TRUE(s.option_flags & OPT_COMPAT);
         EXPECT_TRUE(s.test_flags & TEST_PEER_DETECT);
     }},
    {"client_only_file_input",
     {"-c", kHost, "-F", "data.bin"},
     [](const thread_Settings &s) {
         EXPECT_TRUE(s.option_flags & OPT_FILE_INPUT);
         EXPECT_STREQ(s.input_file, "data.bin");
     }},
    {"file_input_on_server_is_ignored",
     {"-s", "-F", "data.bin", "-I"},
     [](const thread_Settings &s) {
         EXPECT_EQ(s.option_flags & OPT_FILE_INPUT, 0u);
         EXPECT_EQ(s.input_file, nullptr);
     }},
    {"stdin_input",
     {"-c", kHost, "-I"},
     [](const thread_Settings &s) {
         EXPECT_TRUE(s.option_flags & OPT_STDIN);
         EXPECT_STREQ(s.input_file, "<stdin>");
     }},
    {"ssm_source_on_server",
     {"-s", "-H", "10.0.0.1"},
     [](const thread_Settings &s) {
         EXPECT_STREQ(s.ssm_source, "10.0.0.1");
         EXPECT_TRUE(s.option_flags & OPT_SSM);
     }},
    {"first_bind_wins",
     {"-s", "-B", "127.0.0.1", "-B", "127.0.0.2"},
     [](const thread_Settings &s) { EXPECT_STREQ(s.local_host, "127.0.0.1"); }},
    {"single_udp_sets_three_flags",
     {"-s", "-U"},
     [](const thread_Settings &s) {
         EXPECT_EQ(s.option_flags & (OPT_SINGLE_UDP | OPT_SINGLE_CLIENT | OPT_UDP),
                   OPT_SINGLE_UDP | OPT_SINGLE_CLIENT | OPT_UDP);
     }},
    {"both_families_cancel",
     {"-s", "-4", "-6"},
     [](const thread_Settings &s) {
         EXPECT_EQ(s.option_flags & OPT_IPV6, 0u);
         EXPECT_EQ(s.extra_flags & EXT_IPV4, 0u);
     }},
    {"abbreviated_long_options",
     {"--cli", kHost, "--para=3", "--udp-histogram=1m,100"},
     [](const thread_Settings &s) {
         EXPECT_EQ(s.threads, 3);
         EXPECT_TRUE(s.test_flags & TEST_HISTOGRAM);
         EXPECT_EQ(s.histogram_bins, 100);
     }},
};

// Numbers with units, ranges and the defaults that depend on them.
const ParseCase kNumberCases[] = {
    {"len_with_unit",
     {"-c", kHost, "-l", "10K"},
     [](const thread_Settings &s) {
         EXPECT_EQ(s.buf_len, 10240);
         EXPECT_TRUE(s.option_flags & OPT_LEN_SET);
     }},
    {"num_bytes_leaves_time_mode",
     {"-c", kHost, "-n", "1.5M"},
     [](const thread_Settings &s) {
         EXPECT_EQ(s.amount, 1572864u);
         EXPECT_EQ(s.option_flags & OPT_TIME_MODE, 0u);
     }},
    {"time_in_hundredths",
     {"-c", kHost, "-t", "1.15"},
     [](const thread_Settings &s) {
         EXPECT_EQ(s.amount, 115u);
         EXPECT_TRUE(s.option_flags & OPT_TIME_SET);
     }},
    {"time_zero_runs_forever",
     {"-c", kHost, "-t", "0"},
     [](const thread_Settings &s) {
         EXPECT_TRUE(s.test_flags & TEST_INFINITE);
         EXPECT_EQ(s.option_flags & OPT_TIME_MODE, 0u);
     }},
    {"negative_time_runs_forever",
     {"-c", kHost, "-t", "-1"},
     [](const thread_Settings &s) { EXPECT_TRUE(s.test_flags & TEST_INFINITE); }},
    {"server_listen_time",
     {"-s", "-t", "30"},
     [](const thread_Settings &s) {
         EXPECT_EQ(s.amount, 3000u);
         EXPECT_TRUE(s.option_flags & OPT_TIME_SET);
         EXPECT_EQ(s.test_flags & TEST_INFINITE, 0u);
     }},
    {"interval_too_small_is_raised",
     {"-c", kHost, "-i", "0.001"},
     [](const thread_Settings &s) {
         EXPECT_EQ(s.interval_usec, 5000u);
         EXPECT_EQ(s.interval_mode, kInterval_Time);
     }},
    {"interval_zero_is_the_longest",
     {"-c", kHost, "-i", "0"},
     [](const thread_Settings &s) { EXPECT_EQ(s.interval_usec, 4294967295u); }},
    {"interval_tenth_is_exact",
     {"-c", kHost, "-i", "0.1"},
     [](const thread_Settings &s) { EXPECT_EQ(s.interval_usec, 100000u); }},
    {"interval_fraction_of_a_microsecond_rounds_up",
     {"-c", kHost, "-i", "0.0100005"},
     [](const thread_Settings &s) { EXPECT_EQ(s.interval_usec, 10001u); }},
    {"interval_maximum",
     {"-c", kHost, "-i", "4294.967295"},
     [](const thread_Settings &s) { EXPECT_EQ(s.interval_usec, 4294967295u); }},
    {"interval_by_frames",
     {"-c", kHost, "-i", "f"},
     [](const thread_Settings &s) {
         EXPECT_EQ(s.interval_mode, kInterval_Frames);
         EXPECT_TRUE(s.option_flags & OPT_ENHANCED);
         EXPECT_TRUE(s.test_flags & TEST_FRAME_INTERVAL);
     }},
    {"packet_rate",
     {"-c", kHost, "-u", "-b", "100pps"},
     [](const thread_Settings &s) {
         EXPECT_EQ(s.rate, 100u);
         EXPECT_EQ(s.rate_units, kRate_PPS);
     }},
    {"rate_with_variance",
     {"-c", kHost, "-b", "10m,2m"},
     [](const thread_Settings &s) {
         EXPECT_EQ(s.rate, 10000000u);
         EXPECT_EQ(s.variance, 2000000.0);
         EXPECT_TRUE(s.test_flags & TEST_RATE_VARIANCE);
         EXPECT_TRUE(s.option_flags & OPT_RATE_SET);
     }},
    {"udp_defaults",
     {"-c", kHost, "-u"},
     [](const thread_Settings &s) {
         EXPECT_EQ(s.rate, 1048576u);
         EXPECT_EQ(s.buf_len, 1470);
     }},
    {"udp_over_ipv6_client",
     {"-c", "::1", "-V", "-u"},
     [](const thread_Settings &s) { EXPECT_EQ(s.buf_len, 1450); }},
    {"udp_over_ipv6_server",
     {"-s", "-V", "-u"},
     [](const thread_Settings &s) { EXPECT_EQ(s.buf_len, 1470); }},
    {"port_range_raises_parallel",
     {"-c", kHost, "-p", "5001-5004", "-P", "2"},
     [](const thread_Settings &s) {
         EXPECT_EQ(s.port, 5001);
         EXPECT_EQ(s.port_last, 5004);
         EXPECT_EQ(s.threads, 4);
         EXPECT_TRUE(s.test_flags & TEST_INCR_DSTPORT);
     }},
    {"parallel_beyond_range_widens_it",
     {"-c", kHost, "-p", "5001-5002", "-P", "4"},
     [](const thread_Settings &s) {
         EXPECT_EQ(s.threads, 4);
         EXPECT_EQ(s.port_last, 5004);
     }},
    {"huge_parallel_caps_the_range",
     {"-c", kHost, "-p", "5001-5002", "-P", "99999999999"},
     [](const thread_Settings &s) {
         EXPECT_EQ(s.threads, INT32_MAX);
         EXPECT_EQ(s.port_last, 65535);
     }},
    {"server_port_range",
     {"-s", "-p", "6001-6003"},
     [](const thread_Settings &s) {
         EXPECT_EQ(s.port, 6001);
         EXPECT_EQ(s.port_last, 6003);
     }},
    {"window_and_mss",
     {"-c", kHost, "-w", "64K", "-M", "1400"},
     [](const thread_Settings &s) {
         EXPECT_EQ(s.window_size, 65536);
         EXPECT_EQ(s.mss, 1400);
         EXPECT_TRUE(s.test_flags & TEST_MSS_SET);
         EXPECT_TRUE(s.option_flags & OPT_PRINT_MSS);
     }},
    {"huge_numbers_are_clamped",
     {"-c", kHost, "-w", "100G", "-P", "99999999999", "-T", "-99999999999", "-M", "-9G"},
     [](const thread_Settings &s) {
         EXPECT_EQ(s.window_size, INT32_MAX);
         EXPECT_EQ(s.threads, INT32_MAX);
         EXPECT_EQ(s.ttl, INT32_MIN);
         EXPECT_EQ(s.mss, INT32_MIN);
     }},
    {"tos_names_and_numbers",
     {"-c", kHost, "-S", "EF", "--tos-override=0x2e"},
     [](const thread_Settings &s) {
         EXPECT_EQ(s.tos, 184);
         EXPECT_EQ(s.override_tos, 46);
         EXPECT_EQ(s.extra_flags & EXT_TOS_OVERRIDE, 0u);  // not for clients
     }},
    {"bad_tos_is_zero",
     {"-s", "-S", "af5", "--tos-override=256"},
     [](const thread_Settings &s) {
         EXPECT_EQ(s.tos, 0);
         EXPECT_EQ(s.extra_flags & EXT_TOS_OVERRIDE, 0u);
     }},
    {"server_tos_override",
     {"-s", "--tos-override", "cs1"},
     [](const thread_Settings &s) {
         EXPECT_EQ(s.override_tos, 32);
         EXPECT_TRUE(s.extra_flags & EXT_TOS_OVERRIDE);
     }},
    {"fq_rate_in_bytes",
     {"-c", kHost, "--fq-rate", "1M"},
     [](const thread_Settings &s) {
         EXPECT_EQ(s.fq_rate, 1000000u);
         EXPECT_TRUE(s.test_flags & TEST_FQ_RATE);
     }},
    {"ring_size_never_negative",
     {"-s", "--NUM_REPORT_STRUCTS=-5"},
     [](const thread_Settings &s) { EXPECT_EQ(s.num_report_structs, 0); }},
    {"ring_size_with_unit",
     {"-s", "--NUM_REPORT_STRUCTS", "2k"},
     [](const thread_Settings &s) { EXPECT_EQ(s.num_report_structs, 2000); }},
    {"server_window_clamp",
     {"-s", "--tcp-rx-window-clamp", "64K"},
     [](const thread_Settings &s) {
         EXPECT_EQ(s.rx_window_clamp, 65536);
         EXPECT_TRUE(s.extra_flags & EXT_RX_WINCLAMP);
     }},
    {"report_exclusions_any_case",
     {"-s", "-x", "cDmSv"},
     [](const thread_Settings &s) {
         const uint32_t all = OPT_NO_CONN_REPORT | OPT_NO_DATA_REPORT | OPT_NO_MCAST_REPORT |
                              OPT_NO_SETTINGS_REPORT | OPT_NO_SERVER_REPORT;
         EXPECT_EQ(s.option_flags & all, all);
     }},
    {"csv_style",
     {"-s", "-y", "c"},
     [](const thread_Settings &s) {
         EXPECT_EQ(s.report_mode, kReport_CSV);
         EXPECT_TRUE(s.option_flags & OPT_NO_SETTINGS_REPORT);
         EXPECT_TRUE(s.option_flags & OPT_NO_CONN_REPORT);
     }},
    {"format_letter",
     {"-s", "-f", "Mbits", "-f", ""},
     [](const thread_Settings &s) { EXPECT_EQ(s.format, 'M'); }},
};

// Long-only options: optional arguments, compound values and their defaults.
const ParseCase kLongCases[] = {
    {"bounceback_defaults",
     {"-c", kHost, "--bounceback"},
     [](const thread_Settings &s) {
         EXPECT_EQ(s.buf_len, 100);
         EXPECT_EQ(s.bounceback_size, 100);
         EXPECT_EQ(s.burst_size, 100);
         EXPECT_EQ(s.bounceback_count, 10);
         EXPECT_EQ(s.frame_rate, 1.0);
         EXPECT_EQ(s.interval_mode, kInterval_Time);
         EXPECT_EQ(s.interval_usec, 1000000u);
         EXPECT_TRUE(s.extra_flags & EXT_BURST);
         EXPECT_TRUE(s.extra_flags & EXT_QUICKACK);
         EXPECT_TRUE(s.option_flags & OPT_NODELAY);
     }},
    {"bounceback_count_and_period",
     {"-c", kHost, "--bounceback=5", "--bounceback-period", "0.5", "--bounceback-hold", "1.5"},
     [](const thread_Settings &s) {
         EXPECT_EQ(s.bounceback_count, 5);
         EXPECT_EQ(s.frame_rate, 2.0);
         EXPECT_EQ(s.bounceback_hold, 1500);
     }},
    {"bounceback_without_quickack",
     {"-c", kHost, "--bounceback", "--bounceback-no-quickack"},
     [](const thread_Settings &s) { EXPECT_EQ(s.extra_flags & EXT_QUICKACK, 0u); }},
    {"bounceback_zero_period_drops_bursts",
     {"-c", kHost, "--bounceback", "--bounceback-period=0"},
     [](const thread_Settings &s) {
         EXPECT_EQ(s.extra_flags & EXT_BURST, 0u);
         EXPECT_EQ(s.bounceback_count, 10);
     }},
    {"optional_argument_is_never_the_next_word",
     {"-c", kHost, "--bounceback", "5"},
     [](const thread_Settings &s) { EXPECT_EQ(s.bounceback_count, 10); }},
    {"bounceback_congest_up_with_streams",
     {"-c", kHost, "--bounceback-congest=UP,3"},
     [](const thread_Settings &s) {
         EXPECT_TRUE(s.extra_flags & EXT_BB_CONGEST_UP);
         EXPECT_EQ(s.extra_flags & EXT_BB_CONGEST_DOWN, 0u);
         EXPECT_EQ(s.bb_congest_streams, 3);
     }},
    {"bounceback_congest_unknown_keeps_both",
     {"-c", kHost, "--bounceback-congest=sideways"},
     [](const thread_Settings &s) {
         EXPECT_TRUE(s.extra_flags & EXT_BB_CONGEST_UP);
         EXPECT_TRUE(s.extra_flags & EXT_BB_CONGEST_DOWN);
     }},
    {"connect_only_without_count",
     {"-c", kHost, "--connect-only", "-x", "C"},
     [](const thread_Settings &s) {
         EXPECT_TRUE(s.test_flags & TEST_CONNECT_ONLY);
         EXPECT_EQ(s.connect_only_count, -1);
     }},
    {"connect_only_count",
     {"-c", kHost, "-x", "C", "--connect-only=5"},
     [](const thread_Settings &s) {
         EXPECT_EQ(s.connect_only_count, 5);
         EXPECT_EQ(s.option_flags & OPT_NO_CONN_REPORT, 0u);
     }},
    {"near_congestion_weights",
     {"-c", kHost, "--near-congestion=0.25"},
     [](const thread_Settings &s) {
         EXPECT_EQ(s.near_congest_weight, 0.25);
         EXPECT_TRUE(s.test_flags & TEST_NEAR_CONGESTION);
     }},
    {"near_congestion_negative_weight",
     {"-c", kHost, "--near-congestion=-1"},
     [](const thread_Settings &s) { EXPECT_EQ(s.near_congest_weight, 0.5); }},
    {"local_only_cleared_by_zero",
     {"-c", kHost, "--local-only=0"},
     [](const thread_Settings &s) { EXPECT_EQ(s.test_flags & TEST_LOCAL_ONLY, 0u); }},
    {"local_only",
     {"-c", kHost, "--local-only"},
     [](const thread_Settings &s) { EXPECT_TRUE(s.test_flags & TEST_LOCAL_ONLY); }},
    {"txstart_fraction_is_decimal",
     {"-c", kHost, "--txstart-time", "1.5"},
     [](const thread_Settings &s) {
         EXPECT_TRUE(s.test_flags & TEST_TXSTART);
         EXPECT_EQ(s.txstart_sec, 1);
         EXPECT_EQ(s.txstart_usec, 500000);
     }},
    {"txstart_microseconds",
     {"-c", kHost, "--txstart-time=7.0000019"},
     [](const thread_Settings &s) {
         EXPECT_EQ(s.txstart_sec, 7);
         EXPECT_EQ(s.txstart_usec, 1);
     }},
    {"txstart_bad_format_is_dropped",
     {"-c", kHost, "--txstart-time=soon"},
     [](const thread_Settings &s) { EXPECT_EQ(s.test_flags & TEST_TXSTART, 0u); }},
    {"txdelay_split",
     {"-c", kHost, "--txdelay-time", "2.9"},
     [](const thread_Settings &s) {
         EXPECT_TRUE(s.test_flags & TEST_TXDELAY);
         EXPECT_EQ(s.txdelay_sec, 2);
         EXPECT_EQ(s.txdelay_usec, 900000);
     }},
    {"txdelay_junk_is_not_applied",
     {"-c", kHost, "--txdelay-time", "2x"},
     [](const thread_Settings &s) { EXPECT_EQ(s.test_flags & TEST_TXDELAY, 0u); }},
    {"permit_key_cut_to_128",
     {"-c", kHost, "--permit-key=" + std::string(200, 'k')},
     [](const thread_Settings &s) {
         EXPECT_EQ(std::string(s.permit_key), std::string(128, 'k'));
         EXPECT_TRUE(s.test_flags & TEST_PERMIT_KEY);
     }},
    {"server_generates_permit_key",
     {"-s", "--permit-key"},
     [](const thread_Settings &s) {
         EXPECT_TRUE(is_generated_key(s.permit_key)) << s.permit_key;
         EXPECT_EQ(s.permit_key_timeout, 20);
         EXPECT_GT(s.key_time_sec, 0);
     }},
    {"server_permit_key_timeout",
     {"-s", "--permit-key=abcd", "--permit-key-timeout", "7.9"},
     [](const thread_Settings &s) {
         EXPECT_STREQ(s.permit_key, "abcd");
         EXPECT_EQ(s.permit_key_timeout, 7);
     }},
    {"isochronous_defaults",
     {"-c", kHost, "-u", "--isochronous"},
     [](const thread_Settings &s) {
         EXPECT_EQ(s.frame_rate, 60);
         EXPECT_EQ(s.isoch_mean, 20000000);
         EXPECT_EQ(s.burst_ipg, 0.000005);
         EXPECT_TRUE(s.test_flags & TEST_ISOCH);
         EXPECT_TRUE(s.option_flags & OPT_ENHANCED);
     }},
    {"isochronous_spec",
     {"-c", kHost, "-u", "--isochronous=30:10m,1m"},
     [](const thread_Settings &s) {
         EXPECT_EQ(s.frame_rate, 30);
         EXPECT_EQ(s.isoch_mean, 10000000);
         EXPECT_EQ(s.variance, 1000000);
     }},
    {"isochronous_packet_mean",
     {"-c", kHost, "-u", "--isochronous=30:10p"},
     [](const thread_Settings &s) { EXPECT_EQ(s.isoch_mean, 10.0 * 8 * 1470 * 30); }},
    {"isochronous_without_mean",
     {"-c", kHost, "-u", "--isochronous=24:"},
     [](const thread_Settings &s) {
         EXPECT_EQ(s.frame_rate, 24);
         EXPECT_EQ(s.isoch_mean, 20000000);
         EXPECT_EQ(s.variance, 0);
     }},
    {"isochronous_malformed_keeps_defaults",
     {"-c", kHost, "-u", "--isochronous=x:1m"},
     [](const thread_Settings &s) {
         EXPECT_EQ(s.frame_rate, 60);
         EXPECT_EQ(s.isoch_mean, 20000000);
     }},
    {"histogram_spec_in_ms",
     {"-s", "--histograms=1m,1000,1,99"},
     [](const thread_Settings &s) {
         EXPECT_EQ(s.histogram_units, 3);
         EXPECT_EQ(s.histogram_binwidth, 1);
         EXPECT_EQ(s.histogram_bins, 1000);
         EXPECT_EQ(s.histogram_ci_lower, 1);
         EXPECT_EQ(s.histogram_ci_upper, 99);
     }},
    {"histogram_without_spec",
     {"-s", "--histograms"},
     [](const thread_Settings &s) {
         EXPECT_EQ(s.histogram_units, 6);
         EXPECT_EQ(s.histogram_bins, 10000);
         EXPECT_EQ(s.histogram_binwidth, 100);
         EXPECT_EQ(s.histogram_ci_lower, 5);
         EXPECT_EQ(s.histogram_ci_upper, 95);
     }},
    {"histogram_without_unit_is_microseconds",
     {"-s", "--histograms=50,2K"},
     [](const thread_Settings &s) {
         EXPECT_EQ(s.histogram_units, 6);
         EXPECT_EQ(s.histogram_binwidth, 50);
         EXPECT_EQ(s.histogram_bins, 2048);
     }},
    {"histogram_malformed_stays_usable",
     {"-s", "--histograms=abc,-5,x,1e999"},
     [](const thread_Settings &s) {
         EXPECT_EQ(s.histogram_binwidth, 100);
         EXPECT_EQ(s.histogram_bins, 0);
         EXPECT_EQ(s.histogram_ci_lower, 5);
         EXPECT_EQ(s.histogram_ci_upper, 95);
     }},
    {"client_histogram_measures_writes",
     {"-c", kHost, "--histograms"},
     [](const thread_Settings &s) {
         EXPECT_TRUE(s.extra_flags & EXT_WRITE_TIMES);
         EXPECT_EQ(s.histogram_bins, 10000);
     }},
    {"ipg_with_junk_keeps_its_number",
     {"-c", kHost, "-u", "--ipg", "0.5x"},
     [](const thread_Settings &s) {
         EXPECT_TRUE(s.test_flags & TEST_IPG);
         EXPECT_EQ(s.burst_ipg, 0.5);
     }},
    {"burst_size_without_period",
     {"-c", kHost, "--burst-size", "2M"},
     [](const thread_Settings &s) {
         EXPECT_TRUE(s.extra_flags & EXT_BURST);
         EXPECT_EQ(s.burst_size, 2097152);
         EXPECT_EQ(s.frame_rate, 1.0);
     }},
    {"burst_period_gives_default_size",
     {"-c", kHost, "--burst-period=0.25"},
     [](const thread_Settings &s) {
         EXPECT_EQ(s.frame_rate, 4.0);
         EXPECT_EQ(s.burst_size, 1048576);
     }},
    {"tap_device",
     {"-s", "-u", "--tap-dev=tap7"},
     [](const thread_Settings &s) {
         EXPECT_STREQ(s.bind_device, "tap7");
         EXPECT_TRUE(s.extra_flags & EXT_TAP_DEV);
         EXPECT_TRUE(s.test_flags & TEST_L2CHECKS);
     }},
    {"l2checks_on_udp_client",
     {"-c", kHost, "-u", "--l2checks"},
     [](const thread_Settings &s) { EXPECT_TRUE(s.test_flags & TEST_L2CHECKS); }},
    {"hide_ips",
     {"-s", "--hide-ips"},
     [](const thread_Settings &s) { EXPECT_STREQ(s.hidden_text, "(**hidden**)"); }},
    {"full_duplex_udp_has_no_fin",
     {"-c", kHost, "-u", "--full-duplex"},
     [](const thread_Settings &s) { EXPECT_TRUE(s.test_flags & TEST_NO_UDP_FIN); }},
    {"tcp_trip_times_burst_size",
     {"-c", kHost, "--trip-times", "-l", "1000"},
     [](const thread_Settings &s) { EXPECT_EQ(s.burst_size, 1000); }},
    {"udp_short_trip_times",
     {"-c", kHost, "-u", "--trip-times", "-l", "100"},
     [](const thread_Settings &s) { EXPECT_TRUE(s.extra_flags & EXT_SMALL_TRIPTIME); }},
};

// Host texts: ports, devices, brackets and address classes.
const ParseCase kHostCases[] = {
    {"client_bind_port",
     {"-c", kHost, "-B", "127.0.0.1:6001"},
     [](const thread_Settings &s) {
         EXPECT_STREQ(s.local_host, "127.0.0.1");
         EXPECT_EQ(s.bind_port, 6001);
     }},
    {"client_bind_v6_port_after_brackets",
     {"-c", "::1", "-V", "-B", "[::1]:6002"},
     [](const thread_Settings &s) {
         EXPECT_STREQ(s.local_host, "::1");
         EXPECT_EQ(s.bind_port, 6002);
     }},
    {"unbracketed_v6_bind_has_no_port",
     {"-c", "::1", "-B", "::1"},
     [](const thread_Settings &s) {
         EXPECT_STREQ(s.local_host, "::1");
         EXPECT_EQ(s.bind_port, 0);
     }},
    {"client_bind_device_dropped",
     {"-c", kHost, "-B", "127.0.0.1%lo"},
     [](const thread_Settings &s) {
         EXPECT_EQ(s.bind_device, nullptr);
         EXPECT_STREQ(s.local_host, "127.0.0.1");
     }},
    {"incr_srcport_with_bind_port",
     {"-c", kHost, "-B", "127.0.0.1:6001", "--incr-srcport"},
     [](const thread_Settings &s) { EXPECT_TRUE(s.extra_flags & EXT_INCR_SRCPORT); }},
    {"incr_srcport_without_bind_port",
     {"-c", kHost, "--incr-srcport"},
     [](const thread_Settings &s) { EXPECT_EQ(s.extra_flags & EXT_INCR_SRCPORT, 0u); }},
    {"server_bind_device",
     {"-s", "-B", "127.0.0.1%lo"},
     [](const thread_Settings &s) {
         EXPECT_STREQ(s.bind_device, "lo");
         EXPECT_STREQ(s.local_host, "127.0.0.1");
     }},
    {"server_bind_port_ignored",
     {"-s", "-B", "127.0.0.1:7000"},
     [](const thread_Settings &s) {
         EXPECT_EQ(s.bind_port, 0);
         EXPECT_STREQ(s.local_host, "127.0.0.1");
     }},
    {"server_multicast_bind",
     {"-s", "-u", "-B", "239.1.1.1"},
     [](const thread_Settings &s) { EXPECT_TRUE(s.option_flags & OPT_MULTICAST); }},
    {"client_multicast_bind_is_not_multicast",
     {"-c", kHost, "-B", "239.1.1.1"},
     [](const thread_Settings &s) { EXPECT_EQ(s.option_flags & OPT_MULTICAST, 0u); }},
    {"client_host_brackets",
     {"-c", "[::1]", "-V"},
     [](const thread_Settings &s) {
         EXPECT_STREQ(s.host, "::1");
         EXPECT_EQ(s.peer.ss_family, AF_INET6);
     }},
    {"client_peer_resolved_with_port",
     {"-c", kHost, "-p", "6100"},
     [](const thread_Settings &s) {
         ASSERT_EQ(s.peer.ss_family, AF_INET);
         EXPECT_EQ(ntohs(reinterpret_cast<const sockaddr_in &>(s.peer).sin_port), 6100);
         EXPECT_EQ(s.peer_len, sizeof(sockaddr_in));
     }},
    {"link_local_keeps_its_device",
     {"-c", "fe80::1%lo", "-V"},
     [](const thread_Settings &s) {
         EXPECT_STREQ(s.host, "fe80::1%lo");
         EXPECT_EQ(s.host_device, nullptr);
         EXPECT_EQ(s.peer.ss_family, 0);  // resolved again at connect
     }},
    {"other_peer_keeps_host_device",
     {"-c", "127.0.0.1%lo"},
     [](const thread_Settings &s) {
         EXPECT_STREQ(s.host, "127.0.0.1");
         EXPECT_STREQ(s.host_device, "lo");
     }},
    {"multicast_client",
     {"-c", "239.1.1.1", "-u"},
     [](const thread_Settings &s) { EXPECT_TRUE(s.option_flags & OPT_MULTICAST); }},
    {"multicast_client_incrementing_destinations",
     {"-c", "239.1.1.1", "-u", "-P", "2", "--incr-dstip"},
     [](const thread_Settings &s) {
         EXPECT_TRUE(s.option_flags & OPT_MULTICAST);
         EXPECT_EQ(s.threads, 2);
     }},
};

std::string case_name(const testing::TestParamInfo<ParseCase> &info) {
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Modes, ParseTable, testing::ValuesIn(kModeCases), case_name);
INSTANTIATE_TEST_SUITE_P(Numbers, ParseTable, testing::ValuesIn(kNumberCases), case_name);
INSTANTIATE_TEST_SUITE_P(LongOptions, ParseTable, testing::ValuesIn(kLongCases), case_name);
INSTANTIATE_TEST_SUITE_P(Hosts, ParseTable, testing::ValuesIn(kHostCases), case_name);

TEST(ParseCommandLine, ExtraArgumentsAndUnknownOptionsAreReportedAndIgnored) {
    Record r;
    testing::internal::CaptureStderr();
    parse({"-c", kHost, "left", "-q", "over"}, r.s);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("invalid option -- 'q'\n"), std::string::npos) << err;
    EXPECT_NE(
        err.find(
            "toril: ignoring extra argument -- left\ntoril: ignoring extra argument -- over\n"),
        std::string::npos)
        << err;
    EXPECT_EQ(r.s->thread_mode, kMode_Client);
}

TEST(ParseCommandLine, RepeatedTextOptionsReplaceTheirValue) {
    Record r;
    testing::internal::CaptureStderr();
    parse({"-c", "127.0.0.2", "-c", kHost, "-o", "a", "-o", "b", "-Z", "reno", "-Z", "cubic"}, r.s);
    testing::internal::GetCapturedStderr();
    EXPECT_STREQ(r.s->host, "127.0.0.1");
    EXPECT_STREQ(r.s->output_file, "b");
    EXPECT_STREQ(r.s->congestion_algo, "cubic");
    EXPECT_EQ(r.s->option_flags & OPT_STDOUT, 0u);
    EXPECT_TRUE(r.s->option_flags & OPT_CONGESTION);
}

// Environment values apply first; the command line overrides values and adds flags.
TEST(ParseEnvironment, CommandLineOverridesValuesAndFlagsAccumulate) {
    const char *names[] = {"TORIL_CLIENT", "TORIL_PORT", "TORIL_NODELAY", "TCP_WINDOW_SIZE",
                           "TORIL_DUALTEST"};
    setenv("TORIL_CLIENT", "127.0.0.1", 1);
    setenv("TORIL_PORT", "6000", 1);
    setenv("TORIL_NODELAY", "", 1);  // any value turns a flag on
    setenv("TCP_WINDOW_SIZE", "256K", 1);
    setenv("TORIL_DUALTEST", "no", 1);
    Record r;
    testing::internal::CaptureStderr();
    Settings_ParseEnvironment(r.s);
    parse({"-p", "7000", "-m"}, r.s);
    testing::internal::GetCapturedStderr();
    for (const char *name : names) unsetenv(name);
    EXPECT_EQ(r.s->thread_mode, kMode_Client);
    EXPECT_EQ(r.s->port, 7000);
    EXPECT_EQ(r.s->window_size, 262144);
    EXPECT_EQ(r.s->test_mode, kTest_DualTest);
    EXPECT_TRUE(r.s->option_flags & OPT_NODELAY);
    EXPECT_TRUE(r.s->option_flags & OPT_PRINT_MSS);
}

TEST(StripV6Brackets, RemovesOnlyAClosedLeadingBracket) {
    const struct {
        const char *in;
        const char *out;
    } cases[] = {{"[::1]", "::1"},
                 {"[fe80::1]:5001", "fe80::1"},
                 {"[::1", "[::1"},
                 {"::1", "::1"},
                 {"[]", ""},
                 {"", ""},
                 {"10.0.0.1", "10.0.0.1"}};
    for (const auto &c : cases) {
        std::string text = c.in;
        strip_v6_brackets(text.data());
        EXPECT_STREQ(text.c_str(), c.out) << c.in;
    }
    strip_v6_brackets(nullptr);
}

}  // namespace
