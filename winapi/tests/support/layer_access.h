// What the tests of the folders above the layer may see of its inside: the X connection the layer draws on
// and the pictures of its cursor objects. The layer's own tests include its private headers instead.
#pragma once

#include <cstdint>
#include <vector>

#include "winapi/wintypes.h"

typedef struct _XDisplay Display;  // without Xlib's macros

namespace test_support {

// The layer's X display; null when there is none or when called from a thread other than the GUI thread.
Display* layer_x11_display();
// GUI thread: reads what the X server sent the layer and dispatches it.
void layer_pump_x11_events();

// Whether the handle names a live cursor or icon object.
bool layer_cursor_exists(HCURSOR cursor);
// The cursor's picture: premultiplied ARGB, top-down rows; empty when the handle names none.
std::vector<uint32_t> layer_cursor_picture(HCURSOR cursor);

// GUI thread: the X window of a top-level window (0 when it has none), and whether the window's back buffer
// lives in memory shared with the X server (presented with XShmPutImage).
unsigned long layer_x11_window(HWND hwnd);
bool layer_window_uses_shm(HWND hwnd);

}  // namespace test_support
