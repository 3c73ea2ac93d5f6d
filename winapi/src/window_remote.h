// Messages to windows of other processes, and the listener that receives them for this process's windows.
// Each process with top-level windows listens on a SOCK_SEQPACKET socket named after its process id in the
// runtime folder; a window handle names its process, so a sender knows where to connect.
#pragma once

#include "winapi/winuser.h"

#include <functional>
#include <string>
#include <vector>

namespace winapi_internal {

// Starts the listener once (when the first top-level window is made). False when it cannot listen.
bool remote_listen();

bool remote_post(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
// Waits at most timeout_ms (INFINITE: no limit), meanwhile running messages sent to the calling thread unless
// SMTO_BLOCK. False with the last error set on failure or time-out.
bool remote_send(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam, UINT flags, UINT timeout_ms,
                 LRESULT* result);

struct RemoteWindow {
    HWND hwnd;
    DWORD thread_id;
    std::u16string class_name;
    std::u16string title;
};
// The top-level windows of every other process of this user that answers; stale sockets are removed.
std::vector<RemoteWindow> remote_windows();
// The owner thread of a window of another process, 0 when it is not there.
DWORD remote_window_thread(HWND hwnd);

// True for messages whose parameters may cross processes: two plain integers (WM_USER and above, WM_NULL,
// WM_CLOSE, WM_SYSCOMMAND) or data the layer copies (WM_COPYDATA).
bool crosses_processes(UINT message);

// The checks of what another process sent, apart from the sockets that brought it.
// For a request to post (kind 1) or send (kind 2) `message` with `payload_size` bytes of data to a window of
// this process: the error answered, or 0 when it may go ahead.
DWORD remote_request_refusal(uint32_t kind, UINT message, uint32_t payload_size);
// One window-list record of process `pid`, `size` bytes as received: false unless the lengths it holds
// account for exactly its bytes and the window belongs to that process.
bool decode_window_entry(const unsigned char* record, size_t size, DWORD pid, RemoteWindow* out);

// Shared with local cross-thread sends: waits until `fd` is readable or the deadline (monotonic ns,
// UINT64_MAX for none) passes, meanwhile running messages sent to the calling thread when `serve`. True when
// the descriptor became readable.
bool wait_serving(int fd, bool serve, uint64_t deadline_ns);

}  // namespace winapi_internal
