#include "platform/clipboard.h"

#include "runtime/log.h"
#include "winapi/image_codec.h"

#include <algorithm>
#include <climits>

namespace {

class DefaultClipboardListener : public ClipboardListener {
public:
    void on_clipboard_grab(const uint32_t*, uint32_t) override {}
    void on_clipboard_request(uint32_t) override {}
    void on_clipboard_notify(uint32_t, const uint8_t*, uint32_t) override {}
    void on_clipboard_release() override {}
};

DefaultClipboardListener default_listener;

// Each local format lists the guest types it can carry, in order of preference.
struct FormatRow {
    UINT format;
    uint32_t types[2];
    uint32_t count;
};

const FormatRow format_table[] = {
    {CF_UNICODETEXT, {GUEST_CLIPBOARD_UTF8_TEXT}, 1},
    {CF_DIB, {GUEST_CLIPBOARD_IMAGE_PNG, GUEST_CLIPBOARD_IMAGE_BMP}, 2},
};

const FormatRow* row_of_format(UINT format) {
    for (const FormatRow& row : format_table) {
        if (row.format == format) {
            return &row;
        }
    }
    return nullptr;
}

const FormatRow* row_of_type(uint32_t type) {
    for (const FormatRow& row : format_table) {
        if (std::find(row.types, row.types + row.count, type) != row.types + row.count) {
            return &row;
        }
    }
    return nullptr;
}

// UTF-8 to a NUL-terminated UTF-16 block; null when the text converts to nothing.
HGLOBAL text_block(const uint8_t* data, uint32_t size) {
    if (!data || size == 0 || size > INT_MAX) {
        return nullptr;
    }
    int length = MultiByteToWideChar(CP_UTF8, 0, (LPCSTR)data, (int)size, nullptr, 0);
    if (length <= 0) {
        return nullptr;
    }
    HGLOBAL block = GlobalAlloc(GMEM_DDESHARE, ((SIZE_T)length + 1) * sizeof(WCHAR));
    if (!block) {
        return nullptr;
    }
    WCHAR* text = (WCHAR*)GlobalLock(block);
    int converted = MultiByteToWideChar(CP_UTF8, 0, (LPCSTR)data, (int)size, text, length);
    text[converted > 0 ? converted : 0] = 0;
    GlobalUnlock(block);
    if (converted <= 0) {
        GlobalFree(block);
        return nullptr;
    }
    return block;
}

}  // namespace

PlatformClipboard::PlatformClipboard(HWND window, HANDLE event, DWORD render_timeout_ms)
    : _window(window),
      _event(event),
      _render_timeout_ms(render_timeout_ms),
      _listener(&default_listener),
      _owner(CLIPBOARD_OWNER_NONE) {}

void PlatformClipboard::set_listener(ClipboardListener* listener) {
    _listener = listener ? listener : &default_listener;
}

bool PlatformClipboard::on_clipboard_grab(const uint32_t* types, uint32_t count) {
    // The new set replaces the old one whole: a render running on the main thread meanwhile sees either the
    // guest's previous offer or this one, never a set half cleared or half filled.
    std::vector<uint32_t> offered;
    std::vector<UINT> announced;
    for (uint32_t i = 0; types && i < count; i++) {
        const FormatRow* row = row_of_type(types[i]);
        if (!row) {
            continue;
        }
        offered.push_back(types[i]);
        // CF_DIB stands for PNG and BMP together: it is announced once.
        if (std::find(announced.begin(), announced.end(), row->format) == announced.end()) {
            announced.push_back(row->format);
        }
    }
    {
        std::lock_guard<std::mutex> guard(_offered_lock);
        _offered_types.swap(offered);
    }
    if (announced.empty()) {
        write_log(LOG_LEVEL_INFO, "Platform::on_clipboard_grab", __LINE__,
                  "No supported clipboard types in client grab");
        return false;
    }
    if (!OpenClipboard(_window)) {
        // Nothing of this offer reached the clipboard: no render may ask the guest for it.
        std::lock_guard<std::mutex> guard(_offered_lock);
        _offered_types.clear();
        return false;
    }
    EmptyClipboard();
    for (UINT format : announced) {
        SetClipboardData(format, nullptr);
    }
    CloseClipboard();
    set_clipboard_owner(CLIPBOARD_OWNER_GUEST);
    return true;
}

uint32_t PlatformClipboard::offered_type_for(UINT format) {
    const FormatRow* row = row_of_format(format);
    if (!row) {
        return GUEST_CLIPBOARD_NONE;
    }
    std::lock_guard<std::mutex> guard(_offered_lock);
    for (uint32_t i = 0; i < row->count; i++) {
        if (std::find(_offered_types.begin(), _offered_types.end(), row->types[i]) != _offered_types.end()) {
            return row->types[i];
        }
    }
    return GUEST_CLIPBOARD_NONE;
}

LRESULT PlatformClipboard::render_format(UINT format) {
    uint32_t type = offered_type_for(format);
    if (type == GUEST_CLIPBOARD_NONE) {
        write_log(LOG_LEVEL_INFO, "PlatformWinProc", __LINE__, "Unsupported clipboard format %u", format);
        return 0;
    }
    // A signal left over from a release or answer that no render waited for must not end this wait.
    ResetEvent(_event);
    _listener.load()->on_clipboard_request(type);
    DWORD start = GetTickCount();
    for (;;) {
        // Elapsed time, not start + timeout: the tick count wraps after 49.7 days.
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= _render_timeout_ms) {
            break;
        }
        DWORD wait = std::min<DWORD>(1000, _render_timeout_ms - elapsed);
        if (WaitForSingleObjectEx(_event, wait, TRUE) == WAIT_OBJECT_0) {
            break;
        }
    }
    return 0;
}

bool PlatformClipboard::on_clipboard_notify(uint32_t type, const uint8_t* data, uint32_t size) {
    HGLOBAL block;
    UINT format;
    switch (type) {
        case GUEST_CLIPBOARD_UTF8_TEXT:
            block = text_block(data, size);
            format = CF_UNICODETEXT;
            break;
        case GUEST_CLIPBOARD_IMAGE_PNG:
        case GUEST_CLIPBOARD_IMAGE_BMP:
            // The decoder checks every header field and width x height x depth against the bytes present.
            block = image_codec_decode_to_dib(
                data, size, type == GUEST_CLIPBOARD_IMAGE_PNG ? IMAGE_CODEC_PNG : IMAGE_CODEC_BMP);
            format = CF_DIB;
            break;
        default:
            write_log(LOG_LEVEL_INFO, "Platform::on_clipboard_notify", __LINE__,
                      "Unsupported clipboard type %u", type);
            return true;
    }
    if (!block) {
        // Setting no block would announce the format again instead of answering: end the waiting render
        // without data.
        write_log(LOG_LEVEL_INFO, "Platform::on_clipboard_notify", __LINE__,
                  "clipboard data of type %u (%u bytes) could not be converted", type, size);
        SetEvent(_event);
        return false;
    }
    if (SetClipboardData(format, block)) {
        SetEvent(_event);
        return true;
    }
    // No render in progress: put the data on the clipboard directly.
    if (!OpenClipboard(_window)) {
        GlobalFree(block);
        return false;
    }
    bool placed = EmptyClipboard() && SetClipboardData(format, block) != nullptr;
    CloseClipboard();
    if (!placed) {
        GlobalFree(block);
    }
    return placed;
}

void PlatformClipboard::set_clipboard_owner(int owner) {
    if (owner == CLIPBOARD_OWNER_NONE) {
        SetEvent(_event);
        _listener.load()->on_clipboard_release();
    }
    _owner = owner;
    write_log(LOG_LEVEL_INFO, "Platform::set_clipboard_owner", __LINE__, "new clipboard owner: %s",
              owner == CLIPBOARD_OWNER_NONE ? "none" : "guest");
}
