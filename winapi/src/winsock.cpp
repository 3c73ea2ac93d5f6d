// Winsock: startup, the socket table, connections, data, shutdown, select, ioctls and options.
#include "winsock_internal.h"

#include "winapi/mstcpip.h"

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <new>
#include <unordered_map>
#include <vector>

namespace winapi_internal {
namespace winsock {

using posix_net::Endpoint;
using posix_net::Family;

namespace {

static_assert(sizeof(sockaddr) == 16 && sizeof(sockaddr_in) == 16 && sizeof(sockaddr_in6) == 28,
              "Windows socket address sizes");
static_assert(sizeof(in_addr) == 4, "Windows field sizes");
static_assert(offsetof(fd_set, fd_array) == sizeof(SOCKET), "fd_set layout");

struct Table {
    std::mutex lock;
    int startup_count = 0;                                        // guarded by lock
    std::unordered_map<SOCKET, std::shared_ptr<Socket>> sockets;  // guarded by lock
};

// Never destroyed: the watcher thread may still look a socket up while the process exits.
Table& table() {
    static Table* instance = new Table;
    return *instance;
}

// Adds a new descriptor to the table; returns null (WSAENOBUFS), the descriptor closed, when memory runs out.
std::shared_ptr<Socket> insert(int fd) {
    std::shared_ptr<Socket> socket;
    try {
        socket = std::make_shared<Socket>(fd);
    } catch (const std::bad_alloc&) {
        posix_net::close_socket(fd);
        fail(WSAENOBUFS);
        return nullptr;
    }
    try {
        Table& t = table();
        std::lock_guard<std::mutex> guard(t.lock);
        t.sockets[static_cast<SOCKET>(fd)] = socket;
    } catch (const std::bad_alloc&) {
        fail(WSAENOBUFS);
        return nullptr;  // the descriptor goes with the object
    }
    return socket;
}

// Ends a socket taken out of the table. A call still blocked on it on another thread is woken by a
// shutdown and fails, as closesocket aborts pending calls on Windows.
void close_taken(std::shared_ptr<Socket> socket) {
    std::lock_guard<std::mutex> guard(socket->lock);
    cancel_association(*socket);
    if (socket.use_count() > 1) {
        socket->send_shut = socket->receive_shut = true;
        posix_net::shutdown_socket(socket->fd, posix_net::Direction::both);
    }
}

int fail_errno(int error, const Socket& socket) {
    return fail(error_from_errno(error, socket.send_shut));
}

bool to_family(int af, Family* family) {
    switch (af) {
        case AF_INET:
            *family = Family::inet;
            return true;
        case AF_INET6:
            *family = Family::inet6;
            return true;
        default:
            return false;
    }
}

// Maps a Windows level and option; sets the error and returns false for an option this layer lacks.
bool to_option(int level, int name, bool for_set, posix_net::Option* option) {
    using posix_net::Option;
    bool read_only = false;
    if (level == SOL_SOCKET && name == SO_REUSEADDR) {
        *option = Option::reuse_address;
    } else if (level == SOL_SOCKET && name == SO_KEEPALIVE) {
        *option = Option::keep_alive;
    } else if (level == SOL_SOCKET && name == SO_SNDBUF) {
        *option = Option::send_buffer;
    } else if (level == SOL_SOCKET && name == SO_RCVBUF) {
        *option = Option::receive_buffer;
    } else if (level == SOL_SOCKET && name == SO_ERROR) {
        *option = Option::error;
        read_only = true;
    } else if (level == SOL_SOCKET && name == SO_TYPE) {
        *option = Option::type;
        read_only = true;
    } else if (level == IPPROTO_TCP && name == TCP_NODELAY) {
        *option = Option::no_delay;
    } else {
        fail(level == SOL_SOCKET || level == IPPROTO_TCP ? WSAENOPROTOOPT : WSAEINVAL);
        return false;
    }
    if (for_set && read_only) {
        fail(WSAENOPROTOOPT);
        return false;
    }
    return true;
}

int set_keepalive_values(Socket& socket, const tcp_keepalive& values) {
    using posix_net::Option;
    if (posix_net::set_option(socket.fd, Option::keep_alive, values.onoff ? 1 : 0) < 0) {
        return fail_errno(errno, socket);
    }
    if (!values.onoff) {
        return 0;
    }
    // Linux counts in whole seconds, from 1 to 32767.
    auto seconds = [](ULONG ms) {
        return static_cast<int>(ms < 1000 ? 1 : ms / 1000 > 32767 ? 32767 : ms / 1000);
    };
    if (posix_net::set_option(socket.fd, Option::keep_idle, seconds(values.keepalivetime)) < 0 ||
        posix_net::set_option(socket.fd, Option::keep_interval, seconds(values.keepaliveinterval)) < 0 ||
        posix_net::set_option(socket.fd, Option::keep_count, 10) < 0) {
        return fail_errno(errno, socket);
    }
    return 0;
}

// One socket named in select's sets.
struct Selected {
    SOCKET handle;
    std::shared_ptr<Socket> socket;
    bool asked[3] = {};  // read, write, except
    bool ready[3] = {};
};

// Decides which of the sets a socket is ready for. False when poll reported something none of its sets
// shows (it would only wake the wait again).
bool classify(Selected& selected, unsigned ready) {
    using namespace posix_net;
    Socket& socket = *selected.socket;
    std::lock_guard<std::mutex> guard(socket.lock);
    if (socket.connect_pending && !has_connected(socket)) {
        // Linux reports a failed connect as writable with an error; Windows reports it in the except set
        // only, and the socket never becomes writable.
        if (ready & (ready_error | ready_hangup)) {
            selected.ready[2] = selected.asked[2];
        }
        return selected.ready[2];
    }
    selected.ready[0] = selected.asked[0] && (ready & (ready_read | ready_hangup | ready_error));
    selected.ready[1] = selected.asked[1] && (ready & ready_write);
    selected.ready[2] = selected.asked[2] && (ready & ready_priority);
    return selected.ready[0] || selected.ready[1] || selected.ready[2];
}

}  // namespace

std::shared_ptr<Socket> find_socket(SOCKET s) {
    Table& t = table();
    std::lock_guard<std::mutex> guard(t.lock);
    if (t.startup_count == 0) {
        fail(WSANOTINITIALISED);
        return nullptr;
    }
    auto it = t.sockets.find(s);
    if (it == t.sockets.end()) {
        fail(WSAENOTSOCK);
        return nullptr;
    }
    return it->second;
}

std::shared_ptr<Socket> socket_on(int fd) {
    Table& t = table();
    std::lock_guard<std::mutex> guard(t.lock);
    auto it = t.sockets.find(static_cast<SOCKET>(fd));
    return it == t.sockets.end() ? nullptr : it->second;
}

bool started() {
    Table& t = table();
    std::lock_guard<std::mutex> guard(t.lock);
    if (t.startup_count == 0) {
        fail(WSANOTINITIALISED);
        return false;
    }
    return true;
}

int error_from_errno(int error, bool after_local_send_shutdown) {
    switch (error) {
        case 0:
            return 0;
        case EINTR:
            return WSAEINTR;
        case EBADF:
            return WSAEBADF;
        case EACCES:
        case EPERM:
            return WSAEACCES;
        case EFAULT:
            return WSAEFAULT;
        case EINVAL:
            return WSAEINVAL;
        case EMFILE:
        case ENFILE:
            return WSAEMFILE;
        case EAGAIN:  // also EWOULDBLOCK
        case EINPROGRESS:
            return WSAEWOULDBLOCK;
        case EALREADY:
            return WSAEALREADY;
        case ENOTSOCK:
            return WSAENOTSOCK;
        case EDESTADDRREQ:
            return WSAEDESTADDRREQ;
        case EMSGSIZE:
            return WSAEMSGSIZE;
        case EPROTOTYPE:
            return WSAEPROTOTYPE;
        case ENOPROTOOPT:
            return WSAENOPROTOOPT;
        case EPROTONOSUPPORT:
            return WSAEPROTONOSUPPORT;
        case ESOCKTNOSUPPORT:
            return WSAESOCKTNOSUPPORT;
        case EOPNOTSUPP:  // also ENOTSUP
            return WSAEOPNOTSUPP;
        case EPFNOSUPPORT:
            return WSAEPFNOSUPPORT;
        case EAFNOSUPPORT:
            return WSAEAFNOSUPPORT;
        case EADDRINUSE:
            return WSAEADDRINUSE;
        case EADDRNOTAVAIL:
            return WSAEADDRNOTAVAIL;
        case ENETDOWN:
            return WSAENETDOWN;
        case ENETUNREACH:
            return WSAENETUNREACH;
        case ENETRESET:
            return WSAENETRESET;
        case ECONNABORTED:
            return WSAECONNABORTED;
        case ECONNRESET:
            return WSAECONNRESET;
        case EPIPE:
            return after_local_send_shutdown ? WSAESHUTDOWN : WSAECONNRESET;
        case ENOBUFS:
        case ENOMEM:
            return WSAENOBUFS;
        case EISCONN:
            return WSAEISCONN;
        case ENOTCONN:
            return WSAENOTCONN;
        case ESHUTDOWN:
            return WSAESHUTDOWN;
        case ETIMEDOUT:
            return WSAETIMEDOUT;
        case ECONNREFUSED:
            return WSAECONNREFUSED;
        case EHOSTDOWN:
            return WSAEHOSTDOWN;
        case EHOSTUNREACH:
            return WSAEHOSTUNREACH;
        default:
            return WSASYSCALLFAILURE;
    }
}

int fail(int wsa_error) {
    SetLastError(static_cast<DWORD>(wsa_error));
    return SOCKET_ERROR;
}

int to_endpoint(const sockaddr* address, int length, Endpoint* endpoint) {
    ADDRESS_FAMILY family;
    if (!address || length < static_cast<int>(sizeof family)) {
        return WSAEFAULT;
    }
    std::memcpy(&family, address, sizeof family);
    *endpoint = Endpoint();
    if (family == AF_INET) {
        sockaddr_in in;
        if (length < static_cast<int>(sizeof in)) {
            return WSAEFAULT;
        }
        std::memcpy(&in, address, sizeof in);
        endpoint->family = Family::inet;
        endpoint->port = in.sin_port;
        std::memcpy(endpoint->address, &in.sin_addr, 4);
        return 0;
    }
    if (family == AF_INET6) {
        sockaddr_in6 in6;
        if (length < static_cast<int>(sizeof in6)) {
            return WSAEFAULT;
        }
        std::memcpy(&in6, address, sizeof in6);
        endpoint->family = Family::inet6;
        endpoint->port = in6.sin6_port;
        endpoint->flowinfo = in6.sin6_flowinfo;
        std::memcpy(endpoint->address, &in6.sin6_addr, 16);
        endpoint->scope_id = in6.sin6_scope_id;
        return 0;
    }
    return WSAEAFNOSUPPORT;
}

int from_endpoint(const Endpoint& endpoint, sockaddr* address, int* length) {
    if (endpoint.family == Family::inet) {
        sockaddr_in in = {};
        if (!address || !length || *length < static_cast<int>(sizeof in)) {
            return WSAEFAULT;
        }
        in.sin_family = AF_INET;
        in.sin_port = endpoint.port;
        std::memcpy(&in.sin_addr, endpoint.address, 4);
        std::memcpy(address, &in, sizeof in);
        *length = sizeof in;
        return 0;
    }
    if (endpoint.family == Family::inet6) {
        sockaddr_in6 in6 = {};
        if (!address || !length || *length < static_cast<int>(sizeof in6)) {
            return WSAEFAULT;
        }
        in6.sin6_family = AF_INET6;
        in6.sin6_port = endpoint.port;
        in6.sin6_flowinfo = endpoint.flowinfo;
        std::memcpy(&in6.sin6_addr, endpoint.address, 16);
        in6.sin6_scope_id = endpoint.scope_id;
        std::memcpy(address, &in6, sizeof in6);
        *length = sizeof in6;
        return 0;
    }
    return WSAEAFNOSUPPORT;
}

bool has_connected(Socket& socket) {
    Endpoint peer;
    if (!socket.connected && posix_net::remote_endpoint(socket.fd, &peer) == 0) {
        socket.connected = true;
        socket.connect_pending = false;
    }
    return socket.connected;
}

}  // namespace winsock
}  // namespace winapi_internal

using namespace winapi_internal::winsock;
namespace posix_net = winapi_internal::posix_net;

int WSAAPI WSAStartup(WORD versionRequested, LPWSADATA data) {
    if (!data) {
        return WSAEFAULT;
    }
    BYTE major = LOBYTE(versionRequested);
    BYTE minor = HIBYTE(versionRequested);
    if (major == 0) {
        return WSAVERNOTSUPPORTED;
    }
    std::memset(data, 0, sizeof *data);
    data->wVersion = major > 2 || (major == 2 && minor > 2) ? MAKEWORD(2, 2) : versionRequested;
    data->wHighVersion = MAKEWORD(2, 2);
    std::strcpy(data->szDescription, "WinSock 2.0");
    std::strcpy(data->szSystemStatus, "Running");
    posix_net::ignore_broken_pipe_signal();
    Table& t = table();
    std::lock_guard<std::mutex> guard(t.lock);
    ++t.startup_count;
    return 0;
}

int WSAAPI WSACleanup() {
    std::vector<std::shared_ptr<Socket>> open;
    {
        Table& t = table();
        std::lock_guard<std::mutex> guard(t.lock);
        if (t.startup_count == 0) {
            return fail(WSANOTINITIALISED);
        }
        if (--t.startup_count == 0) {
            for (auto& entry : t.sockets) {
                open.push_back(std::move(entry.second));
            }
            t.sockets.clear();
        }
    }
    for (auto& socket : open) {
        close_taken(std::move(socket));
    }
    return 0;
}

int WSAAPI WSAGetLastError() {
    return static_cast<int>(GetLastError());
}

void WSAAPI WSASetLastError(int error) {
    SetLastError(static_cast<DWORD>(error));
}

SOCKET WSAAPI socket(int af, int type, int protocol) {
    if (!started()) {
        return INVALID_SOCKET;
    }
    Family family;
    if (!to_family(af, &family)) {
        fail(WSAEAFNOSUPPORT);
        return INVALID_SOCKET;
    }
    int fd = posix_net::open_socket(family, type, protocol);
    if (fd < 0) {
        fail(error_from_errno(errno, false));
        return INVALID_SOCKET;
    }
    return insert(fd) ? static_cast<SOCKET>(fd) : INVALID_SOCKET;
}

int WSAAPI closesocket(SOCKET s) {
    std::shared_ptr<Socket> socket;
    {
        Table& t = table();
        std::lock_guard<std::mutex> guard(t.lock);
        if (t.startup_count == 0) {
            return fail(WSANOTINITIALISED);
        }
        auto it = t.sockets.find(s);
        if (it == t.sockets.end()) {
            return fail(WSAENOTSOCK);
        }
        socket = std::move(it->second);
        t.sockets.erase(it);
    }
    close_taken(std::move(socket));
    return 0;
}

int WSAAPI bind(SOCKET s, const struct sockaddr* name, int namelen) {
    std::shared_ptr<Socket> socket = find_socket(s);
    if (!socket) {
        return SOCKET_ERROR;
    }
    Endpoint local;
    if (int error = to_endpoint(name, namelen, &local)) {
        return fail(error);
    }
    return posix_net::bind_socket(socket->fd, local) < 0 ? fail_errno(errno, *socket) : 0;
}

int WSAAPI listen(SOCKET s, int backlog) {
    std::shared_ptr<Socket> socket = find_socket(s);
    if (!socket) {
        return SOCKET_ERROR;
    }
    return posix_net::listen_socket(socket->fd, backlog) < 0 ? fail_errno(errno, *socket) : 0;
}

SOCKET WSAAPI accept(SOCKET s, struct sockaddr* addr, int* addrlen) {
    std::shared_ptr<Socket> listener = find_socket(s);
    if (!listener) {
        return INVALID_SOCKET;
    }
    if (addr) {
        // Checked before a connection is taken, so that a short buffer does not cost the peer its connection.
        Endpoint local;
        if (posix_net::local_endpoint(listener->fd, &local) < 0) {
            fail_errno(errno, *listener);
            return INVALID_SOCKET;
        }
        size_t needed = local.family == Family::inet6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
        if (!addrlen || *addrlen < static_cast<int>(needed)) {
            fail(WSAEFAULT);
            return INVALID_SOCKET;
        }
    }
    bool non_blocking;
    {
        std::lock_guard<std::mutex> guard(listener->lock);
        non_blocking = listener->non_blocking;
    }
    Endpoint remote;
    int fd;
    do {
        fd = posix_net::accept_socket(listener->fd, non_blocking, &remote);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        fail_errno(errno, *listener);
        return INVALID_SOCKET;
    }
    if (addr) {
        if (int error = from_endpoint(remote, addr, addrlen)) {
            posix_net::close_socket(fd);
            fail(error);
            return INVALID_SOCKET;
        }
    }
    std::shared_ptr<Socket> accepted = insert(fd);
    if (!accepted) {
        return INVALID_SOCKET;
    }
    std::lock_guard<std::mutex> guard(accepted->lock);
    accepted->non_blocking = non_blocking;
    accepted->connected = true;
    return static_cast<SOCKET>(fd);
}

namespace {

// A connect interrupted by a signal goes on in the background; Windows callers never see the interruption.
// A blocking one is waited for here: its outcome is the socket's error once it is writable (the kernel's own
// connect time-out ends the wait at the latest). Returns 0, or -1 with *error set to an errno.
int finish_interrupted_connect(int fd, int* error) {
    posix_net::PollEntry entry = {fd, posix_net::ready_write, 0};
    while (posix_net::poll_sockets(&entry, 1, -1) < 0) {
        if (errno != EINTR) {
            *error = errno;
            return -1;
        }
    }
    int outcome = 0;
    if (posix_net::get_option(fd, posix_net::Option::error, &outcome) < 0) {
        *error = errno;
        return -1;
    }
    Endpoint peer;
    if (outcome == 0 && posix_net::remote_endpoint(fd, &peer) < 0) {
        outcome = ECONNABORTED;  // ended without an error of its own: the socket was shut meanwhile
    }
    *error = outcome;
    return outcome == 0 ? 0 : -1;
}

}  // namespace

int WSAAPI connect(SOCKET s, const struct sockaddr* name, int namelen) {
    std::shared_ptr<Socket> socket = find_socket(s);
    if (!socket) {
        return SOCKET_ERROR;
    }
    Endpoint remote;
    if (int error = to_endpoint(name, namelen, &remote)) {
        return fail(error);
    }
    int result = posix_net::connect_socket(socket->fd, remote);
    int error = errno;
    if (result < 0 && error == EINTR) {
        bool non_blocking;
        {
            std::lock_guard<std::mutex> guard(socket->lock);
            non_blocking = socket->non_blocking;
        }
        if (non_blocking) {
            error = EINPROGRESS;
        } else {
            result = finish_interrupted_connect(socket->fd, &error);
        }
    }
    std::lock_guard<std::mutex> guard(socket->lock);
    if (result == 0) {
        socket->connected = true;
        socket->connect_pending = false;
        after_connect(*socket);
        return 0;
    }
    if (error == EINPROGRESS) {
        socket->connect_pending = true;
        after_connect(*socket);
    }
    return fail_errno(error, *socket);
}

int WSAAPI getsockname(SOCKET s, struct sockaddr* name, int* namelen) {
    std::shared_ptr<Socket> socket = find_socket(s);
    if (!socket) {
        return SOCKET_ERROR;
    }
    Endpoint local;
    if (posix_net::local_endpoint(socket->fd, &local) < 0) {
        return fail_errno(errno, *socket);
    }
    if (local.port == 0) {
        return fail(WSAEINVAL);  // not bound yet; Linux answers with the wildcard address
    }
    int error = from_endpoint(local, name, namelen);
    return error ? fail(error) : 0;
}

int WSAAPI getpeername(SOCKET s, struct sockaddr* name, int* namelen) {
    std::shared_ptr<Socket> socket = find_socket(s);
    if (!socket) {
        return SOCKET_ERROR;
    }
    Endpoint remote;
    if (posix_net::remote_endpoint(socket->fd, &remote) < 0) {
        return fail_errno(errno, *socket);
    }
    int error = from_endpoint(remote, name, namelen);
    return error ? fail(error) : 0;
}

int WSAAPI select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds,
                  const struct timeval* timeout) {
    if (!started()) {
        return SOCKET_ERROR;
    }
    fd_set* sets[3] = {readfds, writefds, exceptfds};
    std::vector<Selected> selected;
    for (int k = 0; k < 3; ++k) {
        if (!sets[k]) {
            continue;
        }
        if (sets[k]->fd_count > FD_SETSIZE) {
            return fail(WSAEINVAL);
        }
        for (u_int i = 0; i < sets[k]->fd_count; ++i) {
            SOCKET handle = sets[k]->fd_array[i];
            size_t j = 0;
            while (j < selected.size() && selected[j].handle != handle) {
                ++j;
            }
            if (j == selected.size()) {
                Selected entry;
                entry.handle = handle;
                entry.socket = find_socket(handle);
                if (!entry.socket) {
                    return SOCKET_ERROR;
                }
                selected.push_back(std::move(entry));
            }
            selected[j].asked[k] = true;
        }
    }
    if (selected.empty()) {
        return fail(WSAEINVAL);
    }
    using Clock = std::chrono::steady_clock;
    Clock::time_point deadline = Clock::time_point::max();
    if (timeout) {
        if (timeout->tv_sec < 0 || timeout->tv_usec < 0) {
            return fail(WSAEINVAL);
        }
        deadline = Clock::now() + std::chrono::seconds(timeout->tv_sec) +
                   std::chrono::microseconds(timeout->tv_usec);
    }

    std::vector<posix_net::PollEntry> entries(selected.size());
    for (size_t j = 0; j < selected.size(); ++j) {
        const bool* asked = selected[j].asked;
        entries[j].fd = selected[j].socket->fd;
        entries[j].wanted = (asked[0] ? posix_net::ready_read : 0u) |
                            (asked[1] ? posix_net::ready_write : 0u) |
                            (asked[2] ? posix_net::ready_priority : 0u);
    }
    int count = 0;
    for (;;) {
        int wait_ms = -1;
        if (timeout) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            wait_ms = left <= 0 ? 0 : left > 0x7fffffff ? 0x7fffffff : static_cast<int>(left);
        }
        int result = posix_net::poll_sockets(entries.data(), entries.size(), wait_ms);
        if (result < 0 && errno != EINTR) {
            return fail(error_from_errno(errno, false));
        }
        for (size_t j = 0; result > 0 && j < entries.size(); ++j) {
            if (entries[j].ready && !classify(selected[j], entries[j].ready)) {
                entries[j].fd = -1;
            }
        }
        count = 0;
        for (const Selected& entry : selected) {
            count += entry.ready[0] + entry.ready[1] + entry.ready[2];
        }
        if (count > 0 || (timeout && Clock::now() >= deadline)) {
            break;
        }
    }

    for (int k = 0; k < 3; ++k) {
        if (!sets[k]) {
            continue;
        }
        u_int kept = 0;
        for (u_int i = 0; i < sets[k]->fd_count; ++i) {
            for (const Selected& entry : selected) {
                if (entry.handle == sets[k]->fd_array[i] && entry.ready[k]) {
                    sets[k]->fd_array[kept++] = entry.handle;
                }
            }
        }
        sets[k]->fd_count = kept;
    }
    return count;
}

int WSAAPI send(SOCKET s, const char* buf, int len, int flags) {
    std::shared_ptr<Socket> socket = find_socket(s);
    if (!socket) {
        return SOCKET_ERROR;
    }
    if (flags != 0) {
        return fail(WSAEOPNOTSUPP);
    }
    if (len < 0 || (!buf && len > 0)) {
        return fail(WSAEFAULT);
    }
    if (socket->send_shut) {
        return fail(WSAESHUTDOWN);
    }
    long sent;
    do {
        sent = posix_net::send_bytes(socket->fd, buf, static_cast<size_t>(len));
    } while (sent < 0 && errno == EINTR);
    if (sent >= 0) {
        return static_cast<int>(sent);
    }
    int error = errno;
    std::lock_guard<std::mutex> guard(socket->lock);
    if (error == EAGAIN) {
        after_would_block_send(*socket);
    }
    return fail_errno(error, *socket);
}

int WSAAPI recv(SOCKET s, char* buf, int len, int flags) {
    std::shared_ptr<Socket> socket = find_socket(s);
    if (!socket) {
        return SOCKET_ERROR;
    }
    if (flags != 0) {
        return fail(WSAEOPNOTSUPP);
    }
    if (len < 0 || (!buf && len > 0)) {
        return fail(WSAEFAULT);
    }
    bool shut = socket->receive_shut;
    long received = 0;
    int error = 0;
    if (!shut) {
        do {
            received = posix_net::receive_bytes(socket->fd, buf, static_cast<size_t>(len));
        } while (received < 0 && errno == EINTR);
        error = errno;
    }
    std::lock_guard<std::mutex> guard(socket->lock);
    after_receive(*socket);
    // A receive woken by this side's own shutdown reports it rather than an end of stream.
    if (shut || (received <= 0 && socket->receive_shut)) {
        return fail(WSAESHUTDOWN);
    }
    return received >= 0 ? static_cast<int>(received) : fail_errno(error, *socket);
}

int WSAAPI shutdown(SOCKET s, int how) {
    std::shared_ptr<Socket> socket = find_socket(s);
    if (!socket) {
        return SOCKET_ERROR;
    }
    if (how != SD_RECEIVE && how != SD_SEND && how != SD_BOTH) {
        return fail(WSAEINVAL);
    }
    using posix_net::Direction;
    Direction direction = how == SD_RECEIVE ? Direction::receive
                          : how == SD_SEND  ? Direction::send
                                            : Direction::both;
    // Marked first, so that a receive this wakes sees why.
    bool was_send_shut = how != SD_RECEIVE ? socket->send_shut.exchange(true) : socket->send_shut.load();
    bool was_receive_shut =
        how != SD_SEND ? socket->receive_shut.exchange(true) : socket->receive_shut.load();
    if (posix_net::shutdown_socket(socket->fd, direction) < 0) {
        int error = errno;
        socket->send_shut = was_send_shut;
        socket->receive_shut = was_receive_shut;
        return fail_errno(error, *socket);
    }
    return 0;
}

int WSAAPI ioctlsocket(SOCKET s, LONG cmd, u_long* argp) {
    std::shared_ptr<Socket> socket = find_socket(s);
    if (!socket) {
        return SOCKET_ERROR;
    }
    if (!argp) {
        return fail(WSAEFAULT);
    }
    std::lock_guard<std::mutex> guard(socket->lock);
    if (cmd == FIONBIO) {
        bool non_blocking = *argp != 0;
        if (!non_blocking && socket->association.mask != 0) {
            return fail(WSAEINVAL);
        }
        if (posix_net::set_non_blocking(socket->fd, non_blocking) < 0) {
            return fail_errno(errno, *socket);
        }
        socket->non_blocking = non_blocking;
        return 0;
    }
    if (cmd == FIONREAD) {
        int count = 0;
        if (posix_net::readable_bytes(socket->fd, &count) < 0) {
            return fail_errno(errno, *socket);
        }
        *argp = count > 0 ? static_cast<u_long>(count) : 0;
        return 0;
    }
    return fail(WSAEINVAL);
}

int WSAAPI setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen) {
    std::shared_ptr<Socket> socket = find_socket(s);
    if (!socket) {
        return SOCKET_ERROR;
    }
    posix_net::Option option;
    if (!to_option(level, optname, true, &option)) {
        return SOCKET_ERROR;
    }
    int value;
    if (!optval || optlen < static_cast<int>(sizeof value)) {
        return fail(WSAEFAULT);
    }
    std::memcpy(&value, optval, sizeof value);
    return posix_net::set_option(socket->fd, option, value) < 0 ? fail_errno(errno, *socket) : 0;
}

int WSAAPI getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen) {
    std::shared_ptr<Socket> socket = find_socket(s);
    if (!socket) {
        return SOCKET_ERROR;
    }
    posix_net::Option option;
    if (!to_option(level, optname, false, &option)) {
        return SOCKET_ERROR;
    }
    int value;
    if (!optval || !optlen || *optlen < static_cast<int>(sizeof value)) {
        return fail(WSAEFAULT);
    }
    if (posix_net::get_option(socket->fd, option, &value) < 0) {
        return fail_errno(errno, *socket);
    }
    if (option == posix_net::Option::error) {
        value = error_from_errno(value, socket->send_shut);
    }
    std::memcpy(optval, &value, sizeof value);
    *optlen = sizeof value;
    return 0;
}

int WSAAPI WSAIoctl(SOCKET s, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize, LPVOID outBuffer,
                    DWORD outBufferSize, LPDWORD bytesReturned, LPWSAOVERLAPPED overlapped,
                    LPWSAOVERLAPPED_COMPLETION_ROUTINE completionRoutine) {
    std::shared_ptr<Socket> socket = find_socket(s);
    if (!socket) {
        return SOCKET_ERROR;
    }
    if (overlapped || completionRoutine) {
        return fail(WSAEOPNOTSUPP);
    }
    if (ioControlCode != SIO_KEEPALIVE_VALS) {
        return fail(WSAEINVAL);
    }
    tcp_keepalive values;
    if (!inBuffer || inBufferSize < sizeof values) {
        return fail(WSAEFAULT);
    }
    std::memcpy(&values, inBuffer, sizeof values);
    if (bytesReturned) {
        *bytesReturned = 0;
    }
    return set_keepalive_values(*socket, values);
}
