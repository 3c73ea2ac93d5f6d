// The armed timers of one loop, soonest first.
#pragma once

#include "runtime/threads.h"
#include "runtime/timer.h"

#include <cstdint>
#include <set>

class TimersQueue {
public:
    explicit TimersQueue(AbstractProcessLoop& owner);
    // Disarms every timer still armed.
    ~TimersQueue();

    TimersQueue(const TimersQueue&) = delete;
    TimersQueue& operator=(const TimersQueue&) = delete;

    // Any thread. Arming an armed timer restarts it from now. A timer is armed on at most one queue.
    void arm_timer(Timer* timer, uint32_t interval_ms);
    void disarm_timer(Timer* timer);

    // Milliseconds until the soonest timer is due: INFINITE when none is armed, 0 when one is due, otherwise
    // a finite time-out below INFINITE.
    uint32_t time_to_next_due();

    // Loop thread (or the main loop's stand-in while a window's modal loop blocks it). The lock stays held
    // while the responses run: a response may arm or disarm timers of this queue, other threads wait.
    void run_due_timers();

private:
    struct Earlier {
        bool operator()(const Timer* a, const Timer* b) const;
    };

    std::set<Timer*, Earlier> _armed_timers;  // guarded by _mutex, each holding one reference
    RecurciveMutex _mutex;
    AbstractProcessLoop& _owner;
};
