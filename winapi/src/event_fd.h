// Owned file descriptors for the kernel objects.
#pragma once

#include "winapi/wintypes.h"

#include <cerrno>
#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

namespace winapi_internal {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

// An eventfd used as a level: readable while set. set() and clear() are idempotent; callers that need
// "set" and their own state to agree hold their own lock around both.
class EventFd {
public:
    EventFd() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

    // False when the process ran out of descriptors; such an object must not be handed out.
    bool valid() const { return fd_.valid(); }
    int fd() const { return fd_.get(); }

    void set() const {
        uint64_t one = 1;
        while (::write(fd_.get(), &one, sizeof one) < 0 && errno == EINTR) {
        }
    }
    void clear() const {
        uint64_t value;
        while (::read(fd_.get(), &value, sizeof value) < 0 && errno == EINTR) {
        }
    }

private:
    UniqueFd fd_;
};

// The Windows code for a failed descriptor or file call.
inline DWORD kernel_error_from_errno(int error) {
    switch (error) {
        case EMFILE:
        case ENFILE:
            return ERROR_TOO_MANY_OPEN_FILES;
        case ENOMEM:
        case ENOSPC:
            return ERROR_NOT_ENOUGH_MEMORY;
        case EACCES:
        case EPERM:
        case EROFS:
            return ERROR_ACCESS_DENIED;
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case ENAMETOOLONG:
            return ERROR_FILENAME_EXCED_RANGE;
        default:
            return ERROR_INVALID_FUNCTION;
    }
}

}  // namespace winapi_internal
