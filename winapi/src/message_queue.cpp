// Thread message queues: posting, sent-message lists, timers and paint, retrieving, dispatching, and
// MsgWaitForMultipleObjectsEx.
#include "message_queue.h"

#include "thread_object.h"
#include "tick_clock.h"
#include "wait.h"
#include "window_internal.h"
#include "x11_connection.h"
#include "winapi/synchapi.h"
#include "winapi/sysinfoapi.h"

#include <algorithm>
#include <unordered_map>

namespace winapi_internal {
namespace {

constexpr DWORD posted_bits = QS_POSTMESSAGE | QS_ALLPOSTMESSAGE;
constexpr uint64_t hung_after_ns = 5000000000u;
const HWND thread_messages_only = reinterpret_cast<HWND>(static_cast<LONG_PTR>(-1));

struct QueueRegistry {
    std::mutex lock;
    std::unordered_map<DWORD, std::shared_ptr<MessageQueue>> queues;  // by thread id; guarded by lock
};

QueueRegistry& registry() {
    static QueueRegistry* instance = new QueueRegistry;  // never destroyed: detached threads may outlive main
    return *instance;
}

bool in_range(UINT message, UINT filter_min, UINT filter_max) {
    return (filter_min == 0 && filter_max == 0) || (message >= filter_min && message <= filter_max);
}

bool passes(const MSG& msg, HWND hwnd, UINT filter_min, UINT filter_max) {
    if (hwnd == thread_messages_only ? msg.hwnd != nullptr : hwnd && msg.hwnd != hwnd) {
        return false;
    }
    return in_range(msg.message, filter_min, filter_max);
}

DWORD input_bits(UINT message) {
    if (message >= WM_KEYFIRST && message <= WM_KEYLAST) {
        return QS_KEY;
    }
    if (message == WM_MOUSEMOVE) {
        return QS_MOUSEMOVE;
    }
    if (message > WM_MOUSEMOVE && message <= WM_MOUSELAST) {
        return QS_MOUSEBUTTON;
    }
    return 0;
}

MSG make_msg(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    return MSG{hwnd, message, wparam, lparam, GetTickCount(), POINT{0, 0}};
}

thread_local LONG last_message_time = 0;

}  // namespace

bool MessageQueue::post(const MSG& msg) {
    std::lock_guard<std::mutex> guard(lock_);
    if (msg.message == WM_MOUSEMOVE && !posted_.empty() && posted_.back().message == WM_MOUSEMOVE &&
        posted_.back().hwnd == msg.hwnd) {
        posted_.back() = msg;
    } else {
        if (posted_.size() >= max_posted) {
            SetLastError(ERROR_NOT_ENOUGH_QUOTA);
            return false;
        }
        posted_.push_back(msg);
        posted_ns_.push_back(monotonic_ns());
    }
    change_bits_ |= posted_bits | input_bits(msg.message);
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

bool MessageQueue::send(std::shared_ptr<SentMessage> sent) {
    std::lock_guard<std::mutex> guard(lock_);
    if (closed_) {
        return false;
    }
    sent->queued_ns = monotonic_ns();
    sent_.push_back(std::move(sent));
    change_bits_ |= QS_SENDMESSAGE;
    wake_.set();
    return true;
}

void MessageQueue::defer(const void* key, uint64_t when, std::function<void()> task) {
    std::lock_guard<std::mutex> guard(lock_);
    auto it =
        std::find_if(deferred_.begin(), deferred_.end(), [&](const Deferred& d) { return d.key == key; });
    if (it != deferred_.end()) {
        *it = Deferred{key, when, std::move(task)};
    } else {
        deferred_.push_back(Deferred{key, when, std::move(task)});
    }
    wake_.set();
}

void MessageQueue::release_deferred_locked(uint64_t now) {
    for (size_t i = 0; i < deferred_.size();) {
        if (deferred_[i].when <= now) {
            auto sent = std::make_shared<SentMessage>();
            sent->task = std::move(deferred_[i].task);
            sent->queued_ns = now;
            sent_.push_back(std::move(sent));
            change_bits_ |= QS_SENDMESSAGE;
            deferred_.erase(deferred_.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
            ++i;
        }
    }
}

bool MessageQueue::run_sent() {
    bool ran = false;
    for (;;) {
        std::shared_ptr<SentMessage> sent;
        {
            std::lock_guard<std::mutex> guard(lock_);
            release_deferred_locked(monotonic_ns());
            if (sent_.empty()) {
                return ran;
            }
            sent = std::move(sent_.front());
            sent_.pop_front();
        }
        run_sent_message(*sent);
        ran = true;
    }
}

bool MessageQueue::hung() const {
    std::lock_guard<std::mutex> guard(lock_);
    uint64_t oldest = UINT64_MAX;
    if (!sent_.empty()) {
        oldest = sent_.front()->queued_ns;
    }
    if (!posted_ns_.empty()) {
        oldest = std::min(oldest, posted_ns_.front());
    }
    return oldest != UINT64_MAX && monotonic_ns() - oldest > hung_after_ns;
}

bool MessageQueue::take(MSG* msg, HWND hwnd, UINT filter_min, UINT filter_max, UINT flags) {
    std::lock_guard<std::mutex> guard(lock_);
    // Looking at the queue marks its content as seen; only an unfiltered look clears QS_ALLPOSTMESSAGE.
    bool unfiltered = !hwnd && filter_min == 0 && filter_max == 0;
    change_bits_ &= unfiltered ? 0 : QS_ALLPOSTMESSAGE;
    // A message sent since the owner last served its sends is not seen by looking at posted messages: it
    // stays new, or the owner's next wait would sleep with it queued.
    if (!sent_.empty()) {
        change_bits_ |= QS_SENDMESSAGE;
    }

    DWORD kinds = flags >> 16;
    if (kinds == 0 || (kinds & (posted_bits | QS_INPUT))) {
        for (size_t i = 0; i < posted_.size(); ++i) {
            if (passes(posted_[i], hwnd, filter_min, filter_max)) {
                *msg = posted_[i];
                if (flags & PM_REMOVE) {
                    posted_.erase(posted_.begin() + static_cast<std::ptrdiff_t>(i));
                    posted_ns_.erase(posted_ns_.begin() + static_cast<std::ptrdiff_t>(i));
                }
                return true;
            }
        }
    }
    // WM_QUIT is not a queued entry: it comes when no posted message is left to return, whatever the filter.
    if (quit_) {
        *msg = make_msg(nullptr, WM_QUIT, static_cast<WPARAM>(quit_code_), 0);
        if (flags & PM_REMOVE) {
            quit_ = false;
        }
        return true;
    }
    if (hwnd == thread_messages_only) {
        return false;
    }
    if ((kinds == 0 || (kinds & QS_PAINT)) && in_range(WM_PAINT, filter_min, filter_max)) {
        for (const Paint& paint : paint_) {
            if (!hwnd || paint.hwnd == hwnd) {
                *msg = make_msg(paint.hwnd, WM_PAINT, 0, 0);
                return true;
            }
        }
    }
    if ((kinds == 0 || (kinds & QS_TIMER)) && in_range(WM_TIMER, filter_min, filter_max)) {
        uint64_t now = monotonic_ns();
        for (Timer& timer : timers_) {
            if (timer.due_ns <= now && (!hwnd || timer.hwnd == hwnd)) {
                *msg = make_msg(timer.hwnd, WM_TIMER, timer.id, reinterpret_cast<LPARAM>(timer.proc));
                if (flags & PM_REMOVE) {
                    // Expirations missed meanwhile merge into this one.
                    timer.due_ns = now + timer.interval_ns;
                    timer.reported = false;
                }
                return true;
            }
        }
    }
    return false;
}

void MessageQueue::set_timer(HWND hwnd, UINT_PTR id, UINT interval_ms, TIMERPROC proc) {
    uint64_t interval = static_cast<uint64_t>(interval_ms) * 1000000u;
    std::lock_guard<std::mutex> guard(lock_);
    Timer fresh{hwnd, id, interval, monotonic_ns() + interval, proc, false};
    auto it = std::find_if(timers_.begin(), timers_.end(),
                           [&](const Timer& t) { return t.hwnd == hwnd && t.id == id; });
    if (it != timers_.end()) {
        *it = fresh;
    } else {
        timers_.push_back(fresh);
    }
    // A waiting owner recomputes its wake-up time.
    wake_.set();
}

bool MessageQueue::kill_timer(HWND hwnd, UINT_PTR id) {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = std::find_if(timers_.begin(), timers_.end(),
                           [&](const Timer& t) { return t.hwnd == hwnd && t.id == id; });
    if (it == timers_.end()) {
        return false;
    }
    timers_.erase(it);
    return true;
}

uint64_t MessageQueue::next_timer_due() const {
    std::lock_guard<std::mutex> guard(lock_);
    uint64_t soonest = UINT64_MAX;
    for (const Timer& timer : timers_) {
        if (!timer.reported) {
            soonest = std::min(soonest, timer.due_ns);
        }
    }
    for (const Deferred& deferred : deferred_) {
        soonest = std::min(soonest, deferred.when);
    }
    return soonest;
}

void MessageQueue::invalidate(HWND hwnd, const RECT& rect, bool erase) {
    if (rect.left >= rect.right || rect.top >= rect.bottom) {
        return;
    }
    std::lock_guard<std::mutex> guard(lock_);
    for (Paint& paint : paint_) {
        if (paint.hwnd == hwnd) {
            paint.rect.left = std::min(paint.rect.left, rect.left);
            paint.rect.top = std::min(paint.rect.top, rect.top);
            paint.rect.right = std::max(paint.rect.right, rect.right);
            paint.rect.bottom = std::max(paint.rect.bottom, rect.bottom);
            paint.erase = paint.erase || erase;
            return;
        }
    }
    paint_.push_back(Paint{hwnd, rect, erase});
    change_bits_ |= QS_PAINT;
    wake_.set();
}

void MessageQueue::validate(HWND hwnd, const RECT* rect) {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = std::find_if(paint_.begin(), paint_.end(), [&](const Paint& p) { return p.hwnd == hwnd; });
    if (it == paint_.end()) {
        return;
    }
    // The region is one rectangle: validating part of it leaves it whole unless the part covers it.
    if (!rect || (rect->left <= it->rect.left && rect->top <= it->rect.top && rect->right >= it->rect.right &&
                  rect->bottom >= it->rect.bottom)) {
        paint_.erase(it);
    }
}

bool MessageQueue::update_rect(HWND hwnd, RECT* rect, bool* erase, bool take_erase) {
    std::lock_guard<std::mutex> guard(lock_);
    for (Paint& paint : paint_) {
        if (paint.hwnd == hwnd) {
            if (rect) {
                *rect = paint.rect;
            }
            if (erase) {
                *erase = paint.erase;
            }
            if (take_erase) {
                paint.erase = false;
            }
            return true;
        }
    }
    return false;
}

void MessageQueue::forget_window(HWND hwnd) {
    std::vector<std::shared_ptr<SentMessage>> failed;
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (size_t i = posted_.size(); i-- > 0;) {
            if (posted_[i].hwnd == hwnd) {
                posted_.erase(posted_.begin() + static_cast<std::ptrdiff_t>(i));
                posted_ns_.erase(posted_ns_.begin() + static_cast<std::ptrdiff_t>(i));
            }
        }
        timers_.erase(
            std::remove_if(timers_.begin(), timers_.end(), [&](const Timer& t) { return t.hwnd == hwnd; }),
            timers_.end());
        paint_.erase(
            std::remove_if(paint_.begin(), paint_.end(), [&](const Paint& p) { return p.hwnd == hwnd; }),
            paint_.end());
        for (size_t i = sent_.size(); i-- > 0;) {
            if (sent_[i]->hwnd == hwnd && !sent_[i]->task) {
                failed.push_back(std::move(sent_[i]));
                sent_.erase(sent_.begin() + static_cast<std::ptrdiff_t>(i));
            }
        }
    }
    for (auto& sent : failed) {
        if (sent->done) {
            sent->done(false, 0);
        }
    }
}

void MessageQueue::close() {
    std::deque<std::shared_ptr<SentMessage>> failed;
    {
        std::lock_guard<std::mutex> guard(lock_);
        closed_ = true;
        failed.swap(sent_);
        deferred_.clear();
        posted_.clear();
        posted_ns_.clear();
        timers_.clear();
        paint_.clear();
    }
    for (auto& sent : failed) {
        if (sent->done) {
            sent->done(false, 0);
        }
    }
}

void MessageQueue::note_due_timers_locked(uint64_t now) {
    for (Timer& timer : timers_) {
        if (!timer.reported && timer.due_ns <= now) {
            timer.reported = true;
            change_bits_ |= QS_TIMER;
        }
    }
}

bool MessageQueue::has_new_input(DWORD wake_mask, bool available_only) {
    std::lock_guard<std::mutex> guard(lock_);
    wake_.clear();
    uint64_t now = monotonic_ns();
    note_due_timers_locked(now);
    release_deferred_locked(now);
    return ((available_only ? status_locked() : change_bits_) & wake_mask) != 0;
}

bool MessageQueue::has_sent() {
    std::lock_guard<std::mutex> guard(lock_);
    wake_.clear();
    release_deferred_locked(monotonic_ns());
    return !sent_.empty();
}

DWORD MessageQueue::status_locked() const {
    DWORD status = 0;
    for (const MSG& msg : posted_) {
        status |= posted_bits | input_bits(msg.message);
    }
    if (quit_) {
        status |= posted_bits;
    }
    if (!sent_.empty()) {
        status |= QS_SENDMESSAGE;
    }
    if (!paint_.empty()) {
        status |= QS_PAINT;
    }
    uint64_t now = monotonic_ns();
    for (const Timer& timer : timers_) {
        if (timer.due_ns <= now) {
            status |= QS_TIMER;
        }
    }
    return status;
}

std::shared_ptr<MessageQueue> current_queue() {
    std::shared_ptr<ThreadObject> self = current_thread();
    if (!self->message_queue && !self->ended()) {
        auto queue = std::make_shared<MessageQueue>(self->id());
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
    forget_thread_windows(thread.id());
    thread.message_queue->close();
    thread.message_queue.reset();
}

}  // namespace winapi_internal

using namespace winapi_internal;

namespace {

// Sent messages first, and on the GUI thread whatever the X server sent, before the queue is looked at.
void serve_before_retrieval(MessageQueue& queue) {
    if (x11_is_gui_thread()) {
        x11_pump_events();
    }
    queue.run_sent();
}

void note_retrieved(const MSG& msg) {
    last_message_time = static_cast<LONG>(msg.time);
    note_retrieved_key(msg);
}

}  // namespace

BOOL WINAPI PostThreadMessageW(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam) {
    std::shared_ptr<MessageQueue> queue = find_queue(threadId);
    if (!queue) {
        SetLastError(ERROR_INVALID_THREAD_ID);
        return FALSE;
    }
    return queue->post(make_msg(nullptr, message, wParam, lParam)) ? TRUE : FALSE;
}

void WINAPI PostQuitMessage(int exitCode) {
    if (std::shared_ptr<MessageQueue> queue = current_queue()) {
        queue->post_quit(exitCode);
    }
}

BOOL WINAPI PeekMessageW(LPMSG msg, HWND hwnd, UINT filterMin, UINT filterMax, UINT removeFlags) {
    std::shared_ptr<MessageQueue> queue = current_queue();
    if (!msg || !queue) {
        return FALSE;
    }
    serve_before_retrieval(*queue);
    if (!queue->take(msg, hwnd, filterMin, filterMax, removeFlags)) {
        return FALSE;
    }
    if (removeFlags & PM_REMOVE) {
        note_retrieved(*msg);
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
    if (hwnd && hwnd != reinterpret_cast<HWND>(static_cast<LONG_PTR>(-1)) && !IsWindow(hwnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return -1;
    }
    QueueWait arrival{queue.get(), QS_ALLINPUT, false};
    for (;;) {
        serve_before_retrieval(*queue);
        if (queue->take(msg, hwnd, filterMin, filterMax, PM_REMOVE)) {
            break;
        }
        if (wait_for_objects(0, nullptr, INFINITE, false, &arrival) == WAIT_FAILED) {
            return -1;
        }
    }
    note_retrieved(*msg);
    return msg->message == WM_QUIT ? 0 : 1;
}

BOOL WINAPI WaitMessage() {
    std::shared_ptr<MessageQueue> queue = current_queue();
    if (!queue) {
        return FALSE;
    }
    QueueWait arrival{queue.get(), QS_ALLINPUT, false};
    return wait_for_objects(0, nullptr, INFINITE, false, &arrival) == WAIT_FAILED ? FALSE : TRUE;
}

BOOL WINAPI TranslateMessage(const MSG* msg) {
    // Characters are not produced: nothing the program reads comes from WM_CHAR.
    return msg && msg->message >= WM_KEYDOWN && msg->message <= WM_SYSKEYUP && msg->message != WM_CHAR &&
                   msg->message != WM_DEADCHAR
               ? TRUE
               : FALSE;
}

LRESULT WINAPI DispatchMessageW(const MSG* msg) {
    if (!msg) {
        return 0;
    }
    if (msg->message == WM_TIMER && msg->lParam) {
        reinterpret_cast<TIMERPROC>(msg->lParam)(msg->hwnd, WM_TIMER, msg->wParam, GetTickCount());
        return 0;
    }
    // Thread messages (hwnd NULL) have no window procedure to go to.
    if (!msg->hwnd) {
        return 0;
    }
    if (!window_of_current_thread(msg->hwnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return call_window_procedure(msg->hwnd, msg->message, msg->wParam, msg->lParam);
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
