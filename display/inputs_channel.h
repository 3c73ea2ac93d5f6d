// InputsChannel: the SPICE inputs channel (type 3). It carries the user's keys as PC set-1 make and break
// codes, the local lock-key state, and the pointer: relative motion while the pointer is captured (server
// mouse mode), the absolute position while it is free (client mouse mode), and the buttons. Once the server's
// init message arrives the channel becomes the application's key and mouse handler; when it disconnects it
// hands those back.
//
// Pointer motion is coalesced: at most one motion or position message waits in the outgoing queue, and its
// body is taken from the sums and latest values when the worker thread takes it from the queue. The server
// acknowledges pointer messages in bunches of four.
//
// Key and pointer events arrive on the main thread; server messages are handled, and every message is
// written, on the channel's worker thread.
#pragma once

#include "app/input_handler.h"
#include "runtime/threads.h"
#include "transport/channel/channel_factory.h"
#include "transport/channel/message_handler.h"
#include "transport/channel/red_channel.h"
#include "winapi/windows.h"

#include <cstdint>

class ApplicationInterface;

// Make and break codes of a key code (0 to 350): multi-byte codes keep their first byte in the lowest byte.
// 0: the key has no code; so has any key code outside the table.
struct ScanCodes {
    uint32_t make;
    uint32_t brk;
};
ScanCodes scan_codes_of(int32_t key_code);

class InputsChannel : public RedChannel, public KeyHandler, public MouseHandler {
public:
    // Input-ready bit of the session window's 0x906 message.
    static const UINT WM_INPUT_READY = 0x906;
    static const WPARAM INPUTS_READY_BIT = 2;
    // Pointer messages the server acknowledges at once.
    static const int MOTION_ACK_BUNCH = 4;

    InputsChannel(ChannelClient& client, uint8_t id, ApplicationInterface& app);
    ~InputsChannel() override;

    // The window that gets 0x906 when the channel becomes ready and when it goes (process-wide; null: none).
    static void set_ready_window(HWND window);
    // Forgets the window when it is the one set (a window that goes).
    static void clear_ready_window(HWND window);

    // ---- KeyHandler (main thread) ----
    void on_key_down(int32_t key_code) override;
    void on_key_up(int32_t key_code) override;
    void on_focus_in() override;
    void on_focus_out() override;

    // ---- MouseHandler (main thread) ----
    void on_mouse_motion(int32_t dx, int32_t dy, int32_t buttons_state) override;
    void on_mouse_down(int32_t button, int32_t buttons_state) override;
    void on_mouse_up(int32_t button, int32_t buttons_state) override;

    // The free pointer's position on a display channel (main thread).
    void on_mouse_position(int32_t x, int32_t y, int32_t buttons_state, int32_t display_id);

    // Server messages (worker thread).
    void handle_init(const SpiceMsgInputsInit& init);
    void handle_modifiers(const SpiceMsgInputsKeyModifiers& modifiers);
    void handle_motion_ack();

    // Pointer messages sent and not yet acknowledged. Any thread.
    int motion_count();

    // The local lock keys: bit 0 Scroll Lock, bit 1 Num Lock, bit 2 Caps Lock.
    static uint32_t local_lock_keys();

protected:
    void on_connect() override;
    void on_disconnect() override;
    void on_migrate() override;

private:
    class MotionMessage;
    class PositionMessage;
    class SetInputsHandlerEvent;
    class RemoveInputsHandlerEvent;
    typedef MessageHandlerImp<InputsChannel, SPICE_CHANNEL_INPUTS> Handler;

    InputsChannel(ChannelClient& client, uint8_t id, ApplicationInterface& app, Handler* handler);

    // Marshals a plain message built from values and queues it; dropped with a log line when the channel has
    // no marshallers yet.
    template <class Body>
    void send(uint16_t type, void (*SpiceMessageMarshallers::*slot)(SpiceMarshaller*, const Body*),
              const Body& body);
    void send_modifiers(uint32_t modifiers);
    // Queues a pointer message of the mouse mode; called with the motion lock held, which it releases before
    // queuing (queuing takes the queue's lock, inside which the worker takes the motion lock to write a
    // body).
    void post_pointer_message(Lock& motion_lock, bool position);
    static void notify_ready(bool ready);

    ApplicationInterface& _app;

    Mutex _motion_lock;
    int32_t _buttons_state;
    int32_t _dx;
    int32_t _dy;
    int32_t _x;
    int32_t _y;
    int32_t _display_id;
    bool _active_motion;  // a pointer message is queued and its body not yet written
    int _motion_count;

    uint32_t _modifiers;  // worker thread
    Mutex _focus_lock;
    uint32_t _focus_modifiers;
    bool _focus_out;
};

class InputsFactory : public ChannelFactory {
public:
    explicit InputsFactory(ApplicationInterface& app) : ChannelFactory(SPICE_CHANNEL_INPUTS), _app(app) {}
    RedChannel* create(ChannelClient& client, uint8_t id) override;

private:
    ApplicationInterface& _app;
};
