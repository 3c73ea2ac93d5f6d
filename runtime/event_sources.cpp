#include "runtime/event_sources.h"

#include "runtime/exception.h"
#include "runtime/log.h"

#include <algorithm>

namespace {

// Keys, mouse moves and buttons, posted messages, timers, paint, sent messages and hot keys.
const DWORD kWakeMask = QS_KEY | QS_MOUSEMOVE | QS_MOUSEBUTTON | QS_POSTMESSAGE | QS_TIMER | QS_PAINT |
                        QS_SENDMESSAGE | QS_HOTKEY;

}  // namespace

Handle_p::~Handle_p() {
    if (_handle) {
        CloseHandle(_handle);
    }
}

Trigger_p::Trigger_p() : Handle_p(CreateEventW(NULL, FALSE, FALSE, NULL)) {
    if (!_handle) {
        THROW("create event failed");
    }
}

void EventSources::Trigger::trigger() {
    if (!SetEvent(_handle)) {
        THROW("set event failed");
    }
}

void EventSources::Trigger::reset() {
    if (!ResetEvent(_handle)) {
        THROW("set event failed");
    }
}

void EventSources_p::add_event(EventSource* source, HANDLE handle) {
    _events.push_back(source);
    _handles.push_back(handle);
}

void EventSources_p::remove_event(EventSource* source) {
    auto it = std::find(_events.begin(), _events.end(), source);
    if (it == _events.end()) {
        THROW("event not found");
    }
    _handles.erase(_handles.begin() + (it - _events.begin()));
    _events.erase(it);
}

bool EventSources_p::process_system_events() {
    MSG msg;
    while (PeekMessageW(&msg, NULL, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            LOG_INFO("recv msg WM_QUIT");
            return false;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return true;
}

void EventSources::add_trigger(Trigger& trigger) {
    add_event(&trigger, trigger.get_handle());
}

void EventSources::remove_trigger(Trigger& trigger) {
    remove_event(&trigger);
}

void EventSources::add_handle(Handle& handle) {
    add_event(&handle, handle.get_handle());
}

void EventSources::remove_handle(Handle& handle) {
    remove_event(&handle);
}

void EventSources::add_socket(Socket& socket) {
    HANDLE event = CreateEventW(NULL, FALSE, FALSE, NULL);
    if (!event) {
        THROW("create event failed");
    }
    if (WSAEventSelect(socket.get_socket(), event, FD_READ | FD_WRITE | FD_CLOSE) == SOCKET_ERROR) {
        CloseHandle(event);
        THROW("event select failed");
    }
    add_event(&socket, event);
}

void EventSources::remove_socket(Socket& socket) {
    auto it = std::find(_events.begin(), _events.end(), &socket);
    if (it == _events.end()) {
        THROW("socket not found");
    }
    // The entry goes whatever the socket calls report: its owner is about to destroy the source, and a
    // failure must not leave the loop serving a dead object.
    size_t index = it - _events.begin();
    HANDLE event = _handles[index];
    _events.erase(it);
    _handles.erase(_handles.begin() + index);

    bool selected = WSAEventSelect(socket.get_socket(), NULL, 0) != SOCKET_ERROR;
    u_long non_blocking = 0;
    bool blocking = selected && ioctlsocket(socket.get_socket(), FIONBIO, &non_blocking) != SOCKET_ERROR;
    CloseHandle(event);
    if (!selected) {
        THROW("event select failed");
    }
    if (!blocking) {
        THROW("set blocking mode failed");
    }
}

bool EventSources::wait_events(uint32_t timeout_ms) {
    DWORD count = static_cast<DWORD>(_handles.size());
    DWORD wait_res = MsgWaitForMultipleObjectsEx(count, _handles.data(), timeout_ms, kWakeMask, 0);
    if (wait_res == WAIT_TIMEOUT) {
        return true;
    }
    if (wait_res == WAIT_FAILED) {
        THROW("MsgWaitForMultipleObjectsEx failed %d", static_cast<int>(GetLastError()));
    }
    if (wait_res == WAIT_OBJECT_0 + count) {
        return process_system_events();
    }
    if (wait_res < WAIT_OBJECT_0 + count) {
        _events[wait_res - WAIT_OBJECT_0]->action();
        drain_tunnelled();
        return true;
    }
    THROW("invalid event id:%d", static_cast<int>(wait_res));
}

void EventSources::drain_tunnelled() {
    size_t count = _events.size();
    for (size_t i = 0; i < count && i < _events.size(); i++) {
        EventSource* source = _events[i];
        if (!source->is_tunnelled()) {
            continue;
        }
        uint64_t pending = source->tunnel_pending_bytes();
        while (pending > 0) {
            source->on_event();
            // on_event may have removed the source (its connection ended); it may be gone.
            if (i >= _events.size() || _events[i] != source) {
                break;
            }
            uint64_t left = source->tunnel_pending_bytes();
            // A call that read nothing would spin here forever.
            if (left >= pending) {
                break;
            }
            pending = left;
        }
    }
}
