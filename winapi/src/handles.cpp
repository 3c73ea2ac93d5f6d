// The handle table, the pseudo handles, CloseHandle, DuplicateHandle and the thread's last error.
#include "kernel_object.h"

#include "event_fd.h"
#include "thread_object.h"

#include <mutex>
#include <unordered_map>

namespace winapi_internal {
namespace {

const HANDLE current_process_pseudo = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));
const HANDLE current_thread_pseudo = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2));

// Handle values are multiples of 4, as on Windows, and stay below 2^31 so that they survive 32-bit fields.
// Values are handed out in increasing order before any is reused, so a stale handle rarely names a new
// object.
constexpr uint32_t handle_step = 4;
constexpr uint32_t handle_limit = 0x7FFFFFFCu;

class HandleTable {
public:
    HANDLE insert(std::shared_ptr<KernelObject> object) {
        std::lock_guard<std::mutex> guard(lock_);
        if (objects_.size() >= (handle_limit / handle_step) - 1) {
            return nullptr;
        }
        do {
            next_ = next_ >= handle_limit ? handle_step : next_ + handle_step;
        } while (objects_.count(next_) != 0);
        objects_.emplace(next_, std::move(object));
        return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(next_));
    }

    std::shared_ptr<KernelObject> find(HANDLE handle) {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = objects_.find(key(handle));
        return it == objects_.end() ? nullptr : it->second;
    }

    std::shared_ptr<KernelObject> remove(HANDLE handle) {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = objects_.find(key(handle));
        if (it == objects_.end()) {
            return nullptr;
        }
        std::shared_ptr<KernelObject> object = std::move(it->second);
        objects_.erase(it);
        return object;
    }

private:
    static uint32_t key(HANDLE handle) {
        uintptr_t value = reinterpret_cast<uintptr_t>(handle);
        return value > handle_limit ? 0 : static_cast<uint32_t>(value);  // 0 is never in the table
    }

    std::mutex lock_;
    std::unordered_map<uint32_t, std::shared_ptr<KernelObject>> objects_;  // guarded by lock_
    uint32_t next_ = 0;                                                    // guarded by lock_
};

HandleTable& table() {
    static HandleTable* instance = new HandleTable;  // never destroyed: detached threads may outlive main
    return *instance;
}

// This process as a waitable object: its descriptor is never readable while the process runs.
class CurrentProcessObject : public KernelObject {
public:
    int wait_fd() const override { return never_.fd(); }

private:
    EventFd never_;
};

std::shared_ptr<KernelObject> current_process_object() {
    static std::shared_ptr<KernelObject>* instance =
        new std::shared_ptr<KernelObject>(std::make_shared<CurrentProcessObject>());
    return *instance;
}

// True for a handle to this process; false, with the last error set, for anything else.
bool names_current_process(HANDLE handle) {
    if (handle == current_process_pseudo) {
        return true;
    }
    std::shared_ptr<KernelObject> object = handle_lookup(handle);
    if (!object) {
        return false;
    }
    if (!dynamic_cast<CurrentProcessObject*>(object.get())) {
        SetLastError(ERROR_NOT_SUPPORTED);  // handles are duplicated within this process only
        return false;
    }
    return true;
}

thread_local DWORD last_error = 0;

}  // namespace

HANDLE handle_insert(std::shared_ptr<KernelObject> object) {
    HANDLE handle = table().insert(std::move(object));
    if (!handle) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return handle;
}

std::shared_ptr<KernelObject> handle_lookup(HANDLE handle) {
    if (handle == current_process_pseudo) {
        return current_process_object();
    }
    if (handle == current_thread_pseudo) {
        return current_thread();
    }
    std::shared_ptr<KernelObject> object = table().find(handle);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
    }
    return object;
}

bool handle_remove(HANDLE handle) {
    std::shared_ptr<KernelObject> object = table().remove(handle);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    // Outside the table's lock: closing may release the last reference and run the object's own teardown.
    object->on_handle_closed();
    return true;
}

}  // namespace winapi_internal

using namespace winapi_internal;

DWORD WINAPI GetLastError() {
    return last_error;
}

void WINAPI SetLastError(DWORD code) {
    last_error = code;
}

BOOL WINAPI CloseHandle(HANDLE object) {
    if (object == current_process_pseudo || object == current_thread_pseudo) {
        return TRUE;
    }
    return handle_remove(object) ? TRUE : FALSE;
}

BOOL WINAPI DuplicateHandle(HANDLE sourceProcess, HANDLE sourceHandle, HANDLE targetProcess,
                            LPHANDLE targetHandle, DWORD desiredAccess, BOOL inheritHandle, DWORD options) {
    if (!names_current_process(sourceProcess) || !names_current_process(targetProcess)) {
        return FALSE;
    }
    std::shared_ptr<KernelObject> object = handle_lookup(sourceHandle);
    if (!object) {
        return FALSE;
    }
    if (options & DUPLICATE_CLOSE_SOURCE) {
        CloseHandle(sourceHandle);
    }
    if (!targetHandle) {
        // Windows allows this to close the source without a new handle.
        if (options & DUPLICATE_CLOSE_SOURCE) {
            return TRUE;
        }
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    HANDLE handle = handle_insert(std::move(object));
    *targetHandle = handle;
    return handle ? TRUE : FALSE;
}
