#include "codecs/zlib_decoder.h"

#include <libdeflate.h>

#include <cstring>

#include "runtime/exception.h"

ZlibDecoder::ZlibDecoder() {
    static SpiceZlibDecoderOps decoder_ops = {ZlibDecoder::decode_slot, ZlibDecoder::inflated_slot};
    ops = &decoder_ops;
    _inflated = 0;

    memset(&_z_strm, 0, sizeof(_z_strm));
    _z_strm.zalloc = Z_NULL;
    _z_strm.zfree = Z_NULL;
    _z_strm.opaque = Z_NULL;
    _z_strm.next_in = Z_NULL;
    _z_strm.avail_in = 0;
    int z_ret = inflateInit_(&_z_strm, ZLIB_VERSION, int(sizeof(z_stream)));
    if (z_ret != Z_OK) {
        THROW("zlib decoder init failed, error %d", z_ret);
    }
    _whole = libdeflate_alloc_decompressor();
    if (!_whole) {
        inflateEnd(&_z_strm);
        THROW("zlib decoder init failed, no memory");
    }
}

ZlibDecoder::~ZlibDecoder() {
    libdeflate_free_decompressor(_whole);
    inflateEnd(&_z_strm);
}

void ZlibDecoder::decode_slot(SpiceZlibDecoder* decoder, const uint8_t* data, uint32_t data_size,
                              uint8_t* dest, uint32_t dest_size) {
    static_cast<ZlibDecoder*>(decoder)->decode(data, data_size, dest, dest_size);
}

uint32_t ZlibDecoder::inflated_slot(SpiceZlibDecoder* decoder) {
    return static_cast<ZlibDecoder*>(decoder)->inflated();
}

void ZlibDecoder::decode(const uint8_t* data, uint32_t data_size, uint8_t* dest, uint32_t dest_size) {
    // Exactly dest_size bytes (no size out: a stream that ends short is refused), checksum checked.
    if (libdeflate_zlib_decompress(_whole, data, data_size, dest, dest_size, nullptr) == LIBDEFLATE_SUCCESS) {
        _inflated = dest_size;
        return;
    }
    // Refused: zlib inflates it again, for its error and for the bytes that inflated before it.
    inflateReset(&_z_strm);
    _z_strm.next_in = const_cast<Bytef*>(data);
    _z_strm.avail_in = data_size;
    _z_strm.next_out = dest;
    _z_strm.avail_out = dest_size;
    int z_ret = inflate(&_z_strm, Z_FINISH);
    _inflated = dest_size - _z_strm.avail_out;
    if (z_ret != Z_STREAM_END) {
        THROW("zlib inflate failed, error %d", z_ret);
    }
    if (_z_strm.avail_out != 0) {
        THROW("zlib inflate failed, %u of %u bytes", dest_size - _z_strm.avail_out, dest_size);
    }
}
