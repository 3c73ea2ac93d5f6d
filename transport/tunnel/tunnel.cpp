#include "transport/tunnel/tunnel.h"

#include "runtime/log.h"

#include <algorithm>
#include <cstring>
#include <new>

Vpn* vpn_new(const VpnInfo* info) {
    Vpn* vpn = new (std::nothrow) Vpn();
    if (!vpn) {
        return nullptr;
    }
    vpn->handle = sslvpn_new();
    if (!vpn->handle) {
        delete vpn;
        return nullptr;
    }
    vpn->settings = info;
    return vpn;
}

SOCKET vpn_connect(Vpn* vpn, const char* host, unsigned int port, const SocketWatch& watch) {
    if (!vpn || !vpn->settings || !host) {
        return INVALID_SOCKET;
    }
    vpn->timeout = VPN_CONNECT_TIMEOUT_MS;
    const VpnInfo* settings = vpn->settings;
    if (settings->hostname[0] == 0) {
        LOG_INFO("sslvpn connect failed, error code(%d).", SSLVPN_ERR_INVALID);
        return INVALID_SOCKET;
    }

    SslvpnRequestInfo request = {};
    memcpy(request.stream_key, settings->stream_key, VPN_KEY_SIZE);
    memcpy(request.session_id, settings->session_id, VPN_KEY_SIZE);
    memcpy(request.stream_key_copy, settings->stream_key_copy, VPN_KEY_SIZE);
    memcpy(request.request_key, settings->request_key, VPN_KEY_SIZE);
    strncpy(request.target_host, host, sizeof(request.target_host) - 1);
    request.target_port = port;
    static_assert(sizeof(request.user_name) == sizeof(settings->user_name), "user name fields");
    memcpy(request.user_name, settings->user_name, sizeof(request.user_name));
    request.user_name[sizeof(request.user_name) - 1] = 0;
    request.request_a = settings->request_a;
    request.request_b = settings->request_b;
    request.request_c = settings->request_c;

    int result =
        sslvpn_connect(settings->port, settings->hostname, vpn->handle, &request, vpn->timeout, watch);
    if (result < 0) {
        LOG_INFO("sslvpn connect failed, error code(%d).", result);
        return INVALID_SOCKET;
    }
    return sslvpn_socket(vpn->handle);
}

int vpn_write(int length, Vpn* vpn, const void* data) {
    if (!vpn || length <= 0 || !data) {
        return SSLVPN_ERR_INVALID;
    }
    if ((size_t)length <= SSLVPN_MAX_PAYLOAD) {
        int result = sslvpn_send(vpn->handle, length, data);
        if (result < 0) {
            LOG_WARN("ssl vpn send failed, error code(%d).", result);
        }
        return result;
    }
    const unsigned char* bytes = (const unsigned char*)data;
    int written = 0;
    while (written < length) {
        int chunk = std::min<int>(length - written, (int)SSLVPN_MAX_PAYLOAD);
        int result = sslvpn_send(vpn->handle, chunk, bytes + written);
        if (result < 0) {
            LOG_WARN("Send error: %d", result);
            return result;
        }
        written += chunk;
    }
    return length;
}

int vpn_read(int size, Vpn* vpn, void* destination) {
    return vpn ? sslvpn_recv(size, vpn->handle, destination) : SSLVPN_ERR_INVALID;
}

uint64_t vpn_pending_bytes(const Vpn* vpn) {
    return vpn ? sslvpn_pending(vpn->handle) : 0;
}

void vpn_free(Vpn* vpn) {
    if (!vpn) {
        return;
    }
    sslvpn_free(vpn->handle);
    delete vpn;
}
