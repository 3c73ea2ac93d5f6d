#include "platform/named_pipe.h"

#include "runtime/exception.h"
#include "runtime/log.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace {

const DWORD PIPE_TIMEOUT_MS = 5000;

HANDLE create_event() {
    HANDLE event = CreateEventW(NULL, FALSE, FALSE, NULL);
    if (!event) {
        THROW("create event failed");
    }
    return event;
}

}  // namespace

PipeBuffer::PipeBuffer(HANDLE pipe, ProcessLoop& loop)
    : EventSources::Handle(create_event()),
      _handler(NULL),
      _pipe(pipe),
      _start(0),
      _end(0),
      _pending(false),
      _loop(loop) {
    memset(&_overlapped, 0, sizeof(_overlapped));
    _overlapped.hEvent = get_handle();
    _loop.add_handle(*this);
}

PipeBuffer::~PipeBuffer() {
    _loop.remove_handle(*this);
}

int32_t PipeReader::read(uint8_t* destination, uint32_t size) {
    if (_start < _end) {
        uint32_t count = std::min(size, _end - _start);
        memcpy(destination, _data + _start, count);
        _start += count;
        if (_start == _end) {
            _start = _end = 0;
        }
        return (int32_t)count;
    }
    if (_pending) {
        return 0;
    }
    // Even a read that completes at once is collected through the event, by on_event. A message longer
    // than the buffer fills it; its rest comes with the next read.
    if (!ReadFile(_pipe, _data + _end, BUFFER_SIZE - _end, NULL, &_overlapped) &&
        GetLastError() != ERROR_IO_PENDING && GetLastError() != ERROR_MORE_DATA) {
        LOG_DEBUG("ReadFile() failed %u", GetLastError());
        return -1;
    }
    _pending = true;
    return 0;
}

void PipeReader::on_event() {
    DWORD bytes = 0;
    if (GetOverlappedResult(_pipe, &_overlapped, &bytes, FALSE) || GetLastError() == ERROR_MORE_DATA) {
        _end += bytes;
    }
    _pending = false;
    _handler->on_data();
}

int32_t PipeWriter::write(const uint8_t* source, uint32_t size) {
    if (!_pending && _start == _end) {
        _start = _end = 0;
    }
    uint32_t count = std::min(size, BUFFER_SIZE - _end);
    memcpy(_data + _end, source, count);
    _end += count;
    if (!_pending && _start < _end && !start_write()) {
        return -1;
    }
    return (int32_t)count;
}

bool PipeWriter::start_write() {
    if (!WriteFile(_pipe, _data + _start, _end - _start, NULL, &_overlapped) &&
        GetLastError() != ERROR_IO_PENDING) {
        LOG_DEBUG("WriteFile() failed %u", GetLastError());
        return false;
    }
    _pending = true;
    return true;
}

void PipeWriter::on_event() {
    DWORD bytes = 0;
    bool sent = GetOverlappedResult(_pipe, &_overlapped, &bytes, FALSE) && bytes > 0;
    _pending = false;
    if (!sent) {
        _handler->on_data();
        return;
    }
    _start += bytes;
    // Bytes appended while this write was in flight go out now: the handler may never write again.
    if (_start < _end) {
        if (!start_write()) {
            _handler->on_data();  // its next write reports the failure
        }
        return;
    }
    if (_start == BUFFER_SIZE) {
        _handler->on_data();  // the buffer was full and is empty again
    }
}

WinConnection::WinConnection(HANDLE pipe, ProcessLoop& loop)
    : _pipe(pipe), _writer(pipe, loop), _reader(pipe, loop) {}

WinConnection::~WinConnection() {
    // Fails the buffers' operations still in flight before their records go.
    if (!DisconnectNamedPipe(_pipe)) {
        LOG_DEBUG("DisconnectNamedPipe failed %d", (int)GetLastError());
    }
    CloseHandle(_pipe);
}

void WinConnection::set_handler(NamedPipe::ConnectionInterface* handler) {
    _writer.set_handler(handler);
    _reader.set_handler(handler);
}

WinListener::WinListener(const char* name, NamedPipe::ListenerInterface& listener_interface,
                         ProcessLoop& loop)
    : EventSources::Handle(create_event()),
      _listener_interface(listener_interface),
      _pipe_name(u"\\\\.\\pipe\\"),
      _pipe(INVALID_HANDLE_VALUE),
      _loop(loop) {
    int length = MultiByteToWideChar(CP_ACP, 0, name, -1, NULL, 0);
    if (length > 1) {
        std::u16string wide((size_t)length, u'\0');
        MultiByteToWideChar(CP_ACP, 0, name, -1, &wide[0], length);
        wide.resize((size_t)length - 1);
        _pipe_name += wide;
    }
    memset(&_overlapped, 0, sizeof(_overlapped));
    _overlapped.hEvent = get_handle();
    _loop.add_handle(*this);
    try {
        create_pipe();
    } catch (...) {
        _loop.remove_handle(*this);
        if (_pipe != INVALID_HANDLE_VALUE) {
            CloseHandle(_pipe);
        }
        throw;
    }
}

WinListener::~WinListener() {
    if (_pipe != INVALID_HANDLE_VALUE) {
        CancelIo(_pipe);
        CloseHandle(_pipe);
    }
    _loop.remove_handle(*this);
}

void WinListener::create_pipe() {
    for (;;) {
        _pipe =
            CreateNamedPipeW(_pipe_name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                             PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES,
                             PipeBuffer::BUFFER_SIZE, PipeBuffer::BUFFER_SIZE, PIPE_TIMEOUT_MS, NULL);
        if (_pipe == INVALID_HANDLE_VALUE) {
            THROW("CreateNamedPipe() failed %u", GetLastError());
        }
        if (ConnectNamedPipe(_pipe, &_overlapped)) {
            THROW("ConnectNamedPipe() is not pending");
        }
        switch (GetLastError()) {
            case ERROR_IO_PENDING:
                LOG_DEBUG("Pipe waits for connection");
                return;
            case ERROR_PIPE_CONNECTED:
                LOG_DEBUG("Pipe already connected");
                serve_connected_pipe();
                break;  // and the next instance waits
            default:
                THROW("ConnectNamedPipe() failed %u", GetLastError());
        }
    }
}

void WinListener::serve_connected_pipe() {
    HANDLE pipe = _pipe;
    _pipe = INVALID_HANDLE_VALUE;
    LOG_DEBUG("Pipe connected 0x%p", pipe);
    std::unique_ptr<WinConnection> connection(new WinConnection(pipe, _loop));
    NamedPipe::ConnectionInterface* handler = _listener_interface.create();
    connection->set_handler(handler);
    handler->bind(connection.release());
}

void WinListener::on_event() {
    DWORD bytes;
    if (!GetOverlappedResult(_pipe, &_overlapped, &bytes, FALSE)) {
        // This instance failed; the name must still be served, so a fresh one waits instead.
        LOG_DEBUG("GetOverlappedResult() failed %u", GetLastError());
        CloseHandle(_pipe);
        _pipe = INVALID_HANDLE_VALUE;
    } else {
        serve_connected_pipe();
    }
    // A failure to wait again ends this listener only: it must not end the loop that serves the session.
    try {
        create_pipe();
    } catch (const Exception& e) {
        LOG_ERROR("named pipe listener stopped: %s", e.what());
        if (_pipe != INVALID_HANDLE_VALUE) {
            CloseHandle(_pipe);
            _pipe = INVALID_HANDLE_VALUE;
        }
    }
}
