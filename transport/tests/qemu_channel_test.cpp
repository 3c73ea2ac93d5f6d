// The channels against a real SPICE server: QEMU's, started paused on 127.0.0.1 with no disk and no OS (the
// BIOS screen on a QXL card drives the display channel) and stopped by its process id, also when a test
// fails. Without qemu-system-x86_64 installed, skipped, or failed under CI.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/session_block.h"
#include "support/channel_test_support.h"
#include "support/fake_spice_server.h"
#include "winapi/tests/support/peer_programs.h"
#include "winapi/windows.h"

using namespace channel_test;

namespace {

const std::string kTlsDir = std::string(KTW_TEST_SOURCE_DIR) + "/fixtures/tls";
const uint32_t kQemuWaitMs = 20000;

// One QEMU process with its SPICE server; stopped by the pid from its pid file when this object goes.
class Qemu {
public:
    Qemu() {
        static int counter = 0;
        _dir = std::filesystem::temp_directory_path() /
               ("ktw_qemu_" + std::to_string(GetCurrentProcessId()) + "_" + std::to_string(counter++));
        std::filesystem::create_directories(_dir);
    }
    ~Qemu() {
        stop();
        std::error_code ignored;
        std::filesystem::remove_all(_dir, ignored);
    }

    Qemu(const Qemu&) = delete;
    Qemu& operator=(const Qemu&) = delete;

    // spice_options follow "port=P,addr=127.0.0.1"; the machine starts paused.
    bool start(const std::string& spice_options, const std::string& extra = "") {
        for (int attempt = 0; attempt < 3 && _pid <= 0; attempt++) {
            port = fake_spice::refused_port();
            tls_port = fake_spice::refused_port();
            _qmp_port = fake_spice::refused_port();
            std::string spice = "port=" + std::to_string(port) + ",addr=127.0.0.1";
            if (spice_options.find("tls") != std::string::npos) {
                spice += ",tls-port=" + std::to_string(tls_port) + ",x509-dir=" + kTlsDir;
            }
            spice += "," + spice_options;
            std::string command =
                "qemu-system-x86_64 -S -machine pc,accel=tcg -m 96 -nodefaults -no-user-config "
                "-vga qxl -display none -spice " +
                spice + " " + extra + " -qmp tcp:127.0.0.1:" + std::to_string(_qmp_port) +
                ",server=on,wait=off" + " -daemonize -pidfile " + (_dir / "qemu.pid").string() + " -D " +
                (_dir / "qemu.log").string() + " >" + (_dir / "out.log").string() + " 2>&1";
            if (std::system(command.c_str()) == 0) {
                std::ifstream pid_file(_dir / "qemu.pid");
                pid_file >> _pid;
            }
        }
        return _pid > 0;
    }

    std::string output() {
        std::ifstream file(_dir / "out.log");
        return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }

    // Resumes the paused machine over QMP.
    bool resume() {
        SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(u_short(_qmp_port));
        bool ok = connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && read_line(s) &&
                  command(s, "qmp_capabilities") && command(s, "cont");
        closesocket(s);
        return ok;
    }

    void stop() {
        if (_pid <= 0) {
            return;
        }
        std::string pid = std::to_string(_pid);
        std::string proc = "/proc/" + pid;
        std::system(("kill " + pid + " 2>/dev/null").c_str());
        for (int i = 0; i < 100 && std::filesystem::exists(proc); i++) {
            Sleep(50);
        }
        if (std::filesystem::exists(proc)) {
            std::system(("kill -9 " + pid + " 2>/dev/null").c_str());
        }
        _pid = 0;
    }

    int port = 0;
    int tls_port = 0;

private:
    // One QMP reply line; false when the connection ends or stays silent.
    bool read_line(SOCKET s, std::string* line = nullptr) {
        std::string text;
        for (;;) {
            fd_set set;
            FD_ZERO(&set);
            FD_SET(s, &set);
            timeval tv = {10, 0};
            char c;
            if (select(0, &set, nullptr, nullptr, &tv) <= 0 || recv(s, &c, 1, 0) != 1) {
                return false;
            }
            if (c == '\n') {
                if (line) {
                    *line = text;
                }
                return true;
            }
            text += c;
        }
    }

    bool command(SOCKET s, const char* name) {
        std::string text = std::string("{\"execute\": \"") + name + "\"}\n";
        if (send(s, text.data(), int(text.size()), 0) != int(text.size())) {
            return false;
        }
        std::string line;
        while (read_line(s, &line)) {
            if (line.find("\"return\"") != std::string::npos) {
                return true;
            }
            if (line.find("\"error\"") != std::string::npos) {
                return false;
            }
        }
        return false;
    }

    std::filesystem::path _dir;
    int _qmp_port = 0;
    long _pid = 0;
};

// The main channel as far as these tests need it: the common handlers, the session id from the init message
// and the sizes of the pings it answered.
class MainChannel : public RedChannel {
public:
    typedef MessageHandlerImp<MainChannel, SPICE_CHANNEL_MAIN> Handler;

    explicit MainChannel(TestClient& client) : MainChannel(client, new Handler(*this)) {}

    void handle_init(const SpiceMsgMainInit& init) {
        _session_id = init.session_id;
        _init = true;
    }
    void handle_counted_ping(const SpiceMsgPing& ping) {
        _largest_ping = std::max<uint32_t>(_largest_ping, ping.data_len);
        _pings++;
        handle_ping(ping);
    }

    bool wait_init() {
        return wait_until(kQemuWaitMs, [&] { return _init.load(); });
    }
    uint32_t session_id() const { return _session_id; }
    uint32_t largest_ping() const { return _largest_ping; }
    int pings() const { return _pings; }

private:
    MainChannel(TestClient& client, Handler* handler) : RedChannel(client, SPICE_CHANNEL_MAIN, 0, handler) {
        handler->set_handler<SPICE_MSG_SET_ACK>(&MainChannel::handle_set_ack);
        handler->set_handler<SPICE_MSG_PING>(&MainChannel::handle_counted_ping);
        handler->set_handler<SPICE_MSG_WAIT_FOR_CHANNELS>(&MainChannel::handle_wait_for_channels);
        handler->set_handler<SPICE_MSG_DISCONNECTING>(&MainChannel::handle_disconnect);
        handler->set_handler<SPICE_MSG_NOTIFY>(&MainChannel::handle_notify);
        handler->set_handler<SPICE_MSG_MAIN_INIT>(&MainChannel::handle_init);
    }

    std::atomic<bool> _init{false};
    std::atomic<uint32_t> _session_id{0};
    std::atomic<uint32_t> _largest_ping{0};
    std::atomic<int> _pings{0};
};

// A display channel that sends its init message on connect. With acknowledge false it ignores
// SPICE_MSG_SET_ACK, so it never acknowledges anything.
class DisplayChannel : public RedChannel {
public:
    typedef MessageHandlerImp<DisplayChannel, SPICE_CHANNEL_DISPLAY> Handler;

    DisplayChannel(TestClient& client, bool acknowledge)
        : DisplayChannel(client, acknowledge, new Handler(*this)) {}

    void ignore_set_ack(const SpiceMsgSetAck&) {}

protected:
    void on_connect() override {
        ::Message* init = new ::Message(101);  // SPICE_MSGC_DISPLAY_INIT
        SpiceMsgcDisplayInit body = {1, 20 * 1024 * 1024, 1, 4 * 1024 * 1024};
        spice_marshall_message(get_marshallers(), msgc_display_init, init->marshaller(), &body);
        post_message(init);
    }

private:
    DisplayChannel(TestClient& client, bool acknowledge, Handler* handler)
        : RedChannel(client, SPICE_CHANNEL_DISPLAY, 0, handler, 6) {
        handler->set_handler<SPICE_MSG_SET_ACK>(acknowledge ? &DisplayChannel::handle_set_ack
                                                            : &DisplayChannel::ignore_set_ack);
        handler->set_handler<SPICE_MSG_PING>(&DisplayChannel::handle_ping);
        handler->set_handler<SPICE_MSG_WAIT_FOR_CHANNELS>(&DisplayChannel::handle_wait_for_channels);
        handler->set_handler<SPICE_MSG_DISCONNECTING>(&DisplayChannel::handle_disconnect);
        handler->set_handler<SPICE_MSG_NOTIFY>(&DisplayChannel::handle_notify);
    }
};

class QemuChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        KTW_REQUIRE_PROGRAM("qemu-system-x86_64");
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        SessionBlock::clear();
        SessionBlock::set_u32(SessionBlock::FORCE_LINK, 1);
    }

    void TearDown() override {
        for (RedChannel* channel :
             {static_cast<RedChannel*>(display.get()), static_cast<RedChannel*>(main.get())}) {
            if (channel) {
                EXPECT_TRUE(wait_until(kWaitMs, [&] { return channel->abort(); }));
            }
        }
        display.reset();
        main.reset();
        qemu.stop();
        SessionBlock::clear();
        if (!IsSkipped()) {
            WSACleanup();
        }
    }

    bool start_qemu(const std::string& spice_options, const std::string& extra = "") {
        if (!qemu.start(spice_options, extra)) {
            ADD_FAILURE() << "QEMU did not start: " << qemu.output();
            return false;
        }
        main_client.port = qemu.port;
        main_client.connection_id = 0;
        return true;
    }

    // Links the main channel and waits for the server's init message; false when either fails.
    bool link_main() {
        main.reset(new MainChannel(main_client));
        main_client.main_channel = main.get();
        main->start();
        main->connect();
        return wait_until(kQemuWaitMs, [&] { return main->get_state() == RedChannel::CONNECTED; }) &&
               main->wait_init();
    }

    void start_display(bool acknowledge, uint32_t connection_id) {
        display_client.port = qemu.port;
        display_client.connection_id = connection_id;
        display_client.main_channel = main.get();
        display.reset(new DisplayChannel(display_client, acknowledge));
        display->start();
        display->connect();
    }

    // Messages the display channel handled so far.
    uint64_t display_messages() { return display_client.serial(); }

    Qemu qemu;
    TestClient main_client;
    TestClient display_client;
    std::unique_ptr<MainChannel> main;
    std::unique_ptr<DisplayChannel> display;
};

TEST_F(QemuChannelTest, MainChannelLinksWithoutPasswordAndAnswersTheLargePing) {
    ASSERT_TRUE(start_qemu("disable-ticketing=on"));
    main_client.password = "";
    ASSERT_TRUE(link_main()) << "errors: " << ::testing::PrintToString(main_client.errors());
    EXPECT_NE(0u, main->session_id());
    // The server measures the link with pings at start, one of 256 KB; a badly framed pong would make it drop
    // us.
    ASSERT_TRUE(wait_until(kQemuWaitMs, [&] { return main->largest_ping() >= 250 * 1024; }));
    Sleep(500);
    EXPECT_EQ(RedChannel::CONNECTED, main->get_state());
    EXPECT_EQ(0, main_client.disconnects());
}

TEST_F(QemuChannelTest, PasswordIsCheckedByTheServer) {
    ASSERT_TRUE(start_qemu("password-secret=s0", "-object secret,id=s0,data=Pa55word"));
    main_client.password = "wrong";
    main.reset(new MainChannel(main_client));
    main->start();
    main->connect();
    ASSERT_TRUE(main_client.wait_disconnects(1, kQemuWaitMs));
    EXPECT_EQ(std::vector<int>{3}, main_client.errors()) << "link result 7, permission denied";
    EXPECT_TRUE(main->abort());

    main_client.password = "Pa55word";
    ASSERT_TRUE(link_main());
    EXPECT_EQ(1, main_client.disconnects());
}

TEST_F(QemuChannelTest, WrongConnectionIdIsRefused) {
    ASSERT_TRUE(start_qemu("disable-ticketing=on"));
    ASSERT_TRUE(link_main());
    start_display(true, main->session_id() + 1);
    ASSERT_TRUE(display_client.wait_disconnects(1, kQemuWaitMs));
    EXPECT_EQ(std::vector<int>{3}, display_client.errors()) << "link result 8, bad connection id";
}

TEST_F(QemuChannelTest, DisplayStallsWithoutAcknowledgementsAndFlowsWithThem) {
    ASSERT_TRUE(start_qemu("disable-ticketing=on"));
    ASSERT_TRUE(link_main());
    start_display(false, main->session_id());
    ASSERT_TRUE(wait_until(kQemuWaitMs, [&] { return display->get_state() == RedChannel::CONNECTED; }));
    ASSERT_TRUE(qemu.resume());

    // The server sets a window of 20 and sends at most twice that many unacknowledged messages.
    ASSERT_TRUE(wait_until(kQemuWaitMs, [&] { return display_messages() >= 30; }));
    uint64_t stalled = display_messages();
    ASSERT_TRUE(wait_until(kQemuWaitMs, [&] {
        Sleep(1000);
        uint64_t now = display_messages();
        bool still = now == stalled;
        stalled = now;
        return still;
    }));
    EXPECT_LE(stalled, 50u);
    Sleep(2000);
    EXPECT_EQ(stalled, display_messages()) << "no message beyond the window";
    EXPECT_TRUE(wait_until(kWaitMs, [&] { return display->abort(); }));
    display.reset();
    int disconnects = display_client.disconnects();

    // With acknowledgements the blinking cursor's draws keep coming, past twice the window.
    start_display(true, main->session_id());
    EXPECT_TRUE(wait_until(60000, [&] { return display_messages() > 60; }))
        << "only " << display_messages() << " messages";
    EXPECT_EQ(disconnects, display_client.disconnects());
}

TEST_F(QemuChannelTest, TlsOnlyMainChannelIsReachedAfterThePlainRefusal) {
    ASSERT_TRUE(start_qemu("disable-ticketing=on,tls-channel=main"));
    main_client.type = RedPeer::ConnectionOptions::CON_OP_BOTH;
    main_client.secure_port = qemu.tls_port;
    main_client.host_auth.type_flags = RedPeer::HostCheckOptions::NAME;
    main_client.host_auth.CA_file = kTlsDir + "/ca-cert.pem";
    main_client.password = "";
    main.reset(new MainChannel(main_client));
    main_client.main_channel = main.get();
    main->start();
    main->connect();
    ASSERT_TRUE(wait_until(kQemuWaitMs, [&] { return main->get_state() == RedChannel::CONNECTED; }))
        << "errors: " << ::testing::PrintToString(main_client.errors());
    EXPECT_TRUE(main->wait_init());
    EXPECT_EQ(0, main_client.disconnects());
}

}  // namespace
