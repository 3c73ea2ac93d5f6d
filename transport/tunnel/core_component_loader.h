// Finding and loading the maker's core component (a COM in-process server installed by the maker's other
// software), and the two text conversions that feed the tunnel's connection block. The component is found
// through its COM registration only to learn its file, then loaded as a plain library whose exports are
// called directly.
#pragma once

#include "winapi/windows.h"

#include <cstddef>

#define CORE_COM_PROGID u"DerezozUrudVDI.DerezozUrudCom.1"

// CLSID of the core component in registry form ("{...}"), written into a buffer of 64 characters.
// Returns the failing HRESULT of the ProgID lookup, or the character count of the text.
int GetCoreComClsidString(WCHAR* buffer);

// Path of the core component's file (HKCR "CLSID\{...}\InprocServer32" default value) into a buffer of
// MAX_PATH characters; false with an empty buffer when it is not registered.
bool GetCoreComModulePath(WCHAR* buffer);

// The loaded core component, or null. The caller frees it with FreeLibrary.
HMODULE LoadCoreComModule();

// Converts the first 128 hexadecimal characters of text into 64 bytes.
bool HexToBytes64(const char* text, unsigned char* buffer);

// UTF-16 to UTF-8 into a caller's buffer of bufsize bytes, terminator included.
bool wide_to_utf8(size_t bufsize, const WCHAR* wide, char* utf8);
