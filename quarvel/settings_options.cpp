// quarvel's option table, its environment variables and Settings_Interpret.
//
// One table holds every option: its long name, argument kind, letter, the
// environment variable that stands for it, the flag bits it sets and, where
// there is more to do, a small handler for its group. The getopt_long table
// and the environment pass are both read from it, in its order.
//
// Every value ends in a defined number: sizes and counts are clamped to their
// field's range, and texts that cannot be a port or a buffer length end the
// process with a message (status 1).
#include <getopt.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "common/sockaddr.h"
#include "common/units.h"
#include "quarvel/settings.h"

namespace {

// -1 and -d take (and ignore) a word in short form; -z exists only as --realtime.
const char kShortOptions[] = "1:a:b:c:d:e:f:hi:l:mn:o:p:rst:uvw:x:y:B:CDF:EIL:M:NP:RS:T:UVWZ:";

constexpr int64_t kMaxBufLen = int64_t{1} << 30;   // larger reads and writes are never meant
constexpr double kMaxIntervalSeconds = INT32_MAX;  // keeps whole seconds in 32 bits
constexpr double kMaxTimeHundredths = INT32_MAX;   // the test header carries 32 bits
constexpr int32_t kMaxThreads = 65535;             // one record and one thread per stream
constexpr int kUdpMinBufLen = 12;                  // the UDP datagram header
constexpr int kUdpCompatBufLen = 47;               // too short for the test header
constexpr int kTcpCompatBufLen = 35;               // too short for the test header
constexpr uint64_t kDefaultUdpRate = 1024 * 1024;  // bits per second
constexpr int32_t kDefaultUdpBufLen = 1470;        // one Ethernet frame of payload
constexpr double kMinIntervalSeconds = 0.005;
constexpr double kEnhancedIntervalSeconds = 0.5;

[[noreturn]] void fail_value(const char *format, const char *arg) {
    fprintf(stderr, format, arg ? arg : "");
    exit(1);
}

void set_text(char **field, const char *arg) {
    free(*field);
    *field = strdup(arg ? arg : "");
}

int32_t to_i32(int64_t value) {
    return static_cast<int32_t>(std::clamp<int64_t>(value, INT32_MIN, INT32_MAX));
}

// The leading number of the text as strtol reads it in base (0 when none), clamped.
int32_t leading_int(const char *arg, int base) {
    return to_i32(strtoll(arg ? arg : "", nullptr, base));
}

// A size with a k/m/g suffix read in bytes of 1024 (K M G) as the help promises.
int64_t size_value(const char *arg) {
    return byte_atoi(Settings_GetUpperCaseArg(arg).c_str());
}

// The whole text is a decimal number from 0 to 65535.
bool read_port(const char *text, uint16_t *port) {
    if (!text || !*text) return false;
    const char *end = text + strlen(text);
    uint16_t value = 0;
    const auto [stop, error] = std::from_chars(text, end, value);
    if (error != std::errc() || stop != end) return false;
    *port = value;
    return true;
}

// A non-negative real as a count: NaN and negatives give 0, huge values the limit.
uint64_t to_count(double value) {
    if (!(value > 0)) return 0;
    if (value >= 18446744073709551615.0) return UINT64_MAX;
    return static_cast<uint64_t>(value);
}

bool is_client(const thread_Settings *s) {
    return s->thread_mode == kMode_Client;
}

bool has(const thread_Settings *s, uint32_t flag) {
    return (s->option_flags & flag) != 0;
}

// False (after the warning) when the option is read outside client mode.
bool client_only(char letter, const thread_Settings *s) {
    if (is_client(s)) return true;
    fprintf(stderr, "WARNING: option -%c is not valid for server mode\n", letter);
    return false;
}

// False (after the warning) when a mode is already set.
bool mode_free(char letter, const thread_Settings *s) {
    if (s->thread_mode == kMode_Unknown) return true;
    fprintf(stderr, "WARNING: option -%c is not valid for client mode\n", letter);
    return false;
}

void warn_compat(char letter) {
    fprintf(stderr, "WARNING: option -%c is not valid in compatibility mode\n", letter);
}

void imply_compat(char letter, thread_Settings *s) {
    s->option_flags |= OPT_COMPAT;
    fprintf(stderr, "WARNING: option -%c has implied compatibility mode\n", letter);
}

// A length set before UDP was chosen can be shorter than the datagram header.
void raise_udp_length(thread_Settings *s) {
    if (s->buf_len >= kUdpMinBufLen) return;
    s->buf_len = kUdpMinBufLen;
    fprintf(stderr, "WARNING: the UDP buffer was increased to %d for proper operation\n",
            s->buf_len);
}

// Resolves host only to learn whether it is a multicast group; the peer itself
// is resolved when the client connects. An unknown host ends the process.
void note_multicast(const char *host, bool ipv6, thread_Settings *s) {
    sockaddr_storage address = {};
    SockAddr_setHostname(host, &address, ipv6, ToolVariant::kQuarvel);
    if (SockAddr_isMulticast(&address)) s->option_flags |= OPT_MULTICAST;
}

// --- Roles: -c -s -e -E ---

void apply_client(char, const char *arg, thread_Settings *s) {
    set_text(&s->host, arg);
    if (s->thread_mode != kMode_Unknown) return;
    note_multicast(s->host, has(s, OPT_IPV6), s);
    s->thread_mode = kMode_Client;
    s->threads = 1;
}

void apply_server(char letter, const char *, thread_Settings *s) {
    if (mode_free(letter, s)) s->thread_mode = kMode_Listener;
}

void apply_nat_server(char letter, const char *arg, thread_Settings *s) {
    s->nat_mode = 1;
    set_text(&s->nat_client_ip, arg);
    if (mode_free(letter, s)) s->thread_mode = kMode_Listener;
}

void apply_nat_client(char, const char *, thread_Settings *s) {
    if (s->thread_mode != kMode_Unknown) return;
    s->thread_mode = kMode_Client;
    s->threads = 1;
    s->nat_mode = 1;
}

void apply_client_local_port(char, const char *arg, thread_Settings *s) {
    const int32_t port = leading_int(arg, 10);
    if (port < 1 || port > 65535) {
        printf("Client port provided as %d. Please provide the client port between 1 and 65535",
               port);
        exit(1);
    }
    s->client_local_port = static_cast<uint16_t>(port);
}

// --- Test type: -d -r -C ---

void apply_two_way(char letter, const char *, thread_Settings *s) {
    if (!client_only(letter, s)) return;
    if (has(s, OPT_COMPAT)) warn_compat(letter);
    s->test_mode = (letter == 'd') ? kTest_DualTest : kTest_TradeOff;
}

void apply_compat(char, const char *, thread_Settings *s) {
    if (s->test_mode == kTest_Normal) return;
    warn_compat(s->test_mode == kTest_DualTest ? 'd' : 'r');
    s->test_mode = kTest_Normal;
}

// --- Protocol, length and rate: -u -l -b ---

void apply_udp(char, const char *, thread_Settings *s) {
    if (!has(s, OPT_UDP)) {
        s->option_flags |= OPT_UDP;
        if (!has(s, OPT_RATE_SET)) s->rate = kDefaultUdpRate;
    }
    if (!has(s, OPT_LEN_SET)) {
        s->buf_len = kDefaultUdpBufLen;
        return;
    }
    raise_udp_length(s);
    if (s->buf_len <= kUdpCompatBufLen && !has(s, OPT_COMPAT)) imply_compat('u', s);
}

void apply_len(char, const char *arg, thread_Settings *s) {
    const int64_t len = size_value(arg);
    const bool udp = has(s, OPT_UDP);
    if (len > kMaxBufLen || (!udp && len < 1))
        fail_value("Invalid value of '%s' for -l length\n", arg);
    s->option_flags |= OPT_LEN_SET;
    s->buf_len = static_cast<int32_t>(std::max<int64_t>(len, INT32_MIN));
    if (udp) raise_udp_length(s);
    const int compat_limit = udp ? kUdpCompatBufLen : kTcpCompatBufLen;
    if (s->buf_len <= compat_limit && !has(s, OPT_COMPAT)) imply_compat('l', s);
}

void apply_bandwidth(char letter, const char *arg, thread_Settings *s) {
    if (!has(s, OPT_UDP)) fprintf(stderr, "WARNING: option -%c implies udp testing\n", letter);
    if (!client_only(letter, s)) return;
    const std::string text = Settings_GetLowerCaseArg(arg);
    char *unit = nullptr;
    const double number = strtod(text.c_str(), &unit);
    if (unit != text.c_str() && *unit == 'p') {
        s->rate_units = kRate_PPS;
        s->rate = to_count(number);
    } else {
        s->rate_units = kRate_BW;
        s->rate = static_cast<uint64_t>(std::max<int64_t>(byte_atoi(text.c_str()), 0));
    }
    s->option_flags |= OPT_UDP | OPT_RATE_SET;
    if (!has(s, OPT_LEN_SET)) s->buf_len = kDefaultUdpBufLen;
    raise_udp_length(s);
}

// --- Amount and timing: -n -t -i ---

void apply_num(char, const char *arg, thread_Settings *s) {
    s->option_flags &= ~OPT_TIME_MODE;
    s->amount = static_cast<uint64_t>(std::max<int64_t>(size_value(arg), 0));
}

void apply_time(char, const char *arg, thread_Settings *s) {
    s->option_flags |= OPT_TIME_MODE | OPT_TIME_SET;
    // The small allowance keeps 1.15 s at 115 hundredths despite binary rounding.
    const double hundredths = std::floor(strtod(arg ? arg : "", nullptr) * 100 + 1e-6);
    s->amount = std::isnan(hundredths) ? 0 : to_count(std::fmin(hundredths, kMaxTimeHundredths));
}

void apply_interval(char, const char *arg, thread_Settings *s) {
    double seconds = strtod(arg ? arg : "", nullptr);
    if (std::isnan(seconds)) seconds = 0;
    if (seconds < kMinIntervalSeconds) {
        fprintf(stderr, "WARNING: interval too small, increasing from %3.3f to 5 milliseconds.\n",
                seconds);
        seconds = kMinIntervalSeconds;
    }
    s->interval = std::fmin(seconds, kMaxIntervalSeconds);
    if (s->interval < kEnhancedIntervalSeconds) s->option_flags |= OPT_ENHANCED;
}

// --- Ports and addresses: -p -L -B -V ---

void apply_port(char, const char *arg, thread_Settings *s) {
    if (!read_port(arg, &s->port)) fail_value("Invalid value of '%s' for -p port\n", arg);
}

void apply_listenport(char letter, const char *arg, thread_Settings *s) {
    if (!client_only(letter, s)) return;
    if (!read_port(arg, &s->listen_port)) fail_value("Invalid value of '%s' for -L port\n", arg);
}

// "host", "host:port", "[v6 address]:port", or a bare IPv6 address (more than
// one colon and no brackets: none of them starts a port).
void apply_bind(char, const char *arg, thread_Settings *s) {
    const std::string text = arg ? arg : "";
    std::string host = text;
    std::string port;
    bool has_port = false;
    if (!text.empty() && text[0] == '[' && text.find(']') != std::string::npos) {
        const size_t close = text.find(']');
        host = text.substr(1, close - 1);
        has_port = close + 1 < text.size() && text[close + 1] == ':';
        if (has_port) port = text.substr(close + 2);
    } else if (const size_t colon = text.find(':');
               colon != std::string::npos && text.find(':', colon + 1) == std::string::npos) {
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
        has_port = true;
    }
    if (has_port && !read_port(port.c_str(), &s->bind_port)) {
        fail_value("Invalid value of '%s' for -B port\n", arg);
    }
    free(s->local_host);
    s->local_host = nullptr;
    if (host.empty()) return;  // ":port" binds the wildcard address
    set_text(&s->local_host, host.c_str());
    note_multicast(s->local_host, has(s, OPT_IPV6), s);
}

void apply_ipv6(char, const char *, thread_Settings *s) {
    if (is_client(s) && s->nat_mode != 1 && s->host) note_multicast(s->host, true, s);
}

// --- Texts and counts: -f -o -F -I -Z -w -M -P -S -T ---

void apply_format(char, const char *arg, thread_Settings *s) {
    if (arg && *arg) s->format = *arg;
}

void apply_output(char, const char *arg, thread_Settings *s) {
    set_text(&s->output_file, arg);
    s->option_flags &= ~OPT_STDOUT;
}

void apply_file_input(char letter, const char *arg, thread_Settings *s) {
    if (!client_only(letter, s)) return;
    s->option_flags |= OPT_FILE_INPUT;
    set_text(&s->input_file, arg);
}

void apply_stdin_input(char letter, const char *, thread_Settings *s) {
    if (!client_only(letter, s)) return;
    s->option_flags |= OPT_FILE_INPUT | OPT_STDIN;
    set_text(&s->input_file, "<stdin>");
}

void apply_congestion(char, const char *arg, thread_Settings *s) {
    s->option_flags |= OPT_CONGESTION;
    set_text(&s->congestion_algo, arg);
}

void apply_window(char, const char *arg, thread_Settings *s) {
    s->window_size = to_i32(size_value(arg));
    if (s->window_size > 2047) return;
    fprintf(stderr,
            "WARNING: TCP window size set to %d bytes. A small window size\n"
            "will give poor performance. See the Toril documentation.\n",
            s->window_size);
}

void apply_mss(char, const char *arg, thread_Settings *s) {
    s->mss = to_i32(size_value(arg));
}

void apply_parallel(char, const char *arg, thread_Settings *s) {
    const int32_t threads = leading_int(arg, 10);
    if (threads < 0 || threads > kMaxThreads) {
        fail_value("Invalid value of '%s' for -P parallel\n", arg);
    }
    s->threads = threads;
}

void apply_tos(char, const char *arg, thread_Settings *s) {
    s->tos = leading_int(arg, 0);  // decimal, 0x hexadecimal or 0 octal
}

void apply_ttl(char, const char *arg, thread_Settings *s) {
    s->ttl = leading_int(arg, 10);
}

// --- Reports: -x -y ---

void apply_reportexclude(char, const char *arg, thread_Settings *s) {
    struct Exclusion {
        char letter;
        uint32_t flag;
    };
    static const Exclusion kExclusions[] = {
        {'C', OPT_NO_CONN_REPORT},     {'D', OPT_NO_DATA_REPORT},   {'M', OPT_NO_MCAST_REPORT},
        {'S', OPT_NO_SETTINGS_REPORT}, {'V', OPT_NO_SERVER_REPORT},
    };
    for (const char *p = arg ? arg : ""; *p; ++p) {
        const char letter = static_cast<char>(toupper(static_cast<unsigned char>(*p)));
        const Exclusion *found = nullptr;
        for (const Exclusion &e : kExclusions) {
            if (e.letter == letter) found = &e;
        }
        if (found) {
            s->option_flags |= found->flag;
            continue;
        }
        fprintf(stderr,
                "WARNING: unknown reporting type \"%c\", ignored\n valid options are:\n\t exclude: "
                "C(connection) D(data) M(multicast) S(settings) V(server) report\n\n",
                *p);
    }
}

void apply_reportstyle(char, const char *arg, thread_Settings *s) {
    const char *text = arg ? arg : "";
    if (toupper(static_cast<unsigned char>(*text)) == 'C') {
        s->report_mode = kReport_CSV;
        return;
    }
    fprintf(stderr, "WARNING: unknown reporting style \"%s\", switching to default\n", text);
}

// --- Informational: -W -h -v ---

void apply_suggest_win(char, const char *, thread_Settings *) {
    fprintf(stderr, "The -W option is not available in this release\n");
}

void apply_help(char, const char *, thread_Settings *) {
    Settings_PrintHelp(stderr);
    exit(1);
}

void apply_version(char, const char *, thread_Settings *) {
    Settings_PrintVersion(stderr);
    exit(1);
}

using Apply = void (*)(char letter, const char *arg, thread_Settings *s);

struct OptionRow {
    const char *long_name;
    int has_arg;      // of the long form
    char letter;      // getopt_long's code for the long form
    const char *env;  // the environment variable for it, or nullptr
    uint32_t flags;   // option_flags bits set before apply runs
    Apply apply;      // nullptr: the bits are all
};

// In the order the environment is read.
const OptionRow kOptions[] = {
    {"singleclient", no_argument, '1', "TORIL_SINGLECLIENT", OPT_SINGLE_CLIENT, nullptr},
    {"clientlocalport", required_argument, 'a', "TORIL_CLIENTLOCALPORT", 0,
     apply_client_local_port},
    {"bandwidth", required_argument, 'b', "TORIL_BANDWIDTH", 0, apply_bandwidth},
    {"client", required_argument, 'c', "TORIL_CLIENT", 0, apply_client},
    {"dualtest", no_argument, 'd', "TORIL_DUALTEST", 0, apply_two_way},
    {"nServer", required_argument, 'e', "TORIL_NSERVER", OPT_ENHANCED, apply_nat_server},
    {"nClient", no_argument, 'E', "TORIL_NCLIENT", 0, apply_nat_client},
    {"format", required_argument, 'f', "TORIL_FORMAT", 0, apply_format},
    {"help", no_argument, 'h', nullptr, 0, apply_help},
    {"interval", required_argument, 'i', "TORIL_INTERVAL", 0, apply_interval},
    {"len", required_argument, 'l', "TORIL_LEN", 0, apply_len},
    {"print_mss", no_argument, 'm', "TORIL_PRINT_MSS", OPT_PRINT_MSS, nullptr},
    {"num", required_argument, 'n', "TORIL_NUM", 0, apply_num},
    {"output", required_argument, 'o', nullptr, 0, apply_output},
    {"port", required_argument, 'p', "TORIL_PORT", 0, apply_port},
    {"tradeoff", no_argument, 'r', "TORIL_TRADEOFF", 0, apply_two_way},
    {"server", no_argument, 's', "TORIL_SERVER", 0, apply_server},
    {"time", required_argument, 't', "TORIL_TIME", 0, apply_time},
    {"udp", no_argument, 'u', "TORIL_UDP", 0, apply_udp},
    {"version", no_argument, 'v', nullptr, 0, apply_version},
    {"window", required_argument, 'w', "TCP_WINDOW_SIZE", 0, apply_window},
    {"reportexclude", required_argument, 'x', "TORIL_REPORTEXCLUDE", 0, apply_reportexclude},
    {"reportstyle", required_argument, 'y', "TORIL_REPORTSTYLE", 0, apply_reportstyle},
    {"realtime", no_argument, 'z', nullptr, OPT_REALTIME, nullptr},
    {"bind", required_argument, 'B', "TORIL_BIND", 0, apply_bind},
    {"compatibility", no_argument, 'C', "TORIL_COMPAT", OPT_COMPAT, apply_compat},
    {"daemon", no_argument, 'D', "TORIL_DAEMON", OPT_DAEMON, nullptr},
    {"file_input", required_argument, 'F', "TORIL_FILE_INPUT", 0, apply_file_input},
    {"stdin_input", no_argument, 'I', "TORIL_STDIN_INPUT", 0, apply_stdin_input},
    {"mss", required_argument, 'M', "TORIL_MSS", 0, apply_mss},
    {"nodelay", no_argument, 'N', "TORIL_NODELAY", OPT_NODELAY, nullptr},
    {"listenport", required_argument, 'L', "TORIL_LISTENPORT", 0, apply_listenport},
    {"parallel", required_argument, 'P', "TORIL_PARALLEL", 0, apply_parallel},
    {"remove", no_argument, 'R', nullptr, OPT_REMOVE, nullptr},
    {"tos", required_argument, 'S', "TORIL_TOS", 0, apply_tos},
    {"ttl", required_argument, 'T', "TORIL_TTL", 0, apply_ttl},
    {"single_udp", no_argument, 'U', "TORIL_SINGLE_UDP", OPT_SINGLE_UDP, nullptr},
    {"ipv6_domain", no_argument, 'V', "TORIL_IPV6_DOMAIN", OPT_IPV6, apply_ipv6},
    {"suggest_win_size", no_argument, 'W', "TORIL_SUGGEST_WIN_SIZE", OPT_SUGGEST_WIN,
     apply_suggest_win},
    {"linux-congestion", required_argument, 'Z', "TORIL_CONGESTION_CONTROL", 0, apply_congestion},
};

constexpr size_t kOptionCount = sizeof kOptions / sizeof kOptions[0];

// The getopt_long table made from kOptions, ended by a zero row.
const option *long_options() {
    static option table[kOptionCount + 1];
    static bool built = false;
    if (!built) {
        for (size_t i = 0; i < kOptionCount; ++i) {
            table[i] = {kOptions[i].long_name, kOptions[i].has_arg, nullptr, kOptions[i].letter};
        }
        table[kOptionCount] = {nullptr, 0, nullptr, 0};
        built = true;
    }
    return table;
}

}  // namespace

void Settings_Interpret(int option, const char *arg, thread_Settings *settings) {
    for (const OptionRow &row : kOptions) {
        if (row.letter != option) continue;
        settings->option_flags |= row.flags;
        if (row.apply) row.apply(row.letter, arg, settings);
        return;
    }
}

void Settings_ParseEnvironment(thread_Settings *settings) {
    for (const OptionRow &row : kOptions) {
        if (!row.env) continue;
        if (const char *value = getenv(row.env)) Settings_Interpret(row.letter, value, settings);
    }
}

void Settings_ParseCommandLine(int argc, char **argv, thread_Settings *settings) {
    optind = 0;  // a full restart of the scanner, also after an earlier parse
    opterr = 1;  // getopt_long reports unknown options and missing arguments itself
    for (int code;
         (code = getopt_long(argc, argv, kShortOptions, long_options(), nullptr)) != -1;) {
        Settings_Interpret(code, optarg, settings);
    }
    while (optind < argc) {
        fprintf(stderr, "%s: ignoring extra argument -- %s\n", argv[0], argv[optind++]);
    }
}
