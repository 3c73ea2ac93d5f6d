// The per-thread event loop: waits on its sources and the thread's window messages at once, runs the due
// timers and the queued events. Other threads never call into a loop's objects: they push an event, arm a
// timer or fire a trigger, and the loop's own thread does the work.
#pragma once

#include "runtime/event.h"
#include "runtime/event_sources.h"
#include "runtime/events_queue.h"
#include "runtime/timer.h"
#include "runtime/timers_queue.h"
#include "winapi/windows.h"

#include <atomic>
#include <cstdint>

class AbstractProcessLoop {
public:
    virtual ~AbstractProcessLoop() {}
    virtual int run() = 0;
    virtual void do_quit(int error_code) = 0;
    virtual void* get_owner() = 0;
    // thread_id as GetCurrentThreadId returns it.
    virtual bool is_same_thread(DWORD thread_id) = 0;
};

class ProcessLoop : public AbstractProcessLoop {
public:
    class QuitEvent;

    // owner: the Application for the main loop, the channel for a channel's loop.
    explicit ProcessLoop(void* owner);
    // Drops the queued events unrun (synchronous ones release their posters as failed) and disarms the
    // timers. Every source but the wakeup trigger must have been removed by its owner.
    virtual ~ProcessLoop();

    ProcessLoop(const ProcessLoop&) = delete;
    ProcessLoop& operator=(const ProcessLoop&) = delete;

    // Loop thread; runs once. Nothing is caught here: an exception from a source, a timer or an event
    // leaves run (a channel's abort trigger relies on it). Returns the exit code.
    int run() override;
    // Loop thread. The first quit's code stays; the loop ends after the current pass.
    void do_quit(int error_code) override;
    void* get_owner() override { return _owner; }
    bool is_same_thread(DWORD thread_id) override;

    // Any thread.
    void quit(int error_code);
    void push_event(Event* event);
    void arm_timer(Timer* timer, uint32_t interval_ms);
    void disarm_timer(Timer* timer);

    // Loop thread, or before run.
    void add_trigger(EventSources::Trigger& trigger) { _event_sources.add_trigger(trigger); }
    void remove_trigger(EventSources::Trigger& trigger) { _event_sources.remove_trigger(trigger); }
    void add_handle(EventSources::Handle& handle) { _event_sources.add_handle(handle); }
    void remove_handle(EventSources::Handle& handle) { _event_sources.remove_handle(handle); }
    void add_socket(EventSources::Socket& socket) { _event_sources.add_socket(socket); }
    void remove_socket(EventSources::Socket& socket) { _event_sources.remove_socket(socket); }

    // Runs the queued events once, for a loop thread that waits for other threads' synchronous events
    // while its loop is not turning.
    void run_queued_events() { _events_queue.process_events(); }
    // Drops the queued events unrun (see EventsQueue::drop_events).
    void drop_queued_events() { _events_queue.drop_events(); }

    // The main loop's timers, run by the platform window while a window's modal loop blocks run.
    TimersQueue& get_timers_queue() { return _timers_queue; }

protected:
    virtual void on_start_running() {}

private:
    class WakeupTrigger : public EventSources::Trigger {
    public:
        void on_event() override {}
    };

    EventSources _event_sources;
    EventsQueue _events_queue;
    TimersQueue _timers_queue;
    WakeupTrigger _wakeup_trigger;
    void* _owner;
    bool _quitting;  // loop thread only
    int _exit_code;  // loop thread only
    std::atomic<bool> _started;
    std::atomic<DWORD> _thread_id;  // recorded by run before _started is set
};

class ProcessLoop::QuitEvent : public Event {
public:
    explicit QuitEvent(int error_code) : _error_code(error_code) {}
    void response(AbstractProcessLoop& events_loop) override;

private:
    int _error_code;
};
