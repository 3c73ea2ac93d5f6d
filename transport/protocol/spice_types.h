// Parsed forms of the SPICE structures that draw messages share: the argument types of the canvas operations
// and the targets of every parser (plain and compact).
//
// These are the in-memory forms, laid out for this 64-bit build: pointers are 8 bytes and every structure has
// its natural alignment. Wire widths differ (a u8 brush type on the wire is a u32 here; a rectangle arrives
// as top, left, bottom, right). Pointers point into the parsed block that holds the message, except
// SpiceChunks data and the glyph and cursor pixels, which point into the received message: a parsed structure
// lives no longer than the message it came from.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/mem.h"

typedef int32_t SPICE_FIXED28_4;

struct SpicePoint {
    int32_t x;
    int32_t y;
};

struct SpicePoint16 {
    int16_t x;
    int16_t y;
};

struct SpicePointFix {
    SPICE_FIXED28_4 x;
    SPICE_FIXED28_4 y;
};

struct SpiceRect {
    int32_t left;
    int32_t top;
    int32_t right;
    int32_t bottom;
};

enum {
    SPICE_CLIP_TYPE_NONE = 0,
    SPICE_CLIP_TYPE_RECTS = 1,
};

struct SpiceClipRects {
    uint32_t num_rects;
    SpiceRect* rects;  // num_rects entries, directly behind this record
};

struct SpiceClip {
    uint8_t type;           // as sent; only SPICE_CLIP_TYPE_RECTS has rectangles
    SpiceClipRects* rects;  // NULL unless type is SPICE_CLIP_TYPE_RECTS
};

enum {
    SPICE_IMAGE_TYPE_BITMAP = 0,
    SPICE_IMAGE_TYPE_QUIC = 1,
    SPICE_IMAGE_TYPE_LZ_PLT = 100,
    SPICE_IMAGE_TYPE_LZ_RGB = 101,
    SPICE_IMAGE_TYPE_GLZ_RGB = 102,
    SPICE_IMAGE_TYPE_FROM_CACHE = 103,
    SPICE_IMAGE_TYPE_SURFACE = 104,
    SPICE_IMAGE_TYPE_JPEG = 105,
    SPICE_IMAGE_TYPE_FROM_CACHE_LOSSLESS = 106,
    SPICE_IMAGE_TYPE_ZLIB_GLZ_RGB = 107,
    SPICE_IMAGE_TYPE_JPEG_ALPHA = 108,
    // Known only to the compact draw encoding; its body is that of QUIC.
    SPICE_IMAGE_TYPE_COMPACT_110 = 110,
};

enum {
    SPICE_IMAGE_FLAGS_CACHE_ME = 1 << 0,
    SPICE_IMAGE_FLAGS_HIGH_BITS_SET = 1 << 1,
    SPICE_IMAGE_FLAGS_CACHE_REPLACE_ME = 1 << 2,
};

enum {
    SPICE_BITMAP_FMT_INVALID = 0,
    SPICE_BITMAP_FMT_1BIT_LE = 1,
    SPICE_BITMAP_FMT_1BIT_BE = 2,
    SPICE_BITMAP_FMT_4BIT_LE = 3,
    SPICE_BITMAP_FMT_4BIT_BE = 4,
    SPICE_BITMAP_FMT_8BIT = 5,
    SPICE_BITMAP_FMT_16BIT = 6,
    SPICE_BITMAP_FMT_24BIT = 7,
    SPICE_BITMAP_FMT_32BIT = 8,
    SPICE_BITMAP_FMT_RGBA = 9,
    SPICE_BITMAP_FMT_8BIT_A = 10,
};

// Bits per pixel of a bitmap format; 0 for a format this client does not know.
inline unsigned spice_bitmap_format_bpp(uint8_t format) {
    static const uint8_t bpp[] = {0, 1, 1, 4, 4, 8, 16, 24, 32, 32, 8};
    return format < sizeof(bpp) ? bpp[format] : 0;
}

enum {
    SPICE_BITMAP_FLAGS_PAL_CACHE_ME = 1 << 0,
    SPICE_BITMAP_FLAGS_PAL_FROM_CACHE = 1 << 1,
    SPICE_BITMAP_FLAGS_TOP_DOWN = 1 << 2,
};

struct SpicePalette {
    uint64_t unique;
    uint16_t num_ents;
    uint32_t* ents;  // num_ents colours, directly behind this record
};

struct SpiceImageDescriptor {
    uint64_t id;
    uint8_t type;
    uint8_t flags;
    uint32_t width;
    uint32_t height;
};

// Pixel data: stride * y bytes in one chunk. With SPICE_BITMAP_FLAGS_PAL_FROM_CACHE the palette is NULL and
// palette_id names a cached one; otherwise palette may be NULL (no palette) and palette_id is 0. The parser
// has checked that a row of x pixels of a known format fits in stride bytes.
struct SpiceBitmap {
    uint8_t format;
    uint8_t flags;
    uint32_t x;
    uint32_t y;
    uint32_t stride;
    SpicePalette* palette;
    uint64_t palette_id;
    SpiceChunks* data;
};

// QUIC, LZ_RGB, GLZ_RGB, JPEG (and the compact type 110): data_size bytes in one chunk.
struct SpiceCompressedData {
    uint32_t data_size;
    SpiceChunks* data;
};
typedef SpiceCompressedData SpiceQUICData;
typedef SpiceCompressedData SpiceLZRGBData;
typedef SpiceCompressedData SpiceJPEGData;

// The palette is never NULL unless SPICE_BITMAP_FLAGS_PAL_FROM_CACHE is set (then palette_id names it).
struct SpiceLZPLTData {
    uint8_t flags;
    uint32_t data_size;
    SpicePalette* palette;
    uint64_t palette_id;
    SpiceChunks* data;
};

struct SpiceZlibGlzRGBData {
    uint32_t glz_data_size;  // size of the GLZ stream once inflated
    uint32_t data_size;
    SpiceChunks* data;
};

// data holds jpeg_size bytes of JPEG followed by the LZ alpha plane; jpeg_size <= data_size.
struct SpiceJPEGAlphaData {
    uint8_t flags;
    uint32_t jpeg_size;
    uint32_t data_size;
    SpiceChunks* data;
};

struct SpiceSurface {
    uint32_t surface_id;
};

struct SpiceImage {
    SpiceImageDescriptor descriptor;
    union {
        SpiceBitmap bitmap;
        SpiceQUICData quic;
        SpiceSurface surface;
        SpiceLZRGBData lz_rgb;  // LZ_RGB and GLZ_RGB
        SpiceLZPLTData lz_plt;
        SpiceJPEGData jpeg;
        SpiceZlibGlzRGBData zlib_glz;
        SpiceJPEGAlphaData jpeg_alpha;
    } u;
};

enum {
    SPICE_BRUSH_TYPE_NONE = 0,
    SPICE_BRUSH_TYPE_SOLID = 1,
    SPICE_BRUSH_TYPE_PATTERN = 2,
};

struct SpicePattern {
    SpiceImage* pat;  // never NULL
    SpicePoint pos;
};

struct SpiceBrush {
    uint32_t type;
    union {
        uint32_t color;
        SpicePattern pattern;
    } u;
};

enum {
    SPICE_MASK_FLAGS_INVERS = 1 << 0,
};

struct SpiceQMask {
    uint8_t flags;
    SpicePoint pos;
    SpiceImage* bitmap;  // NULL: no mask
};

enum {
    SPICE_PATH_BEGIN = 1 << 0,
    SPICE_PATH_END = 1 << 1,
    SPICE_PATH_CLOSE = 1 << 3,
    SPICE_PATH_BEZIER = 1 << 4,
};

struct SpicePathSeg {
    uint32_t flags;
    uint32_t count;
    SpicePointFix* points;  // count points, directly behind this record
};

struct SpicePath {
    uint32_t num_segments;
    SpicePathSeg** segments;  // num_segments pointers, directly behind this record
};

enum {
    SPICE_LINE_FLAGS_START_WITH_GAP = 1 << 2,
    SPICE_LINE_FLAGS_STYLED = 1 << 3,
};

// style has style_nseg entries when SPICE_LINE_FLAGS_STYLED is set; otherwise style_nseg is 0 and style NULL.
struct SpiceLineAttr {
    uint8_t flags;
    uint8_t style_nseg;
    SPICE_FIXED28_4* style;
};

enum {
    SPICE_STRING_FLAGS_RASTER_A1 = 1 << 0,
    SPICE_STRING_FLAGS_RASTER_A4 = 1 << 1,
    SPICE_STRING_FLAGS_RASTER_A8 = 1 << 2,
    SPICE_STRING_FLAGS_RASTER_TOP_DOWN = 1 << 3,
};

// Bits per glyph pixel of a glyph string: the first of A1, A4, A8 that is set, 0 when none is. The parser
// sized every glyph's rows by this rule; readers of the rows must use it too.
inline unsigned spice_string_bpp(uint16_t flags) {
    return (flags & SPICE_STRING_FLAGS_RASTER_A1)   ? 1
           : (flags & SPICE_STRING_FLAGS_RASTER_A4) ? 4
           : (flags & SPICE_STRING_FLAGS_RASTER_A8) ? 8
                                                    : 0;
}

// height rows of (width * bpp + 7) / 8 bytes.
struct SpiceRasterGlyph {
    SpicePoint render_pos;
    SpicePoint glyph_origin;
    uint16_t width;
    uint16_t height;
    const uint8_t* data;  // in the received message
};

struct SpiceString {
    uint16_t length;
    uint16_t flags;
    SpiceRasterGlyph** glyphs;  // length pointers, directly behind this record
};

enum {
    SPICE_ROPD_INVERS_SRC = 1 << 0,
    SPICE_ROPD_INVERS_BRUSH = 1 << 1,
    SPICE_ROPD_INVERS_DEST = 1 << 2,
    SPICE_ROPD_OP_PUT = 1 << 3,
    SPICE_ROPD_OP_OR = 1 << 4,
    SPICE_ROPD_OP_AND = 1 << 5,
    SPICE_ROPD_OP_XOR = 1 << 6,
    SPICE_ROPD_OP_BLACKNESS = 1 << 7,
    SPICE_ROPD_OP_WHITENESS = 1 << 8,
    SPICE_ROPD_OP_INVERS = 1 << 9,
    SPICE_ROPD_INVERS_RES = 1 << 10,
};

enum {
    SPICE_IMAGE_SCALE_MODE_INTERPOLATE = 0,
    SPICE_IMAGE_SCALE_MODE_NEAREST = 1,
};

// Source image pointers of the draw bodies below may be NULL when the server sent offset 0.
struct SpiceFill {
    SpiceBrush brush;
    uint16_t rop_descriptor;
    SpiceQMask mask;
};

struct SpiceCopy {
    SpiceImage* src_bitmap;
    SpiceRect src_area;
    uint16_t rop_descriptor;
    uint8_t scale_mode;
    SpiceQMask mask;
};
typedef SpiceCopy SpiceBlend;

struct SpiceOpaque {
    SpiceImage* src_bitmap;
    SpiceRect src_area;
    SpiceBrush brush;
    uint16_t rop_descriptor;
    uint8_t scale_mode;
    SpiceQMask mask;
};

struct SpiceWhiteness {
    SpiceQMask mask;
};
typedef SpiceWhiteness SpiceBlackness;
typedef SpiceWhiteness SpiceInvers;

struct SpiceRop3 {
    SpiceImage* src_bitmap;
    SpiceRect src_area;
    SpiceBrush brush;
    uint8_t rop3;
    uint8_t scale_mode;
    SpiceQMask mask;
};

struct SpiceStroke {
    SpicePath* path;  // never NULL
    SpiceLineAttr attr;
    SpiceBrush brush;
    uint16_t fore_mode;
    uint16_t back_mode;
};

struct SpiceText {
    SpiceString* str;  // NULL when the server sent offset 0
    SpiceRect back_area;
    SpiceBrush fore_brush;
    SpiceBrush back_brush;
    uint16_t fore_mode;
    uint16_t back_mode;
};

struct SpiceTransparent {
    SpiceImage* src_bitmap;
    SpiceRect src_area;
    uint32_t src_color;
    uint32_t true_color;
};

enum {
    SPICE_ALPHA_FLAGS_DEST_HAS_ALPHA = 1 << 0,
    SPICE_ALPHA_FLAGS_SRC_SURFACE_HAS_ALPHA = 1 << 1,
};

struct SpiceAlphaBlend {
    uint16_t alpha_flags;
    uint8_t alpha;
    SpiceImage* src_bitmap;
    SpiceRect src_area;
};

enum {
    SPICE_COMPOSITE_HAS_MASK = 1 << 19,
    SPICE_COMPOSITE_HAS_SRC_TRANSFORM = 1 << 20,
    SPICE_COMPOSITE_HAS_MASK_TRANSFORM = 1 << 21,
};

// 16.16 fixed point, row-major t00 t01 t02 t10 t11 t12.
struct SpiceTransform {
    uint32_t t00, t01, t02;
    uint32_t t10, t11, t12;
};

// A transform whose flag is clear reads as all zero; mask_bitmap is NULL without SPICE_COMPOSITE_HAS_MASK.
struct SpiceComposite {
    uint32_t flags;
    SpiceImage* src_bitmap;
    SpiceImage* mask_bitmap;
    SpiceTransform src_transform;
    SpiceTransform mask_transform;
    SpicePoint16 src_origin;
    SpicePoint16 mask_origin;
};

// Surface id 0 is the primary surface; the older protocol generation has no surface id and always gives 0.
struct SpiceMsgDisplayBase {
    uint32_t surface_id;
    SpiceRect box;
    SpiceClip clip;
};

// The layout this file promises to the canvas and the compact parsers.
static_assert(sizeof(SpiceRect) == 16 && sizeof(SpicePoint) == 8 && sizeof(SpicePoint16) == 4,
              "plain records");
static_assert(sizeof(SpiceImageDescriptor) == 24 && offsetof(SpiceImage, u) == 24, "image descriptor");
static_assert(sizeof(SpiceClip) == 16 && sizeof(SpiceMsgDisplayBase) == 40, "display base");
static_assert(sizeof(SpiceBrush) == 24 && sizeof(SpiceQMask) == 24, "brush and mask");
