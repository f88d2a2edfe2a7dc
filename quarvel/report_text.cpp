// The default text lines of quarvel's reports.
#include <netinet/in.h>
#include <unistd.h>

#include <cctype>
#include <cmath>
#include <cstdio>

#include "common/sockaddr.h"
#include "common/sockopt.h"
#include "common/units.h"
#include "quarvel/report_formats.h"

namespace {

const char kRule[] = "------------------------------------------------------------\n";

// Transfer in byte units (the letter upper-cased) and rate in the letter as
// given; zero_when_empty prints a rate of 0 for a line without bytes.
struct Quantities {
    char bytes[40];
    char rate[40];
};

Quantities quantities_of(const TransferInfo &info, bool zero_when_empty) {
    Quantities q;
    const char letter = info.format;
    const char upper = static_cast<char>(toupper(static_cast<unsigned char>(letter)));
    byte_snprintf(q.bytes, sizeof q.bytes, static_cast<double>(info.bytes), upper,
                  ToolVariant::kQuarvel);
    const double span_s = info.end_time - info.start_time;
    double rate = 0;
    if (!(zero_when_empty && info.bytes == 0) && span_s > 0) {
        rate = static_cast<double>(info.bytes) / span_s;
    }
    byte_snprintf(q.rate, sizeof q.rate, rate, letter, ToolVariant::kQuarvel);
    return q;
}

long long ll(int64_t value) {
    return static_cast<long long>(value);
}

double percent_lost(const TransferInfo &info) {
    return info.datagrams > 0
               ? static_cast<double>(info.lost) * 100.0 / static_cast<double>(info.datagrams)
               : 0.0;
}

double packet_rate(const TransferInfo &info) {
    return info.packets > 0 && info.gap_sum > 0 ? static_cast<double>(info.packets) / info.gap_sum
                                                : 0.0;
}

// A final (or server) line carries a rate in packets, which is 0 for a slow
// test that still received datagrams; it has data when it counted any.
bool has_packets(const TransferInfo &info) {
    return info.final ? info.datagrams > 0 : info.packets > 0;
}

// The column header, once per process before the first data line.
bool header_due() {
    if (header_printed) return false;
    header_printed = true;
    return true;
}

void print_header(const char *header) {
    if (header_due()) fputs(header, stdout);
}

void print_tcp(const TransferInfo &info, const Quantities &q) {
    const TcpCounters &tcp = info.tcp;
    if (info.enhanced && info.tcp_role == kRole_Receiver) {
        if (header_due()) {
            printf("[ ID] Interval        Transfer    Bandwidth       Reads   Dist(bin=%.1fK)\n",
                   info.bin_width / 1024.0);
        }
        printf(
            "[%3d] %4.2f-%4.2f sec  %ss  %ss/sec  %lld    "
            "%lld:%lld:%lld:%lld:%lld:%lld:%lld:%lld\n",
            info.transfer_id, info.start_time, info.end_time, q.bytes, q.rate, ll(tcp.reads),
            ll(tcp.bins[0]), ll(tcp.bins[1]), ll(tcp.bins[2]), ll(tcp.bins[3]), ll(tcp.bins[4]),
            ll(tcp.bins[5]), ll(tcp.bins[6]), ll(tcp.bins[7]));
    } else if (info.enhanced && info.tcp_role == kRole_Sender) {
        print_header(
            "[ ID] Interval        Transfer    Bandwidth       Write/Err  Rtry    Cwnd/RTT\n");
        printf("[%3d] %4.2f-%4.2f sec  %ss  %ss/sec  %lld/%lld %10lld %8uK/%u us\n",
               info.transfer_id, info.start_time, info.end_time, q.bytes, q.rate, ll(tcp.writes),
               ll(tcp.write_errors), ll(tcp.retries), info.cwnd_kbytes, info.rtt_us);
    } else {
        print_header("[ ID] Interval       Transfer     Bandwidth\n");
        printf("[%3d] %4.1f-%4.1f sec  %ss  %ss/sec\n", info.transfer_id, info.start_time,
               info.end_time, q.bytes, q.rate);
    }
}

void print_udp_sender(const TransferInfo &info, const Quantities &q) {
    if (info.enhanced) {
        print_header("[ ID] Interval       Transfer     Bandwidth      PPS\n");
        printf("[%3d] %4.2f-%4.2f sec  %ss  %ss/sec %4.0f pps\n", info.transfer_id, info.start_time,
               info.end_time, q.bytes, q.rate, packet_rate(info));
    } else {
        print_header("[ ID] Interval       Transfer     Bandwidth\n");
        printf("[%3d] %4.1f-%4.1f sec  %ss  %ss/sec\n", info.transfer_id, info.start_time,
               info.end_time, q.bytes, q.rate);
    }
    if (info.final) printf("[%3d] Sent %lld datagrams\n", info.transfer_id, ll(info.datagrams));
}

// Clocks of the two hosts too far apart for a transit time to mean anything.
bool transit_unsynchronised(const TransitStats &transit) {
    return transit.min > 60.0 || transit.min < -1.0;
}

void print_udp_receiver_enhanced(TransferInfo &info, const Quantities &q, bool data) {
    print_header(
        "[ ID] Interval       Transfer     Bandwidth        Jitter   Lost/Total  Latency "
        "avg/min/max/stdev PPS\n");
    const double jitter_ms = data ? info.jitter * 1000.0 : 0.0;
    const double percent = data ? percent_lost(info) : 0.0;
    const TransitStats &transit = info.transit;
    if (!data || transit_unsynchronised(transit) || transit.count <= 0) {
        printf(
            "[%3d] %4.2f-%4.2f sec  %ss  %ss/sec  %6.3f ms %4lld/%5lld (%.2g%%) -/-/-/- ms "
            "%4.0f pps\n",
            info.transfer_id, info.start_time, info.end_time, q.bytes, q.rate, jitter_ms,
            ll(info.lost), ll(info.datagrams), percent, data ? packet_rate(info) : 0.0);
    } else {
        const double count = static_cast<double>(transit.count);
        const double stdev_ms =
            transit.count > 1 ? std::sqrt(transit.m2 / (count - 1)) / 1000.0 : 0.0;
        printf(
            "[%3d] %4.2f-%4.2f sec  %ss  %ss/sec  %6.3f ms %4lld/%5lld (%.2g%%) "
            "%6.3f/%6.3f/%6.3f/%6.3f ms %4.0f pps\n",
            info.transfer_id, info.start_time, info.end_time, q.bytes, q.rate, jitter_ms,
            ll(info.lost), ll(info.datagrams), percent, transit.sum / count * 1000.0,
            transit.min * 1000.0, transit.max * 1000.0, stdev_ms, packet_rate(info));
    }
}

void print_udp_receiver(TransferInfo &info, const Quantities &q) {
    const bool data = has_packets(info);
    if (info.enhanced) {
        print_udp_receiver_enhanced(info, q, data);
    } else {
        print_header(
            "[ ID] Interval       Transfer     Bandwidth        Jitter   Lost/Total Datagrams\n");
        printf("[%3d] %4.1f-%4.1f sec  %ss  %ss/sec  %6.3f ms %4lld/%5lld (%.2g%%)\n",
               info.transfer_id, info.start_time, info.end_time, q.bytes, q.rate,
               data ? info.jitter * 1000.0 : 0.0, ll(info.lost), ll(info.datagrams),
               data ? percent_lost(info) : 0.0);
    }
    if (info.out_of_order > 0) {
        printf("[%3d] %4.2f-%4.2f sec  %lld datagrams received out-of-order\n", info.transfer_id,
               info.start_time, info.end_time, ll(info.out_of_order));
    }
    if (info.enhanced && !info.final) {
        // The next interval's latency starts afresh from the last transit;
        // after the final line the whole-test values stay for GetReport.
        TransitStats &transit = info.transit;
        transit.count = 0;
        transit.mean = 0;
        transit.m2 = 0;
        transit.deviation = 0;
        transit.sum = 0;
        transit.min = transit.max = transit.last;
    }
}

bool is_multicast(const sockaddr_storage &address) {
    return SockAddr_isMulticast(&address);
}

void print_sending_line(const ReportedSettings &s) {
    double gap_us;
    if (s.rate_units == kRate_PPS) {
        gap_us = 1e6 / static_cast<double>(s.rate);
    } else {
        gap_us = static_cast<double>(s.buf_len) * 8.0 * 1e6 / static_cast<double>(s.rate);
    }
    printf("Sending %d byte datagrams, IPG target: %4.2f us (kalman adjust)\n", s.buf_len, gap_us);
}

void print_window_line(const ReportedSettings &s, bool udp) {
    const bool client = s.thread_mode == kMode_Client;
    const char upper = static_cast<char>(toupper(static_cast<unsigned char>(s.format)));
    const int actual = getsock_tcp_windowsize(s.sock, client);
    char actual_text[40];
    byte_snprintf(actual_text, sizeof actual_text, actual, upper, ToolVariant::kQuarvel);
    printf("%s: %s", udp ? "UDP buffer size" : "TCP window size", actual_text);
    if (s.window_size == 0) {
        printf(" %s", "(default)");
    } else if (actual != s.window_size) {
        char requested_text[40];
        byte_snprintf(requested_text, sizeof requested_text, s.window_size, upper,
                      ToolVariant::kQuarvel);
        printf(" (WARNING: requested %s)", requested_text);
    }
    printf("\n%s", kRule);
}

}  // namespace

void reporter_printstats(DataReport *report) {
    TransferInfo &info = report->info;
    const Quantities q = quantities_of(info, true);
    if (info.udp_role == kRole_Sender) {
        print_udp_sender(info, q);
    } else if (info.udp_role == kRole_Receiver) {
        print_udp_receiver(info, q);
    } else {
        print_tcp(info, q);
    }
}

void reporter_serverstats(DataReport *report) {
    printf("[%3d] Server Report:\n", report->info.transfer_id);
    reporter_printstats(report);
}

void reporter_multistats(DataReport *report) {
    const TransferInfo &info = report->info;
    const Quantities q = quantities_of(info, false);
    const TcpCounters &tcp = info.tcp;
    const bool udp = info.udp_role != kUdpRole_None;
    if (info.enhanced && udp) {
        printf("[SUM] %4.2f-%4.2f sec  %ss  %ss/sec %4.0f pps\n", info.start_time, info.end_time,
               q.bytes, q.rate, packet_rate(info));
    } else if (info.enhanced && info.tcp_role == kRole_Sender) {
        printf("[SUM] %4.2f-%4.2f sec  %ss  %ss/sec  %lld/%lld%10lld\n", info.start_time,
               info.end_time, q.bytes, q.rate, ll(tcp.writes), ll(tcp.write_errors),
               ll(tcp.retries));
    } else if (info.enhanced && info.tcp_role == kRole_Receiver) {
        printf(
            "[SUM] %4.2f-%4.2f sec  %ss  %ss/sec  %lld    "
            "%lld:%lld:%lld:%lld:%lld:%lld:%lld:%lld\n",
            info.start_time, info.end_time, q.bytes, q.rate, ll(tcp.reads), ll(tcp.bins[0]),
            ll(tcp.bins[1]), ll(tcp.bins[2]), ll(tcp.bins[3]), ll(tcp.bins[4]), ll(tcp.bins[5]),
            ll(tcp.bins[6]), ll(tcp.bins[7]));
    } else if (info.udp_role == kRole_Receiver) {
        printf("[SUM] %4.1f-%4.1f sec  %ss  %ss/sec  %6.3f ms %4lld/%5lld (%.2g%%)\n",
               info.start_time, info.end_time, q.bytes, q.rate, info.jitter * 1000.0, ll(info.lost),
               ll(info.datagrams), percent_lost(info));
    } else {
        printf("[SUM] %4.1f-%4.1f sec  %ss  %ss/sec\n", info.start_time, info.end_time, q.bytes,
               q.rate);
    }
    if (info.udp_role == kRole_Receiver && info.out_of_order > 0) {
        printf("[SUM] %4.2f-%4.2f sec  %lld datagrams received out-of-order\n", info.start_time,
               info.end_time, ll(info.out_of_order));
    }
    if (info.final && info.udp_role == kRole_Sender) {
        printf("[SUM] Sent %lld datagrams\n", ll(info.datagrams));
    }
}

void reporter_reportsettings(DataReport *report) {
    const ReportedSettings &s = report->settings;
    const bool udp = (s.option_flags & OPT_UDP) != 0;
    const bool enhanced = (s.option_flags & OPT_ENHANCED) != 0;
    const bool client = s.thread_mode == kMode_Client;
    const char *protocol = udp ? "UDP" : "TCP";
    const int pid = static_cast<int>(getpid());

    printf("%s", kRule);
    if (!client) {
        if (enhanced) {
            printf("Server listening on %s port %d with pid %d\n", protocol, s.port, pid);
        } else {
            printf("Server listening on %s port %d\n", protocol, s.port);
        }
    } else if (enhanced) {
        printf("Client connecting to %s, %s port %d with pid %d\n", s.host.c_str(), protocol,
               s.port, pid);
    } else {
        printf("Client connecting to %s, %s port %d\n", s.host.c_str(), protocol, s.port);
    }

    if (!s.local_host.empty()) printf("Binding to local address %s\n", s.local_host.c_str());
    if (udp && client) {
        print_sending_line(s);
        if (is_multicast(s.peer)) printf("Setting multicast TTL to %d\n", s.ttl);
    } else {
        if (is_multicast(s.local)) printf("Joining multicast group  %s\n", s.local_host.c_str());
        if (udp) {
            printf("Receiving %d byte datagrams\n", s.buf_len);
            if (is_multicast(s.peer)) printf("Setting multicast TTL to %d\n", s.ttl);
        }
    }
    print_window_line(s, udp);
}

void reporter_reportpeer(DataReport *report) {
    const int id = report->info.transfer_id;
    if (id <= 0) return;
    const ReportedSettings &s = report->settings;
    char local[INET6_ADDRSTRLEN];
    char peer[INET6_ADDRSTRLEN];
    SockAddr_getHostAddress(&s.local, local, sizeof local);
    SockAddr_getHostAddress(&s.peer, peer, sizeof peer);
    printf("[%3d] local %s port %u connected with %s port %u\n", id, local,
           static_cast<unsigned>(SockAddr_getPort(&s.local)), peer,
           static_cast<unsigned>(SockAddr_getPort(&s.peer)));
}

namespace {

struct MtuRow {
    int low_mss;
    int high_mss;
    int mtu;
    const char *name;
    bool pmtu_warning;  // a segment this small suggests Path MTU Discovery is off
};

// Segment sizes of the usual links (inclusive ranges), first match wins.
const MtuRow kMtuRows[] = {
    {1420, 1460, 1500, "ethernet", false}, {4272, 4312, 4352, "FDDI", false},
    {9100, 9140, 9180, "ATM", false},      {65200, 65240, 65280, "HIPPI", false},
    {496, 536, 576, "minimum", true},
};

}  // namespace

void PrintMSSValue(int transfer_id, int mss) {
    if (mss <= 0) {
        printf("[%3d] MSS and MTU size unknown (TCP_MAXSEG not supported by OS?)\n", transfer_id);
        return;
    }
    int mtu = mss + 40;
    const char *name = "unknown interface";
    for (const MtuRow &row : kMtuRows) {
        if (mss >= row.low_mss && mss <= row.high_mss) {
            mtu = row.mtu;
            name = row.name;
            if (row.pmtu_warning) printf("WARNING: Path MTU Discovery may not be enabled.\n");
            break;
        }
    }
    printf("[%3d] MSS size %d bytes (MTU %d bytes, %s)\n", transfer_id, mss, mtu, name);
}

void PrintMSS(DataReport *report) {
    PrintMSSValue(report->info.transfer_id, getsock_tcp_mss(report->settings.sock));
}
