// CreateThread and the thread functions of processthreadsapi.h.
#include "process_object.h"
#include "thread_object.h"

#include <climits>
#include <memory>

#include <pthread.h>
#include <unistd.h>

namespace winapi_internal {
namespace {

struct ThreadStart {
    std::shared_ptr<ThreadObject> self;
    LPTHREAD_START_ROUTINE routine;
    LPVOID parameter;
};

void* thread_main(void* argument) {
    std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(argument));
    std::shared_ptr<ThreadObject> self = start->self;
    adopt_current_thread(self);
    self->wait_until_resumed();
    DWORD exit_code = start->routine(start->parameter);
    self->end(exit_code);
    return nullptr;
}

bool valid_priority(int priority) {
    switch (priority) {
        case THREAD_PRIORITY_IDLE:
        case THREAD_PRIORITY_LOWEST:
        case THREAD_PRIORITY_BELOW_NORMAL:
        case THREAD_PRIORITY_NORMAL:
        case THREAD_PRIORITY_ABOVE_NORMAL:
        case THREAD_PRIORITY_HIGHEST:
        case THREAD_PRIORITY_TIME_CRITICAL:
            return true;
        default:
            return false;
    }
}

}  // namespace
}  // namespace winapi_internal

using namespace winapi_internal;

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize,
                           LPTHREAD_START_ROUTINE startAddress, LPVOID parameter, DWORD creationFlags,
                           LPDWORD threadId) {
    if (!startAddress) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto self = std::make_shared<ThreadObject>((creationFlags & CREATE_SUSPENDED) ? 1 : 0);
    if (!self->valid()) {
        SetLastError(ERROR_TOO_MANY_OPEN_FILES);
        return nullptr;
    }
    HANDLE handle = handle_insert(self);
    if (!handle) {
        return nullptr;
    }

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (stackSize > 0) {
        // Windows rounds the size up; too small a size is raised to the system's minimum.
        size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
        size_t minimum = static_cast<size_t>(PTHREAD_STACK_MIN);
        size_t size = stackSize < minimum ? minimum : stackSize;
        pthread_attr_setstacksize(&attr, (size + page - 1) / page * page);
    }
    auto* start = new ThreadStart{self, startAddress, parameter};
    pthread_t thread;
    int error = pthread_create(&thread, &attr, thread_main, start);
    pthread_attr_destroy(&attr);
    if (error != 0) {
        delete start;
        handle_remove(handle);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    // The id is the new thread's kernel id, which only that thread can read.
    DWORD id = self->wait_for_id();
    if (threadId) {
        *threadId = id;
    }
    return handle;
}

DWORD WINAPI ResumeThread(HANDLE thread) {
    std::shared_ptr<KernelObject> object = handle_lookup(thread);
    if (!object) {
        return static_cast<DWORD>(-1);
    }
    if (auto own = std::dynamic_pointer_cast<ThreadObject>(object)) {
        return own->resume();
    }
    if (auto started = std::dynamic_pointer_cast<ProcessMainThread>(object)) {
        return started->resume();  // the main thread of a process started suspended
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return static_cast<DWORD>(-1);
}

BOOL WINAPI GetExitCodeThread(HANDLE thread, LPDWORD exitCode) {
    std::shared_ptr<ThreadObject> object = handle_lookup_as<ThreadObject>(thread);
    if (!object) {
        return FALSE;
    }
    if (!exitCode) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *exitCode = object->exit_code();
    return TRUE;
}

HANDLE WINAPI GetCurrentThread() {
    return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2));
}

DWORD WINAPI GetCurrentThreadId() {
    return current_thread_id();
}

HANDLE WINAPI GetCurrentProcess() {
    return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));
}

DWORD WINAPI GetCurrentProcessId() {
    return static_cast<DWORD>(::getpid());
}

BOOL WINAPI SetThreadPriority(HANDLE thread, int priority) {
    if (!valid_priority(priority)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::shared_ptr<ThreadObject> object = handle_lookup_as<ThreadObject>(thread);
    if (!object) {
        return FALSE;
    }
    object->set_priority(priority);
    return TRUE;
}

int WINAPI GetThreadPriority(HANDLE thread) {
    std::shared_ptr<ThreadObject> object = handle_lookup_as<ThreadObject>(thread);
    return object ? object->priority() : THREAD_PRIORITY_ERROR_RETURN;
}

DWORD WINAPI QueueUserAPC(PAPCFUNC routine, HANDLE thread, ULONG_PTR data) {
    if (!routine) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::shared_ptr<ThreadObject> object = handle_lookup_as<ThreadObject>(thread);
    if (!object) {
        return 0;
    }
    if (!object->queue_apc(routine, data)) {
        SetLastError(ERROR_INVALID_HANDLE);  // the thread has ended
        return 0;
    }
    return 1;
}
