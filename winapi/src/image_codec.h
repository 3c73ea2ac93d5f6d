// PNG and BMP bytes to and from a packed device-independent bitmap (the CF_DIB layout: an info header, the
// bit-field masks or colour table if any, then the rows). Accepted bitmaps: 24 and 32 bits per pixel,
// uncompressed or with the plain BGRX bit-field masks, bottom-up or top-down. Every input is untrusted: sizes
// are checked in 64 bits against the bytes present and the caps below before anything is allocated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace winapi_internal {

// Largest image accepted either way.
const uint32_t IMAGE_MAX_DIMENSION = 32768;
const uint64_t IMAGE_MAX_PIXELS = 64ull << 20;

// A PNG becomes a bottom-up 32-bit BI_RGB bitmap whose fourth byte is the alpha (255 where the PNG has none).
bool image_png_to_dib(const uint8_t* png, size_t size, std::vector<uint8_t>* dib);
// A 32-bit bitmap keeps its fourth byte as alpha when any pixel's is nonzero (or the header has an alpha
// mask); otherwise the PNG is opaque RGB.
bool image_dib_to_png(const uint8_t* dib, size_t size, std::vector<uint8_t>* png);
// The bitmap file's rows are copied so that they follow the header and table directly.
bool image_bmp_to_dib(const uint8_t* bmp, size_t size, std::vector<uint8_t>* dib);
bool image_dib_to_bmp(const uint8_t* dib, size_t size, std::vector<uint8_t>* bmp);

}  // namespace winapi_internal
