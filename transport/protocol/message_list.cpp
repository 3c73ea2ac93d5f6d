#include "transport/protocol/message_list.h"

#include "runtime/log.h"
#include "runtime/peer_check.h"
#include "transport/protocol/wire_reader.h"

#include <algorithm>

namespace {

const uint64_t kSubHeaderSize = 6;

}  // namespace

SpiceMessageList::SpiceMessageList(uint8_t* body, uint8_t* body_end, uint32_t list_offset)
    : body_(body), body_end_(body_end) {
    WireReader r(body, body_end);
    WireReader list = r.at(list_offset);
    uint16_t count = list.u16();
    const uint8_t* offsets = list.need(count, 4) ? list.position() : nullptr;
    if (!list.ok()) {
        peer_warning("message list: %u sub-message offsets do not fit in a body of %llu bytes", count,
                     (unsigned long long)r.size());
        return;
    }
    list_begin_ = list_offset;
    list_end_ = list_offset + 2 + 4 * uint64_t(count);
    WireReader entries(offsets, offsets + 4 * uint64_t(count));
    starts_.resize(count);
    for (uint32_t& start : starts_) {
        start = entries.u32();
    }
    std::sort(starts_.begin(), starts_.end());
    for (size_t i = 0; i < starts_.size(); i++) {
        uint64_t start = starts_[i];
        bool on_list = start < list_end_ && start + kSubHeaderSize > list_begin_;
        bool on_next = i + 1 < starts_.size() && start + kSubHeaderSize > starts_[i + 1];
        if (on_list || on_next) {
            spice_warning("message list: the sub-message at offset %llu overlaps %s",
                          (unsigned long long)start, on_list ? "the list" : "the next one");
            starts_.clear();
            return;
        }
    }
    count_ = count;
    offsets_ = offsets;
    valid_ = true;
}

bool SpiceMessageList::get(uint16_t index, SpiceSubMessage* out) const {
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
    uint64_t end = sub.offset() + std::min<uint64_t>(declared, sub.remaining());
    auto next = std::upper_bound(starts_.begin(), starts_.end(), offset);
    if (next != starts_.end()) {
        end = std::min<uint64_t>(end, *next);
    }
    if (offset < list_begin_) {
        end = std::min(end, list_begin_);
    }
    out->end = body_ + end;
    return true;
}
