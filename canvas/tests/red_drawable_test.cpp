// Drawables and pixmaps: layout, the drawing calls with origins, and the two-lock rule.
#include "canvas/red_drawable.h"

#include "canvas/raster_types.h"
#include "runtime/exception.h"
#include "runtime/threads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

namespace {

// Pixel (x, y) of a 32-bit top-down pixmap.
uint32_t& pixel(RedPixmap& pixmap, int x, int y) {
    return *(uint32_t*)(pixmap.get_data() + y * pixmap.get_stride() + 4 * x);
}

SpiceRect rect(int left, int top, int right, int bottom) {
    return SpiceRect{left, top, right, bottom};
}

TEST(RedPixmap, LayoutFollowsTheFormat) {
    const struct {
        RedDrawable::Format format;
        int width;
        int stride;
    } cases[] = {{RedDrawable::A1, 1, 4},
                 {RedDrawable::RGB16_555, 33, 68},
                 {RedDrawable::RGB16_565, 1, 4},
                 {RedDrawable::RGB32, 3, 12},
                 {RedDrawable::ARGB32, 5, 20}};
    for (const auto& c : cases) {
        RedPixmapSw pixmap(c.width, 2, c.format, false);
        EXPECT_EQ(pixmap.get_stride(), c.stride) << c.format;
        EXPECT_EQ(pixmap.get_format(), c.format);
        EXPECT_EQ(pixmap.get_size().cx, c.width);
        EXPECT_EQ(pixmap.get_size().cy, 2);
        EXPECT_FALSE(pixmap.is_top_down());
    }
    EXPECT_TRUE(RedPixmapGdi(2, 2, RedDrawable::RGB32).is_top_down());
    EXPECT_THROW(RedPixmapSw(-1, 2, RedDrawable::RGB32, true), Exception);
    EXPECT_THROW(RedPixmapSw(1 << 20, 1 << 20, RedDrawable::RGB32, true), Exception);
}

TEST(RedDrawable, SurfaceFormatsMapToDrawableFormats) {
    EXPECT_EQ(RedDrawable::format_from_surface(SPICE_SURFACE_FMT_16_555), RedDrawable::RGB16_555);
    EXPECT_EQ(RedDrawable::format_from_surface(SPICE_SURFACE_FMT_32_xRGB), RedDrawable::RGB32);
    EXPECT_EQ(RedDrawable::format_from_surface(SPICE_SURFACE_FMT_16_565), RedDrawable::RGB16_565);
    EXPECT_EQ(RedDrawable::format_from_surface(SPICE_SURFACE_FMT_32_ARGB), RedDrawable::ARGB32);
    for (uint32_t other : {0u, 1u, 8u, 24u, 97u}) {
        try {
            RedDrawable::format_from_surface(other);
            ADD_FAILURE() << other;
        } catch (const Exception& e) {
            EXPECT_EQ(std::string(e.what()).find("Unsupported RedPixman format"), 0u);
        }
    }
}

TEST(RedDrawable, FillAndFrameSwapToWindowsColoursAtTheOrigin) {
    RedPixmapSw pixmap(5, 4, RedDrawable::RGB32, true);
    pixmap.set_origin(1, 1);
    pixmap.fill_rect(rect(0, 0, 1, 1), 0xFF0000);
    EXPECT_EQ(pixel(pixmap, 1, 1), 0xFF0000u) << "red";
    EXPECT_EQ(pixmap.get_data()[4 * 6 + 2], 0xFF) << "red byte third in memory";
    EXPECT_EQ(pixel(pixmap, 0, 0), 0u);
    pixmap.set_origin(0, 0);
    pixmap.frame_rect(rect(1, 0, 5, 3), 0x0000FF);
    EXPECT_EQ(pixel(pixmap, 1, 0), 0x0000FFu);
    EXPECT_EQ(pixel(pixmap, 4, 2), 0x0000FFu);
    EXPECT_EQ(pixel(pixmap, 2, 1), 0u) << "inside the frame";
    EXPECT_EQ(pixel(pixmap, 1, 1), 0x0000FFu) << "the left edge covers the earlier fill";

    RedPixmapSw bottom_up(2, 2, RedDrawable::RGB16_565, false);
    bottom_up.fill_rect(rect(0, 0, 2, 1), 0xFFFFFF);
    uint16_t words[4];
    memcpy(words, bottom_up.get_data(), sizeof(words));
    EXPECT_EQ(words[0], 0) << "the top row is last in memory";
    EXPECT_EQ(words[2], 0xFFFF);

    RedPixmapSw mono(8, 1, RedDrawable::A1, true);
    mono.fill_rect(rect(0, 0, 3, 1), 0xFFFFFF);
    EXPECT_EQ(mono.get_data()[0], 0xE0);
}

TEST(RedDrawable, CopyCombineAndBlendTakeTheSourceAtItsOrigin) {
    RedPixmapSw src(4, 4, RedDrawable::ARGB32, true), dest(4, 4, RedDrawable::RGB32, true);
    for (int y = 0; y < 4; y++) {
        for (int x = 0; x < 4; x++) {
            pixel(src, x, y) = 0x80000000u | (uint32_t)(0x10 * y + x);
            pixel(dest, x, y) = 0x00F0F0F0u;
        }
    }
    src.set_origin(1, 0);
    dest.set_origin(0, 1);
    dest.copy_pixels(src, 0, 1, rect(0, 0, 2, 1));
    EXPECT_EQ(pixel(dest, 0, 1), 0x80000011u);
    EXPECT_EQ(pixel(dest, 1, 1), 0x80000012u);
    EXPECT_EQ(pixel(dest, 2, 1), 0x00F0F0F0u);

    dest.combine_pixels(src, 0, 2, rect(0, 1, 1, 2), RedDrawable::OP_AND);
    EXPECT_EQ(pixel(dest, 0, 2), 0x00F0F0F0u & 0x80000021u);
    dest.combine_pixels(src, 0, 2, rect(1, 1, 2, 2), RedDrawable::OP_XOR);
    EXPECT_EQ(pixel(dest, 1, 2), 0x00F0F0F0u ^ 0x80000021u);
    try {
        dest.combine_pixels(src, 0, 0, rect(0, 0, 1, 1), 3);
        ADD_FAILURE() << "op 3 accepted";
    } catch (const Exception& e) {
        EXPECT_EQ(std::string(e.what()).find("invalid op 3"), 0u);
    }

    // Premultiplied source over the destination: 0x10 + 0xF0 * (1 - 0x80/255).
    dest.blend_pixels(src, 0, 0, rect(3, 0, 4, 1));
    uint32_t blended = pixel(dest, 3, 1);
    EXPECT_NEAR((int)(blended & 0xFF), 0x01 + 0x78, 1);
    EXPECT_NEAR((int)(blended >> 16 & 0xFF), 0x78, 1);
}

TEST(RedDrawable, OppositeCopiesNeverDeadlock) {
    RedPixmapSw a(8, 8, RedDrawable::RGB32, true), b(8, 8, RedDrawable::RGB32, true);
    std::atomic<int> done{0};
    auto copier = [&](RedPixmap& dest, RedPixmap& src) {
        for (int i = 0; i < 300; i++) {
            dest.copy_pixels(src, 0, 0, rect(0, 0, 8, 8));
        }
        done++;
    };
    std::thread one(copier, std::ref(a), std::ref(b));
    std::thread two(copier, std::ref(b), std::ref(a));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (done.load() < 2 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ(done.load(), 2) << "deadlocked";
    one.join();
    two.join();
}

TEST(RedDrawable, ACopyWaitingForItsSourceLetsGoOfTheDestination) {
    RedPixmapSw src(2, 2, RedDrawable::RGB32, true), dest(2, 2, RedDrawable::RGB32, true);
    pixel(src, 0, 0) = 0x123456;
    std::atomic<bool> copied{false};
    std::thread copier;
    {
        Lock source_held(*src.get_platform_area().lock);
        copier = std::thread([&] {
            dest.copy_pixels(src, 0, 0, rect(0, 0, 1, 1));
            copied = true;
        });
        // Once the copy has taken the destination, it lets go of it while it waits for the source.
        bool taken_by_copy = false, got_dest = false;
        std::thread other([&] {
            auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (!got_dest && std::chrono::steady_clock::now() < deadline) {
                Lock attempt(*dest.get_platform_area().lock, Lock::DEFER);
                if (!attempt.try_lock()) {
                    taken_by_copy = true;
                } else {
                    got_dest = taken_by_copy;
                }
            }
        });
        other.join();
        EXPECT_TRUE(taken_by_copy) << "the copy never took the destination";
        EXPECT_TRUE(got_dest) << "the copy kept the destination while waiting for the source";
        EXPECT_FALSE(copied.load());
    }
    copier.join();
    EXPECT_TRUE(copied.load());
    EXPECT_EQ(pixel(dest, 0, 0), 0x123456u);
}

}  // namespace
