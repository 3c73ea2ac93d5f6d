// The messages every channel accepts (types 1-8 and 100; generation 1: 1-7).
#include "transport/protocol/parse_structs.h"

namespace {

void parse_migrate(ParseCtx& c) {
    c.b.record<SpiceMsgMigrate>()->flags = c.r.u32();
}

void parse_set_ack(ParseCtx& c) {
    SpiceMsgSetAck* m = c.b.record<SpiceMsgSetAck>();
    m->generation = c.r.u32();
    m->window = c.r.u32();
}

void parse_disconnecting(ParseCtx& c) {
    SpiceMsgDisconnect* m = c.b.record<SpiceMsgDisconnect>();
    m->time_stamp = c.r.u64();
    m->reason = c.r.u32();
}

void parse_notify(ParseCtx& c) {
    SpiceMsgNotify* m = c.b.record<SpiceMsgNotify>();
    m->time_stamp = c.r.u64();
    m->severity = c.r.u32();
    m->visibility = c.r.u32();
    m->what = c.r.u32();
    uint32_t len = c.r.u32();
    m->message_len = len;
    const uint8_t* text = c.r.bytes(len);
    c.r.skip(1);  // the sender's NUL, not counted in len
    m->message = c.copy_string(text, len);
}

const MessageEntry common_v2[] = {
    parsed_msg(SPICE_MSG_MIGRATE, parse_migrate, "migrate"),
    raw_msg(SPICE_MSG_MIGRATE_DATA, "migrate_data"),
    parsed_msg(SPICE_MSG_SET_ACK, parse_set_ack, "set_ack"),
    parsed_msg(SPICE_MSG_PING, parse_ping, "ping"),
    parsed_msg(SPICE_MSG_WAIT_FOR_CHANNELS, parse_wait_for_channels, "wait_for_channels"),
    parsed_msg(SPICE_MSG_DISCONNECTING, parse_disconnecting, "disconnecting"),
    parsed_msg(SPICE_MSG_NOTIFY, parse_notify, "notify"),
    raw_msg(SPICE_MSG_LIST, "list"),
    empty_msg(SPICE_MSG_BASE_LAST, "base_last"),
};

// Generation 1 has neither the list message nor 100.
const MessageEntry common_v1[] = {
    parsed_msg(SPICE_MSG_MIGRATE, parse_migrate, "migrate"),
    raw_msg(SPICE_MSG_MIGRATE_DATA, "migrate_data"),
    parsed_msg(SPICE_MSG_SET_ACK, parse_set_ack, "set_ack"),
    parsed_msg(SPICE_MSG_PING, parse_ping, "ping"),
    parsed_msg(SPICE_MSG_WAIT_FOR_CHANNELS, parse_wait_for_channels, "wait_for_channels"),
    parsed_msg(SPICE_MSG_DISCONNECTING, parse_disconnecting, "disconnecting"),
    parsed_msg(SPICE_MSG_NOTIFY, parse_notify, "notify"),
};

}  // namespace

const MessageTable common_messages_v2 = {"common", Gen::V2, common_v2,
                                         sizeof(common_v2) / sizeof(common_v2[0])};
const MessageTable common_messages_v1 = {"common", Gen::V1, common_v1,
                                         sizeof(common_v1) / sizeof(common_v1[0])};
