// Events: CreateEventW/A, OpenEventW, SetEvent, ResetEvent.
#include "event_fd.h"
#include "kernel_object.h"
#include "named_objects.h"
#include "winapi/synchapi.h"

#include <mutex>
#include <string>

#include <sys/ioctl.h>
#include <unistd.h>

namespace winapi_internal {
namespace {

class EventObject : public KernelObject {
public:
    virtual void set() = 0;
    virtual void reset() = 0;
};

// An event of this process only: the state is a flag, mirrored in an eventfd for poll().
class LocalEvent : public EventObject {
public:
    LocalEvent(bool manual_reset, bool signalled) : manual_reset_(manual_reset) {
        if (signalled) {
            set();
        }
    }

    bool valid() const { return fd_.valid(); }
    int wait_fd() const override { return fd_.fd(); }

    AcquireResult try_acquire() override {
        std::lock_guard<std::mutex> guard(lock_);
        if (!signalled_) {
            return AcquireResult::not_signalled;
        }
        if (!manual_reset_) {
            signalled_ = false;
            fd_.clear();
        }
        return AcquireResult::acquired;
    }

    void set() override {
        std::lock_guard<std::mutex> guard(lock_);
        if (!signalled_) {
            signalled_ = true;
            fd_.set();
        }
    }

    void reset() override {
        std::lock_guard<std::mutex> guard(lock_);
        if (signalled_) {
            signalled_ = false;
            fd_.clear();
        }
    }

private:
    const bool manual_reset_;
    std::mutex lock_;
    bool signalled_ = false;  // guarded by lock_
    EventFd fd_;              // readable exactly while signalled_; changed under lock_
};

// An event shared with other processes: bytes in the name's FIFO are the signalled state. Setters add a byte
// only to an empty FIFO, and an auto-reset waiter consumes the event by reading everything in one read(),
// which the pipe hands to one reader only.
class SharedEvent : public EventObject {
public:
    SharedEvent(bool manual_reset, std::unique_ptr<NameHold> name)
        : manual_reset_(manual_reset), name_(std::move(name)) {}

    int wait_fd() const override { return name_->signal_fd(); }

    AcquireResult try_acquire() override {
        if (manual_reset_) {
            return pending() > 0 ? AcquireResult::acquired : AcquireResult::not_signalled;
        }
        char bytes[64];
        return ::read(wait_fd(), bytes, sizeof bytes) > 0 ? AcquireResult::acquired
                                                          : AcquireResult::not_signalled;
    }

    void set() override {
        if (pending() == 0) {
            char byte = 1;
            // A full pipe (EAGAIN) is a signalled event already.
            while (::write(wait_fd(), &byte, 1) < 0 && errno == EINTR) {
            }
        }
    }

    void reset() override {
        char bytes[64];
        for (;;) {
            ssize_t got = ::read(wait_fd(), bytes, sizeof bytes);
            if (got <= 0 && !(got < 0 && errno == EINTR)) {
                break;
            }
        }
    }

private:
    int pending() const {
        int count = 0;
        return ::ioctl(wait_fd(), FIONREAD, &count) == 0 ? count : 0;
    }

    const bool manual_reset_;
    std::unique_ptr<NameHold> name_;
};

std::shared_ptr<KernelObject> make_shared_event(NamedKind kind, bool created, bool signalled,
                                                std::unique_ptr<NameHold> hold) {
    auto event = std::make_shared<SharedEvent>(kind == NamedKind::manual_event, std::move(hold));
    if (created && signalled) {
        event->set();
    }
    return event;
}

BOOL change_event(HANDLE handle, bool set) {
    std::shared_ptr<EventObject> event = handle_lookup_as<EventObject>(handle);
    if (!event) {
        return FALSE;
    }
    if (set) {
        event->set();
    } else {
        event->reset();
    }
    return TRUE;
}

// Names of the program's A calls are ASCII; other bytes are read as UTF-8, and bytes that are not UTF-8 are
// kept as single units, so that distinct names stay distinct.
std::u16string name_from_narrow(LPCSTR name) {
    std::u16string wide;
    const auto* p = reinterpret_cast<const unsigned char*>(name);
    while (*p) {
        unsigned lead = *p;
        int extra = lead >= 0xF0 && lead < 0xF8 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
        if (lead >= 0xF8) {
            extra = 0;
        }
        uint32_t code = extra == 0 ? lead : lead & (0x3F >> extra);
        int taken = 0;
        while (taken < extra && (p[1 + taken] & 0xC0) == 0x80) {
            code = (code << 6) | (p[1 + taken] & 0x3F);
            ++taken;
        }
        if (taken != extra || code > 0x10FFFF) {
            code = lead;
            taken = 0;
        }
        p += 1 + taken;
        if (code >= 0x10000) {
            code -= 0x10000;
            wide += static_cast<char16_t>(0xD800 + (code >> 10));
            wide += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
        } else {
            wide += static_cast<char16_t>(code);
        }
    }
    return wide;
}

}  // namespace
}  // namespace winapi_internal

using namespace winapi_internal;

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                           LPCWSTR name) {
    std::shared_ptr<KernelObject> event;
    bool existed = false;
    if (name && name[0]) {
        NamedKind kind = manualReset ? NamedKind::manual_event : NamedKind::auto_event;
        bool signalled = initialState != FALSE;
        auto make = [signalled](NamedKind recorded, bool created, std::unique_ptr<NameHold> hold) {
            return make_shared_event(recorded, created, signalled, std::move(hold));
        };
        event = create_named_object(name, kind, make, &existed);
    } else {
        auto local = std::make_shared<LocalEvent>(manualReset != FALSE, initialState != FALSE);
        if (local->valid()) {
            event = std::move(local);
        } else {
            SetLastError(ERROR_TOO_MANY_OPEN_FILES);
        }
    }
    if (!event) {
        return nullptr;
    }
    HANDLE handle = handle_insert(std::move(event));
    if (handle) {
        SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    }
    return handle;
}

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                           LPCSTR name) {
    if (!name) {
        return CreateEventW(attributes, manualReset, initialState, nullptr);
    }
    std::u16string wide = name_from_narrow(name);
    return CreateEventW(attributes, manualReset, initialState, wide.c_str());
}

HANDLE WINAPI OpenEventW(DWORD desiredAccess, BOOL inheritHandle, LPCWSTR name) {
    if (!name || !name[0]) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto make = [](NamedKind recorded, bool created, std::unique_ptr<NameHold> hold) {
        return make_shared_event(recorded, created, false, std::move(hold));
    };
    std::shared_ptr<KernelObject> event = open_named_object(name, NamedKind::auto_event, make);
    return event ? handle_insert(std::move(event)) : nullptr;
}

BOOL WINAPI SetEvent(HANDLE event) {
    return change_event(event, true);
}

BOOL WINAPI ResetEvent(HANDLE event) {
    return change_event(event, false);
}
