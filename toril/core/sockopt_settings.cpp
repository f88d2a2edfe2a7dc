#include "toril/core/sockopt_settings.h"

#include <cstdlib>
#include <cstring>

SocketOptionRequest Settings_SocketOptionRequest(const thread_Settings *s) {
    SocketOptionRequest req;
    req.variant = ToolVariant::kToril;
    req.sock = s->sock;
    req.is_client = (s->thread_mode == kMode_Client);
    req.udp = s->option_flags & OPT_UDP;
    req.ipv6 = s->option_flags & OPT_IPV6;
    req.multicast = s->option_flags & OPT_MULTICAST;
    req.window_size = s->window_size;
    req.congestion = s->option_flags & OPT_CONGESTION;
    req.congestion_algo = s->congestion_algo;
    req.tap_dev = s->extra_flags & EXT_TAP_DEV;
    // The listener keeps its tap device open from one test to the next.
    req.tuntap_fd = s->tuntap_fd;
    req.tun_variant = false;  // --tun-dev is refused when options are read
    req.host_device = s->host_device;
    req.bind_device = s->bind_device;
    req.ttl = s->ttl;
    req.tos = s->tos;
    req.tos_override = s->extra_flags & EXT_TOS_OVERRIDE;
    req.mss_set = s->test_flags & TEST_MSS_SET;
    req.mss = s->mss;
    req.nodelay = s->option_flags & OPT_NODELAY;
    req.enhanced = s->option_flags & OPT_ENHANCED;
    req.rx_window_clamp_set = s->extra_flags & EXT_RX_WINCLAMP;
    req.rx_window_clamp = s->rx_window_clamp;
    req.write_prefetch_set = s->extra_flags & EXT_WRITE_PREFETCH;
    req.write_prefetch = s->write_prefetch;
    req.fq_rate_set = s->test_flags & TEST_FQ_RATE;
    req.fq_rate = s->fq_rate;
    req.local_only = s->test_flags & TEST_LOCAL_ONLY;
    return req;
}

namespace {

void set_option_flag(thread_Settings *s, uint32_t flag, bool on) {
    if (on) {
        s->option_flags |= flag;
    } else {
        s->option_flags &= ~flag;
    }
}

}  // namespace

SockOptResult SetSocketOptions(thread_Settings *s) {
    SocketOptionRequest req = Settings_SocketOptionRequest(s);
    const SockOptResult result = SetSocketOptions(req);
    set_option_flag(s, OPT_CONGESTION, req.congestion);
    set_option_flag(s, OPT_NODELAY, req.nodelay);
    s->ttl = req.ttl;
    if (req.tuntap_fd >= 0) s->tuntap_fd = req.tuntap_fd;
    if (req.tap_name[0] != '\0') {
        // The device the kernel named becomes the record's device name.
        char **field = (s->thread_mode == kMode_Client) ? &s->host_device : &s->bind_device;
        free(*field);
        *field = strdup(req.tap_name);
    }
    if (result == SockOptResult::kExitProcess) exit(1);
    return result;
}

void SetSocketOptionsIPTos(thread_Settings *s, int tos) {
    SetSocketOptionsIPTos(s->sock, s->option_flags & OPT_IPV6, s->extra_flags & EXT_TOS_OVERRIDE,
                          tos);
}
