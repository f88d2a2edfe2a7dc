#include "toril/core/barrier.h"

#include <cerrno>
#include <cstdio>
#include <ctime>

namespace {

// The second arrival resets the count itself and starts a new round, so that
// it may come straight back (start barrier, then at once the stop barrier of a
// short test) without being taken for the partner the first is waiting for.
int fullduplex_barrier(BarrierMutex *barrier) {
    pthread_mutex_lock(&barrier->lock);
    if (++barrier->count == 2) {
        barrier->count = 0;
        barrier->round++;
        pthread_cond_broadcast(&barrier->await);
        pthread_mutex_unlock(&barrier->lock);
        return 1;
    }
    const uint32_t round = barrier->round;
    int rc = 0;
    for (int waited_s = 0; barrier->round == round; ++waited_s) {
        if (waited_s >= barrier->timeout_s) {
            printf("Barrier timeout per full duplex traffic\n");
            rc = -1;
            break;
        }
        timespec deadline;
        clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_sec += 1;
        // Spurious wake-ups only shorten this step; the round decides.
        pthread_cond_timedwait(&barrier->await, &barrier->lock, &deadline);
    }
    pthread_mutex_unlock(&barrier->lock);
    return rc;
}

}  // namespace

void barrier_init(BarrierMutex *barrier, int count, int timeout_s) {
    pthread_mutex_init(&barrier->lock, nullptr);
    pthread_cond_init(&barrier->await, nullptr);
    barrier->release_time_sec = 0;
    barrier->release_time_usec = 0;
    barrier->count = count;
    barrier->timeout_s = timeout_s;
    barrier->round = 0;
}

void barrier_destroy(BarrierMutex *barrier) {
    if (pthread_mutex_destroy(&barrier->lock) == EBUSY) {
        pthread_mutex_unlock(&barrier->lock);
        pthread_mutex_destroy(&barrier->lock);
    }
    pthread_cond_destroy(&barrier->await);
}

int fullduplex_start_barrier(BarrierMutex *barrier) {
    return fullduplex_barrier(barrier);
}

int fullduplex_stop_barrier(BarrierMutex *barrier) {
    return fullduplex_barrier(barrier);
}
