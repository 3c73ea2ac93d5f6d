// The CAD cross-hair cursor's data, geometry and drawing, apart from any window.
#pragma once

#include <cstdint>

#include "winapi/windows.h"

// The 24 data bytes of a type-7 cursor shape (little-endian).
struct CadCursorData {
    COLORREF color;     // 0x00BBGGRR
    uint16_t pick_box;  // pixels, 0: no pick box
    uint16_t cross;     // cross-hair size in pixels, 0: no cross-hair
    int32_t area_left;  // screen coordinates of the area the cursor may show in
    int32_t area_top;
    int32_t area_right;
    int32_t area_bottom;
};

constexpr size_t kCadCursorDataSize = 24;
// Larger cross-hairs (or pick boxes) are never made into a hardware cursor.
constexpr uint16_t kCadHardwareCursorMax = 300;

// False when fewer than 24 bytes are given.
bool parse_cad_cursor_data(const uint8_t* data, uint64_t size, CadCursorData* out);
void serialize_cad_cursor_data(const CadCursorData& data, uint8_t out[kCadCursorDataSize]);
bool operator==(const CadCursorData& a, const CadCursorData& b);

// h = max(pick box, cross-hair) / 2: the hot spot of the hardware cursor and the half size of the cursor box.
int cad_half_size(const CadCursorData& data);
// The side of the hardware cursor's square bitmap: the cross-hair size when it is not 0 and not smaller than
// the pick box, else the pick-box size.
int cad_bitmap_size(const CadCursorData& data);
// The square of half size h centred on the point.
RECT cad_cursor_box(const CadCursorData& data, POINT point);
RECT cad_area(const CadCursorData& data);
// The hardware cursor may be used at the point: a cross-hair of at most 300 pixels whose box lies inside the
// area.
bool cad_hardware_cursor_fits(const CadCursorData& data, POINT point);
// a ∩ b; false when empty.
bool intersect_rect(const RECT& a, const RECT& b, RECT* out);

// Pixels to draw on: 0x00RRGGBB, top-down rows of width pixels. Every write is clipped to it.
struct CadCanvas {
    uint32_t* pixels;
    int width;
    int height;
};

uint32_t cad_pixel_of(COLORREF color);
void cad_fill(const CadCanvas& canvas, uint32_t pixel);
// GDI line from (x0, y) to (x1, y) (or vertical): the end point is left out.
void cad_hline(const CadCanvas& canvas, int x0, int x1, int y, uint32_t pixel);
void cad_vline(const CadCanvas& canvas, int x, int y0, int y1, uint32_t pixel);
// A hollow GDI rectangle with a 1-pixel pen: the outline of left..right-1, top..bottom-1.
void cad_frame(const CadCanvas& canvas, int left, int top, int right, int bottom, uint32_t pixel);

// The hardware cursor's bitmap (cad_bitmap_size square): background, then the cross-hair and the pick box
// centred in it, in the line pixel.
void draw_cad_bitmap(const CadCanvas& canvas, const CadCursorData& data, uint32_t background, uint32_t line);
// The layered window's picture: the cross-hair and pick box centred on (x, y) of the canvas.
void draw_cad_layer(const CadCanvas& canvas, const CadCursorData& data, int x, int y, uint32_t line);
