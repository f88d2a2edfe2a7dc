#include "toril/core/sockaddr_settings.h"

#include <cstdlib>
#include <cstring>

SockAddrRequest SockAddr_request(const thread_Settings *settings) {
    SockAddrRequest req;
    req.variant = ToolVariant::kToril;
    req.is_client = settings->thread_mode == kMode_Client;
    req.ipv6 = (settings->option_flags & OPT_IPV6) != 0;
    req.host = settings->host;
    req.local_host = settings->local_host;
    req.port = settings->port;
    req.bind_port = settings->bind_port;
    req.dstip_incr = settings->dstip_index;
    req.srcip_incr = settings->srcip_index;
    req.srcport_incr = settings->srcport_index;
    req.sock = settings->sock;
    req.peer = settings->peer;
    req.peer_len = settings->peer_len;
    req.local = settings->local;
    req.local_len = settings->local_len;
    req.has_ifname = settings->bind_device != nullptr;
    return req;
}

void SockAddr_remoteAddr(thread_Settings *settings) {
    SockAddrRequest req = SockAddr_request(settings);
    SockAddr_remoteAddr(req);
    settings->peer = req.peer;
    settings->peer_len = req.peer_len;
}

void SockAddr_localAddr(thread_Settings *settings) {
    SockAddrRequest req = SockAddr_request(settings);
    SockAddr_localAddr(req);
    settings->local = req.local;
    settings->local_len = req.local_len;
}

int SockAddr_Ifrname(thread_Settings *settings) {
    SockAddrRequest req = SockAddr_request(settings);
    if (SockAddr_Ifrname(req) != 0) return -1;
    if (!settings->bind_device) settings->bind_device = strdup(req.ifname);
    return settings->bind_device ? 0 : -1;
}
