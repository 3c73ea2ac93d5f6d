// Image fetch: every image type decoded to known pixels through the real decoders (streams made by the
// codecs' test encoders), the caches kept in step, and server sizes that do not fit refused.
#include "canvas/canvas_base.h"
#include "canvas/canvas_utils.h"

#include <gtest/gtest.h>

#include <zlib.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "codecs/tests/support/jpeg_test_support.h"
#include "codecs/tests/support/lz_encoder.h"
#include "codecs/tests/support/quic_encoder.h"
#include "canvas/tests/support/image_map.h"
#include "runtime/exception.h"

namespace {

std::vector<uint8_t> cat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// ---- caches ----

// Keeps one reference per entry and a log of the calls.
struct TestImageCache : SpiceImageCache, canvas_test::ImageMap {
    std::vector<std::string> calls;
    bool give_up = false;  // get throws, as a wait for another channel's image that is given up

    TestImageCache() { ops = &table; }
    pixman_image_t* find(uint64_t id) {
        if (give_up) {
            throw Exception("wait for image given up");
        }
        return ImageMap::find(id);
    }
    static TestImageCache* self(SpiceImageCache* cache) { return static_cast<TestImageCache*>(cache); }
    static const SpiceImageCacheOps table;
};

const SpiceImageCacheOps TestImageCache::table = {
    [](SpiceImageCache* c, uint64_t id, pixman_image_t* image) {
        self(c)->calls.push_back("put");
        self(c)->store(id, image);
    },
    [](SpiceImageCache* c, uint64_t id) {
        self(c)->calls.push_back("get");
        return self(c)->find(id);
    },
    [](SpiceImageCache* c, uint64_t id, pixman_image_t* image) {
        self(c)->calls.push_back("put_lossy");
        self(c)->store(id, image);
    },
    [](SpiceImageCache* c, uint64_t id, pixman_image_t* image) {
        self(c)->calls.push_back("replace_lossy");
        self(c)->store(id, image);
    },
    [](SpiceImageCache* c, uint64_t id) {
        self(c)->calls.push_back("get_lossless");
        return self(c)->find(id);
    },
};

struct TestPaletteCache : SpicePaletteCache {
    std::map<uint64_t, SpicePalette*> palettes;  // not owned
    int puts = 0;
    int releases = 0;

    TestPaletteCache() { ops = &table; }
    static TestPaletteCache* self(SpicePaletteCache* cache) { return static_cast<TestPaletteCache*>(cache); }
    static SpicePaletteCacheOps table;
};

SpicePaletteCacheOps TestPaletteCache::table = {
    [](SpicePaletteCache* c, SpicePalette* palette) {
        self(c)->puts++;
        self(c)->palettes[palette->unique] = palette;
    },
    [](SpicePaletteCache* c, uint64_t id) -> SpicePalette* {
        auto it = self(c)->palettes.find(id);
        return it == self(c)->palettes.end() ? nullptr : it->second;
    },
    [](SpicePaletteCache* c, SpicePalette*) { self(c)->releases++; },
};

struct TestPalette {
    std::vector<uint32_t> ents;
    SpicePalette palette{};
    TestPalette(uint64_t unique, std::vector<uint32_t> colours) : ents(std::move(colours)) {
        palette.unique = unique;
        palette.num_ents = uint16_t(ents.size());
        palette.ents = ents.data();
    }
};

// ---- GLZ output images as the client canvas makes them ----

class GlzSurfaceImage : public GlzDecodedImage {
public:
    GlzSurfaceImage(uint64_t id, uint64_t head, pixman_image_t* image, uint8_t* data, uint32_t pixels)
        : GlzDecodedImage(id, head, data, pixels, 4), _image(image) {}
    ~GlzSurfaceImage() override { pixman_image_unref(_image); }

private:
    pixman_image_t* _image;
};

struct TestGlzHandler : GlzDecodeHandler {
    int calls = 0;
    GlzDecodedImage* alloc_image(void* usr_data, uint64_t id, uint64_t head, LzImageType type, int width,
                                 int height, int gross_pixels, int, bool top_down) override {
        calls++;
        pixman_image_t* image =
            lz_output_surface_create(static_cast<LzDecodeUsrData*>(usr_data),
                                     type == LZ_IMAGE_TYPE_RGBA ? PIXMAN_a8r8g8b8 : PIXMAN_x8r8g8b8, width,
                                     height, gross_pixels, top_down);
        uint8_t* data = reinterpret_cast<uint8_t*>(pixman_image_get_data(image));
        int stride = pixman_image_get_stride(image);
        if (stride < 0) {
            data += int64_t(stride) * (height - 1);
        }
        // The window's reference; the one in the output record is the fetch's.
        return new GlzSurfaceImage(id, head, pixman_image_ref(image), data, uint32_t(gross_pixels));
    }
};

struct ThrowingGlzDebug : GlzDecoderDebug {
    void error(const std::string& str) override { throw Exception(str); }
    void warn(const std::string&) override {}
    void info(const std::string&) override {}
};

// Counts header reads, so a test can tell whether a fetch decoded at all.
struct CountingJpeg : SpiceJpegDecoder {
    JpegDecoder real;
    int begins = 0;
    CountingJpeg() { ops = &table; }
    static CountingJpeg* self(SpiceJpegDecoder* d) { return static_cast<CountingJpeg*>(d); }
    static const SpiceJpegDecoderOps table;
};

const SpiceJpegDecoderOps CountingJpeg::table = {
    [](SpiceJpegDecoder* d, const uint8_t* data, uint32_t size, int* w, int* h) {
        self(d)->begins++;
        return self(d)->real.begin(data, size, w, h);
    },
    [](SpiceJpegDecoder* d, uint8_t* dest, int stride, int format) {
        return self(d)->real.decode(dest, stride, format);
    },
};

// ---- the canvas ----

class TestCanvas {
public:
    explicit TestCanvas(uint32_t format = SPICE_SURFACE_FMT_32_xRGB)
        : canvas(static_cast<SpiceCanvas*>(calloc(1, sizeof(SpiceCanvas)))) {
        EXPECT_EQ(
            canvas_state_init(canvas, &ops, 16, 16, format, &cache, &palettes, nullptr, &glz, &jpeg, &zlib),
            1);
    }
    ~TestCanvas() {
        canvas_state_free(canvas);
        free(canvas);
    }
    CanvasBase* base() { return &canvas->base; }

    SpiceCanvasOps ops{};
    TestImageCache cache;
    TestPaletteCache palettes;
    CountingJpeg jpeg;
    ZlibDecoder zlib;
    ThrowingGlzDebug glz_debug;
    GlzDecoderWindow glz_window{glz_debug};
    TestGlzHandler glz_handler;
    GlzDecoder glz{glz_window, glz_handler, glz_debug};
    SpiceCanvas* canvas;
};

// ---- images ----

struct TestImage {
    SpiceImage image{};
    SpiceChunks* chunks = nullptr;
    std::vector<std::vector<uint8_t>> parts;

    // The data in one chunk, or cut into two at split.
    TestImage(uint8_t type, uint32_t width, uint32_t height, const std::vector<uint8_t>& data,
              size_t split = 0) {
        image.descriptor.id = 7;
        image.descriptor.type = type;
        image.descriptor.width = width;
        image.descriptor.height = height;
        if (split && split < data.size()) {
            parts.emplace_back(data.begin(), data.begin() + long(split));
            parts.emplace_back(data.begin() + long(split), data.end());
        } else {
            parts.push_back(data);
        }
        chunks = spice_chunks_new(uint32_t(parts.size()));
        chunks->num_chunks = uint32_t(parts.size());
        for (size_t i = 0; i < parts.size(); i++) {
            chunks->chunk[i].data = parts[i].data();
            chunks->chunk[i].len = uint32_t(parts[i].size());
            chunks->data_size += uint32_t(parts[i].size());
        }
        switch (type) {
            case SPICE_IMAGE_TYPE_BITMAP:
                image.u.bitmap.x = width;
                image.u.bitmap.y = height;
                image.u.bitmap.data = chunks;
                break;
            case SPICE_IMAGE_TYPE_LZ_PLT:
                image.u.lz_plt.data_size = chunks->data_size;
                image.u.lz_plt.data = chunks;
                break;
            case SPICE_IMAGE_TYPE_ZLIB_GLZ_RGB:
                image.u.zlib_glz.data_size = chunks->data_size;
                image.u.zlib_glz.data = chunks;
                break;
            case SPICE_IMAGE_TYPE_JPEG_ALPHA:
                image.u.jpeg_alpha.data_size = chunks->data_size;
                image.u.jpeg_alpha.data = chunks;
                break;
            default:
                image.u.quic.data_size = chunks->data_size;
                image.u.quic.data = chunks;
                break;
        }
    }
    ~TestImage() { spice_chunks_destroy(chunks); }
    TestImage(const TestImage&) = delete;
    TestImage& operator=(const TestImage&) = delete;

    SpiceImage* get() { return &image; }
};

TestImage* bitmap(uint8_t format, uint32_t width, uint32_t height, uint32_t stride, std::vector<uint8_t> data,
                  uint8_t flags = SPICE_BITMAP_FLAGS_TOP_DOWN, SpicePalette* palette = nullptr) {
    TestImage* image = new TestImage(SPICE_IMAGE_TYPE_BITMAP, width, height, data);
    image->image.u.bitmap.format = format;
    image->image.u.bitmap.flags = flags;
    image->image.u.bitmap.stride = stride;
    image->image.u.bitmap.palette = palette;
    return image;
}

struct ImageDeleter {
    void operator()(pixman_image_t* image) const { pixman_image_unref(image); }
};
using Image = std::unique_ptr<pixman_image_t, ImageDeleter>;

uint32_t pixel32(pixman_image_t* image, int x, int y) {
    const uint8_t* row = reinterpret_cast<const uint8_t*>(pixman_image_get_data(image)) +
                         int64_t(y) * pixman_image_get_stride(image);
    return reinterpret_cast<const uint32_t*>(row)[x];
}

uint16_t pixel16(pixman_image_t* image, int x, int y) {
    const uint8_t* row = reinterpret_cast<const uint8_t*>(pixman_image_get_data(image)) +
                         int64_t(y) * pixman_image_get_stride(image);
    return reinterpret_cast<const uint16_t*>(row)[x];
}

uint8_t pixel8(pixman_image_t* image, int x, int y) {
    return reinterpret_cast<const uint8_t*>(
        pixman_image_get_data(image))[int64_t(y) * pixman_image_get_stride(image) + x];
}

// An a1 pixel in pixman's order: the leftmost pixel in the least significant bit.
int bit(pixman_image_t* image, int x, int y) {
    return (pixel8(image, x / 8, y) >> (x % 8)) & 1;
}

std::vector<uint32_t> pixels32(pixman_image_t* image) {
    std::vector<uint32_t> out;
    for (int y = 0; y < pixman_image_get_height(image); y++) {
        for (int x = 0; x < pixman_image_get_width(image); x++) {
            out.push_back(pixel32(image, x, y));
        }
    }
    return out;
}

// ---- bitmaps ----

TEST(CanvasImageBitmap, DecodesEveryFormatToItsPixels) {
    TestPalette palette(5, {0x112233, 0x445566, 0x778899});
    struct Case {
        const char* name;
        uint8_t format;
        uint8_t flags;
        uint32_t width;
        uint32_t stride;
        std::vector<uint8_t> data;  // two rows
        int keep;
        pixman_format_code_t want_format;
        std::vector<uint32_t> want;  // row by row
    };
    const uint8_t td = SPICE_BITMAP_FLAGS_TOP_DOWN;
    const Case cases[] = {
        {"32-bit top-down",
         SPICE_BITMAP_FMT_32BIT,
         td,
         2,
         8,
         {1, 2, 3, 0, 4, 5, 6, 0, 7, 8, 9, 0, 10, 11, 12, 0},
         0,
         PIXMAN_x8r8g8b8,
         {0x030201, 0x060504, 0x090807, 0x0c0b0a}},
        {"32-bit bottom-up: the first stored row is the bottom one",
         SPICE_BITMAP_FMT_32BIT,
         0,
         1,
         4,
         {1, 2, 3, 0, 4, 5, 6, 0},
         0,
         PIXMAN_x8r8g8b8,
         {0x060504, 0x030201}},
        {"24-bit, stride padded",
         SPICE_BITMAP_FMT_24BIT,
         td,
         1,
         4,
         {1, 2, 3, 99, 4, 5, 6, 99},
         0,
         PIXMAN_x8r8g8b8,
         {0x030201, 0x060504}},
        {"16-bit widened on a 32-bit canvas",
         SPICE_BITMAP_FMT_16BIT,
         td,
         1,
         4,
         {0x00, 0x7c, 0, 0, 0x1f, 0x00, 0, 0},
         0,
         PIXMAN_x8r8g8b8,
         {0xff0000, 0x0000ff}},
        {"16-bit kept as x1r5g5b5",
         SPICE_BITMAP_FMT_16BIT,
         td,
         1,
         2,
         {0x00, 0x7c, 0x1f, 0x00},
         1,
         PIXMAN_x1r5g5b5,
         {0x7c00, 0x001f}},
        {"8-bit palette; an index past the palette takes entry 0",
         SPICE_BITMAP_FMT_8BIT,
         td,
         2,
         2,
         {1, 2, 3, 200},
         0,
         PIXMAN_x8r8g8b8,
         {0x445566, 0x778899, 0x112233, 0x112233}},
        {"1-bit big-endian palette",
         SPICE_BITMAP_FMT_1BIT_BE,
         td,
         2,
         1,
         {0x80, 0x40},
         0,
         PIXMAN_x8r8g8b8,
         {0x445566, 0x112233, 0x112233, 0x445566}},
        {"4-bit big-endian palette",
         SPICE_BITMAP_FMT_4BIT_BE,
         td,
         2,
         1,
         {0x12, 0x01},
         0,
         PIXMAN_x8r8g8b8,
         {0x445566, 0x778899, 0x112233, 0x445566}},
        {"RGBA on a 32-bit canvas keeps its alpha",
         SPICE_BITMAP_FMT_RGBA,
         td,
         1,
         4,
         {1, 2, 3, 0x80, 4, 5, 6, 0xff},
         0,
         PIXMAN_a8r8g8b8,
         {0x80030201, 0xff060504}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestCanvas canvas;
        std::unique_ptr<TestImage> image(
            bitmap(c.format, c.width, 2, c.stride, c.data, c.flags, &palette.palette));
        Image got(canvas_get_image(canvas.base(), image->get(), c.keep));
        ASSERT_TRUE(got);
        pixman_format_code_t format;
        ASSERT_TRUE(spice_pixman_image_get_format(got.get(), &format));
        EXPECT_EQ(format, c.want_format);
        std::vector<uint32_t> values;
        for (int y = 0; y < 2; y++) {
            for (uint32_t x = 0; x < c.width; x++) {
                // The pad byte of x8r8g8b8 is left to the conversion.
                values.push_back(format == PIXMAN_x1r5g5b5   ? pixel16(got.get(), int(x), y)
                                 : format == PIXMAN_x8r8g8b8 ? pixel32(got.get(), int(x), y) & 0xffffff
                                                             : pixel32(got.get(), int(x), y));
            }
        }
        EXPECT_EQ(values, c.want);
    }
}

TEST(CanvasImageBitmap, BitmapInSeveralChunksIsJoined) {
    TestCanvas canvas;
    std::vector<uint8_t> data = {1, 2, 3, 0, 4, 5, 6, 0, 7, 8, 9, 0};
    TestImage image(SPICE_IMAGE_TYPE_BITMAP, 3, 1, data, 5);
    image.image.u.bitmap.format = SPICE_BITMAP_FMT_32BIT;
    image.image.u.bitmap.flags = SPICE_BITMAP_FLAGS_TOP_DOWN;
    image.image.u.bitmap.stride = 12;
    Image got(canvas_get_image(canvas.base(), image.get(), 0));
    ASSERT_TRUE(got);
    EXPECT_EQ(pixels32(got.get()), std::vector<uint32_t>({0x030201, 0x060504, 0x090807}));
}

TEST(CanvasImageBitmap, RefusesWhatDoesNotFitOrCannotBeDecoded) {
    struct Case {
        const char* name;
        uint8_t format;
        uint32_t width;
        uint32_t height;
        uint32_t stride;
        size_t bytes;
        bool palette;
    };
    const Case cases[] = {
        {"stride shorter than a row", SPICE_BITMAP_FMT_32BIT, 4, 2, 12, 64, false},
        {"stride x height past the data", SPICE_BITMAP_FMT_32BIT, 4, 4, 16, 63, false},
        {"stride x height past 32 bits", SPICE_BITMAP_FMT_8BIT_A, 16, 0x1000, 0x00200000, 64, false},
        {"zero width", SPICE_BITMAP_FMT_32BIT, 0, 2, 4, 64, false},
        {"width x height over the cap", SPICE_BITMAP_FMT_1BIT_LE, 0x10000, 0x10000, 0x2000, 64, true},
        {"unknown format", 11, 2, 2, 8, 64, false},
        {"palette format without a palette", SPICE_BITMAP_FMT_8BIT, 2, 2, 2, 64, false},
    };
    TestPalette palette(1, {0xffffff});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestCanvas canvas;
        std::unique_ptr<TestImage> image(
            bitmap(c.format, c.width, c.height, c.stride, std::vector<uint8_t>(c.bytes, 0x55),
                   SPICE_BITMAP_FLAGS_TOP_DOWN, c.palette ? &palette.palette : nullptr));
        image->image.descriptor.flags = SPICE_IMAGE_FLAGS_CACHE_ME;
        EXPECT_EQ(canvas_get_image(canvas.base(), image->get(), 0), nullptr);
        EXPECT_EQ(canvas.cache.images.size(), 0u);
    }
}

TEST(CanvasImageBitmap, PalettesGoToAndComeFromThePaletteCache) {
    TestCanvas canvas;
    TestPalette palette(42, {0x0000ff, 0x00ff00});
    std::unique_ptr<TestImage> first(bitmap(SPICE_BITMAP_FMT_8BIT, 2, 1, 2, {0, 1},
                                            SPICE_BITMAP_FLAGS_TOP_DOWN | SPICE_BITMAP_FLAGS_PAL_CACHE_ME,
                                            &palette.palette));
    Image a(canvas_get_image(canvas.base(), first->get(), 0));
    EXPECT_EQ(canvas.palettes.puts, 1);

    std::unique_ptr<TestImage> second(
        bitmap(SPICE_BITMAP_FMT_8BIT, 2, 1, 2, {1, 0},
               SPICE_BITMAP_FLAGS_TOP_DOWN | SPICE_BITMAP_FLAGS_PAL_FROM_CACHE));
    second->image.u.bitmap.palette_id = 42;
    Image b(canvas_get_image(canvas.base(), second->get(), 0));
    ASSERT_TRUE(b);
    EXPECT_EQ(pixels32(b.get()), std::vector<uint32_t>({0x00ff00, 0x0000ff}));
    EXPECT_EQ(canvas.palettes.releases, 1);

    // A palette the cache does not hold fails the image.
    second->image.u.bitmap.palette_id = 43;
    EXPECT_EQ(canvas_get_image(canvas.base(), second->get(), 0), nullptr);
}

// ---- QUIC ----

std::vector<uint8_t> quic_stream(QuicImageType type, unsigned width, unsigned height) {
    QuicTestImage picture(type, width, height);
    for (unsigned y = 0; y < height; y++) {
        for (unsigned x = 0; x < width; x++) {
            picture.at(x, y) = {uint8_t((x * 5 + 1) & 31), uint8_t((y * 7 + 2) & 31), uint8_t((x + y) & 31),
                                uint8_t(0x40 + x)};
        }
    }
    return quic_test_encode(picture);
}

TEST(CanvasImageQuic, DecodesRgb32AndRgbaAcrossChunks) {
    TestCanvas canvas;
    TestImage rgb(SPICE_IMAGE_TYPE_QUIC, 3, 2, quic_stream(QUIC_IMAGE_TYPE_RGB32, 3, 2), 24);
    ASSERT_EQ(rgb.chunks->num_chunks, 2u);
    Image got(canvas_get_image(canvas.base(), rgb.get(), 0));
    ASSERT_TRUE(got);
    EXPECT_EQ(pixel32(got.get(), 0, 0), 0x010200u);
    EXPECT_EQ(pixel32(got.get(), 2, 1), 0x0b0903u);

    TestImage rgba(SPICE_IMAGE_TYPE_QUIC, 3, 2, quic_stream(QUIC_IMAGE_TYPE_RGBA, 3, 2));
    got.reset(canvas_get_image(canvas.base(), rgba.get(), 1));
    ASSERT_TRUE(got);
    pixman_format_code_t format;
    ASSERT_TRUE(spice_pixman_image_get_format(got.get(), &format));
    EXPECT_EQ(format, PIXMAN_a8r8g8b8);
    EXPECT_EQ(pixel32(got.get(), 2, 1), 0x420b0903u);
}

TEST(CanvasImageQuic, Rgb16IsDecodedStraightTo32BitsUnlessItGoesToTheCache) {
    TestCanvas canvas;
    TestImage plain(SPICE_IMAGE_TYPE_QUIC, 2, 1, quic_stream(QUIC_IMAGE_TYPE_RGB16, 2, 1));
    Image got(canvas_get_image(canvas.base(), plain.get(), 0));
    ASSERT_TRUE(got);
    EXPECT_EQ(pixman_image_get_format(got.get()), PIXMAN_x8r8g8b8);
    const uint32_t first = pixel32(got.get(), 0, 0);

    TestImage cached(SPICE_IMAGE_TYPE_QUIC, 2, 1, quic_stream(QUIC_IMAGE_TYPE_RGB16, 2, 1));
    cached.image.descriptor.flags = SPICE_IMAGE_FLAGS_CACHE_ME;
    got.reset(canvas_get_image(canvas.base(), cached.get(), 0));
    ASSERT_TRUE(got);
    EXPECT_EQ(canvas.cache.calls, std::vector<std::string>({"put"}));
    ASSERT_EQ(canvas.cache.images.count(7), 1u);
    EXPECT_EQ(pixman_image_get_format(canvas.cache.images[7]), PIXMAN_x1r5g5b5);
    EXPECT_EQ(pixel16(canvas.cache.images[7], 0, 0), (1 << 10) | (2 << 5));
    // The caller still gets the canvas format, the same pixels.
    EXPECT_EQ(pixman_image_get_format(got.get()), PIXMAN_x8r8g8b8);
    EXPECT_EQ(pixel32(got.get(), 0, 0) & 0xffffff, first & 0xffffff);
}

TEST(CanvasImageQuic, FailsCorruptOrMismatchedStreams) {
    TestCanvas canvas;
    std::vector<uint8_t> stream = quic_stream(QUIC_IMAGE_TYPE_RGB32, 4, 4);
    TestImage wrong_size(SPICE_IMAGE_TYPE_QUIC, 4, 5, stream);
    EXPECT_EQ(canvas_get_image(canvas.base(), wrong_size.get(), 0), nullptr);

    TestImage truncated(SPICE_IMAGE_TYPE_QUIC, 4, 4,
                        std::vector<uint8_t>(stream.begin(), stream.begin() + 24));
    EXPECT_EQ(canvas_get_image(canvas.base(), truncated.get(), 0), nullptr);

    // The decoder is usable again after a failure.
    TestImage good(SPICE_IMAGE_TYPE_QUIC, 4, 4, stream);
    Image got(canvas_get_image(canvas.base(), good.get(), 0));
    EXPECT_TRUE(got);
}

// ---- LZ ----

std::vector<uint8_t> lz_rgb32(uint32_t width, uint32_t height, const std::vector<uint32_t>& pixels,
                              uint32_t top_down = 1) {
    std::vector<uint8_t> units;
    for (uint32_t p : pixels) {
        units.push_back(uint8_t(p));
        units.push_back(uint8_t(p >> 8));
        units.push_back(uint8_t(p >> 16));
    }
    return cat(lz_header(LZ_IMAGE_TYPE_RGB32, width, height, width * 4, top_down), lz_encode_units(units, 3));
}

TEST(CanvasImageLz, DecodesRgbTopDownAndBottomUp) {
    TestCanvas canvas;
    const std::vector<uint32_t> rows = {0x010203, 0x040506, 0x070809, 0x0a0b0c};
    TestImage top(SPICE_IMAGE_TYPE_LZ_RGB, 2, 2, lz_rgb32(2, 2, rows, 1));
    Image got(canvas_get_image(canvas.base(), top.get(), 0));
    ASSERT_TRUE(got);
    EXPECT_EQ(pixels32(got.get()), rows);

    TestImage bottom(SPICE_IMAGE_TYPE_LZ_RGB, 2, 2, lz_rgb32(2, 2, rows, 0));
    got.reset(canvas_get_image(canvas.base(), bottom.get(), 0));
    ASSERT_TRUE(got);
    EXPECT_EQ(pixels32(got.get()), std::vector<uint32_t>({0x070809, 0x0a0b0c, 0x010203, 0x040506}));
}

TEST(CanvasImageLz, A8RowsNarrowerThanTheStrideAreSpreadToIt) {
    TestCanvas canvas;
    std::vector<uint8_t> units = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    TestImage image(SPICE_IMAGE_TYPE_LZ_RGB, 3, 3,
                    cat(lz_header(LZ_IMAGE_TYPE_A8, 3, 3, 3, 1), lz_encode_units(units, 1)));
    Image got(canvas_get_image(canvas.base(), image.get(), 1));
    ASSERT_TRUE(got);
    EXPECT_EQ(pixman_image_get_format(got.get()), PIXMAN_a8);
    EXPECT_EQ(pixman_image_get_stride(got.get()), 4);
    for (int y = 0; y < 3; y++) {
        for (int x = 0; x < 3; x++) {
            EXPECT_EQ(pixel8(got.get(), x, y), units[size_t(y) * 3 + x]) << x << "," << y;
        }
    }
}

TEST(CanvasImageLz, PaletteIsWidenedOn555CanvasesAndRefusedOn565) {
    // 5-5-5 entries: pure red and pure blue.
    TestPalette palette(9, {0x7c00, 0x001f});
    auto plt_image = [&](uint8_t flags) {
        auto image = std::make_unique<TestImage>(
            SPICE_IMAGE_TYPE_LZ_PLT, 2, 1,
            cat(lz_header(LZ_IMAGE_TYPE_PLT8, 2, 1, 2, 1), lz_encode_units({0, 1}, 1)));
        image->image.u.lz_plt.flags = flags;
        image->image.u.lz_plt.palette = &palette.palette;
        return image;
    };

    TestCanvas c555(SPICE_SURFACE_FMT_16_555);
    auto image = plt_image(0);
    Image got(canvas_get_image(c555.base(), image->get(), 1));
    ASSERT_TRUE(got);
    EXPECT_EQ(pixels32(got.get()), std::vector<uint32_t>({0xff0000, 0x0000ff}));

    // On a 32-bit canvas the entries are taken as they are.
    TestCanvas c32;
    got.reset(canvas_get_image(c32.base(), image->get(), 1));
    ASSERT_TRUE(got);
    EXPECT_EQ(pixels32(got.get()), std::vector<uint32_t>({0x007c00, 0x00001f}));

    TestCanvas c565(SPICE_SURFACE_FMT_16_565);
    EXPECT_EQ(canvas_get_image(c565.base(), image->get(), 1), nullptr);

    // Without any palette the image fails too.
    image->image.u.lz_plt.palette = nullptr;
    EXPECT_EQ(canvas_get_image(c32.base(), image->get(), 1), nullptr);
}

TEST(CanvasImageLz, FailsMismatchesAndDamagedStreams) {
    TestCanvas canvas;
    const std::vector<uint32_t> pixels = {1, 2, 3, 4};
    struct Case {
        const char* name;
        uint8_t type;
        uint32_t width;
        uint32_t height;
        std::vector<uint8_t> stream;
    };
    std::vector<uint8_t> good = lz_rgb32(2, 2, pixels);
    const Case cases[] = {
        {"descriptor width differs", SPICE_IMAGE_TYPE_LZ_RGB, 3, 2, good},
        {"descriptor height differs", SPICE_IMAGE_TYPE_LZ_RGB, 2, 1, good},
        {"body cut short", SPICE_IMAGE_TYPE_LZ_RGB, 2, 2, std::vector<uint8_t>(good.begin(), good.end() - 2)},
        {"bad magic", SPICE_IMAGE_TYPE_LZ_RGB, 2, 2,
         cat({0, 0, 0, 0}, std::vector<uint8_t>(good.begin() + 4, good.end()))},
        {"alpha-only stream", SPICE_IMAGE_TYPE_LZ_RGB, 2, 2,
         cat(lz_header(LZ_IMAGE_TYPE_XXXA, 2, 2, 8, 1), lz_encode_units({1, 2, 3, 4}, 1))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestImage image(c.type, c.width, c.height, c.stream);
        EXPECT_EQ(canvas_get_image(canvas.base(), image.get(), 0), nullptr);
    }
    // Two chunks are not an LZ image.
    TestImage split(SPICE_IMAGE_TYPE_LZ_RGB, 2, 2, good, 10);
    EXPECT_EQ(canvas_get_image(canvas.base(), split.get(), 0), nullptr);

    TestImage image(SPICE_IMAGE_TYPE_LZ_RGB, 2, 2, good);
    Image got(canvas_get_image(canvas.base(), image.get(), 0));
    ASSERT_TRUE(got);
    EXPECT_EQ(pixels32(got.get()), pixels);
}

// ---- GLZ and zlib-wrapped GLZ ----

std::vector<uint8_t> glz_rgb32(uint64_t id, const std::vector<uint32_t>& pixels) {
    std::vector<uint8_t> units;
    for (uint32_t p : pixels) {
        units.push_back(uint8_t(p));
        units.push_back(uint8_t(p >> 8));
        units.push_back(uint8_t(p >> 16));
    }
    return cat(
        glz_header(LZ_IMAGE_TYPE_RGB32, true, uint32_t(pixels.size()), 1, uint32_t(pixels.size()) * 4, id, 0),
        glz_encode_units(units, 3, 0));
}

std::vector<uint8_t> deflate(const std::vector<uint8_t>& data) {
    uLongf size = compressBound(uLong(data.size()));
    std::vector<uint8_t> out(size);
    EXPECT_EQ(compress(out.data(), &size, data.data(), uLong(data.size())), Z_OK);
    out.resize(size);
    return out;
}

TEST(CanvasImageGlz, DecodesPlainAndZlibWrappedImages) {
    TestCanvas canvas;
    TestImage glz(SPICE_IMAGE_TYPE_GLZ_RGB, 3, 1, glz_rgb32(0, {0x102030, 0x405060, 0x708090}));
    Image got(canvas_get_image(canvas.base(), glz.get(), 0));
    ASSERT_TRUE(got);
    EXPECT_EQ(pixels32(got.get()), std::vector<uint32_t>({0x102030, 0x405060, 0x708090}));

    std::vector<uint8_t> stream = glz_rgb32(1, {0xabcdef, 0x123456});
    TestImage wrapped(SPICE_IMAGE_TYPE_ZLIB_GLZ_RGB, 2, 1, deflate(stream));
    wrapped.image.u.zlib_glz.glz_data_size = uint32_t(stream.size());
    got.reset(canvas_get_image(canvas.base(), wrapped.get(), 0));
    ASSERT_TRUE(got);
    EXPECT_EQ(pixels32(got.get()), std::vector<uint32_t>({0xabcdef, 0x123456}));
}

TEST(CanvasImageGlz, VisitDecodesSoThatTheWindowAdvances) {
    TestCanvas canvas;
    TestImage glz(SPICE_IMAGE_TYPE_GLZ_RGB, 1, 1, glz_rgb32(0, {0x010101}));
    canvas_visit_image(canvas.base(), glz.get());
    EXPECT_EQ(canvas.glz_handler.calls, 1);
}

TEST(CanvasImageGlz, FailuresYieldNoImage) {
    TestCanvas canvas;
    std::vector<uint8_t> stream = glz_rgb32(0, {1, 2});
    // A decoder exception (a bad magic is only warned about; a cut body throws).
    TestImage cut(SPICE_IMAGE_TYPE_GLZ_RGB, 2, 1, std::vector<uint8_t>(stream.begin(), stream.end() - 3));
    EXPECT_EQ(canvas_get_image(canvas.base(), cut.get(), 0), nullptr);

    std::vector<uint8_t> packed = deflate(stream);
    struct Case {
        const char* name;
        uint32_t glz_size;
    };
    const Case cases[] = {
        {"inflated size past what zlib can give", uint32_t(packed.size() * 1100)},
        {"inflated size of 4 GiB", 0xffffffffu},
        {"inflated size larger than the stream inflates to", uint32_t(stream.size() + 1)},
        {"zero inflated size", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestImage wrapped(SPICE_IMAGE_TYPE_ZLIB_GLZ_RGB, 2, 1, packed);
        wrapped.image.u.zlib_glz.glz_data_size = c.glz_size;
        EXPECT_EQ(canvas_get_image(canvas.base(), wrapped.get(), 0), nullptr);
    }

    // Without a GLZ decoder the image cannot be had.
    canvas.base()->glz_data.decoder = nullptr;
    TestImage glz(SPICE_IMAGE_TYPE_GLZ_RGB, 2, 1, glz_rgb32(1, {1, 2}));
    EXPECT_EQ(canvas_get_image(canvas.base(), glz.get(), 0), nullptr);
}

// A zlib-wrapped GLZ image that fails to inflate still ends in the session's GLZ window, so the next image,
// which copies a pixel from it, does not wait for it: it fails, unless all of the failed image's pixels had
// inflated. When not even the header inflated, the id is unknown and the wait ends at the window's give-up
// time.
TEST(CanvasImageGlz, AnImageThatFailsToInflateIsNotWaitedForByTheNext) {
    const std::vector<uint8_t> stream = glz_rgb32(0, {0x010203, 0x040506});
    const std::vector<uint8_t> packed = deflate(stream);
    std::vector<uint8_t> bad_check = packed;
    bad_check.at(packed.size() - 1) ^= 1;
    std::vector<uint8_t> bad_start = packed;
    bad_start[0] ^= 0x10;
    struct Case {
        const char* what;
        std::vector<uint8_t> data;
        uint32_t glz_size;
        bool id_known;  // else only the give-up time ends the wait
        bool next_decodes;
    };
    const Case cases[] = {
        {"stream cut inside the image", std::vector<uint8_t>(packed.begin(), packed.end() - 8),
         uint32_t(stream.size()), true, false},
        {"stream longer than announced", packed, uint32_t(stream.size() - 1), true, false},
        {"stream check value wrong after all pixels", bad_check, uint32_t(stream.size()), true, true},
        {"stream header broken: id unknown", bad_start, uint32_t(stream.size()), false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TestCanvas canvas;
        if (!c.id_known) {
            canvas.glz_window.set_give_up_time(100);
        }
        TestImage wrapped(SPICE_IMAGE_TYPE_ZLIB_GLZ_RGB, 2, 1, c.data);
        wrapped.image.u.zlib_glz.glz_data_size = c.glz_size;
        EXPECT_EQ(canvas_get_image(canvas.base(), wrapped.get(), 0), nullptr);

        // Image 1 copies image 0's first pixel.
        TestImage next(SPICE_IMAGE_TYPE_GLZ_RGB, 1, 1,
                       cat(glz_header(LZ_IMAGE_TYPE_RGB32, true, 1, 1, 4, 1, 1), {0x20, 0x00, 0x01}));
        auto fetched = std::async(std::launch::async, [&] {
            Image got(canvas_get_image(canvas.base(), next.get(), 0));
            return got.get() != nullptr;
        });
        if (fetched.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            ADD_FAILURE() << "the next image waits for the failed one";
            canvas.glz_window.set_abort();
        }
        EXPECT_EQ(fetched.get(), c.next_decodes);
    }
}

// Failed checks on server data name the check as the log has always written it.
TEST(CanvasImageFetch, FailedChecksLogTheirConditionText) {
    struct Case {
        uint8_t type;
        size_t split;
        bool drop_decoders;
        const char* condition;
    };
    const Case cases[] = {
        {SPICE_IMAGE_TYPE_GLZ_RGB, 0, true, "canvas->glz_data.decoder != NULL"},
        {SPICE_IMAGE_TYPE_ZLIB_GLZ_RGB, 0, true, "canvas->zlib != NULL"},
        {SPICE_IMAGE_TYPE_LZ_RGB, 2, false, "image->u.lz_rgb.data->num_chunks == 1"},
        {SPICE_IMAGE_TYPE_LZ_PLT, 2, false, "image->u.lz_plt.data->num_chunks == 1"},
        {SPICE_IMAGE_TYPE_GLZ_RGB, 2, false, "image->u.lz_rgb.data->num_chunks == 1"},
        {SPICE_IMAGE_TYPE_ZLIB_GLZ_RGB, 2, false, "image->u.zlib_glz.data->num_chunks == 1"},
        {SPICE_IMAGE_TYPE_JPEG, 2, false, "image->u.jpeg.data->num_chunks == 1"},
        {SPICE_IMAGE_TYPE_JPEG_ALPHA, 2, false, "image->u.jpeg_alpha.data->num_chunks == 1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.condition);
        TestCanvas canvas;
        if (c.drop_decoders) {
            canvas.base()->glz_data.decoder = nullptr;
            canvas.base()->zlib = nullptr;
        }
        TestImage image(c.type, 2, 1, std::vector<uint8_t>(8, 0), c.split);
        testing::internal::CaptureStderr();
        EXPECT_EQ(canvas_get_image(canvas.base(), image.get(), 0), nullptr);
        const std::string log = testing::internal::GetCapturedStderr();
        EXPECT_NE(log.find(std::string("condition `") + c.condition + "' failed"), std::string::npos) << log;
    }
}

// ---- JPEG ----

std::vector<uint8_t> flat_jpeg(int width, int height, uint8_t r, uint8_t g, uint8_t b) {
    std::vector<uint8_t> rgb;
    for (int i = 0; i < width * height; i++) {
        rgb.insert(rgb.end(), {r, g, b});
    }
    return jpeg_encode(rgb.data(), width, height);
}

void expect_near_rgb(uint32_t pixel, uint32_t want) {
    for (int shift = 0; shift < 24; shift += 8) {
        EXPECT_NEAR(int((pixel >> shift) & 0xff), int((want >> shift) & 0xff), 3) << std::hex << pixel;
    }
}

TEST(CanvasImageJpeg, DecodesAndCachesAsLossy) {
    TestCanvas canvas;
    TestImage jpeg(SPICE_IMAGE_TYPE_JPEG, 8, 8, flat_jpeg(8, 8, 200, 100, 50));
    jpeg.image.descriptor.flags = SPICE_IMAGE_FLAGS_CACHE_ME;
    Image got(canvas_get_image(canvas.base(), jpeg.get(), 0));
    ASSERT_TRUE(got);
    expect_near_rgb(pixel32(got.get(), 7, 7), 0xc86432);
    EXPECT_EQ(canvas.cache.calls, std::vector<std::string>({"put_lossy"}));

    // A lossy image cannot replace a cache entry: nothing comes back and the cache keeps what it had.
    pixman_image_t* before = canvas.cache.images[7];
    jpeg.image.descriptor.flags = SPICE_IMAGE_FLAGS_CACHE_REPLACE_ME;
    EXPECT_EQ(canvas_get_image(canvas.base(), jpeg.get(), 0), nullptr);
    EXPECT_EQ(canvas.cache.calls, std::vector<std::string>({"put_lossy"}));
    EXPECT_EQ(canvas.cache.images[7], before);

    TestImage wrong(SPICE_IMAGE_TYPE_JPEG, 8, 9, flat_jpeg(8, 8, 0, 0, 0));
    EXPECT_EQ(canvas_get_image(canvas.base(), wrong.get(), 0), nullptr);
}

std::vector<uint8_t> jpeg_alpha_data(int width, int height, uint32_t top_down,
                                     const std::vector<uint8_t>& alpha, uint32_t* jpeg_size) {
    std::vector<uint8_t> jpeg = flat_jpeg(width, height, 10, 20, 30);
    *jpeg_size = uint32_t(jpeg.size());
    return cat(jpeg, cat(lz_header(LZ_IMAGE_TYPE_XXXA, uint32_t(width), uint32_t(height), uint32_t(width) * 4,
                                   top_down),
                         lz_encode_units(alpha, 1)));
}

TEST(CanvasImageJpeg, AlphaPlaneGoesIntoTheFourthByte) {
    TestCanvas canvas;
    for (uint32_t top_down : {0u, 1u}) {
        SCOPED_TRACE(top_down);
        uint32_t jpeg_size;
        TestImage image(SPICE_IMAGE_TYPE_JPEG_ALPHA, 2, 2,
                        jpeg_alpha_data(2, 2, top_down, {0x10, 0x20, 0x30, 0x40}, &jpeg_size));
        image.image.u.jpeg_alpha.flags = uint8_t(top_down);
        image.image.u.jpeg_alpha.jpeg_size = jpeg_size;
        Image got(canvas_get_image(canvas.base(), image.get(), 1));
        ASSERT_TRUE(got);
        EXPECT_EQ(pixman_image_get_format(got.get()), PIXMAN_a8r8g8b8);
        // The alpha stream runs in the image's own row order.
        const uint32_t first_row_alpha = top_down ? 0x10 : 0x30;
        EXPECT_EQ(pixel32(got.get(), 0, 0) >> 24, first_row_alpha);
        EXPECT_EQ(pixel32(got.get(), 1, 0) >> 24, first_row_alpha + 0x10);
        expect_near_rgb(pixel32(got.get(), 1, 1), 0x0a141e);
    }
}

TEST(CanvasImageJpeg, AlphaImagesWhoseSizesDisagreeAreRefused) {
    TestCanvas canvas;
    uint32_t jpeg_size;
    std::vector<uint8_t> good = jpeg_alpha_data(2, 2, 1, {1, 2, 3, 4}, &jpeg_size);
    std::vector<uint8_t> wrong_alpha = jpeg_alpha_data(2, 2, 1, {1, 2, 3}, &jpeg_size);
    struct Case {
        const char* name;
        std::vector<uint8_t> data;
        uint32_t jpeg_size;
        uint8_t flags;
    };
    const Case cases[] = {
        {"JPEG part longer than the data", good, uint32_t(good.size() + 1), 1},
        {"row order differs from the alpha plane's", good, jpeg_size, 0},
        {"alpha plane of another pixel count", wrong_alpha, jpeg_size, 1},
        {"no alpha plane", std::vector<uint8_t>(good.begin(), good.begin() + jpeg_size), jpeg_size, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestImage image(SPICE_IMAGE_TYPE_JPEG_ALPHA, 2, 2, c.data);
        image.image.u.jpeg_alpha.flags = c.flags;
        image.image.u.jpeg_alpha.jpeg_size = c.jpeg_size;
        EXPECT_EQ(canvas_get_image(canvas.base(), image.get(), 1), nullptr);
    }
}

// ---- the fetch: caches, high bits, visiting, conversion ----

TEST(CanvasImageFetch, FromCacheAndCacheReplace) {
    TestCanvas canvas;
    std::unique_ptr<TestImage> bits(bitmap(SPICE_BITMAP_FMT_32BIT, 1, 1, 4, {1, 2, 3, 0}));
    bits->image.descriptor.flags = SPICE_IMAGE_FLAGS_CACHE_ME;
    Image a(canvas_get_image(canvas.base(), bits->get(), 1));
    ASSERT_TRUE(a);

    TestImage from_cache(SPICE_IMAGE_TYPE_FROM_CACHE, 1, 1, {});
    from_cache.image.descriptor.flags = SPICE_IMAGE_FLAGS_HIGH_BITS_SET;
    Image b(canvas_get_image(canvas.base(), from_cache.get(), 1));
    ASSERT_TRUE(b);
    EXPECT_EQ(b.get(), a.get());
    // High bits leave a cached image alone.
    EXPECT_EQ(pixel32(b.get(), 0, 0), 0x030201u);

    from_cache.image.descriptor.type = SPICE_IMAGE_TYPE_FROM_CACHE_LOSSLESS;
    Image c(canvas_get_image(canvas.base(), from_cache.get(), 1));
    EXPECT_EQ(c.get(), a.get());

    std::unique_ptr<TestImage> replacement(bitmap(SPICE_BITMAP_FMT_32BIT, 1, 1, 4, {4, 5, 6, 0}));
    replacement->image.descriptor.flags = SPICE_IMAGE_FLAGS_CACHE_REPLACE_ME;
    Image d(canvas_get_image(canvas.base(), replacement->get(), 1));
    EXPECT_EQ(canvas.cache.calls, std::vector<std::string>({"put", "get", "get_lossless", "replace_lossy"}));
    EXPECT_EQ(pixel32(canvas.cache.images[7], 0, 0), 0x060504u);

    from_cache.image.descriptor.id = 8;
    EXPECT_EQ(canvas_get_image(canvas.base(), from_cache.get(), 1), nullptr);
    // A cache that gives up its wait fails the image, not the process.
    canvas.cache.give_up = true;
    from_cache.image.descriptor.id = 7;
    EXPECT_EQ(canvas_get_image(canvas.base(), from_cache.get(), 1), nullptr);
}

TEST(CanvasImageFetch, HighBitsSetTheTopByteOfDecodedImages) {
    TestCanvas canvas;
    std::unique_ptr<TestImage> bits(bitmap(SPICE_BITMAP_FMT_32BIT, 2, 1, 8, {1, 2, 3, 0, 4, 5, 6, 0}));
    bits->image.descriptor.flags = SPICE_IMAGE_FLAGS_HIGH_BITS_SET;
    Image got(canvas_get_image(canvas.base(), bits->get(), 1));
    ASSERT_TRUE(got);
    EXPECT_EQ(pixels32(got.get()), std::vector<uint32_t>({0xff030201, 0xff060504}));
}

TEST(CanvasImageFetch, VisitingAPlainImageDecodesNothing) {
    TestCanvas canvas;
    TestImage jpeg(SPICE_IMAGE_TYPE_JPEG, 8, 8, flat_jpeg(8, 8, 1, 2, 3));
    canvas_visit_image(canvas.base(), jpeg.get());
    EXPECT_EQ(canvas.jpeg.begins, 0);

    jpeg.image.descriptor.flags = SPICE_IMAGE_FLAGS_CACHE_ME;
    canvas_visit_image(canvas.base(), jpeg.get());
    EXPECT_EQ(canvas.jpeg.begins, 1);
    EXPECT_EQ(canvas.cache.calls, std::vector<std::string>({"put_lossy"}));
}

TEST(CanvasImageFetch, ConvertsToTheCanvasFormat) {
    // An RGBA bitmap kept as decoded on a 16-bit canvas, converted for the caller.
    TestCanvas canvas(SPICE_SURFACE_FMT_16_555);
    std::unique_ptr<TestImage> bits(bitmap(SPICE_BITMAP_FMT_32BIT, 1, 1, 4, {0xff, 0, 0, 0}));
    bits->image.descriptor.flags = SPICE_IMAGE_FLAGS_CACHE_ME;
    Image got(canvas_get_image(canvas.base(), bits->get(), 0));
    ASSERT_TRUE(got);
    EXPECT_EQ(pixman_image_get_format(canvas.cache.images[7]), PIXMAN_x8r8g8b8);
    EXPECT_EQ(pixman_image_get_format(got.get()), PIXMAN_x1r5g5b5);
    EXPECT_EQ(pixel16(got.get(), 0, 0), 0x001f);

    struct Case {
        uint32_t canvas_format;
        int has_alpha;
        pixman_format_code_t want;
    };
    const Case cases[] = {
        {SPICE_SURFACE_FMT_32_xRGB, 1, PIXMAN_a8r8g8b8}, {SPICE_SURFACE_FMT_32_xRGB, 0, PIXMAN_x8r8g8b8},
        {SPICE_SURFACE_FMT_32_ARGB, 0, PIXMAN_x8r8g8b8}, {SPICE_SURFACE_FMT_32_ARGB, 1, PIXMAN_a8r8g8b8},
        {SPICE_SURFACE_FMT_16_565, 1, PIXMAN_r5g6b5},
    };
    for (const Case& c : cases) {
        TestCanvas other(c.canvas_format);
        EXPECT_EQ(canvas_wanted_format(other.base(), c.has_alpha), c.want) << c.canvas_format;
    }
}

TEST(CanvasImageFetch, UnknownTypesAndUnknownSurfacesYieldNoImage) {
    TestCanvas canvas;
    for (uint8_t type : {uint8_t(SPICE_IMAGE_TYPE_SURFACE), uint8_t(2), uint8_t(110), uint8_t(255)}) {
        TestImage image(type, 1, 1, {0, 0, 0, 0});
        EXPECT_EQ(canvas_get_image(canvas.base(), image.get(), 0), nullptr) << int(type);
    }
}

// ---- masks ----

TEST(CanvasImageMask, BitmapMaskBitOrderRowOrderAndInversion) {
    TestCanvas canvas;
    struct Case {
        const char* name;
        uint8_t format;
        uint8_t flags;
        int invert;
        std::vector<int> want_row0;  // 9 pixels
    };
    // Rows as sent: 0xC0 0x80 (first), 0x01 0x00 (second); stride 2.
    const Case cases[] = {
        {"big-endian, top-down",
         SPICE_BITMAP_FMT_1BIT_BE,
         SPICE_BITMAP_FLAGS_TOP_DOWN,
         0,
         {1, 1, 0, 0, 0, 0, 0, 0, 1}},
        {"little-endian, top-down",
         SPICE_BITMAP_FMT_1BIT_LE,
         SPICE_BITMAP_FLAGS_TOP_DOWN,
         0,
         {0, 0, 0, 0, 0, 0, 1, 1, 0}},
        {"big-endian, bottom-up", SPICE_BITMAP_FMT_1BIT_BE, 0, 0, {0, 0, 0, 0, 0, 0, 0, 1, 0}},
        {"big-endian, inverted",
         SPICE_BITMAP_FMT_1BIT_BE,
         SPICE_BITMAP_FLAGS_TOP_DOWN,
         1,
         {0, 0, 1, 1, 1, 1, 1, 1, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<TestImage> image(bitmap(c.format, 9, 2, 2, {0xc0, 0x80, 0x01, 0x00}, c.flags));
        Image got(canvas_get_bitmap_mask(canvas.base(), &image->image.u.bitmap, c.invert));
        ASSERT_TRUE(got);
        std::vector<int> row0;
        for (int x = 0; x < 9; x++) {
            row0.push_back(bit(got.get(), x, 0));
        }
        EXPECT_EQ(row0, c.want_row0);
    }
    std::unique_ptr<TestImage> eight_bit(bitmap(SPICE_BITMAP_FMT_8BIT, 2, 1, 2, {0, 0}));
    EXPECT_EQ(canvas_get_bitmap_mask(canvas.base(), &eight_bit->image.u.bitmap, 0), nullptr);
    std::unique_ptr<TestImage> short_data(bitmap(SPICE_BITMAP_FMT_1BIT_BE, 9, 3, 2, {0, 0, 0, 0, 0}));
    EXPECT_EQ(canvas_get_bitmap_mask(canvas.base(), &short_data->image.u.bitmap, 0), nullptr);
}

TEST(CanvasImageMask, CachedMaskIsStoredUninvertedAndInvertedForTheDraw) {
    TestCanvas canvas;
    std::unique_ptr<TestImage> image(bitmap(SPICE_BITMAP_FMT_1BIT_LE, 2, 1, 1, {0x01}));
    image->image.descriptor.flags = SPICE_IMAGE_FLAGS_CACHE_ME;
    SpiceQMask mask{SPICE_MASK_FLAGS_INVERS, {0, 0}, &image->image};

    Image got(canvas_get_mask(canvas.base(), &mask, nullptr));
    ASSERT_TRUE(got);
    EXPECT_EQ(bit(got.get(), 0, 0), 0);
    EXPECT_EQ(bit(got.get(), 1, 0), 1);
    ASSERT_EQ(canvas.cache.images.count(7), 1u);
    EXPECT_EQ(bit(canvas.cache.images[7], 0, 0), 1);

    // With an invert-later flag the caller gets it as it is, told to invert.
    int needs_invert = 0;
    got.reset(canvas_get_mask(canvas.base(), &mask, &needs_invert));
    ASSERT_TRUE(got);
    EXPECT_EQ(needs_invert, 1);
    EXPECT_EQ(bit(got.get(), 0, 0), 1);

    // From the cache; a cached image that is not a1 is no mask.
    TestImage from_cache(SPICE_IMAGE_TYPE_FROM_CACHE, 2, 1, {});
    mask.bitmap = &from_cache.image;
    mask.flags = 0;
    got.reset(canvas_get_mask(canvas.base(), &mask, &needs_invert));
    ASSERT_TRUE(got);
    EXPECT_EQ(needs_invert, 0);
    canvas.cache.store(7, Image(surface_create(nullptr, PIXMAN_a8, 2, 1, 1)).get());
    EXPECT_EQ(canvas_get_mask(canvas.base(), &mask, nullptr), nullptr);

    mask.bitmap = nullptr;
    EXPECT_EQ(canvas_get_mask(canvas.base(), &mask, nullptr), nullptr);
}

TEST(CanvasImageMask, A1InversComplementsAndRefusesOtherDepths) {
    Image a1(surface_create(nullptr, PIXMAN_a1, 10, 2, 1));
    reinterpret_cast<uint8_t*>(pixman_image_get_data(a1.get()))[0] = 0x0f;
    Image inverted(canvas_A1_invers(a1.get()));
    ASSERT_TRUE(inverted);
    EXPECT_EQ(pixel8(inverted.get(), 0, 0), 0xf0);
    EXPECT_EQ(bit(inverted.get(), 9, 1), 1);

    Image a8(surface_create(nullptr, PIXMAN_a8, 2, 2, 1));
    EXPECT_EQ(canvas_A1_invers(a8.get()), nullptr);
}

// ---- glyph strings ----

struct TestString {
    std::vector<SpiceRasterGlyph> glyphs;
    std::vector<SpiceRasterGlyph*> pointers;
    std::vector<std::vector<uint8_t>> rasters;
    SpiceString str{};

    TestString(uint16_t flags, std::vector<SpiceRasterGlyph> g, std::vector<std::vector<uint8_t>> r)
        : glyphs(std::move(g)), rasters(std::move(r)) {
        for (size_t i = 0; i < glyphs.size(); i++) {
            glyphs[i].data = rasters[i].data();
            pointers.push_back(&glyphs[i]);
        }
        str.length = uint16_t(glyphs.size());
        str.flags = flags;
        str.glyphs = pointers.data();
    }
};

TEST(CanvasImageStrMask, EightBitGlyphRowsRunBottomUpAndMergeByMaximum) {
    TestCanvas canvas;
    // Two overlapping glyphs: the second starts one pixel right of the first.
    TestString s(SPICE_STRING_FLAGS_RASTER_A8,
                 {{{10, 20}, {0, -2}, 2, 2, nullptr}, {{11, 20}, {0, -2}, 2, 2, nullptr}},
                 {{0x11, 0x22, 0x33, 0x44}, {0x50, 0x01, 0x02, 0x03}});
    SpicePoint pos;
    Image got(canvas_get_str_mask(canvas.base(), &s.str, 8, &pos));
    ASSERT_TRUE(got);
    EXPECT_EQ(pos.x, 10);
    EXPECT_EQ(pos.y, 18);
    EXPECT_EQ(pixman_image_get_width(got.get()), 3);
    // Top line: the second stored rows (0x33 0x44 and 0x02 0x03).
    EXPECT_EQ(pixel8(got.get(), 0, 0), 0x33);
    EXPECT_EQ(pixel8(got.get(), 1, 0), 0x44);
    EXPECT_EQ(pixel8(got.get(), 2, 0), 0x03);
    EXPECT_EQ(pixel8(got.get(), 0, 1), 0x11);
    EXPECT_EQ(pixel8(got.get(), 1, 1), 0x50);
    EXPECT_EQ(pixel8(got.get(), 2, 1), 0x01);
}

TEST(CanvasImageStrMask, OneAndFourBitGlyphs) {
    TestCanvas canvas;
    // A 1-bit glyph 9 wide starting 3 pixels in: its bits straddle bytes, its padding bits stay out.
    TestString one(SPICE_STRING_FLAGS_RASTER_A1,
                   {{{0, 0}, {0, 0}, 1, 1, nullptr}, {{3, 0}, {0, 0}, 9, 1, nullptr}},
                   {{0x80}, {0xc0, 0xff}});
    SpicePoint pos;
    Image got(canvas_get_str_mask(canvas.base(), &one.str, 1, &pos));
    ASSERT_TRUE(got);
    EXPECT_EQ(pixman_image_get_width(got.get()), 12);
    std::vector<int> bits;
    for (int x = 0; x < 12; x++) {
        bits.push_back(bit(got.get(), x, 0));
    }
    EXPECT_EQ(bits, std::vector<int>({1, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0, 1}));
    EXPECT_EQ(pixel8(got.get(), 1, 0), 0x08) << "padding bits leaked";
    EXPECT_EQ(pixel8(got.get(), 2, 0), 0x00) << "padding bits leaked";

    TestString four(SPICE_STRING_FLAGS_RASTER_A4, {{{0, 0}, {0, 0}, 3, 1, nullptr}}, {{0x1f, 0x80}});
    got.reset(canvas_get_str_mask(canvas.base(), &four.str, 4, &pos));
    ASSERT_TRUE(got);
    EXPECT_EQ(pixel8(got.get(), 0, 0), 0x10);
    EXPECT_EQ(pixel8(got.get(), 1, 0), 0xf0);
    EXPECT_EQ(pixel8(got.get(), 2, 0), 0x80);

    // A depth other than the string's own would read its rows wrongly.
    EXPECT_EQ(canvas_get_str_mask(canvas.base(), &four.str, 8, &pos), nullptr);
    TestString empty(SPICE_STRING_FLAGS_RASTER_A8, {}, {});
    EXPECT_EQ(canvas_get_str_mask(canvas.base(), &empty.str, 8, &pos), nullptr);
    TestString far(SPICE_STRING_FLAGS_RASTER_A8,
                   {{{INT32_MIN, 0}, {0, 0}, 1, 1, nullptr}, {{INT32_MAX, 0}, {0, 0}, 1, 1, nullptr}},
                   {{1}, {1}});
    EXPECT_EQ(canvas_get_str_mask(canvas.base(), &far.str, 8, &pos), nullptr);
}

// ---- copies of the canvas and scaling ----

TEST(CanvasImageSelf, ReadsTheAreaThroughReadBits) {
    TestCanvas canvas(SPICE_SURFACE_FMT_32_ARGB);
    static SpiceRect seen;
    canvas.ops.read_bits = [](SpiceCanvas*, uint8_t* dest, int stride, const SpiceRect* area) {
        seen = *area;
        // The area's last pixel.
        reinterpret_cast<uint32_t*>(dest + (area->bottom - area->top - 1) *
                                               stride)[area->right - area->left - 1] = 0x12345678;
    };
    Image got(canvas_get_image_from_self(canvas.canvas, 3, 4, 2, 2, 1));
    ASSERT_TRUE(got);
    // Force opaque only checks that the alpha-less format is drawable; the copy keeps the canvas's format.
    EXPECT_EQ(pixman_image_get_format(got.get()), PIXMAN_a8r8g8b8);
    EXPECT_EQ(pixel32(got.get(), 1, 1), 0x12345678u);
    EXPECT_EQ(seen.left, 3);
    EXPECT_EQ(seen.top, 4);
    EXPECT_EQ(seen.right, 5);
    EXPECT_EQ(seen.bottom, 6);

    got.reset(canvas_get_image_from_self(canvas.canvas, 0, 0, 1, 1, 0));
    EXPECT_EQ(pixman_image_get_format(got.get()), PIXMAN_a8r8g8b8);
    EXPECT_EQ(canvas_get_image_from_self(canvas.canvas, 0, 0, 0, 1, 0), nullptr);
    EXPECT_EQ(canvas_get_image_from_self(canvas.canvas, INT32_MAX, 0, 2, 1, 0), nullptr);
}

TEST(CanvasImageScale, NearestDoublesEachPixelAndBadModesAreRefused) {
    Image src(surface_create(nullptr, PIXMAN_x8r8g8b8, 2, 2, 1));
    uint32_t* data = pixman_image_get_data(src.get());
    data[0] = 1;
    data[1] = 2;
    data[2] = 3;
    data[3] = 4;
    const SpiceRect area = {0, 0, 2, 2};
    Image got(canvas_scale_surface(src.get(), &area, 4, 4, SPICE_IMAGE_SCALE_MODE_NEAREST));
    ASSERT_TRUE(got);
    EXPECT_EQ(pixels32(got.get()), std::vector<uint32_t>({1, 1, 2, 2, 1, 1, 2, 2, 3, 3, 4, 4, 3, 3, 4, 4}));
    // The source's transform is back to identity: a plain copy of it gives its own pixels.
    Image copy(surface_create(nullptr, PIXMAN_x8r8g8b8, 2, 2, 1));
    pixman_image_composite32(PIXMAN_OP_SRC, src.get(), nullptr, copy.get(), 0, 0, 0, 0, 0, 0, 2, 2);
    EXPECT_EQ(pixels32(copy.get()), std::vector<uint32_t>({1, 2, 3, 4}));

    EXPECT_EQ(canvas_scale_surface(src.get(), &area, 4, 4, 2), nullptr);
    const SpiceRect empty = {1, 1, 1, 2};
    EXPECT_EQ(canvas_scale_surface(src.get(), &empty, 4, 4, SPICE_IMAGE_SCALE_MODE_NEAREST), nullptr);
    // Factors past pixman's 16.16 range, and a source position past 32 bits.
    const SpiceRect vast = {INT32_MIN, 0, INT32_MAX, 2};
    EXPECT_EQ(canvas_scale_surface(src.get(), &vast, 4, 4, SPICE_IMAGE_SCALE_MODE_NEAREST), nullptr);
    const SpiceRect far = {INT32_MAX - 1, 0, INT32_MAX, 2};
    EXPECT_EQ(canvas_scale_surface(src.get(), &far, 4096, 4, SPICE_IMAGE_SCALE_MODE_NEAREST), nullptr);
}

}  // namespace
