// For the clipboard tests: a window whose procedure the test sets, message pumping, and text blocks.
#pragma once

#include "winapi/windows.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <string>
#include <thread>

namespace test_support {

// Runs the handler for every message; DefWindowProcW when it returns false.
using ClipboardWindowHandler = std::function<bool(UINT message, WPARAM wParam, LRESULT* result)>;

inline ClipboardWindowHandler& clipboard_window_handler() {
    static ClipboardWindowHandler handler;
    return handler;
}

inline LRESULT CALLBACK clipboard_window_proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    LRESULT result = 0;
    if (clipboard_window_handler() && clipboard_window_handler()(message, wParam, &result)) {
        return result;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

// The window answers WM_RENDERFORMAT by calling render with the format asked for; other messages go to
// DefWindowProcW.
inline void on_render_format(std::function<void(UINT format)> render) {
    clipboard_window_handler() = [render](UINT message, WPARAM wParam, LRESULT* result) {
        if (message != WM_RENDERFORMAT) {
            return false;
        }
        render((UINT)wParam);
        *result = 0;
        return true;
    };
}

// A hidden top-level window of the calling thread.
inline HWND create_clipboard_window() {
    static bool registered = [] {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = clipboard_window_proc;
        wc.lpszClassName = (LPCWSTR)u"ktw_clipboard_test";
        return RegisterClassW(&wc) != 0;
    }();
    if (!registered) {
        return nullptr;
    }
    return CreateWindowExW(0, (LPCWSTR)u"ktw_clipboard_test", (LPCWSTR)u"", 0, 0, 0, 0, 0, nullptr, nullptr,
                           nullptr, nullptr);
}

// A clipboard window of the test's own, with no handler left from an earlier test; the clipboard closed
// after.
class ClipboardWindowTest : public testing::Test {
protected:
    void SetUp() override {
        clipboard_window_handler() = nullptr;
        window_ = create_clipboard_window();
        ASSERT_NE(window_, nullptr);
    }
    void TearDown() override {
        clipboard_window_handler() = nullptr;
        CloseClipboard();
        DestroyWindow(window_);
    }

    HWND window_ = nullptr;
};

// Serves the calling thread's messages (sent ones included) until done() or the time-out; done()'s result.
inline bool pump_until(const std::function<bool()>& done, int timeout_ms = 5000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&msg);
        }
        if (done()) {
            return true;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// A moveable global block holding the text and its NUL unit.
inline HGLOBAL text_block(const std::u16string& text) {
    SIZE_T bytes = (text.size() + 1) * sizeof(char16_t);
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, bytes);
    memcpy(GlobalLock(block), text.c_str(), bytes);
    GlobalUnlock(block);
    return block;
}

// The text of a CF_UNICODETEXT block, up to its NUL.
inline std::u16string block_text(HANDLE block) {
    const char16_t* text = (const char16_t*)GlobalLock(block);
    std::u16string result = text ? std::u16string(text) : std::u16string();
    GlobalUnlock(block);
    return result;
}

// Puts the text on the clipboard for window (the clipboard must be closed).
inline bool put_text(HWND window, const std::u16string& text) {
    if (!OpenClipboard(window)) {
        return false;
    }
    bool ok = EmptyClipboard() && SetClipboardData(CF_UNICODETEXT, text_block(text)) != nullptr;
    CloseClipboard();
    return ok;
}

// Makes window the clipboard owner offering the formats for delayed rendering (the clipboard must be closed);
// false when opening, emptying or closing the clipboard failed.
inline bool offer_delayed(HWND window, std::initializer_list<UINT> formats) {
    if (!OpenClipboard(window)) {
        return false;
    }
    bool emptied = EmptyClipboard();
    if (emptied) {
        for (UINT format : formats) {
            SetClipboardData(format, nullptr);
        }
    }
    return CloseClipboard() && emptied;
}

}  // namespace test_support
