#include "common/sockopt.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <linux/if_tun.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/warn.h"

namespace {

// setsockopt / getsockopt whose warning text is built from the call itself,
// so a message never names the wrong option.
int set_opt(int fd, int level, int opt, const void *val, socklen_t len, const char *text) {
    if (setsockopt(fd, level, opt, val, len) == 0) return 0;
    WARN_ERRNO(text);
    return -1;
}
#define SET_OPT(fd, level, opt, val) \
    set_opt((fd), (level), (opt), &(val), sizeof(val), "setsockopt " #opt)

int get_int_opt(int fd, int level, int opt, int *val, const char *text) {
    socklen_t len = sizeof *val;
    if (getsockopt(fd, level, opt, val, &len) == 0) return 0;
    if (text) WARN_ERRNO(text);
    return -1;
}
#define GET_OPT(fd, level, opt, valp) get_int_opt((fd), (level), (opt), (valp), "getsockopt " #opt)

int set_timeout(int fd, int opt, int32_t timeout_us) {
    struct timeval tv;
    tv.tv_sec = timeout_us / 1000000;
    tv.tv_usec = timeout_us % 1000000;
    return setsockopt(fd, SOL_SOCKET, opt, &tv, sizeof tv);
}

void set_congestion(SocketOptionRequest &req) {
    const char *name = req.congestion_algo ? req.congestion_algo : "";
    if (setsockopt(req.sock, IPPROTO_TCP, TCP_CONGESTION, name,
                   static_cast<socklen_t>(strlen(name) + 1)) == 0) {
        return;
    }
    char msg[256];
    fprintf(stderr, "Attempt to set '%s' congestion control failed: %s\n", name,
            strerror_r(errno, msg, sizeof msg));
    req.congestion = false;
}

// A device this process just made is down, and a packet socket bound to a
// device that is down reads nothing but ENETDOWN. Best effort: a device that
// cannot be brought up here can still be by hand.
void bring_up(int sock, const char *name) {
    struct ifreq ifr;
    memset(&ifr, 0, sizeof ifr);
    memcpy(ifr.ifr_name, name, strnlen(name, IFNAMSIZ - 1));
    if (ioctl(sock, SIOCGIFFLAGS, &ifr) < 0 || (ifr.ifr_flags & IFF_UP)) return;
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
    ioctl(sock, SIOCSIFFLAGS, &ifr);
}

// Opens the tap (or tun) device and binds the packet socket to it. A device
// the caller already holds open (tuntap_fd given) is not opened again: the
// kernel refuses a second attach to one device.
SockOptResult attach_tap(SocketOptionRequest &req) {
    const char *device = req.is_client ? req.host_device : req.bind_device;
    const char *name = device ? device : "";
    if (req.tuntap_fd < 0) {
        struct ifreq ifr;
        memset(&ifr, 0, sizeof ifr);
        if (device) strncpy(ifr.ifr_name, device, IFNAMSIZ - 1);
        const bool existed = name[0] != '\0' && if_nametoindex(name) != 0;

        req.tuntap_fd = open("/dev/net/tun", O_RDWR);
        if (req.tuntap_fd < 0) {
            WARN_ERRNO("open tun dev");
            return SockOptResult::kStopThread;
        }
        ifr.ifr_flags = static_cast<short>((req.tun_variant ? IFF_TUN : IFF_TAP) | IFF_NO_PI);
        if (ioctl(req.tuntap_fd, TUNSETIFF, &ifr) < 0) {
            WARN_ERRNO("tunsetiff");
            return SockOptResult::kStopThread;
        }
        if (name[0] == '\0') {
            // Without a name the kernel picks one and writes it back into the
            // request; only that name finds the device.
            memcpy(req.tap_name, ifr.ifr_name, sizeof req.tap_name);
            req.tap_name[sizeof req.tap_name - 1] = '\0';
            name = req.tap_name;
        }
        // A device somebody else set up keeps the state they gave it.
        if (!existed) bring_up(req.sock, name);
    }
    unsigned index = if_nametoindex(name);
    if (index == 0) {
        fprintf(stderr, "tuntap device of %s used for index lookup\n", name);
        WARN_ERRNO("tuntap nametoindex");
        return SockOptResult::kStopThread;
    }
    struct sockaddr_ll addr;
    memset(&addr, 0, sizeof addr);
    addr.sll_family = AF_PACKET;
    addr.sll_protocol = htons(ETH_P_ALL);
    addr.sll_ifindex = static_cast<int>(index);
    if (bind(req.sock, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) < 0) {
        WARN_ERRNO("tap bind");
        return SockOptResult::kStopThread;
    }
    return SockOptResult::kOk;
}

void set_multicast_hops(const SocketOptionRequest &req, const char *v6_text, const char *v4_text) {
    if (req.ipv6) {
        int hops = req.ttl;
        set_opt(req.sock, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &hops, sizeof hops, v6_text);
    } else {
        unsigned char ttl = static_cast<unsigned char>(req.ttl);
        set_opt(req.sock, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl, v4_text);
    }
}

// Enhanced reports show the no-delay state the socket really has.
void read_back_nodelay(SocketOptionRequest &req) {
    int value = 0;
    if (GET_OPT(req.sock, IPPROTO_TCP, TCP_NODELAY, &value) == 0) req.nodelay = value != 0;
}

void set_tcp_options(SocketOptionRequest &req) {
    if (req.mss_set) setsock_tcp_mss(req.sock, req.mss);
    if (req.nodelay) {
        int one = 1;
        if (SET_OPT(req.sock, IPPROTO_TCP, TCP_NODELAY, one) == 0 && req.enhanced) {
            read_back_nodelay(req);
        }
    } else if (req.enhanced) {
        read_back_nodelay(req);
    }
    if (req.rx_window_clamp_set) {
        int clamp = req.rx_window_clamp;
        SET_OPT(req.sock, IPPROTO_TCP, TCP_WINDOW_CLAMP, clamp);
    }
    if (req.write_prefetch_set) {
        int lowat = req.write_prefetch;
        SET_OPT(req.sock, IPPROTO_TCP, TCP_NOTSENT_LOWAT, lowat);
    }
}

SockOptResult set_quarvel_options(SocketOptionRequest &req) {
    setsock_tcp_windowsize(req.sock, req.window_size, req.is_client);
    if (req.congestion) {
        set_congestion(req);
        if (!req.congestion) return SockOptResult::kExitProcess;
    }
    if (req.multicast && req.ttl > 0) set_multicast_hops(req, "multicast ttl", "multicast ttl");
    if (req.tos > 0) {
        int tos = req.tos;
        SET_OPT(req.sock, IPPROTO_IP, IP_TOS, tos);
    }
    if (!req.udp) {
        setsock_tcp_mss(req.sock, req.mss, ToolVariant::kQuarvel);
        if (req.nodelay) {
            int one = 1;
            SET_OPT(req.sock, IPPROTO_TCP, TCP_NODELAY, one);
        }
    }
    return SockOptResult::kOk;
}

}  // namespace

void gettcpinfo(int fd, TcpStats *stats) {
    struct tcp_info info;
    memset(&info, 0, sizeof info);
    // The fields used here all lie in the first 104 bytes of the kernel record.
    socklen_t len = sizeof info < 104 ? sizeof info : 104;
    if (fd <= 0 || getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) != 0) {
        stats->valid = 0;
        stats->rtt_us = 1;
        return;
    }
    stats->valid = 1;
    stats->rtt_us = info.tcpi_rtt;
    stats->rttvar_us = info.tcpi_rttvar;
    stats->mss = info.tcpi_snd_mss;
    stats->cwnd_kbytes = static_cast<uint32_t>(info.tcpi_snd_cwnd * info.tcpi_snd_mss) >> 10;
    stats->retry_tot = info.tcpi_total_retrans;
}

void tcpstats_copy(TcpStats *dst, const TcpStats *src) {
    dst->valid = src->valid;
    dst->rtt_us = src->rtt_us;
    dst->connect_time_ms = src->connect_time_ms;
    dst->cwnd_kbytes = src->cwnd_kbytes;
    dst->rttvar_us = src->rttvar_us;
    dst->retry_tot = src->retry_tot;
    dst->mss = src->mss;
}

bool setsock_blocking(int fd, bool blocking) {
    if (fd < 0) return false;
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0) return false;
    flags = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    return fcntl(fd, F_SETFL, flags) == 0;
}

void setsock_tcp_mss(int fd, int mss, ToolVariant variant) {
    if (mss <= 0) return;
    if (setsockopt(fd, IPPROTO_TCP, TCP_MAXSEG, &mss, sizeof mss) != 0) {
        if (variant == ToolVariant::kQuarvel) {
            fprintf(stderr,
                    "WARNING: attempt to set TCP maxmimum segment size to %d failed.\n"
                    "Setting the MSS may not be implemented on this OS.\n",
                    mss);
        } else {
            fprintf(stderr, "WARNING: attempt to set TCP maxmimum segment size to %d failed\n",
                    mss);
        }
        return;
    }
    if (variant == ToolVariant::kQuarvel) {
        int got = getsock_tcp_mss(fd);
        if (got >= 0 && got != mss) {
            fprintf(stderr, "WARNING: attempt to set TCP maximum segment size to %d, but got %d\n",
                    mss, got);
        }
    }
}

int getsock_tcp_mss(int fd) {
    int mss = 0;
    return GET_OPT(fd, IPPROTO_TCP, TCP_MAXSEG, &mss) == 0 ? mss : -1;
}

int setsock_tcp_windowsize(int fd, int size, bool send_side) {
    if (size <= 0) return 0;
    int opt = send_side ? SO_SNDBUF : SO_RCVBUF;
    return setsockopt(fd, SOL_SOCKET, opt, &size, sizeof size) == 0 ? 0 : -1;
}

int getsock_tcp_windowsize(int fd, bool send_side) {
    int size = 0;
    int opt = send_side ? SO_SNDBUF : SO_RCVBUF;
    return get_int_opt(fd, SOL_SOCKET, opt, &size, nullptr) == 0 ? size : -1;
}

int getsock_tcp_windowclamp(int fd) {
    int clamp = 0;
    return GET_OPT(fd, IPPROTO_TCP, TCP_WINDOW_CLAMP, &clamp) == 0 ? clamp : -1;
}

int setsock_send_timeout(int fd, int32_t timeout_us) {
    return set_timeout(fd, SO_SNDTIMEO, timeout_us);
}

int setsock_receive_timeout(int fd, int32_t timeout_us) {
    return set_timeout(fd, SO_RCVTIMEO, timeout_us);
}

void SetSocketOptionsSendTimeout(int sock, int32_t timeout_us) {
    if (setsock_send_timeout(sock, timeout_us) != 0) WARN_ERRNO("socket");
}

void SetSocketOptionsReceiveTimeout(int sock, int32_t timeout_us) {
    if (setsock_receive_timeout(sock, timeout_us) != 0) WARN_ERRNO("socket");
}

void SetSocketOptionsIPTos(int sock, bool ipv6, bool tos_override, int tos) {
    if (ipv6) {
        SET_OPT(sock, IPPROTO_IPV6, IPV6_TCLASS, tos);
        return;
    }
    if (!tos_override && tos <= 0) return;
    if (SET_OPT(sock, IPPROTO_IP, IP_TOS, tos) != 0) return;
    int got = 0;
    if (GET_OPT(sock, IPPROTO_IP, IP_TOS, &got) == 0 && got != tos) WARN("IP_TOS setting failed");
}

SockOptResult SetSocketOptions(SocketOptionRequest &req) {
    if (req.variant == ToolVariant::kQuarvel) return set_quarvel_options(req);

    // A client sizes its send buffer, every other role its receive buffer.
    setsock_tcp_windowsize(req.sock, req.window_size, req.is_client);
    if (req.congestion) set_congestion(req);

    if (req.tap_dev) {
        SockOptResult rc = attach_tap(req);
        if (rc != SockOptResult::kOk) return rc;
    } else if (req.multicast) {
        if (!req.udp) {
            WARN("Multicast requires -u option ");
            return SockOptResult::kExitProcess;
        }
        if (req.ttl == -1) req.ttl = 1;
        if (req.ttl > 0) set_multicast_hops(req, "multicast v6 ttl", "multicast v4 ttl");
    } else if (req.ttl > 0) {
        int ttl = req.ttl;
        set_opt(req.sock, IPPROTO_IP, IP_TTL, &ttl, sizeof ttl, "v4 ttl");
    }

    SetSocketOptionsIPTos(req.sock, req.ipv6, req.tos_override, req.tos);
    if (!req.udp) set_tcp_options(req);

    if (req.fq_rate_set && req.fq_rate != 0) {
        uint64_t rate = req.fq_rate;
        SET_OPT(req.sock, SOL_SOCKET, SO_MAX_PACING_RATE, rate);
    }
    if (req.local_only) {
        int one = 1;
        SET_OPT(req.sock, SOL_SOCKET, SO_DONTROUTE, one);
    }
    return SockOptResult::kOk;
}
