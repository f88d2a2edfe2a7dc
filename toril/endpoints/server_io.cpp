// Exact-length reads and writes that leave the interrupt flag alone.
#include "toril/endpoints/server_io.h"

#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>

#include "common/signals.h"

int server_recv_all(int sock, void *buf, int len) {
    auto *at = static_cast<char *>(buf);
    int got = 0;
    while (got < len) {
        const ssize_t n = recv(sock, at + got, static_cast<size_t>(len - got), MSG_WAITALL);
        if (n > 0) {
            got += static_cast<int>(n);
            continue;
        }
        if (n == 0) {
            errno = 0;
            break;
        }
        if (errno == EINTR && sInterupted.load() == 0) continue;
        break;
    }
    return got;
}

int server_send_all(int sock, const void *buf, int len) {
    const auto *at = static_cast<const char *>(buf);
    int sent = 0;
    while (sent < len) {
        const ssize_t n = send(sock, at + sent, static_cast<size_t>(len - sent), MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR && sInterupted.load() == 0) continue;
        break;
    }
    return sent;
}

Timestamp server_now() {
    timeval tv;
    gettimeofday(&tv, nullptr);
    return Timestamp{tv.tv_sec, tv.tv_usec};
}

Timestamp server_time_add_us(const Timestamp &t, int64_t usec) {
    int64_t total = t.tv_usec + usec;
    int64_t sec = t.tv_sec + total / 1000000;
    total %= 1000000;
    if (total < 0) {
        total += 1000000;
        --sec;
    }
    return Timestamp{sec, total};
}
