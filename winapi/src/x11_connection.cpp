#include "x11_connection.h"

#include <X11/Xlib.h>

#include <mutex>
#include <pthread.h>
#include <vector>

namespace winapi_internal {

namespace {

std::mutex connection_lock;
Display* display = nullptr;                 // guarded by connection_lock
bool tried = false;                         // guarded by connection_lock
pthread_t gui_thread;                       // valid while display is open
std::vector<X11EventHandler>& handlers() {  // GUI thread only
    static std::vector<X11EventHandler> list;
    return list;
}

// Xlib's default handler exits the process on any protocol error; a failed request from a window that went
// away must not end the session.
int ignore_x_error(Display*, XErrorEvent*) {
    return 0;
}

}  // namespace

Display* x11_display() {
    std::lock_guard<std::mutex> guard(connection_lock);
    if (!tried) {
        tried = true;
        display = XOpenDisplay(nullptr);
        if (display) {
            gui_thread = pthread_self();
            XSetErrorHandler(ignore_x_error);
        }
    }
    if (!display || !pthread_equal(gui_thread, pthread_self())) {
        return nullptr;
    }
    return display;
}

bool x11_is_gui_thread() {
    std::lock_guard<std::mutex> guard(connection_lock);
    return display && pthread_equal(gui_thread, pthread_self());
}

int x11_connection_fd() {
    std::lock_guard<std::mutex> guard(connection_lock);
    return display ? ConnectionNumber(display) : -1;
}

void x11_add_event_handler(X11EventHandler handler) {
    handlers().push_back(std::move(handler));
}

void x11_pump_events() {
    Display* d = x11_display();
    if (!d) {
        return;
    }
    while (XPending(d) > 0) {
        XEvent event;
        XNextEvent(d, &event);
        for (auto& handler : handlers()) {
            if (handler(event)) {
                break;
            }
        }
    }
}

void x11_close_display() {
    std::lock_guard<std::mutex> guard(connection_lock);
    if (display) {
        XCloseDisplay(display);
        display = nullptr;
    }
    tried = false;
}

}  // namespace winapi_internal
