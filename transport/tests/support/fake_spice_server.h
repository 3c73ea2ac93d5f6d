// A SPICE server of our own for the channel tests: it listens on 127.0.0.1 and the test thread plays the
// server's side of each accepted connection step by step (link reply, password, result, messages), while the
// channel under test runs on its own worker thread. Every read waits at most a given time, so a channel that
// stops talking fails the test instead of hanging it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "winapi/winsock2.h"

#include <openssl/types.h>

namespace fake_spice {

const uint32_t kLinkMagic = 0x51444552;  // "REDQ"
const uint32_t kCommonCapMiniHeader = 1u << 3;
// Generous: a loaded CI machine with two cores, the sanitizers and a QEMU beside can starve a channel for
// seconds.
const uint32_t kDefaultTimeoutMs = 20000;

void put16(std::vector<uint8_t>& out, uint16_t v);
void put32(std::vector<uint8_t>& out, uint32_t v);
void put64(std::vector<uint8_t>& out, uint64_t v);
uint16_t get16(const uint8_t* p);
uint32_t get32(const uint8_t* p);
uint64_t get64(const uint8_t* p);

// What the client sent to open a channel: the 16-byte header and the link message.
struct LinkRequest {
    uint32_t magic = 0;
    uint32_t major = 0;
    uint32_t minor = 0;
    uint32_t size = 0;
    uint32_t connection_id = 0;
    uint8_t channel_type = 0;
    uint8_t channel_id = 0;
    uint32_t caps_offset = 0;
    std::vector<uint32_t> common_caps;
    std::vector<uint32_t> channel_caps;
    std::vector<uint8_t> bytes;  // everything as received, header included
};

struct Message {
    uint16_t type = 0;
    std::vector<uint8_t> body;
};

class Connection {
public:
    explicit Connection(SOCKET socket);
    ~Connection();

    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Raw bytes. recv_exact is false when the peer closed, failed or stayed silent for timeout_ms.
    bool recv_exact(uint8_t* data, size_t size, uint32_t timeout_ms = kDefaultTimeoutMs);
    bool send_all(const std::vector<uint8_t>& data);

    // The header and link message. False when they do not arrive whole or the counts run past the size.
    bool read_link(LinkRequest* out, uint32_t timeout_ms = kDefaultTimeoutMs);
    // A link reply with this server's RSA key: 16-byte header then error, key, counts, offset 178 and the
    // words.
    void send_link_reply(uint32_t error, const std::vector<uint32_t>& common,
                         const std::vector<uint32_t>& channel, uint32_t major = 2, uint32_t minor = 2);
    // A link reply of any body, for malformed replies.
    void send_link_reply_raw(const std::vector<uint8_t>& body, uint32_t major = 2, uint32_t minor = 2,
                             uint32_t magic = kLinkMagic);
    // The RSA-encrypted password (128 bytes for the 1024-bit key), decrypted with OAEP; false when it does
    // not arrive or does not decrypt. The text keeps the client's terminating NUL.
    bool read_password(std::string* password, uint32_t timeout_ms = kDefaultTimeoutMs);
    void send_link_result(uint32_t result);

    // The whole handshake, granting the mini header and the given extra words. False when a step fails.
    bool accept_link(LinkRequest* request = nullptr,
                     const std::vector<uint32_t>& common = {kCommonCapMiniHeader},
                     const std::vector<uint32_t>& channel = {});

    // 6-byte framing.
    bool read_message(Message* out, uint32_t timeout_ms = kDefaultTimeoutMs);
    // The next message of the given type, skipping others (acks, pongs...). False on time-out or close.
    bool read_message_of_type(uint16_t type, Message* out, uint32_t timeout_ms = kDefaultTimeoutMs);
    void send_message(uint16_t type, const std::vector<uint8_t>& body = {});
    // True when nothing arrives and the client closes within timeout_ms; any byte read makes it false.
    bool wait_closed(uint32_t timeout_ms = kDefaultTimeoutMs);
    // True when no byte arrives for timeout_ms (and the connection stays open).
    bool stays_silent(uint32_t timeout_ms);

    // Turns the connection into the server side of TLS with the given PEM files; later reads and writes go
    // through it. False when the handshake fails.
    bool start_tls(const std::string& cert_file, const std::string& key_file);

    void close();

private:
    int read_some(uint8_t* data, size_t size, uint32_t timeout_ms);
    bool buffered() const;

    SOCKET _socket;
    SSL_CTX* _tls_ctx;
    SSL* _tls;
};

class Server {
public:
    Server();  // listens on 127.0.0.1, an ephemeral port
    ~Server();

    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    int port() const { return _port; }
    // The next connection, or null when none came within timeout_ms.
    std::unique_ptr<Connection> accept(uint32_t timeout_ms = kDefaultTimeoutMs);
    // Stops listening: later connects are refused.
    void close();

private:
    SOCKET _listener;
    int _port;
};

// A loopback port on which nothing listens (connecting is refused).
int refused_port();

}  // namespace fake_spice
