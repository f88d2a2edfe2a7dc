// Reads and writes of an exact byte count that honour the interrupt flag.
//
// The caller owns the buffers; nothing is kept. Any thread may call these on
// its own descriptors. A fatal socket error in writen or recvn is reported once
// (warn_errno) and handed back to the caller, whose stream it ends; it does not
// stop the other traffic loops of the process.
#pragma once

#include <cerrno>
#include <cstddef>

// Writes len bytes. *write_calls (may be NULL) counts every write system call,
// failed ones included. Returns 0 without writing when len <= 0 or sInterupted
// is already set. EINTR retries unless sInterupted is set. EAGAIN/EWOULDBLOCK
// (a send timeout, SO_SNDTIMEO) stops quietly; any other error warns
// "writen fatal" and stops. Either way *error (may be NULL) gets the error
// number, 0 otherwise, and sInterupted is left alone. Returns the bytes
// written, also after an error. Never raises SIGPIPE on a socket (other
// descriptors rely on the program ignoring it).
int writen(int fd, const void *buf, int len, int *write_calls, int *error = nullptr);

// True for the error numbers after which writen's caller may go on writing
// to the same descriptor (the send timed out).
inline bool writen_timed_out(int error) {
    return error == EAGAIN || error == EWOULDBLOCK;
}

// Without MSG_PEEK in flags: receives len bytes with MSG_WAITALL (other flags
// are ignored). Returns len when complete; the bytes so far when the peer
// closed or sInterupted became set; 0 when len <= 0 or sInterupted was set on
// entry; -2 at once on EAGAIN or EINTR (a receive timeout or a signal); -1 after
// any other error, which warns "recvn".
// With MSG_PEEK: peeks with the caller's flags until len bytes are waiting
// (returns len), the peer closed with nothing waiting (0), a fatal error (warns
// "recvn peek", -1) or sInterupted is set (the last peek's
// result). A datagram socket, or a stream whose peer has shut down, returns a
// shorter peek at once since no more bytes can join it.
int recvn(int sock, char *buf, int len, int flags);

// Reads len bytes. Returns len, the bytes so far at end of file or when a
// signal interrupted the read while sInterupted is set, 0 for len <= 0, or -1
// on any other error. EINTR otherwise retries.
int readn(int fd, void *buf, int len);
