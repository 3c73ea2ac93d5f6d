// GLZ image decoder: LZ extended across images, a back-reference may point into an earlier image of the
// session held by the session's GlzDecoderWindow.
//
// Each canvas embeds one GlzDecoder with its decode handler (which allocates the output image) and debug
// sink, and hands the canvas code the SpiceGlzDecoder face. Decoding runs on the display channel's thread;
// the decoders of several display channels decode into the one window at the same time.
//
// The stream is the server's. Every failure reports through the debug sink's error, which throws Exception;
// an image that fails once its header's id is read (a header refused included) is still finished in the
// window, as an image of no pixels, so that no decoder waits for it for ever and any later reference into it
// fails too.
#pragma once

#include <cstdint>

#include "codecs/glz_decoded_image.h"
#include "codecs/glz_decoder_window.h"
#include "codecs/lz_common.h"
#include "transport/protocol/spice_types.h"

// The face the canvas code calls: a pointer to a table with one slot. decode throws Exception on failure.
struct SpiceGlzDecoder;
struct SpiceGlzDecoderOps {
    void (*decode)(SpiceGlzDecoder* decoder, const uint8_t* data, uint32_t data_size, const SpicePalette* plt,
                   void* usr_data);
};
struct SpiceGlzDecoder {
    SpiceGlzDecoderOps* ops;
};

// Allocates the output image of a decode: gross_pixels pixels of n_bytes_per_pixel (4) bytes, written
// contiguously from the image's data pointer. type is LZ_IMAGE_TYPE_RGBA for RGBA images and
// LZ_IMAGE_TYPE_RGB32 for every other type. usr_data is the decode's, untouched. May throw; the decode then
// fails.
class GlzDecodeHandler {
public:
    virtual ~GlzDecodeHandler() {}
    virtual GlzDecodedImage* alloc_image(void* usr_data, uint64_t image_id, uint64_t image_win_head_id,
                                         LzImageType type, int width, int height, int gross_pixels,
                                         int n_bytes_per_pixel, bool top_down) = 0;
};

class GlzDecoder : public SpiceGlzDecoder {
public:
    // The window is the session's; handler and sink belong to the canvas. All three outlive the decoder.
    GlzDecoder(GlzDecoderWindow& images_window, GlzDecodeHandler& usr_handler, GlzDecoderDebug& debug_calls);
    virtual ~GlzDecoder();

    GlzDecoder(const GlzDecoder&) = delete;
    GlzDecoder& operator=(const GlzDecoder&) = delete;

    // Decodes the GLZ image of data_size bytes at data into a new image from the handler, which ends up in
    // the window. palette is needed by palette images only. Throws Exception on failure, and "aborting" when
    // the window is aborted while the decode waits.
    void decode(const uint8_t* data, uint32_t data_size, const SpicePalette* palette, void* usr_data);

private:
    static void decode_slot(SpiceGlzDecoder* decoder, const uint8_t* data, uint32_t data_size,
                            const SpicePalette* plt, void* usr_data);
    [[noreturn]] void fail(const std::string& message);

    GlzDecoderWindow& _window;
    GlzDecodeHandler& _usr_handler;
    GlzDecoderDebug& _debug_calls;
};
