#include "transport/protocol/client_marshallers.h"

namespace {

constexpr uint16_t TUNNEL_SERVICE_TYPE_IPP = 2;
constexpr uint16_t TUNNEL_IP_TYPE_IPV4 = 1;

void put8(SpiceMarshaller* m, uint32_t v) {
    spice_marshaller_add_uint8(m, static_cast<uint8_t>(v));
}

void put16(SpiceMarshaller* m, uint32_t v) {
    spice_marshaller_add_uint16(m, static_cast<uint16_t>(v));
}

void put32(SpiceMarshaller* m, uint32_t v) {
    spice_marshaller_add_uint32(m, v);
}

void put64(SpiceMarshaller* m, uint64_t v) {
    spice_marshaller_add_uint64(m, v);
}

// Bodies shared by both protocol generations.

void marshall_empty(SpiceMarshaller*, const SpiceMsgEmpty*) {}

void marshall_data(SpiceMarshaller*, const SpiceMsgData*) {}

void marshall_ack_sync(SpiceMarshaller* m, const SpiceMsgcAckSync* msg) {
    put32(m, msg->generation);
}

void marshall_pong(SpiceMarshaller* m, const SpiceMsgcPong* msg) {
    put32(m, msg->id);
    put64(m, msg->timestamp);
}

void marshall_disconnecting(SpiceMarshaller* m, const SpiceMsgcDisconnecting* msg) {
    put64(m, msg->time_stamp);
    put32(m, msg->reason);
}

void marshall_main_client_info(SpiceMarshaller* m, const SpiceMsgcClientInfo* msg) {
    put64(m, msg->cache_size);
}

void marshall_main_agent_start(SpiceMarshaller* m, const SpiceMsgcMainAgentStart* msg) {
    put32(m, msg->num_tokens);
}

void marshall_main_agent_token(SpiceMarshaller* m, const SpiceMsgcMainAgentTokens* msg) {
    put32(m, msg->num_tokens);
}

void marshall_display_init(SpiceMarshaller* m, const SpiceMsgcDisplayInit* msg) {
    put8(m, msg->pixmap_cache_id);
    spice_marshaller_add_int64(m, msg->pixmap_cache_size);
    put8(m, msg->glz_dictionary_id);
    spice_marshaller_add_int32(m, msg->glz_dictionary_window_size);
}

void marshall_inputs_key_down(SpiceMarshaller* m, const SpiceMsgcKeyDown* msg) {
    put32(m, msg->code);
}

void marshall_inputs_key_up(SpiceMarshaller* m, const SpiceMsgcKeyUp* msg) {
    put32(m, msg->code);
}

void marshall_record_data(SpiceMarshaller* m, const SpiceMsgcRecordPacket* msg) {
    put32(m, msg->time);
}

void marshall_record_start_mark(SpiceMarshaller* m, const SpiceMsgcRecordStartMark* msg) {
    put32(m, msg->time);
}

// Current protocol only, or narrower than protocol 1.

void marshall_main_mouse_mode_request(SpiceMarshaller* m, const SpiceMsgcMainMouseModeRequest* msg) {
    put16(m, msg->mode);
}

void marshall_main_migrate_dst_do_seamless(SpiceMarshaller* m, const SpiceMsgcMainMigrateDstDoSeamless* msg) {
    put32(m, msg->src_version);
}

void marshall_display_stream_report(SpiceMarshaller* m, const SpiceMsgcDisplayStreamReport* msg) {
    put32(m, msg->stream_id);
    put32(m, msg->unique_id);
    put32(m, msg->start_frame_mm_time);
    put32(m, msg->end_frame_mm_time);
    put32(m, msg->num_frames);
    put32(m, msg->num_drops);
    put32(m, msg->last_frame_delay);
    put32(m, msg->audio_delay);
}

void marshall_inputs_key_modifiers(SpiceMarshaller* m, const SpiceMsgcKeyModifiers* msg) {
    put16(m, msg->modifiers);
}

void marshall_inputs_mouse_motion(SpiceMarshaller* m, const SpiceMsgcMouseMotion* msg) {
    spice_marshaller_add_int32(m, msg->dx);
    spice_marshaller_add_int32(m, msg->dy);
    put16(m, msg->buttons_state);
}

void marshall_inputs_mouse_position(SpiceMarshaller* m, const SpiceMsgcMousePosition* msg) {
    put32(m, msg->x);
    put32(m, msg->y);
    put16(m, msg->buttons_state);
    put8(m, msg->display_id);
}

void marshall_inputs_mouse_press(SpiceMarshaller* m, const SpiceMsgcMousePress* msg) {
    put8(m, msg->button);
    put16(m, msg->buttons_state);
}

void marshall_inputs_mouse_release(SpiceMarshaller* m, const SpiceMsgcMouseRelease* msg) {
    put8(m, msg->button);
    put16(m, msg->buttons_state);
}

void marshall_record_mode(SpiceMarshaller* m, const SpiceMsgcRecordMode* msg) {
    put32(m, msg->time);
    put16(m, msg->mode);
}

void marshall_tunnel_service_add(SpiceMarshaller* m, const SpiceMsgcTunnelAddGenericService* msg) {
    put16(m, msg->type);
    put32(m, msg->id);
    put32(m, msg->group);
    put32(m, msg->port);
    spice_marshaller_add_sub(m);  // name
    spice_marshaller_add_sub(m);  // description
    if (msg->type == TUNNEL_SERVICE_TYPE_IPP) {
        put16(m, msg->address_type);
        if (msg->address_type == TUNNEL_IP_TYPE_IPV4) {
            for (uint8_t byte : msg->address) {
                put8(m, byte);
            }
        }
    }
}

void marshall_tunnel_service_remove(SpiceMarshaller* m, const SpiceMsgcTunnelServiceRemove* msg) {
    put32(m, msg->id);
}

void marshall_tunnel_socket_open_ack(SpiceMarshaller* m, const SpiceMsgcTunnelSocketOpenAck* msg) {
    put16(m, msg->connection_id);
    put32(m, msg->tokens);
}

void marshall_tunnel_socket_open_nack(SpiceMarshaller* m, const SpiceMsgcTunnelSocketOpenNack* msg) {
    put16(m, msg->connection_id);
}

void marshall_tunnel_socket_fin(SpiceMarshaller* m, const SpiceMsgcTunnelSocketFin* msg) {
    put16(m, msg->connection_id);
}

void marshall_tunnel_socket_closed(SpiceMarshaller* m, const SpiceMsgcTunnelSocketClosed* msg) {
    put16(m, msg->connection_id);
}

void marshall_tunnel_socket_closed_ack(SpiceMarshaller* m, const SpiceMsgcTunnelSocketClosedAck* msg) {
    put16(m, msg->connection_id);
}

void marshall_tunnel_socket_data(SpiceMarshaller* m, const SpiceMsgcTunnelSocketData* msg) {
    put16(m, msg->connection_id);
}

void marshall_tunnel_socket_token(SpiceMarshaller* m, const SpiceMsgcTunnelSocketTokens* msg) {
    put16(m, msg->connection_id);
    put32(m, msg->num_tokens);
}

void marshall_port_event(SpiceMarshaller* m, const SpiceMsgcPortEvent* msg) {
    put8(m, msg->event);
}

// Protocol 1: the same fields, some of them wider.

void marshall_main_mouse_mode_request1(SpiceMarshaller* m, const SpiceMsgcMainMouseModeRequest* msg) {
    put32(m, msg->mode);
}

void marshall_inputs_key_modifiers1(SpiceMarshaller* m, const SpiceMsgcKeyModifiers* msg) {
    put32(m, msg->modifiers);
}

void marshall_inputs_mouse_motion1(SpiceMarshaller* m, const SpiceMsgcMouseMotion* msg) {
    spice_marshaller_add_int32(m, msg->dx);
    spice_marshaller_add_int32(m, msg->dy);
    put32(m, msg->buttons_state);
}

void marshall_inputs_mouse_position1(SpiceMarshaller* m, const SpiceMsgcMousePosition* msg) {
    put32(m, msg->x);
    put32(m, msg->y);
    put32(m, msg->buttons_state);
    put8(m, msg->display_id);
}

void marshall_inputs_mouse_press1(SpiceMarshaller* m, const SpiceMsgcMousePress* msg) {
    put32(m, msg->button);
    put32(m, msg->buttons_state);
}

void marshall_inputs_mouse_release1(SpiceMarshaller* m, const SpiceMsgcMouseRelease* msg) {
    put32(m, msg->button);
    put32(m, msg->buttons_state);
}

void marshall_record_mode1(SpiceMarshaller* m, const SpiceMsgcRecordMode* msg) {
    put32(m, msg->time);
    put32(m, msg->mode);
}

static_assert(sizeof(SpiceMessageMarshallers) == 34 * sizeof(void (*)()), "one slot per client message");

// Constant tables: every channel fetches them at each connect, from its own thread, so they are never
// written.
constexpr SpiceMessageMarshallers current_marshallers = {
    marshall_empty,
    marshall_data,
    nullptr,
    nullptr,
    marshall_ack_sync,
    marshall_pong,
    marshall_disconnecting,
    marshall_main_client_info,
    marshall_main_mouse_mode_request,
    marshall_main_agent_start,
    marshall_main_agent_token,
    marshall_main_migrate_dst_do_seamless,
    marshall_display_init,
    marshall_display_stream_report,
    marshall_inputs_key_down,
    marshall_inputs_key_up,
    marshall_inputs_key_modifiers,
    marshall_inputs_mouse_motion,
    marshall_inputs_mouse_position,
    marshall_inputs_mouse_press,
    marshall_inputs_mouse_release,
    marshall_record_data,
    marshall_record_mode,
    marshall_record_start_mark,
    marshall_tunnel_service_add,
    marshall_tunnel_service_remove,
    marshall_tunnel_socket_open_ack,
    marshall_tunnel_socket_open_nack,
    marshall_tunnel_socket_fin,
    marshall_tunnel_socket_closed,
    marshall_tunnel_socket_closed_ack,
    marshall_tunnel_socket_data,
    marshall_tunnel_socket_token,
    marshall_port_event,
};

constexpr SpiceMessageMarshallers protocol1_marshallers = {
    marshall_empty,
    marshall_data,
    nullptr,
    nullptr,
    marshall_ack_sync,
    marshall_pong,
    marshall_disconnecting,
    marshall_main_client_info,
    marshall_main_mouse_mode_request1,
    marshall_main_agent_start,
    marshall_main_agent_token,
    nullptr,  // migrate dst do seamless
    marshall_display_init,
    nullptr,  // display stream report
    marshall_inputs_key_down,
    marshall_inputs_key_up,
    marshall_inputs_key_modifiers1,
    marshall_inputs_mouse_motion1,
    marshall_inputs_mouse_position1,
    marshall_inputs_mouse_press1,
    marshall_inputs_mouse_release1,
    marshall_record_data,
    marshall_record_mode1,
    marshall_record_start_mark,
    // the tunnel and port messages have no protocol-1 form
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

const SpiceMessageMarshallers* spice_message_marshallers_get() {
    return &current_marshallers;
}

const SpiceMessageMarshallers* spice_message_marshallers_get1() {
    return &protocol1_marshallers;
}
