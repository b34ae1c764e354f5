// Stand-in for FreeBSD's <sys/sysctl.h>: the names kiv uses, with FreeBSD's
// values and prototype, so the FreeBSD code paths compile on Linux.
#pragma once

#include <stddef.h>

#define CTL_KERN 1
#define KERN_PROC 14
#define KERN_PROC_PROC 8
#define KERN_PROC_PATHNAME 12

#ifdef __cplusplus
extern "C" {
#endif
int sysctl(const int *name, unsigned int namelen, void *oldp, size_t *oldlenp, const void *newp,
           size_t newlen);
#ifdef __cplusplus
}
#endif
