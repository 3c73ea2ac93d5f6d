#include "transport/tunnel/core_component_loader.h"
#include "transport/tunnel/tunnel.h"

#include "support/tunnel_gateway.h"

#include "winapi/windows.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace tunnel_test;
using Clock = std::chrono::steady_clock;

const char16_t* const STUB_CLSID = u"{5C1D0E7A-3B92-4F60-8A1D-2E7B9C4F6A13}";

std::u16string to_wide(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

std::vector<uint8_t> pattern(size_t size, uint32_t seed = 1) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; i++) {
        seed = seed * 1103515245 + 12345;
        // Runs of repeated bytes, so that compressed records shrink, mixed with noise.
        bytes[i] = (i / 64) % 2 ? (uint8_t)(i / 64) : (uint8_t)(seed >> 16);
    }
    return bytes;
}

std::string hex_of(const std::vector<uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (uint8_t b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

template <typename Proc>
Proc export_of(HMODULE module, const char* name) {
    return reinterpret_cast<Proc>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

std::vector<uint8_t> bytes_of(const unsigned char* p, size_t n) {
    return std::vector<uint8_t>(p, p + n);
}

// Reads size bytes as the channel's loop does: on a non-blocking socket, waiting for it between reads.
// 0 when all came, the reader's error, or 1 when the bytes did not come within the wait.
int read_exact(Vpn* vpn, uint8_t* out, size_t size, size_t piece = 4096) {
    SOCKET socket = sslvpn_socket(vpn->handle);
    u_long non_blocking = 1;
    ioctlsocket(socket, FIONBIO, &non_blocking);
    auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
    size_t got = 0;
    while (got < size) {
        int n = vpn_read((int)std::min(piece, size - got), vpn, out + got);
        if (n < 0) {
            return n;
        }
        got += (size_t)n;
        if (n == 0) {
            if (Clock::now() >= deadline) {
                return 1;
            }
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(socket, &readable);
            timeval timeout = {0, 50000};
            select(0, &readable, nullptr, nullptr, &timeout);
        }
    }
    return 0;
}

// The first error the reader reports, or 1 when it reports none within the wait.
int read_until_error(Vpn* vpn) {
    std::vector<uint8_t> sink(65536);
    for (;;) {
        int result = read_exact(vpn, sink.data(), sink.size());
        if (result != 0) {
            return result;
        }
    }
}

class WinsockTest : public ::testing::Test {
protected:
    void SetUp() override {
        WSADATA data;
        ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    }
    void TearDown() override { WSACleanup(); }
};

// ---- The connection block ----

class ConnectionBlockTest : public WinsockTest {
protected:
    void SetUp() override {
        WinsockTest::SetUp();
        dir_ = std::filesystem::temp_directory_path() /
               ("ktw-tunnel-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
        setenv("KTW_REGISTRY_DIR", dir_.c_str(), 1);
        stub_ = LoadLibraryW(to_wide(TUNNEL_CORE_STUB_PATH).c_str());
        ASSERT_NE(stub_, nullptr);
        set_session_ = export_of<void (*)(const unsigned char*, int)>(stub_, "stub_set_session");
        set_line_ = export_of<void (*)(unsigned, unsigned)>(stub_, "stub_set_line");
        set_vpn_address_ =
            export_of<void (*)(const char*, unsigned, int, int)>(stub_, "stub_set_vpn_address");
        ASSERT_TRUE(set_session_ && set_line_ && set_vpn_address_);
        for (int i = 0; i < 32; i++) {
            session_[i] = (unsigned char)(0xA0 + i);
        }
        set_session_(session_, 1);
        set_line_(0, 0);
        set_vpn_address_("", 0, 1, 0);
        for (int i = 0; i < 64; i++) {
            ticket_bytes_.push_back((uint8_t)i);
        }
    }
    void TearDown() override {
        FreeLibrary(stub_);
        unsetenv("KTW_REGISTRY_DIR");
        std::filesystem::remove_all(dir_);
        WinsockTest::TearDown();
    }

    static void set_default_value(const std::u16string& path, const std::u16string& value) {
        HKEY key;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &key, nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExW(key, nullptr, 0, REG_SZ, (const BYTE*)value.c_str(),
                                 (DWORD)((value.size() + 1) * sizeof(WCHAR))),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }

    void register_component(const std::string& path = TUNNEL_CORE_STUB_PATH) {
        set_default_value(std::u16string(CORE_COM_PROGID) + u"\\CLSID", STUB_CLSID);
        set_default_value(u"CLSID\\" + std::u16string(STUB_CLSID) + u"\\InprocServer32", to_wide(path));
    }

    std::string ticket() const { return hex_of(ticket_bytes_); }

    std::filesystem::path dir_;
    HMODULE stub_ = nullptr;
    void (*set_session_)(const unsigned char*, int) = nullptr;
    void (*set_line_)(unsigned, unsigned) = nullptr;
    void (*set_vpn_address_)(const char*, unsigned, int, int) = nullptr;
    unsigned char session_[32];
    std::vector<uint8_t> ticket_bytes_;
};

TEST_F(ConnectionBlockTest, SessionIdTicketAndCurrentLineFillTheBlock) {
    register_component();
    set_line_(htonl(INADDR_LOOPBACK), htons(4433));
    VpnInfo info;
    memset(&info, 0x5A, sizeof(info));
    ASSERT_TRUE(LoadOspxAddressAndSessId(&info, ticket(), "alice"));

    EXPECT_EQ(bytes_of(info.session_id, 16), bytes_of(session_, 16));
    EXPECT_EQ(bytes_of(info.request_key, 16), bytes_of(session_, 16));
    std::vector<uint8_t> last16(ticket_bytes_.begin() + 48, ticket_bytes_.end());
    EXPECT_EQ(bytes_of(info.stream_key, 16), last16);
    EXPECT_EQ(bytes_of(info.stream_key_copy, 16), last16);
    EXPECT_STREQ(info.hostname, "127.0.0.1");
    EXPECT_EQ(info.port, 4433u);
    EXPECT_STREQ(info.user_name, "alice");
    EXPECT_EQ(info.request_a, 10u);
    EXPECT_EQ(info.request_b, 0u);
    EXPECT_EQ(info.request_c, 0u);
}

TEST_F(ConnectionBlockTest, WithoutACurrentLineTheVpnAddressIsUsed) {
    register_component();
    struct Case {
        unsigned address;
        unsigned port;
    } cases[] = {{0, 0}, {htonl(INADDR_LOOPBACK), 0}, {0, htons(4433)}};
    for (const Case& c : cases) {
        set_line_(c.address, c.port);
        set_vpn_address_("gateway.test", 7000, 1, 0);
        VpnInfo info;
        ASSERT_TRUE(LoadOspxAddressAndSessId(&info, ticket(), "alice")) << c.address << " " << c.port;
        EXPECT_STREQ(info.hostname, "gateway.test");
        EXPECT_EQ(info.port, 7000u);
    }
}

TEST_F(ConnectionBlockTest, EachBlockKeepsItsOwnGatewayAddress) {
    register_component();
    set_vpn_address_("first.test", 7000, 1, 0);
    VpnInfo first;
    ASSERT_TRUE(LoadOspxAddressAndSessId(&first, ticket(), "alice"));
    set_vpn_address_("second.test", 7001, 1, 0);
    VpnInfo second;
    ASSERT_TRUE(LoadOspxAddressAndSessId(&second, ticket(), "alice"));
    EXPECT_STREQ(first.hostname, "first.test");
    EXPECT_STREQ(second.hostname, "second.test");

    // An address that fills the component's whole buffer without a terminator is cut, not over-read.
    set_vpn_address_("", 7002, 1, 1);
    VpnInfo full;
    ASSERT_TRUE(LoadOspxAddressAndSessId(&full, ticket(), "alice"));
    EXPECT_EQ(std::string(full.hostname), std::string(VPN_HOSTNAME_SIZE - 1, 'h'));
}

TEST_F(ConnectionBlockTest, ATicketThatIsNot128DigitsLeavesTheSessionIdAsStreamKey) {
    register_component();
    set_line_(htonl(INADDR_LOOPBACK), htons(4433));
    const std::string good = ticket();
    for (const std::string& bad : {good.substr(0, 127), good + "0", std::string()}) {
        VpnInfo info;
        ASSERT_TRUE(LoadOspxAddressAndSessId(&info, bad, "alice")) << bad.size();
        EXPECT_EQ(bytes_of(info.stream_key, 16), bytes_of(session_, 16));
        EXPECT_EQ(bytes_of(info.stream_key_copy, 16), std::vector<uint8_t>(16, 0));
        EXPECT_STREQ(info.user_name, "");
        EXPECT_STREQ(info.hostname, "127.0.0.1");
    }
    // A user name longer than its field is left out rather than cut inside a character.
    VpnInfo info;
    ASSERT_TRUE(LoadOspxAddressAndSessId(&info, good, std::string(100, 'u')));
    EXPECT_STREQ(info.user_name, "");
    EXPECT_EQ(bytes_of(info.stream_key_copy, 16),
              std::vector<uint8_t>(ticket_bytes_.begin() + 48, ticket_bytes_.end()));
}

TEST_F(ConnectionBlockTest, MissingComponentOrAnswersFailTheLoad) {
    VpnInfo info;
    EXPECT_FALSE(LoadOspxAddressAndSessId(&info, ticket(), "alice")) << "not registered";

    register_component();
    set_session_(session_, 0);
    EXPECT_FALSE(LoadOspxAddressAndSessId(&info, ticket(), "alice")) << "GetSessionID failed";
    set_session_(session_, 1);

    set_vpn_address_("gateway.test", 7000, 0, 0);
    EXPECT_FALSE(LoadOspxAddressAndSessId(&info, ticket(), "alice")) << "GetVPNAddress failed";
    EXPECT_STREQ(info.hostname, "");

    register_component(TUNNEL_CORE_NOVPN_STUB_PATH);
    EXPECT_FALSE(LoadOspxAddressAndSessId(&info, ticket(), "alice")) << "no GetVPNAddress";
}

// ---- Time-limited connect ----

class TimedConnectTest : public WinsockTest {
protected:
    SOCKET listen_loopback(int backlog, int* port) {
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
};

TEST_F(TimedConnectTest, ConnectsBlockingWithNoDelayAndKeepAlive) {
    int port = 0;
    SOCKET listener = listen_loopback(4, &port);
    SOCKET s = SpiceSslConnect("127.0.0.1", (unsigned)port, 2000);
    ASSERT_NE(s, INVALID_SOCKET);
    int value = 0;
    int length = sizeof(value);
    ASSERT_EQ(getsockopt(s, SOL_SOCKET, SO_KEEPALIVE, (char*)&value, &length), 0);
    EXPECT_EQ(value, 1);
    value = 0;
    ASSERT_EQ(getsockopt(s, IPPROTO_TCP, TCP_NODELAY, (char*)&value, &length), 0);
    EXPECT_EQ(value, 1);
    // Blocking again: a WSAEventSelect association would otherwise be needed to clear non-blocking mode.
    SOCKET peer = accept(listener, nullptr, nullptr);
    ASSERT_NE(peer, INVALID_SOCKET);
    std::thread sender([peer] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        send(peer, "x", 1, 0);
    });
    char byte = 0;
    EXPECT_EQ(recv(s, &byte, 1, 0), 1) << "a non-blocking socket would have said would-block";
    sender.join();
    closesocket(peer);
    closesocket(s);
    closesocket(listener);
}

TEST_F(TimedConnectTest, RefusedConnectFailsAtOnceAndIsNeverTakenForConnected) {
    int port = 0;
    SOCKET listener = listen_loopback(1, &port);
    closesocket(listener);
    auto start = Clock::now();
    EXPECT_EQ(SpiceSslConnect("127.0.0.1", (unsigned)port, 5000), INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), WSAECONNREFUSED);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2)) << "waited for the time-out";
}

TEST_F(TimedConnectTest, UnansweredConnectFailsAfterTheTimeOut) {
    // A listener whose queue is full lets further connects hang unanswered.
    int port = 0;
    SOCKET listener = listen_loopback(0, &port);
    std::vector<SOCKET> fillers;
    for (int i = 0; i < 8; i++) {
        SOCKET filler = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        u_long non_blocking = 1;
        ioctlsocket(filler, FIONBIO, &non_blocking);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons((u_short)port);
        connect(filler, (const sockaddr*)&address, sizeof(address));
        fillers.push_back(filler);
        if (spice_tcp_select(100, filler) == 0) {
            break;
        }
    }
    ASSERT_EQ(spice_tcp_select(50, fillers.back()), 0) << "the listener's queue did not fill";

    auto start = Clock::now();
    EXPECT_EQ(SpiceSslConnect("127.0.0.1", (unsigned)port, 200), INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), WSAETIMEDOUT);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    for (SOCKET filler : fillers) {
        closesocket(filler);
    }
    closesocket(listener);
}

TEST_F(TimedConnectTest, InvalidArgumentsFail) {
    EXPECT_EQ(SpiceSslConnect(nullptr, 5900, 1000), INVALID_SOCKET);
    EXPECT_EQ(SpiceSslConnect("127.0.0.1", 0, 1000), INVALID_SOCKET);
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    EXPECT_EQ(spice_tcp_select(0, s), 0);
    closesocket(s);
}

// ---- The tunnel through a gateway of our own ----

class TunnelTest : public WinsockTest {
protected:
    void SetUp() override {
        WinsockTest::SetUp();
        echo_.reset(new EchoServer());
    }
    void TearDown() override {
        for (Vpn* vpn : vpns_) {
            vpn_free(vpn);
        }
        echo_.reset();
        WinsockTest::TearDown();
    }

    VpnInfo block_for(const TunnelGateway& gateway) {
        VpnInfo info = {};
        for (int i = 0; i < 16; i++) {
            info.stream_key[i] = (unsigned char)(0x10 + i);
            info.session_id[i] = (unsigned char)(0x20 + i);
            info.stream_key_copy[i] = (unsigned char)(0x10 + i);
            info.request_key[i] = (unsigned char)(0x20 + i);
        }
        strcpy(info.hostname, "127.0.0.1");
        info.port = (uint32_t)gateway.port();
        strcpy(info.user_name, "alice");
        info.request_a = 10;
        return info;
    }

    // A tunnel to the echo server; null when the connect failed.
    Vpn* open(const VpnInfo* info) {
        Vpn* vpn = vpn_new(info);
        vpns_.push_back(vpn);
        return vpn_connect(vpn, "127.0.0.1", (unsigned)echo_->port()) == INVALID_SOCKET ? nullptr : vpn;
    }

    std::unique_ptr<EchoServer> echo_;
    std::vector<Vpn*> vpns_;
};

TEST_F(TunnelTest, RequestNamesTheTargetAndCarriesTheBlock) {
    TunnelGateway gateway;
    VpnInfo info = block_for(gateway);
    ASSERT_NE(open(&info), nullptr);
    ASSERT_TRUE(gateway.wait_requests(1));
    GatewayRequest request = gateway.requests()[0];
    EXPECT_EQ(request.magic, 512u);
    EXPECT_EQ(request.session_id, bytes_of(info.session_id, 16));
    EXPECT_EQ(request.stream_key, bytes_of(info.stream_key_copy, 16));
    EXPECT_EQ(request.request_key, bytes_of(info.request_key, 16));
    EXPECT_EQ(request.target_host, "127.0.0.1");
    EXPECT_EQ(request.target_port, (uint32_t)echo_->port());
    EXPECT_EQ(request.user_name, "alice");
    EXPECT_EQ(request.word_a, 10u);
    EXPECT_EQ(request.word_b, 0u);
    EXPECT_EQ(request.word_c, 0u);
    EXPECT_EQ(gateway.client_faults(), 0);
}

TEST_F(TunnelTest, BytesComeBackThroughEveryRecordForm) {
    struct Case {
        const char* name;
        Compression compression;
        bool encipher;
        size_t max_payload;
        size_t split;
        bool merge;
        size_t read_piece;
    } cases[] = {
        {"plain enciphered", Compression::none, true, 8182, 0, false, 4096},
        {"plain in clear", Compression::none, false, 8182, 0, false, 4096},
        {"zlib", Compression::zlib, true, 8182, 0, false, 4096},
        {"lzo1b", Compression::lzo1b, true, 8182, 0, false, 4096},
        {"zlib records of 60000", Compression::zlib, true, 60000, 0, false, 65536},
        {"headers and payloads split in 3-byte writes", Compression::none, true, 700, 3, false, 4096},
        {"lzo1b split in 7-byte writes", Compression::lzo1b, true, 900, 7, false, 333},
        {"many small records in one write", Compression::none, true, 97, 0, true, 4096},
        {"merged zlib records read byte by byte", Compression::zlib, true, 500, 0, true, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        GatewayOptions options;
        options.compression = c.compression;
        options.encipher = c.encipher;
        options.max_payload = c.max_payload;
        options.split = c.split;
        options.merge = c.merge;
        TunnelGateway gateway(options);
        VpnInfo info = block_for(gateway);
        Vpn* vpn = open(&info);
        ASSERT_NE(vpn, nullptr);

        const size_t size = c.split ? 1500 : 40000;
        std::vector<uint8_t> sent = pattern(size);
        ASSERT_EQ(vpn_write((int)sent.size(), vpn, sent.data()), (int)sent.size());
        std::vector<uint8_t> received(size);
        ASSERT_EQ(read_exact(vpn, received.data(), size, c.read_piece), 0);
        EXPECT_TRUE(received == sent);
        EXPECT_EQ(vpn_pending_bytes(vpn), 0u);
        EXPECT_EQ(gateway.client_faults(), 0);
    }
}

TEST_F(TunnelTest, WriterCutsRecordsAt8182AndLeavesTheCallersBytes) {
    TunnelGateway gateway;
    VpnInfo info = block_for(gateway);
    Vpn* vpn = open(&info);
    ASSERT_NE(vpn, nullptr);

    std::vector<uint8_t> one = pattern(8182, 7);
    std::vector<uint8_t> two = pattern(8183, 9);
    const std::vector<uint8_t> one_before = one;
    const std::vector<uint8_t> two_before = two;
    ASSERT_EQ(vpn_write((int)one.size(), vpn, one.data()), 8182);
    ASSERT_EQ(vpn_write((int)two.size(), vpn, two.data()), 8183);
    EXPECT_TRUE(one == one_before);
    EXPECT_TRUE(two == two_before);

    std::vector<uint8_t> received(one.size() + two.size());
    ASSERT_EQ(read_exact(vpn, received.data(), received.size()), 0);
    EXPECT_TRUE(std::equal(one.begin(), one.end(), received.begin()));
    EXPECT_TRUE(std::equal(two.begin(), two.end(), received.begin() + one.size()));
    EXPECT_EQ(gateway.client_records(), (std::vector<size_t>{8182, 8182, 1}));

    EXPECT_EQ(vpn_write(0, vpn, one.data()), SSLVPN_ERR_INVALID);
    EXPECT_EQ(sslvpn_send(vpn->handle, 8183, two.data()), SSLVPN_ERR_INVALID);
}

TEST_F(TunnelTest, PendingBytesCountDownAsARecordIsRead) {
    TunnelGateway gateway;
    VpnInfo info = block_for(gateway);
    Vpn* vpn = open(&info);
    ASSERT_NE(vpn, nullptr);

    std::vector<uint8_t> payload = pattern(1000, 3);
    ASSERT_TRUE(gateway.send_to_client(make_record(COMPRESS_METHOD_NONE, payload, 1000)));
    std::vector<uint8_t> received(1000);
    ASSERT_EQ(read_exact(vpn, received.data(), 100, 100), 0);
    EXPECT_EQ(vpn_pending_bytes(vpn), 900u);
    for (size_t at = 100; at < 1000; at += 100) {
        ASSERT_EQ(vpn_read(100, vpn, received.data() + at), 100);
        EXPECT_EQ(vpn_pending_bytes(vpn), 900u - at);
    }
    EXPECT_TRUE(received == payload);
}

TEST_F(TunnelTest, MalformedRecordsEndTheStream) {
    std::vector<uint8_t> text(300, 'a');
    std::vector<uint8_t> zlib_text = zlib_compress(text);
    std::vector<uint8_t> lzo_text = lzo1b_compress(text);
    std::vector<uint8_t> garbage = pattern(64, 5);
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        int error;
    } cases[] = {
        {"wrong magic", {22, 3, 1, 0, 6, 0, 0, 0, 0, 1, 'x'}, SSLVPN_ERR_MALFORMED},
        {"empty payload", {23, 3, 1, 0, 5, 0, 0, 0, 0, 1}, SSLVPN_ERR_MALFORMED},
        {"decompressed length 0", {23, 3, 1, 0, 6, 0, 0, 0, 0, 0, 'x'}, SSLVPN_ERR_MALFORMED},
        {"plain lengths disagree", {23, 3, 1, 0, 8, 0, 0, 0, 0, 9, 'a', 'b', 'c'}, SSLVPN_ERR_MALFORMED},
        {"unknown method", make_record(7, text, 300), SSLVPN_ERR_MALFORMED},
        {"zlib garbage", make_record(COMPRESS_METHOD_ZLIB, garbage, 300), SSLVPN_ERR_WAIT},
        {"zlib longer than announced", make_record(COMPRESS_METHOD_ZLIB, zlib_text, 299), SSLVPN_ERR_WAIT},
        {"zlib shorter than announced", make_record(COMPRESS_METHOD_ZLIB, zlib_text, 301),
         SSLVPN_ERR_MALFORMED},
        {"lzo1b garbage", make_record(COMPRESS_METHOD_LZO1B, garbage, 300), SSLVPN_ERR_WAIT},
        {"lzo1b longer than announced", make_record(COMPRESS_METHOD_LZO1B, lzo_text, 299), SSLVPN_ERR_WAIT},
        {"lzo1b shorter than announced", make_record(COMPRESS_METHOD_LZO1B, lzo_text, 301),
         SSLVPN_ERR_MALFORMED},
    };
    TunnelGateway gateway;
    VpnInfo info = block_for(gateway);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Vpn* vpn = open(&info);
        ASSERT_NE(vpn, nullptr);
        ASSERT_TRUE(gateway.send_to_client(c.bytes));
        EXPECT_EQ(read_until_error(vpn), c.error);
        uint8_t byte;
        EXPECT_EQ(vpn_read(1, vpn, &byte), c.error) << "the stream cannot be resumed";
    }
}

TEST_F(TunnelTest, GatewayClosingInsideARecordIsAConnectionError) {
    TunnelGateway gateway;
    VpnInfo info = block_for(gateway);
    Vpn* vpn = open(&info);
    ASSERT_NE(vpn, nullptr);
    std::vector<uint8_t> record = make_record(COMPRESS_METHOD_NONE, pattern(100), 100);
    record.resize(60);
    ASSERT_TRUE(gateway.send_to_client(record));
    gateway.disconnect_client();
    EXPECT_EQ(read_until_error(vpn), SSLVPN_ERR_CONNECTION);
}

TEST_F(TunnelTest, FailedHandshakesFailTheConnect) {
    for (Handshake handshake : {Handshake::refuse_hello, Handshake::oversize_reply}) {
        GatewayOptions options;
        options.handshake = handshake;
        TunnelGateway gateway(options);
        VpnInfo info = block_for(gateway);
        EXPECT_EQ(open(&info), nullptr) << (int)handshake;
    }
    {
        TunnelGateway gateway;
        VpnInfo info = block_for(gateway);
        info.hostname[0] = 0;
        EXPECT_EQ(open(&info), nullptr) << "no gateway in the block";
    }
    int closed_port;
    {
        TunnelGateway gateway;
        closed_port = gateway.port();
    }
    TunnelGateway gateway;
    VpnInfo info = block_for(gateway);
    info.port = (uint32_t)closed_port;
    EXPECT_EQ(open(&info), nullptr) << "gateway unreachable";
}

TEST_F(TunnelTest, SilentGatewayTimesOutAsAnError) {
    GatewayOptions options;
    options.handshake = Handshake::silent;
    TunnelGateway gateway(options);
    VpnInfo info = block_for(gateway);
    SslvpnRequestInfo request = {};
    strcpy(request.target_host, "127.0.0.1");
    request.target_port = (uint32_t)echo_->port();
    SslvpnHandle* handle = sslvpn_new();
    auto start = Clock::now();
    EXPECT_EQ(sslvpn_connect(info.port, info.hostname, handle, &request, 300), SSLVPN_ERR_WAIT);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(sslvpn_socket(handle), INVALID_SOCKET);
    sslvpn_free(handle);
}

TEST_F(TunnelTest, AnotherThreadCanCutTheHandshakeShort) {
    GatewayOptions options;
    options.handshake = Handshake::silent;
    TunnelGateway gateway(options);
    VpnInfo info = block_for(gateway);
    Vpn* vpn = vpn_new(&info);
    vpns_.push_back(vpn);

    std::mutex lock;
    std::vector<SOCKET> reported;
    std::atomic<bool> done{false};
    SOCKET result = 0;
    std::thread worker([&] {
        result = vpn_connect(vpn, "127.0.0.1", (unsigned)echo_->port(), [&](SOCKET s) {
            std::lock_guard<std::mutex> guard(lock);
            reported.push_back(s);
        });
        done = true;
    });
    SOCKET connecting = INVALID_SOCKET;
    for (auto deadline = Clock::now() + std::chrono::seconds(2); Clock::now() < deadline;) {
        std::lock_guard<std::mutex> guard(lock);
        if (!reported.empty()) {
            connecting = reported.back();
            // Shut down under the same lock the report takes, as the peer does: the handle cannot be closed
            // in between.
            shutdown(connecting, SD_BOTH);
            break;
        }
    }
    ASSERT_NE(connecting, INVALID_SOCKET);
    auto start = Clock::now();
    while (!done && Clock::now() - start < std::chrono::seconds(5)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2)) << "the handshake waited out its time-out";
    worker.join();
    EXPECT_EQ(result, INVALID_SOCKET);
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(reported.back(), INVALID_SOCKET) << "the closed socket must be withdrawn";
}

TEST_F(ConnectionBlockTest, TheLoadedBlockOpensATunnel) {
    TunnelGateway gateway;
    EchoServer echo;
    register_component();
    set_line_(htonl(INADDR_LOOPBACK), htons((u_short)gateway.port()));
    VpnInfo info;
    ASSERT_TRUE(LoadOspxAddressAndSessId(&info, ticket(), "bob"));
    Vpn* vpn = vpn_new(&info);
    ASSERT_NE(vpn_connect(vpn, "127.0.0.1", (unsigned)echo.port()), INVALID_SOCKET);
    ASSERT_TRUE(gateway.wait_requests(1));
    GatewayRequest request = gateway.requests()[0];
    EXPECT_EQ(request.stream_key, std::vector<uint8_t>(ticket_bytes_.begin() + 48, ticket_bytes_.end()));
    EXPECT_EQ(request.user_name, "bob");

    std::vector<uint8_t> sent = pattern(5000);
    ASSERT_EQ(vpn_write((int)sent.size(), vpn, sent.data()), 5000);
    std::vector<uint8_t> received(sent.size());
    ASSERT_EQ(read_exact(vpn, received.data(), received.size()), 0);
    EXPECT_TRUE(received == sent);
    vpn_free(vpn);
}

}  // namespace
