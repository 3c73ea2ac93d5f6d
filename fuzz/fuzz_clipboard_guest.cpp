// The guest clipboard bridge on what the guest sends: type lists of its grabs, and text and images of its
// answers, in any order. A local paste asks the platform window for a delayed format, whose render asks the
// guest; the guest's answer to that request is the next piece of the input. No X display is used: the
// clipboard stays within the process.
//
// Input: operations until the input ends, each one opcode byte (mod 4) followed by its operands:
//   0 grab:   count byte (mod 16), then count types of one byte each
//   1 notify: type byte (mod 5), 2-byte little-endian length, that many bytes
//   2 paste:  format byte (mod 3: text, image, ANSI text), then the guest's answer as in notify
//   3 release
// Pasted data is read back whole (GlobalSize) and must hold what its format promises.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/clipboard.h"
#include "runtime/log.h"
#include "winapi/windows.h"

namespace {

struct Reader {
    const uint8_t* data;
    size_t size;
    uint8_t byte() {
        if (size == 0) {
            return 0;
        }
        size--;
        return *data++;
    }
    std::vector<uint8_t> block() {
        size_t length = byte();
        length |= size_t(byte()) << 8;
        length = std::min(length, size);
        std::vector<uint8_t> out(data, data + length);
        data += length;
        size -= length;
        return out;
    }
};

struct Answer {
    uint32_t type;
    std::vector<uint8_t> bytes;
};

PlatformClipboard* clipboard = nullptr;

// The guest: answers a request with the pending answer, as the main channel would on the guest's reply.
class Guest : public ClipboardListener {
public:
    bool pending = false;
    Answer answer;
    void on_clipboard_grab(const uint32_t*, uint32_t) override {}
    void on_clipboard_request(uint32_t type) override {
        if (pending) {
            pending = false;
            clipboard->on_clipboard_notify(answer.type ? answer.type : type, answer.bytes.data(),
                                           uint32_t(answer.bytes.size()));
        }
    }
    void on_clipboard_notify(uint32_t, const uint8_t*, uint32_t) override {}
    void on_clipboard_release() override {}
};

Guest guest;

LRESULT CALLBACK window_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_RENDERFORMAT) {
        return clipboard->render_format(UINT(wparam));
    }
    return DefWindowProcW(hwnd, message, wparam, lparam);
}

void paste(UINT format) {
    if (!OpenClipboard(nullptr)) {
        return;
    }
    HANDLE data = GetClipboardData(format);
    if (data) {
        SIZE_T size = GlobalSize(data);
        const uint8_t* bytes = static_cast<const uint8_t*>(GlobalLock(data));
        if (!bytes) {
            abort();
        }
        // Read every byte, so that a block shorter than it claims is seen.
        unsigned sum = 0;
        for (SIZE_T i = 0; i < size; i++) {
            sum += bytes[i];
        }
        if (format == CF_UNICODETEXT && (size < 2 || size % 2 != 0 || bytes[size - 1] || bytes[size - 2])) {
            abort();  // UTF-16 text ends with its terminator
        }
        if (format == CF_TEXT && (size < 1 || memchr(bytes, 0, size) == nullptr)) {
            abort();
        }
        if (format == CF_DIB && size < sizeof(BITMAPINFOHEADER)) {
            abort();
        }
        GlobalUnlock(data);
        (void)sum;
    }
    CloseClipboard();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    unsetenv("DISPLAY");
    log_set_threshold((unsigned)-1);
    WNDCLASSW window_class = {};
    window_class.lpfnWndProc = window_proc;
    window_class.lpszClassName = u"FuzzClipboard";
    RegisterClassW(&window_class);
    HWND window =
        CreateWindowExW(0, u"FuzzClipboard", u"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!window || !event) {
        abort();
    }
    // A render without an answer gives up at once: the guest of this harness answers before the wait.
    clipboard = new PlatformClipboard(window, event, 1);
    clipboard->set_listener(&guest);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1 << 20)) {
        return 0;
    }
    Reader in{data, size};
    while (in.size > 0) {
        switch (in.byte() % 4) {
            case 0: {
                uint32_t count = in.byte() % 16;
                std::vector<uint32_t> types;
                for (uint32_t i = 0; i < count; i++) {
                    types.push_back(in.byte());
                }
                clipboard->on_clipboard_grab(types.data(), count);
                break;
            }
            case 1: {
                uint32_t type = in.byte() % 5;
                std::vector<uint8_t> bytes = in.block();
                clipboard->on_clipboard_notify(type, bytes.data(), uint32_t(bytes.size()));
                break;
            }
            case 2: {
                static const UINT formats[] = {CF_UNICODETEXT, CF_DIB, CF_TEXT};
                UINT format = formats[in.byte() % 3];
                guest.answer.type = in.byte() % 5;
                guest.answer.bytes = in.block();
                guest.pending = true;
                paste(format);
                guest.pending = false;
                break;
            }
            case 3:
                clipboard->set_clipboard_owner(CLIPBOARD_OWNER_NONE);
                break;
        }
    }
    // Every input starts from an empty clipboard.
    if (OpenClipboard(nullptr)) {
        EmptyClipboard();
        CloseClipboard();
    }
    clipboard->set_clipboard_owner(CLIPBOARD_OWNER_NONE);
    return 0;
}
