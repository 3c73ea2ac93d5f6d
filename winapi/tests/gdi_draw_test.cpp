// BitBlt raster operations and conversions, AlphaBlend, FillRect and FrameRect, against per-pixel
// expectations.
#include "winapi/windows.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

// A memory DC with a top-down DIB selected.
struct Surface {
    Surface(LONG width, LONG height, WORD bits = 32, DWORD compression = BI_RGB, const DWORD* table = nullptr)
        : width(width), height(height) {
        struct {
            BITMAPINFOHEADER header;
            DWORD extra[3];
        } info = {};
        info.header.biSize = sizeof(BITMAPINFOHEADER);
        info.header.biWidth = width;
        info.header.biHeight = -height;
        info.header.biPlanes = 1;
        info.header.biBitCount = bits;
        info.header.biCompression = compression;
        if (table) {
            memcpy(info.extra, table, sizeof(info.extra));
        }
        dc = CreateCompatibleDC(nullptr);
        bitmap = CreateDIBSection(dc, (const BITMAPINFO*)&info, DIB_RGB_COLORS, (void**)&bytes, nullptr, 0);
        previous = SelectObject(dc, bitmap);
    }
    ~Surface() {
        SelectObject(dc, previous);
        DeleteObject(bitmap);
        DeleteDC(dc);
    }
    uint32_t& at(int x, int y) { return ((uint32_t*)bytes)[y * width + x]; }
    void fill(const std::function<uint32_t(int, int)>& value) {
        for (int y = 0; y < height; y++) {
            for (int x = 0; x < width; x++) {
                at(x, y) = value(x, y);
            }
        }
    }

    LONG width, height;
    HDC dc;
    HBITMAP bitmap;
    HGDIOBJ previous;
    uint8_t* bytes = nullptr;
};

uint32_t source_pattern(int x, int y) {
    return 0x12345678u * (uint32_t)(x + 3 * y + 1);
}
uint32_t dest_pattern(int x, int y) {
    return 0x9E3779B9u * (uint32_t)(7 * x + y + 5);
}

TEST(GdiDraw, BitBltAppliesEachRasterOperationToEveryBit) {
    const uint32_t brush_color = 0x00C0FFEE;  // COLORREF: blue C0, green FF, red EE
    const uint32_t p = 0xEEFFC0;              // as a pixel value, alpha 0
    struct Case {
        const char* name;
        DWORD rop;
        std::function<uint32_t(uint32_t, uint32_t)> expected;  // (source, destination)
    };
    const Case cases[] = {
        {"SRCCOPY", SRCCOPY, [](uint32_t s, uint32_t) { return s; }},
        {"SRCAND", SRCAND, [](uint32_t s, uint32_t d) { return s & d; }},
        {"SRCINVERT", SRCINVERT, [](uint32_t s, uint32_t d) { return s ^ d; }},
        {"SRCPAINT", SRCPAINT, [](uint32_t s, uint32_t d) { return s | d; }},
        {"SRCERASE", SRCERASE, [](uint32_t s, uint32_t d) { return s & ~d; }},
        {"NOTSRCCOPY", NOTSRCCOPY, [](uint32_t s, uint32_t) { return ~s; }},
        {"MERGEPAINT", MERGEPAINT, [](uint32_t s, uint32_t d) { return ~s | d; }},
        {"DSTINVERT", DSTINVERT, [](uint32_t, uint32_t d) { return ~d; }},
        {"BLACKNESS", BLACKNESS, [](uint32_t, uint32_t) { return 0u; }},
        {"WHITENESS", WHITENESS, [](uint32_t, uint32_t) { return 0xFFFFFFFFu; }},
        {"PATCOPY", PATCOPY, [=](uint32_t, uint32_t) { return p; }},
        {"PATINVERT", PATINVERT, [=](uint32_t, uint32_t d) { return p ^ d; }},
        {"MERGECOPY", MERGECOPY, [=](uint32_t s, uint32_t) { return p & s; }},
        {"PATPAINT", PATPAINT, [=](uint32_t s, uint32_t d) { return p | ~s | d; }},
        {"0xE2 (S ? P : D)", 0x00E20746, [=](uint32_t s, uint32_t d) { return (s & p) | (~s & d); }},
    };
    Surface src(5, 4), dest(5, 4);
    src.fill(source_pattern);
    HBRUSH brush = CreateSolidBrush(brush_color);
    HGDIOBJ old_brush = SelectObject(dest.dc, brush);
    for (const Case& c : cases) {
        dest.fill(dest_pattern);
        ASSERT_TRUE(BitBlt(dest.dc, 1, 1, 3, 2, src.dc, 0, 1, c.rop)) << c.name;
        for (int y = 0; y < 4; y++) {
            for (int x = 0; x < 5; x++) {
                bool inside = x >= 1 && x < 4 && y >= 1 && y < 3;
                uint32_t want =
                    inside ? c.expected(source_pattern(x - 1, y), dest_pattern(x, y)) : dest_pattern(x, y);
                ASSERT_EQ(dest.at(x, y), want) << c.name << " at " << x << "," << y;
            }
        }
    }
    SelectObject(dest.dc, old_brush);
    DeleteObject(brush);
}

TEST(GdiDraw, BitBltReadsOnlySourcePixelsThatExist) {
    Surface src(3, 3), dest(4, 4);
    src.fill([](int x, int y) { return 0x100u + (uint32_t)(x + 10 * y); });
    struct Case {
        int x, y, width, height, src_x, src_y;
    };
    const Case cases[] = {{-2, -2, 10, 10, 0, 0}, {2, 2, 5, 5, 0, 0},        {0, 0, 4, 4, -1, -1},
                          {0, 0, 4, 4, 2, 2},     {0, 0, 4, 4, 100, 0},      {1, 1, 0, 3, 0, 0},
                          {1, 1, -3, 3, 0, 0},    {INT32_MAX, 0, 4, 4, 0, 0}};
    for (const Case& c : cases) {
        dest.fill([](int, int) { return 7u; });
        ASSERT_TRUE(BitBlt(dest.dc, c.x, c.y, c.width, c.height, src.dc, c.src_x, c.src_y, SRCCOPY));
        for (int y = 0; y < 4; y++) {
            for (int x = 0; x < 4; x++) {
                int sx = x - c.x + c.src_x, sy = y - c.y + c.src_y;
                bool inside = (int64_t)x - c.x >= 0 && (int64_t)x - c.x < c.width && (int64_t)y - c.y >= 0 &&
                              (int64_t)y - c.y < c.height && sx >= 0 && sx < 3 && sy >= 0 && sy < 3;
                ASSERT_EQ(dest.at(x, y), inside ? 0x100u + (uint32_t)(sx + 10 * sy) : 7u)
                    << "case x " << c.x << " src " << c.src_x << " at " << x << "," << y;
            }
        }
    }
}

TEST(GdiDraw, BitBltWithinOneBitmapScrollsWithoutSmearing) {
    for (int shift : {1, -1}) {
        for (DWORD rop : {SRCCOPY, SRCINVERT}) {
            Surface s(3, 5);
            s.fill([](int x, int y) { return (uint32_t)(10 * y + x); });
            ASSERT_TRUE(BitBlt(s.dc, 0, shift > 0 ? 1 : 0, 3, 4, s.dc, 0, shift > 0 ? 0 : 1, rop));
            for (int y = 0; y < 5; y++) {
                int from = y - shift;
                bool moved = from >= 0 && from < 5;
                uint32_t old_value = (uint32_t)(10 * y + 1);
                uint32_t want = !moved           ? old_value
                                : rop == SRCCOPY ? (uint32_t)(10 * from + 1)
                                                 : (uint32_t)(10 * from + 1) ^ old_value;
                EXPECT_EQ(s.at(1, y), want) << "shift " << shift << " rop " << rop << " row " << y;
            }
        }
    }
}

TEST(GdiDraw, MonochromeConversionsUseTheDcColours) {
    // A device-dependent monochrome bitmap: 1 becomes the destination's background colour, 0 its text colour.
    HDC mono_dc = CreateCompatibleDC(nullptr);
    HBITMAP mono = CreateCompatibleBitmap(mono_dc, 2, 1);
    HGDIOBJ previous = SelectObject(mono_dc, mono);
    Surface colour(2, 1);
    colour.at(0, 0) = 0x00FF00;  // the source DC's background colour: becomes 1
    colour.at(1, 0) = 0x0000FF;
    SetBkColor(colour.dc, RGB(0, 0xFF, 0));
    ASSERT_TRUE(BitBlt(mono_dc, 0, 0, 2, 1, colour.dc, 0, 0, SRCCOPY));

    Surface back(2, 1);
    SetBkColor(back.dc, RGB(1, 2, 3));
    SetTextColor(back.dc, RGB(4, 5, 6));
    ASSERT_TRUE(BitBlt(back.dc, 0, 0, 2, 1, mono_dc, 0, 0, SRCCOPY));
    EXPECT_EQ(back.at(0, 0), 0x010203u);
    EXPECT_EQ(back.at(1, 0), 0x040506u);
    SelectObject(mono_dc, previous);
    DeleteObject(mono);
    DeleteDC(mono_dc);
}

TEST(GdiDraw, SixteenBitDestinationsConvertAndKeepRopsInTheirOwnBits) {
    const DWORD masks565[3] = {0xF800, 0x07E0, 0x001F};
    Surface dest(2, 1, 16, BI_BITFIELDS, masks565);
    Surface src(2, 1);
    src.at(0, 0) = 0xFF8040;
    src.at(1, 0) = 0xFFFFFF;
    ASSERT_TRUE(BitBlt(dest.dc, 0, 0, 2, 1, src.dc, 0, 0, SRCCOPY));
    uint16_t* words = (uint16_t*)dest.bytes;
    EXPECT_EQ(words[0], (0x1F << 11) | (0x20 << 5) | 0x08);
    EXPECT_EQ(words[1], 0xFFFF);
    ASSERT_TRUE(BitBlt(dest.dc, 0, 0, 2, 1, nullptr, 0, 0, DSTINVERT));
    EXPECT_EQ(words[1], 0x0000) << "no source needed, none given";
}

TEST(GdiDraw, AlphaBlendFollowsTheBlendFormula) {
    auto div255 = [](int v) { return (v + 127) / 255; };
    struct Case {
        const char* name;
        BYTE constant;
        BYTE format;
        uint32_t src;
    };
    const Case cases[] = {
        {"premultiplied, half", 255, AC_SRC_ALPHA, 0x80402000},
        {"premultiplied, opaque", 255, AC_SRC_ALPHA, 0xFF123456},
        {"premultiplied, clear", 255, AC_SRC_ALPHA, 0x00000000},
        {"premultiplied with constant", 128, AC_SRC_ALPHA, 0xC0604020},
        {"constant only", 64, 0, 0x00FF8000},
    };
    const uint32_t d = 0x40C0A060;
    for (const Case& c : cases) {
        Surface src(1, 1), dest(1, 1);
        src.at(0, 0) = c.src;
        dest.at(0, 0) = d;
        ASSERT_TRUE(
            AlphaBlend(dest.dc, 0, 0, 1, 1, src.dc, 0, 0, 1, 1, {AC_SRC_OVER, 0, c.constant, c.format}))
            << c.name;
        uint32_t got = dest.at(0, 0);
        for (int shift = 0; shift < 32; shift += 8) {
            int s = (int)(c.src >> shift & 0xFF), dc = (int)(d >> shift & 0xFF);
            int want;
            if (c.format == AC_SRC_ALPHA) {
                int sa = div255((int)(c.src >> 24) * c.constant);
                want = div255(s * c.constant) + div255(dc * (255 - sa));
            } else {
                want = div255(s * c.constant + dc * (255 - c.constant));
            }
            EXPECT_NEAR((int)(got >> shift & 0xFF), want, 1) << c.name << " byte " << shift / 8;
        }
    }
}

TEST(GdiDraw, AlphaBlendStretchesAndRefusesWhatWindowsRefuses) {
    Surface src(2, 2), dest(4, 4);
    src.fill([](int x, int y) { return 0xFF000000u | (uint32_t)(x + 2 * y + 1); });
    BLENDFUNCTION over = {AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
    ASSERT_TRUE(AlphaBlend(dest.dc, 0, 0, 4, 4, src.dc, 0, 0, 2, 2, over));
    EXPECT_EQ(dest.at(0, 0), 0xFF000001u);
    EXPECT_EQ(dest.at(1, 1), 0xFF000001u);
    EXPECT_EQ(dest.at(2, 1), 0xFF000002u);
    EXPECT_EQ(dest.at(3, 3), 0xFF000004u);

    const DWORD masks565[3] = {0xF800, 0x07E0, 0x001F};
    Surface rgb16(2, 2, 16, BI_BITFIELDS, masks565);
    EXPECT_FALSE(AlphaBlend(dest.dc, 0, 0, 2, 2, src.dc, 1, 0, 2, 2, over)) << "source outside its bitmap";
    EXPECT_FALSE(AlphaBlend(dest.dc, 0, 0, 2, 2, src.dc, -1, 0, 2, 2, over));
    EXPECT_FALSE(AlphaBlend(dest.dc, 0, 0, -2, 2, src.dc, 0, 0, 2, 2, over)) << "no mirroring";
    EXPECT_FALSE(AlphaBlend(dest.dc, 0, 0, 2, 2, rgb16.dc, 0, 0, 2, 2, over))
        << "per-pixel alpha needs 32 bits";
    EXPECT_FALSE(AlphaBlend(src.dc, 0, 0, 2, 2, src.dc, 1, 1, 1, 1, over)) << "overlap within one bitmap";
    EXPECT_TRUE(AlphaBlend(src.dc, 0, 0, 1, 1, src.dc, 1, 1, 1, 1, over));
    EXPECT_EQ(src.at(0, 0), 0xFF000004u);
    EXPECT_TRUE(AlphaBlend(dest.dc, 0, 0, 2, 2, rgb16.dc, 0, 0, 2, 2, {AC_SRC_OVER, 0, 128, 0}));
    EXPECT_TRUE(AlphaBlend(dest.dc, -3, -3, 8, 8, src.dc, 0, 0, 2, 2, over)) << "clipped to the destination";
}

TEST(GdiDraw, FillRectAndFrameRectPaintInsideTheRectangle) {
    Surface s(6, 5);
    HBRUSH brush = CreateSolidBrush(RGB(0xFF, 0, 0));
    RECT rect = {1, 1, 5, 4};
    ASSERT_TRUE(FrameRect(s.dc, &rect, brush));
    const char* frame[] = {"......", ".####.", ".#..#.", ".####.", "......"};
    for (int y = 0; y < 5; y++) {
        for (int x = 0; x < 6; x++) {
            EXPECT_EQ(s.at(x, y), frame[y][x] == '#' ? 0xFF0000u : 0u) << x << "," << y;
        }
    }
    RECT big = {-5, 2, 100, 3};
    ASSERT_TRUE(FillRect(s.dc, &big, brush));
    for (int x = 0; x < 6; x++) {
        EXPECT_EQ(s.at(x, 2), 0xFF0000u);
    }
    s.fill([](int, int) { return 0u; });
    RECT empty = {3, 3, 3, 5}, inverted = {4, 4, 2, 2};
    EXPECT_TRUE(FillRect(s.dc, &empty, brush));
    EXPECT_TRUE(FrameRect(s.dc, &inverted, brush));
    EXPECT_TRUE(FillRect(s.dc, &rect, (HBRUSH)GetStockObject(NULL_BRUSH)));
    for (int y = 0; y < 5; y++) {
        for (int x = 0; x < 6; x++) {
            EXPECT_EQ(s.at(x, y), 0u);
        }
    }
    EXPECT_FALSE(FillRect(s.dc, &rect, nullptr));
    DeleteObject(brush);
}

// ---- the ternary codes, brushes, clip regions, scaled, masked and keyed blits, pens and paths ----

// Bit k of a ternary code is the result for pattern bit, source bit, destination bit = the bits of k.
uint32_t ternary(uint32_t code, uint32_t p, uint32_t s, uint32_t d) {
    uint32_t out = 0;
    for (int bit = 0; bit < 32; bit++) {
        uint32_t k = (p >> bit & 1) << 2 | (s >> bit & 1) << 1 | (d >> bit & 1);
        out |= (code >> k & 1) << bit;
    }
    return out;
}

// Rows of characters as pixels: '.' is 0, any other character its value from the table.
void expect_image(Surface& s, const std::vector<const char*>& rows, const std::map<char, uint32_t>& values) {
    for (int y = 0; y < s.height; y++) {
        for (int x = 0; x < s.width; x++) {
            char c = rows[(size_t)y][x];
            uint32_t want = c == '.' ? 0u : values.at(c);
            EXPECT_EQ(s.at(x, y), want) << "at " << x << "," << y;
        }
    }
}

TEST(GdiTernary, EveryCodeOverPatternSourceAndDestination) {
    Surface src(4, 2), dest(4, 2), pattern(2, 1);
    pattern.fill([](int x, int) { return x ? 0x00F0F00Fu : 0x000FF0F0u; });
    HBRUSH brush = CreatePatternBrush(pattern.bitmap);
    ASSERT_NE(brush, nullptr);
    HGDIOBJ old_brush = SelectObject(dest.dc, brush);
    src.fill(source_pattern);
    for (uint32_t code = 0; code < 256; code++) {
        dest.fill(dest_pattern);
        DWORD rop = code << 16;
        bool uses_source = ((code >> 2 ^ code) & 0x33) != 0;
        if (uses_source) {
            ASSERT_TRUE(BitBlt(dest.dc, 0, 0, 4, 2, src.dc, 0, 0, rop));
            EXPECT_FALSE(PatBlt(dest.dc, 0, 0, 4, 2, rop)) << std::hex << code;
        } else {
            ASSERT_TRUE(PatBlt(dest.dc, 0, 0, 4, 2, rop));
        }
        for (int y = 0; y < 2; y++) {
            for (int x = 0; x < 4; x++) {
                // The 32-bit pattern pixel keeps its fourth byte: it is a copy of the bitmap's.
                uint32_t p = x % 2 ? 0x00F0F00Fu : 0x000FF0F0u;
                uint32_t want = ternary(code, p, uses_source ? source_pattern(x, y) : 0, dest_pattern(x, y));
                ASSERT_EQ(dest.at(x, y), want) << std::hex << "code " << code << " at " << x << "," << y;
            }
        }
    }
    SelectObject(dest.dc, old_brush);
    DeleteObject(brush);
}

TEST(GdiBrush, PatternRepeatsFromTheBrushOriginAndMonochromeTakesDcColours) {
    Surface pattern(3, 2), dest(6, 3);
    pattern.fill([](int x, int y) { return 1u + (uint32_t)x + 3u * (uint32_t)y; });
    HBRUSH brush = CreatePatternBrush(pattern.bitmap);
    pattern.fill([](int, int) { return 0xEEu; });  // the brush keeps its own copy
    SelectObject(dest.dc, brush);
    POINT previous = {9, 9};
    ASSERT_TRUE(SetBrushOrgEx(dest.dc, 1, -1, &previous));
    EXPECT_EQ(previous.x, 0);
    ASSERT_TRUE(PatBlt(dest.dc, 0, 0, 6, 3, PATCOPY));
    // Pattern pixel (0, 0) is at (1, -1): row 0 of the canvas is pattern row 1.
    expect_image(dest, {"645645", "312312", "645645"},
                 {{'1', 1}, {'2', 2}, {'3', 3}, {'4', 4}, {'5', 5}, {'6', 6}});
    SelectObject(dest.dc, GetStockObject(WHITE_BRUSH));
    DeleteObject(brush);

    // A monochrome pattern: 0 bits in the text colour, 1 bits in the background colour.
    HDC mono_dc = CreateCompatibleDC(nullptr);
    HBITMAP mono = CreateCompatibleBitmap(mono_dc, 2, 1);
    HGDIOBJ old = SelectObject(mono_dc, mono);
    PatBlt(mono_dc, 1, 0, 1, 1, WHITENESS);
    SelectObject(mono_dc, old);
    brush = CreatePatternBrush(mono);
    SelectObject(dest.dc, brush);
    SetBrushOrgEx(dest.dc, 0, 0, nullptr);
    SetTextColor(dest.dc, RGB(0x11, 0x22, 0x33));
    SetBkColor(dest.dc, RGB(0xAA, 0xBB, 0xCC));
    PatBlt(dest.dc, 0, 0, 4, 1, PATCOPY);
    EXPECT_EQ(dest.at(0, 0), 0x112233u);
    EXPECT_EQ(dest.at(1, 0), 0xAABBCCu);
    EXPECT_EQ(dest.at(2, 0), 0x112233u);
    SelectObject(dest.dc, GetStockObject(WHITE_BRUSH));
    DeleteObject(brush);
    DeleteObject(mono);
    DeleteDC(mono_dc);
}

TEST(GdiRegion, CombinedRegionsClipEveryDrawingCall) {
    HRGN a = CreateRectRgn(0, 0, 4, 3);
    HRGN b = CreateRectRgn(6, 4, 2, 2);  // corners ordered: (2, 2)-(6, 4)
    HRGN out = CreateRectRgn(0, 0, 0, 0);
    const struct {
        int mode;
        int type;
        std::vector<const char*> image;
    } cases[] = {
        {RGN_OR, COMPLEXREGION, {"####..", "####..", "######", "..####", "......"}},
        {RGN_AND, SIMPLEREGION, {"......", "......", "..##..", "......", "......"}},
        {RGN_XOR, COMPLEXREGION, {"####..", "####..", "##..##", "..####", "......"}},
        {RGN_DIFF, COMPLEXREGION, {"####..", "####..", "##....", "......", "......"}},
        {RGN_COPY, SIMPLEREGION, {"####..", "####..", "####..", "......", "......"}},
    };
    Surface dest(6, 5);
    for (const auto& c : cases) {
        ASSERT_EQ(CombineRgn(out, a, b, c.mode), c.type) << c.mode;
        ASSERT_NE(SelectClipRgn(dest.dc, out), RGN_ERROR);
        dest.fill([](int, int) { return 0u; });
        PatBlt(dest.dc, 0, 0, 6, 5, WHITENESS);
        expect_image(dest, c.image, {{'#', 0xFFFFFFFF}});
    }
    // The DC keeps its own copy; NULL removes the clip.
    CombineRgn(out, a, b, RGN_AND);
    SelectClipRgn(dest.dc, out);
    DeleteObject(out);
    dest.fill([](int, int) { return 0u; });
    Surface src(6, 5);
    src.fill([](int, int) { return 0x123456u; });
    BitBlt(dest.dc, 0, 0, 6, 5, src.dc, 0, 0, SRCCOPY);
    EXPECT_EQ(dest.at(2, 2), 0x123456u);
    EXPECT_EQ(dest.at(1, 2), 0u);
    EXPECT_EQ(CombineRgn(a, a, nullptr, RGN_OR), RGN_ERROR);
    EXPECT_EQ(SelectClipRgn(dest.dc, nullptr), SIMPLEREGION);
    PatBlt(dest.dc, 0, 0, 6, 5, BLACKNESS);
    EXPECT_EQ(dest.at(2, 2), 0u);
    DeleteObject(a);
    DeleteObject(b);
}

TEST(GdiStretch, ModesPickOrInterpolateAndNegativeSizesAreRefused) {
    Surface src(2, 1), dest(4, 2);
    src.fill([](int x, int) { return x ? 0x00FFFFFFu : 0x00000000u; });
    ASSERT_EQ(SetStretchBltMode(dest.dc, COLORONCOLOR), BLACKONWHITE);
    ASSERT_TRUE(StretchBlt(dest.dc, 0, 0, 4, 2, src.dc, 0, 0, 2, 1, SRCCOPY));
    for (int x = 0; x < 4; x++) {
        EXPECT_EQ(dest.at(x, 0) & 0xFFFFFF, x < 2 ? 0u : 0xFFFFFFu) << x;
        EXPECT_EQ(dest.at(x, 1), dest.at(x, 0)) << x;
    }
    // Halftone: the pixels next to the edge between black and white are in between.
    ASSERT_EQ(SetStretchBltMode(dest.dc, HALFTONE), COLORONCOLOR);
    ASSERT_TRUE(StretchBlt(dest.dc, 0, 0, 4, 2, src.dc, 0, 0, 2, 1, SRCCOPY));
    uint32_t left = dest.at(1, 0) & 0xFF, right = dest.at(2, 0) & 0xFF;
    EXPECT_GT(left, 0u);
    EXPECT_LT(left, right);
    EXPECT_LT(right, 0xFFu);
    // A shrink with a raster operation: every other source pixel (as the software canvas samples), inverted.
    Surface wide(4, 1), one(2, 1);
    wide.fill([](int x, int) { return 0x10u * (uint32_t)(x + 1); });
    SetStretchBltMode(one.dc, COLORONCOLOR);
    ASSERT_TRUE(StretchBlt(one.dc, 0, 0, 2, 1, wide.dc, 0, 0, 4, 1, NOTSRCCOPY));
    EXPECT_EQ(one.at(0, 0), ~0x10u);
    EXPECT_EQ(one.at(1, 0), ~0x30u);
    EXPECT_FALSE(StretchBlt(dest.dc, 4, 0, -4, 2, src.dc, 0, 0, 2, 1, SRCCOPY));
    EXPECT_EQ(SetStretchBltMode(dest.dc, 9), 0);
}

TEST(GdiMask, ForegroundWhereTheMaskIsSetBackgroundElsewhere) {
    Surface src(5, 3), dest(5, 3);
    src.fill([](int x, int y) { return 0x100u + (uint32_t)(x + 10 * y); });
    HDC mask_dc = CreateCompatibleDC(nullptr);
    HBITMAP mask = CreateCompatibleBitmap(mask_dc, 3, 2);  // monochrome, all 0
    HGDIOBJ old = SelectObject(mask_dc, mask);
    PatBlt(mask_dc, 0, 0, 1, 1, WHITENESS);
    PatBlt(mask_dc, 2, 1, 1, 1, WHITENESS);
    SelectObject(mask_dc, old);
    dest.fill([](int, int) { return 7u; });
    // The mask's corner lies at dest (1, 1): its set bits (0, 0) and (2, 1) fall on dest (1, 1) and (3, 2).
    ASSERT_TRUE(MaskBlt(dest.dc, 1, 1, 3, 2, src.dc, 0, 0, mask, 0, 0, MAKEROP4(SRCCOPY, 0x00AA0029)));
    expect_image(dest, {"77777", "7a777", "777b7"}, {{'7', 7}, {'a', 0x100}, {'b', 0x10C}});
    // Past the mask's edge the background code applies.
    dest.fill([](int, int) { return 7u; });
    ASSERT_TRUE(MaskBlt(dest.dc, 0, 0, 5, 1, src.dc, 0, 0, mask, 2, 1, MAKEROP4(SRCCOPY, BLACKNESS)));
    expect_image(dest, {"a....", "77777", "77777"}, {{'7', 7}, {'a', 0x100}});
    // The background code applies where the bits are clear.
    dest.fill([](int, int) { return 7u; });
    ASSERT_TRUE(MaskBlt(dest.dc, 0, 0, 2, 1, src.dc, 0, 0, mask, 0, 0, MAKEROP4(0x00AA0029, BLACKNESS)));
    EXPECT_EQ(dest.at(0, 0), 7u);
    EXPECT_EQ(dest.at(1, 0), 0u);
    // A colour bitmap is no mask.
    EXPECT_FALSE(MaskBlt(dest.dc, 0, 0, 2, 1, src.dc, 0, 0, src.bitmap, 0, 0, SRCCOPY));
    DeleteObject(mask);
    DeleteDC(mask_dc);
}

TEST(GdiTransparent, SkipsTheKeyColourWhenCopyingAndStretching) {
    Surface src(2, 2), dest(4, 2);
    src.fill([](int x, int y) { return (x + y) % 2 ? 0x00123456u : 0x00ABCDEFu; });
    dest.fill([](int, int) { return 5u; });
    ASSERT_TRUE(TransparentBlt(dest.dc, 0, 0, 4, 2, src.dc, 0, 0, 2, 2, RGB(0x12, 0x34, 0x56)));
    expect_image(dest, {"ab55", "55ab"}, {{'a', 0xABCDEF}, {'b', 0xABCDEF}, {'5', 5}});
    // On 16-bit pixels the key is compared in that format.
    const DWORD masks[3] = {0xF800, 0x07E0, 0x001F};
    Surface src16(2, 1, 16, BI_BITFIELDS, masks), dest32(2, 1);
    ((uint16_t*)src16.bytes)[0] = 0xF800;  // red
    ((uint16_t*)src16.bytes)[1] = 0x001F;  // blue
    ASSERT_TRUE(TransparentBlt(dest32.dc, 0, 0, 2, 1, src16.dc, 0, 0, 2, 1, RGB(0xFF, 0, 0)));
    EXPECT_EQ(dest32.at(0, 0), 0u);
    EXPECT_EQ(dest32.at(1, 0), 0xFFu);
}

TEST(GdiPen, LinesLeaveOutTheEndPointAndFollowStyleWidthAndMix) {
    Surface dest(8, 5);
    auto row = [&](int y) {
        std::string out;
        for (int x = 0; x < dest.width; x++) {
            out += dest.at(x, y) ? '#' : '.';
        }
        return out;
    };
    const struct {
        const char* name;
        HPEN pen;
        int y;
        const char* expected;
    } cases[] = {
        {"solid", CreatePen(PS_SOLID, 1, RGB(255, 255, 255)), 2, "#######."},
        {"null", CreatePen(PS_NULL, 1, RGB(255, 255, 255)), 2, "........"},
        {"user style 2 on 1 off", nullptr, 2, "##.##.##"},
    };
    LOGBRUSH white = {BS_SOLID, RGB(255, 255, 255), 0};
    DWORD style[] = {2, 1};
    for (const auto& c : cases) {
        dest.fill([](int, int) { return 0u; });
        HPEN pen = c.pen ? c.pen : ExtCreatePen(PS_COSMETIC | PS_USERSTYLE, 1, &white, 2, style);
        ASSERT_NE(pen, nullptr) << c.name;
        HGDIOBJ old = SelectObject(dest.dc, pen);
        MoveToEx(dest.dc, 0, c.y, nullptr);
        ASSERT_TRUE(LineTo(dest.dc, 7 + (c.pen ? 0 : 1), c.y));
        EXPECT_EQ(row(c.y), c.expected) << c.name;
        SelectObject(dest.dc, old);
        DeleteObject(pen);
    }
    // A width of 3 draws a square of side 3 round each pixel.
    dest.fill([](int, int) { return 0u; });
    HPEN wide = CreatePen(PS_SOLID, 3, RGB(255, 255, 255));
    HGDIOBJ old = SelectObject(dest.dc, wide);
    MoveToEx(dest.dc, 2, 2, nullptr);
    LineTo(dest.dc, 5, 2);
    EXPECT_EQ(row(0), "........");
    EXPECT_EQ(row(1), ".#####..");
    EXPECT_EQ(row(2), ".#####..");
    EXPECT_EQ(row(3), ".#####..");
    SelectObject(dest.dc, old);
    DeleteObject(wide);
    // Mixes: XOR twice restores, NOT inverts whatever the pen, NOP leaves all.
    dest.fill([](int x, int) { return 0x10u * (uint32_t)x; });
    HPEN pen = CreatePen(PS_SOLID, 1, RGB(0x0F, 0, 0));
    SelectObject(dest.dc, pen);
    EXPECT_EQ(SetROP2(dest.dc, R2_XORPEN), R2_COPYPEN);
    MoveToEx(dest.dc, 0, 0, nullptr);
    LineTo(dest.dc, 4, 0);
    EXPECT_EQ(dest.at(1, 0), 0x10u ^ 0x0F0000u);
    MoveToEx(dest.dc, 0, 0, nullptr);
    LineTo(dest.dc, 4, 0);
    EXPECT_EQ(dest.at(1, 0), 0x10u);
    SetROP2(dest.dc, R2_NOT);
    MoveToEx(dest.dc, 0, 0, nullptr);
    LineTo(dest.dc, 2, 0);
    EXPECT_EQ(dest.at(1, 0), ~0x10u);
    SetROP2(dest.dc, R2_NOP);
    MoveToEx(dest.dc, 0, 0, nullptr);
    LineTo(dest.dc, 4, 0);
    EXPECT_EQ(dest.at(3, 0), 0x30u);
    EXPECT_EQ(SetROP2(dest.dc, 17), 0);
    SelectObject(dest.dc, GetStockObject(BLACK_PEN));
    DeleteObject(pen);
    EXPECT_EQ(ExtCreatePen(PS_COSMETIC | PS_USERSTYLE, 1, &white, 0, style), nullptr);
    EXPECT_EQ(ExtCreatePen(PS_COSMETIC | PS_SOLID, 2, &white, 0, nullptr), nullptr);
}

TEST(GdiPath, StrokedFiguresCurvesAndRefusals) {
    Surface dest(8, 6);
    HPEN pen = CreatePen(PS_SOLID, 1, RGB(255, 255, 255));
    SelectObject(dest.dc, pen);
    // A closed figure: all four sides, every corner drawn.
    ASSERT_TRUE(BeginPath(dest.dc));
    MoveToEx(dest.dc, 1, 1, nullptr);
    LineTo(dest.dc, 6, 1);
    LineTo(dest.dc, 6, 4);
    LineTo(dest.dc, 1, 4);
    ASSERT_TRUE(CloseFigure(dest.dc));
    EXPECT_EQ(dest.at(1, 1), 0u);  // nothing is drawn while the path is recorded
    ASSERT_TRUE(EndPath(dest.dc));
    ASSERT_TRUE(StrokePath(dest.dc));
    expect_image(dest, {"........", ".######.", ".#....#.", ".#....#.", ".######.", "........"},
                 {{'#', 0xFFFFFF}});
    // The path is gone once stroked; stroking needs an ended path.
    EXPECT_FALSE(StrokePath(dest.dc));
    BeginPath(dest.dc);
    EXPECT_FALSE(StrokePath(dest.dc));
    // A curve whose control points lie on its line is that line.
    dest.fill([](int, int) { return 0u; });
    MoveToEx(dest.dc, 0, 3, nullptr);
    POINT curve[] = {{2, 3}, {5, 3}, {7, 3}};
    ASSERT_TRUE(PolyBezierTo(dest.dc, curve, 3));
    EXPECT_FALSE(PolyBezierTo(dest.dc, curve, 2));
    ASSERT_TRUE(EndPath(dest.dc));
    ASSERT_TRUE(StrokePath(dest.dc));
    expect_image(dest, {"........", "........", "........", "#######.", "........", "........"},
                 {{'#', 0xFFFFFF}});
    // A bent curve stays within its control polygon and reaches its end point's neighbour.
    dest.fill([](int, int) { return 0u; });
    BeginPath(dest.dc);
    MoveToEx(dest.dc, 0, 5, nullptr);
    POINT bent[] = {{0, 0}, {7, 0}, {7, 5}};
    PolyBezierTo(dest.dc, bent, 3);
    EndPath(dest.dc);
    StrokePath(dest.dc);
    EXPECT_EQ(dest.at(0, 5), 0xFFFFFFu);
    EXPECT_EQ(dest.at(7, 5), 0u);
    EXPECT_EQ(dest.at(7, 4), 0xFFFFFFu);
    EXPECT_EQ(dest.at(3, 5), 0u);
    SelectObject(dest.dc, GetStockObject(BLACK_PEN));
    DeleteObject(pen);
}

TEST(GdiAlpha, AlphaBlendKeepsToTheClip) {
    Surface src(4, 1), dest(4, 1);
    src.fill([](int, int) { return 0xFFFFFFFFu; });
    HRGN region = CreateRectRgn(1, 0, 3, 1);
    SelectClipRgn(dest.dc, region);
    DeleteObject(region);
    BLENDFUNCTION blend = {AC_SRC_OVER, 0, 0xFF, AC_SRC_ALPHA};
    ASSERT_TRUE(AlphaBlend(dest.dc, 0, 0, 4, 1, src.dc, 0, 0, 4, 1, blend));
    EXPECT_EQ(dest.at(0, 0), 0u);
    EXPECT_EQ(dest.at(1, 0), 0xFFFFFFFFu);
    EXPECT_EQ(dest.at(2, 0), 0xFFFFFFFFu);
    EXPECT_EQ(dest.at(3, 0), 0u);
}

}  // namespace
