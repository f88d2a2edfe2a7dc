// Byte layouts of the toril wire formats and the checks of a received test
// header. The tables are in headers.h.
#include "toril/core/headers.h"

#include <cmath>
#include <cstring>

#include "toril/core/headers_bytes.h"

using namespace hdrbytes;

namespace {

// Offsets of the test header. TCP offsets count from the stream start; UDP
// offsets from the datagram start (client_hdr_v1 at 16).
constexpr int kV1Flags = 0;
constexpr int kV1Threads = 4;
constexpr int kV1Port = 8;
constexpr int kV1BufLen = 12;
constexpr int kV1Amount = 20;

struct ExtLayout {
    int v1;
    int upper;
    int version_hi;
    int version_lo;
    int tos;
    int rate_lo;
    int rate_hi;
    int prefetch;  // TCP only (-1 for UDP)
    int start;
    int fq_lo;
    int fq_hi;
    int block;
    int min_v1;      // bytes the v1 block needs
    int min_upper;   // ... the upper flags
    int min_extend;  // ... the extended fields
};

constexpr ExtLayout kTcpLayout = {0, 32, 36, 40, 46, 48, 52, 56, 64, 72, 76, 80, 24, 36, 60};
constexpr ExtLayout kUdpLayout = {16, 48, 52, 56, 62, 64, 68, -1, 112, 120, 124, 128, 40, 52, 76};

constexpr int kBlockLen = 32;
constexpr int kIsochFps = 0;
constexpr int kIsochMean = 8;
constexpr int kIsochVariance = 16;
constexpr int kIsochIpg = 24;
constexpr int kBurstSize = 8;

bool frame_rate_ok(double fps) {
    return fps > 0.0 && fps <= kHdrMaxFrameRate;
}

}  // namespace

// Format 5, isochronous form; bounds as documented in headers.h.
int hdrbytes::read_isoch_block(const uint8_t *p, ClientHdr *hdr) {
    const double fps = get_real(p + kIsochFps);
    const double mean = get_real(p + kIsochMean);
    const double variance = get_real(p + kIsochVariance);
    const double ipg = get_real(p + kIsochIpg);
    if (!frame_rate_ok(fps) || mean < 0.0 || variance < 0.0 || ipg < 0.0 || ipg > kHdrMaxIpg) {
        return kHdr_BadValue;
    }
    hdr->has_isoch = true;
    hdr->isoch_fps = fps;
    hdr->isoch_mean = mean;
    hdr->isoch_variance = variance;
    hdr->isoch_ipg = ipg;
    return kHdr_Ok;
}

int hdrbytes::read_v1_block(const uint8_t *v1, bool udp, ClientHdr *hdr) {
    const int32_t threads = get32s(v1 + kV1Threads);
    const uint32_t port = get32(v1 + kV1Port);
    const int32_t buf_len = get32s(v1 + kV1BufLen);
    const int32_t max_len = udp ? kHdrMaxBufLenUdp : kHdrMaxBufLenTcp;
    if (threads < 0 || threads > kHdrMaxThreads || port > 65535 || buf_len < 0 ||
        buf_len > max_len) {
        return kHdr_BadValue;
    }
    hdr->has_v1 = true;
    hdr->threads = threads;
    hdr->port = static_cast<uint16_t>(port);
    hdr->buf_len = buf_len;
    hdr->amount = get32s(v1 + kV1Amount);
    return kHdr_Ok;
}

namespace {

// The announced header length: HDR_LEN, or what the flags imply (TCP).
int announced_len(uint32_t flags, const ExtLayout &lay) {
    if (flags & HDR_LEN) return static_cast<int>((flags >> 1) & 0xFF);
    if (lay.v1 != 0) return 0;  // UDP without HDR_LEN: only the fields that arrived count
    int len = 0;
    if (flags & (HDR_V1 | HDR_EXTEND)) len += kClientHdrV1Len;
    if (flags & (HDR_EXTEND | HDR_V2)) len += 36;
    return len;
}

// TCP: the bytes the announced length must cover for these flags.
int tcp_needed_len(uint32_t flags, uint16_t upper) {
    int need = 4;
    if (flags & HDR_V1) need = kClientHdrV1Len;
    if (flags & HDR_V2) need = kTcpLayout.min_upper;
    if (flags & HDR_EXTEND) {
        need = kTcpLayout.min_extend;
        if (upper & (UPPER_START_TIME | UPPER_TRIP_TIMES)) need = kTcpLayout.start + 8;
        if (upper & UPPER_FQ_RATE) need = kTcpLayout.fq_hi + 4;
        if ((upper & UPPER_BURST) && need < kTcpLayout.block + 8) need = kTcpLayout.block + 8;
    }
    return need;
}

}  // namespace

const char *hdr_result_text(int result) {
    switch (result) {
        case kHdr_Ok:
            return "ok";
        case kHdr_TooShort:
            return "too short";
        case kHdr_BadLength:
            return "bad length";
        case kHdr_BadValue:
            return "bad value";
        case kHdr_NoMemory:
            return "no memory";
        default:
            return "unknown";
    }
}

int hdr_flags_read(const uint8_t *buf, int len, uint32_t *flags) {
    if (len < 4) return kHdr_TooShort;
    *flags = get32(buf);
    return kHdr_Ok;
}

// --- Format 1 ---

int hdr_udp_write(uint8_t *buf, size_t cap, const UdpHdr &hdr) {
    if (cap < static_cast<size_t>(kUdpHdrLen)) return kHdr_TooShort;
    put64_split(buf, buf + 12, static_cast<uint64_t>(hdr.seqno));
    put_time(buf + 4, hdr.sent_sec, hdr.sent_usec);
    return kUdpHdrLen;
}

int hdr_udp_read(const uint8_t *buf, int len, bool seqno64, UdpHdr *hdr) {
    if (len < kUdpHdrLen) return kHdr_TooShort;
    hdr->seqno = seqno64 ? static_cast<int64_t>(get64_split(buf, buf + 12)) : get32s(buf);
    get_time(buf + 4, &hdr->sent_sec, &hdr->sent_usec);
    return kHdr_Ok;
}

int64_t udp_seqno_magnitude(int64_t seqno) {
    if (seqno == INT64_MIN) return INT64_MAX;
    return seqno < 0 ? -seqno : seqno;
}

// --- Formats 2 to 5, reading ---

int hdr_client_read(const uint8_t *buf, int len, bool udp, ClientHdr *hdr) {
    const ExtLayout &lay = udp ? kUdpLayout : kTcpLayout;
    *hdr = ClientHdr();
    if (len < lay.v1 + 4) return kHdr_TooShort;
    const uint32_t flags = get32(buf + lay.v1 + kV1Flags);
    hdr->flags = flags;
    if (udp && (flags & HDR_SMALL_TRIPTIME)) return kHdr_Ok;
    if (!(flags & (HDR_V1 | HDR_EXTEND | HDR_V2))) return kHdr_Ok;
    if (!udp && (flags & HDR_BOUNCEBACK)) return kHdr_BadValue;

    const int claimed = announced_len(flags, lay);
    hdr->header_len = claimed;
    if (claimed > len) return kHdr_TooShort;
    // TCP fields end at the announced length (a key may follow it); UDP
    // fields sit at fixed places of the datagram, which is all ours.
    int avail = len;
    if (!udp) {
        avail = claimed;
        if (flags & HDR_KEYCHECK) {
            if (!(flags & HDR_LEN)) return kHdr_BadLength;
            avail -= 2;
        }
    }

    // The upper flags decide which further parts are needed.
    const bool want_upper = (flags & (HDR_EXTEND | HDR_V2)) != 0;
    uint16_t upper = 0;
    if (want_upper) {
        if (avail < lay.upper + 2) return udp ? kHdr_TooShort : kHdr_BadLength;
        upper = get16(buf + lay.upper);
    }
    if (!udp && avail < tcp_needed_len(flags, upper)) return kHdr_BadLength;
    if (udp) {
        int need = lay.min_v1;
        if (want_upper) need = lay.min_upper;
        if (flags & HDR_EXTEND) need = lay.min_extend;
        if (len < need) return kHdr_TooShort;
        if ((flags & HDR_LEN) && claimed < need) return kHdr_BadLength;
    }

    if (int r = read_v1_block(buf + lay.v1, udp, hdr); r != kHdr_Ok) return r;
    if (want_upper) {
        hdr->has_upper = true;
        hdr->upper = upper;
        if ((upper & UPPER_REVERSE) && (upper & UPPER_FULL_DUPLEX)) return kHdr_BadValue;
    }
    if (!(flags & HDR_EXTEND)) return kHdr_Ok;

    hdr->has_extend = true;
    hdr->version_hi = get32(buf + lay.version_hi);
    hdr->version_lo = get32(buf + lay.version_lo);
    hdr->tos = get16(buf + lay.tos);
    if (hdr->tos > 255) return kHdr_BadValue;
    hdr->rate =
        get32(buf + lay.rate_lo) + (static_cast<uint64_t>(get32(buf + lay.rate_hi) >> 8) << 32);
    const uint64_t max_rate = (upper & UPPER_RATE_PPS) ? kHdrMaxRate_pps : kHdrMaxRate_bps;
    if (hdr->rate > max_rate || (udp && hdr->rate == 0)) return kHdr_BadValue;
    if (!udp) {
        hdr->write_prefetch = get32s(buf + lay.prefetch);
        if ((upper & UPPER_WRITE_PREFETCH) && hdr->write_prefetch < 0) return kHdr_BadValue;
    }
    if (upper & (UPPER_START_TIME | UPPER_TRIP_TIMES)) {
        if (avail < lay.start + 8) return kHdr_TooShort;
        hdr->has_start = true;
        get_time(buf + lay.start, &hdr->start_sec, &hdr->start_usec);
    }
    if (upper & UPPER_FQ_RATE) {
        if (avail < lay.fq_hi + 4) return kHdr_TooShort;
        hdr->has_fq = true;
        hdr->fq_rate = get64_split(buf + lay.fq_lo, buf + lay.fq_hi);
    }

    if (!udp) {
        if ((upper & UPPER_BURST) && (upper & UPPER_ISOCH)) return kHdr_BadValue;
        if (upper & UPPER_BURST) {
            // A burst header without trip times announces 92 bytes, so the
            // variance of the block never arrives; the size may.
            const double fps = get_real(buf + lay.block);
            if (!(fps >= 0.0 && fps <= kHdrMaxFrameRate)) return kHdr_BadValue;
            hdr->has_burst = true;
            hdr->burst_frame_rate = fps;
            if (avail >= lay.block + kBurstSize + 4) {
                const int32_t size = get32s(buf + lay.block + kBurstSize);
                if (size < 0) return kHdr_BadValue;
                hdr->has_burst_size = true;
                hdr->burst_size = size;
            }
        } else if ((upper & UPPER_ISOCH) && avail >= lay.block + kBlockLen) {
            // TCP has no presence flag: a block exists when its bytes were announced.
            if (int r = read_isoch_block(buf + lay.block, hdr); r != kHdr_Ok) return r;
        }
    } else if ((flags & HDR_UDPTESTS) && (upper & UPPER_ISOCH_SETTINGS)) {
        if (len < lay.block + kBlockLen) return kHdr_TooShort;
        if (int r = read_isoch_block(buf + lay.block, hdr); r != kHdr_Ok) return r;
    }
    return kHdr_Ok;
}

// --- Format 7 ---

namespace {
constexpr int kAckType = 0;
constexpr int kAckLength = 4;
constexpr int kAckVersionHi = 12;
constexpr int kAckVersionLo = 16;
constexpr int kAckStart = 28;
constexpr int kAckAccept = 36;
constexpr int kAckSent = 44;
}  // namespace

int hdr_ack_write(uint8_t *buf, size_t cap, const TestAck &ack) {
    const int len = ack.trip_times ? kTestAckTripLen : kTestAckLen;
    if (cap < static_cast<size_t>(len)) return kHdr_TooShort;
    memset(buf, 0, len);
    put32(buf + kAckType, kTestAckType);
    put32(buf + kAckLength, static_cast<uint32_t>(len));
    put32(buf + kAckVersionHi, ack.version_hi);
    put32(buf + kAckVersionLo, ack.version_lo);
    if (ack.trip_times) {
        put_time(buf + kAckStart, ack.start_sec, ack.start_usec);
        put_time(buf + kAckAccept, ack.accept_sec, ack.accept_usec);
        put_time(buf + kAckSent, ack.sent_sec, ack.sent_usec);
    }
    return len;
}

int hdr_ack_read(const uint8_t *buf, int len, TestAck *ack) {
    if (len < kTestAckLen) return kHdr_TooShort;
    if (get32(buf + kAckType) != kTestAckType) return kHdr_BadValue;
    const uint32_t msg_len = get32(buf + kAckLength);
    if (msg_len != static_cast<uint32_t>(kTestAckLen) &&
        msg_len != static_cast<uint32_t>(kTestAckTripLen)) {
        return kHdr_BadLength;
    }
    if (static_cast<uint32_t>(len) < msg_len) return kHdr_TooShort;
    *ack = TestAck();
    ack->version_hi = get32(buf + kAckVersionHi);
    ack->version_lo = get32(buf + kAckVersionLo);
    if (msg_len == static_cast<uint32_t>(kTestAckTripLen)) {
        ack->trip_times = true;
        get_time(buf + kAckStart, &ack->start_sec, &ack->start_usec);
        get_time(buf + kAckAccept, &ack->accept_sec, &ack->accept_usec);
        get_time(buf + kAckSent, &ack->sent_sec, &ack->sent_usec);
    }
    return kHdr_Ok;
}

// --- Format 8 ---

namespace {
constexpr int kBurstStart = 12;
constexpr int kBurstWrite = 20;
constexpr int kBurstPeriod = 40;
constexpr int kBurstId = 44;
constexpr int kBurstBytes = 48;
constexpr int kBurstCountLo = 52;
constexpr int kBurstCountHi = 56;
}  // namespace

int hdr_burst_write(uint8_t *buf, size_t cap, const TcpBurstHdr &hdr) {
    if (cap < static_cast<size_t>(kTcpBurstHdrLen)) return kHdr_TooShort;
    put_time(buf + kBurstStart, hdr.start_sec, hdr.start_usec);
    put_time(buf + kBurstWrite, hdr.write_sec, hdr.write_usec);
    put32(buf + kBurstPeriod, hdr.period_us);
    put32(buf + kBurstId, hdr.burst_id);
    put32(buf + kBurstBytes, hdr.burst_size);
    put64_split(buf + kBurstCountLo, buf + kBurstCountHi, hdr.byte_count);
    return kTcpBurstHdrLen;
}

int hdr_burst_write_period(uint8_t *buf, size_t cap, uint32_t period_us) {
    if (cap < static_cast<size_t>(kTcpBurstHdrLen)) return kHdr_TooShort;
    put32(buf + kBurstPeriod, period_us);
    return kTcpBurstHdrLen;
}

int hdr_burst_read(const uint8_t *buf, int len, TcpBurstHdr *hdr) {
    if (len < kTcpBurstHdrLen) return kHdr_TooShort;
    const uint32_t size = get32(buf + kBurstBytes);
    if (size > static_cast<uint32_t>(INT32_MAX)) return kHdr_BadValue;
    get_time(buf + kBurstStart, &hdr->start_sec, &hdr->start_usec);
    get_time(buf + kBurstWrite, &hdr->write_sec, &hdr->write_usec);
    hdr->period_us = get32(buf + kBurstPeriod);
    hdr->burst_id = get32(buf + kBurstId);
    hdr->burst_size = size;
    hdr->byte_count = get64_split(buf + kBurstCountLo, buf + kBurstCountHi);
    return kHdr_Ok;
}

// --- Format 9 ---

namespace {
constexpr int kIsoPeriod = 76;
constexpr int kIsoStart = 80;
constexpr int kIsoPrevId = 88;
constexpr int kIsoId = 92;
constexpr int kIsoBytes = 96;
constexpr int kIsoRemaining = 100;
}  // namespace

int hdr_isoch_write(uint8_t *buf, size_t cap, const UdpIsochFields &fields) {
    if (cap < static_cast<size_t>(kUdpIsochLen)) return kHdr_TooShort;
    put32(buf + kIsoPeriod, fields.period_us);
    put_time(buf + kIsoStart, fields.start_sec, fields.start_usec);
    put32(buf + kIsoPrevId, fields.prev_frame_id);
    put32(buf + kIsoId, fields.frame_id);
    put32(buf + kIsoBytes, fields.frame_bytes);
    put32(buf + kIsoRemaining, fields.remaining);
    return kUdpIsochLen;
}

int hdr_isoch_read(const uint8_t *buf, int len, UdpIsochFields *fields) {
    if (len < kUdpIsochLen) return kHdr_TooShort;
    fields->period_us = get32(buf + kIsoPeriod);
    get_time(buf + kIsoStart, &fields->start_sec, &fields->start_usec);
    fields->prev_frame_id = get32(buf + kIsoPrevId);
    fields->frame_id = get32(buf + kIsoId);
    fields->frame_bytes = get32(buf + kIsoBytes);
    fields->remaining = get32(buf + kIsoRemaining);
    return kHdr_Ok;
}

// --- Format 10 ---

namespace {
constexpr int kBbFlags = 0;
constexpr int kBbSize = 4;
constexpr int kBbBurstId = 8;
constexpr int kBbBbFlags = 12;
constexpr int kBbTos = 14;
constexpr int kBbClientSend = 20;
constexpr int kBbServerRecv = 28;
constexpr int kBbServerSend = 36;
constexpr int kBbHold = 44;
constexpr int kBbFiller = 48;
constexpr uint8_t kBbFillerByte = 0x5A;

// -1/-1 travels as all ones.
void put_bb_time(uint8_t *p, int64_t sec, int64_t usec) {
    if (sec == -1 && usec == -1) {
        put32(p, 0xFFFFFFFF);
        put32(p + 4, 0xFFFFFFFF);
    } else {
        put_time(p, sec, usec);
    }
}

void get_bb_time(const uint8_t *p, int64_t *sec, int64_t *usec) {
    if (get32(p) == 0xFFFFFFFF && get32(p + 4) == 0xFFFFFFFF) {
        *sec = -1;
        *usec = -1;
    } else {
        get_time(p, sec, usec);
    }
}
}  // namespace

int hdr_bounceback_write(uint8_t *buf, size_t cap, const BounceBackHdr &hdr) {
    if (cap < static_cast<size_t>(kBounceBackHdrLen)) return kHdr_TooShort;
    memset(buf, 0, kBbFiller);
    put32(buf + kBbFlags, hdr.flags);
    put32(buf + kBbSize, hdr.size);
    put32(buf + kBbBurstId, hdr.burst_id);
    put16(buf + kBbBbFlags, hdr.bb_flags);
    put16(buf + kBbTos, hdr.tos);
    put_time(buf + kBbClientSend, hdr.client_send_sec, hdr.client_send_usec);
    put_bb_time(buf + kBbServerRecv, hdr.server_recv_sec, hdr.server_recv_usec);
    put_bb_time(buf + kBbServerSend, hdr.server_send_sec, hdr.server_send_usec);
    put32(buf + kBbHold, static_cast<uint32_t>(hdr.hold_us));
    memset(buf + kBbFiller, kBbFillerByte, kBounceBackHdrLen - kBbFiller);
    return kBounceBackHdrLen;
}

int hdr_bounceback_read(const uint8_t *buf, int len, BounceBackHdr *hdr) {
    if (len < kBounceBackHdrLen) return kHdr_TooShort;
    hdr->flags = get32(buf + kBbFlags);
    hdr->size = get32(buf + kBbSize);
    hdr->burst_id = get32(buf + kBbBurstId);
    hdr->bb_flags = get16(buf + kBbBbFlags);
    hdr->tos = get16(buf + kBbTos);
    get_time(buf + kBbClientSend, &hdr->client_send_sec, &hdr->client_send_usec);
    get_bb_time(buf + kBbServerRecv, &hdr->server_recv_sec, &hdr->server_recv_usec);
    get_bb_time(buf + kBbServerSend, &hdr->server_send_sec, &hdr->server_send_usec);
    hdr->hold_us = get32s(buf + kBbHold);
    return kHdr_Ok;
}

int hdr_bounceback_stamp_recv(uint8_t *buf, size_t len, int64_t sec, int64_t usec) {
    if (len < static_cast<size_t>(kBounceBackHdrLen)) return kHdr_TooShort;
    put_time(buf + kBbServerRecv, sec, usec);
    return kBounceBackHdrLen;
}

int hdr_bounceback_stamp_send(uint8_t *buf, size_t len, int64_t sec, int64_t usec, int tos) {
    if (len < static_cast<size_t>(kBounceBackHdrLen)) return kHdr_TooShort;
    put_time(buf + kBbServerSend, sec, usec);
    if (tos != 0) put16(buf + kBbTos, static_cast<uint16_t>(tos));
    return kBounceBackHdrLen;
}

// --- Format 11 ---

namespace {
constexpr int kSrFlags = 16;
constexpr int kSrBytesHi = 20;
constexpr int kSrBytesLo = 24;
constexpr int kSrEndTime = 28;
constexpr int kSrLostLo = 36;
constexpr int kSrOooLo = 40;
constexpr int kSrDgramsLo = 44;
constexpr int kSrJitter = 48;
constexpr int kSrTransitMin = 56;
constexpr int kSrTransitMax = 64;
constexpr int kSrTransitSum = 72;
constexpr int kSrTransitMean = 80;
constexpr int kSrTransitM2 = 88;
constexpr int kSrTransitVd = 96;
constexpr int kSrTransitCount = 104;
constexpr int kSrIpgCount = 108;
constexpr int kSrIpgSum = 112;
constexpr int kSrLostHi = 116;
constexpr int kSrOooHi = 120;
constexpr int kSrDgramsHi = 124;
constexpr double kM2Scale = 1e12;  // seconds squared to microseconds squared
}  // namespace

int hdr_server_report_write(uint8_t *buf, size_t cap, const UdpServerReport &r) {
    if (cap < static_cast<size_t>(kServerReportLen)) return kHdr_TooShort;
    memset(buf, 0, kServerReportLen);
    put32(buf + kSrFlags, HDR_V1 | HDR_SEQNO64 | (r.enhanced ? HDR_EXTEND : 0));
    put64_split(buf + kSrBytesLo, buf + kSrBytesHi, r.total_bytes);
    put_real(buf + kSrEndTime, r.end_time_s);
    put64_split(buf + kSrLostLo, buf + kSrLostHi, r.lost);
    put64_split(buf + kSrOooLo, buf + kSrOooHi, r.out_of_order);
    put64_split(buf + kSrDgramsLo, buf + kSrDgramsHi, r.datagrams);
    put_real(buf + kSrJitter, r.jitter_s);
    put_real(buf + kSrTransitMin, r.transit_min_s);
    put_real(buf + kSrTransitMax, r.transit_max_s);
    put_real(buf + kSrTransitSum, r.transit_sum_s);
    put_real(buf + kSrTransitMean, r.transit_mean_s);
    put_real(buf + kSrTransitM2, r.transit_m2_s2 * kM2Scale);
    put_real(buf + kSrTransitVd, r.transit_variance_term);
    put32(buf + kSrTransitCount, r.transit_count);
    put32(buf + kSrIpgCount, r.ipg_count);
    put32(buf + kSrIpgSum, r.ipg_sum);
    return kServerReportLen;
}

int hdr_server_report_read(const uint8_t *buf, int len, UdpServerReport *r) {
    if (len < kSrFlags + 4) return kHdr_TooShort;
    const uint32_t flags = get32(buf + kSrFlags);
    const bool enhanced = (flags & HDR_EXTEND) != 0;
    const bool seqno64 = (flags & HDR_SEQNO64) != 0;
    int need = kSrTransitMin;
    if (enhanced) need = kSrIpgSum + 4;
    if (seqno64) need = kServerReportLen;
    if (len < need) return kHdr_TooShort;
    if (!(flags & HDR_V1)) return kHdr_BadValue;
    *r = UdpServerReport();
    r->enhanced = enhanced;
    r->seqno64 = seqno64;
    r->total_bytes = get64_split(buf + kSrBytesLo, buf + kSrBytesHi);
    r->end_time_s = get_real(buf + kSrEndTime);
    r->lost = get32(buf + kSrLostLo);
    r->out_of_order = get32(buf + kSrOooLo);
    r->datagrams = get32(buf + kSrDgramsLo);
    if (seqno64) {
        r->lost = get64_split(buf + kSrLostLo, buf + kSrLostHi);
        r->out_of_order = get64_split(buf + kSrOooLo, buf + kSrOooHi);
        r->datagrams = get64_split(buf + kSrDgramsLo, buf + kSrDgramsHi);
    }
    r->jitter_s = get_real(buf + kSrJitter);
    if (enhanced) {
        r->transit_min_s = get_real(buf + kSrTransitMin);
        r->transit_max_s = get_real(buf + kSrTransitMax);
        r->transit_sum_s = get_real(buf + kSrTransitSum);
        r->transit_mean_s = get_real(buf + kSrTransitMean);
        r->transit_m2_s2 = get_real(buf + kSrTransitM2) / kM2Scale;
        r->transit_variance_term = get_real(buf + kSrTransitVd);
        r->transit_count = get32(buf + kSrTransitCount);
        r->ipg_count = get32(buf + kSrIpgCount);
        r->ipg_sum = get32(buf + kSrIpgSum);
    }
    return kHdr_Ok;
}
