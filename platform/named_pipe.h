// A server for local named pipes in message mode, driven by a loop: a listener keeps one pipe instance
// waiting for a client at all times and hands each connected instance to a handler its user creates; the
// handler reads and writes through buffers that never block. Overlapped completions are sources of the loop,
// so every call-back runs on the loop's thread.
#pragma once

#include "runtime/event_sources.h"
#include "runtime/process_loop.h"
#include "winapi/windows.h"

#include <cstdint>
#include <string>

class WinConnection;

namespace NamedPipe {

// Serves one connected client.
class ConnectionInterface {
public:
    virtual ~ConnectionInterface() {}
    // The connection this handler serves. The handler's owner ends it by deleting it.
    virtual void bind(WinConnection* connection) = 0;
    // A read or a write completed: read or write again.
    virtual void on_data() = 0;
};

class ListenerInterface {
public:
    virtual ~ListenerInterface() {}
    // The handler for a client that has just connected.
    virtual ConnectionInterface* create() = 0;
};

}  // namespace NamedPipe

// One direction of a connection: a fixed buffer and at most one overlapped operation in flight.
class PipeBuffer : public EventSources::Handle {
public:
    static const uint32_t BUFFER_SIZE = 8192;

    PipeBuffer(HANDLE pipe, ProcessLoop& loop);
    virtual ~PipeBuffer();

    void set_handler(NamedPipe::ConnectionInterface* handler) { _handler = handler; }

protected:
    NamedPipe::ConnectionInterface* _handler;
    OVERLAPPED _overlapped;
    HANDLE _pipe;
    uint32_t _start;  // first byte not yet consumed (read) or sent (write)
    uint32_t _end;    // one past the last byte
    uint8_t _data[BUFFER_SIZE];
    bool _pending;
    ProcessLoop& _loop;
};

class PipeReader : public PipeBuffer {
public:
    PipeReader(HANDLE pipe, ProcessLoop& loop) : PipeBuffer(pipe, loop) {}

    // Copies buffered input: the count, 0 when nothing is there yet (a read is then in flight and on_data
    // follows), -1 when the pipe failed.
    int32_t read(uint8_t* destination, uint32_t size);
    void on_event() override;
};

class PipeWriter : public PipeBuffer {
public:
    PipeWriter(HANDLE pipe, ProcessLoop& loop) : PipeBuffer(pipe, loop) {}

    // Takes what fits in the buffer and sends it: the count taken (fewer than size, even 0, when the buffer
    // is full; on_data follows once it has drained), -1 when the pipe failed.
    int32_t write(const uint8_t* source, uint32_t size);
    void on_event() override;

private:
    bool start_write();
};

// One connected client. Loop thread only.
class WinConnection {
public:
    WinConnection(HANDLE pipe, ProcessLoop& loop);
    // Disconnects the client and closes the pipe instance.
    ~WinConnection();

    WinConnection(const WinConnection&) = delete;
    WinConnection& operator=(const WinConnection&) = delete;

    void set_handler(NamedPipe::ConnectionInterface* handler);
    int32_t read(uint8_t* destination, uint32_t size) { return _reader.read(destination, size); }
    int32_t write(const uint8_t* source, uint32_t size) { return _writer.write(source, size); }

private:
    HANDLE _pipe;
    PipeWriter _writer;
    PipeReader _reader;
};

// Loop thread (or before the loop runs). Serves "\\.\pipe\<name>".
class WinListener : public EventSources::Handle {
public:
    WinListener(const char* name, NamedPipe::ListenerInterface& listener_interface, ProcessLoop& loop);
    ~WinListener() override;

    WinListener(const WinListener&) = delete;
    WinListener& operator=(const WinListener&) = delete;

    void on_event() override;

private:
    friend struct WinListenerTestPeer;

    void create_pipe();
    void serve_connected_pipe();

    NamedPipe::ListenerInterface& _listener_interface;
    std::u16string _pipe_name;
    OVERLAPPED _overlapped;
    HANDLE _pipe;  // the instance waiting for a client; INVALID_HANDLE_VALUE when none is
    ProcessLoop& _loop;
};
