// Linux-only: FreeBSD has no <sys/signalfd.h>. Code that needs it must sit behind
// #ifndef __FreeBSD__.
#ifndef KIV_FREEBSD_FOREIGN_HEADER
#error "<sys/signalfd.h> is Linux-only"
#else
#include_next <sys/signalfd.h>
#endif
