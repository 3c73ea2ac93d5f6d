// The client messages' value records and the two tables of their body writers, one per protocol generation.
//
// A record holds the widest form of each field: protocol-1 servers take some fields as u32 that the current
// protocol sends as u8 or u16, and the current table writes only the low bytes of those.
#pragma once

#include <cstdint>

#include "runtime/log.h"
#include "transport/protocol/marshaller.h"

struct SpiceMsgEmpty {};
struct SpiceMsgData {};  // the caller appends the data after the (empty) body

struct SpiceMsgcAckSync {
    uint32_t generation;
};
struct SpiceMsgcPong {
    uint32_t id;
    uint64_t timestamp;
};
struct SpiceMsgcDisconnecting {
    uint64_t time_stamp;
    uint32_t reason;
};

struct SpiceMsgcClientInfo {
    uint64_t cache_size;
};
struct SpiceMsgcMainMouseModeRequest {
    uint32_t mode;  // u16 on the wire
};
struct SpiceMsgcMainAgentStart {
    uint32_t num_tokens;
};
struct SpiceMsgcMainAgentTokens {
    uint32_t num_tokens;
};
struct SpiceMsgcMainMigrateDstDoSeamless {
    uint32_t src_version;
};

struct SpiceMsgcDisplayInit {
    uint8_t pixmap_cache_id;
    int64_t pixmap_cache_size;
    uint8_t glz_dictionary_id;
    int32_t glz_dictionary_window_size;
};
struct SpiceMsgcDisplayStreamReport {
    uint32_t stream_id;
    uint32_t unique_id;
    uint32_t start_frame_mm_time;
    uint32_t end_frame_mm_time;
    uint32_t num_frames;
    uint32_t num_drops;
    uint32_t last_frame_delay;
    uint32_t audio_delay;
};

struct SpiceMsgcKeyDown {
    uint32_t code;
};
struct SpiceMsgcKeyUp {
    uint32_t code;
};
struct SpiceMsgcKeyModifiers {
    uint32_t modifiers;  // u16 on the wire
};
struct SpiceMsgcMouseMotion {
    int32_t dx;
    int32_t dy;
    uint32_t buttons_state;  // u16 on the wire
};
struct SpiceMsgcMousePosition {
    uint32_t x;
    uint32_t y;
    uint32_t buttons_state;  // u16 on the wire
    uint8_t display_id;
};
struct SpiceMsgcMousePress {
    uint32_t button;         // u8 on the wire
    uint32_t buttons_state;  // u16 on the wire
};
struct SpiceMsgcMouseRelease {
    uint32_t button;         // u8 on the wire
    uint32_t buttons_state;  // u16 on the wire
};

// Record data and mode: the caller appends the samples or the mode data after the body.
struct SpiceMsgcRecordPacket {
    uint32_t time;
};
struct SpiceMsgcRecordMode {
    uint32_t time;
    uint32_t mode;  // u16 on the wire
};
struct SpiceMsgcRecordStartMark {
    uint32_t time;
};

// The name and description are pointer slots that stay 0: nothing fills them.
struct SpiceMsgcTunnelAddGenericService {
    uint16_t type;
    uint32_t id;
    uint32_t group;
    uint32_t port;
    uint16_t address_type;  // written for service type 2 only
    uint8_t address[4];     // written for address type 1 only
};
struct SpiceMsgcTunnelServiceRemove {
    uint32_t id;
};
struct SpiceMsgcTunnelSocketOpenAck {
    uint16_t connection_id;
    uint32_t tokens;
};
struct SpiceMsgcTunnelSocketOpenNack {
    uint16_t connection_id;
};
struct SpiceMsgcTunnelSocketFin {
    uint16_t connection_id;
};
struct SpiceMsgcTunnelSocketClosed {
    uint16_t connection_id;
};
struct SpiceMsgcTunnelSocketClosedAck {
    uint16_t connection_id;
};
struct SpiceMsgcTunnelSocketData {
    uint16_t connection_id;  // the caller appends the data
};
struct SpiceMsgcTunnelSocketTokens {
    uint16_t connection_id;
    uint32_t num_tokens;
};

struct SpiceMsgcPortEvent {
    uint8_t event;
};

// One body writer per client message. A null slot has no body in that protocol generation: see
// spice_marshall_message.
struct SpiceMessageMarshallers {
    void (*msg_SpiceMsgEmpty)(SpiceMarshaller* m, const SpiceMsgEmpty* msg);
    void (*msg_SpiceMsgData)(SpiceMarshaller* m, const SpiceMsgData* msg);
    void (*unused_2)(SpiceMarshaller* m, const void* msg);
    void (*unused_3)(SpiceMarshaller* m, const void* msg);
    void (*msgc_ack_sync)(SpiceMarshaller* m, const SpiceMsgcAckSync* msg);
    void (*msgc_pong)(SpiceMarshaller* m, const SpiceMsgcPong* msg);
    void (*msgc_disconnecting)(SpiceMarshaller* m, const SpiceMsgcDisconnecting* msg);
    void (*msgc_main_client_info)(SpiceMarshaller* m, const SpiceMsgcClientInfo* msg);
    void (*msgc_main_mouse_mode_request)(SpiceMarshaller* m, const SpiceMsgcMainMouseModeRequest* msg);
    void (*msgc_main_agent_start)(SpiceMarshaller* m, const SpiceMsgcMainAgentStart* msg);
    void (*msgc_main_agent_token)(SpiceMarshaller* m, const SpiceMsgcMainAgentTokens* msg);
    void (*msgc_main_migrate_dst_do_seamless)(SpiceMarshaller* m,
                                              const SpiceMsgcMainMigrateDstDoSeamless* msg);
    void (*msgc_display_init)(SpiceMarshaller* m, const SpiceMsgcDisplayInit* msg);
    void (*msgc_display_stream_report)(SpiceMarshaller* m, const SpiceMsgcDisplayStreamReport* msg);
    void (*msgc_inputs_key_down)(SpiceMarshaller* m, const SpiceMsgcKeyDown* msg);
    void (*msgc_inputs_key_up)(SpiceMarshaller* m, const SpiceMsgcKeyUp* msg);
    void (*msgc_inputs_key_modifiers)(SpiceMarshaller* m, const SpiceMsgcKeyModifiers* msg);
    void (*msgc_inputs_mouse_motion)(SpiceMarshaller* m, const SpiceMsgcMouseMotion* msg);
    void (*msgc_inputs_mouse_position)(SpiceMarshaller* m, const SpiceMsgcMousePosition* msg);
    void (*msgc_inputs_mouse_press)(SpiceMarshaller* m, const SpiceMsgcMousePress* msg);
    void (*msgc_inputs_mouse_release)(SpiceMarshaller* m, const SpiceMsgcMouseRelease* msg);
    void (*msgc_record_data)(SpiceMarshaller* m, const SpiceMsgcRecordPacket* msg);
    void (*msgc_record_mode)(SpiceMarshaller* m, const SpiceMsgcRecordMode* msg);
    void (*msgc_record_start_mark)(SpiceMarshaller* m, const SpiceMsgcRecordStartMark* msg);
    void (*msgc_tunnel_service_add)(SpiceMarshaller* m, const SpiceMsgcTunnelAddGenericService* msg);
    void (*msgc_tunnel_service_remove)(SpiceMarshaller* m, const SpiceMsgcTunnelServiceRemove* msg);
    void (*msgc_tunnel_socket_open_ack)(SpiceMarshaller* m, const SpiceMsgcTunnelSocketOpenAck* msg);
    void (*msgc_tunnel_socket_open_nack)(SpiceMarshaller* m, const SpiceMsgcTunnelSocketOpenNack* msg);
    void (*msgc_tunnel_socket_fin)(SpiceMarshaller* m, const SpiceMsgcTunnelSocketFin* msg);
    void (*msgc_tunnel_socket_closed)(SpiceMarshaller* m, const SpiceMsgcTunnelSocketClosed* msg);
    void (*msgc_tunnel_socket_closed_ack)(SpiceMarshaller* m, const SpiceMsgcTunnelSocketClosedAck* msg);
    void (*msgc_tunnel_socket_data)(SpiceMarshaller* m, const SpiceMsgcTunnelSocketData* msg);
    void (*msgc_tunnel_socket_token)(SpiceMarshaller* m, const SpiceMsgcTunnelSocketTokens* msg);
    void (*msgc_port_event)(SpiceMarshaller* m, const SpiceMsgcPortEvent* msg);
};

// The current protocol's table and protocol 1's. Both are constant and shared by every channel.
const SpiceMessageMarshallers* spice_message_marshallers_get();
const SpiceMessageMarshallers* spice_message_marshallers_get1();

// Writes a message body through a table slot and returns true; when the table's protocol generation has no
// writer for it, logs a warning naming the slot and returns false, and the caller drops the message.
template <typename Msg>
bool spice_marshall_message_with(void (*writer)(SpiceMarshaller*, const Msg*), const char* slot,
                                 SpiceMarshaller* m, const Msg* msg) {
    if (!writer) {
        spice_warning("no marshaller for %s in this protocol generation, message dropped", slot);
        return false;
    }
    writer(m, msg);
    return true;
}

// spice_marshall_message(marshallers, msgc_display_stream_report, m, &report)
#define spice_marshall_message(table, slot, m, msg) \
    spice_marshall_message_with((table)->slot, #slot, (m), (msg))
