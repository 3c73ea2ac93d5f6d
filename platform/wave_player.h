// WavePlayer: the default output device fed from a ring of whole-frame slots, without call-backs. A write
// first takes back the slots the device has finished (their done flag), then queues the new frame in the next
// slot. The device stays paused until about 300 ms of sound are queued; at most about 380 ms are ever queued,
// a frame finding the ring full is dropped. A device call that fails makes the next write reopen the device
// and start again from an empty ring.
//
// One thread only (the playback channel's).
#pragma once

#include "platform/audio.h"
#include "winapi/windows.h"

#include <cstdint>
#include <vector>

class WavePlayer : public WavePlaybackAbstract {
public:
    // The rates the ring arithmetic is made for.
    static const uint32_t MIN_RATE = 8000;
    static const uint32_t MAX_RATE = 192000;

    // Throws Exception for a rate outside MIN_RATE..MAX_RATE, no channels or a frame of no samples. A device
    // that cannot be opened is logged and opened again at the next write.
    WavePlayer(uint32_t samples_per_sec, uint32_t channels, uint32_t frame_samples);
    ~WavePlayer() override;

    WavePlayer(const WavePlayer&) = delete;
    WavePlayer& operator=(const WavePlayer&) = delete;

    // A frame shorter than a slot is played with silence after it.
    bool write(const uint8_t* frame, uint32_t size) override;
    bool abort() override { return true; }
    void stop() override;
    // The queued slots at a fixed 256 samples each.
    uint32_t get_delay_ms() override;
    void set_mute(bool mute) override;
    void set_volume(uint32_t volume) override;

    uint32_t slot_count() const { return _slot_count; }
    uint32_t start_threshold() const { return _start_threshold; }
    uint32_t frame_bytes() const { return _frame_bytes; }
    uint32_t queued() const { return _queued; }
    bool starting() const { return _starting; }
    bool has_error() const { return _error; }

private:
    bool open_device();
    void init_ring();
    WAVEHDR* slot(uint32_t index);
    void reclaim();

    HWAVEOUT _device;
    uint32_t _samples_per_ms;
    uint32_t _frame_bytes;
    uint32_t _start_threshold;
    uint32_t _slot_stride;
    std::vector<uint8_t> _ring;
    uint32_t _slot_count;
    uint32_t _volume;
    uint32_t _head;
    uint32_t _queued;
    bool _starting;
    bool _error;
    uint32_t _channels;
    uint32_t _samples_per_sec;
    uint32_t _bits_per_sample;
};
