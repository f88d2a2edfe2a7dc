// Server: the UDP receive loop and the checks of whole frames in L2 mode.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "common/checksum.h"
#include "common/signals.h"
#include "common/sockaddr.h"
#include "common/warn.h"
#include "toril/endpoints/listener_udp.h"
#include "toril/endpoints/server.h"
#include "toril/endpoints/server_io.h"

namespace {

constexpr int kIpHeaderOffset = 14;  // after the Ethernet header
constexpr int kEtherTypeOffset = 12;
constexpr int kV4SrcOffset = 26;
constexpr int kV4DstOffset = 30;
constexpr int kV6SrcOffset = 22;
constexpr int kV6DstOffset = 38;
constexpr uint16_t kEtherIPv4 = 0x0800;
constexpr uint16_t kEtherIPv6 = 0x86DD;

// A UDP test that hears nothing for this long has lost its client (a client
// that went away, or a flood that stopped): it ends instead of holding its
// thread and socket for ever.
constexpr int64_t kUdpIdleLimit_s = 60;

int64_t monotonic_s() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec;
}

uint16_t be16(const uint8_t *p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

bool is_v4_mapped(const in6_addr &a) {
    static const uint8_t prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    return memcmp(a.s6_addr, prefix, sizeof(prefix)) == 0;
}

// Address bytes of one end as the frame carries them: 4 for IPv4 (also the
// IPv4 inside a mapped IPv6 address), 16 for IPv6. 0 for anything else.
int address_bytes(const sockaddr_storage &a, bool frame_v4, const uint8_t **bytes, uint16_t *port) {
    if (a.ss_family == AF_INET) {
        const auto &in = reinterpret_cast<const sockaddr_in &>(a);
        *bytes = reinterpret_cast<const uint8_t *>(&in.sin_addr);
        *port = in.sin_port;
        return 4;
    }
    if (a.ss_family == AF_INET6) {
        const auto &in6 = reinterpret_cast<const sockaddr_in6 &>(a);
        *port = in6.sin6_port;
        if (frame_v4) {
            if (!is_v4_mapped(in6.sin6_addr)) return 0;
            *bytes = in6.sin6_addr.s6_addr + 12;
            return 4;
        }
        *bytes = in6.sin6_addr.s6_addr;
        return 16;
    }
    return 0;
}

}  // namespace

int Server::L2_quintuple_filter() {
    const auto *frame = reinterpret_cast<const uint8_t *>(settings->buf);
    const int avail = record.l2len < static_cast<uint32_t>(settings->buf_len)
                          ? static_cast<int>(record.l2len)
                          : settings->buf_len;
    const sockaddr_storage &local = settings->local;
    const sockaddr_storage &peer = settings->peer;
    if (local.ss_family != peer.ss_family) return -1;
    if (local.ss_family != AF_INET && local.ss_family != AF_INET6) return -1;
    if (avail < kIpHeaderOffset) return -1;
    const uint16_t ether = be16(frame + kEtherTypeOffset);
    const bool ipv6_ok = (settings->option_flags & OPT_IPV6) != 0;
    if (ether != kEtherIPv4 && !(ipv6_ok && ether == kEtherIPv6)) return -1;
    const bool frame_v4 = ether == kEtherIPv4;
    const int udp = settings->l2_header_len;
    if (udp <= 0 || avail < udp + 4) return -1;

    const uint8_t *peer_addr = nullptr;
    const uint8_t *local_addr = nullptr;
    uint16_t peer_port = 0;
    uint16_t local_port = 0;
    const int peer_n = address_bytes(peer, frame_v4, &peer_addr, &peer_port);
    const int local_n = address_bytes(local, frame_v4, &local_addr, &local_port);
    if (peer_n == 0 || peer_n != local_n) return -1;
    const int src = frame_v4 ? kV4SrcOffset : kV6SrcOffset;
    const int dst = frame_v4 ? kV4DstOffset : kV6DstOffset;
    if (avail < dst + peer_n) return -1;
    if (memcmp(frame + src, peer_addr, static_cast<size_t>(peer_n)) != 0) return -1;
    if (memcmp(frame + dst, local_addr, static_cast<size_t>(local_n)) != 0) return -1;
    // Ports as they lie in the frame and in the socket address: network order.
    uint16_t frame_src_port;
    uint16_t frame_dst_port;
    memcpy(&frame_src_port, frame + udp, 2);
    memcpy(&frame_dst_port, frame + udp + 2, 2);
    if (frame_src_port != peer_port || frame_dst_port != local_port) return -1;
    return 0;
}

void Server::L2_processing() {
    const auto *frame = reinterpret_cast<const uint8_t *>(settings->buf);
    const int received = static_cast<int>(record.l2len);
    const int avail = received < settings->buf_len ? received : settings->buf_len;
    const int udp = settings->l2_header_len;
    if (udp <= 0 || avail < udp + 8) {
        // Not even a UDP header: no length to check against.
        record.l2errors |= L2LENERR | L2UNKNOWN | L2CSUMERR;
        record.emptyreport = 1;
        record.packetLen = 0;
        return;
    }
    const int udp_len = be16(frame + udp + 4);
    record.packetLen = udp_len >= 8 ? udp_len - 8 : 0;
    const int expected = udp + udp_len;
    record.expected_l2len = static_cast<uint32_t>(expected);
    if (received != expected) {
        record.l2errors |= L2LENERR;
        if (L2_quintuple_filter() != 0) {
            record.l2errors |= L2UNKNOWN | L2CSUMERR;
            record.emptyreport = 1;
        }
    }
    if (record.l2errors & L2UNKNOWN) return;
    // The checksum covers udp_len bytes; a frame cut short cannot pass it.
    const bool whole = udp_len >= 8 && udp + udp_len <= avail;
    const bool ipv6 = (settings->option_flags & OPT_IPV6) != 0;
    if (!whole || udpchecksum(frame + kIpHeaderOffset, frame + udp, udp_len, ipv6) != 0) {
        record.l2errors |= L2CSUMERR;
        if (!(record.l2errors & L2LENERR) && L2_quintuple_filter() != 0) {
            record.l2errors |= L2UNKNOWN;
            record.emptyreport = 1;
        }
    }
}

PacketRecord Server::CheckL2Frame(int received) {
    record = PacketRecord{};
    record.packetLen = received;
    record.l2len = static_cast<uint32_t>(received);
    L2_processing();
    return record;
}

int Server::ReceiveDatagram() {
    iov.iov_base = settings->buf;
    iov.iov_len = static_cast<size_t>(settings->buf_len);
    message.msg_control = control;
    message.msg_controllen = sizeof(control);
    message.msg_flags = 0;
    const ssize_t n = recvmsg(sock, &message, settings->recv_flags);
    if (n < 0) return -1;
    // With truncation reporting the kernel gives the frame's whole length.
    return n > INT32_MAX ? INT32_MAX : static_cast<int>(n);
}

void Server::ReadDatagramHeader(int received) {
    const int held = received < settings->buf_len ? received : settings->buf_len;
    const int offset = (settings->test_flags & TEST_L2CHECKS) ? settings->l2_payload_offset : 0;
    const auto *payload = reinterpret_cast<const uint8_t *>(settings->buf) + offset;
    const int payload_len = held - offset;
    UdpHdr hdr{};
    record.prevPacketTime = prev_packet_time;
    record.prevSentTime = prev_sent_time;
    if (offset < 0 || hdr_udp_read(payload, payload_len, (settings->test_flags & TEST_SEQNO64) != 0,
                                   &hdr) != kHdr_Ok) {
        // Too short for a datagram header: nothing of it can be counted.
        record.emptyreport = 1;
        return;
    }
    if (hdr.seqno < 0) {
        record.packetID = udp_seqno_magnitude(hdr.seqno);
        final_seen = true;
    } else {
        record.packetID = hdr.seqno;
    }
    record.sentTime = Timestamp{hdr.sent_sec, hdr.sent_usec};
    frame_time = record.sentTime;
    prev_packet_time = record.packetTime;
    prev_sent_time = record.sentTime;

    if (!(settings->test_flags & TEST_ISOCH)) return;
    UdpIsochFields fields{};
    if (hdr_isoch_read(payload, payload_len, &fields) != kHdr_Ok) {
        record.isochStartTime = Timestamp{};
        record.frameID = 0;
        record.prevframeID = 0;
        record.burstsize = 0;
        record.burstperiod = 0;
        record.remaining = 0;
        return;
    }
    record.isochStartTime = Timestamp{fields.start_sec, fields.start_usec};
    record.frameID = fields.frame_id;
    record.prevframeID = fields.prev_frame_id;
    record.burstsize = fields.frame_bytes;
    record.burstperiod = fields.period_us;
    record.remaining = fields.remaining;
    if (record.packetLen == static_cast<int64_t>(fields.remaining) &&
        fields.frame_id == fields.prev_frame_id + 1)
        record.transit_ready = 1;
}

void Server::RunUDP() {
    const bool go = InitTrafficLoop();
    bool first = true;
    bool idle_end = false;
    int64_t last_arrival_s = monotonic_s();
    const bool l2 = (settings->test_flags & TEST_L2CHECKS) != 0;
    // Datagrams the listener received for this test before its socket took
    // over come first. In L2 mode frames come from the packet socket only.
    const uint16_t local_port = SockAddr_getPort(&settings->local);
    std::shared_ptr<UdpBacklog> backlog =
        l2 ? nullptr : udp_backlog_find(local_port, settings->peer);
    if (go && !sInterupted.load() && !peer_closed) {
        for (;;) {
            if (TimedOut() || final_seen) break;
            Timestamp early_arrival{};
            const bool early = backlog && backlog->waiting();
            const int n = early
                              ? backlog->pop(settings->buf, static_cast<size_t>(settings->buf_len),
                                             &early_arrival)
                              : ReceiveDatagram();
            record.emptyreport = 1;
            record.transit_ready = 0;
            record.l2errors = 0;
            record.packetLen = 0;
            if (n == 0 && !early) {
                peer_closed = true;
            } else if (n < 0 && !early) {
                if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                    WARN_ERRNO("recvmsg");
                    peer_closed = true;
                } else if (monotonic_s() - last_arrival_s > kUdpIdleLimit_s) {
                    fprintf(stderr, "WARN: no datagram for %d seconds, test ended\n",
                            static_cast<int>(kUdpIdleLimit_s));
                    idle_end = true;
                    peer_closed = true;
                }
            } else {
                last_arrival_s = monotonic_s();
            }
            // The kernel's receive stamp when it came, else the time of now.
            bool stamped = false;
            if (early && n >= 0) {
                record.packetTime = early_arrival;
                stamped = true;
            } else if (n > 0) {
                cmsghdr *c = CMSG_FIRSTHDR(&message);
                if (c && c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMP &&
                    c->cmsg_len >= CMSG_LEN(sizeof(timeval))) {
                    timeval tv;
                    memcpy(&tv, CMSG_DATA(c), sizeof(tv));
                    record.packetTime = Timestamp{tv.tv_sec, tv.tv_usec};
                    stamped = true;
                }
            }
            if (!stamped) record.packetTime = server_now();
            if (first && n > 0 && !timestamp_isset(prev_packet_time)) {
                prev_packet_time = record.packetTime;
                first = false;
            }
            if (n > 0) {
                record.emptyreport = 0;
                record.packetLen = n;
                if (l2) {
                    record.l2len = static_cast<uint32_t>(n);
                    L2_processing();
                }
                if (!(record.l2errors & L2UNKNOWN)) ReadDatagramHeader(n);
            }
            ReportRecord();
            if (sInterupted.load() || peer_closed) break;
        }
    }
    // Later datagrams of this client start a new test.
    udp_backlog_close(local_port, settings->peer);
    EndTest(!idle_end);
}
