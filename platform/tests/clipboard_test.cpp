// The platform clipboard: guest grabs become delayed local formats, local pastes ask the guest for the type
// the format prefers and wait for its data, and the guest's text and images are converted (malformed images
// are refused). The tests play the main thread (the platform window and the paste) and the main channel's
// thread.
#include "platform/clipboard.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "winapi/tests/support/png_samples.h"

namespace {

// This program's clipboard stays inside the process.
const bool no_display = [] { return unsetenv("DISPLAY") == 0; }();

using test_support::kPngRgba2x2;

// 2x1, 24 bits: a bitmap file of 14 + 40 + 8 bytes.
std::vector<uint8_t> small_bmp() {
    std::vector<uint8_t> bmp(62, 0);
    bmp[0] = 'B';
    bmp[1] = 'M';
    bmp[2] = 62;
    bmp[10] = 54;
    bmp[14] = 40;
    bmp[18] = 2;
    bmp[22] = 1;
    bmp[26] = 1;
    bmp[28] = 24;
    for (int i = 0; i < 6; i++) {
        bmp[54 + i] = (uint8_t)(0x10 * (i + 1));
    }
    return bmp;
}

PlatformClipboard* window_clipboard;

// The platform window's procedure, as far as the clipboard goes.
LRESULT CALLBACK platform_proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_RENDERFORMAT && window_clipboard) {
        return window_clipboard->render_format((UINT)wParam);
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

// The main channel client: records requests and releases, and answers each request through answer() on a
// thread of its own, as the guest's data would arrive.
class GuestListener : public ClipboardListener {
public:
    ~GuestListener() override { join(); }

    void on_clipboard_grab(const uint32_t*, uint32_t) override {}
    void on_clipboard_request(uint32_t type) override {
        {
            std::lock_guard<std::mutex> guard(lock);
            requests.push_back(type);
        }
        if (answer) {
            join();
            channel = std::thread(answer, type);
        }
    }
    void on_clipboard_notify(uint32_t, const uint8_t*, uint32_t) override {}
    void on_clipboard_release() override { releases++; }

    void join() {
        if (channel.joinable()) {
            channel.join();
        }
    }

    std::mutex lock;
    std::vector<uint32_t> requests;  // lock
    std::atomic<int> releases{0};
    std::function<void(uint32_t)> answer;
    std::thread channel;
};

class PlatformClipboardTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(no_display);
        static bool registered = [] {
            WNDCLASSW wc = {};
            wc.lpfnWndProc = platform_proc;
            wc.lpszClassName = (LPCWSTR)u"ktw_platform_clipboard_test";
            return RegisterClassW(&wc) != 0;
        }();
        ASSERT_TRUE(registered);
        _window = CreateWindowExW(0, (LPCWSTR)u"ktw_platform_clipboard_test", (LPCWSTR)u"", 0, 0, 0, 0, 0,
                                  nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(_window, nullptr);
        _event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        make_clipboard(20000);
    }

    void TearDown() override {
        _listener.join();
        window_clipboard = nullptr;
        CloseClipboard();
        DestroyWindow(_window);
        CloseHandle(_event);
    }

    void make_clipboard(DWORD render_timeout_ms) {
        _clipboard.reset(new PlatformClipboard(_window, _event, render_timeout_ms));
        _clipboard->set_listener(&_listener);
        window_clipboard = _clipboard.get();
    }

    // A local application pastes the format: the platform window renders it (sent WM_RENDERFORMAT).
    std::vector<uint8_t> paste(UINT format, bool* got = nullptr) {
        std::vector<uint8_t> bytes;
        EXPECT_TRUE(OpenClipboard(nullptr));
        HANDLE data = GetClipboardData(format);
        if (data) {
            const uint8_t* p = (const uint8_t*)GlobalLock(data);
            bytes.assign(p, p + GlobalSize(data));
            GlobalUnlock(data);
        }
        CloseClipboard();
        _listener.join();
        if (got) {
            *got = data != nullptr;
        }
        return bytes;
    }

    std::vector<UINT> local_formats() {
        std::vector<UINT> formats;
        if (OpenClipboard(nullptr)) {
            for (UINT f = EnumClipboardFormats(0); f != 0; f = EnumClipboardFormats(f)) {
                formats.push_back(f);
            }
            CloseClipboard();
        }
        return formats;
    }

    // The guest answers a request with this data after a pause.
    void answer_with(const std::vector<uint8_t>& data, int delay_ms = 20) {
        _listener.answer = [this, data, delay_ms](uint32_t type) {
            std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
            _notified = _clipboard->on_clipboard_notify(type, data.data(), (uint32_t)data.size());
        };
    }

    HWND _window = nullptr;
    HANDLE _event = nullptr;
    GuestListener _listener;
    std::unique_ptr<PlatformClipboard> _clipboard;
    std::atomic<bool> _notified{false};
};

std::vector<uint8_t> utf8(const char* text) {
    return std::vector<uint8_t>(text, text + strlen(text));
}

TEST_F(PlatformClipboardTest, GrabAnnouncesEachFormatOnceAndPasteAsksForItsPreferredOfferedType) {
    struct Case {
        std::vector<uint32_t> types;
        std::vector<UINT> formats;
        UINT pasted;
        uint32_t requested;
    } cases[] = {
        {{2, 3}, {CF_DIB}, CF_DIB, 2},
        {{3}, {CF_DIB}, CF_DIB, 3},
        {{3, 2}, {CF_DIB}, CF_DIB, 2},  // the table's order, not the grab's
        {{1}, {CF_UNICODETEXT, CF_TEXT}, CF_UNICODETEXT, 1},
        {{9, 2, 1}, {CF_DIB, CF_UNICODETEXT, CF_TEXT}, CF_UNICODETEXT, 1},
    };
    // The data cannot come: the main channel client ends the wait at once.
    _listener.answer = [this](uint32_t) { SetEvent(_event); };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.types));
        _listener.requests.clear();
        ASSERT_TRUE(_clipboard->on_clipboard_grab(c.types.data(), (uint32_t)c.types.size()));
        EXPECT_EQ(_clipboard->get_clipboard_owner(), CLIPBOARD_OWNER_GUEST);
        EXPECT_EQ(GetClipboardOwner(), _window);
        EXPECT_EQ(local_formats(), c.formats);
        bool got = true;
        paste(c.pasted, &got);
        EXPECT_FALSE(got);
        EXPECT_EQ(_listener.requests, std::vector<uint32_t>{c.requested});
    }
}

TEST_F(PlatformClipboardTest, GrabOfOnlyUnsupportedTypesLeavesTheLocalClipboardAlone) {
    ASSERT_TRUE(OpenClipboard(nullptr));
    ASSERT_TRUE(CloseClipboard());
    HWND local = CreateWindowExW(0, (LPCWSTR)u"ktw_platform_clipboard_test", (LPCWSTR)u"", 0, 0, 0, 0, 0,
                                 nullptr, nullptr, nullptr, nullptr);
    ASSERT_TRUE(OpenClipboard(local));
    ASSERT_TRUE(EmptyClipboard());
    HGLOBAL text = GlobalAlloc(GMEM_MOVEABLE, 4);
    memcpy(GlobalLock(text), u"a", 4);
    GlobalUnlock(text);
    ASSERT_NE(SetClipboardData(CF_UNICODETEXT, text), nullptr);
    ASSERT_TRUE(CloseClipboard());

    uint32_t types[] = {0, 4, 99};
    EXPECT_FALSE(_clipboard->on_clipboard_grab(types, 3));
    EXPECT_FALSE(_clipboard->on_clipboard_grab(nullptr, 5));
    EXPECT_EQ(_clipboard->get_clipboard_owner(), CLIPBOARD_OWNER_NONE);
    EXPECT_EQ(GetClipboardOwner(), local);
    EXPECT_EQ(paste(CF_UNICODETEXT), std::vector<uint8_t>({'a', 0, 0, 0}));
    DestroyWindow(local);
}

TEST_F(PlatformClipboardTest, GuestTextArrivesAsTerminatedUtf16) {
    uint32_t text = GUEST_CLIPBOARD_UTF8_TEXT;
    ASSERT_TRUE(_clipboard->on_clipboard_grab(&text, 1));
    answer_with(utf8("grüße ✓"));
    std::vector<uint8_t> bytes = paste(CF_UNICODETEXT);
    EXPECT_TRUE(_notified);
    std::u16string expected = u"grüße ✓";
    ASSERT_EQ(bytes.size(), (expected.size() + 1) * 2);
    EXPECT_EQ(memcmp(bytes.data(), expected.c_str(), bytes.size()), 0);
    // The answer came during the render: the event was used up by it.
    EXPECT_EQ(WaitForSingleObject(_event, 0), (DWORD)WAIT_TIMEOUT);
}

TEST_F(PlatformClipboardTest, GuestImagesArriveAsBitmaps) {
    struct Case {
        uint32_t type;
        std::vector<uint8_t> data;
        int32_t width, height;
        uint16_t bits;
    } cases[] = {
        {GUEST_CLIPBOARD_IMAGE_PNG, std::vector<uint8_t>(kPngRgba2x2, kPngRgba2x2 + sizeof(kPngRgba2x2)), 2,
         2, 32},
        {GUEST_CLIPBOARD_IMAGE_BMP, small_bmp(), 2, 1, 24},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        uint32_t types[] = {GUEST_CLIPBOARD_IMAGE_PNG, GUEST_CLIPBOARD_IMAGE_BMP};
        ASSERT_TRUE(_clipboard->on_clipboard_grab(c.type == GUEST_CLIPBOARD_IMAGE_PNG ? types : types + 1,
                                                  c.type == GUEST_CLIPBOARD_IMAGE_PNG ? 2 : 1));
        answer_with(c.data);
        std::vector<uint8_t> dib = paste(CF_DIB);
        ASSERT_GE(dib.size(), 40u);
        int32_t width, height;
        memcpy(&width, &dib[4], 4);
        memcpy(&height, &dib[8], 4);
        EXPECT_EQ(width, c.width);
        EXPECT_EQ(height, c.height);
        EXPECT_EQ(dib[14], c.bits);
    }
    // The BMP's rows, unchanged after the 40-byte header.
    std::vector<uint8_t> bmp = small_bmp();
    uint32_t type = GUEST_CLIPBOARD_IMAGE_BMP;
    ASSERT_TRUE(_clipboard->on_clipboard_grab(&type, 1));
    answer_with(bmp);
    EXPECT_EQ(paste(CF_DIB), std::vector<uint8_t>(bmp.begin() + 14, bmp.end()));
}

TEST_F(PlatformClipboardTest, MalformedGuestImagesAreRefusedAndEndTheWait) {
    std::vector<uint8_t> truncated_png(kPngRgba2x2, kPngRgba2x2 + 40);
    std::vector<uint8_t> rows_missing = small_bmp();
    rows_missing.resize(58);
    std::vector<uint8_t> lying_size = small_bmp();
    lying_size[18] = 0xFF;  // width 0x00FF00FF... with only 8 bytes of rows
    lying_size[20] = 0xFF;
    std::vector<uint8_t> huge = small_bmp();
    huge[18] = huge[19] = huge[20] = huge[22] = huge[23] = huge[24] = 0xFF;  // 16M x 16M
    huge[21] = huge[25] = 0x00;
    std::vector<uint8_t> negative = small_bmp();
    negative[21] = 0x80;  // width below zero
    struct Case {
        const char* name;
        uint32_t type;
        std::vector<uint8_t> data;
    } cases[] = {
        {"truncated PNG", GUEST_CLIPBOARD_IMAGE_PNG, truncated_png},
        {"BMP given as PNG", GUEST_CLIPBOARD_IMAGE_PNG, small_bmp()},
        {"BMP rows missing", GUEST_CLIPBOARD_IMAGE_BMP, rows_missing},
        {"BMP width x height beyond its bytes", GUEST_CLIPBOARD_IMAGE_BMP, lying_size},
        {"BMP of 16M x 16M", GUEST_CLIPBOARD_IMAGE_BMP, huge},
        {"BMP of negative width", GUEST_CLIPBOARD_IMAGE_BMP, negative},
        {"empty PNG", GUEST_CLIPBOARD_IMAGE_PNG, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        uint32_t type = c.type;
        ASSERT_TRUE(_clipboard->on_clipboard_grab(&type, 1));
        _notified = true;
        answer_with(c.data);
        auto start = std::chrono::steady_clock::now();
        bool got = true;
        paste(CF_DIB, &got);
        EXPECT_FALSE(got);
        EXPECT_FALSE(_notified);
        // Ended by the refusal, long before the 20 s the render would wait.
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    }
}

TEST_F(PlatformClipboardTest, StaleSignalDoesNotEndTheNextRender) {
    // A release while no render waits leaves the auto-reset event signalled.
    _clipboard->set_clipboard_owner(CLIPBOARD_OWNER_NONE);
    EXPECT_EQ(_listener.releases, 1);
    uint32_t text = GUEST_CLIPBOARD_UTF8_TEXT;
    ASSERT_TRUE(_clipboard->on_clipboard_grab(&text, 1));
    answer_with(utf8("late but wanted"), 300);
    bool got = false;
    paste(CF_UNICODETEXT, &got);
    EXPECT_TRUE(got) << "the render ended on the stale signal before the data came";
}

TEST_F(PlatformClipboardTest, RenderGivesUpWhenTheGuestNeverAnswers) {
    make_clipboard(300);
    uint32_t text = GUEST_CLIPBOARD_UTF8_TEXT;
    ASSERT_TRUE(_clipboard->on_clipboard_grab(&text, 1));
    auto start = std::chrono::steady_clock::now();
    bool got = true;
    paste(CF_UNICODETEXT, &got);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_FALSE(got);
    EXPECT_EQ(_listener.requests, std::vector<uint32_t>{GUEST_CLIPBOARD_UTF8_TEXT});
    EXPECT_GE(waited, std::chrono::milliseconds(250));
    EXPECT_LT(waited, std::chrono::seconds(10));
}

TEST_F(PlatformClipboardTest, ReleaseEndsTheRenderAndTellsTheListener) {
    uint32_t text = GUEST_CLIPBOARD_UTF8_TEXT;
    ASSERT_TRUE(_clipboard->on_clipboard_grab(&text, 1));
    _listener.answer = [this](uint32_t) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        _clipboard->set_clipboard_owner(CLIPBOARD_OWNER_NONE);
    };
    auto start = std::chrono::steady_clock::now();
    bool got = true;
    paste(CF_UNICODETEXT, &got);
    EXPECT_FALSE(got);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(_listener.releases, 1);
    EXPECT_EQ(_clipboard->get_clipboard_owner(), CLIPBOARD_OWNER_NONE);
}

TEST_F(PlatformClipboardTest, DataWithoutARenderIsPutOnTheClipboardDirectly) {
    std::vector<uint8_t> text = utf8("unasked");
    EXPECT_TRUE(
        _clipboard->on_clipboard_notify(GUEST_CLIPBOARD_UTF8_TEXT, text.data(), (uint32_t)text.size()));
    EXPECT_EQ(GetClipboardOwner(), _window);
    EXPECT_EQ(WaitForSingleObject(_event, 0), (DWORD)WAIT_TIMEOUT);
    std::vector<uint8_t> bytes = paste(CF_UNICODETEXT);
    std::u16string expected = u"unasked";
    ASSERT_EQ(bytes.size(), (expected.size() + 1) * 2);
    EXPECT_EQ(memcmp(bytes.data(), expected.c_str(), bytes.size()), 0);

    // An unknown type is passed over without touching the clipboard.
    EXPECT_TRUE(_clipboard->on_clipboard_notify(7, text.data(), (uint32_t)text.size()));
    // Text that converts to nothing gives no data.
    EXPECT_FALSE(_clipboard->on_clipboard_notify(GUEST_CLIPBOARD_UTF8_TEXT, text.data(), 0));
    EXPECT_EQ(paste(CF_UNICODETEXT).size(), bytes.size());
}

TEST_F(PlatformClipboardTest, GrabsDuringRendersKeepTheOfferedTypesWhole) {
    // The guest's grabs arrive on the main channel's thread while renders read the offered types.
    _listener.answer = [this](uint32_t) { SetEvent(_event); };
    uint32_t both[] = {GUEST_CLIPBOARD_IMAGE_PNG, GUEST_CLIPBOARD_IMAGE_BMP, GUEST_CLIPBOARD_UTF8_TEXT};
    ASSERT_TRUE(_clipboard->on_clipboard_grab(both, 3));
    std::atomic<int> grabs{0};
    std::atomic<bool> stop{false};
    std::thread channel([&] {
        for (int i = 0; !stop; i++) {
            _clipboard->on_clipboard_grab(i % 2 ? both : both + 1, i % 2 ? 3 : 2);
            grabs++;
        }
    });
    while (grabs == 0) {
        std::this_thread::yield();
    }
    for (int i = 0; i < 2000; i++) {
        _clipboard->render_format(CF_DIB);
        _listener.join();
    }
    stop = true;
    channel.join();
    std::lock_guard<std::mutex> guard(_listener.lock);
    EXPECT_FALSE(_listener.requests.empty());
    for (uint32_t type : _listener.requests) {
        EXPECT_TRUE(type == GUEST_CLIPBOARD_IMAGE_PNG || type == GUEST_CLIPBOARD_IMAGE_BMP) << type;
    }
}

}  // namespace
