// Guest cursor shapes made into local cursors, on arbitrary shapes: every type (the invalid ones throw), any
// size, and data of any length, in a block of its own so that a read past its end is seen. For a CAD shape
// the layered window's picture is drawn as well, around a pointer anywhere near a 256x256 screen.
//
// Input: 13 bytes of header, then the shape's data (none when empty).
//   0 type (mod 9: 8 stands for every invalid one)     1-2 width     3-4 height     5-6 hot spot x     7-8
//   hot spot y     (little-endian) 9-10 and 11-12 the pointer's x and y for the CAD layer (signed)
#include <cstdlib>
#include <vector>

#include "platform/cad_cursor_shape.h"
#include "platform/local_cursor.h"
#include "platform/platform.h"
#include "runtime/exception.h"
#include "runtime/log.h"

namespace {

const size_t HEADER = 13;
const RECT screen = {0, 0, 256, 256};

uint16_t le16(const uint8_t* p) {
    return uint16_t(p[0] | p[1] << 8);
}

// What the layered CAD cursor draws for the pointer at `point`: the part of the cursor's box inside its area
// and the screen.
void draw_layer(const CadCursorData& data, POINT point) {
    cad_hardware_cursor_fits(data, point);
    RECT shown;
    if (!intersect_rect(cad_cursor_box(data, point), cad_area(data), &shown) ||
        !intersect_rect(shown, screen, &shown)) {
        return;
    }
    const int width = shown.right - shown.left;
    const int height = shown.bottom - shown.top;
    std::vector<uint32_t> pixels(size_t(width) * height);
    CadCanvas canvas{pixels.data(), width, height};
    cad_fill(canvas, 0xFFFF);
    draw_cad_layer(canvas, data, point.x - shown.left, point.y - shown.top, cad_pixel_of(data.color));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < HEADER || size > (1 << 20)) {
        return 0;
    }
    // Shapes that cannot be shown are logged, and the exception of an invalid type too.
    static bool quiet = (log_set_threshold(unsigned(-1)), setenv("SPICE_DEBUG_LEVEL", "0", 1) == 0);
    (void)quiet;
    std::vector<uint8_t> bytes(data + HEADER, data + size);
    GuestCursorShape shape = {uint16_t(data[0] % 9), le16(data + 1), le16(data + 3), le16(data + 5),
                              le16(data + 7),        nullptr,        bytes.size()};
    if (!bytes.empty()) {
        shape.data = bytes.data();
    }
    try {
        LocalCursor* cursor = Platform::create_local_cursor(shape);
        cursor->unref();
    } catch (const Exception&) {
        if (shape.type <= GUEST_CURSOR_CAD) {
            abort();  // only an invalid type throws
        }
    }
    CadCursorData cad;
    if (shape.type == GUEST_CURSOR_CAD && parse_cad_cursor_data(shape.data, shape.data_size, &cad)) {
        draw_layer(cad, POINT{int16_t(le16(data + 9)), int16_t(le16(data + 11))});
    }
    return 0;
}
