// A small software canvas with an image cache, a palette cache and a surfaces table of its own, and 32-bit
// bitmap images to draw with: the draw tests then depend on no codec.
#pragma once

#include <gtest/gtest.h>
#include <pixman.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "canvas/canvas_base.h"
#include "canvas/sw_canvas.h"

struct TestImageCache : SpiceImageCache {
    std::map<uint64_t, pixman_image_t*> images;

    TestImageCache() { ops = &cache_ops; }
    ~TestImageCache() {
        for (auto& entry : images) {
            pixman_image_unref(entry.second);
        }
    }

    static TestImageCache* self(SpiceImageCache* cache) { return static_cast<TestImageCache*>(cache); }
    static void put(SpiceImageCache* cache, uint64_t id, pixman_image_t* image) {
        auto& slot = self(cache)->images[id];
        if (slot) {
            pixman_image_unref(slot);
        }
        slot = pixman_image_ref(image);
    }
    static pixman_image_t* get(SpiceImageCache* cache, uint64_t id) {
        auto it = self(cache)->images.find(id);
        return it == self(cache)->images.end() ? nullptr : pixman_image_ref(it->second);
    }
    static inline const SpiceImageCacheOps cache_ops = {put, get, put, put, get};
};

struct TestPaletteCache : SpicePaletteCache {
    TestPaletteCache() { ops = &palette_ops; }
    static void put(SpicePaletteCache*, SpicePalette*) {}
    static SpicePalette* get(SpicePaletteCache*, uint64_t) { return nullptr; }
    static void release(SpicePaletteCache*, SpicePalette*) {}
    static inline SpicePaletteCacheOps palette_ops = {put, get, release};
};

struct TestSurfaces : SpiceSurfaces {
    std::map<uint32_t, SpiceCanvas*> canvases;

    TestSurfaces() { ops = &surfaces_ops; }
    static SpiceCanvas* get(SpiceSurfaces* surfaces, uint32_t id) {
        auto* self = static_cast<TestSurfaces*>(surfaces);
        auto it = self->canvases.find(id);
        return it == self->canvases.end() ? nullptr : it->second;
    }
    static inline SpiceSurfacesOps surfaces_ops = {get};
};

// A bitmap image descriptor over pixels of its own: format 8 (32-bit x8r8g8b8) unless told otherwise.
class TestBitmap {
public:
    TestBitmap(int width, int height, std::function<uint32_t(int, int)> pixel,
               uint8_t format = SPICE_BITMAP_FMT_32BIT)
        : pixels_(size_t(width) * size_t(height)) {
        for (int y = 0; y < height; y++) {
            for (int x = 0; x < width; x++) {
                pixels_[size_t(y) * size_t(width) + size_t(x)] = pixel(x, y);
            }
        }
        init(width, height, format, reinterpret_cast<uint8_t*>(pixels_.data()), uint32_t(width) * 4);
    }
    // A one-bit (format 1, leftmost pixel in the lowest bit) bitmap from rows of '1' and '.'.
    explicit TestBitmap(const std::vector<const char*>& rows) {
        const int width = int(strlen(rows[0]));
        const uint32_t stride = uint32_t((width + 31) / 32 * 4);
        bytes_.assign(stride * rows.size(), 0);
        for (size_t y = 0; y < rows.size(); y++) {
            for (int x = 0; x < width; x++) {
                if (rows[y][x] == '1') {
                    bytes_[y * stride + size_t(x / 8)] |= uint8_t(1u << (x % 8));
                }
            }
        }
        init(width, int(rows.size()), SPICE_BITMAP_FMT_1BIT_LE, bytes_.data(), stride);
    }
    ~TestBitmap() { spice_chunks_destroy(image_.u.bitmap.data); }
    TestBitmap(const TestBitmap&) = delete;
    TestBitmap& operator=(const TestBitmap&) = delete;

    SpiceImage* image() { return &image_; }

private:
    void init(int width, int height, uint8_t format, uint8_t* data, uint32_t stride) {
        memset(&image_, 0, sizeof(image_));
        static uint64_t next_id = 1000;
        image_.descriptor.id = next_id++;
        image_.descriptor.type = SPICE_IMAGE_TYPE_BITMAP;
        image_.descriptor.width = uint32_t(width);
        image_.descriptor.height = uint32_t(height);
        SpiceBitmap& bitmap = image_.u.bitmap;
        bitmap.format = format;
        bitmap.flags = SPICE_BITMAP_FLAGS_TOP_DOWN;
        bitmap.x = uint32_t(width);
        bitmap.y = uint32_t(height);
        bitmap.stride = stride;
        bitmap.data = spice_chunks_new(1);
        bitmap.data->data_size = stride * uint32_t(height);
        bitmap.data->num_chunks = 1;
        bitmap.data->chunk[0].data = data;
        bitmap.data->chunk[0].len = stride * uint32_t(height);
    }

    std::vector<uint32_t> pixels_;
    std::vector<uint8_t> bytes_;
    SpiceImage image_;
};

// A surface descriptor: the draws look it up through the surfaces table.
inline SpiceImage surface_image(uint32_t surface_id) {
    SpiceImage image;
    memset(&image, 0, sizeof(image));
    image.descriptor.type = SPICE_IMAGE_TYPE_SURFACE;
    image.u.surface.surface_id = surface_id;
    return image;
}

inline SpiceBrush solid_brush(uint32_t color) {
    SpiceBrush brush{};
    brush.type = SPICE_BRUSH_TYPE_SOLID;
    brush.u.color = color;
    return brush;
}

inline SpiceBrush pattern_brush(SpiceImage* image, int x, int y) {
    SpiceBrush brush{};
    brush.type = SPICE_BRUSH_TYPE_PATTERN;
    brush.u.pattern.pat = image;
    brush.u.pattern.pos = {x, y};
    return brush;
}

// A software canvas over its own image. pixel() and set_pixel() read and write it directly.
class TestCanvas {
public:
    explicit TestCanvas(int width = 16, int height = 16, uint32_t format = SPICE_SURFACE_FMT_32_xRGB,
                        TestImageCache* cache = nullptr, TestSurfaces* surfaces = nullptr) {
        sw_canvas_ops_init();
        image_ = pixman_image_create_bits(surface_format_to_pixman(format), width, height, nullptr, 0);
        canvas_ = sw_canvas_new(pixman_image_ref(image_), format, cache ? cache : &own_cache_, &palettes_,
                                surfaces ? surfaces : &own_surfaces_, nullptr, nullptr, nullptr);
    }
    ~TestCanvas() {
        if (canvas_) {
            canvas_->ops->destroy(canvas_);
        }
        pixman_image_unref(image_);
    }
    TestCanvas(const TestCanvas&) = delete;
    TestCanvas& operator=(const TestCanvas&) = delete;

    SpiceCanvas* get() const { return canvas_; }
    SpiceCanvasOps* ops() const { return canvas_->ops; }
    pixman_image_t* image() const { return image_; }
    int width() const { return pixman_image_get_width(image_); }
    int height() const { return pixman_image_get_height(image_); }
    TestImageCache& cache() { return own_cache_; }

    uint32_t pixel(int x, int y) const {
        const uint8_t* row = reinterpret_cast<const uint8_t*>(pixman_image_get_data(image_)) +
                             ptrdiff_t(y) * pixman_image_get_stride(image_);
        const int bpp = PIXMAN_FORMAT_BPP(pixman_image_get_format(image_));
        if (bpp == 16) {
            uint16_t v;
            memcpy(&v, row + 2 * x, 2);
            return v;
        }
        uint32_t v;
        memcpy(&v, row + 4 * x, 4);
        return v;
    }
    void set_pixel(int x, int y, uint32_t value) {
        uint8_t* row = reinterpret_cast<uint8_t*>(pixman_image_get_data(image_)) +
                       ptrdiff_t(y) * pixman_image_get_stride(image_);
        if (PIXMAN_FORMAT_BPP(pixman_image_get_format(image_)) == 16) {
            uint16_t v = uint16_t(value);
            memcpy(row + 2 * x, &v, 2);
        } else {
            memcpy(row + 4 * x, &value, 4);
        }
    }
    void fill(const std::function<uint32_t(int, int)>& pixel) {
        for (int y = 0; y < height(); y++) {
            for (int x = 0; x < width(); x++) {
                set_pixel(x, y, pixel(x, y));
            }
        }
    }
    // Checks every pixel against expected(x, y); reports the first few that differ.
    void expect_pixels(const std::function<uint32_t(int, int)>& expected) const {
        int failures = 0;
        for (int y = 0; y < height() && failures < 5; y++) {
            for (int x = 0; x < width() && failures < 5; x++) {
                if (pixel(x, y) != expected(x, y)) {
                    ADD_FAILURE() << "pixel (" << x << ", " << y << ") is 0x" << std::hex << pixel(x, y)
                                  << ", expected 0x" << expected(x, y);
                    failures++;
                }
            }
        }
    }

private:
    static pixman_format_code_t surface_format_to_pixman(uint32_t format) {
        switch (format) {
            case SPICE_SURFACE_FMT_16_555:
                return PIXMAN_x1r5g5b5;
            case SPICE_SURFACE_FMT_16_565:
                return PIXMAN_r5g6b5;
            case SPICE_SURFACE_FMT_32_ARGB:
                return PIXMAN_a8r8g8b8;
            default:
                return PIXMAN_x8r8g8b8;
        }
    }

    TestImageCache own_cache_;
    TestPaletteCache palettes_;
    TestSurfaces own_surfaces_;
    pixman_image_t* image_;
    SpiceCanvas* canvas_;
};

inline SpiceRect rect(int left, int top, int right, int bottom) {
    return {left, top, right, bottom};
}

inline SpiceClip no_clip() {
    return {SPICE_CLIP_TYPE_NONE, nullptr};
}

// A clip of the given rectangles; the record owns them.
struct TestClip {
    explicit TestClip(std::vector<SpiceRect> list) : rects_(std::move(list)) {
        storage_.resize(sizeof(SpiceClipRects) + rects_.size() * sizeof(SpiceRect));
        auto* header = reinterpret_cast<SpiceClipRects*>(storage_.data());
        header->num_rects = uint32_t(rects_.size());
        header->rects = rects_.data();
        clip.type = SPICE_CLIP_TYPE_RECTS;
        clip.rects = header;
    }
    SpiceClip clip;

private:
    std::vector<SpiceRect> rects_;
    std::vector<uint8_t> storage_;
};

inline bool inside(int x, int y, const SpiceRect& r) {
    return x >= r.left && x < r.right && y >= r.top && y < r.bottom;
}
