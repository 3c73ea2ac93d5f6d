// Pixel sources: anything whose pixels are reached through a Windows device context under a lock. The
// drawables of the canvas derive from PixelsSource; the platform adds the resource image the info layer
// blends over the screen and the watermark window's source.
#pragma once

#include "winapi/windows.h"

class RecurciveMutex;

class PixelsSource {
public:
    // What the drawing calls need to reach the pixels.
    struct PlatformArea {
        HDC dc;
        RecurciveMutex* lock;  // taken for every access to the pixels; owned, deleted by ~PixelsSource
        HBITMAP prev_bitmap;   // the bitmap the DC held before this source's own
    };

    PixelsSource();
    virtual ~PixelsSource();
    PixelsSource(const PixelsSource&) = delete;
    PixelsSource& operator=(const PixelsSource&) = delete;

    // Width (cx) and height (cy).
    virtual SIZE get_size() = 0;

    // Added to every coordinate of an operation on this source.
    void set_origin(int x, int y) {
        _origin.x = x;
        _origin.y = y;
    }
    const POINT& get_origin() const { return _origin; }
    const PlatformArea& get_platform_area() const { return _platform; }

protected:
    POINT _origin;
    PlatformArea _platform;
};

// Resource 104 of the program: a 32-bit image with straight alpha, kept premultiplied in a DIB section.
class AlphaImageFromRes : public PixelsSource {
public:
    AlphaImageFromRes();
    ~AlphaImageFromRes() override;
    SIZE get_size() override;
};

// The watermark window's pixels; its size is that of the window's client area, (0, 0) without a window.
// The DC is left to the watermark layer.
class WatermarkSource : public PixelsSource {
public:
    WatermarkSource();
    void set_window(HWND window) { _window = window; }
    // The memory device context holding the window's pixels; not owned.
    void set_dc(HDC dc) { _platform.dc = dc; }
    SIZE get_size() override;

private:
    HWND _window;  // main thread only
};
