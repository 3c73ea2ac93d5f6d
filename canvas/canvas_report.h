// How the common canvas code reports a failed check. The checks guard against what the server sends, so a
// failure abandons that draw or that fetch and is logged at Warning: the SPICE-style log ends the process for
// CRITICAL reports under its default abort level, and server data must never do that.
#pragma once

#include "runtime/log.h"

#define canvas_return_val_if_fail(cond, val)                                       \
    do {                                                                           \
        if (!(cond)) {                                                             \
            spice_log_at(SPICE_LOG_LEVEL_WARNING, "condition `%s' failed", #cond); \
            return (val);                                                          \
        }                                                                          \
    } while (0)

#define canvas_return_if_fail(cond)                                                \
    do {                                                                           \
        if (!(cond)) {                                                             \
            spice_log_at(SPICE_LOG_LEVEL_WARNING, "condition `%s' failed", #cond); \
            return;                                                                \
        }                                                                          \
    } while (0)
