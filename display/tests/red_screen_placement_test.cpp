// The session screen's placement in full screen, mouse capture and activation.
#include "display/red_screen.h"
#include "platform/monitor.h"
#include "support/fake_application.h"
#include "support/recording_layer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class FakeMonitor : public Monitor {
public:
    FakeMonitor(int width, int height, bool out_of_sync = false)
        : Monitor(0), _size{width, height}, _out_of_sync(out_of_sync) {}
    int get_depth() override { return 32; }
    Point get_position() override { return Point{0, 0}; }
    Point get_size() override { return _size; }
    bool is_out_of_sync() override { return _out_of_sync; }
    int get_screen_id() override { return 0; }
    Point get_register_display_size() override { return _size; }
    Point get_cur_display_size() override { return _size; }
    void set_mode(int, int) override {}
    void restore() override {}

private:
    Point _size;
    bool _out_of_sync;
};

class RecordingMouse : public MouseHandler {
public:
    void on_mouse_motion(int32_t dx, int32_t dy, int32_t) override {
        events.push_back("motion " + std::to_string(dx) + "," + std::to_string(dy));
    }
    void on_mouse_down(int32_t button, int32_t) override {
        events.push_back("down " + std::to_string(button));
    }
    std::vector<std::string> events;
};

class PlacementTest : public ::testing::Test {
protected:
    void SetUp() override { screen = new RedScreen(app, 0, "", 1024, 768); }
    void TearDown() override { screen->unref(); }

    FakeApplication app;
    RedScreen* screen = nullptr;
};

TEST_F(PlacementTest, FullScreenCentresTheScreenOnALargerMonitor) {
    struct Case {
        int monitor_width, monitor_height;
        bool out_of_sync;
        POINT origin;
        bool frame;
    };
    const std::vector<Case> cases = {
        {1280, 1024, false, {128, 128}, true},
        {1024, 768, false, {0, 0}, false},
        {1280, 1024, true, {0, 0}, false},  // the monitor did not take the mode: no centring
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.monitor_width);
        FakeMonitor monitor(c.monitor_width, c.monitor_height, c.out_of_sync);
        screen->monitor = &monitor;
        screen->show_full_screen();
        EXPECT_EQ(screen->get_origin().x, c.origin.x);
        EXPECT_EQ(screen->get_origin().y, c.origin.y);
        EXPECT_EQ(screen->has_frame_area(), c.frame);
        EXPECT_EQ(screen->get_window().get_type(), RedWindow::TYPE_FULLSCREEN);
        screen->exit_full_screen();
        EXPECT_FALSE(screen->full_screen);
        EXPECT_FALSE(screen->out_of_sync);
        EXPECT_EQ(screen->get_origin().x, 0);
        EXPECT_EQ(screen->get_window().get_type(), RedWindow::TYPE_NORMAL);
        screen->monitor = nullptr;
    }
}

TEST_F(PlacementTest, CapturedPointerMovesRelativeToTheAnchor) {
    RecordingMouse mouse;
    app.mouse_handler = &mouse;
    RecordingLayer layer(0, true);
    screen->attach_layer(layer);
    layer.set_rect_area(RECT{0, 0, 1024, 768});
    screen->show();
    screen->on_pointer_enter(10, 10, 0);
    screen->capture_mouse();
    ASSERT_TRUE(screen->mouse_captured);
    EXPECT_EQ(screen->pointer_layer(), nullptr) << "the layer lost the pointer to the capture";

    // The anchor is the window's centre: a motion onto it sends nothing, one 5 pixels right sends (5, 0).
    screen->on_pointer_motion(512, 384, 0);
    screen->on_pointer_motion(517, 384, 0);
    screen->on_mouse_button_press(1, 1);
    EXPECT_EQ(mouse.events, (std::vector<std::string>{"motion 5,0", "down 1"}));

    // Losing the focus ends the capture and the screen's turn as the active one.
    screen->on_activate();
    EXPECT_EQ(app.active_screen, screen);
    screen->on_deactivate();
    EXPECT_FALSE(screen->mouse_captured);
    EXPECT_EQ(app.active_screen, nullptr);
    EXPECT_EQ(app.unpress_calls, 1);
    screen->detach_layer(layer);
    app.mouse_handler = &ApplicationInterface::base_mouse_handler();
}

TEST(ScreenNameTest, TitleFormatTakesOnlyWhatIsGiven) {
    struct Case {
        const char* format;
        const char* expected;
    };
    const Case cases[] = {
        {"QELT-VMID:%s SCREEN:%d", "QELT-VMID:42 SCREEN:3"},
        {"Session %d", "Session 3"},
        {"%s%s%n%d%d%x 100%%", "42%s%n3%d%x 100%"},
        {"trailing %", "trailing %"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(format_screen_name(c.format, "42", 3), c.expected) << c.format;
    }
}

TEST_F(PlacementTest, HiddenWindowHasNoAnchorAndStaysFree) {
    screen->hide();
    screen->capture_mouse();
    EXPECT_FALSE(screen->mouse_captured);
}

}  // namespace
