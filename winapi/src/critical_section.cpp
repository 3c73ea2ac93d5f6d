// Critical sections: a recursive futex lock kept entirely in the CRITICAL_SECTION record.
#include "thread_object.h"
#include "winapi/synchapi.h"

#include <climits>

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// LockCount: 0 free, 1 held, 2 held and someone may sleep on it.
constexpr LONG unlocked = 0;
constexpr LONG locked = 1;
constexpr LONG contended = 2;

void futex_wait(LONG volatile* word, LONG expected) {
    ::syscall(SYS_futex, word, FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}

void futex_wake_one(LONG volatile* word) {
    ::syscall(SYS_futex, word, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

HANDLE owner_value(DWORD thread_id) {
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(thread_id));
}

// Only the owner writes its own id, so a thread reading its own id back knows it owns the section.
bool owned_by(LPCRITICAL_SECTION section, DWORD thread_id) {
    return __atomic_load_n(&section->OwningThread, __ATOMIC_RELAXED) == owner_value(thread_id);
}

void set_owner(LPCRITICAL_SECTION section, DWORD thread_id) {
    __atomic_store_n(&section->OwningThread, owner_value(thread_id), __ATOMIC_RELAXED);
    section->RecursionCount = 1;
}

}  // namespace

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION section) {
    *section = CRITICAL_SECTION{};
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION section) {
    DWORD me = winapi_internal::current_thread_id();
    if (owned_by(section, me)) {
        ++section->RecursionCount;
        return;
    }
    LONG state = InterlockedCompareExchange(&section->LockCount, locked, unlocked);
    if (state != unlocked) {
        if (state != contended) {
            state = InterlockedExchange(&section->LockCount, contended);
        }
        while (state != unlocked) {
            futex_wait(&section->LockCount, contended);
            state = InterlockedExchange(&section->LockCount, contended);
        }
    }
    set_owner(section, me);
}

BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION section) {
    DWORD me = winapi_internal::current_thread_id();
    if (owned_by(section, me)) {
        ++section->RecursionCount;
        return TRUE;
    }
    if (InterlockedCompareExchange(&section->LockCount, locked, unlocked) != unlocked) {
        return FALSE;
    }
    set_owner(section, me);
    return TRUE;
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION section) {
    if (--section->RecursionCount > 0) {
        return;
    }
    __atomic_store_n(&section->OwningThread, nullptr, __ATOMIC_RELAXED);
    if (InterlockedExchange(&section->LockCount, unlocked) == contended) {
        futex_wake_one(&section->LockCount);
    }
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION section) {
    // Nothing is allocated; deleting an owned section is undefined on Windows too.
    *section = CRITICAL_SECTION{};
}
