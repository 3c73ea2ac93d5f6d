// The zlib inflater of wrapped GLZ images, then the GLZ decoder on what it inflated, as the canvas chains
// them. Bytes 0 to 3 (little-endian) are the announced inflated size, at most a megabyte; the rest is the
// zlib stream.
#include "codecs/zlib_decoder.h"
#include "fuzz_glz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4 || size > (1 << 20)) {
        return 0;
    }
    const uint32_t inflated_size =
        (data[0] | data[1] << 8 | data[2] << 16 | uint32_t(data[3]) << 24) % (1 << 20);
    std::vector<uint8_t> zdata(data + 4, data + size);
    std::vector<uint8_t> inflated(inflated_size);
    static ZlibDecoder zlib;
    try {
        zlib.decode(zdata.data(), uint32_t(zdata.size()), inflated.data(), inflated_size);
    } catch (const Exception&) {
        return 0;
    }
    glz_fuzz::decode_after_four(inflated.data(), inflated.size());
    return 0;
}
