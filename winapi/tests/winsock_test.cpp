#include "winapi/mstcpip.h"
#include "winapi/synchapi.h"
#include "winapi/winsock2.h"
#include "winapi/ws2tcpip.h"

// The errno table and the Linux view of the keep-alive settings.
#include "../src/winsock_internal.h"

// A POSIX header after the Winsock ones must still see the system's own types.
#include <sys/resource.h>

#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

bool signalled(HANDLE event, DWORD ms) {
    return WaitForSingleObject(event, ms) == WAIT_OBJECT_0;
}

sockaddr_in loopback(u_short port) {
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

class WinsockTest : public testing::Test {
protected:
    void SetUp() override {
        WSADATA data;
        ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    }
    // The last WSACleanup closes every socket still open.
    void TearDown() override {
        for (HANDLE event : events_) {
            CloseHandle(event);
        }
        EXPECT_EQ(WSACleanup(), 0);
    }

    HANDLE auto_event() {
        HANDLE event = CreateEventW(NULL, FALSE, FALSE, NULL);
        events_.push_back(event);
        return event;
    }

    // A listening loopback socket; its address in *address.
    SOCKET listener(sockaddr_in* address) {
        SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        *address = loopback(0);
        int length = sizeof *address;
        EXPECT_EQ(bind(s, reinterpret_cast<sockaddr*>(address), sizeof *address), 0);
        EXPECT_EQ(listen(s, 4), 0);
        EXPECT_EQ(getsockname(s, reinterpret_cast<sockaddr*>(address), &length), 0);
        return s;
    }

    // A connected pair: *client connected, *server accepted.
    void connected_pair(SOCKET* client, SOCKET* server) {
        sockaddr_in address;
        SOCKET l = listener(&address);
        *client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        ASSERT_EQ(connect(*client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        sockaddr_in peer = {};
        int length = sizeof peer;
        *server = accept(l, reinterpret_cast<sockaddr*>(&peer), &length);
        ASSERT_NE(*server, INVALID_SOCKET);
        EXPECT_EQ(length, static_cast<int>(sizeof peer));
        EXPECT_EQ(peer.sin_family, AF_INET);
        EXPECT_EQ(peer.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
        closesocket(l);
    }

    // A loopback address that refuses connections: bound, never listening, and kept so while the test runs.
    sockaddr_in refusing_address() {
        SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address = loopback(0);
        int length = sizeof address;
        EXPECT_EQ(bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(getsockname(s, reinterpret_cast<sockaddr*>(&address), &length), 0);
        return address;
    }

    // Reads exactly size bytes from a blocking socket.
    std::string receive_all(SOCKET s, size_t size) {
        std::string data;
        char buffer[65536];
        while (data.size() < size) {
            int n = recv(s, buffer, static_cast<int>(std::min(sizeof buffer, size - data.size())), 0);
            if (n <= 0) {
                break;
            }
            data.append(buffer, static_cast<size_t>(n));
        }
        return data;
    }

private:
    std::vector<HANDLE> events_;
};

TEST(WinsockStartupTest, IsCountedAndGuardsEveryCall) {
    EXPECT_EQ(socket(AF_INET, SOCK_STREAM, 0), INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
    ADDRINFOA* result = nullptr;
    EXPECT_EQ(getaddrinfo("127.0.0.1", "80", nullptr, &result), WSANOTINITIALISED);
    EXPECT_EQ(WSACleanup(), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);

    WSADATA data;
    EXPECT_EQ(WSAStartup(MAKEWORD(0, 0), &data), WSAVERNOTSUPPORTED);
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    EXPECT_EQ(data.wVersion, MAKEWORD(2, 2));
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    EXPECT_EQ(WSACleanup(), 0);

    SOCKET left_open = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_NE(left_open, INVALID_SOCKET);
    EXPECT_EQ(WSACleanup(), 0);
    EXPECT_EQ(closesocket(left_open), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);

    // The last cleanup closed it.
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    EXPECT_EQ(closesocket(left_open), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
    EXPECT_EQ(WSACleanup(), 0);
}

TEST_F(WinsockTest, ReadIsRecordedAgainAfterEachReceiveWhileDataRemains) {
    SOCKET client, server;
    connected_pair(&client, &server);
    HANDLE event = auto_event();
    ASSERT_EQ(WSAEventSelect(client, event, FD_READ | FD_WRITE | FD_CLOSE), 0);
    EXPECT_TRUE(signalled(event, 2000)) << "FD_WRITE of a connected socket";
    EXPECT_FALSE(signalled(event, 50)) << "an idle writable socket keeps signalling";

    ASSERT_EQ(send(server, "0123456789", 10, 0), 10);
    EXPECT_TRUE(signalled(event, 2000));
    EXPECT_FALSE(signalled(event, 50)) << "FD_READ recorded twice without a receive";

    char buffer[16];
    ASSERT_EQ(recv(client, buffer, 4, 0), 4);
    EXPECT_TRUE(signalled(event, 0)) << "data remains after the receive";
    ASSERT_EQ(recv(client, buffer, sizeof buffer, 0), 6);
    EXPECT_FALSE(signalled(event, 50)) << "drained, yet recorded again";

    // The selection made the socket non-blocking.
    EXPECT_EQ(recv(client, buffer, sizeof buffer, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    EXPECT_FALSE(signalled(event, 50));
}

TEST_F(WinsockTest, WriteIsRecordedAgainOnlyAfterASendWouldBlock) {
    SOCKET client, server;
    connected_pair(&client, &server);
    int small = 4096;
    ASSERT_EQ(setsockopt(client, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<char*>(&small), sizeof small), 0);
    ASSERT_EQ(setsockopt(server, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&small), sizeof small), 0);
    HANDLE event = auto_event();
    ASSERT_EQ(WSAEventSelect(client, event, FD_READ | FD_WRITE | FD_CLOSE), 0);
    ASSERT_TRUE(signalled(event, 2000));

    ASSERT_EQ(send(client, "hello", 5, 0), 5);
    EXPECT_FALSE(signalled(event, 50)) << "FD_WRITE after a successful send";

    std::vector<char> chunk(65536, 'x');
    size_t total = 5;
    int result = 0;
    for (int i = 0; i < 10000; ++i) {
        result = send(client, chunk.data(), static_cast<int>(chunk.size()), 0);
        if (result == SOCKET_ERROR) {
            break;
        }
        total += static_cast<size_t>(result);
    }
    ASSERT_EQ(result, SOCKET_ERROR);
    ASSERT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    EXPECT_FALSE(signalled(event, 50)) << "no room yet";

    EXPECT_EQ(receive_all(server, total).size(), total);
    EXPECT_TRUE(signalled(event, 2000)) << "room again after the would-block send";
}

TEST_F(WinsockTest, WriteIsRecordedWhenANonBlockingConnectCompletes) {
    sockaddr_in address;
    SOCKET l = listener(&address);
    SOCKET client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    HANDLE event = auto_event();
    ASSERT_EQ(WSAEventSelect(client, event, FD_READ | FD_WRITE | FD_CLOSE), 0);
    EXPECT_FALSE(signalled(event, 50)) << "an unconnected socket is neither writable nor closed";

    int result = connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address);
    EXPECT_TRUE(result == 0 || WSAGetLastError() == WSAEWOULDBLOCK) << WSAGetLastError();
    EXPECT_NE(accept(l, nullptr, nullptr), INVALID_SOCKET);
    EXPECT_TRUE(signalled(event, 2000));
    EXPECT_FALSE(signalled(event, 50));
}

void ignore_signal(int) {}

TEST_F(WinsockTest, ABlockingConnectInterruptedBySignalsStillConnects) {
    // A listener whose queue is full drops new connection requests, so that a blocking connect waits for the
    // retransmission of its request and signals can reach it meanwhile.
    sockaddr_in address;
    SOCKET l = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    address = loopback(0);
    int length = sizeof address;
    ASSERT_EQ(bind(l, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(l, 0), 0);
    ASSERT_EQ(getsockname(l, reinterpret_cast<sockaddr*>(&address), &length), 0);
    bool full = false;
    for (int i = 0; i < 8 && !full; ++i) {
        SOCKET filler = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        u_long non_blocking = 1;
        ASSERT_EQ(ioctlsocket(filler, FIONBIO, &non_blocking), 0);
        connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address);
        fd_set writable;
        FD_ZERO(&writable);
        FD_SET(filler, &writable);
        timeval wait = {0, 300000};
        full = select(0, nullptr, &writable, nullptr, &wait) == 0;
    }
    ASSERT_TRUE(full) << "the listener's queue never filled";

    // No SA_RESTART: the signal interrupts the system call.
    struct sigaction handler = {}, previous = {};
    handler.sa_handler = ignore_signal;
    sigemptyset(&handler.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &handler, &previous), 0);
    SOCKET client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    std::atomic<bool> done{false};
    int result = 0, error = 0;
    std::thread caller([&] {
        result = connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address);
        error = WSAGetLastError();
        done = true;
    });
    pthread_t caller_thread = caller.native_handle();
    // Signals while the request is dropped, then room in the queue (accepting every connection that comes)
    // and signals still, until the connect returns.
    for (int round = 0; round < 2000 && !done; ++round) {
        pthread_kill(caller_thread, SIGUSR1);
        if (round >= 15) {
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(l, &readable);
            timeval wait = {0, 0};
            if (select(0, &readable, nullptr, nullptr, &wait) == 1) {
                EXPECT_NE(accept(l, nullptr, nullptr), INVALID_SOCKET);
            }
        }
        Sleep(20);
    }
    caller.join();
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_EQ(result, 0) << "error " << error;
    sockaddr_in peer = {};
    length = sizeof peer;
    EXPECT_EQ(getpeername(client, reinterpret_cast<sockaddr*>(&peer), &length), 0);
    EXPECT_EQ(peer.sin_port, address.sin_port);
}

TEST_F(WinsockTest, CloseIsRecordedOnceWhileDataIsStillUnread) {
    SOCKET client, server;
    connected_pair(&client, &server);
    HANDLE event = auto_event();
    ASSERT_EQ(WSAEventSelect(client, event, FD_CLOSE), 0);
    ASSERT_EQ(send(server, "bye", 3, 0), 3);
    ASSERT_EQ(closesocket(server), 0);
    EXPECT_TRUE(signalled(event, 2000));
    EXPECT_FALSE(signalled(event, 100)) << "FD_CLOSE recorded twice";

    char buffer[8];
    EXPECT_EQ(recv(client, buffer, sizeof buffer, 0), 3);
    EXPECT_EQ(recv(client, buffer, sizeof buffer, 0), 0);
    EXPECT_FALSE(signalled(event, 50));
}

TEST_F(WinsockTest, EndOfStreamDoesNotKeepSignalling) {
    SOCKET client, server;
    connected_pair(&client, &server);
    HANDLE event = auto_event();
    ASSERT_EQ(WSAEventSelect(client, event, FD_READ | FD_WRITE | FD_CLOSE), 0);
    ASSERT_EQ(send(server, "bye", 3, 0), 3);
    ASSERT_EQ(closesocket(server), 0);
    // FD_WRITE, FD_READ and FD_CLOSE may each set the event; wait until it stays quiet.
    int sets = 0;
    while (signalled(event, 200) && sets < 10) {
        ++sets;
    }
    EXPECT_GE(sets, 1);
    EXPECT_LT(sets, 10);

    char buffer[8];
    EXPECT_EQ(recv(client, buffer, sizeof buffer, 0), 3);
    EXPECT_FALSE(signalled(event, 50)) << "the end of the stream recorded as FD_READ";
    EXPECT_EQ(recv(client, buffer, sizeof buffer, 0), 0);
    EXPECT_FALSE(signalled(event, 50));
}

TEST_F(WinsockTest, ASelectionReplacesTheLastAndMaskZeroCancelsIt) {
    SOCKET client, server;
    connected_pair(&client, &server);
    HANDLE first = auto_event();
    HANDLE second = auto_event();
    ASSERT_EQ(WSAEventSelect(client, first, FD_READ), 0);
    ASSERT_EQ(WSAEventSelect(client, second, FD_READ), 0);
    ASSERT_EQ(send(server, "a", 1, 0), 1);
    EXPECT_TRUE(signalled(second, 2000));
    EXPECT_FALSE(signalled(first, 50));

    u_long blocking = 0;
    EXPECT_EQ(ioctlsocket(client, FIONBIO, &blocking), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEINVAL);

    ASSERT_EQ(WSAEventSelect(client, NULL, 0), 0);
    ASSERT_EQ(send(server, "b", 1, 0), 1);
    EXPECT_FALSE(signalled(second, 100));
    char buffer[4];
    EXPECT_EQ(recv(client, buffer, sizeof buffer, 0), 2);
    EXPECT_EQ(recv(client, buffer, sizeof buffer, 0), SOCKET_ERROR) << "no longer non-blocking";
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    EXPECT_EQ(ioctlsocket(client, FIONBIO, &blocking), 0);

    // FD_ACCEPT is not recorded here, and a mask needs an event.
    EXPECT_EQ(WSAEventSelect(client, second, 0x08), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
    EXPECT_EQ(WSAEventSelect(client, NULL, FD_READ), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
}

TEST_F(WinsockTest, SelectShowsARefusedConnectOnlyInTheExceptSet) {
    sockaddr_in address = refusing_address();
    SOCKET client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    u_long non_blocking = 1;
    ASSERT_EQ(ioctlsocket(client, FIONBIO, &non_blocking), 0);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), SOCKET_ERROR);
    ASSERT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);

    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(client, &writable);
    FD_SET(client, &failed);
    timeval two_seconds = {2, 0};
    EXPECT_EQ(select(0, nullptr, &writable, &failed, &two_seconds), 1);
    EXPECT_FALSE(FD_ISSET(client, &writable));
    EXPECT_TRUE(FD_ISSET(client, &failed));

    // Still never writable, even after the error was read.
    int error = 0;
    int length = sizeof error;
    EXPECT_EQ(getsockopt(client, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length), 0);
    EXPECT_EQ(error, WSAECONNREFUSED);
    FD_ZERO(&writable);
    FD_SET(client, &writable);
    timeval short_wait = {0, 100000};
    EXPECT_EQ(select(0, nullptr, &writable, nullptr, &short_wait), 0);
    EXPECT_EQ(writable.fd_count, 0u);
}

TEST_F(WinsockTest, SelectShowsACompletedConnectWritableAndDataReadable) {
    sockaddr_in address;
    SOCKET l = listener(&address);
    SOCKET client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    u_long non_blocking = 1;
    ASSERT_EQ(ioctlsocket(client, FIONBIO, &non_blocking), 0);
    int result = connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ASSERT_TRUE(result == 0 || WSAGetLastError() == WSAEWOULDBLOCK);

    fd_set readable, writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(client, &writable);
    FD_SET(client, &failed);
    timeval two_seconds = {2, 0};
    EXPECT_EQ(select(0, nullptr, &writable, &failed, &two_seconds), 1);
    EXPECT_TRUE(FD_ISSET(client, &writable));
    EXPECT_EQ(failed.fd_count, 0u);

    SOCKET server = accept(l, nullptr, nullptr);
    FD_ZERO(&readable);
    FD_SET(client, &readable);
    timeval short_wait = {0, 50000};
    EXPECT_EQ(select(0, &readable, nullptr, nullptr, &short_wait), 0);
    ASSERT_EQ(send(server, "12345", 5, 0), 5);
    FD_SET(client, &readable);
    EXPECT_EQ(select(0, &readable, nullptr, nullptr, &two_seconds), 1);
    EXPECT_TRUE(FD_ISSET(client, &readable));
    u_long pending = 0;
    EXPECT_EQ(ioctlsocket(client, FIONREAD, &pending), 0);
    EXPECT_EQ(pending, 5u);

    FD_ZERO(&readable);
    EXPECT_EQ(select(0, &readable, nullptr, nullptr, &short_wait), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
    FD_SET(static_cast<SOCKET>(12345), &readable);
    EXPECT_EQ(select(0, &readable, nullptr, nullptr, &short_wait), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
}

TEST_F(WinsockTest, SendAfterShutdownOrPeerResetFailsWithoutSignal) {
    SOCKET client, server;
    connected_pair(&client, &server);
    ASSERT_EQ(shutdown(client, SD_SEND), 0);
    EXPECT_EQ(send(client, "x", 1, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAESHUTDOWN);
    char buffer[8];
    EXPECT_EQ(recv(server, buffer, sizeof buffer, 0), 0) << "the peer sees the end of the stream";

    // Closing with unread data resets the connection; sends then fail, and SIGPIPE does not end the process.
    SOCKET other_client, other_server;
    connected_pair(&other_client, &other_server);
    ASSERT_EQ(send(other_client, "unread", 6, 0), 6);
    Sleep(50);
    ASSERT_EQ(closesocket(other_server), 0);
    int result = 0;
    for (int i = 0; i < 100 && result != SOCKET_ERROR; ++i) {
        result = send(other_client, "x", 1, 0);
        Sleep(10);
    }
    ASSERT_EQ(result, SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAECONNRESET);
    // Libraries that write to a SOCKET themselves (OpenSSL) are covered too.
    EXPECT_EQ(write(static_cast<int>(other_client), "x", 1), -1);

    SOCKET unconnected = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    EXPECT_EQ(recv(unconnected, buffer, sizeof buffer, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTCONN);
    sockaddr_in name;
    int length = sizeof name;
    EXPECT_EQ(getsockname(unconnected, reinterpret_cast<sockaddr*>(&name), &length), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
}

TEST_F(WinsockTest, ABlockedReceiveWakesWhenItsSocketIsShutOrClosed) {
    const struct {
        const char* name;
        int (*end)(SOCKET);
    } cases[] = {
        {"shutdown", [](SOCKET s) { return shutdown(s, SD_BOTH); }},
        {"closesocket", [](SOCKET s) { return closesocket(s); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SOCKET client, server;
        connected_pair(&client, &server);
        std::atomic<int> result{1};
        std::atomic<bool> done{false};
        std::thread reader([&] {
            char buffer[8];
            result = recv(client, buffer, sizeof buffer, 0);
            done = true;
        });
        Sleep(50);
        EXPECT_FALSE(done);
        EXPECT_EQ(c.end(client), 0);
        for (int i = 0; i < 200 && !done; ++i) {
            Sleep(10);
        }
        EXPECT_TRUE(done);
        reader.join();
        EXPECT_EQ(result, SOCKET_ERROR);
    }
}

TEST_F(WinsockTest, OptionsUseTheWindowsNumbers) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    const struct {
        int level;
        int name;
    } flags[] = {{SOL_SOCKET, SO_KEEPALIVE}, {SOL_SOCKET, SO_REUSEADDR}, {IPPROTO_TCP, TCP_NODELAY}};
    for (const auto& flag : flags) {
        SCOPED_TRACE(flag.name);
        int value = 0;
        int length = sizeof value;
        ASSERT_EQ(getsockopt(s, flag.level, flag.name, reinterpret_cast<char*>(&value), &length), 0);
        EXPECT_EQ(value, 0);
        int on = 1;
        ASSERT_EQ(setsockopt(s, flag.level, flag.name, reinterpret_cast<char*>(&on), sizeof on), 0);
        ASSERT_EQ(getsockopt(s, flag.level, flag.name, reinterpret_cast<char*>(&value), &length), 0);
        EXPECT_NE(value, 0);
        EXPECT_EQ(length, 4);
    }
    int type = 0;
    int length = sizeof type;
    EXPECT_EQ(getsockopt(s, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &length), 0);
    EXPECT_EQ(type, SOCK_STREAM);

    const struct {
        int level;
        int name;
        int length;
        int error;
    } failures[] = {
        {SOL_SOCKET, 0x1234, 4, WSAENOPROTOOPT},
        {SOL_SOCKET, SO_ERROR, 4, WSAENOPROTOOPT},  // read only
        {99, SO_KEEPALIVE, 4, WSAEINVAL},
        {SOL_SOCKET, SO_KEEPALIVE, 2, WSAEFAULT},
    };
    for (const auto& failure : failures) {
        SCOPED_TRACE(failure.name);
        int on = 1;
        EXPECT_EQ(setsockopt(s, failure.level, failure.name, reinterpret_cast<char*>(&on), failure.length),
                  SOCKET_ERROR);
        EXPECT_EQ(WSAGetLastError(), failure.error);
    }
}

TEST_F(WinsockTest, KeepAliveValuesAreMillisecondsWithTenProbes) {
    using winapi_internal::posix_net::get_option;
    using winapi_internal::posix_net::Option;
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    int fd = static_cast<int>(s);
    const struct {
        tcp_keepalive values;
        int idle, interval;
    } cases[] = {{{1, 60000, 60000}, 60, 60}, {{1, 500, 2500}, 1, 2}};
    for (const auto& c : cases) {
        DWORD returned = 99;
        tcp_keepalive values = c.values;
        ASSERT_EQ(
            WSAIoctl(s, SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr, nullptr),
            0);
        EXPECT_EQ(returned, 0u);
        int on = 0, idle = 0, interval = 0, count = 0;
        ASSERT_EQ(get_option(fd, Option::keep_alive, &on), 0);
        ASSERT_EQ(get_option(fd, Option::keep_idle, &idle), 0);
        ASSERT_EQ(get_option(fd, Option::keep_interval, &interval), 0);
        ASSERT_EQ(get_option(fd, Option::keep_count, &count), 0);
        EXPECT_EQ(on, 1);
        EXPECT_EQ(idle, c.idle);
        EXPECT_EQ(interval, c.interval);
        EXPECT_EQ(count, 10);
    }
    tcp_keepalive values = {1, 1000, 1000};
    DWORD returned;
    EXPECT_EQ(WSAIoctl(s, SIO_KEEPALIVE_VALS, &values, 8, nullptr, 0, &returned, nullptr, nullptr),
              SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEFAULT);
    EXPECT_EQ(WSAIoctl(s, 0x98000099u, &values, sizeof values, nullptr, 0, &returned, nullptr, nullptr),
              SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
}

TEST(WinsockErrorsTest, ErrnoMapsToTheWinsockCodes) {
    using winapi_internal::winsock::error_from_errno;
    const struct {
        int error;
        bool after_local_shutdown;
        int code;
    } cases[] = {
        {EINPROGRESS, false, WSAEWOULDBLOCK},
        {EAGAIN, false, WSAEWOULDBLOCK},
        {EPIPE, false, WSAECONNRESET},
        {EPIPE, true, WSAESHUTDOWN},
        {ECONNRESET, false, WSAECONNRESET},
        {ECONNREFUSED, false, WSAECONNREFUSED},
        {ECONNABORTED, false, WSAECONNABORTED},
        {ENOTCONN, false, WSAENOTCONN},
        {EISCONN, false, WSAEISCONN},
        {EALREADY, false, WSAEALREADY},
        {ETIMEDOUT, false, WSAETIMEDOUT},
        {EHOSTUNREACH, false, WSAEHOSTUNREACH},
        {ENETUNREACH, false, WSAENETUNREACH},
        {EADDRINUSE, false, WSAEADDRINUSE},
        {EADDRNOTAVAIL, false, WSAEADDRNOTAVAIL},
        {EAFNOSUPPORT, false, WSAEAFNOSUPPORT},
        {EMFILE, false, WSAEMFILE},
        {ENFILE, false, WSAEMFILE},
        {EACCES, false, WSAEACCES},
        {EPERM, false, WSAEACCES},
        {ENOBUFS, false, WSAENOBUFS},
        {ENOMEM, false, WSAENOBUFS},
        {EINTR, false, WSAEINTR},
        {EINVAL, false, WSAEINVAL},
        {ENOTSOCK, false, WSAENOTSOCK},
        {EOPNOTSUPP, false, WSAEOPNOTSUPP},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(error_from_errno(c.error, c.after_local_shutdown), c.code) << std::strerror(c.error);
    }
}

TEST_F(WinsockTest, GetaddrinfoTakesAndGivesWindowsValues) {
    ADDRINFOA hints = {};
    hints.ai_flags = AI_CANONNAME | AI_ADDRCONFIG;  // 0x402
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    ADDRINFOA* result = nullptr;
    ASSERT_EQ(getaddrinfo("127.0.0.1", "8080", &hints, &result), 0);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(result->ai_family, AF_INET);
    EXPECT_EQ(result->ai_socktype, SOCK_STREAM);
    ASSERT_EQ(result->ai_addrlen, sizeof(sockaddr_in));
    ASSERT_NE(result->ai_canonname, nullptr);
    EXPECT_STREQ(result->ai_canonname, "127.0.0.1");
    const auto* in = reinterpret_cast<const sockaddr_in*>(result->ai_addr);
    EXPECT_EQ(in->sin_family, AF_INET);
    EXPECT_EQ(ntohs(in->sin_port), 8080);
    EXPECT_EQ(in->sin_addr.s_addr, inet_addr("127.0.0.1"));

    char host[NI_MAXHOST];
    char service[NI_MAXSERV];
    EXPECT_EQ(getnameinfo(result->ai_addr, static_cast<socklen_t>(result->ai_addrlen), host, sizeof host,
                          service, sizeof service, NI_NUMERICHOST | NI_NUMERICSERV),
              0);
    EXPECT_STREQ(host, "127.0.0.1");
    EXPECT_STREQ(service, "8080");
    char tiny[4];
    EXPECT_EQ(getnameinfo(result->ai_addr, static_cast<socklen_t>(result->ai_addrlen), tiny, sizeof tiny,
                          nullptr, 0, NI_NUMERICHOST),
              WSAEFAULT);
    freeaddrinfo(result);

    hints = {};
    hints.ai_flags = AI_NUMERICHOST;
    hints.ai_family = AF_INET6;
    ASSERT_EQ(getaddrinfo("::1", "443", &hints, &result), 0);
    EXPECT_EQ(result->ai_family, AF_INET6);
    ASSERT_EQ(result->ai_addrlen, sizeof(sockaddr_in6));
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(result->ai_addr);
    EXPECT_EQ(in6->sin6_family, AF_INET6);
    EXPECT_EQ(ntohs(in6->sin6_port), 443);
    EXPECT_EQ(in6->sin6_addr.s6_addr[15], 1);
    EXPECT_EQ(getnameinfo(result->ai_addr, static_cast<socklen_t>(result->ai_addrlen), host, sizeof host,
                          nullptr, 0, NI_NUMERICHOST),
              0);
    EXPECT_STREQ(host, "::1");
    freeaddrinfo(result);

    const struct {
        const char* node;
        int flags;
        int family;
        int code;
    } failures[] = {
        {"localhost", AI_NUMERICHOST, AF_UNSPEC, WSAHOST_NOT_FOUND},
        {"127.0.0.1", 0x10, AF_UNSPEC, WSAEINVAL},
        {"127.0.0.1", 0, 99, WSAEAFNOSUPPORT},
    };
    for (const auto& failure : failures) {
        SCOPED_TRACE(failure.node);
        hints = {};
        hints.ai_flags = failure.flags;
        hints.ai_family = failure.family;
        result = nullptr;
        EXPECT_EQ(getaddrinfo(failure.node, "80", &hints, &result), failure.code);
        EXPECT_EQ(WSAGetLastError(), failure.code);
        EXPECT_EQ(result, nullptr);
    }
}

TEST_F(WinsockTest, GethostbynameAnswersANumericName) {
    hostent* entry = gethostbyname("127.0.0.1");
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->h_addrtype, AF_INET);
    EXPECT_EQ(entry->h_length, 4);
    ASSERT_NE(entry->h_addr_list[0], nullptr);
    in_addr address;
    std::memcpy(&address, entry->h_addr, sizeof address);
    EXPECT_EQ(address.s_addr, htonl(INADDR_LOOPBACK));
}

TEST(WinsockHeadersTest, PosixTypesKeepTheirOwnLayoutAfterTheWinsockHeaders) {
    Sleep(1);  // at least one voluntary context switch to count
    struct {
        struct rusage usage;
        unsigned char guard[64];
    } probe;
    std::memset(&probe, 0xa5, sizeof probe);
    ASSERT_EQ(getrusage(RUSAGE_SELF, &probe.usage), 0);
    EXPECT_TRUE(std::all_of(probe.guard, probe.guard + sizeof probe.guard, [](unsigned char b) {
        return b == 0xa5;
    })) << "the system wrote past the struct rusage this program sees";
    EXPECT_GT(probe.usage.ru_maxrss, 0);
    EXPECT_GT(probe.usage.ru_nvcsw, 0);
}

TEST(WinsockAddressTest, InetAddrReadsEveryDottedForm) {
    const struct {
        const char* text;
        u_long host_order;
    } cases[] = {
        {"127.0.0.1", 0x7f000001},  {"127.1", 0x7f000001},      {"0x7f.0.0.1", 0x7f000001},
        {"010.0.0.1", 0x08000001},  {"1.2.3", 0x01020003},      {"1.2.65535", 0x0102ffff},
        {"2130706433", 0x7f000001}, {"256.0.0.1", INADDR_NONE}, {"1.2.65536", INADDR_NONE},
        {"1.2.3.4.5", INADDR_NONE}, {"1.2.3.4x", INADDR_NONE},  {"08.1.1.1", INADDR_NONE},
        {"0x", INADDR_NONE},        {"1..2", INADDR_NONE},      {"", INADDR_NONE},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(inet_addr(c.text), htonl(c.host_order)) << '"' << c.text << '"';
    }
}

TEST(WinsockAddressTest, InetNtoaUsesABufferPerThread) {
    in_addr mine;
    mine.s_addr = inet_addr("1.2.3.4");
    const char* text = inet_ntoa(mine);
    std::thread([] {
        in_addr theirs;
        theirs.s_addr = inet_addr("5.6.7.8");
        EXPECT_STREQ(inet_ntoa(theirs), "5.6.7.8");
    }).join();
    EXPECT_STREQ(text, "1.2.3.4");
}

TEST(WinsockAddressTest, FdSetIsABoundedListWithoutDuplicates) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(7, &set);
    FD_SET(7, &set);
    EXPECT_EQ(set.fd_count, 1u);
    for (SOCKET s = 100; s < 200; ++s) {
        FD_SET(s, &set);
    }
    EXPECT_EQ(set.fd_count, static_cast<u_int>(FD_SETSIZE));
    FD_CLR(7, &set);
    EXPECT_EQ(set.fd_count, static_cast<u_int>(FD_SETSIZE - 1));
    EXPECT_FALSE(FD_ISSET(7, &set));
    EXPECT_TRUE(FD_ISSET(100, &set));
    EXPECT_TRUE(FD_ISSET(162, &set));
    EXPECT_FALSE(FD_ISSET(163, &set));
}

}  // namespace
