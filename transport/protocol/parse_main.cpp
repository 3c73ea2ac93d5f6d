// Main channel messages of both protocol generations.
#include <cstring>

#include "transport/protocol/parse_structs.h"

namespace {

// The migration target of a major-2 server: 20 bytes, its strings reached through pointers. There is no
// public key on this generation's wire, whatever the minor version.
struct DstInfoWire {
    uint16_t port;
    uint16_t sport;
    uint32_t host_size;
    int64_t host;
    uint32_t cert_subject_size;
    int64_t cert_subject;
};

DstInfoWire read_dst_info(ParseCtx& c) {
    DstInfoWire w;
    w.port = c.r.u16();
    w.sport = c.r.u16();
    w.host_size = c.r.u32();
    w.host = c.pointer();
    w.cert_subject_size = c.r.u32();
    w.cert_subject = c.pointer();
    return w;
}

void fill_dst_info(ParseCtx& c, const DstInfoWire& w, SpiceMigrationDstInfo* d) {
    d->port = w.port;
    d->sport = w.sport;
    d->host_size = w.host_size;
    d->pub_key_type = 0;
    d->pub_key_size = 0;
    d->pub_key_data = nullptr;
    d->host_data = string_at(c, w.host, w.host_size, true);
    d->cert_subject_data = string_at(c, w.cert_subject, w.cert_subject_size, false);
    d->cert_subject_size = w.cert_subject < 0 ? 0 : w.cert_subject_size;
}

void parse_migrate_begin(ParseCtx& c) {
    SpiceMsgMainMigrationBegin* m = c.b.record<SpiceMsgMainMigrationBegin>();
    DstInfoWire w = read_dst_info(c);
    fill_dst_info(c, w, &m->dst_info);
}

void parse_migrate_begin_seamless(ParseCtx& c) {
    SpiceMsgMainMigrateBeginSeamless* m = c.b.record<SpiceMsgMainMigrateBeginSeamless>();
    DstInfoWire w = read_dst_info(c);
    m->src_mig_version = c.r.u32();
    fill_dst_info(c, w, &m->dst_info);
}

void parse_switch_host(ParseCtx& c) {
    SpiceMsgMainMigrationSwitchHost* m = c.b.record<SpiceMsgMainMigrationSwitchHost>();
    DstInfoWire w = read_dst_info(c);
    m->port = w.port;
    m->sport = w.sport;
    m->host_size = w.host_size;
    m->host_data = string_at(c, w.host, w.host_size, true);
    m->cert_subject_data = string_at(c, w.cert_subject, w.cert_subject_size, false);
    m->cert_subject_size = w.cert_subject < 0 ? 0 : w.cert_subject_size;
}

// Generation 1: port, secure port, host offset and size, and from minor version 1 the public key's type,
// offset and size. The offsets are plain u32 counts from the body start.
void parse_migrate_begin_v1(ParseCtx& c) {
    SpiceMsgMainMigrationBegin* m = c.b.record<SpiceMsgMainMigrationBegin>();
    SpiceMigrationDstInfo* d = &m->dst_info;
    d->port = c.r.u16();
    d->sport = c.r.u16();
    uint32_t host_offset = c.r.u32();
    uint32_t host_size = c.r.u32();
    uint16_t key_type = 0;
    uint32_t key_offset = 0;
    uint32_t key_size = 0;
    if (c.minor >= 1) {
        key_type = c.r.u16();
        key_offset = c.r.u32();
        key_size = c.r.u32();
    }
    d->host_size = host_size;
    d->host_data = string_at(c, host_offset ? int64_t(host_offset) : -1, host_size, true);
    d->pub_key_type = key_type;
    d->pub_key_data =
        reinterpret_cast<uint8_t*>(string_at(c, key_offset ? int64_t(key_offset) : -1, key_size, false));
    d->pub_key_size = key_offset ? key_size : 0;
    d->cert_subject_size = 0;
    d->cert_subject_data = nullptr;
}

void parse_init(ParseCtx& c) {
    SpiceMsgMainInit* m = c.b.record<SpiceMsgMainInit>();
    m->session_id = c.r.u32();
    m->display_channels_hint = c.r.u32();
    m->supported_mouse_modes = c.r.u32();
    m->current_mouse_mode = c.r.u32();
    m->agent_connected = c.r.u32();
    m->agent_tokens = c.r.u32();
    m->multi_media_time = c.r.u32();
    m->ram_hint = c.r.u32();
}

void parse_channels_list(ParseCtx& c) {
    SpiceMsgChannels* m = c.b.record<SpiceMsgChannels>();
    uint32_t n = c.r.u32();
    m->num_of_channels = n;
    m->channels = c.read_array<SpiceChannelId>(c.r, n, 2, [](WireReader& in) {
        SpiceChannelId id;
        id.type = in.u8();
        id.id = in.u8();
        return id;
    });
}

// Real major-2 servers send two u16 here (not the two u32 of generation 1).
void parse_mouse_mode(ParseCtx& c) {
    SpiceMsgMainMouseMode* m = c.b.record<SpiceMsgMainMouseMode>();
    m->supported_modes = c.gen == Gen::V2 ? c.r.u16() : c.r.u32();
    m->current_mode = c.gen == Gen::V2 ? c.r.u16() : c.r.u32();
}

void parse_u32_message(ParseCtx& c) {
    // SpiceMsgMainMultiMediaTime, SpiceMsgMainAgentDisconnect and SpiceMsgMainAgentTokens: one u32.
    c.b.record<SpiceMsgMainAgentTokens>()->num_tokens = c.r.u32();
}

void parse_name(ParseCtx& c) {
    SpiceMsgMainName* m = c.b.record<SpiceMsgMainName>();
    uint32_t len = c.r.u32();
    m->name_len = len;
    m->name = c.copy_string(c.r.bytes(len), len);
}

void parse_uuid(ParseCtx& c) {
    SpiceMsgMainUuid* m = c.b.record<SpiceMsgMainUuid>();
    const uint8_t* uuid = c.r.bytes(sizeof(m->uuid));
    if (uuid) {
        memcpy(m->uuid, uuid, sizeof(m->uuid));
    }
}

const MessageEntry main_v2[] = {
    parsed_msg(SPICE_MSG_MAIN_PONG, parse_ping, "main pong"),
    parsed_msg(SPICE_MSG_MAIN_MIGRATE_BEGIN, parse_migrate_begin, "main migrate_begin"),
    empty_msg(SPICE_MSG_MAIN_MIGRATE_CANCEL, "main migrate_cancel"),
    parsed_msg(SPICE_MSG_MAIN_INIT, parse_init, "main init"),
    parsed_msg(SPICE_MSG_MAIN_CHANNELS_LIST, parse_channels_list, "main channels_list"),
    parsed_msg(SPICE_MSG_MAIN_MOUSE_MODE, parse_mouse_mode, "main mouse_mode"),
    parsed_msg(SPICE_MSG_MAIN_MULTI_MEDIA_TIME, parse_u32_message, "main multi_media_time"),
    empty_msg(SPICE_MSG_MAIN_AGENT_CONNECTED, "main agent_connected"),
    parsed_msg(SPICE_MSG_MAIN_AGENT_DISCONNECTED, parse_u32_message, "main agent_disconnected"),
    raw_msg(SPICE_MSG_MAIN_AGENT_DATA, "main agent_data"),
    parsed_msg(SPICE_MSG_MAIN_AGENT_TOKEN, parse_u32_message, "main agent_token"),
    parsed_msg(SPICE_MSG_MAIN_MIGRATE_SWITCH_HOST, parse_switch_host, "main migrate_switch_host"),
    empty_msg(SPICE_MSG_MAIN_MIGRATE_END, "main migrate_end"),
    parsed_msg(SPICE_MSG_MAIN_NAME, parse_name, "main name"),
    parsed_msg(SPICE_MSG_MAIN_UUID, parse_uuid, "main uuid"),
    parsed_msg(SPICE_MSG_MAIN_AGENT_CONNECTED_TOKENS, parse_u32_message, "main agent_connected_tokens"),
    parsed_msg(SPICE_MSG_MAIN_MIGRATE_BEGIN_SEAMLESS, parse_migrate_begin_seamless,
               "main migrate_begin_seamless"),
    empty_msg(SPICE_MSG_MAIN_MIGRATE_DST_SEAMLESS_ACK, "main migrate_dst_seamless_ack"),
    empty_msg(SPICE_MSG_MAIN_MIGRATE_DST_SEAMLESS_NACK, "main migrate_dst_seamless_nack"),
};

// The generation-1 switch host keeps the current layout with that generation's u64 pointers.
const MessageEntry main_v1[] = {
    parsed_msg(SPICE_MSG_MAIN_MIGRATE_BEGIN, parse_migrate_begin_v1, "main migrate_begin"),
    empty_msg(SPICE_MSG_MAIN_MIGRATE_CANCEL, "main migrate_cancel"),
    parsed_msg(SPICE_MSG_MAIN_INIT, parse_init, "main init"),
    parsed_msg(SPICE_MSG_MAIN_CHANNELS_LIST, parse_channels_list, "main channels_list"),
    parsed_msg(SPICE_MSG_MAIN_MOUSE_MODE, parse_mouse_mode, "main mouse_mode"),
    parsed_msg(SPICE_MSG_MAIN_MULTI_MEDIA_TIME, parse_u32_message, "main multi_media_time"),
    empty_msg(SPICE_MSG_MAIN_AGENT_CONNECTED, "main agent_connected"),
    parsed_msg(SPICE_MSG_MAIN_AGENT_DISCONNECTED, parse_u32_message, "main agent_disconnected"),
    raw_msg(SPICE_MSG_MAIN_AGENT_DATA, "main agent_data"),
    parsed_msg(SPICE_MSG_MAIN_AGENT_TOKEN, parse_u32_message, "main agent_token"),
    parsed_msg(SPICE_MSG_MAIN_MIGRATE_SWITCH_HOST, parse_switch_host, "main migrate_switch_host"),
};

}  // namespace

const MessageTable main_messages_v2 = {"main", Gen::V2, main_v2, sizeof(main_v2) / sizeof(main_v2[0])};
const MessageTable main_messages_v1 = {"main", Gen::V1, main_v1, sizeof(main_v1) / sizeof(main_v1[0])};
