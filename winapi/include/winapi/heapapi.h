// The process heap. There is one heap: every call takes the handle GetProcessHeap returns.
#pragma once

#include "winapi/wintypes.h"

#define HEAP_NO_SERIALIZE 0x00000001
#define HEAP_GENERATE_EXCEPTIONS 0x00000004
#define HEAP_ZERO_MEMORY 0x00000008
#define HEAP_REALLOC_IN_PLACE_ONLY 0x00000010

HANDLE WINAPI GetProcessHeap();
LPVOID WINAPI HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes);
// With HEAP_ZERO_MEMORY the bytes added by growing are zero.
LPVOID WINAPI HeapReAlloc(HANDLE heap, DWORD flags, LPVOID memory, SIZE_T bytes);
BOOL WINAPI HeapFree(HANDLE heap, DWORD flags, LPVOID memory);
// The size asked for, or (SIZE_T)-1 on failure.
SIZE_T WINAPI HeapSize(HANDLE heap, DWORD flags, LPCVOID memory);
