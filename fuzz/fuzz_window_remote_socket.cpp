// The cross-process window protocol over its real sockets, both ways, on records another process of the user
// could send. The runtime folder is private to the run, so no other program's windows take part.
//
// Listener side: the harness connects to this process's own window socket (a top-level window makes the
// listener start) and sends the input's records as a request (and WM_COPYDATA data), then reads the answer
// while running the messages sent to its window. Every connection must be answered or closed, within a bound.
// Sender side: the harness plays another process (a socket under a made-up process id) whose answers are the
// input's records; the window list, a send and a thread query go to it. Every window listed must belong to
// that process and hold exactly the texts its record carried.
//
// Input: byte 0: bit 0 the first record gets the protocol's magic (and, sender side, the later records name
// windows of the other process), bit 1 (listener side) the request's window
// is this process's window, bit 2 the sender side, bits 3-4 (sender side) which call: list, send, query. Then
// records of [2-byte little-endian length][bytes], at most 64 of them.
#include "winapi/src/window_internal.h"
#include "winapi/src/window_remote.h"
#include "winapi/windows.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

using namespace winapi_internal;

namespace {

constexpr uint32_t magic = 0x4B57534D;
constexpr size_t request_size = 48;  // the request record: magic, kind, window, message, wparam, lparam, ...
constexpr int bound_ms = 10000;      // an answer later than this is a hang

HWND window = nullptr;
std::string folder;
DWORD other_pid = 0;
HWND other_window = nullptr;
int other_listener = -1;

LRESULT CALLBACK window_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_COPYDATA) {
        const COPYDATASTRUCT* copy = reinterpret_cast<const COPYDATASTRUCT*>(lparam);
        if (!copy || (copy->cbData && !copy->lpData)) {
            abort();
        }
        unsigned sum = 0;
        for (DWORD i = 0; i < copy->cbData; i++) {
            sum += static_cast<const uint8_t*>(copy->lpData)[i];
        }
        return sum;
    }
    if (message >= WM_USER) {
        return LRESULT(wparam + 1);
    }
    return DefWindowProcW(hwnd, message, wparam, lparam);
}

std::vector<std::vector<uint8_t>> records_of(const uint8_t* data, size_t size, bool with_magic) {
    std::vector<std::vector<uint8_t>> records;
    for (size_t at = 0; at + 2 <= size && records.size() < 64;) {
        size_t length = std::min<size_t>(data[at] | data[at + 1] << 8, size - at - 2);
        records.emplace_back(data + at + 2, data + at + 2 + length);
        at += 2 + length;
    }
    if (with_magic && !records.empty() && records[0].size() >= 4) {
        memcpy(records[0].data(), &magic, 4);
    }
    return records;
}

void run_messages() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        DispatchMessageW(&msg);
    }
}

// Waits until fd is readable, running this thread's messages meanwhile; false past the bound.
bool wait_readable(int fd, int timeout_ms) {
    for (int waited = 0; waited < timeout_ms; waited += 5) {
        run_messages();
        pollfd ready{fd, POLLIN, 0};
        if (poll(&ready, 1, 5) > 0) {
            return true;
        }
    }
    return false;
}

void listener_side(std::vector<std::vector<uint8_t>>& records, bool own_window) {
    if (own_window && !records.empty() && records[0].size() >= 12) {
        uint32_t value = uint32_t(reinterpret_cast<uintptr_t>(window));
        memcpy(records[0].data() + 8, &value, 4);
    }
    int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string path = folder + "/ktwsession/windows/" + std::to_string(GetCurrentProcessId());
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) {
        if (fd >= 0) {
            ::close(fd);
        }
        return;  // the harness's own set-up
    }
    for (auto& record : records) {
        if (::send(fd, record.data(), record.size(), MSG_NOSIGNAL) < 0) {
            break;
        }
    }
    ::shutdown(fd, SHUT_WR);
    // The answer: records until the listener closes the connection.
    uint8_t buffer[256];
    for (;;) {
        if (!wait_readable(fd, bound_ms)) {
            abort();  // neither answered nor closed
        }
        ssize_t got = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
            break;
        }
    }
    ::close(fd);
    run_messages();
}

// The other process: answers one connection with the records.
void serve_other(const std::vector<std::vector<uint8_t>>& records) {
    pollfd ready{other_listener, POLLIN, 0};
    if (poll(&ready, 1, 2000) <= 0) {
        return;
    }
    int fd = ::accept4(other_listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
        return;
    }
    uint8_t request[request_size + 16];
    pollfd readable{fd, POLLIN, 0};
    if (poll(&readable, 1, 2000) > 0) {
        (void)::recv(fd, request, sizeof request, 0);
    }
    for (auto& record : records) {
        if (::send(fd, record.data(), record.size(), MSG_NOSIGNAL) < 0) {
            break;
        }
    }
    ::close(fd);
}

void sender_side(std::vector<std::vector<uint8_t>>& records, int call, bool fix) {
    // Window records naming a window of the other process, as a well-behaved one would.
    for (size_t i = 1; fix && i < records.size(); i++) {
        if (records[i].size() >= 4) {
            uint32_t value = uint32_t(reinterpret_cast<uintptr_t>(other_window)) + uint32_t(i);
            memcpy(records[i].data(), &value, 4);
        }
    }
    std::thread other(serve_other, records);
    switch (call) {
        case 0:
            for (const RemoteWindow& listed : remote_windows()) {
                if (process_of_window(listed.hwnd) != other_pid || listed.class_name.size() > 1024 ||
                    listed.title.size() > 1024) {
                    abort();
                }
            }
            break;
        case 1: {
            static const char payload[] = "data for the other process";
            COPYDATASTRUCT copy{7, sizeof payload, const_cast<char*>(payload)};
            LRESULT result = 0;
            remote_send(other_window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&copy), SMTO_BLOCK, 2000,
                        &result);
            break;
        }
        default:
            remote_window_thread(other_window);
            break;
    }
    other.join();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    unsetenv("DISPLAY");
    char pattern[] = "/tmp/fuzz_window_remote_XXXXXX";
    if (!mkdtemp(pattern)) {
        abort();
    }
    folder = pattern;
    setenv("XDG_RUNTIME_DIR", folder.c_str(), 1);
    atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    });

    WNDCLASSW window_class = {};
    window_class.lpfnWndProc = window_proc;
    window_class.lpszClassName = u"FuzzRemote";
    RegisterClassW(&window_class);
    window = CreateWindowExW(0, u"FuzzRemote", u"fuzz window", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr,
                             nullptr);
    if (!window) {
        abort();
    }

    // The other process: an id that is not this one, and a window handle that names it.
    other_pid = GetCurrentProcessId() ^ 1;
    for (int bits = 1; bits < 32 && !other_window; bits++) {
        HWND candidate = reinterpret_cast<HWND>((uintptr_t(other_pid) << bits) | 1);
        if (uintptr_t(candidate) <= UINT32_MAX && process_of_window(candidate) == other_pid) {
            other_window = candidate;
        }
    }
    other_listener = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string path = folder + "/ktwsession/windows/" + std::to_string(other_pid);
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    if (!other_window || other_listener < 0 ||
        ::bind(other_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0 ||
        ::listen(other_listener, 4) < 0) {
        abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > (1 << 20)) {
        return 0;
    }
    std::vector<std::vector<uint8_t>> records = records_of(data + 1, size - 1, data[0] & 1);
    if (data[0] & 4) {
        sender_side(records, (data[0] >> 3) % 3, data[0] & 1);
    } else {
        listener_side(records, data[0] & 2);
    }
    return 0;
}
