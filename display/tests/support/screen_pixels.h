// The session screen on a private X server: what its window shows, read back from the server, against what
// its layers drew. Shared by the test programs with and without shared-memory presentation (each program
// keeps one choice for its whole life).
#pragma once

// Before Xlib, whose macros clash with its names.
#include <gtest/gtest.h>

#include "display/red_screen.h"
#include "platform/session_block.h"
#include "support/fake_application.h"
#include "winapi/tests/support/layer_access.h"
#include "support/recording_layer.h"
#include "winapi/tests/support/x11_observer.h"
#include "winapi/tests/support/xvfb_server.h"

#include <X11/Xutil.h>

#include <algorithm>
#include <functional>
#include <string>

namespace screen_pixels {

const int WIDTH = 320;
const int HEIGHT = 240;

inline void pump_messages() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        DispatchMessageW(&msg);
    }
}

// Fills the part of box that lies in the rectangle.
inline void fill_part(RedDrawable& dest, const Box& box, const RECT& rect, rgb32_t color) {
    SpiceRect part{std::max<int>(box.left, rect.left), std::max<int>(box.top, rect.top),
                   std::min<int>(box.right, rect.right), std::min<int>(box.bottom, rect.bottom)};
    if (part.left < part.right && part.top < part.bottom) {
        dest.fill_rect(part, color);
    }
}

// The window's pixels as the X server has them (0xRRGGBB), row by row.
inline std::vector<uint32_t> window_pixels(Display* display, Window window) {
    XSync(display, False);
    XImage* image = XGetImage(display, window, 0, 0, WIDTH, HEIGHT, AllPlanes, ZPixmap);
    std::vector<uint32_t> pixels;
    if (!image) {
        return pixels;
    }
    for (int y = 0; y < HEIGHT; y++) {
        for (int x = 0; x < WIDTH; x++) {
            pixels.push_back(uint32_t(XGetPixel(image, x, y)) & 0xFFFFFF);
        }
    }
    XDestroyImage(image);
    return pixels;
}

// Where the pixels differ from expected(x, y): the count, and the first one in words.
inline std::string differences(const std::vector<uint32_t>& pixels,
                               const std::function<uint32_t(int, int)>& expected) {
    if (pixels.size() != size_t(WIDTH * HEIGHT)) {
        return "no image";
    }
    int count = 0;
    std::string first;
    for (int y = 0; y < HEIGHT; y++) {
        for (int x = 0; x < WIDTH; x++) {
            uint32_t want = expected(x, y);
            uint32_t got = pixels[size_t(y * WIDTH + x)];
            if (want != got && count++ == 0) {
                char text[96];
                snprintf(text, sizeof(text), "(%d, %d) is %06x, not %06x", x, y, got, want);
                first = text;
            }
        }
    }
    return count ? std::to_string(count) + " pixels differ, first " + first : "";
}

inline void check(bool shared_memory) {
    FakeApplication app;
    test_support::X11Observer observer;
    ASSERT_NE(observer.display(), nullptr);
    RedScreen* screen = new RedScreen(app, 0, "screen pixels %d", WIDTH, HEIGHT);

    // The desktop: red on the left half, green on the right. Above it a transparent layer whose area is a
    // frame around a blue square: where it draws nothing, the desktop shows through.
    const RECT left{0, 0, WIDTH / 2, HEIGHT}, right{WIDTH / 2, 0, WIDTH, HEIGHT};
    const RECT overlay{100, 80, 220, 160}, square{120, 100, 200, 140};
    RecordingLayer desktop(0, true), veil(1, false);
    desktop.paint = [&](const Box& box, RedDrawable& dest) {
        fill_part(dest, box, left, 0xFF0000);
        fill_part(dest, box, right, 0x00FF00);
    };
    veil.paint = [&](const Box& box, RedDrawable& dest) { fill_part(dest, box, square, 0x0000FF); };
    screen->attach_layer(desktop);
    screen->attach_layer(veil);
    desktop.set_rect_area(RECT{0, 0, WIDTH, HEIGHT});
    veil.set_rect_area(overlay);

    screen->show();
    Window window = observer.wait_for_window("screen pixels 0");
    ASSERT_NE(window, 0u);
    pump_messages();
    screen->invalidate_rect(RECT{0, 0, WIDTH, HEIGHT}, false);
    screen->periodic_update();  // the update timer's tick, by hand

    EXPECT_EQ(test_support::layer_window_uses_shm(screen->get_window().hwnd()), shared_memory);
    auto composed = [&](int x, int y) -> uint32_t {
        if (x >= square.left && x < square.right && y >= square.top && y < square.bottom) {
            return 0x0000FF;
        }
        return x < WIDTH / 2 ? 0xFF0000 : 0x00FF00;
    };
    EXPECT_EQ(differences(window_pixels(observer.display(), window), composed), "");

    // A later change repaints only what it touched.
    veil.set_rect_area(RECT{0, 0, 0, 0});
    screen->periodic_update();
    EXPECT_EQ(differences(window_pixels(observer.display(), window),
                          [&](int x, int y) -> uint32_t { return x < WIDTH / 2 ? 0xFF0000 : 0x00FF00; }),
              "");

    // An exposed part of an out-of-sync screen is white, and nothing is scheduled.
    screen->out_of_sync = true;
    screen->on_exposed_rect(RECT{0, 0, 10, 10});
    EXPECT_FALSE(screen->is_dirty());
    EXPECT_EQ(window_pixels(observer.display(), window)[5 * WIDTH + 5], 0xFFFFFFu);
    screen->out_of_sync = false;

    // Anti-capture mode with the focus elsewhere: every repaint ends black.
    SessionBlock::set_u32(SessionBlock::ANTI_SCREEN_CAPTURE, 1);
    app.focus_lost = true;
    screen->invalidate_rect(RECT{0, 0, 10, 10}, true);
    app.run_events();
    EXPECT_EQ(differences(window_pixels(observer.display(), window), [](int, int) -> uint32_t { return 0; }),
              "");
    SessionBlock::set_u32(SessionBlock::ANTI_SCREEN_CAPTURE, 0);

    screen->detach_layer(veil);
    screen->detach_layer(desktop);
    screen->unref();
}

}  // namespace screen_pixels
