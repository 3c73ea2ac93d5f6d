#include "display/display_channel.h"

#include "canvas/gdi_canvas.h"
#include "canvas/raster_types.h"
#include "canvas/sw_canvas.h"
#include "codecs/md/mppc_dec.h"
#include "display/inputs_channel.h"
#include "display/red_screen.h"
#include "platform/local_cursor.h"
#include "platform/platform.h"
#include "platform/session_block.h"
#include "runtime/exception.h"
#include "runtime/log.h"
#include "transport/protocol/client_marshallers.h"
#include "transport/protocol/marshaller.h"

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <vector>

namespace {

uint32_t read_le(const uint8_t* bytes, uint32_t count) {
    uint32_t value = 0;
    for (uint32_t i = 0; i < count; i++) {
        value |= uint32_t(bytes[i]) << (8 * i);
    }
    return value;
}

// Compact sub-header types that are not remembered as the last type: 8, 105 and 361 share the low byte set
// of the list and the invalidation messages; the sequential list (9) is excluded where the caller says so.
bool remembered(uint16_t type, bool exclude_nine) {
    uint8_t low = uint8_t(type);
    return !(low == 8 || low == 105 || (exclude_nine && low == 9));
}

void md_log_func(int level, const char* text) {
    switch (level) {
        case 1:
            LOG_INFO("%s", text);
            break;
        case 2:
            LOG_WARN("%s", text);
            break;
        case 3:
            LOG_ERROR("%s", text);
            break;
        default:
            LOG_DEBUG("%s", text);
            break;
    }
}

}  // namespace

void display_canvas_init() {
    static std::once_flag once;
    std::call_once(once, [] {
        sw_canvas_ops_init();
        gdi_canvas_ops_init();
    });
}

DisplaySharedImages::DisplaySharedImages()
    : glz_window(glz_debug), pixmap_cache_size(0), glz_window_size(0) {}

void DisplaySharedImages::clear_images() {
    pixmap_cache.clear();
    glz_window.clear();
}

// ---- Message dispatch ----

// Expands compressed bodies, splits the two list forms and parses each message with the plain or the compact
// parser before its handler runs.
class DisplayChannel::DisplayHandler : public RedChannel::MessageHandler {
public:
    explicit DisplayHandler(DisplayChannel& channel) : _channel(channel), handlers(channel) {}

    void handle_message(RedPeer::CompoundInMessage& message) override {
        uint16_t type = message.type();
        uint8_t* data = message.data();
        uint32_t size = message.size();
        if (type & 0x8000) {
            LOG_DEBUG("[MD] before md_decomp type %u size %u serial %" PRIu64 " sublist %u", type, size,
                      message.serial(), message.sub_list());
            DecompressStream out = {};
            if (!_channel._decompress || !decompress_rdp(data, _channel._decompress, size, &out)) {
                LOG_ERROR("[MD] decomp %p, display decompress failed, data:%p size:%u.",
                          static_cast<void*>(_channel._decompress), static_cast<void*>(data), size);
                return;
            }
            type &= 0x7fff;
            _expanded.assign(out.start, out.start + out.length);
            data = _expanded.data();
            size = uint32_t(_expanded.size());
            LOG_DEBUG("[MD] after md_decomp type %u size %u serial %" PRIu64 " sublist %u", type, size,
                      message.serial(), message.sub_list());
        }
        if (type != SPICE_MSG_PING) {
            LOG_DEBUG("channel(%d) handle message type %u size %u serial %" PRIu64 " sublist %u",
                      _channel.get_id(), type, size, message.serial(), message.sub_list());
        }
        handle(type, message.flag(), data, data + size, false);
    }

    Handlers handlers;

private:
    // One message: a list (not inside another list) or a message to parse and dispatch.
    void handle(uint16_t type, uint8_t flags, uint8_t* data, uint8_t* end, bool in_list) {
        if (type == SPICE_MSG_SEQUENTIAL_LIST || type == SPICE_MSG_LIST) {
            if (in_list) {
                THROW("failed to parse message type %d", type);  // a list inside a list
            }
            if (type == SPICE_MSG_SEQUENTIAL_LIST) {
                handle_sequential_list(data, end);
            } else {
                handle_list(data, end);
            }
            return;
        }
        size_t parsed_size = 0;
        message_destructor_t free_message = nullptr;
        uint8_t* parsed = parse(type, flags, data, end, &parsed_size, &free_message);
        if (!parsed) {
            if (in_list) {
                THROW("failed to parse message type %d", type);
            }
            THROW("failed to parse message channel %d type %d", SPICE_CHANNEL_DISPLAY, type);
        }
        struct Release {
            uint8_t* parsed;
            message_destructor_t free_message;
            ~Release() { free_message(parsed); }
        } release{parsed, free_message};
        handlers.dispatch_parsed(type, parsed, parsed_size);
    }

    uint8_t* parse(uint16_t type, uint8_t flags, uint8_t* data, uint8_t* end, size_t* size,
                   message_destructor_t* free_message) {
        int minor = _channel.get_peer_minor();
        if (_channel.is_opt_wan()) {
            spice_parse_display_opt_func_t parser = spice_get_display_opt_parser(_channel.get_peer_major());
            return parser(flags, &_channel._compact_context, data, end, type, minor, size, free_message);
        }
        const SpiceChannelParser* entry =
            spice_get_server_channel_parser(SPICE_CHANNEL_DISPLAY, _channel.get_peer_major());
        if (!entry || !entry->parser) {
            THROW("no parser for channel %d", SPICE_CHANNEL_DISPLAY);
        }
        return entry->parser(data, end, type, minor, size, free_message);
    }

    struct SubMessage {
        uint16_t type;
        uint8_t flags;
        uint8_t* data;
        uint8_t* end;
    };

    // A sub-message's header at pos: compact in the opt-WAN mode, else u16 type and u32 size. Its body must
    // lie inside [pos, end). False when it does not fit.
    bool read_sub_header(uint8_t* pos, uint8_t* end, bool exclude_nine, SubMessage* out, uint8_t** next) {
        uint64_t room = uint64_t(end - pos);
        uint64_t header;
        uint32_t size;
        if (_channel.is_opt_wan()) {
            if (room < 1) {
                return false;
            }
            uint8_t flags = pos[0];
            uint32_t size_len = (flags & 3) + 1;
            uint32_t at = 1;
            uint16_t type = _channel._last_compact_type;
            if (flags & 4) {
                if (room < 2) {
                    return false;
                }
                type = compact_type(pos[1]);
                if (remembered(type, exclude_nine)) {
                    _channel._last_compact_type = type;
                }
                at = 2;
            }
            header = at + size_len;
            if (room < header) {
                return false;
            }
            size = read_le(pos + at, size_len);
            out->type = type;
            out->flags = flags;
        } else {
            header = 6;
            if (room < header) {
                return false;
            }
            out->type = uint16_t(read_le(pos, 2));
            size = read_le(pos + 2, 4);
            out->flags = 0;
        }
        if (room - header < size) {
            return false;
        }
        out->data = pos + header;
        out->end = out->data + size;
        *next = out->end;
        return true;
    }

    // Type 9: a 16-byte prefix, then sub-messages back to back that use up the body exactly.
    void handle_sequential_list(uint8_t* data, uint8_t* end) {
        if (end - data < 16) {
            THROW("failed to parse message type %d", SPICE_MSG_SEQUENTIAL_LIST);
        }
        // Every sub-header is checked before any sub-message runs, so that a bad list is refused whole.
        std::vector<SubMessage> subs;
        uint16_t last_type = _channel._last_compact_type;
        for (uint8_t* pos = data + 16; pos < end;) {
            SubMessage sub;
            if (!read_sub_header(pos, end, true, &sub, &pos)) {
                _channel._last_compact_type = last_type;
                THROW("failed to parse message type %d", SPICE_MSG_SEQUENTIAL_LIST);
            }
            subs.push_back(sub);
        }
        for (const SubMessage& sub : subs) {
            handle(sub.type, sub.flags, sub.data, sub.end, true);
        }
    }

    // Type 8: u16 count, count u32 offsets from the body start; a sub-message at each. Offsets must lie
    // behind the offset table, inside the body, and differ from one another.
    void handle_list(uint8_t* data, uint8_t* end) {
        if (!_channel.is_opt_wan()) {
            SpiceMessageList list(data, end);
            if (!list.valid()) {
                THROW("failed to parse message type %d", SPICE_MSG_LIST);
            }
            std::vector<SpiceSubMessage> subs(list.count());
            for (uint16_t i = 0; i < list.count(); i++) {
                if (!list.get(i, &subs[i])) {
                    THROW("failed to parse message type %d", SPICE_MSG_LIST);
                }
            }
            for (const SpiceSubMessage& sub : subs) {
                handle(sub.type, 0, sub.data, sub.end, true);
            }
            return;
        }
        uint64_t body = uint64_t(end - data);
        if (body < 2) {
            THROW("failed to parse message type %d", SPICE_MSG_LIST);
        }
        uint16_t count = uint16_t(read_le(data, 2));
        uint64_t table_end = 2 + uint64_t(count) * 4;
        if (table_end > body) {
            THROW("failed to parse message type %d", SPICE_MSG_LIST);
        }
        std::vector<uint32_t> offsets(count);
        for (uint16_t i = 0; i < count; i++) {
            offsets[i] = read_le(data + 2 + 4 * uint64_t(i), 4);
            if (offsets[i] < table_end || offsets[i] >= body) {
                THROW("failed to parse message type %d", SPICE_MSG_LIST);
            }
        }
        std::vector<uint32_t> sorted(offsets);
        std::sort(sorted.begin(), sorted.end());
        if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end()) {
            THROW("failed to parse message type %d", SPICE_MSG_LIST);
        }
        // The headers are read in list order (the remembered type follows it) before anything runs.
        std::vector<SubMessage> subs(count);
        for (uint16_t i = 0; i < count; i++) {
            uint8_t* next;
            if (!read_sub_header(data + offsets[i], end, false, &subs[i], &next)) {
                THROW("failed to parse message type %d", SPICE_MSG_LIST);
            }
        }
        for (const SubMessage& sub : subs) {
            handle(sub.type, sub.flags, sub.data, sub.end, true);
        }
    }

    DisplayChannel& _channel;
    std::vector<uint8_t> _expanded;
};

uint16_t DisplayChannel::compact_type(uint8_t code) {
    uint16_t compressed = (code & 0x80) ? 0x8000 : 0;
    uint8_t c = code & 0x7f;
    uint16_t type = 0;
    if (c >= 1 && c <= 9) {
        type = c;
    } else if (c >= 32 && c <= 39) {
        type = uint16_t(101 + (c - 32));
    } else if (c >= 40 && c <= 44) {
        type = uint16_t(122 + (c - 40));
    } else if (c >= 45 && c <= 62) {
        type = uint16_t(302 + (c - 45));
    } else if (c >= 63 && c <= 66) {
        type = uint16_t(360 + (c - 63));
    } else if (c == 67) {
        type = 800;
    } else {
        return 0;
    }
    return uint16_t(type | compressed);
}

// ---- Synchronous events of the surfaces ----

class DisplayChannel::CreatePrimarySurfaceEvent : public SyncEvent {
public:
    CreatePrimarySurfaceEvent(DisplayChannel& channel, uint32_t width, uint32_t height, uint32_t format,
                              uint32_t flags)
        : _channel(channel), _width(width), _height(height), _format(format), _flags(flags) {}

protected:
    void do_response(AbstractProcessLoop&) override {
        ApplicationInterface& app = _channel._app;
        RedScreen* screen = _channel.screen();
        if (screen && !screen->minimized) {
            screen->size_locked = true;
            app.resize_screen(screen, int(_width), int(_height), int(_flags));
        } else {
            LOG_INFO("screen_size:x is %d,y is %d", int(_width), int(_height));
            app.primary_width = int32_t(_width);
            app.primary_height = int32_t(_height);
        }
        _channel.create_canvas(0, app.canvas_types, int(_width), int(_height), _format);
    }

private:
    DisplayChannel& _channel;
    uint32_t _width;
    uint32_t _height;
    uint32_t _format;
    uint32_t _flags;
};

class DisplayChannel::CreateSurfaceEvent : public SyncEvent {
public:
    CreateSurfaceEvent(DisplayChannel& channel, uint32_t id, uint32_t width, uint32_t height, uint32_t format)
        : _channel(channel), _id(id), _width(width), _height(height), _format(format) {}

protected:
    void do_response(AbstractProcessLoop&) override {
        _channel.create_canvas(_id, _channel._app.canvas_types, int(_width), int(_height), _format);
    }

private:
    DisplayChannel& _channel;
    uint32_t _id;
    uint32_t _width;
    uint32_t _height;
    uint32_t _format;
};

class DisplayChannel::DestroySurfaceEvent : public SyncEvent {
public:
    DestroySurfaceEvent(DisplayChannel& channel, uint32_t id) : _channel(channel), _id(id) {}

protected:
    void do_response(AbstractProcessLoop&) override { _channel.destroy_canvas(_id); }

private:
    DisplayChannel& _channel;
    uint32_t _id;
};

class DisplayChannel::DestroyAllSurfacesEvent : public SyncEvent {
public:
    DestroyAllSurfacesEvent(DisplayChannel& channel, bool all) : _channel(channel), _all(all) {}

protected:
    void do_response(AbstractProcessLoop&) override { _channel.destroy_canvases(_all); }

private:
    DisplayChannel& _channel;
    bool _all;
};

class DisplayChannel::UnlockScreenEvent : public Event {
public:
    explicit UnlockScreenEvent(SessionScreen* screen) : _screen(screen->ref()) {}
    void response(AbstractProcessLoop&) override {
        _screen->size_locked = false;
        ApplicationInterface* app = ApplicationInterface::instance();
        bool full_screen = app && app->full_screen;
        if (!full_screen && !primary_destroyed()) {
            _screen->resize(800, 600);
        }
        primary_destroyed() = false;
    }
    static bool& primary_destroyed() {
        static bool mark = false;
        return mark;
    }

protected:
    ~UnlockScreenEvent() override { _screen->unref(); }

private:
    SessionScreen* _screen;
};

class DisplayChannel::AttachChannelsEvent : public Event {
public:
    explicit AttachChannelsEvent(DisplayChannel& channel) : _channel(channel) {}
    void response(AbstractProcessLoop&) override { _channel.attach_channels(); }

private:
    DisplayChannel& _channel;
};

class DisplayChannel::DetachChannelsEvent : public SyncEvent {
public:
    explicit DetachChannelsEvent(DisplayChannel& channel) : _channel(channel) {}

protected:
    void do_response(AbstractProcessLoop&) override { _channel.detach_channels(); }

private:
    DisplayChannel& _channel;
};

class DisplayChannel::VisibilityEvent : public Event {
public:
    VisibilityEvent(ApplicationInterface& app, int id) : _app(app), _id(id) {}
    void response(AbstractProcessLoop&) override { _app.on_visibility(_id); }

private:
    ApplicationInterface& _app;
    int _id;
};

// After a migration source disconnect the old primary surface waits this long for the target's.
class DisplayChannel::MigPrimarySurfaceTimer : public Timer {
public:
    explicit MigPrimarySurfaceTimer(DisplayChannel& channel) : _channel(channel) {}
    void response(AbstractProcessLoop& loop) override {
        if (_channel._mig_wait_primary) {
            _channel._mig_wait_primary = false;
            try {
                _channel.destroy_primary_surface();
            } catch (Exception& e) {
                LOG_WARN("%s", e.what());
            }
        }
        static_cast<ProcessLoop&>(loop).disarm_timer(this);
    }

private:
    DisplayChannel& _channel;
};

// ---- Construction ----

DisplayChannel::DisplayChannel(ChannelClient& client, uint8_t id, ApplicationInterface& app,
                               DisplaySharedImages& images)
    : DisplayChannel(client, id, app, images, new DisplayHandler(*this)) {}

DisplayChannel::DisplayChannel(ChannelClient& client, uint8_t id, ApplicationInterface& app,
                               DisplaySharedImages& images, DisplayHandler* handler)
    : RedChannel(client, SPICE_CHANNEL_DISPLAY, id, handler, 6),
      ScreenLayer(0, true),
      _app(app),
      _images(images),
      _handler(handler),
      _primary_width(0),
      _primary_height(0),
      _primary_format(0),
      _mark(false),
      _mig_wait_primary(false),
      _mig_timer(nullptr),
      _screen_ref(nullptr),
      _decompress(nullptr),
      _compact_header{},
      _compact_header_pos(0),
      _compact_size{},
      _compact_size_pos(0),
      _compact_size_len(0),
      _compact_pending_type(0),
      _last_compact_type(0),
      _compact_context{},
      _capture_mode(false),
      _pointer_active(false),
      _pointer_x(0),
      _pointer_y(0),
      _buttons_state(0),
      _inputs_channel(nullptr),
      _streams(nullptr) {
    display_canvas_init();
    init_streams();
    Handlers& h = handler->handlers;
    h.set_handler<SPICE_MSG_MIGRATE>(&DisplayChannel::handle_migrate);
    h.set_handler<SPICE_MSG_SET_ACK>(&DisplayChannel::handle_set_ack);
    h.set_handler<SPICE_MSG_PING>(&DisplayChannel::handle_ping);
    h.set_handler<SPICE_MSG_WAIT_FOR_CHANNELS>(&DisplayChannel::handle_wait_for_channels);
    h.set_handler<SPICE_MSG_DISCONNECTING>(&DisplayChannel::handle_disconnect);
    h.set_handler<SPICE_MSG_NOTIFY>(&DisplayChannel::handle_notify);
    h.set_handler<SPICE_MSG_DISPLAY_MODE>(&DisplayChannel::handle_mode);
    h.set_handler<SPICE_MSG_DISPLAY_MARK>(&DisplayChannel::handle_mark);
    h.set_handler<SPICE_MSG_DISPLAY_RESET>(&DisplayChannel::handle_reset);
    h.set_handler<SPICE_MSG_DISPLAY_INVAL_LIST>(&DisplayChannel::handle_inval_list);
    h.set_handler<SPICE_MSG_DISPLAY_INVAL_ALL_PIXMAPS>(&DisplayChannel::handle_inval_all_pixmaps);
    h.set_handler<SPICE_MSG_DISPLAY_INVAL_PALETTE>(&DisplayChannel::handle_inval_palette);
    h.set_handler<SPICE_MSG_DISPLAY_INVAL_ALL_PALETTES>(&DisplayChannel::handle_inval_all_palettes);
    h.set_handler<SPICE_MSG_DISPLAY_STREAM_CREATE>(&DisplayChannel::handle_stream_create);
    h.set_handler<SPICE_MSG_DISPLAY_STREAM_CLIP>(&DisplayChannel::handle_stream_clip);
    h.set_handler<SPICE_MSG_DISPLAY_STREAM_DESTROY>(&DisplayChannel::handle_stream_destroy);
    h.set_handler<SPICE_MSG_DISPLAY_STREAM_DESTROY_ALL>(&DisplayChannel::handle_stream_destroy_all);
    h.set_handler<SPICE_MSG_DISPLAY_SURFACE_CREATE>(&DisplayChannel::handle_surface_create);
    h.set_handler<SPICE_MSG_DISPLAY_SURFACE_DESTROY>(&DisplayChannel::handle_surface_destroy);
    h.set_handler<SPICE_MSG_DISPLAY_VIDEO_FRAGMENT>(&DisplayChannel::handle_mix_data);
    h.set_handler<SPICE_MSG_DISPLAY_INVALIDATE_LAYER>(&DisplayChannel::handle_invalidate_layer);
    set_draw_handlers();
    set_capabilities();
}

void DisplayChannel::set_draw_handlers() {
    Handlers& h = _handler->handlers;
    h.set_handler<SPICE_MSG_DISPLAY_COPY_BITS>(&DisplayChannel::handle_copy_bits);
    h.set_handler<SPICE_MSG_DISPLAY_STREAM_DATA>(&DisplayChannel::handle_stream_data);
    h.set_handler<SPICE_MSG_DISPLAY_DRAW_FILL>(&DisplayChannel::handle_draw_fill);
    h.set_handler<SPICE_MSG_DISPLAY_DRAW_OPAQUE>(&DisplayChannel::handle_draw_opaque);
    h.set_handler<SPICE_MSG_DISPLAY_DRAW_COPY>(&DisplayChannel::handle_draw_copy);
    h.set_handler<SPICE_MSG_DISPLAY_DRAW_BLEND>(&DisplayChannel::handle_draw_blend);
    h.set_handler<SPICE_MSG_DISPLAY_DRAW_BLACKNESS>(&DisplayChannel::handle_draw_blackness);
    h.set_handler<SPICE_MSG_DISPLAY_DRAW_WHITENESS>(&DisplayChannel::handle_draw_whiteness);
    h.set_handler<SPICE_MSG_DISPLAY_DRAW_INVERS>(&DisplayChannel::handle_draw_invers);
    h.set_handler<SPICE_MSG_DISPLAY_DRAW_ROP3>(&DisplayChannel::handle_draw_rop3);
    h.set_handler<SPICE_MSG_DISPLAY_DRAW_STROKE>(&DisplayChannel::handle_draw_stroke);
    h.set_handler<SPICE_MSG_DISPLAY_DRAW_TEXT>(&DisplayChannel::handle_draw_text);
    h.set_handler<SPICE_MSG_DISPLAY_DRAW_TRANSPARENT>(&DisplayChannel::handle_draw_transparent);
    h.set_handler<SPICE_MSG_DISPLAY_DRAW_ALPHA_BLEND>(&DisplayChannel::handle_draw_alpha_blend);
    h.set_handler<SPICE_MSG_DISPLAY_DRAW_COMPOSITE>(&DisplayChannel::handle_draw_composite);
    h.set_handler<SPICE_MSG_DISPLAY_DRAW_CACHE_BUILD>(&DisplayChannel::handle_draw_cache_build);
    h.set_handler<SPICE_MSG_DISPLAY_DRAW_CACHE_COPY>(&DisplayChannel::handle_draw_cache_copy);
    h.set_handler<SPICE_MSG_DISPLAY_EXTRA_362>(&DisplayChannel::handle_nothing);
    h.set_handler<SPICE_MSG_DISPLAY_DRAW_REFRESH>(&DisplayChannel::handle_draw_refresh);
}

void DisplayChannel::set_capabilities() {
    ChannelCaps& caps = get_caps();
    caps_set(caps, 2);  // composite drawing
    caps_set(caps, 3);  // A8 surfaces
    caps_set(caps, 32);
    caps_set(caps, 34);
    caps_set(caps, SPICE_DISPLAY_CAP_COMPACT_DRAWS);
    caps_set(caps, 36);
    caps_set(caps, 37);

    ChannelCaps& common = get_common_caps();
    if (common.size() < 15) {
        common.resize(15, 0);
    }
    auto block = [](size_t offset) { return SessionBlock::u32(offset); };
    uint32_t cap14 = block(920);
    common[2] = COMPRESSION_LEVEL | (cap14 == 0 ? 0x80000000u : 0);
    common[3] = 0x0028001E;
    common[7] = block(888) ? block(888) : 100;
    common[8] = block(892) ? block(892) : 90;
    common[9] = block(896);
    common[10] = block(900) ? block(900) : 90;
    common[11] = ApplicationInterface::debug_mode ? 1 : SessionBlock::opt_wan_display();
    common[12] = 1;
    if (block(912)) {
        common[13] = block(916);
    } else {
        common[13] = 0;
        SessionBlock::set_u32(916, 0);
    }
    common[14] = cap14;
}

DisplayChannel::~DisplayChannel() {
    // A channel that never connected, or goes before its disconnection ran, may still be linked.
    detach_channels();
    if (_cursor) {
        _cursor->unref();
    }
    release_streams();
    destroy_canvases(true);
    if (_mig_timer) {
        get_process_loop().disarm_timer(_mig_timer);
        _mig_timer->unref();
    }
    if (_screen_ref) {
        _screen_ref->unref();
    }
    decompress_free(_decompress);
}

void DisplayChannel::handle_message(RedPeer::CompoundInMessage& message) {
    _handler->handle_message(message);
}

// ---- Link and connection ----

RedPeer::CompoundInMessage* DisplayChannel::receive_header() {
    if (!is_opt_wan()) {
        return RedChannel::receive_header();
    }
    if (_compact_header_pos < sizeof(_compact_header)) {
        _compact_header_pos +=
            receive(_compact_header + _compact_header_pos, sizeof(_compact_header) - _compact_header_pos);
        if (_compact_header_pos < sizeof(_compact_header)) {
            return nullptr;
        }
        uint8_t flags = _compact_header[0];
        _compact_size_len = (flags & 3) + 1;
        if (flags & 4) {
            _compact_pending_type = compact_type(_compact_header[1]);
            if (remembered(_compact_pending_type, true)) {
                _last_compact_type = _compact_pending_type;
            }
            _compact_size_pos = 0;
        } else {
            _compact_pending_type = _last_compact_type;
            _compact_size[0] = _compact_header[1];
            _compact_size_pos = 1;
        }
    }
    if (_compact_size_pos < _compact_size_len) {
        _compact_size_pos +=
            receive(_compact_size + _compact_size_pos, _compact_size_len - _compact_size_pos);
        if (_compact_size_pos < _compact_size_len) {
            return nullptr;
        }
    }
    _compact_header_pos = 0;
    uint32_t size = read_le(_compact_size, _compact_size_len);
    if (size > MAX_COMPACT_MESSAGE_SIZE) {
        THROW("compact message type %u of %u bytes refused", _compact_pending_type, size);
    }
    return new RedPeer::CompoundInMessage(size, _compact_pending_type, _compact_header[0]);
}

void DisplayChannel::before_send_link_msg() {
    uint32_t graphic = SessionBlock::graphic_type();
    bool wanted =
        SessionBlock::video_plugin() != 0 || (is_tunnelled() && SessionBlock::video_plugin_tunnel() != 0);
    if ((graphic == 0 || graphic == 1 || graphic == 3) && wanted) {
        ChannelCaps& caps = get_caps();
        caps_set(caps, CAP_VIDEO_PLUGIN);
        if (caps.size() < 6) {
            caps.resize(6, 0);
        }
        caps[4] = SessionBlock::u32(964);  // the plug-in's words for the server
        caps[5] = SessionBlock::u32(968);
        return;
    }
    LOG_DEBUG("mix264 is disabled.");
}

void DisplayChannel::on_link_reponse() {
    MixWrapper::get_instance().set_enabled(capability_negotiated(CAP_VIDEO_PLUGIN));
    LOG_INFO("display channel mix enable ");
}

void DisplayChannel::on_connect() {
    _compact_header_pos = 0;
    _compact_size_pos = 0;
    const ChannelCaps& remote = get_remote_common_caps();
    if (remote.size() >= 3 && remote[2]) {
        LOG_INFO("[MD] md compress level : 0x%08x", remote[2]);
        md_set_log_callback(md_log_func);
        md_set_log_level(4);
        decompress_free(_decompress);
        _decompress = decompress_new(remote[2] & 0x7fffffff);
        if (!_decompress) {
            MD_LOG(3, "  Out of memory when new rdp_decompress.\n");
        } else {
            decompress_init(_decompress);
        }
    }
    if (remote.size() >= 4 && remote[3]) {
        LOG_INFO("narrow ack:%d, wide ack:%d", int(remote[3] & 0xffff), int(remote[3] >> 16));
    }
    const SpiceMessageMarshallers* marshallers = get_marshallers();
    if (marshallers) {
        SpiceMsgcDisplayInit init = {};
        init.pixmap_cache_id = 1;
        init.pixmap_cache_size = int64_t(_images.pixmap_cache_size);
        init.glz_dictionary_id = 1;
        init.glz_dictionary_window_size = int32_t(_images.glz_window_size);
        Message* message = new Message(SPICE_MSGC_DISPLAY_INIT);
        if (spice_marshall_message(marshallers, msgc_display_init, message->marshaller(), &init)) {
            post_message(message);
        } else {
            message->release();
        }
    }
    post_event(new AttachChannelsEvent(*this));
    // A plug-in that cannot be loaded or started is logged by the wrapper; the channel goes on without it.
    MixWrapper::get_instance().init_mix_wrapper();
}

void DisplayChannel::on_disconnect() {
    Canvas* primary = canvas_of(0);
    if (primary) {
        SpiceCanvas* canvas = primary->get_internal_canvas();
        canvas->ops->clear(canvas);
    }
    _palette_cache.clear();
    stop_streams();
    try {
        destroy_all_surfaces();
    } catch (Exception& e) {
        LOG_WARN("%s", e.what());
    }
    decompress_free(_decompress);
    _decompress = nullptr;
    {
        DetachChannelsEvent* event = new DetachChannelsEvent(*this);
        post_and_wait(event);
    }
    if (RedScreen* attached = screen()) {
        post_event(new UnlockScreenEvent(attached));
        try {
            detach_from_screen(_app);
        } catch (Exception& e) {
            LOG_WARN("%s", e.what());
        }
    }
    MixWrapper& mix = MixWrapper::get_instance();
    if (mix.enabled()) {
        mix.uninit_mix_plugin();
    }
}

void DisplayChannel::on_disconnect_mig_src() {
    _palette_cache.clear();
    stop_streams();
    destroy_off_screen_surfaces();
    if (has_surface(0)) {
        if (!_mig_timer) {
            _mig_timer = new MigPrimarySurfaceTimer(*this);
        }
        get_process_loop().arm_timer(_mig_timer, 5000);
        _mig_wait_primary = true;
    }
}

void DisplayChannel::post_event(Event* event) {
    _app.main_loop().push_event(event);
    event->unref();
}

bool DisplayChannel::post_and_wait(SyncEvent* event) {
    _app.main_loop().push_event(event);
    event->wait();
    bool ok = !event->failed();
    event->unref();
    return ok;
}

void DisplayChannel::send_simple(uint16_t type, const uint8_t* body, uint32_t size) {
    Message* message = new Message(type);
    if (size) {
        memcpy(spice_marshaller_reserve(message->marshaller(), size), body, size);
    }
    post_message(message);
}

void DisplayChannel::send_draw_pause() {
    send_simple(SPICE_MSGC_DISPLAY_DRAW_PAUSE);
}

void DisplayChannel::send_draw_resume() {
    send_simple(SPICE_MSGC_DISPLAY_DRAW_RESUME);
}

// ---- Surfaces ----

Canvas* DisplayChannel::canvas_of(uint32_t surface_id) {
    auto it = _surfaces.canvases().find(surface_id);
    return it == _surfaces.canvases().end() ? nullptr : it->second;
}

bool DisplayChannel::has_surface(uint32_t surface_id) {
    return canvas_of(surface_id) != nullptr;
}

namespace {

void check_surface_size(uint32_t width, uint32_t height) {
    if (width == 0 || height == 0 || width > DisplayChannel::MAX_SURFACE_SIDE ||
        height > DisplayChannel::MAX_SURFACE_SIDE ||
        uint64_t(width) * height > DisplayChannel::MAX_SURFACE_PIXELS) {
        THROW("surface of %ux%u refused", width, height);
    }
}

}  // namespace

void DisplayChannel::handle_surface_create(const SpiceMsgSurfaceCreate& create) {
    check_surface_size(create.width, create.height);
    const bool primary = (create.flags & 1) != 0;
    if (!primary) {
        create_surface(create.surface_id, create.format, create.width, create.height);
        return;
    }
    // The video plug-in decodes the primary surface only: an off-screen surface neither takes the display
    // size nor becomes it (the pointer is scaled by it), and leaves the decoder alone.
    uint32_t width = create.width;
    uint32_t height = create.height;
    MixWrapper& mix = MixWrapper::get_instance();
    const bool mix_enabled = mix.enabled();
    if (mix_enabled) {
        // The plug-in presents into the whole display area: a display larger than the largest video frame
        // makes the surface that large.
        uint32_t display_width = mix.display_width() ? mix.display_width() : MixWrapper::MAX_WIDTH;
        uint32_t display_height = mix.display_height() ? mix.display_height() : MixWrapper::MAX_HEIGHT;
        if (display_width > MixWrapper::MAX_WIDTH) {
            width = display_width;
        }
        if (display_height > MixWrapper::MAX_HEIGHT) {
            height = display_height;
        }
        check_surface_size(width, height);
        mix.set_display_size(width, height);
    }
    create_primary_surface(create.format, width, height, create.flags);
    if (mix_enabled) {
        mix.init_mix_decode(create.width, create.height);
    }
}

void DisplayChannel::handle_surface_destroy(const SpiceMsgSurfaceDestroy& destroy) {
    if (destroy.surface_id != 0) {
        destroy_surface(destroy.surface_id);
        return;
    }
    destroy_primary_surface();
    MixWrapper& mix = MixWrapper::get_instance();
    if (mix.enabled()) {
        mix.uninit_mix_decode();
    }
}

void DisplayChannel::handle_mode(const SpiceMsgDisplayMode& mode) {
    LOG_INFO("");
    check_surface_size(mode.x_res, mode.y_res);
    if (has_surface(0)) {
        destroy_primary_surface();
    }
    create_primary_surface(mode.bits == 32 ? SPICE_SURFACE_FMT_32_xRGB : SPICE_SURFACE_FMT_16_555, mode.x_res,
                           mode.y_res, 1);
}

void DisplayChannel::handle_mark() {
    _mark = true;
    post_event(new VisibilityEvent(_app, get_id()));
    RECT area = {0, 0, LONG(_primary_width), LONG(_primary_height)};
    set_rect_area(area);
}

void DisplayChannel::handle_reset() {
    if (Canvas* primary = canvas_of(0)) {
        SpiceCanvas* canvas = primary->get_internal_canvas();
        canvas->ops->clear(canvas);
    }
    _palette_cache.clear();
    reset_screen();
}

void DisplayChannel::reset_screen() {
    RedScreen* attached = screen();
    if (!attached) {
        return;
    }
    post_event(new UnlockScreenEvent(attached));
    detach_from_screen(_app);
}

void DisplayChannel::create_primary_surface(uint32_t format, uint32_t width, uint32_t height,
                                            uint32_t flags) {
    check_surface_size(width, height);
    _mark = false;
    if (_mig_wait_primary) {
        if (width == _primary_width && height == _primary_height && format == _primary_format &&
            has_surface(0)) {
            LOG_INFO("keep the primary surface of the mig src session");
            SpiceCanvas* canvas = canvas_of(0)->get_internal_canvas();
            canvas->ops->clear(canvas);
            clear_area();
            _mig_wait_primary = false;
            return;
        }
        LOG_INFO("destroy the primary surface of the mig src session");
        destroy_primary_surface();
    }
    attach_to_screen(_app, get_id());
    destroy_surface_streams(0);
    if (!post_and_wait(new CreatePrimarySurfaceEvent(*this, width, height, format, flags))) {
        THROW("Create primary surface failed");
    }
    _mig_wait_primary = false;
    _primary_width = width;
    _primary_height = height;
    _primary_format = format;
}

void DisplayChannel::create_surface(uint32_t surface_id, uint32_t format, uint32_t width, uint32_t height) {
    check_surface_size(width, height);
    destroy_surface_streams(surface_id);
    if (!post_and_wait(new CreateSurfaceEvent(*this, surface_id, width, height, format))) {
        THROW("Create surface failed");
    }
}

void DisplayChannel::destroy_primary_surface() {
    if (screen()) {
        UnlockScreenEvent::primary_destroyed() = true;
        reset_screen();
    }
    destroy_surface_streams(0);
    if (!post_and_wait(new DestroySurfaceEvent(*this, 0))) {
        THROW("Destroying primary surface failed");
    }
}

void DisplayChannel::destroy_surface(uint32_t surface_id) {
    destroy_surface_streams(surface_id);
    if (!post_and_wait(new DestroySurfaceEvent(*this, surface_id))) {
        THROW("Destroying surface failed");
    }
}

void DisplayChannel::destroy_all_surfaces() {
    destroy_all_streams();
    if (!post_and_wait(new DestroyAllSurfacesEvent(*this, true))) {
        THROW("destroy all surfaces failed");
    }
}

void DisplayChannel::destroy_off_screen_surfaces() {
    for (auto& entry : _surfaces.canvases()) {
        if (entry.first != 0) {
            destroy_surface_streams(entry.first);
        }
    }
    if (!post_and_wait(new DestroyAllSurfacesEvent(*this, false))) {
        THROW("destroy all surfaces failed");
    }
}

void DisplayChannel::create_canvas(uint32_t surface_id, const std::vector<int32_t>& canvas_types, int width,
                                   int height, uint32_t format) {
    if (canvas_of(surface_id)) {
        // The old canvas goes first: a surface made over an existing one replaces it.
        LOG_WARN("surface already exists: %d", int(surface_id));
        destroy_canvas(surface_id);
    }
    Canvas* canvas = nullptr;
    for (int32_t type : canvas_types) {
        try {
            if (type == CANVAS_TYPE_SW) {
                canvas = new SCanvas(surface_id == 0, width, height, format, &_images.pixmap_cache,
                                     &_palette_cache, _images.glz_window, &_surfaces);
                if (surface_id == 0) {
                    LOG_INFO("display %d: using sw", get_id());
                }
            } else if (type == CANVAS_TYPE_GDI) {
                canvas = new GDICanvas(width, height, format, &_images.pixmap_cache, &_palette_cache,
                                       _images.glz_window, &_surfaces);
                if (surface_id == 0) {
                    LOG_INFO("display %d: using gdi", get_id());
                }
            }
        } catch (Exception& e) {
            LOG_WARN("canvas type %d: %s", type, e.what());
            canvas = nullptr;
        } catch (std::bad_alloc&) {
            LOG_WARN("canvas type %d: out of memory", type);
            canvas = nullptr;
        }
        if (canvas) {
            break;
        }
    }
    if (!canvas) {
        THROW("create canvas failed");
    }
    _surfaces.canvases()[surface_id] = canvas;
    _surface_info[surface_id] = SurfaceInfo{uint32_t(width), uint32_t(height), format};
    if (screen()) {
        RECT rect = {0, 0, width, height};
        screen()->invalidate(rect, true);
    }
}

void DisplayChannel::destroy_canvas(uint32_t surface_id) {
    auto it = _surfaces.canvases().find(surface_id);
    if (it == _surfaces.canvases().end()) {
        LOG_INFO("surface does not exist: %d", int(surface_id));
        return;
    }
    Canvas* canvas = it->second;
    _surfaces.canvases().erase(it);
    _surface_info.erase(surface_id);
    delete canvas;
}

void DisplayChannel::destroy_canvases(bool all) {
    std::map<uint32_t, Canvas*>& canvases = _surfaces.canvases();
    for (auto it = canvases.begin(); it != canvases.end();) {
        if (!all && it->first == 0) {
            ++it;
            continue;
        }
        Canvas* canvas = it->second;
        _surface_info.erase(it->first);
        it = canvases.erase(it);
        delete canvas;
    }
}

// ---- The display layer ----

void DisplayChannel::copy_pixels(const pixman_region32_t& region, RedDrawable& dest) {
    if (Canvas* primary = canvas_of(0)) {
        primary->copy_pixels(region, dest);
    }
}

bool DisplayChannel::pointer_test(int x, int y) {
    return contains_point(x, y);
}

void DisplayChannel::on_pointer_enter(int x, int y, unsigned int buttons_state) {
    _pointer_active = true;
    update_cursor();
    on_pointer_motion(x, y, buttons_state);
}

void DisplayChannel::on_pointer_motion(int x, int y, unsigned int buttons_state) {
    _pointer_x = x;
    _pointer_y = y;
    _buttons_state = buttons_state;
    if (!_capture_mode && _inputs_channel) {
        _inputs_channel->on_mouse_position(x, y, int32_t(buttons_state), get_id());
    }
}

void DisplayChannel::on_pointer_leave() {
    _pointer_active = false;
}

void DisplayChannel::on_mouse_button_press(int button, unsigned int buttons_state) {
    _buttons_state = buttons_state;
    if (!_capture_mode && _inputs_channel) {
        _inputs_channel->on_mouse_down(button, int32_t(buttons_state));
    }
}

void DisplayChannel::on_mouse_button_release(int button, unsigned int buttons_state) {
    _buttons_state = buttons_state;
    if (!_capture_mode) {
        if (_inputs_channel) {
            _inputs_channel->on_mouse_up(button, int32_t(buttons_state));
        }
        return;
    }
    if (button == 1) {
        SessionScreen* app_screen = _app.main_screen;
        if (app_screen && !(_app.gui && _app.gui->is_attached())) {
            app_screen->capture_mouse();
        }
    }
}

void DisplayChannel::set_capture_mode(bool captured) {
    if (_capture_mode == captured) {
        return;
    }
    _capture_mode = captured;
    update_cursor();
    if (!_capture_mode && _pointer_active && _inputs_channel) {
        _inputs_channel->on_mouse_position(_pointer_x, _pointer_y, int32_t(_buttons_state), get_id());
    }
}

void DisplayChannel::set_cursor(CursorData* shape) {
    CursorData* previous = _cursor;
    _cursor = shape ? shape->ref() : nullptr;
    if (previous) {
        previous->unref();
    }
    _cursor_visible = true;
    _pointer_active = true;
    update_cursor();
}

void DisplayChannel::hide_cursor() {
    _cursor_visible = false;
    update_cursor();
}

void DisplayChannel::update_cursor() {
    RedScreen* attached = screen();
    if (!attached || !_pointer_active) {
        return;
    }
    RedWindow& window = attached->get_window();
    if (_capture_mode) {
        LocalCursor* arrow = Platform::create_default_cursor();
        window.set_cursor(arrow);
        arrow->unref();
        return;
    }
    if (!_cursor_visible || !_cursor) {
        window.hide_cursor();
        return;
    }
    LocalCursor* local = _cursor->local_cursor();
    if (!local) {
        THROW("create local cursor failed");
    }
    window.set_cursor(local);
}

void DisplayChannel::attach_channels() {
    RedClient* client = dynamic_cast<RedClient*>(&get_client());
    if (!client) {
        return;
    }
    _capture_mode = client->get_mouse_mode() == RedClient::MOUSE_MODE_SERVER;
    client->for_each_channel([this](RedChannel& channel) {
        if (channel.get_type() == SPICE_CHANNEL_CURSOR && channel.get_id() == get_id()) {
            if (CursorChannel* cursor = dynamic_cast<CursorChannel*>(&channel)) {
                cursor->attach_display(*this);
            }
        }
        if (channel.get_type() == SPICE_CHANNEL_INPUTS && !_inputs_channel) {
            _inputs_channel = dynamic_cast<InputsChannel*>(&channel);
            if (_inputs_channel && _pointer_active && !_capture_mode) {
                _inputs_channel->on_mouse_position(_pointer_x, _pointer_y, int32_t(_buttons_state), get_id());
            }
        }
        return true;
    });
}

void DisplayChannel::detach_channels() {
    _inputs_channel = nullptr;
    RedClient* client = dynamic_cast<RedClient*>(&get_client());
    if (!client) {
        return;
    }
    client->for_each_channel([this](RedChannel& channel) {
        if (channel.get_type() != SPICE_CHANNEL_CURSOR || channel.get_id() != get_id()) {
            return true;
        }
        if (CursorChannel* cursor = dynamic_cast<CursorChannel*>(&channel)) {
            cursor->detach_display(*this);
        }
        return false;
    });
}

void DisplayChannel::invalidate_box(uint32_t surface_id, const SpiceRect& box) {
    if (surface_id != 0 || !screen()) {
        return;
    }
    RECT rect = {box.left, box.top, box.right, box.bottom};
    invalidate_rect(rect, false);
}

// ---- Draws ----

SpiceCanvas* DisplayChannel::draw_target(uint32_t surface_id, const char* what) {
    Canvas* canvas = canvas_of(surface_id);
    if (!canvas) {
        LOG_WARN("%s to surface %u, which does not exist: skipped", what, surface_id);
        return nullptr;
    }
    return canvas->get_internal_canvas();
}

#define KTW_DRAW(Message, slot)                                                          \
    void DisplayChannel::handle_##slot(const Message& draw) {                            \
        Message& message = const_cast<Message&>(draw);                                   \
        SpiceCanvas* canvas = draw_target(message.base.surface_id, #slot);               \
        if (!canvas) {                                                                   \
            return;                                                                      \
        }                                                                                \
        canvas->ops->slot(canvas, &message.base.box, &message.base.clip, &message.data); \
        canvas_of(message.base.surface_id)->touched_bbox(&message.base.box);             \
        invalidate_box(message.base.surface_id, message.base.box);                       \
    }

KTW_DRAW(SpiceMsgDisplayDrawFill, draw_fill)
KTW_DRAW(SpiceMsgDisplayDrawOpaque, draw_opaque)
KTW_DRAW(SpiceMsgDisplayDrawCopy, draw_copy)
KTW_DRAW(SpiceMsgDisplayDrawBlend, draw_blend)
KTW_DRAW(SpiceMsgDisplayDrawBlackness, draw_blackness)
KTW_DRAW(SpiceMsgDisplayDrawWhiteness, draw_whiteness)
KTW_DRAW(SpiceMsgDisplayDrawInvers, draw_invers)
KTW_DRAW(SpiceMsgDisplayDrawRop3, draw_rop3)
KTW_DRAW(SpiceMsgDisplayDrawStroke, draw_stroke)
KTW_DRAW(SpiceMsgDisplayDrawText, draw_text)
KTW_DRAW(SpiceMsgDisplayDrawTransparent, draw_transparent)
KTW_DRAW(SpiceMsgDisplayDrawAlphaBlend, draw_alpha_blend)
KTW_DRAW(SpiceMsgDisplayDrawComposite, draw_composite)
#undef KTW_DRAW

void DisplayChannel::handle_copy_bits(const SpiceMsgDisplayCopyBits& draw) {
    SpiceMsgDisplayCopyBits& message = const_cast<SpiceMsgDisplayCopyBits&>(draw);
    SpiceCanvas* canvas = draw_target(message.base.surface_id, "copy_bits");
    if (!canvas) {
        return;
    }
    canvas->ops->copy_bits(canvas, &message.base.box, &message.base.clip, &message.src_pos);
    canvas_of(message.base.surface_id)->touched_bbox(&message.base.box);
    invalidate_box(message.base.surface_id, message.base.box);
}

void DisplayChannel::handle_draw_cache_copy(const SpiceMsgDisplayDrawCacheCopy& draw) {
    SpiceMsgDisplayDrawCacheCopy& message = const_cast<SpiceMsgDisplayDrawCacheCopy&>(draw);
    SpiceCanvas* canvas = draw_target(message.base.surface_id, "draw_cache_copy");
    if (!canvas) {
        return;
    }
    canvas->ops->draw_cache_copy(canvas, &message.base.box, &message.base.clip, &message);
    canvas_of(message.base.surface_id)->touched_bbox(&message.base.box);
    invalidate_box(message.base.surface_id, message.base.box);
}

void DisplayChannel::handle_draw_cache_build(const SpiceMsgDisplayDrawCacheBuild& build) {
    SpiceMsgDisplayDrawCacheBuild& message = const_cast<SpiceMsgDisplayDrawCacheBuild&>(build);
    SpiceCanvas* canvas = draw_target(message.surface_id, "draw_cache_build");
    if (!canvas) {
        return;
    }
    // The area must be a non-empty part of the surface it is copied from.
    const SurfaceInfo& info = _surface_info[message.surface_id];
    const SpiceRect& area = message.area;
    if (area.left < 0 || area.top < 0 || area.left >= area.right || area.top >= area.bottom ||
        int64_t(area.right) > int64_t(info.width) || int64_t(area.bottom) > int64_t(info.height)) {
        LOG_WARN("cache build area (%d,%d,%d,%d) outside surface %u of %ux%u: skipped", area.left, area.top,
                 area.right, area.bottom, message.surface_id, info.width, info.height);
        return;
    }
    canvas->ops->draw_cache_build(canvas, &message);
}

// ---- Caches ----

void DisplayChannel::handle_inval_list(const SpiceMsgDisplayInvalList& list) {
    for (uint16_t i = 0; i < list.count; i++) {
        const SpiceResourceID& resource = list.resources[i];
        if (resource.type != 1) {
            THROW("invalid res type");
        }
        _images.pixmap_cache.remove(resource.id);
    }
}

void DisplayChannel::handle_inval_all_pixmaps(const SpiceMsgWaitForChannels& wait) {
    get_client().wait_for_channels(wait.wait_count, wait.wait_list);
    _images.pixmap_cache.clear();
}

void DisplayChannel::handle_inval_palette(const SpiceMsgDisplayInvalOne& palette) {
    _palette_cache.remove(palette.id);
}

void DisplayChannel::handle_inval_all_palettes() {
    _palette_cache.clear();
}

void DisplayChannel::handle_draw_refresh() {
    // The guest agent's redraw request belongs to the main channel client, which has no agent messages yet.
    LOG_DEBUG("draw refresh: no guest agent to ask");
}

void DisplayChannel::handle_invalidate_layer() {
    invalidate();
}

// ---- Factory ----

DisplayFactory::DisplayFactory(ApplicationInterface* app)
    : ChannelFactory(SPICE_CHANNEL_DISPLAY), _app(app) {}

DisplayFactory::~DisplayFactory() = default;

DisplaySharedImages& DisplayFactory::images_of(ChannelClient& client) {
    std::lock_guard<std::mutex> lock(_lock);
    std::unique_ptr<DisplaySharedImages>& images = _images[&client];
    if (!images) {
        images.reset(new DisplaySharedImages());
    }
    if (RedClient* red_client = dynamic_cast<RedClient*>(&client)) {
        images->pixmap_cache_size = red_client->get_pixmap_cache_size();
        images->glz_window_size = red_client->get_glz_window_size();
        // The client empties them at its next connect and at the end of a migration.
        red_client->set_shared_images(images.get());
    }
    if (images->glz_window_size) {
        images->glz_window.set_window_size(images->glz_window_size);
    }
    return *images;
}

RedChannel* DisplayFactory::create(ChannelClient& client, uint8_t id) {
    ApplicationInterface* app = _app ? _app : ApplicationInterface::instance();
    if (!app) {
        LOG_WARN("no application for the display channel");
        return nullptr;
    }
    DisplaySharedImages& images = images_of(client);
    if (id == 0) {
        // A new connection: nothing of the last one's images may be drawn from.
        images.pixmap_cache.clear();
        images.glz_window.clear();
    }
    return new DisplayChannel(client, id, *app, images);
}
