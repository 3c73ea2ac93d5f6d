// The application's own layers on a real session screen: where the sticky-key image goes and what it blends
// into the composed pixels, the watermark over the whole screen (and nothing without its window), and the
// input barrier taking the pointer.
#include "display/application_layers.h"
#include "display/red_screen.h"
#include "canvas/red_drawable.h"
#include "support/fake_application.h"
#include "support/recording_layer.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

const int IMAGE_W = 81;
const int IMAGE_H = 54;
const int OPAQUE_COLUMNS = 40;  // the image's left columns are opaque red, the rest fully transparent

// Resource 104 for the test: 81 x 54, 32 bits with straight alpha.
class StickyImage {
public:
    StickyImage() {
        char pattern[] = "/tmp/ktw-layers-XXXXXX";
        _dir = mkdtemp(pattern);
        setenv("KTW_RESOURCE_DIR", _dir.c_str(), 1);
        std::vector<uint8_t> out;
        auto u16 = [&](uint32_t v) { out.insert(out.end(), {uint8_t(v), uint8_t(v >> 8)}); };
        auto u32 = [&](uint32_t v) { u16(v & 0xFFFF), u16(v >> 16); };
        u16(0x4D42), u32(54 + IMAGE_W * IMAGE_H * 4), u32(0), u32(54);
        u32(40), u32(IMAGE_W), u32(IMAGE_H), u16(1), u16(32), u32(0), u32(0), u32(0), u32(0), u32(0), u32(0);
        for (int y = 0; y < IMAGE_H; y++) {
            for (int x = 0; x < IMAGE_W; x++) {
                bool opaque = x < OPAQUE_COLUMNS;
                out.insert(out.end(), {0, 0, uint8_t(opaque ? 255 : 0), uint8_t(opaque ? 255 : 0)});
            }
        }
        std::ofstream(_dir + "/bitmap104.bmp", std::ios::binary).write((const char*)out.data(), out.size());
    }
    ~StickyImage() {
        unsetenv("KTW_RESOURCE_DIR");
        std::remove((_dir + "/bitmap104.bmp").c_str());
        rmdir(_dir.c_str());
    }

private:
    std::string _dir;
};

uint32_t composed_pixel(RedScreen& screen, int x, int y) {
    RedPixmapSw* pixmap = screen.composite_area();
    if (!pixmap || x < 0 || y < 0 || x >= pixmap->get_width() || y >= pixmap->get_height()) {
        return 0xDEADBEEF;
    }
    int row = pixmap->is_top_down() ? y : pixmap->get_height() - 1 - y;
    const uint8_t* line = pixmap->get_data() + ptrdiff_t(row) * pixmap->get_stride();
    return reinterpret_cast<const uint32_t*>(line)[x] & 0xFFFFFF;
}

class ApplicationLayersScreenTest : public testing::Test {
protected:
    void SetUp() override {
        screen = static_cast<RedScreen*>(app.get_screen(0));
        screen->attach_layer(desktop);
        desktop.set_rect_area(RECT{0, 0, 800, 600});
    }
    void TearDown() override {
        screen->detach_layer(desktop);
        screen->unref();
    }
    // Repaints everything invalidated so far.
    void repaint() {
        screen->invalidate_rect(RECT{0, 0, screen->width, screen->height}, false);
        screen->periodic_update();
    }
    std::vector<Box> area_of(ScreenLayer& layer) {
        pixman_region32_t area;
        pixman_region32_init(&area);
        layer.copy_area(area);
        std::vector<Box> boxes = boxes_of(area);
        pixman_region32_fini(&area);
        return boxes;
    }

    FakeApplication app;
    RedScreen* screen = nullptr;
    RecordingLayer desktop{0, false, 0x336699};
};

TEST_F(ApplicationLayersScreenTest, StickyImageIsCentredAtTwoThirdsOfTheHeight) {
    StickyImage resource;
    InfoLayer info;
    info.attach(*screen);
    EXPECT_TRUE(area_of(info).empty()) << "hidden until sticky mode";
    info.set_info_mode(true);
    struct Case {
        int width, height;
        Box rect;
    } cases[] = {
        {1024, 768, {471, 512, 552, 566}},
        {800, 600, {359, 400, 440, 454}},
        {61, 30, {-10, 20, 71, 74}},  // narrower than the image: halves round toward zero
    };
    for (const Case& c : cases) {
        screen->resize(c.width, c.height);
        RECT r = info.image_rect();
        EXPECT_EQ(c.rect, (Box{r.left, r.top, r.right, r.bottom})) << c.width << "x" << c.height;
        // Still showing after the move: the area is the image's new place.
        EXPECT_EQ(std::vector<Box>{c.rect}, area_of(info)) << c.width << "x" << c.height;
    }
    info.detach();
    EXPECT_EQ(nullptr, info.attached_screen());
}

TEST_F(ApplicationLayersScreenTest, StickyImageBlendsOverTheScreenOnlyWhileShowing) {
    StickyImage resource;
    InfoLayer info;
    info.attach(*screen);
    RECT r = info.image_rect();  // {359, 400, 440, 454} on 800 x 600
    info.set_info_mode(true);
    repaint();
    EXPECT_EQ(0xFF0000u, composed_pixel(*screen, r.left, r.top));
    EXPECT_EQ(0xFF0000u, composed_pixel(*screen, r.left + OPAQUE_COLUMNS - 1, r.bottom - 1));
    EXPECT_EQ(0x336699u, composed_pixel(*screen, r.left + OPAQUE_COLUMNS, r.top)) << "transparent part";
    EXPECT_EQ(0x336699u, composed_pixel(*screen, r.left - 1, r.top));

    info.set_info_mode(false);
    EXPECT_TRUE(area_of(info).empty());
    repaint();
    EXPECT_EQ(0x336699u, composed_pixel(*screen, r.left, r.top));
    // Hiding again is nothing; the layer goes off the screen with its own end.
    info.set_info_mode(false);
}

TEST_F(ApplicationLayersScreenTest, WithoutItsImageTheInfoLayerDrawsNothing) {
    unsetenv("KTW_RESOURCE_DIR");
    InfoLayer info;  // the program's resource folder has no image in the tests
    info.attach(*screen);
    info.set_info_mode(true);
    RECT r = info.image_rect();
    EXPECT_EQ(r.left, r.right);
    repaint();
    EXPECT_EQ(0x336699u, composed_pixel(*screen, 400, 400));
    info.detach();
}

TEST_F(ApplicationLayersScreenTest, WatermarkCoversTheScreenAndBlendsOnlyAnEnabledWindow) {
    WatermarkLayer watermark;
    watermark.attach(*screen);
    EXPECT_EQ(std::vector<Box>{Box({0, 0, 800, 600})}, area_of(watermark));
    screen->resize(640, 480);
    EXPECT_EQ(std::vector<Box>{Box({0, 0, 640, 480})}, area_of(watermark));

    // The watermark's pixels: opaque green in the top-left 100 x 100, transparent elsewhere.
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = 640;
    info.bmiHeader.biHeight = -480;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    ASSERT_NE(bitmap, nullptr);
    uint32_t* pixels = static_cast<uint32_t*>(bits);
    for (int y = 0; y < 480; y++) {
        for (int x = 0; x < 640; x++) {
            pixels[y * 640 + x] = (x < 100 && y < 100) ? 0xFF00FF00u : 0;
        }
    }
    HDC dc = CreateCompatibleDC(nullptr);
    HGDIOBJ previous = SelectObject(dc, bitmap);
    WNDCLASSW wc{};
    wc.lpfnWndProc = DefWindowProcW;
    wc.lpszClassName = u"ktw_watermark_test";
    RegisterClassW(&wc);
    HWND window = CreateWindowExW(0, u"ktw_watermark_test", u"watermark", WS_POPUP, 0, 0, 640, 480, nullptr,
                                  nullptr, nullptr, nullptr);
    ASSERT_NE(window, nullptr);

    struct Case {
        const char* name;
        HWND window;
        bool enabled;
        uint32_t corner;
    } cases[] = {
        {"no window", nullptr, true, 0x336699},
        {"disabled", window, false, 0x336699},
        {"enabled", window, true, 0x00FF00},
    };
    for (const Case& c : cases) {
        WatermarkLayer::set_watermark(c.window, dc, c.enabled);
        repaint();
        EXPECT_EQ(c.corner, composed_pixel(*screen, 10, 10)) << c.name;
        EXPECT_EQ(0x336699u, composed_pixel(*screen, 200, 200)) << c.name;
    }
    // A window that went away is no longer read.
    DestroyWindow(window);
    repaint();
    EXPECT_EQ(0x336699u, composed_pixel(*screen, 10, 10));

    WatermarkLayer::set_watermark(nullptr, nullptr, false);
    SelectObject(dc, previous);
    DeleteDC(dc);
    DeleteObject(bitmap);
}

TEST_F(ApplicationLayersScreenTest, BarrierTakesThePointerFromEverythingBelowIt) {
    desktop.pointer_events.clear();
    {
        GUIBarrier barrier(0);
        barrier.attach(*screen);
        screen->on_pointer_enter(5, 5, 0);
        EXPECT_EQ(&barrier, screen->pointer_layer());
        EXPECT_TRUE(desktop.pointer_events.empty());
        // The barrier goes while the pointer is over it: the layer below gets the pointer back.
    }
    EXPECT_EQ(&desktop, screen->pointer_layer());
    EXPECT_EQ(std::vector<int>{1}, desktop.pointer_events);
    screen->on_pointer_leave();
}

}  // namespace
