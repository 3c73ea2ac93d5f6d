// The clipboard without an X display: the rules of opening and owning it, data kept and freed, CF_TEXT made
// from CF_UNICODETEXT, and delayed rendering by the owner window, within the process.
#include "winapi/windows.h"

#include "../src/clipboard_internal.h"
#include "support/clipboard_window.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

using namespace test_support;

namespace {

// Before anything can open a display: this program's clipboard must stay inside the process.
const bool no_display = [] { return unsetenv("DISPLAY") == 0; }();

class ClipboardLocalTest : public ClipboardWindowTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(no_display);
        ClipboardWindowTest::SetUp();
    }
};

TEST_F(ClipboardLocalTest, OnlyOneThreadHasTheClipboardOpen) {
    ASSERT_TRUE(OpenClipboard(window_));
    std::thread([] {
        EXPECT_FALSE(OpenClipboard(nullptr));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
        // Nor may it use the clipboard the main thread opened.
        EXPECT_FALSE(EmptyClipboard());
        EXPECT_EQ(SetClipboardData(CF_UNICODETEXT, text_block(u"x")), nullptr);
        EXPECT_EQ(GetClipboardData(CF_UNICODETEXT), nullptr);
        EXPECT_FALSE(CloseClipboard());
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_CLIPBOARD_NOT_OPEN);
    }).join();
    ASSERT_TRUE(CloseClipboard());
    std::thread([] {
        EXPECT_TRUE(OpenClipboard(nullptr));
        EXPECT_TRUE(CloseClipboard());
    }).join();
}

TEST_F(ClipboardLocalTest, CallsNeedTheClipboardOpen) {
    HGLOBAL block = text_block(u"kept by the caller");
    EXPECT_FALSE(EmptyClipboard());
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_CLIPBOARD_NOT_OPEN);
    EXPECT_EQ(SetClipboardData(CF_UNICODETEXT, block), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_CLIPBOARD_NOT_OPEN);
    EXPECT_EQ(GetClipboardData(CF_UNICODETEXT), nullptr);
    EXPECT_EQ(EnumClipboardFormats(0), 0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_CLIPBOARD_NOT_OPEN);
    EXPECT_EQ(GlobalFree(block), nullptr);  // a refused block stays the caller's
}

TEST_F(ClipboardLocalTest, OpenedWithoutWindowTheClipboardHasNoOwnerAndTakesNoData) {
    ASSERT_TRUE(OpenClipboard(nullptr));
    ASSERT_TRUE(EmptyClipboard());
    HGLOBAL block = text_block(u"nobody owns this");
    EXPECT_EQ(SetClipboardData(CF_UNICODETEXT, block), nullptr);
    EXPECT_EQ(GetClipboardOwner(), nullptr);
    EXPECT_EQ(EnumClipboardFormats(0), 0u);
    EXPECT_TRUE(CloseClipboard());
    GlobalFree(block);
}

TEST_F(ClipboardLocalTest, DataIsKeptReplacedAndFreedByTheClipboard) {
    ASSERT_TRUE(OpenClipboard(window_));
    ASSERT_TRUE(EmptyClipboard());
    EXPECT_EQ(GetClipboardOwner(), window_);
    HGLOBAL first = text_block(u"first");
    HGLOBAL second = text_block(u"héllo wörld");
    std::vector<uint8_t> dib(40 + 4, 0);
    HGLOBAL image = GlobalAlloc(GMEM_MOVEABLE, dib.size());
    ASSERT_EQ(SetClipboardData(CF_UNICODETEXT, first), first);
    ASSERT_EQ(SetClipboardData(CF_DIB, image), image);
    ASSERT_EQ(SetClipboardData(CF_UNICODETEXT, second), second);
    EXPECT_EQ(GlobalSize(first), 0u) << "the replaced block was not freed";
    ASSERT_TRUE(CloseClipboard());

    ASSERT_TRUE(OpenClipboard(nullptr));
    EXPECT_EQ(GetClipboardData(CF_UNICODETEXT), second);
    EXPECT_EQ(block_text(second), u"héllo wörld");
    // Formats in the order set, then the synthesized CF_TEXT.
    std::vector<UINT> formats;
    for (UINT f = EnumClipboardFormats(0); f != 0; f = EnumClipboardFormats(f)) {
        formats.push_back(f);
    }
    EXPECT_EQ(formats, (std::vector<UINT>{CF_UNICODETEXT, CF_DIB, CF_TEXT}));
    EXPECT_TRUE(IsClipboardFormatAvailable(CF_TEXT));
    EXPECT_FALSE(IsClipboardFormatAvailable(CF_DIBV5));
    HANDLE ansi = GetClipboardData(CF_TEXT);
    ASSERT_NE(ansi, nullptr);
    char expected[64] = {};
    WideCharToMultiByte(CP_ACP, 0, (LPCWSTR)u"héllo wörld", -1, expected, sizeof(expected), nullptr, nullptr);
    EXPECT_STREQ((const char*)GlobalLock(ansi), expected);
    GlobalUnlock(ansi);

    ASSERT_TRUE(EmptyClipboard());
    EXPECT_EQ(GlobalSize(second), 0u);
    EXPECT_EQ(GlobalSize(image), 0u);
    EXPECT_EQ(GlobalSize(ansi), 0u);
    EXPECT_FALSE(IsClipboardFormatAvailable(CF_UNICODETEXT));
    EXPECT_TRUE(CloseClipboard());
}

TEST_F(ClipboardLocalTest, DelayedFormatIsRenderedOnceByTheOwnerWindow) {
    int renders = 0;
    on_render_format([&](UINT format) {
        renders++;
        // Only text is rendered; the owner must not open the clipboard (the consumer has it open).
        if (format == CF_UNICODETEXT) {
            EXPECT_NE(SetClipboardData(CF_UNICODETEXT, text_block(u"rendered late")), nullptr);
        }
    });
    ASSERT_TRUE(offer_delayed(window_, {CF_UNICODETEXT, CF_DIB}));
    EXPECT_EQ(renders, 0);

    // The consumer is another thread; the owner's thread serves the sent WM_RENDERFORMAT meanwhile.
    std::u16string text;
    bool image_missing = false;
    std::atomic<bool> done{false};
    std::thread consumer([&] {
        if (OpenClipboard(nullptr)) {
            HANDLE first = GetClipboardData(CF_UNICODETEXT);
            HANDLE again = GetClipboardData(CF_UNICODETEXT);
            text = first && first == again ? block_text(first) : u"<not the same block>";
            image_missing = GetClipboardData(CF_DIB) == nullptr;
            CloseClipboard();
        }
        done = true;
    });
    EXPECT_TRUE(pump_until([&] { return done.load(); }));
    consumer.join();
    EXPECT_EQ(text, u"rendered late");
    EXPECT_TRUE(image_missing);
    EXPECT_EQ(renders, 2);  // text once, the image once (which gave nothing)
}

TEST_F(ClipboardLocalTest, RenderedDataMayComeFromAnotherThreadOnlyDuringTheRender) {
    on_render_format([](UINT format) {
        // As the platform does: the data arrives on another thread while the owner waits.
        std::thread([format] {
            EXPECT_NE(SetClipboardData(format, text_block(u"from the channel thread")), nullptr);
        }).join();
    });
    ASSERT_TRUE(offer_delayed(window_, {CF_UNICODETEXT}));

    HGLOBAL stray = text_block(u"not asked for");
    std::thread([&] { EXPECT_EQ(SetClipboardData(CF_UNICODETEXT, stray), nullptr); }).join();
    GlobalFree(stray);

    ASSERT_TRUE(OpenClipboard(nullptr));
    HANDLE data = GetClipboardData(CF_UNICODETEXT);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(block_text(data), u"from the channel thread");
    EXPECT_TRUE(CloseClipboard());
}

TEST_F(ClipboardLocalTest, NewOwnerMakesThePreviousOneLoseItsFormats) {
    int destroyed = 0;
    clipboard_window_handler() = [&](UINT message, WPARAM, LRESULT* result) {
        destroyed += message == WM_DESTROYCLIPBOARD;
        *result = 0;
        return message == WM_DESTROYCLIPBOARD || message == WM_RENDERFORMAT;
    };
    ASSERT_TRUE(offer_delayed(window_, {CF_UNICODETEXT}));

    std::atomic<bool> done{false};
    std::thread other([&] {
        HWND taker = create_clipboard_window();
        EXPECT_TRUE(put_text(taker, u"taken"));
        EXPECT_EQ(GetClipboardOwner(), taker);
        DestroyWindow(taker);
        done = true;
    });
    EXPECT_TRUE(pump_until([&] { return done.load(); }));
    other.join();
    EXPECT_EQ(destroyed, 1);
}

TEST_F(ClipboardLocalTest, DestroyedOwnerRendersWhatItCanAndTheRestVanishes) {
    int render_all = 0;
    clipboard_window_handler() = [&](UINT message, WPARAM, LRESULT* result) {
        if (message != WM_RENDERALLFORMATS) {
            return false;
        }
        render_all++;
        EXPECT_TRUE(OpenClipboard(window_));
        EXPECT_EQ(GetClipboardOwner(), window_);
        EXPECT_NE(SetClipboardData(CF_UNICODETEXT, text_block(u"saved")), nullptr);
        EXPECT_TRUE(CloseClipboard());
        *result = 0;
        return true;
    };
    ASSERT_TRUE(offer_delayed(window_, {CF_UNICODETEXT, CF_DIB}));

    // What DestroyWindow does for the clipboard before the window goes.
    winapi_internal::clipboard_window_destroyed(window_);
    EXPECT_EQ(render_all, 1);
    EXPECT_EQ(GetClipboardOwner(), nullptr);
    ASSERT_TRUE(OpenClipboard(nullptr));
    HANDLE text = GetClipboardData(CF_UNICODETEXT);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(block_text(text), u"saved");
    EXPECT_FALSE(IsClipboardFormatAvailable(CF_DIB));
    EXPECT_EQ(GetClipboardData(CF_DIB), nullptr);
    EXPECT_TRUE(CloseClipboard());
}

}  // namespace
