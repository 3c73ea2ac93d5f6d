#include "runtime/base_mutex.h"

#include <cstdlib>

#include "runtime/exception.h"
#include "runtime/log.h"

baseobj::baseobj() : _ref_count(0) {
    InterlockedIncrement(&_ref_count);
}

LONG baseobj::AddRef() {
    return InterlockedIncrement(&_ref_count);
}

LONG baseobj::Release() {
    LONG count = InterlockedDecrement(&_ref_count);
    if (count == 0) {
        delete this;
    }
    return count;
}

LONG baseobj::GetRefCount() {
    return _ref_count;
}

MutexMutex::MutexMutex() : _mutex(CreateMutexW(nullptr, FALSE, nullptr)) {
    if (!_mutex) {
        THROW("CreateMutexW failed %u", static_cast<unsigned>(GetLastError()));
    }
}

MutexMutex::~MutexMutex() {
    CloseHandle(_mutex);
}

int MutexMutex::Lock() {
    DWORD result = WaitForSingleObject(_mutex, INFINITE);
    // An abandoned mutex is owned by the caller all the same.
    if (result != WAIT_OBJECT_0 && result != WAIT_ABANDONED) {
        LOG_FATAL("wait for mutex failed %u", static_cast<unsigned>(GetLastError()));
        abort();
    }
    return 1;
}

int MutexMutex::TryLock() {
    DWORD result = WaitForSingleObject(_mutex, 0);
    return result == WAIT_OBJECT_0 || result == WAIT_ABANDONED ? 1 : 0;
}

int MutexMutex::Unlock() {
    return ReleaseMutex(_mutex);
}

AutoLock::AutoLock(BaseMutex* mutex) : _mutex(mutex) {
    _mutex->AddRef();
    _mutex->Lock();
}

AutoLock::~AutoLock() {
    _mutex->Unlock();
    _mutex->Release();
}
