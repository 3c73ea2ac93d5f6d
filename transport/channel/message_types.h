// The parsed structure of each server message type, by channel type: what MessageHandlerImp hands a handler.
// ServerMessage<channel_type, message_type>::Type is the structure the channel's parser builds for that type,
// SpiceRawBody for a raw message (the body itself), SpiceEmptyBody for an empty one, and void for a type the
// channel does not have. The lists below are the one place of this mapping; a test holds them to the parser
// tables of both generations.
//
// The list message (SPICE_MSG_LIST) is absent: MessageHandlerImp splits it and dispatches its sub-messages.
#pragma once

#include <cstdint>

#include "transport/protocol/extra_messages.h"
#include "transport/protocol/server_messages.h"

// A raw message: the received body, unparsed. Valid while the handler runs.
struct SpiceRawBody {
    const uint8_t* data;
    uint32_t size;
};

// An empty message: its handler takes no argument.
struct SpiceEmptyBody {};

// The messages every channel has: X(message_type, Structure).
#define KTW_COMMON_SERVER_MESSAGES(X)                       \
    X(SPICE_MSG_MIGRATE, SpiceMsgMigrate)                   \
    X(SPICE_MSG_MIGRATE_DATA, SpiceRawBody)                 \
    X(SPICE_MSG_SET_ACK, SpiceMsgSetAck)                    \
    X(SPICE_MSG_PING, SpiceMsgPing)                         \
    X(SPICE_MSG_WAIT_FOR_CHANNELS, SpiceMsgWaitForChannels) \
    X(SPICE_MSG_DISCONNECTING, SpiceMsgDisconnect)          \
    X(SPICE_MSG_NOTIFY, SpiceMsgNotify)                     \
    X(SPICE_MSG_BASE_LAST, SpiceEmptyBody)

// The messages of one channel type: X(channel_type, message_type, Structure).
#define KTW_CHANNEL_SERVER_MESSAGES(X)                                                                      \
    X(SPICE_CHANNEL_MAIN, SPICE_MSG_MAIN_PONG, SpiceMsgPing)                                                \
    X(SPICE_CHANNEL_MAIN, SPICE_MSG_MAIN_MIGRATE_BEGIN, SpiceMsgMainMigrationBegin)                         \
    X(SPICE_CHANNEL_MAIN, SPICE_MSG_MAIN_MIGRATE_CANCEL, SpiceEmptyBody)                                    \
    X(SPICE_CHANNEL_MAIN, SPICE_MSG_MAIN_INIT, SpiceMsgMainInit)                                            \
    X(SPICE_CHANNEL_MAIN, SPICE_MSG_MAIN_CHANNELS_LIST, SpiceMsgChannels)                                   \
    X(SPICE_CHANNEL_MAIN, SPICE_MSG_MAIN_MOUSE_MODE, SpiceMsgMainMouseMode)                                 \
    X(SPICE_CHANNEL_MAIN, SPICE_MSG_MAIN_MULTI_MEDIA_TIME, SpiceMsgMainMultiMediaTime)                      \
    X(SPICE_CHANNEL_MAIN, SPICE_MSG_MAIN_AGENT_CONNECTED, SpiceEmptyBody)                                   \
    X(SPICE_CHANNEL_MAIN, SPICE_MSG_MAIN_AGENT_DISCONNECTED, SpiceMsgMainAgentDisconnect)                   \
    X(SPICE_CHANNEL_MAIN, SPICE_MSG_MAIN_AGENT_DATA, SpiceRawBody)                                          \
    X(SPICE_CHANNEL_MAIN, SPICE_MSG_MAIN_AGENT_TOKEN, SpiceMsgMainAgentTokens)                              \
    X(SPICE_CHANNEL_MAIN, SPICE_MSG_MAIN_MIGRATE_SWITCH_HOST, SpiceMsgMainMigrationSwitchHost)              \
    X(SPICE_CHANNEL_MAIN, SPICE_MSG_MAIN_MIGRATE_END, SpiceEmptyBody)                                       \
    X(SPICE_CHANNEL_MAIN, SPICE_MSG_MAIN_NAME, SpiceMsgMainName)                                            \
    X(SPICE_CHANNEL_MAIN, SPICE_MSG_MAIN_UUID, SpiceMsgMainUuid)                                            \
    X(SPICE_CHANNEL_MAIN, SPICE_MSG_MAIN_AGENT_CONNECTED_TOKENS, SpiceMsgMainAgentTokens)                   \
    X(SPICE_CHANNEL_MAIN, SPICE_MSG_MAIN_MIGRATE_BEGIN_SEAMLESS, SpiceMsgMainMigrateBeginSeamless)          \
    X(SPICE_CHANNEL_MAIN, SPICE_MSG_MAIN_MIGRATE_DST_SEAMLESS_ACK, SpiceEmptyBody)                          \
    X(SPICE_CHANNEL_MAIN, SPICE_MSG_MAIN_MIGRATE_DST_SEAMLESS_NACK, SpiceEmptyBody)                         \
    X(SPICE_CHANNEL_DISPLAY, SPICE_MSG_DISPLAY_MODE, SpiceMsgDisplayMode)                                   \
    X(SPICE_CHANNEL_DISPLAY, SPICE_MSG_DISPLAY_MARK, SpiceEmptyBody)                                        \
    X(SPICE_CHANNEL_DISPLAY, SPICE_MSG_DISPLAY_RESET, SpiceEmptyBody)                                       \
    X(SPICE_CHANNEL_DISPLAY, SPICE_MSG_DISPLAY_COPY_BITS, SpiceMsgDisplayCopyBits)                          \
    X(SPICE_CHANNEL_DISPLAY, SPICE_MSG_DISPLAY_INVAL_LIST, SpiceMsgDisplayInvalList)                        \
    X(SPICE_CHANNEL_DISPLAY, SPICE_MSG_DISPLAY_INVAL_ALL_PIXMAPS, SpiceMsgWaitForChannels)                  \
    X(SPICE_CHANNEL_DISPLAY, SPICE_MSG_DISPLAY_INVAL_PALETTE, SpiceMsgDisplayInvalOne)                      \
    X(SPICE_CHANNEL_DISPLAY, SPICE_MSG_DISPLAY_INVAL_ALL_PALETTES, SpiceEmptyBody)                          \
    X(SPICE_CHANNEL_DISPLAY, SPICE_MSG_DISPLAY_STREAM_CREATE, SpiceMsgDisplayStreamCreate)                  \
    X(SPICE_CHANNEL_DISPLAY, SPICE_MSG_DISPLAY_STREAM_DATA, SpiceMsgDisplayStreamData)                      \
    X(SPICE_CHANNEL_DISPLAY, SPICE_MSG_DISPLAY_STREAM_CLIP, SpiceMsgDisplayStreamClip)                      \
    X(SPICE_CHANNEL_DISPLAY, SPICE_MSG_DISPLAY_STREAM_DESTROY, SpiceMsgDisplayStreamDestroy)                \
    X(SPICE_CHANNEL_DISPLAY, SPICE_MSG_DISPLAY_STREAM_DESTROY_ALL, SpiceEmptyBody)                          \
    X(SPICE_CHANNEL_DISPLAY, SPICE_MSG_DISPLAY_DRAW_FILL, SpiceMsgDisplayDrawFill)                          \
    X(SPICE_CHANNEL_DISPLAY, SPICE_MSG_DISPLAY_DRAW_OPAQUE, SpiceMsgDisplayDrawOpaque)                      \
    X(SPICE_CHANNEL_DISPLAY, SPICE_MSG_DISPLAY_DRAW_COPY, SpiceMsgDisplayDrawCopy)                          \
    X(SPICE_CHANNEL_DISPLAY, SPICE_MSG_DISPLAY_DRAW_BLEND, SpiceMsgDisplayDrawBlend)                        \
    X(SPICE_CHANNEL_DISPLAY, SPICE_MSG_DISPLAY_DRAW_BLACKNESS, SpiceMsgDisplayDrawBlackness)                \
    X(SPICE_CHANNEL_DISPLAY, SPICE_MSG_DISPLAY_DRAW_WHITENESS, SpiceMsgDisplayDrawWhiteness)                \
    X(SPICE_CHANNEL_DISPLAY, SPICE_MSG_DISPLAY_DRAW_INVERS, SpiceMsgDisplayDrawInvers)                      \
    X(SPICE_CHANNEL_DISPLAY, SPICE_MSG_DISPLAY_DRAW_ROP3, SpiceMsgDisplayDrawRop3)                          \
    X(SPICE_CHANNEL_DISPLAY, SPICE_MSG_DISPLAY_DRAW_STROKE, SpiceMsgDisplayDrawStroke)                      \
    X(SPICE_CHANNEL_DISPLAY, SPICE_MSG_DISPLAY_DRAW_TEXT, SpiceMsgDisplayDrawText)                          \
    X(SPICE_CHANNEL_DISPLAY, SPICE_MSG_DISPLAY_DRAW_TRANSPARENT, SpiceMsgDisplayDrawTransparent)            \
    X(SPICE_CHANNEL_DISPLAY, SPICE_MSG_DISPLAY_DRAW_ALPHA_BLEND, SpiceMsgDisplayDrawAlphaBlend)             \
    X(SPICE_CHANNEL_DISPLAY, SPICE_MSG_DISPLAY_SURFACE_CREATE, SpiceMsgSurfaceCreate)                       \
    X(SPICE_CHANNEL_DISPLAY, SPICE_MSG_DISPLAY_SURFACE_DESTROY, SpiceMsgSurfaceDestroy)                     \
    X(SPICE_CHANNEL_DISPLAY, SPICE_MSG_DISPLAY_STREAM_DATA_SIZED, SpiceMsgDisplayStreamDataSized)           \
    X(SPICE_CHANNEL_DISPLAY, SPICE_MSG_DISPLAY_MONITORS_CONFIG, SpiceMsgDisplayMonitorsConfig)              \
    X(SPICE_CHANNEL_DISPLAY, SPICE_MSG_DISPLAY_DRAW_COMPOSITE, SpiceMsgDisplayDrawComposite)                \
    X(SPICE_CHANNEL_DISPLAY, SPICE_MSG_DISPLAY_STREAM_ACTIVATE_REPORT, SpiceMsgDisplayStreamActivateReport) \
    X(SPICE_CHANNEL_DISPLAY, SPICE_MSG_DISPLAY_EXTRA_320, SpiceMsgDisplayExtra320)                          \
    X(SPICE_CHANNEL_DISPLAY, SPICE_MSG_DISPLAY_VIDEO_FRAGMENT, SpiceMsgDisplayVideoFragment)                \
    X(SPICE_CHANNEL_DISPLAY, SPICE_MSG_DISPLAY_DRAW_CACHE_BUILD, SpiceMsgDisplayDrawCacheBuild)             \
    X(SPICE_CHANNEL_DISPLAY, SPICE_MSG_DISPLAY_DRAW_CACHE_COPY, SpiceMsgDisplayDrawCacheCopy)               \
    X(SPICE_CHANNEL_DISPLAY, SPICE_MSG_DISPLAY_EXTRA_362, SpiceEmptyBody)                                   \
    X(SPICE_CHANNEL_DISPLAY, SPICE_MSG_DISPLAY_DRAW_REFRESH, SpiceEmptyBody)                                \
    X(SPICE_CHANNEL_DISPLAY, SPICE_MSG_DISPLAY_INVALIDATE_LAYER, SpiceEmptyBody)                            \
    X(SPICE_CHANNEL_INPUTS, SPICE_MSG_INPUTS_INIT, SpiceMsgInputsInit)                                      \
    X(SPICE_CHANNEL_INPUTS, SPICE_MSG_INPUTS_KEY_MODIFIERS, SpiceMsgInputsKeyModifiers)                     \
    X(SPICE_CHANNEL_INPUTS, SPICE_MSG_INPUTS_MOUSE_MOTION_ACK, SpiceEmptyBody)                              \
    X(SPICE_CHANNEL_CURSOR, SPICE_MSG_CURSOR_INIT, SpiceMsgCursorInit)                                      \
    X(SPICE_CHANNEL_CURSOR, SPICE_MSG_CURSOR_RESET, SpiceEmptyBody)                                         \
    X(SPICE_CHANNEL_CURSOR, SPICE_MSG_CURSOR_SET, SpiceMsgCursorSet)                                        \
    X(SPICE_CHANNEL_CURSOR, SPICE_MSG_CURSOR_MOVE, SpiceMsgCursorMove)                                      \
    X(SPICE_CHANNEL_CURSOR, SPICE_MSG_CURSOR_HIDE, SpiceEmptyBody)                                          \
    X(SPICE_CHANNEL_CURSOR, SPICE_MSG_CURSOR_TRAIL, SpiceMsgCursorTrail)                                    \
    X(SPICE_CHANNEL_CURSOR, SPICE_MSG_CURSOR_INVAL_ONE, SpiceMsgCursorInvalOne)                             \
    X(SPICE_CHANNEL_CURSOR, SPICE_MSG_CURSOR_INVAL_ALL, SpiceEmptyBody)                                     \
    X(SPICE_CHANNEL_CURSOR, SPICE_MSG_CURSOR_SHOWN, SpiceEmptyBody)                                         \
    X(SPICE_CHANNEL_CURSOR, SPICE_MSG_CURSOR_DRAW, SpiceMsgCursorDraw)                                      \
    X(SPICE_CHANNEL_PLAYBACK, SPICE_MSG_PLAYBACK_DATA, SpiceMsgPlaybackPacket)                              \
    X(SPICE_CHANNEL_PLAYBACK, SPICE_MSG_PLAYBACK_MODE, SpiceMsgPlaybackMode)                                \
    X(SPICE_CHANNEL_PLAYBACK, SPICE_MSG_PLAYBACK_START, SpiceMsgPlaybackStart)                              \
    X(SPICE_CHANNEL_PLAYBACK, SPICE_MSG_PLAYBACK_STOP, SpiceEmptyBody)                                      \
    X(SPICE_CHANNEL_PLAYBACK, SPICE_MSG_PLAYBACK_VOLUME, SpiceMsgAudioVolume)                               \
    X(SPICE_CHANNEL_PLAYBACK, SPICE_MSG_PLAYBACK_MUTE, SpiceMsgAudioMute)                                   \
    X(SPICE_CHANNEL_PLAYBACK, SPICE_MSG_PLAYBACK_LATENCY, SpiceMsgPlaybackLatency)                          \
    X(SPICE_CHANNEL_RECORD, SPICE_MSG_RECORD_START, SpiceMsgRecordStart)                                    \
    X(SPICE_CHANNEL_RECORD, SPICE_MSG_RECORD_STOP, SpiceEmptyBody)                                          \
    X(SPICE_CHANNEL_RECORD, SPICE_MSG_RECORD_VOLUME, SpiceMsgAudioVolume)                                   \
    X(SPICE_CHANNEL_RECORD, SPICE_MSG_RECORD_MUTE, SpiceMsgAudioMute)                                       \
    X(SPICE_CHANNEL_TUNNEL, SPICE_MSG_TUNNEL_INIT, SpiceMsgTunnelInit)                                      \
    X(SPICE_CHANNEL_TUNNEL, SPICE_MSG_TUNNEL_SERVICE_IP_MAP, SpiceMsgTunnelServiceIpMap)                    \
    X(SPICE_CHANNEL_TUNNEL, SPICE_MSG_TUNNEL_SOCKET_OPEN, SpiceMsgTunnelSocketOpen)                         \
    X(SPICE_CHANNEL_TUNNEL, SPICE_MSG_TUNNEL_SOCKET_FIN, SpiceMsgTunnelSocket)                              \
    X(SPICE_CHANNEL_TUNNEL, SPICE_MSG_TUNNEL_SOCKET_CLOSE, SpiceMsgTunnelSocket)                            \
    X(SPICE_CHANNEL_TUNNEL, SPICE_MSG_TUNNEL_SOCKET_DATA, SpiceMsgTunnelSocketData)                         \
    X(SPICE_CHANNEL_TUNNEL, SPICE_MSG_TUNNEL_SOCKET_CLOSED_ACK, SpiceMsgTunnelSocket)                       \
    X(SPICE_CHANNEL_TUNNEL, SPICE_MSG_TUNNEL_SOCKET_TOKEN, SpiceMsgTunnelSocketTokens)                      \
    X(SPICE_CHANNEL_USBREDIR, SPICE_MSG_SPICEVMC_DATA, SpiceRawBody)                                        \
    X(SPICE_CHANNEL_USBREDIR, SPICE_MSG_USBREDIR_COMPRESSED_DATA, SpiceRawBody)                             \
    X(SPICE_CHANNEL_PORT, SPICE_MSG_SPICEVMC_DATA, SpiceRawBody)                                            \
    X(SPICE_CHANNEL_PORT, SPICE_MSG_PORT_INIT, SpiceMsgPortInit)                                            \
    X(SPICE_CHANNEL_PORT, SPICE_MSG_PORT_EVENT, SpiceMsgPortEvent)                                          \
    X(SPICE_CHANNEL_WEBDAV, SPICE_MSG_SPICEVMC_DATA, SpiceRawBody)                                          \
    X(SPICE_CHANNEL_WEBDAV, SPICE_MSG_PORT_INIT, SpiceMsgPortInit)                                          \
    X(SPICE_CHANNEL_WEBDAV, SPICE_MSG_PORT_EVENT, SpiceMsgPortEvent)

template <uint8_t channel_type, uint16_t message_type>
struct ServerMessage {
    typedef void Type;
};

#define KTW_COMMON_SERVER_MESSAGE(message_type, Structure) \
    template <uint8_t channel_type>                        \
    struct ServerMessage<channel_type, message_type> {     \
        typedef Structure Type;                            \
    };
KTW_COMMON_SERVER_MESSAGES(KTW_COMMON_SERVER_MESSAGE)
#undef KTW_COMMON_SERVER_MESSAGE

#define KTW_CHANNEL_SERVER_MESSAGE(channel_type, message_type, Structure) \
    template <>                                                           \
    struct ServerMessage<channel_type, message_type> {                    \
        typedef Structure Type;                                           \
    };
KTW_CHANNEL_SERVER_MESSAGES(KTW_CHANNEL_SERVER_MESSAGE)
#undef KTW_CHANNEL_SERVER_MESSAGE
