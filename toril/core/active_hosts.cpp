#include "toril/core/active_hosts.h"

#include <netinet/in.h>

#include <algorithm>
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

// The table's own reference for a joining record: it keeps the sum alive but
// is no member report. The references then are the members at that moment
// (the reports and the joining streams, this one included).
void hold_sum_locked(ActiveHost *node, const thread_Settings *record) {
    SumReport *sum = node->sum_report;
    if (!sum) return;
    pthread_mutex_lock(&sum->reference_mutex);
    const int members = ++sum->reference_count;
    pthread_mutex_unlock(&sum->reference_mutex);
    node->joining.emplace_back(record, members);
}

// Drops the table's reference for record, if it holds one; reported: record
// became a member with a report of its own. A report made while the table
// held references counted them in the sum's maximum as well; the maximum is
// put back to the members alone. Returns the references left on the sum, or
// -1 when record held none.
int release_sum_locked(ActiveHost *node, const thread_Settings *record, bool reported) {
    auto it = std::find_if(node->joining.begin(), node->joining.end(),
                           [record](const auto &entry) { return entry.first == record; });
    if (it == node->joining.end()) return -1;
    const int members_at_join = it->second;
    node->joining.erase(it);
    SumReport *sum = node->sum_report;
    if (!sum) return -1;
    pthread_mutex_lock(&sum->reference_mutex);
    const int left = --sum->reference_count;
    if (reported) node->members_max = std::max({node->members_max, members_at_join, left});
    sum->reference_maxcount = node->members_max;
    pthread_mutex_unlock(&sum->reference_mutex);
    return left;
}

bool unheld(SumReport *sum) {
    if (!sum) return false;
    pthread_mutex_lock(&sum->reference_mutex);
    const bool none = sum->reference_count == 0;
    pthread_mutex_unlock(&sum->reference_mutex);
    return none;
}

int push_locked(thread_Settings *record, ActiveHost *node, bool joining) {
    if (node) {
        node->ref_count++;
        active_table.pushes++;
        record->sum_report = node->sum_report;
        if (joining) hold_sum_locked(node, record);
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
    if (joining) hold_sum_locked(node, record);
    return active_table.created;
}

ActiveHost *find_member_locked(const thread_Settings *record) {
    return find_locked(host_key(record));
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
    return push_locked(record, find_locked(host_key(record)), false);
}

int Toril_push_host_port_conditional(thread_Settings *record) {
    const sockaddr_storage &key = host_key(record);
    TableLock lock;
    ActiveHost *node = find_locked(key);
    if (node && same_port(node->host, key)) return -1;
    return push_locked(record, node, false);
}

int Toril_push_host_joining(thread_Settings *record) {
    TableLock lock;
    return push_locked(record, find_locked(host_key(record)), true);
}

int Toril_push_host_port_conditional_joining(thread_Settings *record) {
    const sockaddr_storage &key = host_key(record);
    TableLock lock;
    ActiveHost *node = find_locked(key);
    if (node && same_port(node->host, key)) return -1;
    return push_locked(record, node, true);
}

void Toril_host_reported(const thread_Settings *record) {
    TableLock lock;
    if (ActiveHost *node = find_member_locked(record)) release_sum_locked(node, record, true);
}

void Toril_remove_host(thread_Settings *record) {
    SumReport *orphan = nullptr;
    {
        TableLock lock;
        const sockaddr_storage &key = host_key(record);
        for (ActiveHost **link = &active_table.root; *link; link = &(*link)->next) {
            ActiveHost *node = *link;
            if (!same_host(node->host, key)) continue;
            const int left = release_sum_locked(node, record, false);
            if (--node->ref_count <= 0) {
                // No member is left to make a report on the sum: when no
                // report or hold counts it either (the last release was
                // this record's, or members left without ever reporting,
                // as streams whose connect failed do), it is nobody's.
                if (left == 0 || (left < 0 && unheld(node->sum_report)))
                    orphan = node->sum_report;
                *link = node->next;
                delete node;
                active_table.count--;
            }
            break;
        }
    }
    if (orphan) {
        if (record->sum_report == orphan) record->sum_report = nullptr;
        FreeSumReport(orphan);
    }
}
