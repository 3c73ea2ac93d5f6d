// Canvas surfaces: DIB-backed and heap-backed images, their records and destroy function, the live-DIB limit.
#include "canvas/canvas_base.h"
#include "canvas/canvas_utils.h"
#include "runtime/log.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

// Failures report at ERROR, which ends the process under the default abort level: the tests that provoke them
// hold this while they run.
class NoAbort {
public:
    NoAbort() : previous_(spice_log_swap_abort_level(-1)) {}
    ~NoAbort() { spice_log_swap_abort_level(previous_); }

private:
    int previous_;
};

class SurfaceTest : public ::testing::Test {
protected:
    void SetUp() override { dc_ = CreateCompatibleDC(NULL); }
    void TearDown() override { DeleteDC(dc_); }
    HDC dc_ = NULL;
};

PixmanData* record(pixman_image_t* image) {
    return (PixmanData*)pixman_image_get_destroy_data(image);
}

TEST_F(SurfaceTest, EachFormatGetsItsStrideInDibAndHeapMemory) {
    const struct {
        pixman_format_code_t format;
        int width;
        int stride;
    } cases[] = {{PIXMAN_a1, 33, 8},    {PIXMAN_a8, 5, 8},        {PIXMAN_x1r5g5b5, 3, 8},
                 {PIXMAN_r5g6b5, 2, 4}, {PIXMAN_x8r8g8b8, 3, 12}, {PIXMAN_a8r8g8b8, 1, 4}};
    for (const auto& c : cases) {
        for (HDC dc : {dc_, (HDC)NULL}) {
            for (int top_down : {1, 0}) {
                SCOPED_TRACE(testing::Message() << "format " << c.format << (dc ? " DIB" : " heap")
                                                << (top_down ? " top-down" : " bottom-up"));
                int before = surface_dib_count();
                pixman_image_t* image = surface_create(dc, c.format, c.width, 3, top_down);
                ASSERT_NE(image, nullptr);
                EXPECT_EQ(pixman_image_get_stride(image), top_down ? c.stride : -c.stride);
                pixman_format_code_t format;
                ASSERT_EQ(spice_pixman_image_get_format(image, &format), 1);
                EXPECT_EQ(format, c.format);
                PixmanData* data = record(image);
                uint8_t* first = (uint8_t*)pixman_image_get_data(image);
                if (dc) {
                    ASSERT_NE(data->bitmap, nullptr);
                    EXPECT_NE(data->mutex, nullptr);
                    EXPECT_EQ(surface_dib_count(), before + 1);
                    DIBSECTION section;
                    ASSERT_EQ(GetObjectW(data->bitmap, sizeof(section), &section), (int)sizeof(section));
                    uint8_t* bits = (uint8_t*)section.dsBm.bmBits;
                    EXPECT_EQ(first, top_down ? bits : bits + 2 * c.stride);
                } else {
                    EXPECT_EQ(data->bitmap, nullptr);
                    if (top_down) {
                        // pixman's own rows: nothing of ours to free with the image.
                        EXPECT_NE(first, nullptr);
                        EXPECT_EQ(data->data, nullptr);
                    } else {
                        // Bottom-up heap images start at the last row of their block.
                        EXPECT_EQ(first, data->data + 2 * c.stride);
                    }
                }
                pixman_image_unref(image);
                EXPECT_EQ(surface_dib_count(), before);
            }
        }
    }
}

TEST_F(SurfaceTest, TheDestroyFunctionReleasesTheDibAndItsMutex) {
    pixman_image_t* image = surface_create(dc_, PIXMAN_x8r8g8b8, 4, 4, 1);
    ASSERT_NE(image, nullptr);
    HBITMAP bitmap = record(image)->bitmap;
    HANDLE mutex = record(image)->mutex;
    pixman_image_ref(image);
    pixman_image_unref(image);
    BITMAP info;
    EXPECT_EQ(GetObjectW(bitmap, sizeof(info), &info), (int)sizeof(info)) << "alive while referenced";
    pixman_image_unref(image);
    EXPECT_EQ(GetObjectW(bitmap, sizeof(info), &info), 0);
    EXPECT_FALSE(CloseHandle(mutex)) << "already closed";
}

TEST_F(SurfaceTest, PastTheDibLimitSurfacesComeFromTheHeap) {
    std::vector<pixman_image_t*> images;
    while (surface_dib_count() < SURFACE_MAX_DIBS) {
        images.push_back(surface_create(dc_, PIXMAN_a8, 1, 1, 1));
        ASSERT_NE(images.back(), nullptr);
    }
    pixman_image_t* heap = surface_create(dc_, PIXMAN_a8, 1, 1, 1);
    ASSERT_NE(heap, nullptr);
    EXPECT_EQ(record(heap)->bitmap, nullptr);
    pixman_image_unref(images.back());
    images.pop_back();
    pixman_image_t* dib = surface_create(dc_, PIXMAN_a8, 1, 1, 1);
    EXPECT_NE(record(dib)->bitmap, nullptr);
    images.push_back(dib);

    // Threads racing for the last slots never take more than there are.
    for (int i = 0; i < 16; i++) {
        pixman_image_unref(images.back());
        images.pop_back();
    }
    std::atomic<int> dibs{0};
    std::vector<std::thread> threads;
    std::vector<std::vector<pixman_image_t*>> made(8);
    for (int t = 0; t < 8; t++) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20; i++) {
                pixman_image_t* image = surface_create(dc_, PIXMAN_a8, 1, 1, 1);
                if (image && record(image)->bitmap) {
                    dibs++;
                }
                made[t].push_back(image);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(dibs.load(), 16);
    EXPECT_EQ(surface_dib_count(), SURFACE_MAX_DIBS);
    for (auto& list : made) {
        for (pixman_image_t* image : list) {
            pixman_image_unref(image);
        }
    }
    for (pixman_image_t* image : images) {
        pixman_image_unref(image);
    }
    pixman_image_unref(heap);
    EXPECT_EQ(surface_dib_count(), 0);
}

TEST_F(SurfaceTest, BadRequestsAreRefusedWithoutAnImage) {
    NoAbort no_abort;
    EXPECT_EQ(surface_create(dc_, PIXMAN_r8g8b8, 4, 4, 1), nullptr) << "no such surface format";
    EXPECT_EQ(surface_create(NULL, PIXMAN_r8g8b8, 4, 4, 0), nullptr);
    EXPECT_EQ(surface_create(dc_, PIXMAN_x8r8g8b8, 0, 4, 1), nullptr);
    EXPECT_EQ(surface_create(NULL, PIXMAN_x8r8g8b8, 100000, 100000, 1), nullptr) << "too large";
    EXPECT_EQ(surface_create(dc_, PIXMAN_x8r8g8b8, 100000, 100000, 0), nullptr);
    EXPECT_EQ(surface_create_stride(PIXMAN_x8r8g8b8, 4, 4, 0), nullptr);
    EXPECT_EQ(surface_create_stride(PIXMAN_x8r8g8b8, 4, 1 << 20, -(1 << 14)), nullptr);
    EXPECT_EQ(surface_dib_count(), 0);
}

TEST_F(SurfaceTest, LzOutputUsesADibOnlyForPackedFourByteRows) {
    NoAbort no_abort;
    const struct {
        pixman_format_code_t format;
        int width, height, gross;
        int top_down;
        bool dib;
        int stride;
    } cases[] = {
        {PIXMAN_x8r8g8b8, 4, 2, 8, 1, true, 16},
        {PIXMAN_a8r8g8b8, 4, 2, 8, 0, true, -16},
        {PIXMAN_a8, 3, 2, 6, 1, false, 4},
        {PIXMAN_x8r8g8b8, 3, 2, 8, 1, false, 16},
    };
    for (const auto& c : cases) {
        for (HDC dc : {dc_, (HDC)NULL}) {
            LzDecodeUsrData out = {dc, NULL};
            pixman_image_t* image =
                lz_output_surface_create(&out, c.format, c.width, c.height, c.gross, c.top_down);
            ASSERT_NE(image, nullptr);
            EXPECT_EQ(out.out_surface, image);
            EXPECT_EQ(pixman_image_get_stride(image), c.stride) << c.format << " width " << c.width;
            EXPECT_EQ(record(image)->bitmap != nullptr, dc && c.dib) << c.format << " width " << c.width;
            pixman_image_unref(image);
        }
    }
    LzDecodeUsrData out = {dc_, NULL};
    EXPECT_EQ(lz_output_surface_create(&out, PIXMAN_x8r8g8b8, 4, 0, 0, 1), nullptr) << "no rows";
}

TEST(PixmanData, RecordsAreMadeOnceAndFormatsAskedForSafely) {
    NoAbort no_abort;
    pixman_image_t* image = pixman_image_create_bits(PIXMAN_a8, 4, 4, NULL, 0);
    pixman_format_code_t format = PIXMAN_a1;
    EXPECT_EQ(spice_pixman_image_get_format(image, &format), 0) << "no record";
    EXPECT_EQ(format, PIXMAN_a1);
    PixmanData* data = pixman_image_add_data(image);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(pixman_image_add_data(image), data);
    EXPECT_EQ(spice_pixman_image_get_format(image, &format), 0) << "no format recorded";
    data->format = PIXMAN_a8;
    EXPECT_EQ(spice_pixman_image_get_format(image, &format), 1);
    EXPECT_EQ(format, PIXMAN_a8);
    EXPECT_EQ(spice_pixman_image_get_format(image, NULL), 0);
    pixman_image_unref(image);
}

}  // namespace
