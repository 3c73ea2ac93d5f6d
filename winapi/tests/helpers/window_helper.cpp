// A second process for the cross-process window message tests.
//   window_helper serve CLASS TITLE   make a top-level window, report its handle, run a message loop
//   window_helper hang CLASS TITLE    make the window, report, and never look at its messages
// The report is one line on standard output: the window handle as a number (0 when creation failed).
// The window answers:
//   WM_USER+1 (sent)      wParam + lParam
//   WM_COPYDATA (sent)    dwData + the sum of the data bytes
//   WM_USER+2 (posted)    sends WM_COPYDATA {0x777, "pong"} to the window in wParam, then posts WM_USER+3 to
//   it
//                         with wParam = that send's result and lParam = whether it succeeded
//   WM_USER+4 (sent)      sends WM_USER+5 to the window in wParam while the caller waits; returns its result
//   + 1 WM_CLOSE              destroys the window and ends the program
// The helper dies with its parent, so a failed test never leaves it behind.
#include "winapi/synchapi.h"
#include "winapi/winuser.h"

#include <cstdio>
#include <cstring>
#include <string>

#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

std::u16string wide(const char* text) {
    std::u16string out;
    for (; *text; ++text) {
        out += static_cast<char16_t>(static_cast<unsigned char>(*text));
    }
    return out;
}

LRESULT CALLBACK helper_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_USER + 1:
            return static_cast<LRESULT>(wparam) + lparam;
        case WM_COPYDATA: {
            auto* copy = reinterpret_cast<const COPYDATASTRUCT*>(lparam);
            LRESULT sum = static_cast<LRESULT>(copy->dwData);
            for (DWORD i = 0; i < copy->cbData; ++i) {
                sum += static_cast<const unsigned char*>(copy->lpData)[i];
            }
            return sum;
        }
        case WM_USER + 2: {
            HWND target = reinterpret_cast<HWND>(wparam);
            char data[] = "pong";
            COPYDATASTRUCT copy{0x777, 4, data};
            DWORD_PTR result = 0;
            BOOL ok = SendMessageTimeoutW(target, WM_COPYDATA, reinterpret_cast<WPARAM>(hwnd),
                                          reinterpret_cast<LPARAM>(&copy), SMTO_NORMAL, 5000, &result);
            PostMessageW(target, WM_USER + 3, result, ok);
            return 0;
        }
        case WM_USER + 4:
            return SendMessageW(reinterpret_cast<HWND>(wparam), WM_USER + 5, 0, 0) + 1;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcW(hwnd, message, wparam, lparam);
    }
}

}  // namespace

int main(int argc, char** argv) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() == 1 || argc != 4) {
        return 2;
    }
    std::string command = argv[1];
    std::u16string class_name = wide(argv[2]);
    std::u16string title = wide(argv[3]);
    WNDCLASSW wc{};
    wc.lpfnWndProc = helper_proc;
    wc.lpszClassName = class_name.c_str();
    RegisterClassW(&wc);
    HWND hwnd = CreateWindowExW(0, class_name.c_str(), title.c_str(), WS_OVERLAPPEDWINDOW, 0, 0, 100, 100,
                                nullptr, nullptr, nullptr, nullptr);
    std::printf("%lu\n", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(hwnd)));
    std::fflush(stdout);
    if (!hwnd) {
        return 1;
    }
    if (command == "hang") {
        for (;;) {
            ::pause();
        }
    }
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        DispatchMessageW(&msg);
    }
    return 0;
}
