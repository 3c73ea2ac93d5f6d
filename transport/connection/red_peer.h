// RedPeer: the byte pipe of one SPICE channel. It opens the channel's connection to the display server over
// plain TCP, the maker's tunnel or TLS, reads and writes raw bytes over whichever is open, and shuts the
// connection down and closes it. Every channel object is its own peer (RedChannelBase derives from it).
//
// Threads: the channel's worker owns the peer and calls everything but shutdown, which any thread may call to
// wake a worker blocked in a connect, read or write. The peer lock guards the socket handle, the TLS objects,
// the tunnel and the shut flag whenever they change, and is never held across a blocking connect or transfer.
#pragma once

#include "runtime/event_sources.h"
#include "runtime/exception.h"
#include "runtime/threads.h"
#include "transport/protocol/marshaller.h"
#include "transport/tunnel/tunnel.h"
#include "transport/tunnel/vpn_info.h"

#include "winapi/winsock2.h"

#include <openssl/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The frame header of every message after the link, both directions; little-endian, packed.
struct SpiceMiniDataHeader {
    uint16_t type;
    uint32_t size;
} __attribute__((packed));
static_assert(sizeof(SpiceMiniDataHeader) == 6, "the mini header is 6 bytes on the wire");

// Transport error codes: carried by Exception and RedPeer::DisconnectedException, they become a channel's
// error and the main channel's process exit code.
enum {
    SPICEC_ERROR_CODE_ERROR = 1,
    SPICEC_ERROR_CODE_GETHOSTBYNAME_FAILED = 2,
    SPICEC_ERROR_CODE_CONNECT_FAILED = 3,
    SPICEC_ERROR_CODE_SOCKET_FAILED = 4,
    SPICEC_ERROR_CODE_SEND_FAILED = 5,
    SPICEC_ERROR_CODE_RECV_FAILED = 6,
    SPICEC_ERROR_CODE_SSL_ERROR = 7,
    SPICEC_ERROR_CODE_VERSION_MISMATCH = 11,
};

class RedPeer : public EventSources::Socket {
public:
    class ConnectionOptions;
    class HostCheckOptions;
    class DisconnectedException;
    class InMessage;
    class CompoundInMessage;
    class OutMessage;

    // Largest message body accepted from the server; a larger size ends the connection with code 6.
    static const uint32_t MAX_MESSAGE_SIZE = 256u << 20;

    // The link exchange's deadline. It starts once connect_unsecure or connect_secure has the connection (so
    // it covers the TLS handshake) and ends with set_linked(true) or close. When it passes first, the socket
    // is shut down, which fails the blocked link read or write; link_timed_out then tells the link why. A
    // linked connection has no deadline: an idle session is normal, and TCP keep-alive finds a vanished
    // server.
    static const uint32_t LINK_TIMEOUT_MS = 30000;
    // For tests; 0 restores LINK_TIMEOUT_MS. Applies to deadlines started afterwards.
    static void set_link_timeout_ms(uint32_t ms);
    static uint32_t link_timeout_ms();

    RedPeer();
    virtual ~RedPeer();

    RedPeer(const RedPeer&) = delete;
    RedPeer& operator=(const RedPeer&) = delete;

    void on_event() override {}
    SOCKET get_socket() override { return _peer; }
    // Reads one whole message with blocking reads (the socket must be outside the channel's loop). The caller
    // owns the returned reference.
    virtual CompoundInMessage* receive_message();
    // Called by the channel once the socket is in its loop.
    virtual void on_socket_ready() {}

    void connect_unsecure(const char* host, int port);
    void connect_secure(const ConnectionOptions& options, const char* host);

    // Up to size bytes; the count moved before the connection would block (size when all went). Throw
    // DisconnectedException when the peer closed or this side shut down, Exception on other failures (codes 6
    // and 5).
    uint32_t receive(uint8_t* buf, uint32_t size);
    uint32_t send(const uint8_t* buf, uint32_t size);

    // Any thread. Once: shuts the socket down both ways, which fails a blocked connect, read or write of the
    // worker, and sets the shut flag. A shut peer also refuses to connect until clear_shut.
    void shutdown();
    // Worker only. Ends TLS (when the connection is still whole), frees the TLS objects and closes the tunnel
    // or the socket. The shut, tunnel and linked flags stay as they are.
    void close();
    // Exchanges the connection (socket, TLS objects, tunnel) with another peer of the same thread; when this
    // peer is shut, the connection it receives is shut down at once. Migration.
    void swap(RedPeer* other);

    // Cleared by the main channel client before each connect, and by the migration on its peers.
    void clear_shut();
    bool is_shut();
    // Set by the link handshake: from then on a tunnel transfer that moves nothing counts as "would block".
    void set_linked(bool linked);
    bool is_linked() const { return _linked != 0; }

    uint64_t tunnel_pending_bytes() const override;

    // Process-wide: some channel connected through the tunnel. Later channels with connect mode 0 go straight
    // to the tunnel.
    static bool tunnel_used();
    // Back to "not used", as at program start. For tests, which share one process.
    static void reset_tunnel_used();

protected:
    void connect_to_peer(const char* host, int port);
    // Throws the link's time-out (code 3) when the deadline shut the connection down; else returns.
    void check_link_deadline();
    // After a failed connect or link: frees the TLS objects and releases the connection, without a TLS close.
    void cleanup();

private:
    bool tunnel_enforced();
    bool connect_direct_or_tunnel(const char* host, int port, bool enforced);
    bool connect_tunnel(const char* host, int port);
    void connect_plain(const char* host, int port);
    // Takes a connected socket (or tunnel) made without the lock; false, with it released, when the peer was
    // shut down meanwhile.
    bool adopt(SOCKET socket, Vpn* tunnel);
    // What the time-limited connects report about the socket they are working on, so that shutdown reaches
    // it.
    SocketWatch connecting_watch();
    // Under the peer lock.
    void release_connection();
    void shutdown_tls();
    [[noreturn]] void fail_connect(int code, const char* format, ...) __attribute__((format(printf, 3, 4)));
    class LinkDeadline;
    void arm_link_deadline();
    // Never with the peer lock held: it waits for a deadline that may be taking that lock.
    void disarm_link_deadline();
    void on_link_deadline();

    // The tunnel flag is EventSource's (set_tunnelled), which the loop reads.
    SOCKET _peer;  // written by the worker under _lock; INVALID_SOCKET (-1) when there is none
    Mutex _lock;
    bool _shut;  // guarded by _lock
    SSL_CTX* _ctx;
    SSL* _ssl;
    bool _tls_broken;  // worker only: a fatal TLS error, after which TLS must not be shut down
    VpnInfo _vpn_info;
    Vpn* _vpn;
    uint32_t _linked;                              // worker only
    std::unique_ptr<LinkDeadline> _link_deadline;  // worker only
    std::atomic<bool> _link_timed_out;
};

// What a channel connects with, from the main channel client's settings.
class RedPeer::HostCheckOptions {
public:
    enum { PUBKEY = 1, NAME = 2, SUBJECT = 4 };  // the verification flags of the certificate checks

    HostCheckOptions() : type_flags(0) {}

    int type_flags;
    std::vector<uint8_t> host_pubkey;  // DER SubjectPublicKeyInfo
    std::string host_subject;
    std::string CA_file;
};

class RedPeer::ConnectionOptions {
public:
    enum Type { CON_OP_INVALID = 0, CON_OP_SECURE = 1, CON_OP_UNSECURE = 2, CON_OP_BOTH = 3 };

    ConnectionOptions(Type in_type, int in_port, int in_sport, int in_protocol,
                      const HostCheckOptions& in_host_auth, const std::string& in_ciphers)
        : type(in_type),
          unsecure_port(in_port),
          secure_port(in_sport),
          protocol(in_protocol),
          host_auth(in_host_auth),
          ciphers(in_ciphers) {}
    virtual ~ConnectionOptions() {}

    bool allow_secure() const { return (type == CON_OP_SECURE || type == CON_OP_BOTH) && secure_port != -1; }
    bool allow_unsecure() const {
        return (type == CON_OP_UNSECURE || type == CON_OP_BOTH) && unsecure_port != -1;
    }

    Type type;
    int unsecure_port;  // -1: none
    int secure_port;    // -1: none
    int protocol;       // 0 automatic, 1 or 2
    HostCheckOptions host_auth;
    std::string ciphers;  // empty: the TLS library's defaults
};

// A connection that the other side closed or reset, or that this side shut down. The channel catches it apart
// from other failures.
class RedPeer::DisconnectedException : public Exception {
public:
    DisconnectedException(const std::string& message, int error_code) : Exception(message, error_code) {}
};

// A view of one received message: type, size and bytes.
class RedPeer::InMessage {
public:
    InMessage(uint16_t type, uint32_t size, uint8_t* data) : _type(type), _size(size), _data(data) {}
    virtual ~InMessage() {}

    uint16_t type() const { return _type; }
    uint8_t* data() { return _data; }
    virtual uint32_t size() { return _size; }

protected:
    uint16_t _type;
    uint32_t _size;
    uint8_t* _data;
};

// A received message that owns its body. Reference counted without atomics: one thread holds it at a time.
class RedPeer::CompoundInMessage : public RedPeer::InMessage {
public:
    // Allocates the body (uninitialised). A size above MAX_MESSAGE_SIZE throws Exception code 6, as it can
    // only come from a broken or hostile server.
    CompoundInMessage(uint32_t size, uint16_t type, uint8_t flag = 0);

    CompoundInMessage(const CompoundInMessage&) = delete;
    CompoundInMessage& operator=(const CompoundInMessage&) = delete;

    CompoundInMessage* ref() {
        ++_refs;
        return this;
    }
    void unref() {
        if (--_refs == 0) {
            delete this;
        }
    }

    // The sub-list offset when one is set, else the body size.
    uint32_t size() override { return _sub_list_offset ? _sub_list_offset : _size; }
    uint32_t body_size() const { return _size; }

    uint64_t serial() const { return _serial; }
    void set_serial(uint64_t serial) { _serial = serial; }
    uint32_t sub_list() const { return _sub_list_offset; }
    void set_sub_list(uint32_t offset) { _sub_list_offset = offset; }
    uint8_t flag() const { return _flag; }

protected:
    ~CompoundInMessage() override;

private:
    int _refs;
    uint64_t _serial;
    uint32_t _sub_list_offset;
    uint8_t _flag;
};

// A message being built: a marshaller whose first 6 bytes are the mini header. The type is written at
// construction, the body size just before sending (set_body_size).
class RedPeer::OutMessage {
public:
    explicit OutMessage(uint32_t type);
    virtual ~OutMessage();

    OutMessage(const OutMessage&) = delete;
    OutMessage& operator=(const OutMessage&) = delete;

    SpiceMarshaller* marshaller() { return _marshaller; }
    uint16_t type() const;
    // Writes the body size (everything after the header) into the header.
    void set_body_size();
    // Empties the message for reuse with a new header of the given type.
    void reset(uint32_t type);

private:
    void write_header(uint32_t type);

    SpiceMarshaller* _marshaller;
    uint8_t* _header;  // the 6 reserved bytes; stable, they lie in the marshaller's first buffer
};
