// The process-wide interrupt flag of the traffic generators.
//
// sInterupted is 0 while the test runs. Signal handlers store the signal number
// in it, writen/recvn store 1 on a fatal socket error, and the reporter clears
// it when it has nothing to work on. Every traffic loop reads it on each pass.
// It is a lock-free atomic so that signal handlers and any thread may read and
// write it without a data race; a stale read only delays a stop by one call.
#pragma once

#include <atomic>

extern std::atomic<int> sInterupted;
