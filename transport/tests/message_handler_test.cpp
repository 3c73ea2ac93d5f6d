// MessageHandlerImp hands each handler the parsed structure of its message type; the structure table
// (message_types.h) agrees with the parser tables.
#include "transport/channel/message_handler.h"
#include "transport/protocol/parse_structs.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

enum class Shape { Parsed, Raw, Empty };

template <class Structure>
constexpr Shape shape_of() {
    return std::is_same<Structure, SpiceRawBody>::value     ? Shape::Raw
           : std::is_same<Structure, SpiceEmptyBody>::value ? Shape::Empty
                                                            : Shape::Parsed;
}

Shape shape_of(MessageKind kind) {
    return kind == MessageKind::Raw ? Shape::Raw : kind == MessageKind::Empty ? Shape::Empty : Shape::Parsed;
}

struct Mapped {
    uint8_t channel;  // 0: every channel
    uint16_t type;
    Shape shape;
};

const std::vector<Mapped>& mapped_messages() {
#define COMMON(type, Structure) Mapped{0, type, shape_of<Structure>()},
#define CHANNEL(channel, type, Structure) Mapped{channel, type, shape_of<Structure>()},
    static const std::vector<Mapped> all = {KTW_COMMON_SERVER_MESSAGES(COMMON)
                                                KTW_CHANNEL_SERVER_MESSAGES(CHANNEL)};
#undef COMMON
#undef CHANNEL
    return all;
}

const Mapped* find_mapped(uint8_t channel, uint16_t type) {
    for (const Mapped& m : mapped_messages()) {
        if ((m.channel == 0 || m.channel == channel) && m.type == type) {
            return &m;
        }
    }
    return nullptr;
}

struct ChannelTables {
    uint8_t channel;
    const MessageTable* v2;
    const MessageTable* v1;  // NULL: generation 1 has no such channel
};

const ChannelTables kTables[] = {
    {SPICE_CHANNEL_MAIN, &main_messages_v2, &main_messages_v1},
    {SPICE_CHANNEL_DISPLAY, &display_messages_v2, &display_messages_v1},
    {SPICE_CHANNEL_INPUTS, &inputs_messages_v2, &inputs_messages_v1},
    {SPICE_CHANNEL_CURSOR, &cursor_messages_v2, &cursor_messages_v1},
    {SPICE_CHANNEL_PLAYBACK, &playback_messages_v2, &playback_messages_v1},
    {SPICE_CHANNEL_RECORD, &record_messages_v2, &record_messages_v1},
    {SPICE_CHANNEL_TUNNEL, &tunnel_messages_v2, nullptr},
    {SPICE_CHANNEL_USBREDIR, &usbredir_messages_v2, nullptr},
    {SPICE_CHANNEL_PORT, &port_messages_v2, nullptr},
    {SPICE_CHANNEL_WEBDAV, &webdav_messages_v2, nullptr},
};

void expect_table_mapped(uint8_t channel, const MessageTable& table) {
    for (size_t i = 0; i < table.count; i++) {
        const MessageEntry& entry = table.entries[i];
        if (entry.type == SPICE_MSG_LIST) {
            continue;  // split by the handler, never dispatched whole
        }
        SCOPED_TRACE(std::string(table.channel) + " generation " + std::to_string(int(table.gen)) + ": " +
                     entry.name);
        const Mapped* mapped = find_mapped(channel, entry.type);
        ASSERT_NE(nullptr, mapped) << "a message the parser accepts has no structure for its handler";
        EXPECT_EQ(shape_of(entry.kind), mapped->shape);
    }
}

bool table_has(const MessageTable& table, uint16_t type) {
    for (size_t i = 0; i < table.count; i++) {
        if (table.entries[i].type == type) {
            return true;
        }
    }
    return false;
}

TEST(MessageTypes, EveryMessageTheParsersAcceptHasAStructureOfItsKind) {
    for (const ChannelTables& t : kTables) {
        expect_table_mapped(t.channel, common_messages_v2);
        expect_table_mapped(t.channel, common_messages_v1);
        expect_table_mapped(t.channel, *t.v2);
        if (t.v1) {
            expect_table_mapped(t.channel, *t.v1);
        }
    }
}

TEST(MessageTypes, EveryStructureIsOfAMessageTheParsersAccept) {
    for (const Mapped& m : mapped_messages()) {
        SCOPED_TRACE("channel " + std::to_string(m.channel) + " type " + std::to_string(m.type));
        if (m.channel == 0) {
            EXPECT_TRUE(table_has(common_messages_v2, m.type));
            continue;
        }
        const ChannelTables* tables = nullptr;
        for (const ChannelTables& t : kTables) {
            if (t.channel == m.channel) {
                tables = &t;
            }
        }
        ASSERT_NE(nullptr, tables);
        EXPECT_TRUE(table_has(*tables->v2, m.type) || (tables->v1 && table_has(*tables->v1, m.type)));
    }
}

void put16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(uint8_t(v));
    out.push_back(uint8_t(v >> 8));
}

void put32(std::vector<uint8_t>& out, uint32_t v) {
    put16(out, uint16_t(v));
    put16(out, uint16_t(v >> 16));
}

void put64(std::vector<uint8_t>& out, uint64_t v) {
    put32(out, uint32_t(v));
    put32(out, uint32_t(v >> 32));
}

// Just what MessageHandlerImp asks of a channel, and a record of what its handlers received.
class FakeChannel {
public:
    int get_peer_major() const { return 2; }
    int get_peer_minor() const { return 2; }

    void handle_mm_time(const SpiceMsgMainMultiMediaTime& time) {
        calls.push_back("mm_time " + std::to_string(time.time));
    }
    void handle_notify(const SpiceMsgNotify& notify) {
        calls.push_back("notify " + std::to_string(notify.what) + " " +
                        std::string(notify.message, notify.message_len));
    }
    void handle_agent_data(const SpiceRawBody& body) {
        calls.push_back("agent_data " + std::string(reinterpret_cast<const char*>(body.data), body.size));
    }
    void handle_agent_connected() { calls.push_back("agent_connected"); }

    std::vector<std::string> calls;
};

typedef MessageHandlerImp<FakeChannel, SPICE_CHANNEL_MAIN> FakeHandler;

void deliver(FakeHandler& handler, uint16_t type, const std::vector<uint8_t>& body) {
    RedPeer::CompoundInMessage* message = new RedPeer::CompoundInMessage(uint32_t(body.size()), type);
    if (!body.empty()) {
        memcpy(message->data(), body.data(), body.size());
    }
    try {
        handler.handle_message(*message);
    } catch (...) {
        message->unref();
        throw;
    }
    message->unref();
}

class MessageHandlerTest : public ::testing::Test {
protected:
    void SetUp() override {
        handler.set_handler<SPICE_MSG_MAIN_MULTI_MEDIA_TIME>(&FakeChannel::handle_mm_time);
        handler.set_handler<SPICE_MSG_NOTIFY>(&FakeChannel::handle_notify);
        handler.set_handler<SPICE_MSG_MAIN_AGENT_DATA>(&FakeChannel::handle_agent_data);
        handler.set_handler<SPICE_MSG_MAIN_AGENT_CONNECTED>(&FakeChannel::handle_agent_connected);
    }

    FakeChannel channel;
    FakeHandler handler{channel};
};

std::vector<uint8_t> u32_body(uint32_t v) {
    std::vector<uint8_t> out;
    put32(out, v);
    return out;
}

std::vector<uint8_t> notify_body(uint32_t what, const std::string& text) {
    std::vector<uint8_t> out;
    put64(out, 0);
    put32(out, 0);
    put32(out, 0);
    put32(out, what);
    put32(out, uint32_t(text.size()));
    out.insert(out.end(), text.begin(), text.end());
    out.push_back(0);
    return out;
}

TEST_F(MessageHandlerTest, EachShapeReachesItsHandler) {
    deliver(handler, SPICE_MSG_MAIN_MULTI_MEDIA_TIME, u32_body(0x01020304));
    deliver(handler, SPICE_MSG_NOTIFY, notify_body(7, "hello"));
    deliver(handler, SPICE_MSG_MAIN_AGENT_DATA, {'a', 'b', 'c'});
    deliver(handler, SPICE_MSG_MAIN_AGENT_CONNECTED, {});
    deliver(handler, SPICE_MSG_MAIN_AGENT_TOKEN, u32_body(1));  // no handler: ignored
    EXPECT_EQ(
        (std::vector<std::string>{"mm_time 16909060", "notify 7 hello", "agent_data abc", "agent_connected"}),
        channel.calls);
}

TEST_F(MessageHandlerTest, ListSubMessagesReachTheirHandlersInOrder) {
    struct Sub {
        uint16_t type;
        std::vector<uint8_t> body;
    };
    const std::vector<Sub> subs = {
        {SPICE_MSG_MAIN_AGENT_CONNECTED, {}},
        {SPICE_MSG_MAIN_AGENT_DATA, {'x', 'y'}},
        {SPICE_MSG_MAIN_MULTI_MEDIA_TIME, u32_body(9)},
    };
    std::vector<uint8_t> list;
    put16(list, uint16_t(subs.size()));
    list.resize(2 + 4 * subs.size());
    for (size_t i = 0; i < subs.size(); i++) {
        uint32_t offset = uint32_t(list.size());
        for (int b = 0; b < 4; b++) {
            list[2 + 4 * i + b] = uint8_t(offset >> (8 * b));
        }
        put16(list, subs[i].type);
        put32(list, uint32_t(subs[i].body.size()));
        list.insert(list.end(), subs[i].body.begin(), subs[i].body.end());
    }
    deliver(handler, SPICE_MSG_LIST, list);
    EXPECT_EQ((std::vector<std::string>{"agent_connected", "agent_data xy", "mm_time 9"}), channel.calls);
}

TEST_F(MessageHandlerTest, ABodyTooShortForItsStructureNeverReachesTheHandler) {
    EXPECT_THROW(deliver(handler, SPICE_MSG_MAIN_MULTI_MEDIA_TIME, {1, 2, 3}), Exception);
    std::vector<uint8_t> cut = notify_body(7, "hello");
    cut.resize(cut.size() - 3);  // the text runs past the body
    EXPECT_THROW(deliver(handler, SPICE_MSG_NOTIFY, cut), Exception);
    EXPECT_TRUE(channel.calls.empty());
}

}  // namespace
