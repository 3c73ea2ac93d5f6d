// One end of a named pipe: a server instance or a client. See named_pipe.h for the design.
#include "named_pipe.h"

#include "winapi/processthreadsapi.h"
#include "winapi/synchapi.h"

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

namespace winapi_internal {

namespace {

constexpr uint64_t prefix_size = 4;

bool would_block(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

void begin(LPOVERLAPPED overlapped) {
    overlapped->InternalHigh = 0;
    __atomic_store_n(&overlapped->Internal, (ULONG_PTR)STATUS_PENDING, __ATOMIC_RELEASE);
    if (overlapped->hEvent) {
        ResetEvent(overlapped->hEvent);
    }
}

DWORD stored_error(const OVERLAPPED* overlapped) {
    ULONG_PTR status = __atomic_load_n(&overlapped->Internal, __ATOMIC_ACQUIRE);
    return (DWORD)(status & ~overlapped_error_bits);
}

BOOL stored_result(const OVERLAPPED* overlapped, LPDWORD bytes) {
    DWORD error = stored_error(overlapped);
    if (bytes) {
        *bytes = (DWORD)overlapped->InternalHigh;
    }
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}

}  // namespace

PipeEnd::PipeEnd(std::shared_ptr<PipeName> name, bool overlapped)
    : name_(std::move(name)), overlapped_(overlapped), state_(State::listening) {}

PipeEnd::PipeEnd(UniqueFd socket, bool overlapped)
    : overlapped_(overlapped), state_(State::connected), socket_(std::move(socket)) {}

PipeEnd::~PipeEnd() {
    abort_all();
    if (name_) {
        release_pipe_name(*name_);
    }
    pipe_io_wake();
}

void PipeEnd::on_handle_closed() {
    abort_all();
}

void PipeEnd::abort_all() {
    Guard guard(mutex_);
    if (connect_) {
        complete(*connect_, ERROR_OPERATION_ABORTED);
        connect_.reset();
    }
    complete_all(reads_, ERROR_OPERATION_ABORTED);
    complete_all(writes_, ERROR_OPERATION_ABORTED);
    if (socket_.valid()) {
        ::shutdown(socket_.get(), SHUT_RDWR);
    }
}

void PipeEnd::watch() {
    pipe_io_watch(shared_from_this());
}

DWORD PipeEnd::io_state_error(bool writing) const {
    switch (state_) {
        case State::listening:
            return ERROR_PIPE_LISTENING;
        case State::disconnected:
            return ERROR_PIPE_NOT_CONNECTED;
        case State::connected:
            break;
    }
    if (peer_closed_) {
        return writing ? ERROR_NO_DATA : ERROR_BROKEN_PIPE;
    }
    return ERROR_SUCCESS;
}

BOOL PipeEnd::read(LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead, LPOVERLAPPED overlapped) {
    if ((!buffer && bytesToRead > 0) || (overlapped_ && !overlapped)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (bytesRead) {
        *bytesRead = 0;
    }
    Guard guard(mutex_);
    if (DWORD error = io_state_error(false)) {
        SetLastError(error);
        return FALSE;
    }
    return start(reads_, Operation{overlapped, GetCurrentThreadId(), (uint8_t*)buffer, bytesToRead, 0, {}},
                 &PipeEnd::step_read, bytesRead, guard);
}

BOOL PipeEnd::write(LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten, LPOVERLAPPED overlapped) {
    if ((!buffer && bytesToWrite > 0) || (overlapped_ && !overlapped)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (bytesWritten) {
        *bytesWritten = 0;
    }
    Guard guard(mutex_);
    if (DWORD error = io_state_error(true)) {
        SetLastError(error);
        return FALSE;
    }
    Operation op{overlapped, GetCurrentThreadId(), (uint8_t*)buffer, bytesToWrite, 0, {}};
    for (int i = 0; i < 4; i++) {
        op.prefix[i] = (uint8_t)(bytesToWrite >> (8 * i));
    }
    return start(writes_, op, &PipeEnd::step_write, bytesWritten, guard);
}

BOOL PipeEnd::start(std::deque<Operation>& queue, Operation op, Step step, LPDWORD bytes, Guard& guard) {
    // A handle opened without FILE_FLAG_OVERLAPPED blocks; it runs the same operation on a record of its own.
    OVERLAPPED local{};
    if (!overlapped_ && !op.overlapped) {
        op.overlapped = &local;
    }
    LPOVERLAPPED overlapped = op.overlapped;
    begin(overlapped);
    DWORD error = ERROR_SUCCESS;
    if (queue.empty() && (this->*step)(op, &error)) {
        // Windows sets the event for an operation that finished at once (ERROR_MORE_DATA included), but not
        // for one that failed at once.
        complete(op, error, error == ERROR_SUCCESS || error == ERROR_MORE_DATA);
        return stored_result(overlapped, bytes);
    }
    queue.push_back(op);
    watch();
    if (overlapped_) {
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    completed_.wait(guard, [overlapped] { return HasOverlappedIoCompleted(overlapped); });
    return stored_result(overlapped, bytes);
}

BOOL PipeEnd::connect(LPOVERLAPPED overlapped) {
    if (!name_ || (overlapped_ && !overlapped)) {
        SetLastError(name_ ? ERROR_INVALID_PARAMETER : ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    Guard guard(mutex_);
    if (state_ == State::connected) {
        SetLastError(peer_closed_ ? ERROR_NO_DATA : ERROR_PIPE_CONNECTED);
        return FALSE;
    }
    if (connect_) {
        SetLastError(ERROR_PIPE_LISTENING);
        return FALSE;
    }
    DWORD error = ERROR_SUCCESS;
    if (step_connect(&error)) {
        if (error != ERROR_SUCCESS) {
            SetLastError(error);
            return FALSE;
        }
        // A client that came before the wait is a good connection; Windows reports it as this error and
        // leaves the event alone.
        if (overlapped_) {
            SetLastError(ERROR_PIPE_CONNECTED);
            return FALSE;
        }
        return TRUE;
    }
    OVERLAPPED local{};
    Operation op{overlapped ? overlapped : &local, GetCurrentThreadId(), nullptr, 0, 0, {}};
    begin(op.overlapped);
    connect_ = op;
    watch();
    if (overlapped_) {
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    completed_.wait(guard, [&op] { return HasOverlappedIoCompleted(op.overlapped); });
    return stored_result(op.overlapped, nullptr);
}

BOOL PipeEnd::disconnect() {
    if (!name_) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    Guard guard(mutex_);
    if (connect_) {
        complete(*connect_, ERROR_PIPE_NOT_CONNECTED);
        connect_.reset();
    }
    drop_connection(ERROR_PIPE_NOT_CONNECTED);
    state_ = State::disconnected;
    return TRUE;
}

void PipeEnd::cancel(DWORD thread_id) {
    Guard guard(mutex_);
    if (connect_ && connect_->thread_id == thread_id) {
        complete(*connect_, ERROR_OPERATION_ABORTED);
        connect_.reset();
    }
    bool broken = false;
    for (std::deque<Operation>* queue : {&reads_, &writes_}) {
        for (auto it = queue->begin(); it != queue->end();) {
            if (it->thread_id != thread_id) {
                ++it;
                continue;
            }
            if (it->done > 0 && queue == &reads_) {
                discarding_ = true;  // the caller never sees this message whole, so nobody sees its rest
            } else if (it->done > 0) {
                broken = true;  // half a message is on its way and cannot be taken back
            }
            complete(*it, ERROR_OPERATION_ABORTED);
            it = queue->erase(it);
        }
    }
    if (broken) {
        drop_connection(ERROR_BROKEN_PIPE);
        if (state_ == State::connected) {
            peer_closed_ = true;
        }
    }
}

void PipeEnd::wait_completed(const OVERLAPPED* overlapped) {
    Guard guard(mutex_);
    completed_.wait(guard, [overlapped] { return HasOverlappedIoCompleted(overlapped); });
}

void PipeEnd::complete(const Operation& op, DWORD error, bool signal) {
    LPOVERLAPPED overlapped = op.overlapped;
    // Writes count the message without its length prefix (step_write leaves that in done); failures move
    // nothing.
    overlapped->InternalHigh = error == ERROR_SUCCESS || error == ERROR_MORE_DATA ? (ULONG_PTR)op.done : 0;
    ULONG_PTR status = error == ERROR_SUCCESS ? 0 : (overlapped_error_bits | error);
    __atomic_store_n(&overlapped->Internal, status, __ATOMIC_RELEASE);
    if (signal && overlapped->hEvent) {
        SetEvent(overlapped->hEvent);
    }
    completed_.notify_all();
}

void PipeEnd::complete_all(std::deque<Operation>& queue, DWORD error) {
    for (const Operation& op : queue) {
        complete(op, error);
    }
    queue.clear();
}

void PipeEnd::drop_connection(DWORD error) {
    complete_all(reads_, error);
    complete_all(writes_, error);
    if (socket_.valid()) {
        ::shutdown(socket_.get(), SHUT_RDWR);
    }
    if (name_) {
        socket_.reset();
        peer_closed_ = false;
        prefix_got_ = 0;
        in_message_ = false;
        remaining_ = 0;
        discarding_ = false;
    }
}

bool PipeEnd::step_connect(DWORD* error) {
    for (;;) {
        int fd = ::accept4(name_->listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            socket_.reset(fd);
            state_ = State::connected;
            *error = ERROR_SUCCESS;
            return true;
        }
        if (errno == ECONNABORTED || errno == EINTR) {
            continue;  // that client gave up before it was taken; wait for the next
        }
        if (would_block(errno)) {
            return false;
        }
        *error = kernel_error_from_errno(errno);
        return true;
    }
}

bool PipeEnd::step_read(Operation& op, DWORD* error) {
    for (;;) {
        if (!in_message_) {
            ssize_t n = ::recv(socket_.get(), prefix_ + prefix_got_, prefix_size - prefix_got_, MSG_DONTWAIT);
            if (n < 0 && would_block(errno)) {
                return false;
            }
            if (n <= 0) {
                // A peer that left in the middle of a message has not sent it: what was taken is lost too.
                peer_closed_ = true;
                *error = ERROR_BROKEN_PIPE;
                return true;
            }
            prefix_got_ += (DWORD)n;
            if (prefix_got_ < prefix_size) {
                continue;
            }
            remaining_ = (DWORD)prefix_[0] | (DWORD)prefix_[1] << 8 | (DWORD)prefix_[2] << 16 |
                         (DWORD)prefix_[3] << 24;
            prefix_got_ = 0;
            in_message_ = true;
        }
        if (remaining_ == 0) {
            in_message_ = false;
            if (discarding_) {
                discarding_ = false;
                continue;
            }
            *error = ERROR_SUCCESS;
            return true;
        }
        uint8_t scratch[4096];
        uint8_t* destination = scratch;
        uint64_t room = sizeof scratch;
        if (!discarding_) {
            if (op.done == op.size) {
                *error = ERROR_MORE_DATA;  // the rest of the message stays for the next read
                return true;
            }
            destination = op.buffer + op.done;
            room = op.size - op.done;
        }
        ssize_t n =
            ::recv(socket_.get(), destination, (size_t)std::min<uint64_t>(room, remaining_), MSG_DONTWAIT);
        if (n < 0 && would_block(errno)) {
            return false;
        }
        if (n <= 0) {
            peer_closed_ = true;
            *error = ERROR_BROKEN_PIPE;
            return true;
        }
        remaining_ -= (DWORD)n;
        if (!discarding_) {
            op.done += (uint64_t)n;
        }
    }
}

bool PipeEnd::step_write(Operation& op, DWORD* error) {
    const uint64_t total = prefix_size + op.size;
    while (op.done < total) {
        iovec parts[2];
        int count = 0;
        if (op.done < prefix_size) {
            parts[count++] = {op.prefix + op.done, (size_t)(prefix_size - op.done)};
            parts[count++] = {op.buffer, op.size};
        } else {
            parts[count++] = {op.buffer + (op.done - prefix_size), (size_t)(total - op.done)};
        }
        msghdr message{};
        message.msg_iov = parts;
        message.msg_iovlen = (size_t)count;
        ssize_t n = ::sendmsg(socket_.get(), &message, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0 && would_block(errno)) {
            return false;
        }
        if (n < 0) {
            peer_closed_ = true;
            *error = ERROR_NO_DATA;
            return true;
        }
        op.done += (uint64_t)n;
    }
    op.done = op.size;  // what the caller is told: the message, without the length prefix
    *error = ERROR_SUCCESS;
    return true;
}

int PipeEnd::poll_request(struct pollfd* fds) {
    Guard guard(mutex_);
    int count = 0;
    if (connect_ && name_->listener.valid()) {
        fds[count++] = {name_->listener.get(), POLLIN, 0};
    }
    short events = (short)((reads_.empty() ? 0 : POLLIN) | (writes_.empty() ? 0 : POLLOUT));
    if (events && socket_.valid()) {
        fds[count++] = {socket_.get(), events, 0};
    }
    return count;
}

void PipeEnd::progress() {
    Guard guard(mutex_);
    DWORD error = ERROR_SUCCESS;
    if (connect_ && step_connect(&error)) {
        complete(*connect_, error);
        connect_.reset();
    }
    while (!reads_.empty() && socket_.valid() && step_read(reads_.front(), &error)) {
        complete(reads_.front(), error);
        reads_.pop_front();
    }
    while (!writes_.empty() && socket_.valid() && step_write(writes_.front(), &error)) {
        complete(writes_.front(), error);
        writes_.pop_front();
    }
}

}  // namespace winapi_internal
