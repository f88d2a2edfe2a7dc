// Stand-ins for the launch code's full-duplex barrier and thread_stop, until
// the thread library provides them (see stand_ins.h). Weak, so that the
// library's own definitions take their place as soon as they are linked.
#include <pthread.h>

#include <cstdio>
#include <ctime>

#include "toril/core/settings.h"
#include "toril/reporting/stand_ins.h"

[[gnu::weak]] int fullduplex_stop_barrier(BarrierMutex *barrier) {
    pthread_mutex_lock(&barrier->lock);
    if (++barrier->count == 2) {
        pthread_cond_signal(&barrier->await);
        pthread_mutex_unlock(&barrier->lock);
        return 1;
    }
    int rc = 0;
    for (int waited_s = 0; barrier->count < 2; ++waited_s) {
        if (waited_s >= barrier->timeout_s) {
            printf("Barrier timeout per full duplex traffic\n");
            rc = -1;
            break;
        }
        timespec deadline;
        clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_sec += 1;
        pthread_cond_timedwait(&barrier->await, &barrier->lock, &deadline);
    }
    if (rc == 0) barrier->count = 0;
    pthread_mutex_unlock(&barrier->lock);
    return rc;
}

[[gnu::weak]] void thread_stop(thread_Settings *settings) {
    if (!settings || settings->thread_id == pthread_t()) return;
    Settings_Destroy(settings);
    pthread_exit(nullptr);
}
