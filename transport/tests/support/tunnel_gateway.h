// A tunnel gateway of our own for the tunnel and channel tests, written from the record format alone: it
// listens on 127.0.0.1, checks the client's handshake and request, then relays between the client's
// records and the requested target (which must be on 127.0.0.1). Towards the client it can compress
// (zlib, LZO1B), leave records in clear, split records across writes and merge several into one write;
// tests can also push raw bytes for malformed records. Each accepted client runs on its own thread.
#pragma once

#include "winapi/winsock2.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tunnel_test {

const uint32_t kWaitMs = 5000;

enum class Compression { none, zlib, lzo1b };

enum class Handshake {
    answer,          // the normal gateway
    refuse_hello,    // closes the connection after the ClientHello
    silent,          // reads the ClientHello and never answers
    oversize_reply,  // answers the ClientHello with a record longer than the client's buffer
};

struct GatewayOptions {
    Handshake handshake = Handshake::answer;
    Compression compression = Compression::none;
    bool encipher = true;
    size_t max_payload = 8182;  // plain bytes per record towards the client
    size_t split = 0;           // when non-zero, writes carry at most this many bytes, with a pause between
    bool merge = false;         // the records made from one read of the target leave in one write
};

// The client's request, deciphered.
struct GatewayRequest {
    uint32_t magic = 0;
    std::vector<uint8_t> session_id;
    std::vector<uint8_t> stream_key;  // the stream key copy
    std::vector<uint8_t> request_key;
    std::string target_host;
    uint32_t target_port = 0;
    std::string user_name;
    uint32_t word_a = 0;
    uint32_t word_b = 0;
    uint32_t word_c = 0;
};

// Record bytes as the gateway sends them: header (23, 3, 1, wire length + 5, flags, 0, 0, data length)
// and the wire payload as given.
std::vector<uint8_t> make_record(uint8_t flags, const std::vector<uint8_t>& wire_payload,
                                 uint32_t data_length);
std::vector<uint8_t> zlib_compress(const std::vector<uint8_t>& plain);
std::vector<uint8_t> lzo1b_compress(const std::vector<uint8_t>& plain);

class TunnelGateway {
public:
    explicit TunnelGateway(const GatewayOptions& options = GatewayOptions());
    ~TunnelGateway();

    TunnelGateway(const TunnelGateway&) = delete;
    TunnelGateway& operator=(const TunnelGateway&) = delete;

    int port() const { return _port; }

    // Waits until count clients have sent a well-formed request; false after timeout_ms.
    bool wait_requests(size_t count, uint32_t timeout_ms = kWaitMs) const;
    std::vector<GatewayRequest> requests() const;
    // Payload lengths of the client's records, in arrival order, over all clients.
    std::vector<size_t> client_records() const;
    // Faults found in the client's bytes (handshake, request or record format).
    int client_faults() const { return _faults; }

    // Raw bytes to the latest client whose handshake is done; false when there is none.
    bool send_to_client(const std::vector<uint8_t>& bytes);
    // Closes the latest client's connection.
    void disconnect_client();

private:
    struct Session;

    void accept_loop();
    void serve(std::shared_ptr<Session> session);
    bool handshake(const std::shared_ptr<Session>& session);
    void relay(Session& session);
    bool forward_client_record(Session& session);
    bool forward_target_bytes(Session& session);
    bool write_client(Session& session, const std::vector<uint8_t>& bytes);
    void fault(const char* what);

    GatewayOptions _options;
    SOCKET _listener;
    int _port;
    std::atomic<bool> _stop{false};
    std::atomic<int> _faults{0};
    std::thread _acceptor;

    mutable std::mutex _lock;  // guards everything below
    std::vector<std::thread> _threads;
    std::vector<std::shared_ptr<Session>> _sessions;
    std::vector<GatewayRequest> _requests;
    std::vector<size_t> _client_records;
    std::shared_ptr<Session> _latest;
};

// Echoes every byte back, for each client on its own thread.
class EchoServer {
public:
    EchoServer();
    ~EchoServer();

    EchoServer(const EchoServer&) = delete;
    EchoServer& operator=(const EchoServer&) = delete;

    int port() const { return _port; }

private:
    void accept_loop();

    SOCKET _listener;
    int _port;
    std::atomic<bool> _stop{false};
    std::thread _acceptor;
    std::mutex _lock;
    std::vector<std::thread> _threads;
    std::vector<SOCKET> _sockets;
};

}  // namespace tunnel_test
