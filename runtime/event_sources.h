// What a loop waits on: triggers, handles and sockets, served one per wait together with the thread's
// window-message queue.
#pragma once

#include "winapi/windows.h"
#include "winapi/winsock2.h"

#include <cstdint>
#include <vector>

class EventSource {
public:
    EventSource() : _tunnel(0) {}
    virtual ~EventSource() {}

    virtual void on_event() = 0;
    // What the loop calls when the source's handle is signalled.
    virtual void action() { on_event(); }

    // Bytes that a tunnelled connection already took off its socket and deciphered but nobody has read yet.
    // They do not signal the socket again, so the loop calls on_event while this count keeps falling.
    virtual uint64_t tunnel_pending_bytes() const { return 0; }
    bool is_tunnelled() const { return _tunnel != 0; }

protected:
    void set_tunnelled(bool tunnelled) { _tunnel = tunnelled ? 1 : 0; }

private:
    uint32_t _tunnel;
};

// Owner of one Windows handle, closed with the owner.
class Handle_p {
public:
    explicit Handle_p(HANDLE handle) : _handle(handle) {}
    virtual ~Handle_p();

    Handle_p(const Handle_p&) = delete;
    Handle_p& operator=(const Handle_p&) = delete;

    HANDLE get_handle() const { return _handle; }

protected:
    HANDLE _handle;
};

class Trigger_p : public Handle_p {
public:
    Trigger_p();  // an unnamed auto-reset event, not signalled
};

class EventSources_p {
protected:
    EventSources_p() = default;
    ~EventSources_p() = default;

    void add_event(EventSource* source, HANDLE handle);
    void remove_event(EventSource* source);
    // Pumps the thread's window messages; false when WM_QUIT was taken.
    bool process_system_events();

    std::vector<EventSource*> _events;  // not owned; index i belongs to _handles[i]
    std::vector<HANDLE> _handles;
};

// Loop thread only (or before the loop runs). Sources are not owned: their owners remove them before
// destroying them. Source 0 is the loop's wakeup trigger.
class EventSources : private EventSources_p {
public:
    class Trigger;
    class Handle;
    class Socket;

    EventSources() = default;

    EventSources(const EventSources&) = delete;
    EventSources& operator=(const EventSources&) = delete;

    void add_trigger(Trigger& trigger);
    void remove_trigger(Trigger& trigger);
    void add_handle(Handle& handle);
    void remove_handle(Handle& handle);
    // Selects FD_READ, FD_WRITE and FD_CLOSE on an event of our own, which makes the socket non-blocking;
    // removing it makes the socket blocking again.
    void add_socket(Socket& socket);
    void remove_socket(Socket& socket);

    // Waits at most timeout_ms for a source or a window message and serves one source (the lowest signalled)
    // or every pending message. False when WM_QUIT was taken.
    bool wait_events(uint32_t timeout_ms);

    // Serves each tunnelled source while its tunnel holds unread bytes, stopping a source that made no
    // progress in a call.
    void drain_tunnelled();
};

class EventSources::Trigger : public EventSource, protected Trigger_p {
public:
    // Any thread. Fires on an auto-reset event: several fires before one wait count once.
    virtual void trigger();
    virtual void reset();

private:
    friend class EventSources;
};

// A source over a Windows handle its creator made; the source closes it.
class EventSources::Handle : public EventSource, protected Handle_p {
public:
    explicit Handle(HANDLE handle) : Handle_p(handle) {}

private:
    friend class EventSources;
};

class EventSources::Socket : public EventSource {
public:
    virtual SOCKET get_socket() = 0;
};
