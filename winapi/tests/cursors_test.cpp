// Cursors: pictures from AND/XOR masks and colour bitmaps, cursor handles and shared system cursors, and the
// cursor and pointer on an X server (read back with XFixes).
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include <X11/Xlib.h>  // after gtest: its macros clash with gtest's names
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/XTest.h>

#include "../src/cursor_internal.h"
#include "../src/x11_connection.h"
#include "support/x11_test_display.h"
#include "winapi/wingdi.h"
#include "winapi/winuser.h"
#include "winapi/winuser_display.h"

using namespace winapi_internal;

TEST(CursorPicture, MasksGiveWindowsPixelMeanings) {
    // AND 0 XOR 0 black, AND 0 XOR 1 white, AND 1 XOR 0 transparent, AND 1 XOR 1 inverting (black here).
    std::vector<uint8_t> and_mask = {0, 0, 1, 1};
    std::vector<uint8_t> xor_mask = {0, 1, 0, 1};
    CursorPicture mono = cursor_picture_from_masks(4, 1, and_mask, &xor_mask, nullptr, false);
    EXPECT_EQ(mono.argb, (std::vector<uint32_t>{0xFF000000, 0xFFFFFFFF, 0x00000000, 0xFF000000}));

    std::vector<uint32_t> color = {0x00123456, 0x00123456, 0x00000000, 0x00FF0000};
    CursorPicture masked = cursor_picture_from_masks(4, 1, and_mask, nullptr, &color, false);
    EXPECT_EQ(masked.argb, (std::vector<uint32_t>{0xFF123456, 0xFF123456, 0x00000000, 0xFF000000}));

    // Per-pixel alpha wins over the mask and comes out premultiplied.
    std::vector<uint32_t> alpha = {0x80FF0000, 0xFF00FF00, 0x00FFFFFF, 0x40808080};
    CursorPicture blended = cursor_picture_from_masks(4, 1, {1, 1, 0, 0}, nullptr, &alpha, true);
    EXPECT_EQ(blended.argb, (std::vector<uint32_t>{0x80800000, 0xFF00FF00, 0x00000000, 0x40202020}));
}

TEST(Cursors, CreateCursorReadsRowsPaddedTo16Bits) {
    // 17 pixels wide: 3 bytes of bits, padded to 4 per row. Only pixel 16 of row 1 is white.
    const int width = 17, height = 2;
    std::vector<uint8_t> and_plane(8, 0x00), xor_plane(8, 0x00);
    xor_plane[4 + 2] = 0x80;
    HCURSOR cursor = CreateCursor(nullptr, 16, 1, width, height, and_plane.data(), xor_plane.data());
    ASSERT_NE(cursor, nullptr);
    auto object = cursor_lookup(cursor);
    ASSERT_TRUE(object);
    EXPECT_EQ(object->picture.hot_x, 16u);
    EXPECT_EQ(object->picture.hot_y, 1u);
    for (int i = 0; i < width * height; ++i) {
        EXPECT_EQ(object->picture.argb[static_cast<size_t>(i)], i == width + 16 ? 0xFFFFFFFFu : 0xFF000000u)
            << i;
    }
    EXPECT_TRUE(DestroyCursor(cursor));
    EXPECT_FALSE(DestroyCursor(cursor));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_CURSOR_HANDLE));
    EXPECT_FALSE(cursor_lookup(cursor));

    struct Bad {
        int hot_x, hot_y, width, height;
    } bad[] = {{0, 0, 0, 32},   {0, 0, 32, -1},   {32, 0, 32, 32},
               {0, -1, 32, 32}, {0, 0, 1025, 32}, {0, 0, 32, 5000}};
    std::vector<uint8_t> plane(4 * 1024, 0);
    for (const Bad& b : bad) {
        EXPECT_EQ(CreateCursor(nullptr, b.hot_x, b.hot_y, b.width, b.height, plane.data(), plane.data()),
                  nullptr)
            << b.width << "x" << b.height << " hot " << b.hot_x << "," << b.hot_y;
    }
    EXPECT_EQ(CreateCursor(nullptr, 0, 0, 16, 16, nullptr, plane.data()), nullptr);
}

namespace {

// A top-down DIB section of 1 or 32 bits; the bits are returned for filling.
HBITMAP dib(int width, int height, WORD bits, void** pixels) {
    struct {
        BITMAPINFOHEADER header;
        RGBQUAD colors[2];
    } info{};
    info.header.biSize = sizeof(BITMAPINFOHEADER);
    info.header.biWidth = width;
    info.header.biHeight = -height;
    info.header.biPlanes = 1;
    info.header.biBitCount = bits;
    info.header.biCompression = BI_RGB;
    info.colors[1] = {0xFF, 0xFF, 0xFF, 0};
    return CreateDIBSection(nullptr, reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS, pixels, nullptr,
                            0);
}

}  // namespace

TEST(Cursors, CreateIconIndirectCopiesMonochromeAndColourBitmaps) {
    // Monochrome: a 32-bit-row DIB of 8 x 4 holds the AND rows 0-1 and the XOR rows 2-3.
    void* bits = nullptr;
    HBITMAP mono = dib(8, 4, 1, &bits);
    ASSERT_NE(mono, nullptr);
    auto* rows = static_cast<uint8_t*>(bits);
    rows[0] = 0xF0;   // AND row 0: left half transparent ...
    rows[8] = 0x80;   // XOR row 0: ... pixel 0 inverting
    rows[12] = 0x01;  // XOR row 1: pixel 7 white
    ICONINFO info{FALSE, 3, 1, mono, nullptr};
    HICON cursor = CreateIconIndirect(&info);
    ASSERT_NE(cursor, nullptr);
    EXPECT_TRUE(DeleteObject(mono));  // the cursor keeps its own copy
    auto object = cursor_lookup(cursor);
    ASSERT_TRUE(object);
    EXPECT_EQ(object->picture.width, 8);
    EXPECT_EQ(object->picture.height, 2);
    EXPECT_EQ(object->picture.hot_x, 3u);
    EXPECT_EQ(object->picture.argb[0], 0xFF000000u);   // inverting
    EXPECT_EQ(object->picture.argb[1], 0x00000000u);   // transparent
    EXPECT_EQ(object->picture.argb[4], 0xFF000000u);   // black
    EXPECT_EQ(object->picture.argb[15], 0xFFFFFFFFu);  // white
    EXPECT_TRUE(DestroyIcon(cursor));

    // Colour with alpha: the alpha decides, the mask does not.
    void* color_bits = nullptr;
    void* mask_bits = nullptr;
    HBITMAP color = dib(2, 1, 32, &color_bits);
    HBITMAP mask = dib(2, 1, 1, &mask_bits);
    ASSERT_NE(color, nullptr);
    ASSERT_NE(mask, nullptr);
    static_cast<uint32_t*>(color_bits)[0] = 0xFF0000FF;
    static_cast<uint32_t*>(color_bits)[1] = 0x00000000;
    static_cast<uint8_t*>(mask_bits)[0] = 0xC0;
    ICONINFO colored{FALSE, 0, 0, mask, color};
    HICON alpha_cursor = CreateIconIndirect(&colored);
    ASSERT_NE(alpha_cursor, nullptr);
    EXPECT_EQ(cursor_lookup(alpha_cursor)->picture.argb, (std::vector<uint32_t>{0xFF0000FF, 0x00000000}));
    DestroyIcon(alpha_cursor);

    // Without alpha the AND mask decides.
    static_cast<uint32_t*>(color_bits)[0] = 0x000000FF;
    static_cast<uint8_t*>(mask_bits)[0] = 0x40;  // pixel 1 transparent
    HICON masked = CreateIconIndirect(&colored);
    ASSERT_NE(masked, nullptr);
    EXPECT_EQ(cursor_lookup(masked)->picture.argb, (std::vector<uint32_t>{0xFF0000FF, 0x00000000}));
    DestroyIcon(masked);

    // A mask shorter than the colour bitmap, or a handle that is no bitmap, is refused.
    HBITMAP tall = dib(2, 3, 32, &color_bits);
    ICONINFO short_mask{FALSE, 0, 0, mask, tall};
    EXPECT_EQ(CreateIconIndirect(&short_mask), nullptr);
    ICONINFO no_bitmap{FALSE, 0, 0, reinterpret_cast<HBITMAP>(0x1234), nullptr};
    EXPECT_EQ(CreateIconIndirect(&no_bitmap), nullptr);
    EXPECT_EQ(CreateIconIndirect(nullptr), nullptr);
    DeleteObject(tall);
    DeleteObject(color);
    DeleteObject(mask);
}

TEST(Cursors, SystemCursorsAreSharedAndSurviveDestroy) {
    HCURSOR arrow = LoadCursorW(nullptr, IDC_ARROW);
    ASSERT_NE(arrow, nullptr);
    EXPECT_EQ(LoadCursorW(nullptr, IDC_ARROW), arrow);
    HCURSOR no = LoadCursorW(nullptr, IDC_NO);
    ASSERT_NE(no, nullptr);
    EXPECT_NE(no, arrow);
    EXPECT_TRUE(DestroyCursor(arrow));
    EXPECT_TRUE(cursor_lookup(arrow));
    EXPECT_EQ(LoadCursorW(nullptr, MAKEINTRESOURCEW(1)), nullptr);
    EXPECT_EQ(LoadCursorW(reinterpret_cast<HINSTANCE>(0x400000), IDC_ARROW), nullptr);
    HICON application = LoadIconW(nullptr, IDI_APPLICATION);
    ASSERT_NE(application, nullptr);
    EXPECT_EQ(LoadIconW(nullptr, IDI_APPLICATION), application);
    EXPECT_TRUE(DestroyIcon(application));
    EXPECT_TRUE(cursor_lookup(application));
}

namespace {

// A shown window of this process covering (100, 100) - (300, 300), with the pointer in it.
class PointerOnWindow : public ::testing::Test {
protected:
    void SetUp() override {
        KTW_REQUIRE_XVFB();
        display_ = test_support::fresh_x11_display();
        ASSERT_NE(display_, nullptr);
        test_support::register_plain_window_class(u"cursor_test_window");
        hwnd_ = CreateWindowExW(0, u"cursor_test_window", u"cursor test", WS_POPUP, 100, 100, 200, 200,
                                nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(hwnd_, nullptr);
        ShowWindow(hwnd_, SW_SHOW);
        MSG msg;
        for (int i = 0; i < 20; ++i) {  // let the window map
            XSync(display_, False);
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
                DispatchMessageW(&msg);
            }
        }
        ASSERT_TRUE(SetCursorPos(200, 200));
    }

    void TearDown() override {
        ClipCursor(nullptr);
        if (hwnd_) {
            DestroyWindow(hwnd_);
        }
        x11_close_display();
    }

    // The cursor the server shows now: width, height, hot spot and the centre pixel.
    struct Shown {
        int width = 0, height = 0, hot_x = 0, hot_y = 0;
        unsigned long pixel = 0;
    };
    Shown shown() {
        XSync(display_, False);
        Shown result;
        if (XFixesCursorImage* image = XFixesGetCursorImage(display_)) {
            result = {image->width, image->height, image->xhot, image->yhot,
                      image->pixels[(image->height / 2) * image->width + image->width / 2]};
            XFree(image);
        }
        return result;
    }

    Display* display_ = nullptr;
    HWND hwnd_ = nullptr;
};

}  // namespace

TEST_F(PointerOnWindow, SetCursorAndShowCursorChangeWhatTheServerShows) {
    // 20 x 20 all white: a size no system cursor has.
    std::vector<uint8_t> and_plane(4 * 20, 0x00), xor_plane(4 * 20, 0xFF);
    HCURSOR white = CreateCursor(nullptr, 5, 7, 20, 20, and_plane.data(), xor_plane.data());
    ASSERT_NE(white, nullptr);
    SetCursor(white);
    Shown now = shown();
    EXPECT_EQ(now.width, 20);
    EXPECT_EQ(now.height, 20);
    EXPECT_EQ(now.hot_x, 5);
    EXPECT_EQ(now.hot_y, 7);
    EXPECT_EQ(now.pixel & 0xFFFFFFFF, 0xFFFFFFFFu);

    EXPECT_EQ(ShowCursor(FALSE), -1);
    EXPECT_EQ(shown().pixel & 0xFF000000, 0u);  // an invisible cursor
    EXPECT_EQ(ShowCursor(FALSE), -2);
    EXPECT_EQ(ShowCursor(TRUE), -1);
    EXPECT_EQ(shown().pixel & 0xFF000000, 0u);
    EXPECT_EQ(ShowCursor(TRUE), 0);
    EXPECT_EQ(shown().width, 20);

    EXPECT_EQ(SetCursor(nullptr), white);  // NULL hides it
    EXPECT_EQ(shown().pixel & 0xFF000000, 0u);
    EXPECT_EQ(SetCursor(LoadCursorW(nullptr, IDC_CROSS)), nullptr);
    EXPECT_NE(shown().width, 20);
    EXPECT_EQ(SetCursor(reinterpret_cast<HCURSOR>(0x7777)), nullptr);  // not a cursor: nothing changes
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_CURSOR_HANDLE));
    EXPECT_EQ(SetCursor(white), LoadCursorW(nullptr, IDC_CROSS));

    // Destroyed while shown: the X cursor goes at the next change, the shown picture stays until then.
    EXPECT_TRUE(DestroyCursor(white));
    SetCursor(LoadCursorW(nullptr, IDC_ARROW));
    EXPECT_NE(shown().width, 20);
}

TEST_F(PointerOnWindow, PositionWarpAndClip) {
    POINT point{};
    ASSERT_TRUE(GetCursorPos(&point));
    EXPECT_EQ(point.x, 200);
    EXPECT_EQ(point.y, 200);

    RECT clip{150, 160, 250, 260};
    ASSERT_TRUE(ClipCursor(&clip));
    ASSERT_TRUE(GetCursorPos(&point));  // already inside: not moved
    EXPECT_EQ(point.x, 200);
    ASSERT_TRUE(SetCursorPos(10, 1000));  // kept inside, right and bottom exclusive
    ASSERT_TRUE(GetCursorPos(&point));
    EXPECT_EQ(point.x, 150);
    EXPECT_EQ(point.y, 259);

    // Relative motion from a device stops at the barriers.
    SetCursorPos(200, 200);
    XTestFakeRelativeMotionEvent(display_, 400, 0, CurrentTime);
    XSync(display_, False);
    ASSERT_TRUE(GetCursorPos(&point));
    EXPECT_EQ(point.x, 249);
    XTestFakeRelativeMotionEvent(display_, 0, -400, CurrentTime);
    XSync(display_, False);
    ASSERT_TRUE(GetCursorPos(&point));
    EXPECT_EQ(point.y, 160);

    // A clip rectangle away from the pointer brings it inside.
    SetCursorPos(200, 200);
    RECT away{400, 400, 500, 500};
    ASSERT_TRUE(ClipCursor(&away));
    ASSERT_TRUE(GetCursorPos(&point));
    EXPECT_EQ(point.x, 400);
    EXPECT_EQ(point.y, 400);

    ASSERT_TRUE(ClipCursor(nullptr));
    ASSERT_TRUE(SetCursorPos(10, 1000));
    ASSERT_TRUE(GetCursorPos(&point));
    EXPECT_EQ(point.x, 10);
    EXPECT_EQ(point.y, 1000);
    XTestFakeRelativeMotionEvent(display_, 30, 0, CurrentTime);
    XSync(display_, False);
    ASSERT_TRUE(GetCursorPos(&point));
    EXPECT_EQ(point.x, 40);
}
