// The per-stream packet ring: fixed-size records from one traffic thread to
// the reporter thread, without a lock on the data path.
//
// Threads: exactly one producer (the stream's traffic thread) calls
// packetring_enqueue and packetring_await_consumer_done; exactly one consumer
// (the reporter thread, or the traffic thread itself in single-threaded mode)
// calls packetring_dequeue and packetring_set_consumer_done. packetring_init
// and packetring_free run on the producer's thread while no consumer holds the
// ring (before the report is posted, after EndJob has returned).
//
// Ownership: the ring owns its header and its slots; packetring_free releases
// both. The producer wake-up pair (condition and mutex) belongs to the traffic
// thread's settings and the consumer wake-up (ReportCond's condition) to the
// reporter module; the ring only points at them.
//
// Indices and what they publish:
//   producer  written only by the producer. Its release store, made after the
//             record has been copied into slot[producer], publishes that slot;
//             the consumer's acquire load of producer makes the copy visible.
//   consumer  written only by the consumer. Its release store says that the
//             consumer is done with the slot it left (the previous consumer
//             slot); the producer's acquire load of consumer orders its next
//             overwrite of that slot after those reads. The slot consumer
//             points at is never written while it is the consumer slot, so a
//             pointer returned by packetring_dequeue stays valid until the
//             next dequeue.
// The ring is empty when producer == consumer and full when the slot after
// producer is the consumer slot: a ring of max_count slots queues at most
// max_count - 1 records. The two indices (each with the owner's cached copy of
// the other index) sit on cache lines of their own so that the two threads do
// not false-share.
//
// Full ring: with a producer wake-up attached the producer signals the
// consumer wake-up, then sleeps on its own condition (one-second timed waits,
// counted in await_counter) until the consumer has drained the ring to empty.
// A flag and sequentially consistent accesses (the producer's flag store and
// re-check, the consumer's emptying index store and flag read) make sure that
// the consumer either sees the sleeping producer and signals it under the
// mutex, or the producer sees the space before it sleeps. Without a wake-up
// (single-threaded mode) the producer re-checks at once.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "common/sockopt.h"
#include "toril/reporting/timestamp.h"

// One read, write, datagram or burst, copied by value into the ring.
struct PacketRecord {
    int64_t packetID;      // sequence number (UDP), byte count or burst counter (TCP); < 0: final
    int64_t packetLen;     // bytes of this call (<= 0: nothing transferred)
    Timestamp packetTime;  // when the call completed (receiver: arrival)
    Timestamp prevPacketTime;  // arrival of the previous datagram (UDP receiver)
    Timestamp sentTime;        // sender's timestamp from the payload
    Timestamp prevSentTime;    // sender's timestamp of the previous datagram
    int32_t errwrite;          // kWriteErr_* below
    int32_t emptyreport;       // non-zero: carries no data, not counted
    uint32_t l2errors;         // L2ERR_* bits
    uint32_t l2len;            // length seen at layer 2
    uint32_t expected_l2len;   // length the L2 check expected
    uint32_t reserved_align;   // keeps the times below on 8-byte boundaries
    Timestamp isochStartTime;  // start of the sender's frame clock
    uint64_t prevframeID;
    uint64_t frameID;       // isochronous frame or burst id (0: none)
    uint64_t burstsize;     // bytes in the current frame or burst
    uint64_t burstperiod;   // frame period, microseconds
    uint64_t remaining;     // bytes of the frame still outstanding when sent
    int32_t transit_ready;  // non-zero: closes a frame or burst
    int32_t writecnt;       // write system calls for this record
    int64_t write_time;     // microseconds the write took
    Timestamp sentTimeRX;   // bounce-back: server read the request
    Timestamp sentTimeTX;   // bounce-back: server wrote the reply
    uint8_t spare[16];      // not read by the reporter
    TcpStats tcpstats;      // sample taken at hand-over (valid 0: none)
};
static_assert(sizeof(PacketRecord) == 280, "a ring slot is one 280-byte record");

// PacketRecord::errwrite
constexpr int32_t kWriteErr_None = 0;
constexpr int32_t kWriteErr_Accountable = 1;  // EAGAIN or EINTR
constexpr int32_t kWriteErr_Fatal = 2;
constexpr int32_t kWriteErr_NoAccount = 3;  // not to be counted

// PacketRecord::l2errors
constexpr uint32_t L2UNKNOWN = 0x1;  // frame did not match the stream (record also empty)
constexpr uint32_t L2LENERR = 0x2;   // length error
constexpr uint32_t L2CSUMERR = 0x4;  // checksum error

constexpr uint32_t kPacketRingDefaultSlots = 10000;      // threaded mode
constexpr uint32_t kPacketRingSingleThreadedSlots = 40;  // -U: drained after every record
constexpr uint32_t kPacketRingWarnAwaits = 1000;         // more waits than this: warn at free

struct alignas(64) PacketRing {
    // Producer's cache line.
    std::atomic<uint32_t> producer;  // slot last written
    uint32_t consumer_seen;          // producer's last view of consumer
    // Consumer's cache line.
    alignas(64) std::atomic<uint32_t> consumer;  // slot last read
    uint32_t producer_seen;                      // consumer's last view of producer
    // Shared, mostly read.
    alignas(64) uint32_t maxcount;           // number of slots
    std::atomic<uint32_t> consumerdone;      // 1: the reporter finished the report
    std::atomic<uint32_t> awaitcounter;      // how often the producer waited for space
    std::atomic<uint32_t> producer_waiting;  // 1 while the producer sleeps on a full ring
    uint32_t uselock;                        // 1: a producer wake-up is attached
    uint32_t size;                           // bytes allocated (header and slots)
    pthread_cond_t *awake_producer;          // traffic thread's condition, or null
    pthread_mutex_t *awake_producer_mutex;   // and its mutex
    pthread_cond_t *awake_consumer;          // ReportCond's condition, or null
    PacketRecord *data;                      // maxcount zero-filled slots
};

// A ring of count slots (at least 2: fewer become 2), zero-filled, both indices 0. uselock is
// set when producer_cond is given (producer_mutex must then be given too).
// Out of memory: prints "ERROR: no memory for packet ring of size %d count,
// try to reduce with option --NUM_REPORT_STRUCTS\n" on stderr, exits with 1.
PacketRing *packetring_init(uint32_t count, pthread_cond_t *consumer_cond,
                            pthread_cond_t *producer_cond, pthread_mutex_t *producer_mutex);

// Producer: copies *record into the next slot and publishes it. Blocks while
// the ring is full (see the file comment).
void packetring_enqueue(PacketRing *ring, const PacketRecord *record);

// Consumer: the next record, or nullptr when the ring is empty. The record
// stays valid until the next dequeue. When the ring becomes empty and the
// producer sleeps on it, wakes the producer.
PacketRecord *packetring_dequeue(PacketRing *ring);

// Consumer: marks the report finished and wakes the producer waiting in
// packetring_await_consumer_done. The consumer must not touch the ring after
// this call: the producer may free it at once.
void packetring_set_consumer_done(PacketRing *ring);

// Producer: clears the finished mark before the final record is handed over.
void packetring_clear_consumer_done(PacketRing *ring);

// Producer: sleeps (one-second timed waits) until the consumer has marked the
// report finished. Needs a producer wake-up; without one it returns at once.
void packetring_await_consumer_done(PacketRing *ring);

// True when no record is queued (either side may ask; the answer may be stale).
bool packetring_empty(const PacketRing *ring);

// When the producer waited more than 1000 times, prints "WARN: Reporter thread
// may be too slow, await counter=%d, consider increasing NUM_REPORT_STRUCTS\n"
// on stderr; then frees the slots and the ring. Null is ignored.
void packetring_free(PacketRing *ring);
