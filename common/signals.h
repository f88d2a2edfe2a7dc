// Signals of the traffic generators: the process-wide interrupt flag, the
// interrupt handler, the one-shot alarm of timed tests and the immediate exit.
//
// sInterupted is 0 while the test runs. Signal handlers store the signal number
// in it, writen/recvn store 1 on a fatal socket error, and the reporter clears
// it when it has nothing to work on. Every traffic loop reads it on each pass.
// It is a lock-free atomic so that signal handlers and any thread may read and
// write it without a data race; a stale read only delays a stop by one call.
//
// sThread is the thread that took the first interrupt (zero before). A second
// interrupt on that same thread ends the process at once (sig_exit).
//
// sig_install runs once, first thing in main, before any thread starts; the
// rest may be called from any thread. The handler uses only the thread
// library's signal-safe release (thread_release_nonterm) and plain writes.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "common/variant.h"

extern std::atomic<int> sInterupted;
extern std::atomic<pthread_t> sThread;

using SigfuncPtr = void (*)(int);

// Installs handler for signo with an empty mask; SIGALRM without automatic
// restart of interrupted calls (so a blocked read returns when a timed test
// ends), every other signal with restart. Returns the previous handler, or
// SIG_ERR.
SigfuncPtr my_signal(int signo, SigfuncPtr handler);

// The handler of SIGINT, SIGTERM and SIGALRM, in the installed variant's form.
// kToril:
//   SIGINT: the first one (or one on another thread than sThread) records
//     sThread (first only), releases the non-terminating threads
//     (thread_release_nonterm) and then sets sInterupted to 2, so a listener
//     that stops on the flag finds its share already released; one on sThread
//     again calls sig_exit.
//   SIGTERM, SIGALRM: on sThread, sig_exit; SIGTERM then releases the
//     non-terminating threads; then sInterupted = the signal.
// kQuarvel: the first signal records sThread, a later one on it calls
//   sig_exit; sInterupted = the signal. While the NAT wait flag is 1 the
//   process ends at once (status 0). Otherwise sInterupted = 1, a 1 ms pause,
//   then SIGALRM releases the non-terminating threads (with 14) and any other
//   signal ends the process (status 0).
void Sig_Interupt(int signo);

// Step one of main: selects the handler's variant, installs Sig_Interupt for
// SIGTERM, SIGINT and SIGALRM and ignores SIGPIPE (a peer that goes away makes
// writes fail with EPIPE instead of killing the process). nat_wait_flag is
// quarvel's "NAT client waits for the server" flag (may be null; kept by
// pointer). sThread starts at zero.
void sig_install(ToolVariant variant, const std::atomic<int> *nat_wait_flag = nullptr);

// The first call flushes every output stream and ends the process at once with
// status 0 (no exit handlers: other threads may still be using what they
// would destroy). Later calls return.
void sig_exit(int signo);

// Arms a one-shot real-time interval timer (SIGALRM) after usecs
// microseconds; 0 disarms. A negative value prints the warning
// "set_itimer value invalid" and changes nothing.
void set_itimer(int64_t usecs);
// Cancels the timer.
void disarm_itimer();
