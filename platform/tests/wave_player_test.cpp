#include "platform/platform.h"
#include "platform/wave_player.h"
#include "runtime/exception.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

typedef std::chrono::steady_clock Clock;

class OutputDevice {
public:
    explicit OutputDevice(const std::string& name) { setenv("KTW_WAVE_OUT_DEVICE", name.c_str(), 1); }
    ~OutputDevice() { unsetenv("KTW_WAVE_OUT_DEVICE"); }
};

std::vector<uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool wait_file_size(const std::string& path, size_t size) {
    auto end = Clock::now() + std::chrono::seconds(10);
    while (read_file(path).size() < size) {
        if (Clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

TEST(WavePlayerTest, RingSizesFollowTheRateAndFrameAndOddValuesAreRefused) {
    OutputDevice device("null");
    struct Case {
        uint32_t rate, frame_samples, slots, threshold, frame_bytes;
    } cases[] = {
        {48000, 448, 40, 32, 1792},
        {48000, 480, 38, 30, 1920},
        {44100, 448, 37, 29, 1792},
        {8000, 480, 6, 5, 1920},
    };
    for (const Case& c : cases) {
        WavePlayer player(c.rate, 2, c.frame_samples);
        EXPECT_EQ(player.slot_count(), c.slots) << c.rate << "/" << c.frame_samples;
        EXPECT_EQ(player.start_threshold(), c.threshold) << c.rate << "/" << c.frame_samples;
        EXPECT_EQ(player.frame_bytes(), c.frame_bytes);
    }
    // Below 1000 Hz the delay divided by zero; a frame longer than the ring gave no slot.
    struct Bad {
        uint32_t rate, channels, frame_samples;
    } bad[] = {{0, 2, 448},     {999, 2, 448}, {7999, 2, 448}, {192001, 2, 448},
               {48000, 0, 448}, {48000, 2, 0}, {8000, 2, 5000}};
    for (const Bad& b : bad) {
        EXPECT_THROW(WavePlayer(b.rate, b.channels, b.frame_samples), Exception) << b.rate;
    }
}

// Paused until the start threshold is queued; a burst never queues more than the ring; stop hands every slot
// back and the player fills again before restarting.
TEST(WavePlayerTest, StartsAtTheThresholdBoundsTheRingAndStopRefills) {
    OutputDevice device("null");
    std::unique_ptr<WavePlaybackAbstract> base(Platform::create_player(48000, 2, 448));
    WavePlayer& player = static_cast<WavePlayer&>(*base);
    std::vector<uint8_t> frame(1792, 1);
    for (int i = 0; i < 31; i++) {
        ASSERT_TRUE(player.write(frame.data(), uint32_t(frame.size())));
    }
    EXPECT_TRUE(player.starting());
    EXPECT_EQ(player.queued(), 31u);
    EXPECT_EQ(player.get_delay_ms(), 31u * 256 / 48);
    ASSERT_TRUE(player.write(frame.data(), uint32_t(frame.size())));
    EXPECT_FALSE(player.starting());

    uint32_t most = 0;
    for (int i = 0; i < 200; i++) {
        ASSERT_TRUE(player.write(frame.data(), uint32_t(frame.size())))
            << "a full ring drops, it does not fail";
        most = std::max(most, player.queued());
    }
    EXPECT_EQ(most, player.slot_count());

    player.stop();
    EXPECT_EQ(player.queued(), 0u);
    EXPECT_TRUE(player.starting());
    EXPECT_FALSE(player.write(frame.data(), 1793)) << "a frame larger than a slot";
    EXPECT_EQ(player.queued(), 0u);
    for (int i = 0; i < 31; i++) {
        player.write(frame.data(), uint32_t(frame.size()));
    }
    EXPECT_TRUE(player.starting());
}

// What reaches the device is what was written, frame after frame; a short frame is followed by silence, not
// by the samples an earlier frame left in its slot.
TEST(WavePlayerTest, PlaysTheFramesWrittenAndSilenceAfterAShortFrame) {
    std::string path = "/tmp/ktw_player_" + std::to_string(getpid()) + ".raw";
    OutputDevice device("file:FILE=" + path + ",FORMAT=raw");
    // 20 ms frames at 8000 Hz: 19 slots, sound from the 15th on.
    WavePlayer player(8000, 2, 160);
    const uint32_t kSlots = 19;
    ASSERT_EQ(player.slot_count(), kSlots);
    const uint32_t kFrame = 640;
    std::vector<uint8_t> expected;
    auto full_frame = [&](int i) {
        std::vector<uint8_t> frame(kFrame);
        for (uint32_t b = 0; b < kFrame; b++) {
            frame[b] = uint8_t(0x40 + i * 3 + b * 7) | 1;
        }
        ASSERT_TRUE(player.write(frame.data(), kFrame));
        expected.insert(expected.end(), frame.begin(), frame.end());
    };
    for (uint32_t i = 0; i < kSlots; i++) {
        full_frame(int(i));
    }
    // Once five frames reached the device the first slot is free again and takes the short frame.
    ASSERT_TRUE(wait_file_size(path, 5 * kFrame));
    std::vector<uint8_t> short_frame(10, 0x11);
    ASSERT_TRUE(player.write(short_frame.data(), uint32_t(short_frame.size())));
    expected.insert(expected.end(), short_frame.begin(), short_frame.end());
    expected.resize(expected.size() + kFrame - short_frame.size(), 0);
    // More sound behind it pushes it through the device's own buffer; each write waits for a free slot.
    for (uint32_t k = kSlots + 2; k <= kSlots + 11; k++) {
        ASSERT_TRUE(wait_file_size(path, (k - kSlots) * kFrame));
        full_frame(int(k));
    }
    ASSERT_TRUE(wait_file_size(path, (kSlots + 1) * kFrame));
    std::vector<uint8_t> written = read_file(path);
    std::remove(path.c_str());
    size_t compared = std::min(written.size(), expected.size());
    ASSERT_GE(compared, (kSlots + 1) * kFrame);
    EXPECT_TRUE(std::equal(expected.begin(), expected.begin() + compared, written.begin()));
    EXPECT_TRUE(std::all_of(written.begin() + kSlots * kFrame + 10, written.begin() + (kSlots + 1) * kFrame,
                            [](uint8_t b) { return b == 0; }))
        << "the rest of the short frame's slot";
}

// Without a device the player is made all the same, and every write tries to open it again.
TEST(WavePlayerTest, AMissingDeviceIsReopenedAtTheNextWrite) {
    std::unique_ptr<WavePlayer> player;
    std::vector<uint8_t> frame(1920, 3);
    {
        OutputDevice device("hw:97,0");
        player.reset(new WavePlayer(48000, 2, 480));
        EXPECT_TRUE(player->has_error());
        EXPECT_FALSE(player->write(frame.data(), uint32_t(frame.size())));
        EXPECT_TRUE(player->has_error());
        player->stop();
        player->set_volume(0x1000);
    }
    OutputDevice device("null");
    EXPECT_TRUE(player->write(frame.data(), uint32_t(frame.size())));
    EXPECT_FALSE(player->has_error());
    EXPECT_EQ(player->queued(), 1u);
    EXPECT_TRUE(player->starting());
}

TEST(WavePlayerTest, MuteAndVolumeGoToTheDefaultDevice) {
    OutputDevice device("null");
    DWORD volume = 0;
    {
        WavePlayer fresh(48000, 2, 480);
        fresh.set_mute(false);  // no volume given yet: the word is 0
        waveOutGetVolume(nullptr, &volume);
        EXPECT_EQ(volume, 0u);
    }
    WavePlayer player(48000, 2, 480);
    player.set_volume(0x20001000);
    waveOutGetVolume(nullptr, &volume);
    EXPECT_EQ(volume, 0x20001000u);
    player.set_mute(true);
    waveOutGetVolume(nullptr, &volume);
    EXPECT_EQ(volume, 0u);
    player.set_mute(false);
    waveOutGetVolume(nullptr, &volume);
    EXPECT_EQ(volume, 0x20001000u);
    waveOutSetVolume(nullptr, 0xFFFFFFFF);
}

}  // namespace
