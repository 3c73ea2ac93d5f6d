// The COM calls the program makes: finding a class by its ProgID and the text form of a GUID.
#pragma once

#include "winapi/wintypes.h"

typedef WCHAR OLECHAR;
typedef OLECHAR* LPOLESTR;
typedef const OLECHAR* LPCOLESTR;

// Reads the default value of HKEY_CLASSES_ROOT "<progId>\CLSID". CO_E_CLASSSTRING when the key or value is
// missing or does not hold a GUID in the form "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
HRESULT WINAPI CLSIDFromProgID(LPCOLESTR progId, LPCLSID clsid);
// Writes "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (upper case) and returns 39, the characters including the
// terminator; 0 when size is below 39.
int WINAPI StringFromGUID2(REFGUID guid, LPOLESTR text, int size);
