// Stress of WSAEventSelect's FD_READ under load: a receiver that reads only when its event says so must
// never be left waiting while data sits in its socket. Many short bursts on several connections at once
// keep the process-wide watcher busy, so that its reports often reach a socket late, after the receiver
// has read and re-enabled FD_READ in the meantime.
#include "winapi/synchapi.h"
#include "winapi/winsock2.h"
#include "winapi/ws2tcpip.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kChannels = 8;
constexpr int kBursts = 3000;         // per channel
constexpr int kMessagesPerBurst = 4;  // three small ones and a large one
constexpr uint32_t kLargeMessage = 16 * 1024;
constexpr int kBusyThreads = 4;
// A report that takes this long while bytes wait unread is lost, not late.
constexpr DWORD kStallWaitMs = 5000;

uint32_t message_size(int burst, int index) {
    // Small messages and a large one that the receiver takes in two reads (header, body), so that the socket
    // is drained, and its reading re-enabled, again and again while the burst is still arriving.
    return index % 4 == 3 ? kLargeMessage : 8u + static_cast<uint32_t>((burst * 7 + index * 13) % 120);
}

SOCKET connected_pair(SOCKET* server) {
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    EXPECT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(listen(listener, 4), 0);
    EXPECT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    SOCKET client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    EXPECT_EQ(connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    *server = accept(listener, nullptr, nullptr);
    closesocket(listener);
    // Each acknowledgement goes out at once, not held back for the one before it to be acknowledged.
    BOOL on = TRUE;
    EXPECT_EQ(setsockopt(client, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on), 0);
    EXPECT_EQ(setsockopt(*server, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on),
              0);
    return client;
}

// The server side: a burst of length-prefixed messages, then a wait for the receiver's acknowledgement
// before the next one, as a display server waits at its acknowledgement window.
void serve_bursts(SOCKET server, std::atomic<bool>* stop) {
    std::vector<char> message(4 + kLargeMessage);
    for (int burst = 0; burst < kBursts && !*stop; ++burst) {
        for (int index = 0; index < kMessagesPerBurst; ++index) {
            uint32_t size = message_size(burst, index);
            std::memcpy(message.data(), &size, 4);
            std::memset(message.data() + 4, static_cast<char>(burst + index), size);
            if (send(server, message.data(), static_cast<int>(4 + size), 0) != static_cast<int>(4 + size)) {
                return;
            }
        }
        char ack;
        if (recv(server, &ack, 1, 0) != 1) {
            return;
        }
    }
}

struct Outcome {
    int bursts = 0;
    u_long stalled_bytes = 0;  // unread bytes at the moment the receiver gave up waiting
    std::string failure;
};

// The client side, read the way a channel reads: only on its event, in pieces (a header, then a body), each
// time until the socket would block.
Outcome receive_bursts(SOCKET client) {
    Outcome outcome;
    HANDLE event = CreateEventW(NULL, FALSE, FALSE, NULL);
    if (WSAEventSelect(client, event, FD_READ | FD_WRITE | FD_CLOSE) != 0) {
        outcome.failure = "WSAEventSelect failed";
        CloseHandle(event);
        return outcome;
    }
    std::vector<char> body(kLargeMessage);
    uint32_t header_got = 0, body_got = 0, body_size = 0;
    char header[4];
    int burst = 0, index = 0;
    while (burst < kBursts && outcome.failure.empty()) {
        if (WaitForSingleObject(event, kStallWaitMs) != WAIT_OBJECT_0) {
            ioctlsocket(client, FIONREAD, &outcome.stalled_bytes);
            outcome.failure = "no event for a long while";
            break;
        }
        for (;;) {
            int n;
            if (header_got < 4) {
                n = recv(client, header + header_got, static_cast<int>(4 - header_got), 0);
            } else {
                n = recv(client, body.data() + body_got, static_cast<int>(body_size - body_got), 0);
            }
            if (n == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) {
                break;
            }
            if (n <= 0) {
                outcome.failure = "connection ended at burst " + std::to_string(burst);
                break;
            }
            if (header_got < 4) {
                header_got += static_cast<uint32_t>(n);
                if (header_got == 4) {
                    std::memcpy(&body_size, header, 4);
                    if (body_size != message_size(burst, index)) {
                        outcome.failure = "stream out of step";
                        break;
                    }
                }
                continue;
            }
            body_got += static_cast<uint32_t>(n);
            if (body_got < body_size) {
                continue;
            }
            if (body[body_size - 1] != static_cast<char>(burst + index)) {
                outcome.failure = "message content wrong";
                break;
            }
            header_got = body_got = 0;
            if (++index == kMessagesPerBurst) {
                index = 0;
                outcome.bursts = ++burst;
                if (send(client, "A", 1, 0) != 1) {
                    outcome.failure = "acknowledgement not sent";
                }
                break;  // the next burst comes only after this acknowledgement
            }
        }
    }
    WSAEventSelect(client, NULL, 0);
    CloseHandle(event);
    return outcome;
}

TEST(WinsockWakeupTest, ReceiversUnderLoadAreNeverLeftWithUnreadData) {
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);

    std::atomic<bool> stop{false};
    std::vector<std::thread> busy;
    for (int i = 0; i < kBusyThreads; ++i) {
        busy.emplace_back([&stop] {
            volatile uint64_t spin = 0;
            while (!stop.load(std::memory_order_relaxed)) {
                spin = spin + 1;
            }
        });
    }

    std::vector<SOCKET> clients(kChannels), servers(kChannels);
    std::vector<Outcome> outcomes(kChannels);
    std::vector<std::thread> threads;
    for (int c = 0; c < kChannels; ++c) {
        clients[c] = connected_pair(&servers[c]);
        ASSERT_NE(servers[c], INVALID_SOCKET);
        threads.emplace_back(serve_bursts, servers[c], &stop);
        threads.emplace_back([&outcomes, &clients, c] { outcomes[c] = receive_bursts(clients[c]); });
    }
    // A receiver that gave up leaves its server waiting for an acknowledgement: ending the connections
    // releases the servers once every receiver is done.
    for (int c = 0; c < kChannels; ++c) {
        threads[2 * c + 1].join();
        shutdown(clients[c], SD_BOTH);
        shutdown(servers[c], SD_BOTH);
    }
    for (int c = 0; c < kChannels; ++c) {
        threads[2 * c].join();
    }
    stop = true;
    for (std::thread& t : busy) {
        t.join();
    }
    for (int c = 0; c < kChannels; ++c) {
        SCOPED_TRACE("channel " + std::to_string(c));
        EXPECT_EQ(outcomes[c].failure, "")
            << outcomes[c].stalled_bytes << " bytes unread after burst " << outcomes[c].bursts;
        EXPECT_EQ(outcomes[c].bursts, kBursts);
    }
    EXPECT_EQ(WSACleanup(), 0);  // closes the sockets
}

}  // namespace
