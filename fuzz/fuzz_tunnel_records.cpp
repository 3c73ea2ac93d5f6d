// The tunnel's record reader on untrusted gateway bytes, delivered over a real loopback connection in the
// pieces the input chooses. Input: one byte giving the reader's request size (1 to 256), then chunks of
// [length byte][bytes], each sent and drained before the next; the connection then closes. The reader must
// never crash, over-read or hang, and must end with an error once the gateway has closed. The handshake
// before the records is fuzz_tunnel_handshake's.
#include "runtime/log.h"
#include "transport/tunnel/sslvpn.h"

#include "winapi/winsock2.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

SOCKET listener = INVALID_SOCKET;
sockaddr_in listen_address;

void start() {
    log_set_threshold((unsigned)-1);
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    listen_address = {};
    listen_address.sin_family = AF_INET;
    listen_address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, (const sockaddr*)&listen_address, sizeof(listen_address));
    listen(listener, 4);
    int length = sizeof(listen_address);
    getsockname(listener, (sockaddr*)&listen_address, &length);
}

void set_blocking(SOCKET socket, bool blocking) {
    u_long non_blocking = blocking ? 0 : 1;
    ioctlsocket(socket, FIONBIO, &non_blocking);
}

// A connected pair over the listener. A connect may fail for reasons of the harness's own (a signal of
// libFuzzer's -timeout interrupting it): it is retried a few times, and the input skipped after that.
bool connect_pair(SOCKET* reader, SOCKET* gateway) {
    for (int attempt = 0; attempt < 10; attempt++) {
        SOCKET client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (client == INVALID_SOCKET) {
            continue;
        }
        if (connect(client, (const sockaddr*)&listen_address, sizeof(listen_address)) == 0) {
            // An interrupted connect may still complete later: its connection waits in the backlog ahead of
            // this one, and is told apart by its port.
            sockaddr_in local = {};
            int local_length = sizeof(local);
            getsockname(client, (sockaddr*)&local, &local_length);
            for (int stale = 0; stale < 16; stale++) {
                sockaddr_in peer = {};
                int peer_length = sizeof(peer);
                SOCKET accepted = accept(listener, (sockaddr*)&peer, &peer_length);
                if (accepted == INVALID_SOCKET) {
                    break;
                }
                if (peer.sin_port == local.sin_port) {
                    *reader = client;
                    *gateway = accepted;
                    return true;
                }
                closesocket(accepted);
            }
        }
        closesocket(client);
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (listener == INVALID_SOCKET) {
        start();
    }
    if (size == 0) {
        return 0;
    }
    SOCKET reader = INVALID_SOCKET, gateway = INVALID_SOCKET;
    if (!connect_pair(&reader, &gateway)) {
        return 0;  // the harness's own set-up failed: nothing of the reader was run
    }
    set_blocking(reader, false);
    static const unsigned char key[SSLVPN_KEY_SIZE] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    SslvpnHandle* handle = sslvpn_new();
    sslvpn_attach(handle, reader, key);

    const int piece = data[0] + 1;
    std::vector<uint8_t> out(piece);
    int result = 0;
    size_t at = 1;
    while (at < size && result >= 0) {
        size_t length = std::min<size_t>(data[at], size - at - 1);
        if (length > 0) {
            send(gateway, (const char*)data + at + 1, (int)length, 0);
        }
        at += 1 + length;
        while ((result = sslvpn_recv(piece, handle, out.data())) > 0) {
        }
    }

    // Closed by the gateway: whatever is left is read out, then the reader must fail.
    shutdown(gateway, SD_SEND);
    set_blocking(reader, true);
    // A call that hands out nothing has taken at least one byte off the socket, so those calls are bounded.
    size_t idle_calls = 0;
    while (result >= 0) {
        result = sslvpn_recv(piece, handle, out.data());
        if (result == 0 && ++idle_calls > size) {
            abort();
        }
    }
    if (sslvpn_pending(handle) > 65535) {
        abort();
    }
    sslvpn_free(handle);
    closesocket(gateway);
    return 0;
}
