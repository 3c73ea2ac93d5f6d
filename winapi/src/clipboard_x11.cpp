// The clipboard's X half. An owner thread with its own connection and a hidden window holds the CLIPBOARD
// selection for the process and answers other clients (TARGETS, the exported targets, INCR for large data).
// Another client's data is read on the calling thread through a short-lived private connection, so a reader
// never waits on the owner thread (which may itself be waiting for a window to render a format).
#include "clipboard_internal.h"

#include "event_fd.h"
#include "tick_clock.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <poll.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

namespace winapi_internal {

namespace {

const uint64_t MAX_TRANSFER_BYTES = 256ull << 20;
const size_t MAX_CHUNK_BYTES = 256 * 1024;
const uint64_t STEP_TIMEOUT_NS = 5000000000ull;       // another client's next answer
const uint64_t TRANSFER_TIMEOUT_NS = 10000000000ull;  // a requestor that stops taking INCR chunks

int ignore_x_error(Display*, XErrorEvent*) {
    return 0;
}

// A broken connection (the server went away) ends this connection's use instead of the process.
void note_connection_lost(Display*, void* lost) {
    *(std::atomic<bool>*)lost = true;
}

int report_io_error(Display* display) {
    fprintf(stderr, "X connection to %s broken\n", DisplayString(display));
    return 0;
}

// Protocol errors (a requestor window that vanished mid-transfer) are ignored, as on the GUI connection. A
// broken connection is reported, then each connection's exit handler decides: Xlib's default one ends the
// process, the clipboard's connections only stop being used.
void install_error_handlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        XSetErrorHandler(ignore_x_error);
        XSetIOErrorHandler(report_io_error);
    });
}

struct Atoms {
    Atom clipboard, targets, incr, property;

    explicit Atoms(Display* display)
        : clipboard(XInternAtom(display, "CLIPBOARD", False)),
          targets(XInternAtom(display, "TARGETS", False)),
          incr(XInternAtom(display, "INCR", False)),
          property(XInternAtom(display, "KTW_CLIPBOARD", False)) {}
};

// Largest property written in one request; bigger data goes by INCR.
size_t chunk_bytes(Display* display) {
    size_t limit = (size_t)XMaxRequestSize(display) * 4;
    return std::min(MAX_CHUNK_BYTES, limit > 4096 ? limit - 1024 : 3072);
}

// Waits for an event that satisfies match, up to deadline (monotonic ns); other events are dropped.
template <class Match>
bool wait_for_event(Display* display, const std::atomic<bool>& lost, uint64_t deadline, XEvent* event,
                    Match match) {
    while (!lost) {
        while (!lost && XPending(display)) {
            XNextEvent(display, event);
            if (match(*event)) {
                return true;
            }
        }
        uint64_t now = monotonic_ns();
        if (now >= deadline) {
            return false;
        }
        pollfd p{ConnectionNumber(display), POLLIN, 0};
        poll(&p, 1, (int)std::min<uint64_t>((deadline - now) / 1000000 + 1, INT_MAX));
    }
    return false;
}

// Reads and deletes a property. For format 32 Xlib hands back one long per item.
bool take_property(Display* display, Window window, Atom property, Atom* type, std::vector<uint8_t>* bytes) {
    unsigned char* data = nullptr;
    int format = 0;
    unsigned long items = 0, after = 0;
    if (XGetWindowProperty(display, window, property, 0, (long)(MAX_TRANSFER_BYTES / 4), True,
                           AnyPropertyType, type, &format, &items, &after, &data) != Success) {
        return false;
    }
    bool ok = after == 0;
    if (ok && data) {
        uint64_t unit = format == 32 ? sizeof(long) : format == 16 ? sizeof(short) : 1;
        uint64_t size = (uint64_t)items * unit;
        ok = size <= MAX_TRANSFER_BYTES;
        if (ok) {
            bytes->assign(data, data + size);
        }
    } else if (ok) {
        bytes->clear();
    }
    if (data) {
        XFree(data);
    }
    return ok;
}

// ---- reading another client's selection ----

class SelectionReader {
public:
    SelectionReader() : display_(XOpenDisplay(nullptr)) {
        if (display_) {
            install_error_handlers();
            XSetIOErrorExitHandler(display_, note_connection_lost, &lost_);
            atoms_.reset(new Atoms(display_));
            window_ = XCreateSimpleWindow(display_, DefaultRootWindow(display_), 0, 0, 1, 1, 0, 0, 0);
            XSelectInput(display_, window_, PropertyChangeMask);
        }
    }
    ~SelectionReader() {
        if (display_) {
            if (!lost_) {
                XDestroyWindow(display_, window_);
            }
            XCloseDisplay(display_);
        }
    }
    SelectionReader(const SelectionReader&) = delete;
    SelectionReader& operator=(const SelectionReader&) = delete;

    bool read(const char* target_name, Atom* type, std::vector<uint8_t>* bytes) {
        if (!display_ || XGetSelectionOwner(display_, atoms_->clipboard) == None) {
            return false;
        }
        Atom target = XInternAtom(display_, target_name, False);
        XConvertSelection(display_, atoms_->clipboard, target, atoms_->property, window_, CurrentTime);
        XFlush(display_);
        XEvent event;
        bool answered = wait_for_event(
            display_, lost_, monotonic_ns() + STEP_TIMEOUT_NS, &event,
            [&](XEvent& e) { return e.type == SelectionNotify && e.xselection.requestor == window_; });
        if (!answered || event.xselection.property == None ||
            !take_property(display_, window_, atoms_->property, type, bytes)) {
            return false;
        }
        return *type == atoms_->incr ? read_increments(type, bytes) : true;
    }

    Atom atom(const std::string& name) { return XInternAtom(display_, name.c_str(), False); }

private:
    // INCR: the owner writes a chunk each time the property is deleted, then an empty one.
    bool read_increments(Atom* type, std::vector<uint8_t>* bytes) {
        bytes->clear();
        for (;;) {
            XEvent event;
            bool arrived =
                wait_for_event(display_, lost_, monotonic_ns() + STEP_TIMEOUT_NS, &event, [&](XEvent& e) {
                    return e.type == PropertyNotify && e.xproperty.window == window_ &&
                           e.xproperty.atom == atoms_->property && e.xproperty.state == PropertyNewValue;
                });
            std::vector<uint8_t> chunk;
            if (!arrived || !take_property(display_, window_, atoms_->property, type, &chunk)) {
                return false;
            }
            XFlush(display_);
            if (chunk.empty()) {
                return true;
            }
            if (chunk.size() > MAX_TRANSFER_BYTES - bytes->size()) {
                return false;
            }
            bytes->insert(bytes->end(), chunk.begin(), chunk.end());
        }
    }

    Display* display_;
    std::atomic<bool> lost_{false};
    std::unique_ptr<Atoms> atoms_;
    Window window_ = None;
};

// ---- the owner thread ----

struct Transfer {
    Window requestor;
    Atom property;
    Atom type;
    std::vector<uint8_t> bytes;
    size_t offset;
    bool finished;  // the last chunk is out; an empty one follows the next delete
    uint64_t last_activity;
};

class SelectionOwner {
public:
    // Null when there is no X display.
    static SelectionOwner* instance() {
        static SelectionOwner* owner = start();
        return owner;
    }

    bool claim(uint64_t generation) {
        if (lost_) {
            return false;
        }
        {
            std::lock_guard<std::mutex> guard(lock_);
            pending_claim_ = generation;
        }
        uint64_t one = 1;
        (void)!write(wake_.get(), &one, sizeof(one));
        return true;
    }

private:
    SelectionOwner(Display* display)
        : display_(display),
          atoms_(display),
          window_(XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 1, 1, 0, 0, 0)),
          chunk_(chunk_bytes(display)),
          wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

    static SelectionOwner* start() {
        if (!getenv("DISPLAY")) {
            return nullptr;
        }
        Display* display = XOpenDisplay(nullptr);
        if (!display) {
            return nullptr;
        }
        install_error_handlers();
        // Lives as long as the process; the thread ends only when the connection breaks.
        SelectionOwner* owner = new SelectionOwner(display);
        XSetIOErrorExitHandler(display, note_connection_lost, &owner->lost_);
        std::thread([owner] { owner->run(); }).detach();
        return owner;
    }

    void run() {
        while (!lost_) {
            take_pending_claim();
            while (!lost_ && XPending(display_)) {
                XEvent event;
                XNextEvent(display_, &event);
                handle(event);
            }
            expire_transfers();
            XFlush(display_);
            pollfd fds[2] = {{ConnectionNumber(display_), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
            poll(fds, 2, transfers_.empty() ? -1 : 1000);
            uint64_t count;
            (void)!read(wake_.get(), &count, sizeof(count));
        }
    }

    void take_pending_claim() {
        uint64_t generation;
        {
            std::lock_guard<std::mutex> guard(lock_);
            generation = pending_claim_;
            pending_claim_ = 0;
        }
        if (generation) {
            XSetSelectionOwner(display_, atoms_.clipboard, window_, CurrentTime);
            claimed_ = generation;
        }
    }

    void handle(XEvent& event) {
        if (event.type == SelectionRequest) {
            answer(event.xselectionrequest);
        } else if (event.type == SelectionClear && event.xselectionclear.selection == atoms_.clipboard) {
            // A clear that predates a later claim of ours is stale: the selection is ours again.
            bool claim_waiting;
            {
                std::lock_guard<std::mutex> guard(lock_);
                claim_waiting = pending_claim_ != 0;
            }
            if (!claim_waiting && XGetSelectionOwner(display_, atoms_.clipboard) != window_) {
                clipboard_ownership_lost(claimed_);
            }
        } else if (event.type == PropertyNotify && event.xproperty.state == PropertyDelete) {
            continue_transfer(event.xproperty.window, event.xproperty.atom);
        }
    }

    void answer(const XSelectionRequestEvent& request) {
        XSelectionEvent reply{};
        reply.type = SelectionNotify;
        reply.display = display_;
        reply.requestor = request.requestor;
        reply.selection = request.selection;
        reply.target = request.target;
        reply.time = request.time;
        reply.property = None;
        // Obsolete clients give no property: the target names it.
        Atom property = request.property != None ? request.property : request.target;
        if (request.selection == atoms_.clipboard && request.owner == window_) {
            if (request.target == atoms_.targets) {
                std::vector<Atom> list{atoms_.targets};
                for (const std::string& name : clipboard_export_targets()) {
                    list.push_back(XInternAtom(display_, name.c_str(), False));
                }
                XChangeProperty(display_, request.requestor, property, XA_ATOM, 32, PropModeReplace,
                                (const unsigned char*)list.data(), (int)list.size());
                reply.property = property;
            } else {
                char* name = XGetAtomName(display_, request.target);
                std::vector<uint8_t> bytes;
                if (name && clipboard_export(name, &bytes)) {
                    send_data(request.requestor, property, request.target, std::move(bytes));
                    reply.property = property;
                }
                if (name) {
                    XFree(name);
                }
            }
        }
        XSendEvent(display_, request.requestor, False, NoEventMask, (XEvent*)&reply);
    }

    void send_data(Window requestor, Atom property, Atom type, std::vector<uint8_t> bytes) {
        if (bytes.size() <= chunk_) {
            XChangeProperty(display_, requestor, property, type, 8, PropModeReplace, bytes.data(),
                            (int)bytes.size());
            return;
        }
        // Announce the size; the requestor deletes the property to ask for each chunk.
        XSelectInput(display_, requestor, PropertyChangeMask);
        long size = (long)bytes.size();
        XChangeProperty(display_, requestor, property, atoms_.incr, 32, PropModeReplace,
                        (const unsigned char*)&size, 1);
        transfers_.push_back(Transfer{requestor, property, type, std::move(bytes), 0, false, monotonic_ns()});
    }

    void continue_transfer(Window requestor, Atom property) {
        auto it = std::find_if(transfers_.begin(), transfers_.end(), [&](const Transfer& t) {
            return t.requestor == requestor && t.property == property;
        });
        if (it == transfers_.end()) {
            return;
        }
        Transfer& transfer = *it;
        size_t count = std::min(chunk_, transfer.bytes.size() - transfer.offset);
        XChangeProperty(display_, requestor, property, transfer.type, 8, PropModeReplace,
                        transfer.bytes.data() + transfer.offset, (int)count);
        transfer.offset += count;
        transfer.last_activity = monotonic_ns();
        if (count == 0) {
            end_transfer(it);
        }
    }

    void end_transfer(std::vector<Transfer>::iterator it) {
        Window requestor = it->requestor;
        transfers_.erase(it);
        bool more = std::any_of(transfers_.begin(), transfers_.end(),
                                [&](const Transfer& t) { return t.requestor == requestor; });
        if (!more) {
            XSelectInput(display_, requestor, NoEventMask);
        }
    }

    void expire_transfers() {
        uint64_t now = monotonic_ns();
        for (size_t i = transfers_.size(); i-- > 0;) {
            if (now - transfers_[i].last_activity > TRANSFER_TIMEOUT_NS) {
                end_transfer(transfers_.begin() + i);
            }
        }
    }

    std::mutex lock_;
    uint64_t pending_claim_ = 0;  // lock_
    std::atomic<bool> lost_{false};

    // Owner thread only from here on.
    Display* display_;
    Atoms atoms_;
    Window window_;
    size_t chunk_;
    UniqueFd wake_;
    uint64_t claimed_ = 0;
    std::vector<Transfer> transfers_;
};

}  // namespace

bool clipboard_x11_claim(uint64_t generation) {
    SelectionOwner* owner = SelectionOwner::instance();
    if (!owner) {
        return false;
    }
    return owner->claim(generation);
}

bool clipboard_x11_offers(const std::vector<std::string>& wanted, std::vector<std::string>* offered) {
    if (!getenv("DISPLAY")) {
        return false;
    }
    SelectionReader reader;
    Atom type = None;
    std::vector<uint8_t> bytes;
    if (!reader.read("TARGETS", &type, &bytes) || type != XA_ATOM) {
        return false;
    }
    // Compared as atoms: the list is another client's and may be long; its names are never looked up.
    std::vector<Atom> listed(bytes.size() / sizeof(long));
    memcpy(listed.data(), bytes.data(), listed.size() * sizeof(long));
    offered->clear();
    for (const std::string& name : wanted) {
        if (std::find(listed.begin(), listed.end(), reader.atom(name)) != listed.end()) {
            offered->push_back(name);
        }
    }
    return true;
}

bool clipboard_x11_read(const std::string& target, std::vector<uint8_t>* bytes) {
    if (!getenv("DISPLAY")) {
        return false;
    }
    SelectionReader reader;
    Atom type = None;
    std::vector<uint8_t> data;
    if (!reader.read(target.c_str(), &type, &data) || type == None) {
        return false;
    }
    bytes->swap(data);
    return true;
}

}  // namespace winapi_internal
