// A periodic unit of work armed on one loop's timers queue.
#pragma once

#include "runtime/event.h"

#include <cstdint>

class Timer : public EventBase {
public:
    Timer() : _armed(false), _interval(0), _expiration(0) {}

    // Changed under the lock of the queue the timer is armed on; read it where nothing arms it meanwhile.
    bool is_armed() const { return _armed; }

private:
    friend class TimersQueue;

    // Missed periods are skipped, not run in a burst: a timer whose response overran its period runs once
    // more at once and then one interval after that.
    void reschedule(uint64_t now);
    void advance_expiration() { _expiration += _interval; }

    bool _armed;
    uint32_t _interval;    // milliseconds, at least 1
    uint64_t _expiration;  // on the loop clock (GetTickCount64)
};
