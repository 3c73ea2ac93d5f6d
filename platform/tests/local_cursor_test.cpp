// Guest cursor shapes turned into cursors: each type's layout, shapes that cannot be shown, and the reference
// count that destroys the cursor.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "winapi/tests/support/layer_access.h"
#include "platform/platform.h"
#include "platform/local_cursor.h"
#include "runtime/exception.h"

namespace {

GuestCursorShape shape_of(uint16_t type, uint16_t width, uint16_t height, const std::vector<uint8_t>& data) {
    return {type, width, height, 1, 0, data.empty() ? nullptr : data.data(), data.size()};
}

// The picture of the cursor a guest shape gave.
std::vector<uint32_t> picture_of(const GuestCursorShape& shape) {
    WinLocalCursor cursor(shape);
    EXPECT_FALSE(cursor.is_shared());
    return test_support::layer_cursor_picture(cursor.get_handle());
}

void append32(std::vector<uint8_t>& data, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        data.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

}  // namespace

TEST(GuestCursorPlane, SizesAndDepthsByType) {
    struct Case {
        uint16_t type;
        int bits;
        uint64_t size;  // for 33 x 3
    } cases[] = {{0, 32, 33 * 4 * 3}, {1, 1, 5 * 3},       {2, 4, 17 * 3},      {3, 8, 33 * 3},
                 {4, 16, 33 * 3 * 2}, {5, 24, 33 * 3 * 3}, {6, 32, 33 * 3 * 4}, {7, 32, 33 * 4 * 3},
                 {8, 0, 0},           {0xFFFF, 0, 0}};
    for (const Case& c : cases) {
        uint64_t size = 1;
        EXPECT_EQ(guest_cursor_plane(c.type, 33, 3, &size), c.bits) << c.type;
        EXPECT_EQ(size, c.size) << c.type;
    }
    uint64_t size = 0;
    guest_cursor_plane(GUEST_CURSOR_ALPHA, 65535, 65535, &size);  // no 32-bit overflow
    EXPECT_EQ(size, 65535ull * 65535ull * 4);
}

TEST(WinLocalCursor, MonochromeRowsAreWholeBytes) {
    // 20 x 2: rows of 3 bytes in each plane (a 16-bit aligned reading would take 4); only pixel (17, 1) is
    // white, pixel (0, 0) transparent.
    std::vector<uint8_t> data = {0x80, 0x00, 0x00, 0x00, 0x00, 0x00,   // AND plane
                                 0x00, 0x00, 0x00, 0x00, 0x00, 0x40};  // XOR plane
    std::vector<uint32_t> picture = picture_of(shape_of(GUEST_CURSOR_MONO, 20, 2, data));
    ASSERT_EQ(picture.size(), 40u);
    for (size_t i = 0; i < picture.size(); ++i) {
        uint32_t expected = i == 0 ? 0x00000000u : i == 20 + 17 ? 0xFFFFFFFFu : 0xFF000000u;
        EXPECT_EQ(picture[i], expected) << i;
    }
}

TEST(WinLocalCursor, ColourTypesReadTheirPlanesAndMasks) {
    // Alpha 2 x 1: straight alpha, no mask.
    std::vector<uint8_t> alpha;
    append32(alpha, 0xFF112233);
    append32(alpha, 0x00445566);
    EXPECT_EQ(picture_of(shape_of(GUEST_CURSOR_ALPHA, 2, 1, alpha)), (std::vector<uint32_t>{0xFF112233, 0}));

    // Colour 32, 3 x 2: the mask is 6 bits in a row (101 010): pixels 0, 2 and 4 transparent (black colour).
    std::vector<uint8_t> color32;
    for (uint32_t pixel : {0u, 0x0000FFu, 0u, 0x00FF00u, 0u, 0xFF0000u}) {
        append32(color32, pixel | 0x7F000000u);  // the fourth byte is no alpha for this type
    }
    color32.push_back(0xA8);
    EXPECT_EQ(picture_of(shape_of(GUEST_CURSOR_COLOR32, 3, 2, color32)),
              (std::vector<uint32_t>{0, 0xFF0000FF, 0, 0xFF00FF00, 0, 0xFFFF0000}));

    // Colour 16 (5-5-5), 3 x 2: rows of 6 bytes; mask rows of one byte each.
    std::vector<uint8_t> color16 = {0x00, 0x7C, 0xE0, 0x03, 0x1F, 0x00,   // red, green, blue
                                    0xFF, 0x7F, 0x00, 0x00, 0x00, 0x00};  // white, black, black
    color16.push_back(0x00);
    color16.push_back(0x60);  // row 1: pixels 1 and 2 transparent
    EXPECT_EQ(picture_of(shape_of(GUEST_CURSOR_COLOR16, 3, 2, color16)),
              (std::vector<uint32_t>{0xFFFF0000, 0xFF00FF00, 0xFF0000FF, 0xFFFFFFFF, 0, 0}));

    // Colour 4, 3 x 1: indexes 1, 2, 15 (high nibble first, rows of 2 bytes), then the palette, then the
    // mask.
    std::vector<uint8_t> color4 = {0x12, 0xF0};
    for (uint32_t i = 0; i < 16; ++i) {
        append32(color4, i == 1 ? 0x00102030u : i == 2 ? 0x00405060u : i == 15 ? 0x00FFFFFFu : 0u);
    }
    color4.push_back(0x00);
    EXPECT_EQ(picture_of(shape_of(GUEST_CURSOR_COLOR4, 3, 1, color4)),
              (std::vector<uint32_t>{0xFF102030, 0xFF405060, 0xFFFFFFFF}));
}

TEST(WinLocalCursor, ShapesThatCannotBeShownUseTheSharedArrow) {
    HCURSOR arrow = LoadCursorW(nullptr, IDC_ARROW);
    std::vector<uint8_t> plenty(64 * 1024, 0);
    struct Case {
        const char* what;
        GuestCursorShape shape;
    } cases[] = {
        {"colour 8", {GUEST_CURSOR_COLOR8, 4, 4, 0, 0, plenty.data(), plenty.size()}},
        {"colour 24", {GUEST_CURSOR_COLOR24, 4, 4, 0, 0, plenty.data(), plenty.size()}},
        {"no data", {GUEST_CURSOR_ALPHA, 4, 4, 0, 0, nullptr, 0}},
        {"no width", {GUEST_CURSOR_ALPHA, 0, 4, 0, 0, plenty.data(), plenty.size()}},
        {"no height", {GUEST_CURSOR_MONO, 8, 0, 0, 0, plenty.data(), plenty.size()}},
        {"huge", {GUEST_CURSOR_ALPHA, 65535, 65535, 0, 0, plenty.data(), UINT64_MAX}},
        {"too wide", {GUEST_CURSOR_MONO, 1025, 1, 0, 0, plenty.data(), plenty.size()}},
        // One byte short of each layout.
        {"short alpha", {GUEST_CURSOR_ALPHA, 4, 4, 0, 0, plenty.data(), 4 * 4 * 4 - 1}},
        {"short mono", {GUEST_CURSOR_MONO, 9, 4, 0, 0, plenty.data(), 2 * 2 * 4 - 1}},
        {"short colour 4", {GUEST_CURSOR_COLOR4, 3, 2, 0, 0, plenty.data(), 2 * 2 + 64 + 2 - 1}},
        {"short colour 16", {GUEST_CURSOR_COLOR16, 9, 2, 0, 0, plenty.data(), 9 * 2 * 2 + 2 * 2 - 1}},
        {"short colour 32", {GUEST_CURSOR_COLOR32, 3, 3, 0, 0, plenty.data(), 3 * 3 * 4 + 2 - 1}},
    };
    for (const Case& c : cases) {
        WinLocalCursor* cursor = new WinLocalCursor(c.shape);
        EXPECT_TRUE(cursor->is_shared()) << c.what;
        EXPECT_EQ(cursor->get_handle(), arrow) << c.what;
        cursor->unref();
        EXPECT_TRUE(test_support::layer_cursor_exists(arrow)) << c.what;  // the shared arrow stays
    }
    // Exactly the bytes a layout needs are enough.
    GuestCursorShape exact{GUEST_CURSOR_COLOR32, 3, 3, 0, 0, plenty.data(), 3 * 3 * 4 + 2};
    WinLocalCursor built(exact);
    EXPECT_FALSE(built.is_shared());
}

TEST(WinLocalCursor, InvalidTypeThrows) {
    std::vector<uint8_t> data(64, 0);
    for (uint16_t type : {8, 9, 0xFFFF}) {
        try {
            WinLocalCursor cursor(shape_of(type, 2, 2, data));
            ADD_FAILURE() << "type " << type << " accepted";
        } catch (const Exception& e) {
            EXPECT_NE(std::string(e.what()).find("invalid curosr type"), std::string::npos);
            EXPECT_EQ(e.get_error_code(), 1);
        }
    }
}

TEST(WinLocalCursor, TheLastReferenceDestroysTheCursor) {
    std::vector<uint8_t> data(2 * 2 * 4, 0xFF);
    LocalCursor* cursor = Platform::create_local_cursor(shape_of(GUEST_CURSOR_ALPHA, 2, 2, data));
    HCURSOR handle = static_cast<WinLocalCursor*>(cursor)->get_handle();
    ASSERT_TRUE(test_support::layer_cursor_exists(handle));
    EXPECT_EQ(cursor->ref(), cursor);
    cursor->unref();
    EXPECT_TRUE(test_support::layer_cursor_exists(handle));
    cursor->unref();
    EXPECT_FALSE(test_support::layer_cursor_exists(handle));

    LocalCursor* arrow = Platform::create_default_cursor();
    EXPECT_EQ(static_cast<WinDefaultCursor*>(arrow)->get_handle(), LoadCursorW(nullptr, IDC_ARROW));
    arrow->unref();
    WinInactiveCursor inactive;
    EXPECT_EQ(inactive.get_handle(), LoadCursorW(nullptr, IDC_NO));
}
