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

void put_u32(std::vector<uint8_t>& block, size_t offset, uint32_t value)
{
    for (size_t i = 0; i < 4; ++i) {
        block[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

TEST_F(SessionBlockTest, NumbersAreReadLittleEndianAtTheirOffsets)
{
    std::vector<uint8_t> block(SessionBlock::SIZE);
    const size_t numbers[] = {
        SessionBlock::SESSION_INDEX,   SessionBlock::SERVER_ADDRESS,   SessionBlock::ANTI_SCREEN_CAPTURE,
        SessionBlock::LOGON_MODE,      SessionBlock::FORCE_LINK,       SessionBlock::DECT_TIME,
        SessionBlock::NO_PROBE_NOTICES, SessionBlock::OPT_WAN,         SessionBlock::OPT_WAN_DISPLAY,
        SessionBlock::NO_AUDIO,        SessionBlock::GRAPHIC_TYPE,     SessionBlock::VIDEO_PLUGIN,
        SessionBlock::VIDEO_PLUGIN_TUNNEL, SessionBlock::ADD_LOCAL,    SessionBlock::BIND_DOMAIN_FLAG,
        SessionBlock::PC_IN_ONE,       SessionBlock::RESTORE_ALLOWED,  SessionBlock::RESTORE_MODE,
        SessionBlock::HEARTBEAT_INTERVAL,
    };
    for (size_t offset : numbers) {
        put_u32(block, offset, 0x01020300u + static_cast<uint32_t>(offset));
    }
    ASSERT_TRUE(SessionBlock::set(block.data(), block.size()));

    for (size_t offset : numbers) {
        EXPECT_EQ(SessionBlock::u32(offset), 0x01020300u + offset) << "offset " << offset;
    }
    EXPECT_EQ(SessionBlock::force_link(), 0x01020300u + 872);
    EXPECT_EQ(SessionBlock::dect_time(), 0x01020300u + 876);
    EXPECT_EQ(SessionBlock::heartbeat_interval(), 0x01020300u + 1536);
}

TEST_F(SessionBlockTest, TextsStopAtTheirTerminatorOrTheirRoom)
{
    std::vector<uint8_t> block(SessionBlock::SIZE);
    std::memcpy(&block[SessionBlock::LINK_PASSWORD], "secret", 7);
    std::memcpy(&block[SessionBlock::LOGON_PASSWORD], "logon", 6);
    // A user name without terminator runs to the ticket and no further.
    std::memset(&block[SessionBlock::VDI_USER_NAME], 'u', SessionBlock::VDI_USER_NAME_ROOM);
    std::memset(&block[SessionBlock::TUNNEL_TICKET], 'a', 128);
    // The last text of the block without terminator stops at the heartbeat word.
    std::memset(&block[SessionBlock::LOGON_USER], 'x', SessionBlock::LOGON_USER_ROOM);
    ASSERT_TRUE(SessionBlock::set(block.data(), block.size()));

    EXPECT_EQ(SessionBlock::link_password(), "secret");
    EXPECT_EQ(SessionBlock::logon_password(), "logon");
    EXPECT_EQ(SessionBlock::vdi_user_name(), std::string(SessionBlock::VDI_USER_NAME_ROOM, 'u'));
    EXPECT_EQ(SessionBlock::tunnel_ticket(), std::string(128, 'a'));
    EXPECT_EQ(SessionBlock::logon_user(), std::string(SessionBlock::LOGON_USER_ROOM, 'x'));
    EXPECT_EQ(SessionBlock::domain(), "");
    // A room reaching past the block is cut at its end.
    EXPECT_EQ(SessionBlock::text(SessionBlock::SIZE - 2, 100), "");
}

TEST_F(SessionBlockTest, ABlockOfAnotherSizeIsRefusedAndChangesNothing)
{
    SessionBlock::set_u32(SessionBlock::FORCE_LINK, 2);
    std::vector<uint8_t> block(SessionBlock::SIZE + 1, 0xff);
    EXPECT_FALSE(SessionBlock::set(block.data(), block.size()));
    EXPECT_FALSE(SessionBlock::set(block.data(), SessionBlock::SIZE - 1));
    EXPECT_FALSE(SessionBlock::set(nullptr, SessionBlock::SIZE));
    EXPECT_EQ(SessionBlock::force_link(), 2u);
}

TEST_F(SessionBlockTest, FieldWritesStayInsideTheBlockAndTheirRoom)
{
    SessionBlock::set_text(SessionBlock::LINK_PASSWORD, SessionBlock::LINK_PASSWORD_ROOM, std::string(500, 'p'));
    EXPECT_EQ(SessionBlock::link_password(), std::string(SessionBlock::LINK_PASSWORD_ROOM - 1, 'p'));
    EXPECT_EQ(SessionBlock::heartbeat_interval(), 0u);

    SessionBlock::set_u32(SessionBlock::SIZE - 3, 0xffffffff);  // would cross the end
    SessionBlock::set_text(SessionBlock::SIZE - 1, 10, "zz");
    EXPECT_EQ(SessionBlock::u32(SessionBlock::SIZE - 4), 0u);
    EXPECT_EQ(SessionBlock::u32(SessionBlock::SIZE - 3), 0u);

    SessionBlock::set_text(SessionBlock::LINK_PASSWORD, SessionBlock::LINK_PASSWORD_ROOM, "ab");
    EXPECT_EQ(SessionBlock::link_password(), "ab");  // the longer text before is gone
}

TEST_F(SessionBlockTest, ReadersOnOtherThreadsSeeWholeBlocks)
{
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
