#include "common/bpf.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>

namespace {

// Ethernet frame offsets.
constexpr uint32_t kEtherType = 12;
constexpr uint32_t kIpHeader = 14;
constexpr uint32_t kIpFragment = 20;  // flags and fragment offset
constexpr uint32_t kIpProtocol = 23;
constexpr uint32_t kIpSource = 26;
constexpr uint32_t kIpDestination = 30;
constexpr uint32_t kIp6NextHeader = 20;
constexpr uint32_t kIp6Source = 22;
constexpr uint32_t kIp6Destination = 38;
constexpr uint32_t kIp6Payload = 54;  // first byte after the fixed IPv6 header
// Past the IPv4 header, whose length the X register holds.
constexpr uint32_t kUdpSourceX = kIpHeader;
constexpr uint32_t kUdpDestinationX = kIpHeader + 2;

constexpr uint32_t kEtherIpv4 = 0x800;
constexpr uint32_t kEtherIpv6 = 0x86dd;
constexpr uint32_t kFragmentOffsetMask = 0x1fff;
constexpr uint32_t kProtoTcp = 6;
constexpr uint32_t kProtoUdp = 17;
constexpr uint32_t kProtoFragment = 44;
constexpr uint32_t kProtoSctp = 132;

constexpr sock_filter stmt(uint16_t code, uint32_t k) {
    return {code, 0, 0, k};
}
constexpr sock_filter jump(uint16_t code, uint32_t k, uint8_t jt, uint8_t jf) {
    return {code, jt, jf, k};
}

constexpr uint16_t kLdh = BPF_LD | BPF_H | BPF_ABS;
constexpr uint16_t kLdb = BPF_LD | BPF_B | BPF_ABS;
constexpr uint16_t kLdw = BPF_LD | BPF_W | BPF_ABS;
constexpr uint16_t kLdhX = BPF_LD | BPF_H | BPF_IND;
constexpr uint16_t kLdxIpLen = BPF_LDX | BPF_B | BPF_MSH;  // X = 4 * ([k] & 0xf)
constexpr uint16_t kJeq = BPF_JMP | BPF_JEQ | BPF_K;
constexpr uint16_t kJset = BPF_JMP | BPF_JSET | BPF_K;
constexpr uint16_t kRet = BPF_RET | BPF_K;

template <size_t N>
int attach(int sock, const std::array<sock_filter, N> &program) {
    sock_fprog fprog;
    fprog.len = static_cast<unsigned short>(N);
    fprog.filter = const_cast<sock_filter *>(program.data());
    return setsockopt(sock, SOL_SOCKET, SO_ATTACH_FILTER, &fprog, sizeof fprog);
}

// The four 32-bit words of an IPv6 address, in host order.
void words(const in6_addr &addr, uint32_t (&out)[4]) {
    for (int i = 0; i < 4; ++i) {
        uint32_t word;
        memcpy(&word, &addr.s6_addr[4 * i], sizeof word);
        out[i] = ntohl(word);
    }
}

}  // namespace

BpfDropAll SockAddr_Drop_All_Program() {
    return {{stmt(kRet, 0)}};
}

BpfV4Accept SockAddr_v4_Accept_Program(uint16_t port) {
    return {{
        stmt(kLdh, kEtherType),                  // 0
        jump(kJeq, kEtherIpv4, 0, 8),            // 1
        stmt(kLdb, kIpProtocol),                 // 2
        jump(kJeq, kProtoUdp, 0, 6),             // 3
        stmt(kLdh, kIpFragment),                 // 4
        jump(kJset, kFragmentOffsetMask, 4, 0),  // 5
        stmt(kLdxIpLen, kIpHeader),              // 6
        stmt(kLdhX, kUdpDestinationX),           // 7
        jump(kJeq, port, 0, 1),                  // 8
        stmt(kRet, kBpfAcceptBytes),             // 9
        stmt(kRet, 0),                           // 10
    }};
}

BpfV4Connect SockAddr_v4_Connect_Program(uint32_t local_addr, uint32_t peer_addr,
                                         uint16_t local_port, uint16_t peer_port) {
    return {{
        stmt(kLdh, kEtherType),                  // 0
        jump(kJeq, kEtherIpv6, 15, 0),           // 1
        jump(kJeq, kEtherIpv4, 0, 14),           // 2
        stmt(kLdb, kIpProtocol),                 // 3
        jump(kJeq, kProtoUdp, 0, 12),            // 4
        stmt(kLdw, kIpSource),                   // 5
        jump(kJeq, ntohl(peer_addr), 0, 10),     // 6
        stmt(kLdw, kIpDestination),              // 7
        jump(kJeq, ntohl(local_addr), 0, 8),     // 8
        stmt(kLdh, kIpFragment),                 // 9
        jump(kJset, kFragmentOffsetMask, 6, 0),  // 10
        stmt(kLdxIpLen, kIpHeader),              // 11
        stmt(kLdhX, kUdpSourceX),                // 12
        jump(kJeq, ntohs(peer_port), 0, 3),      // 13
        stmt(kLdhX, kUdpDestinationX),           // 14
        jump(kJeq, ntohs(local_port), 0, 1),     // 15
        stmt(kRet, kBpfAcceptBytes),             // 16
        stmt(kRet, 0),                           // 17
    }};
}

BpfV4ConnectTap SockAddr_v4_Connect_TAP_Program(uint32_t local_addr, uint32_t peer_addr,
                                                uint16_t local_port, uint16_t peer_port) {
    return {{
        stmt(kLdh, kEtherType),                  // 0
        jump(kJeq, kEtherIpv4, 0, 14),           // 1
        stmt(kLdw, kIpSource),                   // 2
        jump(kJeq, ntohl(peer_addr), 0, 12),     // 3
        stmt(kLdw, kIpDestination),              // 4
        jump(kJeq, ntohl(local_addr), 0, 10),    // 5
        stmt(kLdb, kIpProtocol),                 // 6
        jump(kJeq, kProtoUdp, 0, 8),             // 7
        stmt(kLdh, kIpFragment),                 // 8
        jump(kJset, kFragmentOffsetMask, 6, 0),  // 9
        stmt(kLdxIpLen, kIpHeader),              // 10
        stmt(kLdhX, kUdpSourceX),                // 11
        jump(kJeq, ntohs(peer_port), 0, 3),      // 12
        stmt(kLdhX, kUdpDestinationX),           // 13
        jump(kJeq, ntohs(local_port), 0, 1),     // 14
        stmt(kRet, kBpfAcceptBytes),             // 15
        stmt(kRet, 0),                           // 16
    }};
}

BpfV6Connect SockAddr_v6_Connect_Program(const in6_addr &local, const in6_addr &peer,
                                         uint16_t local_port, uint16_t peer_port) {
    uint32_t l[4], p[4];
    words(local, l);
    words(peer, p);
    return {{
        stmt(kLdh, kEtherType),               // 0
        jump(kJeq, kEtherIpv6, 0, 30),        // 1
        stmt(kLdb, kIp6NextHeader),           // 2
        jump(kJeq, kProtoUdp, 3, 0),          // 3
        jump(kJeq, kProtoFragment, 0, 27),    // 4
        stmt(kLdb, kIp6Payload),              // 5: next header of the fragment header
        jump(kJeq, kProtoUdp, 0, 25),         // 6
        stmt(kLdw, kIp6Source),               // 7
        jump(kJeq, p[0], 0, 23),              // 8
        stmt(kLdw, kIp6Source + 4),           // 9
        jump(kJeq, p[1], 0, 21),              // 10
        stmt(kLdw, kIp6Source + 8),           // 11
        jump(kJeq, p[2], 0, 19),              // 12
        stmt(kLdw, kIp6Source + 12),          // 13
        jump(kJeq, p[3], 0, 17),              // 14
        stmt(kLdw, kIp6Destination),          // 15
        jump(kJeq, l[0], 0, 15),              // 16
        stmt(kLdw, kIp6Destination + 4),      // 17
        jump(kJeq, l[1], 0, 13),              // 18
        stmt(kLdw, kIp6Destination + 8),      // 19
        jump(kJeq, l[2], 0, 11),              // 20
        stmt(kLdw, kIp6Destination + 12),     // 21
        jump(kJeq, l[3], 0, 9),               // 22
        stmt(kLdb, kIp6NextHeader),           // 23
        jump(kJeq, kProtoSctp, 2, 0),         // 24
        jump(kJeq, kProtoTcp, 1, 0),          // 25
        jump(kJeq, kProtoUdp, 0, 5),          // 26
        stmt(kLdh, kIp6Payload),              // 27: source port
        jump(kJeq, ntohs(peer_port), 0, 3),   // 28
        stmt(kLdh, kIp6Payload + 2),          // 29: destination port
        jump(kJeq, ntohs(local_port), 0, 1),  // 30
        stmt(kRet, kBpfAcceptBytes),          // 31
        stmt(kRet, 0),                        // 32
    }};
}

int SockAddr_Drop_All_BPF(int sock) {
    return attach(sock, SockAddr_Drop_All_Program());
}

int SockAddr_v4_Accept_BPF(int sock, uint16_t port) {
    return attach(sock, SockAddr_v4_Accept_Program(port));
}

int SockAddr_v4_Connect_BPF(int sock, uint32_t local_addr, uint32_t peer_addr, uint16_t local_port,
                            uint16_t peer_port) {
    return attach(sock, SockAddr_v4_Connect_Program(local_addr, peer_addr, local_port, peer_port));
}

int SockAddr_v4_Connect_TAP_BPF(int sock, uint32_t local_addr, uint32_t peer_addr,
                                uint16_t local_port, uint16_t peer_port) {
    return attach(sock,
                  SockAddr_v4_Connect_TAP_Program(local_addr, peer_addr, local_port, peer_port));
}

int SockAddr_v6_Connect_BPF(int sock, const in6_addr *local, const in6_addr *peer,
                            uint16_t local_port, uint16_t peer_port) {
    if (!local || !peer) {
        errno = EINVAL;
        return -1;
    }
    return attach(sock, SockAddr_v6_Connect_Program(*local, *peer, local_port, peer_port));
}
