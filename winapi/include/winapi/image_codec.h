// Image decoding for code above this layer that turns PNG or BMP bytes into a device-independent bitmap, as
// an image library would on Windows (the platform clipboard converts the guest's images with it).
#pragma once

#include "winapi/wintypes.h"

#define IMAGE_CODEC_BMP 1
#define IMAGE_CODEC_PNG 4

// A GMEM_MOVEABLE global block holding the packed bitmap (CF_DIB layout; 32 bits per pixel, bottom-up, for
// PNG); NULL when the bytes are not a well-formed image of that format or exceed the size limits.
HGLOBAL image_codec_decode_to_dib(const BYTE* data, SIZE_T size, UINT format);
