// Message boxes on the private X server, watched from a connection of the test's own as a user would see
// them: title, stacking state, pixels; closed by keys, a click or the window manager.
#include "support/xvfb_server.h"
#include "winapi/windows.h"

#include <gtest/gtest.h>

#include "support/x11_observer.h"  // after gtest: Xlib's macros clash with gtest's names
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

using test_support::X11Observer;

class MessageBox : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(test_support::ensure_xvfb()) << "Xvfb could not be started"; }

    // The box runs on a thread of its own, as the modal call does not return until the box is closed. The
    // thread is detached: a box that never shows cannot be closed, and the failed test must still end.
    static std::future<int> show(std::u16string text, std::u16string caption, UINT type) {
        std::packaged_task<int()> box(
            [text, caption, type] { return MessageBoxW(nullptr, text.c_str(), caption.c_str(), type); });
        std::future<int> result = box.get_future();
        std::thread(std::move(box)).detach();
        return result;
    }

    static bool ended(std::future<int>& result) {
        return result.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    }
};

int count_pixels(XImage* image, const std::function<bool(unsigned long)>& wanted) {
    int count = 0;
    for (int y = 0; y < image->height; ++y) {
        for (int x = 0; x < image->width; ++x) {
            count += wanted(XGetPixel(image, x, y)) ? 1 : 0;
        }
    }
    return count;
}

TEST_F(MessageBox, AppearsWithCaptionAndStateAndEndsWithIdOkHoweverClosed) {
    enum Closer { enter, escape, close_request, ok_button };
    struct Case {
        const char16_t* caption;
        const char* title;
        UINT type;
        Closer closer;
        bool above;
    };
    const Case cases[] = {
        {u"提示", "提示", MB_TOPMOST | MB_ICONINFORMATION, enter, true},
        {u"escape", "escape", MB_OK | MB_ICONWARNING, escape, false},
        {u"system modal", "system modal", MB_SYSTEMMODAL | MB_ICONERROR, close_request, true},
        {u"button", "button", MB_OK, ok_button, false},
    };
    X11Observer x;
    ASSERT_NE(x.display(), nullptr);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        std::future<int> result = show(u"服务暂时不可用，请稍后再试。", c.caption, c.type);
        Window box = x.wait_for_window(c.title);
        ASSERT_NE(box, 0u);
        std::vector<std::string> states = x.states(box);
        bool above = std::find(states.begin(), states.end(), "_NET_WM_STATE_ABOVE") != states.end();
        EXPECT_EQ(above, c.above);
        ASSERT_TRUE(x.wait_for_focus(box));
        EXPECT_EQ(result.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
        XWindowAttributes attributes;
        XGetWindowAttributes(x.display(), box, &attributes);
        switch (c.closer) {
            case enter:
                x.press_key(XK_Return);
                break;
            case escape:
                x.press_key(XK_Escape);
                break;
            case close_request:
                x.ask_to_close(box);
                break;
            case ok_button:  // the one button sits centred at the bottom
                x.click(box, attributes.width / 2, attributes.height - 24);
                break;
        }
        bool closed = ended(result);
        if (!closed) {
            x.ask_to_close(box);  // or the future's destructor would wait for the box for ever
        }
        ASSERT_TRUE(closed);
        EXPECT_EQ(result.get(), IDOK);
        EXPECT_TRUE(x.wait_until_gone(box));
    }
}

// Chinese text must come out in glyphs, not in the missing-glyph boxes of a Latin font: two different texts
// of the same width then draw differently. The icons are drawn in their colours.
TEST_F(MessageBox, DrawsChineseGlyphsAndTheRequestedIcon) {
    X11Observer x;
    ASSERT_NE(x.display(), nullptr);
    struct Shown {
        const char16_t* text;
        const char* title;
        UINT icon;
        std::function<bool(unsigned long)> icon_colour;
        std::vector<unsigned long> text_pixels;
    };
    auto blue = [](unsigned long p) { return (p & 0xFF) > 0xA0 && ((p >> 16) & 0xFF) < 0x60; };
    auto red = [](unsigned long p) { return ((p >> 16) & 0xFF) > 0xA0 && (p & 0xFF) < 0x60; };
    Shown shown[] = {{u"提示", "information", MB_ICONINFORMATION, blue, {}},
                     {u"确定", "error", MB_ICONERROR, red, {}}};
    for (Shown& s : shown) {
        SCOPED_TRACE(s.title);
        std::u16string caption(s.title, s.title + strlen(s.title));
        std::future<int> result = show(s.text, caption, MB_OK | s.icon);
        Window box = x.wait_for_window(s.title);
        ASSERT_NE(box, 0u);
        ASSERT_TRUE(x.wait_for_focus(box));
        // The button is painted last: once its blue frame shows, the icon and the text are there.
        XWindowAttributes attributes;
        XGetWindowAttributes(x.display(), box, &attributes);
        bool painted = false;
        for (int i = 0; i < 500 && !painted; ++i) {
            XImage* corner = XGetImage(x.display(), box, (attributes.width - 88) / 2,
                                       attributes.height - 16 - 26, 1, 1, AllPlanes, ZPixmap);
            painted = corner && (XGetPixel(corner, 0, 0) & 0xFFFFFF) == 0x0078D7;
            if (corner) {
                XDestroyImage(corner);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        EXPECT_TRUE(painted);
        XImage* icon = XGetImage(x.display(), box, 16, 16, 32, 32, AllPlanes, ZPixmap);
        ASSERT_NE(icon, nullptr);
        EXPECT_GT(count_pixels(icon, s.icon_colour), 300);
        XDestroyImage(icon);
        XImage* text = XGetImage(x.display(), box, 60, 10, 60, 40, AllPlanes, ZPixmap);
        ASSERT_NE(text, nullptr);
        EXPECT_GT(count_pixels(text, [](unsigned long p) { return (p & 0xFFFFFF) < 0x404040; }), 20);
        for (int y = 0; y < text->height; ++y) {
            for (int col = 0; col < text->width; ++col) {
                s.text_pixels.push_back(XGetPixel(text, col, y) & 0xFFFFFF);
            }
        }
        XDestroyImage(text);
        x.press_key(XK_Return);
        bool closed = ended(result);
        if (!closed) {
            x.ask_to_close(box);  // or the future's destructor would wait for the box for ever
        }
        ASSERT_TRUE(closed);
    }
    EXPECT_TRUE(shown[0].text_pixels != shown[1].text_pixels) << "both texts drew the same pixels";
}

// While the box is up the thread's other windows keep getting their messages, and a WM_QUIT ends the box and
// reaches the thread's own loop afterwards.
std::atomic<int> app_messages{0};
LRESULT CALLBACK quitting_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_APP) {
        ++app_messages;
        PostQuitMessage(7);
        return 0;
    }
    return DefWindowProcW(hwnd, message, wparam, lparam);
}

TEST_F(MessageBox, RunsTheThreadsMessagesAndHandsOnWmQuit) {
    X11Observer x;
    ASSERT_NE(x.display(), nullptr);
    WNDCLASSW window_class{};
    window_class.lpfnWndProc = quitting_proc;
    window_class.lpszClassName = u"MessageBoxTestQuitting";
    RegisterClassW(&window_class);
    std::atomic<HWND> target{nullptr};
    struct Outcome {
        int box;
        bool quit;
        WPARAM quit_code;
    };
    std::future<Outcome> outcome = std::async(std::launch::async, [&target] {
        target = CreateWindowExW(0, u"MessageBoxTestQuitting", u"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                 nullptr, nullptr);
        Outcome o{};
        o.box = MessageBoxW(nullptr, u"wait", u"modal loop", MB_OK);
        // The thread's own loop, bounded so that a lost WM_QUIT fails the test instead of hanging it.
        MSG msg{};
        for (int i = 0; i < 100 && !o.quit; ++i) {
            MsgWaitForMultipleObjectsEx(0, nullptr, 50, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
                if (msg.message == WM_QUIT) {
                    o.quit = true;
                    o.quit_code = msg.wParam;
                    break;
                }
                DispatchMessageW(&msg);
            }
        }
        DestroyWindow(target);
        return o;
    });
    Window box = x.wait_for_window("modal loop");
    ASSERT_NE(box, 0u);
    ASSERT_NE(target.load(), nullptr);
    ASSERT_TRUE(PostMessageW(target, WM_APP, 0, 0));
    ASSERT_EQ(outcome.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    Outcome o = outcome.get();
    EXPECT_EQ(app_messages.load(), 1);
    EXPECT_EQ(o.box, IDOK);
    EXPECT_TRUE(o.quit);
    EXPECT_EQ(o.quit_code, 7u);
    EXPECT_TRUE(x.wait_until_gone(box));
}

// Without a display nobody could close the box: the text goes to standard error and the call returns at once.
TEST_F(MessageBox, WithoutDisplayWritesTheTextToStandardErrorAndReturnsIdOk) {
    std::string display = getenv("DISPLAY") ? getenv("DISPLAY") : "";
    unsetenv("DISPLAY");
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    fflush(stderr);
    int saved = dup(STDERR_FILENO);
    dup2(pipe_fds[1], STDERR_FILENO);
    int result = MessageBoxW(nullptr, u"无法连接到服务器", u"提示", MB_TOPMOST | MB_ICONINFORMATION);
    fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);
    close(pipe_fds[1]);
    setenv("DISPLAY", display.c_str(), 1);
    char buffer[256] = {};
    ssize_t n = read(pipe_fds[0], buffer, sizeof buffer - 1);
    close(pipe_fds[0]);
    EXPECT_EQ(result, IDOK);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(buffer, static_cast<size_t>(n)), "提示: 无法连接到服务器\n");
}

TEST_F(MessageBox, ButtonSetsOtherThanOkAreRefused) {
    for (UINT buttons : {MB_OKCANCEL, MB_YESNO, MB_RETRYCANCEL}) {
        SetLastError(0);
        EXPECT_EQ(MessageBoxW(nullptr, u"text", u"caption", buttons), 0);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
}

}  // namespace
