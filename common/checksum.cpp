#include "common/checksum.h"

namespace {

// Sum of big-endian 16-bit words; an odd last byte is padded with zero.
uint64_t sum_words(const uint8_t *p, int len) {
    uint64_t sum = 0;
    int i = 0;
    for (; i + 1 < len; i += 2) sum += static_cast<uint32_t>(p[i] << 8 | p[i + 1]);
    if (i < len) sum += static_cast<uint32_t>(p[i] << 8);
    return sum;
}

}  // namespace

int udpchecksum(const uint8_t *ip, const uint8_t *udp, int udp_len, bool ipv6) {
    if (udp_len < 8) return -1;
    if (udp[6] == 0 && udp[7] == 0) return ipv6 ? -1 : 0;
    uint64_t sum = ipv6 ? sum_words(ip + 8, 32) : sum_words(ip + 12, 8);
    sum += 17;
    // The IPv6 pseudo-header carries a 32-bit length; its two words sum the same.
    sum += static_cast<uint32_t>(udp_len) >> 16;
    sum += static_cast<uint32_t>(udp_len) & 0xffff;
    sum += sum_words(udp, udp_len);
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<int>(~sum & 0xffff);
}
