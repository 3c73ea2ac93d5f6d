// The Linux socket calls under the Winsock layer, behind types that name neither system's constants: the
// POSIX socket headers declare sockaddr, socket(), AF_INET6, SOL_SOCKET... with other meanings than
// winsock2.h, so the two never meet in one file. Winsock code translates Windows values into these types,
// this module translates them into Linux ones.
//
// Unless said otherwise a call returns -1 with errno set on failure, as the POSIX call does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace winapi_internal {
namespace posix_net {

enum class Family { unspec, inet, inet6 };

// An IPv4 or IPv6 endpoint. Port and address are in network byte order, as in both systems' sockaddr layouts.
struct Endpoint {
    Family family = Family::unspec;
    uint16_t port = 0;
    uint32_t flowinfo = 0;
    uint32_t scope_id = 0;
    uint8_t address[16] = {};  // the first 4 bytes for IPv4
};

// type and protocol are the numbers both systems share (stream 1, datagram 2; TCP 6, UDP 17). The descriptor
// is close-on-exec, as Windows sockets are not handed to child processes by default here.
int open_socket(Family family, int type, int protocol);
int close_socket(int fd);
int bind_socket(int fd, const Endpoint& local);
int connect_socket(int fd, const Endpoint& remote);
int listen_socket(int fd, int backlog);
// The new descriptor is close-on-exec and non-blocking when asked.
int accept_socket(int fd, bool non_blocking, Endpoint* remote);
int local_endpoint(int fd, Endpoint* local);
int remote_endpoint(int fd, Endpoint* remote);

// Never raises SIGPIPE. Returns the count, or -1.
long send_bytes(int fd, const void* data, size_t size);
long receive_bytes(int fd, void* data, size_t size);

enum class Direction { receive, send, both };
int shutdown_socket(int fd, Direction direction);

int set_non_blocking(int fd, bool non_blocking);
int readable_bytes(int fd, int* count);

enum class Option {
    reuse_address,
    keep_alive,
    send_buffer,
    receive_buffer,
    error,  // reading it clears it; the value is an errno
    type,
    no_delay,
    keep_idle,      // seconds
    keep_interval,  // seconds
    keep_count,
};
int set_option(int fd, Option option, int value);
int get_option(int fd, Option option, int* value);

// Readiness bits, for poll_sockets and the watch.
enum Ready : unsigned {
    ready_read = 1,         // data, end of stream, or a connection to accept
    ready_write = 2,        // room to send
    ready_priority = 4,     // out-of-band data
    ready_peer_closed = 8,  // the peer shut its sending side down
    ready_error = 16,       // reported whether asked for or not
    ready_hangup = 32,      // reported whether asked for or not
};

struct PollEntry {
    int fd;  // negative entries are skipped
    unsigned wanted;
    unsigned ready;  // out
};
// Returns the number of entries with any readiness, 0 on time-out, -1 on failure (EINTR included).
// timeout_ms < 0 waits without limit.
int poll_sockets(PollEntry* entries, size_t count, int timeout_ms);

// An epoll set whose members report once, then stay quiet until watch_arm is called for them again.
int watch_create();
// Adds or re-arms fd with the readiness wanted (Ready bits); key comes back with its events.
int watch_arm(int watch, int fd, unsigned wanted, uint64_t key);
int watch_remove(int watch, int fd);
struct WatchEvent {
    uint64_t key;
    unsigned ready;
};
// Waits without limit; returns the number of events, or -1 (EINTR included).
int watch_wait(int watch, WatchEvent* events, int max_events);

// Makes writes to a socket whose peer is gone fail with EPIPE instead of ending the process, also for
// libraries writing to a SOCKET themselves (OpenSSL). Leaves a handler someone installed alone.
void ignore_broken_pipe_signal();

// Name resolution.
enum ResolveFlag : unsigned {
    resolve_passive = 1,
    resolve_canonical_name = 2,
    resolve_numeric_host = 4,
    resolve_numeric_service = 8,
    resolve_all = 16,
    resolve_address_config = 32,
    resolve_v4_mapped = 64,
};

enum NameFlag : unsigned {
    name_no_fqdn = 1,
    name_numeric_host = 2,
    name_required = 4,
    name_numeric_service = 8,
    name_datagram = 16,
};

enum class ResolveStatus {
    ok,
    no_name,
    try_again,
    failure,
    out_of_memory,
    bad_family,
    bad_socket_type,
    bad_service,
    bad_flags,
    overflow,  // a result buffer of getnameinfo was too small
    system,    // errno holds the cause
};

struct ResolveHints {
    Family family = Family::unspec;
    int socket_type = 0;
    int protocol = 0;
    unsigned flags = 0;  // ResolveFlag bits
};

struct ResolvedAddress {
    Family family;
    int socket_type;
    int protocol;
    Endpoint endpoint;
};

// Addresses of families other than IPv4 and IPv6 are left out of the result.
ResolveStatus resolve(const char* node, const char* service, const ResolveHints& hints,
                      std::vector<ResolvedAddress>* addresses, std::string* canonical_name);
// flags: NameFlag bits. host or service may be null with a size of 0.
ResolveStatus name_of(const Endpoint& endpoint, char* host, size_t host_size, char* service,
                      size_t service_size, unsigned flags);

}  // namespace posix_net
}  // namespace winapi_internal
