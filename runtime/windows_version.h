#pragma once

#include "winapi/windows.h"

// True when the running Windows version compares to major.minor as condition asks
// (VER_EQUAL, VER_GREATER_EQUAL, ...).
bool CheckWindowsVersion(BYTE condition, DWORD major, DWORD minor);
