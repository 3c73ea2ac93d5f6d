// Named pipes over Unix stream sockets in the runtime folder.
//
// A name "\\.\pipe\<name>" is served by one listening socket, <runtime folder>/pipe-<hash of the folded
// name>, shared by all instances this process made of it; the process serving a name holds an exclusive flock
// on "<socket>.lock", so a socket file left by a process that died is replaced and one that a live process
// serves is not taken over. Each instance accepts one client from that socket.
//
// Messages travel as frames: a 32-bit little-endian length, then that many bytes. Reads fill the caller's
// buffer straight from the socket, so a peer's length costs nothing until its bytes arrive.
//
// Overlapped operations that cannot finish at once are finished by one process-wide I/O thread, which polls
// the sockets of the ends that have work pending, moves the bytes, stores the outcome in the OVERLAPPED and
// sets its event. Every touch of a caller's buffer or OVERLAPPED happens under the end's lock, so once
// CancelIo or CloseHandle returns, the layer no longer uses them.
#pragma once

#include "winapi/ioapiset.h"
#include "winapi/namedpipeapi.h"

#include "event_fd.h"
#include "io_object.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

struct pollfd;

namespace winapi_internal {

// True when the name starts with "\\.\pipe\" (in any case).
bool is_pipe_name(LPCWSTR name);

// What CreateFileW does with a pipe name: the client end of an instance of that pipe, overlapped when the
// flags ask for it. INVALID_HANDLE_VALUE with ERROR_FILE_NOT_FOUND when nobody serves the name,
// ERROR_PIPE_BUSY when the server's queue of waiting clients is full.
HANDLE open_pipe_client(LPCWSTR name, DWORD desiredAccess, DWORD flagsAndAttributes);

// One name served by this process: the listening socket and the count of its instances.
struct PipeName {
    std::u16string key;  // the folded full name
    std::string socket_path;
    UniqueFd listener;
    UniqueFd lock;
    DWORD max_instances = 0;
    DWORD instances = 0;  // guarded by the names' lock (named_pipe.cpp)
};

// Drops one instance of the name; the last one closes the listening socket and removes its file.
void release_pipe_name(PipeName& name);

// The outcome stored in OVERLAPPED.Internal: 0, or the Windows error with these marker bits.
constexpr ULONG_PTR overlapped_error_bits = 0xE0000000u;

class PipeEnd : public IoObject, public std::enable_shared_from_this<PipeEnd> {
public:
    // A server instance of `name`, to be connected by ConnectNamedPipe.
    PipeEnd(std::shared_ptr<PipeName> name, bool overlapped);
    // A client end over a connected socket.
    PipeEnd(UniqueFd socket, bool overlapped);
    ~PipeEnd() override;
    // Operations still pending complete with ERROR_OPERATION_ABORTED at once, and the peer sees the end go,
    // even while the I/O thread still holds the object. Pipe handles are never duplicated, so the first close
    // is the last.
    void on_handle_closed() override;

    BOOL read(LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead, LPOVERLAPPED overlapped) override;
    BOOL write(LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten, LPOVERLAPPED overlapped) override;
    BOOL connect(LPOVERLAPPED overlapped);
    BOOL disconnect();
    void cancel(DWORD thread_id);
    // Blocks until the operation of `overlapped` is no longer pending.
    void wait_completed(const OVERLAPPED* overlapped);

    // I/O thread: the descriptors to poll for the pending work (at most two), and the step that moves it on.
    int poll_request(struct pollfd* fds);
    void progress();

private:
    enum class State { listening, connected, disconnected };

    struct Operation {
        LPOVERLAPPED overlapped;
        DWORD thread_id;
        uint8_t* buffer;  // reads: the destination; writes: the message
        DWORD size;
        uint64_t done;  // reads: bytes delivered; writes: frame bytes sent, length prefix included
        uint8_t prefix[4];
    };
    using Guard = std::unique_lock<std::mutex>;
    using Step = bool (PipeEnd::*)(Operation&, DWORD*);

    BOOL start(std::deque<Operation>& queue, Operation op, Step step, LPDWORD bytes, Guard& guard);
    // Each step moves its operation on without blocking: true when it is finished, with *error its outcome.
    bool step_read(Operation& op, DWORD* error);
    bool step_write(Operation& op, DWORD* error);
    bool step_connect(DWORD* error);
    void complete(const Operation& op, DWORD error, bool signal = true);
    void complete_all(std::deque<Operation>& queue, DWORD error);
    void abort_all();
    // Closes the connection: pending reads and writes fail with `error`.
    void drop_connection(DWORD error);
    DWORD io_state_error(bool writing) const;
    void watch();

    const std::shared_ptr<PipeName> name_;  // null for a client end
    const bool overlapped_;

    std::mutex mutex_;  // guards everything below, and the buffers and OVERLAPPEDs of pending operations
    std::condition_variable completed_;
    State state_;
    UniqueFd socket_;
    bool peer_closed_ = false;  // the peer left (or the stream broke); reads and writes fail from now on
    std::optional<Operation> connect_;
    std::deque<Operation> reads_;
    std::deque<Operation> writes_;
    // Where the incoming stream stands.
    uint8_t prefix_[4] = {};
    DWORD prefix_got_ = 0;
    bool in_message_ = false;
    DWORD remaining_ = 0;      // bytes of the current message not yet delivered
    bool discarding_ = false;  // a read that took part of the current message was cancelled: skip the rest
};

// Hands an end with pending work to the I/O thread (started on first use).
void pipe_io_watch(const std::shared_ptr<PipeEnd>& end);
// Makes the I/O thread poll afresh, after an end went away.
void pipe_io_wake();

}  // namespace winapi_internal
