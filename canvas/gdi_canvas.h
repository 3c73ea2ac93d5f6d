// The GDI back end of the canvas: a SpiceCanvas that draws the draw messages themselves with GDI calls into a
// device context, that of a RedPixmapGdi. It fills the draw slots of the operation table and leaves the
// implementation slots (22-46) and read_bits at their defaults; composite and groups come from the common
// code.
//
// Every operation runs on the display channel's thread and holds the canvas's drawable lock while it touches
// the device context, since the main thread copies the same pixmap to the screen. Lock order: this canvas's
// lock, then a source canvas's, then a pattern canvas's; images are fetched before the canvas lock is taken.
#pragma once

#include <cstdint>

#include "canvas/canvas_base.h"
#include "winapi/windows.h"

class RecurciveMutex;

// Fills the GDI operation table; once, at start-up, before any canvas is made. Later calls do nothing.
void gdi_canvas_ops_init();

// A canvas drawing into dc, a device context with a width x height bitmap of the SPICE surface format
// selected, under lock. Both outlive the canvas. Null before gdi_canvas_ops_init or when the canvas state
// cannot be set up.
SpiceCanvas* gdi_canvas_new(int width, int height, HDC dc, RecurciveMutex* lock, uint32_t format,
                            SpiceImageCache* bits_cache, SpicePaletteCache* palette_cache,
                            SpiceSurfaces* surfaces, SpiceGlzDecoder* glz_decoder,
                            SpiceJpegDecoder* jpeg_decoder, SpiceZlibDecoder* zlib_decoder);

// Whether a canvas is of this back end.
bool is_gdi_canvas(const SpiceCanvas* canvas);

// The 8-bit ternary code (over pattern 0xF0, source 0xCC, destination 0xAA) of a raster-operation descriptor;
// with brush set the brush takes the source's place. Descriptors mean what the software back end makes of
// them.
uint8_t gdi_calc_rop3(uint16_t rop_descriptor, bool brush);
// The ternary code of an opaque draw: brush over the source, which is already in place.
uint8_t gdi_opaque_rop3(uint16_t rop_descriptor);
// The 32-bit raster-operation code of BitBlt-family calls for a ternary code.
DWORD gdi_rop3_code(uint8_t rop3);
// A 28.4 coordinate as the GDI back end places it: integer part plus the fraction over 15, toward zero.
int gdi_fixed_to_int(int32_t fixed);
// The pen mix of a stroke's fore mode.
int gdi_stroke_mix(uint16_t fore_mode);
