// toril: start-up of the traffic generator.
//
// main reads like the start-up order itself. The threads (reporter first,
// then the listeners or clients) are started by the launch code; a role whose
// thread body is not part of this build is refused plainly instead of
// pretending to run a test.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "common/signals.h"
#include "common/thread.h"
#include "common/warn.h"
#include "toril/core/launch.h"
#include "toril/core/settings.h"

namespace {

// Exit status when the options were accepted but the role cannot run.
constexpr int kRoleMissingStatus = 2;

thread_Settings *read_settings(int argc, char **argv) {
    auto *settings = new thread_Settings;
    Settings_Initialize(settings);
    Settings_ParseEnvironment(settings);
    Settings_ParseCommandLine(argc, argv, settings);
    return settings;
}

bool has_role(const thread_Settings *settings) {
    return settings->thread_mode == kMode_Client || settings->thread_mode == kMode_Listener;
}

// -o: standard output and standard error go to one file. Both streams share
// one open file, so their lines interleave instead of overwriting each other,
// and a file that cannot be opened leaves both streams as they were.
void redirect_output(const thread_Settings *settings) {
    if (settings->option_flags & OPT_STDOUT) return;
    printf("Output from stdout and stderr will be redirected to file %s\n", settings->output_file);
    fflush(stdout);
    const int fd = open(settings->output_file, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (fd < 0) {
        WARN_ERRNO("freopen stdout");
        return;
    }
    if (dup2(fd, STDOUT_FILENO) < 0) WARN_ERRNO("freopen stdout");
    fflush(stderr);
    if (dup2(fd, STDERR_FILENO) < 0) WARN_ERRNO("freopen stderr");
    close(fd);
}

// Settings were accepted but the role's threads cannot run in this build.
int refuse_role(thread_Settings *settings) {
    fprintf(stderr, "toril: the %s role is not available in this build\n",
            settings->thread_mode == kMode_Client ? "client" : "server");
    Settings_Destroy(settings);
    return kRoleMissingStatus;
}

}  // namespace

int main(int argc, char **argv) {
    // 1. Interrupts, termination and the alarm of timed tests; no SIGPIPE.
    sig_install(ToolVariant::kToril);

    // 2. The process-wide launch objects and the thread counters.
    launch_init();
    thread_memory_init();

    // 3. The global settings: defaults, environment, command line and checks.
    thread_Settings *settings = read_settings(argc, argv);

    // 4. Neither -s nor -c: say how to use the program.
    if (!has_role(settings)) {
        Settings_PrintUsage(stderr, argv[0]);
        Settings_Destroy(settings);
        return 0;
    }

    // 5. -o: send both output streams to the file.
    redirect_output(settings);

    // 6. The global record's own buffer; only the first client or listener reports settings.
    Settings_AllocateBuffer(settings);
    settings->option_flags &= ~OPT_REPORT_SETTINGS;

    // 7. The role's start list.
    ThreadMode reporter_mode;
    if (settings->thread_mode == kMode_Client) {
        if (settings->option_flags & OPT_DAEMON) {
            fprintf(stderr, "Toril client cannot be run as a daemon\n");
            Settings_Destroy(settings);
            return 0;
        }
        if (!launch_role_available(settings)) return refuse_role(settings);
        reporter_mode = launch_prepare_client(settings);
    } else {
        if (!launch_role_available(settings)) return refuse_role(settings);
        reporter_mode = launch_prepare_listener(settings);
    }

    // 8-10. The reporter, then the chain; wait for every counted thread. The
    // records now belong to their threads.
    launch_run(settings, reporter_mode);
    return 0;
}
