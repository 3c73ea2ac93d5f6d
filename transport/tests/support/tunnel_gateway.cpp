#include "support/tunnel_gateway.h"

#include "runtime/rc4.h"

#include "winapi/windows.h"
#include "winapi/ws2tcpip.h"

#include <lzo/lzo1b.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstring>

namespace tunnel_test {

namespace {

const size_t kTlsHeader = 5;
const size_t kRecordHeader = 10;
const size_t kHelloSize = 102;
const size_t kFinishedSize = 43;
const size_t kRequestSize = 273;
const size_t kClientMaxPayload = 8182;
const uint16_t kCipherSuites[11] = {0x0004, 0x0005, 0x000A, 0x0009, 0x0064, 0x0062,
                                    0x0003, 0x0006, 0x0013, 0x0012, 0x0063};
const uint32_t kPollMs = 50;

uint32_t be16(const uint8_t* p) {
    return ((uint32_t)p[0] << 8) | p[1];
}

uint32_t le32(const uint8_t* p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

std::string text_field(const uint8_t* p, size_t room) {
    return std::string((const char*)p, strnlen((const char*)p, room));
}

SOCKET listen_loopback(int* port, int backlog) {
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, (const sockaddr*)&address, sizeof(address));
    listen(listener, backlog);
    int length = sizeof(address);
    getsockname(listener, (sockaddr*)&address, &length);
    *port = ntohs(address.sin_port);
    return listener;
}

// 1 readable, 0 nothing within ms, -1 failed.
int wait_readable(SOCKET socket, uint32_t ms) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(socket, &set);
    timeval timeout;
    timeout.tv_sec = (LONG)(ms / 1000);
    timeout.tv_usec = (LONG)(ms % 1000) * 1000;
    int ready = select(0, &set, nullptr, nullptr, &timeout);
    return ready > 0 ? 1 : ready;
}

bool recv_exact(SOCKET socket, uint8_t* data, size_t size, const std::atomic<bool>& stop,
                uint32_t timeout_ms = kWaitMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    size_t got = 0;
    while (got < size) {
        if (stop || std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        int ready = wait_readable(socket, kPollMs);
        if (ready < 0) {
            return false;
        }
        if (ready == 0) {
            continue;
        }
        int n = recv(socket, (char*)data + got, (int)(size - got), 0);
        if (n <= 0) {
            return false;
        }
        got += (size_t)n;
    }
    return true;
}

bool send_all(SOCKET socket, const uint8_t* data, size_t size) {
    size_t sent = 0;
    while (sent < size) {
        int n = send(socket, (const char*)data + sent, (int)(size - sent), 0);
        if (n <= 0) {
            return false;
        }
        sent += (size_t)n;
    }
    return true;
}

bool check_client_hello(const uint8_t* h) {
    if (h[0] != 22 || h[1] != 3 || h[2] != 1 || be16(h + 3) != kHelloSize - kTlsHeader) {
        return false;
    }
    if (h[5] != 1 || h[6] != 0 || be16(h + 7) != kHelloSize - kTlsHeader - 4 || h[9] != 3 || h[10] != 1) {
        return false;
    }
    if (h[43] != 32 || be16(h + 76) != sizeof(kCipherSuites)) {
        return false;
    }
    for (size_t i = 0; i < 11; i++) {
        if (be16(h + 78 + 2 * i) != kCipherSuites[i]) {
            return false;
        }
    }
    return h[100] == 1 && h[101] == 0;
}

bool check_client_finished(const uint8_t* f) {
    static const uint8_t change_cipher_spec[6] = {20, 3, 1, 0, 1, 1};
    static const uint8_t finished_header[5] = {22, 3, 1, 0, 32};
    return memcmp(f, change_cipher_spec, 6) == 0 && memcmp(f + 6, finished_header, 5) == 0;
}

std::vector<uint8_t> handshake_reply(uint8_t type, size_t length) {
    std::vector<uint8_t> reply = {type, 3, 1, (uint8_t)(length >> 8), (uint8_t)length};
    for (size_t i = 0; i < length; i++) {
        reply.push_back((uint8_t)(i * 7 + 1));
    }
    return reply;
}

}  // namespace

std::vector<uint8_t> make_record(uint8_t flags, const std::vector<uint8_t>& wire_payload,
                                 uint32_t data_length) {
    size_t wire = wire_payload.size() + kTlsHeader;
    std::vector<uint8_t> record = {23,    3, 1, (uint8_t)(wire >> 8),        (uint8_t)wire,
                                   flags, 0, 0, (uint8_t)(data_length >> 8), (uint8_t)data_length};
    record.insert(record.end(), wire_payload.begin(), wire_payload.end());
    return record;
}

std::vector<uint8_t> zlib_compress(const std::vector<uint8_t>& plain) {
    uLongf size = compressBound(plain.size());
    std::vector<uint8_t> out(size);
    compress(out.data(), &size, plain.data(), plain.size());
    out.resize(size);
    return out;
}

std::vector<uint8_t> lzo1b_compress(const std::vector<uint8_t>& plain) {
    static const bool ready = lzo_init() == LZO_E_OK;
    (void)ready;
    std::vector<uint8_t> work(LZO1B_MEM_COMPRESS);
    std::vector<uint8_t> out(plain.size() + plain.size() / 16 + 64 + 3);
    lzo_uint size = out.size();
    lzo1b_1_compress(plain.data(), plain.size(), out.data(), &size, work.data());
    out.resize(size);
    return out;
}

struct TunnelGateway::Session {
    SOCKET client = INVALID_SOCKET;
    SOCKET target = INVALID_SOCKET;
    Rc4State to_client;
    Rc4State from_client;
    std::mutex write_lock;  // the relay and the test both write to the client
};

TunnelGateway::TunnelGateway(const GatewayOptions& options) : _options(options) {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    _listener = listen_loopback(&_port, 16);
    _acceptor = std::thread([this] { accept_loop(); });
}

TunnelGateway::~TunnelGateway() {
    _stop = true;
    _acceptor.join();
    // Wakes relays that are blocked writing to a client that stopped reading.
    for (auto& session : _sessions) {
        shutdown(session->client, SD_BOTH);
    }
    for (std::thread& thread : _threads) {
        thread.join();
    }
    for (auto& session : _sessions) {
        closesocket(session->client);
        if (session->target != INVALID_SOCKET) {
            closesocket(session->target);
        }
    }
    closesocket(_listener);
    WSACleanup();
}

void TunnelGateway::accept_loop() {
    while (!_stop) {
        if (wait_readable(_listener, kPollMs) != 1) {
            continue;
        }
        SOCKET client = accept(_listener, nullptr, nullptr);
        if (client == INVALID_SOCKET) {
            continue;
        }
        auto session = std::make_shared<Session>();
        session->client = client;
        std::lock_guard<std::mutex> guard(_lock);
        _sessions.push_back(session);
        _threads.emplace_back([this, session] { serve(session); });
    }
}

void TunnelGateway::serve(std::shared_ptr<Session> session) {
    if (handshake(session)) {
        relay(*session);
    }
    // The sockets stay open until the gateway goes, so that a test's late write never meets a reused handle.
    shutdown(session->client, SD_BOTH);
    if (session->target != INVALID_SOCKET) {
        shutdown(session->target, SD_BOTH);
    }
}

void TunnelGateway::fault(const char* what) {
    fprintf(stderr, "tunnel gateway: %s\n", what);
    _faults++;
}

bool TunnelGateway::handshake(const std::shared_ptr<Session>& shared) {
    Session& session = *shared;
    uint8_t hello[kHelloSize];
    if (!recv_exact(session.client, hello, sizeof(hello), _stop)) {
        return false;
    }
    if (!check_client_hello(hello)) {
        fault("malformed ClientHello");
        return false;
    }
    switch (_options.handshake) {
        case Handshake::refuse_hello:
            return false;
        case Handshake::silent:
            // Holds the connection until the client gives up or the gateway stops.
            while (!_stop && wait_readable(session.client, kPollMs) == 0) {
            }
            return false;
        case Handshake::oversize_reply: {
            std::vector<uint8_t> reply = handshake_reply(22, 5000);
            send_all(session.client, reply.data(), reply.size());
            return false;
        }
        case Handshake::answer:
            break;
    }
    std::vector<uint8_t> reply = handshake_reply(22, 74);
    uint8_t finished[kFinishedSize];
    if (!send_all(session.client, reply.data(), reply.size()) ||
        !recv_exact(session.client, finished, sizeof(finished), _stop)) {
        return false;
    }
    if (!check_client_finished(finished)) {
        fault("malformed ChangeCipherSpec/Finished");
        return false;
    }
    reply = handshake_reply(22, 32);
    uint8_t request[kRequestSize];
    if (!send_all(session.client, reply.data(), reply.size()) ||
        !recv_exact(session.client, request, sizeof(request), _stop)) {
        return false;
    }
    if (request[0] != 23 || request[1] != 3 || request[2] != 1 ||
        be16(request + 3) != kRequestSize - kTlsHeader) {
        fault("malformed request header");
        return false;
    }
    Rc4State request_state;
    Rc4Init(&request_state, request + 41, 16);
    Rc4Crypt(&request_state, (int)(kRequestSize - 57), request + 57, request + 57);

    GatewayRequest parsed;
    parsed.magic = le32(request + 5);
    parsed.session_id.assign(request + 9, request + 25);
    parsed.stream_key.assign(request + 25, request + 41);
    parsed.request_key.assign(request + 41, request + 57);
    parsed.target_host = text_field(request + 57, 100);
    parsed.target_port = le32(request + 157);
    parsed.user_name = text_field(request + 161, 100);
    parsed.word_a = le32(request + 261);
    parsed.word_b = le32(request + 265);
    parsed.word_c = le32(request + 269);
    if (parsed.magic != 512 || parsed.target_host != "127.0.0.1" || parsed.target_port == 0 ||
        parsed.target_port > 0xFFFF) {
        // Never relays off this machine.
        fault("request refused");
        return false;
    }

    session.target = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in target = {};
    target.sin_family = AF_INET;
    target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    target.sin_port = htons((u_short)parsed.target_port);
    if (connect(session.target, (const sockaddr*)&target, sizeof(target)) != 0) {
        return false;
    }
    Rc4Init(&session.to_client, parsed.stream_key.data(), 16);
    Rc4Init(&session.from_client, parsed.stream_key.data(), 16);
    {
        // Registered before the last answer, so that a test sees the session as soon as its connect returns.
        std::lock_guard<std::mutex> guard(_lock);
        _requests.push_back(parsed);
        _latest = shared;
    }
    reply = handshake_reply(23, 4);
    return send_all(session.client, reply.data(), reply.size());
}

void TunnelGateway::relay(Session& session) {
    while (!_stop) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(session.client, &readable);
        FD_SET(session.target, &readable);
        timeval timeout = {0, (LONG)kPollMs * 1000};
        int ready = select(0, &readable, nullptr, nullptr, &timeout);
        if (ready < 0) {
            return;
        }
        if (FD_ISSET(session.client, &readable) && !forward_client_record(session)) {
            return;
        }
        if (FD_ISSET(session.target, &readable) && !forward_target_bytes(session)) {
            return;
        }
    }
}

bool TunnelGateway::forward_client_record(Session& session) {
    uint8_t header[kRecordHeader];
    if (!recv_exact(session.client, header, sizeof(header), _stop)) {
        return false;
    }
    uint32_t wire = be16(header + 3);
    uint32_t data = be16(header + 8);
    if (header[0] != 23 || header[1] != 3 || header[2] != 1 || header[5] != 0x80 || header[6] != 0 ||
        header[7] != 0 || wire <= kTlsHeader || wire - kTlsHeader != data || data > kClientMaxPayload) {
        fault("malformed client record");
        return false;
    }
    std::vector<uint8_t> payload(data);
    if (!recv_exact(session.client, payload.data(), payload.size(), _stop)) {
        return false;
    }
    Rc4Crypt(&session.from_client, (int)payload.size(), payload.data(), payload.data());
    {
        std::lock_guard<std::mutex> guard(_lock);
        _client_records.push_back(payload.size());
    }
    return send_all(session.target, payload.data(), payload.size());
}

bool TunnelGateway::forward_target_bytes(Session& session) {
    std::vector<uint8_t> plain(65536);
    int n = recv(session.target, (char*)plain.data(), (int)plain.size(), 0);
    if (n <= 0) {
        return false;
    }
    plain.resize((size_t)n);
    std::vector<uint8_t> merged;
    for (size_t at = 0; at < plain.size(); at += _options.max_payload) {
        std::vector<uint8_t> piece(plain.begin() + at,
                                   plain.begin() + std::min(plain.size(), at + _options.max_payload));
        uint8_t flags = 0;
        std::vector<uint8_t> wire = piece;
        if (_options.compression == Compression::zlib) {
            wire = zlib_compress(piece);
            flags = 5;
        } else if (_options.compression == Compression::lzo1b) {
            wire = lzo1b_compress(piece);
            flags = 3;
        }
        if (_options.encipher) {
            flags |= 0x80;
            Rc4Crypt(&session.to_client, (int)wire.size(), wire.data(), wire.data());
        }
        std::vector<uint8_t> record = make_record(flags, wire, (uint32_t)piece.size());
        if (_options.merge) {
            merged.insert(merged.end(), record.begin(), record.end());
        } else if (!write_client(session, record)) {
            return false;
        }
    }
    return merged.empty() || write_client(session, merged);
}

bool TunnelGateway::write_client(Session& session, const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> guard(session.write_lock);
    if (_options.split == 0) {
        return send_all(session.client, bytes.data(), bytes.size());
    }
    for (size_t at = 0; at < bytes.size(); at += _options.split) {
        if (at > 0) {
            // Lets the client read each piece on its own.
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        if (!send_all(session.client, bytes.data() + at, std::min(_options.split, bytes.size() - at))) {
            return false;
        }
    }
    return true;
}

bool TunnelGateway::wait_requests(size_t count, uint32_t timeout_ms) const {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
        {
            std::lock_guard<std::mutex> guard(_lock);
            if (_requests.size() >= count) {
                return true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

std::vector<GatewayRequest> TunnelGateway::requests() const {
    std::lock_guard<std::mutex> guard(_lock);
    return _requests;
}

std::vector<size_t> TunnelGateway::client_records() const {
    std::lock_guard<std::mutex> guard(_lock);
    return _client_records;
}

bool TunnelGateway::send_to_client(const std::vector<uint8_t>& bytes) {
    std::shared_ptr<Session> session;
    {
        std::lock_guard<std::mutex> guard(_lock);
        session = _latest;
    }
    if (!session) {
        return false;
    }
    std::lock_guard<std::mutex> guard(session->write_lock);
    return send_all(session->client, bytes.data(), bytes.size());
}

void TunnelGateway::disconnect_client() {
    std::shared_ptr<Session> session;
    {
        std::lock_guard<std::mutex> guard(_lock);
        session = _latest;
    }
    if (session) {
        shutdown(session->client, SD_BOTH);
    }
}

EchoServer::EchoServer() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    _listener = listen_loopback(&_port, 16);
    _acceptor = std::thread([this] { accept_loop(); });
}

EchoServer::~EchoServer() {
    _stop = true;
    _acceptor.join();
    for (std::thread& thread : _threads) {
        thread.join();
    }
    for (SOCKET socket : _sockets) {
        closesocket(socket);
    }
    closesocket(_listener);
    WSACleanup();
}

void EchoServer::accept_loop() {
    while (!_stop) {
        if (wait_readable(_listener, kPollMs) != 1) {
            continue;
        }
        SOCKET client = accept(_listener, nullptr, nullptr);
        if (client == INVALID_SOCKET) {
            continue;
        }
        std::lock_guard<std::mutex> guard(_lock);
        _sockets.push_back(client);
        _threads.emplace_back([this, client] {
            std::vector<char> buffer(65536);
            while (!_stop) {
                int ready = wait_readable(client, kPollMs);
                if (ready < 0) {
                    return;
                }
                if (ready == 0) {
                    continue;
                }
                int n = recv(client, buffer.data(), (int)buffer.size(), 0);
                if (n <= 0 || !send_all(client, (const uint8_t*)buffer.data(), (size_t)n)) {
                    return;
                }
            }
        });
    }
}

}  // namespace tunnel_test
