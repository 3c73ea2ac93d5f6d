#include "thread_object.h"

#include "message_queue.h"
#include "mutex_object.h"

#include <sys/resource.h>
#include <unistd.h>

namespace winapi_internal {

ThreadObject::ThreadObject(DWORD suspend_count) : suspend_count_(suspend_count) {}

AcquireResult ThreadObject::try_acquire() {
    return ended_.load() ? AcquireResult::acquired : AcquireResult::not_signalled;
}

void ThreadObject::set_id(DWORD id) {
    std::lock_guard<std::mutex> guard(start_lock_);
    id_.store(id);
    start_changed_.notify_all();
}

DWORD ThreadObject::wait_for_id() {
    std::unique_lock<std::mutex> guard(start_lock_);
    start_changed_.wait(guard, [this] { return id_.load() != 0; });
    return id_.load();
}

DWORD ThreadObject::resume() {
    std::lock_guard<std::mutex> guard(start_lock_);
    DWORD previous = suspend_count_;
    if (suspend_count_ > 0 && --suspend_count_ == 0) {
        start_changed_.notify_all();
    }
    return previous;
}

void ThreadObject::wait_until_resumed() {
    std::unique_lock<std::mutex> guard(start_lock_);
    start_changed_.wait(guard, [this] { return suspend_count_ == 0; });
}

void ThreadObject::set_priority(int priority) {
    priority_.store(priority);
    // Linux nice values are per thread. Raising priority needs privileges; without them the value is only
    // remembered, which is all the program relies on.
    int nice_value = 0;
    switch (priority) {
        case THREAD_PRIORITY_TIME_CRITICAL:
            nice_value = -15;
            break;
        case THREAD_PRIORITY_HIGHEST:
            nice_value = -10;
            break;
        case THREAD_PRIORITY_ABOVE_NORMAL:
            nice_value = -5;
            break;
        case THREAD_PRIORITY_BELOW_NORMAL:
            nice_value = 5;
            break;
        case THREAD_PRIORITY_LOWEST:
            nice_value = 10;
            break;
        case THREAD_PRIORITY_IDLE:
            nice_value = 19;
            break;
        default:
            break;
    }
    DWORD tid = id_.load();
    if (tid != 0 && !ended_.load()) {
        setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice_value);
    }
}

bool ThreadObject::queue_apc(PAPCFUNC routine, ULONG_PTR data) {
    std::lock_guard<std::mutex> guard(apc_lock_);
    if (ended_.load()) {
        return false;
    }
    apcs_.emplace_back(routine, data);
    apc_fd_.set();
    return true;
}

bool ThreadObject::run_apcs() {
    std::deque<std::pair<PAPCFUNC, ULONG_PTR>> due;
    {
        std::lock_guard<std::mutex> guard(apc_lock_);
        apc_fd_.clear();
        due.swap(apcs_);
    }
    // APCs queued while these run wait for the next alertable wait, so an APC that queues itself cannot
    // keep the thread here for ever.
    for (const auto& apc : due) {
        apc.first(apc.second);
    }
    return !due.empty();
}

void ThreadObject::end(DWORD exit_code) {
    if (ended_.load()) {
        return;
    }
    std::vector<std::weak_ptr<MutexObject>> mutexes;
    mutexes.swap(owned_mutexes);
    for (const auto& weak : mutexes) {
        if (std::shared_ptr<MutexObject> mutex = weak.lock()) {
            mutex->abandon(id_.load());
        }
    }
    end_thread_queue(*this);
    {
        std::lock_guard<std::mutex> guard(apc_lock_);
        apcs_.clear();
        apc_fd_.clear();
        exit_code_.store(exit_code);
        ended_.store(true);
    }
    ended_fd_.set();
}

namespace {

// Ends the thread's object when the thread exits, for threads that did not come from CreateThread (those
// end it themselves with their exit code first).
struct ThreadSlot {
    std::shared_ptr<ThreadObject> self;
    ~ThreadSlot() {
        if (self) {
            self->end(0);
        }
    }
};

thread_local ThreadSlot slot;

}  // namespace

std::shared_ptr<ThreadObject> current_thread() {
    if (!slot.self) {
        auto self = std::make_shared<ThreadObject>();
        self->set_id(current_thread_id());
        slot.self = std::move(self);
    }
    return slot.self;
}

void adopt_current_thread(std::shared_ptr<ThreadObject> self) {
    self->set_id(current_thread_id());
    slot.self = std::move(self);
}

DWORD current_thread_id() {
    return static_cast<DWORD>(gettid());
}

}  // namespace winapi_internal
