// toril: start-up of the traffic generator.
//
// main reads like the start-up order itself. The steps that start threads
// (reporter, listeners, clients) belong to the launch code, which this build
// does not have yet; main says so plainly instead of pretending to run a test.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "common/warn.h"
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

int run_client(thread_Settings *settings) {
    if (settings->option_flags & OPT_DAEMON) {
        fprintf(stderr, "Toril client cannot be run as a daemon\n");
        return 0;
    }
    // Start barrier, client_init and the client chain: launch code, not built yet.
    fprintf(stderr, "toril: the client role is not available in this build\n");
    return kRoleMissingStatus;
}

int run_listener(thread_Settings *) {
    // Daemon mode, listeners_init and the listener chain: launch code, not built yet.
    fprintf(stderr, "toril: the server role is not available in this build\n");
    return kRoleMissingStatus;
}

}  // namespace

int main(int argc, char **argv) {
    // 1-2. Signal handlers and the process-wide launch objects: launch code, not built yet.

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

    // 7-10. Start the role's threads behind the reporter and wait for them.
    const int status =
        (settings->thread_mode == kMode_Client) ? run_client(settings) : run_listener(settings);
    Settings_Destroy(settings);
    return status;
}
