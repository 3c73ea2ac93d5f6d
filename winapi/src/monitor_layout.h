// Which monitor a point or rectangle belongs to: the geometry behind MonitorFromPoint/Rect/Window.
#pragma once

#include <vector>

#include "winapi/wintypes.h"

namespace winapi_internal {

// The index in monitors (virtual-screen rectangles, right and bottom exclusive) of the monitor that shares
// the largest area with rect (the first on a tie). When none does: -1 for MONITOR_DEFAULTTONULL, primary for
// MONITOR_DEFAULTTOPRIMARY, the closest monitor for MONITOR_DEFAULTTONEAREST. An empty rect counts as its
// top-left pixel. -1 when there are no monitors.
int monitor_index_for_rect(const std::vector<RECT>& monitors, int primary, const RECT& rect, DWORD flags);

}  // namespace winapi_internal
