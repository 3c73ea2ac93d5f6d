// Text conversion between UTF-16 and multi-byte code pages: UTF-8 and the ANSI code page, which is 936 (GBK).
#pragma once

#include "winapi/wintypes.h"

#define CP_ACP 0
#define CP_OEMCP 1
#define CP_MACCP 2
#define CP_THREAD_ACP 3
#define CP_UTF7 65000
#define CP_UTF8 65001

#define MB_PRECOMPOSED 0x00000001
#define MB_COMPOSITE 0x00000002
#define MB_USEGLYPHCHARS 0x00000004
#define MB_ERR_INVALID_CHARS 0x00000008

#define WC_COMPOSITECHECK 0x00000200
#define WC_DISCARDNS 0x00000010
#define WC_SEPCHARS 0x00000020
#define WC_DEFAULTCHAR 0x00000040
#define WC_ERR_INVALID_CHARS 0x00000080
#define WC_NO_BEST_FIT_CHARS 0x00000400

#ifndef ERROR_INVALID_FLAGS
#define ERROR_INVALID_FLAGS 1004L
#endif
#ifndef ERROR_NO_UNICODE_TRANSLATION
#define ERROR_NO_UNICODE_TRANSLATION 1113L
#endif

// Code pages: CP_UTF8, and CP_ACP, CP_OEMCP, CP_THREAD_ACP and 936, which are all GBK. Without
// MB_ERR_INVALID_CHARS an invalid sequence becomes U+FFFD (UTF-8) or "?" (GBK).
int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR multiByte, int multiByteLength, LPWSTR wide,
                               int wideLength);
// Characters GBK cannot express become defaultChar (or "?"), and *usedDefaultChar is set. For CP_UTF8 the
// last two arguments must be NULL; a lone surrogate becomes U+FFFD unless WC_ERR_INVALID_CHARS is given.
int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideLength, LPSTR multiByte,
                               int multiByteLength, LPCSTR defaultChar, LPBOOL usedDefaultChar);

// The ANSI and OEM code pages: both 936.
UINT WINAPI GetACP();
UINT WINAPI GetOEMCP();
