// The application's own layers as the application drives them: showing and hiding the dialog layer with the
// input barriers and the sticky-key image, a screen that goes with its barrier, and the monitor query.
#include <gtest/gtest.h>

#include "support/null_screen.h"
#include "app/application.h"
#include "platform/monitor.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

// A screen that, like the real one, holds a reference for every layer on it.
class LayerScreen : public NullScreen {
public:
    LayerScreen(ApplicationInterface& app, int id) : NullScreen(id, &app) {}
    void capture_mouse() override { mouse_captured = true; }
    void release_mouse() override { mouse_captured = false; }
    int StartNavBar() override { return 1; }
};

// What happened to the layers, by name ("barrier1", "info", "watermark").
struct LayerLog {
    std::map<std::string, SessionScreen*> on;  // the screen each layer is on
    std::vector<std::string> deleted;          // in order
    std::vector<bool> info_modes;              // set_info_mode calls
};

class FakeLayer : public ApplicationLayer {
public:
    FakeLayer(LayerLog& log, const std::string& name) : _log(log), _name(name) {}
    ~FakeLayer() override {
        detach();
        _log.deleted.push_back(_name);
    }
    SessionScreen* attached_screen() override { return _screen; }
    void attach(SessionScreen& screen) override {
        _screen = screen.ref();
        _log.on[_name] = _screen;
    }
    void detach() override {
        if (_screen) {
            SessionScreen* screen = _screen;
            _screen = nullptr;
            _log.on.erase(_name);
            screen->unref();  // may delete the screen, and with it this barrier
        }
    }
    void set_info_mode(bool show) override { _log.info_modes.push_back(show); }

private:
    LayerLog& _log;
    std::string _name;
    SessionScreen* _screen = nullptr;
};

class FakeDialogs : public DialogLayer {
public:
    bool is_attached() override { return screen != nullptr; }
    bool has_dialog() override { return dialog; }
    void create_dialog() override {
        create_calls++;
        dialog = can_create;
    }
    void set_screen(SessionScreen* s) override { screen = s; }
    void idle() override {}
    KeyHandler& key_handler() override { return ApplicationInterface::base_key_handler(); }

    SessionScreen* screen = nullptr;
    bool dialog = false;
    bool can_create = true;
    int create_calls = 0;
};

LayerLog* current_log = nullptr;

class ApplicationLayersTest : public testing::Test {
protected:
    void SetUp() override {
        current_log = &log;
        ApplicationParts& parts = Application::parts();
        parts = ApplicationParts();
        parts.create_screen = [](Application& app, int id, const std::string&, int w, int h) {
            LayerScreen* screen = new LayerScreen(app, id);
            screen->width = w;
            screen->height = h;
            return screen;
        };
        parts.create_gui_barrier = [](Application&, int id) -> ApplicationLayer* {
            return new FakeLayer(*current_log, "barrier" + std::to_string(id));
        };
        parts.create_info_layer = [](Application&) -> ApplicationLayer* {
            return new FakeLayer(*current_log, "info");
        };
        parts.create_watermark_layer = [](Application&) -> ApplicationLayer* {
            return new FakeLayer(*current_log, "watermark");
        };
        app.reset(new Application());
        app->gui = &dialogs;
        app->main_screen = app->get_screen(0);
        second = app->get_screen(1);
    }
    void TearDown() override {
        if (app) {
            app->gui = nullptr;
        }
        if (second) {
            second->unref();
        }
        app.reset();
        Application::parts() = ApplicationParts();
        current_log = nullptr;
    }

    LayerLog log;
    FakeDialogs dialogs;
    std::unique_ptr<Application> app;
    SessionScreen* second = nullptr;
};

TEST_F(ApplicationLayersTest, DialogsCoverEveryScreenAndTheStickyImageReturnsAfterThem) {
    app->sys_key_intercept_mode = true;
    app->on_visibility(0);  // visible: the sticky-key image goes on the main screen
    EXPECT_EQ(app->main_screen, log.on["info"]);
    EXPECT_EQ(0u, log.on.count("barrier0"));

    // Sticky Alt shows the image; showing the dialogs takes the image away and ends sticky mode.
    app->on_key_down(56);
    app->on_sticky_timer();
    ASSERT_TRUE(app->sticky_mode());
    EXPECT_EQ(std::vector<bool>{true}, log.info_modes);
    app->main_screen->mouse_captured = true;
    app->active_screen = app->main_screen;

    dialogs.dialog = true;
    app->show_gui();
    EXPECT_FALSE(app->sticky_mode());
    EXPECT_EQ(std::vector<bool>({true, false}), log.info_modes);
    EXPECT_EQ(0u, log.on.count("info"));
    EXPECT_EQ(0, app->pressed_key_count);
    EXPECT_FALSE(app->main_screen->mouse_captured);
    EXPECT_EQ(app->main_screen, dialogs.screen);
    EXPECT_EQ(app->main_screen, log.on["barrier0"]);
    EXPECT_EQ(second, log.on["barrier1"]);

    // A screen made while the dialogs are up is covered at once.
    SessionScreen* third = app->get_screen(2);
    EXPECT_EQ(third, log.on["barrier2"]);

    app->hide_gui();
    EXPECT_EQ(nullptr, dialogs.screen);
    EXPECT_EQ(0u, log.on.count("barrier0") + log.on.count("barrier1") + log.on.count("barrier2"));
    EXPECT_EQ(app->main_screen, log.on["info"]);
    third->unref();
}

TEST_F(ApplicationLayersTest, NoDialogNoBarriersAndNoImageBeforeTheSessionIsVisible) {
    dialogs.can_create = false;
    app->show_gui();
    EXPECT_EQ(1, dialogs.create_calls);
    EXPECT_EQ(nullptr, dialogs.screen);
    EXPECT_TRUE(log.on.empty());

    // Not visible yet: hiding the dialogs leaves the image off.
    dialogs.can_create = true;
    app->show_gui();
    EXPECT_EQ(2u, log.on.size());  // the two barriers
    app->hide_gui();
    EXPECT_TRUE(log.on.empty());
}

TEST_F(ApplicationLayersTest, AScreenHeldOnlyByItsBarrierGoesWithItWhenTheDialogsHide) {
    dialogs.dialog = true;
    app->show_gui();
    ASSERT_EQ(second, log.on["barrier1"]);
    second->unref();  // the barrier now holds the screen's last reference
    second = nullptr;

    app->hide_gui();
    EXPECT_EQ(std::vector<std::string>{"barrier1"}, log.deleted);
    EXPECT_EQ(nullptr, app->gui_barrier(1));
    EXPECT_NE(nullptr, app->gui_barrier(0));
    // Showing the dialogs again covers the screens that are left.
    app->show_gui();
    EXPECT_EQ(app->main_screen, log.on["barrier0"]);
    EXPECT_EQ(1u, log.on.size());
}

TEST_F(ApplicationLayersTest, EveryLayerComesOffAndGoesWithTheApplication) {
    dialogs.dialog = true;
    app->on_visibility(0);
    app->show_gui();
    app->hide_gui();
    app->gui = nullptr;
    second->unref();
    second = nullptr;
    app.reset();
    EXPECT_TRUE(log.on.empty());
    EXPECT_EQ(4u, log.deleted.size());
}

class FixedMonitor : public Monitor {
public:
    FixedMonitor(int id, int x, int y, int w, int h) : Monitor(id), _position{x, y}, _size{w, h} {}
    int get_depth() override { return 24; }
    Point get_position() override { return _position; }
    Point get_size() override { return _size; }
    bool is_out_of_sync() override { return false; }
    int get_screen_id() override { return 0; }
    Point get_register_display_size() override { return _size; }
    Point get_cur_display_size() override { return _size; }
    void set_mode(int, int) override {}
    void restore() override {}

private:
    Point _position;
    Point _size;
};

TEST(MonitorsQueryTest, MonitorsUpToTheFirstMissingId) {
    FixedMonitor a(0, 0, 0, 1920, 1080), b(1, 1920, -200, 1280, 1024), c(2, -800, 0, 800, 600);
    struct Case {
        const char* name;
        MonitorsList monitors;
        std::vector<std::vector<int64_t>> expected;  // depth, width, height, x, y
    } cases[] = {
        {"none", {}, {}},
        {"0 and 2", {&a, &c}, {{32, 1920, 1080, 0, 0}}},
        {"out of order",
         {&c, &b, &a},
         {{32, 1920, 1080, 0, 0}, {32, 1280, 1024, 1920, -200}, {32, 800, 600, -800, 0}}},
        {"no 0", {&b, &c}, {}},
    };
    for (const Case& c : cases) {
        std::vector<std::vector<int64_t>> got;
        for (const MonitorsQuery::Record& r : MonitorsQuery::collect(c.monitors)) {
            got.push_back({r.depth, r.width, r.height, r.x, r.y});
        }
        EXPECT_EQ(c.expected, got) << c.name;
    }
}

}  // namespace
