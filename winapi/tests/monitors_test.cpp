// Monitors and display modes: the monitor choice for points and rectangles, the answers without a display,
// and the X server's one output under Xvfb, whose single fixed mode refuses every other size.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <X11/Xlib.h>  // after gtest: its macros clash with gtest's names
#include <X11/extensions/Xrandr.h>

#include "../src/monitor_layout.h"
#include "../src/x11_connection.h"
#include "support/added_mode.h"
#include "support/test_files.h"
#include "support/x11_test_display.h"
#include "winapi/winuser.h"
#include "winapi/winuser_display.h"

using namespace winapi_internal;

TEST(MonitorLayout, ChoosesTheMonitorSharingMostAreaElseByFlag) {
    // A primary 1920x1080 with a second monitor to its left, partly above.
    const std::vector<RECT> monitors = {{0, 0, 1920, 1080}, {-1280, -200, 0, 824}};
    struct Case {
        RECT rect;
        DWORD flags;
        int expected;
    } cases[] = {
        {{100, 100, 101, 101}, MONITOR_DEFAULTTONULL, 0},
        {{-1, 0, -1, 0}, MONITOR_DEFAULTTONULL, 1},            // empty rect: its top-left pixel
        {{1919, 1079, 1919, 1079}, MONITOR_DEFAULTTONULL, 0},  // last pixel inside
        {{1920, 0, 1920, 0}, MONITOR_DEFAULTTONULL, -1},       // right edge is outside
        {{-100, 0, 50, 10}, MONITOR_DEFAULTTONULL, 1},         // more on the left monitor
        {{-50, 0, 100, 10}, MONITOR_DEFAULTTONULL, 0},
        {{-25, 0, 25, 10}, MONITOR_DEFAULTTONULL, 0},  // equal areas: the first monitor
        {{5000, 500, 5001, 501}, MONITOR_DEFAULTTOPRIMARY, 0},
        {{-5000, 0, -4999, 1}, MONITOR_DEFAULTTONEAREST, 1},
        {{-10, -300, -9, -299}, MONITOR_DEFAULTTONEAREST, 1},  // above the left monitor's top
        {{500, -300, 501, -299}, MONITOR_DEFAULTTONEAREST, 0},
        {{INT32_MAX - 1, INT32_MAX - 1, INT32_MAX, INT32_MAX}, MONITOR_DEFAULTTONEAREST, 0},
        {{INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX}, MONITOR_DEFAULTTONULL, 0},  // covers both, no overflow
    };
    for (const Case& c : cases) {
        EXPECT_EQ(monitor_index_for_rect(monitors, 0, c.rect, c.flags), c.expected)
            << c.rect.left << "," << c.rect.top << "," << c.rect.right << "," << c.rect.bottom << " flags "
            << c.flags;
    }
    EXPECT_EQ(monitor_index_for_rect(monitors, 1, {5000, 0, 5001, 1}, MONITOR_DEFAULTTOPRIMARY), 1);
    EXPECT_EQ(monitor_index_for_rect({}, 0, {0, 0, 1, 1}, MONITOR_DEFAULTTONEAREST), -1);
}

namespace {

BOOL CALLBACK collect_monitor(HMONITOR monitor, HDC, LPRECT rect, LPARAM data) {
    reinterpret_cast<std::vector<std::pair<HMONITOR, RECT>>*>(data)->push_back({monitor, *rect});
    return TRUE;
}

std::u16string text(const WCHAR* s) {
    return std::u16string(s);
}

}  // namespace

TEST(Monitors, WithoutADisplayThereAreNoMonitors) {
    test_support::ScopedEnv no_display("DISPLAY", std::nullopt);
    x11_close_display();
    std::vector<std::pair<HMONITOR, RECT>> found;
    EXPECT_TRUE(EnumDisplayMonitors(nullptr, nullptr, collect_monitor, reinterpret_cast<LPARAM>(&found)));
    EXPECT_TRUE(found.empty());
    for (DWORD flags : {MONITOR_DEFAULTTONULL, MONITOR_DEFAULTTOPRIMARY, MONITOR_DEFAULTTONEAREST}) {
        EXPECT_EQ(MonitorFromPoint({0, 0}, flags), nullptr);
    }
    DISPLAY_DEVICEW device{};
    device.cb = sizeof(device);
    EXPECT_FALSE(EnumDisplayDevicesW(nullptr, 0, &device, 0));
    DEVMODEW mode{};
    mode.dmSize = sizeof(mode);
    EXPECT_FALSE(EnumDisplaySettingsW(nullptr, ENUM_CURRENT_SETTINGS, &mode));
    EXPECT_EQ(ChangeDisplaySettingsExW(nullptr, nullptr, nullptr, 0, nullptr), DISP_CHANGE_FAILED);
    EXPECT_EQ(GetSystemMetrics(SM_CXSCREEN), 0);
    EXPECT_EQ(GetSystemMetrics(SM_CMONITORS), 0);
    x11_close_display();
}

class XvfbMonitors : public ::testing::Test {
protected:
    void SetUp() override {
        KTW_REQUIRE_XVFB();
        ASSERT_NE(test_support::fresh_x11_display(), nullptr);
    }
    void TearDown() override { x11_close_display(); }
};

TEST_F(XvfbMonitors, TheOutputIsOnePrimaryMonitorWithItsDeviceName) {
    std::vector<std::pair<HMONITOR, RECT>> found;
    ASSERT_TRUE(EnumDisplayMonitors(nullptr, nullptr, collect_monitor, reinterpret_cast<LPARAM>(&found)));
    ASSERT_EQ(found.size(), 1u);
    HMONITOR monitor = found[0].first;
    ASSERT_NE(monitor, nullptr);
    EXPECT_EQ(found[0].second.right, 1280);
    EXPECT_EQ(found[0].second.bottom, 1024);

    MONITORINFOEXW info{};
    info.cbSize = sizeof(info);
    ASSERT_TRUE(GetMonitorInfoW(monitor, reinterpret_cast<LPMONITORINFO>(&info)));
    EXPECT_EQ(info.rcMonitor.left, 0);
    EXPECT_EQ(info.rcMonitor.right, 1280);
    EXPECT_EQ(info.rcMonitor.bottom, 1024);
    EXPECT_EQ(info.dwFlags, static_cast<DWORD>(MONITORINFOF_PRIMARY));
    EXPECT_EQ(text(info.szDevice), u"\\\\.\\DISPLAY1");
    MONITORINFO plain{};
    plain.cbSize = sizeof(plain);
    EXPECT_TRUE(GetMonitorInfoW(monitor, &plain));
    plain.cbSize = 12;
    EXPECT_FALSE(GetMonitorInfoW(monitor, &plain));
    plain.cbSize = sizeof(plain);
    EXPECT_FALSE(GetMonitorInfoW(reinterpret_cast<HMONITOR>(12345), &plain));

    // The clip rectangle limits both the monitors and the rectangle handed over.
    found.clear();
    RECT clip{1000, 1000, 2000, 2000};
    ASSERT_TRUE(EnumDisplayMonitors(nullptr, &clip, collect_monitor, reinterpret_cast<LPARAM>(&found)));
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].second.left, 1000);
    EXPECT_EQ(found[0].second.right, 1280);
    found.clear();
    clip = {1280, 0, 1400, 10};
    ASSERT_TRUE(EnumDisplayMonitors(nullptr, &clip, collect_monitor, reinterpret_cast<LPARAM>(&found)));
    EXPECT_TRUE(found.empty());

    EXPECT_EQ(MonitorFromPoint({640, 512}, MONITOR_DEFAULTTONULL), monitor);
    EXPECT_EQ(MonitorFromPoint({-10, 5}, MONITOR_DEFAULTTONULL), nullptr);
    EXPECT_EQ(MonitorFromPoint({-10, 5}, MONITOR_DEFAULTTONEAREST), monitor);
    RECT rect{1200, 1000, 1400, 1100};
    EXPECT_EQ(MonitorFromRect(&rect, MONITOR_DEFAULTTONULL), monitor);

    EXPECT_EQ(GetSystemMetrics(SM_CXSCREEN), 1280);
    EXPECT_EQ(GetSystemMetrics(SM_CYSCREEN), 1024);
    EXPECT_EQ(GetSystemMetrics(SM_XVIRTUALSCREEN), 0);
    EXPECT_EQ(GetSystemMetrics(SM_CXVIRTUALSCREEN), 1280);
    EXPECT_EQ(GetSystemMetrics(SM_CYVIRTUALSCREEN), 1024);
    EXPECT_EQ(GetSystemMetrics(SM_CMONITORS), 1);
    EXPECT_EQ(GetSystemMetrics(SM_CXCURSOR), 32);
    EXPECT_EQ(GetSystemMetrics(9999), 0);
}

TEST_F(XvfbMonitors, DevicesAndModesDescribeTheOutput) {
    DISPLAY_DEVICEW adapter{};
    adapter.cb = sizeof(adapter);
    ASSERT_TRUE(EnumDisplayDevicesW(nullptr, 0, &adapter, 0));
    EXPECT_EQ(text(adapter.DeviceName), u"\\\\.\\DISPLAY1");
    EXPECT_EQ(adapter.StateFlags & (DISPLAY_DEVICE_ATTACHED_TO_DESKTOP | DISPLAY_DEVICE_PRIMARY_DEVICE |
                                    DISPLAY_DEVICE_MIRRORING_DRIVER),
              static_cast<DWORD>(DISPLAY_DEVICE_ATTACHED_TO_DESKTOP | DISPLAY_DEVICE_PRIMARY_DEVICE));
    EXPECT_FALSE(text(adapter.DeviceString).empty());
    DISPLAY_DEVICEW more{};
    more.cb = sizeof(more);
    EXPECT_FALSE(EnumDisplayDevicesW(nullptr, 1, &more, 0));
    more.cb = 100;  // too small a record
    EXPECT_FALSE(EnumDisplayDevicesW(nullptr, 0, &more, 0));

    DISPLAY_DEVICEW monitor{};
    monitor.cb = sizeof(monitor);
    ASSERT_TRUE(EnumDisplayDevicesW(u"\\\\.\\display1", 0, &monitor, 0));  // names compare without case
    EXPECT_EQ(text(monitor.DeviceName), u"\\\\.\\DISPLAY1\\Monitor0");
    EXPECT_TRUE(monitor.StateFlags & DISPLAY_DEVICE_ACTIVE);
    EXPECT_FALSE(EnumDisplayDevicesW(u"\\\\.\\DISPLAY1", 1, &monitor, 0));
    EXPECT_FALSE(EnumDisplayDevicesW(u"\\\\.\\DISPLAY7", 0, &monitor, 0));

    DEVMODEW mode{};
    mode.dmSize = sizeof(mode);
    ASSERT_TRUE(EnumDisplaySettingsW(adapter.DeviceName, ENUM_CURRENT_SETTINGS, &mode));
    EXPECT_EQ(mode.dmSize, sizeof(DEVMODEW));
    EXPECT_EQ(mode.dmPelsWidth, 1280u);
    EXPECT_EQ(mode.dmPelsHeight, 1024u);
    EXPECT_EQ(mode.dmBitsPerPel, 32u);
    EXPECT_EQ(mode.dmPosition.x, 0);
    EXPECT_TRUE(mode.dmFields & DM_POSITION);
    ASSERT_TRUE(EnumDisplaySettingsW(nullptr, ENUM_REGISTRY_SETTINGS, &mode));
    EXPECT_EQ(mode.dmPelsWidth, 1280u);
    ASSERT_TRUE(EnumDisplaySettingsW(nullptr, 0, &mode));
    EXPECT_EQ(mode.dmPelsWidth, 1280u);
    EXPECT_FALSE(EnumDisplaySettingsW(nullptr, 1, &mode));  // the one fixed mode is the whole list
    EXPECT_FALSE(EnumDisplaySettingsW(u"\\\\.\\DISPLAY2", ENUM_CURRENT_SETTINGS, &mode));
}

TEST_F(XvfbMonitors, ModeChangesTheServerCannotMakeAreReportedAsFailures) {
    auto request = [](DWORD width, DWORD height, DWORD bits) {
        DEVMODEW mode{};
        mode.dmSize = sizeof(mode);
        mode.dmFields = DM_PELSWIDTH | DM_PELSHEIGHT | DM_BITSPERPEL;
        mode.dmPelsWidth = width;
        mode.dmPelsHeight = height;
        mode.dmBitsPerPel = bits;
        return mode;
    };
    DEVMODEW smaller = request(1024, 768, 32);
    EXPECT_EQ(ChangeDisplaySettingsExW(nullptr, &smaller, nullptr, CDS_FULLSCREEN, nullptr),
              DISP_CHANGE_BADMODE);
    EXPECT_EQ(ChangeDisplaySettingsExW(nullptr, &smaller, nullptr, CDS_TEST, nullptr), DISP_CHANGE_BADMODE);
    DEVMODEW other_depth = request(1280, 1024, 16);
    EXPECT_EQ(ChangeDisplaySettingsExW(nullptr, &other_depth, nullptr, CDS_FULLSCREEN, nullptr),
              DISP_CHANGE_BADMODE);
    DEVMODEW short_record = request(1280, 1024, 32);
    short_record.dmSize = 64;
    EXPECT_EQ(ChangeDisplaySettingsExW(nullptr, &short_record, nullptr, 0, nullptr), DISP_CHANGE_BADMODE);
    DEVMODEW same = request(1280, 1024, 32);
    EXPECT_EQ(ChangeDisplaySettingsExW(nullptr, &same, nullptr, CDS_FULLSCREEN, nullptr),
              DISP_CHANGE_SUCCESSFUL);
    EXPECT_EQ(ChangeDisplaySettingsExW(u"\\\\.\\DISPLAY1", &same, nullptr, CDS_TEST, nullptr),
              DISP_CHANGE_SUCCESSFUL);
    EXPECT_EQ(ChangeDisplaySettingsExW(u"\\\\.\\DISPLAY9", &same, nullptr, 0, nullptr), DISP_CHANGE_BADPARAM);
    EXPECT_EQ(ChangeDisplaySettingsExW(nullptr, nullptr, nullptr, 0, nullptr), DISP_CHANGE_SUCCESSFUL);

    // Nothing changed on the way.
    EXPECT_EQ(GetSystemMetrics(SM_CXSCREEN), 1280);
    EXPECT_EQ(GetSystemMetrics(SM_CYSCREEN), 1024);
}

namespace {

std::vector<std::pair<WPARAM, LPARAM>> display_changes;

LRESULT CALLBACK display_change_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_DISPLAYCHANGE) {
        display_changes.push_back({wparam, lparam});
    }
    return DefWindowProcW(hwnd, message, wparam, lparam);
}

}  // namespace

// Runs last: it adds a 1024 x 768 mode to the server's output (Xvfb takes added modes), and takes it away
// again.
TEST_F(XvfbMonitors, ModesTheServerOffersAreSetRestoredAndAnnounced) {
    Display* other = XOpenDisplay(nullptr);  // the added mode comes from another client, as from xrandr
    ASSERT_NE(other, nullptr);
    Window root = DefaultRootWindow(other);
    XRRScreenResources* resources = XRRGetScreenResourcesCurrent(other, root);
    ASSERT_NE(resources, nullptr);
    ASSERT_GE(resources->noutput, 1);
    RROutput output = resources->outputs[0];
    RRMode added = test_support::add_1024x768_mode(other, output);

    WNDCLASSW window_class{};
    window_class.lpfnWndProc = display_change_proc;
    window_class.lpszClassName = u"display_change_window";
    RegisterClassW(&window_class);
    HWND window = CreateWindowExW(0, u"display_change_window", u"display change", WS_POPUP, 0, 0, 10, 10,
                                  nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    GetSystemMetrics(SM_CXSCREEN);  // the layout as it was before
    display_changes.clear();

    DEVMODEW mode{};
    mode.dmSize = sizeof(mode);
    ASSERT_TRUE(EnumDisplaySettingsW(nullptr, 1, &mode));
    EXPECT_EQ(mode.dmPelsWidth, 1024u);
    EXPECT_EQ(mode.dmDisplayFrequency, 60u);  // 65 MHz over 1344 x 806
    mode.dmFields = DM_PELSWIDTH | DM_PELSHEIGHT | DM_BITSPERPEL;
    ASSERT_EQ(ChangeDisplaySettingsExW(nullptr, &mode, nullptr, CDS_FULLSCREEN, nullptr),
              DISP_CHANGE_SUCCESSFUL);
    EXPECT_EQ(GetSystemMetrics(SM_CXSCREEN), 1024);
    EXPECT_EQ(GetSystemMetrics(SM_CYVIRTUALSCREEN), 768);
    // Sent before the call returned, with the new depth and size.
    ASSERT_EQ(display_changes.size(), 1u);
    EXPECT_EQ(display_changes[0].first, 32u);
    EXPECT_EQ(display_changes[0].second, MAKELPARAM(1024, 768));
    DEVMODEW registry{};
    registry.dmSize = sizeof(registry);
    ASSERT_TRUE(EnumDisplaySettingsW(nullptr, ENUM_REGISTRY_SETTINGS, &registry));
    EXPECT_EQ(registry.dmPelsWidth, 1280u);

    // The server's own notices of that change bring no second message.
    MSG msg;
    for (int i = 0; i < 10; ++i) {
        XSync(x11_display(), False);
        x11_pump_events();
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&msg);
        }
    }
    EXPECT_EQ(display_changes.size(), 1u);

    // Back to the registry mode.
    ASSERT_EQ(ChangeDisplaySettingsExW(nullptr, nullptr, nullptr, 0, nullptr), DISP_CHANGE_SUCCESSFUL);
    EXPECT_EQ(GetSystemMetrics(SM_CXSCREEN), 1280);
    EXPECT_EQ(GetSystemMetrics(SM_CYVIRTUALSCREEN), 1024);
    ASSERT_EQ(display_changes.size(), 2u);
    EXPECT_EQ(display_changes[1].second, MAKELPARAM(1280, 1024));

    // A change made by another client is posted once the events are read.
    XRROutputInfo* output_info = XRRGetOutputInfo(other, resources, output);
    ASSERT_NE(output_info, nullptr);
    XRRCrtcInfo* crtc = XRRGetCrtcInfo(other, resources, output_info->crtc);
    ASSERT_NE(crtc, nullptr);
    ASSERT_EQ(XRRSetCrtcConfig(other, resources, output_info->crtc, CurrentTime, 0, 0, added, RR_Rotate_0,
                               &output, 1),
              RRSetConfigSuccess);
    XSync(other, False);
    for (int i = 0; i < 50 && display_changes.size() < 3; ++i) {
        XSync(x11_display(), False);
        x11_pump_events();
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&msg);
        }
    }
    ASSERT_EQ(display_changes.size(), 3u);
    EXPECT_EQ(display_changes[2].second, MAKELPARAM(1024, 768));

    // Leave the server as it was.
    XRRSetCrtcConfig(other, resources, output_info->crtc, CurrentTime, 0, 0, crtc->mode, RR_Rotate_0, &output,
                     1);
    test_support::remove_added_mode(other, output, added);
    XRRFreeCrtcInfo(crtc);
    XRRFreeOutputInfo(output_info);
    XRRFreeScreenResources(resources);
    XCloseDisplay(other);
    DestroyWindow(window);
}
