// Process and file utilities shared by the appliance's programs.  Linked into
// the daemon; its own flow does not call them.
//
// Diagnostics go to the console through tty_prnt: dbg_daemon for failures
// (program failed to start, waiting failed, child stopped), dbg_library for the
// library's own detail (listings, a child ended by a signal or for no
// reported reason).
#pragma once

#include <sys/types.h>

#include "util/errors.h"

// Redirect modes of spawn_redirect; any other value redirects nothing (the
// file is still opened, and so created, and closed again).
enum : unsigned int {
    SPAWN_REDIRECT_OUT_ERR = 1,  // standard output and standard error
    SPAWN_REDIRECT_OUT = 2,      // standard output only
    SPAWN_REDIRECT_ERR = 3,      // standard error only
};

// rm_file's answer to a join that does not fit its 128-byte buffer.
inline constexpr int SPAWN_ERR_JOIN_TOO_LONG = TW_ERR_WRONG_VALUE;

// Ignores SIGPIPE in the caller (for good), forks and runs program (search
// path) with argv.  quiet nonzero sends the child's output and errors to
// "/dev/null".  Returns the child's id at once, or -1 when the fork failed.
pid_t spawn(int quiet, const char *program, char *const argv[]);
// spawn, then waits for that child: its exit status 0..255, TW_ERR_FAILED
// when waiting failed, TW_ERR_CHILD_FAILED when it was stopped or ended by a
// signal.
int wait_spawn(int quiet, const char *program, char *const argv[]);
// spawn with the child's output appended to path as mode says; with a null
// path, quiet nonzero silences the child whatever the mode.
pid_t spawn_redirect(int quiet, const char *path, unsigned int mode, const char *program,
                     char *const argv[]);
int wait_spawn_redirect(int quiet, const char *path, unsigned int mode, const char *program,
                        char *const argv[]);
// Maps a wait status to the waiting functions' result and prints its line;
// name is the waiting function named in the line.
int spawn_status_result(const char *name, int status);

// File operations on the system's own commands, run through wait_spawn with
// quiet 0: the command's messages reach the caller's output, its exit status
// is passed on.
int remove_dir(const char *path);    // rm -fr path
int remove_file(const char *path);   // rm -f path
int display_file(const char *path);  // header line under dbg_library, then cat path
int copy_file(const char *source, const char *destination);  // cp -fp
int create_dir(const char *path);                            // mkdir path
// remove_file of "directory/name"; a join longer than 127 characters is
// refused with SPAWN_ERR_JOIN_TOO_LONG and nothing is removed.
int rm_file(const char *directory, const char *name);

// Names of the command record's origin codes; "UNKNOWN" for 0 and any
// unlisted value.  The texts are static.
const char *str_interface(unsigned int code);
const char *interface2str(unsigned int code);

// Under dbg_library: the argument vector, one quoted argument per line.
void tty_print_args(const char *name, int line, int count, char *const argv[]);
// Under dbg_library: "drwxr-x---"-style listing of path's type and permission bits.
void display_permission(const char *name, int line, const char *path);
