// The sub-messages of a SPICE_MSG_LIST body, or of the sub-message list that a full (18-byte) header points
// to.
//
// The list is a u16 count and count u32 offsets, counted from the start of the enclosing body; at each offset
// a sub-message {u16 type, u32 declared size, body}. Real servers declare sizes larger than the sub-message
// bodies (24 for 11-byte bodies, so the last one reaches past the end of the list), so a sub-message's body
// ends at its declared size, at the start of the next sub-message or of the list, or at the end of the
// enclosing body, whichever comes first; the sub-message's parser stops where its layout ends. The
// sub-messages need not follow the order of their offsets (real servers list them backwards), but no two may
// start at the same place or have overlapping headers, and none may lie on the count and offsets: else one
// small body could be handled as tens of thousands of messages. An offset or a sub-message header outside the
// enclosing body is refused.
#pragma once

#include <cstdint>
#include <vector>

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

    // False when the count and the offset array do not fit in the body, or sub-messages overlap.
    bool valid() const { return valid_; }
    uint16_t count() const { return valid_ ? count_ : 0; }
    // The sub-message at position index of the list; false when it lies outside the body.
    bool get(uint16_t index, SpiceSubMessage* out) const;

private:
    uint8_t* body_;
    uint8_t* body_end_;
    const uint8_t* offsets_ = nullptr;
    uint64_t list_begin_ = 0;  // the count and offsets, as body offsets
    uint64_t list_end_ = 0;
    std::vector<uint32_t> starts_;  // the offsets, sorted
    uint16_t count_ = 0;
    bool valid_ = false;
};
