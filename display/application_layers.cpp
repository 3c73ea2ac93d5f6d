#include "display/application_layers.h"

#include "app/application.h"
#include "canvas/red_drawable.h"
#include "display/red_screen.h"
#include "platform/local_cursor.h"
#include "runtime/exception.h"
#include "runtime/log.h"

#include <algorithm>

namespace {

// The watermark's window and pixels, kept by the watermark.
struct WatermarkWindow {
    Mutex lock;
    HWND window = nullptr;
    HDC memory_dc = nullptr;
    bool enabled = false;
};

WatermarkWindow& watermark_window() {
    static WatermarkWindow the_window;
    return the_window;
}

std::vector<RECT> rects_of(const pixman_region32_t& region) {
    int count = 0;
    const pixman_box32_t* boxes = pixman_region32_rectangles(const_cast<pixman_region32_t*>(&region), &count);
    std::vector<RECT> rects;
    for (int i = 0; i < count; i++) {
        rects.push_back(RECT{boxes[i].x1, boxes[i].y1, boxes[i].x2, boxes[i].y2});
    }
    return rects;
}

// The common part of two rectangles; false when they do not overlap.
bool intersect(const RECT& a, const RECT& b, RECT& out) {
    out = RECT{std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right),
               std::min(a.bottom, b.bottom)};
    return out.left < out.right && out.top < out.bottom;
}

}  // namespace

// ---- AppScreenLayer ----

AppScreenLayer::~AppScreenLayer() {
    detach();
}

SessionScreen* AppScreenLayer::attached_screen() {
    return screen();
}

void AppScreenLayer::attach(SessionScreen& screen) {
    if (!this->screen()) {
        screen.attach_layer(*this);
    }
}

void AppScreenLayer::detach() {
    RedScreen* screen = this->screen();
    if (!screen) {
        return;
    }
    try {
        screen->detach_layer(*this);
    } catch (Exception& e) {
        LOG_WARN("layer %d not detached: %s", z_order(), e.what());
    }
}

// ---- GUIBarrier ----

GUIBarrier::GUIBarrier(int screen_id)
    : AppScreenLayer(Z_ORDER, true), _screen_id(screen_id), _cursor(new WinInactiveCursor()) {}

GUIBarrier::~GUIBarrier() {
    detach();
    _cursor->unref();
}

void GUIBarrier::on_pointer_enter(int x, int y, unsigned int buttons_state) {
    RedScreen* screen = this->screen();
    if (screen && !screen->mouse_captured) {
        screen->get_window().set_cursor(_cursor, true);
    }
}

// ---- InfoLayer ----

InfoLayer::InfoLayer()
    : AppScreenLayer(Z_ORDER, false), _image_size{0, 0}, _showing(false), _offset{0, 0}, _rect{0, 0, 0, 0} {
    try {
        _image.reset(new AlphaImageFromRes());
        _image_size = _image->get_size();
    } catch (Exception& e) {
        LOG_WARN("no sticky-key image: %s", e.what());
        _image.reset();
    }
}

InfoLayer::~InfoLayer() {
    detach();
}

bool InfoLayer::showing() {
    Lock lock(_info_lock);
    return _showing;
}

RECT InfoLayer::image_rect() {
    Lock lock(_info_lock);
    return _rect;
}

void InfoLayer::attach(SessionScreen& screen) {
    AppScreenLayer::attach(screen);
    place();
}

void InfoLayer::on_size_changed() {
    place();
}

void InfoLayer::place() {
    RedScreen* screen = this->screen();
    if (!screen) {
        return;
    }
    clear_area();
    bool show;
    {
        Lock lock(_info_lock);
        int x = (screen->width - _image_size.cx) / 2;
        int y = 2 * screen->height / 3;
        _offset = POINT{x, y};
        _rect = RECT{x, y, x + _image_size.cx, y + _image_size.cy};
        show = _showing;
    }
    set_info_mode(show);
}

void InfoLayer::set_info_mode(bool show) {
    Lock lock(_info_lock);
    if (!_showing && !show) {
        return;
    }
    _showing = show;
    if (show) {
        add_rect_area(_rect);
        invalidate_rect(_rect, false);
    } else {
        remove_rect_area(_rect);
    }
}

void InfoLayer::copy_pixels(const pixman_region32_t& region, RedDrawable& dest) {
    Lock lock(_info_lock);
    if (!_showing || !_image) {
        return;
    }
    for (const RECT& rect : rects_of(region)) {
        // Only the image's own pixels are read, whatever the region holds.
        RECT part;
        if (!intersect(rect, _rect, part)) {
            continue;
        }
        dest.blend_pixels(*_image, part.left - _offset.x, part.top - _offset.y,
                          SpiceRect{part.left, part.top, part.right, part.bottom});
    }
}

// ---- WatermarkLayer ----

WatermarkLayer::WatermarkLayer() : AppScreenLayer(Z_ORDER, false) {}

WatermarkLayer::~WatermarkLayer() {
    detach();
}

void WatermarkLayer::set_watermark(HWND window, HDC memory_dc, bool enabled) {
    WatermarkWindow& watermark = watermark_window();
    Lock lock(watermark.lock);
    watermark.window = window;
    watermark.memory_dc = memory_dc;
    watermark.enabled = enabled;
}

void WatermarkLayer::attach(SessionScreen& screen) {
    AppScreenLayer::attach(screen);
    on_size_changed();
}

void WatermarkLayer::on_size_changed() {
    RedScreen* screen = this->screen();
    if (screen) {
        set_rect_area(RECT{0, 0, screen->width, screen->height});
    }
}

void WatermarkLayer::copy_pixels(const pixman_region32_t& region, RedDrawable& dest) {
    Lock lock(_layer_lock);
    bool active;
    {
        WatermarkWindow& watermark = watermark_window();
        Lock window_lock(watermark.lock);
        _source.set_window(watermark.window);
        _source.set_dc(watermark.memory_dc);
        active = watermark.window && IsWindow(watermark.window) && watermark.memory_dc && watermark.enabled;
    }
    if (!active) {
        return;
    }
    SIZE size = _source.get_size();
    RECT source_rect = {0, 0, size.cx, size.cy};
    for (const RECT& rect : rects_of(region)) {
        RECT part;
        if (intersect(rect, source_rect, part)) {
            dest.blend_pixels(_source, part.left, part.top,
                              SpiceRect{part.left, part.top, part.right, part.bottom});
        }
    }
}

// ---- Factories ----

void install_application_layers(ApplicationParts& parts) {
    parts.create_gui_barrier = [](Application&, int screen_id) -> ApplicationLayer* {
        return new GUIBarrier(screen_id);
    };
    parts.create_info_layer = [](Application&) -> ApplicationLayer* { return new InfoLayer(); };
    parts.create_watermark_layer = [](Application&) -> ApplicationLayer* { return new WatermarkLayer(); };
}
