// The pointer on the X display: the shown cursor, its display counter, position, warping and confinement.
#include <X11/Xcursor/Xcursor.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <vector>

#include "cursor_internal.h"
#include "window_internal.h"
#include "x11_connection.h"
#include "x11_input_display.h"

namespace winapi_internal {

namespace {

struct PointerState {
    HCURSOR cursor = nullptr;
    int show_count = 0;
    POINT last_position{};
    bool position_known = false;
    bool clipped = false;
    RECT clip{};
};

std::mutex pointer_lock;
PointerState pointer;  // guarded by pointer_lock

// X resources of the cursors, made on the GUI thread for the display they were made on. GUI thread only.
struct XCursors {
    Display* display = nullptr;
    std::map<uintptr_t, std::pair<std::weak_ptr<CursorObject>, Cursor>> made;
    Cursor invisible = 0;
    std::vector<PointerBarrier> barriers;
};

XCursors& x_cursors_of_connection() {
    static XCursors cursors;
    return cursors;
}

XCursors& x_cursors(Display* display) {
    XCursors& cursors = x_cursors_of_connection();
    if (cursors.display != display) {
        cursors = XCursors{};
        cursors.display = display;
        // The resources go with the connection.
        x11_forget_on_close(display, [] { x_cursors_of_connection() = XCursors{}; });
    }
    return cursors;
}

// Frees the X cursors of destroyed cursor objects (destroyed on any thread; freed here, on the GUI thread).
void free_unused(Display* display, XCursors& cursors) {
    for (auto it = cursors.made.begin(); it != cursors.made.end();) {
        if (it->second.first.expired()) {
            XFreeCursor(display, it->second.second);
            it = cursors.made.erase(it);
        } else {
            ++it;
        }
    }
}

Cursor invisible_cursor(Display* display, XCursors& cursors) {
    if (!cursors.invisible) {
        char empty = 0;
        Pixmap blank = XCreateBitmapFromData(display, DefaultRootWindow(display), &empty, 1, 1);
        XColor black{};
        cursors.invisible = XCreatePixmapCursor(display, blank, blank, &black, &black, 0, 0);
        XFreePixmap(display, blank);
    }
    return cursors.invisible;
}

Cursor x_cursor_of(Display* display, XCursors& cursors, HCURSOR handle) {
    auto key = reinterpret_cast<uintptr_t>(handle);
    auto found = cursors.made.find(key);
    if (found != cursors.made.end() && !found->second.first.expired()) {
        return found->second.second;
    }
    std::shared_ptr<CursorObject> object = cursor_lookup(handle);
    if (!object) {
        return 0;
    }
    Cursor cursor = 0;
    if (object->font_shape) {
        cursor = XCreateFontCursor(display, object->font_shape);
    } else if (!object->picture.argb.empty()) {
        const CursorPicture& picture = object->picture;
        XcursorImage* image = XcursorImageCreate(picture.width, picture.height);
        if (image) {
            image->xhot = picture.hot_x;
            image->yhot = picture.hot_y;
            std::copy(picture.argb.begin(), picture.argb.end(), image->pixels);
            cursor = XcursorImageLoadCursor(display, image);
            XcursorImageDestroy(image);
        }
    }
    if (cursor) {
        cursors.made[key] = {object, cursor};
    }
    return cursor;
}

// The deepest of this process's top-level X windows under the pointer, 0 when the pointer is elsewhere. With
// a window manager the root's child is the frame, so the search goes down the tree.
Window own_window_under_pointer(Display* display, POINT* position) {
    Window current = DefaultRootWindow(display);
    Window found = 0;
    for (int depth = 0; current && depth < 16; ++depth) {
        Window root, child;
        int root_x, root_y, x, y;
        unsigned mask;
        if (!XQueryPointer(display, current, &root, &child, &root_x, &root_y, &x, &y, &mask)) {
            return 0;  // the pointer is on another screen
        }
        if (depth == 0) {
            *position = {root_x, root_y};
        }
        if (current != root && hwnd_of_x11_window(current)) {
            found = current;
        }
        current = child;
    }
    return found;
}

void remember_position(POINT position) {
    std::lock_guard<std::mutex> guard(pointer_lock);
    pointer.last_position = position;
    pointer.position_known = true;
}

// Shows the process's cursor (or none) on its window under the pointer. GUI thread.
void show_current_cursor(Display* display) {
    PointerState state;
    {
        std::lock_guard<std::mutex> guard(pointer_lock);
        state = pointer;
    }
    XCursors& cursors = x_cursors(display);
    free_unused(display, cursors);
    POINT position{};
    Window window = own_window_under_pointer(display, &position);
    remember_position(position);
    if (!window) {
        return;
    }
    Cursor cursor = 0;
    if (state.cursor && state.show_count >= 0) {
        cursor = x_cursor_of(display, cursors, state.cursor);
    }
    XDefineCursor(display, window, cursor ? cursor : invisible_cursor(display, cursors));
    XFlush(display);
}

void remove_barriers(Display* display, XCursors& cursors) {
    for (PointerBarrier barrier : cursors.barriers) {
        XFixesDestroyPointerBarrier(display, barrier);
    }
    cursors.barriers.clear();
}

POINT clamp_to(const RECT& rect, POINT point) {
    return {std::clamp(point.x, rect.left, std::max(rect.left, rect.right - 1)),
            std::clamp(point.y, rect.top, std::max(rect.top, rect.bottom - 1))};
}

}  // namespace

}  // namespace winapi_internal

using namespace winapi_internal;

HCURSOR WINAPI SetCursor(HCURSOR cursor) {
    if (cursor && !cursor_lookup(cursor)) {
        SetLastError(ERROR_INVALID_CURSOR_HANDLE);
        return nullptr;
    }
    HCURSOR previous;
    {
        std::lock_guard<std::mutex> guard(pointer_lock);
        previous = pointer.cursor;
        pointer.cursor = cursor;
    }
    if (Display* display = x11_display()) {
        show_current_cursor(display);
    }
    return previous;
}

int WINAPI ShowCursor(BOOL show) {
    int count;
    bool changed;
    {
        std::lock_guard<std::mutex> guard(pointer_lock);
        int before = pointer.show_count;
        pointer.show_count += show ? 1 : -1;
        count = pointer.show_count;
        changed = (before >= 0) != (count >= 0);
    }
    if (changed) {
        if (Display* display = x11_display()) {
            show_current_cursor(display);
        }
    }
    return count;
}

BOOL WINAPI GetCursorPos(LPPOINT point) {
    if (!point) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (Display* display = x11_display()) {
        Window root, child;
        int root_x, root_y, x, y;
        unsigned mask;
        if (XQueryPointer(display, DefaultRootWindow(display), &root, &child, &root_x, &root_y, &x, &y,
                          &mask)) {
            remember_position({root_x, root_y});
        }
    }
    std::lock_guard<std::mutex> guard(pointer_lock);
    if (!pointer.position_known) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    *point = pointer.last_position;
    return TRUE;
}

BOOL WINAPI SetCursorPos(int x, int y) {
    Display* display = x11_display();
    if (!display) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    POINT target{x, y};
    {
        std::lock_guard<std::mutex> guard(pointer_lock);
        if (pointer.clipped) {
            target = clamp_to(pointer.clip, target);
        }
    }
    XWarpPointer(display, None, DefaultRootWindow(display), 0, 0, 0, 0, target.x, target.y);
    XFlush(display);
    remember_position(target);
    return TRUE;
}

BOOL WINAPI ClipCursor(const RECT* rect) {
    Display* display = x11_display();
    if (!display) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    XCursors& cursors = x_cursors(display);
    remove_barriers(display, cursors);
    if (!rect || rect->right <= rect->left || rect->bottom <= rect->top) {
        std::lock_guard<std::mutex> guard(pointer_lock);
        pointer.clipped = false;
        XFlush(display);
        return TRUE;
    }
    RECT clip = *rect;
    {
        std::lock_guard<std::mutex> guard(pointer_lock);
        pointer.clipped = true;
        pointer.clip = clip;
    }
    POINT now{};
    if (GetCursorPos(&now)) {
        POINT inside = clamp_to(clip, now);
        if (inside.x != now.x || inside.y != now.y) {
            SetCursorPos(inside.x, inside.y);
        }
    }
    // Four barriers on the edges, each passable only inwards. Without XFixes 5 the pointer is not confined,
    // but SetCursorPos still keeps to the rectangle.
    int event_base, error_base, major = 0, minor = 0;
    if (XFixesQueryExtension(display, &event_base, &error_base) &&
        XFixesQueryVersion(display, &major, &minor) && major >= 5) {
        Window root = DefaultRootWindow(display);
        // The server stops the pointer on a barrier it moves left or up to, and one pixel short of a barrier
        // it moves right or down to: the exclusive edges are where the barriers go.
        int left = clip.left, top = clip.top, right = clip.right, bottom = clip.bottom;
        cursors.barriers = {
            XFixesCreatePointerBarrier(display, root, left, top, left, bottom, BarrierPositiveX, 0, nullptr),
            XFixesCreatePointerBarrier(display, root, right, top, right, bottom, BarrierNegativeX, 0,
                                       nullptr),
            XFixesCreatePointerBarrier(display, root, left, top, right, top, BarrierPositiveY, 0, nullptr),
            XFixesCreatePointerBarrier(display, root, left, bottom, right, bottom, BarrierNegativeY, 0,
                                       nullptr),
        };
    }
    XFlush(display);
    return TRUE;
}
