// The LZ decoder against streams from the test encoder and hand-made streams: every type and output it
// accepts, every length and distance code, the stream's edge cases, and the damaged streams a server could
// send.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "codecs/lz.h"
#include "support/lz_encoder.h"

namespace {

// ---- Harness ----

// The call-back record with the test's state behind it. error keeps the message and returns, so the decoder's
// own -1 is what ends the call.
struct TestUsr {
    LzUsrContext usr;
    std::vector<std::vector<uint8_t>> more;  // handed out by more_space, in order
    size_t next = 0;
    int more_calls = 0;
    std::string error;
};

void keep_error(LzUsrContext* usr, const char* fmt, ...) {
    char text[256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof(text), fmt, ap);
    va_end(ap);
    TestUsr* t = reinterpret_cast<TestUsr*>(usr);
    if (t->error.empty()) {
        t->error = text;
    }
}
void ignore(LzUsrContext*, const char*, ...) {}
void* test_malloc(LzUsrContext*, size_t size) {
    return malloc(size);
}
void test_free(LzUsrContext*, void* p) {
    free(p);
}
int test_more_space(LzUsrContext* usr, uint8_t** io_ptr) {
    TestUsr* t = reinterpret_cast<TestUsr*>(usr);
    t->more_calls++;
    if (t->next == t->more.size()) {
        return 0;
    }
    std::vector<uint8_t>& piece = t->more[t->next++];
    *io_ptr = piece.data();
    return int(piece.size());
}

TestUsr make_usr() {
    TestUsr t;
    // more_lines stays NULL: the decoder never calls it.
    t.usr = LzUsrContext{keep_error, ignore, ignore, test_malloc, test_free, test_more_space, nullptr};
    return t;
}

struct Palette {
    explicit Palette(std::vector<uint32_t> entries) : ents(std::move(entries)) {
        plt.unique = 1;
        plt.num_ents = uint16_t(ents.size());
        plt.ents = ents.data();
    }
    std::vector<uint32_t> ents;
    SpicePalette plt;
};

// Bytes per pixel of an output type, and packed bytes for a palette type decoded to itself.
unsigned out_bytes(unsigned to_type) {
    switch (to_type) {
        case LZ_IMAGE_TYPE_RGB16:
            return 2;
        case LZ_IMAGE_TYPE_RGB24:
            return 3;
        case LZ_IMAGE_TYPE_RGB32:
        case LZ_IMAGE_TYPE_RGBA:
        case LZ_IMAGE_TYPE_XXXA:
            return 4;
        default:
            return 1;
    }
}

struct LzRun {
    int begin_rc = -2;
    int decode_rc = -2;
    LzImageType type = LZ_IMAGE_TYPE_INVALID;
    int width = 0, height = 0, n_pixels = 0, top_down = 0;
    std::vector<uint8_t> out;
    std::string error;
    int more_calls = 0;
};

// Begins and decodes stream as to_type into a buffer of exactly the image's size (prefilled with fill), the
// stream handed over in pieces of piece bytes (0: all at once).
LzRun lz_run(const std::vector<uint8_t>& stream, unsigned to_type, const SpicePalette* plt = nullptr,
             size_t piece = 0, uint8_t fill = 0xEE, int64_t buffer_bytes = -1) {
    TestUsr t = make_usr();
    std::vector<uint8_t> first = stream;
    if (piece) {
        first.assign(stream.begin(), stream.begin() + std::min(piece, stream.size()));
        for (size_t at = first.size(); at < stream.size(); at += piece) {
            t.more.emplace_back(stream.begin() + at, stream.begin() + std::min(at + piece, stream.size()));
        }
    }
    LzRun r;
    LzContext* lz = lz_create(&t.usr);
    EXPECT_NE(lz, nullptr);
    r.begin_rc = lz_decode_begin(lz, first.data(), unsigned(first.size()), &r.type, &r.width, &r.height,
                                 &r.n_pixels, &r.top_down, plt);
    if (r.begin_rc == 0) {
        uint64_t size = uint64_t(r.n_pixels) * out_bytes(to_type);
        if (lz_is_plt_type(r.type) && to_type == unsigned(r.type)) {
            size = uint64_t(r.n_pixels) / lz_plt_pixels_per_byte(r.type);
        }
        r.out.assign(buffer_bytes >= 0 ? size_t(buffer_bytes) : size_t(size), fill);
        r.decode_rc = lz_decode(lz, LzImageType(to_type), r.out.data(), r.out.size());
    }
    lz_destroy(lz);
    r.error = t.error;
    r.more_calls = t.more_calls;
    return r;
}

std::vector<uint8_t> cat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// An RGB32 stream of width x 1 with the given body.
std::vector<uint8_t> rgb32_stream(uint32_t width, const std::vector<uint8_t>& body) {
    return cat(lz_header(LZ_IMAGE_TYPE_RGB32, width, 1, width * 4, 1), body);
}

uint32_t px(const std::vector<uint8_t>& out, size_t i) {
    return out[4 * i] | out[4 * i + 1] << 8 | out[4 * i + 2] << 16 | uint32_t(out[4 * i + 3]) << 24;
}

uint8_t widen(unsigned v) {
    return uint8_t((v << 3) | (v >> 2));
}

// ---- Reference conversion, pixel by pixel ----

// What decoding units of `type` as to_type must give. alpha: the alpha plane of RGBA/XXXA; colour_before: the
// buffer's bytes before an XXXA decode.
std::vector<uint8_t> expected_output(unsigned type, unsigned to_type, const std::vector<uint8_t>& units,
                                     const std::vector<uint8_t>& alpha, const Palette* palette,
                                     uint8_t fill) {
    std::vector<uint8_t> out;
    auto entry = [&](unsigned index) {
        uint32_t v = palette->ents[index < palette->ents.size() ? index : 0];
        out.insert(out.end(), {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), 0});
    };
    if (lz_is_plt_type(type) && to_type == type) {
        return units;
    }
    switch (type) {
        case LZ_IMAGE_TYPE_PLT1_LE:
        case LZ_IMAGE_TYPE_PLT1_BE:
            for (uint8_t b : units) {
                for (int i = 0; i < 8; i++) {
                    entry(type == LZ_IMAGE_TYPE_PLT1_LE ? (b >> i) & 1 : (b >> (7 - i)) & 1);
                }
            }
            break;
        case LZ_IMAGE_TYPE_PLT4_LE:
        case LZ_IMAGE_TYPE_PLT4_BE:
            for (uint8_t b : units) {
                unsigned first = type == LZ_IMAGE_TYPE_PLT4_LE ? b & 15 : b >> 4;
                unsigned second = type == LZ_IMAGE_TYPE_PLT4_LE ? b >> 4 : b & 15;
                entry(first % palette->ents.size());
                entry(second % palette->ents.size());
            }
            break;
        case LZ_IMAGE_TYPE_PLT8:
            for (uint8_t b : units) {
                entry(b);
            }
            break;
        case LZ_IMAGE_TYPE_RGB16:
            for (size_t i = 0; i < units.size(); i += 2) {
                unsigned w = units[i] << 8 | units[i + 1];
                if (to_type == LZ_IMAGE_TYPE_RGB16) {
                    out.insert(out.end(), {uint8_t(w), uint8_t(w >> 8)});
                } else {
                    out.insert(out.end(), {widen(w & 31), widen((w >> 5) & 31), widen((w >> 10) & 31), 0});
                }
            }
            break;
        case LZ_IMAGE_TYPE_RGB24:
        case LZ_IMAGE_TYPE_RGB32:
        case LZ_IMAGE_TYPE_RGBA:
            for (size_t i = 0; i < units.size(); i += 3) {
                out.insert(out.end(), units.begin() + i, units.begin() + i + 3);
                if (to_type != LZ_IMAGE_TYPE_RGB24) {
                    out.push_back(type == LZ_IMAGE_TYPE_RGBA ? alpha[i / 3] : 0);
                }
            }
            break;
        case LZ_IMAGE_TYPE_XXXA:
            for (uint8_t a : alpha) {
                out.insert(out.end(), {fill, fill, fill, a});
            }
            break;
        case LZ_IMAGE_TYPE_A8:
            for (uint8_t a : units) {
                if (to_type == LZ_IMAGE_TYPE_A8) {
                    out.push_back(a);
                } else {
                    out.insert(out.end(), {0, 0, 0, a});
                }
            }
            break;
    }
    return out;
}

// n units of unit_bytes: stretches of random units, runs of one unit and copies of earlier stretches, so that
// literals and back-references of many lengths and distances both occur.
std::vector<uint8_t> mixed_units(size_t n, unsigned unit_bytes, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> u;
    while (u.size() < n * unit_bytes) {
        size_t len = (1 + rng() % 40) * unit_bytes;
        switch (rng() % 3) {
            case 0:
                for (size_t i = 0; i < len; i++) {
                    u.push_back(uint8_t(rng()));
                }
                break;
            case 1: {
                std::vector<uint8_t> one(unit_bytes);
                for (uint8_t& b : one) {
                    b = uint8_t(rng());
                }
                for (size_t i = 0; i < len; i += unit_bytes) {
                    u.insert(u.end(), one.begin(), one.end());
                }
                break;
            }
            default:
                if (u.size() >= len) {
                    size_t from = (rng() % (u.size() / unit_bytes - len / unit_bytes + 1)) * unit_bytes;
                    for (size_t i = 0; i < len; i++) {
                        u.push_back(u[from + i]);
                    }
                }
                break;
        }
    }
    u.resize(n * unit_bytes);
    return u;
}

// ---- Header ----

TEST(LzHeader, ReportsItsFields) {
    // PLT4: 2 pixels per byte, so a stride of 3 bytes makes rows of 6 pixels.
    LzRun r = lz_run(cat(lz_header(LZ_IMAGE_TYPE_PLT4_BE, 5, 7, 3, 1), std::vector<uint8_t>(7 * 4, 0)),
                     LZ_IMAGE_TYPE_PLT4_BE);
    ASSERT_EQ(r.begin_rc, 0) << r.error;
    EXPECT_EQ(r.type, LZ_IMAGE_TYPE_PLT4_BE);
    EXPECT_EQ(r.width, 5);
    EXPECT_EQ(r.height, 7);
    EXPECT_EQ(r.n_pixels, 6 * 7);
    EXPECT_EQ(r.top_down, 1);

    r = lz_run(cat(lz_header(LZ_IMAGE_TYPE_RGB16, 5, 7, 1, 0), {}), LZ_IMAGE_TYPE_RGB16);
    ASSERT_EQ(r.begin_rc, 0) << r.error;
    EXPECT_EQ(r.n_pixels, 35) << "the stride of a non-palette image counts for nothing";
    EXPECT_EQ(r.top_down, 0);

    // Palette rows may be padded to 4 bytes.
    r = lz_run(cat(lz_header(LZ_IMAGE_TYPE_PLT8, 5, 2, 8, 0), {}), LZ_IMAGE_TYPE_PLT8);
    ASSERT_EQ(r.begin_rc, 0) << r.error;
    EXPECT_EQ(r.n_pixels, 16);
}

TEST(LzHeader, RefusesBadHeaders) {
    struct Case {
        const char* what;
        std::vector<uint8_t> stream;
        const char* error;
    };
    std::vector<uint8_t> good = lz_header(LZ_IMAGE_TYPE_RGB32, 1, 1, 4, 0);
    std::vector<uint8_t> reversed_magic = good;
    reversed_magic[0] = 0x4C, reversed_magic[1] = 0x5A, reversed_magic[2] = 0x20, reversed_magic[3] = 0x20;
    std::vector<uint8_t> version2 = good;
    version2[7] = 0x02;
    const Case cases[] = {
        {"magic 4C 5A 20 20", reversed_magic, "bad magic\n"},
        {"version 0x00010002", version2, "bad version\n"},
        {"header one byte short", std::vector<uint8_t>(good.begin(), good.end() - 1),
         "decode: no more bytes\n"},
        {"empty", {}, "decode: no more bytes\n"},
        {"PLT8 rows narrower than the width", lz_header(LZ_IMAGE_TYPE_PLT8, 9, 1, 8, 0),
         "stride 8 does not fit"},
        {"PLT1 stride whose 8 pixels a byte wrap 32 bits",
         lz_header(LZ_IMAGE_TYPE_PLT1_LE, 1, 2, 0x20000000, 0), "stride 536870912 does not fit"},
        // 46 bytes that would otherwise make an image of 128 Mi pixels.
        {"PLT1 stride of 16 MiB for 2 x 1 pixels",
         cat(lz_header(LZ_IMAGE_TYPE_PLT1_LE, 2, 1, 1 << 24, 0), {0, 0}), "stride 16777216 does not fit"},
        {"PLT8 stride past the 4-byte alignment", lz_header(LZ_IMAGE_TYPE_PLT8, 5, 1, 9, 0),
         "stride 9 does not fit"},
        {"PLT4 stride past the 4-byte alignment", lz_header(LZ_IMAGE_TYPE_PLT4_LE, 9, 3, 9, 0),
         "stride 9 does not fit"},
        {"pixel count past INT32_MAX", lz_header(LZ_IMAGE_TYPE_RGB32, 65536, 32768, 0, 0), "image too large"},
    };
    for (const Case& c : cases) {
        LzRun r = lz_run(c.stream, LZ_IMAGE_TYPE_RGB32);
        EXPECT_EQ(r.begin_rc, -1) << c.what;
        EXPECT_EQ(r.error.rfind(c.error, 0), 0u) << c.what << ": " << r.error;
    }
}

// ---- Round trips ----

TEST(LzDecode, RoundTripsEveryTypeToEveryOutputItAccepts) {
    struct Case {
        unsigned type;
        unsigned to_type;
        unsigned palette_size;
    };
    const Case cases[] = {
        {LZ_IMAGE_TYPE_PLT1_LE, LZ_IMAGE_TYPE_PLT1_LE, 2},  {LZ_IMAGE_TYPE_PLT1_LE, LZ_IMAGE_TYPE_RGB32, 2},
        {LZ_IMAGE_TYPE_PLT1_BE, LZ_IMAGE_TYPE_PLT1_BE, 2},  {LZ_IMAGE_TYPE_PLT1_BE, LZ_IMAGE_TYPE_RGB32, 2},
        {LZ_IMAGE_TYPE_PLT4_LE, LZ_IMAGE_TYPE_PLT4_LE, 16}, {LZ_IMAGE_TYPE_PLT4_LE, LZ_IMAGE_TYPE_RGB32, 11},
        {LZ_IMAGE_TYPE_PLT4_BE, LZ_IMAGE_TYPE_PLT4_BE, 16}, {LZ_IMAGE_TYPE_PLT4_BE, LZ_IMAGE_TYPE_RGB32, 5},
        {LZ_IMAGE_TYPE_PLT8, LZ_IMAGE_TYPE_PLT8, 256},      {LZ_IMAGE_TYPE_PLT8, LZ_IMAGE_TYPE_RGB32, 200},
        {LZ_IMAGE_TYPE_RGB16, LZ_IMAGE_TYPE_RGB16, 0},      {LZ_IMAGE_TYPE_RGB16, LZ_IMAGE_TYPE_RGB32, 0},
        {LZ_IMAGE_TYPE_RGB24, LZ_IMAGE_TYPE_RGB24, 0},      {LZ_IMAGE_TYPE_RGB24, LZ_IMAGE_TYPE_RGB32, 0},
        {LZ_IMAGE_TYPE_RGB32, LZ_IMAGE_TYPE_RGB32, 0},      {LZ_IMAGE_TYPE_RGBA, LZ_IMAGE_TYPE_RGBA, 0},
        {LZ_IMAGE_TYPE_XXXA, LZ_IMAGE_TYPE_XXXA, 0},        {LZ_IMAGE_TYPE_A8, LZ_IMAGE_TYPE_A8, 0},
        {LZ_IMAGE_TYPE_A8, LZ_IMAGE_TYPE_RGB32, 0},
    };
    const uint32_t width = 37, height = 23;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << c.type << " to " << c.to_type);
        std::vector<uint32_t> entries(c.palette_size);
        for (size_t i = 0; i < entries.size(); i++) {
            entries[i] = uint32_t(0xA5000000u | (i * 0x010203u));  // a top byte the decoder must drop
        }
        Palette palette(entries);
        uint32_t stride = width * 4;
        std::vector<uint8_t> units, alpha, body;
        if (lz_is_plt_type(c.type)) {
            unsigned ppb = lz_plt_pixels_per_byte(c.type);
            stride = (width + ppb - 1) / ppb + 1;  // a spare byte per row, as a padded bitmap has
            units = mixed_units(size_t(stride) * height, 1, c.type);
            body = lz_encode_units(units, 1);
        } else if (c.type == LZ_IMAGE_TYPE_RGB16) {
            units = mixed_units(width * height, 2, c.type);
            body = lz_encode_units(units, 2);
        } else if (c.type == LZ_IMAGE_TYPE_A8 || c.type == LZ_IMAGE_TYPE_XXXA) {
            units = mixed_units(width * height, 1, c.type);
            if (c.type == LZ_IMAGE_TYPE_XXXA) {
                alpha = units;
            }
            body = lz_encode_units(units, 1);
        } else {
            units = mixed_units(width * height, 3, c.type);
            body = lz_encode_units(units, 3);
            if (c.type == LZ_IMAGE_TYPE_RGBA) {
                alpha = mixed_units(width * height, 1, 99);
                body = cat(body, lz_encode_units(alpha, 1));
            }
        }
        std::vector<uint8_t> stream = cat(lz_header(c.type, width, height, stride, 0), body);
        LzRun r = lz_run(stream, c.to_type, c.palette_size ? &palette.plt : nullptr);
        ASSERT_EQ(r.begin_rc, 0) << r.error;
        ASSERT_EQ(r.decode_rc, 0) << r.error;
        EXPECT_EQ(r.out, expected_output(c.type, c.to_type, units, alpha, &palette, 0xEE));
        EXPECT_LT(body.size(), units.size() + alpha.size()) << "the image should have compressed";
    }
}

// Planted copies in random pixels make the greedy encoder write the length and distance codes listed; the
// test checks that it did, then that the stream decodes to the pixels.
TEST(LzDecode, RoundTripsEveryLengthAndDistanceCode) {
    for (unsigned unit_bytes : {2u, 3u}) {
        SCOPED_TRACE(testing::Message() << unit_bytes << "-byte units");
        const uint64_t bias = unit_bytes == 2 ? 2 : 1;
        std::vector<uint64_t> lengths;  // length fields 0-5, then 6 with extensions ending at once, after one
                                        // 255, after two
        for (uint64_t f = 0; f <= 6; f++) {
            lengths.push_back(f + bias);
        }
        for (uint64_t ext : {254, 255, 600}) {
            lengths.push_back(6 + ext + bias);
        }
        std::vector<uint64_t> dists;  // every high part of the 13-bit form, then the 16-bit escape form
        for (uint64_t h = 0; h < 32; h++) {
            dists.push_back((h << 8) + (h == 31 ? 254 : 7) + 1);
        }
        for (uint64_t d : {8192, 30000, 73727}) {
            dists.push_back(d);
        }

        // Each copy's source is random data no other copy took, so the greedy encoder finds exactly that
        // match: the far copies reach back into a long random start, every other copy follows fresh random
        // data.
        std::vector<std::pair<uint64_t, uint64_t>> plants;  // length, distance
        for (uint64_t d : dists) {
            plants.emplace_back(bias + 3, d);
        }
        for (uint64_t len : lengths) {
            plants.emplace_back(len, 1000);
        }
        std::sort(plants.begin(), plants.end(), [](auto& a, auto& b) { return a.second > b.second; });
        std::mt19937 rng(7);
        std::vector<uint8_t> u;
        auto random_units = [&](uint64_t n) {
            for (uint64_t k = 0; k < n * unit_bytes; k++) {
                u.push_back(uint8_t(rng()));
            }
        };
        random_units(74000);
        for (const auto& plant : plants) {
            random_units(plant.second >= 8192 ? 5 : plant.first + plant.second + 5);
            size_t from = u.size() - plant.second * unit_bytes;
            for (size_t k = 0; k < plant.first * unit_bytes; k++) {
                u.push_back(u[from + k]);
            }
        }
        random_units(5);

        std::vector<LzMatch> matches;
        std::vector<uint8_t> body = lz_encode_units(u, unit_bytes, &matches);
        std::vector<bool> length_seen(lengths.size()), dist_seen(dists.size());
        for (const LzMatch& m : matches) {
            for (size_t i = 0; i < lengths.size(); i++) {
                length_seen[i] = length_seen[i] || m.len == lengths[i];
            }
            for (size_t i = 0; i < dists.size(); i++) {
                dist_seen[i] = dist_seen[i] || m.dist == dists[i];
            }
        }
        for (size_t i = 0; i < lengths.size(); i++) {
            EXPECT_TRUE(length_seen[i]) << "length " << lengths[i];
        }
        for (size_t i = 0; i < dists.size(); i++) {
            EXPECT_TRUE(dist_seen[i]) << "distance " << dists[i];
        }

        const uint32_t n = uint32_t(u.size() / unit_bytes);
        unsigned type = unit_bytes == 2 ? LZ_IMAGE_TYPE_RGB16 : LZ_IMAGE_TYPE_RGB24;
        LzRun r = lz_run(cat(lz_header(type, n, 1, 0, 0), body), type);
        ASSERT_EQ(r.decode_rc, 0) << r.error;
        EXPECT_EQ(r.out, expected_output(type, type, u, {}, nullptr, 0));
    }
}

TEST(LzDecode, InputInPiecesDecodesAsAWhole) {
    std::vector<uint8_t> units = mixed_units(300, 3, 5);
    std::vector<uint8_t> stream =
        cat(lz_header(LZ_IMAGE_TYPE_RGB32, 20, 15, 80, 0), lz_encode_units(units, 3));
    LzRun whole = lz_run(stream, LZ_IMAGE_TYPE_RGB32);
    ASSERT_EQ(whole.decode_rc, 0) << whole.error;
    for (size_t piece : {1, 2, 3, 5, 7, 64}) {
        LzRun r = lz_run(stream, LZ_IMAGE_TYPE_RGB32, nullptr, piece);
        ASSERT_EQ(r.decode_rc, 0) << piece << ": " << r.error;
        EXPECT_EQ(r.out, whole.out) << piece;
        EXPECT_GE(r.more_calls, int(stream.size() / piece)) << piece;
    }
}

// ---- Edge cases of the stream ----

TEST(LzDecode, DecodesTheStreamsEdgeCases) {
    struct Case {
        const char* what;
        std::vector<uint8_t> stream;
        unsigned to_type;
        std::vector<uint32_t> palette;
        std::vector<uint8_t> expected;
    };
    std::vector<uint8_t> p1 = {1, 2, 3, 0}, white = {255, 255, 255, 0};
    auto repeat = [](const std::vector<uint8_t>& v, size_t n) {
        std::vector<uint8_t> out;
        for (size_t i = 0; i < n; i++) {
            out.insert(out.end(), v.begin(), v.end());
        }
        return out;
    };
    std::vector<uint8_t> literal32 = {31};
    std::vector<uint8_t> pixels32;
    for (uint8_t i = 0; i < 32; i++) {
        literal32.insert(literal32.end(), {i, uint8_t(i + 1), uint8_t(i + 2)});
        pixels32.insert(pixels32.end(), {i, uint8_t(i + 1), uint8_t(i + 2), 0});
    }
    const std::vector<uint32_t> plt2 = {0x112233, 0x445566};
    const std::vector<uint8_t> e0 = {0x33, 0x22, 0x11, 0}, e1 = {0x66, 0x55, 0x44, 0};
    const Case cases[] = {
        {"control 0 is one literal", rgb32_stream(1, {0, 1, 2, 3}), LZ_IMAGE_TYPE_RGB32, {}, p1},
        {"control 31 is 32 literals", rgb32_stream(32, literal32), LZ_IMAGE_TYPE_RGB32, {}, pixels32},
        {"0x20 0x00 repeats one RGB32 pixel",
         rgb32_stream(2, {0, 1, 2, 3, 0x20, 0x00}),
         LZ_IMAGE_TYPE_RGB32,
         {},
         repeat(p1, 2)},
        {"0x20 0x00 repeats an RGB16 pixel twice",
         cat(lz_header(LZ_IMAGE_TYPE_RGB16, 3, 1, 0, 0), {0, 0x7F, 0xFF, 0x20, 0x00}),
         LZ_IMAGE_TYPE_RGB32,
         {},
         repeat(white, 3)},
        {"0x20 0x00 repeats a byte three times",
         cat(lz_header(LZ_IMAGE_TYPE_A8, 4, 1, 0, 0), {0, 9, 0x20, 0}),
         LZ_IMAGE_TYPE_A8,
         {},
         {9, 9, 9, 9}},
        {"0xE0 FF 05 00 is 266 + 1 at distance 1",
         rgb32_stream(268, {0, 1, 2, 3, 0xE0, 0xFF, 0x05, 0x00}),
         LZ_IMAGE_TYPE_RGB32,
         {},
         repeat(p1, 268)},
        {"PLT1_BE 0x80 is entry 1, then seven of entry 0",
         cat(lz_header(LZ_IMAGE_TYPE_PLT1_BE, 8, 1, 1, 0), {0, 0x80}), LZ_IMAGE_TYPE_RGB32, plt2,
         cat(e1, repeat(e0, 7))},
        {"PLT1_LE 0x80 is seven of entry 0, then entry 1",
         cat(lz_header(LZ_IMAGE_TYPE_PLT1_LE, 8, 1, 1, 0), {0, 0x80}), LZ_IMAGE_TYPE_RGB32, plt2,
         cat(repeat(e0, 7), e1)},
        {"PLT4 nibble 5 of a 4-entry palette is entry 1",
         cat(lz_header(LZ_IMAGE_TYPE_PLT4_BE, 2, 1, 1, 0), {0, 0x50}),
         LZ_IMAGE_TYPE_RGB32,
         {0x112233, 0x445566, 0x778899, 0xAABBCC},
         cat(e1, e0)},
        {"PLT8 index past the palette is entry 0", cat(lz_header(LZ_IMAGE_TYPE_PLT8, 2, 1, 2, 0), {1, 1, 7}),
         LZ_IMAGE_TYPE_RGB32, plt2, cat(e1, e0)},
        {"PLT1 set bit with one entry is entry 0",
         cat(lz_header(LZ_IMAGE_TYPE_PLT1_BE, 8, 1, 1, 0), {0, 0xFF}),
         LZ_IMAGE_TYPE_RGB32,
         {0x112233},
         repeat(e0, 8)},
        {"PLT4 back-reference counts pixels of the packed bytes",
         cat(lz_header(LZ_IMAGE_TYPE_PLT4_LE, 8, 1, 4, 0), {0, 0x10, 0x20, 0x00}), LZ_IMAGE_TYPE_RGB32, plt2,
         repeat(cat(e0, e1), 4)},
        {"RGB16 0x7FFF is white",
         cat(lz_header(LZ_IMAGE_TYPE_RGB16, 1, 1, 0, 0), {0, 0x7F, 0xFF}),
         LZ_IMAGE_TYPE_RGB32,
         {},
         white},
        {"RGBA: the alpha stream follows the colour stream",
         cat(lz_header(LZ_IMAGE_TYPE_RGBA, 2, 1, 8, 0), {1, 1, 2, 3, 4, 5, 6, 1, 0xA0, 0xB0}),
         LZ_IMAGE_TYPE_RGBA,
         {},
         {1, 2, 3, 0xA0, 4, 5, 6, 0xB0}},
        {"XXXA writes only the alpha bytes",
         cat(lz_header(LZ_IMAGE_TYPE_XXXA, 2, 1, 8, 0), {1, 0xA0, 0xB0}),
         LZ_IMAGE_TYPE_XXXA,
         {},
         {0xEE, 0xEE, 0xEE, 0xA0, 0xEE, 0xEE, 0xEE, 0xB0}},
        {"A8 to RGB32 is alpha over black",
         cat(lz_header(LZ_IMAGE_TYPE_A8, 1, 1, 0, 0), {0, 0x7A}),
         LZ_IMAGE_TYPE_RGB32,
         {},
         {0, 0, 0, 0x7A}},
    };
    for (const Case& c : cases) {
        Palette palette(c.palette);
        LzRun r = lz_run(c.stream, c.to_type, c.palette.empty() ? nullptr : &palette.plt);
        ASSERT_EQ(r.decode_rc, 0) << c.what << ": " << r.error;
        EXPECT_EQ(r.out, c.expected) << c.what;
    }
}

TEST(LzDecode, FarDistanceEscapeReachesPixel8448Back) {
    // 8448 literal pixels, then 0x3F FF 01 00: one pixel from 256 + 8191 + 1 back, i.e. pixel 0.
    std::vector<uint8_t> body;
    for (uint32_t i = 0; i < 8448; i += 32) {
        body.push_back(31);
        for (uint32_t k = i; k < i + 32; k++) {
            body.insert(body.end(), {uint8_t(k), uint8_t(k >> 8), 0x5A});
        }
    }
    body.insert(body.end(), {0x3F, 0xFF, 0x01, 0x00});
    LzRun r = lz_run(rgb32_stream(8449, body), LZ_IMAGE_TYPE_RGB32);
    ASSERT_EQ(r.decode_rc, 0) << r.error;
    EXPECT_EQ(px(r.out, 8448), px(r.out, 0));
    EXPECT_EQ(px(r.out, 8448), 0x005A0000u);
}

// ---- Refused requests and damaged streams ----

TEST(LzDecode, RefusesOutputsTheTypeDoesNotAccept) {
    struct Case {
        unsigned type;
        unsigned to_type;
        const char* error;
    };
    const Case cases[] = {
        {LZ_IMAGE_TYPE_RGB32, LZ_IMAGE_TYPE_RGB24, "unsupported output format\n"},
        {LZ_IMAGE_TYPE_PLT8, LZ_IMAGE_TYPE_RGB16, "unsupported output format\n"},
        {LZ_IMAGE_TYPE_PLT4_LE, LZ_IMAGE_TYPE_PLT4_BE, "unsupported output format\n"},
        {LZ_IMAGE_TYPE_RGBA, LZ_IMAGE_TYPE_RGB32, "unsupported output format\n"},
        {LZ_IMAGE_TYPE_XXXA, LZ_IMAGE_TYPE_RGBA, "unsupported output format\n"},
        {LZ_IMAGE_TYPE_INVALID, LZ_IMAGE_TYPE_RGB32, "bad image type\n"},
        {12, LZ_IMAGE_TYPE_RGB32, "bad image type\n"},
    };
    for (const Case& c : cases) {
        Palette palette({0x123456});
        LzRun r = lz_run(cat(lz_header(c.type, 1, 1, 1, 0), {0, 1, 2, 3}), c.to_type, &palette.plt);
        ASSERT_EQ(r.begin_rc, 0) << c.type << ": " << r.error;
        EXPECT_EQ(r.decode_rc, -1) << c.type << " to " << c.to_type;
        EXPECT_EQ(r.error, c.error) << c.type << " to " << c.to_type;
        EXPECT_EQ(r.out, std::vector<uint8_t>(r.out.size(), 0xEE)) << "nothing written";
    }
}

TEST(LzDecode, FailsDamagedStreamsWithoutWritingOutside) {
    struct Case {
        const char* what;
        std::vector<uint8_t> stream;
        const char* error;
        std::vector<uint32_t> palette;
        unsigned to_type = LZ_IMAGE_TYPE_RGB32;
    };
    const std::vector<uint8_t> one = {0, 1, 2, 3};
    const Case cases[] = {
        {"literal run past the end", rgb32_stream(1, {1, 1, 2, 3, 4, 5, 6}), "literal run past the end"},
        {"PLT1 literal of two bytes into one",
         cat(lz_header(LZ_IMAGE_TYPE_PLT1_BE, 4, 1, 1, 0), {1, 0x80, 0x80}),
         "literal run past the end",
         {1, 2}},
        {"back-reference past the end", rgb32_stream(2, {0, 1, 2, 3, 0x40, 0x00}), "reference past the end"},
        {"back-reference before the start", rgb32_stream(3, {0, 1, 2, 3, 0x20, 0x01}),
         "reference before the start"},
        {"back-reference first", rgb32_stream(1, {0x20, 0x00}), "reference before the start"},
        {"body ends inside a literal run", rgb32_stream(2, {1, 1, 2, 3, 4}), "decode: no more bytes\n"},
        {"body ends inside a length extension", rgb32_stream(300, cat(one, {0xE0, 0xFF})),
         "decode: no more bytes\n"},
        {"body ends before the distance escape", rgb32_stream(300, cat(one, {0x3F, 0xFF, 0x01})),
         "decode: no more bytes\n"},
        {"RGBA without its alpha stream",
         cat(lz_header(LZ_IMAGE_TYPE_RGBA, 1, 1, 4, 0), one),
         "decode: no more bytes\n",
         {},
         LZ_IMAGE_TYPE_RGBA},
        {"input left over after the image", rgb32_stream(1, {0, 1, 2, 3, 0}), "input left over"},
        {"palette image without a palette", cat(lz_header(LZ_IMAGE_TYPE_PLT8, 1, 1, 1, 0), {0, 0}),
         "a palette is missing (for bpp to rgb decoding)\n"},
        {"palette of no entries",
         cat(lz_header(LZ_IMAGE_TYPE_PLT4_LE, 2, 1, 1, 0), {0, 0x11}),
         "the palette has no entries\n",
         {}},
    };
    for (const Case& c : cases) {
        Palette palette(c.palette);
        bool with_palette = std::string(c.what).find("without a palette") == std::string::npos;
        LzRun r = lz_run(c.stream, c.to_type, with_palette ? &palette.plt : nullptr);
        ASSERT_EQ(r.begin_rc, 0) << c.what << ": " << r.error;
        EXPECT_EQ(r.decode_rc, -1) << c.what;
        EXPECT_EQ(r.error.rfind(c.error, 0), 0u) << c.what << ": " << r.error;
    }
}

TEST(LzDecode, RefusesABufferSmallerThanTheImage) {
    LzRun r = lz_run(rgb32_stream(2, {1, 1, 2, 3, 4, 5, 6}), LZ_IMAGE_TYPE_RGB32, nullptr, 0, 0xEE, 7);
    EXPECT_EQ(r.decode_rc, -1);
    EXPECT_EQ(r.error, "output buffer too small\n");
    EXPECT_EQ(r.out, std::vector<uint8_t>(7, 0xEE));
}

TEST(LzCreate, NeedsEveryCallBackButMoreLines) {
    for (int missing = 0; missing < 6; missing++) {
        TestUsr t = make_usr();
        void** slots = reinterpret_cast<void**>(&t.usr);
        slots[missing] = nullptr;
        EXPECT_EQ(lz_create(&t.usr), nullptr) << "call-back " << missing;
    }
    EXPECT_EQ(lz_create(nullptr), nullptr);
    TestUsr t = make_usr();
    ASSERT_EQ(t.usr.more_lines, nullptr);
    LzContext* lz = lz_create(&t.usr);
    EXPECT_NE(lz, nullptr) << "more_lines is never called, so it is not required";
    lz_destroy(lz);
}

}  // namespace
