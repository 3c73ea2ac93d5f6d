// Posting and sending messages to windows, running sent messages on the receiving thread, window timers.
#include "message_queue.h"
#include "tick_clock.h"
#include "window_internal.h"
#include "window_remote.h"
#include "winapi/processthreadsapi.h"
#include "winapi/synchapi.h"
#include "winapi/sysinfoapi.h"

#include <atomic>
#include <cerrno>
#include <cstring>

#include <poll.h>

namespace winapi_internal {
namespace {

// Where a sender waits for the receiving thread's answer.
struct Reply {
    std::mutex lock;
    bool done = false;       // guarded by lock
    bool delivered = false;  // guarded by lock
    LRESULT result = 0;      // guarded by lock
    EventFd signal;
};

thread_local int serving_sent = 0;  // depth of messages from other threads being run now (InSendMessage)

std::shared_ptr<SentMessage> make_sent(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam,
                                       const std::shared_ptr<Reply>& reply) {
    auto sent = std::make_shared<SentMessage>();
    sent->hwnd = hwnd;
    sent->message = message;
    sent->wparam = wparam;
    sent->lparam = lparam;
    sent->done = [reply](bool delivered, LRESULT result) {
        std::lock_guard<std::mutex> guard(reply->lock);
        reply->done = true;
        reply->delivered = delivered;
        reply->result = result;
        reply->signal.set();
    };
    return sent;
}

// Queues the message on the owner thread and waits for it. False with the last error set when it did not run.
bool send_across_threads(const std::shared_ptr<WindowRecord>& window, std::shared_ptr<SentMessage> sent,
                         const std::shared_ptr<Reply>& reply, UINT flags, uint64_t deadline,
                         LRESULT* result) {
    if ((flags & SMTO_ABORTIFHUNG) && window->queue->hung()) {
        SetLastError(ERROR_TIMEOUT);
        return false;
    }
    if (!current_queue() || !window->queue->send(std::move(sent))) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return false;
    }
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(reply->lock);
            if (reply->done) {
                if (!reply->delivered) {
                    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
                    return false;
                }
                *result = reply->result;
                return true;
            }
        }
        if (!wait_serving(reply->signal.fd(), !(flags & SMTO_BLOCK), deadline)) {
            std::lock_guard<std::mutex> guard(reply->lock);
            if (!reply->done) {
                SetLastError(ERROR_TIMEOUT);
                return false;
            }
        }
    }
}

bool send_message(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam, UINT flags, UINT timeout_ms,
                  LRESULT* result) {
    *result = 0;
    if (hwnd && !is_local_window(hwnd)) {
        if (reinterpret_cast<uintptr_t>(hwnd) > UINT32_MAX || hwnd == HWND_BROADCAST) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return false;
        }
        return remote_send(hwnd, message, wparam, lparam, flags, timeout_ms, result);
    }
    std::shared_ptr<WindowRecord> window = find_window(hwnd);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return false;
    }
    if (window->thread_id == GetCurrentThreadId()) {
        *result = call_window_procedure(hwnd, message, wparam, lparam);
        return true;
    }
    auto reply = std::make_shared<Reply>();
    if (!reply->signal.valid()) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    std::shared_ptr<SentMessage> sent = make_sent(hwnd, message, wparam, lparam, reply);
    if (message == WM_COPYDATA) {
        auto* copy = reinterpret_cast<const COPYDATASTRUCT*>(lparam);
        if (!copy || (copy->cbData && !copy->lpData)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return false;
        }
        const auto* bytes = static_cast<const unsigned char*>(copy->lpData);
        sent->data.assign(bytes, bytes + copy->cbData);
        sent->copy = COPYDATASTRUCT{copy->dwData, copy->cbData, copy->cbData ? sent->data.data() : nullptr};
        sent->lparam = reinterpret_cast<LPARAM>(&sent->copy);
    }
    uint64_t deadline =
        timeout_ms == INFINITE ? UINT64_MAX : monotonic_ns() + static_cast<uint64_t>(timeout_ms) * 1000000u;
    return send_across_threads(window, std::move(sent), reply, flags, deadline, result);
}

}  // namespace

bool wait_serving(int fd, bool serve, uint64_t deadline_ns) {
    std::shared_ptr<MessageQueue> own = current_queue();
    for (;;) {
        if (serve && own && own->has_sent()) {
            own->run_sent();
        }
        pollfd fds[2] = {{fd, POLLIN, 0}, {serve && own ? own->wake_fd() : -1, POLLIN, 0}};
        int wait_ms = -1;
        if (deadline_ns != UINT64_MAX) {
            uint64_t now = monotonic_ns();
            if (now >= deadline_ns) {
                return false;
            }
            wait_ms = static_cast<int>(std::min<uint64_t>((deadline_ns - now + 999999) / 1000000, 1000000));
        }
        int ready = ::poll(fds, 2, wait_ms);
        if (ready < 0 && errno != EINTR) {
            return false;
        }
        if (ready > 0 && fds[0].revents) {
            return true;
        }
    }
}

void run_sent_message(SentMessage& sent) {
    if (sent.task) {
        sent.task();
        if (sent.done) {
            sent.done(true, 0);
        }
        return;
    }
    std::shared_ptr<WindowRecord> window = window_of_current_thread(sent.hwnd);
    if (!window) {
        if (sent.done) {
            sent.done(false, 0);
        }
        return;
    }
    ++serving_sent;
    LRESULT result = call_window_procedure(sent.hwnd, sent.message, sent.wparam, sent.lparam);
    --serving_sent;
    if (sent.done) {
        sent.done(true, result);
    }
}

LRESULT call_window_procedure(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    std::shared_ptr<WindowRecord> window = find_window(hwnd);
    if (!window) {
        return 0;
    }
    WNDPROC proc;
    {
        std::lock_guard<std::mutex> guard(window_lock());
        proc = window->proc;
    }
    return proc ? proc(hwnd, message, wparam, lparam) : 0;
}

LRESULT run_on_owner(const std::shared_ptr<WindowRecord>& window, std::function<LRESULT()> work) {
    if (window->thread_id == GetCurrentThreadId()) {
        return work();
    }
    auto reply = std::make_shared<Reply>();
    std::shared_ptr<SentMessage> sent = make_sent(window->hwnd, WM_NULL, 0, 0, reply);
    auto result = std::make_shared<LRESULT>(0);
    sent->task = [work, result] { *result = work(); };
    LRESULT ignored;
    if (!reply->signal.valid() ||
        !send_across_threads(window, std::move(sent), reply, 0, UINT64_MAX, &ignored)) {
        return 0;
    }
    return *result;
}

}  // namespace winapi_internal

using namespace winapi_internal;

BOOL WINAPI PostMessageW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COPYDATA) {
        SetLastError(ERROR_MESSAGE_SYNC_ONLY);
        return FALSE;
    }
    MSG msg{hwnd, message, wParam, lParam, GetTickCount(), POINT{0, 0}};
    if (!hwnd) {
        std::shared_ptr<MessageQueue> queue = current_queue();
        return queue && queue->post(msg) ? TRUE : FALSE;
    }
    if (hwnd == HWND_BROADCAST) {
        for (auto& window : top_level_windows()) {
            msg.hwnd = window->hwnd;
            window->queue->post(msg);
        }
        return TRUE;
    }
    if (!is_local_window(hwnd)) {
        if (reinterpret_cast<uintptr_t>(hwnd) > UINT32_MAX) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        return remote_post(hwnd, message, wParam, lParam) ? TRUE : FALSE;
    }
    std::shared_ptr<WindowRecord> window = find_window(hwnd);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return window->queue->post(msg) ? TRUE : FALSE;
}

LRESULT WINAPI SendMessageW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    LRESULT result;
    send_message(hwnd, message, wParam, lParam, SMTO_NORMAL, INFINITE, &result);
    return result;
}

LRESULT WINAPI SendMessageTimeoutW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT flags,
                                   UINT timeout, DWORD_PTR* result) {
    LRESULT value;
    bool ok = send_message(hwnd, message, wParam, lParam, flags, timeout, &value);
    if (result) {
        *result = ok ? static_cast<DWORD_PTR>(value) : 0;
    }
    return ok ? TRUE : FALSE;
}

BOOL WINAPI InSendMessage() {
    return serving_sent > 0 ? TRUE : FALSE;
}

UINT_PTR WINAPI SetTimer(HWND hwnd, UINT_PTR id, UINT elapse, TIMERPROC proc) {
    static std::atomic<UINT_PTR> next_thread_timer{0x7FF0};
    std::shared_ptr<MessageQueue> queue;
    if (hwnd) {
        std::shared_ptr<WindowRecord> window = find_window(hwnd);
        if (!window) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        if (window->thread_id != GetCurrentThreadId()) {
            SetLastError(ERROR_ACCESS_DENIED);
            return 0;
        }
        queue = window->queue;
    } else {
        queue = current_queue();
        if (!queue) {
            return 0;
        }
        id = next_thread_timer++;
    }
    elapse = std::max<UINT>(elapse, USER_TIMER_MINIMUM);
    elapse = std::min<UINT>(elapse, USER_TIMER_MAXIMUM);
    queue->set_timer(hwnd, id, elapse, proc);
    return hwnd ? (id ? id : 1) : id;
}

BOOL WINAPI KillTimer(HWND hwnd, UINT_PTR id) {
    std::shared_ptr<MessageQueue> queue;
    if (hwnd) {
        std::shared_ptr<WindowRecord> window = find_window(hwnd);
        if (!window) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        queue = window->queue;
    } else {
        queue = current_queue();
    }
    return queue && queue->kill_timer(hwnd, id) ? TRUE : FALSE;
}
