// The message queue of a thread: messages sent to it and not yet run, posted messages, the quit request,
// window timers, the windows waiting to be painted, and the QS_* bits that MsgWaitForMultipleObjectsEx waits
// on. Created at the thread's first message call, found by thread id.
#pragma once

#include "event_fd.h"
#include "winapi/winuser.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace winapi_internal {

class ThreadObject;

// A message sent to a window of the queue's thread (or internal work, `task`, that must run on that thread
// while it retrieves messages). `done` hears the result once: delivered false when the window or the thread
// went away first.
struct SentMessage {
    HWND hwnd = nullptr;
    UINT message = 0;
    WPARAM wparam = 0;
    LPARAM lparam = 0;
    // WM_COPYDATA from another thread or process: the data is copied here and lparam points at `copy`, so
    // a sender that gave up waiting cannot leave the receiver reading freed memory.
    std::vector<unsigned char> data;
    COPYDATASTRUCT copy{};
    std::function<void()> task;
    std::function<void(bool delivered, LRESULT result)> done;
    uint64_t queued_ns = 0;
};

// Runs one sent message on the receiving thread (the window procedure, or the task) and reports to `done`.
void run_sent_message(SentMessage& sent);

class MessageQueue {
public:
    // Beyond this many posted messages PostMessage fails with ERROR_NOT_ENOUGH_QUOTA, as on Windows.
    static constexpr size_t max_posted = 10000;

    explicit MessageQueue(DWORD thread_id) : thread_id_(thread_id) {}

    bool valid() const { return wake_.valid(); }
    DWORD thread_id() const { return thread_id_; }

    // Any thread. False, with the last error set, when the queue is full. A WM_MOUSEMOVE replaces one for the
    // same window still at the end of the queue.
    bool post(const MSG& msg);
    // Owner thread: WM_QUIT comes once no other posted message is left.
    void post_quit(int exit_code);

    // Any thread. False when the thread has ended (the message is then not queued and `done` not called).
    bool send(std::shared_ptr<SentMessage> sent);
    // Owner thread: runs every sent message waiting (also those that arrive meanwhile). True when one ran.
    bool run_sent();
    // Any thread: `task` joins the sent messages at `when` (monotonic ns); a later call with the same key
    // replaces a task not yet due.
    void defer(const void* key, uint64_t when, std::function<void()> task);
    // Receivers that have not looked at their queue for this long count as hung (SMTO_ABORTIFHUNG).
    bool hung() const;

    // Owner thread: the first message passing the filters, removed with PM_REMOVE; posted messages first,
    // then WM_QUIT, WM_PAINT (never removed), WM_TIMER. Marks the queue's content as seen.
    bool take(MSG* msg, HWND hwnd, UINT filter_min, UINT filter_max, UINT flags);

    // Window timers; a second set_timer for the same window and id restarts it.
    void set_timer(HWND hwnd, UINT_PTR id, UINT interval_ms, TIMERPROC proc);
    bool kill_timer(HWND hwnd, UINT_PTR id);
    // Monotonic nanoseconds of the soonest timer not yet reported as due (or deferred task), UINT64_MAX
    // without one.
    uint64_t next_timer_due() const;

    // The update region, kept as its bounding rectangle.
    void invalidate(HWND hwnd, const RECT& rect, bool erase);
    // rect null validates everything.
    void validate(HWND hwnd, const RECT* rect);
    // False when nothing needs painting. `erase` (may be null) is cleared when taken.
    bool update_rect(HWND hwnd, RECT* rect, bool* erase, bool take_erase);

    // The window is gone: its posted messages, timers and paint go; messages sent to it fail.
    void forget_window(HWND hwnd);
    // The thread is gone: every waiting sender is told.
    void close();

    // Readable when something arrived since the last has_new_input(); poll it, then call has_new_input().
    int wake_fd() const { return wake_.fd(); }
    // Owner thread: input of the mask's kinds that arrived since the thread last looked at its queue (or,
    // with available_only, that is in the queue at all).
    bool has_new_input(DWORD wake_mask, bool available_only);
    // Owner thread, for a sender waiting on its reply: clears the wake descriptor and tells whether sent
    // messages wait. The other change bits stay for the next wait.
    bool has_sent();

private:
    struct Timer {
        HWND hwnd;
        UINT_PTR id;
        uint64_t interval_ns;
        uint64_t due_ns;
        TIMERPROC proc;
        bool reported;  // its expiry already set QS_TIMER
    };
    struct Deferred {
        const void* key;
        uint64_t when;
        std::function<void()> task;
    };
    struct Paint {
        HWND hwnd;
        RECT rect;
        bool erase;
    };

    DWORD status_locked() const;
    void note_due_timers_locked(uint64_t now);
    void release_deferred_locked(uint64_t now);

    const DWORD thread_id_;
    mutable std::mutex lock_;
    std::deque<MSG> posted_;                         // guarded by lock_
    std::deque<uint64_t> posted_ns_;                 // when each posted_ entry came; lock_
    std::deque<std::shared_ptr<SentMessage>> sent_;  // guarded by lock_
    std::vector<Timer> timers_;                      // guarded by lock_
    std::vector<Deferred> deferred_;                 // guarded by lock_
    std::vector<Paint> paint_;                       // guarded by lock_
    bool closed_ = false;                            // guarded by lock_
    bool quit_ = false;                              // guarded by lock_
    int quit_code_ = 0;                              // guarded by lock_
    DWORD change_bits_ = 0;                          // QS_* arrived and not yet seen; guarded by lock_
    EventFd wake_;                                   // set with every change bit; cleared by has_new_input
};

// The calling thread's queue, created on first use; null (ERROR_NOT_ENOUGH_MEMORY) when out of descriptors.
std::shared_ptr<MessageQueue> current_queue();
// The queue of a thread of this process, or null when the thread has none.
std::shared_ptr<MessageQueue> find_queue(DWORD thread_id);
// The thread is ending: its queue can no longer be found; messages in it are dropped, senders are told.
void end_thread_queue(ThreadObject& thread);

// Calls the window's procedure on this thread (the owner), returning 0 for a window that is gone.
LRESULT call_window_procedure(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);

}  // namespace winapi_internal
