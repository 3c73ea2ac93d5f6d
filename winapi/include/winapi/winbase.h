// Local and global memory, system message texts and string helpers.
#pragma once

#include "winapi/wintypes.h"

#include <cstdarg>

#define LMEM_FIXED 0x0000
#define LMEM_MOVEABLE 0x0002
#define LMEM_ZEROINIT 0x0040
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)

// Local memory is the process heap. Only fixed blocks (LMEM_FIXED, optionally LMEM_ZEROINIT) are supported:
// the handle is the pointer.
HLOCAL WINAPI LocalAlloc(UINT flags, SIZE_T bytes);
// NULL on success, the handle on failure.
HLOCAL WINAPI LocalFree(HLOCAL memory);

#ifndef ERROR_NOT_LOCKED
#define ERROR_NOT_LOCKED 158L
#endif

#define GMEM_FIXED 0x0000
#define GMEM_MOVEABLE 0x0002
#define GMEM_NOCOMPACT 0x0010
#define GMEM_NODISCARD 0x0020
#define GMEM_ZEROINIT 0x0040
#define GMEM_DISCARDABLE 0x0100
#define GMEM_DDESHARE 0x2000
#define GMEM_SHARE 0x2000
#define GHND (GMEM_MOVEABLE | GMEM_ZEROINIT)
#define GPTR (GMEM_FIXED | GMEM_ZEROINIT)

// Global memory. A fixed block's handle is its pointer; a moveable block (GMEM_MOVEABLE) has an opaque handle
// that GlobalLock turns into the pointer. The other flags are accepted and change nothing. Blocks never move.
HGLOBAL WINAPI GlobalAlloc(UINT flags, SIZE_T bytes);
// The block's pointer; a moveable block's lock count goes up. NULL (ERROR_INVALID_HANDLE) for a bad handle.
LPVOID WINAPI GlobalLock(HGLOBAL memory);
// Nonzero while a moveable block stays locked; 0 with ERROR_SUCCESS when its count reached 0 (and always for
// a fixed block); 0 with ERROR_NOT_LOCKED when it was not locked.
BOOL WINAPI GlobalUnlock(HGLOBAL memory);
// The size asked for; 0 for a bad handle.
SIZE_T WINAPI GlobalSize(HGLOBAL memory);
// NULL on success, the handle (ERROR_INVALID_HANDLE) when it is not a live block.
HGLOBAL WINAPI GlobalFree(HGLOBAL memory);

#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200
#define FORMAT_MESSAGE_FROM_STRING 0x00000400
#define FORMAT_MESSAGE_FROM_HMODULE 0x00000800
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000
#define FORMAT_MESSAGE_ARGUMENT_ARRAY 0x00002000
#define FORMAT_MESSAGE_MAX_WIDTH_MASK 0x000000FF

#define LANG_NEUTRAL 0x00
#define LANG_ENGLISH 0x09
#define SUBLANG_NEUTRAL 0x00
#define SUBLANG_DEFAULT 0x01
#define MAKELANGID(primary, sub) ((((WORD)(sub)) << 10) | (WORD)(primary))

// FORMAT_MESSAGE_FROM_SYSTEM only, for the Windows and Winsock error codes this layer produces; the texts end
// with "\r\n". Inserts are not supported: give FORMAT_MESSAGE_IGNORE_INSERTS for a text that has them. With
// FORMAT_MESSAGE_ALLOCATE_BUFFER, buffer is the address of a char* that receives a block to free with
// LocalFree. Returns the characters stored without the terminator; 0 (ERROR_MR_MID_NOT_FOUND) for an unknown
// code.
DWORD WINAPI FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPSTR buffer,
                            DWORD size, va_list* arguments);

int WINAPI lstrlenW(LPCWSTR text);
// Case-insensitive comparison: -1, 0 or 1. Case is folded by the simple Unicode mapping.
int WINAPI lstrcmpiW(LPCWSTR first, LPCWSTR second);
