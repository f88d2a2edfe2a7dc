#include "common/signals.h"

#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>

#include "common/thread.h"
#include "common/warn.h"

std::atomic<int> sInterupted{0};
std::atomic<pthread_t> sThread{pthread_t()};

static_assert(std::atomic<int>::is_always_lock_free, "sInterupted is written by signal handlers");
static_assert(std::atomic<pthread_t>::is_always_lock_free, "sThread is written by signal handlers");

namespace {

std::atomic<ToolVariant> handler_variant{ToolVariant::kToril};
std::atomic<const std::atomic<int> *> nat_wait{nullptr};
std::atomic<int> exiting{0};

bool on_first_thread() {
    const pthread_t first = sThread.load();
    return first != pthread_t() && pthread_equal(first, pthread_self());
}

void end_now() {
    fflush(nullptr);
    _exit(0);
}

void toril_interrupt(int signo) {
    if (signo == SIGINT) {
        pthread_t expected = pthread_t();
        if (sThread.compare_exchange_strong(expected, pthread_self()) ||
            !pthread_equal(expected, pthread_self())) {
            // The release comes first: a listener that sees the flag ends and
            // takes its share back, which would leave nothing to release.
            thread_release_nonterm(signo);
            sInterupted = 2;
        } else {
            sig_exit(signo);
        }
        return;
    }
    if (on_first_thread()) sig_exit(signo);
    if (signo == SIGTERM) thread_release_nonterm(signo);
    sInterupted = signo;
}

void quarvel_interrupt(int signo) {
    pthread_t expected = pthread_t();
    if (!sThread.compare_exchange_strong(expected, pthread_self()) &&
        pthread_equal(expected, pthread_self())) {
        sig_exit(signo);
    }
    sInterupted = signo;
    const std::atomic<int> *waiting = nat_wait.load();
    if (waiting && waiting->load() == 1) end_now();
    sInterupted = 1;
    const timespec pause = {0, 1000 * 1000};
    nanosleep(&pause, nullptr);
    if (signo == SIGALRM) {
        thread_release_nonterm(SIGALRM);
    } else {
        end_now();
    }
}

}  // namespace

SigfuncPtr my_signal(int signo, SigfuncPtr handler) {
    struct sigaction now = {};
    struct sigaction before = {};
    now.sa_handler = handler;
    sigemptyset(&now.sa_mask);
    now.sa_flags = (signo == SIGALRM) ? 0 : SA_RESTART;
    if (sigaction(signo, &now, &before) < 0) return SIG_ERR;
    return before.sa_handler;
}

void Sig_Interupt(int signo) {
    const int saved_errno = errno;
    if (handler_variant.load() == ToolVariant::kQuarvel) {
        quarvel_interrupt(signo);
    } else {
        toril_interrupt(signo);
    }
    errno = saved_errno;
}

void sig_install(ToolVariant variant, const std::atomic<int> *nat_wait_flag) {
    handler_variant = variant;
    nat_wait = nat_wait_flag;
    sThread = pthread_t();
    my_signal(SIGTERM, Sig_Interupt);
    my_signal(SIGINT, Sig_Interupt);
    my_signal(SIGALRM, Sig_Interupt);
    my_signal(SIGPIPE, SIG_IGN);
}

void sig_exit(int) {
    if (exiting.exchange(1) != 0) return;
    end_now();
}

void set_itimer(int64_t usecs) {
    if (usecs < 0) {
        WARN("set_itimer value invalid");
        return;
    }
    itimerval timer = {};
    timer.it_value.tv_sec = static_cast<time_t>(usecs / 1000000);
    timer.it_value.tv_usec = static_cast<suseconds_t>(usecs % 1000000);
    setitimer(ITIMER_REAL, &timer, nullptr);
}

void disarm_itimer() {
    itimerval timer = {};
    setitimer(ITIMER_REAL, &timer, nullptr);
}
