// One client's display and cursor channels, made by the client from a channel list and never connected, for
// the tests of the display as the cursor channel's display: shapes go to the cursor channel through its
// message handler, and what it posts to the main loop runs at once.
#pragma once

#include <algorithm>
#include <memory>
#include <vector>

#include "app/red_client.h"
#include "display/cursor_channel.h"
#include "display/display_channel.h"
#include "platform/session_block.h"
#include "support/fake_application.h"
#include "transport/tests/support/fake_spice_server.h"

namespace cursor_display {

class QuietListener : public RedClient::Listener {
public:
    void on_connected() override {}
    void on_disconnected(int) override {}
    void on_mouse_mode_changed(uint32_t) override {}
    void on_connect_failed() override {}
};

// Channels as the program makes them, but never connected.
class IdleDisplay : public DisplayChannel {
public:
    using DisplayChannel::attach_channels;
    using DisplayChannel::detach_channels;
    using DisplayChannel::DisplayChannel;
    void connect() override {}
};

class IdleCursor : public CursorChannel {
public:
    using CursorChannel::CursorChannel;
    void connect() override {}

protected:
    uint32_t mouse_mode() override { return RedClient::MOUSE_MODE_CLIENT; }
};

class IdleDisplayFactory : public ChannelFactory {
public:
    explicit IdleDisplayFactory(ApplicationInterface& app)
        : ChannelFactory(SPICE_CHANNEL_DISPLAY), _app(app) {}
    RedChannel* create(ChannelClient& client, uint8_t id) override {
        made = new IdleDisplay(client, id, _app, images);
        return made;
    }
    DisplaySharedImages images;
    IdleDisplay* made = nullptr;

private:
    ApplicationInterface& _app;
};

class IdleCursorFactory : public ChannelFactory {
public:
    explicit IdleCursorFactory(ApplicationInterface& app) : ChannelFactory(SPICE_CHANNEL_CURSOR), _app(app) {}
    RedChannel* create(ChannelClient& client, uint8_t id) override {
        made = new IdleCursor(client, id, _app);
        return made;
    }
    IdleCursor* made = nullptr;

private:
    ApplicationInterface& _app;
};

// A client whose channel list made display 0 and cursor 0.
struct Session {
    Session() {
        SessionBlock::clear();
        app.canvas_types = {CANVAS_TYPE_SW};
        client.register_channel_factory(displays);
        client.register_channel_factory(cursors);
        std::vector<SpiceChannelId> ids = {{SPICE_CHANNEL_DISPLAY, 0}, {SPICE_CHANNEL_CURSOR, 0}};
        client.handle_channels(SpiceMsgChannels{uint32_t(ids.size()), ids.data()});
        handler.reset(CursorChannel::create_message_handler(*cursors.made));
    }
    ~Session() {
        while (!client.abort()) {
            app.run_events();
        }
        app.run_events();
        SessionBlock::clear();
    }

    void message(uint16_t type, const std::vector<uint8_t>& body = {}) {
        RedPeer::CompoundInMessage* in = new RedPeer::CompoundInMessage(uint32_t(body.size()), type);
        std::copy(body.begin(), body.end(), in->data());
        handler->handle_message(*in);
        in->unref();
        app.run_events();
    }
    void move(uint16_t x, uint16_t y) {
        std::vector<uint8_t> body;
        fake_spice::put16(body, x);
        fake_spice::put16(body, y);
        message(SPICE_MSG_CURSOR_MOVE, body);
    }
    // Shape id (cached under it) at (x, y): w x h opaque pixels of one colour, the hot spot at (hot_x,
    // hot_y).
    void set_shape(uint64_t id, uint16_t w = 2, uint16_t h = 2, uint16_t hot_x = 0, uint16_t hot_y = 0,
                   uint32_t argb = 0xFF00FF00) {
        std::vector<uint8_t> body;
        fake_spice::put16(body, 40);
        fake_spice::put16(body, 30);
        body.push_back(1);
        fake_spice::put16(body, 2);  // add to the cache
        fake_spice::put64(body, id);
        body.push_back(0);  // alpha
        for (uint16_t v : {w, h, hot_x, hot_y}) {
            fake_spice::put16(body, v);
        }
        for (int i = 0; i < w * h; i++) {
            fake_spice::put32(body, argb);
        }
        message(SPICE_MSG_CURSOR_SET, body);
    }
    // The references on the cached shape id, besides the look-up's own.
    int refs(uint64_t id) {
        CursorData* shape = cursors.made->cached(id);
        if (!shape) {
            return -1;
        }
        int count = shape->refs() - 1;
        shape->unref();
        return count;
    }

    FakeApplication app;
    QuietListener listener;
    RedClient client{app.main_loop(), listener};
    IdleDisplayFactory displays{app};
    IdleCursorFactory cursors{app};
    std::unique_ptr<RedChannel::MessageHandler> handler;
};

}  // namespace cursor_display
