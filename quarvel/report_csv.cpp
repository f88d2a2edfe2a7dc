// The comma-separated style of quarvel's reports (-y C).
#include <netinet/in.h>
#include <sys/time.h>

#include <cstdio>
#include <ctime>

#include "common/sockaddr.h"
#include "quarvel/report_formats.h"

namespace {

// Local time of printing, to the second; enhanced reports add milliseconds.
void time_stamp(char *text, size_t size, bool enhanced) {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    tm local;
    localtime_r(&now.tv_sec, &local);
    char seconds[32];
    strftime(seconds, sizeof seconds, "%Y%m%d%H%M%S", &local);
    if (enhanced) {
        snprintf(text, size, "%s.%.3d", seconds, static_cast<int>(now.tv_nsec / 1000000));
    } else {
        snprintf(text, size, "%s", seconds);
    }
}

long long bits_per_second(const TransferInfo &info) {
    const double span_s = info.end_time - info.start_time;
    if (span_s <= 0) return 0;
    const double bps = static_cast<double>(info.bytes) * 8.0 / span_s;
    // A value beyond the integer range (a span of microseconds, or a byte
    // count a server report sent above 2^63) is clamped.
    if (bps >= 9.2e18) return 9200000000000000000LL;
    if (bps <= -9.2e18) return -9200000000000000000LL;
    return static_cast<long long>(bps);
}

void make_peer_text(DataReport *report) {
    const ReportedSettings &s = report->settings;
    char local[INET6_ADDRSTRLEN];
    char peer[INET6_ADDRSTRLEN];
    SockAddr_getHostAddress(&s.local, local, sizeof local);
    SockAddr_getHostAddress(&s.peer, peer, sizeof peer);
    snprintf(report->info.csv_peer, sizeof report->info.csv_peer, "%s,%u,%s,%u", local,
             static_cast<unsigned>(SockAddr_getPort(&s.local)), peer,
             static_cast<unsigned>(SockAddr_getPort(&s.peer)));
}

}  // namespace

void CSV_stats(DataReport *report) {
    TransferInfo &info = report->info;
    char stamp[48];
    time_stamp(stamp, sizeof stamp, info.enhanced != 0);
    const char *peer = info.csv_peer[0] ? info.csv_peer : ",,,";
    if (info.udp_role == kRole_Receiver) {
        const double percent = info.datagrams > 0 ? static_cast<double>(info.lost) * 100.0 /
                                                        static_cast<double>(info.datagrams)
                                                  : 0.0;
        printf("%s,%s,%d,%.1f-%.1f,%lld,%lld,%.3f,%lld,%lld,%.3f,%lld\n", stamp, peer,
               info.transfer_id, info.start_time, info.end_time, static_cast<long long>(info.bytes),
               bits_per_second(info), info.jitter * 1000.0, static_cast<long long>(info.lost),
               static_cast<long long>(info.datagrams), percent,
               static_cast<long long>(info.out_of_order));
    } else {
        printf("%s,%s,%d,%.1f-%.1f,%lld,%lld\n", stamp, peer, info.transfer_id, info.start_time,
               info.end_time, static_cast<long long>(info.bytes), bits_per_second(info));
    }
    if (info.final) info.csv_peer[0] = '\0';
}

void CSV_serverstats(DataReport *report) {
    make_peer_text(report);
    CSV_stats(report);
}

void CSV_peer(DataReport *report) {
    make_peer_text(report);
}

void settings_notimpl(DataReport *) {}
