// Time: tick counts, the performance counter and the calendar time.
#pragma once

#include "winapi/wintypes.h"

typedef struct _SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;  // 0 = Sunday
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
} SYSTEMTIME, *PSYSTEMTIME, *LPSYSTEMTIME;

// Milliseconds since system start; GetTickCount wraps after 2^32 ms, GetTickCount64 does not.
DWORD WINAPI GetTickCount();
ULONGLONG WINAPI GetTickCount64();
// 10,000,000 counts per second.
BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* count);
BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* frequency);
void WINAPI GetLocalTime(LPSYSTEMTIME time);
void WINAPI GetSystemTime(LPSYSTEMTIME time);
