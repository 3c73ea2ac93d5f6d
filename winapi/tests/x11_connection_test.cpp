// The process's X connection: opened once on the GUI thread, refused to other threads, events handed to the
// handler chain in order.
#include "../src/x11_connection.h"

#include <gtest/gtest.h>

#include <thread>

#include <X11/Xlib.h>  // after gtest: its macros clash with gtest's names

#include "support/test_files.h"
#include "support/xvfb_server.h"

using namespace winapi_internal;

TEST(X11Connection, NoDisplayMeansNullEverywhere) {
    test_support::ScopedEnv no_display("DISPLAY", std::nullopt);
    x11_close_display();
    EXPECT_EQ(x11_display(), nullptr);
    EXPECT_FALSE(x11_is_gui_thread());
    EXPECT_EQ(x11_connection_fd(), -1);
    x11_pump_events();  // does nothing
    x11_close_display();
}

TEST(X11Connection, GuiThreadOnlyAndEventsReachTheFirstHandlerThatTakesThem) {
    KTW_REQUIRE_XVFB();
    x11_close_display();
    Display* display = x11_display();
    ASSERT_NE(display, nullptr);
    EXPECT_TRUE(x11_is_gui_thread());
    EXPECT_GE(x11_connection_fd(), 0);

    std::thread other([] {
        EXPECT_EQ(x11_display(), nullptr);
        EXPECT_FALSE(x11_is_gui_thread());
    });
    other.join();

    int first_calls = 0;
    int second_maps = 0;
    x11_add_event_handler([&](XEvent&) {
        ++first_calls;
        return false;
    });
    x11_add_event_handler([&](XEvent& event) {
        if (event.type == MapNotify) {
            ++second_maps;
            return true;
        }
        return false;
    });
    Window window = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 10, 10, 0, 0, 0);
    XSelectInput(display, window, StructureNotifyMask);
    XMapWindow(display, window);
    XSync(display, False);
    x11_pump_events();
    EXPECT_EQ(second_maps, 1);
    EXPECT_GE(first_calls, 1);

    // A request on a window that is gone reports an X error; the process goes on.
    XDestroyWindow(display, window);
    XMapWindow(display, window);
    XSync(display, False);
    x11_pump_events();
    x11_close_display();
}
