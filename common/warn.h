// Process-wide warning printers of the traffic generators.
//
// Every helper in common/ returns 0/-1 and keeps errno; the caller that knows
// the context reports a failure once through one of these. A warning text names
// the action ("setsockopt TCP_NODELAY"); the printers add " failed".
// Nothing is allocated or kept. Any thread may call them; each warning is
// written with one formatted call, so lines of different threads do not mix.
#pragma once

// Flushes every open output stream, then prints "<text> failed\n" on stderr.
// file and line name the caller's source position; they are not printed.
void warn(const char *text, const char *file, int line);

// Takes the error text of the current errno first, flushes every open output
// stream, then prints "<text> failed: <error text>\n" on stderr. errno is
// unchanged on return.
void warn_errno(const char *text, const char *file, int line);

// The usual way to call them: the caller's position is filled in.
#define WARN(text) warn((text), __FILE__, __LINE__)
#define WARN_ERRNO(text) warn_errno((text), __FILE__, __LINE__)
