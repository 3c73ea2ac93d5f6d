// Keyboard translation: X key codes to PC set-1 scan codes, and scan codes to US-layout virtual keys.
// X key codes are looked up by the key's XKB name (AC01, RALT, ...), so the result names the physical key
// whatever layout the X server has loaded.
#pragma once

#include <X11/Xlib.h>

#include "winapi/wintypes.h"

namespace winapi_internal {

// The set-1 make code (low byte, without the E0 prefix) and the extended flag of the key XKB calls name
// (up to 4 characters, NUL-padded or terminated). False for keys without a PC scan code.
bool scancode_of_key_name(const char* name, UINT* scancode, bool* extended);

// GUI thread (display from x11_display()). False for key codes without a PC scan code. Num Lock comes back as
// 0x45 extended and Pause as 0x45 not extended, as Windows reports them. When the server has no XKB, the key
// code is taken as an evdev code plus 8.
bool x11_key_to_scancode(Display* display, unsigned keycode, UINT* scancode, bool* extended);

// GUI thread: the X key code of the key with this set-1 scan code and extended flag (the inverse of
// x11_key_to_scancode); 0 when the server's keyboard has no such key.
unsigned x11_scancode_to_key(Display* display, UINT scancode, bool extended);

// The virtual key of a set-1 scan code on the US layout, as WM_KEYDOWN carries it: the generic VK_SHIFT,
// VK_CONTROL, VK_MENU for either side. Keypad keys without the extended flag give VK_NUMPADn / VK_DECIMAL
// with num_lock and the navigation keys (VK_HOME ... VK_DELETE, VK_CLEAR) without. 0 when the key has none.
UINT scancode_to_vk(UINT scancode, bool extended, bool num_lock = false);

}  // namespace winapi_internal
