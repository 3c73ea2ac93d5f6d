// Monitors and display modes over XRandR.
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "monitor_layout.h"
#include "window_internal.h"
#include "winapi/winuser.h"
#include "winapi/winuser_display.h"
#include "x11_connection.h"
#include "x11_input_display.h"

namespace winapi_internal {

namespace {

struct OutputMode {
    RRMode id;
    LONG width;
    LONG height;
    DWORD frequency;  // Hz, 0 when the server does not know the timings
};

// An X output that has a monitor connected or is showing part of the screen.
struct Output {
    RROutput id = 0;
    RRCrtc crtc = 0;  // 0 while the output shows nothing (not attached to the desktop)
    std::string name;
    RECT rect{};
    RRMode mode = 0;
    bool primary = false;
    std::vector<OutputMode> modes;
};

struct DisplayState {
    std::vector<Output> outputs;
    DWORD bits = 32;
};

std::mutex state_lock;
DisplayState last_state;  // guarded by state_lock; what the GUI thread read last

// The mode each output had before this process first changed it (ENUM_REGISTRY_SETTINGS). GUI thread only.
std::map<RROutput, RRMode>& registry_modes() {
    static std::map<RROutput, RRMode> modes;
    return modes;
}

DWORD frequency_of(const XRRModeInfo& mode) {
    double pixels = static_cast<double>(mode.hTotal) * mode.vTotal;
    if (pixels <= 0 || mode.dotClock == 0) {
        return 0;
    }
    return static_cast<DWORD>(std::lround(static_cast<double>(mode.dotClock) / pixels));
}

const XRRModeInfo* find_mode_info(const XRRScreenResources* resources, RRMode id) {
    for (int i = 0; i < resources->nmode; ++i) {
        if (resources->modes[i].id == id) {
            return &resources->modes[i];
        }
    }
    return nullptr;
}

DisplayState read_state(Display* display) {
    DisplayState state;
    int depth = DefaultDepth(display, DefaultScreen(display));
    state.bits = depth >= 24 ? 32 : static_cast<DWORD>(depth);
    int event_base, error_base;
    if (!XRRQueryExtension(display, &event_base, &error_base)) {
        return state;
    }
    Window root = DefaultRootWindow(display);
    XRRScreenResources* resources = XRRGetScreenResourcesCurrent(display, root);
    if (!resources) {
        return state;
    }
    RROutput primary = XRRGetOutputPrimary(display, root);
    for (int i = 0; i < resources->noutput; ++i) {
        XRROutputInfo* info = XRRGetOutputInfo(display, resources, resources->outputs[i]);
        if (!info) {
            continue;
        }
        if (info->connection == RR_Connected || info->crtc) {
            Output output;
            output.id = resources->outputs[i];
            output.name.assign(info->name, static_cast<size_t>(std::max(info->nameLen, 0)));
            output.primary = output.id == primary;
            for (int m = 0; m < info->nmode; ++m) {
                if (const XRRModeInfo* mode = find_mode_info(resources, info->modes[m])) {
                    output.modes.push_back({mode->id, static_cast<LONG>(mode->width),
                                            static_cast<LONG>(mode->height), frequency_of(*mode)});
                }
            }
            if (info->crtc) {
                if (XRRCrtcInfo* crtc = XRRGetCrtcInfo(display, resources, info->crtc)) {
                    if (crtc->mode) {
                        output.crtc = info->crtc;
                        output.mode = crtc->mode;
                        output.rect = {crtc->x, crtc->y,
                                       static_cast<LONG>(crtc->x + static_cast<int64_t>(crtc->width)),
                                       static_cast<LONG>(crtc->y + static_cast<int64_t>(crtc->height))};
                    }
                    XRRFreeCrtcInfo(crtc);
                }
            }
            state.outputs.push_back(std::move(output));
        }
        XRRFreeOutputInfo(info);
    }
    XRRFreeScreenResources(resources);
    // Windows always has a primary display: without a RandR primary the first active output is it.
    bool have_primary = std::any_of(state.outputs.begin(), state.outputs.end(),
                                    [](const Output& o) { return o.primary && o.crtc; });
    if (!have_primary) {
        for (Output& output : state.outputs) {
            output.primary = false;
        }
        for (Output& output : state.outputs) {
            if (output.crtc) {
                output.primary = true;
                break;
            }
        }
    }
    return state;
}

// What the monitors looked like when WM_DISPLAYCHANGE last went out (or when first read). GUI thread only.
std::string& announced_layout() {
    static std::string layout;
    return layout;
}

std::string layout_of(const DisplayState& state) {
    std::string layout = std::to_string(state.bits);
    for (const Output& output : state.outputs) {
        layout += " " + std::to_string(output.id) + ":" + std::to_string(output.mode) + "@" +
                  std::to_string(output.rect.left) + "," + std::to_string(output.rect.top) + "," +
                  std::to_string(output.rect.right) + "," + std::to_string(output.rect.bottom) +
                  (output.primary ? "p" : "");
    }
    return layout;
}

// Tells this process's top-level windows when the monitors changed since the last notice: sent (the caller
// waits, as for a change of its own) or posted (a change made elsewhere). GUI thread.
void announce_display_change(const DisplayState& state, bool send) {
    std::string layout = layout_of(state);
    if (layout == announced_layout()) {
        return;
    }
    announced_layout() = layout;
    LONG width = 0, height = 0;
    for (const Output& output : state.outputs) {
        if (output.primary && output.crtc) {
            width = output.rect.right - output.rect.left;
            height = output.rect.bottom - output.rect.top;
        }
    }
    for (auto& window : top_level_windows()) {
        if (send) {
            SendMessageTimeoutW(window->hwnd, WM_DISPLAYCHANGE, state.bits, MAKELPARAM(width, height),
                                SMTO_NORMAL, 5000, nullptr);
        } else {
            PostMessageW(window->hwnd, WM_DISPLAYCHANGE, state.bits, MAKELPARAM(width, height));
        }
    }
}

DisplayState read_and_keep(Display* display);

// Changes made by others reach the process as RandR screen-change events. GUI thread.
Display*& watched_display() {
    static Display* watched = nullptr;
    return watched;
}

void watch_display_changes(Display* display) {
    static int event_base = 0;
    static bool handler_added = false;
    if (watched_display() == display) {
        return;
    }
    watched_display() = display;
    x11_forget_on_close(display, [] { watched_display() = nullptr; });
    int error_base;
    if (!XRRQueryExtension(display, &event_base, &error_base)) {
        return;
    }
    XRRSelectInput(display, DefaultRootWindow(display),
                   RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
    if (!handler_added) {
        handler_added = true;
        x11_add_event_handler([](XEvent& event) {
            if (event.type != event_base + RRScreenChangeNotify && event.type != event_base + RRNotify) {
                return false;
            }
            XRRUpdateConfiguration(&event);
            if (Display* display = x11_display()) {
                announce_display_change(read_and_keep(display), false);
            }
            return true;
        });
    }
}

DisplayState read_and_keep(Display* display) {
    DisplayState state = read_state(display);
    std::lock_guard<std::mutex> guard(state_lock);
    last_state = state;
    return state;
}

// The GUI thread reads the server; other threads get the configuration it read last. The first call of the
// process opens the display (and so makes its thread the GUI thread), as every first USER call does.
DisplayState current_state() {
    Display* display = x11_display();
    if (display) {
        bool first = announced_layout().empty();
        watch_display_changes(display);
        DisplayState state = read_and_keep(display);
        if (first) {
            announced_layout() = layout_of(state);
        }
        return state;
    }
    std::lock_guard<std::mutex> guard(state_lock);
    return x11_connection_fd() >= 0 ? last_state : DisplayState{};
}

std::u16string ascii_to_u16(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

template <size_t N>
void copy_name(WCHAR (&target)[N], const std::u16string& text) {
    size_t n = std::min(text.size(), N - 1);
    std::copy(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(n), target);
    target[n] = 0;
}

std::u16string adapter_name(size_t index) {
    return ascii_to_u16("\\\\.\\DISPLAY" + std::to_string(index + 1));
}

bool same_name(LPCWSTR a, const std::u16string& b) {
    size_t i = 0;
    for (; a[i] && i < b.size(); ++i) {
        WCHAR x = a[i] >= 'a' && a[i] <= 'z' ? static_cast<WCHAR>(a[i] - 32) : a[i];
        WCHAR y = b[i] >= 'a' && b[i] <= 'z' ? static_cast<WCHAR>(b[i] - 32) : b[i];
        if (x != y) {
            return false;
        }
    }
    return !a[i] && i == b.size();
}

// The index of the output a device name names (NULL: the primary), -1 when none.
int find_output(const DisplayState& state, LPCWSTR device) {
    for (size_t i = 0; i < state.outputs.size(); ++i) {
        if (device ? same_name(device, adapter_name(i)) : state.outputs[i].primary) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

// Active outputs are the monitors; the handle is the output's X id.
std::vector<const Output*> monitors_of(const DisplayState& state) {
    std::vector<const Output*> monitors;
    for (const Output& output : state.outputs) {
        if (output.crtc) {
            monitors.push_back(&output);
        }
    }
    return monitors;
}

HMONITOR handle_of(const Output& output) {
    return reinterpret_cast<HMONITOR>(static_cast<uintptr_t>(output.id));
}

HMONITOR monitor_for_rect(const RECT& rect, DWORD flags) {
    DisplayState state = current_state();
    std::vector<const Output*> monitors = monitors_of(state);
    std::vector<RECT> rects;
    int primary = -1;
    for (const Output* output : monitors) {
        if (output->primary) {
            primary = static_cast<int>(rects.size());
        }
        rects.push_back(output->rect);
    }
    int index = monitor_index_for_rect(rects, primary, rect, flags);
    return index < 0 ? nullptr : handle_of(*monitors[static_cast<size_t>(index)]);
}

void fill_mode(const Output& output, const OutputMode& mode, DWORD bits, bool current, DEVMODEW* record) {
    std::memset(record, 0, sizeof(*record));
    copy_name(record->dmDeviceName, ascii_to_u16(output.name));
    record->dmSize = sizeof(DEVMODEW);
    record->dmFields = DM_BITSPERPEL | DM_PELSWIDTH | DM_PELSHEIGHT | DM_DISPLAYFLAGS | DM_DISPLAYFREQUENCY;
    record->dmBitsPerPel = bits;
    record->dmPelsWidth = static_cast<DWORD>(mode.width);
    record->dmPelsHeight = static_cast<DWORD>(mode.height);
    record->dmDisplayFrequency = mode.frequency;
    if (current) {
        record->dmFields |= DM_POSITION;
        record->dmPosition = {output.rect.left, output.rect.top};
    }
}

const OutputMode* find_output_mode(const Output& output, RRMode id) {
    for (const OutputMode& mode : output.modes) {
        if (mode.id == id) {
            return &mode;
        }
    }
    return nullptr;
}

// Puts the mode on the output's CRTC, growing the screen first when the new layout needs more room and
// shrinking it afterwards when it needs less. False when the server refuses.
bool apply_mode(Display* display, const Output& target, const OutputMode& mode) {
    Window root = DefaultRootWindow(display);
    XRRScreenResources* resources = XRRGetScreenResourcesCurrent(display, root);
    if (!resources) {
        return false;
    }
    XRRCrtcInfo* crtc = XRRGetCrtcInfo(display, resources, target.crtc);
    if (!crtc) {
        XRRFreeScreenResources(resources);
        return false;
    }
    bool turned = crtc->rotation & (RR_Rotate_90 | RR_Rotate_270);
    int64_t width = turned ? mode.height : mode.width;
    int64_t height = turned ? mode.width : mode.height;
    // The screen must hold every CRTC: the changed one at its new size, the others where they are.
    int64_t need_width = crtc->x + width;
    int64_t need_height = crtc->y + height;
    for (int i = 0; i < resources->ncrtc; ++i) {
        if (resources->crtcs[i] == target.crtc) {
            continue;
        }
        if (XRRCrtcInfo* other = XRRGetCrtcInfo(display, resources, resources->crtcs[i])) {
            if (other->mode) {
                need_width = std::max<int64_t>(need_width, other->x + static_cast<int64_t>(other->width));
                need_height = std::max<int64_t>(need_height, other->y + static_cast<int64_t>(other->height));
            }
            XRRFreeCrtcInfo(other);
        }
    }
    int screen = DefaultScreen(display);
    // The root window's size is the server's; Xlib's copy lags until it has read the change events.
    Window unused_root;
    int unused_x, unused_y;
    unsigned root_width = 0, root_height = 0, border, depth;
    XGetGeometry(display, root, &unused_root, &unused_x, &unused_y, &root_width, &root_height, &border,
                 &depth);
    int64_t screen_width = root_width;
    int64_t screen_height = root_height;
    int min_width, min_height, max_width, max_height;
    bool ok = XRRGetScreenSizeRange(display, root, &min_width, &min_height, &max_width, &max_height) &&
              need_width <= max_width && need_height <= max_height;
    auto resize_screen = [&](int64_t w, int64_t h) {
        // Keep the physical size in proportion so the resolution in dots per inch stays what it was.
        int mm_width =
            static_cast<int>(DisplayWidthMM(display, screen) * w / std::max<int64_t>(screen_width, 1));
        int mm_height =
            static_cast<int>(DisplayHeightMM(display, screen) * h / std::max<int64_t>(screen_height, 1));
        XRRSetScreenSize(display, root, static_cast<int>(w), static_cast<int>(h), std::max(mm_width, 1),
                         std::max(mm_height, 1));
    };
    bool grown = false;
    if (ok && (need_width > screen_width || need_height > screen_height)) {
        resize_screen(std::max(need_width, screen_width), std::max(need_height, screen_height));
        grown = true;
    }
    if (ok) {
        // A resized screen has a new configuration time, which the CRTC change must quote.
        XRRScreenResources* fresh = grown ? XRRGetScreenResourcesCurrent(display, root) : nullptr;
        ok = XRRSetCrtcConfig(display, fresh ? fresh : resources, target.crtc, CurrentTime, crtc->x, crtc->y,
                              mode.id, crtc->rotation, crtc->outputs, crtc->noutput) == RRSetConfigSuccess;
        if (fresh) {
            XRRFreeScreenResources(fresh);
        }
    }
    if (ok && (need_width < screen_width || need_height < screen_height)) {
        resize_screen(std::max<int64_t>(need_width, min_width), std::max<int64_t>(need_height, min_height));
    } else if (!ok && grown) {
        resize_screen(screen_width, screen_height);
    }
    XSync(display, False);
    XRRFreeCrtcInfo(crtc);
    XRRFreeScreenResources(resources);
    return ok;
}

}  // namespace

}  // namespace winapi_internal

using namespace winapi_internal;

BOOL WINAPI EnumDisplayMonitors(HDC dc, LPCRECT clip, MONITORENUMPROC callback, LPARAM data) {
    if (dc || !callback) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DisplayState state = current_state();
    for (const Output* output : monitors_of(state)) {
        RECT rect = output->rect;
        if (clip) {
            rect = {std::max(rect.left, clip->left), std::max(rect.top, clip->top),
                    std::min(rect.right, clip->right), std::min(rect.bottom, clip->bottom)};
            if (rect.left >= rect.right || rect.top >= rect.bottom) {
                continue;
            }
        }
        if (!callback(handle_of(*output), nullptr, &rect, data)) {
            return FALSE;
        }
    }
    return TRUE;
}

BOOL WINAPI GetMonitorInfoW(HMONITOR monitor, LPMONITORINFO info) {
    if (!info || (info->cbSize != sizeof(MONITORINFO) && info->cbSize != sizeof(MONITORINFOEXW))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DisplayState state = current_state();
    for (size_t i = 0; i < state.outputs.size(); ++i) {
        const Output& output = state.outputs[i];
        if (!output.crtc || handle_of(output) != monitor) {
            continue;
        }
        info->rcMonitor = output.rect;
        info->rcWork = output.rect;
        info->dwFlags = output.primary ? MONITORINFOF_PRIMARY : 0;
        if (info->cbSize == sizeof(MONITORINFOEXW)) {
            copy_name(reinterpret_cast<MONITORINFOEXW*>(info)->szDevice, adapter_name(i));
        }
        return TRUE;
    }
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

HMONITOR WINAPI MonitorFromPoint(POINT point, DWORD flags) {
    return monitor_for_rect(RECT{point.x, point.y, point.x, point.y}, flags);
}

HMONITOR WINAPI MonitorFromRect(LPCRECT rect, DWORD flags) {
    return rect ? monitor_for_rect(*rect, flags) : nullptr;
}

HMONITOR WINAPI MonitorFromWindow(HWND hwnd, DWORD flags) {
    RECT rect;
    if (!GetWindowRect(hwnd, &rect)) {
        return flags == MONITOR_DEFAULTTONULL ? nullptr
                                              : monitor_for_rect(RECT{0, 0, 0, 0}, MONITOR_DEFAULTTOPRIMARY);
    }
    return monitor_for_rect(rect, flags);
}

BOOL WINAPI EnumDisplayDevicesW(LPCWSTR device, DWORD index, PDISPLAY_DEVICEW info, DWORD flags) {
    if (!info || info->cb < sizeof(DISPLAY_DEVICEW)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DisplayState state = current_state();
    DWORD cb = info->cb;
    if (!device) {
        if (index >= state.outputs.size()) {
            return FALSE;
        }
        const Output& output = state.outputs[index];
        std::memset(info, 0, sizeof(*info));
        info->cb = cb;
        copy_name(info->DeviceName, adapter_name(index));
        copy_name(info->DeviceString, ascii_to_u16("X output " + output.name));
        info->StateFlags = (output.crtc ? DISPLAY_DEVICE_ATTACHED_TO_DESKTOP : 0) |
                           (output.crtc && output.primary ? DISPLAY_DEVICE_PRIMARY_DEVICE : 0);
        copy_name(info->DeviceID, ascii_to_u16("XRANDR\\" + output.name));
        return TRUE;
    }
    int found = find_output(state, device);
    if (found < 0 || index != 0) {
        return FALSE;
    }
    const Output& output = state.outputs[static_cast<size_t>(found)];
    std::memset(info, 0, sizeof(*info));
    info->cb = cb;
    copy_name(info->DeviceName, adapter_name(static_cast<size_t>(found)) + u"\\Monitor0");
    copy_name(info->DeviceString, ascii_to_u16("Monitor on " + output.name));
    info->StateFlags = DISPLAY_DEVICE_ATTACHED | (output.crtc ? DISPLAY_DEVICE_ACTIVE : 0);
    return TRUE;
}

BOOL WINAPI EnumDisplaySettingsExW(LPCWSTR device, DWORD modeIndex, LPDEVMODEW mode, DWORD flags) {
    if (!mode) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DisplayState state = current_state();
    int found = find_output(state, device);
    if (found < 0) {
        return FALSE;
    }
    const Output& output = state.outputs[static_cast<size_t>(found)];
    if (modeIndex == ENUM_CURRENT_SETTINGS || modeIndex == ENUM_REGISTRY_SETTINGS) {
        RRMode id = output.mode;
        if (modeIndex == ENUM_REGISTRY_SETTINGS && x11_is_gui_thread()) {
            auto saved = registry_modes().find(output.id);
            id = saved != registry_modes().end() ? saved->second : id;
        }
        const OutputMode* current = find_output_mode(output, id);
        if (!output.crtc || !current) {
            return FALSE;
        }
        fill_mode(output, *current, state.bits, true, mode);
        return TRUE;
    }
    if (modeIndex >= output.modes.size()) {
        return FALSE;
    }
    fill_mode(output, output.modes[modeIndex], state.bits, false, mode);
    return TRUE;
}

BOOL WINAPI EnumDisplaySettingsW(LPCWSTR device, DWORD modeIndex, LPDEVMODEW mode) {
    return EnumDisplaySettingsExW(device, modeIndex, mode, 0);
}

LONG WINAPI ChangeDisplaySettingsExW(LPCWSTR device, LPDEVMODEW mode, HWND hwnd, DWORD flags, LPVOID param) {
    if (hwnd || param) {
        return DISP_CHANGE_BADPARAM;
    }
    Display* display = x11_display();
    if (!display) {
        return DISP_CHANGE_FAILED;
    }
    DisplayState state = read_state(display);
    int found = find_output(state, device);
    if (found < 0) {
        return DISP_CHANGE_BADPARAM;
    }
    const Output& output = state.outputs[static_cast<size_t>(found)];
    const OutputMode* current = find_output_mode(output, output.mode);
    if (!output.crtc || !current) {
        return DISP_CHANGE_FAILED;
    }
    auto& saved = registry_modes();
    const OutputMode* target = nullptr;
    if (!mode) {
        auto registry = saved.find(output.id);
        target = registry != saved.end() ? find_output_mode(output, registry->second) : current;
        if (!target) {
            return DISP_CHANGE_BADMODE;
        }
    } else {
        if (mode->dmSize < offsetof(DEVMODEW, dmICMMethod)) {
            return DISP_CHANGE_BADMODE;
        }
        LONG width = (mode->dmFields & DM_PELSWIDTH) ? static_cast<LONG>(mode->dmPelsWidth) : current->width;
        LONG height =
            (mode->dmFields & DM_PELSHEIGHT) ? static_cast<LONG>(mode->dmPelsHeight) : current->height;
        if ((mode->dmFields & DM_BITSPERPEL) && mode->dmBitsPerPel != state.bits) {
            return DISP_CHANGE_BADMODE;
        }
        // Frequencies 0 and 1 mean "the hardware's default".
        DWORD frequency = (mode->dmFields & DM_DISPLAYFREQUENCY) ? mode->dmDisplayFrequency : 0;
        auto fits = [&](const OutputMode& m) {
            return m.width == width && m.height == height &&
                   (frequency <= 1 || (m.frequency + 1 >= frequency && m.frequency <= frequency + 1));
        };
        if (fits(*current)) {
            target = current;
        } else {
            auto it = std::find_if(output.modes.begin(), output.modes.end(), fits);
            target = it != output.modes.end() ? &*it : nullptr;
        }
        if (!target) {
            return DISP_CHANGE_BADMODE;
        }
    }
    if (flags & CDS_TEST) {
        return DISP_CHANGE_SUCCESSFUL;
    }
    if (target->id != current->id) {
        saved.emplace(output.id, current->id);  // keeps the first one
        if (!apply_mode(display, output, *target)) {
            current_state();
            return DISP_CHANGE_FAILED;
        }
    }
    // What the server shows now decides: a change it accepted but did not make is a failure too.
    DisplayState after = current_state();
    int again = find_output(after, device);
    if (again < 0 || after.outputs[static_cast<size_t>(again)].mode != target->id) {
        return DISP_CHANGE_FAILED;
    }
    announce_display_change(after, true);
    auto registry = saved.find(output.id);
    if (registry != saved.end() && registry->second == target->id) {
        saved.erase(registry);
    }
    return DISP_CHANGE_SUCCESSFUL;
}

int WINAPI GetSystemMetrics(int index) {
    switch (index) {
        case SM_CXICON:
        case SM_CYICON:
        case SM_CXCURSOR:
        case SM_CYCURSOR:
            return 32;
        case SM_CXSMICON:
        case SM_CYSMICON:
            return 16;
        case SM_CXSCREEN:
        case SM_CYSCREEN:
        case SM_XVIRTUALSCREEN:
        case SM_YVIRTUALSCREEN:
        case SM_CXVIRTUALSCREEN:
        case SM_CYVIRTUALSCREEN:
        case SM_CMONITORS:
            break;
        default:
            return 0;
    }
    DisplayState state = current_state();
    std::vector<const Output*> monitors = monitors_of(state);
    if (monitors.empty()) {
        return 0;
    }
    if (index == SM_CMONITORS) {
        return static_cast<int>(monitors.size());
    }
    if (index == SM_CXSCREEN || index == SM_CYSCREEN) {
        for (const Output* output : monitors) {
            if (output->primary) {
                return index == SM_CXSCREEN ? output->rect.right - output->rect.left
                                            : output->rect.bottom - output->rect.top;
            }
        }
        return 0;
    }
    RECT box = monitors.front()->rect;
    for (const Output* output : monitors) {
        box = {std::min(box.left, output->rect.left), std::min(box.top, output->rect.top),
               std::max(box.right, output->rect.right), std::max(box.bottom, output->rect.bottom)};
    }
    switch (index) {
        case SM_XVIRTUALSCREEN:
            return box.left;
        case SM_YVIRTUALSCREEN:
            return box.top;
        case SM_CXVIRTUALSCREEN:
            return box.right - box.left;
        default:
            return box.bottom - box.top;
    }
}
