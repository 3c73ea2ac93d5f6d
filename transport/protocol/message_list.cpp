#include "transport/protocol/message_list.h"

#include "runtime/log.h"
#include "runtime/peer_check.h"
#include "transport/protocol/wire_reader.h"

SpiceMessageList::SpiceMessageList(uint8_t* body, uint8_t* body_end, uint32_t list_offset)
    : body_(body), body_end_(body_end)
{
    WireReader r(body, body_end);
    WireReader list = r.at(list_offset);
    uint16_t count = list.u16();
    const uint8_t* offsets = list.need(count, 4) ? list.position() : nullptr;
    if (!list.ok()) {
        peer_warning("message list: %u sub-message offsets do not fit in a body of %llu bytes", count,
                      (unsigned long long)r.size());
        return;
    }
    count_ = count;
    offsets_ = offsets;
    valid_ = true;
}

bool SpiceMessageList::get(uint16_t index, SpiceSubMessage* out) const
{
    if (!valid_ || index >= count_) {
        return false;
    }
    WireReader offsets(offsets_, offsets_ + 4 * uint64_t(count_));
    offsets.skip(4 * uint64_t(index));
    uint32_t offset = offsets.u32();

    WireReader sub = WireReader(body_, body_end_).at(offset);
    uint16_t type = sub.u16();
    uint32_t declared = sub.u32();
    if (!sub.ok()) {
        peer_warning("message list: sub-message %u at offset %u lies outside the body", index, offset);
        return false;
    }
    out->type = type;
    out->declared_size = declared;
    out->data = const_cast<uint8_t*>(sub.position());
    out->end = declared <= sub.remaining() ? out->data + declared : body_end_;
    return true;
}
