// What the two worker threads (receive and send) do alike: their start, the
// way out of a failed set-up, and their orderly end.
#pragma once

#include <atomic>

// The entry trace, the pinning to processor 0 and the trace after it.  fn
// and line name the thread's body in the traces.
void worker_start(const char *fn, int line);

// A set-up step failed with err: logs "fn(line): what: \"text\"" with the
// system's text for err, records code in status and returns it, for the
// thread body to return.  The caller has closed what it opened.  The what
// texts are the log's own, word for word ("socked" included).
int worker_fail(std::atomic<int> &status, int code, const char *fn, int line, const char *what,
                int err);

// The orderly end: 0 recorded in status with release, so that whoever sees
// it also sees the thread's last use of its sockets, and the exit trace.
int worker_end(std::atomic<int> &status, const char *fn, int line);
