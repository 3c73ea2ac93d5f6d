#include "platform/platform.h"
#include "platform/wave_recorder.h"
#include "runtime/exception.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

namespace {

typedef std::chrono::steady_clock Clock;

class InputDevice {
public:
    explicit InputDevice(const char* name) { setenv("KTW_WAVE_IN_DEVICE", name, 1); }
    ~InputDevice() { unsetenv("KTW_WAVE_IN_DEVICE"); }
};

class Client : public Platform::RecordClient {
public:
    void add_event_source(EventSources::Trigger& trigger) override { triggers.push_back(&trigger); }
    void remove_event_source(EventSources::Trigger& trigger) override { removed.push_back(&trigger); }
    void push_frame(const uint8_t* frame, uint32_t size) override {
        sizes.push_back(size);
        for (uint32_t i = 0; i < size; i++) {
            nonzero += frame[i] != 0;
        }
    }

    std::vector<EventSources::Trigger*> triggers;
    std::vector<EventSources::Trigger*> removed;
    std::vector<uint32_t> sizes;
    size_t nonzero = 0;
};

TEST(WaveRecorderTest, RefusesWhatItCannotCaptureWithoutTouchingTheClient) {
    Client client;
    {
        InputDevice device("hw:97,0");
        try {
            Platform::create_recorder(client, 48000, 2, 480);
            FAIL() << "no device, no recorder";
        } catch (const Exception& e) {
            EXPECT_STREQ(e.what(), "cannot open playback device");
        }
    }
    InputDevice device("null");
    // Below 512 Hz the ring had no buffer and the buffer index divided by zero.
    for (uint32_t rate : {0u, 511u, 7999u, 192001u}) {
        EXPECT_THROW(WaveRecorder(client, rate, 2, 480), Exception) << rate;
    }
    EXPECT_THROW(WaveRecorder(client, 48000, 2, 0), Exception);
    EXPECT_TRUE(client.triggers.empty());
}

// The null device captures silence at its rate: whole frames reach the client on the loop's turn, the
// recorder joins and leaves the client's loop, and a stop and a new start go on capturing.
TEST(WaveRecorderTest, HandsWholeFramesToTheClientBetweenStartAndStop) {
    InputDevice device("null");
    Client client;
    std::unique_ptr<WaveRecorder> recorder(new WaveRecorder(client, 8000, 2, 160));
    EXPECT_EQ(recorder->buffer_count(), 15u);
    ASSERT_EQ(client.triggers.size(), 1u);
    EXPECT_EQ(client.triggers[0], recorder.get());
    for (int round = 0; round < 2; round++) {
        client.sizes.clear();
        recorder->start();
        auto end = Clock::now() + std::chrono::seconds(10);
        while (client.sizes.size() < 20 && Clock::now() < end) {
            recorder->on_event();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        recorder->stop();
        ASSERT_GE(client.sizes.size(), 20u) << round;
        for (uint32_t size : client.sizes) {
            EXPECT_EQ(size, 640u);
        }
    }
    EXPECT_EQ(client.nonzero, 0u);
    recorder.reset();
    ASSERT_EQ(client.removed.size(), 1u);
}

}  // namespace
