#include "transport/connection/tcp_connect.h"

#include "runtime/log.h"

#include "winapi/mstcpip.h"
#include "winapi/ws2tcpip.h"

#include <string>

namespace {

const ULONG KEEPALIVE_MS = 60000;

void report(const SocketWatch& watch, SOCKET socket) {
    if (watch) {
        watch(socket);
    }
}

void close_watched(const SocketWatch& watch, SOCKET socket) {
    report(watch, INVALID_SOCKET);
    closesocket(socket);
}

bool set_blocking(SOCKET socket, bool blocking) {
    u_long non_blocking = blocking ? 0 : 1;
    return ioctlsocket(socket, FIONBIO, &non_blocking) == 0;
}

// Connects one resolved address; the socket on success, else INVALID_SOCKET.
SOCKET connect_address(const ADDRINFOA* address, const char* port_text, unsigned int timeout_ms,
                       const SocketWatch& watch) {
    SOCKET socket_handle = socket(address->ai_family, address->ai_socktype, address->ai_protocol);
    if (socket_handle == INVALID_SOCKET) {
        LOG_WARN("socket failed.(detail:%u)", (unsigned)WSAGetLastError());
        return INVALID_SOCKET;
    }
    report(watch, socket_handle);
    int no_delay = 1;
    if (setsockopt(socket_handle, IPPROTO_TCP, TCP_NODELAY, (const char*)&no_delay, sizeof(no_delay)) != 0) {
        LOG_WARN("setsockopt failed.(detail:%u)", (unsigned)WSAGetLastError());
    }
    if (!set_blocking(socket_handle, false)) {
        LOG_WARN("ioctlsocket FIONBIO failed.(detail:%u)", (unsigned)WSAGetLastError());
        close_watched(watch, socket_handle);
        return INVALID_SOCKET;
    }
    set_socket_keepalive(socket_handle);

    char host_text[NI_MAXHOST] = "?";
    getnameinfo(address->ai_addr, (socklen_t)address->ai_addrlen, host_text, sizeof(host_text), nullptr, 0,
                NI_NUMERICHOST);
    if (connect(socket_handle, address->ai_addr, (int)address->ai_addrlen) == 0) {
        return socket_handle;
    }
    int error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK) {
        int status = spice_tcp_select(timeout_ms, socket_handle);
        if (status == 1) {
            return socket_handle;
        }
        error = WSAGetLastError();
        close_watched(watch, socket_handle);
        LOG_WARN(
            "continue next time, Although connect fails(WSAEWOULDBLOCK) ip:%s, port:%s, dwLstErr:(%u), "
            "status:%d",
            host_text, port_text, (unsigned)error, status);
    } else {
        close_watched(watch, socket_handle);
        LOG_WARN("continue next , Although connect fails ip:%s, port:%s, dwLstErr:%u", host_text, port_text,
                 (unsigned)error);
    }
    WSASetLastError(error);
    return INVALID_SOCKET;
}

}  // namespace

SOCKET SpiceSslConnect(const char* hostname, unsigned int port, unsigned int timeout_ms,
                       const SocketWatch& watch) {
    if (!hostname || port == 0) {
        LOG_ERROR("invalid param hostname:%p, porter:%u", (const void*)hostname, port);
        return INVALID_SOCKET;
    }
    std::string port_text = std::to_string(port);
    ADDRINFOA hints = {};
    hints.ai_flags = AI_CANONNAME | AI_ADDRCONFIG;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    ADDRINFOA* addresses = nullptr;
    SOCKET connected = INVALID_SOCKET;
    int error = 0;
    int result = getaddrinfo(hostname, port_text.c_str(), &hints, &addresses);
    if (result != 0) {
        error = WSAGetLastError();
        LOG_WARN("SpiceSslConnect (%s:%s) : getaddrinfo (ret:%d), err(%d)", hostname, port_text.c_str(),
                 result, error);
    } else {
        for (ADDRINFOA* address = addresses; address && connected == INVALID_SOCKET;
             address = address->ai_next) {
            connected = connect_address(address, port_text.c_str(), timeout_ms, watch);
            if (connected == INVALID_SOCKET) {
                error = WSAGetLastError();
            }
        }
        freeaddrinfo(addresses);
    }

    if (connected != INVALID_SOCKET && !set_blocking(connected, true)) {
        error = WSAGetLastError();
        LOG_ERROR("ioctlsocket FIONBIO failed.(detail:%u)", (unsigned)error);
        close_watched(watch, connected);
        connected = INVALID_SOCKET;
    }
    if (connected == INVALID_SOCKET) {
        LOG_ERROR("connect klq failed(hostname:%s, port:%s), err:%d", hostname, port_text.c_str(), error);
        WSASetLastError(error);
    }
    return connected;
}

int spice_tcp_select(unsigned int timeout_ms, SOCKET socket) {
    if (timeout_ms == 0) {
        LOG_WARN("invalid param timeout == 0");
        return 0;
    }
    for (;;) {
        fd_set writable;
        fd_set failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(socket, &writable);
        FD_SET(socket, &failed);
        timeval timeout;
        timeout.tv_sec = (LONG)(timeout_ms / 1000);
        timeout.tv_usec = (LONG)(timeout_ms % 1000) * 1000;
        int ready = select(0, nullptr, &writable, &failed, &timeout);
        if (ready == 0) {
            WSASetLastError(WSAETIMEDOUT);
            return 0;
        }
        if (ready == SOCKET_ERROR) {
            if (WSAGetLastError() == WSAEINTR) {
                continue;
            }
            return -1;
        }
        // A refused connect must never pass for a connected one: Windows reports it in the except set,
        // and the pending error tells in every case.
        int error = 0;
        int length = sizeof(error);
        if (getsockopt(socket, SOL_SOCKET, SO_ERROR, (char*)&error, &length) != 0) {
            return -1;
        }
        if (error != 0 || FD_ISSET(socket, &failed)) {
            WSASetLastError(error != 0 ? error : WSAECONNREFUSED);
            return -1;
        }
        return 1;
    }
}

void set_socket_keepalive(SOCKET socket) {
    int on = 1;
    if (setsockopt(socket, SOL_SOCKET, SO_KEEPALIVE, (const char*)&on, sizeof(on)) != 0) {
        LOG_INFO("setsockopt SO_KEEPALIVE failed, err = %d", WSAGetLastError());
        return;
    }
    tcp_keepalive values;
    values.onoff = 1;
    values.keepalivetime = KEEPALIVE_MS;
    values.keepaliveinterval = KEEPALIVE_MS;
    DWORD returned = 0;
    if (WSAIoctl(socket, SIO_KEEPALIVE_VALS, &values, sizeof(values), nullptr, 0, &returned, nullptr,
                 nullptr) != 0) {
        LOG_INFO("WSAIoctl failed, err = %d", WSAGetLastError());
    }
}
