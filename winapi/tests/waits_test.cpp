// Events and the waits: who is released, what is consumed, and how waits fail.
#include "winapi/synchapi.h"
#include "winapi/sysinfoapi.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

namespace {

TEST(Events, InitialStateAndResetKind) {
    struct Case {
        BOOL manual;
        BOOL initial;
        DWORD first_wait;
        DWORD second_wait;
    };
    const Case cases[] = {
        {FALSE, FALSE, WAIT_TIMEOUT, WAIT_TIMEOUT},
        {FALSE, TRUE, WAIT_OBJECT_0, WAIT_TIMEOUT},
        {TRUE, FALSE, WAIT_TIMEOUT, WAIT_TIMEOUT},
        {TRUE, TRUE, WAIT_OBJECT_0, WAIT_OBJECT_0},
    };
    for (const Case& c : cases) {
        HANDLE event = CreateEventW(nullptr, c.manual, c.initial, nullptr);
        ASSERT_NE(event, nullptr);
        EXPECT_EQ(WaitForSingleObject(event, 0), c.first_wait) << c.manual << c.initial;
        EXPECT_EQ(WaitForSingleObject(event, 0), c.second_wait) << c.manual << c.initial;
        CloseHandle(event);
    }
}

TEST(Events, SettingTwiceReleasesOneWaitAndResetClears) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    EXPECT_TRUE(SetEvent(event));
    EXPECT_TRUE(SetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);

    SetEvent(event);
    EXPECT_TRUE(ResetEvent(event));
    EXPECT_TRUE(ResetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    CloseHandle(event);
}

TEST(Events, AutoResetWakesExactlyOneOfTwoWaiters) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::atomic<int> woken{0};
    auto waiter = [&] {
        if (WaitForSingleObject(event, 3000) == WAIT_OBJECT_0) {
            ++woken;
        }
    };
    std::thread a(waiter);
    std::thread b(waiter);
    Sleep(50);  // both are waiting, or about to
    SetEvent(event);
    // One wakes at once; the other must still be waiting after a while.
    for (int i = 0; i < 200 && woken.load() == 0; ++i) {
        Sleep(10);
    }
    Sleep(100);
    EXPECT_EQ(woken.load(), 1);
    SetEvent(event);
    a.join();
    b.join();
    EXPECT_EQ(woken.load(), 2);
    CloseHandle(event);
}

TEST(Events, ManualResetWakesEveryWaiter) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<int> woken{0};
    std::thread waiters[3];
    for (auto& waiter : waiters) {
        waiter = std::thread([&] {
            if (WaitForSingleObject(event, 2000) == WAIT_OBJECT_0) {
                ++woken;
            }
        });
    }
    Sleep(50);
    SetEvent(event);
    for (auto& waiter : waiters) {
        waiter.join();
    }
    EXPECT_EQ(woken.load(), 3);
    CloseHandle(event);
}

TEST(Waits, LowestSignalledIndexWinsAndOnlyItIsConsumed) {
    HANDLE events[3];
    for (auto& event : events) {
        event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    }
    SetEvent(events[2]);
    SetEvent(events[1]);
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_OBJECT_0 + 2);
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_TIMEOUT);
    for (auto& event : events) {
        CloseHandle(event);
    }
}

TEST(Waits, SignalFromAnotherThreadEndsAnInfiniteWait) {
    HANDLE events[2] = {CreateEventW(nullptr, FALSE, FALSE, nullptr),
                        CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    std::thread setter([&] {
        Sleep(30);
        SetEvent(events[1]);
    });
    EXPECT_EQ(WaitForMultipleObjects(2, events, FALSE, INFINITE), WAIT_OBJECT_0 + 1);
    setter.join();
    CloseHandle(events[0]);
    CloseHandle(events[1]);
}

TEST(Waits, TimedOutWaitConsumesNothing) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::thread waiter([&] { EXPECT_EQ(WaitForSingleObject(event, 50), WAIT_TIMEOUT); });
    waiter.join();
    SetEvent(event);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    CloseHandle(event);
}

TEST(Waits, TimeoutIsKept) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ULONGLONG start = GetTickCount64();
    EXPECT_EQ(WaitForSingleObject(event, 60), WAIT_TIMEOUT);
    ULONGLONG waited = GetTickCount64() - start;
    EXPECT_GE(waited, 60u);
    EXPECT_LT(waited, 2000u);
    CloseHandle(event);
}

TEST(Waits, BadArgumentsFail) {
    HANDLE event = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    HANDLE closed = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    CloseHandle(closed);
    HANDLE twice[2] = {event, event};
    HANDLE many[MAXIMUM_WAIT_OBJECTS + 1] = {};

    struct Case {
        const char* what;
        std::function<DWORD()> wait;
        DWORD error;
    };
    const Case cases[] = {
        {"null handle", [&] { return WaitForSingleObject(nullptr, 0); }, ERROR_INVALID_HANDLE},
        {"closed handle", [&] { return WaitForSingleObject(closed, 0); }, ERROR_INVALID_HANDLE},
        {"no handles", [&] { return WaitForMultipleObjects(0, twice, FALSE, 0); }, ERROR_INVALID_PARAMETER},
        {"65 handles", [&] { return WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, many, FALSE, 0); },
         ERROR_INVALID_PARAMETER},
        {"same handle twice", [&] { return WaitForMultipleObjects(2, twice, FALSE, 0); },
         ERROR_INVALID_PARAMETER},
        {"wait-all", [&] { return WaitForMultipleObjects(1, twice, TRUE, 0); }, ERROR_NOT_SUPPORTED},
    };
    for (const Case& c : cases) {
        SetLastError(0);
        EXPECT_EQ(c.wait(), WAIT_FAILED) << c.what;
        EXPECT_EQ(GetLastError(), c.error) << c.what;
    }
    // The failed waits consumed nothing.
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    CloseHandle(event);
}

TEST(Waits, SleepLastsAtLeastItsTime) {
    ULONGLONG start = GetTickCount64();
    Sleep(30);
    EXPECT_GE(GetTickCount64() - start, 30u);
    EXPECT_EQ(SleepEx(20, FALSE), 0u);
    EXPECT_EQ(SleepEx(0, TRUE), 0u);
    Sleep(0);
    SwitchToThread();
}

}  // namespace
