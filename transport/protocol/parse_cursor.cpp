// Cursor channel messages of both protocol generations.
#include "transport/protocol/parse_structs.h"

#include "transport/protocol/extra_messages.h"

namespace {

void parse_init(ParseCtx& c) {
    SpiceMsgCursorInit* m = c.b.record<SpiceMsgCursorInit>();
    m->position = read_point16(c.r);
    m->trail_length = c.r.u16();
    m->trail_frequency = c.r.u16();
    m->visible = c.r.u8();
    read_cursor(c, &m->cursor);
}

void parse_set(ParseCtx& c) {
    SpiceMsgCursorSet* m = c.b.record<SpiceMsgCursorSet>();
    m->position = read_point16(c.r);
    m->visible = c.r.u8();
    read_cursor(c, &m->cursor);
}

void parse_move(ParseCtx& c) {
    c.b.record<SpiceMsgCursorMove>()->position = read_point16(c.r);
}

void parse_trail(ParseCtx& c) {
    SpiceMsgCursorTrail* m = c.b.record<SpiceMsgCursorTrail>();
    m->length = c.r.u16();
    m->frequency = c.r.u16();
}

void parse_inval_one(ParseCtx& c) {
    c.b.record<SpiceMsgCursorInvalOne>()->id = c.r.u64();
}

const MessageEntry cursor_v2[] = {
    parsed_msg(SPICE_MSG_CURSOR_INIT, parse_init, "cursor init"),
    empty_msg(SPICE_MSG_CURSOR_RESET, "cursor reset"),
    parsed_msg(SPICE_MSG_CURSOR_SET, parse_set, "cursor set"),
    parsed_msg(SPICE_MSG_CURSOR_MOVE, parse_move, "cursor move"),
    empty_msg(SPICE_MSG_CURSOR_HIDE, "cursor hide"),
    parsed_msg(SPICE_MSG_CURSOR_TRAIL, parse_trail, "cursor trail"),
    parsed_msg(SPICE_MSG_CURSOR_INVAL_ONE, parse_inval_one, "cursor inval_one"),
    empty_msg(SPICE_MSG_CURSOR_INVAL_ALL, "cursor inval_all"),
    empty_msg(SPICE_MSG_CURSOR_SHOWN, "cursor shown"),
    parsed_msg(SPICE_MSG_CURSOR_DRAW, parse_cursor_draw, "cursor draw"),
};

// Generation 1 stops at 108.
const size_t cursor_v1_count = 8;

}  // namespace

const MessageTable cursor_messages_v2 = {"cursor", Gen::V2, cursor_v2,
                                         sizeof(cursor_v2) / sizeof(cursor_v2[0])};
const MessageTable cursor_messages_v1 = {"cursor", Gen::V1, cursor_v2, cursor_v1_count};
