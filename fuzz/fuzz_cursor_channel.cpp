// Cursor-channel message sequences through the channel's own handlers, with the software cursor drawn after
// each message. The input: byte 0 picks the mouse mode (bit 0: client mode) and whether a display is linked
// (bit 1); then messages of {u8 type - 101, u16 body size, body} until the input ends (a size past the end
// takes what is left). Whatever arrives, a message is handled, ignored or refused with an exception; never a
// crash, an over-read or an unbounded allocation.
#include "app/application_interface.h"
#include "canvas/red_drawable.h"
#include "display/cursor_channel.h"
#include "runtime/exception.h"
#include "runtime/log.h"
#include "null_channel_client.h"

#include <cstdint>
#include <cstring>
#include <memory>

namespace {

// Only the main loop is used: the channel's mode and screen are stood in below.
class QuietApplication : public ApplicationInterface {
public:
    QuietApplication() : _loop(nullptr) {}
    ProcessLoop& main_loop() override { return _loop; }
    RedClient& get_client() override { throw Exception("no client"); }
    bool connect(const std::string&, int, int, const std::string&, const std::string&, const uint64_t*, int,
                 const std::string&) override {
        return false;
    }
    void quit() override {}
    void on_disconnected(int) override {}
    void on_visibility(int) override {}
    bool reg_read_userinfo(const uint8_t*) override { return false; }
    void reg_write_userinfo_values(bool, int32_t, int32_t) override {}
    SessionScreen* get_screen(int) override { return nullptr; }
    void on_screen_destroyed(int, bool) override {}
    void resize_screen(SessionScreen*, int, int, int) override {}
    void assign_monitors() override {}
    void enter_full_screen() override {}
    void exit_full_screen() override {}
    void toggle_full_screen() override {}
    void restore_monitors() override {}
    Monitor* find_monitor(SessionScreen*) override { return nullptr; }
    bool get_monitors_extent(POINT&) override { return false; }
    void on_key_down(int) override {}
    void on_key_up(int) override {}
    void set_key_handler(KeyHandler&) override {}
    void remove_key_handler(KeyHandler&) override {}
    void unpress_all() override {}
    void sync_modifier_keys() override {}
    void reset_sticky() override {}
    void init_remainder() override {}
    void show_gui() override {}
    void hide_gui() override {}

private:
    ProcessLoop _loop;
};

class FuzzCursorChannel : public CursorChannel {
public:
    using CursorChannel::CursorChannel;
    uint32_t mode = RedClient::MOUSE_MODE_SERVER;

protected:
    uint32_t mouse_mode() override { return mode; }
    void attach_display_of_client() override {}
    void attach_layer() override {}
    void detach_layer() override {}
};

// Takes the shapes it is handed as the display channel would, and draws nothing.
class HoldingDisplay : public CursorDisplay {
public:
    ~HoldingDisplay() override { release(); }
    void set_cursor(CursorData* shape) override {
        release();
        _shape = shape->ref();
    }
    void hide_cursor() override { release(); }

private:
    void release() {
        if (_shape) {
            _shape->unref();
            _shape = nullptr;
        }
    }
    CursorData* _shape = nullptr;
};

struct Setup {
    Setup() : channel(client, 0, app), handler(CursorChannel::create_message_handler(channel)) {
        log_set_threshold(4);
    }
    NullChannelClient client;
    QuietApplication app;
    FuzzCursorChannel channel;
    std::unique_ptr<RedChannel::MessageHandler> handler;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Setup* setup = new Setup();
    static RedPixmapSw* composite = new RedPixmapSw(64, 64, RedDrawable::RGB32, true);
    if (size < 1) {
        return 0;
    }
    FuzzCursorChannel& channel = setup->channel;
    HoldingDisplay display;
    channel.mode = (data[0] & 1) ? RedClient::MOUSE_MODE_CLIENT : RedClient::MOUSE_MODE_SERVER;
    if (data[0] & 2) {
        channel.attach_display(display);
    }
    pixman_region32_t region;
    pixman_region32_init_rect(&region, 0, 0, 64, 64);
    size_t at = 1;
    while (at + 3 <= size) {
        uint16_t type = uint16_t(101 + data[at] % 10);
        size_t body = size_t(data[at + 1] | (data[at + 2] << 8));
        at += 3;
        body = std::min(body, size - at);
        RedPeer::CompoundInMessage* message = new RedPeer::CompoundInMessage(uint32_t(body), type);
        if (body) {
            memcpy(message->data(), data + at, body);
        }
        at += body;
        try {
            setup->handler->handle_message(*message);
        } catch (Exception&) {
        }
        message->unref();
        setup->app.main_loop().run_queued_events();
        channel.copy_pixels(region, *composite);
    }
    pixman_region32_fini(&region);
    // Every input starts from an empty channel.
    channel.handle_reset();
    channel.detach_display(display);
    setup->app.main_loop().run_queued_events();
    return 0;
}
