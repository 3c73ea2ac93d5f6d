// QUIC: the lossless predictive image codec of the display server (adaptive Golomb-Rice residuals with
// run-length coding). This module is its decoder.
//
// A canvas creates one decoder with a record of seven call-backs, then for each QUIC image calls
// quic_decode_begin (reads the header) and quic_decode (writes the pixels). quic_init builds the process-wide
// code tables once, at start-up, before any decoder is created.
//
// The stream comes from the server: every size is checked, and a bad stream fails that image only. The
// header's width and height must equal the size the caller expects before anything is allocated for them.
#pragma once

#include <cstddef>
#include <cstdint>

enum QuicImageType {
    QUIC_IMAGE_TYPE_INVALID = 0,
    QUIC_IMAGE_TYPE_GRAY = 1,   // 1 byte
    QUIC_IMAGE_TYPE_RGB16 = 2,  // 16-bit little-endian word: r bits 10-14, g 5-9, b 0-4, bit 15 written 0
    QUIC_IMAGE_TYPE_RGB24 = 3,  // b, g, r
    QUIC_IMAGE_TYPE_RGB32 = 4,  // b, g, r, pad written 0
    QUIC_IMAGE_TYPE_RGBA = 5,   // b, g, r, a
};

// The call-backs, in this order; all but more_lines are required. The context argument is the record itself,
// so a caller embeds it at the start of its own data.
struct QuicUsrContext {
    // A failed image. The canvas's call-back keeps the message and returns; the decoder call that reported it
    // then returns -1. A call-back may also jump away; the decoder stays usable for the next image.
    void (*error)(QuicUsrContext* usr, const char* format, ...) __attribute__((format(printf, 2, 3)));
    void (*warn)(QuicUsrContext* usr, const char* format, ...) __attribute__((format(printf, 2, 3)));
    void (*info)(QuicUsrContext* usr, const char* format, ...) __attribute__((format(printf, 2, 3)));
    void* (*malloc)(QuicUsrContext* usr, size_t size);
    void (*free)(QuicUsrContext* usr, void* ptr);
    // Further input once the bytes given so far are used up: points *data at them and returns their count, 0
    // or less when there are none. rows_completed is the number of rows of the image already finished. The
    // count must be a multiple of 4 (the stream is whole 32-bit words); any other count fails the image.
    int64_t (*more_space)(QuicUsrContext* usr, const uint8_t** data, int rows_completed);
    // Part of the record's layout; the decoder never calls it, and it may be NULL.
    int (*more_lines)(QuicUsrContext* usr, uint8_t** lines);
};

struct QuicContext;

// Builds the code tables. Later calls do nothing.
void quic_init();

// A decoder, or NULL when usr or a required call-back is missing, quic_init has not run, or an allocation
// failed.
QuicContext* quic_create(QuicUsrContext* usr);
void quic_destroy(QuicContext* quic);

// Starts an image on size bytes at data (no alignment needed; more come from more_space). The stream must
// hold at least its five header words and a whole number of words. The header's width and height must be
// non-zero and equal expected_width and expected_height. Returns 0 with the image's type and size, or -1: a
// bad magic, version or size is warned about, an unknown image type goes to the error call-back.
int quic_decode_begin(QuicContext* quic, const uint8_t* data, uint64_t size, int expected_width,
                      int expected_height, QuicImageType* type, int* width, int* height);

// Decodes the image started by the last successful quic_decode_begin into buf, in the output format, which
// must suit the image type (gray: gray; RGB16: RGB16 or RGB32; RGB24 and RGB32: RGB32 or RGB24; RGBA: RGBA).
// Row r starts at buf + r * stride; a negative stride writes the rows upwards. |stride| must hold a row of
// the output format. Returns 0, or -1: an unsuitable format is warned about before anything is written; a
// stream that runs out or describes what no encoder writes goes to the error call-back.
int quic_decode(QuicContext* quic, QuicImageType format, uint8_t* buf, int stride);
