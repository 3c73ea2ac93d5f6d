// DisplayChannel: the client of the SPICE display channel (type 2). It runs on its own worker thread,
// receives the server's display messages (plain mini headers, or compact headers in the optimised-WAN mode),
// expands compressed bodies, splits the two list forms and hands every parsed message to its handler. It
// keeps the server's surfaces, each a canvas made and destroyed on the main thread while the worker waits,
// draws every draw message into its surface's canvas, keeps the palette cache and uses the session's shared
// pixmap cache. The same object is layer 0 of its session screen: it paints surface 0 into the window and
// routes the pointer over the remote desktop to the inputs channel. In client mouse mode it shows the cursor
// channel's shape as the session window's cursor (CursorDisplay).
//
// Video streams (122-126) and the video plug-in fragments (321) are handled in display_streams.cpp, whose
// state lives behind StreamState.
//
// Threads: the message handlers run on the worker; canvases, the screen and the ScreenLayer operations belong
// to the main thread (the application's loop); the client messages may be sent from any thread.
#pragma once

#include "app/application_interface.h"
#include "app/red_client.h"
#include "canvas/canvas.h"
#include "canvas/pixmap_cache.h"
#include "codecs/glz_decoder_window.h"
#include "codecs/mix_wrapper.h"
#include "display/cursor_channel.h"
#include "display/palette_cache.h"
#include "display/screen_layer.h"
#include "runtime/threads.h"
#include "transport/channel/channel_factory.h"
#include "transport/channel/message_handler.h"
#include "transport/channel/red_channel.h"
#include "transport/protocol/compact_parsers.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

struct RdpDecompress;
class InputsChannel;

// Client messages of the display channel.
enum {
    SPICE_MSGC_DISPLAY_INIT = 101,
    SPICE_MSGC_DISPLAY_DRAW_PAUSE = 103,
    SPICE_MSGC_DISPLAY_DRAW_RESUME = 104,
    SPICE_MSGC_DISPLAY_VIDEO_NOTICE_0 = 107,
    SPICE_MSGC_DISPLAY_VIDEO_FRAGMENT_ACK = 108,
    SPICE_MSGC_DISPLAY_VIDEO_NOTICE_1 = 109,
};

// The sequential list: a 16-byte prefix, then sub-messages one after another up to the end of the body.
enum { SPICE_MSG_SEQUENTIAL_LIST = 9 };

// The images every display channel of one session shares: the pixmap cache and the GLZ window.
struct DisplaySharedImages : public RedClient::SharedImages {
    DisplaySharedImages();
    // The pixmap cache emptied; the GLZ window's images freed and its state reset under its lock.
    void clear_images() override;
    PixmapCache pixmap_cache;
    GlzDecoderCanvasDebug glz_debug;
    GlzDecoderWindow glz_window;
    uint64_t pixmap_cache_size;  // announced in the init message
    uint32_t glz_window_size;
};

class DisplayChannel : public RedChannel,
                       public ScreenLayer,
                       public MouseModeSink,
                       public MixMessageSender,
                       public CursorDisplay {
public:
    // Surfaces larger than this are refused (their pixels would not fit in memory or overflow sizes).
    static const uint32_t MAX_SURFACE_SIDE = 16384;
    static const uint64_t MAX_SURFACE_PIXELS = uint64_t(64) << 20;
    // A compact header announcing a larger body ends the connection.
    static const uint32_t MAX_COMPACT_MESSAGE_SIZE = 64u << 20;
    // Offered in common capability word 2.
    static const uint32_t COMPRESSION_LEVEL = 7;
    // The video plug-in, offered when the session asks for it (with channel capability words 4 and 5).
    static const uint32_t CAP_VIDEO_PLUGIN = 40;

    // The shared images outlive the channel.
    DisplayChannel(ChannelClient& client, uint8_t id, ApplicationInterface& app, DisplaySharedImages& images);
    ~DisplayChannel() override;

    // The code byte of a compact sub-header as a message type (0: none); bit 7 adds the compressed-body bit.
    static uint16_t compact_type(uint8_t code);

    // ---- ScreenLayer (main thread) ----
    void copy_pixels(const pixman_region32_t& region, RedDrawable& dest) override;
    void on_update_completion(uint64_t mark) override;  // display_streams.cpp
    bool pointer_test(int x, int y) override;
    void on_pointer_enter(int x, int y, unsigned int buttons_state) override;
    void on_pointer_motion(int x, int y, unsigned int buttons_state) override;
    void on_pointer_leave() override;
    void on_mouse_button_press(int button, unsigned int buttons_state) override;
    void on_mouse_button_release(int button, unsigned int buttons_state) override;

    // ---- MouseModeSink (main thread) ----
    void set_capture_mode(bool captured) override;

    // ---- CursorDisplay (main thread) ----
    // Keeps a reference to the shape (dropping the one it held) and shows it as the window's cursor.
    void set_cursor(CursorData* shape) override;
    void hide_cursor() override;

    // ---- Client messages (any thread) ----
    void send_draw_pause();
    void send_draw_resume();
    // An empty message or one of the given body.
    void send_simple(uint16_t type, const uint8_t* body = nullptr, uint32_t size = 0);
    // The video plug-in wrapper's messages (display_streams.cpp).
    void send_mix_message(uint16_t type, const uint8_t* body, uint32_t size) override;

    // ---- Surfaces, worker thread (public for the message handlers and tests) ----
    void create_primary_surface(uint32_t format, uint32_t width, uint32_t height, uint32_t flags);
    void create_surface(uint32_t surface_id, uint32_t format, uint32_t width, uint32_t height);
    void destroy_primary_surface();
    void destroy_surface(uint32_t surface_id);
    void destroy_all_surfaces();
    void destroy_off_screen_surfaces();
    void reset_screen();

    // ---- Surfaces, main thread ----
    void create_canvas(uint32_t surface_id, const std::vector<int32_t>& canvas_types, int width, int height,
                       uint32_t format);
    void destroy_canvas(uint32_t surface_id);
    // Deletes every canvas (all), or every one but surface 0's.
    void destroy_canvases(bool all);

    // The canvas of a surface, null when it does not exist. Worker thread, or the main thread while the
    // worker waits.
    Canvas* canvas_of(uint32_t surface_id);
    bool has_surface(uint32_t surface_id);

    PaletteCache& palette_cache() { return _palette_cache; }
    PixmapCache& pixmap_cache() { return _images.pixmap_cache; }
    ApplicationInterface& app() { return _app; }
    bool opt_wan() const { return is_opt_wan(); }
    // The inputs channel the pointer goes to (null: none). Main thread.
    void set_inputs_channel(InputsChannel* inputs) { _inputs_channel = inputs; }

    // Handles one received message as the worker does: expansion, lists, parse and handler (the worker, or
    // tests and the fuzz target on a channel that is not connected).
    void handle_message(RedPeer::CompoundInMessage& message);

    // ---- Message handlers (worker thread) ----
    void handle_mode(const SpiceMsgDisplayMode& mode);
    void handle_mark();
    void handle_reset();
    void handle_copy_bits(const SpiceMsgDisplayCopyBits& copy_bits);
    void handle_inval_list(const SpiceMsgDisplayInvalList& list);
    void handle_inval_all_pixmaps(const SpiceMsgWaitForChannels& wait);
    void handle_inval_palette(const SpiceMsgDisplayInvalOne& palette);
    void handle_inval_all_palettes();
    void handle_surface_create(const SpiceMsgSurfaceCreate& create);
    void handle_surface_destroy(const SpiceMsgSurfaceDestroy& destroy);
    void handle_draw_fill(const SpiceMsgDisplayDrawFill& draw);
    void handle_draw_opaque(const SpiceMsgDisplayDrawOpaque& draw);
    void handle_draw_copy(const SpiceMsgDisplayDrawCopy& draw);
    void handle_draw_blend(const SpiceMsgDisplayDrawBlend& draw);
    void handle_draw_blackness(const SpiceMsgDisplayDrawBlackness& draw);
    void handle_draw_whiteness(const SpiceMsgDisplayDrawWhiteness& draw);
    void handle_draw_invers(const SpiceMsgDisplayDrawInvers& draw);
    void handle_draw_rop3(const SpiceMsgDisplayDrawRop3& draw);
    void handle_draw_stroke(const SpiceMsgDisplayDrawStroke& draw);
    void handle_draw_text(const SpiceMsgDisplayDrawText& draw);
    void handle_draw_transparent(const SpiceMsgDisplayDrawTransparent& draw);
    void handle_draw_alpha_blend(const SpiceMsgDisplayDrawAlphaBlend& draw);
    void handle_draw_composite(const SpiceMsgDisplayDrawComposite& draw);
    void handle_draw_cache_build(const SpiceMsgDisplayDrawCacheBuild& build);
    void handle_draw_cache_copy(const SpiceMsgDisplayDrawCacheCopy& copy);
    void handle_draw_refresh();
    void handle_invalidate_layer();
    void handle_nothing() {}

    // Video streams and the video plug-in (display_streams.cpp).
    void handle_stream_create(const SpiceMsgDisplayStreamCreate& create);
    void handle_stream_data(const SpiceMsgDisplayStreamData& data);
    void handle_stream_clip(const SpiceMsgDisplayStreamClip& clip);
    void handle_stream_destroy(const SpiceMsgDisplayStreamDestroy& destroy);
    void handle_stream_destroy_all();
    void handle_stream_activate_report(const SpiceMsgDisplayStreamActivateReport& report);
    void handle_mix_data(const SpiceMsgDisplayVideoFragment& fragment);

protected:
    RedPeer::CompoundInMessage* receive_header() override;
    void before_send_link_msg() override;
    void on_link_reponse() override;
    void on_connect() override;
    void on_disconnect() override;
    void on_disconnect_mig_src() override;
    // The responses of the attach and detach events (main thread): the inputs channel the pointer goes to,
    // and the cursor channel of this id that hands this display its shapes.
    void attach_channels();
    void detach_channels();

private:
    class DisplayHandler;
    class CreatePrimarySurfaceEvent;
    class CreateSurfaceEvent;
    class DestroySurfaceEvent;
    class DestroyAllSurfacesEvent;
    class UnlockScreenEvent;
    class AttachChannelsEvent;
    class DetachChannelsEvent;
    class VisibilityEvent;
    class MigPrimarySurfaceTimer;
    typedef MessageHandlerImp<DisplayChannel, SPICE_CHANNEL_DISPLAY> Handlers;
    friend class DisplayHandler;

    DisplayChannel(ChannelClient& client, uint8_t id, ApplicationInterface& app, DisplaySharedImages& images,
                   DisplayHandler* handler);

    void set_draw_handlers();
    void set_capabilities();
    // Posts the event to the application loop, which holds it from then on.
    void post_event(Event* event);
    // Posts the synchronous event to the application loop and waits; false when its response failed.
    bool post_and_wait(SyncEvent* event);
    // Invalidates the box on the screen when the surface is 0 and the layer is attached.
    void invalidate_box(uint32_t surface_id, const SpiceRect& box);
    // The canvas a draw goes to: null (logged) when the surface does not exist.
    SpiceCanvas* draw_target(uint32_t surface_id, const char* what);
    // The window's cursor for the pointer state: the arrow while captured, else the shape or none.
    void update_cursor();

    // Streams (display_streams.cpp).
    struct StreamState;
    void init_streams();
    void destroy_all_streams();
    // Before a surface's canvas goes: its streams go with it.
    void destroy_surface_streams(uint32_t surface_id);
    void stop_streams();  // on disconnect: every stream, the timer and the pending marks
    void release_streams();

    ApplicationInterface& _app;
    DisplaySharedImages& _images;
    DisplayHandler* _handler;  // owned by RedChannel

    // Surfaces: changed on the main thread while the worker waits for the change.
    struct SurfaceInfo {
        uint32_t width;
        uint32_t height;
        uint32_t format;
    };
    CanvasSurfaces _surfaces;
    std::map<uint32_t, SurfaceInfo> _surface_info;
    uint32_t _primary_width;
    uint32_t _primary_height;
    uint32_t _primary_format;
    bool _mark;
    bool _mig_wait_primary;
    MigPrimarySurfaceTimer* _mig_timer;
    SessionScreen* _screen_ref;  // held between a reset and the next primary surface, for the unlock

    PaletteCache _palette_cache;

    // Decompression and opt-WAN state (worker thread).
    RdpDecompress* _decompress;
    uint8_t _compact_header[2];
    uint32_t _compact_header_pos;
    uint8_t _compact_size[4];
    uint32_t _compact_size_pos;
    uint32_t _compact_size_len;
    uint16_t _compact_pending_type;
    uint16_t _last_compact_type;
    OptDrawContext _compact_context;

    // Pointer state (main thread).
    bool _capture_mode;
    bool _pointer_active;
    int32_t _pointer_x;
    int32_t _pointer_y;
    uint32_t _buttons_state;
    InputsChannel* _inputs_channel;
    CursorData* _cursor = nullptr;  // one reference held
    bool _cursor_visible = false;

    StreamState* _streams;  // made by init_streams, deleted by release_streams
};

// Builds display channels; owns the images each session's display channels share (one set per main channel
// client) and makes the canvas back ends ready once per process.
class DisplayFactory : public ChannelFactory {
public:
    // app null: the process's application (ApplicationInterface::instance) at each creation.
    explicit DisplayFactory(ApplicationInterface* app = nullptr);
    ~DisplayFactory() override;
    RedChannel* create(ChannelClient& client, uint8_t id) override;

    // The shared images of a client, made on first use and sized from its init values.
    DisplaySharedImages& images_of(ChannelClient& client);

private:
    ApplicationInterface* _app;
    std::mutex _lock;
    std::map<ChannelClient*, std::unique_ptr<DisplaySharedImages>> _images;
};

// The canvas back ends' process start-up; once, any thread.
void display_canvas_init();
