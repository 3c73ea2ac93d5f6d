// Named events and mutexes across processes.
//
// A name lives in the user's runtime folder (runtime_folder.h), under objects/:
//   <key>.obj   the companion file: records the object's kind; every process that has the object open holds
//               a shared flock on it, so the name exists exactly while some live process holds such a lock
//               (a file left by a process that died does not count);
//   <key>.fifo  events only: a FIFO every holder keeps open read-write; bytes in its buffer are the
//               signalled state, shared by all processes.
// Creating, opening and dropping a name take an exclusive flock on objects/.lock, so no process sees a name
// half made. Within a process one object serves every handle to a name.
#pragma once

#include "kernel_object.h"
#include "event_fd.h"

#include <functional>
#include <memory>
#include <string>

namespace winapi_internal {

enum class NamedKind : char {
    auto_event = 'a',
    manual_event = 'm',
    mutex = 'x',
};

// This process's hold on a name. Dropping it releases the lock and removes the files once no process
// holds the name.
class NameHold {
public:
    NameHold(std::string base_path, UniqueFd companion, UniqueFd fifo);
    ~NameHold();
    NameHold(const NameHold&) = delete;
    NameHold& operator=(const NameHold&) = delete;

    // Events: the FIFO whose buffered bytes are the signalled state. -1 for mutexes.
    int signal_fd() const { return fifo_.get(); }

private:
    std::string base_path_;  // objects/<key>, without the suffixes
    UniqueFd companion_;
    UniqueFd fifo_;
};

// Builds the in-process object for a name: `kind` is the kind recorded for the name (for an existing event it
// may differ from the one asked for), `created` tells whether this call made the name.
using NamedObjectFactory = std::function<std::shared_ptr<KernelObject>(NamedKind kind, bool created,
                                                                       std::unique_ptr<NameHold> hold)>;

// CreateEvent/CreateMutex with a non-empty name: the live object of that name (*existed = true) or a new one.
// Null with the last error set on failure; ERROR_INVALID_HANDLE when the name belongs to another type.
std::shared_ptr<KernelObject> create_named_object(LPCWSTR name, NamedKind kind,
                                                  const NamedObjectFactory& make, bool* existed);

// OpenEvent: the live object of that name, or null with ERROR_FILE_NOT_FOUND (no such name) or
// ERROR_INVALID_HANDLE (another type) set.
std::shared_ptr<KernelObject> open_named_object(LPCWSTR name, NamedKind kind, const NamedObjectFactory& make);

}  // namespace winapi_internal
