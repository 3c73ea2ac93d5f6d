// CreateMutexW and ReleaseMutex.
#include "mutex_object.h"

#include "thread_object.h"
#include "winapi/synchapi.h"

namespace winapi_internal {

AcquireResult MutexObject::try_acquire() {
    DWORD me = current_thread_id();
    bool was_abandoned;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (owner_ == me) {
            ++recursion_;
            return AcquireResult::acquired;
        }
        if (owner_ != 0) {
            return AcquireResult::not_signalled;
        }
        owner_ = me;
        recursion_ = 1;
        unowned_.clear();
        was_abandoned = abandoned_;
        abandoned_ = false;
    }
    // The thread remembers what it owns so that its end can abandon it.
    current_thread()->owned_mutexes.push_back(weak_from_this());
    return was_abandoned ? AcquireResult::acquired_abandoned : AcquireResult::acquired;
}

bool MutexObject::release() {
    DWORD me = current_thread_id();
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (owner_ != me) {
            SetLastError(ERROR_NOT_OWNER);
            return false;
        }
        if (--recursion_ > 0) {
            return true;
        }
        owner_ = 0;
        unowned_.set();
    }
    auto& owned = current_thread()->owned_mutexes;
    for (auto it = owned.begin(); it != owned.end(); ++it) {
        if (it->lock().get() == this) {
            owned.erase(it);
            break;
        }
    }
    return true;
}

void MutexObject::abandon(DWORD thread_id) {
    std::lock_guard<std::mutex> guard(lock_);
    if (owner_ != thread_id) {
        return;
    }
    owner_ = 0;
    recursion_ = 0;
    abandoned_ = true;
    unowned_.set();
}

}  // namespace winapi_internal

using namespace winapi_internal;

HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCWSTR name) {
    std::shared_ptr<MutexObject> mutex;
    bool existed = false;
    if (name && name[0]) {
        auto make = [](NamedKind, bool, std::unique_ptr<NameHold> hold) -> std::shared_ptr<KernelObject> {
            auto created = std::make_shared<MutexObject>(std::move(hold));
            return created->valid() ? created : nullptr;
        };
        mutex = std::static_pointer_cast<MutexObject>(
            create_named_object(name, NamedKind::mutex, make, &existed));
    } else {
        mutex = std::make_shared<MutexObject>();
        if (!mutex->valid()) {
            SetLastError(ERROR_TOO_MANY_OPEN_FILES);
            mutex.reset();
        }
    }
    if (!mutex) {
        return nullptr;
    }
    if (initialOwner && !existed) {
        mutex->try_acquire();
    }
    HANDLE handle = handle_insert(mutex);
    if (handle) {
        SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    }
    return handle;
}

BOOL WINAPI ReleaseMutex(HANDLE handle) {
    std::shared_ptr<MutexObject> mutex = handle_lookup_as<MutexObject>(handle);
    return mutex && mutex->release() ? TRUE : FALSE;
}
