// The main channel client against a scripted main-channel server with a guest agent of our own: the agent's
// start-up exchange and the attach release, the stream's reassembly, the records the client sends the agent,
// and the faults of malformed agent messages.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "app/red_client.h"
#include "platform/session_block.h"
#include "support/fake_agent_server.h"
#include "winapi/windows.h"

using namespace fake_agent;
using fake_spice::put32;

namespace {

class Listener : public RedClient::Listener {
public:
    std::atomic<int> connected{0};
    std::atomic<int> disconnects{0};
    std::atomic<int> error_code{-1};

    void on_connected() override { connected++; }
    void on_disconnected(int code) override {
        if (disconnects++ == 0) {
            error_code = code;
        }
    }
    void on_mouse_mode_changed(uint32_t) override {}
    void on_connect_failed() override {}
};

// The application loop runs on its own thread, as the main loop would.
class AgentTest : public testing::Test {
protected:
    void SetUp() override {
        SessionBlock::clear();
        SessionBlock::set_u32(SessionBlock::DECT_TIME, 5000);  // the direct connect's time-out
        loop_thread = std::thread([this] { loop.run(); });
        std::map<uint8_t, uint32_t> plain;
        for (uint8_t type = 1; type <= 10; type++) {
            plain[type] = RedPeer::ConnectionOptions::CON_OP_UNSECURE;
        }
        client.set_security(plain);
    }

    void TearDown() override {
        server.close();
        while (!client.abort()) {
        }
        loop.quit(0);
        if (loop_thread.joinable()) {
            loop_thread.join();
        }
        SessionBlock::clear();
    }

    // Connects and plays the server up to the init.
    void start(const InitOptions& init = InitOptions()) {
        client.set_target("127.0.0.1", server.port(), -1, 0);
        client.set_vm_id(1);
        client.connect();
        ASSERT_TRUE(server.accept_main());
        server.send_init(init);
    }

    MainServer server;
    ProcessLoop loop{nullptr};
    std::thread loop_thread;
    Listener listener;
    RedClient client{loop, listener};
};

TEST_F(AgentTest, WithoutAgentTheInitAttachesAtOnce) {
    InitOptions init;
    init.agent_connected = false;
    start(init);
    EXPECT_GE(server.wait_message(MSGC_MAIN_ATTACH_CHANNELS), 0);
    EXPECT_EQ(0u, server.count_messages(MSGC_MAIN_AGENT_START));
}

}  // namespace
