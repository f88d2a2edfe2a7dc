#include "common/io.h"

#include <cerrno>
#include <ctime>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/signals.h"
#include "common/warn.h"

namespace {

// send() spares the process a SIGPIPE on a socket whose peer is gone; a
// descriptor that is no socket (a file, a pipe, a tap device) falls back to
// write() for the rest of the call.
ssize_t write_some(int fd, const char *p, size_t n, bool *use_write) {
    if (!*use_write) {
        ssize_t rc = send(fd, p, n, MSG_NOSIGNAL);
        if (rc >= 0 || errno != ENOTSOCK) return rc;
        *use_write = true;
    }
    return write(fd, p, n);
}

bool is_stream_socket(int sock) {
    int type = 0;
    socklen_t len = sizeof type;
    return getsockopt(sock, SOL_SOCKET, SO_TYPE, &type, &len) != 0 || type == SOCK_STREAM;
}

// True when the stream's peer has shut down its side, so no byte can follow
// those already waiting.
bool peer_hung_up(int sock) {
    struct pollfd pfd = {sock, POLLRDHUP, 0};
    return poll(&pfd, 1, 0) > 0 && (pfd.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

// Gives the peer time to send the rest instead of spinning on the same peek.
void wait_for_more(int sock) {
    struct pollfd pfd = {sock, POLLIN | POLLRDHUP, 0};
    if (poll(&pfd, 1, 0) > 0 && (pfd.revents & POLLIN) != 0) {
        // Readable already (the short part is waiting): a short pause instead.
        struct timespec pause = {0, 1000000};
        nanosleep(&pause, nullptr);
    } else {
        poll(&pfd, 1, 10);
    }
}

int recvn_peek(int sock, char *buf, int len, int flags) {
    const bool stream = is_stream_socket(sock);
    ssize_t rc = 0;
    while (sInterupted == 0) {
        rc = recv(sock, buf, static_cast<size_t>(len), flags);
        if (rc == len || rc == 0) return static_cast<int>(rc);
        if (rc < 0) {
            if (errno != EAGAIN && errno != EINTR) {
                WARN_ERRNO("recvn peek");
                return -1;
            }
            if (errno == EAGAIN) wait_for_more(sock);
            continue;
        }
        // A short peek: a datagram does not grow, nor a stream whose peer is gone.
        if (!stream || peer_hung_up(sock)) return static_cast<int>(rc);
        wait_for_more(sock);
    }
    return static_cast<int>(rc);
}

}  // namespace

int writen(int fd, const void *buf, int len, int *write_calls, int *error) {
    int calls = 0;
    int err = 0;
    if (write_calls) *write_calls = 0;
    if (error) *error = 0;
    if (len <= 0 || sInterupted != 0) return 0;
    const char *p = static_cast<const char *>(buf);
    int remaining = len;
    bool use_write = false;
    while (remaining > 0) {
        ssize_t rc = write_some(fd, p, static_cast<size_t>(remaining), &use_write);
        calls++;
        if (rc < 0) {
            if (errno == EINTR) {
                if (sInterupted != 0) break;
                continue;
            }
            err = errno;
            // A send timeout (or a full non-blocking socket) is the pace of
            // the peer, not its end: the caller decides how to go on.
            if (err == EAGAIN || err == EWOULDBLOCK) break;
            // A broken peer ends the caller's stream only; other streams of
            // the process go on.
            WARN_ERRNO("writen fatal");
            break;
        }
        p += rc;
        remaining -= static_cast<int>(rc);
        if (sInterupted != 0) break;
    }
    if (write_calls) *write_calls = calls;
    if (error) *error = err;
    return len - remaining;
}

int recvn(int sock, char *buf, int len, int flags) {
    if (flags & MSG_PEEK) {
        if (len <= 0 || sInterupted != 0) return 0;
        return recvn_peek(sock, buf, len, flags);
    }
    if (len <= 0 || sInterupted != 0) return 0;
    int got = 0;
    while (got < len) {
        ssize_t rc = recv(sock, buf + got, static_cast<size_t>(len - got), MSG_WAITALL);
        if (rc < 0) {
            if (errno == EAGAIN || errno == EINTR) return -2;
            WARN_ERRNO("recvn");
            return -1;
        }
        if (rc == 0) return got;
        got += static_cast<int>(rc);
        if (sInterupted != 0) return got;
    }
    return len;
}

int readn(int fd, void *buf, int len) {
    if (len <= 0) return 0;
    char *p = static_cast<char *>(buf);
    int got = 0;
    while (got < len) {
        ssize_t rc = read(fd, p + got, static_cast<size_t>(len - got));
        if (rc < 0) {
            // A stop request must end a read that a signal interrupted.
            if (errno == EINTR && sInterupted == 0) continue;
            if (errno == EINTR) return got;
            return -1;
        }
        if (rc == 0) return got;
        got += static_cast<int>(rc);
    }
    return len;
}
