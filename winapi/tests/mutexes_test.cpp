// Mutexes: ownership, recursion, release rules and abandonment.
#include "winapi/processthreadsapi.h"
#include "winapi/synchapi.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

DWORD wait_from_other_thread(HANDLE handle, DWORD milliseconds) {
    DWORD result = WAIT_FAILED;
    std::thread([&] {
        result = WaitForSingleObject(handle, milliseconds);
        if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) {
            ReleaseMutex(handle);
        }
    }).join();
    return result;
}

TEST(Mutexes, OwnerMayWaitAgainAndMustReleaseAsOften) {
    HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
    ASSERT_NE(mutex, nullptr);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
    }
    EXPECT_EQ(wait_from_other_thread(mutex, 30), WAIT_TIMEOUT);
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_EQ(wait_from_other_thread(mutex, 30), WAIT_TIMEOUT);
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_EQ(wait_from_other_thread(mutex, 0), WAIT_OBJECT_0);
    CloseHandle(mutex);
}

TEST(Mutexes, ReleaseByANonOwnerFails) {
    HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
    EXPECT_FALSE(ReleaseMutex(mutex));  // nobody owns it
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));

    ASSERT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
    BOOL released = TRUE;
    DWORD error = 0;
    std::thread([&] {
        released = ReleaseMutex(mutex);
        error = GetLastError();
    }).join();
    EXPECT_FALSE(released);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_NOT_OWNER));
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_FALSE(ReleaseMutex(mutex));  // one release too many
    CloseHandle(mutex);
}

TEST(Mutexes, InitialOwnerHoldsTheMutex) {
    HANDLE mutex = CreateMutexW(nullptr, TRUE, nullptr);
    EXPECT_EQ(wait_from_other_thread(mutex, 30), WAIT_TIMEOUT);
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_EQ(wait_from_other_thread(mutex, 0), WAIT_OBJECT_0);
    CloseHandle(mutex);
}

TEST(Mutexes, ReleaseWakesAWaitingThread) {
    HANDLE mutex = CreateMutexW(nullptr, TRUE, nullptr);
    DWORD result = WAIT_FAILED;
    std::thread waiter([&] {
        result = WaitForSingleObject(mutex, 2000);
        ReleaseMutex(mutex);
    });
    Sleep(30);
    ReleaseMutex(mutex);
    waiter.join();
    EXPECT_EQ(result, WAIT_OBJECT_0);
    CloseHandle(mutex);
}

TEST(Mutexes, OwnerEndingAbandonsTheMutex) {
    HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
    HANDLE other = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::thread([&] {
        WaitForSingleObject(mutex, 0);
        WaitForSingleObject(mutex, 0);  // twice: abandonment drops the whole count
    }).join();

    // The next wait owns it, told so by the abandoned code at the mutex's index.
    HANDLE both[2] = {other, mutex};
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 1000), WAIT_ABANDONED_0 + 1);
    EXPECT_EQ(wait_from_other_thread(mutex, 30), WAIT_TIMEOUT);
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_FALSE(ReleaseMutex(mutex));
    // Abandonment is reported once.
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    CloseHandle(other);
}

DWORD WINAPI take_and_end(LPVOID mutex) {
    WaitForSingleObject(static_cast<HANDLE>(mutex), 0);
    return 0;
}

TEST(Mutexes, OwnerStartedByCreateThreadAbandonsItToo) {
    HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
    HANDLE thread = CreateThread(nullptr, 0, take_and_end, mutex, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, 2000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_ABANDONED);
    ReleaseMutex(mutex);
    CloseHandle(thread);
    CloseHandle(mutex);
}

TEST(Mutexes, ReleasedMutexIsNotAbandoned) {
    HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
    std::thread([&] {
        WaitForSingleObject(mutex, 0);
        ReleaseMutex(mutex);
    }).join();
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
    ReleaseMutex(mutex);
    CloseHandle(mutex);
}

}  // namespace
