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

// Processes. A process is started from a command line: without an application name its first word names the
// program (a quoted first word, or else the shortest run of words up to a blank that names an executable
// file, as the Windows loader tries them); the remaining words, split at blanks, are its arguments.
// Backslashes in the program path and the current directory become slashes. A process started with
// CREATE_SUSPENDED waits before its program is loaded until ResumeThread on its main-thread handle. A process
// handle is signalled once the process has ended. Processes started here are reaped when they end.
#define PROCESS_TERMINATE 0x0001
#define PROCESS_QUERY_INFORMATION 0x0400
#define PROCESS_QUERY_LIMITED_INFORMATION 0x1000

typedef struct _STARTUPINFOW {
    DWORD cb;
    LPWSTR lpReserved;
    LPWSTR lpDesktop;
    LPWSTR lpTitle;
    DWORD dwX;
    DWORD dwY;
    DWORD dwXSize;
    DWORD dwYSize;
    DWORD dwXCountChars;
    DWORD dwYCountChars;
    DWORD dwFillAttribute;
    DWORD dwFlags;
    WORD wShowWindow;
    WORD cbReserved2;
    BYTE* lpReserved2;
    HANDLE hStdInput;
    HANDLE hStdOutput;
    HANDLE hStdError;
} STARTUPINFOW, *LPSTARTUPINFOW;

typedef struct _PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
} PROCESS_INFORMATION, *LPPROCESS_INFORMATION;

// Only the application name, the command line, CREATE_SUSPENDED, the current directory and the result are
// used; the child inherits no handles.
BOOL WINAPI CreateProcessW(LPCWSTR applicationName, LPWSTR commandLine,
                           LPSECURITY_ATTRIBUTES processAttributes, LPSECURITY_ATTRIBUTES threadAttributes,
                           BOOL inheritHandles, DWORD creationFlags, LPVOID environment,
                           LPCWSTR currentDirectory, LPSTARTUPINFOW startupInfo,
                           LPPROCESS_INFORMATION processInformation);
// Any process of the user; ERROR_INVALID_PARAMETER when no process has that id.
HANDLE WINAPI OpenProcess(DWORD desiredAccess, BOOL inheritHandle, DWORD processId);
// Kills the process (its exit code is not kept).
BOOL WINAPI TerminateProcess(HANDLE process, UINT exitCode);

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
