// DIB sections in the supported formats, device contexts and the rules of selecting and deleting objects.
#include "winapi/windows.h"

#include "../src/gdi_dc.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

struct Info {
    BITMAPINFOHEADER header;
    DWORD extra[256];  // colour table or masks
};

Info dib_header(LONG width, LONG height, WORD bits, DWORD compression = BI_RGB) {
    Info info;
    memset(&info, 0, sizeof(info));
    info.header.biSize = sizeof(BITMAPINFOHEADER);
    info.header.biWidth = width;
    info.header.biHeight = height;
    info.header.biPlanes = 1;
    info.header.biBitCount = bits;
    info.header.biCompression = compression;
    return info;
}

HBITMAP make_dib(const Info& info, uint8_t** bits) {
    return CreateDIBSection(nullptr, (const BITMAPINFO*)&info, DIB_RGB_COLORS, (void**)bits, nullptr, 0);
}

// A memory DC with a 32-bit top-down DIB of width x height selected.
struct Canvas32 {
    Canvas32(LONG width, LONG height) : width(width) {
        dc = CreateCompatibleDC(nullptr);
        bitmap = make_dib(dib_header(width, -height, 32), (uint8_t**)&pixels);
        previous = SelectObject(dc, bitmap);
    }
    ~Canvas32() {
        SelectObject(dc, previous);
        DeleteObject(bitmap);
        DeleteDC(dc);
    }
    uint32_t& at(int x, int y) { return pixels[y * width + x]; }

    LONG width;
    HDC dc;
    HBITMAP bitmap;
    HGDIOBJ previous;
    uint32_t* pixels = nullptr;
};

struct FormatCase {
    const char* name;
    WORD bits;
    DWORD compression;
    DWORD masks[3];
    LONG stride;  // of a 3-pixel-wide image
    // The stored form of red, green, blue, white at (0,0), (1,0), (2,0), (0,1)
    std::vector<uint8_t> red, green, blue, white;
};

TEST(GdiBitmaps, EveryDibFormatRoundTripsThroughA32BitImage) {
    const FormatCase cases[] = {
        {"32-bit",
         32,
         BI_RGB,
         {},
         12,
         {0, 0, 0xFF, 0},
         {0, 0xFF, 0, 0},
         {0xFF, 0, 0, 0},
         {0xFF, 0xFF, 0xFF, 0}},
        {"5-5-5", 16, BI_RGB, {}, 8, {0x00, 0x7C}, {0xE0, 0x03}, {0x1F, 0x00}, {0xFF, 0x7F}},
        {"5-5-5 by masks",
         16,
         BI_BITFIELDS,
         {0x7C00, 0x03E0, 0x001F},
         8,
         {0x00, 0x7C},
         {0xE0, 0x03},
         {0x1F, 0x00},
         {0xFF, 0x7F}},
        {"5-6-5",
         16,
         BI_BITFIELDS,
         {0xF800, 0x07E0, 0x001F},
         8,
         {0x00, 0xF8},
         {0xE0, 0x07},
         {0x1F, 0x00},
         {0xFF, 0xFF}},
    };
    for (const FormatCase& c : cases) {
        for (bool top_down : {true, false}) {
            SCOPED_TRACE(std::string(c.name) + (top_down ? " top-down" : " bottom-up"));
            Info info = dib_header(3, top_down ? -2 : 2, c.bits, c.compression);
            memcpy(info.extra, c.masks, sizeof(c.masks));
            uint8_t* bits = nullptr;
            HBITMAP bitmap = make_dib(info, &bits);
            ASSERT_NE(bitmap, nullptr);
            ASSERT_NE(bits, nullptr);

            DIBSECTION section;
            ASSERT_EQ(GetObjectW(bitmap, sizeof(section), &section), (int)sizeof(section));
            EXPECT_EQ(section.dsBm.bmBits, bits);
            EXPECT_EQ(section.dsBm.bmWidthBytes, c.stride);
            EXPECT_EQ(section.dsBm.bmBitsPixel, c.bits);
            EXPECT_EQ(section.dsBmih.biHeight, top_down ? -2 : 2);

            // Row 0 of the image is the first in memory only when top-down.
            uint8_t* top = top_down ? bits : bits + c.stride;
            uint8_t* bottom = top_down ? bits + c.stride : bits;
            size_t bytes = c.bits / 8;
            memcpy(top, c.red.data(), bytes);
            memcpy(top + bytes, c.green.data(), bytes);
            memcpy(top + 2 * bytes, c.blue.data(), bytes);
            memcpy(bottom, c.white.data(), bytes);

            HDC dc = CreateCompatibleDC(nullptr);
            HGDIOBJ previous = SelectObject(dc, bitmap);
            Canvas32 canvas(3, 2);
            ASSERT_TRUE(BitBlt(canvas.dc, 0, 0, 3, 2, dc, 0, 0, SRCCOPY));
            EXPECT_EQ(canvas.at(0, 0) & 0xFFFFFF, 0xFF0000u);
            EXPECT_EQ(canvas.at(1, 0) & 0xFFFFFF, 0x00FF00u);
            EXPECT_EQ(canvas.at(2, 0) & 0xFFFFFF, 0x0000FFu);
            EXPECT_EQ(canvas.at(0, 1) & 0xFFFFFF, 0xFFFFFFu);

            // And back: the stored forms come out of the 32-bit image again.
            memset(bits, 0, (size_t)c.stride * 2);
            ASSERT_TRUE(BitBlt(dc, 0, 0, 3, 2, canvas.dc, 0, 0, SRCCOPY));
            EXPECT_EQ(std::vector<uint8_t>(top, top + bytes),
                      std::vector<uint8_t>(c.red.begin(), c.red.begin() + bytes));
            EXPECT_EQ(std::vector<uint8_t>(top + 2 * bytes, top + 3 * bytes),
                      std::vector<uint8_t>(c.blue.begin(), c.blue.begin() + bytes));
            EXPECT_EQ(std::vector<uint8_t>(bottom, bottom + bytes),
                      std::vector<uint8_t>(c.white.begin(), c.white.begin() + bytes));

            SelectObject(dc, previous);
            EXPECT_TRUE(DeleteObject(bitmap));
            DeleteDC(dc);
        }
    }
}

TEST(GdiBitmaps, MonochromeDibUsesItsColourTableWithBit7Leftmost) {
    Info info = dib_header(33, -1, 1);
    info.extra[0] = 0x000000FF;  // colour 0: blue
    info.extra[1] = 0x00FFFF00;  // colour 1: yellow
    uint8_t* bits = nullptr;
    HBITMAP bitmap = make_dib(info, &bits);
    ASSERT_NE(bitmap, nullptr);
    BITMAP plain;
    GetObjectW(bitmap, sizeof(plain), &plain);
    EXPECT_EQ(plain.bmWidthBytes, 8);  // 33 bits padded to 64
    bits[0] = 0x80;                    // pixel 0 set
    bits[4] = 0x80;                    // pixel 32 set

    HDC dc = CreateCompatibleDC(nullptr);
    HGDIOBJ previous = SelectObject(dc, bitmap);
    Canvas32 canvas(33, 1);
    ASSERT_TRUE(BitBlt(canvas.dc, 0, 0, 33, 1, dc, 0, 0, SRCCOPY));
    EXPECT_EQ(canvas.at(0, 0) & 0xFFFFFF, 0xFFFF00u);
    EXPECT_EQ(canvas.at(1, 0) & 0xFFFFFF, 0x0000FFu);
    EXPECT_EQ(canvas.at(32, 0) & 0xFFFFFF, 0xFFFF00u);

    // Colour into the table: each pixel takes the nearest entry.
    canvas.at(1, 0) = 0xF0F010;
    canvas.at(0, 0) = 0x000080;
    ASSERT_TRUE(BitBlt(dc, 0, 0, 2, 1, canvas.dc, 0, 0, SRCCOPY));
    EXPECT_EQ(bits[0] & 0xC0, 0x40);
    SelectObject(dc, previous);
    DeleteObject(bitmap);
    DeleteDC(dc);
}

TEST(GdiBitmaps, UnsupportedHeadersAreRefused) {
    struct Bad {
        const char* name;
        Info info;
    };
    Info planes = dib_header(4, 4, 32);
    planes.header.biPlanes = 2;
    Info masks = dib_header(4, 4, 16, BI_BITFIELDS);
    masks.extra[0] = 0xF000, masks.extra[1] = 0x0F00, masks.extra[2] = 0x00F0;
    Info small = dib_header(4, 4, 32);
    small.header.biSize = 12;
    const Bad cases[] = {
        {"4 bits", dib_header(4, 4, 4)},
        {"zero width", dib_header(0, 4, 32)},
        {"zero height", dib_header(4, 0, 32)},
        {"negative width", dib_header(-4, 4, 32)},
        {"run-length", dib_header(4, 4, 8, BI_RLE8)},
        {"two planes", planes},
        {"odd 16-bit masks", masks},
        {"short header", small},
        {"too large", dib_header(1 << 20, 1 << 20, 32)},
    };
    for (const Bad& c : cases) {
        uint8_t* bits = (uint8_t*)1;
        EXPECT_EQ(make_dib(c.info, &bits), nullptr) << c.name;
        EXPECT_EQ(bits, nullptr) << c.name;
    }
}

TEST(GdiBitmaps, SelectionFollowsTheWindowsRules) {
    HDC dc = CreateCompatibleDC(nullptr);
    ASSERT_NE(dc, nullptr);
    HGDIOBJ initial = GetCurrentObject(dc, OBJ_BITMAP);
    BITMAP info;
    ASSERT_EQ(GetObjectW(initial, sizeof(info), &info), (int)sizeof(BITMAP));
    EXPECT_EQ(info.bmWidth, 1);
    EXPECT_EQ(info.bmBitsPixel, 1) << "a new memory DC holds a 1x1 monochrome bitmap";
    HBITMAP mono = CreateCompatibleBitmap(dc, 8, 8);
    GetObjectW(mono, sizeof(info), &info);
    EXPECT_EQ(info.bmBitsPixel, 1);
    EXPECT_EQ(info.bmWidthBytes, 2) << "device-dependent rows are padded to 16 bits";

    uint8_t* bits;
    HBITMAP dib = make_dib(dib_header(4, 4, 32), &bits);
    EXPECT_EQ(SelectObject(dc, dib), initial);
    EXPECT_EQ(GetCurrentObject(dc, OBJ_BITMAP), dib);
    HBITMAP color = CreateCompatibleBitmap(dc, 8, 8);
    GetObjectW(color, sizeof(info), &info);
    EXPECT_EQ(info.bmBitsPixel, 32);
    EXPECT_EQ(info.bmBits, nullptr);

    HDC other = CreateCompatibleDC(dc);
    EXPECT_EQ(SelectObject(other, dib), nullptr) << "one DC at a time";
    EXPECT_FALSE(DeleteObject(dib)) << "still selected";
    EXPECT_EQ(SelectObject(dc, color), dib);
    EXPECT_EQ(SelectObject(other, dib), initial);
    EXPECT_TRUE(DeleteDC(other));
    EXPECT_TRUE(DeleteObject(dib)) << "deleting the DC lets go of its bitmap";

    HBRUSH brush = CreateSolidBrush(RGB(1, 2, 3));
    HGDIOBJ white = GetStockObject(WHITE_BRUSH);
    EXPECT_EQ(GetCurrentObject(dc, OBJ_BRUSH), white);
    EXPECT_EQ(SelectObject(dc, brush), white);
    EXPECT_EQ(SelectObject(dc, white), brush);
    EXPECT_TRUE(DeleteObject(brush));
    EXPECT_TRUE(DeleteObject(white)) << "stock objects are ignored";
    EXPECT_EQ(GetStockObject(WHITE_BRUSH), white);

    EXPECT_FALSE(DeleteObject((HGDIOBJ)dc)) << "a DC is deleted with DeleteDC";
    SelectObject(dc, initial);
    EXPECT_TRUE(DeleteObject(color));
    EXPECT_TRUE(DeleteObject(mono));
    EXPECT_TRUE(DeleteDC(dc));
    EXPECT_FALSE(DeleteDC(dc));
    EXPECT_EQ(SelectObject(dc, white), nullptr);
}

TEST(GdiBitmaps, GetBitmapBitsGivesRowsTopFirst) {
    uint8_t* bits;
    HBITMAP dib = make_dib(dib_header(2, 2, 32), &bits);  // bottom-up
    uint32_t stored[4] = {1, 2, 3, 4};                    // memory: bottom row, then top row
    memcpy(bits, stored, sizeof(stored));
    uint32_t out[4] = {};
    EXPECT_EQ(GetBitmapBits(dib, sizeof(out), out), (LONG)sizeof(out));
    EXPECT_EQ(out[0], 3u);
    EXPECT_EQ(out[3], 2u);
    uint32_t part[4] = {};
    EXPECT_EQ(GetBitmapBits(dib, 12, part), 12) << "a short buffer gets what fits";
    EXPECT_EQ(part[2], 1u);
    EXPECT_EQ(part[3], 0u);
    DeleteObject(dib);
    EXPECT_EQ(GetBitmapBits(dib, sizeof(out), out), 0);
}

TEST(GdiBitmaps, DcOverAnImageDrawsIntoItsOwnersMemory) {
    // The image of a bottom-up DIB stands for a window's back buffer.
    uint8_t* bits;
    HBITMAP dib = make_dib(dib_header(4, 2, 32), &bits);
    HDC memory_dc = CreateCompatibleDC(nullptr);
    SelectObject(memory_dc, dib);
    pixman_image_t* image = winapi_internal::dc_target_image(memory_dc);
    ASSERT_NE(image, nullptr);
    HDC fresh = CreateCompatibleDC(nullptr);
    EXPECT_EQ(winapi_internal::dc_target_image(fresh), nullptr) << "monochrome: no image";
    DeleteDC(fresh);

    HDC dc = winapi_internal::dc_create_over_image(image);
    ASSERT_NE(dc, nullptr);
    EXPECT_EQ(winapi_internal::dc_target_image(dc), image);
    HBRUSH brush = CreateSolidBrush(RGB(0x11, 0x22, 0x33));
    RECT rect = {1, 1, 3, 5};
    EXPECT_TRUE(FillRect(dc, &rect, brush));
    uint32_t* pixels = (uint32_t*)bits;  // the bottom row first
    EXPECT_EQ(pixels[1], 0x112233u);
    EXPECT_EQ(pixels[2], 0x112233u);
    EXPECT_EQ(pixels[3], 0u);
    EXPECT_EQ(pixels[4 + 1], 0u);

    EXPECT_EQ(SelectObject(dc, dib), nullptr) << "no bitmap goes into a DC over an image";
    EXPECT_FALSE(DeleteDC(dc));
    winapi_internal::dc_release(dc);
    EXPECT_EQ(winapi_internal::dc_target_image(dc), nullptr);
    EXPECT_EQ(winapi_internal::dc_create_over_image(nullptr), nullptr);
    DeleteDC(memory_dc);
    DeleteObject(dib);
    DeleteObject(brush);
}

}  // namespace
