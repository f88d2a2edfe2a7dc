// Records per second moved through a packet ring from a producer thread to a
// consumer thread, the path every read or write of a traffic thread takes to
// the reporter.
//
// BM_RingTwoThreads/<slots>/<sleepy>: the benchmark thread produces, a second
// thread consumes and touches each record. sleepy 0: the consumer yields when
// the ring is empty; 1: it sleeps on its condition (1 ms naps) and is woken by
// a producer that finds the ring full, as the reporter is.
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <thread>

#include "toril/reporting/packetring.h"

namespace {

constexpr int64_t kRecordsPerIteration = 100000;

struct Consumer {
    PacketRing *ring;
    bool sleepy;
    pthread_cond_t *cond;
    pthread_mutex_t *mutex;
    int64_t taken = 0;
    int64_t checksum = 0;

    void nap() {
        timespec deadline;
        clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_nsec += 1000000;
        if (deadline.tv_nsec >= 1000000000) {
            deadline.tv_sec += 1;
            deadline.tv_nsec -= 1000000000;
        }
        pthread_mutex_lock(mutex);
        pthread_cond_timedwait(cond, mutex, &deadline);
        pthread_mutex_unlock(mutex);
    }

    void run() {
        for (;;) {
            PacketRecord *record = packetring_dequeue(ring);
            if (!record) {
                if (sleepy)
                    nap();
                else
                    sched_yield();
                continue;
            }
            if (record->packetID < 0) break;
            checksum += record->packetLen;
            ++taken;
        }
        packetring_set_consumer_done(ring);
    }
};

void BM_RingTwoThreads(benchmark::State &state) {
    const auto slots = static_cast<uint32_t>(state.range(0));
    const bool sleepy = state.range(1) != 0;
    pthread_cond_t producer_cond = PTHREAD_COND_INITIALIZER;
    pthread_mutex_t producer_mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t consumer_cond = PTHREAD_COND_INITIALIZER;
    pthread_mutex_t consumer_mutex = PTHREAD_MUTEX_INITIALIZER;
    PacketRing *ring = packetring_init(slots, &consumer_cond, &producer_cond, &producer_mutex);

    Consumer consumer{ring, sleepy, &consumer_cond, &consumer_mutex};
    std::thread thread([&consumer] { consumer.run(); });

    PacketRecord record{};
    record.packetLen = 1470;
    int64_t produced = 0;
    for (auto _ : state) {
        for (int64_t i = 0; i < kRecordsPerIteration; ++i) {
            record.packetID = produced++;
            record.packetTime.tv_usec = i;
            packetring_enqueue(ring, &record);
        }
    }
    record.packetID = -1;
    packetring_enqueue(ring, &record);
    packetring_await_consumer_done(ring);
    thread.join();

    if (consumer.taken != produced) state.SkipWithError("records lost");
    state.SetItemsProcessed(produced);
    state.counters["producer_waits"] = static_cast<double>(ring->awaitcounter.load());
    ring->awaitcounter.store(0);  // the too-slow warning is not what is measured
    packetring_free(ring);
    pthread_cond_destroy(&producer_cond);
    pthread_mutex_destroy(&producer_mutex);
    pthread_cond_destroy(&consumer_cond);
    pthread_mutex_destroy(&consumer_mutex);
}

BENCHMARK(BM_RingTwoThreads)
    ->Args({kPacketRingDefaultSlots, 0})
    ->Args({kPacketRingDefaultSlots, 1})
    ->Args({1024, 0})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
