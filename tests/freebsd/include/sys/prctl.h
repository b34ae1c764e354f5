// Linux-only: FreeBSD has no <sys/prctl.h>. Code that needs it must sit behind
// #ifndef __FreeBSD__.
#ifndef KIV_FREEBSD_FOREIGN_HEADER
#error "<sys/prctl.h> is Linux-only"
#else
#include_next <sys/prctl.h>
#endif
