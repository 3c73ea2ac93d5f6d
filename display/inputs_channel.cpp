#include "display/inputs_channel.h"

#include "app/application_interface.h"
#include "app/red_client.h"
#include "runtime/exception.h"
#include "runtime/log.h"

#include <atomic>

namespace {

enum : uint16_t {
    MSGC_INPUTS_KEY_DOWN = 101,
    MSGC_INPUTS_KEY_UP = 102,
    MSGC_INPUTS_KEY_MODIFIERS = 103,
    MSGC_INPUTS_MOUSE_MOTION = 111,
    MSGC_INPUTS_MOUSE_POSITION = 112,
    MSGC_INPUTS_MOUSE_PRESS = 113,
    MSGC_INPUTS_MOUSE_RELEASE = 114,
};

const int KEY_CODE_COUNT = 351;
const int32_t PAUSE_KEY = 350;

struct ScanTable {
    ScanCodes codes[KEY_CODE_COUNT] = {};

    ScanTable() {
        for (int key = 1; key <= 83; key++) {
            set_plain(key);
        }
        for (int key : {86, 87, 88, 112, 115, 121, 123, 125}) {
            set_plain(key);
        }
        for (int key : {241, 242}) {
            codes[key] = {uint32_t(key), uint32_t(key)};
        }
        for (uint32_t code : {0x00, 0x1C, 0x1D, 0x20, 0x2A, 0x2E, 0x30, 0x35, 0x36, 0x37, 0x38, 0x46, 0x47,
                              0x48, 0x49, 0x4B, 0x4D, 0x4F, 0x50, 0x51, 0x52, 0x53, 0x5B, 0x5C, 0x5D}) {
            codes[0x100 + code] = {0xE0 | (code << 8), 0xE0 | ((code + 0x80) << 8)};
        }
        codes[PAUSE_KEY] = {0x451DE1, 0xC59DE1};
    }

    void set_plain(int key) { codes[key] = {uint32_t(key), uint32_t(key + 0x80)}; }
};

const ScanTable SCAN_TABLE;

std::atomic<HWND> ready_window{nullptr};

}  // namespace

ScanCodes scan_codes_of(int32_t key_code) {
    // Key translation yields codes up to 0x1FF; only 0 to 350 are in the table.
    if (key_code < 0 || key_code >= KEY_CODE_COUNT) {
        return ScanCodes{0, 0};
    }
    return SCAN_TABLE.codes[key_code];
}

// A pointer message: queued without its values, which it takes from the channel when the worker thread takes
// it from the queue (the first call of peer_message on a thread other than the one posting it). Until then it
// holds a body of zeros of the same size, so that the queue's byte count is the same when the message goes in
// and when it comes out.
class InputsChannel::MotionMessage : public RedChannel::OutMessage, public RedPeer::OutMessage {
public:
    MotionMessage(InputsChannel& channel, uint16_t type)
        : RedPeer::OutMessage(type), _channel(channel), _type(type), _poster(GetCurrentThreadId()) {}

    // Writes the body of zeros; false when the channel has no marshallers.
    bool prepare() { return write_body(true); }

    RedPeer::OutMessage& peer_message() override {
        // The posting thread reads the message only while queueing it (for its size); once queued the
        // message belongs to the worker, which may send and free it at once.
        if (!_written && GetCurrentThreadId() != _poster) {
            _written = true;
            reset(_type);
            write_body(false);
        }
        return *this;
    }

    void release() override {
        if (!_written) {
            // Dropped unsent (the connection ended): the next pointer event queues a new message.
            Lock lock(_channel._motion_lock);
            _channel._active_motion = false;
        }
        delete this;
    }

private:
    bool write_body(bool zeros) {
        const SpiceMessageMarshallers* marshallers = _channel.get_marshallers();
        if (!marshallers) {
            return false;
        }
        if (_type == MSGC_INPUTS_MOUSE_MOTION) {
            SpiceMsgcMouseMotion body = {0, 0, 0};
            if (!zeros) {
                Lock lock(_channel._motion_lock);
                body = {_channel._dx, _channel._dy, uint32_t(_channel._buttons_state)};
                _channel._dx = _channel._dy = 0;
                _channel._active_motion = false;
            }
            return spice_marshall_message(marshallers, msgc_inputs_mouse_motion, marshaller(), &body);
        }
        SpiceMsgcMousePosition body = {0, 0, 0, 0};
        if (!zeros) {
            Lock lock(_channel._motion_lock);
            body = {uint32_t(_channel._x), uint32_t(_channel._y), uint32_t(_channel._buttons_state),
                    uint8_t(_channel._display_id)};
            _channel._x = _channel._y = _channel._display_id = -1;
            _channel._active_motion = false;
        }
        return spice_marshall_message(marshallers, msgc_inputs_mouse_position, marshaller(), &body);
    }

    InputsChannel& _channel;
    const uint16_t _type;
    const DWORD _poster;
    bool _written = false;
};

class InputsChannel::SetInputsHandlerEvent : public Event {
public:
    explicit SetInputsHandlerEvent(InputsChannel& channel) : _channel(channel) {}
    void response(AbstractProcessLoop&) override {
        _channel._app.set_key_handler(_channel);
        _channel._app.mouse_handler = &_channel;
    }

private:
    InputsChannel& _channel;
};

class InputsChannel::RemoveInputsHandlerEvent : public SyncEvent {
public:
    explicit RemoveInputsHandlerEvent(InputsChannel& channel) : _channel(channel) {}

protected:
    void do_response(AbstractProcessLoop&) override {
        ApplicationInterface& app = _channel._app;
        if (app.key_handler == &_channel) {
            // The earlier handler comes back without the channel getting a focus change.
            KeyHandler stand_in;
            app.key_handler = &stand_in;
            KeyHandler* earlier = app.key_handlers.empty() ? &ApplicationInterface::base_key_handler()
                                                           : app.key_handlers.front();
            app.set_key_handler(*earlier);
            app.remove_key_handler(stand_in);
        } else {
            app.remove_key_handler(_channel);
        }
        if (app.mouse_handler == &_channel) {
            app.mouse_handler = &ApplicationInterface::base_mouse_handler();
        }
    }

private:
    InputsChannel& _channel;
};

InputsChannel::InputsChannel(ChannelClient& client, uint8_t id, ApplicationInterface& app)
    : InputsChannel(client, id, app, new Handler(*this)) {}

InputsChannel::InputsChannel(ChannelClient& client, uint8_t id, ApplicationInterface& app, Handler* handler)
    : RedChannel(client, SPICE_CHANNEL_INPUTS, id, handler, 4),
      _app(app),
      _buttons_state(0),
      _dx(0),
      _dy(0),
      _x(-1),
      _y(-1),
      _display_id(-1),
      _active_motion(false),
      _motion_count(0),
      _modifiers(0),
      _focus_modifiers(0),
      _focus_out(false) {
    handler->set_handler<SPICE_MSG_MIGRATE>(&InputsChannel::handle_migrate);
    handler->set_handler<SPICE_MSG_SET_ACK>(&InputsChannel::handle_set_ack);
    handler->set_handler<SPICE_MSG_PING>(&InputsChannel::handle_ping);
    handler->set_handler<SPICE_MSG_WAIT_FOR_CHANNELS>(&InputsChannel::handle_wait_for_channels);
    handler->set_handler<SPICE_MSG_DISCONNECTING>(&InputsChannel::handle_disconnect);
    handler->set_handler<SPICE_MSG_NOTIFY>(&InputsChannel::handle_notify);
    handler->set_handler<SPICE_MSG_INPUTS_INIT>(&InputsChannel::handle_init);
    handler->set_handler<SPICE_MSG_INPUTS_KEY_MODIFIERS>(&InputsChannel::handle_modifiers);
    handler->set_handler<SPICE_MSG_INPUTS_MOUSE_MOTION_ACK>(&InputsChannel::handle_motion_ack);
}

InputsChannel::~InputsChannel() {}

void InputsChannel::set_ready_window(HWND window) {
    ready_window = window;
}

void InputsChannel::clear_ready_window(HWND window) {
    ready_window.compare_exchange_strong(window, nullptr);
}

void InputsChannel::notify_ready(bool ready) {
    if (HWND window = ready_window.load()) {
        PostMessageW(window, WM_INPUT_READY, INPUTS_READY_BIT, ready ? 1 : 0);
    }
}

uint32_t InputsChannel::local_lock_keys() {
    uint32_t keys = 0;
    if (GetKeyState(VK_SCROLL) & 1) {
        keys |= 1;
    }
    if (GetKeyState(VK_NUMLOCK) & 1) {
        keys |= 2;
    }
    if (GetKeyState(VK_CAPITAL) & 1) {
        keys |= 4;
    }
    return keys;
}

template <class Body>
void InputsChannel::send(uint16_t type, void (*SpiceMessageMarshallers::*slot)(SpiceMarshaller*, const Body*),
                         const Body& body) {
    const SpiceMessageMarshallers* marshallers = get_marshallers();
    if (!marshallers) {
        LOG_WARN("message %u before the channel connected, dropped", type);
        return;
    }
    Message* message = new Message(type);
    if (!spice_marshall_message_with(marshallers->*slot, "inputs", message->marshaller(), &body)) {
        message->release();
        return;
    }
    post_message(message);
}

// ---- Keys ----

void InputsChannel::on_key_down(int32_t key_code) {
    ScanCodes codes = scan_codes_of(key_code);
    if (!codes.make) {
        LOG_WARN("no make code for %d", key_code);
        return;
    }
    send(MSGC_INPUTS_KEY_DOWN, &SpiceMessageMarshallers::msgc_inputs_key_down, SpiceMsgcKeyDown{codes.make});
}

void InputsChannel::on_key_up(int32_t key_code) {
    ScanCodes codes = scan_codes_of(key_code);
    if (!codes.brk) {
        LOG_WARN("no break code for %d", key_code);
        return;
    }
    send(MSGC_INPUTS_KEY_UP, &SpiceMessageMarshallers::msgc_inputs_key_up, SpiceMsgcKeyUp{codes.brk});
}

void InputsChannel::send_modifiers(uint32_t modifiers) {
    send(MSGC_INPUTS_KEY_MODIFIERS, &SpiceMessageMarshallers::msgc_inputs_key_modifiers,
         SpiceMsgcKeyModifiers{modifiers});
}

void InputsChannel::on_focus_in() {
    Lock lock(_focus_lock);
    _focus_out = false;
    _focus_modifiers = local_lock_keys();
    send_modifiers(_focus_modifiers);
}

void InputsChannel::on_focus_out() {
    Lock lock(_focus_lock);
    _focus_out = true;
}

// ---- Pointer ----

void InputsChannel::post_pointer_message(Lock& motion_lock, bool position) {
    _motion_count++;
    _active_motion = true;
    motion_lock.unlock();
    MotionMessage* message =
        new MotionMessage(*this, position ? MSGC_INPUTS_MOUSE_POSITION : MSGC_INPUTS_MOUSE_MOTION);
    if (!message->prepare()) {
        LOG_WARN("pointer message before the channel connected, dropped");
        Lock lock(_motion_lock);
        _active_motion = false;
        _motion_count--;
        delete message;
        return;
    }
    post_message(message);
}

void InputsChannel::on_mouse_motion(int32_t dx, int32_t dy, int32_t buttons_state) {
    Lock lock(_motion_lock);
    _dx += dx;
    _dy += dy;
    _buttons_state = buttons_state;
    if (!_active_motion) {
        post_pointer_message(lock, false);
    }
}

void InputsChannel::on_mouse_position(int32_t x, int32_t y, int32_t buttons_state, int32_t display_id) {
    Lock lock(_motion_lock);
    _buttons_state = buttons_state;
    _x = x;
    _y = y;
    _display_id = display_id;
    if (!_active_motion) {
        post_pointer_message(lock, true);
    }
}

void InputsChannel::on_mouse_down(int32_t button, int32_t buttons_state) {
    send(MSGC_INPUTS_MOUSE_PRESS, &SpiceMessageMarshallers::msgc_inputs_mouse_press,
         SpiceMsgcMousePress{uint32_t(button), uint32_t(buttons_state)});
}

void InputsChannel::on_mouse_up(int32_t button, int32_t buttons_state) {
    send(MSGC_INPUTS_MOUSE_RELEASE, &SpiceMessageMarshallers::msgc_inputs_mouse_release,
         SpiceMsgcMouseRelease{uint32_t(button), uint32_t(buttons_state)});
}

int InputsChannel::motion_count() {
    Lock lock(_motion_lock);
    return _motion_count;
}

// ---- Server messages ----

void InputsChannel::handle_init(const SpiceMsgInputsInit& init) {
    notify_ready(true);
    _modifiers = local_lock_keys();
    SetInputsHandlerEvent* event = new SetInputsHandlerEvent(*this);
    _app.main_loop().push_event(event);
    event->unref();
    // Modifiers held while the session started are released in the guest.
    for (int32_t key : {0x2A, 0x36, 0x1D, 0x11D}) {
        on_key_up(key);
    }
    if (_modifiers != init.keyboard_modifiers) {
        send_modifiers(_modifiers);
    }
}

void InputsChannel::handle_modifiers(const SpiceMsgInputsKeyModifiers& modifiers) {
    _modifiers = local_lock_keys();
    Lock lock(_focus_lock);
    if (!_focus_out && _modifiers != modifiers.keyboard_modifiers) {
        send_modifiers(_modifiers);
    }
}

void InputsChannel::handle_motion_ack() {
    Lock lock(_motion_lock);
    if (_motion_count >= MOTION_ACK_BUNCH) {
        _motion_count -= MOTION_ACK_BUNCH;
    } else {
        LOG_WARN("invalid motion count");
        _motion_count = 0;
    }
    if (_active_motion || (!_dx && !_dy && _display_id == -1)) {
        return;
    }
    switch (_app.get_client().get_mouse_mode()) {
        case RedClient::MOUSE_MODE_SERVER:
            post_pointer_message(lock, false);
            break;
        case RedClient::MOUSE_MODE_CLIENT:
            post_pointer_message(lock, true);
            break;
        default:
            THROW("invalid mouse mode");
    }
}

// ---- Connection ----

void InputsChannel::on_connect() {
    _modifiers = 0;
    Lock lock(_motion_lock);
    _buttons_state = 0;
    _dx = _dy = 0;
    _motion_count = 0;
    _x = _y = _display_id = -1;
}

void InputsChannel::on_disconnect() {
    RemoveInputsHandlerEvent* event = new RemoveInputsHandlerEvent(*this);
    _app.main_loop().push_event(event);
    event->wait();
    event->unref();
    notify_ready(false);
}

void InputsChannel::on_migrate() {
    Lock lock(_motion_lock);
    _motion_count = _active_motion ? 1 : 0;
}

RedChannel* InputsFactory::create(ChannelClient& client, uint8_t id) {
    return new InputsChannel(client, id, _app);
}
