// Playback and record channels.
#include "parser_test_util.h"

namespace {

const int V1 = 1, V2 = 2;
const uint8_t PLAYBACK = SPICE_CHANNEL_PLAYBACK, RECORD = SPICE_CHANNEL_RECORD;

class AudioMessages : public ::testing::TestWithParam<MinimalBody> {};

TEST_P(AudioMessages, MinimalBodyParsesAndEveryShorterBodyFails) {
    expect_minimal(GetParam());
}

std::vector<MinimalBody> audio_bodies() {
    return {
        {"playback data", V2, PLAYBACK, SPICE_MSG_PLAYBACK_DATA, Body().u32(1), 2},
        {"playback mode", V2, PLAYBACK, SPICE_MSG_PLAYBACK_MODE, Body().u32(1).u16(1), 2},
        {"playback start", V2, PLAYBACK, SPICE_MSG_PLAYBACK_START, Body().u32(2).u16(1).u32(48000).u32(7), 2},
        {"playback stop", V2, PLAYBACK, SPICE_MSG_PLAYBACK_STOP, {}, 2},
        {"playback volume", V2, PLAYBACK, SPICE_MSG_PLAYBACK_VOLUME, Body().u8(0), 2},
        {"playback mute", V2, PLAYBACK, SPICE_MSG_PLAYBACK_MUTE, Body().u8(1), 2},
        {"playback latency", V2, PLAYBACK, SPICE_MSG_PLAYBACK_LATENCY, Body().u32(20), 2},
        {"record start", V2, RECORD, SPICE_MSG_RECORD_START, Body().u32(2).u16(1).u32(48000), 2},
        {"record stop", V2, RECORD, SPICE_MSG_RECORD_STOP, {}, 2},
        {"record volume", V2, RECORD, SPICE_MSG_RECORD_VOLUME, Body().u8(0), 2},
        {"record mute", V2, RECORD, SPICE_MSG_RECORD_MUTE, Body().u8(0), 2},

        {"playback data", V1, PLAYBACK, SPICE_MSG_PLAYBACK_DATA, Body().u32(1), 2},
        {"playback mode", V1, PLAYBACK, SPICE_MSG_PLAYBACK_MODE, Body().u32(1).u32(1), 2},
        {"playback start", V1, PLAYBACK, SPICE_MSG_PLAYBACK_START, Body().u32(2).u32(1).u32(48000), 2},
        {"playback stop", V1, PLAYBACK, SPICE_MSG_PLAYBACK_STOP, {}, 2},
        {"record start", V1, RECORD, SPICE_MSG_RECORD_START, Body().u32(2).u32(1).u32(48000), 2},
        {"record stop", V1, RECORD, SPICE_MSG_RECORD_STOP, {}, 2},
    };
}

INSTANTIATE_TEST_SUITE_P(BothGenerations, AudioMessages, ::testing::ValuesIn(audio_bodies()),
                         minimal_body_name);

TEST(PlaybackData, SamplesAreTheRestOfTheBodyInPlace) {
    std::vector<uint8_t> samples(1920, 0x11);
    Parsed data(V2, PLAYBACK, SPICE_MSG_PLAYBACK_DATA, Body().u32(123).bytes(samples));
    ASSERT_TRUE(data.ok());
    auto m = data.as<SpiceMsgPlaybackPacket>();
    EXPECT_EQ(m->time, 123u);
    EXPECT_EQ(m->data, data.body() + 4);
    EXPECT_EQ(m->data_size, 1920u);

    Parsed mode(V2, PLAYBACK, SPICE_MSG_PLAYBACK_MODE, Body().u32(5).u16(2).bytes({1, 2}));
    ASSERT_TRUE(mode.ok());
    EXPECT_EQ(mode.as<SpiceMsgPlaybackMode>()->mode, 2u);
    EXPECT_EQ(mode.as<SpiceMsgPlaybackMode>()->data, mode.body() + 6);
    EXPECT_EQ(mode.as<SpiceMsgPlaybackMode>()->data_size, 2u);
}

TEST(PlaybackStart, OnlyTheCurrentGenerationHasATime) {
    Parsed v2(V2, PLAYBACK, SPICE_MSG_PLAYBACK_START, Body().u32(2).u16(1).u32(48000).u32(99));
    ASSERT_TRUE(v2.ok());
    EXPECT_EQ(v2.as<SpiceMsgPlaybackStart>()->frequency, 48000u);
    EXPECT_EQ(v2.as<SpiceMsgPlaybackStart>()->time, 99u);
    Parsed v1(V1, PLAYBACK, SPICE_MSG_PLAYBACK_START, Body().u32(2).u32(1).u32(44100));
    ASSERT_TRUE(v1.ok());
    EXPECT_EQ(v1.as<SpiceMsgPlaybackStart>()->frequency, 44100u);
    EXPECT_EQ(v1.as<SpiceMsgPlaybackStart>()->time, 0u);
}

TEST(AudioVolume, ChannelCountIsCheckedAgainstTheBody) {
    Parsed volume(V2, RECORD, SPICE_MSG_RECORD_VOLUME, Body().u8(2).u16(0x8888).u16(0x7777));
    ASSERT_TRUE(volume.ok());
    auto m = volume.as<SpiceMsgAudioVolume>();
    ASSERT_EQ(m->nchannels, 2);
    EXPECT_EQ(m->volume[1], 0x7777);
    EXPECT_FALSE(Parsed(V2, PLAYBACK, SPICE_MSG_PLAYBACK_VOLUME, Body().u8(255).u16(1).u16(2)).ok());
}

}  // namespace
