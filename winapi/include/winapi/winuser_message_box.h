// Message boxes: a small top-level window of its own on the X display with the text, an icon and an OK
// button.
//
// The box is modal to the calling thread: MessageBoxW runs the thread's messages (sent, posted, timers) until
// the box is closed by the OK button, Enter, Space, Escape or the window manager's close, and returns IDOK. A
// WM_QUIT retrieved meanwhile closes the box and is posted again for the caller's own loop. The box has its
// own X connection, so any thread may show one. The owner window is not disabled while the box is up.
//
// Without an X display (none configured, or the server cannot be reached) nobody could ever close the box, so
// the caption and text go to standard error instead and IDOK is returned at once, as if the box had been
// shown and dismissed.
//
// Only the MB_OK button set is drawn; any other is refused with 0 (ERROR_INVALID_PARAMETER). MB_TOPMOST and
// MB_SYSTEMMODAL keep the box above other windows (_NET_WM_STATE_ABOVE).
#pragma once

#include "winapi/wintypes.h"

#define MB_OK 0x00000000L
#define MB_OKCANCEL 0x00000001L
#define MB_ABORTRETRYIGNORE 0x00000002L
#define MB_YESNOCANCEL 0x00000003L
#define MB_YESNO 0x00000004L
#define MB_RETRYCANCEL 0x00000005L
#define MB_TYPEMASK 0x0000000FL

#define MB_ICONHAND 0x00000010L
#define MB_ICONERROR MB_ICONHAND
#define MB_ICONSTOP MB_ICONHAND
#define MB_ICONQUESTION 0x00000020L
#define MB_ICONEXCLAMATION 0x00000030L
#define MB_ICONWARNING MB_ICONEXCLAMATION
#define MB_ICONASTERISK 0x00000040L
#define MB_ICONINFORMATION MB_ICONASTERISK
#define MB_ICONMASK 0x000000F0L

#define MB_SYSTEMMODAL 0x00001000L
#define MB_TASKMODAL 0x00002000L
#define MB_SETFOREGROUND 0x00010000L
#define MB_TOPMOST 0x00040000L

#define IDOK 1
#define IDCANCEL 2
#define IDABORT 3
#define IDRETRY 4
#define IDIGNORE 5
#define IDYES 6
#define IDNO 7

// The pressed button's id; 0 on failure. text and caption may be NULL (caption NULL is "Error").
int WINAPI MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type);
