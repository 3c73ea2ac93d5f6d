// A screen with no window for the application's tests: every operation does nothing and a resize keeps the
// size. Tests derive from it and record what they look at. Given the application, it tells it when it goes,
// as the session screen does.
#pragma once

#include "app/application_interface.h"
#include "app/session_screen.h"

class NullScreen : public SessionScreen {
public:
    explicit NullScreen(int id, ApplicationInterface* app = nullptr) : SessionScreen(id), _app(app) {}

    bool ParseCommand(const std::string&) override { return true; }
    void OnCopyData(HWND, const COPYDATASTRUCT*) override {}
    void resize(int w, int h) override {
        width = w;
        height = h;
    }
    void show() override {}
    void hide() override {}
    void show_full_screen() override {}
    void show_full_screen_on_monitor() override {}
    void exit_full_screen() override {}
    void restore_screen() override {}
    void capture_mouse() override {}
    void release_mouse() override {}
    void update_pointer_layer() override {}
    void invalidate(const RECT&, bool) override {}
    void attach_layer(ScreenLayer&) override {}
    void detach_layer(ScreenLayer&) override {}
    void create_composite_area() override {}
    void notify_new_size() override {}
    void NotifyNavBar(int) override {}
    int StartNavBar() override { return 0; }
    void request_snapshot_restore(WPARAM) override {}
    HWND restart_wait_dialog() override { return nullptr; }
    void on_restart_sent() override {}

protected:
    ~NullScreen() override {
        if (_app) {
            _app->on_screen_destroyed(get_id(), false);
        }
    }

private:
    ApplicationInterface* _app;
};
