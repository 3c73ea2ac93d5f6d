// The bridge between the local clipboard and the guest's. When the guest announces clipboard data, the
// platform window becomes the owner of the matching local formats with delayed rendering; when a local
// application pastes, the guest is asked for the data (through the clipboard listener, the main channel
// client) and the paste waits for it on the platform's clipboard event. Text travels as UTF-8, images as PNG
// or BMP.
#pragma once

#include "winapi/windows.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

// Guest clipboard types, in the guest agent's numbering.
enum GuestClipboardType : uint32_t {
    GUEST_CLIPBOARD_NONE = 0,
    GUEST_CLIPBOARD_UTF8_TEXT = 1,
    GUEST_CLIPBOARD_IMAGE_PNG = 2,
    GUEST_CLIPBOARD_IMAGE_BMP = 3,
};

enum ClipboardOwner {
    CLIPBOARD_OWNER_NONE = 0,
    CLIPBOARD_OWNER_GUEST = 1,
};

// Implemented by the main channel client. This layer calls on_clipboard_request (from a render) and
// on_clipboard_release (when the owner becomes none); it never sees local clipboard changes, so it never
// calls the other two.
class ClipboardListener {
public:
    virtual ~ClipboardListener() {}
    virtual void on_clipboard_grab(const uint32_t* types, uint32_t count) = 0;
    virtual void on_clipboard_request(uint32_t type) = 0;
    virtual void on_clipboard_notify(uint32_t type, const uint8_t* data, uint32_t size) = 0;
    virtual void on_clipboard_release() = 0;
};

class PlatformClipboard {
public:
    // window: the platform window, owner of the announced formats. event: the platform's auto-reset clipboard
    // event, which releases a waiting render. A render gives up after render_timeout_ms.
    PlatformClipboard(HWND window, HANDLE event, DWORD render_timeout_ms = 10000);

    // Null puts back the default listener, which does nothing.
    void set_listener(ClipboardListener* listener);

    // Main channel's thread, when the guest's clipboard messages arrive.
    bool on_clipboard_grab(const uint32_t* types, uint32_t count);
    bool on_clipboard_notify(uint32_t type, const uint8_t* data, uint32_t size);
    void set_clipboard_owner(int owner);
    int get_clipboard_owner() const { return _owner; }

    // WM_RENDERFORMAT of the platform window (main thread): asks the guest and waits for its data.
    LRESULT render_format(UINT format);

private:
    uint32_t offered_type_for(UINT format);

    HWND _window;
    HANDLE _event;
    DWORD _render_timeout_ms;
    std::atomic<ClipboardListener*> _listener;
    std::atomic<int> _owner;
    // Written by a grab on the main channel's thread, read by a render on the main thread.
    std::mutex _offered_lock;
    std::vector<uint32_t> _offered_types;  // _offered_lock
};
