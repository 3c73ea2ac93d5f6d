// BitBlt raster operations and conversions, AlphaBlend, FillRect and FrameRect, against per-pixel
// expectations.
#include "winapi/windows.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
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

}  // namespace
