// Starting other programs: never through a shell, PATH searched for bare names.
#pragma once

#include <cstddef>
#include <sys/types.h>

int proc_spawn(const char *program, char *const argv[], pid_t *pid_out);
// proc_spawn with the child's standard error on err_fd.
int proc_spawn_stderr(const char *program, char *const argv[], int err_fd, pid_t *pid_out);
// Asks the kernel to send sig to the calling process when its parent ends (on
// Linux: when the thread that started it ends). Async-signal-safe.
void proc_signal_on_parent_exit(int sig);
int proc_run(const char *program, char *const argv[], char *out, size_t out_size,
             int time_limit_ms);
// Runs program to its end, capturing stdout and stderr into out. 0 only for a
// normal exit with status 0. The lowest bit of *cancel (if given) kills it;
// it is read atomically, so another thread sets it with an atomic store. The
// child never outlives the calling process: its end kills the child too.
int proc_run_cancellable(const char *program, char *const argv[], char *out, size_t out_size,
                         int time_limit_ms, const volatile unsigned char *cancel);
