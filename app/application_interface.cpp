#include "app/application_interface.h"

#include <atomic>

uint32_t ApplicationInterface::found_monitor_count = 0;
bool ApplicationInterface::debug_mode = false;

namespace {
std::atomic<ApplicationInterface*> the_application{nullptr};
}  // namespace

ApplicationInterface* ApplicationInterface::instance() {
    return the_application.load();
}

void ApplicationInterface::set_instance(ApplicationInterface* app) {
    the_application = app;
}

KeyHandler& ApplicationInterface::base_key_handler() {
    static KeyHandler handler;
    return handler;
}

MouseHandler& ApplicationInterface::base_mouse_handler() {
    static MouseHandler handler;
    return handler;
}
