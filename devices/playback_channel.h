// PlaybackChannel: the guest's audio, raw 16-bit stereo PCM or CELT 0.5.1, played on the default output
// device, and the session's multimedia clock kept in step with what is heard. Handlers, player and codec all
// live on the channel's worker thread.
//
// States (the handlers of data, start and stop): idle (none) -> mode known (start) -> playing (data of the
// mode, stop) -> stopped (start) -> ...; a player that cannot be made leaves every playback message ignored.
// A message whose handler is not installed (data before a start, a start while playing) is ignored.
#pragma once

#include "devices/snd_codec.h"
#include "platform/audio.h"
#include "transport/channel/channel_factory.h"
#include "transport/channel/message_handler.h"
#include "transport/channel/red_channel.h"

#include <cstdint>
#include <memory>
#include <vector>

enum {
    SPICE_PLAYBACK_CAP_CELT_0_5_1 = 0,
    SPICE_PLAYBACK_CAP_VOLUME = 1,
    SPICE_PLAYBACK_CAP_LATENCY = 2,
    SPICE_PLAYBACK_CAP_OPUS = 3,
    SPICE_PLAYBACK_CAP_FRAME_448 = 4,  // the maker's: raw frames of 448 samples
    SPICE_PLAYBACK_CAP_COMPRESS = 5,   // the maker's: capability words 4 and 5 carry algorithm and quality
};

enum {
    SPICE_AUDIO_DATA_MODE_INVALID = 0,
    SPICE_AUDIO_DATA_MODE_RAW = 1,
    SPICE_AUDIO_DATA_MODE_CELT_0_5_1 = 2,
};

enum {
    SPICE_AUDIO_FMT_S16 = 1,
};

// The rates the audio devices are made for; a start with another rate is refused.
const uint32_t AUDIO_MIN_RATE = 8000;
const uint32_t AUDIO_MAX_RATE = 192000;

class PlaybackChannel : public RedChannel {
public:
    typedef MessageHandlerImp<PlaybackChannel, SPICE_CHANNEL_PLAYBACK> Handler;

    PlaybackChannel(ChannelClient& client, uint8_t id);
    ~PlaybackChannel() override;

    bool abort() override;

    void handle_mode(const SpiceMsgPlaybackMode& mode);
    void handle_start(const SpiceMsgPlaybackStart& start);
    void handle_stop();
    void handle_raw_data(const SpiceMsgPlaybackPacket& packet);
    void handle_compressed_data(const SpiceMsgPlaybackPacket& packet);
    void handle_volume(const SpiceMsgAudioVolume& volume);
    void handle_mute(const SpiceMsgAudioMute& mute);

protected:
    void on_disconnect() override { clear(); }
    // The output device; Platform::create_player unless a test gives its own.
    virtual WavePlaybackAbstract* create_player(uint32_t samples_per_sec, uint32_t channels,
                                                uint32_t frame_samples);

private:
    PlaybackChannel(ChannelClient& client, uint8_t id, Handler* handler);

    void set_data_handler();
    void disable_handlers();
    // Ends playing, drops player and codec and returns the handlers to the idle state.
    void clear();
    void warn_celt_dropped();
    void play(const uint8_t* data, uint32_t size, uint32_t time);

    Handler& _handler;
    std::unique_ptr<WavePlaybackAbstract> _player;
    uint32_t _mode;
    uint32_t _frame_bytes;
    SndCodec* _codec;
    bool _playing;
    uint32_t _frame_count;
    uint32_t _volume;
    uint32_t _lossy;
    bool _celt_dropped;  // CELT data arrives without a codec to decode it: dropped
    std::vector<uint8_t> _decoded;
};

class PlaybackFactory : public ChannelFactory {
public:
    PlaybackFactory() : ChannelFactory(SPICE_CHANNEL_PLAYBACK) {}
    RedChannel* create(ChannelClient& client, uint8_t id) override { return new PlaybackChannel(client, id); }
};
