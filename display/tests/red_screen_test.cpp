// The session screen's repaint scheduling: coalescing, urgent repaints, the update timer and modal loops.
#include "display/red_screen.h"
#include "platform/session_block.h"
#include "support/fake_application.h"
#include "support/recording_layer.h"

#include <gtest/gtest.h>

namespace {

class RedScreenTest : public ::testing::Test {
protected:
    void SetUp() override {
        screen = static_cast<RedScreen*>(app.get_screen(0));
        screen->attach_layer(layer);  // main thread: straight to the screen
        layer.set_rect_area(RECT{0, 0, 800, 600});
        screen->update();
        screen->periodic_update();  // the clean tick stops the timer
        ASSERT_FALSE(screen->is_timer_running());
        layer.completions.clear();
    }
    void TearDown() override {
        screen->detach_layer(layer);
        screen->unref();
        SessionBlock::set_u32(SessionBlock::GRAPHIC_TYPE, 0);
    }

    FakeApplication app;
    RedScreen* screen = nullptr;
    RecordingLayer layer{0, true, 0x336699};
};

TEST_F(RedScreenTest, TwoInvalidationsAreOneRepaintWithOneNewMark) {
    uint64_t mark = screen->update_mark();
    EXPECT_EQ(screen->invalidate_rect(RECT{0, 0, 10, 10}, false), mark);
    EXPECT_TRUE(screen->is_timer_running());
    EXPECT_EQ(screen->invalidate_rect(RECT{50, 50, 60, 60}, false), mark);
    app.run_events();
    EXPECT_TRUE(layer.completions.empty()) << "a non-urgent invalidation waits for the timer";

    screen->periodic_update();
    ASSERT_EQ(layer.completions, std::vector<uint64_t>{mark});
    EXPECT_EQ(screen->update_mark(), mark + 1);
    EXPECT_EQ(boxes_of(layer.direct_area()), (std::vector<Box>{{0, 0, 10, 10}, {50, 50, 60, 60}}));

    screen->periodic_update();  // clean: the timer stops, nothing is drawn
    EXPECT_FALSE(screen->is_timer_running());
    EXPECT_EQ(layer.completions.size(), 1u);
}

TEST_F(RedScreenTest, UrgentInvalidationRepaintsAtOnceUnlessAlreadyScheduled) {
    screen->invalidate_rect(RECT{0, 0, 10, 10}, true);
    app.run_events();
    EXPECT_EQ(layer.completions.size(), 1u);

    // Dirty with the timer running: an urgent call posts nothing, the next tick draws it.
    screen->invalidate_rect(RECT{0, 0, 10, 10}, false);
    screen->invalidate_rect(RECT{20, 0, 30, 10}, true);
    app.run_events();
    EXPECT_EQ(layer.completions.size(), 1u);
    screen->periodic_update();
    EXPECT_EQ(layer.completions.size(), 2u);
}

TEST_F(RedScreenTest, ModalLoopKeepsTheTimerRunningUntilItEnds) {
    screen->enter_modal_loop();
    EXPECT_TRUE(screen->is_timer_running());
    screen->periodic_update();
    EXPECT_TRUE(screen->is_timer_running());
    screen->exit_modal_loop();
    screen->periodic_update();
    EXPECT_FALSE(screen->is_timer_running());
}

TEST_F(RedScreenTest, ExitWithoutCountedEntryLeavesTheTimerFreeToStop) {
    // With host rendering the entry is not counted; its exit must not lower the count either.
    SessionBlock::set_u32(SessionBlock::GRAPHIC_TYPE, 2);
    screen->enter_modal_loop();
    SessionBlock::set_u32(SessionBlock::GRAPHIC_TYPE, 0);
    screen->exit_modal_loop();
    screen->exit_modal_loop();  // an exit with no entry at all
    EXPECT_EQ(screen->forced_update_count(), 0);

    screen->invalidate_rect(RECT{0, 0, 10, 10}, false);
    screen->periodic_update();
    screen->periodic_update();
    EXPECT_FALSE(screen->is_timer_running());
}

TEST_F(RedScreenTest, ExposeOnOutOfSyncScreenSchedulesNothing) {
    screen->out_of_sync = true;
    screen->on_exposed_rect(RECT{0, 0, 100, 100});
    EXPECT_FALSE(screen->is_dirty());
    EXPECT_FALSE(screen->is_timer_running());
    screen->out_of_sync = false;
    screen->on_exposed_rect(RECT{0, 0, 100, 100});
    EXPECT_TRUE(screen->is_dirty());
}

TEST_F(RedScreenTest, SizeMoveLoopOfTheWindowEndsItsForcedRepaints) {
    HWND hwnd = screen->get_window().hwnd();
    SendMessageW(hwnd, WM_ENTERSIZEMOVE, 0, 0);
    EXPECT_EQ(screen->forced_update_count(), 1);
    SendMessageW(hwnd, WM_EXITSIZEMOVE, 0, 0);
    EXPECT_EQ(screen->forced_update_count(), 0);
    screen->periodic_update();
    EXPECT_FALSE(screen->is_timer_running());

    // A menu loop inside leaves the count balanced too.
    SendMessageW(hwnd, WM_ENTERSIZEMOVE, 0, 0);
    SendMessageW(hwnd, WM_ENTERMENULOOP, 0, 0);
    SendMessageW(hwnd, WM_EXITMENULOOP, 0, 0);
    SendMessageW(hwnd, WM_EXITSIZEMOVE, 0, 0);
    EXPECT_EQ(screen->forced_update_count(), 0);
}

TEST_F(RedScreenTest, PointerGoesToTheTopLayerUnderIt) {
    RecordingLayer top(2, false);
    screen->attach_layer(top);
    top.set_rect_area(RECT{100, 100, 200, 200});
    screen->on_pointer_enter(150, 150, 0);
    EXPECT_EQ(screen->pointer_layer(), &top);
    screen->on_pointer_motion(50, 50, 0);
    EXPECT_EQ(screen->pointer_layer(), &layer);
    EXPECT_EQ(top.pointer_events, (std::vector<int>{1, 0}));
    screen->on_pointer_motion(150, 150, 0);
    // Detaching the pointer's layer hands the pointer to the one beneath.
    screen->detach_layer(top);
    EXPECT_EQ(screen->pointer_layer(), &layer);
    EXPECT_EQ(top.pointer_events, (std::vector<int>{1, 0, 1, 0}));
}

}  // namespace
