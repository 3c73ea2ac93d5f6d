// Inputs channel messages of both protocol generations.
#include "transport/protocol/parse_structs.h"

namespace {

// The modifier word is a u16 from a major-2 server and a u32 in generation 1.
void parse_modifiers(ParseCtx& c) {
    c.b.record<SpiceMsgInputsInit>()->keyboard_modifiers = c.gen == Gen::V2 ? c.r.u16() : c.r.u32();
}

const MessageEntry inputs_entries[] = {
    parsed_msg(SPICE_MSG_INPUTS_INIT, parse_modifiers, "inputs init"),
    parsed_msg(SPICE_MSG_INPUTS_KEY_MODIFIERS, parse_modifiers, "inputs key_modifiers"),
    empty_msg(SPICE_MSG_INPUTS_MOUSE_MOTION_ACK, "inputs mouse_motion_ack"),
};
const size_t inputs_count = sizeof(inputs_entries) / sizeof(inputs_entries[0]);

}  // namespace

const MessageTable inputs_messages_v2 = {"inputs", Gen::V2, inputs_entries, inputs_count};
const MessageTable inputs_messages_v1 = {"inputs", Gen::V1, inputs_entries, inputs_count};
