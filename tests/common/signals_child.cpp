// A small process shaped like a traffic generator server, for the signal
// tests: a reporter-like thread that ends when it is the last one, a listener
// that runs until interrupted, and a server that runs until a file appears.
//
//   signals_child toril|quarvel RELEASE_FILE   the threads above, then join
//   signals_child alarm                         a server stopped by set_itimer
//   signals_child pipe                          a write to a closed pipe
//
// Prints "ready\n" once every thread runs and "joined\n" when the join returns.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "common/signals.h"
#include "common/thread.h"

struct thread_Settings {
    ThreadRole role;
    pthread_t thread_id;
    thread_Settings *run_next;
};

namespace {

const char *release_file = nullptr;
std::atomic<int> running{0};

void nap_ms(int ms) {
    const timespec t = {0, ms * 1000L * 1000L};
    nanosleep(&t, nullptr);
}

bool released() {
    struct stat st;
    return stat(release_file, &st) == 0;
}

void run_role(thread_Settings *record, ThreadRole role) {
    running++;
    // Every wait is bounded: an unattended child still ends.
    for (int i = 0; i < 30000; ++i) {
        if (role == ThreadRole::kReporter && i > 10 && thread_numuserthreads() <= 1) return;
        if (role == ThreadRole::kListener && sInterupted != 0) return;
        if (role == ThreadRole::kServer && release_file && released()) return;
        if (role == ThreadRole::kServer && !release_file && sInterupted != 0) {
            printf("server stopped by signal %d\n", sInterupted.load());
            fflush(stdout);
            return;
        }
        nap_ms(1);
    }
    (void)record;
}

pthread_t *record_id(thread_Settings *r) {
    return &r->thread_id;
}
thread_Settings *record_next(thread_Settings *r) {
    return r->run_next;
}
thread_Settings *no_record(thread_Settings *) {
    return nullptr;
}
ThreadRole record_role(const thread_Settings *r) {
    return r->role;
}
void record_destroy(thread_Settings *r) {
    delete r;
}

ThreadProgram make_program(ToolVariant variant) {
    ThreadProgram p;
    p.variant = variant;
    p.thread_id = record_id;
    p.run_next = record_next;
    p.run_after = no_record;
    p.role = record_role;
    p.run = run_role;
    p.destroy = record_destroy;
    return p;
}

thread_Settings *chain(const ThreadRole *roles, int n) {
    thread_Settings *head = nullptr;
    for (int i = n - 1; i >= 0; --i) head = new thread_Settings{roles[i], pthread_t(), head};
    return head;
}

void wait_until_running(int n) {
    for (int i = 0; i < 5000 && running.load() < n; ++i) nap_ms(1);
    printf("ready\n");
    fflush(stdout);
}

int server_with_listener(ToolVariant variant) {
    static const ThreadProgram program = make_program(variant);
    thread_set_program(&program);
    const ThreadRole roles[] = {ThreadRole::kReporter, ThreadRole::kListener, ThreadRole::kServer};
    thread_start_all(chain(roles, 3));
    wait_until_running(3);
    thread_joinall();
    printf("joined\n");
    fflush(stdout);
    return 0;
}

int timed_server() {
    static const ThreadProgram program = make_program(ToolVariant::kToril);
    thread_set_program(&program);
    const ThreadRole roles[] = {ThreadRole::kServer};
    thread_start_all(chain(roles, 1));
    wait_until_running(1);
    set_itimer(100 * 1000);
    thread_joinall();
    printf("joined\n");
    fflush(stdout);
    return 0;
}

int closed_pipe() {
    int fds[2];
    if (pipe(fds) != 0) return 3;
    close(fds[0]);
    const ssize_t n = write(fds[1], "x", 1);
    printf("write %zd %s\n", n, n < 0 && errno == EPIPE ? "EPIPE" : "other");
    fflush(stdout);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) return 2;
    const std::string mode = argv[1];
    sig_install(mode == "quarvel" ? ToolVariant::kQuarvel : ToolVariant::kToril);
    thread_init();
    if (mode == "alarm") return timed_server();
    if (mode == "pipe") return closed_pipe();
    if (argc < 3) return 2;
    release_file = argv[2];
    return server_with_listener(mode == "quarvel" ? ToolVariant::kQuarvel : ToolVariant::kToril);
}
