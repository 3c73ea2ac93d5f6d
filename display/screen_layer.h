// ScreenLayer: one layer of a session screen's stack. Each layer owns an area of the screen (in screen
// coordinates); at every repaint the screen asks the layers, from the top down, which part of the repaint
// each draws straight into the window and which part goes through the screen's composite pixmap, and the
// layer then copies its pixels. While the pointer is over it, a layer also gets the pointer and the mouse
// buttons.
//
// Z-orders in use: 0 the remote desktop (opaque), 1 the software cursor, 2 the input barrier under dialogs
// (opaque), 3 the in-session dialogs, 4 the info overlay, 5 the watermark.
//
// Layers may be created on any thread. Attaching and detaching run on the main thread (the caller waits); the
// area operations may be called from any thread. Lock order: a layer's area lock, then the screen's update
// lock; the screen never holds its update lock while it calls into a layer.
#pragma once

#include "runtime/threads.h"
#include "winapi/windows.h"

#include <pixman.h>

#include <cstdint>

class ApplicationInterface;
class RedDrawable;
class RedScreen;

class ScreenLayer {
public:
    ScreenLayer(int z_order, bool opaque);
    // A layer must be detached before it goes.
    virtual ~ScreenLayer();

    ScreenLayer(const ScreenLayer&) = delete;
    ScreenLayer& operator=(const ScreenLayer&) = delete;

    // Copies the layer's pixels of the region (screen coordinates) into the destination.
    virtual void copy_pixels(const pixman_region32_t& region, RedDrawable& dest) {}
    virtual void on_size_changed() {}
    virtual void pre_migrate() {}
    virtual void post_migrate() {}
    // The repaint that drew everything invalidated up to this mark reached the window.
    virtual void on_update_completion(uint64_t mark) {}
    // Whether the point belongs to this layer for pointer routing.
    virtual bool pointer_test(int x, int y) { return false; }
    virtual void on_pointer_enter(int x, int y, unsigned int buttons_state) {}
    virtual void on_pointer_motion(int x, int y, unsigned int buttons_state) {}
    virtual void on_pointer_leave() {}
    virtual void on_mouse_button_press(int button, unsigned int buttons_state) {}
    virtual void on_mouse_button_release(int button, unsigned int buttons_state) {}

    // Any thread but the main one (the caller waits for the main thread). Attaching an attached layer, or
    // detaching a detached one, does nothing. Throw Exception "attach failed" when the screen's slot of this
    // z-order is taken, "detach failed" when the layer is not in its slot.
    void attach_to_screen(ApplicationInterface& app, int screen_id);
    void detach_from_screen(ApplicationInterface& app);

    // The screen's update mark current when the rectangle was added; 0 when detached.
    uint64_t invalidate_rect(const RECT& rect, bool urgent);
    // Invalidates the whole area (nothing when detached).
    void invalidate();

    void set_area(const pixman_region32_t& area);
    void clear_area();
    void set_rect_area(const RECT& rect);
    // Does not repaint: the owner draws what it adds.
    void add_rect_area(const RECT& rect);
    // Repaints the whole former area.
    void remove_rect_area(const RECT& rect);

    // The point is in the area; always true with 3D host rendering (graphic type 2 or above 3).
    bool contains_point(int x, int y);

    // The screen's repaint, main thread: takes this layer's share of the direct and composite regions.
    void begin_update(pixman_region32_t& direct_region, pixman_region32_t& composite_region);

    int z_order() const { return _z_order; }
    bool is_opaque() const { return _opaque; }
    RedScreen* screen() const { return _screen; }
    // Main thread, during a repaint: what begin_update gave this layer.
    const pixman_region32_t& direct_area() const { return _direct_area; }
    const pixman_region32_t& composite_area() const { return _composite_area; }
    // A copy of the area, taken under the area lock.
    void copy_area(pixman_region32_t& out);

private:
    friend class RedScreen;
    void set_screen(RedScreen* screen) { _screen = screen; }
    // Area lock held.
    void invalidate_locked();
    void notify_changed();

    RedScreen* _screen;
    const int _z_order;
    const bool _opaque;
    Mutex _area_lock;
    pixman_region32_t _area;
    pixman_region32_t _direct_area;
    pixman_region32_t _composite_area;
};
