// The handle table, pseudo handles, CloseHandle, DuplicateHandle and the per-thread last error.
#include "winapi/processthreadsapi.h"
#include "winapi/synchapi.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>

namespace {

TEST(Handles, ValuesAreDistinctFromTheSpecialOnesAndFitIn32Bits) {
    std::set<HANDLE> seen;
    const HANDLE special[] = {nullptr, INVALID_HANDLE_VALUE, GetCurrentProcess(), GetCurrentThread()};
    for (int i = 0; i < 100; ++i) {
        HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        ASSERT_NE(event, nullptr);
        for (HANDLE s : special) {
            EXPECT_NE(event, s);
        }
        EXPECT_LE(reinterpret_cast<uintptr_t>(event), 0x7FFFFFFFu);
        EXPECT_TRUE(seen.insert(event).second);
    }
    for (HANDLE event : seen) {
        EXPECT_TRUE(CloseHandle(event));
    }
}

TEST(Handles, ClosingTwiceOrClosingNothingFails) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    EXPECT_TRUE(CloseHandle(event));
    EXPECT_FALSE(CloseHandle(event));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(CloseHandle(nullptr));
    EXPECT_FALSE(SetEvent(event));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    // Pseudo handles are never really closed.
    EXPECT_TRUE(CloseHandle(GetCurrentThread()));
}

TEST(Handles, ObjectLivesUntilItsLastHandleCloses) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE copy = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), event, GetCurrentProcess(), &copy, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    EXPECT_NE(copy, event);
    CloseHandle(event);
    EXPECT_TRUE(SetEvent(copy));
    EXPECT_EQ(WaitForSingleObject(copy, 0), WAIT_OBJECT_0);
    CloseHandle(copy);
}

TEST(Handles, DuplicateWithCloseSourceMovesTheHandle) {
    HANDLE event = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    HANDLE moved = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), event, GetCurrentProcess(), &moved, 0, FALSE,
                                DUPLICATE_SAME_ACCESS | DUPLICATE_CLOSE_SOURCE));
    EXPECT_FALSE(CloseHandle(event));
    EXPECT_EQ(WaitForSingleObject(moved, 0), WAIT_OBJECT_0);
    CloseHandle(moved);
}

TEST(Handles, CurrentProcessPseudoHandleBecomesARealOne) {
    HANDLE process = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &process, 0,
                                FALSE, DUPLICATE_SAME_ACCESS));
    EXPECT_NE(process, GetCurrentProcess());
    EXPECT_NE(process, nullptr);
    EXPECT_EQ(WaitForSingleObject(process, 20), WAIT_TIMEOUT);  // this process is running

    // The real handle also names this process as a source or target.
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE copy = nullptr;
    EXPECT_TRUE(DuplicateHandle(process, event, process, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS));
    EXPECT_FALSE(DuplicateHandle(event, event, process, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    CloseHandle(copy);
    CloseHandle(event);
    EXPECT_TRUE(CloseHandle(process));
}

TEST(Handles, HandleOfAnotherTypeIsInvalid) {
    HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    EXPECT_FALSE(SetEvent(mutex));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(ReleaseMutex(event));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(ResumeThread(event), static_cast<DWORD>(-1));
    CloseHandle(mutex);
    CloseHandle(event);
}

TEST(LastError, IsPerThread) {
    SetLastError(ERROR_ACCESS_DENIED);
    DWORD other = 1;
    std::thread([&] {
        other = GetLastError();
        SetLastError(ERROR_NOT_OWNER);
    }).join();
    EXPECT_EQ(other, 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

}  // namespace
