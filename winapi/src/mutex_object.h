// A Windows mutex: owned by one thread at a time, recursively, and abandoned when its owner ends.
// Named mutexes exist across processes (for "already exists"); ownership is tracked within this process.
#pragma once

#include "event_fd.h"
#include "kernel_object.h"
#include "named_objects.h"

#include <memory>
#include <mutex>

namespace winapi_internal {

class MutexObject : public KernelObject, public std::enable_shared_from_this<MutexObject> {
public:
    explicit MutexObject(std::unique_ptr<NameHold> name = nullptr) : name_(std::move(name)) {
        unowned_.set();
    }

    bool valid() const { return unowned_.valid(); }

    // Readable while nobody owns the mutex.
    int wait_fd() const override { return unowned_.fd(); }
    // Takes ownership for the calling thread, or counts one more recursion when it already owns it.
    AcquireResult try_acquire() override;

    // False (with ERROR_NOT_OWNER set) when the calling thread does not own the mutex.
    bool release();

    // The owner thread `thread_id` ended while holding the mutex.
    void abandon(DWORD thread_id);

private:
    std::mutex lock_;
    DWORD owner_ = 0;         // thread id; guarded by lock_
    uint32_t recursion_ = 0;  // guarded by lock_
    bool abandoned_ = false;  // guarded by lock_
    EventFd unowned_;         // set exactly while owner_ == 0; changed under lock_
    std::unique_ptr<NameHold> name_;
};

}  // namespace winapi_internal
