// Threads, their handles, priorities and APCs.
#include "winapi/processthreadsapi.h"
#include "winapi/synchapi.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include <unistd.h>

namespace {

struct Started {
    HANDLE release;  // the thread ends when this event is set
    std::atomic<DWORD> id{0};
    std::atomic<bool> ran{false};
};

DWORD WINAPI run_until_released(LPVOID argument) {
    auto* started = static_cast<Started*>(argument);
    started->id = GetCurrentThreadId();
    started->ran = true;
    WaitForSingleObject(started->release, INFINITE);
    return 42;
}

TEST(Threads, HandleSignalsAtExitAndKeepsTheExitCode) {
    Started started;
    started.release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, run_until_released, &started, 0, &id);
    ASSERT_NE(thread, nullptr);
    EXPECT_NE(id, 0u);

    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
    EXPECT_EQ(WaitForSingleObject(thread, 30), WAIT_TIMEOUT);

    SetEvent(started.release);
    EXPECT_EQ(WaitForSingleObject(thread, 2000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);  // stays signalled
    EXPECT_EQ(started.id.load(), id);
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 42u);
    CloseHandle(thread);
    CloseHandle(started.release);
}

TEST(Threads, SuspendedThreadStartsOnResume) {
    Started started;
    started.release = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 64 * 1024, run_until_released, &started, CREATE_SUSPENDED, &id);
    ASSERT_NE(thread, nullptr);
    EXPECT_NE(id, 0u);  // known before the thread runs
    Sleep(50);
    EXPECT_FALSE(started.ran.load());
    EXPECT_EQ(ResumeThread(thread), 1u);
    EXPECT_EQ(WaitForSingleObject(thread, 2000), WAIT_OBJECT_0);
    EXPECT_TRUE(started.ran.load());
    EXPECT_EQ(started.id.load(), id);
    EXPECT_EQ(ResumeThread(thread), 0u);
    CloseHandle(thread);
    CloseHandle(started.release);
}

TEST(Threads, ClosingTheHandleLeavesTheThreadRunning) {
    Started started;
    started.release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = CreateThread(nullptr, 0, run_until_released, &started, 0, nullptr);
    HANDLE copy = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), thread, GetCurrentProcess(), &copy, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    CloseHandle(thread);
    EXPECT_EQ(WaitForSingleObject(copy, 30), WAIT_TIMEOUT);
    SetEvent(started.release);
    EXPECT_EQ(WaitForSingleObject(copy, 2000), WAIT_OBJECT_0);
    CloseHandle(copy);
    CloseHandle(started.release);
}

TEST(Threads, ThreadsStartedElsewhereSignalAtExitToo) {
    HANDLE handle = nullptr;
    DWORD id = 0;
    std::thread foreign([&] {
        id = GetCurrentThreadId();
        DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &handle, 0, FALSE,
                        DUPLICATE_SAME_ACCESS);
        EXPECT_EQ(WaitForSingleObject(handle, 0), WAIT_TIMEOUT);
    });
    foreign.join();
    ASSERT_NE(handle, nullptr);
    EXPECT_NE(id, GetCurrentThreadId());
    EXPECT_EQ(WaitForSingleObject(handle, 2000), WAIT_OBJECT_0);
    CloseHandle(handle);
}

TEST(Threads, Identity) {
    EXPECT_EQ(GetCurrentProcessId(), static_cast<DWORD>(getpid()));
    EXPECT_EQ(GetCurrentThreadId(), static_cast<DWORD>(gettid()));
    EXPECT_EQ(GetCurrentThread(), reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2)));
    EXPECT_EQ(GetCurrentProcess(), reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)));
}

TEST(Threads, PriorityIsKeptPerThread) {
    const int priorities[] = {THREAD_PRIORITY_IDLE,         THREAD_PRIORITY_LOWEST,
                              THREAD_PRIORITY_BELOW_NORMAL, THREAD_PRIORITY_ABOVE_NORMAL,
                              THREAD_PRIORITY_HIGHEST,      THREAD_PRIORITY_TIME_CRITICAL,
                              THREAD_PRIORITY_NORMAL};
    std::thread([&] {
        EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_NORMAL);
        for (int priority : priorities) {
            EXPECT_TRUE(SetThreadPriority(GetCurrentThread(), priority));
            EXPECT_EQ(GetThreadPriority(GetCurrentThread()), priority);
        }
        EXPECT_FALSE(SetThreadPriority(GetCurrentThread(), 7));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }).join();
    EXPECT_EQ(GetThreadPriority(nullptr), THREAD_PRIORITY_ERROR_RETURN);
}

std::vector<ULONG_PTR>* apc_log = nullptr;

void CALLBACK record_apc(ULONG_PTR data) {
    apc_log->push_back(data);
}

TEST(Apcs, AlertableWaitRunsQueuedApcsInOrderOnTheTargetThread) {
    std::vector<ULONG_PTR> log;
    apc_log = &log;
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE self = nullptr;
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    std::thread([&] {
        EXPECT_EQ(QueueUserAPC(record_apc, self, 1), 1u);
        EXPECT_EQ(QueueUserAPC(record_apc, self, 2), 1u);
    }).join();

    // Not alertable: the APCs wait.
    EXPECT_EQ(WaitForSingleObject(event, 20), WAIT_TIMEOUT);
    EXPECT_TRUE(log.empty());

    EXPECT_EQ(WaitForSingleObjectEx(event, INFINITE, TRUE), WAIT_IO_COMPLETION);
    EXPECT_EQ(log, (std::vector<ULONG_PTR>{1, 2}));
    // Nothing left: the next alertable wait runs into its timeout.
    EXPECT_EQ(WaitForSingleObjectEx(event, 20, TRUE), WAIT_TIMEOUT);
    CloseHandle(self);
    CloseHandle(event);
}

TEST(Apcs, ApcQueuedDuringAnAlertableWaitEndsIt) {
    std::vector<ULONG_PTR> log;
    apc_log = &log;
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE self = nullptr;
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    std::thread queuer([&] {
        Sleep(30);
        QueueUserAPC(record_apc, self, 7);
    });
    EXPECT_EQ(SleepEx(10000, TRUE), WAIT_IO_COMPLETION);
    queuer.join();
    EXPECT_EQ(log, std::vector<ULONG_PTR>{7});

    // With both an APC and a signalled event, one wait takes each: the wait that ran APCs consumed nothing.
    QueueUserAPC(record_apc, self, 8);
    SetEvent(event);
    HANDLE handles[1] = {event};
    DWORD first = WaitForMultipleObjectsEx(1, handles, FALSE, 0, TRUE);
    DWORD second = WaitForMultipleObjectsEx(1, handles, FALSE, 0, TRUE);
    EXPECT_EQ(first + second, WAIT_OBJECT_0 + WAIT_IO_COMPLETION);
    EXPECT_NE(first, second);
    EXPECT_EQ(log, (std::vector<ULONG_PTR>{7, 8}));
    CloseHandle(self);
    CloseHandle(event);
}

TEST(Apcs, QueueingToAnEndedThreadFails) {
    HANDLE handle = nullptr;
    std::thread([&] {
        DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &handle, 0, FALSE,
                        DUPLICATE_SAME_ACCESS);
    }).join();
    EXPECT_EQ(QueueUserAPC(record_apc, handle, 1), 0u);
    EXPECT_EQ(QueueUserAPC(record_apc, nullptr, 1), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    CloseHandle(handle);
}

}  // namespace
