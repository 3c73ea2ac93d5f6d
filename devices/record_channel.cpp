#include "devices/record_channel.h"

#include "devices/playback_channel.h"
#include "platform/session_block.h"
#include "runtime/exception.h"
#include "runtime/log.h"
#include "transport/protocol/marshaller.h"
#include "winapi/winsock2.h"

#include <cstring>

RecordSamplesMessage::RecordSamplesMessage(RecordChannel& channel)
    : RedPeer::OutMessage(SPICE_MSGC_RECORD_DATA), _channel(channel) {}

void RecordSamplesMessage::release() {
    _channel.release_message(this);
}

RecordChannel::RecordChannel(ChannelClient& client, uint8_t id)
    : RecordChannel(client, id, new Handler(*this)) {}

RecordChannel::RecordChannel(ChannelClient& client, uint8_t id, Handler* handler)
    : RedChannel(client, SPICE_CHANNEL_RECORD, id, handler, 4),
      _handler(*handler),
      _mode(SPICE_AUDIO_DATA_MODE_RAW),
      _codec(nullptr),
      _frame_bytes(0),
      _compressed(),
      _lossy(SessionBlock::record_lossy()) {
    for (int i = 0; i < POOL_SIZE; i++) {
        _pool.push_back(new RecordSamplesMessage(*this));
    }
    handler->set_handler<SPICE_MSG_MIGRATE>(&RecordChannel::handle_migrate);
    handler->set_handler<SPICE_MSG_SET_ACK>(&RecordChannel::handle_set_ack);
    handler->set_handler<SPICE_MSG_PING>(&RecordChannel::handle_ping);
    handler->set_handler<SPICE_MSG_WAIT_FOR_CHANNELS>(&RecordChannel::handle_wait_for_channels);
    handler->set_handler<SPICE_MSG_DISCONNECTING>(&RecordChannel::handle_disconnect);
    handler->set_handler<SPICE_MSG_NOTIFY>(&RecordChannel::handle_notify);
    handler->set_handler<SPICE_MSG_RECORD_START>(&RecordChannel::handle_start);

    // Lossy recording is offered only where CELT can be encoded.
    bool celt = snd_codec_celt051_available();
    if (_lossy && celt) {
        caps_set(get_caps(), SPICE_RECORD_CAP_COMPRESS);
        caps_set(get_caps(), SPICE_RECORD_CAP_CELT_0_5_1);
    }
    LOG_INFO("record client caps, recoder compress:%d, celt051:%d, opus:%d", _lossy, celt ? 1 : 0, 0);
}

RecordChannel::~RecordChannel() {
    // Queued data messages come back to the pool before the pool goes.
    clear_outgoing_messages();
    clear();
    Lock lock(_pool_lock);
    for (RecordSamplesMessage* message : _pool) {
        delete message;
    }
    _pool.clear();
}

bool RecordChannel::abort() {
    if (_recorder && !_recorder->abort()) {
        return false;
    }
    return RedChannel::abort();
}

WaveRecordAbstract* RecordChannel::create_recorder(uint32_t samples_per_sec, uint32_t channels,
                                                   uint32_t frame_samples) {
    return Platform::create_recorder(*this, samples_per_sec, channels, frame_samples);
}

void RecordChannel::on_link_reponse() {
    LOG_INFO("recoder compress %d mode %d", _lossy, _mode);
    if (_lossy && !peer_has_capability(SPICE_RECORD_CAP_COMPRESS)) {
        _lossy = 0;
    }
    sockaddr_in local = {};
    int length = sizeof(local);
    int local_port = 0;
    if (getsockname(get_socket(), reinterpret_cast<sockaddr*>(&local), &length) == 0) {
        local_port = local.sin_port;
    }
    LOG_INFO("RecordChannel %d id %d cport %d", _lossy, get_id(), local_port);
}

void RecordChannel::select_mode() {
    _mode = SPICE_AUDIO_DATA_MODE_RAW;
    if (_lossy && peer_has_capability(SPICE_RECORD_CAP_CELT_0_5_1) && SessionBlock::record_algorithm() == 1) {
        _mode = SPICE_AUDIO_DATA_MODE_CELT_0_5_1;
    }
}

void RecordChannel::set_celt_quality() {
    LOG_INFO("recoder compress %d mode %d", _lossy, _mode);
    if (!_lossy || _mode != SPICE_AUDIO_DATA_MODE_CELT_0_5_1) {
        return;
    }
    uint32_t quality = SessionBlock::record_quality();
    LOG_INFO("recoder compress %d mode %d quality %d", _lossy, _mode, quality);
    uint32_t bytes = 83;
    switch (quality) {
        case 1:
            bytes = 166;
            break;
        case 2:
            bytes = 83;
            break;
        case 3:
            bytes = 41;
            break;
        default:
            LOG_ERROR("invalid celt compress quality:%d, set to default", quality);
            break;
    }
    if (_codec && _codec->mode == SND_CODEC_MODE_CELT_0_5_1) {
        _codec->compressed_bytes = bytes;
        LOG_INFO("set playback celt compress quality to %d, nQulity:%d", quality, bytes);
    }
}

void RecordChannel::handle_start(const SpiceMsgRecordStart& start) {
    LOG_INFO("start data channel %d format %d fre %d", start.channels, start.format, start.frequency);
    _handler.remove_handler(SPICE_MSG_RECORD_START);
    _handler.set_handler<SPICE_MSG_RECORD_STOP>(&RecordChannel::handle_stop);
    if (start.format != SPICE_AUDIO_FMT_S16) {
        THROW("unexpected format");
    }
    if (start.channels != 2) {
        THROW("unexpected number of channels");
    }
    // Below 512 Hz the capture ring had no buffer and its index divided by zero.
    if (start.frequency < AUDIO_MIN_RATE || start.frequency > AUDIO_MAX_RATE) {
        THROW("unexpected frequency %u", start.frequency);
    }
    // A codec left by a start whose recorder could not be made is replaced.
    if (_codec) {
        snd_codec_destroy_celt051(_codec);
        snd_codec_free(_codec);
        _codec = nullptr;
    }
    select_mode();
    uint32_t frame_samples = 480;
    if (_mode == SPICE_AUDIO_DATA_MODE_CELT_0_5_1) {
        int result = snd_codec_create(&_codec, _mode, start.frequency, SND_CODEC_ENCODE);
        if (result != SND_CODEC_OK) {
            // Recording goes on uncompressed.
            LOG_ERROR("create record encoder failed, ret:%d, mode:%d, frequency:%u, recover data mode to RAW",
                      result, _mode, start.frequency);
            snd_codec_free(_codec);
            _codec = nullptr;
            _mode = SPICE_AUDIO_DATA_MODE_RAW;
        } else {
            set_celt_quality();
            frame_samples = SND_CODEC_CELT_FRAME_SAMPLES;
        }
    }
    try {
        _recorder.reset(create_recorder(start.frequency, start.channels, frame_samples));
    } catch (...) {
        LOG_WARN("create recorder failed");
        return;
    }
    _frame_bytes = frame_samples * start.channels * 16 / 8;
    send_mode();
    send_start_mark();
    _recorder->start();
    LOG_INFO("recoder compress %d mode %d", _lossy, _mode);
}

void RecordChannel::handle_stop() {
    _handler.set_handler<SPICE_MSG_RECORD_START>(&RecordChannel::handle_start);
    _handler.remove_handler(SPICE_MSG_RECORD_STOP);
    if (_recorder) {
        clear();
    }
}

void RecordChannel::send_mode() {
    Message* message = new Message(SPICE_MSGC_RECORD_MODE);
    SpiceMsgcRecordMode mode = {GetTickCount(), _mode};
    if (!spice_marshall_message(get_marshallers(), msgc_record_mode, message->marshaller(), &mode)) {
        message->release();
        return;
    }
    post_message(message);
}

void RecordChannel::send_start_mark() {
    Message* message = new Message(SPICE_MSGC_RECORD_START_MARK);
    SpiceMsgcRecordStartMark mark = {GetTickCount()};
    if (!spice_marshall_message(get_marshallers(), msgc_record_start_mark, message->marshaller(), &mark)) {
        message->release();
        return;
    }
    post_message(message);
}

void RecordChannel::on_disconnect() {
    clear();
    // A connection that ended while recording (or in a start that failed) must not leave the next one
    // without its start handler: the server starts recording afresh on it.
    _handler.set_handler<SPICE_MSG_RECORD_START>(&RecordChannel::handle_start);
    _handler.remove_handler(SPICE_MSG_RECORD_STOP);
}

void RecordChannel::clear() {
    if (_recorder) {
        _recorder->stop();
        _recorder.reset();
    }
    if (_codec) {
        snd_codec_destroy_celt051(_codec);
        snd_codec_free(_codec);
        _codec = nullptr;
    }
}

void RecordChannel::add_event_source(EventSources::Trigger& trigger) {
    get_process_loop().add_trigger(trigger);
}

void RecordChannel::remove_event_source(EventSources::Trigger& trigger) {
    get_process_loop().remove_trigger(trigger);
}

RecordSamplesMessage* RecordChannel::get_message() {
    Lock lock(_pool_lock);
    if (_pool.empty()) {
        return nullptr;
    }
    RecordSamplesMessage* message = _pool.front();
    _pool.pop_front();
    return message;
}

void RecordChannel::release_message(RecordSamplesMessage* message) {
    Lock lock(_pool_lock);
    _pool.push_back(message);
}

void RecordChannel::push_frame(const uint8_t* frame, uint32_t size) {
    RecordSamplesMessage* message = get_message();
    if (!message) {
        LOG_DEBUG("blocked");
        return;
    }
    const uint8_t* data = frame;
    if (_mode == SPICE_AUDIO_DATA_MODE_CELT_0_5_1) {
        if (!_codec || _codec->mode != SND_CODEC_MODE_CELT_0_5_1 || size != SND_CODEC_CELT_FRAME_BYTES) {
            release_message(message);
            return;
        }
        int encoded = snd_codec_encode_celt051(_codec, frame, _compressed, sizeof(_compressed));
        if (encoded < 0) {
            release_message(message);
            return;
        }
        data = _compressed;
        size = uint32_t(encoded);
    }
    message->reset(SPICE_MSGC_RECORD_DATA);
    SpiceMsgcRecordPacket packet = {GetTickCount()};
    if (!spice_marshall_message(get_marshallers(), msgc_record_data, message->marshaller(), &packet)) {
        release_message(message);
        return;
    }
    std::memcpy(spice_marshaller_reserve_space(message->marshaller(), size), data, size);
    post_message(message);
}
