// For the display mode tests: Xvfb's output has one mode of its own, and takes modes another client adds.
// Include after gtest (Xlib's macros clash with its names).
#pragma once

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

namespace test_support {

// Adds a 1024 x 768 mode at 60 Hz (65 MHz over 1344 x 806) to the output through display, as xrandr would.
inline RRMode add_1024x768_mode(Display* display, RROutput output) {
    char name[] = "1024x768_test";
    XRRModeInfo info{};
    info.width = 1024;
    info.height = 768;
    info.dotClock = 65000000;
    info.hSyncStart = 1048;
    info.hSyncEnd = 1184;
    info.hTotal = 1344;
    info.vSyncStart = 771;
    info.vSyncEnd = 777;
    info.vTotal = 806;
    info.name = name;
    info.nameLength = sizeof(name) - 1;
    RRMode mode = XRRCreateMode(display, DefaultRootWindow(display), &info);
    XRRAddOutputMode(display, output, mode);
    XSync(display, False);
    return mode;
}

// Takes the added mode away again; no CRTC may be showing it.
inline void remove_added_mode(Display* display, RROutput output, RRMode mode) {
    XRRDeleteOutputMode(display, output, mode);
    XRRDestroyMode(display, mode);
    XSync(display, False);
}

}  // namespace test_support
