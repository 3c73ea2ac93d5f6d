// Units of work that any thread hands to a loop: reference-counted events, and synchronous events whose
// poster waits until the loop's thread has run them.
#pragma once

#include "runtime/threads.h"
#include "winapi/windows.h"

#include <cstdint>

class AbstractProcessLoop;

// Created with count 1, owned by its creator; whoever queues or arms it adds a reference and drops it when
// done. The counts change with interlocked operations, so the poster and the loop may release in any order.
class EventBase {
public:
    EventBase() : _refs(1) {}

    EventBase* ref() {
        InterlockedIncrement(&_refs);
        return this;
    }

    void unref() {
        if (InterlockedDecrement(&_refs) == 0) {
            delete this;
        }
    }

    // Runs on the thread of the loop that holds the event.
    virtual void response(AbstractProcessLoop& events_loop) = 0;

protected:
    virtual ~EventBase() {}

private:
    volatile LONG _refs;
};

class Event : public EventBase {
public:
    // The loop ends before running this event. The event is released after this call.
    virtual void on_dropped() {}

private:
    friend class EventsQueue;
    uint32_t _generation = 0;  // written by EventsQueue::push_event under the queue's mutex
};

// The poster pushes it, calls wait, then tests failed. It must not be posted to the poster's own loop,
// which would wait for itself.
class SyncEvent : public Event {
public:
    SyncEvent();

    void response(AbstractProcessLoop& events_loop) final;
    void on_dropped() final;

    void wait();
    bool failed() const { return _failed; }

protected:
    virtual void do_response(AbstractProcessLoop& events_loop) = 0;

private:
    void release_poster(bool failed);

    Mutex _mutex;
    Condition _condition;
    bool _failed;  // written before ready is set, read by the poster after wait
    bool _ready;   // guarded by _mutex
};
