#pragma once

#include "winapi/windows.h"

// Reference-counted base: a new object has count 1, owned by its creator, and deletes itself when
// Release brings the count to 0. AddRef and Release may come from any thread.
class baseobj {
public:
    baseobj();

    baseobj(const baseobj&) = delete;
    baseobj& operator=(const baseobj&) = delete;

    virtual LONG AddRef();
    virtual LONG Release();
    virtual LONG GetRefCount();

protected:
    virtual ~baseobj() = default;

private:
    volatile LONG _ref_count;
};

class BaseMutex : public baseobj {
public:
    virtual int Lock() = 0;
    virtual int TryLock() = 0;
    virtual int Unlock() = 0;
};

// A BaseMutex over an unnamed Win32 mutex.
class MutexMutex : public BaseMutex {
public:
    // Throws Exception when the Win32 mutex cannot be created.
    MutexMutex();

    // Returns 1 once the mutex is held; a failed wait aborts the process, as no caller could go on safely.
    int Lock() override;
    // 1 when the mutex was taken, 0 when another thread holds it.
    int TryLock() override;
    int Unlock() override;

protected:
    ~MutexMutex() override;

private:
    HANDLE _mutex;
};

// Scope holder of a BaseMutex: keeps a reference to it and holds it until the scope ends.
class AutoLock : public baseobj {
public:
    explicit AutoLock(BaseMutex* mutex);
    ~AutoLock() override;

private:
    BaseMutex* _mutex;
};
