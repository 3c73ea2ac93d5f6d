// Small pieces for the loop's tests: events and timers made of a function, and a loop on a thread of its own.
#pragma once

#include "runtime/process_loop.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <thread>

class FunctionEvent : public Event {
public:
    explicit FunctionEvent(std::function<void(AbstractProcessLoop&)> function)
        : _function(std::move(function)) {}
    void response(AbstractProcessLoop& loop) override { _function(loop); }

private:
    std::function<void(AbstractProcessLoop&)> _function;
};

class FunctionTimer : public Timer {
public:
    explicit FunctionTimer(std::function<void(AbstractProcessLoop&)> function)
        : _function(std::move(function)) {}
    void response(AbstractProcessLoop& loop) override { _function(loop); }

private:
    std::function<void(AbstractProcessLoop&)> _function;
};

inline void post(ProcessLoop& loop, std::function<void(AbstractProcessLoop&)> function) {
    Event* event = new FunctionEvent(std::move(function));
    loop.push_event(event);
    event->unref();
}

// Polls a predicate for at most two seconds.
inline bool eventually(const std::function<bool()>& predicate) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Runs f on a detached thread: a test that gives up waiting for it is not held by it.
template <class F>
auto detached(F f) -> std::future<decltype(f())> {
    auto task = std::make_shared<std::packaged_task<decltype(f())()>>(std::move(f));
    std::future<decltype(f())> result = task->get_future();
    std::thread([task] { (*task)(); }).detach();
    return result;
}

// Runs a loop on a thread of its own. Declare it after what its events and timers use, so that a failed test
// ends the loop before that goes. Sources are added to `loop` before start.
class LoopThread {
public:
    explicit LoopThread(void* owner = nullptr) : loop(owner) {}

    ~LoopThread() {
        if (_thread.joinable()) {
            if (_result.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
                // Also a quit message, should a failing test have left the loop deaf to its trigger.
                loop.quit(0);
                PostThreadMessageW(_thread_id, WM_QUIT, 0, 0);
            }
            _thread.join();
        }
    }

    void start() {
        std::promise<int> promise;
        _result = promise.get_future();
        _thread = std::thread([this, promise = std::move(promise)]() mutable {
            _thread_id = GetCurrentThreadId();
            try {
                promise.set_value(loop.run());
            } catch (...) {
                promise.set_exception(std::current_exception());
            }
        });
    }

    // True when run returned within two seconds; its result goes to exit_code.
    bool ended(int* exit_code) {
        if (_result.wait_for(std::chrono::seconds(2)) != std::future_status::ready) {
            return false;
        }
        _thread.join();
        *exit_code = _result.get();
        return true;
    }

    // Returns once the loop has run a pass, so it is idle in its wait or about to be.
    void wait_running() {
        std::promise<void> ran;
        std::future<void> done = ran.get_future();
        post(loop, [&ran](AbstractProcessLoop&) { ran.set_value(); });
        done.wait();
    }

    ProcessLoop loop;

private:
    std::thread _thread;
    std::atomic<DWORD> _thread_id{0};
    std::future<int> _result;
};
