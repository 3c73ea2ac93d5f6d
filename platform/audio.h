// The local audio devices as the playback and record channels see them.
#pragma once

#include <cstdint>

// An audio output: frames go in whole, the device plays them in order.
class WavePlaybackAbstract {
public:
    virtual ~WavePlaybackAbstract() {}
    // False when the frame could not be queued; a frame dropped because the ring is full still counts as
    // written.
    virtual bool write(const uint8_t* frame, uint32_t size) = 0;
    virtual bool abort() = 0;
    // Drops what is queued; the next frames are buffered before the sound starts again.
    virtual void stop() = 0;
    // How far behind the writes the sound heard is, in milliseconds.
    virtual uint32_t get_delay_ms() = 0;
    virtual void set_mute(bool mute) = 0;
    // Left in the low 16 bits, right in the high 16 bits.
    virtual void set_volume(uint32_t volume) = 0;
};

// A capture device: between start and stop it hands whole frames to its record client.
class WaveRecordAbstract {
public:
    virtual ~WaveRecordAbstract() {}
    virtual void start() = 0;
    virtual void stop() = 0;
    virtual bool abort() = 0;
};
