// Preloaded into kiv-render by the screen tests to make calls into the
// system fail or stall at chosen moments, so that recovery paths run in the
// real program. Every knob is an environment variable; without them the
// shim only passes calls on.
//
//   KIV_SHIM_PRCTL_DELAY_MS     sleep this long before the parent-death
//                               request (prctl PR_SET_PDEATHSIG), saying so
//                               on stderr first
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <dlfcn.h>
#include <stdarg.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

static long env_long(const char *name, long fallback) {
    const char *value = getenv(name);
    if (!value || !*value) {
        return fallback;
    }
    char *end = NULL;
    long n = strtol(value, &end, 10);
    return *end == '\0' ? n : fallback;
}

int prctl(int option, ...) {
    va_list ap;
    va_start(ap, option);
    unsigned long a2 = va_arg(ap, unsigned long);
    unsigned long a3 = va_arg(ap, unsigned long);
    unsigned long a4 = va_arg(ap, unsigned long);
    unsigned long a5 = va_arg(ap, unsigned long);
    va_end(ap);
    int (*real)(int, ...) = (int (*)(int, ...))dlsym(RTLD_NEXT, "prctl");
    long delay = env_long("KIV_SHIM_PRCTL_DELAY_MS", 0);
    if (option == PR_SET_PDEATHSIG && delay > 0) {
        static const char note[] = "fault shim: parent-death request delayed\n";
        if (write(2, note, sizeof note - 1) < 0) {
        }
        struct timespec ts = {delay / 1000, (delay % 1000) * 1000000L};
        while (nanosleep(&ts, &ts) != 0) {
        }
    }
    return real(option, a2, a3, a4, a5);
}
