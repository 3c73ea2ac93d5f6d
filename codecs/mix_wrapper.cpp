#include "codecs/mix_wrapper.h"

#include <cstring>
#include <new>

#include "platform/session_block.h"
#include "runtime/log.h"

namespace {

// The wrapper whose plug-in was started: the plug-in's call-backs take no context, so they reach it here.
std::atomic<MixWrapper*> plugin_owner{nullptr};

void put_u32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; i++) {
        at[i] = uint8_t(value >> (8 * i));
    }
}

template <typename Proc>
Proc proc_cast(FARPROC proc) {
    return reinterpret_cast<Proc>(reinterpret_cast<void (*)()>(proc));
}

uint32_t get_u32(const uint8_t* at) {
    return uint32_t(at[0]) | uint32_t(at[1]) << 8 | uint32_t(at[2]) << 16 | uint32_t(at[3]) << 24;
}

}  // namespace

MixWrapper& MixWrapper::get_instance() {
    static MixWrapper instance(SessionBlock::video_plugin() != 0 || SessionBlock::video_plugin_tunnel() != 0);
    return instance;
}

MixWrapper::MixWrapper(bool enabled) : _enabled(enabled) {}

MixWrapper::~MixWrapper() {
    MixWrapper* self = this;
    plugin_owner.compare_exchange_strong(self, nullptr);
    // mix_uninit_plugin is the display channel's to call on disconnect, not here.
    if (_library) {
        FreeLibrary(_library);
    }
}

bool MixWrapper::init_mix_wrapper() {
    _max_width = MAX_WIDTH;
    _max_height = MAX_HEIGHT;
    if (init_mix_plugin() != 0) {
        return false;
    }
    if (!_frame) {
        _frame.reset(new (std::nothrow) uint8_t[FRAME_BUFFER_SIZE]);
        if (!_frame) {
            LOG_ERROR("malloc of frag wrapper failed.");
            return false;
        }
        reset_reassembly(1, 1);
    }
    LOG_INFO("init mix wrapper success.");
    return true;
}

int MixWrapper::init_mix_plugin() {
    if (!_enabled) {
        return -1;
    }
    if (_library) {
        // Loaded before: started again unless it still runs (a disconnect stopped it).
        return _plugin_running ? 0 : start_plugin();
    }
    HMODULE library = LoadLibraryA("libmix.dll");
    if (!library) {
        LOG_ERROR("loadlibrary of mix fail.");
        return -1;
    }
    struct Entry {
        const char* name;
        FARPROC* slot;
    };
    FARPROC procs[6] = {};
    const Entry entries[] = {{"mix_init_plugin", &procs[0]}, {"mix_uninit_plugin", &procs[1]},
                             {"mix_init_decode", &procs[2]}, {"mix_uninit_decode", &procs[3]},
                             {"mix_push_data", &procs[4]},   {"mix_restore_image", &procs[5]}};
    for (const Entry& entry : entries) {
        *entry.slot = GetProcAddress(library, entry.name);
        if (!*entry.slot) {
            LOG_ERROR("get mix %s function fail.", entry.name);
            FreeLibrary(library);
            return -1;
        }
    }
    _library = library;
    _init_plugin = proc_cast<BlockProc>(procs[0]);
    _uninit_plugin = proc_cast<VoidProc>(procs[1]);
    _init_decode = proc_cast<BlockProc>(procs[2]);
    _uninit_decode = proc_cast<VoidProc>(procs[3]);
    _push_data = proc_cast<PushProc>(procs[4]);
    _restore_image = proc_cast<RestoreProc>(procs[5]);
    plugin_owner = this;
    return start_plugin();
}

int MixWrapper::start_plugin() {
    MixPluginBlock block = {};
    block.width = MAX_WIDTH;
    block.height = MAX_HEIGHT;
    block.window = _hooks.session_window ? _hooks.session_window() : nullptr;
    fill_flags(block);
    block.device_context = &MixWrapper::device_context_callback;
    block.post_message = &MixWrapper::post_message_callback;
    block.log = &write_log;
    if (_init_plugin(&block) != 0) {
        LOG_ERROR("init mix plugin fail.");
        return -1;
    }
    _plugin_running = true;
    return 0;
}

void MixWrapper::fill_flags(MixPluginBlock& block) const {
    block.watermark = _hooks.watermark_on && _hooks.watermark_on() ? 1 : 0;
    block.anti_capture = SessionBlock::anti_screen_capture() != 0 ? 1 : 0;
}

int MixWrapper::init_mix_decode(uint32_t width, uint32_t height) {
    if (!_enabled || !_init_decode) {
        return -1;
    }
    width = width < MAX_WIDTH ? width : MAX_WIDTH;
    height = height < MAX_HEIGHT ? height : MAX_HEIGHT;
    _decode_width = width & ~1u;
    _decode_height = height & ~1u;
    MixPluginBlock block = {};
    block.width = width;
    block.height = height;
    fill_flags(block);
    block.device_context = &MixWrapper::device_context_callback;
    block.post_message = &MixWrapper::post_message_callback;
    block.log = &write_log;
    if (_frame) {
        memset(_frame.get(), 0, FRAME_BUFFER_SIZE);
        reset_reassembly(1, 1);
    }
    if (_init_decode(&block) != 0) {
        LOG_ERROR("init mix decode fail.");
        return -1;
    }
    return 0;
}

void MixWrapper::uninit_mix_decode() {
    if (_enabled && _uninit_decode && _uninit_decode() != 0) {
        LOG_ERROR("uninit mix decode fail.");
    }
}

void MixWrapper::uninit_mix_plugin() {
    if (_enabled && _uninit_plugin) {
        _plugin_running = false;
        if (_uninit_plugin() != 0) {
            LOG_ERROR("uninit mix plugin fail.");
        }
    }
}

void MixWrapper::reset_reassembly(uint64_t frame_id, uint32_t index) {
    _expected_frame_id = frame_id;
    _expected_index = index;
    _bytes_held = 0;
}

bool MixWrapper::handle_mix_data(const SpiceMsgDisplayVideoFragment* fragment) {
    if (!fragment || !_frame) {
        LOG_ERROR("data is null.");
        return false;
    }
    if (!_enabled) {
        return false;
    }
    if (fragment->frame_id != _expected_frame_id || fragment->index != _expected_index) {
        reset_reassembly(0, 0);
        return false;
    }
    send_fragment_ack(fragment->id, fragment->frame_id, fragment->index);
    if (fragment->restart) {
        _bytes_held = 0;
    }
    if (fragment->data_size > FRAME_BUFFER_SIZE - _bytes_held) {
        LOG_ERROR("frame size is overflow, drop this fragment.");
        reset_reassembly(0, 0);
        return false;
    }
    memcpy(_frame.get() + _bytes_held, fragment->data(), fragment->data_size);
    _bytes_held += fragment->data_size;
    _expected_index++;
    if (!fragment->last) {
        return true;
    }

    if (_bytes_held < FRAME_HEADER_SIZE) {
        LOG_ERROR("received frame is broken, frame_size:%u, expect lest:%u", _bytes_held, FRAME_HEADER_SIZE);
        reset_reassembly(0, 0);
        return false;
    }
    const uint32_t plz_length = get_u32(_frame.get() + 4);
    const uint32_t h264_length = get_u32(_frame.get() + 8);
    // Both lengths come from the server: summed in 64 bits, so no pair of them can wrap to the size held.
    const uint64_t frame_size = uint64_t(FRAME_HEADER_SIZE) + plz_length + h264_length;
    if (frame_size != _bytes_held) {
        LOG_ERROR(
            "received frame is broken, buf_len:%u, calc_len:%llu, frame_header_len:%u, h264_len:%u, "
            "plz_len:%u",
            _bytes_held, (unsigned long long)frame_size, FRAME_HEADER_SIZE, h264_length, plz_length);
        reset_reassembly(_expected_frame_id + 1, 1);
        return true;
    }
    if (!_push_data) {
        LOG_ERROR("mix_push_data is null.");
        reset_reassembly(0, 0);
        return false;
    }
    if (_push_data(_frame.get(), uint32_t(frame_size)) != 0) {
        LOG_ERROR("push mix data fail.");
        reset_reassembly(0, 0);
        return false;
    }
    reset_reassembly(_expected_frame_id + 1, 1);
    return true;
}

int MixWrapper::post_message(int type) {
    uint16_t message;
    if (type == 0) {
        message = MSGC_MIX_NOTICE_0;
    } else if (type == 1) {
        message = MSGC_MIX_NOTICE_1;
    } else {
        LOG_ERROR("the msg type is invalid, type=%d", type);
        return -1;
    }
    if (MixMessageSender* sender = _sender) {
        sender->send_mix_message(message, nullptr, 0);
    }
    return 0;
}

int MixWrapper::post_message_callback(int type) {
    MixWrapper* owner = plugin_owner;
    return (owner ? *owner : get_instance()).post_message(type);
}

HDC MixWrapper::device_context_callback() {
    MixWrapper* owner = plugin_owner;
    const WindowHooks& hooks = (owner ? *owner : get_instance())._hooks;
    if (hooks.watermark_on && hooks.watermark_on() && hooks.watermark_dc) {
        return hooks.watermark_dc();
    }
    return nullptr;
}

void MixWrapper::send_fragment_ack(uint32_t id, uint64_t frame_id, uint32_t index) {
    uint8_t body[16];
    put_u32(body, id);
    put_u32(body + 4, uint32_t(frame_id));
    put_u32(body + 8, uint32_t(frame_id >> 32));
    put_u32(body + 12, index);
    if (MixMessageSender* sender = _sender) {
        sender->send_mix_message(MSGC_MIX_FRAGMENT_ACK, body, sizeof(body));
    }
}

void MixWrapper::restore_image() {
    if (_enabled && _restore_image) {
        _restore_image(0, 0);
    }
}

void MixWrapper::update_sizes(uint32_t& width, uint32_t& height) {
    uint32_t display_width = width;
    uint32_t display_height = height;
    if (_display_width != 0 || _display_height != 0) {
        RECT client = {};
        HWND window = _hooks.session_window ? _hooks.session_window() : nullptr;
        if (window && GetClientRect(window, &client)) {
            display_width = uint32_t(client.right - client.left);
            display_height = uint32_t(client.bottom - client.top);
        }
    }
    _display_width = display_width & ~1u;
    _display_height = display_height & ~1u;
    width = width < MAX_WIDTH ? width : MAX_WIDTH;
    height = height < MAX_HEIGHT ? height : MAX_HEIGHT;
    _decode_width = width;
    _decode_height = height;
}

void MixWrapper::scale_position(int& y, int& x) {
    const uint32_t display_width = _display_width, display_height = _display_height;
    const uint32_t decode_width = _decode_width, decode_height = _decode_height;
    if (!display_width || !display_height || !decode_width || !decode_height) {
        return;
    }
    // 64-bit products: a position times a decode size can pass 32 bits.
    if (decode_width != display_width) {
        x = int(int64_t(decode_width) * x / int64_t(display_width));
    }
    if (decode_height != display_height) {
        y = int(int64_t(decode_height) * y / int64_t(display_height));
    }
}

void MixWrapper::set_display_size(uint32_t width, uint32_t height) {
    _display_width = width;
    _display_height = height;
}
