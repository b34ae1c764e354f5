#include "log.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <unistd.h>

namespace {
const char *g_identity = "kiv";
unsigned g_threshold = LOG_INFO;

const char *level_word(unsigned level) {
    switch (level) {
    case LOG_DEBUG:
        return "DEBUG";
    case LOG_INFO:
        return "INFO";
    case LOG_WARN:
        return "WARN";
    default:
        return "ERROR";
    }
}
} // namespace

void log_line(unsigned level, const char *file, int line, const char *format, ...) {
    if (!format || level < g_threshold)
        return;
    FILE *stream = level <= LOG_INFO ? stdout : stderr;

    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tm;
    localtime_r(&ts.tv_sec, &tm);
    char clock[16];
    if (strftime(clock, sizeof clock, "%H:%M:%S", &tm) == 0)
        clock[0] = '\0';

    // The build maps the source directory away; a compiler cache may still
    // hand the compiler paths relative to the build directory.
    if (!file)
        file = "";
    while (file[0] == '.' && file[1] == '.' && file[2] == '/')
        file += 3;

    // One flockfile'd sequence so lines from worker threads never interleave.
    flockfile(stream);
    fprintf(stream, "%s.%03ld %s[%d] %s %s:%d: ", clock, ts.tv_nsec / 1000000L, g_identity,
            (int)getpid(), level_word(level), file, line);
    va_list ap;
    va_start(ap, format);
    vfprintf(stream, format, ap);
    va_end(ap);
    fputc('\n', stream);
    fflush(stream);
    funlockfile(stream);
}

void log_set_identity(const char *name, unsigned threshold) {
    if (name)
        g_identity = name;
    g_threshold = threshold;
}

void log_set_threshold(unsigned threshold) {
    g_threshold = threshold;
}

int64_t now_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}
