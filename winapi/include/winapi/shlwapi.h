// Path helpers.
#pragma once

#include "winapi/wintypes.h"

// Appends more to path (a buffer of MAX_PATH units) with one backslash between them; FALSE, leaving path as
// it was, when the result would not fit.
BOOL WINAPI PathAppendW(LPWSTR path, LPCWSTR more);
