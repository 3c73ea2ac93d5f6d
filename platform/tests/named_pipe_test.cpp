#include "platform/named_pipe.h"

#include <future>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "runtime/exception.h"
#include "runtime/tests/loop_helpers.h"
#include "winapi/windows.h"
// CreateFileW's path for pipe names, until CreateFileW itself leads there.

namespace {

std::string unique_name() {
    static int counter = 0;
    return "ktw-pipe-server-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter++);
}

std::string pattern(size_t size) {
    std::string text(size, '\0');
    for (size_t i = 0; i < size; i++) {
        text[i] = (char)('a' + (i * 7 + i / 26) % 26);
    }
    return text;
}

// A client program's end of the pipe.
class Client {
public:
    explicit Client(const std::string& name) {
        std::string full = "\\\\.\\pipe\\" + name;
        std::u16string wide(full.begin(), full.end());
        _pipe = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, NULL);
        _overlapped.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    }

    ~Client() {
        close();
        CloseHandle(_overlapped.hEvent);
    }

    bool connected() const { return _pipe != INVALID_HANDLE_VALUE; }

    void close() {
        if (_pipe != INVALID_HANDLE_VALUE) {
            CloseHandle(_pipe);
            _pipe = INVALID_HANDLE_VALUE;
        }
    }

    bool write(const std::string& message) {
        DWORD bytes = 0;
        if (!WriteFile(_pipe, message.data(), (DWORD)message.size(), NULL, &_overlapped) &&
            GetLastError() != ERROR_IO_PENDING) {
            return false;
        }
        return WaitForSingleObject(_overlapped.hEvent, 2000) == WAIT_OBJECT_0 &&
               GetOverlappedResult(_pipe, &_overlapped, &bytes, FALSE) && bytes == message.size();
    }

    // Reads messages until `size` bytes came, or two seconds passed.
    std::string read_bytes(size_t size) {
        std::string text;
        std::vector<char> buffer(65536);
        while (text.size() < size) {
            DWORD bytes = 0;
            if (!ReadFile(_pipe, buffer.data(), (DWORD)buffer.size(), NULL, &_overlapped) &&
                GetLastError() != ERROR_IO_PENDING) {
                break;
            }
            if (WaitForSingleObject(_overlapped.hEvent, 2000) != WAIT_OBJECT_0) {
                CancelIo(_pipe);
                break;
            }
            if (!GetOverlappedResult(_pipe, &_overlapped, &bytes, FALSE)) {
                break;
            }
            text.append(buffer.data(), bytes);
        }
        return text;
    }

private:
    HANDLE _pipe;
    OVERLAPPED _overlapped = {};
};

// Collects what its client sends and sends what it is given, resuming writes the pipe did not take.
class TestConnection : public NamedPipe::ConnectionInterface {
public:
    explicit TestConnection(std::string greeting, bool greet_in_two_writes)
        : _greeting(std::move(greeting)), _two_writes(greet_in_two_writes) {}

    void bind(WinConnection* connection) override {
        _connection.reset(connection);
        if (_two_writes) {
            // The second write only appends while the first is in flight, and nothing is written afterwards.
            write_some(_greeting.substr(0, 1));
            write_some(_greeting.substr(1));
        } else {
            _unsent = _greeting;
            write_unsent();
        }
        read_all();
    }

    void on_data() override {
        write_unsent();
        read_all();
    }

    std::string received() {
        std::lock_guard<std::mutex> lock(_mutex);
        return _received;
    }

    bool failed() {
        std::lock_guard<std::mutex> lock(_mutex);
        return _failed;
    }

    int writes_taken_short() const { return _short_writes; }

private:
    void write_some(const std::string& text) {
        int32_t taken = _connection->write((const uint8_t*)text.data(), (uint32_t)text.size());
        EXPECT_EQ(taken, (int32_t)text.size());
    }

    void write_unsent() {
        while (!_unsent.empty()) {
            int32_t taken = _connection->write((const uint8_t*)_unsent.data(), (uint32_t)_unsent.size());
            if (taken <= 0) {
                return;
            }
            if ((size_t)taken < _unsent.size()) {
                _short_writes++;
            }
            _unsent.erase(0, (size_t)taken);
        }
    }

    void read_all() {
        uint8_t buffer[1000];
        for (;;) {
            int32_t count = _connection->read(buffer, sizeof(buffer));
            std::lock_guard<std::mutex> lock(_mutex);
            if (count < 0) {
                _failed = true;
            }
            if (count <= 0) {
                return;
            }
            _received.append((const char*)buffer, (size_t)count);
        }
    }

    std::unique_ptr<WinConnection> _connection;
    std::string _greeting;
    bool _two_writes;
    std::string _unsent;
    int _short_writes = 0;
    std::mutex _mutex;
    std::string _received;  // guarded by _mutex
    bool _failed = false;   // guarded by _mutex
};

class TestListener : public NamedPipe::ListenerInterface {
public:
    NamedPipe::ConnectionInterface* create() override {
        std::lock_guard<std::mutex> lock(_mutex);
        _connections.emplace_back(new TestConnection(greeting, greet_in_two_writes));
        return _connections.back().get();
    }

    size_t count() {
        std::lock_guard<std::mutex> lock(_mutex);
        return _connections.size();
    }

    TestConnection& connection(size_t i) {
        std::lock_guard<std::mutex> lock(_mutex);
        return *_connections.at(i);
    }

    void clear() { _connections.clear(); }

    std::string greeting;
    bool greet_in_two_writes = false;

private:
    std::mutex _mutex;
    std::vector<std::unique_ptr<TestConnection>> _connections;
};

}  // namespace

struct WinListenerTestPeer {
    static HANDLE waiting_pipe(WinListener& listener) { return listener._pipe; }
};

namespace {

class NamedPipeServerTest : public testing::Test {
protected:
    void start() {
        _listener.reset(new WinListener(_name.c_str(), _interface, _loop_thread.loop));
        _loop_thread.start();
    }

    void TearDown() override {
        int exit_code;
        _loop_thread.loop.quit(0);
        ASSERT_TRUE(_loop_thread.ended(&exit_code));
        _listener.reset();
        _interface.clear();
    }

    std::string _name = unique_name();
    TestListener _interface;
    LoopThread _loop_thread;
    std::unique_ptr<WinListener> _listener;
};

TEST_F(NamedPipeServerTest, EachClientGetsItsOwnConnectionBothWays) {
    _interface.greeting = "welcome";
    start();
    Client first(_name);
    ASSERT_TRUE(first.connected());
    ASSERT_TRUE(eventually([&] { return _interface.count() == 1; }));
    EXPECT_EQ(first.read_bytes(7), "welcome");
    ASSERT_TRUE(first.write("from the first"));
    EXPECT_TRUE(eventually([&] { return _interface.connection(0).received() == "from the first"; }));

    Client second(_name);
    ASSERT_TRUE(second.connected());
    ASSERT_TRUE(eventually([&] { return _interface.count() == 2; }));
    ASSERT_TRUE(second.write("from the second"));
    EXPECT_TRUE(eventually([&] { return _interface.connection(1).received() == "from the second"; }));
    EXPECT_EQ(_interface.connection(0).received(), "from the first");
}

TEST_F(NamedPipeServerTest, ClientsThatCameWhileTheLoopWasBusyAreServedAndAnInstanceWaitsAfter) {
    start();
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    post(_loop_thread.loop, [released](AbstractProcessLoop&) { released.wait(); });

    // The first takes the waiting instance; the second is already there when the next instance starts to
    // wait.
    Client first(_name);
    Client second(_name);
    ASSERT_TRUE(first.connected() && second.connected());
    release.set_value();
    ASSERT_TRUE(eventually([&] { return _interface.count() == 2; }));

    Client third(_name);
    ASSERT_TRUE(third.connected());
    ASSERT_TRUE(eventually([&] { return _interface.count() == 3; }));
    ASSERT_TRUE(second.write("two"));
    ASSERT_TRUE(third.write("three"));
    EXPECT_TRUE(eventually([&] {
        std::string all = _interface.connection(0).received() + _interface.connection(1).received() +
                          _interface.connection(2).received();
        return all.size() == 8;
    }));
}

TEST_F(NamedPipeServerTest, MessageLongerThanTheReadBufferArrivesWhole) {
    start();
    Client client(_name);
    ASSERT_TRUE(eventually([&] { return _interface.count() == 1; }));
    std::string message = pattern(3 * PipeBuffer::BUFFER_SIZE + 123);
    ASSERT_TRUE(client.write(message));
    ASSERT_TRUE(eventually([&] { return _interface.connection(0).received().size() >= message.size(); }));
    EXPECT_TRUE(_interface.connection(0).received() == message);
}

TEST_F(NamedPipeServerTest, WriteLongerThanTheBufferIsTakenInTurns) {
    _interface.greeting = pattern(PipeBuffer::BUFFER_SIZE + 1808);
    start();
    Client client(_name);
    ASSERT_TRUE(eventually([&] { return _interface.count() == 1; }));
    std::string got = client.read_bytes(_interface.greeting.size());
    EXPECT_TRUE(got == _interface.greeting) << got.size();
    EXPECT_EQ(_interface.connection(0).writes_taken_short(), 1);
}

TEST_F(NamedPipeServerTest, BytesAppendedWhileAWriteWasInFlightAreSent) {
    _interface.greeting = "ab";
    _interface.greet_in_two_writes = true;
    start();
    Client client(_name);
    EXPECT_EQ(client.read_bytes(2), "ab");
}

TEST_F(NamedPipeServerTest, ListenerWaitsAgainAfterAFailedConnect) {
    _listener.reset(new WinListener(_name.c_str(), _interface, _loop_thread.loop));
    // The connect was started on this thread, so this cancels it: it completes with a failure.
    HANDLE cancelled = WinListenerTestPeer::waiting_pipe(*_listener);
    ASSERT_TRUE(CancelIo(cancelled));
    _loop_thread.start();
    // A client that came before the listener saw the failure would meet the failed instance.
    auto waiting_pipe = [this] {
        std::promise<HANDLE> pipe;
        post(_loop_thread.loop,
             [&](AbstractProcessLoop&) { pipe.set_value(WinListenerTestPeer::waiting_pipe(*_listener)); });
        return pipe.get_future().get();
    };
    ASSERT_TRUE(eventually([&] { return waiting_pipe() != cancelled; }));

    Client client(_name);
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(eventually([&] { return _interface.count() == 1; }));
    ASSERT_TRUE(client.write("after the failure"));
    EXPECT_TRUE(eventually([&] { return _interface.connection(0).received() == "after the failure"; }));
}

TEST_F(NamedPipeServerTest, ClientThatLeavesFailsTheNextRead) {
    start();
    Client client(_name);
    ASSERT_TRUE(eventually([&] { return _interface.count() == 1; }));
    ASSERT_TRUE(client.write("bye"));
    client.close();
    EXPECT_TRUE(eventually([&] { return _interface.connection(0).failed(); }));
    EXPECT_EQ(_interface.connection(0).received(), "bye");
}

TEST_F(NamedPipeServerTest, NameThatCannotBeServedThrows) {
    std::string long_name(300, 'x');
    EXPECT_THROW(WinListener(long_name.c_str(), _interface, _loop_thread.loop), Exception);
    _loop_thread.start();  // for TearDown
}

}  // namespace
