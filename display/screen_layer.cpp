#include "display/screen_layer.h"

#include "app/application_interface.h"
#include "app/session_screen.h"
#include "display/red_screen.h"
#include "platform/session_block.h"
#include "runtime/event.h"
#include "runtime/exception.h"
#include "runtime/log.h"

namespace {

class AttachLayerEvent : public SyncEvent {
public:
    AttachLayerEvent(ApplicationInterface& app, ScreenLayer& layer, int screen_id)
        : _app(app), _layer(layer), _screen_id(screen_id) {}

protected:
    void do_response(AbstractProcessLoop&) override {
        SessionScreen* screen = _app.get_screen(_screen_id);
        if (!screen) {
            THROW("no screen %d", _screen_id);
        }
        try {
            screen->attach_layer(_layer);
        } catch (...) {
            screen->unref();
            throw;
        }
        screen->unref();  // the layer holds its own reference now
    }

private:
    ApplicationInterface& _app;
    ScreenLayer& _layer;
    int _screen_id;
};

class DetachLayerEvent : public SyncEvent {
public:
    explicit DetachLayerEvent(ScreenLayer& layer) : _layer(layer) {}

protected:
    void do_response(AbstractProcessLoop&) override {
        RedScreen* screen = _layer.screen();
        if (screen) {
            screen->detach_layer(_layer);
        }
    }

private:
    ScreenLayer& _layer;
};

pixman_box32_t box_of(const RECT& rect) {
    return pixman_box32_t{rect.left, rect.top, rect.right, rect.bottom};
}

}  // namespace

ScreenLayer::ScreenLayer(int z_order, bool opaque) : _screen(nullptr), _z_order(z_order), _opaque(opaque) {
    pixman_region32_init(&_area);
    pixman_region32_init(&_direct_area);
    pixman_region32_init(&_composite_area);
}

ScreenLayer::~ScreenLayer() {
    if (_screen) {
        LOG_ERROR("layer %d destroyed while attached", _z_order);
    }
    pixman_region32_fini(&_area);
    pixman_region32_fini(&_direct_area);
    pixman_region32_fini(&_composite_area);
}

void ScreenLayer::attach_to_screen(ApplicationInterface& app, int screen_id) {
    if (_screen) {
        return;
    }
    auto* event = new AttachLayerEvent(app, *this, screen_id);
    app.main_loop().push_event(event);
    event->wait();
    bool failed = event->failed();
    event->unref();
    if (failed) {
        THROW("attach failed");
    }
}

void ScreenLayer::detach_from_screen(ApplicationInterface& app) {
    if (!_screen) {
        return;
    }
    auto* event = new DetachLayerEvent(*this);
    app.main_loop().push_event(event);
    event->wait();
    bool failed = event->failed();
    event->unref();
    if (failed) {
        THROW("detach failed");
    }
}

uint64_t ScreenLayer::invalidate_rect(const RECT& rect, bool urgent) {
    RedScreen* screen = _screen;
    return screen ? screen->invalidate_rect(rect, urgent) : 0;
}

void ScreenLayer::invalidate_locked() {
    RedScreen* screen = _screen;
    if (!screen) {
        return;
    }
    int count;
    const pixman_box32_t* boxes = pixman_region32_rectangles(&_area, &count);
    for (int i = 0; i < count; i++) {
        screen->invalidate_rect(RECT{boxes[i].x1, boxes[i].y1, boxes[i].x2, boxes[i].y2}, false);
    }
}

void ScreenLayer::invalidate() {
    Lock lock(_area_lock);
    invalidate_locked();
}

void ScreenLayer::notify_changed() {
    RedScreen* screen = _screen;
    if (screen) {
        screen->on_layer_changed();
    }
}

void ScreenLayer::set_area(const pixman_region32_t& area) {
    Lock lock(_area_lock);
    invalidate_locked();
    pixman_region32_copy(&_area, const_cast<pixman_region32_t*>(&area));
    invalidate_locked();
    notify_changed();
}

void ScreenLayer::clear_area() {
    Lock lock(_area_lock);
    invalidate_locked();
    pixman_region32_clear(&_area);
    notify_changed();
}

void ScreenLayer::set_rect_area(const RECT& rect) {
    Lock lock(_area_lock);
    invalidate_locked();
    pixman_region32_fini(&_area);
    pixman_box32_t box = box_of(rect);
    pixman_region32_init_rects(&_area, &box, 1);
    invalidate_locked();
    notify_changed();
}

void ScreenLayer::add_rect_area(const RECT& rect) {
    Lock lock(_area_lock);
    if (rect.left < rect.right && rect.top < rect.bottom) {
        pixman_region32_union_rect(&_area, &_area, rect.left, rect.top, unsigned(rect.right - rect.left),
                                   unsigned(rect.bottom - rect.top));
    }
    notify_changed();
}

void ScreenLayer::remove_rect_area(const RECT& rect) {
    Lock lock(_area_lock);
    invalidate_locked();
    pixman_region32_t removed;
    pixman_box32_t box = box_of(rect);
    pixman_region32_init_rects(&removed, &box, 1);
    pixman_region32_subtract(&_area, &_area, &removed);
    pixman_region32_fini(&removed);
    notify_changed();
}

bool ScreenLayer::contains_point(int x, int y) {
    Lock lock(_area_lock);
    uint32_t graphic_type = SessionBlock::u32(SessionBlock::GRAPHIC_TYPE);
    if (graphic_type != 0 && graphic_type != 1 && graphic_type != 3) {
        return true;  // 3D host rendering draws the whole window
    }
    return pixman_region32_contains_point(&_area, x, y, nullptr);
}

void ScreenLayer::copy_area(pixman_region32_t& out) {
    Lock lock(_area_lock);
    pixman_region32_copy(&out, &_area);
}

void ScreenLayer::begin_update(pixman_region32_t& direct_region, pixman_region32_t& composite_region) {
    Lock lock(_area_lock);
    pixman_region32_intersect(&_direct_area, &_area, &direct_region);
    pixman_region32_intersect(&_composite_area, &_area, &composite_region);
    pixman_region32_subtract(&direct_region, &direct_region, &_direct_area);
    if (_opaque) {
        pixman_region32_subtract(&composite_region, &composite_region, &_composite_area);
    } else {
        pixman_region32_union(&composite_region, &composite_region, &_direct_area);
        pixman_region32_union(&_composite_area, &_composite_area, &_direct_area);
        pixman_region32_clear(&_direct_area);
    }
}
