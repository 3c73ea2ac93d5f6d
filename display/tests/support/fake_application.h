// A stand-in application for the display tests: a real main loop that the test turns by hand, screens made
// on demand as RedScreens, and a record of the key and screen calls the display code makes.
#pragma once

#include "app/application_interface.h"
#include "runtime/process_loop.h"

#include <vector>

class RedScreen;

class FakeApplication : public ApplicationInterface {
public:
    FakeApplication();
    ~FakeApplication() override;

    ProcessLoop& main_loop() override { return _loop; }
    RedClient& get_client() override;
    bool connect(const std::string&, int, int, const std::string&, const std::string&, const uint64_t*, int,
                 const std::string&) override {
        return false;
    }
    void quit() override {}
    void on_disconnected(int) override {}
    void on_visibility(int) override {}
    bool reg_read_userinfo(const uint8_t*) override { return false; }
    void reg_write_userinfo_values(bool, int32_t, int32_t) override {}
    // Screen 0 is made on first use (800 x 600), held by the application until the fake goes.
    SessionScreen* get_screen(int id) override;
    void on_screen_destroyed(int id, bool) override { destroyed_screens.push_back(id); }
    void resize_screen(SessionScreen*, int, int, int) override {}
    void assign_monitors() override {}
    void enter_full_screen() override {}
    void exit_full_screen() override {}
    void toggle_full_screen() override { full_screen_toggles++; }
    void restore_monitors() override {}
    Monitor* find_monitor(SessionScreen*) override { return nullptr; }
    bool get_monitors_extent(POINT&) override { return false; }
    void on_key_down(int key_code) override { keys.push_back(key_code); }
    void on_key_up(int key_code) override { keys.push_back(-key_code); }
    void set_key_handler(KeyHandler&) override {}
    void remove_key_handler(KeyHandler&) override {}
    void unpress_all() override { unpress_calls++; }
    void sync_modifier_keys() override {}
    void reset_sticky() override {}
    void init_remainder() override {}
    void show_gui() override {}
    void hide_gui() override {}

    // The screen made by get_screen, or null.
    RedScreen* screen() { return _screen; }
    // Runs what other threads posted to the main loop.
    void run_events() { _loop.run_queued_events(); }

    std::vector<int> keys;  // key downs as codes, key ups as negative codes
    std::vector<int> destroyed_screens;
    int full_screen_toggles = 0;
    int unpress_calls = 0;

private:
    ProcessLoop _loop;
    RedScreen* _screen = nullptr;
};
