// The low-level canvas: one SpiceCanvas per display surface. Its first field points to the operation table
// through which every caller reaches every drawing operation; then comes the common state (CanvasBase); a
// back end's own fields follow in its own record, which starts with SpiceCanvas.
//
// The common code (canvas_base.cpp: set-up, clip, groups, raster-operation descriptors; canvas_image.cpp:
// image fetch, decoding and caching; canvas_draw.cpp: the draw operations) reaches pixels only through the
// implementation slots 22-46 of the table, which the software back end (sw_canvas.h) fills.
//
// Everything a draw operation is given comes from the server. A failed check is reported through the
// SPICE-style log and abandons that draw or that fetch; it never ends the process.
#pragma once

#include <pixman.h>

#include <cstdint>

#include "canvas/image_cache.h"
#include "canvas/raster_types.h"
#include "codecs/glz_decoder.h"
#include "codecs/jpeg_decoder.h"
#include "codecs/lz.h"
#include "codecs/quic.h"
#include "codecs/zlib_decoder.h"
#include "transport/protocol/extra_messages.h"
#include "transport/protocol/server_messages.h"
#include "transport/protocol/spice_types.h"
#include "winapi/windows.h"

struct SpiceCanvas;

// The display channel's palette cache: palettes sent with "cache me" are kept under their unique id.
struct SpicePaletteCache;
struct SpicePaletteCacheOps {
    void (*put)(SpicePaletteCache* cache, SpicePalette* palette);
    SpicePalette* (*get)(SpicePaletteCache* cache, uint64_t id);
    void (*release)(SpicePaletteCache* cache, SpicePalette* palette);
};
struct SpicePaletteCache {
    SpicePaletteCacheOps* ops;
};

// The display channel's surfaces: the canvas of another surface, or null when there is none.
struct SpiceSurfaces;
struct SpiceSurfacesOps {
    SpiceCanvas* (*get)(SpiceSurfaces* surfaces, uint32_t surface_id);
};
struct SpiceSurfaces {
    SpiceSurfacesOps* ops;
};

// The operation table, in slot order. Boxes are pixman boxes (right and bottom exclusive), regions pixman
// 32-bit regions in canvas coordinates. In slots 29-32, 41 and 42 the offset is destination minus source; in
// 25-28 it is the position of the tile's origin. Scale modes: SPICE_IMAGE_SCALE_MODE_*.
struct SpiceCanvasOps {
    void (*draw_fill)(SpiceCanvas* canvas, SpiceRect* bbox, SpiceClip* clip, SpiceFill* fill);  // 0
    void (*draw_copy)(SpiceCanvas* canvas, SpiceRect* bbox, SpiceClip* clip, SpiceCopy* copy);  // 1
    void (*draw_cache_copy)(SpiceCanvas* canvas, SpiceRect* bbox, SpiceClip* clip,
                            SpiceMsgDisplayDrawCacheCopy* copy);                                      // 2
    void (*draw_cache_build)(SpiceCanvas* canvas, SpiceMsgDisplayDrawCacheBuild* build);              // 3
    void (*draw_opaque)(SpiceCanvas* canvas, SpiceRect* bbox, SpiceClip* clip, SpiceOpaque* opaque);  // 4
    void (*copy_bits)(SpiceCanvas* canvas, SpiceRect* bbox, SpiceClip* clip, SpicePoint* src_pos);    // 5
    void (*draw_text)(SpiceCanvas* canvas, SpiceRect* bbox, SpiceClip* clip, SpiceText* text);        // 6
    void (*draw_stroke)(SpiceCanvas* canvas, SpiceRect* bbox, SpiceClip* clip, SpiceStroke* stroke);  // 7
    void (*draw_rop3)(SpiceCanvas* canvas, SpiceRect* bbox, SpiceClip* clip, SpiceRop3* rop3);        // 8
    void (*draw_composite)(SpiceCanvas* canvas, SpiceRect* bbox, SpiceClip* clip,
                           SpiceComposite* composite);                                             // 9
    void (*draw_blend)(SpiceCanvas* canvas, SpiceRect* bbox, SpiceClip* clip, SpiceBlend* blend);  // 10
    void (*draw_blackness)(SpiceCanvas* canvas, SpiceRect* bbox, SpiceClip* clip,
                           SpiceWhiteness* blackness);  // 11
    void (*draw_whiteness)(SpiceCanvas* canvas, SpiceRect* bbox, SpiceClip* clip,
                           SpiceWhiteness* whiteness);                                                   // 12
    void (*draw_invers)(SpiceCanvas* canvas, SpiceRect* bbox, SpiceClip* clip, SpiceWhiteness* invers);  // 13
    void (*draw_transparent)(SpiceCanvas* canvas, SpiceRect* bbox, SpiceClip* clip,
                             SpiceTransparent* transparent);  // 14
    void (*draw_alpha_blend)(SpiceCanvas* canvas, SpiceRect* bbox, SpiceClip* clip,
                             SpiceAlphaBlend* alpha_blend);  // 15
    void (*put_image)(SpiceCanvas* canvas, HDC dc, const SpiceRect* dest, const uint8_t* src_data,
                      uint32_t src_width, uint32_t src_height, int src_stride,
                      const pixman_region32_t* clip);                                               // 16
    void (*clear)(SpiceCanvas* canvas);                                                             // 17
    void (*read_bits)(SpiceCanvas* canvas, uint8_t* dest, int dest_stride, const SpiceRect* area);  // 18
    void (*group_start)(SpiceCanvas* canvas, pixman_region32_t* region);                            // 19
    void (*group_end)(SpiceCanvas* canvas);                                                         // 20
    void (*destroy)(SpiceCanvas* canvas);                                                           // 21

    void (*fill_solid_spans)(SpiceCanvas* canvas, SpicePoint* points, int* widths, int n_spans,
                             uint32_t color);                                                           // 22
    void (*fill_solid_rects)(SpiceCanvas* canvas, pixman_box32_t* rects, int n_rects, uint32_t color);  // 23
    void (*fill_solid_rects_rop)(SpiceCanvas* canvas, pixman_box32_t* rects, int n_rects, uint32_t color,
                                 RasterOp rop);  // 24
    void (*fill_tiled_rects)(SpiceCanvas* canvas, pixman_box32_t* rects, int n_rects, pixman_image_t* tile,
                             int offset_x, int offset_y);  // 25
    void (*fill_tiled_rects_from_surface)(SpiceCanvas* canvas, pixman_box32_t* rects, int n_rects,
                                          SpiceCanvas* tile, int offset_x, int offset_y);  // 26
    void (*fill_tiled_rects_rop)(SpiceCanvas* canvas, pixman_box32_t* rects, int n_rects,
                                 pixman_image_t* tile, int offset_x, int offset_y, RasterOp rop);  // 27
    void (*fill_tiled_rects_rop_from_surface)(SpiceCanvas* canvas, pixman_box32_t* rects, int n_rects,
                                              SpiceCanvas* tile, int offset_x, int offset_y,
                                              RasterOp rop);  // 28
    void (*blit_image)(SpiceCanvas* canvas, pixman_region32_t* region, pixman_image_t* src_image,
                       int offset_x,
                       int offset_y);  // 29
    void (*blit_image_from_surface)(SpiceCanvas* canvas, pixman_region32_t* region, SpiceCanvas* src,
                                    int offset_x, int offset_y);  // 30
    void (*blit_image_rop)(SpiceCanvas* canvas, pixman_region32_t* region, pixman_image_t* src_image,
                           int offset_x, int offset_y, RasterOp rop);  // 31
    void (*blit_image_rop_from_surface)(SpiceCanvas* canvas, pixman_region32_t* region, SpiceCanvas* src,
                                        int offset_x, int offset_y, RasterOp rop);  // 32
    void (*scale_image)(SpiceCanvas* canvas, pixman_region32_t* region, pixman_image_t* src_image, int src_x,
                        int src_y, int src_width, int src_height, int dest_x, int dest_y, int dest_width,
                        int dest_height, int scale_mode);  // 33
    void (*scale_image_from_surface)(SpiceCanvas* canvas, pixman_region32_t* region, SpiceCanvas* src,
                                     int src_x, int src_y, int src_width, int src_height, int dest_x,
                                     int dest_y, int dest_width, int dest_height, int scale_mode);  // 34
    void (*scale_image_rop)(SpiceCanvas* canvas, pixman_region32_t* region, pixman_image_t* src_image,
                            int src_x, int src_y, int src_width, int src_height, int dest_x, int dest_y,
                            int dest_width, int dest_height, int scale_mode, RasterOp rop);  // 35
    void (*scale_image_rop_from_surface)(SpiceCanvas* canvas, pixman_region32_t* region, SpiceCanvas* src,
                                         int src_x, int src_y, int src_width, int src_height, int dest_x,
                                         int dest_y, int dest_width, int dest_height, int scale_mode,
                                         RasterOp rop);  // 36
    void (*blend_image)(SpiceCanvas* canvas, pixman_region32_t* region, int dest_has_alpha,
                        pixman_image_t* src, int src_x, int src_y, int dest_x, int dest_y, int width,
                        int height,
                        int overall_alpha);  // 37
    void (*blend_image_from_surface)(SpiceCanvas* canvas, pixman_region32_t* region, int dest_has_alpha,
                                     SpiceCanvas* src, int src_has_alpha, int src_x, int src_y, int dest_x,
                                     int dest_y, int width, int height, int overall_alpha);  // 38
    void (*blend_scale_image)(SpiceCanvas* canvas, pixman_region32_t* region, int dest_has_alpha,
                              pixman_image_t* src, int src_x, int src_y, int src_width, int src_height,
                              int dest_x, int dest_y, int dest_width, int dest_height, int scale_mode,
                              int overall_alpha);  // 39
    void (*blend_scale_image_from_surface)(SpiceCanvas* canvas, pixman_region32_t* region, int dest_has_alpha,
                                           SpiceCanvas* src, int src_has_alpha, int src_x, int src_y,
                                           int src_width, int src_height, int dest_x, int dest_y,
                                           int dest_width, int dest_height, int scale_mode,
                                           int overall_alpha);  // 40
    void (*colorkey_image)(SpiceCanvas* canvas, pixman_region32_t* region, pixman_image_t* src_image,
                           int offset_x, int offset_y, uint32_t transparent_color);  // 41
    void (*colorkey_image_from_surface)(SpiceCanvas* canvas, pixman_region32_t* region, SpiceCanvas* src,
                                        int offset_x, int offset_y, uint32_t transparent_color);  // 42
    void (*colorkey_scale_image)(SpiceCanvas* canvas, pixman_region32_t* region, pixman_image_t* src_image,
                                 int src_x, int src_y, int src_width, int src_height, int dest_x, int dest_y,
                                 int dest_width, int dest_height, uint32_t transparent_color);  // 43
    void (*colorkey_scale_image_from_surface)(SpiceCanvas* canvas, pixman_region32_t* region,
                                              SpiceCanvas* src, int src_x, int src_y, int src_width,
                                              int src_height, int dest_x, int dest_y, int dest_width,
                                              int dest_height, uint32_t transparent_color);    // 44
    void (*copy_region)(SpiceCanvas* canvas, pixman_region32_t* dest_region, int dx, int dy);  // 45
    pixman_image_t* (*get_image)(SpiceCanvas* canvas, int force_opaque);                       // 46
};
static_assert(sizeof(SpiceCanvasOps) == 47 * sizeof(void*), "47 slots");

// Where an LZ or GLZ decode puts its output image: made on the canvas's device context when there is one.
struct LzDecodeUsrData {
    HDC dc;
    pixman_image_t* out_surface;
};

// The QUIC and LZ call-back records. Their error call-backs format the message into msg_buf and return; the
// decoder then fails the image with -1 and the fetch reports the message.
struct CanvasQuicData {
    QuicUsrContext usr;
    QuicContext* quic;
    char message_buf[512];
    SpiceChunks* chunks;
    uint32_t current_chunk;
};

struct CanvasLzData {
    LzUsrContext usr;
    LzContext* lz;
    LzDecodeUsrData decode_data;
    char message_buf[512];
};

struct CanvasGlzData {
    SpiceGlzDecoder* decoder;
    LzDecodeUsrData decode_data;
};

struct CanvasBase {
    uint32_t color_shift;  // 5 for 16-bit surface formats, else 8
    uint32_t color_mask;   // 31 for 16-bit surface formats, else 255
    CanvasQuicData quic_data;
    uint32_t format;  // SPICE_SURFACE_FMT_*
    int width;
    int height;
    pixman_region32_t canvas_region;  // the whole canvas, or the open group's region within it
    SpiceImageCache* bits_cache;
    SpicePaletteCache* palette_cache;
    HDC dc;  // a memory device context for DIB-backed images; null in the software back end
    SpiceSurfaces* surfaces;
    CanvasLzData lz_data;
    CanvasGlzData glz_data;
    SpiceJpegDecoder* jpeg;
    SpiceZlibDecoder* zlib;
    void* usr_data;
    void (*usr_data_destroy)(void*);
};

struct SpiceCanvas {
    SpiceCanvasOps* ops;
    CanvasBase base;
};

// ---- set-up and common state ----

// Every slot unimplemented_op, then the common draw operations in slots 0, 1, 4, 5, 7-15, 19 and 20.
void canvas_ops_set_defaults(SpiceCanvasOps* ops);
// Reports "unimplemented canvas operation" (CRITICAL) and returns; a slot returning an image yields null.
void unimplemented_op(SpiceCanvas* canvas, ...);

// 1 on success, 0 when a decoder cannot be made.
int canvas_state_init(SpiceCanvas* canvas, SpiceCanvasOps* ops, int width, int height, uint32_t format,
                      SpiceImageCache* bits_cache, SpicePaletteCache* palette_cache, SpiceSurfaces* surfaces,
                      SpiceGlzDecoder* glz_decoder, SpiceJpegDecoder* jpeg_decoder,
                      SpiceZlibDecoder* zlib_decoder);
void canvas_state_free(SpiceCanvas* canvas);

// Narrows a destination region by the canvas region and a message clip.
void canvas_clip_pixman(CanvasBase* canvas, pixman_region32_t* dest_region, SpiceClip* clip);
void canvas_group_start(SpiceCanvas* canvas, pixman_region32_t* region);
void canvas_group_end(SpiceCanvas* canvas);

// The two-operand operation of a raster-operation descriptor; input_a and input_b name the inputs
// (0 source, 1 brush, 2 destination).
RasterOp rop_descriptor_to_pixel_op(uint16_t rop_descriptor, int input_a, int input_b);
bool rects_same_size(const SpiceRect* a, const SpiceRect* b);

// ---- image fetch (canvas_image.cpp) ----

// A new reference to the decoded (or cached) image, converted to the canvas format unless keep_format; null
// when the image cannot be had (reported). With real_get clear the descriptor is only walked so that caches,
// the palette cache and the GLZ window stay in step with the server.
pixman_image_t* canvas_get_image_internal(CanvasBase* canvas, SpiceImage* image, int keep_format,
                                          int real_get);
pixman_image_t* canvas_get_image(CanvasBase* canvas, SpiceImage* image, int keep_format);
void canvas_visit_image(CanvasBase* canvas, SpiceImage* image);
// An a1 image of the mask, null without one; with needs_invert the caller inverts later and *needs_invert
// says whether it must.
pixman_image_t* canvas_get_mask(CanvasBase* canvas, SpiceQMask* mask, int* needs_invert);
pixman_image_t* canvas_get_bitmap_mask(CanvasBase* canvas, SpiceBitmap* bitmap, int invert);
pixman_image_t* canvas_A1_invers(pixman_image_t* src_surf);
// An a1 or a8 image of the glyph string's bounding box, its top-left corner in *pos.
pixman_image_t* canvas_get_str_mask(CanvasBase* canvas, SpiceString* str, int bpp, SpicePoint* pos);
pixman_image_t* canvas_get_image_from_self(SpiceCanvas* canvas, int x, int y, int32_t width, int32_t height,
                                           int force_opaque);
pixman_image_t* canvas_scale_surface(pixman_image_t* src, const SpiceRect* src_area, int width, int height,
                                     int scale_mode);
pixman_format_code_t canvas_wanted_format(CanvasBase* canvas, int source_has_alpha);
bool image_palette_to_cache(SpiceImage* image);

// ---- common draw operations (canvas_draw.cpp) ----

// What canvas_ops_set_defaults stores in slots 0, 1, 4, 5 and 7-15.
void canvas_draw_fill(SpiceCanvas* canvas, SpiceRect* bbox, SpiceClip* clip, SpiceFill* fill);
void canvas_draw_copy(SpiceCanvas* canvas, SpiceRect* bbox, SpiceClip* clip, SpiceCopy* copy);
void canvas_draw_opaque(SpiceCanvas* canvas, SpiceRect* bbox, SpiceClip* clip, SpiceOpaque* opaque);
void canvas_copy_bits(SpiceCanvas* canvas, SpiceRect* bbox, SpiceClip* clip, SpicePoint* src_pos);
void canvas_draw_stroke(SpiceCanvas* canvas, SpiceRect* bbox, SpiceClip* clip, SpiceStroke* stroke);
void canvas_draw_rop3(SpiceCanvas* canvas, SpiceRect* bbox, SpiceClip* clip, SpiceRop3* rop3);
void canvas_draw_composite(SpiceCanvas* canvas, SpiceRect* bbox, SpiceClip* clip, SpiceComposite* composite);
void canvas_draw_blend(SpiceCanvas* canvas, SpiceRect* bbox, SpiceClip* clip, SpiceBlend* blend);
void canvas_draw_blackness(SpiceCanvas* canvas, SpiceRect* bbox, SpiceClip* clip, SpiceWhiteness* blackness);
void canvas_draw_whiteness(SpiceCanvas* canvas, SpiceRect* bbox, SpiceClip* clip, SpiceWhiteness* whiteness);
void canvas_draw_invers(SpiceCanvas* canvas, SpiceRect* bbox, SpiceClip* clip, SpiceWhiteness* invers);
void canvas_draw_transparent(SpiceCanvas* canvas, SpiceRect* bbox, SpiceClip* clip,
                             SpiceTransparent* transparent);
void canvas_draw_alpha_blend(SpiceCanvas* canvas, SpiceRect* bbox, SpiceClip* clip,
                             SpiceAlphaBlend* alpha_blend);

void canvas_apply_mask(SpiceCanvas* canvas, pixman_region32_t* region, SpiceQMask* mask, int x, int y);
void draw_brush(SpiceCanvas* canvas, pixman_region32_t* region, SpiceBrush* brush, RasterOp rop);
SpiceCanvas* canvas_surface_of_image(CanvasBase* canvas, SpiceImage* image);
// Integer part of a 28.4 value, rounded up when the fraction is above one half.
int fixed_to_int(SPICE_FIXED28_4 fixed);
