#include "runtime/timer.h"

void Timer::reschedule(uint64_t now) {
    advance_expiration();
    if (_expiration > now) {
        return;
    }
    _expiration = now;
    advance_expiration();
}
