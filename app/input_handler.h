// The application's input sinks. The application keeps one current KeyHandler and one current MouseHandler
// and hands them every key and every captured-pointer event; the inputs channel and the dialog layer
// implement them. Both base classes do nothing, so a plain KeyHandler or MouseHandler stands in whenever
// nobody else is installed.
//
// Key codes run from 0 to 350: a key without the extended flag has its set-1 scan code, an extended key 256
// plus its scan code, Pause is 350 and the two Korean keys are 241 and 242. Buttons: 1 left, 2 middle,
// 3 right, 4 wheel up, 5 wheel down; the button-state mask holds the pressed buttons.
//
// Main thread only.
#pragma once

#include <cstdint>

class KeyHandler {
public:
    virtual ~KeyHandler() {}
    virtual void on_key_down(int32_t key_code) {}
    virtual void on_key_up(int32_t key_code) {}
    virtual void on_char(uint32_t character) {}
    virtual void on_focus_in() {}
    virtual void on_focus_out() {}
    // False keeps this handler current when another one is set: the new one only joins the list of
    // earlier handlers.
    virtual bool allows_focus_loss() { return true; }
};

class MouseHandler {
public:
    virtual ~MouseHandler() {}
    virtual void on_mouse_motion(int32_t dx, int32_t dy, int32_t buttons_state) {}
    virtual void on_mouse_down(int32_t button, int32_t buttons_state) {}
    virtual void on_mouse_up(int32_t button, int32_t buttons_state) {}
};
