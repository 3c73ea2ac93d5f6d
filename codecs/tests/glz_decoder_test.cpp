// The GLZ decoder over a real window: every type, every length, offset and image-distance code (far and
// cross-image references included), the stream's edge cases, waits for images other threads still decode, and
// the damaged streams a server could send, after which the window must go on.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <random>
#include <thread>

#include "support/glz_test_support.h"
#include "support/lz_encoder.h"

namespace {

std::vector<uint8_t> cat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// An RGB32 image of `pixels` x 1 with the given id and body, whose window head is image 0.
std::vector<uint8_t> rgb32_image(uint64_t id, uint32_t pixels, const std::vector<uint8_t>& body) {
    return cat(glz_header(LZ_IMAGE_TYPE_RGB32, true, pixels, 1, pixels * 4, id, int32_t(id)), body);
}

// Literal runs of the given b, g, r units.
std::vector<uint8_t> literals(const std::vector<uint8_t>& units) {
    std::vector<uint8_t> out;
    for (size_t at = 0; at < units.size(); at += 96) {
        size_t n = std::min<size_t>(96, units.size() - at);
        out.push_back(uint8_t(n / 3 - 1));
        out.insert(out.end(), units.begin() + at, units.begin() + at + n);
    }
    return out;
}

std::vector<uint8_t> random_units(size_t n, std::mt19937& rng) {
    std::vector<uint8_t> u(n);
    for (uint8_t& b : u) {
        b = uint8_t(rng());
    }
    return u;
}

// RGB32 pixels from b, g, r units (the fourth byte 0).
std::vector<uint32_t> rgb_pixels(const std::vector<uint8_t>& units) {
    std::vector<uint32_t> out;
    for (size_t i = 0; i + 2 < units.size(); i += 3) {
        out.push_back(units[i] | units[i + 1] << 8 | units[i + 2] << 16);
    }
    return out;
}

class GlzDecoderTest : public testing::Test {
protected:
    // Decodes and returns the image's pixels; a failure fails the test.
    std::vector<uint32_t> decode(const std::vector<uint8_t>& stream, const SpicePalette* palette = nullptr) {
        try {
            decoder.decode(stream.data(), uint32_t(stream.size()), palette, nullptr);
        } catch (const Exception& e) {
            ADD_FAILURE() << e.what();
            return {};
        }
        EXPECT_EQ(handler.last->guard(), 0xEE) << "written past the image";
        return handler.last->pixels();
    }
    // Decodes a stream that must fail; returns the message.
    std::string decode_error(const std::vector<uint8_t>& stream, const SpicePalette* palette = nullptr) {
        try {
            decoder.decode(stream.data(), uint32_t(stream.size()), palette, nullptr);
        } catch (const Exception& e) {
            return e.what();
        }
        ADD_FAILURE() << "decoded";
        return "";
    }

    TestGlzDebug debug;
    TestGlzHandler handler;
    GlzDecoderWindow window{debug};
    GlzDecoder decoder{window, handler, debug};
};

// ---- Header ----

TEST_F(GlzDecoderTest, ReadsTheHeader) {
    std::vector<uint8_t> body = {0, 1, 2, 3};
    decode(cat(glz_header(LZ_IMAGE_TYPE_RGB32, true, 1, 1, 4, 0, 0), body));
    EXPECT_TRUE(handler.last_top_down) << "header byte 8 of 0x18";
    EXPECT_EQ(handler.last_type, LZ_IMAGE_TYPE_RGB32);

    std::vector<uint8_t> bottom_up = cat(glz_header(LZ_IMAGE_TYPE_RGB32, false, 1, 1, 4, 1, 1), body);
    ASSERT_EQ(bottom_up[8], 0x08);
    decode(bottom_up);
    EXPECT_FALSE(handler.last_top_down);

    // A window-head distance of -2 puts the head two ids after the image.
    decode(cat(glz_header(LZ_IMAGE_TYPE_RGBA, false, 1, 1, 4, 2, -2), {0, 1, 2, 3, 0, 4}));
    EXPECT_EQ(handler.last_type, LZ_IMAGE_TYPE_RGBA);
    EXPECT_EQ(handler.last_win_head_id, 4u);
    EXPECT_TRUE(debug.warnings.empty());
}

TEST_F(GlzDecoderTest, WarnsOfABadMagicOrVersionAndDecodes) {
    std::vector<uint8_t> stream = rgb32_image(0, 1, {0, 1, 2, 3});
    stream[7] = 0x02;  // version 0x00010002
    EXPECT_EQ(decode(stream), std::vector<uint32_t>({0x030201}));
    stream = rgb32_image(1, 1, {0, 4, 5, 6});
    stream[0] = 0x4C;
    EXPECT_EQ(decode(stream), std::vector<uint32_t>({0x060504}));
    EXPECT_EQ(debug.warnings, std::vector<std::string>({"bad version\n", "bad magic\n"}));
}

// ---- Edge cases of the stream ----

TEST_F(GlzDecoderTest, DecodesTheStreamsEdgeCases) {
    std::mt19937 rng(3);
    std::vector<uint8_t> first = random_units(96 * 3, rng);
    std::vector<uint32_t> image0 = decode(rgb32_image(0, 96, literals(first)));
    ASSERT_EQ(image0, rgb_pixels(first));

    // 0x20 05 01: one pixel from pixel 80 of the image one ring slot back.
    std::vector<uint32_t> image1 = decode(rgb32_image(1, 1, {0x20, 0x05, 0x01}));
    EXPECT_EQ(image1, std::vector<uint32_t>({image0[80]}));

    // 0x20 00 00: length 1 at offset 0 + 1 in this image, the previous pixel once.
    std::vector<uint32_t> image2 = decode(rgb32_image(2, 2, {0, 7, 8, 9, 0x20, 0x00, 0x00}));
    EXPECT_EQ(image2, std::vector<uint32_t>({0x090807, 0x090807}));

    // 0x30 00 40 02: length 1 at offset 0 of the image two slots back; k = 0x40 announces one distance byte
    // and no long-offset byte, so the byte after the 02 is the next control byte.
    std::vector<uint32_t> image3 = decode(rgb32_image(3, 2, {0x30, 0x00, 0x40, 0x02, 0, 1, 2, 3}));
    EXPECT_EQ(image3, std::vector<uint32_t>({image1[0], 0x030201}));

    // RGBA: the colour stream, then the alpha stream over the same pixels.
    std::vector<uint32_t> rgba = decode(
        cat(glz_header(LZ_IMAGE_TYPE_RGBA, true, 2, 1, 8, 4, 4), {1, 1, 2, 3, 4, 5, 6, 1, 0xA0, 0xB0}));
    EXPECT_EQ(rgba, std::vector<uint32_t>({0xA0030201, 0xB0060504}));
}

TEST_F(GlzDecoderTest, AnImageThatIsItsOwnWindowHeadReleasesTheOlderOnes) {
    decode(rgb32_image(0, 1, {0, 1, 2, 3}));
    decode(cat(glz_header(LZ_IMAGE_TYPE_RGB32, true, 1, 1, 4, 1, 1), {0, 1, 2, 3}));
    EXPECT_EQ(handler.live, 2);
    decode(cat(glz_header(LZ_IMAGE_TYPE_RGB32, true, 1, 1, 4, 2, 0), {0, 1, 2, 3}));
    GlzDecoderWindow::State s = window.get_state();
    EXPECT_EQ(s.head_id, 2u);
    EXPECT_EQ(s.image_count, 1u);
    EXPECT_EQ(handler.live, 1);
}

// ---- Round trips through the test encoder ----

// What a GLZ image of `type` made of units decodes to (RGBA: alpha as its second plane).
std::vector<uint32_t> expected_pixels(unsigned type, const std::vector<uint8_t>& units,
                                      const std::vector<uint8_t>& alpha,
                                      const std::vector<uint32_t>& palette) {
    std::vector<uint32_t> out;
    auto entry = [&](unsigned i) { out.push_back(palette[i < palette.size() ? i : 0] & 0xFFFFFF); };
    auto widen = [](unsigned v) { return (v << 3) | (v >> 2); };
    for (size_t i = 0; i < units.size();) {
        uint8_t b = units[i];
        switch (type) {
            case LZ_IMAGE_TYPE_PLT1_LE:
            case LZ_IMAGE_TYPE_PLT1_BE:
                for (int k = 0; k < 8; k++) {
                    entry(type == LZ_IMAGE_TYPE_PLT1_LE ? (b >> k) & 1 : (b >> (7 - k)) & 1);
                }
                i++;
                break;
            case LZ_IMAGE_TYPE_PLT4_LE:
                entry((b & 15) % palette.size());
                entry((b >> 4) % palette.size());
                i++;
                break;
            case LZ_IMAGE_TYPE_PLT4_BE:
                entry((b >> 4) % palette.size());
                entry((b & 15) % palette.size());
                i++;
                break;
            case LZ_IMAGE_TYPE_PLT8:
                entry(b);
                i++;
                break;
            case LZ_IMAGE_TYPE_RGB16: {
                unsigned w = b << 8 | units[i + 1];
                out.push_back(widen(w & 31) | widen((w >> 5) & 31) << 8 | widen((w >> 10) & 31) << 16);
                i += 2;
                break;
            }
            default:
                out.push_back(units[i] | units[i + 1] << 8 | units[i + 2] << 16 |
                              (type == LZ_IMAGE_TYPE_RGBA ? uint32_t(alpha[i / 3]) << 24 : 0));
                i += 3;
                break;
        }
    }
    return out;
}

// Units with runs, random stretches and copies of this image and of `other`, so that every kind of reference
// shows up.
std::vector<uint8_t> mixed_units(size_t n, unsigned unit_bytes, const std::vector<uint8_t>& other,
                                 std::mt19937& rng) {
    std::vector<uint8_t> u;
    while (u.size() < n * unit_bytes) {
        size_t len = (1 + rng() % 30) * unit_bytes;
        int kind = rng() % 4;
        if (kind == 0 || (kind == 2 && u.size() < len) || (kind == 3 && other.size() < len)) {
            for (size_t i = 0; i < len; i++) {
                u.push_back(uint8_t(rng()));
            }
        } else if (kind == 1) {
            std::vector<uint8_t> one = random_units(unit_bytes, rng);
            for (size_t i = 0; i < len; i += unit_bytes) {
                u.insert(u.end(), one.begin(), one.end());
            }
        } else {
            const std::vector<uint8_t>& src = kind == 2 ? u : other;
            size_t from = (rng() % ((src.size() - len) / unit_bytes + 1)) * unit_bytes;
            std::vector<uint8_t> copy(src.begin() + from, src.begin() + from + len);
            u.insert(u.end(), copy.begin(), copy.end());
        }
    }
    u.resize(n * unit_bytes);
    return u;
}

TEST_F(GlzDecoderTest, RoundTripsEveryTypeWithinAndAcrossImages) {
    struct Case {
        unsigned type;
        unsigned unit_bytes;
        unsigned bias;
        unsigned palette_size;
    };
    const Case cases[] = {
        {LZ_IMAGE_TYPE_PLT1_LE, 1, 2, 2}, {LZ_IMAGE_TYPE_PLT1_BE, 1, 2, 1}, {LZ_IMAGE_TYPE_PLT4_LE, 1, 2, 16},
        {LZ_IMAGE_TYPE_PLT4_BE, 1, 2, 7}, {LZ_IMAGE_TYPE_PLT8, 1, 2, 100},  {LZ_IMAGE_TYPE_RGB16, 2, 1, 0},
        {LZ_IMAGE_TYPE_RGB24, 3, 0, 0},   {LZ_IMAGE_TYPE_RGB32, 3, 0, 0},   {LZ_IMAGE_TYPE_RGBA, 3, 0, 0},
    };
    const uint32_t width = 29, height = 17;
    std::mt19937 rng(11);
    uint64_t id = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << c.type);
        std::vector<uint32_t> entries(c.palette_size);
        for (size_t i = 0; i < entries.size(); i++) {
            entries[i] = uint32_t(0x7F000000u + i * 0x030507u);
        }
        SpicePalette palette = {1, uint16_t(entries.size()), entries.data()};
        const unsigned ppb = lz_plt_pixels_per_byte(c.type);
        const uint32_t stride = ppb ? (width + ppb - 1) / ppb : width * 4;
        const size_t n_units = ppb ? size_t(stride) * height : size_t(width) * height;

        // Two images: the second copies from the first as well as from itself.
        std::vector<uint8_t> units0 = mixed_units(n_units, c.unit_bytes, {}, rng);
        std::vector<uint8_t> units1 = mixed_units(n_units, c.unit_bytes, units0, rng);
        std::vector<uint8_t> alpha0 = mixed_units(n_units, 1, {}, rng),
                             alpha1 = mixed_units(n_units, 1, alpha0, rng);
        std::vector<LzMatch> matches;
        std::vector<uint8_t> body0 = glz_encode_units(units0, c.unit_bytes, c.bias);
        std::vector<uint8_t> body1 = glz_encode_units(units1, c.unit_bytes, c.bias, {{1, &units0}}, &matches);
        if (c.type == LZ_IMAGE_TYPE_RGBA) {
            body0 = cat(body0, glz_encode_units(alpha0, 1, 2));
            body1 = cat(body1, glz_encode_units(alpha1, 1, 2, {{1, &alpha0}}, &matches));
        }
        EXPECT_TRUE(
            std::any_of(matches.begin(), matches.end(), [](const LzMatch& m) { return m.image_dist == 1; }));

        const SpicePalette* plt = c.palette_size ? &palette : nullptr;
        std::vector<uint32_t> got0 =
            decode(cat(glz_header(c.type, false, width, height, stride, id, int32_t(id)), body0), plt);
        EXPECT_EQ(got0, expected_pixels(c.type, units0, alpha0, entries));
        id++;
        std::vector<uint32_t> got1 =
            decode(cat(glz_header(c.type, true, width, height, stride, id, 1), body1), plt);
        EXPECT_EQ(got1, expected_pixels(c.type, units1, alpha1, entries));
        id++;
    }
}

// The greedy encoder, fed planted copies, writes every length form, every offset form within the image
// (short, long, very long) and every image-distance form across images (zero to two extra bytes, in both
// layouts of the offset); the test checks that it did, then that the decode gives the pixels.
TEST_F(GlzDecoderTest, RoundTripsEveryLengthOffsetAndImageDistanceCode) {
    std::mt19937 rng(5);
    const uint64_t last = 16400;  // the image under test; image 0 sits 16400 images back
    // Image 0 and image last - 100 are large, so that references into them reach offsets of every size; the
    // images between are single pixels.
    std::vector<uint8_t> big0 = random_units(140000 * 3, rng);
    std::vector<uint8_t> big100 = random_units(140000 * 3, rng);
    std::vector<std::vector<uint8_t>> small(64);  // small[d]: the image d images back from the last
    for (uint64_t id = 0; id < last; id++) {
        std::vector<uint8_t> units;
        if (id == 0) {
            units = big0;
        } else if (id == last - 100) {
            units = big100;
        } else {
            units = random_units(3, rng);
            if (last - id < small.size()) {
                small[last - id] = units;
            }
        }
        std::vector<uint8_t> body = literals(units);
        decoder.decode(
            cat(glz_header(LZ_IMAGE_TYPE_RGB32, true, uint32_t(units.size() / 3), 1, 0, id, int32_t(id)),
                body)
                .data(),
            uint32_t(33 + body.size()), nullptr, nullptr);
    }

    // The last image: fresh random stretches, each followed by one planted copy.
    struct Plant {
        const std::vector<uint8_t>* src;  // nullptr: this image
        uint64_t image_dist;
        uint64_t at;  // source unit (other image) or distance back (this image)
        uint64_t len;
    };
    std::vector<Plant> plants;
    for (uint64_t len : {1, 2, 6, 7, 7 + 254, 7 + 255, 7 + 600}) {
        plants.push_back({nullptr, 0, 1000, len});
    }
    for (uint64_t dist : {1 + 4, 4096, 4097, 20000, 131072, 131073, 150000}) {
        plants.push_back({nullptr, 0, dist, 3});
    }
    for (uint64_t d : {1, 5, 63}) {
        plants.push_back({&small[d], d, 0, 1});
    }
    for (uint64_t at : {100, 5000, 135000}) {
        plants.push_back({&big100, 100, at, 3});
        plants.push_back({&big0, last, at, 3});
    }
    std::vector<uint8_t> u;
    for (const Plant& p : plants) {
        std::vector<uint8_t> fresh = random_units(p.src ? 5 * 3 : (p.at + p.len + 5) * 3, rng);
        u.insert(u.end(), fresh.begin(), fresh.end());
        size_t from = p.src ? p.at * 3 : u.size() - p.at * 3;
        const std::vector<uint8_t> src = p.src ? *p.src : u;
        u.insert(u.end(), src.begin() + from, src.begin() + from + p.len * 3);
    }
    std::vector<uint8_t> tail = random_units(15, rng);
    u.insert(u.end(), tail.begin(), tail.end());

    std::vector<GlzRefImage> refs = {{last, &big0}, {100, &big100}};
    for (uint64_t d : {1, 5, 63}) {
        refs.push_back({d, &small[d]});
    }
    std::vector<LzMatch> matches;
    std::vector<uint8_t> body = glz_encode_units(u, 3, 0, refs, &matches);
    for (const Plant& p : plants) {
        bool found = std::any_of(matches.begin(), matches.end(), [&](const LzMatch& m) {
            return m.len == p.len && m.image_dist == p.image_dist && m.dist == p.at;
        });
        EXPECT_TRUE(found) << "length " << p.len << ", image distance " << p.image_dist << ", at " << p.at;
    }

    const uint32_t n = uint32_t(u.size() / 3);
    std::vector<uint32_t> got =
        decode(cat(glz_header(LZ_IMAGE_TYPE_RGB32, true, n, 1, 0, last, int32_t(last)), body));
    EXPECT_EQ(got, rgb_pixels(u));
}

// ---- Refused images ----

// A header refused once its id is read still finishes that id in the window, as failed: a later image
// referencing it fails rather than waits for it. Only a header cut short, whose id is unknown, leaves the
// window untouched.
TEST_F(GlzDecoderTest, RefusesBadHeadersAndFinishesTheirIdsAsFailed) {
    struct Case {
        const char* what;
        unsigned type;
        uint32_t width;
        uint32_t height;
        uint32_t stride;
        std::vector<uint8_t> body;
        const char* error;
    };
    std::vector<uint8_t> body = {0, 1, 2, 3};
    const Case cases[] = {
        {"type 0", 0, 1, 1, 4, body, "bad image type\n"},
        {"type 10 (XXXA)", 10, 1, 1, 4, body, "bad image type\n"},
        {"type 11 (A8)", 11, 1, 1, 4, body, "bad image type\n"},
        {"type 15", 15, 1, 1, 4, body, "bad image type\n"},
        {"height 0", LZ_IMAGE_TYPE_RGB32, 1, 0, 4, body, "image of height 0\n"},
        {"palette type without a palette",
         LZ_IMAGE_TYPE_PLT8,
         1,
         1,
         1,
         {0, 0},
         "a palette is missing (for bpp to rgb decoding)\n"},
        {"PLT4 rows narrower than the width",
         LZ_IMAGE_TYPE_PLT4_LE,
         5,
         1,
         2,
         {0, 0},
         "stride does not fit the width\n"},
        {"PLT1 stride of 16 MiB for 2 pixels",
         LZ_IMAGE_TYPE_PLT1_LE,
         2,
         1,
         1 << 24,
         {0, 0},
         "stride does not fit the width\n"},
        {"PLT8 stride past the 4-byte alignment",
         LZ_IMAGE_TYPE_PLT8,
         5,
         1,
         9,
         {0, 0},
         "stride does not fit the width\n"},
        {"too many pixels", LZ_IMAGE_TYPE_RGB32, 65536, 8192, 0, body, "image too large\n"},
    };
    uint64_t id = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const int calls = handler.calls;
        EXPECT_EQ(decode_error(cat(glz_header(c.type, false, c.width, c.height, c.stride, id, 0), c.body)),
                  c.error);
        EXPECT_EQ(handler.calls, calls) << "no image made";
        GlzDecoderWindow::State s = window.get_state();
        EXPECT_EQ(s.tail_id, id);
        EXPECT_EQ(s.missing_count, 0u);
        id++;
        // The next image copies a pixel from the failed one.
        std::vector<uint8_t> next =
            cat(glz_header(LZ_IMAGE_TYPE_RGB32, true, 1, 1, 4, id, 1), {0x20, 0x00, 0x01});
        auto decoded = std::async(std::launch::async, [&] { return decode_error(next); });
        if (decoded.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            ADD_FAILURE() << "the next image waits for the failed one";
            window.set_abort();
            decoded.wait();
            return;
        }
        EXPECT_EQ(decoded.get(), "reference past the end of an earlier image\n");
        id++;
    }
    const int calls = handler.calls;
    SpicePalette empty = {1, 0, nullptr};
    EXPECT_EQ(decode_error(cat(glz_header(LZ_IMAGE_TYPE_PLT8, false, 1, 1, 1, id, 0), {0, 0}), &empty),
              "the palette has no entries\n");
    EXPECT_EQ(window.get_state().tail_id, id);

    std::vector<uint8_t> header_cut = glz_header(LZ_IMAGE_TYPE_RGB32, false, 1, 1, 4, id + 1, 0);
    header_cut.pop_back();
    EXPECT_EQ(decode_error(header_cut), "image shorter than its header\n");
    EXPECT_EQ(window.get_state().tail_id, id);
    EXPECT_EQ(handler.calls, calls);
}

// A body that goes wrong fails its image; the window finishes the image as one of no pixels, so the ids
// behind it move on and a reference into it fails rather than waits.
TEST_F(GlzDecoderTest, FailsDamagedBodiesAndTheWindowGoesOn) {
    struct Case {
        const char* what;
        std::vector<uint8_t> body;
        uint32_t pixels;
        const char* error;
    };
    const Case cases[] = {
        {"literal run past the end", {1, 1, 2, 3, 4, 5, 6}, 1, "literal run past the end of the image\n"},
        {"reference past the end",
         {0, 1, 2, 3, 0x40, 0x00, 0x00},
         2,
         "reference past the end of the image\n"},
        {"reference before the start",
         {0, 1, 2, 3, 0x20, 0x01, 0x00},
         3,
         "reference before the start of the image\n"},
        {"body ends in a literal run", {1, 1, 2, 3, 4}, 2, "input ends inside the image\n"},
        {"body ends in a reference", {0, 1, 2, 3, 0x20, 0x00}, 2, "input ends inside the image\n"},
        {"body ends in a length extension", {0, 1, 2, 3, 0xE0, 0xFF}, 300, "input ends inside the image\n"},
        {"empty body", {}, 1, "input ends inside the image\n"},
        {"reference into a dropped image",
         {0x20, 0x00, 0x02},
         1,
         "reference to an image outside the window\n"},
        {"reference past an earlier image's end",
         {0x20, 0x01, 0x01},
         1,
         "reference past the end of an earlier image\n"},
    };
    decode(rgb32_image(0, 4, literals({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12})));
    uint64_t id = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // Each image here keeps only the image before it (window-head distance 1): two back is dropped.
        decode(cat(glz_header(LZ_IMAGE_TYPE_RGB32, true, 4, 1, 16, id, 1),
                   literals(std::vector<uint8_t>(12, 1))));
        id++;
        const int live = handler.live;
        std::string error =
            decode_error(cat(glz_header(LZ_IMAGE_TYPE_RGB32, true, c.pixels, 1, 0, id, 1), c.body));
        EXPECT_EQ(error, c.error);
        EXPECT_LE(handler.live, live) << "the failed image's own output is gone";
        // The failed image is no longer missing, and a reference into it fails.
        GlzDecoderWindow::State s = window.get_state();
        EXPECT_EQ(s.tail_id, id);
        EXPECT_EQ(s.missing_count, 0u);
        id++;
        EXPECT_EQ(decode_error(rgb32_image(id, 1, {0x20, 0x00, 0x01})),
                  "reference past the end of an earlier image\n");
        id++;
    }
}

TEST_F(GlzDecoderTest, AReferenceThatFailsInsideTheLastPixelsWritesNothingPast) {
    // Palette types count references in bytes of the packed image: a PLT1 reference of 3 bytes is 24 pixels.
    std::vector<uint32_t> entries = {0x010101, 0x020202};
    SpicePalette palette = {1, 2, entries.data()};
    std::string error = decode_error(
        cat(glz_header(LZ_IMAGE_TYPE_PLT1_BE, true, 16, 1, 2, 0, 0), {0, 0xF0, 0x20, 0x00, 0x00}), &palette);
    EXPECT_EQ(error, "reference past the end of the image\n");
    std::vector<uint32_t> expected;
    for (int i = 0; i < 4; i++) {
        expected.insert(expected.end(), 4, 0x020202);
        expected.insert(expected.end(), 4, 0x010101);
    }
    EXPECT_EQ(
        decode(cat(glz_header(LZ_IMAGE_TYPE_PLT1_BE, true, 32, 1, 4, 1, 1), {0, 0xF0, 0x20, 0x00, 0x00}),
               &palette),
        expected)
        << "8 pixels, then 24 from 8 back";
}

// ---- Waiting for images other threads decode ----

// A handler that holds the decode of one image id until released.
class GatedHandler : public TestGlzHandler {
public:
    explicit GatedHandler(uint64_t gated_id) : gated_id_(gated_id) {}
    GlzDecodedImage* alloc_image(void* usr_data, uint64_t image_id, uint64_t image_win_head_id,
                                 LzImageType type, int width, int height, int gross_pixels,
                                 int n_bytes_per_pixel, bool top_down) override {
        if (image_id == gated_id_) {
            entered_.set_value();
            released_.wait();
        }
        return TestGlzHandler::alloc_image(usr_data, image_id, image_win_head_id, type, width, height,
                                           gross_pixels, n_bytes_per_pixel, top_down);
    }
    void wait_entered() { entered_future_.wait(); }
    void release() { release_.set_value(); }

private:
    uint64_t gated_id_;
    std::promise<void> entered_;
    std::future<void> entered_future_ = entered_.get_future();
    std::promise<void> release_;
    std::shared_future<void> released_ = release_.get_future().share();
};

TEST_F(GlzDecoderTest, AReferenceToAnImageStillDecodingWaitsForIt) {
    for (bool abort : {false, true}) {
        SCOPED_TRACE(abort ? "aborted" : "released");
        TestGlzDebug debug2;
        GlzDecoderWindow window2(debug2);
        GatedHandler gated(1);
        TestGlzHandler plain;
        GlzDecoder slow(window2, gated, debug2), fast(window2, plain, debug2);

        std::vector<uint8_t> image0 = rgb32_image(0, 1, {0, 1, 2, 3});
        fast.decode(image0.data(), uint32_t(image0.size()), nullptr, nullptr);
        std::vector<uint8_t> image1 = rgb32_image(1, 1, {0, 4, 5, 6});
        std::thread other([&] {
            try {
                slow.decode(image1.data(), uint32_t(image1.size()), nullptr, nullptr);
            } catch (const Exception&) {
            }
        });
        gated.wait_entered();

        // Image 2 copies image 1's pixel.
        std::vector<uint8_t> image2 = rgb32_image(2, 1, {0x20, 0x00, 0x01});
        auto decoded = std::async(std::launch::async, [&]() -> std::string {
            try {
                fast.decode(image2.data(), uint32_t(image2.size()), nullptr, nullptr);
                return "decoded";
            } catch (const Exception& e) {
                return e.what();
            }
        });
        EXPECT_EQ(decoded.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
        if (abort) {
            window2.set_abort();
        } else {
            gated.release();
        }
        if (decoded.wait_for(std::chrono::seconds(2)) != std::future_status::ready) {
            ADD_FAILURE() << "the waiting decode did not return";
            window2.set_abort();
        }
        std::string result = decoded.get();
        if (abort) {
            EXPECT_EQ(result.rfind("aborting", 0), 0u) << result;
            gated.release();
        } else {
            EXPECT_EQ(result, "decoded");
            EXPECT_EQ(plain.last->pixels(), std::vector<uint32_t>({0x060504}));
        }
        other.join();
    }
}

}  // namespace
