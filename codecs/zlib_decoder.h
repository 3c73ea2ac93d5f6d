// Inflater of zlib-wrapped GLZ images: the canvas inflates the whole payload into a buffer of the size the
// image descriptor announces, then GLZ-decodes that buffer.
//
// Each canvas embeds one and hands the canvas code its SpiceZlibDecoder face; it runs on the display
// channel's thread. The size is known before the inflate, so a whole-buffer inflater (libdeflate) does the
// work; a stream that it refuses is inflated again by zlib's streaming inflate (one stream serves every
// image, reset before each), which reports the error and leaves what inflated before it at the start of
// the destination.
#pragma once

#include <cstdint>

#include <zlib.h>

struct libdeflate_decompressor;

// The face the canvas code calls: a pointer to a table of slots. decode throws Exception on failure;
// inflated, when present, gives the bytes the last decode wrote to its destination, a failed one included.
struct SpiceZlibDecoder;
struct SpiceZlibDecoderOps {
    void (*decode)(SpiceZlibDecoder* decoder, const uint8_t* data, uint32_t data_size, uint8_t* dest,
                   uint32_t dest_size);
    uint32_t (*inflated)(SpiceZlibDecoder* decoder);
};
struct SpiceZlibDecoder {
    SpiceZlibDecoderOps* ops;
};

class ZlibDecoder : public SpiceZlibDecoder {
public:
    // Throws Exception "zlib decoder init failed, error %d" when zlib cannot start a stream, and "zlib
    // decoder init failed, no memory" when libdeflate cannot make its inflater.
    ZlibDecoder();
    // Ends the stream (inflateEnd): the owner need not.
    ~ZlibDecoder();

    ZlibDecoder(const ZlibDecoder&) = delete;
    ZlibDecoder& operator=(const ZlibDecoder&) = delete;

    // Inflates the zlib stream of data_size bytes at data into exactly dest_size bytes at dest. Throws
    // Exception "zlib inflate failed, error %d" unless the whole stream inflated into dest in one call, and
    // also when it ended short of dest_size bytes, which would leave part of dest undefined for the GLZ
    // decode. What inflated before a failure stays at the start of dest.
    void decode(const uint8_t* data, uint32_t data_size, uint8_t* dest, uint32_t dest_size);
    // The bytes the last decode wrote to dest.
    uint32_t inflated() const { return _inflated; }

private:
    static void decode_slot(SpiceZlibDecoder* decoder, const uint8_t* data, uint32_t data_size, uint8_t* dest,
                            uint32_t dest_size);
    static uint32_t inflated_slot(SpiceZlibDecoder* decoder);

    z_stream _z_strm;
    libdeflate_decompressor* _whole = nullptr;
    uint32_t _inflated;
};
