// The ternary raster operations against their truth tables and against a per-bit reference.
#include <gtest/gtest.h>

#include <random>

#include "canvas/rop3.h"
#include "raster_test_image.h"

namespace {

// The code applied bit by bit: result bit = bit 4p + 2s + d of the code.
uint32_t reference_rop3(uint8_t code, uint32_t p, uint32_t s, uint32_t d, int bits) {
    uint32_t result = 0;
    for (int i = 0; i < bits; i++) {
        const unsigned index = ((p >> i) & 1) << 2 | ((s >> i) & 1) << 1 | ((d >> i) & 1);
        result |= uint32_t((code >> index) & 1) << i;
    }
    return result;
}

pixman_format_code_t format_of(int bpp) {
    return bpp == 32 ? PIXMAN_x8r8g8b8 : PIXMAN_x1r5g5b5;
}

int floor_mod(int value, int size) {
    return ((value % size) + size) % size;
}

struct Kind {
    int bpp;
    bool pattern;
};

const Kind KINDS[] = {{32, true}, {32, false}, {16, true}, {16, false}};

std::string kind_name(const Kind& kind) {
    return std::to_string(kind.bpp) + (kind.pattern ? "-bit pattern" : "-bit colour");
}

TEST(Rop3, EveryCodeYieldsItselfOnTheStandardOperands) {
    for (const Kind& kind : KINDS) {
        for (int code = 0; code < 256; code++) {
            TestImage d(format_of(kind.bpp), 3, 2);
            TestImage s(format_of(kind.bpp), 3, 2);
            TestImage p(format_of(kind.bpp), 2, 2);
            d.fill_bytes(0xAA);
            s.fill_bytes(0xCC);
            p.fill_bytes(0xF0);
            const SpicePoint origin = {0, 0};
            if (kind.pattern) {
                do_rop3_with_pattern(uint8_t(code), d.get(), s.get(), &origin, p.get(), &origin);
            } else {
                do_rop3_with_color(uint8_t(code), d.get(), s.get(), &origin, 0xF0F0F0F0);
            }
            const uint32_t expected =
                kind.bpp == 32 ? 0x01010101u * uint32_t(code) : 0x0101u * uint32_t(code);
            for (uint32_t pixel : d.pixels()) {
                ASSERT_EQ(pixel, expected) << kind_name(kind) << ", code " << code;
            }
        }
    }
}

// Every code on random pixels, with the source and pattern at random places (the pattern offset negative or
// past the pattern too), bottom-up sources and patterns, and padding after each destination row that must
// survive.
TEST(Rop3, EveryCodeMatchesThePerBitReference) {
    std::mt19937 random(20240611);
    for (const Kind& kind : KINDS) {
        for (int code = 0; code < 256; code++) {
            const int width = 1 + int(random() % 9), height = 1 + int(random() % 5);
            const int pattern_width = 1 + int(random() % 4), pattern_height = 1 + int(random() % 4);
            const SpicePoint src_pos = {int(random() % 4), int(random() % 3)};
            const SpicePoint pat_pos = {int(random() % 21) - 10, int(random() % 21) - 10};
            const uint32_t color = uint32_t(random());
            TestImage d(format_of(kind.bpp), width, height);
            TestImage s(format_of(kind.bpp), src_pos.x + width, src_pos.y + height, code & 1);
            TestImage p(format_of(kind.bpp), pattern_width, pattern_height, code & 2);
            d.fill_random(random);
            s.fill_random(random);
            p.fill_random(random);
            const std::vector<uint32_t> before = d.pixels();

            if (kind.pattern) {
                do_rop3_with_pattern(uint8_t(code), d.get(), s.get(), &src_pos, p.get(), &pat_pos);
            } else {
                do_rop3_with_color(uint8_t(code), d.get(), s.get(), &src_pos, color);
            }

            const uint32_t mask = kind.bpp == 32 ? 0xFFFFFFFF : 0xFFFF;
            for (int y = 0; y < height; y++) {
                for (int x = 0; x < width; x++) {
                    const uint32_t pattern_pixel = kind.pattern
                                                       ? p.pixel(floor_mod(pat_pos.x + x, pattern_width),
                                                                 floor_mod(pat_pos.y + y, pattern_height))
                                                       : color & mask;
                    const uint32_t expected =
                        reference_rop3(uint8_t(code), pattern_pixel, s.pixel(src_pos.x + x, src_pos.y + y),
                                       before[size_t(y * width + x)], kind.bpp);
                    ASSERT_EQ(d.pixel(x, y), expected)
                        << kind_name(kind) << ", code " << code << ", pixel " << x << "," << y;
                }
            }
            ASSERT_TRUE(d.guards_intact()) << kind_name(kind) << ", code " << code;
        }
    }
}

TEST(Rop3, PatternAndSourceAreReadFromTheirPositions) {
    // 2x3 pattern at (1, 2), source at (1, 1), 3x2 destination: pixel (2, 1) takes pattern (1, 0), source (3,
    // 2).
    TestImage p(PIXMAN_x8r8g8b8, 2, 3);
    TestImage s(PIXMAN_x8r8g8b8, 4, 3);
    for (int y = 0; y < 3; y++) {
        for (int x = 0; x < 2; x++) {
            p.set_pixel(x, y, 0x100 * uint32_t(y) + uint32_t(x));
        }
        for (int x = 0; x < 4; x++) {
            s.set_pixel(x, y, 0x10000 * uint32_t(y) + uint32_t(x));
        }
    }
    const SpicePoint src_pos = {1, 1}, pat_pos = {1, 2};
    TestImage as_pattern(PIXMAN_x8r8g8b8, 3, 2);
    do_rop3_with_pattern(0xF0, as_pattern.get(), s.get(), &src_pos, p.get(), &pat_pos);
    EXPECT_EQ(as_pattern.pixel(2, 1), p.pixel(1, 0));
    TestImage as_source(PIXMAN_x8r8g8b8, 3, 2);
    do_rop3_with_pattern(0xCC, as_source.get(), s.get(), &src_pos, p.get(), &pat_pos);
    EXPECT_EQ(as_source.pixel(2, 1), s.pixel(3, 2));
}

TEST(Rop3, SixteenBitColourUsesItsLowHalfOnly) {
    TestImage d(PIXMAN_r5g6b5, 4, 2);
    TestImage s(PIXMAN_r5g6b5, 4, 2);
    d.fill_bytes(0x33);
    const SpicePoint origin = {0, 0};
    do_rop3_with_color(0xF0, d.get(), s.get(), &origin, 0xFFFF0000);
    for (uint32_t pixel : d.pixels()) {
        EXPECT_EQ(pixel, 0u);
    }
}

TEST(Rop3, DepthsCountAsTheirPixelWidth) {
    // x8r8g8b8 (depth 24) with a8r8g8b8 (32), and x1r5g5b5 (15) with r5g6b5 (16), go together.
    const struct {
        pixman_format_code_t dest, src;
        uint32_t expected;
    } cases[] = {{PIXMAN_x8r8g8b8, PIXMAN_a8r8g8b8, 0x96969696}, {PIXMAN_x1r5g5b5, PIXMAN_r5g6b5, 0x9696}};
    for (const auto& c : cases) {
        TestImage d(c.dest, 2, 2), s(c.src, 2, 2), p(c.src, 1, 1);
        d.fill_bytes(0xAA);
        s.fill_bytes(0xCC);
        p.fill_bytes(0xF0);
        const SpicePoint origin = {0, 0};
        do_rop3_with_pattern(0x96, d.get(), s.get(), &origin, p.get(), &origin);
        EXPECT_EQ(d.pixel(1, 1), c.expected);
    }
}

// Images the handlers cannot walk safely are refused and the destination stays as it was.
TEST(Rop3, UnusableImagesAreRefused) {
    const SpicePoint origin = {0, 0};
    const SpicePoint past = {1, 0};
    struct Case {
        const char* name;
        pixman_format_code_t src_format, pattern_format;
        int src_width, pattern_width;
        const SpicePoint* src_pos;
    };
    const Case cases[] = {
        {"16-bit source", PIXMAN_r5g6b5, PIXMAN_x8r8g8b8, 4, 1, &origin},
        {"16-bit pattern", PIXMAN_x8r8g8b8, PIXMAN_r5g6b5, 4, 1, &origin},
        {"empty pattern", PIXMAN_x8r8g8b8, PIXMAN_x8r8g8b8, 4, 0, &origin},
        {"source too small", PIXMAN_x8r8g8b8, PIXMAN_x8r8g8b8, 4, 1, &past},
    };
    for (const Case& c : cases) {
        TestImage d(PIXMAN_x8r8g8b8, 4, 2), s(c.src_format, c.src_width, 2),
            p(c.pattern_format, c.pattern_width, 1);
        d.fill_bytes(0x11);
        s.fill_bytes(0x22);
        p.fill_bytes(0x44);
        do_rop3_with_pattern(0xF0, d.get(), s.get(), c.src_pos, p.get(), &origin);
        for (uint32_t pixel : d.pixels()) {
            ASSERT_EQ(pixel, 0x11111111u) << c.name;
        }
    }

    TestImage d8(PIXMAN_a8, 4, 2), s8(PIXMAN_a8, 4, 2);
    d8.fill_bytes(0x11);
    do_rop3_with_color(0xFF, d8.get(), s8.get(), &origin, 0);
    for (uint32_t pixel : d8.pixels()) {
        EXPECT_EQ(pixel, 0x11u) << "8-bit images";
    }
}

}  // namespace
