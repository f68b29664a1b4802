// Detaching from the launching process and starting the worker threads.
#pragma once

#include <pthread.h>

#include "params/protocol.h"

inline constexpr unsigned lock_file_mode = 0640;

extern pthread_t recv_thread_id;  // handle of the receive thread (never joined)
extern pthread_t send_thread_id;  // handle of the send thread (never joined)

// Makes sure descriptors 0, 1 and 2 are open, on /dev/null where the
// launcher left one closed.  Called first: otherwise the next socket or file
// would take that number, and error text written to standard error would
// land in it (inside a record to the controller, say).
void hold_standard_descriptors();

// The already-loaded check, the signals, the fork (the launching process ends
// here with status 0), the single-instance lock, a new session and "/" as the
// working directory; then the worker threads (trapwatch_init), the main
// thread's pinning to processor 0 and probing enabled.  Returns in the daemon
// only; a failure ends the process with its exit status.
void daemonize();

// Creates the receive thread, then, if that worked, the send thread.  A
// failed creation is logged and start-up goes on.
void trapwatch_init();
