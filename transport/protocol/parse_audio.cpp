// Playback and record channel messages of both protocol generations.
#include "transport/protocol/parse_structs.h"

namespace {

void parse_playback_data(ParseCtx& c) {
    SpiceMsgPlaybackPacket* m = c.b.record<SpiceMsgPlaybackPacket>();
    m->time = c.r.u32();
    uint32_t size = 0;
    m->data = c.r.rest(&size);
    m->data_size = size;
}

void parse_playback_mode(ParseCtx& c) {
    SpiceMsgPlaybackMode* m = c.b.record<SpiceMsgPlaybackMode>();
    m->time = c.r.u32();
    m->mode = c.gen == Gen::V2 ? c.r.u16() : c.r.u32();
    uint32_t size = 0;
    m->data = c.r.rest(&size);
    m->data_size = size;
}

// Generation 1 has a u32 format and no time.
void parse_playback_start(ParseCtx& c) {
    SpiceMsgPlaybackStart* m = c.b.record<SpiceMsgPlaybackStart>();
    m->channels = c.r.u32();
    m->format = c.gen == Gen::V2 ? c.r.u16() : c.r.u32();
    m->frequency = c.r.u32();
    m->time = c.gen == Gen::V2 ? c.r.u32() : 0;
}

void parse_record_start(ParseCtx& c) {
    SpiceMsgRecordStart* m = c.b.record<SpiceMsgRecordStart>();
    m->channels = c.r.u32();
    m->format = c.gen == Gen::V2 ? c.r.u16() : c.r.u32();
    m->frequency = c.r.u32();
}

void parse_volume(ParseCtx& c) {
    SpiceMsgAudioVolume* m = c.b.record<SpiceMsgAudioVolume>();
    uint8_t n = c.r.u8();
    m->nchannels = n;
    m->volume = c.read_array<uint16_t>(c.r, n, 2, [](WireReader& in) { return in.u16(); });
}

void parse_mute(ParseCtx& c) {
    c.b.record<SpiceMsgAudioMute>()->mute = c.r.u8();
}

void parse_latency(ParseCtx& c) {
    c.b.record<SpiceMsgPlaybackLatency>()->latency_ms = c.r.u32();
}

const MessageEntry playback_v2[] = {
    parsed_msg(SPICE_MSG_PLAYBACK_DATA, parse_playback_data, "playback data"),
    parsed_msg(SPICE_MSG_PLAYBACK_MODE, parse_playback_mode, "playback mode"),
    parsed_msg(SPICE_MSG_PLAYBACK_START, parse_playback_start, "playback start"),
    empty_msg(SPICE_MSG_PLAYBACK_STOP, "playback stop"),
    parsed_msg(SPICE_MSG_PLAYBACK_VOLUME, parse_volume, "playback volume"),
    parsed_msg(SPICE_MSG_PLAYBACK_MUTE, parse_mute, "playback mute"),
    parsed_msg(SPICE_MSG_PLAYBACK_LATENCY, parse_latency, "playback latency"),
};

const MessageEntry record_v2[] = {
    parsed_msg(SPICE_MSG_RECORD_START, parse_record_start, "record start"),
    empty_msg(SPICE_MSG_RECORD_STOP, "record stop"),
    parsed_msg(SPICE_MSG_RECORD_VOLUME, parse_volume, "record volume"),
    parsed_msg(SPICE_MSG_RECORD_MUTE, parse_mute, "record mute"),
};

// Generation 1 knows the first four playback and the first two record messages.
const size_t playback_v1_count = 4;
const size_t record_v1_count = 2;

}  // namespace

const MessageTable playback_messages_v2 = {"playback", Gen::V2, playback_v2,
                                           sizeof(playback_v2) / sizeof(playback_v2[0])};
const MessageTable playback_messages_v1 = {"playback", Gen::V1, playback_v2, playback_v1_count};
const MessageTable record_messages_v2 = {"record", Gen::V2, record_v2,
                                         sizeof(record_v2) / sizeof(record_v2[0])};
const MessageTable record_messages_v1 = {"record", Gen::V1, record_v2, record_v1_count};
