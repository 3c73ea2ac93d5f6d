#include "support/fake_spice_server.h"

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cstring>
#include <mutex>

#include "winapi/windows.h"

namespace fake_spice {

namespace {

const size_t kPublicKeySize = 162;
const uint32_t kLinkReplyFixed = 178;

// One 1024-bit key for the whole test program: generating one per connection would slow every test down.
EVP_PKEY* server_key() {
    static std::once_flag once;
    static EVP_PKEY* key = nullptr;
    std::call_once(once, [] { key = EVP_RSA_gen(1024); });
    return key;
}

std::vector<uint8_t> server_public_key() {
    unsigned char* der = nullptr;
    int size = i2d_PUBKEY(server_key(), &der);
    std::vector<uint8_t> out(der, der + (size > 0 ? size : 0));
    OPENSSL_free(der);
    out.resize(kPublicKeySize);  // a 1024-bit key is exactly this long
    return out;
}

bool wait_readable(SOCKET s, uint32_t timeout_ms) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval tv;
    tv.tv_sec = timeout_ms / 1000;
    tv.tv_usec = (timeout_ms % 1000) * 1000;
    return select(0, &set, nullptr, nullptr, &tv) > 0;
}

}  // namespace

void put16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(uint8_t(v));
    out.push_back(uint8_t(v >> 8));
}
void put32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; i++) {
        out.push_back(uint8_t(v >> (8 * i)));
    }
}
void put64(std::vector<uint8_t>& out, uint64_t v) {
    put32(out, uint32_t(v));
    put32(out, uint32_t(v >> 32));
}
uint16_t get16(const uint8_t* p) {
    return uint16_t(p[0] | p[1] << 8);
}
uint32_t get32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint64_t get64(const uint8_t* p) {
    return uint64_t(get32(p)) | uint64_t(get32(p + 4)) << 32;
}

// ---- Connection ----

Connection::Connection(SOCKET socket) : _socket(socket), _tls_ctx(nullptr), _tls(nullptr) {}

Connection::~Connection() {
    close();
}

void Connection::close() {
    if (_tls) {
        SSL_free(_tls);
        _tls = nullptr;
    }
    if (_tls_ctx) {
        SSL_CTX_free(_tls_ctx);
        _tls_ctx = nullptr;
    }
    if (_socket != INVALID_SOCKET) {
        closesocket(_socket);
        _socket = INVALID_SOCKET;
    }
}

bool Connection::start_tls(const std::string& cert_file, const std::string& key_file) {
    _tls_ctx = SSL_CTX_new(TLS_server_method());
    if (!_tls_ctx || SSL_CTX_use_certificate_chain_file(_tls_ctx, cert_file.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(_tls_ctx, key_file.c_str(), SSL_FILETYPE_PEM) != 1) {
        return false;
    }
    _tls = SSL_new(_tls_ctx);
    // The accepted socket's descriptor is the Winsock handle; it stays blocking, so the handshake completes
    // here.
    return _tls && SSL_set_fd(_tls, int(_socket)) == 1 && SSL_accept(_tls) == 1;
}

bool Connection::buffered() const {
    return _tls && SSL_pending(_tls) > 0;
}

// Bytes that arrive within timeout_ms: a positive count, or 0 on time-out, close or error.
int Connection::read_some(uint8_t* data, size_t size, uint32_t timeout_ms) {
    if (!buffered() && !wait_readable(_socket, timeout_ms)) {
        return 0;
    }
    int n =
        _tls ? SSL_read(_tls, data, int(size)) : recv(_socket, reinterpret_cast<char*>(data), int(size), 0);
    return n > 0 ? n : 0;
}

bool Connection::recv_exact(uint8_t* data, size_t size, uint32_t timeout_ms) {
    DWORD deadline = GetTickCount() + timeout_ms;
    size_t done = 0;
    while (done < size) {
        DWORD now = GetTickCount();
        if (int32_t(deadline - now) <= 0) {
            return false;
        }
        int n = read_some(data + done, size - done, deadline - now);
        if (n <= 0) {
            return false;
        }
        done += size_t(n);
    }
    return true;
}

bool Connection::send_all(const std::vector<uint8_t>& data) {
    size_t done = 0;
    while (done < data.size()) {
        int n = _tls ? SSL_write(_tls, data.data() + done, int(data.size() - done))
                     : send(_socket, reinterpret_cast<const char*>(data.data() + done),
                            int(data.size() - done), 0);
        if (n <= 0) {
            return false;
        }
        done += size_t(n);
    }
    return true;
}

bool Connection::read_link(LinkRequest* out, uint32_t timeout_ms) {
    uint8_t head[16];
    if (!recv_exact(head, sizeof head, timeout_ms)) {
        return false;
    }
    out->magic = get32(head);
    out->major = get32(head + 4);
    out->minor = get32(head + 8);
    out->size = get32(head + 12);
    if (out->size < 18 || out->size > 4096) {
        return false;
    }
    std::vector<uint8_t> body(out->size);
    if (!recv_exact(body.data(), body.size(), timeout_ms)) {
        return false;
    }
    out->bytes.assign(head, head + sizeof head);
    out->bytes.insert(out->bytes.end(), body.begin(), body.end());
    out->connection_id = get32(&body[0]);
    out->channel_type = body[4];
    out->channel_id = body[5];
    uint64_t common = get32(&body[6]), channel = get32(&body[10]);
    out->caps_offset = get32(&body[14]);
    if (out->caps_offset + 4 * (common + channel) > body.size()) {
        return false;
    }
    const uint8_t* words = &body[out->caps_offset];
    out->common_caps.clear();
    out->channel_caps.clear();
    for (uint64_t i = 0; i < common; i++) {
        out->common_caps.push_back(get32(words + 4 * i));
    }
    for (uint64_t i = 0; i < channel; i++) {
        out->channel_caps.push_back(get32(words + 4 * (common + i)));
    }
    return true;
}

void Connection::send_link_reply_raw(const std::vector<uint8_t>& body, uint32_t major, uint32_t minor,
                                     uint32_t magic) {
    std::vector<uint8_t> out;
    put32(out, magic);
    put32(out, major);
    put32(out, minor);
    put32(out, uint32_t(body.size()));
    out.insert(out.end(), body.begin(), body.end());
    send_all(out);
}

void Connection::send_link_reply(uint32_t error, const std::vector<uint32_t>& common,
                                 const std::vector<uint32_t>& channel, uint32_t major, uint32_t minor) {
    std::vector<uint8_t> body;
    put32(body, error);
    std::vector<uint8_t> key = server_public_key();
    body.insert(body.end(), key.begin(), key.end());
    put32(body, uint32_t(common.size()));
    put32(body, uint32_t(channel.size()));
    put32(body, kLinkReplyFixed);
    for (uint32_t w : common) {
        put32(body, w);
    }
    for (uint32_t w : channel) {
        put32(body, w);
    }
    send_link_reply_raw(body, major, minor);
}

bool Connection::read_password(std::string* password, uint32_t timeout_ms) {
    uint8_t secret[128];
    if (!recv_exact(secret, sizeof secret, timeout_ms)) {
        return false;
    }
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(server_key(), nullptr);
    size_t size = sizeof secret;
    unsigned char plain[128];
    bool ok = ctx && EVP_PKEY_decrypt_init(ctx) > 0 &&
              EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_OAEP_PADDING) > 0 &&
              EVP_PKEY_decrypt(ctx, plain, &size, secret, sizeof secret) > 0;
    EVP_PKEY_CTX_free(ctx);
    if (ok) {
        password->assign(reinterpret_cast<char*>(plain), size);
    }
    return ok;
}

void Connection::send_link_result(uint32_t result) {
    std::vector<uint8_t> out;
    put32(out, result);
    send_all(out);
}

bool Connection::accept_link(LinkRequest* request, const std::vector<uint32_t>& common,
                             const std::vector<uint32_t>& channel) {
    LinkRequest local;
    LinkRequest* link = request ? request : &local;
    std::string password;
    if (!read_link(link)) {
        return false;
    }
    send_link_reply(0, common, channel);
    if (!read_password(&password)) {
        return false;
    }
    send_link_result(0);
    return true;
}

bool Connection::read_message(Message* out, uint32_t timeout_ms) {
    uint8_t head[6];
    if (!recv_exact(head, sizeof head, timeout_ms)) {
        return false;
    }
    out->type = get16(head);
    uint32_t size = get32(head + 2);
    if (size > (64u << 20)) {
        return false;
    }
    out->body.resize(size);
    return size == 0 || recv_exact(out->body.data(), size, timeout_ms);
}

bool Connection::read_message_of_type(uint16_t type, Message* out, uint32_t timeout_ms) {
    DWORD deadline = GetTickCount() + timeout_ms;
    for (;;) {
        DWORD now = GetTickCount();
        if (int32_t(deadline - now) <= 0 || !read_message(out, deadline - now)) {
            return false;
        }
        if (out->type == type) {
            return true;
        }
    }
}

void Connection::send_message(uint16_t type, const std::vector<uint8_t>& body) {
    std::vector<uint8_t> out;
    put16(out, type);
    put32(out, uint32_t(body.size()));
    out.insert(out.end(), body.begin(), body.end());
    send_all(out);
}

bool Connection::wait_closed(uint32_t timeout_ms) {
    if (!buffered() && !wait_readable(_socket, timeout_ms)) {
        return false;
    }
    uint8_t byte;
    int n = _tls ? SSL_read(_tls, &byte, 1) : recv(_socket, reinterpret_cast<char*>(&byte), 1, 0);
    return n <= 0;
}

bool Connection::stays_silent(uint32_t timeout_ms) {
    return !buffered() && !wait_readable(_socket, timeout_ms);
}

// ---- Server ----

Server::Server() : _listener(INVALID_SOCKET), _port(0) {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    _listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    int len = sizeof addr;
    if (_listener == INVALID_SOCKET ||
        bind(_listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(_listener, 8) != 0 ||
        getsockname(_listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        close();
        return;
    }
    _port = ntohs(addr.sin_port);
}

Server::~Server() {
    close();
    WSACleanup();
}

void Server::close() {
    if (_listener != INVALID_SOCKET) {
        closesocket(_listener);
        _listener = INVALID_SOCKET;
    }
}

std::unique_ptr<Connection> Server::accept(uint32_t timeout_ms) {
    if (_listener == INVALID_SOCKET || !wait_readable(_listener, timeout_ms)) {
        return nullptr;
    }
    SOCKET s = ::accept(_listener, nullptr, nullptr);
    if (s == INVALID_SOCKET) {
        return nullptr;
    }
    return std::unique_ptr<Connection>(new Connection(s));
}

int refused_port() {
    // A port that was just free: bound and released without listening.
    Server server;
    int port = server.port();
    server.close();
    return port;
}

}  // namespace fake_spice
