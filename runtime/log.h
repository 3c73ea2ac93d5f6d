#pragma once

#include <cstdarg>
#include <cstdio>

// ---- Program log: the file "ktwlog.log" (opened by Application::init_logger) and standard error ----

enum LogLevel : unsigned {
    LOG_LEVEL_DEBUG = 0,
    LOG_LEVEL_INFO = 1,
    LOG_LEVEL_WARN = 2,
    LOG_LEVEL_ERROR = 3,
    LOG_LEVEL_FATAL = 4,
};

// One log line. Lines below the threshold cost one comparison. function is a qualified name
// ("Application::init_logger") or a __PRETTY_FUNCTION__, from which the qualified name is taken.
// WARN and worse are copied to standard error, whether or not the file is open.
void write_log(unsigned level, const char* function, unsigned line, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

#define LOG_DEBUG(...) write_log(LOG_LEVEL_DEBUG, __PRETTY_FUNCTION__, __LINE__, __VA_ARGS__)
#define LOG_INFO(...) write_log(LOG_LEVEL_INFO, __PRETTY_FUNCTION__, __LINE__, __VA_ARGS__)
#define LOG_WARN(...) write_log(LOG_LEVEL_WARN, __PRETTY_FUNCTION__, __LINE__, __VA_ARGS__)
#define LOG_ERROR(...) write_log(LOG_LEVEL_ERROR, __PRETTY_FUNCTION__, __LINE__, __VA_ARGS__)
#define LOG_FATAL(...) write_log(LOG_LEVEL_FATAL, __PRETTY_FUNCTION__, __LINE__, __VA_ARGS__)

// Lines below the threshold are dropped everywhere; the comparison is unsigned, so (unsigned)-1 drops
// every line. Initially LOG_LEVEL_INFO. Set before the worker threads start.
void log_set_threshold(unsigned level);

// The stream becomes the log file; the log owns it from now on. Lines go to it until log_close.
void log_set_file(FILE* file);
bool log_file_is_open();
// Closes and forgets the log file; later lines go to standard error only.
void log_close();

// ---- SPICE-style log of the procedural modules: standard error only ----

enum {
    SPICE_LOG_LEVEL_ERROR = 0,
    SPICE_LOG_LEVEL_CRITICAL = 1,
    SPICE_LOG_LEVEL_WARNING = 2,
    SPICE_LOG_LEVEL_INFO = 3,
    SPICE_LOG_LEVEL_DEBUG = 4,
};

// Prints when SPICE_DEBUG_LEVEL (default 2) is at least level, then aborts when SPICE_ABORT_LEVEL
// (default 1; -1 never) is at least level. Both variables are read once, at the first line.
void spice_log(const char* domain, int level, const char* position, const char* function, const char* format,
               ...) __attribute__((format(printf, 5, 6)));
void spice_logv(const char* domain, int level, const char* position, const char* function, const char* format,
                va_list args) __attribute__((format(printf, 5, 0)));
// Puts `level` in place of the abort threshold (-1: never abort) and returns the one it replaces. For tests
// that provoke the errors they check.
int spice_log_swap_abort_level(int level);

#define SPICE_LOG_DOMAIN "Spice"
#define SPICE_STRINGIFY_ARG(x) #x
#define SPICE_STRINGIFY(x) SPICE_STRINGIFY_ARG(x)
#define SPICE_STRLOC __FILE__ ":" SPICE_STRINGIFY(__LINE__)

#define spice_log_at(level, ...) spice_log(SPICE_LOG_DOMAIN, (level), SPICE_STRLOC, __func__, __VA_ARGS__)
#define spice_error(...) spice_log_at(SPICE_LOG_LEVEL_ERROR, __VA_ARGS__)
#define spice_critical(...) spice_log_at(SPICE_LOG_LEVEL_CRITICAL, __VA_ARGS__)
#define spice_warning(...) spice_log_at(SPICE_LOG_LEVEL_WARNING, __VA_ARGS__)
#define spice_info(...) spice_log_at(SPICE_LOG_LEVEL_INFO, __VA_ARGS__)
#define spice_debug(...) spice_log_at(SPICE_LOG_LEVEL_DEBUG, __VA_ARGS__)

#define spice_assert(cond)                                                       \
    do {                                                                         \
        if (!(cond)) {                                                           \
            spice_log_at(SPICE_LOG_LEVEL_ERROR, "assertion `%s' failed", #cond); \
        }                                                                        \
    } while (0)

// Checks on the program's own calls: the report is CRITICAL, so under the default abort level these end the
// process and never return. Checks on what a peer sent use runtime/peer_check.h instead.
#define spice_return_if_fail(cond)                                                  \
    do {                                                                            \
        if (!(cond)) {                                                              \
            spice_log_at(SPICE_LOG_LEVEL_CRITICAL, "condition `%s' failed", #cond); \
            return;                                                                 \
        }                                                                           \
    } while (0)

#define spice_return_val_if_fail(cond, val)                                         \
    do {                                                                            \
        if (!(cond)) {                                                              \
            spice_log_at(SPICE_LOG_LEVEL_CRITICAL, "condition `%s' failed", #cond); \
            return (val);                                                           \
        }                                                                           \
    } while (0)

#define spice_warn_if_reached() spice_log_at(SPICE_LOG_LEVEL_WARNING, "should not be reached")

// ---- GDI canvas trace: debugger output, switched from the menu ----

void canvas_debug_trace(const char* format, ...) __attribute__((format(printf, 1, 2)));
void set_canvas_debug_trace(bool on);
bool canvas_debug_trace_enabled();
