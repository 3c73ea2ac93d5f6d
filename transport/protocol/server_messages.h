// Server messages: their parsed structures, the parser interface and the per-channel parser tables of both
// protocol generations (the current one, major version 2, and generation 1).
//
// A parser turns one message body into one heap block: the structure below followed by its variable parts,
// with its pointers into the same block (absent pointers are NULL). Byte runs marked "in the message" point
// into the received body, so the parsed block must not outlive it. Raw messages (migrate data, list, agent
// data, VMC data) are not parsed: the result is the body itself with a release that does nothing. Empty
// messages give a 1-byte block. Any failure (a body shorter than its layout, a count or offset past the end,
// a missing pointer that the layout requires, an unknown type) is logged as a warning and returns NULL;
// nothing of the body is changed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "transport/protocol/spice_types.h"

typedef void (*message_destructor_t)(uint8_t* message);

// Parser of one message layout: [message_start, message_end) is the body. minor is the link's remote minor
// version (generation 1 uses it). On success *size_out is the number of bytes of the result in use.
typedef uint8_t* (*parse_msg_func_t)(uint8_t* message_start, uint8_t* message_end, int minor,
                                     size_t* size_out, message_destructor_t* free_message);

// Parser of one channel type: picks the message parser by message type; NULL for a type it does not accept.
typedef uint8_t* (*spice_parse_channel_func_t)(uint8_t* message_start, uint8_t* message_end,
                                               uint16_t message_type, int minor, size_t* size_out,
                                               message_destructor_t* free_message);

struct SpiceChannelParser {
    spice_parse_channel_func_t parser;  // NULL for a channel type without messages
    uint16_t max_message_type;          // sizes a channel's handler table (max + 1 entries)
};

enum {
    SPICE_CHANNEL_MAIN = 1,
    SPICE_CHANNEL_DISPLAY = 2,
    SPICE_CHANNEL_INPUTS = 3,
    SPICE_CHANNEL_CURSOR = 4,
    SPICE_CHANNEL_PLAYBACK = 5,
    SPICE_CHANNEL_RECORD = 6,
    SPICE_CHANNEL_TUNNEL = 7,
    SPICE_CHANNEL_SMARTCARD = 8,
    SPICE_CHANNEL_USBREDIR = 9,
    SPICE_CHANNEL_PORT = 10,
    SPICE_CHANNEL_WEBDAV = 11,
};

// Indexed by channel type. Entry 0 and channels without messages hold {NULL, 0}.
extern const SpiceChannelParser server_channel_parsers[12];  // major version 2
extern const SpiceChannelParser server_channel_parsers1[7];  // major version 1
const size_t SERVER_CHANNEL_PARSERS_COUNT = 12;
const size_t SERVER_CHANNEL_PARSERS1_COUNT = 7;

// The table entry for a channel type and major version, or NULL when the table has no such entry.
const SpiceChannelParser* spice_get_server_channel_parser(uint8_t channel_type, int major_version);

// ---- Message types ----

enum {
    SPICE_MSG_MIGRATE = 1,
    SPICE_MSG_MIGRATE_DATA = 2,
    SPICE_MSG_SET_ACK = 3,
    SPICE_MSG_PING = 4,
    SPICE_MSG_WAIT_FOR_CHANNELS = 5,
    SPICE_MSG_DISCONNECTING = 6,
    SPICE_MSG_NOTIFY = 7,
    SPICE_MSG_LIST = 8,
    SPICE_MSG_BASE_LAST = 100,
};

enum {
    SPICE_MSG_MAIN_PONG = 10,
    SPICE_MSG_MAIN_MIGRATE_BEGIN = 101,
    SPICE_MSG_MAIN_MIGRATE_CANCEL,
    SPICE_MSG_MAIN_INIT,
    SPICE_MSG_MAIN_CHANNELS_LIST,
    SPICE_MSG_MAIN_MOUSE_MODE,
    SPICE_MSG_MAIN_MULTI_MEDIA_TIME,
    SPICE_MSG_MAIN_AGENT_CONNECTED,
    SPICE_MSG_MAIN_AGENT_DISCONNECTED,
    SPICE_MSG_MAIN_AGENT_DATA,
    SPICE_MSG_MAIN_AGENT_TOKEN,
    SPICE_MSG_MAIN_MIGRATE_SWITCH_HOST,
    SPICE_MSG_MAIN_MIGRATE_END,
    SPICE_MSG_MAIN_NAME,
    SPICE_MSG_MAIN_UUID,
    SPICE_MSG_MAIN_AGENT_CONNECTED_TOKENS,
    SPICE_MSG_MAIN_MIGRATE_BEGIN_SEAMLESS,
    SPICE_MSG_MAIN_MIGRATE_DST_SEAMLESS_ACK,
    SPICE_MSG_MAIN_MIGRATE_DST_SEAMLESS_NACK,
};

enum {
    SPICE_MSG_DISPLAY_MODE = 101,
    SPICE_MSG_DISPLAY_MARK,
    SPICE_MSG_DISPLAY_RESET,
    SPICE_MSG_DISPLAY_COPY_BITS,
    SPICE_MSG_DISPLAY_INVAL_LIST,
    SPICE_MSG_DISPLAY_INVAL_ALL_PIXMAPS,
    SPICE_MSG_DISPLAY_INVAL_PALETTE,
    SPICE_MSG_DISPLAY_INVAL_ALL_PALETTES,
    SPICE_MSG_DISPLAY_STREAM_CREATE = 122,
    SPICE_MSG_DISPLAY_STREAM_DATA,
    SPICE_MSG_DISPLAY_STREAM_CLIP,
    SPICE_MSG_DISPLAY_STREAM_DESTROY,
    SPICE_MSG_DISPLAY_STREAM_DESTROY_ALL,
    SPICE_MSG_DISPLAY_DRAW_FILL = 302,
    SPICE_MSG_DISPLAY_DRAW_OPAQUE,
    SPICE_MSG_DISPLAY_DRAW_COPY,
    SPICE_MSG_DISPLAY_DRAW_BLEND,
    SPICE_MSG_DISPLAY_DRAW_BLACKNESS,
    SPICE_MSG_DISPLAY_DRAW_WHITENESS,
    SPICE_MSG_DISPLAY_DRAW_INVERS,
    SPICE_MSG_DISPLAY_DRAW_ROP3,
    SPICE_MSG_DISPLAY_DRAW_STROKE,
    SPICE_MSG_DISPLAY_DRAW_TEXT,
    SPICE_MSG_DISPLAY_DRAW_TRANSPARENT,
    SPICE_MSG_DISPLAY_DRAW_ALPHA_BLEND,
    SPICE_MSG_DISPLAY_SURFACE_CREATE,
    SPICE_MSG_DISPLAY_SURFACE_DESTROY,
    SPICE_MSG_DISPLAY_STREAM_DATA_SIZED,
    SPICE_MSG_DISPLAY_MONITORS_CONFIG,
    SPICE_MSG_DISPLAY_DRAW_COMPOSITE,
    SPICE_MSG_DISPLAY_STREAM_ACTIVATE_REPORT,
};

enum {
    SPICE_MSG_INPUTS_INIT = 101,
    SPICE_MSG_INPUTS_KEY_MODIFIERS,
    SPICE_MSG_INPUTS_MOUSE_MOTION_ACK = 111,
};

enum {
    SPICE_MSG_CURSOR_INIT = 101,
    SPICE_MSG_CURSOR_RESET,
    SPICE_MSG_CURSOR_SET,
    SPICE_MSG_CURSOR_MOVE,
    SPICE_MSG_CURSOR_HIDE,
    SPICE_MSG_CURSOR_TRAIL,
    SPICE_MSG_CURSOR_INVAL_ONE,
    SPICE_MSG_CURSOR_INVAL_ALL,
};

enum {
    SPICE_MSG_PLAYBACK_DATA = 101,
    SPICE_MSG_PLAYBACK_MODE,
    SPICE_MSG_PLAYBACK_START,
    SPICE_MSG_PLAYBACK_STOP,
    SPICE_MSG_PLAYBACK_VOLUME,
    SPICE_MSG_PLAYBACK_MUTE,
    SPICE_MSG_PLAYBACK_LATENCY,
};

enum {
    SPICE_MSG_RECORD_START = 101,
    SPICE_MSG_RECORD_STOP,
    SPICE_MSG_RECORD_VOLUME,
    SPICE_MSG_RECORD_MUTE,
};

enum {
    SPICE_MSG_TUNNEL_INIT = 101,
    SPICE_MSG_TUNNEL_SERVICE_IP_MAP,
    SPICE_MSG_TUNNEL_SOCKET_OPEN,
    SPICE_MSG_TUNNEL_SOCKET_FIN,
    SPICE_MSG_TUNNEL_SOCKET_CLOSE,
    SPICE_MSG_TUNNEL_SOCKET_DATA,
    SPICE_MSG_TUNNEL_SOCKET_CLOSED_ACK,
    SPICE_MSG_TUNNEL_SOCKET_TOKEN,
};

enum {
    SPICE_MSG_SPICEVMC_DATA = 101,
    SPICE_MSG_PORT_INIT = 201,
    SPICE_MSG_PORT_EVENT,
};

// ---- Messages common to every channel ----

struct SpiceMsgMigrate {
    uint32_t flags;
};

struct SpiceMsgSetAck {
    uint32_t generation;
    uint32_t window;
};

// Also the main channel's pong (type 10).
struct SpiceMsgPing {
    uint32_t id;
    uint64_t timestamp;
    const uint8_t* data;  // in the message: every byte after the first 12
    uint32_t data_len;
};

struct SpiceWaitForChannel {
    uint8_t channel_type;
    uint8_t channel_id;
    uint64_t message_serial;
};

// Also SPICE_MSG_DISPLAY_INVAL_ALL_PIXMAPS.
struct SpiceMsgWaitForChannels {
    uint8_t wait_count;
    SpiceWaitForChannel* wait_list;
};

struct SpiceMsgDisconnect {
    uint64_t time_stamp;
    uint32_t reason;
};

struct SpiceMsgNotify {
    uint64_t time_stamp;
    uint32_t severity;
    uint32_t visibility;
    uint32_t what;
    uint32_t message_len;
    char* message;  // message_len bytes, always followed by a NUL
};

// ---- Main channel ----

// Strings are copied and always NUL-terminated; a size counts the sender's bytes (its NUL included). A
// major-2 server sends no public key: pub_key_type and pub_key_size are then 0 and pub_key_data NULL.
struct SpiceMigrationDstInfo {
    uint16_t port;
    uint16_t sport;  // 0xFFFF: none
    uint32_t host_size;
    char* host_data;  // never NULL
    uint16_t pub_key_type;
    uint32_t pub_key_size;
    uint8_t* pub_key_data;
    uint32_t cert_subject_size;
    char* cert_subject_data;  // NULL: none
};

struct SpiceMsgMainMigrationBegin {
    SpiceMigrationDstInfo dst_info;
};

struct SpiceMsgMainMigrateBeginSeamless {
    SpiceMigrationDstInfo dst_info;
    uint32_t src_mig_version;
};

struct SpiceMsgMainMigrationSwitchHost {
    uint16_t port;
    uint16_t sport;
    uint32_t host_size;
    char* host_data;  // never NULL
    uint32_t cert_subject_size;
    char* cert_subject_data;  // NULL: none
};

struct SpiceMsgMainInit {
    uint32_t session_id;
    uint32_t display_channels_hint;
    uint32_t supported_mouse_modes;
    uint32_t current_mouse_mode;
    uint32_t agent_connected;
    uint32_t agent_tokens;
    uint32_t multi_media_time;
    uint32_t ram_hint;
};

struct SpiceChannelId {
    uint8_t type;
    uint8_t id;
};

struct SpiceMsgChannels {
    uint32_t num_of_channels;
    SpiceChannelId* channels;
};

// Two u16 on the wire from a major-2 server, two u32 from generation 1.
struct SpiceMsgMainMouseMode {
    uint32_t supported_modes;
    uint32_t current_mode;
};

struct SpiceMsgMainMultiMediaTime {
    uint32_t time;
};

struct SpiceMsgMainAgentDisconnect {
    uint32_t error_code;
};

// SPICE_MSG_MAIN_AGENT_TOKEN and SPICE_MSG_MAIN_AGENT_CONNECTED_TOKENS.
struct SpiceMsgMainAgentTokens {
    uint32_t num_tokens;
};

struct SpiceMsgMainName {
    uint32_t name_len;
    char* name;  // name_len bytes, always followed by a NUL
};

struct SpiceMsgMainUuid {
    uint8_t uuid[16];
};

// ---- Display channel ----

struct SpiceMsgDisplayMode {
    uint32_t x_res;
    uint32_t y_res;
    uint32_t bits;
};

struct SpiceMsgDisplayCopyBits {
    SpiceMsgDisplayBase base;
    SpicePoint src_pos;
};

struct SpiceResourceID {
    uint8_t type;
    uint64_t id;
};

struct SpiceMsgDisplayInvalList {
    uint16_t count;
    SpiceResourceID* resources;
};

struct SpiceMsgDisplayInvalOne {
    uint64_t id;
};

enum {
    SPICE_VIDEO_CODEC_TYPE_MJPEG = 1,
};

enum {
    SPICE_STREAM_FLAGS_TOP_DOWN = 1 << 0,
};

// Generation 1 has no surface id (0 here) and a u32 flags and codec, refused above 255.
struct SpiceMsgDisplayStreamCreate {
    uint32_t surface_id;
    uint32_t id;
    uint8_t flags;
    uint8_t codec_type;
    uint64_t stamp;
    uint32_t stream_width;
    uint32_t stream_height;
    uint32_t src_width;
    uint32_t src_height;
    SpiceRect dest;
    SpiceClip clip;
};

struct SpiceStreamDataHeader {
    uint32_t id;
    uint32_t multi_media_time;
};

struct SpiceMsgDisplayStreamData {
    SpiceStreamDataHeader base;
    uint32_t data_size;
    const uint8_t* data;  // in the message
};

struct SpiceMsgDisplayStreamDataSized {
    SpiceStreamDataHeader base;
    uint32_t width;
    uint32_t height;
    SpiceRect dest;
    uint32_t data_size;
    const uint8_t* data;  // in the message
};

struct SpiceMsgDisplayStreamClip {
    uint32_t id;
    SpiceClip clip;
};

struct SpiceMsgDisplayStreamDestroy {
    uint32_t id;
};

struct SpiceMsgDisplayStreamActivateReport {
    uint32_t stream_id;
    uint32_t unique_id;
    uint32_t max_window_size;
    uint32_t timeout_ms;
};

struct SpiceMsgDisplayDrawFill {
    SpiceMsgDisplayBase base;
    SpiceFill data;
};

struct SpiceMsgDisplayDrawOpaque {
    SpiceMsgDisplayBase base;
    SpiceOpaque data;
};

struct SpiceMsgDisplayDrawCopy {
    SpiceMsgDisplayBase base;
    SpiceCopy data;
};
typedef SpiceMsgDisplayDrawCopy SpiceMsgDisplayDrawBlend;

struct SpiceMsgDisplayDrawBlackness {
    SpiceMsgDisplayBase base;
    SpiceBlackness data;
};
typedef SpiceMsgDisplayDrawBlackness SpiceMsgDisplayDrawWhiteness;
typedef SpiceMsgDisplayDrawBlackness SpiceMsgDisplayDrawInvers;

struct SpiceMsgDisplayDrawRop3 {
    SpiceMsgDisplayBase base;
    SpiceRop3 data;
};

struct SpiceMsgDisplayDrawStroke {
    SpiceMsgDisplayBase base;
    SpiceStroke data;
};

struct SpiceMsgDisplayDrawText {
    SpiceMsgDisplayBase base;
    SpiceText data;
};

struct SpiceMsgDisplayDrawTransparent {
    SpiceMsgDisplayBase base;
    SpiceTransparent data;
};

struct SpiceMsgDisplayDrawAlphaBlend {
    SpiceMsgDisplayBase base;
    SpiceAlphaBlend data;
};

struct SpiceMsgDisplayDrawComposite {
    SpiceMsgDisplayBase base;
    SpiceComposite data;
};

enum {
    SPICE_SURFACE_FLAGS_PRIMARY = 1 << 0,
};

struct SpiceMsgSurfaceCreate {
    uint32_t surface_id;
    uint32_t width;
    uint32_t height;
    uint32_t format;
    uint32_t flags;
};

struct SpiceMsgSurfaceDestroy {
    uint32_t surface_id;
};

struct SpiceHead {
    uint32_t id;
    uint32_t surface_id;
    uint32_t width;
    uint32_t height;
    uint32_t x;
    uint32_t y;
    uint32_t flags;
};

struct SpiceMsgDisplayMonitorsConfig {
    uint16_t count;
    uint16_t max_allowed;
    SpiceHead* heads;
};

// ---- Inputs channel ----

// A u16 on the wire from a major-2 server, a u32 from generation 1.
struct SpiceMsgInputsInit {
    uint32_t keyboard_modifiers;
};
typedef SpiceMsgInputsInit SpiceMsgInputsKeyModifiers;

// ---- Cursor channel ----

enum {
    SPICE_CURSOR_FLAGS_NONE = 1 << 0,
    SPICE_CURSOR_FLAGS_CACHE_ME = 1 << 1,
    SPICE_CURSOR_FLAGS_FROM_CACHE = 1 << 2,
};

enum {
    SPICE_CURSOR_TYPE_ALPHA = 0,
    SPICE_CURSOR_TYPE_MONO = 1,
    SPICE_CURSOR_TYPE_COLOR4 = 2,
    SPICE_CURSOR_TYPE_COLOR8 = 3,
    SPICE_CURSOR_TYPE_COLOR16 = 4,
    SPICE_CURSOR_TYPE_COLOR24 = 5,
    SPICE_CURSOR_TYPE_COLOR32 = 6,
};

struct SpiceCursorHeader {
    uint64_t unique;
    uint16_t type;
    uint16_t width;
    uint16_t height;
    uint16_t hot_spot_x;
    uint16_t hot_spot_y;
};

// With SPICE_CURSOR_FLAGS_NONE (major 2) the header is zero and there is no data. The data is not checked
// against the shape's type and size: its reader must do that.
struct SpiceCursor {
    uint32_t flags;
    SpiceCursorHeader header;
    uint32_t data_size;
    const uint8_t* data;  // in the message: every byte after the header
};

struct SpiceMsgCursorInit {
    SpicePoint16 position;
    uint16_t trail_length;
    uint16_t trail_frequency;
    uint8_t visible;
    SpiceCursor cursor;
};

struct SpiceMsgCursorSet {
    SpicePoint16 position;
    uint8_t visible;
    SpiceCursor cursor;
};

struct SpiceMsgCursorMove {
    SpicePoint16 position;
};

struct SpiceMsgCursorTrail {
    uint16_t length;
    uint16_t frequency;
};

struct SpiceMsgCursorInvalOne {
    uint64_t id;
};

// ---- Playback and record channels ----

struct SpiceMsgPlaybackPacket {
    uint32_t time;
    const uint8_t* data;  // in the message: every byte after the time
    uint32_t data_size;
};

// mode is a u16 on the wire from a major-2 server, a u32 from generation 1.
struct SpiceMsgPlaybackMode {
    uint32_t time;
    uint32_t mode;
    const uint8_t* data;  // in the message: every byte after the mode
    uint32_t data_size;
};

// format is a u16 on the wire from a major-2 server, a u32 from generation 1, which also has no time (0
// here).
struct SpiceMsgPlaybackStart {
    uint32_t channels;
    uint32_t format;
    uint32_t frequency;
    uint32_t time;
};

struct SpiceMsgRecordStart {
    uint32_t channels;
    uint32_t format;
    uint32_t frequency;
};

struct SpiceMsgAudioVolume {
    uint8_t nchannels;
    uint16_t* volume;
};

struct SpiceMsgAudioMute {
    uint8_t mute;
};

struct SpiceMsgPlaybackLatency {
    uint32_t latency_ms;
};

// ---- Tunnel channel (layouts unconfirmed; the client never links this channel) ----

struct SpiceMsgTunnelInit {
    uint16_t max_num_of_sockets;
    uint32_t max_socket_data_size;
};

struct SpiceMsgTunnelServiceIpMap {
    uint32_t service_id;
    uint16_t virtual_ip_type;  // only 0 (IPv4) is accepted
    uint8_t virtual_ip[4];
};

struct SpiceMsgTunnelSocketOpen {
    uint16_t connection_id;
    uint32_t window_size;
    uint32_t buffer_size;
};

// FIN, CLOSE and CLOSED_ACK.
struct SpiceMsgTunnelSocket {
    uint16_t connection_id;
};

struct SpiceMsgTunnelSocketData {
    uint16_t connection_id;
    const uint8_t* data;  // in the message
    uint32_t data_size;
};

struct SpiceMsgTunnelSocketTokens {
    uint16_t connection_id;
    uint32_t num_tokens;
};

// ---- Port and WebDAV channels ----

struct SpiceMsgPortInit {
    uint32_t name_size;
    char* name;  // never NULL; always NUL-terminated
    uint8_t opened;
};

struct SpiceMsgPortEvent {
    uint8_t event;
};
