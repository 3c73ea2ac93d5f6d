#include "display/nav_bar.h"

#include "app/application_interface.h"
#include "runtime/log.h"

#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

std::atomic<HWND> bar_window{nullptr};
std::atomic<DWORD> bar_process{nav_bar::NO_PROCESS};

std::u16string cut_title(const std::u16string& title) {
    std::u16string cut = title.substr(0, nav_bar::TITLE_UNITS - 1);
    size_t end = cut.find(u'\0');
    return end == std::u16string::npos ? cut : cut.substr(0, end);
}

struct FindBar {
    DWORD process_id;
    HWND session_window;
    const std::u16string* title;
    bool stopped = false;
    bool recorded = false;
};

BOOL CALLBACK offer_block(HWND window, LPARAM parameter) {
    auto* find = reinterpret_cast<FindBar*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != find->process_id || FindWindowW(nav_bar::WINDOW_CLASS, nullptr) != window) {
        return TRUE;
    }
    auto block =
        nav_bar::start_block(ApplicationInterface::found_monitor_count, find->session_window, *find->title);
    COPYDATASTRUCT copy{0, static_cast<DWORD>(block.size()), block.data()};
    DWORD_PTR result = 0;
    SendMessageTimeoutW(window, WM_COPYDATA, reinterpret_cast<WPARAM>(find->session_window),
                        reinterpret_cast<LPARAM>(&copy), SMTO_NORMAL, nav_bar::SEND_TIMEOUT_MS, &result);
    bar_window.store(window);
    bar_process.store(owner);
    find->recorded = true;
    find->stopped = true;
    SetLastError(0);
    return FALSE;
}

}  // namespace

namespace nav_bar {

HWND window() {
    return bar_window.load();
}

DWORD process_id() {
    return bar_process.load();
}

void forget() {
    bar_window.store(nullptr);
    bar_process.store(NO_PROCESS);
}

std::array<uint8_t, BLOCK_SIZE> start_block(uint32_t monitors, HWND session_window,
                                            const std::u16string& title) {
    std::array<uint8_t, BLOCK_SIZE> block{};
    uint32_t handle = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(session_window));
    for (size_t i = 0; i < 4; ++i) {
        block[i] = static_cast<uint8_t>(monitors >> (8 * i));
        block[4 + i] = static_cast<uint8_t>(handle >> (8 * i));
    }
    std::u16string cut = cut_title(title);
    for (size_t i = 0; i < cut.size(); ++i) {
        block[8 + 2 * i] = static_cast<uint8_t>(cut[i]);
        block[8 + 2 * i + 1] = static_cast<uint8_t>(cut[i] >> 8);
    }
    return block;
}

}  // namespace nav_bar

using namespace nav_bar;

int WaitForNavbarFinishInit(HANDLE process, HANDLE thread, DWORD process_id, DWORD thread_id) {
    char name[64];
    std::snprintf(name, sizeof(name), "%lu%s", static_cast<unsigned long>(process_id), READY_EVENT_SUFFIX);
    HANDLE ready = CreateEventA(nullptr, FALSE, FALSE, name);
    if (!ready) {
        LOG_ERROR("CreateEvent %s Failed.Err: %u", name, static_cast<unsigned>(GetLastError()));
        return 0;
    }
    if (ResumeThread(thread) == static_cast<DWORD>(-1)) {
        LOG_ERROR("ResumeThread Failed.Err: %u", static_cast<unsigned>(GetLastError()));
    }
    DWORD waited = WaitForSingleObject(ready, READY_WAIT_MS);
    int result = 1;
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        LOG_ERROR("WaitForSingleObject Failed.dwRe:%u Err: %u", static_cast<unsigned>(waited),
                  static_cast<unsigned>(GetLastError()));
        result = 0;
    }
    CloseHandle(ready);
    return result;
}

int CreateNavBar(HWND session_window, const std::u16string& title) {
    HKEY key = nullptr;
    LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, REGISTRY_KEY, 0, KEY_READ, &key);
    if (status != ERROR_SUCCESS) {
        LOG_ERROR("Open reg RemoteAppClient path  failed!Err:%u", static_cast<unsigned>(status));
        return 0;
    }
    // The folder must be a terminated string within the buffer.
    WCHAR folder[MAX_PATH] = {};
    DWORD type = 0;
    DWORD size = sizeof(folder);
    status = RegQueryValueExW(key, REGISTRY_VALUE, nullptr, &type, reinterpret_cast<BYTE*>(folder), &size);
    bool terminated = false;
    for (DWORD i = 0; status == ERROR_SUCCESS && i < size / sizeof(WCHAR) && !terminated; ++i) {
        terminated = folder[i] == 0;
    }
    if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ) || !terminated) {
        LOG_ERROR("Query value(path) failed.Err:%u",
                  static_cast<unsigned>(status != ERROR_SUCCESS ? status : ERROR_INVALID_DATA));
        RegCloseKey(key);
        return 0;
    }
    WCHAR command[MAX_PATH] = {};
    std::u16string(folder).copy(command, MAX_PATH - 1);
    PROCESS_INFORMATION process{};
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    int result = 0;
    if (!PathAppendW(command, PROGRAM) ||
        !CreateProcessW(nullptr, command, nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, folder,
                        &startup, &process)) {
        LOG_ERROR("Start VoranthGNavBar Failed.Err: %u.", static_cast<unsigned>(GetLastError()));
    } else if (!WaitForNavbarFinishInit(process.hProcess, process.hThread, process.dwProcessId,
                                        process.dwThreadId)) {
        LOG_ERROR("WaitForNavbarFinishInit Failed.Err: %u", static_cast<unsigned>(GetLastError()));
        TerminateProcess(process.hProcess, 0);
    } else {
        FindBar find{process.dwProcessId, session_window, &title};
        EnumWindows(offer_block, reinterpret_cast<LPARAM>(&find));
        if (!find.stopped) {
            result = 1;  // the bar shows no window: it runs, and nothing is recorded
        } else if (find.recorded && bar_process.load() != NO_PROCESS) {
            result = 1;
        } else {
            LOG_ERROR("Start EnumWindows Failed.Err: %u.", static_cast<unsigned>(GetLastError()));
            TerminateProcess(process.hProcess, 0);
        }
    }
    if (process.hThread) {
        CloseHandle(process.hThread);
    }
    if (process.hProcess) {
        CloseHandle(process.hProcess);
    }
    RegCloseKey(key);
    return result;
}

// What the watch thread uses, shared with the watch object so that the thread may outlive it.
struct NavBarWatch::State {
    std::atomic<bool> running{false};
    std::mutex lock;
    HWND session_window = nullptr;  // lock
    std::u16string title;           // lock
};

NavBarWatch::NavBarWatch() : _state(std::make_shared<State>()) {}

NavBarWatch::~NavBarWatch() {
    stop();
    if (_thread) {
        CloseHandle(_thread);
    }
}

bool NavBarWatch::Start(HWND session_window, const std::u16string& title) {
    {
        std::lock_guard<std::mutex> hold(_state->lock);
        _state->session_window = session_window;
        _state->title = cut_title(title);
    }
    if (_state->running.exchange(true)) {
        return true;
    }
    if (_thread) {
        CloseHandle(_thread);  // an earlier watch that has ended
    }
    auto* held = new std::shared_ptr<State>(_state);
    _thread = CreateThread(nullptr, 0, ThreadEntry, held, 0, nullptr);
    if (!_thread) {
        delete held;
        _state->running.store(false);
    }
    return _state->running.load();
}

void NavBarWatch::stop() {
    _state->running.store(false);
}

bool NavBarWatch::running() const {
    return _state->running.load();
}

DWORD WINAPI NavBarWatch::ThreadEntry(LPVOID parameter) {
    if (!parameter) {
        return 1;
    }
    std::unique_ptr<std::shared_ptr<State>> held(static_cast<std::shared_ptr<State>*>(parameter));
    Run(**held);
    return 0;
}

void NavBarWatch::Run(State& state) {
    HWND session_window;
    std::u16string title;
    {
        std::lock_guard<std::mutex> hold(state.lock);
        session_window = state.session_window;
        title = state.title;
    }
    if (!session_window) {
        LOG_ERROR("message window is null");
        return;
    }
    if (bar_process.load() == NO_PROCESS && !CreateNavBar(session_window, title)) {
        LOG_ERROR("navbar init fail");
        return;
    }
    LOG_INFO("enter navbar monitor");
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, bar_process.load());
    while (state.running.load() && process) {
        if (WaitForSingleObject(process, WATCH_POLL_MS) == WAIT_TIMEOUT) {
            continue;
        }
        LOG_INFO("navbar exit");
        bar_window.store(nullptr);
        CloseHandle(process);
        process = nullptr;
        if (!state.running.load()) {
            break;
        }
        if (!CreateNavBar(session_window, title)) {
            LOG_INFO("create navbar fail");
            break;
        }
        LOG_INFO("recreate navbar success");
        process = OpenProcess(SYNCHRONIZE, FALSE, bar_process.load());
    }
    bar_process.store(NO_PROCESS);
    if (state.running.exchange(false)) {
        SendMessageW(session_window, MSG_GAVE_UP, 0, 0);
    }
    if (process) {
        CloseHandle(process);
    }
}
