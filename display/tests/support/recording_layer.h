// A layer for the screen tests: its area is set by the test, it paints a solid colour (or, for the composed
// part, whatever the test asks) and records what the screen asked of it.
#pragma once

#include "canvas/red_drawable.h"
#include "display/screen_layer.h"

#include <functional>
#include <vector>

struct Box {
    int left, top, right, bottom;
    bool operator==(const Box& other) const {
        return left == other.left && top == other.top && right == other.right && bottom == other.bottom;
    }
};

inline std::vector<Box> boxes_of(const pixman_region32_t& region) {
    int count;
    const pixman_box32_t* boxes = pixman_region32_rectangles(const_cast<pixman_region32_t*>(&region), &count);
    std::vector<Box> out;
    for (int i = 0; i < count; i++) {
        out.push_back(Box{boxes[i].x1, boxes[i].y1, boxes[i].x2, boxes[i].y2});
    }
    return out;
}

class RecordingLayer : public ScreenLayer {
public:
    RecordingLayer(int z_order, bool opaque, rgb32_t color = 0)
        : ScreenLayer(z_order, opaque), color(color) {}

    void copy_pixels(const pixman_region32_t& region, RedDrawable& dest) override {
        copies++;
        for (const Box& box : boxes_of(region)) {
            if (paint) {
                paint(box, dest);
            } else {
                dest.fill_rect(SpiceRect{box.left, box.top, box.right, box.bottom}, color);
            }
        }
    }
    void on_update_completion(uint64_t mark) override { completions.push_back(mark); }
    bool pointer_test(int x, int y) override { return contains_point(x, y); }
    void on_pointer_enter(int x, int y, unsigned int) override { pointer_events.push_back(1); }
    void on_pointer_leave() override { pointer_events.push_back(0); }

    rgb32_t color;
    std::function<void(const Box& box, RedDrawable& dest)> paint;
    int copies = 0;
    std::vector<uint64_t> completions;
    std::vector<int> pointer_events;  // 1 enter, 0 leave
};
