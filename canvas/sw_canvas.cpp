#include "canvas/sw_canvas.h"

#include <pixman.h>

#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstring>
#include <memory>

#include "canvas/canvas_utils.h"
#include "canvas/image_refs.h"
#include "canvas/pixman_utils.h"
#include "canvas/rop3.h"
#include "runtime/log.h"
#include "runtime/peer_check.h"

namespace {

struct SwCanvas : SpiceCanvas {
    pixman_image_t* image;  // the drawing target; the canvas holds one reference
};

SwCanvas* sw(SpiceCanvas* canvas) {
    return static_cast<SwCanvas*>(canvas);
}

struct ImageUnref {
    void operator()(pixman_image_t* image) const { canvas_image_unref(image); }
};
using ImagePtr = std::unique_ptr<pixman_image_t, ImageUnref>;

SpiceCanvasOps sw_canvas_ops;
bool need_init = true;  // main thread, before any canvas exists

bool fits_int(int64_t value) {
    return value >= INT32_MIN && value <= INT32_MAX;
}

// The part of a box inside a width x height image; false when none is.
bool clip_box(const pixman_box32_t& box, int width, int height, pixman_box32_t* out) {
    out->x1 = std::max(box.x1, 0);
    out->y1 = std::max(box.y1, 0);
    out->x2 = std::min(box.x2, width);
    out->y2 = std::min(box.y2, height);
    return out->x1 < out->x2 && out->y1 < out->y2;
}

// Calls fn(x, y, width, height) for the part of each box that lies on the canvas. The common code hands over
// clipped boxes; this keeps the span routines' preconditions whatever a caller passes.
template <typename Fn>
void for_each_box(SwCanvas* canvas, const pixman_box32_t* boxes, int count, Fn&& fn) {
    const int width = pixman_image_get_width(canvas->image);
    const int height = pixman_image_get_height(canvas->image);
    for (int i = 0; i < count; i++) {
        pixman_box32_t box;
        if (clip_box(boxes[i], width, height, &box)) {
            fn(box.x1, box.y1, box.x2 - box.x1, box.y2 - box.y1);
        }
    }
}

template <typename Fn>
void for_each_region_box(SwCanvas* canvas, pixman_region32_t* region, Fn&& fn) {
    int count = 0;
    const pixman_box32_t* boxes = pixman_region32_rectangles(region, &count);
    for_each_box(canvas, boxes, count, fn);
}

// Images shared with the image cache or another surface: what a slot set on them must not stay for their
// next user.
void reset_source(pixman_image_t* image) {
    pixman_image_set_transform(image, nullptr);
    pixman_image_set_filter(image, PIXMAN_FILTER_FAST, nullptr, 0);
    pixman_image_set_repeat(image, PIXMAN_REPEAT_NONE);
}

// A new image of another pixman format over the same pixels. It does not keep image alive: it is used while
// the caller holds image.
pixman_image_t* image_view(pixman_image_t* image, pixman_format_code_t format) {
    pixman_image_t* view =
        pixman_image_create_bits(format, pixman_image_get_width(image), pixman_image_get_height(image),
                                 pixman_image_get_data(image), pixman_image_get_stride(image));
    if (view) {
        if (PixmanData* data = pixman_image_add_data(view)) {
            data->format = format;
        }
    }
    return view;
}

// The image read with its fourth byte as alpha: a view for an x8r8g8b8 canvas, itself otherwise.
ImagePtr image_with_alpha(pixman_image_t* image, uint32_t surface_format) {
    if (surface_format == SPICE_SURFACE_FMT_32_xRGB) {
        return ImagePtr(image_view(image, PIXMAN_a8r8g8b8));
    }
    return ImagePtr(canvas_image_ref(image));
}

// The image of a source canvas. get_image is every back end's own, so any canvas can be a source.
ImagePtr surface_image(SpiceCanvas* surface) {
    return ImagePtr(surface->ops->get_image(surface, 0));
}

bool scale_mode_known(int scale_mode) {
    if (scale_mode == SPICE_IMAGE_SCALE_MODE_INTERPOLATE || scale_mode == SPICE_IMAGE_SCALE_MODE_NEAREST) {
        return true;
    }
    peer_check_failed(
        "scale_mode == SPICE_IMAGE_SCALE_MODE_INTERPOLATE || scale_mode == SPICE_IMAGE_SCALE_MODE_NEAREST");
    return false;
}

// Sets the transform that maps destination offset (u, v) to source point (src_x + u * fx, src_y + v * fy),
// and the filter of the scale mode. False (reported) when the factors or the source corner do not fit 16.16.
bool set_scale(pixman_image_t* src, int src_x, int src_y, int src_width, int src_height, int dest_width,
               int dest_height, pixman_filter_t filter) {
    const int64_t fx = (int64_t(src_width) << 16) / dest_width;
    const int64_t fy = (int64_t(src_height) << 16) / dest_height;
    pixman_transform_t transform;
    if (fx <= 0 || fy <= 0 || fx > INT32_MAX || fy > INT32_MAX || std::abs(int64_t(src_x)) > 0x7FFF ||
        std::abs(int64_t(src_y)) > 0x7FFF) {
        peer_warning("scale out of range");
        return false;
    }
    pixman_transform_init_scale(&transform, pixman_fixed_t(fx), pixman_fixed_t(fy));
    pixman_transform_translate(&transform, nullptr, pixman_int_to_fixed(src_x), pixman_int_to_fixed(src_y));
    pixman_image_set_transform(src, &transform);
    pixman_image_set_filter(src, filter, nullptr, 0);
    pixman_image_set_repeat(src, PIXMAN_REPEAT_NONE);
    return true;
}

pixman_filter_t scale_filter(int scale_mode) {
    return scale_mode == SPICE_IMAGE_SCALE_MODE_NEAREST ? PIXMAN_FILTER_NEAREST : PIXMAN_FILTER_GOOD;
}

bool scale_args_valid(int src_width, int src_height, int dest_width, int dest_height) {
    peer_return_val_if_fail(src_width > 0 && src_height > 0 && dest_width > 0 && dest_height > 0, false);
    return true;
}

// Clears the fourth byte over the rectangle when its top-left pixel has it at 0xFF: a blend onto a canvas
// without alpha must not leave alpha behind.
void reset_dest_alpha(pixman_image_t* image, int x, int y, int width, int height) {
    const int image_width = pixman_image_get_width(image);
    const int image_height = pixman_image_get_height(image);
    if (int64_t(x) + width <= 0 || x >= image_width || int64_t(y) + height <= 0 || y >= image_height ||
        width <= 0 || height <= 0) {
        return;
    }
    pixman_box32_t box;
    const pixman_box32_t whole = {x, y, int32_t(std::min<int64_t>(int64_t(x) + width, INT32_MAX)),
                                  int32_t(std::min<int64_t>(int64_t(y) + height, INT32_MAX))};
    if (!clip_box(whole, image_width, image_height, &box)) {
        return;
    }
    const uint8_t* row = reinterpret_cast<const uint8_t*>(pixman_image_get_data(image)) +
                         ptrdiff_t(box.y1) * pixman_image_get_stride(image);
    uint32_t corner;
    memcpy(&corner, row + 4 * box.x1, 4);
    if ((corner >> 24) == 0xFF) {
        spice_pixman_fill_rect_rop(image, box.x1, box.y1, box.x2 - box.x1, box.y2 - box.y1, 0x00FFFFFF,
                                   ROP_AND);
    }
}

// The scaled raster-op and colour-key copies: the source is scaled once into a temporary image covering the
// region's part of the destination rectangle, then each rectangle is copied by copy(temp, temp_x, temp_y,
// x, y, width, height).
template <typename Copy>
void scale_through_temporary(SwCanvas* canvas, pixman_region32_t* region, pixman_image_t* src, int src_x,
                             int src_y, int src_width, int src_height, int dest_x, int dest_y, int dest_width,
                             int dest_height, pixman_filter_t filter, Copy&& copy) {
    if (!scale_args_valid(src_width, src_height, dest_width, dest_height)) {
        return;
    }
    // The temporary takes the format recorded for the source; the lookup itself reports a missing record.
    pixman_format_code_t format;
    if (!spice_pixman_image_get_format(src, &format)) {
        peer_check_failed("spice_pixman_image_get_format(src, &format)");
        return;
    }
    // The temporary covers only what will be drawn, however large the destination rectangle is.
    const pixman_box32_t* extents = pixman_region32_extents(region);
    const pixman_box32_t dest = {dest_x, dest_y,
                                 int32_t(std::min<int64_t>(int64_t(dest_x) + dest_width, INT32_MAX)),
                                 int32_t(std::min<int64_t>(int64_t(dest_y) + dest_height, INT32_MAX))};
    pixman_box32_t area = {std::max(extents->x1, dest.x1), std::max(extents->y1, dest.y1),
                           std::min(extents->x2, dest.x2), std::min(extents->y2, dest.y2)};
    pixman_box32_t on_canvas;
    if (!clip_box(area, pixman_image_get_width(canvas->image), pixman_image_get_height(canvas->image),
                  &on_canvas)) {
        return;
    }
    area = on_canvas;
    const int width = area.x2 - area.x1;
    const int height = area.y2 - area.y1;
    ImagePtr temp(pixman_image_create_bits(format, width, height, nullptr, 0));
    if (!temp) {
        peer_warning("create surface failed");
        return;
    }
    if (!set_scale(src, src_x, src_y, src_width, src_height, dest_width, dest_height, filter)) {
        return;
    }
    pixman_region32_translate(region, -area.x1, -area.y1);
    pixman_image_set_clip_region32(temp.get(), region);
    pixman_image_composite32(PIXMAN_OP_SRC, src, nullptr, temp.get(), area.x1 - dest_x, area.y1 - dest_y, 0,
                             0, 0, 0, width, height);
    pixman_image_set_clip_region32(temp.get(), nullptr);
    pixman_region32_translate(region, area.x1, area.y1);
    reset_source(src);

    for_each_region_box(canvas, region, [&](int x, int y, int w, int h) {
        copy(temp.get(), x - area.x1, y - area.y1, x, y, w, h);
    });
}

// ---- slots ----

void sw_fill_solid_spans(SpiceCanvas* spice_canvas, SpicePoint* points, int* widths, int n_spans,
                         uint32_t color) {
    SwCanvas* canvas = sw(spice_canvas);
    for (int i = 0; i < n_spans; i++) {
        const pixman_box32_t box = {points[i].x, points[i].y,
                                    int32_t(std::min<int64_t>(int64_t(points[i].x) + widths[i], INT32_MAX)),
                                    int32_t(std::min<int64_t>(int64_t(points[i].y) + 1, INT32_MAX))};
        for_each_box(canvas, &box, 1, [&](int x, int y, int w, int h) {
            spice_pixman_fill_rect(canvas->image, x, y, w, h, color);
        });
    }
}

void sw_fill_solid_rects(SpiceCanvas* spice_canvas, pixman_box32_t* rects, int n_rects, uint32_t color) {
    SwCanvas* canvas = sw(spice_canvas);
    for_each_box(canvas, rects, n_rects, [&](int x, int y, int w, int h) {
        spice_pixman_fill_rect(canvas->image, x, y, w, h, color);
    });
}

void sw_fill_solid_rects_rop(SpiceCanvas* spice_canvas, pixman_box32_t* rects, int n_rects, uint32_t color,
                             RasterOp rop) {
    SwCanvas* canvas = sw(spice_canvas);
    for_each_box(canvas, rects, n_rects, [&](int x, int y, int w, int h) {
        spice_pixman_fill_rect_rop(canvas->image, x, y, w, h, color, rop);
    });
}

void sw_fill_tiled_rects(SpiceCanvas* spice_canvas, pixman_box32_t* rects, int n_rects, pixman_image_t* tile,
                         int offset_x, int offset_y) {
    SwCanvas* canvas = sw(spice_canvas);
    for_each_box(canvas, rects, n_rects, [&](int x, int y, int w, int h) {
        spice_pixman_tile_rect(canvas->image, x, y, w, h, tile, offset_x, offset_y);
    });
}

void sw_fill_tiled_rects_from_surface(SpiceCanvas* canvas, pixman_box32_t* rects, int n_rects,
                                      SpiceCanvas* tile, int offset_x, int offset_y) {
    ImagePtr image = surface_image(tile);
    if (image) {
        sw_fill_tiled_rects(canvas, rects, n_rects, image.get(), offset_x, offset_y);
    }
}

void sw_fill_tiled_rects_rop(SpiceCanvas* spice_canvas, pixman_box32_t* rects, int n_rects,
                             pixman_image_t* tile, int offset_x, int offset_y, RasterOp rop) {
    SwCanvas* canvas = sw(spice_canvas);
    for_each_box(canvas, rects, n_rects, [&](int x, int y, int w, int h) {
        spice_pixman_tile_rect_rop(canvas->image, x, y, w, h, tile, offset_x, offset_y, rop);
    });
}

void sw_fill_tiled_rects_rop_from_surface(SpiceCanvas* canvas, pixman_box32_t* rects, int n_rects,
                                          SpiceCanvas* tile, int offset_x, int offset_y, RasterOp rop) {
    ImagePtr image = surface_image(tile);
    if (image) {
        sw_fill_tiled_rects_rop(canvas, rects, n_rects, image.get(), offset_x, offset_y, rop);
    }
}

// The copies: destination (x, y) takes source (x - offset_x, y - offset_y); the span routines drop what lies
// outside the source.
template <typename Copy>
void copy_region_boxes(SwCanvas* canvas, pixman_region32_t* region, int offset_x, int offset_y, Copy&& copy) {
    for_each_region_box(canvas, region, [&](int x, int y, int w, int h) {
        const int64_t src_x = int64_t(x) - offset_x;
        const int64_t src_y = int64_t(y) - offset_y;
        if (fits_int(src_x) && fits_int(src_y)) {
            copy(int(src_x), int(src_y), x, y, w, h);
        }
    });
}

void sw_blit_image(SpiceCanvas* spice_canvas, pixman_region32_t* region, pixman_image_t* src_image,
                   int offset_x, int offset_y) {
    SwCanvas* canvas = sw(spice_canvas);
    copy_region_boxes(canvas, region, offset_x, offset_y, [&](int sx, int sy, int x, int y, int w, int h) {
        spice_pixman_blit(canvas->image, src_image, sx, sy, x, y, w, h);
    });
}

void sw_blit_image_from_surface(SpiceCanvas* canvas, pixman_region32_t* region, SpiceCanvas* src,
                                int offset_x, int offset_y) {
    ImagePtr image = surface_image(src);
    if (image) {
        sw_blit_image(canvas, region, image.get(), offset_x, offset_y);
    }
}

void sw_blit_image_rop(SpiceCanvas* spice_canvas, pixman_region32_t* region, pixman_image_t* src_image,
                       int offset_x, int offset_y, RasterOp rop) {
    SwCanvas* canvas = sw(spice_canvas);
    copy_region_boxes(canvas, region, offset_x, offset_y, [&](int sx, int sy, int x, int y, int w, int h) {
        spice_pixman_blit_rop(canvas->image, src_image, sx, sy, x, y, w, h, rop);
    });
}

void sw_blit_image_rop_from_surface(SpiceCanvas* canvas, pixman_region32_t* region, SpiceCanvas* src,
                                    int offset_x, int offset_y, RasterOp rop) {
    ImagePtr image = surface_image(src);
    if (image) {
        sw_blit_image_rop(canvas, region, image.get(), offset_x, offset_y, rop);
    }
}

void sw_scale_image(SpiceCanvas* spice_canvas, pixman_region32_t* region, pixman_image_t* src, int src_x,
                    int src_y, int src_width, int src_height, int dest_x, int dest_y, int dest_width,
                    int dest_height, int scale_mode) {
    SwCanvas* canvas = sw(spice_canvas);
    if (!scale_mode_known(scale_mode) || !scale_args_valid(src_width, src_height, dest_width, dest_height) ||
        !set_scale(src, src_x, src_y, src_width, src_height, dest_width, dest_height,
                   scale_filter(scale_mode))) {
        return;
    }
    pixman_image_set_clip_region32(canvas->image, region);
    pixman_image_composite32(PIXMAN_OP_SRC, src, nullptr, canvas->image, 0, 0, 0, 0, dest_x, dest_y,
                             dest_width, dest_height);
    pixman_image_set_clip_region32(canvas->image, nullptr);
    reset_source(src);
}

void sw_scale_image_from_surface(SpiceCanvas* canvas, pixman_region32_t* region, SpiceCanvas* src, int src_x,
                                 int src_y, int src_width, int src_height, int dest_x, int dest_y,
                                 int dest_width, int dest_height, int scale_mode) {
    ImagePtr image = surface_image(src);
    if (image) {
        sw_scale_image(canvas, region, image.get(), src_x, src_y, src_width, src_height, dest_x, dest_y,
                       dest_width, dest_height, scale_mode);
    }
}

void sw_scale_image_rop(SpiceCanvas* spice_canvas, pixman_region32_t* region, pixman_image_t* src, int src_x,
                        int src_y, int src_width, int src_height, int dest_x, int dest_y, int dest_width,
                        int dest_height, int scale_mode, RasterOp rop) {
    SwCanvas* canvas = sw(spice_canvas);
    if (!scale_mode_known(scale_mode)) {
        return;
    }
    scale_through_temporary(canvas, region, src, src_x, src_y, src_width, src_height, dest_x, dest_y,
                            dest_width, dest_height, scale_filter(scale_mode),
                            [&](pixman_image_t* temp, int tx, int ty, int x, int y, int w, int h) {
                                spice_pixman_blit_rop(canvas->image, temp, tx, ty, x, y, w, h, rop);
                            });
}

void sw_scale_image_rop_from_surface(SpiceCanvas* canvas, pixman_region32_t* region, SpiceCanvas* src,
                                     int src_x, int src_y, int src_width, int src_height, int dest_x,
                                     int dest_y, int dest_width, int dest_height, int scale_mode,
                                     RasterOp rop) {
    ImagePtr image = surface_image(src);
    if (image) {
        sw_scale_image_rop(canvas, region, image.get(), src_x, src_y, src_width, src_height, dest_x, dest_y,
                           dest_width, dest_height, scale_mode, rop);
    }
}

// OVER of src (scaled when a scale mode is given, scale_mode < 0 otherwise) through the overall alpha.
void blend(SwCanvas* canvas, pixman_region32_t* region, int dest_has_alpha, pixman_image_t* src, int src_x,
           int src_y, int src_width, int src_height, int dest_x, int dest_y, int dest_width, int dest_height,
           int scale_mode, int overall_alpha) {
    if (scale_mode >= 0) {
        if (!scale_mode_known(scale_mode) ||
            !scale_args_valid(src_width, src_height, dest_width, dest_height) ||
            !set_scale(src, src_x, src_y, src_width, src_height, dest_width, dest_height,
                       scale_filter(scale_mode))) {
            return;
        }
        src_x = 0;
        src_y = 0;
    } else {
        // A transform left on a shared image by anyone must not move this copy.
        reset_source(src);
    }
    ImagePtr dest = dest_has_alpha ? image_with_alpha(canvas->image, canvas->base.format)
                                   : ImagePtr(canvas_image_ref(canvas->image));
    ImagePtr mask;
    if (overall_alpha != 255) {
        const pixman_color_t color = {0, 0, 0, uint16_t((overall_alpha & 0xFF) * 257)};
        mask.reset(pixman_image_create_solid_fill(&color));
    }
    if (dest) {
        pixman_image_set_clip_region32(dest.get(), region);
        pixman_image_composite32(PIXMAN_OP_OVER, src, mask.get(), dest.get(), src_x, src_y, 0, 0, dest_x,
                                 dest_y, dest_width, dest_height);
        pixman_image_set_clip_region32(dest.get(), nullptr);
        if (canvas->base.format == SPICE_SURFACE_FMT_32_xRGB && !dest_has_alpha) {
            reset_dest_alpha(canvas->image, dest_x, dest_y, dest_width, dest_height);
        }
    }
    reset_source(src);
}

void sw_blend_image(SpiceCanvas* canvas, pixman_region32_t* region, int dest_has_alpha, pixman_image_t* src,
                    int src_x, int src_y, int dest_x, int dest_y, int width, int height, int overall_alpha) {
    blend(sw(canvas), region, dest_has_alpha, src, src_x, src_y, width, height, dest_x, dest_y, width, height,
          -1, overall_alpha);
}

void sw_blend_image_from_surface(SpiceCanvas* canvas, pixman_region32_t* region, int dest_has_alpha,
                                 SpiceCanvas* src, int src_has_alpha, int src_x, int src_y, int dest_x,
                                 int dest_y, int width, int height, int overall_alpha) {
    // The surface image outlives its alpha view: both are held until the blend is done.
    ImagePtr owner = surface_image(src);
    ImagePtr image = owner && src_has_alpha ? image_with_alpha(owner.get(), src->base.format) : nullptr;
    pixman_image_t* source = image ? image.get() : owner.get();
    if (source) {
        blend(sw(canvas), region, dest_has_alpha, source, src_x, src_y, width, height, dest_x, dest_y, width,
              height, -1, overall_alpha);
    }
}

void sw_blend_scale_image(SpiceCanvas* canvas, pixman_region32_t* region, int dest_has_alpha,
                          pixman_image_t* src, int src_x, int src_y, int src_width, int src_height,
                          int dest_x, int dest_y, int dest_width, int dest_height, int scale_mode,
                          int overall_alpha) {
    blend(sw(canvas), region, dest_has_alpha, src, src_x, src_y, src_width, src_height, dest_x, dest_y,
          dest_width, dest_height, scale_mode, overall_alpha);
}

void sw_blend_scale_image_from_surface(SpiceCanvas* canvas, pixman_region32_t* region, int dest_has_alpha,
                                       SpiceCanvas* src, int src_has_alpha, int src_x, int src_y,
                                       int src_width, int src_height, int dest_x, int dest_y, int dest_width,
                                       int dest_height, int scale_mode, int overall_alpha) {
    ImagePtr owner = surface_image(src);
    ImagePtr image = owner && src_has_alpha ? image_with_alpha(owner.get(), src->base.format) : nullptr;
    pixman_image_t* source = image ? image.get() : owner.get();
    if (source) {
        blend(sw(canvas), region, dest_has_alpha, source, src_x, src_y, src_width, src_height, dest_x, dest_y,
              dest_width, dest_height, scale_mode, overall_alpha);
    }
}

void sw_colorkey_image(SpiceCanvas* spice_canvas, pixman_region32_t* region, pixman_image_t* src_image,
                       int offset_x, int offset_y, uint32_t transparent_color) {
    SwCanvas* canvas = sw(spice_canvas);
    copy_region_boxes(canvas, region, offset_x, offset_y, [&](int sx, int sy, int x, int y, int w, int h) {
        spice_pixman_blit_colorkey(canvas->image, src_image, sx, sy, x, y, w, h, transparent_color);
    });
}

void sw_colorkey_image_from_surface(SpiceCanvas* canvas, pixman_region32_t* region, SpiceCanvas* src,
                                    int offset_x, int offset_y, uint32_t transparent_color) {
    ImagePtr image = surface_image(src);
    if (image) {
        sw_colorkey_image(canvas, region, image.get(), offset_x, offset_y, transparent_color);
    }
}

void sw_colorkey_scale_image(SpiceCanvas* spice_canvas, pixman_region32_t* region, pixman_image_t* src,
                             int src_x, int src_y, int src_width, int src_height, int dest_x, int dest_y,
                             int dest_width, int dest_height, uint32_t transparent_color) {
    SwCanvas* canvas = sw(spice_canvas);
    scale_through_temporary(
        canvas, region, src, src_x, src_y, src_width, src_height, dest_x, dest_y, dest_width, dest_height,
        PIXMAN_FILTER_NEAREST, [&](pixman_image_t* temp, int tx, int ty, int x, int y, int w, int h) {
            spice_pixman_blit_colorkey(canvas->image, temp, tx, ty, x, y, w, h, transparent_color);
        });
}

void sw_colorkey_scale_image_from_surface(SpiceCanvas* canvas, pixman_region32_t* region, SpiceCanvas* src,
                                          int src_x, int src_y, int src_width, int src_height, int dest_x,
                                          int dest_y, int dest_width, int dest_height,
                                          uint32_t transparent_color) {
    ImagePtr image = surface_image(src);
    if (image) {
        sw_colorkey_scale_image(canvas, region, image.get(), src_x, src_y, src_width, src_height, dest_x,
                                dest_y, dest_width, dest_height, transparent_color);
    }
}

void sw_copy_region(SpiceCanvas* spice_canvas, pixman_region32_t* dest_region, int dx, int dy) {
    SwCanvas* canvas = sw(spice_canvas);
    int count = 0;
    const pixman_box32_t* boxes = pixman_region32_rectangles(dest_region, &count);
    const int width = pixman_image_get_width(canvas->image);
    const int height = pixman_image_get_height(canvas->image);
    auto copy = [&](const pixman_box32_t& box) {
        const int64_t src_x = int64_t(box.x1) - dx;
        const int64_t src_y = int64_t(box.y1) - dy;
        const int w = box.x2 - box.x1;
        const int h = box.y2 - box.y1;
        // Both rectangles must lie on the canvas; the common code keeps only such pixels.
        if (box.x1 < 0 || box.y1 < 0 || box.x2 > width || box.y2 > height || src_x < 0 || src_y < 0 ||
            src_x + w > width || src_y + h > height) {
            peer_warning("copy outside the canvas");
            return;
        }
        spice_pixman_copy_within(canvas->image, int(src_x), int(src_y), w, h, box.x1, box.y1);
    };
    // The order never reads a pixel already overwritten. A band is the boxes sharing y1.
    auto band_end = [&](int first) {
        int end = first;
        while (end < count && boxes[end].y1 == boxes[first].y1) {
            end++;
        }
        return end;
    };
    if (dy > 0) {
        if (dx >= 0) {
            for (int i = count - 1; i >= 0; i--) {
                copy(boxes[i]);
            }
            return;
        }
        int end = count;
        while (end > 0) {
            int first = end - 1;
            while (first > 0 && boxes[first - 1].y1 == boxes[end - 1].y1) {
                first--;
            }
            for (int i = first; i < end; i++) {
                copy(boxes[i]);
            }
            end = first;
        }
        return;
    }
    if (dx > 0) {
        for (int first = 0; first < count;) {
            const int end = band_end(first);
            for (int i = end - 1; i >= first; i--) {
                copy(boxes[i]);
            }
            first = end;
        }
        return;
    }
    for (int i = 0; i < count; i++) {
        copy(boxes[i]);
    }
}

pixman_image_t* sw_get_image(SpiceCanvas* spice_canvas, int force_opaque) {
    SwCanvas* canvas = sw(spice_canvas);
    if (force_opaque && pixman_image_get_format(canvas->image) == PIXMAN_a8r8g8b8) {
        return image_view(canvas->image, PIXMAN_x8r8g8b8);
    }
    return canvas_image_ref(canvas->image);
}

// ---- the back end's own draw operations ----

void region_from_rect(pixman_region32_t* region, const SpiceRect& rect) {
    if (rect.left < rect.right && rect.top < rect.bottom) {
        const pixman_box32_t box = {rect.left, rect.top, rect.right, rect.bottom};
        pixman_region32_init_with_extents(region, &box);
    } else {
        pixman_region32_init(region);
    }
}

// A pixman source for a brush: a solid fill, or the pattern repeating with its pixel (0, 0) at the pattern
// position on the canvas. Null for no brush or a pattern that cannot be had.
ImagePtr canvas_get_pixman_brush(SwCanvas* canvas, SpiceBrush* brush) {
    switch (brush->type) {
        case SPICE_BRUSH_TYPE_NONE:
            return nullptr;
        case SPICE_BRUSH_TYPE_SOLID: {
            const uint32_t c = brush->u.color;
            const uint32_t mask = canvas->base.color_mask;
            const uint32_t shift = canvas->base.color_shift;
            const pixman_color_t color = {uint16_t(((c >> (2 * shift)) & mask) * 65535 / mask),
                                          uint16_t(((c >> shift) & mask) * 65535 / mask),
                                          uint16_t((c & mask) * 65535 / mask), 65535};
            return ImagePtr(pixman_image_create_solid_fill(&color));
        }
        case SPICE_BRUSH_TYPE_PATTERN: {
            SpiceCanvas* surface = canvas_surface_of_image(&canvas->base, brush->u.pattern.pat);
            ImagePtr image(surface ? surface->ops->get_image(surface, 0)
                                   : canvas_get_image(&canvas->base, brush->u.pattern.pat, 0));
            if (!image) {
                return nullptr;
            }
            const int width = pixman_image_get_width(image.get());
            const int height = pixman_image_get_height(image.get());
            peer_return_val_if_fail(width > 0 && width <= 0x7FFF && height > 0 && height <= 0x7FFF, nullptr);
            // The pattern repeats, so its position counts only modulo its size, which keeps it in 16.16.
            auto wrap = [](int64_t value, int size) { return int((value % size + size) % size); };
            pixman_transform_t transform;
            pixman_transform_init_translate(&transform,
                                            pixman_int_to_fixed(-wrap(brush->u.pattern.pos.x, width)),
                                            pixman_int_to_fixed(-wrap(brush->u.pattern.pos.y, height)));
            pixman_image_set_transform(image.get(), &transform);
            pixman_image_set_repeat(image.get(), PIXMAN_REPEAT_NORMAL);
            return image;
        }
        default:
            spice_warn_if_reached();
            return nullptr;
    }
}

void visit_pattern(SpiceCanvas* canvas, const SpiceBrush& brush) {
    if (brush.type == SPICE_BRUSH_TYPE_PATTERN && brush.u.pattern.pat) {
        canvas_visit_image(&canvas->base, brush.u.pattern.pat);
    }
}

void canvas_draw_text(SpiceCanvas* spice_canvas, SpiceRect* bbox, SpiceClip* clip, SpiceText* text) {
    SwCanvas* canvas = sw(spice_canvas);
    pixman_region32_t dest_region;
    region_from_rect(&dest_region, *bbox);
    canvas_clip_pixman(&canvas->base, &dest_region, clip);
    std::unique_ptr<pixman_region32_t, void (*)(pixman_region32_t*)> region_guard(&dest_region,
                                                                                  pixman_region32_fini);
    if (!pixman_region32_not_empty(&dest_region)) {
        visit_pattern(canvas, text->fore_brush);
        visit_pattern(canvas, text->back_brush);
        return;
    }
    const SpiceRect& back = text->back_area;
    if (back.left != back.right && back.top != back.bottom) {
        peer_return_if_fail(text->fore_mode == SPICE_ROPD_OP_PUT);
        pixman_region32_t back_region;
        region_from_rect(&back_region, back);
        pixman_region32_intersect(&back_region, &back_region, &dest_region);
        if (pixman_region32_not_empty(&back_region)) {
            draw_brush(canvas, &back_region, &text->back_brush, ROP_COPY);
        }
        pixman_region32_fini(&back_region);
    }
    peer_return_if_fail(text->str != nullptr);
    int depth;
    if (text->str->flags & SPICE_STRING_FLAGS_RASTER_A1) {
        depth = 1;
    } else if (text->str->flags & SPICE_STRING_FLAGS_RASTER_A4) {
        depth = 4;
    } else if (text->str->flags & SPICE_STRING_FLAGS_RASTER_A8) {
        peer_warning("untested path A8 glyphs");
        depth = 8;
    } else {
        peer_warning("unsupported path vector glyphs");
        return;
    }
    ImagePtr brush = canvas_get_pixman_brush(canvas, &text->fore_brush);
    SpicePoint pos = {0, 0};
    ImagePtr str_mask(canvas_get_str_mask(&canvas->base, text->str, depth, &pos));
    if (!brush || !str_mask) {
        if (brush) {
            reset_source(brush.get());
        }
        return;
    }
    const int width = pixman_image_get_width(str_mask.get());
    const int height = pixman_image_get_height(str_mask.get());
    pixman_image_set_clip_region32(canvas->image, &dest_region);
    // The brush is read at canvas coordinates, so a pattern keeps its phase on the canvas.
    pixman_image_composite32(PIXMAN_OP_OVER, brush.get(), str_mask.get(), canvas->image, pos.x, pos.y, 0, 0,
                             pos.x, pos.y, width, height);
    if (canvas->base.format == SPICE_SURFACE_FMT_32_xRGB) {
        reset_dest_alpha(canvas->image, pos.x, pos.y, width, height);
    }
    pixman_image_set_clip_region32(canvas->image, nullptr);
    reset_source(brush.get());
}

void sw_put_image(SpiceCanvas* spice_canvas, HDC, const SpiceRect* dest, const uint8_t* src_data,
                  uint32_t src_width, uint32_t src_height, int src_stride, const pixman_region32_t* clip) {
    SwCanvas* canvas = sw(spice_canvas);
    const int64_t dest_width = int64_t(dest->right) - dest->left;
    const int64_t dest_height = int64_t(dest->bottom) - dest->top;
    peer_return_if_fail(dest_width > 0 && dest_height > 0 && dest_width <= INT32_MAX &&
                        dest_height <= INT32_MAX);
    peer_return_if_fail(src_data != nullptr && src_width > 0 && src_height > 0 && src_width <= 0x7FFF &&
                        src_height <= 0x7FFF);
    peer_return_if_fail(src_stride % 4 == 0 && std::abs(int64_t(src_stride)) >= int64_t(src_width) * 4);
    ImagePtr src(pixman_image_create_bits(PIXMAN_x8r8g8b8, int(src_width), int(src_height),
                                          reinterpret_cast<uint32_t*>(const_cast<uint8_t*>(src_data)),
                                          src_stride));
    peer_return_if_fail(src != nullptr);
    if (clip) {
        pixman_image_set_clip_region32(canvas->image, const_cast<pixman_region32_t*>(clip));
    }
    if (dest_width != src_width || dest_height != src_height) {
        const double fx = double(src_width) / double(dest_width) * 65536.0;
        const double fy = double(src_height) / double(dest_height) * 65536.0;
        if (fx >= 1.0 && fy >= 1.0 && fx <= INT32_MAX && fy <= INT32_MAX) {
            pixman_transform_t transform;
            pixman_transform_init_scale(&transform, pixman_fixed_t(fx), pixman_fixed_t(fy));
            pixman_image_set_transform(src.get(), &transform);
            pixman_image_set_filter(src.get(), PIXMAN_FILTER_NEAREST, nullptr, 0);
        } else {
            peer_warning("put scale out of range");
            src.reset();
        }
    }
    if (src) {
        pixman_image_set_repeat(src.get(), PIXMAN_REPEAT_NONE);
        pixman_image_composite32(PIXMAN_OP_SRC, src.get(), nullptr, canvas->image, 0, 0, 0, 0, dest->left,
                                 dest->top, int(dest_width), int(dest_height));
    }
    pixman_image_set_clip_region32(canvas->image, nullptr);
}

void sw_clear(SpiceCanvas* spice_canvas) {
    SwCanvas* canvas = sw(spice_canvas);
    const int width = pixman_image_get_width(canvas->image);
    const int height = pixman_image_get_height(canvas->image);
    if (width > 0 && height > 0) {
        spice_pixman_fill_rect(canvas->image, 0, 0, width, height, 0);
    }
}

void canvas_read_bits(SpiceCanvas* canvas, uint8_t* dest, int dest_stride, const SpiceRect* area) {
    peer_return_if_fail(canvas && area);
    pixman_image_t* image = sw(canvas)->image;
    const int bytes_per_pixel = PIXMAN_FORMAT_BPP(pixman_image_get_format(image)) / 8;
    // The area is the caller's; it must lie on the canvas, which is all there is to read.
    peer_return_if_fail(bytes_per_pixel > 0 && area->left >= 0 && area->top >= 0 &&
                        area->left <= area->right && area->top <= area->bottom &&
                        area->right <= pixman_image_get_width(image) &&
                        area->bottom <= pixman_image_get_height(image));
    const size_t row_bytes = size_t(area->right - area->left) * size_t(bytes_per_pixel);
    const int stride = pixman_image_get_stride(image);
    const uint8_t* src = reinterpret_cast<const uint8_t*>(pixman_image_get_data(image)) +
                         ptrdiff_t(area->top) * stride + ptrdiff_t(area->left) * bytes_per_pixel;
    for (int y = area->top; y < area->bottom; y++) {
        memcpy(dest, src, row_bytes);
        dest += dest_stride;
        src += stride;
    }
}

void sw_destroy(SpiceCanvas* spice_canvas) {
    if (!spice_canvas) {
        return;
    }
    SwCanvas* canvas = sw(spice_canvas);
    canvas_image_unref(canvas->image);
    canvas_state_free(canvas);
    delete canvas;
}

// ---- the cached surfaces of the server's own messages ----

void sw_draw_cache_build(SpiceCanvas* canvas, SpiceMsgDisplayDrawCacheBuild* build) {
    pixman_format_code_t format;
    int width, height;
    if (!cache_build_surface(build, &format, &width, &height)) {
        return;
    }
    peer_return_if_fail(canvas->base.bits_cache != nullptr);
    ImagePtr image(surface_create(nullptr, format, width, height, 0));
    if (!image) {
        peer_warning("cache surface create failed");
        return;
    }
    canvas->base.bits_cache->ops->put(canvas->base.bits_cache, build->cache_id, image.get());
}

void sw_draw_cache_copy(SpiceCanvas* canvas, SpiceRect* bbox, SpiceClip*,
                        SpiceMsgDisplayDrawCacheCopy* copy) {
    SpiceImageCache* cache = canvas->base.bits_cache;
    peer_return_if_fail(cache != nullptr);
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
    if (x2 <= x1 || y2 <= y1 || !fits_int(src_x) || !fits_int(src_y)) {
        return;
    }
    spice_pixman_blit(target.get(), src.get(), int(src_x), int(src_y), int(x1), int(y1), int(x2 - x1),
                      int(y2 - y1));
}

}  // namespace

void sw_canvas_ops_init() {
    if (!need_init) {
        return;
    }
    need_init = false;
    SpiceCanvasOps* ops = &sw_canvas_ops;
    canvas_ops_set_defaults(ops);
    ops->draw_cache_copy = sw_draw_cache_copy;
    ops->draw_cache_build = sw_draw_cache_build;
    ops->draw_text = canvas_draw_text;
    ops->put_image = sw_put_image;
    ops->clear = sw_clear;
    ops->read_bits = canvas_read_bits;
    ops->destroy = sw_destroy;
    ops->fill_solid_spans = sw_fill_solid_spans;
    ops->fill_solid_rects = sw_fill_solid_rects;
    ops->fill_solid_rects_rop = sw_fill_solid_rects_rop;
    ops->fill_tiled_rects = sw_fill_tiled_rects;
    ops->fill_tiled_rects_from_surface = sw_fill_tiled_rects_from_surface;
    ops->fill_tiled_rects_rop = sw_fill_tiled_rects_rop;
    ops->fill_tiled_rects_rop_from_surface = sw_fill_tiled_rects_rop_from_surface;
    ops->blit_image = sw_blit_image;
    ops->blit_image_from_surface = sw_blit_image_from_surface;
    ops->blit_image_rop = sw_blit_image_rop;
    ops->blit_image_rop_from_surface = sw_blit_image_rop_from_surface;
    ops->scale_image = sw_scale_image;
    ops->scale_image_from_surface = sw_scale_image_from_surface;
    ops->scale_image_rop = sw_scale_image_rop;
    ops->scale_image_rop_from_surface = sw_scale_image_rop_from_surface;
    ops->blend_image = sw_blend_image;
    ops->blend_image_from_surface = sw_blend_image_from_surface;
    ops->blend_scale_image = sw_blend_scale_image;
    ops->blend_scale_image_from_surface = sw_blend_scale_image_from_surface;
    ops->colorkey_image = sw_colorkey_image;
    ops->colorkey_image_from_surface = sw_colorkey_image_from_surface;
    ops->colorkey_scale_image = sw_colorkey_scale_image;
    ops->colorkey_scale_image_from_surface = sw_colorkey_scale_image_from_surface;
    ops->copy_region = sw_copy_region;
    ops->get_image = sw_get_image;
    init_rop3_handlers();
}

SpiceCanvas* sw_canvas_new(pixman_image_t* image, uint32_t format, SpiceImageCache* bits_cache,
                           SpicePaletteCache* palette_cache, SpiceSurfaces* surfaces,
                           SpiceGlzDecoder* glz_decoder, SpiceJpegDecoder* jpeg_decoder,
                           SpiceZlibDecoder* zlib_decoder) {
    if (need_init || !image) {
        return nullptr;
    }
    if (PixmanData* data = pixman_image_add_data(image)) {
        data->format = surface_format_to_pixman_format(format);
    }
    SwCanvas* canvas = new SwCanvas();
    if (!canvas_state_init(canvas, &sw_canvas_ops, pixman_image_get_width(image),
                           pixman_image_get_height(image), format, bits_cache, palette_cache, surfaces,
                           glz_decoder, jpeg_decoder, zlib_decoder)) {
        delete canvas;
        return nullptr;
    }
    canvas->image = image;
    return canvas;
}
