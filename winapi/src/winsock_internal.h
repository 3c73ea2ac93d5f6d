// What the Winsock modules share: the socket table, error codes, address translation and the hooks of
// WSAEventSelect.
#pragma once

#include "winapi/winsock2.h"
#include "winapi/ws2tcpip.h"
#include "winsock_posix.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

namespace winapi_internal {
namespace winsock {

// A WSAEventSelect association. mask 0 means none.
struct Association {
    WSAEVENT event = nullptr;
    LONG mask = 0;
    // The number of the watch's last arming for this association (0: not armed yet). A report carries the
    // number of the arming that produced it, so that the watcher tells a late report - of an earlier
    // association, of an earlier socket on the same descriptor, or of an arming that a re-enabling call has
    // since replaced - from the current one.
    uint32_t armed = 0;
    // Whether each event would be recorded now: an event, once recorded, waits for its re-enabling call.
    bool read_enabled = false;
    bool write_enabled = false;
    bool close_enabled = false;
};

// One socket of the table. SOCKET values are the descriptors. The descriptor is closed with the last
// reference, so a call still running on another thread never meets a reused descriptor.
struct Socket {
    explicit Socket(int descriptor) : fd(descriptor) {}
    ~Socket() { posix_net::close_socket(fd); }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    const int fd;
    std::atomic<bool> send_shut{false};     // shutdown(SD_SEND or SD_BOTH) was called
    std::atomic<bool> receive_shut{false};  // shutdown(SD_RECEIVE or SD_BOTH) was called
    std::mutex lock;                        // guards the fields below
    bool non_blocking = false;              // as set by ioctlsocket or WSAEventSelect
    bool connect_pending = false;           // a non-blocking connect whose outcome has not been seen yet
    bool connected = false;                 // has been connected (it may have been closed or reset since)
    Association association;
};

// The socket behind s, or null with the last error set (WSANOTINITIALISED, WSAENOTSOCK).
std::shared_ptr<Socket> find_socket(SOCKET s);
// The socket on a descriptor, or null; sets no error (for the watcher thread).
std::shared_ptr<Socket> socket_on(int fd);
// False, with WSANOTINITIALISED set, before WSAStartup.
bool started();

// The WSA code for an errno. EPIPE means a local shutdown when the socket had one, else the peer's reset.
int error_from_errno(int error, bool after_local_send_shutdown);
// Sets the last error and returns SOCKET_ERROR.
int fail(int wsa_error);

// Windows socket addresses (AF_INET6 is 23 there) to and from endpoints. Both return 0 or a WSA code:
// WSAEFAULT for a length too small, WSAEAFNOSUPPORT for another family.
int to_endpoint(const sockaddr* address, int length, posix_net::Endpoint* endpoint);
int from_endpoint(const posix_net::Endpoint& endpoint, sockaddr* address, int* length);

// True once the socket has been connected; learns here of a non-blocking connect that completed.
// The caller holds socket.lock.
bool has_connected(Socket& socket);

// WSAEventSelect's re-enabling calls (winsock_event_select.cpp). The caller holds socket.lock; they do
// nothing for a socket without an association.
void after_receive(Socket& socket);
void after_would_block_send(Socket& socket);
void after_connect(Socket& socket);
void cancel_association(Socket& socket);

}  // namespace winsock
}  // namespace winapi_internal
