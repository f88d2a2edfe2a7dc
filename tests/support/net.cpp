#include "tests/support/net.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace testsupport {
namespace {

bool bind_any(int family, int type, uint16_t port, uint16_t *bound) {
    int fd = socket(family == 6 ? AF_INET6 : AF_INET, type, 0);
    if (fd < 0) return false;
    bool ok = false;
    if (family == 6) {
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_addr = in6addr_loopback;
        a.sin6_port = htons(port);
        ok = bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
        socklen_t len = sizeof a;
        if (ok && bound && getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0)
            *bound = ntohs(a.sin6_port);
    } else {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        ok = bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
        socklen_t len = sizeof a;
        if (ok && bound && getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0)
            *bound = ntohs(a.sin_port);
    }
    close(fd);
    return ok;
}

}  // namespace

uint16_t free_port() {
    for (int attempt = 0; attempt < 50; ++attempt) {
        uint16_t port = 0;
        if (!bind_any(4, SOCK_STREAM, 0, &port) || port == 0) continue;
        if (bind_any(4, SOCK_DGRAM, port, nullptr) && bind_any(6, SOCK_STREAM, port, nullptr) &&
            bind_any(6, SOCK_DGRAM, port, nullptr))
            return port;
    }
    return 0;
}

bool udp_exchange(int family, uint16_t port, const std::string &payload, std::string *reply,
                  int timeout_ms) {
    int fd = socket(family == 6 ? AF_INET6 : AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return false;
    ssize_t sent;
    if (family == 6) {
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_addr = in6addr_loopback;
        a.sin6_port = htons(port);
        sent = sendto(fd, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr *>(&a),
                      sizeof a);
    } else {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        sent = sendto(fd, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr *>(&a),
                      sizeof a);
    }
    bool got = false;
    if (sent == static_cast<ssize_t>(payload.size())) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) == 1) {
            char buf[65536];
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n >= 0) {
                if (reply) reply->assign(buf, static_cast<size_t>(n));
                got = true;
            }
        }
    }
    close(fd);
    return got;
}

}  // namespace testsupport
