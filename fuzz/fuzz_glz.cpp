// The GLZ decoder on arbitrary images, decoded as the fifth image of a window that holds four.
#include "fuzz_glz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1 << 20)) {
        return 0;
    }
    glz_fuzz::decode_after_four(data, size);
    return 0;
}
