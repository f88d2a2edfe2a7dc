// Helpers shared by the fuzz targets: silenced standard output and a check
// that stops the run with a message the fuzzer's crash report carries.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace fuzz {

// The decoders print warnings and report lines: at fuzzing speed they would
// only bury the fuzzer's own output. Standard error stays for crash reports.
inline void silence_stdout() {
    std::fflush(stdout);
    const int null_fd = open("/dev/null", O_WRONLY);
    if (null_fd >= 0) {
        dup2(null_fd, STDOUT_FILENO);
        close(null_fd);
    }
}

#define FUZZ_CHECK(cond)                                                                  \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)

}  // namespace fuzz
