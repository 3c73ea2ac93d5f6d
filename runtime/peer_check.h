// How a check on what a peer sent reports its failure: the server's messages, images and drawing data, which
// the transport parsers, the decoders' callers and the canvas check. A failure is a warning in the
// SPICE-style log, and then the message, the image or the draw fails; the process goes on. Never CRITICAL or
// ERROR: under the log's default abort level (SPICE_ABORT_LEVEL 1) those end the process, and a peer's data
// must never do that. spice_return_if_fail and spice_return_val_if_fail (log.h) stay for the program's own
// mistakes.
//
// Each line carries the position and function of the check itself.
#pragma once

#include "runtime/log.h"

// A failed condition, reported as "condition `<text>' failed".
#define peer_check_failed(text) spice_log_at(SPICE_LOG_LEVEL_WARNING, "condition `%s' failed", (text))

// A failure with a text of its own.
#define peer_warning(...) spice_log_at(SPICE_LOG_LEVEL_WARNING, __VA_ARGS__)

// The same at a level of the caller's choice; anything more severe than a warning is reported as one, so that
// no level can reach the abort threshold. Info is for failures that ordinary traffic can cause.
#define peer_report(level, ...) spice_log_at(peer_report_level(level), __VA_ARGS__)

inline int peer_report_level(int level) {
    return level < SPICE_LOG_LEVEL_WARNING ? SPICE_LOG_LEVEL_WARNING : level;
}

// Returns val (or nothing) when cond fails, after reporting it. The _text form reports text in place of the
// expression, where the log's text is not the C++ expression.
#define peer_return_val_if_fail_text(cond, text, val) \
    do {                                              \
        if (!(cond)) {                                \
            peer_check_failed(text);                  \
            return (val);                             \
        }                                             \
    } while (0)

#define peer_return_val_if_fail(cond, val) peer_return_val_if_fail_text(cond, #cond, val)

#define peer_return_if_fail(cond)     \
    do {                              \
        if (!(cond)) {                \
            peer_check_failed(#cond); \
            return;                   \
        }                             \
    } while (0)
