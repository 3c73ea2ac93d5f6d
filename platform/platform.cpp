#include "platform/platform.h"

#include "runtime/exception.h"
#include "runtime/threads.h"
#include "winapi/shlobj.h"
#include "winapi/windows.h"

#include <cstdarg>
#include <cstdio>

namespace {

class DefaultEventListener : public Platform::EventListener {
public:
    void on_app_activated() override {}
    void on_app_deactivated() override {}
    void on_monitors_change() override {}
};

DefaultEventListener default_event_listener;

// Main thread only.
Platform::EventListener* event_listener = &default_event_listener;

struct ConsoleState {
    Mutex mutex;
    bool ready = false;  // guarded by mutex
};

ConsoleState& console_state() {
    static ConsoleState* state = new ConsoleState();  // used until the process ends
    return *state;
}

}  // namespace

// Reached by the platform window's procedure (platform_window.cpp).
Platform::EventListener& platform_event_listener() {
    return *event_listener;
}

void Platform::set_event_listener(EventListener* listener) {
    event_listener = listener ? listener : &default_event_listener;
}

std::string Platform::app_data_folder(const std::string& name) {
    char app_data[MAX_PATH] = {};
    // A fresh Linux home may lack the data folder that every Windows profile has.
    if (FAILED(SHGetFolderPathA(nullptr, CSIDL_APPDATA | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT,
                                app_data)) ||
        !app_data[0]) {
        throw Exception("get user app data dir failed");
    }
    std::string path = std::string(app_data) + "/" + name;
    if (!CreateDirectoryA(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        throw Exception("create user app data dir failed");
    }
    return path;
}

uint64_t Platform::get_process_id() {
    static const uint64_t pid = GetCurrentProcessId();
    return pid;
}

void Platform::set_thread_priority(int priority) {
    static const int priorities[] = {
        THREAD_PRIORITY_TIME_CRITICAL, THREAD_PRIORITY_HIGHEST,      THREAD_PRIORITY_ABOVE_NORMAL,
        THREAD_PRIORITY_NORMAL,        THREAD_PRIORITY_BELOW_NORMAL, THREAD_PRIORITY_LOWEST,
        THREAD_PRIORITY_IDLE,
    };
    if (priority < 1 || priority > 7) {
        THROW("invalid priority %d", priority);
    }
    SetThreadPriority(GetCurrentThread(), priorities[priority - 1]);
}

bool Platform::is_d3d9_hw_tnl() {
    return false;
}

// The standard streams already reach the terminal or log the program was started from, the equivalent of the
// parent's console; there is no console of the program's own to create, so none waits for a key at exit.
void Platform::open_console() {
    ConsoleState& state = console_state();
    Lock lock(state.mutex);
    state.ready = true;
}

void Platform::console_printf(const char* format, ...) {
    {
        ConsoleState& state = console_state();
        Lock lock(state.mutex);
        if (!state.ready) {
            lock.unlock();
            open_console();
        }
    }
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
}
