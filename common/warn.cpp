#include "common/warn.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

void warn(const char *text, const char *, int) {
    int saved_errno = errno;
    fflush(nullptr);
    fprintf(stderr, "%s failed\n", text ? text : "");
    errno = saved_errno;
}

void warn_errno(const char *text, const char *, int) {
    int saved_errno = errno;
    char msg[256];
    // GNU strerror_r: returns the text, which may or may not be in msg.
    const char *err_text = strerror_r(saved_errno, msg, sizeof msg);
    fflush(nullptr);
    fprintf(stderr, "%s failed: %s\n", text ? text : "", err_text);
    errno = saved_errno;
}
