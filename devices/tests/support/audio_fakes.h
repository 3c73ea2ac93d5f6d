// In-memory audio devices for the channel tests: they record what the channel asks of them under a lock,
// since the channel calls them from its worker thread while the test reads from its own.
#pragma once

#include "platform/audio.h"
#include "platform/platform.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace audio_test {

struct PlayerLog {
    std::mutex lock;
    int created = 0;
    int destroyed = 0;
    uint32_t rate = 0, channels = 0, frame_samples = 0;
    std::vector<std::vector<uint8_t>> writes;
    int stops = 0;
    std::vector<uint32_t> volumes;
    std::vector<bool> mutes;
    uint32_t delay_ms = 0;
    bool fail_create = false;
};

class FakePlayer : public WavePlaybackAbstract {
public:
    explicit FakePlayer(PlayerLog& log) : _log(log) {}
    ~FakePlayer() override {
        std::lock_guard<std::mutex> hold(_log.lock);
        _log.destroyed++;
    }
    bool write(const uint8_t* frame, uint32_t size) override {
        std::lock_guard<std::mutex> hold(_log.lock);
        _log.writes.emplace_back(frame, frame + size);
        return true;
    }
    bool abort() override { return true; }
    void stop() override {
        std::lock_guard<std::mutex> hold(_log.lock);
        _log.stops++;
    }
    uint32_t get_delay_ms() override {
        std::lock_guard<std::mutex> hold(_log.lock);
        return _log.delay_ms;
    }
    void set_mute(bool mute) override {
        std::lock_guard<std::mutex> hold(_log.lock);
        _log.mutes.push_back(mute);
    }
    void set_volume(uint32_t volume) override {
        std::lock_guard<std::mutex> hold(_log.lock);
        _log.volumes.push_back(volume);
    }

private:
    PlayerLog& _log;
};

struct RecorderLog {
    std::mutex lock;
    int created = 0;
    int destroyed = 0;
    uint32_t rate = 0, channels = 0, frame_samples = 0;
    int starts = 0;
    int stops = 0;
    bool fail_create = false;
    // Frames the recorder hands its client at each start, on the channel's thread.
    std::vector<std::vector<uint8_t>> frames_at_start;
};

class FakeRecorder : public WaveRecordAbstract {
public:
    FakeRecorder(RecorderLog& log, Platform::RecordClient& client) : _log(log), _client(client) {}
    ~FakeRecorder() override {
        std::lock_guard<std::mutex> hold(_log.lock);
        _log.destroyed++;
    }
    void start() override {
        std::vector<std::vector<uint8_t>> frames;
        {
            std::lock_guard<std::mutex> hold(_log.lock);
            _log.starts++;
            frames = _log.frames_at_start;
        }
        for (const std::vector<uint8_t>& frame : frames) {
            _client.push_frame(frame.data(), uint32_t(frame.size()));
        }
    }
    void stop() override {
        std::lock_guard<std::mutex> hold(_log.lock);
        _log.stops++;
    }
    bool abort() override { return true; }

private:
    RecorderLog& _log;
    Platform::RecordClient& _client;
};

}  // namespace audio_test
