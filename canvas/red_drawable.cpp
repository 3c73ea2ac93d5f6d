#include "canvas/red_drawable.h"

#include <cstring>

#include "canvas/raster_types.h"
#include "platform/platform_utils.h"
#include "runtime/exception.h"
#include "runtime/threads.h"

namespace {

RecurciveMutex& lock_of(const PixelsSource& source) {
    return *source.get_platform_area().lock;
}

COLORREF colorref(rgb32_t color) {
    return RGB((color >> 16) & 0xFF, (color >> 8) & 0xFF, color & 0xFF);
}

}  // namespace

RedDrawable::RedDrawable() {
    _platform.lock = new RecurciveMutex();
}

RedDrawable::Format RedDrawable::format_from_surface(uint32_t surface_format) {
    switch (surface_format) {
        case SPICE_SURFACE_FMT_16_555:
            return RGB16_555;
        case SPICE_SURFACE_FMT_32_xRGB:
            return RGB32;
        case SPICE_SURFACE_FMT_16_565:
            return RGB16_565;
        case SPICE_SURFACE_FMT_32_ARGB:
            return ARGB32;
        default:
            THROW("Unsupported RedPixman format");
    }
}

void RedDrawable::copy_pixels(const PixelsSource& src, int src_x, int src_y, const SpiceRect& dest) {
    combine_pixels(src, src_x, src_y, dest, OP_COPY);
}

void RedDrawable::blend_pixels(const PixelsSource& src, int src_x, int src_y, const SpiceRect& dest) {
    static const BLENDFUNCTION blend = {AC_SRC_OVER, 0, 0xFF, AC_SRC_ALPHA};
    int width = dest.right - dest.left;
    int height = dest.bottom - dest.top;
    LockPair locks(*_platform.lock, lock_of(src));
    AlphaBlend(_platform.dc, _origin.x + dest.left, _origin.y + dest.top, width, height,
               src.get_platform_area().dc, src.get_origin().x + src_x, src.get_origin().y + src_y, width,
               height, blend);
}

void RedDrawable::combine_pixels(const PixelsSource& src, int src_x, int src_y, const SpiceRect& dest,
                                 int op) {
    DWORD rop;
    switch (op) {
        case OP_COPY:
            rop = SRCCOPY;
            break;
        case OP_AND:
            rop = SRCAND;
            break;
        case OP_XOR:
            rop = SRCINVERT;
            break;
        default:
            THROW("invalid op %d", op);
    }
    LockPair locks(*_platform.lock, lock_of(src));
    BitBlt(_platform.dc, _origin.x + dest.left, _origin.y + dest.top, dest.right - dest.left,
           dest.bottom - dest.top, src.get_platform_area().dc, src.get_origin().x + src_x,
           src.get_origin().y + src_y, rop);
}

void RedDrawable::fill_rect(const SpiceRect& rect, rgb32_t color) {
    RECT area = {rect.left + _origin.x, rect.top + _origin.y, rect.right + _origin.x,
                 rect.bottom + _origin.y};
    HGDIOBJ brush = CreateSolidBrush(colorref(color));
    Lock lock(*_platform.lock);
    FillRect(_platform.dc, &area, (HBRUSH)brush);
    delete_gdi_object(&brush);
}

void RedDrawable::frame_rect(const SpiceRect& rect, rgb32_t color) {
    RECT area = {rect.left + _origin.x, rect.top + _origin.y, rect.right + _origin.x,
                 rect.bottom + _origin.y};
    HGDIOBJ brush = CreateSolidBrush(colorref(color));
    Lock lock(*_platform.lock);
    FrameRect(_platform.dc, &area, (HBRUSH)brush);
    delete_gdi_object(&brush);
}

int RedPixmap::bits_per_pixel(Format format) {
    switch (format) {
        case RGB16_555:
        case RGB16_565:
            return 16;
        case A1:
            return 1;
        default:
            return 32;
    }
}

RedPixmap::RedPixmap(int width, int height, Format format, bool top_down)
    : _format(format),
      _width(width),
      _height(height),
      _stride((int)((((int64_t)width * bits_per_pixel(format) + 31) >> 5) * 4)),
      _top_down(top_down),
      _data(NULL) {
    union {
        BITMAPINFO info;
        uint8_t bytes[sizeof(BITMAPINFOHEADER) + 256 * sizeof(RGBQUAD)];
    } block;
    memset(&block, 0, sizeof(block));
    BITMAPINFOHEADER& header = block.info.bmiHeader;
    header.biSize = sizeof(BITMAPINFOHEADER);
    header.biWidth = width;
    header.biHeight = top_down ? -height : height;
    header.biPlanes = 1;
    header.biBitCount = (WORD)bits_per_pixel(format);
    RGBQUAD* colors = block.info.bmiColors;
    if (format == RGB16_565) {
        header.biCompression = BI_BITFIELDS;
        DWORD masks[3] = {0xF800, 0x07E0, 0x001F};
        memcpy(colors, masks, sizeof(masks));
    } else {
        header.biCompression = BI_RGB;
    }
    if (format == A1) {
        colors[0] = RGBQUAD{0, 0, 0, 0};
        colors[1] = RGBQUAD{0xFF, 0xFF, 0xFF, 0};
    }
    _platform.dc = create_compatible_dc();
    void* bits = NULL;
    HBITMAP bitmap = CreateDIBSection(_platform.dc, &block.info, DIB_RGB_COLORS, &bits, NULL, 0);
    if (!bitmap) {
        release_dc(&_platform.dc);
        THROW("create compatible bitmap failed");
    }
    _data = (uint8_t*)bits;
    _platform.prev_bitmap = (HBITMAP)SelectObject(_platform.dc, bitmap);
}

RedPixmap::~RedPixmap() {
    HGDIOBJ bitmap = SelectObject(_platform.dc, _platform.prev_bitmap);
    delete_gdi_object(&bitmap);
    release_dc(&_platform.dc);
}
