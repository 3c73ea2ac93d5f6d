// Keyboard routing through the application: what the current key handler receives for key sequences, sticky
// Alt with its timer fired by hand, hot-key text, commands, foreign-menu ids and the menu model.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "support/null_screen.h"
#include "app/application.h"
#include "app/menu.h"
#include "platform/session_block.h"
#include "runtime/exception.h"

namespace {

using testing::ElementsAre;
using testing::IsEmpty;

class RecordingKeyHandler : public KeyHandler {
public:
    std::vector<std::string> events;
    bool focus_loss_allowed = true;

    void on_key_down(int32_t key) override { events.push_back("+" + std::to_string(key)); }
    void on_key_up(int32_t key) override { events.push_back("-" + std::to_string(key)); }
    bool allows_focus_loss() override { return focus_loss_allowed; }
};

class FakeScreen : public NullScreen {
public:
    FakeScreen() : NullScreen(0) {}
    int pointer_updates = 0;
    bool ParseCommand(const std::string&) override { return false; }
    void resize(int, int) override {}
    void update_pointer_layer() override { pointer_updates++; }
};

class RecordingConnection : public ForeignMenuConnection {
public:
    std::vector<std::vector<uint8_t>> writes;
    void write(const void* data, size_t size) override {
        const uint8_t* bytes = static_cast<const uint8_t*>(data);
        writes.emplace_back(bytes, bytes + size);
    }
};

class ApplicationKeysTest : public testing::Test {
protected:
    ApplicationKeysTest() {
        SessionBlock::clear();
        app.set_key_handler(handler);
        screen = new FakeScreen();
        screen->intercepts_system_keys = true;
        app.active_screen = screen;
    }
    ~ApplicationKeysTest() override {
        app.active_screen = nullptr;
        screen->unref();
    }

    // "d29" presses key 29, "u29" releases it, "i0"/"i1" turns the screen's system-key interception off/on.
    void play(const std::vector<std::string>& steps) {
        for (const std::string& step : steps) {
            int value = std::stoi(step.substr(1));
            if (step[0] == 'd') {
                app.on_key_down(value);
            } else if (step[0] == 'u') {
                app.on_key_up(value);
            } else {
                screen->intercepts_system_keys = value != 0;
            }
        }
    }

    // Session visible with system keys intercepted: sticky Alt is traced.
    void enter_traced_state() {
        app.on_visibility(0);
        app.sys_key_intercept_mode = true;
        app.reset_sticky();
    }

    int marked_keys() const {
        int marked = 0;
        for (uint8_t mark : app.pressed_keys) {
            marked += mark != 0;
        }
        return marked;
    }

    Application app;
    RecordingKeyHandler handler;
    FakeScreen* screen;
};

// Every key the handler saw pressed is released again, and nothing is released that was not pressed.
void expect_balanced(const std::vector<std::string>& events) {
    std::set<std::string> held;
    for (const std::string& event : events) {
        if (event[0] == '+') {
            held.insert(event.substr(1));
        } else {
            EXPECT_EQ(held.erase(event.substr(1)), 1u)
                << "key " << event.substr(1) << " released, not pressed";
        }
    }
    EXPECT_THAT(held, IsEmpty()) << "keys left pressed";
}

TEST_F(ApplicationKeysTest, RoutesKeySequences) {
    struct Case {
        const char* name;
        std::vector<std::string> steps;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"plain key", {"d30", "u30"}, {"+30", "-30"}},
        // Switching to full screen first releases the keys held for the hot key, in code order.
        {"full-screen hot key withholds F11",
         {"d29", "d42", "d87", "u87", "u42", "u29"},
         {"+29", "+42", "-29", "-42"}},
        {"hot key with an extra key held",
         {"d285", "d54", "d56", "d87", "u87", "u56", "u54", "u285"},
         {"+285", "+54", "+56", "-54", "-56", "-285"}},
        {"Ctrl+Alt+End becomes Delete, End never held",
         {"d29", "d56", "d335", "u335", "u56", "u29"},
         {"+29", "+56", "+339", "-339", "-56", "-29"}},
        {"Ctrl+Alt+keypad 1 likewise",
         {"d285", "d312", "d79", "u79", "u312", "u285"},
         {"+285", "+312", "+339", "-339", "-312", "-285"}},
        {"local Ctrl+Alt+Del withheld",
         {"d29", "d56", "d339", "u339", "u56", "u29"},
         {"+29", "+56", "-56", "-29"}},
        {"Windows and Menu keys withheld without interception",
         {"i0", "d347", "u347", "d348", "u348", "d349", "u349"},
         {}},
        {"left Alt withheld without interception", {"i0", "d56", "u56"}, {}},
        {"keys under a left Alt held across the end of interception withheld",
         {"d56", "i0", "d15", "u15", "u56"},
         {"+56", "-56"}},
        {"right Alt sent without interception", {"i0", "d312", "u312"}, {"+312", "-312"}},
        {"Windows key held across the end of interception", {"d347", "i0", "d347", "u347"}, {"+347", "-347"}},
        {"codes out of range and unmatched releases ignored", {"d0", "d351", "u351", "u0", "u30", "d-1"}, {}},
        {"repeats send repeated presses, one release", {"d30", "d30", "u30", "u30"}, {"+30", "+30", "-30"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        handler.events.clear();
        screen->intercepts_system_keys = true;
        play(c.steps);
        EXPECT_EQ(handler.events, c.expected);
        expect_balanced(handler.events);
        EXPECT_EQ(app.pressed_key_count, 0);
        EXPECT_EQ(marked_keys(), 0);
    }
}

TEST_F(ApplicationKeysTest, CommandReleasingEveryKeyKeepsTheCountSound) {
    app.set_hotkeys("release-cursor=ctrl+alt+space");
    screen->mouse_captured = true;
    play({"d29", "d56", "d57"});
    EXPECT_FALSE(screen->mouse_captured);
    EXPECT_EQ(screen->pointer_updates, 1);
    EXPECT_THAT(handler.events, ElementsAre("+29", "+56", "-29", "-56"));
    EXPECT_EQ(app.pressed_key_count, 0);
    play({"u57", "u56", "u29"});
    EXPECT_EQ(handler.events.size(), 4u);
    expect_balanced(handler.events);
}

TEST_F(ApplicationKeysTest, StickyAltStaysDownUntilTheNextChord) {
    enter_traced_state();
    play({"d56"});
    ASSERT_TRUE(app.sticky_timer_armed());
    app.on_sticky_timer();
    EXPECT_TRUE(app.sticky_mode());
    EXPECT_FALSE(app.sticky_timer_armed());
    play({"u56"});
    EXPECT_THAT(handler.events, ElementsAre("+56"));
    play({"d15", "u15"});
    EXPECT_THAT(handler.events, ElementsAre("+56", "+15", "-56", "-15"));
    EXPECT_FALSE(app.sticky_mode());
    EXPECT_EQ(app.pressed_key_count, 0);

    // Pressing the sticky Alt again ends sticky mode with its own release.
    handler.events.clear();
    play({"d312"});
    app.on_sticky_timer();
    play({"u312", "d312", "u312"});
    EXPECT_THAT(handler.events, ElementsAre("+312", "+312", "-312"));
    EXPECT_FALSE(app.sticky_mode());
    EXPECT_EQ(app.pressed_key_count, 0);
}

TEST_F(ApplicationKeysTest, StickyAltArmsOnlyForALoneAlt) {
    play({"d56", "u56"});
    EXPECT_FALSE(app.sticky_timer_armed()) << "not traced before the session is visible";

    enter_traced_state();
    play({"d29", "d56"});
    EXPECT_FALSE(app.sticky_timer_armed()) << "Alt is not alone";
    play({"u56", "u29", "d56", "d15"});
    EXPECT_FALSE(app.sticky_timer_armed()) << "another key disarms it";
    play({"u15", "u56"});
}

TEST_F(ApplicationKeysTest, StickyAltStillArmsAfterHotKeysAndWithheldKeys) {
    enter_traced_state();
    play({"d29", "d42", "d87", "u87", "u42", "u29"});    // hot key
    play({"d29", "d56", "d335", "u335", "u56", "u29"});  // Ctrl+Alt+End
    play({"d29", "d56", "d339", "u339", "u56", "u29"});  // Ctrl+Alt+Del
    EXPECT_EQ(app.pressed_key_count, 0);
    play({"d56"});
    EXPECT_TRUE(app.sticky_timer_armed());
    play({"u56"});
}

TEST_F(ApplicationKeysTest, HotKeyText) {
    typedef Application::HotKeys HotKeys;
    const HotKeys defaults = {{2, {{285, 29}, {54, 42}, {87, 0}}},
                              {2051, {{285, 29}, {54, 42}, {312, 56}, {67, 0}}}};
    EXPECT_EQ(app.hot_keys(), defaults);

    struct Case {
        const char* text;
        bool accepted;
        HotKeys expected;
    };
    const Case cases[] = {
        {"release-cursor=LCtrl+right-alt,show-gui=f1", true, {{3, {{29, 0}, {312, 0}}}, {7, {{59, 0}}}}},
        {"show-gui=win,show-gui=esc", true, {{7, {{348, 347}, {1, 0}}}}},
        {"toggle-fullscreen", false, defaults},
        {"bogus=ctrl+f1", false, defaults},
        {"show-gui=ctrl+f13", false, defaults},
        {"show-gui=ctrl+", false, defaults},
        {"", false, defaults},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        app.set_hotkeys("show-gui=space");
        EXPECT_EQ(app.set_hotkeys(c.text), c.accepted);
        EXPECT_EQ(app.hot_keys(), c.expected);
    }
}

TEST_F(ApplicationKeysTest, CommandsSendTheirKeys) {
    app.do_command(1);
    EXPECT_THAT(handler.events, ElementsAre("+29", "+56", "+339", "-339", "-56", "-29"));
    handler.events.clear();
    app.do_command(6);
    EXPECT_THAT(handler.events, ElementsAre("+29", "+56", "+335", "-29", "-56", "-335"));
    handler.events.clear();
    app.do_command(4);  // no chord bound to it
    app.do_command(8);
    EXPECT_THAT(handler.events, IsEmpty());
}

TEST_F(ApplicationKeysTest, ForeignMenuItems) {
    RecordingConnection first, second;
    EXPECT_EQ(app.get_foreign_menu_item_id(&first, 7), 1024);
    EXPECT_EQ(app.get_foreign_menu_item_id(&first, 8), 1025);
    EXPECT_EQ(app.get_foreign_menu_item_id(&second, 7), 1026);
    EXPECT_EQ(app.get_foreign_menu_item_id(&first, 8), 1025) << "same item, same id";
    app.remove_menu_item(1025);
    EXPECT_EQ(app.get_foreign_menu_item_id(&second, 9), 1025);

    app.do_command(1026);
    ASSERT_EQ(second.writes.size(), 1u);
    EXPECT_EQ(second.writes[0],
              std::vector<uint8_t>({0xE9, 0x03, 0, 0, 16, 0, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(first.writes.empty());

    app.clear_menu_items(&second);
    app.do_command(1026);
    EXPECT_EQ(second.writes.size(), 1u);
    for (int item = 100; item < 2000; item++) {
        app.get_foreign_menu_item_id(&first, item);
    }
    EXPECT_EQ(app.get_foreign_menu_item_id(&second, 1), 0) << "ids run out at 2048";
}

TEST_F(ApplicationKeysTest, HandlerThatRefusesFocusLossStaysCurrent) {
    RecordingKeyHandler dialog;
    dialog.focus_loss_allowed = false;
    app.set_key_handler(dialog);
    play({"d30"});
    RecordingKeyHandler other;
    app.set_key_handler(other);
    EXPECT_EQ(app.key_handler, &dialog);
    EXPECT_EQ(app.key_handlers.front(), &other);
    // The first switch released the keys held for the old handler.
    EXPECT_THAT(handler.events, IsEmpty());
    app.remove_key_handler(other);
    EXPECT_EQ(app.key_handlers.front(), &handler);
    play({"u30"});
    EXPECT_THAT(dialog.events, ElementsAre("+30", "-30"));
}

TEST_F(ApplicationKeysTest, ApplicationMenu) {
    app.init_menu();
    Menu* menu = app.get_app_menu();
    ASSERT_NE(menu, nullptr);
    ASSERT_EQ(menu->item_count(), 4u);
    std::string text;
    int32_t id = 0, state = -1;
    menu->command_at(1, text, id, state);
    EXPECT_EQ(text, "Toggle full screen\tCtrl+Shift+F11");
    EXPECT_EQ(id, 2);
    EXPECT_EQ(state, 0);
    EXPECT_THROW(menu->command_at(2, text, id, state), Exception);
    EXPECT_THROW(menu->sub_at(0), Exception);
    EXPECT_THROW(menu->command_at(9, text, id, state), Exception);
    Menu* special = menu->sub_at(2);
    EXPECT_EQ(special->title(), "Special keys");
    special->remove_command(5);
    ASSERT_EQ(special->item_count(), 4u);
    special->command_at(1, text, id, state);
    EXPECT_EQ(id, 6);
    menu->remove_sub(special);
    special->unref();
    EXPECT_EQ(menu->item_count(), 3u);
    EXPECT_EQ(menu->sub_at(2), app.usb_menu());
    app.usb_menu()->unref();
    menu->unref();
}

}  // namespace
