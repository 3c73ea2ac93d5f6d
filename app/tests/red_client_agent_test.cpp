// The main channel client against a scripted main-channel server with a guest agent of our own: the agent's
// start-up exchange and the attach release, the stream's reassembly, the records the client sends the agent,
// and the faults of malformed agent messages.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "app/red_client.h"
#include "platform/session_block.h"
#include "runtime/exception.h"
#include "runtime/rc4.h"
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

    // Application loop's thread unless said otherwise.
    std::vector<RedClient::AgentMonitor> monitors = {{32, 1920, 1080, 0, 0, 0, 0}};
    bool has_user_size = false;
    uint32_t user_width = 0;
    uint32_t user_height = 0;
    std::vector<RedClient::DisplayMode> modes = {{1024, 768}};
    std::vector<std::string> addresses;  // "ip/mac" per change
    std::atomic<int> locks{0};

    bool query_monitors(std::vector<RedClient::AgentMonitor>* out) override {
        *out = monitors;
        return true;
    }
    bool get_user_display_size(uint32_t* width, uint32_t* height) override {
        *width = user_width;
        *height = user_height;
        return has_user_size;
    }
    std::vector<RedClient::DisplayMode> display_modes() override { return modes; }
    void on_guest_address_changed(const std::string& ip, const std::string& mac) override {
        addresses.push_back(ip + "/" + mac);
    }
    void lock_workstation() override { locks++; }
};

std::vector<uint8_t> words(std::initializer_list<uint32_t> values) {
    std::vector<uint8_t> out;
    for (uint32_t v : values) {
        put32(out, v);
    }
    return out;
}

std::vector<uint8_t> address_body(const std::string& ip, const std::string& mac) {
    std::vector<uint8_t> out = {uint8_t(ip.size()), uint8_t(mac.size())};
    out.insert(out.end(), ip.begin(), ip.end());
    out.insert(out.end(), mac.begin(), mac.end());
    return out;
}

std::vector<uint8_t> concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

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

std::vector<uint32_t> agent_types(const std::vector<AgentMessage>& messages) {
    std::vector<uint32_t> types;
    for (const AgentMessage& m : messages) {
        types.push_back(m.type);
    }
    return types;
}

uint32_t word(const std::vector<uint8_t>& body, size_t at) {
    return fake_spice::get32(&body[at]);
}

// Monitors configuration entries as "WxH@x,y".
std::string monitor_entries(const std::vector<uint8_t>& body) {
    std::string out;
    for (size_t at = 8; at + 20 <= body.size(); at += 20) {
        out += (out.empty() ? "" : " ") + std::to_string(word(body, at + 4)) + "x" +
               std::to_string(word(body, at)) + "@" + std::to_string(int32_t(word(body, at + 12))) + "," +
               std::to_string(int32_t(word(body, at + 16)));
    }
    return out;
}

TEST_F(AgentTest, StartUpExchangeReleasesTheAttach) {
    client.set_logon_user("abc");
    start();
    // The agent is started and told the client's capabilities, asking for the agent's.
    ASSERT_GE(server.wait_message(MSGC_MAIN_AGENT_START), 0);
    AgentMessage caps;
    ASSERT_TRUE(server.wait_agent_message(RedClient::AGENT_ANNOUNCE_CAPABILITIES, &caps));
    EXPECT_EQ(1u, caps.protocol);
    EXPECT_EQ(words({1, RedClient::client_agent_caps()}), caps.body);
    EXPECT_EQ(0x8037u, RedClient::client_agent_caps());

    // The agent answers, asking back; it has display config (4) and clipboard (5).
    server.send_agent_message(RedClient::AGENT_ANNOUNCE_CAPABILITIES, words({1, 0x30}), 7);
    AgentMessage custom;
    ASSERT_TRUE(server.wait_agent_message(RedClient::AGENT_MONITORS_CONFIG, &custom));
    std::vector<uint32_t> expected = {RedClient::AGENT_ANNOUNCE_CAPABILITIES,
                                      RedClient::AGENT_DISPLAY_MODES,
                                      RedClient::AGENT_CLIENT_ADDRESS,
                                      RedClient::AGENT_LOGON_WINDOWS,
                                      RedClient::AGENT_LOGON_SSO,
                                      RedClient::AGENT_ANNOUNCE_CAPABILITIES,
                                      RedClient::AGENT_DISPLAY_CONFIG,
                                      RedClient::AGENT_DISPLAY_MODES,
                                      RedClient::AGENT_MONITORS_CONFIG};
    EXPECT_EQ(expected, agent_types(server.agent_messages()));
    AgentMessage answer;
    ASSERT_TRUE(server.wait_agent_message(RedClient::AGENT_ANNOUNCE_CAPABILITIES, &answer, 2));
    EXPECT_EQ(0u, word(answer.body, 0));
    AgentMessage display_config;
    ASSERT_TRUE(server.wait_agent_message(RedClient::AGENT_DISPLAY_CONFIG, &display_config));
    EXPECT_EQ(words({0, 0}), display_config.body);
    EXPECT_EQ(words({1, 1, 1080, 1920, 32, 0, 0}), custom.body);
    EXPECT_EQ(0u, server.count_messages(MSGC_MAIN_ATTACH_CHANNELS));

    // A reply to the display config is not awaited; the monitors config's releases the attach once.
    server.send_agent_message(RedClient::AGENT_REPLY, words({5, 1}));
    server.send_agent_message(RedClient::AGENT_REPLY, words({2, 1}));
    ASSERT_GE(server.wait_message(MSGC_MAIN_ATTACH_CHANNELS), 0);
    server.send_agent_message(RedClient::AGENT_REPLY, words({2, 1}));
    server.send_agent_message(RedClient::AGENT_GUEST_POLICY, {});  // no policy: nothing, but a round trip
    client.send_agent_display_refresh();
    ASSERT_TRUE(server.wait_agent_message(RedClient::AGENT_DISPLAY_REFRESH));
    EXPECT_EQ(1u, server.count_messages(MSGC_MAIN_ATTACH_CHANNELS));
    EXPECT_EQ(0u, server.count_agent_messages(RedClient::AGENT_GUEST_POLICY));
    EXPECT_EQ(0, listener.disconnects.load());
}

// The interface the default route of /proc/net/route leaves through; empty without one.
std::string default_route_interface() {
    std::ifstream routes("/proc/net/route");
    std::string line;
    std::getline(routes, line);
    while (std::getline(routes, line)) {
        std::istringstream fields(line);
        std::string name, destination, gateway, flags;
        if (fields >> name >> destination >> gateway >> flags && destination == "00000000" &&
            (std::stoul(flags, nullptr, 16) & 1)) {
            return name;
        }
    }
    return "";
}

std::string read_line(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

// The MAC the client should report: the Ethernet or Wi-Fi interface the default route takes, else the first
// such interface (by index); empty when the machine has none.
std::vector<uint8_t> expected_client_mac() {
    std::vector<std::pair<unsigned, std::string>> ethernet;  // (index, name)
    for (const auto& entry : std::filesystem::directory_iterator("/sys/class/net")) {
        const std::string name = entry.path().filename().string();
        if (read_line(entry.path().string() + "/type") == "1") {
            ethernet.emplace_back(std::stoul(read_line(entry.path().string() + "/ifindex")), name);
        }
    }
    if (ethernet.empty()) {
        return {};
    }
    std::sort(ethernet.begin(), ethernet.end());
    std::string chosen = ethernet.front().second;
    const std::string best = default_route_interface();
    for (const auto& candidate : ethernet) {
        if (candidate.second == best) {
            chosen = best;
        }
    }
    std::vector<uint8_t> mac;
    std::istringstream text(read_line("/sys/class/net/" + chosen + "/address"));
    std::string part;
    while (std::getline(text, part, ':')) {
        mac.push_back(uint8_t(std::stoul(part, nullptr, 16)));
    }
    return mac;
}

TEST_F(AgentTest, ClientAddressFoundAtConnect) {
    start();
    ASSERT_TRUE(server.wait_agent_message(RedClient::AGENT_ANNOUNCE_CAPABILITIES));
    server.send_agent_message(RedClient::AGENT_ANNOUNCE_CAPABILITIES, words({1, 0x30}));
    AgentMessage address;
    ASSERT_TRUE(server.wait_agent_message(RedClient::AGENT_CLIENT_ADDRESS, &address));
    ASSERT_EQ(20u, address.body.size());
    EXPECT_EQ((std::vector<uint8_t>{127, 0, 0, 1}),
              std::vector<uint8_t>(address.body.begin(), address.body.begin() + 4));
    std::vector<uint8_t> mac = expected_client_mac();
    ASSERT_LE(mac.size(), 8u);
    EXPECT_EQ(mac.size(), word(address.body, 12));
    EXPECT_EQ(mac, std::vector<uint8_t>(address.body.begin() + 4,
                                        address.body.begin() + 4 + word(address.body, 12) % 9));
    EXPECT_EQ(0u, word(address.body, 16));
}

TEST_F(AgentTest, MalformedAgentMessageEndsTheConnection) {
    start();
    ASSERT_TRUE(server.wait_agent_message(RedClient::AGENT_ANNOUNCE_CAPABILITIES));
    server.send_agent_data(agent_message_sized(RedClient::AGENT_CLIPBOARD, 0xFFFFFFFFu, {1, 2, 3}));
    EXPECT_TRUE(server.wait_client_closed());
}

TEST_F(AgentTest, LogonRecords) {
    client.set_logon_user("abc");
    client.set_logon_mode(2);
    client.set_vdi_user_name("vdi-user");
    SessionBlock::set_u32(SessionBlock::LOGON_MODE, 2);
    SessionBlock::set_u32(SessionBlock::ADD_LOCAL, 1);
    SessionBlock::set_text(SessionBlock::DOMAIN, SessionBlock::DOMAIN_ROOM, "corp");
    SessionBlock::set_u32(SessionBlock::BIND_DOMAIN_FLAG, 0x01020304);
    SessionBlock::set_text(SessionBlock::BIND_DOMAIN, SessionBlock::BIND_DOMAIN_ROOM, std::string(200, 'b'));
    SessionBlock::set_text(SessionBlock::LOGON_USER, SessionBlock::LOGON_USER_ROOM, "user1");
    start();
    ASSERT_TRUE(server.wait_agent_message(RedClient::AGENT_ANNOUNCE_CAPABILITIES));
    server.send_agent_message(RedClient::AGENT_ANNOUNCE_CAPABILITIES, words({0, 0}));

    // The automatic-logon record: the first word in clear, the rest enciphered.
    AgentMessage sso;
    ASSERT_TRUE(server.wait_agent_message(RedClient::AGENT_LOGON_SSO, &sso));
    ASSERT_EQ(19u, sso.body.size());
    EXPECT_EQ(19u, word(sso.body, 0));
    std::vector<uint8_t> plain(15);
    ASSERT_TRUE(Rc4CryptFixedKey(&sso.body[4], plain.data(), 15));
    EXPECT_EQ(concat(words({2, 3, 0}), {'a', 'b', 'c'}), plain);
    EXPECT_NE(plain, std::vector<uint8_t>(sso.body.begin() + 4, sso.body.end()));

    AgentMessage logon;
    ASSERT_TRUE(server.wait_agent_message(RedClient::AGENT_LOGON_WINDOWS, &logon));
    ASSERT_EQ(524u, logon.body.size());
    std::vector<uint8_t> expected(524, 0);
    memcpy(&expected[0], "vdi-user", 8);
    expected[131] = 2;  // big-endian logon mode
    expected[135] = 1;  // add-local flag
    memcpy(&expected[136], "corp", 4);
    expected[264] = 1, expected[265] = 2, expected[266] = 3, expected[267] = 4;
    memset(&expected[268], 'b', 127);  // cut at 127, terminated
    memcpy(&expected[396], "user1", 5);
    EXPECT_EQ(expected, logon.body);

    // Sent once per connection.
    client.send_agent_ssoDesktop();
    client.send_agent_display_refresh();
    ASSERT_TRUE(server.wait_agent_message(RedClient::AGENT_DISPLAY_REFRESH));
    EXPECT_EQ(1u, server.count_agent_messages(RedClient::AGENT_LOGON_SSO));
}

TEST_F(AgentTest, LogonTextsAreBoundedByTheirFields) {
    // A password longer than its field is cut at the field; a VDI user name of 128 bytes sends no record.
    client.set_logon_password(std::string(300, 'p'));
    client.set_vdi_user_name(std::string(128, 'v'));
    start();
    ASSERT_TRUE(server.wait_agent_message(RedClient::AGENT_ANNOUNCE_CAPABILITIES));
    server.send_agent_message(RedClient::AGENT_ANNOUNCE_CAPABILITIES, words({0, 0}));
    AgentMessage sso;
    ASSERT_TRUE(server.wait_agent_message(RedClient::AGENT_LOGON_SSO, &sso));
    uint32_t room = SessionBlock::LOGON_PASSWORD_ROOM;
    ASSERT_EQ(16u + room, sso.body.size());
    std::vector<uint8_t> plain(12);
    ASSERT_TRUE(Rc4CryptFixedKey(&sso.body[4], plain.data(), 12));
    EXPECT_EQ(words({0, 0, room}), plain);
    EXPECT_TRUE(server.wait_agent_message(RedClient::AGENT_MONITORS_CONFIG));
    EXPECT_EQ(0u, server.count_agent_messages(RedClient::AGENT_LOGON_WINDOWS));
}

TEST_F(AgentTest, SenderBodies) {
    start();
    ASSERT_TRUE(server.wait_agent_message(RedClient::AGENT_ANNOUNCE_CAPABILITIES));

    // Guest policy in chunks of 1024: flags 1, 4, 2, or 3 for a single chunk.
    std::string policy(2500, 'x');
    for (size_t i = 0; i < policy.size(); i++) {
        policy[i] = char('a' + i % 26);
    }
    client.set_guest_policy(policy);
    client.send_user_policy();
    client.set_guest_policy(std::string(1024, 'y'));
    client.send_user_policy();
    ASSERT_TRUE(server.wait_agent_message(RedClient::AGENT_GUEST_POLICY, nullptr, 4));
    std::vector<AgentMessage> chunks;
    for (const AgentMessage& m : server.agent_messages()) {
        if (m.type == RedClient::AGENT_GUEST_POLICY) {
            chunks.push_back(m);
        }
    }
    const uint16_t flags[] = {1, 4, 2, 3};
    const uint32_t lengths[] = {1024, 1024, 452, 1024};
    std::string joined;
    for (int i = 0; i < 4; i++) {
        SCOPED_TRACE(i);
        ASSERT_EQ(6u + lengths[i], chunks[i].body.size());
        EXPECT_EQ(flags[i], fake_spice::get16(&chunks[i].body[0]));
        EXPECT_EQ(lengths[i], word(chunks[i].body, 2));
        if (i < 3) {
            joined.append(chunks[i].body.begin() + 6, chunks[i].body.end());
        }
    }
    EXPECT_EQ(policy, joined);

    // 60 distinct modes (and repeats): count 48, all 60 pairs, ordered by width + 65536 * height.
    listener.modes.clear();
    for (uint32_t i = 0; i < 60; i++) {
        listener.modes.push_back({800 + 10 * (59 - i), 600});
        listener.modes.push_back({800 + 10 * (59 - i), 600});
    }
    client.send_display_modes();
    AgentMessage modes;
    ASSERT_TRUE(server.wait_agent_message(RedClient::AGENT_DISPLAY_MODES, &modes, 2));
    ASSERT_EQ(4u + 60 * 8, modes.body.size());
    EXPECT_EQ(48u, word(modes.body, 0));
    EXPECT_EQ(800u, word(modes.body, 4));
    EXPECT_EQ(1390u, word(modes.body, 4 + 59 * 8));

    // Client address.
    const uint8_t mac[] = {1, 2, 3, 4, 5, 6};
    client.set_client_address(0x0100007F, mac, 6);
    client.send_client_address();
    AgentMessage address;
    ASSERT_TRUE(server.wait_agent_message(RedClient::AGENT_CLIENT_ADDRESS, &address));
    EXPECT_EQ((std::vector<uint8_t>{127, 0, 0, 1, 1, 2, 3, 4, 5, 6, 0, 0, 6, 0, 0, 0, 0, 0, 0, 0}),
              address.body);
    client.request_guest_address();
    AgentMessage request;
    ASSERT_TRUE(server.wait_agent_message(RedClient::AGENT_GUEST_ADDRESS, &request));
    EXPECT_TRUE(request.body.empty());
}

TEST_F(AgentTest, MonitorConfigurations) {
    struct Case {
        const char* name;
        std::vector<RedClient::AgentMonitor> monitors;
        bool custom;
        const char* entries;
        uint32_t count;
    };
    const Case cases[] = {
        {"origin kept",
         {{32, 1920, 1080, 0, 0, 0, 0}, {32, 1280, 1024, -1920, 0, 0, 0}},
         false,
         "1920x1080@0,0 1280x1024@-1920,0",
         2},
        {"origin moved",
         {{32, 1920, 1080, 1920, 0, 0, 0}, {32, 1920, 1080, 3840, 0, 0, 0}},
         false,
         "1920x1080@0,0 1920x1080@1920,0",
         2},
        {"custom, three monitors",
         {{32, 1920, 1080, 0, 0, 0, 0}, {32, 1280, 1024, 1920, 0, 0, 0}, {32, 800, 600, 3200, 10, 0, 0}},
         true,
         "1920x1080@0,0 1280x1024@0,0 800x600@0,0",
         1},
    };
    start();
    ASSERT_TRUE(server.wait_agent_message(RedClient::AGENT_ANNOUNCE_CAPABILITIES));
    size_t sent = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        listener.monitors = c.monitors;
        c.custom ? client.send_agent_custom_display() : client.send_agent_monitors_config();
        AgentMessage config;
        ASSERT_TRUE(server.wait_agent_message(RedClient::AGENT_MONITORS_CONFIG, &config, ++sent));
        EXPECT_EQ(c.count, word(config.body, 0));
        EXPECT_EQ(1u, word(config.body, 4));
        EXPECT_EQ(c.entries, monitor_entries(config.body));
    }

    // The user's size replaces each monitor's when the client supports it; otherwise the registry size, and
    // the current size when that is unknown.
    listener.monitors = {{32, 1920, 1080, 0, 0, 1600, 900}, {32, 1280, 1024, 1920, 0, 0, 0}};
    listener.has_user_size = true;
    listener.user_width = 1024, listener.user_height = 768;
    client.send_agent_monitors_config();
    listener.user_width = 1000, listener.user_height = 700;
    client.send_agent_monitors_config();
    listener.monitors[0].register_width = 0;
    client.send_agent_monitors_config();
    AgentMessage config;
    ASSERT_TRUE(server.wait_agent_message(RedClient::AGENT_MONITORS_CONFIG, &config, sent + 1));
    EXPECT_EQ("1024x768@0,0 1024x768@1920,0", monitor_entries(config.body));
    ASSERT_TRUE(server.wait_agent_message(RedClient::AGENT_MONITORS_CONFIG, &config, sent + 2));
    EXPECT_EQ("1600x900@0,0 1600x900@1920,0", monitor_entries(config.body));
    ASSERT_TRUE(server.wait_agent_message(RedClient::AGENT_MONITORS_CONFIG, &config, sent + 3));
    EXPECT_EQ("1920x1080@0,0 1920x1080@1920,0", monitor_entries(config.body));

    // A stored size of 0x0 (debug mode) is not sent: the custom display falls back to the monitors' sizes.
    listener.user_width = 0, listener.user_height = 0;
    client.send_agent_custom_display();
    ASSERT_TRUE(server.wait_agent_message(RedClient::AGENT_MONITORS_CONFIG, &config, sent + 4));
    EXPECT_EQ("1920x1080@0,0 1280x1024@0,0", monitor_entries(config.body));
}

TEST_F(AgentTest, GuestClipboardRequestsAreAnsweredEmptyOneAtATime) {
    InitOptions init;
    init.agent_tokens = 3;
    start(init);
    ASSERT_TRUE(server.wait_agent_message(RedClient::AGENT_ANNOUNCE_CAPABILITIES));  // a token
    // Capabilities with clipboard by demand (5) and no display config: the custom display takes a token.
    server.send_agent_message(RedClient::AGENT_ANNOUNCE_CAPABILITIES, words({0, 0x20}));
    ASSERT_TRUE(server.wait_agent_message(RedClient::AGENT_MONITORS_CONFIG));
    // One token left: the first request is answered with type 0 and no data.
    server.send_agent_message(RedClient::AGENT_CLIPBOARD_REQUEST, words({GUEST_CLIPBOARD_UTF8_TEXT}));
    AgentMessage answer;
    ASSERT_TRUE(server.wait_agent_message(RedClient::AGENT_CLIPBOARD, &answer));
    EXPECT_EQ(words({0}), answer.body);
    EXPECT_EQ(0, client.get_agent_tokens());
    // No token: the next answer waits; a further one meanwhile is dropped.
    server.send_agent_message(RedClient::AGENT_CLIPBOARD_REQUEST, words({GUEST_CLIPBOARD_IMAGE_PNG}));
    server.send_agent_message(RedClient::AGENT_CLIPBOARD_REQUEST, words({GUEST_CLIPBOARD_IMAGE_BMP}));
    server.send_agent_message(RedClient::AGENT_CLIPBOARD_RELEASE, {});  // not owned: logged only
    EXPECT_FALSE(server.wait_agent_message(RedClient::AGENT_CLIPBOARD, nullptr, 2, 300));
    server.send_agent_tokens(5);
    ASSERT_TRUE(server.wait_agent_message(RedClient::AGENT_CLIPBOARD, &answer, 2));
    EXPECT_EQ(words({0}), answer.body);
    client.send_agent_display_refresh();
    ASSERT_TRUE(server.wait_agent_message(RedClient::AGENT_DISPLAY_REFRESH));
    EXPECT_EQ(2u, server.count_agent_messages(RedClient::AGENT_CLIPBOARD));
    EXPECT_EQ(4, client.get_agent_tokens());
}

TEST_F(AgentTest, WithoutAgentTheInitAttachesAtOnce) {
    InitOptions init;
    init.agent_connected = false;
    start(init);
    EXPECT_GE(server.wait_message(MSGC_MAIN_ATTACH_CHANNELS), 0);
    EXPECT_EQ(0u, server.count_messages(MSGC_MAIN_AGENT_START));
}

// ---- Reassembly and dispatch, fed directly (no connection: only messages that send nothing) ----

class AgentStreamTest : public testing::Test {
protected:
    void SetUp() override { SessionBlock::clear(); }
    void TearDown() override {
        while (!client.abort()) {
            loop.run_queued_events();
        }
        SessionBlock::clear();
    }

    void feed(const std::vector<uint8_t>& bytes) {
        client.handle_agent_stream(bytes.data(), uint32_t(bytes.size()));
    }
    std::string addresses() {
        loop.run_queued_events();
        std::string out;
        for (const std::string& a : listener.addresses) {
            out += (out.empty() ? "" : " ") + a;
        }
        return out;
    }

    ProcessLoop loop{nullptr};
    Listener listener;
    RedClient client{loop, listener};
};

TEST_F(AgentStreamTest, MessageSplitAtEveryByteDispatchesOnceAfterItsLastByte) {
    const size_t length = agent_message(RedClient::AGENT_GUEST_ADDRESS, address_body("10.1.100", "m")).size();
    for (size_t split = 1; split < length; split++) {
        SCOPED_TRACE(split);
        listener.addresses.clear();
        // A different address of the same length each time, so that every dispatch is a change.
        std::string ip = "10.1." + std::to_string(100 + split);
        std::vector<uint8_t> message = agent_message(RedClient::AGENT_GUEST_ADDRESS, address_body(ip, "m"));
        ASSERT_EQ(length, message.size());
        feed(std::vector<uint8_t>(message.begin(), message.begin() + split));
        EXPECT_EQ("", addresses());
        feed(std::vector<uint8_t>(message.begin() + split, message.end()));
        EXPECT_EQ(ip + "/m", addresses());
    }
    // And one byte per server message.
    listener.addresses.clear();
    for (uint8_t byte : agent_message(RedClient::AGENT_GUEST_ADDRESS, address_body("10.0.0.7", "aa:bb"))) {
        feed({byte});
    }
    EXPECT_EQ("10.0.0.7/aa:bb", addresses());
}

TEST_F(AgentStreamTest, MessagesShareServerMessagesInOrder) {
    std::vector<uint8_t> first = agent_message(RedClient::AGENT_GUEST_ADDRESS, address_body("1.1.1.1", "a"));
    std::vector<uint8_t> second = agent_message(RedClient::AGENT_GUEST_ADDRESS, address_body("2.2.2.2", "b"));
    std::vector<uint8_t> third = agent_message(RedClient::AGENT_GUEST_ADDRESS, address_body("3.3.3.3", "c"));
    // The end of the first and the whole second in one, then the third.
    feed(std::vector<uint8_t>(first.begin(), first.begin() + 7));
    feed(concat(std::vector<uint8_t>(first.begin() + 7, first.end()), second));
    feed(third);
    EXPECT_EQ("1.1.1.1/a 2.2.2.2/b 3.3.3.3/c", addresses());
}

TEST_F(AgentStreamTest, ZeroSizeMessageDispatchesWhenItsHeaderEnds) {
    // A locked guest screen locks the local workstation in PC-in-one mode with automatic logon.
    SessionBlock::set_u32(SessionBlock::PC_IN_ONE, 1);
    client.set_logon_mode(1);
    std::vector<uint8_t> locked = agent_message(RedClient::AGENT_SCREEN_LOCKED, {});
    feed(std::vector<uint8_t>(locked.begin(), locked.begin() + 19));
    EXPECT_EQ(0, listener.locks.load());
    feed({locked[19]});  // the header ends with the server message
    EXPECT_EQ(1, listener.locks.load());
    // Between two messages in one server message.
    std::vector<uint8_t> address =
        agent_message(RedClient::AGENT_GUEST_ADDRESS, address_body("9.9.9.9", "z"));
    feed(concat(concat(locked, address), locked));
    EXPECT_EQ(3, listener.locks.load());
    EXPECT_EQ("9.9.9.9/z", addresses());
}

TEST_F(AgentStreamTest, GuestAddressTextsAreBounded) {
    feed(
        agent_message(RedClient::AGENT_GUEST_ADDRESS, address_body("1234567890123456", "00:11:22:33:44:55")));
    EXPECT_EQ("", client.guest_ip());
    EXPECT_EQ("00:11:22:33:44:55", client.guest_mac());
    // Texts that run past the body are not read.
    std::vector<uint8_t> past = {7, 3, '1', '.', '2'};
    feed(agent_message(RedClient::AGENT_GUEST_ADDRESS, past));
    EXPECT_EQ("00:11:22:33:44:55", client.guest_mac());
    // The same address again (case aside) is no change.
    feed(agent_message(RedClient::AGENT_GUEST_ADDRESS, address_body("", "00:11:22:33:44:55")));
    EXPECT_EQ("/00:11:22:33:44:55", addresses());
}

TEST_F(AgentStreamTest, MalformedHeadersEndTheConnection) {
    struct Case {
        const char* name;
        std::vector<uint8_t> stream;
        int code;
    };
    const Case cases[] = {
        {"protocol 2", agent_message(RedClient::AGENT_MAX_RESOLUTION, words({1, 2}), 2), 1},
        // The size is taken in 64 bits and capped: neither "size + 20" wraps nor 4 GiB is allocated.
        {"size 0xFFFFFFFF", agent_message_sized(RedClient::AGENT_CLIPBOARD, 0xFFFFFFFFu, {}), 1},
        {"size 0xFFFFFFEC", agent_message_sized(RedClient::AGENT_CLIPBOARD, 0xFFFFFFECu, {}), 1},
        {"64 MiB + 1", agent_message_sized(RedClient::AGENT_CLIPBOARD, (64u << 20) + 1, {}), 1},
        {"reply to type 4", agent_message(RedClient::AGENT_REPLY, words({4, 1})), 1},
        {"agent error", agent_message(RedClient::AGENT_REPLY, words({2, 2})), 10},
        {"unknown error", agent_message(RedClient::AGENT_REPLY, words({2, 7})), 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ProcessLoop case_loop(nullptr);
        Listener case_listener;
        RedClient case_client(case_loop, case_listener);
        try {
            case_client.handle_agent_stream(c.stream.data(), uint32_t(c.stream.size()));
            ADD_FAILURE() << "no exception";
        } catch (const Exception& e) {
            EXPECT_EQ(c.code, e.get_error_code());
        }
        while (!case_client.abort()) {
            case_loop.run_queued_events();
        }
    }
}

TEST_F(AgentStreamTest, ShortFixedFieldsAreDroppedNotRead) {
    // Each one byte short of its fixed fields (under the sanitizers a read past the body fails the test);
    // none ends the connection and none changes the state.
    struct Case {
        uint32_t type;
        uint32_t size;
    };
    const Case cases[] = {{RedClient::AGENT_REPLY, 7},
                          {RedClient::AGENT_CLIPBOARD, 3},
                          {RedClient::AGENT_ANNOUNCE_CAPABILITIES, 0},
                          {RedClient::AGENT_ANNOUNCE_CAPABILITIES, 3},
                          {RedClient::AGENT_CLIPBOARD_REQUEST, 3},
                          {RedClient::AGENT_SYSTEM_INFO, 7},
                          {RedClient::AGENT_SECOND_SCREEN, 4},
                          {RedClient::AGENT_GUEST_ADDRESS, 1},
                          {RedClient::AGENT_MAX_RESOLUTION, 7}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        std::vector<uint8_t> body(c.size, 0xFF);
        EXPECT_NO_THROW(feed(agent_message(c.type, body)));
    }
    // A second-screen count beyond its entries.
    std::vector<uint8_t> screens = {0, 0, 0, 0, 3};
    screens.resize(5 + 41 * 2, 0x01);
    EXPECT_NO_THROW(feed(agent_message(RedClient::AGENT_SECOND_SCREEN, screens)));
    EXPECT_EQ(0u, client.guest_max_width());
    EXPECT_FALSE(client.agent_cap14());
    EXPECT_EQ("", addresses());
    // The stream is still in step: a whole message after them is taken.
    feed(agent_message(RedClient::AGENT_MAX_RESOLUTION, words({2560, 1440})));
    EXPECT_EQ(2560u, client.guest_max_width());
    EXPECT_EQ(1440u, client.guest_max_height());
}

}  // namespace
