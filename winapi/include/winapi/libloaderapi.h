// Libraries: "name.dll" is the shared object "name.so" (see libraries.cpp for the search rule).
#pragma once

#include "winapi/wintypes.h"

HMODULE WINAPI LoadLibraryW(LPCWSTR fileName);
HMODULE WINAPI LoadLibraryA(LPCSTR fileName);
// procName is an export name, or MAKEINTRESOURCEA(n) for the export with ordinal n.
FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR procName);
BOOL WINAPI FreeLibrary(HMODULE module);
// NULL gives the program itself. Does not change the reference count.
HMODULE WINAPI GetModuleHandleW(LPCWSTR moduleName);
