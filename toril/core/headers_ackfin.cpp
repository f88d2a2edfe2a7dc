// The server report exchange at the end of a UDP test: the report goes out
// again for every further final datagram of the client, a bounded number of
// times.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "common/warn.h"
#include "toril/core/headers.h"

namespace {

constexpr int kAckFinTries = 9;
constexpr int kAckFinWait_ms = 250;

int64_t monotonic_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// 1: a datagram is waiting; 0: none within the wait; -1: poll failed.
// A signal does not shorten the wait.
int wait_readable(int sock, int wait_ms) {
    const int64_t deadline = monotonic_ms() + wait_ms;
    for (;;) {
        const int64_t left = deadline - monotonic_ms();
        if (left <= 0) return 0;
        pollfd pfd = {sock, POLLIN, 0};
        const int rc = poll(&pfd, 1, static_cast<int>(left));
        if (rc > 0) return 1;
        if (rc == 0) return 0;
        if (errno != EINTR) return -1;
    }
}

void warn_ackfin_failed(int sock) {
    fflush(stdout);
    fprintf(stderr, "[%3d] WARNING: ack of last datagram failed.\n", sock);
}

}  // namespace

int write_UDP_AckFIN(const UdpServerReport &report, int sock, int buf_len) {
    const size_t size = std::max<size_t>(256, 2 * static_cast<size_t>(std::max(buf_len, 0)));
    auto *buf = static_cast<uint8_t *>(calloc(1, size));
    if (!buf) {
        warn_ackfin_failed(sock);
        return -1;
    }
    // The client's datagrams are read behind the report, which stays intact.
    uint8_t *scratch = buf + kServerReportLen;
    const size_t scratch_len = size - kServerReportLen;
    hdr_server_report_write(buf, size, report);
    int result = -1;
    for (int pass = 0; pass < kAckFinTries; pass++) {
        if (write(sock, buf, kServerReportLen) < 0) WARN_ERRNO("write-ackfin");
        const int ready = wait_readable(sock, kAckFinWait_ms);
        if (ready == 0) {
            result = 0;
            break;
        }
        if (ready < 0) break;
        if (read(sock, scratch, scratch_len) < 0 && errno != EAGAIN && errno != EWOULDBLOCK &&
            errno != EINTR) {
            break;
        }
    }
    if (result != 0) warn_ackfin_failed(sock);
    free(buf);
    return result;
}
