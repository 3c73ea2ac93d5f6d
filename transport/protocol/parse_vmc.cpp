// The byte-stream channels: USB redirection, port and WebDAV.
#include "transport/protocol/parse_structs.h"

#include "transport/protocol/extra_messages.h"

namespace {

void parse_port_init(ParseCtx& c) {
    SpiceMsgPortInit* m = c.b.record<SpiceMsgPortInit>();
    uint32_t size = c.r.u32();
    int64_t name = c.pointer();
    m->opened = c.r.u8();
    m->name_size = size;
    m->name = string_at(c, name, size, true);
}

void parse_port_event(ParseCtx& c) {
    c.b.record<SpiceMsgPortEvent>()->event = c.r.u8();
}

// Type 103 is the channel's stored maximum but has no parser.
const MessageEntry usbredir_entries[] = {
    raw_msg(SPICE_MSG_SPICEVMC_DATA, "usbredir data"),
    raw_msg(SPICE_MSG_USBREDIR_COMPRESSED_DATA, "usbredir compressed_data"),
};

const MessageEntry port_entries[] = {
    raw_msg(SPICE_MSG_SPICEVMC_DATA, "port data"),
    parsed_msg(SPICE_MSG_PORT_INIT, parse_port_init, "port init"),
    parsed_msg(SPICE_MSG_PORT_EVENT, parse_port_event, "port event"),
};

}  // namespace

const MessageTable usbredir_messages_v2 = {"usbredir", Gen::V2, usbredir_entries,
                                           sizeof(usbredir_entries) / sizeof(usbredir_entries[0])};
const MessageTable port_messages_v2 = {"port", Gen::V2, port_entries,
                                       sizeof(port_entries) / sizeof(port_entries[0])};
const MessageTable webdav_messages_v2 = {"webdav", Gen::V2, port_entries,
                                         sizeof(port_entries) / sizeof(port_entries[0])};
