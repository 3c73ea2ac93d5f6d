// Whole-image JPEG decoder of the canvas: JPEG images of drawing commands and the colour part of
// JPEG-with-alpha images, decoded through libjpeg-turbo into 24- or 32-bit rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>  // jpeglib.h needs FILE and size_t declared first

#include "winapi/wintypes.h"  // before jpeglib.h: one INT32 for both

#include <jpeglib.h>

#include "codecs/jpeg_common.h"

// The face the canvas code calls through (its first field points to the operation table).
struct SpiceJpegDecoder;
struct SpiceJpegDecoderOps {
    // Reads the header of a JPEG of data_size bytes and gives its size; false when the image cannot be
    // decoded.
    bool (*begin_decode)(SpiceJpegDecoder* decoder, const uint8_t* data, uint32_t data_size, int* out_width,
                         int* out_height);
    // Decodes the image begun last into rows of dest, stride bytes apart (negative for bottom-up), in bitmap
    // format 7 (24-bit) or 8 (32-bit); false when the data turns out to be corrupt or truncated.
    bool (*decode)(SpiceJpegDecoder* decoder, uint8_t* dest, int stride, int format);
};
struct SpiceJpegDecoder {
    const SpiceJpegDecoderOps* ops;
};

enum {
    JPEG_BITMAP_FMT_24BIT = 7,  // SPICE_BITMAP_FMT_24BIT: blue, green, red
    JPEG_BITMAP_FMT_32BIT = 8,  // SPICE_BITMAP_FMT_32BIT: blue, green, red, 0
};

// One per canvas, used only on its display channel's thread.
class JpegDecoder {
public:
    JpegDecoder();
    ~JpegDecoder();
    JpegDecoder(const JpegDecoder&) = delete;
    JpegDecoder& operator=(const JpegDecoder&) = delete;

    // The data must stay valid until decode returns. An image begun earlier and never decoded is abandoned.
    bool begin(const uint8_t* data, uint32_t size, int* out_width, int* out_height);
    // Writes height rows of width pixels (the sizes begin gave) straight from libjpeg into dest. A format
    // other than 7 or 8 throws Exception "bad bitmap format, %d" before anything is decoded.
    bool decode(uint8_t* dest, int stride, int format);

    SpiceJpegDecoder* face() { return &_face; }

    struct Face : SpiceJpegDecoder {
        JpegDecoder* owner;
    };
    // How rows of a bitmap format come out of libjpeg, chosen once per image.
    struct OutputLayout {
        J_COLOR_SPACE color_space;
        int components;
        void (*finish_row)(uint8_t* row, uint32_t count);  // or none
    };

private:
    Face _face;
    jpeg_decompress_struct _cinfo;
    JpegErrorManager _error;
    jpeg_source_mgr _source;
    bool _begun = false;
    int _width = 0;
    int _height = 0;
    const OutputLayout* _layout = nullptr;
};
