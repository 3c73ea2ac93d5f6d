#include "canvas/canvas_base.h"

#include <pixman.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "canvas/image_refs.h"
#include "canvas/lines.h"
#include "canvas/rop3.h"
#include "runtime/log.h"
#include "runtime/peer_check.h"

// Every check here can be reached by server data: it is reported by peer_check.h and the draw abandoned.

namespace {

// The destination region of a draw: the box when it has area, else empty.
void region_from_rect(pixman_region32_t* region, const SpiceRect* rect) {
    if (rect->left < rect->right && rect->top < rect->bottom) {
        const pixman_box32_t box = {rect->left, rect->top, rect->right, rect->bottom};
        pixman_region32_init_with_extents(region, &box);
    } else {
        pixman_region32_init(region);
    }
}

enum { ROP_INPUT_SRC = 0, ROP_INPUT_BRUSH = 1, ROP_INPUT_DEST = 2 };

struct ImageUnref {
    void operator()(pixman_image_t* image) const { canvas_image_unref(image); }
};
using ImagePtr = std::unique_ptr<pixman_image_t, ImageUnref>;

class DrawRegion {
public:
    explicit DrawRegion(const SpiceRect* rect) { region_from_rect(&region_, rect); }
    ~DrawRegion() { pixman_region32_fini(&region_); }
    DrawRegion(const DrawRegion&) = delete;
    DrawRegion& operator=(const DrawRegion&) = delete;

    pixman_region32_t* get() { return &region_; }
    bool empty() { return !pixman_region32_not_empty(&region_); }
    const pixman_box32_t* extents() { return pixman_region32_extents(&region_); }

private:
    pixman_region32_t region_;
};

bool fits_int(int64_t value) {
    return value >= INT32_MIN && value <= INT32_MAX;
}

// The size of a rectangle that has area and whose size is an int.
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

void visit_image(SpiceCanvas* canvas, SpiceImage* image) {
    if (image) {
        canvas_visit_image(&canvas->base, image);
    }
}

void visit_brush(SpiceCanvas* canvas, const SpiceBrush& brush) {
    if (brush.type == SPICE_BRUSH_TYPE_PATTERN) {
        visit_image(canvas, brush.u.pattern.pat);
    }
}

// A draw's source: another surface's canvas, or an image fetched in the canvas format.
struct Source {
    SpiceCanvas* surface = nullptr;
    ImagePtr image;
};

bool fetch_source(SpiceCanvas* canvas, SpiceImage* image, Source* source) {
    source->surface = canvas_surface_of_image(&canvas->base, image);
    if (source->surface) {
        return true;
    }
    if (image) {
        source->image.reset(canvas_get_image(&canvas->base, image, 0));
    }
    if (!source->image) {
        peer_check_failed("src_image != NULL");
        return false;
    }
    return true;
}

// Draws src_area of the source into bbox over region: a copy when the sizes agree, else a scale.
void put_source(SpiceCanvas* canvas, pixman_region32_t* region, Source& src, const SpiceRect& src_area,
                const SpiceRect& bbox, int scale_mode, RasterOp rop) {
    SpiceCanvasOps* ops = canvas->ops;
    if (rects_same_size(&bbox, &src_area)) {
        const int64_t offset_x = int64_t(bbox.left) - src_area.left;
        const int64_t offset_y = int64_t(bbox.top) - src_area.top;
        if (!fits_int(offset_x) || !fits_int(offset_y)) {
            return;  // no pixel of the canvas has its source in an image
        }
        if (src.surface) {
            if (rop == ROP_COPY) {
                ops->blit_image_from_surface(canvas, region, src.surface, int(offset_x), int(offset_y));
            } else {
                ops->blit_image_rop_from_surface(canvas, region, src.surface, int(offset_x), int(offset_y),
                                                 rop);
            }
        } else if (rop == ROP_COPY) {
            ops->blit_image(canvas, region, src.image.get(), int(offset_x), int(offset_y));
        } else {
            ops->blit_image_rop(canvas, region, src.image.get(), int(offset_x), int(offset_y), rop);
        }
        return;
    }
    int src_width, src_height, dest_width, dest_height;
    if (!rect_size(src_area, &src_width, &src_height) || !rect_size(bbox, &dest_width, &dest_height)) {
        peer_warning("bad scale area");
        return;
    }
    if (src.surface) {
        if (rop == ROP_COPY) {
            ops->scale_image_from_surface(canvas, region, src.surface, src_area.left, src_area.top, src_width,
                                          src_height, bbox.left, bbox.top, dest_width, dest_height,
                                          scale_mode);
        } else {
            ops->scale_image_rop_from_surface(canvas, region, src.surface, src_area.left, src_area.top,
                                              src_width, src_height, bbox.left, bbox.top, dest_width,
                                              dest_height, scale_mode, rop);
        }
    } else if (rop == ROP_COPY) {
        ops->scale_image(canvas, region, src.image.get(), src_area.left, src_area.top, src_width, src_height,
                         bbox.left, bbox.top, dest_width, dest_height, scale_mode);
    } else {
        ops->scale_image_rop(canvas, region, src.image.get(), src_area.left, src_area.top, src_width,
                             src_height, bbox.left, bbox.top, dest_width, dest_height, scale_mode, rop);
    }
}

// The region of the set bits of an a1 area, pixman's bit order (leftmost pixel in the least significant bit).
void region_from_a1(pixman_region32_t* region, const uint8_t* data, int stride, int width, int height) {
    std::vector<pixman_box32_t> boxes;
    for (int y = 0; y < height; y++) {
        const uint8_t* row = data + ptrdiff_t(y) * stride;
        int x = 0;
        while (x < width) {
            while (x < width && !(row[x >> 3] & (1u << (x & 7)))) {
                x += (x & 7) == 0 && row[x >> 3] == 0 ? 8 : 1;
            }
            if (x >= width) {
                break;
            }
            const int start = x;
            while (x < width && (row[x >> 3] & (1u << (x & 7)))) {
                x += (x & 7) == 0 && row[x >> 3] == 0xFF ? 8 : 1;
            }
            boxes.push_back({start, y, std::min(x, width), y + 1});
        }
    }
    pixman_region32_init_rects(region, boxes.data(), int(boxes.size()));
}

// Pattern offsets reduced into 0 .. size - 1, as the rop3 handlers want them.
int wrap_offset(int64_t value, int size) {
    const int64_t m = value % size;
    return int(m < 0 ? m + size : m);
}

// ---- stroke ----

struct StrokeContext : LineContext {
    SpiceCanvas* canvas;
    pixman_region32_t* dest_region;
    RasterOp fore_rop;
    RasterOp back_rop;
    bool solid;
    uint32_t color;
    SpiceCanvas* tile_surface;  // a pattern that is another surface
    pixman_image_t* tile;       // a fetched pattern
    int tile_offset_x;
    int tile_offset_y;
    std::vector<SpicePoint> clipped_points;
    std::vector<int> clipped_widths;
};

void stroke_fill_tiled(StrokeContext* stroke, pixman_box32_t* boxes, int count, RasterOp rop) {
    SpiceCanvas* canvas = stroke->canvas;
    SpiceCanvasOps* ops = canvas->ops;
    if (stroke->tile_surface) {
        if (rop == ROP_COPY) {
            ops->fill_tiled_rects_from_surface(canvas, boxes, count, stroke->tile_surface,
                                               stroke->tile_offset_x, stroke->tile_offset_y);
        } else {
            ops->fill_tiled_rects_rop_from_surface(canvas, boxes, count, stroke->tile_surface,
                                                   stroke->tile_offset_x, stroke->tile_offset_y, rop);
        }
    } else if (rop == ROP_COPY) {
        ops->fill_tiled_rects(canvas, boxes, count, stroke->tile, stroke->tile_offset_x,
                              stroke->tile_offset_y);
    } else {
        ops->fill_tiled_rects_rop(canvas, boxes, count, stroke->tile, stroke->tile_offset_x,
                                  stroke->tile_offset_y, rop);
    }
}

void stroke_fill_spans(LineContext* context, int count, SpicePoint* points, int* widths, int sorted,
                       int foreground) {
    auto* stroke = static_cast<StrokeContext*>(context);
    const int n = clip_spans_to_region(stroke->dest_region, points, widths, count, sorted != 0,
                                       stroke->clipped_points, stroke->clipped_widths);
    if (n == 0) {
        return;
    }
    SpiceCanvas* canvas = stroke->canvas;
    const RasterOp rop = foreground ? stroke->fore_rop : stroke->back_rop;
    if (stroke->solid && rop == ROP_COPY) {
        canvas->ops->fill_solid_spans(canvas, stroke->clipped_points.data(), stroke->clipped_widths.data(), n,
                                      stroke->color);
        return;
    }
    for (int i = 0; i < n; i++) {
        const SpicePoint& p = stroke->clipped_points[size_t(i)];
        pixman_box32_t box = {p.x, p.y, p.x + stroke->clipped_widths[size_t(i)], p.y + 1};
        if (stroke->solid) {
            canvas->ops->fill_solid_rects_rop(canvas, &box, 1, stroke->color, rop);
        } else {
            stroke_fill_tiled(stroke, &box, 1, rop);
        }
    }
}

void stroke_fill_rects(LineContext* context, int count, LineRect* rects, int foreground) {
    auto* stroke = static_cast<StrokeContext*>(context);
    std::vector<pixman_box32_t> boxes;
    for (int i = 0; i < count; i++) {
        const int64_t x2 = int64_t(rects[i].x) + rects[i].width;
        const int64_t y2 = int64_t(rects[i].y) + rects[i].height;
        if (rects[i].width > 0 && rects[i].height > 0 && x2 <= INT32_MAX && y2 <= INT32_MAX) {
            boxes.push_back({rects[i].x, rects[i].y, int32_t(x2), int32_t(y2)});
        }
    }
    pixman_region32_t area;
    pixman_region32_init_rects(&area, boxes.data(), int(boxes.size()));
    pixman_region32_intersect(&area, &area, stroke->dest_region);
    int n = 0;
    pixman_box32_t* clipped = pixman_region32_rectangles(&area, &n);
    if (n > 0) {
        SpiceCanvas* canvas = stroke->canvas;
        const RasterOp rop = foreground ? stroke->fore_rop : stroke->back_rop;
        if (!stroke->solid) {
            stroke_fill_tiled(stroke, clipped, n, rop);
        } else if (rop == ROP_COPY) {
            canvas->ops->fill_solid_rects(canvas, clipped, n, stroke->color);
        } else {
            canvas->ops->fill_solid_rects_rop(canvas, clipped, n, stroke->color, rop);
        }
    }
    pixman_region32_fini(&area);
}

const SpanSink stroke_sink = {stroke_fill_spans, stroke_fill_rects};

void stroke_draw_points(StrokeContext* stroke, std::vector<SpicePoint>& points, bool styled) {
    if (points.empty()) {
        return;
    }
    if (styled) {
        stroke->line_width = 1;
        stroke_wide_line(stroke, int(points.size()), points.data());
        stroke->line_width = 0;
    } else {
        stroke_thin_line(stroke, int(points.size()), points.data());
    }
    points.clear();
}

SpicePoint fixed_point_to_int(const SpicePointFix& point) {
    return {fixed_to_int(point.x), fixed_to_int(point.y)};
}

// Each curve of a message may flatten into a thousand points; a polyline past this many is not drawn.
constexpr size_t MAX_STROKE_POINTS = size_t(1) << 20;

// Walks the path into polylines and draws them; false (reported) on a malformed curve.
bool stroke_path(StrokeContext* stroke, const SpicePath* path, bool styled) {
    std::vector<SpicePoint> points;
    points.reserve(10);
    for (uint32_t i = 0; i < path->num_segments; i++) {
        const SpicePathSeg* seg = path->segments[i];
        const SpicePointFix* point = seg->points;
        const SpicePointFix* end_point = seg->points + seg->count;
        if (seg->flags & SPICE_PATH_BEGIN) {
            stroke_draw_points(stroke, points, styled);
            if (point < end_point) {
                points.push_back(fixed_point_to_int(*point));
                point++;
            }
        }
        if (seg->flags & SPICE_PATH_BEZIER) {
            if ((end_point - point) % 3 != 0) {
                peer_check_failed("(point - end_point) % 3 == 0");
                return false;
            }
            for (; point < end_point; point += 3) {
                if (points.empty()) {
                    // A curve needs the point it starts from.
                    peer_check_failed("num_points > 0");
                    return false;
                }
                // Back to 28.4; a point rounded up past the largest 28.4 value is clamped to it.
                auto to_fixed = [](int32_t v) {
                    return SPICE_FIXED28_4(std::clamp<int64_t>(int64_t(v) * 16, INT32_MIN, INT32_MAX));
                };
                const SpicePoint& last = points.back();
                const SpicePointFix curve[4] = {
                    {to_fixed(last.x), to_fixed(last.y)}, point[0], point[1], point[2]};
                flatten_bezier(curve, points);
                if (points.size() > MAX_STROKE_POINTS) {
                    peer_warning("stroke path too long");
                    return false;
                }
            }
        } else {
            for (; point < end_point; point++) {
                points.push_back(fixed_point_to_int(*point));
            }
        }
        if (seg->flags & SPICE_PATH_END) {
            if ((seg->flags & SPICE_PATH_CLOSE) && !points.empty()) {
                points.push_back(points.front());
            }
            stroke_draw_points(stroke, points, styled);
        }
    }
    stroke_draw_points(stroke, points, styled);
    return true;
}

// The pixman operators and filters a composite may name; anything else is refused rather than handed to
// pixman, which indexes tables by them.
bool composite_op_known(uint32_t op) {
    return op <= PIXMAN_OP_SATURATE || (op >= PIXMAN_OP_DISJOINT_CLEAR && op <= PIXMAN_OP_DISJOINT_XOR) ||
           (op >= PIXMAN_OP_CONJOINT_CLEAR && op <= PIXMAN_OP_CONJOINT_XOR) ||
           (op >= PIXMAN_OP_MULTIPLY && op <= PIXMAN_OP_HSL_LUMINOSITY);
}

bool composite_filter_known(uint32_t filter) {
    // The convolution filters need parameters the message cannot carry.
    return filter <= PIXMAN_FILTER_BILINEAR;
}

void set_composite_transform(pixman_image_t* image, const SpiceTransform& t) {
    pixman_transform_t transform = {{{pixman_fixed_t(t.t00), pixman_fixed_t(t.t01), pixman_fixed_t(t.t02)},
                                     {pixman_fixed_t(t.t10), pixman_fixed_t(t.t11), pixman_fixed_t(t.t12)},
                                     {0, 0, pixman_fixed_1}}};
    pixman_image_set_transform(image, &transform);
}

// Cached images and surfaces are shared: what a composite set on them must not stay for their next user.
void reset_source(pixman_image_t* image) {
    if (image) {
        pixman_image_set_transform(image, nullptr);
        pixman_image_set_filter(image, PIXMAN_FILTER_FAST, nullptr, 0);
        pixman_image_set_repeat(image, PIXMAN_REPEAT_NONE);
        pixman_image_set_component_alpha(image, 0);
    }
}

// The image of a composite operand: the surface's own image or the fetched one.
ImagePtr composite_operand(SpiceCanvas* canvas, SpiceImage* image, int force_opaque) {
    SpiceCanvas* surface = canvas_surface_of_image(&canvas->base, image);
    if (surface) {
        return ImagePtr(surface->ops->get_image(surface, force_opaque));
    }
    return ImagePtr(image ? canvas_get_image(&canvas->base, image, 0) : nullptr);
}

// The destination region of the draws that take a mask: box, clip, then the mask at the box's corner.
void masked_region(SpiceCanvas* canvas, DrawRegion& region, SpiceRect* bbox, SpiceClip* clip,
                   SpiceQMask* mask) {
    canvas_clip_pixman(&canvas->base, region.get(), clip);
    canvas_apply_mask(canvas, region.get(), mask, bbox->left, bbox->top);
}

void draw_copy_or_blend(SpiceCanvas* canvas, SpiceRect* bbox, SpiceClip* clip, SpiceCopy* copy) {
    DrawRegion region(bbox);
    masked_region(canvas, region, bbox, clip, &copy->mask);
    const RasterOp rop = rop_descriptor_to_pixel_op(copy->rop_descriptor, ROP_INPUT_SRC, ROP_INPUT_DEST);
    if (rop == ROP_NOOP || region.empty()) {
        visit_image(canvas, copy->src_bitmap);
        return;
    }
    Source src;
    if (fetch_source(canvas, copy->src_bitmap, &src)) {
        put_source(canvas, region.get(), src, copy->src_area, *bbox, copy->scale_mode, rop);
    }
}

void fill_whole_region(SpiceCanvas* canvas, SpiceRect* bbox, SpiceClip* clip, SpiceQMask* mask,
                       uint32_t color, RasterOp rop) {
    DrawRegion region(bbox);
    masked_region(canvas, region, bbox, clip, mask);
    int n = 0;
    pixman_box32_t* rects = pixman_region32_rectangles(region.get(), &n);
    if (n == 0) {
        return;
    }
    if (rop == ROP_COPY) {
        canvas->ops->fill_solid_rects(canvas, rects, n, color);
    } else {
        canvas->ops->fill_solid_rects_rop(canvas, rects, n, color, rop);
    }
}

}  // namespace

int fixed_to_int(SPICE_FIXED28_4 fixed) {
    // A fraction of exactly one half rounds down.
    return (fixed >> 4) + ((fixed & 0x0F) > 8 ? 1 : 0);
}

SpiceCanvas* canvas_surface_of_image(CanvasBase* canvas, SpiceImage* image) {
    if (image && image->descriptor.type == SPICE_IMAGE_TYPE_SURFACE && canvas->surfaces) {
        return canvas->surfaces->ops->get(canvas->surfaces, image->u.surface.surface_id);
    }
    return nullptr;
}

void canvas_apply_mask(SpiceCanvas* canvas, pixman_region32_t* region, SpiceQMask* mask, int x, int y) {
    if (!mask->bitmap) {
        return;
    }
    int needs_invert = 0;
    ImagePtr image;
    SpiceCanvas* surface = canvas_surface_of_image(&canvas->base, mask->bitmap);
    if (surface) {
        image.reset(surface->ops->get_image(surface, 0));
        needs_invert = mask->flags & SPICE_MASK_FLAGS_INVERS;
    } else {
        image.reset(canvas_get_mask(&canvas->base, mask, &needs_invert));
    }
    // A mask that cannot be read leaves nothing to draw: drawing unmasked would paint what the mask hides.
    if (!image || pixman_image_get_format(image.get()) != PIXMAN_a1) {
        peer_check_failed("mask image != NULL");
        pixman_region32_clear(region);
        return;
    }
    const int mask_width = pixman_image_get_width(image.get());
    const int mask_height = pixman_image_get_height(image.get());
    // Mask pixel (mx, my) lies at (mx + shift_x, my + shift_y) on the canvas.
    const int64_t shift_x = int64_t(x) - mask->pos.x;
    const int64_t shift_y = int64_t(y) - mask->pos.y;

    const pixman_box32_t* extents = pixman_region32_extents(region);
    auto clamp = [](int64_t value, int64_t limit) { return value < 0 ? 0 : value > limit ? limit : value; };
    int64_t left = clamp(extents->x1 - shift_x, mask_width);
    int64_t right = clamp(extents->x2 - shift_x, mask_width);
    const int64_t top = clamp(extents->y1 - shift_y, mask_height);
    int64_t bottom = clamp(extents->y2 - shift_y, mask_height);
    right = std::max(right, left);
    bottom = std::max(bottom, top);
    left &= ~int64_t(31);

    const int sub_width = int(right - left);
    const int sub_height = int(bottom - top);
    const int stride = pixman_image_get_stride(image.get());
    const uint8_t* first = reinterpret_cast<const uint8_t*>(pixman_image_get_data(image.get())) +
                           ptrdiff_t(top) * stride + left / 8;
    pixman_region32_t mask_region;
    region_from_a1(&mask_region, first, stride, sub_width, sub_height);
    if (needs_invert) {
        pixman_box32_t all = {0, 0, sub_width, sub_height};
        pixman_region32_inverse(&mask_region, &mask_region, &all);
    }
    const int64_t dx = shift_x + left;
    const int64_t dy = shift_y + top;
    if (fits_int(dx) && fits_int(dy) && fits_int(dx + sub_width) && fits_int(dy + sub_height)) {
        pixman_region32_translate(&mask_region, int(dx), int(dy));
        pixman_region32_intersect(region, region, &mask_region);
    } else {
        pixman_region32_clear(region);
    }
    pixman_region32_fini(&mask_region);
}

void draw_brush(SpiceCanvas* canvas, pixman_region32_t* region, SpiceBrush* brush, RasterOp rop) {
    int n = 0;
    pixman_box32_t* rects = pixman_region32_rectangles(region, &n);
    SpiceCanvasOps* ops = canvas->ops;
    switch (brush->type) {
        case SPICE_BRUSH_TYPE_SOLID:
            if (rop == ROP_COPY) {
                ops->fill_solid_rects(canvas, rects, n, brush->u.color);
            } else {
                ops->fill_solid_rects_rop(canvas, rects, n, brush->u.color, rop);
            }
            break;
        case SPICE_BRUSH_TYPE_PATTERN: {
            const SpicePoint pos = brush->u.pattern.pos;
            SpiceCanvas* surface = canvas_surface_of_image(&canvas->base, brush->u.pattern.pat);
            if (surface) {
                if (rop == ROP_COPY) {
                    ops->fill_tiled_rects_from_surface(canvas, rects, n, surface, pos.x, pos.y);
                } else {
                    ops->fill_tiled_rects_rop_from_surface(canvas, rects, n, surface, pos.x, pos.y, rop);
                }
                break;
            }
            ImagePtr tile(canvas_get_image(&canvas->base, brush->u.pattern.pat, 0));
            if (!tile) {
                peer_check_failed("tile != NULL");
                break;
            }
            if (rop == ROP_COPY) {
                ops->fill_tiled_rects(canvas, rects, n, tile.get(), pos.x, pos.y);
            } else {
                ops->fill_tiled_rects_rop(canvas, rects, n, tile.get(), pos.x, pos.y, rop);
            }
            break;
        }
        case SPICE_BRUSH_TYPE_NONE:
            // Operations that ignore the source, such as invert, still act.
            ops->fill_solid_rects_rop(canvas, rects, n, 0, rop);
            break;
        default:
            spice_warn_if_reached();
    }
}

void canvas_draw_fill(SpiceCanvas* canvas, SpiceRect* bbox, SpiceClip* clip, SpiceFill* fill) {
    DrawRegion region(bbox);
    masked_region(canvas, region, bbox, clip, &fill->mask);
    const RasterOp rop = rop_descriptor_to_pixel_op(fill->rop_descriptor, ROP_INPUT_BRUSH, ROP_INPUT_DEST);
    if (rop == ROP_NOOP || region.empty()) {
        visit_brush(canvas, fill->brush);
        return;
    }
    draw_brush(canvas, region.get(), &fill->brush, rop);
}

void canvas_draw_copy(SpiceCanvas* canvas, SpiceRect* bbox, SpiceClip* clip, SpiceCopy* copy) {
    draw_copy_or_blend(canvas, bbox, clip, copy);
}

void canvas_draw_blend(SpiceCanvas* canvas, SpiceRect* bbox, SpiceClip* clip, SpiceBlend* blend) {
    draw_copy_or_blend(canvas, bbox, clip, blend);
}

void canvas_draw_opaque(SpiceCanvas* canvas, SpiceRect* bbox, SpiceClip* clip, SpiceOpaque* opaque) {
    DrawRegion region(bbox);
    masked_region(canvas, region, bbox, clip, &opaque->mask);
    const RasterOp rop = rop_descriptor_to_pixel_op(opaque->rop_descriptor, ROP_INPUT_BRUSH, ROP_INPUT_SRC);
    if (rop == ROP_NOOP || region.empty()) {
        visit_image(canvas, opaque->src_bitmap);
        visit_brush(canvas, opaque->brush);
        return;
    }
    Source src;
    if (!fetch_source(canvas, opaque->src_bitmap, &src)) {
        return;
    }
    put_source(canvas, region.get(), src, opaque->src_area, *bbox, opaque->scale_mode, ROP_COPY);
    draw_brush(canvas, region.get(), &opaque->brush, rop);
}

void canvas_draw_blackness(SpiceCanvas* canvas, SpiceRect* bbox, SpiceClip* clip, SpiceWhiteness* blackness) {
    fill_whole_region(canvas, bbox, clip, &blackness->mask, 0, ROP_COPY);
}

void canvas_draw_whiteness(SpiceCanvas* canvas, SpiceRect* bbox, SpiceClip* clip, SpiceWhiteness* whiteness) {
    fill_whole_region(canvas, bbox, clip, &whiteness->mask, 0xFFFFFFFF, ROP_COPY);
}

void canvas_draw_invers(SpiceCanvas* canvas, SpiceRect* bbox, SpiceClip* clip, SpiceWhiteness* invers) {
    fill_whole_region(canvas, bbox, clip, &invers->mask, 0, ROP_INVERT);
}

void canvas_draw_transparent(SpiceCanvas* canvas, SpiceRect* bbox, SpiceClip* clip,
                             SpiceTransparent* transparent) {
    DrawRegion region(bbox);
    canvas_clip_pixman(&canvas->base, region.get(), clip);
    if (region.empty()) {
        visit_image(canvas, transparent->src_bitmap);
        return;
    }
    const uint32_t c = transparent->true_color;
    uint32_t key;
    switch (canvas->base.format) {
        case SPICE_SURFACE_FMT_16_555:
            key = ((c >> 9) & 0x7C00) | ((c >> 6) & 0x3E0) | ((c >> 3) & 0x1F);
            break;
        case SPICE_SURFACE_FMT_32_xRGB:
        case SPICE_SURFACE_FMT_32_ARGB:
            key = c;
            break;
        case SPICE_SURFACE_FMT_16_565:
            key = ((c >> 8) & 0xF800) | ((c >> 5) & 0x7E0) | ((c >> 3) & 0x1F);
            break;
        default:
            key = 0;
    }
    Source src;
    if (!fetch_source(canvas, transparent->src_bitmap, &src)) {
        return;
    }
    SpiceCanvasOps* ops = canvas->ops;
    const SpiceRect& src_area = transparent->src_area;
    if (rects_same_size(bbox, &src_area)) {
        const int64_t offset_x = int64_t(bbox->left) - src_area.left;
        const int64_t offset_y = int64_t(bbox->top) - src_area.top;
        if (!fits_int(offset_x) || !fits_int(offset_y)) {
            return;
        }
        if (src.surface) {
            ops->colorkey_image_from_surface(canvas, region.get(), src.surface, int(offset_x), int(offset_y),
                                             key);
        } else {
            ops->colorkey_image(canvas, region.get(), src.image.get(), int(offset_x), int(offset_y), key);
        }
        return;
    }
    int src_width, src_height, dest_width, dest_height;
    if (!rect_size(src_area, &src_width, &src_height) || !rect_size(*bbox, &dest_width, &dest_height)) {
        peer_warning("bad scale area");
        return;
    }
    if (src.surface) {
        ops->colorkey_scale_image_from_surface(canvas, region.get(), src.surface, src_area.left, src_area.top,
                                               src_width, src_height, bbox->left, bbox->top, dest_width,
                                               dest_height, key);
    } else {
        ops->colorkey_scale_image(canvas, region.get(), src.image.get(), src_area.left, src_area.top,
                                  src_width, src_height, bbox->left, bbox->top, dest_width, dest_height, key);
    }
}

void canvas_draw_alpha_blend(SpiceCanvas* canvas, SpiceRect* bbox, SpiceClip* clip,
                             SpiceAlphaBlend* alpha_blend) {
    DrawRegion region(bbox);
    canvas_clip_pixman(&canvas->base, region.get(), clip);
    if (alpha_blend->alpha == 0 || region.empty()) {
        visit_image(canvas, alpha_blend->src_bitmap);
        return;
    }
    Source src;
    if (!fetch_source(canvas, alpha_blend->src_bitmap, &src)) {
        return;
    }
    SpiceCanvasOps* ops = canvas->ops;
    const SpiceRect& src_area = alpha_blend->src_area;
    const int dest_has_alpha = alpha_blend->alpha_flags & SPICE_ALPHA_FLAGS_DEST_HAS_ALPHA;
    const int src_has_alpha = alpha_blend->alpha_flags & SPICE_ALPHA_FLAGS_SRC_SURFACE_HAS_ALPHA;
    int src_width, src_height, dest_width, dest_height;
    if (!rect_size(src_area, &src_width, &src_height) || !rect_size(*bbox, &dest_width, &dest_height)) {
        peer_warning("bad blend area");
        return;
    }
    if (src_width == dest_width && src_height == dest_height) {
        if (src.surface) {
            ops->blend_image_from_surface(canvas, region.get(), dest_has_alpha, src.surface, src_has_alpha,
                                          src_area.left, src_area.top, bbox->left, bbox->top, dest_width,
                                          dest_height, alpha_blend->alpha);
        } else {
            ops->blend_image(canvas, region.get(), dest_has_alpha, src.image.get(), src_area.left,
                             src_area.top, bbox->left, bbox->top, dest_width, dest_height,
                             alpha_blend->alpha);
        }
    } else if (src.surface) {
        ops->blend_scale_image_from_surface(canvas, region.get(), dest_has_alpha, src.surface, src_has_alpha,
                                            src_area.left, src_area.top, src_width, src_height, bbox->left,
                                            bbox->top, dest_width, dest_height,
                                            SPICE_IMAGE_SCALE_MODE_NEAREST, alpha_blend->alpha);
    } else {
        ops->blend_scale_image(canvas, region.get(), dest_has_alpha, src.image.get(), src_area.left,
                               src_area.top, src_width, src_height, bbox->left, bbox->top, dest_width,
                               dest_height, SPICE_IMAGE_SCALE_MODE_NEAREST, alpha_blend->alpha);
    }
}

void canvas_copy_bits(SpiceCanvas* canvas, SpiceRect* bbox, SpiceClip* clip, SpicePoint* src_pos) {
    DrawRegion region(bbox);
    canvas_clip_pixman(&canvas->base, region.get(), clip);
    const int64_t dx = int64_t(bbox->left) - src_pos->x;
    const int64_t dy = int64_t(bbox->top) - src_pos->y;
    if (dx == 0 && dy == 0) {
        return;
    }
    if (!fits_int(dx) || !fits_int(dy)) {
        return;  // every source pixel lies off the canvas
    }
    // Keep only the destination pixels whose source lies on the canvas.
    const int64_t x2 = std::min<int64_t>(dx + canvas->base.width, INT32_MAX);
    const int64_t y2 = std::min<int64_t>(dy + canvas->base.height, INT32_MAX);
    pixman_region32_t source_area;
    const pixman_box32_t box = {int32_t(dx), int32_t(dy), int32_t(x2), int32_t(y2)};
    pixman_region32_init_with_extents(&source_area, &box);
    pixman_region32_intersect(region.get(), region.get(), &source_area);
    pixman_region32_fini(&source_area);
    if (!region.empty()) {
        canvas->ops->copy_region(canvas, region.get(), int(dx), int(dy));
    }
}

void canvas_draw_stroke(SpiceCanvas* canvas, SpiceRect* bbox, SpiceClip* clip, SpiceStroke* stroke) {
    DrawRegion region(bbox);
    canvas_clip_pixman(&canvas->base, region.get(), clip);
    if (region.empty()) {
        visit_brush(canvas, stroke->brush);
        return;
    }
    StrokeContext context{};
    context.width = canvas->base.width;
    context.height = canvas->base.height;
    context.canvas = canvas;
    context.dest_region = region.get();
    context.fore_rop = rop_descriptor_to_pixel_op(stroke->fore_mode, ROP_INPUT_BRUSH, ROP_INPUT_DEST);
    context.back_rop = rop_descriptor_to_pixel_op(stroke->back_mode, ROP_INPUT_BRUSH, ROP_INPUT_DEST);
    context.raster_op = context.fore_rop;
    context.line_width = 0;
    context.line_style = LINE_STYLE_SOLID;
    context.cap_style = LINE_CAP_NOT_LAST;
    context.join_style = LINE_JOIN_MITER;
    context.sink = &stroke_sink;

    const bool styled = (stroke->attr.flags & SPICE_LINE_FLAGS_STYLED) != 0;
    std::vector<uint8_t> dashes;
    if (styled) {
        const int n = stroke->attr.style ? stroke->attr.style_nseg : 0;
        context.line_style = LINE_STYLE_ON_OFF_DASH;
        dashes.resize(size_t(n));
        const bool start_with_gap = (stroke->attr.flags & SPICE_LINE_FLAGS_START_WITH_GAP) != 0;
        for (int i = 0; i < n; i++) {
            // A gap first: every style moves one entry forward and the first becomes the last.
            const int entry = start_with_gap ? (i + n - 1) % n : i;
            dashes[size_t(entry)] = uint8_t(fixed_to_int(stroke->attr.style[i]));
        }
        if (start_with_gap && n > 0) {
            context.dash_offset = dashes[0];
        }
        context.dash_count = uint16_t(n);
        context.dashes = dashes.data();
    }

    ImagePtr tile;
    switch (stroke->brush.type) {
        case SPICE_BRUSH_TYPE_NONE:
            context.solid = true;
            context.color = 0;
            break;
        case SPICE_BRUSH_TYPE_SOLID:
            context.solid = true;
            context.color = stroke->brush.u.color;
            break;
        case SPICE_BRUSH_TYPE_PATTERN:
            context.solid = false;
            context.tile_surface = canvas_surface_of_image(&canvas->base, stroke->brush.u.pattern.pat);
            if (!context.tile_surface) {
                tile.reset(canvas_get_image(&canvas->base, stroke->brush.u.pattern.pat, 0));
                if (!tile) {
                    peer_check_failed("tile != NULL");
                    return;
                }
                context.tile = tile.get();
            }
            context.tile_offset_x = stroke->brush.u.pattern.pos.x;
            context.tile_offset_y = stroke->brush.u.pattern.pos.y;
            break;
        default:
            spice_warn_if_reached();
            return;
    }
    stroke_path(&context, stroke->path, styled);
}

void canvas_draw_rop3(SpiceCanvas* canvas, SpiceRect* bbox, SpiceClip* clip, SpiceRop3* rop3) {
    DrawRegion region(bbox);
    masked_region(canvas, region, bbox, clip, &rop3->mask);
    if (region.empty()) {
        visit_image(canvas, rop3->src_bitmap);
        visit_brush(canvas, rop3->brush);
        return;
    }
    int box_width, box_height;
    if (!rect_size(*bbox, &box_width, &box_height)) {
        peer_warning("bad rop3 box");
        return;
    }
    // Only the part of the box on the canvas is read and written back.
    const pixman_box32_t area = *region.extents();
    const int width = area.x2 - area.x1;
    const int height = area.y2 - area.y1;
    ImagePtr d(canvas_get_image_from_self(canvas, area.x1, area.y1, width, height, 0));
    if (!d) {
        peer_check_failed("d != NULL");
        return;
    }

    ImagePtr s;
    SpiceCanvas* surface = canvas_surface_of_image(&canvas->base, rop3->src_bitmap);
    if (surface) {
        s.reset(surface->ops->get_image(surface, 0));
    } else if (rop3->src_bitmap) {
        s.reset(canvas_get_image(&canvas->base, rop3->src_bitmap, 0));
    }
    if (!s) {
        peer_check_failed("s != NULL");
        return;
    }
    // Where the box's corner lies in s.
    int64_t src_x = rop3->src_area.left;
    int64_t src_y = rop3->src_area.top;
    if (!rects_same_size(bbox, &rop3->src_area)) {
        // The scaled copy has the whole box's size; refuse boxes no canvas could show.
        if (int64_t(box_width) * box_height > (int64_t(1) << 26)) {
            peer_warning("rop3 box too large to scale");
            return;
        }
        s.reset(canvas_scale_surface(s.get(), &rop3->src_area, box_width, box_height, rop3->scale_mode));
        if (!s) {
            return;
        }
        src_x = 0;
        src_y = 0;
    }
    // The source must cover the whole box, even where the clip hides part of it.
    if (src_x < 0 || src_y < 0 || pixman_image_get_width(s.get()) - src_x < box_width ||
        pixman_image_get_height(s.get()) - src_y < box_height) {
        peer_warning("bad src bitmap size");
        return;
    }
    src_x += area.x1 - int64_t(bbox->left);
    src_y += area.y1 - int64_t(bbox->top);
    const SpicePoint src_pos = {int32_t(src_x), int32_t(src_y)};

    if (rop3->brush.type == SPICE_BRUSH_TYPE_PATTERN) {
        ImagePtr p(composite_operand(canvas, rop3->brush.u.pattern.pat, 0));
        if (!p) {
            peer_check_failed("p != NULL");
            return;
        }
        const int pat_width = pixman_image_get_width(p.get());
        const int pat_height = pixman_image_get_height(p.get());
        if (pat_width <= 0 || pat_height <= 0) {
            peer_check_failed("pattern size");
            return;
        }
        const SpicePoint pat_pos = {wrap_offset(int64_t(area.x1) - rop3->brush.u.pattern.pos.x, pat_width),
                                    wrap_offset(int64_t(area.y1) - rop3->brush.u.pattern.pos.y, pat_height)};
        do_rop3_with_pattern(rop3->rop3, d.get(), s.get(), &src_pos, p.get(), &pat_pos);
    } else {
        const uint32_t color = rop3->brush.type == SPICE_BRUSH_TYPE_SOLID ? rop3->brush.u.color : 0;
        do_rop3_with_color(rop3->rop3, d.get(), s.get(), &src_pos, color);
    }
    s.reset();
    canvas->ops->blit_image(canvas, region.get(), d.get(), area.x1, area.y1);
}

void canvas_draw_composite(SpiceCanvas* canvas, SpiceRect* bbox, SpiceClip* clip, SpiceComposite* composite) {
    DrawRegion region(bbox);
    canvas_clip_pixman(&canvas->base, region.get(), clip);
    const uint32_t flags = composite->flags;
    if (region.empty()) {
        visit_image(canvas, composite->src_bitmap);
        if (flags & SPICE_COMPOSITE_HAS_MASK) {
            visit_image(canvas, composite->mask_bitmap);
        }
        return;
    }
    const uint32_t op = flags & 0xFF;
    const uint32_t src_filter = (flags >> 8) & 7;
    const uint32_t mask_filter = (flags >> 11) & 7;
    if (!composite_op_known(op) || !composite_filter_known(src_filter) ||
        !composite_filter_known(mask_filter)) {
        peer_warning("bad composite operator or filter, flags 0x%x", flags);
        return;
    }
    // Only the part of the box on the canvas is read and written back; the origins move with it.
    const pixman_box32_t area = *region.extents();
    const int width = area.x2 - area.x1;
    const int height = area.y2 - area.y1;
    const int64_t shift_x = int64_t(area.x1) - bbox->left;
    const int64_t shift_y = int64_t(area.y1) - bbox->top;
    const int64_t src_x = composite->src_origin.x + shift_x;
    const int64_t src_y = composite->src_origin.y + shift_y;
    const int64_t mask_x = composite->mask_origin.x + shift_x;
    const int64_t mask_y = composite->mask_origin.y + shift_y;
    if (!fits_int(src_x) || !fits_int(src_y) || !fits_int(mask_x) || !fits_int(mask_y)) {
        return;
    }

    ImagePtr d(canvas_get_image_from_self(canvas, area.x1, area.y1, width, height, (flags >> 24) & 1));
    if (!d) {
        peer_check_failed("d != NULL");
        return;
    }
    ImagePtr s(composite_operand(canvas, composite->src_bitmap, (flags >> 22) & 1));
    if (!s) {
        peer_check_failed("src != NULL");
        return;
    }
    ImagePtr m;
    if (flags & SPICE_COMPOSITE_HAS_MASK) {
        m = composite_operand(canvas, composite->mask_bitmap, 0);
        if (!m) {
            peer_check_failed("mask != NULL");
            return;
        }
    }

    if (flags & SPICE_COMPOSITE_HAS_SRC_TRANSFORM) {
        set_composite_transform(s.get(), composite->src_transform);
    }
    pixman_image_set_filter(s.get(), pixman_filter_t(src_filter), nullptr, 0);
    pixman_image_set_repeat(s.get(), pixman_repeat_t((flags >> 14) & 3));
    if (m) {
        if (flags & SPICE_COMPOSITE_HAS_MASK_TRANSFORM) {
            set_composite_transform(m.get(), composite->mask_transform);
        }
        pixman_image_set_filter(m.get(), pixman_filter_t(mask_filter), nullptr, 0);
        pixman_image_set_repeat(m.get(), pixman_repeat_t((flags >> 16) & 3));
        pixman_image_set_component_alpha(m.get(), (flags >> 18) & 1);
    }
    pixman_image_composite32(pixman_op_t(op), s.get(), m.get(), d.get(), int(src_x), int(src_y), int(mask_x),
                             int(mask_y), 0, 0, width, height);
    reset_source(s.get());
    reset_source(m.get());
    s.reset();
    m.reset();
    canvas->ops->blit_image(canvas, region.get(), d.get(), area.x1, area.y1);
}
