// CreateNamedPipeW, ConnectNamedPipe, DisconnectNamedPipe, GetOverlappedResult, CancelIo, and the names
// this process serves.
#include "named_pipe.h"

#include "winapi/processthreadsapi.h"

#include "runtime_folder.h"
#include "text_internal.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <map>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace winapi_internal {

namespace {

constexpr char16_t pipe_prefix[] = u"\\\\.\\pipe\\";
constexpr size_t pipe_prefix_length = sizeof pipe_prefix / sizeof pipe_prefix[0] - 1;
constexpr size_t max_pipe_name_length = 256;

// Never destroyed: the detached I/O thread may drop the last pipe end, and with it a name, while the process
// runs its exit handlers.
std::mutex& names_mutex = *new std::mutex;
std::map<std::u16string, std::shared_ptr<PipeName>>& served_names =
    *new std::map<std::u16string, std::shared_ptr<PipeName>>;  // guarded by names_mutex

// The folded name and the path of its socket; ERROR_SUCCESS or the reason there is none.
DWORD locate(LPCWSTR name, std::u16string* key, std::string* socket_path) {
    if (!is_pipe_name(name)) {
        return ERROR_INVALID_NAME;
    }
    size_t length = wide_length(name);
    if (length == pipe_prefix_length || length > max_pipe_name_length) {
        return ERROR_INVALID_NAME;
    }
    *key = fold_case(std::u16string(name, length));
    // The name itself may hold anything a file name cannot, and be too long for a socket address.
    uint64_t hash = 14695981039346656037ull;
    for (char16_t c : *key) {
        hash = (hash ^ (uint16_t)c) * 1099511628211ull;
    }
    std::string folder = runtime_folder();
    if (folder.empty()) {
        return GetLastError();
    }
    char file[32];
    std::snprintf(file, sizeof file, "/pipe-%016llx", (unsigned long long)hash);
    *socket_path = folder + file;
    if (socket_path->size() >= sizeof(sockaddr_un{}.sun_path)) {
        return ERROR_FILENAME_EXCED_RANGE;
    }
    return ERROR_SUCCESS;
}

sockaddr_un socket_address(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    return address;
}

// Starts serving a name: takes its lock file, replaces a socket file left by a process that died, listens.
DWORD serve(PipeName& name) {
    name.lock.reset(
        ::open((name.socket_path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!name.lock.valid()) {
        return kernel_error_from_errno(errno);
    }
    if (::flock(name.lock.get(), LOCK_EX | LOCK_NB) != 0) {
        return errno == EWOULDBLOCK ? ERROR_PIPE_BUSY : kernel_error_from_errno(errno);
    }
    ::unlink(name.socket_path.c_str());
    name.listener.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!name.listener.valid()) {
        return kernel_error_from_errno(errno);
    }
    sockaddr_un address = socket_address(name.socket_path);
    if (::bind(name.listener.get(), (const sockaddr*)&address, sizeof address) != 0 ||
        ::listen(name.listener.get(), SOMAXCONN) != 0) {
        return kernel_error_from_errno(errno);
    }
    return ERROR_SUCCESS;
}

std::shared_ptr<PipeName> acquire_instance(const std::u16string& key, const std::string& socket_path,
                                           DWORD max_instances, bool first_instance, DWORD* error) {
    std::lock_guard<std::mutex> guard(names_mutex);
    auto found = served_names.find(key);
    if (found != served_names.end()) {
        std::shared_ptr<PipeName> name = found->second;
        if (first_instance) {
            *error = ERROR_ACCESS_DENIED;
        } else if (name->max_instances != max_instances) {
            *error = ERROR_INVALID_PARAMETER;
        } else if (name->instances >= name->max_instances) {
            *error = ERROR_PIPE_BUSY;
        } else {
            name->instances++;
            return name;
        }
        return nullptr;
    }
    auto name = std::make_shared<PipeName>();
    name->key = key;
    name->socket_path = socket_path;
    name->max_instances = max_instances;
    *error = serve(*name);
    if (*error != ERROR_SUCCESS) {
        return nullptr;  // the lock, if taken, goes with the object
    }
    name->instances = 1;
    served_names[key] = name;
    return name;
}

std::shared_ptr<PipeEnd> lookup_end(HANDLE handle) {
    std::shared_ptr<PipeEnd> end = handle_lookup_as<PipeEnd>(handle);
    if (!end) {
        SetLastError(ERROR_INVALID_HANDLE);
    }
    return end;
}

}  // namespace

bool is_pipe_name(LPCWSTR name) {
    if (!name) {
        return false;
    }
    for (size_t i = 0; i < pipe_prefix_length; i++) {
        if (fold_case(name[i]) != pipe_prefix[i]) {
            return false;  // also stops at the terminator of a shorter name
        }
    }
    return true;
}

void release_pipe_name(PipeName& name) {
    std::lock_guard<std::mutex> guard(names_mutex);
    if (--name.instances > 0) {
        return;
    }
    served_names.erase(name.key);
    // Still holding the lock file, so no other process has started serving the name meanwhile. The lock file
    // stays: removing it would let two processes lock two different files of the same name.
    ::unlink(name.socket_path.c_str());
    name.listener.reset();
    name.lock.reset();
}

HANDLE open_pipe_client(LPCWSTR name, DWORD desiredAccess, DWORD flagsAndAttributes) {
    std::u16string key;
    std::string socket_path;
    if (DWORD error = locate(name, &key, &socket_path)) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!socket.valid()) {
        SetLastError(kernel_error_from_errno(errno));
        return INVALID_HANDLE_VALUE;
    }
    sockaddr_un address = socket_address(socket_path);
    if (::connect(socket.get(), (const sockaddr*)&address, sizeof address) != 0) {
        int error = errno;
        SetLastError(error == ENOENT || error == ECONNREFUSED ? ERROR_FILE_NOT_FOUND
                     : error == EAGAIN                        ? ERROR_PIPE_BUSY
                                                              : kernel_error_from_errno(error));
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = handle_insert(
        std::make_shared<PipeEnd>(std::move(socket), (flagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0));
    return handle ? handle : INVALID_HANDLE_VALUE;
}

}  // namespace winapi_internal

using namespace winapi_internal;

HANDLE WINAPI CreateNamedPipeW(LPCWSTR name, DWORD openMode, DWORD pipeMode, DWORD maxInstances,
                               DWORD outBufferSize, DWORD inBufferSize, DWORD defaultTimeOut,
                               LPSECURITY_ATTRIBUTES securityAttributes) {
    if (maxInstances < 1 || maxInstances > PIPE_UNLIMITED_INSTANCES) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if ((openMode & PIPE_ACCESS_DUPLEX) != PIPE_ACCESS_DUPLEX || !(pipeMode & PIPE_TYPE_MESSAGE) ||
        !(pipeMode & PIPE_READMODE_MESSAGE) || (pipeMode & PIPE_NOWAIT)) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return INVALID_HANDLE_VALUE;
    }
    std::u16string key;
    std::string socket_path;
    if (DWORD error = locate(name, &key, &socket_path)) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    DWORD error = ERROR_SUCCESS;
    std::shared_ptr<PipeName> served = acquire_instance(
        key, socket_path, maxInstances, (openMode & FILE_FLAG_FIRST_PIPE_INSTANCE) != 0, &error);
    if (!served) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    // From here the end owns the instance: destroying it gives the instance back.
    HANDLE handle =
        handle_insert(std::make_shared<PipeEnd>(std::move(served), (openMode & FILE_FLAG_OVERLAPPED) != 0));
    return handle ? handle : INVALID_HANDLE_VALUE;
}

BOOL WINAPI ConnectNamedPipe(HANDLE namedPipe, LPOVERLAPPED overlapped) {
    std::shared_ptr<PipeEnd> end = lookup_end(namedPipe);
    return end ? end->connect(overlapped) : FALSE;
}

BOOL WINAPI DisconnectNamedPipe(HANDLE namedPipe) {
    std::shared_ptr<PipeEnd> end = lookup_end(namedPipe);
    return end ? end->disconnect() : FALSE;
}

BOOL WINAPI GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD bytesTransferred, BOOL wait) {
    std::shared_ptr<PipeEnd> end = lookup_end(file);
    if (!end) {
        return FALSE;
    }
    if (!overlapped) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!HasOverlappedIoCompleted(overlapped)) {
        if (!wait) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        end->wait_completed(overlapped);
    }
    ULONG_PTR status = __atomic_load_n(&overlapped->Internal, __ATOMIC_ACQUIRE);
    if (bytesTransferred) {
        *bytesTransferred = (DWORD)overlapped->InternalHigh;
    }
    if (status != 0) {
        SetLastError((DWORD)(status & ~overlapped_error_bits));
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI CancelIo(HANDLE file) {
    std::shared_ptr<PipeEnd> end = lookup_end(file);
    if (!end) {
        return FALSE;
    }
    end->cancel(GetCurrentThreadId());
    return TRUE;
}
