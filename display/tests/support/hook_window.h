// The window side of the session's keyboard hook for tests: a fixed window, never minimized, and a
// pressed-key table the test sets.
#pragma once

#include <cstdint>

#include "display/keyboard_hook.h"

class HookWindow : public KeyboardHook::Window {
public:
    HWND window = nullptr;
    uint8_t pressed[351] = {};
    HWND hwnd() override { return window; }
    bool is_minimized() override { return false; }
    const uint8_t* pressed_keys() override { return pressed; }
};
