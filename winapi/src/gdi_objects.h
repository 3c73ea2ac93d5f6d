// GDI objects behind HGDIOBJ and HDC values, and their table. GDI handles are small numbers, as on Windows,
// where they fit in 32 bits.
#pragma once

#include "winapi/wingdi.h"

#include <pixman.h>

#include <atomic>
#include <cstddef>
#include <memory>
#include <vector>

namespace winapi_internal {

class GdiObject {
public:
    virtual ~GdiObject() = default;
    virtual DWORD object_type() const = 0;  // OBJ_*
};

// How the pixels of a bitmap or drawing surface are stored.
enum class PixelLayout {
    ARGB32,  // little-endian 0xAARRGGBB: bytes blue, green, red, alpha
    RGB24,   // bytes blue, green, red
    RGB555,  // x1r5g5b5 in a little-endian 16-bit word
    RGB565,  // r5g6b5
    MONO,    // 1 bit per pixel, bit 7 of each byte leftmost
    INDEX8,  // a byte per pixel indexing a colour table (DIB sections only)
};

int layout_bits(PixelLayout layout);

// A bitmap: a device-dependent one (32-bit top-down rows of 4 x width bytes, or monochrome with rows padded
// to 16 bits) or a DIB section (rows padded to 32 bits, bottom-up or top-down as its header said).
class Bitmap : public GdiObject {
public:
    // A zeroed 32-bit device-dependent bitmap. The pixels of a failed allocation are null: check ok().
    Bitmap(LONG width, LONG height) : Bitmap(width, height, PixelLayout::ARGB32, false, true) {}
    Bitmap(LONG width, LONG height, PixelLayout layout, bool dib, bool top_down);
    ~Bitmap() override;
    Bitmap(const Bitmap&) = delete;
    Bitmap& operator=(const Bitmap&) = delete;
    DWORD object_type() const override { return OBJ_BITMAP; }

    bool ok() const { return data != nullptr; }
    // Row y counted from the top of the image.
    uint8_t* row(LONG y) const { return data + (size_t)(top_down ? y : height - 1 - y) * (size_t)stride; }
    uint32_t* row32(LONG y) const { return (uint32_t*)row(y); }

    const LONG width;
    const LONG height;
    const PixelLayout layout;
    const bool dib;
    const bool top_down;
    LONG stride = 0;                          // bytes per row
    uint8_t* data = nullptr;                  // stride x height bytes, owned
    RGBQUAD colors[256] = {};                 // monochrome and 8-bit DIB sections: the colour table
    DWORD masks[3] = {};                      // DIB sections of 16 bits: red, green, blue masks
    pixman_image_t* image = nullptr;          // over data for the 32- and 16-bit layouts, else null
    std::atomic<void*> selected_in{nullptr};  // the DC that has it selected
};

class Brush : public GdiObject {
public:
    Brush(COLORREF color, bool hollow) : color(color), hollow(hollow) {}
    explicit Brush(std::shared_ptr<Bitmap> pattern) : color(0), hollow(false), pattern(std::move(pattern)) {}
    DWORD object_type() const override { return OBJ_BRUSH; }
    const COLORREF color;
    const bool hollow;                      // NULL_BRUSH: paints nothing
    const std::shared_ptr<Bitmap> pattern;  // a pattern brush's own copy of its bitmap
};

class Pen : public GdiObject {
public:
    DWORD object_type() const override { return OBJ_PEN; }
    DWORD style = PS_SOLID;  // PS_STYLE_MASK part
    DWORD width = 1;
    COLORREF color = 0;
    std::vector<DWORD> user_style;  // PS_USERSTYLE: dash, gap, dash...
};

class Region : public GdiObject {
public:
    Region() { pixman_region32_init(&region); }
    ~Region() override { pixman_region32_fini(&region); }
    Region(const Region&) = delete;
    Region& operator=(const Region&) = delete;
    DWORD object_type() const override { return OBJ_REGION; }
    pixman_region32_t region;
};

// A path being recorded or ended: figures of points in device coordinates.
struct PathFigure {
    std::vector<POINT> points;
    bool closed = false;
};

// Pixels a drawing call reads or writes: the selected bitmap of a memory DC, or an image given from outside.
struct Surface {
    uint8_t* top = nullptr;  // first pixel of the top row
    ptrdiff_t step = 0;      // bytes from a row to the one below it
    int width = 0;
    int height = 0;
    PixelLayout layout = PixelLayout::ARGB32;
    bool has_alpha = false;          // the fourth byte of ARGB32 is alpha, kept by blends
    const RGBQUAD* table = nullptr;  // monochrome or 8-bit DIB section: its colour table (2 or 256 entries)

    bool valid() const { return top != nullptr; }
};

// A device context. Used by one thread at a time, as on Windows.
class DeviceContext : public GdiObject {
public:
    DWORD object_type() const override { return external ? OBJ_DC : OBJ_MEMDC; }
    Surface surface() const;

    pixman_image_t* external = nullptr;  // set for a DC over an image
    std::shared_ptr<Bitmap> bitmap;      // memory DC: the selected bitmap
    HGDIOBJ bitmap_handle = nullptr;
    std::shared_ptr<Brush> brush;
    HGDIOBJ brush_handle = nullptr;
    COLORREF bk_color = 0xFFFFFF;
    COLORREF text_color = 0;
    std::shared_ptr<Pen> pen;
    HGDIOBJ pen_handle = nullptr;
    std::shared_ptr<Region> clip;  // the DC's own copy; null: no clip
    POINT brush_origin = {0, 0};
    int stretch_mode = BLACKONWHITE;
    int mix = R2_COPYPEN;
    POINT position = {0, 0};
    bool in_path = false;     // between BeginPath and EndPath
    bool path_ended = false;  // EndPath done, StrokePath not yet
    std::vector<PathFigure> path;
};

// Adds an object to the table: its handle, or NULL when the table is full.
HGDIOBJ gdi_insert(std::shared_ptr<GdiObject> object);
std::shared_ptr<GdiObject> gdi_lookup(HGDIOBJ handle);
template <class T>
std::shared_ptr<T> gdi_lookup_as(HGDIOBJ handle) {
    return std::dynamic_pointer_cast<T>(gdi_lookup(handle));
}
// False for an unknown handle.
bool gdi_remove(HGDIOBJ handle);
// Stock objects are never removed; DeleteObject of one succeeds and does nothing.
bool gdi_is_stock(HGDIOBJ handle);
// The 1x1 monochrome bitmap every memory DC starts with.
HGDIOBJ gdi_default_bitmap();
// The pixels of a bitmap as a drawing call sees them.
Surface surface_of(const Bitmap& bitmap);

}  // namespace winapi_internal
