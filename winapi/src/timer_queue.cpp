// Timer queues: CreateTimerQueue, CreateTimerQueueTimer, DeleteTimerQueueTimer, DeleteTimerQueue(Ex).
//
// Each queue has one thread that sleeps until the soonest timer is due and runs the callbacks itself, one
// after another. Windows runs them on pool threads and lets callbacks of one timer overlap; running them in
// turn is one of the outcomes Windows allows, and it keeps a slow callback from piling up copies of itself.
#include "kernel_object.h"
#include "winapi/processthreadsapi.h"
#include "winapi/synchapi.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace winapi_internal {
namespace {

using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC

// Sets an event the caller passed in, through a handle of our own so that the caller may close theirs.
class Completion {
public:
    Completion() = default;
    explicit Completion(HANDLE event) {
        if (event && !DuplicateHandle(GetCurrentProcess(), event, GetCurrentProcess(), &event_, 0, FALSE,
                                      DUPLICATE_SAME_ACCESS)) {
            event_ = nullptr;
        }
    }
    Completion(Completion&& other) noexcept : event_(other.event_) { other.event_ = nullptr; }
    Completion& operator=(Completion&& other) noexcept {
        std::swap(event_, other.event_);
        return *this;
    }
    ~Completion() {
        if (event_) {
            CloseHandle(event_);
        }
    }
    void signal() {
        if (event_) {
            SetEvent(event_);
            CloseHandle(event_);
            event_ = nullptr;
        }
    }

private:
    HANDLE event_ = nullptr;
};

class TimerQueueObject;

// All fields are guarded by the owning queue's lock.
class TimerObject : public KernelObject {
public:
    TimerObject(TimerQueueObject* queue, WAITORTIMERCALLBACK callback, PVOID parameter, Clock::time_point due,
                DWORD period)
        : queue(queue), callback(callback), parameter(parameter), due(due), period(period) {}

    TimerQueueObject* const queue;
    const WAITORTIMERCALLBACK callback;
    const PVOID parameter;
    Clock::time_point due;
    const DWORD period;  // 0: once
    HANDLE handle = nullptr;
    bool fired_once = false;  // a timer without period that has run: kept until deleted
    bool running = false;
    Completion completion;  // set when a deleted timer's running callback returns
};

class TimerQueueObject : public KernelObject, public std::enable_shared_from_this<TimerQueueObject> {
public:
    void start() {
        std::thread([self = shared_from_this()] { self->run(); }).detach();
    }

    bool add(const std::shared_ptr<TimerObject>& timer, HANDLE handle) {
        std::lock_guard<std::mutex> guard(lock_);
        if (deleting_) {
            return false;
        }
        timer->handle = handle;
        timers_.push_back(timer);
        changed_.notify_all();
        return true;
    }

    // DeleteTimerQueueTimer after the timer's handle is gone. False (ERROR_IO_PENDING) when its callback is
    // still running and nobody waits for it.
    bool cancel(const std::shared_ptr<TimerObject>& timer, HANDLE completion) {
        std::unique_lock<std::mutex> guard(lock_);
        timers_.erase(std::remove(timers_.begin(), timers_.end(), timer), timers_.end());
        if (!timer->running) {
            guard.unlock();
            Completion(completion_event(completion)).signal();
            return true;
        }
        // Waiting from inside the callback itself would never end (on Windows it deadlocks): report the
        // callback as pending instead.
        if (completion == INVALID_HANDLE_VALUE && std::this_thread::get_id() != worker_) {
            changed_.wait(guard, [&] { return !timer->running; });
            return true;
        }
        if (completion && completion != INVALID_HANDLE_VALUE) {
            timer->completion = Completion(completion);
            return true;
        }
        SetLastError(ERROR_IO_PENDING);
        return false;
    }

    // DeleteTimerQueueEx: no callback starts after this; the thread ends after the running one. The handles
    // of the timers not deleted yet go with the queue.
    void shut_down(HANDLE completion) {
        std::unique_lock<std::mutex> guard(lock_);
        deleting_ = true;
        std::vector<std::shared_ptr<TimerObject>> timers;
        timers.swap(timers_);
        changed_.notify_all();
        guard.unlock();
        for (const auto& timer : timers) {
            handle_remove(timer->handle);
        }
        guard.lock();
        if (completion == INVALID_HANDLE_VALUE) {
            if (std::this_thread::get_id() != worker_) {
                changed_.wait(guard, [&] { return stopped_; });
            }
        } else if (completion) {
            if (stopped_) {
                guard.unlock();
                Completion(completion).signal();
            } else {
                completion_ = Completion(completion);
            }
        }
    }

private:
    static HANDLE completion_event(HANDLE completion) {
        return completion == INVALID_HANDLE_VALUE ? nullptr : completion;
    }

    void run() {
        std::unique_lock<std::mutex> guard(lock_);
        worker_ = std::this_thread::get_id();
        while (!deleting_) {
            auto soonest = timers_.end();
            for (auto it = timers_.begin(); it != timers_.end(); ++it) {
                if (!(*it)->fired_once && (soonest == timers_.end() || (*it)->due < (*soonest)->due)) {
                    soonest = it;
                }
            }
            if (soonest == timers_.end()) {
                changed_.wait(guard);
                continue;
            }
            Clock::time_point now = Clock::now();
            if (now < (*soonest)->due) {
                const Clock::time_point due = (*soonest)->due;  // the timer may be deleted during the wait
                changed_.wait_until(guard, due);
                continue;
            }
            std::shared_ptr<TimerObject> timer = *soonest;
            if (timer->period == 0) {
                timer->fired_once = true;
            } else {
                // Keep the phase; periods missed while a callback ran are skipped, not run in a burst.
                timer->due += std::chrono::milliseconds(timer->period);
                if (timer->due <= now) {
                    timer->due = now + std::chrono::milliseconds(timer->period);
                }
            }
            timer->running = true;
            guard.unlock();
            timer->callback(timer->parameter, TRUE);
            guard.lock();
            timer->running = false;
            Completion done = std::move(timer->completion);
            changed_.notify_all();
            guard.unlock();
            done.signal();
            guard.lock();
        }
        stopped_ = true;
        changed_.notify_all();
        Completion done = std::move(completion_);
        guard.unlock();
        done.signal();
    }

    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<std::shared_ptr<TimerObject>> timers_;  // timers not deleted yet; guarded by lock_
    bool deleting_ = false;                             // guarded by lock_
    bool stopped_ = false;                              // the thread has ended; guarded by lock_
    Completion completion_;                             // for DeleteTimerQueueEx; guarded by lock_
    std::thread::id worker_;                            // guarded by lock_
};

// The queue behind a NULL queue handle; it lives as long as the process.
std::shared_ptr<TimerQueueObject> default_queue() {
    static std::shared_ptr<TimerQueueObject>* instance = [] {
        auto* queue = new std::shared_ptr<TimerQueueObject>(std::make_shared<TimerQueueObject>());
        (*queue)->start();
        return queue;
    }();
    return *instance;
}

std::shared_ptr<TimerQueueObject> find_queue(HANDLE queue) {
    return queue ? handle_lookup_as<TimerQueueObject>(queue) : default_queue();
}

}  // namespace
}  // namespace winapi_internal

using namespace winapi_internal;

HANDLE WINAPI CreateTimerQueue() {
    auto queue = std::make_shared<TimerQueueObject>();
    HANDLE handle = handle_insert(queue);
    if (handle) {
        queue->start();
    }
    return handle;
}

BOOL WINAPI CreateTimerQueueTimer(PHANDLE newTimer, HANDLE timerQueue, WAITORTIMERCALLBACK callback,
                                  PVOID parameter, DWORD dueTime, DWORD period, ULONG flags) {
    if (!newTimer || !callback || ((flags & WT_EXECUTEONLYONCE) && period != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::shared_ptr<TimerQueueObject> queue = find_queue(timerQueue);
    if (!queue) {
        return FALSE;
    }
    auto timer = std::make_shared<TimerObject>(queue.get(), callback, parameter,
                                               Clock::now() + std::chrono::milliseconds(dueTime), period);
    HANDLE handle = handle_insert(timer);
    if (!handle) {
        return FALSE;
    }
    // Stored before the timer is armed: a callback that is due at once may already want it.
    *newTimer = handle;
    if (!queue->add(timer, handle)) {
        handle_remove(handle);
        *newTimer = nullptr;
        SetLastError(ERROR_INVALID_HANDLE);  // the queue is being deleted
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI DeleteTimerQueueTimer(HANDLE timerQueue, HANDLE timer, HANDLE completionEvent) {
    std::shared_ptr<TimerQueueObject> queue = find_queue(timerQueue);
    std::shared_ptr<TimerObject> object = handle_lookup_as<TimerObject>(timer);
    if (!queue || !object) {
        return FALSE;
    }
    if (object->queue != queue.get()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    handle_remove(timer);
    return queue->cancel(object, completionEvent) ? TRUE : FALSE;
}

BOOL WINAPI DeleteTimerQueueEx(HANDLE timerQueue, HANDLE completionEvent) {
    std::shared_ptr<TimerQueueObject> queue = handle_lookup_as<TimerQueueObject>(timerQueue);
    if (!queue) {
        return FALSE;
    }
    handle_remove(timerQueue);
    queue->shut_down(completionEvent);
    return TRUE;
}

BOOL WINAPI DeleteTimerQueue(HANDLE timerQueue) {
    return DeleteTimerQueueEx(timerQueue, nullptr);
}
