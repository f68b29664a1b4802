// Process and file utilities shared by the appliance's programs.  Linked into
// the daemon; its own flow does not call them.
#pragma once

#include <sys/types.h>

// Redirect modes of spawn_redirect.
enum : unsigned int {
    SPAWN_REDIRECT_OUT_ERR = 1,
    SPAWN_REDIRECT_OUT = 2,
    SPAWN_REDIRECT_ERR = 3,
};

pid_t spawn(int quiet, const char *program, char *const argv[]);
int wait_spawn(int quiet, const char *program, char *const argv[]);
pid_t spawn_redirect(int quiet, const char *path, unsigned int mode, const char *program,
                     char *const argv[]);
int wait_spawn_redirect(int quiet, const char *path, unsigned int mode, const char *program,
                        char *const argv[]);

int remove_dir(const char *path);
int remove_file(const char *path);
int display_file(const char *path);
int copy_file(const char *source, const char *destination);
int create_dir(const char *path);
int rm_file(const char *directory, const char *name);

const char *str_interface(unsigned int code);
const char *interface2str(unsigned int code);

void tty_print_args(const char *name, int line, int count, char *const argv[]);
void display_permission(const char *name, int line, const char *path);
