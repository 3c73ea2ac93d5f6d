// GetTickCount(64), the performance counter, GetLocalTime and GetSystemTime.
#include "tick_clock.h"
#include "winapi/sysinfoapi.h"

#include <atomic>
#include <ctime>

namespace winapi_internal {
namespace {

std::atomic<uint64_t> tick_offset_ms{0};

void fill_system_time(const std::tm& parts, long nanoseconds, LPSYSTEMTIME time) {
    time->wYear = static_cast<WORD>(parts.tm_year + 1900);
    time->wMonth = static_cast<WORD>(parts.tm_mon + 1);
    time->wDayOfWeek = static_cast<WORD>(parts.tm_wday);
    time->wDay = static_cast<WORD>(parts.tm_mday);
    time->wHour = static_cast<WORD>(parts.tm_hour);
    time->wMinute = static_cast<WORD>(parts.tm_min);
    // A leap second (tm_sec 60) is shown as the last second of the minute, as Windows never reports 60.
    time->wSecond = static_cast<WORD>(parts.tm_sec > 59 ? 59 : parts.tm_sec);
    time->wMilliseconds = static_cast<WORD>(nanoseconds / 1000000);
}

}  // namespace

uint64_t monotonic_ns() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

void set_tick_count_offset(uint64_t milliseconds) {
    tick_offset_ms.store(milliseconds);
}

}  // namespace winapi_internal

using namespace winapi_internal;

ULONGLONG WINAPI GetTickCount64() {
    return monotonic_ns() / 1000000u + tick_offset_ms.load();
}

DWORD WINAPI GetTickCount() {
    return static_cast<DWORD>(GetTickCount64());
}

BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* count) {
    count->QuadPart = static_cast<LONGLONG>(monotonic_ns() / 100u);
    return TRUE;
}

BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* frequency) {
    frequency->QuadPart = 10000000;
    return TRUE;
}

void WINAPI GetLocalTime(LPSYSTEMTIME time) {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    std::tm parts{};
    localtime_r(&now.tv_sec, &parts);
    fill_system_time(parts, now.tv_nsec, time);
}

void WINAPI GetSystemTime(LPSYSTEMTIME time) {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    std::tm parts{};
    gmtime_r(&now.tv_sec, &parts);
    fill_system_time(parts, now.tv_nsec, time);
}
