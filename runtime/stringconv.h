#pragma once

#include "winapi/windows.h"

// Conversions between UTF-16, UTF-8 and the ANSI code page. Each returns a new zero-terminated string
// on the process heap (free it with HeapFree(GetProcessHeap(), 0, p)), or null when the conversion or
// the allocation fails. size, when given, receives the result's size in bytes including the terminator.
// A null input is a programming error.
char* WideToUtf8(const WCHAR* pwstr, int* size = nullptr);
WCHAR* AnsiToWide(const char* pstr, int* size = nullptr);
char* WideToAnsi(const WCHAR* pwstr, int* size = nullptr);
char* AnsiToUtf8(const char* pstr, int* size = nullptr);
