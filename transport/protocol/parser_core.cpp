#include "transport/protocol/parser_core.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "runtime/log.h"
#include "runtime/peer_check.h"

namespace {

// Records of the measuring run are written here and never read.
alignas(16) thread_local uint8_t measuring_scratch[256];

void free_parsed_block(uint8_t* block) {
    free(block);
}

void free_nothing(uint8_t*) {}

// A raw message with no body bytes still needs a non-NULL result.
uint8_t empty_raw_body[1];

}  // namespace

void* BlockBuilder::take(uint64_t bytes, uint64_t align) {
    uint64_t start = (used_ + align - 1) & ~(align - 1);
    if (bytes > kMaxBlock || start > kMaxBlock - bytes) {
        failed_ = true;
        return measuring_scratch;
    }
    used_ = start + bytes;
    if (!writing()) {
        return measuring_scratch;
    }
    if (used_ > capacity_) {
        failed_ = true;
        return measuring_scratch;
    }
    return block_ + start;
}

int64_t ParseCtx::pointer(WireReader& in) {
    if (gen == Gen::V1) {
        uint64_t v = in.u64();
        return v == 0 ? -1 : int64_t(v & 0xFFFFFFFFu);
    }
    uint32_t v = in.u32();
    return v == 0 ? -1 : int64_t(v);
}

char* ParseCtx::copy_string(const uint8_t* bytes, uint32_t size) {
    char* s = b.array<char>(uint64_t(size) + 1);
    if (s && bytes) {
        memcpy(s, bytes, size);
        s[size] = '\0';
    }
    return s;
}

uint8_t* parse_message_entry(const MessageEntry& entry, Gen gen, uint8_t* message_start, uint8_t* message_end,
                             int minor, size_t* size_out, message_destructor_t* free_message) {
    if (message_start > message_end || (!message_start && message_end)) {
        peer_warning("message %s: body ends before it starts", entry.name);
        return nullptr;
    }
    size_t body_size = size_t(message_end - message_start);
    switch (entry.kind) {
        case MessageKind::Raw:
            *size_out = body_size;
            *free_message = free_nothing;
            return message_start ? message_start : empty_raw_body;
        case MessageKind::Empty: {
            uint8_t* block = static_cast<uint8_t*>(malloc(1));
            if (!block) {
                peer_warning("message %s: out of memory", entry.name);
                return nullptr;
            }
            *size_out = 1;
            *free_message = free_parsed_block;
            return block;
        }
        case MessageKind::Parsed:
            break;
    }

    return parse_message_body(entry.parse, entry.name, gen, message_start, message_end, minor, nullptr,
                              nullptr, size_out, free_message);
}

uint8_t* parse_message_body(BodyParser parse, const char* name, Gen gen, uint8_t* message_start,
                            uint8_t* message_end, int minor, void* measure_state, void* write_state,
                            size_t* size_out, message_destructor_t* free_message) {
    if (message_start > message_end || (!message_start && message_end)) {
        peer_warning("message %s: body ends before it starts", name);
        return nullptr;
    }
    size_t body_size = size_t(message_end - message_start);
    BlockBuilder measure;
    ParseCtx mc{WireReader(message_start, message_end),
                WireReader(message_start, message_end),
                measure,
                gen,
                minor,
                measure_state};
    if (!message_start) {
        // An empty body with no buffer behind it: read it as zero bytes.
        static const uint8_t nothing[1] = {0};
        mc.r = mc.body = WireReader(nothing, nothing);
    }
    WireReader whole = mc.r;
    parse(mc);
    if (!mc.ok() || measure.failed()) {
        peer_warning("failed to parse message %s: malformed body of %zu bytes (stopped at byte %llu)", name,
                     body_size, (unsigned long long)mc.r.offset());
        return nullptr;
    }

    uint64_t size = measure.used();
    if (size > SIZE_MAX) {
        peer_warning("message %s: parsed form too large", name);
        return nullptr;
    }
    uint8_t* block = static_cast<uint8_t*>(malloc(size ? size_t(size) : 1));
    if (!block) {
        peer_warning("message %s: out of memory for %llu bytes", name, (unsigned long long)size);
        return nullptr;
    }
    BlockBuilder write(block, size);
    ParseCtx wc{whole, whole, write, gen, minor, write_state};
    parse(wc);
    if (!wc.ok() || write.failed() || write.used() != size) {
        // Both runs read the same bytes, so this means the parser itself is wrong.
        peer_warning("message %s: parsed block overrun (%llu of %llu bytes)", name,
                     (unsigned long long)write.used(), (unsigned long long)size);
        free(block);
        return nullptr;
    }
    *size_out = size_t(size);
    *free_message = free_parsed_block;
    return block;
}

uint8_t* parse_channel_message(const MessageTable& table, uint8_t* message_start, uint8_t* message_end,
                               uint16_t message_type, int minor, size_t* size_out,
                               message_destructor_t* free_message) {
    const MessageTable& common = table.gen == Gen::V1 ? common_messages_v1 : common_messages_v2;
    for (const MessageTable* t : {&common, &table}) {
        for (size_t i = 0; i < t->count; i++) {
            if (t->entries[i].type == message_type) {
                return parse_message_entry(t->entries[i], table.gen, message_start, message_end, minor,
                                           size_out, free_message);
            }
        }
    }
    peer_warning("no parser for %s channel message type %u (protocol %d)", table.channel, message_type,
                 int(table.gen));
    return nullptr;
}
