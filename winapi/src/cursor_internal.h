// Cursor and icon objects behind HCURSOR/HICON, shared by the cursor functions and the X pointer code.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "winapi/winuser_display.h"

namespace winapi_internal {

// Larger cursors and icons are refused.
constexpr LONG kMaxCursorSide = 1024;

// A cursor's picture: premultiplied ARGB (0xAARRGGBB), top-down rows of width pixels.
struct CursorPicture {
    LONG width = 0;
    LONG height = 0;
    DWORD hot_x = 0;
    DWORD hot_y = 0;
    std::vector<uint32_t> argb;
};

// The picture Windows shows for AND/XOR masks (one byte 0/1 per pixel, width x height each) over a colour
// image (0xAARRGGBB per pixel) or, without one, the XOR mask alone. AND 1 with a black XOR is transparent;
// AND 1 over anything else inverts the screen on Windows and shows black here. With use_alpha the colour's
// alpha is the pixel's (the AND mask is ignored).
CursorPicture cursor_picture_from_masks(LONG width, LONG height, const std::vector<uint8_t>& and_mask,
                                        const std::vector<uint8_t>* xor_mask,
                                        const std::vector<uint32_t>* color, bool use_alpha);

struct CursorObject {
    CursorPicture picture;
    unsigned font_shape = 0;  // shared system cursors: the X cursor font's glyph (no picture)
    bool shared = false;
    bool icon = false;
};

std::shared_ptr<CursorObject> cursor_lookup(HCURSOR cursor);

}  // namespace winapi_internal
