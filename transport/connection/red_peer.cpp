#include "transport/connection/red_peer.h"

#include "platform/session_block.h"
#include "runtime/log.h"
#include "runtime/utils.h"
#include "transport/connection/cert_verify.h"
#include "transport/connection/peer_bio.h"

#include "winapi/winreg.h"
#include "winapi/ws2tcpip.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

namespace {

// Written and read by every channel thread; it only chooses a road.
std::atomic<uint32_t> tunnel_used_flag(0);

std::atomic<uint32_t> link_timeout(RedPeer::LINK_TIMEOUT_MS);

const uint32_t FORCE_LINK_DIRECT_THEN_TUNNEL = 0;
const uint32_t FORCE_LINK_TUNNEL = 2;

// An end of stream: the peer closed its side, which carries no error code of its own.
const char kPeerClosed[] = "the peer closed the connection";

// Logs the text as a SPICE-style warning, like every failure of the transport, and throws it as a
// disconnection.
[[noreturn]] void throw_disconnected(int code, const char* file, unsigned line, const char* function,
                                     const char* format, ...) __attribute__((format(printf, 5, 6)));

void throw_disconnected(int code, const char* file, unsigned line, const char* function, const char* format,
                        ...) {
    std::string message;
    va_list ap;
    va_start(ap, format);
    format_string_va(message, format, ap);
    va_end(ap);
    std::string position;
    format_string(position, "%s:%u", file, line);
    spice_log(SPICE_LOG_DOMAIN, SPICE_LOG_LEVEL_WARNING, position.c_str(),
              qualified_function_name(function).c_str(), "%s", message.c_str());
    throw RedPeer::DisconnectedException(message, code);
}

#define THROW_DISCONNECTED(code, ...) \
    throw_disconnected((code), __FILE__, __LINE__, __PRETTY_FUNCTION__, __VA_ARGS__)

// The first queued TLS error, with the whole queue printed to standard error.
[[noreturn]] void ssl_error() {
    char text[256] = "";
    ERR_error_string_n(ERR_peek_error(), text, sizeof text);
    ERR_print_errors_fp(stderr);
    THROW_ERR(SPICEC_ERROR_CODE_SSL_ERROR, "SSL Error: %s", text);
}

// The TLS library reports a peer that went without a TLS close as a protocol error of its own; for the
// channel it is a closed connection, as a plain end of stream is.
bool is_unexpected_eof() {
    unsigned long error = ERR_peek_error();
    return ERR_GET_LIB(error) == ERR_LIB_SSL && ERR_GET_REASON(error) == SSL_R_UNEXPECTED_EOF_WHILE_READING;
}

bool set_blocking(SOCKET socket, bool blocking) {
    u_long non_blocking = blocking ? 0 : 1;
    return ioctlsocket(socket, FIONBIO, &non_blocking) == 0;
}

// Waits, without a time limit of its own, for a non-blocking connect to end; the connect's error, 0 when
// connected. A shutdown of the socket from another thread ends the wait.
int wait_connected(SOCKET socket) {
    for (;;) {
        fd_set writable;
        fd_set failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(socket, &writable);
        FD_SET(socket, &failed);
        int ready = select(0, nullptr, &writable, &failed, nullptr);
        if (ready == SOCKET_ERROR) {
            int error = WSAGetLastError();
            if (error == WSAEINTR) {
                continue;
            }
            return error;
        }
        int error = 0;
        int length = sizeof error;
        if (getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0) {
            return WSAGetLastError();
        }
        // Windows shows a failed connect only in the except set; its error is what counts either way.
        if (error == 0 && FD_ISSET(socket, &failed)) {
            error = WSAECONNREFUSED;
        }
        return error;
    }
}

}  // namespace

// A thread that waits for the link's deadline and then has the peer shut its connection down, unless it is
// cancelled first (the destructor cancels and joins).
class RedPeer::LinkDeadline {
public:
    LinkDeadline(RedPeer& peer, uint32_t ms) : _thread([this, &peer, ms] { run(peer, ms); }) {}
    ~LinkDeadline() {
        {
            std::lock_guard<std::mutex> guard(_lock);
            _cancelled = true;
        }
        _condition.notify_all();
        _thread.join();
    }

private:
    void run(RedPeer& peer, uint32_t ms) {
        {
            std::unique_lock<std::mutex> lock(_lock);
            if (_condition.wait_for(lock, std::chrono::milliseconds(ms), [this] { return _cancelled; })) {
                return;
            }
        }
        peer.on_link_deadline();
    }

    std::mutex _lock;
    std::condition_variable _condition;
    bool _cancelled = false;
    std::thread _thread;  // last: it starts once the rest is built
};

void RedPeer::set_link_timeout_ms(uint32_t ms) {
    link_timeout = ms ? ms : LINK_TIMEOUT_MS;
}

uint32_t RedPeer::link_timeout_ms() {
    return link_timeout;
}

void RedPeer::arm_link_deadline() {
    disarm_link_deadline();
    _link_timed_out = false;
    _link_deadline.reset(new LinkDeadline(*this, link_timeout));
}

void RedPeer::disarm_link_deadline() {
    _link_deadline.reset();
}

void RedPeer::on_link_deadline() {
    Lock lock(_lock);
    _link_timed_out = true;
    LOG_ERROR("link: the server did not complete the link within %u ms, closing the connection",
              static_cast<unsigned>(link_timeout));
    if (_peer != INVALID_SOCKET) {
        ::shutdown(_peer, SD_BOTH);
    }
}

void RedPeer::check_link_deadline() {
    if (_link_timed_out) {
        THROW_ERR(SPICEC_ERROR_CODE_CONNECT_FAILED, "link: no complete answer from the server in time");
    }
}

void RedPeer::set_linked(bool linked) {
    _linked = linked ? 1 : 0;
    if (linked) {
        disarm_link_deadline();
    }
}

RedPeer::RedPeer()
    : _peer(INVALID_SOCKET),
      _lock(Mutex::NORMAL),
      _shut(false),
      _ctx(nullptr),
      _ssl(nullptr),
      _tls_broken(false),
      _vpn_info(),
      _vpn(nullptr),
      _linked(0),
      _link_timed_out(false) {}

RedPeer::~RedPeer() {
    close();
}

bool RedPeer::tunnel_used() {
    return tunnel_used_flag.load() != 0;
}

void RedPeer::reset_tunnel_used() {
    tunnel_used_flag = 0;
}

void RedPeer::clear_shut() {
    Lock lock(_lock);
    _shut = false;
}

bool RedPeer::is_shut() {
    Lock lock(_lock);
    return _shut;
}

uint64_t RedPeer::tunnel_pending_bytes() const {
    return _vpn ? vpn_pending_bytes(_vpn) : 0;
}

void RedPeer::connect_unsecure(const char* host, int port) {
    connect_to_peer(host, port);
    arm_link_deadline();
    LOG_INFO("m_prdpVpn is %p, _peer:%d", static_cast<void*>(_vpn), static_cast<int>(_peer));
}

void RedPeer::fail_connect(int code, const char* format, ...) {
    std::string message;
    va_list ap;
    va_start(ap, format);
    format_string_va(message, format, ap);
    va_end(ap);
    cleanup();
    THROW_ERR(code, "%s", message.c_str());
}

bool RedPeer::tunnel_enforced() {
    if (SessionBlock::force_link() == FORCE_LINK_TUNNEL) {
        return true;
    }
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Voranth\\VDI\\RemoteAppClient", 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return false;
    }
    DWORD value = 0;
    DWORD type = 0;
    DWORD size = sizeof value;
    LSTATUS status =
        RegQueryValueExW(key, u"EnforceProxy", nullptr, &type, reinterpret_cast<LPBYTE>(&value), &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS && type == REG_DWORD && size == sizeof value && value != 0;
}

void RedPeer::connect_to_peer(const char* host, int port) {
    bool enforced = tunnel_enforced();
    if ((SessionBlock::force_link() == FORCE_LINK_DIRECT_THEN_TUNNEL || enforced) &&
        connect_direct_or_tunnel(host, port, enforced)) {
        return;
    }
    connect_plain(host, port);
}

SocketWatch RedPeer::connecting_watch() {
    return [this](SOCKET socket) {
        Lock lock(_lock);
        _peer = socket;
        if (socket != INVALID_SOCKET && _shut) {
            ::shutdown(socket, SD_BOTH);
        }
    };
}

bool RedPeer::adopt(SOCKET socket, Vpn* tunnel) {
    Lock lock(_lock);
    if (_shut) {
        // Shut down while connecting: the connection is not wanted any more.
        if (tunnel) {
            vpn_free(tunnel);
        } else {
            closesocket(socket);
        }
        _peer = INVALID_SOCKET;
        return false;
    }
    _peer = socket;
    _vpn = tunnel;
    set_tunnelled(tunnel != nullptr);
    return true;
}

bool RedPeer::connect_direct_or_tunnel(const char* host, int port, bool enforced) {
    if (enforced) {
        if (!tunnel_used()) {
            LOG_WARN("klq直连超时，开始走代理连接!");
        }
    } else if (!tunnel_used()) {
        // The lock is not held here: the direct attempt may take its whole time-out, and an abort must still
        // reach the socket it works on.
        SOCKET socket =
            SpiceSslConnect(host, static_cast<unsigned>(port), SessionBlock::dect_time(), connecting_watch());
        int error = WSAGetLastError();
        if (socket != INVALID_SOCKET) {
            if (!adopt(socket, nullptr)) {
                fail_connect(SPICEC_ERROR_CODE_CONNECT_FAILED, "failed to connect: %s (%d)",
                             system_error_text(WSAESHUTDOWN), WSAESHUTDOWN);
            }
            return true;
        }
        if (is_shut()) {
            fail_connect(SPICEC_ERROR_CODE_CONNECT_FAILED, "failed to connect: %s (%d)",
                         system_error_text(WSAESHUTDOWN), WSAESHUTDOWN);
        }
        if (tunnel_used()) {
            fail_connect(SPICEC_ERROR_CODE_CONNECT_FAILED, "failed to connect: %s (%d)",
                         system_error_text(error), error);
        }
        LOG_WARN("klq直连超时，开始走代理连接!");
    }
    return connect_tunnel(host, port);
}

bool RedPeer::connect_tunnel(const char* host, int port) {
    if (!LoadOspxAddressAndSessId(&_vpn_info, SessionBlock::tunnel_ticket(), SessionBlock::vdi_user_name())) {
        LOG_WARN("load ospx address or sessid err!");
    }
    Vpn* tunnel = vpn_new(&_vpn_info);
    SOCKET socket =
        tunnel ? vpn_connect(tunnel, host, static_cast<unsigned>(port), connecting_watch()) : INVALID_SOCKET;
    // Descriptor 0 is a socket like any other here: only INVALID_SOCKET means none.
    if (socket != INVALID_SOCKET) {
        if (!adopt(socket, tunnel)) {
            fail_connect(SPICEC_ERROR_CODE_CONNECT_FAILED, "failed to connect: %s (%d)",
                         system_error_text(WSAESHUTDOWN), WSAESHUTDOWN);
        }
        tunnel_used_flag = 1;
        return true;
    }
    {
        Lock lock(_lock);
        _peer = INVALID_SOCKET;
    }
    vpn_free(tunnel);
    LOG_WARN("vpn proxy connect err,please check network!");
    return false;
}

void RedPeer::connect_plain(const char* host, int port) {
    std::string port_text = std::to_string(port);
    ADDRINFOA hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_flags = AI_CANONNAME | AI_ADDRCONFIG;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    ADDRINFOA* addresses = nullptr;
    int result = getaddrinfo(host, port_text.c_str(), &hints, &addresses);
    if (result != 0) {
        int error = WSAGetLastError();
        fail_connect(SPICEC_ERROR_CODE_GETHOSTBYNAME_FAILED,
                     "cannot resolve host address %s ret:%d, err:%d %s", host, result, error,
                     system_error_text(error));
    }

    int last_error = 0;
    SOCKET connected = INVALID_SOCKET;
    for (ADDRINFOA* address = addresses; address && connected == INVALID_SOCKET; address = address->ai_next) {
        SOCKET socket = ::socket(address->ai_family, address->ai_socktype, address->ai_protocol);
        if (socket == INVALID_SOCKET) {
            int error = WSAGetLastError();
            freeaddrinfo(addresses);
            fail_connect(SPICEC_ERROR_CODE_SOCKET_FAILED, "failed to create socket: %s (%d)",
                         system_error_text(error), error);
        }
        int no_delay = 1;
        if (setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&no_delay),
                       sizeof no_delay) != 0) {
            int error = WSAGetLastError();
            LOG_WARN("set TCP_NODELAY failed, err:%d :%s", error, system_error_text(error));
        }
        set_socket_keepalive(socket);
        char address_text[NI_MAXHOST] = "?";
        getnameinfo(address->ai_addr, static_cast<socklen_t>(address->ai_addrlen), address_text,
                    sizeof address_text, nullptr, 0, NI_NUMERICHOST);
        LOG_DEBUG("Trying %s %s", address_text, port_text.c_str());

        // The socket is stored before the connect starts, and the lock released, so that shutdown from
        // another thread reaches a connect that hangs. The connect is started without blocking so that a
        // shutdown that came before it is seen here rather than missed.
        bool shut;
        {
            Lock lock(_lock);
            shut = _shut;
            if (!shut) {
                _peer = socket;
            }
        }
        int error = WSAESHUTDOWN;
        if (!shut && set_blocking(socket, false)) {
            error = ::connect(socket, address->ai_addr, static_cast<int>(address->ai_addrlen)) == 0
                        ? 0
                        : WSAGetLastError();
            if (error == WSAEWOULDBLOCK) {
                Lock lock(_lock);
                if (_shut) {
                    error = WSAESHUTDOWN;
                }
            }
            if (error == WSAEWOULDBLOCK) {
                error = wait_connected(socket);
            }
            if (error == 0 && !set_blocking(socket, true)) {
                error = WSAGetLastError();
            }
        } else if (!shut) {
            error = WSAGetLastError();
        }
        if (error == 0) {
            LOG_DEBUG("Connected to %s %s", address_text, port_text.c_str());
            connected = socket;
            set_tunnelled(false);
            break;
        }
        LOG_WARN("Connect failed: %s (%d)", system_error_text(error), error);
        last_error = error;
        {
            Lock lock(_lock);
            _peer = INVALID_SOCKET;
        }
        closesocket(socket);
        if (error == WSAESHUTDOWN) {
            break;  // shut down from outside: no further address is wanted either
        }
    }
    freeaddrinfo(addresses);
    if (connected == INVALID_SOCKET) {
        fail_connect(SPICEC_ERROR_CODE_CONNECT_FAILED, "failed to connect: %s (%d)",
                     system_error_text(last_error), last_error);
    }
}

void RedPeer::connect_secure(const ConnectionOptions& options, const char* host) {
    connect_to_peer(host, options.secure_port);
    arm_link_deadline();
    LOG_INFO("Connected to %s %d", host, options.secure_port);

    SpiceOpenSSLVerify* verify = nullptr;
    try {
        SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
        if (!ctx) {
            ssl_error();
        }
        {
            Lock lock(_lock);
            _ctx = ctx;
        }
        // Current servers take TLS 1.2 and 1.3 only.
        if (!SSL_CTX_set_min_proto_version(_ctx, TLS1_2_VERSION)) {
            ssl_error();
        }
        int auth_flags = options.host_auth.type_flags;
        if (auth_flags & (HostCheckOptions::NAME | HostCheckOptions::SUBJECT)) {
            const std::string& ca_file = options.host_auth.CA_file;
            if (!SSL_CTX_load_verify_locations(_ctx, ca_file.c_str(), nullptr)) {
                if (!(auth_flags & HostCheckOptions::PUBKEY)) {
                    LOG_ERROR("SSL_CTX_load_verify_locations failed CA_file=%s", ca_file.c_str());
                    ssl_error();
                }
                LOG_WARN(
                    "SSL_CTX_load_verify_locations failed, CA_file=%s. only pubkey authentication is active",
                    ca_file.c_str());
                ERR_clear_error();
                auth_flags = HostCheckOptions::PUBKEY;
            }
        }
        if (!options.ciphers.empty() && !SSL_CTX_set_cipher_list(_ctx, options.ciphers.c_str())) {
            LOG_ERROR("SSL_CTX_set_cipher_list failed, ciphers=%s", options.ciphers.c_str());
            ssl_error();
        }
        SSL* ssl = SSL_new(_ctx);
        if (!ssl) {
            THROW("create ssl failed");
        }
        {
            Lock lock(_lock);
            _ssl = ssl;
            _tls_broken = false;
        }
        // The channel resends a half-sent message from a new linearized copy, starting at the bytes already
        // counted: partial writes give exact counts, and the retried buffer may move.
        SSL_set_mode(_ssl, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);

        const std::vector<uint8_t>& pubkey = options.host_auth.host_pubkey;
        verify = spice_openssl_verify_new(_ssl, static_cast<uint32_t>(auth_flags), host, pubkey.data(),
                                          pubkey.size(), options.host_auth.host_subject.c_str());

        // Through the tunnel, TLS runs inside the tunnel's records, end to end with the server.
        BIO* bio = peer_bio_new(_peer, _vpn);
        if (!bio) {
            THROW("alloc new socket bio failed");
        }
        SSL_set_bio(_ssl, bio, bio);

        int result = SSL_connect(_ssl);
        if (result < 1) {
            int error = SSL_get_error(_ssl, result);
            _tls_broken = true;
            LOG_ERROR("failed to connect w/SSL, ssl_error %s",
                      ERR_error_string(static_cast<unsigned long>(error), nullptr));
            ssl_error();
        }
    } catch (...) {
        spice_openssl_verify_free(verify);
        cleanup();
        check_link_deadline();
        throw;
    }
    spice_openssl_verify_free(verify);
}

uint32_t RedPeer::receive(uint8_t* buf, uint32_t size) {
    uint32_t pos = 0;
    while (pos < size) {
        uint32_t left = size - pos;
        int chunk = left > 0x40000000u ? 0x40000000 : static_cast<int>(left);
        if (_ssl) {
            ERR_clear_error();
            WSASetLastError(0);
            int n = SSL_read(_ssl, buf + pos, chunk);
            if (n > 0) {
                pos += static_cast<uint32_t>(n);
                continue;
            }
            int ssl_err = SSL_get_error(_ssl, n);
            int error = WSAGetLastError();
            switch (ssl_err) {
                case SSL_ERROR_WANT_READ:
                case SSL_ERROR_WANT_WRITE:
                    // Before the link a tunnel blocks: a record that came in part is waited for.
                    if (_vpn && !_linked) {
                        continue;
                    }
                    return pos;
                case SSL_ERROR_ZERO_RETURN:
                    THROW_DISCONNECTED(SPICEC_ERROR_CODE_RECV_FAILED,
                                       "ssl_error == SSL_ERROR_ZERO_RETURN (%d)", ssl_err);
                case SSL_ERROR_SYSCALL:
                    _tls_broken = true;
                    if (n < 0 && error == WSAEINTR) {
                        continue;
                    }
                    if (n < 0 && error != WSAESHUTDOWN) {
                        THROW_ERR(SPICEC_ERROR_CODE_RECV_FAILED, "%s (%d)", system_error_text(error), error);
                    }
                    if (n == 0 || error == 0) {
                        THROW_DISCONNECTED(SPICEC_ERROR_CODE_RECV_FAILED, "%s", kPeerClosed);
                    }
                    THROW_DISCONNECTED(SPICEC_ERROR_CODE_RECV_FAILED, "%s (%d)", system_error_text(error),
                                       error);
                case SSL_ERROR_SSL:
                    _tls_broken = true;
                    if (is_unexpected_eof()) {
                        THROW_DISCONNECTED(SPICEC_ERROR_CODE_RECV_FAILED, "%s", kPeerClosed);
                    }
                    THROW_ERR(SPICEC_ERROR_CODE_RECV_FAILED, "ssl error %d", ssl_err);
                default:
                    _tls_broken = true;
                    THROW_ERR(SPICEC_ERROR_CODE_RECV_FAILED, "ssl error %d", ssl_err);
            }
        } else if (_vpn) {
            int n = vpn_read(chunk, _vpn, buf + pos);
            if (n > 0) {
                pos += static_cast<uint32_t>(n);
            } else if (n == 0) {
                if (_linked) {
                    return pos;
                }
            } else {
                // The tunnel's stream is out of step after any failure: it cannot be read on.
                int error = WSAGetLastError();
                THROW_DISCONNECTED(SPICEC_ERROR_CODE_RECV_FAILED, "%s (%d)", system_error_text(error), error);
            }
        } else {
            WSASetLastError(0);
            int n = recv(_peer, reinterpret_cast<char*>(buf + pos), chunk, 0);
            if (n > 0) {
                pos += static_cast<uint32_t>(n);
                continue;
            }
            int error = WSAGetLastError();
            if (n < 0 && error == WSAEWOULDBLOCK) {
                return pos;
            }
            if (n < 0 && error == WSAEINTR) {
                continue;
            }
            if (n == 0) {
                THROW_DISCONNECTED(SPICEC_ERROR_CODE_RECV_FAILED, "%s", kPeerClosed);
            }
            if (error == WSAESHUTDOWN) {
                THROW_DISCONNECTED(SPICEC_ERROR_CODE_RECV_FAILED, "%s (%d)", system_error_text(error), error);
            }
            THROW_ERR(SPICEC_ERROR_CODE_RECV_FAILED, "%s (%d)", system_error_text(error), error);
        }
    }
    return pos;
}

uint32_t RedPeer::send(const uint8_t* buf, uint32_t size) {
    uint32_t pos = 0;
    while (pos < size) {
        uint32_t left = size - pos;
        int chunk = left > 0x40000000u ? 0x40000000 : static_cast<int>(left);
        if (_ssl) {
            ERR_clear_error();
            WSASetLastError(0);
            int n = SSL_write(_ssl, buf + pos, chunk);
            if (n > 0) {
                pos += static_cast<uint32_t>(n);
                continue;
            }
            int ssl_err = SSL_get_error(_ssl, n);
            int error = WSAGetLastError();
            switch (ssl_err) {
                case SSL_ERROR_WANT_READ:
                case SSL_ERROR_WANT_WRITE:
                    if (_vpn && !_linked) {
                        continue;
                    }
                    return pos;
                case SSL_ERROR_ZERO_RETURN:
                    THROW_DISCONNECTED(SPICEC_ERROR_CODE_SEND_FAILED,
                                       "RedPeer::send SSL_write ssl_error == SSL_ERROR_ZERO_RETURN");
                case SSL_ERROR_SYSCALL:
                    _tls_broken = true;
                    if (n < 0 && error == WSAEINTR) {
                        continue;
                    }
                    if (n < 0 && error != WSAESHUTDOWN) {
                        THROW_ERR(SPICEC_ERROR_CODE_SEND_FAILED, "%s (%d)", system_error_text(error), error);
                    }
                    THROW_DISCONNECTED(SPICEC_ERROR_CODE_SEND_FAILED, "%s (%d)", system_error_text(error),
                                       error);
                default:
                    _tls_broken = true;
                    THROW_ERR(SPICEC_ERROR_CODE_SEND_FAILED, "ssl error %d", ssl_err);
            }
        } else if (_vpn) {
            int n = vpn_write(chunk, _vpn, buf + pos);
            if (n > 0) {
                pos += static_cast<uint32_t>(n);
            } else if (n == 0) {
                if (_linked) {
                    return pos;
                }
            } else {
                int error = WSAGetLastError();
                THROW_DISCONNECTED(SPICEC_ERROR_CODE_SEND_FAILED, "%s (%d)", system_error_text(error), error);
            }
        } else {
            int n = ::send(_peer, reinterpret_cast<const char*>(buf + pos), chunk, 0);
            if (n > 0) {
                pos += static_cast<uint32_t>(n);
                continue;
            }
            int error = n < 0 ? WSAGetLastError() : WSAEWOULDBLOCK;
            if (error == WSAEWOULDBLOCK) {
                return pos;
            }
            if (error == WSAEINTR) {
                continue;
            }
            if (error == WSAESHUTDOWN) {
                THROW_DISCONNECTED(SPICEC_ERROR_CODE_SEND_FAILED, "%s (%d)", system_error_text(error), error);
            }
            THROW_ERR(SPICEC_ERROR_CODE_SEND_FAILED, "%s (%d)", system_error_text(error), error);
        }
    }
    return pos;
}

RedPeer::CompoundInMessage* RedPeer::receive_message() {
    // Blocking reads give whole counts; a tunnel after the link may still return short while a record is on
    // its way, so the rest is waited for on the socket.
    auto receive_all = [this](uint8_t* data, uint32_t size) {
        uint32_t pos = 0;
        while ((pos += receive(data + pos, size - pos)) < size) {
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(_peer, &readable);
            select(0, &readable, nullptr, nullptr, nullptr);
        }
    };
    SpiceMiniDataHeader header;
    receive_all(reinterpret_cast<uint8_t*>(&header), sizeof header);
    CompoundInMessage* message = new CompoundInMessage(header.size, header.type);
    try {
        receive_all(message->data(), header.size);
    } catch (...) {
        message->unref();
        throw;
    }
    return message;
}

void RedPeer::shutdown() {
    Lock lock(_lock);
    if (_shut) {
        return;
    }
    // Only the socket: TLS is shut down by the worker when it closes, as its TLS objects may be in use right
    // now.
    if (_peer != INVALID_SOCKET) {
        ::shutdown(_peer, SD_BOTH);
        LOG_INFO("shutdown socket:%d", static_cast<int>(_peer));
    }
    _shut = true;
}

void RedPeer::shutdown_tls() {
    if (!_ssl || _tls_broken || is_shut() || !SSL_is_init_finished(_ssl)) {
        return;
    }
    // One close alert, without the lock (a tunnel may wait for room) and without waiting for the answer: the
    // socket is out of the loop, so it would block. A shutdown from another thread meanwhile only makes it
    // fail.
    set_blocking(_peer, false);
    SSL_shutdown(_ssl);
    ERR_clear_error();
}

void RedPeer::close() {
    disarm_link_deadline();
    if (_peer == INVALID_SOCKET) {
        return;
    }
    shutdown_tls();
    Lock lock(_lock);
    LOG_INFO("closesocket _peer:%d", static_cast<int>(_peer));
    release_connection();
}

void RedPeer::release_connection() {
    SSL_free(_ssl);
    _ssl = nullptr;
    SSL_CTX_free(_ctx);
    _ctx = nullptr;
    _tls_broken = false;
    if (_vpn) {
        vpn_free(_vpn);
        _vpn = nullptr;
    } else if (_peer != INVALID_SOCKET) {
        closesocket(_peer);
    }
    _peer = INVALID_SOCKET;
}

void RedPeer::cleanup() {
    disarm_link_deadline();
    Lock lock(_lock);
    release_connection();
}

void RedPeer::swap(RedPeer* other) {
    Lock lock(_lock);
    std::swap(_peer, other->_peer);
    std::swap(_ctx, other->_ctx);
    std::swap(_ssl, other->_ssl);
    std::swap(_tls_broken, other->_tls_broken);
    // The tunnel and its flag go with the socket they belong to.
    std::swap(_vpn, other->_vpn);
    bool tunnelled = is_tunnelled();
    set_tunnelled(other->is_tunnelled());
    other->set_tunnelled(tunnelled);
    if (_shut && _peer != INVALID_SOCKET) {
        ::shutdown(_peer, SD_BOTH);
        LOG_INFO("shutdown socket:%d", static_cast<int>(_peer));
    }
}
