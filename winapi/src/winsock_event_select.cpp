// WSAEventSelect: network events recorded into an event object by Windows' rules.
//
// Each event is recorded once and then waits for its re-enabling call: FD_READ for the next recv (and is
// recorded again at once if data is still there), FD_WRITE for a send that would block (and for the
// connection to be made), FD_CLOSE never. So the process-wide watcher asks epoll for one report at a time
// (EPOLLONESHOT) and only for the events still enabled; a socket at rest - connected, writable, drained -
// costs nothing. The re-enabling calls look at the socket at once themselves, as Windows does.
#include "winsock_internal.h"

#include "kernel_object.h"
#include "winapi/synchapi.h"

#include <atomic>
#include <cerrno>
#include <exception>
#include <thread>

namespace winapi_internal {
namespace winsock {
namespace {

using namespace posix_net;

std::atomic<uint32_t> last_arming{0};

// A number for a new arming, never 0.
uint32_t next_arming() {
    uint32_t number;
    do {
        number = ++last_arming;
    } while (number == 0);
    return number;
}

// The readiness still worth a report for the association.
unsigned wanted(const Association& association) {
    unsigned readiness = 0;
    if (association.read_enabled && (association.mask & FD_READ)) {
        readiness |= ready_read;
    }
    if (association.write_enabled && (association.mask & FD_WRITE)) {
        readiness |= ready_write;
    }
    if (association.close_enabled && (association.mask & FD_CLOSE)) {
        readiness |= ready_peer_closed;
    }
    return readiness;
}

// Records the events the readiness shows and sets the event when one was recorded. A reported condition
// disables its event whether or not it was recorded: readiness that means nothing (an end of stream seen
// as readable, a failed connect seen as writable) would otherwise be reported again and again.
void record(Socket& socket, unsigned ready) {
    Association& association = socket.association;
    unsigned asked = wanted(association);
    bool connected = has_connected(socket);
    LONG recorded = 0;
    if (ready & asked & ready_read) {
        association.read_enabled = false;
        int count = 0;
        // The end of the stream is reported as FD_CLOSE only, never as FD_READ.
        if (connected && readable_bytes(socket.fd, &count) == 0 && count > 0) {
            recorded |= FD_READ;
        }
    }
    if (ready & asked & ready_write) {
        association.write_enabled = false;
        if (connected && !(ready & ready_error)) {
            recorded |= FD_WRITE;
        }
    }
    // A socket not yet connected reports a hang-up too; that is no peer closing.
    if ((asked & ready_peer_closed) && (ready & (ready_peer_closed | ready_hangup | ready_error))) {
        if (connected) {
            association.close_enabled = false;
            recorded |= FD_CLOSE;
        } else if (ready & ready_peer_closed) {
            association.close_enabled = false;
        }
    }
    if (recorded) {
        SetEvent(association.event);
    }
}

// A hang-up or an error stays reported for good and comes whether asked for or not: after one, the watch
// is re-armed only by a re-enabling call, so that it cannot keep firing.
bool lasting(unsigned ready) {
    return ready & (ready_error | ready_hangup);
}

class Watcher {
public:
    // The watcher, started on first use; null (with the last error set) when that failed. It lives as long
    // as the process.
    static Watcher* get() {
        static std::mutex creation_lock;
        static Watcher* instance = nullptr;
        std::lock_guard<std::mutex> guard(creation_lock);
        if (!instance) {
            int watch = watch_create();
            if (watch < 0) {
                fail(error_from_errno(errno, false));
                return nullptr;
            }
            try {
                instance = new Watcher(watch);
                std::thread(&Watcher::run, instance).detach();
            } catch (const std::exception&) {
                // A Watcher that exists without its thread is harmless: its set is never waited on, and
                // instance stays null so that the next call tries again.
                fail(WSAENOBUFS);
                return nullptr;
            }
        }
        return instance;
    }

    // The caller holds socket.lock.
    void arm(Socket& socket) {
        if (unsigned readiness = wanted(socket.association)) {
            uint32_t number = next_arming();
            socket.association.armed = number;
            watch_arm(watch_, socket.fd, readiness,
                      static_cast<uint32_t>(socket.fd) | uint64_t{number} << 32);
        }
    }

    void remove(Socket& socket) { watch_remove(watch_, socket.fd); }

private:
    explicit Watcher(int watch) : watch_(watch) {}

    void run() {
        WatchEvent events[64];
        for (;;) {
            int count = watch_wait(watch_, events, 64);
            if (count < 0 && errno != EINTR) {
                return;  // only a broken set fails; there is nothing left to watch then
            }
            for (int i = 0; i < count; ++i) {
                serve(events[i]);
            }
        }
    }

    void serve(const WatchEvent& event) {
        std::shared_ptr<Socket> socket = socket_on(static_cast<int>(event.key & 0xffffffffu));
        if (!socket) {
            return;
        }
        std::lock_guard<std::mutex> guard(socket->lock);
        // A report of an arming since replaced is dropped whole. It was taken from the set before the lock
        // was ours, and meanwhile a re-enabling call looked at the socket and armed it anew: the report may
        // show data that a receive has consumed since, and acting on it would disable FD_READ with nothing
        // recorded and leave the socket armed without it - data arriving afterwards would never be
        // reported. The new arming reports whatever is still to be reported.
        if (socket->association.mask == 0 || socket->association.armed != event.key >> 32) {
            return;
        }
        record(*socket, event.ready);
        if (!lasting(event.ready)) {
            arm(*socket);
        }
    }

    const int watch_;
};

// Records what the socket shows now, then leaves the rest to the watcher. The caller holds socket.lock.
void refresh(Socket& socket) {
    unsigned readiness = wanted(socket.association);
    if (!readiness) {
        return;
    }
    PollEntry entry = {socket.fd, readiness, 0};
    poll_sockets(&entry, 1, 0);
    record(socket, entry.ready);
    if (!lasting(entry.ready)) {
        Watcher::get()->arm(socket);
    }
}

}  // namespace

void after_receive(Socket& socket) {
    if (socket.association.mask) {
        socket.association.read_enabled = true;
        refresh(socket);
    }
}

void after_would_block_send(Socket& socket) {
    if (socket.association.mask) {
        socket.association.write_enabled = true;
        refresh(socket);
    }
}

void after_connect(Socket& socket) {
    if (socket.association.mask) {
        socket.association.write_enabled = true;
        socket.association.close_enabled = true;
        refresh(socket);
    }
}

void cancel_association(Socket& socket) {
    if (socket.association.mask) {
        Watcher::get()->remove(socket);
        socket.association = Association();
    }
}

}  // namespace winsock
}  // namespace winapi_internal

using namespace winapi_internal::winsock;

int WSAAPI WSAEventSelect(SOCKET s, WSAEVENT eventObject, LONG networkEvents) {
    std::shared_ptr<Socket> socket = find_socket(s);
    if (!socket) {
        return SOCKET_ERROR;
    }
    if (networkEvents & ~(FD_READ | FD_WRITE | FD_CLOSE)) {
        return fail(WSAEINVAL);
    }
    if (networkEvents && !winapi_internal::handle_lookup(eventObject)) {
        return fail(WSAEINVAL);
    }
    if (networkEvents && !Watcher::get()) {
        return SOCKET_ERROR;
    }
    std::lock_guard<std::mutex> guard(socket->lock);
    if (winapi_internal::posix_net::set_non_blocking(socket->fd, true) < 0) {
        return fail(error_from_errno(errno, socket->send_shut));
    }
    socket->non_blocking = true;
    cancel_association(*socket);
    if (networkEvents) {
        Association& association = socket->association;
        association.event = eventObject;
        association.mask = networkEvents;
        association.read_enabled = association.write_enabled = association.close_enabled = true;
        refresh(*socket);
    }
    return 0;
}
