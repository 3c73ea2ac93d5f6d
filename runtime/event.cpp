#include "runtime/event.h"

#include "runtime/exception.h"
#include "runtime/log.h"

SyncEvent::SyncEvent() : _mutex(Mutex::NORMAL), _failed(false), _ready(false) {}

void SyncEvent::response(AbstractProcessLoop& events_loop) {
    bool failed = false;
    try {
        do_response(events_loop);
    } catch (Exception& e) {
        LOG_WARN("unhandled exception: %s", e.what());
        failed = true;
    } catch (...) {
        failed = true;
    }
    release_poster(failed);
}

// A loop destroyed with this event still queued: the poster would otherwise wait forever.
void SyncEvent::on_dropped() {
    release_poster(true);
}

void SyncEvent::release_poster(bool failed) {
    Lock lock(_mutex);
    _failed = failed;
    _ready = true;
    _condition.notify_one();
}

void SyncEvent::wait() {
    Lock lock(_mutex);
    while (!_ready) {
        _condition.wait(lock);
    }
}
