// The sub-messages of a SPICE_MSG_LIST body, or of the sub-message list that a full (18-byte) header points to.
//
// The list is a u16 count and count u32 offsets, counted from the start of the enclosing body; at each offset a
// sub-message {u16 type, u32 declared size, body}. Real servers declare sizes larger than the sub-message bodies
// (24 for 11-byte bodies, so the last one reaches past the end of the list), so a sub-message's body ends at its
// declared size or at the end of the enclosing body, whichever comes first; the sub-message's parser stops where
// its layout ends. Only an offset or a sub-message header outside the enclosing body is refused.
#pragma once

#include <cstdint>

struct SpiceSubMessage {
    uint16_t type;
    uint32_t declared_size;
    uint8_t* data;  // the sub-message body: [data, end), inside the enclosing body
    uint8_t* end;
};

class SpiceMessageList {
public:
    // [body, body_end) is the enclosing body; the list starts list_offset bytes into it.
    SpiceMessageList(uint8_t* body, uint8_t* body_end, uint32_t list_offset = 0);

    // False when the count and the offset array do not fit in the body.
    bool valid() const { return valid_; }
    uint16_t count() const { return valid_ ? count_ : 0; }
    // The sub-message at position index of the list; false when it lies outside the body.
    bool get(uint16_t index, SpiceSubMessage* out) const;

private:
    uint8_t* body_;
    uint8_t* body_end_;
    const uint8_t* offsets_ = nullptr;
    uint16_t count_ = 0;
    bool valid_ = false;
};
