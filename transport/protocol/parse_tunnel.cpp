// Tunnel channel messages. No server available to this project has a tunnel channel and the client never
// links one, so these layouts are unconfirmed; they only have to fail cleanly on bodies that do not fit.
#include "transport/protocol/parse_structs.h"

namespace {

void parse_init(ParseCtx& c) {
    SpiceMsgTunnelInit* m = c.b.record<SpiceMsgTunnelInit>();
    m->max_num_of_sockets = c.r.u16();
    m->max_socket_data_size = c.r.u32();
}

void parse_service_ip_map(ParseCtx& c) {
    SpiceMsgTunnelServiceIpMap* m = c.b.record<SpiceMsgTunnelServiceIpMap>();
    m->service_id = c.r.u32();
    uint16_t type = c.r.u16();
    m->virtual_ip_type = type;
    if (type != 0) {
        c.fail();  // only IPv4 has a known size
    }
    const uint8_t* ip = c.r.bytes(4);
    for (int i = 0; i < 4; i++) {
        m->virtual_ip[i] = ip ? ip[i] : 0;
    }
}

void parse_socket_open(ParseCtx& c) {
    SpiceMsgTunnelSocketOpen* m = c.b.record<SpiceMsgTunnelSocketOpen>();
    m->connection_id = c.r.u16();
    m->window_size = c.r.u32();
    m->buffer_size = c.r.u32();
}

void parse_socket(ParseCtx& c) {
    c.b.record<SpiceMsgTunnelSocket>()->connection_id = c.r.u16();
}

void parse_socket_data(ParseCtx& c) {
    SpiceMsgTunnelSocketData* m = c.b.record<SpiceMsgTunnelSocketData>();
    m->connection_id = c.r.u16();
    uint32_t size = 0;
    m->data = c.r.rest(&size);
    m->data_size = size;
}

void parse_socket_token(ParseCtx& c) {
    SpiceMsgTunnelSocketTokens* m = c.b.record<SpiceMsgTunnelSocketTokens>();
    m->connection_id = c.r.u16();
    m->num_tokens = c.r.u32();
}

const MessageEntry tunnel_entries[] = {
    parsed_msg(SPICE_MSG_TUNNEL_INIT, parse_init, "tunnel init"),
    parsed_msg(SPICE_MSG_TUNNEL_SERVICE_IP_MAP, parse_service_ip_map, "tunnel service_ip_map"),
    parsed_msg(SPICE_MSG_TUNNEL_SOCKET_OPEN, parse_socket_open, "tunnel socket_open"),
    parsed_msg(SPICE_MSG_TUNNEL_SOCKET_FIN, parse_socket, "tunnel socket_fin"),
    parsed_msg(SPICE_MSG_TUNNEL_SOCKET_CLOSE, parse_socket, "tunnel socket_close"),
    parsed_msg(SPICE_MSG_TUNNEL_SOCKET_DATA, parse_socket_data, "tunnel socket_data"),
    parsed_msg(SPICE_MSG_TUNNEL_SOCKET_CLOSED_ACK, parse_socket, "tunnel socket_closed_ack"),
    parsed_msg(SPICE_MSG_TUNNEL_SOCKET_TOKEN, parse_socket_token, "tunnel socket_token"),
};

}  // namespace

const MessageTable tunnel_messages_v2 = {"tunnel", Gen::V2, tunnel_entries,
                                         sizeof(tunnel_entries) / sizeof(tunnel_entries[0])};
