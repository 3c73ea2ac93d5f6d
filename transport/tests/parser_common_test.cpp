// The messages every channel shares, the routing of the two parser tables, and the rules of the parsed block.
#include <gmock/gmock.h>

#include "parser_test_util.h"

namespace {

const int V1 = 1, V2 = 2;

class CommonMessages : public ::testing::TestWithParam<MinimalBody> {};

TEST_P(CommonMessages, MinimalBodyParsesAndEveryShorterBodyFails) {
    expect_minimal(GetParam());
}

std::vector<MinimalBody> common_bodies() {
    std::vector<MinimalBody> rows;
    for (int major : {V1, V2}) {
        rows.push_back({"migrate", major, SPICE_CHANNEL_MAIN, SPICE_MSG_MIGRATE, Body().u32(3), 2});
        rows.push_back(
            {"set_ack", major, SPICE_CHANNEL_DISPLAY, SPICE_MSG_SET_ACK, Body().u32(1).u32(20), 2});
        rows.push_back({"ping", major, SPICE_CHANNEL_CURSOR, SPICE_MSG_PING, Body().u32(1).u64(2), 2});
        rows.push_back(
            {"wait_for_channels", major, SPICE_CHANNEL_INPUTS, SPICE_MSG_WAIT_FOR_CHANNELS, Body().u8(0), 2});
        rows.push_back({"disconnecting", major, SPICE_CHANNEL_PLAYBACK, SPICE_MSG_DISCONNECTING,
                        Body().u64(1).u32(2), 2});
        // 24 bytes of fixed fields, no text, and the NUL that ends the text.
        rows.push_back({"notify", major, SPICE_CHANNEL_RECORD, SPICE_MSG_NOTIFY,
                        Body().u64(1).u32(1).u32(2).u32(0).u32(0).u8(0), 2});
        rows.push_back({"migrate_data", major, SPICE_CHANNEL_MAIN, SPICE_MSG_MIGRATE_DATA, {}, 2});
    }
    rows.push_back({"list", V2, SPICE_CHANNEL_DISPLAY, SPICE_MSG_LIST, {}, 2});
    rows.push_back({"base_last", V2, SPICE_CHANNEL_USBREDIR, SPICE_MSG_BASE_LAST, {}, 2});
    return rows;
}

INSTANTIATE_TEST_SUITE_P(BothGenerations, CommonMessages, ::testing::ValuesIn(common_bodies()),
                         minimal_body_name);

TEST(CommonMessages, EveryChannelWithAParserAcceptsThem) {
    for (uint8_t channel = 1; channel < SERVER_CHANNEL_PARSERS_COUNT; channel++) {
        if (channel == SPICE_CHANNEL_SMARTCARD) {
            continue;
        }
        Parsed ack(V2, channel, SPICE_MSG_SET_ACK, Body().u32(7).u32(9));
        ASSERT_TRUE(ack.ok()) << int(channel);
        EXPECT_EQ(ack.as<SpiceMsgSetAck>()->window, 9u);
    }
}

TEST(CommonMessages, PingDataIsReferencedInPlace) {
    Parsed ping(V2, SPICE_CHANNEL_MAIN, SPICE_MSG_PING,
                Body().u32(5).u64(0x1122334455667788ULL).bytes({9, 8, 7}));
    ASSERT_TRUE(ping.ok());
    auto m = ping.as<SpiceMsgPing>();
    EXPECT_EQ(m->id, 5u);
    EXPECT_EQ(m->timestamp, 0x1122334455667788ULL);
    EXPECT_EQ(m->data, ping.body() + 12);
    EXPECT_EQ(m->data_len, 3u);
}

TEST(CommonMessages, NotifyTextIsCopiedAndTerminated) {
    Parsed notify(V2, SPICE_CHANNEL_MAIN, SPICE_MSG_NOTIFY,
                  Body().u64(1).u32(1).u32(2).u32(0).u32(5).text("hello").u8(0));
    ASSERT_TRUE(notify.ok());
    auto m = notify.as<SpiceMsgNotify>();
    EXPECT_STREQ(m->message, "hello");
    EXPECT_TRUE(notify.in_block(m->message));

    Parsed too_long(V2, SPICE_CHANNEL_MAIN, SPICE_MSG_NOTIFY,
                    Body().u64(1).u32(1).u32(2).u32(0).u32(0xFFFFFFFF).text("hello").u8(0));
    EXPECT_FALSE(too_long.ok());
}

TEST(CommonMessages, WaitListCountPastTheEndFails) {
    Parsed one(V2, SPICE_CHANNEL_DISPLAY, SPICE_MSG_WAIT_FOR_CHANNELS, Body().u8(1).u8(2).u8(1).u64(7));
    ASSERT_TRUE(one.ok());
    auto m = one.as<SpiceMsgWaitForChannels>();
    ASSERT_EQ(m->wait_count, 1);
    EXPECT_EQ(m->wait_list[0].channel_type, 2);
    EXPECT_EQ(m->wait_list[0].channel_id, 1);
    EXPECT_EQ(m->wait_list[0].message_serial, 7u);

    EXPECT_FALSE(
        Parsed(V2, SPICE_CHANNEL_DISPLAY, SPICE_MSG_WAIT_FOR_CHANNELS, Body().u8(2).u8(2).u8(1).u64(7)).ok());
}

TEST(ParsedBlock, EmptyMessageIsAOneByteBlockWhateverTheBody) {
    Parsed none(V2, SPICE_CHANNEL_DISPLAY, SPICE_MSG_DISPLAY_MARK, {});
    ASSERT_TRUE(none.ok());
    EXPECT_EQ(none.parsed_size(), 1u);
    Parsed some(V2, SPICE_CHANNEL_DISPLAY, SPICE_MSG_DISPLAY_INVALIDATE_LAYER, Body().u32(1));
    ASSERT_TRUE(some.ok());
    EXPECT_EQ(some.parsed_size(), 1u);
}

TEST(ParsedBlock, RawMessageIsTheBodyItself) {
    std::vector<uint8_t> body = Body().text("agent bytes");
    Parsed raw(V2, SPICE_CHANNEL_MAIN, SPICE_MSG_MAIN_AGENT_DATA, body);
    ASSERT_TRUE(raw.ok());
    EXPECT_EQ(raw.result(), raw.body());
    EXPECT_EQ(raw.parsed_size(), body.size());
    // The destructor's release must leave the body alone (ASan reports a free of it).
}

TEST(ParsedBlock, BodyThatEndsBeforeItStartsFails) {
    uint8_t body[4] = {};
    size_t size = 0;
    message_destructor_t release = nullptr;
    auto parser = server_channel_parsers[SPICE_CHANNEL_DISPLAY].parser;
    EXPECT_EQ(parser(body + 4, body, SPICE_MSG_DISPLAY_INVALIDATE_LAYER, 2, &size, &release), nullptr);
    EXPECT_EQ(parser(body + 4, body, SPICE_MSG_MIGRATE_DATA, 2, &size, &release), nullptr);
    EXPECT_EQ(parser(body + 4, body, SPICE_MSG_SET_ACK, 2, &size, &release), nullptr);
}

TEST(ParserTables, MaximaAndEntriesAreThoseOfEachGeneration) {
    const uint16_t max2[] = {0, 118, 801, 111, 110, 107, 104, 108, 0, 103, 202, 202};
    for (size_t t = 0; t < SERVER_CHANNEL_PARSERS_COUNT; t++) {
        EXPECT_EQ(server_channel_parsers[t].max_message_type, max2[t]) << t;
        EXPECT_EQ(server_channel_parsers[t].parser == nullptr, t == 0 || t == SPICE_CHANNEL_SMARTCARD) << t;
    }
    const uint16_t max1[] = {0, 111, 313, 111, 108, 104, 102};
    for (size_t t = 0; t < SERVER_CHANNEL_PARSERS1_COUNT; t++) {
        EXPECT_EQ(server_channel_parsers1[t].max_message_type, max1[t]) << t;
        EXPECT_EQ(server_channel_parsers1[t].parser == nullptr, t == 0) << t;
        // The handler table is sized from the current generation, which must never be lower.
        EXPECT_GE(server_channel_parsers[t].max_message_type, max1[t]) << t;
    }
    EXPECT_EQ(spice_get_server_channel_parser(7, 1), nullptr);
    EXPECT_EQ(spice_get_server_channel_parser(12, 2), nullptr);
}

// Types outside a channel's ranges and the holes inside them fail, whatever the body.
TEST(ParserTables, TypesWithoutAParserFail) {
    struct Hole {
        int major;
        uint8_t channel;
        uint16_t type;
    };
    const Hole holes[] = {
        {V2, SPICE_CHANNEL_MAIN, 9},
        {V2, SPICE_CHANNEL_MAIN, 119},
        {V2, SPICE_CHANNEL_DISPLAY, 801},
        {V2, SPICE_CHANNEL_DISPLAY, 109},
        {V2, SPICE_CHANNEL_DISPLAY, 364},
        {V2, SPICE_CHANNEL_USBREDIR, 103},
        {V2, SPICE_CHANNEL_INPUTS, 103},
        {V2, SPICE_CHANNEL_CURSOR, 111},
        {V2, SPICE_CHANNEL_PORT, 102},
        {V2, SPICE_CHANNEL_MAIN, 0},
        {V1, SPICE_CHANNEL_MAIN, 10},
        {V1, SPICE_CHANNEL_MAIN, 112},
        {V1, SPICE_CHANNEL_DISPLAY, 314},
        {V1, SPICE_CHANNEL_DISPLAY, 361},
        {V1, SPICE_CHANNEL_CURSOR, 109},
        {V1, SPICE_CHANNEL_PLAYBACK, 105},
        {V1, SPICE_CHANNEL_RECORD, 103},
        {V1, SPICE_CHANNEL_MAIN, SPICE_MSG_LIST},
        {V1, SPICE_CHANNEL_MAIN, SPICE_MSG_BASE_LAST},
    };
    std::vector<uint8_t> body(64, 0);
    for (const Hole& h : holes) {
        EXPECT_FALSE(Parsed(h.major, h.channel, h.type, body).ok())
            << "protocol " << h.major << " channel " << int(h.channel) << " type " << h.type;
    }
}

TEST(ParseFailure, IsAWarningAndANullResultNotAnAbort) {
    ::testing::internal::CaptureStderr();
    bool ok = Parsed(V2, SPICE_CHANNEL_MAIN, SPICE_MSG_MAIN_INIT, Body().u32(1)).ok();
    std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_FALSE(ok);
    EXPECT_THAT(log, ::testing::HasSubstr("Warning"));
    EXPECT_THAT(log, ::testing::HasSubstr("main init"));
}

}  // namespace
