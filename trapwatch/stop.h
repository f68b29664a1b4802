// The signal handler and the stop routine with its two paths.
#pragma once

// Handles every signal routed to it (SIGHUP, SIGTERM, SIGUSR1, SIGUSR2,
// SIGCHLD, SIGSEGV) and ends the process with status 0.  The exceptions are
// returned from, so that a running stop can finish (see stop.cpp): the
// SIGCHLD raised by the end of the stop's own shell pause, and a SIGHUP or
// SIGTERM that comes once a stop has begun, whose caller ends the process.
void p_signal_handler(int sig);

// The stop routine.  parent != 0: the exit-now path, which ends the process
// with c_exit_code.  parent == 0: the daemon-mode stop, which winds the daemon
// down and returns; once one has completed, later calls return at once.  line
// is the caller's source line, printed by the entry trace.  The first nonzero
// code passed in is the one kept in c_exit_code.
void clean_and_exit(int code, int parent, int line) noexcept;

// Routes sig to p_signal_handler.  The disposition stays installed after the
// handler has run, and interrupted system calls are restarted.
void route_signal(int sig) noexcept;
