// The backlogs of UDP tests and their registry.
#include "toril/endpoints/listener_udp.h"

#include <netinet/in.h>

#include <algorithm>
#include <cstring>

namespace {

struct Entry {
    uint16_t local_port;
    sockaddr_storage peer;
    std::shared_ptr<UdpBacklog> backlog;
};

std::mutex registry_mutex;
std::vector<Entry> registry;

bool same_endpoint(const sockaddr_storage &a, const sockaddr_storage &b) {
    if (a.ss_family != b.ss_family) return false;
    if (a.ss_family == AF_INET) {
        const auto &x = reinterpret_cast<const sockaddr_in &>(a);
        const auto &y = reinterpret_cast<const sockaddr_in &>(b);
        return x.sin_port == y.sin_port && x.sin_addr.s_addr == y.sin_addr.s_addr;
    }
    if (a.ss_family == AF_INET6) {
        const auto &x = reinterpret_cast<const sockaddr_in6 &>(a);
        const auto &y = reinterpret_cast<const sockaddr_in6 &>(b);
        return x.sin6_port == y.sin6_port &&
               memcmp(&x.sin6_addr, &y.sin6_addr, sizeof x.sin6_addr) == 0;
    }
    return false;
}

std::vector<Entry>::iterator find_locked(uint16_t local_port, const sockaddr_storage &peer) {
    return std::find_if(registry.begin(), registry.end(), [&](const Entry &e) {
        return e.local_port == local_port && same_endpoint(e.peer, peer);
    });
}

}  // namespace

void UdpBacklog::push(const char *data, size_t len, const Timestamp &arrival) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (datagrams_.size() >= kMaxDatagrams) return;
    datagrams_.push_back(Datagram{std::vector<char>(data, data + len), arrival});
    count_.store(static_cast<int>(datagrams_.size()), std::memory_order_release);
}

int UdpBacklog::pop(char *buf, size_t cap, Timestamp *arrival) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (datagrams_.empty()) return -1;
    const Datagram &d = datagrams_.front();
    const size_t n = std::min(cap, d.bytes.size());
    if (n > 0) memcpy(buf, d.bytes.data(), n);
    *arrival = d.arrival;
    datagrams_.pop_front();
    count_.store(static_cast<int>(datagrams_.size()), std::memory_order_release);
    return static_cast<int>(n);
}

std::shared_ptr<UdpBacklog> udp_backlog_open(uint16_t local_port, const sockaddr_storage &peer) {
    auto backlog = std::make_shared<UdpBacklog>();
    std::lock_guard<std::mutex> lock(registry_mutex);
    auto it = find_locked(local_port, peer);
    if (it != registry.end()) {
        it->backlog = backlog;
    } else {
        registry.push_back(Entry{local_port, peer, backlog});
    }
    return backlog;
}

std::shared_ptr<UdpBacklog> udp_backlog_find(uint16_t local_port, const sockaddr_storage &peer) {
    std::lock_guard<std::mutex> lock(registry_mutex);
    auto it = find_locked(local_port, peer);
    return it == registry.end() ? nullptr : it->backlog;
}

void udp_backlog_close(uint16_t local_port, const sockaddr_storage &peer) {
    std::lock_guard<std::mutex> lock(registry_mutex);
    auto it = find_locked(local_port, peer);
    if (it != registry.end()) registry.erase(it);
}
