// Test-only QUIC encoder: the decoder's model mirrored on the writing side (the same contexts, buckets, wait
// table, segments and run coding), so that round trips reach every path of the decoder. It also writes the
// two faults a corrupt stream can carry. Small and slow on purpose: one bit at a time.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "codecs/quic.h"

struct QuicTestImage {
    QuicImageType type = QUIC_IMAGE_TYPE_RGB32;
    unsigned width = 0;
    unsigned height = 0;
    // Rows top to bottom; each pixel's channels in stream order r, g, b, alpha (gray: the first). RGB16
    // values are 5 bits.
    std::vector<std::array<uint8_t, 4>> pixels;

    QuicTestImage() = default;
    QuicTestImage(QuicImageType t, unsigned w, unsigned h)
        : type(t), width(w), height(h), pixels(size_t(w) * h) {}
    std::array<uint8_t, 4>& at(unsigned x, unsigned y) { return pixels[size_t(y) * width + x]; }
    const std::array<uint8_t, 4>& at(unsigned x, unsigned y) const { return pixels[size_t(y) * width + x]; }
};

// Faults to write into the stream; the defaults write none.
struct QuicEncodeFaults {
    int64_t run_overshoot = 0;   // added to the length written for the first run
    int64_t bad_escape_at = -1;  // pixel of row 0 whose first symbol becomes an escape to the first value
                                 // past the channel's (its code must be one whose escape reaches that far)
};

// What a stream exercised, so that a test can show it reached the paths it is about.
struct QuicEncodeStats {
    unsigned runs = 0;
    unsigned empty_runs = 0;           // length 0: the pixel after the run test differs
    unsigned runs_to_segment_end = 0;  // ending exactly where the segment ends
    unsigned escapes = 0;
    unsigned max_wmidx = 0;
    unsigned longest_run = 0;
};

std::vector<uint8_t> quic_test_encode(const QuicTestImage& image, const QuicEncodeFaults& faults = {},
                                      QuicEncodeStats* stats = nullptr);

// Flat areas (runs), gradients and noise side by side, the noise from `seed`; 5-bit values for RGB16.
QuicTestImage mixed_image(QuicImageType type, unsigned width, unsigned height, unsigned seed);
