// The maker's tunnel protocol over one TCP connection to a tunnel gateway: a fixed TLS-looking handshake,
// one request record naming the real target, then records of at most 8182 payload bytes, enciphered with
// RC4 in each direction and, from the gateway only, compressed with zlib or LZO1B.
//
// Record header (10 bytes, both directions): 23, 3, 1; big-endian wire payload length + 5; flags (bit 7
// enciphered, bits 0-6 compression method); 0, 0; big-endian payload length after decompression.
//
// A handle belongs to one thread (its channel's worker). Every function returns a negative SSLVPN_ERR_*
// value only for a failure of the stream, never for "nothing to do yet": after one, the connection is
// over, since the cipher states have run on.
#pragma once

#include "transport/connection/tcp_connect.h"

#include "winapi/winsock2.h"

#include <cstddef>
#include <cstdint>

enum {
    SSLVPN_ERR_GENERAL = -1,     // allocation, failed TCP connect
    SSLVPN_ERR_TIMEOUT = -2,     // a wait ran out (logged; the caller sees SSLVPN_ERR_CONNECTION or _WAIT)
    SSLVPN_ERR_INVALID = -3,     // invalid arguments, oversize record
    SSLVPN_ERR_CONNECTION = -4,  // connection error or closed
    SSLVPN_ERR_WAIT = -6,        // a wait failed or timed out; decompression failure
    SSLVPN_ERR_MALFORMED = -7,   // malformed record or handshake reply
};
#define SSLVPN_ERR_NOMEM SSLVPN_ERR_GENERAL

enum {
    COMPRESS_METHOD_NONE = 0,
    COMPRESS_METHOD_LZO1B = 3,
    COMPRESS_METHOD_ZLIB = 5,
};

const size_t SSLVPN_HEADER_SIZE = 10;
const size_t SSLVPN_MAX_PAYLOAD = 8182;
const unsigned char SSLVPN_FLAG_ENCIPHERED = 0x80;
const size_t SSLVPN_KEY_SIZE = 16;

// What the request record carries. The four 16-byte fields lie in a row as in the connection block.
struct SslvpnRequestInfo {
    unsigned char stream_key[SSLVPN_KEY_SIZE];  // keys the records' RC4 (never sent)
    unsigned char session_id[SSLVPN_KEY_SIZE];
    unsigned char stream_key_copy[SSLVPN_KEY_SIZE];  // how the gateway learns the stream key
    unsigned char request_key[SSLVPN_KEY_SIZE];      // keys the request's RC4; travels in clear
    char target_host[100];                           // NUL-terminated, at most 99 characters
    uint32_t target_port;
    char user_name[100];  // UTF-8, NUL-terminated
    uint32_t request_a;
    uint32_t request_b;
    uint32_t request_c;
};

struct SslvpnHandle;

// Null when out of memory.
SslvpnHandle* sslvpn_new();

// Connects to the gateway, runs the handshake and sends the request. Each step waits at most timeout_ms.
// 0 on success (the handle then owns the socket, which is blocking), else a negative error and the socket
// is closed.
int sslvpn_connect(unsigned int gateway_port, const char* gateway_host, SslvpnHandle* handle,
                   const SslvpnRequestInfo* info, unsigned int timeout_ms,
                   const SocketWatch& watch = SocketWatch());

// The last step of a connect: keys both cipher states with the stream key and takes the socket. On its own
// for a stream whose handshake is already done (the record reader's fuzz target).
void sslvpn_attach(SslvpnHandle* handle, SOCKET socket, const unsigned char* stream_key);

// INVALID_SOCKET before the connect.
SOCKET sslvpn_socket(const SslvpnHandle* handle);

// Writes one record of 1 to SSLVPN_MAX_PAYLOAD bytes, waiting up to 30 s for room. The caller's bytes are
// left as they are. Returns length, or a negative error.
int sslvpn_send(SslvpnHandle* handle, int length, const void* data);

// Reads up to size bytes of plain payload: the count, 0 when no whole record has arrived yet (on a
// non-blocking socket, or after part of a record), or a negative error, which stays for every later call.
int sslvpn_recv(int size, SslvpnHandle* handle, void* destination);

// Plain payload bytes already deciphered and not yet read; the socket does not signal again for them.
uint64_t sslvpn_pending(const SslvpnHandle* handle);

// Frees both buffers, shuts the socket down both ways and closes it, frees the handle. Null is ignored.
void sslvpn_free(SslvpnHandle* handle);
