// State the input, cursor and monitor code keeps for one X connection must go with it: a later connection can
// get the same Display address.
#pragma once

#include <X11/Xlib.h>

namespace winapi_internal {

// Calls forget once, while Xlib closes the display. GUI thread.
void x11_forget_on_close(Display* display, void (*forget)());

}  // namespace winapi_internal
