// Threads, asynchronous procedure calls, process identity and timer queues.
#pragma once

#include "winapi/wintypes.h"

#define CREATE_SUSPENDED 0x00000004
#define STILL_ACTIVE 259

#define THREAD_PRIORITY_IDLE (-15)
#define THREAD_PRIORITY_LOWEST (-2)
#define THREAD_PRIORITY_BELOW_NORMAL (-1)
#define THREAD_PRIORITY_NORMAL 0
#define THREAD_PRIORITY_ABOVE_NORMAL 1
#define THREAD_PRIORITY_HIGHEST 2
#define THREAD_PRIORITY_TIME_CRITICAL 15
#define THREAD_PRIORITY_ERROR_RETURN 0x7FFFFFFF

typedef DWORD(WINAPI* LPTHREAD_START_ROUTINE)(LPVOID parameter);
typedef void(CALLBACK* PAPCFUNC)(ULONG_PTR data);

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize,
                           LPTHREAD_START_ROUTINE startAddress, LPVOID parameter, DWORD creationFlags,
                           LPDWORD threadId);
DWORD WINAPI ResumeThread(HANDLE thread);
BOOL WINAPI GetExitCodeThread(HANDLE thread, LPDWORD exitCode);
HANDLE WINAPI GetCurrentThread();
DWORD WINAPI GetCurrentThreadId();
HANDLE WINAPI GetCurrentProcess();
DWORD WINAPI GetCurrentProcessId();
// Best effort: the value is kept and read back; the system scheduler follows it as far as it permits.
BOOL WINAPI SetThreadPriority(HANDLE thread, int priority);
int WINAPI GetThreadPriority(HANDLE thread);
// The routine runs on the target thread inside its next alertable wait.
DWORD WINAPI QueueUserAPC(PAPCFUNC routine, HANDLE thread, ULONG_PTR data);

// Timer queues. Callbacks of one queue run one after another on that queue's own thread.
#define WT_EXECUTEDEFAULT 0x00000000
#define WT_EXECUTEINIOTHREAD 0x00000001
#define WT_EXECUTEONLYONCE 0x00000008
#define WT_EXECUTELONGFUNCTION 0x00000010
#define WT_EXECUTEINTIMERTHREAD 0x00000020
#define WT_EXECUTEINPERSISTENTTHREAD 0x00000080
#define WT_TRANSFER_IMPERSONATION 0x00000100

typedef void(CALLBACK* WAITORTIMERCALLBACK)(PVOID parameter, BOOLEAN timerOrWaitFired);

HANDLE WINAPI CreateTimerQueue();
BOOL WINAPI CreateTimerQueueTimer(PHANDLE newTimer, HANDLE timerQueue, WAITORTIMERCALLBACK callback,
                                  PVOID parameter, DWORD dueTime, DWORD period, ULONG flags);
BOOL WINAPI DeleteTimerQueueTimer(HANDLE timerQueue, HANDLE timer, HANDLE completionEvent);
BOOL WINAPI DeleteTimerQueueEx(HANDLE timerQueue, HANDLE completionEvent);
BOOL WINAPI DeleteTimerQueue(HANDLE timerQueue);
