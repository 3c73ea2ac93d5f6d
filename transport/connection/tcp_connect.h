// The time-limited TCP connect of the direct attempt and of the tunnel gateway, and the keep-alive settings
// of every channel socket.
#pragma once

#include "winapi/winsock2.h"

#include <functional>

// Lets another thread cut a blocking connect or tunnel handshake short by shutting the socket down.
// Called on the connecting thread with each socket as soon as it exists, and with INVALID_SOCKET just
// before that socket is closed; after a success the last socket reported is the one returned, still open.
typedef std::function<void(SOCKET)> SocketWatch;

// Connects to host:port, waiting at most timeout_ms for each resolved address. Returns a connected,
// blocking socket with TCP_NODELAY and keep-alive set, or INVALID_SOCKET with the last socket error set.
SOCKET SpiceSslConnect(const char* hostname, unsigned int port, unsigned int timeout_ms,
                       const SocketWatch& watch = SocketWatch());

// Waits for a non-blocking connect: 1 connected, 0 time-out (or a zero time-out), -1 failed (the last
// socket error then holds the connect's error).
int spice_tcp_select(unsigned int timeout_ms, SOCKET socket);

// SO_KEEPALIVE on, first probe and interval 60 s. Failures are logged only.
void set_socket_keepalive(SOCKET socket);
