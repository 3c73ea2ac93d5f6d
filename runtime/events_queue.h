// The queue of events that other threads (or the loop itself) hand to a loop.
#pragma once

#include "runtime/event.h"
#include "runtime/threads.h"

#include <cstddef>
#include <cstdint>
#include <list>

class EventsQueue {
public:
    explicit EventsQueue(AbstractProcessLoop& owner);
    // Drops every queued event unrun; synchronous ones release their posters as failed.
    ~EventsQueue();

    EventsQueue(const EventsQueue&) = delete;
    EventsQueue& operator=(const EventsQueue&) = delete;

    // Any thread. Returns the queue length after the push, so the caller knows whether the queue was empty.
    size_t push_event(Event* event);

    // Loop thread. Runs, in push order, every event pushed before the call; events pushed while it runs
    // (by the responses or by other threads) wait for the next call.
    void process_events();

    bool is_empty();

    // Any thread. Drops every queued event unrun (each told through on_dropped), as the destructor does: an
    // owner whose events hold parts of it drops them while those parts are still whole.
    void drop_events();

private:
    std::list<Event*> _events;  // guarded by _mutex, each holding one reference
    Mutex _mutex;
    uint32_t _generation;  // guarded by _mutex
    AbstractProcessLoop& _owner;
};
