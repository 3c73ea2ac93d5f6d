// The clipboard: the process's view of the X CLIPBOARD selection. Data set here is offered to other X clients
// (text as UTF8_STRING, bitmaps as image/png and image/bmp); data another client owns is read on request.
// Without an X display the clipboard still works within the process.
#pragma once

#include "winapi/wintypes.h"

#define CF_TEXT 1
#define CF_BITMAP 2
#define CF_OEMTEXT 7
#define CF_DIB 8
#define CF_UNICODETEXT 13
#define CF_DIBV5 17

#ifndef WM_RENDERFORMAT
#define WM_RENDERFORMAT 0x0305
#define WM_RENDERALLFORMATS 0x0306
#define WM_DESTROYCLIPBOARD 0x0307
#endif

#ifndef ERROR_CLIPBOARD_NOT_OPEN
#define ERROR_CLIPBOARD_NOT_OPEN 1418L
#endif

// One thread at a time has the clipboard open (FALSE with ERROR_ACCESS_DENIED while another has it). window
// becomes the owner at EmptyClipboard; NULL is allowed, after which SetClipboardData fails.
BOOL WINAPI OpenClipboard(HWND window);
BOOL WINAPI CloseClipboard();
// Frees every format's data, makes the opening window the owner and takes the X selection. The previous owner
// window is sent WM_DESTROYCLIPBOARD. Fails when the calling thread has not opened the clipboard.
BOOL WINAPI EmptyClipboard();
// data is a global memory block (fixed or moveable) that becomes the clipboard's, or NULL to render the
// format on request (WM_RENDERFORMAT). Requires the clipboard open by the owner, except for the format being
// rendered, which any thread of the process may supply while WM_RENDERFORMAT is in progress. Returns data
// (NULL for a delayed format, with ERROR_SUCCESS); NULL with ERROR_CLIPBOARD_NOT_OPEN on failure.
HANDLE WINAPI SetClipboardData(UINT format, HANDLE data);
// Requires the clipboard open by the calling thread. The block stays the clipboard's: do not free it. A
// delayed format is rendered by sending WM_RENDERFORMAT to the owner window; CF_TEXT is made from
// CF_UNICODETEXT. Data of another X client is fetched now (CF_UNICODETEXT, CF_TEXT and CF_DIB).
HANDLE WINAPI GetClipboardData(UINT format);
BOOL WINAPI IsClipboardFormatAvailable(UINT format);
// With the clipboard open: the format after previous (0 starts), 0 at the end (ERROR_SUCCESS).
UINT WINAPI EnumClipboardFormats(UINT previous);
// NULL when another X client owns the clipboard or the owner opened it with NULL.
HWND WINAPI GetClipboardOwner();
