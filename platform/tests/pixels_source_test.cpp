// The resource image with premultiplied alpha, the watermark source's size, and the GDI helpers.
#include "platform/pixels_source.h"
#include "platform/platform_utils.h"

#include "runtime/exception.h"
#include "winapi/tests/support/xvfb_server.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace {

// A folder of program resources for the test, removed afterwards.
class ResourceFolder {
public:
    ResourceFolder() {
        char pattern[] = "/tmp/ktw-res-XXXXXX";
        path_ = mkdtemp(pattern);
        setenv("KTW_RESOURCE_DIR", path_.c_str(), 1);
    }
    ~ResourceFolder() {
        unsetenv("KTW_RESOURCE_DIR");
        std::remove((path_ + "/bitmap104.bmp").c_str());
        rmdir(path_.c_str());
    }

    // Resource 104: a bottom-up .bmp of one row per entry of rows (top row first), pixels as B, G, R(, A)
    // bytes.
    void write_bitmap(int bits, const std::vector<std::vector<uint8_t>>& rows) {
        int width = (int)rows[0].size() / (bits / 8);
        int stride = (width * bits / 8 + 3) & ~3;
        std::vector<uint8_t> out;
        auto u16 = [&](uint32_t v) { out.insert(out.end(), {(uint8_t)v, (uint8_t)(v >> 8)}); };
        auto u32 = [&](uint32_t v) { u16(v & 0xFFFF), u16(v >> 16); };
        u16(0x4D42), u32(54 + stride * (uint32_t)rows.size()), u32(0), u32(54);
        u32(40), u32(width), u32((uint32_t)rows.size()), u16(1), u16(bits), u32(0), u32(0), u32(0), u32(0),
            u32(0), u32(0);
        for (size_t i = rows.size(); i-- > 0;) {
            std::vector<uint8_t> row = rows[i];
            row.resize(stride, 0);
            out.insert(out.end(), row.begin(), row.end());
        }
        std::ofstream(path_ + "/bitmap104.bmp", std::ios::binary).write((const char*)out.data(), out.size());
    }

private:
    std::string path_;
};

void expect_throw_text(const std::function<void()>& action, const std::string& text) {
    try {
        action();
        ADD_FAILURE() << "no exception, expected " << text;
    } catch (const Exception& e) {
        EXPECT_EQ(std::string(e.what()).substr(0, text.size()), text);
    }
}

TEST(AlphaImageFromRes, ColoursArePremultipliedByTheirAlpha) {
    ResourceFolder resources;
    resources.write_bitmap(32, {{200, 100, 0, 128, 10, 20, 30, 0, 1, 2, 3, 255},
                                {255, 255, 255, 1, 90, 91, 92, 254, 0, 0, 0, 0}});
    AlphaImageFromRes image;
    SIZE size = image.get_size();
    EXPECT_EQ(size.cx, 3);
    EXPECT_EQ(size.cy, 2);

    DIBSECTION section;
    HGDIOBJ bitmap = GetCurrentObject(image.get_platform_area().dc, OBJ_BITMAP);
    ASSERT_EQ(GetObjectW(bitmap, sizeof(section), &section), (int)sizeof(section));
    EXPECT_LT(section.dsBmih.biHeight, 0) << "top-down";
    const uint8_t* px = (const uint8_t*)section.dsBm.bmBits;
    const std::vector<uint8_t> expected = {100, 50, 0, 128, 0,  0,  0,  0,   1, 2, 3, 255,  //
                                           1,   1,  1, 1,   90, 91, 92, 254, 0, 0, 0, 0};
    EXPECT_EQ(std::vector<uint8_t>(px, px + expected.size()), expected);
}

TEST(AlphaImageFromRes, ResourceFaultsThrow) {
    ResourceFolder resources;
    expect_throw_text([] { AlphaImageFromRes image; }, "get alpha bitmap #104 failed");
    resources.write_bitmap(24, {{1, 2, 3}});
    expect_throw_text([] { AlphaImageFromRes image; }, "invalid format #104 ");
}

TEST(WatermarkSource, NoLiveWindowMeansNoSize) {
    WatermarkSource source;
    EXPECT_EQ(source.get_size().cx, 0);
    EXPECT_EQ(source.get_size().cy, 0);
    source.set_window((HWND)(uintptr_t)0x7FFFFFF0);  // never a window
    EXPECT_EQ(source.get_size().cx, 0);

    // A real window on the private display, so that none shows on the user's.
    KTW_REQUIRE_XVFB();
    WNDCLASSW window_class = {};
    window_class.lpfnWndProc = DefWindowProcW;
    window_class.lpszClassName = u"KtwWatermarkTest";
    RegisterClassW(&window_class);
    HWND window =
        CreateWindowExW(0, u"KtwWatermarkTest", u"", WS_POPUP, 0, 0, 30, 20, NULL, NULL, NULL, NULL);
    ASSERT_NE(window, nullptr);
    source.set_window(window);
    EXPECT_EQ(source.get_size().cx, 30);
    EXPECT_EQ(source.get_size().cy, 20);
    DestroyWindow(window);
    EXPECT_EQ(source.get_size().cx, 0);
    EXPECT_EQ(source.get_size().cy, 0);
}

TEST(PlatformUtils, ReleaseHelpersClearTheirHolder) {
    HDC dc = create_compatible_dc();
    ASSERT_NE(dc, nullptr);
    release_dc(&dc);
    EXPECT_EQ(dc, nullptr);
    release_dc(&dc);
    HGDIOBJ brush = CreateSolidBrush(0);
    delete_gdi_object(&brush);
    EXPECT_EQ(brush, nullptr);
    delete_gdi_object(&brush);
}

}  // namespace
