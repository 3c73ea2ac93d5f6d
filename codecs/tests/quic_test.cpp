// The QUIC decoder against the test encoder (a mirror of its model) and against the QUIC images QEMU's SPICE
// server sent in a recorded session.
#include <gtest/gtest.h>

#include <algorithm>
#include <csetjmp>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "codecs/quic.h"
#include "support/quic_encoder.h"
#include "transport/protocol/server_messages.h"
#include "transport/tests/support/recording.h"

namespace {

// The call-back record with what the decoder reported and asked for. error records and returns unless a jump
// buffer is set.
struct TestUsr {
    QuicUsrContext usr;
    std::vector<std::vector<uint8_t>> chunks;  // handed out by more_space, one per call
    size_t next_chunk = 0;
    std::vector<int> more_space_rows;  // rows_completed of each more_space call
    std::string errors, warnings;
    std::jmp_buf* jump = nullptr;
    long live_blocks = 0;
    size_t largest_block = 0;
    long allocations = 0;
    long fail_allocation = -1;  // index of the allocation to refuse

    TestUsr();
};

void append(QuicUsrContext* usr, std::string TestUsr::*to, const char* format, va_list args) {
    char text[512];
    vsnprintf(text, sizeof(text), format, args);
    reinterpret_cast<TestUsr*>(usr)->*to += text;
}

void on_error(QuicUsrContext* usr, const char* format, ...) {
    va_list args;
    va_start(args, format);
    append(usr, &TestUsr::errors, format, args);
    va_end(args);
    if (std::jmp_buf* jump = reinterpret_cast<TestUsr*>(usr)->jump) {
        std::longjmp(*jump, 1);
    }
}

void on_warn(QuicUsrContext* usr, const char* format, ...) {
    va_list args;
    va_start(args, format);
    append(usr, &TestUsr::warnings, format, args);
    va_end(args);
}

void on_info(QuicUsrContext*, const char*, ...) {}

void* on_malloc(QuicUsrContext* usr, size_t size) {
    auto t = reinterpret_cast<TestUsr*>(usr);
    if (t->allocations++ == t->fail_allocation) {
        return nullptr;
    }
    t->live_blocks++;
    t->largest_block = std::max(t->largest_block, size);
    return malloc(size);
}

void on_free(QuicUsrContext* usr, void* ptr) {
    reinterpret_cast<TestUsr*>(usr)->live_blocks--;
    free(ptr);
}

int64_t on_more_space(QuicUsrContext* usr, const uint8_t** data, int rows_completed) {
    auto t = reinterpret_cast<TestUsr*>(usr);
    t->more_space_rows.push_back(rows_completed);
    if (t->next_chunk >= t->chunks.size()) {
        return 0;
    }
    const std::vector<uint8_t>& chunk = t->chunks[t->next_chunk++];
    *data = chunk.data();
    return int64_t(chunk.size());
}

TestUsr::TestUsr() {
    // more_lines stays NULL: the decoder never calls it.
    usr = QuicUsrContext{on_error, on_warn, on_info, on_malloc, on_free, on_more_space, nullptr};
}

unsigned bytes_per_pixel(QuicImageType format) {
    static const unsigned bpp[] = {0, 1, 2, 3, 4, 4};
    return bpp[format];
}

// The image as the decoder must write it in format, rows packed.
std::vector<uint8_t> expected_pixels(const QuicTestImage& img, QuicImageType format) {
    auto widen = [](unsigned v) { return uint8_t(v << 3 | v >> 2); };
    std::vector<uint8_t> out;
    for (const auto& p : img.pixels) {
        const bool five = img.type == QUIC_IMAGE_TYPE_RGB16;
        switch (format) {
            case QUIC_IMAGE_TYPE_GRAY:
                out.push_back(p[0]);
                break;
            case QUIC_IMAGE_TYPE_RGB16:
                out.push_back(uint8_t(p[1] << 5 | p[2]));
                out.push_back(uint8_t(p[0] << 2 | p[1] >> 3));
                break;
            case QUIC_IMAGE_TYPE_RGB24:
                out.insert(out.end(), {p[2], p[1], p[0]});
                break;
            case QUIC_IMAGE_TYPE_RGB32:
                out.insert(out.end(), {five ? widen(p[2]) : p[2], five ? widen(p[1]) : p[1],
                                       five ? widen(p[0]) : p[0], 0});
                break;
            default:
                out.insert(out.end(), {p[2], p[1], p[0], p[3]});
                break;
        }
    }
    return out;
}

QuicTestImage flat_image(QuicImageType type, unsigned width, unsigned height) {
    QuicTestImage img(type, width, height);
    for (auto& p : img.pixels) {
        p = {9, 20, 3, 77};
    }
    return img;
}

class QuicDecoder : public ::testing::Test {
protected:
    static void SetUpTestSuite() { quic_init(); }
    void SetUp() override {
        quic_ = quic_create(&t_.usr);
        ASSERT_NE(quic_, nullptr);
    }
    void TearDown() override {
        quic_destroy(quic_);
        EXPECT_EQ(t_.live_blocks, 0);
    }

    // Begins and decodes stream (its first chunk; the rest come from t_.chunks) as a width x height image
    // into packed rows. The result is the first failing call's -1, else 0.
    int decode(const std::vector<uint8_t>& stream, QuicImageType format, unsigned width, unsigned height,
               std::vector<uint8_t>* pixels) {
        QuicImageType type;
        int w = 0, h = 0;
        if (quic_decode_begin(quic_, stream.data(), stream.size(), int(width), int(height), &type, &w, &h) !=
            0) {
            return -1;
        }
        EXPECT_EQ(w, int(width));
        EXPECT_EQ(h, int(height));
        const unsigned row = width * bytes_per_pixel(format);
        pixels->assign(size_t(row) * height, 0xEE);
        return quic_decode(quic_, format, pixels->data(), int(row));
    }

    // Splits stream into a first chunk of first bytes and later chunks of step bytes, as a multi-chunk image.
    std::vector<uint8_t> split(const std::vector<uint8_t>& stream, size_t first, size_t step) {
        t_.chunks.clear();
        t_.next_chunk = 0;
        for (size_t at = first; at < stream.size(); at += step) {
            t_.chunks.emplace_back(stream.begin() + at, stream.begin() + std::min(stream.size(), at + step));
        }
        return std::vector<uint8_t>(stream.begin(), stream.begin() + first);
    }

    TestUsr t_;
    QuicContext* quic_ = nullptr;
};

// ---- Round trips ----

TEST_F(QuicDecoder, RoundTripsEveryTypeIntoEveryAcceptedFormat) {
    struct Case {
        QuicImageType type, format;
    };
    const Case cases[] = {
        {QUIC_IMAGE_TYPE_GRAY, QUIC_IMAGE_TYPE_GRAY},   {QUIC_IMAGE_TYPE_RGB16, QUIC_IMAGE_TYPE_RGB16},
        {QUIC_IMAGE_TYPE_RGB16, QUIC_IMAGE_TYPE_RGB32}, {QUIC_IMAGE_TYPE_RGB24, QUIC_IMAGE_TYPE_RGB32},
        {QUIC_IMAGE_TYPE_RGB24, QUIC_IMAGE_TYPE_RGB24}, {QUIC_IMAGE_TYPE_RGB32, QUIC_IMAGE_TYPE_RGB32},
        {QUIC_IMAGE_TYPE_RGB32, QUIC_IMAGE_TYPE_RGB24}, {QUIC_IMAGE_TYPE_RGBA, QUIC_IMAGE_TYPE_RGBA},
    };
    // Rows wider than the 2048 pixels between two wait-mask steps split into segments, and 7 of them pass the
    // whole ramp of the wait mask (6 steps).
    for (const Case& c : cases) {
        const QuicTestImage img = mixed_image(c.type, 2100, 7, c.type);
        QuicEncodeStats stats;
        const std::vector<uint8_t> stream = quic_test_encode(img, {}, &stats);
        EXPECT_EQ(stats.max_wmidx, 6u);
        EXPECT_GT(stats.runs_to_segment_end, 0u);
        EXPECT_GT(stats.empty_runs, 0u);
        EXPECT_GT(stats.escapes, 0u);
        std::vector<uint8_t> pixels;
        ASSERT_EQ(decode(stream, c.format, img.width, img.height, &pixels), 0)
            << c.type << " into " << c.format;
        EXPECT_EQ(pixels, expected_pixels(img, c.format)) << c.type << " into " << c.format;
    }
    EXPECT_EQ(t_.errors, "");
    EXPECT_EQ(t_.warnings, "");
}

TEST_F(QuicDecoder, RoundTripsSmallAndOddShapes) {
    struct Case {
        QuicImageType type;
        unsigned width, height;
    };
    // Narrow images: a run may only start at pixel 3, and the wait mask steps inside a column of rows.
    const Case cases[] = {
        {QUIC_IMAGE_TYPE_RGB32, 1, 1},   {QUIC_IMAGE_TYPE_RGB32, 3, 5},   {QUIC_IMAGE_TYPE_RGB16, 4, 4},
        {QUIC_IMAGE_TYPE_GRAY, 1, 5000}, {QUIC_IMAGE_TYPE_RGBA, 5, 3000}, {QUIC_IMAGE_TYPE_RGB24, 2047, 3},
        {QUIC_IMAGE_TYPE_GRAY, 2048, 7}, {QUIC_IMAGE_TYPE_RGBA, 2049, 7},
    };
    for (const Case& c : cases) {
        for (const QuicTestImage& img :
             {mixed_image(c.type, c.width, c.height, 5), flat_image(c.type, c.width, c.height)}) {
            const QuicImageType format = c.type == QUIC_IMAGE_TYPE_RGB24 ? QUIC_IMAGE_TYPE_RGB32 : c.type;
            std::vector<uint8_t> pixels;
            ASSERT_EQ(decode(quic_test_encode(img), format, c.width, c.height, &pixels), 0)
                << c.type << " " << c.width << "x" << c.height;
            EXPECT_EQ(pixels, expected_pixels(img, format)) << c.type << " " << c.width << "x" << c.height;
        }
    }
}

TEST_F(QuicDecoder, LongRunsPastTheLastRunStateAddTheLargestOrder) {
    // Row 1 is one segment (the ramp ended in row 0) and one run of 99997 pixels: 31 one bits reach the last
    // run state after 33052 pixels, and each further one bit is 32768 more.
    const QuicTestImage img = flat_image(QUIC_IMAGE_TYPE_RGB32, 100000, 2);
    QuicEncodeStats stats;
    const std::vector<uint8_t> stream = quic_test_encode(img, {}, &stats);
    EXPECT_EQ(stats.longest_run, 99997u);
    std::vector<uint8_t> pixels;
    ASSERT_EQ(decode(stream, QUIC_IMAGE_TYPE_RGB32, img.width, img.height, &pixels), 0);
    EXPECT_EQ(pixels, expected_pixels(img, QUIC_IMAGE_TYPE_RGB32));
}

TEST_F(QuicDecoder, Rgb16WidensIntoRgb32) {
    QuicTestImage img(QUIC_IMAGE_TYPE_RGB16, 2, 1);
    img.at(0, 0) = {31, 16, 0, 0};
    img.at(1, 0) = {1, 30, 2, 0};
    std::vector<uint8_t> pixels;
    ASSERT_EQ(decode(quic_test_encode(img), QUIC_IMAGE_TYPE_RGB32, 2, 1, &pixels), 0);
    EXPECT_EQ(pixels, (std::vector<uint8_t>{0, 132, 255, 0, 16, 247, 8, 0}));
}

TEST_F(QuicDecoder, StrideSpacesRowsAndANegativeOneWritesThemUpwards) {
    const QuicTestImage img = mixed_image(QUIC_IMAGE_TYPE_RGB24, 50, 4, 1);
    const std::vector<uint8_t> stream = quic_test_encode(img);
    const std::vector<uint8_t> packed = expected_pixels(img, QUIC_IMAGE_TYPE_RGB24);
    const int row = 150, stride = 160;
    for (int sign : {1, -1}) {
        std::vector<uint8_t> buf(stride * 4, 0xEE);
        QuicImageType type;
        int w, h;
        ASSERT_EQ(quic_decode_begin(quic_, stream.data(), stream.size(), 50, 4, &type, &w, &h), 0);
        uint8_t* first = sign > 0 ? buf.data() : buf.data() + 3 * stride;
        ASSERT_EQ(quic_decode(quic_, QUIC_IMAGE_TYPE_RGB24, first, sign * stride), 0);
        for (int y = 0; y < 4; y++) {
            const uint8_t* at = first + sign * y * stride;
            EXPECT_TRUE(std::equal(at, at + row, packed.begin() + y * row))
                << "row " << y << " stride " << sign;
            EXPECT_EQ(std::vector<uint8_t>(at + row, at + stride), std::vector<uint8_t>(stride - row, 0xEE));
        }
    }
}

TEST_F(QuicDecoder, InputInChunksOfAnySizeDecodesTheSame) {
    const QuicTestImage img = mixed_image(QUIC_IMAGE_TYPE_RGBA, 300, 20, 3);
    const std::vector<uint8_t> stream = quic_test_encode(img);
    const std::vector<uint8_t> expected = expected_pixels(img, QUIC_IMAGE_TYPE_RGBA);
    for (size_t step : {4u, 8u, 60u, 4096u}) {
        std::vector<uint8_t> pixels;
        t_.more_space_rows.clear();
        ASSERT_EQ(decode(split(stream, 20, step), QUIC_IMAGE_TYPE_RGBA, 300, 20, &pixels), 0) << step;
        EXPECT_EQ(pixels, expected) << step;
        // Each chunk is asked for once, as the rows need it: the last word while the last row decodes.
        ASSERT_EQ(t_.more_space_rows.size(), t_.chunks.size());
        EXPECT_TRUE(std::is_sorted(t_.more_space_rows.begin(), t_.more_space_rows.end()));
        if (step == 4) {
            EXPECT_EQ(t_.more_space_rows.back(), 19);
        }
    }
    EXPECT_EQ(t_.errors, "");
}

TEST_F(QuicDecoder, CorrelateRowsGrowForAWiderImageOnly) {
    std::vector<uint8_t> pixels;
    auto round_trip = [&](unsigned width) {
        const QuicTestImage img = mixed_image(QUIC_IMAGE_TYPE_RGBA, width, 3, width);
        const long before = t_.allocations;
        EXPECT_EQ(decode(quic_test_encode(img), QUIC_IMAGE_TYPE_RGBA, width, 3, &pixels), 0);
        EXPECT_EQ(pixels, expected_pixels(img, QUIC_IMAGE_TYPE_RGBA)) << width;
        return t_.allocations - before;
    };
    EXPECT_EQ(round_trip(100), 4);  // one row per channel
    EXPECT_EQ(round_trip(40), 0);
    EXPECT_EQ(round_trip(100), 0);
    EXPECT_EQ(round_trip(101), 4);
}

// ---- Refusals ----

std::vector<uint8_t> header(uint32_t magic, uint32_t version, uint32_t type, uint32_t width,
                            uint32_t height) {
    std::vector<uint8_t> out;
    for (uint32_t word : {magic, version, type, width, height, 0u, 0u}) {
        for (int b = 0; b < 4; b++) {
            out.push_back(uint8_t(word >> (8 * b)));
        }
    }
    return out;
}

TEST_F(QuicDecoder, BeginRefusesBadHeadersBeforeAllocatingRows) {
    const uint32_t magic = 0x43495551;
    struct Case {
        const char* what;
        std::vector<uint8_t> stream;
        int expected_width, expected_height;
        const char* warning;
        const char* error;
    };
    const std::vector<uint8_t> good = header(magic, 0, QUIC_IMAGE_TYPE_RGB32, 10, 10);
    const Case cases[] = {
        {"bad magic", header(0x43495552, 0, 4, 10, 10), 10, 10, "bad magic\n", ""},
        {"version 1", header(magic, 1, 4, 10, 10), 10, 10, "bad version\n", ""},
        {"type 0", header(magic, 0, 0, 10, 10), 10, 10, "", "bad image type\n"},
        {"type 6", header(magic, 0, 6, 10, 10), 10, 10, "", "bad image type\n"},
        {"width 0", header(magic, 0, 4, 0, 10), 0, 10, "unexpected image size 0x10\n", ""},
        {"height 0", header(magic, 0, 4, 10, 0), 10, 0, "unexpected image size 10x0\n", ""},
        {"wider than expected", header(magic, 0, 4, 0x7fffffff, 10), 10, 10,
         "unexpected image size 2147483647x10\n", ""},
        {"lower than expected", header(magic, 0, 4, 10, 9), 10, 10, "unexpected image size 10x9\n", ""},
        {"four words", std::vector<uint8_t>(good.begin(), good.begin() + 16), 10, 10, "bad stream size 16\n",
         ""},
        {"not whole words", std::vector<uint8_t>(good.begin(), good.begin() + 27), 10, 10,
         "bad stream size 27\n", ""},
    };
    for (const Case& c : cases) {
        t_.warnings.clear();
        t_.errors.clear();
        const long allocations = t_.allocations;
        QuicImageType type;
        int w, h;
        EXPECT_EQ(quic_decode_begin(quic_, c.stream.data(), c.stream.size(), c.expected_width,
                                    c.expected_height, &type, &w, &h),
                  -1)
            << c.what;
        EXPECT_EQ(t_.warnings, c.warning) << c.what;
        EXPECT_EQ(t_.errors, c.error) << c.what;
        EXPECT_EQ(t_.allocations, allocations) << c.what;
        uint8_t pixel[4];
        EXPECT_EQ(quic_decode(quic_, QUIC_IMAGE_TYPE_RGB32, pixel, 4), -1) << c.what << ": no image begun";
    }
}

TEST_F(QuicDecoder, UnsuitableOutputFormatWritesNothing) {
    struct Case {
        QuicImageType type, format;
    };
    const Case cases[] = {
        {QUIC_IMAGE_TYPE_RGB24, QUIC_IMAGE_TYPE_GRAY},    {QUIC_IMAGE_TYPE_GRAY, QUIC_IMAGE_TYPE_RGB32},
        {QUIC_IMAGE_TYPE_RGB32, QUIC_IMAGE_TYPE_RGB16},   {QUIC_IMAGE_TYPE_RGB16, QUIC_IMAGE_TYPE_RGB24},
        {QUIC_IMAGE_TYPE_RGBA, QUIC_IMAGE_TYPE_RGB32},    {QUIC_IMAGE_TYPE_RGB32, QUIC_IMAGE_TYPE_RGBA},
        {QUIC_IMAGE_TYPE_RGB32, QUIC_IMAGE_TYPE_INVALID},
    };
    for (const Case& c : cases) {
        t_.warnings.clear();
        const std::vector<uint8_t> stream = quic_test_encode(mixed_image(c.type, 8, 2, 0));
        std::vector<uint8_t> buf(8 * 2 * 4, 0xEE);
        QuicImageType type;
        int w, h;
        ASSERT_EQ(quic_decode_begin(quic_, stream.data(), stream.size(), 8, 2, &type, &w, &h), 0);
        EXPECT_EQ(type, c.type);
        EXPECT_EQ(quic_decode(quic_, c.format, buf.data(), 32), -1);
        EXPECT_EQ(t_.warnings, "unsupported output format\n");
        EXPECT_EQ(buf, std::vector<uint8_t>(buf.size(), 0xEE));
    }
}

TEST_F(QuicDecoder, InputRunningOutFailsTheImageAndTellsTheRowsDone) {
    const QuicTestImage img = mixed_image(QUIC_IMAGE_TYPE_RGB32, 64, 16, 9);
    const std::vector<uint8_t> stream = quic_test_encode(img);
    // The rows done when each word is asked for, from a decode that gets one word per call.
    std::vector<uint8_t> pixels;
    ASSERT_EQ(decode(split(stream, 20, 4), QUIC_IMAGE_TYPE_RGB32, 64, 16, &pixels), 0);
    const std::vector<int> rows_at_word = t_.more_space_rows;

    for (size_t words : {size_t(5), rows_at_word.size() / 2, rows_at_word.size() - 1}) {
        t_.errors.clear();
        t_.more_space_rows.clear();
        const std::vector<uint8_t> cut(stream.begin(), stream.begin() + 20 + 4 * words);
        EXPECT_EQ(decode(split(cut, 20, 4), QUIC_IMAGE_TYPE_RGB32, 64, 16, &pixels), -1) << words;
        EXPECT_EQ(t_.errors, "more_io_words: no more words\n") << words;
        // Asked once more after the last word, with the rows finished by then, and never again.
        ASSERT_EQ(t_.more_space_rows.size(), words + 1) << words;
        EXPECT_EQ(t_.more_space_rows.back(), rows_at_word[words]) << words;
    }
    // The failed images leave the decoder ready for the next one.
    t_.chunks.clear();
    ASSERT_EQ(decode(stream, QUIC_IMAGE_TYPE_RGB32, 64, 16, &pixels), 0);
    EXPECT_EQ(pixels, expected_pixels(img, QUIC_IMAGE_TYPE_RGB32));
}

TEST_F(QuicDecoder, ChunkOfPartWordsFailsTheImage) {
    const std::vector<uint8_t> stream = quic_test_encode(mixed_image(QUIC_IMAGE_TYPE_RGB32, 64, 16, 9));
    std::vector<uint8_t> first = split(stream, 24, 4);
    t_.chunks[3].pop_back();
    std::vector<uint8_t> pixels;
    EXPECT_EQ(decode(first, QUIC_IMAGE_TYPE_RGB32, 64, 16, &pixels), -1);
    EXPECT_EQ(t_.errors, "more_io_words: input is not whole words\n");
    EXPECT_EQ(t_.next_chunk, 4u) << "nothing asked after the bad chunk";
}

TEST_F(QuicDecoder, CorruptRunOrSymbolFailsWithoutWritingPastTheRows) {
    struct Case {
        const char* what;
        QuicTestImage img;
        QuicEncodeFaults faults;
    };
    QuicEncodeFaults past_row;
    past_row.run_overshoot = 1;
    QuicEncodeFaults far_past_row;
    far_past_row.run_overshoot = 1 << 30;
    // Flat rows adapt the code to number 0, whose escape suffix reaches past the channel's values.
    QuicEncodeFaults bad_escape;
    bad_escape.bad_escape_at = 20;
    const Case cases[] = {
        // The first run is row 1's from pixel 3 to its end, the image's last pixel.
        {"run one past the image", flat_image(QUIC_IMAGE_TYPE_RGB32, 64, 2), past_row},
        {"run far past the image", flat_image(QUIC_IMAGE_TYPE_RGB16, 64, 2), far_past_row},
        {"run one past a segment", mixed_image(QUIC_IMAGE_TYPE_RGB32, 64, 16, 2), past_row},
        {"8-bit escape to 256", flat_image(QUIC_IMAGE_TYPE_GRAY, 64, 16), bad_escape},
        {"5-bit escape to 32", flat_image(QUIC_IMAGE_TYPE_RGB16, 64, 16), bad_escape},
        {"alpha escape to 256", flat_image(QUIC_IMAGE_TYPE_RGBA, 64, 16), bad_escape},
    };
    for (const Case& c : cases) {
        t_.errors.clear();
        const QuicImageType format = c.img.type;
        const std::vector<uint8_t> stream = quic_test_encode(c.img, c.faults);
        const size_t size = size_t(c.img.width) * c.img.height * bytes_per_pixel(format);
        std::vector<uint8_t> buf(size + 64, 0xEE);
        QuicImageType type;
        int w, h;
        ASSERT_EQ(quic_decode_begin(quic_, stream.data(), stream.size(), int(c.img.width), int(c.img.height),
                                    &type, &w, &h),
                  0)
            << c.what;
        EXPECT_EQ(quic_decode(quic_, format, buf.data(), int(c.img.width * bytes_per_pixel(format))), -1)
            << c.what;
        EXPECT_EQ(t_.errors, "corrupt stream\n") << c.what;
        EXPECT_EQ(std::vector<uint8_t>(buf.begin() + size, buf.end()), std::vector<uint8_t>(64, 0xEE))
            << c.what;
    }
}

TEST_F(QuicDecoder, DamagedStreamsNeverReachOutsideTheImage) {
    // Every tenth bit flipped in turn, and every cut at a word: each decode succeeds or fails cleanly (the
    // sanitizer build checks the memory), and the decoder goes on working.
    const QuicTestImage img = mixed_image(QUIC_IMAGE_TYPE_RGBA, 24, 12, 4);
    const std::vector<uint8_t> stream = quic_test_encode(img);
    std::vector<uint8_t> pixels;
    int failed = 0;
    for (size_t bit = 20 * 8; bit < stream.size() * 8; bit += 10) {
        std::vector<uint8_t> damaged = stream;
        damaged[bit / 8] ^= uint8_t(1 << (bit % 8));
        failed += decode(damaged, QUIC_IMAGE_TYPE_RGBA, 24, 12, &pixels) != 0;
    }
    for (size_t size = 20; size < stream.size(); size += 4) {
        failed += decode(std::vector<uint8_t>(stream.begin(), stream.begin() + size), QUIC_IMAGE_TYPE_RGBA,
                         24, 12, &pixels) != 0;
    }
    EXPECT_GT(failed, 0);
    EXPECT_NE(t_.errors.find("corrupt stream\n"), std::string::npos);
    ASSERT_EQ(decode(stream, QUIC_IMAGE_TYPE_RGBA, 24, 12, &pixels), 0);
    EXPECT_EQ(pixels, expected_pixels(img, QUIC_IMAGE_TYPE_RGBA));
}

TEST_F(QuicDecoder, ErrorThatJumpsAwayLeavesTheDecoderReusable) {
    // An error call-back may jump away instead of returning.
    const QuicTestImage img = mixed_image(QUIC_IMAGE_TYPE_RGB32, 64, 16, 9);
    const std::vector<uint8_t> stream = quic_test_encode(img);
    const std::vector<uint8_t> cut(stream.begin(), stream.begin() + stream.size() / 8 * 4);
    std::vector<uint8_t> pixels(64 * 16 * 4);
    std::jmp_buf jump;
    t_.jump = &jump;
    volatile bool jumped = false;
    if (setjmp(jump) == 0) {
        QuicImageType type;
        int w, h;
        ASSERT_EQ(quic_decode_begin(quic_, cut.data(), cut.size(), 64, 16, &type, &w, &h), 0);
        quic_decode(quic_, QUIC_IMAGE_TYPE_RGB32, pixels.data(), 64 * 4);
    } else {
        jumped = true;
    }
    t_.jump = nullptr;
    EXPECT_TRUE(jumped);
    ASSERT_EQ(decode(stream, QUIC_IMAGE_TYPE_RGB32, 64, 16, &pixels), 0);
    EXPECT_EQ(pixels, expected_pixels(img, QUIC_IMAGE_TYPE_RGB32));
}

// ---- Creation ----

TEST(QuicCreate, RefusesAMissingRecordOrRequiredCallBack) {
    quic_init();
    EXPECT_EQ(quic_create(nullptr), nullptr);
    for (int missing = 0; missing < 6; missing++) {
        TestUsr t;
        void** slots = reinterpret_cast<void**>(&t.usr);
        slots[missing] = nullptr;
        EXPECT_EQ(quic_create(&t.usr), nullptr) << "call-back " << missing;
        EXPECT_EQ(t.allocations, 0);
    }
    TestUsr without_more_lines;
    ASSERT_EQ(without_more_lines.usr.more_lines, nullptr);
    QuicContext* quic = quic_create(&without_more_lines.usr);
    EXPECT_NE(quic, nullptr) << "more_lines is never called, so it is not required";
    quic_destroy(quic);
    quic_destroy(nullptr);
}

TEST(QuicCreate, AllocationFailureAnywhereFreesWhatWasMade) {
    quic_init();
    TestUsr probe;
    quic_destroy(quic_create(&probe.usr));
    ASSERT_GT(probe.allocations, 1);
    for (long fail = 0; fail < probe.allocations; fail++) {
        TestUsr t;
        t.fail_allocation = fail;
        EXPECT_EQ(quic_create(&t.usr), nullptr) << fail;
        EXPECT_EQ(t.live_blocks, 0) << fail;
    }
    // A correlate row that cannot be had fails the begin.
    TestUsr t;
    QuicContext* quic = quic_create(&t.usr);
    t.fail_allocation = t.allocations;
    const std::vector<uint8_t> stream = quic_test_encode(mixed_image(QUIC_IMAGE_TYPE_GRAY, 8, 2, 0));
    QuicImageType type;
    int w, h;
    EXPECT_EQ(quic_decode_begin(quic, stream.data(), stream.size(), 8, 2, &type, &w, &h), -1);
    quic_destroy(quic);
    EXPECT_EQ(t.live_blocks, 0);
}

// ---- Recorded images ----

// The QUIC images of the recorded session: the BIOS screen, light grey text on black.
TEST_F(QuicDecoder, RecordedServerImagesDecodeAndReencodeToTheSameStream) {
    std::vector<RecordedMessage> messages;
    std::string error;
    ASSERT_TRUE(load_recording(std::string(KTW_QEMU_FIXTURE_DIR) + "/quic.display.rec", &messages, &error))
        << error;
    const SpiceChannelParser* parser = spice_get_server_channel_parser(SPICE_CHANNEL_DISPLAY, 2);
    int images = 0;
    for (RecordedMessage& m : messages) {
        if (m.type != SPICE_MSG_DISPLAY_DRAW_COPY) {
            continue;
        }
        size_t size;
        message_destructor_t release;
        uint8_t* parsed =
            parser->parser(m.body.data(), m.body.data() + m.body.size(), m.type, 2, &size, &release);
        ASSERT_NE(parsed, nullptr);
        const SpiceImage* image = reinterpret_cast<SpiceMsgDisplayDrawCopy*>(parsed)->data.src_bitmap;
        if (image->descriptor.type == SPICE_IMAGE_TYPE_QUIC) {
            images++;
            const SpiceImageDescriptor& d = image->descriptor;
            const SpiceChunks* chunks = image->u.quic.data;
            ASSERT_EQ(chunks->num_chunks, 1u);
            const std::vector<uint8_t> stream(chunks->chunk[0].data,
                                              chunks->chunk[0].data + chunks->chunk[0].len);

            QuicImageType type;
            int w, h;
            ASSERT_EQ(quic_decode_begin(quic_, stream.data(), stream.size(), int(d.width), int(d.height),
                                        &type, &w, &h),
                      0);
            EXPECT_EQ(type, QUIC_IMAGE_TYPE_RGB32);
            // Decoded bottom-up, as the canvas does.
            std::vector<uint8_t> pixels(size_t(w) * h * 4);
            ASSERT_EQ(quic_decode(quic_, QUIC_IMAGE_TYPE_RGB32, pixels.data() + (h - 1) * w * 4, -w * 4), 0);

            QuicTestImage img(QUIC_IMAGE_TYPE_RGB32, w, h);
            int lit = 0;
            for (int y = 0; y < h; y++) {
                for (int x = 0; x < w; x++) {
                    const uint8_t* p = &pixels[((h - 1 - y) * w + x) * 4];
                    img.at(x, y) = {p[2], p[1], p[0], 0};
                    const bool black = p[0] == 0 && p[1] == 0 && p[2] == 0;
                    const bool grey = p[0] == 0xA8 && p[1] == 0xA8 && p[2] == 0xA8;
                    EXPECT_TRUE((black || grey) && p[3] == 0)
                        << "image " << images << " at " << x << "," << y;
                    lit += grey;
                }
            }
            EXPECT_EQ(lit > 0, d.width == 32) << "text glyphs, on a black screen of " << d.width;
            EXPECT_EQ(quic_test_encode(img), stream) << "image " << images;
        }
        release(parsed);
    }
    EXPECT_EQ(images, 7);
    EXPECT_EQ(t_.errors, "");
}

}  // namespace
