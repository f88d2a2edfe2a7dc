// The option table, the environment table and Settings_Interpret.
//
// One getopt_long table serves the command line. Options with a short letter
// return that letter; long-only options set a pending marker of their own and
// make getopt_long return 0, and Settings_Interpret(0, ...) applies whichever
// marker is pending. Each option is a row of a handler table: the flag bits it
// sets and, where there is more to do, a small handler for its group.
//
// Every numeric value ends in a defined number: byte_atoi and friends clamp,
// the integer fields clamp to their own range, and texts that cannot be a
// length, port or time end the process with a message (status 1).
#include <getopt.h>
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "common/tos.h"
#include "common/units.h"
#include "toril/core/settings.h"
#include "toril/core/settings_markers.h"

SettingsMarkers settings_markers;

namespace {

using Apply = void (*)(const char *arg, thread_Settings *s);

struct FlagBits {
    uint32_t option;
    uint32_t test;
    uint32_t extra;
};

void set_flags(thread_Settings *s, const FlagBits &bits) {
    s->option_flags |= bits.option;
    s->test_flags |= bits.test;
    s->extra_flags |= bits.extra;
}

[[noreturn]] void fail(const char *format, const char *arg) {
    fprintf(stderr, format, arg);
    exit(1);
}

void replace_text(char **field, const char *arg) {
    free(*field);
    *field = arg ? strdup(arg) : nullptr;
}

int32_t clamp_i32(int64_t value) {
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}

// Base-10 integer as strtol reads it (leading part, 0 for no number), clamped.
int32_t plain_int(const char *arg) {
    return clamp_i32(strtoll(arg ? arg : "", nullptr, 10));
}

int32_t byte_int(const char *arg) {
    return clamp_i32(byte_atoi(arg));
}

// A whole decimal number 0..65535 and nothing else.
bool parse_port(const char *text, uint16_t *port) {
    if (!text || !isdigit(static_cast<unsigned char>(*text))) return false;
    errno = 0;
    char *end = nullptr;
    const long value = strtol(text, &end, 10);
    if (errno || *end != '\0' || value > 65535) return false;
    *port = static_cast<uint16_t>(value);
    return true;
}

// A real number filling the whole text; false for empty text or trailing characters.
bool parse_real(const char *arg, double *value) {
    if (!arg || !*arg) return false;
    char *end = nullptr;
    *value = strtod(arg, &end);
    return end != arg && *end == '\0';
}

// x as a count of whole units: x itself when it is an integer up to the noise
// of its decimal text (so 1.15 s is 115 hundredths, not 114), else rounded up
// or truncated as asked.
double whole_units(double x, bool round_up) {
    const double nearest = std::nearbyint(x);
    if (std::fabs(x - nearest) < 1e-6) return nearest;
    return round_up ? std::ceil(x) : std::trunc(x);
}

// "sec[.fraction]" with an optional sign; the fraction is read as decimal
// digits of a second and kept to the microsecond.
bool parse_epoch_time(const char *arg, int64_t *sec, int64_t *usec) {
    const char *p = arg;
    while (isspace(static_cast<unsigned char>(*p))) ++p;
    const bool negative = (*p == '-');
    if (*p == '-' || *p == '+') ++p;
    if (!isdigit(static_cast<unsigned char>(*p))) return false;
    errno = 0;
    char *end = nullptr;
    const long long whole = strtoll(p, &end, 10);
    if (errno) return false;
    int64_t micro = 0;
    if (*end == '.') {
        ++end;
        int digits = 0;
        for (; isdigit(static_cast<unsigned char>(*end)); ++end, ++digits) {
            if (digits < 6) micro = micro * 10 + (*end - '0');
        }
        for (; digits < 6; ++digits) micro *= 10;
    }
    if (*end != '\0') return false;
    if (negative) {
        *sec = (micro > 0) ? -whole - 1 : -whole;
        *usec = (micro > 0) ? 1000000 - micro : 0;
    } else {
        *sec = whole;
        *usec = micro;
    }
    return true;
}

// --- Short-letter handlers, by group ---

void warn_server_mode(char letter) {
    fprintf(stderr, "WARNING: option -%c is not valid for server mode\n", letter);
}

void warn_client_mode(char letter) {
    fprintf(stderr, "WARNING: option -%c is not valid for client mode\n", letter);
}

bool is_client(const thread_Settings *s) {
    return s->thread_mode == kMode_Client;
}

// Mode and test type: -c -s -d -r -C.
void apply_client(const char *arg, thread_Settings *s) {
    replace_text(&s->host, arg ? arg : "");
    if (s->thread_mode == kMode_Unknown) {
        s->thread_mode = kMode_Client;
        s->threads = 1;
    }
}

void apply_server(const char *, thread_Settings *s) {
    if (s->thread_mode == kMode_Client) {
        warn_client_mode('s');
    } else {
        s->thread_mode = kMode_Listener;
    }
}

void apply_test_mode(char letter, TestMode mode, thread_Settings *s) {
    if (!is_client(s)) {
        warn_server_mode(letter);
        return;
    }
    if (s->option_flags & OPT_COMPAT) {
        fprintf(stderr, "WARNING: option -%c is not valid in compatibility mode\n", letter);
    }
    s->test_mode = mode;
}

void apply_dualtest(const char *, thread_Settings *s) {
    apply_test_mode('d', kTest_DualTest, s);
}
void apply_tradeoff(const char *, thread_Settings *s) {
    apply_test_mode('r', kTest_TradeOff, s);
}

void apply_compat(const char *, thread_Settings *s) {
    if (s->test_mode != kTest_Normal) {
        fprintf(stderr, "WARNING: option -%c is not valid in compatibility mode\n",
                s->test_mode == kTest_DualTest ? 'd' : 'r');
        s->test_mode = kTest_Normal;
    }
}

// Sizes and counts: -l -n -w -M -P -T -p -L.
void apply_len(const char *arg, thread_Settings *s) {
    const int64_t len = byte_atoi(arg);
    // Both ends allocate and index buffers of this size; keep it positive and
    // far from the int32 limit that buffer arithmetic would cross.
    if (len < 1 || len > (1LL << 30)) fail("Invalid value of '%s' for -l length\n", arg);
    s->buf_len = static_cast<int32_t>(len);
}

void apply_num(const char *arg, thread_Settings *s) {
    s->option_flags &= ~OPT_TIME_MODE;
    const int64_t amount = byte_atoi(arg);
    if (amount <= 0) fail("Invalid value for -n amount of '%s'\n", arg);
    s->amount = static_cast<uint64_t>(amount);
}

void apply_window(const char *arg, thread_Settings *s) {
    s->window_size = byte_int(arg);
    if (s->window_size <= 2047) {
        fprintf(stderr,
                "WARNING: TCP window size set to %d bytes. A small window size\n"
                "will give poor performance. See the Toril documentation.\n",
                s->window_size);
    }
}

void apply_mss(const char *arg, thread_Settings *s) {
    s->mss = byte_int(arg);
}
void apply_parallel(const char *arg, thread_Settings *s) {
    s->threads = plain_int(arg);
}
void apply_ttl(const char *arg, thread_Settings *s) {
    s->ttl = plain_int(arg);
}

void apply_port(const char *arg, thread_Settings *s) {
    const char *text = arg ? arg : "";
    const char *hyphen = strchr(text, '-');
    if (!hyphen) {
        if (!parse_port(text, &s->port)) fail("Invalid value of '%s' for -p port\n", text);
        return;
    }
    char first[16] = {};
    const size_t first_len = static_cast<size_t>(hyphen - text);
    uint16_t port = 0;
    uint16_t last = 0;
    if (first_len >= sizeof first) fail("Invalid value of '%s' for -p port\n", text);
    memcpy(first, text, first_len);
    if (!parse_port(first, &port) || !parse_port(hyphen + 1, &last)) {
        fail("Invalid value of '%s' for -p port\n", text);
    }
    s->port = port;
    s->port_last = last;
    s->test_flags |= TEST_INCR_DSTPORT;
}

void apply_listenport(const char *arg, thread_Settings *s) {
    if (!is_client(s)) {
        warn_server_mode('L');
        return;
    }
    if (!parse_port(arg, &s->listen_port)) fail("Invalid value of '%s' for -L port\n", arg);
}

// Rate and timing: -b -i -t.
void apply_bandwidth(const char *arg, thread_Settings *s) {
    const char *text = arg ? arg : "";
    const char *pps = (*text != '\0') ? strpbrk(text + 1, "pP") : nullptr;
    if (pps) {
        const std::string_view before(text, static_cast<size_t>(pps - text));
        char number[64] = {};
        before.copy(number, sizeof number - 1);
        s->rate_units = kRate_PPS;
        const int64_t rate = byte_atoi(number);
        s->rate = rate > 0 ? static_cast<uint64_t>(rate) : 0;
        return;
    }
    s->rate_units = kRate_BW;
    const int64_t rate = byte_atoi(text);
    s->rate = rate > 0 ? static_cast<uint64_t>(rate) : 0;
    if (const char *comma = strchr(text, ',')) {
        s->test_flags |= TEST_RATE_VARIANCE;
        s->variance = static_cast<double>(byte_atoi(comma + 1));
    }
}

void apply_interval(const char *arg, thread_Settings *s) {
    const char *text = arg ? arg : "";
    if (*text == 'F' || *text == 'f') {
        s->option_flags |= OPT_ENHANCED;
        s->test_flags |= TEST_FRAME_INTERVAL;
        s->interval_mode = kInterval_Frames;
        return;
    }
    constexpr double kMaxSeconds = 4294.967295;  // UINT32_MAX microseconds
    double value = 0;
    if (!parse_real(text, &value) || std::isnan(value) || value < 0) {
        fail("Invalid value of '%s' for -i interval\n", text);
    }
    if (value > kMaxSeconds) {
        fprintf(stderr, "Too large value of '%s' for -i interval, max is %f\n", text, kMaxSeconds);
        exit(1);
    }
    const double usec = std::fmin(whole_units(value * 1e6, true), UINT32_MAX);
    s->interval_mode = kInterval_Time;
    s->interval_usec = static_cast<uint32_t>(usec);
    if (s->interval_usec == 0) {
        s->interval_usec = UINT32_MAX;
    } else if (s->interval_usec < 5000) {
        s->interval_usec = 5000;
        fprintf(stderr, "WARNING: interval too small, increasing to %3.3f milliseconds.\n", 5.0);
    }
}

void apply_time(const char *arg, thread_Settings *s) {
    if (!arg || !*arg) {
        fprintf(stderr, "ERROR: option -t requires value\n");
        exit(1);
    }
    char *end = nullptr;
    errno = 0;
    const double value = strtod(arg, &end);
    // Hundredths of a second must fit the 64-bit amount.
    if (errno == ERANGE || end == arg || *end != '\0' || !std::isfinite(value) ||
        value * 100 >= 18446744073709551615.0) {
        fail("ERROR: -t value of '%s' not recognized\n", arg);
    }
    if (value > 0) {
        s->amount = static_cast<uint64_t>(whole_units(value * 100, false));
    } else {
        settings_markers.run_forever = true;
    }
    s->option_flags |= OPT_TIME_MODE | OPT_TIME_SET;
}

// Texts: -f -o -B -F -H -I -Z.
void apply_format(const char *arg, thread_Settings *s) {
    if (arg && *arg) s->format = *arg;
}

void apply_output(const char *arg, thread_Settings *s) {
    s->option_flags &= ~OPT_STDOUT;
    replace_text(&s->output_file, arg ? arg : "");
}

void apply_bind(const char *arg, thread_Settings *s) {
    if (!s->local_host) replace_text(&s->local_host, arg ? arg : "");
}

void apply_file_input(const char *arg, thread_Settings *s) {
    if (!is_client(s)) {
        warn_server_mode('F');
        return;
    }
    s->option_flags |= OPT_FILE_INPUT;
    replace_text(&s->input_file, arg ? arg : "");
}

void apply_ssm_host(const char *arg, thread_Settings *s) {
    if (is_client(s)) {
        warn_client_mode('H');
        return;
    }
    replace_text(&s->ssm_source, arg ? arg : "");
    s->option_flags |= OPT_SSM;
}

void apply_stdin_input(const char *, thread_Settings *s) {
    if (!is_client(s)) {
        warn_server_mode('I');
        return;
    }
    s->option_flags |= OPT_FILE_INPUT | OPT_STDIN;
    replace_text(&s->input_file, "<stdin>");
}

void apply_congestion(const char *arg, thread_Settings *s) {
    replace_text(&s->congestion_algo, arg ? arg : "");
}

// Reports: -x -y.
void apply_reportexclude(const char *arg, thread_Settings *s) {
    for (const char *p = arg ? arg : ""; *p; ++p) {
        switch (toupper(static_cast<unsigned char>(*p))) {
            case 'C':
                s->option_flags |= OPT_NO_CONN_REPORT;
                break;
            case 'D':
                s->option_flags |= OPT_NO_DATA_REPORT;
                break;
            case 'M':
                s->option_flags |= OPT_NO_MCAST_REPORT;
                break;
            case 'S':
                s->option_flags |= OPT_NO_SETTINGS_REPORT;
                break;
            case 'V':
                s->option_flags |= OPT_NO_SERVER_REPORT;
                break;
            default:
                fprintf(stderr,
                        "WARNING: unknown reporting type \"%c\", ignored\n valid options are:\n\t "
                        "exclude: C(connection) D(data) M(multicast) S(settings) V(server) "
                        "report\n\n",
                        *p);
        }
    }
}

void apply_reportstyle(const char *arg, thread_Settings *s) {
    const char *text = arg ? arg : "";
    if (*text == 'C' || *text == 'c') {
        s->report_mode = kReport_CSV;
        s->option_flags |= OPT_NO_SETTINGS_REPORT | OPT_NO_CONN_REPORT;
    } else {
        fprintf(stderr, "WARNING: unknown reporting style \"%s\", switching to default\n", text);
    }
}

// Type of service, informational and help: -S -W -h -v.
void apply_tos(const char *arg, thread_Settings *s) {
    s->tos = parse_ipqos(arg);
    if (s->tos < 0) {
        fprintf(stderr, "Invalid --tos value of %s\n", arg ? arg : "");
        s->tos = 0;
    }
}

void apply_suggest_win(const char *, thread_Settings *) {
    fprintf(stderr, "The -W option is not available in this release\n");
}

void apply_help(const char *, thread_Settings *) {
    Settings_PrintHelp(stderr);
    exit(1);
}

void apply_version(const char *, thread_Settings *) {
    Settings_PrintVersion(stderr);
    exit(1);
}

struct ShortOption {
    const char *long_name;  // nullptr: short letter only
    int has_arg;
    char letter;
    FlagBits set;  // set before apply runs
    Apply apply;
};

const ShortOption kShortOptions[] = {
    {"singleclient", no_argument, '1', {OPT_SINGLE_CLIENT, 0, 0}, nullptr},
    {nullptr, no_argument, '4', {0, 0, EXT_IPV4}, nullptr},
    {nullptr, no_argument, '6', {OPT_IPV6, 0, 0}, nullptr},
    {"bandwidth", required_argument, 'b', {OPT_RATE_SET, 0, 0}, apply_bandwidth},
    {"client", required_argument, 'c', {}, apply_client},
    {"dualtest", no_argument, 'd', {}, apply_dualtest},
    {"enhanced", no_argument, 'e', {OPT_ENHANCED, 0, 0}, nullptr},
    {"format", required_argument, 'f', {}, apply_format},
    {"help", no_argument, 'h', {}, apply_help},
    {"interval", required_argument, 'i', {}, apply_interval},
    {"len", required_argument, 'l', {OPT_LEN_SET, 0, 0}, apply_len},
    {"print_mss", no_argument, 'm', {OPT_PRINT_MSS, 0, 0}, nullptr},
    {"num", required_argument, 'n', {}, apply_num},
    {"output", required_argument, 'o', {}, apply_output},
    {"port", required_argument, 'p', {}, apply_port},
    {"tradeoff", no_argument, 'r', {}, apply_tradeoff},
    {"server", no_argument, 's', {}, apply_server},
    {"time", required_argument, 't', {}, apply_time},
    {"udp", no_argument, 'u', {OPT_UDP, 0, 0}, nullptr},
    {"version", no_argument, 'v', {}, apply_version},
    {"window", required_argument, 'w', {}, apply_window},
    {"reportexclude", required_argument, 'x', {}, apply_reportexclude},
    {"reportstyle", required_argument, 'y', {}, apply_reportstyle},
    {"realtime", no_argument, 'z', {OPT_REALTIME, 0, 0}, nullptr},
    {"awdl", no_argument, 'A', {}, nullptr},
    {"bind", required_argument, 'B', {}, apply_bind},
    {"compatibility", no_argument, 'C', {OPT_COMPAT, 0, 0}, apply_compat},
    {"daemon", no_argument, 'D', {OPT_DAEMON, 0, 0}, nullptr},
    {"file_input", required_argument, 'F', {}, apply_file_input},
    {"ssm-host", required_argument, 'H', {}, apply_ssm_host},
    {"stdin_input", no_argument, 'I', {}, apply_stdin_input},
    {"mss", required_argument, 'M', {OPT_PRINT_MSS, TEST_MSS_SET, 0}, apply_mss},
    {"nodelay", no_argument, 'N', {OPT_NODELAY, 0, 0}, nullptr},
    {"listenport", required_argument, 'L', {}, apply_listenport},
    {"parallel", required_argument, 'P', {}, apply_parallel},
    {"reverse", no_argument, 'R', {0, TEST_REVERSE, 0}, nullptr},
    {"tos", required_argument, 'S', {}, apply_tos},
    {"ttl", required_argument, 'T', {}, apply_ttl},
    {"single_udp", no_argument, 'U', {OPT_SINGLE_UDP | OPT_SINGLE_CLIENT | OPT_UDP, 0, 0}, nullptr},
    {"ipv6_domain", no_argument, 'V', {OPT_IPV6, 0, 0}, nullptr},
    {"suggest_win_size", no_argument, 'W', {OPT_SUGGEST_WIN, 0, 0}, apply_suggest_win},
    {"peer-detect", no_argument, 'X', {0, TEST_PEER_DETECT, 0}, nullptr},
    {"tcp-congestion", required_argument, 'Z', {OPT_CONGESTION, 0, 0}, apply_congestion},
};

const char kShortOptionString[] =
    "146b:c:def:hi:l:mn:o:p:rst:uvw:x:y:zAB:CDF:H:IL:M:NP:RS:T:UVWXZ:";

// --- Long-only handlers, by group ---

// Bounceback: --bounceback, --bounceback-congest, --bounceback-hold, --bounceback-period.
void apply_bounceback(const char *arg, thread_Settings *s) {
    if (!arg) {
        s->bounceback_count = -1;
        return;
    }
    s->bounceback_count = plain_int(arg);
    if (s->bounceback_count < 1) {
        fprintf(stderr, "WARN: invalid bounceback value, setting it to 10\n");
        s->bounceback_count = 10;
    }
}

void apply_bounceback_congest(const char *arg, thread_Settings *s) {
    if (!arg) return;
    const char *comma = strchr(arg, ',');
    const size_t len = comma ? static_cast<size_t>(comma - arg) : strlen(arg);
    const std::string_view token(arg, len);
    auto is = [&token](const char *word) {
        return token.size() == strlen(word) && strncasecmp(token.data(), word, token.size()) == 0;
    };
    if (is("up")) {
        s->extra_flags &= ~EXT_BB_CONGEST_DOWN;
    } else if (is("down")) {
        s->extra_flags &= ~EXT_BB_CONGEST_UP;
    } else if (!is("bidir")) {
        fprintf(stderr,
                "Unrecoginized value of %.*s for bounceback-congestion, use 'up', 'down' or "
                "'bidir'\n",
                static_cast<int>(len), arg);
    }
    if (comma) s->bb_congest_streams = plain_int(comma + 1);
}

void apply_bounceback_hold(const char *arg, thread_Settings *s) {
    const double ms = strtod(arg ? arg : "", nullptr);
    const double usec = std::isfinite(ms) ? std::trunc(ms * 1000) : 0;
    s->bounceback_hold = static_cast<int32_t>(std::fmax(0.0, std::fmin(usec, INT32_MAX)));
}

void apply_bounceback_noquickack(const char *, thread_Settings *) {
    settings_markers.bounceback_no_quickack = true;
}

void apply_bounceback_period(const char *arg, thread_Settings *s) {
    const double period = strtod(arg ? arg : "", nullptr);
    s->frame_rate = (period > 0.00001) ? 1.0 / period : -1;
}

// Holds back and scheduled starts: --txdelay-time, --bounceback-txdelay, --txstart-time.
void apply_holdback(const char *arg, thread_Settings *s, const char *error_text) {
    double delay = 0;
    // A negative or unbounded hold-back is never meant; refuse it like junk.
    if (!parse_real(arg, &delay) || !std::isfinite(delay) || delay < 0 || delay > 1e12) {
        fprintf(stderr, error_text, arg ? arg : "");
        return;
    }
    s->test_flags |= TEST_TXDELAY;
    s->txdelay_sec = static_cast<int64_t>(delay);
    s->txdelay_usec = static_cast<int64_t>(
        whole_units((delay - static_cast<double>(s->txdelay_sec)) * 1e6, false));
    if (s->txdelay_usec >= 1000000) {
        ++s->txdelay_sec;
        s->txdelay_usec -= 1000000;
    }
}

void apply_txdelay(const char *arg, thread_Settings *s) {
    apply_holdback(arg, s, "Invalid value of '%s' for --txdelay-time time\n");
}

void apply_bounceback_txdelay(const char *arg, thread_Settings *s) {
    apply_holdback(arg, s, "Invalid value of '%s' for --bounceback-txdelay time\n");
}

void apply_txstart(const char *arg, thread_Settings *s) {
    if (!parse_epoch_time(arg ? arg : "", &s->txstart_sec, &s->txstart_usec)) {
        s->test_flags &= ~TEST_TXSTART;
        fprintf(stderr, "WARNING: invalid --txstart-time format\n");
    }
}

// Histograms and the tap device: --histograms, --tap-dev, --tun-dev.
void apply_histograms(const char *arg, thread_Settings *s) {
    replace_text(&s->histogram_spec, arg);
}

void apply_tap_dev(const char *arg, thread_Settings *s) {
    if (arg) replace_text(&s->bind_device, arg);
}

void apply_tun_dev(const char *, thread_Settings *) {
    fprintf(stderr, "ERROR: tun devices not yet supported\n");
    exit(1);
}

void apply_l2checks(const char *, thread_Settings *) {
    settings_markers.l2checks = true;
}

// Rates and pacing: --fq-rate, --ipg, --isochronous, --near-congestion, --burst-*.
void apply_fq_rate(const char *arg, thread_Settings *s) {
    s->fq_rate = bitorbyte_atoi(arg) / 8;
}

void apply_ipg(const char *arg, thread_Settings *s) {
    const char *text = arg ? arg : "";
    char *end = nullptr;
    const double gap = strtod(text, &end);
    if (end == text || !std::isfinite(gap)) {
        // Nothing usable to pace with: leave the gap unset.
        fprintf(stderr, "ERRPORE: Invalid value of '%s' for --ipg\n", text);
        return;
    }
    s->test_flags |= TEST_IPG;
    s->burst_ipg = gap;
    if (*end != '\0') fprintf(stderr, "ERRPORE: Invalid value of '%s' for --ipg\n", text);
}

void apply_isochronous(const char *arg, thread_Settings *s) {
    s->variance = 0;
    s->frame_rate = 60;
    s->isoch_mean = 20000000;
    s->burst_ipg = 0.000005;
    if (arg) replace_text(&s->isoch_spec, arg);
}

void apply_near_congestion(const char *arg, thread_Settings *s) {
    const double weight = arg ? strtod(arg, nullptr) : -1;
    s->near_congest_weight = (arg && std::isfinite(weight) && weight >= 0) ? weight : 0.5;
}

void apply_burst_size(const char *arg, thread_Settings *s) {
    s->burst_size = byte_int(arg);
}

void apply_burst_period(const char *arg, thread_Settings *s) {
    const double period = strtod(arg ? arg : "", nullptr);
    if (period > 0.00001) {
        s->frame_rate = 1.0 / period;
        return;
    }
    s->extra_flags &= ~EXT_BURST;
    if (period != 0)
        fprintf(stderr, "WARN: burst-period too small, must be greater than 10 usecs\n");
}

// Connections: --connect-only, --connect-retries, --local-only.
void apply_connect_only(const char *arg, thread_Settings *s) {
    s->option_flags &= ~OPT_NO_CONN_REPORT;
    s->connect_only_count = arg ? plain_int(arg) : -1;
}

void apply_connect_retries(const char *arg, thread_Settings *s) {
    s->connect_retries = plain_int(arg);
}

void apply_local_only(const char *arg, thread_Settings *s) {
    if (arg && plain_int(arg) == 0) s->test_flags &= ~TEST_LOCAL_ONLY;
}

// Permit keys: --permit-key, --permit-key-timeout.
void apply_permit_key(const char *arg, thread_Settings *s) {
    memset(s->permit_key, 0, sizeof s->permit_key);
    if (arg) strncpy(s->permit_key, arg, kPermitKeyMax);
}

void apply_permit_key_timeout(const char *arg, thread_Settings *s) {
    const double timeout = strtod(arg ? arg : "", nullptr);
    if (timeout >= 0) s->permit_key_timeout = std::trunc(timeout);
}

// Socket details: --tos-override, --tcp-rx-window-clamp, --tcp-write-prefetch, ring size.
void apply_tos_override(const char *arg, thread_Settings *s) {
    const int tos = parse_ipqos(arg);
    if (tos < 0) {
        fprintf(stderr, "Invalid --tos-overide value of %s\n", arg ? arg : "");
        return;
    }
    s->override_tos = tos;
    s->extra_flags |= EXT_TOS_OVERRIDE;
}

void apply_rx_window_clamp(const char *arg, thread_Settings *s) {
    s->rx_window_clamp = byte_int(arg);
}

void apply_write_prefetch(const char *arg, thread_Settings *s) {
    s->write_prefetch = byte_int(arg);
}

void apply_num_report_structs(const char *arg, thread_Settings *s) {
    // 0 keeps the ring's default size; a negative size has no meaning.
    s->num_report_structs = std::max(0, byte_int(arg));
}

// One pending marker per long-only option; the two histogram spellings share one.
enum LongMarker {
    kLong_Bounceback,
    kLong_BouncebackCongest,
    kLong_BouncebackTxdelay,
    kLong_BouncebackHold,
    kLong_BouncebackNoQuickack,
    kLong_BouncebackPeriod,
    kLong_Histograms,
    kLong_HideIps,
    kLong_L2Checks,
    kLong_IncrDstIp,
    kLong_IncrSrcIp,
    kLong_IncrDstPort,
    kLong_IncrSrcPort,
    kLong_SumDstIp,
    kLong_TxStartTime,
    kLong_TxDelayTime,
    kLong_FqRate,
    kLong_TripTimes,
    kLong_NoUdpFin,
    kLong_NoConnectSync,
    kLong_FullDuplex,
    kLong_SumOnly,
    kLong_ConnectOnly,
    kLong_ConnectRetries,
    kLong_Ipg,
    kLong_Isochronous,
    kLong_LocalOnly,
    kLong_NearCongestion,
    kLong_PermitKey,
    kLong_PermitKeyTimeout,
    kLong_BurstSize,
    kLong_BurstPeriod,
    kLong_TosOverride,
    kLong_RxWindowClamp,
    kLong_QuickAck,
    kLong_WriteTimes,
    kLong_WritePrefetch,
    kLong_TapDev,
    kLong_TunDev,
    kLong_NumReportStructs,
    kLong_Count
};

int long_pending[kLong_Count];

struct LongOption {
    const char *name;
    int has_arg;
    LongMarker marker;
    FlagBits set;  // set before apply runs
    Apply apply;
};

const LongOption kLongOptions[] = {
    {"bounceback",
     optional_argument,
     kLong_Bounceback,
     {OPT_ENHANCED | OPT_NODELAY, 0, EXT_BOUNCEBACK},
     apply_bounceback},
    {"bounceback-congest",
     optional_argument,
     kLong_BouncebackCongest,
     {0, 0, EXT_BB_CONGEST_UP | EXT_BB_CONGEST_DOWN},
     apply_bounceback_congest},
    {"bounceback-txdelay",
     required_argument,
     kLong_BouncebackTxdelay,
     {},
     apply_bounceback_txdelay},
    {"bounceback-hold", required_argument, kLong_BouncebackHold, {}, apply_bounceback_hold},
    {"bounceback-no-quickack",
     no_argument,
     kLong_BouncebackNoQuickack,
     {},
     apply_bounceback_noquickack},
    {"bounceback-period",
     required_argument,
     kLong_BouncebackPeriod,
     {0, 0, EXT_BURST},
     apply_bounceback_period},
    {"histograms",
     optional_argument,
     kLong_Histograms,
     {OPT_ENHANCED, TEST_HISTOGRAM, 0},
     apply_histograms},
    {"udp-histograms",
     optional_argument,
     kLong_Histograms,
     {OPT_ENHANCED, TEST_HISTOGRAM, 0},
     apply_histograms},
    {"hide-ips", no_argument, kLong_HideIps, {0, 0, EXT_HIDE_IPS}, nullptr},
    {"l2checks", no_argument, kLong_L2Checks, {}, apply_l2checks},
    {"incr-dstip", no_argument, kLong_IncrDstIp, {0, TEST_INCR_DSTIP, 0}, nullptr},
    {"incr-srcip", no_argument, kLong_IncrSrcIp, {0, TEST_INCR_SRCIP, 0}, nullptr},
    {"incr-dstport", no_argument, kLong_IncrDstPort, {0, TEST_INCR_DSTPORT, 0}, nullptr},
    {"incr-srcport", no_argument, kLong_IncrSrcPort, {0, 0, EXT_INCR_SRCPORT}, nullptr},
    {"sum-dstip", no_argument, kLong_SumDstIp, {0, 0, EXT_SUM_DSTIP}, nullptr},
    {"txstart-time",
     required_argument,
     kLong_TxStartTime,
     {OPT_ENHANCED, TEST_TXSTART, 0},
     apply_txstart},
    {"txdelay-time", required_argument, kLong_TxDelayTime, {}, apply_txdelay},
    {"fq-rate", required_argument, kLong_FqRate, {0, TEST_FQ_RATE, 0}, apply_fq_rate},
    {"trip-times", no_argument, kLong_TripTimes, {0, TEST_TRIP_TIMES, 0}, nullptr},
    {"no-udp-fin", no_argument, kLong_NoUdpFin, {0, TEST_NO_UDP_FIN, 0}, nullptr},
    {"no-connect-sync", no_argument, kLong_NoConnectSync, {0, TEST_NO_CONNECT_SYNC, 0}, nullptr},
    {"full-duplex", no_argument, kLong_FullDuplex, {0, TEST_FULL_DUPLEX, 0}, nullptr},
    {"sum-only", no_argument, kLong_SumOnly, {0, TEST_SUM_ONLY, 0}, nullptr},
    {"connect-only",
     optional_argument,
     kLong_ConnectOnly,
     {0, TEST_CONNECT_ONLY, 0},
     apply_connect_only},
    {"connect-retries", required_argument, kLong_ConnectRetries, {}, apply_connect_retries},
    {"ipg", required_argument, kLong_Ipg, {}, apply_ipg},
    {"isochronous",
     optional_argument,
     kLong_Isochronous,
     {OPT_ENHANCED, TEST_ISOCH, 0},
     apply_isochronous},
    {"local-only", optional_argument, kLong_LocalOnly, {0, TEST_LOCAL_ONLY, 0}, apply_local_only},
    {"near-congestion",
     optional_argument,
     kLong_NearCongestion,
     {0, TEST_NEAR_CONGESTION, 0},
     apply_near_congestion},
    {"permit-key", optional_argument, kLong_PermitKey, {0, TEST_PERMIT_KEY, 0}, apply_permit_key},
    {"permit-key-timeout", required_argument, kLong_PermitKeyTimeout, {}, apply_permit_key_timeout},
    {"burst-size", required_argument, kLong_BurstSize, {0, 0, EXT_BURST}, apply_burst_size},
    {"burst-period", required_argument, kLong_BurstPeriod, {0, 0, EXT_BURST}, apply_burst_period},
    {"tos-override", required_argument, kLong_TosOverride, {}, apply_tos_override},
    {"tcp-rx-window-clamp",
     required_argument,
     kLong_RxWindowClamp,
     {0, 0, EXT_RX_WINCLAMP},
     apply_rx_window_clamp},
    {"tcp-quickack", no_argument, kLong_QuickAck, {0, 0, EXT_QUICKACK}, nullptr},
    {"tcp-write-times", no_argument, kLong_WriteTimes, {0, 0, EXT_WRITE_TIMES}, nullptr},
    {"tcp-write-prefetch",
     required_argument,
     kLong_WritePrefetch,
     {OPT_ENHANCED, 0, EXT_WRITE_PREFETCH},
     apply_write_prefetch},
    {"tap-dev",
     optional_argument,
     kLong_TapDev,
     {OPT_ENHANCED, TEST_L2CHECKS, EXT_TAP_DEV},
     apply_tap_dev},
    {"tun-dev", optional_argument, kLong_TunDev, {}, apply_tun_dev},
    {"NUM_REPORT_STRUCTS", required_argument, kLong_NumReportStructs, {}, apply_num_report_structs},
};

constexpr size_t kShortCount = sizeof kShortOptions / sizeof kShortOptions[0];
constexpr size_t kLongCount = sizeof kLongOptions / sizeof kLongOptions[0];

// The getopt_long table built from the two handler tables, ended by a zero row.
const option *option_table() {
    static option table[kShortCount + kLongCount + 1];
    static bool built = false;
    if (!built) {
        size_t n = 0;
        for (const ShortOption &o : kShortOptions) {
            if (o.long_name) table[n++] = {o.long_name, o.has_arg, nullptr, o.letter};
        }
        for (const LongOption &o : kLongOptions) {
            table[n++] = {o.name, o.has_arg, &long_pending[o.marker], 1};
        }
        table[n] = {nullptr, 0, nullptr, 0};
        built = true;
    }
    return table;
}

void apply_pending_long(const char *arg, thread_Settings *s) {
    for (const LongOption &o : kLongOptions) {
        if (!long_pending[o.marker]) continue;
        long_pending[o.marker] = 0;
        set_flags(s, o.set);
        if (o.apply) o.apply(arg, s);
        return;
    }
}

struct EnvOption {
    const char *name;
    char letter;
};

const EnvOption kEnvOptions[] = {
    {"TORIL_IPV6_DOMAIN", 'V'},   {"TORIL_SINGLECLIENT", '1'},
    {"TORIL_BANDWIDTH", 'b'},     {"TORIL_CLIENT", 'c'},
    {"TORIL_DUALTEST", 'd'},      {"TORIL_ENHANCEDREPORTS", 'e'},
    {"TORIL_FORMAT", 'f'},        {"TORIL_INTERVAL", 'i'},
    {"TORIL_LEN", 'l'},           {"TORIL_PRINT_MSS", 'm'},
    {"TORIL_NUM", 'n'},           {"TORIL_PORT", 'p'},
    {"TORIL_TRADEOFF", 'r'},      {"TORIL_SERVER", 's'},
    {"TORIL_TIME", 't'},          {"TORIL_UDP", 'u'},
    {"TORIL_REPORTEXCLUDE", 'x'}, {"TORIL_BIND", 'B'},
    {"TORIL_COMPAT", 'C'},        {"TORIL_DAEMON", 'D'},
    {"TORIL_FILE_INPUT", 'F'},    {"TORIL_STDIN_INPUT", 'I'},
    {"TORIL_MSS", 'M'},           {"TORIL_NODELAY", 'N'},
    {"TORIL_LISTENPORT", 'L'},    {"TORIL_PARALLEL", 'P'},
    {"TORIL_TOS", 'S'},           {"TORIL_TTL", 'T'},
    {"TORIL_SINGLE_UDP", 'U'},    {"TORIL_SUGGEST_WIN_SIZE", 'W'},
    {"TORIL_PEER_DETECT", 'X'},   {"TORIL_CONGESTION_CONTROL", 'Z'},
    {"TCP_WINDOW_SIZE", 'w'},     {"TORIL_REPORTSTYLE", 'y'},
};

}  // namespace

void settings_markers_reset() {
    settings_markers = SettingsMarkers();
    for (int &pending : long_pending) pending = 0;
}

void Settings_Interpret(int option, const char *arg, thread_Settings *settings) {
    if (option == 0) {
        apply_pending_long(arg, settings);
        return;
    }
    for (const ShortOption &o : kShortOptions) {
        if (o.letter != option) continue;
        set_flags(settings, o.set);
        // Options without an argument ignore any value (environment variables).
        if (o.apply) o.apply(o.has_arg == no_argument ? nullptr : arg, settings);
        return;
    }
}

void Settings_ParseEnvironment(thread_Settings *settings) {
    for (const EnvOption &e : kEnvOptions) {
        const char *value = getenv(e.name);
        if (value) Settings_Interpret(e.letter, value, settings);
    }
}

void Settings_ParseCommandLine(int argc, char **argv, thread_Settings *settings) {
    optind = 0;  // full restart of the scanner
    opterr = 1;
    int code;
    while ((code = getopt_long(argc, argv, kShortOptionString, option_table(), nullptr)) != -1) {
        Settings_Interpret(code, optarg, settings);
    }
    for (int i = optind; i < argc; ++i) {
        fprintf(stderr, "%s: ignoring extra argument -- %s\n", argv[0], argv[i]);
    }
    Settings_ModalOptions(settings);
}
