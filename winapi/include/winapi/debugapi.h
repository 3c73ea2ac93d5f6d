// Debugger output and queries.
#pragma once

#include "winapi/wintypes.h"

// The text goes to standard error when KTW_DEBUG_OUTPUT is set in the environment, else nowhere.
void WINAPI OutputDebugStringA(LPCSTR text);
void WINAPI OutputDebugStringW(LPCWSTR text);
// Always FALSE.
BOOL WINAPI IsDebuggerPresent();
// Raises SIGTRAP: a debugger stops there, without one the process ends.
void WINAPI DebugBreak();
