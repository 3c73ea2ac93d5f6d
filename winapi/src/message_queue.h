// The message queue of a thread: posted messages, the quit request, and the QS_* bits that
// MsgWaitForMultipleObjectsEx waits on. Created at the thread's first message call, found by thread id.
//
// So far the queue holds posted messages only; input, sent messages, paint and timers join it with the window
// half, each with its QS_* bit in status_locked() and in the change bits.
#pragma once

#include "event_fd.h"
#include "winapi/winuser.h"

#include <deque>
#include <memory>
#include <mutex>

namespace winapi_internal {

class ThreadObject;

class MessageQueue {
public:
    // Beyond this many posted messages PostMessage fails with ERROR_NOT_ENOUGH_QUOTA, as on Windows.
    static constexpr size_t max_posted = 10000;

    bool valid() const { return wake_.valid(); }

    // Any thread. False, with the last error set, when the queue is full.
    bool post(const MSG& msg);
    // Owner thread: WM_QUIT comes once no other posted message is left.
    void post_quit(int exit_code);

    // Owner thread: the first message passing the filters, removed with PM_REMOVE. Marks the queue's content
    // as seen, whether or not a message was returned.
    bool take(MSG* msg, HWND hwnd, UINT filter_min, UINT filter_max, UINT flags);

    // Readable when something arrived since the last has_new_input(); poll it, then call has_new_input().
    int wake_fd() const { return wake_.fd(); }
    // Owner thread: input of the mask's kinds that arrived since the thread last looked at its queue (or,
    // with available_only, that is in the queue at all).
    bool has_new_input(DWORD wake_mask, bool available_only);

private:
    DWORD status_locked() const;

    std::mutex lock_;
    std::deque<MSG> posted_;  // guarded by lock_
    bool quit_ = false;       // guarded by lock_
    int quit_code_ = 0;       // guarded by lock_
    DWORD change_bits_ = 0;   // QS_* arrived and not yet seen; guarded by lock_
    EventFd wake_;            // set with every change bit; cleared by has_new_input
};

// The calling thread's queue, created on first use; null (ERROR_NOT_ENOUGH_MEMORY) when out of descriptors.
std::shared_ptr<MessageQueue> current_queue();
// The queue of a thread of this process, or null when the thread has none.
std::shared_ptr<MessageQueue> find_queue(DWORD thread_id);
// The thread is ending: its queue can no longer be found; messages in it are dropped.
void end_thread_queue(ThreadObject& thread);

}  // namespace winapi_internal
