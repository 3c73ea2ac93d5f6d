#include "platform/session_block.h"

#include <cstring>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

namespace {

class SessionBlockTest : public testing::Test {
protected:
    void SetUp() override { SessionBlock::clear(); }
    void TearDown() override { SessionBlock::clear(); }
};

void put_u32(std::vector<uint8_t>& block, size_t offset, uint32_t value) {
    for (size_t i = 0; i < 4; ++i) {
        block[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

// Every reader at the offset the parent writes its field to, by number.
TEST_F(SessionBlockTest, NumbersAreReadLittleEndianAtTheirOffsets) {
    ASSERT_EQ(size_t(SessionBlock::SIZE), 1544u);
    const struct {
        size_t offset;
        uint32_t (*read)();
    } numbers[] = {
        {468, SessionBlock::session_index},       {824, SessionBlock::server_address},
        {840, SessionBlock::anti_screen_capture}, {868, SessionBlock::logon_mode},
        {872, SessionBlock::force_link},          {876, SessionBlock::dect_time},
        {880, SessionBlock::no_probe_notices},    {884, SessionBlock::opt_wan},
        {904, SessionBlock::opt_wan_display},     {908, SessionBlock::no_audio},
        {940, SessionBlock::graphic_type},        {960, SessionBlock::video_plugin},
        {972, SessionBlock::video_plugin_tunnel}, {976, SessionBlock::add_local},
        {1108, SessionBlock::bind_domain_flag},   {1372, SessionBlock::pc_in_one},
        {1376, SessionBlock::restore_allowed},    {1380, SessionBlock::restore_mode},
        {1536, SessionBlock::heartbeat_interval},
    };
    std::vector<uint8_t> block(1544);
    for (const auto& number : numbers) {
        put_u32(block, number.offset, 0x01020300u + static_cast<uint32_t>(number.offset));
    }
    ASSERT_TRUE(SessionBlock::set(block.data(), block.size()));

    for (const auto& number : numbers) {
        EXPECT_EQ(number.read(), 0x01020300u + number.offset) << "offset " << number.offset;
        EXPECT_EQ(SessionBlock::u32(number.offset), 0x01020300u + number.offset)
            << "offset " << number.offset;
    }
}

TEST_F(SessionBlockTest, TextsStopAtTheirTerminatorOrTheirRoom) {
    std::vector<uint8_t> block(1544);
    std::memcpy(&block[1436], "secret", 7);  // link password
    std::memcpy(&block[369], "logon", 6);    // logon password
    std::memcpy(&block[980], "first", 6);    // domain
    std::memcpy(&block[1112], "second", 7);  // bind domain
    // The VDI user name (128 bytes) without terminator runs to the ticket and no further.
    std::memset(&block[508], 'u', 128);
    std::memset(&block[636], 'a', 128);
    // The logon user (128 bytes) without terminator stops at the unread bytes after it.
    std::memset(&block[1240], 'x', 128);
    std::memset(&block[1368], 'y', 4);
    ASSERT_TRUE(SessionBlock::set(block.data(), block.size()));

    EXPECT_EQ(SessionBlock::link_password(), "secret");
    EXPECT_EQ(SessionBlock::logon_password(), "logon");
    EXPECT_EQ(SessionBlock::domain(), "first");
    EXPECT_EQ(SessionBlock::bind_domain(), "second");
    EXPECT_EQ(SessionBlock::vdi_user_name(), std::string(128, 'u'));
    EXPECT_EQ(SessionBlock::tunnel_ticket(), std::string(128, 'a'));
    EXPECT_EQ(SessionBlock::logon_user(), std::string(128, 'x'));
    // A room reaching past the block is cut at its end.
    EXPECT_EQ(SessionBlock::text(1542, 100), "");
}

TEST_F(SessionBlockTest, ABlockOfAnotherSizeIsRefusedAndChangesNothing) {
    SessionBlock::set_u32(SessionBlock::FORCE_LINK, 2);
    std::vector<uint8_t> block(SessionBlock::SIZE + 1, 0xff);
    EXPECT_FALSE(SessionBlock::set(block.data(), block.size()));
    EXPECT_FALSE(SessionBlock::set(block.data(), SessionBlock::SIZE - 1));
    EXPECT_FALSE(SessionBlock::set(nullptr, SessionBlock::SIZE));
    EXPECT_EQ(SessionBlock::force_link(), 2u);
}

TEST_F(SessionBlockTest, FieldWritesStayInsideTheBlockAndTheirRoom) {
    SessionBlock::set_text(SessionBlock::LINK_PASSWORD, SessionBlock::LINK_PASSWORD_ROOM,
                           std::string(500, 'p'));
    EXPECT_EQ(SessionBlock::link_password(), std::string(SessionBlock::LINK_PASSWORD_ROOM - 1, 'p'));
    EXPECT_EQ(SessionBlock::heartbeat_interval(), 0u);

    SessionBlock::set_u32(SessionBlock::SIZE - 3, 0xffffffff);  // would cross the end
    SessionBlock::set_text(SessionBlock::SIZE - 1, 10, "zz");
    EXPECT_EQ(SessionBlock::u32(SessionBlock::SIZE - 4), 0u);
    EXPECT_EQ(SessionBlock::u32(SessionBlock::SIZE - 3), 0u);

    SessionBlock::set_text(SessionBlock::LINK_PASSWORD, SessionBlock::LINK_PASSWORD_ROOM, "ab");
    EXPECT_EQ(SessionBlock::link_password(), "ab");  // the longer text before is gone
}

TEST_F(SessionBlockTest, ReadersOnOtherThreadsSeeWholeBlocks) {
    std::vector<uint8_t> ones(SessionBlock::SIZE, 0x11), twos(SessionBlock::SIZE, 0x22);
    std::thread writer([&] {
        for (int i = 0; i < 2000; ++i) {
            SessionBlock::set((i % 2 ? ones : twos).data(), SessionBlock::SIZE);
        }
    });
    bool torn = false;
    for (int i = 0; i < 2000 && !torn; ++i) {
        SessionBlock::Bytes bytes = SessionBlock::get();
        torn = bytes.front() != bytes.back();
    }
    writer.join();
    EXPECT_FALSE(torn);
}

}  // namespace
