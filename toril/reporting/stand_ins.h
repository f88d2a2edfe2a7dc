// The launch code's barrier record and routines and thread_stop, which the
// report objects use, come from their own modules now.
#pragma once

#include "common/thread.h"
#include "toril/core/barrier.h"
