#include "transport/protocol/message_list.h"

#include "parser_test_util.h"

namespace {

// What the real server sends when a shared pixmap-cache entry is evicted: a list of 2 whose offsets are (27,
// 10), each sub-message declaring 24 bytes for an 11-byte body, so the last one reaches past the end (33 + 24
// > 44).
std::vector<uint8_t> real_list() {
    Body b = Body().u16(2).u32(27).u32(10);
    b.u16(SPICE_MSG_DISPLAY_INVAL_LIST).u32(24).u16(1).u8(1).u64(0xABC);  // at 10, body at 16
    b.u16(SPICE_MSG_WAIT_FOR_CHANNELS).u32(24).u8(1).u8(2).u8(1).u64(7);  // at 27, body at 33
    return b;
}

TEST(MessageList, SubMessagesDeclaringSizesPastTheEndStillParse) {
    Parsed list(2, SPICE_CHANNEL_DISPLAY, SPICE_MSG_LIST, real_list());
    ASSERT_TRUE(list.ok());
    ASSERT_EQ(list.parsed_size(), 44u);
    SpiceMessageList subs(list.result(), list.result() + list.parsed_size());
    ASSERT_TRUE(subs.valid());
    ASSERT_EQ(subs.count(), 2);

    SpiceSubMessage wait, inval;
    ASSERT_TRUE(subs.get(0, &wait));
    ASSERT_TRUE(subs.get(1, &inval));
    EXPECT_EQ(wait.type, SPICE_MSG_WAIT_FOR_CHANNELS);
    EXPECT_EQ(wait.declared_size, 24u);
    EXPECT_EQ(wait.end, list.result() + 44);  // cut to the enclosing body
    EXPECT_EQ(inval.end, inval.data + 11);    // cut where the next sub-message starts

    const SpiceChannelParser& display = server_channel_parsers[SPICE_CHANNEL_DISPLAY];
    for (const SpiceSubMessage& sub : {wait, inval}) {
        size_t size = 0;
        message_destructor_t release = nullptr;
        uint8_t* parsed = display.parser(sub.data, sub.end, sub.type, 2, &size, &release);
        ASSERT_NE(parsed, nullptr) << sub.type;
        if (sub.type == SPICE_MSG_WAIT_FOR_CHANNELS) {
            EXPECT_EQ(reinterpret_cast<SpiceMsgWaitForChannels*>(parsed)->wait_list[0].message_serial, 7u);
        } else {
            EXPECT_EQ(reinterpret_cast<SpiceMsgDisplayInvalList*>(parsed)->resources[0].id, 0xABCu);
        }
        release(parsed);
    }
}

TEST(MessageList, OffsetsOrHeadersOutsideTheBodyAreRefused) {
    std::vector<uint8_t> bytes = real_list();
    SpiceMessageList short_count(bytes.data(), bytes.data() + 9);  // two offsets need 10 bytes
    EXPECT_FALSE(short_count.valid());
    EXPECT_EQ(short_count.count(), 0);

    std::vector<uint8_t> far = Body().bytes(bytes).patch_u32(2, 44);
    SpiceMessageList list(far.data(), far.data() + far.size());
    SpiceSubMessage sub;
    EXPECT_FALSE(list.get(0, &sub));
    EXPECT_TRUE(list.get(1, &sub));
    EXPECT_FALSE(list.get(2, &sub));

    // A header cut by the end of the body (5 of its 6 bytes).
    std::vector<uint8_t> cut = Body().u16(1).u32(6).u16(SPICE_MSG_PING).u8(0).u16(0);
    cut.resize(11);
    EXPECT_FALSE(SpiceMessageList(cut.data(), cut.data() + cut.size()).get(0, &sub));
}

// Sub-messages may come in any order, but no two start at the same place or overlap with their headers, and
// none lies on the count and offsets: a list whose offsets repeat would make one body many handled messages.
TEST(MessageList, OverlappingSubMessagesAreRefused) {
    auto ping_at = [](Body b) { return b.u16(SPICE_MSG_PING).u32(12).u32(1).u64(2); };
    struct Case {
        const char* name;
        std::vector<uint8_t> body;
        bool valid;
    };
    const Case cases[] = {
        {"one after the other", ping_at(ping_at(Body().u16(2).u32(10).u32(28))), true},
        {"backwards", ping_at(ping_at(Body().u16(2).u32(28).u32(10))), true},
        {"the same offset twice", ping_at(Body().u16(3).u32(14).u32(14).u32(14)), false},
        {"headers overlapping", ping_at(ping_at(Body().u16(2).u32(10).u32(15))), false},
        {"on the offsets", ping_at(Body().u16(1).u32(4)), false},
        {"on the count", ping_at(Body().u16(1).u32(0)), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> body = c.body;
        SpiceMessageList list(body.data(), body.data() + body.size());
        EXPECT_EQ(list.valid(), c.valid);
        EXPECT_EQ(list.count(), c.valid ? 2 : 0);
    }

    // A body reaching into the next sub-message is cut where that one starts.
    std::vector<uint8_t> body = ping_at(ping_at(Body().u16(2).u32(10).u32(20)));
    SpiceMessageList list(body.data(), body.data() + body.size());
    SpiceSubMessage sub;
    ASSERT_TRUE(list.get(0, &sub));
    EXPECT_EQ(sub.end, body.data() + 20);
}

// With the full header a list rides at a sub-list offset inside a draw message; its offsets count from the
// body.
TEST(MessageList, SubListOffsetOfAFullHeader) {
    std::vector<uint8_t> body =
        Body().zeros(8).u16(SPICE_MSG_DISPLAY_INVAL_PALETTE).u32(8).u64(3).u16(1).u32(8);
    SpiceMessageList list(body.data(), body.data() + body.size(), 22);
    ASSERT_TRUE(list.valid());
    SpiceSubMessage sub;
    ASSERT_TRUE(list.get(0, &sub));
    EXPECT_EQ(sub.type, SPICE_MSG_DISPLAY_INVAL_PALETTE);
    EXPECT_EQ(sub.data, body.data() + 14);
    EXPECT_EQ(sub.end, body.data() + 22);
}

}  // namespace
