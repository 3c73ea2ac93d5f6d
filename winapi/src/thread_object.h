// The kernel object of a thread: its handle's exit signal, its APC queue, its start gate, and what the
// thread must give up when it ends (owned mutexes, its message queue).
#pragma once

#include "kernel_object.h"
#include "event_fd.h"
#include "winapi/processthreadsapi.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace winapi_internal {

class MessageQueue;
class MutexObject;

class ThreadObject : public KernelObject {
public:
    // A thread created suspended waits in wait_until_resumed() until ResumeThread brings its count to 0.
    explicit ThreadObject(DWORD suspend_count = 0);

    // False when the process ran out of descriptors.
    bool valid() const { return ended_fd_.valid() && apc_fd_.valid(); }

    // Signalled once the thread ended, for ever.
    int wait_fd() const override { return ended_fd_.fd(); }
    AcquireResult try_acquire() override;

    // 0 until the thread has started.
    DWORD id() const { return id_.load(); }
    // Run on the new thread: publishes its id to wait_for_id().
    void set_id(DWORD id);
    DWORD wait_for_id();

    // Returns the previous suspend count.
    DWORD resume();
    void wait_until_resumed();

    DWORD exit_code() const { return exit_code_.load(); }  // STILL_ACTIVE while running
    bool ended() const { return ended_.load(); }

    int priority() const { return priority_.load(); }
    void set_priority(int priority);

    // Any thread. False once the thread has ended.
    bool queue_apc(PAPCFUNC routine, ULONG_PTR data);
    // Readable while APCs wait; a wait polls it only when alertable.
    int apc_fd() const { return apc_fd_.fd(); }
    // Own thread only: runs the APCs queued before the call, oldest first. True when any ran.
    bool run_apcs();

    // Own thread only, once: abandons the mutexes the thread still owns, drops its message queue and its
    // pending APCs, then signals the handle.
    void end(DWORD exit_code);

    // Own thread only.
    std::vector<std::weak_ptr<MutexObject>> owned_mutexes;
    std::shared_ptr<MessageQueue> message_queue;

private:
    EventFd ended_fd_;
    EventFd apc_fd_;
    std::atomic<DWORD> id_{0};
    std::atomic<bool> ended_{false};
    std::atomic<DWORD> exit_code_{STILL_ACTIVE};
    std::atomic<int> priority_{THREAD_PRIORITY_NORMAL};

    std::mutex start_lock_;
    std::condition_variable start_changed_;
    DWORD suspend_count_;  // guarded by start_lock_

    std::mutex apc_lock_;
    std::deque<std::pair<PAPCFUNC, ULONG_PTR>> apcs_;  // guarded by apc_lock_
};

// The calling thread's object. Threads this layer did not start (the main thread, threads of other
// libraries) get one on first use; it signals when the thread exits.
std::shared_ptr<ThreadObject> current_thread();

// Run first on a thread started by CreateThread: makes `self` the calling thread's object.
void adopt_current_thread(std::shared_ptr<ThreadObject> self);

// The kernel thread id, as GetCurrentThreadId returns it.
DWORD current_thread_id();

}  // namespace winapi_internal
