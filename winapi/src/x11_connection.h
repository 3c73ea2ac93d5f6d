// The process's connection to the X server. Xlib is called only on the GUI thread: the thread that first
// asked for the display (the thread that creates the windows). Other threads post a message to that thread
// instead. With no X display every caller gets null and the message machinery works without it.
#pragma once

#include <functional>

// Forward declarations, so that including this header does not bring Xlib's macros (None, Bool, Status, ...)
// into code that does not draw with X itself.
typedef struct _XDisplay Display;
typedef union _XEvent XEvent;

namespace winapi_internal {

// The display, opened from $DISPLAY on the first call; null when there is none or when called from a thread
// other than the GUI thread.
Display* x11_display();
// True on the thread that opened the display (false before it is opened).
bool x11_is_gui_thread();
// The connection's descriptor for poll(), or -1 when no display is open.
int x11_connection_fd();

// Events are handed to the handlers in the order they were added until one returns true. The window half
// registers the handler that turns events into messages; the clipboard and monitor code add their own.
using X11EventHandler = std::function<bool(XEvent& event)>;
void x11_add_event_handler(X11EventHandler handler);
// GUI thread: reads everything the server sent (and what Xlib had already buffered) and dispatches it.
// Does nothing without a display.
void x11_pump_events();

// Closes the display (tests; the process otherwise keeps it until exit).
void x11_close_display();

}  // namespace winapi_internal
