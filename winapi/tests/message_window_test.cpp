// Messages to windows: retrieval order, sent messages across threads (re-entrance, time-outs, copied data),
// window timers, paint, and what happens when the receiving thread goes away.
#include "winapi/processthreadsapi.h"
#include "winapi/synchapi.h"
#include "winapi/sysinfoapi.h"
#include "winapi/winuser.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

namespace {

// Each window's procedure is a std::function kept in GWLP_USERDATA, so every test states its own behaviour.
using Handler = std::function<LRESULT(HWND, UINT, WPARAM, LPARAM)>;

LRESULT CALLBACK dispatching_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    auto* handler = reinterpret_cast<Handler*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (handler && *handler) {
        return (*handler)(hwnd, message, wparam, lparam);
    }
    return DefWindowProcW(hwnd, message, wparam, lparam);
}

void register_class() {
    static bool done = [] {
        WNDCLASSW wc{};
        wc.lpfnWndProc = dispatching_proc;
        wc.lpszClassName = u"ktw_message_test";
        return RegisterClassW(&wc) != 0;
    }();
    ASSERT_TRUE(done);
}

HWND make_window(Handler* handler) {
    HWND hwnd = CreateWindowExW(0, u"ktw_message_test", nullptr, 0, 0, 0, 100, 100, nullptr, nullptr, nullptr,
                                nullptr);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(handler));
    return hwnd;
}

// A thread that owns one window and runs a message loop until the window is destroyed or `stop()`.
class WindowThread {
public:
    explicit WindowThread(Handler handler) : handler_(std::move(handler)) {
        thread_ = std::thread([this] {
            hwnd_ = make_window(&handler_);
            MSG msg;
            while (!stop_ && GetMessageW(&msg, nullptr, 0, 0) > 0) {
                DispatchMessageW(&msg);
            }
            if (IsWindow(hwnd_.load())) {
                DestroyWindow(hwnd_);
            }
        });
        while (!hwnd_.load()) {
            Sleep(1);
        }
    }
    ~WindowThread() { stop(); }
    void stop() {
        if (thread_.joinable()) {
            stop_ = true;
            PostMessageW(hwnd_, WM_NULL, 0, 0);
            thread_.join();
        }
    }
    HWND hwnd() const { return hwnd_; }

private:
    Handler handler_;
    std::atomic<HWND> hwnd_{nullptr};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

std::vector<UINT> pump(HWND hwnd = nullptr) {
    std::vector<UINT> out;
    MSG msg;
    while (PeekMessageW(&msg, hwnd, 0, 0, PM_REMOVE)) {
        out.push_back(msg.message);
        DispatchMessageW(&msg);
    }
    return out;
}

class MessageWindowTest : public ::testing::Test {
protected:
    void SetUp() override { register_class(); }
};

TEST_F(MessageWindowTest, SentComeFirstThenPostedThenPaintThenTimers) {
    std::vector<UINT> order;
    Handler handler = [&](HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) -> LRESULT {
        if (message == WM_USER + 1 || message == WM_USER + 2 || message == WM_TIMER) {
            order.push_back(message);
            if (message == WM_TIMER) {
                KillTimer(hwnd, 1);
            }
            return 0;
        }
        if (message == WM_PAINT) {
            order.push_back(message);
        }
        return DefWindowProcW(hwnd, message, wparam, lparam);  // validates
    };
    HWND hwnd = make_window(&handler);
    SetTimer(hwnd, 1, 10, nullptr);
    Sleep(30);  // due before anything else is queued
    InvalidateRect(hwnd, nullptr, FALSE);
    PostMessageW(hwnd, WM_USER + 1, 0, 0);
    std::thread sender([hwnd] { SendMessageW(hwnd, WM_USER + 2, 0, 0); });
    ASSERT_EQ(MsgWaitForMultipleObjectsEx(0, nullptr, 5000, QS_SENDMESSAGE, 0),
              static_cast<DWORD>(WAIT_OBJECT_0));
    // The sent message runs inside PeekMessage and is never returned.
    EXPECT_EQ(pump(), (std::vector<UINT>{WM_USER + 1, WM_PAINT, WM_TIMER}));
    sender.join();
    EXPECT_EQ(order, (std::vector<UINT>{WM_USER + 2, WM_USER + 1, WM_PAINT, WM_TIMER}));
    DestroyWindow(hwnd);
}

TEST_F(MessageWindowTest, PaintStaysUntilValidatedAndMergesInvalidations) {
    Handler handler = [](HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) -> LRESULT { return 0; };
    HWND hwnd = make_window(&handler);
    RECT a{10, 10, 20, 20};
    RECT b{50, 0, 60, 5};
    InvalidateRect(hwnd, &a, FALSE);
    InvalidateRect(hwnd, &b, FALSE);
    MSG msg;
    for (int i = 0; i < 2; ++i) {  // PM_REMOVE does not remove WM_PAINT
        ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
        EXPECT_EQ(msg.message, static_cast<UINT>(WM_PAINT));
    }
    PAINTSTRUCT paint;
    BeginPaint(hwnd, &paint);
    EXPECT_EQ(paint.rcPaint.left, 10);
    EXPECT_EQ(paint.rcPaint.top, 0);
    EXPECT_EQ(paint.rcPaint.right, 60);
    EXPECT_EQ(paint.rcPaint.bottom, 20);
    EndPaint(hwnd, &paint);
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));

    RECT outside{200, 200, 300, 300};  // beyond the 100x100 client area
    InvalidateRect(hwnd, &outside, FALSE);
    EXPECT_FALSE(GetUpdateRect(hwnd, nullptr, FALSE));
    DestroyWindow(hwnd);
}

TEST_F(MessageWindowTest, SendRunsOnTheOwnerThreadAndReturnsItsResult) {
    std::atomic<DWORD> ran_on{0};
    WindowThread owner([&](HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) -> LRESULT {
        if (message == WM_USER) {
            ran_on = GetCurrentThreadId();
            EXPECT_TRUE(InSendMessage());
            return static_cast<LRESULT>(wparam * 2 + lparam);
        }
        return DefWindowProcW(hwnd, message, wparam, lparam);
    });
    EXPECT_EQ(SendMessageW(owner.hwnd(), WM_USER, 20, 2), 42);
    EXPECT_EQ(ran_on.load(), GetWindowThreadProcessId(owner.hwnd(), nullptr));
    EXPECT_NE(ran_on.load(), GetCurrentThreadId());
    EXPECT_FALSE(InSendMessage());
}

TEST_F(MessageWindowTest, SendsBackToBackNeverFindTheOwnerAsleep) {
    // Each send is queued while the owner may be between serving the previous one and looking at its posted
    // messages; that look must not hide the new send from the owner's wait.
    WindowThread owner([](HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) -> LRESULT {
        return message == WM_USER ? static_cast<LRESULT>(wparam + 1)
                                  : DefWindowProcW(hwnd, message, wparam, lparam);
    });
    int answered = 0;
    for (WPARAM i = 0; i < 20000; ++i) {
        DWORD_PTR result = 0;
        if (!SendMessageTimeoutW(owner.hwnd(), WM_USER, i, 0, SMTO_NORMAL, 5000, &result) ||
            result != i + 1) {
            break;
        }
        ++answered;
    }
    EXPECT_EQ(answered, 20000);
}

TEST_F(MessageWindowTest, ASenderServesMessagesSentToItWhileItWaits) {
    // Thread B's procedure sends back to the waiting thread A's window: A must run it inside its own send.
    std::atomic<int> served{0};
    Handler mine = [&](HWND, UINT message, WPARAM, LPARAM) -> LRESULT {
        if (message == WM_USER + 5) {
            ++served;
            return 5;
        }
        return 0;
    };
    HWND own = make_window(&mine);
    WindowThread other([own](HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) -> LRESULT {
        if (message == WM_USER) {
            return SendMessageW(own, WM_USER + 5, 0, 0) + 1;
        }
        return DefWindowProcW(hwnd, message, wparam, lparam);
    });
    EXPECT_EQ(SendMessageW(other.hwnd(), WM_USER, 0, 0), 6);
    EXPECT_EQ(served.load(), 1);

    // With SMTO_BLOCK the sender serves nothing: both wait until the time-out.
    DWORD_PTR result = 99;
    DWORD start = GetTickCount();
    EXPECT_FALSE(SendMessageTimeoutW(other.hwnd(), WM_USER, 0, 0, SMTO_BLOCK, 300, &result));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));
    EXPECT_EQ(result, 0u);
    EXPECT_GE(GetTickCount() - start, 250u);
    pump();  // the late send from the other thread is served now
    EXPECT_EQ(served.load(), 2);
    other.stop();
    DestroyWindow(own);
}

TEST_F(MessageWindowTest, TimeoutAgainstAHungReceiverAndTheDataStaysValid) {
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE entered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<bool> checked{false};
    std::atomic<bool> intact{false};
    WindowThread hung([&](HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) -> LRESULT {
        if (message == WM_USER) {
            SetEvent(entered);
            WaitForSingleObject(release, INFINITE);  // busy: not retrieving messages
            return 0;
        }
        if (message == WM_COPYDATA) {
            auto* copy = reinterpret_cast<const COPYDATASTRUCT*>(lparam);
            intact =
                copy->dwData == 0x201 && copy->cbData == 6 && std::memcmp(copy->lpData, "abcdef", 6) == 0;
            checked = true;
            return TRUE;
        }
        return DefWindowProcW(hwnd, message, wparam, lparam);
    });
    PostMessageW(hung.hwnd(), WM_USER, 0, 0);
    ASSERT_EQ(WaitForSingleObject(entered, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
    {
        // The sender's buffer is gone and overwritten before the receiver gets to the message.
        char buffer[6];
        std::memcpy(buffer, "abcdef", 6);
        COPYDATASTRUCT copy{0x201, 6, buffer};
        DWORD start = GetTickCount();
        DWORD_PTR result;
        EXPECT_FALSE(SendMessageTimeoutW(hung.hwnd(), WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&copy),
                                         SMTO_NORMAL, 200, &result));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));
        EXPECT_GE(GetTickCount() - start, 150u);
        EXPECT_LT(GetTickCount() - start, 2000u);
        std::memset(buffer, 'x', sizeof buffer);
    }
    SetEvent(release);
    for (int i = 0; i < 200 && !checked; ++i) {
        Sleep(10);
    }
    EXPECT_TRUE(intact.load());
    hung.stop();
    CloseHandle(release);
    CloseHandle(entered);
}

TEST_F(MessageWindowTest, AbortIfHungGivesUpAtOnceOnAReceiverStuckForFiveSeconds) {
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE entered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    WindowThread stuck([&](HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) -> LRESULT {
        if (message == WM_USER) {
            SetEvent(entered);
            WaitForSingleObject(release, INFINITE);
        }
        return DefWindowProcW(hwnd, message, wparam, lparam);
    });
    PostMessageW(stuck.hwnd(), WM_USER, 0, 0);
    ASSERT_EQ(WaitForSingleObject(entered, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
    PostMessageW(stuck.hwnd(), WM_USER + 1, 0, 0);  // waits unseen from now on
    DWORD_PTR result;
    // Not yet hung: the send waits for its time-out.
    DWORD start = GetTickCount();
    EXPECT_FALSE(SendMessageTimeoutW(stuck.hwnd(), WM_USER + 2, 0, 0, SMTO_ABORTIFHUNG, 100, &result));
    EXPECT_GE(GetTickCount() - start, 80u);
    Sleep(5500);
    start = GetTickCount();
    EXPECT_FALSE(SendMessageTimeoutW(stuck.hwnd(), WM_USER + 2, 0, 0, SMTO_ABORTIFHUNG, 10000, &result));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));
    EXPECT_LT(GetTickCount() - start, 2000u);
    SetEvent(release);
    stuck.stop();
    CloseHandle(release);
    CloseHandle(entered);
}

TEST_F(MessageWindowTest, SendersAreReleasedWhenTheWindowOrItsThreadGoes) {
    HANDLE entered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<HWND> window{nullptr};
    std::thread owner([&] {
        Handler handler = [](HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) -> LRESULT { return 1; };
        window = make_window(&handler);
        SetEvent(entered);
        Sleep(200);  // a sender is waiting by now; the thread ends without retrieving messages
    });
    WaitForSingleObject(entered, INFINITE);
    DWORD_PTR result = 7;
    EXPECT_FALSE(SendMessageTimeoutW(window, WM_USER, 0, 0, SMTO_NORMAL, 10000, &result));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    owner.join();
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(SendMessageW(window.load(), WM_USER, 0, 0), 0);
    CloseHandle(entered);
}

TEST_F(MessageWindowTest, PostingFollowsWindowsRules) {
    Handler handler;
    HWND hwnd = make_window(&handler);
    COPYDATASTRUCT copy{1, 0, nullptr};
    EXPECT_FALSE(PostMessageW(hwnd, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&copy)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MESSAGE_SYNC_ONLY));
    HWND gone = hwnd;
    DestroyWindow(hwnd);
    EXPECT_FALSE(PostMessageW(gone, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    // A filter on a window that does not exist makes GetMessage fail instead of waiting forever.
    MSG msg;
    EXPECT_EQ(GetMessageW(&msg, gone, 0, 0), -1);
}

TEST_F(MessageWindowTest, TimersRepeatRestartAndStop) {
    std::vector<UINT_PTR> fired;
    Handler handler = [&](HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) -> LRESULT {
        if (message == WM_TIMER) {
            fired.push_back(wparam);
        }
        return 0;
    };
    HWND hwnd = make_window(&handler);
    // Interval 0 becomes the 10 ms minimum; id 0 is a valid id on a window.
    EXPECT_NE(SetTimer(hwnd, 0, 0, nullptr), 0u);
    EXPECT_EQ(SetTimer(hwnd, 7, 5000, nullptr), 7u);
    MSG msg;
    DWORD start = GetTickCount();
    while (fired.size() < 3 && GetTickCount() - start < 2000) {
        if (GetMessageW(&msg, nullptr, 0, 0) > 0) {
            DispatchMessageW(&msg);
        }
    }
    EXPECT_EQ(fired, (std::vector<UINT_PTR>{0, 0, 0}));
    EXPECT_TRUE(KillTimer(hwnd, 0));
    EXPECT_FALSE(KillTimer(hwnd, 0));
    // Setting timer 7 again restarts it at the new interval.
    fired.clear();
    SetTimer(hwnd, 7, 20, nullptr);
    start = GetTickCount();
    while (fired.empty() && GetTickCount() - start < 2000) {
        if (GetMessageW(&msg, nullptr, 0, 0) > 0) {
            DispatchMessageW(&msg);
        }
    }
    EXPECT_EQ(fired, (std::vector<UINT_PTR>{7}));

    // Missed expirations merge into one WM_TIMER.
    fired.clear();
    Sleep(100);
    pump();
    EXPECT_EQ(fired.size(), 1u);
    DestroyWindow(hwnd);
}

TEST_F(MessageWindowTest, TimerProcedureRunsFromDispatchAndWakesTheLoopWait) {
    static std::atomic<int> calls{0};
    Handler handler;
    HWND hwnd = make_window(&handler);
    SetTimer(hwnd, 3, 50, [](HWND, UINT message, UINT_PTR id, DWORD) {
        if (message == WM_TIMER && id == 3) {
            ++calls;
        }
    });
    // The loop's wait (as the program's loops wait) wakes for the timer.
    DWORD start = GetTickCount();
    EXPECT_EQ(MsgWaitForMultipleObjectsEx(0, nullptr, 2000, QS_ALLINPUT, 0),
              static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_LT(GetTickCount() - start, 1500u);
    pump();
    EXPECT_EQ(calls.load(), 1);
    KillTimer(hwnd, 3);
    EXPECT_EQ(MsgWaitForMultipleObjectsEx(0, nullptr, 100, QS_ALLINPUT, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    DestroyWindow(hwnd);
}

TEST_F(MessageWindowTest, LoopWaitWakesForAnIncomingSend) {
    Handler handler = [](HWND, UINT message, WPARAM, LPARAM) -> LRESULT {
        return message == WM_USER ? 9 : 0;
    };
    HWND hwnd = make_window(&handler);
    std::atomic<LRESULT> answer{0};
    std::thread sender([&] { answer = SendMessageW(hwnd, WM_USER, 0, 0); });
    EXPECT_EQ(MsgWaitForMultipleObjectsEx(0, nullptr, 5000, QS_SENDMESSAGE, 0),
              static_cast<DWORD>(WAIT_OBJECT_0));
    pump();
    sender.join();
    EXPECT_EQ(answer.load(), 9);
    DestroyWindow(hwnd);
}

}  // namespace
