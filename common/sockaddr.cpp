#include "common/sockaddr.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ifaddrs.h>
#include <netdb.h>
#include <vector>

#include "common/warn.h"

namespace {

sockaddr_in *as_in(sockaddr_storage *a) {
    return reinterpret_cast<sockaddr_in *>(a);
}
const sockaddr_in *as_in(const sockaddr_storage *a) {
    return reinterpret_cast<const sockaddr_in *>(a);
}
sockaddr_in6 *as_in6(sockaddr_storage *a) {
    return reinterpret_cast<sockaddr_in6 *>(a);
}
const sockaddr_in6 *as_in6(const sockaddr_storage *a) {
    return reinterpret_cast<const sockaddr_in6 *>(a);
}

bool is_inet(const sockaddr_storage *a) {
    return a->ss_family == AF_INET;
}
bool is_inet6(const sockaddr_storage *a) {
    return a->ss_family == AF_INET6;
}

// Copies the first result of the family; false when there is none.
bool copy_first(const addrinfo *list, int family, sockaddr_storage *out) {
    for (const addrinfo *ai = list; ai; ai = ai->ai_next) {
        if (ai->ai_family != family || !ai->ai_addr || ai->ai_addrlen > sizeof *out) continue;
        memset(out, 0, sizeof *out);
        memcpy(out, ai->ai_addr, ai->ai_addrlen);
        return true;
    }
    return false;
}

bool lookup_family(const char *host, int family, sockaddr_storage *out) {
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = family;
    addrinfo *list = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &list) != 0) return false;
    const bool found = copy_first(list, family, out);
    freeaddrinfo(list);
    return found;
}

[[noreturn]] void exit_resolver_error(const char *host, int herr) {
    const char *text;
    switch (herr) {
        case HOST_NOT_FOUND:
            text = "Unknown host";
            break;
        case TRY_AGAIN:
            text = "Host name lookup failure";
            break;
        case NO_RECOVERY:
            text = "Unknown server error";
            break;
        case NO_DATA:
            text = "No address associated with name";
            break;
        default:
            text = "Unknown resolver error";
            break;
    }
    fprintf(stderr, "%s: %s\n", host, text);
    exit(1);
}

// The last resort of an IPv4 lookup. The reentrant form, because client
// threads resolve their peers concurrently.
void lookup_hostent(const char *host, sockaddr_storage *out) {
    std::vector<char> work(1024);
    hostent entry;
    hostent *result = nullptr;
    int herr = 0;
    int rc;
    while ((rc = gethostbyname_r(host, &entry, work.data(), work.size(), &result, &herr)) ==
               ERANGE &&
           work.size() < (1u << 20)) {
        work.resize(work.size() * 2);
    }
    if (rc != 0 || !result || result->h_addrtype != AF_INET ||
        result->h_length != static_cast<int>(sizeof(in_addr)) || !result->h_addr_list ||
        !result->h_addr_list[0]) {
        exit_resolver_error(host, result ? NO_DATA : herr);
    }
    memset(out, 0, sizeof *out);
    sockaddr_in *v4 = as_in(out);
    v4->sin_family = AF_INET;
    memcpy(&v4->sin_addr, result->h_addr_list[0], sizeof v4->sin_addr);
}

void set_hostname_toril(const char *host, sockaddr_storage *address, bool ipv6) {
    if (ipv6) {
        if (lookup_family(host, AF_INET6, address)) return;
        fprintf(stderr, "ERROR: failed to find an ip address for host '%s'\n", host);
        exit(1);
    }
    if (lookup_family(host, AF_INET, address) || lookup_family(host, AF_INET6, address)) return;
    in_addr dotted;
    if (inet_pton(AF_INET, host, &dotted) == 1) {
        memset(address, 0, sizeof *address);
        as_in(address)->sin_family = AF_INET;
        as_in(address)->sin_addr = dotted;
        return;
    }
    lookup_hostent(host, address);
}

void set_hostname_quarvel(const char *host, sockaddr_storage *address, bool ipv6) {
    addrinfo *list = nullptr;
    const int rc = getaddrinfo(host, nullptr, nullptr, &list);
    if (rc != 0) {
        fprintf(stderr, "error: %s\n", gai_strerror(rc));
        exit(1);
    }
    if (!list) {
        fprintf(stderr, "getaddrinfo failed to get an address... target was '%s'\n", host);
        exit(1);
    }
    if (!(ipv6 && copy_first(list, AF_INET6, address))) copy_first(list, AF_INET, address);
    freeaddrinfo(list);
}

// Family and length of an address that has no host to resolve.
void set_family(sockaddr_storage *address, uint32_t *length, bool ipv6) {
    address->ss_family = ipv6 ? AF_INET6 : AF_INET;
    *length = SockAddr_get_sizeof_sockaddr(address);
}

bool has_text(const char *text) {
    return text && text[0] != '\0';
}

bool copy_name(const char *name, char (&out)[IFNAMSIZ]) {
    const size_t length = strnlen(name, IFNAMSIZ);
    if (length == 0 || length >= IFNAMSIZ) return false;
    memcpy(out, name, length + 1);
    return true;
}

// The name of the first interface whose address equals the wanted one.
// want_v4 is compared with IPv4 interface addresses, want_v6 (when not null)
// with IPv6 ones; a link-local want_v6 with a scope must match that scope too.
bool match_interface(const in_addr *want_v4, const sockaddr_in6 *want_v6, char (&out)[IFNAMSIZ]) {
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    bool found = false;
    for (const ifaddrs *ifa = list; ifa && !found; ifa = ifa->ifa_next) {
        if (!ifa->ifa_addr || !ifa->ifa_name) continue;
        if (want_v4 && ifa->ifa_addr->sa_family == AF_INET) {
            const auto *v4 = reinterpret_cast<const sockaddr_in *>(ifa->ifa_addr);
            if (v4->sin_addr.s_addr != want_v4->s_addr) continue;
        } else if (want_v6 && ifa->ifa_addr->sa_family == AF_INET6) {
            const auto *v6 = reinterpret_cast<const sockaddr_in6 *>(ifa->ifa_addr);
            if (memcmp(&v6->sin6_addr, &want_v6->sin6_addr, sizeof v6->sin6_addr) != 0) continue;
            if (IN6_IS_ADDR_LINKLOCAL(&want_v6->sin6_addr) && want_v6->sin6_scope_id != 0 &&
                v6->sin6_scope_id != want_v6->sin6_scope_id) {
                continue;
            }
        } else {
            continue;
        }
        found = copy_name(ifa->ifa_name, out);
    }
    freeifaddrs(list);
    return found;
}

}  // namespace

void SockAddr_setHostname(const char *host, sockaddr_storage *address, bool ipv6,
                          ToolVariant variant) {
    if (!host) host = "";
    if (variant == ToolVariant::kQuarvel) {
        set_hostname_quarvel(host, address, ipv6);
    } else {
        set_hostname_toril(host, address, ipv6);
    }
}

void SockAddr_remoteAddr(SockAddrRequest &req) {
    if (req.variant == ToolVariant::kQuarvel) {
        SockAddr_zeroAddress(&req.peer);
    } else if (SockAddr_isZeroAddress(&req.peer) != 0) {
        return;
    }
    if (!has_text(req.host)) {
        set_family(&req.peer, &req.peer_len, req.ipv6);
    } else {
        SockAddr_setHostname(req.host, &req.peer, req.ipv6, req.variant);
        if (req.variant == ToolVariant::kToril && req.dstip_incr != 0) {
            SockAddr_incrAddress(&req.peer, req.dstip_incr);
        }
        req.peer_len = SockAddr_get_sizeof_sockaddr(&req.peer);
    }
    SockAddr_setPort(&req.peer, req.port);
}

void SockAddr_localAddr(SockAddrRequest &req) {
    SockAddr_zeroAddress(&req.local);
    if (!has_text(req.local_host)) {
        set_family(&req.local, &req.local_len, req.ipv6);
        SockAddr_setAddressAny(&req.local);
    } else {
        SockAddr_setHostname(req.local_host, &req.local, req.ipv6, req.variant);
        if (req.variant == ToolVariant::kToril && req.srcip_incr != 0) {
            SockAddr_incrAddress(&req.local, req.srcip_incr);
        }
        req.local_len = SockAddr_get_sizeof_sockaddr(&req.local);
    }
    if (!req.is_client) {
        SockAddr_setPort(&req.local, req.port);
    } else if (req.variant == ToolVariant::kQuarvel || req.bind_port == 0) {
        SockAddr_setPort(&req.local, req.bind_port);
    } else {
        // Parallel clients bind the same source port range; reuse lets each
        // of them bind while earlier connections still hold their ports.
        if (req.sock >= 0) {
            const int on = 1;
            if (setsockopt(req.sock, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) != 0) {
                WARN_ERRNO("setsockopt SO_REUSEPORT");
            }
        }
        SockAddr_setPort(&req.local, static_cast<uint16_t>(req.bind_port + req.srcport_incr));
    }
}

int SockAddr_Ifrname(SockAddrRequest &req) {
    if (req.has_ifname) return 0;
    sockaddr_storage local;
    memset(&local, 0, sizeof local);
    socklen_t length = sizeof local;
    if (req.sock < 0 || getsockname(req.sock, reinterpret_cast<sockaddr *>(&local), &length) != 0) {
        return -1;
    }
    bool found = false;
    if (is_inet(&local)) {
        found = match_interface(&as_in(&local)->sin_addr, nullptr, req.ifname);
    } else if (is_inet6(&local)) {
        const sockaddr_in6 *v6 = as_in6(&local);
        const char *scope = req.host ? strchr(req.host, '%') : nullptr;
        if (req.is_client && IN6_IS_ADDR_LINKLOCAL(&v6->sin6_addr) && scope) {
            found = copy_name(scope + 1, req.ifname);
        } else if (!req.is_client && IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr)) {
            in_addr v4;
            memcpy(&v4, &v6->sin6_addr.s6_addr[12], sizeof v4);
            found = match_interface(&v4, nullptr, req.ifname);
        } else {
            found = match_interface(nullptr, v6, req.ifname);
        }
    }
    if (!found) req.ifname[0] = '\0';
    return found ? 0 : -1;
}

int SockAddr_getHostAddress(const sockaddr_storage *address, char *text, socklen_t length) {
    const void *inner = nullptr;
    if (is_inet(address)) inner = &as_in(address)->sin_addr;
    if (is_inet6(address)) inner = &as_in6(address)->sin6_addr;
    if (inner && inet_ntop(address->ss_family, inner, text, length)) return 0;
    if (!inner) errno = EAFNOSUPPORT;
    if (length > 0) text[0] = '\0';
    return -1;
}

void SockAddr_setAddressAny(sockaddr_storage *address) {
    if (is_inet(address)) as_in(address)->sin_addr.s_addr = htonl(INADDR_ANY);
    if (is_inet6(address)) as_in6(address)->sin6_addr = in6addr_any;
}

void SockAddr_incrAddress(sockaddr_storage *address, int n) {
    uint8_t *word = nullptr;
    if (is_inet(address)) word = reinterpret_cast<uint8_t *>(&as_in(address)->sin_addr);
    if (is_inet6(address)) word = &as_in6(address)->sin6_addr.s6_addr[12];
    if (!word) return;
    uint32_t value;
    memcpy(&value, word, sizeof value);
    value += htonl(static_cast<uint32_t>(n));
    memcpy(word, &value, sizeof value);
}

void SockAddr_setPort(sockaddr_storage *address, uint16_t port) {
    if (is_inet(address)) as_in(address)->sin_port = htons(port);
    if (is_inet6(address)) as_in6(address)->sin6_port = htons(port);
}

void SockAddr_setPortAny(sockaddr_storage *address) {
    SockAddr_setPort(address, 0);
}

uint16_t SockAddr_getPort(const sockaddr_storage *address) {
    if (is_inet(address)) return ntohs(as_in(address)->sin_port);
    if (is_inet6(address)) return ntohs(as_in6(address)->sin6_port);
    return 0;
}

in_addr *SockAddr_get_in_addr(sockaddr_storage *address) {
    if (is_inet(address)) return &as_in(address)->sin_addr;
    fprintf(stderr, "FATAL: get_in_addr called on IPv6 address\n");
    return nullptr;
}

const in_addr *SockAddr_get_in_addr(const sockaddr_storage *address) {
    return SockAddr_get_in_addr(const_cast<sockaddr_storage *>(address));
}

in6_addr *SockAddr_get_in6_addr(sockaddr_storage *address) {
    if (is_inet6(address)) return &as_in6(address)->sin6_addr;
    fprintf(stderr, "FATAL: get_in6_addr called on IPv4 address\n");
    return nullptr;
}

const in6_addr *SockAddr_get_in6_addr(const sockaddr_storage *address) {
    return SockAddr_get_in6_addr(const_cast<sockaddr_storage *>(address));
}

socklen_t SockAddr_get_sizeof_sockaddr(const sockaddr_storage *address) {
    return is_inet6(address) ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

bool SockAddr_isIPv6(const sockaddr_storage *address) {
    return is_inet6(address);
}

bool SockAddr_isMulticast(const sockaddr_storage *address) {
    if (is_inet(address)) return (ntohl(as_in(address)->sin_addr.s_addr) >> 29) == 7;
    if (is_inet6(address)) return as_in6(address)->sin6_addr.s6_addr[0] == 0xff;
    return false;
}

bool SockAddr_isLinklocal(const sockaddr_storage *address) {
    if (!is_inet6(address)) return false;
    const uint8_t *bytes = as_in6(address)->sin6_addr.s6_addr;
    return bytes[0] == 0xfe && (bytes[1] & 0xc0) == 0x80;
}

void SockAddr_zeroAddress(sockaddr_storage *address) {
    memset(address, 0, sizeof *address);
}

int SockAddr_isZeroAddress(const sockaddr_storage *address) {
    static const sockaddr_storage zero = {};
    return memcmp(address, &zero, sizeof zero);
}

bool SockAddr_Hostare_Equal(const sockaddr_storage *a, const sockaddr_storage *b) {
    if (a->ss_family != b->ss_family) return false;
    if (is_inet(a)) return as_in(a)->sin_addr.s_addr == as_in(b)->sin_addr.s_addr;
    if (is_inet6(a)) {
        return memcmp(&as_in6(a)->sin6_addr, &as_in6(b)->sin6_addr, sizeof(in6_addr)) == 0;
    }
    return false;
}

bool SockAddr_are_Equal(const sockaddr_storage *a, const sockaddr_storage *b) {
    return SockAddr_Hostare_Equal(a, b) && SockAddr_getPort(a) == SockAddr_getPort(b);
}

const char *inet_ntop_hide(int family, const void *src, char *dst, socklen_t size) {
    if (family != AF_INET) {
        errno = EAFNOSUPPORT;
        return nullptr;
    }
    return inet_ntop4_hide(static_cast<const unsigned char *>(src), dst, size);
}

const char *inet_ntop4_hide(const unsigned char *src, char *dst, socklen_t size) {
    char text[sizeof "*.*.*.255"];
    const int length = snprintf(text, sizeof text, "%s.%s.%s.%u", "*", "*", "*", src[3]);
    if (length < 0 || static_cast<socklen_t>(length) >= size) {
        errno = ENOSPC;
        return nullptr;
    }
    memcpy(dst, text, static_cast<size_t>(length) + 1);
    return dst;
}
