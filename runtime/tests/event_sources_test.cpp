#include "loop_helpers.h"

#include "runtime/exception.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>

using testing::HasSubstr;

namespace {

class CountingTrigger : public EventSources::Trigger {
public:
    void on_event() override { served++; }
    std::atomic<int> served{0};
};

// Reads whatever the socket holds each time its event is signalled.
class ReadingSocket : public EventSources::Socket {
public:
    explicit ReadingSocket(SOCKET socket) : _socket(socket) {}
    SOCKET get_socket() override { return _socket; }
    void on_event() override {
        char buffer[64];
        int n;
        while ((n = recv(_socket, buffer, sizeof(buffer), 0)) > 0) {
            received += n;
        }
    }
    std::atomic<int> received{0};

private:
    SOCKET _socket;
};

// A connected pair of loopback TCP sockets.
class SocketPair {
public:
    SocketPair() {
        WSADATA data;
        EXPECT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
        SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int length = sizeof(address);
        EXPECT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        EXPECT_EQ(listen(listener, 1), 0);
        EXPECT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
        ours = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        EXPECT_EQ(connect(ours, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        theirs = accept(listener, nullptr, nullptr);
        EXPECT_NE(theirs, INVALID_SOCKET);
        closesocket(listener);
    }
    ~SocketPair() {
        closesocket(ours);
        closesocket(theirs);
        WSACleanup();
    }

    SOCKET ours;
    SOCKET theirs;
};

TEST(EventSourcesTest, SocketAndTriggerSignalledTogetherAreBothServed) {
    SocketPair sockets;
    ReadingSocket socket_source(sockets.ours);
    CountingTrigger trigger;
    LoopThread thread;
    thread.loop.add_socket(socket_source);
    thread.loop.add_trigger(trigger);
    thread.start();
    thread.wait_running();

    ASSERT_EQ(send(sockets.theirs, "hello", 5, 0), 5);
    trigger.trigger();
    EXPECT_TRUE(eventually([&] { return socket_source.received == 5 && trigger.served == 1; }));

    thread.loop.quit(0);
    int exit_code;
    ASSERT_TRUE(thread.ended(&exit_code));
    thread.loop.remove_trigger(trigger);
    thread.loop.remove_socket(socket_source);

    // The socket is blocking again: a receive waits for the peer's bytes rather than failing at once.
    std::thread late_sender([&] {
        Sleep(50);
        send(sockets.theirs, "x", 1, 0);
    });
    char byte;
    EXPECT_EQ(recv(sockets.ours, &byte, 1, 0), 1);
    late_sender.join();
}

TEST(EventSourcesTest, SocketClosedBeforeItsRemovalIsStillRemoved) {
    SocketPair sockets;
    ReadingSocket socket_source(sockets.ours);
    ProcessLoop loop(nullptr);
    loop.add_socket(socket_source);
    closesocket(sockets.ours);
    try {
        loop.remove_socket(socket_source);
        ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
        EXPECT_THAT(e.what(), HasSubstr("event select failed{exception "));
    }
    // The loop no longer holds the source its owner is about to destroy.
    EXPECT_THROW(loop.remove_socket(socket_source), Exception);
    sockets.ours = INVALID_SOCKET;
}

class NoSocket : public EventSources::Socket {
public:
    SOCKET get_socket() override { return INVALID_SOCKET; }
    void on_event() override {}
};

class PlainHandle : public EventSources::Handle {
public:
    PlainHandle() : Handle(CreateEventW(NULL, FALSE, FALSE, NULL)) {}
    void on_event() override {}
};

TEST(EventSourcesTest, RemovingAnUnknownSourceThrows) {
    ProcessLoop loop(nullptr);
    CountingTrigger trigger;
    PlainHandle handle;
    NoSocket socket;
    const struct {
        const char* name;
        std::function<void()> remove;
        const char* text;
    } cases[] = {
        {"trigger", [&] { loop.remove_trigger(trigger); }, "event not found{exception "},
        {"handle", [&] { loop.remove_handle(handle); }, "event not found{exception "},
        {"socket", [&] { loop.remove_socket(socket); }, "socket not found{exception "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            c.remove();
            ADD_FAILURE() << "no exception";
        } catch (const Exception& e) {
            EXPECT_THAT(e.what(), HasSubstr(c.text));
            EXPECT_EQ(e.get_error_code(), 1);
        }
    }
}

// Stands for a tunnelled connection holding deciphered messages its socket will not signal again.
class TunnelledSource : public EventSources::Trigger {
public:
    TunnelledSource(int messages, bool reads) : _pending(messages), _reads(reads) { set_tunnelled(true); }
    uint64_t tunnel_pending_bytes() const override { return _pending * 100; }
    void on_event() override {
        calls++;
        if (_reads && _pending > 0) {
            _pending--;
        }
        // A loop that spins on a source that reads nothing is stopped here so the test can report it.
        if (calls > 1000) {
            _pending = 0;
        }
    }
    std::atomic<int> calls{0};

private:
    std::atomic<int> _pending;
    bool _reads;
};

TEST(EventSourcesTest, TunnelledMessagesAreReadBeforeTheLoopWaits) {
    TunnelledSource source(3, true);
    LoopThread thread;
    thread.loop.add_trigger(source);
    thread.start();
    // Nothing signals the source: only the drain before the wait can read the messages.
    EXPECT_TRUE(eventually([&] { return source.tunnel_pending_bytes() == 0; }));
    EXPECT_EQ(source.calls, 3);
    thread.loop.quit(0);
    int exit_code;
    ASSERT_TRUE(thread.ended(&exit_code));
    thread.loop.remove_trigger(source);
}

TEST(EventSourcesTest, TunnelledSourceThatReadsNothingIsNotServedForever) {
    TunnelledSource source(3, false);
    LoopThread thread;
    thread.loop.add_trigger(source);
    thread.start();
    thread.wait_running();
    Sleep(50);
    EXPECT_LT(source.calls, 10);
    thread.loop.quit(0);
    int exit_code;
    ASSERT_TRUE(thread.ended(&exit_code));
    thread.loop.remove_trigger(source);
}

// A connection that ends while its deciphered bytes are read: its owner removes and destroys it.
class ClosingTunnelledSource : public EventSources::Trigger {
public:
    ClosingTunnelledSource(ProcessLoop& loop, std::atomic<bool>& closed) : _loop(loop), _closed(closed) {
        set_tunnelled(true);
    }
    uint64_t tunnel_pending_bytes() const override { return 100; }
    void on_event() override {
        _loop.remove_trigger(*this);
        _closed = true;
        delete this;
    }

private:
    ProcessLoop& _loop;
    std::atomic<bool>& _closed;
};

TEST(EventSourcesTest, TunnelledSourceRemovedWhileDrainedIsNotTouchedAgain) {
    std::atomic<bool> closed{false};
    LoopThread thread;
    thread.loop.add_trigger(*new ClosingTunnelledSource(thread.loop, closed));
    thread.start();
    EXPECT_TRUE(eventually([&] { return closed.load(); }));
    thread.loop.quit(0);
    int exit_code;
    ASSERT_TRUE(thread.ended(&exit_code));
}

}  // namespace
