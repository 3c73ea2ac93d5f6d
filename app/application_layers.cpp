// The application's own layers (input barriers, sticky-key image, watermark), showing and hiding the dialog
// layer, its 33 ms tick, and the monitor query the main channel runs on this loop.
#include "app/application.h"
#include "platform/monitor.h"
#include "runtime/log.h"
#include "runtime/timer.h"

#include <vector>

namespace {

const uint32_t GUI_TICK_MS = 33;

// Takes layers off their screens. A screen whose last reference a layer held goes only once every layer is
// off, so that its going (which deletes its barrier) never runs in the middle of the walk.
void detach_all(const std::vector<ApplicationLayer*>& layers) {
    std::vector<SessionScreen*> held;
    for (ApplicationLayer* layer : layers) {
        SessionScreen* screen = layer ? layer->attached_screen() : nullptr;
        if (screen) {
            held.push_back(screen->ref());
            layer->detach();
        }
    }
    for (SessionScreen* screen : held) {
        screen->unref();
    }
}

}  // namespace

class GUITimer : public Timer {
public:
    explicit GUITimer(DialogLayer& gui) : _gui(gui) {}
    void response(AbstractProcessLoop& events_loop) override { _gui.idle(); }

private:
    DialogLayer& _gui;
};

void MonitorsQuery::do_response(AbstractProcessLoop& events_loop) {
    _monitors = collect(Platform::current_monitors());
}

std::vector<MonitorsQuery::Record> MonitorsQuery::collect(const MonitorsList& monitors) {
    std::vector<Record> records;
    for (int id = 0;; id++) {
        Monitor* found = nullptr;
        for (Monitor* monitor : monitors) {
            if (monitor->get_id() == id) {
                found = monitor;
                break;
            }
        }
        if (!found) {
            return records;
        }
        Point size = found->get_size();
        Point position = found->get_position();
        records.push_back(Record{32, uint32_t(size.x), uint32_t(size.y), position.x, position.y});
    }
}

void Application::start_gui_timer() {
    stop_gui_timer();
    if (!gui) {
        return;
    }
    _gui_timer = new GUITimer(*gui);
    arm_timer(_gui_timer, GUI_TICK_MS);
}

void Application::stop_gui_timer() {
    if (_gui_timer) {
        disarm_timer(_gui_timer);
        _gui_timer->unref();
        _gui_timer = nullptr;
    }
}

void Application::show_gui() {
    if (!gui || gui->is_attached()) {
        return;
    }
    if (!gui->has_dialog()) {
        gui->create_dialog();
        if (!gui->has_dialog()) {
            return;
        }
    }
    if (_info_layer && _info_layer->attached_screen()) {
        detach_all({_info_layer});
        reset_sticky();
    }
    release_all_keys();
    release_capture();
    gui->set_screen(main_screen);
    for (auto& barrier : _gui_barriers) {
        int id = barrier.first;
        if (!barrier.second->attached_screen() && size_t(id) < _screens.size() && _screens[id]) {
            barrier.second->attach(*_screens[id]);
        }
    }
}

void Application::hide_gui() {
    if (!gui || !gui->is_attached()) {
        return;
    }
    gui->set_screen(nullptr);
    std::vector<ApplicationLayer*> barriers;
    for (auto& barrier : _gui_barriers) {
        barriers.push_back(barrier.second);
    }
    detach_all(barriers);
    show_info_layer();
}

void Application::show_info_layer() {
    if (!_info_layer || _info_layer->attached_screen() || _session_state != SESSION_VISIBLE || !main_screen) {
        return;
    }
    _info_layer->attach(*main_screen);
    reset_sticky();
}

ApplicationLayer* Application::gui_barrier(int screen_id) const {
    for (auto& barrier : _gui_barriers) {
        if (barrier.first == screen_id) {
            return barrier.second;
        }
    }
    return nullptr;
}

void Application::create_gui_barrier(int screen_id) {
    if (!parts().create_gui_barrier || gui_barrier(screen_id)) {
        return;
    }
    ApplicationLayer* barrier = parts().create_gui_barrier(*this, screen_id);
    if (!barrier) {
        return;
    }
    _gui_barriers.emplace_back(screen_id, barrier);
    if (gui && gui->is_attached() && size_t(screen_id) < _screens.size() && _screens[screen_id]) {
        barrier->attach(*_screens[screen_id]);
    }
}

void Application::delete_gui_barrier(int screen_id) {
    for (auto it = _gui_barriers.begin(); it != _gui_barriers.end(); ++it) {
        if (it->first == screen_id) {
            ApplicationLayer* barrier = it->second;
            _gui_barriers.erase(it);
            detach_all({barrier});
            delete barrier;
            return;
        }
    }
}

void Application::delete_layers() {
    std::vector<ApplicationLayer*> layers = {_info_layer, _watermark_layer};
    for (auto& barrier : _gui_barriers) {
        layers.push_back(barrier.second);
    }
    // Forgotten first: a screen that goes while its layers come off finds no barrier of its own to delete.
    _gui_barriers.clear();
    _info_layer = nullptr;
    _watermark_layer = nullptr;
    detach_all(layers);
    for (ApplicationLayer* layer : layers) {
        delete layer;
    }
}
