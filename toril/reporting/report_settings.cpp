#include "toril/reporting/report_settings.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cctype>
#include <cmath>
#include <cstdio>

#include "common/sockaddr.h"
#include "common/sockopt.h"
#include "common/units.h"
#include "toril/reporting/report.h"
#include "toril/reporting/report_connection.h"

const char separator_line[] = "------------------------------------------------------------\n";
const char server_pid_portrange[] = "Server listening on %s ports %d-%d with pid %d\n";
const char server_pid_port[] = "Server listening on %s port %d with pid %d\n";
const char server_port[] = "Server listening on %s port %d\n";
const char bind_address[] = "Binding to local address %s\n";
const char bind_address_iface[] = "Binding to local address %s and iface %s\n";
const char join_multicast_sg_dev[] = "Joining multicast (S,G)=%s,%s w/iface %s\n";
const char join_multicast_sg[] = "Joining multicast (S,G)=%s,%s\n";
const char join_multicast_starg_dev[] = "Joining multicast (*,G)=*,%s w/iface %s\n";
const char join_multicast[] = "Joining multicast group  %s\n";
const char bind_address_iface_taptun[] = "Using virtual iface %s (AF_PACKET & SOCK_RAW)\n";
const char server_read_size[] = "Read buffer size";
const char report_mss[] = "MSS req size %d bytes (per TCP_MAXSEG)\n";
const char report_default_mss[] = "MSS size %d bytes\n";
const char client_pid_port[] = "Client connecting to %s, %s port %d with pid %d (%d flows)\n";
const char client_port[] = "Client connecting to %s, %s port %d\n";
const char client_pid_port_dev[] =
    "Client connecting to %s, %s port %d with pid %d via %s (%d flows)\n";
const char client_write_size[] = "Write buffer size";
const char client_isochronous[] =
    "Isochronous: %0.2f frames/sec mean=%s/s, stddev=%s/s, Period/IPG=%0.2f/%.3f ms\n";
const char client_burstperiod[] = "Bursting: %s every %0.2f second(s)\n";
const char client_burstperiodcount[] = "Bursting: %s writes %d times every %0.2f second(s)\n";
const char client_bounceback[] =
    "Bounce-back test (size=%s) (server hold req=%d usecs & tcp_quickack)\n";
const char client_bounceback_noqack[] = "Bounce-back test (size=%s) (server hold req=%d usecs)\n";
const char client_fq_pacing[] = "fair-queue socket pacing set to %s/s\n";
const char client_datagram_size_kalman[] =
    "Sending %d byte datagrams, IPG target: %.2f us (kalman adjust)\n";
const char udp_buffer_size[] = "UDP buffer size";
const char tcp_window_size[] = "TCP window size";
const char window_default[] = "(default)";
const char warn_window_requested[] = " (WARNING: requested %s)";

namespace {

constexpr size_t kSizeText = 64;  // one byte_snprintf result

char upper_format(const SettingsSnapshot *c) {
    return static_cast<char>(toupper(static_cast<unsigned char>(c->format)));
}

const char *protocol_word(const SettingsSnapshot *c) {
    return (c->option_flags & OPT_UDP) ? "UDP" : "TCP";
}

void print_mss(const SettingsReport *r) {
    const SettingsSnapshot *c = r->common;
    // A UDP socket has no segment size; its report carries none.
    if (!(c->option_flags & OPT_PRINT_MSS) || (c->option_flags & OPT_UDP)) return;
    printf((c->test_flags & TEST_MSS_SET) ? report_mss : report_default_mss, r->mss);
}

void print_congestion(const SettingsSnapshot *c) {
    if ((c->option_flags & OPT_CONGESTION) && c->congestion_algo && c->congestion_algo[0])
        printf("TCP congestion control set to %s\n", c->congestion_algo);
}

// Bin width in ms: the width counts units of 10^-units seconds.
double histogram_binwidth_ms(const SettingsSnapshot *c) {
    return c->histogram_binwidth * 1000.0 / std::pow(10.0, c->histogram_units);
}

// Gap between datagrams the client aims at, in microseconds.
double ipg_target_us(const SettingsSnapshot *c) {
    if (c->test_flags & TEST_IPG) return c->burst_ipg * 1000.0;  // --ipg is in ms
    if (c->rate == 0) return 0.0;
    const double rate = static_cast<double>(c->rate);
    if (c->rate_units == kRate_PPS) return 1e6 / rate;
    return c->buf_len * 8.0 * 1e6 / rate;
}

void print_bind_lines(const SettingsReport *r) {
    const SettingsSnapshot *c = r->common;
    if (!c->local_host) return;
    const char *dev = c->bind_device;
    if (!SockAddr_isMulticast(&r->local)) {
        if (!(c->option_flags & OPT_ENHANCED)) return;
        if (dev) {
            printf(bind_address_iface, c->local_host, dev);
        } else {
            char text[INET6_ADDRSTRLEN];
            report_address_text(&r->local, (c->extra_flags & EXT_HIDE_IPS) != 0, text, sizeof text);
            printf(bind_address, text);
        }
        return;
    }
    const char *source = c->ssm_source;
    if (source && dev)
        printf(join_multicast_sg_dev, source, c->local_host, dev);
    else if (source)
        printf(join_multicast_sg, source, c->local_host);
    else if (dev)
        printf(join_multicast_starg_dev, c->local_host, dev);
    else
        printf(join_multicast, c->local_host);
}

void print_listener(SettingsReport *r, int pid) {
    const SettingsSnapshot *c = r->common;
    const bool enhanced = (c->option_flags & OPT_ENHANCED) != 0;
    const bool udp = (c->option_flags & OPT_UDP) != 0;
    const char *proto = protocol_word(c);
    if (c->port < c->port_last)
        printf(server_pid_portrange, proto, c->port, c->port_last, pid);
    else if (enhanced)
        printf(server_pid_port, proto, c->port, pid);
    else
        printf(server_port, proto, c->port);
    print_bind_lines(r);
    if (c->extra_flags & EXT_TAP_DEV)
        printf(bind_address_iface_taptun, c->bind_device ? c->bind_device : "");
    if (enhanced) {
        char size[kSizeText], bin[kSizeText];
        byte_snprintf(size, sizeof size, c->buf_len, upper_format(c));
        byte_snprintf(bin, sizeof bin, c->buf_len / 8, 'A');
        printf("%s: %s (Dist bin width=%s)\n", server_read_size, size, bin);
    }
    print_congestion(c);
    if (c->extra_flags & EXT_TOS_OVERRIDE)
        printf("Reflected TOS will be set to 0x%x\n", static_cast<unsigned>(c->override_tos));
    print_mss(r);
    if (c->tos) printf("TOS will be set to 0x%x\n", static_cast<unsigned>(c->tos));
    if (c->option_flags & OPT_SINGLE_CLIENT) {
        if (udp)
            printf(
                "WARN: Suggested to use lower case -u instead of -U (to avoid serialize & bypass "
                "of reporter thread)\n");
        else
            printf("Server set to single client traffic mode (serialize traffic tests)\n");
    }
    if (c->option_flags & OPT_MULTICAST)
        printf("Server set to single client traffic mode (per multicast receive)\n");
    if (c->test_flags & TEST_HISTOGRAM)
        printf(
            "Enabled receive histograms bin-width=%0.3f ms, bins=%d (clients should use "
            "--trip-times)\n",
            histogram_binwidth_ms(c), c->histogram_bins);
    if (c->interval_mode == kInterval_Frames || (c->test_flags & TEST_FRAME_INTERVAL))
        printf(
            "Frame or burst interval reporting (feature is experimental, ./configure "
            "--enable-fastsampling suggested)\n");
    output_window_size(r);
    printf("\n");
    if ((c->test_flags & TEST_PERMIT_KEY) && c->permit_key && c->permit_key[0]) {
        if (c->permit_key_timeout > 0)
            printf("Permit key is '%s' (timeout in %0.1f seconds)\n", c->permit_key,
                   c->permit_key_timeout);
        else
            printf("Permit key is '%s' (WARN: no timeout)\n", c->permit_key);
    }
}

void print_client_traffic_shape(const SettingsReport *r) {
    const SettingsSnapshot *c = r->common;
    char text[kSizeText], text2[kSizeText];
    if (c->test_flags & TEST_ISOCH) {
        byte_snprintf(text, sizeof text, r->isoch_mean_bytes, 'a');
        byte_snprintf(text2, sizeof text2, r->isoch_variance_bytes, 'a');
        printf(client_isochronous, r->isoch_fps, text, text2, r->isoch_period_us / 1000.0,
               r->isoch_ipg_us / 1000.0);
    }
    if (c->extra_flags & EXT_BURST) {
        byte_snprintf(text, sizeof text, c->burst_size, 'A');
        const double period_s = c->frame_rate > 0 ? 1.0 / c->frame_rate : 0.0;
        // The count is -1 when none was given; only a real count is printed.
        if (c->bounceback_count > 0)
            printf(client_burstperiodcount, text, c->bounceback_count, period_s);
        else
            printf(client_burstperiod, text, period_s);
    }
    if (c->extra_flags & EXT_BOUNCEBACK) {
        byte_snprintf(text, sizeof text, c->bounceback_size, 'A');
        printf((c->extra_flags & EXT_QUICKACK) ? client_bounceback : client_bounceback_noqack, text,
               c->bounceback_hold);
    }
    if (c->test_flags & TEST_FQ_RATE) {
        byte_snprintf(text, sizeof text, static_cast<double>(c->fq_rate), 'a');
        printf(client_fq_pacing, text);
    }
}

void print_client(SettingsReport *r, int pid) {
    const SettingsSnapshot *c = r->common;
    const bool enhanced = (c->option_flags & OPT_ENHANCED) != 0;
    const bool udp = (c->option_flags & OPT_UDP) != 0;
    const bool near_congestion = (c->test_flags & TEST_NEAR_CONGESTION) != 0;
    const char *host = c->host ? c->host : "";
    if ((c->extra_flags & EXT_HIDE_IPS) && c->hidden_text) host = c->hidden_text;
    const int flows = c->threads ? c->threads : 1;
    const char *proto = protocol_word(c);
    // Only a device the user named on -c; the one found for the socket later
    // is shown in the connection line.
    const char *dev = c->host_device && c->host_device[0] ? c->host_device : nullptr;
    if (dev)
        printf(client_pid_port_dev, host, proto, c->port, pid, dev, flows);
    else if (enhanced)
        printf(client_pid_port, host, proto, c->port, pid, flows);
    else
        printf(client_port, host, proto, c->port);
    if ((enhanced || near_congestion) && !udp) {
        char size[kSizeText];
        byte_snprintf(size, sizeof size, c->buf_len, 'B');
        if (c->extra_flags & EXT_WRITE_TIMES)
            printf("%s: %s (writetimer-enabled)\n", client_write_size, size);
        else
            printf("%s: %s\n", client_write_size, size);
    }
    print_client_traffic_shape(r);
    print_mss(r);
    print_congestion(c);
    if (enhanced) {
        if (c->option_flags & OPT_NODELAY)
            printf("TOS set to 0x%x and nodelay (Nagle off)\n", static_cast<unsigned>(c->tos));
        else
            printf("TOS set to 0x%x (Nagle on)\n", static_cast<unsigned>(c->tos));
    }
    if (near_congestion) {
        if (c->near_congest_weight == 0.5)
            printf(
                "TCP near-congestion delay weight set to %2.4f (use --near-congestion=<value> "
                "to change)\n",
                c->near_congest_weight);
        else
            printf("TCP near-congestion delay weight set to %2.4f\n", c->near_congest_weight);
    }
    if (c->option_flags & OPT_SINGLE_CLIENT)
        printf(
            "WARN: Client set to bypass reporter thread per -U (suggest use lower case -u "
            "instead)\n");
    if (((c->test_flags & TEST_IPG) || udp) && !(c->test_flags & TEST_ISOCH))
        printf(client_datagram_size_kalman, c->buf_len, ipg_target_us(c));
    if (c->test_flags & TEST_CONNECT_ONLY) {
        printf("TCP three-way-handshake (3WHS) only\n");
        return;
    }
    output_window_size(r);
    printf("\n");
    if (c->extra_flags & EXT_WRITE_PREFETCH)
        printf("Event based writes (pending queue watermark at %d bytes)\n", c->write_prefetch);
    if (c->test_flags & TEST_HISTOGRAM)
        printf("Enabled write histograms bin-width=%0.3f ms, bins=%d\n", histogram_binwidth_ms(c),
               c->histogram_bins);
}

}  // namespace

void output_window_size(SettingsReport *r) {
    const SettingsSnapshot *c = r->common;
    const int actual = getsock_tcp_windowsize(c->sock, c->thread_mode == kMode_Client);
    char letter = upper_format(c);
    if (letter != 'B') letter = 'A';
    char text[kSizeText];
    byte_snprintf(text, sizeof text, actual, letter);
    printf("%s: %s", (c->option_flags & OPT_UDP) ? udp_buffer_size : tcp_window_size, text);
    if (r->win_requested == 0) {
        printf(" %s", window_default);
    } else if (r->win_requested != actual) {
        byte_snprintf(text, sizeof text, r->win_requested, upper_format(c));
        printf(warn_window_requested, text);
    }
}

void reporter_print_settings_report(SettingsReport *report) {
    if (!report || !report->common) return;
    const int pid = static_cast<int>(getpid());
    printf("%s", separator_line);
    if (report->common->thread_mode == kMode_Listener)
        print_listener(report, pid);
    else
        print_client(report, pid);
    fflush(stdout);
    printf("%s", separator_line);
    fflush(stdout);
}
