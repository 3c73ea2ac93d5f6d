// The kernel objects of another process: the process itself (signalled once it has ended) and the main
// thread of a process started suspended (resumed once, before its program is loaded).
#pragma once

#include "event_fd.h"
#include "kernel_object.h"

#include <mutex>
#include <sys/types.h>

namespace winapi_internal {

class ProcessObject : public KernelObject {
public:
    // pidfd: a process descriptor of pid, owned from now on.
    ProcessObject(pid_t pid, UniqueFd pidfd) : pid_(pid), pidfd_(std::move(pidfd)) {}

    int wait_fd() const override { return pidfd_.get(); }
    AcquireResult try_acquire() override;

    pid_t pid() const { return pid_; }
    // Kills the process; false with the last error set when it cannot be signalled.
    bool terminate();

private:
    pid_t pid_;
    UniqueFd pidfd_;
};

// The start gate of a suspended process: the child waits on a pipe until a byte arrives (or the pipe
// closes, which ends the child unstarted).
class ProcessMainThread : public KernelObject {
public:
    ProcessMainThread(DWORD id, UniqueFd gate) : id_(id), gate_(std::move(gate)), suspended_(gate_.valid()) {}
    // The previous suspend count: 1 the first time, 0 after.
    DWORD resume();
    DWORD id() const { return id_; }

private:
    DWORD id_;
    std::mutex lock_;
    UniqueFd gate_;   // lock_
    bool suspended_;  // lock_
};

}  // namespace winapi_internal
