// Stand-in for FreeBSD's <sys/procctl.h>: the names kiv uses, with FreeBSD's
// values and prototype. FreeBSD's header brings idtype_t and P_PID with
// <sys/wait.h>, as this one does.
#pragma once

#include <sys/types.h>
#include <sys/wait.h>

#define PROC_PDEATHSIG_CTL 11

#ifdef __cplusplus
extern "C" {
#endif
int procctl(idtype_t idtype, id_t id, int cmd, void *data);
#ifdef __cplusplus
}
#endif
