// Watching another client's windows on the private X server the way a user or a window manager would: find a
// top-level window by title, read its properties, give it keys and clicks (XTest) or ask it to close.
// Uses a connection of its own, so the code under test may run on any thread or in another process.
#pragma once

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace test_support {

class X11Observer {
public:
    X11Observer() : display_(XOpenDisplay(nullptr)) {
        // Windows of other clients come and go between a query and the next; Xlib's default handler would
        // end the test program.
        XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
    }
    ~X11Observer() {
        if (display_) {
            XCloseDisplay(display_);
        }
    }
    X11Observer(const X11Observer&) = delete;
    X11Observer& operator=(const X11Observer&) = delete;

    Display* display() const { return display_; }

    // The title a window manager shows (_NET_WM_NAME, UTF-8).
    std::string title(Window window) const {
        std::vector<unsigned char> bytes = property(window, "_NET_WM_NAME");
        return std::string(bytes.begin(), bytes.end());
    }

    // A mapped top-level window with this title, waiting up to 10 s; 0 when none appeared.
    Window wait_for_window(const std::string& wanted) const {
        for (int i = 0; i < 500; ++i) {
            Window root, parent, *children = nullptr;
            unsigned count = 0;
            Window found = 0;
            if (XQueryTree(display_, DefaultRootWindow(display_), &root, &parent, &children, &count)) {
                for (unsigned c = 0; c < count && !found; ++c) {
                    XWindowAttributes attributes;
                    if (XGetWindowAttributes(display_, children[c], &attributes) &&
                        attributes.map_state == IsViewable && title(children[c]) == wanted) {
                        found = children[c];
                    }
                }
                if (children) {
                    XFree(children);
                }
            }
            if (found) {
                return found;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return 0;
    }

    // True once the window is gone or unmapped, waiting up to 10 s.
    bool wait_until_gone(Window window) const {
        for (int i = 0; i < 500; ++i) {
            XWindowAttributes attributes;
            if (!XGetWindowAttributes(display_, window, &attributes) || attributes.map_state != IsViewable) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    // True once the window has the keyboard focus, waiting up to 10 s.
    bool wait_for_focus(Window window) const {
        for (int i = 0; i < 500; ++i) {
            Window focus;
            int revert;
            XGetInputFocus(display_, &focus, &revert);
            if (focus == window) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    // The names of the atoms of _NET_WM_STATE.
    std::vector<std::string> states(Window window) const {
        std::vector<std::string> names;
        Atom type;
        int format;
        unsigned long items, after;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(display_, window, XInternAtom(display_, "_NET_WM_STATE", False), 0, 64, False,
                               XA_ATOM, &type, &format, &items, &after, &data) == Success &&
            data) {
            const Atom* atoms = reinterpret_cast<const Atom*>(data);  // format 32 comes as longs
            for (unsigned long i = 0; i < items; ++i) {
                char* name = XGetAtomName(display_, atoms[i]);
                names.push_back(name ? name : "");
                if (name) {
                    XFree(name);
                }
            }
        }
        if (data) {
            XFree(data);
        }
        return names;
    }

    void press_key(KeySym key) const {
        KeyCode code = XKeysymToKeycode(display_, key);
        XTestFakeKeyEvent(display_, code, True, CurrentTime);
        XTestFakeKeyEvent(display_, code, False, CurrentTime);
        XFlush(display_);
    }

    // A left click at a point of the window.
    void click(Window window, int x, int y) const {
        Window child;
        int root_x, root_y;
        XTranslateCoordinates(display_, window, DefaultRootWindow(display_), x, y, &root_x, &root_y, &child);
        XTestFakeMotionEvent(display_, DefaultScreen(display_), root_x, root_y, CurrentTime);
        XTestFakeButtonEvent(display_, 1, True, CurrentTime);
        XTestFakeButtonEvent(display_, 1, False, CurrentTime);
        XFlush(display_);
    }

    // What a window manager sends when the user closes the window.
    void ask_to_close(Window window) const {
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = window;
        event.xclient.message_type = XInternAtom(display_, "WM_PROTOCOLS", False);
        event.xclient.format = 32;
        event.xclient.data.l[0] = static_cast<long>(XInternAtom(display_, "WM_DELETE_WINDOW", False));
        event.xclient.data.l[1] = CurrentTime;
        XSendEvent(display_, window, False, NoEventMask, &event);
        XFlush(display_);
    }

private:
    std::vector<unsigned char> property(Window window, const char* name) const {
        std::vector<unsigned char> bytes;
        Atom type;
        int format;
        unsigned long items, after;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(display_, window, XInternAtom(display_, name, False), 0, 4096, False,
                               AnyPropertyType, &type, &format, &items, &after, &data) == Success &&
            data && format == 8) {
            bytes.assign(data, data + items);
        }
        if (data) {
            XFree(data);
        }
        return bytes;
    }

    Display* display_;
};

}  // namespace test_support
