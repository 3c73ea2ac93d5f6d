// The inputs channel against a scripted server: make and break codes, the init exchange, lock keys, pointer
// coalescing, acknowledgement counting and the hand-over of the application's input handlers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>

#include "app/application.h"
#include "display/inputs_channel.h"
#include "platform/session_block.h"
#include "transport/tests/support/channel_test_support.h"
#include "transport/tests/support/fake_spice_server.h"

using namespace channel_test;
using namespace fake_spice;

namespace {

const uint16_t kKeyDown = 101, kKeyUp = 102, kModifiers = 103, kMotion = 111, kPosition = 112, kPress = 113,
               kRelease = 114;

uint32_t u32_at(const std::vector<uint8_t>& body, size_t offset) {
    uint32_t value = 0;
    for (size_t i = 0; i < 4 && offset + i < body.size(); i++) {
        value |= uint32_t(body[offset + i]) << (8 * i);
    }
    return value;
}

std::vector<uint8_t> u16_body(uint16_t value) {
    std::vector<uint8_t> body;
    put16(body, value);
    return body;
}

class InputsChannelTest : public testing::Test {
protected:
    void SetUp() override {
        SessionBlock::clear();
        SessionBlock::set_u32(SessionBlock::FORCE_LINK, 1);
        client.port = server.port();
        channel.reset(new InputsChannel(client, 0, app));
        channel->start();
        channel->connect();
        conn = server.accept();
        ASSERT_TRUE(conn && conn->accept_link());
        ASSERT_TRUE(wait_until(kWaitMs, [this] { return channel->get_state() == RedChannel::CONNECTED; }));
    }

    void TearDown() override {
        conn.reset();
        // The channel's disconnection waits for the main loop, which this thread runs.
        ASSERT_TRUE(wait_until(kWaitMs, [this] {
            app.main_loop().run_queued_events();
            return channel->abort();
        }));
        channel.reset();
        SessionBlock::clear();
    }

    // The next message of the inputs range (the channel's acknowledgements and pongs are skipped).
    fake_spice::Message next() {
        fake_spice::Message message;
        while (conn->read_message(&message)) {
            if (message.type >= 100) {
                return message;
            }
        }
        ADD_FAILURE() << "no inputs message";
        return fake_spice::Message();
    }

    // Returns once the channel handled every message sent before: it answers a ping in order.
    void sync_with_channel() {
        std::vector<uint8_t> ping;
        put32(ping, 77);
        put64(ping, 0);
        conn->send_message(SPICE_MSG_PING, ping);
        fake_spice::Message message;
        while (conn->read_message(&message) && message.type != SPICE_MSGC_PONG) {
            EXPECT_LT(message.type, 100) << "unexpected inputs message";
        }
        EXPECT_EQ(message.type, SPICE_MSGC_PONG);
    }

    void expect_key(uint16_t type, uint32_t code) {
        fake_spice::Message message = next();
        EXPECT_EQ(message.type, type);
        EXPECT_EQ(message.body.size(), 4u);
        EXPECT_EQ(u32_at(message.body, 0), code) << std::hex << "0x" << u32_at(message.body, 0);
    }

    Application app;
    Server server;
    TestClient client;
    std::unique_ptr<InputsChannel> channel;
    std::unique_ptr<Connection> conn;
};

TEST_F(InputsChannelTest, KeysGoAsMakeAndBreakCodes) {
    struct Case {
        int32_t key;
        uint32_t make;
        uint32_t brk;
    };
    const Case cases[] = {
        {0x01, 0x01, 0x81},    {0x56, 0x56, 0xD6},      {0x7D, 0x7D, 0xFD},
        {0x100, 0xE0, 0x80E0}, {0x11C, 0x1CE0, 0x9CE0}, {0x15D, 0x5DE0, 0xDDE0},
        {241, 0xF1, 0xF1},     {242, 0xF2, 0xF2},       {350, 0x451DE1, 0xC59DE1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key);
        channel->on_key_down(c.key);
        expect_key(kKeyDown, c.make);
        channel->on_key_up(c.key);
        expect_key(kKeyUp, c.brk);
    }

    // Codes without a key send nothing; the one after them arrives next. 0x1FF is the highest code key
    // translation can give.
    for (int32_t key : {0, 84, 100, 0x101, 0x15F, 351, 0x1FF, -1}) {
        channel->on_key_down(key);
        channel->on_key_up(key);
    }
    channel->on_key_down(0x1E);
    expect_key(kKeyDown, 0x1E);
}

TEST_F(InputsChannelTest, ButtonsAndFocusModifiers) {
    channel->on_mouse_down(1, 1);
    channel->on_mouse_up(3, 0);
    fake_spice::Message press = next(), release = next();
    EXPECT_EQ(press.type, kPress);
    EXPECT_EQ(press.body, std::vector<uint8_t>({1, 1, 0}));
    EXPECT_EQ(release.type, kRelease);
    EXPECT_EQ(release.body, std::vector<uint8_t>({3, 0, 0}));

    uint32_t local = InputsChannel::local_lock_keys();
    channel->on_focus_in();
    fake_spice::Message modifiers = next();
    EXPECT_EQ(modifiers.type, kModifiers);
    EXPECT_EQ(modifiers.body, u16_body(uint16_t(local)));

    // While the focus is out, the server's report goes unanswered; with the focus back it is answered.
    channel->on_focus_out();
    conn->send_message(SPICE_MSG_INPUTS_KEY_MODIFIERS, u16_body(uint16_t(local ^ 7)));
    sync_with_channel();
    channel->on_focus_in();
    EXPECT_EQ(next().type, kModifiers);  // the focus-in's own
    conn->send_message(SPICE_MSG_INPUTS_KEY_MODIFIERS, u16_body(uint16_t(local ^ 7)));
    modifiers = next();
    EXPECT_EQ(modifiers.type, kModifiers);
    EXPECT_EQ(modifiers.body, u16_body(uint16_t(local)));
    conn->send_message(SPICE_MSG_INPUTS_KEY_MODIFIERS, u16_body(uint16_t(local)));
    channel->on_key_down(0x1E);
    expect_key(kKeyDown, 0x1E);
}

TEST_F(InputsChannelTest, InitReleasesModifiersAndTakesOverTheInputHandlers) {
    uint32_t local = InputsChannel::local_lock_keys();
    for (bool differ : {true, false}) {
        SCOPED_TRACE(differ);
        conn->send_message(SPICE_MSG_INPUTS_INIT, u16_body(uint16_t(differ ? local ^ 4 : local)));
        expect_key(kKeyUp, 0xAA);
        expect_key(kKeyUp, 0xB6);
        expect_key(kKeyUp, 0x9D);
        expect_key(kKeyUp, 0x9DE0);
        if (differ) {
            fake_spice::Message modifiers = next();
            EXPECT_EQ(modifiers.type, kModifiers);
            EXPECT_EQ(modifiers.body, u16_body(uint16_t(local)));
        }
        channel->on_key_down(0x1E);
        expect_key(kKeyDown, 0x1E);
    }
    ASSERT_TRUE(wait_until(kWaitMs, [this] {
        app.main_loop().run_queued_events();
        return app.key_handler == channel.get();
    }));
    EXPECT_EQ(app.mouse_handler, channel.get());

    // Keys routed through the application reach the server.
    app.on_key_down(0x30);
    expect_key(kKeyDown, 0x30);
    app.on_key_up(0x30);
    expect_key(kKeyUp, 0xB0);

    // The server going away hands the handlers back.
    conn.reset();
    ASSERT_TRUE(wait_until(kWaitMs, [this] {
        app.main_loop().run_queued_events();
        return app.key_handler == &ApplicationInterface::base_key_handler();
    }));
    EXPECT_EQ(app.mouse_handler, &ApplicationInterface::base_mouse_handler());
    EXPECT_TRUE(app.key_handlers.empty() || app.key_handlers.front() != channel.get());
}

TEST_F(InputsChannelTest, DisconnectLeavesAnotherCurrentHandlerInPlace) {
    conn->send_message(SPICE_MSG_INPUTS_INIT, u16_body(0));
    ASSERT_TRUE(wait_until(kWaitMs, [this] {
        app.main_loop().run_queued_events();
        return app.key_handler == channel.get();
    }));
    KeyHandler dialog;
    app.set_key_handler(dialog);
    ASSERT_EQ(app.key_handlers.front(), channel.get());
    conn.reset();
    ASSERT_TRUE(wait_until(kWaitMs, [this] {
        app.main_loop().run_queued_events();
        return app.mouse_handler == &ApplicationInterface::base_mouse_handler();
    }));
    EXPECT_EQ(app.key_handler, &dialog);
    for (KeyHandler* handler : app.key_handlers) {
        EXPECT_NE(handler, channel.get());
    }
    app.set_key_handler(ApplicationInterface::base_key_handler());
}

// Pointer messages carry the sums of every event before they were written, and are counted until the server
// acknowledges them in fours.
TEST_F(InputsChannelTest, MotionIsCoalescedAndCounted) {
    const int kEvents = 200;
    for (int i = 0; i < kEvents; i++) {
        channel->on_mouse_motion(1, 2, 1);
    }
    int messages = 0;
    int32_t dx = 0, dy = 0;
    while (dx < kEvents) {
        fake_spice::Message motion = next();
        ASSERT_EQ(motion.type, kMotion);
        ASSERT_EQ(motion.body.size(), 10u);
        dx += int32_t(u32_at(motion.body, 0));
        dy += int32_t(u32_at(motion.body, 4));
        EXPECT_EQ(motion.body[8], 1);
        messages++;
    }
    EXPECT_EQ(dx, kEvents);
    EXPECT_EQ(dy, 2 * kEvents);
    EXPECT_LE(messages, kEvents);
    RecordProperty("motion_messages", messages);
    ASSERT_TRUE(wait_until(kWaitMs, [&] { return channel->motion_count() == messages; }));

    // One message per event when each is written before the next comes.
    int counted = messages;
    for (int i = 0; i < 6; i++) {
        channel->on_mouse_motion(-1, 0, 0);
        fake_spice::Message motion = next();
        EXPECT_EQ(motion.type, kMotion);
        EXPECT_EQ(int32_t(u32_at(motion.body, 0)), -1);
        counted++;
    }
    ASSERT_TRUE(wait_until(kWaitMs, [&] { return channel->motion_count() == counted; }));

    // Acknowledgements lower the count by four; with fewer than four it goes to 0.
    while (counted >= 4) {
        conn->send_message(SPICE_MSG_INPUTS_MOUSE_MOTION_ACK);
        counted -= 4;
        ASSERT_TRUE(wait_until(kWaitMs, [&] { return channel->motion_count() == counted; }));
    }
    conn->send_message(SPICE_MSG_INPUTS_MOUSE_MOTION_ACK);
    ASSERT_TRUE(wait_until(kWaitMs, [&] { return channel->motion_count() == 0; }));
}

TEST_F(InputsChannelTest, PositionCarriesTheLatestValues) {
    for (int i = 0; i <= 50; i++) {
        channel->on_mouse_position(i, 2 * i, 4, 0);
    }
    fake_spice::Message position;
    do {
        position = next();
        ASSERT_EQ(position.type, kPosition);
        ASSERT_EQ(position.body.size(), 11u);
    } while (u32_at(position.body, 0) != 50);
    EXPECT_EQ(u32_at(position.body, 4), 100u);
    EXPECT_EQ(position.body[8], 4);
    EXPECT_EQ(position.body[10], 0);
    channel->on_mouse_position(0, 0, 0, 1);
    position = next();
    EXPECT_EQ(position.type, kPosition);
    EXPECT_EQ(u32_at(position.body, 0), 0u);
    EXPECT_EQ(position.body[10], 1);
}

}  // namespace
