#include "canvas/canvas_base.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "runtime/log.h"
#include "runtime/mem.h"
#include "runtime/peer_check.h"

namespace {

// ---- default operation ----

// One thunk per slot type, so that every slot is called through its own type; the variadic unimplemented_op
// is only ever called directly. A slot that returns something returns its zero (a null image).
template <typename R, typename... Args>
R unimplemented_slot(SpiceCanvas* canvas, Args...) {
    unimplemented_op(canvas);
    return R();
}

template <typename R, typename... Args>
void set_unimplemented(R (*&slot)(SpiceCanvas*, Args...)) {
    slot = &unimplemented_slot<R, Args...>;
}

// ---- decoder call-backs ----

// The error call-backs only keep the message: the decoder then fails the image with -1 and the fetch that
// started it reports the message and releases what it made.
void format_message(char* buf, size_t size, const char* format, va_list args) {
    vsnprintf(buf, size, format, args);
}

void quic_usr_error(QuicUsrContext* usr, const char* format, ...) {
    CanvasQuicData* data = reinterpret_cast<CanvasQuicData*>(usr);
    va_list args;
    va_start(args, format);
    format_message(data->message_buf, sizeof(data->message_buf), format, args);
    va_end(args);
}

// Warnings and information replace the message too, but nothing is logged for them.
void quic_usr_warn(QuicUsrContext* usr, const char* format, ...) {
    CanvasQuicData* data = reinterpret_cast<CanvasQuicData*>(usr);
    va_list args;
    va_start(args, format);
    format_message(data->message_buf, sizeof(data->message_buf), format, args);
    va_end(args);
}

void* quic_usr_malloc(QuicUsrContext*, size_t size) {
    return spice_malloc(size);
}

void quic_usr_free(QuicUsrContext*, void* ptr) {
    free(ptr);
}

// The image's chunks after the first, handed out in order.
int64_t quic_usr_more_space(QuicUsrContext* usr, const uint8_t** data, int) {
    CanvasQuicData* quic_data = reinterpret_cast<CanvasQuicData*>(usr);
    SpiceChunks* chunks = quic_data->chunks;
    if (!chunks || quic_data->current_chunk + 1 >= chunks->num_chunks) {
        return 0;
    }
    quic_data->current_chunk++;
    *data = chunks->chunk[quic_data->current_chunk].data;
    return chunks->chunk[quic_data->current_chunk].len;
}

void lz_usr_error(LzUsrContext* usr, const char* format, ...) {
    CanvasLzData* data = reinterpret_cast<CanvasLzData*>(usr);
    va_list args;
    va_start(args, format);
    format_message(data->message_buf, sizeof(data->message_buf), format, args);
    va_end(args);
}

void lz_usr_warn(LzUsrContext* usr, const char* format, ...) {
    CanvasLzData* data = reinterpret_cast<CanvasLzData*>(usr);
    va_list args;
    va_start(args, format);
    format_message(data->message_buf, sizeof(data->message_buf), format, args);
    va_end(args);
}

void* lz_usr_malloc(LzUsrContext*, size_t size) {
    return spice_malloc(size);
}

void lz_usr_free(LzUsrContext*, void* ptr) {
    free(ptr);
}

// An LZ image is always one chunk.
int lz_usr_more_space(LzUsrContext*, uint8_t**) {
    return 0;
}

void set_whole_canvas_region(CanvasBase* canvas) {
    pixman_region32_fini(&canvas->canvas_region);
    pixman_region32_init_rect(&canvas->canvas_region, 0, 0, canvas->width, canvas->height);
}

}  // namespace

void unimplemented_op(SpiceCanvas*, ...) {
    // Reachable from server messages (slots 2 and 3 of the software canvas), so it must not end the process.
    peer_warning("unimplemented canvas operation");
}

void canvas_ops_set_defaults(SpiceCanvasOps* ops) {
    set_unimplemented(ops->draw_fill);
    set_unimplemented(ops->draw_copy);
    set_unimplemented(ops->draw_cache_copy);
    set_unimplemented(ops->draw_cache_build);
    set_unimplemented(ops->draw_opaque);
    set_unimplemented(ops->copy_bits);
    set_unimplemented(ops->draw_text);
    set_unimplemented(ops->draw_stroke);
    set_unimplemented(ops->draw_rop3);
    set_unimplemented(ops->draw_composite);
    set_unimplemented(ops->draw_blend);
    set_unimplemented(ops->draw_blackness);
    set_unimplemented(ops->draw_whiteness);
    set_unimplemented(ops->draw_invers);
    set_unimplemented(ops->draw_transparent);
    set_unimplemented(ops->draw_alpha_blend);
    set_unimplemented(ops->put_image);
    set_unimplemented(ops->clear);
    set_unimplemented(ops->read_bits);
    set_unimplemented(ops->group_start);
    set_unimplemented(ops->group_end);
    set_unimplemented(ops->destroy);
    set_unimplemented(ops->fill_solid_spans);
    set_unimplemented(ops->fill_solid_rects);
    set_unimplemented(ops->fill_solid_rects_rop);
    set_unimplemented(ops->fill_tiled_rects);
    set_unimplemented(ops->fill_tiled_rects_from_surface);
    set_unimplemented(ops->fill_tiled_rects_rop);
    set_unimplemented(ops->fill_tiled_rects_rop_from_surface);
    set_unimplemented(ops->blit_image);
    set_unimplemented(ops->blit_image_from_surface);
    set_unimplemented(ops->blit_image_rop);
    set_unimplemented(ops->blit_image_rop_from_surface);
    set_unimplemented(ops->scale_image);
    set_unimplemented(ops->scale_image_from_surface);
    set_unimplemented(ops->scale_image_rop);
    set_unimplemented(ops->scale_image_rop_from_surface);
    set_unimplemented(ops->blend_image);
    set_unimplemented(ops->blend_image_from_surface);
    set_unimplemented(ops->blend_scale_image);
    set_unimplemented(ops->blend_scale_image_from_surface);
    set_unimplemented(ops->colorkey_image);
    set_unimplemented(ops->colorkey_image_from_surface);
    set_unimplemented(ops->colorkey_scale_image);
    set_unimplemented(ops->colorkey_scale_image_from_surface);
    set_unimplemented(ops->copy_region);
    set_unimplemented(ops->get_image);

    ops->draw_fill = canvas_draw_fill;
    ops->draw_copy = canvas_draw_copy;
    ops->draw_opaque = canvas_draw_opaque;
    ops->copy_bits = canvas_copy_bits;
    ops->draw_stroke = canvas_draw_stroke;
    ops->draw_rop3 = canvas_draw_rop3;
    ops->draw_composite = canvas_draw_composite;
    ops->draw_blend = canvas_draw_blend;
    ops->draw_blackness = canvas_draw_blackness;
    ops->draw_whiteness = canvas_draw_whiteness;
    ops->draw_invers = canvas_draw_invers;
    ops->draw_transparent = canvas_draw_transparent;
    ops->draw_alpha_blend = canvas_draw_alpha_blend;
    ops->group_start = canvas_group_start;
    ops->group_end = canvas_group_end;
}

int canvas_state_init(SpiceCanvas* canvas, SpiceCanvasOps* ops, int width, int height, uint32_t format,
                      SpiceImageCache* bits_cache, SpicePaletteCache* palette_cache, SpiceSurfaces* surfaces,
                      SpiceGlzDecoder* glz_decoder, SpiceJpegDecoder* jpeg_decoder,
                      SpiceZlibDecoder* zlib_decoder) {
    CanvasBase* base = &canvas->base;
    canvas->ops = ops;

    quic_init();
    QuicUsrContext& quic_usr = base->quic_data.usr;
    quic_usr.error = quic_usr_error;
    quic_usr.warn = quic_usr_warn;
    quic_usr.info = quic_usr_warn;
    quic_usr.malloc = quic_usr_malloc;
    quic_usr.free = quic_usr_free;
    quic_usr.more_space = quic_usr_more_space;
    quic_usr.more_lines = nullptr;  // never called
    base->quic_data.quic = quic_create(&quic_usr);
    if (!base->quic_data.quic) {
        return 0;
    }

    LzUsrContext& lz_usr = base->lz_data.usr;
    lz_usr.error = lz_usr_error;
    lz_usr.warn = lz_usr_warn;
    lz_usr.info = lz_usr_warn;
    lz_usr.malloc = lz_usr_malloc;
    lz_usr.free = lz_usr_free;
    lz_usr.more_space = lz_usr_more_space;
    lz_usr.more_lines = nullptr;  // never called
    base->lz_data.lz = lz_create(&lz_usr);
    if (!base->lz_data.lz) {
        quic_destroy(base->quic_data.quic);
        base->quic_data.quic = nullptr;
        return 0;
    }

    base->format = format;
    base->surfaces = surfaces;
    base->glz_data.decoder = glz_decoder;
    base->jpeg = jpeg_decoder;
    base->zlib = zlib_decoder;
    if ((format & 0x3f) == 16) {
        base->color_shift = 5;
        base->color_mask = 0x1f;
    } else {
        base->color_shift = 8;
        base->color_mask = 0xff;
    }
    base->width = width;
    base->height = height;
    pixman_region32_init_rect(&base->canvas_region, 0, 0, width, height);
    base->palette_cache = palette_cache;
    base->bits_cache = bits_cache;
    // Images of this build live in heap memory.
    base->dc = nullptr;
    return 1;
}

void canvas_state_free(SpiceCanvas* canvas) {
    CanvasBase* base = &canvas->base;
    if (base->quic_data.quic) {
        quic_destroy(base->quic_data.quic);
        base->quic_data.quic = nullptr;
    }
    if (base->lz_data.lz) {
        lz_destroy(base->lz_data.lz);
        base->lz_data.lz = nullptr;
    }
    // A group region may own memory.
    pixman_region32_fini(&base->canvas_region);
    pixman_region32_init(&base->canvas_region);
    if (base->usr_data && base->usr_data_destroy) {
        base->usr_data_destroy(base->usr_data);
    }
    base->usr_data = nullptr;
}

void canvas_clip_pixman(CanvasBase* canvas, pixman_region32_t* dest_region, SpiceClip* clip) {
    pixman_region32_intersect(dest_region, dest_region, &canvas->canvas_region);

    switch (clip->type) {
        case SPICE_CLIP_TYPE_NONE:
            break;
        case SPICE_CLIP_TYPE_RECTS: {
            // No list means no rectangle: nothing is left to draw.
            uint32_t n = clip->rects ? clip->rects->num_rects : 0;
            if (n > INT32_MAX) {
                peer_warning("too many clip rectangles: %u", n);
                pixman_region32_clear(dest_region);
                break;
            }
            static_assert(sizeof(SpiceRect) == sizeof(pixman_box32_t), "a rectangle reads as a box");
            pixman_region32_t area;
            if (pixman_region32_init_rects(
                    &area, n ? reinterpret_cast<const pixman_box32_t*>(clip->rects->rects) : nullptr,
                    int(n))) {
                pixman_region32_intersect(dest_region, dest_region, &area);
            }
            pixman_region32_fini(&area);
            break;
        }
        default:
            spice_warn_if_reached();
            break;
    }
}

void canvas_group_start(SpiceCanvas* canvas, pixman_region32_t* region) {
    CanvasBase* base = &canvas->base;
    set_whole_canvas_region(base);
    pixman_region32_intersect(&base->canvas_region, &base->canvas_region, region);
}

void canvas_group_end(SpiceCanvas* canvas) {
    set_whole_canvas_region(&canvas->base);
}

RasterOp rop_descriptor_to_pixel_op(uint16_t rop_descriptor, int input_a, int input_b) {
    const bool invert_a = rop_descriptor & (1u << input_a);
    const bool invert_b = rop_descriptor & (1u << input_b);
    const bool invert_result = rop_descriptor & SPICE_ROPD_INVERS_RES;

    if (rop_descriptor & SPICE_ROPD_OP_PUT) {
        return invert_a != invert_result ? ROP_COPY_INVERTED : ROP_COPY;
    }
    if (rop_descriptor & SPICE_ROPD_OP_OR) {
        // Indexed by invert_a * 2 + invert_b; with the result inverted, De Morgan turns or into and.
        static const RasterOp plain[] = {ROP_OR, ROP_OR_REVERSE, ROP_OR_INVERTED, ROP_NAND};
        static const RasterOp inverted[] = {ROP_NOR, ROP_AND_INVERTED, ROP_AND_REVERSE, ROP_AND};
        return (invert_result ? inverted : plain)[invert_a * 2 + invert_b];
    }
    if (rop_descriptor & SPICE_ROPD_OP_AND) {
        static const RasterOp plain[] = {ROP_AND, ROP_AND_REVERSE, ROP_AND_INVERTED, ROP_NOR};
        static const RasterOp inverted[] = {ROP_NAND, ROP_OR_INVERTED, ROP_OR_REVERSE, ROP_OR};
        return (invert_result ? inverted : plain)[invert_a * 2 + invert_b];
    }
    if (rop_descriptor & SPICE_ROPD_OP_XOR) {
        return (invert_a + invert_b + invert_result) % 2 == 0 ? ROP_XOR : ROP_EQUIV;
    }
    if (rop_descriptor & SPICE_ROPD_OP_BLACKNESS) {
        return ROP_CLEAR;
    }
    if (rop_descriptor & SPICE_ROPD_OP_WHITENESS) {
        return ROP_SET;
    }
    if (rop_descriptor & SPICE_ROPD_OP_INVERS) {
        return ROP_INVERT;
    }
    return ROP_COPY;
}

bool rects_same_size(const SpiceRect* a, const SpiceRect* b) {
    return int64_t(a->right) - a->left == int64_t(b->right) - b->left &&
           int64_t(a->bottom) - a->top == int64_t(b->bottom) - b->top;
}
