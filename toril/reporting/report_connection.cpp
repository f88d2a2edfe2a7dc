#include "toril/reporting/report_connection.h"

#include <arpa/inet.h>
#include <net/if.h>

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "common/sockaddr.h"
#include "common/sockopt.h"
#include "toril/reporting/report.h"
#include "toril/reporting/report_settings.h"
#include "toril/reporting/reporter.h"

const char report_peer[] = "%slocal %s port %u connected with %s port %u%s\n";
const char report_peer_dev[] = "%slocal %s%%%s port %u connected with %s port %u%s\n";
const char report_peer_fail[] =
    "[drop] local %s port %u connection with %s port %u%s (permit key fail)\n";
const char warn_start_before_now[] =
    "[%3d] WARNING: --txstart-time (%ld.%ld) %s is before now %s\n";
const char client_report_epoch_start_current[] =
    "[%3d] Client traffic to start in %d seconds at %s current time is %s\n";
const char server_reporting[] = "[%3d] Server Report:\n";

namespace {

constexpr size_t kOutBufferSize = 512;  // the connection line's suffix
constexpr size_t kPeerVersionMax = 246;
constexpr size_t kTimeText = 80;

// The suffix of a connection line; a part that would not fit whole is left out.
struct Suffix {
    char text[kOutBufferSize] = {};
    size_t len = 0;
};

[[gnu::format(printf, 2, 3)]] void append(Suffix *suffix, const char *format, ...) {
    char part[kOutBufferSize];
    va_list args;
    va_start(args, format);
    const int n = vsnprintf(part, sizeof part, format, args);
    va_end(args);
    if (n < 0 || suffix->len + static_cast<size_t>(n) >= sizeof suffix->text) return;
    memcpy(suffix->text + suffix->len, part, static_cast<size_t>(n) + 1);
    suffix->len += static_cast<size_t>(n);
}

bool is_client(const SettingsSnapshot *c) {
    return c->thread_mode == kMode_Client;
}
bool is_udp(const SettingsSnapshot *c) {
    return (c->option_flags & OPT_UDP) != 0;
}
bool is_enhanced(const SettingsSnapshot *c) {
    return (c->option_flags & OPT_ENHANCED) != 0;
}
bool is_fullduplex(const SettingsSnapshot *c) {
    return (c->test_flags & TEST_FULL_DUPLEX) != 0;
}
bool is_bounceback(const SettingsSnapshot *c) {
    return (c->extra_flags & EXT_BOUNCEBACK) != 0;
}
// Reverse on either side: the client receives, or the server end sends.
bool is_reverse(const SettingsSnapshot *c) {
    return (c->test_flags & (TEST_REVERSE | TEST_SERVER_REVERSE)) != 0;
}
// The server's end of a reverse or full-duplex test that sends towards the
// client runs as a client record marked server-reverse.
bool is_sending_reverse_leg(const SettingsSnapshot *c) {
    return is_client(c) && (c->test_flags & TEST_SERVER_REVERSE);
}

// The snapshot carries no key-check result. A server connection refused by
// the permit key is reported before its test got a transfer id; any other
// server connection of a keyed listener (except connect-only ones, which are
// reported without starting a test) has one.
bool permit_key_failed(const SettingsSnapshot *c) {
    return c->thread_mode == kMode_Server && (c->test_flags & TEST_PERMIT_KEY) &&
           !(c->test_flags & TEST_CONNECT_ONLY) && !c->transfer_id_text;
}

void local_time_text(int64_t seconds, const char *format, char *text, size_t size) {
    const time_t t = static_cast<time_t>(seconds);
    tm parts;
    text[0] = '\0';
    if (localtime_r(&t, &parts)) strftime(text, size, format, &parts);
}

Timestamp wall_now() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return {static_cast<int64_t>(ts.tv_sec), static_cast<int64_t>(ts.tv_nsec / 1000)};
}

void append_tos(Suffix *s, const SettingsSnapshot *c) {
    const auto tos = static_cast<unsigned>(c->tos);
    if (!(c->extra_flags & EXT_TOS_OVERRIDE)) {
        if (!c->tos) return;
        if (is_fullduplex(c) || is_bounceback(c))
            append(s, " (tos rx/tx=0x%x/0x%x)", tos, tos);
        else if (is_reverse(c))
            append(s, " (tos tx=0x%x)", tos);
        else
            append(s, " (tos rx=0x%x)", tos);
        return;
    }
    const auto reflected = static_cast<unsigned>(c->override_tos);
    if (is_fullduplex(c))
        append(s, " (tos rx/tx=0x%x/0x%x)", tos, reflected);
    else if (is_reverse(c))
        append(s, " (tos tx=0x%x)", reflected);
}

// When the connection came up: the client's start time that came with a
// trip-times test, else the moment the line is printed (the reporter prints
// a connection line right after it was posted).
Timestamp connection_time(const ConnectionReport *r) {
    if (timestamp_isset(r->epochStartTime) && !(r->common->test_flags & TEST_TXSTART))
        return r->epochStartTime;
    return wall_now();
}

void build_suffix(const ConnectionReport *r, Suffix *s) {
    const SettingsSnapshot *c = r->common;
    const bool tcp = !is_udp(c);
    if (tcp && (c->extra_flags & EXT_RX_WINCLAMP) && c->sock > 0) {
        const int clamp = getsock_tcp_windowclamp(c->sock);
        if (clamp >= 0) append(s, " (%s%d)", "clamp=", clamp);
    }
    if (tcp && c->sock > 0 && (c->extra_flags & EXT_WRITE_PREFETCH))
        append(s, " (%s%d)", "prefetch=", c->write_prefetch);
    if (c->test_flags & TEST_ISOCH) append(s, " (isoch)");
    if ((c->extra_flags & EXT_BURST) && c->thread_mode == kMode_Server &&
        !is_sending_reverse_leg(c) && c->frame_rate > 0)
        append(s, " (burst-period=%0.2fs)", 1.0 / c->frame_rate);
    if (is_fullduplex(c)) {
        append(s, " (full-duplex)");
    } else if (is_reverse(c)) {
        append(s, " (reverse)");
        if (c->test_flags & TEST_FQ_RATE) append(s, " (fq)");
    }
    if (c->test_flags & TEST_TXSTART) append(s, " (epoch-start)");
    if (is_bounceback(c)) {
        if (c->extra_flags & EXT_QUICKACK)
            append(s, " (bb w/quickack len/hold=%d/%d)", c->bounceback_size, c->bounceback_hold);
        else
            append(s, " (bb len/hold=%d/%d)", c->bounceback_size, c->bounceback_hold);
    }
    if (c->test_flags & TEST_L2CHECKS) append(s, " (l2mode)");
    if (!tcp && (c->test_flags & TEST_NO_UDP_FIN)) append(s, " (no-udp-fin)");
    if (c->test_flags & TEST_TRIP_TIMES) append(s, " (trip-times)");
    if (is_enhanced(c)) append(s, " (sock=%d)", c->sock);
    append_tos(s, c);
    if ((is_enhanced(c) || (c->test_flags & TEST_PEER_DETECT)) && r->peerversion[0])
        append(s, "%s", r->peerversion);
    if ((c->extra_flags & EXT_QUICKACK) && !is_bounceback(c)) append(s, " (qack)");
    if (tcp && r->tcpinitstats.valid)
        append(s, " (icwnd/mss/irtt=%u/%u/%u)", r->tcpinitstats.cwnd_kbytes, r->tcpinitstats.mss,
               r->tcpinitstats.rtt_us);
    if (!is_sending_reverse_leg(c) && (is_enhanced(c) || (c->test_flags & TEST_CONNECT_ONLY))) {
        const Timestamp when = connection_time(r);
        if (when.tv_sec > 0) {
            char text[kTimeText];
            local_time_text(when.tv_sec, "%Y-%m-%d %H:%M:%S (%Z)", text, sizeof text);
            const double ct_ms = r->tcpinitstats.connect_time_ms;
            if (is_client(c) && tcp && ct_ms > 0)
                append(s, " (ct=%4.2f ms) on %s", ct_ms, text);
            else
                append(s, " on %s", text);
        }
    }
}

// The interface the line names: on a client the -c device, else (and when
// that is unset) the bound or discovered device; nullptr when none.
const char *line_device(const SettingsSnapshot *c) {
    if (c->thread_mode == kMode_Client && c->host_device && c->host_device[0])
        return c->host_device;
    if (c->bind_device && c->bind_device[0]) return c->bind_device;
    return nullptr;
}

// A client held back by --txstart-time or --txdelay-time says when it starts.
void print_start_notice(const ConnectionReport *r) {
    const SettingsSnapshot *c = r->common;
    if (!is_client(c) || is_sending_reverse_leg(c)) return;
    const bool start_time = (c->test_flags & TEST_TXSTART) && timestamp_isset(r->epochStartTime);
    const bool holdback = timestamp_isset(r->txholdbacktime);
    if (!start_time && !holdback) return;
    const Timestamp now = wall_now();
    char current[kTimeText], start[kTimeText];
    local_time_text(now.tv_sec, "%Y-%m-%d %H:%M:%S (%Z)", current, sizeof current);
    int64_t wait_s;
    if (start_time) {
        local_time_text(r->epochStartTime.tv_sec, "%Y-%m-%d %H:%M:%S", start, sizeof start);
        wait_s = static_cast<int64_t>(std::ceil(timestamp_diff_s(r->epochStartTime, now)));
    } else {
        wait_s = r->txholdbacktime.tv_sec + (r->txholdbacktime.tv_usec > 0 ? 1 : 0);
        local_time_text(now.tv_sec + wait_s, "%Y-%m-%d %H:%M:%S", start, sizeof start);
    }
    if (wait_s < 1)
        printf(warn_start_before_now, c->transfer_id, static_cast<long>(r->epochStartTime.tv_sec),
               static_cast<long>(r->epochStartTime.tv_usec), start, current);
    else
        printf(client_report_epoch_start_current, c->transfer_id, static_cast<int>(wait_s), start,
               current);
}

// The reporter's printers are in place before main runs: this object is
// always linked, since the report objects call reporter_peerversion.
[[maybe_unused]] const bool printers_installed = (reporter_install_text_printers(), true);

}  // namespace

void report_address_text(const sockaddr_storage *address, bool hide, char *text, size_t size) {
    if (size == 0) return;
    text[0] = '\0';
    const auto length = static_cast<socklen_t>(size);
    if (address->ss_family == AF_INET) {
        const auto *in = reinterpret_cast<const sockaddr_in *>(address);
        const char *done = hide ? inet_ntop_hide(AF_INET, &in->sin_addr, text, length)
                                : inet_ntop(AF_INET, &in->sin_addr, text, length);
        if (!done) text[0] = '\0';
    } else if (address->ss_family == AF_INET6) {
        const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(address);
        if (!inet_ntop(AF_INET6, &in6->sin6_addr, text, length)) text[0] = '\0';
    }
}

void reporter_peerversion(ConnectionReport *report, uint32_t upper, uint32_t lower) {
    report->peerversion[0] = '\0';
    if (upper == 0 || lower == 0) return;
    const char *ending;
    switch (lower & 0xF) {
        case 0:
            ending = "-dev)";
            break;
        case 1:
            ending = "-rc)";
            break;
        case 2:
            ending = "-rc2)";
            break;
        case 3:
            ending = ")";
            break;
        case 4:
            ending = "-private)";
            break;
        case 5:
            ending = "-master)";
            break;
        default:
            ending = "-unk)";
            break;
    }
    snprintf(report->peerversion, kPeerVersionMax + 1, " (peer %d.%d.%d%s",
             static_cast<int>(upper >> 16), static_cast<int>(upper & 0xFFFF),
             static_cast<int>(lower >> 16), ending);
}

void reporter_print_connection_report(ConnectionReport *report) {
    if (!report || !report->common) return;
    const SettingsSnapshot *c = report->common;
    Suffix suffix;
    build_suffix(report, &suffix);
    const bool hide = (c->extra_flags & EXT_HIDE_IPS) != 0;
    char local[INET6_ADDRSTRLEN], peer[INET6_ADDRSTRLEN];
    report_address_text(&c->local, hide, local, sizeof local);
    report_address_text(&c->peer, hide, peer, sizeof peer);
    const unsigned local_port = SockAddr_getPort(&c->local);
    const unsigned peer_port = SockAddr_getPort(&c->peer);
    const char *prefix = c->transfer_id_text ? c->transfer_id_text : "";
    const char *dev = line_device(c);
    if (permit_key_failed(c)) {
        printf(report_peer_fail, local, local_port, peer, peer_port, suffix.text);
    } else if (is_enhanced(c) && dev && strnlen(dev, IF_NAMESIZE) < IF_NAMESIZE) {
        printf(report_peer_dev, prefix, local, dev, local_port, peer, peer_port, suffix.text);
    } else {
        printf(report_peer, prefix, local, local_port, peer, peer_port, suffix.text);
    }
    print_start_notice(report);
    fflush(stdout);
}

void reporter_print_server_relay_report(ServerRelayReport *report) {
    if (!report || !report->common) return;
    const SettingsSnapshot *c = report->common;
    printf(server_reporting, c->transfer_id);
    if ((c->test_flags & TEST_TRIP_TIMES) || is_enhanced(c))
        udp_output_read_triptime(&report->info);
    else
        udp_output_read(&report->info);
    fflush(stdout);
}

void reporter_connect_printf_tcp_final(ConnectionReport *aggregate) {
    if (!aggregate) return;
    const MeanMinMax &ct = aggregate->connect_times;
    if (ct.cnt < 2) return;
    const double mean = ct.sum / static_cast<double>(ct.cnt);
    const double stdev = std::sqrt(ct.m2 / static_cast<double>(ct.cnt - 1));
    printf(
        "[ CT] final connect times (min/avg/max/stdev) = %0.3f/%0.3f/%0.3f/%0.3f ms (tot/err) = "
        "%ld/%ld\n",
        ct.min, mean, ct.max, stdev, static_cast<long>(ct.cnt + aggregate->connect_errors),
        static_cast<long>(aggregate->connect_errors));
    fflush(stdout);
}

void reporter_install_text_printers() {
    reporter_text_printers.settings = reporter_print_settings_report;
    reporter_text_printers.connection = reporter_print_connection_report;
    reporter_text_printers.server_relay = reporter_print_server_relay_report;
    reporter_text_printers.connect_final = reporter_connect_printf_tcp_final;
}
