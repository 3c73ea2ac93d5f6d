// The Linux side of the Winsock layer: sockets, poll, epoll and the resolver.
#include "winsock_posix.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace winapi_internal {
namespace posix_net {
namespace {

int to_linux_family(Family family) {
    switch (family) {
        case Family::inet:
            return AF_INET;
        case Family::inet6:
            return AF_INET6;
        default:
            return AF_UNSPEC;
    }
}

// Returns the length used, or 0 (with errno set) for an endpoint of no known family.
socklen_t to_sockaddr(const Endpoint& endpoint, sockaddr_storage* out) {
    std::memset(out, 0, sizeof *out);
    if (endpoint.family == Family::inet) {
        auto* in = reinterpret_cast<sockaddr_in*>(out);
        in->sin_family = AF_INET;
        in->sin_port = endpoint.port;
        std::memcpy(&in->sin_addr, endpoint.address, 4);
        return sizeof *in;
    }
    if (endpoint.family == Family::inet6) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(out);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = endpoint.port;
        in6->sin6_flowinfo = endpoint.flowinfo;
        std::memcpy(&in6->sin6_addr, endpoint.address, 16);
        in6->sin6_scope_id = endpoint.scope_id;
        return sizeof *in6;
    }
    errno = EAFNOSUPPORT;
    return 0;
}

bool from_sockaddr(const sockaddr* address, socklen_t length, Endpoint* out) {
    *out = Endpoint();
    if (address->sa_family == AF_INET && length >= sizeof(sockaddr_in)) {
        sockaddr_in in;
        std::memcpy(&in, address, sizeof in);
        out->family = Family::inet;
        out->port = in.sin_port;
        std::memcpy(out->address, &in.sin_addr, 4);
        return true;
    }
    if (address->sa_family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
        sockaddr_in6 in6;
        std::memcpy(&in6, address, sizeof in6);
        out->family = Family::inet6;
        out->port = in6.sin6_port;
        out->flowinfo = in6.sin6_flowinfo;
        std::memcpy(out->address, &in6.sin6_addr, 16);
        out->scope_id = in6.sin6_scope_id;
        return true;
    }
    errno = EAFNOSUPPORT;
    return false;
}

int endpoint_of(int fd, Endpoint* out, int (*query)(int, sockaddr*, socklen_t*)) {
    sockaddr_storage address;
    socklen_t length = sizeof address;
    if (query(fd, reinterpret_cast<sockaddr*>(&address), &length) < 0) {
        return -1;
    }
    return from_sockaddr(reinterpret_cast<sockaddr*>(&address), length, out) ? 0 : -1;
}

bool linux_option(Option option, int* level, int* name) {
    switch (option) {
        case Option::reuse_address:
            *level = SOL_SOCKET, *name = SO_REUSEADDR;
            return true;
        case Option::keep_alive:
            *level = SOL_SOCKET, *name = SO_KEEPALIVE;
            return true;
        case Option::send_buffer:
            *level = SOL_SOCKET, *name = SO_SNDBUF;
            return true;
        case Option::receive_buffer:
            *level = SOL_SOCKET, *name = SO_RCVBUF;
            return true;
        case Option::error:
            *level = SOL_SOCKET, *name = SO_ERROR;
            return true;
        case Option::type:
            *level = SOL_SOCKET, *name = SO_TYPE;
            return true;
        case Option::no_delay:
            *level = IPPROTO_TCP, *name = TCP_NODELAY;
            return true;
        case Option::keep_idle:
            *level = IPPROTO_TCP, *name = TCP_KEEPIDLE;
            return true;
        case Option::keep_interval:
            *level = IPPROTO_TCP, *name = TCP_KEEPINTVL;
            return true;
        case Option::keep_count:
            *level = IPPROTO_TCP, *name = TCP_KEEPCNT;
            return true;
    }
    errno = ENOPROTOOPT;
    return false;
}

unsigned to_poll_events(unsigned wanted) {
    unsigned events = 0;
    if (wanted & ready_read) {
        events |= POLLIN;
    }
    if (wanted & ready_write) {
        events |= POLLOUT;
    }
    if (wanted & ready_priority) {
        events |= POLLPRI;
    }
    if (wanted & ready_peer_closed) {
        events |= POLLRDHUP;
    }
    return events;
}

// poll() and epoll share the bit values of these events.
unsigned from_poll_events(unsigned events) {
    unsigned ready = 0;
    if (events & POLLIN) {
        ready |= ready_read;
    }
    if (events & POLLOUT) {
        ready |= ready_write;
    }
    if (events & POLLPRI) {
        ready |= ready_priority;
    }
    if (events & POLLRDHUP) {
        ready |= ready_peer_closed;
    }
    if (events & POLLERR) {
        ready |= ready_error;
    }
    if (events & POLLHUP) {
        ready |= ready_hangup;
    }
    return ready;
}

static_assert(EPOLLIN == POLLIN && EPOLLOUT == POLLOUT && EPOLLPRI == POLLPRI && EPOLLRDHUP == POLLRDHUP &&
                  EPOLLERR == POLLERR && EPOLLHUP == POLLHUP,
              "poll and epoll bits differ");

ResolveStatus resolve_status(int code) {
    switch (code) {
        case 0:
            return ResolveStatus::ok;
        case EAI_NONAME:
        case EAI_NODATA:
        case EAI_ADDRFAMILY:
            return ResolveStatus::no_name;
        case EAI_AGAIN:
            return ResolveStatus::try_again;
        case EAI_MEMORY:
            return ResolveStatus::out_of_memory;
        case EAI_FAMILY:
            return ResolveStatus::bad_family;
        case EAI_SOCKTYPE:
            return ResolveStatus::bad_socket_type;
        case EAI_SERVICE:
            return ResolveStatus::bad_service;
        case EAI_BADFLAGS:
            return ResolveStatus::bad_flags;
        case EAI_OVERFLOW:
            return ResolveStatus::overflow;
        case EAI_SYSTEM:
            return ResolveStatus::system;
        default:
            return ResolveStatus::failure;
    }
}

}  // namespace

int open_socket(Family family, int type, int protocol) {
    return ::socket(to_linux_family(family), type | SOCK_CLOEXEC, protocol);
}

int close_socket(int fd) {
    return ::close(fd);
}

int bind_socket(int fd, const Endpoint& local) {
    sockaddr_storage address;
    socklen_t length = to_sockaddr(local, &address);
    return length ? ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) : -1;
}

int connect_socket(int fd, const Endpoint& remote) {
    sockaddr_storage address;
    socklen_t length = to_sockaddr(remote, &address);
    return length ? ::connect(fd, reinterpret_cast<sockaddr*>(&address), length) : -1;
}

int listen_socket(int fd, int backlog) {
    return ::listen(fd, backlog);
}

int accept_socket(int fd, bool non_blocking, Endpoint* remote) {
    sockaddr_storage address;
    socklen_t length = sizeof address;
    int flags = SOCK_CLOEXEC | (non_blocking ? SOCK_NONBLOCK : 0);
    int accepted = ::accept4(fd, reinterpret_cast<sockaddr*>(&address), &length, flags);
    if (accepted >= 0 && remote && !from_sockaddr(reinterpret_cast<sockaddr*>(&address), length, remote)) {
        *remote = Endpoint();
    }
    return accepted;
}

int local_endpoint(int fd, Endpoint* local) {
    return endpoint_of(fd, local, ::getsockname);
}

int remote_endpoint(int fd, Endpoint* remote) {
    return endpoint_of(fd, remote, ::getpeername);
}

long send_bytes(int fd, const void* data, size_t size) {
    return ::send(fd, data, size, MSG_NOSIGNAL);
}

long receive_bytes(int fd, void* data, size_t size) {
    return ::recv(fd, data, size, 0);
}

int shutdown_socket(int fd, Direction direction) {
    int how = direction == Direction::receive ? SHUT_RD : direction == Direction::send ? SHUT_WR : SHUT_RDWR;
    return ::shutdown(fd, how);
}

int set_non_blocking(int fd, bool non_blocking) {
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) {
        return -1;
    }
    flags = non_blocking ? flags | O_NONBLOCK : flags & ~O_NONBLOCK;
    return ::fcntl(fd, F_SETFL, flags);
}

int readable_bytes(int fd, int* count) {
    return ::ioctl(fd, FIONREAD, count);
}

int set_option(int fd, Option option, int value) {
    int level, name;
    if (!linux_option(option, &level, &name)) {
        return -1;
    }
    return ::setsockopt(fd, level, name, &value, sizeof value);
}

int get_option(int fd, Option option, int* value) {
    int level, name;
    if (!linux_option(option, &level, &name)) {
        return -1;
    }
    *value = 0;
    socklen_t length = sizeof *value;
    return ::getsockopt(fd, level, name, value, &length);
}

int poll_sockets(PollEntry* entries, size_t count, int timeout_ms) {
    std::vector<pollfd> fds(count);
    for (size_t i = 0; i < count; ++i) {
        fds[i].fd = entries[i].fd;
        fds[i].events = static_cast<short>(to_poll_events(entries[i].wanted));
        fds[i].revents = 0;
    }
    int result = ::poll(fds.data(), fds.size(), timeout_ms < 0 ? -1 : timeout_ms);
    for (size_t i = 0; i < count; ++i) {
        entries[i].ready = result > 0 ? from_poll_events(static_cast<unsigned short>(fds[i].revents)) : 0;
    }
    return result;
}

int watch_create() {
    return ::epoll_create1(EPOLL_CLOEXEC);
}

int watch_arm(int watch, int fd, unsigned wanted, uint64_t key) {
    epoll_event event = {};
    event.events = to_poll_events(wanted) | EPOLLONESHOT;
    event.data.u64 = key;
    if (::epoll_ctl(watch, EPOLL_CTL_MOD, fd, &event) == 0) {
        return 0;
    }
    return errno == ENOENT ? ::epoll_ctl(watch, EPOLL_CTL_ADD, fd, &event) : -1;
}

int watch_remove(int watch, int fd) {
    return ::epoll_ctl(watch, EPOLL_CTL_DEL, fd, nullptr);
}

int watch_wait(int watch, WatchEvent* events, int max_events) {
    epoll_event ready[64];
    int count = ::epoll_wait(watch, ready, max_events < 64 ? max_events : 64, -1);
    for (int i = 0; i < count; ++i) {
        events[i].key = ready[i].data.u64;
        events[i].ready = from_poll_events(ready[i].events);
    }
    return count;
}

void ignore_broken_pipe_signal() {
    struct sigaction current;
    if (::sigaction(SIGPIPE, nullptr, &current) == 0 && !(current.sa_flags & SA_SIGINFO) &&
        current.sa_handler == SIG_DFL) {
        ::signal(SIGPIPE, SIG_IGN);
    }
}

ResolveStatus resolve(const char* node, const char* service, const ResolveHints& hints,
                      std::vector<ResolvedAddress>* addresses, std::string* canonical_name) {
    addrinfo linux_hints = {};
    linux_hints.ai_family = to_linux_family(hints.family);
    linux_hints.ai_socktype = hints.socket_type;
    linux_hints.ai_protocol = hints.protocol;
    const struct {
        unsigned ours;
        int linux_flag;
    } flags[] = {
        {resolve_passive, AI_PASSIVE},
        {resolve_canonical_name, AI_CANONNAME},
        {resolve_numeric_host, AI_NUMERICHOST},
        {resolve_numeric_service, AI_NUMERICSERV},
        {resolve_all, AI_ALL},
        {resolve_address_config, AI_ADDRCONFIG},
        {resolve_v4_mapped, AI_V4MAPPED},
    };
    for (const auto& flag : flags) {
        if (hints.flags & flag.ours) {
            linux_hints.ai_flags |= flag.linux_flag;
        }
    }

    addrinfo* list = nullptr;
    ResolveStatus status = resolve_status(::getaddrinfo(node, service, &linux_hints, &list));
    if (status != ResolveStatus::ok) {
        return status;
    }
    addresses->clear();
    canonical_name->clear();
    if (list->ai_canonname) {
        *canonical_name = list->ai_canonname;
    }
    for (addrinfo* entry = list; entry; entry = entry->ai_next) {
        ResolvedAddress address;
        if (!entry->ai_addr || !from_sockaddr(entry->ai_addr, entry->ai_addrlen, &address.endpoint)) {
            continue;
        }
        address.family = address.endpoint.family;
        address.socket_type = entry->ai_socktype;
        address.protocol = entry->ai_protocol;
        addresses->push_back(address);
    }
    ::freeaddrinfo(list);
    return ResolveStatus::ok;
}

ResolveStatus name_of(const Endpoint& endpoint, char* host, size_t host_size, char* service,
                      size_t service_size, unsigned flags) {
    sockaddr_storage address;
    socklen_t length = to_sockaddr(endpoint, &address);
    if (!length) {
        return ResolveStatus::bad_family;
    }
    const struct {
        unsigned ours;
        int linux_flag;
    } names[] = {
        {name_no_fqdn, NI_NOFQDN},    {name_numeric_host, NI_NUMERICHOST},
        {name_required, NI_NAMEREQD}, {name_numeric_service, NI_NUMERICSERV},
        {name_datagram, NI_DGRAM},
    };
    int linux_flags = 0;
    for (const auto& name : names) {
        if (flags & name.ours) {
            linux_flags |= name.linux_flag;
        }
    }
    return resolve_status(::getnameinfo(reinterpret_cast<sockaddr*>(&address), length, host,
                                        static_cast<socklen_t>(host_size), service,
                                        static_cast<socklen_t>(service_size), linux_flags));
}

}  // namespace posix_net
}  // namespace winapi_internal
