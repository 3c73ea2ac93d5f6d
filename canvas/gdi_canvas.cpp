#include "canvas/gdi_canvas.h"

#include <pixman.h>

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <memory>
#include <vector>

#include "canvas/canvas_utils.h"
#include "canvas/image_refs.h"
#include "canvas/pixman_utils.h"
#include "runtime/log.h"
#include "runtime/peer_check.h"
#include "runtime/threads.h"

namespace {

struct GdiCanvas : SpiceCanvas {
    HDC dc;                // the pixmap's device context
    RecurciveMutex* lock;  // the pixmap's drawable lock
    void* reserved;        // stays null
};

GdiCanvas* gdi(SpiceCanvas* canvas) {
    return static_cast<GdiCanvas*>(canvas);
}

SpiceCanvasOps gdi_canvas_ops;
bool need_init = true;  // main thread, before any canvas exists

struct ImageUnref {
    void operator()(pixman_image_t* image) const { canvas_image_unref(image); }
};
using ImagePtr = std::unique_ptr<pixman_image_t, ImageUnref>;
using LockPtr = std::unique_ptr<Lock>;

// Low words of the published ternary raster-operation codes, by truth table.
const uint16_t ROP3_LOW_WORDS[256] = {
    0x0042, 0x0289, 0x0C89, 0x00AA, 0x0C88, 0x00A9, 0x0865, 0x02C5, 0x0F08, 0x0245, 0x0329, 0x0B2A, 0x0324,
    0x0B25, 0x08A5, 0x0001, 0x0C85, 0x00A6, 0x0868, 0x02C8, 0x0869, 0x02C9, 0x5CCA, 0x1D54, 0x0D59, 0x1CC8,
    0x06C5, 0x0768, 0x06CA, 0x0766, 0x01A5, 0x0385, 0x0F09, 0x0248, 0x0326, 0x0B24, 0x0D55, 0x1CC5, 0x06C8,
    0x1868, 0x0369, 0x16CA, 0x0CC9, 0x1D58, 0x0784, 0x060A, 0x064A, 0x0E2A, 0x032A, 0x0B28, 0x0688, 0x0008,
    0x06C4, 0x1864, 0x01A8, 0x0388, 0x078A, 0x0604, 0x0644, 0x0E24, 0x004A, 0x18A4, 0x1B24, 0x00EA, 0x0F0A,
    0x0249, 0x0D5D, 0x1CC4, 0x0328, 0x0B29, 0x06C6, 0x076A, 0x0368, 0x16C5, 0x0789, 0x0605, 0x0CC8, 0x1954,
    0x0645, 0x0E25, 0x0325, 0x0B26, 0x06C9, 0x0764, 0x08A9, 0x0009, 0x01A9, 0x0389, 0x0785, 0x0609, 0x0049,
    0x18A9, 0x0649, 0x0E29, 0x1B29, 0x00E9, 0x0365, 0x16C6, 0x0786, 0x0608, 0x0788, 0x0606, 0x0046, 0x18A8,
    0x58A6, 0x0145, 0x01E9, 0x178A, 0x01E8, 0x1785, 0x1E28, 0x0C65, 0x0CC5, 0x1D5C, 0x0648, 0x0E28, 0x0646,
    0x0E26, 0x1B28, 0x00E6, 0x01E5, 0x1786, 0x1E29, 0x0C68, 0x1E24, 0x0C69, 0x0955, 0x03C9, 0x03E9, 0x0975,
    0x0C49, 0x1E04, 0x0C48, 0x1E05, 0x17A6, 0x01C5, 0x00C6, 0x1B08, 0x0E06, 0x0666, 0x0E08, 0x0668, 0x1D7C,
    0x0CE5, 0x0C45, 0x1E08, 0x17A9, 0x01C4, 0x17AA, 0x01C9, 0x0169, 0x588A, 0x1888, 0x0066, 0x0709, 0x07A8,
    0x0704, 0x07A6, 0x16E6, 0x0345, 0x00C9, 0x1B05, 0x0E09, 0x0669, 0x1885, 0x0065, 0x0706, 0x07A5, 0x03A9,
    0x0189, 0x0029, 0x0889, 0x0744, 0x06E9, 0x0B06, 0x0229, 0x0E05, 0x0665, 0x1974, 0x0CE8, 0x070A, 0x07A9,
    0x16E9, 0x0348, 0x074A, 0x06E6, 0x0B09, 0x0226, 0x1CE4, 0x0D7D, 0x0269, 0x08C9, 0x00CA, 0x1B04, 0x1884,
    0x006A, 0x0E04, 0x0664, 0x0708, 0x07AA, 0x03A8, 0x0184, 0x0749, 0x06E4, 0x0020, 0x0888, 0x0B08, 0x0224,
    0x0E0A, 0x066A, 0x0705, 0x07A4, 0x1D78, 0x0CE9, 0x16EA, 0x0349, 0x0745, 0x06E8, 0x1CE9, 0x0D75, 0x0B04,
    0x0228, 0x0268, 0x08C8, 0x03A5, 0x0185, 0x0746, 0x06EA, 0x0748, 0x06E5, 0x1CE8, 0x0D79, 0x1D74, 0x5CE6,
    0x02E9, 0x0849, 0x02E8, 0x0848, 0x0086, 0x0A08, 0x0021, 0x0885, 0x0B05, 0x022A, 0x0B0A, 0x0225, 0x0265,
    0x08C5, 0x02E5, 0x0845, 0x0089, 0x0A09, 0x008A, 0x0A0A, 0x02A9, 0x0062,
};

// ---- device contexts with bitmaps ----

// A memory device context with a bitmap selected; deselects, deletes the DC and (when it made it) the bitmap.
struct DcBitmap {
    HDC dc = nullptr;
    HBITMAP bitmap = nullptr;
    HGDIOBJ previous = nullptr;
    bool owns_bitmap = false;

    DcBitmap() = default;
    DcBitmap(const DcBitmap&) = delete;
    DcBitmap& operator=(const DcBitmap&) = delete;
    ~DcBitmap() { reset(); }
    void reset() {
        if (dc) {
            if (previous) {
                SelectObject(dc, previous);
            }
            DeleteDC(dc);
        }
        if (owns_bitmap && bitmap) {
            DeleteObject(bitmap);
        }
        dc = nullptr;
        bitmap = nullptr;
        previous = nullptr;
        owns_bitmap = false;
    }
    // Selects a bitmap someone else owns into a new memory DC.
    bool select(HBITMAP borrowed) {
        dc = CreateCompatibleDC(nullptr);
        if (!dc) {
            peer_warning("create_compatible_dc() failed");
            return false;
        }
        previous = SelectObject(dc, borrowed);
        if (!previous) {
            return false;
        }
        bitmap = borrowed;
        return true;
    }
};

uint8_t reverse_bits(uint8_t b) {
    b = uint8_t((b & 0xF0) >> 4 | (b & 0x0F) << 4);
    b = uint8_t((b & 0xCC) >> 2 | (b & 0x33) << 2);
    return uint8_t((b & 0xAA) >> 1 | (b & 0x55) << 1);
}

// A new DIB section in a memory DC with the image's pixels: 32 bits for depths 24 and 32, 16 (5-6-5 masks for
// r5g6b5), 8 with a grey table, 1 with black and white (pixman's one-bit rows hold the leftmost pixel in the
// lowest bit, a DIB's in the highest, so each byte is turned round).
bool create_bitmap(pixman_image_t* image, DcBitmap* out) {
    const int width = pixman_image_get_width(image);
    const int height = pixman_image_get_height(image);
    const int stride = pixman_image_get_stride(image);
    const pixman_format_code_t format = pixman_image_get_format(image);
    const uint8_t* pixels = reinterpret_cast<const uint8_t*>(pixman_image_get_data(image));
    if (width <= 0 || height <= 0 || !pixels) {
        return false;
    }
    int bits;
    switch (pixman_image_get_depth(image)) {
        case 1:
            bits = 1;
            break;
        case 8:
            bits = 8;
            break;
        case 15:
        case 16:
            bits = 16;
            break;
        case 24:
        case 32:
            bits = 32;
            break;
        default:
            spice_warn_if_reached();
            return false;
    }
    union {
        BITMAPINFO info;
        uint8_t bytes[sizeof(BITMAPINFOHEADER) + 256 * sizeof(RGBQUAD)];
    } block;
    memset(&block, 0, sizeof(block));
    BITMAPINFOHEADER& header = block.info.bmiHeader;
    header.biSize = sizeof(BITMAPINFOHEADER);
    header.biWidth = width;
    header.biHeight = stride >= 0 ? -height : height;
    header.biPlanes = 1;
    header.biBitCount = WORD(bits);
    header.biCompression = BI_RGB;
    RGBQUAD* colors = block.info.bmiColors;
    if (format == PIXMAN_r5g6b5) {
        header.biCompression = BI_BITFIELDS;
        const DWORD masks[3] = {0xF800, 0x07E0, 0x001F};
        memcpy(colors, masks, sizeof(masks));
    } else if (bits == 1) {
        colors[1] = RGBQUAD{0xFF, 0xFF, 0xFF, 0};
    } else if (bits == 8) {
        for (int i = 0; i < 256; i++) {
            colors[i] = RGBQUAD{uint8_t(i), uint8_t(i), uint8_t(i), 0};
        }
    }
    out->dc = CreateCompatibleDC(nullptr);
    if (!out->dc) {
        peer_warning("create_compatible_dc() failed");
        return false;
    }
    void* dib_bits = nullptr;
    out->bitmap = CreateDIBSection(out->dc, &block.info, DIB_RGB_COLORS, &dib_bits, nullptr, 0);
    if (!out->bitmap) {
        peer_warning("Unable to CreateDIBSection");
        return false;
    }
    out->owns_bitmap = true;
    out->previous = SelectObject(out->dc, out->bitmap);
    const size_t dib_row = bits == 1    ? size_t((int64_t(width) + 31) >> 5) * 4
                           : bits == 8  ? size_t((int64_t(width) + 3) & ~int64_t(3))
                           : bits == 16 ? size_t((2 * int64_t(width) + 3) & ~int64_t(3))
                                        : size_t(4) * size_t(width);
    const size_t row_bytes = std::min(dib_row, size_t(std::abs(int64_t(stride))));
    // Rows in memory order: a bottom-up DIB's first row in memory is its bottom row, as the image's is.
    const uint8_t* src_first = stride >= 0 ? pixels : pixels + ptrdiff_t(stride) * (height - 1);
    const size_t src_step = size_t(std::abs(int64_t(stride)));
    uint8_t* dest = static_cast<uint8_t*>(dib_bits);
    for (int y = 0; y < height; y++) {
        uint8_t* row = dest + dib_row * size_t(y);
        memcpy(row, src_first + src_step * size_t(y), row_bytes);
        if (bits == 1) {
            for (size_t i = 0; i < row_bytes; i++) {
                row[i] = reverse_bits(row[i]);
            }
        }
    }
    return true;
}

// ---- clip, scale mode, colours, brushes ----

void select_region(HDC dc, const pixman_region32_t* region) {
    int count = 0;
    const pixman_box32_t* boxes = pixman_region32_rectangles(const_cast<pixman_region32_t*>(region), &count);
    HRGN combined = CreateRectRgn(0, 0, 0, 0);
    if (!combined) {
        peer_warning("Unable to CreateRectRgn");
        return;
    }
    for (int i = 0; i < count; i++) {
        HRGN part = CreateRectRgn(boxes[i].x1, boxes[i].y1, boxes[i].x2, boxes[i].y2);
        if (!part) {
            peer_warning("Unable to CreateRectRgn");
            break;
        }
        if (CombineRgn(combined, combined, part, RGN_OR) == RGN_ERROR) {
            peer_warning("Unable to CombineRgn");
        }
        DeleteObject(part);
    }
    if (SelectClipRgn(dc, combined) == RGN_ERROR) {
        peer_warning("Unable to SelectClipRgn");
    }
    DeleteObject(combined);
}

// The device context's clip: the message's rectangles within the bounding box and the canvas region (the
// whole canvas, or an open group's region), as in the software back end. A list without rectangles leaves
// nothing to draw.
void set_clip(GdiCanvas* canvas, SpiceClip* clip, const SpiceRect* bbox) {
    pixman_region32_t region;
    if (bbox->left < bbox->right && bbox->top < bbox->bottom) {
        const pixman_box32_t box = {bbox->left, bbox->top, bbox->right, bbox->bottom};
        pixman_region32_init_with_extents(&region, &box);
    } else {
        pixman_region32_init(&region);
    }
    if (clip->type != SPICE_CLIP_TYPE_NONE && clip->type != SPICE_CLIP_TYPE_RECTS) {
        spice_warn_if_reached();
    }
    canvas_clip_pixman(&canvas->base, &region, clip);
    select_region(canvas->dc, &region);
    pixman_region32_fini(&region);
}

bool set_scale_mode(GdiCanvas* canvas, uint8_t scale_mode) {
    if (scale_mode == SPICE_IMAGE_SCALE_MODE_INTERPOLATE) {
        SetStretchBltMode(canvas->dc, HALFTONE);
    } else if (scale_mode == SPICE_IMAGE_SCALE_MODE_NEAREST) {
        SetStretchBltMode(canvas->dc, COLORONCOLOR);
    } else {
        peer_warning("Unknown ScaleMode");
        return false;
    }
    return true;
}

// The Windows colour of a brush colour, which the server gives in the canvas's pixel format.
COLORREF gdi_colorref(GdiCanvas* canvas, uint32_t color) {
    if (canvas->base.format == SPICE_SURFACE_FMT_16_565) {
        // Five-six-five: green has six bits, where the shift and mask of 16-bit canvases would read five.
        const uint32_t r = (color >> 11) & 31, g = (color >> 5) & 63, b = color & 31;
        return RGB((r << 3) | (r >> 2), (g << 2) | (g >> 4), (b << 3) | (b >> 2));
    }
    const uint32_t shift = canvas->base.color_shift;
    const uint32_t mask = canvas->base.color_mask;
    uint32_t b = color & mask, g = (color >> shift) & mask, r = (color >> (2 * shift)) & mask;
    if (shift == 5) {
        r = (r << 3) | (r >> 2);
        g = (g << 3) | (g >> 2);
        b = (b << 3) | (b >> 2);
    }
    return RGB(r, g, b);
}

bool rect_size(const SpiceRect& rect, int* width, int* height) {
    const int64_t w = int64_t(rect.right) - rect.left;
    const int64_t h = int64_t(rect.bottom) - rect.top;
    if (w <= 0 || h <= 0 || w > INT32_MAX || h > INT32_MAX) {
        return false;
    }
    *width = int(w);
    *height = int(h);
    return true;
}

// A brush made for one draw and selected into the canvas's DC; the previous brush goes back at the end. A
// pattern that is another GDI canvas's pixels is read under that canvas's lock.
class BrushSelection {
public:
    // Before the canvas lock: a pattern image is fetched. The brush goes into target, by default the canvas's
    // device context.
    BrushSelection(GdiCanvas* canvas, SpiceBrush* brush, HDC target = nullptr)
        : canvas_(canvas), brush_(brush), dc_(target ? target : canvas->dc) {
        if (brush->type != SPICE_BRUSH_TYPE_PATTERN) {
            return;
        }
        SpiceCanvas* surface = canvas_surface_of_image(&canvas->base, brush->u.pattern.pat);
        if (is_gdi_canvas(surface)) {
            pattern_canvas_ = gdi(surface);
        } else if (surface) {
            image_.reset(surface->ops->get_image(surface, 0));
        } else if (brush->u.pattern.pat) {
            image_.reset(canvas_get_image(&canvas->base, brush->u.pattern.pat, 0));
        }
    }
    ~BrushSelection() {
        if (previous_) {
            SelectObject(dc_, previous_);
        }
        if (handle_) {
            DeleteObject(handle_);
        }
    }
    BrushSelection(const BrushSelection&) = delete;
    BrushSelection& operator=(const BrushSelection&) = delete;

    // Under the canvas lock: makes and selects the brush. False when there is none or it cannot be made.
    bool select() {
        switch (brush_->type) {
            case SPICE_BRUSH_TYPE_SOLID:
                handle_ = CreateSolidBrush(gdi_colorref(canvas_, brush_->u.color));
                if (!handle_) {
                    peer_warning("CreateSolidBrush failed");
                    return false;
                }
                break;
            case SPICE_BRUSH_TYPE_PATTERN: {
                if (pattern_canvas_) {
                    pattern_lock_.reset(new Lock(*pattern_canvas_->lock));
                    HBITMAP bitmap = GetCurrentObject(pattern_canvas_->dc, OBJ_BITMAP);
                    if (!bitmap) {
                        peer_warning("GetCurrentObject failed");
                        return false;
                    }
                    handle_ = CreatePatternBrush(bitmap);
                } else {
                    if (!image_) {
                        return false;
                    }
                    DcBitmap temp;
                    if (!create_bitmap(image_.get(), &temp)) {
                        peer_warning("create_bitmap failed");
                        return false;
                    }
                    handle_ = CreatePatternBrush(temp.bitmap);
                }
                if (!handle_) {
                    peer_warning("CreatePatternBrush failed");
                    return false;
                }
                if (!SetBrushOrgEx(dc_, brush_->u.pattern.pos.x, brush_->u.pattern.pos.y, nullptr)) {
                    peer_warning("SetBrushOrgEx failed");
                    return false;
                }
                break;
            }
            case SPICE_BRUSH_TYPE_NONE:
                return false;
            default:
                spice_warn_if_reached();
                return false;
        }
        previous_ = SelectObject(dc_, handle_);
        return previous_ != nullptr;
    }

private:
    GdiCanvas* canvas_;
    SpiceBrush* brush_;
    HDC dc_;
    GdiCanvas* pattern_canvas_ = nullptr;
    ImagePtr image_;
    LockPtr pattern_lock_;
    HGDIOBJ handle_ = nullptr;
    HGDIOBJ previous_ = nullptr;
};

// The message's mask as a monochrome bitmap, always a copy in GDI's bit order. A mask that cannot be read
// leaves nothing to draw, as in the software back end: drawing unmasked would paint what the mask hides.
struct MaskBitmap {
    DcBitmap bits;
    SpicePoint pos = {0, 0};
    bool present = false;
    bool failed = false;

    MaskBitmap(GdiCanvas* canvas, SpiceQMask* mask) {
        if (!mask->bitmap) {
            return;
        }
        present = true;
        pos = mask->pos;
        ImagePtr image(canvas_get_mask(&canvas->base, mask, nullptr));
        if (!image || pixman_image_get_format(image.get()) != PIXMAN_a1 ||
            !create_bitmap(image.get(), &bits)) {
            peer_check_failed("mask image != NULL");
            failed = true;
        }
    }
};

// Draws the source rectangle of src_dc onto the destination rectangle of dest_dc with a ternary code; with a
// mask, unscaled, and the destination kept where the mask is 0.
void gdi_draw_bitmap(const SpiceRect& dest, uint8_t rop3, const SpiceRect& src, HDC dest_dc, HDC src_dc,
                     const MaskBitmap* mask) {
    int width, height, src_width, src_height;
    if (!rect_size(dest, &width, &height)) {
        return;
    }
    const DWORD code = gdi_rop3_code(rop3);
    if (mask && mask->present) {
        if (!MaskBlt(dest_dc, dest.left, dest.top, width, height, src_dc, src.left, src.top,
                     mask->bits.bitmap, mask->pos.x, mask->pos.y, MAKEROP4(code, 0x00AA0029))) {
            peer_warning("MaskBlt failed");
        }
        return;
    }
    if (!rect_size(src, &src_width, &src_height)) {
        peer_warning("bad source area");
        return;
    }
    if (src_width == width && src_height == height) {
        if (!BitBlt(dest_dc, dest.left, dest.top, width, height, src_dc, src.left, src.top, code)) {
            peer_warning("BitBlt failed");
        }
    } else if (!StretchBlt(dest_dc, dest.left, dest.top, width, height, src_dc, src.left, src.top, src_width,
                           src_height, code)) {
        peer_warning("StretchBlt failed");
    }
}

// The source of an image draw, readable through a device context: another GDI canvas (under its lock), a
// DIB-backed image (under its mutex) or a temporary DIB copy of the image.
class ImageSource {
public:
    // Before the canvas lock.
    ImageSource(GdiCanvas* canvas, SpiceImage* image, bool keep_format) {
        SpiceCanvas* surface = canvas_surface_of_image(&canvas->base, image);
        if (is_gdi_canvas(surface)) {
            surface_ = gdi(surface);
            return;
        }
        if (surface) {
            image_.reset(surface->ops->get_image(surface, 0));
        } else if (image) {
            image_.reset(canvas_get_image(&canvas->base, image, keep_format));
        }
        if (!image_) {
            peer_check_failed("src_image != NULL");
        }
    }
    ~ImageSource() {
        bits_.reset();
        if (mutex_) {
            ReleaseMutex(mutex_);
        }
    }
    ImageSource(const ImageSource&) = delete;
    ImageSource& operator=(const ImageSource&) = delete;

    bool ok() const { return surface_ || image_; }
    GdiCanvas* surface() const { return surface_; }
    // a8r8g8b8 pixels: alpha to blend by.
    bool image_has_alpha() const { return image_ && pixman_image_get_depth(image_.get()) == 32; }

    // Under the canvas lock: the DC to read from, or null.
    HDC select() {
        if (surface_) {
            surface_lock_.reset(new Lock(*surface_->lock));
            return surface_->dc;
        }
        if (!image_) {
            return nullptr;
        }
        PixmanData* data = static_cast<PixmanData*>(pixman_image_get_destroy_data(image_.get()));
        if (data && data->bitmap && data->mutex &&
            WaitForSingleObject(data->mutex, INFINITE) == WAIT_OBJECT_0) {
            mutex_ = data->mutex;
            if (bits_.select(data->bitmap)) {
                return bits_.dc;
            }
            bits_.reset();
            ReleaseMutex(mutex_);
            mutex_ = nullptr;
        }
        if (!create_bitmap(image_.get(), &bits_)) {
            peer_warning("create_bitmap failed");
            return nullptr;
        }
        return bits_.dc;
    }

private:
    GdiCanvas* surface_ = nullptr;
    ImagePtr image_;
    LockPtr surface_lock_;
    DcBitmap bits_;
    HANDLE mutex_ = nullptr;
};

// Every pixel is the ternary operation of the brush (when brush is given), the image's source area (scaled
// to bbox when the sizes differ and no mask is given) and the destination.
void draw_image(GdiCanvas* canvas, SpiceRect* bbox, SpiceClip* clip, SpiceImage* image,
                const SpiceRect& src_area, SpiceBrush* brush, uint8_t scale_mode, SpiceQMask* mask,
                uint8_t rop3) {
    ImageSource src(canvas, image, false);
    if (!src.ok()) {
        return;
    }
    std::unique_ptr<BrushSelection> selection;
    if (brush) {
        selection.reset(new BrushSelection(canvas, brush));
    }
    Lock lock(*canvas->lock);
    MaskBitmap mask_bitmap(canvas, mask);
    if (mask_bitmap.failed) {
        return;
    }
    if (selection && !selection->select() && brush->type != SPICE_BRUSH_TYPE_NONE) {
        return;
    }
    if (!set_scale_mode(canvas, scale_mode)) {
        return;
    }
    set_clip(canvas, clip, bbox);
    HDC src_dc = src.select();
    if (src_dc) {
        gdi_draw_bitmap(*bbox, rop3, src_area, canvas->dc, src_dc, &mask_bitmap);
    }
}

// ---- the draw operations ----

void gdi_canvas_draw_copy(SpiceCanvas* spice_canvas, SpiceRect* bbox, SpiceClip* clip, SpiceCopy* copy) {
    draw_image(gdi(spice_canvas), bbox, clip, copy->src_bitmap, copy->src_area, nullptr, copy->scale_mode,
               &copy->mask, gdi_calc_rop3(copy->rop_descriptor, false));
}

void gdi_canvas_draw_opaque(SpiceCanvas* spice_canvas, SpiceRect* bbox, SpiceClip* clip,
                            SpiceOpaque* opaque) {
    // Without a brush only the source is put, as in the software back end.
    const uint8_t rop3 =
        opaque->brush.type == SPICE_BRUSH_TYPE_NONE ? 0xCC : gdi_opaque_rop3(opaque->rop_descriptor);
    draw_image(gdi(spice_canvas), bbox, clip, opaque->src_bitmap, opaque->src_area, &opaque->brush,
               opaque->scale_mode, &opaque->mask, rop3);
}

void gdi_canvas_draw_rop3(SpiceCanvas* spice_canvas, SpiceRect* bbox, SpiceClip* clip, SpiceRop3* rop3) {
    draw_image(gdi(spice_canvas), bbox, clip, rop3->src_bitmap, rop3->src_area, &rop3->brush,
               rop3->scale_mode, &rop3->mask, rop3->rop3);
}

void gdi_canvas_draw_fill(SpiceCanvas* spice_canvas, SpiceRect* bbox, SpiceClip* clip, SpiceFill* fill) {
    GdiCanvas* canvas = gdi(spice_canvas);
    BrushSelection brush(canvas, &fill->brush);
    Lock lock(*canvas->lock);
    if (fill->brush.type == SPICE_BRUSH_TYPE_NONE) {
        peer_check_failed("brush != NULL");
        return;
    }
    MaskBitmap mask(canvas, &fill->mask);
    if (mask.failed || !brush.select()) {
        return;
    }
    set_clip(canvas, clip, bbox);
    gdi_draw_bitmap(*bbox, gdi_calc_rop3(fill->rop_descriptor, true), *bbox, canvas->dc, canvas->dc, &mask);
}

void draw_constant(SpiceCanvas* spice_canvas, SpiceRect* bbox, SpiceClip* clip, SpiceQMask* qmask,
                   uint8_t rop3) {
    GdiCanvas* canvas = gdi(spice_canvas);
    Lock lock(*canvas->lock);
    MaskBitmap mask(canvas, qmask);
    if (mask.failed) {
        return;
    }
    set_clip(canvas, clip, bbox);
    gdi_draw_bitmap(*bbox, rop3, *bbox, canvas->dc, canvas->dc, &mask);
}

void gdi_canvas_draw_blackness(SpiceCanvas* canvas, SpiceRect* bbox, SpiceClip* clip,
                               SpiceWhiteness* blackness) {
    draw_constant(canvas, bbox, clip, &blackness->mask, 0x00);
}

void gdi_canvas_draw_whiteness(SpiceCanvas* canvas, SpiceRect* bbox, SpiceClip* clip,
                               SpiceWhiteness* whiteness) {
    draw_constant(canvas, bbox, clip, &whiteness->mask, 0xFF);
}

void gdi_canvas_draw_invers(SpiceCanvas* canvas, SpiceRect* bbox, SpiceClip* clip, SpiceWhiteness* invers) {
    draw_constant(canvas, bbox, clip, &invers->mask, 0x55);
}

void gdi_canvas_copy_bits(SpiceCanvas* spice_canvas, SpiceRect* bbox, SpiceClip* clip, SpicePoint* src_pos) {
    GdiCanvas* canvas = gdi(spice_canvas);
    int width, height;
    if (!rect_size(*bbox, &width, &height)) {
        return;
    }
    Lock lock(*canvas->lock);
    set_clip(canvas, clip, bbox);
    if (!BitBlt(canvas->dc, bbox->left, bbox->top, width, height, canvas->dc, src_pos->x, src_pos->y,
                SRCCOPY)) {
        peer_warning("BitBlt failed");
    }
}

void gdi_canvas_draw_transparent(SpiceCanvas* spice_canvas, SpiceRect* bbox, SpiceClip* clip,
                                 SpiceTransparent* transparent) {
    GdiCanvas* canvas = gdi(spice_canvas);
    ImageSource src(canvas, transparent->src_bitmap, false);
    if (!src.ok()) {
        return;
    }
    int width, height, src_width, src_height;
    if (!rect_size(*bbox, &width, &height) || !rect_size(transparent->src_area, &src_width, &src_height)) {
        return;
    }
    Lock lock(*canvas->lock);
    set_clip(canvas, clip, bbox);
    HDC src_dc = src.select();
    const uint32_t key = transparent->true_color;
    const COLORREF colorref = RGB((key >> 16) & 0xFF, (key >> 8) & 0xFF, key & 0xFF);
    if (src_dc &&
        !TransparentBlt(canvas->dc, bbox->left, bbox->top, width, height, src_dc, transparent->src_area.left,
                        transparent->src_area.top, src_width, src_height, colorref)) {
        peer_warning("TransparentBlt failed");
    }
}

void gdi_canvas_draw_alpha_blend(SpiceCanvas* spice_canvas, SpiceRect* bbox, SpiceClip* clip,
                                 SpiceAlphaBlend* alpha_blend) {
    GdiCanvas* canvas = gdi(spice_canvas);
    ImageSource src(canvas, alpha_blend->src_bitmap, true);
    if (!src.ok()) {
        return;
    }
    int width, height, src_width, src_height;
    if (!rect_size(*bbox, &width, &height) || !rect_size(alpha_blend->src_area, &src_width, &src_height)) {
        return;
    }
    const bool per_pixel = src.surface()
                               ? (alpha_blend->alpha_flags & SPICE_ALPHA_FLAGS_SRC_SURFACE_HAS_ALPHA) != 0
                               : src.image_has_alpha();
    Lock lock(*canvas->lock);
    set_clip(canvas, clip, bbox);
    HDC src_dc = src.select();
    BLENDFUNCTION blend = {AC_SRC_OVER, 0, alpha_blend->alpha, BYTE(per_pixel ? AC_SRC_ALPHA : 0)};
    if (src_dc &&
        !AlphaBlend(canvas->dc, bbox->left, bbox->top, width, height, src_dc, alpha_blend->src_area.left,
                    alpha_blend->src_area.top, src_width, src_height, blend)) {
        peer_warning("AlphaBlend failed");
    }
}

// The glyphs of a string painted with the fore brush: a DIB painted with the brush, its alpha from the glyph
// mask (premultiplied), blended onto the canvas.
void draw_str_mask_bitmap(GdiCanvas* canvas, SpiceString* str, int bits, SpiceBrush* brush) {
    SpicePoint pos = {0, 0};
    ImagePtr mask(canvas_get_str_mask(&canvas->base, str, bits, &pos));
    if (!mask) {
        peer_warning("unable to canvas_get_str_mask");
        return;
    }
    const int width = pixman_image_get_width(mask.get());
    const int height = pixman_image_get_height(mask.get());
    BITMAPINFO info;
    memset(&info, 0, sizeof(info));
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    DcBitmap dib;
    dib.dc = CreateCompatibleDC(nullptr);
    void* dib_bits = nullptr;
    dib.bitmap = dib.dc ? CreateDIBSection(dib.dc, &info, DIB_RGB_COLORS, &dib_bits, nullptr, 0) : nullptr;
    if (!dib.bitmap) {
        peer_warning("Unable to CreateDIBSection");
        return;
    }
    dib.owns_bitmap = true;
    dib.previous = SelectObject(dib.dc, dib.bitmap);
    {
        // The brush is made for the glyph bitmap, a pattern placed so that it keeps its phase on the canvas.
        BrushSelection fore(canvas, brush, dib.dc);
        if (!fore.select()) {
            return;
        }
        if (brush->type == SPICE_BRUSH_TYPE_PATTERN) {
            SetBrushOrgEx(dib.dc, brush->u.pattern.pos.x - pos.x, brush->u.pattern.pos.y - pos.y, nullptr);
        }
        PatBlt(dib.dc, 0, 0, width, height, PATCOPY);
    }
    const uint8_t* mask_data = reinterpret_cast<const uint8_t*>(pixman_image_get_data(mask.get()));
    const int mask_stride = pixman_image_get_stride(mask.get());
    for (int y = 0; y < height; y++) {
        const uint8_t* mask_row = mask_data + ptrdiff_t(y) * mask_stride;
        uint8_t* row = static_cast<uint8_t*>(dib_bits) + size_t(y) * size_t(width) * 4;
        for (int x = 0; x < width; x++) {
            uint32_t alpha;
            if (bits == 1) {
                alpha = ((mask_row[x >> 3] >> (x & 7)) & 1) * 255;
            } else {
                alpha = mask_row[x];
            }
            uint8_t* pixel = row + 4 * x;
            for (int c = 0; c < 3; c++) {
                pixel[c] = uint8_t(pixel[c] * alpha / 255);
            }
            pixel[3] = uint8_t(alpha);
        }
    }
    const BLENDFUNCTION blend = {AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
    Lock lock(*canvas->lock);
    if (!AlphaBlend(canvas->dc, pos.x, pos.y, width, height, dib.dc, 0, 0, width, height, blend)) {
        peer_warning("AlphaBlend failed");
    }
}

void gdi_canvas_draw_text(SpiceCanvas* spice_canvas, SpiceRect* bbox, SpiceClip* clip, SpiceText* text) {
    GdiCanvas* canvas = gdi(spice_canvas);
    {
        Lock lock(*canvas->lock);
        set_clip(canvas, clip, bbox);
    }
    // Only the back area takes the back brush, as in the software back end.
    const SpiceRect& back = text->back_area;
    if (back.left != back.right && back.top != back.bottom) {
        BrushSelection brush(canvas, &text->back_brush);
        Lock lock(*canvas->lock);
        if (brush.select()) {
            gdi_draw_bitmap(back, gdi_calc_rop3(text->back_mode, true), back, canvas->dc, canvas->dc,
                            nullptr);
        }
    }
    peer_return_if_fail(text->str != nullptr);
    if (text->str->flags & SPICE_STRING_FLAGS_RASTER_A1) {
        draw_str_mask_bitmap(canvas, text->str, 1, &text->fore_brush);
    } else if (text->str->flags & SPICE_STRING_FLAGS_RASTER_A4) {
        draw_str_mask_bitmap(canvas, text->str, 4, &text->fore_brush);
    } else if (text->str->flags & SPICE_STRING_FLAGS_RASTER_A8) {
        peer_warning("untested path A8 glyphs, doing nothing");
    } else {
        peer_warning("untested path vector glyphs, doing nothing");
    }
}

double fixed_value(int32_t fixed) {
    return double(fixed >> 4) + double(fixed & 15) / 15.0;
}

// Walks the path into the DC's path and strokes each figure that ends.
void set_path(GdiCanvas* canvas, SpicePath* path) {
    for (uint32_t i = 0; i < path->num_segments; i++) {
        SpicePathSeg* seg = path->segments[i];
        SpicePointFix* point = seg->points;
        SpicePointFix* end_point = point + seg->count;
        if (seg->flags & SPICE_PATH_BEGIN) {
            BeginPath(canvas->dc);
            if (point == end_point) {
                peer_check_failed("point < end_point");
                return;
            }
            if (!MoveToEx(canvas->dc, gdi_fixed_to_int(point->x), gdi_fixed_to_int(point->y), nullptr)) {
                peer_warning("MoveToEx failed");
                return;
            }
            point++;
        }
        if (seg->flags & SPICE_PATH_BEZIER) {
            peer_return_if_fail((end_point - point) % 3 == 0);
            for (; point + 2 < end_point; point += 3) {
                POINT points[3];
                for (int k = 0; k < 3; k++) {
                    points[k] = POINT{gdi_fixed_to_int(point[k].x), gdi_fixed_to_int(point[k].y)};
                }
                if (!PolyBezierTo(canvas->dc, points, 3)) {
                    peer_warning("PolyBezierTo failed");
                    return;
                }
            }
        } else {
            for (; point < end_point; point++) {
                if (!LineTo(canvas->dc, gdi_fixed_to_int(point->x), gdi_fixed_to_int(point->y))) {
                    peer_warning("LineTo failed");
                }
            }
        }
        if (seg->flags & SPICE_PATH_END) {
            if ((seg->flags & SPICE_PATH_CLOSE) && !CloseFigure(canvas->dc)) {
                peer_warning("CloseFigure failed");
            }
            if (!EndPath(canvas->dc)) {
                peer_warning("EndPath failed");
            }
            if (!StrokePath(canvas->dc)) {
                peer_warning("StrokePath failed");
            }
        }
    }
}

// The dash and gap lengths of a styled line; with start-with-gap the first length goes last.
std::vector<DWORD> gdi_get_userstyle(uint8_t nseg, const SPICE_FIXED28_4* style, bool start_is_gap) {
    std::vector<DWORD> out;
    if (nseg == 0 || !style) {
        peer_check_failed("nseg != 0");
        return out;
    }
    for (uint8_t i = 0; i < nseg; i++) {
        const double value = fixed_value(style[i]);
        out.push_back(value > 0 ? DWORD(value) : 0);
    }
    if (start_is_gap) {
        std::rotate(out.begin(), out.begin() + 1, out.end());
    }
    return out;
}

void gdi_canvas_draw_stroke(SpiceCanvas* spice_canvas, SpiceRect* bbox, SpiceClip* clip,
                            SpiceStroke* stroke) {
    GdiCanvas* canvas = gdi(spice_canvas);
    // A solid brush colours the pen; no brush draws black, a pattern its first pixel.
    COLORREF color = 0;
    if (stroke->brush.type == SPICE_BRUSH_TYPE_SOLID) {
        color = gdi_colorref(canvas, stroke->brush.u.color);
    } else if (stroke->brush.type == SPICE_BRUSH_TYPE_PATTERN) {
        SpiceCanvas* surface = canvas_surface_of_image(&canvas->base, stroke->brush.u.pattern.pat);
        ImagePtr image(surface ? nullptr : canvas_get_image(&canvas->base, stroke->brush.u.pattern.pat, 0));
        if (image && pixman_image_get_depth(image.get()) >= 24) {
            color = gdi_colorref(canvas, pixman_image_get_data(image.get())[0] & 0xFFFFFF);
        }
    }
    std::vector<DWORD> style;
    const bool styled = stroke->attr.flags & SPICE_LINE_FLAGS_STYLED;
    if (styled) {
        style = gdi_get_userstyle(stroke->attr.style_nseg, stroke->attr.style,
                                  stroke->attr.flags & SPICE_LINE_FLAGS_START_WITH_GAP);
        if (style.empty()) {
            return;
        }
    }
    Lock lock(*canvas->lock);
    set_clip(canvas, clip, bbox);
    SetROP2(canvas->dc, gdi_stroke_mix(stroke->fore_mode));
    LOGBRUSH logbrush = {BS_SOLID, color, 0};
    HPEN pen = ExtCreatePen(PS_COSMETIC | (styled ? PS_USERSTYLE : PS_SOLID), 1, &logbrush,
                            styled ? DWORD(style.size()) : 0, styled ? style.data() : nullptr);
    if (!pen) {
        peer_warning("ExtCreatePen failed");
        return;
    }
    HGDIOBJ previous = SelectObject(canvas->dc, pen);
    set_path(canvas, stroke->path);
    SelectObject(canvas->dc, previous);
    DeleteObject(pen);
}

void gdi_canvas_put_image(SpiceCanvas* spice_canvas, HDC dc, const SpiceRect* dest, const uint8_t* src_data,
                          uint32_t src_width, uint32_t src_height, int src_stride,
                          const pixman_region32_t* clip) {
    GdiCanvas* canvas = gdi(spice_canvas);
    peer_return_if_fail(src_width > 0 && src_height > 0 && src_width <= 0x7FFF && src_height <= 0x7FFF);
    Lock lock(*canvas->lock);
    SetStretchBltMode(canvas->dc, COLORONCOLOR);
    if (clip) {
        if (!pixman_region32_not_empty(const_cast<pixman_region32_t*>(clip))) {
            return;
        }
        select_region(canvas->dc, clip);
    } else {
        SelectClipRgn(canvas->dc, nullptr);
    }
    const SpiceRect src = {0, 0, int32_t(src_width), int32_t(src_height)};
    if (dc) {
        gdi_draw_bitmap(*dest, 0xCC, src, canvas->dc, dc, nullptr);
        return;
    }
    peer_return_if_fail(src_data != nullptr && src_stride % 4 == 0 &&
                        std::abs(int64_t(src_stride)) >= int64_t(src_width) * 4);
    ImagePtr image(pixman_image_create_bits(PIXMAN_x8r8g8b8, int(src_width), int(src_height),
                                            reinterpret_cast<uint32_t*>(const_cast<uint8_t*>(src_data)),
                                            src_stride));
    DcBitmap temp;
    if (!image || !create_bitmap(image.get(), &temp)) {
        peer_warning("create_bitmap failed");
        return;
    }
    gdi_draw_bitmap(*dest, gdi_calc_rop3(SPICE_ROPD_OP_PUT, false), src, canvas->dc, temp.dc, nullptr);
}

void gdi_canvas_clear(SpiceCanvas*) {}

void gdi_canvas_destroy(SpiceCanvas* spice_canvas) {
    if (!spice_canvas) {
        return;
    }
    GdiCanvas* canvas = gdi(spice_canvas);
    HDC own_dc = canvas->base.dc;
    canvas_state_free(canvas);
    if (own_dc) {
        DeleteDC(own_dc);
    }
    delete canvas;
}

// ---- the cached images of the server's own messages ----

void gdi_canvas_draw_cache_build(SpiceCanvas* spice_canvas, SpiceMsgDisplayDrawCacheBuild* build) {
    GdiCanvas* canvas = gdi(spice_canvas);
    pixman_format_code_t format;
    int width, height;
    if (!cache_build_surface(build, &format, &width, &height)) {
        return;
    }
    peer_return_if_fail(canvas->base.bits_cache != nullptr);
    Lock lock(*canvas->lock);
    ImagePtr image(surface_create(canvas->dc, format, width, height, 0));
    if (!image) {
        canvas_debug_trace("[GDICANVAS][%s][%d]cache surface crate failed", __func__, __LINE__);
        return;
    }
    canvas->base.bits_cache->ops->put(canvas->base.bits_cache, build->cache_id, image.get());
}

void gdi_canvas_draw_cache_copy(SpiceCanvas* spice_canvas, SpiceRect* bbox, SpiceClip*,
                                SpiceMsgDisplayDrawCacheCopy* copy) {
    GdiCanvas* canvas = gdi(spice_canvas);
    SpiceImageCache* cache = canvas->base.bits_cache;
    peer_return_if_fail(cache != nullptr);
    Lock lock(*canvas->lock);
    ImagePtr target(cache->ops->get(cache, copy->cache_id));
    if (!target) {
        peer_warning("get dest id %llu cache failed", static_cast<unsigned long long>(copy->cache_id));
        return;
    }
    ImagePtr src(copy->data.src_bitmap ? canvas_get_image(&canvas->base, copy->data.src_bitmap, 0) : nullptr);
    if (!src) {
        peer_warning("parse surface failed");
        return;
    }
    // The source area, placed at the box's corner, cut to the target.
    const SpiceRect& area = copy->data.src_area;
    const int64_t x1 = std::max<int64_t>(bbox->left, 0);
    const int64_t y1 = std::max<int64_t>(bbox->top, 0);
    const int64_t x2 = std::min<int64_t>(int64_t(bbox->left) + (int64_t(area.right) - area.left),
                                         pixman_image_get_width(target.get()));
    const int64_t y2 = std::min<int64_t>(int64_t(bbox->top) + (int64_t(area.bottom) - area.top),
                                         pixman_image_get_height(target.get()));
    const int64_t src_x = int64_t(area.left) + (x1 - bbox->left);
    const int64_t src_y = int64_t(area.top) + (y1 - bbox->top);
    if (x2 <= x1 || y2 <= y1 || src_x < INT32_MIN || src_x > INT32_MAX || src_y < INT32_MIN ||
        src_y > INT32_MAX) {
        return;
    }
    spice_pixman_blit(target.get(), src.get(), int(src_x), int(src_y), int(x1), int(y1), int(x2 - x1),
                      int(y2 - y1));
}

// The ternary code of a two-input operation over the truth tables of its inputs.
uint8_t ternary_of(RasterOp op, uint8_t a, uint8_t b) {
    switch (op) {
        case ROP_CLEAR:
            return 0x00;
        case ROP_AND:
            return a & b;
        case ROP_AND_REVERSE:
            return a & uint8_t(~b);
        case ROP_COPY:
            return a;
        case ROP_AND_INVERTED:
            return uint8_t(~a) & b;
        case ROP_NOOP:
            return b;
        case ROP_XOR:
            return a ^ b;
        case ROP_OR:
            return a | b;
        case ROP_NOR:
            return uint8_t(~(a | b));
        case ROP_EQUIV:
            return uint8_t(~a ^ b);
        case ROP_INVERT:
            return uint8_t(~b);
        case ROP_OR_REVERSE:
            return a | uint8_t(~b);
        case ROP_COPY_INVERTED:
            return uint8_t(~a);
        case ROP_OR_INVERTED:
            return uint8_t(~a) | b;
        case ROP_NAND:
            return uint8_t(~(a & b));
        default:
            return 0xFF;
    }
}

// Bits of raster-operation descriptors that name inputs: source 0, brush 1, destination 2.
enum { INPUT_SRC = 0, INPUT_BRUSH = 1, INPUT_DEST = 2 };
constexpr uint8_t P = 0xF0, S = 0xCC, D = 0xAA;

}  // namespace

uint8_t gdi_calc_rop3(uint16_t rop_descriptor, bool brush) {
    const RasterOp op =
        rop_descriptor_to_pixel_op(rop_descriptor, brush ? INPUT_BRUSH : INPUT_SRC, INPUT_DEST);
    return ternary_of(op, brush ? P : S, D);
}

uint8_t gdi_opaque_rop3(uint16_t rop_descriptor) {
    return ternary_of(rop_descriptor_to_pixel_op(rop_descriptor, INPUT_BRUSH, INPUT_SRC), P, S);
}

DWORD gdi_rop3_code(uint8_t rop3) {
    return DWORD(rop3) << 16 | ROP3_LOW_WORDS[rop3];
}

int gdi_fixed_to_int(int32_t fixed) {
    return int(fixed_value(fixed));
}

int gdi_stroke_mix(uint16_t fore_mode) {
    switch (fore_mode) {
        case SPICE_ROPD_OP_PUT:
            return R2_COPYPEN;
        case SPICE_ROPD_OP_PUT | SPICE_ROPD_INVERS_BRUSH:
            return R2_NOTCOPYPEN;
        case SPICE_ROPD_OP_OR:
            return R2_MERGEPEN;
        case SPICE_ROPD_OP_OR | SPICE_ROPD_INVERS_BRUSH:
            return R2_MERGENOTPEN;
        case SPICE_ROPD_OP_OR | SPICE_ROPD_INVERS_DEST:
            return R2_MERGEPENNOT;
        case SPICE_ROPD_OP_AND:
            return R2_MASKPEN;
        case SPICE_ROPD_OP_AND | SPICE_ROPD_INVERS_BRUSH:
            return R2_MASKNOTPEN;
        case SPICE_ROPD_OP_AND | SPICE_ROPD_INVERS_DEST:
            return R2_MASKPENNOT;
        case SPICE_ROPD_OP_XOR:
            return R2_XORPEN;
        case SPICE_ROPD_OP_BLACKNESS:
            return R2_BLACK;
        case SPICE_ROPD_OP_WHITENESS:
            return R2_WHITE;
        case SPICE_ROPD_OP_INVERS:
            return R2_NOT;
        case SPICE_ROPD_OP_OR | SPICE_ROPD_INVERS_RES:
            return R2_NOTMERGEPEN;
        case SPICE_ROPD_OP_AND | SPICE_ROPD_INVERS_RES:
            return R2_NOTMASKPEN;
        case SPICE_ROPD_OP_XOR | SPICE_ROPD_INVERS_RES:
            return R2_NOTXORPEN;
        default:
            return R2_NOP;
    }
}

bool is_gdi_canvas(const SpiceCanvas* canvas) {
    return canvas && canvas->ops == &gdi_canvas_ops;
}

void gdi_canvas_ops_init() {
    if (!need_init) {
        return;
    }
    need_init = false;
    SpiceCanvasOps* ops = &gdi_canvas_ops;
    canvas_ops_set_defaults(ops);
    ops->draw_fill = gdi_canvas_draw_fill;
    ops->draw_copy = gdi_canvas_draw_copy;
    ops->draw_cache_copy = gdi_canvas_draw_cache_copy;
    ops->draw_cache_build = gdi_canvas_draw_cache_build;
    ops->draw_opaque = gdi_canvas_draw_opaque;
    ops->copy_bits = gdi_canvas_copy_bits;
    ops->draw_text = gdi_canvas_draw_text;
    ops->draw_stroke = gdi_canvas_draw_stroke;
    ops->draw_rop3 = gdi_canvas_draw_rop3;
    ops->draw_blend = gdi_canvas_draw_copy;
    ops->draw_blackness = gdi_canvas_draw_blackness;
    ops->draw_whiteness = gdi_canvas_draw_whiteness;
    ops->draw_invers = gdi_canvas_draw_invers;
    ops->draw_transparent = gdi_canvas_draw_transparent;
    ops->draw_alpha_blend = gdi_canvas_draw_alpha_blend;
    ops->put_image = gdi_canvas_put_image;
    ops->clear = gdi_canvas_clear;
    ops->destroy = gdi_canvas_destroy;
}

SpiceCanvas* gdi_canvas_new(int width, int height, HDC dc, RecurciveMutex* lock, uint32_t format,
                            SpiceImageCache* bits_cache, SpicePaletteCache* palette_cache,
                            SpiceSurfaces* surfaces, SpiceGlzDecoder* glz_decoder,
                            SpiceJpegDecoder* jpeg_decoder, SpiceZlibDecoder* zlib_decoder) {
    if (need_init || !dc || !lock) {
        return nullptr;
    }
    GdiCanvas* canvas = new GdiCanvas();
    if (!canvas_state_init(canvas, &gdi_canvas_ops, width, height, format, bits_cache, palette_cache,
                           surfaces, glz_decoder, jpeg_decoder, zlib_decoder)) {
        delete canvas;
        return nullptr;
    }
    // Decoded images of this build may live in DIB sections, drawn straight from a device context.
    canvas->base.dc = CreateCompatibleDC(nullptr);
    canvas->dc = dc;
    canvas->lock = lock;
    canvas->reserved = nullptr;
    return canvas;
}
