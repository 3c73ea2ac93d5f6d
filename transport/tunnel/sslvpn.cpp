#include "transport/tunnel/sslvpn.h"

#include "runtime/log.h"
#include "runtime/rc4.h"

#include "winapi/windows.h"

#include <lzo/lzo1b.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

struct SslvpnHandle {
    SOCKET socket = INVALID_SOCKET;
    Rc4State send_state;
    Rc4State recv_state;

    unsigned char header[SSLVPN_HEADER_SIZE];
    uint32_t have_header_len = 0;
    uint32_t ret_len = 0;   // of the current record's plain payload, bytes already handed out
    uint32_t data_len = 0;  // the current record's payload length after decompression
    uint32_t need_len = 0;  // the current record's payload bytes on the wire
    uint32_t have_len = 0;  // of those, received
    uint32_t recv_buff_len = 0;
    unsigned char* recv_buff = nullptr;
    uint32_t dec_buff_len = 0;
    unsigned char* dec_buff = nullptr;
    const unsigned char* data = nullptr;  // the current record's plain payload, once decoded
    int error = 0;                        // the reader's failure; the stream cannot be resumed after one

    // Records are enciphered here, never in the caller's buffer.
    unsigned char send_buff[SSLVPN_HEADER_SIZE + SSLVPN_MAX_PAYLOAD];
};

namespace {

const uint32_t INITIAL_RECV_BUFF = 4096;
const unsigned int RECORD_SEND_BUDGET_MS = 30000;
const unsigned int SEND_WAIT_MS = 1000;
const size_t TLS_RECORD_HEADER = 5;
const size_t CLIENT_HELLO_SIZE = 102;
const size_t CLIENT_FINISHED_SIZE = 43;
const size_t REQUEST_SIZE = 273;
const size_t REQUEST_ENCIPHERED_FROM = 57;
const uint32_t REQUEST_MAGIC = 512;

// The fixed parts of the handshake; the gateway does not rely on their values.
const unsigned char CLIENT_RANDOM[32] = {0x5b, 0x1e, 0x92, 0x07, 0xc4, 0x3a, 0x6d, 0xf0, 0x28, 0x81, 0x4f,
                                         0xb6, 0x13, 0xe9, 0x75, 0x0c, 0xa2, 0x5d, 0x38, 0xcf, 0x61, 0x04,
                                         0x9b, 0xe7, 0x2c, 0x80, 0x56, 0xdb, 0x1f, 0xa4, 0x49, 0x93};
const unsigned char CLIENT_SESSION_ID[32] = {0x0e, 0x73, 0xb8, 0x2d, 0x91, 0x46, 0xfa, 0x6c, 0x35, 0xd2, 0x87,
                                             0x1b, 0xec, 0x50, 0x24, 0x9f, 0x68, 0xc1, 0x3e, 0xa7, 0x0b, 0x74,
                                             0xd9, 0x42, 0x86, 0x2f, 0xbd, 0x15, 0x6a, 0xf3, 0x57, 0xc8};
const unsigned char CLIENT_FINISHED_BODY[32] = {
    0x14, 0x00, 0x00, 0x1c, 0x9a, 0x27, 0xe5, 0x40, 0x7d, 0xb1, 0x0f, 0x63, 0xc9, 0x38, 0x8e, 0x52,
    0xf6, 0x1a, 0x45, 0xd0, 0x2b, 0x97, 0x6e, 0x03, 0xb4, 0x71, 0xdc, 0x29, 0x85, 0x4c, 0xe1, 0x3f};
const uint16_t CLIENT_CIPHER_SUITES[11] = {0x0004, 0x0005, 0x000A, 0x0009, 0x0064, 0x0062,
                                           0x0003, 0x0006, 0x0013, 0x0012, 0x0063};

void put_be16(unsigned char* at, uint32_t value) {
    at[0] = (unsigned char)(value >> 8);
    at[1] = (unsigned char)value;
}

uint32_t get_be16(const unsigned char* at) {
    return ((uint32_t)at[0] << 8) | at[1];
}

void put_le32(unsigned char* at, uint32_t value) {
    for (int i = 0; i < 4; i++) {
        at[i] = (unsigned char)(value >> (8 * i));
    }
}

void put_tls_header(unsigned char* at, unsigned char type, uint32_t length) {
    at[0] = type;
    at[1] = 3;
    at[2] = 1;
    put_be16(at + 3, length);
}

void build_client_hello(unsigned char* hello) {
    unsigned char* at = hello;
    put_tls_header(at, 22, CLIENT_HELLO_SIZE - TLS_RECORD_HEADER);
    at += TLS_RECORD_HEADER;
    *at++ = 1;  // ClientHello, 3-byte length
    *at++ = 0;
    put_be16(at, CLIENT_HELLO_SIZE - TLS_RECORD_HEADER - 4);
    at += 2;
    *at++ = 3;
    *at++ = 1;
    memcpy(at, CLIENT_RANDOM, sizeof(CLIENT_RANDOM));
    at += sizeof(CLIENT_RANDOM);
    *at++ = sizeof(CLIENT_SESSION_ID);
    memcpy(at, CLIENT_SESSION_ID, sizeof(CLIENT_SESSION_ID));
    at += sizeof(CLIENT_SESSION_ID);
    put_be16(at, sizeof(CLIENT_CIPHER_SUITES));
    at += 2;
    for (uint16_t suite : CLIENT_CIPHER_SUITES) {
        put_be16(at, suite);
        at += 2;
    }
    *at++ = 1;  // one compression method: null
    *at++ = 0;
}

void build_client_finished(unsigned char* finished) {
    put_tls_header(finished, 20, 1);  // ChangeCipherSpec
    finished[5] = 1;
    put_tls_header(finished + 6, 22, sizeof(CLIENT_FINISHED_BODY));
    memcpy(finished + 11, CLIENT_FINISHED_BODY, sizeof(CLIENT_FINISHED_BODY));
}

void build_request(unsigned char* request, const SslvpnRequestInfo* info) {
    memset(request, 0, REQUEST_SIZE);
    put_tls_header(request, 23, REQUEST_SIZE - TLS_RECORD_HEADER);
    put_le32(request + 5, REQUEST_MAGIC);
    memcpy(request + 9, info->session_id, SSLVPN_KEY_SIZE);
    memcpy(request + 25, info->stream_key_copy, SSLVPN_KEY_SIZE);
    memcpy(request + 41, info->request_key, SSLVPN_KEY_SIZE);
    memcpy(request + 57, info->target_host, strnlen(info->target_host, sizeof(info->target_host) - 1));
    put_le32(request + 157, info->target_port);
    memcpy(request + 161, info->user_name, strnlen(info->user_name, sizeof(info->user_name) - 1));
    put_le32(request + 261, info->request_a);
    put_le32(request + 265, info->request_b);
    put_le32(request + 269, info->request_c);

    Rc4State state;
    Rc4Init(&state, info->request_key, SSLVPN_KEY_SIZE);
    unsigned char* secret = request + REQUEST_ENCIPHERED_FROM;
    Rc4Crypt(&state, (int)(REQUEST_SIZE - REQUEST_ENCIPHERED_FROM), secret, secret);
}

bool set_blocking(SOCKET socket, bool blocking) {
    u_long non_blocking = blocking ? 0 : 1;
    return ioctlsocket(socket, FIONBIO, &non_blocking) == 0;
}

// 1 ready, 0 time-out, -1 failed (an interrupted wait is repeated).
int wait_socket(SOCKET socket, bool for_write, unsigned int ms) {
    for (;;) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(socket, &set);
        timeval timeout;
        timeout.tv_sec = (LONG)(ms / 1000);
        timeout.tv_usec = (LONG)(ms % 1000) * 1000;
        int ready = select(0, for_write ? nullptr : &set, for_write ? &set : nullptr, nullptr, &timeout);
        if (ready == SOCKET_ERROR && WSAGetLastError() == WSAEINTR) {
            continue;
        }
        return ready > 0 ? 1 : ready;
    }
}

// Sends all bytes. The retries are not renewed by progress, which bounds the whole send by the budget.
int send_ex(size_t length, SOCKET socket, const unsigned char* data, unsigned int budget_ms) {
    unsigned int retries = budget_ms / SEND_WAIT_MS;
    size_t sent = 0;
    while (sent < length) {
        int chunk = (int)std::min<size_t>(length - sent, 0x7fffffff);
        int n = send(socket, (const char*)data + sent, chunk, 0);
        if (n > 0) {
            sent += (size_t)n;
            continue;
        }
        int error = WSAGetLastError();
        if (n < 0 && error == WSAEINTR) {
            continue;
        }
        if (n == 0 || error != WSAEWOULDBLOCK) {
            LOG_WARN("send failed error(%d).", error);
            return SSLVPN_ERR_CONNECTION;
        }
        int ready = wait_socket(socket, true, SEND_WAIT_MS);
        if (ready < 0) {
            LOG_WARN("select failed error(%d), cnt(%u)", SSLVPN_ERR_WAIT, retries);
            return SSLVPN_ERR_CONNECTION;
        }
        if (ready == 0 && (retries == 0 || --retries == 0)) {
            LOG_WARN("select failed error(%d), cnt(%u)", SSLVPN_ERR_TIMEOUT, retries);
            return SSLVPN_ERR_CONNECTION;
        }
    }
    return 0;
}

// Reads exactly length bytes within wait_ms in all. Running out of time is a failure: the bytes the
// caller needs have not come.
int recv_ex(size_t length, unsigned char* buffer, SOCKET socket, unsigned int wait_ms) {
    const ULONGLONG deadline = GetTickCount64() + wait_ms;
    size_t got = 0;
    while (got < length) {
        int n = recv(socket, (char*)buffer + got, (int)std::min<size_t>(length - got, 0x7fffffff), 0);
        if (n > 0) {
            got += (size_t)n;
            continue;
        }
        if (n == 0) {
            LOG_WARN("peer disconnected.");
            return SSLVPN_ERR_CONNECTION;
        }
        int error = WSAGetLastError();
        if (error == WSAEINTR) {
            continue;
        }
        if (error != WSAEWOULDBLOCK) {
            LOG_WARN("recv failed error(%d).", error);
            return SSLVPN_ERR_CONNECTION;
        }
        ULONGLONG now = GetTickCount64();
        int ready = now < deadline ? wait_socket(socket, false, (unsigned int)(deadline - now)) : 0;
        if (ready <= 0) {
            LOG_WARN("select failed error(%d).", ready < 0 ? SSLVPN_ERR_WAIT : SSLVPN_ERR_TIMEOUT);
            return SSLVPN_ERR_WAIT;
        }
    }
    return 0;
}

// One reply record of the gateway's handshake; its content is not examined.
int recv_proxy_ack(SslvpnHandle* handle, SOCKET socket, unsigned int wait_ms) {
    unsigned char header[TLS_RECORD_HEADER];
    int result = recv_ex(sizeof(header), header, socket, wait_ms);
    if (result < 0) {
        return result;
    }
    uint32_t length = get_be16(header + 3);
    if (length > handle->recv_buff_len) {
        LOG_WARN("proxy ack length(%u) more than buffer length(%u).", length, handle->recv_buff_len);
        return SSLVPN_ERR_MALFORMED;
    }
    return recv_ex(length, handle->recv_buff, socket, wait_ms);
}

// One non-blocking read of the stream: bytes read, 0 when none are there yet, or an error.
int recv_some(SslvpnHandle* handle, unsigned char* into, uint32_t length) {
    for (;;) {
        int n = recv(handle->socket, (char*)into, (int)length, 0);
        if (n > 0) {
            return n;
        }
        if (n == 0) {
            LOG_WARN("peer disconnected.");
            return SSLVPN_ERR_CONNECTION;
        }
        int error = WSAGetLastError();
        if (error == WSAEWOULDBLOCK) {
            return 0;
        }
        if (error != WSAEINTR) {
            LOG_WARN("recv failed error(%d).", error);
            return SSLVPN_ERR_CONNECTION;
        }
    }
}

unsigned char* grow(unsigned char* buffer, uint32_t* length, uint32_t needed) {
    if (*length >= needed) {
        return buffer;
    }
    free(buffer);
    *length = 0;
    buffer = (unsigned char*)calloc(needed, 1);
    if (buffer) {
        *length = needed;
    }
    return buffer;
}

int check_buff_size(SslvpnHandle* handle, bool compressed) {
    handle->recv_buff = grow(handle->recv_buff, &handle->recv_buff_len, handle->need_len);
    if (!handle->recv_buff) {
        LOG_WARN("out of memory for recv_buff.");
        return SSLVPN_ERR_NOMEM;
    }
    if (compressed) {
        handle->dec_buff = grow(handle->dec_buff, &handle->dec_buff_len, handle->data_len);
        if (!handle->dec_buff) {
            LOG_WARN("out of memory for dec_buff.");
            return SSLVPN_ERR_NOMEM;
        }
    }
    return 0;
}

// 1 when a whole header has arrived and opens a record, 0 when more bytes are needed, or an error.
int recv_ssl_packet_header(SslvpnHandle* handle) {
    int n = recv_some(handle, handle->header + handle->have_header_len,
                      (uint32_t)(SSLVPN_HEADER_SIZE - handle->have_header_len));
    if (n <= 0) {
        return n;
    }
    handle->have_header_len += (uint32_t)n;
    if (handle->have_header_len < SSLVPN_HEADER_SIZE) {
        return 0;
    }
    handle->have_header_len = 0;

    const unsigned char* header = handle->header;
    if (header[0] != 23 || header[1] != 3 || header[2] != 1) {
        LOG_WARN("read error magic[%d %d %d].", header[0], header[1], header[2]);
        return SSLVPN_ERR_MALFORMED;
    }
    uint32_t wire_length = get_be16(header + 3);
    uint32_t data_length = get_be16(header + 8);
    int method = header[5] & ~SSLVPN_FLAG_ENCIPHERED;
    // A plain record whose lengths disagree would have more handed out than was received.
    if (wire_length <= TLS_RECORD_HEADER || data_length == 0 ||
        (method == COMPRESS_METHOD_NONE && wire_length - TLS_RECORD_HEADER != data_length)) {
        LOG_WARN("recv error ssl data length(%u) or data length(%u).", wire_length, data_length);
        return SSLVPN_ERR_MALFORMED;
    }
    if (method != COMPRESS_METHOD_NONE && method != COMPRESS_METHOD_LZO1B && method != COMPRESS_METHOD_ZLIB) {
        LOG_WARN("Unkown sslvpn compress method(%d).", method);
        return SSLVPN_ERR_MALFORMED;
    }
    handle->need_len = wire_length - TLS_RECORD_HEADER;
    handle->data_len = data_length;
    handle->have_len = 0;
    if (check_buff_size(handle, method != COMPRESS_METHOD_NONE) < 0) {
        LOG_WARN("recv ssl packet header SSLVPN_ERR_NOMEM failed.");
        return SSLVPN_ERR_NOMEM;
    }
    return 1;
}

bool lzo_ready() {
    static const bool ready = lzo_init() == LZO_E_OK;
    return ready;
}

// Decompresses the received payload into dec_buff, which holds data_len bytes and no more.
int decompress_data(SslvpnHandle* handle, int method) {
    size_t produced = 0;
    bool ok = false;
    if (method == COMPRESS_METHOD_LZO1B) {
        lzo_uint out_len = handle->data_len;
        ok = lzo_ready() && lzo1b_decompress_safe(handle->recv_buff, handle->need_len, handle->dec_buff,
                                                  &out_len, nullptr) == LZO_E_OK;
        produced = out_len;
    } else {
        uLongf out_len = handle->data_len;
        ok = uncompress(handle->dec_buff, &out_len, handle->recv_buff, handle->need_len) == Z_OK;
        produced = out_len;
    }
    if (!ok) {
        LOG_WARN("zlib decompress failed.");
        return SSLVPN_ERR_WAIT;
    }
    if (produced != handle->data_len) {
        LOG_WARN("decompress size(%zu) is different header size(%u).", produced, handle->data_len);
        return SSLVPN_ERR_MALFORMED;
    }
    return 0;
}

// 1 when the payload is complete and decoded into handle->data, 0 when more bytes are needed, or an error.
int recv_data(SslvpnHandle* handle) {
    int n = recv_some(handle, handle->recv_buff + handle->have_len, handle->need_len - handle->have_len);
    if (n <= 0) {
        return n;
    }
    handle->have_len += (uint32_t)n;
    if (handle->have_len < handle->need_len) {
        return 0;
    }
    if (handle->header[5] & SSLVPN_FLAG_ENCIPHERED) {
        Rc4Crypt(&handle->recv_state, (int)handle->need_len, handle->recv_buff, handle->recv_buff);
    }
    int method = handle->header[5] & ~SSLVPN_FLAG_ENCIPHERED;
    if (method == COMPRESS_METHOD_NONE) {
        handle->data = handle->recv_buff;
        return 1;
    }
    int result = decompress_data(handle, method);
    if (result < 0) {
        return result;
    }
    handle->data = handle->dec_buff;
    return 1;
}

void close_record(SslvpnHandle* handle) {
    handle->ret_len = 0;
    handle->data_len = 0;
    handle->need_len = 0;
    handle->have_len = 0;
    handle->data = nullptr;
}

}  // namespace

SslvpnHandle* sslvpn_new() {
    SslvpnHandle* handle = new (std::nothrow) SslvpnHandle();
    if (!handle) {
        return nullptr;
    }
    handle->recv_buff = (unsigned char*)calloc(INITIAL_RECV_BUFF, 1);
    if (!handle->recv_buff) {
        delete handle;
        return nullptr;
    }
    handle->recv_buff_len = INITIAL_RECV_BUFF;
    return handle;
}

int sslvpn_connect(unsigned int gateway_port, const char* gateway_host, SslvpnHandle* handle,
                   const SslvpnRequestInfo* info, unsigned int timeout_ms, const SocketWatch& watch) {
    if (!handle || !info || handle->socket != INVALID_SOCKET) {
        return SSLVPN_ERR_INVALID;
    }
    SOCKET socket = SpiceSslConnect(gateway_host, gateway_port, timeout_ms, watch);
    if (socket == INVALID_SOCKET) {
        return SSLVPN_ERR_GENERAL;
    }
    unsigned char hello[CLIENT_HELLO_SIZE];
    unsigned char finished[CLIENT_FINISHED_SIZE];
    unsigned char request[REQUEST_SIZE];
    build_client_hello(hello);
    build_client_finished(finished);
    build_request(request, info);

    // Non-blocking for the handshake, so that a gateway that stops answering cannot hold the thread.
    const char* failure = nullptr;
    int result = SSLVPN_ERR_GENERAL;
    if (!set_blocking(socket, false)) {
        failure = "ioctlsocket FIONBIO failed..";
    } else if ((result = send_ex(sizeof(hello), socket, hello, timeout_ms)) < 0) {
        failure = "send proxy header failed..";
    } else if ((result = recv_proxy_ack(handle, socket, timeout_ms)) < 0) {
        failure = "recv proxy ack failed..";
    } else if ((result = send_ex(sizeof(finished), socket, finished, timeout_ms)) < 0) {
        failure = "send client ack failed..";
    } else if ((result = recv_proxy_ack(handle, socket, timeout_ms)) < 0) {
        failure = "recv proxy ack failed..";
    } else if ((result = send_ex(sizeof(request), socket, request, timeout_ms)) < 0) {
        failure = "send proxy request failed..";
    } else if ((result = recv_proxy_ack(handle, socket, timeout_ms)) < 0) {
        failure = "recv proxy ack failed..";
    } else if (!set_blocking(socket, true)) {
        failure = "ioctlsocket FIONBIO failed..";
        result = SSLVPN_ERR_GENERAL;
    }
    if (failure) {
        LOG_INFO("%s", failure);
        if (watch) {
            watch(INVALID_SOCKET);
        }
        shutdown(socket, SD_BOTH);
        closesocket(socket);
        return result;
    }
    sslvpn_attach(handle, socket, info->stream_key);
    return 0;
}

void sslvpn_attach(SslvpnHandle* handle, SOCKET socket, const unsigned char* stream_key) {
    Rc4Init(&handle->send_state, stream_key, SSLVPN_KEY_SIZE);
    Rc4Init(&handle->recv_state, stream_key, SSLVPN_KEY_SIZE);
    handle->socket = socket;
}

SOCKET sslvpn_socket(const SslvpnHandle* handle) {
    return handle ? handle->socket : INVALID_SOCKET;
}

int sslvpn_send(SslvpnHandle* handle, int length, const void* data) {
    if (!handle || !data || length <= 0 || handle->socket == INVALID_SOCKET) {
        return SSLVPN_ERR_INVALID;
    }
    if ((size_t)length > SSLVPN_MAX_PAYLOAD) {
        LOG_WARN("send length(%d) more than limit length(%zu).", length, SSLVPN_MAX_PAYLOAD);
        return SSLVPN_ERR_INVALID;
    }
    unsigned char* record = handle->send_buff;
    put_tls_header(record, 23, (uint32_t)length + TLS_RECORD_HEADER);
    record[5] = SSLVPN_FLAG_ENCIPHERED | COMPRESS_METHOD_NONE;
    record[6] = 0;
    record[7] = 0;
    put_be16(record + 8, (uint32_t)length);
    Rc4Crypt(&handle->send_state, length, (const unsigned char*)data, record + SSLVPN_HEADER_SIZE);
    // Header and payload in one send: with TCP_NODELAY they would otherwise leave as two segments.
    int result = send_ex(SSLVPN_HEADER_SIZE + (size_t)length, handle->socket, record, RECORD_SEND_BUDGET_MS);
    if (result < 0) {
        LOG_WARN("send record failed (%d).", result);
        return result;
    }
    return length;
}

int sslvpn_recv(int size, SslvpnHandle* handle, void* destination) {
    if (!handle || !destination || size <= 0 || handle->socket == INVALID_SOCKET) {
        return SSLVPN_ERR_INVALID;
    }
    if (handle->error) {
        return handle->error;
    }
    if (!handle->data) {
        int result = handle->need_len == 0 ? recv_ssl_packet_header(handle) : 1;
        if (result > 0) {
            result = recv_data(handle);
        }
        if (result <= 0) {
            if (result < 0) {
                handle->error = result;
            }
            return result;
        }
    }
    uint32_t count = std::min<uint32_t>((uint32_t)size, handle->data_len - handle->ret_len);
    memcpy(destination, handle->data + handle->ret_len, count);
    handle->ret_len += count;
    if (handle->ret_len == handle->data_len) {
        close_record(handle);
    }
    return (int)count;
}

uint64_t sslvpn_pending(const SslvpnHandle* handle) {
    return handle && handle->data ? handle->data_len - handle->ret_len : 0;
}

void sslvpn_free(SslvpnHandle* handle) {
    if (!handle) {
        return;
    }
    free(handle->recv_buff);
    free(handle->dec_buff);
    if (handle->socket != INVALID_SOCKET) {
        shutdown(handle->socket, SD_BOTH);
        closesocket(handle->socket);
    }
    delete handle;
}
