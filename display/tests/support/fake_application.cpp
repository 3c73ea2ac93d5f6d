#include "fake_application.h"

#include "display/red_screen.h"
#include "runtime/exception.h"

FakeApplication::FakeApplication() : _loop(this) {
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
