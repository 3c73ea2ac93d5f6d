// The Windows API as this program uses it, implemented over POSIX and X11.
// Include this (or one of the area headers) as the program would include the SDK.
#pragma once

#include "winapi/wintypes.h"
#include "winapi/synchapi.h"
#include "winapi/processthreadsapi.h"
#include "winapi/sysinfoapi.h"
#include "winapi/version.h"
#include "winapi/heapapi.h"
#include "winapi/stringapiset.h"
#include "winapi/fileapi.h"
#include "winapi/libloaderapi.h"
#include "winapi/winbase.h"
#include "winapi/debugapi.h"
#include "winapi/winreg.h"
#include "winapi/wincrypt.h"
#include "winapi/combaseapi.h"
#include "winapi/winuser.h"
#include "winapi/wingdi.h"
#include "winapi/winuser_display.h"
#include "winapi/winuser_clipboard.h"
#include "winapi/ioapiset.h"
#include "winapi/namedpipeapi.h"
