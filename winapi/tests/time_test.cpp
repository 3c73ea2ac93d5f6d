// Tick counts, the performance counter and calendar time.
#include "winapi/synchapi.h"
#include "winapi/sysinfoapi.h"

#include "../src/tick_clock.h"

#include <gtest/gtest.h>

#include <ctime>

namespace {

TEST(Time, ClocksAdvanceTogether) {
    LARGE_INTEGER frequency, before, after;
    ASSERT_TRUE(QueryPerformanceFrequency(&frequency));
    EXPECT_EQ(frequency.QuadPart, 10000000);
    ULONGLONG ticks = GetTickCount64();
    QueryPerformanceCounter(&before);
    Sleep(50);
    QueryPerformanceCounter(&after);
    ULONGLONG elapsed = GetTickCount64() - ticks;
    EXPECT_GE(elapsed, 50u);
    EXPECT_LT(elapsed, 5000u);
    LONGLONG counted_ms = (after.QuadPart - before.QuadPart) * 1000 / frequency.QuadPart;
    EXPECT_GE(counted_ms, 50);
    EXPECT_LE(counted_ms, static_cast<LONGLONG>(elapsed) + 1);
    EXPECT_EQ(static_cast<DWORD>(GetTickCount64()) - GetTickCount(), 0u);
}

TEST(Time, TickCountWrapsWhileTheSixtyFourBitCountGoesOn) {
    // Start 30 ms before the 32-bit count wraps.
    ULONGLONG real = GetTickCount64();
    winapi_internal::set_tick_count_offset(0x100000000ull - 30 - real % 0x100000000ull);
    DWORD start = GetTickCount();
    ULONGLONG start64 = GetTickCount64();
    Sleep(80);
    DWORD end = GetTickCount();
    ULONGLONG end64 = GetTickCount64();
    winapi_internal::set_tick_count_offset(0);

    EXPECT_GT(start, 0xFFFFFF00u);
    EXPECT_LT(end, start);                            // wrapped
    EXPECT_GE(static_cast<DWORD>(end - start), 80u);  // unsigned differences survive the wrap
    EXPECT_GE(end64 - start64, 80u);
    EXPECT_GE(end64, 0x100000000ull);
}

// The real-time clock's second, read before and after the calls: when both are the same, the calls fell
// within it.
std::time_t clock_second() {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec;
}

TEST(Time, CalendarTimeMatchesTheCLibrary) {
    SYSTEMTIME local, utc;
    std::time_t now = 0;
    bool within_one_second = false;
    for (int attempt = 0; attempt < 100 && !within_one_second; attempt++) {
        now = clock_second();
        GetLocalTime(&local);
        GetSystemTime(&utc);
        within_one_second = clock_second() == now;
    }
    ASSERT_TRUE(within_one_second);
    std::tm expected_local{}, expected_utc{};
    localtime_r(&now, &expected_local);
    gmtime_r(&now, &expected_utc);

    const std::pair<const SYSTEMTIME*, const std::tm*> cases[] = {{&local, &expected_local},
                                                                  {&utc, &expected_utc}};
    for (const auto& c : cases) {
        const SYSTEMTIME& t = *c.first;
        const std::tm& e = *c.second;
        EXPECT_EQ(t.wYear, e.tm_year + 1900);
        EXPECT_EQ(t.wMonth, e.tm_mon + 1);
        EXPECT_EQ(t.wDay, e.tm_mday);
        EXPECT_EQ(t.wDayOfWeek, e.tm_wday);
        EXPECT_EQ(t.wHour, e.tm_hour);
        EXPECT_EQ(t.wMinute, e.tm_min);
        EXPECT_EQ(t.wSecond, e.tm_sec);
        EXPECT_LT(t.wMilliseconds, 1000);
    }
}

}  // namespace
