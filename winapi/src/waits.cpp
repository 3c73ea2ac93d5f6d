// WaitForSingleObject(Ex), WaitForMultipleObjects(Ex), Sleep, SleepEx, SwitchToThread.
#include "wait.h"

#include "kernel_object.h"
#include "message_queue.h"
#include "thread_object.h"
#include "tick_clock.h"
#include "x11_connection.h"
#include "winapi/synchapi.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <memory>
#include <vector>

#include <poll.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

namespace winapi_internal {

DWORD wait_for_objects(DWORD count, const HANDLE* handles, DWORD milliseconds, bool alertable,
                       const QueueWait* queue) {
    // References taken up front keep every object alive through the wait, even if another thread closes a
    // handle meanwhile.
    std::vector<std::shared_ptr<KernelObject>> objects;
    std::vector<pollfd> fds;
    objects.reserve(count);
    fds.reserve(count + 2);
    for (DWORD i = 0; i < count; ++i) {
        std::shared_ptr<KernelObject> object = handle_lookup(handles[i]);
        if (!object) {
            return WAIT_FAILED;
        }
        if (object->wait_fd() < 0) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        for (DWORD j = 0; j < i; ++j) {
            if (handles[j] == handles[i]) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return WAIT_FAILED;
            }
        }
        fds.push_back(pollfd{object->wait_fd(), POLLIN, 0});
        objects.push_back(std::move(object));
    }
    std::shared_ptr<ThreadObject> self;
    if (alertable) {
        self = current_thread();
        fds.push_back(pollfd{self->apc_fd(), POLLIN, 0});
    }
    bool with_x = false;
    if (queue) {
        fds.push_back(pollfd{queue->queue->wake_fd(), POLLIN, 0});
        // The GUI thread's queue also fills from the X connection; Xlib may already hold events it read.
        with_x = x11_is_gui_thread();
        if (with_x) {
            fds.push_back(pollfd{x11_connection_fd(), POLLIN, 0});
        }
    }

    const bool forever = milliseconds == INFINITE;
    const uint64_t deadline = monotonic_ns() + static_cast<uint64_t>(milliseconds) * 1000000u;
    for (;;) {
        // Every pass tries each object in index order, not only those poll() reported: a mutex is signalled
        // for the thread that owns it although its descriptor says "owned".
        for (DWORD i = 0; i < count; ++i) {
            switch (objects[i]->try_acquire()) {
                case AcquireResult::acquired:
                    return WAIT_OBJECT_0 + i;
                case AcquireResult::acquired_abandoned:
                    return WAIT_ABANDONED_0 + i;
                case AcquireResult::not_signalled:
                    break;
            }
        }
        if (self && self->run_apcs()) {
            return WAIT_IO_COMPLETION;
        }
        uint64_t wake_at = forever ? UINT64_MAX : deadline;
        if (queue) {
            if (with_x) {
                x11_pump_events();
            }
            if (queue->queue->has_new_input(queue->wake_mask, queue->available_only)) {
                return WAIT_OBJECT_0 + count;
            }
            // A window timer falling due is queue input too.
            wake_at = std::min(wake_at, queue->queue->next_timer_due());
        }

        timespec remaining{};
        uint64_t now = monotonic_ns();
        if (!forever && now >= deadline) {
            return WAIT_TIMEOUT;
        }
        if (wake_at != UINT64_MAX) {
            uint64_t left = wake_at > now ? wake_at - now : 0;
            remaining.tv_sec = static_cast<time_t>(left / 1000000000u);
            remaining.tv_nsec = static_cast<long>(left % 1000000000u);
        }
        if (::ppoll(fds.data(), fds.size(), wake_at == UINT64_MAX ? nullptr : &remaining, nullptr) < 0 &&
            errno != EINTR) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return WAIT_FAILED;
        }
    }
}

}  // namespace winapi_internal

using namespace winapi_internal;

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    return wait_for_objects(1, &handle, milliseconds, false, nullptr);
}

DWORD WINAPI WaitForSingleObjectEx(HANDLE handle, DWORD milliseconds, BOOL alertable) {
    return wait_for_objects(1, &handle, milliseconds, alertable != FALSE, nullptr);
}

DWORD WINAPI WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
    return WaitForMultipleObjectsEx(count, handles, waitAll, milliseconds, FALSE);
}

DWORD WINAPI WaitForMultipleObjectsEx(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds,
                                      BOOL alertable) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || !handles) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    if (waitAll) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return WAIT_FAILED;
    }
    return wait_for_objects(count, handles, milliseconds, alertable != FALSE, nullptr);
}

void WINAPI Sleep(DWORD milliseconds) {
    if (milliseconds == 0) {
        ::sched_yield();
        return;
    }
    SleepEx(milliseconds, FALSE);
}

DWORD WINAPI SleepEx(DWORD milliseconds, BOOL alertable) {
    if (alertable) {
        return wait_for_objects(0, nullptr, milliseconds, true, nullptr) == WAIT_IO_COMPLETION
                   ? WAIT_IO_COMPLETION
                   : 0;
    }
    if (milliseconds == 0) {
        ::sched_yield();
        return 0;
    }
    if (milliseconds == INFINITE) {
        for (;;) {
            ::pause();
        }
    }
    uint64_t deadline = monotonic_ns() + static_cast<uint64_t>(milliseconds) * 1000000u;
    timespec until{static_cast<time_t>(deadline / 1000000000u), static_cast<long>(deadline % 1000000000u)};
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
    return 0;
}

BOOL WINAPI SwitchToThread() {
    // sched_yield cannot tell whether another thread ran; report that one may have.
    return ::sched_yield() == 0 ? TRUE : FALSE;
}
