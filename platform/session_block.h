// The session block: the 1544-byte record of WM_COPYDATA code 0x201 that the parent client sends the session
// window once, kept whole for the life of the session. Every subsystem reads its settings from here.
//
// The block comes from another process: it is taken only at its exact size, numbers are read little-endian
// from their offsets and texts never past their field. In debug mode no block arrives and every field is 0.
//
// Any thread. The block is written once before the channels connect (and by tests); every read takes a copy
// under the block's lock, so a reader never sees half a block.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

class SessionBlock {
public:
    static const size_t SIZE = 1544;
    typedef std::array<uint8_t, SIZE> Bytes;

    // Byte offsets of the fields. Texts are narrow and NUL-terminated within the room up to the next field;
    // the length given with each text offset is that room.
    enum Offset : size_t {
        USER_NAME = 6,         // logon user text: domain, backslash, user
        LOGON_PASSWORD = 369,  // logon password text
        SESSION_INDEX = 468,
        VDI_USER_NAME = 508,   // VDI user name text
        TUNNEL_TICKET = 636,   // 128 hexadecimal characters giving 64 bytes
        HOST_ADDRESS = 816,    // IPv4 of the server, network order
        HOST_PORT = 820,       // u16
        SERVER_ADDRESS = 824,  // IPv4, network order
        VM_ID = 832,           // u64
        ANTI_SCREEN_CAPTURE = 840,
        LOGON_MODE = 868,  // 0 off, 1 local machine, 2 domain
        FORCE_LINK = 872,  // connect road: 0 direct then tunnel, 2 tunnel, other values plain TCP
        DECT_TIME = 876,   // time-out of the direct attempt, ms
        NO_PROBE_NOTICES = 880,
        OPT_WAN = 884,
        OPT_WAN_DISPLAY = 904,
        NO_AUDIO = 908,
        GRAPHIC_TYPE = 940,
        VIDEO_PLUGIN = 960,
        VIDEO_PLUGIN_TUNNEL = 972,
        ADD_LOCAL = 976,
        DOMAIN = 980,  // domain text
        BIND_DOMAIN_FLAG = 1108,
        BIND_DOMAIN = 1112,  // bind domain text
        LOGON_USER = 1240,   // user text of the Windows logon record
        PC_IN_ONE = 1372,
        RESTORE_ALLOWED = 1376,
        RESTORE_MODE = 1380,
        USB_COMPRESS = 1404,
        AUDIO_ENABLE = 1408,
        PLAYBACK_LOSSY = 1412,  // 1: offer CELT playback
        PLAYBACK_ALGORITHM = 1416,
        PLAYBACK_QUALITY = 1420,
        RECORD_LOSSY = 1424,        // 1: offer CELT recording
        RECORD_ALGORITHM = 1428,    // 1: CELT
        RECORD_QUALITY = 1432,      // 1, 2, 3: 166, 83, 41 bytes per CELT frame
        LINK_PASSWORD = 1436,       // link password text
        HEARTBEAT_INTERVAL = 1536,  // seconds, 0: no heartbeat
    };

    enum TextRoom : size_t {
        USER_NAME_ROOM = LOGON_PASSWORD - USER_NAME,
        LOGON_PASSWORD_ROOM = SESSION_INDEX - LOGON_PASSWORD,
        VDI_USER_NAME_ROOM = TUNNEL_TICKET - VDI_USER_NAME,
        TUNNEL_TICKET_ROOM = SERVER_ADDRESS - TUNNEL_TICKET,
        DOMAIN_ROOM = 128,
        BIND_DOMAIN_ROOM = 128,
        LOGON_USER_ROOM = 128,
        LINK_PASSWORD_ROOM = HEARTBEAT_INTERVAL - LINK_PASSWORD,
    };

    // Takes a received block whole. False, and the block left as it was, when size is not SIZE.
    static bool set(const void* data, size_t size);
    // Back to all zeros, as in debug mode.
    static void clear();
    static Bytes get();

    // Field writes for building a block in place (tests, debug mode). Out-of-range writes are ignored; a text
    // is cut to fit its room with its terminator.
    static void set_u32(size_t offset, uint32_t value);
    static void set_text(size_t offset, size_t room, const std::string& text);

    // A little-endian u32 at offset; 0 past the end.
    static uint32_t u32(size_t offset);
    static uint16_t u16(size_t offset);
    static uint64_t u64(size_t offset);
    // The text at offset up to its NUL or the end of its room.
    static std::string text(size_t offset, size_t room);

    static std::string user_name() { return text(USER_NAME, USER_NAME_ROOM); }
    static std::string logon_password() { return text(LOGON_PASSWORD, LOGON_PASSWORD_ROOM); }
    static uint32_t session_index() { return u32(SESSION_INDEX); }
    static std::string vdi_user_name() { return text(VDI_USER_NAME, VDI_USER_NAME_ROOM); }
    static std::string tunnel_ticket() { return text(TUNNEL_TICKET, TUNNEL_TICKET_ROOM); }
    static uint32_t server_address() { return u32(SERVER_ADDRESS); }
    static uint32_t host_address() { return u32(HOST_ADDRESS); }
    static uint16_t host_port() { return u16(HOST_PORT); }
    static uint64_t vm_id() { return u64(VM_ID); }
    static uint32_t anti_screen_capture() { return u32(ANTI_SCREEN_CAPTURE); }
    static uint32_t logon_mode() { return u32(LOGON_MODE); }
    static uint32_t force_link() { return u32(FORCE_LINK); }
    static uint32_t dect_time() { return u32(DECT_TIME); }
    static uint32_t no_probe_notices() { return u32(NO_PROBE_NOTICES); }
    static uint32_t opt_wan() { return u32(OPT_WAN); }
    static uint32_t opt_wan_display() { return u32(OPT_WAN_DISPLAY); }
    static uint32_t no_audio() { return u32(NO_AUDIO); }
    static uint32_t graphic_type() { return u32(GRAPHIC_TYPE); }
    static uint32_t video_plugin() { return u32(VIDEO_PLUGIN); }
    static uint32_t video_plugin_tunnel() { return u32(VIDEO_PLUGIN_TUNNEL); }
    static uint32_t add_local() { return u32(ADD_LOCAL); }
    static std::string domain() { return text(DOMAIN, DOMAIN_ROOM); }
    static uint32_t bind_domain_flag() { return u32(BIND_DOMAIN_FLAG); }
    static std::string bind_domain() { return text(BIND_DOMAIN, BIND_DOMAIN_ROOM); }
    static std::string logon_user() { return text(LOGON_USER, LOGON_USER_ROOM); }
    static uint32_t pc_in_one() { return u32(PC_IN_ONE); }
    static uint32_t restore_allowed() { return u32(RESTORE_ALLOWED); }
    static uint32_t restore_mode() { return u32(RESTORE_MODE); }
    static std::string link_password() { return text(LINK_PASSWORD, LINK_PASSWORD_ROOM); }
    static uint32_t heartbeat_interval() { return u32(HEARTBEAT_INTERVAL); }
    static uint32_t playback_lossy() { return u32(PLAYBACK_LOSSY); }
    static uint32_t playback_algorithm() { return u32(PLAYBACK_ALGORITHM); }
    static uint32_t playback_quality() { return u32(PLAYBACK_QUALITY); }
    static uint32_t record_lossy() { return u32(RECORD_LOSSY); }
    static uint32_t record_algorithm() { return u32(RECORD_ALGORITHM); }
    static uint32_t record_quality() { return u32(RECORD_QUALITY); }
};
