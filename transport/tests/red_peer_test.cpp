#include "transport/connection/red_peer.h"

#include "platform/session_block.h"
#include "transport/tunnel/core_component_loader.h"
#include "transport/channel/message.h"

#include "support/tunnel_gateway.h"
#include "winapi/tests/support/peer_programs.h"

#include "winapi/windows.h"
#include "winapi/winreg.h"
#include "winapi/ws2tcpip.h"

#include <gtest/gtest.h>

#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const std::string kTlsDir = std::string(KTW_TEST_SOURCE_DIR) + "/fixtures/tls";
const char16_t* const kStubClsid = u"{5C1D0E7A-3B92-4F60-8A1D-2E7B9C4F6A13}";
const uint32_t kWaitMs = 5000;

class TestPeer : public RedPeer {
public:
    using RedPeer::connect_to_peer;
};

// ---- Loopback helpers ----

bool wait_readable(SOCKET socket, uint32_t timeout_ms) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket, &readable);
    timeval timeout = {static_cast<LONG>(timeout_ms / 1000), static_cast<LONG>(timeout_ms % 1000 * 1000)};
    return select(0, &readable, nullptr, nullptr, &timeout) == 1;
}

class Listener {
public:
    explicit Listener(int backlog = 16) {
        _socket = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(_socket, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(_socket, backlog);
        int length = sizeof address;
        getsockname(_socket, reinterpret_cast<sockaddr*>(&address), &length);
        _port = ntohs(address.sin_port);
    }
    ~Listener() {
        for (SOCKET s : _accepted) {
            closesocket(s);
        }
        closesocket(_socket);
    }

    int port() const { return _port; }

    // The next connection, or INVALID_SOCKET when none came in time. Closed with the listener.
    SOCKET accept_within(uint32_t timeout_ms = kWaitMs) {
        if (!wait_readable(_socket, timeout_ms)) {
            return INVALID_SOCKET;
        }
        SOCKET s = accept(_socket, nullptr, nullptr);
        if (s != INVALID_SOCKET) {
            _accepted.push_back(s);
        }
        return s;
    }

private:
    SOCKET _socket;
    int _port;
    std::vector<SOCKET> _accepted;
};

int refused_port() {
    Listener listener;
    return listener.port();  // nothing listens once it is closed
}

bool send_all(SOCKET socket, const std::vector<uint8_t>& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        int n = send(socket, reinterpret_cast<const char*>(bytes.data() + sent),
                     static_cast<int>(bytes.size() - sent), 0);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

std::vector<uint8_t> recv_exact(SOCKET socket, size_t size) {
    std::vector<uint8_t> bytes(size);
    size_t got = 0;
    while (got < size && wait_readable(socket, kWaitMs)) {
        int n = recv(socket, reinterpret_cast<char*>(bytes.data() + got), static_cast<int>(size - got), 0);
        if (n <= 0) {
            break;
        }
        got += static_cast<size_t>(n);
    }
    bytes.resize(got);
    return bytes;
}

std::vector<uint8_t> frame(uint16_t type, const std::vector<uint8_t>& body) {
    std::vector<uint8_t> bytes = {static_cast<uint8_t>(type), static_cast<uint8_t>(type >> 8)};
    uint32_t size = static_cast<uint32_t>(body.size());
    for (int i = 0; i < 4; ++i) {
        bytes.push_back(static_cast<uint8_t>(size >> (8 * i)));
    }
    bytes.insert(bytes.end(), body.begin(), body.end());
    return bytes;
}

std::vector<uint8_t> pattern(size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>(i * 7 + i / 251);
    }
    return bytes;
}

std::u16string to_wide(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

// The error code of what fn throws: Exception's code, or -1 when it returns.
template <typename F>
int code_of(F fn, bool* disconnected = nullptr) {
    try {
        fn();
    } catch (const RedPeer::DisconnectedException& e) {
        if (disconnected) {
            *disconnected = true;
        }
        return e.get_error_code();
    } catch (const Exception& e) {
        if (disconnected) {
            *disconnected = false;
        }
        return e.get_error_code();
    }
    return -1;
}

// ---- Fixture: Winsock, a registry of our own and a session block that takes the plain road ----

class PeerTest : public testing::Test {
protected:
    void SetUp() override {
        WSADATA data;
        ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
        _dir = std::filesystem::temp_directory_path() /
               ("ktw-red-peer-" + std::to_string(GetCurrentProcessId()) + "-" +
                testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(_dir);
        std::filesystem::create_directories(_dir);
        setenv("KTW_REGISTRY_DIR", _dir.c_str(), 1);
        SessionBlock::clear();
        SessionBlock::set_u32(SessionBlock::FORCE_LINK, 1);
    }

    void TearDown() override {
        SessionBlock::clear();
        unsetenv("KTW_REGISTRY_DIR");
        std::filesystem::remove_all(_dir);
        WSACleanup();
    }

    // "EnforceProxy" under HKLM; a negative value leaves it out.
    void set_enforce_proxy(int64_t value) {
        std::filesystem::remove_all(_dir / "HKEY_LOCAL_MACHINE.hive");
        if (value < 0) {
            return;
        }
        HKEY key;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Voranth\\VDI\\RemoteAppClient", 0, nullptr,
                                  0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        DWORD dword = static_cast<DWORD>(value);
        ASSERT_EQ(RegSetValueExW(key, u"EnforceProxy", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dword),
                                 sizeof dword),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }

    // A connected peer and the server's end of its connection.
    SOCKET connect_pair(TestPeer& peer, Listener& listener) {
        peer.connect_unsecure("127.0.0.1", listener.port());
        return listener.accept_within();
    }

    std::filesystem::path _dir;
};

// ---- The connect road ----

// The maker's core component as the tunnel loads it, pointing at a gateway of ours.
class RoadTest : public PeerTest {
protected:
    void SetUp() override {
        PeerTest::SetUp();
        RedPeer::reset_tunnel_used();  // as in a fresh process, whichever tests ran before
        _stub = LoadLibraryW(to_wide(TUNNEL_CORE_STUB_PATH).c_str());
        ASSERT_NE(_stub, nullptr);
        _set_session = reinterpret_cast<void (*)(const unsigned char*, int)>(
            reinterpret_cast<void (*)()>(GetProcAddress(_stub, "stub_set_session")));
        _set_line = reinterpret_cast<void (*)(unsigned, unsigned)>(
            reinterpret_cast<void (*)()>(GetProcAddress(_stub, "stub_set_line")));
        ASSERT_TRUE(_set_session && _set_line);
        unsigned char session[32];
        for (int i = 0; i < 32; ++i) {
            session[i] = static_cast<unsigned char>(0x40 + i);
        }
        _set_session(session, 1);
        register_component();
        SessionBlock::set_text(SessionBlock::TUNNEL_TICKET, SessionBlock::TUNNEL_TICKET_ROOM,
                               std::string(128, 'b'));
        SessionBlock::set_text(SessionBlock::VDI_USER_NAME, SessionBlock::VDI_USER_NAME_ROOM, "alice");
    }

    void TearDown() override {
        FreeLibrary(_stub);
        PeerTest::TearDown();
    }

    void point_at_gateway(int port) { _set_line(htonl(INADDR_LOOPBACK), htons(static_cast<u_short>(port))); }

    static void set_default_value(const std::u16string& path, const std::u16string& value) {
        HKEY key;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &key, nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                 static_cast<DWORD>((value.size() + 1) * sizeof(WCHAR))),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }

    void register_component() {
        set_default_value(std::u16string(CORE_COM_PROGID) + u"\\CLSID", kStubClsid);
        set_default_value(u"CLSID\\" + std::u16string(kStubClsid) + u"\\InprocServer32",
                          to_wide(TUNNEL_CORE_STUB_PATH));
    }

    HMODULE _stub = nullptr;
    void (*_set_session)(const unsigned char*, int) = nullptr;
    void (*_set_line)(unsigned, unsigned) = nullptr;
};

// The road of one connect: through our gateway (it saw a request) or straight to the server. The tunnel-used
// flag is process-wide and set by the first tunnelled connect, so the rows that need it clear come first.
TEST_F(RoadTest, ConnectModeEnforceProxyAndTunnelUsedChooseTheRoad) {
    struct Row {
        const char* what;
        uint32_t force_link;
        int64_t enforce_proxy;  // -1: no value
        bool tunnel;            // expected road
    } before_tunnel_used[] =
        {
            {"mode 1, no EnforceProxy: plain", 1, -1, false},
            {"mode 1, EnforceProxy 0: plain", 1, 0, false},
            {"mode 7, EnforceProxy 0: plain", 7, 0, false},
            {"mode 0, tunnel not used yet: the direct attempt", 0, -1, false},
            {"mode 1, EnforceProxy 1: tunnel", 1, 1, true},
            {"mode 1, EnforceProxy 0xFFFFFFFF: tunnel", 1, 0xFFFFFFFF, true},
            {"mode 2: tunnel", 2, -1, true},
        },
      after_tunnel_used[] = {
          {"mode 0, tunnel used: tunnel without a direct attempt", 0, -1, true},
          {"mode 1 still plain", 1, 0, false},
      };

    auto run = [&](const Row& row) {
        tunnel_test::TunnelGateway gateway;
        Listener server;
        point_at_gateway(gateway.port());
        SessionBlock::set_u32(SessionBlock::FORCE_LINK, row.force_link);
        SessionBlock::set_u32(SessionBlock::DECT_TIME, 2000);
        set_enforce_proxy(row.enforce_proxy);

        TestPeer peer;
        ASSERT_EQ(code_of([&] { peer.connect_unsecure("127.0.0.1", server.port()); }), -1) << row.what;
        SOCKET accepted = server.accept_within();
        ASSERT_NE(accepted, INVALID_SOCKET) << row.what;
        EXPECT_EQ(gateway.requests().size(), row.tunnel ? 1u : 0u) << row.what;
        EXPECT_EQ(peer.is_tunnelled(), row.tunnel) << row.what;

        // The bytes reach the server whichever road they took.
        std::vector<uint8_t> bytes = pattern(100);
        peer.set_linked(true);
        EXPECT_EQ(peer.send(bytes.data(), 100), 100u) << row.what;
        EXPECT_EQ(recv_exact(accepted, 100), bytes) << row.what;
        peer.close();
    };

    for (const Row& row : before_tunnel_used) {
        run(row);
        if (HasFatalFailure()) {
            return;
        }
    }
    ASSERT_TRUE(RedPeer::tunnel_used());
    for (const Row& row : after_tunnel_used) {
        run(row);
    }
}

TEST_F(RoadTest, UnreachableGatewayFallsBackToPlainTcp) {
    Listener server;
    point_at_gateway(refused_port());
    SessionBlock::set_u32(SessionBlock::FORCE_LINK, 2);
    TestPeer peer;
    ASSERT_EQ(code_of([&] { peer.connect_unsecure("127.0.0.1", server.port()); }), -1);
    EXPECT_NE(server.accept_within(), INVALID_SOCKET);
    EXPECT_FALSE(peer.is_tunnelled());
}

TEST_F(RoadTest, MissingCoreComponentFallsBackToPlainTcp) {
    std::filesystem::remove_all(_dir / "HKEY_CLASSES_ROOT.hive");
    Listener server;
    SessionBlock::set_u32(SessionBlock::FORCE_LINK, 2);
    TestPeer peer;
    ASSERT_EQ(code_of([&] { peer.connect_unsecure("127.0.0.1", server.port()); }), -1);
    EXPECT_NE(server.accept_within(), INVALID_SOCKET);
    EXPECT_FALSE(peer.is_tunnelled());
}

// ---- Error codes ----

TEST_F(PeerTest, ConnectFailuresCarryTheTransportCodes) {
    // A label longer than 63 characters fails inside the resolver, without a query leaving the machine.
    std::string unresolvable = std::string(70, 'a') + ".invalid";
    struct Case {
        const char* what;
        std::string host;
        int port;
        int code;
    } cases[] = {
        {"resolve failure", unresolvable, 5900, 2},
        {"refused", "127.0.0.1", refused_port(), 3},
    };
    for (const Case& c : cases) {
        TestPeer peer;
        bool disconnected = true;
        EXPECT_EQ(code_of([&] { peer.connect_unsecure(c.host.c_str(), c.port); }, &disconnected), c.code)
            << c.what;
        EXPECT_FALSE(disconnected) << c.what;
        EXPECT_EQ(peer.get_socket(), INVALID_SOCKET) << c.what;
    }
}

// ---- Messages over a loopback pair ----

TEST_F(PeerTest, WholeMessagesTravelBothWays) {
    Listener listener;
    TestPeer peer;
    SOCKET server = connect_pair(peer, listener);
    ASSERT_NE(server, INVALID_SOCKET);

    std::vector<uint8_t> big = pattern(300000);
    std::vector<uint8_t> stream = frame(101, big);
    std::vector<uint8_t> empty = frame(4, {});
    stream.insert(stream.end(), empty.begin(), empty.end());
    std::thread writer([&] { send_all(server, stream); });

    RedPeer::CompoundInMessage* message = peer.receive_message();
    EXPECT_EQ(message->type(), 101);
    ASSERT_EQ(message->size(), big.size());
    EXPECT_EQ(std::memcmp(message->data(), big.data(), big.size()), 0);
    EXPECT_EQ(message->serial(), 0u);
    message->unref();
    message = peer.receive_message();
    EXPECT_EQ(message->type(), 4);
    EXPECT_EQ(message->size(), 0u);
    message->unref();
    writer.join();

    Message* out = new Message(3);
    spice_marshaller_add_uint32(out->marshaller(), 0x11223344);
    spice_marshaller_add_uint64(out->marshaller(), 0x0102030405060708ull);
    out->peer_message().set_body_size();
    size_t length = 0;
    int free_result = 0;
    uint8_t* bytes = spice_marshaller_flatten(out->marshaller(), 0, &length, &free_result);
    EXPECT_EQ(peer.send(bytes, static_cast<uint32_t>(length)), length);
    EXPECT_EQ(recv_exact(server, length), frame(3, {0x44, 0x33, 0x22, 0x11, 8, 7, 6, 5, 4, 3, 2, 1}));
    if (free_result) {
        free(bytes);
    }
    out->release();
}

TEST_F(PeerTest, OutMessageResetStartsANewHeader) {
    RedPeer::OutMessage message(0x1234);
    spice_marshaller_add_uint32(message.marshaller(), 7);
    message.reset(9);
    spice_marshaller_add_uint8(message.marshaller(), 1);
    message.set_body_size();
    EXPECT_EQ(message.type(), 9);
    size_t length = 0;
    int free_result = 0;
    uint8_t* bytes = spice_marshaller_flatten(message.marshaller(), 0, &length, &free_result);
    EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + length), frame(9, {1}));
    if (free_result) {
        free(bytes);
    }
}

TEST_F(PeerTest, SubListOffsetStandsForTheSize) {
    RedPeer::CompoundInMessage* message = new RedPeer::CompoundInMessage(40, 8, 3);
    EXPECT_EQ(message->size(), 40u);
    message->set_sub_list(12);
    EXPECT_EQ(message->size(), 12u);
    EXPECT_EQ(message->body_size(), 40u);
    EXPECT_EQ(message->flag(), 3);
    message->ref();
    message->unref();
    message->unref();  // the last reference deletes it (the sanitizer build checks)
}

TEST_F(PeerTest, OversizeMessageEndsTheConnectionWithTheReceiveCode) {
    Listener listener;
    TestPeer peer;
    SOCKET server = connect_pair(peer, listener);
    ASSERT_NE(server, INVALID_SOCKET);
    std::vector<uint8_t> header = frame(101, {});
    header[2] = 0x01;  // body size 0x10000001: one byte over the cap
    header[5] = 0x10;
    ASSERT_TRUE(send_all(server, header));
    bool disconnected = true;
    EXPECT_EQ(code_of([&] { peer.receive_message()->unref(); }, &disconnected), 6);
    EXPECT_FALSE(disconnected);

    // The cap itself is accepted.
    EXPECT_NO_THROW((new RedPeer::CompoundInMessage(RedPeer::MAX_MESSAGE_SIZE, 1))->unref());
}

TEST_F(PeerTest, PeerThatClosesIsADisconnectionOnReceiveAndAFailureOnSend) {
    Listener listener;
    TestPeer peer;
    SOCKET server = connect_pair(peer, listener);
    ASSERT_NE(server, INVALID_SOCKET);
    shutdown(server, SD_BOTH);

    uint8_t buffer[16];
    bool disconnected = false;
    std::string text;
    try {
        peer.receive(buffer, sizeof buffer);
    } catch (const RedPeer::DisconnectedException& e) {
        disconnected = true;
        EXPECT_EQ(e.get_error_code(), 6);
        text = e.what();
    }
    EXPECT_TRUE(disconnected);
    EXPECT_NE(text.find("the peer closed the connection"), std::string::npos) << text;

    // Writing into a connection the other side left fails with the send code and never raises SIGPIPE.
    std::vector<uint8_t> bytes = pattern(65536);
    int code = -1;
    // The first writes may still land before the other side has gone; a later one meets its reset.
    for (int i = 0; i < 100 && code == -1; ++i) {
        code = code_of([&] { peer.send(bytes.data(), static_cast<uint32_t>(bytes.size())); });
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(code, 5);
}

TEST_F(PeerTest, NonBlockingSocketGivesShortCounts) {
    Listener listener;
    TestPeer peer;
    SOCKET server = connect_pair(peer, listener);
    ASSERT_NE(server, INVALID_SOCKET);
    u_long non_blocking = 1;
    ASSERT_EQ(ioctlsocket(peer.get_socket(), FIONBIO, &non_blocking), 0);

    uint8_t buffer[10];
    EXPECT_EQ(peer.receive(buffer, sizeof buffer), 0u);
    ASSERT_TRUE(send_all(server, {1, 2, 3}));
    ASSERT_TRUE(wait_readable(peer.get_socket(), kWaitMs));
    EXPECT_EQ(peer.receive(buffer, sizeof buffer), 3u);
    EXPECT_EQ(buffer[2], 3);
}

// ---- Shutdown from another thread ----

TEST_F(PeerTest, ShutdownFromAnotherThreadWakesABlockedReceive) {
    Listener listener;
    TestPeer peer;
    ASSERT_NE(connect_pair(peer, listener), INVALID_SOCKET);

    std::promise<int> result;
    std::thread worker([&] {
        uint8_t buffer[6];
        result.set_value(code_of([&] { peer.receive(buffer, sizeof buffer); }));
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    peer.shutdown();
    std::future<int> code = result.get_future();
    ASSERT_EQ(code.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    worker.join();
    EXPECT_EQ(code.get(), 6);
    EXPECT_TRUE(peer.is_shut());

    peer.shutdown();  // once only
    peer.close();
    peer.close();  // closed: nothing to do
    EXPECT_EQ(peer.get_socket(), INVALID_SOCKET);
}

TEST_F(PeerTest, ShutdownReachesAConnectThatHangs) {
    // A listener whose queue is full drops further connection requests: the connect would wait for minutes.
    Listener full(0);
    SOCKET filler = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<u_short>(full.port()));
    ASSERT_EQ(connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

    TestPeer peer;
    std::promise<int> result;
    std::thread worker(
        [&] { result.set_value(code_of([&] { peer.connect_unsecure("127.0.0.1", full.port()); })); });
    std::future<int> code = result.get_future();
    EXPECT_EQ(code.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
    peer.shutdown();
    ASSERT_EQ(code.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    worker.join();
    EXPECT_EQ(code.get(), 3);
    EXPECT_EQ(peer.get_socket(), INVALID_SOCKET);
    closesocket(filler);
}

TEST_F(PeerTest, AShutPeerRefusesToConnectUntilCleared) {
    Listener listener;
    TestPeer peer;
    peer.shutdown();
    EXPECT_EQ(code_of([&] { peer.connect_unsecure("127.0.0.1", listener.port()); }), 3);
    peer.clear_shut();
    EXPECT_EQ(code_of([&] { peer.connect_unsecure("127.0.0.1", listener.port()); }), -1);
    EXPECT_NE(listener.accept_within(), INVALID_SOCKET);
}

TEST_F(PeerTest, SwapExchangesConnectionsAndShutsWhatAShutPeerReceives) {
    Listener listener;
    TestPeer source;
    TestPeer target;
    SOCKET source_server = connect_pair(source, listener);
    SOCKET target_server = connect_pair(target, listener);
    ASSERT_NE(source_server, INVALID_SOCKET);
    ASSERT_NE(target_server, INVALID_SOCKET);
    SOCKET source_socket = source.get_socket();
    SOCKET target_socket = target.get_socket();

    source.swap(&target);
    EXPECT_EQ(source.get_socket(), target_socket);
    EXPECT_EQ(target.get_socket(), source_socket);
    ASSERT_TRUE(send_all(target_server, {9}));
    uint8_t byte = 0;
    EXPECT_EQ(source.receive(&byte, 1), 1u);
    EXPECT_EQ(byte, 9);

    // A shut peer shuts down at once the connection it receives.
    TestPeer fresh;
    SOCKET fresh_server = connect_pair(fresh, listener);
    ASSERT_NE(fresh_server, INVALID_SOCKET);
    source.shutdown();
    source.swap(&fresh);
    EXPECT_EQ(code_of([&] { source.receive(&byte, 1); }), 6);
    EXPECT_EQ(recv_exact(fresh_server, 1).size(), 0u);  // the server sees the end of the stream
}

// ---- TLS against openssl s_server ----

// openssl s_server in "reverse" mode (each line comes back reversed; the line "CLOSE" ends the connection
// with a TLS close), on 127.0.0.1, stopped by its process id.
class TlsServer {
public:
    TlsServer(const std::string& cert, const std::string& extra = "") {
        _port = refused_port();
        std::string pid_file =
            (std::filesystem::temp_directory_path() /
             ("ktw-s_server-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(_port) + ".pid"))
                .string();
        std::string command = "cd '" + kTlsDir +
                              "' && { openssl s_server -accept 127.0.0.1:" + std::to_string(_port) +
                              " -cert " + cert + "-cert.pem -key " + cert + "-key.pem -rev -quiet " + extra +
                              " </dev/null >/dev/null 2>&1 & echo $! > '" + pid_file + "'; }";
        if (std::system(command.c_str()) == 0) {
            std::ifstream(pid_file) >> _pid;
        }
        std::remove(pid_file.c_str());
        // Ready once it takes a connection (it serves that one and the next alike).
        auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
        while (_pid > 0 && Clock::now() < deadline) {
            SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
            sockaddr_in address = {};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            address.sin_port = htons(static_cast<u_short>(_port));
            bool up = connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
            closesocket(probe);
            if (up) {
                _ready = true;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    ~TlsServer() {
        if (_pid > 0) {
            std::system(("kill " + std::to_string(_pid) + " 2>/dev/null").c_str());
        }
    }

    bool ready() const { return _ready; }
    int port() const { return _port; }

private:
    int _port = 0;
    long _pid = 0;
    bool _ready = false;
};

std::vector<uint8_t> public_key_of(const std::string& key_file) {
    BIO* bio = BIO_new_file((kTlsDir + "/" + key_file).c_str(), "r");
    EVP_PKEY* key = bio ? PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr) : nullptr;
    BIO_free(bio);
    std::vector<uint8_t> der;
    if (key) {
        der.resize(static_cast<size_t>(i2d_PUBKEY(key, nullptr)));
        unsigned char* p = der.data();
        i2d_PUBKEY(key, &p);
        EVP_PKEY_free(key);
    }
    return der;
}

RedPeer::ConnectionOptions secure_options(int port, int flags, const std::string& ca_file = "ca-cert.pem",
                                          const std::vector<uint8_t>& pubkey = {},
                                          const std::string& subject = "") {
    RedPeer::HostCheckOptions host_auth;
    host_auth.type_flags = flags;
    host_auth.CA_file = ca_file.empty() ? "" : kTlsDir + "/" + ca_file;
    host_auth.host_pubkey = pubkey;
    host_auth.host_subject = subject;
    return RedPeer::ConnectionOptions(RedPeer::ConnectionOptions::CON_OP_SECURE, -1, port, 0, host_auth, "");
}

// "hello" goes out and comes back reversed.
void expect_echo(RedPeer& peer) {
    const char line[] = "hello\n";
    ASSERT_EQ(peer.send(reinterpret_cast<const uint8_t*>(line), 6), 6u);
    uint8_t answer[6];
    ASSERT_EQ(peer.receive(answer, sizeof answer), 6u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(answer), 6), "olleh\n");
}

class TlsTest : public PeerTest {
protected:
    void SetUp() override {
        PeerTest::SetUp();
        KTW_REQUIRE_PROGRAM("openssl");
    }
};

TEST_F(TlsTest, CertificateChecksDecideTheHandshake) {
    const int NAME = RedPeer::HostCheckOptions::NAME;
    const int SUBJECT = RedPeer::HostCheckOptions::SUBJECT;
    const int PUBKEY = RedPeer::HostCheckOptions::PUBKEY;
    std::vector<uint8_t> self_key = public_key_of("self-signed-key.pem");
    std::vector<uint8_t> other_key = public_key_of("server-key.pem");
    struct Case {
        const char* what;
        const char* cert;
        const char* host;
        RedPeer::ConnectionOptions options;
        bool connects;
    } cases[] = {
        {"good certificate", "server", "localhost", secure_options(0, NAME), true},
        {"wrong host name", "wrong-name", "localhost", secure_options(0, NAME), false},
        {"address host, address alt name", "server", "127.0.0.1", secure_options(0, NAME), true},
        {"address host, only a DNS alt name", "dns-only", "127.0.0.1", secure_options(0, NAME), false},
        {"subject", "server", "localhost",
         secure_options(0, SUBJECT, "ca-cert.pem", {}, "C=XX,O=KTW Test,CN=spice-server"), true},
        {"wrong subject", "server", "localhost",
         secure_options(0, SUBJECT, "ca-cert.pem", {}, "C=XX,O=KTW Test,CN=x"), false},
        {"public key", "self-signed", "localhost", secure_options(0, PUBKEY, "", self_key), true},
        {"wrong public key", "self-signed", "localhost", secure_options(0, PUBKEY, "", other_key), false},
        {"untrusted issuer", "self-signed", "localhost", secure_options(0, NAME), false},
        {"missing CA file", "server", "localhost", secure_options(0, NAME, "no-such-ca.pem"), false},
        {"missing CA file, public key still checked", "self-signed", "localhost",
         secure_options(0, NAME | PUBKEY, "no-such-ca.pem", self_key), true},
    };
    for (Case& c : cases) {
        TlsServer server(c.cert);
        ASSERT_TRUE(server.ready()) << c.what;
        c.options.secure_port = server.port();
        TestPeer peer;
        int code = code_of([&] { peer.connect_secure(c.options, c.host); });
        if (c.connects) {
            EXPECT_EQ(code, -1) << c.what;
            expect_echo(peer);
        } else {
            EXPECT_EQ(code, 7) << c.what;
            EXPECT_EQ(peer.get_socket(), INVALID_SOCKET) << c.what;
        }
    }
}

TEST_F(TlsTest, ServerCloseIsADisconnectionOnReadAndFailsWrites) {
    TlsServer server("server");
    ASSERT_TRUE(server.ready());
    TestPeer peer;
    peer.connect_secure(secure_options(server.port(), RedPeer::HostCheckOptions::NAME), "localhost");
    const char close_line[] = "CLOSE\n";
    ASSERT_EQ(peer.send(reinterpret_cast<const uint8_t*>(close_line), 6), 6u);

    uint8_t buffer[16];
    bool disconnected = false;
    std::string text;
    try {
        peer.receive(buffer, sizeof buffer);
    } catch (const RedPeer::DisconnectedException& e) {
        disconnected = true;
        EXPECT_EQ(e.get_error_code(), 6);
        text = e.what();
    }
    EXPECT_TRUE(disconnected);
    EXPECT_NE(text.find("(6)"), std::string::npos) << text;

    std::vector<uint8_t> bytes = pattern(16384);
    disconnected = false;
    int code = -1;
    // The first writes may still land before the other side has gone; a later one meets its reset.
    for (int i = 0; i < 100 && code == -1; ++i) {
        code = code_of([&] { peer.send(bytes.data(), static_cast<uint32_t>(bytes.size())); }, &disconnected);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(code, 5);
    EXPECT_TRUE(disconnected);
}

TEST_F(TlsTest, ShutdownFromAnotherThreadWakesABlockedTlsRead) {
    TlsServer server("server");
    ASSERT_TRUE(server.ready());
    TestPeer peer;
    peer.connect_secure(secure_options(server.port(), RedPeer::HostCheckOptions::NAME), "localhost");

    std::promise<int> result;
    std::thread worker([&] {
        uint8_t buffer[6];
        result.set_value(code_of([&] { peer.receive(buffer, sizeof buffer); }));
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    peer.shutdown();
    std::future<int> code = result.get_future();
    ASSERT_EQ(code.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    worker.join();
    EXPECT_EQ(code.get(), 6);
    peer.close();  // the worker's close after a shutdown: no TLS close on the dead socket
    EXPECT_EQ(peer.get_socket(), INVALID_SOCKET);
}

TEST_F(TlsTest, LargeTransfersOnANonBlockingSocketResumeWhereTheyStopped) {
    TlsServer server("server");
    ASSERT_TRUE(server.ready());
    TestPeer peer;
    peer.connect_secure(secure_options(server.port(), RedPeer::HostCheckOptions::NAME), "localhost");
    u_long non_blocking = 1;
    ASSERT_EQ(ioctlsocket(peer.get_socket(), FIONBIO, &non_blocking), 0);

    // 1 MiB of 1 KiB lines, each answered reversed: the server stops reading while its answers are not read,
    // so both directions stop short and resume, sending from a new copy of the rest each time, as the channel
    // does.
    const size_t kLine = 1024;
    std::vector<uint8_t> lines(1 << 20);
    for (size_t i = 0; i < lines.size(); ++i) {
        lines[i] = i % kLine == kLine - 1 ? '\n' : static_cast<uint8_t>('a' + (i / kLine + i % kLine) % 26);
    }
    uint32_t sent = 0;
    std::vector<uint8_t> answer(lines.size());
    uint32_t received = 0;
    auto deadline = Clock::now() + std::chrono::seconds(20);
    while (received < answer.size() && Clock::now() < deadline) {
        if (sent < lines.size()) {
            std::vector<uint8_t> rest(lines.begin() + sent, lines.end());
            sent += peer.send(rest.data(), static_cast<uint32_t>(rest.size()));
        }
        received += peer.receive(answer.data() + received, static_cast<uint32_t>(answer.size() - received));
        fd_set readable;
        fd_set writable;
        FD_ZERO(&readable);
        FD_ZERO(&writable);
        FD_SET(peer.get_socket(), &readable);
        if (sent < lines.size()) {
            FD_SET(peer.get_socket(), &writable);
        }
        timeval timeout = {0, 100000};
        select(0, &readable, &writable, nullptr, &timeout);
    }
    ASSERT_EQ(received, answer.size());
    for (size_t line = 0; line < lines.size() / kLine; ++line) {
        std::vector<uint8_t> expected(lines.begin() + line * kLine, lines.begin() + (line + 1) * kLine - 1);
        std::reverse(expected.begin(), expected.end());
        expected.push_back('\n');
        ASSERT_TRUE(std::equal(expected.begin(), expected.end(), answer.begin() + line * kLine))
            << "line " << line;
    }
}

// Through the tunnel, TLS runs end to end inside the tunnel's records.
TEST_F(RoadTest, SecureConnectRunsTlsInsideTheTunnel) {
    KTW_REQUIRE_PROGRAM("openssl");
    TlsServer server("server");
    ASSERT_TRUE(server.ready());
    tunnel_test::TunnelGateway gateway;
    point_at_gateway(gateway.port());
    SessionBlock::set_u32(SessionBlock::FORCE_LINK, 2);
    TestPeer peer;
    ASSERT_EQ(code_of([&] {
                  peer.connect_secure(secure_options(server.port(), RedPeer::HostCheckOptions::NAME),
                                      "127.0.0.1");
              }),
              -1);
    EXPECT_TRUE(peer.is_tunnelled());
    EXPECT_EQ(gateway.requests().size(), 1u);
    expect_echo(peer);
    peer.set_linked(true);
    expect_echo(peer);
}

}  // namespace
