// The TLS library's I/O object over a peer's raw transport: its Winsock socket, or the tunnel's records when
// the connection runs through the tunnel. Reads and writes go through the Winsock layer, as on Windows, so
// that its event selection sees them (FD_READ and FD_WRITE are re-armed by recv and send).
#pragma once

#include "transport/tunnel/tunnel.h"

#include "winapi/winsock2.h"

#include <openssl/types.h>

// Does not own the socket or the tunnel. Would-block sets the retry flags with WSAEWOULDBLOCK as the last
// socket error; a tunnel that moves nothing counts as would-block; a tunnel error leaves WSAECONNABORTED.
// Null when out of memory.
BIO* peer_bio_new(SOCKET socket, Vpn* tunnel);
