#pragma once

#include "winapi/windows.h"

// Writes the MD5 digest of the file as 32 lower-case hexadecimal digits into hex (no terminator).
// False, with nothing promised in hex, when the file cannot be read or hashed.
bool GetFileMd5Hex(const char* path, char* hex);

// The banner bitmap named by HKLM "SOFTWARE\Voranth\VDI\VoranthCSClient" "Banner", loaded only when
// the file's digest equals "BannerHash". Null in every other case.
HBITMAP LoadBannerBitmap();
