#include "display/red_screen.h"

#include "app/red_client.h"
#include "app/standin_screen.h"

#include "app/application_interface.h"
#include "canvas/red_drawable.h"
#include "display/cursor_channel.h"
#include "display/inputs_channel.h"
#include "display/keyboard_hook.h"
#include "display/screen_layer.h"
#include "platform/local_cursor.h"
#include "platform/monitor.h"
#include "platform/session_block.h"
#include "runtime/event.h"
#include "runtime/exception.h"
#include "runtime/log.h"
#include "runtime/timer.h"

#include <cstdio>
#include <cstring>

// Repaints the screen on the main thread; holds a reference to it until it has run.
class RedScreen::UpdateEvent : public Event {
public:
    explicit UpdateEvent(RedScreen& screen) : _screen(screen) { _screen.ref(); }
    void response(AbstractProcessLoop&) override { _screen.update(); }

protected:
    ~UpdateEvent() override { _screen.unref(); }

private:
    RedScreen& _screen;
};

class RedScreen::LayerChangedEvent : public Event {
public:
    explicit LayerChangedEvent(RedScreen& screen) : _screen(screen) { _screen.ref(); }
    void response(AbstractProcessLoop&) override {
        {
            Lock lock(_screen._layer_change_lock);
            _screen._layer_change_pending = false;
        }
        if (_screen._pointer_on_screen) {
            _screen.update_pointer_layer_changed();
        }
    }
    void on_dropped() override {
        Lock lock(_screen._layer_change_lock);
        _screen._layer_change_pending = false;
    }

protected:
    ~LayerChangedEvent() override { _screen.unref(); }

private:
    RedScreen& _screen;
};

class RedScreen::UpdateTimer : public Timer {
public:
    explicit UpdateTimer(RedScreen& screen) : _screen(screen) {}
    void response(AbstractProcessLoop&) override { _screen.periodic_update(); }

private:
    RedScreen& _screen;
};

namespace {

RECT rect_of(const pixman_box32_t& box) {
    return RECT{box.x1, box.y1, box.x2, box.y2};
}

SpiceRect spice_rect_of(const pixman_box32_t& box) {
    return SpiceRect{box.x1, box.y1, box.x2, box.y2};
}

bool graphic_2d() {
    uint32_t graphic_type = SessionBlock::u32(SessionBlock::GRAPHIC_TYPE);
    return graphic_type == 0 || graphic_type == 1 || graphic_type == 3;
}

}  // namespace

RedScreen::RedScreen(ApplicationInterface& app, int id, const std::string& name_format, int width, int height)
    : SessionScreen(id),
      _app(app),
      _window(new RedWindow(app, *this)),
      _update_timer(new UpdateTimer(*this)) {
    pixman_region32_init(&_dirty_region);
    window = _window->hwnd();
    set_name(name_format);
    this->width = width;
    this->height = height;
    create_composite_area();
    _window->resize(width, height);
    _saved_position = _window->get_position();
    _default_cursor = new WinDefaultCursor();
    _inactive_cursor = new WinInactiveCursor();
    _window->set_cursor(_default_cursor);
    update_menu();
    _window->start_key_interception();
    if (id == 0) {
        // The main session window is told when the inputs and cursor channels are ready and when they go.
        InputsChannel::set_ready_window(window);
        CursorChannel::set_ready_window(window);
    }
}

RedScreen::~RedScreen() {
    InputsChannel::clear_ready_window(window);
    CursorChannel::clear_ready_window(window);
    _window->stop_key_interception();
    release_mouse();
    _composite_area.reset();
    deactivate_timer();
    _update_timer->unref();
    try {
        _app.on_screen_destroyed(get_id(), mouse_captured);
    } catch (Exception& e) {
        LOG_ERROR("screen %d: %s", get_id(), e.what());
    }
    pixman_region32_fini(&_dirty_region);
    _default_cursor->unref();
    _inactive_cursor->unref();
    _nav_bar_watch.stop();
    _restart_dialog.destroy();
    _restart_wait_dialog.destroy();
    _network_dialog.destroy();
    _window.reset();
}

// ---- Layers ----

void RedScreen::attach_layer(ScreenLayer& layer) {
    {
        Lock lock(update_lock);
        size_t slot = size_t(layer.z_order());
        if (layer.z_order() < 0) {
            THROW("invalid z-order %d", layer.z_order());
        }
        if (_layers.size() <= slot) {
            _layers.resize(slot + 1, nullptr);
        }
        if (_layers[slot]) {
            THROW("layer in use");
        }
        layer.set_screen(this);
        _layers[slot] = &layer;
        ref();
    }
    if (_pointer_on_screen) {
        update_pointer_layer_changed();
    }
}

void RedScreen::detach_layer(ScreenLayer& layer) {
    bool held_pointer = false;
    if (_pointer_layer == &layer) {
        layer.on_pointer_leave();
        _pointer_layer = nullptr;
        held_pointer = true;
    }
    {
        Lock lock(update_lock);
        size_t slot = size_t(layer.z_order());
        if (layer.z_order() < 0 || slot >= _layers.size() || _layers[slot] != &layer) {
            THROW("not found");
        }
        layer.set_screen(nullptr);
        _layers[slot] = nullptr;
    }
    if (held_pointer && !update_pointer_layer_changed()) {
        _window->set_cursor(_inactive_cursor, true);
    }
    unref();  // may delete this screen: nothing after it
}

void RedScreen::pre_migrate() {
    for (ScreenLayer* layer : _layers) {
        if (layer) {
            layer->pre_migrate();
        }
    }
}

void RedScreen::post_migrate() {
    for (ScreenLayer* layer : _layers) {
        if (layer) {
            layer->post_migrate();
        }
    }
}

// ---- Invalidation and the update timer ----

uint64_t RedScreen::invalidate_rect(const RECT& rect, bool urgent) {
    bool was_empty;
    bool timer_running;
    uint64_t mark;
    {
        Lock lock(update_lock);
        was_empty = !pixman_region32_not_empty(&_dirty_region);
        if (rect.left < rect.right && rect.top < rect.bottom) {
            pixman_region32_union_rect(&_dirty_region, &_dirty_region, rect.left, rect.top,
                                       unsigned(rect.right - rect.left), unsigned(rect.bottom - rect.top));
        }
        mark = _update_mark;
        timer_running = _timer_running;
    }
    if (was_empty && (urgent || !timer_running)) {
        if (urgent) {
            auto* event = new UpdateEvent(*this);
            _app.main_loop().push_event(event);
            event->unref();
        } else {
            activate_timer();
        }
    }
    return mark;
}

void RedScreen::activate_timer() {
    {
        Lock lock(update_lock);
        if (_timer_running) {
            return;
        }
        _timer_running = true;
    }
    _app.main_loop().arm_timer(_update_timer, UPDATE_INTERVAL_MS);
}

void RedScreen::deactivate_timer() {
    {
        Lock lock(update_lock);
        _timer_running = false;
    }
    _app.main_loop().disarm_timer(_update_timer);
}

void RedScreen::periodic_update() {
    bool empty;
    {
        Lock lock(update_lock);
        empty = !pixman_region32_not_empty(&_dirty_region);
        if (empty && _forced_update_count == 0) {
            _app.main_loop().disarm_timer(_update_timer);
            _timer_running = false;
        }
    }
    if (!empty) {
        update();
    }
}

void RedScreen::on_layer_changed() {
    Lock lock(_layer_change_lock);
    if (_layer_change_pending) {
        return;
    }
    _layer_change_pending = true;
    auto* event = new LayerChangedEvent(*this);
    _app.main_loop().push_event(event);
    event->unref();
}

uint64_t RedScreen::update_mark() {
    Lock lock(update_lock);
    return _update_mark;
}

bool RedScreen::is_timer_running() {
    Lock lock(update_lock);
    return _timer_running;
}

bool RedScreen::is_dirty() {
    Lock lock(update_lock);
    return pixman_region32_not_empty(&_dirty_region);
}

void RedScreen::enter_modal_loop() {
    if (!graphic_2d()) {
        return;
    }
    _counted_modal_entries++;
    _forced_update_count++;
    activate_timer();
}

void RedScreen::exit_modal_loop() {
    // Only an exit whose entry was counted lowers the count: otherwise it would go below zero and the timer,
    // which stops only at zero, would run for ever.
    if (_counted_modal_entries == 0) {
        return;
    }
    _counted_modal_entries--;
    _forced_update_count--;
}

// ---- Repaint ----

void RedScreen::begin_update(pixman_region32_t& direct, pixman_region32_t& composite,
                             pixman_region32_t& frame) {
    {
        Lock lock(update_lock);
        pixman_region32_copy(&direct, &_dirty_region);
        pixman_region32_clear(&_dirty_region);
        _update_mark++;
    }
    pixman_region32_t screen_rect;
    pixman_region32_init_rect(&screen_rect, 0, 0, unsigned(width), unsigned(height));
    if (_frame_area) {
        pixman_region32_subtract(&frame, &direct, &screen_rect);
    }
    pixman_region32_intersect(&direct, &direct, &screen_rect);
    pixman_region32_fini(&screen_rect);
    for (size_t i = _layers.size(); i-- > 0;) {
        if (_layers[i]) {
            _layers[i]->begin_update(direct, composite);
        }
    }
}

void RedScreen::compose(pixman_region32_t& composite) {
    if (!_composite_area) {
        return;
    }
    int count;
    const pixman_box32_t* boxes = pixman_region32_rectangles(&composite, &count);
    for (int i = 0; i < count; i++) {
        _composite_area->fill_rect(spice_rect_of(boxes[i]), 0);
    }
    for (ScreenLayer* layer : _layers) {
        if (layer) {
            pixman_region32_union(&composite, &composite,
                                  const_cast<pixman_region32_t*>(&layer->composite_area()));
            layer->copy_pixels(layer->composite_area(), *_composite_area);
        }
    }
}

void RedScreen::fill_window(const pixman_region32_t& region, uint32_t color) {
    int count;
    const pixman_box32_t* boxes = pixman_region32_rectangles(const_cast<pixman_region32_t*>(&region), &count);
    for (int i = 0; i < count; i++) {
        _window->fill_rect(spice_rect_of(boxes[i]), color);
    }
}

void RedScreen::draw_direct(pixman_region32_t& direct, pixman_region32_t& frame) {
    fill_window(direct, 0);
    if (_frame_area) {
        // The frame lies outside the screen: it is filled in window coordinates.
        POINT origin = _window->get_origin();
        _window->set_origin(0, 0);
        pixman_region32_t moved;
        pixman_region32_init(&moved);
        pixman_region32_copy(&moved, &frame);
        pixman_region32_translate(&moved, origin.x, origin.y);
        fill_window(moved, 0);
        pixman_region32_fini(&moved);
        _window->set_origin(origin.x, origin.y);
    }
    for (ScreenLayer* layer : _layers) {
        if (layer) {
            layer->copy_pixels(layer->direct_area(), *_window);
        }
    }
    if (SessionBlock::anti_screen_capture() && _app.focus_lost) {
        _window->fill_rect(SpiceRect{0, 0, width, height}, 0);
    }
}

void RedScreen::copy_composite(pixman_region32_t& composite) {
    if (!_composite_area) {
        return;
    }
    bool anti_capture = SessionBlock::anti_screen_capture() != 0;
    int count;
    const pixman_box32_t* boxes = pixman_region32_rectangles(&composite, &count);
    for (int i = 0; i < count; i++) {
        _window->copy_pixels(*_composite_area, boxes[i].x1, boxes[i].y1, spice_rect_of(boxes[i]));
        if (anti_capture && (_window->is_minimized() || GetFocus() != _window->hwnd())) {
            _window->fill_rect(SpiceRect{0, 0, width, height}, 0);
        }
    }
}

void RedScreen::update() {
    if (out_of_sync) {
        return;
    }
    pixman_region32_t direct, composite, frame;
    pixman_region32_init(&direct);
    pixman_region32_init(&composite);
    pixman_region32_init(&frame);
    begin_update(direct, composite, frame);
    _window->begin_paint();
    compose(composite);
    draw_direct(direct, frame);
    copy_composite(composite);
    _window->end_paint();
    pixman_region32_fini(&direct);
    pixman_region32_fini(&composite);
    pixman_region32_fini(&frame);
    uint64_t mark = update_mark() - 1;
    for (ScreenLayer* layer : _layers) {
        if (layer) {
            layer->on_update_completion(mark);
        }
    }
    activate_timer();
}

void RedScreen::on_exposed_rect(const RECT& rect) {
    if (out_of_sync) {
        _window->begin_paint();
        _window->fill_rect(SpiceRect{rect.left, rect.top, rect.right, rect.bottom}, 0xFFFFFF);
        _window->end_paint();
        return;
    }
    if (!graphic_2d()) {
        return;  // the 3D host renderer draws the window
    }
    invalidate_rect(rect, false);
}

void RedScreen::create_composite_area() {
    _composite_area.reset();
    RedDrawable::Format format =
        _window->get_format() == RedDrawable::RGB16_555 ? RedDrawable::RGB16_555 : RedDrawable::RGB32;
    _composite_area.reset(new RedPixmapSw(width, height, format, true));
}

void RedScreen::notify_new_size() {
    for (ScreenLayer* layer : _layers) {
        if (layer) {
            layer->on_size_changed();
        }
    }
}

void RedScreen::resize(int width, int height) {
    {
        Lock lock(update_lock);
        this->width = width;
        this->height = height;
        create_composite_area();
    }
    // Placed without the update lock: releasing the mouse asks the layers about the pointer, and a layer's
    // area lock is always taken before the update lock.
    if (full_screen) {
        show_full_screen_on_monitor();
    } else {
        bool was_captured = mouse_captured;
        release_mouse();
        _window->resize(width, height);
        if (_active && was_captured) {
            capture_mouse();
        }
    }
    notify_new_size();
}

// ---- Placement ----

std::string format_screen_name(const std::string& format, const std::string& word, int id) {
    std::string name;
    bool word_used = false, id_used = false;
    for (size_t i = 0; i < format.size(); i++) {
        char c = format[i];
        if (c != '%' || i + 1 >= format.size()) {
            name += c;
            continue;
        }
        char conversion = format[i + 1];
        if (conversion == 's' && !word_used) {
            name += word;
            word_used = true;
            i++;
        } else if (conversion == 'd' && !id_used) {
            name += std::to_string(id);
            id_used = true;
            i++;
        } else if (conversion == '%') {
            name += '%';
            i++;
        } else {
            name += c;  // anything else stays as written
        }
    }
    return name;
}

void RedScreen::set_name(const std::string& name_format) {
    if (name_format.empty()) {
        return;  // the parent client's block brings the title later
    }
    _name = format_screen_name(name_format, "", get_id());
    _window->set_title(_name);
}

void RedScreen::show() {
    Lock lock(update_lock);
    _window->show(get_id());
}

void RedScreen::hide() {
    Lock lock(update_lock);
    _window->hide();
}

void RedScreen::show_full_screen() {
    if (full_screen) {
        return;
    }
    Lock lock(update_lock);
    _saved_position = _window->get_position();
    full_screen = true;
    show_full_screen_on_monitor();
}

void RedScreen::set_window_origin(int x, int y) {
    _origin = POINT{x, y};
    _window->set_origin(x, y);
}

void RedScreen::show_full_screen_on_monitor() {
    if (!monitor) {
        _window->hide();
        return;
    }
    Point position = monitor->get_position();
    Point size = monitor->get_size();
    {
        Lock lock(update_lock);
        _frame_area = false;
        pixman_region32_clear(&_dirty_region);
    }
    _window->set_type(RedWindow::TYPE_FULLSCREEN);
    _window->move_and_resize(position.x, position.y, size.x, size.y);
    out_of_sync = monitor->is_out_of_sync();
    if (out_of_sync) {
        set_window_origin(0, 0);
    } else {
        set_window_origin((size.x - width) / 2, (size.y - height) / 2);
        _frame_area = size.x != width || size.y != height;
    }
    show();
}

void RedScreen::exit_full_screen() {
    if (!full_screen) {
        return;
    }
    Lock lock(update_lock);
    _window->hide();
    pixman_region32_clear(&_dirty_region);
    _window->set_type(RedWindow::TYPE_NORMAL);
    _window->move_and_resize(_saved_position.x, _saved_position.y, width, height);
    set_window_origin(0, 0);
    show();
    if (_has_menu_to_retry) {
        update_menu();
    }
    full_screen = false;
    out_of_sync = false;
    _frame_area = false;
}

void RedScreen::update_menu() {
    // The window shows no system menu items of the application on this platform.
    _has_menu_to_retry = false;
}

// ---- Pointer ----

ScreenLayer* RedScreen::find_pointer_layer() {
    for (size_t i = _layers.size(); i-- > 0;) {
        if (_layers[i] && _layers[i]->pointer_test(_pointer_x, _pointer_y)) {
            return _layers[i];
        }
    }
    return nullptr;
}

bool RedScreen::update_pointer_layer_changed() {
    ScreenLayer* found = find_pointer_layer();
    if (found == _pointer_layer) {
        return false;
    }
    if (_pointer_layer) {
        _pointer_layer->on_pointer_leave();
        _pointer_layer = nullptr;
    }
    found = find_pointer_layer();
    if (found) {
        _pointer_layer = found;
        found->on_pointer_enter(_pointer_x, _pointer_y, _pointer_buttons);
        return true;
    }
    if (!mouse_captured) {
        _window->set_cursor(_inactive_cursor, true);
    }
    return true;
}

void RedScreen::on_pointer_enter(int x, int y, unsigned int buttons_state) {
    if (mouse_captured) {
        return;
    }
    _pointer_on_screen = true;
    _pointer_x = x;
    _pointer_y = y;
    _pointer_buttons = buttons_state;
    ScreenLayer* layer = find_pointer_layer();
    if (layer) {
        _pointer_layer = layer;
        layer->on_pointer_enter(x, y, buttons_state);
        if (full_screen) {
            _window->activate();
        }
    } else {
        _window->set_cursor(_inactive_cursor, true);
    }
}

void RedScreen::relative_motion(int x, int y, unsigned int buttons_state) {
    if (x == _mouse_anchor.x && y == _mouse_anchor.y) {
        return;
    }
    if (_app.mouse_handler) {
        _app.mouse_handler->on_mouse_motion(x - _mouse_anchor.x, y - _mouse_anchor.y, int(buttons_state));
    }
    POINT point{_mouse_anchor.x + _origin.x, _mouse_anchor.y + _origin.y};
    ClientToScreen(_window->hwnd(), &point);
    SetCursorPos(point.x, point.y);
}

void RedScreen::on_pointer_motion(int x, int y, unsigned int buttons_state) {
    if (mouse_captured) {
        relative_motion(x, y, buttons_state);
        return;
    }
    _pointer_x = x;
    _pointer_y = y;
    _pointer_buttons = buttons_state;
    if (update_pointer_layer_changed()) {
        return;
    }
    if (_pointer_layer) {
        _pointer_layer->on_pointer_motion(x, y, buttons_state);
    }
}

void RedScreen::on_pointer_leave() {
    if (_pointer_layer) {
        _pointer_layer->on_pointer_leave();
        _pointer_layer = nullptr;
    }
    _pointer_on_screen = false;
}

void RedScreen::on_mouse_button_press(int button, unsigned int buttons_state) {
    if (mouse_captured) {
        if (_app.mouse_handler) {
            _app.mouse_handler->on_mouse_down(button, int(buttons_state));
        }
        return;
    }
    if (_pointer_layer) {
        _pointer_layer->on_mouse_button_press(button, buttons_state);
    }
}

void RedScreen::on_mouse_button_release(int button, unsigned int buttons_state) {
    if (mouse_captured) {
        if (_app.mouse_handler) {
            _app.mouse_handler->on_mouse_up(button, int(buttons_state));
        }
        return;
    }
    if (_pointer_layer) {
        _pointer_layer->on_mouse_button_release(button, buttons_state);
    }
}

void RedScreen::capture_mouse() {
    if (mouse_captured) {
        return;
    }
    POINT anchor;
    if (!_window->get_mouse_anchor_point(anchor)) {
        return;
    }
    _mouse_anchor = anchor;
    if (_pointer_layer) {
        _pointer_layer->on_pointer_leave();
        _pointer_layer = nullptr;
    }
    _pointer_on_screen = false;
    mouse_captured = true;
    _window->hide_cursor();
    POINT point{anchor.x + _origin.x, anchor.y + _origin.y};
    ClientToScreen(_window->hwnd(), &point);
    SetCursorPos(point.x, point.y);
    _window->capture_mouse();
}

void RedScreen::release_mouse() {
    if (!mouse_captured) {
        return;
    }
    mouse_captured = false;
    _window->release_mouse();
    update_pointer_layer_changed();
}

// ---- Keys and activation ----

void RedScreen::on_key_press(int key_code) {
    _app.on_key_down(key_code);
}

void RedScreen::on_key_release(int key_code) {
    _app.on_key_up(key_code);
}

void RedScreen::on_char(uint32_t ch) {
    if (_app.key_handler) {
        _app.key_handler->on_char(ch);
    }
}

void RedScreen::on_activate() {
    _active = true;
    _app.active_screen = this;
    _app.sync_modifier_keys();
}

void RedScreen::on_deactivate() {
    release_mouse();
    _active = false;
    if (_app.active_screen == this) {
        _app.sys_key_intercept_mode = false;
        _app.unpress_all();
        if (_app.active_screen->mouse_captured) {
            _app.active_screen->release_mouse();
        }
        _app.active_screen = nullptr;
    }
}

void RedScreen::on_start_key_interception() {
    _key_interception = true;
    intercepts_system_keys = true;
    _app.sys_key_intercept_mode = true;
    _app.reset_sticky();
}

void RedScreen::on_stop_key_interception() {
    _key_interception = false;
    intercepts_system_keys = false;
    _app.sys_key_intercept_mode = false;
    _app.reset_sticky();
}

void RedScreen::enter_full_screen() {
    _app.enter_full_screen();
}

// ---- Session operations: start command, parent client, dialogs and navigation bar ----

// What the start command and the parent's blocks ask of the application.
class RedScreen::CommandHost : public SessionCommandHost {
public:
    CommandHost(ApplicationInterface& app, RedScreen& screen) : _app(app), _screen(screen) {}

    bool connect(const std::string& host, int port, int secure_port, const std::string& logon_user,
                 const std::string& link_password, const uint64_t* vm_id, uint32_t logon_mode,
                 const std::string& vdi_user_name) override {
        return _app.connect(host, port, secure_port, logon_user, link_password, vm_id, int(logon_mode),
                            vdi_user_name);
    }
    bool reg_read_userinfo(const SessionBlock::Bytes& block) override {
        return _app.reg_read_userinfo(block.data());
    }
    void quit() override { _app.quit(); }
    void set_debug_connect() override { _app.debug_start = 1; }
    void set_auto_logon_password(const std::string& password) override {
        _app.get_client().set_logon_password(password);
    }
    void clear_nav_bar_restart() override { _screen.nav_bar_watch().stop(); }
    void add_system_hub(uint32_t vendor, uint32_t product) override {
        LOG_INFO("system hub %04x:%04x", vendor, product);
    }
    void watermark_settings_changed() override { LOG_INFO("watermark settings changed"); }
    void update_watermark() override { LOG_DEBUG("watermark time changed"); }

private:
    ApplicationInterface& _app;
    RedScreen& _screen;
};

SessionCommand& RedScreen::session_command() {
    if (!_command) {
        _command_host.reset(new CommandHost(_app, *this));
        _command.reset(new SessionCommand(*_command_host, window));
    }
    return *_command;
}

bool RedScreen::ParseCommand(const std::string& command_line) {
    std::vector<std::u16string> args;
    for (const std::string& word : split_command_line(command_line)) {
        std::u16string wide(word.size() + 1, u'\0');
        int length = MultiByteToWideChar(CP_UTF8, 0, word.c_str(), int(word.size()),
                                         reinterpret_cast<WCHAR*>(&wide[0]), int(wide.size()));
        wide.resize(length > 0 ? size_t(length) : 0);
        args.push_back(wide);
    }
    if (!session_command().parse_command(args)) {
        return false;
    }
    // The parent client's window and the session index that the session's notices to it carry.
    parent_window = _command->parent_window();
    session_index = _command->session_index();
    return true;
}

void RedScreen::OnCopyData(HWND sender, const COPYDATASTRUCT* data) {
    session_command().on_copy_data(window, data);
}

namespace {

bool nuvodesk = false;

// Notices to the navigation bar are muted in the secure desktop mode when the session block asks for it.
bool nav_bar_muted() {
    return nuvodesk && SessionBlock::no_probe_notices() != 0;
}

// Messages of the session to the parent client.
enum : UINT {
    PARENT_RESTART_WAIT_SHOWN = 0x604,
    PARENT_RESET_SUCCEEDED = 0x605,
    PARENT_FORWARD = 0x609,
    HELPER_FOCUS = 0x600,
};

}  // namespace

void RedScreen::set_nuvodesk_mode(bool on) {
    nuvodesk = on;
}

void notify_helper_window_focus(const char* name, LPARAM lparam) {
    char title[32];
    std::snprintf(title, sizeof(title), "%s%lu", name, static_cast<unsigned long>(GetCurrentProcessId()));
    std::u16string wide(title, title + std::strlen(title));
    if (HWND helper = FindWindowW(nullptr, wide.c_str())) {
        PostMessageW(helper, HELPER_FOCUS, 0, lparam);
    }
}

int RedScreen::NotifyNavBarValue(int code, WPARAM value) {
    if (nav_bar_muted()) {
        return 1;
    }
    HWND bar = nav_bar::window();
    if (!bar) {
        return 0;
    }
    DWORD_PTR result = 0;
    return int(SendMessageTimeoutW(bar, nav_bar::MSG_NOTICE, value, LPARAM(code), SMTO_NORMAL,
                                   nav_bar::SEND_TIMEOUT_MS, &result));
}

void RedScreen::NotifyNavBar(int code) {
    NotifyNavBarValue(code, 0);
}

int RedScreen::StartNavBar() {
    std::u16string title = _command ? _command->wide_title() : std::u16string();
    HWND target = _command && _command->nav_bar_target() ? _command->nav_bar_target() : window;
    if (!CreateNavBar(target, title)) {
        return 0;
    }
    if (!_nav_bar_watch.Start(target, title)) {
        return 0;
    }
    if (!_app.server_takes_ping()) {
        NotifyNavBarValue(8, 0);
    }
    if (SessionBlock::anti_screen_capture()) {
        NotifyNavBarValue(5, 0);
    }
    if (SessionBlock::restore_allowed() && SessionBlock::restore_mode() == 1) {
        NotifyNavBarValue(7, 1);
    }
    if (nuvodesk && SessionBlock::pc_in_one()) {
        NotifyNavBarValue(6, 0);
    }
    return NotifyNavBarValue(2, 0);
}

void RedScreen::end_on_request() {
    InterlockedExchange(&ended_locally, 1);
    _nav_bar_watch.stop();
}

void RedScreen::OnSessionChangeDesk(int code) {
    switch (code) {
        case 0:
            minimize();
            break;
        case 1:
            LOG_INFO("recv msg SESSION_EXIT_PROCESS,so app quit");
            end_on_request();
            _app.quit();
            break;
        case 2:
            show();
            break;
        case 3:
            end_on_request();
            LOG_ERROR(
                "recv msg TIMEOUT_EXIT_PROCESS, so ProcessLoop::quit, quit "
                "code:KTWSESSION_ERROR_CODE_SUCCESS");
            _app.main_loop().quit(0);
            break;
        default:
            break;
    }
}

void RedScreen::minimize() {
    Monitor* screen_monitor = monitor;
    bool display_changes = false;
    if (_app.full_screen && screen_monitor) {
        Point registered = screen_monitor->get_register_display_size();
        Point current = screen_monitor->get_size();
        display_changes = registered.x != current.x || registered.y != current.y;
    }
    if (display_changes) {
        _app.restore_monitors();
        _app.minimized_from_full_screen = true;
        full_screen = false;
        _window->minimize();
        notify_helper_window_focus("ROZOVIriv", 1);
        _app.reg_write_userinfo_values(true, 0, 0);
        LOG_INFO("minimize lead to display change");
        return;
    }
    if (SessionBlock::anti_screen_capture() && !SessionBlock::video_plugin()) {
        _window->begin_paint();
        SIZE size = _window->get_size();
        _window->fill_rect(SpiceRect{0, 0, size.cx, size.cy}, 0);
        _window->end_paint();
    }
    _app.minimized_from_full_screen = false;
    _window->minimize();
    notify_helper_window_focus("ROZOVIriv", 1);
    LOG_INFO("minimize not lead to display change");
}

bool RedScreen::on_restore() {
    if (_app.pre_save_cx != 0) {
        int32_t saved_width = _app.pre_save_cx;
        int32_t saved_height = _app.pre_save_cy;
        PostMessageW(window, WM_SIZE, SIZE_RESTORED, MAKELPARAM(saved_width, saved_height));
        LOG_INFO("_owner._pre_save_size.cx != 0, _owner._pre_save_size.cx=%d", int(saved_width));
        _app.resize_screen(this, saved_width, saved_height, 1);
        _app.pre_save_cx = 0;
        _app.pre_save_cy = 0;
        _app.minimized_from_full_screen = false;
        return true;
    }
    if (!_app.minimized_from_full_screen) {
        if (monitor) {
            Point registered = monitor->get_register_display_size();
            Point current = monitor->get_size();
            if (registered.x != current.x || registered.y != current.y) {
                _app.resize_screen(this, current.x, current.y, 1);
                return true;
            }
        }
        LOG_INFO("restore to pre-screen status");
        return false;
    }
    LOG_INFO("restore to full screen from minmize");
    _app.minimized_from_full_screen = false;
    _app.enter_full_screen();
    return true;
}

void RedScreen::restore_screen() {
    on_restore();
}

void RedScreen::LockWorkStation() {
    // Win+L typed for the desktop; the marker lets the keys past our own keyboard hook.
    BYTE win_scan = BYTE(MapVirtualKeyW(VK_LWIN, MAPVK_VK_TO_VSC));
    BYTE l_scan = BYTE(MapVirtualKeyW('L', MAPVK_VK_TO_VSC));
    keybd_event(VK_LWIN, win_scan, KEYEVENTF_EXTENDEDKEY, SYNTHESIZED_KEY_MARKER);
    keybd_event('L', l_scan, 0, SYNTHESIZED_KEY_MARKER);
    keybd_event('L', l_scan, KEYEVENTF_KEYUP, SYNTHESIZED_KEY_MARKER);
    keybd_event(VK_LWIN, win_scan, KEYEVENTF_EXTENDEDKEY | KEYEVENTF_KEYUP, SYNTHESIZED_KEY_MARKER);
}

void RedScreen::CloseRestartDialogs(WPARAM wparam) {
    _restart_wait_dialog.destroy();
    _restart_dialog.destroy();
    if (wparam == 1) {
        PostMessageW(window, WM_KTW_END_SESSION, 0, 0);
    } else {
        show();
        NotifyNavBar(2);
    }
    _restart_state = 0;
}

void RedScreen::ForwardRestartResult(WPARAM wparam) {
    if (_restart_wait_dialog.exists()) {
        _restart_wait_dialog.on_timeout(wparam);
    }
}

void RedScreen::set_restart_state(int state) {
    _restart_state = state;
}

void RedScreen::ShowRestartDlg() {
    if (_restart_dialog.exists()) {
        return;
    }
    if (!_restart_dialog.create(window)) {
        return;
    }
    _restart_dialog.set_title(_command ? _command->title() : _name);
    _restart_dialog.show();
    NotifyNavBar(3);
}

void RedScreen::ShowNetworkDlg() {
    if (_network_dialog.exists()) {
        return;
    }
    if (_network_dialog.create(window)) {
        _network_dialog.show();
    }
}

void RedScreen::ShowRestartWaitDlg() {
    // Neither over the restart question nor a second time: a repeated request would open another wait
    // dialog and tell the parent again.
    if (_restart_dialog.exists() || _restart_wait_dialog.exists()) {
        return;
    }
    hide();
    NotifyNavBar(3);
    _restart_wait_dialog.set_restore_mode(false);
    _restart_wait_dialog.set_parent_client(parent_window);
    if (_restart_wait_dialog.create(window)) {
        _restart_wait_dialog.show();
    }
    _restart_state = 1;
    if (parent_window) {
        PostMessageW(parent_window, PARENT_RESTART_WAIT_SHOWN, session_index, LPARAM(window));
    }
}

void RedScreen::ShowRestoreWaitDlg() {
    if (_restart_wait_dialog.exists()) {
        return;
    }
    hide();
    NotifyNavBar(3);
    _restart_wait_dialog.set_restore_mode(true);
    _restart_wait_dialog.set_parent_client(parent_window);
    if (_restart_wait_dialog.create(window)) {
        _restart_wait_dialog.show();
    }
    _restart_state = 1;
}

void RedScreen::OnGetResetSuccess() {
    _nav_bar_watch.stop();
    LOG_INFO("recv reset vm success msg, so app quit");
    _app.quit();
    if (parent_window) {
        PostMessageW(parent_window, PARENT_RESET_SUCCEEDED, session_index, LPARAM(window));
    }
}

void RedScreen::ForwardToParent(HWND window) {
    if (parent_window) {
        PostMessageW(parent_window, PARENT_FORWARD, WPARAM(window), LPARAM(SessionBlock::session_index()));
    }
}

void RedScreen::request_snapshot_restore(WPARAM wparam) {
    ForwardToParent(reinterpret_cast<HWND>(wparam));
}

void RedScreen::on_restart_sent() {
    if (_restart_wait_dialog.exists()) {
        _restart_wait_dialog.on_restart_sent();
    }
}
