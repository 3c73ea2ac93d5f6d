#include "winapi/windows.h"

#include "support/test_files.h"

#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <string>
#include <vector>

using test_support::TempDir;
using test_support::write_file;

namespace {

// Builds a .bmp file: headers, optional masks and colour table, then the rows exactly as given (file order).
struct BmpFile {
    int32_t width = 1;
    int32_t height = 1;
    uint16_t planes = 1;
    uint16_t bits = 24;
    uint32_t compression = BI_RGB;
    uint32_t header_size = 40;
    uint32_t colors_used = 0;
    std::vector<uint32_t> masks;    // written after a 40-byte header, or inside a longer one
    std::vector<uint32_t> palette;  // 0x00RRGGBB
    std::vector<uint8_t> rows;
    int64_t pixel_offset = -1;  // -1: right after the headers

    std::vector<uint8_t> build() const {
        std::vector<uint8_t> out;
        auto u16 = [&](uint16_t v) {
            out.push_back((uint8_t)v);
            out.push_back((uint8_t)(v >> 8));
        };
        auto u32 = [&](uint32_t v) {
            for (int i = 0; i < 4; i++) {
                out.push_back((uint8_t)(v >> (8 * i)));
            }
        };
        uint32_t tables = (uint32_t)((header_size == 40 ? masks.size() : 0) * 4 + palette.size() * 4);
        uint32_t offset = pixel_offset >= 0 ? (uint32_t)pixel_offset : 14 + header_size + tables;
        u16(0x4D42);
        u32(offset + (uint32_t)rows.size());
        u32(0);
        u32(offset);
        u32(header_size);
        u32((uint32_t)width);
        u32((uint32_t)height);
        u16(planes);
        u16(bits);
        u32(compression);
        u32((uint32_t)rows.size());
        u32(2835);
        u32(2835);
        u32(colors_used);
        u32(0);
        size_t extension = out.size();
        for (uint32_t m : masks) {
            u32(m);
        }
        if (header_size > 40) {
            out.resize(extension + header_size - 40, 0);
        }
        for (uint32_t c : palette) {
            u32(c);
        }
        if (pixel_offset < 0) {
            out.resize(offset, 0);
        }
        out.insert(out.end(), rows.begin(), rows.end());
        return out;
    }
};

class BitmapFileTest : public ::testing::Test {
protected:
    HBITMAP load(const std::vector<uint8_t>& bytes) {
        write_file(dir_.file("image.bmp"), bytes);
        return (HBITMAP)LoadImageA(nullptr, dir_.file("image.bmp").c_str(), IMAGE_BITMAP, 0, 0,
                                   LR_LOADFROMFILE);
    }

    // The pixels of a loaded bitmap, top row first; empty when it did not load.
    std::vector<uint32_t> pixels(const BmpFile& file) {
        HBITMAP bitmap = load(file.build());
        BITMAP info;
        if (!bitmap || GetObjectW(bitmap, sizeof(info), &info) != (int)sizeof(info)) {
            return {};
        }
        EXPECT_EQ(info.bmBitsPixel, 32);
        std::vector<uint32_t> result((size_t)info.bmWidth * (size_t)info.bmHeight);
        EXPECT_EQ(GetBitmapBits(bitmap, (LONG)(result.size() * 4), result.data()), (LONG)(result.size() * 4));
        EXPECT_TRUE(DeleteObject(bitmap));
        return result;
    }

    TempDir dir_;
};

TEST_F(BitmapFileTest, BottomUpRowsArePutTopRowFirst) {
    BmpFile file;
    file.width = 3;
    file.height = 2;
    // Rows of 9 bytes padded to 12; the first row in the file is the bottom line.
    file.rows = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0, 0, 0,
                 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0, 0, 0};
    EXPECT_EQ(pixels(file),
              (std::vector<uint32_t>{0x131211, 0x161514, 0x191817, 0x030201, 0x060504, 0x090807}));

    HBITMAP bitmap = load(file.build());
    ASSERT_NE(bitmap, nullptr);
    BITMAP info = {};
    EXPECT_EQ(GetObjectW(bitmap, 0, nullptr), (int)sizeof(BITMAP));
    EXPECT_EQ(GetObjectW(bitmap, sizeof(info), &info), (int)sizeof(BITMAP));
    EXPECT_EQ(info.bmWidth, 3);
    EXPECT_EQ(info.bmHeight, 2);
    EXPECT_EQ(info.bmWidthBytes, 12);
    EXPECT_EQ(info.bmPlanes, 1);
    EXPECT_EQ(info.bmBitsPixel, 32);
    EXPECT_EQ(info.bmBits, nullptr);
    EXPECT_TRUE(DeleteObject(bitmap));
    EXPECT_FALSE(DeleteObject(bitmap));
    EXPECT_EQ(GetObjectW(bitmap, sizeof(info), &info), 0);
}

TEST_F(BitmapFileTest, TopDown32BitKeepsAlphaAndBitfieldsAreAccepted) {
    BmpFile file;
    file.width = 2;
    file.height = -2;
    file.bits = 32;
    file.rows = {1, 2, 3, 0x80, 4, 5, 6, 0xFF, 7, 8, 9, 0, 10, 11, 12, 1};
    const std::vector<uint32_t> expected = {0x80030201, 0xFF060504, 0x00090807, 0x010C0B0A};
    EXPECT_EQ(pixels(file), expected);

    file.compression = BI_BITFIELDS;
    file.masks = {0x00FF0000, 0x0000FF00, 0x000000FF};
    EXPECT_EQ(pixels(file), expected);
    file.header_size = 124;  // masks inside a BITMAPV5HEADER
    EXPECT_EQ(pixels(file), expected);
    file.masks = {0x000000FF, 0x0000FF00, 0x00FF0000};
    EXPECT_TRUE(pixels(file).empty()) << "only the BGRX layout is supported";
}

TEST_F(BitmapFileTest, PalettedPixelsLookUpTheirColours) {
    BmpFile file;
    file.width = 3;
    file.height = 1;
    file.bits = 8;
    file.colors_used = 2;
    file.palette = {0x00FF0000, 0x0000FF00};
    file.rows = {1, 0, 5, 0};  // index 5 lies beyond the table
    EXPECT_EQ(pixels(file), (std::vector<uint32_t>{0x00FF00, 0xFF0000, 0}));

    file.colors_used = 0;  // 0 means the full 256 entries, which this file lacks
    EXPECT_TRUE(pixels(file).empty());
}

TEST_F(BitmapFileTest, MalformedFilesAreRefused) {
    BmpFile good;
    good.width = 2;
    good.height = 2;
    good.rows = std::vector<uint8_t>(16, 0x40);
    ASSERT_EQ(pixels(good).size(), 4u);

    const std::vector<std::pair<const char*, std::function<void(BmpFile&)>>> faults = {
        {"zero width", [](BmpFile& f) { f.width = 0; }},
        {"negative width", [](BmpFile& f) { f.width = -2; }},
        {"zero height", [](BmpFile& f) { f.height = 0; }},
        {"most negative height", [](BmpFile& f) { f.height = INT_MIN; }},
        {"two planes", [](BmpFile& f) { f.planes = 2; }},
        {"16 bits per pixel", [](BmpFile& f) { f.bits = 16; }},
        {"run-length compression", [](BmpFile& f) { f.compression = BI_RLE8; }},
        {"core header", [](BmpFile& f) { f.header_size = 12; }},
        {"too many colours",
         [](BmpFile& f) {
             f.bits = 8;
             f.colors_used = 300;
         }},
        {"pixels beyond the end", [](BmpFile& f) { f.pixel_offset = 1000; }},
        {"pixels inside the header", [](BmpFile& f) { f.pixel_offset = 20; }},
        {"huge size, few bytes",
         [](BmpFile& f) {
             f.width = 100000;
             f.height = 100000;
         }},
        {"wide row, few bytes",
         [](BmpFile& f) {
             f.width = INT_MAX;
             f.height = 1;
         }},
    };
    for (const auto& fault : faults) {
        BmpFile file = good;
        fault.second(file);
        SetLastError(0);
        EXPECT_TRUE(pixels(file).empty()) << fault.first;
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_DATA) << fault.first;
    }
    std::vector<uint8_t> bytes = good.build();
    bytes[0] = 'X';
    EXPECT_EQ(load(bytes), nullptr) << "signature";
}

TEST_F(BitmapFileTest, EveryTruncationIsRefused) {
    BmpFile file;
    file.width = 3;
    file.height = 2;
    file.bits = 8;
    file.colors_used = 4;
    file.palette = {1, 2, 3, 4};
    file.rows = std::vector<uint8_t>(8, 1);
    std::vector<uint8_t> bytes = file.build();
    HBITMAP whole = load(bytes);
    ASSERT_NE(whole, nullptr);
    DeleteObject(whole);
    for (size_t length = 0; length < bytes.size(); length++) {
        EXPECT_EQ(load(std::vector<uint8_t>(bytes.begin(), bytes.begin() + length)), nullptr) << length;
    }
}

TEST_F(BitmapFileTest, OnlyTheFileFormIsSupported) {
    SetLastError(0);
    EXPECT_EQ(LoadImageA(nullptr, dir_.file("missing.bmp").c_str(), IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE),
              nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);

    BmpFile file;
    file.rows = {1, 2, 3, 0};
    write_file(dir_.file("image.bmp"), file.build());
    std::string path = dir_.file("image.bmp");
    EXPECT_EQ(LoadImageA(nullptr, path.c_str(), IMAGE_ICON, 0, 0, LR_LOADFROMFILE), nullptr);
    EXPECT_EQ(LoadImageA(nullptr, path.c_str(), IMAGE_BITMAP, 16, 16, LR_LOADFROMFILE), nullptr);
    EXPECT_EQ(LoadImageA(nullptr, MAKEINTRESOURCEA(101), IMAGE_BITMAP, 0, 0, 0), nullptr);
    HANDLE loaded = LoadImageA(nullptr, path.c_str(), IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE);
    EXPECT_NE(loaded, nullptr);
    DeleteObject(loaded);
}

}  // namespace

namespace {

TEST_F(BitmapFileTest, DibSectionKeepsTheFilesBitsAndRowOrder) {
    BmpFile file;
    file.width = 1;
    file.height = 2;
    file.rows = {0x01, 0x02, 0x03, 0, 0x11, 0x12, 0x13, 0};  // bottom line first
    write_file(dir_.file("image.bmp"), file.build());
    HBITMAP dib = (HBITMAP)LoadImageA(nullptr, dir_.file("image.bmp").c_str(), IMAGE_BITMAP, 0, 0,
                                      LR_LOADFROMFILE | LR_CREATEDIBSECTION | LR_SHARED);
    ASSERT_NE(dib, nullptr);
    DIBSECTION info;
    ASSERT_EQ(GetObjectW(dib, sizeof(info), &info), (int)sizeof(info));
    EXPECT_EQ(info.dsBm.bmBitsPixel, 24);
    EXPECT_EQ(info.dsBmih.biHeight, 2) << "bottom-up, as resources are stored";
    ASSERT_NE(info.dsBm.bmBits, nullptr);
    EXPECT_EQ(std::vector<uint8_t>((uint8_t*)info.dsBm.bmBits, (uint8_t*)info.dsBm.bmBits + 8), file.rows);
    EXPECT_TRUE(DeleteObject(dib));
}

TEST_F(BitmapFileTest, ProgramResourcesAreBitmapFilesInTheResourceFolder) {
    BmpFile file;
    file.bits = 32;
    file.rows = {1, 2, 3, 4};
    write_file(dir_.file("bitmap104.bmp"), file.build());
    setenv("KTW_RESOURCE_DIR", dir_.path().c_str(), 1);
    HBITMAP dib = (HBITMAP)LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(104), IMAGE_BITMAP, 0, 0,
                                      LR_CREATEDIBSECTION | LR_SHARED);
    ASSERT_NE(dib, nullptr);
    BITMAP info;
    GetObjectW(dib, sizeof(info), &info);
    EXPECT_EQ(info.bmBitsPixel, 32);
    EXPECT_EQ(*(uint32_t*)info.bmBits, 0x04030201u);
    DeleteObject(dib);

    SetLastError(0);
    EXPECT_EQ(LoadImageW(nullptr, MAKEINTRESOURCEW(105), IMAGE_BITMAP, 0, 0, 0), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_RESOURCE_NAME_NOT_FOUND);
    EXPECT_EQ(LoadImageW(nullptr, u"bitmap104", IMAGE_BITMAP, 0, 0, 0), nullptr) << "only numbered resources";
    unsetenv("KTW_RESOURCE_DIR");
}

}  // namespace
