#include "runtime/process_loop.h"

#include "runtime/log.h"

void ProcessLoop::QuitEvent::response(AbstractProcessLoop& events_loop) {
    events_loop.do_quit(_error_code);
}

ProcessLoop::ProcessLoop(void* owner)
    : _events_queue(*this),
      _timers_queue(*this),
      _owner(owner),
      _quitting(false),
      _exit_code(0),
      _started(false),
      _thread_id(0) {
    _event_sources.add_trigger(_wakeup_trigger);
}

ProcessLoop::~ProcessLoop() {
    _event_sources.remove_trigger(_wakeup_trigger);
}

int ProcessLoop::run() {
    _thread_id = GetCurrentThreadId();
    _started = true;
    on_start_running();
    for (;;) {
        _event_sources.drain_tunnelled();
        // Taken after the drain, whose sources may have armed timers.
        uint32_t timeout_ms = _timers_queue.time_to_next_due();
        if (!_event_sources.wait_events(timeout_ms)) {
            LOG_INFO("now set _quitting true");
            _quitting = true;
            return _exit_code;
        }
        _timers_queue.run_due_timers();
        _events_queue.process_events();
        // An event pushed while the queue held others did not fire the trigger; one left for the next
        // pass must not sleep until some other wake-up.
        if (!_events_queue.is_empty()) {
            _wakeup_trigger.trigger();
        }
        if (_quitting) {
            LOG_INFO("_quitting is true");
            return _exit_code;
        }
    }
}

void ProcessLoop::do_quit(int error_code) {
    if (_quitting) {
        LOG_INFO("_quitting is true");
        return;
    }
    LOG_INFO("now set _quitting  true");
    _quitting = true;
    _exit_code = error_code;
}

bool ProcessLoop::is_same_thread(DWORD thread_id) {
    return _started && _thread_id == thread_id;
}

void ProcessLoop::quit(int error_code) {
    QuitEvent* event = new QuitEvent(error_code);
    push_event(event);
    LOG_INFO("ProcessLoop::quit error_code:%d", error_code);
    event->unref();
}

void ProcessLoop::push_event(Event* event) {
    if (_events_queue.push_event(event) == 1) {
        _wakeup_trigger.trigger();
    }
}

void ProcessLoop::arm_timer(Timer* timer, uint32_t interval_ms) {
    _timers_queue.arm_timer(timer, interval_ms);
    // A loop waiting on another thread must take the new timer into its time-out.
    if (_started && !is_same_thread(GetCurrentThreadId())) {
        _wakeup_trigger.trigger();
    }
}

void ProcessLoop::disarm_timer(Timer* timer) {
    _timers_queue.disarm_timer(timer);
}
