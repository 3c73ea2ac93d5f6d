#include "monitor_layout.h"

#include <algorithm>
#include <cstdint>

#include "winapi/winuser_display.h"

namespace winapi_internal {

namespace {

int64_t overlap(int64_t a0, int64_t a1, int64_t b0, int64_t b1) {
    return std::max<int64_t>(0, std::min(a1, b1) - std::max(a0, b0));
}

// Gap between [a0, a1) and [b0, b1) along one axis, 0 when they overlap.
int64_t gap(int64_t a0, int64_t a1, int64_t b0, int64_t b1) {
    if (a1 <= b0) {
        return b0 - a1 + 1;
    }
    if (b1 <= a0) {
        return a0 - b1 + 1;
    }
    return 0;
}

}  // namespace

int monitor_index_for_rect(const std::vector<RECT>& monitors, int primary, const RECT& rect, DWORD flags) {
    if (monitors.empty()) {
        return -1;
    }
    RECT r = rect;
    if (r.right <= r.left || r.bottom <= r.top) {
        r.right = static_cast<LONG>(std::min<int64_t>(int64_t{r.left} + 1, INT32_MAX));
        r.bottom = static_cast<LONG>(std::min<int64_t>(int64_t{r.top} + 1, INT32_MAX));
    }
    int best = -1;
    int64_t best_area = 0;
    for (size_t i = 0; i < monitors.size(); ++i) {
        const RECT& m = monitors[i];
        int64_t area = overlap(r.left, r.right, m.left, m.right) * overlap(r.top, r.bottom, m.top, m.bottom);
        if (area > best_area) {
            best_area = area;
            best = static_cast<int>(i);
        }
    }
    if (best >= 0) {
        return best;
    }
    if (flags == MONITOR_DEFAULTTOPRIMARY) {
        return primary >= 0 && static_cast<size_t>(primary) < monitors.size() ? primary : 0;
    }
    if (flags != MONITOR_DEFAULTTONEAREST) {
        return -1;
    }
    int64_t best_distance = INT64_MAX;
    for (size_t i = 0; i < monitors.size(); ++i) {
        const RECT& m = monitors[i];
        int64_t dx = gap(r.left, r.right, m.left, m.right);
        int64_t dy = gap(r.top, r.bottom, m.top, m.bottom);
        int64_t distance = dx * dx + dy * dy;
        if (distance < best_distance) {
            best_distance = distance;
            best = static_cast<int>(i);
        }
    }
    return best;
}

}  // namespace winapi_internal
