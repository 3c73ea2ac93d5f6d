// Monitors: the best-mode choice over mode lists, and the monitor list and mode changes on an X server whose
// one output has a single fixed mode.
#include <gtest/gtest.h>

#include <vector>

#include <X11/Xlib.h>  // after gtest: its macros clash with gtest's names
#include <X11/extensions/Xrandr.h>

#include "platform/platform.h"
#include "platform/monitor.h"
#include "winapi/tests/support/added_mode.h"
#include "winapi/tests/support/xvfb_server.h"

TEST(BestDisplayMode, SmallestLargeEnoughModeWithTheTieRules) {
    struct Case {
        const char* what;
        std::vector<DisplayModeInfo> modes;
        DWORD width, height;
        int expected;
    } cases[] = {
        {"smallest that holds the size",
         {{1280, 1024, 32, 60}, {1024, 768, 32, 60}, {800, 600, 32, 60}},
         1000,
         700,
         1},
        {"higher frequency at the same depth",
         {{1024, 768, 32, 60}, {1024, 768, 32, 75}, {1024, 768, 32, 70}},
         1000,
         700,
         1},
        {"deeper while the best is not 32 bits", {{1024, 768, 16, 85}, {1024, 768, 32, 60}}, 1024, 768, 1},
        {"32 bits is kept against other depths", {{1024, 768, 32, 60}, {1024, 768, 16, 85}}, 1024, 768, 0},
        {"a shallower mode never replaces", {{1024, 768, 24, 60}, {1024, 768, 16, 85}}, 1024, 768, 0},
        {"frequency 1 is skipped", {{1024, 768, 32, 1}, {1280, 1024, 32, 60}}, 1024, 768, 1},
        {"only smaller modes", {{800, 600, 32, 60}, {1024, 600, 32, 60}}, 1000, 700, -1},
        {"wide but too low", {{1920, 600, 32, 60}}, 1000, 700, -1},
        {"no modes", {}, 640, 480, -1},
        {"no 32-bit overflow", {{70000, 70000, 32, 60}, {65536, 65536, 32, 60}}, 65536, 65536, 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(choose_best_display_mode(c.modes, c.width, c.height), c.expected) << c.what;
    }
}

class XvfbMonitor : public ::testing::Test {
protected:
    void SetUp() override { KTW_REQUIRE_XVFB(); }
    void TearDown() override { Platform::destroy_monitors(); }
};

TEST_F(XvfbMonitor, TheOutputIsOnePrimaryMonitor) {
    const MonitorsList& monitors = Platform::init_monitors();
    ASSERT_EQ(monitors.size(), 1u);
    Monitor* monitor = monitors.front();
    EXPECT_EQ(monitor, Platform::primary_monitor());
    EXPECT_EQ(monitor->get_id(), 0);
    EXPECT_TRUE(monitor->is_free());
    EXPECT_EQ(monitor->get_screen_id(), 0);
    EXPECT_EQ(monitor->get_depth(), 32);
    EXPECT_EQ(monitor->get_size().x, 1280);
    EXPECT_EQ(monitor->get_size().y, 1024);
    EXPECT_EQ(monitor->get_position().x, 0);
    EXPECT_EQ(monitor->get_cur_display_size().x, 1280);
    EXPECT_EQ(monitor->get_register_display_size().y, 1024);
    EXPECT_EQ(static_cast<WinMonitor*>(monitor)->get_device_name(), u"\\\\.\\DISPLAY1");
    EXPECT_EQ(Platform::count_display_devices(), 1);
}

TEST_F(XvfbMonitor, ModeChangesKeepTheScreenWhenTheServerCannot) {
    Monitor* monitor = Platform::init_monitors().front();
    monitor->set_mode(1280, 1024);  // the current size: nothing to do
    EXPECT_FALSE(monitor->is_out_of_sync());

    // No exact 1000 x 700 mode, but the best larger one is the current 1280 x 1024.
    monitor->set_mode(1000, 700);
    EXPECT_FALSE(monitor->is_out_of_sync());
    EXPECT_EQ(monitor->get_size().x, 1280);

    // Nothing holds 2000 x 1500: out of sync, the mode stays.
    monitor->set_mode(2000, 1500);
    EXPECT_TRUE(monitor->is_out_of_sync());
    EXPECT_EQ(monitor->get_size().x, 1280);
    EXPECT_EQ(Platform::display_mode_changes(), 0);

    monitor->restore();
    EXPECT_EQ(monitor->get_size().y, 1024);
    EXPECT_EQ(Platform::display_mode_changes(), 0);
}

// Xvfb takes added modes: with 1024 x 768 offered as well, the best mode for 1000 x 700 is that one.
TEST_F(XvfbMonitor, BestLargerModeIsSetAndRestored) {
    Display* other = XOpenDisplay(nullptr);
    ASSERT_NE(other, nullptr);
    Window root = DefaultRootWindow(other);
    XRRScreenResources* resources = XRRGetScreenResourcesCurrent(other, root);
    ASSERT_NE(resources, nullptr);
    RROutput output = resources->outputs[0];
    RRMode added = test_support::add_1024x768_mode(other, output);

    Monitor* monitor = Platform::init_monitors().front();
    monitor->set_mode(1000, 700);
    EXPECT_FALSE(monitor->is_out_of_sync());
    EXPECT_EQ(monitor->get_size().x, 1024);
    EXPECT_EQ(monitor->get_size().y, 768);
    EXPECT_EQ(monitor->get_cur_display_size().x, 1024);
    EXPECT_EQ(Platform::display_mode_changes(), 0);
    monitor->restore();
    EXPECT_EQ(monitor->get_size().x, 1280);
    EXPECT_EQ(monitor->get_size().y, 1024);

    monitor->set_mode(1024, 768);  // the exact mode
    EXPECT_EQ(monitor->get_size().x, 1024);
    Platform::destroy_monitors();  // restores the mode it changed
    Monitor* fresh = Platform::init_monitors().front();
    EXPECT_EQ(fresh->get_size().x, 1280);

    test_support::remove_added_mode(other, output, added);
    XRRFreeScreenResources(resources);
    XCloseDisplay(other);
}
