// Window classes, creation and destruction order, window longs, text, position and showing, DefWindowProcW.
#include "winapi/processthreadsapi.h"
#include "winapi/synchapi.h"
#include "winapi/winuser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

namespace {

struct Seen {
    HWND hwnd;
    UINT message;
    WPARAM wparam;
    LPARAM lparam;
};

std::vector<Seen> seen;
// What the procedure answers WM_NCCREATE and WM_CREATE with.
LRESULT nccreate_answer = TRUE;
LRESULT create_answer = 0;
CREATESTRUCTW create_seen{};

bool is_create_family(UINT message) {
    return message == WM_GETMINMAXINFO || message == WM_NCCREATE || message == WM_NCCALCSIZE ||
           message == WM_CREATE || message == WM_SIZE || message == WM_MOVE || message == WM_DESTROY ||
           message == WM_NCDESTROY || message == WM_SHOWWINDOW || message == WM_WINDOWPOSCHANGING ||
           message == WM_WINDOWPOSCHANGED || message == WM_CLOSE || message == WM_SETTEXT;
}

LRESULT CALLBACK recording_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    if (is_create_family(message)) {
        seen.push_back(Seen{hwnd, message, wparam, lparam});
    }
    if (message == WM_NCCREATE) {
        create_seen = *reinterpret_cast<CREATESTRUCTW*>(lparam);
        if (!nccreate_answer) {
            return FALSE;
        }
    }
    if (message == WM_CREATE) {
        return create_answer;
    }
    if (message == WM_WINDOWPOSCHANGING) {
        // Windows lets the procedure edit the new position: clamp widths to 500.
        auto* pos = reinterpret_cast<WINDOWPOS*>(lparam);
        pos->cx = std::min(pos->cx, 500);
    }
    return DefWindowProcW(hwnd, message, wparam, lparam);
}

std::vector<UINT> messages_of(HWND hwnd) {
    std::vector<UINT> out;
    for (const Seen& s : seen) {
        if (!hwnd || s.hwnd == hwnd) {
            out.push_back(s.message);
        }
    }
    return out;
}

class WindowTest : public ::testing::Test {
protected:
    // A class that cannot be registered fails each test in SetUp (a failure here would only skip them).
    static void SetUpTestSuite() {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = recording_proc;
        wc.cbWndExtra = 2 * sizeof(LONG_PTR);
        wc.lpszClassName = u"ktw_window_test";
        registered_ = RegisterClassExW(&wc) != 0;
    }
    void SetUp() override {
        ASSERT_TRUE(registered_) << "the test's window class could not be registered";
        seen.clear();
        nccreate_answer = TRUE;
        create_answer = 0;
    }
    HWND create(DWORD style = WS_OVERLAPPEDWINDOW, HWND parent = nullptr, LPVOID param = nullptr) {
        return CreateWindowExW(0, u"ktw_window_test", u"Title", style, 10, 20, 300, 200, parent, nullptr,
                               nullptr, param);
    }

    static bool registered_;
};

bool WindowTest::registered_ = false;

TEST_F(WindowTest, ClassesAreUniqueIgnoringCaseAndMustExist) {
    WNDCLASSW wc{};
    wc.lpfnWndProc = DefWindowProcW;
    wc.lpszClassName = u"KTW_WINDOW_TEST";
    EXPECT_EQ(RegisterClassW(&wc), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_ALREADY_EXISTS));
    EXPECT_EQ(
        CreateWindowExW(0, u"no such class", nullptr, 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr),
        nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_DOES_NOT_EXIST));

    // A class with windows cannot go; without them it can, and its name is free again.
    wc.lpszClassName = u"ktw_short_lived";
    ATOM atom = RegisterClassW(&wc);
    ASSERT_NE(atom, 0);
    HWND hwnd = CreateWindowExW(0, MAKEINTRESOURCEW(atom), nullptr, 0, 0, 0, 1, 1, nullptr, nullptr, nullptr,
                                nullptr);
    ASSERT_NE(hwnd, nullptr);
    EXPECT_FALSE(UnregisterClassW(u"ktw_short_lived", nullptr));
    DestroyWindow(hwnd);
    EXPECT_TRUE(UnregisterClassW(u"KTW_Short_Lived", nullptr));
    EXPECT_NE(RegisterClassW(&wc), 0);
    UnregisterClassW(u"ktw_short_lived", nullptr);
}

TEST_F(WindowTest, CreationSendsItsMessagesInOrderWithTheCreateStruct) {
    int marker = 0;
    HWND hwnd = create(WS_OVERLAPPEDWINDOW, nullptr, &marker);
    ASSERT_NE(hwnd, nullptr);
    EXPECT_EQ(messages_of(hwnd),
              (std::vector<UINT>{WM_GETMINMAXINFO, WM_NCCREATE, WM_NCCALCSIZE, WM_CREATE, WM_SIZE, WM_MOVE}));
    EXPECT_EQ(create_seen.lpCreateParams, &marker);
    EXPECT_EQ(create_seen.x, 10);
    EXPECT_EQ(create_seen.y, 20);
    EXPECT_EQ(create_seen.cx, 300);
    EXPECT_EQ(create_seen.cy, 200);
    EXPECT_EQ(seen[4].lparam, MAKELPARAM(300, 200));  // WM_SIZE: the client size
    EXPECT_EQ(seen[5].lparam, MAKELPARAM(10, 20));    // WM_MOVE
    EXPECT_FALSE(IsWindowVisible(hwnd));
    // DefWindowProcW took the title from WM_NCCREATE.
    WCHAR title[16];
    EXPECT_EQ(GetWindowTextW(hwnd, title, 16), 5);
    EXPECT_EQ(std::u16string(title), u"Title");
    DestroyWindow(hwnd);
}

TEST_F(WindowTest, RefusedCreationReturnsNullAndLeavesNoWindow) {
    nccreate_answer = FALSE;
    EXPECT_EQ(create(), nullptr);
    HWND refused = seen.front().hwnd;
    EXPECT_FALSE(IsWindow(refused));
    EXPECT_EQ(messages_of(refused).back(), static_cast<UINT>(WM_NCDESTROY));

    seen.clear();
    nccreate_answer = TRUE;
    create_answer = -1;
    EXPECT_EQ(create(), nullptr);
    refused = seen.front().hwnd;
    EXPECT_FALSE(IsWindow(refused));
    std::vector<UINT> order = messages_of(refused);
    ASSERT_GE(order.size(), 2u);
    EXPECT_EQ(order[order.size() - 2], static_cast<UINT>(WM_DESTROY));
    EXPECT_EQ(order.back(), static_cast<UINT>(WM_NCDESTROY));
}

TEST_F(WindowTest, DestroyTellsParentBeforeChildrenAndEndsWithNcDestroy) {
    HWND parent = create();
    HWND child = create(WS_CHILD, parent);
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(GetParent(child), parent);
    PostMessageW(parent, WM_USER, 0, 0);
    seen.clear();
    ASSERT_TRUE(DestroyWindow(parent));
    std::vector<std::pair<HWND, UINT>> order;
    for (const Seen& s : seen) {
        order.emplace_back(s.hwnd, s.message);
    }
    EXPECT_EQ(order,
              (std::vector<std::pair<HWND, UINT>>{
                  {parent, WM_DESTROY}, {child, WM_DESTROY}, {child, WM_NCDESTROY}, {parent, WM_NCDESTROY}}));
    EXPECT_FALSE(IsWindow(parent));
    EXPECT_FALSE(IsWindow(child));
    MSG msg;
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));  // its posted message went with it
    EXPECT_FALSE(DestroyWindow(parent));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

TEST_F(WindowTest, OnlyTheOwnerThreadDestroysAWindow) {
    HWND hwnd = create();
    DWORD owner = GetCurrentThreadId();
    std::thread([hwnd, owner] {
        EXPECT_FALSE(DestroyWindow(hwnd));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        EXPECT_EQ(GetWindowThreadProcessId(hwnd, nullptr), owner);
    }).join();
    DWORD pid = 0;
    EXPECT_EQ(GetWindowThreadProcessId(hwnd, &pid), GetCurrentThreadId());
    EXPECT_EQ(pid, GetCurrentProcessId());
    EXPECT_TRUE(DestroyWindow(hwnd));
}

TEST_F(WindowTest, WindowLongsHoldValuesAndSubclass) {
    HWND hwnd = create();
    EXPECT_EQ(SetWindowLongPtrW(hwnd, GWLP_USERDATA, 1234), 0);
    EXPECT_EQ(GetWindowLongPtrW(hwnd, GWLP_USERDATA), 1234);
    EXPECT_EQ(SetWindowLongPtrW(hwnd, sizeof(LONG_PTR), -5), 0);
    EXPECT_EQ(GetWindowLongPtrW(hwnd, sizeof(LONG_PTR)), -5);
    EXPECT_EQ(GetWindowLongW(hwnd, GWL_STYLE) & WS_CAPTION, static_cast<LONG>(WS_CAPTION));

    SetLastError(0);
    EXPECT_EQ(GetWindowLongPtrW(hwnd, 2 * sizeof(LONG_PTR)), 0);  // past the class's extra bytes
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_INDEX));
    EXPECT_EQ(GetWindowLongPtrW(nullptr, GWLP_USERDATA), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));

    static WNDPROC previous;
    static int intercepted;
    intercepted = 0;
    WNDPROC sub = [](HWND h, UINT m, WPARAM w, LPARAM l) -> LRESULT {
        if (m == WM_USER + 7) {
            ++intercepted;
            return 77;
        }
        return CallWindowProcW(previous, h, m, w, l);
    };
    previous =
        reinterpret_cast<WNDPROC>(SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(sub)));
    EXPECT_EQ(previous, recording_proc);
    EXPECT_EQ(SendMessageW(hwnd, WM_USER + 7, 0, 0), 77);
    seen.clear();
    SendMessageW(hwnd, WM_CLOSE, 0, 0);  // passed on, and DefWindowProcW destroys the window
    EXPECT_EQ(intercepted, 1);
    EXPECT_EQ(messages_of(hwnd).front(), static_cast<UINT>(WM_CLOSE));
    EXPECT_FALSE(IsWindow(hwnd));
}

TEST_F(WindowTest, TextIsSetThroughWmSettextAndTruncatedOnRead) {
    HWND hwnd = create();
    seen.clear();
    ASSERT_TRUE(SetWindowTextW(hwnd, u"KTW Session"));
    EXPECT_EQ(messages_of(hwnd), (std::vector<UINT>{WM_SETTEXT}));
    EXPECT_EQ(GetWindowTextLengthW(hwnd), 11);
    WCHAR small[4];
    EXPECT_EQ(GetWindowTextW(hwnd, small, 4), 3);
    EXPECT_EQ(std::u16string(small), u"KTW");
    DestroyWindow(hwnd);
}

TEST_F(WindowTest, PositionChangesGoThroughWindowPosMessages) {
    HWND hwnd = create();
    seen.clear();
    ASSERT_TRUE(SetWindowPos(hwnd, nullptr, 50, 60, 800, 100, SWP_NOZORDER | SWP_NOACTIVATE));
    EXPECT_EQ(messages_of(hwnd),
              (std::vector<UINT>{WM_WINDOWPOSCHANGING, WM_WINDOWPOSCHANGED, WM_SIZE, WM_MOVE}));
    RECT rect;
    GetClientRect(hwnd, &rect);
    EXPECT_EQ(rect.right, 500);  // the procedure's edit held
    EXPECT_EQ(rect.bottom, 100);
    GetWindowRect(hwnd, &rect);
    EXPECT_EQ(rect.left, 50);
    EXPECT_EQ(rect.top, 60);
    POINT point{5, 5};
    ClientToScreen(hwnd, &point);
    EXPECT_EQ(point.x, 55);
    EXPECT_EQ(point.y, 65);

    // Absurd values are clamped to what a window can have instead of overflowing the edges.
    MoveWindow(hwnd, INT32_MAX, INT32_MIN, 100, -5, TRUE);
    GetWindowRect(hwnd, &rect);
    EXPECT_EQ(rect.left, 32767);
    EXPECT_EQ(rect.top, -32768);
    EXPECT_EQ(rect.right, 32767 + 100);
    EXPECT_EQ(rect.bottom, -32768);

    seen.clear();
    SetWindowPos(hwnd, nullptr, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE | SWP_NOZORDER);
    EXPECT_EQ(messages_of(hwnd), (std::vector<UINT>{WM_WINDOWPOSCHANGING, WM_WINDOWPOSCHANGED}));
    DestroyWindow(hwnd);
}

TEST_F(WindowTest, ShowWindowReportsThePreviousVisibility) {
    HWND parent = create();
    HWND child = create(WS_CHILD | WS_VISIBLE, parent);
    EXPECT_FALSE(IsWindowVisible(child));  // its parent is hidden
    seen.clear();
    EXPECT_FALSE(ShowWindow(parent, SW_SHOW));
    EXPECT_EQ(messages_of(parent).front(), static_cast<UINT>(WM_SHOWWINDOW));
    EXPECT_EQ(seen.front().wparam, static_cast<WPARAM>(TRUE));
    EXPECT_TRUE(IsWindowVisible(child));
    EXPECT_TRUE(ShowWindow(parent, SW_SHOW));
    EXPECT_TRUE(ShowWindow(parent, SW_MINIMIZE));
    EXPECT_TRUE(IsIconic(parent));
    EXPECT_EQ(seen.back().message, static_cast<UINT>(WM_SIZE));
    EXPECT_EQ(seen.back().wparam, static_cast<WPARAM>(SIZE_MINIMIZED));
    EXPECT_TRUE(ShowWindow(parent, SW_HIDE));
    EXPECT_FALSE(IsWindowVisible(parent));
    DestroyWindow(parent);
}

TEST_F(WindowTest, DefaultProcedureClosesFromTheSystemMenuAndAltF4) {
    HWND hwnd = create();
    SendMessageW(hwnd, WM_SYSCOMMAND, SC_CLOSE | 0x3, 0);  // low bits are the system's own
    EXPECT_FALSE(IsWindow(hwnd));
    EXPECT_NE(std::find(messages_of(hwnd).begin(), messages_of(hwnd).end(), WM_CLOSE),
              messages_of(hwnd).end());

    hwnd = create();
    SendMessageW(hwnd, WM_SYSKEYDOWN, 0x73, 1 | (0x3E << 16) | (1 << 29));
    EXPECT_FALSE(IsWindow(hwnd));
}

TEST_F(WindowTest, MessageOnlyWindowsAreNotFoundOrPainted) {
    HWND hwnd = CreateWindowExW(0, u"ktw_window_test", u"hidden helper", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                nullptr, nullptr);
    ASSERT_NE(hwnd, nullptr);
    EXPECT_EQ(FindWindowW(nullptr, u"hidden helper"), nullptr);
    EXPECT_EQ(GetDC(hwnd), nullptr);
    HWND top = create();
    EXPECT_EQ(FindWindowW(u"KTW_window_TEST", u"title"), top);
    DestroyWindow(top);
    DestroyWindow(hwnd);
}

}  // namespace
