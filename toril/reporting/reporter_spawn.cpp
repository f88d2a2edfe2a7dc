// The reporter thread's start-up hand-shake. Kept apart from the reporter
// proper: it needs the launch objects, which the launch code owns and links
// after the reporting library.
#include "common/thread.h"
#include "toril/core/launch.h"
#include "toril/reporting/reporter.h"

void reporter_spawn(thread_Settings *settings) {
    // Every thread of the start list exists before the first report can come.
    ready_flag_wait(&threads_start);
    ready_flag_set(&reporter_state);
    thread_setscheduler(settings);
    reporter_run(settings);
}
