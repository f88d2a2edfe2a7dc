#include "toril/reporting/packetring.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

namespace {

uint32_t next_slot(uint32_t index, uint32_t count) {
    const uint32_t next = index + 1;
    return next == count ? 0 : next;
}

timespec one_second_from_now() {
    timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += 1;
    return deadline;
}

constexpr uint64_t kPacketRingMaxBytes = uint64_t{1} << 32;

void out_of_memory(uint32_t count) {
    fprintf(stderr,
            "ERROR: no memory for packet ring of size %d count, try to reduce with option "
            "--NUM_REPORT_STRUCTS\n",
            static_cast<int>(count));
    exit(1);
}

// The full-ring sleep. The flag store and the re-check of consumer are
// sequentially consistent, as are the consumer's emptying index store and its
// read of the flag: at least one side sees the other, so a drain that empties
// the ring cannot slip between our check and our sleep unnoticed.
void wait_for_space(PacketRing *ring, uint32_t next) {
    if (ring->awake_consumer) pthread_cond_signal(ring->awake_consumer);
    pthread_mutex_lock(ring->awake_producer_mutex);
    ring->awaitcounter.fetch_add(1, std::memory_order_relaxed);
    ring->producer_waiting.store(1, std::memory_order_seq_cst);
    if (ring->consumer.load(std::memory_order_seq_cst) == next) {
        const timespec deadline = one_second_from_now();
        pthread_cond_timedwait(ring->awake_producer, ring->awake_producer_mutex, &deadline);
    }
    ring->producer_waiting.store(0, std::memory_order_relaxed);
    pthread_mutex_unlock(ring->awake_producer_mutex);
}

void wake_producer(PacketRing *ring) {
    pthread_mutex_lock(ring->awake_producer_mutex);
    pthread_cond_signal(ring->awake_producer);
    pthread_mutex_unlock(ring->awake_producer_mutex);
}

}  // namespace

PacketRing *packetring_init(uint32_t count, pthread_cond_t *consumer_cond,
                            pthread_cond_t *producer_cond, pthread_mutex_t *producer_mutex) {
    // One slot always stays free: fewer than two could never carry a record.
    if (count < 2) count = 2;
    // A ring beyond what any reporter could drain is refused like a failed
    // allocation, before asking the allocator for it.
    if (static_cast<uint64_t>(count) * sizeof(PacketRecord) > kPacketRingMaxBytes)
        out_of_memory(count);
    auto *ring = new (std::nothrow) PacketRing;
    auto *slots = static_cast<PacketRecord *>(calloc(count, sizeof(PacketRecord)));
    if (!ring || !slots) {
        delete ring;
        free(slots);
        out_of_memory(count);
    }
    ring->producer.store(0, std::memory_order_relaxed);
    ring->consumer_seen = 0;
    ring->consumer.store(0, std::memory_order_relaxed);
    ring->producer_seen = 0;
    ring->maxcount = count;
    ring->consumerdone.store(0, std::memory_order_relaxed);
    ring->awaitcounter.store(0, std::memory_order_relaxed);
    ring->producer_waiting.store(0, std::memory_order_relaxed);
    ring->uselock = (producer_cond && producer_mutex) ? 1 : 0;
    ring->size = static_cast<uint32_t>(sizeof(PacketRing) + count * sizeof(PacketRecord));
    ring->awake_producer = producer_cond;
    ring->awake_producer_mutex = producer_mutex;
    ring->awake_consumer = consumer_cond;
    ring->data = slots;
    return ring;
}

void packetring_enqueue(PacketRing *ring, const PacketRecord *record) {
    const uint32_t producer = ring->producer.load(std::memory_order_relaxed);
    const uint32_t next = next_slot(producer, ring->maxcount);
    // The cached view of consumer can only be behind: when it says "full",
    // look again before sleeping.
    while (next == ring->consumer_seen) {
        ring->consumer_seen = ring->consumer.load(std::memory_order_acquire);
        if (next != ring->consumer_seen) break;
        if (ring->uselock) wait_for_space(ring, next);
    }
    memcpy(&ring->data[next], record, sizeof(PacketRecord));
    ring->producer.store(next, std::memory_order_release);
}

PacketRecord *packetring_dequeue(PacketRing *ring) {
    const uint32_t consumer = ring->consumer.load(std::memory_order_relaxed);
    if (consumer == ring->producer_seen) {
        ring->producer_seen = ring->producer.load(std::memory_order_acquire);
        if (consumer == ring->producer_seen) return nullptr;
    }
    const uint32_t next = next_slot(consumer, ring->maxcount);
    if (ring->uselock && next == ring->producer_seen) {
        // This dequeue empties the ring: the one case where a sleeping
        // producer must hear of it (see wait_for_space).
        ring->consumer.store(next, std::memory_order_seq_cst);
        if (ring->producer_waiting.load(std::memory_order_seq_cst)) wake_producer(ring);
    } else {
        ring->consumer.store(next, std::memory_order_release);
    }
    return &ring->data[next];
}

void packetring_set_consumer_done(PacketRing *ring) {
    if (!ring->uselock) {
        ring->consumerdone.store(1, std::memory_order_release);
        return;
    }
    // Set under the mutex so that the producer's check-then-wait cannot miss
    // it; the pointers are read first because the ring may be gone as soon as
    // the mutex is released.
    pthread_mutex_t *mutex = ring->awake_producer_mutex;
    pthread_cond_t *cond = ring->awake_producer;
    pthread_mutex_lock(mutex);
    ring->consumerdone.store(1, std::memory_order_release);
    pthread_cond_signal(cond);
    pthread_mutex_unlock(mutex);
}

void packetring_clear_consumer_done(PacketRing *ring) {
    ring->consumerdone.store(0, std::memory_order_relaxed);
}

void packetring_await_consumer_done(PacketRing *ring) {
    if (!ring->uselock) return;
    pthread_mutex_lock(ring->awake_producer_mutex);
    while (ring->consumerdone.load(std::memory_order_acquire) == 0) {
        const timespec deadline = one_second_from_now();
        pthread_cond_timedwait(ring->awake_producer, ring->awake_producer_mutex, &deadline);
    }
    pthread_mutex_unlock(ring->awake_producer_mutex);
}

bool packetring_empty(const PacketRing *ring) {
    return ring->producer.load(std::memory_order_acquire) ==
           ring->consumer.load(std::memory_order_acquire);
}

void packetring_free(PacketRing *ring) {
    if (!ring) return;
    const uint32_t awaits = ring->awaitcounter.load(std::memory_order_relaxed);
    if (awaits > kPacketRingWarnAwaits) {
        fprintf(stderr,
                "WARN: Reporter thread may be too slow, await counter=%d, consider increasing "
                "NUM_REPORT_STRUCTS\n",
                static_cast<int>(awaits));
    }
    free(ring->data);
    delete ring;
}
