#include "runtime/timers_queue.h"

#include <algorithm>
#include <functional>

bool TimersQueue::Earlier::operator()(const Timer* a, const Timer* b) const {
    if (a->_expiration != b->_expiration) {
        return a->_expiration < b->_expiration;
    }
    return std::less<const Timer*>()(a, b);
}

TimersQueue::TimersQueue(AbstractProcessLoop& owner) : _owner(owner) {}

TimersQueue::~TimersQueue() {
    for (Timer* timer : _armed_timers) {
        timer->_armed = false;
        timer->unref();
    }
}

void TimersQueue::arm_timer(Timer* timer, uint32_t interval_ms) {
    Lock lock(_mutex);
    timer->ref();
    disarm_timer(timer);
    // An interval of 0 would put the timer back as due in the same pass, forever.
    timer->_interval = std::max<uint32_t>(interval_ms, 1);
    timer->_expiration = GetTickCount64();
    timer->advance_expiration();
    timer->_armed = true;
    _armed_timers.insert(timer);
}

void TimersQueue::disarm_timer(Timer* timer) {
    Lock lock(_mutex);
    if (!timer->_armed) {
        return;
    }
    _armed_timers.erase(timer);
    timer->_armed = false;
    timer->unref();
}

uint32_t TimersQueue::time_to_next_due() {
    Lock lock(_mutex);
    if (_armed_timers.empty()) {
        return INFINITE;
    }
    uint64_t now = GetTickCount64();
    uint64_t expiration = (*_armed_timers.begin())->_expiration;
    if (expiration <= now) {
        return 0;
    }
    return static_cast<uint32_t>(std::min<uint64_t>(expiration - now, INFINITE - 1));
}

void TimersQueue::run_due_timers() {
    Lock lock(_mutex);
    uint64_t now = GetTickCount64();
    while (!_armed_timers.empty()) {
        Timer* timer = *_armed_timers.begin();
        if (now < timer->_expiration) {
            break;
        }
        _armed_timers.erase(_armed_timers.begin());
        timer->reschedule(now);
        _armed_timers.insert(timer);
        // Kept alive through a response that disarms its own timer.
        timer->ref();
        struct Unref {
            Timer* timer;
            ~Unref() { timer->unref(); }
        } unref{timer};
        timer->response(_owner);
    }
}
