// Stand-in for FreeBSD's <sys/user.h>: the part of struct kinfo_proc that kiv
// reads. The real record is larger; only the member names and types matter to
// a syntax check.
#pragma once

#include <sys/types.h>

#define COMMLEN 19

struct kinfo_proc {
    int ki_structsize;
    pid_t ki_pid;
    char ki_comm[COMMLEN + 1];
};
