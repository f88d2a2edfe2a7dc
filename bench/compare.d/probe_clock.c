/* Preloaded into a vantrip client by bench/compare: notes the time of every
 * steady-clock reading the client takes, of every datagram it sends, of every
 * answer it receives and of every console write, in memory, and writes them to
 * $PROBE_CLOCK_OUT when the process ends. From these the harness tells how much
 * of each measured round trip is the client's own work rather than the wire.
 * Each clock reading also keeps the caller's address, as an offset into its
 * object file, so that the harness can pick the readings of one function.
 * Nothing is written while probing, so the notes cost a few nanoseconds each. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#define MAX_NOTES 200000

static struct note { char kind; int64_t ns; uintptr_t caller; } notes[MAX_NOTES];
static volatile size_t count;

static int64_t mono_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

static void note(char kind, int64_t ns, uintptr_t caller) {
    size_t i = count;
    if (i < MAX_NOTES) {
        notes[i].kind = kind;
        notes[i].ns = ns;
        notes[i].caller = caller;
        count = i + 1;
    }
}

/* std::chrono::steady_clock::now() of libstdc++: nanoseconds since an epoch
 * of its own, the same clock as above. */
int64_t _ZNSt6chrono3_V212steady_clock3nowEv(void) {
    int64_t ns = mono_ns();
    note('N', ns, (uintptr_t)__builtin_return_address(0));
    return ns;
}

ssize_t sendto(int fd, const void *buf, size_t len, int flags, const struct sockaddr *to,
               socklen_t tolen) {
    static ssize_t (*real)(int, const void *, size_t, int, const struct sockaddr *, socklen_t);
    if (!real) real = dlsym(RTLD_NEXT, "sendto");
    note('S', mono_ns(), 0);
    return real(fd, buf, len, flags, to, tolen);
}

ssize_t send(int fd, const void *buf, size_t len, int flags) {
    static ssize_t (*real)(int, const void *, size_t, int);
    if (!real) real = dlsym(RTLD_NEXT, "send");
    note('S', mono_ns(), 0);
    return real(fd, buf, len, flags);
}

ssize_t recvfrom(int fd, void *buf, size_t len, int flags, struct sockaddr *from,
                 socklen_t *fromlen) {
    static ssize_t (*real)(int, void *, size_t, int, struct sockaddr *, socklen_t *);
    if (!real) real = dlsym(RTLD_NEXT, "recvfrom");
    ssize_t n = real(fd, buf, len, flags, from, fromlen);
    if (n > 0) note('R', mono_ns(), 0);
    return n;
}

ssize_t recv(int fd, void *buf, size_t len, int flags) {
    static ssize_t (*real)(int, void *, size_t, int);
    if (!real) real = dlsym(RTLD_NEXT, "recv");
    ssize_t n = real(fd, buf, len, flags);
    if (n > 0) note('R', mono_ns(), 0);
    return n;
}

ssize_t write(int fd, const void *buf, size_t len) {
    static ssize_t (*real)(int, const void *, size_t);
    if (!real) real = dlsym(RTLD_NEXT, "write");
    if (fd == 1) note('W', mono_ns(), 0);
    return real(fd, buf, len);
}

__attribute__((destructor)) static void dump(void) {
    const char *path = getenv("PROBE_CLOCK_OUT");
    if (!path) return;
    FILE *f = fopen(path, "w");
    if (!f) return;
    for (size_t i = 0; i < count; ++i) {
        Dl_info info;
        if (notes[i].caller && dladdr((void *)notes[i].caller, &info) && info.dli_fname)
            fprintf(f, "%c %lld %#lx %s\n", notes[i].kind, (long long)notes[i].ns,
                    (unsigned long)(notes[i].caller - (uintptr_t)info.dli_fbase), info.dli_fname);
        else
            fprintf(f, "%c %lld\n", notes[i].kind, (long long)notes[i].ns);
    }
    fclose(f);
}
