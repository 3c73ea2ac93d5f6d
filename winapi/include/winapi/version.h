// The Windows version. Every query reports Windows 10 (10.0, build 19045), as Windows does for a program that
// declares itself compatible with it.
#pragma once

#include "winapi/wintypes.h"

typedef ULONGLONG DWORDLONG;

typedef struct _OSVERSIONINFOW {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    WCHAR szCSDVersion[128];
} OSVERSIONINFOW, *POSVERSIONINFOW, *LPOSVERSIONINFOW, RTL_OSVERSIONINFOW, *PRTL_OSVERSIONINFOW;

typedef struct _OSVERSIONINFOEXW {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    WCHAR szCSDVersion[128];
    WORD wServicePackMajor;
    WORD wServicePackMinor;
    WORD wSuiteMask;
    BYTE wProductType;
    BYTE wReserved;
} OSVERSIONINFOEXW, *POSVERSIONINFOEXW, *LPOSVERSIONINFOEXW, RTL_OSVERSIONINFOEXW, *PRTL_OSVERSIONINFOEXW;

#define VER_PLATFORM_WIN32_NT 2
#define VER_NT_WORKSTATION 0x0000001
#define VER_SUITE_SINGLEUSERTS 0x00000100

#define VER_MINORVERSION 0x0000001
#define VER_MAJORVERSION 0x0000002
#define VER_BUILDNUMBER 0x0000004
#define VER_PLATFORMID 0x0000008
#define VER_SERVICEPACKMINOR 0x0000010
#define VER_SERVICEPACKMAJOR 0x0000020
#define VER_SUITENAME 0x0000040
#define VER_PRODUCT_TYPE 0x0000080

#define VER_EQUAL 1
#define VER_GREATER 2
#define VER_GREATER_EQUAL 3
#define VER_LESS 4
#define VER_LESS_EQUAL 5
#define VER_AND 6
#define VER_OR 7

#define VER_SET_CONDITION(mask, typeBit, condition) \
    ((mask) = VerSetConditionMask((mask), (typeBit), (condition)))

#ifndef ERROR_BAD_ARGUMENTS
#define ERROR_BAD_ARGUMENTS 160L
#endif

#define STATUS_SUCCESS ((NTSTATUS)0x00000000)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000D)

// dwOSVersionInfoSize must be sizeof(OSVERSIONINFOW) (276) or sizeof(OSVERSIONINFOEXW) (284).
BOOL WINAPI GetVersionExW(LPOSVERSIONINFOW info);
ULONGLONG WINAPI VerSetConditionMask(ULONGLONG conditionMask, DWORD typeMask, BYTE condition);
// Major, minor and service-pack numbers are compared together, as one version, under the condition of the
// most significant of them in typeMask. FALSE with ERROR_OLD_WIN_VERSION when the system does not satisfy the
// request.
BOOL WINAPI VerifyVersionInfoW(LPOSVERSIONINFOEXW info, DWORD typeMask, DWORDLONG conditionMask);
// ntdll's export, also reached through GetProcAddress(LoadLibraryW(u"ntdll.dll"), "RtlGetVersion").
NTSTATUS WINAPI RtlGetVersion(PRTL_OSVERSIONINFOW info);
