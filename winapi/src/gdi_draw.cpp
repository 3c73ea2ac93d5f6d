// Drawing into device contexts: the BitBlt family with any ternary raster operation (PatBlt, StretchBlt,
// MaskBlt), TransparentBlt, AlphaBlend, FillRect and FrameRect, and lines and paths drawn with pens. Raster
// operations work on the destination's own pixel values, as GDI does; a source in another format is converted
// to the destination's first. Every call but FillRect and FrameRect keeps to the DC's clip region.
#include "gdi_dc.h"
#include "gdi_objects.h"

#include <pixman.h>

#include <cmath>

#include <algorithm>
#include <cstring>
#include <vector>

namespace winapi_internal {

namespace {

struct Box {
    int64_t left, top, right, bottom;
    bool empty() const { return right <= left || bottom <= top; }
};

Box intersect(Box a, Box b) {
    return {std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right),
            std::min(a.bottom, b.bottom)};
}

uint8_t* pixel_row(const Surface& s, int64_t y) {
    return s.top + (ptrdiff_t)y * s.step;
}

uint32_t load(const Surface& s, int64_t x, int64_t y) {
    const uint8_t* row = pixel_row(s, y);
    switch (s.layout) {
        case PixelLayout::ARGB32: {
            uint32_t value;
            memcpy(&value, row + 4 * x, 4);
            return value;
        }
        case PixelLayout::RGB24:
            return row[3 * x] | (uint32_t)row[3 * x + 1] << 8 | (uint32_t)row[3 * x + 2] << 16;
        case PixelLayout::MONO:
            return (row[x >> 3] >> (7 - (x & 7))) & 1;
        case PixelLayout::INDEX8:
            return row[x];
        default: {
            uint16_t value;
            memcpy(&value, row + 2 * x, 2);
            return value;
        }
    }
}

void store(const Surface& s, int64_t x, int64_t y, uint32_t value) {
    uint8_t* row = pixel_row(s, y);
    switch (s.layout) {
        case PixelLayout::ARGB32:
            memcpy(row + 4 * x, &value, 4);
            break;
        case PixelLayout::RGB24:
            row[3 * x] = (uint8_t)value;
            row[3 * x + 1] = (uint8_t)(value >> 8);
            row[3 * x + 2] = (uint8_t)(value >> 16);
            break;
        case PixelLayout::MONO: {
            uint8_t bit = (uint8_t)(0x80 >> (x & 7));
            row[x >> 3] = (uint8_t)((value & 1) ? row[x >> 3] | bit : row[x >> 3] & ~bit);
            break;
        }
        case PixelLayout::INDEX8:
            row[x] = (uint8_t)value;
            break;
        default: {
            uint16_t word = (uint16_t)value;
            memcpy(row + 2 * x, &word, 2);
            break;
        }
    }
}

uint32_t rgb_of_colorref(COLORREF color) {
    return GetRValue(color) << 16 | GetGValue(color) << 8 | GetBValue(color);
}

uint32_t expand5(uint32_t v) {
    return v << 3 | v >> 2;
}

// 0x00RRGGBB of a colour pixel value.
uint32_t rgb_of(PixelLayout layout, uint32_t value) {
    switch (layout) {
        case PixelLayout::RGB555:
            return expand5(value >> 10 & 31) << 16 | expand5(value >> 5 & 31) << 8 | expand5(value & 31);
        case PixelLayout::RGB565:
            return expand5(value >> 11 & 31) << 16 | ((value >> 5 & 63) << 2 | (value >> 9 & 3)) << 8 |
                   expand5(value & 31);
        default:
            return value & 0xFFFFFF;
    }
}

// The pixel value of a colour in a colour layout (alpha 0 for ARGB32).
uint32_t value_of(PixelLayout layout, uint32_t rgb) {
    uint32_t r = rgb >> 16 & 0xFF, g = rgb >> 8 & 0xFF, b = rgb & 0xFF;
    switch (layout) {
        case PixelLayout::RGB555:
            return (r >> 3) << 10 | (g >> 3) << 5 | b >> 3;
        case PixelLayout::RGB565:
            return (r >> 3) << 11 | (g >> 2) << 5 | b >> 3;
        default:
            return rgb;
    }
}

uint32_t rgb_of_quad(const RGBQUAD& quad) {
    return (uint32_t)quad.rgbRed << 16 | quad.rgbGreen << 8 | quad.rgbBlue;
}

bool indexed(PixelLayout layout) {
    return layout == PixelLayout::MONO || layout == PixelLayout::INDEX8;
}

// The table entry nearest to a colour, for a destination with a colour table. Without a table (a monochrome
// device-dependent bitmap) light colours are 1 (white).
uint32_t nearest_index(const Surface& dest, uint32_t rgb) {
    if (!dest.table) {
        return (rgb >> 16 & 0xFF) + (rgb >> 8 & 0xFF) + (rgb & 0xFF) >= 384 ? 1 : 0;
    }
    uint32_t best = 0, best_distance = UINT32_MAX;
    for (uint32_t i = 0; i < (dest.layout == PixelLayout::MONO ? 2u : 256u); i++) {
        uint32_t entry = rgb_of_quad(dest.table[i]), distance = 0;
        for (int shift = 0; shift < 24; shift += 8) {
            int32_t delta = (int32_t)(rgb >> shift & 0xFF) - (int32_t)(entry >> shift & 0xFF);
            distance += (uint32_t)(delta * delta);
        }
        if (distance < best_distance) {
            best = i, best_distance = distance;
        }
    }
    return best;
}

// The destination value of a brush colour.
uint32_t pattern_value(const Surface& dest, COLORREF color) {
    uint32_t rgb = rgb_of_colorref(color);
    return indexed(dest.layout) ? nearest_index(dest, rgb) : value_of(dest.layout, rgb);
}

// The colour of a source pixel; a monochrome pixel without a colour table takes the destination DC's colours
// (1: background, 0: text).
uint32_t source_rgb(const Surface& src, uint32_t value, const DeviceContext& dest_dc) {
    if (!indexed(src.layout)) {
        return rgb_of(src.layout, value);
    }
    if (src.table) {
        return rgb_of_quad(src.table[value & 0xFF]);
    }
    return rgb_of_colorref(value ? dest_dc.bk_color : dest_dc.text_color);
}

// A source pixel converted to the destination's format. Colour to monochrome: the source DC's background
// colour is 1, everything else 0.
uint32_t convert(const Surface& src, const Surface& dest, uint32_t value, const DeviceContext& src_dc,
                 const DeviceContext& dest_dc) {
    if (src.layout == dest.layout && (!indexed(src.layout) || src.table == dest.table)) {
        return value;
    }
    if (dest.layout == PixelLayout::MONO && !dest.table) {
        if (src.layout == PixelLayout::MONO && !src.table) {
            return value;
        }
        return source_rgb(src, value, dest_dc) == rgb_of_colorref(src_dc.bk_color) ? 1 : 0;
    }
    uint32_t rgb = source_rgb(src, value, dest_dc);
    return indexed(dest.layout) ? nearest_index(dest, rgb) : value_of(dest.layout, rgb);
}

uint32_t apply_rop(uint32_t index, uint32_t p, uint32_t s, uint32_t d) {
    // Each input bit selects half of the truth table: the destination picks among the table's bits, the
    // source among those pairs, the pattern among those halves.
    const uint32_t np = ~p, ns = ~s, nd = ~d;
    const uint32_t bit[8] = {np & ns & nd, np & ns & d, np & s & nd, np & s & d,
                             p & ns & nd,  p & ns & d,  p & s & nd,  p & s & d};
    uint32_t result = 0;
    for (uint32_t k = 0; k < 8; k++) {
        result |= bit[k] & (0u - (index >> k & 1));
    }
    return result;
}

bool rop_uses_source(uint32_t index) {
    return ((index >> 2 ^ index) & 0x33) != 0;
}

Box bounds(const Surface& s) {
    return {0, 0, s.width, s.height};
}

void fill_box(const Surface& dest, Box box, uint32_t index, uint32_t pattern) {
    if (index == (PATCOPY >> 16) && dest.layout == PixelLayout::ARGB32) {
        for (int64_t y = box.top; y < box.bottom; y++) {
            std::fill_n((uint32_t*)pixel_row(dest, y) + box.left, box.right - box.left, pattern);
        }
        return;
    }
    if (index == (PATCOPY >> 16)) {
        for (int64_t y = box.top; y < box.bottom; y++) {
            for (int64_t x = box.left; x < box.right; x++) {
                store(dest, x, y, pattern);
            }
        }
        return;
    }
    for (int64_t y = box.top; y < box.bottom; y++) {
        for (int64_t x = box.left; x < box.right; x++) {
            store(dest, x, y, apply_rop(index, pattern, 0, load(dest, x, y)));
        }
    }
}

bool same_memory(const Surface& a, const Surface& b) {
    const uint8_t* a_low = std::min(a.top, a.top + (a.height - 1) * a.step);
    const uint8_t* a_high = std::max(a.top, a.top + (a.height - 1) * a.step) + std::abs(a.step);
    const uint8_t* b_low = std::min(b.top, b.top + (b.height - 1) * b.step);
    const uint8_t* b_high = std::max(b.top, b.top + (b.height - 1) * b.step) + std::abs(b.step);
    return a_low < b_high && b_low < a_high;
}

// The pattern of raster operations: the brush selected in the destination DC (a hollow brush counts as
// black).
COLORREF brush_color(const DeviceContext& dc) {
    return dc.brush && !dc.brush->hollow ? dc.brush->color : 0;
}

int paint_rect(HDC dc, const RECT* rect, HBRUSH brush_handle, bool frame) {
    std::shared_ptr<DeviceContext> context = gdi_lookup_as<DeviceContext>((HGDIOBJ)dc);
    std::shared_ptr<Brush> brush = gdi_lookup_as<Brush>(brush_handle);
    if (!context || !brush || !rect) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    Surface dest = context->surface();
    Box whole{rect->left, rect->top, rect->right, rect->bottom};
    if (!dest.valid() || brush->hollow || whole.empty()) {
        return 1;
    }
    uint32_t pattern = pattern_value(dest, brush->color);
    const uint32_t patcopy = PATCOPY >> 16;
    if (!frame) {
        fill_box(dest, intersect(whole, bounds(dest)), patcopy, pattern);
        return 1;
    }
    Box edges[] = {{whole.left, whole.top, whole.right, whole.top + 1},
                   {whole.left, whole.bottom - 1, whole.right, whole.bottom},
                   {whole.left, whole.top, whole.left + 1, whole.bottom},
                   {whole.right - 1, whole.top, whole.right, whole.bottom}};
    for (const Box& edge : edges) {
        fill_box(dest, intersect(edge, bounds(dest)), patcopy, pattern);
    }
    return 1;
}

uint32_t div255(uint32_t value) {
    return (value + 127) / 255;
}

// Calls fn(box) for each part of box inside the destination and the DC's clip region.
template <class Fn>
void for_each_clipped(const DeviceContext& dc, const Surface& dest, Box box, Fn&& fn) {
    box = intersect(box, bounds(dest));
    if (box.empty()) {
        return;
    }
    if (!dc.clip) {
        fn(box);
        return;
    }
    int count = 0;
    const pixman_box32_t* rects = pixman_region32_rectangles(&dc.clip->region, &count);
    for (int i = 0; i < count; i++) {
        Box part = intersect(box, {rects[i].x1, rects[i].y1, rects[i].x2, rects[i].y2});
        if (!part.empty()) {
            fn(part);
        }
    }
}

// The part of box that the clip region can reach.
Box clip_extents(const DeviceContext& dc, Box box) {
    if (!dc.clip) {
        return box;
    }
    const pixman_box32_t* e = pixman_region32_extents(&dc.clip->region);
    return intersect(box, {e->x1, e->y1, e->x2, e->y2});
}

int64_t wrap(int64_t value, int64_t size) {
    return (value % size + size) % size;
}

// The pattern of raster operations at each destination pixel, in the destination's format: the DC's brush,
// solid or repeating its bitmap from the brush origin (a hollow brush counts as black).
struct PatternFetch {
    PatternFetch(const DeviceContext& dc, const Surface& dest) : dc(dc), dest(dest) {
        if (dc.brush && dc.brush->pattern) {
            pattern = surface_of(*dc.brush->pattern);
        }
        solid = pattern.valid() ? 0 : pattern_value(dest, brush_color(dc));
    }
    bool is_solid() const { return !pattern.valid(); }
    uint32_t at(int64_t x, int64_t y) const {
        if (!pattern.valid()) {
            return solid;
        }
        uint32_t value = load(pattern, wrap(x - dc.brush_origin.x, pattern.width),
                              wrap(y - dc.brush_origin.y, pattern.height));
        return convert(pattern, dest, value, dc, dc);
    }

    const DeviceContext& dc;
    const Surface& dest;
    Surface pattern;
    uint32_t solid = 0;
};

// Source pixels converted to the destination's format, one for each destination pixel of box that has one.
struct SourceValues {
    Box box{0, 0, 0, 0};
    std::unique_ptr<uint32_t[]> values;  // every entry written before it is read
    uint32_t at(int64_t x, int64_t y) const {
        return values[(size_t)((y - box.top) * (box.right - box.left) + (x - box.left))];
    }
};

// A monochrome mask read at destination coordinates; beyond the mask, 0.
struct MaskFetch {
    Surface mask;
    int64_t dx = 0, dy = 0;  // mask position minus destination position
    bool at(int64_t x, int64_t y) const {
        int64_t mx = x + dx, my = y + dy;
        if (mx < 0 || my < 0 || mx >= mask.width || my >= mask.height) {
            return false;
        }
        return load(mask, mx, my) & 1;
    }
};

pixman_format_code_t pixman_format_of(const Surface& s) {
    switch (s.layout) {
        case PixelLayout::ARGB32:
            return s.has_alpha ? PIXMAN_a8r8g8b8 : PIXMAN_x8r8g8b8;
        case PixelLayout::RGB565:
            return PIXMAN_r5g6b5;
        case PixelLayout::RGB555:
            return PIXMAN_x1r5g5b5;
        default:
            return (pixman_format_code_t)0;
    }
}

// Reads the source for the destination rectangle (x, y, width, height), which maps onto the source rectangle
// (src_x, src_y, src_width, src_height); only the destination pixels within box are read. Scaled sources are
// sampled as the stretch mode says; a scaled source pixel outside the source reads as 0.
void gather_source(const DeviceContext& src_dc, const Surface& src, const DeviceContext& dest_dc,
                   const Surface& dest, Box box, int64_t x, int64_t y, int64_t width, int64_t height,
                   int64_t src_x, int64_t src_y, int64_t src_width, int64_t src_height, SourceValues* out) {
    bool scaled = width != src_width || height != src_height;
    if (!scaled) {
        int64_t dx = src_x - x, dy = src_y - y;
        Box src_box = bounds(src);
        box = intersect(box, {src_box.left - dx, src_box.top - dy, src_box.right - dx, src_box.bottom - dy});
    }
    if (box.empty()) {
        out->box = {0, 0, 0, 0};
        return;
    }
    out->box = box;
    int64_t w = box.right - box.left, h = box.bottom - box.top;
    out->values.reset(new uint32_t[(size_t)(w * h)]);
    if (!scaled) {
        int64_t dx = src_x - x, dy = src_y - y;
        if (src.layout == PixelLayout::ARGB32 && dest.layout == PixelLayout::ARGB32) {
            for (int64_t j = 0; j < h; j++) {
                memcpy(&out->values[(size_t)(j * w)],
                       (const uint32_t*)pixel_row(src, box.top + j + dy) + box.left + dx, (size_t)w * 4);
            }
            return;
        }
        for (int64_t j = 0; j < h; j++) {
            for (int64_t i = 0; i < w; i++) {
                uint32_t value = load(src, box.left + i + dx, box.top + j + dy);
                out->values[(size_t)(j * w + i)] = convert(src, dest, value, src_dc, dest_dc);
            }
        }
        return;
    }
    pixman_format_code_t format = pixman_format_of(src);
    int64_t fx = (src_width << 16) / width, fy = (src_height << 16) / height;
    // pixman takes a negative stride for bottom-up rows.
    bool pixman_ok = format != 0 && src.step % 4 == 0 && fx > 0 && fy > 0 && fx <= INT32_MAX &&
                     fy <= INT32_MAX && std::abs(src_x) <= 0x7FFF && std::abs(src_y) <= 0x7FFF &&
                     w <= 0x7FFF && h <= 0x7FFF && box.left - x <= INT32_MAX && box.top - y <= INT32_MAX;
    if (pixman_ok) {
        // The same sampling as the software canvas's scaled copies.
        pixman_image_t* view =
            pixman_image_create_bits(format, src.width, src.height, (uint32_t*)src.top, (int)src.step);
        pixman_image_t* temp = pixman_image_create_bits(src.has_alpha ? PIXMAN_a8r8g8b8 : PIXMAN_x8r8g8b8,
                                                        (int)w, (int)h, nullptr, 0);
        if (view && temp) {
            pixman_transform_t transform;
            pixman_transform_init_scale(&transform, (pixman_fixed_t)fx, (pixman_fixed_t)fy);
            pixman_transform_translate(&transform, nullptr, pixman_int_to_fixed(src_x),
                                       pixman_int_to_fixed(src_y));
            pixman_image_set_transform(view, &transform);
            pixman_image_set_filter(
                view, dest_dc.stretch_mode == HALFTONE ? PIXMAN_FILTER_GOOD : PIXMAN_FILTER_NEAREST, nullptr,
                0);
            pixman_image_set_repeat(view, PIXMAN_REPEAT_NONE);
            pixman_image_composite32(PIXMAN_OP_SRC, view, nullptr, temp, (int)(box.left - x),
                                     (int)(box.top - y), 0, 0, 0, 0, (int)w, (int)h);
            Surface scaled_src;
            scaled_src.top = (uint8_t*)pixman_image_get_data(temp);
            scaled_src.step = pixman_image_get_stride(temp);
            scaled_src.width = (int)w;
            scaled_src.height = (int)h;
            scaled_src.has_alpha = src.has_alpha;
            for (int64_t j = 0; j < h; j++) {
                for (int64_t i = 0; i < w; i++) {
                    out->values[(size_t)(j * w + i)] =
                        convert(scaled_src, dest, load(scaled_src, i, j), src_dc, dest_dc);
                }
            }
        }
        if (view) {
            pixman_image_unref(view);
        }
        if (temp) {
            pixman_image_unref(temp);
        }
        if (view && temp) {
            return;
        }
    }
    // Nearest pixel under each destination pixel's centre.
    for (int64_t j = 0; j < h; j++) {
        int64_t sy = src_y + ((box.top + j - y) * 2 + 1) * src_height / (2 * height);
        for (int64_t i = 0; i < w; i++) {
            int64_t sx = src_x + ((box.left + i - x) * 2 + 1) * src_width / (2 * width);
            bool inside = sx >= 0 && sy >= 0 && sx < src.width && sy < src.height;
            out->values[(size_t)(j * w + i)] =
                inside ? convert(src, dest, load(src, sx, sy), src_dc, dest_dc) : 0;
        }
    }
}

// Applies the foreground code (where the mask has 1, or everywhere without a mask) or the background code to
// each pixel of box within the clip; with a source, only where it has pixels.
void rop_area(const DeviceContext& dc, const Surface& dest, Box box, uint32_t fore, uint32_t back,
              const SourceValues* src, const MaskFetch* mask) {
    if (src) {
        box = intersect(box, src->box);
    }
    if (!mask) {
        back = fore;
    }
    if (fore == 0xAA && back == 0xAA) {
        return;
    }
    PatternFetch pattern(dc, dest);
    for_each_clipped(dc, dest, box, [&](Box part) {
        if (!mask && !src && fore == (PATCOPY >> 16) && pattern.is_solid()) {
            fill_box(dest, part, fore, pattern.solid);
            return;
        }
        if (!mask && dest.layout == PixelLayout::ARGB32) {
            // Whole rows of 32-bit pixels, the source and a solid pattern read straight.
            int64_t width = src ? src->box.right - src->box.left : 0;
            for (int64_t y = part.top; y < part.bottom; y++) {
                uint32_t* row = (uint32_t*)pixel_row(dest, y);
                const uint32_t* src_row =
                    src ? &src->values[(size_t)((y - src->box.top) * width + (part.left - src->box.left))]
                        : nullptr;
                for (int64_t x = part.left; x < part.right; x++) {
                    uint32_t p = pattern.is_solid() ? pattern.solid : pattern.at(x, y);
                    uint32_t s = src_row ? src_row[x - part.left] : 0;
                    row[x] = apply_rop(fore, p, s, row[x]);
                }
            }
            return;
        }
        for (int64_t y = part.top; y < part.bottom; y++) {
            for (int64_t x = part.left; x < part.right; x++) {
                uint32_t code = !mask || mask->at(x, y) ? fore : back;
                if (code == 0xAA) {
                    continue;
                }
                uint32_t s = src ? src->at(x, y) : 0;
                store(dest, x, y, apply_rop(code, pattern.at(x, y), s, load(dest, x, y)));
            }
        }
    });
}

// The whole BitBlt family: the source (when the codes use one) scaled from its rectangle, the mask, the
// codes.
BOOL blit(HDC dest_dc, int x, int y, int width, int height, HDC src_dc, int src_x, int src_y, int src_width,
          int src_height, HBITMAP mask_handle, int mask_x, int mask_y, uint32_t fore, uint32_t back) {
    std::shared_ptr<DeviceContext> dest_context = gdi_lookup_as<DeviceContext>((HGDIOBJ)dest_dc);
    if (!dest_context) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    bool uses_source = rop_uses_source(fore) || (mask_handle && rop_uses_source(back));
    std::shared_ptr<DeviceContext> src_context;
    if (uses_source) {
        src_context = gdi_lookup_as<DeviceContext>((HGDIOBJ)src_dc);
        if (!src_context) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
    }
    MaskFetch mask;
    std::shared_ptr<Bitmap> mask_bitmap;
    if (mask_handle) {
        mask_bitmap = gdi_lookup_as<Bitmap>(mask_handle);
        if (!mask_bitmap || mask_bitmap->layout != PixelLayout::MONO) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        mask.mask = surface_of(*mask_bitmap);
        mask.dx = (int64_t)mask_x - x;
        mask.dy = (int64_t)mask_y - y;
    }
    if (width < 0 || height < 0 || src_width < 0 || src_height < 0) {
        // Only a stretch refuses them; the unscaled calls draw nothing.
        if (width == src_width && height == src_height) {
            return TRUE;
        }
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Surface dest = dest_context->surface();
    if (!dest.valid() || width == 0 || height == 0) {
        return TRUE;
    }
    Box box =
        clip_extents(*dest_context, intersect({x, y, (int64_t)x + width, (int64_t)y + height}, bounds(dest)));
    if (box.empty()) {
        return TRUE;
    }
    const MaskFetch* mask_used = mask_handle ? &mask : nullptr;
    if (!uses_source) {
        rop_area(*dest_context, dest, box, fore, back, nullptr, mask_used);
        return TRUE;
    }
    Surface src = src_context->surface();
    if (!src.valid() || src_width == 0 || src_height == 0) {
        return TRUE;
    }
    bool scaled = width != src_width || height != src_height;
    // A plain copy between pixels of one layout moves whole rows.
    if (!scaled && !mask_used && fore == (SRCCOPY >> 16) && src.layout == dest.layout &&
        dest.layout != PixelLayout::MONO && src.table == dest.table) {
        int64_t dx = (int64_t)src_x - x, dy = (int64_t)src_y - y;
        Box src_box = bounds(src);
        box = intersect(box, {src_box.left - dx, src_box.top - dy, src_box.right - dx, src_box.bottom - dy});
        if (box.empty()) {
            return TRUE;
        }
        bool overlapping = same_memory(src, dest);
        int bits = layout_bits(dest.layout);
        if (overlapping && dest_context->clip) {
            // Clip parts would be moved one after another: read the source once first.
            SourceValues values;
            gather_source(*src_context, src, *dest_context, dest, box, x, y, width, height, src_x, src_y,
                          src_width, src_height, &values);
            rop_area(*dest_context, dest, box, fore, fore, &values, nullptr);
            return TRUE;
        }
        for_each_clipped(*dest_context, dest, box, [&](Box part) {
            size_t bytes = (size_t)((part.right - part.left) * bits / 8);
            size_t offset = (size_t)(part.left * bits / 8);
            size_t src_offset = (size_t)((part.left + dx) * bits / 8);
            // Rows are moved in the order that leaves an overlapping source intact.
            bool upward = overlapping && dy < 0;
            for (int64_t i = 0; i < part.bottom - part.top; i++) {
                int64_t row = upward ? part.bottom - 1 - i : part.top + i;
                memmove(pixel_row(dest, row) + offset, pixel_row(src, row + dy) + src_offset, bytes);
            }
        });
        return TRUE;
    }
    SourceValues values;
    gather_source(*src_context, src, *dest_context, dest, box, x, y, width, height, src_x, src_y, src_width,
                  src_height, &values);
    rop_area(*dest_context, dest, box, fore, back, &values, mask_used);
    return TRUE;
}

// ---- pens ----

// The ternary code of a mix: the pen is the pattern, the source is unused.
uint32_t mix_code(int mix) {
    uint32_t table = (uint32_t)(mix - 1) & 15;  // bit (pen << 1 | dest)
    uint32_t code = 0;
    for (uint32_t k = 0; k < 8; k++) {
        if (table >> ((k >> 2) << 1 | (k & 1)) & 1) {
            code |= 1u << k;
        }
    }
    return code;
}

struct PenDrawer {
    PenDrawer(const DeviceContext& dc, const Surface& dest) : dc(dc), dest(dest) {
        const Pen& pen = *dc.pen;
        value = pattern_value(dest, pen.color);
        code = mix_code(dc.mix);
        width = (int64_t)pen.width;
        static const DWORD dash[] = {18, 6}, dot[] = {3, 3}, dash_dot[] = {9, 6, 3, 6},
                           dash_dot_dot[] = {9, 3, 3, 3, 3, 3};
        switch (pen.style) {
            case PS_DASH:
                style.assign(std::begin(dash), std::end(dash));
                break;
            case PS_DOT:
                style.assign(std::begin(dot), std::end(dot));
                break;
            case PS_DASHDOT:
                style.assign(std::begin(dash_dot), std::end(dash_dot));
                break;
            case PS_DASHDOTDOT:
                style.assign(std::begin(dash_dot_dot), std::end(dash_dot_dot));
                break;
            case PS_USERSTYLE:
                style = pen.user_style;
                break;
            default:
                break;
        }
        style_total = 0;
        for (DWORD length : style) {
            style_total += length;
        }
        if (style_total == 0) {
            style.clear();
        }
        hidden = pen.style == PS_NULL;
    }

    // Whether the next pixel along the line is in a dash; advances the style.
    bool dash_step() {
        if (style.empty()) {
            return true;
        }
        uint64_t at = style_position++ % style_total;
        for (size_t i = 0; i < style.size(); i++) {
            if (at < style[i]) {
                return i % 2 == 0;
            }
            at -= style[i];
        }
        return true;
    }

    void plot(int64_t x, int64_t y) {
        Box box{x - (width - 1) / 2, y - (width - 1) / 2, 0, 0};
        box.right = box.left + width;
        box.bottom = box.top + width;
        for_each_clipped(dc, dest, box, [&](Box part) {
            for (int64_t py = part.top; py < part.bottom; py++) {
                for (int64_t px = part.left; px < part.right; px++) {
                    store(dest, px, py, apply_rop(code, value, 0, load(dest, px, py)));
                }
            }
        });
    }

    // From (x0, y0) to (x1, y1), leaving out the end point.
    void line(int64_t x0, int64_t y0, int64_t x1, int64_t y1) {
        if (hidden) {
            return;
        }
        int64_t dx = std::abs(x1 - x0), dy = -std::abs(y1 - y0);
        int64_t step_x = x0 < x1 ? 1 : -1, step_y = y0 < y1 ? 1 : -1;
        int64_t error = dx + dy;
        while (x0 != x1 || y0 != y1) {
            if (dash_step()) {
                plot(x0, y0);
            }
            int64_t twice = 2 * error;
            if (twice >= dy) {
                error += dy;
                x0 += step_x;
            }
            if (twice <= dx) {
                error += dx;
                y0 += step_y;
            }
        }
    }

    const DeviceContext& dc;
    const Surface& dest;
    uint32_t value;
    uint32_t code;
    int64_t width;
    std::vector<DWORD> style;
    uint64_t style_total;
    uint64_t style_position = 0;
    bool hidden;
};

// The points of a cubic curve from p0, the end point last, p0 left out.
void flatten_bezier(POINT p0, const POINT* c, std::vector<POINT>* out) {
    double length = 0;
    POINT prev = p0;
    for (int i = 0; i < 3; i++) {
        length += std::hypot((double)c[i].x - prev.x, (double)c[i].y - prev.y);
        prev = c[i];
    }
    int steps = (int)std::min(256.0, std::max(1.0, std::ceil(length / 4)));
    for (int i = 1; i <= steps; i++) {
        double t = (double)i / steps, u = 1 - t;
        double a = u * u * u, b = 3 * u * u * t, d = 3 * u * t * t, e = t * t * t;
        double px = a * p0.x + b * c[0].x + d * c[1].x + e * c[2].x;
        double py = a * p0.y + b * c[0].y + d * c[1].y + e * c[2].y;
        out->push_back(i == steps ? c[2] : POINT{(LONG)std::lround(px), (LONG)std::lround(py)});
    }
}

std::shared_ptr<DeviceContext> lookup_dc(HDC dc) {
    std::shared_ptr<DeviceContext> context = gdi_lookup_as<DeviceContext>((HGDIOBJ)dc);
    if (!context) {
        SetLastError(ERROR_INVALID_HANDLE);
    }
    return context;
}

// Draws the points from the current position with the selected pen.
void draw_polyline(const DeviceContext& dc, const std::vector<POINT>& points, POINT from) {
    Surface dest = dc.surface();
    if (!dest.valid() || !dc.pen) {
        return;
    }
    PenDrawer pen(dc, dest);
    for (const POINT& p : points) {
        pen.line(from.x, from.y, p.x, p.y);
        from = p;
    }
}

}  // namespace

}  // namespace winapi_internal

namespace winapi_internal {
namespace {

void blend_box(const DeviceContext& dest_context_ref, const Surface& dest, const Surface& src, Box box, int x,
               int y, int width, int height, int src_x, int src_y, int src_width, int src_height,
               bool per_pixel, uint32_t constant) {
    const DeviceContext* dest_context = &dest_context_ref;
    for (int64_t py = box.top; py < box.bottom; py++) {
        // Nearest source pixel: the one under the centre of the destination pixel.
        int64_t sy = src_y + ((py - y) * 2 + 1) * src_height / (2 * (int64_t)height);
        for (int64_t px = box.left; px < box.right; px++) {
            int64_t sx = src_x + ((px - x) * 2 + 1) * src_width / (2 * (int64_t)width);
            uint32_t s_value = load(src, sx, sy);
            uint32_t s_rgb = source_rgb(src, s_value, *dest_context);
            uint32_t d_value = load(dest, px, py);
            uint32_t d_rgb = indexed(dest.layout) ? source_rgb(dest, d_value, *dest_context)
                                                  : rgb_of(dest.layout, d_value);
            uint32_t s[4] = {s_rgb & 0xFF, s_rgb >> 8 & 0xFF, s_rgb >> 16 & 0xFF, s_value >> 24};
            uint32_t d[4] = {d_rgb & 0xFF, d_rgb >> 8 & 0xFF, d_rgb >> 16 & 0xFF, d_value >> 24};
            uint32_t out[4];
            if (per_pixel) {
                for (uint32_t& c : s) {
                    c = div255(c * constant);
                }
                for (int c = 0; c < 4; c++) {
                    out[c] = std::min<uint32_t>(255, s[c] + div255(d[c] * (255 - s[3])));
                }
            } else {
                for (int c = 0; c < 4; c++) {
                    out[c] = div255(s[c] * constant + d[c] * (255 - constant));
                }
            }
            uint32_t rgb = out[2] << 16 | out[1] << 8 | out[0];
            if (dest.layout == PixelLayout::ARGB32) {
                store(dest, px, py, dest.has_alpha ? rgb | out[3] << 24 : rgb | (d_value & 0xFF000000));
            } else if (indexed(dest.layout)) {
                store(dest, px, py, nearest_index(dest, rgb));
            } else {
                store(dest, px, py, value_of(dest.layout, rgb));
            }
        }
    }
}

}  // namespace
}  // namespace winapi_internal

using namespace winapi_internal;

BOOL WINAPI BitBlt(HDC dest_dc, int x, int y, int width, int height, HDC src_dc, int src_x, int src_y,
                   DWORD rop) {
    uint32_t code = rop >> 16 & 0xFF;
    return blit(dest_dc, x, y, width, height, src_dc, src_x, src_y, width, height, nullptr, 0, 0, code, code);
}

BOOL WINAPI PatBlt(HDC dc, int x, int y, int width, int height, DWORD rop) {
    uint32_t code = rop >> 16 & 0xFF;
    if (rop_uses_source(code)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return blit(dc, x, y, width, height, nullptr, 0, 0, width, height, nullptr, 0, 0, code, code);
}

BOOL WINAPI StretchBlt(HDC dest_dc, int x, int y, int width, int height, HDC src_dc, int src_x, int src_y,
                       int src_width, int src_height, DWORD rop) {
    uint32_t code = rop >> 16 & 0xFF;
    return blit(dest_dc, x, y, width, height, src_dc, src_x, src_y, src_width, src_height, nullptr, 0, 0,
                code, code);
}

BOOL WINAPI MaskBlt(HDC dest_dc, int x, int y, int width, int height, HDC src_dc, int src_x, int src_y,
                    HBITMAP mask, int mask_x, int mask_y, DWORD rop) {
    uint32_t fore = rop >> 16 & 0xFF, back = rop >> 24 & 0xFF;
    return blit(dest_dc, x, y, width, height, src_dc, src_x, src_y, width, height, mask, mask_x, mask_y, fore,
                mask ? back : fore);
}

BOOL WINAPI TransparentBlt(HDC dest_dc, int x, int y, int width, int height, HDC src_dc, int src_x, int src_y,
                           int src_width, int src_height, UINT key) {
    std::shared_ptr<DeviceContext> dest_context = gdi_lookup_as<DeviceContext>((HGDIOBJ)dest_dc);
    std::shared_ptr<DeviceContext> src_context = gdi_lookup_as<DeviceContext>((HGDIOBJ)src_dc);
    if (!dest_context || !src_context) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Surface dest = dest_context->surface();
    Surface src = src_context->surface();
    if (width <= 0 || height <= 0 || src_width <= 0 || src_height <= 0 || !dest.valid() || !src.valid()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // The key is compared in the source's own format.
    uint32_t key_rgb = rgb_of_colorref(key);
    bool by_value = !indexed(src.layout);
    uint32_t key_value = value_of(src.layout, key_rgb);
    uint32_t value_mask = src.layout == PixelLayout::RGB555   ? 0x7FFF
                          : src.layout == PixelLayout::RGB565 ? 0xFFFF
                                                              : 0xFFFFFF;
    Box whole{x, y, (int64_t)x + width, (int64_t)y + height};
    for_each_clipped(*dest_context, dest, whole, [&](Box part) {
        for (int64_t py = part.top; py < part.bottom; py++) {
            int64_t sy = src_y + (py - y) * src_height / height;
            for (int64_t px = part.left; px < part.right; px++) {
                int64_t sx = src_x + (px - x) * src_width / width;
                if (sx < 0 || sy < 0 || sx >= src.width || sy >= src.height) {
                    continue;
                }
                uint32_t value = load(src, sx, sy);
                if (by_value ? (value & value_mask) != key_value
                             : source_rgb(src, value, *dest_context) != key_rgb) {
                    store(dest, px, py, convert(src, dest, value, *src_context, *dest_context));
                }
            }
        }
    });
    return TRUE;
}

BOOL WINAPI MoveToEx(HDC dc, int x, int y, POINT* previous) {
    std::shared_ptr<DeviceContext> context = lookup_dc(dc);
    if (!context) {
        return FALSE;
    }
    if (previous) {
        *previous = context->position;
    }
    context->position = POINT{x, y};
    if (context->in_path) {
        context->path.push_back(PathFigure{{context->position}, false});
    }
    return TRUE;
}

namespace {

// Adds points to the path's open figure (one starting at the current position when there is none) or draws
// them; the last becomes the current position.
void add_points(DeviceContext& context, const std::vector<POINT>& points) {
    if (points.empty()) {
        return;
    }
    if (context.in_path) {
        if (context.path.empty() || context.path.back().closed) {
            context.path.push_back(PathFigure{{context.position}, false});
        }
        std::vector<POINT>& figure = context.path.back().points;
        figure.insert(figure.end(), points.begin(), points.end());
    } else {
        draw_polyline(context, points, context.position);
    }
    context.position = points.back();
}

}  // namespace

BOOL WINAPI LineTo(HDC dc, int x, int y) {
    std::shared_ptr<DeviceContext> context = lookup_dc(dc);
    if (!context) {
        return FALSE;
    }
    add_points(*context, {POINT{x, y}});
    return TRUE;
}

BOOL WINAPI BeginPath(HDC dc) {
    std::shared_ptr<DeviceContext> context = lookup_dc(dc);
    if (!context) {
        return FALSE;
    }
    context->path.clear();
    context->in_path = true;
    context->path_ended = false;
    return TRUE;
}

BOOL WINAPI PolyBezierTo(HDC dc, const POINT* points, DWORD count) {
    std::shared_ptr<DeviceContext> context = lookup_dc(dc);
    if (!context) {
        return FALSE;
    }
    if (!points || count % 3 != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::vector<POINT> flat;
    POINT from = context->position;
    for (DWORD i = 0; i < count; i += 3) {
        flatten_bezier(from, points + i, &flat);
        from = points[i + 2];
    }
    add_points(*context, flat);
    return TRUE;
}

BOOL WINAPI CloseFigure(HDC dc) {
    std::shared_ptr<DeviceContext> context = lookup_dc(dc);
    if (!context) {
        return FALSE;
    }
    if (!context->in_path || context->path.empty()) {
        SetLastError(ERROR_CAN_NOT_COMPLETE);
        return FALSE;
    }
    context->path.back().closed = true;
    return TRUE;
}

BOOL WINAPI EndPath(HDC dc) {
    std::shared_ptr<DeviceContext> context = lookup_dc(dc);
    if (!context) {
        return FALSE;
    }
    if (!context->in_path) {
        SetLastError(ERROR_CAN_NOT_COMPLETE);
        return FALSE;
    }
    context->in_path = false;
    context->path_ended = true;
    return TRUE;
}

BOOL WINAPI StrokePath(HDC dc) {
    std::shared_ptr<DeviceContext> context = lookup_dc(dc);
    if (!context) {
        return FALSE;
    }
    if (!context->path_ended) {
        SetLastError(ERROR_CAN_NOT_COMPLETE);
        return FALSE;
    }
    for (const PathFigure& figure : context->path) {
        std::vector<POINT> points(figure.points.begin() + 1, figure.points.end());
        if (figure.closed) {
            points.push_back(figure.points.front());
        }
        draw_polyline(*context, points, figure.points.front());
    }
    context->path.clear();
    context->path_ended = false;
    return TRUE;
}

BOOL WINAPI AlphaBlend(HDC dest_dc, int x, int y, int width, int height, HDC src_dc, int src_x, int src_y,
                       int src_width, int src_height, BLENDFUNCTION blend) {
    std::shared_ptr<DeviceContext> dest_context = gdi_lookup_as<DeviceContext>((HGDIOBJ)dest_dc);
    std::shared_ptr<DeviceContext> src_context = gdi_lookup_as<DeviceContext>((HGDIOBJ)src_dc);
    if (!dest_context || !src_context) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Surface dest = dest_context->surface();
    Surface src = src_context->surface();
    bool per_pixel = (blend.AlphaFormat & AC_SRC_ALPHA) != 0;
    if (!dest.valid() || !src.valid() || blend.BlendOp != AC_SRC_OVER || blend.BlendFlags != 0 || width < 0 ||
        height < 0 || src_width < 0 || src_height < 0 || src_x < 0 || src_y < 0 ||
        (int64_t)src_x + src_width > src.width || (int64_t)src_y + src_height > src.height ||
        (per_pixel && src.layout != PixelLayout::ARGB32)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (width == 0 || height == 0 || src_width == 0 || src_height == 0) {
        return TRUE;
    }
    // Within one bitmap the rectangles must not overlap, since every pixel is read after others were written.
    if (same_memory(src, dest)) {
        Box src_box{src_x, src_y, (int64_t)src_x + src_width, (int64_t)src_y + src_height};
        if (src.top != dest.top || src.step != dest.step ||
            !intersect(src_box, {x, y, (int64_t)x + width, (int64_t)y + height}).empty()) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
    }
    uint32_t constant = blend.SourceConstantAlpha;
    for_each_clipped(*dest_context, dest, {x, y, (int64_t)x + width, (int64_t)y + height}, [&](Box box) {
        blend_box(*dest_context, dest, src, box, x, y, width, height, src_x, src_y, src_width, src_height,
                  per_pixel, constant);
    });
    return TRUE;
}

int WINAPI FillRect(HDC dc, const RECT* rect, HBRUSH brush) {
    return paint_rect(dc, rect, brush, false);
}

int WINAPI FrameRect(HDC dc, const RECT* rect, HBRUSH brush) {
    return paint_rect(dc, rect, brush, true);
}
