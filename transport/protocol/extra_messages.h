// The server's own messages, which the published protocol lacks: their types, wire layouts and parsed forms.
// They are parsed by the same machinery and routed by the same channel parsers as the published messages
// (server_messages.h); this file is where their layouts are defined.
#pragma once

#include <cstdint>

#include "transport/protocol/server_messages.h"

enum {
    // Display channel.
    SPICE_MSG_DISPLAY_EXTRA_320 = 320,
    SPICE_MSG_DISPLAY_VIDEO_FRAGMENT = 321,
    SPICE_MSG_DISPLAY_DRAW_CACHE_BUILD = 360,
    SPICE_MSG_DISPLAY_DRAW_CACHE_COPY = 361,
    SPICE_MSG_DISPLAY_EXTRA_362 = 362,         // empty; nothing is done with it
    SPICE_MSG_DISPLAY_DRAW_REFRESH = 363,      // empty
    SPICE_MSG_DISPLAY_INVALIDATE_LAYER = 800,  // empty; not a byte of the body is read
    // Cursor channel.
    SPICE_MSG_CURSOR_SHOWN = 109,  // empty
    SPICE_MSG_CURSOR_DRAW = 110,
    // USB redirection channel: raw, like SPICE_MSG_SPICEVMC_DATA; the body is compressed channel data.
    SPICE_MSG_USBREDIR_COMPRESSED_DATA = 102,
};

// Main channel type 10, the pong, has the layout of SPICE_MSG_PING and parses to SpiceMsgPing.

// Display 320: u32 value, u32 size1, u32 size2, then size1 + size2 bytes, which are copied behind the record
// (a block of 12 + size1 + size2 bytes).
struct SpiceMsgDisplayExtra320 {
    uint32_t value;
    uint32_t size1;
    uint32_t size2;
    const uint8_t* data() const { return reinterpret_cast<const uint8_t*>(this + 1); }
};
static_assert(sizeof(SpiceMsgDisplayExtra320) == 12, "data follows at 12");

// Display 321, a video plug-in fragment: u32 id (echoed in the acknowledgement), u64 frame_id, u32 index,
// u16 restart (nonzero: reassembly of the frame starts again), u16 last (nonzero: last fragment), u32
// data_size, data. The data is copied behind the record (a block of 32 + data_size bytes). The
// acknowledgement echoes the first four words of the wire form: id, the low word of frame_id (the frame
// number), its high word (the fragment count) and index.
struct SpiceMsgDisplayVideoFragment {
    uint32_t id;
    uint64_t frame_id;
    uint32_t index;
    uint16_t restart;
    uint16_t last;
    uint32_t data_size;
    uint32_t frame_number() const { return uint32_t(frame_id); }
    uint32_t fragment_count() const { return uint32_t(frame_id >> 32); }
    const uint8_t* data() const { return reinterpret_cast<const uint8_t*>(this + 1); }
};
static_assert(sizeof(SpiceMsgDisplayVideoFragment) == 32, "data follows at 32");

// Display 360, draw_cache_build: 42 bytes on the wire, a 48-byte block.
struct SpiceMsgDisplayDrawCacheBuild {
    uint64_t cache_id;  // the key draw_cache_copy refers to
    uint8_t format;     // bitmap format of the surface to build
    uint8_t flags;
    uint32_t width;
    uint32_t height;
    uint32_t surface_id;  // the surface the message is looked up by
    uint32_t reserved;
    SpiceRect area;  // top, left, bottom, right on the wire
};
static_assert(sizeof(SpiceMsgDisplayDrawCacheBuild) == 48, "48-byte block");

// Display 361, draw_cache_copy: the body of SPICE_MSG_DISPLAY_DRAW_COPY followed by the u64 key of a surface
// built by an earlier draw_cache_build. The compact draw encoding produces the same structure.
struct SpiceMsgDisplayDrawCacheCopy {
    SpiceMsgDisplayBase base;
    SpiceCopy data;
    uint64_t cache_id;
};

// Cursor 110, cursor_draw: 16 bytes.
struct SpiceMsgCursorDraw {
    uint32_t color;
    uint16_t pickbox_size;
    uint16_t cursor_size;
    uint16_t left;
    uint16_t top;
    uint16_t right;
    uint16_t bottom;
};
static_assert(sizeof(SpiceMsgCursorDraw) == 16, "16-byte block");
