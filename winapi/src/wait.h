// The one wait of the layer: poll() over the objects' descriptors, then the acquire step.
#pragma once

#include "winapi/wintypes.h"

namespace winapi_internal {

class MessageQueue;

struct QueueWait {
    MessageQueue* queue;
    DWORD wake_mask;
    bool available_only;  // MWMO_INPUTAVAILABLE: input already seen counts too
};

// Waits for any of the handles (the lowest signalled index wins and only that object is consumed), for queue
// input when `queue` is given, or for APCs when alertable. Returns WAIT_OBJECT_0 + i, WAIT_ABANDONED_0 + i,
// WAIT_OBJECT_0 + count for the queue, WAIT_IO_COMPLETION after running APCs, WAIT_TIMEOUT, or WAIT_FAILED
// with the last error set. The caller has checked count and handles.
DWORD wait_for_objects(DWORD count, const HANDLE* handles, DWORD milliseconds, bool alertable,
                       const QueueWait* queue);

}  // namespace winapi_internal
