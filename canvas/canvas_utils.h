// Pixman images for the common canvas code: backed by a DIB section (with its own mutex) when a device
// context is at hand and fewer than 5000 such images are alive, by heap memory otherwise. Every image made
// here carries a PixmanData record, freed with the image's last reference.
#pragma once

#include <pixman.h>

#include <cstdint>

#include "canvas/canvas_base.h"
#include "transport/protocol/extra_messages.h"
#include "winapi/windows.h"

struct PixmanData {
    HBITMAP bitmap;               // the DIB section; null for heap images
    HANDLE mutex;                 // taken by the GDI back end while the DIB is selected in a device context
    uint8_t* data;                // heap block owned by the image; null when the image owns none
    pixman_format_code_t format;  // 0 when unknown
};

// The largest image made from server data: 64 Mi pixels (256 MiB at 32 bits), and no side longer than
// MAX_IMAGE_SIDE. Pixman's own limit (row bytes and the whole block within an int) lies above both.
const uint64_t MAX_IMAGE_PIXELS = uint64_t(1) << 26;
const uint64_t MAX_IMAGE_SIDE = uint64_t(1) << 16;

// The most DIB-backed images alive at once; past it images are made in heap memory.
const int SURFACE_MAX_DIBS = 5000;

// A new image (one reference), or null after an ERROR report. dc may be null.
pixman_image_t* surface_create(HDC dc, pixman_format_code_t format, int width, int height, int top_down);
// Heap-backed: |stride| x height bytes; a negative stride makes the image bottom-up (first row is the last in
// the block).
pixman_image_t* surface_create_stride(pixman_format_code_t format, int width, int height, int stride);
// The output image of an LZ/GLZ decode of gross_pixels pixels; also stored in data->out_surface.
pixman_image_t* lz_output_surface_create(LzDecodeUsrData* data, pixman_format_code_t format, int width,
                                         int height, int gross_pixels, int top_down);

// The image's record, made and attached when missing (null after an ERROR report).
PixmanData* pixman_image_add_data(pixman_image_t* image);
// 1 and the recorded format, or 0 when there is no record or no format.
int spice_pixman_image_get_format(pixman_image_t* image, pixman_format_code_t* format);

// The number of DIB-backed images alive.
int surface_dib_count();

// The surface a cache-build message asks for: its pixel format and size. False, with a warning, for an
// unknown format or a size outside the bounds of a built surface (every side within what pixman composites,
// at most 16 Mpx: twice a 3840x2160 screen).
bool cache_build_surface(const SpiceMsgDisplayDrawCacheBuild* build, pixman_format_code_t* format, int* width,
                         int* height);
