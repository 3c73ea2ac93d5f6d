// Pixel-level routines under the software canvas: solid, tiled and copying fills of rectangles in pixman
// images, each also with a RasterOp; a colour-keyed copy; an overlap-safe copy inside one image; the pixman
// formats of SPICE surface and bitmap formats; and the conversion of SPICE bitmaps into pixman images.
//
// Raster operations, tiles and colour keys work on 8-, 16- and 32-bit pixels through tables of span functions
// chosen once per rectangle. Plain fills and copies go to pixman first.
//
// Reports go through the SPICE-style log and the call then draws nothing:
// - a rectangle outside the destination, an empty rectangle or a RasterOp above 15 is a caller's fault (the
//   canvas clips every rectangle first): "assertion `%s' failed" at ERROR;
// - what server data can bring about (depths that differ or that these routines do not handle, an empty tile,
//   unknown formats, a missing or unusable palette) is reported at Warning, and the call refuses.
//
// Images may be bottom-up (negative stride). No routine keeps a reference to an image it is given.
#pragma once

#include <pixman.h>

#include <cstdint>

#include "canvas/raster_types.h"
#include "transport/protocol/spice_types.h"

// Bits per pixel from the image's depth: 24 counts as 32 and 15 as 16; other depths are taken as they are.
int spice_pixman_image_get_bpp(pixman_image_t* image);

// The pixman format of a SPICE surface format; 0 (with a warning) for any other value.
pixman_format_code_t surface_format_to_pixman_format(uint32_t surface_format);

void spice_pixman_fill_rect(pixman_image_t* dest, int x, int y, int width, int height, uint32_t value);
// value, cut to the pixel width, is the source of rop over the rectangle.
void spice_pixman_fill_rect_rop(pixman_image_t* dest, int x, int y, int width, int height, uint32_t value,
                                RasterOp rop);

// The tile repeats in both directions with its pixel (0, 0) at dest position (offset_x, offset_y). The tile
// has the destination's bits per pixel and at least one pixel in each direction.
void spice_pixman_tile_rect(pixman_image_t* dest, int x, int y, int width, int height, pixman_image_t* tile,
                            int offset_x, int offset_y);
void spice_pixman_tile_rect_rop(pixman_image_t* dest, int x, int y, int width, int height,
                                pixman_image_t* tile, int offset_x, int offset_y, RasterOp rop);

// Copies of src's rectangle at (src_x, src_y) to dest at (dest_x, dest_y). The rectangle is first cut to the
// source (parts left of or above it, or past its far edges, are dropped with their destination pixels); the
// rest must lie inside dest. Both images have the same bits per pixel. The colour key is compared on the
// pixel's low 8, 16 or 24 bits (the fourth byte of a 32-bit pixel is ignored); copied pixels keep all their
// bits.
void spice_pixman_blit(pixman_image_t* dest, pixman_image_t* src, int src_x, int src_y, int dest_x,
                       int dest_y, int width, int height);
void spice_pixman_blit_rop(pixman_image_t* dest, pixman_image_t* src, int src_x, int src_y, int dest_x,
                           int dest_y, int width, int height, RasterOp rop);
void spice_pixman_blit_colorkey(pixman_image_t* dest, pixman_image_t* src, int src_x, int src_y, int dest_x,
                                int dest_y, int width, int height, uint32_t transparent_color);

// Moves a rectangle inside one image; source and destination may overlap. The caller keeps both inside the
// image.
void spice_pixman_copy_within(pixman_image_t* image, int src_x, int src_y, int width, int height, int dest_x,
                              int dest_y);

// A view of a direct-colour bitmap's own memory (16, 24 and 32 bits, with or without alpha, stride a multiple
// of 4; nothing otherwise). A bottom-up bitmap gets a view whose row 0 is the picture's top row. The memory
// must stay valid and unchanged while the view lives.
pixman_image_t* spice_bitmap_wrap_pixman(int format, int flags, int width, int height, uint8_t* data,
                                         int stride);

// Converts a bitmap into dest, or into a new image of the bitmap's natural format when dest is null (the
// palette formats take the format of palette_surface_format). stride is the distance between stored rows
// (signed); the top-down flag of flags says whether the first stored row is the top one. The result is dest
// (no further reference) or the new image (one reference for the caller); null, after a warning, for an
// unknown or unsupported bitmap format, a palette format without a palette or with a palette surface format
// other than 16, 32 and 96, a stride shorter than a row, or a dest smaller than the bitmap. Palette indices
// past the palette's end take entry 0 (black when the palette is empty).
pixman_image_t* spice_bitmap_to_pixman(pixman_image_t* dest, int format, int flags, int width, int height,
                                       uint8_t* data, int stride, uint32_t palette_surface_format,
                                       const SpicePalette* palette);

// As spice_bitmap_to_pixman, into dest or into a new image of dest_format, converting pixel formats with
// pixman where the bitmap's natural format differs (a bitmap with alpha goes into x8r8g8b8 as it is, alpha
// byte kept).
pixman_image_t* spice_bitmap_convert_into_pixman(pixman_format_code_t dest_format, pixman_image_t* dest,
                                                 int format, int flags, int width, int height, uint8_t* data,
                                                 int stride, uint32_t palette_surface_format,
                                                 const SpicePalette* palette);
