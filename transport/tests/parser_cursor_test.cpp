#include "parser_test_util.h"

namespace {

const int V1 = 1, V2 = 2;
const uint8_t CURSOR = SPICE_CHANNEL_CURSOR;

class CursorMessages : public ::testing::TestWithParam<MinimalBody> {};

TEST_P(CursorMessages, MinimalBodyParsesAndEveryShorterBodyFails) {
    expect_minimal(GetParam());
}

// The 17-byte shape header of the current generation: id, type, width, height, hot spot.
Body header_v2(uint8_t type, uint16_t w, uint16_t h) {
    return Body().u64(0x55).u8(type).u16(w).u16(h).u16(1).u16(2);
}

std::vector<MinimalBody> cursor_bodies() {
    return {
        // Without a shape the cursor is its flags alone: 11-byte init bodies.
        {"init", V2, CURSOR, SPICE_MSG_CURSOR_INIT,
         Body().u16(1).u16(2).u16(0).u16(0).u8(1).u16(SPICE_CURSOR_FLAGS_NONE), 2},
        {"reset", V2, CURSOR, SPICE_MSG_CURSOR_RESET, {}, 2},
        // From the cache: the header still comes, no data (24 bytes).
        {"set", V2, CURSOR, SPICE_MSG_CURSOR_SET,
         Body().u16(1).u16(2).u8(1).u16(SPICE_CURSOR_FLAGS_FROM_CACHE).bytes(header_v2(0, 64, 64)), 2},
        {"move", V2, CURSOR, SPICE_MSG_CURSOR_MOVE, Body().u16(1).u16(2), 2},
        {"hide", V2, CURSOR, SPICE_MSG_CURSOR_HIDE, {}, 2},
        {"trail", V2, CURSOR, SPICE_MSG_CURSOR_TRAIL, Body().u16(5).u16(40), 2},
        {"inval_one", V2, CURSOR, SPICE_MSG_CURSOR_INVAL_ONE, Body().u64(0x55), 2},
        {"inval_all", V2, CURSOR, SPICE_MSG_CURSOR_INVAL_ALL, {}, 2},
        {"shown", V2, CURSOR, SPICE_MSG_CURSOR_SHOWN, {}, 2},
        {"draw", V2, CURSOR, SPICE_MSG_CURSOR_DRAW,
         Body().u32(0xFF).u16(3).u16(16).u16(1).u16(2).u16(3).u16(4), 2},

        // Generation 1: u32 flags and an 18-byte header that is always sent.
        {"init", V1, CURSOR, SPICE_MSG_CURSOR_INIT,
         Body()
             .u16(1)
             .u16(2)
             .u16(0)
             .u16(0)
             .u8(1)
             .u32(SPICE_CURSOR_FLAGS_NONE)
             .u64(0)
             .u16(0)
             .u16(0)
             .u16(0)
             .u16(0)
             .u16(0),
         2},
        {"reset", V1, CURSOR, SPICE_MSG_CURSOR_RESET, {}, 2},
        {"set", V1, CURSOR, SPICE_MSG_CURSOR_SET,
         Body()
             .u16(1)
             .u16(2)
             .u8(1)
             .u32(SPICE_CURSOR_FLAGS_FROM_CACHE)
             .u64(0x55)
             .u16(0)
             .u16(64)
             .u16(64)
             .u16(1)
             .u16(2),
         2},
        {"move", V1, CURSOR, SPICE_MSG_CURSOR_MOVE, Body().u16(1).u16(2), 2},
        {"hide", V1, CURSOR, SPICE_MSG_CURSOR_HIDE, {}, 2},
        {"trail", V1, CURSOR, SPICE_MSG_CURSOR_TRAIL, Body().u16(5).u16(40), 2},
        {"inval_one", V1, CURSOR, SPICE_MSG_CURSOR_INVAL_ONE, Body().u64(0x55), 2},
        {"inval_all", V1, CURSOR, SPICE_MSG_CURSOR_INVAL_ALL, {}, 2},
    };
}

INSTANTIATE_TEST_SUITE_P(BothGenerations, CursorMessages, ::testing::ValuesIn(cursor_bodies()),
                         minimal_body_name);

TEST(CursorShape, PixelsAreTheRestOfTheBodyInPlace) {
    std::vector<uint8_t> pixels(2 * 4 * 4, 0xAB);  // mono 32 x 32 would be 256 bytes; any run is taken whole
    Parsed set(V2, CURSOR, SPICE_MSG_CURSOR_SET,
               Body()
                   .u16(10)
                   .u16(20)
                   .u8(1)
                   .u16(SPICE_CURSOR_FLAGS_CACHE_ME)
                   .bytes(header_v2(SPICE_CURSOR_TYPE_MONO, 4, 4))
                   .bytes(pixels));
    ASSERT_TRUE(set.ok());
    auto m = set.as<SpiceMsgCursorSet>();
    EXPECT_EQ(m->position.x, 10);
    EXPECT_EQ(m->visible, 1);
    EXPECT_EQ(m->cursor.flags, uint32_t(SPICE_CURSOR_FLAGS_CACHE_ME));
    EXPECT_EQ(m->cursor.header.unique, 0x55u);
    EXPECT_EQ(m->cursor.header.type, SPICE_CURSOR_TYPE_MONO);
    EXPECT_EQ(m->cursor.header.width, 4);
    EXPECT_EQ(m->cursor.header.hot_spot_y, 2);
    EXPECT_EQ(m->cursor.data, set.body() + 24);
    EXPECT_EQ(m->cursor.data_size, pixels.size());
}

// Without bit 0x1 the 17-byte header is required; with it, nothing follows the flags.
TEST(CursorShape, HeaderIsRequiredOnlyWithAShape) {
    EXPECT_FALSE(
        Parsed(V2, CURSOR, SPICE_MSG_CURSOR_INIT, Body().u16(1).u16(2).u16(0).u16(0).u8(1).u16(0)).ok());
    Parsed none(V2, CURSOR, SPICE_MSG_CURSOR_INIT,
                Body().u16(1).u16(2).u16(0).u16(0).u8(1).u16(SPICE_CURSOR_FLAGS_NONE).zeros(4));
    ASSERT_TRUE(none.ok());
    EXPECT_EQ(none.as<SpiceMsgCursorInit>()->cursor.data_size, 0u);
    EXPECT_EQ(none.as<SpiceMsgCursorInit>()->cursor.header.width, 0);
}

TEST(CursorDraw, SixteenBytes) {
    Parsed draw(V2, CURSOR, SPICE_MSG_CURSOR_DRAW,
                Body().u32(0x00FF00).u16(3).u16(16).u16(1).u16(2).u16(3).u16(4));
    ASSERT_TRUE(draw.ok());
    EXPECT_EQ(draw.parsed_size(), 16u);
    auto m = draw.as<SpiceMsgCursorDraw>();
    EXPECT_EQ(m->color, 0x00FF00u);
    EXPECT_EQ(m->pickbox_size, 3);
    EXPECT_EQ(m->cursor_size, 16);
    EXPECT_EQ(m->bottom, 4);
}

}  // namespace
