#include "platform/cad_cursor_shape.h"

#include <algorithm>

namespace {

uint32_t le32(const uint8_t* p) {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

uint16_t le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

}  // namespace

bool parse_cad_cursor_data(const uint8_t* data, uint64_t size, CadCursorData* out) {
    if (!data || size < kCadCursorDataSize) {
        return false;
    }
    out->color = le32(data);
    out->pick_box = le16(data + 4);
    out->cross = le16(data + 6);
    out->area_left = static_cast<int32_t>(le32(data + 8));
    out->area_top = static_cast<int32_t>(le32(data + 12));
    out->area_right = static_cast<int32_t>(le32(data + 16));
    out->area_bottom = static_cast<int32_t>(le32(data + 20));
    return true;
}

void serialize_cad_cursor_data(const CadCursorData& data, uint8_t out[kCadCursorDataSize]) {
    auto put32 = [&](size_t at, uint32_t v) {
        for (size_t i = 0; i < 4; ++i) {
            out[at + i] = static_cast<uint8_t>(v >> (8 * i));
        }
    };
    put32(0, data.color);
    out[4] = static_cast<uint8_t>(data.pick_box);
    out[5] = static_cast<uint8_t>(data.pick_box >> 8);
    out[6] = static_cast<uint8_t>(data.cross);
    out[7] = static_cast<uint8_t>(data.cross >> 8);
    put32(8, static_cast<uint32_t>(data.area_left));
    put32(12, static_cast<uint32_t>(data.area_top));
    put32(16, static_cast<uint32_t>(data.area_right));
    put32(20, static_cast<uint32_t>(data.area_bottom));
}

bool operator==(const CadCursorData& a, const CadCursorData& b) {
    return a.color == b.color && a.pick_box == b.pick_box && a.cross == b.cross &&
           a.area_left == b.area_left && a.area_top == b.area_top && a.area_right == b.area_right &&
           a.area_bottom == b.area_bottom;
}

int cad_half_size(const CadCursorData& data) {
    return std::max(data.pick_box, data.cross) / 2;
}

int cad_bitmap_size(const CadCursorData& data) {
    return data.cross != 0 && data.cross >= data.pick_box ? data.cross : data.pick_box;
}

RECT cad_cursor_box(const CadCursorData& data, POINT point) {
    int h = cad_half_size(data);
    return {point.x - h, point.y - h, point.x + h, point.y + h};
}

RECT cad_area(const CadCursorData& data) {
    return {data.area_left, data.area_top, data.area_right, data.area_bottom};
}

bool cad_hardware_cursor_fits(const CadCursorData& data, POINT point) {
    if (data.cross > kCadHardwareCursorMax) {
        return false;
    }
    RECT box = cad_cursor_box(data, point);
    return box.left >= data.area_left && box.top >= data.area_top && box.right <= data.area_right &&
           box.bottom <= data.area_bottom;
}

bool intersect_rect(const RECT& a, const RECT& b, RECT* out) {
    RECT r{std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right),
           std::min(a.bottom, b.bottom)};
    if (r.left >= r.right || r.top >= r.bottom) {
        *out = RECT{0, 0, 0, 0};
        return false;
    }
    *out = r;
    return true;
}

uint32_t cad_pixel_of(COLORREF color) {
    return (uint32_t{GetRValue(color)} << 16) | (uint32_t{GetGValue(color)} << 8) | GetBValue(color);
}

void cad_fill(const CadCanvas& canvas, uint32_t pixel) {
    std::fill(canvas.pixels, canvas.pixels + static_cast<size_t>(canvas.width) * canvas.height, pixel);
}

void cad_hline(const CadCanvas& canvas, int x0, int x1, int y, uint32_t pixel) {
    if (y < 0 || y >= canvas.height) {
        return;
    }
    // From x0 towards x1, leaving x1 out.
    int from = x1 < x0 ? std::max(x1 + 1, 0) : std::max(x0, 0);
    int to = x1 < x0 ? std::min(x0 + 1, canvas.width) : std::min(x1, canvas.width);
    for (int x = from; x < to; ++x) {
        canvas.pixels[static_cast<size_t>(y) * canvas.width + x] = pixel;
    }
}

void cad_vline(const CadCanvas& canvas, int x, int y0, int y1, uint32_t pixel) {
    if (x < 0 || x >= canvas.width) {
        return;
    }
    int from = y1 < y0 ? std::max(y1 + 1, 0) : std::max(y0, 0);
    int to = y1 < y0 ? std::min(y0 + 1, canvas.height) : std::min(y1, canvas.height);
    for (int y = from; y < to; ++y) {
        canvas.pixels[static_cast<size_t>(y) * canvas.width + x] = pixel;
    }
}

void cad_frame(const CadCanvas& canvas, int left, int top, int right, int bottom, uint32_t pixel) {
    if (right <= left || bottom <= top) {
        return;
    }
    cad_hline(canvas, left, right, top, pixel);
    cad_hline(canvas, left, right, bottom - 1, pixel);
    cad_vline(canvas, left, top, bottom, pixel);
    cad_vline(canvas, right - 1, top, bottom, pixel);
}

void draw_cad_bitmap(const CadCanvas& canvas, const CadCursorData& data, uint32_t background, uint32_t line) {
    const int s = cad_bitmap_size(data);
    const int c = s / 2;
    cad_fill(canvas, background);
    if (data.cross) {
        const int n = data.cross;
        cad_hline(canvas, c - n / 2, c + n / 2, c, line);
        cad_vline(canvas, c, c - n / 2, c + n / 2, line);
    }
    if (data.pick_box) {
        const int p = data.pick_box;
        const int r = std::min(c - p / 2 + p + 1, c + s - p / 2);
        cad_frame(canvas, c - p / 2, c - p / 2, r, r, line);
    }
}

void draw_cad_layer(const CadCanvas& canvas, const CadCursorData& data, int x, int y, uint32_t line) {
    if (data.cross) {
        const int n = data.cross;
        cad_hline(canvas, x - n / 2, x + n / 2, y, line);
        cad_vline(canvas, x, y - n / 2, y + n / 2, line);
    }
    if (data.pick_box) {
        const int p = data.pick_box;
        const int e = data.pick_box < data.cross ? 1 : 0;
        cad_frame(canvas, x - p / 2, y - p / 2, x + p / 2 + e, y + p / 2 + e, line);
    }
}
