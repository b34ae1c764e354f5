// Logging and the monotonic clock shared by kivd, kiv-render and kiv.
#pragma once

#include <cstdint>

enum log_level : unsigned {
    LOG_DEBUG = 0,
    LOG_INFO = 1,
    LOG_WARN = 2,
    LOG_ERROR = 3,
};

// One line per event: "HH:MM:SS.mmm ident[pid] LEVEL file:line: message".
// DEBUG and INFO go to standard output, WARN and ERROR to standard error.
void log_line(unsigned level, const char *file, int line, const char *format, ...)
    __attribute__((format(printf, 4, 5)));
void log_set_identity(const char *name, unsigned threshold);
void log_set_threshold(unsigned threshold);

#define log_debug(...) log_line(LOG_DEBUG, __FILE__, __LINE__, __VA_ARGS__)
#define log_info(...) log_line(LOG_INFO, __FILE__, __LINE__, __VA_ARGS__)
#define log_warn(...) log_line(LOG_WARN, __FILE__, __LINE__, __VA_ARGS__)
#define log_error(...) log_line(LOG_ERROR, __FILE__, __LINE__, __VA_ARGS__)

// CLOCK_MONOTONIC in milliseconds. A stored time of 0 means "not set".
int64_t now_ms(void);
