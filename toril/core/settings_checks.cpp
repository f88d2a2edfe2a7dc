// Settings_ModalOptions: defaults that depend on other options, the
// cross-checks, and the compound values (histogram, isochronous, -B and -c).
//
// Checks run in a fixed order because their messages are part of the output
// users script against. Errors of the cross-checks accumulate and end the
// process once all of them were printed; the few that make later checks
// meaningless end it at once.
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "common/sockaddr.h"
#include "common/units.h"
#include "toril/core/settings.h"
#include "toril/core/settings_markers.h"
#include "toril/core/sockaddr_settings.h"

namespace {

bool is_client(const thread_Settings *s) {
    return s->thread_mode == kMode_Client;
}
bool is_udp(const thread_Settings *s) {
    return s->option_flags & OPT_UDP;
}
bool has_test(const thread_Settings *s, uint32_t bits) {
    return s->test_flags & bits;
}
bool has_ext(const thread_Settings *s, uint32_t bits) {
    return s->extra_flags & bits;
}

// Reverse, full duplex or a dual/tradeoff test: traffic flows back to the client.
bool two_way(const thread_Settings *s) {
    return has_test(s, TEST_FULL_DUPLEX | TEST_REVERSE) || s->test_mode != kTest_Normal;
}

void replace_text(char **field, const std::string &text) {
    free(*field);
    *field = strdup(text.c_str());
}

void drop_text(char **field) {
    free(*field);
    *field = nullptr;
}

[[noreturn]] void fail(const char *text) {
    fputs(text, stderr);
    exit(1);
}

// --- Host texts: "host[:port][%dev]" and "[v6addr][:port][%dev]" ---

struct HostParts {
    std::string host;
    std::string device;
    std::string port;
    bool has_device = false;
    bool has_port = false;
};

// Splits a -B or -c text. A bracketed host keeps its colons and may carry a
// scope inside the brackets and, with bracket_port, a port after them; an
// unbracketed one has a port only with plain_port and exactly one colon, since
// more colons make it an IPv6 literal.
HostParts split_host(const char *text, bool plain_port, bool bracket_port) {
    HostParts parts;
    std::string rest(text ? text : "");
    if (!rest.empty() && rest[0] == '[' && rest.find(']') != std::string::npos) {
        const size_t close = rest.find(']');
        parts.host = rest.substr(1, close - 1);
        rest = rest.substr(close + 1);
        const size_t scope = parts.host.find('%');
        if (scope != std::string::npos) {
            parts.has_device = true;
            parts.device = parts.host.substr(scope + 1);
            parts.host.resize(scope);
        }
        const size_t percent = rest.find('%');
        if (percent != std::string::npos) {
            parts.has_device = true;
            parts.device = rest.substr(percent + 1);
            rest.resize(percent);
        }
        if (!rest.empty() && rest[0] == ':' && bracket_port) {
            parts.has_port = true;
            parts.port = rest.substr(1);
        }
        return parts;
    }
    const size_t percent = rest.find('%');
    if (percent != std::string::npos) {
        parts.has_device = true;
        parts.device = rest.substr(percent + 1);
        rest.resize(percent);
    }
    const size_t colon = rest.find(':');
    if (plain_port && colon != std::string::npos &&
        rest.find(':', colon + 1) == std::string::npos) {
        parts.has_port = true;
        parts.port = rest.substr(colon + 1);
        rest.resize(colon);
    }
    parts.host = rest;
    return parts;
}

bool parse_port(const std::string &text, uint16_t *port) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
    if (text.size() > 5) return false;
    const long value = strtol(text.c_str(), nullptr, 10);
    if (value > 65535) return false;
    *port = static_cast<uint16_t>(value);
    return true;
}

// --- Steps 1-9: defaults and checks for every role ---

void apply_defaults(thread_Settings *s) {
    if (!(s->option_flags & OPT_LEN_SET)) {
        if (is_udp(s)) {
            s->buf_len = (is_client(s) && (s->option_flags & OPT_IPV6)) ? 1450 : 1470;
        } else {
            s->buf_len = has_ext(s, EXT_BOUNCEBACK) ? 100 : 128 * 1024;
        }
    }
    if (s->port_last == 0) s->port_last = s->port;
    if (is_udp(s) && !(s->option_flags & OPT_RATE_SET)) s->rate = 1024 * 1024;
    if (has_test(s, TEST_TRIP_TIMES) && two_way(s)) s->option_flags |= OPT_ENHANCED;
    if (is_client(s)) {
        if ((s->option_flags & OPT_TIME_MODE) && settings_markers.run_forever) {
            s->test_flags |= TEST_INFINITE;
            s->option_flags &= ~OPT_TIME_MODE;
            fprintf(stderr,
                    "WARNING: client will send traffic forever or until an external signal "
                    "(e.g. SIGINT or SIGTERM) occurs to stop it\n");
        }
        if ((s->option_flags & OPT_CONGESTION) && has_test(s, TEST_FULL_DUPLEX)) {
            fprintf(stderr,
                    "WARNING: tcp congestion control will only be applied on transmit traffic, "
                    "use -Z on the server\n");
        }
    }
    if (has_ext(s, EXT_HIDE_IPS)) replace_text(&s->hidden_text, "(**hidden**)");
}

bool check_compat(const thread_Settings *s) {
    const uint32_t extended = TEST_FULL_DUPLEX | TEST_TRIP_TIMES | TEST_RATE_VARIANCE |
                              TEST_HISTOGRAM | TEST_ISOCH | TEST_REVERSE;
    if (!(s->option_flags & OPT_COMPAT)) return false;
    if (!has_test(s, extended) && !(s->option_flags & OPT_ENHANCED) &&
        s->test_mode == kTest_Normal) {
        return false;
    }
    fprintf(stderr, "ERROR: compatibility mode not supported with the requested with options\n");
    return true;
}

bool check_permit_key(const thread_Settings *s) {
    if (!has_test(s, TEST_PERMIT_KEY)) return false;
    if (is_udp(s)) {
        fprintf(stderr, "ERROR: Option of --permit-key not supported with UDP\n");
        return true;
    }
    const size_t len = strlen(s->permit_key);
    if (len > 0 && len < 4) {
        fprintf(stderr, "ERROR: value for --permit-key must have at least %d characters\n", 4);
        return true;
    }
    return false;
}

void check_ip_families(thread_Settings *s) {
    if (has_ext(s, EXT_IPV4) && (s->option_flags & OPT_IPV6)) {
        fprintf(stderr, "WARN: both ipv4 and ipv6 set\n");
        s->extra_flags &= ~EXT_IPV4;
        s->option_flags &= ~OPT_IPV6;
    }
}

// --- Step 10: client checks ---

bool client_flag_warnings(thread_Settings *s) {
    bool error = false;
    if (s->option_flags & OPT_LEGACY_REVERSE) s->test_flags |= TEST_REVERSE;
    if (has_test(s, TEST_INCR_SRCIP) && !s->local_host) {
        fprintf(stderr, "ERROR: option of --incr-srcip requires -B bind option to be set\n");
        error = true;
    }
    if (has_ext(s, EXT_SUM_DSTIP)) {
        fprintf(stderr, "WARN: option of --sum-dstip not supported on the client\n");
    }
    if (has_ext(s, EXT_TOS_OVERRIDE)) {
        s->extra_flags &= ~EXT_TOS_OVERRIDE;
        fprintf(stderr, "WARN: option of --tos-override not supported on the client\n");
    }
    if (has_ext(s, EXT_RX_WINCLAMP)) {
        fprintf(stderr, "WARN: option of --tcp-rx-window-clamp not supported on the client\n");
        s->extra_flags &= ~EXT_RX_WINCLAMP;
    }
    // The -B port is split off only later, so look at the -B text itself.
    const bool bind_port_given =
        s->bind_port != 0 ||
        (s->local_host && split_host(s->local_host, !(s->option_flags & OPT_IPV6), true).has_port);
    if (has_ext(s, EXT_INCR_SRCPORT) && !bind_port_given) {
        fprintf(stderr,
                "WARN: option of --incr-srcport requires -B bind option w/port to be set\n");
        s->extra_flags &= ~EXT_INCR_SRCPORT;
    }
    if (has_ext(s, EXT_BURST)) {
        s->option_flags |= OPT_ENHANCED;
        s->test_flags |= TEST_FRAME_INTERVAL;
    }
    if (s->ttl > 255) {
        fprintf(stderr, "ERROR: option of -ttl (-T) must be less than %d\n", 255);
        error = true;
    }
    if (has_test(s, TEST_PERMIT_KEY) && s->permit_key[0] == '\0') {
        fprintf(stderr, "ERROR: option of --permit-key requires a value on the client\n");
        error = true;
    }
    return error;
}

bool client_start_times(thread_Settings *s) {
    const bool start = has_test(s, TEST_TXSTART);
    const bool delay = has_test(s, TEST_TXDELAY);
    if (!is_udp(s) && start && delay) {
        fprintf(stderr,
                "ERROR: options of --txstart-time and --txdelay-time are mutually exclusive\n");
        return true;
    }
    if (!start && !delay) return false;
    timeval now = {};
    gettimeofday(&now, nullptr);
    constexpr int kMaxDelay_s = 3600;
    if (start) {
        if (s->txstart_sec < 0) {
            fprintf(stderr, "ERROR: --txstart-time must be a positive value\n");
            s->test_flags &= ~TEST_TXSTART;
            return true;
        }
        const double ahead_s = static_cast<double>(s->txstart_sec - now.tv_sec) +
                               static_cast<double>(s->txstart_usec - now.tv_usec) / 1e6;
        if (ahead_s > kMaxDelay_s) {
            const time_t when = static_cast<time_t>(s->txstart_sec);
            tm local = {};
            char text[80] = "";
            if (localtime_r(&when, &local)) {
                strftime(text, sizeof text, "(%Y-%m-%d %H:%M:%S %Z)", &local);
            }
            // The fraction is printed as the microseconds it stands for.
            printf("ERROR: --txstart-time (%ld.%06ld) %s exceeds max scheduled delay of %d secs\n",
                   static_cast<long>(s->txstart_sec), static_cast<long>(s->txstart_usec), text,
                   kMaxDelay_s);
            return true;
        }
    } else if (s->txdelay_sec > kMaxDelay_s) {
        printf(
            "ERROR: --txdelay-time of %d seconds is more than the supported delay of %d "
            "seconds\n",
            static_cast<int>(std::min<int64_t>(s->txdelay_sec, INT_MAX)), kMaxDelay_s);
        return true;
    }
    return false;
}

// Returns whether an error was found; *skip_burst when the burst checks do not apply.
bool client_bounceback(thread_Settings *s, bool *skip_burst) {
    *skip_burst = false;
    if (!has_ext(s, EXT_BOUNCEBACK)) return false;
    bool error = false;
    if (s->burst_size > 0) {
        fprintf(stderr,
                "WARN: options of --burst-size for bounce-back ignored, use -l sets size\n");
    }
    s->bounceback_size = s->buf_len;
    s->burst_size = s->buf_len;
    if (!settings_markers.bounceback_no_quickack) {
        s->extra_flags |= EXT_QUICKACK;
    } else if (has_ext(s, EXT_QUICKACK)) {
        fprintf(stderr,
                "ERROR: --tcp-quickack and --bounceback-no-quickack are mutually exclusive\n");
        error = true;
    }
    // A count the user did not give is the default of ten, whatever the period.
    if (s->bounceback_count == -1) s->bounceback_count = 10;
    if (!has_ext(s, EXT_BURST)) {
        s->extra_flags |= EXT_BURST;
        s->frame_rate = 1;
        if (s->interval_mode == kInterval_None) {
            s->interval_mode = kInterval_Time;
            s->interval_usec = 1000000;
        }
    } else if (s->frame_rate <= 0.00001) {
        s->extra_flags &= ~EXT_BURST;
        *skip_burst = true;
    }
    return error;
}

bool client_burst(thread_Settings *s, bool skip) {
    if (skip) return false;
    bool error = false;
    if (has_ext(s, EXT_BURST)) {
        if (has_test(s, TEST_ISOCH)) {
            fprintf(stderr,
                    "ERROR: options of --burst-period and --isochronous cannot be applied "
                    "together\n");
            error = true;
        } else if (has_test(s, TEST_NEAR_CONGESTION)) {
            fprintf(stderr,
                    "ERROR: options of --burst-period and --near-congestion cannot be applied "
                    "together\n");
            error = true;
        } else if (s->burst_size == 0) {
            s->burst_size = 1024 * 1024;
        }
        // After a conflict the size was never settled; one error says enough.
        if (!error && s->burst_size < s->buf_len) {
            fprintf(stderr,
                    "ERROR: option of --burst-size %d must be equal or larger to write length "
                    "(-l) %d\n",
                    s->burst_size, s->buf_len);
            error = true;
        }
    } else if (!has_ext(s, EXT_BOUNCEBACK) && s->burst_size > 0) {
        s->extra_flags |= EXT_BURST;
        s->frame_rate = 1;
        fprintf(stderr,
                "WARN: option of --burst-size without --burst-period defaults --burst-period to 1 "
                "second\n");
    }
    return error;
}

bool client_udp(thread_Settings *s) {
    bool error = false;
    auto refuse = [&error](bool condition, const char *text) {
        if (!condition) return;
        fputs(text, stderr);
        error = true;
    };
    refuse(has_test(s, TEST_PEER_DETECT),
           "ERROR: option of -X or --peer-detect not supported with -u UDP\n");
    refuse(has_test(s, TEST_CONNECT_ONLY),
           "ERROR: option of --connect-only not supported with -u UDP\n");
    refuse(has_test(s, TEST_NEAR_CONGESTION),
           "ERROR: option of --near-congestion not supported with -u UDP\n");
    refuse((s->option_flags & OPT_RATE_SET) && has_test(s, TEST_IPG),
           "ERROR: options of --b and --ipg cannot be applied together\n");
    refuse(s->burst_ipg < 0, "ERROR: option --ipg must be a positive value\n");
    refuse(s->connect_retries > 0, "ERROR: option --connect-retries not supported with -u UDP\n");
    if (has_ext(s, EXT_WRITE_PREFETCH)) {
        s->extra_flags &= ~EXT_WRITE_PREFETCH;
        fprintf(stderr,
                "WARN: setting of option --tcp-write-prefetch is not supported with -u UDP\n");
    }
    if (has_ext(s, EXT_QUICKACK)) {
        s->extra_flags &= ~EXT_QUICKACK;
        fprintf(stderr, "WARN: setting of option --tcp-quickack is not supported with -u UDP\n");
    }
    const bool pps = (s->rate_units == kRate_PPS);
    double target_ns;
    if (has_test(s, TEST_IPG)) {
        target_ns = s->burst_ipg * 1e9;
    } else if (pps) {
        target_ns = 1e9 / static_cast<double>(s->rate);
    } else {
        target_ns = static_cast<double>(s->buf_len) * 8 * 1e9 / static_cast<double>(s->rate);
    }
    if ((target_ns < 0 && !pps) || target_ns > 6e10) {
        fprintf(stderr, "ERROR: IPG delay target of %.1f secs too large (max value is %d secs)\n",
                target_ns / 1e9, 60);
        error = true;
    }
    if (has_test(s, TEST_TRIP_TIMES) && s->buf_len < 128) {
        if (two_way(s)) {
            fprintf(stderr,
                    "ERROR: payload (-l) size of %d too small for --trip-times, must be %d or "
                    "greater\n",
                    s->buf_len, 128);
            error = true;
        } else {
            s->extra_flags |= EXT_SMALL_TRIPTIME;
        }
    }
    return error;
}

bool client_tcp(thread_Settings *s) {
    bool error = false;
    auto refuse = [&error](bool condition, const char *text) {
        if (!condition) return;
        fputs(text, stderr);
        error = true;
    };
    refuse(s->rate != 0 && has_test(s, TEST_NEAR_CONGESTION),
           "ERROR: option of --near-congestion and -b rate limited are mutually exclusive\n");
    if ((s->option_flags & OPT_RATE_SET) && s->rate_units == kRate_BW &&
        s->rate / 8 < static_cast<uint64_t>(std::max(s->buf_len, 0))) {
        fprintf(stderr,
                "ERROR: option -b and -l of %d are incompatible, consider setting -l to %d or "
                "lower\n",
                s->buf_len, static_cast<int>(s->rate / 8));
        error = true;
    }
    refuse(has_test(s, TEST_IPG), "ERROR: option --ipg requires -u UDP\n");
    refuse(has_test(s, TEST_NO_UDP_FIN), "ERROR: option --no-udp-fin requires -u UDP\n");
    refuse(has_test(s, TEST_TXDELAY) && has_test(s, TEST_CONNECT_ONLY),
           "ERROR: Fail because --txdelay-time and --connect-only cannot be applied together\n");
    refuse(s->rate_units == kRate_PPS, "ERROR: units of pps not supported with TCP\n");
    return error;
}

bool client_directions(thread_Settings *s) {
    bool error = false;
    if (has_test(s, TEST_HISTOGRAM) && !has_test(s, TEST_REVERSE | TEST_FULL_DUPLEX)) {
        s->extra_flags |= EXT_WRITE_TIMES;
        s->histogram_units = 6;
        s->histogram_bins = 100000;
        s->histogram_binwidth = 100;
        s->histogram_ci_lower = 5;
        s->histogram_ci_upper = 95;
    }
    if ((s->option_flags & OPT_CONGESTION) && has_test(s, TEST_REVERSE)) {
        fprintf(stderr,
                "ERROR: tcp congestion control -Z and --reverse cannot be applied together\n");
        error = true;
    }
    const bool rate_and_isoch = (s->option_flags & OPT_RATE_SET) && has_test(s, TEST_ISOCH);
    const bool exclusive = (has_test(s, TEST_FULL_DUPLEX) &&
                            (has_test(s, TEST_REVERSE) || s->test_mode != kTest_Normal)) ||
                           (has_test(s, TEST_REVERSE) && s->test_mode != kTest_Normal);
    if (exclusive) {
        fprintf(stderr,
                "ERROR: options of --full-duplex, --reverse, -d and -r are mutually exclusive\n");
        if (rate_and_isoch) {
            fprintf(stderr, "ERROR: options of --b and --isochronous cannot be applied together\n");
        }
        exit(1);
    }
    if (rate_and_isoch)
        fail("ERROR: options of --b and --isochronous cannot be applied together\n");
    return error;
}

bool check_client(thread_Settings *s) {
    bool error = client_flag_warnings(s);
    error |= client_start_times(s);
    bool skip_burst = false;
    error |= client_bounceback(s, &skip_burst);
    error |= client_burst(s, skip_burst);
    error |= is_udp(s) ? client_udp(s) : client_tcp(s);
    error |= client_directions(s);
    return error;
}

// --- Step 11: server checks ---

void generate_permit_key(thread_Settings *s) {
    static const char kAlphabet[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    timeval now = {};
    gettimeofday(&now, nullptr);
    s->key_time_sec = now.tv_sec;
    s->key_time_usec = now.tv_usec;
    srand(static_cast<unsigned>(now.tv_sec));
    int len = snprintf(s->permit_key, sizeof s->permit_key, "%ld.%06d-",
                       static_cast<long>(now.tv_sec), static_cast<int>(now.tv_usec));
    for (int i = 0; i < 16 && len < kPermitKeyMax; ++i)
        s->permit_key[len++] = kAlphabet[rand() % 62];
    s->permit_key[len] = '\0';
}

bool check_server(thread_Settings *s) {
    bool error = false;
    if (s->port_last != 0 && s->port_last < s->port) {
        fprintf(stderr, "ERROR: invalid port range of %d-%d\n", s->port, s->port_last);
        error = true;
    }
    if (has_test(s, TEST_PERMIT_KEY)) {
        if (s->permit_key[0] == '\0') generate_permit_key(s);
        if (s->permit_key_timeout < 0) s->permit_key_timeout = 20;
    }
    if (has_ext(s, EXT_BOUNCEBACK)) {
        fprintf(stderr, "ERROR: setting of option --bounce-back is not supported on the server\n");
        error = true;
    }
    auto note = [](bool condition, const char *text) {
        if (condition) fputs(text, stderr);
    };
    note(has_test(s, TEST_TRIP_TIMES),
         "WARN: setting of option --trip-times is not supported on the server\n");
    if (has_ext(s, EXT_WRITE_PREFETCH)) {
        fputs("WARN: setting of option --tcp-write-prefetch is not supported on the server\n",
              stderr);
        s->extra_flags &= ~EXT_WRITE_PREFETCH;
    }
    note(has_test(s, TEST_INCR_SRCIP),
         "WARN: setting of option --incr-srcip is not supported on the server\n");
    note(has_test(s, TEST_RATE_VARIANCE),
         "WARN: option of variance per -b is not supported on the server\n");
    note(has_test(s, TEST_TXSTART),
         "WARN: option of --txstart-time is not supported on the server\n");
    note(has_test(s, TEST_TXDELAY),
         "WARN: option of --txdelay-time is not supported on the server\n");
    note(has_test(s, TEST_IPG), "WARN: option of --ipg is not supported on the server\n");
    note(has_test(s, TEST_ISOCH), "WARN: option of --isochronous is not supported on the server\n");
    note(has_test(s, TEST_FULL_DUPLEX),
         "WARN: option of --full-duplex is not supported on the server\n");
    note(has_test(s, TEST_REVERSE), "WARN: option of --reverse is not supported on the server\n");
    note(has_test(s, TEST_INCR_DSTIP),
         "WARN: option of --incr-dstip is not supported on the server\n");
    note(has_test(s, TEST_FQ_RATE), "WARN: option of --fq-rate is not supported on the server\n");
    note(has_test(s, TEST_NO_UDP_FIN),
         "WARN: option of --no-udp-fin is not supported on the server\n");
    note(has_test(s, TEST_PEER_DETECT),
         "WARN: option of -X or --peer-detect not supported on the server\n");
    note(s->connect_retries > 0, "WARN: option --connect-retries not supported on the server\n");
    note(has_test(s, TEST_NEAR_CONGESTION),
         "WARN: option of --near-congestion not supported on the server\n");
    note(has_ext(s, EXT_BURST), "WARN: option of --burst-period can only be set on the client\n");
    note(s->burst_size != 0, "WARN: option of --burst-size not supported on the server\n");
    if (is_udp(s) && has_ext(s, EXT_RX_WINCLAMP)) {
        fputs("WARN: option of --tcp-rx-window-clamp not supported using -u UDP \n", stderr);
        s->extra_flags &= ~EXT_RX_WINCLAMP;
    }
    return error;
}

// --- Steps 13-17: compound values ---

// "width[u|m],bins,lower,upper"; any field may be missing.
void parse_histogram_spec(thread_Settings *s) {
    if (!has_test(s, TEST_HISTOGRAM)) return;
    if (!s->histogram_spec) {
        s->histogram_units = 6;
        s->histogram_bins = 10000;
        s->histogram_binwidth = 100;
        s->histogram_ci_lower = 5;
        s->histogram_ci_upper = 95;
        return;
    }
    std::string fields[4];
    const std::string spec_text(s->histogram_spec);
    size_t start = 0;
    for (int i = 0; i < 4; ++i) {
        const size_t comma = spec_text.find(',', start);
        fields[i] =
            spec_text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    if (fields[0].find('u') != std::string::npos) {
        s->histogram_units = 6;
    } else if (fields[0].find('m') != std::string::npos) {
        s->histogram_units = 3;
    } else if (s->histogram_units == 0) {
        // No unit has been chosen yet: microseconds, as when the text names no unit.
        s->histogram_units = 6;
    }
    const long long width = strtoll(fields[0].c_str(), nullptr, 10);
    // A bin needs a positive width; anything else keeps the default width.
    s->histogram_binwidth = (width >= 1 && width <= INT32_MAX) ? static_cast<int32_t>(width) : 100;
    s->histogram_ci_lower = 5;
    s->histogram_ci_upper = 95;
    if (!fields[1].empty()) {
        const int64_t bins = byte_atoi(fields[1].c_str());
        // 0 lets the histogram pick its default count.
        s->histogram_bins =
            static_cast<int32_t>(std::max<int64_t>(0, std::min<int64_t>(bins, INT32_MAX)));
    }
    auto bound = [](const std::string &field, double fallback) {
        char *end = nullptr;
        const double value = strtod(field.c_str(), &end);
        return (end != field.c_str() && std::isfinite(value)) ? value : fallback;
    };
    s->histogram_ci_lower = bound(fields[2], 5);
    s->histogram_ci_upper = bound(fields[3], 95);
}

void adjust_sizes(thread_Settings *s) {
    if (is_udp(s)) {
        if (has_test(s, TEST_FULL_DUPLEX)) s->test_flags |= TEST_NO_UDP_FIN;
        if (is_client(s) && settings_markers.l2checks) {
            s->test_flags |= TEST_L2CHECKS;
            settings_markers.l2checks = false;
        }
        return;
    }
    if (s->burst_size != 0 && s->burst_size < s->buf_len) {
        fprintf(stderr,
                "WARN: Setting --burst-size to %d because value given is smaller than -l value\n",
                s->buf_len);
        s->burst_size = s->buf_len;
    } else if (s->burst_size == 0 && has_test(s, TEST_TRIP_TIMES)) {
        s->burst_size = s->buf_len;
    }
}

// "fps:mean[,variance]"
void parse_isoch_spec(thread_Settings *s) {
    if (!has_test(s, TEST_ISOCH) || !s->isoch_spec || !is_client(s)) return;
    const std::string spec_text(s->isoch_spec);
    const size_t colon = spec_text.find(':');
    char *end = nullptr;
    const std::string fps_text = spec_text.substr(0, colon == std::string::npos ? 0 : colon);
    const double fps = strtod(fps_text.c_str(), &end);
    // Frames are paced at 1/fps, so only a positive finite rate is a format.
    if (colon == std::string::npos || !std::isfinite(fps) || fps <= 0) {
        fprintf(stderr,
                "WARNING: Invalid --isochronous value, format is <fps>:<mean>,<variance> (e.g. "
                "60:18M,1m)\n");
        return;
    }
    s->frame_rate = fps;
    const std::string rest = spec_text.substr(colon + 1);
    const size_t comma = rest.find(',');
    const std::string mean_text = rest.substr(0, comma);
    if (mean_text.empty()) {
        s->variance = 0;
        s->isoch_mean = 20000000;
        return;
    }
    double mean = bitorbyte_atof(mean_text.c_str());
    if (mean == 0) fail("ERROR: Invalid --isochronous mean value, must be greater than zero\n");
    if (mean < 0) {
        if (!is_udp(s)) fail("ERROR: Invalid --isochronous units of 'p' with TCP must be bytes\n");
        mean = -mean * 8 * s->buf_len * s->frame_rate;
    }
    s->isoch_mean = mean;
    if (comma != std::string::npos) s->variance = bitorbyte_atof(rest.c_str() + comma + 1);
}

[[noreturn]] void bad_bind_port(const std::string &port) {
    fprintf(stderr, "Invalid value of '%s' for -B port\n", port.c_str());
    exit(1);
}

void parse_bind_host(thread_Settings *s) {
    if (!s->local_host) return;
    const bool client = is_client(s);
    const HostParts parts = split_host(s->local_host, !(s->option_flags & OPT_IPV6), true);
    if (parts.has_device) {
        if (client) {
            fprintf(stderr, "WARNING: Client cannot set bind device %s via -B consider using -c\n",
                    parts.device.c_str());
        } else {
            replace_text(&s->bind_device, parts.device);
        }
    }
    if (parts.has_port) {
        if (client) {
            if (!parse_port(parts.port, &s->bind_port)) bad_bind_port(parts.port);
        } else {
            fprintf(stderr, "WARNING: port %s ignored - set receive port on server via -p or -L\n",
                    parts.port.c_str());
        }
    }
    replace_text(&s->local_host, parts.host);
    SockAddr_setHostname(s->local_host, &s->local, s->option_flags & OPT_IPV6);
    s->local_len = SockAddr_get_sizeof_sockaddr(&s->local);
    if (!SockAddr_isMulticast(&s->local)) return;
    if (client) {
        drop_text(&s->bind_device);
        fprintf(stderr, "WARNING: Client src addr (per -B) must be ip unicast\n");
    } else {
        s->option_flags |= OPT_MULTICAST;
    }
}

void parse_client_host(thread_Settings *s) {
    if (s->port < s->port_last) {
        const int n = s->port_last - s->port + 1;
        if (s->threads < n) {
            fprintf(stderr, "WARNING: port-range and -P mismatch (adjusting -P to %d)\n", n);
            s->threads = n;
        } else if (n < s->threads) {
            // The streams use port .. port + threads - 1; say so and keep the range true.
            const int last = static_cast<int>(
                std::min<int64_t>(static_cast<int64_t>(s->port) + s->threads - 1, 65535));
            fprintf(stderr, "WARNING: port-range and -P mismatch (adjusting port-range to %d-%d)\n",
                    s->port, last);
            s->port_last = static_cast<uint16_t>(last);
        }
    }
    const HostParts parts = split_host(s->host, false, false);
    if (parts.has_device) replace_text(&s->host_device, parts.device);
    replace_text(&s->host, parts.host);
    SockAddr_zeroAddress(&s->peer);
    SockAddr_remoteAddr(s);
    if (SockAddr_isLinklocal(&s->peer)) {
        if (s->host_device) {
            replace_text(&s->host, std::string(s->host) + "%" + s->host_device);
            drop_text(&s->host_device);
        } else {
            fprintf(
                stderr,
                "WARNING: usage of ipv6 link-local requires a device specifier, e.g. %s%%eth0\n",
                s->host);
        }
        // Resolved again, with its scope, when the client connects.
        SockAddr_zeroAddress(&s->peer);
        s->peer_len = 0;
    }
    if (!SockAddr_isMulticast(&s->peer)) return;
    if (s->threads >= 2 && !has_test(s, TEST_INCR_DSTIP)) {
        fail("ERROR: client option of -P greater than 1 not supported with multicast address\n");
    }
    if (two_way(s)) {
        fail(
            "ERROR: options of --full-duplex, --reverse, -d and -r not supported with multicast "
            "addresses\n");
    }
    s->option_flags |= OPT_MULTICAST;
}

}  // namespace

void strip_v6_brackets(char *text) {
    if (!text || text[0] != '[') return;
    char *close = strchr(text, ']');
    if (!close) return;
    const size_t len = static_cast<size_t>(close - text - 1);
    memmove(text, text + 1, len);
    text[len] = '\0';
}

void Settings_ModalOptions(thread_Settings *s) {
    apply_defaults(s);
    bool error = check_compat(s);
    error |= check_permit_key(s);
    check_ip_families(s);
    error |= is_client(s) ? check_client(s) : check_server(s);
    if (error) exit(1);
    parse_histogram_spec(s);
    adjust_sizes(s);
    parse_isoch_spec(s);
    parse_bind_host(s);
    if (is_client(s)) parse_client_host(s);
}
