#include "platform/monitor.h"
#include "platform/platform.h"

#include <cstring>
#include <string>

#include "runtime/log.h"
#include "runtime/stringconv.h"

namespace {

MonitorsList monitors;           // main thread only
Monitor* the_primary = nullptr;  // main thread only
int mode_changes = 0;            // main thread only

// Raised for the duration of one mode change of ours.
class ModeChange {
public:
    ModeChange() { ++mode_changes; }
    ~ModeChange() { --mode_changes; }
};

std::string utf8(const std::u16string& text) {
    char* converted = WideToUtf8(text.c_str());
    std::string result = converted ? converted : "";
    if (converted) {
        HeapFree(GetProcessHeap(), 0, converted);
    }
    return result;
}

DEVMODEW empty_mode() {
    DEVMODEW mode;
    std::memset(&mode, 0, sizeof(mode));
    mode.dmSize = sizeof(mode);
    return mode;
}

}  // namespace

int choose_best_display_mode(const std::vector<DisplayModeInfo>& modes, DWORD width, DWORD height) {
    const uint64_t requested = uint64_t{width} * height;
    uint64_t best_waste = UINT64_MAX;
    int best = -1;
    for (size_t i = 0; i < modes.size(); ++i) {
        const DisplayModeInfo& mode = modes[i];
        if (mode.frequency == 1 || mode.width < width || mode.height < height) {
            continue;
        }
        uint64_t waste = uint64_t{mode.width} * mode.height - requested;
        bool better = waste < best_waste;
        if (!better && waste == best_waste) {
            const DisplayModeInfo& kept = modes[static_cast<size_t>(best)];
            better = mode.bits == kept.bits ? mode.frequency > kept.frequency
                                            : kept.bits != 32 && mode.bits > kept.bits;
        }
        if (better) {
            best_waste = waste;
            best = static_cast<int>(i);
        }
    }
    return best;
}

WinMonitor::WinMonitor(int id, const WCHAR* device_name, const WCHAR* description)
    : Monitor(id), _dev_name(device_name), _dev_string(description) {
    update_position();
}

WinMonitor::~WinMonitor() {
    restore();
}

void WinMonitor::update_position() {
    DEVMODEW mode = empty_mode();
    if (!EnumDisplaySettingsW(_dev_name.c_str(), ENUM_CURRENT_SETTINGS, &mode)) {
        LOG_ERROR("get register display of %s fail, err=%d", utf8(_dev_name).c_str(), (int)GetLastError());
    }
    _position_x = mode.dmPosition.x;
    _position_y = mode.dmPosition.y;
    _depth = static_cast<int>(mode.dmBitsPerPel);
    _width = static_cast<int>(mode.dmPelsWidth);
    _height = static_cast<int>(mode.dmPelsHeight);
}

Point WinMonitor::get_position() {
    update_position();
    return {_position_x, _position_y};
}

Point WinMonitor::current_display_size() {
    DEVMODEW mode = empty_mode();
    if (!EnumDisplaySettingsW(_dev_name.c_str(), ENUM_CURRENT_SETTINGS, &mode)) {
        LOG_ERROR("get register display of %s fail, err=%d", utf8(_dev_name).c_str(), (int)GetLastError());
    }
    return {static_cast<int>(mode.dmPelsWidth), static_cast<int>(mode.dmPelsHeight)};
}

// Both sizes are the current mode's.
Point WinMonitor::get_register_display_size() {
    return current_display_size();
}

Point WinMonitor::get_cur_display_size() {
    return current_display_size();
}

bool WinMonitor::change_display_settings(int width, int height) {
    DEVMODEW mode = empty_mode();
    mode.dmFields = DM_BITSPERPEL | DM_PELSWIDTH | DM_PELSHEIGHT;
    mode.dmBitsPerPel = 32;
    mode.dmPelsWidth = static_cast<DWORD>(width);
    mode.dmPelsHeight = static_cast<DWORD>(height);
    LONG ret = ChangeDisplaySettingsExW(_dev_name.c_str(), &mode, nullptr, CDS_FULLSCREEN, nullptr);
    if (ret != DISP_CHANGE_SUCCESSFUL) {
        LOG_ERROR(
            "[change_display_settings] ChangeDisplaySettingsEx fail, dev_name=%s,width=%d,height=%d,depth=%d,"
            "ret=%d",
            utf8(_dev_name).c_str(), width, height, 32, (int)ret);
        return false;
    }
    return true;
}

bool WinMonitor::best_display_setting(int width, int height) {
    std::vector<DisplayModeInfo> modes;
    DEVMODEW mode = empty_mode();
    for (DWORD index = 0; EnumDisplaySettingsW(_dev_name.c_str(), index, &mode); ++index) {
        modes.push_back({mode.dmPelsWidth, mode.dmPelsHeight, mode.dmBitsPerPel, mode.dmDisplayFrequency});
        mode = empty_mode();
    }
    int best = width < 0 || height < 0
                   ? -1
                   : choose_best_display_mode(modes, static_cast<DWORD>(width), static_cast<DWORD>(height));
    if (best < 0) {
        LOG_ERROR("best display setting mod_waste == ~0");
        return false;
    }
    const DisplayModeInfo& chosen = modes[static_cast<size_t>(best)];
    mode = empty_mode();
    mode.dmFields = DM_PELSWIDTH | DM_PELSHEIGHT | DM_BITSPERPEL | DM_DISPLAYFREQUENCY;
    mode.dmPelsWidth = chosen.width;
    mode.dmPelsHeight = chosen.height;
    mode.dmBitsPerPel = chosen.bits;
    mode.dmDisplayFrequency = chosen.frequency;
    LONG ret = ChangeDisplaySettingsExW(_dev_name.c_str(), &mode, nullptr, CDS_FULLSCREEN, nullptr);
    if (ret != DISP_CHANGE_SUCCESSFUL) {
        LOG_ERROR("[best_display_setting] ChangeDisplaySettingsEx fail, ret=%d", (int)ret);
        return false;
    }
    return true;
}

void WinMonitor::set_mode(int width, int height) {
    update_position();
    if (width == _width && height == _height) {
        _out_of_sync = false;
        return;
    }
    {
        ModeChange change;
        _out_of_sync = !change_display_settings(width, height) && !best_display_setting(width, height);
    }
    _mode_changed = true;
    update_position();
}

void WinMonitor::restore() {
    if (!_mode_changed) {
        return;
    }
    {
        ModeChange change;
        _mode_changed = false;
        ChangeDisplaySettingsExW(_dev_name.c_str(), nullptr, nullptr, 0, nullptr);
    }
    update_position();
}

namespace {

// Devices that show part of the desktop themselves.
bool is_desktop_device(const DISPLAY_DEVICEW& device) {
    return (device.StateFlags & DISPLAY_DEVICE_ATTACHED_TO_DESKTOP) &&
           !(device.StateFlags & DISPLAY_DEVICE_MIRRORING_DRIVER);
}

template <class F>
void for_each_display_device(F f) {
    DISPLAY_DEVICEW device;
    for (DWORD index = 0;; ++index) {
        std::memset(&device, 0, sizeof(device));
        device.cb = sizeof(device);
        if (!EnumDisplayDevicesW(nullptr, index, &device, 0)) {
            return;
        }
        f(device);
    }
}

}  // namespace

const MonitorsList& Platform::init_monitors() {
    int id = 0;
    for_each_display_device([&](const DISPLAY_DEVICEW& device) {
        if (!is_desktop_device(device)) {
            return;
        }
        WinMonitor* monitor = new WinMonitor(id++, device.DeviceName, device.DeviceString);
        monitors.push_back(monitor);
        if (device.StateFlags & DISPLAY_DEVICE_PRIMARY_DEVICE) {
            the_primary = monitor;
        }
    });
    return monitors;
}

void Platform::destroy_monitors() {
    for (Monitor* monitor : monitors) {
        delete monitor;
    }
    monitors.clear();
    the_primary = nullptr;
}

const MonitorsList& Platform::current_monitors() {
    return monitors;
}

Monitor* Platform::primary_monitor() {
    return the_primary;
}

int Platform::count_display_devices() {
    int count = 0;
    for_each_display_device(
        [&](const DISPLAY_DEVICEW& device) { count += is_desktop_device(device) ? 1 : 0; });
    return count;
}

int Platform::display_mode_changes() {
    return mode_changes;
}
