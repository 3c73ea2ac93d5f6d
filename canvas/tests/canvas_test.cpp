// Client canvases: construction per surface format, drawing through the SpiceCanvas, copying out, and the GLZ
// output images.
#include "canvas/canvas.h"

#include "canvas/canvas_utils.h"
#include "runtime/exception.h"
#include "runtime/threads.h"
#include "sw_canvas_fixture.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace {

class ClientCanvasTest : public ::testing::Test {
protected:
    void SetUp() override { sw_canvas_ops_init(); }

    SCanvas* make(bool onscreen, int width, int height, uint32_t format) {
        return new SCanvas(onscreen, width, height, format, &images_, &palettes_, window_, &surfaces_);
    }
    void expect_throws(bool onscreen, uint32_t format, const char* text) {
        try {
            delete make(onscreen, 4, 4, format);
            ADD_FAILURE() << "format " << format << " accepted";
        } catch (const Exception& e) {
            EXPECT_EQ(std::string(e.what()).find(text), 0u) << e.what();
        }
    }

    TestImageCache images_;
    TestPaletteCache palettes_;
    CanvasSurfaces surfaces_;
    GlzDecoderCanvasDebug debug_;
    GlzDecoderWindow window_{debug_};
};

TEST_F(ClientCanvasTest, OnScreenCanvasDrawsIntoItsPixmapAndCopiesOut) {
    std::unique_ptr<SCanvas> canvas(make(true, 8, 6, SPICE_SURFACE_FMT_32_xRGB));
    EXPECT_EQ(canvas->get_pixmap_type(), 1);
    SpiceCanvas* spice = canvas->get_internal_canvas();
    ASSERT_NE(spice, nullptr);

    SpiceRect box = rect(1, 1, 5, 3);
    SpiceClip clip = no_clip();
    SpiceFill fill{};
    fill.brush = solid_brush(0x00ABCDEF);
    fill.rop_descriptor = SPICE_ROPD_OP_PUT;
    spice->ops->draw_fill(spice, &box, &clip, &fill);

    RedPixmapSw screen(8, 6, RedDrawable::RGB32, true);
    pixman_region32_t region;
    pixman_region32_init_rect(&region, 0, 0, 3, 2);
    pixman_region32_union_rect(&region, &region, 4, 2, 4, 4);
    canvas->copy_pixels(region, screen);
    pixman_region32_fini(&region);
    auto at = [&](int x, int y) { return *(uint32_t*)(screen.get_data() + y * screen.get_stride() + 4 * x); };
    EXPECT_EQ(at(1, 1) & 0xFFFFFF, 0xABCDEFu);
    EXPECT_EQ(at(2, 1) & 0xFFFFFF, 0xABCDEFu);
    EXPECT_EQ(at(3, 1), 0u) << "outside the region";
    EXPECT_EQ(at(4, 2) & 0xFFFFFF, 0xABCDEFu);
    EXPECT_EQ(at(5, 2), 0u) << "outside the fill";
    EXPECT_EQ(at(0, 0), 0u);
}

TEST_F(ClientCanvasTest, OffScreenCanvasesHaveAnImageOfTheirFormatAndNoPixmap) {
    const struct {
        uint32_t format;
        pixman_format_code_t pixman;
    } cases[] = {{SPICE_SURFACE_FMT_32_ARGB, PIXMAN_a8r8g8b8},
                 {SPICE_SURFACE_FMT_1_A, PIXMAN_a1},
                 {SPICE_SURFACE_FMT_8_A, PIXMAN_a8},
                 {SPICE_SURFACE_FMT_16_565, PIXMAN_r5g6b5}};
    for (const auto& c : cases) {
        std::unique_ptr<SCanvas> canvas(make(false, 4, 3, c.format));
        SpiceCanvas* spice = canvas->get_internal_canvas();
        pixman_image_t* image = spice->ops->get_image(spice, 0);
        EXPECT_EQ(pixman_image_get_format(image), c.pixman) << c.format;
        EXPECT_EQ(pixman_image_get_width(image), 4);
        pixman_image_unref(image);

        RedPixmapSw screen(4, 3, RedDrawable::RGB32, true);
        pixman_region32_t region;
        pixman_region32_init_rect(&region, 0, 0, 4, 3);
        canvas->copy_pixels(region, screen);  // nothing to copy from
        pixman_region32_fini(&region);
    }
}

// The first frame into a new surface takes no page faults: the surface's pixels were faulted in when it was
// made (a 1024x768 surface without that takes one per 4 KiB page written, some 768).
TEST_F(ClientCanvasTest, NewSurfacesArePagedInBeforeTheFirstFrame) {
    auto minor_faults = [] {
        rusage usage;
        getrusage(RUSAGE_THREAD, &usage);
        return usage.ru_minflt;
    };
    for (bool onscreen : {true, false}) {
        std::unique_ptr<SCanvas> canvas(make(onscreen, 1024, 768, SPICE_SURFACE_FMT_32_xRGB));
        SpiceCanvas* spice = canvas->get_internal_canvas();
        pixman_image_t* image = spice->ops->get_image(spice, 0);
        auto* data = reinterpret_cast<uint8_t*>(pixman_image_get_data(image));
        const size_t size = size_t(pixman_image_get_stride(image)) * size_t(pixman_image_get_height(image));
        const long before = minor_faults();
        for (size_t offset = 0; offset < size; offset += 64) {
            data[offset] = uint8_t(offset);
        }
        const long faults = minor_faults() - before;
        pixman_image_unref(image);
        EXPECT_LT(faults, 32) << (onscreen ? "on-screen" : "off-screen");
    }
}

TEST_F(ClientCanvasTest, UnsupportedFormatsThrowAndLeaveNothingBehind) {
    expect_throws(true, SPICE_SURFACE_FMT_8_A, "Unsupported RedPixman format");
    expect_throws(true, SPICE_SURFACE_FMT_1_A, "Unsupported RedPixman format");
    expect_throws(false, 24, "create canvas failed");
    try {
        delete make(true, -5, 4, SPICE_SURFACE_FMT_32_xRGB);
        ADD_FAILURE() << "negative width accepted";
    } catch (const Exception&) {
    }
}

TEST_F(ClientCanvasTest, CopyOfAnEmptyRegionTakesNoLock) {
    std::unique_ptr<SCanvas> canvas(make(true, 4, 4, SPICE_SURFACE_FMT_32_xRGB));
    RedPixmapSw screen(4, 4, RedDrawable::RGB32, true);
    Lock held(*screen.get_platform_area().lock);
    std::atomic<bool> returned{false};
    std::thread copier([&] {
        pixman_region32_t region;
        pixman_region32_init(&region);
        canvas->copy_pixels(region, screen);
        pixman_region32_fini(&region);
        returned = true;
    });
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (!returned && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(returned.load()) << "waited for the destination's lock";
    held.unlock();
    copier.join();
}

TEST(GlzDecodeSurfaceHandler, BottomUpImagesAreHandedOverFromTheirLowestAddress) {
    GlzDecodeSurfaceHandler handler;
    for (bool top_down : {true, false}) {
        LzDecodeUsrData out = {NULL, NULL};
        GlzDecodedImage* image = handler.alloc_image(&out, 7, 3, LZ_IMAGE_TYPE_RGBA, 4, 2, 8, 4, top_down);
        ASSERT_NE(out.out_surface, nullptr);
        EXPECT_EQ(pixman_image_get_format(out.out_surface), PIXMAN_a8r8g8b8);
        uint8_t* first_row = (uint8_t*)pixman_image_get_data(out.out_surface);
        EXPECT_EQ(image->get_data(), top_down ? first_row : first_row - 16);
        EXPECT_EQ(image->get_id(), 7u);
        EXPECT_EQ(image->get_window_head_id(), 3u);
        EXPECT_EQ(image->get_size(), 8u);
        // The whole image is writable from there; the decoded image keeps it alive on its own.
        memset(image->get_data(), 0xFF, 8 * 4);
        pixman_image_unref(out.out_surface);
        delete image;
    }
    LzDecodeUsrData out = {NULL, NULL};
    GlzDecodedImage* rgb = handler.alloc_image(&out, 1, 1, LZ_IMAGE_TYPE_RGB24, 2, 2, 4, 4, true);
    EXPECT_EQ(pixman_image_get_format(out.out_surface), PIXMAN_x8r8g8b8);
    pixman_image_unref(out.out_surface);
    delete rgb;

    // Geometry that does not hold together, and images past the canvas's limits (a side over 65536 pixels,
    // more than 64 Mi pixels): a GLZ header of a few bytes must not make the client allocate gigabytes.
    const struct {
        int width, height, gross;
    } bad[] = {{4, 0, 0},
               {0, 2, 8},
               {4, 3, 8},
               {4, 2, 6},
               {65537, 1, 65537},
               {8192, 8193, 8192 * 8193},
               {20000, 15100, 20000 * 15100}};
    for (const auto& b : bad) {
        LzDecodeUsrData none = {NULL, NULL};
        EXPECT_THROW(
            handler.alloc_image(&none, 1, 1, LZ_IMAGE_TYPE_RGB32, b.width, b.height, b.gross, 4, true),
            Exception)
            << b.width << "x" << b.height << " gross " << b.gross;
    }
}

TEST(GlzDecoderCanvasDebug, ErrorsThrowTheirMessage) {
    GlzDecoderCanvasDebug debug;
    try {
        debug.error("bad magic");
        ADD_FAILURE();
    } catch (const Exception& e) {
        EXPECT_EQ(std::string(e.what()).find("bad magic"), 0u);
    }
    debug.warn("only logged");
    debug.info("only logged");
}

TEST_F(ClientCanvasTest, SurfacesAnswerWithTheCanvasOfAnId) {
    std::unique_ptr<SCanvas> canvas(make(false, 2, 2, SPICE_SURFACE_FMT_32_xRGB));
    surfaces_.canvases()[5] = canvas.get();
    EXPECT_EQ(surfaces_.ops->get(&surfaces_, 5), canvas->get_internal_canvas());
    EXPECT_EQ(surfaces_.ops->get(&surfaces_, 6), nullptr);
}

}  // namespace
