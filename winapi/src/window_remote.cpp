// Window messages between processes.
//
// A request is one SOCK_SEQPACKET record (RequestHeader), followed for WM_COPYDATA by the data in records of
// at most chunk_size bytes; the answer is one ReplyHeader record, for a window list followed by one record
// per window. Every connection carries one request. Whatever arrives is checked before use: the peer may be
// any program of this user.
#include "window_remote.h"

#include "event_fd.h"
#include "message_queue.h"
#include "runtime_folder.h"
#include "tick_clock.h"
#include "window_internal.h"
#include "winapi/processthreadsapi.h"
#include "winapi/synchapi.h"
#include "winapi/sysinfoapi.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <dirent.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace winapi_internal {
namespace {

constexpr uint32_t magic = 0x4B57534D;
constexpr uint32_t max_payload = 16u << 20;
constexpr size_t chunk_size = 32768;
constexpr size_t max_text = 1024;      // class names and titles in a window list, in UTF-16 units
constexpr uint32_t max_listed = 4096;  // windows one process may list
constexpr int max_connections = 64;
constexpr int request_timeout_ms = 5000;
constexpr int list_timeout_ms = 1000;

enum Kind : uint32_t { kind_post = 1, kind_send = 2, kind_list = 3, kind_query = 4 };

struct RequestHeader {
    uint32_t magic;
    uint32_t kind;
    uint32_t hwnd;
    uint32_t message;
    uint64_t wparam;
    int64_t lparam;
    uint64_t copy_data;  // dwData of WM_COPYDATA
    uint32_t payload_size;
    uint32_t flags;  // SMTO_*
};

struct ReplyHeader {
    uint32_t magic;
    uint32_t error;  // 0 or a Windows error code
    int64_t result;
    uint32_t thread_id;
    uint32_t count;  // window records that follow
};

struct WindowEntry {
    uint32_t hwnd;
    uint32_t thread_id;
    uint32_t class_length;
    uint32_t title_length;
    // class name and title follow, UTF-16
};

std::atomic<int> connections{0};

std::string socket_folder() {
    std::string base = runtime_folder();
    if (base.empty()) {
        return base;
    }
    std::string folder = base + "/windows";
    return make_private_folder(folder) ? folder : std::string();
}

bool socket_address(DWORD pid, sockaddr_un* address) {
    std::string folder = socket_folder();
    std::string path = folder + "/" + std::to_string(pid);
    if (folder.empty() || path.size() >= sizeof address->sun_path) {
        return false;
    }
    *address = sockaddr_un{};
    address->sun_family = AF_UNIX;
    std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
    return true;
}

void set_timeouts(int fd, int milliseconds) {
    timeval tv{milliseconds / 1000, (milliseconds % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

bool send_record(int fd, const void* data, size_t size) {
    ssize_t sent;
    do {
        sent = ::send(fd, data, size, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(size);
}

// One record; -1 on error or time-out, 0 when the peer closed. A longer record than `size` is an error.
ssize_t receive_record(int fd, void* data, size_t size) {
    ssize_t got;
    do {
        got = ::recv(fd, data, size, MSG_TRUNC);
    } while (got < 0 && errno == EINTR);
    return got > static_cast<ssize_t>(size) ? -1 : got;
}

bool send_reply(int fd, DWORD error, LRESULT result = 0, DWORD thread_id = 0, uint32_t count = 0) {
    ReplyHeader reply{magic, error, result, thread_id, count};
    return send_record(fd, &reply, sizeof reply);
}

std::u16string clipped(const std::u16string& text) {
    return text.size() > max_text ? text.substr(0, max_text) : text;
}

void answer_list(int fd) {
    std::vector<std::shared_ptr<WindowRecord>> windows = top_level_windows();
    windows.resize(std::min<size_t>(windows.size(), max_listed));
    if (!send_reply(fd, 0, 0, 0, static_cast<uint32_t>(windows.size()))) {
        return;
    }
    for (auto& window : windows) {
        std::u16string title;
        {
            std::lock_guard<std::mutex> guard(window_lock());
            title = clipped(window->text);
        }
        std::u16string class_name = clipped(window->window_class->name);
        WindowEntry entry{static_cast<uint32_t>(reinterpret_cast<uintptr_t>(window->hwnd)), window->thread_id,
                          static_cast<uint32_t>(class_name.size()), static_cast<uint32_t>(title.size())};
        std::vector<unsigned char> record(sizeof entry + (class_name.size() + title.size()) * 2);
        std::memcpy(record.data(), &entry, sizeof entry);
        std::memcpy(record.data() + sizeof entry, class_name.data(), class_name.size() * 2);
        std::memcpy(record.data() + sizeof entry + class_name.size() * 2, title.data(), title.size() * 2);
        if (!send_record(fd, record.data(), record.size())) {
            return;
        }
    }
}

void serve_connection(UniqueFd connection) {
    int fd = connection.get();
    set_timeouts(fd, request_timeout_ms);
    RequestHeader request;
    if (receive_record(fd, &request, sizeof request) != static_cast<ssize_t>(sizeof request) ||
        request.magic != magic) {
        return;
    }
    if (request.kind == kind_list) {
        answer_list(fd);
        return;
    }
    HWND hwnd = reinterpret_cast<HWND>(static_cast<uintptr_t>(request.hwnd));
    std::shared_ptr<WindowRecord> window = find_window(hwnd);
    if (!window || window->message_only) {
        send_reply(fd, ERROR_INVALID_WINDOW_HANDLE);
        return;
    }
    if (request.kind == kind_query) {
        send_reply(fd, 0, 0, window->thread_id);
        return;
    }
    if (DWORD refusal = remote_request_refusal(request.kind, request.message, request.payload_size)) {
        send_reply(fd, refusal);
        return;
    }
    if (request.kind == kind_post) {
        MSG msg{hwnd,
                request.message,
                static_cast<WPARAM>(request.wparam),
                static_cast<LPARAM>(request.lparam),
                GetTickCount(),
                POINT{0, 0}};
        send_reply(fd, window->queue->post(msg) ? 0 : GetLastError());
        return;
    }
    auto sent = std::make_shared<SentMessage>();
    sent->hwnd = hwnd;
    sent->message = request.message;
    sent->wparam = static_cast<WPARAM>(request.wparam);
    sent->lparam = static_cast<LPARAM>(request.lparam);
    if (request.message == WM_COPYDATA) {
        // Grown as the chunks arrive, so a size announced but never sent costs nothing.
        while (sent->data.size() < request.payload_size) {
            size_t filled = sent->data.size();
            size_t want = std::min<size_t>(chunk_size, request.payload_size - filled);
            sent->data.resize(filled + want);
            if (receive_record(fd, sent->data.data() + filled, want) != static_cast<ssize_t>(want)) {
                return;
            }
        }
        sent->copy = COPYDATASTRUCT{static_cast<ULONG_PTR>(request.copy_data), request.payload_size,
                                    request.payload_size ? sent->data.data() : nullptr};
        sent->lparam = reinterpret_cast<LPARAM>(&sent->copy);
    }
    if ((request.flags & SMTO_ABORTIFHUNG) && window->queue->hung()) {
        send_reply(fd, ERROR_TIMEOUT);
        return;
    }
    // The answer goes out when the window's thread has run the message, long after this thread is gone.
    auto kept = std::make_shared<UniqueFd>(std::move(connection));
    sent->done = [kept](bool delivered, LRESULT result) {
        send_reply(kept->get(), delivered ? 0 : ERROR_INVALID_WINDOW_HANDLE, result);
        kept->reset();
    };
    if (!window->queue->send(sent)) {
        send_reply(kept->get(), ERROR_INVALID_WINDOW_HANDLE);
    }
}

void listen_loop(int listener) {
    for (;;) {
        int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED || errno == EMFILE || errno == ENFILE) {
                if (errno != EINTR && errno != ECONNABORTED) {
                    ::usleep(100000);
                }
                continue;
            }
            return;
        }
        UniqueFd connection(fd);
        if (connections.fetch_add(1) >= max_connections) {
            connections.fetch_sub(1);
            continue;
        }
        std::thread([c = std::move(connection)]() mutable {
            serve_connection(std::move(c));
            connections.fetch_sub(1);
        }).detach();
    }
}

std::string listening_path;  // set once by remote_listen

void remove_socket() {
    if (!listening_path.empty()) {
        ::unlink(listening_path.c_str());
    }
}

// A connected socket to the process owning windows with ids of `pid`, or an invalid one with the last error
// set (a socket nobody listens on any more is removed).
UniqueFd connect_to(DWORD pid) {
    sockaddr_un address;
    if (!socket_address(pid, &address)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return UniqueFd();
    }
    UniqueFd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        SetLastError(kernel_error_from_errno(errno));
        return fd;
    }
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) {
        if (errno == ECONNREFUSED) {
            ::unlink(address.sun_path);
        }
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return UniqueFd();
    }
    return fd;
}

// Sends the request (and the data) and waits for the answer. False with the last error set.
bool exchange(HWND hwnd, RequestHeader request, const void* payload, UINT flags, uint64_t deadline,
              ReplyHeader* reply) {
    UniqueFd fd = connect_to(process_of_window(hwnd));
    if (!fd.valid()) {
        return false;
    }
    set_timeouts(fd.get(), request_timeout_ms);
    bool sent = send_record(fd.get(), &request, sizeof request);
    const auto* bytes = static_cast<const unsigned char*>(payload);
    for (size_t done = 0; sent && done < request.payload_size; done += chunk_size) {
        sent = send_record(fd.get(), bytes + done, std::min<size_t>(chunk_size, request.payload_size - done));
    }
    if (!sent) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return false;
    }
    if (!wait_serving(fd.get(), !(flags & SMTO_BLOCK), deadline)) {
        SetLastError(ERROR_TIMEOUT);
        return false;
    }
    if (receive_record(fd.get(), reply, sizeof *reply) != static_cast<ssize_t>(sizeof *reply) ||
        reply->magic != magic) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return false;
    }
    if (reply->error) {
        SetLastError(reply->error);
        return false;
    }
    return true;
}

// The processes with a window socket, this one excluded.
std::vector<DWORD> other_processes() {
    std::vector<DWORD> pids;
    std::string folder = socket_folder();
    DIR* dir = folder.empty() ? nullptr : ::opendir(folder.c_str());
    if (!dir) {
        return pids;
    }
    while (dirent* entry = ::readdir(dir)) {
        char* end = nullptr;
        unsigned long pid = std::strtoul(entry->d_name, &end, 10);
        if (end != entry->d_name && *end == 0 && pid > 0 && pid < (1ul << 22) &&
            pid != GetCurrentProcessId()) {
            pids.push_back(static_cast<DWORD>(pid));
        }
    }
    ::closedir(dir);
    return pids;
}

}  // namespace

bool crosses_processes(UINT message) {
    // WM_SYSCOMMAND carries two plain integers too: a second KTWSession posts its remote commands with it.
    return message >= WM_USER || message == WM_NULL || message == WM_CLOSE || message == WM_SYSCOMMAND ||
           message == WM_COPYDATA;
}

DWORD remote_request_refusal(uint32_t kind, UINT message, uint32_t payload_size) {
    if ((kind != kind_post && kind != kind_send) || !crosses_processes(message) ||
        (kind == kind_post && message == WM_COPYDATA)) {
        return ERROR_ACCESS_DENIED;
    }
    if (payload_size > max_payload || (payload_size && message != WM_COPYDATA)) {
        return ERROR_INVALID_PARAMETER;
    }
    return 0;
}

bool decode_window_entry(const unsigned char* record, size_t size, DWORD pid, RemoteWindow* out) {
    WindowEntry entry;
    if (size < sizeof entry) {
        return false;
    }
    std::memcpy(&entry, record, sizeof entry);
    uint64_t text_bytes = (static_cast<uint64_t>(entry.class_length) + entry.title_length) * 2;
    HWND hwnd = reinterpret_cast<HWND>(static_cast<uintptr_t>(entry.hwnd));
    // A process answers only for its own windows.
    if (sizeof entry + text_bytes != size || process_of_window(hwnd) != pid) {
        return false;
    }
    RemoteWindow window{hwnd, entry.thread_id, {}, {}};
    window.class_name.resize(entry.class_length);
    window.title.resize(entry.title_length);
    std::memcpy(&window.class_name[0], record + sizeof entry, entry.class_length * 2);
    std::memcpy(&window.title[0], record + sizeof entry + entry.class_length * 2, entry.title_length * 2);
    *out = std::move(window);
    return true;
}

bool remote_listen() {
    static std::mutex lock;
    static bool listening = false;
    std::lock_guard<std::mutex> guard(lock);
    if (listening) {
        return true;
    }
    sockaddr_un address;
    if (!socket_address(GetCurrentProcessId(), &address)) {
        return false;
    }
    UniqueFd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        return false;
    }
    // A socket left under this process id belongs to a process that is gone.
    ::unlink(address.sun_path);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) < 0 ||
        ::listen(fd.get(), 16) < 0) {
        return false;
    }
    listening_path = address.sun_path;
    std::atexit(remove_socket);
    std::thread(listen_loop, fd.release()).detach();
    listening = true;
    return true;
}

bool remote_post(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    if (!crosses_processes(message)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    RequestHeader request{magic,   kind_post, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(hwnd)),
                          message, wparam,    lparam,
                          0,       0,         0};
    ReplyHeader reply;
    return exchange(hwnd, request, nullptr, SMTO_BLOCK, monotonic_ns() + request_timeout_ms * 1000000ull,
                    &reply);
}

bool remote_send(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam, UINT flags, UINT timeout_ms,
                 LRESULT* result) {
    if (!crosses_processes(message)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    RequestHeader request{magic,   kind_send, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(hwnd)),
                          message, wparam,    lparam,
                          0,       0,         flags};
    const void* payload = nullptr;
    if (message == WM_COPYDATA) {
        auto* copy = reinterpret_cast<const COPYDATASTRUCT*>(lparam);
        if (!copy || (copy->cbData && !copy->lpData) || copy->cbData > max_payload) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return false;
        }
        request.lparam = 0;
        request.copy_data = copy->dwData;
        request.payload_size = copy->cbData;
        payload = copy->lpData;
    }
    uint64_t deadline =
        timeout_ms == INFINITE ? UINT64_MAX : monotonic_ns() + static_cast<uint64_t>(timeout_ms) * 1000000u;
    ReplyHeader reply;
    if (!exchange(hwnd, request, payload, flags, deadline, &reply)) {
        return false;
    }
    *result = static_cast<LRESULT>(reply.result);
    return true;
}

std::vector<RemoteWindow> remote_windows() {
    std::vector<RemoteWindow> out;
    for (DWORD pid : other_processes()) {
        UniqueFd fd = connect_to(pid);
        if (!fd.valid()) {
            continue;
        }
        set_timeouts(fd.get(), list_timeout_ms);
        RequestHeader request{magic, kind_list, 0, 0, 0, 0, 0, 0, 0};
        ReplyHeader reply;
        if (!send_record(fd.get(), &request, sizeof request) ||
            receive_record(fd.get(), &reply, sizeof reply) != static_cast<ssize_t>(sizeof reply) ||
            reply.magic != magic || reply.error) {
            continue;
        }
        std::vector<unsigned char> record(sizeof(WindowEntry) + 4 * max_text);
        for (uint32_t i = 0; i < std::min(reply.count, max_listed); ++i) {
            ssize_t got = receive_record(fd.get(), record.data(), record.size());
            RemoteWindow window;
            if (got < 0 || !decode_window_entry(record.data(), static_cast<size_t>(got), pid, &window)) {
                break;
            }
            out.push_back(std::move(window));
        }
    }
    return out;
}

DWORD remote_window_thread(HWND hwnd) {
    RequestHeader request{
        magic, kind_query, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(hwnd)), 0, 0, 0, 0, 0, 0};
    ReplyHeader reply;
    if (!exchange(hwnd, request, nullptr, SMTO_BLOCK, monotonic_ns() + list_timeout_ms * 1000000ull,
                  &reply)) {
        return 0;
    }
    return reply.thread_id;
}

}  // namespace winapi_internal
