// Layers: how a repaint is split among them, their areas, and attaching to and detaching from a screen.
#include "display/red_screen.h"
#include "display/screen_layer.h"
#include "platform/session_block.h"
#include "runtime/exception.h"
#include "support/fake_application.h"
#include "support/recording_layer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

namespace {

struct LayerSetup {
    int z_order;
    bool opaque;
    RECT area;
    std::vector<Box> direct;     // expected direct area
    std::vector<Box> composite;  // expected composite area
};

struct SplitCase {
    const char* name;
    std::vector<LayerSetup> layers;  // any order; the repaint walks them from the top z-order down
    std::vector<Box> direct_left;
    std::vector<Box> composite_left;
};

TEST(ScreenLayerTest, RepaintIsSplitFromTheTopDown) {
    const RECT whole{0, 0, 100, 100};
    const std::vector<SplitCase> cases = {
        {"opaque over opaque: the top draws everything straight",
         {{0, true, whole, {}, {}}, {1, true, whole, {{0, 0, 100, 100}}, {}}},
         {},
         {}},
        {"transparent over the whole screen: nothing straight, everything composed",
         {{0, true, whole, {}, {{0, 0, 100, 100}}}, {1, false, whole, {}, {{0, 0, 100, 100}}}},
         {},
         {}},
        {"transparent square: composed with what lies beneath, the rest straight",
         {{0,
           true,
           whole,
           {{0, 0, 100, 10}, {0, 10, 10, 30}, {30, 10, 100, 30}, {0, 30, 100, 100}},
           {{10, 10, 30, 30}}},
          {1, false, RECT{10, 10, 30, 30}, {}, {{10, 10, 30, 30}}}},
         {},
         {}},
        {"opaque square over a transparent layer stops composition below it",
         {{0, true, whole, {}, {{50, 0, 100, 100}}},
          {1, false, whole, {}, {{50, 0, 100, 100}}},
          {2, true, RECT{0, 0, 50, 100}, {{0, 0, 50, 100}}, {}}},
         {},
         {}},
        {"nothing covers part of the screen: it stays for the black fill",
         {{0, true, RECT{0, 0, 50, 100}, {{0, 0, 50, 100}}, {}}},
         {{50, 0, 100, 100}},
         {}},
    };
    for (const SplitCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::unique_ptr<RecordingLayer>> layers;
        for (const LayerSetup& setup : c.layers) {
            layers.emplace_back(new RecordingLayer(setup.z_order, setup.opaque));
            layers.back()->set_rect_area(setup.area);
        }
        pixman_region32_t direct, composite;
        pixman_region32_init_rect(&direct, 0, 0, 100, 100);
        pixman_region32_init(&composite);
        for (int z = 10; z >= 0; z--) {
            for (auto& layer : layers) {
                if (layer->z_order() == z) {
                    layer->begin_update(direct, composite);
                }
            }
        }
        for (size_t i = 0; i < layers.size(); i++) {
            SCOPED_TRACE(i);
            EXPECT_EQ(boxes_of(layers[i]->direct_area()), c.layers[i].direct);
            EXPECT_EQ(boxes_of(layers[i]->composite_area()), c.layers[i].composite);
        }
        EXPECT_EQ(boxes_of(direct), c.direct_left);
        pixman_region32_fini(&direct);
        pixman_region32_fini(&composite);
    }
}

TEST(ScreenLayerTest, PointTestFollowsTheAreaExceptWithHostRendering) {
    RecordingLayer layer(0, true);
    layer.set_rect_area(RECT{10, 10, 20, 20});
    EXPECT_TRUE(layer.contains_point(15, 15));
    EXPECT_FALSE(layer.contains_point(25, 15));
    SessionBlock::set_u32(SessionBlock::GRAPHIC_TYPE, 2);
    EXPECT_TRUE(layer.contains_point(25, 15));
    EXPECT_TRUE(layer.contains_point(-5, 500));
    SessionBlock::set_u32(SessionBlock::GRAPHIC_TYPE, 0);
}

// Attaching and detaching from a channel thread while the main thread turns its loop.
class AttachTest : public ::testing::Test {
protected:
    template <typename F>
    void on_channel_thread(F work) {
        std::atomic<bool> done{false};
        std::thread thread([&] {
            work();
            done = true;
        });
        for (int i = 0; i < 100000 && !done; i++) {
            app.run_events();
            Sleep(0);
        }
        thread.join();
    }

    FakeApplication app;
};

TEST_F(AttachTest, SecondLayerOnATakenSlotFailsAndTheFirstStays) {
    RecordingLayer first(0, true), second(0, true);
    on_channel_thread([&] { first.attach_to_screen(app, 0); });
    ASSERT_NE(first.screen(), nullptr);
    std::string error;
    on_channel_thread([&] {
        try {
            second.attach_to_screen(app, 0);
        } catch (Exception& e) {
            error = e.what();
        }
    });
    EXPECT_NE(error.find("attach failed"), std::string::npos) << error;
    EXPECT_EQ(second.screen(), nullptr);
    EXPECT_EQ(first.screen(), app.screen());

    // Again on an attached layer, or detaching a detached one: nothing, and no wait (the main thread asks
    // here, so a posted event would never run).
    first.attach_to_screen(app, 0);
    second.detach_from_screen(app);

    on_channel_thread([&] { first.detach_from_screen(app); });
    EXPECT_EQ(first.screen(), nullptr);
    on_channel_thread([&] { second.attach_to_screen(app, 0); });
    EXPECT_EQ(second.screen(), app.screen());
    on_channel_thread([&] { second.detach_from_screen(app); });
}

TEST_F(AttachTest, DetachingALayerNotInItsSlotFails) {
    RecordingLayer layer(3, false);
    on_channel_thread([&] { layer.attach_to_screen(app, 0); });
    RedScreen* screen = app.screen();
    RecordingLayer stranger(3, false);
    // A layer claiming this screen without holding the slot.
    EXPECT_THROW(screen->detach_layer(stranger), Exception);
    on_channel_thread([&] { layer.detach_from_screen(app); });
}

TEST_F(AttachTest, AddingAreaDoesNotRepaintButRemovingRepaintsTheFormerArea) {
    RecordingLayer layer(0, true, 0xFF0000);
    on_channel_thread([&] { layer.attach_to_screen(app, 0); });
    RedScreen* screen = app.screen();
    layer.set_rect_area(RECT{0, 0, 10, 10});
    EXPECT_TRUE(screen->is_dirty());
    screen->update();
    ASSERT_FALSE(screen->is_dirty());

    layer.add_rect_area(RECT{10, 0, 20, 10});
    EXPECT_FALSE(screen->is_dirty());

    layer.remove_rect_area(RECT{0, 0, 5, 10});
    EXPECT_TRUE(screen->is_dirty());
    screen->update();
    // The whole former area was repainted, the added part included: the layer draws what it still covers.
    EXPECT_EQ(boxes_of(layer.direct_area()), (std::vector<Box>{{5, 0, 20, 10}}));
    on_channel_thread([&] { layer.detach_from_screen(app); });
}

}  // namespace
