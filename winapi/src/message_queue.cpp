// Thread message queues: posting, retrieving, dispatching, and MsgWaitForMultipleObjectsEx.
#include "message_queue.h"

#include "thread_object.h"
#include "wait.h"
#include "winapi/synchapi.h"
#include "winapi/sysinfoapi.h"

#include <unordered_map>

namespace winapi_internal {
namespace {

constexpr DWORD posted_bits = QS_POSTMESSAGE | QS_ALLPOSTMESSAGE;
const HWND thread_messages_only = reinterpret_cast<HWND>(static_cast<LONG_PTR>(-1));

struct QueueRegistry {
    std::mutex lock;
    std::unordered_map<DWORD, std::shared_ptr<MessageQueue>> queues;  // by thread id; guarded by lock
};

QueueRegistry& registry() {
    static QueueRegistry* instance = new QueueRegistry;  // never destroyed: detached threads may outlive main
    return *instance;
}

bool passes(const MSG& msg, HWND hwnd, UINT filter_min, UINT filter_max) {
    if (hwnd == thread_messages_only ? msg.hwnd != nullptr : hwnd && msg.hwnd != hwnd) {
        return false;
    }
    return (filter_min == 0 && filter_max == 0) || (msg.message >= filter_min && msg.message <= filter_max);
}

thread_local LONG last_message_time = 0;

}  // namespace

bool MessageQueue::post(const MSG& msg) {
    std::lock_guard<std::mutex> guard(lock_);
    if (posted_.size() >= max_posted) {
        SetLastError(ERROR_NOT_ENOUGH_QUOTA);
        return false;
    }
    posted_.push_back(msg);
    change_bits_ |= posted_bits;
    wake_.set();
    return true;
}

void MessageQueue::post_quit(int exit_code) {
    std::lock_guard<std::mutex> guard(lock_);
    quit_ = true;
    quit_code_ = exit_code;
    change_bits_ |= posted_bits;
    wake_.set();
}

bool MessageQueue::take(MSG* msg, HWND hwnd, UINT filter_min, UINT filter_max, UINT flags) {
    std::lock_guard<std::mutex> guard(lock_);
    // Looking at the queue marks its content as seen; only an unfiltered look clears QS_ALLPOSTMESSAGE.
    bool unfiltered = !hwnd && filter_min == 0 && filter_max == 0;
    change_bits_ &= unfiltered ? 0 : QS_ALLPOSTMESSAGE;

    DWORD kinds = flags >> 16;
    if (kinds == 0 || (kinds & posted_bits)) {
        for (auto it = posted_.begin(); it != posted_.end(); ++it) {
            if (passes(*it, hwnd, filter_min, filter_max)) {
                *msg = *it;
                if (flags & PM_REMOVE) {
                    posted_.erase(it);
                }
                return true;
            }
        }
    }
    // WM_QUIT is not a queued entry: it comes when no posted message is left to return, whatever the filter.
    if (quit_) {
        *msg = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(quit_code_), 0, GetTickCount(), POINT{0, 0}};
        if (flags & PM_REMOVE) {
            quit_ = false;
        }
        return true;
    }
    return false;
}

bool MessageQueue::has_new_input(DWORD wake_mask, bool available_only) {
    std::lock_guard<std::mutex> guard(lock_);
    wake_.clear();
    return ((available_only ? status_locked() : change_bits_) & wake_mask) != 0;
}

DWORD MessageQueue::status_locked() const {
    return !posted_.empty() || quit_ ? posted_bits : 0;
}

std::shared_ptr<MessageQueue> current_queue() {
    std::shared_ptr<ThreadObject> self = current_thread();
    if (!self->message_queue && !self->ended()) {
        auto queue = std::make_shared<MessageQueue>();
        if (!queue->valid()) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        QueueRegistry& reg = registry();
        std::lock_guard<std::mutex> guard(reg.lock);
        reg.queues[self->id()] = queue;
        self->message_queue = std::move(queue);
    }
    if (!self->message_queue) {
        SetLastError(ERROR_INVALID_THREAD_ID);
    }
    return self->message_queue;
}

std::shared_ptr<MessageQueue> find_queue(DWORD thread_id) {
    QueueRegistry& reg = registry();
    std::lock_guard<std::mutex> guard(reg.lock);
    auto it = reg.queues.find(thread_id);
    return it == reg.queues.end() ? nullptr : it->second;
}

void end_thread_queue(ThreadObject& thread) {
    if (!thread.message_queue) {
        return;
    }
    QueueRegistry& reg = registry();
    {
        std::lock_guard<std::mutex> guard(reg.lock);
        auto it = reg.queues.find(thread.id());
        if (it != reg.queues.end() && it->second == thread.message_queue) {
            reg.queues.erase(it);
        }
    }
    thread.message_queue.reset();
}

}  // namespace winapi_internal

using namespace winapi_internal;

BOOL WINAPI PostThreadMessageW(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam) {
    std::shared_ptr<MessageQueue> queue = find_queue(threadId);
    if (!queue) {
        SetLastError(ERROR_INVALID_THREAD_ID);
        return FALSE;
    }
    return queue->post(MSG{nullptr, message, wParam, lParam, GetTickCount(), POINT{0, 0}}) ? TRUE : FALSE;
}

BOOL WINAPI PostMessageW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (hwnd) {
        // No windows exist yet.
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    std::shared_ptr<MessageQueue> queue = current_queue();
    return queue && queue->post(MSG{nullptr, message, wParam, lParam, GetTickCount(), POINT{0, 0}}) ? TRUE
                                                                                                    : FALSE;
}

void WINAPI PostQuitMessage(int exitCode) {
    if (std::shared_ptr<MessageQueue> queue = current_queue()) {
        queue->post_quit(exitCode);
    }
}

BOOL WINAPI PeekMessageW(LPMSG msg, HWND hwnd, UINT filterMin, UINT filterMax, UINT removeFlags) {
    std::shared_ptr<MessageQueue> queue = current_queue();
    if (!msg || !queue || !queue->take(msg, hwnd, filterMin, filterMax, removeFlags)) {
        return FALSE;
    }
    if (removeFlags & PM_REMOVE) {
        last_message_time = static_cast<LONG>(msg->time);
    }
    return TRUE;
}

BOOL WINAPI GetMessageW(LPMSG msg, HWND hwnd, UINT filterMin, UINT filterMax) {
    std::shared_ptr<MessageQueue> queue = current_queue();
    if (!msg || !queue) {
        if (!msg) {
            SetLastError(ERROR_INVALID_PARAMETER);
        }
        return -1;
    }
    QueueWait arrival{queue.get(), QS_ALLINPUT, false};
    while (!queue->take(msg, hwnd, filterMin, filterMax, PM_REMOVE)) {
        if (wait_for_objects(0, nullptr, INFINITE, false, &arrival) == WAIT_FAILED) {
            return -1;
        }
    }
    last_message_time = static_cast<LONG>(msg->time);
    return msg->message == WM_QUIT ? 0 : 1;
}

BOOL WINAPI TranslateMessage(const MSG* msg) {
    // Key messages, the only ones translated, arrive with the window half.
    return FALSE;
}

LRESULT WINAPI DispatchMessageW(const MSG* msg) {
    // Thread messages (hwnd NULL) have no window procedure to go to. Window procedures arrive with the window
    // half; until then no hwnd is valid.
    if (msg && msg->hwnd) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    }
    return 0;
}

LONG WINAPI GetMessageTime() {
    return last_message_time;
}

DWORD WINAPI MsgWaitForMultipleObjectsEx(DWORD count, const HANDLE* handles, DWORD milliseconds,
                                         DWORD wakeMask, DWORD flags) {
    if (count > MAXIMUM_WAIT_OBJECTS - 1 || (count > 0 && !handles)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    if (flags & MWMO_WAITALL) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return WAIT_FAILED;
    }
    std::shared_ptr<MessageQueue> queue = current_queue();
    if (!queue) {
        return WAIT_FAILED;
    }
    QueueWait input{queue.get(), wakeMask, (flags & MWMO_INPUTAVAILABLE) != 0};
    return wait_for_objects(count, handles, milliseconds, (flags & MWMO_ALERTABLE) != 0, &input);
}
