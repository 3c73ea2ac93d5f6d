// Monitors, display modes, cursors, pointer and keyboard translation.
#pragma once

#include "winapi/wingdi.h"
#include "winapi/wintypes.h"

// ---- Virtual keys (US layout for the OEM keys) ----

#define VK_LBUTTON 0x01
#define VK_RBUTTON 0x02
#define VK_CANCEL 0x03
#define VK_MBUTTON 0x04
#define VK_XBUTTON1 0x05
#define VK_XBUTTON2 0x06
#define VK_BACK 0x08
#define VK_TAB 0x09
#define VK_CLEAR 0x0C
#define VK_RETURN 0x0D
#define VK_SHIFT 0x10
#define VK_CONTROL 0x11
#define VK_MENU 0x12
#define VK_PAUSE 0x13
#define VK_CAPITAL 0x14
#define VK_KANA 0x15
#define VK_HANGUL 0x15
#define VK_JUNJA 0x17
#define VK_FINAL 0x18
#define VK_HANJA 0x19
#define VK_KANJI 0x19
#define VK_ESCAPE 0x1B
#define VK_CONVERT 0x1C
#define VK_NONCONVERT 0x1D
#define VK_SPACE 0x20
#define VK_PRIOR 0x21
#define VK_NEXT 0x22
#define VK_END 0x23
#define VK_HOME 0x24
#define VK_LEFT 0x25
#define VK_UP 0x26
#define VK_RIGHT 0x27
#define VK_DOWN 0x28
#define VK_SELECT 0x29
#define VK_PRINT 0x2A
#define VK_EXECUTE 0x2B
#define VK_SNAPSHOT 0x2C
#define VK_INSERT 0x2D
#define VK_DELETE 0x2E
#define VK_HELP 0x2F
#define VK_LWIN 0x5B
#define VK_RWIN 0x5C
#define VK_APPS 0x5D
#define VK_SLEEP 0x5F
#define VK_NUMPAD0 0x60
#define VK_NUMPAD1 0x61
#define VK_NUMPAD2 0x62
#define VK_NUMPAD3 0x63
#define VK_NUMPAD4 0x64
#define VK_NUMPAD5 0x65
#define VK_NUMPAD6 0x66
#define VK_NUMPAD7 0x67
#define VK_NUMPAD8 0x68
#define VK_NUMPAD9 0x69
#define VK_MULTIPLY 0x6A
#define VK_ADD 0x6B
#define VK_SEPARATOR 0x6C
#define VK_SUBTRACT 0x6D
#define VK_DECIMAL 0x6E
#define VK_DIVIDE 0x6F
#define VK_F1 0x70
#define VK_F2 0x71
#define VK_F3 0x72
#define VK_F4 0x73
#define VK_F5 0x74
#define VK_F6 0x75
#define VK_F7 0x76
#define VK_F8 0x77
#define VK_F9 0x78
#define VK_F10 0x79
#define VK_F11 0x7A
#define VK_F12 0x7B
#define VK_NUMLOCK 0x90
#define VK_SCROLL 0x91
#define VK_LSHIFT 0xA0
#define VK_RSHIFT 0xA1
#define VK_LCONTROL 0xA2
#define VK_RCONTROL 0xA3
#define VK_LMENU 0xA4
#define VK_RMENU 0xA5
#define VK_VOLUME_MUTE 0xAD
#define VK_VOLUME_DOWN 0xAE
#define VK_VOLUME_UP 0xAF
#define VK_OEM_1 0xBA
#define VK_OEM_PLUS 0xBB
#define VK_OEM_COMMA 0xBC
#define VK_OEM_MINUS 0xBD
#define VK_OEM_PERIOD 0xBE
#define VK_OEM_2 0xBF
#define VK_OEM_3 0xC0
#define VK_OEM_4 0xDB
#define VK_OEM_5 0xDC
#define VK_OEM_6 0xDD
#define VK_OEM_7 0xDE
#define VK_OEM_8 0xDF
#define VK_OEM_102 0xE2
#define VK_PROCESSKEY 0xE5
#define VK_PACKET 0xE7
#define VK_ATTN 0xF6
#define VK_OEM_CLEAR 0xFE

#define MAPVK_VK_TO_VSC 0
#define MAPVK_VSC_TO_VK 1
#define MAPVK_VK_TO_CHAR 2
#define MAPVK_VSC_TO_VK_EX 3
#define MAPVK_VK_TO_VSC_EX 4

// US layout. MAPVK_VK_TO_VSC: the scan code without the E0 prefix (generic VK_SHIFT/VK_CONTROL/VK_MENU give
// the left key's); MAPVK_VSC_TO_VK: no left/right distinction; MAPVK_VSC_TO_VK_EX takes and
// MAPVK_VK_TO_VSC_EX gives 0xE0xx for extended keys, with left/right virtual keys. MAPVK_VK_TO_CHAR is not
// provided (0). 0 when there is no translation.
UINT WINAPI MapVirtualKeyW(UINT code, UINT mapType);

#define KEYEVENTF_EXTENDEDKEY 0x0001
#define KEYEVENTF_KEYUP 0x0002
#define KEYEVENTF_UNICODE 0x0004
#define KEYEVENTF_SCANCODE 0x0008

// Presses or releases a key through the X server (XTest), as if typed: the window with the X input focus gets
// it, and when that is one of this process's windows its WM_KEYBOARD_LL hooks see the event first, marked
// LLKHF_INJECTED, with this vk (or, with KEYEVENTF_SCANCODE, the scan code's key), this scan code, the
// extended flag from flags, and extraInfo as dwExtraInfo. The key is the physical key of vk (or of scan with
// KEYEVENTF_SCANCODE); KEYEVENTF_EXTENDEDKEY picks the extended one of a pair (keypad Enter, the navigation
// block). Only on the thread that owns the X connection; elsewhere, without an X display or XTest, for keys
// the server's keyboard lacks, and with KEYEVENTF_UNICODE, nothing happens.
void WINAPI keybd_event(BYTE vk, BYTE scan, DWORD flags, ULONG_PTR extraInfo);

// ---- Monitors and display modes ----
// Monitors are the active outputs of the X server's RandR configuration, in the server's output order, named
// "\\.\DISPLAY1", "\\.\DISPLAY2", ... With no X display there are no monitors: the enumerations are empty,
// the MonitorFrom* functions return NULL whatever the flag, display-mode calls fail and the screen metrics
// are 0. Xlib is used on the GUI thread only; other threads see the configuration as the GUI thread last read
// it.

#define MONITOR_DEFAULTTONULL 0x00000000
#define MONITOR_DEFAULTTOPRIMARY 0x00000001
#define MONITOR_DEFAULTTONEAREST 0x00000002
#define MONITORINFOF_PRIMARY 0x00000001
#define CCHDEVICENAME 32
#define CCHFORMNAME 32

typedef struct tagMONITORINFO {
    DWORD cbSize;
    RECT rcMonitor;
    RECT rcWork;
    DWORD dwFlags;
} MONITORINFO, *LPMONITORINFO;

typedef struct tagMONITORINFOEXW {
    DWORD cbSize;
    RECT rcMonitor;
    RECT rcWork;
    DWORD dwFlags;
    WCHAR szDevice[CCHDEVICENAME];
} MONITORINFOEXW, *LPMONITORINFOEXW;

typedef struct _DISPLAY_DEVICEW {
    DWORD cb;
    WCHAR DeviceName[32];
    WCHAR DeviceString[128];
    DWORD StateFlags;
    WCHAR DeviceID[128];
    WCHAR DeviceKey[128];
} DISPLAY_DEVICEW, *PDISPLAY_DEVICEW, *LPDISPLAY_DEVICEW;

#define DISPLAY_DEVICE_ATTACHED_TO_DESKTOP 0x00000001
#define DISPLAY_DEVICE_MULTI_DRIVER 0x00000002
#define DISPLAY_DEVICE_PRIMARY_DEVICE 0x00000004
#define DISPLAY_DEVICE_MIRRORING_DRIVER 0x00000008
#define DISPLAY_DEVICE_VGA_COMPATIBLE 0x00000010
#define DISPLAY_DEVICE_REMOVABLE 0x00000020
#define DISPLAY_DEVICE_ACTIVE 0x00000001
#define DISPLAY_DEVICE_ATTACHED 0x00000002
#define EDD_GET_DEVICE_INTERFACE_NAME 0x00000001

typedef struct _POINTL {
    LONG x;
    LONG y;
} POINTL, *PPOINTL;

typedef struct _devicemodeW {
    WCHAR dmDeviceName[CCHDEVICENAME];
    WORD dmSpecVersion;
    WORD dmDriverVersion;
    WORD dmSize;
    WORD dmDriverExtra;
    DWORD dmFields;
    union {
        struct {
            short dmOrientation;
            short dmPaperSize;
            short dmPaperLength;
            short dmPaperWidth;
            short dmScale;
            short dmCopies;
            short dmDefaultSource;
            short dmPrintQuality;
        };
        struct {
            POINTL dmPosition;
            DWORD dmDisplayOrientation;
            DWORD dmDisplayFixedOutput;
        };
    };
    short dmColor;
    short dmDuplex;
    short dmYResolution;
    short dmTTOption;
    short dmCollate;
    WCHAR dmFormName[CCHFORMNAME];
    WORD dmLogPixels;
    DWORD dmBitsPerPel;
    DWORD dmPelsWidth;
    DWORD dmPelsHeight;
    union {
        DWORD dmDisplayFlags;
        DWORD dmNup;
    };
    DWORD dmDisplayFrequency;
    DWORD dmICMMethod;
    DWORD dmICMIntent;
    DWORD dmMediaType;
    DWORD dmDitherType;
    DWORD dmReserved1;
    DWORD dmReserved2;
    DWORD dmPanningWidth;
    DWORD dmPanningHeight;
} DEVMODEW, *PDEVMODEW, *LPDEVMODEW;

#define DM_POSITION 0x00000020
#define DM_BITSPERPEL 0x00040000
#define DM_PELSWIDTH 0x00080000
#define DM_PELSHEIGHT 0x00100000
#define DM_DISPLAYFLAGS 0x00200000
#define DM_DISPLAYFREQUENCY 0x00400000

#define ENUM_CURRENT_SETTINGS ((DWORD)-1)
#define ENUM_REGISTRY_SETTINGS ((DWORD)-2)

#define CDS_UPDATEREGISTRY 0x00000001
#define CDS_TEST 0x00000002
#define CDS_FULLSCREEN 0x00000004
#define CDS_GLOBAL 0x00000008
#define CDS_SET_PRIMARY 0x00000010
#define CDS_NORESET 0x10000000
#define CDS_RESET 0x40000000

#define DISP_CHANGE_SUCCESSFUL 0
#define DISP_CHANGE_RESTART 1
#define DISP_CHANGE_FAILED (-1)
#define DISP_CHANGE_BADMODE (-2)
#define DISP_CHANGE_NOTUPDATED (-3)
#define DISP_CHANGE_BADFLAGS (-4)
#define DISP_CHANGE_BADPARAM (-5)
#define DISP_CHANGE_BADDUALVIEW (-6)

typedef BOOL(CALLBACK* MONITORENUMPROC)(HMONITOR monitor, HDC dc, LPRECT rect, LPARAM data);

// dc must be NULL; clip (virtual-screen coordinates) or NULL limits the monitors to those it crosses.
BOOL WINAPI EnumDisplayMonitors(HDC dc, LPCRECT clip, MONITORENUMPROC callback, LPARAM data);
// cbSize sizeof(MONITORINFO) or sizeof(MONITORINFOEXW). The work area is the whole monitor.
BOOL WINAPI GetMonitorInfoW(HMONITOR monitor, LPMONITORINFO info);
HMONITOR WINAPI MonitorFromPoint(POINT point, DWORD flags);
HMONITOR WINAPI MonitorFromRect(LPCRECT rect, DWORD flags);
HMONITOR WINAPI MonitorFromWindow(HWND hwnd, DWORD flags);
// device NULL: the adapters (one per X output, attached when the output is active); an adapter's name: its
// monitor (index 0 only).
BOOL WINAPI EnumDisplayDevicesW(LPCWSTR device, DWORD index, PDISPLAY_DEVICEW info, DWORD flags);
// device NULL is the primary monitor. Modes are the output's RandR modes at the screen's depth (32 for a
// 24-bit screen); ENUM_REGISTRY_SETTINGS is the mode the output had before this process first changed it.
BOOL WINAPI EnumDisplaySettingsW(LPCWSTR device, DWORD modeIndex, LPDEVMODEW mode);
BOOL WINAPI EnumDisplaySettingsExW(LPCWSTR device, DWORD modeIndex, LPDEVMODEW mode, DWORD flags);
// Sets one of the output's modes; mode NULL goes back to the registry mode. A mode the server does not offer
// gives DISP_CHANGE_BADMODE; one the server refuses DISP_CHANGE_FAILED. CDS_TEST only checks.
LONG WINAPI ChangeDisplaySettingsExW(LPCWSTR device, LPDEVMODEW mode, HWND hwnd, DWORD flags, LPVOID param);

#define SM_CXSCREEN 0
#define SM_CYSCREEN 1
#define SM_CXVSCROLL 2
#define SM_CYHSCROLL 3
#define SM_CYCAPTION 4
#define SM_CXBORDER 5
#define SM_CYBORDER 6
#define SM_CXDLGFRAME 7
#define SM_CYDLGFRAME 8
#define SM_CXFIXEDFRAME SM_CXDLGFRAME
#define SM_CYFIXEDFRAME SM_CYDLGFRAME
#define SM_CXICON 11
#define SM_CYICON 12
#define SM_CXCURSOR 13
#define SM_CYCURSOR 14
#define SM_CXMIN 28
#define SM_CYMIN 29
#define SM_CXSIZE 30
#define SM_CYSIZE 31
#define SM_CXFRAME 32
#define SM_CYFRAME 33
#define SM_CXSIZEFRAME SM_CXFRAME
#define SM_CYSIZEFRAME SM_CYFRAME
#define SM_CXSMICON 49
#define SM_CYSMICON 50
#define SM_CXSMSIZE 52
#define SM_CYSMSIZE 53
#define SM_XVIRTUALSCREEN 76
#define SM_YVIRTUALSCREEN 77
#define SM_CXVIRTUALSCREEN 78
#define SM_CYVIRTUALSCREEN 79
#define SM_CMONITORS 80
#define SM_CXPADDEDBORDER 92

// Screen: the primary monitor; virtual screen: the box around all monitors; SM_CMONITORS their number.
// Icon and cursor sizes are the Windows defaults (32, small icons 16). The frame, caption and border metrics
// are 0: the window manager draws the frame outside the window (AdjustWindowRectEx adds nothing either).
int WINAPI GetSystemMetrics(int index);

// ---- Cursors, icons and the pointer ----
// A cursor's X cursor is made on the GUI thread the first time it is shown, so cursors may be created and
// destroyed on any thread. X cannot invert the screen under a cursor: inverting pixels show black.

#define IDC_ARROW MAKEINTRESOURCEW(32512)
#define IDC_IBEAM MAKEINTRESOURCEW(32513)
#define IDC_WAIT MAKEINTRESOURCEW(32514)
#define IDC_CROSS MAKEINTRESOURCEW(32515)
#define IDC_UPARROW MAKEINTRESOURCEW(32516)
#define IDC_SIZENWSE MAKEINTRESOURCEW(32642)
#define IDC_SIZENESW MAKEINTRESOURCEW(32643)
#define IDC_SIZEWE MAKEINTRESOURCEW(32644)
#define IDC_SIZENS MAKEINTRESOURCEW(32645)
#define IDC_SIZEALL MAKEINTRESOURCEW(32646)
#define IDC_NO MAKEINTRESOURCEW(32648)
#define IDC_HAND MAKEINTRESOURCEW(32649)
#define IDC_APPSTARTING MAKEINTRESOURCEW(32650)
#define IDI_APPLICATION MAKEINTRESOURCEW(32512)

#define ERROR_INVALID_CURSOR_HANDLE 1402L
#define ERROR_INVALID_ICON_HANDLE 1414L

typedef struct _ICONINFO {
    BOOL fIcon;  // FALSE: a cursor with the hot spot below
    DWORD xHotspot;
    DWORD yHotspot;
    HBITMAP hbmMask;   // AND mask; without hbmColor the AND mask above the XOR mask (twice the height)
    HBITMAP hbmColor;  // NULL for a monochrome cursor
} ICONINFO, *PICONINFO;

// Copies the bitmaps (the caller deletes its own). A 32-bit colour bitmap with any non-zero alpha gives the
// per-pixel alpha; otherwise the AND mask decides which pixels show. At most 1024 x 1024 pixels.
HICON WINAPI CreateIconIndirect(PICONINFO info);
// Planes in the device-dependent layout: rows padded to 16 bits, bit 7 leftmost.
HCURSOR WINAPI CreateCursor(HINSTANCE instance, int xHotSpot, int yHotSpot, int width, int height,
                            const VOID* andPlane, const VOID* xorPlane);
// Shared cursors and icons (LoadCursorW, LoadIconW) are never destroyed: destroying one succeeds and does
// nothing.
BOOL WINAPI DestroyCursor(HCURSOR cursor);
BOOL WINAPI DestroyIcon(HICON icon);
// instance NULL and an IDC_ value: the shared system cursor (the X cursor font's matching shape). The program
// has no cursor resources of its own: any other request gives NULL.
HCURSOR WINAPI LoadCursorW(HINSTANCE instance, LPCWSTR name);
// instance NULL and IDI_APPLICATION: a shared blank icon. Any other request gives NULL.
HICON WINAPI LoadIconW(HINSTANCE instance, LPCWSTR name);

// The process's cursor (NULL hides it); shown on this process's window under the pointer. Returns the
// previous cursor.
HCURSOR WINAPI SetCursor(HCURSOR cursor);
// Display counter, starting at 0; the cursor shows on this process's windows while it is at least 0.
int WINAPI ShowCursor(BOOL show);
// Screen coordinates. Other threads than the GUI thread get the position the GUI thread saw last.
BOOL WINAPI GetCursorPos(LPPOINT point);
// Moves the pointer (kept inside the ClipCursor rectangle); GUI thread.
BOOL WINAPI SetCursorPos(int x, int y);
// Confines the pointer to the rectangle (screen coordinates, right and bottom exclusive) with X pointer
// barriers on its edges, moving it inside first; NULL frees it. GUI thread.
BOOL WINAPI ClipCursor(const RECT* rect);

// ---- Layered windows ----

#define ULW_COLORKEY 0x00000001
#define ULW_ALPHA 0x00000002
#define ULW_OPAQUE 0x00000004

// For a WS_EX_LAYERED window of the calling thread: moves and sizes it (position in screen coordinates,
// either may be NULL) and shows the source DC's pixels from source (NULL: 0, 0) in it. With ULW_COLORKEY the
// pixels of the key colour are left out of the window altogether (the X shape), so the desktop shows through
// without a compositing manager. ULW_ALPHA is not supported (ERROR_NOT_SUPPORTED). A WS_EX_TRANSPARENT window
// takes no pointer input: it goes to the windows below.
BOOL WINAPI UpdateLayeredWindow(HWND hwnd, HDC screenDc, POINT* position, SIZE* size, HDC sourceDc,
                                POINT* source, COLORREF key, BLENDFUNCTION* blend, DWORD flags);
