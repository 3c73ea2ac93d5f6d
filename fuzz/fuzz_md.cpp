// The display channel's message decompression over a run of messages sharing one history. Input: u8 level
// (taken modulo 11), then messages of u16 little-endian length and that many bytes.
#include <cstdint>

#include "codecs/md/mppc_dec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    RdpDecompress* context = decompress_new(data[0] % 11);
    if (!context) {
        return 0;
    }
    size_t at = 1;
    while (at + 2 <= size) {
        size_t length = size_t(data[at]) | size_t(data[at + 1]) << 8;
        at += 2;
        if (length > size - at) {
            length = size - at;
        }
        DecompressStream stream;
        if (!decompress_rdp(data + at, context, uint32_t(length), &stream)) {
            break;  // the channel ends its connection here
        }
        volatile uint8_t sink = stream.length ? stream.start[stream.length - 1] : 0;
        (void)sink;
        at += length;
    }
    decompress_free(context);
    return 0;
}
