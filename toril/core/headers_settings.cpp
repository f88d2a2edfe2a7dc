// The test header between a thread_Settings record and the wire: the client
// writes it from its record, the server checks it (headers.cpp) and only then
// applies it to its own record or builds the record of its sending side.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/warn.h"
#include "toril/core/headers.h"
#include "toril/core/headers_bytes.h"

using namespace hdrbytes;

namespace {

constexpr uint64_t kUdpDefaultRate_bps = 1048576;
constexpr uint64_t kRateMax56 = (1ULL << 56) - 1;  // what the two rate words hold
constexpr uint64_t kStretchAmount = 200;           // two seconds longer, in hundredths

// TCP offsets
constexpr int kTcpUpper = 32;
constexpr int kTcpVersionHi = 36;
constexpr int kTcpVersionLo = 40;
constexpr int kTcpTos = 46;
constexpr int kTcpRateLo = 48;
constexpr int kTcpRateHi = 52;
constexpr int kTcpPrefetch = 56;
constexpr int kTcpStart = 64;
constexpr int kTcpFqLo = 72;
constexpr int kTcpFqHi = 76;
constexpr int kTcpBlock = 80;
constexpr int kTcpBaseLen = 60;
constexpr int kTcpTimedLen = 80;

// UDP offsets
constexpr int kUdpV1 = 16;
constexpr int kUdpUpper = 48;
constexpr int kUdpVersionHi = 52;
constexpr int kUdpVersionLo = 56;
constexpr int kUdpTos = 62;
constexpr int kUdpRateLo = 64;
constexpr int kUdpRateHi = 68;
constexpr int kUdpStart = 112;
constexpr int kUdpFqLo = 120;
constexpr int kUdpFqHi = 124;
constexpr int kUdpBlock = 128;
constexpr int kUdpIsochHdrLen = 92;  // header length (before the datagram header) with the block

constexpr int kBlockLen = 32;

bool is_udp(const thread_Settings *s) {
    return (s->option_flags & OPT_UDP) != 0;
}

bool reverse_or_fd(const thread_Settings *s) {
    return (s->test_flags & (TEST_REVERSE | TEST_FULL_DUPLEX)) != 0;
}

void put_rate(uint8_t *lo, uint8_t *hi, uint64_t rate) {
    rate = std::min(rate, kRateMax56);
    put32(lo, static_cast<uint32_t>(rate));
    put32(hi, static_cast<uint32_t>((rate >> 32) & 0xFFFFFF) << 8);
}

void put_isoch_block(uint8_t *p, const thread_Settings *s) {
    put_real(p, s->frame_rate);
    put_real(p + 8, s->isoch_mean);
    put_real(p + 16, s->variance);
    put_real(p + 24, s->burst_ipg);
}

void put_burst_block(uint8_t *p, const thread_Settings *s) {
    put_real(p, s->frame_rate);
    put32(p + 8, static_cast<uint32_t>(s->burst_size));
    put_real(p + 16, s->variance);
}

uint32_t legacy_flags(const thread_Settings *s) {
    if ((s->option_flags & OPT_COMPAT) || s->test_mode == kTest_Normal) return 0;
    return HDR_V1 | (s->test_mode == kTest_DualTest ? HDR_RUN_NOW : 0);
}

int generate_tcp(const thread_Settings *c, uint8_t *buf, size_t cap, int64_t start_sec,
                 int64_t start_usec, uint16_t upper) {
    if (cap < static_cast<size_t>(kTcpClientHdrSpace)) return kHdr_TooShort;
    const uint32_t tf = c->test_flags;
    const uint32_t xf = c->extra_flags;
    const bool rev_fd = reverse_or_fd(c);
    // The whole header space, not just buf_len bytes, so reserved bytes of a
    // header longer than buf_len go out as zero too.
    memset(buf, 0, kTcpClientHdrSpace);
    put32(buf + kTcpVersionHi, kHdrVersionHi);
    put32(buf + kTcpVersionLo, kHdrVersionLo);
    put16(buf + kTcpTos, static_cast<uint16_t>(c->tos));
    if (c->option_flags & OPT_RATE_SET) put_rate(buf + kTcpRateLo, buf + kTcpRateHi, c->rate);
    Settings_GenerateClientHdrV1(c, buf);

    uint32_t flags = HDR_EXTEND | legacy_flags(c);
    if (tf & TEST_PEER_DETECT) flags |= HDR_V2 | HDR_PEERDETECT;
    int len = kTcpBaseLen;
    if (tf & (TEST_TRIP_TIMES | TEST_FQ_RATE | TEST_TXSTART | TEST_ISOCH)) {
        put_time(buf + kTcpStart, start_sec, start_usec);
        put64_split(buf + kTcpFqLo, buf + kTcpFqHi, c->fq_rate);
        len = kTcpTimedLen;
        if (tf & TEST_TRIP_TIMES) upper |= UPPER_TRIP_TIMES;
        if (tf & TEST_FQ_RATE) upper |= UPPER_FQ_RATE;
    }
    if ((xf & EXT_WRITE_PREFETCH) && rev_fd) {
        put32(buf + kTcpPrefetch, static_cast<uint32_t>(c->write_prefetch));
        upper |= UPPER_WRITE_PREFETCH;
    }
    if ((xf & EXT_QUICKACK) && !((tf & TEST_REVERSE) && !(tf & TEST_FULL_DUPLEX))) {
        upper |= UPPER_QUICKACK;
    }
    if (xf & EXT_BURST) {
        put_burst_block(buf + kTcpBlock, c);
        upper |= UPPER_BURST;
        len += kBlockLen;
    } else if (tf & TEST_ISOCH) {
        upper |= UPPER_ISOCH;
        if (rev_fd) {
            put_isoch_block(buf + kTcpBlock, c);
            len += kBlockLen;
        }
    }
    if (rev_fd) flags |= HDR_V2;
    put16(buf + kTcpUpper, upper);

    int key_len = 0;
    if ((tf & TEST_PERMIT_KEY) && !(tf & TEST_SERVER_REVERSE) && c->permit_key[0] != '\0') {
        key_len = static_cast<int>(strnlen(c->permit_key, kPermitKeyMax));
        put16(buf + len, static_cast<uint16_t>(key_len));
        memcpy(buf + len + 2, c->permit_key, key_len);
        len += 2;
        flags |= HDR_KEYCHECK;
    }
    flags |= HDR_LEN | (static_cast<uint32_t>(len) << 1);
    put32(buf, flags);
    return len + key_len;
}

int generate_udp(const thread_Settings *c, uint8_t *buf, size_t cap, int64_t start_sec,
                 int64_t start_usec, uint16_t upper) {
    if (cap < static_cast<size_t>(kUdpClientHdrSpace)) return kHdr_TooShort;
    const uint32_t tf = c->test_flags;
    const bool rev_fd = reverse_or_fd(c);
    memset(buf, 0, kUdpClientHdrSpace);
    put32(buf + kUdpVersionHi, kHdrVersionHi);
    put32(buf + kUdpVersionLo, kHdrVersionLo);
    put16(buf + kUdpTos, static_cast<uint16_t>(c->tos));
    uint64_t rate = c->rate ? c->rate : kUdpDefaultRate_bps;
    // A sending server works in bits per second.
    if (c->rate_units == kRate_PPS && (rev_fd || c->test_mode != kTest_Normal)) {
        const uint64_t per_packet_bits = 8 * static_cast<uint64_t>(std::max(c->buf_len, 0));
        rate = (per_packet_bits && rate > kRateMax56 / per_packet_bits) ? kRateMax56
                                                                        : rate * per_packet_bits;
    }
    put_rate(buf + kUdpRateLo, buf + kUdpRateHi, rate);
    Settings_GenerateClientHdrV1(c, buf + kUdpV1);

    uint32_t flags = HDR_EXTEND | HDR_SEQNO64 | legacy_flags(c);
    int len = kTcpBaseLen;
    if (tf & TEST_L2CHECKS) {
        flags |= HDR_UDPTESTS;
        upper |= UPPER_L2CHECKS;
        if (c->option_flags & OPT_IPV6) upper |= UPPER_IPV6;
    }
    if (tf & TEST_ISOCH) {
        flags |= HDR_EXTEND | HDR_UDPTESTS;
        if (rev_fd) {
            put_isoch_block(buf + kUdpBlock, c);
            upper |= UPPER_ISOCH | UPPER_ISOCH_SETTINGS;
            len = kUdpIsochHdrLen;
        } else {
            upper |= UPPER_ISOCH;
        }
    }
    if (rev_fd) flags |= HDR_V2 | HDR_UDPTESTS;
    if (tf & TEST_NO_UDP_FIN) {
        flags |= HDR_EXTEND | HDR_UDPTESTS;
        upper |= UPPER_NO_UDP_FIN;
    }
    if (tf & (TEST_TRIP_TIMES | TEST_FQ_RATE | TEST_TXSTART)) {
        flags |= HDR_UDPTESTS;
        if (tf & (TEST_TRIP_TIMES | TEST_TXSTART)) {
            put_time(buf + kUdpStart, start_sec, start_usec);
            if (tf & TEST_TRIP_TIMES) upper |= UPPER_TRIP_TIMES;
        }
        if (tf & TEST_FQ_RATE) {
            put64_split(buf + kUdpFqLo, buf + kUdpFqHi, c->fq_rate);
            upper |= UPPER_FQ_RATE;
        }
    }
    if (tf & (TEST_TRIP_TIMES | TEST_FQ_RATE | TEST_ISOCH)) len += kBlockLen;
    put16(buf + kUdpUpper, upper);
    len += kUdpHdrLen;
    flags |= HDR_LEN | (static_cast<uint32_t>(len) << 1);
    put32(buf + kUdpV1, flags);
    return len;
}

// Start-time and trip-time rules of a received header; a time the header
// did not carry validly counts as outside the window.
void apply_start_times(thread_Settings *s, const ClientHdr &h, int64_t now_sec) {
    const bool valid = h.has_start && h.start_usec < 1000000;
    const int64_t away = valid ? std::llabs(h.start_sec - now_sec) : INT64_MAX;
    if (h.upper & UPPER_START_TIME) {
        if (away <= kHdrTxStartWindow_s + 1) {
            s->txstart_sec = h.start_sec;
            s->txstart_usec = h.start_usec;
            s->test_flags |= TEST_TXSTART;
        } else {
            printf(
                "WARN: ignore --txstart-time because client didn't provide valid start "
                "timestamp within %d seconds of now\n",
                kHdrTxStartWindow_s);
            s->test_flags &= ~TEST_TXSTART;
            s->txstart_sec = 0;
            s->txstart_usec = 0;
        }
    }
    if (h.upper & UPPER_TRIP_TIMES) {
        const bool in_window =
            (s->test_flags & TEST_TXSTART) ? valid : away <= kHdrTripWindow_s + 1;
        if (in_window) {
            s->trip_start_sec = h.start_sec;
            s->trip_start_usec = h.start_usec;
            s->test_flags |= TEST_TRIP_TIMES;
            s->option_flags |= OPT_ENHANCED;
        } else {
            printf(
                "WARN: ignore --trip-times because client didn't provide valid start "
                "timestamp within %d seconds of now\n",
                kHdrTripWindow_s);
            s->test_flags &= ~TEST_TRIP_TIMES;
            s->trip_start_sec = 0;
            s->trip_start_usec = 0;
        }
    }
}

void apply_legacy_mode(thread_Settings *s, uint32_t flags) {
    if ((flags & HDR_V1) && !(flags & HDR_V2)) {
        s->test_mode = (flags & HDR_RUN_NOW) ? kTest_DualTest : kTest_TradeOff;
    }
}

// Makes buf large enough for new_len (a fresh zeroed buffer when the old one
// is too small). false: no memory, the record is unchanged.
bool ensure_buffer(thread_Settings *s, int32_t new_len) {
    const size_t wanted = Settings_BufferSize(new_len);
    if (s->buf && wanted <= Settings_BufferSize(s->buf_len)) return true;
    char *fresh = static_cast<char *>(calloc(1, std::max(wanted, Settings_BufferSize(s->buf_len))));
    if (!fresh) return false;
    free(s->buf);
    s->buf = fresh;
    return true;
}

// The v1 fields of a sending record (already checked).
void apply_v1(thread_Settings *s, const ClientHdr &h) {
    s->port = h.port;
    s->threads = 1;
    if (h.buf_len != 0) {
        s->buf_len = h.buf_len;
        s->option_flags |= OPT_LEN_SET;
    }
    if (h.amount < 0) {
        s->option_flags |= OPT_TIME_MODE;
        s->amount = static_cast<uint64_t>(-static_cast<int64_t>(h.amount));
    } else {
        s->option_flags &= ~OPT_TIME_MODE;
        s->amount = static_cast<uint64_t>(h.amount);
    }
}

void apply_isoch(thread_Settings *s, const ClientHdr &h) {
    s->frame_rate = h.isoch_fps;
    s->isoch_mean = h.isoch_mean;
    s->variance = h.isoch_variance;
    s->burst_ipg = h.isoch_ipg;
}

void set_peer_host(thread_Settings *s) {
    char text[INET6_ADDRSTRLEN] = "";
    const sockaddr_storage &peer = s->peer;
    if (peer.ss_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(&peer)->sin_addr, text,
                  sizeof(text));
    } else if (peer.ss_family == AF_INET6) {
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 *>(&peer)->sin6_addr, text,
                  sizeof(text));
    }
    free(s->host);
    s->host = strndup(text, kHdrPeerHostMax);
}

void set_pacing_rate(int sock, uint64_t rate) {
    if (sock < 0) return;
    int rc = 0;
    if (rate <= UINT32_MAX) {
        const uint32_t rate32 = static_cast<uint32_t>(rate);
        rc = setsockopt(sock, SOL_SOCKET, SO_MAX_PACING_RATE, &rate32, sizeof(rate32));
    } else {
        rc = setsockopt(sock, SOL_SOCKET, SO_MAX_PACING_RATE, &rate, sizeof(rate));
    }
    if (rc < 0) WARN_ERRNO("setsockopt SO_MAX_PACING_RATE");
}

}  // namespace

int Settings_GenerateClientHdrV1(const thread_Settings *c, uint8_t *v1) {
    memset(v1, 0, kClientHdrV1Len);
    put32(v1 + 4, static_cast<uint32_t>(c->threads));
    put32(v1 + 8, c->listen_port ? c->listen_port : c->port);
    put32(v1 + 12, (c->option_flags & OPT_LEN_SET) ? static_cast<uint32_t>(c->buf_len) : 0);
    int32_t amount = 0;
    if (c->option_flags & OPT_TIME_MODE) {
        // Longer than the word holds: the longest time it can carry.
        amount = (c->amount >= 0x80000000ULL) ? INT32_MIN : -static_cast<int32_t>(c->amount);
    } else {
        amount = static_cast<int32_t>(std::min<uint64_t>(c->amount, INT32_MAX));
    }
    put32(v1 + 20, static_cast<uint32_t>(amount));
    return kClientHdrV1Len;
}

int Settings_GenerateClientHdr(const thread_Settings *c, uint8_t *buf, size_t cap,
                               int64_t start_sec, int64_t start_usec) {
    const bool udp = is_udp(c);
    if (udp && (c->extra_flags & EXT_SMALL_TRIPTIME)) {
        if (cap < static_cast<size_t>(kSmallTripHdrLen)) return kHdr_TooShort;
        memset(buf, 0, kSmallTripHdrLen);
        put32(buf + kUdpV1, HDR_SMALL_TRIPTIME);
        return kSmallTripHdrLen;
    }
    uint16_t upper = 0;
    if (!(c->option_flags & OPT_COMPAT)) {
        if (c->test_flags & TEST_REVERSE) upper |= UPPER_REVERSE;
        if (c->test_flags & TEST_FULL_DUPLEX) upper |= UPPER_FULL_DUPLEX;
    }
    if ((c->test_flags & TEST_TXSTART) && (start_sec != 0 || start_usec != 0)) {
        upper |= UPPER_START_TIME;
    }
    if (udp) return generate_udp(c, buf, cap, start_sec, start_usec, upper);
    if (c->extra_flags & EXT_BOUNCEBACK) {
        if (cap < static_cast<size_t>(kBounceBackHdrLen)) return kHdr_TooShort;
        put32(buf, HDR_BOUNCEBACK);
        return kBounceBackFirstLen;
    }
    return generate_tcp(c, buf, cap, start_sec, start_usec, upper);
}

int Settings_ClientTestHdrLen(uint32_t flags, const thread_Settings *server) {
    const bool has_parts = (flags & (HDR_V1 | HDR_EXTEND | HDR_V2)) != 0;
    if (!has_parts && !(server->test_flags & TEST_PERMIT_KEY)) return 0;
    int len = 0;
    if (flags & HDR_LEN) {
        len = static_cast<int>((flags >> 1) & 0xFF);
    } else {
        if (flags & HDR_KEYCHECK) return kHdr_BadLength;
        if (flags & (HDR_V1 | HDR_EXTEND)) len += kClientHdrV1Len;
        if (flags & (HDR_EXTEND | HDR_V2)) len += 36;
    }
    int need = 0;
    if (flags & HDR_V1) need = kClientHdrV1Len;
    if (flags & HDR_V2) need = 36;
    if (flags & HDR_EXTEND) need = kTcpBaseLen;
    if (flags & HDR_KEYCHECK) need = std::max(need, 4) + 2;
    if ((len > 0 && len < 4) || len < need) return kHdr_BadLength;
    return len;
}

int Settings_ClientKeyLen(const uint8_t *hdr, int len, int hdr_len) {
    if (hdr_len < 6 || hdr_len > len) return kHdr_TooShort;
    const int key_len = get16(hdr + hdr_len - 2);
    if (key_len < kHdrKeyMinLen || key_len > kPermitKeyMax) return kHdr_BadLength;
    return key_len;
}

int Settings_ReadClientSettingsV1(thread_Settings *s, const uint8_t *v1, int len) {
    if (len < kClientHdrV1Len) return kHdr_TooShort;
    ClientHdr h = ClientHdr();
    if (int r = read_v1_block(v1, is_udp(s), &h); r != kHdr_Ok) return r;
    if (!ensure_buffer(s, h.buf_len ? h.buf_len : s->buf_len)) return kHdr_NoMemory;
    apply_v1(s, h);
    return kHdr_Ok;
}

int Settings_ReadClientSettingsIsoch(thread_Settings *s, const uint8_t *block, int len) {
    if (len < kBlockLen) return kHdr_TooShort;
    ClientHdr h = ClientHdr();
    if (int r = read_isoch_block(block, &h); r != kHdr_Ok) return r;
    apply_isoch(s, h);
    return kHdr_Ok;
}

int Settings_ReadClientHdrTcp(thread_Settings *s, const uint8_t *hdr, int len, int64_t now_sec) {
    ClientHdr h;
    if (int r = hdr_client_read(hdr, len, false, &h); r != kHdr_Ok) return r;
    s->first_read_len = len;
    const uint32_t flags = h.flags;
    apply_legacy_mode(s, flags);
    if (h.has_extend) {
        s->tos = h.tos;
        s->peer_version_hi = h.version_hi;
        s->peer_version_lo = h.version_lo;
        if (h.upper & UPPER_ISOCH) s->test_flags |= TEST_ISOCH;
        apply_start_times(s, h, now_sec);
        if (h.has_burst) {
            s->option_flags |= OPT_ENHANCED;
            s->test_flags |= TEST_FRAME_INTERVAL;
            s->extra_flags |= EXT_BURST;
            s->frame_rate = (h.burst_frame_rate == 0.0) ? 1.0 : h.burst_frame_rate;
        }
    }
    if ((flags & HDR_V2) && h.has_upper) {
        if (h.upper & UPPER_FULL_DUPLEX) s->test_flags |= TEST_FULL_DUPLEX | TEST_SERVER_REVERSE;
        if (h.upper & UPPER_REVERSE) {
            s->test_flags |= TEST_SERVER_REVERSE;
            s->thread_mode = kMode_Client;
        }
    }
    if ((s->test_flags & (TEST_FULL_DUPLEX | TEST_SERVER_REVERSE)) && h.has_extend &&
        (h.upper & UPPER_WRITE_PREFETCH)) {
        s->write_prefetch = h.write_prefetch;
        if (h.write_prefetch > 0) s->extra_flags |= EXT_WRITE_PREFETCH;
    }
    if (h.has_upper && (h.upper & UPPER_QUICKACK)) s->extra_flags |= EXT_QUICKACK;
    return kHdr_Ok;
}

int Settings_ReadClientHdrUdp(thread_Settings *s, const uint8_t *dgram, int len, int64_t now_sec) {
    ClientHdr h;
    if (int r = hdr_client_read(dgram, len, true, &h); r != kHdr_Ok) return r;
    const uint32_t flags = h.flags;
    if (flags & HDR_SEQNO64) s->test_flags |= TEST_SEQNO64;
    if (flags & HDR_SMALL_TRIPTIME) {
        UdpHdr u;
        hdr_udp_read(dgram, len, (flags & HDR_SEQNO64) != 0, &u);
        if (u.seqno != 1) {
            printf(
                "WARN: first received packet (id=%d) was not first sent packet, report start "
                "time will be off\n",
                static_cast<int>(static_cast<int32_t>(u.seqno)));
        }
        ClientHdr trip = ClientHdr();
        trip.upper = UPPER_TRIP_TIMES;
        trip.has_start = true;
        trip.start_sec = u.sent_sec;
        trip.start_usec = u.sent_usec;
        apply_start_times(s, trip, now_sec);
        s->option_flags |= OPT_ENHANCED;
        return kHdr_Ok;
    }
    apply_legacy_mode(s, flags);
    if (h.has_extend) {
        s->tos = h.tos;
        s->peer_version_hi = h.version_hi;
        s->peer_version_lo = h.version_lo;
        apply_start_times(s, h, now_sec);
    }
    if ((flags & HDR_UDPTESTS) && h.has_upper) {
        if (h.upper & UPPER_ISOCH) s->test_flags |= TEST_ISOCH;
        if (h.upper & UPPER_IPV6) {
            s->option_flags |= OPT_IPV6;
        } else {
            s->option_flags &= ~OPT_IPV6;
        }
        if (h.upper & UPPER_L2CHECKS) s->test_flags |= TEST_L2CHECKS;
        if (h.upper & UPPER_NO_UDP_FIN) s->test_flags |= TEST_NO_UDP_FIN;
    }
    if ((flags & HDR_V2) && h.has_upper) {
        if (h.upper & UPPER_FULL_DUPLEX) s->test_flags |= TEST_FULL_DUPLEX | TEST_SERVER_REVERSE;
        if (h.upper & UPPER_REVERSE) {
            s->thread_mode = kMode_Client;
            s->test_flags |= TEST_SERVER_REVERSE | TEST_NO_UDP_FIN;
            s->option_flags &= ~OPT_REPORT_SETTINGS;
        }
    }
    return kHdr_Ok;
}

bool Settings_TestAckWanted(uint32_t flags) {
    return ((flags & HDR_EXTEND) && !(flags & HDR_V2)) || (flags & HDR_PEERDETECT);
}

int Settings_GenerateClientSettings(thread_Settings *server, thread_Settings **client,
                                    const uint8_t *hdr, int len) {
    *client = nullptr;
    const bool udp = is_udp(server);
    ClientHdr h;
    if (int r = hdr_client_read(hdr, len, udp, &h); r != kHdr_Ok) return r;
    const uint32_t flags = h.flags;
    const bool legacy = (flags & HDR_V1) && !(flags & HDR_V2);
    const bool full_duplex = (server->test_flags & TEST_FULL_DUPLEX) != 0;
    const bool server_reverse = (server->test_flags & TEST_SERVER_REVERSE) != 0;
    if (!full_duplex && !legacy && !server_reverse) return kHdr_Ok;
    if (!h.has_v1) return kHdr_BadValue;

    const bool copied = full_duplex || legacy;
    thread_Settings *c = server;
    if (copied) {
        Settings_Copy(server, &c, false);
        if (flags & HDR_V1) c->test_flags &= ~TEST_FULL_DUPLEX;
    }
    // Everything is checked; only memory can fail from here on, and that
    // before any field of the server record changes.
    if (!ensure_buffer(c, h.buf_len ? h.buf_len : c->buf_len)) {
        if (copied) Settings_Destroy(c);
        return kHdr_NoMemory;
    }

    c->thread_mode = kMode_Client;
    apply_v1(c, h);
    if (copied) {
        server->amount =
            (c->amount > UINT64_MAX - kStretchAmount) ? UINT64_MAX : c->amount + kStretchAmount;
    }
    if (legacy) {
        c->test_flags |= TEST_SERVER_REVERSE;
        c->test_mode = (flags & HDR_RUN_NOW) ? kTest_DualTest : kTest_TradeOff;
    }
    if (h.has_extend) {
        c->rate = h.rate;
        if (udp) {
            if (h.upper & UPPER_NO_UDP_FIN) c->test_flags |= TEST_NO_UDP_FIN;
            if (h.upper & UPPER_RATE_PPS) c->rate_units = kRate_PPS;
        }
        c->tos = h.tos;
        if ((c->test_flags & TEST_ISOCH) && h.has_isoch) apply_isoch(c, h);
        if (!udp && (c->extra_flags & EXT_BURST) && h.has_burst) {
            c->frame_rate = (h.burst_frame_rate == 0.0) ? 1.0 : h.burst_frame_rate;
            if (h.has_burst_size && h.burst_size > 0) c->burst_size = h.burst_size;
        }
        if (h.has_fq) {
            c->test_flags |= TEST_FQ_RATE;
            c->fq_rate = h.fq_rate;
        }
    }
    c->option_flags |= OPT_NO_SETTINGS_REPORT;
    c->test_flags |= TEST_NO_CONNECT_SYNC;
    c->test_flags &= ~TEST_TXDELAY;
    if (legacy) {
        set_peer_host(c);
    } else {
        c->test_mode = kTest_Normal;
        if (c->test_flags & TEST_FQ_RATE) set_pacing_rate(c->sock, c->fq_rate);
    }
    *client = c;
    return kHdr_Ok;
}

int Settings_GenerateTestAck(const thread_Settings *server, uint8_t *buf, size_t cap,
                             int64_t now_sec, int64_t now_usec) {
    TestAck ack = TestAck();
    ack.trip_times = (server->test_flags & TEST_TRIP_TIMES) != 0;
    ack.version_hi = kHdrVersionHi;
    ack.version_lo = kHdrVersionLo;
    ack.start_sec = server->trip_start_sec;
    ack.start_usec = server->trip_start_usec;
    ack.accept_sec = server->accept_sec;
    ack.accept_usec = server->accept_usec;
    ack.sent_sec = now_sec;
    ack.sent_usec = now_usec;
    return hdr_ack_write(buf, cap, ack);
}

int Settings_ReadBounceBackHdr(thread_Settings *s, const uint8_t *hdr, int len, int max_size) {
    BounceBackHdr b;
    if (hdr_bounceback_read(hdr, len, &b) != kHdr_Ok) return kHdr_TooShort;
    if (!(b.flags & HDR_BOUNCEBACK)) return kHdr_BadValue;
    if (b.size < static_cast<uint32_t>(kBounceBackHdrLen) || max_size < 0 ||
        b.size > static_cast<uint32_t>(max_size)) {
        return kHdr_BadLength;
    }
    if (b.hold_us < 0 || b.hold_us > kHdrMaxBounceBackHold_us) return kHdr_BadValue;
    if ((b.bb_flags & HDR_BB_TOS) && b.tos > 255) return kHdr_BadValue;
    if (!(s->option_flags & OPT_TIME_SET)) s->option_flags &= ~OPT_TIME_MODE;
    s->extra_flags |= EXT_BOUNCEBACK;
    s->bounceback_size = static_cast<int32_t>(b.size);
    s->bounceback_hold = b.hold_us;
    if (b.bb_flags & HDR_BB_TRIPTIMES) {
        s->test_flags |= TEST_TRIP_TIMES;
        s->trip_start_sec = b.client_send_sec;
        s->trip_start_usec = b.client_send_usec;
    }
    if (b.bb_flags & HDR_BB_TOS) s->tos = b.tos;
    if (b.bb_flags & HDR_BB_QUICKACK) s->extra_flags |= EXT_QUICKACK;
    return kHdr_Ok;
}
