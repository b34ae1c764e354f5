// Linux-only: FreeBSD has no <sys/epoll.h>. Code that needs it must sit behind
// #ifndef __FreeBSD__.
#ifndef KIV_FREEBSD_FOREIGN_HEADER
#error "<sys/epoll.h> is Linux-only"
#else
#include_next <sys/epoll.h>
#endif
