// Timer queues: firing, one-shot timers, and the three ways of deleting.
#include "winapi/processthreadsapi.h"
#include "winapi/synchapi.h"
#include "winapi/sysinfoapi.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

struct Calls {
    std::atomic<int> count{0};
    std::atomic<DWORD> thread{0};
    std::atomic<bool> fired_flag{false};
    std::atomic<ULONGLONG> first_call_at{0};
    HANDLE hold = nullptr;            // when set, each call waits for this event before it returns
    std::atomic<bool> inside{false};  // a call is running
    HANDLE timer = nullptr;           // for the callback that deletes its own timer
    HANDLE queue = nullptr;
    std::atomic<DWORD> self_delete_error{0};
};

void CALLBACK count_call(PVOID parameter, BOOLEAN timer_fired) {
    auto* calls = static_cast<Calls*>(parameter);
    calls->inside = true;
    calls->thread = GetCurrentThreadId();
    calls->fired_flag = timer_fired != FALSE;
    ULONGLONG none = 0;
    calls->first_call_at.compare_exchange_strong(none, GetTickCount64());
    if (calls->hold) {
        WaitForSingleObject(calls->hold, 10000);
    }
    calls->inside = false;
    ++calls->count;  // last: a test that saw the count may end and free `calls`
}

bool wait_for(const std::atomic<int>& value, int at_least) {
    for (int i = 0; i < 1000 && value.load() < at_least; ++i) {
        Sleep(5);
    }
    return value.load() >= at_least;
}

TEST(TimerQueue, PeriodicTimerFiresOnTheQueueThread) {
    HANDLE queue = CreateTimerQueue();
    ASSERT_NE(queue, nullptr);
    Calls calls;
    HANDLE timer = nullptr;
    ASSERT_TRUE(CreateTimerQueueTimer(&timer, queue, count_call, &calls, 0, 10, WT_EXECUTEDEFAULT));
    EXPECT_TRUE(wait_for(calls.count, 3));
    EXPECT_NE(calls.thread.load(), GetCurrentThreadId());
    EXPECT_TRUE(calls.fired_flag.load());
    EXPECT_TRUE(DeleteTimerQueueTimer(queue, timer, INVALID_HANDLE_VALUE));
    int after_delete = calls.count.load();
    Sleep(50);
    EXPECT_EQ(calls.count.load(), after_delete);
    EXPECT_TRUE(DeleteTimerQueueEx(queue, INVALID_HANDLE_VALUE));
}

TEST(TimerQueue, OneShotTimerFiresOnceAfterItsDueTime) {
    Calls calls;
    HANDLE timer = nullptr;
    ULONGLONG created_at = GetTickCount64();
    // The default queue (NULL) serves too.
    ASSERT_TRUE(CreateTimerQueueTimer(&timer, nullptr, count_call, &calls, 30, 0, WT_EXECUTEONLYONCE));
    EXPECT_TRUE(wait_for(calls.count, 1));
    EXPECT_GE(calls.first_call_at.load() - created_at, 30u);
    Sleep(60);
    EXPECT_EQ(calls.count.load(), 1);
    EXPECT_TRUE(DeleteTimerQueueTimer(nullptr, timer, nullptr));

    EXPECT_FALSE(CreateTimerQueueTimer(&timer, nullptr, count_call, &calls, 0, 10, WT_EXECUTEONLYONCE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

// A timer whose first call is running and held there until release() is called.
class HeldTimer {
public:
    explicit HeldTimer(HANDLE queue) : queue_(queue) {
        calls.hold = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        CreateTimerQueueTimer(&timer, queue, count_call, &calls, 0, 10, 0);
        while (!calls.inside.load()) {
            Sleep(1);
        }
    }
    ~HeldTimer() {
        release();
        CloseHandle(calls.hold);
    }
    void release() { SetEvent(calls.hold); }

    Calls calls;
    HANDLE timer = nullptr;

private:
    HANDLE queue_;
};

TEST(TimerQueue, DeletingWithoutWaitingReportsARunningCallback) {
    HANDLE queue = CreateTimerQueue();
    HeldTimer held(queue);
    EXPECT_FALSE(DeleteTimerQueueTimer(queue, held.timer, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    held.release();
    EXPECT_TRUE(wait_for(held.calls.count, 1));  // the running call completes
    Sleep(50);
    EXPECT_EQ(held.calls.count.load(), 1);  // and no other starts
    DeleteTimerQueueEx(queue, INVALID_HANDLE_VALUE);
}

TEST(TimerQueue, DeletingWithInvalidHandleValueWaitsForTheRunningCallback) {
    HANDLE queue = CreateTimerQueue();
    HeldTimer held(queue);
    std::thread releaser([&] {
        Sleep(50);
        held.release();
    });
    EXPECT_TRUE(DeleteTimerQueueTimer(queue, held.timer, INVALID_HANDLE_VALUE));
    EXPECT_FALSE(held.calls.inside.load());
    EXPECT_EQ(held.calls.count.load(), 1);
    releaser.join();
    DeleteTimerQueueEx(queue, INVALID_HANDLE_VALUE);
}

TEST(TimerQueue, CompletionEventIsSetOnceCallbacksAreDone) {
    HANDLE queue = CreateTimerQueue();
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    {
        HeldTimer held(queue);
        EXPECT_TRUE(DeleteTimerQueueTimer(queue, held.timer, done));
        EXPECT_EQ(WaitForSingleObject(done, 30), WAIT_TIMEOUT);
        held.release();
        EXPECT_EQ(WaitForSingleObject(done, 5000), WAIT_OBJECT_0);
        EXPECT_EQ(held.calls.count.load(), 1);
    }

    // The same for a whole queue; its timers go with it.
    HANDLE queue_done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HeldTimer held(queue);
    EXPECT_TRUE(DeleteTimerQueueEx(queue, queue_done));
    EXPECT_EQ(WaitForSingleObject(queue_done, 30), WAIT_TIMEOUT);
    held.release();
    EXPECT_EQ(WaitForSingleObject(queue_done, 5000), WAIT_OBJECT_0);
    Sleep(40);
    EXPECT_EQ(held.calls.count.load(), 1);
    EXPECT_FALSE(DeleteTimerQueueTimer(queue, held.timer, nullptr));
    CloseHandle(done);
    CloseHandle(queue_done);
}

void CALLBACK delete_own_timer(PVOID parameter, BOOLEAN) {
    auto* calls = static_cast<Calls*>(parameter);
    if (calls->count.load() == 0) {
        SetLastError(0);
        if (!DeleteTimerQueueTimer(calls->queue, calls->timer, INVALID_HANDLE_VALUE)) {
            calls->self_delete_error = GetLastError();
        }
    }
    ++calls->count;
}

TEST(TimerQueue, CallbackDeletingItsOwnTimerDoesNotHang) {
    HANDLE queue = CreateTimerQueue();
    Calls calls;
    calls.queue = queue;
    ASSERT_TRUE(CreateTimerQueueTimer(&calls.timer, queue, delete_own_timer, &calls, 20, 10, 0));
    EXPECT_TRUE(wait_for(calls.count, 1));
    Sleep(50);
    EXPECT_EQ(calls.count.load(), 1);
    EXPECT_EQ(calls.self_delete_error.load(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_TRUE(DeleteTimerQueue(queue));
}

}  // namespace
