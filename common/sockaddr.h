// Socket addresses of the traffic generators: name resolution, comparison,
// classification, address and port arithmetic for parallel streams, the
// interface behind a socket, and the hide-ips rendering of IPv4 addresses.
//
// Every address is a whole sockaddr_storage holding a sockaddr_in or a
// sockaddr_in6; the family field decides, and any other family value is read
// as "neither" (nothing is read past the storage whatever the family says, so
// addresses taken from the wire are safe to pass). Ports and addresses inside
// are in network byte order.
//
// The functions keep no state and allocate nothing the caller must free. The
// settings-driven ones (SockAddr_remoteAddr, SockAddr_localAddr,
// SockAddr_Ifrname) work on a SockAddrRequest, a plain record that each
// program's settings code fills from its own settings and copies the output
// fields back from. Any thread may call them on its own addresses.
// SockAddr_setHostname uses the resolver and may end the process.
#pragma once

#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>

#include "common/variant.h"

// Resolves host into *address (port 0).
// kToril: IPv4 wanted (ipv6 false): the first AF_INET result, else the first
// AF_INET6 result, else a dotted IPv4 text, else the first address of
// gethostbyname; when that fails prints "<host>: Unknown host" (or the other
// resolver texts by h_errno) and exits with status 1. IPv6 wanted: the first
// AF_INET6 result, else "ERROR: failed to find an ip address for host '<host>'"
// and exit 1.
// kQuarvel: one lookup without hints; a lookup error prints "error: <text>", an
// empty result "getaddrinfo failed to get an address... target was '<host>'",
// both exit 1. The first IPv6 result with ipv6 (else the first IPv4 result),
// the first IPv4 result without; when none fits, *address is left as it was.
void SockAddr_setHostname(const char *host, sockaddr_storage *address, bool ipv6,
                          ToolVariant variant = ToolVariant::kToril);

// What the settings-driven functions read (in) and write (out).
struct SockAddrRequest {
    ToolVariant variant = ToolVariant::kToril;
    bool is_client = false;            // in: thread role is client
    bool ipv6 = false;                 // in: IPv6 asked for (OPT_IPV6)
    const char *host = nullptr;        // in: -c host, may end in "%scope"
    const char *local_host = nullptr;  // in: -B host
    uint16_t port = 0;                 // in: test port, host order
    uint16_t bind_port = 0;            // in: port of -B host:port, host order (0 = none)
    int32_t dstip_incr = 0;            // in: destination-address increment (0 = none)
    int32_t srcip_incr = 0;            // in: source-address increment (0 = none)
    int32_t srcport_incr = 0;          // in: source-port increment
    int sock = -1;                     // in: the record's socket (SO_REUSEPORT, Ifrname)
    sockaddr_storage peer = {};        // in/out: peer address (remoteAddr)
    uint32_t peer_len = 0;             // in/out
    sockaddr_storage local = {};       // out: local address (localAddr)
    uint32_t local_len = 0;            // out
    bool has_ifname = false;           // in: the settings already hold an interface name
    char ifname[IFNAMSIZ] = {};        // out: the name Ifrname found (NUL-terminated)
};

// kToril: leaves the peer alone when it is already non-zero. Otherwise, without
// a host, sets only the family (AF_INET6 with ipv6, else AF_INET) and its
// length; with one, resolves it (SockAddr_setHostname), adds dstip_incr when
// non-zero, length by family. Then the port := port.
// kQuarvel: always anew: cleared, resolved from host when set (no increment),
// else the family alone; length by family; port := port.
void SockAddr_remoteAddr(SockAddrRequest &req);

// Clears the local address; the wildcard of the family without a local_host,
// else local_host resolved (kToril adds srcip_incr when non-zero); length by
// family. Port: kToril client 0, or with a bind_port, SO_REUSEPORT on sock
// (when sock >= 0; "setsockopt SO_REUSEPORT" warning on failure) and
// bind_port + srcport_incr; kQuarvel client bind_port (0 when none); every
// other role the test port.
void SockAddr_localAddr(SockAddrRequest &req);

// Finds the interface name of req.sock into req.ifname. 0 at once when
// has_ifname; otherwise 0 when a name was found, -1 when not (or when the
// socket, the interface list or the name cannot be read). IPv4: the interface
// with the socket's address; IPv6 link-local on a client: the scope text after
// '%' in host (falling back to the address match when host has none); IPv6
// mapped IPv4 on a server: the interface with that IPv4 address; other IPv6:
// the interface with the socket's address.
int SockAddr_Ifrname(SockAddrRequest &req);

// inet_ntop of the address for its family into text (length bytes). 0, or -1
// with text "" (when length > 0) for another family or a too short buffer.
int SockAddr_getHostAddress(const sockaddr_storage *address, char *text, socklen_t length);

// The wildcard address of the family (0.0.0.0 or ::); other families unchanged.
void SockAddr_setAddressAny(sockaddr_storage *address);

// Adds n to the IPv4 address word, or to the last 32-bit word of an IPv6
// address: htonl(n) is added to the stored word as a plain 32-bit sum in host
// order, so an increment below 256 changes only the last octet and wraps
// within it (10.0.0.255 + 1 = 10.0.0.0). Other families unchanged.
void SockAddr_incrAddress(sockaddr_storage *address, int n);

// Port in host order in and out; other families: nothing set, 0 read.
void SockAddr_setPort(sockaddr_storage *address, uint16_t port);
void SockAddr_setPortAny(sockaddr_storage *address);
uint16_t SockAddr_getPort(const sockaddr_storage *address);

// The IPv4 / IPv6 address inside. Any other family prints
// "FATAL: get_in_addr called on IPv6 address\n" (resp.
// "FATAL: get_in6_addr called on IPv4 address\n") on stderr and returns
// nullptr, which the caller must not use.
in_addr *SockAddr_get_in_addr(sockaddr_storage *address);
const in_addr *SockAddr_get_in_addr(const sockaddr_storage *address);
in6_addr *SockAddr_get_in6_addr(sockaddr_storage *address);
const in6_addr *SockAddr_get_in6_addr(const sockaddr_storage *address);

// 28 (sizeof sockaddr_in6) for IPv6, else 16 (sizeof sockaddr_in).
socklen_t SockAddr_get_sizeof_sockaddr(const sockaddr_storage *address);

// Classification. Multicast: IPv4 224.0.0.0 and above (top three bits set),
// IPv6 ff00::/8. Link-local: IPv6 fe80::/10 only. Other families: false.
bool SockAddr_isIPv6(const sockaddr_storage *address);
bool SockAddr_isMulticast(const sockaddr_storage *address);
bool SockAddr_isLinklocal(const sockaddr_storage *address);

// Zeroes all 128 bytes.
void SockAddr_zeroAddress(sockaddr_storage *address);

// 0 when all 128 bytes are zero, non-zero otherwise (a byte comparison result).
int SockAddr_isZeroAddress(const sockaddr_storage *address);

// Same family (IPv4 or IPv6), same address and same port.
bool SockAddr_are_Equal(const sockaddr_storage *a, const sockaddr_storage *b);

// Same family (IPv4 or IPv6) and same address; ports ignored.
bool SockAddr_Hostare_Equal(const sockaddr_storage *a, const sockaddr_storage *b);

// Hide-ips rendering: an IPv4 address becomes "*.*.*.<last octet>". Writes dst
// and returns it only when the text fits (shorter than size); otherwise dst is
// untouched and nullptr is returned (errno ENOSPC; EAFNOSUPPORT for a family
// other than AF_INET). src is an in_addr (4 bytes).
const char *inet_ntop_hide(int family, const void *src, char *dst, socklen_t size);
const char *inet_ntop4_hide(const unsigned char *src, char *dst, socklen_t size);
