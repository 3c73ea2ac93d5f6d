// Overlapped I/O: results and cancellation.
//
// OVERLAPPED.Internal holds STATUS_PENDING while an operation is in flight and its outcome afterwards;
// InternalHigh holds the bytes transferred. Both are written by the layer only.
#pragma once

#include "winapi/fileapi.h"
#include "winapi/wintypes.h"

#define STATUS_PENDING ((DWORD)0x00000103)

#define HasOverlappedIoCompleted(overlapped) \
    (__atomic_load_n(&(overlapped)->Internal, __ATOMIC_ACQUIRE) != (ULONG_PTR)STATUS_PENDING)

// The outcome of the last operation started with `overlapped`: TRUE, or FALSE with that operation's error
// (ERROR_MORE_DATA, ERROR_BROKEN_PIPE, ERROR_OPERATION_ABORTED ...). While it is pending: ERROR_IO_INCOMPLETE
// when wait is FALSE; with wait TRUE, blocks until it completes (without consuming the OVERLAPPED's event).
BOOL WINAPI GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD bytesTransferred, BOOL wait);
// Completes the operations the calling thread started on the handle with ERROR_OPERATION_ABORTED and sets
// their events; the layer touches none of their buffers afterwards.
BOOL WINAPI CancelIo(HANDLE file);
