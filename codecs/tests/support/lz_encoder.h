// Test-only greedy LZ and GLZ encoders, written from the stream formats the decoders read.
//
// Both work on units, the compressed form of one literal: a packed byte of a palette image, two bytes (high
// first) of an RGB16 pixel, b, g, r of an RGB24 or RGB32 pixel, one byte of an alpha plane or A8 image. At
// each position they take the longest match among the recent earlier positions that start with the same unit
// (and, for GLZ, in the earlier images given), or else a literal.
#pragma once

#include <cstdint>
#include <vector>

// One back-reference the encoder wrote, in units: the length, and the distance back (LZ and same-image GLZ)
// or the unit offset inside the image image_dist images back (GLZ).
struct LzMatch {
    uint64_t len;
    uint64_t dist;
    uint64_t image_dist;
};

// The 28-byte LZ header.
std::vector<uint8_t> lz_header(uint32_t type, uint32_t width, uint32_t height, uint32_t stride,
                               uint32_t top_down);

// An LZ body over units of unit_bytes (1, 2 or 3) bytes. Matches shorter than min_len units stay literals (0:
// as short as the code allows).
std::vector<uint8_t> lz_encode_units(const std::vector<uint8_t>& units, unsigned unit_bytes,
                                     std::vector<LzMatch>* matches = nullptr, unsigned min_len = 0);

// The 33-byte GLZ header.
std::vector<uint8_t> glz_header(uint32_t type, bool top_down, uint32_t width, uint32_t height,
                                uint32_t stride, uint64_t id, int32_t win_head_dist);

// An earlier image a GLZ body may reference: its units and how many images back it is.
struct GlzRefImage {
    uint64_t image_dist;
    const std::vector<uint8_t>* units;
};

// A GLZ body over units of unit_bytes bytes with the given length bias (2 for palettes and alpha, 1 for
// RGB16, 0 for RGB24 and RGB32), referencing this image and the earlier images given. min_len as for LZ.
std::vector<uint8_t> glz_encode_units(const std::vector<uint8_t>& units, unsigned unit_bytes, unsigned bias,
                                      const std::vector<GlzRefImage>& refs = {},
                                      std::vector<LzMatch>* matches = nullptr, unsigned min_len = 0);
