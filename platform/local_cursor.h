// Local mouse-cursor shapes: the guest's cursors turned into Windows cursors, and the system ones.
#pragma once

#include <atomic>
#include <cstdint>

#include "winapi/windows.h"

// A guest cursor shape as the cursor channel holds it: the shape header and its data bytes (data null and
// data_size 0 when the shape has none). Nothing in it is trusted.
struct GuestCursorShape {
    uint16_t type;
    uint16_t width;
    uint16_t height;
    uint16_t hot_spot_x;
    uint16_t hot_spot_y;
    const uint8_t* data;
    uint64_t data_size;
};

enum {
    GUEST_CURSOR_ALPHA = 0,
    GUEST_CURSOR_MONO = 1,
    GUEST_CURSOR_COLOR4 = 2,
    GUEST_CURSOR_COLOR8 = 3,
    GUEST_CURSOR_COLOR16 = 4,
    GUEST_CURSOR_COLOR24 = 5,
    GUEST_CURSOR_COLOR32 = 6,
    GUEST_CURSOR_CAD = 7,
};

// Shapes wider or higher than this show the arrow.
constexpr uint16_t kMaxGuestCursorSide = 1024;

// get_size_bits: the bits per pixel of the shape's first plane (0 for an invalid type) and the plane's size
// in bytes.
int guest_cursor_plane(uint16_t type, uint16_t width, uint16_t height, uint64_t* size);

// Reference counted: created with one reference, deleted at the last unref. Created on any thread, set and
// hidden on the main thread.
class LocalCursor {
public:
    LocalCursor() : _refs(1) {}
    virtual ~LocalCursor() {}
    // Makes this the cursor shown for the window.
    virtual void set(HWND window) = 0;
    virtual void hide(HWND window) {}
    virtual LocalCursor* ref() {
        _refs.fetch_add(1);
        return this;
    }
    virtual void unref() {
        if (_refs.fetch_sub(1) == 1) {
            delete this;
        }
    }

private:
    std::atomic<uint32_t> _refs;
};

class WinBaseLocalCursor : public LocalCursor {
public:
    void set(HWND window) override { SetCursor(_handle); }
    HCURSOR get_handle() const { return _handle; }

protected:
    HCURSOR _handle = nullptr;
};

// A guest shape as a Windows cursor. Shapes that cannot be shown (unsupported types, empty or oversized
// shapes, data shorter than the shape's layout, a cursor the system refuses) show the system arrow instead.
// An invalid type throws Exception "invalid curosr type".
class WinLocalCursor : public WinBaseLocalCursor {
public:
    explicit WinLocalCursor(const GuestCursorShape& shape);
    ~WinLocalCursor() override;
    // The shape is shown as the shared system arrow.
    bool is_shared() const { return _shared; }

private:
    void use_arrow();
    bool build_mono(const GuestCursorShape& shape);
    bool build_color(const GuestCursorShape& shape);

    bool _shared = false;
};

class WinDefaultCursor : public WinBaseLocalCursor {
public:
    WinDefaultCursor() { _handle = LoadCursorW(nullptr, IDC_ARROW); }
};

// Shown by the layers that refuse input.
class WinInactiveCursor : public WinBaseLocalCursor {
public:
    WinInactiveCursor() { _handle = LoadCursorW(nullptr, IDC_NO); }
};
