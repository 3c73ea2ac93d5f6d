// CursorChannel: the SPICE cursor channel (type 4). The server sends the guest's cursor: shapes (inline, or
// from a cache it fills), the position, hide and show, a cursor-shown report (ignored) and a drawing order
// for a CAD application's cross-hair cursor. How the cursor shows follows the client's mouse mode:
//
// - server mode (1, pointer captured): the channel is also the screen's layer 1 and draws the shape in
//   software into the screen's composite image at the cursor rectangle;
// - client mode (2, pointer free): the shape goes to the display channel of the same id (CursorDisplay),
//   which shows it as the session window's cursor; the layer's area is then empty.
//
// Server messages, on_connect and on_disconnect run on the channel's worker thread; copy_pixels, attaching
// the display and the update events' responses on the main thread; on_mouse_mode_change on the main channel's
// thread. The cursor lock guards the current shape, the position, the rectangle and the visible mark.
#pragma once

#include "app/red_client.h"
#include "display/cursor_data.h"
#include "display/screen_layer.h"
#include "runtime/threads.h"
#include "transport/channel/channel_factory.h"
#include "transport/channel/message_handler.h"
#include "transport/channel/red_channel.h"
#include "winapi/windows.h"

#include <atomic>
#include <cstdint>

class ApplicationInterface;

// What the cursor channel needs of the display channel of its id, which implements it beside RedChannel.
// Main thread.
class CursorDisplay {
public:
    virtual ~CursorDisplay() {}
    // The shape to show as the window's cursor; the display takes its own reference when it keeps it.
    virtual void set_cursor(CursorData* shape) = 0;
    // No cursor to show: the display clears its cursor-shown mark and updates the window's cursor.
    virtual void hide_cursor() = 0;
};

class CursorChannel : public RedChannel, public ScreenLayer, public MouseModeSink {
public:
    // Ready bit of the session window's 0x906 message.
    static const UINT WM_CURSOR_READY = 0x906;
    static const WPARAM CURSOR_READY_BIT = 1;
    // Channel capability: the CAD cursor drawing order.
    static const uint32_t CAP_CAD_CURSOR_DRAW = 2;

    CursorChannel(ChannelClient& client, uint8_t id, ApplicationInterface& app);
    ~CursorChannel() override;

    // A second handler of the channel's messages, for feeding it messages without a connection.
    static RedChannel::MessageHandler* create_message_handler(CursorChannel& channel);

    // The window that gets 0x906 when the channel becomes ready and when it goes (process-wide; null: none).
    static void set_ready_window(HWND window);
    // Forgets the window when it is the one set.
    static void clear_ready_window(HWND window);

    // Main thread: links the display channel when none is linked yet and hands it the current shape when the
    // cursor is visible. The display unlinks itself with detach_display when it disconnects.
    void attach_display(CursorDisplay& display);
    void detach_display(CursorDisplay& display);

    // ---- ScreenLayer (main thread) ----
    void copy_pixels(const pixman_region32_t& region, RedDrawable& dest) override;

    // ---- MouseModeSink (main channel's thread) ----
    void on_mouse_mode_change() override;

    // ---- Server messages (worker thread) ----
    void handle_init(const SpiceMsgCursorInit& init);
    void handle_reset();
    void handle_cursor_set(const SpiceMsgCursorSet& set);
    void handle_cursor_move(const SpiceMsgCursorMove& move);
    void handle_cursor_hide();
    void handle_cursor_trail(const SpiceMsgCursorTrail& trail);
    void handle_inval_one(const SpiceMsgCursorInvalOne& inval);
    void handle_inval_all();
    void handle_cursor_shown();
    void handle_cursor_draw(const SpiceMsgCursorDraw& draw);

    // ---- State, for the tests (any thread) ----
    struct State {
        bool visible;
        bool has_shape;
        SpiceCursorHeader header;  // of the current shape
        std::vector<uint8_t> data;
        int32_t x, y;
        RECT rect;
    };
    State state();
    size_t cached_count();
    // The shape of id with a new reference, or null.
    CursorData* cached(uint64_t id);

protected:
    void on_connect() override;
    void on_disconnect() override;
    // The client's mouse mode (1 server, 2 client); tests may stand in.
    virtual uint32_t mouse_mode();
    // Finds the display channel of this id among the client's channels and attaches it (main thread).
    virtual void attach_display_of_client();
    // Attach the layer to the screen of the channel's id, and detach it (the caller waits for the main
    // thread).
    virtual void attach_layer();
    virtual void detach_layer();

private:
    class AttachDisplayEvent;
    class CursorUpdateEvent;
    class FlushEvent;
    typedef MessageHandlerImp<CursorChannel, SPICE_CHANNEL_CURSOR> Handler;

    CursorChannel(ChannelClient& client, uint8_t id, ApplicationInterface& app, Handler* handler);
    static Handler* register_handlers(Handler* handler);

    void set_cursor(const SpiceCursor& cursor, int x, int y);
    void set_shape(CursorData* shape, int x, int y);
    void remove_cursor();
    // Tells the linked display channel (through the main loop) that the shape or its visibility changed.
    void update_display_cursor();
    // Main thread: the update event's response.
    void on_display_update();
    // Hides the cursor; with the cursor lock held.
    void hide_locked();
    bool server_mode() { return mouse_mode() == RedClient::MOUSE_MODE_SERVER; }
    static void notify_ready(bool ready);

    ApplicationInterface& _app;
    Mutex _cache_lock;
    CursorCache _cache;
    Mutex _lock;
    CursorData* _current = nullptr;
    int32_t _x = 0;
    int32_t _y = 0;
    RECT _rect{0, 0, 0, 0};
    bool _visible = false;
    std::atomic<CursorDisplay*> _display{nullptr};
};

class CursorFactory : public ChannelFactory {
public:
    explicit CursorFactory(ApplicationInterface& app) : ChannelFactory(SPICE_CHANNEL_CURSOR), _app(app) {}
    RedChannel* create(ChannelClient& client, uint8_t id) override;

private:
    ApplicationInterface& _app;
};
