// LZ image decoder: palette, 16-, 24- and 32-bit images, images with alpha and alpha masks, each image on its
// own (the cross-image variant is GLZ, glz_decoder.h).
//
// A stream is a 28-byte big-endian header and a body of literal runs and back-references. The canvas makes
// one context per canvas and, on the display channel's thread, runs lz_decode_begin and lz_decode for each LZ
// image. The stream is the server's: every failure (a bad header, a body that ends early, leaves the image,
// or goes on after it) reports through the error call-back and fails that image with -1; nothing is read or
// written outside the given input, palette and buffer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codecs/lz_common.h"
#include "transport/protocol/spice_types.h"

// The call-back record. The context argument is the record itself, so a caller embeds it at the start of its
// own data. error reports a failed image: the canvas's call-back keeps the message and returns, and the call
// that reported it returns -1. more_space hands out further input and answers its byte count (0 or less:
// none). more_lines is part of the layout only: it is never called and may be NULL; every other call-back is
// required.
struct LzUsrContext {
    void (*error)(LzUsrContext* usr, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void (*warn)(LzUsrContext* usr, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void (*info)(LzUsrContext* usr, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void* (*malloc)(LzUsrContext* usr, size_t size);
    void (*free)(LzUsrContext* usr, void* ptr);
    int (*more_space)(LzUsrContext* usr, uint8_t** io_ptr);
    int (*more_lines)(LzUsrContext* usr, uint8_t** lines);
};

struct LzContext;

// Nothing when the record or any of its required call-backs is missing, or when the allocation fails.
LzContext* lz_create(LzUsrContext* usr);
void lz_destroy(LzContext* lz);

// Reads and checks the header of the stream at io_ptr (more input through more_space) and keeps the palette
// of a palette image for lz_decode; the palette must outlive that call. Out: the image type, width, height,
// pixel count (palette types: stride x pixels per byte x height; others: width x height) and top-down flag.
// Fails (-1) on a bad magic or version, a palette image whose rows are narrower than its width, or a pixel
// count above INT32_MAX. 0 on success.
int lz_decode_begin(LzContext* lz, const uint8_t* io_ptr, unsigned int num_io_bytes, LzImageType* out_type,
                    int* out_width, int* out_height, int* out_n_pixels, int* out_top_down,
                    const SpicePalette* palette);

// Decodes the body begun by lz_decode_begin into buf as to_type, which the image type must accept: the pixel
// count of to_type's layout, rows back to back. buf_size is buf's size in bytes. The whole input must make up
// the image: input left over afterwards fails. 0 on success, -1 on failure.
int lz_decode(LzContext* lz, LzImageType to_type, uint8_t* buf, uint64_t buf_size);
