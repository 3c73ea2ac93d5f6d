// Moving a session between two fake servers on 127.0.0.1: the source links the client and sends the migration
// messages; the target takes the pre-connected links and then the channels. What the client sends each side
// and which connections it closes tell the migration's state.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "app/red_client.h"
#include "platform/session_block.h"
#include "support/fake_channels.h"
#include "transport/tests/support/fake_spice_server.h"
#include "winapi/windows.h"
#include "winapi/winsock2.h"

using namespace app_test;
using fake_spice::put16;
using fake_spice::put32;

namespace {

enum : uint16_t {
    MSGC_MIGRATE_CONNECTED = 102,
    MSGC_MIGRATE_CONNECT_ERROR = 103,
    MSGC_MIGRATE_END = 109,
};

const uint32_t kShortMs = 300;

// Port, secure port, host and certificate subject as a major-2 server lays them out: the fixed 20 bytes
// with body offsets, then the texts. A text's size counts the bytes given, terminator or not.
std::vector<uint8_t> target_body(uint16_t port, uint16_t secure_port, const std::string& host,
                                 const std::string& subject = std::string()) {
    std::vector<uint8_t> body;
    put16(body, port);
    put16(body, secure_port);
    put32(body, uint32_t(host.size()));
    put32(body, 20);
    put32(body, uint32_t(subject.size()));
    put32(body, subject.empty() ? 0 : uint32_t(20 + host.size()));
    body.insert(body.end(), host.begin(), host.end());
    body.insert(body.end(), subject.begin(), subject.end());
    return body;
}

const std::string kHost("127.0.0.1\0", 10);

class Listener : public RedClient::Listener {
public:
    void on_connected() override {}
    void on_disconnected(int) override {}
    void on_mouse_mode_changed(uint32_t) override {}
    void on_connect_failed() override {}
    void on_switch_host(const std::string& host, int port, int secure_port,
                        const std::string& subject) override {
        std::lock_guard<std::mutex> lock(mutex);
        switched = host + ":" + std::to_string(port) + ":" + std::to_string(secure_port) + ":" + subject;
    }
    void on_migration_caches_reset() override { caches_reset++; }

    std::string switched_to() {
        std::lock_guard<std::mutex> lock(mutex);
        return switched;
    }

    std::mutex mutex;
    std::string switched;
    std::atomic<int> caches_reset{0};
};

// The display code's shared images as the client sees them: how often it emptied them.
class CountingImages : public RedClient::SharedImages {
public:
    void clear_images() override { clears++; }
    std::atomic<int> clears{0};
};

class MigrationTest : public testing::Test {
public:
    void SetUp() override {
        SessionBlock::clear();
        SessionBlock::set_u32(SessionBlock::FORCE_LINK, 1);  // plain TCP, no tunnel attempt
        WSADATA wsa;
        ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &wsa));
        loop_thread = std::thread([this] { loop.run(); });
        inputs.real_connect = true;
        new_client();
    }

    // A client of its own for each connection: an aborted one stays ended.
    void new_client() {
        if (client) {
            while (!client->abort()) {
            }
        }
        client.reset(new RedClient(loop, listener));
        std::map<uint8_t, uint32_t> plain;
        for (uint8_t type = 1; type <= 10; type++) {
            plain[type] = RedPeer::ConnectionOptions::CON_OP_UNSECURE;
        }
        client->set_security(plain);
        client->register_channel_factory(inputs);
        client->set_shared_images(&images);
    }
    void TearDown() override {
        while (!client->abort()) {
        }
        client.reset();
        loop.quit(0);
        loop_thread.join();
        WSACleanup();
    }

    // The client linked to the source's main channel.
    std::unique_ptr<fake_spice::Connection> connect_main() {
        client->set_target("127.0.0.1", source.port(), -1, 0);
        client->connect();
        std::unique_ptr<fake_spice::Connection> main = source.accept();
        fake_spice::LinkRequest link;
        if (!main || !main->accept_link(&link) || link.channel_type != SPICE_CHANNEL_MAIN) {
            return nullptr;
        }
        return main;
    }

    // The target takes a pre-connected link of the channel type.
    std::unique_ptr<fake_spice::Connection> accept_target(uint8_t type) {
        std::unique_ptr<fake_spice::Connection> connection = target.accept();
        fake_spice::LinkRequest link;
        if (!connection || !connection->accept_link(&link)) {
            return nullptr;
        }
        EXPECT_EQ(link.channel_type, type);
        return connection;
    }

    fake_spice::Server source;
    fake_spice::Server target;
    ProcessLoop loop{nullptr};
    std::thread loop_thread;
    Listener listener;
    CountingImages images;
    Journal journal;
    RecordingFactory inputs{SPICE_CHANNEL_INPUTS, journal};
    std::unique_ptr<RedClient> client;
};

TEST_F(MigrationTest, EveryChannelMovesToThePreConnectedTarget) {
    std::unique_ptr<fake_spice::Connection> main = connect_main();
    ASSERT_TRUE(main);
    EXPECT_EQ(images.clears.load(), 1) << "emptied at connect";
    std::vector<uint8_t> list;
    put32(list, 1);
    list.push_back(SPICE_CHANNEL_INPUTS);
    list.push_back(0);
    main->send_message(SPICE_MSG_MAIN_CHANNELS_LIST, list);
    std::unique_ptr<fake_spice::Connection> source_inputs = source.accept();
    ASSERT_TRUE(source_inputs && source_inputs->accept_link());

    // Begin: a link to the target for each channel, in the order the client made them.
    main->send_message(SPICE_MSG_MAIN_MIGRATE_BEGIN, target_body(uint16_t(target.port()), 0, kHost));
    std::unique_ptr<fake_spice::Connection> target_main = accept_target(SPICE_CHANNEL_MAIN);
    std::unique_ptr<fake_spice::Connection> target_inputs = accept_target(SPICE_CHANNEL_INPUTS);
    ASSERT_TRUE(target_main && target_inputs);
    fake_spice::Message reply;
    ASSERT_TRUE(main->read_message_of_type(MSGC_MIGRATE_CONNECTED, &reply));
    EXPECT_EQ(client->migration().secure_port(), -1) << "secure port 0 stands for none";
    EXPECT_EQ(client->migration().host_auth().type_flags, RedPeer::HostCheckOptions::SUBJECT);

    // End: both channels leave the source and continue on the target.
    main->send_message(SPICE_MSG_MAIN_MIGRATE_END);
    EXPECT_TRUE(main->wait_closed());
    EXPECT_TRUE(source_inputs->wait_closed());
    ASSERT_TRUE(target_main->read_message_of_type(MSGC_MIGRATE_END, &reply));
    EXPECT_EQ(listener.caches_reset.load(), 1);
    EXPECT_EQ(images.clears.load(), 2) << "emptied once every channel left the source";
    EXPECT_EQ(client->get_port(), target.port());
    EXPECT_EQ(client->get_secure_port(), -1);
    EXPECT_FALSE(client->migration().connected());

    // The target's init attaches the other channels: the main channel answers there, the inputs channel
    // (which ignores what it gets) holds its target connection until the client ends.
    std::vector<uint8_t> init;
    for (uint32_t word : {7u, 1u, 1u, 1u, 0u, 0u, 0u, 0u}) {
        put32(init, word);
    }
    target_main->send_message(SPICE_MSG_MAIN_INIT, init);
    std::vector<uint8_t> ping;
    put32(ping, 5);
    put32(ping, 0);
    put32(ping, 0);
    target_main->send_message(SPICE_MSG_PING, ping);
    fake_spice::Message pong;
    ASSERT_TRUE(target_main->read_message_of_type(3, &pong));
    EXPECT_EQ(fake_spice::get32(pong.body.data()), 5u);
    EXPECT_TRUE(target_inputs->stays_silent(kShortMs));
    EXPECT_FALSE(client->migrated_reconnect());
    EXPECT_EQ(client->get_connection_id(), 7u);
    client->disconnect();
    EXPECT_TRUE(target_inputs->wait_closed());
    EXPECT_TRUE(target_main->wait_closed());
}

TEST_F(MigrationTest, FailedCancelledAndRepeatedBeginsLeaveTheSessionOnTheSource) {
    struct Case {
        const char* name;
        std::function<void(fake_spice::Connection& main, MigrationTest& test)> run;
    } cases[] = {
        {"target refuses: 103, and the end finds nothing connected",
         [](fake_spice::Connection& main, MigrationTest&) {
             main.send_message(SPICE_MSG_MAIN_MIGRATE_BEGIN,
                               target_body(uint16_t(fake_spice::refused_port()), 0, kHost));
             fake_spice::Message reply;
             EXPECT_TRUE(main.read_message_of_type(MSGC_MIGRATE_CONNECT_ERROR, &reply));
         }},
        {"cancel closes the pre-connected link",
         [](fake_spice::Connection& main, MigrationTest& test) {
             main.send_message(SPICE_MSG_MAIN_MIGRATE_BEGIN,
                               target_body(uint16_t(test.target.port()), 0, kHost));
             std::unique_ptr<fake_spice::Connection> link = test.accept_target(SPICE_CHANNEL_MAIN);
             ASSERT_TRUE(link);
             fake_spice::Message reply;
             EXPECT_TRUE(main.read_message_of_type(MSGC_MIGRATE_CONNECTED, &reply));
             main.send_message(SPICE_MSG_MAIN_MIGRATE_CANCEL);
             EXPECT_TRUE(link->wait_closed());
         }},
        {"a second begin aborts the first",
         [](fake_spice::Connection& main, MigrationTest& test) {
             main.send_message(SPICE_MSG_MAIN_MIGRATE_BEGIN,
                               target_body(uint16_t(test.target.port()), 0, kHost));
             std::unique_ptr<fake_spice::Connection> stalled = test.target.accept();
             fake_spice::LinkRequest request;
             ASSERT_TRUE(stalled && stalled->read_link(&request));  // never answered
             main.send_message(SPICE_MSG_MAIN_MIGRATE_BEGIN,
                               target_body(uint16_t(test.target.port()), 0, kHost));
             EXPECT_TRUE(stalled->wait_closed());
             std::unique_ptr<fake_spice::Connection> link = test.accept_target(SPICE_CHANNEL_MAIN);
             ASSERT_TRUE(link);
             fake_spice::Message reply;
             EXPECT_TRUE(main.read_message_of_type(MSGC_MIGRATE_CONNECTED, &reply));
             main.send_message(SPICE_MSG_MAIN_MIGRATE_CANCEL);
             EXPECT_TRUE(link->wait_closed());
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<fake_spice::Connection> main = connect_main();
        ASSERT_TRUE(main);
        c.run(*main, *this);
        EXPECT_FALSE(client->migration().running());
        EXPECT_FALSE(client->migration().connected());
        // Nothing to swap to: the end is a failure of the main channel, which leaves the source.
        main->send_message(SPICE_MSG_MAIN_MIGRATE_END);
        EXPECT_TRUE(main->wait_closed());
        EXPECT_EQ(client->get_port(), source.port());
        new_client();
    }
}

TEST_F(MigrationTest, TargetTextsWithoutTheirTerminatorEndTheConnection) {
    std::string bad_host = "127.0.0.1";
    struct Case {
        const char* name;
        uint16_t type;
        std::string host;
        std::string subject;
    } cases[] = {
        {"begin: host", SPICE_MSG_MAIN_MIGRATE_BEGIN, bad_host, ""},
        {"begin: empty host", SPICE_MSG_MAIN_MIGRATE_BEGIN, "", ""},
        {"begin: subject", SPICE_MSG_MAIN_MIGRATE_BEGIN, kHost, "CN=target"},
        {"switch host: host", SPICE_MSG_MAIN_MIGRATE_SWITCH_HOST, bad_host, ""},
        {"switch host: subject", SPICE_MSG_MAIN_MIGRATE_SWITCH_HOST, kHost, "CN=target"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<fake_spice::Connection> main = connect_main();
        ASSERT_TRUE(main);
        main->send_message(c.type, target_body(uint16_t(target.port()), 0, c.host, c.subject));
        EXPECT_TRUE(main->wait_closed());
        EXPECT_FALSE(target.accept(kShortMs)) << "no link to a target named by a bad text";
        EXPECT_EQ(listener.switched_to(), "");
        new_client();
    }

    std::unique_ptr<fake_spice::Connection> main = connect_main();
    ASSERT_TRUE(main);
    main->send_message(SPICE_MSG_MAIN_MIGRATE_SWITCH_HOST,
                       target_body(5900, 5901, kHost, std::string("CN=target\0", 10)));
    for (int i = 0; i < 200 && listener.switched_to().empty(); i++) {
        Sleep(10);
    }
    EXPECT_EQ(listener.switched_to(), "127.0.0.1:5900:5901:CN=target");
    EXPECT_TRUE(main->stays_silent(kShortMs)) << "the connection stays";
}

}  // namespace
