#include "parser_test_util.h"

namespace {

const int V1 = 1, V2 = 2;
const uint8_t MAIN = SPICE_CHANNEL_MAIN;

class MainMessages : public ::testing::TestWithParam<MinimalBody> {};

TEST_P(MainMessages, MinimalBodyParsesAndEveryShorterBodyFails) {
    expect_minimal(GetParam());
}

// A migration target of the current generation with a 1-byte host (its NUL) right behind the 20 fixed bytes.
Body dst_info_with_empty_host(uint32_t host_at) {
    return Body().u16(5939).u16(0xFFFF).u32(1).u32(host_at).u32(0).u32(0);
}

std::vector<MinimalBody> main_bodies() {
    Body seamless = dst_info_with_empty_host(24).u32(1).u8(0);
    return {
        {"pong", V2, MAIN, SPICE_MSG_MAIN_PONG, Body().u32(1).u64(2), 2},
        {"migrate_begin", V2, MAIN, SPICE_MSG_MAIN_MIGRATE_BEGIN, dst_info_with_empty_host(20).u8(0), 2},
        {"migrate_cancel", V2, MAIN, SPICE_MSG_MAIN_MIGRATE_CANCEL, {}, 2},
        {"init", V2, MAIN, SPICE_MSG_MAIN_INIT, Body().zeros(32), 2},
        {"channels_list", V2, MAIN, SPICE_MSG_MAIN_CHANNELS_LIST, Body().u32(0), 2},
        {"mouse_mode", V2, MAIN, SPICE_MSG_MAIN_MOUSE_MODE, Body().u16(3).u16(2), 2},
        {"multi_media_time", V2, MAIN, SPICE_MSG_MAIN_MULTI_MEDIA_TIME, Body().u32(1), 2},
        {"agent_connected", V2, MAIN, SPICE_MSG_MAIN_AGENT_CONNECTED, {}, 2},
        {"agent_disconnected", V2, MAIN, SPICE_MSG_MAIN_AGENT_DISCONNECTED, Body().u32(0), 2},
        {"agent_data", V2, MAIN, SPICE_MSG_MAIN_AGENT_DATA, {}, 2},
        {"agent_token", V2, MAIN, SPICE_MSG_MAIN_AGENT_TOKEN, Body().u32(5), 2},
        {"migrate_switch_host", V2, MAIN, SPICE_MSG_MAIN_MIGRATE_SWITCH_HOST,
         dst_info_with_empty_host(20).u8(0), 2},
        {"migrate_end", V2, MAIN, SPICE_MSG_MAIN_MIGRATE_END, {}, 2},
        {"name", V2, MAIN, SPICE_MSG_MAIN_NAME, Body().u32(0), 2},
        {"uuid", V2, MAIN, SPICE_MSG_MAIN_UUID, Body().zeros(16), 2},
        {"agent_connected_tokens", V2, MAIN, SPICE_MSG_MAIN_AGENT_CONNECTED_TOKENS, Body().u32(10), 2},
        {"migrate_begin_seamless", V2, MAIN, SPICE_MSG_MAIN_MIGRATE_BEGIN_SEAMLESS, seamless, 2},
        {"migrate_dst_seamless_ack", V2, MAIN, SPICE_MSG_MAIN_MIGRATE_DST_SEAMLESS_ACK, {}, 2},
        {"migrate_dst_seamless_nack", V2, MAIN, SPICE_MSG_MAIN_MIGRATE_DST_SEAMLESS_NACK, {}, 2},

        {"migrate_begin_minor0", V1, MAIN, SPICE_MSG_MAIN_MIGRATE_BEGIN,
         Body().u16(1).u16(2).u32(12).u32(1).u8(0), 0},
        {"migrate_begin_minor1", V1, MAIN, SPICE_MSG_MAIN_MIGRATE_BEGIN,
         Body().u16(1).u16(2).u32(22).u32(1).u16(0).u32(0).u32(0).u8(0), 1},
        {"migrate_cancel", V1, MAIN, SPICE_MSG_MAIN_MIGRATE_CANCEL, {}, 2},
        {"init", V1, MAIN, SPICE_MSG_MAIN_INIT, Body().zeros(32), 2},
        {"channels_list", V1, MAIN, SPICE_MSG_MAIN_CHANNELS_LIST, Body().u32(0), 2},
        {"mouse_mode", V1, MAIN, SPICE_MSG_MAIN_MOUSE_MODE, Body().u32(3).u32(2), 2},
        {"multi_media_time", V1, MAIN, SPICE_MSG_MAIN_MULTI_MEDIA_TIME, Body().u32(1), 2},
        {"agent_connected", V1, MAIN, SPICE_MSG_MAIN_AGENT_CONNECTED, {}, 2},
        {"agent_disconnected", V1, MAIN, SPICE_MSG_MAIN_AGENT_DISCONNECTED, Body().u32(0), 2},
        {"agent_data", V1, MAIN, SPICE_MSG_MAIN_AGENT_DATA, {}, 2},
        {"agent_token", V1, MAIN, SPICE_MSG_MAIN_AGENT_TOKEN, Body().u32(5), 2},
        {"migrate_switch_host", V1, MAIN, SPICE_MSG_MAIN_MIGRATE_SWITCH_HOST,
         Body().u16(1).u16(2).u32(1).u64(28).u32(0).u64(0).u8(0), 2},
    };
}

INSTANTIATE_TEST_SUITE_P(BothGenerations, MainMessages, ::testing::ValuesIn(main_bodies()),
                         minimal_body_name);

// The capture of a real server: port 5939, no secure port, host "127.0.0.1" at 20, subject "CN=wl-test"
// at 30.
std::vector<uint8_t> real_migrate_begin() {
    return Body()
        .u16(5939)
        .u16(0xFFFF)
        .u32(10)
        .u32(20)
        .u32(11)
        .u32(30)
        .text("127.0.0.1")
        .u8(0)
        .text("CN=wl-test")
        .u8(0);
}

TEST(MainMigrateBegin, ParsesTheRealServersTargetWithoutAPublicKey) {
    std::vector<uint8_t> body = real_migrate_begin();
    ASSERT_EQ(body.size(), 41u);
    Parsed msg(V2, MAIN, SPICE_MSG_MAIN_MIGRATE_BEGIN, body);
    ASSERT_TRUE(msg.ok());
    const SpiceMigrationDstInfo& d = msg.as<SpiceMsgMainMigrationBegin>()->dst_info;
    EXPECT_EQ(d.port, 5939);
    EXPECT_EQ(d.sport, 0xFFFF);
    EXPECT_EQ(d.host_size, 10u);
    EXPECT_STREQ(d.host_data, "127.0.0.1");
    EXPECT_EQ(d.cert_subject_size, 11u);
    EXPECT_STREQ(d.cert_subject_data, "CN=wl-test");
    EXPECT_EQ(d.pub_key_type, 0);
    EXPECT_EQ(d.pub_key_size, 0u);
    EXPECT_EQ(d.pub_key_data, nullptr);
}

TEST(MainMigrateBegin, HostOffsetZeroFailsSubjectOffsetZeroIsNoSubject) {
    std::vector<uint8_t> body = real_migrate_begin();
    std::vector<uint8_t> no_host = Body().bytes(body).patch_u32(8, 0);
    EXPECT_FALSE(Parsed(V2, MAIN, SPICE_MSG_MAIN_MIGRATE_BEGIN, no_host).ok());

    std::vector<uint8_t> no_subject = Body().bytes(body).patch_u32(16, 0);
    Parsed msg(V2, MAIN, SPICE_MSG_MAIN_MIGRATE_BEGIN, no_subject);
    ASSERT_TRUE(msg.ok());
    EXPECT_EQ(msg.as<SpiceMsgMainMigrationBegin>()->dst_info.cert_subject_data, nullptr);
    EXPECT_EQ(msg.as<SpiceMsgMainMigrationBegin>()->dst_info.cert_subject_size, 0u);
}

TEST(MainMigrateBegin, StringsPastTheEndFailAndUnterminatedOnesAreTerminated) {
    // Host size reaching one byte past the body.
    EXPECT_FALSE(
        Parsed(V2, MAIN, SPICE_MSG_MAIN_MIGRATE_BEGIN, Body().bytes(real_migrate_begin()).patch_u32(4, 22))
            .ok());
    // Host offset at the body's end.
    EXPECT_FALSE(
        Parsed(V2, MAIN, SPICE_MSG_MAIN_MIGRATE_BEGIN, Body().bytes(real_migrate_begin()).patch_u32(8, 41))
            .ok());
    // A host without its NUL.
    Parsed msg(V2, MAIN, SPICE_MSG_MAIN_MIGRATE_BEGIN,
               Body().u16(1).u16(2).u32(3).u32(20).u32(0).u32(0).text("abc"));
    ASSERT_TRUE(msg.ok());
    EXPECT_STREQ(msg.as<SpiceMsgMainMigrationBegin>()->dst_info.host_data, "abc");
}

TEST(MainMigrateBegin, SeamlessCarriesTheVersionBeforeItsStrings) {
    Parsed msg(V2, MAIN, SPICE_MSG_MAIN_MIGRATE_BEGIN_SEAMLESS,
               Body()
                   .u16(5939)
                   .u16(0xFFFF)
                   .u32(10)
                   .u32(24)
                   .u32(11)
                   .u32(34)
                   .u32(1)
                   .text("127.0.0.1")
                   .u8(0)
                   .text("CN=wl-test")
                   .u8(0));
    ASSERT_TRUE(msg.ok());
    auto m = msg.as<SpiceMsgMainMigrateBeginSeamless>();
    EXPECT_EQ(m->src_mig_version, 1u);
    EXPECT_STREQ(m->dst_info.host_data, "127.0.0.1");
    EXPECT_STREQ(m->dst_info.cert_subject_data, "CN=wl-test");
}

TEST(MainMigrateBegin, GenerationOneHasTheKeyFieldsFromMinorOne) {
    Parsed minor0(V1, MAIN, SPICE_MSG_MAIN_MIGRATE_BEGIN,
                  Body().u16(80).u16(443).u32(12).u32(5).text("host").u8(0), 0);
    ASSERT_TRUE(minor0.ok());
    EXPECT_STREQ(minor0.as<SpiceMsgMainMigrationBegin>()->dst_info.host_data, "host");
    EXPECT_EQ(minor0.as<SpiceMsgMainMigrationBegin>()->dst_info.pub_key_data, nullptr);

    Parsed minor1(
        V1, MAIN, SPICE_MSG_MAIN_MIGRATE_BEGIN,
        Body().u16(80).u16(443).u32(22).u32(5).u16(1).u32(27).u32(3).text("host").u8(0).bytes({7, 8, 9}), 1);
    ASSERT_TRUE(minor1.ok());
    const SpiceMigrationDstInfo& d = minor1.as<SpiceMsgMainMigrationBegin>()->dst_info;
    EXPECT_STREQ(d.host_data, "host");
    EXPECT_EQ(d.pub_key_type, 1);
    ASSERT_EQ(d.pub_key_size, 3u);
    EXPECT_EQ(d.pub_key_data[0], 7);
    EXPECT_EQ(d.pub_key_data[2], 9);

    // The host is required in this generation too.
    EXPECT_FALSE(
        Parsed(V1, MAIN, SPICE_MSG_MAIN_MIGRATE_BEGIN, Body().u16(80).u16(443).u32(0).u32(5).text("host"), 0)
            .ok());
}

// Real servers send two u16 (03 00 02 00); generation 1 sends two u32.
TEST(MainMouseMode, ReadsTheWidthsEachGenerationSends) {
    Parsed v2(V2, MAIN, SPICE_MSG_MAIN_MOUSE_MODE, Body().bytes({3, 0, 2, 0}));
    ASSERT_TRUE(v2.ok());
    EXPECT_EQ(v2.as<SpiceMsgMainMouseMode>()->supported_modes, 3u);
    EXPECT_EQ(v2.as<SpiceMsgMainMouseMode>()->current_mode, 2u);
    Parsed v1(V1, MAIN, SPICE_MSG_MAIN_MOUSE_MODE, Body().u32(3).u32(1));
    ASSERT_TRUE(v1.ok());
    EXPECT_EQ(v1.as<SpiceMsgMainMouseMode>()->current_mode, 1u);
}

TEST(MainChannelsList, CountIsCheckedAgainstTheBodyIn64Bits) {
    Parsed two(V2, MAIN, SPICE_MSG_MAIN_CHANNELS_LIST, Body().u32(2).u8(2).u8(0).u8(9).u8(0));
    ASSERT_TRUE(two.ok());
    auto m = two.as<SpiceMsgChannels>();
    ASSERT_EQ(m->num_of_channels, 2u);
    EXPECT_EQ(m->channels[1].type, 9);
    EXPECT_TRUE(two.in_block(m->channels));

    // 0x80000000 entries of 2 bytes overflow 32 bits to 0.
    EXPECT_FALSE(Parsed(V2, MAIN, SPICE_MSG_MAIN_CHANNELS_LIST, Body().u32(0x80000000u).u8(2).u8(0)).ok());
    EXPECT_FALSE(Parsed(V2, MAIN, SPICE_MSG_MAIN_CHANNELS_LIST, Body().u32(3).u8(2).u8(0).u8(9).u8(0)).ok());
}

TEST(MainInit, FieldsInOrder) {
    Parsed init(V2, MAIN, SPICE_MSG_MAIN_INIT,
                Body().u32(1).u32(2).u32(3).u32(4).u32(5).u32(6).u32(7).u32(8));
    ASSERT_TRUE(init.ok());
    auto m = init.as<SpiceMsgMainInit>();
    EXPECT_EQ(m->session_id, 1u);
    EXPECT_EQ(m->supported_mouse_modes, 3u);
    EXPECT_EQ(m->agent_tokens, 6u);
    EXPECT_EQ(m->ram_hint, 8u);
}

TEST(MainName, IsCopiedAndTerminated) {
    Parsed name(V2, MAIN, SPICE_MSG_MAIN_NAME, Body().u32(8).text("wlprobe").u8(0));
    ASSERT_TRUE(name.ok());
    EXPECT_STREQ(name.as<SpiceMsgMainName>()->name, "wlprobe");
    EXPECT_FALSE(Parsed(V2, MAIN, SPICE_MSG_MAIN_NAME, Body().u32(9).text("wlprobe").u8(0)).ok());
}

// The pong of exactly 12 bytes has no data; its data pointer is the body's end.
TEST(MainPong, TwelveBytesHaveNoData) {
    Parsed pong(V2, MAIN, SPICE_MSG_MAIN_PONG, Body().u32(4).u64(99));
    ASSERT_TRUE(pong.ok());
    auto m = pong.as<SpiceMsgPing>();
    EXPECT_EQ(m->id, 4u);
    EXPECT_EQ(m->timestamp, 99u);
    EXPECT_EQ(m->data_len, 0u);
    EXPECT_EQ(m->data, pong.body_end());
}

}  // namespace
