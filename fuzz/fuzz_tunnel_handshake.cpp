// The tunnel's connect on untrusted gateway bytes: the gateway's three handshake replies, then records, all
// sent at once over a real loopback connection, after which the gateway closes its side. Input: one byte
// giving the reader's request size (1 to 256), then everything the gateway sends. The connect must fail
// cleanly or succeed, and after a success the reader must read records until it fails, without crash,
// over-read or hang.
#include "runtime/log.h"
#include "transport/tunnel/sslvpn.h"

#include "winapi/winsock2.h"

#include <poll.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

SOCKET listener = INVALID_SOCKET;
unsigned int listen_port = 0;

void start() {
    log_set_threshold((unsigned)-1);
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, (const sockaddr*)&address, sizeof(address));
    listen(listener, 4);
    int length = sizeof(address);
    getsockname(listener, (sockaddr*)&address, &length);
    listen_port = ntohs(address.sin_port);
}

// The gateway: takes the connection (giving up after a while when the client's connect failed), sends
// everything and closes its sending side. The socket stays open until the client is done, so that what the
// client still sends does not reset the connection.
SOCKET serve(const uint8_t* bytes, size_t size) {
    pollfd ready = {(int)listener, POLLIN, 0};
    if (poll(&ready, 1, 2000) <= 0) {
        return INVALID_SOCKET;
    }
    SOCKET gateway = accept(listener, nullptr, nullptr);
    if (gateway == INVALID_SOCKET) {
        return gateway;
    }
    for (size_t at = 0; at < size;) {
        int sent = send(gateway, (const char*)bytes + at, (int)std::min<size_t>(size - at, 1 << 16), 0);
        if (sent <= 0) {
            break;
        }
        at += (size_t)sent;
    }
    shutdown(gateway, SD_SEND);
    return gateway;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (listener == INVALID_SOCKET) {
        start();
    }
    if (size == 0 || size > (1 << 20)) {
        return 0;
    }
    SOCKET gateway = INVALID_SOCKET;
    std::thread gateway_thread([&] { gateway = serve(data + 1, size - 1); });

    SslvpnRequestInfo info = {};
    for (size_t i = 0; i < SSLVPN_KEY_SIZE; i++) {
        info.stream_key[i] = info.stream_key_copy[i] = (unsigned char)(i + 1);
        info.session_id[i] = (unsigned char)(0x40 + i);
        info.request_key[i] = (unsigned char)(0x80 + i);
    }
    strcpy(info.target_host, "127.0.0.1");
    info.target_port = 5900;
    strcpy(info.user_name, "fuzz");
    SslvpnHandle* handle = sslvpn_new();
    // Everything is on its way before the client waits, so the limit is only reached when the harness stalls.
    int result = sslvpn_connect(listen_port, "127.0.0.1", handle, &info, 5000);
    if (result == 0) {
        const int piece = data[0] + 1;
        std::vector<uint8_t> out(piece);
        // A call that hands out nothing has taken at least one byte off the socket, so those calls are
        // bounded.
        size_t idle_calls = 0;
        while ((result = sslvpn_recv(piece, handle, out.data())) >= 0) {
            if (result == 0 && ++idle_calls > size) {
                abort();
            }
        }
        if (sslvpn_pending(handle) > 65535) {
            abort();
        }
    }
    sslvpn_free(handle);
    gateway_thread.join();
    if (gateway != INVALID_SOCKET) {
        closesocket(gateway);
    }
    return 0;
}
