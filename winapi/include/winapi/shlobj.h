// Shell folders.
#pragma once

#include "winapi/wintypes.h"

#define CSIDL_PERSONAL 0x0005
#define CSIDL_APPDATA 0x001A
#define CSIDL_LOCAL_APPDATA 0x001C
#define CSIDL_COMMON_APPDATA 0x0023
#define CSIDL_FLAG_DONT_VERIFY 0x4000
#define CSIDL_FLAG_CREATE 0x8000
#define CSIDL_FLAG_MASK 0xFF00

#define SHGFP_TYPE_CURRENT 0
#define SHGFP_TYPE_DEFAULT 1

// CSIDL_APPDATA and CSIDL_LOCAL_APPDATA are both $XDG_DATA_HOME, or ~/.local/share. The path has no trailing
// separator; path must hold MAX_PATH characters. E_INVALIDARG for any other folder; a folder that does not
// exist (without CSIDL_FLAG_CREATE or CSIDL_FLAG_DONT_VERIFY) gives HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)
// and an empty path.
HRESULT WINAPI SHGetFolderPathW(HWND owner, int folder, HANDLE token, DWORD flags, LPWSTR path);
HRESULT WINAPI SHGetFolderPathA(HWND owner, int folder, HANDLE token, DWORD flags, LPSTR path);
