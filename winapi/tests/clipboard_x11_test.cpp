// The clipboard as other X clients see it, with xclip as the other client on a private Xvfb: text and images
// set here are read by xclip, xclip's are read here, large data travels in increments (INCR) both ways, and a
// delayed format is rendered by the owner window when xclip asks for it.
#include "winapi/windows.h"

#include "../src/image_codec.h"
#include "support/clipboard_window.h"
#include "support/test_files.h"
#include "support/xvfb_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

using namespace test_support;

namespace {

// Runs a shell command and returns what it wrote to standard output.
std::string command_output(const std::string& command) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) {
        return output;
    }
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) {
        output.append(buffer, n);
    }
    pclose(pipe);
    return output;
}

// Runs the command on another thread while this one serves its windows' messages (the clipboard's owner
// thread sends WM_RENDERFORMAT and WM_DESTROYCLIPBOARD to them).
std::string command_output_pumping(const std::string& command) {
    std::string output;
    std::atomic<bool> done{false};
    std::thread runner([&] {
        output = command_output(command);
        done = true;
    });
    pump_until([&] { return done.load(); }, 30000);
    runner.join();
    return output;
}

// xclip owns the clipboard with the file's bytes under the target until another client takes it. The xclip
// command returns before its background copy has taken the clipboard, so the caller owns it first and this
// waits until it is lost: a late xclip would take a later test's clipboard.
void xclip_put(const std::string& path, const char* target, int timeout_ms = 5000) {
    std::string command = "xclip -selection clipboard -t '" + std::string(target) + "' -i '" + path + "'";
    ASSERT_EQ(system(command.c_str()), 0) << command;
    ASSERT_TRUE(pump_until([] { return GetClipboardOwner() == nullptr; }, timeout_ms))
        << "xclip did not take the clipboard";
}

std::string xclip_get(const char* target) {
    return command_output_pumping("xclip -selection clipboard -t '" + std::string(target) +
                                  "' -o 2>/dev/null");
}

std::vector<uint8_t> small_dib() {
    // 3x2, 24 bits, bottom-up: padded rows of distinct colours.
    std::vector<uint8_t> dib(40 + 2 * 12, 0);
    dib[0] = 40;
    dib[4] = 3;
    dib[8] = 2;
    dib[12] = 1;
    dib[14] = 24;
    for (size_t i = 40; i < dib.size(); i++) {
        dib[i] = (uint8_t)(i * 7);
    }
    for (size_t row = 0; row < 2; row++) {
        dib[40 + row * 12 + 9] = dib[40 + row * 12 + 10] = dib[40 + row * 12 + 11] = 0;  // padding
    }
    return dib;
}

HGLOBAL block_of(const std::vector<uint8_t>& bytes) {
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, bytes.size());
    memcpy(GlobalLock(block), bytes.data(), bytes.size());
    GlobalUnlock(block);
    return block;
}

// Pixels as top-down BGR triples, whatever the bitmap's depth and row order.
std::vector<uint8_t> bgr_pixels(const std::vector<uint8_t>& dib) {
    int32_t width, height;
    memcpy(&width, &dib[4], 4);
    memcpy(&height, &dib[8], 4);
    int bits = dib[14];
    uint32_t header;
    memcpy(&header, &dib[0], 4);
    size_t stride = ((size_t)width * bits + 31) / 32 * 4;
    int32_t rows = height < 0 ? -height : height;
    std::vector<uint8_t> pixels;
    for (int32_t y = 0; y < rows; y++) {
        size_t row = header + (height < 0 ? y : rows - 1 - y) * stride;
        for (int32_t x = 0; x < width; x++) {
            const uint8_t* p = &dib[row + x * (bits / 8)];
            pixels.insert(pixels.end(), p, p + 3);
        }
    }
    return pixels;
}

class ClipboardX11Test : public ClipboardWindowTest {
protected:
    void SetUp() override {
        KTW_REQUIRE_XVFB();
        KTW_REQUIRE_PROGRAM("xclip");
        ClipboardWindowTest::SetUp();
    }

    // Waits until another client's data for the format shows.
    bool wait_available(UINT format, int timeout_ms = 5000) {
        return pump_until([&] { return IsClipboardFormatAvailable(format) != FALSE; }, timeout_ms);
    }

    TempDir dir_;
};

TEST_F(ClipboardX11Test, TextSetHereIsReadByXclip) {
    ASSERT_TRUE(put_text(window_, u"héllo wörld € ✓"));
    EXPECT_EQ(xclip_get("UTF8_STRING"), "héllo wörld € ✓");
    std::string targets = xclip_get("TARGETS");
    EXPECT_NE(targets.find("UTF8_STRING"), std::string::npos) << targets;
    EXPECT_EQ(targets.find("image/png"), std::string::npos) << targets;
}

TEST_F(ClipboardX11Test, TextPutByXclipIsReadAndTheOldOwnerIsTold) {
    int destroyed = 0;
    clipboard_window_handler() = [&](UINT message, WPARAM, LRESULT* result) {
        destroyed += message == WM_DESTROYCLIPBOARD;
        *result = 0;
        return message == WM_DESTROYCLIPBOARD;
    };
    ASSERT_TRUE(put_text(window_, u"ours first"));
    write_file(dir_.file("text"), std::vector<uint8_t>{'z', 0xC3, 0xBC, 'r', 'i', 'c', 'h', '\n'});
    xclip_put(dir_.file("text"), "UTF8_STRING");
    ASSERT_TRUE(pump_until([&] { return GetClipboardOwner() == nullptr && destroyed == 1; }));
    ASSERT_TRUE(wait_available(CF_UNICODETEXT));
    EXPECT_FALSE(IsClipboardFormatAvailable(CF_DIB));

    ASSERT_TRUE(OpenClipboard(nullptr));
    HANDLE text = GetClipboardData(CF_UNICODETEXT);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(block_text(text), u"zürich\n");
    EXPECT_EQ(GlobalSize(text), 8u * sizeof(char16_t));
    HANDLE ansi = GetClipboardData(CF_TEXT);
    ASSERT_NE(ansi, nullptr);
    char expected[64] = {};
    WideCharToMultiByte(CP_ACP, 0, (LPCWSTR)u"zürich\n", -1, expected, sizeof(expected), nullptr, nullptr);
    EXPECT_STREQ((const char*)GlobalLock(ansi), expected);
    GlobalUnlock(ansi);
    EXPECT_EQ(GetClipboardData(CF_DIB), nullptr);
    EXPECT_EQ(EnumClipboardFormats(0), (UINT)CF_UNICODETEXT);
    EXPECT_TRUE(CloseClipboard());
}

TEST_F(ClipboardX11Test, PngPutByXclipIsReadAsBitmap) {
    std::vector<uint8_t> dib = small_dib(), png;
    ASSERT_TRUE(winapi_internal::image_dib_to_png(dib.data(), dib.size(), &png));
    write_file(dir_.file("image.png"), png);
    ASSERT_TRUE(put_text(window_, u"ours first"));
    xclip_put(dir_.file("image.png"), "image/png");
    ASSERT_TRUE(wait_available(CF_DIB));
    EXPECT_FALSE(IsClipboardFormatAvailable(CF_UNICODETEXT));

    ASSERT_TRUE(OpenClipboard(nullptr));
    HANDLE block = GetClipboardData(CF_DIB);
    ASSERT_NE(block, nullptr);
    const uint8_t* bytes = (const uint8_t*)GlobalLock(block);
    std::vector<uint8_t> got(bytes, bytes + GlobalSize(block));
    GlobalUnlock(block);
    EXPECT_EQ(bgr_pixels(got), bgr_pixels(dib));
    EXPECT_TRUE(CloseClipboard());
}

TEST_F(ClipboardX11Test, BitmapSetHereIsReadByXclipAsPngAndBmp) {
    std::vector<uint8_t> dib = small_dib();
    ASSERT_TRUE(OpenClipboard(window_));
    ASSERT_TRUE(EmptyClipboard());
    ASSERT_NE(SetClipboardData(CF_DIB, block_of(dib)), nullptr);
    ASSERT_TRUE(CloseClipboard());

    std::string targets = xclip_get("TARGETS");
    EXPECT_NE(targets.find("image/png"), std::string::npos) << targets;
    EXPECT_NE(targets.find("image/bmp"), std::string::npos) << targets;
    std::string png = xclip_get("image/png"), bmp = xclip_get("image/bmp");
    std::vector<uint8_t> from_png, from_bmp;
    ASSERT_TRUE(winapi_internal::image_png_to_dib((const uint8_t*)png.data(), png.size(), &from_png));
    ASSERT_TRUE(winapi_internal::image_bmp_to_dib((const uint8_t*)bmp.data(), bmp.size(), &from_bmp));
    EXPECT_EQ(bgr_pixels(from_png), bgr_pixels(dib));
    EXPECT_EQ(from_bmp, dib);
}

TEST_F(ClipboardX11Test, LargeTextTravelsInIncrementsBothWays) {
    // 3 MB, far above what one X request carries.
    std::string large;
    for (int i = 0; large.size() < (3u << 20); i++) {
        large += "line " + std::to_string(i) + " ✓\n";
    }
    std::u16string wide;
    for (char c : large) {
        wide += (char16_t)(unsigned char)c;
    }
    // "✓" is three UTF-8 bytes but one UTF-16 unit: convert it properly.
    int units = MultiByteToWideChar(CP_UTF8, 0, large.data(), (int)large.size(), nullptr, 0);
    wide.resize(units);
    MultiByteToWideChar(CP_UTF8, 0, large.data(), (int)large.size(), (LPWSTR)&wide[0], units);

    ASSERT_TRUE(put_text(window_, wide));
    std::string out = xclip_get("UTF8_STRING");
    EXPECT_EQ(out.size(), large.size());
    EXPECT_TRUE(out == large);

    // xclip reads 3 MB before it takes the clipboard: a loaded machine needs longer than the usual waits.
    write_file(dir_.file("large"), std::vector<uint8_t>(large.begin(), large.end()));
    xclip_put(dir_.file("large"), "UTF8_STRING", 20000);
    ASSERT_TRUE(pump_until([&] { return GetClipboardOwner() == nullptr; }, 20000));
    ASSERT_TRUE(wait_available(CF_UNICODETEXT, 20000));
    ASSERT_TRUE(OpenClipboard(nullptr));
    HANDLE block = GetClipboardData(CF_UNICODETEXT);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(GlobalSize(block), (wide.size() + 1) * sizeof(char16_t));
    EXPECT_TRUE(block_text(block) == wide);
    EXPECT_TRUE(CloseClipboard());
}

TEST_F(ClipboardX11Test, DelayedTextIsRenderedWhenXclipAsks) {
    int renders = 0;
    on_render_format([&](UINT format) {
        renders++;
        EXPECT_EQ(format, (UINT)CF_UNICODETEXT);
        SetClipboardData(CF_UNICODETEXT, text_block(u"rendered for xclip"));
    });
    ASSERT_TRUE(offer_delayed(window_, {CF_UNICODETEXT}));

    EXPECT_NE(xclip_get("TARGETS").find("UTF8_STRING"), std::string::npos);
    EXPECT_EQ(renders, 0) << "listing the targets must not render";
    EXPECT_EQ(xclip_get("UTF8_STRING"), "rendered for xclip");
    EXPECT_EQ(xclip_get("UTF8_STRING"), "rendered for xclip");
    EXPECT_EQ(renders, 1);
}

}  // namespace
