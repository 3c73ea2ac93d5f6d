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
// The path of the program's file (module NULL or GetModuleHandleW(NULL)), as the system names it
// ("/usr/bin/x"), into fileName: returns the characters written without the terminating 0. When size is too
// small the path is cut to size - 1 characters and terminated, the result is size and the error
// ERROR_INSUFFICIENT_BUFFER. Other modules: 0, ERROR_MOD_NOT_FOUND.
DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size);
