#include "common/signals.h"

std::atomic<int> sInterupted{0};

static_assert(std::atomic<int>::is_always_lock_free, "sInterupted is written by signal handlers");
