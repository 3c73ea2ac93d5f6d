// Windows of another process: finding them, posting, sending (with copied data and re-entrance), time-outs
// against a hung process, and what may not cross.
#include "winapi/processthreadsapi.h"
#include "winapi/synchapi.h"
#include "winapi/sysinfoapi.h"
#include "winapi/winuser.h"

#include "support/child_program.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

// The helper program, its window's handle read from its first output line.
class Helper : public test_support::ChildProgram {
public:
    Helper(const char* mode, const char* class_name, const char* title)
        : ChildProgram("winapi_window_helper", {mode, class_name, title}) {
        std::string line;
        read_line(line);
        hwnd_ = reinterpret_cast<HWND>(static_cast<uintptr_t>(std::strtoul(line.c_str(), nullptr, 10)));
    }

    HWND hwnd() const { return hwnd_; }

private:
    HWND hwnd_ = nullptr;
};

struct Received {
    UINT message;
    WPARAM wparam;
    LPARAM lparam;
    std::string data;
};
std::vector<Received> received;

LRESULT CALLBACK test_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_COPYDATA) {
        auto* copy = reinterpret_cast<const COPYDATASTRUCT*>(lparam);
        received.push_back(Received{message, wparam, static_cast<LPARAM>(copy->dwData),
                                    std::string(static_cast<const char*>(copy->lpData), copy->cbData)});
        return 0x1234;
    }
    if (message == WM_USER + 3 || message == WM_USER + 5) {
        received.push_back(Received{message, wparam, lparam, {}});
        return 50;
    }
    return DefWindowProcW(hwnd, message, wparam, lparam);
}

// Every test program gets its own runtime folder, so parallel runs (and a real session on this machine) never
// see each other's windows.
class WindowProcess : public ::testing::Test {
protected:
    // What fails here fails each test in SetUp: a failure in a suite's set-up would only skip them.
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/ktw-window-test-XXXXXX";
        if (!::mkdtemp(pattern)) {
            return;
        }
        folder_ = pattern;
        ::setenv("XDG_RUNTIME_DIR", folder_.c_str(), 1);
        ::unsetenv("DISPLAY");
        WNDCLASSW wc{};
        wc.lpfnWndProc = test_proc;
        wc.lpszClassName = u"ktw_process_test";
        RegisterClassW(&wc);
        own_ = CreateWindowExW(0, u"ktw_process_test", u"tester", WS_OVERLAPPEDWINDOW, 0, 0, 10, 10, nullptr,
                               nullptr, nullptr, nullptr);
    }
    static void TearDownTestSuite() {
        if (own_) {
            DestroyWindow(own_);
            own_ = nullptr;
        }
        if (!folder_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(folder_, ignored);
            folder_.clear();
        }
    }
    void SetUp() override {
        ASSERT_FALSE(folder_.empty()) << "no runtime folder under /tmp";
        ASSERT_NE(own_, nullptr) << "the test's own window could not be made";
        received.clear();
    }

    // Runs this thread's messages until `count` arrived or 5 s passed.
    static void pump_until(size_t count) {
        DWORD start = GetTickCount();
        MSG msg;
        while (received.size() < count && GetTickCount() - start < 5000) {
            if (MsgWaitForMultipleObjectsEx(0, nullptr, 100, QS_ALLINPUT, 0) == WAIT_OBJECT_0) {
                while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
                    DispatchMessageW(&msg);
                }
            }
        }
    }

    static std::string folder_;
    static HWND own_;
};

std::string WindowProcess::folder_;
HWND WindowProcess::own_;

TEST_F(WindowProcess, FindsAnotherProcessWindowByClassAndTitle) {
    Helper helper("serve", "Redc_WClass", "Session Parent");
    ASSERT_NE(helper.hwnd(), nullptr);
    EXPECT_LE(reinterpret_cast<uintptr_t>(helper.hwnd()), 0xFFFFFFFFu);
    EXPECT_EQ(FindWindowW(u"redc_wclass", nullptr), helper.hwnd());
    EXPECT_EQ(FindWindowW(u"REDC_WCLASS", u"session parent"), helper.hwnd());
    EXPECT_EQ(FindWindowA(nullptr, "Session Parent"), helper.hwnd());
    EXPECT_EQ(FindWindowW(u"redc_wclass", u"Session"), nullptr);  // the title must match whole
    EXPECT_EQ(FindWindowW(u"ktw_process_test", nullptr), own_);

    DWORD pid = 0;
    EXPECT_NE(GetWindowThreadProcessId(helper.hwnd(), &pid), 0u);
    EXPECT_EQ(pid, static_cast<DWORD>(helper.pid()));
    EXPECT_TRUE(IsWindow(helper.hwnd()));

    std::vector<HWND> listed;
    EnumWindows(
        [](HWND hwnd, LPARAM list) {
            reinterpret_cast<std::vector<HWND>*>(list)->push_back(hwnd);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&listed));
    EXPECT_NE(std::find(listed.begin(), listed.end(), helper.hwnd()), listed.end());
    EXPECT_NE(std::find(listed.begin(), listed.end(), own_), listed.end());

    // Closed by a posted WM_CLOSE, the window is gone for everyone.
    EXPECT_TRUE(PostMessageW(helper.hwnd(), WM_CLOSE, 0, 0));
    EXPECT_EQ(helper.wait_exit(), 0);
    EXPECT_FALSE(IsWindow(helper.hwnd()));
    EXPECT_EQ(FindWindowW(u"redc_wclass", nullptr), nullptr);
    EXPECT_FALSE(PostMessageW(helper.hwnd(), WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

TEST_F(WindowProcess, SentMessagesAndCopiedDataReturnTheReceiversResult) {
    Helper helper("serve", "helper_class", "helper");
    ASSERT_NE(helper.hwnd(), nullptr);
    EXPECT_EQ(SendMessageW(helper.hwnd(), WM_USER + 1, 40, 2), 42);
    EXPECT_EQ(SendMessageW(helper.hwnd(), WM_USER + 1, 0, -7), -7);

    // Large blocks cross in chunks; the receiver sees every byte.
    std::vector<unsigned char> block(200000);
    LRESULT sum = 0x201;
    for (size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<unsigned char>(i * 7);
        sum += block[i];
    }
    COPYDATASTRUCT copy{0x201, static_cast<DWORD>(block.size()), block.data()};
    DWORD_PTR result = 0;
    ASSERT_TRUE(SendMessageTimeoutW(helper.hwnd(), WM_COPYDATA, reinterpret_cast<WPARAM>(own_),
                                    reinterpret_cast<LPARAM>(&copy), SMTO_NORMAL, 5000, &result));
    EXPECT_EQ(static_cast<LRESULT>(result), sum);
    COPYDATASTRUCT empty{9, 0, nullptr};
    EXPECT_EQ(SendMessageW(helper.hwnd(), WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&empty)), 9);
}

TEST_F(WindowProcess, TheOtherProcessSendsBackToUs) {
    Helper helper("serve", "helper_class", "helper");
    ASSERT_NE(helper.hwnd(), nullptr);
    // Posted: the helper then sends WM_COPYDATA here and posts the outcome.
    ASSERT_TRUE(PostMessageW(helper.hwnd(), WM_USER + 2, reinterpret_cast<WPARAM>(own_), 0));
    pump_until(2);
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0].message, static_cast<UINT>(WM_COPYDATA));
    EXPECT_EQ(received[0].wparam, reinterpret_cast<WPARAM>(helper.hwnd()));
    EXPECT_EQ(received[0].lparam, 0x777);
    EXPECT_EQ(received[0].data, "pong");
    EXPECT_EQ(received[1].message, static_cast<UINT>(WM_USER + 3));
    EXPECT_EQ(received[1].wparam, 0x1234u);
    EXPECT_EQ(received[1].lparam, TRUE);

    // Sent: while this thread waits for the answer it serves the helper's send back to it.
    received.clear();
    EXPECT_EQ(SendMessageW(helper.hwnd(), WM_USER + 4, reinterpret_cast<WPARAM>(own_), 0), 51);
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].message, static_cast<UINT>(WM_USER + 5));
}

TEST_F(WindowProcess, AHungProcessTimesOutTheSender) {
    Helper helper("hang", "hung_class", "hung");
    ASSERT_NE(helper.hwnd(), nullptr);
    EXPECT_TRUE(IsWindow(helper.hwnd()));  // its listener still answers
    char text[] = "failure text";
    COPYDATASTRUCT copy{0x545, sizeof text, text};
    DWORD start = GetTickCount();
    DWORD_PTR result = 5;
    EXPECT_FALSE(
        SendMessageTimeoutW(helper.hwnd(), WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&copy), 0, 300, &result));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));
    EXPECT_EQ(result, 0u);
    EXPECT_GE(GetTickCount() - start, 250u);
    EXPECT_LT(GetTickCount() - start, 3000u);
    // Posting does not wait for the receiver.
    EXPECT_TRUE(PostMessageW(helper.hwnd(), WM_USER + 9, 0, 0));

    // A process that died leaves nothing to wait for.
    helper.stop();
    start = GetTickCount();
    EXPECT_FALSE(SendMessageTimeoutW(helper.hwnd(), WM_USER, 0, 0, 0, 5000, &result));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_LT(GetTickCount() - start, 3000u);
}

TEST_F(WindowProcess, MessagesWithPointersOtherThanCopyDataDoNotCross) {
    Helper helper("serve", "helper_class", "helper");
    ASSERT_NE(helper.hwnd(), nullptr);
    // WM_SETTEXT's lParam would be a pointer into this process: refused instead of handed over.
    EXPECT_EQ(SendMessageW(helper.hwnd(), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(u"x")), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(PostMessageW(helper.hwnd(), WM_TIMER, 1, 0x1000));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    COPYDATASTRUCT copy{1, 0, nullptr};
    EXPECT_FALSE(PostMessageW(helper.hwnd(), WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&copy)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MESSAGE_SYNC_ONLY));
    // A window handle naming this process's id space but no window of the helper is refused by it.
    HWND bogus = reinterpret_cast<HWND>(reinterpret_cast<uintptr_t>(helper.hwnd()) ^ 0x3FF);
    EXPECT_FALSE(PostMessageW(bogus, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

}  // namespace
