// Kernel objects behind HANDLE values, and the handle table.
//
// Every waitable object exposes one file descriptor that poll() reports readable while the object may be
// signalled; a wait polls those descriptors and then runs the object's acquire step, which restores the
// Windows rules (an auto-reset event is consumed by exactly one waiter, a mutex is taken by one owner).
// Objects that cannot be waited on (files, for instance) return -1 from wait_fd().
//
// A waiter runs try_acquire() before every poll(), not only after the descriptor turned readable, so an
// object may be signalled for one thread and not for another (a mutex its waiter already owns).
#pragma once

#include "winapi/wintypes.h"

#include <memory>

namespace winapi_internal {

enum class AcquireResult {
    not_signalled,
    acquired,
    acquired_abandoned,  // a mutex whose owner thread ended while holding it
};

class KernelObject {
public:
    virtual ~KernelObject() = default;

    // Descriptor that poll() reports readable (POLLIN) while the object may be signalled; -1 if not waitable.
    virtual int wait_fd() const { return -1; }

    // The acquire step, run after poll(): true when signalled, consuming the signal where Windows does.
    virtual AcquireResult try_acquire() { return AcquireResult::not_signalled; }

    // Called when a handle to the object is closed (the object itself may live on in other handles).
    virtual void on_handle_closed() {}
};

// Adds the object to the handle table; the handle keeps a reference until CloseHandle. Returns NULL (with
// ERROR_NOT_ENOUGH_MEMORY set) only when the table is full.
HANDLE handle_insert(std::shared_ptr<KernelObject> object);

// The object behind a handle, or null (with ERROR_INVALID_HANDLE set) for an unknown handle.
// The pseudo handles resolve too: GetCurrentProcess() to this process, GetCurrentThread() to the caller.
std::shared_ptr<KernelObject> handle_lookup(HANDLE handle);

// As handle_lookup, also null (with ERROR_INVALID_HANDLE set) when the object is of another type.
template <class T>
std::shared_ptr<T> handle_lookup_as(HANDLE handle) {
    std::shared_ptr<KernelObject> object = handle_lookup(handle);
    std::shared_ptr<T> typed = std::dynamic_pointer_cast<T>(object);
    if (object && !typed) {
        SetLastError(ERROR_INVALID_HANDLE);
    }
    return typed;
}

// Removes the handle from the table; false (with ERROR_INVALID_HANDLE set) for an unknown handle.
bool handle_remove(HANDLE handle);

}  // namespace winapi_internal
