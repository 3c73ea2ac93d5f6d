// A stand-in for the navigation-bar program, built as "VoranthGNavBar.exe" in a folder of its own. It plays
// the bar's side: it makes its window of the bar's class, sets its ready event (named by its process id), and
// appends one line per event to the file named by KTW_NAV_BAR_LOG:
//
//   start <pid>                                       it runs
//   block <pid> <dwData> <cbData> <monitors> <window> <title units> <title>
//                                                     the WM_COPYDATA start block arrived (title as UTF-8)
//   notice <pid> <code> <value>                       message 0x903 arrived
//
// KTW_NAV_BAR_MODE=never-ready: the ready event is never set. The program ends when the process that
// started it goes, or after a minute, so a failed test never leaves it behind.
#include "winapi/processthreadsapi.h"
#include "winapi/synchapi.h"
#include "winapi/sysinfoapi.h"
#include "winapi/winuser.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int log_fd = -1;

void put_line(const std::string& line) {
    std::string whole = line + "\n";
    if (log_fd >= 0 && ::write(log_fd, whole.data(), whole.size()) < 0) {
        std::perror("nav bar log");
    }
}

uint32_t read_u32(const uint8_t* data) {
    return uint32_t(data[0]) | uint32_t(data[1]) << 8 | uint32_t(data[2]) << 16 | uint32_t(data[3]) << 24;
}

std::string utf8_title(const uint8_t* data, size_t units, size_t* length) {
    std::string out;
    size_t i = 0;
    for (; i < units; ++i) {
        char16_t c = char16_t(data[2 * i] | data[2 * i + 1] << 8);
        if (!c) {
            break;
        }
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xE0 | (c >> 12));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }
    *length = i;
    return out;
}

LRESULT CALLBACK bar_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    char line[160];
    switch (message) {
        case WM_COPYDATA: {
            auto* copy = reinterpret_cast<const COPYDATASTRUCT*>(lparam);
            if (!copy) {
                return 0;
            }
            const auto* data = static_cast<const uint8_t*>(copy->lpData);
            uint32_t monitors = copy->cbData >= 8 && data ? read_u32(data) : 0;
            uint32_t window = copy->cbData >= 8 && data ? read_u32(data + 4) : 0;
            size_t units = 0;
            std::string title = copy->cbData >= 8 && data
                                    ? utf8_title(data + 8, (copy->cbData - 8) / 2, &units)
                                    : std::string();
            std::snprintf(line, sizeof(line), "block %lu %lu %lu %u %u %zu ", (unsigned long)getpid(),
                          (unsigned long)copy->dwData, (unsigned long)copy->cbData, monitors, window, units);
            put_line(line + title);
            return 1;
        }
        case 0x903:
            std::snprintf(line, sizeof(line), "notice %lu %ld %lu", (unsigned long)getpid(), (long)lparam,
                          (unsigned long)wparam);
            put_line(line);
            return 1;
        default:
            return DefWindowProcW(hwnd, message, wparam, lparam);
    }
}

}  // namespace

int main() {
    pid_t starter = getppid();
    const char* log_path = std::getenv("KTW_NAV_BAR_LOG");
    if (log_path) {
        log_fd = ::open(log_path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    }
    const char* mode = std::getenv("KTW_NAV_BAR_MODE");
    bool never_ready = mode && std::strcmp(mode, "never-ready") == 0;
    put_line("start " + std::to_string(getpid()));

    WNDCLASSW wc{};
    wc.lpfnWndProc = bar_proc;
    wc.lpszClassName = u"Voranth_VDI_Navbar_Window_Type";
    RegisterClassW(&wc);
    HWND bar = CreateWindowExW(0, wc.lpszClassName, u"navbar", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                               nullptr, nullptr);
    if (!bar) {
        return 1;
    }
    std::string name = std::to_string(GetCurrentProcessId()) + "VoranthNavbarFinisthInit";
    HANDLE ready = CreateEventA(nullptr, FALSE, FALSE, name.c_str());
    if (ready && !never_ready) {
        SetEvent(ready);
    }
    ULONGLONG deadline = GetTickCount64() + 60000;
    while (getppid() == starter && GetTickCount64() < deadline) {
        MsgWaitForMultipleObjectsEx(0, nullptr, 100, QS_ALLINPUT, 0);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&msg);
        }
    }
    return 0;
}
