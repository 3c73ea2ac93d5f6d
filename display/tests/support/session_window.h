// The session window of a real application on the private X server, shown and focused, for tests that inject
// input with XTest. The caller sets up the session block and the X server first.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "app/application.h"
#include "display/red_screen.h"
#include "display/red_window.h"

namespace session_window {

// Serves this thread's messages until done() holds or ms have passed. The time is checked after every
// message, so that a stream of messages without end (a hook that keeps making keys) still ends the wait.
inline void pump_for(int ms, const std::function<bool()>& done) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    MSG msg;
    while (std::chrono::steady_clock::now() < end && !done()) {
        MsgWaitForMultipleObjectsEx(0, nullptr, 5, QS_ALLINPUT, 0);
        while (std::chrono::steady_clock::now() < end && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
}

// Makes the application with real session screens and returns its main screen at 320x240, shown and given the
// focus (the caller checks that the focus arrived).
inline RedScreen* open_focused(std::unique_ptr<Application>& app) {
    RedWindow::init();
    Application::parts() = ApplicationParts();
    Application::parts().create_screen = [](Application& owner, int id, const std::string& title, int w,
                                            int h) { return new RedScreen(owner, id, title, w, h); };
    app.reset(new Application());
    app->main_screen = app->get_screen(0);
    RedScreen* screen = static_cast<RedScreen*>(app->main_screen);
    screen->resize(320, 240);
    screen->show();
    pump_for(300, [] { return false; });
    SetForegroundWindow(screen->window);
    SetFocus(screen->window);
    pump_for(3000, [screen] { return GetFocus() == screen->window; });
    return screen;
}

}  // namespace session_window
