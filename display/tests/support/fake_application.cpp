#include "fake_application.h"

#include "display/red_screen.h"
#include "platform/platform.h"
#include "runtime/exception.h"

#include <mutex>

FakeApplication::FakeApplication() : _loop(this) {
    // The platform window, which runs a loop's timers during a window's modal loop, is made once per
    // process; it gets a loop of its own here, as the fakes come and go.
    static std::once_flag platform_window;
    std::call_once(platform_window, [] {
        static ProcessLoop* platform_loop = new ProcessLoop(nullptr);
        Platform::create_message_wind(platform_loop->get_timers_queue());
    });
    key_handler = &base_key_handler();
    mouse_handler = &base_mouse_handler();
}

FakeApplication::~FakeApplication() {
    run_events();  // queued repaints hold screen references
    if (_screen) {
        _screen->unref();
    }
}

RedClient& FakeApplication::get_client() {
    throw Exception("no client in the display tests");
}

SessionScreen* FakeApplication::get_screen(int id) {
    if (id != 0) {
        return nullptr;
    }
    if (!_screen) {
        _screen = new RedScreen(*this, 0, "", 800, 600);
    }
    return _screen->ref();
}
