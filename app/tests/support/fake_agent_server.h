// A main-channel server of our own with a scripted guest agent, for the tests of the agent paths (start-up,
// senders, clipboard) and of anything else the main channel does (migration, the network probe). It listens
// on 127.0.0.1; the test accepts the client's main-channel link, then sends main-channel messages and agent
// data by script while a reader thread records every message the client sends, in order. Client messages 107
// (agent data) are also reassembled into agent messages. Every wait has a deadline.
#pragma once

#include "transport/tests/support/fake_spice_server.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace fake_agent {

// Server message types of the main channel.
enum : uint16_t {
    MSG_PING = 4,
    MSG_MAIN_MIGRATE_BEGIN = 101,
    MSG_MAIN_MIGRATE_CANCEL = 102,
    MSG_MAIN_INIT = 103,
    MSG_MAIN_CHANNELS_LIST = 104,
    MSG_MAIN_MOUSE_MODE = 105,
    MSG_MAIN_MULTI_MEDIA_TIME = 106,
    MSG_MAIN_AGENT_CONNECTED = 107,
    MSG_MAIN_AGENT_DISCONNECTED = 108,
    MSG_MAIN_AGENT_DATA = 109,
    MSG_MAIN_AGENT_TOKEN = 110,
    MSG_MAIN_MIGRATE_SWITCH_HOST = 111,
    MSG_MAIN_MIGRATE_END = 112,
    MSG_MAIN_AGENT_CONNECTED_TOKENS = 115,
};

// Client message types of the main channel.
enum : uint16_t {
    MSGC_MAIN_ATTACH_CHANNELS = 104,
    MSGC_MAIN_MOUSE_MODE_REQUEST = 105,
    MSGC_MAIN_AGENT_START = 106,
    MSGC_MAIN_AGENT_DATA = 107,
    MSGC_MAIN_AGENT_TOKEN = 108,
};

const uint32_t kAgentHeaderSize = 20;

struct InitOptions {
    uint32_t session_id = 0x1234;
    uint32_t display_channels_hint = 1;
    uint32_t supported_mouse_modes = 1;
    uint32_t current_mouse_mode = 1;
    bool agent_connected = true;
    uint32_t agent_tokens = 10;
    uint32_t multi_media_time = 1000;
    uint32_t ram_hint = 64 << 20;
};

struct AgentMessage {
    uint32_t protocol = 0;
    uint32_t type = 0;
    uint64_t opaque = 0;
    std::vector<uint8_t> body;  // as many bytes as the header's size
};

// The 20-byte header and the body; size is the body's unless given.
std::vector<uint8_t> agent_message(uint32_t type, const std::vector<uint8_t>& body, uint32_t protocol = 1);
std::vector<uint8_t> agent_message_sized(uint32_t type, uint32_t size, const std::vector<uint8_t>& body);

class MainServer {
public:
    MainServer();
    ~MainServer();

    MainServer(const MainServer&) = delete;
    MainServer& operator=(const MainServer&) = delete;

    int port() const { return _server.port(); }

    // Accepts the client's main-channel link (granting the given main-channel capability words) and starts
    // recording. False when no link came in time or it failed.
    bool accept_main(const std::vector<uint32_t>& main_caps = {},
                     uint32_t timeout_ms = fake_spice::kDefaultTimeoutMs);
    const fake_spice::LinkRequest& link() const { return _link; }

    // ---- Scripted server messages ----

    void send(uint16_t type, const std::vector<uint8_t>& body = {});
    void send_init(const InitOptions& options = InitOptions());
    void send_agent_connected() { send(MSG_MAIN_AGENT_CONNECTED); }
    void send_agent_disconnected(uint32_t error = 0);
    void send_agent_tokens(uint32_t tokens);
    // Raw agent stream bytes in one message 109.
    void send_agent_data(const std::vector<uint8_t>& bytes);
    // One agent message; chunk > 0 splits the stream across messages 109 of at most chunk bytes.
    void send_agent_message(uint32_t type, const std::vector<uint8_t>& body, size_t chunk = 0);

    // ---- What the client sent ----

    // Every message so far, in order.
    std::vector<fake_spice::Message> received();
    // Every agent message reassembled from the client's messages 107 so far, in order.
    std::vector<AgentMessage> agent_messages();
    // Waits for a received message of the type: the index of the first one, -1 on time-out.
    int wait_message(uint16_t type, uint32_t timeout_ms = fake_spice::kDefaultTimeoutMs);
    // Waits until at least count agent messages of the given type arrived; the last one in *out.
    bool wait_agent_message(uint32_t type, AgentMessage* out = nullptr, size_t count = 1,
                            uint32_t timeout_ms = fake_spice::kDefaultTimeoutMs);
    size_t count_messages(uint16_t type);
    size_t count_agent_messages(uint32_t type);
    // True when the client closed the connection (seen by the reader) within timeout_ms.
    bool wait_client_closed(uint32_t timeout_ms = fake_spice::kDefaultTimeoutMs);
    // Drops the connection from the server's side.
    void close();

private:
    void read_loop();
    bool wait_for(const std::function<bool()>& done, uint32_t timeout_ms);

    fake_spice::Server _server;
    std::unique_ptr<fake_spice::Connection> _connection;
    fake_spice::LinkRequest _link;
    std::thread _reader;
    std::mutex _send_lock;

    std::mutex _lock;
    std::condition_variable _changed;
    std::vector<fake_spice::Message> _received;
    std::vector<uint8_t> _agent_stream;  // not yet reassembled bytes of the client's messages 107
    std::vector<AgentMessage> _agent_messages;
    bool _closed;
    bool _stop;
};

}  // namespace fake_agent
