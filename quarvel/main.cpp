// quarvel: start-up of the NAT traffic generator.
//
// main reads like the start-up order itself. The role bodies come from the
// role table (quarvel/roles.h); a run that needs a role this build lacks stops
// before any thread starts, with a line that names the role.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "common/signals.h"
#include "common/thread.h"
#include "quarvel/launch.h"
#include "quarvel/roles.h"
#include "quarvel/settings.h"

namespace {

// Exit status of a run whose role this build does not have.
constexpr int kNotInThisBuild = 2;

// Detaches from the terminal. The standard descriptors then point at
// /dev/null instead of being closed, so that no socket opened later takes
// descriptor 0, 1 or 2 and receives the reports meant for a terminal.
void become_daemon() {
    if (daemon(1, 1) < 0) perror("daemon");
    fprintf(stderr, "Running Toril Server as a daemon\n");
    fprintf(stderr, "The Toril daemon process ID : %d\n", static_cast<int>(getpid()));
    fflush(nullptr);
    const int null_fd = open("/dev/null", O_RDWR);
    if (null_fd < 0) {
        close(STDIN_FILENO);
        close(STDOUT_FILENO);
        close(STDERR_FILENO);
        return;
    }
    for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) dup2(null_fd, fd);
    if (null_fd > STDERR_FILENO) close(null_fd);
}

}  // namespace

int main(int argc, char **argv) {
    // 1. SIGTERM, SIGINT and SIGALRM go to the interrupt handler; SIGPIPE is ignored.
    sig_install(ToolVariant::kQuarvel, &nflag_c);

    // 2. The roles' process-wide objects, the thread counters and the exit clean-up.
    launch_init(&kRoles);
    thread_memory_init();

    // 3. The global record: defaults, environment, then the command line.
    auto *global = new thread_Settings;
    Settings_Initialize(global);
    Settings_ParseEnvironment(global);
    Settings_ParseCommandLine(argc, argv, global);
    const ThreadMode mode = global->thread_mode;

    // 4. Neither a client nor a listener: say how to use the program.
    if (mode != kMode_Client && mode != kMode_Listener) {
        Settings_PrintUsage(stderr);
        Settings_Destroy(global);
        return 0;
    }

    // The boundary of this build: a role it lacks is named, nothing is started.
    if (const char *missing = launch_missing_role(global, kRoles)) {
        fprintf(stderr, "quarvel: the %s role is not available in this build\n", missing);
        Settings_Destroy(global);
        return kNotInThisBuild;
    }

    // 5. -D: run in the background.
    if (global->option_flags & OPT_DAEMON) become_daemon();

    // 6. A client's start list: its own listener and the parallel streams.
    if (mode == kMode_Client) client_init(global);

    // 7. The reporter starts with the whole chain behind it; wait for them all.
    thread_start(launch_reporter(global));
    thread_joinall();
    return 0;
}
