// The tunnel object of one channel connection: the connection block it was made over and the record
// stream to the gateway. Created per connect attempt and freed with the connection; used by the channel's
// worker thread only.
#pragma once

#include "transport/tunnel/sslvpn.h"
#include "transport/connection/tcp_connect.h"
#include "transport/tunnel/vpn_info.h"

#include "winapi/winsock2.h"

#include <cstdint>

const unsigned int VPN_CONNECT_TIMEOUT_MS = 10000;

struct Vpn {
    uint32_t reserved;
    uint32_t timeout;  // ms, for the gateway connect and each handshake step
    SslvpnHandle* handle;
    const VpnInfo* settings;  // not owned; must outlive vpn_connect
};

// Null when out of memory.
Vpn* vpn_new(const VpnInfo* info);

// Opens the tunnel to the target host and port through the block's gateway. Returns the tunnel's TCP socket
// (blocking; the tunnel keeps owning it), or INVALID_SOCKET when the gateway cannot be reached or refuses,
// the block has no gateway, or the target host is not given.
SOCKET vpn_connect(Vpn* vpn, const char* host, unsigned int port, const SocketWatch& watch = SocketWatch());

// Writes length bytes in records of at most SSLVPN_MAX_PAYLOAD bytes: length, or a negative error. It
// never writes part of the data and then reports "would block": it waits for room instead.
int vpn_write(int length, Vpn* vpn, const void* data);

// sslvpn_recv over the tunnel's stream: the count, 0 when nothing is ready yet, negative on error.
int vpn_read(int size, Vpn* vpn, void* destination);

// Deciphered bytes not yet read (they do not signal the socket again).
uint64_t vpn_pending_bytes(const Vpn* vpn);

// Shuts down and closes the tunnel's socket and frees everything. Null is ignored.
void vpn_free(Vpn* vpn);
