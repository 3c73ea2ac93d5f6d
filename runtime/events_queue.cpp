#include "runtime/events_queue.h"

#include <memory>

namespace {

struct Unref {
    void operator()(EventBase* event) const { event->unref(); }
};

}  // namespace

EventsQueue::EventsQueue(AbstractProcessLoop& owner) : _mutex(Mutex::NORMAL), _generation(0), _owner(owner) {}

EventsQueue::~EventsQueue() {
    // No thread may push any more: the loop that owns the queue is going away.
    drop_events();
}

void EventsQueue::drop_events() {
    std::list<Event*> events;
    {
        Lock lock(_mutex);
        events.swap(_events);
    }
    for (Event* event : events) {
        event->on_dropped();
        event->unref();
    }
}

size_t EventsQueue::push_event(Event* event) {
    Lock lock(_mutex);
    event->_generation = _generation;
    event->ref();
    _events.push_back(event);
    return _events.size();
}

void EventsQueue::process_events() {
    uint32_t generation;
    {
        Lock lock(_mutex);
        generation = ++_generation;
    }
    for (;;) {
        std::unique_ptr<Event, Unref> event;
        {
            Lock lock(_mutex);
            if (_events.empty() || _events.front()->_generation == generation) {
                return;
            }
            event.reset(_events.front());
            _events.pop_front();
        }
        // Without the mutex: a response may push further events.
        event->response(_owner);
    }
}

bool EventsQueue::is_empty() {
    Lock lock(_mutex);
    return _events.empty();
}
