// The software back end of the canvas: a SpiceCanvas whose drawing target is a pixman image in memory. The
// common draw operations reach its pixels through the implementation slots, which draw with pixman and the
// raster span helpers; text, image put, clear, pixel read-out and the cached-surface messages are its own.
// A canvas is drawn by one display channel thread and holds no lock.
#pragma once

#include <pixman.h>

#include <cstdint>

#include "canvas/canvas_base.h"

// Fills the software operation table; once, at start-up, before any canvas is made. Later calls do nothing.
void sw_canvas_ops_init();

// A canvas over image, whose pixman format must be that of the SPICE surface format. The canvas takes over
// the caller's reference to image. Null (the caller keeps its reference) before sw_canvas_ops_init or when
// the canvas state cannot be set up.
SpiceCanvas* sw_canvas_new(pixman_image_t* image, uint32_t format, SpiceImageCache* bits_cache,
                           SpicePaletteCache* palette_cache, SpiceSurfaces* surfaces,
                           SpiceGlzDecoder* glz_decoder, SpiceJpegDecoder* jpeg_decoder,
                           SpiceZlibDecoder* zlib_decoder);
