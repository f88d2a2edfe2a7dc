// The packet ring: order and count against a single-threaded model, full and
// empty at every wrap position, the producer's sleep on a full ring, two real
// threads moving millions of records, and the end-of-stream hand-shake.
#include "toril/reporting/packetring.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <random>
#include <string>
#include <thread>

namespace {

#if defined(__SANITIZE_THREAD__)
constexpr uint64_t kScale = 5;  // keeps the threaded cases within seconds under TSan
#else
constexpr uint64_t kScale = 1;
#endif

// The oracle: record i has contents that depend on i in every part the
// reporter reads, so a lost, doubled, reordered or torn copy is seen.
PacketRecord record_for(uint64_t i) {
    PacketRecord r{};  // value-initialised: padding is zero too, memcmp compares it
    const uint64_t h = i * 0x9E3779B97F4A7C15ULL;
    r.packetID = static_cast<int64_t>(i);
    r.packetLen = static_cast<int64_t>(h >> 48);
    r.packetTime = {static_cast<int64_t>(i / 1000), static_cast<int64_t>(i % 1000000)};
    r.sentTime = {static_cast<int64_t>(h >> 40), static_cast<int64_t>(h & 0xfffff)};
    r.frameID = h;
    r.remaining = ~i;
    r.writecnt = static_cast<int32_t>(i & 0x7fffffff);
    for (size_t k = 0; k < sizeof r.spare; ++k) r.spare[k] = static_cast<uint8_t>(h >> (k % 8));
    r.tcpstats.retry_tot = static_cast<int64_t>(h);
    return r;
}

bool same(const PacketRecord &a, const PacketRecord &b) {
    return memcmp(&a, &b, sizeof a) == 0;
}

struct Wakeups {
    pthread_cond_t producer_cond = PTHREAD_COND_INITIALIZER;
    pthread_mutex_t producer_mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t consumer_cond = PTHREAD_COND_INITIALIZER;
    ~Wakeups() {
        pthread_cond_destroy(&producer_cond);
        pthread_mutex_destroy(&producer_mutex);
        pthread_cond_destroy(&consumer_cond);
    }
};

// Waits (bounded) until pred holds; false on timeout.
template <typename Pred>
bool eventually(Pred pred, std::chrono::seconds limit = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

TEST(PacketRing, InitZeroFillsAndAttachesWakeups) {
    Wakeups w;
    PacketRing *locked = packetring_init(8, &w.consumer_cond, &w.producer_cond, &w.producer_mutex);
    EXPECT_EQ(locked->maxcount, 8u);
    EXPECT_EQ(locked->uselock, 1u);
    EXPECT_EQ(locked->producer.load(), 0u);
    EXPECT_EQ(locked->consumer.load(), 0u);
    EXPECT_EQ(locked->awaitcounter.load(), 0u);
    EXPECT_EQ(locked->consumerdone.load(), 0u);
    EXPECT_GE(locked->size, 8 * sizeof(PacketRecord));
    const PacketRecord zero{};
    for (uint32_t i = 0; i < 8; ++i) EXPECT_TRUE(same(locked->data[i], zero)) << i;
    EXPECT_TRUE(packetring_empty(locked));
    EXPECT_EQ(packetring_dequeue(locked), nullptr);
    packetring_free(locked);

    PacketRing *bare = packetring_init(40, nullptr, nullptr, nullptr);
    EXPECT_EQ(bare->uselock, 0u);
    packetring_free(bare);

    // Fewer than two slots could never carry a record.
    for (uint32_t count : {0u, 1u}) {
        PacketRing *tiny = packetring_init(count, nullptr, nullptr, nullptr);
        EXPECT_EQ(tiny->maxcount, 2u);
        const PacketRecord r = record_for(count);
        packetring_enqueue(tiny, &r);
        ASSERT_NE(packetring_dequeue(tiny), nullptr);
        packetring_free(tiny);
    }
}

TEST(PacketRing, IndicesSitOnSeparateCacheLines) {
    PacketRing ring;
    const auto base = reinterpret_cast<uintptr_t>(&ring);
    const auto producer = reinterpret_cast<uintptr_t>(&ring.producer) - base;
    const auto consumer = reinterpret_cast<uintptr_t>(&ring.consumer) - base;
    const auto shared = reinterpret_cast<uintptr_t>(&ring.maxcount) - base;
    EXPECT_NE(producer / 64, consumer / 64);
    EXPECT_NE(consumer / 64, shared / 64);
    EXPECT_NE(producer / 64, shared / 64);
}

// A ring of N slots queues N - 1 records at every position of the indices:
// fill, drain and refill, stepping the start position round the whole ring.
TEST(PacketRing, HoldsCountMinusOneAtEveryWrapPosition) {
    for (uint32_t count : {2u, 3u, 4u, 7u}) {
        Wakeups w;
        PacketRing *ring = packetring_init(count, nullptr, &w.producer_cond, &w.producer_mutex);
        uint64_t next_in = 0, next_out = 0;
        for (uint32_t start = 0; start < count + 1; ++start) {
            for (uint32_t k = 0; k + 1 < count; ++k) {
                const PacketRecord r = record_for(next_in++);
                packetring_enqueue(ring, &r);
            }
            // Full now: the slot after producer is the consumer slot.
            EXPECT_EQ((ring->producer.load() + 1) % count, ring->consumer.load())
                << "count " << count << " start " << start;
            for (uint32_t k = 0; k + 1 < count; ++k) {
                PacketRecord *got = packetring_dequeue(ring);
                ASSERT_NE(got, nullptr);
                EXPECT_TRUE(same(*got, record_for(next_out++)));
            }
            EXPECT_EQ(packetring_dequeue(ring), nullptr);
            EXPECT_TRUE(packetring_empty(ring));
            // Move the start position by one for the next round.
            const PacketRecord r = record_for(next_in++);
            packetring_enqueue(ring, &r);
            ASSERT_TRUE(same(*packetring_dequeue(ring), record_for(next_out++)));
        }
        EXPECT_EQ(ring->awaitcounter.load(), 0u);
        packetring_free(ring);
    }
}

// Random interleavings of enqueue and dequeue against a deque, never beyond
// the capacity, so that every wrap and empty case is met in one thread.
TEST(PacketRing, MatchesSingleThreadedModel) {
    for (uint32_t count : {2u, 3u, 5u, 16u}) {
        PacketRing *ring = packetring_init(count, nullptr, nullptr, nullptr);
        std::deque<uint64_t> model;
        std::mt19937 rng(count);
        uint64_t next_in = 0;
        for (int step = 0; step < 20000; ++step) {
            const bool can_put = model.size() < count - 1;
            if (can_put && (model.empty() || rng() % 2 == 0)) {
                const PacketRecord r = record_for(next_in);
                packetring_enqueue(ring, &r);
                model.push_back(next_in++);
            } else {
                PacketRecord *got = packetring_dequeue(ring);
                if (model.empty()) {
                    ASSERT_EQ(got, nullptr);
                } else {
                    ASSERT_NE(got, nullptr);
                    ASSERT_TRUE(same(*got, record_for(model.front()))) << "step " << step;
                    model.pop_front();
                }
            }
            ASSERT_EQ(packetring_empty(ring), model.empty());
        }
        packetring_free(ring);
    }
}

// The N-th record waits while producer is at N - 1 and consumer at 0, and goes
// in as soon as the consumer has drained the ring.
TEST(PacketRing, ProducerSleepsOnFullRingUntilDrained) {
    constexpr uint32_t kCount = 4;
    Wakeups w;
    PacketRing *ring =
        packetring_init(kCount, &w.consumer_cond, &w.producer_cond, &w.producer_mutex);
    for (uint64_t i = 0; i + 1 < kCount; ++i) {
        const PacketRecord r = record_for(i);
        packetring_enqueue(ring, &r);
    }
    ASSERT_EQ(ring->producer.load(), kCount - 1);
    ASSERT_EQ(ring->consumer.load(), 0u);

    std::atomic<bool> done{false};
    std::thread producer([&] {
        const PacketRecord r = record_for(kCount - 1);
        packetring_enqueue(ring, &r);
        done = true;
    });
    ASSERT_TRUE(eventually([&] { return ring->awaitcounter.load() >= 1; }));
    EXPECT_FALSE(done.load());
    for (uint64_t i = 0; i + 1 < kCount; ++i) {
        PacketRecord *got = packetring_dequeue(ring);
        ASSERT_NE(got, nullptr);
        EXPECT_TRUE(same(*got, record_for(i)));
    }
    producer.join();
    EXPECT_TRUE(done.load());
    PacketRecord *last = packetring_dequeue(ring);
    ASSERT_NE(last, nullptr);
    EXPECT_TRUE(same(*last, record_for(kCount - 1)));
    // The producer slept on its condition, not on a one-second timeout loop
    // that merely happened to end: it was woken by the drain.
    EXPECT_LE(ring->awaitcounter.load(), 2u);
    packetring_free(ring);
}

struct ThreadedCase {
    const char *name;
    uint32_t count;
    bool use_lock;
    uint64_t records;
};

// Producer and consumer on two threads; the consumer checks every record
// against the oracle, in order, and the final record closes the stream.
void run_two_threads(const ThreadedCase &c) {
    SCOPED_TRACE(c.name);
    Wakeups w;
    PacketRing *ring =
        c.use_lock ? packetring_init(c.count, &w.consumer_cond, &w.producer_cond, &w.producer_mutex)
                   : packetring_init(c.count, nullptr, nullptr, nullptr);
    const uint64_t records = c.records / kScale;
    std::thread producer([&] {
        for (uint64_t i = 0; i < records; ++i) {
            const PacketRecord r = record_for(i);
            packetring_enqueue(ring, &r);
        }
        PacketRecord final_record = record_for(records);
        final_record.packetID = -1;
        packetring_enqueue(ring, &final_record);
        packetring_await_consumer_done(ring);
    });
    uint64_t expected = 0, mismatches = 0;
    for (;;) {
        PacketRecord *got = packetring_dequeue(ring);
        if (!got) {
            sched_yield();
            continue;
        }
        if (got->packetID < 0) break;
        if (!same(*got, record_for(expected))) ++mismatches;
        ++expected;
    }
    EXPECT_EQ(packetring_dequeue(ring), nullptr);
    packetring_set_consumer_done(ring);
    producer.join();
    EXPECT_EQ(expected, records);
    EXPECT_EQ(mismatches, 0u);
    if (c.count - 1 < records && c.use_lock) {
        // A ring far smaller than the stream must have made the producer wait.
        EXPECT_GT(ring->awaitcounter.load(), 0u);
    }
    testing::internal::CaptureStderr();  // the too-slow warning is expected here
    packetring_free(ring);
    testing::internal::GetCapturedStderr();
}

TEST(PacketRingThreads, TwoThreadsLoseAndReorderNothing) {
    const ThreadedCase cases[] = {
        {"default size", kPacketRingDefaultSlots, true, 4000000},
        {"single-threaded size, spinning producer", kPacketRingSingleThreadedSlots, false, 20000},
        {"tiny ring, sleeping producer", 3, true, 50000},
        {"two slots, one record at a time", 2, true, 20000},
    };
    for (const auto &c : cases) run_two_threads(c);
}

// The end-of-stream wait returns only after the consumer marks the report
// done, which it does after taking every record, the final one last.
TEST(PacketRingThreads, AwaitConsumerDoneWaitsForTheDrain) {
    Wakeups w;
    PacketRing *ring = packetring_init(64, &w.consumer_cond, &w.producer_cond, &w.producer_mutex);
    std::atomic<bool> returned{false};
    std::atomic<uint64_t> taken{0};
    std::thread producer([&] {
        for (uint64_t i = 0; i < 1000; ++i) {
            const PacketRecord r = record_for(i);
            packetring_enqueue(ring, &r);
        }
        PacketRecord final_record = record_for(1000);
        final_record.packetID = -1;
        packetring_clear_consumer_done(ring);
        packetring_enqueue(ring, &final_record);
        packetring_await_consumer_done(ring);
        returned = true;
        EXPECT_EQ(taken.load(), 1001u);
    });
    // Let the producer reach its wait before anything is drained.
    ASSERT_TRUE(eventually([&] { return ring->awaitcounter.load() >= 1; }));
    EXPECT_FALSE(returned.load());
    for (;;) {
        PacketRecord *got = packetring_dequeue(ring);
        if (!got) {
            sched_yield();
            continue;
        }
        taken.fetch_add(1);
        if (got->packetID < 0) break;
    }
    EXPECT_FALSE(returned.load());
    packetring_set_consumer_done(ring);
    producer.join();
    EXPECT_TRUE(returned.load());
    packetring_free(ring);
}

TEST(PacketRing, FreeWarnsOnlyAboveOneThousandWaits) {
    const struct {
        uint32_t awaits;
        const char *expected;
    } cases[] = {
        {0, ""},
        {1000, ""},
        {1001,
         "WARN: Reporter thread may be too slow, await counter=1001, consider increasing "
         "NUM_REPORT_STRUCTS\n"},
    };
    for (const auto &c : cases) {
        PacketRing *ring = packetring_init(4, nullptr, nullptr, nullptr);
        ring->awaitcounter.store(c.awaits);
        testing::internal::CaptureStderr();
        packetring_free(ring);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.expected) << c.awaits;
    }
    packetring_free(nullptr);
}

}  // namespace
