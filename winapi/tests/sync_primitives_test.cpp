// Interlocked operations and critical sections.
#include "winapi/synchapi.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

TEST(Interlocked, ReturnValuesFollowWindows) {
    LONG volatile value = 5;
    EXPECT_EQ(InterlockedIncrement(&value), 6);       // new value
    EXPECT_EQ(InterlockedDecrement(&value), 5);       // new value
    EXPECT_EQ(InterlockedExchange(&value, 9), 5);     // previous value
    EXPECT_EQ(InterlockedExchangeAdd(&value, 3), 9);  // previous value
    EXPECT_EQ(value, 12);
    EXPECT_EQ(InterlockedCompareExchange(&value, 1, 7), 12);  // no match: unchanged
    EXPECT_EQ(value, 12);
    EXPECT_EQ(InterlockedCompareExchange(&value, 1, 12), 12);
    EXPECT_EQ(value, 1);
    EXPECT_EQ(InterlockedDecrement(&value), 0);  // reference counts rely on this
}

TEST(Interlocked, ConcurrentIncrementsAreNotLost) {
    LONG volatile count = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 100000; ++i) {
                InterlockedIncrement(&count);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(count, 400000);
}

TEST(CriticalSection, ExcludesOtherThreads) {
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    long plain_count = 0;  // not atomic: only the section protects it
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 50000; ++i) {
                EnterCriticalSection(&section);
                ++plain_count;
                LeaveCriticalSection(&section);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(plain_count, 200000);
    DeleteCriticalSection(&section);
}

TEST(CriticalSection, IsRecursiveForItsOwner) {
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    EnterCriticalSection(&section);
    EnterCriticalSection(&section);
    EXPECT_TRUE(TryEnterCriticalSection(&section));

    auto other_thread_gets_it = [&] {
        BOOL entered = FALSE;
        std::thread([&] {
            entered = TryEnterCriticalSection(&section);
            if (entered) {
                LeaveCriticalSection(&section);
            }
        }).join();
        return entered != FALSE;
    };
    LeaveCriticalSection(&section);
    LeaveCriticalSection(&section);
    EXPECT_FALSE(other_thread_gets_it());
    LeaveCriticalSection(&section);
    EXPECT_TRUE(other_thread_gets_it());
    DeleteCriticalSection(&section);
}

TEST(CriticalSection, WaiterEntersWhenTheOwnerLeaves) {
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    EnterCriticalSection(&section);
    LONG volatile entered = 0;
    std::thread waiter([&] {
        EnterCriticalSection(&section);
        InterlockedExchange(&entered, 1);
        LeaveCriticalSection(&section);
    });
    Sleep(50);
    EXPECT_EQ(entered, 0);
    LeaveCriticalSection(&section);
    waiter.join();
    EXPECT_EQ(entered, 1);
    DeleteCriticalSection(&section);
}

}  // namespace
