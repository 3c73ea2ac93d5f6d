// The navigation bar: an outside program ("VoranthGNavBar.exe", in the folder the registry names) that runs
// beside the session window. CreateNavBar starts it suspended, resumes it, waits for its ready event, finds
// its window and hands it the session window in a 1448-byte WM_COPYDATA block; the bar's window and process
// id are then recorded for the senders of notices (message 0x903). NavBarWatch watches the bar's process from
// a thread of its own and starts the bar again whenever it exits while the watch is on.
//
// The recorded window and process id are written by the main thread (first start) and by the watch thread
// (restarts) and read by the notice senders on the main thread: they are atomic, as is the watch's running
// flag.
#pragma once

#include "winapi/windows.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace nav_bar {

inline constexpr const char16_t* REGISTRY_KEY = u"SOFTWARE\\Voranth\\VDI\\RemoteAppClient";
inline constexpr const char16_t* REGISTRY_VALUE = u"Path";
inline constexpr const char16_t* PROGRAM = u"\\VoranthGNavBar.exe";
inline constexpr const char16_t* WINDOW_CLASS = u"Voranth_VDI_Navbar_Window_Type";
// Appended to the bar's process id in decimal: the name of the event the bar sets once it is ready.
inline constexpr const char* READY_EVENT_SUFFIX = "VoranthNavbarFinisthInit";

enum : UINT {
    MSG_NOTICE = 0x903,   // wParam value, lParam code
    MSG_GAVE_UP = 0x904,  // to the session window: the watch could not keep the bar running
};
enum : DWORD {
    NO_PROCESS = 0xFFFFFFFF,
    READY_WAIT_MS = 5000,
    SEND_TIMEOUT_MS = 5000,
    WATCH_POLL_MS = 500,
};
enum : size_t {
    BLOCK_SIZE = 1448,  // u32 monitors, u32 session window, UTF-16 title
    TITLE_UNITS = 720,  // terminator included
};

// The recorded bar window (null when none) and process id (NO_PROCESS when none). Any thread.
HWND window();
DWORD process_id();
// Forgets the recorded bar (tests).
void forget();

// The block handed to the bar: monitor count, session window, the title cut to 719 units and terminated.
std::array<uint8_t, BLOCK_SIZE> start_block(uint32_t monitors, HWND session_window,
                                            const std::u16string& title);

}  // namespace nav_bar

// Starts the bar for the session window; 1 when it was started and is ready (its window recorded, unless it
// showed none), 0 otherwise, with the started process terminated.
int CreateNavBar(HWND session_window, const std::u16string& title);
// Creates the ready event, resumes the bar's main thread and waits for the event; 1 when it was set in time.
int WaitForNavbarFinishInit(HANDLE process, HANDLE thread, DWORD process_id, DWORD thread_id);

// The watch over the bar's process.
class NavBarWatch {
public:
    NavBarWatch();
    // Clears the running flag: the watch ends at its next poll, without restarting the bar. The thread keeps
    // its own state, so it may outlive this object.
    ~NavBarWatch();
    NavBarWatch(const NavBarWatch&) = delete;
    NavBarWatch& operator=(const NavBarWatch&) = delete;

    // Stores the session window and the title (cut to 719 units); when the watch is off, turns it on and
    // starts its thread. False when the thread could not be started.
    bool Start(HWND session_window, const std::u16string& title);
    // The bar is not to be started again: the watch ends at its next poll. Any thread.
    void stop();
    bool running() const;

private:
    struct State;
    static DWORD WINAPI ThreadEntry(LPVOID parameter);
    static void Run(State& state);

    std::shared_ptr<State> _state;
    HANDLE _thread = nullptr;
};
