// Screens and the stored window state: the window key, windowed sizes, the registry round trip, the first
// resize and a screen destroyed twice.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/null_screen.h"
#include "app/application.h"
#include "platform/monitor.h"
#include "platform/session_block.h"
#include "winapi/windows.h"

namespace {

namespace fs = std::filesystem;

class RecordingScreen : public NullScreen {
public:
    RecordingScreen(ApplicationInterface& app, int id) : NullScreen(id, &app) {}
    void resize(int w, int h) override {
        NullScreen::resize(w, h);
        resizes++;
    }
    void show() override { shows++; }
    void exit_full_screen() override {
        full_screen = false;
        exits++;
    }
    void restore_screen() override { restores++; }
    int StartNavBar() override {
        nav_bar_starts++;
        return 1;
    }

    int resizes = 0;
    int shows = 0;
    int nav_bar_starts = 0;
    int exits = 0;
    int restores = 0;
};

class ScreensTest : public testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("ktw_screens_test_" + std::to_string(GetCurrentProcessId()));
        fs::create_directories(dir);
        setenv("KTW_REGISTRY_DIR", dir.c_str(), 1);
        setenv("HOME", dir.c_str(), 1);
        SessionBlock::clear();
        Application::parts() = ApplicationParts();
        Application::parts().create_screen = [](Application& app, int id, const std::string&, int w, int h) {
            RecordingScreen* screen = new RecordingScreen(app, id);
            screen->width = w;
            screen->height = h;
            return screen;
        };
        app.reset(new Application());
    }
    void TearDown() override {
        app.reset();
        Application::parts() = ApplicationParts();
        SessionBlock::clear();
        unsetenv("KTW_REGISTRY_DIR");
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }

    fs::path dir;
    std::unique_ptr<Application> app;
};

TEST(WindowStateKeyTest, DottedAddressBoundedUserAndIndex) {
    uint32_t address = 0;
    uint8_t octets[4] = {10, 1, 2, 254};
    memcpy(&address, octets, 4);
    EXPECT_EQ("SOFTWARE\\Voranth\\VDI\\SpiceUser\\10.1.2.254\\alice\\7",
              Application::window_state_key(address, "alice", 7));
    // A user name filling its whole field and more is cut to the field; the path is never cut.
    std::string long_user(400, 'u');
    std::string key = Application::window_state_key(0xFFFFFFFFu, long_user, 4294967295u);
    EXPECT_EQ("SOFTWARE\\Voranth\\VDI\\SpiceUser\\255.255.255.255\\" + std::string(128, 'u') + "\\4294967295",
              key);
}

TEST(WindowedSizeTest, Table) {
    struct Case {
        int remembered_w, remembered_h, display_w, display_h;
        uint32_t graphic_type;
        LONG w, h;
    } cases[] = {
        {0, 0, 1920, 1080, 0, 1536, 864},
        {0, 0, 1366, 768, 0, 1092, 614},
        {0, 0, 1366, 768, 2, 1092, 612},
        {0, 600, 1366, 768, 3, 1092, 614},  // one side unknown: the display's share
        {1001, 701, 1920, 1080, 1, 1002, 702},
        {1001, 701, 1920, 1080, 5, 1000, 700},
    };
    for (const Case& c : cases) {
        POINT size = Application::windowed_size(c.remembered_w, c.remembered_h, c.display_w, c.display_h,
                                                c.graphic_type);
        EXPECT_EQ(c.w, size.x) << c.display_w << "x" << c.display_h << " type " << c.graphic_type;
        EXPECT_EQ(c.h, size.y) << c.display_w << "x" << c.display_h << " type " << c.graphic_type;
    }
}

TEST_F(ScreensTest, WindowStateRoundTrip) {
    SessionBlock::set_u32(SessionBlock::SERVER_ADDRESS, 0x0100007F);
    SessionBlock::set_text(SessionBlock::VDI_USER_NAME, SessionBlock::VDI_USER_NAME_ROOM, "bob");
    SessionBlock::set_u32(SessionBlock::SESSION_INDEX, 3);
    SessionBlock::Bytes block = SessionBlock::get();
    EXPECT_FALSE(app->reg_read_userinfo(nullptr));

    // First start: a new key.
    ASSERT_TRUE(app->reg_read_userinfo(block.data()));
    EXPECT_EQ("bob", app->window_state.user);

    // Stored windowed at an odd size: read back even.
    int32_t width_before = app->window_state.width;
    app->reg_write_userinfo_values(false, 1281, 721);
    EXPECT_EQ(width_before, app->window_state.width) << "values written without touching the record";
    ASSERT_TRUE(app->reg_read_userinfo(block.data()));
    EXPECT_FALSE(app->window_state.full_screen);
    EXPECT_EQ(1280, app->window_state.width);
    EXPECT_EQ(720, app->window_state.height);

    // The flag alone keeps the stored size; a full screen with no display showing that size starts windowed.
    app->reg_write_userinfo_values(true, 0, 0);
    ASSERT_TRUE(app->reg_read_userinfo(block.data()));
    EXPECT_FALSE(app->window_state.full_screen);
    EXPECT_EQ(0u, Application::full_screen_indicator);
    EXPECT_EQ(1280, app->window_state.width);
    EXPECT_EQ(720, app->window_state.height);

    // Another index is another key.
    SessionBlock::set_u32(SessionBlock::SESSION_INDEX, 4);
    SessionBlock::Bytes other = SessionBlock::get();
    app->window_state = WindowStateRecord();
    ASSERT_TRUE(app->reg_read_userinfo(other.data()));
    EXPECT_EQ(4u, app->window_state.session_index);
    EXPECT_NE(1280, app->window_state.width);
}

TEST_F(ScreensTest, FirstResizeToTheInitialSizeShowsTheWindowInDebugStart) {
    app->debug_start = 1;
    app->main_screen = app->get_screen(0);
    auto* screen = static_cast<RecordingScreen*>(app->main_screen);
    ASSERT_EQ(800, screen->width);
    app->resize_screen(screen, 800, 600, 0);
    EXPECT_EQ(1, screen->shows);
    EXPECT_EQ(0, screen->nav_bar_starts) << "debug start starts no navigation bar";
    // Later resizes to the same size change nothing.
    app->resize_screen(screen, 800, 600, 0);
    EXPECT_EQ(1, screen->shows);
    app->resize_screen(screen, 1024, 768, 0);
    EXPECT_EQ(2, screen->shows);
    EXPECT_EQ(1024, screen->width);
}

TEST_F(ScreensTest, DestroyedScreenTwiceLogsAndReturns) {
    SessionScreen* screen = app->get_screen(1);
    ASSERT_NE(nullptr, screen);
    EXPECT_NO_THROW(app->on_screen_destroyed(1, false));
    EXPECT_NO_THROW(app->on_screen_destroyed(1, false));
    EXPECT_NO_THROW(app->on_screen_destroyed(-1, false));
    EXPECT_NO_THROW(app->on_screen_destroyed(99, false));
    // The screen's own destructor tells the application again: still no throw.
    EXPECT_NO_THROW(screen->unref());
}

// A monitor that only remembers what was asked of it.
class FakeMonitor : public Monitor {
public:
    explicit FakeMonitor(int id) : Monitor(id) {}
    int get_depth() override { return 32; }
    Point get_position() override { return {0, 0}; }
    Point get_size() override { return {1920, 1080}; }
    bool is_out_of_sync() override { return false; }
    int get_screen_id() override { return 0; }
    Point get_register_display_size() override { return {1920, 1080}; }
    Point get_cur_display_size() override { return {1920, 1080}; }
    void set_mode(int, int) override {}
    void restore() override { restores++; }
    int restores = 0;
};

// The stored values of the record's key; -1 for a value that is not there.
std::vector<int64_t> stored(const WindowStateRecord& record) {
    std::string path = Application::window_state_key(record.address, record.user, record.session_index);
    std::vector<int64_t> values;
    HKEY key = nullptr;
    bool open = RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS;
    for (const char* name : {"bFullScreen", "SizeX", "SizeY"}) {
        DWORD value = 0, size = sizeof(value), type = 0;
        bool read = open && RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value),
                                             &size) == ERROR_SUCCESS;
        values.push_back(read ? int64_t(value) : -1);
    }
    if (open) {
        RegCloseKey(key);
    }
    return values;
}

TEST_F(ScreensTest, WindowStateAtQuitIsStoredOnlyOnceTheGuestKnowsTheMonitors) {
    struct Case {
        const char* name;
        bool config_sent, full_screen, minimized, minimize_display_change;
        std::vector<int64_t> expected;
    } cases[] = {
        {"guest not told", false, true, false, false, {-1, -1, -1}},
        {"windowed", true, false, false, false, {0, 1024, 768}},
        {"full screen", true, true, false, false, {1, 1024, 768}},
        {"minimized by a display change", true, true, true, true, {0, 1024, 768}},
        {"minimized by hand", true, true, true, false, {1, 1024, 768}},
    };
    app->main_screen = app->get_screen(0);
    app->main_screen->width = 1024;
    app->main_screen->height = 768;
    uint32_t index = 10;
    for (const Case& c : cases) {
        app->window_state = WindowStateRecord();
        app->window_state.user = "carol";
        app->window_state.session_index = index++;
        app->get_client().set_monitors_config_sent(c.config_sent);
        app->full_screen = c.full_screen;
        app->main_screen->minimized = c.minimized;
        app->minimize_display_change = c.minimize_display_change;
        app->store_window_state();
        EXPECT_EQ(c.expected, stored(app->window_state)) << c.name;
    }
    app->full_screen = false;
    app->get_client().set_monitors_config_sent(false);
}

TEST_F(ScreensTest, LeavingFullScreenFreesTheMonitorsAndShowsTheScreensWindowed) {
    app->main_screen = app->get_screen(0);
    SessionScreen* second = app->get_screen(1);
    auto* main = static_cast<RecordingScreen*>(app->main_screen);
    auto* other = static_cast<RecordingScreen*>(second);
    EXPECT_EQ(1, other->shows) << "a windowed second screen is shown when it is made";
    FakeMonitor first_monitor(0), second_monitor(1);
    main->monitor = &first_monitor;
    other->monitor = &second_monitor;
    for (FakeMonitor* monitor : {&first_monitor, &second_monitor}) {
        monitor->set_used();
    }
    main->full_screen = other->full_screen = true;
    main->resize(1920, 1080);
    other->resize(1920, 1080);
    other->size_locked = true;
    app->full_screen = true;

    app->exit_full_screen();
    EXPECT_FALSE(app->full_screen);
    for (RecordingScreen* screen : {main, other}) {
        EXPECT_EQ(1, screen->exits);
        EXPECT_EQ(nullptr, screen->monitor);
    }
    EXPECT_TRUE(first_monitor.is_free() && second_monitor.is_free());
    EXPECT_EQ(800, main->width);
    EXPECT_EQ(1920, other->width) << "a screen of locked size keeps it";
    EXPECT_EQ(1, main->shows);
    EXPECT_EQ(2, other->shows);
    // Windowed already: nothing more.
    app->exit_full_screen();
    EXPECT_EQ(1, main->exits);
    second->unref();
}

TEST_F(ScreensTest, MonitorChangeWhileActiveRestoresTheMainScreen) {
    app->main_screen = app->get_screen(0);
    auto* screen = static_cast<RecordingScreen*>(app->main_screen);
    app->minimize_display_change = true;
    app->on_monitors_change();
    EXPECT_EQ(0, screen->restores) << "not active";
    app->active = true;
    app->on_monitors_change();
    EXPECT_EQ(1, screen->restores);
}

}  // namespace
