#include "app/standin_screen.h"

#include "app/application_interface.h"
#include "runtime/log.h"
#include "winapi/winsock2.h"

#include <strings.h>

#include <cerrno>
#include <cstdlib>

namespace {

bool same_word(const std::string& word, const char* keyword) {
    return strcasecmp(word.c_str(), keyword) == 0;
}

// Decimal digits only, within the type's range.
bool parse_number(const std::string& text, uint64_t max, uint64_t& value) {
    if (text.empty() || text.size() > 20) {
        return false;
    }
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    errno = 0;
    unsigned long long parsed = strtoull(text.c_str(), nullptr, 10);
    if (errno != 0 || parsed > max) {
        return false;
    }
    value = parsed;
    return true;
}

std::string join(const std::vector<std::string>& words) {
    std::string line;
    for (const std::string& word : words) {
        line += (line.empty() ? "" : " ") + word;
    }
    return line;
}

}  // namespace

std::vector<std::string> split_command_line(const std::string& command_line) {
    std::vector<std::string> words;
    std::string word;
    bool in_word = false;
    bool quoted = false;
    for (size_t i = 0; i < command_line.size(); i++) {
        char c = command_line[i];
        if (c == '\\' && i + 1 < command_line.size() && command_line[i + 1] == '"') {
            word += '"';
            in_word = true;
            i++;
        } else if (c == '"') {
            quoted = !quoted;
            in_word = true;
        } else if ((c == ' ' || c == '\t') && !quoted) {
            if (in_word) {
                words.push_back(word);
                word.clear();
                in_word = false;
            }
        } else {
            word += c;
            in_word = true;
        }
    }
    if (in_word) {
        words.push_back(word);
    }
    return words;
}

bool parse_debug_command(const std::vector<std::string>& words, DebugCommand& command) {
    command = DebugCommand();
    if (words.size() < 2 || !same_word(words[0], "debug")) {
        LOG_ERROR("error command line %s", join(words).c_str());
        return false;
    }
    bool valid = true;
    for (size_t i = 1; i < words.size(); i++) {
        bool has_value = i + 1 < words.size();
        if (same_word(words[i], "ip") && has_value) {
            command.ip = words[++i];
            // A text that is no address counts as all ones, as the system's parser answers.
            command.address = uint32_t(inet_addr(command.ip.c_str()));
        } else if (same_word(words[i], "port") && has_value) {
            uint64_t port = 0;
            valid = parse_number(words[++i], 65535, port) && valid;
            command.port = int(port);
        } else if (same_word(words[i], "vmid") && has_value) {
            valid = parse_number(words[++i], UINT64_MAX, command.vm_id) && valid;
        }
    }
    if (!valid || command.address == 0 || command.port == 0 || command.vm_id == 0) {
        LOG_ERROR("error command line %s", join(words).c_str());
        return false;
    }
    return true;
}

bool StandInScreen::register_window_class() {
    WNDCLASSW window_class = {};
    window_class.lpfnWndProc = window_proc;
    window_class.hInstance = GetModuleHandleW(nullptr);
    window_class.lpszClassName = WINDOW_CLASS;
    if (!RegisterClassW(&window_class) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
        LOG_ERROR("register %s failed %u", "redc_wclass", GetLastError());
        return false;
    }
    return true;
}

StandInScreen::StandInScreen(ApplicationInterface& app, int id) : SessionScreen(id), _app(app) {
    width = 800;
    height = 600;
    window = CreateWindowExW(0, WINDOW_CLASS, u"KTWSession", WS_OVERLAPPEDWINDOW, 0, 0, width, height,
                             nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    if (window) {
        SetWindowLongPtrW(window, GWLP_USERDATA, LONG_PTR(this));
    } else {
        LOG_WARN("session window not created %u", GetLastError());
    }
}

StandInScreen::~StandInScreen() {
    if (window) {
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        DestroyWindow(window);
    }
    _app.on_screen_destroyed(get_id(), mouse_captured);
}

bool StandInScreen::ParseCommand(const std::string& command_line) {
    DebugCommand command;
    if (!parse_debug_command(split_command_line(command_line), command)) {
        return false;
    }
    if (!_app.connect(command.ip, command.port, -1, "", "", &command.vm_id, 0, "")) {
        return false;
    }
    _app.debug_start = 1;
    return true;
}

void StandInScreen::OnCopyData(HWND sender, const COPYDATASTRUCT* data) {
    LOG_WARN("parent client blocks are not handled by this screen");
}

void StandInScreen::resize(int new_width, int new_height) {
    width = new_width;
    height = new_height;
}

LRESULT CALLBACK StandInScreen::window_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    StandInScreen* screen = reinterpret_cast<StandInScreen*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (screen) {
        switch (message) {
            case WM_CLOSE:
                screen->_app.quit();
                return 0;
            case WM_SYSCOMMAND:
                if ((wparam & 0xFFF0) == SC_CLOSE) {
                    screen->_app.quit();
                    return 0;
                }
                break;
            case WM_COPYDATA:
                screen->OnCopyData(HWND(wparam), reinterpret_cast<const COPYDATASTRUCT*>(lparam));
                return TRUE;
        }
    }
    return DefWindowProcW(hwnd, message, wparam, lparam);
}
