// Parsers of the compact draw encoding, which the display channel receives in its compact (opt-WAN) mode.
//
// The four most frequent draw messages (DRAW_FILL 302, DRAW_COPY 304, DRAW_STROKE 310 and draw_cache_copy
// 361) leave out every value that equals the one the same kind of message carried last time, and send
// coordinates as small deltas. The parsers turn such a body back into exactly the structure that the ordinary
// parser gives for the same message (SpiceMsgDisplayDrawFill, SpiceMsgDisplayDrawCopy,
// SpiceMsgDisplayDrawStroke, SpiceMsgDisplayDrawCacheCopy), with surface id 0. The values left out come from
// an OptDrawContext, and every value read goes back into it.
//
// A malformed body is logged as a warning and yields NULL, like every other parse failure; the context then
// keeps what was read before the failure.
#pragma once

#include <cstddef>
#include <cstdint>

#include "transport/protocol/server_messages.h"

// Bits of the compact sub-header's first byte that the parsers use.
enum {
    SPICE_OPT_HEADER_BOX_UNCHANGED = 0x08,  // no rectangle record: the box is the last one of this kind
    SPICE_OPT_HEADER_CLIP_RECTS = 0x10,     // a clip list follows; otherwise there is no clip
};

// What was read last for one image use: type, flags and size.
struct OptImageSlot {
    uint8_t type;
    uint8_t flags;
    uint16_t width;
    uint16_t height;
};

struct OptBrushContext {
    uint8_t type;
    uint32_t color;
    OptImageSlot pattern;
    SpicePoint pattern_pos;
};

struct OptMaskContext {
    uint8_t flags;
    SpicePoint pos;
    OptImageSlot image;
};

struct OptFillContext {
    SpiceRect box;
    OptBrushContext brush;
    uint16_t rop_descriptor;
    OptMaskContext mask;
};

struct OptStrokeContext {
    SpiceRect box;
    uint32_t num_segments;
    uint8_t line_flags;
    uint8_t style_nseg;
    OptBrushContext brush;
    uint16_t fore_mode;
    uint16_t back_mode;
};

// DRAW_COPY and draw_cache_copy each have their own.
struct OptCopyContext {
    SpiceRect box;
    OptImageSlot src;
    SpiceRect src_area;
    uint16_t rop_descriptor;
    uint8_t scale_mode;
    OptMaskContext mask;
};

// The previous values, one record per message kind. The display channel owns one, all zero when the channel
// is created and never cleared; only the channel's thread touches it.
struct OptDrawContext {
    OptFillContext fill;
    OptStrokeContext stroke;
    OptCopyContext copy;
    OptCopyContext cache_copy;
};

// One compact draw message: header_flags is the first byte of its compact sub-header. On success the result
// is one block released with free; image data points into the received body.
uint8_t* parse_msg_display_draw_fill_opt(uint8_t header_flags, OptDrawContext* context,
                                         uint8_t* message_start, uint8_t* message_end, int minor,
                                         size_t* size_out, message_destructor_t* free_message);
uint8_t* parse_msg_display_draw_copy_opt(uint8_t header_flags, OptDrawContext* context,
                                         uint8_t* message_start, uint8_t* message_end, int minor,
                                         size_t* size_out, message_destructor_t* free_message);
uint8_t* parse_msg_display_draw_cache_copy_opt(uint8_t header_flags, OptDrawContext* context,
                                               uint8_t* message_start, uint8_t* message_end, int minor,
                                               size_t* size_out, message_destructor_t* free_message);
uint8_t* parse_msg_display_draw_stroke_opt(uint8_t header_flags, OptDrawContext* context,
                                           uint8_t* message_start, uint8_t* message_end, int minor,
                                           size_t* size_out, message_destructor_t* free_message);

// The display channel's parser while the compact encoding is on: 302, 304, 310 and 361 go to the compact
// parsers above, every other type to the display channel parser of the generation (800 included, an empty
// message).
typedef uint8_t* (*spice_parse_display_opt_func_t)(uint8_t header_flags, OptDrawContext* context,
                                                   uint8_t* message_start, uint8_t* message_end,
                                                   uint16_t message_type, int minor, size_t* size_out,
                                                   message_destructor_t* free_message);

uint8_t* parse_display_msg_opt(uint8_t header_flags, OptDrawContext* context, uint8_t* message_start,
                               uint8_t* message_end, uint16_t message_type, int minor, size_t* size_out,
                               message_destructor_t* free_message);
// Generation 1: its display messages, and in compact form also 361.
uint8_t* parse_display_msg_opt1(uint8_t header_flags, OptDrawContext* context, uint8_t* message_start,
                                uint8_t* message_end, uint16_t message_type, int minor, size_t* size_out,
                                message_destructor_t* free_message);

// The compact display parser for a server's major version (1: generation 1, otherwise the current one).
spice_parse_display_opt_func_t spice_get_display_opt_parser(int major_version);
