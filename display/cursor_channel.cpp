#include "display/cursor_channel.h"

#include "app/application_interface.h"
#include "display/red_screen.h"
#include "runtime/event.h"
#include "runtime/exception.h"
#include "runtime/log.h"

#include <algorithm>

namespace {

std::atomic<HWND> ready_window{nullptr};

void put_u16(uint8_t* out, uint16_t value) {
    out[0] = uint8_t(value);
    out[1] = uint8_t(value >> 8);
}

void put_u32(uint8_t* out, uint32_t value) {
    for (int i = 0; i < 4; i++) {
        out[i] = uint8_t(value >> (8 * i));
    }
}

// Drops the reference at the end of the scope.
struct ShapeHolder {
    explicit ShapeHolder(CursorData* shape) : shape(shape) {}
    ~ShapeHolder() { shape->unref(); }
    CursorData* shape;
};

}  // namespace

class CursorChannel::AttachDisplayEvent : public Event {
public:
    explicit AttachDisplayEvent(CursorChannel& channel) : _channel(channel) {}
    void response(AbstractProcessLoop&) override { _channel.attach_display_of_client(); }

private:
    CursorChannel& _channel;
};

class CursorChannel::CursorUpdateEvent : public Event {
public:
    explicit CursorUpdateEvent(CursorChannel& channel) : _channel(channel) {}
    void response(AbstractProcessLoop&) override { _channel.on_display_update(); }

private:
    CursorChannel& _channel;
};

// Runs after every event the channel queued before it.
class CursorChannel::FlushEvent : public SyncEvent {
protected:
    void do_response(AbstractProcessLoop&) override {}
};

CursorChannel::CursorChannel(ChannelClient& client, uint8_t id, ApplicationInterface& app)
    : CursorChannel(client, id, app, new Handler(*this)) {}

CursorChannel::CursorChannel(ChannelClient& client, uint8_t id, ApplicationInterface& app, Handler* handler)
    : RedChannel(client, SPICE_CHANNEL_CURSOR, id, handler, 4), ScreenLayer(1, false), _app(app) {
    register_handlers(handler);
    caps_set(get_caps(), CAP_CAD_CURSOR_DRAW);
    LOG_INFO("enable cad draw opt capability");
}

CursorChannel::Handler* CursorChannel::register_handlers(Handler* handler) {
    handler->set_handler<SPICE_MSG_MIGRATE>(&CursorChannel::handle_migrate);
    handler->set_handler<SPICE_MSG_SET_ACK>(&CursorChannel::handle_set_ack);
    handler->set_handler<SPICE_MSG_PING>(&CursorChannel::handle_ping);
    handler->set_handler<SPICE_MSG_WAIT_FOR_CHANNELS>(&CursorChannel::handle_wait_for_channels);
    handler->set_handler<SPICE_MSG_DISCONNECTING>(&CursorChannel::handle_disconnect);
    handler->set_handler<SPICE_MSG_NOTIFY>(&CursorChannel::handle_notify);
    handler->set_handler<SPICE_MSG_CURSOR_INIT>(&CursorChannel::handle_init);
    handler->set_handler<SPICE_MSG_CURSOR_RESET>(&CursorChannel::handle_reset);
    handler->set_handler<SPICE_MSG_CURSOR_SET>(&CursorChannel::handle_cursor_set);
    handler->set_handler<SPICE_MSG_CURSOR_MOVE>(&CursorChannel::handle_cursor_move);
    handler->set_handler<SPICE_MSG_CURSOR_HIDE>(&CursorChannel::handle_cursor_hide);
    handler->set_handler<SPICE_MSG_CURSOR_TRAIL>(&CursorChannel::handle_cursor_trail);
    handler->set_handler<SPICE_MSG_CURSOR_INVAL_ONE>(&CursorChannel::handle_inval_one);
    handler->set_handler<SPICE_MSG_CURSOR_INVAL_ALL>(&CursorChannel::handle_inval_all);
    handler->set_handler<SPICE_MSG_CURSOR_SHOWN>(&CursorChannel::handle_cursor_shown);
    handler->set_handler<SPICE_MSG_CURSOR_DRAW>(&CursorChannel::handle_cursor_draw);
    return handler;
}

RedChannel::MessageHandler* CursorChannel::create_message_handler(CursorChannel& channel) {
    return register_handlers(new Handler(channel));
}

CursorChannel::~CursorChannel() {
    {
        Lock lock(_cache_lock);
        _cache.clear();
    }
    if (_current) {
        _current->unref();
    }
}

void CursorChannel::set_ready_window(HWND window) {
    ready_window = window;
}

void CursorChannel::clear_ready_window(HWND window) {
    ready_window.compare_exchange_strong(window, nullptr);
}

void CursorChannel::notify_ready(bool ready) {
    if (HWND window = ready_window.load()) {
        PostMessageW(window, WM_CURSOR_READY, CURSOR_READY_BIT, ready ? 1 : 0);
    }
}

void CursorChannel::attach_layer() {
    attach_to_screen(_app, get_id());
}

void CursorChannel::detach_layer() {
    detach_from_screen(_app);
}

uint32_t CursorChannel::mouse_mode() {
    return _app.get_client().get_mouse_mode();
}

// ---- Display link (main thread) ----

void CursorChannel::attach_display_of_client() {
    uint8_t id = get_id();
    _app.get_client().for_each_channel([this, id](RedChannel& channel) {
        if (channel.get_type() != SPICE_CHANNEL_DISPLAY || channel.get_id() != id) {
            return true;
        }
        if (CursorDisplay* display = dynamic_cast<CursorDisplay*>(&channel)) {
            attach_display(*display);
        }
        return false;
    });
}

void CursorChannel::attach_display(CursorDisplay& display) {
    CursorDisplay* none = nullptr;
    if (!_display.compare_exchange_strong(none, &display)) {
        return;
    }
    Lock lock(_lock);
    if (_visible && _current) {
        display.set_cursor(_current);
    }
}

void CursorChannel::detach_display(CursorDisplay& display) {
    CursorDisplay* linked = &display;
    _display.compare_exchange_strong(linked, nullptr);
}

void CursorChannel::update_display_cursor() {
    if (!_display.load()) {
        return;
    }
    CursorUpdateEvent* event = new CursorUpdateEvent(*this);
    _app.main_loop().push_event(event);
    event->unref();
}

void CursorChannel::on_display_update() {
    CursorDisplay* display = _display.load();
    if (!display) {
        return;
    }
    Lock lock(_lock);
    if (_visible && _current) {
        display->set_cursor(_current);
    } else {
        display->hide_cursor();
    }
}

// ---- Layer ----

void CursorChannel::copy_pixels(const pixman_region32_t& region, RedDrawable& dest) {
    Lock lock(_lock);
    if (!_visible || !_current) {
        return;
    }
    int count;
    const pixman_box32_t* boxes = pixman_region32_rectangles(const_cast<pixman_region32_t*>(&region), &count);
    for (int i = 0; i < count; i++) {
        // Only the cursor rectangle has pixels.
        SpiceRect area{std::max<int32_t>(boxes[i].x1, _rect.left), std::max<int32_t>(boxes[i].y1, _rect.top),
                       std::min<int32_t>(boxes[i].x2, _rect.right),
                       std::min<int32_t>(boxes[i].y2, _rect.bottom)};
        if (area.left < area.right && area.top < area.bottom) {
            _current->native().draw(dest, _rect.left, _rect.top, area);
        }
    }
}

void CursorChannel::on_mouse_mode_change() {
    Lock lock(_lock);
    if (!server_mode()) {
        clear_area();
    } else if (_visible) {
        set_rect_area(_rect);
    }
}

// ---- Shapes ----

void CursorChannel::set_cursor(const SpiceCursor& cursor, int x, int y) {
    if (cursor.flags & SPICE_CURSOR_FLAGS_NONE) {
        remove_cursor();
        return;
    }
    CursorData* shape;
    {
        Lock lock(_cache_lock);
        if (cursor.flags & SPICE_CURSOR_FLAGS_FROM_CACHE) {
            shape = _cache.get(cursor.header.unique);
        } else {
            shape = CursorData::create(cursor.header, cursor.data, cursor.data_size);
            if (cursor.flags & SPICE_CURSOR_FLAGS_CACHE_ME) {
                _cache.add(cursor.header.unique, shape);
            }
        }
    }
    ShapeHolder hold(shape);
    set_shape(shape, x, y);
}

void CursorChannel::set_shape(CursorData* shape, int x, int y) {
    shape->native();
    RECT rect;
    {
        Lock lock(_lock);
        const SpiceCursorHeader& h = shape->header();
        _x = x;
        _y = y;
        _visible = true;
        _rect.left = x - h.hot_spot_x;
        _rect.top = y - h.hot_spot_y;
        _rect.right = _rect.left + h.width;
        _rect.bottom = _rect.top + h.height;
        rect = _rect;
        CursorData* previous = _current;
        _current = shape->ref();
        if (previous) {
            previous->unref();
        }
    }
    update_display_cursor();
    if (server_mode()) {
        set_rect_area(rect);
    }
}

void CursorChannel::remove_cursor() {
    {
        Lock lock(_lock);
        _visible = false;
        if (_current) {
            _current->unref();
            _current = nullptr;
        }
    }
    clear_area();
    update_display_cursor();
}

void CursorChannel::hide_locked() {
    _visible = false;
    update_display_cursor();
    if (server_mode()) {
        clear_area();
    }
}

// ---- Server messages ----

void CursorChannel::handle_init(const SpiceMsgCursorInit& init) {
    notify_ready(true);
    attach_layer();
    remove_cursor();
    {
        Lock lock(_cache_lock);
        _cache.clear();
    }
    set_cursor(init.cursor, init.position.x, init.position.y);
}

void CursorChannel::handle_reset() {
    remove_cursor();
    detach_layer();
    Lock lock(_cache_lock);
    _cache.clear();
}

void CursorChannel::handle_cursor_set(const SpiceMsgCursorSet& set) {
    set_cursor(set.cursor, set.position.x, set.position.y);
}

void CursorChannel::handle_cursor_move(const SpiceMsgCursorMove& move) {
    RECT rect;
    {
        Lock lock(_lock);
        if (!_current) {
            return;
        }
        _visible = true;
        int32_t dx = move.position.x - _x, dy = move.position.y - _y;
        _rect.left += dx;
        _rect.right += dx;
        _rect.top += dy;
        _rect.bottom += dy;
        _x = move.position.x;
        _y = move.position.y;
        rect = _rect;
    }
    if (server_mode()) {
        set_rect_area(rect);
    } else {
        update_display_cursor();
    }
}

void CursorChannel::handle_cursor_hide() {
    Lock lock(_lock);
    hide_locked();
}

void CursorChannel::handle_cursor_trail(const SpiceMsgCursorTrail& trail) {
    LOG_DEBUG("length %u frequency %u", trail.length, trail.frequency);
}

void CursorChannel::handle_inval_one(const SpiceMsgCursorInvalOne& inval) {
    Lock lock(_cache_lock);
    _cache.remove(inval.id);
}

void CursorChannel::handle_inval_all() {
    Lock lock(_cache_lock);
    _cache.clear();
}

void CursorChannel::handle_cursor_shown() {
    LOG_INFO("ignore cursor shown message, cursor channel id %d", get_id());
}

void CursorChannel::handle_cursor_draw(const SpiceMsgCursorDraw& draw) {
    uint16_t pick_box = draw.pickbox_size;
    if (!pick_box && !draw.cursor_size) {
        Lock lock(_lock);
        hide_locked();
        return;
    }
    int32_t left = draw.left, top = draw.top, right = draw.right, bottom = draw.bottom;
    if (RedScreen* screen = this->screen()) {
        POINT origin = screen->get_window().get_screen_position();
        left += origin.x;
        right += origin.x;
        top += origin.y;
        bottom += origin.y;
        RECT area{left, top, right, bottom};
        POINT pointer{0, 0};
        GetCursorPos(&pointer);
        if (!PtInRect(&area, pointer)) {
            LOG_INFO("invalid acad set cmd ignore it");
            return;
        }
    }
    // A rectangle turned inside out has no extent.
    int32_t extent = std::max<int32_t>(0, std::max(right - left, bottom - top));
    uint16_t cross = uint16_t(2 * std::min<int32_t>(extent, draw.cursor_size / 2));
    uint16_t side = cross && cross >= pick_box ? cross : pick_box;

    uint8_t record[24];
    put_u32(record, draw.color);
    put_u16(record + 4, pick_box);
    put_u16(record + 6, cross);
    put_u32(record + 8, uint32_t(left));
    put_u32(record + 12, uint32_t(top));
    put_u32(record + 16, uint32_t(right));
    put_u32(record + 20, uint32_t(bottom));
    CursorData* shape = CursorData::create_cad(side, side / 2, record);
    ShapeHolder hold(shape);
    int32_t x, y;
    {
        Lock lock(_lock);
        x = _x;
        y = _y;
    }
    set_shape(shape, x, y);
}

// ---- Connection ----

void CursorChannel::on_connect() {
    AttachDisplayEvent* event = new AttachDisplayEvent(*this);
    _app.main_loop().push_event(event);
    event->unref();
}

void CursorChannel::on_disconnect() {
    remove_cursor();
    {
        Lock lock(_cache_lock);
        _cache.clear();
    }
    FlushEvent* flush = new FlushEvent();
    _app.main_loop().push_event(flush);
    flush->wait();
    flush->unref();
    try {
        detach_layer();
    } catch (Exception& e) {
        LOG_ERROR("%s", e.what());
    }
    notify_ready(false);
}

// ---- State ----

CursorChannel::State CursorChannel::state() {
    Lock lock(_lock);
    State state{_visible, _current != nullptr, SpiceCursorHeader{}, {}, _x, _y, _rect};
    if (_current) {
        state.header = _current->header();
        state.data = _current->data();
    }
    return state;
}

size_t CursorChannel::cached_count() {
    Lock lock(_cache_lock);
    return _cache.count();
}

CursorData* CursorChannel::cached(uint64_t id) {
    Lock lock(_cache_lock);
    try {
        return _cache.get(id);
    } catch (Exception&) {
        return nullptr;
    }
}

RedChannel* CursorFactory::create(ChannelClient& client, uint8_t id) {
    return new CursorChannel(client, id, _app);
}
