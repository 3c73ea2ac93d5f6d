// Keyboard translation: XKB key names to set-1 scan codes, scan codes to US virtual keys, MapVirtualKeyW, and
// the translation of real key events injected into an X server.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

#include <X11/XKBlib.h>  // after gtest: its macros clash with gtest's names
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include "../src/x11_connection.h"
#include "../src/x11_keyboard.h"
#include "support/x11_test_display.h"
#include "winapi/winuser_display.h"

using namespace winapi_internal;

TEST(X11Keyboard, KeyNamesGiveSetOneScanCodes) {
    struct Case {
        const char* name;
        UINT scancode;
        bool extended;
    } cases[] = {
        {"ESC", 0x01, false},  {"AE01", 0x02, false}, {"AC01", 0x1E, false}, {"AB10", 0x35, false},
        {"LCTL", 0x1D, false}, {"RCTL", 0x1D, true},  {"LALT", 0x38, false}, {"RALT", 0x38, true},
        {"RTSH", 0x36, false}, {"NMLK", 0x45, true},  {"PAUS", 0x45, false}, {"PRSC", 0x37, true},
        {"KPEN", 0x1C, true},  {"KPDV", 0x35, true},  {"KP7", 0x47, false},  {"HOME", 0x47, true},
        {"LSGT", 0x56, false}, {"FK12", 0x58, false}, {"LWIN", 0x5B, true},  {"DELE", 0x53, true},
    };
    for (const Case& c : cases) {
        UINT scancode = 0;
        bool extended = !c.extended;
        ASSERT_TRUE(scancode_of_key_name(c.name, &scancode, &extended)) << c.name;
        EXPECT_EQ(scancode, c.scancode) << c.name;
        EXPECT_EQ(extended, c.extended) << c.name;
    }
    // XKB names are four characters with no terminator when all four are used.
    const char unterminated[4] = {'A', 'C', '0', '2'};
    UINT scancode = 0;
    bool extended = true;
    EXPECT_TRUE(scancode_of_key_name(unterminated, &scancode, &extended));
    EXPECT_EQ(scancode, 0x1Fu);
    EXPECT_FALSE(scancode_of_key_name("I120", &scancode, &extended));  // a key with no PC scan code
    EXPECT_FALSE(scancode_of_key_name("", &scancode, &extended));
}

TEST(X11Keyboard, ScanCodesGiveUsVirtualKeys) {
    struct Case {
        UINT scancode;
        bool extended;
        bool num_lock;
        UINT vk;
    } cases[] = {
        {0x1E, false, false, 'A'},        {0x0B, false, false, '0'},        {0x26, false, false, 'L'},
        {0x1D, false, false, VK_CONTROL}, {0x1D, true, false, VK_CONTROL},  {0x38, true, false, VK_MENU},
        {0x36, false, false, VK_SHIFT},   {0x45, true, false, VK_NUMLOCK},  {0x45, false, false, VK_PAUSE},
        {0x46, true, false, VK_CANCEL},   {0x37, true, false, VK_SNAPSHOT}, {0x54, false, false, VK_SNAPSHOT},
        {0x35, false, false, VK_OEM_2},   {0x35, true, false, VK_DIVIDE},   {0x1C, true, false, VK_RETURN},
        {0x47, false, false, VK_HOME},    {0x47, false, true, VK_NUMPAD7},  {0x47, true, true, VK_HOME},
        {0x4C, false, false, VK_CLEAR},   {0x4C, false, true, VK_NUMPAD5},  {0x53, false, true, VK_DECIMAL},
        {0x4A, false, true, VK_SUBTRACT}, {0x4E, false, true, VK_ADD},      {0x72, false, false, VK_HANGUL},
        {0x7F, false, false, 0},          {0x1E, true, false, 0},           {0x1E5, false, false, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(scancode_to_vk(c.scancode, c.extended, c.num_lock), c.vk)
            << std::hex << c.scancode << " ext " << c.extended << " num lock " << c.num_lock;
    }
}

TEST(X11Keyboard, MapVirtualKeyBothWays) {
    struct Case {
        UINT code;
        UINT type;
        UINT result;
    } cases[] = {
        {VK_LWIN, MAPVK_VK_TO_VSC, 0x5B},
        {'L', MAPVK_VK_TO_VSC, 0x26},
        {VK_SHIFT, MAPVK_VK_TO_VSC, 0x2A},
        {VK_RSHIFT, MAPVK_VK_TO_VSC, 0x36},
        {VK_RCONTROL, MAPVK_VK_TO_VSC, 0x1D},
        {VK_RCONTROL, MAPVK_VK_TO_VSC_EX, 0xE01D},
        {VK_NUMPAD7, MAPVK_VK_TO_VSC, 0x47},
        {VK_NUMLOCK, MAPVK_VK_TO_VSC, 0x45},
        {0x2A, MAPVK_VSC_TO_VK, VK_SHIFT},
        {0x36, MAPVK_VSC_TO_VK_EX, VK_RSHIFT},
        {0xE038, MAPVK_VSC_TO_VK_EX, VK_RMENU},
        {0x38, MAPVK_VSC_TO_VK_EX, VK_LMENU},
        {0xE11D, MAPVK_VSC_TO_VK_EX, 0},
        {0xFF, MAPVK_VK_TO_VSC, 0},
        {0, MAPVK_VK_TO_VSC, 0},
        {'A', MAPVK_VK_TO_CHAR, 0},
        {'A', 9, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(MapVirtualKeyW(c.code, c.type), c.result) << std::hex << c.code << " type " << c.type;
    }
}

namespace {

// A focused window of the test's own, receiving the key events XTest injects.
class InjectedKeys : public ::testing::Test {
protected:
    void SetUp() override {
        KTW_REQUIRE_XVFB();
        display_ = test_support::fresh_x11_display();
        ASSERT_NE(display_, nullptr);
        window_ = XCreateSimpleWindow(display_, DefaultRootWindow(display_), 0, 0, 50, 50, 0, 0, 0);
        XSelectInput(display_, window_, KeyPressMask | KeyReleaseMask | StructureNotifyMask);
        XMapWindow(display_, window_);
        XEvent event;
        do {
            XWindowEvent(display_, window_, StructureNotifyMask, &event);
        } while (event.type != MapNotify);
        XSetInputFocus(display_, window_, RevertToParent, CurrentTime);
        XSync(display_, False);
    }

    void TearDown() override {
        if (display_) {
            XDestroyWindow(display_, window_);
            x11_close_display();
        }
    }

    // Presses and releases the key; returns the key code the window saw in its KeyPress (0 when none came).
    unsigned press(unsigned keycode) {
        XTestFakeKeyEvent(display_, keycode, True, CurrentTime);
        XTestFakeKeyEvent(display_, keycode, False, CurrentTime);
        XSync(display_, False);
        unsigned seen = 0;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (std::chrono::steady_clock::now() < deadline) {
            XEvent event;
            if (XCheckWindowEvent(display_, window_, KeyPressMask | KeyReleaseMask, &event)) {
                if (event.type == KeyPress) {
                    seen = event.xkey.keycode;
                } else {
                    return seen;
                }
            }
        }
        return seen;
    }

    unsigned keycode_of(const char* name) {
        XkbDescPtr desc = XkbGetMap(display_, 0, XkbUseCoreKbd);
        XkbGetNames(display_, XkbKeyNamesMask, desc);
        unsigned found = 0;
        for (unsigned code = desc->min_key_code; code <= desc->max_key_code; ++code) {
            if (std::strncmp(desc->names->keys[code].name, name, XkbKeyNameLength) == 0) {
                found = code;
            }
        }
        XkbFreeKeyboard(desc, 0, True);
        return found;
    }

    Display* display_ = nullptr;
    Window window_ = 0;
};

}  // namespace

TEST_F(InjectedKeys, KeyEventsTranslateToTheKeysScanCode) {
    struct Case {
        const char* name;
        UINT scancode;
        bool extended;
    } cases[] = {{"AC01", 0x1E, false}, {"RCTL", 0x1D, true}, {"KPEN", 0x1C, true}, {"NMLK", 0x45, true}};
    for (const Case& c : cases) {
        unsigned keycode = keycode_of(c.name);
        ASSERT_NE(keycode, 0u) << c.name;
        unsigned seen = press(keycode);
        ASSERT_EQ(seen, keycode) << c.name;
        UINT scancode = 0;
        bool extended = !c.extended;
        ASSERT_TRUE(x11_key_to_scancode(display_, seen, &scancode, &extended)) << c.name;
        EXPECT_EQ(scancode, c.scancode) << c.name;
        EXPECT_EQ(extended, c.extended) << c.name;
    }
    UINT scancode = 0;
    bool extended = false;
    EXPECT_FALSE(x11_key_to_scancode(display_, 300, &scancode, &extended));
    EXPECT_FALSE(x11_key_to_scancode(nullptr, keycode_of("AC01"), &scancode, &extended));
}

TEST_F(InjectedKeys, TranslationFollowsThePhysicalKeyNotTheKeymap) {
    unsigned keycode = keycode_of("AC01");
    ASSERT_NE(keycode, 0u);
    UINT scancode = 0;
    bool extended = true;
    ASSERT_TRUE(
        x11_key_to_scancode(display_, keycode, &scancode, &extended));  // table read before the change

    // Make the A key type 'q' (an AZERTY-like remap); the key is still the one at scan code 0x1E.
    KeySym q = XK_q;
    XChangeKeyboardMapping(display_, static_cast<int>(keycode), 1, &q, 1);
    XSync(display_, False);
    x11_pump_events();  // the mapping change reaches the keyboard table
    EXPECT_EQ(XkbKeycodeToKeysym(display_, static_cast<KeyCode>(keycode), 0, 0), static_cast<KeySym>(XK_q));
    ASSERT_EQ(press(keycode), keycode);
    ASSERT_TRUE(x11_key_to_scancode(display_, keycode, &scancode, &extended));
    EXPECT_EQ(scancode, 0x1Eu);
    EXPECT_FALSE(extended);
}
