// MixWrapper: the process-wide wrapper around the outside video-decoder plug-in "libmix.dll". It loads the
// library and resolves its six functions, starts and stops the plug-in and its decoder, gathers the video
// frames that arrive in fragments (display message 321), acknowledges every fragment in sequence, hands each
// whole frame to the plug-in, and sends the display messages the plug-in asks for. It also keeps the display
// and decode sizes the session window uses to scale pointer positions.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "transport/protocol/extra_messages.h"
#include "winapi/windows.h"

// Where the wrapper's display client messages go: the display channel. send_mix_message may be called from
// any thread (the plug-in calls back from its own).
class MixMessageSender {
public:
    virtual ~MixMessageSender() {}
    virtual void send_mix_message(uint16_t type, const uint8_t* body, uint32_t size) = 0;
};

// The block handed by address to mix_init_plugin and mix_init_decode. Handles and call-backs are native-width
// pointers, so in this 64-bit build the block is 48 bytes with the natural alignment.
struct MixPluginBlock {
    uint32_t width;
    uint32_t height;
    HWND window;           // the session window for mix_init_plugin, none for mix_init_decode
    uint8_t watermark;     // 1 while the watermark is on
    uint8_t anti_capture;  // 1 when the session forbids screen capture
    uint16_t reserved;
    HDC (*device_context)();        // the watermark's device context while it is on, else none
    int (*post_message)(int type);  // MixWrapper::post_message_callback
    void (*log)(unsigned level, const char* function, unsigned line, const char* format, ...);
};
static_assert(offsetof(MixPluginBlock, window) == 8 && offsetof(MixPluginBlock, watermark) == 16 &&
                  offsetof(MixPluginBlock, device_context) == 24 && offsetof(MixPluginBlock, log) == 40 &&
                  sizeof(MixPluginBlock) == 48,
              "the plug-in block with 64-bit pointers");

class MixWrapper {
public:
    // Display client messages.
    enum : uint16_t {
        MSGC_MIX_NOTICE_0 = 107,  // empty; the plug-in's message kind 0
        MSGC_MIX_FRAGMENT_ACK = 108,
        MSGC_MIX_NOTICE_1 = 109,  // empty; the plug-in's message kind 1
    };
    static const uint32_t MAX_WIDTH = 1920;
    static const uint32_t MAX_HEIGHT = 1200;
    static const uint32_t FRAME_BUFFER_SIZE = 10485760;
    static const uint32_t FRAME_HEADER_SIZE = 12;

    // What the wrapper reads of the session window and the watermark; every hook may be missing (no window,
    // watermark off).
    struct WindowHooks {
        HWND (*session_window)() = nullptr;
        bool (*watermark_on)() = nullptr;
        HDC (*watermark_dc)() = nullptr;
    };

    // The singleton, built on first call with the enabled flag from the session block as it is then; every
    // display channel link sets the flag again (set_enabled).
    static MixWrapper& get_instance();

    // A wrapper of its own (tests); get_instance is the program's.
    explicit MixWrapper(bool enabled);
    ~MixWrapper();
    MixWrapper(const MixWrapper&) = delete;
    MixWrapper& operator=(const MixWrapper&) = delete;

    bool enabled() const { return _enabled; }
    // The display channel's link decides it again: on when both sides announced the plug-in.
    void set_enabled(bool enabled) { _enabled = enabled; }
    bool loaded() const { return _library != nullptr; }

    void set_display_channel(MixMessageSender* sender) { _sender = sender; }
    MixMessageSender* display_channel() const { return _sender; }
    void set_window_hooks(const WindowHooks& hooks) { _hooks = hooks; }

    // Display channel connect: loads and starts the plug-in, allocates the fragment buffer. A plug-in
    // stopped by the last disconnect (or whose start failed) is started again.
    bool init_mix_wrapper();
    int init_mix_plugin();
    // Primary surface created: starts a decoder and expects frame 1, fragment 1.
    int init_mix_decode(uint32_t width, uint32_t height);
    void uninit_mix_decode();
    void uninit_mix_plugin();
    // Every display message 321, on the display channel's thread.
    bool handle_mix_data(const SpiceMsgDisplayVideoFragment* fragment);
    int post_message(int type);
    static int post_message_callback(int type);
    void send_fragment_ack(uint32_t id, uint64_t frame_id, uint32_t index);
    void restore_image();
    void update_sizes(uint32_t& width, uint32_t& height);
    void scale_position(int& y, int& x);

    uint32_t display_width() const { return _display_width; }
    uint32_t display_height() const { return _display_height; }
    void set_display_size(uint32_t width, uint32_t height);
    uint32_t decode_width() const { return _decode_width; }
    uint32_t decode_height() const { return _decode_height; }

    // Where reassembly stands (tests).
    uint64_t expected_frame_id() const { return _expected_frame_id; }
    uint32_t expected_index() const { return _expected_index; }
    uint32_t bytes_held() const { return _bytes_held; }

private:
    typedef int (*BlockProc)(MixPluginBlock*);
    typedef int (*VoidProc)();
    typedef int (*PushProc)(const uint8_t* frame, uint32_t size);
    typedef int (*RestoreProc)(int, int);

    // mix_init_plugin with the window, the flags and the call-backs.
    int start_plugin();
    void reset_reassembly(uint64_t frame_id, uint32_t index);
    void fill_flags(MixPluginBlock& block) const;
    static HDC device_context_callback();

    std::atomic<bool> _enabled;
    HMODULE _library = nullptr;
    BlockProc _init_plugin = nullptr;
    VoidProc _uninit_plugin = nullptr;
    BlockProc _init_decode = nullptr;
    VoidProc _uninit_decode = nullptr;
    PushProc _push_data = nullptr;
    RestoreProc _restore_image = nullptr;
    bool _plugin_running = false;  // mix_init_plugin succeeded, mix_uninit_plugin not called since

    std::atomic<MixMessageSender*> _sender{nullptr};
    WindowHooks _hooks;

    // Written by one thread each, read by others (see the setters' callers): plain atomic words, no lock.
    std::atomic<uint32_t> _max_width{0};
    std::atomic<uint32_t> _max_height{0};
    std::atomic<uint32_t> _display_width{0};
    std::atomic<uint32_t> _display_height{0};
    std::atomic<uint32_t> _decode_width{0};
    std::atomic<uint32_t> _decode_height{0};

    // Reassembly, display channel thread only (init_mix_decode runs there too).
    std::unique_ptr<uint8_t[]> _frame;  // FRAME_BUFFER_SIZE bytes once init_mix_wrapper has run
    uint64_t _expected_frame_id = 0;
    uint32_t _expected_index = 0;
    uint32_t _bytes_held = 0;
};
