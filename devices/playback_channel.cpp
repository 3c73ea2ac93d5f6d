#include "devices/playback_channel.h"

#include "platform/platform.h"
#include "platform/session_block.h"
#include "runtime/exception.h"
#include "runtime/log.h"

PlaybackChannel::PlaybackChannel(ChannelClient& client, uint8_t id)
    : PlaybackChannel(client, id, new Handler(*this)) {}

PlaybackChannel::PlaybackChannel(ChannelClient& client, uint8_t id, Handler* handler)
    : RedChannel(client, SPICE_CHANNEL_PLAYBACK, id, handler, 2),
      _handler(*handler),
      _mode(SPICE_AUDIO_DATA_MODE_INVALID),
      _frame_bytes(0),
      _codec(nullptr),
      _playing(false),
      _frame_count(0),
      _volume(0),
      _lossy(SessionBlock::playback_lossy()),
      _celt_dropped(false) {
    handler->set_handler<SPICE_MSG_MIGRATE>(&PlaybackChannel::handle_migrate);
    handler->set_handler<SPICE_MSG_SET_ACK>(&PlaybackChannel::handle_set_ack);
    handler->set_handler<SPICE_MSG_PING>(&PlaybackChannel::handle_ping);
    handler->set_handler<SPICE_MSG_WAIT_FOR_CHANNELS>(&PlaybackChannel::handle_wait_for_channels);
    handler->set_handler<SPICE_MSG_DISCONNECTING>(&PlaybackChannel::handle_disconnect);
    handler->set_handler<SPICE_MSG_NOTIFY>(&PlaybackChannel::handle_notify);
    handler->set_handler<SPICE_MSG_PLAYBACK_MODE>(&PlaybackChannel::handle_mode);

    // Lossy playback is offered only where CELT can be decoded.
    bool celt = snd_codec_celt051_available();
    uint32_t algorithm = SessionBlock::playback_algorithm();
    uint32_t quality = SessionBlock::playback_quality();
    ChannelCaps& caps = get_caps();
    if (_lossy && celt) {
        caps_set(caps, SPICE_PLAYBACK_CAP_COMPRESS);
        caps_set(caps, SPICE_PLAYBACK_CAP_CELT_0_5_1);
        caps.resize(6, 0);
        caps[4] = algorithm;
        caps[5] = quality;
    }
    caps_set(caps, SPICE_PLAYBACK_CAP_VOLUME);
    caps_set(caps, SPICE_PLAYBACK_CAP_FRAME_448);

    handler->set_handler<SPICE_MSG_PLAYBACK_VOLUME>(&PlaybackChannel::handle_volume);
    handler->set_handler<SPICE_MSG_PLAYBACK_MUTE>(&PlaybackChannel::handle_mute);
    LOG_INFO("playback client caps, compress:%d, celt051:%d, opus:%d algorithm:%d qulity %d", _lossy,
             celt ? 1 : 0, 0, algorithm, quality);
}

PlaybackChannel::~PlaybackChannel() {
    clear();
}

bool PlaybackChannel::abort() {
    if (_player && !_player->abort()) {
        return false;
    }
    return RedChannel::abort();
}

WavePlaybackAbstract* PlaybackChannel::create_player(uint32_t samples_per_sec, uint32_t channels,
                                                     uint32_t frame_samples) {
    return Platform::create_player(samples_per_sec, channels, frame_samples);
}

void PlaybackChannel::set_data_handler() {
    if (_mode == SPICE_AUDIO_DATA_MODE_RAW) {
        _handler.set_handler<SPICE_MSG_PLAYBACK_DATA>(&PlaybackChannel::handle_raw_data);
    } else if (_mode == SPICE_AUDIO_DATA_MODE_CELT_0_5_1) {
        _handler.set_handler<SPICE_MSG_PLAYBACK_DATA>(&PlaybackChannel::handle_compressed_data);
    } else {
        THROW("invalid mode");
    }
}

void PlaybackChannel::handle_mode(const SpiceMsgPlaybackMode& mode) {
    if (mode.mode != SPICE_AUDIO_DATA_MODE_RAW && mode.mode != SPICE_AUDIO_DATA_MODE_CELT_0_5_1) {
        THROW("invalid mode");
    }
    _mode = mode.mode;
    if (_playing) {
        set_data_handler();
    } else {
        _handler.set_handler<SPICE_MSG_PLAYBACK_START>(&PlaybackChannel::handle_start);
    }
}

void PlaybackChannel::handle_start(const SpiceMsgPlaybackStart& start) {
    _handler.remove_handler(SPICE_MSG_PLAYBACK_START);
    _handler.set_handler<SPICE_MSG_PLAYBACK_STOP>(&PlaybackChannel::handle_stop);
    if (!_player) {
        if (start.format != SPICE_AUDIO_FMT_S16) {
            THROW("unexpected format");
        }
        if (start.channels != 2) {
            THROW("unexpected number of channels");
        }
        // The ring's arithmetic holds only for these rates (below 1000 Hz it divided by zero).
        if (start.frequency < AUDIO_MIN_RATE || start.frequency > AUDIO_MAX_RATE) {
            THROW("unexpected frequency %u", start.frequency);
        }
        uint32_t frame_samples;
        if (_mode == SPICE_AUDIO_DATA_MODE_RAW) {
            frame_samples = peer_has_capability(SPICE_PLAYBACK_CAP_FRAME_448) ? 448 : 480;
        } else if (!snd_codec_celt051_available()) {
            warn_celt_dropped();
            frame_samples = SND_CODEC_CELT_FRAME_SAMPLES;
        } else {
            if (snd_codec_create(&_codec, _mode, start.frequency, SND_CODEC_DECODE) != SND_CODEC_OK) {
                snd_codec_free(_codec);
                _codec = nullptr;
                THROW("create decoder");
            }
            frame_samples = SND_CODEC_CELT_FRAME_SAMPLES;
        }
        try {
            _player.reset(create_player(start.frequency, start.channels, frame_samples));
        } catch (...) {
            LOG_WARN("create player failed");
            disable_handlers();
            return;
        }
        _frame_bytes = frame_samples * start.channels * 16 / 8;
    }
    _playing = true;
    _frame_count = 0;
    set_data_handler();
}

void PlaybackChannel::disable_handlers() {
    for (uint16_t id = SPICE_MSG_PLAYBACK_DATA; id <= SPICE_MSG_PLAYBACK_MUTE; id++) {
        _handler.remove_handler(id);
    }
}

void PlaybackChannel::handle_stop() {
    _handler.remove_handler(SPICE_MSG_PLAYBACK_STOP);
    _handler.remove_handler(SPICE_MSG_PLAYBACK_DATA);
    _handler.set_handler<SPICE_MSG_PLAYBACK_START>(&PlaybackChannel::handle_start);
    if (_player) {
        _player->stop();
    }
    _playing = false;
}

void PlaybackChannel::play(const uint8_t* data, uint32_t size, uint32_t time) {
    if (_frame_count % 1000 == 0) {
        get_client().set_mm_time(time - _player->get_delay_ms());
    }
    _frame_count++;
    _player->write(data, size);
}

// The server chose CELT though it was not offered: the channel stays up and plays nothing.
void PlaybackChannel::warn_celt_dropped() {
    if (!_celt_dropped) {
        LOG_WARN("CELT audio from the server is dropped: this build has no CELT codec");
        _celt_dropped = true;
    }
}

void PlaybackChannel::handle_raw_data(const SpiceMsgPlaybackPacket& packet) {
    if (packet.data_size > _frame_bytes) {
        THROW("unexpected frame size");
    }
    play(packet.data, packet.data_size, packet.time);
}

void PlaybackChannel::handle_compressed_data(const SpiceMsgPlaybackPacket& packet) {
    if (!snd_codec_celt051_available()) {
        warn_celt_dropped();
        return;
    }
    _decoded.resize(_frame_bytes);
    uint32_t decoded = 0;
    int result = snd_codec_decode_celt051(_codec, packet.data, packet.data_size, _decoded.data(), &decoded);
    if (result != SND_CODEC_OK) {
        LOG_ERROR("decode failed %d size %u", result, packet.data_size);
        THROW("decode failed");
    }
    play(_decoded.data(), decoded, packet.time);
}

void PlaybackChannel::handle_volume(const SpiceMsgAudioVolume& volume) {
    if (volume.nchannels == 0) {
        return;
    }
    _volume = volume.volume[0];
    if (volume.nchannels >= 2) {
        _volume |= uint32_t(volume.volume[1]) << 16;
    }
    if (_playing) {
        _player->set_volume(_volume);
    }
}

void PlaybackChannel::handle_mute(const SpiceMsgAudioMute& mute) {
    if (_playing) {
        _player->set_mute(mute.mute != 0);
    }
}

void PlaybackChannel::clear() {
    // Back to idle: a data message after the player is gone must not reach a data handler, and the next
    // connection starts with a mode message.
    _handler.remove_handler(SPICE_MSG_PLAYBACK_DATA);
    _handler.remove_handler(SPICE_MSG_PLAYBACK_START);
    _handler.remove_handler(SPICE_MSG_PLAYBACK_STOP);
    if (_player) {
        _playing = false;
        _player->stop();
        _player.reset();
    }
    _mode = SPICE_AUDIO_DATA_MODE_INVALID;
    if (_codec) {
        snd_codec_destroy_celt051(_codec);
        snd_codec_free(_codec);
        _codec = nullptr;
    }
}
