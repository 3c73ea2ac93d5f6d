// The decoders on the strips QEMU's SPICE server sent for a full-screen repaint of photo-like, text-like,
// gradient, noise and flat content (support/strip_fixtures.h):
// - QUIC against the decoder as it was before its speed work (support/quic_reference): the same pixels in
//   every output format, whole or fed in chunks, and the same result and pixels when the stream is cut short
//   or has bits flipped;
// - the inflater of zlib-wrapped GLZ against zlib's streaming inflate on the same bytes;
// - JPEG against libjpeg-turbo alone on the same bytes, and the clearing of the fourth byte at every tail.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "codecs/jpeg_decoder.h"
#include "codecs/quic.h"
#include "codecs/zlib_decoder.h"
#include "runtime/exception.h"
#include "support/quic_reference.h"
#include "support/strip_fixtures.h"

namespace {

// Hands out the stream in chunks of chunk bytes (a multiple of 4) after the first.
struct ChunkedUsr {
    QuicUsrContext usr;
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t given = 0;
    size_t chunk = 0;
    std::string errors;
    std::vector<int> more_space_rows;
};

void on_error(QuicUsrContext* usr, const char* format, ...) {
    char text[256];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    reinterpret_cast<ChunkedUsr*>(usr)->errors += text;
}
void on_other(QuicUsrContext*, const char*, ...) {}
void* on_malloc(QuicUsrContext*, size_t size) {
    return malloc(size);
}
void on_free(QuicUsrContext*, void* p) {
    free(p);
}
int64_t on_more_space(QuicUsrContext* usr, const uint8_t** data, int rows_completed) {
    auto* u = reinterpret_cast<ChunkedUsr*>(usr);
    u->more_space_rows.push_back(rows_completed);
    if (u->given >= u->size) {
        return 0;
    }
    const size_t n = std::min(u->chunk, u->size - u->given);
    *data = u->data + u->given;
    u->given += n;
    return int64_t(n);
}

struct Outcome {
    int begin = -1;
    int decode = -1;
    std::vector<uint8_t> pixels;
    std::string errors;
    std::vector<int> more_space_rows;
};

// Decodes bytes (the whole stream when chunk is 0, else its first chunk bytes and then chunks of that size)
// with one of the two decoders into format.
template <class Context, class Api>
Outcome decode_with(const Api& api, const std::vector<uint8_t>& bytes, size_t chunk, int width, int height,
                    QuicImageType format, unsigned bytes_per_pixel) {
    ChunkedUsr u;
    u.usr = {on_error, on_other, on_other, on_malloc, on_free, on_more_space, nullptr};
    u.data = bytes.data();
    u.size = bytes.size();
    u.chunk = chunk;
    const size_t first = chunk ? std::min(bytes.size(), std::max<size_t>(chunk, 20)) : bytes.size();
    u.given = first;
    Outcome out;
    Context* quic = api.create(&u.usr);
    EXPECT_NE(quic, nullptr);
    const int stride = int(width * bytes_per_pixel + 8);
    out.pixels.assign(size_t(stride) * size_t(height), 0xA5);
    QuicImageType type;
    int w, h;
    out.begin = api.begin(quic, bytes.data(), first, width, height, &type, &w, &h);
    if (out.begin == 0) {
        out.decode = api.decode(quic, format, out.pixels.data(), stride);
    }
    api.destroy(quic);
    out.errors = u.errors;
    out.more_space_rows = u.more_space_rows;
    return out;
}

struct NewApi {
    QuicContext* (*create)(QuicUsrContext*) = quic_create;
    int (*begin)(QuicContext*, const uint8_t*, uint64_t, int, int, QuicImageType*, int*,
                 int*) = quic_decode_begin;
    int (*decode)(QuicContext*, QuicImageType, uint8_t*, int) = quic_decode;
    void (*destroy)(QuicContext*) = quic_destroy;
};

struct ReferenceApi {
    quic_reference::QuicContext* (*create)(QuicUsrContext*) = quic_reference::quic_create;
    int (*begin)(quic_reference::QuicContext*, const uint8_t*, uint64_t, int, int, QuicImageType*, int*,
                 int*) = quic_reference::quic_decode_begin;
    int (*decode)(quic_reference::QuicContext*, QuicImageType, uint8_t*, int) = quic_reference::quic_decode;
    void (*destroy)(quic_reference::QuicContext*) = quic_reference::quic_destroy;
};

void expect_same(const std::vector<uint8_t>& bytes, size_t chunk, int width, int height, QuicImageType format,
                 unsigned bytes_per_pixel, const std::string& what) {
    const Outcome now =
        decode_with<QuicContext>(NewApi{}, bytes, chunk, width, height, format, bytes_per_pixel);
    const Outcome was = decode_with<quic_reference::QuicContext>(ReferenceApi{}, bytes, chunk, width, height,
                                                                 format, bytes_per_pixel);
    EXPECT_EQ(now.begin, was.begin) << what;
    EXPECT_EQ(now.decode, was.decode) << what;
    EXPECT_EQ(now.errors, was.errors) << what;
    EXPECT_EQ(now.more_space_rows, was.more_space_rows) << what;
    EXPECT_TRUE(now.pixels == was.pixels) << what << ": the pixels differ";
}

class QuicStrips : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        quic_init();
        quic_reference::quic_init();
    }
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(recording_.load(std::string(KTW_TEST_SOURCE_DIR) + "/fixtures/strips", "quic", &error))
            << error;
        strips_ = recording_.of(SPICE_IMAGE_TYPE_QUIC);
    }

    std::vector<uint8_t> bytes_of(const StripImage& s) const { return {s.data, s.data + s.size}; }

    StripRecording recording_;
    std::vector<StripImage> strips_;
};

TEST_F(QuicStrips, EveryContentIsRecorded) {
    for (StripContent c : {StripContent::Photo, StripContent::Text, StripContent::Gradient,
                           StripContent::Noise, StripContent::Flat}) {
        EXPECT_FALSE(recording_.of(SPICE_IMAGE_TYPE_QUIC, &c).empty()) << strip_content_name(c);
    }
}

TEST_F(QuicStrips, SamePixelsAsBeforeInEveryFormatWholeOrInChunks) {
    struct Case {
        QuicImageType format;
        unsigned bytes_per_pixel;
        size_t chunk;
    };
    const Case cases[] = {{QUIC_IMAGE_TYPE_RGB32, 4, 0},
                          {QUIC_IMAGE_TYPE_RGB24, 3, 0},
                          {QUIC_IMAGE_TYPE_RGB32, 4, 4},
                          {QUIC_IMAGE_TYPE_RGB32, 4, 1000}};
    for (const StripImage& s : strips_) {
        const int w = int(s.image->descriptor.width), h = int(s.image->descriptor.height);
        for (const Case& c : cases) {
            expect_same(bytes_of(s), c.chunk, w, h, c.format, c.bytes_per_pixel,
                        std::string(strip_content_name(s.content)) + " format " + std::to_string(c.format) +
                            " chunk " + std::to_string(c.chunk));
        }
    }
}

TEST_F(QuicStrips, SameResultAsBeforeOnDamagedStreams) {
    std::mt19937 rng(7);
    for (const StripImage& s : strips_) {
        const int w = int(s.image->descriptor.width), h = int(s.image->descriptor.height);
        const std::string what = strip_content_name(s.content);
        std::vector<uint8_t> bytes = bytes_of(s);
        // Cut short: the decoders run out of words part way.
        std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + ptrdiff_t(bytes.size() / 2 / 4 * 4));
        expect_same(cut, 0, w, h, QUIC_IMAGE_TYPE_RGB32, 4, what + " cut");
        expect_same(cut, 64, w, h, QUIC_IMAGE_TYPE_RGB32, 4, what + " cut, in chunks");
        // Bits flipped past the header: escapes past the channel's values, runs past the row, wrong symbols.
        for (int n = 0; n < 4; n++) {
            std::vector<uint8_t> flipped = bytes;
            for (int k = 0; k < 8; k++) {
                flipped[20 + rng() % (flipped.size() - 20)] ^= uint8_t(1u << (rng() % 8));
            }
            expect_same(flipped, 0, w, h, QUIC_IMAGE_TYPE_RGB32, 4, what + " flipped " + std::to_string(n));
        }
    }
}

// ---- zlib-wrapped GLZ and JPEG ----

StripRecording load_strips(const char* name) {
    StripRecording recording;
    std::string error;
    EXPECT_TRUE(recording.load(std::string(KTW_TEST_SOURCE_DIR) + "/fixtures/strips", name, &error)) << error;
    return recording;
}

TEST(ZlibStrips, InflateLikeZlibsStreamingInflate) {
    const StripRecording recording = load_strips("zlib-glz");
    const std::vector<StripImage> wrapped = recording.of(SPICE_IMAGE_TYPE_ZLIB_GLZ_RGB);
    ASSERT_GE(wrapped.size(), 8u);
    ZlibDecoder decoder;
    for (const StripImage& s : wrapped) {
        const uint32_t size = s.image->u.zlib_glz.glz_data_size;
        std::vector<uint8_t> expected(size), inflated(size, 0xA5);
        uLongf expected_size = size;
        ASSERT_EQ(uncompress(expected.data(), &expected_size, s.data, s.size), Z_OK);
        ASSERT_EQ(expected_size, size);
        decoder.decode(s.data, s.size, inflated.data(), size);
        EXPECT_EQ(decoder.inflated(), size);
        EXPECT_TRUE(inflated == expected) << strip_content_name(s.content);
        // One byte cut off the end: refused as before, with what inflated before the end kept.
        std::vector<uint8_t> partial(size, 0xA5);
        EXPECT_THROW(decoder.decode(s.data, s.size - 1, partial.data(), size), Exception);
        EXPECT_GT(decoder.inflated(), 0u);
        EXPECT_TRUE(std::equal(partial.begin(), partial.begin() + decoder.inflated(), expected.begin()));
    }
}

TEST(JpegStrips, DecodeLikeLibjpegAloneWithTheFourthByteCleared) {
    const StripRecording recording = load_strips("jpeg");
    const std::vector<StripImage> jpegs = recording.of(SPICE_IMAGE_TYPE_JPEG);
    ASSERT_GE(jpegs.size(), 8u);
    JpegDecoder decoder;
    for (const StripImage& s : jpegs) {
        jpeg_decompress_struct cinfo;
        jpeg_error_mgr error;
        cinfo.err = jpeg_std_error(&error);
        jpeg_create_decompress(&cinfo);
        jpeg_mem_src(&cinfo, s.data, s.size);
        jpeg_read_header(&cinfo, TRUE);
        cinfo.out_color_space = JCS_EXT_BGRX;
        jpeg_start_decompress(&cinfo);
        const size_t row_bytes = size_t(cinfo.output_width) * 4;
        std::vector<uint8_t> expected(row_bytes * cinfo.output_height);
        while (cinfo.output_scanline < cinfo.output_height) {
            JSAMPROW row = &expected[cinfo.output_scanline * row_bytes];
            jpeg_read_scanlines(&cinfo, &row, 1);
        }
        jpeg_finish_decompress(&cinfo);
        jpeg_destroy_decompress(&cinfo);
        for (size_t i = 3; i < expected.size(); i += 4) {
            expected[i] = 0;
        }
        // Rows upwards through a negative stride with a gap after each, and rows end to end: every row lands
        // in its place and nothing between them is written.
        int width, height;
        ASSERT_TRUE(decoder.begin(s.data, s.size, &width, &height));
        for (const int gap : {12, 0}) {
            const int stride = width * 4 + gap;
            std::vector<uint8_t> surface(size_t(stride) * size_t(height), 0xA5);
            if (gap) {
                ASSERT_TRUE(decoder.decode(surface.data() + size_t(stride) * size_t(height - 1), -stride,
                                           JPEG_BITMAP_FMT_32BIT));
            } else {
                ASSERT_TRUE(decoder.begin(s.data, s.size, &width, &height));
                ASSERT_TRUE(decoder.decode(surface.data(), stride, JPEG_BITMAP_FMT_32BIT));
            }
            for (int y = 0; y < height; y++) {
                const uint8_t* row = surface.data() + size_t(stride) * size_t(gap ? height - 1 - y : y);
                ASSERT_TRUE(std::equal(row, row + row_bytes, expected.begin() + ptrdiff_t(y * row_bytes)))
                    << strip_content_name(s.content) << " row " << y << ", gap " << gap;
                ASSERT_TRUE(std::all_of(row + row_bytes, row + stride, [](uint8_t b) { return b == 0xA5; }));
            }
        }
    }
}

TEST(JpegStrips, FourthByteClearedAtEveryTail) {
    for (uint32_t count = 0; count <= 40; count++) {
        std::vector<uint8_t> row(4 * count + 4, 0xFF);
        clear_fourth_bytes(row.data(), count);
        for (uint32_t i = 0; i < row.size(); i++) {
            EXPECT_EQ(row[i], i % 4 == 3 && i < 4 * count ? 0 : 0xFF) << count << " pixels, byte " << i;
        }
    }
}

}  // namespace
