// Readers of the structures that several messages share, for both protocol generations (internal to
// transport/).
//
// Inline structures are read from the given reader in wire order. Structures reached through a pointer field
// are read at that body offset (c.target) and placed in the block; a NULL result means the pointer was
// absent. Every failure fails the whole parse through c.fail(); callers test c.ok() once at the end.
#pragma once

#include <utility>

#include "transport/protocol/parser_core.h"

// Runs read over a reader at a pointer field's body offset and reports its failure to the whole parse.
template <class F>
auto at_offset(ParseCtx& c, int64_t offset, F read) -> decltype(read(std::declval<WireReader&>())) {
    WireReader in = c.target(offset);
    auto result = read(in);
    if (!in.ok()) {
        c.fail();
    }
    return result;
}

SpicePoint read_point(WireReader& in);
SpicePoint16 read_point16(WireReader& in);
// top, left, bottom, right on the wire.
SpiceRect read_rect(WireReader& in);

void read_clip(ParseCtx& c, WireReader& in, SpiceClip* out);
void read_display_base(ParseCtx& c, SpiceMsgDisplayBase* out);
void read_brush(ParseCtx& c, WireReader& in, SpiceBrush* out);
void read_qmask(ParseCtx& c, WireReader& in, SpiceQMask* out);
void read_line_attr(ParseCtx& c, WireReader& in, SpiceLineAttr* out);

// A pointer field followed to its image; NULL when absent (a parse failure when required).
SpiceImage* image_at(ParseCtx& c, int64_t offset, bool required);
// The payload of an image of the given type, whose descriptor has been read; compact streams also know type
// 110.
void read_image_payload(ParseCtx& c, WireReader& in, SpiceImage* image, uint8_t type, bool compact);
SpicePalette* palette_at(ParseCtx& c, int64_t offset);
SpicePath* path_at(ParseCtx& c, int64_t offset);
SpiceString* string_at(ParseCtx& c, int64_t offset);
// size bytes at a body offset, copied and NUL-terminated; NULL when absent (a parse failure when required).
char* string_at(ParseCtx& c, int64_t offset, uint32_t size, bool required);
// One chunk over len bytes of the received message.
SpiceChunks* one_chunk(ParseCtx& c, const uint8_t* data, uint32_t len);

void read_cursor(ParseCtx& c, SpiceCursor* out);

// Message bodies used on more than one channel.
void parse_ping(ParseCtx& c);
void parse_wait_for_channels(ParseCtx& c);

// The copy body of DRAW_COPY, DRAW_BLEND and draw_cache_copy (parse_display.cpp).
void read_copy_body(ParseCtx& c, SpiceCopy* out);

// The server's own messages (extra_messages.cpp).
void parse_display_extra_320(ParseCtx& c);
void parse_display_video_fragment(ParseCtx& c);
void parse_display_draw_cache_build(ParseCtx& c);
void parse_display_draw_cache_copy(ParseCtx& c);
void parse_cursor_draw(ParseCtx& c);

// The channel tables (one file per channel).
extern const MessageTable main_messages_v2, main_messages_v1;
extern const MessageTable display_messages_v2, display_messages_v1;
extern const MessageTable inputs_messages_v2, inputs_messages_v1;
extern const MessageTable cursor_messages_v2, cursor_messages_v1;
extern const MessageTable playback_messages_v2, playback_messages_v1;
extern const MessageTable record_messages_v2, record_messages_v1;
extern const MessageTable tunnel_messages_v2;
extern const MessageTable usbredir_messages_v2;
extern const MessageTable port_messages_v2, webdav_messages_v2;
