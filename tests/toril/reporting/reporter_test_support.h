// Streams for reporter tests: a thread record, its data report and the
// records fed into it, with the stream's clock starting at 1000 s.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "toril/reporting/report.h"
#include "toril/reporting/report_format.h"
#include "toril/reporting/reporter.h"

namespace reporter_test {

constexpr int64_t kStart_s = 1000;

inline Timestamp at(double offset_s) {
    const double whole = std::floor(offset_s);
    auto usec = static_cast<int64_t>(std::llround((offset_s - whole) * 1e6));
    auto sec = kStart_s + static_cast<int64_t>(whole);
    if (usec >= 1000000) {
        sec += 1;
        usec -= 1000000;
    }
    return {sec, usec};
}

struct SettingsDeleter {
    void operator()(thread_Settings *s) const { Settings_Destroy(s); }
};
using SettingsPtr = std::unique_ptr<thread_Settings, SettingsDeleter>;

inline void set_address(sockaddr_storage *a, uint32_t *len, const char *ip, uint16_t port) {
    memset(a, 0, sizeof *a);
    auto *in = reinterpret_cast<sockaddr_in *>(a);
    in->sin_family = AF_INET;
    in->sin_port = htons(port);
    inet_pton(AF_INET, ip, &in->sin_addr);
    *len = sizeof(sockaddr_in);
}

struct StreamOptions {
    ThreadMode mode = kMode_Server;
    uint32_t option_flags = 0;
    uint32_t test_flags = 0;
    uint32_t extra_flags = 0;
    uint32_t interval_usec = 0;  // 0: no interval reports
    int32_t transfer_id = 1;
    bool threaded = false;  // false: -U, each record is processed at once
    ReportMode report_mode = kReport_Default;
    SumReport *sum = nullptr;
    SumReport *fullduplex = nullptr;
    int32_t ring_slots = 0;
};

inline SettingsPtr make_record(const StreamOptions &o) {
    thread_Settings global;
    Settings_Initialize(&global);
    thread_Settings *copy = nullptr;
    Settings_Copy(&global, &copy, true);
    copy->thread_mode = o.mode;
    copy->option_flags |= o.option_flags;
    if (!o.threaded) copy->option_flags |= OPT_SINGLE_UDP;
    copy->test_flags |= o.test_flags;
    copy->extra_flags |= o.extra_flags;
    copy->report_mode = o.report_mode;
    copy->sock = -1;
    copy->buf_len = 1024;
    copy->num_report_structs = o.ring_slots;
    if (o.interval_usec) {
        copy->interval_mode = kInterval_Time;
        copy->interval_usec = o.interval_usec;
    }
    copy->transfer_id = o.transfer_id;
    copy->sum_report = o.sum;
    copy->fullduplex_report = o.fullduplex;
    set_address(&copy->local, &copy->local_len, "127.0.0.1", 40000);
    set_address(&copy->peer, &copy->peer_len, "127.0.0.1", 5001);
    setTransferID(copy, false);
    return SettingsPtr(copy);
}

inline void start_clock(StreamStats *s, uint32_t interval_usec) {
    s->startTime = at(0);
    s->nextTime = at(interval_usec / 1e6);
}

// One data report fed by the test as its traffic thread.
class Stream {
  public:
    explicit Stream(const StreamOptions &o) : settings_(make_record(o)) {
        node_ = InitIndividualReport(settings_.get());
        report_ = static_cast<IndividualReport *>(node_->this_report);
        start_clock(&report_->info, o.interval_usec);
    }
    ~Stream() { FreeReport(node_); }
    Stream(const Stream &) = delete;
    Stream &operator=(const Stream &) = delete;

    IndividualReport *report() { return report_; }
    StreamStats &info() { return report_->info; }
    ReportNode *node() { return node_; }

    // A read or write of len bytes at offset_s into the test.
    void bytes(double offset_s, int64_t len) {
        PacketRecord rec{};
        rec.packetID = ++bytes_id_;
        rec.packetLen = len;
        rec.packetTime = at(offset_s);
        rec.writecnt = 1;
        feed(rec);
    }
    // A datagram with its sequence number and transit time.
    void datagram(int64_t id, double offset_s, double transit_s, int64_t len = 100) {
        PacketRecord rec{};
        rec.packetID = id;
        rec.packetLen = len;
        rec.packetTime = at(offset_s);
        rec.sentTime = at(offset_s - transit_s);
        rec.prevPacketTime = last_arrival_set_ ? last_arrival_ : at(offset_s);
        last_arrival_ = rec.packetTime;
        last_arrival_set_ = true;
        feed(rec);
    }
    void feed(PacketRecord rec) { ReportPacket(report_, &rec); }
    void end(double offset_s) {
        PacketRecord last{};
        last.packetTime = at(offset_s);
        EndJob(node_, &last);
    }

  private:
    SettingsPtr settings_;
    ReportNode *node_ = nullptr;
    IndividualReport *report_ = nullptr;
    int64_t bytes_id_ = 0;
    Timestamp last_arrival_{};
    bool last_arrival_set_ = false;
};

// Every header prints again, as between two tests.
inline void rearm_headers() {
    reporter_default_heading_flags(0);
    __report_bw_jitter_loss_enhanced_triptime_print_done = 0;
    __report_bw_jitter_loss_enhanced_isoch_triptime_print_done = 0;
}

inline std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    size_t from = 0;
    while (from < text.size()) {
        size_t nl = text.find('\n', from);
        if (nl == std::string::npos) nl = text.size();
        lines.push_back(text.substr(from, nl - from));
        from = nl + 1;
    }
    return lines;
}

}  // namespace reporter_test
