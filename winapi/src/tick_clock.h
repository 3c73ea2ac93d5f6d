// The layer's clock: CLOCK_MONOTONIC. Tick counts are milliseconds of it, plus an offset tests may set.
#pragma once

#include <cstdint>

namespace winapi_internal {

// Nanoseconds of CLOCK_MONOTONIC; deadlines of waits use this directly.
uint64_t monotonic_ns();

// Tests only: added to the tick counts (not to wait deadlines), e.g. to start GetTickCount near its wrap.
void set_tick_count_offset(uint64_t milliseconds);

}  // namespace winapi_internal
