#include "toril/core/active_hosts.h"

#include <netinet/in.h>

#include <cstring>

#include "toril/reporting/report.h"

ActiveHostTable active_table = {PTHREAD_MUTEX_INITIALIZER, nullptr, 0, 0, 0};

namespace {

const sockaddr_storage &host_key(const thread_Settings *record) {
    return (record->extra_flags & EXT_SUM_DSTIP) ? record->local : record->peer;
}

// Host addresses of the same family are equal; other families never match.
bool same_host(const sockaddr_storage &a, const sockaddr_storage &b) {
    if (a.ss_family != b.ss_family) return false;
    if (a.ss_family == AF_INET) {
        const auto &x = reinterpret_cast<const sockaddr_in &>(a);
        const auto &y = reinterpret_cast<const sockaddr_in &>(b);
        return x.sin_addr.s_addr == y.sin_addr.s_addr;
    }
    if (a.ss_family == AF_INET6) {
        const auto &x = reinterpret_cast<const sockaddr_in6 &>(a);
        const auto &y = reinterpret_cast<const sockaddr_in6 &>(b);
        return memcmp(&x.sin6_addr, &y.sin6_addr, sizeof x.sin6_addr) == 0;
    }
    return false;
}

bool same_port(const sockaddr_storage &a, const sockaddr_storage &b) {
    if (a.ss_family == AF_INET)
        return reinterpret_cast<const sockaddr_in &>(a).sin_port ==
               reinterpret_cast<const sockaddr_in &>(b).sin_port;
    if (a.ss_family == AF_INET6)
        return reinterpret_cast<const sockaddr_in6 &>(a).sin6_port ==
               reinterpret_cast<const sockaddr_in6 &>(b).sin6_port;
    return false;
}

ActiveHost *find_locked(const sockaddr_storage &key) {
    for (ActiveHost *node = active_table.root; node; node = node->next)
        if (same_host(node->host, key)) return node;
    return nullptr;
}

int push_locked(thread_Settings *record, ActiveHost *node) {
    if (node) {
        node->ref_count++;
        active_table.pushes++;
        record->sum_report = node->sum_report;
        return active_table.created;
    }
    node = new ActiveHost{};
    node->host = host_key(record);
    node->ref_count = 1;
    node->sock = record->sock;
    node->sum_report = InitSumReport(record, active_table.pushes, false);
    node->next = active_table.root;
    active_table.root = node;
    active_table.count++;
    active_table.pushes++;
    active_table.created++;
    record->sum_report = node->sum_report;
    return active_table.created;
}

class TableLock {
  public:
    TableLock() { pthread_mutex_lock(&active_table.mutex); }
    ~TableLock() { pthread_mutex_unlock(&active_table.mutex); }
    TableLock(const TableLock &) = delete;
    TableLock &operator=(const TableLock &) = delete;
};

}  // namespace

void Toril_initialize_active_table() {
    Toril_destroy_active_table();
    TableLock lock;
    active_table.pushes = 0;
    active_table.created = 0;
}

void Toril_destroy_active_table() {
    TableLock lock;
    while (ActiveHost *node = active_table.root) {
        active_table.root = node->next;
        delete node;
    }
    active_table.count = 0;
}

int Toril_push_host(thread_Settings *record) {
    TableLock lock;
    return push_locked(record, find_locked(host_key(record)));
}

int Toril_push_host_port_conditional(thread_Settings *record) {
    const sockaddr_storage &key = host_key(record);
    TableLock lock;
    ActiveHost *node = find_locked(key);
    if (node && same_port(node->host, key)) return -1;
    return push_locked(record, node);
}

void Toril_remove_host(thread_Settings *record) {
    TableLock lock;
    const sockaddr_storage &key = host_key(record);
    for (ActiveHost **link = &active_table.root; *link; link = &(*link)->next) {
        ActiveHost *node = *link;
        if (!same_host(node->host, key)) continue;
        if (--node->ref_count <= 0) {
            *link = node->next;
            delete node;
            active_table.count--;
        }
        return;
    }
}
