// Thread message queues: posting, retrieving in order, WM_QUIT, and MsgWaitForMultipleObjectsEx.
#include "winapi/processthreadsapi.h"
#include "winapi/synchapi.h"
#include "winapi/winuser.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

// Removes every message and returns their numbers (WM_QUIT included, which ends the list).
std::vector<UINT> drain(UINT filter_min = 0, UINT filter_max = 0) {
    std::vector<UINT> seen;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, filter_min, filter_max, PM_REMOVE)) {
        seen.push_back(msg.message);
        if (msg.message == WM_QUIT) {
            break;
        }
    }
    return seen;
}

// A thread that owns a message queue and waits for `done` before ending.
class QueueThread {
public:
    QueueThread() : done_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
        thread_ = std::thread([this] {
            MSG msg;
            PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // creates the queue
            id_ = GetCurrentThreadId();
            WaitForSingleObject(done_, INFINITE);
        });
        while (id_.load() == 0) {
            Sleep(1);
        }
    }
    ~QueueThread() {
        SetEvent(done_);
        thread_.join();
        CloseHandle(done_);
    }
    DWORD id() const { return id_.load(); }

private:
    HANDLE done_;
    std::atomic<DWORD> id_{0};
    std::thread thread_;
};

TEST(MessageQueue, PostedMessagesComeInOrderWithTheirParameters) {
    std::thread([] {
        ASSERT_TRUE(PostMessageW(nullptr, WM_USER + 1, 10, -20));
        ASSERT_TRUE(PostThreadMessageW(GetCurrentThreadId(), WM_APP, 30, 40));
        MSG msg;
        ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE));
        EXPECT_EQ(msg.message, static_cast<UINT>(WM_USER + 1));  // left in place
        ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
        EXPECT_EQ(msg.hwnd, nullptr);
        EXPECT_EQ(msg.message, static_cast<UINT>(WM_USER + 1));
        EXPECT_EQ(msg.wParam, 10u);
        EXPECT_EQ(msg.lParam, -20);
        EXPECT_EQ(GetMessageW(&msg, nullptr, 0, 0), 1);
        EXPECT_EQ(msg.message, static_cast<UINT>(WM_APP));
        EXPECT_EQ(msg.wParam, 30u);
        EXPECT_EQ(msg.lParam, 40);
        EXPECT_EQ(GetMessageTime(), static_cast<LONG>(msg.time));
        EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    }).join();
}

TEST(MessageQueue, RangeFilterSkipsOtherMessages) {
    std::thread([] {
        for (UINT message : {WM_USER + 1, WM_USER + 5, WM_USER + 9, WM_USER + 5}) {
            PostMessageW(nullptr, message, 0, 0);
        }
        EXPECT_EQ(drain(WM_USER + 5, WM_USER + 5), (std::vector<UINT>{WM_USER + 5, WM_USER + 5}));
        EXPECT_EQ(drain(WM_USER + 2, WM_USER + 20), (std::vector<UINT>{WM_USER + 9}));
        EXPECT_EQ(drain(), (std::vector<UINT>{WM_USER + 1}));
    }).join();
}

TEST(MessageQueue, QuitComesAfterEveryPostedMessage) {
    std::thread([] {
        PostMessageW(nullptr, WM_USER + 1, 0, 0);
        PostQuitMessage(5);
        PostMessageW(nullptr, WM_USER + 2, 0, 0);
        MSG msg;
        // WM_QUIT is returned whatever the filter, once no matching posted message is left.
        ASSERT_TRUE(PeekMessageW(&msg, nullptr, WM_USER + 2, WM_USER + 2, PM_REMOVE));
        EXPECT_EQ(msg.message, static_cast<UINT>(WM_USER + 2));
        ASSERT_TRUE(PeekMessageW(&msg, nullptr, WM_USER + 2, WM_USER + 2, PM_NOREMOVE));
        EXPECT_EQ(msg.message, static_cast<UINT>(WM_QUIT));
        EXPECT_EQ(GetMessageW(&msg, nullptr, 0, 0), 1);
        EXPECT_EQ(msg.message, static_cast<UINT>(WM_USER + 1));
        EXPECT_EQ(GetMessageW(&msg, nullptr, 0, 0), 0);
        EXPECT_EQ(msg.message, static_cast<UINT>(WM_QUIT));
        EXPECT_EQ(msg.wParam, 5u);
        EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));  // quit is taken once
    }).join();
}

TEST(MessageQueue, PostingNeedsTheTargetsQueue) {
    std::atomic<DWORD> id{0};
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread plain([&] {
        id = GetCurrentThreadId();
        WaitForSingleObject(go, INFINITE);  // a wait does not create a queue
    });
    while (id.load() == 0) {
        Sleep(1);
    }
    EXPECT_FALSE(PostThreadMessageW(id.load(), WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_THREAD_ID));
    SetEvent(go);
    plain.join();
    CloseHandle(go);

    DWORD ended_id = 0;
    {
        QueueThread ended;
        ended_id = ended.id();
        EXPECT_TRUE(PostThreadMessageW(ended_id, WM_USER, 0, 0));
    }
    EXPECT_FALSE(PostThreadMessageW(ended_id, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_THREAD_ID));

    EXPECT_FALSE(PostMessageW(reinterpret_cast<HWND>(0x1234), WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

TEST(MessageQueue, FullQueueRefusesMorePosts) {
    QueueThread target;
    for (int i = 0; i < 10000; ++i) {
        ASSERT_TRUE(PostThreadMessageW(target.id(), WM_USER, i, 0));
    }
    EXPECT_FALSE(PostThreadMessageW(target.id(), WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_QUOTA));
}

TEST(MessageQueue, GetMessageWaitsForAPost) {
    std::atomic<DWORD> id{0};
    MSG msg{};
    BOOL result = -2;
    std::thread receiver([&] {
        PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
        id = GetCurrentThreadId();
        result = GetMessageW(&msg, nullptr, 0, 0);
    });
    while (id.load() == 0) {
        Sleep(1);
    }
    Sleep(30);
    EXPECT_TRUE(PostThreadMessageW(id.load(), WM_USER + 3, 0, 0));
    receiver.join();
    EXPECT_EQ(result, 1);
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_USER + 3));
}

TEST(MsgWait, WakesForAPostFromAnotherThreadAndNotAgainOnceSeen) {
    std::thread([] {
        HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        DWORD self = GetCurrentThreadId();
        MSG msg;
        PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
        std::thread poster([self] {
            Sleep(30);
            PostThreadMessageW(self, WM_USER + 7, 0, 0);
        });
        EXPECT_EQ(MsgWaitForMultipleObjectsEx(1, &event, 5000, QS_ALLINPUT, 0), WAIT_OBJECT_0 + 1);
        poster.join();

        // Still there, but seen: only MWMO_INPUTAVAILABLE reports it.
        ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE));
        EXPECT_EQ(MsgWaitForMultipleObjectsEx(1, &event, 50, 0xFF, 0), WAIT_TIMEOUT);
        EXPECT_EQ(MsgWaitForMultipleObjectsEx(1, &event, 0, 0xFF, MWMO_INPUTAVAILABLE), WAIT_OBJECT_0 + 1);
        EXPECT_EQ(drain(), std::vector<UINT>{WM_USER + 7});
        CloseHandle(event);
    }).join();
}

TEST(MsgWait, PostBeforeTheWaitCountsAsNew) {
    std::thread([] {
        PostMessageW(nullptr, WM_USER, 0, 0);
        EXPECT_EQ(MsgWaitForMultipleObjectsEx(0, nullptr, 0, QS_POSTMESSAGE, 0), WAIT_OBJECT_0);
        // A mask without posted messages does not wake for one.
        EXPECT_EQ(MsgWaitForMultipleObjectsEx(0, nullptr, 30, QS_KEY | QS_MOUSE, 0), WAIT_TIMEOUT);
        drain();
        PostQuitMessage(0);
        EXPECT_EQ(MsgWaitForMultipleObjectsEx(0, nullptr, 0, 0xFF, 0), WAIT_OBJECT_0);
        EXPECT_EQ(drain(), std::vector<UINT>{WM_QUIT});
    }).join();
}

TEST(MsgWait, SignalledHandleComesBeforeTheQueue) {
    std::thread([] {
        HANDLE handles[2] = {CreateEventW(nullptr, FALSE, FALSE, nullptr),
                             CreateEventW(nullptr, FALSE, TRUE, nullptr)};
        PostMessageW(nullptr, WM_USER, 0, 0);
        EXPECT_EQ(MsgWaitForMultipleObjectsEx(2, handles, 0, 0xFF, 0), WAIT_OBJECT_0 + 1);
        EXPECT_EQ(MsgWaitForMultipleObjectsEx(2, handles, 0, 0xFF, 0), WAIT_OBJECT_0 + 2);
        drain();
        CloseHandle(handles[0]);
        CloseHandle(handles[1]);
    }).join();
}

std::atomic<int> apcs_run{0};
void CALLBACK count_apc(ULONG_PTR) {
    ++apcs_run;
}

TEST(MsgWait, AlertableWaitRunsApcsAndLimitsHandles) {
    std::thread([] {
        QueueUserAPC(count_apc, GetCurrentThread(), 0);
        EXPECT_EQ(MsgWaitForMultipleObjectsEx(0, nullptr, 20, 0xFF, 0), WAIT_TIMEOUT);
        EXPECT_EQ(MsgWaitForMultipleObjectsEx(0, nullptr, 1000, 0xFF, MWMO_ALERTABLE), WAIT_IO_COMPLETION);
        EXPECT_EQ(apcs_run.load(), 1);

        HANDLE many[MAXIMUM_WAIT_OBJECTS] = {};
        EXPECT_EQ(MsgWaitForMultipleObjectsEx(MAXIMUM_WAIT_OBJECTS, many, 0, 0xFF, 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }).join();
}

}  // namespace
